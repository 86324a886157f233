// A session's further cut made from the last one. When no labelled region
// can change side, the label of a ring region depends only on its ring
// component (the regions of its level it touches through that level), the
// labels of its neighbours of lower levels and its distances to the
// regions of each side labelled before its level. A further cut therefore
// finds the levels again, and cuts again only the ring components where
// one of these changed; every other region keeps what the last cut gave.
// A distance stays while the region that gave it is still labelled on
// that side before the level, unless a region that joined the side since
// is nearer: those are kept in a grid of mean colours that each ring
// region looks up around its own mean.
#include <varnex/contour.h>

#include "core/colourgrid_p.h"
#include "core/contour_p.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using namespace contour_detail;

namespace {
constexpr int kNoEnd = std::numeric_limits<int>::max();

// A further cut is made from the last one when fewer than one region in
// this many changed level.
constexpr long long kManyMoved = 12;

// Distances up to which the joined regions around a region's mean are
// scanned cell by cell rather than searched nearest first.
constexpr int kScanReach = 48;

// Fine cells up to which a joined index's reach is followed: a region
// whose distance bound lies beyond it is scanned or searched as before.
constexpr int kReachCap = 8;

// Per region in m_dirty: to be cut again; its level or mark changed.
constexpr std::uint8_t kDirty = 1;
constexpr std::uint8_t kMoved = 2;

}  // namespace

// The last cut of the session is complete, no labelled region could move
// in it or can in this one (the capacities are those of the last cut, so
// the regions that can never move are the same), and its marks and side
// indexes are still in place.
bool Contour::can_replay() const {
    return m_bSession && marks && m_lastCut.valid && m_lastCut.all_fixed && parameter == m_fCapacityScale &&
           m_lastCut.region.size() == static_cast<std::size_t>(regions.GetCount()) + 1;
}

// Both indexes of joined regions empty, sized for the picture's kind.
void Contour::reset_joined_indexes() {
    const std::size_t coarse = image->color == 0 ? 16 : 16 * 16 * 16;
    for (JoinedIndex& joined : m_joined) {
        if (joined.coarse.size() == coarse) {
            for (int cell : joined.index.occupied) joined.coarse[static_cast<std::size_t>(cell)].clear();
        } else {
            joined.coarse.assign(coarse, {});
        }
        reset_index(joined.index);
        // Only the cells some member reached need raising again.
        const std::size_t cells = fine_cell_count(image->color == 0);
        if (joined.reach.size() == cells) {
            for (int cell : joined.lowered) joined.reach[static_cast<std::size_t>(cell)] = kReachCap;
        } else {
            joined.reach.assign(cells, kReachCap);
        }
        joined.lowered.clear();
    }
}

// A member joined fine cell `cell`: the reach of the cells around it falls
// to the number of fine cells between them and it, in a wave that stops
// where a cell is already as near to another member. The cell and its
// direct neighbours, corners included, get 0: a mean in them may lie as
// near to the member as it likes.
void Contour::note_reach(JoinedIndex& joined, int cell) {
    const bool grey = image->color == 0;
    const int axis = grey ? 16 * kGreyFine : 16 * kColourFine;
    const int axes = grey ? 1 : 3;
    std::vector<std::uint8_t>& reach = joined.reach;
    std::vector<int>& wave = joined.wave;
    wave.clear();
    auto lower = [&](int index, int value) {
        std::uint8_t& cell_reach = reach[static_cast<std::size_t>(index)];
        if (cell_reach == kReachCap) joined.lowered.push_back(index);
        cell_reach = static_cast<std::uint8_t>(value);
        wave.push_back(index);
    };
    int f[3];
    fine_axes_of(cell, grey, f);
    int lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = a < axes ? std::max(f[a] - 1, 0) : 0;
        hi[a] = a < axes ? std::min(f[a] + 1, axis - 1) : 0;
    }
    for (int i = lo[0]; i <= hi[0]; ++i)
        for (int j = lo[1]; j <= hi[1]; ++j)
            for (int k = lo[2]; k <= hi[2]; ++k) {
                const int index = grey ? i : (i * axis + j) * axis + k;
                if (reach[static_cast<std::size_t>(index)] == 0) continue;
                lower(index, 0);
            }
    // Breadth first, so every cell is lowered once, to its final reach.
    const int step[3] = {grey ? 1 : axis * axis, axis, 1};
    for (std::size_t head = 0; head < wave.size(); ++head) {
        const int index = wave[head];
        const int next = reach[static_cast<std::size_t>(index)] + 1;
        if (next >= kReachCap) continue;
        fine_axes_of(index, grey, f);
        for (int a = 0; a < axes; ++a) {
            if (f[a] > 0 && reach[static_cast<std::size_t>(index - step[a])] > next) lower(index - step[a], next);
            if (f[a] < axis - 1 && reach[static_cast<std::size_t>(index + step[a])] > next) lower(index + step[a], next);
        }
    }
}

// A further cut of the session made from the last one. False when too many
// regions changed level: the whole cut loop then makes the cut, clearing
// the marks and indexes this one began to change.
bool Contour::replay_cut(int n) {
    reset_joined_indexes();
    prepare_ring_nodes(n);
    if (!graph) graph = new Graph<int, int, int>(n + 1, 3 * n);

    // With the levels of many regions changed, most of them are searched
    // for in indexes that also hold the regions of later levels: the whole
    // cut loop is then as quick, or quicker.
    if (static_cast<long long>(find_levels(n)) * kManyMoved > n) return false;

    for (int i = 1; i <= object_regions.GetCount(); ++i) label_replayed(object_regions.GetAt(i), 0, 1);
    for (int i = 1; i <= background_regions.GetCount(); ++i) label_replayed(background_regions.GetAt(i), 0, -1);
    const int levels = static_cast<int>(m_levelStart.size()) - 1;
    for (int level = 1; level < levels; ++level) cut_level(level);
    // The loop cuts once more for the empty ring after the last level.
    m_nCuts = levels > 0 ? levels : 0;
    if (m_nCuts > 0) note_last_weight(n);
    return true;
}

// The level of every region in this cut (the number of rings between it
// and the nearest seeded region), the regions of each level by mean
// colour, and the regions whose level changed, which are cut again with
// their neighbours. Returns the number of regions whose level changed.
int Contour::find_levels(int n) {
    m_level.resize(static_cast<std::size_t>(n) + 1);
    m_dirty.assign(static_cast<std::size_t>(n) + 1, 0);
    int was_seeded = 0, still_seeded = 0;
    for (int r = 0; r <= n; ++r) {
        const int level = r == 0 ? -1 : m_lastCut.region[static_cast<std::size_t>(r)].labelled;
        m_level[static_cast<std::size_t>(r)] = level;
        was_seeded += level == 0;
    }
    for (const SeqList<int>* seeded : {&object_regions, &background_regions})
        for (int i = 1; i <= seeded->GetCount(); ++i) still_seeded += m_level[static_cast<std::size_t>(seeded->GetAt(i))] == 0;
    // With every region seeded before still seeded, levels can only fall:
    // breadth first from the new seeded regions, through the regions whose
    // level falls. Otherwise breadth first from all of them.
    std::vector<int>& queue = m_recut;
    queue.clear();
    const bool grown = still_seeded == was_seeded;
    if (!grown) std::fill(m_level.begin(), m_level.end(), -1);
    for (const SeqList<int>* seeded : {&object_regions, &background_regions})
        for (int i = 1; i <= seeded->GetCount(); ++i) {
            const int r = seeded->GetAt(i);
            if (m_level[static_cast<std::size_t>(r)] == 0) continue;
            m_level[static_cast<std::size_t>(r)] = 0;
            queue.push_back(r);
        }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int r = queue[head];
        const int next = m_level[static_cast<std::size_t>(r)] + 1;
        for (int e = neighbours.start[static_cast<std::size_t>(r)]; e < neighbours.start[static_cast<std::size_t>(r) + 1]; ++e) {
            const int s = neighbours.region[static_cast<std::size_t>(e)];
            const int level = m_level[static_cast<std::size_t>(s)];
            if (level < 0 || level > next) {
                m_level[static_cast<std::size_t>(s)] = next;
                queue.push_back(s);
            }
        }
    }
    auto moved = [&](int r) {
        set_indexed_level(r, m_level[static_cast<std::size_t>(r)]);
        m_dirty[static_cast<std::size_t>(r)] |= kDirty | kMoved;
        for (int e = neighbours.start[static_cast<std::size_t>(r)]; e < neighbours.start[static_cast<std::size_t>(r) + 1]; ++e)
            m_dirty[static_cast<std::size_t>(neighbours.region[static_cast<std::size_t>(e)])] |= kDirty;
    };
    int changed = 0;
    if (grown) {
        for (int r : queue) moved(r);
        changed = static_cast<int>(queue.size());
    } else {
        for (int r = 1; r <= n; ++r) {
            RegionMemory& memory = m_lastCut.region[static_cast<std::size_t>(r)];
            if (m_level[static_cast<std::size_t>(r)] == memory.labelled) continue;
            moved(r);
            ++changed;
            if (m_level[static_cast<std::size_t>(r)] < 0) {
                set_mark(r, 0);
                memory = RegionMemory();
            }
        }
    }
    queue.clear();
    // The regions of each level.
    int levels = 0;
    for (int r = 1; r <= n; ++r) levels = std::max(levels, m_level[static_cast<std::size_t>(r)] + 1);
    m_levelStart.assign(static_cast<std::size_t>(levels) + 1, 0);
    for (int r = 1; r <= n; ++r)
        if (m_level[static_cast<std::size_t>(r)] >= 0) ++m_levelStart[static_cast<std::size_t>(m_level[static_cast<std::size_t>(r)]) + 1];
    for (int k = 0; k < levels; ++k) m_levelStart[static_cast<std::size_t>(k) + 1] += m_levelStart[static_cast<std::size_t>(k)];
    m_levelRegions.resize(static_cast<std::size_t>(m_levelStart[static_cast<std::size_t>(levels)]));
    std::vector<int>& next = queue;
    next.assign(m_levelStart.begin(), m_levelStart.end());
    // Within a level the regions go by mean colour: one after another, their
    // searches walk the same cells of the indexes.
    for (int r : m_colourOrder)
        if (m_level[static_cast<std::size_t>(r)] >= 0)
            m_levelRegions[static_cast<std::size_t>(next[static_cast<std::size_t>(m_level[static_cast<std::size_t>(r)])]++)] = r;
    queue.clear();
    return changed;
}

// Region r of `level` takes `mark`. What changed from the last cut is
// noted for the levels after this one: its neighbours there are cut again
// when its mark changed, and a side it joined counts it for the distances
// of their regions.
void Contour::label_replayed(int r, int level, int mark) {
    RegionMemory& memory = m_lastCut.region[static_cast<std::size_t>(r)];
    const int was_level = memory.labelled, was_mark = memory.mark;
    if (marks[r] != mark) set_mark(r, mark, level);
    memory.ring = level;
    memory.labelled = level;
    memory.mark = mark;
    if (level == 0) memory.distance[0] = memory.distance[1] = memory.nearest[0] = memory.nearest[1] = 0;
    if (was_level == level && was_mark == mark) return;
    m_dirty[static_cast<std::size_t>(r)] |= kMoved;
    if (was_mark != mark)
        for (int e = neighbours.start[static_cast<std::size_t>(r)]; e < neighbours.start[static_cast<std::size_t>(r) + 1]; ++e)
            m_dirty[static_cast<std::size_t>(neighbours.region[static_cast<std::size_t>(e)])] |= kDirty;
    const int side = mark == 1 ? 0 : 1;
    if (was_mark != mark || was_level < 0) note_joined(r, side, level + 1, kNoEnd);
    else if (was_level > level) note_joined(r, side, level + 1, was_level);
}

// Region r joined the labelled regions of `side` for the levels from..to.
// A region whose means are not numbers is never the nearest.
void Contour::note_joined(int r, int side, int from, int to) {
    const float* mean = m_packed[static_cast<std::size_t>(r) - 1].m;
    const float m0 = mean[0], m1 = mean[1], m2 = mean[2];
    if (std::isnan(m0) || std::isnan(m1) || std::isnan(m2) || from > to) return;
    JoinedIndex& joined = m_joined[side];
    const SideIndex::Member member{m0, m1, m2, r, from - 1, to};
    const int cell = fine_cell_of(r);
    joined.index.cells[static_cast<std::size_t>(cell)].push_back(member);
    set_bit(joined.index.filled, cell);
    const int coarse = coarse_of_fine(cell, image->color == 0);
    joined.index.enter(coarse);
    note_reach(joined, cell);
    joined.coarse[static_cast<std::size_t>(coarse)].push_back(member);
}

// One level: the regions whose ring, labelled neighbours or distances
// changed, with the rest of their ring components, are cut again.
void Contour::cut_level(int level) {
    m_recut.clear();
    const int first = m_levelStart[static_cast<std::size_t>(level)], last = m_levelStart[static_cast<std::size_t>(level) + 1];
    for (int i = first; i < last; ++i) {
        const int r = m_levelRegions[static_cast<std::size_t>(i)];
        // What a region's distances read lies scattered over tables as
        // long as the map's regions: it is fetched some regions ahead.
        if (i + 16 < last) {
            const int ahead = m_levelRegions[static_cast<std::size_t>(i) + 16];
            __builtin_prefetch(&m_lastCut.region[static_cast<std::size_t>(ahead)]);
            __builtin_prefetch(&m_packed[static_cast<std::size_t>(ahead) - 1]);
            __builtin_prefetch(&m_dirty[static_cast<std::size_t>(ahead)]);
        }
        if (i + 6 < last) {
            const RegionMemory& soon = m_lastCut.region[static_cast<std::size_t>(m_levelRegions[static_cast<std::size_t>(i) + 6])];
            for (int nearest : soon.nearest) {
                __builtin_prefetch(&m_dirty[static_cast<std::size_t>(nearest)]);
                __builtin_prefetch(&m_level[static_cast<std::size_t>(nearest)]);
                __builtin_prefetch(&marks[nearest]);
            }
        }
        const bool changed = replay_distances(r, level);
        if ((m_dirty[static_cast<std::size_t>(r)] & kDirty) || (changed && !keeps_its_side(r, level)))
            m_recut.push_back(r);
    }
    if (m_recut.empty()) return;
    const int m = build_replay_graph(level);
    graph->maxflow(false, nullptr);
    // A node on neither side counts as object.
    for (int k = 1; k <= m; ++k) {
        const int r = m_localRegion[static_cast<std::size_t>(k)];
        label_replayed(r, level, graph->segment_of(k, Graph<int, int, int>::SOURCE) == Graph<int, int, int>::SOURCE ? 1 : -1);
        m_localPosition[static_cast<std::size_t>(r)] = 0;
    }
}

// Whether region r of `level`, which is not to be cut again for any other
// reason, keeps its side although its distances changed. Its terminal
// capacities are those its node would get; when their difference exceeds
// what all its edges to regions of its level can carry, the node lies on
// that side in every minimum cut (object also when it just equals it, as
// the cut's labels take the largest object side). A node that is forced
// onto the side it had leaves the rest of its component's minimum cut as
// it was: with it held there, the component's cuts differ from the last
// ones by a constant. So its component is not cut again for it.
bool Contour::keeps_its_side(int r, int level) {
    long long to_source, to_sink, within = 0;
    ring_capacities(r, level, to_source, to_sink, [&](int, int capacity, bool) { within += capacity; });
    return marks[r] == 1 ? to_source - to_sink >= within : to_sink - to_source > within;
}

// Region r's terminal capacities in the graph of `level`: its distances,
// with the capacity of each edge to a region of a lower level added to the
// terminal of that region's side (such a region is merged into it), cut
// down to the largest terminal capacity. Each neighbour of the same level
// goes to same(s, capacity, lower), lower when the edge is r's own entry,
// so that the graph takes every edge once, from its higher region.
template <typename Same>
void Contour::ring_capacities(int r, int level, long long& to_source, long long& to_sink, Same&& same) {
    const RegionMemory& memory = m_lastCut.region[static_cast<std::size_t>(r)];
    to_source = std::abs(memory.distance[1]);
    to_sink = std::abs(memory.distance[0]);
    auto add = [&](int s, int capacity, bool lower) {
        const int l = m_level[static_cast<std::size_t>(s)];
        if (l == level) same(s, capacity, lower);
        else if (l >= 0 && l < level) (marks[s] == 1 ? to_source : to_sink) += capacity;
    };
    for (int e = lower_neighbours.start[static_cast<std::size_t>(r)]; e < lower_neighbours.start[static_cast<std::size_t>(r) + 1]; ++e)
        add(lower_neighbours.region[static_cast<std::size_t>(e)], fill_capacity(r, e), true);
    for (int u = m_upper.start[static_cast<std::size_t>(r)]; u < m_upper.start[static_cast<std::size_t>(r) + 1]; ++u) {
        const int a = m_upper.region[static_cast<std::size_t>(u)];
        add(a, fill_capacity(a, m_upper.entry[static_cast<std::size_t>(u)]), false);
    }
    to_source = std::min(to_source, kLargestTerminal);
    to_sink = std::min(to_sink, kLargestTerminal);
}

// The distances of region r of `level` to both sides in this cut, kept in
// its memory; true when either differs from the last cut's.
//
// The regions labelled on a side before r's level are among those the
// last cut had labelled there before r's level in that cut and those that
// joined the side since, when r's level is the same or lower: a region
// now labelled before it was labelled before r's old level, or its level
// fell, or it changed side. So while the region that gave the last
// distance is still labelled on that side before r's level, the distance
// is the last one or that of a nearer joined region. When that region is
// gone, a joined region at the last distance or nearer gives it, as no
// other region is nearer; failing that, a search may stop at the last
// distance. A region whose level rose, or that was not reached before, is
// searched for.
bool Contour::replay_distances(int r, int level) {
    RegionMemory& memory = m_lastCut.region[static_cast<std::size_t>(r)];
    const int was[2] = {memory.distance[0], memory.distance[1]};
    const bool moved = memory.labelled != level;
    const bool bounded = memory.labelled >= level;
    for (int side = 0; side < 2; ++side) {
        const int nearest = memory.nearest[side];
        bool kept = nearest == 0 || (!moved && !(m_dirty[static_cast<std::size_t>(nearest)] & kMoved));
        if (!kept) {
            const int l = m_level[static_cast<std::size_t>(nearest)];
            kept = l >= 0 && l < level && marks[nearest] == (side == 0 ? 1 : -1);
        }
        // The searches look only at regions of levels before r's.
        const SideIndex& index = level <= kEarlyLevels ? (side == 0 ? m_earlyObject : m_earlyBackground)
                                                       : (side == 0 ? m_objectSide : m_backgroundSide);
        if (!bounded) {
            memory.distance[side] = nearest_distance(index, r, &memory.nearest[side], {.before = level});
        } else if (kept) {
            if (memory.distance[side] > 0) nearest_joined(side, r, level, memory, false);
        } else if (!nearest_joined(side, r, level, memory, true)) {
            memory.distance[side] = nearest_distance(index, r, &memory.nearest[side], {.before = level, .floor = was[side]});
        }
    }
    return memory.distance[0] != was[0] || memory.distance[1] != was[1];
}

// Lowers region r's distance to `side` to that of a nearer region that
// joined the side before `level` (or, with `or_equal`, one as near), if
// any; true when it found one.
bool Contour::nearest_joined(int side, int r, int level, RegionMemory& memory, bool or_equal) {
    const JoinedIndex& joined = m_joined[side];
    if (joined.index.count == 0) return false;
    const PackedMean& packed = m_packed[static_cast<std::size_t>(r) - 1];
    const float m[3] = {packed.m[0], packed.m[1], packed.m[2]};
    if (std::isnan(m[0]) || std::isnan(m[1]) || std::isnan(m[2])) return false;
    const bool grey = image->color == 0;
    int& best = memory.distance[side];
    // Distances are truncated: a region whose distance is below `bound`
    // lies within `bound` of r's mean.
    int bound = or_equal ? best + 1 : best;
    bool found = false;
    const float radius = static_cast<float>(bound) + kRoundingMargin;
    const int fine = grey ? kGreyFine : kColourFine;
    // Every member lies at least r's cell's reach, in cell widths, from
    // r's mean: most regions are passed over here.
    if (16.0f / static_cast<float>(fine) * static_cast<float>(joined.reach[static_cast<std::size_t>(packed.fine)]) >= radius)
        return false;
    // Far from r's mean, a search nearest first stops sooner than a scan of
    // every cell within the distance.
    if (bound > kScanReach) {
        int nearest = 0;
        const int distance = nearest_distance(joined.index, r, &nearest, {.below = bound, .before = level});
        if (nearest == 0) return false;
        best = distance;
        memory.nearest[side] = nearest;
        return true;
    }
    auto look = [&](const std::vector<SideIndex::Member>& cell) {
        // A whole bound is beaten exactly when the sum is below it.
        auto take = [&](const SideIndex::Member& j, float sum) {
            if (!(sum < static_cast<float>(bound)) || j.level >= level || j.until < level) return false;
            best = bound = static_cast<int>(sum);
            memory.nearest[side] = j.region;
            found = true;
            return false;
        };
        if (!grey) {
            scan_colour(cell.data(), cell.size(), m, [&] { return static_cast<float>(bound); }, take);
            return;
        }
        for (const SideIndex::Member& j : cell) take(j, distance_sum(true, m, j.m0, j.m1, j.m2));
    };
    const int axes = grey ? 1 : 3;
    constexpr int axis = 16 * kColourFine;
    // Within a fine cell's width, the fine cells around r's mean are few:
    // they are looked at directly.
    if (radius <= 16.0f / static_cast<float>(fine)) {
        int flo[3] = {0, 0, 0}, fhi[3] = {0, 0, 0};
        for (int a = 0; a < axes; ++a) {
            flo[a] = fine_of(m[a] - radius, fine);
            fhi[a] = fine_of(m[a] + radius, fine);
        }
        if (grey) {
            for (int f = flo[0]; f <= fhi[0]; ++f)
                if (has_bit(joined.index.filled, f)) look(joined.index.cells[static_cast<std::size_t>(f)]);
            return found;
        }
        for (int f0 = flo[0]; f0 <= fhi[0]; ++f0)
            for (int f1 = flo[1]; f1 <= fhi[1]; ++f1)
                for (int f2 = flo[2]; f2 <= fhi[2]; ++f2) {
                    const int cell = (f0 * axis + f1) * axis + f2;
                    if (has_bit(joined.index.filled, cell)) look(joined.index.cells[static_cast<std::size_t>(cell)]);
                }
        return found;
    }
    int lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (int a = 0; a < axes; ++a) {
        lo[a] = cell_of(m[a] - radius);
        hi[a] = cell_of(m[a] + radius);
    }
    auto visit = [&](int i, int j, int k) {
        const int coarse = grey ? i : (i * 16 + j) * 16 + k;
        const std::vector<SideIndex::Member>& members = joined.coarse[static_cast<std::size_t>(coarse)];
        if (members.empty()) return;
        const float bound = gap_to_cell(m[0], i) + (grey ? 0.0f : gap_to_cell(m[1], j) + gap_to_cell(m[2], k));
        if (bound >= radius) return;
        // Colour members are measured four at a time: the coarse cell's
        // list is scanned whole. A grey one is when it has no more members
        // than fine cells to visit.
        if (!grey) {
            look(members);
            return;
        }
        const int flo = std::max(fine_of(m[0] - radius, fine), i * fine);
        const int fhi = std::min(fine_of(m[0] + radius, fine), (i + 1) * fine - 1);
        if (static_cast<long long>(members.size()) <= fhi - flo + 1) {
            look(members);
            return;
        }
        for (int f = flo; f <= fhi; ++f)
            if (has_bit(joined.index.filled, f) && gap_to_fine(m[0], f, fine) < radius)
                look(joined.index.cells[static_cast<std::size_t>(f)]);
    };
    // The box of coarse cells around r's mean, or the occupied cells when
    // they are fewer.
    long long box = 1;
    for (int a = 0; a < axes; ++a) box *= hi[a] - lo[a] + 1;
    if (static_cast<long long>(joined.index.occupied.size()) < box) {
        for (int coarse : joined.index.occupied) {
            const int i = grey ? coarse : coarse / 256, j = grey ? 0 : (coarse / 16) % 16, k = grey ? 0 : coarse % 16;
            if (i >= lo[0] && i <= hi[0] && j >= lo[1] && j <= hi[1] && k >= lo[2] && k <= hi[2]) visit(i, j, k);
        }
    } else {
        for (int i = lo[0]; i <= hi[0]; ++i)
            for (int j = lo[1]; j <= hi[1]; ++j)
                for (int k = lo[2]; k <= hi[2]; ++k) visit(i, j, k);
    }
    return found;
}

// The graph of the ring components of `level` that hold a region of
// m_recut: distance capacities to the terminals, the capacities of edges
// to labelled neighbours added to the terminal of their side, and the
// neighbour capacities within the components. Returns the number of nodes.
int Contour::build_replay_graph(int level) {
    graph->reset();
    graph->add_node(1);  // node 0 stands for no region
    int m = 0;
    auto place = [&](int s) {
        m_localPosition[static_cast<std::size_t>(s)] = ++m;
        m_localRegion[static_cast<std::size_t>(m)] = s;
        graph->add_node(1);
    };
    for (int start : m_recut) {
        if (m_localPosition[static_cast<std::size_t>(start)] != 0) continue;
        place(start);
        // The rest of the component, breadth first through the level, each
        // node's capacities and edges taken as it is reached.
        for (int k = m; k <= m; ++k) {
            long long to_source, to_sink;
            ring_capacities(m_localRegion[static_cast<std::size_t>(k)], level, to_source, to_sink, [&](int s, int capacity, bool lower) {
                if (m_localPosition[static_cast<std::size_t>(s)] == 0) place(s);
                if (lower) graph->add_edge(k, m_localPosition[static_cast<std::size_t>(s)], capacity, capacity);
            });
            graph->add_terminal_caps(k, static_cast<int>(to_source), static_cast<int>(to_sink));
        }
    }
    return m;
}
