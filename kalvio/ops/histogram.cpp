// CHistogram: counting grey levels, smoothing the counts, and fitting sums
// of Gaussians to them.
#include "ops/image_checks_p.h"

#include <kalvio/arrays.h>
#include <kalvio/histogram.h>
#include <kalvio/image.h>
#include <kalvio/message.h>
#include <kalvio/numeric.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

using namespace kalvio::detail;

KALVIO_IMPLEMENT_DYNCREATE(CHistogram, CObject);

namespace {

// LevenbergMarquardt's failure value, also the measure of a failed fit.
constexpr float kFitFailure = 1000000.0f;

// Grey levels from 2^31 on would need more bins than an int can count.
constexpr float kFirstLevelTooLarge = 2147483648.0f;

// A value that is counted: not negative and finite (NaN fails both tests).
inline bool countable(float v) { return v >= 0.0f && v <= FLT_MAX; }

// Whether the mask holds pixel (r, c): any channel non-zero.
inline bool inside(const CImage* mask, int r, int c) {
    if (!mask) return true;
    if (mask->color != 1) return mask->data[r][c] != 0.0f;
    const float* p = mask->data[r] + 3 * c;
    return p[0] != 0.0f || p[1] != 0.0f || p[2] != 0.0f;
}

// The largest counted value of a grey image; false when none is counted.
bool largest_counted(const CImage& grey, const CImage* mask, float* largest) {
    bool any = false;
    float top = 0.0f;
    for (int r = 0; r < grey.nrows; ++r) {
        const float* row = grey.data[r];
        for (int c = 0; c < grey.ncols; ++c) {
            const float v = row[c];
            if (!countable(v) || !inside(mask, r, c)) continue;
            any = true;
            top = std::max(top, v);
        }
    }
    *largest = top;
    return any;
}

// The fitted model: sum over the Gaussians of a^2 exp(-t^2), t = (x - mu) / w,
// with its derivatives with respect to a, mu and w.
void gaussian_mixture(float x, float* a, float* y, float* dyda, int ma) {
    float sum = 0.0f;
    for (int i = 0; i + 2 < ma; i += 3) {
        const float amplitude = a[i], centre = a[i + 1], width = a[i + 2];
        const float t = (x - centre) / width;
        const float e = std::exp(-t * t);
        const float a2e = amplitude * amplitude * e;
        sum += a2e;
        dyda[i] = 2.0f * amplitude * e;
        dyda[i + 1] = a2e * t * 2.0f / width;
        dyda[i + 2] = a2e * t * t * 2.0f / width;
    }
    *y = sum;
}

// Starting parameters of one Gaussian from the counts of bins [lo, hi):
// amplitude root sqrt(S / E), the mean, and width sqrt(2 v), with S the
// total count, v the variance and E the sum of the unit Gaussian of that
// mean and variance over the bins. False for a segment without counts or
// with zero variance.
bool segment_start(const int* counts, int lo, int hi, float* out) {
    double total = 0.0, moment = 0.0;
    for (int b = lo; b < hi; ++b) {
        total += counts[b];
        moment += double(b) * counts[b];
    }
    if (!(total > 0.0)) return false;
    const double mean = moment / total;
    double spread = 0.0;
    for (int b = lo; b < hi; ++b) spread += (b - mean) * (b - mean) * counts[b];
    const double variance = spread / total;
    if (!(variance > 0.0)) return false;
    double mass = 0.0;
    for (int b = lo; b < hi; ++b) mass += std::exp(-0.5 * (b - mean) * (b - mean) / variance);
    out[0] = static_cast<float>(std::sqrt(total / mass));
    out[1] = static_cast<float>(mean);
    out[2] = static_cast<float>(std::sqrt(2.0 * variance));
    return std::isfinite(out[0]) && std::isfinite(out[2]) && out[2] > 0.0f;
}

// Fills an empty histogram with the counts of the grey values of `image`
// (MakeGray's for a colour image) inside `mask` (null: everywhere). Leaves
// it empty when there is nothing to count, the levels need too many bins
// (after a message) or memory is lacking (after the allocator's).
void count_levels(CHistogram& h, CImage* image, const CImage* mask) {
    if (!has_pixels(image)) return;
    std::unique_ptr<CImage> grey_copy;
    const CImage* grey = image;
    if (image->color == 1) {
        grey_copy.reset(image->MakeGray());
        if (!grey_copy) return;
        grey = grey_copy.get();
    }
    float largest = 0.0f;
    if (!largest_counted(*grey, mask, &largest)) return;
    if (largest >= kFirstLevelTooLarge) {
        AfxMessageBox("CHistogram: grey level too large to count");
        return;
    }
    const int bins = static_cast<int>(largest) + 1;
    int* counts = make_1D_int_array(bins);
    if (!counts) return;
    for (int r = 0; r < grey->nrows; ++r) {
        const float* row = grey->data[r];
        for (int c = 0; c < grey->ncols; ++c)
            if (countable(row[c]) && inside(mask, r, c)) ++counts[static_cast<int>(row[c])];
    }
    h.counts = counts;
    h.nbins = bins;
}

int largest_count(const int* counts, int nbins) {
    int peak = 0;
    for (int b = 0; b < nbins; ++b) peak = std::max(peak, counts[b]);
    return peak;
}

void release_fit(CHistogram& h) {
    free_1D_float_array(h.params);
    h.params = nullptr;
    h.nparams = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and copying

CHistogram::CHistogram() : nbins(0), peak(0), counts(nullptr), params(nullptr), nparams(0) {}

CHistogram::CHistogram(CImage* image, int ignorezero) : CHistogram() {
    count_levels(*this, image, nullptr);
    if (ignorezero && nbins > 0) counts[0] = 0;
    peak = largest_count(counts, nbins);
}

CHistogram::CHistogram(CImage* image, CImage* mask) : CHistogram() {
    if (!has_pixels(image) || !has_pixels(mask) || !require_same_size(*image, *mask)) return;
    count_levels(*this, image, mask);
    peak = largest_count(counts, nbins);
}

CHistogram::CHistogram(const CHistogram& source) : CHistogram() { *this = source; }

CHistogram& CHistogram::operator=(const CHistogram& source) {
    if (this == &source) return *this;
    // Copy first, so that lack of memory leaves this histogram as it was.
    int* new_counts = nullptr;
    float* new_params = nullptr;
    if (source.nbins > 0 && source.counts) {
        new_counts = make_1D_int_array(source.nbins);
        if (!new_counts) return *this;
        std::memcpy(new_counts, source.counts, sizeof(int) * static_cast<std::size_t>(source.nbins));
    }
    if (source.nparams > 0 && source.params) {
        new_params = make_1D_float_array(source.nparams);
        if (!new_params) {
            free_1D_int_array(new_counts);
            return *this;
        }
        std::memcpy(new_params, source.params, sizeof(float) * static_cast<std::size_t>(source.nparams));
    }
    free_1D_int_array(counts);
    free_1D_float_array(params);
    counts = new_counts;
    nbins = new_counts ? source.nbins : 0;
    peak = source.peak;
    params = new_params;
    nparams = new_params ? source.nparams : 0;
    return *this;
}

CHistogram::~CHistogram() {
    free_1D_int_array(counts);
    free_1D_float_array(params);
}

// ---------------------------------------------------------------------------
// Smoothing

void CHistogram::Smooth(int width) {
    if (width <= 1 || nbins < 1 || !counts) return;
    const int k = width, h = k / 2;
    // Offsets o = i - h of the window; those beyond nbins - 1 either way
    // never meet a bin.
    const int lo = std::max(-h, -(nbins - 1));
    const int hi = std::min(k - 1 - h, nbins - 1);
    const std::unique_ptr<double[]> weights(new (std::nothrow) double[std::size_t(hi - lo) + 1]);
    int* smoothed = weights ? make_1D_int_array(nbins) : nullptr;
    if (!smoothed) return;
    const double spread = double(k) * double(k) * 0.055555556;
    for (int o = lo; o <= hi; ++o) weights[o - lo] = std::exp(-double(o) * double(o) / spread);
    for (int b = 0; b < nbins; ++b) {
        // The window clipped to the bins; it always holds o = 0 (weight 1).
        const int first = std::max(lo, -b), last = std::min(hi, nbins - 1 - b);
        double sum = 0.0, total = 0.0;
        for (int o = first; o <= last; ++o) {
            sum += weights[o - lo] * counts[b + o];
            total += weights[o - lo];
        }
        smoothed[b] = static_cast<int>(std::lround(sum / total));
    }
    free_1D_int_array(counts);
    counts = smoothed;
}

// ---------------------------------------------------------------------------
// Gaussian fits

float CHistogram::FitNGaussians(int n) {
    release_fit(*this);
    if (n < 1 || n > INT_MAX / 3 || nbins < 1 || !counts) return kFitFailure;
    int first = 0;
    while (first < nbins && counts[first] == 0) ++first;
    if (first == nbins) first = 0;
    const std::int64_t span = nbins - first;
    // More segments than bins leaves one empty.
    if (n > span) return kFitFailure;

    float* start = make_1D_float_array(3 * n);
    if (!start) return kFitFailure;
    for (int i = 0; i < n; ++i) {
        const int lo = static_cast<int>(first + span * i / n);
        const int hi = static_cast<int>(first + span * (i + 1) / n);
        if (!segment_start(counts, lo, hi, start + 3 * i)) {
            free_1D_float_array(start);
            return kFitFailure;
        }
    }

    const auto x = scratch_of<float>(std::size_t(nbins)), y = scratch_of<float>(std::size_t(nbins)),
               sig = scratch_of<float>(std::size_t(nbins));
    float result = kFitFailure;
    if (x && y && sig) {
        for (int b = 0; b < nbins; ++b) {
            x[b] = static_cast<float>(b);
            y[b] = static_cast<float>(counts[b]);
            sig[b] = 1.0f;
        }
        result = LevenbergMarquardt(x.get(), y.get(), sig.get(), nbins, start, 3 * n, gaussian_mixture);
    }
    if (result == kFitFailure) {
        free_1D_float_array(start);
        return kFitFailure;
    }
    params = start;
    nparams = 3 * n;
    return result;
}

float* CHistogram::FitGaussians(int nmin, int nmax, float threshold) {
    if (nmax < 1) return nullptr;
    float* measures = make_1D_float_array(nmax);
    if (!measures) return nullptr;
    const int from = std::max(nmin, 0);
    if (from >= nmax) return measures;
    // The parameters of each successful fit, taken over from FitNGaussians.
    const std::unique_ptr<float*[]> fits(new (std::nothrow) float*[std::size_t(nmax - from)]());
    if (!fits) {
        free_1D_float_array(measures);
        return nullptr;
    }
    const auto fit_of = [&](int n) -> float*& { return fits[std::size_t(n - from)]; };

    // A fit failed exactly when its measure is the failure value, whatever
    // the size of the others.
    double smallest = 0.0, largest = 0.0;
    bool any = false;
    for (int n = from; n < nmax; ++n) {
        measures[n] = FitNGaussians(n);
        if (measures[n] == kFitFailure) continue;
        fit_of(n) = params;
        params = nullptr;
        nparams = 0;
        smallest = any ? std::min(smallest, double(measures[n])) : measures[n];
        largest = any ? std::max(largest, double(measures[n])) : measures[n];
        any = true;
    }

    int chosen = -1, last_success = -1;
    for (int n = from; n < nmax; ++n) {
        if (!fit_of(n)) continue;
        last_success = n;
        // All measures equal: every fit is as good as the first.
        const double normalised = largest > smallest ? (measures[n] - smallest) / (largest - smallest) : 0.0;
        if (chosen < 0 && normalised < threshold) chosen = n;
    }
    if (chosen < 0) chosen = last_success;
    if (chosen >= 0) {
        params = fit_of(chosen);
        nparams = 3 * chosen;
        fit_of(chosen) = nullptr;
    }
    for (int n = from; n < nmax; ++n) free_1D_float_array(fit_of(n));
    return measures;
}
