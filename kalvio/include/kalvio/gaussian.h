// Recursive Gaussian filtering: coefficient tables and the line filter.
#pragma once

#include <kalvio/export.h>

/// Fills a 5 x 5 coefficient table (make_2D_float_array(5, 5)) for the
/// recursive approximation of the Gaussian (ga) or of its first derivative
/// (fdga) at scale `sigma` > 0.
KALVIO_API void ga(float sigma, float** table);
KALVIO_API void fdga(float sigma, float** table);

/// Filters the n floats of `line` in place with the coefficients of `table`:
/// causal and anti-causal pass, their sum divided by the table's divisor.
/// Samples before the line repeat line[0], samples past it line[n - 1]; any
/// n >= 1 works. Does nothing for n <= 0 or a null table or line.
///
/// The image filters of CImage run the same recursion on many lines at once
/// with SSE2, AVX2 or AVX-512, chosen at run time, or with portable kernels
/// on single floats where the build has no x86 kernels (other processors,
/// or KALVIO_PORTABLE_KERNELS); all give the same bits. The environment
/// variable KALVIO_SIMD=sse2 or =avx2 caps the choice, =none takes the
/// portable kernels.
/// Pictures of a megapixel or more are split into pieces of rows or columns
/// that one thread per processor (KALVIO_THREADS=n sets the number, at most
/// 8) takes in turn; the bits do not depend on the split. The filters are safe to call from
/// several threads at once on different images.
KALVIO_API void apply_IIR4_filter_z(float** table, float* line, int n);
