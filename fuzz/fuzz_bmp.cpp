// read_bmp_image, read_bmp_bytes, CDib::Read and read_bmp_rows on a CFile,
// on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/dc.h>
#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/formats.h>

namespace {

// read_bmp_rows accepts what Read accepts and hands over every row once,
// each 3 * width bytes, of the size it announced.
void read_rows(const char* path, bool accepted, int width, int height) {
    CFile file;
    if (!file.Open(path, CFile::modeRead)) fuzz::fail("cannot open the scratch file");
    int announced_width = 0, announced_height = 0, rows = 0;
    volatile std::uint8_t last = 0;
    const int read = read_bmp_rows(
        &file,
        [&](int w, int h) {
            announced_width = w;
            announced_height = h;
            return true;
        },
        [&](int y, const std::uint8_t* bgr) {
            FUZZ_CHECK(y >= 0 && y < announced_height);
            last = bgr[3 * static_cast<std::size_t>(announced_width) - 1];
            ++rows;
        });
    (void)last;
    FUZZ_CHECK((read == 1) == accepted);
    if (read == 1) FUZZ_CHECK(announced_width == width && announced_height == height && rows == height);
}

void read_dib(const char* path) {
    CFile file;
    if (!file.Open(path, CFile::modeRead)) fuzz::fail("cannot open the scratch file");
    CDib dib;
    if (!dib.Read(&file)) {
        // A refused file leaves the bitmap empty.
        FUZZ_CHECK(!dib.info && !dib.bits);
        read_rows(path, false, 0, 0);
        return;
    }
    read_rows(path, true, dib.width, dib.height);
    // What Read keeps: 8-bit indices or 24-bit pixels, rows padded to 4 bytes.
    FUZZ_CHECK(dib.info && dib.bits && dib.width > 0 && dib.height > 0);
    FUZZ_CHECK(dib.pixel_bytes == 1 || dib.pixel_bytes == 3);
    FUZZ_CHECK(dib.color_count >= 0 && dib.color_count <= 256);
    FUZZ_CHECK(dib.row_bytes % 4 == 0 &&
               dib.row_bytes >= static_cast<std::uint64_t>(dib.width) * dib.pixel_bytes);
    FUZZ_CHECK(static_cast<std::uint64_t>(dib.row_bytes) * dib.height <= dib.image_size);
    volatile std::uint8_t last = dib.bits[dib.image_size - 1];
    last = dib.info[40 + 4 * dib.color_count - 1];
    (void)last;

    int rows = -1, cols = -1, color = -1;
    float** image = dib.MakeFloatImage(&rows, &cols, &color);
    FUZZ_CHECK(image != nullptr);
    FUZZ_CHECK(color == 0 || color == 1);
    fuzz::check_shape(image, rows, cols, color == 1 ? 3 : 1);
    FUZZ_CHECK(rows == dib.height && cols == dib.width);
    free_2D_float_array(image);

    // Drawing looks every pixel up in the colour table.
    dib.MakePalette();
    CMemoryDC dc(7, 5);
    dib.Draw(&dc, 0, 0, 7, 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    const char* path = input.path();
    int nrows = -1, ncols = -1, color = -1;
    float** image = read_bmp_image(path, &nrows, &ncols, &color);
    // The bytes are read exactly when the floats are, with the same size,
    // colour and values.
    kalvio::PictureBytes bytes;
    FUZZ_CHECK((kalvio::read_bmp_bytes(path, &bytes) == 1) == (image != nullptr));
    if (image) {
        FUZZ_CHECK(bytes.rows() == nrows && bytes.cols() == ncols && bytes.color() == color);
        const std::size_t length = static_cast<std::size_t>(ncols) * (color == 1 ? 3 : 1);
        FUZZ_CHECK(bytes.size() == length * static_cast<std::size_t>(nrows));
        for (int y = 0; y < nrows; ++y)
            for (std::size_t x = 0; x < length; ++x)
                FUZZ_CHECK(static_cast<float>(bytes.data()[length * static_cast<std::size_t>(y) + x]) == image[y][x]);
    }
    if (image) {
        FUZZ_CHECK(color == 0 || color == 1);
        fuzz::check_shape(image, nrows, ncols, color == 1 ? 3 : 1);
        // At least one bit of the file for every pixel; a run-length stream
        // (compression 1 or 2 at byte 30) paints up to 256 pixels a byte.
        const bool run_length = size > 30 && (data[30] == 1 || data[30] == 2);
        FUZZ_CHECK(run_length ? fuzz::fits(256 * size, nrows, ncols, 1, 1)
                              : fuzz::fits(size, nrows, (ncols + 7) / 8, 1, 1));
        free_2D_float_array(image);
    }
    read_dib(path);
    return 0;
}
