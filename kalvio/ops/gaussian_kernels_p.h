// The image kernels of the recursive Gaussian filters: what the image level
// hands them, and the entry points of the portable and the x86 kernels.
#pragma once

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

/// Rows a segment of the filter along y holds: a multiple of every row
/// block, and at least the four rows kept at each boundary. A segment's
/// source rows and band stay in a core's cache for images a few thousand
/// columns wide, and the kept rows (in place: scratch) amount to an eighth
/// of the image.
constexpr int kSegment = 32;

/// Rows of the causal pass along y held in the ring: the latest four and a
/// block.
constexpr int kRing = 8;

/// Rows the filter along x takes at a time, whatever the instruction set
/// (4 x 4, 2 x 8 or 1 x 16 lanes, or 16 single floats). Its buffers, about
/// 32 ncols floats, stay in the second-level cache.
constexpr int kFilterRows = 16;

/// The scratch rows of the filter along y, each as long as the band of
/// columns filtered (rounded up to 16 floats): `zero` holds zeros and is only
/// read; `kept` holds four rows per segment boundary, and it, `source_ring`
/// and `source_carry` are used only when the output replaces the source.
struct ColumnScratch {
    float* zero;
    float* ring[kRing];
    float* band[kSegment + 4];
    float* const* kept;
    float* source_ring[kRing];
    float* source_carry[4];
};

/// Filters `nrows` rows of `ncols` floats along x from `src` into `dst`
/// (which may be `src`). `xt` holds (ncols + 2 kPad) * kFilterRows floats of
/// scratch, `p` ncols * kFilterRows.
using RowsKernel = void (*)(const Coefficients&, const float* const* src, float* const* dst,
                            int nrows, int ncols, float* xt, float* p);
/// Filters `ncols` columns along y: `rows` points at source row 0 of rows
/// -kPad .. nrows - 1 + kPad, `dst` at nrows output rows, which are the
/// source rows themselves when `in_place`.
using ColumnsKernel = void (*)(const Coefficients&, const float* const* rows, float* const* dst,
                               int nrows, int ncols, const ColumnScratch& scratch, bool in_place);

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
/// the kernel the image filters choose. False when scratch memory is
/// lacking.
bool filter_along_rows(const Coefficients& k, float* const* in, float* const* out, int nrows, int ncols, bool half);

#ifdef KALVIO_X86_KERNELS
/// The SSE2, AVX2 or AVX-512 kernels: the widest set the processor has,
/// lowered to the one named by the environment variable KALVIO_SIMD
/// ("sse2", "avx2") when set. Defined only where the build compiles them.
Kernels x86_kernels(bool half);
#endif

}  // namespace kalvio::detail
