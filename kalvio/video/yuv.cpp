// VideoFromYUV: raw planar YUV sequences into colour AVI movies.
#include <kalvio/video.h>

#include "image/io_p.h"
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"
#include "video/movie_writer_p.h"

#include <kalvio/message.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

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

// One pixel: Y and four times the chroma values (bilinear weights are 0 or
// 1/2, so chroma values are whole multiples of 1/4, exact in float and in
// double) into blue, green, red.
inline void convert_pixel(int luma_value, int qb, int qr, std::uint8_t* out) {
    const double luma = 298.082 * (static_cast<double>(luma_value) - 16.0);
    const double u = static_cast<double>(qb) * 0.25 - 128.0;
    const double v = static_cast<double>(qr) * 0.25 - 128.0;
    out[2] = to_byte((luma + 408.583 * v) * 0.00390625);
    out[1] = to_byte((luma - 100.291 * u - 208.12 * v) * 0.00390625);
    out[0] = to_byte((luma + 516.411 * u) * 0.00390625);
}

typedef double d4 __attribute__((vector_size(32)));
typedef std::int32_t i4 __attribute__((vector_size(16)));
typedef std::uint8_t u8x16 __attribute__((vector_size(16)));
typedef std::uint16_t u16x8 __attribute__((vector_size(16)));
typedef std::uint64_t u64x2 __attribute__((vector_size(16)));

// Four pixels at a time, on x86-64 compiled twice, for AVX2 and for the
// baseline, chosen when the library is loaded.
//
// The formula is first computed in float. Against the double result the
// float one is off by less than 1e-4: the constants rounded to float are
// off by at most 2^-24 of themselves (times |Y - 16| <= 239 or |chroma| <=
// 128), and each of at most five roundings of values below 2^18 by 2^-7;
// the scale by 1/256 is exact. So where every float result lies more than
// 1/1024 from each whole number from 1 to 255, the double result and its
// rounding to float truncate to the same byte (values below 1/2 or above
// 255 give 0 or 255 either way). Otherwise, a few groups in a hundred, the
// double operations of convert_pixel run lane by lane, in the same order
// and without fused multiply-adds, so every byte is the double formula's.
#if defined(KALVIO_X86_KERNELS)
#define KALVIO_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define KALVIO_AVX2_CLONE
#endif
KALVIO_AVX2_CLONE void convert_pixels(const std::uint8_t* y, int step, const std::uint16_t* qb,
                                      const std::uint16_t* qr, int n, std::uint8_t* out) {
    const d4 quarter = {0.25, 0.25, 0.25, 0.25}, centre = {128.0, 128.0, 128.0, 128.0};
    const d4 black = {16.0, 16.0, 16.0, 16.0}, scale = {0.00390625, 0.00390625, 0.00390625, 0.00390625};
    const f4 low = splat<f4>(0.0f), high = splat<f4>(255.0f);
    // Clamped and truncated: whole numbers 0..255 in the low byte of each lane.
    auto whole = [&](f4 f) {
        f = f < low ? low : f;
        f = f > high ? high : f;
        return (u8x16)__builtin_convertvector(f, i4);
    };
    const u8x16 zero = {};
    // Lanes within 1/1024 of a whole number from 1 to 255.
    auto near_whole = [&](f4 f) {
        const f4 nearest = __builtin_convertvector(__builtin_convertvector(f + 0.5f, i4), f4);
        const f4 off = f - nearest;
        return (f > 0.5f) & (f < 255.5f) & (off < 0.0009765625f) & (off > -0.0009765625f);
    };
    int c = 0;
    for (; c + 4 <= n; c += 4, out += 12) {
        // Samples widened to 32-bit lanes by shuffles with zeros.
        std::uint32_t four;
        if (step == 1) {
            std::memcpy(&four, y + c, 4);
        } else {
            four = y[2 * c] | (y[2 * c + 2] << 8) | (y[2 * c + 4] << 16) | (std::uint32_t(y[2 * c + 6]) << 24);
        }
        const u8x16 luma_bytes = (u8x16)i4{static_cast<std::int32_t>(four), 0, 0, 0};
        const f4 yf = __builtin_convertvector(
            (i4)__builtin_shufflevector(luma_bytes, zero, 0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 3, 16, 16, 16),
            f4);
        std::uint64_t b4, r4;
        std::memcpy(&b4, qb + c, 8);
        std::memcpy(&r4, qr + c, 8);
        const u16x8 chroma = (u16x8)u64x2{b4, r4};
        const u16x8 none = {};
        const f4 qbf = __builtin_convertvector((i4)__builtin_shufflevector(chroma, none, 0, 8, 1, 8, 2, 8, 3, 8), f4);
        const f4 qrf = __builtin_convertvector((i4)__builtin_shufflevector(chroma, none, 4, 8, 5, 8, 6, 8, 7, 8), f4);
        const f4 uf = qbf * 0.25f - 128.0f;
        const f4 vf = qrf * 0.25f - 128.0f;
        const f4 lf = 298.082f * (yf - 16.0f);
        f4 red = (lf + 408.583f * vf) * 0.00390625f;
        f4 green = (lf - 100.291f * uf - 208.12f * vf) * 0.00390625f;
        f4 blue = (lf + 516.411f * uf) * 0.00390625f;
        const auto doubtful = near_whole(red) | near_whole(green) | near_whole(blue);
        std::uint64_t lanes[2];
        std::memcpy(lanes, &doubtful, sizeof lanes);
        if (lanes[0] | lanes[1]) {
            const d4 yv = __builtin_convertvector(yf, d4);
            const d4 u = __builtin_convertvector(qbf, d4) * quarter - centre;
            const d4 v = __builtin_convertvector(qrf, d4) * quarter - centre;
            const d4 luma = 298.082 * (yv - black);
            red = __builtin_convertvector((luma + 408.583 * v) * scale, f4);
            green = __builtin_convertvector((luma - 100.291 * u - 208.12 * v) * scale, f4);
            blue = __builtin_convertvector((luma + 516.411 * u) * scale, f4);
        }
        // Interleaved as blue, green, red per pixel: 12 bytes.
        const u8x16 bg = __builtin_shufflevector(whole(blue), whole(green), 0, 16, 4, 20, 8, 24, 12, 28, 0, 0, 0, 0,
                                                 0, 0, 0, 0);
        const u8x16 bgr = __builtin_shufflevector(bg, whole(red), 0, 1, 16, 2, 3, 20, 4, 5, 24, 6, 7, 28, 0, 0, 0, 0);
        std::memcpy(out, &bgr, 12);
    }
    for (; c < n; ++c, out += 3) convert_pixel(y[step * c], qb[c], qr[c], out);
}

// Output rows [begin, end) of one frame into bottom-up BGR rows. qb and qr
// hold a row of 4 x chroma each.
void convert_rows(const YuvLayout& l, const std::uint8_t* frame, std::uint8_t* bits, int out_rows, int out_cols,
                  std::uint32_t row_bytes, int begin, int end, std::uint16_t* qb, std::uint16_t* qr) {
    const std::uint8_t* luma = frame;
    const std::uint8_t* plane_b = frame + l.luma_bytes();
    const std::uint8_t* plane_r = plane_b + l.chroma_bytes();
    for (int r = begin; r < end; ++r) {
        const std::uint8_t* y = luma + static_cast<std::size_t>(l.half ? 2 * r : r) * l.cols;
        // The chroma of this row, sampled bilinearly at half the position;
        // past the plane's last row or column the edge repeats.
        int c0 = r, c1 = r;
        if (l.half) {
            c0 = c1 = l.full_chroma_rows ? 2 * r : r;
        } else if (!l.full_chroma_rows) {
            c0 = r >> 1;
            c1 = (r & 1) ? std::min(c0 + 1, l.chroma_rows - 1) : c0;
        }
        for (int k = 0; k < 2; ++k) {
            const std::uint8_t* plane = k == 0 ? plane_b : plane_r;
            const std::uint8_t* p0 = plane + static_cast<std::size_t>(c0) * l.chroma_cols;
            const std::uint8_t* p1 = plane + static_cast<std::size_t>(c1) * l.chroma_cols;
            std::uint16_t* q = k == 0 ? qb : qr;
            if (l.half) {
                for (int c = 0; c < out_cols; ++c) q[c] = static_cast<std::uint16_t>(4 * p0[c]);
                continue;
            }
            // Even output columns take twice the two rows' sum at their
            // chroma column, odd ones add the next column's sum; past the
            // plane's last column its sum repeats.
            const int last = l.chroma_cols - 1, used = (out_cols + 1) / 2;
            int sum = p0[0] + p1[0];
            int x = 0;
            for (; x + 1 < used; ++x) {
                const int next = p0[x + 1] + p1[x + 1];
                q[2 * x] = static_cast<std::uint16_t>(2 * sum);
                q[2 * x + 1] = static_cast<std::uint16_t>(sum + next);
                sum = next;
            }
            q[2 * x] = static_cast<std::uint16_t>(2 * sum);
            if (2 * x + 1 < out_cols) {
                const int next = x < last ? p0[x + 1] + p1[x + 1] : sum;
                q[2 * x + 1] = static_cast<std::uint16_t>(sum + next);
            }
        }
        convert_pixels(y, l.half ? 2 : 1, qb, qr, out_cols,
                       bits + static_cast<std::size_t>(out_rows - 1 - r) * row_bytes);
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
    auto spare = scratch_of<std::uint8_t>(bits_bytes);
    bool ok = input && bits && spare;
    if (ok) {
        std::fill(bits.get(), bits.get() + bits_bytes, std::uint8_t{0});  // row padding stays 0
        std::fill(spare.get(), spare.get() + bits_bytes, std::uint8_t{0});
    }
    // Frames of a quarter megapixel already repay a second thread. Each
    // frame is written while the next one is converted into the other
    // buffer.
    const int threads = band_threads(pixels_of(out_rows, out_cols), std::size_t{1} << 18);
    std::thread writing;
    bool written = true;
    auto finish_writing = [&] {
        if (writing.joinable()) writing.join();
        return written;
    };
    for (int f = 0; ok && f < nframes; ++f) {
        ok = read_exact(fp, input.get(), frame_bytes) &&
             run_in_bands(out_rows, 1, threads, [&](int begin, int end) {
                 auto chroma_rows = scratch_of<std::uint16_t>(2 * static_cast<std::size_t>(out_cols));
                 if (!chroma_rows) return false;
                 convert_rows(layout, input.get(), bits.get(), out_rows, out_cols, row_bytes, begin, end,
                              chroma_rows.get(), chroma_rows.get() + out_cols);
                 return true;
             });
        ok = finish_writing() && ok;
        if (!ok) break;
        const std::uint8_t* frame_bits = bits.get();
        try {
            writing = std::thread([&, frame_bits] { written = movie->writer->write_bits(frame_bits); });
        } catch (const std::system_error&) {
            written = movie->writer->write_bits(frame_bits);
        }
        std::swap(bits, spare);
    }
    ok = finish_writing() && ok;
    std::fclose(fp);
    if (!ok) {
        delete movie;
        return nullptr;
    }
    movie->current = movie->writer->written();
    return CVideo::finish_sequence(movie);
}
