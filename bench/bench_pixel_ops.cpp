// Geometric transforms and colour conversion benchmark: Rotate, Scale (up
// and down), Reduce and RGB_to_LUV on a 4000 x 3000 colour picture beside
// OpenCV's warpAffine (bilinear), resize (linear and area) and cvtColor
// (RGB to L*u*v*, float input), and a plain memcpy of the picture.
//
// The picture is 4000 x 3000 colour floats in 0..255 (144 MB). Our calls
// return a new image each time, as the library's interface does, so their
// times include getting one (BM_new_image measures that alone); OpenCV and
// memcpy write into a destination allocated, and touched, before the timing
// starts. Ours run on one thread per processor (KALVIO_THREADS); the *_1t
// runs hold them to one. OpenCV runs with its default thread pool, and
// single-threaded in the *_cv_*_1t runs. All times are wall-clock.
#include <kalvio/image.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>

namespace {

constexpr int kRows = 3000;
constexpr int kCols = 4000;
constexpr int kDegrees = 17;
constexpr float kUp = 1.5f;
// Not 0.5: OpenCV's resize turns a linear halving into a 2 x 2 box mean.
constexpr float kDown = 0.6f;

// A colour picture with edges, gradients and texture in 0..255; made once.
CImage& picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_FLOAT);
        unsigned state = 12345;
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c)
                for (int k = 0; k < 3; ++k) {
                    state = state * 1664525u + 1013904223u;
                    const float noise = static_cast<float>(state >> 24) / 16.0f;
                    const float shape = ((r / 200 + c / 300 + k) % 2) ? 160.0f : 60.0f;
                    const float wave = 20.0f * std::sin(0.01f * static_cast<float>(r + 2 * c + 50 * k));
                    p->data[r][3 * c + k] = shape + wave + noise;
                }
        return p;
    }();
    return *image;
}

// The picture's pixels as an OpenCV matrix sharing its memory (the rows of a
// CImage are one contiguous block).
cv::Mat picture_mat() { return cv::Mat(kRows, kCols, CV_32FC3, picture().data[0]); }

// The picture scaled to 0..1, the range OpenCV's float colour conversions take.
const cv::Mat& unit_picture() {
    static const cv::Mat unit = [] {
        cv::Mat m;
        picture_mat().convertTo(m, CV_32FC3, 1.0 / 255.0);
        return m;
    }();
    return unit;
}

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRows * kCols * 3 *
                            static_cast<int64_t>(sizeof(float)));
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

private:
    bool m_one;
};

void BM_memcpy(benchmark::State& state) {
    const std::size_t bytes = sizeof(float) * 3 * kRows * kCols;
    std::unique_ptr<float[]> destination(new float[3 * kRows * kCols]);
    std::memset(destination.get(), 0, bytes);
    const float* source = picture().data[0];  // made before the timing starts
    for (auto _ : state) {
        std::memcpy(destination.get(), source, bytes);
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// What returning a new picture costs by itself: every page touched once
// (with huge pages asked for, as the library does), released. Argument:
// the scale of the picture's sides, in percent (the up-scaled result is
// 2.25 times the picture).
void BM_new_image(benchmark::State& state) {
    const int rows = static_cast<int>(kRows * state.range(0) / 100), cols = static_cast<int>(kCols * state.range(0) / 100);
    const std::size_t bytes = sizeof(float) * 3 * static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (auto _ : state) {
        auto image = std::make_unique<CImage>(rows, cols, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_FLOAT);
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

template <class Operation>
void run_ours(benchmark::State& state, const Operation& operation) {
    const OneThread threads(state.range(0) == 1);
    CImage& source = picture();  // made before the timing starts
    for (auto _ : state) {
        std::unique_ptr<CImage> result(operation(source));
        benchmark::DoNotOptimize(result->data[0]);
    }
    set_bytes(state);
}

template <class Operation>
void run_opencv(benchmark::State& state, const Operation& operation) {
    cv::setNumThreads(state.range(0) == 1 ? 1 : -1);
    cv::Mat destination;
    operation(destination);  // untimed: allocates the destination and touches its pages
    for (auto _ : state) {
        operation(destination);
        benchmark::DoNotOptimize(destination.data);
    }
    cv::setNumThreads(-1);
    set_bytes(state);
}

void BM_Rotate(benchmark::State& state) {
    run_ours(state, [](CImage& p) { return p.Rotate(kDegrees); });
}

void BM_cv_warpAffine(benchmark::State& state) {
    // The same turn about the same centre; OpenCV's positive angles also
    // turn counter-clockwise.
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(kCols / 2, kRows / 2), kDegrees, 1.0);
    const cv::Mat source = picture_mat();
    run_opencv(state, [&](cv::Mat& d) {
        cv::warpAffine(source, d, turn, source.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    });
}

template <bool Up>
void BM_Scale(benchmark::State& state) {
    run_ours(state, [](CImage& p) { return p.Scale(Up ? kUp : kDown, 0.0f); });
}

// Reduce's peer: a box mean over 2 x 2 blocks (OpenCV's area resampling
// at a whole factor).
constexpr float kHalf = 0.5f;

template <float Factor, int Interpolation>
void BM_cv_resize(benchmark::State& state) {
    const float f = Factor;
    const cv::Size size(static_cast<int>(kCols * f), static_cast<int>(kRows * f));
    const cv::Mat source = picture_mat();
    run_opencv(state, [&](cv::Mat& d) { cv::resize(source, d, size, 0, 0, Interpolation); });
}

template <int Mode>
void BM_Reduce(benchmark::State& state) {
    run_ours(state, [](CImage& p) { return p.Reduce(2, Mode); });
}

void BM_RGB_to_LUV(benchmark::State& state) {
    run_ours(state, [](CImage& p) { return p.RGB_to_LUV(); });
}

void BM_cv_cvtColor_Luv(benchmark::State& state) {
    run_opencv(state, [](cv::Mat& d) { cv::cvtColor(unit_picture(), d, cv::COLOR_RGB2Luv); });
}

// Argument "threads": 0 = default (one per processor, or OpenCV's pool), 1.
void threads(benchmark::internal::Benchmark* b) {
    b->ArgName("threads")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_new_image)->ArgName("percent")->Arg(100)->Arg(150)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rotate)->Apply(threads);
BENCHMARK(BM_cv_warpAffine)->Apply(threads);
BENCHMARK(BM_Scale<true>)->Name("BM_Scale_up")->Apply(threads);
BENCHMARK(BM_cv_resize<kUp, cv::INTER_LINEAR>)->Name("BM_cv_resize_up_linear")->Apply(threads);
BENCHMARK(BM_Scale<false>)->Name("BM_Scale_down")->Apply(threads);
BENCHMARK(BM_cv_resize<kDown, cv::INTER_LINEAR>)->Name("BM_cv_resize_down_linear")->Apply(threads);
BENCHMARK(BM_Reduce<0>)->Name("BM_Reduce_mean")->Apply(threads);
BENCHMARK(BM_Reduce<1>)->Name("BM_Reduce_cross")->Apply(threads);
BENCHMARK(BM_cv_resize<kHalf, cv::INTER_AREA>)->Name("BM_cv_resize_down_area")->Apply(threads);
BENCHMARK(BM_RGB_to_LUV)->Apply(threads);
BENCHMARK(BM_cv_cvtColor_Luv)->Apply(threads);

}  // namespace

BENCHMARK_MAIN();
