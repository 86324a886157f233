// The localized graph cut done the long way. Everything here is deliberately
// naive: tables are searched from the front, each cut gets a brand-new graph
// over all labelled regions, every histogram distance walks all 768 bins and
// every distance to the labelled regions looks at all regions. Keep it that
// way: its value is that it shares no shortcut with the fast implementation.
#include "reference_segmentation.h"

#include <varnex/graph.h>

#include <cmath>

namespace reference {
namespace {

struct Point {
    int x;
    int y;
};

using IntGraph = Graph<int, int, int>;

// Position (1-based) of `value` in `list` from position `from` on, 0 if absent.
int find_from(const std::vector<int>& list, int value, int from) {
    for (int i = from; i <= static_cast<int>(list.size()); ++i)
        if (list[i - 1] == value) return i;
    return 0;
}

// Histogram bin of a sample: truncated; below 0 (or not a number) in the
// first bin, 256 and above in the last.
int bin_of(float value) {
    if (std::isnan(value) || value < 0.0f) return 0;
    if (value >= 256.0f) return 255;
    return static_cast<int>(value);
}

class Run {
public:
    Run(const CImage& picture, const CImage& map, float parameter)
        : image(picture), region_map(map), parameter(parameter) {}

    Segmentation out;

    bool compute_regions();
    void local_graph_cut(const std::vector<Seed>& object_seeds, const std::vector<Seed>& background_seeds);

private:
    const CImage& image;
    const CImage& region_map;
    float parameter;

    int height() const { return image.nrows; }
    int width() const { return image.ncols; }
    bool grey() const { return image.color == 0; }
    float channel(const CImage& img, Point p, int k) const {
        return img.color == 1 ? img.data[p.y][3 * p.x + k] : img.data[p.y][p.x];
    }

    std::vector<std::vector<Point>> regions;  // list r - 1 is region r
    std::vector<int> labels;
    std::vector<std::vector<int>> label_map;  // [row][column]
    std::vector<int> marks;
    double variance = 0.0;
    bool has_interior = false;

    void picture_statistics();
    void distances_to_labelled(int r, int& dist_object, int& dist_background) const;
    float histogram_distance(int a, int b) const;
    int neighbour_capacity(float chi);
};

bool Run::compute_regions() {
    if (!image.data || !region_map.data || region_map.nrows != height() || region_map.ncols != width() ||
        height() <= 0 || width() <= 0)
        return false;
    const int map_rows = region_map.nrows, map_cols = region_map.ncols;
    label_map.assign(map_rows, std::vector<int>(map_cols, 0));
    std::vector<std::vector<bool>> visited(map_rows, std::vector<bool>(map_cols, false));
    const int channels = region_map.color == 1 ? 3 : 1;

    // Flood fill: the next seed is the first unvisited pixel in raster order.
    // Every pixel before the last seed is visited, so the scan may go on from
    // there instead of from the top-left corner: same seed, less waiting.
    long long remaining = static_cast<long long>(height()) * width();
    long long scan = 0;
    while (remaining > 0) {
        while (visited[scan / width()][scan % width()]) ++scan;
        const Point seed{static_cast<int>(scan % width()), static_cast<int>(scan / width())};
        regions.push_back({seed});
        std::vector<Point>& list = regions.back();
        std::vector<Point> active{seed};
        visited[seed.y][seed.x] = true;
        --remaining;
        while (!active.empty()) {
            const Point current = active.back();
            active.pop_back();
            const Point around[4] = {{current.x - 1, current.y},
                                     {current.x + 1, current.y},
                                     {current.x, current.y - 1},
                                     {current.x, current.y + 1}};
            for (const Point q : around) {
                if (q.x < 0 || q.x >= width() || q.y < 0 || q.y >= height() || visited[q.y][q.x]) continue;
                bool same = true;
                for (int k = 0; k < channels; ++k)
                    if (channel(region_map, q, k) != channel(region_map, seed, k)) same = false;
                if (!same) continue;
                active.push_back(q);
                visited[q.y][q.x] = true;
                list.push_back(q);
                --remaining;
            }
        }
    }
    const int n = static_cast<int>(regions.size());
    for (int r = 1; r <= n; ++r) {
        labels.push_back(r);
        for (const Point p : regions[r - 1]) label_map[p.y][p.x] = r;
    }
    for (int r = 1; r <= n; ++r) {
        out.lower_neighbours.push_back({r});
        out.neighbours.push_back({r});
    }

    // Neighbour tables from the interior pixels of the map.
    for (int y = 1; y <= map_rows - 2; ++y)
        for (int x = 1; x <= map_cols - 2; ++x) {
            const int a = label_map[y][x];
            const int around[4] = {label_map[y][x - 1], label_map[y][x + 1], label_map[y - 1][x],
                                   label_map[y + 1][x]};
            for (const int b : around) {
                if (a == b) continue;
                std::vector<int>& lower = out.lower_neighbours[a - 1];
                std::vector<int>& all = out.neighbours[a - 1];
                if (a > b && !find_from(lower, b, 2)) lower.push_back(b);
                if (!find_from(all, b, 2)) all.push_back(b);
            }
        }

    marks.assign(n + 1, 0);

    // Histograms and means of the picture over each region.
    out.mean0.assign(n, 0.0f);
    out.mean1.assign(n, 0.0f);
    out.mean2.assign(n, 0.0f);
    for (int r = 1; r <= n; ++r) {
        std::vector<float> h(769, 0.0f);
        h[0] = static_cast<float>(r);
        float sum[3] = {0.0f, 0.0f, 0.0f};
        const std::vector<Point>& pixels = regions[r - 1];
        for (const Point p : pixels) {
            if (grey()) {
                h[1 + bin_of(image.data[p.y][p.x])] += 1.0f;
                sum[0] += image.data[p.y][p.x];
            } else {
                for (int k = 0; k < 3; ++k) {
                    h[1 + 256 * k + bin_of(channel(image, p, k))] += 1.0f;
                    sum[k] += channel(image, p, k);
                }
            }
        }
        const float count = static_cast<float>(pixels.size());
        for (int k = 1; k <= 768; ++k) h[k] = h[k] / count;
        out.histograms.push_back(h);
        out.mean0[r - 1] = sum[0] / count;
        if (!grey()) {
            out.mean1[r - 1] = sum[1] / count;
            out.mean2[r - 1] = sum[2] / count;
        }
    }
    out.regions = n;
    return true;
}

void Run::picture_statistics() {
    has_interior = height() >= 3 && width() >= 3;
    variance = 0.0;
    if (!has_interior) return;
    const double n = static_cast<double>(height() - 2) * (width() - 2);
    auto intensity = [&](int x, int y) {
        if (grey()) return static_cast<double>(image.data[y][x]);
        const float* p = &image.data[y][3 * x];
        return 0.3 * p[0] + 0.6 * p[1] + 0.1 * p[2];
    };
    double sum = 0.0;
    for (int y = 1; y <= height() - 2; ++y)
        for (int x = 1; x <= width() - 2; ++x) sum += intensity(x, y);
    const double mu = sum / n;
    double squares = 0.0;
    for (int y = 1; y <= height() - 2; ++y)
        for (int x = 1; x <= width() - 2; ++x) {
            double value = intensity(x, y);
            if (!grey()) value = static_cast<float>(value);
            squares += (value - mu) * (value - mu);
        }
    variance = squares / n;
}

void Run::distances_to_labelled(int r, int& dist_object, int& dist_background) const {
    const int n = out.regions;
    auto nearest = [&](int side) {
        float kept = grey() ? 256.0f : 768.0f;
        for (int s = 1; s <= n; ++s) {
            if (marks[s] != side) continue;
            float d;
            if (grey()) {
                d = std::fabs(out.mean0[s - 1] - out.mean0[r - 1]);
            } else {
                const float sum = std::fabs(out.mean0[s - 1] - out.mean0[r - 1]) +
                                  std::fabs(out.mean1[s - 1] - out.mean1[r - 1]) +
                                  std::fabs(out.mean2[s - 1] - out.mean2[r - 1]);
                d = static_cast<float>(static_cast<int>(sum));
            }
            if (d < kept) kept = d;
        }
        return static_cast<int>(kept);
    };
    dist_object = nearest(1);
    dist_background = nearest(-1);
}

float Run::histogram_distance(int a, int b) const {
    const int pos1 = find_from(labels, a, 1) - 1;
    const int pos2 = find_from(labels, b, 1) - 1;
    const std::vector<float>& h1 = out.histograms[pos1];
    const std::vector<float>& h2 = out.histograms[pos2];
    float sum = 0.0f;
    for (int k = 1; k <= 768; ++k) {
        const float m = (h1[k] + h2[k]) * 0.5f;
        if (m != 0.0f) sum += (h1[k] - m) * (h1[k] - m) / m;
    }
    return sum * 255;
}

int Run::neighbour_capacity(float chi) {
    float weight;
    if (has_interior && variance > 0.0) {
        const double x = chi;
        weight = static_cast<float>(std::exp(-x * x / (80.0 * variance)));
    } else {
        weight = chi == 0.0f ? 1.0f : 0.0f;
    }
    out.last_weight = weight;
    const float scale = std::isfinite(parameter) && parameter > 0.0f ? parameter : 0.0f;
    const float c = scale * weight;
    return c >= 1073741824.0f ? 1073741824 : static_cast<int>(c);
}

void Run::local_graph_cut(const std::vector<Seed>& object_seeds, const std::vector<Seed>& background_seeds) {
    const int n = out.regions;
    picture_statistics();

    std::vector<std::vector<int>> seed_map(height(), std::vector<int>(width(), 0));
    for (const Seed s : object_seeds) seed_map[s.y][s.x] = 1;
    for (const Seed s : background_seeds) seed_map[s.y][s.x] = 2;

    std::vector<int> object_regions, background_regions, free_regions;
    for (int r = 1; r <= n; ++r) {
        int kind = 0;
        for (const Point p : regions[r - 1]) {
            kind = seed_map[p.y][p.x];
            if (kind == 1 || kind == 2) break;
        }
        if (kind == 1) object_regions.push_back(r);
        else if (kind == 2) background_regions.push_back(r);
        else free_regions.push_back(r);
    }
    for (const int r : object_regions) marks[r] = 1;
    for (const int r : background_regions) marks[r] = -1;
    std::vector<int> margin, active;  // stacks: push_back / pop_back
    for (const int r : object_regions) margin.push_back(r);
    for (const int r : background_regions) margin.push_back(r);

    auto in_graph = [&](int r) { return marks[r] == 1 || marks[r] == -1 || marks[r] == 2; };
    int edge_hint = 0;
    while (!margin.empty()) {
        // Band growth.
        while (!margin.empty()) {
            active.push_back(margin.back());
            margin.pop_back();
        }
        while (!active.empty()) {
            const int r = active.back();
            active.pop_back();
            const std::vector<int>& list = out.neighbours[r - 1];
            for (std::size_t e = 1; e < list.size(); ++e)
                if (marks[list[e]] == 0) {
                    margin.push_back(list[e]);
                    marks[list[e]] = 2;
                }
        }

        // Local lists: (r, r, lower neighbours of r) for every region in the graph.
        std::vector<std::vector<int>> local;
        for (int r = 1; r <= n; ++r) {
            if (!in_graph(r)) continue;
            std::vector<int> list{r, r};
            const std::vector<int>& lower = out.lower_neighbours[r - 1];
            list.insert(list.end(), lower.begin() + 1, lower.end());
            local.push_back(list);
        }
        const int m = static_cast<int>(local.size());
        for (const std::vector<int>& list : local)
            if (list.size() > 2) edge_hint += static_cast<int>(list.size()) - 2;
        auto local_position = [&](int r) {
            for (int k = 1; k <= m; ++k)
                if (local[k - 1][0] == r) return k;
            return 0;
        };

        auto* graph = new IntGraph(m, edge_hint);
        for (int k = 0; k <= m; ++k) graph->add_node(1);

        for (int r = 1; r <= n; ++r) {
            const int degree = static_cast<int>(out.neighbours[r - 1].size());
            if (marks[r] == 1) {
                graph->add_terminal_caps(local_position(r), 800 * degree, 1);
            } else if (marks[r] == -1) {
                graph->add_terminal_caps(local_position(r), 1, 800 * degree);
            } else if (marks[r] == 2) {
                int dist_object = 0, dist_background = 0;
                distances_to_labelled(r, dist_object, dist_background);
                const int unreg = local_position(r);
                graph->add_terminal_caps(unreg, std::abs(dist_background), std::abs(dist_object));
            }
        }

        for (int r = 1; r <= n; ++r) {
            const std::vector<int>& lower = out.lower_neighbours[r - 1];
            const int a = lower[0];
            if (lower.size() <= 1 || !in_graph(a)) continue;
            for (std::size_t e = 1; e < lower.size(); ++e) {
                const int b = lower[e];
                if (!in_graph(b)) continue;
                const int c = neighbour_capacity(histogram_distance(a, b));
                graph->add_edge(local_position(a), local_position(b), c, c);
            }
        }

        graph->maxflow(false, nullptr);
        ++out.cuts;
        for (int k = 1; k <= m; ++k)
            marks[local[k - 1][0]] = graph->segment_of(k, IntGraph::SOURCE) == IntGraph::SOURCE ? 1 : -1;
        delete graph;
    }

    out.result.assign(static_cast<std::size_t>(height()) * width() * 3, 0.0f);
    for (int r = 1; r <= n; ++r)
        for (const Point p : regions[r - 1]) {
            float* pixel = &out.result[(static_cast<std::size_t>(p.y) * width() + p.x) * 3];
            for (int k = 0; k < 3; ++k) pixel[k] = marks[r] == 1 ? channel(image, p, k) : 255.0f;
        }
    out.marks = marks;

    for (int r = 1; r <= n; ++r) {
        const std::vector<int>& lower = out.lower_neighbours[r - 1];
        for (std::size_t e = 1; e < lower.size(); ++e) out.pair_distances.push_back(histogram_distance(r, lower[e]));
        int dist_object = 0, dist_background = 0;
        distances_to_labelled(r, dist_object, dist_background);
        out.distances.emplace_back(dist_object, dist_background);
    }
}

}  // namespace

Segmentation segment(const CImage& picture, const CImage& region_map, const std::vector<Seed>& object_seeds,
                     const std::vector<Seed>& background_seeds, float parameter) {
    Run run(picture, region_map, parameter);
    if (!run.compute_regions()) return run.out;
    run.local_graph_cut(object_seeds, background_seeds);
    run.out.ok = true;
    return std::move(run.out);
}

}  // namespace reference
