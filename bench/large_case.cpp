// The large segmentation cases shared by the benchmarks.
#include "large_case_p.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <limits>
#include <random>
#include <tuple>

namespace bench {

namespace fs = std::filesystem;

fs::path scratch_folder() {
    const fs::path dir = fs::temp_directory_path() / "varnex-bench";
    fs::create_directories(dir);
    return dir;
}

void read_seeds(const std::string& file, SegmentCase& c, double sx, double sy) {
    std::ifstream in(file);
    int x, y, kind;
    while (in >> x >> y >> kind) {
        const CPoint p{static_cast<int>(x * sx), static_cast<int>(y * sy)};
        (kind == 1 ? c.object : c.background).push_back(p);
    }
}

void write_enlarged_coffee(const std::string& file, int width, int height) {
    if (fs::exists(file)) return;
    CImage small;
    small.ReadImage(KALVIO_EXAMPLES_DIR "/coffee.ppm");
    CImage big(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (int y = 0; y < height; ++y) {
        const float fy = (y + 0.5f) * small.nrows / height - 0.5f;
        const int y0 = std::max(0, std::min(small.nrows - 2, static_cast<int>(std::floor(fy))));
        const float wy = std::min(1.0f, std::max(0.0f, fy - y0));
        for (int x = 0; x < width; ++x) {
            const float fx = (x + 0.5f) * small.ncols / width - 0.5f;
            const int x0 = std::max(0, std::min(small.ncols - 2, static_cast<int>(std::floor(fx))));
            const float wx = std::min(1.0f, std::max(0.0f, fx - x0));
            for (int k = 0; k < 3; ++k) {
                const float a = small.data[y0][3 * x0 + k], b = small.data[y0][3 * (x0 + 1) + k];
                const float d = small.data[y0 + 1][3 * x0 + k], e = small.data[y0 + 1][3 * (x0 + 1) + k];
                big.data[y][3 * x + k] = std::floor((a * (1 - wx) + b * wx) * (1 - wy) + (d * (1 - wx) + e * wx) * wy);
            }
        }
    }
    big.WriteImage(file.c_str());
}

void paint_region(CImage& map, int x, int y, int id) {
    map.data[y][3 * x] = static_cast<float>(id & 0xFF);
    map.data[y][3 * x + 1] = static_cast<float>((id >> 8) & 0xFF);
    map.data[y][3 * x + 2] = static_cast<float>((id >> 16) & 0xFF);
}

SegmentCase make_large_case(int regions) {
    static std::map<int, SegmentCase> made;
    if (made.count(regions)) return made[regions];
    const int width = 4000, height = 3000;
    const fs::path dir = scratch_folder();
    SegmentCase c;
    c.picture = (dir / "large.bmp").string();
    c.regions = (dir / ("large_" + std::to_string(regions) + "_regions.bmp")).string();
    write_enlarged_coffee(c.picture, width, height);
    if (!fs::exists(c.regions)) {
        // Cells of a regular grid whose corners are shifted at random, so
        // the regions are irregular but of even size.
        const double side = std::sqrt(static_cast<double>(width) * height / regions);
        const int nx = static_cast<int>(width / side) + 2, ny = static_cast<int>(height / side) + 2;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-0.3 * side, 0.3 * side);
        std::vector<double> shift_x(static_cast<std::size_t>(nx) * ny), shift_y(shift_x.size());
        for (std::size_t i = 0; i < shift_x.size(); ++i) shift_x[i] = jitter(rng), shift_y[i] = jitter(rng);
        CImage map(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int gx = std::min(nx - 1, static_cast<int>(x / side));
                const int gy = std::min(ny - 1, static_cast<int>(y / side));
                const std::size_t g = static_cast<std::size_t>(gy) * nx + gx;
                const int cx = std::max(0, std::min(nx - 1, static_cast<int>((x + shift_x[g]) / side)));
                const int cy = std::max(0, std::min(ny - 1, static_cast<int>((y + shift_y[g]) / side)));
                paint_region(map, x, y, cy * nx + cx + 1);
            }
        map.WriteImage(c.regions.c_str());
    }
    read_seeds(KALVIO_EXAMPLES_DIR "/coffee_seeds.txt", c, width / 450.0, height / 300.0);
    made[regions] = c;
    return c;
}

// The coffee sample enlarged to width x height with a Voronoi region map:
// `sites` random sites, every pixel in the cell of its nearest site, one
// colour per cell. Seeds are the coffee strokes scaled to the new size.
SegmentCase make_voronoi_case(int width, int height, int sites) {
    static std::map<std::tuple<int, int, int>, SegmentCase> made;
    const auto key = std::make_tuple(width, height, sites);
    if (made.count(key)) return made[key];
    const fs::path dir = scratch_folder();
    SegmentCase c;
    c.picture = (dir / ("coffee_" + std::to_string(width) + "x" + std::to_string(height) + ".bmp")).string();
    write_enlarged_coffee(c.picture, width, height);
    c.regions = (dir / ("voronoi_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                                  std::to_string(sites) + "_regions.bmp"))
                    .string();
    if (!fs::exists(c.regions)) {
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> along_x(0.0, width), along_y(0.0, height);
        std::vector<double> sx(static_cast<std::size_t>(sites)), sy(sx.size());
        for (std::size_t i = 0; i < sx.size(); ++i) sx[i] = along_x(rng), sy[i] = along_y(rng);
        // Sites bucketed in cells of about one site each, searched in rings
        // of cells until no nearer site can lie beyond.
        const double side = std::sqrt(static_cast<double>(width) * height / sites);
        const int gx = static_cast<int>(width / side) + 1, gy = static_cast<int>(height / side) + 1;
        std::vector<std::vector<int>> bucket(static_cast<std::size_t>(gx) * gy);
        for (int i = 0; i < sites; ++i) {
            const int bx = static_cast<int>(sx[i] / side), by = static_cast<int>(sy[i] / side);
            bucket[static_cast<std::size_t>(by) * gx + bx].push_back(i);
        }
        CImage map(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double px = x + 0.5, py = y + 0.5;
                const int cx = static_cast<int>(px / side), cy = static_cast<int>(py / side);
                double best = std::numeric_limits<double>::infinity();
                int nearest = 0;
                for (int ring = 0; ring <= gx + gy; ++ring) {
                    for (int j = std::max(0, cy - ring); j <= std::min(gy - 1, cy + ring); ++j)
                        for (int i = std::max(0, cx - ring); i <= std::min(gx - 1, cx + ring); ++i) {
                            if (std::max(std::abs(i - cx), std::abs(j - cy)) != ring) continue;
                            for (int s : bucket[static_cast<std::size_t>(j) * gx + i]) {
                                const double d = (sx[s] - px) * (sx[s] - px) + (sy[s] - py) * (sy[s] - py);
                                if (d < best || (d == best && s < nearest)) best = d, nearest = s;
                            }
                        }
                    if (ring * side * ring * side >= best) break;
                }
                paint_region(map, x, y, nearest + 1);
            }
        map.WriteImage(c.regions.c_str());
    }
    read_seeds(KALVIO_EXAMPLES_DIR "/coffee_seeds.txt", c, width / 450.0, height / 300.0);
    made[key] = c;
    return c;
}

}  // namespace bench
