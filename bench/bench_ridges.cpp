// Ridge detection benchmark: ridges on a 4000 x 3000 grey picture at 4
// scales (sigma 1, 2, 3, 4; bright and dark lines) beside two references in
// the same run.
//
// - BM_cv_hessian_ridges: the nearest OpenCV work of the same kind, a
//   multi-scale Hessian line measure. Per scale: GaussianBlur at sigma,
//   Sobel first derivatives and their direction (cv::phase), Sobel second
//   derivatives, the 2 x 2 Hessian's eigenvalues and eigenvector angle per
//   pixel (cv::magnitude, cv::phase and array arithmetic, all vectorised by
//   OpenCV), the strength |larger eigenvalue|, and the best scale kept per
//   pixel (strength, direction and scale); then the strengths stretched
//   onto 0..1. It does less than ridges: no check of the gradients on both
//   sides of the line and no interpolated derivatives one scale away, so it
//   bounds what honest work of this kind costs from below; its results are
//   not ridges'. Its matrices are allocated once, before the timing, as
//   OpenCV lets a caller do; ridges must return new planes every call, so
//   its times include getting fresh pages for them (and smooth_image's new
//   image per scale), which is slow on virtual machines.
// - BM_smooth_floor: the four smooth_image calls that ridges makes, alone:
//   the part of ridges that no work per pixel can remove.
//
// Ours runs on one thread per processor (KALVIO_THREADS) and the *threads:1
// runs hold it to one; OpenCV runs with its default thread pool, and with
// one thread in its *threads:1 runs. Wall-clock times; on a shared machine
// compare the *threads:1 runs' CPU times. The picture (made once, untimed)
// has blocks, waves, noise and thin bright and dark lines.
#include <kalvio/image.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kRows = 3000;
constexpr int kCols = 4000;
constexpr int kScales = 4;
constexpr float kSigmaMin = 1.0f;
constexpr float kSigmaMax = 4.0f;

const CImage& picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
        unsigned state = 12345;
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                state = state * 1664525u + 1013904223u;
                const float noise = static_cast<float>(state >> 24) / 16.0f;
                const float shape = ((r / 200 + c / 300) % 2) ? 160.0f : 60.0f;
                const float wave = 20.0f * std::sin(0.01f * static_cast<float>(r + 2 * c));
                // Wavy lines two pixels wide every 40 rows, bright and dark in turn.
                const float bend = 6.0f * std::sin(0.005f * static_cast<float>(c));
                const int offset = static_cast<int>(std::lround(static_cast<float>(r % 40) - bend));
                const float line = (offset == 20 || offset == 21) ? ((r / 40) % 2 ? 60.0f : -60.0f) : 0.0f;
                p->data[r][c] = shape + wave + noise + line;
            }
        return p;
    }();
    return *image;
}

// Holds our operations to one thread while alive (when `one` is set).
class OneThread {
public:
    explicit OneThread(bool one) : m_one(one) {
        if (m_one) setenv("KALVIO_THREADS", "1", 1);
    }
    ~OneThread() {
        if (m_one) unsetenv("KALVIO_THREADS");
    }
    OneThread(const OneThread&) = delete;
    OneThread& operator=(const OneThread&) = delete;

private:
    bool m_one;
};

float sigma_of(int k) { return static_cast<float>(k) * (kSigmaMax - kSigmaMin) / (kScales - 1) + kSigmaMin; }

void BM_ridges(benchmark::State& state) {
    const OneThread threads(state.range(0) == 1);
    CImage image(picture());  // copied before the timing starts
    for (auto _ : state) {
        image.ridges(kSigmaMin, kSigmaMax, kScales, 1, 1, nullptr);
        benchmark::DoNotOptimize(image.mag[0]);
    }
}

void BM_smooth_floor(benchmark::State& state) {
    CImage& image = const_cast<CImage&>(picture());
    for (auto _ : state)
        for (int k = 0; k < kScales; ++k) {
            std::unique_ptr<CImage> smooth(image.smooth_image(sigma_of(k)));
            benchmark::DoNotOptimize(smooth->data[0]);
        }
}

// The working matrices of the OpenCV measure, allocated once.
struct HessianWork {
    cv::Mat smooth, dx, dy, gradient_angle, dxx, dyy, dxy, diff, twice_dxy, radius, half_trace, large, small, angle,
        strength, better, mag, dir, scale;
};

void hessian_ridges(const cv::Mat& source, HessianWork& w) {
    w.mag.create(source.size(), CV_32F);
    w.dir.create(source.size(), CV_32F);
    w.scale.create(source.size(), CV_32F);
    w.mag.setTo(0.0f);
    w.dir.setTo(3.5f);
    w.scale.setTo(0.0f);
    for (int k = 0; k < kScales; ++k) {
        const double sigma = sigma_of(k);
        cv::GaussianBlur(source, w.smooth, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        cv::Sobel(w.smooth, w.dx, CV_32F, 1, 0, 3, 0.125);
        cv::Sobel(w.smooth, w.dy, CV_32F, 0, 1, 3, 0.125);
        cv::phase(w.dx, w.dy, w.gradient_angle);
        cv::Sobel(w.smooth, w.dxx, CV_32F, 2, 0, 3, 0.25);
        cv::Sobel(w.smooth, w.dyy, CV_32F, 0, 2, 3, 0.25);
        cv::Sobel(w.smooth, w.dxy, CV_32F, 1, 1, 3, 0.25);
        // Eigenvalues (dxx + dyy) / 2 +/- sqrt(((dxx - dyy) / 2)^2 + dxy^2)
        // and the angle of the first eigenvector.
        cv::subtract(w.dxx, w.dyy, w.diff);
        w.diff *= 0.5;
        cv::magnitude(w.diff, w.dxy, w.radius);
        cv::add(w.dxx, w.dyy, w.half_trace);
        w.half_trace *= 0.5;
        cv::add(w.half_trace, w.radius, w.large);
        cv::subtract(w.half_trace, w.radius, w.small);
        w.twice_dxy = w.dxy * 2.0;
        cv::phase(w.diff, w.twice_dxy, w.angle);
        w.angle *= 0.5;
        // Strength: the eigenvalue of larger size.
        w.large = cv::abs(w.large);
        w.small = cv::abs(w.small);
        cv::max(w.large, w.small, w.strength);
        cv::compare(w.strength, w.mag, w.better, cv::CMP_GT);
        w.strength.copyTo(w.mag, w.better);
        w.angle.copyTo(w.dir, w.better);
        w.scale.setTo(sigma, w.better);
    }
    double low, high;
    cv::minMaxLoc(w.mag, &low, &high);
    if (high > low) w.mag = (w.mag - low) / (high - low);
}

void BM_cv_hessian_ridges(benchmark::State& state) {
    cv::setNumThreads(state.range(0) == 1 ? 1 : -1);
    const cv::Mat source(kRows, kCols, CV_32F, picture().data[0]);
    HessianWork work;
    hessian_ridges(source, work);  // untimed: allocates the matrices and touches their pages
    for (auto _ : state) {
        hessian_ridges(source, work);
        benchmark::DoNotOptimize(work.mag.data);
    }
    cv::setNumThreads(-1);
}

// Argument "threads": 0 = default (one per processor, or OpenCV's pool), 1.
void threads(benchmark::internal::Benchmark* b) {
    b->ArgName("threads")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_ridges)->Apply(threads);
BENCHMARK(BM_cv_hessian_ridges)->Apply(threads);
BENCHMARK(BM_smooth_floor)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
