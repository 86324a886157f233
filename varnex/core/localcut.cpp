// The localized graph cut and the data it owns: the marks, the seed map
// and the neighbour capacity cache; band growth from the seeded regions,
// one minimum cut per ring, the result image.
#include <varnex/contour.h>

#include "core/contour_p.h"

#include <kalvio/message.h>
#include <kalvio/trace.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using contour_detail::free_int_map;
using contour_detail::kLargestTerminal;
using contour_detail::make_int_map;

namespace {

// Largest neighbour capacity handed to the graph: far beyond any capacity a
// sensible parameter gives, and low enough that flows cannot overflow.
constexpr float kMaxCapacity = 1073741824.0f;

// A session's ring of at least this many nodes has its distances and
// capacities computed on two cores.
constexpr int kSharedRing = 256;

// The growing graph is made anew once its flow, which every cut adds to,
// passes this.
constexpr int kLargestFlow = std::numeric_limits<int>::max() / 4;


}  // namespace

// Capacity of the edge between region a and its lower neighbour at `entry`
// of the flat lower table, computed once per pair and parameter.
int Contour::neighbour_capacity(int a, int entry) {
    const int capacity = fill_capacity(a, entry);
    weight = m_lowerWeight[static_cast<std::size_t>(entry)];
    return capacity;
}

// The capacity of that edge, computed into the cache if it is not there;
// touches nothing else, so threads may fill the entries of different edges.
int Contour::fill_capacity(int a, int entry) {
    int& capacity = m_lowerCapacity[static_cast<std::size_t>(entry)];
    float& pair_weight = m_lowerWeight[static_cast<std::size_t>(entry)];
    if (capacity < 0) {
        const int b = lower_neighbours.region[static_cast<std::size_t>(entry)];
        const float chi = HistogramDistance(a, b);
        if (m_bHasInterior && m_dVariance > 0.0) {
            const double x = chi;
            pair_weight = static_cast<float>(std::exp(-x * x / (80.0 * m_dVariance)));
        } else {
            // Without a usable intensity spread only identical histograms
            // are tied together.
            pair_weight = chi == 0.0f ? 1.0f : 0.0f;
        }
        // A negative or non-finite parameter must not give a negative or
        // undefined capacity: it counts as 0.
        const float scale = std::isfinite(parameter) && parameter > 0.0f ? parameter : 0.0f;
        const float c = scale * pair_weight;
        capacity = c >= kMaxCapacity ? static_cast<int>(kMaxCapacity) : static_cast<int>(c);
    }
    return capacity;
}

// The per-region bookkeeping of the cut loop: the marks, the nearest-region
// indexes of both sides and the cache of neighbour capacities.
void Contour::prepare_run_tables(int n) {
    marks = new int[static_cast<std::size_t>(n) + 1]();
    m_sideCell.assign(static_cast<std::size_t>(n) + 1, -1);
    m_sideSlot.assign(static_cast<std::size_t>(n) + 1, 0);
    m_earlyCell.assign(static_cast<std::size_t>(n) + 1, -1);
    m_earlySlot.assign(static_cast<std::size_t>(n) + 1, 0);
    reset_side_indexes();
    m_fCapacityScale = parameter;
    build_upper_table(n);
    m_lowerCapacity.assign(lower_neighbours.region.size(), -1);
    m_lowerWeight.assign(lower_neighbours.region.size(), 0.0f);
    // New regions come with an empty seed byte map.
    m_appliedSeeds[0].clear();
    m_appliedSeeds[1].clear();
    m_seededKind.clear();
}

// The upper table: for each region b, the lower entries of higher regions
// that hold b.
void Contour::build_upper_table(int n) {
    std::vector<int> count(static_cast<std::size_t>(n) + 2, 0);
    for (int b : lower_neighbours.region) ++count[static_cast<std::size_t>(b)];
    m_upper.start.assign(static_cast<std::size_t>(n) + 2, 0);
    for (int r = 1; r <= n; ++r)
        m_upper.start[static_cast<std::size_t>(r) + 1] =
            m_upper.start[static_cast<std::size_t>(r)] + count[static_cast<std::size_t>(r)];
    m_upper.region.assign(lower_neighbours.region.size(), 0);
    m_upper.entry.assign(lower_neighbours.region.size(), 0);
    std::vector<int> next(m_upper.start.begin(), m_upper.start.end());
    for (int a = 1; a <= n; ++a)
        for (int e = lower_neighbours.start[static_cast<std::size_t>(a)]; e < lower_neighbours.start[static_cast<std::size_t>(a) + 1]; ++e) {
            const int slot = next[static_cast<std::size_t>(lower_neighbours.region[static_cast<std::size_t>(e)])]++;
            m_upper.region[static_cast<std::size_t>(slot)] = a;
            m_upper.entry[static_cast<std::size_t>(slot)] = e;
        }
}

void Contour::BuildGraph() {
    free_int_map(seed_map);
    seed_map = image ? make_int_map(image->height, image->width) : nullptr;
    KALVIO_TRACE("finish BuildGraph\n");
}

void Contour::LocalGraphCut() {
    finish_measuring();
    m_nCuts = 0;
    const int n = regions.GetCount();
    if (!label_map || !seed_map || !marks || n == 0) return;
    try {
        measure_picture();
        seed_regions(n);
        cut_rings(n);
        paint_result(n);
    } catch (const std::bad_alloc&) {
        delete graph;
        graph = nullptr;
        // A graph left half built leaves node positions behind.
        m_localPosition.clear();
        delete result;
        result = nullptr;
        AfxMessageBox("Not enough memory for " + std::to_string(n) + " regions of the region map " + path,
                      MB_ICONSTOP);
    }
    object_regions.RemoveAll();
    background_regions.RemoveAll();
    drop_labels();
}

bool Contour::cut_again(varnex::PixelBlock<std::uint8_t>& seed_kinds) {
    finish_measuring();
    m_nCuts = 0;
    const int n = regions.GetCount();
    if (!has_labels() || !marks || n == 0) return false;
    try {
        if (!m_bMeasured) measure_picture();
        const bool replay = can_replay();
        find_seeded_regions(n, seed_kinds);
        if (!replay || !replay_cut(n)) {
            clear_marks(n);
            mark_seeded_regions();
            cut_rings(n);
        }
    } catch (const std::bad_alloc&) {
        delete graph;
        graph = nullptr;
        m_localPosition.clear();
        m_lastCut.valid = false;
        // The seeded regions may be half found: the next cut finds them all.
        m_seededKind.clear();
        object_regions.RemoveAll();
        background_regions.RemoveAll();
        AfxMessageBox("Not enough memory for " + std::to_string(n) + " regions of the region map " + path,
                      MB_ICONSTOP);
        return false;
    }
    object_regions.RemoveAll();
    background_regions.RemoveAll();
    return true;
}

// Every region unlabelled again, both nearest-region indexes empty. The
// neighbour capacities of earlier cuts stay when the parameter they were
// scaled by did not change: they are computed the same way every time.
void Contour::clear_marks(int n) {
    std::fill(marks, marks + n + 1, 0);
    std::fill(m_sideCell.begin(), m_sideCell.end(), -1);
    std::fill(m_earlyCell.begin(), m_earlyCell.end(), -1);
    reset_side_indexes();
    if (!(parameter == m_fCapacityScale) || std::isnan(parameter)) {
        std::fill(m_lowerCapacity.begin(), m_lowerCapacity.end(), -1);
        m_fCapacityScale = parameter;
    }
}

// The regions find_seeded_regions listed take their sides.
void Contour::mark_seeded_regions() {
    for (int i = 1; i <= object_regions.GetCount(); ++i) set_mark(object_regions.GetAt(i), 1);
    for (int i = 1; i <= background_regions.GetCount(); ++i) set_mark(background_regions.GetAt(i), -1);
}

// The seeded regions in object_regions and background_regions, in region
// order, as seed_regions lists them; no region is marked. `seed_kinds`
// keeps the kinds of the seeds applied so far (m_appliedSeeds): when the
// seed lists only grew since, only the new seeds are applied and only the
// regions they fall in are looked at again.
void Contour::find_seeded_regions(int n, varnex::PixelBlock<std::uint8_t>& seed_kinds) {
    // Beside the kind of its first seeded pixel (the low two bits), a
    // region's entry tells which kinds the seeds put on it had.
    constexpr std::uint8_t kHolds[3] = {0, 4, 8};
    const int width = image->width, height = image->height;
    auto at = [&](const CPoint& p) {
        return static_cast<std::size_t>(p.y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(p.x);
    };
    auto inside = [&](const CPoint& p) { return p.x >= 0 && p.x < width && p.y >= 0 && p.y < height; };
    const SeqList<CPoint>* lists[2] = {&object_seeds, &background_seeds};
    bool grown = m_seededKind.size() == static_cast<std::size_t>(n) + 1;
    for (int side = 0; side < 2 && grown; ++side) {
        const std::vector<CPoint>& applied = m_appliedSeeds[side];
        grown = static_cast<std::size_t>(lists[side]->GetCount()) >= applied.size() &&
                (applied.empty() || std::memcmp(lists[side]->data(), applied.data(), applied.size() * sizeof(CPoint)) == 0);
    }
    if (!grown) {
        for (std::vector<CPoint>& applied : m_appliedSeeds) {
            for (const CPoint& p : applied)
                if (inside(p)) seed_kinds[at(p)] = 0;
            applied.clear();
        }
        m_seededKind.assign(static_cast<std::size_t>(n) + 1, 0);
    }
    for (int side = 0; side < 2; ++side) m_appliedSeeds[side].reserve(static_cast<std::size_t>(lists[side]->GetCount()));
    std::vector<int> touched;
    std::vector<std::uint8_t> listed(static_cast<std::size_t>(n) + 1, 0);
    // Background painted over object wins, whichever came first.
    for (int side = 0; side < 2; ++side) {
        std::vector<CPoint>& applied = m_appliedSeeds[side];
        const CPoint* seeds = lists[side]->data();
        for (int i = static_cast<int>(applied.size()); i < lists[side]->GetCount(); ++i) {
            const CPoint p = seeds[i];
            applied.push_back(p);
            if (!inside(p)) continue;
            std::uint8_t& kind = seed_kinds[at(p)];
            kind = side == 1 || kind == 2 ? 2 : 1;
            const int r = region_at(p.x, p.y);
            if (r < 1 || r > n) continue;
            m_seededKind[static_cast<std::size_t>(r)] |= kHolds[kind];
            if (!listed[static_cast<std::size_t>(r)]) {
                listed[static_cast<std::size_t>(r)] = 1;
                touched.push_back(r);
            }
        }
    }
    // A region takes the kind of its first seeded pixel in fill order. When
    // every seed ever put on it was of one kind, no pixel of it can have the
    // other, and that kind is the first's without looking.
    std::vector<std::uint32_t> reached, active;
    for (int r : touched) {
        std::uint8_t& entry = m_seededKind[static_cast<std::size_t>(r)];
        const std::uint8_t holds = entry & (kHolds[1] | kHolds[2]);
        const std::uint8_t first = holds == kHolds[1]   ? 1
                                   : holds == kHolds[2] ? 2
                                                        : first_kind_in_fill_order(r, seed_kinds.data(), reached, active);
        entry = static_cast<std::uint8_t>(holds | first);
    }
    for (int r = 1; r <= n; ++r) {
        const int kind = m_seededKind[static_cast<std::size_t>(r)] & 3;
        if (kind == 1) object_regions.Add(r);
        else if (kind == 2) background_regions.Add(r);
    }
}

// The sum of a grey picture's interior samples when all of them are whole
// numbers from 0 to 65535. Every partial sum is then a whole number below
// 2^53, which a double holds exactly, so adding them up as integers, four at
// a time, gives the bits of adding them up one by one in doubles.
bool Contour::whole_interior_sum(double& sum) const {
    const int width = image->width, height = image->height;
    std::uint64_t total = 0;
    // Bytes are whole numbers, all of them.
    if (picture_bytes) {
        for (int y = 1; y <= height - 2; ++y) {
            const std::uint8_t* row = picture_bytes + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
            int x = 1;
#if defined(__SSE2__)
            // Sixteen bytes at a time, summed in two halves of eight.
            __m128i sums = _mm_setzero_si128();
            for (; x + 16 <= width - 1; x += 16)
                sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)),
                                                        _mm_setzero_si128()));
            std::uint64_t halves[2];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sums);
            total += halves[0] + halves[1];
#endif
            for (; x <= width - 2; ++x) total += row[x];
        }
        sum = static_cast<double>(total);
        return true;
    }
    for (int y = 1; y <= height - 2; ++y) {
        const float* row = image->data[y];
        int x = 1;
#if defined(__SSE2__)
        contour_detail::WholeLanes whole_lanes(~0xFFFF);
        __m128i sums = _mm_setzero_si128();
        for (; x + 4 <= width - 1; x += 4) {
            const __m128i whole = whole_lanes.truncate(_mm_loadu_ps(row + x));
            sums = _mm_add_epi64(sums, _mm_unpacklo_epi32(whole, _mm_setzero_si128()));
            sums = _mm_add_epi64(sums, _mm_unpackhi_epi32(whole, _mm_setzero_si128()));
        }
        if (!whole_lanes.all_whole()) return false;
        std::uint64_t lanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
        total += lanes[0] + lanes[1];
#endif
        for (; x <= width - 2; ++x) {
            const float value = row[x];
            if (!(value >= 0.0f && value <= 65535.0f) || static_cast<float>(static_cast<int>(value)) != value) return false;
            total += static_cast<std::uint64_t>(value);
        }
    }
    sum = static_cast<double>(total);
    return true;
}

// The picture's statistics taken on a thread of its own, when they are not
// taken yet and a thread can be had (else the first cut takes them).
void Contour::start_measuring() {
    // A running thread is asked first: while it runs, it owns m_bMeasured.
    if (m_measuring.joinable() || m_bMeasured || !has_samples()) return;
    try {
        m_measuring = std::thread([this] { measure_picture(); });
    } catch (const std::system_error&) {
    }
}

// Waits for the statistics' thread, if one runs; every reader of the
// statistics, and whatever forgets them, comes after this.
void Contour::finish_measuring() noexcept {
    if (m_measuring.joinable()) m_measuring.join();
}

// Mean and variance of the picture's intensity over its interior pixels.
void Contour::measure_picture() {
    const int width = image->width, height = image->height;
    const bool colour = image->color == 1;
    const long long interior = static_cast<long long>(height - 2) * (width - 2);
    m_bHasInterior = height >= 3 && width >= 3;
    m_dMean = 0.0;
    m_dVariance = 0.0;
    m_bMeasured = true;
    if (!m_bHasInterior) return;
    // A colour byte's share of the intensity is one of 256 per channel,
    // each the same double as the product taken in place.
    double shares[3][256];
    if (picture_bytes && colour)
        for (int v = 0; v < 256; ++v) {
            shares[0][v] = 0.3 * v;
            shares[1][v] = 0.6 * v;
            shares[2][v] = 0.1 * v;
        }
    // Row y's samples, from the floats or the bytes; a sample reads the same
    // either way, so every sum below has the same bits.
    auto measure = [&](auto row_of) {
        auto intensity = [&](const auto* row, int x) {
            if (!colour) return static_cast<double>(row[x]);
            if constexpr (std::is_same_v<std::remove_cv_t<std::remove_reference_t<decltype(*row)>>, std::uint8_t>)
                return shares[0][row[3 * x]] + shares[1][row[3 * x + 1]] + shares[2][row[3 * x + 2]];
            else
                return 0.3 * row[3 * x] + 0.6 * row[3 * x + 1] + 0.1 * row[3 * x + 2];
        };
        double sum = 0.0;
        if (colour || !whole_interior_sum(sum)) {
            for (int y = 1; y <= height - 2; ++y)
                for (int x = 1; x <= width - 2; ++x) sum += intensity(row_of(y), x);
        }
        m_dMean = sum / static_cast<double>(interior);
        double spread = 0.0;
        using Sample = std::remove_cv_t<std::remove_pointer_t<decltype(row_of(0))>>;
        if constexpr (std::is_same_v<Sample, std::uint8_t>) {
            if (!colour) {
                // A grey byte's squared deviation is one of 256, each the
                // same double as computed in place; they are added in the
                // same order.
                double deviation[256];
                for (int v = 0; v < 256; ++v) deviation[v] = (v - m_dMean) * (v - m_dMean);
                for (int y = 1; y <= height - 2; ++y) {
                    const std::uint8_t* row = row_of(y);
                    for (int x = 1; x <= width - 2; ++x) spread += deviation[row[x]];
                }
                return spread;
            }
        }
        for (int y = 1; y <= height - 2; ++y)
            for (int x = 1; x <= width - 2; ++x) {
                // A colour intensity is rounded to a float before its deviation
                // is taken.
                const double value = colour ? static_cast<double>(static_cast<float>(intensity(row_of(y), x)))
                                            : intensity(row_of(y), x);
                spread += (value - m_dMean) * (value - m_dMean);
            }
        return spread;
    };
    const std::size_t per_row = static_cast<std::size_t>(width) * (colour ? 3 : 1);
    const double spread = picture_bytes ? measure([&](int y) { return picture_bytes + per_row * static_cast<std::size_t>(y); })
                                        : measure([&](int y) { return static_cast<const float*>(image->data[y]); });
    m_dVariance = spread / static_cast<double>(interior);
}

// Marks the seeded regions: each region takes the side of its first seeded
// pixel in fill order, background painted over object winning.
void Contour::seed_regions(int n) {
    const int width = image->width, height = image->height;
    for (int i = 1; i <= object_seeds.GetCount(); ++i) {
        const CPoint p = object_seeds.GetAt(i);
        if (p.x >= 0 && p.x < width && p.y >= 0 && p.y < height) seed_map[p.y][p.x] = 1;
    }
    for (int i = 1; i <= background_seeds.GetCount(); ++i) {
        const CPoint p = background_seeds.GetAt(i);
        if (p.x >= 0 && p.x < width && p.y >= 0 && p.y < height) seed_map[p.y][p.x] = 2;
    }
    const int* seed_cells = seed_map[0];
    for (int r = 1; r <= n; ++r) {
        const std::uint32_t* p = regions.pixels(r);
        const std::size_t size = regions.size(r);
        int kind = 0;
        for (std::size_t i = 0; i < size && !kind; ++i) kind = seed_cells[p[i]];
        if (kind == 1) object_regions.Add(r);
        else if (kind == 2) background_regions.Add(r);
    }
    for (int i = 1; i <= object_regions.GetCount(); ++i) set_mark(object_regions.GetAt(i), 1);
    for (int i = 1; i <= background_regions.GetCount(); ++i) set_mark(background_regions.GetAt(i), -1);
}

// The cut loop: grow a ring of unlabelled neighbours around the regions
// labelled last, cut the graph of every labelled and ring region, relabel
// them from the cut, until no ring is left.
//
// A labelled region whose seed capacity exceeds everything its edges could
// carry lies on its own side of every minimum cut, so its label never
// changes. Such a region is merged into its terminal: its edges to the
// graph's regions become terminal capacities of those regions. The cuts
// then keep the same minimum cuts, and the labels (those of the nodes that
// cannot reach the sink) are the same as with the whole graph. When every
// region is so, each iteration's graph is only the ring; otherwise one
// graph grows ring by ring (cut_growing_rings), so that an iteration costs
// what its ring and the labels it moves cost, not what all the labelled
// regions a cut could still move cost.
void Contour::cut_rings(int n) {
    std::vector<int> frontier;  // the regions labelled last, in the order found
    for (int i = 1; i <= object_regions.GetCount(); ++i) frontier.push_back(object_regions.GetAt(i));
    for (int i = 1; i <= background_regions.GetCount(); ++i) frontier.push_back(background_regions.GetAt(i));

    find_fixed_regions(n);
    if (m_bSession) {
        start_memory(n);
        for (int i = 1; i <= object_regions.GetCount(); ++i) note_labelled(object_regions.GetAt(i), 1, 0);
        for (int i = 1; i <= background_regions.GetCount(); ++i) note_labelled(background_regions.GetAt(i), -1, 0);
    }
    // One graph serves every iteration: reset keeps its arrays, so the
    // loop does not reallocate once they have grown to the largest ring.
    prepare_ring_nodes(n);
    if (!graph) graph = new Graph<int, int, int>(n + 1, 3 * n);
    const bool movable = std::find(m_fixed.begin() + 1, m_fixed.end(), 0) != m_fixed.end();
    if (movable && capacities_fit(n)) cut_growing_rings(frontier);
    else cut_fresh_rings(frontier);
    // A session cuts the same regions again: its graph keeps its arrays,
    // and what this cut found serves the next.
    if (m_bSession) {
        for (int r = 1; r <= n; ++r) m_thisCut.region[static_cast<std::size_t>(r)].mark = marks[r];
        m_thisCut.valid = true;
        std::swap(m_lastCut, m_thisCut);
    } else {
        delete graph;
        graph = nullptr;
    }
    if (m_nCuts > 0) note_last_weight(n);
}

// Band growth: the unlabelled neighbours of the regions labelled last
// (`frontier`), marked as ring and appended to `ring` in the order found.
void Contour::grow_band(const std::vector<int>& frontier, std::vector<int>& ring) {
    for (int r : frontier)
        for (int e = neighbours.start[static_cast<std::size_t>(r)]; e < neighbours.start[static_cast<std::size_t>(r) + 1]; ++e) {
            const int other = neighbours.region[static_cast<std::size_t>(e)];
            if (marks[other] == 0) {
                set_mark(other, 2);
                ring.push_back(other);
                if (m_bSession) m_thisCut.region[static_cast<std::size_t>(other)].ring = m_nCuts + 1;
            }
        }
}

// Each iteration's graph made anew: the ring and the labelled regions a
// cut could still move.
void Contour::cut_fresh_rings(std::vector<int>& frontier) {
    std::vector<int> movable;  // labelled regions a cut could still move
    for (const SeqList<int>* seeded : {&object_regions, &background_regions})
        for (int i = 1; i <= seeded->GetCount(); ++i)
            if (!m_fixed[static_cast<std::size_t>(seeded->GetAt(i))]) movable.push_back(seeded->GetAt(i));
    std::vector<int> ring, nodes;
    while (!frontier.empty()) {
        ring.clear();
        grow_band(frontier, ring);
        frontier.swap(ring);
        nodes = movable;
        nodes.insert(nodes.end(), frontier.begin(), frontier.end());
        std::sort(nodes.begin(), nodes.end());
        if (m_bSession) forget_relabelled(m_nCuts + 1);
        const int m = build_ring_graph(nodes);
        graph->maxflow(false, nullptr);
        KALVIO_TRACE("finish maxflow\n");
        ++m_nCuts;
        // A node on neither side counts as object.
        movable.clear();
        for (int k = 1; k <= m; ++k) {
            const int r = m_localRegion[static_cast<std::size_t>(k)];
            const bool ring_region = marks[r] == 2;
            set_mark(r, graph->segment_of(k, Graph<int, int, int>::SOURCE) == Graph<int, int, int>::SOURCE ? 1 : -1, m_nCuts);
            if (m_bSession && ring_region) note_labelled(r, marks[r], m_nCuts);
            m_localPosition[static_cast<std::size_t>(r)] = 0;
            if (!m_fixed[static_cast<std::size_t>(r)]) movable.push_back(r);
        }
    }
}

// One graph for the whole loop, grown by each ring: the ring's regions
// join it as nodes with edges to their neighbours in it, and a region that
// takes a side, or changes sides, has its terminal capacities changed in
// place. Every region stays in the graph once there; a region merged by
// the fresh loop (see cut_rings) keeps its node here, its seed capacity
// holding it on its side, which leaves the minimum cuts and so the labels
// the same. The cut starts from the last one's search trees, so it works
// near the new nodes and the changed capacities, and only the nodes it
// reports as possibly moved are read again besides the ring.
//
// Each cut adds to the graph's flow; before the flow could run out of int
// range the graph is made anew from its regions.
void Contour::cut_growing_rings(std::vector<int>& frontier) {
    // The region of every node, in node order from 1; the seeded regions
    // a cut could move are the first.
    std::vector<int> members;
    for (const SeqList<int>* seeded : {&object_regions, &background_regions})
        for (int i = 1; i <= seeded->GetCount(); ++i)
            if (!m_fixed[static_cast<std::size_t>(seeded->GetAt(i))]) members.push_back(seeded->GetAt(i));
    std::vector<int> ring;
    ChunkList<int> moved(4096, nullptr);
    bool anew = true;
    while (!frontier.empty()) {
        ring.clear();
        grow_band(frontier, ring);
        frontier.swap(ring);
        ring.assign(frontier.begin(), frontier.end());
        std::sort(ring.begin(), ring.end());
        if (m_bSession) forget_relabelled(m_nCuts + 1);
        if (anew) {
            members.insert(members.end(), ring.begin(), ring.end());
            const int m = build_ring_graph(members);
            graph->maxflow(false, nullptr);
            ++m_nCuts;
            for (int k = 1; k <= m; ++k) label_grown_node(k);
        } else {
            const int first = add_ring_nodes(ring);
            members.insert(members.end(), ring.begin(), ring.end());
            graph->maxflow(true, &moved);
            ++m_nCuts;
            for (int k = first; k < graph->node_count(); ++k) label_grown_node(k);
            for (int* k = moved.ScanFirst(); k; k = moved.ScanNext()) {
                graph->remove_from_changed_list(*k);
                if (*k < first) label_grown_node(*k);
            }
            moved.Reset();
        }
        KALVIO_TRACE("finish maxflow\n");
        anew = graph->flow_value() > kLargestFlow;
    }
    for (int r : members) m_localPosition[static_cast<std::size_t>(r)] = 0;
}

// Whether the growing graph cuts as the fresh graphs do and stays within
// int range. For every region, its seed capacity and the largest
// capacities of its edges to regions that are merged when labelled add up
// to at most the largest terminal capacity: then no terminal capacity is
// ever cut down to that limit, in the fresh graphs nor in the growing one.
// With the largest capacities of all its edges they fit in an int: a
// node's terminal capacity differs from its own by the flow over its
// edges and the capacities of merged ones, at most that sum.
bool Contour::capacities_fit(int n) const {
    const float scale = std::isfinite(parameter) && parameter > 0.0f ? parameter : 0.0f;
    const long long largest = scale >= kMaxCapacity ? static_cast<long long>(kMaxCapacity) : static_cast<long long>(scale);
    for (int r = 1; r <= n; ++r) {
        long long merged = 0;
        for (int e = lower_neighbours.start[static_cast<std::size_t>(r)]; e < lower_neighbours.start[static_cast<std::size_t>(r) + 1]; ++e)
            merged += m_fixed[static_cast<std::size_t>(lower_neighbours.region[static_cast<std::size_t>(e)])];
        for (int u = m_upper.start[static_cast<std::size_t>(r)]; u < m_upper.start[static_cast<std::size_t>(r) + 1]; ++u)
            merged += m_fixed[static_cast<std::size_t>(m_upper.region[static_cast<std::size_t>(u)])];
        const long long edges = lower_neighbours.size(r) + m_upper.size(r);
        if (seed_capacity(r) + merged * largest > kLargestTerminal ||
            seed_capacity(r) + edges * largest > std::numeric_limits<int>::max())
            return false;
    }
    return true;
}

// The ring's regions (in region order) join the growing graph: a node
// each, with its distance capacities and those of its edges to merged
// labelled regions, and edges to its neighbours in the graph. New nodes
// and the old nodes at new edges are marked for the next cut. Returns the
// first new node.
int Contour::add_ring_nodes(const std::vector<int>& ring) {
    const int first = graph->node_count();
    for (int r : ring) {
        const int k = graph->add_node(1);
        m_localPosition[static_cast<std::size_t>(r)] = k;
        m_localRegion[static_cast<std::size_t>(k)] = r;
    }
    const int end = graph->node_count();
    for (int k = first; k < end; ++k) {
        const int r = m_localRegion[static_cast<std::size_t>(k)];
        if (m_bSession) ring_distances(r, m_nCuts + 1);
        else DistancesToLabelled(r);
        m_localOwn[static_cast<std::size_t>(k)] = std::abs(dist_background) - std::abs(dist_object);
        add_ring_node(k, r, std::abs(dist_background), std::abs(dist_object));
        graph->mark_node(k);
    }
    // Each pair once: the higher region of two new ones adds it.
    for (int k = first; k < end; ++k) {
        const int r = m_localRegion[static_cast<std::size_t>(k)];
        for (int e = lower_neighbours.start[static_cast<std::size_t>(r)]; e < lower_neighbours.start[static_cast<std::size_t>(r) + 1]; ++e) {
            const int j = m_localPosition[static_cast<std::size_t>(lower_neighbours.region[static_cast<std::size_t>(e)])];
            if (j == 0) continue;
            const int c = neighbour_capacity(r, e);
            graph->add_edge(k, j, c, c);
            if (j < first) graph->mark_node(j);
        }
        for (int u = m_upper.start[static_cast<std::size_t>(r)]; u < m_upper.start[static_cast<std::size_t>(r) + 1]; ++u) {
            const int a = m_upper.region[static_cast<std::size_t>(u)];
            const int j = m_localPosition[static_cast<std::size_t>(a)];
            if (j == 0 || j >= first) continue;
            const int c = neighbour_capacity(a, m_upper.entry[static_cast<std::size_t>(u)]);
            graph->add_edge(j, k, c, c);
            graph->mark_node(j);
        }
    }
    return first;
}

// Node k's region takes the side the last cut gave it (a node on neither
// side counts as object). When that changes its own terminal capacities
// (a ring region labelled, a labelled region moved), they change in place
// and the node is marked for the next cut.
void Contour::label_grown_node(int k) {
    const int r = m_localRegion[static_cast<std::size_t>(k)];
    const bool ring = marks[r] == 2;
    const int mark = graph->segment_of(k, Graph<int, int, int>::SOURCE) == Graph<int, int, int>::SOURCE ? 1 : -1;
    set_mark(r, mark, m_nCuts);
    if (m_bSession && ring) note_labelled(r, mark, m_nCuts);
    const int seed = seed_capacity(r);
    const int own = mark == 1 ? seed - 1 : 1 - seed;
    int& was = m_localOwn[static_cast<std::size_t>(k)];
    if (own == was) return;
    // capacities_fit keeps the new capacity within int.
    graph->set_terminal_cap(k, static_cast<int>(static_cast<long long>(graph->terminal_cap(k)) - was + own));
    was = own;
    graph->mark_node(k);
}

// Marks the regions whose label no cut can change once they are labelled:
// a seed capacity of 800 per neighbour-list entry against at most the
// largest neighbour capacity on each edge (the weights are at most 1).
void Contour::find_fixed_regions(int n) {
    const float scale = std::isfinite(parameter) && parameter > 0.0f ? parameter : 0.0f;
    const long long largest = scale >= kMaxCapacity ? static_cast<long long>(kMaxCapacity) : static_cast<long long>(scale);
    m_fixed.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int r = 1; r <= n; ++r) {
        const long long edges = lower_neighbours.size(r) + m_upper.size(r);
        m_fixed[static_cast<std::size_t>(r)] = seed_capacity(r) > 1 + edges * largest ? 1 : 0;
    }
}

int Contour::seed_capacity(int r) const {
    const long long degree = neighbours.size(r) + 1;
    return static_cast<int>(std::min<long long>(800 * degree, std::numeric_limits<int>::max() / 4));
}

// `weight` ends as the weight of the last pair the whole graph of the last
// iteration would have tied: the last lower entry of the highest region
// among those reached.
void Contour::note_last_weight(int n) {
    for (int a = n; a >= 1; --a) {
        if (marks[a] == 0) continue;
        for (int e = lower_neighbours.start[static_cast<std::size_t>(a) + 1] - 1; e >= lower_neighbours.start[static_cast<std::size_t>(a)]; --e)
            if (marks[lower_neighbours.region[static_cast<std::size_t>(e)]] != 0) {
                neighbour_capacity(a, e);
                return;
            }
    }
}

// The graph of one iteration: a node for every region of `nodes` (the
// ring and the movable labelled regions, in region order), seed capacities
// for the labelled ones, distance capacities for the ring, and neighbour
// capacities between them. Returns the number of region nodes;
// m_localRegion maps a node to its region.
int Contour::build_ring_graph(const std::vector<int>& nodes) {
    int m = 0;
    for (int r : nodes) {
        m_localPosition[static_cast<std::size_t>(r)] = ++m;
        m_localRegion[static_cast<std::size_t>(m)] = r;
    }
    const bool prepared = m_bSession && m >= kSharedRing && prepare_ring(m);
    graph->reset();
    for (int k = 0; k <= m; ++k) graph->add_node(1);
    for (int k = 1; k <= m; ++k) {
        const int r = m_localRegion[static_cast<std::size_t>(k)];
        int& own = m_localOwn[static_cast<std::size_t>(k)];
        if (marks[r] == 1) {
            own = seed_capacity(r) - 1;
            add_ring_node(k, r, seed_capacity(r), 1);
        } else if (marks[r] == -1) {
            own = 1 - seed_capacity(r);
            add_ring_node(k, r, 1, seed_capacity(r));
        } else {
            if (prepared) {
                const RegionMemory& now = m_thisCut.region[static_cast<std::size_t>(r)];
                dist_object = now.distance[0];
                dist_background = now.distance[1];
            } else if (m_bSession) {
                ring_distances(r, m_nCuts + 1);
            } else {
                DistancesToLabelled(r);
            }
            own = std::abs(dist_background) - std::abs(dist_object);
            add_ring_node(k, r, std::abs(dist_background), std::abs(dist_object));
        }
    }
    add_ring_edges(m);
    return m;
}

// Before a session's graph of m nodes is built: the distances of its ring
// regions and the capacities of every edge its nodes will ask for, half of
// them on a thread of their own. Each region's distances and each edge's
// capacity are computed from what the ring leaves unchanged, and are the
// same whichever core computes them. False, with nothing computed that is
// not kept, when no thread can be had.
bool Contour::prepare_ring(int m) {
    const int iteration = m_nCuts + 1;
    auto share = [&](int from, int to) {
        for (int k = from; k <= to; ++k) {
            const int r = m_localRegion[static_cast<std::size_t>(k)];
            if (marks[r] != 1 && marks[r] != -1) store_ring_distances(r, iteration);
            for (int e = lower_neighbours.start[static_cast<std::size_t>(r)]; e < lower_neighbours.start[static_cast<std::size_t>(r) + 1]; ++e)
                fill_capacity(r, e);
            // An edge from a region outside the graph is asked for by r
            // alone.
            for (int u = m_upper.start[static_cast<std::size_t>(r)]; u < m_upper.start[static_cast<std::size_t>(r) + 1]; ++u) {
                const int a = m_upper.region[static_cast<std::size_t>(u)];
                if (m_localPosition[static_cast<std::size_t>(a)] == 0) fill_capacity(a, m_upper.entry[static_cast<std::size_t>(u)]);
            }
        }
    };
    const int half = m / 2;
    std::thread other;
    try {
        other = std::thread([&] { share(half + 1, m); });
    } catch (const std::system_error&) {
        return false;
    }
    share(1, half);
    other.join();
    return true;
}

// Node k of the graph, for region r: its terminal capacities, with the
// capacity of each edge to a labelled region outside the graph added to
// the terminal of that region's side (a labelled region no cut can move
// is merged into its terminal). Labelled are the regions with a side.
void Contour::add_ring_node(int k, int r, long long to_source, long long to_sink) {
    auto merged = [&](int s) { return m_localPosition[static_cast<std::size_t>(s)] == 0 && marks[s] != 0; };
    for (int e = lower_neighbours.start[static_cast<std::size_t>(r)]; e < lower_neighbours.start[static_cast<std::size_t>(r) + 1]; ++e) {
        const int b = lower_neighbours.region[static_cast<std::size_t>(e)];
        if (merged(b)) (marks[b] == 1 ? to_source : to_sink) += neighbour_capacity(r, e);
    }
    for (int u = m_upper.start[static_cast<std::size_t>(r)]; u < m_upper.start[static_cast<std::size_t>(r) + 1]; ++u) {
        const int a = m_upper.region[static_cast<std::size_t>(u)];
        if (merged(a)) (marks[a] == 1 ? to_source : to_sink) += neighbour_capacity(a, m_upper.entry[static_cast<std::size_t>(u)]);
    }
    graph->add_terminal_caps(k, static_cast<int>(std::min(to_source, kLargestTerminal)),
                             static_cast<int>(std::min(to_sink, kLargestTerminal)));
}

// The neighbour capacities between the m nodes of the graph.
void Contour::add_ring_edges(int m) {
    for (int k = 1; k <= m; ++k) {
        const int a = m_localRegion[static_cast<std::size_t>(k)];
        for (int e = lower_neighbours.start[static_cast<std::size_t>(a)]; e < lower_neighbours.start[static_cast<std::size_t>(a) + 1]; ++e) {
            const int b = lower_neighbours.region[static_cast<std::size_t>(e)];
            if (m_localPosition[static_cast<std::size_t>(b)] == 0) continue;
            const int c = neighbour_capacity(a, e);
            graph->add_edge(k, m_localPosition[static_cast<std::size_t>(b)], c, c);
        }
    }
}

// Node positions for n regions, all 0: every graph leaves them so.
void Contour::prepare_ring_nodes(int n) {
    if (m_localPosition.size() != static_cast<std::size_t>(n) + 1) {
        m_localPosition.assign(static_cast<std::size_t>(n) + 1, 0);
        m_localRegion.assign(static_cast<std::size_t>(n) + 1, 0);
        m_localOwn.assign(static_cast<std::size_t>(n) + 1, 0);
    }
}

// The object in the picture's colours on white. A grey picture whose
// samples are not bytes shows its object through `result_levels`, when
// set, so that the result looks like the picture as it is shown.
void Contour::paint_result(int n) {
    delete result;
    result = nullptr;
    result = new MyImage(image->height, image->width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    if (!result->data) throw std::bad_alloc();
    start_painting();
    for (int r = 1; r <= n; ++r) paint_region(r, marks[r] == 1);
}

// Whether the rows of `result` and of the picture each lie in one block in
// order, so that a pixel's index finds it without a division. Called before
// a pass of paint_region.
void Contour::start_painting() {
    auto in_order = [](const CImage* picture, int per_pixel) {
        const std::size_t stride = static_cast<std::size_t>(picture->ncols) * static_cast<std::size_t>(per_pixel);
        for (int y = 1; y < picture->nrows; ++y)
            if (picture->data[y] != picture->data[0] + static_cast<std::size_t>(y) * stride) return false;
        return true;
    };
    m_bPaintByIndex = in_order(result, 3) && in_order(image, image->color == 1 ? 3 : 1);
}

// Region r's pixels of `result`: the picture's colours (or its display
// levels) for the object, white otherwise.
void Contour::paint_region(int r, bool object) {
    const bool colour = image->color == 1;
    const bool through_table = !colour && result_levels.lut && image->datatype != KALVIO_TYPE_UINT8;
    const std::uint32_t* p = regions.pixels(r);
    const std::size_t size = regions.size(r);
    auto paint = [&](float* out, const float* in) {
        if (!object) {
            out[0] = out[1] = out[2] = 255.0f;
        } else if (colour) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        } else {
            const float value = in[0];
            out[0] = out[1] = out[2] = through_table ? static_cast<float>(result_levels.LevelOf(value)) : value;
        }
    };
    const std::size_t per_pixel = colour ? 3 : 1;
    if (m_bPaintByIndex) {
        float* out = result->data[0];
        const float* in = image->data[0];
        for (std::size_t i = 0; i < size; ++i) paint(out + 3 * static_cast<std::size_t>(p[i]), in + per_pixel * p[i]);
        return;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const int x = regions.column(p[i]), y = regions.row(p[i]);
        paint(&result->data[y][3 * x], &image->data[y][per_pixel * static_cast<std::size_t>(x)]);
    }
}

void Contour::release_cut_tables() {
    delete[] marks;
    marks = nullptr;
    m_objectSide = SideIndex();
    m_backgroundSide = SideIndex();
    m_earlyObject = SideIndex();
    m_earlyBackground = SideIndex();
    m_sideCell.clear();
    m_sideSlot.clear();
    m_earlyCell.clear();
    m_earlySlot.clear();
    m_lowerCapacity.clear();
    m_lowerWeight.clear();
    m_upper = RegionTable();
    m_fixed.clear();
    m_lastCut = CutMemory();
    m_thisCut = CutMemory();
    m_appliedSeeds[0].clear();
    m_appliedSeeds[1].clear();
    m_seededKind.clear();
    m_joined[0] = JoinedIndex();
    m_joined[1] = JoinedIndex();
    m_level.clear();
    m_levelStart.clear();
    m_levelRegions.clear();
    m_dirty.clear();
    m_localPosition.clear();
    m_localRegion.clear();
    m_localOwn.clear();
    m_recut.clear();
    delete graph;
    graph = nullptr;
    finish_measuring();
    m_bMeasured = false;
}

void Contour::ReleaseRunData() {
    delete result;
    result = nullptr;
    free_int_map(seed_map);
    seed_map = nullptr;
    release_region_tables();
    // A run stopped before its cut leaves these behind.
    object_regions.RemoveAll();
    background_regions.RemoveAll();
    drop_labels();
}
