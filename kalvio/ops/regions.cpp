// Region maps: a picture cut into small compact regions that follow its
// edges, by a marker-controlled compact watershed (after Neubert and
// Protzel, "Compact watershed and preemptive SLIC", ICPR 2014).
//
// 1. Cost. Each channel is smoothed with the recursive Gaussian at kSigma;
//    a pixel's cost is the largest over the channels of the magnitude of
//    the central differences (one-sided at the border), in grey levels per
//    pixel of the picture stretched onto 0..255 from its range (so 8-bit,
//    16-bit and float pictures behave alike), quantised to 1/kStepsPerGrey
//    grey level.
// 2. Markers. The picture is divided into a grid of cells of about
//    `region_size` pixels, spacing S = sqrt(region_size); each cell has one
//    marker, at its centre moved to the lowest cost among the 3 x 3 pixels
//    around it that lie in the cell (as SLIC places its centres): markers
//    keep off edges, and no two share a pixel.
// 3. Flood. From all markers at once, in 4-connectivity, in order of the
//    priority cost + kCompactness * d / S (in grey levels; d is the
//    Euclidean distance from the pixel to the marker of the region reaching
//    it): Meyer's flooding with a hierarchical queue of quantised
//    priorities. A pixel joins the region of the first neighbour that
//    reaches it and enters the queue once, at its priority or at the level
//    being flooded when that is higher; each level is first in, first out,
//    so ties are settled by arrival. O(pixels + levels).
//
// In flat parts only the distance counts, and the regions are the cells of
// the markers' Voronoi diagram, near-square blobs on the grid; an edge
// stops a marker's flood where it is stronger than the distance term it
// would save, so boundaries settle on edges. The smoothed gradient alone
// cannot place a boundary on the right side of a sharp step, though: its
// ridge is two pixels wide and, at corners, lower outside than inside. So a
// region reaches across a colour step of more than kStepGrey grey levels
// between two neighbours only kWaitGrey grey levels of priority after it
// could have, by when a region on the far side has normally claimed the
// pixel; flat shapes larger than a region then keep their edges exactly.
//
// Every region grows from its marker through 4-neighbours, so it is
// 4-connected, and the grid of pixels is connected, so every pixel is
// reached. A region's colour is its label times an odd constant modulo
// 2^24: a bijection of the 24-bit colours that gives neighbouring labels
// distant colours.
//
// The flood runs tile by tile (see flood_tile), and repair() joins the
// rare pieces this leaves. Memory: besides the picture and the result, a
// 16-bit word a pixel (cost and flags) and small tables per region; the
// result's own pixel array first holds the channels while they are
// smoothed, then the colours.
#include "ops/bands_p.h"
// The filter kernels' header and the vector helpers both name a constant
#include "ops/gaussian_kernels_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"
#include "ops/vector_math_p.h"

#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

using namespace kalvio::detail;

namespace {

// Scale of the smoothing before the differences, in pixels.
constexpr float kSigma = 1.0f;
// Weight of the distance to the marker: the priority rises by this many
// grey levels per grid spacing travelled. Edges of a few tens of grey
// levels bound the regions; weaker texture bends them little.
constexpr float kCompactness = 10.0f;
// Quantisation: priority steps per grey level, and the levels of the queue
// (higher priorities go to the last level).
constexpr float kStepsPerGrey = 8.0f;
constexpr int kLevels = 1 << 12;
// A colour step: more than kStepGrey grey levels between 4-neighbours in
// any channel of the picture stretched onto 0..255. A region reaches across
// one kWaitGrey grey levels of priority late.
constexpr float kStepGrey = 32.0f;
constexpr float kWaitGrey = 64.0f;
constexpr int kWaitSteps = static_cast<int>(kWaitGrey * kStepsPerGrey);

// The 16-bit word kept per pixel: the cost in the low 12 bits, flags for a
// colour step to the pixel on the right and to the one below; during repair
// (see there) a pixel reached from its marker and a stray one; during a
// window's flood, a pixel that has waited to reach across a step.
constexpr std::uint16_t kCostBits = kLevels - 1;
constexpr std::uint16_t kRightStep = 1 << 12;
constexpr std::uint16_t kDownStep = 1 << 13;
constexpr std::uint16_t kReached = 1 << 14;
constexpr std::uint16_t kStray = 1 << 15;
constexpr std::uint16_t kWaited = 1 << 14;

// The most regions a map can have: one colour each.
constexpr std::int64_t kMostRegions = std::int64_t{1} << 24;
// Spreads labels over the 24-bit colours (odd, so a bijection modulo 2^24),
// and its inverse, which reads a label back from a colour.
constexpr std::uint32_t kSpread = 0x9E3779u;
constexpr std::uint32_t inverse_of(std::uint32_t odd) {
    std::uint32_t x = odd;  // right in the lowest 3 bits; each step doubles them
    for (int i = 0; i < 5; ++i) x *= 2u - odd * x;
    return x;
}
constexpr std::uint32_t kUnspread = inverse_of(kSpread) & 0xFFFFFFu;
static_assert(((kSpread * kUnspread) & 0xFFFFFFu) == 1u);

// ---------------------------------------------------------------------------
// The grid of markers

// rows x cols cells; `spacing` is the side of a square of a cell's area.
struct Grid {
    int rows = 1, cols = 1;
    double spacing = 1.0;
};

int rounded_count(double v, int most) {
    const double r = std::floor(v + 0.5);
    return r < 1.0 ? 1 : r > most ? most : static_cast<int>(r);
}

// Cells of about `size` pixels: along the shorter side round(side /
// sqrt(size)) cells, along the longer side as many as make the count pixels
// / size, so that thin pictures get cells of the right area too.
Grid grid_of(int rows, int cols, double size) {
    const double pixels = static_cast<double>(pixels_of(rows, cols));
    const double side = std::sqrt(size);
    Grid g;
    if (rows <= cols) {
        g.rows = rounded_count(rows / side, rows);
        g.cols = rounded_count(pixels / size / g.rows, cols);
    } else {
        g.cols = rounded_count(cols / side, cols);
        g.rows = rounded_count(pixels / size / g.cols, rows);
    }
    g.spacing = std::sqrt(pixels / (static_cast<double>(g.rows) * g.cols));
    return g;
}

// The grid for `region_size`, the size raised as far as needed to keep the
// region count within the colours.
Grid capped_grid(int rows, int cols, int region_size) {
    double size = region_size;
    Grid g = grid_of(rows, cols, size);
    while (static_cast<std::int64_t>(g.rows) * g.cols > kMostRegions) {
        size *= 1.01;
        g = grid_of(rows, cols, size);
    }
    return g;
}

// First pixel of cell i of `cells` along a side of `size` pixels.
int cell_start(int size, int cells, int i) { return static_cast<int>(static_cast<std::int64_t>(size) * i / cells); }

// ---------------------------------------------------------------------------
// Smoothing

// The smoothed channels, one plane each, and what turns their differences
// into costs.
struct Planes {
    std::unique_ptr<float*[]> row_table;  // every plane's rows, plane after plane
    const float* const* rows[3] = {};
    int count = 0, nrows = 0, ncols = 0;
    float stretch = 1.0f;  // grey levels of 0..255 per unit of the picture
    float unit = 1.0f;     // cost steps per unit of central difference
};

// Smooths a plane of `rows` rows (`row`: their pointers) of `cols` floats
// in place with the recursive Gaussian, along x, then along y: the filters
// of smooth_image, run where the plane lies rather than into a new image,
// which spares a picture's worth of new memory. Lines are independent, so
// the threads take pieces of them in turn with the same bits.
bool smooth_plane(float* const* row, int rows, int cols, const Coefficients& k) {
    const int threads = band_threads(pixels_of(rows, cols));
    const bool stream = pixels_of(rows, cols) > kStreamPixels;
    return run_in_pieces(rows, kRowPiece, threads,
                         [&](int r0, int r1) {
                             return filter_along_rows(k, row + r0, row + r0, r1 - r0, cols, false, stream);
                         }) &&
           run_in_pieces(cols, kColumnPiece, threads,
                         [&](int c0, int c1) { return filter_columns(k, row, row, rows, c0, c1, false); });
}

// Gain of the smoothing filter on a constant line (the recursive pair does
// not keep the mean), so that costs come out in grey levels.
float line_gain(float** table) {
    constexpr int n = 64;
    float line[n];
    for (float& v : line) v = 1.0f;
    apply_IIR4_filter_z(table, line, n);
    const float g = line[n / 2];
    return g > 0.0f && std::isfinite(g) ? g : 1.0f;
}

// The picture's smallest and largest sample (NaNs left out).
void extremes_of(const CImage& picture, float* low, float* high) {
    std::mutex merge;
    *low = 1e30f, *high = -1e30f;
    const int length = row_length(picture);
    run_rows_in_bands(picture.nrows, pixels_of(picture), [&](int begin, int end) {
        float band_low = 1e30f, band_high = -1e30f;
        for (int r = begin; r < end; ++r)
            for (int i = 0; i < length; ++i) {
                const float v = picture.data[r][i];
                band_low = v < band_low ? v : band_low;
                band_high = v > band_high ? v : band_high;
            }
        const std::lock_guard<std::mutex> lock(merge);
        *low = band_low < *low ? band_low : *low;
        *high = band_high > *high ? band_high : *high;
    });
}

// The k channels (1 or 3) of the pixels c.. of a row, one pixel a lane.
template <class V>
KALVIO_INLINE void pixels_at(const float* row, int k, int c, V* channel) {
    if constexpr (kLanes<V> == 4) {
        if (k == 3)
            deinterleave3(row + 3 * c, &channel[0], &channel[1], &channel[2]);
        else
            channel[0] = load<V>(row + c);
    } else {
        for (int i = 0; i < k; ++i) channel[i] = V{row[k * c + i]};
    }
}

// The pixels c.. of a row (`here`) into their planes, and their step flags
// towards the pixels `right`.. and the pixels below (`below`: the next row,
// or the row itself for the last one).
template <class V>
KALVIO_INLINE void split_lanes(const float* here, const float* below, int k, int c, int right, float step,
                               float* const* plane, std::uint16_t* flags) {
    V a[3], b[3], d[3];
    pixels_at<V>(here, k, c, a);
    pixels_at<V>(here, k, right, b);
    pixels_at<V>(below, k, c, d);
    Mask<V> across = (b[0] - a[0] > step) | (a[0] - b[0] > step);
    Mask<V> down = (d[0] - a[0] > step) | (a[0] - d[0] > step);
    for (int i = 1; i < k; ++i) {
        across |= (b[i] - a[i] > step) | (a[i] - b[i] > step);
        down |= (d[i] - a[i] > step) | (a[i] - d[i] > step);
    }
    for (int i = 0; i < k; ++i) store(plane[i] + c, a[i]);
    const Mask<V> f = (across & kRightStep) | (down & kDownStep);
    for (int j = 0; j < kLanes<V>; ++j) flags[c + j] = static_cast<std::uint16_t>(f[j]);
}

// Rows [begin, end) of the picture's channels into their planes, and the
// step flags of those rows into `word`.
void split_rows(const CImage& picture, const Planes& p, float step, int begin, int end, std::uint16_t* word) {
    const int n = p.ncols, k = p.count;
    for (int r = begin; r < end; ++r) {
        const float* here = picture.data[r];
        const float* below = picture.data[r + 1 < p.nrows ? r + 1 : r];
        float* plane[3];
        for (int i = 0; i < k; ++i) plane[i] = p.row_table[static_cast<std::size_t>(i) * p.nrows + r];
        std::uint16_t* flags = word + pixels_of(r, n);
        int c = 0;
        for (; c + 4 <= n - 1; c += 4) split_lanes<f4>(here, below, k, c, c + 1, step, plane, flags);
        for (; c < n - 1; ++c) split_lanes<f1>(here, below, k, c, c + 1, step, plane, flags);
        split_lanes<f1>(here, below, k, c, c, step, plane, flags);  // the last pixel: no step to its right
    }
}

// Lays the picture's channels out one plane after another in `block`
// (channels x pixels floats) and smooths them there; sets the step flags
// of every pixel's word (the rest of the word 0). False when memory is
// lacking.
bool smooth_channels(const CImage& picture, float* block, Planes& p, std::uint16_t* word) {
    const int rows = picture.nrows, cols = picture.ncols, count = channels(picture);
    float** table = make_2D_float_array(5, 5);
    if (!table) return false;
    ga(kSigma, table);
    const float gain = line_gain(table);
    const Coefficients k = read_table(table);
    free_2D_float_array(table);

    p.nrows = rows, p.ncols = cols, p.count = count;
    p.row_table = scratch_of<float*>(count * static_cast<std::size_t>(rows));
    if (!p.row_table) return false;
    for (std::size_t i = 0; i < count * static_cast<std::size_t>(rows); ++i) p.row_table[i] = block + i * cols;
    for (int i = 0; i < count; ++i) p.rows[i] = p.row_table.get() + static_cast<std::size_t>(i) * rows;

    float low, high;
    extremes_of(picture, &low, &high);
    const float range = high - low;
    p.stretch = range > 0.0f && std::isfinite(range) ? 255.0f / range : 1.0f;
    // Half the central difference is the derivative; the filter's gain
    // (squared: two axes) is undone.
    p.unit = kStepsPerGrey * 0.5f * p.stretch / (gain * gain);

    const float step = kStepGrey / p.stretch;
    run_rows_in_bands(rows, pixels_of(picture),
                      [&](int begin, int end) { split_rows(picture, p, step, begin, end, word); });
    for (int i = 0; i < count; ++i)
        if (!smooth_plane(p.row_table.get() + static_cast<std::size_t>(i) * rows, rows, cols, k)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Cost

template <class V>
KALVIO_INLINE V squared_difference(const float* up, const float* mid, const float* down, int left, int c, int right) {
    const V gx = load<V>(mid + right) - load<V>(mid + left);
    const V gy = load<V>(down + c) - load<V>(up + c);
    return gx * gx + gy * gy;
}

// Adds the costs of the pixels c.. of row r (one per lane) to their words,
// from the central differences between columns `left`.. and `right`..; a
// NaN costs the most.
template <class V>
KALVIO_INLINE void cost_lanes(const Planes& p, int r, int left, int c, int right, std::uint16_t* word) {
    const int up = r > 0 ? r - 1 : r, down = r < p.nrows - 1 ? r + 1 : r;
    V best = squared_difference<V>(p.rows[0][up], p.rows[0][r], p.rows[0][down], left, c, right);
    for (int k = 1; k < p.count; ++k) {
        const V m = squared_difference<V>(p.rows[k][up], p.rows[k][r], p.rows[k][down], left, c, right);
        best = select<V>(m > best, m, best);
    }
    const V v = square_root(best) * p.unit;
    const V top = splat<V>(static_cast<float>(kLevels - 1));
    const Mask<V> cost = __builtin_convertvector(select<V>(v < top, v + 0.5f, top), Mask<V>);
    for (int i = 0; i < kLanes<V>; ++i) word[c + i] |= static_cast<std::uint16_t>(cost[i]);
}

// Adds every pixel's cost to its word.
void add_costs(const Planes& p, std::uint16_t* word) {
    const int n = p.ncols;
    run_rows_in_bands(p.nrows, pixels_of(p.nrows, n), [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            std::uint16_t* row = word + pixels_of(r, n);
            cost_lanes<f1>(p, r, 0, 0, n > 1 ? 1 : 0, row);
            int c = 1;
            for (; c + 4 <= n - 1; c += 4) cost_lanes<f4>(p, r, c - 1, c, c + 1, row);
            for (; c < n - 1; ++c) cost_lanes<f1>(p, r, c - 1, c, c + 1, row);
            if (c < n) cost_lanes<f1>(p, r, c - 1, c, c, row);
        }
    });
}

// ---------------------------------------------------------------------------
// Markers

// The marker of every cell, by label (row-major cell order).
struct Markers {
    std::unique_ptr<std::int32_t[]> row, col;
};

bool place_markers(int rows, int cols, const Grid& grid, const std::uint16_t* word, Markers& m) {
    const std::size_t count = static_cast<std::size_t>(grid.rows) * static_cast<std::size_t>(grid.cols);
    m.row = scratch_of<std::int32_t>(count);
    m.col = scratch_of<std::int32_t>(count);
    if (!m.row || !m.col) return false;
    const auto cost = [&](int r, int c) { return word[static_cast<std::size_t>(r) * cols + c] & kCostBits; };
    run_rows_in_bands(grid.rows, pixels_of(rows, cols), [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const int r0 = cell_start(rows, grid.rows, i), r1 = cell_start(rows, grid.rows, i + 1);
            const int rc = (r0 + r1 - 1) / 2;
            for (int j = 0; j < grid.cols; ++j) {
                const int c0 = cell_start(cols, grid.cols, j), c1 = cell_start(cols, grid.cols, j + 1);
                const int cc = (c0 + c1 - 1) / 2;
                // The centre, unless a pixel around it in the cell costs
                // less: the first such in row-major order on ties.
                int best_r = rc, best_c = cc, best = cost(rc, cc);
                for (int r = rc > r0 ? rc - 1 : rc; r <= rc + 1 && r < r1; ++r)
                    for (int c = cc > c0 ? cc - 1 : cc; c <= cc + 1 && c < c1; ++c)
                        if (cost(r, c) < best) best = cost(r, c), best_r = r, best_c = c;
                const std::size_t label = static_cast<std::size_t>(i) * grid.cols + j;
                m.row[label] = best_r;
                m.col[label] = best_c;
            }
        }
    });
    return true;
}

// ---------------------------------------------------------------------------
// Flood

// Tiles: blocks of `per_tile` x `per_tile` grid cells, each flooded with a
// margin of pixels around it (its window) from every marker in the window;
// only the tile's own pixels keep the result. A flood of the whole picture
// at once, level by level across all of it, would wait on memory at nearly
// every pixel; a window fits the second-level cache, and tiles run side by
// side. The margin reaches past the markers of the cells next to the tile,
// which compete with the tile's own for its pixels, so the tiles give
// nearly the flood of the whole picture (and exactly it when one tile
// covers the picture).
constexpr double kTilePixels = 160.0;  // a tile's side, about
constexpr double kTileCells = 4.0;     // a tile's side in cells, at least
constexpr int kWindowCells = 255;      // cells whose markers a window takes, at most, a side

// The tiling along one side of the picture: `size` pixels in `cells` grid
// cells, `per_tile` cells a tile; a window's margin, and the rings of cells
// whose markers can lie in it.
struct Axis {
    int size = 1, cells = 1, per_tile = 1, tiles = 1, margin = 0, rings = 0;
};

Axis axis_of(int size, int cells, int per_tile) {
    Axis x;
    x.size = size, x.cells = cells;
    const int largest = (size + cells - 1) / cells, smallest = size / cells;
    // A marker lies at most a pixel from its cell's centre.
    x.margin = (largest + 1) / 2 + 2;
    x.rings = (x.margin + smallest - 1) / smallest;
    x.per_tile = per_tile < kWindowCells - 2 * x.rings ? per_tile : kWindowCells - 2 * x.rings;
    x.tiles = (cells + x.per_tile - 1) / x.per_tile;
    return x;
}

struct Tiling {
    Axis rows, cols;
};

Tiling tiling_of(int rows, int cols, const Grid& grid) {
    // At least kTileCells cells a side, so that large cells do not make the
    // windows mostly margin.
    const int per_tile = static_cast<int>(std::fmax(kTileCells, std::floor(kTilePixels / grid.spacing + 0.5)));
    Tiling t{axis_of(rows, grid.rows, per_tile), axis_of(cols, grid.cols, per_tile)};
    t.rows.per_tile = t.cols.per_tile = std::min(t.rows.per_tile, t.cols.per_tile);
    t.rows.tiles = (grid.rows + t.rows.per_tile - 1) / t.rows.per_tile;
    t.cols.tiles = (grid.cols + t.cols.per_tile - 1) / t.cols.per_tile;
    return t;
}

// Tile a along one side: its cells and pixels, its window's pixels, and the
// cells whose markers may lie in the window.
struct Span {
    int begin, end, first, last, window_first, window_last, marker_begin, marker_end;
};

Span span_of(const Axis& x, int a) {
    Span s;
    s.begin = a * x.per_tile;
    s.end = s.begin + x.per_tile < x.cells ? s.begin + x.per_tile : x.cells;
    s.first = cell_start(x.size, x.cells, s.begin);
    s.last = cell_start(x.size, x.cells, s.end);
    s.window_first = s.first > x.margin ? s.first - x.margin : 0;
    s.window_last = s.last + x.margin < x.size ? s.last + x.margin : x.size;
    s.marker_begin = s.begin > x.rings ? s.begin - x.rings : 0;
    s.marker_end = s.end + x.rings < x.cells ? s.end + x.rings : x.cells;
    return s;
}

// One pixel of a window: its region (a marker of the window; kNone before
// it is reached), its word and its queue link.
constexpr std::uint16_t kNone = 0xFFFF;

struct Site {
    std::uint16_t region, word;
    std::int32_t link;
};

// What one thread floods its windows with.
struct Workspace {
    std::unique_ptr<Site[]> sites;
    std::unique_ptr<std::int32_t[]> head, tail;
    // Per marker of the window: position in the window, label, whether it is
    // the tile's own, its pixels in the margin and in the tile.
    std::unique_ptr<std::int32_t[]> marker_row, marker_col, marker_label, in_margin, in_tile;
    std::unique_ptr<bool[]> own;
    std::unique_ptr<float[]> colour;  // three floats a marker

    bool allocate(std::size_t pixels, std::size_t markers) {
        sites = scratch_of<Site>(pixels);
        head = scratch_of<std::int32_t>(kLevels);
        tail = scratch_of<std::int32_t>(kLevels);
        marker_row = scratch_of<std::int32_t>(markers);
        marker_col = scratch_of<std::int32_t>(markers);
        marker_label = scratch_of<std::int32_t>(markers);
        colour = scratch_of<float>(3 * markers);
        in_margin = scratch_of<std::int32_t>(markers);
        in_tile = scratch_of<std::int32_t>(markers);
        own = scratch_of<bool>(markers);
        if (!sites || !head || !tail || !marker_row || !marker_col || !marker_label || !in_margin || !in_tile ||
            !own || !colour)
            return false;
        for (int i = 0; i < kLevels; ++i) head[i] = -1;
        return true;
    }
};

// The three floats of a pixel of the map: the colour of `label`.
KALVIO_INLINE void paint(float* pixel, std::uint32_t label) {
    const std::uint32_t colour = (label * kSpread) & 0xFFFFFFu;
    pixel[0] = static_cast<float>(colour & 255u);
    pixel[1] = static_cast<float>((colour >> 8) & 255u);
    pixel[2] = static_cast<float>(colour >> 16);
}

// The label a pixel of the map was painted with.
KALVIO_INLINE std::int32_t label_of(const float* pixel) {
    const std::uint32_t colour = static_cast<std::uint32_t>(pixel[0]) | static_cast<std::uint32_t>(pixel[1]) << 8 |
                                 static_cast<std::uint32_t>(pixel[2]) << 16;
    return static_cast<std::int32_t>((colour * kUnspread) & 0xFFFFFFu);
}

// The distance term of the priority, in whole steps (truncated), for a
// pixel dr rows and dc columns from its marker: from a table while both
// offsets are below kNear, else computed.
constexpr int kNear = 64;

struct Distances {
    float per_pixel = 0.0f;  // priority steps per pixel of distance
    std::unique_ptr<std::uint16_t[]> near;

    bool make(float steps_per_pixel) {
        per_pixel = steps_per_pixel;
        near = scratch_of<std::uint16_t>(kNear * kNear);
        if (!near) return false;
        for (int a = 0; a < kNear; ++a)
            for (int b = 0; b < kNear; ++b) near[a * kNear + b] = static_cast<std::uint16_t>(far(a, b));
        return true;
    }
    int far(int dr, int dc) const {
        const float d = per_pixel * std::sqrt(static_cast<float>(dr) * dr + static_cast<float>(dc) * dc);
        return d < kLevels - 1 ? static_cast<int>(d) : kLevels - 1;
    }
    KALVIO_INLINE int operator()(int dr, int dc) const {
        const unsigned a = static_cast<unsigned>(dr < 0 ? -dr : dr), b = static_cast<unsigned>(dc < 0 ? -dc : dc);
        return (a | b) < kNear ? near[a * kNear + b] : far(dr, dc);
    }
};

// What the tiles share: the picture's size, grid, words and markers, the
// map, and per label whether its region may have come in pieces and how
// many pixels it has.
struct Picture {
    int rows, cols;
    const Grid& grid;
    const Tiling& tiling;
    const Markers& markers;
    const Distances& distance;
    std::uint16_t* word;
    float* map;          // three floats a pixel, one block
    std::uint8_t* check;
    std::int32_t* count;
};

// Floods tile (a, b) and paints its pixels. A region whose flood in this
// window stays within the tile, and of which no other window gives a pixel
// of its tile, is exactly its flood here, and so in one piece; the others
// are marked in `check` for repair, and every region's pixels are added up
// in `count`.
void flood_tile(const Picture& pic, int a, int b, Workspace& ws) {
    const Grid& g = pic.grid;
    const Span rs = span_of(pic.tiling.rows, a), cs = span_of(pic.tiling.cols, b);
    const int R0 = rs.window_first, C0 = cs.window_first;
    const int H = rs.window_last - R0, W = cs.window_last - C0;
    Site* s = ws.sites.get();
    std::int32_t* head = ws.head.get();
    std::int32_t* tail = ws.tail.get();

    for (int r = 0; r < H; ++r) {
        const std::uint16_t* in = pic.word + pixels_of(R0 + r, pic.cols) + C0;
        Site* row = s + static_cast<std::size_t>(r) * W;
        for (int c = 0; c < W; ++c) row[c] = {kNone, in[c], -1};
    }

    int top = 0;  // the highest level pushed to
    const auto push = [&](std::int32_t u, int level) {
        s[u].link = -1;
        if (head[level] < 0)
            head[level] = u;
        else
            s[tail[level]].link = u;
        tail[level] = u;
        top = level > top ? level : top;
    };

    int markers = 0;
    for (int i = rs.marker_begin; i < rs.marker_end; ++i)
        for (int j = cs.marker_begin; j < cs.marker_end; ++j) {
            const std::int32_t label = i * g.cols + j;
            const int r = pic.markers.row[label] - R0, c = pic.markers.col[label] - C0;
            if (r < 0 || r >= H || c < 0 || c >= W) continue;
            ws.marker_row[markers] = r;
            ws.marker_col[markers] = c;
            ws.marker_label[markers] = label;
            paint(ws.colour.get() + 3 * markers, static_cast<std::uint32_t>(label));
            ws.own[markers] = i >= rs.begin && i < rs.end && j >= cs.begin && j < cs.end;
            ws.in_margin[markers] = ws.in_tile[markers] = 0;
            const std::int32_t u = r * W + c;
            s[u].region = static_cast<std::uint16_t>(markers++);
            push(u, s[u].word & kCostBits);
        }

    // Row of a window index without a division: exact for fewer than 2^51
    // pixels, as (u + 0.5) / W lies at least 0.5 / W from a whole number.
    const double inverse_width = 1.0 / W;
    for (int level = 0; level <= top; ++level) {
        while (head[level] >= 0) {
            const std::int32_t u = head[level];
            head[level] = s[u].link;
            const std::uint16_t own = s[u].region, word = s[u].word;
            const int r = static_cast<int>((u + 0.5) * inverse_width);
            const int c = u - r * W;
            const int dr = r - ws.marker_row[own], dc = c - ws.marker_col[own];
            // Across a colour step a neighbour is reached only when this
            // pixel comes round again, kWaitSteps later, unless a region on
            // its own side has reached it by then.
            const bool waited = word & kWaited;
            bool wait = false;
            const auto reach = [&](std::int32_t q, int qr, int qc, bool step) {
                Site& next = s[q];
                if (next.region != kNone) return;
                if (step && !waited) {
                    wait = true;
                    return;
                }
                next.region = own;
                const int priority = (next.word & kCostBits) + pic.distance(qr, qc);
                const int at = priority < kLevels - 1 ? priority : kLevels - 1;
                push(q, at > level ? at : level);
            };
            if (c > 0) reach(u - 1, dr, dc - 1, s[u - 1].word & kRightStep);
            if (c < W - 1) reach(u + 1, dr, dc + 1, word & kRightStep);
            if (r > 0) reach(u - W, dr - 1, dc, s[u - W].word & kDownStep);
            if (r < H - 1) reach(u + W, dr + 1, dc, word & kDownStep);
            if (wait) {
                s[u].word |= kWaited;
                push(u, level + kWaitSteps < kLevels - 1 ? level + kWaitSteps : kLevels - 1);
            }
        }
    }
    // Every head is -1 again, ready for the next window.

    // The tile's pixels are painted; the pixels of each region in the tile
    // and in the margin are counted, by runs.
    const int T0 = rs.first - R0, T1 = rs.last - R0, L0 = cs.first - C0, L1 = cs.last - C0;
    std::uint16_t run_region = kNone;
    std::int32_t run = 0;
    const auto tally = [&](std::int32_t* counts, std::uint16_t m) {
        if (m != run_region) {
            if (run_region != kNone) counts[run_region] += run;
            run_region = m, run = 0;
        }
        ++run;
    };
    const auto flush = [&](std::int32_t* counts) {
        if (run_region != kNone) counts[run_region] += run;
        run_region = kNone, run = 0;
    };
    for (int r = 0; r < H; ++r) {
        const Site* row = s + static_cast<std::size_t>(r) * W;
        if (r < T0 || r >= T1) {
            for (int c = 0; c < W; ++c) tally(ws.in_margin.get(), row[c].region);
            flush(ws.in_margin.get());
            continue;
        }
        for (int c = 0; c < L0; ++c) tally(ws.in_margin.get(), row[c].region);
        for (int c = L1; c < W; ++c) tally(ws.in_margin.get(), row[c].region);
        flush(ws.in_margin.get());
        float* out = pic.map + 3 * (pixels_of(R0 + r, pic.cols) + C0);
        for (int c = L0; c < L1; ++c) {
            const std::uint16_t m = row[c].region;
            tally(ws.in_tile.get(), m);
            std::memcpy(out + 3 * c, ws.colour.get() + 3 * m, 3 * sizeof(float));
        }
        flush(ws.in_tile.get());
    }
    for (int m = 0; m < markers; ++m) {
        const std::int32_t label = ws.marker_label[m];
        if (ws.own[m] ? ws.in_margin[m] > 0 : ws.in_tile[m] > 0)
            std::atomic_ref<std::uint8_t>(pic.check[label]).store(1, std::memory_order_relaxed);
        if (ws.in_tile[m] > 0)
            std::atomic_ref<std::int32_t>(pic.count[label]).fetch_add(ws.in_tile[m], std::memory_order_relaxed);
    }
}

// Floods every tile, tile rows shared out among the threads. False when
// memory is lacking.
bool flood(const Picture& pic) {
    const Tiling& t = pic.tiling;
    // The largest window, and the most markers one can take.
    const auto widest = [](const Axis& x) {
        int most = 0;
        for (int a = 0; a < x.tiles; ++a) {
            const Span s = span_of(x, a);
            most = std::max(most, s.window_last - s.window_first);
        }
        return most;
    };
    const int most_rows = widest(t.rows), most_cols = widest(t.cols);
    const std::size_t markers = static_cast<std::size_t>(t.rows.per_tile + 2 * t.rows.rings) *
                                static_cast<std::size_t>(t.cols.per_tile + 2 * t.cols.rings);
    // Each thread takes the next tile row as it finishes one, so that a
    // thread slowed by other work on the machine holds the others up
    // little; a tile's result does not depend on which thread floods it.
    const int tiles = t.rows.tiles;
    const int threads = std::min(band_threads(pixels_of(pic.rows, pic.cols)), tiles);
    std::atomic<int> next{0};
    return run_in_bands(threads, 1, threads, [&](int, int) {
        Workspace ws;
        if (!ws.allocate(pixels_of(most_rows, most_cols), markers)) return false;
        for (int a = next++; a < tiles; a = next++)
            for (int b = 0; b < t.cols.tiles; ++b) flood_tile(pic, a, b, ws);
        return true;
    });
}

// ---------------------------------------------------------------------------
// Repair

// The 4-neighbours of a pixel index, without a division (exact for fewer
// than 2^51 pixels).
struct Neighbours {
    int rows, cols;
    double inverse;
    Neighbours(int r, int c) : rows(r), cols(c), inverse(1.0 / c) {}
    template <class Visit>
    void of(std::int32_t p, const Visit& visit) const {
        const int r = static_cast<int>((p + 0.5) * inverse), c = p - r * cols;
        if (c > 0) visit(p - 1);
        if (r > 0) visit(p - cols);
        if (c < cols - 1) visit(p + 1);
        if (r < rows - 1) visit(p + cols);
    }
};

// Makes every region one 4-connected piece holding its marker. Each region
// marked in `check` is walked from its marker through pixels of its label,
// each marked kReached (regions side by side on bands of cell rows: a walk
// marks only its own region's pixels). When fewer pixels are reached than
// the region has, the rest lie in stray pieces, which can only be in the
// tiles whose windows hold the marker. Stray pixels then join the region of
// a neighbour that is not stray, breadth first from those next to one, in
// row-major order, so each joins a region it touches. Strays are rare: the
// windows overlap, so a region's pieces almost always meet. False when
// memory is lacking.
bool repair(const Picture& pic) {
    const Grid& g = pic.grid;
    const Tiling& t = pic.tiling;
    const Neighbours around(pic.rows, pic.cols);
    const auto pixel = [&](std::int32_t p) { return pic.map + 3 * static_cast<std::size_t>(p); };
    std::vector<std::int32_t> broken;
    std::mutex lists;
    const bool walked = run_in_bands(g.rows, 1, band_threads(pixels_of(pic.rows, pic.cols)), [&](int begin, int end) {
        try {
            std::vector<std::int32_t> stack, pieces;
            for (std::int32_t label = begin * g.cols; label < end * g.cols; ++label) {
                if (!pic.check[label]) continue;
                const std::int32_t start = pic.markers.row[label] * pic.cols + pic.markers.col[label];
                float colour[3];
                paint(colour, static_cast<std::uint32_t>(label));
                const auto painted = [&](std::int32_t q) {
                    const float* f = pixel(q);
                    return f[0] == colour[0] && f[1] == colour[1] && f[2] == colour[2];
                };
                pic.word[start] |= kReached;
                stack.push_back(start);
                std::int32_t reached = 0;
                while (!stack.empty()) {
                    const std::int32_t p = stack.back();
                    stack.pop_back();
                    ++reached;
                    around.of(p, [&](std::int32_t q) {
                        // Only this walk marks pixels of this colour.
                        if (painted(q) && !(pic.word[q] & kReached)) {
                            pic.word[q] |= kReached;
                            stack.push_back(q);
                        }
                    });
                }
                if (reached != pic.count[label]) pieces.push_back(label);
            }
            const std::lock_guard<std::mutex> lock(lists);
            broken.insert(broken.end(), pieces.begin(), pieces.end());
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    });
    if (!walked) return false;
    if (broken.empty()) return true;

    try {
        std::vector<std::int32_t> strays;
        for (const std::int32_t label : broken) {
            // The windows that hold the marker reach no further than the
            // tiles next to its own; the box of pixels those tiles cover.
            const auto box = [](const Axis& x, int cell, int* first, int* last) {
                const int a = cell / x.per_tile;
                *first = span_of(x, a > 0 ? a - 1 : a).first;
                *last = span_of(x, a + 1 < x.tiles ? a + 1 : a).last;
            };
            int r0, r1, c0, c1;
            box(t.rows, label / g.cols, &r0, &r1);
            box(t.cols, label % g.cols, &c0, &c1);
            for (int r = r0; r < r1; ++r)
                for (int c = c0; c < c1; ++c) {
                    const std::int32_t p = r * pic.cols + c;
                    if (!(pic.word[p] & kReached) && label_of(pixel(p)) == label) {
                        pic.word[p] |= kStray;
                        strays.push_back(p);
                    }
                }
        }
        std::sort(strays.begin(), strays.end());
        std::deque<std::int32_t> queue;
        const auto join = [&](std::int32_t q, std::int32_t label) {
            paint(pixel(q), static_cast<std::uint32_t>(label));
            pic.word[q] &= static_cast<std::uint16_t>(~kStray);
            queue.push_back(q);
        };
        for (const std::int32_t p : strays) {
            if (!(pic.word[p] & kStray)) continue;
            std::int32_t label = -1;
            around.of(p, [&](std::int32_t q) {
                if (label < 0 && !(pic.word[q] & kStray)) label = label_of(pixel(q));
            });
            if (label >= 0) join(p, label);
        }
        while (!queue.empty()) {
            const std::int32_t p = queue.front();
            queue.pop_front();
            const std::int32_t label = label_of(pixel(p));
            around.of(p, [&](std::int32_t q) {
                if (pic.word[q] & kStray) join(q, label);
            });
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

CImage* CImage::MakeRegionMap(int region_size, int* regions) {
    if (regions) *regions = 0;
    if (!has_pixels(this) || region_size < 1) return nullptr;
    // Pixel indices, queue links and the filters' padded lines are 32-bit.
    const std::size_t pixels = pixels_of(*this);
    if (pixels >= (std::size_t{1} << 31) - 64) return nullptr;
    std::unique_ptr<CImage> out(new_image(nrows, ncols, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8));
    const auto word = scratch_of<std::uint16_t>(pixels);
    if (!out || !word) return nullptr;
    const Grid grid = capped_grid(nrows, ncols, region_size);
    const Tiling tiling = tiling_of(nrows, ncols, grid);
    const std::size_t count = static_cast<std::size_t>(grid.rows) * static_cast<std::size_t>(grid.cols);
    const auto check = scratch_of<std::uint8_t>(count);
    const auto sizes = scratch_of<std::int32_t>(count);
    Markers markers;
    {
        // The rows of a new image lie in one block, which holds the
        // channels while they are smoothed.
        Planes planes;
        if (!check || !sizes || !smooth_channels(*this, out->data[0], planes, word.get())) return nullptr;
        add_costs(planes, word.get());
    }
    if (!place_markers(nrows, ncols, grid, word.get(), markers)) return nullptr;
    std::memset(check.get(), 0, count);
    std::memset(sizes.get(), 0, count * sizeof(std::int32_t));
    Distances distance;
    if (!distance.make(static_cast<float>(kStepsPerGrey * kCompactness / grid.spacing))) return nullptr;
    const Picture pic{nrows,      ncols,        grid,        tiling,     markers,
                      distance,   word.get(),   out->data[0], check.get(), sizes.get()};
    if (!flood(pic) || !repair(pic)) return nullptr;
    if (regions) *regions = static_cast<int>(count);
    return out.release();
}
