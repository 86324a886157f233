// Contour: seeds, the region map, regions with their neighbour tables,
// histograms and mean colours.
#include <varnex/contour.h>
#include <varnex/paths.h>
#include <varnex/pixelblock.h>

#include "core/contour_p.h"

#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/formats.h>
#include <kalvio/message.h>
#include <kalvio/trace.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using contour_detail::free_int_map;
using contour_detail::make_int_map;

namespace {

// A colour as the fill compares it: blue, green and red in the low 24 bits
// of a word.
inline std::uint32_t colour_word(const std::uint8_t* bgr) {
    return static_cast<std::uint32_t>(bgr[0]) | static_cast<std::uint32_t>(bgr[1]) << 8 |
           static_cast<std::uint32_t>(bgr[2]) << 16;
}

// The samples of pixel `at` (an index in scan order) of `image`, read from
// `block` when the rows lie in one block in order.
inline const float* samples_at(const MyImage& image, const float* block, std::size_t at, std::size_t channels) {
    const std::size_t width = static_cast<std::size_t>(image.width);
    return block ? block + channels * at : image.data[at / width] + channels * (at % width);
}

// The `count` samples at `in` as bytes at `out`; false when one of them is
// not a whole number from 0 to 255 (what is written for it is then of no
// use).
bool samples_to_bytes_exactly(const float* in, std::size_t count, std::uint8_t* out) {
    std::size_t i = 0;
    bool exact = true;
#if defined(__SSE2__)
    contour_detail::WholeLanes lanes(~0xFF);
    for (; i + 4 <= count; i += 4) {
        const __m128i whole = lanes.truncate(_mm_loadu_ps(in + i));
        const __m128i words = _mm_packs_epi32(whole, whole);
        const int four = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
        std::memcpy(out + i, &four, 4);
    }
    exact = lanes.all_whole();
#endif
    for (; i < count; ++i) {
        const float value = in[i];
        const int whole = static_cast<int>(value);
        exact = exact && value >= 0.0f && value < 256.0f && static_cast<float>(whole) == value;
        out[i] = static_cast<std::uint8_t>(exact ? whole : 0);
    }
    return exact;
}

}  // namespace

Contour::Contour(MyImage* image)
    : image(image), parameter(10.0f), region_map(nullptr), result(nullptr),
      mean0(nullptr), mean2(nullptr), mean1(nullptr), marks(nullptr),
      map_cols(0), map_rows(0), label_map(nullptr), seed_map(nullptr), graph(nullptr),
      dist_object(0), dist_background(0), weight(1.0f), m_nCuts(0),
      m_dMean(0.0), m_dVariance(0.0), m_bHasInterior(false) {}

Contour::~Contour() {
    ReleaseRegions();
    ReleaseRunData();
    free_int_map(label_map);
    label_map = nullptr;
    delete region_map;
}

bool Contour::AddSeed(int x, int y, int kind) {
    const CPoint point{x, y};
    if (!image || !image->Contains(&point)) return false;
    try {
        if (kind == 1) object_seeds.Add(point);
        else if (kind == 2) background_seeds.Add(point);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool Contour::LoadRegionMap(const std::string& region_path) {
    path = region_path;
    // A session that paints nothing divides the map as soon as it is read:
    // the picture's statistics are taken on another core meanwhile.
    if (m_bSession && !m_bListPixels && has_samples()) start_measuring();
    delete region_map;
    region_map = nullptr;
    m_regionBitmap.reset();
    drop_region_words();
    const int bitmap = read_region_bitmap(region_path);
    bool read = bitmap > 0;
    if (bitmap == 0) {
        region_map = new MyImage;
        read = region_map->ReadImage(region_path.c_str()) != 0;
    } else if (bitmap < 0) {
        // As the float reader says when a bitmap fails.
        AfxMessageBox("CImage: Can't read data");
    }
    if (!read) {
        AfxMessageBox(cant_open_image_message(region_path), MB_ICONSTOP);
        return false;
    }
    return SetRegionMap(region_map, region_path);
}

// A BMP region map is kept as its bytes: 8-bit indices or 24-bit pixels,
// a third of a float image's colour samples or less, and divided into
// regions without converting them. Returns 1 when read, 0 when the file is
// no BMP or cannot be opened (the float reader then says why), -1 after
// the bitmap reader's message.
int Contour::read_region_bitmap(const std::string& region_path) {
    CFile file;
    if (!file.Open(region_path.c_str(), CFile::modeRead)) return 0;
    char magic[2] = {0, 0};
    if (file.Read(magic, 2) != 2 || magic[0] != 'B' || magic[1] != 'M' || file.Seek(0, CFile::begin) != 0) return 0;
    if (m_bSession) {
        const int words = m_bListPixels ? read_region_words(file) : read_region_runs(file);
        if (words != 0) return words;
        if (file.Seek(0, CFile::begin) != 0) return 0;
    }
    std::unique_ptr<CDib> bitmap(new (std::nothrow) CDib);
    if (!bitmap) return 0;
    if (!bitmap->Read(&file)) return -1;
    const std::uint64_t row = static_cast<std::uint64_t>(bitmap->width) * static_cast<std::uint64_t>(bitmap->pixel_bytes);
    if ((bitmap->pixel_bytes != 1 && bitmap->pixel_bytes != 3) || !bitmap->bits || bitmap->row_bytes < row ||
        static_cast<std::uint64_t>(bitmap->row_bytes) * static_cast<std::uint64_t>(bitmap->height) > bitmap->image_size)
        return 0;
    m_regionBitmap = std::move(bitmap);
    return 1;
}

// A session reads a BMP map's rows straight into the label map as colour
// words (blue, green, red in the low 24 bits), which is all the fill needs:
// no bitmap of the whole map is kept beside it. Returns 1 when read, -1
// after the reader's message, 0 when the map's size differs from the
// picture's or the label map cannot be had; the bitmap is then read whole,
// and says which.
int Contour::read_region_words(CFile& file) {
    int** words = nullptr;
    bool declined = false;
    auto size = [&](int width, int height) {
        if (image && width == image->width && height == image->height) words = make_int_map(height, width);
        declined = !words;
        return !declined;
    };
    auto row = [&](int y, const std::uint8_t* bgr) {
        int* out = words[y];
        for (int x = 0; x < image->width; ++x, bgr += 3)
            out[x] = static_cast<int>(colour_word(bgr));
    };
    const int read = read_bmp_rows(&file, size, row);
    if (read != 1) {
        free_int_map(words);
        return declined ? 0 : -1;
    }
    free_int_map(label_map);
    label_map = words;
    map_cols = image->width;
    map_rows = image->height;
    m_bColoursInLabelMap = true;
    return 1;
}

// A session that keeps no pixel lists reads a BMP map's rows into runs of
// one colour word: a few bytes a run rather than a label map's four a
// pixel, and no label map is ever made from them. The rows may come bottom
// up; they are put in scan order once all are read. Returns as
// read_region_words does, 0 also when memory for the runs ran out (the
// bitmap read whole then says what it says).
int Contour::read_region_runs(CFile& file) {
    RegionRuns arrived;                  // the runs in the order their rows came
    std::vector<std::uint32_t> row_end;  // per row: the end of its runs in `arrived`
    bool declined = false, failed = false;
    std::uint32_t width = 0;
    auto size = [&](int columns, int rows) {
        declined = !image || columns != image->width || rows != image->height ||
                   static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows) >= UINT32_MAX;
        if (declined) return false;
        width = static_cast<std::uint32_t>(columns);
        try {
            arrived.row_first.assign(static_cast<std::size_t>(rows), 0);
            row_end.assign(static_cast<std::size_t>(rows), 0);
            // Room for runs of 16 pixels on average, which maps of regions
            // rarely exceed: only the pages written take memory, and the
            // runs are not copied as they grow.
            const std::size_t guess = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows) / 16 + 1;
            arrived.start.reserve(guess);
            arrived.region.reserve(guess);
        } catch (const std::bad_alloc&) {
            declined = true;
        }
        return !declined;
    };
    auto row = [&](int y, const std::uint8_t* bgr) {
        if (failed) return;
        const auto at = static_cast<std::size_t>(y);
        arrived.row_first[at] = static_cast<std::uint32_t>(arrived.region.size());
        try {
            arrived.add_bgr_row(static_cast<std::uint32_t>(y) * width, bgr, width);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        row_end[at] = static_cast<std::uint32_t>(arrived.region.size());
    };
    const int read = read_bmp_rows(&file, size, row);
    if (read != 1) return declined ? 0 : -1;
    if (failed) return 0;
    RegionRuns runs;
    try {
        const std::size_t count = arrived.region.size(), rows = arrived.row_first.size();
        runs.start.reserve(count + 1);
        runs.region.reserve(count);
        runs.row_first.reserve(rows + 1);
        for (std::size_t y = 0; y < rows; ++y) {
            runs.row_first.push_back(static_cast<std::uint32_t>(runs.region.size()));
            runs.start.insert(runs.start.end(), arrived.start.begin() + arrived.row_first[y], arrived.start.begin() + row_end[y]);
            runs.region.insert(runs.region.end(), arrived.region.begin() + arrived.row_first[y],
                               arrived.region.begin() + row_end[y]);
        }
        runs.row_first.push_back(static_cast<std::uint32_t>(runs.region.size()));
        runs.start.push_back(width * static_cast<std::uint32_t>(rows));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    drop_labels();
    m_runs = std::move(runs);
    map_cols = image->width;
    map_rows = image->height;
    m_bColourRuns = true;
    return 1;
}

// Appends the runs of one row of colour words, four words compared at a
// time while all four go on the run.
void Contour::RegionRuns::add_row(std::uint32_t row_start, const std::uint32_t* words, std::size_t width) {
    for (std::size_t x = 0; x < width;) {
        const std::uint32_t word = words[x];
        std::size_t end = x + 1;
#if defined(__SSE2__)
        const __m128i same = _mm_set1_epi32(static_cast<int>(word));
        while (end + 4 <= width) {
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + end));
            const unsigned equal = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(next, same))));
            if (equal != 0xFu) {
                end += static_cast<std::size_t>(std::countr_one(equal));
                break;
            }
            end += 4;
        }
        if (end + 4 > width)
#endif
            while (end < width && words[end] == word) ++end;
        start.push_back(row_start + static_cast<std::uint32_t>(x));
        region.push_back(word);
        x = end;
    }
}

// A run goes on while each pixel's three bytes equal those of the pixel
// before it: sixteen bytes at a time are compared with the same sixteen
// three bytes back, which checks five pixels at once.
void Contour::RegionRuns::add_bgr_row(std::uint32_t row_start, const std::uint8_t* bgr, std::size_t width) {
    const std::size_t bytes = 3 * width;
    for (std::size_t x = 0; x < width;) {
        std::size_t end = x + 1;
        bool ended = false;
#if defined(__SSE2__)
        for (std::size_t at = 3 * end; at + 16 <= bytes; at = 3 * end) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + at));
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + at - 3));
            const unsigned equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before))) & 0x7FFFu;
            if (equal != 0x7FFFu) {
                end += static_cast<std::size_t>(std::countr_one(equal)) / 3;
                ended = true;
                break;
            }
            end += 5;
        }
#endif
        if (!ended)
            while (end < width && std::memcmp(bgr + 3 * end, bgr + 3 * end - 3, 3) == 0) ++end;
        start.push_back(row_start + static_cast<std::uint32_t>(x));
        region.push_back(colour_word(bgr + 3 * x));
        x = end;
    }
}

std::uint32_t Contour::RegionRuns::run_at(std::size_t at, std::size_t y) const {
    const auto first = start.begin() + row_first[y], last = start.begin() + row_first[y + 1];
    return static_cast<std::uint32_t>(std::upper_bound(first, last, static_cast<std::uint32_t>(at)) - start.begin()) - 1;
}

int Contour::region_at(int x, int y) const {
    if (x < 0 || y < 0 || x >= map_cols || y >= map_rows) return 0;
    if (label_map) return label_map[y][x];
    if (!m_bRegionRuns) return 0;
    const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(map_cols) + static_cast<std::size_t>(x);
    return static_cast<int>(m_runs.region[m_runs.run_at(at, static_cast<std::size_t>(y))]);
}

// Forgets colour words or runs waiting to be divided.
void Contour::drop_region_words() {
    if (m_bColourRuns) drop_labels();
    if (!m_bColoursInLabelMap) return;
    m_bColoursInLabelMap = false;
    free_int_map(label_map);
    label_map = nullptr;
}

// Forgets the label map and the runs, whatever they hold.
void Contour::drop_labels() {
    free_int_map(label_map);
    label_map = nullptr;
    m_bColoursInLabelMap = false;
    m_runs.clear();
    m_bColourRuns = false;
    m_bRegionRuns = false;
    m_reachedBits.release();
    m_rowHint = {};
}

// A label map made from the runs, null when it cannot be had.
int** Contour::labels_from_runs() const {
    int** labels = make_int_map(map_rows, map_cols);
    if (!labels) return nullptr;
    for (std::size_t k = 0; k < m_runs.region.size(); ++k)
        std::fill(labels[0] + m_runs.start[k], labels[0] + m_runs.start[k + 1], static_cast<int>(m_runs.region[k]));
    return labels;
}

// A BMP map's colours wait to be divided, as words in the label map or as
// runs.
bool Contour::colours_waiting() const { return (m_bColoursInLabelMap && label_map) || m_bColourRuns; }

int Contour::region_map_width() const {
    if (colours_waiting()) return map_cols;
    return m_regionBitmap ? m_regionBitmap->width : region_map ? region_map->width : 0;
}

int Contour::region_map_height() const {
    if (colours_waiting()) return map_rows;
    return m_regionBitmap ? m_regionBitmap->height : region_map ? region_map->height : 0;
}

bool Contour::SetRegionMap(MyImage* map, const std::string& label) {
    path = label;
    if (map != region_map) {
        delete region_map;
        region_map = map;
    }
    if (map) {
        m_regionBitmap.reset();
        drop_region_words();
    }
    // Every later step indexes both maps with the same coordinates.
    const bool words = colours_waiting();
    if (!image || (!region_map && !m_regionBitmap && !words) || region_map_width() != image->width ||
        region_map_height() != image->height) {
        AfxMessageBox("The region map " + label + " does not have the size of the picture", MB_ICONSTOP);
        return false;
    }
    return true;
}

bool Contour::ComputeRegions() {
    const bool float_map = region_map && region_map->data && (region_map->color == 0 || region_map->color == 1);
    const bool words = colours_waiting();
    if (!has_samples() || (!image->data && m_bListPixels) || (image->color != 0 && image->color != 1) ||
        !(float_map || m_regionBitmap || words) ||
        region_map_width() != image->width || region_map_height() != image->height || image->width <= 0 ||
        image->height <= 0 || !regions.IsEmpty())
        return false;

    KALVIO_TRACE(image->color == 0 ? "gray image!\n" : "color image!\n");
    map_cols = image->width;
    map_rows = image->height;
    // The picture's mean and variance, which the cuts need, are taken on a
    // thread of their own while the map is divided (or, in a session that
    // paints nothing, from when its map is read): both only read the
    // picture, and neither reads what the other writes.
    struct Measuring {
        Contour& c;
        ~Measuring() { c.finish_measuring(); }
    } measuring{*this};
    start_measuring();
    int n = 0;
    try {
        n = label_regions();
        // A map of tiny regions can ask for more than the machine has; say
        // so before the tables are built rather than dying half way.
        if (n < 0 || !region_tables_fit(n)) throw std::bad_alloc();
        build_neighbour_tables(n);
        finish_run_counting();
        keep_region_means(n);
        prepare_run_tables(n);
    } catch (const std::bad_alloc&) {
        finish_measuring();
        abandon_run_counting();
        ReleaseRegions();
        drop_labels();
        if (n >= 0) {
            AfxMessageBox("Not enough memory for " + std::to_string(n) + " regions of the region map " + path,
                          MB_ICONSTOP);
        } else {
            AfxMessageBox("Not enough memory for the regions of the region map " + path, MB_ICONSTOP);
        }
        return false;
    }
    return true;
}

namespace {

// Region maps as the flood fill reads them, over the label map `labels`:
// visited(at) whether pixel `at` has its region, key(at, y, x) what tells
// its region, open(at, y, x, key) whether an unvisited pixel has that key,
// and mark(at, r) gives it region r.

// A float map: equal samples in every channel. A sample that is not a
// number equals nothing, so such a pixel is a region of its own.
struct FloatMap {
    const MyImage& map;
    int channels;
    int* labels;
    struct Key {
        float v[3];
    };
    bool visited(std::size_t at) const { return labels[at] != 0; }
    Key key(std::size_t, int y, int x) const {
        Key k{{0, 0, 0}};
        for (int c = 0; c < channels; ++c) k.v[c] = map.data[y][channels * x + c];
        return k;
    }
    bool open(std::size_t at, int y, int x, const Key& k) const {
        if (labels[at]) return false;
        const float* value = &map.data[y][channels * x];
        for (int c = 0; c < channels; ++c)
            if (!(value[c] == k.v[c])) return false;
        return true;
    }
    void mark(std::size_t at, int r) { labels[at] = r; }
};

// A map whose pixels' colours are written into the label map first, as red,
// green and blue in the low 24 bits of a word: equal words are exactly
// equal float samples. A visited pixel holds its region with the top bit
// set, which no colour has, so one load tells both.
struct KeyedMap {
    int* labels;
    static constexpr std::uint32_t kVisited = 0x80000000u;
    using Key = std::uint32_t;
    bool visited(std::size_t at) const { return (static_cast<std::uint32_t>(labels[at]) & kVisited) != 0; }
    Key key(std::size_t at, int, int) const { return static_cast<std::uint32_t>(labels[at]); }
    bool open(std::size_t at, int, int, Key k) const { return static_cast<std::uint32_t>(labels[at]) == k; }
    void mark(std::size_t at, int r) { labels[at] = static_cast<int>(static_cast<std::uint32_t>(r) | kVisited); }
};

// Histogram bin of a sample value: truncated toward zero, values below 0 in
// bin 0 and values of 256 or more in bin 255.
inline int histogram_bin(float value) {
    if (!(value >= 0.0f)) return 0;
    if (value >= 256.0f) return 255;
    return static_cast<int>(value);
}

// Counted one pixel at a time in float, a bin stops growing at 2^24.
inline float bin_count(std::uint32_t count) {
    constexpr std::uint32_t kLargestCount = 1u << 24;
    return static_cast<float>(count < kLargestCount ? count : kLargestCount);
}

}  // namespace

// Counts the pixels the fill lists, in order, into the histograms and sums
// of their regions, on a thread of its own: the fill hands over how far its
// list goes and where regions end, in batches under a lock, which also makes
// the listed entries seen; the closing thread alone writes the histograms
// and sums. The list is the pixel block, or a ring of kRingPixels entries
// when no pixel block is kept: the fill then waits while the ring is full.
// Where no thread can be had, the pixels are counted as they are handed
// over.
class Contour::RegionCloser {
public:
    static constexpr std::uint32_t kRingPixels = 1u << 18;

    // `order` is the fill's list; `ring` when it is a ring of kRingPixels.
    RegionCloser(Contour& contour, const std::uint32_t* order, bool ring)
        : m_contour(contour), m_order(order), m_ring(ring) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
    }
    ~RegionCloser() { finish(); }

    // The fill may list pixels up to this count before room() is called.
    std::uint64_t room_until() const { return m_ring ? std::uint64_t{kRingPixels} : UINT64_MAX; }

    // A region ends at entry `end` of the list.
    void filled(std::uint32_t end) {
        m_batch.push_back(end);
        if (m_batch.size() >= kBatch || end - m_handed >= kBatchPixels) hand_over(end);
    }

    // The ring is full with `listed` entries: waits until the closing is at
    // least half a ring behind and returns the new limit. Throws bad_alloc
    // when the closing ran out of memory.
    std::uint64_t room(std::uint32_t listed) {
        hand_over(listed);
        if (m_thread.joinable()) {
            std::unique_lock<std::mutex> hold(m_lock);
            m_roomMade.wait(hold, [&] { return m_failed || listed - m_closedPublished <= kRingPixels / 2; });
            if (m_failed) throw std::bad_alloc();
            return std::uint64_t{m_closedPublished} + kRingPixels;
        }
        return std::uint64_t{listed} + kRingPixels;
    }

    // Waits for every region to be closed; false when memory ran out.
    bool finish() {
        if (m_finished) return !m_failed;
        m_finished = true;
        try {
            // m_failed is the closing thread's until it is joined; without a
            // thread, a failure has stopped the counting already.
            if (m_thread.joinable() || !m_failed) hand_over(m_batch.empty() ? m_handed : m_batch.back());
        } catch (const std::bad_alloc&) {
            m_failed = true;
        }
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_done = true;
            }
            m_more.notify_one();
            m_thread.join();
        }
        return !m_failed;
    }

private:
    static constexpr std::size_t kBatch = 256;
    static constexpr std::uint32_t kBatchPixels = 1u << 16;

    // Hands over the region ends gathered and the list up to `listed`.
    void hand_over(std::uint32_t listed) {
        m_handed = listed;
        if (!m_thread.joinable()) {
            try {
                close_up_to(listed, m_batch);
            } catch (const std::bad_alloc&) {
                m_failed = true;
                throw;
            }
            m_batch.clear();
            return;
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_ends.insert(m_ends.end(), m_batch.begin(), m_batch.end());
            m_listed = listed;
        }
        m_batch.clear();
        m_more.notify_one();
    }

    // Counts the listed pixels up to `listed`, closing each region at its
    // end; `ends` (ascending, none beyond `listed`) are consumed.
    void close_up_to(std::uint32_t listed, std::vector<std::uint32_t>& ends) {
        std::size_t next = 0;
        while (next < ends.size() || m_closed < listed) {
            const std::uint32_t stop = next < ends.size() ? ends[next] : listed;
            while (m_closed < stop) {
                // A ring's entries wrap around: count up to its end first.
                const std::uint32_t at = m_ring ? m_closed % kRingPixels : m_closed;
                const std::uint32_t count = m_ring ? std::min(stop - m_closed, kRingPixels - at) : stop - m_closed;
                m_contour.count_pixels(m_order + at, count);
                m_closed += count;
            }
            if (next < ends.size()) {
                m_contour.close_region(stop - m_regionFirst);
                m_regionFirst = stop;
                ++next;
            }
        }
        ends.erase(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(next));
    }

    void run() {
        std::vector<std::uint32_t> ends;
        try {
            for (;;) {
                std::uint32_t listed = 0;
                {
                    std::unique_lock<std::mutex> hold(m_lock);
                    m_more.wait(hold, [this] { return m_listed != m_closed || m_done; });
                    if (m_listed == m_closed && m_done) return;
                    ends.insert(ends.end(), m_ends.begin(), m_ends.end());
                    m_ends.clear();
                    listed = m_listed;
                }
                close_up_to(listed, ends);
                {
                    std::lock_guard<std::mutex> hold(m_lock);
                    m_closedPublished = m_closed;
                }
                m_roomMade.notify_one();
            }
        } catch (const std::bad_alloc&) {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_failed = true;
            }
            m_roomMade.notify_one();
        }
    }

    Contour& m_contour;
    const std::uint32_t* m_order;
    bool m_ring;
    // The fill's side.
    std::vector<std::uint32_t> m_batch;  // region ends not handed over yet
    std::uint32_t m_handed = 0;          // list entries handed over
    // The closing side (the thread's, or the fill's without one).
    std::uint32_t m_closed = 0;       // list entries counted
    std::uint32_t m_regionFirst = 0;  // entry where the region being counted starts
    // Shared under the lock.
    std::mutex m_lock;
    std::condition_variable m_more, m_roomMade;
    std::vector<std::uint32_t> m_ends;      // handed over, not yet taken
    std::uint32_t m_listed = 0;             // entries handed over
    std::uint32_t m_closedPublished = 0;    // entries counted, as the fill may see
    bool m_done = false;
    bool m_failed = false;
    bool m_finished = false;  // the fill's
    std::thread m_thread;
};

// Flood fill, depth first with an explicit stack, of the 4-connected areas
// of one exact value, over the label map made before; the label map
// doubles as the visited map. Each region's pixels are counted into its
// histogram and colour sums in fill order (RegionCloser), and listed in the
// pixel block when one is kept. Returns the number of regions, -1 for too
// many.
template <typename SameRegion>
int Contour::fill_regions(SameRegion map) {
    const int width = map_cols, height = map_rows;
    regions.width = width;
    regions.start.assign(1, 0);
    regions.first.clear();
    start_region_tables();
    const bool ring = regions.index.empty();
    std::vector<std::uint32_t> ring_entries;
    if (ring) ring_entries.assign(RegionCloser::kRingPixels, 0);
    std::uint32_t* order = ring ? ring_entries.data() : regions.index.data();
    const std::uint32_t wrap = ring ? RegionCloser::kRingPixels - 1 : UINT32_MAX;
    RegionCloser closer(*this, order, ring);
    std::uint64_t room_until = closer.room_until();
    std::uint32_t filled = 0;
    auto reach = [&](std::size_t at, int r) {
        map.mark(at, r);
        if (filled == room_until) room_until = closer.room(filled);
        order[filled & wrap] = static_cast<std::uint32_t>(at);
        ++filled;
    };
    const std::size_t stride = static_cast<std::size_t>(width);
    std::vector<CPoint> active;
    int count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t seed_at = static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x);
            if (map.visited(seed_at)) continue;
            if (count == std::numeric_limits<int>::max()) return -1;
            const int r = ++count;
            const auto key = map.key(seed_at, y, x);
            regions.first.push_back(static_cast<std::uint32_t>(seed_at));
            reach(seed_at, r);
            active.push_back({x, y});
            while (!active.empty()) {
                const CPoint p = active.back();
                active.pop_back();
                const std::size_t at = static_cast<std::size_t>(p.y) * stride + static_cast<std::size_t>(p.x);
                // Left, right, up, down: the order decides the fill order.
                if (p.x > 0 && map.open(at - 1, p.y, p.x - 1, key)) {
                    active.push_back({p.x - 1, p.y});
                    reach(at - 1, r);
                }
                if (p.x + 1 < width && map.open(at + 1, p.y, p.x + 1, key)) {
                    active.push_back({p.x + 1, p.y});
                    reach(at + 1, r);
                }
                if (p.y > 0 && map.open(at - stride, p.y - 1, p.x, key)) {
                    active.push_back({p.x, p.y - 1});
                    reach(at - stride, r);
                }
                if (p.y + 1 < height && map.open(at + stride, p.y + 1, p.x, key)) {
                    active.push_back({p.x, p.y + 1});
                    reach(at + stride, r);
                }
            }
            regions.start.push_back(filled);
            closer.filled(filled);
        }
    }
    if (!closer.finish()) throw std::bad_alloc();
    return count;
}

// Region r's pixels in fill order, handed to visit(at) until it returns
// true, from the finished label map or runs: the region is filled again
// from the pixel its fill started from, and the same depth-first fill over
// the same pixels reaches them in the same order. In the label map, pixels
// reached are told by their top bit while it runs; `reached` and `active`
// are scratch.
template <typename Visit>
void Contour::visit_in_fill_order(int r, std::vector<std::uint32_t>& reached, std::vector<std::uint32_t>& active,
                                  Visit&& visit) {
    reached.clear();
    active.clear();
    const std::size_t width = static_cast<std::size_t>(map_cols), height = static_cast<std::size_t>(map_rows);
    bool stop = false;
    if (!label_map) {
        // Over the runs: a pixel's left and right neighbours are in its
        // region while they are on its run, those above and below when the
        // run holding them is of its region. Each pixel waits with its run;
        // the run above or below is looked for from the one last found on
        // that row, as the fill moves little between looks. Pixels reached
        // are told by a bit each, in pages taken only where they are
        // written.
        if (m_reachedBits.empty() && !m_reachedBits.allocate_sparse(width * height / 64 + 1)) throw std::bad_alloc();
        std::uint64_t* bits = m_reachedBits.data();
        const std::uint32_t* start = m_runs.start.data();
        const auto region = static_cast<std::uint32_t>(r);
        auto is_reached = [&](std::size_t at) { return (bits[at >> 6] >> (at & 63) & 1) != 0; };
        std::vector<std::uint32_t>& hint = m_rowHint;
        if (hint.size() != height) hint.assign(m_runs.row_first.begin(), m_runs.row_first.end() - 1);
        const std::uint32_t* row_first = m_runs.row_first.data();
        auto run_of = [&](std::size_t at, std::size_t y) {
            std::uint32_t k = hint[y];
            if (at >= start[k] && at < start[k + 1]) return k;
            if (at >= start[k + 1] && k + 1 < row_first[y + 1] && at < start[k + 2]) ++k;
            else if (at < start[k] && k > row_first[y] && at >= start[k - 1]) --k;
            else k = m_runs.run_at(at, y);
            hint[y] = k;
            return k;
        };
        auto reach = [&](std::size_t at, std::uint32_t run) {
            reached.push_back(static_cast<std::uint32_t>(at));
            bits[at >> 6] |= std::uint64_t{1} << (at & 63);
            stop = visit(at);
            active.push_back(static_cast<std::uint32_t>(at));
            active.push_back(run);
        };
        auto reach_across = [&](std::size_t at, std::size_t y) {
            if (is_reached(at)) return;
            const std::uint32_t run = run_of(at, y);
            if (m_runs.region[run] == region) reach(at, run);
        };
        try {
            const std::size_t first = regions.first[static_cast<std::size_t>(r) - 1];
            reach(first, run_of(first, first / width));
            while (!active.empty() && !stop) {
                const std::uint32_t run = active.back();
                active.pop_back();
                const std::size_t at = active.back();
                active.pop_back();
                const std::size_t y = at / width;
                if (!stop && at > start[run] && !is_reached(at - 1)) reach(at - 1, run);
                if (!stop && at + 1 < start[run + 1] && !is_reached(at + 1)) reach(at + 1, run);
                if (!stop && y > 0) reach_across(at - width, y - 1);
                if (!stop && y + 1 < height) reach_across(at + width, y + 1);
            }
        } catch (const std::bad_alloc&) {
            for (std::uint32_t at : reached) bits[at >> 6] = 0;
            throw;
        }
        for (std::uint32_t at : reached) bits[at >> 6] = 0;
        return;
    }
    int* labels = label_map[0];
    const int visited = static_cast<int>(static_cast<std::uint32_t>(r) | 0x80000000u);
    auto reach = [&](std::size_t at) {
        reached.push_back(static_cast<std::uint32_t>(at));
        labels[at] = visited;
        stop = visit(at);
        active.push_back(static_cast<std::uint32_t>(at));
    };
    try {
        reach(regions.first[static_cast<std::size_t>(r) - 1]);
        while (!active.empty() && !stop) {
            const std::size_t at = active.back();
            active.pop_back();
            const std::size_t x = at % width, y = at / width;
            if (!stop && x > 0 && labels[at - 1] == r) reach(at - 1);
            if (!stop && x + 1 < width && labels[at + 1] == r) reach(at + 1);
            if (!stop && y > 0 && labels[at - width] == r) reach(at - width);
            if (!stop && y + 1 < height && labels[at + width] == r) reach(at + width);
        }
    } catch (const std::bad_alloc&) {
        for (std::uint32_t at : reached) labels[at] = r;
        throw;
    }
    for (std::uint32_t at : reached) labels[at] = r;
}

// The first non-zero entry of `kinds` (one a pixel) among region r's pixels
// in fill order, 0 when there is none.
std::uint8_t Contour::first_kind_in_fill_order(int r, const std::uint8_t* kinds, std::vector<std::uint32_t>& reached,
                                               std::vector<std::uint32_t>& active) {
    if (regions.listed()) {
        const std::uint32_t* p = regions.pixels(r);
        const std::size_t size = regions.size(r);
        for (std::size_t i = 0; i < size; ++i)
            if (kinds[p[i]]) return kinds[p[i]];
        return 0;
    }
    std::uint8_t kind = 0;
    visit_in_fill_order(r, reached, active, [&](std::size_t at) { return (kind = kinds[at]) != 0; });
    return kind;
}

// Where counted regions go: the counts of the region being counted, then
// the histograms and means of the regions closed, in order, and those whose
// sums are to be added up again in fill order.
struct Contour::CountSink {
    std::vector<std::uint32_t> bin_count = std::vector<std::uint32_t>(769, 0);
    std::vector<std::uint16_t> counted;
    float sum[3] = {0.0f, 0.0f, 0.0f};
    RegionHistograms histograms;
    std::vector<float> mean[3];
    std::vector<int> sum_again;
    bool failed = false;  // memory ran out while counting
    CountSink() { histograms.start.assign(1, 0); }
};

// What count_runs needs of label_by_runs' division, and what it leaves.
struct Contour::RunCounting {
    std::vector<std::uint32_t> by_region;            // runs by region, in scan order within each
    std::vector<std::uint32_t> first_run;            // region r's runs: by_region[first_run[r] .. first_run[r + 1])
    int count = 0;
    CountSink sink;  // what the counting thread counted: regions 1 .. limit - 1
    // The thread takes regions from the first up, a step at a time, and
    // until `limit`; finish_run_counting may lower the limit to count the
    // last regions itself. Both under `claim`.
    std::mutex claim;
    int next = 1;      // the first region no step has taken
    int limit = 0;     // regions from here on are not the thread's
    std::thread thread;
};

// Divides the runs of colour words in m_runs into regions, for a session
// that keeps no pixel lists. Each run is joined to the runs of the row
// above that it touches with the same word; a region's runs all lead to its
// first, the one holding its first pixel in scan order, so numbering
// regions in the order of their first runs gives the fill's numbers. The
// runs then hold the numbers, and stand in for the label map. Histograms
// and sums are counted run by run: bin counts do not depend on the order,
// and neither does a sum of whole non-negative samples that stays at or
// below 2^24, which a float holds exactly all the way; any other region's
// sums are added up again in fill order. Returns the number of regions, -1
// for too many.
int Contour::label_by_runs() {
    const std::size_t width = static_cast<std::size_t>(map_cols), height = static_cast<std::size_t>(map_rows);
    regions.width = map_cols;
    regions.start.assign(1, 0);
    regions.first.clear();
    start_region_tables();

    const std::vector<std::uint32_t>& run_start = m_runs.start;
    const std::vector<std::uint32_t>& row_first = m_runs.row_first;
    const std::vector<std::uint32_t>& word = m_runs.region;
    const std::size_t runs = word.size();
    std::vector<std::uint32_t> parent(runs);  // an earlier run of the same region, or the run itself
    for (std::size_t k = 0; k < runs; ++k) parent[k] = static_cast<std::uint32_t>(k);
    auto find = [&](std::uint32_t a) {
        while (parent[a] != a) {
            parent[a] = parent[parent[a]];
            a = parent[a];
        }
        return a;
    };
    for (std::size_t y = 1; y < height; ++y) {
        const std::uint32_t row = static_cast<std::uint32_t>(y * width), above_row = row - static_cast<std::uint32_t>(width);
        std::uint32_t above = row_first[y - 1];
        const std::uint32_t above_end = row_first[y];
        for (std::uint32_t k = row_first[y]; k < row_first[y + 1]; ++k) {
            const std::uint32_t x = run_start[k] - row, end = run_start[k + 1] - row;
            while (above < above_end && run_start[above + 1] - above_row <= x) ++above;
            for (std::uint32_t j = above; j < above_end && run_start[j] - above_row < end; ++j) {
                if (word[j] != word[k]) continue;
                const std::uint32_t a = find(k), b = find(j);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
        }
    }

    // Regions numbered by their first runs. A run's parent is an earlier
    // run, numbered before it, so one pass in order turns every parent into
    // the number of its region.
    std::vector<std::uint32_t>& run_region = parent;
    int count = 0;
    for (std::size_t k = 0; k < runs; ++k) {
        if (parent[k] == k) {
            if (count == std::numeric_limits<int>::max()) return -1;
            run_region[k] = static_cast<std::uint32_t>(++count);
            regions.first.push_back(run_start[k]);
            regions.start.push_back(0);
        } else {
            run_region[k] = run_region[parent[k]];
        }
    }
    for (std::size_t k = 0; k < runs; ++k) regions.start[run_region[k]] += run_start[k + 1] - run_start[k];
    for (std::size_t r = 1; r < regions.start.size(); ++r) regions.start[r] += regions.start[r - 1];

    // Each region's runs in scan order.
    std::vector<std::uint32_t> first_run(static_cast<std::size_t>(count) + 2, 0);
    for (std::size_t k = 0; k < runs; ++k) ++first_run[run_region[k] + 1];
    for (std::size_t r = 1; r < first_run.size(); ++r) first_run[r] += first_run[r - 1];
    std::vector<std::uint32_t> by_region(runs);
    {
        std::vector<std::uint32_t> next(first_run.begin(), first_run.end() - 1);
        for (std::size_t k = 0; k < runs; ++k) by_region[next[run_region[k]]++] = static_cast<std::uint32_t>(k);
    }

    // The runs are counted into the histograms and sums on a thread of
    // their own while the neighbour tables are built (finish_run_counting
    // waits for it); where no thread can be had, here.
    m_runs.region = std::move(run_region);
    m_bRegionRuns = true;
    auto counting = std::make_unique<RunCounting>();
    counting->by_region = std::move(by_region);
    counting->first_run = std::move(first_run);
    counting->count = count;
    counting->limit = count + 1;
    m_runCounting = std::move(counting);
    RunCounting& runs_of = *m_runCounting;
    try {
        runs_of.thread = std::thread([this, &runs_of] { count_runs(runs_of.sink, 1, true); });
    } catch (const std::system_error&) {
        count_runs(runs_of.sink, 1, false);
    }
    return count;
}

// Counts each region's runs into its histogram and sums, region by region
// from `first`, as label_by_runs left them, into `sink`; the sums of a
// region that whole numbers do not give exactly are left for
// finish_run_counting, which adds them up in fill order once the counting
// is done. With `shared`, the regions are taken a step at a time under the
// limit that finish_run_counting may lower; without, up to the last.
void Contour::count_runs(CountSink& sink, int first, bool shared) {
    RunCounting& runs_of = *m_runCounting;
    const std::vector<std::uint32_t>& run_start = m_runs.start;
    const std::vector<std::uint32_t>& by_region = runs_of.by_region;
    const std::vector<std::uint32_t>& first_run = runs_of.first_run;
    const std::size_t runs = by_region.size();
    const int count = runs_of.count;
    try {
        const bool colour = image->color == 1;
        const std::size_t channels = colour ? 3 : 1;
        constexpr std::uint32_t kRunsAhead = 16;
        // Neighbouring pixels go to count tables in turn (two from the
        // picture, four from bytes), so that a run of one value does not wait
        // on its own last count; each region's bins are gathered between the
        // lowest and highest it used, in ascending order.
        constexpr std::size_t kTables = 4;
        const std::size_t table = sink.bin_count.size();
        std::uint32_t* counts[kTables] = {sink.bin_count.data()};
        std::vector<std::uint32_t> more_counts((kTables - 1) * table, 0);
        for (std::size_t t = 1; t < kTables; ++t) counts[t] = more_counts.data() + (t - 1) * table;
        // Whole samples from 0 to 2^24, added up exactly as integers.
        std::uint64_t sums[3];
        bool whole;
        int low[3], high[3];
        // The pixels [from, end) of a run, with a fixed number of channels.
        auto count_run = [&](auto channel_count, std::size_t from, std::size_t end) {
            constexpr std::size_t kChannels = decltype(channel_count)::value;
            for (std::size_t at = from; at < end; ++at) {
                const float* in = samples_at(*image, m_pRegionSamples, at, kChannels);
                std::uint32_t* count_of = counts[at & 1];
                for (std::size_t c = 0; c < kChannels; ++c) {
                    const float value = in[c];
                    int bin = static_cast<int>(value);
                    if (static_cast<unsigned>(bin) < 256u && static_cast<float>(bin) == value) {
                        sums[c] += static_cast<unsigned>(bin);
                    } else {
                        bin = histogram_bin(value);
                        const bool whole_value = value >= 0.0f && value <= 16777216.0f &&
                                                 static_cast<float>(static_cast<std::uint32_t>(value)) == value;
                        whole = whole && whole_value;
                        sums[c] += whole_value ? static_cast<std::uint32_t>(value) : 0u;
                    }
                    ++count_of[1 + 256 * c + static_cast<unsigned>(bin)];
                    low[c] = std::min(low[c], bin);
                    high[c] = std::max(high[c], bin);
                }
            }
        };
        // The bytes of a region, with a fixed number of channels. Sums and
        // bounds are kept in locals: the counts could otherwise be taken to
        // overwrite them, and each would go through memory at every pixel.
        auto count_bytes = [&](auto channel_count, const std::uint8_t* in, std::size_t size) {
            constexpr std::size_t kChannels = decltype(channel_count)::value;
            std::uint64_t sum[kChannels] = {};
            unsigned least[kChannels], most[kChannels] = {};
            std::fill(least, least + kChannels, 255u);
            std::uint32_t* const count_of[kTables] = {counts[0], counts[1], counts[2], counts[3]};
            static_assert(kTables == 4);
            std::uint32_t* const t0 = counts[0] + 1;
            std::uint32_t* const t1 = counts[1] + 1;
            std::uint32_t* const t2 = counts[2] + 1;
            std::uint32_t* const t3 = counts[3] + 1;
            // Four pixels a step, one to each table.
            std::size_t i = 0;
            for (; i + 4 <= size; i += 4, in += 4 * kChannels)
                for (std::size_t c = 0; c < kChannels; ++c) {
                    const unsigned b0 = in[c], b1 = in[kChannels + c], b2 = in[2 * kChannels + c], b3 = in[3 * kChannels + c];
                    ++t0[256 * c + b0];
                    ++t1[256 * c + b1];
                    ++t2[256 * c + b2];
                    ++t3[256 * c + b3];
                    sum[c] += (b0 + b1) + (b2 + b3);
                    least[c] = std::min(least[c], std::min(std::min(b0, b1), std::min(b2, b3)));
                    most[c] = std::max(most[c], std::max(std::max(b0, b1), std::max(b2, b3)));
                }
            for (; i < size; ++i, in += kChannels)
                for (std::size_t c = 0; c < kChannels; ++c) {
                    const unsigned bin = in[c];
                    sum[c] += bin;
                    ++count_of[i % kTables][1 + 256 * c + bin];
                    least[c] = std::min(least[c], bin);
                    most[c] = std::max(most[c], bin);
                }
            for (std::size_t c = 0; c < kChannels && size > 0; ++c) {
                sums[c] += sum[c];
                low[c] = std::min(low[c], static_cast<int>(least[c]));
                high[c] = std::max(high[c], static_cast<int>(most[c]));
            }
        };
        // Region r from the picture, run by run. Its runs lie on rows apart,
        // each on samples no other region reads: the samples of runs a few
        // ahead are asked for now, so that they are in cache when their turn
        // comes.
        auto count_from_picture = [&](int r) {
            if (picture_bytes) {
                // Bytes already: each run is counted where it lies.
                for (std::uint32_t i = first_run[static_cast<std::size_t>(r)];
                     i < first_run[static_cast<std::size_t>(r) + 1]; ++i) {
                    const std::uint32_t k = by_region[i];
                    const std::uint8_t* in = picture_bytes + channels * run_start[k];
                    const std::size_t length = run_start[k + 1] - run_start[k];
                    if (colour) count_bytes(std::integral_constant<std::size_t, 3>{}, in, length);
                    else count_bytes(std::integral_constant<std::size_t, 1>{}, in, length);
                }
                return;
            }
            for (std::uint32_t i = first_run[static_cast<std::size_t>(r)]; i < first_run[static_cast<std::size_t>(r) + 1];
                 ++i) {
                if (m_pRegionSamples && i + kRunsAhead < runs) {
                    const float* ahead = m_pRegionSamples + channels * run_start[by_region[i + kRunsAhead]];
                    __builtin_prefetch(ahead);
                    __builtin_prefetch(ahead + 16);
                }
                const std::uint32_t k = by_region[i];
                if (colour) count_run(std::integral_constant<std::size_t, 3>{}, run_start[k], run_start[k + 1]);
                else count_run(std::integral_constant<std::size_t, 1>{}, run_start[k], run_start[k + 1]);
            }
        };
        // Region r, counted, gets its histogram and means; sums whole
        // numbers do not give exactly are left to be added up in fill order.
        auto close = [&](int r) {
            for (std::size_t c = 0; c < channels; ++c)
                for (int bin = low[c]; bin <= high[c]; ++bin) {
                    const std::size_t k = 1 + 256 * c + static_cast<std::size_t>(bin);
                    for (std::size_t t = 1; t < kTables; ++t) {
                        counts[0][k] += counts[t][k];
                        counts[t][k] = 0;
                    }
                    if (counts[0][k]) sink.counted.push_back(static_cast<std::uint16_t>(k));
                }
            constexpr std::uint64_t kExact = std::uint64_t{1} << 24;
            whole = whole && sums[0] <= kExact && sums[1] <= kExact && sums[2] <= kExact;
            if (whole) {
                for (int c = 0; c < 3; ++c) sink.sum[c] = static_cast<float>(sums[c]);
            } else {
                sink.sum_again.push_back(r);
            }
            close_counted(colour, static_cast<std::size_t>(regions.size(r)), sink.bin_count, sink.counted, sink.sum,
                          sink.histograms, sink.mean);
            sums[0] = sums[1] = sums[2] = 0;
            whole = true;
            low[0] = low[1] = low[2] = 256;
            high[0] = high[1] = high[2] = -1;
        };
        sums[0] = sums[1] = sums[2] = 0;
        whole = true;
        low[0] = low[1] = low[2] = 256;
        high[0] = high[1] = high[2] = -1;

        // Reading a run of each row a region spans waits on memory at every
        // run. So regions go in batches of consecutive numbers, small enough
        // together for the cache: one pass in scan order over the rows the
        // batch spans copies the samples of its regions, as bytes, into a
        // block in region order, and each region is counted from there. A
        // region too large or too tall for a batch, or whose samples are
        // not all bytes, is counted from the picture.
        constexpr std::size_t kBatchPixels = std::size_t{1} << 18;
        constexpr std::uint32_t kTallest = 64;
        varnex::PixelBlock<std::uint8_t> batch;
        const bool batched = batch.allocate(channels * kBatchPixels);
        const std::vector<std::uint32_t>& run_region = m_runs.region;
        const std::vector<std::uint32_t>& row_first = m_runs.row_first;
        const auto width = static_cast<std::uint32_t>(map_cols);
        auto first_row = [&](int r) { return regions.first[static_cast<std::size_t>(r) - 1] / width; };
        auto last_row = [&](int r) {
            return run_start[by_region[first_run[static_cast<std::size_t>(r) + 1] - 1]] / width;
        };
        auto fits = [&](int r) {
            return batched && regions.size(r) <= kBatchPixels && last_row(r) - first_row(r) < kTallest;
        };
        std::vector<std::uint32_t> offset;     // per region of the batch: where its next bytes go
        std::vector<std::uint8_t> not_bytes;  // per region of the batch: a sample is not a byte
        for (int r = first; r <= count;) {
            // A step: region r alone when it does not fit in a batch, else
            // the batch from r, below the limit.
            int end = r;
            std::uint32_t pixels = 0, bottom = 0;
            const bool alone = !fits(r);
            {
                std::unique_lock<std::mutex> lock(runs_of.claim, std::defer_lock);
                if (shared) lock.lock();
                const int limit = shared ? runs_of.limit : count + 1;
                if (r >= limit) break;
                if (alone) {
                    end = r + 1;
                } else {
                    bottom = first_row(r);
                    offset.clear();
                    while (end < limit && end <= count && fits(end) && pixels + regions.size(end) <= kBatchPixels) {
                        offset.push_back(pixels);
                        pixels += static_cast<std::uint32_t>(regions.size(end));
                        bottom = std::max(bottom, last_row(end));
                        ++end;
                    }
                }
                if (shared) runs_of.next = end;
            }
            if (alone) {
                count_from_picture(r);
                close(r);
                r = end;
                continue;
            }
            not_bytes.assign(offset.size(), 0);
            const auto lowest = static_cast<std::uint32_t>(r), beyond = static_cast<std::uint32_t>(end);
            for (std::uint32_t k = row_first[first_row(r)]; k < row_first[bottom + 1]; ++k) {
                const std::uint32_t region = run_region[k];
                if (region < lowest || region >= beyond) continue;
                const std::uint32_t length = run_start[k + 1] - run_start[k];
                std::uint32_t& at = offset[region - lowest];
                if (picture_bytes)
                    std::memcpy(batch.data() + channels * at, picture_bytes + channels * run_start[k], channels * length);
                else if (!samples_to_bytes_exactly(samples_at(*image, m_pRegionSamples, run_start[k], channels), channels * length,
                                              batch.data() + channels * at))
                    not_bytes[region - lowest] = 1;
                at += length;
            }
            const std::uint8_t* in = batch.data();
            for (int q = r; q < end; ++q) {
                const std::size_t size = regions.size(q);
                if (not_bytes[static_cast<std::size_t>(q - r)]) count_from_picture(q);
                else if (colour) count_bytes(std::integral_constant<std::size_t, 3>{}, in, size);
                else count_bytes(std::integral_constant<std::size_t, 1>{}, in, size);
                in += channels * size;
                close(q);
            }
            r = end;
        }
    } catch (const std::bad_alloc&) {
        sink.failed = true;
    }
}

// Waits for count_runs, then adds up in fill order the sums it left: the
// region is filled again over the runs, and its means are those the fill's
// sums give. Throws bad_alloc when memory ran out on the way.
void Contour::finish_run_counting() {
    if (!m_runCounting) return;
    RunCounting& runs_of = *m_runCounting;
    // While the thread still counts, the regions it has not taken are
    // shared: the last ones, about half their pixels, are counted here.
    CountSink last;
    if (runs_of.thread.joinable()) {
        int from = runs_of.count + 1;
        {
            std::lock_guard<std::mutex> lock(runs_of.claim);
            std::size_t left = 0;
            for (int r = runs_of.next; r <= runs_of.count; ++r) left += regions.size(r);
            std::size_t mine = 0;
            while (from > runs_of.next && 2 * (mine + regions.size(from - 1)) <= left) mine += regions.size(--from);
            runs_of.limit = from;
        }
        if (from <= runs_of.count) count_runs(last, from, false);
        runs_of.thread.join();
    }
    if (runs_of.sink.failed || last.failed) {
        m_runCounting.reset();
        throw std::bad_alloc();
    }
    // The thread's regions, then these.
    CountSink& counted = runs_of.sink;
    histograms = std::move(counted.histograms);
    const std::uint32_t base = static_cast<std::uint32_t>(histograms.bin.size());
    histograms.bin.insert(histograms.bin.end(), last.histograms.bin.begin(), last.histograms.bin.end());
    histograms.value.insert(histograms.value.end(), last.histograms.value.begin(), last.histograms.value.end());
    for (std::size_t i = 1; i < last.histograms.start.size(); ++i) histograms.start.push_back(base + last.histograms.start[i]);
    for (int c = 0; c < 3; ++c) {
        m_regionMean[c] = std::move(counted.mean[c]);
        m_regionMean[c].insert(m_regionMean[c].end(), last.mean[c].begin(), last.mean[c].end());
    }
    std::vector<int> sum_again = std::move(counted.sum_again);
    sum_again.insert(sum_again.end(), last.sum_again.begin(), last.sum_again.end());
    m_runCounting.reset();
    const bool colour = image->color == 1;
    // Filling over the runs looks each row up; when the regions to be
    // filled again hold many of the pixels (samples with fractions, say), a
    // label map made for them is quicker, where it can be had.
    struct MadeLabels {
        Contour& c;
        bool made = false;
        ~MadeLabels() {
            if (!made) return;
            free_int_map(c.label_map);
            c.label_map = nullptr;
        }
    } made_labels{*this};
    std::size_t again = 0;
    for (int r : sum_again) again += regions.size(r);
    if (!label_map && m_bRegionRuns && again > static_cast<std::size_t>(map_cols) * static_cast<std::size_t>(map_rows) / 8) {
        label_map = labels_from_runs();
        made_labels.made = label_map != nullptr;
    }
    std::vector<std::uint32_t> reached, active;
    for (int r : sum_again) {
        float sum0 = 0.0f, sum1 = 0.0f, sum2 = 0.0f;
        visit_in_fill_order(r, reached, active, [&](std::size_t at) {
            sum0 += sample_at(at, 0);
            if (colour) {
                sum1 += sample_at(at, 1);
                sum2 += sample_at(at, 2);
            }
            return false;
        });
        const float size = static_cast<float>(regions.size(r));
        const std::size_t at = static_cast<std::size_t>(r) - 1;
        m_regionMean[0][at] = sum0 / size;
        m_regionMean[1][at] = colour ? sum1 / size : 0.0f;
        m_regionMean[2][at] = colour ? sum2 / size : 0.0f;
    }
}

// Channel `channel` of pixel `at` (an index in scan order), from the
// picture's bytes or its floats.
float Contour::sample_at(std::size_t at, std::size_t channel) const {
    const std::size_t channels = image->color == 1 ? 3 : 1;
    if (picture_bytes) return picture_bytes[channels * at + channel];
    return samples_at(*image, m_pRegionSamples, at, channels)[channel];
}

// Stops waiting for count_runs, dropping what it counted.
void Contour::abandon_run_counting() noexcept {
    if (!m_runCounting) return;
    if (m_runCounting->thread.joinable()) m_runCounting->thread.join();
    m_runCounting.reset();
}

// Divides the region map into regions. A float map is filled where it is.
// Where no pixel lists are kept, a bitmap's colours are cut into runs (a
// session's map was read that way already) and divided by runs, which then
// stand in for the label map. Otherwise they go into the label map first,
// one word a pixel (a painting session's map was read that way already),
// and are filled. Nothing else of the map is read after. When the bitmap
// is not to be kept (m_bDropSourceWhenRead), it goes before the pixel block
// is taken, so the two never take memory at once. Returns the number of
// regions, -1 when the label map or pixel block cannot be had.
int Contour::label_regions() {
    const int width = map_cols, height = map_rows;
    const std::size_t pixel_count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (pixel_count > UINT32_MAX) return -1;
    // The picture's rows in one block in order are read by pixel index.
    m_pRegionSamples = image->data ? image->data[0] : nullptr;
    const std::size_t per_pixel = image->color == 1 ? 3 : 1;
    for (int y = 1; y < height && m_pRegionSamples; ++y)
        if (image->data[y] != image->data[0] + static_cast<std::size_t>(y) * per_pixel * static_cast<std::size_t>(width))
            m_pRegionSamples = nullptr;
    const bool words = std::exchange(m_bColoursInLabelMap, false) && label_map;
    // The colour words of the bitmap's row y; an index beyond the colour
    // table reads as black.
    std::uint32_t table[256] = {};
    if (m_regionBitmap)
        for (int k = 0; k < 256 && k < m_regionBitmap->color_count; ++k) table[k] = colour_word(m_regionBitmap->info + 40 + 4 * k);
    auto bitmap_words = [&](int y, std::uint32_t* out) {
        const CDib& dib = *m_regionBitmap;
        const std::uint8_t* in = dib.bits + static_cast<std::size_t>(height - 1 - y) * dib.row_bytes;
        if (dib.pixel_bytes == 1) {
            for (int x = 0; x < width; ++x) out[x] = table[in[x]];
        } else {
            for (int x = 0; x < width; ++x, in += 3) out[x] = colour_word(in);
        }
    };

    // Where no pixel lists are kept, a map of colours is divided by runs,
    // which then stand in for the label map.
    if (!m_bListPixels && (m_bColourRuns || m_regionBitmap || words)) {
        if (!m_bColourRuns) {
            m_runs.clear();
            std::vector<std::uint32_t> row_words(static_cast<std::size_t>(width));
            m_runs.row_first.reserve(static_cast<std::size_t>(height) + 1);
            for (int y = 0; y < height; ++y) {
                const std::uint32_t* row = row_words.data();
                if (words) row = reinterpret_cast<const std::uint32_t*>(label_map[y]);
                else bitmap_words(y, row_words.data());
                m_runs.row_first.push_back(static_cast<std::uint32_t>(m_runs.region.size()));
                m_runs.add_row(static_cast<std::uint32_t>(y) * static_cast<std::uint32_t>(width), row, static_cast<std::size_t>(width));
            }
            m_runs.row_first.push_back(static_cast<std::uint32_t>(m_runs.region.size()));
            m_runs.start.push_back(static_cast<std::uint32_t>(pixel_count));
            if (m_bDropSourceWhenRead) m_regionBitmap.reset();
        }
        free_int_map(label_map);
        label_map = nullptr;
        m_bColourRuns = false;
        regions.index.release();
        return label_by_runs();
    }

    if (!words) {
        free_int_map(label_map);
        label_map = make_int_map(height, width);
    }
    if (!label_map) return -1;
    m_runs.clear();
    m_bRegionRuns = false;
    // Without a pixel block the fill lists its pixels in a ring.
    auto take_pixel_block = [&] {
        if (m_bListPixels) return regions.index.allocate(pixel_count);
        regions.index.release();
        return true;
    };
    int* labels = label_map[0];
    if (!m_regionBitmap && !words) {
        if (!take_pixel_block()) return -1;
        return fill_regions(FloatMap{*region_map, region_map->color == 1 ? 3 : 1, labels});
    }

    if (!words) {
        for (int y = 0; y < height; ++y)
            bitmap_words(y, reinterpret_cast<std::uint32_t*>(labels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width)));
        if (m_bDropSourceWhenRead) m_regionBitmap.reset();
    }
    // Each visited pixel keeps its region with the top bit set until every
    // pixel is reached.
    if (!take_pixel_block()) return -1;
    const int count = fill_regions(KeyedMap{labels});
    for (std::size_t at = 0; at < pixel_count; ++at) labels[at] &= 0x7FFFFFFF;
    return count;
}

// Empty histogram and mean tables, and the bin counts of the region being
// filled all zero.
void Contour::start_region_tables() {
    histograms = RegionHistograms();
    histograms.start.assign(1, 0);
    m_regionMean[0].clear();
    m_regionMean[1].clear();
    m_regionMean[2].clear();
    m_binCount.assign(769, 0);
    m_countedBins.clear();
    m_regionSum[0] = m_regionSum[1] = m_regionSum[2] = 0.0f;
}

// Counts `count` pixels of the region being closed (their indices at
// `pixel`, in fill order) into its bin counts and sums. The samples are
// independent loads, so many are on their way from memory at once.
void Contour::count_pixels(const std::uint32_t* pixel, std::size_t count) {
    const bool colour = image->color == 1;
    const float* samples = m_pRegionSamples;
    const std::size_t channels = colour ? 3 : 1;
    std::uint32_t* bin_counts = m_binCount.data();
    auto count_sample = [&](int k) {
        if (bin_counts[k]++ == 0) m_countedBins.push_back(static_cast<std::uint16_t>(k));
    };
    float sum0 = m_regionSum[0], sum1 = m_regionSum[1], sum2 = m_regionSum[2];
    for (std::size_t i = 0; i < count; ++i) {
        float bytes[3];
        const float* in = bytes;
        if (picture_bytes) {
            for (std::size_t c = 0; c < channels; ++c) bytes[c] = picture_bytes[channels * pixel[i] + c];
        } else {
            in = samples_at(*image, samples, pixel[i], channels);
        }
        if (colour) {
            const float red = in[0], green = in[1], blue = in[2];
            count_sample(1 + histogram_bin(red));
            count_sample(257 + histogram_bin(green));
            count_sample(513 + histogram_bin(blue));
            sum0 += red;
            sum1 += green;
            sum2 += blue;
        } else {
            const float value = in[0];
            count_sample(1 + histogram_bin(value));
            sum0 += value;
        }
    }
    m_regionSum[0] = sum0;
    m_regionSum[1] = sum1;
    m_regionSum[2] = sum2;
}

// The region being closed, all its `size` pixels counted, gets its
// histogram (its non-zero bins in ascending order, each divided by the
// region's size) and its means, the sums added up in fill order.
void Contour::close_region(std::size_t size) {
    close_counted(image->color == 1, size, m_binCount, m_countedBins, m_regionSum, histograms, m_regionMean);
}

// What close_region does, with the counts and sums of the region and the
// tables it goes to given.
void Contour::close_counted(bool colour, std::size_t size, std::vector<std::uint32_t>& counts,
                            std::vector<std::uint16_t>& counted, float sum[3], RegionHistograms& to,
                            std::vector<float> means[3]) {
    // Counting runs gathers the bins in order already; a fill, as it meets them.
    if (!std::is_sorted(counted.begin(), counted.end())) std::sort(counted.begin(), counted.end());
    for (std::uint16_t k : counted) {
        to.bin.push_back(k);
        to.value.push_back(bin_count(counts[k]) / static_cast<float>(size));
        counts[k] = 0;
    }
    counted.clear();
    to.start.push_back(static_cast<std::uint32_t>(to.bin.size()));
    means[0].push_back(sum[0] / static_cast<float>(size));
    means[1].push_back(colour ? sum[1] / static_cast<float>(size) : 0.0f);
    means[2].push_back(colour ? sum[2] / static_cast<float>(size) : 0.0f);
    sum[0] = sum[1] = sum[2] = 0.0f;
}

// The means of the regions, from the sums of the fill.
void Contour::keep_region_means(int n) {
    float** means[3] = {&mean0, &mean1, &mean2};
    for (int c = 0; c < 3; ++c) {
        *means[c] = new float[static_cast<std::size_t>(n)];
        std::copy(m_regionMean[c].begin(), m_regionMean[c].end(), *means[c]);
        m_regionMean[c] = {};
    }
    pack_means(n);
    m_binCount = {};
    m_countedBins = {};
}

// Whether the tables of n regions (neighbour tables, marks, the cut loop's
// memory per region, the run's graph) fit in the memory allowed; the
// pixels, histograms and means are in place already.
bool Contour::region_tables_fit(int n) const {
    if (region_memory_limit > 0.0) return static_cast<double>(n) * kBytesPerRegion <= region_memory_limit;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return true;
    const double memory = static_cast<double>(pages) * static_cast<double>(page_size);
    return static_cast<double>(n) * kBytesPerRegion < memory;
}

// Neighbour tables from the interior pixels, in scan order: region r's
// entries in `neighbours` are the regions touching it in the order first
// met, those in `lower_neighbours` the ones among them numbered below r.
// Two scans meet the same pairs (a region's repeats of the pair met last
// dropped at once): the first counts them per region, the second puts them
// in place; then each region's later repeats of a pair are dropped. Each
// scan covers the rows in two bands, on two threads.
void Contour::build_neighbour_tables(int n) {
    const int width = map_cols;
    const int* labels = label_map ? label_map[0] : nullptr;
    RegionTable& all = neighbours;
    // The interior rows in two bands, scanned at once on two threads where
    // there are two. A band starts with nothing seen, so the second may meet
    // again at its start a pair that the first met last for that region:
    // such a repeat comes after the first meeting in the region's entries,
    // which the last step drops, so the tables are those of one scan.
    struct Band {
        int first_row, end_row;
        std::vector<int> last_seen, count;
        // The pairs met, in order (a in the high half, b in the low), in
        // chunks, which a map of tiny regions fills by the million.
        std::vector<std::vector<std::uint64_t>> met;
        void add(int a, int b) {
            constexpr std::size_t kChunk = std::size_t{1} << 16;
            if (met.empty() || met.back().size() == kChunk) {
                met.emplace_back();
                met.back().reserve(kChunk);
            }
            met.back().push_back(static_cast<std::uint64_t>(a) << 32 | static_cast<std::uint32_t>(b));
        }
        bool failed = false;             // memory ran out on the band's thread
    };
    const int middle = 1 + (map_rows - 2) / 2;
    Band bands[2] = {{1, middle, {}, {}, {}}, {middle, map_rows - 1, {}, {}, {}}};
    // Each region remembers the last four regions it met, most recent
    // first: along a run the regions above and below alternate with those
    // at its ends, and a pair met again soon is not met twice. The first
    // meeting of a pair always counts, so the tables are the same.
    constexpr std::size_t kRecent = 4;
    for (Band& band : bands) {
        band.last_seen.assign(kRecent * (static_cast<std::size_t>(n) + 1), 0);
        band.count.assign(static_cast<std::size_t>(n) + 1, 0);
    }
    // True when region a met b lately; else b becomes a's latest meeting.
    auto met_lately = [](std::vector<int>& last_seen, int a, int b) {
        int* recent = last_seen.data() + kRecent * static_cast<std::size_t>(a);
        if (recent[0] == b || recent[1] == b || recent[2] == b || recent[3] == b) return true;
        recent[3] = recent[2];
        recent[2] = recent[1];
        recent[1] = recent[0];
        recent[0] = b;
        return false;
    };
    auto scan = [&](Band& band, auto&& met) {
        std::vector<int>& last_seen = band.last_seen;
        std::fill(last_seen.begin(), last_seen.end(), 0);
        auto meet = [&](const int* row, int x) {
            const int a = row[x];
            const int around[4] = {row[x - 1], row[x + 1], row[x - width], row[x + width]};
            for (int b : around)
                if (a != b && !met_lately(last_seen, a, b)) met(a, b);
        };
        // Most pixels have their region all around: four at a time are
        // compared with their neighbours, and only those that touch another
        // region are met, in order.
        for (int y = band.first_row; y < band.end_row; ++y) {
            const int* row = labels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
            int x = 1;
#if defined(__SSE2__)
            const int* up = row - width;
            const int* down = row + width;
            auto load = [](const int* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
            for (; x + 4 <= map_cols - 1; x += 4) {
                const __m128i centre = load(row + x);
                const __m128i same =
                    _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi32(centre, load(row + x - 1)),
                                                _mm_cmpeq_epi32(centre, load(row + x + 1))),
                                  _mm_and_si128(_mm_cmpeq_epi32(centre, load(up + x)),
                                                _mm_cmpeq_epi32(centre, load(down + x))));
                unsigned differ = ~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(same))) & 0xFu;
                while (differ) {
                    meet(row, x + std::countr_zero(differ));
                    differ &= differ - 1;
                }
            }
#endif
            for (; x <= map_cols - 2; ++x) meet(row, x);
        }
    };
    // A map divided by runs is scanned a run at a time: what a run's
    // interior pixels touch changes only where it begins or ends and where
    // a run above or below it begins, so those pixels alone are met, each
    // with its four neighbours in the same order. Pixels between them
    // would only meet again what was met before, which the last step drops.
    auto scan_runs = [&](Band& band, auto&& met) {
        std::vector<int>& last_seen = band.last_seen;
        std::fill(last_seen.begin(), last_seen.end(), 0);
        auto meet = [&](int a, std::uint32_t region) {
            const int b = static_cast<int>(region);
            if (a != b && !met_lately(last_seen, a, b)) met(a, b);
        };
        const std::uint32_t* start = m_runs.start.data();
        const std::uint32_t* region = m_runs.region.data();
        const std::uint32_t* row_first = m_runs.row_first.data();
        const std::uint32_t right_edge = static_cast<std::uint32_t>(width - 1);
        for (int y = band.first_row; y < band.end_row; ++y) {
            const std::uint32_t base = static_cast<std::uint32_t>(y) * static_cast<std::uint32_t>(width);
            const std::uint32_t up_base = base - static_cast<std::uint32_t>(width);
            const std::uint32_t down_base = base + static_cast<std::uint32_t>(width);
            std::uint32_t up = row_first[y - 1], down = row_first[y + 1];
            for (std::uint32_t k = row_first[y]; k < row_first[y + 1]; ++k) {
                const std::uint32_t s = start[k] - base, e = start[k + 1] - base;
                const std::uint32_t end = std::min(e, right_edge);
                std::uint32_t x = std::max<std::uint32_t>(s, 1);
                if (x >= end) continue;
                const int a = static_cast<int>(region[k]);
                while (start[up + 1] - up_base <= x) ++up;
                while (start[down + 1] - down_base <= x) ++down;
                // The pixel that has the next run on its right, if inside.
                const std::uint32_t last = e <= right_edge ? e - 1 : end;
                for (;;) {
                    if (x == s) meet(a, region[k - 1]);
                    if (x == last) meet(a, region[k + 1]);
                    meet(a, region[up]);
                    meet(a, region[down]);
                    const std::uint32_t up_end = start[up + 1] - up_base, down_end = start[down + 1] - down_base;
                    std::uint32_t next = std::min({end, up_end, down_end});
                    if (last > x) next = std::min(next, last);
                    if (next >= end) break;
                    x = next;
                    if (x >= up_end) ++up;
                    if (x >= down_end) ++down;
                }
            }
        }
    };
    // Both bands, the second on a thread of its own when one can be had.
    // While runs are being counted on a thread, that thread has the other
    // core: both bands are scanned here then.
    const bool alone = m_runCounting != nullptr;
    auto both = [&](auto&& job) {
        std::thread second;
        try {
            if (!alone)
                second = std::thread([&] {
                    try {
                        job(bands[1]);
                    } catch (const std::bad_alloc&) {
                        bands[1].failed = true;
                    }
                });
        } catch (const std::system_error&) {
        }
        struct Joined {
            std::thread& t;
            ~Joined() {
                if (t.joinable()) t.join();
            }
        } joined{second};
        job(bands[0]);
        if (second.joinable()) second.join();
        else job(bands[1]);
        if (bands[1].failed) throw std::bad_alloc();
    };
    const bool by_runs = m_bRegionRuns;
    auto scan_band = [&](Band& band, auto&& met) {
        if (by_runs) scan_runs(band, met);
        else scan(band, met);
    };
    // One scan a band: the pairs it meets, in order, and how many of them
    // each region has; then each band's pairs of a region go after the
    // first band's.
    both([&](Band& band) {
        scan_band(band, [&](int a, int b) {
            ++band.count[static_cast<std::size_t>(a)];
            band.add(a, b);
        });
    });
    all.start.assign(static_cast<std::size_t>(n) + 2, 0);
    for (int r = 1; r <= n; ++r) {
        const std::size_t at = static_cast<std::size_t>(r);
        all.start[at + 1] = all.start[at] + bands[0].count[at] + bands[1].count[at];
        // From here on, count holds where the band's next entry of r goes.
        const int second_from = all.start[at] + bands[0].count[at];
        bands[0].count[at] = all.start[at];
        bands[1].count[at] = second_from;
    }
    all.region.assign(static_cast<std::size_t>(all.start[static_cast<std::size_t>(n) + 1]), 0);
    for (Band& band : bands) {
        for (std::vector<std::uint64_t>& chunk : band.met) {
            for (const std::uint64_t pair : chunk)
                all.region[static_cast<std::size_t>(band.count[static_cast<std::size_t>(pair >> 32)]++)] =
                    static_cast<int>(static_cast<std::uint32_t>(pair));
            chunk = {};
        }
        band.met = {};
    }
    for (Band& band : bands) band.count = {};
    // Each region's first meeting of a pair stays, in place.
    std::vector<int>& stamp = bands[0].last_seen;
    std::fill(stamp.begin(), stamp.end(), 0);
    RegionTable& lower = lower_neighbours;
    lower.start.assign(static_cast<std::size_t>(n) + 2, 0);
    lower.region.clear();
    int kept = 0;
    for (int a = 1; a <= n; ++a) {
        const int from = all.start[static_cast<std::size_t>(a)], to = all.start[static_cast<std::size_t>(a) + 1];
        all.start[static_cast<std::size_t>(a)] = kept;
        lower.start[static_cast<std::size_t>(a)] = static_cast<int>(lower.region.size());
        for (int e = from; e < to; ++e) {
            const int b = all.region[static_cast<std::size_t>(e)];
            if (stamp[static_cast<std::size_t>(b)] == a) continue;
            stamp[static_cast<std::size_t>(b)] = a;
            all.region[static_cast<std::size_t>(kept++)] = b;
            if (b < a) lower.region.push_back(b);
        }
    }
    all.start[static_cast<std::size_t>(n) + 1] = kept;
    all.region.resize(static_cast<std::size_t>(kept));
    all.region.shrink_to_fit();
    lower.start[static_cast<std::size_t>(n) + 1] = static_cast<int>(lower.region.size());
}

float Contour::RegionHistograms::at(int r, int k) const {
    if (r < 1 || static_cast<std::size_t>(r) >= start.size()) return 0.0f;
    const auto first = bin.begin() + start[static_cast<std::size_t>(r) - 1];
    const auto last = bin.begin() + start[static_cast<std::size_t>(r)];
    const auto found = std::lower_bound(first, last, static_cast<std::uint16_t>(k));
    return found != last && *found == k ? value[static_cast<std::size_t>(found - bin.begin())] : 0.0f;
}

float Contour::HistogramDistance(int a, int b) {
    const int n = regions.GetCount();
    if (a < 1 || a > n || b < 1 || b > n) return 0.0f;
    // Only bins where either histogram is non-zero contribute; they are
    // visited in ascending order, so the float sum is the same as over all
    // 768 bins.
    const std::uint16_t* bins = histograms.bin.data();
    const float* values = histograms.value.data();
    std::size_t i = histograms.start[static_cast<std::size_t>(a) - 1], j = histograms.start[static_cast<std::size_t>(b) - 1];
    const std::size_t i_end = histograms.start[static_cast<std::size_t>(a)], j_end = histograms.start[static_cast<std::size_t>(b)];
    float sum = 0.0f;
    while (i < i_end || j < j_end) {
        float h1 = 0.0f, h2 = 0.0f;
        if (j == j_end || (i < i_end && bins[i] < bins[j])) {
            h1 = values[i++];
        } else if (i == i_end || bins[j] < bins[i]) {
            h2 = values[j++];
        } else {
            h1 = values[i++];
            h2 = values[j++];
        }
        const float m = (h1 + h2) * 0.5f;
        if (m != 0.0f) {
            const float d = h1 - m;
            sum += d * d / m;
        }
    }
    return sum * 255;
}

// The region tables of the neighbours, kept until the run data goes.
void Contour::release_region_tables() {
    neighbours = RegionTable();
    lower_neighbours = RegionTable();
}

void Contour::ReleaseRegions() {
    abandon_run_counting();
    release_cut_tables();
    histograms = RegionHistograms();
    regions = RegionPixels();
    lower_neighbours = RegionTable();
    delete[] mean0;
    delete[] mean1;
    delete[] mean2;
    mean0 = mean1 = mean2 = nullptr;
    m_packed = {};
    m_colourOrder = {};
    for (std::vector<float>& sums : m_regionMean) sums = {};
    m_binCount = {};
    m_countedBins = {};
}
