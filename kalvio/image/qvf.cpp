// qvf files: a four-line text header followed by raw little-endian samples.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cstdint>
#include <vector>

using namespace kalvio::detail;

float** read_qvf_image(const char* path, int* nrows, int* ncols, int* color, int* datatype) {
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox("read_qvf_image: Can't open file");
        return nullptr;
    }
    char line[4][256] = {};
    int dims[2] = {}, type = 0, flag = 0;
    bool header = true;
    for (auto& l : line) header = header && std::fgets(l, sizeof l, fp) != nullptr;
    header = header && std::strncmp(line[0], "QV", 2) == 0 && read_ints(line[1], dims, 2) == 2 &&
             read_ints(line[2], &type, 1) == 1 && read_ints(line[3], &flag, 1) == 1 &&
             dims[0] > 0 && dims[1] > 0;
    const int rows = dims[0], cols = dims[1];
    if (!header) {
        std::fclose(fp);
        AfxMessageBox("read_qvf_image: Bad header");
        return nullptr;
    }
    if (flag != 0 && flag != 1) {
        std::fclose(fp);
        return nullptr;
    }
    if (flag == 1 && type != KALVIO_TYPE_UINT8) {
        std::fclose(fp);
        AfxMessageBox("A color image has to be in byte format");
        return nullptr;
    }
    const int per_pixel = flag == 1 ? 3 : 1;
    const int size = flag == 1 ? 1 : sample_size(type);
    std::int64_t bytes = 0;
    if (!pixel_bytes(rows, cols, per_pixel, 1, &bytes) ||
        static_cast<std::int64_t>(cols) * per_pixel > INT32_MAX) {
        std::fclose(fp);
        AfxMessageBox("read_qvf_image: Bad header");
        return nullptr;
    }
    // A scratch image has no samples for the file length to vouch for its
    // size, so its size is bounded instead: at most 2^24 pixels.
    if (size == 0 && bytes > (std::int64_t{1} << 24)) {
        std::fclose(fp);
        AfxMessageBox("read_qvf_image: Bad header");
        return nullptr;
    }
    if (size > 0 && bytes_left(fp) < bytes * size) {
        std::fclose(fp);
        AfxMessageBox("read_qvf_image: Truncated file");
        return nullptr;
    }
    const int length = cols * per_pixel;
    float** data = make_2D_float_array(rows, length);
    if (!data) {
        std::fclose(fp);
        return nullptr;
    }
    // A grey image of a type without samples (a scratch image) has nothing
    // after its header and reads as zeros, as it was written.
    if (size > 0) {
        std::vector<unsigned char> row(static_cast<std::size_t>(length) * size);
        for (int r = 0; r < rows; ++r) {
            if (!read_exact(fp, row.data(), row.size())) {
                free_2D_float_array(data);
                std::fclose(fp);
                AfxMessageBox("read_qvf_image: Truncated file");
                return nullptr;
            }
            const int row_type = flag ? KALVIO_TYPE_UINT8 : type;
            for (int i = 0; i < length; ++i) data[r][i] = decode_sample(&row[std::size_t(i) * size], row_type);
        }
    }
    std::fclose(fp);
    *nrows = rows;
    *ncols = cols;
    *color = flag;
    *datatype = type;
    return data;
}

int write_qvf_image(float** data, const char* path, int nrows, int ncols, int color, int datatype) {
    if (color == 1 && datatype != KALVIO_TYPE_UINT8) {
        AfxMessageBox("write_qvf_image: A color image has to be in byte format");
        return 0;
    }
    const bool has_samples = (color == 0 && sample_size(datatype) > 0) || color == 1;
    if (nrows <= 0 || ncols <= 0 || (has_samples && !data)) {
        AfxMessageBox("write_qvf_image: No image to write");
        return 0;
    }
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox("write_qvf_image: Can't create file");
        return 0;
    }
    std::fprintf(out.fp(), "QV\n%d %d\n%d\n%d\n", nrows, ncols, datatype, color);
    if (has_samples) {
        const int size = color == 1 ? 1 : sample_size(datatype);
        const int type = color == 1 ? KALVIO_TYPE_UINT8 : datatype;
        const std::size_t length = static_cast<std::size_t>(ncols) * (color == 1 ? 3 : 1);
        std::vector<unsigned char> row(length * size);
        for (int r = 0; r < nrows; ++r) {
            for (std::size_t i = 0; i < length; ++i) encode_sample(data[r][i], type, &row[i * size]);
            std::fwrite(row.data(), 1, row.size(), out.fp());
        }
    }
    if (!out.commit()) {
        AfxMessageBox("write_qvf_image: Can't write file");
        return 0;
    }
    return 1;
}
