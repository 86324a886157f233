// The image kernels of the recursive Gaussian filters: what the image level
// hands them, and the entry points of the portable and the x86 kernels.
#pragma once

#include <cstddef>

namespace kalvio::detail {

/// The filter's coefficients as the image filters read them from a table.
struct Coefficients {
    float n0, n1, n2, n3;  ///< causal numerator
    float d1, d2, d3, d4;  ///< causal denominator
    float m1, m2, m3, m4;  ///< anti-causal numerator
    float e1, e2, e3, e4;  ///< anti-causal denominator
    float divisor;         ///< of the sum of both passes
};

/// Rows (along y) or columns (along x) repeated before and after a line:
/// the padding repeats the first and the last sample, which gives the border
/// rule without tests in the loops.
constexpr int kPad = 4;

/// Columns the filter along y takes at a time. Its scratch, kStrip floats
/// by the picture's height (1.5 MiB for 3000 rows), stays in the caches,
/// and a row of the strip holds enough independent recursions to keep the
/// arithmetic units busy.
constexpr int kStrip = 128;

/// The most rows the filter along x takes at a time, for which its scratch
/// is sized: 8 (2 x 4 lanes, 1 x 8 lanes, 8 single floats) or 16 (1 x 16
/// lanes). Eight rows keep the recursion's state in the registers of SSE2
/// and AVX2, which sixteen do not, and its buffers, 16 ncols floats, in the
/// second-level cache.
constexpr int kFilterRows = 16;

/// Pictures of more pixels than this are larger than the caches of a few
/// cores: the filter along x writes their rows past the cache, which spares
/// reading each line in only to overwrite it.
constexpr std::size_t kStreamPixels = std::size_t{4} << 20;

/// The pieces of a picture that the threads of the image filters take in
/// turn: blocks of rows along x, whole strips along y. Small enough that a
/// thread slowed by other work holds up the rest for little, large enough
/// that each piece's scratch and start cost little beside its filtering.
constexpr int kRowPiece = 64;
constexpr int kColumnPiece = 2 * kStrip;

/// Along x a piece of a new image also spans at least this many bytes. The
/// first pass over a new image is the first to touch its memory, which the
/// system clears a huge page (2 MiB) at a time: threads on neighbouring
/// small pieces would meet in the same huge page, one waiting while the
/// other clears it.
constexpr std::size_t kRowPieceBytes = std::size_t{4} << 20;

/// The scratch of the filter along y, every row `stride` floats long (at
/// least the widest strip filtered, at most kStrip): `causal` holds a row
/// per picture row, `zero` zeros and is only read; `ring` holds eight rows
/// of kStrip floats, four kept source rows and four anti-causal ones.
struct StripScratch {
    std::size_t stride;
    float* causal;
    float* ring;
    float* zero;
};

/// Filters `nrows` rows of `ncols` floats along x from `src` into `dst`
/// (which may be `src`), past the cache where it can when `stream`. `xt`
/// holds (ncols + 2 kPad) * kFilterRows floats of scratch, `p` ncols *
/// kFilterRows.
using RowsKernel = void (*)(const Coefficients&, const float* const* src, float* const* dst,
                            int nrows, int ncols, float* xt, float* p, bool stream);
/// Filters `ncols` columns along y: `rows` points at source row 0 of rows
/// -kPad .. nrows - 1 + kPad, `dst` at nrows output rows, which may be the
/// source rows themselves.
using ColumnsKernel = void (*)(const Coefficients&, const float* const* rows, float* const* dst,
                               int nrows, int ncols, const StripScratch& scratch);

/// The two image kernels of one instruction set.
struct Kernels {
    RowsKernel rows;
    ColumnsKernel columns;
};

/// Kernels in plain C++ for any machine: single floats, no intrinsics. They
/// give the same bits as the x86 kernels. With `half` (here and below) the
/// kernels also multiply every output by 0.5.
Kernels portable_kernels(bool half);

/// The coefficients of a table filled by ga or fdga.
Coefficients read_table(const float* const* table);

/// Filters the `nrows` lines that run down columns [c0, c1) of the rows `in`
/// into the same columns of the rows `out`, which may be `in` itself: the
/// filter along y of an image, or along z of a stack of planes given as its
/// rows. The kernel is the one the image filters choose. False when scratch
/// memory is lacking.
bool filter_columns(const Coefficients& k, float* const* in, float* const* out, int nrows, int c0, int c1,
                    bool half);

/// Filters the `nrows` rows `in` of `ncols` floats along x into the rows
/// `out`, which may be `in` itself: the filter along x of an image, with
/// the kernel the image filters choose; `stream` for rows of a picture of
/// more than kStreamPixels. False when scratch memory is lacking.
bool filter_along_rows(const Coefficients& k, float* const* in, float* const* out, int nrows, int ncols, bool half,
                       bool stream);

#ifdef KALVIO_X86_KERNELS
/// The SSE2, AVX2 or AVX-512 kernels: the widest set the processor has,
/// lowered to the one named by the environment variable KALVIO_SIMD
/// ("sse2", "avx2") when set. Defined only where the build compiles them.
Kernels x86_kernels(bool half);
#endif

}  // namespace kalvio::detail
