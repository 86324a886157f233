// Edges, filters and distance transforms benchmark: the Canny chain
// (edges_mag_dir, non_maximum_suppression, hysteresis_thresholding),
// SobelFilter, Median, Chamfer and FillObject beside OpenCV's Canny, Sobel +
// magnitude, medianBlur, distanceTransform and floodFill, and a plain memcpy
// of the picture.
//
// The picture is 4000 x 3000 grey whole numbers 0..255 (blocks, discs,
// gradients, a wave and noise), held by us as floats (48 MB) and given to
// OpenCV as CV_32F (sharing our memory) or as CV_8U (a copy of the same
// values) where OpenCV wants 8-bit. Our calls that return an image return a
// new one each time, as the library's interface does, so their times include
// getting it; OpenCV writes into destinations allocated, and touched, before
// the timing starts. edges_mag_dir and SobelFilter fill the planes of the
// image they are called on: after the first call those planes exist and are
// overwritten, as they are for a caller that runs them again.
//
// Each benchmark with the argument "threads" runs with all threads (ours:
// one per processor, KALVIO_THREADS; OpenCV: its pool) and with one
// (threads:1: KALVIO_THREADS=1, cv::setNumThreads(1)). All times are
// wall-clock. Each pair checks its results once against the other's and
// reports the outcome as counters (edge pixels, largest difference,
// mismatching pixels, filled area).
#include <kalvio/image.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kRows = 3000;
constexpr int kCols = 4000;
constexpr std::size_t kPixels = static_cast<std::size_t>(kRows) * kCols;

// Our Canny thresholds, on the thinned magnitudes (the largest interior
// magnitude is 1); OpenCV's are chosen to give about as many edge pixels.
constexpr float kSigma = 1.0f;
constexpr float kHigh = 0.15f;
constexpr float kLow = 0.06f;

unsigned next_random(unsigned& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;  // 24 bits
}

// A photograph-like picture of whole numbers 0..255: a slanted gradient,
// blocks, discs, a wave and noise; made once.
CImage& picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        unsigned state = 12345;
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                float v = 30.0f + 50.0f * static_cast<float>(c) / kCols + 30.0f * static_cast<float>(r) / kRows;
                if ((r / 230 + c / 310) % 3 == 0) v += 60.0f;
                const int dr = r % 500 - 250, dc = c % 700 - 350;
                if (dr * dr + dc * dc < 170 * 170) v += ((r / 500 + c / 700) % 2) ? 70.0f : -25.0f;
                v += 12.0f * std::sin(0.013f * static_cast<float>(r) + 0.007f * static_cast<float>(c));
                // Noise of about +-8, peaked at 0 (the sum of two uniforms).
                v += static_cast<float>(next_random(state) >> 20) + static_cast<float>(next_random(state) >> 20) - 15.0f;
                // Clamped so that no -0 is left: an 8-bit file holds none.
                const float whole = std::round(v);
                p->data[r][c] = whole <= 0.0f ? 0.0f : whole >= 255.0f ? 255.0f : whole;
            }
        return p;
    }();
    return *image;
}

// The picture's pixels as OpenCV matrices: floats sharing our memory (the
// rows of a CImage are one contiguous block), and bytes, made once.
cv::Mat picture_f32() { return cv::Mat(kRows, kCols, CV_32F, picture().data[0]); }

const cv::Mat& picture_u8() {
    static const cv::Mat bytes = [] {
        cv::Mat m;
        picture_f32().convertTo(m, CV_8U);
        return m;
    }();
    return bytes;
}

// The picture with a fraction in 0..1 added to each pixel: values that are
// not whole numbers (sample type float).
CImage& fraction_picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
        unsigned state = 777;
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c)
                p->data[r][c] = picture().data[r][c] + static_cast<float>(next_random(state)) / 16777216.0f;
        return p;
    }();
    return *image;
}

cv::Mat fraction_picture_f32() { return cv::Mat(kRows, kCols, CV_32F, fraction_picture().data[0]); }

// Sets one pixel of a float picture when it lies inside.
void put(cv::Mat& m, int r, int c, float value) {
    if (r >= 0 && r < m.rows && c >= 0 && c < m.cols) m.at<float>(r, c) = value;
}

// Chamfer's picture: 1 on 0.1% of the pixels, spread at random, and on a
// few long lines (straight and slanted), 0 elsewhere; made once.
CImage& sparse_picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        cv::Mat m(kRows, kCols, CV_32F, p->data[0]);
        unsigned state = 4242;
        for (std::size_t k = 0; k < kPixels / 1000; ++k) {
            const int r = static_cast<int>(next_random(state) % kRows);
            const int c = static_cast<int>(next_random(state) % kCols);
            put(m, r, c, 1.0f);
        }
        for (int c = 200; c < 3800; ++c) put(m, 700, c, 1.0f);
        for (int r = 300; r < 2700; ++r) put(m, r, 2500, 1.0f);
        for (int t = 0; t < 2800; ++t) {
            put(m, 100 + t, 300 + t, 1.0f);
            put(m, 2900 - t, 1000 + t, 1.0f);
        }
        return p;
    }();
    return *image;
}

// OpenCV's distanceTransform measures the distance to the nearest zero
// pixel: the sparse picture inverted, as bytes (0 on the objects, 255 off).
const cv::Mat& sparse_inverse_u8() {
    static const cv::Mat inverse = [] {
        const cv::Mat m(kRows, kCols, CV_32F, sparse_picture().data[0]);
        cv::Mat bytes;
        cv::compare(m, 0.0f, bytes, cv::CMP_EQ);  // 255 where 0
        return bytes;
    }();
    return inverse;
}

// FillObject's picture: one large region of 0 inside a frame of 255 ten
// pixels in from the edges, cut into a serpentine by walls of 255 across
// the picture (each with a gap at alternating ends), and 1% of its pixels
// set to 255 at random as small obstacles. Filled from the centre, the region
// is nearly the whole picture. Made once.
constexpr float kWall = 255.0f;
constexpr float kFill = 128.0f;
constexpr int kStartRow = kRows / 2 + 1;
constexpr int kStartCol = kCols / 2;

CImage& fill_picture() {
    static const std::unique_ptr<CImage> image = [] {
        auto p = std::make_unique<CImage>(kRows, kCols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        cv::Mat m(kRows, kCols, CV_32F, p->data[0]);
        constexpr int inset = 10;
        for (int c = inset; c < kCols - inset; ++c) {
            put(m, inset, c, kWall);
            put(m, kRows - 1 - inset, c, kWall);
        }
        for (int r = inset; r < kRows - inset; ++r) {
            put(m, r, inset, kWall);
            put(m, r, kCols - 1 - inset, kWall);
        }
        for (int wall = 1; wall * 300 < kRows - inset; ++wall) {
            const bool gap_left = wall % 2 == 0;
            for (int c = inset; c < kCols - inset; ++c)
                if (gap_left ? c > inset + 60 : c < kCols - inset - 60) put(m, wall * 300, c, kWall);
        }
        unsigned state = 99;
        for (std::size_t k = 0; k < kPixels / 100; ++k) {
            const int r = static_cast<int>(next_random(state) % kRows);
            const int c = static_cast<int>(next_random(state) % kCols);
            put(m, r, c, kWall);
        }
        put(m, kStartRow, kStartCol, 0.0f);
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

private:
    bool m_one;
};

// OpenCV's thread count for one benchmark: its pool, or one thread.
class OpenCvThreads {
public:
    explicit OpenCvThreads(bool one) { cv::setNumThreads(one ? 1 : -1); }
    ~OpenCvThreads() { cv::setNumThreads(-1); }
};

bool one_thread(const benchmark::State& state) { return state.range(0) == 1; }

void set_bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPixels) *
                            static_cast<int64_t>(sizeof(float)));
}

// Pixels of a grey float image equal to `value`.
int64_t count_equal(const CImage& image, float value) {
    const float* p = image.data[0];
    return std::count(p, p + kPixels, value);
}

// A float matrix over a grey image's pixels or one of its planes.
cv::Mat as_mat(float** rows) { return cv::Mat(kRows, kCols, CV_32F, rows[0]); }

// ---- floor ------------------------------------------------------------

void BM_memcpy(benchmark::State& state) {
    const std::size_t bytes = sizeof(float) * kPixels;
    std::unique_ptr<float[]> destination(new float[kPixels]);
    std::memset(destination.get(), 0, bytes);
    const float* source = picture().data[0];  // made before the timing starts
    for (auto _ : state) {
        std::memcpy(destination.get(), source, bytes);
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// ---- Canny ------------------------------------------------------------

// Our chain, start to end, on a copy of the picture (which keeps its planes
// between calls); returns the edge map.
std::unique_ptr<CImage> our_canny(CImage& work) {
    work.edges_mag_dir(kSigma);
    const std::unique_ptr<CImage> thinned(work.non_maximum_suppression());
    if (!thinned) return nullptr;
    return std::unique_ptr<CImage>(thinned->hysteresis_thresholding(kHigh, kLow));
}

struct CannySetting {
    int64_t our_edges = 0;
    double high = 0, low = 0;  // OpenCV's
    int64_t cv_edges = 0;
};

// OpenCV's thresholds, in the same low/high proportion as ours, for which
// its Canny (L2 gradient, 3 x 3 aperture) marks about as many pixels as our
// chain: bisection on the high threshold (on a log scale), once.
const CannySetting& canny_setting() {
    static const CannySetting setting = [] {
        CannySetting s;
        CImage work(picture());
        if (const std::unique_ptr<CImage> edges = our_canny(work)) s.our_edges = count_equal(*edges, 255.0f);
        const double proportion = static_cast<double>(kLow) / kHigh;
        cv::Mat edges;
        double below = 1.0, above = 5000.0;  // Sobel L2 magnitudes of 8-bit pictures stay below 1443
        for (int step = 0; step < 24; ++step) {
            const double high = std::sqrt(below * above);
            cv::Canny(picture_u8(), edges, proportion * high, high, 3, true);
            const int64_t n = cv::countNonZero(edges);
            s.high = high;
            s.cv_edges = n;
            if (n > s.our_edges) below = high; else above = high;
            if (std::abs(static_cast<double>(n - s.our_edges)) < 0.005 * static_cast<double>(s.our_edges)) break;
        }
        s.low = proportion * s.high;
        return s;
    }();
    return setting;
}

void report_canny(benchmark::State& state) {
    const CannySetting& s = canny_setting();
    state.counters["our_edges"] = static_cast<double>(s.our_edges);
    state.counters["cv_edges"] = static_cast<double>(s.cv_edges);
    state.counters["cv_high"] = s.high;
}

void BM_Canny_chain(benchmark::State& state) {
    const OneThread threads(one_thread(state));
    report_canny(state);
    CImage work(picture());
    work.edges_mag_dir(kSigma);  // untimed: allocates the planes
    for (auto _ : state) {
        std::unique_ptr<CImage> edges = our_canny(work);
        benchmark::DoNotOptimize(edges.get());
    }
    set_bytes(state);
}

void BM_edges_mag_dir(benchmark::State& state) {
    const OneThread threads(one_thread(state));
    CImage work(picture());
    work.edges_mag_dir(kSigma);  // untimed, as above
    for (auto _ : state) {
        work.edges_mag_dir(kSigma);
        benchmark::DoNotOptimize(work.mag[0]);
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

void BM_cv_Canny(benchmark::State& state) {
    report_canny(state);
    const CannySetting& s = canny_setting();
    const OpenCvThreads threads(one_thread(state));
    cv::Mat edges;
    cv::Canny(picture_u8(), edges, s.low, s.high, 3, true);  // untimed: allocates and touches
    for (auto _ : state) {
        cv::Canny(picture_u8(), edges, s.low, s.high, 3, true);
        benchmark::DoNotOptimize(edges.data);
    }
    set_bytes(state);
}

// ---- Sobel ------------------------------------------------------------

void BM_SobelFilter(benchmark::State& state) {
    const OneThread threads(one_thread(state));
    CImage work(picture());
    work.SobelFilter();  // untimed: allocates mag
    {
        // Once: the interior against OpenCV's 3 x 3 Sobel magnitude.
        static const double difference = [&] {
            cv::Mat dx, dy, magnitude;
            cv::Sobel(picture_f32(), dx, CV_32F, 1, 0, 3);
            cv::Sobel(picture_f32(), dy, CV_32F, 0, 1, 3);
            cv::magnitude(dx, dy, magnitude);
            const cv::Rect inside(1, 1, kCols - 2, kRows - 2);
            return cv::norm(as_mat(work.mag)(inside), magnitude(inside), cv::NORM_INF);
        }();
        state.counters["largest_difference"] = difference;
    }
    for (auto _ : state) {
        work.SobelFilter();
        benchmark::DoNotOptimize(work.mag[0]);
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

void BM_cv_Sobel_magnitude(benchmark::State& state) {
    const OpenCvThreads threads(one_thread(state));
    const cv::Mat source = picture_f32();
    cv::Mat dx, dy, magnitude;
    const auto run = [&] {
        cv::Sobel(source, dx, CV_32F, 1, 0, 3);
        cv::Sobel(source, dy, CV_32F, 0, 1, 3);
        cv::magnitude(dx, dy, magnitude);
    };
    run();  // untimed: allocates and touches
    for (auto _ : state) {
        run();
        benchmark::DoNotOptimize(magnitude.data);
    }
    set_bytes(state);
}

// ---- Median -----------------------------------------------------------

// Pixels where our Median differs from medianBlur (both clamp positions
// outside the picture to the edge, so every pixel is compared).
int64_t median_mismatches(CImage& source, int size, const cv::Mat& peer_source) {
    const std::unique_ptr<CImage> ours(source.Median(size));
    if (!ours) return -1;
    cv::Mat theirs, theirs_f32;
    cv::medianBlur(peer_source, theirs, size);
    theirs.convertTo(theirs_f32, CV_32F);
    cv::Mat differ;
    cv::compare(as_mat(ours->data), theirs_f32, differ, cv::CMP_NE);
    return cv::countNonZero(differ);
}

template <int Size, bool Fraction>
void BM_Median(benchmark::State& state) {
    const OneThread threads(one_thread(state));
    CImage& source = Fraction ? fraction_picture() : picture();
    static const int64_t mismatches =
        median_mismatches(source, Size, Fraction ? fraction_picture_f32() : Size > 5 ? picture_u8() : picture_f32());
    state.counters["mismatches"] = static_cast<double>(mismatches);
    for (auto _ : state) {
        std::unique_ptr<CImage> result(source.Median(Size));
        benchmark::DoNotOptimize(result.get());
    }
    set_bytes(state);
}

enum class MedianInput { u8, f32, fraction_f32 };

template <int Size, MedianInput Input>
void BM_cv_medianBlur(benchmark::State& state) {
    const OpenCvThreads threads(one_thread(state));
    const cv::Mat source = Input == MedianInput::u8    ? picture_u8()
                           : Input == MedianInput::f32 ? picture_f32()
                                                       : fraction_picture_f32();
    cv::Mat destination;
    cv::medianBlur(source, destination, Size);  // untimed: allocates and touches
    for (auto _ : state) {
        cv::medianBlur(source, destination, Size);
        benchmark::DoNotOptimize(destination.data);
    }
    set_bytes(state);
}

// ---- Chamfer ----------------------------------------------------------

void BM_Chamfer(benchmark::State& state) {
    CImage& source = sparse_picture();
    {
        // Once: the largest and the mean distance beside OpenCV's (its
        // 3 x 3 mask weighs steps 0.955 and 1.3693, ours 1 and 1.4142137,
        // so they agree to a few percent only).
        struct Summary {
            double largest = 0, mean = 0, cv_largest = 0, cv_mean = 0;
        };
        static const Summary summary = [&] {
            Summary s;
            const std::unique_ptr<CImage> ours(source.Chamfer());
            if (ours) cv::minMaxLoc(as_mat(ours->data), nullptr, &s.largest);
            if (ours) s.mean = cv::mean(as_mat(ours->data))[0];
            cv::Mat theirs;
            cv::distanceTransform(sparse_inverse_u8(), theirs, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
            cv::minMaxLoc(theirs, nullptr, &s.cv_largest);
            s.cv_mean = cv::mean(theirs)[0];
            return s;
        }();
        state.counters["largest"] = summary.largest;
        state.counters["mean"] = summary.mean;
        state.counters["cv_largest"] = summary.cv_largest;
        state.counters["cv_mean"] = summary.cv_mean;
    }
    for (auto _ : state) {
        std::unique_ptr<CImage> result(source.Chamfer());
        benchmark::DoNotOptimize(result.get());
    }
    set_bytes(state);
}

void BM_cv_distanceTransform(benchmark::State& state) {
    const OpenCvThreads threads(false);  // its default; this transform runs on one thread
    const cv::Mat& source = sparse_inverse_u8();
    cv::Mat destination;
    cv::distanceTransform(source, destination, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);  // untimed, as above
    for (auto _ : state) {
        cv::distanceTransform(source, destination, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
        benchmark::DoNotOptimize(destination.data);
    }
    set_bytes(state);
}

// ---- Region filling ---------------------------------------------------

// Both fills change the picture in place, so each iteration first restores
// it from the untouched copy with the timer paused (PauseTiming and
// ResumeTiming cost microseconds; the fills take milliseconds).

void BM_FillObject(benchmark::State& state) {
    const CImage& pristine = fill_picture();
    CImage work(pristine);
    const std::size_t bytes = sizeof(float) * kPixels;
    work.FillObject(kStartRow, kStartCol, kFill, kWall);  // untimed: touches the pages
    state.counters["filled"] = static_cast<double>(count_equal(work, kFill));
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data[0], pristine.data[0], bytes);
        state.ResumeTiming();
        work.FillObject(kStartRow, kStartCol, kFill, kWall);
        benchmark::DoNotOptimize(work.data[0]);
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// The region of 0 around the start, 4-connected, bounded by everything that
// is not 0: the same pixels as FillObject's region here.
template <bool Bytes>
void BM_cv_floodFill(benchmark::State& state) {
    cv::Mat pristine;
    as_mat(fill_picture().data).convertTo(pristine, Bytes ? CV_8U : CV_32F);
    cv::Mat work = pristine.clone();
    const cv::Point start(kStartCol, kStartRow);
    const auto fill = [&] {
        return cv::floodFill(work, start, cv::Scalar(kFill), nullptr, cv::Scalar(0), cv::Scalar(0), 4);
    };
    state.counters["filled"] = fill();  // untimed, as above
    for (auto _ : state) {
        state.PauseTiming();
        pristine.copyTo(work);
        state.ResumeTiming();
        benchmark::DoNotOptimize(fill());
        benchmark::ClobberMemory();
    }
    set_bytes(state);
}

// Argument "threads": 0 = default (one per processor, or OpenCV's pool), 1.
void threads(benchmark::internal::Benchmark* b) {
    b->ArgName("threads")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void one_run(benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->UseRealTime(); }

BENCHMARK(BM_memcpy)->Apply(one_run);
BENCHMARK(BM_Canny_chain)->Apply(threads);
BENCHMARK(BM_edges_mag_dir)->Apply(threads);
BENCHMARK(BM_cv_Canny)->Apply(threads);
BENCHMARK(BM_SobelFilter)->Apply(threads);
BENCHMARK(BM_cv_Sobel_magnitude)->Apply(threads);
BENCHMARK(BM_Median<3, false>)->Name("BM_Median3")->Apply(threads);
BENCHMARK(BM_cv_medianBlur<3, MedianInput::f32>)->Name("BM_cv_medianBlur3_f32")->Apply(threads);
BENCHMARK(BM_cv_medianBlur<3, MedianInput::u8>)->Name("BM_cv_medianBlur3_u8")->Apply(threads);
BENCHMARK(BM_Median<7, false>)->Name("BM_Median7")->Apply(threads);
BENCHMARK(BM_cv_medianBlur<7, MedianInput::u8>)->Name("BM_cv_medianBlur7_u8")->Apply(threads);
BENCHMARK(BM_Median<3, true>)->Name("BM_Median3_fraction")->Apply(threads);
BENCHMARK(BM_cv_medianBlur<3, MedianInput::fraction_f32>)->Name("BM_cv_medianBlur3_fraction_f32")->Apply(threads);
// Two sequential passes, on one thread on both sides.
BENCHMARK(BM_Chamfer)->Apply(one_run);
BENCHMARK(BM_cv_distanceTransform)->Apply(one_run);
BENCHMARK(BM_FillObject)->Apply(one_run);
BENCHMARK(BM_cv_floodFill<false>)->Name("BM_cv_floodFill_f32")->Apply(one_run);
BENCHMARK(BM_cv_floodFill<true>)->Name("BM_cv_floodFill_u8")->Apply(one_run);

}  // namespace

BENCHMARK_MAIN();
