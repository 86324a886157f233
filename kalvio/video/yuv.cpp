// VideoFromYUV: raw planar YUV sequences into colour AVI movies.
#include <kalvio/video.h>

#include "image/io_p.h"
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "video/movie_writer_p.h"

#include <kalvio/message.h>

#include <algorithm>
#include <thread>

using namespace kalvio::detail;

namespace {

// Where one frame's planes lie in the file and how an output pixel finds
// its samples.
struct YuvLayout {
    int rows, cols;              // luminance plane
    int chroma_rows, chroma_cols;
    bool half;                   // output of every second luminance sample
    bool full_chroma_rows;       // 4:2:2: a chroma row for every luminance row
    std::size_t luma_bytes() const { return static_cast<std::size_t>(rows) * cols; }
    std::size_t chroma_bytes() const { return static_cast<std::size_t>(chroma_rows) * chroma_cols; }
};

inline std::uint8_t to_byte(double v) {
    float f = static_cast<float>(v);
    f = f < 0.0f ? 0.0f : (f > 255.0f ? 255.0f : f);
    return static_cast<std::uint8_t>(f);
}

// Output rows [begin, end) of one frame into bottom-up BGR rows.
void convert_rows(const YuvLayout& l, const std::uint8_t* frame, std::uint8_t* bits, int out_rows, int out_cols,
                  std::uint32_t row_bytes, int begin, int end, float* cb, float* cr) {
    const std::uint8_t* luma = frame;
    const std::uint8_t* plane_b = frame + l.luma_bytes();
    const std::uint8_t* plane_r = plane_b + l.chroma_bytes();
    for (int r = begin; r < end; ++r) {
        const std::uint8_t* y = luma + static_cast<std::size_t>(l.half ? 2 * r : r) * l.cols;
        // The chroma of this row, sampled bilinearly at half the position
        // (weights 0 or 1/2, exact in float); past the plane's last row or
        // column the edge repeats.
        int c0 = r, c1 = r;
        float wy = 0.0f;
        if (l.half) {
            c0 = c1 = l.full_chroma_rows ? 2 * r : r;
        } else if (!l.full_chroma_rows) {
            c0 = r >> 1;
            c1 = std::min(c0 + 1, l.chroma_rows - 1);
            wy = (r & 1) ? 0.5f : 0.0f;
        }
        const std::uint8_t* b0 = plane_b + static_cast<std::size_t>(c0) * l.chroma_cols;
        const std::uint8_t* b1 = plane_b + static_cast<std::size_t>(c1) * l.chroma_cols;
        const std::uint8_t* r0 = plane_r + static_cast<std::size_t>(c0) * l.chroma_cols;
        const std::uint8_t* r1 = plane_r + static_cast<std::size_t>(c1) * l.chroma_cols;
        for (int c = 0; c < out_cols; ++c) {
            if (l.half) {
                cb[c] = b0[c];
                cr[c] = r0[c];
                continue;
            }
            const int x0 = c >> 1;
            const int x1 = std::min(x0 + 1, l.chroma_cols - 1);
            const float wx = (c & 1) ? 0.5f : 0.0f;
            cb[c] = (1.0f - wy) * ((1.0f - wx) * b0[x0] + wx * b0[x1]) + wy * ((1.0f - wx) * b1[x0] + wx * b1[x1]);
            cr[c] = (1.0f - wy) * ((1.0f - wx) * r0[x0] + wx * r0[x1]) + wy * ((1.0f - wx) * r1[x0] + wx * r1[x1]);
        }
        std::uint8_t* out = bits + static_cast<std::size_t>(out_rows - 1 - r) * row_bytes;
        const int step = l.half ? 2 : 1;
        for (int c = 0; c < out_cols; ++c, out += 3) {
            const double luma_term = 298.082 * (static_cast<double>(y[step * c]) - 16.0);
            const double u = static_cast<double>(cb[c]) - 128.0;
            const double v = static_cast<double>(cr[c]) - 128.0;
            out[2] = to_byte((luma_term + 408.583 * v) * 0.00390625);
            out[1] = to_byte((luma_term - 100.291 * u - 208.12 * v) * 0.00390625);
            out[0] = to_byte((luma_term + 516.411 * u) * 0.00390625);
        }
    }
}

}  // namespace

CVideo* VideoFromYUV(const char* path, int nrows, int ncols, int nframes, int chroma, int half) {
    if (!path || nrows <= 0 || ncols <= 0 || nframes <= 0 || (chroma != 0 && chroma != 1)) return nullptr;
    YuvLayout layout{nrows, ncols, chroma == 0 ? (nrows + 1) / 2 : nrows, ncols / 2 + (ncols & 1), half != 0,
                     chroma == 1};
    const int out_rows = half ? nrows / 2 : nrows;
    const int out_cols = half ? ncols / 2 : ncols;
    if (out_rows <= 0 || out_cols <= 0) return nullptr;
    const std::size_t frame_bytes = layout.luma_bytes() + 2 * layout.chroma_bytes();

    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox("VideoFromYUV: Can't open file");
        return nullptr;
    }
    const std::int64_t available = bytes_left(fp);
    if (available < 0 || static_cast<std::uint64_t>(available) / frame_bytes < static_cast<std::uint64_t>(nframes)) {
        std::fclose(fp);
        AfxMessageBox("VideoFromYUV: The file holds fewer frames than asked");
        return nullptr;
    }
    CVideo* movie =
        CVideo::temporary_movie(KALVIO_VIDEO_AVI, out_rows, out_cols, nframes, KALVIO_TYPE_UINT8, 1);
    if (!movie) {
        std::fclose(fp);
        return nullptr;
    }
    const std::uint32_t row_bytes = movie->writer->row_bytes();
    const std::size_t bits_bytes = static_cast<std::size_t>(row_bytes) * out_rows;
    auto input = scratch_of<std::uint8_t>(frame_bytes);
    auto bits = scratch_of<std::uint8_t>(bits_bytes);
    const int threads = std::max(1, std::min(8, static_cast<int>(std::thread::hardware_concurrency())));
    bool ok = input && bits;
    if (ok) std::fill(bits.get(), bits.get() + bits_bytes, std::uint8_t{0});  // row padding stays 0
    // Frames of a few hundred thousand pixels already repay a second thread.
    const int used = pixels_of(out_rows, out_cols) >= (1u << 18) ? threads : 1;
    for (int f = 0; ok && f < nframes; ++f) {
        ok = read_exact(fp, input.get(), frame_bytes);
        if (!ok) break;
        ok = run_in_bands(out_rows, 1, used, [&](int begin, int end) {
            auto chroma_row = scratch_of<float>(2 * static_cast<std::size_t>(out_cols));
            if (!chroma_row) return false;
            convert_rows(layout, input.get(), bits.get(), out_rows, out_cols, row_bytes, begin, end,
                         chroma_row.get(), chroma_row.get() + out_cols);
            return true;
        });
        ok = ok && movie->writer->write_bits(bits.get());
    }
    std::fclose(fp);
    if (!ok) {
        delete movie;
        return nullptr;
    }
    movie->current = movie->writer->written();
    return CVideo::finish_sequence(movie);
}
