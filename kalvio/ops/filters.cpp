// Median and distance-weighted mean filters, thresholding and additive
// Gaussian noise.
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"

#include <kalvio/image.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <type_traits>
#include <utility>

using namespace kalvio::detail;

namespace {

using i4 = Mask<f4>;
using i8 = Mask<f8>;
typedef std::int32_t i16 __attribute__((vector_size(64)));

constexpr int kLargestWindow = 255;

int clamp_to(int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; }

// The offsets of a size x size window, in rows and in columns: size/2 -
// size + 1 to size/2 (-1..1 for 3, -1..2 for 4).
struct Window {
    int size, first, last;
    explicit Window(int k) : size(k), first(k / 2 - k + 1), last(k / 2) {}
};

// The clamped positions of a row's windows: columns[c + j] is the sample
// offset (channels x column) of window column j (0..size-1) of pixel c.
void clamped_columns(const CImage& in, const Window& w, int* columns) {
    for (int t = 0; t < in.ncols + w.size - 1; ++t) columns[t] = channels(in) * clamp_to(t + w.first, in.ncols);
}

CImage* copy_of(const CImage& in) {
    CImage* out = new_image(in.nrows, in.ncols, in.color, in.format, in.datatype);
    if (!out) return nullptr;
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(row_length(in));
    for (int r = 0; r < in.nrows; ++r) std::memcpy(out->data[r], in.data[r], bytes);
    return out;
}

bool sixteen_lanes();

// The kernel for the vector width at hand: 16 lanes (AVX-512, where there
// is a kernel for them), 8 (AVX2), 4 or 1.
template <class Kernel>
Kernel by_lanes(Kernel one, Kernel four, Kernel eight, Kernel sixteen = nullptr) {
    const int lanes = simd_lanes();
    if (lanes == 8 && sixteen && sixteen_lanes()) return sixteen;
    return lanes == 8 ? eight : lanes == 4 ? four : one;
}

// ---------------------------------------------------------------------------
// Order keys

// A float's bits as a 32-bit integer whose signed order is the order in
// which the median ranks samples: numbers ascending (-0 just under +0, which
// count as equal there, so either is a right answer), every NaN above
// +infinity. Integer minima, maxima and selection then pick exactly the
// sample that sorting would, in any number of lanes. sample_bits undoes it:
// every sample comes back bit for bit, a NaN as the quiet NaN 0x7fffffff.
template <class I>
KALVIO_INLINE I order_key(I bits) {
    const I key = bits ^ ((bits >> 31) & 0x7fffffff);
    const auto nan = (bits & 0x7fffffff) > 0x7f800000;
    if constexpr (std::is_same_v<I, std::int32_t>) return nan ? INT32_MAX : key;
    else return (nan & INT32_MAX) | (~nan & key);
}

template <class I>
KALVIO_INLINE I sample_bits(I key) {
    return key ^ ((key >> 31) & 0x7fffffff);
}

template <class I>
KALVIO_INLINE I lower(I a, I b) {
    return a < b ? a : b;
}
template <class I>
KALVIO_INLINE I upper(I a, I b) {
    return a < b ? b : a;
}
template <class I>
KALVIO_INLINE I middle(I a, I b, I c) {
    return upper(lower(a, b), lower(upper(a, b), c));
}

// ---------------------------------------------------------------------------
// Window rows of keys

// The keys of a source row, the edge pixel repeated h times on either side:
// length + 2 h n keys.
template <class I>
KALVIO_INLINE void key_row(const float* row, int length, int n, int h, std::int32_t* keys) {
    constexpr int lanes = sizeof(I) / sizeof(std::int32_t);
    std::int32_t* body = keys + h * n;
    int q = 0;
    if constexpr (lanes > 1)
        for (; q + lanes <= length; q += lanes) store(body + q, order_key(load<I>(row + q)));
    for (; q < length; ++q) body[q] = order_key(load<std::int32_t>(row + q));
    for (int t = 0; t < h * n; ++t) keys[t] = body[t % n], body[length + t] = body[length - n + t % n];
}

// Keys of padded rows (key_row) for the windows of size x size, odd, down a
// band: each source row is turned into keys once and kept in slot row %
// size while windows cover it.
struct KeyRows {
    int size, h, padded;
    std::int32_t* slots;  // size x padded keys
    int held[kLargestWindow];

    KeyRows(const CImage& in, int k, std::int32_t* scratch)
        : size(k), h(k / 2), padded(row_length(in) + 2 * (k / 2) * channels(in)), slots(scratch) {
        for (int i = 0; i < size; ++i) held[i] = -1;
    }
    static std::size_t keys_needed(const CImage& in, int k) {
        return static_cast<std::size_t>(k) *
               (static_cast<std::size_t>(row_length(in)) + 2 * static_cast<std::size_t>(k / 2 * channels(in)));
    }
    // rows[i] = the keys of source row r - h + i, clamped, from the first
    // pixel's leftmost window column on: sample q's window column j (0 ..
    // size - 1) is at q + n j.
    template <class I>
    KALVIO_INLINE void window(const CImage& in, int r, const std::int32_t** rows) {
        for (int i = 0; i < size; ++i) {
            const int s = clamp_to(r - h + i, in.nrows), slot = s % size;
            std::int32_t* keys = slots + static_cast<std::size_t>(slot) * static_cast<std::size_t>(padded);
            if (held[slot] != s) key_row<I>(in.data[s], row_length(in), channels(in), h, keys), held[slot] = s;
            rows[i] = keys;
        }
    }
};

// ---------------------------------------------------------------------------
// 3 x 3 median: sorted columns

// Sorts the three keys at p of the window rows into low, mid and high.
template <class I>
KALVIO_INLINE void sort_column(const std::int32_t* const* rows, int p, std::int32_t* low, std::int32_t* mid,
                               std::int32_t* high) {
    const I a = load<I>(rows[0] + p), b = load<I>(rows[1] + p), c = load<I>(rows[2] + p);
    const I least = lower(a, b), most = upper(a, b);
    const I t = upper(least, c);
    store(low + p, lower(least, c));
    store(mid + p, lower(most, t));
    store(high + p, upper(most, t));
}

// The median of the nine keys of the three sorted columns at p, p + n and
// p + 2 n: the middle of the largest low, the middle mid and the smallest
// high, each of the three columns.
template <class I>
KALVIO_INLINE I median_of_columns(const std::int32_t* low, const std::int32_t* mid, const std::int32_t* high, int p,
                                  int n) {
    const int p1 = p + n, p2 = p + 2 * n;
    const I a = upper(upper(load<I>(low + p), load<I>(low + p1)), load<I>(low + p2));
    const I b = middle(load<I>(mid + p), load<I>(mid + p1), load<I>(mid + p2));
    const I c = lower(lower(load<I>(high + p), load<I>(high + p1)), load<I>(high + p2));
    return middle(a, b, c);
}

// Rows [begin, end) of the 3 x 3 median: each output row sorts its
// window's columns once, then takes the median of every three neighbouring
// columns. `scratch` holds KeyRows::keys_needed(in, 3) + 3 padded rows of keys.
template <class I>
KALVIO_INLINE void median3_rows(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    constexpr int lanes = sizeof(I) / sizeof(std::int32_t);
    const int n = channels(in), length = row_length(in);
    KeyRows keys(in, 3, scratch);
    std::int32_t* low = scratch + KeyRows::keys_needed(in, 3);
    std::int32_t* mid = low + keys.padded;
    std::int32_t* high = mid + keys.padded;
    for (int r = begin; r < end; ++r) {
        const std::int32_t* rows[3];
        keys.window<I>(in, r, rows);
        int p = 0;
        if constexpr (lanes > 1)
            for (; p + lanes <= keys.padded; p += lanes) sort_column<I>(rows, p, low, mid, high);
        for (; p < keys.padded; ++p) sort_column<std::int32_t>(rows, p, low, mid, high);
        float* o = out.data[r];
        int q = 0;
        if constexpr (lanes > 1)
            for (; q + lanes <= length; q += lanes)
                store(o + q, sample_bits(median_of_columns<I>(low, mid, high, q, n)));
        for (; q < length; ++q) store(o + q, sample_bits(median_of_columns<std::int32_t>(low, mid, high, q, n)));
    }
}

// ---------------------------------------------------------------------------
// 5 x 5 to 9 x 9 median: selection networks

struct Comparator {
    int low, high;
};

// A comparator network that leaves the element of rank n / 2 of n wires on
// wire n / 2: Batcher's odd-even merge sort of the next power of two, less
// the comparators that reach past wire n - 1 (those wires would hold
// +infinity and never move) and those whose outputs do not lead to wire n
// / 2. 113 comparators for 25 wires, 319 for 49, 702 for 81: fewer steps
// than a running histogram takes up to 9 x 9, and lanes side by side.
struct MedianNetwork {
    static constexpr int kMost = 1471;  // the whole sort of 128 wires
    Comparator comparators[kMost] = {};
    int count = 0;
};

constexpr MedianNetwork median_network(int n) {
    int wires = 1;
    while (wires < n) wires *= 2;
    MedianNetwork sort;
    for (int p = 1; p < wires; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j < wires - k; j += 2 * k)
                for (int i = 0; i < k && i < wires - j - k; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < n)
                        sort.comparators[sort.count++] = {i + j, i + j + k};
    bool needed[128] = {}, kept[MedianNetwork::kMost] = {};
    needed[n / 2] = true;
    for (int t = sort.count - 1; t >= 0; --t) {
        const Comparator c = sort.comparators[t];
        if (needed[c.low] || needed[c.high]) kept[t] = needed[c.low] = needed[c.high] = true;
    }
    MedianNetwork net;
    for (int t = 0; t < sort.count; ++t)
        if (kept[t]) net.comparators[net.count++] = sort.comparators[t];
    return net;
}

template <int K>
constexpr MedianNetwork kMedianNetwork = median_network(K * K);

template <class I>
KALVIO_INLINE void order_pair(I& a, I& b) {
    const I least = lower(a, b);
    b = upper(a, b);
    a = least;
}

template <const MedianNetwork& Net, class I, std::size_t... S>
KALVIO_INLINE void run_network(I* wires, std::index_sequence<S...>) {
    (order_pair(wires[Net.comparators[S].low], wires[Net.comparators[S].high]), ...);
}

// The median of the K x K window keys of sample q (rows from KeyRows).
template <int K, class I>
KALVIO_INLINE I network_median(const std::int32_t* const* rows, int q, int n) {
    I wires[K * K];
    for (int i = 0; i < K; ++i)
        for (int j = 0; j < K; ++j) wires[i * K + j] = load<I>(rows[i] + q + n * j);
    run_network<kMedianNetwork<K>>(wires, std::make_index_sequence<kMedianNetwork<K>.count>());
    return wires[K * K / 2];
}

// One sample's network, kept out of line: the scalar tail of every vector
// width shares it.
template <int K>
[[gnu::noinline]] std::int32_t network_median_one(const std::int32_t* const* rows, int q, int n) {
    return network_median<K, std::int32_t>(rows, q, n);
}

// Rows [begin, end) of the K x K median, a network per sample, lanes side
// by side. `scratch` holds KeyRows::keys_needed(in, K).
template <int K, class I>
KALVIO_INLINE void network_median_rows(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    constexpr int lanes = sizeof(I) / sizeof(std::int32_t);
    const int n = channels(in), length = row_length(in);
    KeyRows keys(in, K, scratch);
    for (int r = begin; r < end; ++r) {
        const std::int32_t* rows[K];
        keys.window<I>(in, r, rows);
        float* o = out.data[r];
        int q = 0;
        if constexpr (lanes > 1)
            for (; q + lanes <= length; q += lanes) store(o + q, sample_bits(network_median<K, I>(rows, q, n)));
        for (; q < length; ++q) store(o + q, sample_bits(network_median_one<K>(rows, q, n)));
    }
}

// The small windows' kernels, for each vector width.
using KeyRowsKernel = void (*)(const CImage&, CImage&, int, int, std::int32_t*);

template <int K, class I>
KALVIO_INLINE void small_median_rows(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    if constexpr (K == 3) median3_rows<I>(in, out, begin, end, scratch);
    else network_median_rows<K, I>(in, out, begin, end, scratch);
}

template <int K>
void small_median_rows_1(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    small_median_rows<K, std::int32_t>(in, out, begin, end, scratch);
}
template <int K>
void small_median_rows_4(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    small_median_rows<K, i4>(in, out, begin, end, scratch);
}
#if defined(__x86_64__)
// Whether AVX-512 may serve where AVX2 would: the processor has it and
// KALVIO_SIMD does not ask for "avx2".
bool sixteen_lanes() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    const char* limit = std::getenv("KALVIO_SIMD");
    return has && !(limit && std::strcmp(limit, "avx2") == 0);
}

template <int K>
__attribute__((target("avx2"))) void small_median_rows_8(const CImage& in, CImage& out, int begin, int end,
                                                         std::int32_t* scratch) {
    small_median_rows<K, i8>(in, out, begin, end, scratch);
}
template <int K>
__attribute__((target("avx512f"))) void small_median_rows_16(const CImage& in, CImage& out, int begin, int end,
                                                            std::int32_t* scratch) {
    small_median_rows<K, i16>(in, out, begin, end, scratch);
}
#else
template <int K>
void small_median_rows_8(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    small_median_rows<K, i4>(in, out, begin, end, scratch);
}
template <int K>
void small_median_rows_16(const CImage& in, CImage& out, int begin, int end, std::int32_t* scratch) {
    small_median_rows<K, i4>(in, out, begin, end, scratch);
}
bool sixteen_lanes() { return false; }
#endif

// The median of a window of 3, 5, 7 or 9, for any samples.
template <int K>
bool small_median(const CImage& in, CImage& out) {
    const KeyRowsKernel kernel = by_lanes<KeyRowsKernel>(small_median_rows_1<K>, small_median_rows_4<K>,
                                                         small_median_rows_8<K>, small_median_rows_16<K>);
    const std::size_t extra = K == 3 ? 3 * (static_cast<std::size_t>(row_length(in)) + 2 * channels(in)) : 0;
    return run_in_bands(in.nrows, 1, band_threads(pixels_of(in)), [&](int begin, int end) {
        const auto scratch = scratch_of<std::int32_t>(KeyRows::keys_needed(in, K) + extra);
        if (scratch) kernel(in, out, begin, end, scratch.get());
        return scratch != nullptr;
    });
}

// ---------------------------------------------------------------------------
// Median of any size: a running histogram of byte codes

// One byte per sample, channel by channel, whose order never contradicts
// the samples': a sample's code is at most that of a larger one. Each row
// is padded on both sides with its edge code, so that every window's
// columns lie side by side. When every sample is a whole number from +0 to
// 255 (8-bit pictures), the code is the sample itself (`exact`); else it is
// the sample's place among 255 quantiles of the picture, and a code stands
// for a range of samples.
struct Codes {
    int nrows = 0, pad = 0, stride = 0;
    bool exact = false;
    std::unique_ptr<std::uint8_t[]> bytes;
    std::int32_t quantiles[255] = {};

    // The padding covers the columns of every window and the eight-byte
    // reads that scan one.
    bool make(const CImage& in, int size) {
        nrows = in.nrows, pad = size + 8, stride = in.ncols + 2 * pad;
        bytes = scratch_of<std::uint8_t>(static_cast<std::size_t>(channels(in)) * static_cast<std::size_t>(nrows) *
                                         static_cast<std::size_t>(stride));
        return bytes != nullptr;
    }
    // Row r of channel k, from its first pixel: [-pad, ncols + pad) is valid.
    std::uint8_t* row(int k, int r) const {
        return bytes.get() + (static_cast<std::size_t>(k) * static_cast<std::size_t>(nrows) + r) * stride + pad;
    }
    void pad_row(int k, int r, int ncols) const {
        std::uint8_t* p = row(k, r);
        std::memset(p - pad, p[0], static_cast<std::size_t>(pad));
        std::memset(p + ncols, p[ncols - 1], static_cast<std::size_t>(pad));
    }
};

// The codes of rows [begin, end) as the samples themselves; false as soon
// as a sample is not a whole number from +0 to 255 (-0 included, so that
// every result keeps the bits of a sample).
bool whole_codes(const CImage& in, const Codes& codes, int begin, int end) {
    const int n = channels(in);
    for (int r = begin; r < end; ++r) {
        const float* row = in.data[r];
        std::uint32_t bad = 0;
        for (int k = 0; k < n; ++k) {
            std::uint8_t* b = codes.row(k, r);
            for (int c = 0; c < in.ncols; ++c) {
                const float v = row[n * c + k];
                // Adding 2^23 moves the whole part of 0 <= v < 2^23 into the
                // low bits, rounding away any fraction, which the subtraction
                // shows.
                const float shifted = v + 8388608.0f;
                bad |= static_cast<std::uint32_t>(load<std::uint32_t>(&v) > 0x437f0000u) |
                       static_cast<std::uint32_t>(shifted - 8388608.0f != v);
                b[c] = static_cast<std::uint8_t>(load<std::uint32_t>(&shifted));
            }
            codes.pad_row(k, r, in.ncols);
        }
        if (bad) return false;
    }
    return true;
}

// 255 keys at even steps through the sorted keys of up to 64 K samples
// spread evenly over the picture.
bool find_quantiles(const CImage& in, Codes& codes) {
    const std::size_t length = static_cast<std::size_t>(row_length(in));
    const std::size_t total = length * static_cast<std::size_t>(in.nrows);
    const std::size_t count = std::min<std::size_t>(total, std::size_t{1} << 16);
    const auto keys = scratch_of<std::int32_t>(count);
    if (!keys) return false;
    for (std::size_t t = 0; t < count; ++t) {
        // t total / count without overflow: t (total % count) < 2^32.
        const std::size_t at = t * (total / count) + t * (total % count) / count;
        keys[t] = order_key(load<std::int32_t>(in.data[at / length] + at % length));
    }
    std::sort(keys.get(), keys.get() + count);
    for (std::size_t t = 0; t < 255; ++t) codes.quantiles[t] = keys[(t + 1) * count / 256];
    return true;
}

// The codes of rows [begin, end) as the number of quantiles at or below
// each sample's key, by a binary search without branches.
void quantile_codes(const CImage& in, const Codes& codes, int begin, int end) {
    const int n = channels(in);
    const std::int32_t* q = codes.quantiles;
    for (int r = begin; r < end; ++r)
        for (int k = 0; k < n; ++k) {
            const float* row = in.data[r] + k;
            std::uint8_t* b = codes.row(k, r);
            for (int c = 0; c < in.ncols; ++c) {
                const std::int32_t key = order_key(load<std::int32_t>(row + n * c));
                int below = 0;
                for (int step = 128; step > 0; step >>= 1) below += q[below + step - 1] <= key ? step : 0;
                b[c] = static_cast<std::uint8_t>(below);
            }
            codes.pad_row(k, r, in.ncols);
        }
}

// Bit 7 of each byte of the result is set where that byte of `word` equals
// the one of `pattern`, every other bit is clear; exact, as no carry
// crosses a byte.
KALVIO_INLINE std::uint64_t equal_bytes(std::uint64_t word, std::uint64_t pattern) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    const std::uint64_t x = word ^ pattern;
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// The key of rank `rank` among the `count` window samples of pixel c whose
// code is `code`: gathered into `candidates` from a scan of the window's
// codes, eight at a time, that stops once all are found, then selected.
std::int32_t select_in_code(const CImage& in, const std::uint8_t* const* code_rows, const float* const* rows,
                            const Window& w, int c, int k, int code, int count, int rank,
                            std::int32_t* candidates) {
    const int n = channels(in);
    const std::uint64_t pattern = 0x0101010101010101ull * static_cast<std::uint64_t>(code);
    // The bytes of the last eight that still lie in the window.
    const int tail = w.size - (w.size - 1) / 8 * 8;
    const std::uint64_t all = ~std::uint64_t{0};
    const std::uint64_t tail_mask = tail == 8                                      ? all
                                    : std::endian::native == std::endian::little ? ~(all << (8 * tail))
                                                                                   : ~(all >> (8 * tail));
    int m = 0;
    for (int i = 0; m < count; ++i) {
        const std::uint8_t* b = code_rows[i] + c + w.first;
        for (int j0 = 0; j0 < w.size; j0 += 8) {
            std::uint64_t hits = equal_bytes(load<std::uint64_t>(b + j0), pattern);
            if (j0 + 8 >= w.size) hits &= tail_mask;
            while (hits) {
                int j;
                if constexpr (std::endian::native == std::endian::little) {
                    j = j0 + (__builtin_ctzll(hits) >> 3);
                    hits &= hits - 1;
                } else {
                    const int z = __builtin_clzll(hits);
                    j = j0 + (z >> 3);
                    hits &= ~(std::uint64_t{1} << (63 - z));
                }
                candidates[m++] =
                    order_key(load<std::int32_t>(rows[i] + n * clamp_to(c + w.first + j, in.ncols) + k));
            }
        }
    }
    if (m > 1) std::nth_element(candidates, candidates + rank, candidates + m);
    return candidates[rank];
}

// Rows [begin, end) of the median. Along a row, a histogram of codes per
// channel follows the window, one column out and one in per step, and the
// median's code follows the histogram: `below` counts the window's codes
// under `code`, which moves until below <= rank < below + count[code].
// Exact codes are the answer; else the answer is among the few samples of
// that code. O(size) per pixel, plus the scan for those samples.
template <bool kExact>
void median_rows(const Codes& codes, const CImage& in, CImage& out, const Window& w, int begin, int end,
                 std::int32_t* candidates) {
    const int n = channels(in), rank = w.size * w.size / 2;
    const float* rows[kLargestWindow];
    const std::uint8_t* code_rows[kLargestWindow];
    for (int r = begin; r < end; ++r) {
        for (int i = 0; i < w.size; ++i) rows[i] = in.data[clamp_to(r + w.first + i, in.nrows)];
        float* o = out.data[r];
        for (int k = 0; k < n; ++k) {
            for (int i = 0; i < w.size; ++i) code_rows[i] = codes.row(k, clamp_to(r + w.first + i, in.nrows));
            int count[256] = {};
            for (int i = 0; i < w.size; ++i)
                for (int j = w.first; j <= w.last; ++j) ++count[code_rows[i][j]];
            int code = 0, below = 0;
            for (int c = 0; c < in.ncols; ++c) {
                while (below > rank) below -= count[--code];
                while (below + count[code] <= rank) below += count[code++];
                if constexpr (kExact) {
                    o[n * c + k] = static_cast<float>(code);
                } else {
                    const std::int32_t key =
                        select_in_code(in, code_rows, rows, w, c, k, code, count[code], rank - below, candidates);
                    store(o + n * c + k, sample_bits(key));
                }
                for (int i = 0; i < w.size; ++i) {
                    const int gone = code_rows[i][c + w.first], come = code_rows[i][c + 1 + w.last];
                    --count[gone], ++count[come];
                    below += static_cast<int>(come < code) - static_cast<int>(gone < code);
                }
            }
        }
    }
}

bool median_any(const CImage& in, CImage& out, int size) {
    const Window w(size);
    const int threads = band_threads(pixels_of(in));
    Codes codes;
    if (!codes.make(in, size)) return false;
    codes.exact = run_in_bands(in.nrows, 1, threads,
                               [&](int begin, int end) { return whole_codes(in, codes, begin, end); });
    if (!codes.exact) {
        if (!find_quantiles(in, codes)) return false;
        run_rows_in_bands(in.nrows, pixels_of(in),
                          [&](int begin, int end) { quantile_codes(in, codes, begin, end); });
    }
    return run_in_bands(in.nrows, 1, threads, [&](int begin, int end) {
        const auto candidates =
            scratch_of<std::int32_t>(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
        if (candidates && codes.exact) median_rows<true>(codes, in, out, w, begin, end, candidates.get());
        if (candidates && !codes.exact) median_rows<false>(codes, in, out, w, begin, end, candidates.get());
        return candidates != nullptr;
    });
}

// ---------------------------------------------------------------------------
// Distance-weighted mean

// The weights (D - sqrt(dr^2 + dc^2)) / D, D = sqrt(2 h^2) with h = size/2,
// for |dr| and |dc| from 0 to h, the farthest a clamped position lies from
// the centre; all in single precision.
struct DistanceWeights {
    int side;
    std::unique_ptr<float[]> table;

    bool make(int size) {
        const int h = size / 2;
        side = h + 1;
        table = scratch_of<float>(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
        if (!table) return false;
        const float d = std::sqrt(static_cast<float>(2 * h * h));
        for (int a = 0; a <= h; ++a)
            for (int b = 0; b <= h; ++b) table[a * side + b] = (d - std::sqrt(static_cast<float>(a * a + b * b))) / d;
        return true;
    }
    float at(int dr, int dc) const { return table[dr * side + dc]; }
};

// One output row's window: its rows (clamped) and their distances from the
// output row, the weights of an inner pixel, where no column is clamped,
// window row by window row, and their sum.
struct DistanceRow {
    const float* rows[kLargestWindow];
    int distance[kLargestWindow];
    float* weights;  // size^2
    float total;
};

// Sample k of pixel c: sum of w p over sum of w, both summed from 0 in
// window order, rows then columns, in single precision.
KALVIO_INLINE float weighted_mean(const DistanceRow& row, const DistanceWeights& weights, const Window& w,
                                  const int* columns, int n, int c, int k) {
    float sum = 0.0f, total = 0.0f;
    for (int i = 0; i < w.size; ++i)
        for (int j = 0; j < w.size; ++j) {
            const int at = columns[c + j];
            const float weight = weights.at(row.distance[i], std::abs(c - at / n));
            sum += weight * row.rows[i][at + k];
            total += weight;
        }
    return sum / total;
}

// Samples [q, end) of inner pixels, B vectors of V at a time, each lane
// summing in the order of weighted_mean; returns where it stopped.
template <class V, int B>
KALVIO_INLINE int weighted_means(const DistanceRow& row, const Window& w, int n, int q, int end, float* o) {
    constexpr int step = B * kLanes<V>;
    const V total = splat<V>(row.total);
    for (; q + step <= end; q += step) {
        V sum[B];
        for (int b = 0; b < B; ++b) sum[b] = splat<V>(0.0f);
        const float* weight = row.weights;
        for (int i = 0; i < w.size; ++i) {
            const float* p = row.rows[i] + q + n * w.first;
            for (int j = 0; j < w.size; ++j, p += n) {
                const V wj = splat<V>(*weight++);
                for (int b = 0; b < B; ++b) sum[b] += wj * load<V>(p + b * kLanes<V>);
            }
        }
        for (int b = 0; b < B; ++b) store(o + q + b * kLanes<V>, sum[b] / total);
    }
    return q;
}

// Rows [begin, end) of the distance-weighted mean. Pixels whose window
// leaves the picture take weighted_mean; between them, the inner pixels
// share the row's weights and go by vectors.
template <class V>
KALVIO_INLINE void distance_rows(const CImage& in, CImage& out, const DistanceWeights& weights, const Window& w,
                                 int begin, int end, const int* columns, float* scratch) {
    const int n = channels(in);
    DistanceRow row;
    row.weights = scratch;
    const int inner_first = -w.first, inner_end = in.ncols - w.last;  // inner pixels [first, end)
    for (int r = begin; r < end; ++r) {
        for (int i = 0; i < w.size; ++i) {
            const int s = clamp_to(r + w.first + i, in.nrows);
            row.rows[i] = in.data[s];
            row.distance[i] = std::abs(r - s);
        }
        row.total = 0.0f;
        for (int i = 0; i < w.size; ++i)
            for (int j = 0; j < w.size; ++j) {
                const float weight = weights.at(row.distance[i], std::abs(w.first + j));
                row.weights[i * w.size + j] = weight;
                row.total += weight;
            }
        float* o = out.data[r];
        int c = 0;
        const auto edge_pixels = [&](int until) {
            for (; c < until; ++c)
                for (int k = 0; k < n; ++k) o[n * c + k] = weighted_mean(row, weights, w, columns, n, c, k);
        };
        if (inner_first < inner_end) {
            edge_pixels(inner_first);
            int q = n * inner_first;
            if constexpr (kLanes<V> > 1) {
                q = weighted_means<V, 4>(row, w, n, q, n * inner_end, o);
                q = weighted_means<V, 1>(row, w, n, q, n * inner_end, o);
            }
            for (; q < n * inner_end; ++q) o[q] = weighted_mean(row, weights, w, columns, n, q / n, q % n);
            c = inner_end;
        }
        edge_pixels(in.ncols);
    }
}

using DistanceRows = void (*)(const CImage&, CImage&, const DistanceWeights&, const Window&, int, int, const int*,
                              float*);

void distance_rows_1(const CImage& in, CImage& out, const DistanceWeights& weights, const Window& w, int begin,
                     int end, const int* columns, float* scratch) {
    distance_rows<float>(in, out, weights, w, begin, end, columns, scratch);
}
void distance_rows_4(const CImage& in, CImage& out, const DistanceWeights& weights, const Window& w, int begin,
                     int end, const int* columns, float* scratch) {
    distance_rows<f4>(in, out, weights, w, begin, end, columns, scratch);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void distance_rows_8(const CImage& in, CImage& out, const DistanceWeights& weights,
                                                     const Window& w, int begin, int end, const int* columns,
                                                     float* scratch) {
    distance_rows<f8>(in, out, weights, w, begin, end, columns, scratch);
}
#else
void distance_rows_8(const CImage& in, CImage& out, const DistanceWeights& weights, const Window& w, int begin,
                     int end, const int* columns, float* scratch) {
    distance_rows<f4>(in, out, weights, w, begin, end, columns, scratch);
}
#endif

bool distance_filter(const CImage& in, CImage& out, int size) {
    const Window w(size);
    DistanceWeights weights;
    if (!weights.make(size)) return false;
    const DistanceRows kernel = by_lanes<DistanceRows>(distance_rows_1, distance_rows_4, distance_rows_8);
    return run_in_bands(in.nrows, 1, band_threads(pixels_of(in)), [&](int begin, int end) {
        const auto columns = scratch_of<int>(static_cast<std::size_t>(in.ncols) + static_cast<std::size_t>(size));
        const auto scratch = scratch_of<float>(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
        if (!columns || !scratch) return false;
        clamped_columns(in, w, columns.get());
        kernel(in, out, weights, w, begin, end, columns.get(), scratch.get());
        return true;
    });
}

// ---------------------------------------------------------------------------
// Gaussian noise

// Noise is drawn in blocks of whole rows of about 64 K pixels, each from a
// generator of its own seeded from the seed and the block's number, so that
// blocks can be filled side by side and the bits depend on the seed and the
// picture's size only.
constexpr std::size_t kNoiseBlockPixels = std::size_t{1} << 16;

// SplitMix64's finaliser: spreads the seed and the block number over all
// bits of the block's seed.
std::uint64_t block_seed(std::uint64_t seed, std::uint64_t block) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (block + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Box-Muller from one 64-bit draw: two uniform numbers of 24 bits in (0, 1]
// (never 0, so the logarithm is finite), exact in single precision.
float gaussian(std::mt19937_64& engine) {
    const std::uint64_t x = engine();
    const float u1 = static_cast<float>((x >> 40) + 1) * 0x1p-24f;
    const float u2 = static_cast<float>(((x >> 8) & 0xFFFFFF) + 1) * 0x1p-24f;
    return std::sqrt(-2.0f * std::log(u1)) * std::sin(6.2831855f * u2);
}

// Rows of noise from `top` to `end`, block `block` of noise_block_rows.
void noise_rows(const CImage& in, CImage& out, float sigma, std::uint64_t seed, int top, int end, int block) {
    std::mt19937_64 engine(block_seed(seed, static_cast<std::uint64_t>(block)));
    for (int r = top; r < end; ++r)
        for (int c = 0; c < in.ncols; ++c) out.data[r][c] = in.data[r][c] + sigma * gaussian(engine);
}

int noise_block_rows(int ncols) {
    return static_cast<int>(std::max<std::size_t>(1, kNoiseBlockPixels / static_cast<std::size_t>(ncols)));
}

std::uint64_t fresh_seed() {
    try {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        // No entropy source: the clock will do.
        return static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    }
}

// ---------------------------------------------------------------------------
// Thresholding

void threshold_rows(const CImage& in, CImage& out, float threshold, int begin, int end) {
    for (int r = begin; r < end; ++r) {
        const float* p = in.data[r];
        float* o = out.data[r];
        if (in.color != 1)
            for (int c = 0; c < in.ncols; ++c) o[c] = p[c] > threshold ? 255.0f : 0.0f;
        else
            for (int c = 0; c < in.ncols; ++c, p += 3)
                o[c] = p[0] > threshold && p[1] > threshold && p[2] > threshold ? 255.0f : 0.0f;
    }
}

// A new image of the size and format of `in` with the given colour mode
// and sample type, filled by fill(image), which reports success; null when
// memory is lacking, for the image or for the scratch of `fill`
// (std::bad_alloc included, which never leaves the library).
template <class Fill>
CImage* new_filled(const CImage& in, int color, int datatype, const Fill& fill) {
    try {
        std::unique_ptr<CImage> out(new_image(in.nrows, in.ncols, color, in.format, datatype));
        if (!out || !fill(*out)) return nullptr;
        return out.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

CImage* CImage::Median(int size) {
    if (!has_pixels(this) || size < 1 || size > kLargestWindow) return nullptr;
    if (size == 1) return copy_of(*this);
    return new_filled(*this, color, datatype, [&](CImage& out) {
        switch (size) {
        case 3:
            return small_median<3>(*this, out);
        case 5:
            return small_median<5>(*this, out);
        case 7:
            return small_median<7>(*this, out);
        case 9:
            return small_median<9>(*this, out);
        default:
            return median_any(*this, out, size);
        }
    });
}

CImage* CImage::Threshold(float threshold) {
    if (!has_pixels(this)) return nullptr;
    return new_filled(*this, 0, datatype, [&](CImage& out) {
        run_rows_in_bands(nrows, pixels_of(*this),
                          [&](int begin, int end) { threshold_rows(*this, out, threshold, begin, end); });
        return true;
    });
}

CImage* CImage::DistanceFilter(int size) {
    if (!has_pixels(this) || size < 1 || size > kLargestWindow) return nullptr;
    // One pixel weighs (D - 0) / D with D = 0: the window is the pixel.
    if (size == 1) return copy_of(*this);
    return new_filled(*this, color, datatype, [&](CImage& out) { return distance_filter(*this, out, size); });
}

CImage* CImage::GNoise(float sigma) { return GNoise(sigma, fresh_seed()); }

CImage* CImage::GNoise(float sigma, unsigned long long seed) {
    if (!has_pixels(this) || color == 1) return nullptr;
    return new_filled(*this, 0, KALVIO_TYPE_FLOAT, [&](CImage& out) {
        const int block = noise_block_rows(ncols);
        run_in_bands(nrows, block, band_threads(pixels_of(*this)), [&](int begin, int end) {
            for (int top = begin; top < end; top += block)
                noise_rows(*this, out, sigma, seed, top, std::min(end, top + block), top / block);
            return true;
        });
        return true;
    });
}
