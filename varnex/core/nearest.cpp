// The nearest-region search of the cut loop: the labelled regions of each
// side indexed by mean colour, and what a session's last cut found, which
// lets the next cut answer most searches from the few regions labelled
// differently.
#include <varnex/contour.h>

#include "core/colourgrid_p.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using namespace contour_detail;

// Moves region r to another mark, keeping the per-side indexes of labelled
// regions (those the distance searches look at) in step; a labelled region
// is indexed with the level it was labelled at.
void Contour::set_mark(int r, int mark, int level) {
    const int old = marks[r];
    if (old == mark) return;
    if (m_sideCell[r] >= 0) leave_side(old == 1 ? m_objectSide : m_backgroundSide, m_sideCell, m_sideSlot, r);
    if (m_earlyCell[r] >= 0) leave_side(old == 1 ? m_earlyObject : m_earlyBackground, m_earlyCell, m_earlySlot, r);
    marks[r] = mark;
    if (mark != 1 && mark != -1) return;
    // A region whose mean is not a number is never the nearest one.
    const float* mean = m_packed[static_cast<std::size_t>(r) - 1].m;
    if (std::isnan(mean[0]) || std::isnan(mean[1]) || std::isnan(mean[2])) return;
    enter_side(mark == 1 ? m_objectSide : m_backgroundSide, m_sideCell, m_sideSlot, r, level);
    if (level < kEarlyLevels) enter_side(mark == 1 ? m_earlyObject : m_earlyBackground, m_earlyCell, m_earlySlot, r, level);
}

// Region r joins index `side` with `level`; cell_of and slot_of keep its
// place there.
void Contour::enter_side(SideIndex& side, std::vector<int>& cell_of, std::vector<int>& slot_of, int r, int level) {
    const PackedMean& packed = m_packed[static_cast<std::size_t>(r) - 1];
    std::vector<SideIndex::Member>& cell = side.cells[static_cast<std::size_t>(packed.fine)];
    cell_of[static_cast<std::size_t>(r)] = packed.fine;
    slot_of[static_cast<std::size_t>(r)] = static_cast<int>(cell.size());
    cell.push_back({packed.m[0], packed.m[1], packed.m[2], r, level});
    set_bit(side.filled, packed.fine);
    side.enter(coarse_of_fine(packed.fine, image->color == 0));
}

// Region r leaves index `side`: the last member of its cell takes its
// place.
void Contour::leave_side(SideIndex& side, std::vector<int>& cell_of, std::vector<int>& slot_of, int r) {
    const int at = cell_of[static_cast<std::size_t>(r)];
    const int slot = slot_of[static_cast<std::size_t>(r)];
    std::vector<SideIndex::Member>& cell = side.cells[static_cast<std::size_t>(at)];
    slot_of[static_cast<std::size_t>(cell.back().region)] = slot;
    cell[static_cast<std::size_t>(slot)] = cell.back();
    cell.pop_back();
    if (cell.empty()) side.filled[static_cast<std::size_t>(at) >> 6] &= ~(1ULL << (at & 63));
    side.leave(coarse_of_fine(at, image->color == 0));
    cell_of[static_cast<std::size_t>(r)] = -1;
}

// The level region r is indexed with, when it is indexed: it joins or
// leaves the index of the first levels as its level crosses their end.
void Contour::set_indexed_level(int r, int level) {
    if (m_sideCell[r] < 0) return;
    const bool object = marks[r] == 1;
    SideIndex& side = object ? m_objectSide : m_backgroundSide;
    side.cells[static_cast<std::size_t>(m_sideCell[r])][static_cast<std::size_t>(m_sideSlot[r])].level = level;
    SideIndex& early = object ? m_earlyObject : m_earlyBackground;
    if (m_earlyCell[r] >= 0 && level < kEarlyLevels)
        early.cells[static_cast<std::size_t>(m_earlyCell[r])][static_cast<std::size_t>(m_earlySlot[r])].level = level;
    else if (m_earlyCell[r] >= 0)
        leave_side(early, m_earlyCell, m_earlySlot, r);
    else if (level < kEarlyLevels)
        enter_side(early, m_earlyCell, m_earlySlot, r, level);
}

// Index of region r's fine cell: for colour (f0 * 32 + f1) * 32 + f2, for
// grey f0 alone.
int Contour::fine_cell_of(int r) const { return m_packed[static_cast<std::size_t>(r) - 1].fine; }

// The means of the n regions with their fine cells, packed.
void Contour::pack_means(int n) {
    m_packed.resize(static_cast<std::size_t>(n));
    constexpr int axis = 16 * kColourFine;
    for (int i = 0; i < n; ++i) {
        PackedMean& packed = m_packed[static_cast<std::size_t>(i)];
        packed.m[0] = mean0[i];
        packed.m[1] = mean1[i];
        packed.m[2] = mean2[i];
        packed.fine = image->color == 0 ? fine_of(mean0[i], kGreyFine)
                                        : (fine_of(mean0[i], kColourFine) * axis + fine_of(mean1[i], kColourFine)) * axis +
                                              fine_of(mean2[i], kColourFine);
    }
    // Counted into place by fine cell, in number order within a cell.
    std::vector<int> start(fine_cell_count(image->color == 0) + 1, 0);
    for (const PackedMean& packed : m_packed) ++start[static_cast<std::size_t>(packed.fine) + 1];
    for (std::size_t cell = 1; cell < start.size(); ++cell) start[cell] += start[cell - 1];
    m_colourOrder.resize(static_cast<std::size_t>(n));
    for (int r = 1; r <= n; ++r) m_colourOrder[static_cast<std::size_t>(start[static_cast<std::size_t>(fine_cell_of(r))]++)] = r;
}

// Both indexes empty, sized for the picture's kind.
void Contour::reset_side_indexes() {
    for (SideIndex* side : {&m_objectSide, &m_backgroundSide, &m_earlyObject, &m_earlyBackground}) reset_index(*side);
    m_objectSide.mark = m_earlyObject.mark = 1;
    m_backgroundSide.mark = m_earlyBackground.mark = -1;
}

// An index empty, sized for the picture's kind.
void Contour::reset_index(SideIndex& side) const {
    const bool grey = image->color == 0;
    const std::size_t coarse = grey ? 16 : 16 * 16 * 16;
    empty_fine_cells(side.cells, side.filled, fine_cell_count(grey));
    side.coarse_count.assign(coarse, 0);
    side.occupied_slot.assign(coarse, -1);
    side.occupied.clear();
    side.count = 0;
}

// Distance from region r to the nearest region of one side: |difference of
// the grey means|, or for colour the sum of the three absolute mean
// differences truncated to an integer; 256 (grey) or 768 (colour) when no
// region is nearer; with `limits.below`, that is the answer when no
// region is nearer than it. The grid is searched in shells of cells around
// r's cell; a shell, or a cell, that cannot hold anything nearer than the
// best distance found is skipped.
int Contour::nearest_distance(const SideIndex& side, int r, int* nearest, SearchLimits limits) const {
    const bool grey = image->color == 0;
    const int below = limits.below;
    float best = below >= 0 ? static_cast<float>(below) : grey ? 256.0f : 768.0f;
    int found = 0;
    struct Report {
        int* out;
        const int& found;
        ~Report() {
            if (out) *out = found;
        }
    } report{nearest, found};
    if (side.count == 0) return static_cast<int>(best);
    const float* mean = m_packed[static_cast<std::size_t>(r) - 1].m;
    const float m[3] = {mean[0], mean[1], mean[2]};
    auto distance = [&](float s0, float s1, float s2) { return distance_between(grey, m, s0, s1, s2, best); };
    // Nothing is nearer than 0, nor than a floor the caller knows: the
    // search ends at a distance that truncates to it.
    const float stop = limits.floor >= 0 ? static_cast<float>(limits.floor) + 1.0f : 0.0f;
    auto done = [&] { return best <= 0.0f || best < stop; };
    // The labelled neighbours of r usually lie close in colour: starting
    // from the nearest of them prunes most cells at once.
    const int mark = side.mark;
    // A further cut of a session searches only the regions of the levels
    // before `limits.before`; the indexes also hold those of later levels.
    const int before = limits.before;
    auto labelled = [&](int s) {
        return before < 0 || (m_level[static_cast<std::size_t>(s)] >= 0 && m_level[static_cast<std::size_t>(s)] < before);
    };
    for (int e = neighbours.start[static_cast<std::size_t>(r)]; e < neighbours.start[static_cast<std::size_t>(r) + 1] && below < 0; ++e) {
        const int s = neighbours.region[static_cast<std::size_t>(e)];
        if (marks[s] == mark && labelled(s)) {
            const float* other = m_packed[static_cast<std::size_t>(s) - 1].m;
            const float d = distance(other[0], other[1], other[2]);
            if (d < best) {
                best = d;
                found = s;
            }
        }
    }
    if (std::isnan(m[0]) || std::isnan(m[1]) || std::isnan(m[2])) return static_cast<int>(best);
    constexpr int n = SideIndex::kCells;
    const int fine = grey ? kGreyFine : kColourFine;
    // The fine cells along one axis that can hold a value within the best
    // distance so far of r's mean: [first, last].
    auto reach = [&](int axis, int& first, int& last) {
        const float radius = best + kRoundingMargin;
        first = fine_of(m[axis] - radius, fine);
        last = fine_of(m[axis] + radius, fine);
    };
    auto scan = [&](const std::vector<SideIndex::Member>& cell) {
        // The distance first: most members are no nearer, a test the
        // branch predictor gets right, and only those kept are truncated.
        auto take = [&](const SideIndex::Member& s, float sum) {
            if (!(sum < best)) return false;
            if (before >= 0 && (s.level >= before || s.until < before)) return false;
            best = grey ? sum : std::trunc(sum);
            found = s.region;
            return done();
        };
        if (!grey) {
            scan_colour(cell.data(), cell.size(), m, [&] { return best; }, take);
            return;
        }
        for (const SideIndex::Member& s : cell)
            if (take(s, distance_sum(true, m, s.m0, s.m1, s.m2))) return;
    };
    auto visit = [&](int i, int j, int k) {
        if (done()) return;
        const int coarse = grey ? i : (i * n + j) * n + k;
        if (side.coarse_count[static_cast<std::size_t>(coarse)] == 0) return;
        const float bound = gap_to_cell(m[0], i) + gap_to_cell(m[1], j) + gap_to_cell(m[2], k);
        if (bound >= best + kRoundingMargin) return;
        int lo0, hi0;
        reach(0, lo0, hi0);
        lo0 = std::max(lo0, i * fine);
        hi0 = std::min(hi0, (i + 1) * fine - 1);
        if (grey) {
            for (int f = lo0; f <= hi0; ++f) {
                if (has_bit(side.filled, f) && gap_to_fine(m[0], f, kGreyFine) < best + kRoundingMargin)
                    scan(side.cells[static_cast<std::size_t>(f)]);
            }
            return;
        }
        int lo1, hi1, lo2, hi2;
        reach(1, lo1, hi1);
        reach(2, lo2, hi2);
        lo1 = std::max(lo1, j * fine);
        hi1 = std::min(hi1, (j + 1) * fine - 1);
        lo2 = std::max(lo2, k * fine);
        hi2 = std::min(hi2, (k + 1) * fine - 1);
        constexpr int axis = 16 * kColourFine;
        for (int f0 = lo0; f0 <= hi0; ++f0) {
            const float g0 = gap_to_fine(m[0], f0, kColourFine);
            if (g0 >= best + kRoundingMargin) continue;
            for (int f1 = lo1; f1 <= hi1; ++f1) {
                const float g1 = g0 + gap_to_fine(m[1], f1, kColourFine);
                if (g1 >= best + kRoundingMargin) continue;
                const int row = (f0 * axis + f1) * axis;
                for (int f2 = lo2; f2 <= hi2; ++f2)
                    if (has_bit(side.filled, row + f2) && g1 + gap_to_fine(m[2], f2, kColourFine) < best + kRoundingMargin)
                        scan(side.cells[static_cast<std::size_t>(row + f2)]);
            }
        }
    };
    // r's own cell first, then either the cells within the best distance so
    // far or, when that box is larger than the list, every occupied cell.
    // The fine cells next to r's mean usually hold the nearest: scanning
    // them first makes every later bound tight.
    if (grey) {
        const int f = fine_of(m[0], kGreyFine);
        for (int g = std::max(0, f - 1); g <= std::min(16 * kGreyFine - 1, f + 1); ++g)
            if (has_bit(side.filled, g) && gap_to_fine(m[0], g, kGreyFine) < best + kRoundingMargin)
                scan(side.cells[static_cast<std::size_t>(g)]);
    } else {
        constexpr int axis = 16 * kColourFine;
        const int f[3] = {fine_of(m[0], kColourFine), fine_of(m[1], kColourFine), fine_of(m[2], kColourFine)};
        // r's own fine cell, then the 26 around it, each while it can still
        // hold something nearer.
        const int own = (f[0] * axis + f[1]) * axis + f[2];
        if (has_bit(side.filled, own)) scan(side.cells[static_cast<std::size_t>(own)]);
        for (int a = std::max(0, f[0] - 1); a <= std::min(axis - 1, f[0] + 1); ++a)
            for (int b = std::max(0, f[1] - 1); b <= std::min(axis - 1, f[1] + 1); ++b)
                for (int c = std::max(0, f[2] - 1); c <= std::min(axis - 1, f[2] + 1); ++c) {
                    const int cell = (a * axis + b) * axis + c;
                    if (cell != own && has_bit(side.filled, cell) &&
                        gap_to_fine(m[0], a, kColourFine) + gap_to_fine(m[1], b, kColourFine) +
                                gap_to_fine(m[2], c, kColourFine) <
                            best + kRoundingMargin)
                        scan(side.cells[static_cast<std::size_t>(cell)]);
                }
    }
    const int q[3] = {cell_of(m[0]), grey ? 0 : cell_of(m[1]), grey ? 0 : cell_of(m[2])};
    visit(q[0], q[1], q[2]);
    // Then shells of cells around r's, nearest first, while a shell can
    // still hold something nearer, or every occupied cell once a shell has
    // more cells than that list.
    for (int shell = 1; shell < n; ++shell) {
        if (done() || (shell - 1) * SideIndex::kCellSize >= best + kRoundingMargin) return static_cast<int>(best);
        const long long surface = grey ? 2 : 24LL * shell * shell + 2;
        if (surface > static_cast<long long>(side.occupied.size())) {
            for (int coarse : side.occupied) {
                const int i = grey ? coarse : coarse / (n * n), j = grey ? 0 : (coarse / n) % n,
                          k = grey ? 0 : coarse % n;
                if (std::max({std::abs(i - q[0]), std::abs(j - q[1]), std::abs(k - q[2])}) >= shell) visit(i, j, k);
            }
            return static_cast<int>(best);
        }
        if (grey) {
            for (int i : {q[0] - shell, q[0] + shell})
                if (i >= 0 && i < n) visit(i, 0, 0);
            continue;
        }
        // The cells at Chebyshev distance `shell`: whole faces where the
        // first offset is on the surface, rims and caps elsewhere.
        for (int di = -shell; di <= shell; ++di) {
            const int i = q[0] + di;
            if (i < 0 || i >= n) continue;
            const bool face = std::abs(di) == shell;
            for (int dj = -shell; dj <= shell; ++dj) {
                const int j = q[1] + dj;
                if (j < 0 || j >= n) continue;
                const int step = face || std::abs(dj) == shell ? 1 : 2 * shell;
                for (int dk = -shell; dk <= shell; dk += step) {
                    const int k = q[2] + dk;
                    if (k >= 0 && k < n) visit(i, j, k);
                }
            }
        }
    }
    return static_cast<int>(best);
}

// The distances of ring region r at `iteration` to both sides. When the
// last cut of the session had r in the ring of the same iteration, and no
// labelled region could change sides in either cut, the labelled regions
// of a side differ from those that cut searched only by the few labelled
// since (m_relabelled, kept in order of their first mean) and by those no
// longer labelled. As long as the region the last search found is still
// labelled on that side, the distance is the last one or that of a region
// labelled since.
void Contour::ring_distances(int r, int iteration) {
    store_ring_distances(r, iteration);
    const RegionMemory& now = m_thisCut.region[static_cast<std::size_t>(r)];
    dist_object = now.distance[0];
    dist_background = now.distance[1];
}

// As ring_distances, into region r's memory of this cut alone: threads may
// store the distances of different regions.
void Contour::store_ring_distances(int r, int iteration) {
    const RegionMemory& last = m_lastCut.valid ? m_lastCut.region[static_cast<std::size_t>(r)] : RegionMemory();
    RegionMemory& now = m_thisCut.region[static_cast<std::size_t>(r)];
    const bool recall = m_lastCut.valid && m_lastCut.all_fixed && m_thisCut.all_fixed && last.ring == iteration;
    const bool grey = image->color == 0;
    int result[2];
    for (int side = 0; side < 2; ++side) {
        const int mark = side == 0 ? 1 : -1;
        const std::vector<SideIndex::Member>& relabelled = m_relabelled[side];
        const int witness = recall ? last.nearest[side] : 0;
        int nearest = 0;
        if (recall && (witness == 0 || marks[witness] == mark)) {
            float best = static_cast<float>(last.distance[side]);
            nearest = witness;
            // The relabelled are in order of their first mean: a region whose
            // first mean alone is at the best distance or further is no
            // nearer, so the scan goes outwards from r's first mean.
            const float m[3] = {mean0[r - 1], mean1[r - 1], mean2[r - 1]};
            const auto start = std::lower_bound(relabelled.begin(), relabelled.end(), m[0],
                                                [](const SideIndex::Member& s, float value) { return s.m0 < value; });
            auto consider = [&](const SideIndex::Member& s) {
                const float d = distance_between(grey, m, s.m0, s.m1, s.m2, best);
                if (d < best) {
                    best = d;
                    nearest = s.region;
                }
            };
            for (auto it = start; it != relabelled.end() && it->m0 - m[0] < best + kRoundingMargin; ++it) consider(*it);
            for (auto it = start; it != relabelled.begin() && m[0] - (it - 1)->m0 < best + kRoundingMargin; --it)
                consider(*(it - 1));
            result[side] = static_cast<int>(best);
        } else {
            result[side] = nearest_distance(side == 0 ? m_objectSide : m_backgroundSide, r, &nearest);
        }
        now.distance[side] = result[side];
        now.nearest[side] = nearest;
    }
}

// A new cut of the session: nothing found yet.
void Contour::start_memory(int n) {
    const std::size_t size = static_cast<std::size_t>(n) + 1;
    m_thisCut.region.assign(size, RegionMemory());
    for (int side = 0; side < 2; ++side) m_relabelled[side].clear();
    m_thisCut.all_fixed = std::all_of(m_fixed.begin() + 1, m_fixed.end(), [](std::uint8_t f) { return f != 0; });
    // The next cut of the session may be made from this one.
    if (m_thisCut.all_fixed) reset_joined_indexes();
    m_thisCut.valid = false;
}

// Region r was labelled `mark` after the cut of `iteration` (0: seeded).
// It is among the relabelled of its side while the last cut had not
// labelled it so by then.
void Contour::note_labelled(int r, int mark, int iteration) {
    m_thisCut.region[static_cast<std::size_t>(r)].labelled = iteration;
    if (!m_lastCut.valid) return;
    const RegionMemory& last = m_lastCut.region[static_cast<std::size_t>(r)];
    const int before = last.labelled;
    // A region whose means are not numbers is never the nearest.
    if (std::isnan(mean0[r - 1]) || std::isnan(mean1[r - 1]) || std::isnan(mean2[r - 1])) return;
    if (last.mark != mark || before < 0 || before > iteration)
        m_relabelled[mark == 1 ? 0 : 1].push_back({mean0[r - 1], mean1[r - 1], mean2[r - 1], r});
}

// Before the graph of `iteration`: regions the last cut had labelled the
// same way by now are no longer new.
void Contour::forget_relabelled(int iteration) {
    for (int side = 0; side < 2; ++side) {
        const int mark = side == 0 ? 1 : -1;
        std::vector<SideIndex::Member>& relabelled = m_relabelled[side];
        relabelled.erase(std::remove_if(relabelled.begin(), relabelled.end(),
                                        [&](const SideIndex::Member& member) {
                                            const RegionMemory& last =
                                                m_lastCut.region[static_cast<std::size_t>(member.region)];
                                            return last.mark == mark && last.labelled >= 0 &&
                                                   last.labelled < iteration;
                                        }),
                         relabelled.end());
        std::sort(relabelled.begin(), relabelled.end(),
                  [](const SideIndex::Member& a, const SideIndex::Member& b) { return a.m0 < b.m0; });
    }
}

Contour::RingDistances Contour::ring_distances_of(int r) const {
    if (!m_lastCut.valid || r < 1 || static_cast<std::size_t>(r) >= m_lastCut.region.size()) return {};
    const RegionMemory& memory = m_lastCut.region[static_cast<std::size_t>(r)];
    return {memory.labelled, memory.distance[0], memory.distance[1]};
}

void Contour::DistancesToLabelled(int r) {
    dist_object = nearest_distance(m_objectSide, r);
    dist_background = nearest_distance(m_backgroundSide, r);
}

