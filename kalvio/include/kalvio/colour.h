// Conversion of single colours between RGB and CIE L*u*v*.
#pragma once

#include <kalvio/export.h>

/// Converts a colour with r, g, b in 0..255 to L*u*v*, scaled so that white
/// (255, 255, 255) gives L = 100, u = v = 0 and black gives 0, 0, 0. The
/// luminance is quantised to 1/255 before its cube root, and L, u and v are
/// rounded to whole numbers (halves away from zero). Values outside 0..255
/// are converted by the same formulas, unclamped; NaN gives NaN. All three
/// outputs must be valid pointers.
KALVIO_API void RGB_to_LUV(float r, float g, float b, float* L, float* u, float* v);

/// The inverse of RGB_to_LUV up to its rounding: r, g, b in 0..255, clamped
/// there but not rounded. L below 0.1 gives black, and so does a colour
/// whose v' = v / (13 L) + 0.4683 is 0, which no colour with luminance
/// has (the formulas would divide by it); a NaN result channel gives 0.
/// All three outputs must be valid pointers.
KALVIO_API void LUV_to_RGB(float L, float u, float v, float* r, float* g, float* b);
