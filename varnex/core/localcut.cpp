// The localized graph cut and the data it owns: the marks, the seed map,
// the nearest-region indexes and the neighbour capacity cache; band growth
// from the seeded regions, one minimum cut per ring, the result image.
#include <varnex/contour.h>

#include "core/contour_p.h"

#include <kalvio/message.h>
#include <kalvio/trace.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

using contour_detail::free_int_map;
using contour_detail::make_int_map;

namespace {

// Largest neighbour capacity handed to the graph: far beyond any capacity a
// sensible parameter gives, and low enough that flows cannot overflow.
constexpr float kMaxCapacity = 1073741824.0f;


// Grid cell index of a mean value along one axis.
int cell_of(float value) {
    if (!(value >= 0.0f)) return 0;
    const int cell = static_cast<int>(value / 16.0f);
    return cell < 15 ? cell : 15;
}

// Distance from `value` to the span of cell `cell` along one axis; the
// border cells reach to infinity, since they hold the values beyond.
float gap_to_cell(float value, int cell) {
    const float low = cell == 0 ? -std::numeric_limits<float>::infinity() : 16.0f * cell;
    const float high = cell == 15 ? std::numeric_limits<float>::infinity() : 16.0f * (cell + 1);
    if (value < low) return low - value;
    if (value > high) return value - high;
    return 0.0f;
}

// Fine cells per coarse cell along each axis: colour means in steps of 4
// grey levels, grey means in steps of 1 along the first axis.
constexpr int kColourFine = 4;
constexpr int kGreyFine = 16;

// Fine cell index of a mean value along one axis: `fine` cells per coarse
// cell, the border cells taking the values beyond.
int fine_of(float value, int fine) {
    if (!(value >= 0.0f)) return 0;
    const int last = 16 * fine - 1;
    const int cell = static_cast<int>(value * static_cast<float>(fine) / 16.0f);
    return cell < last ? cell : last;
}

// Distance from `value` to the span of fine cell `cell` of `fine` per
// coarse cell.
float gap_to_fine(float value, int cell, int fine) {
    const float width = 16.0f / static_cast<float>(fine);
    const int last = 16 * fine - 1;
    const float low = cell == 0 ? -std::numeric_limits<float>::infinity() : width * static_cast<float>(cell);
    const float high = cell == last ? std::numeric_limits<float>::infinity() : width * static_cast<float>(cell + 1);
    if (value < low) return low - value;
    if (value > high) return value - high;
    return 0.0f;
}

// Coarse cell (i * 16 + j) * 16 + k of a fine cell index.
int coarse_of_fine(int index, bool grey) {
    if (grey) return index / kGreyFine;
    constexpr int axis = 16 * kColourFine;
    const int f2 = index % axis, f1 = (index / axis) % axis, f0 = index / (axis * axis);
    return ((f0 / kColourFine) * 16 + f1 / kColourFine) * 16 + f2 / kColourFine;
}

// Float rounding makes a computed distance fall short of the exact one by
// far less than this; cells are skipped only beyond it.
constexpr float kRoundingMargin = 0.01f;

}  // namespace

// Moves region r to another mark, keeping the per-side indexes of labelled
// regions (those the distance searches look at) in step.
void Contour::set_mark(int r, int mark) {
    const int old = marks[r];
    if (old == mark) return;
    const bool grey = image->color == 0;
    if (m_sideCell[r] >= 0) {
        SideIndex& side = old == 1 ? m_objectSide : m_backgroundSide;
        std::vector<SideIndex::Member>& cell = side.cells[static_cast<std::size_t>(m_sideCell[r])];
        const int moved = cell.back().region;
        cell[static_cast<std::size_t>(m_sideSlot[r])] = cell.back();
        m_sideSlot[moved] = m_sideSlot[r];
        cell.pop_back();
        if (cell.empty()) side.filled[static_cast<std::size_t>(m_sideCell[r]) >> 6] &= ~(1ULL << (m_sideCell[r] & 63));
        side.leave(coarse_of_fine(m_sideCell[r], grey));
        m_sideCell[r] = -1;
    }
    marks[r] = mark;
    if (mark != 1 && mark != -1) return;
    // A region whose mean is not a number is never the nearest one.
    const float m0 = mean0[r - 1], m1 = mean1[r - 1], m2 = mean2[r - 1];
    if (std::isnan(m0) || std::isnan(m1) || std::isnan(m2)) return;
    SideIndex& side = mark == 1 ? m_objectSide : m_backgroundSide;
    const int index = fine_cell_of(r);
    std::vector<SideIndex::Member>& cell = side.cells[static_cast<std::size_t>(index)];
    m_sideCell[r] = index;
    m_sideSlot[r] = static_cast<int>(cell.size());
    cell.push_back({m0, m1, m2, r});
    side.filled[static_cast<std::size_t>(index) >> 6] |= 1ULL << (index & 63);
    side.enter(coarse_of_fine(index, grey));
}

// Index of region r's fine cell: for colour (f0 * 64 + f1) * 64 + f2, for
// grey f0 alone.
int Contour::fine_cell_of(int r) const {
    if (image->color == 0) return fine_of(mean0[r - 1], kGreyFine);
    constexpr int axis = 16 * kColourFine;
    return (fine_of(mean0[r - 1], kColourFine) * axis + fine_of(mean1[r - 1], kColourFine)) * axis +
           fine_of(mean2[r - 1], kColourFine);
}

// Both indexes empty, sized for the picture's kind.
void Contour::reset_side_indexes() {
    const bool grey = image->color == 0;
    const std::size_t fine = grey ? 16 * kGreyFine : static_cast<std::size_t>(16 * kColourFine) * (16 * kColourFine) * (16 * kColourFine);
    const std::size_t coarse = grey ? 16 : 16 * 16 * 16;
    for (SideIndex* side : {&m_objectSide, &m_backgroundSide}) {
        if (side->cells.size() != fine) {
            side->cells.assign(fine, {});
        } else {
            for (std::vector<SideIndex::Member>& cell : side->cells) cell.clear();
        }
        side->filled.assign((fine + 63) / 64, 0);
        side->coarse_count.assign(coarse, 0);
        side->occupied_slot.assign(coarse, -1);
        side->occupied.clear();
        side->count = 0;
    }
}

// Distance from region r to the nearest region of one side: |difference of
// the grey means|, or for colour the sum of the three absolute mean
// differences truncated to an integer; 256 (grey) or 768 (colour) when no
// region is nearer. The grid is searched in shells of cells around r's
// cell; a shell, or a cell, that cannot hold anything nearer than the best
// distance found is skipped.
int Contour::nearest_distance(const SideIndex& side, int r) const {
    const bool grey = image->color == 0;
    float best = grey ? 256.0f : 768.0f;
    if (side.count == 0) return static_cast<int>(best);
    const float m[3] = {mean0[r - 1], mean1[r - 1], mean2[r - 1]};
    auto distance = [&](float s0, float s1, float s2) {
        if (grey) return std::fabs(s0 - m[0]);
        const float sum = std::fabs(s0 - m[0]) + std::fabs(s1 - m[1]) + std::fabs(s2 - m[2]);
        // Truncated toward zero; a sum that is not below the bound (or not a
        // number) never replaces it.
        return sum < best ? std::trunc(sum) : best;
    };
    // The labelled neighbours of r usually lie close in colour: starting
    // from the nearest of them prunes most cells at once.
    const int mark = &side == &m_objectSide ? 1 : -1;
    const SeqList<int>* around = neighbours.GetAt(r);
    for (int e = 2; e <= around->GetCount(); ++e) {
        const int s = around->GetAt(e);
        if (marks[s] == mark) {
            const float d = distance(mean0[s - 1], mean1[s - 1], mean2[s - 1]);
            if (d < best) best = d;
        }
    }
    if (std::isnan(m[0]) || std::isnan(m[1]) || std::isnan(m[2])) return static_cast<int>(best);
    constexpr int n = SideIndex::kCells;
    const int fine = grey ? kGreyFine : kColourFine;
    // The cells along one axis that can hold a value within the best
    // distance so far of r's mean: [first, last] of `per` cells per coarse.
    auto reach = [&](int axis, int per, int& first, int& last) {
        const float radius = best + kRoundingMargin;
        first = fine_of(m[axis] - radius, per);
        last = fine_of(m[axis] + radius, per);
    };
    auto scan = [&](const std::vector<SideIndex::Member>& cell) {
        for (const SideIndex::Member& s : cell) {
            const float d = distance(s.m0, s.m1, s.m2);
            if (d < best) {
                best = d;
                if (best <= 0.0f) return;
            }
        }
    };
    auto visit = [&](int i, int j, int k) {
        if (best <= 0.0f) return;  // nothing is nearer than 0
        const int coarse = grey ? i : (i * n + j) * n + k;
        if (side.coarse_count[static_cast<std::size_t>(coarse)] == 0) return;
        const float bound = gap_to_cell(m[0], i) + gap_to_cell(m[1], j) + gap_to_cell(m[2], k);
        if (bound >= best + kRoundingMargin) return;
        int lo0, hi0;
        reach(0, fine, lo0, hi0);
        lo0 = std::max(lo0, i * fine);
        hi0 = std::min(hi0, (i + 1) * fine - 1);
        if (grey) {
            for (int f = lo0; f <= hi0; ++f) {
                if (side.has(f) && gap_to_fine(m[0], f, kGreyFine) < best + kRoundingMargin)
                    scan(side.cells[static_cast<std::size_t>(f)]);
            }
            return;
        }
        int lo1, hi1, lo2, hi2;
        reach(1, fine, lo1, hi1);
        reach(2, fine, lo2, hi2);
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
                    if (side.has(row + f2) && g1 + gap_to_fine(m[2], f2, kColourFine) < best + kRoundingMargin)
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
            if (side.has(g) && gap_to_fine(m[0], g, kGreyFine) < best + kRoundingMargin)
                scan(side.cells[static_cast<std::size_t>(g)]);
    } else {
        constexpr int axis = 16 * kColourFine;
        const int f[3] = {fine_of(m[0], kColourFine), fine_of(m[1], kColourFine), fine_of(m[2], kColourFine)};
        // r's own fine cell, then the 26 around it, each while it can still
        // hold something nearer.
        const int own = (f[0] * axis + f[1]) * axis + f[2];
        if (side.has(own)) scan(side.cells[static_cast<std::size_t>(own)]);
        for (int a = std::max(0, f[0] - 1); a <= std::min(axis - 1, f[0] + 1); ++a)
            for (int b = std::max(0, f[1] - 1); b <= std::min(axis - 1, f[1] + 1); ++b)
                for (int c = std::max(0, f[2] - 1); c <= std::min(axis - 1, f[2] + 1); ++c) {
                    const int cell = (a * axis + b) * axis + c;
                    if (cell != own && side.has(cell) &&
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
        if ((shell - 1) * SideIndex::kCellSize >= best + kRoundingMargin) return static_cast<int>(best);
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

void Contour::DistancesToLabelled(int r) {
    dist_object = nearest_distance(m_objectSide, r);
    dist_background = nearest_distance(m_backgroundSide, r);
}

// Capacity of the edge between region a and entry `entry` (0-based, after
// a itself) of its lower-neighbour list, computed once per pair and run.
int Contour::neighbour_capacity(int a, int entry) {
    int& capacity = m_lowerCapacity[a][static_cast<std::size_t>(entry)];
    float& pair_weight = m_lowerWeight[a][static_cast<std::size_t>(entry)];
    if (capacity < 0) {
        const int b = lower_neighbours.GetAt(a)->GetAt(entry + 2);
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
    weight = pair_weight;
    return capacity;
}

// The per-region bookkeeping of the cut loop: the marks, the nearest-region
// indexes of both sides and the cache of neighbour capacities.
void Contour::prepare_run_tables(int n) {
    marks = new int[static_cast<std::size_t>(n) + 1]();
    m_sideCell.assign(static_cast<std::size_t>(n) + 1, -1);
    m_sideSlot.assign(static_cast<std::size_t>(n) + 1, 0);
    reset_side_indexes();
    m_fCapacityScale = parameter;
    m_lowerCapacity.assign(static_cast<std::size_t>(n) + 1, {});
    m_lowerWeight.assign(static_cast<std::size_t>(n) + 1, {});
    for (int r = 1; r <= n; ++r) {
        const std::size_t entries = static_cast<std::size_t>(lower_neighbours.GetAt(r)->GetCount() - 1);
        m_lowerCapacity[r].assign(entries, -1);
        m_lowerWeight[r].assign(entries, 0.0f);
    }
}

void Contour::BuildGraph() {
    free_int_map(seed_map);
    seed_map = image ? make_int_map(image->height, image->width) : nullptr;
    KALVIO_TRACE("finish BuildGraph\n");
}

void Contour::LocalGraphCut() {
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
        delete result;
        result = nullptr;
        AfxMessageBox("Not enough memory for " + std::to_string(n) + " regions of the region map " + path,
                      MB_ICONSTOP);
    }
    object_regions.RemoveAll();
    background_regions.RemoveAll();
    free_int_map(label_map);
    label_map = nullptr;
}

bool Contour::cut_again(std::vector<std::uint8_t>& seed_kinds) {
    m_nCuts = 0;
    const int n = regions.GetCount();
    if (!label_map || !marks || n == 0) return false;
    try {
        if (!m_bMeasured) measure_picture();
        clear_marks(n);
        seed_regions_sparse(n, seed_kinds);
        cut_rings(n);
    } catch (const std::bad_alloc&) {
        delete graph;
        graph = nullptr;
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
    reset_side_indexes();
    if (!(parameter == m_fCapacityScale) || std::isnan(parameter)) {
        for (std::vector<int>& capacities : m_lowerCapacity) std::fill(capacities.begin(), capacities.end(), -1);
        m_fCapacityScale = parameter;
    }
}

// seed_regions without a full seed map: the seeds mark a byte map, only
// the regions that hold a seed are searched for their first seeded pixel
// in fill order, and the bytes are cleared again. Labels as seed_regions.
void Contour::seed_regions_sparse(int n, std::vector<std::uint8_t>& seed_kinds) {
    const int width = image->width, height = image->height;
    std::vector<int> seeded;
    auto mark = [&](const SeqList<CPoint>& seeds, std::uint8_t kind) {
        for (int i = 1; i <= seeds.GetCount(); ++i) {
            const CPoint p = seeds.GetAt(i);
            if (p.x < 0 || p.x >= width || p.y < 0 || p.y >= height) continue;
            seed_kinds[static_cast<std::size_t>(p.y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(p.x)] = kind;
            seeded.push_back(label_map[p.y][p.x]);
        }
    };
    mark(object_seeds, 1);
    mark(background_seeds, 2);
    std::sort(seeded.begin(), seeded.end());
    seeded.erase(std::unique(seeded.begin(), seeded.end()), seeded.end());
    for (int r : seeded) {
        if (r < 1 || r > n) continue;
        const SeqList<CPoint>* pixels = regions.GetAt(r);
        const CPoint* p = pixels->data();
        int kind = 0;
        for (int i = 0; i < pixels->GetCount() && !kind; ++i)
            kind = seed_kinds[static_cast<std::size_t>(p[i].y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(p[i].x)];
        if (kind == 1) object_regions.Add(r);
        else if (kind == 2) background_regions.Add(r);
    }
    for (const SeqList<CPoint>* seeds : {&object_seeds, &background_seeds})
        for (int i = 1; i <= seeds->GetCount(); ++i) {
            const CPoint p = seeds->GetAt(i);
            if (p.x >= 0 && p.x < width && p.y >= 0 && p.y < height)
                seed_kinds[static_cast<std::size_t>(p.y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(p.x)] = 0;
        }
    for (int i = 1; i <= object_regions.GetCount(); ++i) set_mark(object_regions.GetAt(i), 1);
    for (int i = 1; i <= background_regions.GetCount(); ++i) set_mark(background_regions.GetAt(i), -1);
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
    auto intensity = [&](const float* row, int x) {
        if (!colour) return static_cast<double>(row[x]);
        return 0.3 * row[3 * x] + 0.6 * row[3 * x + 1] + 0.1 * row[3 * x + 2];
    };
    double sum = 0.0;
    for (int y = 1; y <= height - 2; ++y)
        for (int x = 1; x <= width - 2; ++x) sum += intensity(image->data[y], x);
    m_dMean = sum / static_cast<double>(interior);
    double spread = 0.0;
    for (int y = 1; y <= height - 2; ++y)
        for (int x = 1; x <= width - 2; ++x) {
            // A colour intensity is rounded to a float before its deviation
            // is taken.
            const double value = colour ? static_cast<double>(static_cast<float>(intensity(image->data[y], x)))
                                        : intensity(image->data[y], x);
            spread += (value - m_dMean) * (value - m_dMean);
        }
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
    for (int r = 1; r <= n; ++r) {
        const SeqList<CPoint>* pixels = regions.GetAt(r);
        const CPoint* p = pixels->data();
        int kind = 0;
        for (int i = 0; i < pixels->GetCount() && !kind; ++i) kind = seed_map[p[i].y][p[i].x];
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
// cannot reach the sink) are the same as with the whole graph, while each
// iteration's graph is only the ring and the labelled regions that a cut
// could still move.
void Contour::cut_rings(int n) {
    SeqStack<int> margin, active;
    for (int i = 1; i <= object_regions.GetCount(); ++i) margin.Push(object_regions.GetAt(i));
    for (int i = 1; i <= background_regions.GetCount(); ++i) margin.Push(background_regions.GetAt(i));

    find_fixed_regions(n);
    // One graph serves every iteration: reset keeps its arrays, so the
    // loop does not reallocate once they have grown to the largest ring.
    std::vector<int> local_position(static_cast<std::size_t>(n) + 1, 0);
    std::vector<int> local_region(static_cast<std::size_t>(n) + 1, 0);
    std::vector<int> movable;  // labelled regions a cut could still move
    for (const SeqList<int>* seeded : {&object_regions, &background_regions})
        for (int i = 1; i <= seeded->GetCount(); ++i)
            if (!m_fixed[static_cast<std::size_t>(seeded->GetAt(i))]) movable.push_back(seeded->GetAt(i));
    std::vector<int> nodes;
    if (!graph) graph = new Graph<int, int, int>(n + 1, 3 * n);

    while (!margin.IsEmpty()) {
        // Band growth: the unlabelled neighbours of the last ring.
        nodes = movable;
        while (!margin.IsEmpty()) active.Push(margin.Pop());
        while (!active.IsEmpty()) {
            const int r = active.Pop();
            const SeqList<int>* list = neighbours.GetAt(r);
            for (int e = 2; e <= list->GetCount(); ++e) {
                const int other = list->GetAt(e);
                if (marks[other] == 0) {
                    margin.Push(other);
                    set_mark(other, 2);
                    nodes.push_back(other);
                }
            }
        }
        std::sort(nodes.begin(), nodes.end());
        const int m = build_ring_graph(nodes, local_position, local_region);
        graph->maxflow(false, nullptr);
        KALVIO_TRACE("finish maxflow\n");
        ++m_nCuts;
        // A node on neither side counts as object.
        movable.clear();
        for (int k = 1; k <= m; ++k) {
            const int r = local_region[k];
            set_mark(r, graph->segment_of(k, Graph<int, int, int>::SOURCE) == Graph<int, int, int>::SOURCE ? 1 : -1);
            local_position[r] = 0;
            if (!m_fixed[static_cast<std::size_t>(r)]) movable.push_back(r);
        }
    }
    // A session cuts the same regions again: its graph keeps its arrays.
    if (!m_bKeepGraph) {
        delete graph;
        graph = nullptr;
    }
    if (m_nCuts > 0) note_last_weight(n);
}

// Marks the regions whose label no cut can change once they are labelled:
// a seed capacity of 800 per neighbour-list entry against at most the
// largest neighbour capacity on each edge (the weights are at most 1).
void Contour::find_fixed_regions(int n) {
    if (m_upper.size() != static_cast<std::size_t>(n) + 1) {
        // Per region b, every (a, entry) with b at that entry of a's lower
        // list: the edges a graph node has towards higher regions.
        m_upper.assign(static_cast<std::size_t>(n) + 1, {});
        for (int a = 1; a <= n; ++a) {
            const SeqList<int>* lower = lower_neighbours.GetAt(a);
            for (int e = 2; e <= lower->GetCount(); ++e)
                m_upper[static_cast<std::size_t>(lower->GetAt(e))].push_back({a, e - 2});
        }
    }
    const float scale = std::isfinite(parameter) && parameter > 0.0f ? parameter : 0.0f;
    const long long largest = scale >= kMaxCapacity ? static_cast<long long>(kMaxCapacity) : static_cast<long long>(scale);
    m_fixed.assign(static_cast<std::size_t>(n) + 1, 0);
    for (int r = 1; r <= n; ++r) {
        const long long edges = lower_neighbours.GetAt(r)->GetCount() - 1 +
                                static_cast<long long>(m_upper[static_cast<std::size_t>(r)].size());
        m_fixed[static_cast<std::size_t>(r)] = seed_capacity(r) > 1 + edges * largest ? 1 : 0;
    }
}

int Contour::seed_capacity(int r) const {
    const long long degree = neighbours.GetAt(r)->GetCount();
    return static_cast<int>(std::min<long long>(800 * degree, std::numeric_limits<int>::max() / 4));
}

// `weight` ends as the weight of the last pair the whole graph of the last
// iteration would have tied: the last lower entry of the highest region
// among those reached.
void Contour::note_last_weight(int n) {
    for (int a = n; a >= 1; --a) {
        if (marks[a] == 0) continue;
        const SeqList<int>* lower = lower_neighbours.GetAt(a);
        for (int e = lower->GetCount(); e >= 2; --e)
            if (marks[lower->GetAt(e)] != 0) {
                neighbour_capacity(a, e - 2);
                return;
            }
    }
}

// The graph of one iteration: a node for every region of `nodes` (the
// ring and the movable labelled regions, in region order), seed capacities
// for the labelled ones, distance capacities for the ring, and neighbour
// capacities between them. An edge to a fixed labelled region adds to the
// node's capacity towards that region's side. Returns the number of region
// nodes; local_region maps a node to its region.
int Contour::build_ring_graph(const std::vector<int>& nodes, std::vector<int>& local_position,
                              std::vector<int>& local_region) {
    int m = 0;
    for (int r : nodes) {
        local_position[r] = ++m;
        local_region[m] = r;
    }
    graph->reset();
    for (int k = 0; k <= m; ++k) graph->add_node(1);

    constexpr long long kLargestTerminal = std::numeric_limits<int>::max() / 4;
    for (int k = 1; k <= m; ++k) {
        const int r = local_region[k];
        long long to_source = 0, to_sink = 0;
        if (marks[r] == 1) {
            to_source = seed_capacity(r);
            to_sink = 1;
        } else if (marks[r] == -1) {
            to_source = 1;
            to_sink = seed_capacity(r);
        } else {
            DistancesToLabelled(r);
            to_source = std::abs(dist_background);
            to_sink = std::abs(dist_object);
        }
        auto merge_fixed = [&](int other, int c) {
            (marks[other] == 1 ? to_source : to_sink) += c;
        };
        const SeqList<int>* lower = lower_neighbours.GetAt(r);
        for (int e = 2; e <= lower->GetCount(); ++e) {
            const int b = lower->GetAt(e);
            if (marks[b] != 0 && local_position[b] == 0) merge_fixed(b, neighbour_capacity(r, e - 2));
        }
        for (const auto& [a, entry] : m_upper[static_cast<std::size_t>(r)])
            if (marks[a] != 0 && local_position[a] == 0) merge_fixed(a, neighbour_capacity(a, entry));
        graph->add_terminal_caps(k, static_cast<int>(std::min(to_source, kLargestTerminal)),
                                 static_cast<int>(std::min(to_sink, kLargestTerminal)));
    }

    for (int k = 1; k <= m; ++k) {
        const int a = local_region[k];
        const SeqList<int>* lower = lower_neighbours.GetAt(a);
        for (int e = 2; e <= lower->GetCount(); ++e) {
            const int b = lower->GetAt(e);
            if (marks[b] == 0 || local_position[b] == 0) continue;
            const int c = neighbour_capacity(a, e - 2);
            graph->add_edge(k, local_position[b], c, c);
        }
    }
    return m;
}

// The object in the picture's colours on white. A grey picture whose
// samples are not bytes shows its object through `result_levels`, when
// set, so that the result looks like the picture as it is shown.
void Contour::paint_result(int n) {
    delete result;
    result = nullptr;
    result = new MyImage(image->height, image->width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    if (!result->data) throw std::bad_alloc();
    for (int r = 1; r <= n; ++r) paint_region(r, marks[r] == 1);
}

// Region r's pixels of `result`: the picture's colours (or its display
// levels) for the object, white otherwise.
void Contour::paint_region(int r, bool object) {
    const bool colour = image->color == 1;
    const bool through_table = !colour && result_levels.lut && image->datatype != KALVIO_TYPE_UINT8;
    const SeqList<CPoint>* pixels = regions.GetAt(r);
    const CPoint* p = pixels->data();
    for (int i = 0; i < pixels->GetCount(); ++i) {
        float* out = &result->data[p[i].y][3 * p[i].x];
        if (!object) {
            out[0] = out[1] = out[2] = 255.0f;
        } else if (colour) {
            const float* in = &image->data[p[i].y][3 * p[i].x];
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
        } else {
            const float value = image->data[p[i].y][p[i].x];
            out[0] = out[1] = out[2] = through_table ? static_cast<float>(result_levels.LevelOf(value)) : value;
        }
    }
}

void Contour::release_cut_tables() {
    delete[] marks;
    marks = nullptr;
    m_objectSide = SideIndex();
    m_backgroundSide = SideIndex();
    m_sideCell.clear();
    m_sideSlot.clear();
    m_lowerCapacity.clear();
    m_lowerWeight.clear();
    m_upper.clear();
    m_fixed.clear();
    delete graph;
    graph = nullptr;
    m_bMeasured = false;
}

void Contour::ReleaseRunData() {
    delete result;
    result = nullptr;
    free_int_map(seed_map);
    seed_map = nullptr;
    release_tables(lower_neighbours);
    release_tables(neighbours);
    // A run stopped before its cut leaves these behind.
    object_regions.RemoveAll();
    background_regions.RemoveAll();
    free_int_map(label_map);
    label_map = nullptr;
}
