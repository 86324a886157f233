// Contour: seeds, the region map, regions with their neighbour tables,
// histograms and mean colours.
#include <varnex/contour.h>
#include <varnex/paths.h>

#include "core/contour_p.h"

#include <kalvio/message.h>
#include <kalvio/trace.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <unistd.h>
#include <unordered_set>
#include <vector>

using contour_detail::free_int_map;
using contour_detail::make_int_map;

namespace {

// Histogram bin of a sample value: truncated toward zero, values below 0 in
// bin 0 and values of 256 or more in bin 255.
int histogram_bin(float value) {
    if (!(value >= 0.0f)) return 0;
    if (value >= 256.0f) return 255;
    return static_cast<int>(value);
}

}  // namespace

Contour::Contour(MyImage* image)
    : image(image), parameter(10.0f), region_map(nullptr), result(nullptr),
      mean0(nullptr), mean2(nullptr), mean1(nullptr), histograms(nullptr), marks(nullptr),
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
    delete region_map;
    region_map = new MyImage;
    if (!region_map->ReadImage(region_path.c_str())) {
        AfxMessageBox(cant_open_image_message(region_path),
                      MB_ICONSTOP);
        return false;
    }
    return SetRegionMap(region_map, region_path);
}

bool Contour::SetRegionMap(MyImage* map, const std::string& label) {
    path = label;
    if (map != region_map) {
        delete region_map;
        region_map = map;
    }
    // Every later step indexes both maps with the same coordinates.
    if (!image || !region_map || region_map->width != image->width || region_map->height != image->height) {
        AfxMessageBox("The region map " + label + " does not have the size of the picture", MB_ICONSTOP);
        return false;
    }
    return true;
}

bool Contour::ComputeRegions() {
    if (!image || !image->data || (image->color != 0 && image->color != 1) || !region_map ||
        !region_map->data || (region_map->color != 0 && region_map->color != 1) ||
        region_map->width != image->width || region_map->height != image->height || image->width <= 0 ||
        image->height <= 0 || !regions.IsEmpty())
        return false;

    KALVIO_TRACE(image->color == 0 ? "gray image!\n" : "color image!\n");
    map_cols = region_map->width;
    map_rows = region_map->height;
    int n = 0;
    try {
        std::vector<CPoint> fill_order;
        std::vector<std::size_t> region_start;
        n = label_regions(fill_order, region_start);
        // A map of tiny regions can ask for more than the machine has; say
        // so before the tables are built rather than dying half way.
        if (n < 0 || !region_tables_fit(n)) throw std::bad_alloc();
        for (int r = 1; r <= n; ++r)
            regions.Add(new SeqList<CPoint>(fill_order.data() + region_start[r - 1],
                                            static_cast<int>(region_start[r] - region_start[r - 1])));
        fill_order = {};
        build_neighbour_tables(n);
        compute_histograms(n);
        prepare_run_tables(n);
    } catch (const std::bad_alloc&) {
        ReleaseRegions();
        release_tables(neighbours);
        free_int_map(label_map);
        label_map = nullptr;
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

// Flood fill, depth first with an explicit stack, of the 4-connected areas
// of one exact value. The label map doubles as the visited map: a pixel is
// visited once it has its region number. Returns the number of regions
// and every pixel in fill order, region r at [start[r - 1], start[r]).
int Contour::label_regions(std::vector<CPoint>& fill_order, std::vector<std::size_t>& start) {
    free_int_map(label_map);
    label_map = make_int_map(map_rows, map_cols);
    if (!label_map) return -1;
    const int width = map_cols, height = map_rows;
    const int channels = region_map->color == 1 ? 3 : 1;
    fill_order.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    start.push_back(0);
    std::vector<CPoint> active;
    int count = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (label_map[y][x]) continue;
            const int r = ++count;
            float seed_colour[3] = {0, 0, 0};
            for (int k = 0; k < channels; ++k) seed_colour[k] = region_map->data[y][channels * x + k];
            const CPoint seed{x, y};
            fill_order.push_back(seed);
            label_map[y][x] = r;
            active.push_back(seed);
            while (!active.empty()) {
                const CPoint p = active.back();
                active.pop_back();
                const CPoint around[4] = {{p.x - 1, p.y}, {p.x + 1, p.y}, {p.x, p.y - 1}, {p.x, p.y + 1}};
                for (const CPoint& q : around) {
                    if (q.x < 0 || q.x >= width || q.y < 0 || q.y >= height || label_map[q.y][q.x]) continue;
                    const float* value = &region_map->data[q.y][channels * q.x];
                    bool same = true;
                    for (int k = 0; k < channels; ++k) same = same && value[k] == seed_colour[k];
                    if (!same) continue;
                    active.push_back(q);
                    label_map[q.y][q.x] = r;
                    fill_order.push_back(q);
                }
            }
            start.push_back(fill_order.size());
        }
    }
    return count;
}

// Whether the tables of n regions (histogram records, means, marks, the
// lists of pixels and neighbours, the run's graph) fit in the machine's
// memory.
bool Contour::region_tables_fit(int n) const {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return true;
    const double memory = static_cast<double>(pages) * static_cast<double>(page_size);
    // Each list starts with room for 200 entries; a graph node with its
    // share of arcs takes about 200 bytes.
    constexpr double kPerRegion = 769 * sizeof(float) + 4 * sizeof(float) + 200 * sizeof(CPoint) +
                                  2 * 200 * sizeof(int) + 3 * sizeof(SeqList<int>) + 200;
    return static_cast<double>(n) * kPerRegion < memory;
}

// Neighbour tables from the interior pixels, in scan order: list r of
// `neighbours` holds r and every region touching it, list r of
// `lower_neighbours` r and those numbered below it. A pair is appended the
// first time it is met; the last pair seen per region and a set of all
// pairs make each test constant time.
void Contour::build_neighbour_tables(int n) {
    for (int r = 1; r <= n; ++r) {
        auto* lower = new SeqList<int>;
        lower->Add(r);
        lower_neighbours.Add(lower);
        auto* all = new SeqList<int>;
        all->Add(r);
        neighbours.Add(all);
    }
    std::vector<int> last_seen(static_cast<std::size_t>(n) + 1, 0);
    std::unordered_set<std::uint64_t> seen;
    for (int y = 1; y <= map_rows - 2; ++y) {
        for (int x = 1; x <= map_cols - 2; ++x) {
            const int a = label_map[y][x];
            const int around[4] = {label_map[y][x - 1], label_map[y][x + 1], label_map[y - 1][x],
                                   label_map[y + 1][x]};
            for (int b : around) {
                if (a == b || last_seen[a] == b) continue;
                last_seen[a] = b;
                if (!seen.insert((static_cast<std::uint64_t>(a) << 32) | static_cast<std::uint32_t>(b)).second)
                    continue;
                if (a > b) lower_neighbours.GetAt(a)->Add(b);
                neighbours.GetAt(a)->Add(b);
            }
        }
    }
}

// Histograms and means of the picture's values over each region: one zeroed
// block holds every record, histograms[r - 1] points into it.
void Contour::compute_histograms(int n) {
    const bool colour = image->color == 1;
    histograms = new float*[static_cast<std::size_t>(n)];
    float* records = static_cast<float*>(std::calloc(static_cast<std::size_t>(n) * 769, sizeof(float)));
    if (!records) {
        delete[] histograms;
        histograms = nullptr;
        throw std::bad_alloc();
    }
    for (int r = 1; r <= n; ++r) histograms[r - 1] = records + static_cast<std::size_t>(r - 1) * 769;
    mean0 = new float[static_cast<std::size_t>(n)]();
    mean1 = new float[static_cast<std::size_t>(n)]();
    mean2 = new float[static_cast<std::size_t>(n)]();
    m_occupiedBins.assign(static_cast<std::size_t>(n), {});
    for (int r = 1; r <= n; ++r) {
        const SeqList<CPoint>* pixels = regions.GetAt(r);
        const CPoint* p = pixels->data();
        const int size = pixels->GetCount();
        float* h = histograms[r - 1];
        h[0] = static_cast<float>(r);
        float sum0 = 0.0f, sum1 = 0.0f, sum2 = 0.0f;
        for (int i = 0; i < size; ++i) {
            const float* row = image->data[p[i].y];
            if (colour) {
                const float red = row[3 * p[i].x], green = row[3 * p[i].x + 1], blue = row[3 * p[i].x + 2];
                h[1 + histogram_bin(red)] += 1.0f;
                h[257 + histogram_bin(green)] += 1.0f;
                h[513 + histogram_bin(blue)] += 1.0f;
                sum0 += red;
                sum1 += green;
                sum2 += blue;
            } else {
                const float value = row[p[i].x];
                h[1 + histogram_bin(value)] += 1.0f;
                sum0 += value;
            }
        }
        std::vector<std::uint16_t>& occupied = m_occupiedBins[static_cast<std::size_t>(r) - 1];
        // Empty bins stay 0 when divided, so only the others are.
        for (int k = 1; k <= 768; ++k) {
            if (h[k] == 0.0f) continue;
            h[k] /= static_cast<float>(size);
            occupied.push_back(static_cast<std::uint16_t>(k));
        }
        mean0[r - 1] = sum0 / static_cast<float>(size);
        if (colour) {
            mean1[r - 1] = sum1 / static_cast<float>(size);
            mean2[r - 1] = sum2 / static_cast<float>(size);
        }
    }
}

float Contour::HistogramDistance(int a, int b) {
    const int n = regions.GetCount();
    if (a < 1 || a > n || b < 1 || b > n) return 0.0f;
    const float* h1 = histograms[a - 1];
    const float* h2 = histograms[b - 1];
    // Only bins where either histogram is non-zero contribute; they are
    // visited in ascending order, so the float sum is the same as over all
    // 768 bins.
    const std::vector<std::uint16_t>& bins1 = m_occupiedBins[static_cast<std::size_t>(a) - 1];
    const std::vector<std::uint16_t>& bins2 = m_occupiedBins[static_cast<std::size_t>(b) - 1];
    float sum = 0.0f;
    std::size_t i = 0, j = 0;
    while (i < bins1.size() || j < bins2.size()) {
        int k;
        if (j == bins2.size() || (i < bins1.size() && bins1[i] < bins2[j])) k = bins1[i++];
        else if (i == bins1.size() || bins2[j] < bins1[i]) k = bins2[j++];
        else k = bins1[i++], ++j;
        const float m = (h1[k] + h2[k]) * 0.5f;
        if (m != 0.0f) {
            const float d = h1[k] - m;
            sum += d * d / m;
        }
    }
    return sum * 255;
}

void Contour::release_tables(SeqList<SeqList<int>*>& tables) {
    while (!tables.IsEmpty()) delete tables.RemoveLast();
}

void Contour::ReleaseRegions() {
    release_cut_tables();
    if (histograms) {
        // The records share one block, which the first record starts.
        if (regions.GetCount() > 0) std::free(histograms[0]);
        delete[] histograms;
        histograms = nullptr;
    }
    while (!regions.IsEmpty()) delete regions.RemoveLast();
    release_tables(lower_neighbours);
    delete[] mean0;
    delete[] mean1;
    delete[] mean2;
    mean0 = mean1 = mean2 = nullptr;
    m_occupiedBins.clear();
}

