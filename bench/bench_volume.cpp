// Volume benchmark: smooth_volume on a 256 x 256 x 256 float volume beside
// the 2-D smoothing of the same voxels and beside OpenCV's separable
// Gaussian (GaussianBlur on each slice, then sepFilter2D along z over the
// slices laid side by side), and ridges, the per-voxel Hessian eigenvalues.
//
// The 2-D smoothing is measured three ways: smooth_image on each slice,
// each result deleted at once (its memory is reused by the next); the same
// keeping every result until the end, as a volume keeps its slices (fresh
// memory, small pages); and smooth_image on one 4096 x 4096 picture of the
// same pixel count (fresh memory the filters ask huge pages for). Where
// first-touch page faults are slow (virtual machines) the three differ
// several times over; the volume's slices are small pictures of their own
// and pay as the second does.
//
// Smoothing along three axes costs three passes where the 2-D smoothing
// costs two: the goal is smooth_volume within 1.5 x (3/2) = 2.25 x of the
// 2-D time. Argument 1 runs everything on one thread (KALVIO_THREADS=1,
// cv::setNumThreads(1)) and is compared on process CPU time; argument 0
// leaves each its default threads and is timed on the wall clock. Ridges
// run once per thread setting, on the wall clock.
#include <kalvio/image.h>
#include <kalvio/volume.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdlib.h>
#include <vector>

namespace {

constexpr int kSize = 256;
constexpr float kSigma = 2.0f;

// A volume with blobs, a gradient and noise in 0..255; made once.
const CVolume& volume() {
    static const std::unique_ptr<CVolume> v = [] {
        auto p = std::make_unique<CVolume>(kSize, kSize, kSize, 0, KALVIO_FORMAT_V2_VOLUME,
                                           KALVIO_TYPE_FLOAT);
        unsigned state = 12345;
        for (int k = 0; k < kSize; ++k)
            for (int r = 0; r < kSize; ++r)
                for (int c = 0; c < kSize; ++c) {
                    state = state * 1664525u + 1013904223u;
                    const float noise = static_cast<float>(state >> 24) / 16.0f;
                    const float shape = ((k / 40 + r / 50 + c / 60) % 2) ? 160.0f : 60.0f;
                    p->slices[k].data[r][c] = shape + 0.2f * static_cast<float>(r + c - k) + noise;
                }
        return p;
    }();
    return *v;
}

// The thread setting of a run: argument 1 is one thread for us and OpenCV.
void set_threads(const benchmark::State& state) {
    if (state.range(0) == 1) {
        ::setenv("KALVIO_THREADS", "1", 1);
        cv::setNumThreads(1);
    } else {
        ::unsetenv("KALVIO_THREADS");
        cv::setNumThreads(-1);
    }
}

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize * kSize *
                            static_cast<int64_t>(sizeof(float)));
}

void BM_smooth_volume(benchmark::State& state) {
    CVolume& v = const_cast<CVolume&>(volume());
    set_threads(state);
    for (auto _ : state) {
        std::unique_ptr<CVolume> smooth(v.smooth_volume(kSigma));
        benchmark::DoNotOptimize(smooth.get());
    }
    set_bytes(state);
}

// The 2-D smoothing of every slice: two passes over the same voxels.
void BM_smooth_slices(benchmark::State& state) {
    CVolume& v = const_cast<CVolume&>(volume());
    set_threads(state);
    for (auto _ : state)
        for (int k = 0; k < kSize; ++k) {
            std::unique_ptr<CImage> smooth(v.slices[k].smooth_image(kSigma));
            benchmark::DoNotOptimize(smooth.get());
        }
    set_bytes(state);
}

// The same, keeping every slice until all are smoothed, as a volume does:
// the results take fresh memory rather than the one slice's reused.
void BM_smooth_slices_kept(benchmark::State& state) {
    CVolume& v = const_cast<CVolume&>(volume());
    set_threads(state);
    std::vector<std::unique_ptr<CImage>> kept(kSize);
    for (auto _ : state) {
        for (int k = 0; k < kSize; ++k) kept[k].reset(v.slices[k].smooth_image(kSigma));
        benchmark::DoNotOptimize(kept.data());
        for (auto& slice : kept) slice.reset();
    }
    set_bytes(state);
}

// One picture of the same number of pixels (4096 x 4096).
void BM_smooth_picture(benchmark::State& state) {
    static CImage picture(4096, 4096, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    const CVolume& v = volume();
    for (int k = 0; k < kSize; ++k)
        for (int r = 0; r < kSize; ++r)
            std::memcpy(picture.data[k / 16 * kSize + r] + k % 16 * kSize, v.slices[k].data[r],
                        sizeof(float) * kSize);
    set_threads(state);
    for (auto _ : state) {
        std::unique_ptr<CImage> smooth(picture.smooth_image(kSigma));
        benchmark::DoNotOptimize(smooth.get());
    }
    set_bytes(state);
}

// OpenCV: the slices side by side in one block, GaussianBlur on each into
// a second block, then a vertical pass of sepFilter2D over the second block
// seen as kSize rows (one a slice) of kSize^2 columns, which filters along z.
void BM_opencv_separable(benchmark::State& state) {
    const CVolume& v = volume();
    set_threads(state);
    const int plane = kSize * kSize;
    cv::Mat source(kSize, plane, CV_32F), across(kSize, plane, CV_32F), out(kSize, plane, CV_32F);
    for (int k = 0; k < kSize; ++k)
        cv::Mat(kSize, kSize, CV_32F, v.slices[k].data[0]).copyTo(source.row(k).reshape(1, kSize));
    across.setTo(0);
    out.setTo(0);
    const int taps = 2 * static_cast<int>(std::ceil(4 * kSigma)) + 1;
    const cv::Mat along_z = cv::getGaussianKernel(taps, kSigma, CV_32F);
    const cv::Mat identity = cv::Mat::ones(1, 1, CV_32F);
    for (auto _ : state) {
        for (int k = 0; k < kSize; ++k) {
            cv::Mat slice_out = across.row(k).reshape(1, kSize);
            cv::GaussianBlur(source.row(k).reshape(1, kSize), slice_out, cv::Size(taps, taps),
                             kSigma, kSigma, cv::BORDER_REPLICATE);
        }
        cv::sepFilter2D(across, out, CV_32F, identity, along_z, cv::Point(-1, -1), 0,
                        cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

void BM_ridges(benchmark::State& state) {
    CVolume& v = const_cast<CVolume&>(volume());
    set_threads(state);
    for (auto _ : state) v.ridges(0, 0, 0, 0, 0);
    set_bytes(state);
}

BENCHMARK(BM_smooth_slices)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_smooth_slices_kept)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_smooth_picture)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_smooth_volume)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_opencv_separable)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_smooth_slices)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_smooth_volume)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_opencv_separable)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ridges)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
