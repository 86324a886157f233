// Medical scanner images: square 16-bit pictures whose size is guessed from
// the file length.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/message.h>

#include <cstdint>
#include <vector>

using namespace kalvio::detail;

namespace {

// The side n of the square picture in a file of `length` bytes: the largest
// power of two from 8 upward whose 2 * n * n pixel bytes fit the file.
std::int64_t guess_side(std::int64_t length) {
    if (length <= 512) return length == 512 ? 16 : 8;
    std::int64_t n = 16;
    while (2 * n * n < length) n *= 2;
    return 2 * n * n == length ? n : n / 2;
}

}  // namespace

float** read_medical_image(const char* path, int* nrows, int* ncols) {
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox("read_tessil_image: Can't open file");
        return nullptr;
    }
    const std::int64_t length = bytes_left(fp);
    // The smallest picture, 8 x 8, needs 128 bytes; anything shorter is not
    // such a file.
    if (length < 128) {
        std::fclose(fp);
        AfxMessageBox("read_tessil_image: File too short");
        return nullptr;
    }
    const std::int64_t n = guess_side(length);
    if (n > 46340) {  // n * n must stay an int
        std::fclose(fp);
        AfxMessageBox("read_tessil_image: File too large");
        return nullptr;
    }
    const int side = static_cast<int>(n);
    const std::size_t count = static_cast<std::size_t>(n * n);
    std::vector<unsigned char> raw(2 * count);
    if (std::fseek(fp, static_cast<long>(length - 2 * n * n), SEEK_SET) != 0 ||
        !read_exact(fp, raw.data(), raw.size())) {
        std::fclose(fp);
        AfxMessageBox("read_tessil_image: Truncated file");
        return nullptr;
    }
    std::fclose(fp);

    float** data = make_2D_float_array(side, side);
    if (!data) return nullptr;
    // First pass: signed big-endian samples. The running extremes start at
    // +/-1,000,000 as elsewhere; 16-bit samples always lie within them.
    int min = 1000000, max = -1000000;
    for (std::size_t i = 0; i < count; ++i) {
        const int v = static_cast<std::int16_t>((raw[2 * i] << 8) | raw[2 * i + 1]);
        data[i / side][i % side] = static_cast<float>(v);
        if (v < min) min = v;
        if (v > max) max = v;
    }
    // Not a 12-bit picture in big-endian order: the samples are 12-bit
    // little-endian words instead.
    if (min < 0 || max >= 4096) {
        for (std::size_t i = 0; i < count; ++i)
            data[i / side][i % side] = static_cast<float>(raw[2 * i] + 256 * (raw[2 * i + 1] & 0x0F));
    }
    *nrows = side;
    *ncols = side;
    return data;
}
