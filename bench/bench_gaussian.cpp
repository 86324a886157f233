// Recursive Gaussian benchmark: smooth_image and first_derivative_x against
// OpenCV's GaussianBlur and Sobel, and a plain memcpy of the same picture.
//
// The picture is a 4000 x 3000 grey float image (48 MB). Each benchmark's
// argument is sigma (1, 4, 16); our filters cost the same at every sigma,
// GaussianBlur's kernel grows with it (cv::Size(0, 0): about 8 sigma + 1
// taps for float pictures). OpenCV runs single-threaded, like our filters
// (cv::setNumThreads(1)); the benchmarks named *_threads leave OpenCV its
// default thread pool. Our calls return a new image each time, as the
// library's interface does, so their times include allocating it (measured
// alone as BM_new_image); OpenCV and memcpy write into a destination
// allocated, and touched, before the timing starts.
//
// The ratios are taken on CPU time (process CPU time, page faults included):
// the machine may be shared, and CPU time is far less disturbed by other
// work than wall-clock time. The *_threads runs use several threads and are
// timed on the wall clock instead.
#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sys/mman.h>

namespace {

constexpr int kRows = 3000;
constexpr int kCols = 4000;

// A picture with edges, gradients and texture in 0..255; made once.
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
                p->data[r][c] = shape + wave + noise;
            }
        return p;
    }();
    return *image;
}

// The picture's pixels as an OpenCV matrix sharing its memory (the rows of a
// CImage are one contiguous block).
cv::Mat picture_mat() {
    return cv::Mat(kRows, kCols, CV_32F, picture().data[0]);
}

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRows * kCols *
                            static_cast<int64_t>(sizeof(float)));
}

float sigma_of(const benchmark::State& state) { return static_cast<float>(state.range(0)); }

void BM_memcpy(benchmark::State& state) {
    const CImage& image = picture();
    const std::size_t bytes = sizeof(float) * kRows * kCols;
    std::unique_ptr<float[]> destination(new float[kRows * kCols]);
    std::memset(destination.get(), 0, bytes);
    for (auto _ : state) {
        std::memcpy(destination.get(), image.data[0], bytes);
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// What returning a new picture costs by itself: a CImage of the same size,
// every page touched once, released. The library asks for huge pages for its
// new images, and so does this.
void BM_new_image(benchmark::State& state) {
    const std::size_t bytes = sizeof(float) * kRows * kCols;
    for (auto _ : state) {
        auto image = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
        const auto first = reinterpret_cast<std::uintptr_t>(image->data[0]);
        const std::uintptr_t huge = std::uintptr_t{2} << 20;
        const std::uintptr_t begin = (first + huge - 1) / huge * huge;
        const std::uintptr_t end = (first + bytes) / huge * huge;
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        std::memset(image->data[0], 0, bytes);
        benchmark::DoNotOptimize(image->data[0]);
    }
    set_bytes(state);
}

void BM_smooth_image(benchmark::State& state) {
    CImage& image = const_cast<CImage&>(picture());
    for (auto _ : state) {
        std::unique_ptr<CImage> result(image.smooth_image(sigma_of(state)));
        benchmark::DoNotOptimize(result->data[0]);
    }
    set_bytes(state);
}

void BM_first_derivative_x(benchmark::State& state) {
    CImage& image = const_cast<CImage&>(picture());
    for (auto _ : state) {
        std::unique_ptr<CImage> result(image.first_derivative_x(sigma_of(state)));
        benchmark::DoNotOptimize(result->data[0]);
    }
    set_bytes(state);
}

// One filter pass along x or y, for the cost of each axis.
template <bool AlongX>
void BM_filter(benchmark::State& state) {
    CImage& image = const_cast<CImage&>(picture());
    float** table = make_2D_float_array(5, 5);
    ga(sigma_of(state), table);
    for (auto _ : state) {
        std::unique_ptr<CImage> result(AlongX ? image.apply_IIR4_filter_x(table)
                                              : image.apply_IIR4_filter_y(table));
        benchmark::DoNotOptimize(result->data[0]);
    }
    free_2D_float_array(table);
    set_bytes(state);
}

template <bool Threads>
void BM_cv_GaussianBlur(benchmark::State& state) {
    cv::setNumThreads(Threads ? -1 : 1);
    const cv::Mat source = picture_mat();
    cv::Mat destination;
    // Untimed first call: allocates the destination and touches its pages.
    cv::GaussianBlur(source, destination, cv::Size(0, 0), sigma_of(state));
    for (auto _ : state) {
        cv::GaussianBlur(source, destination, cv::Size(0, 0), sigma_of(state));
        benchmark::DoNotOptimize(destination.data);
    }
    set_bytes(state);
}

// 3 x 3 Sobel derivative across columns; it has no scale.
void BM_cv_Sobel(benchmark::State& state) {
    cv::setNumThreads(1);
    const cv::Mat source = picture_mat();
    cv::Mat destination;
    cv::Sobel(source, destination, CV_32F, 1, 0, 3);  // untimed, as above
    for (auto _ : state) {
        cv::Sobel(source, destination, CV_32F, 1, 0, 3);
        benchmark::DoNotOptimize(destination.data);
    }
    set_bytes(state);
}

// GaussianBlur then Sobel: OpenCV's nearest counterpart of a smoothed
// derivative at a given scale.
void BM_cv_GaussianBlur_Sobel(benchmark::State& state) {
    cv::setNumThreads(1);
    const cv::Mat source = picture_mat();
    cv::Mat smooth, destination;
    cv::GaussianBlur(source, smooth, cv::Size(0, 0), sigma_of(state));  // untimed, as above
    cv::Sobel(smooth, destination, CV_32F, 1, 0, 3);
    for (auto _ : state) {
        cv::GaussianBlur(source, smooth, cv::Size(0, 0), sigma_of(state));
        cv::Sobel(smooth, destination, CV_32F, 1, 0, 3);
        benchmark::DoNotOptimize(destination.data);
    }
    set_bytes(state);
}

void sigmas(benchmark::internal::Benchmark* b) {
    b->ArgName("sigma")->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);
}

// Ours first: on the machine these were measured on, whatever runs after
// OpenCV's long GaussianBlur runs comes out slower for a while.
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_new_image)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_smooth_image)->Apply(sigmas);
BENCHMARK(BM_first_derivative_x)->Apply(sigmas);
BENCHMARK(BM_filter<true>)->Name("BM_apply_IIR4_filter_x")->Apply(sigmas);
BENCHMARK(BM_filter<false>)->Name("BM_apply_IIR4_filter_y")->Apply(sigmas);
BENCHMARK(BM_cv_GaussianBlur<false>)->Name("BM_cv_GaussianBlur")->Apply(sigmas);
BENCHMARK(BM_cv_Sobel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cv_GaussianBlur_Sobel)->Apply(sigmas);
// Last: OpenCV's worker threads may keep spinning for a while afterwards.
BENCHMARK(BM_cv_GaussianBlur<true>)->Name("BM_cv_GaussianBlur_threads")->Apply(sigmas)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
