// Grey-level histograms, their smoothing, and Gaussian-mixture models of them.
#pragma once

#include <kalvio/export.h>
#include <kalvio/object.h>

class CImage;

/// The counts of the integer grey levels of an image, optionally inside a
/// mask, with an optional model of them as a sum of n Gaussians,
/// f(x) = sum a_i^2 exp(-((x - mu_i) / w_i)^2), fitted by LevenbergMarquardt.
///
/// The histogram owns `counts` (make_1D_int_array) and `params`
/// (make_1D_float_array). `params` is non-null exactly when a fit holds
/// (nparams > 0); `counts` is null exactly when nbins is 0.
class KALVIO_API CHistogram : public CObject {
    KALVIO_DECLARE_DYNCREATE(CHistogram);

public:
    int nbins;      ///< number of bins: the largest grey level counted, truncated, plus 1; 0 when empty
    int peak;       ///< the largest count of any bin when counted (0 for an empty histogram)
    int* counts;    ///< nbins counts; bin b holds the pixels whose value truncates to b
    float* params;  ///< a_i, mu_i, w_i for each Gaussian of the fit; null when no fit holds
    int nparams;    ///< floats in params: 3 x the number of Gaussians; 0 when no fit holds

    /// Empty histogram: no bins, no fit.
    CHistogram();
    /// The histogram of every pixel of `image`; with `ignorezero` non-zero,
    /// bin 0 is cleared after counting. See the mask constructor.
    CHistogram(CImage* image, int ignorezero);
    /// The histogram of the pixels where `mask` (same size as `image`) is
    /// non-zero; in a colour mask, where any channel is. A colour image is
    /// counted by the grey values MakeGray gives. Negative values and values
    /// that are not finite are not counted. Empty (nbins 0, no message) for
    /// an image or mask without pixels, or when nothing is counted; empty
    /// after a message for a mask of another size ("The two images should
    /// have the same size"), a grey level of 2^31 or more ("CHistogram:
    /// grey level too large to count") or bins that cannot be allocated (the
    /// allocator's message). O(pixels + nbins).
    CHistogram(CImage* image, CImage* mask);
    /// Deep copy.
    CHistogram(const CHistogram& source);
    /// Copies nbins and peak, the counts and, when the source holds a fit,
    /// the parameters; without one this histogram holds none either. Safe
    /// when `source` is this histogram. When memory is lacking (after the
    /// allocator's message) the histogram is left as it was.
    CHistogram& operator=(const CHistogram& source);
    /// Releases counts and params.
    ~CHistogram() override;

    /// Smooths the counts in place with a Gaussian window of `width` bins
    /// (k = width, h = k / 2, weights exp(-(i - h)^2 / (k^2 / 18)) for
    /// i < k, sigma = k / 6), normalised by the weights that fall inside
    /// the bins, rounded half away from zero. `peak` keeps its counted
    /// value. A width of 1 or less leaves the counts unchanged.
    /// O(nbins x min(width, 2 nbins)).
    void Smooth(int width);

    /// Fits n Gaussians to the counts, starting from the mean and variance
    /// of n equal segments of the bins from the first non-zero one, and
    /// returns the chi-square of the fit (unit deviations), or exactly
    /// 1,000,000 on failure. Either way the previous fit is released: on
    /// success the n-Gaussian fit is installed (nparams = 3n), on failure
    /// none holds (params null, nparams 0). Fails for n < 1, an empty
    /// histogram, a segment without counts or with zero variance (also when
    /// n exceeds the bins to split), and when LevenbergMarquardt fails.
    float FitNGaussians(int n);

    /// Fits n = max(nmin, 0) ... nmax - 1 Gaussians and returns their
    /// measures r[n] (FitNGaussians) in an array of nmax floats indexed by
    /// n, the other entries 0; the caller releases it with
    /// free_1D_float_array. A fit succeeded when its measure is not exactly
    /// 1,000,000, however large the measure. Among the fits that succeeded,
    /// with smallest and largest their extreme measures, installs the first
    /// n whose (r[n] - smallest) / (largest - smallest) is below `threshold`
    /// (taken as 0 for every fit when all measures are equal), else the last
    /// successful one; when no fit succeeded, none holds afterwards. A
    /// failed fit is never installed.
    ///
    /// An empty range (max(nmin, 0) >= nmax) computes and installs nothing
    /// and leaves the current fit: the result is then nmax zeros, or null
    /// when nmax < 1. Null also when memory is lacking, with the current fit
    /// left as well.
    float* FitGaussians(int nmin, int nmax, float threshold);
};
