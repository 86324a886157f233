// The whole segmentation run, phase by phase, beside its floor: reading the
// picture and region map files and one pass over their pixels.
#include <benchmark/benchmark.h>

#include <kalvio/kalvio.h>
#include <varnex/contour.h>
#include <varnex/segmentation_run.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Case {
    std::string picture, regions;
    std::vector<CPoint> object, background;
};

std::vector<CPoint> g_none;

void read_seeds(const std::string& file, Case& c, double sx = 1.0, double sy = 1.0) {
    std::ifstream in(file);
    int x, y, kind;
    while (in >> x >> y >> kind) {
        const CPoint p{static_cast<int>(x * sx), static_cast<int>(y * sy)};
        (kind == 1 ? c.object : c.background).push_back(p);
    }
}

fs::path scratch_dir() {
    const fs::path dir = fs::temp_directory_path() / "varnex-bench";
    fs::create_directories(dir);
    return dir;
}

// The coffee sample enlarged bilinearly to width x height, written once to
// the scratch folder; returns its path.
std::string enlarged_coffee(int width, int height) {
    const std::string path =
        (scratch_dir() / ("large_" + std::to_string(width) + "x" + std::to_string(height) + ".bmp")).string();
    if (fs::exists(path)) return path;
    CImage small;
    small.ReadImage(KALVIO_EXAMPLES_DIR "/coffee.ppm");
    CImage big(height, width, 1, 3, 4);
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
    big.WriteImage(path.c_str());
    return path;
}

// Region number `id` (from 1) as a 24-bit colour of a region map.
void put_region_colour(CImage& map, int x, int y, int id) {
    map.data[y][3 * x] = static_cast<float>(id & 0xFF);
    map.data[y][3 * x + 1] = static_cast<float>((id >> 8) & 0xFF);
    map.data[y][3 * x + 2] = static_cast<float>((id >> 16) & 0xFF);
}

// A 12-megapixel colour picture (the coffee sample enlarged bilinearly) and a
// region map of jittered cells, about `regions` of them, written once to a
// scratch folder. Seeds are the coffee strokes scaled to the new size.
Case make_large_case(int regions) {
    static std::map<int, Case> made;
    if (made.count(regions)) return made[regions];
    const int width = 4000, height = 3000;
    Case c;
    c.picture = enlarged_coffee(width, height);
    c.regions = (scratch_dir() / ("large_" + std::to_string(regions) + "_regions.bmp")).string();
    if (!fs::exists(c.regions)) {
        // Cells of a regular grid whose corners are shifted at random, so
        // the regions are irregular but of even size.
        const double side = std::sqrt(static_cast<double>(width) * height / regions);
        const int nx = static_cast<int>(width / side) + 2, ny = static_cast<int>(height / side) + 2;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-0.3 * side, 0.3 * side);
        std::vector<double> shift_x(static_cast<std::size_t>(nx) * ny), shift_y(shift_x.size());
        for (std::size_t i = 0; i < shift_x.size(); ++i) shift_x[i] = jitter(rng), shift_y[i] = jitter(rng);
        CImage map(height, width, 1, 3, 4);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int gx = std::min(nx - 1, static_cast<int>(x / side));
                const int gy = std::min(ny - 1, static_cast<int>(y / side));
                const std::size_t g = static_cast<std::size_t>(gy) * nx + gx;
                const int cx = std::max(0, std::min(nx - 1, static_cast<int>((x + shift_x[g]) / side)));
                const int cy = std::max(0, std::min(ny - 1, static_cast<int>((y + shift_y[g]) / side)));
                put_region_colour(map, x, y, cy * nx + cx + 1);
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
Case make_voronoi_case(int width, int height, int sites) {
    static std::map<std::tuple<int, int, int>, Case> made;
    const auto key = std::make_tuple(width, height, sites);
    if (made.count(key)) return made[key];
    Case c;
    c.picture = enlarged_coffee(width, height);
    c.regions = (scratch_dir() / ("voronoi_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
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
        CImage map(height, width, 1, 3, 4);
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
                put_region_colour(map, x, y, nearest + 1);
            }
        map.WriteImage(c.regions.c_str());
    }
    read_seeds(KALVIO_EXAMPLES_DIR "/coffee_seeds.txt", c, width / 450.0, height / 300.0);
    made[key] = c;
    return c;
}

Case sample_case(const std::string& name, const std::string& picture) {
    Case c;
    c.picture = std::string(KALVIO_EXAMPLES_DIR) + "/" + picture;
    c.regions = std::string(KALVIO_EXAMPLES_DIR) + "/" + name + "_regions.bmp";
    read_seeds(std::string(KALVIO_EXAMPLES_DIR) + "/" + name + "_seeds.txt", c);
    return c;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The floor: both files read and one pass over their pixels.
void floor_run(benchmark::State& state, const Case& c) {
    double checksum = 0;
    for (auto _ : state) {
        CImage picture, map;
        picture.ReadImage(c.picture.c_str());
        map.ReadImage(c.regions.c_str());
        float sum = 0;
        for (const CImage* image : {&picture, &map}) {
            const int length = image->color == 1 ? 3 * image->ncols : image->ncols;
            for (int r = 0; r < image->nrows; ++r)
                for (int i = 0; i < length; ++i) sum += image->data[r][i];
        }
        checksum += sum;
        benchmark::DoNotOptimize(checksum);
    }
}

// One whole run; each phase's time goes into a counter (seconds per run).
void segment_run(benchmark::State& state, const Case& c, float parameter = 10.0f) {
    kalvio::set_message_handler([](const std::string&, kalvio::MessageButtons, kalvio::MessageIcon) { return IDOK; });
    MyImage picture;
    if (!picture.ReadImage(c.picture.c_str())) {
        state.SkipWithError("cannot read the picture");
        return;
    }
    double load = 0, regions = 0, cut = 0;
    int region_count = 0, cuts = 0;
    for (auto _ : state) {
        Contour contour(&picture);
        contour.parameter = parameter;
        for (const CPoint& p : c.object) contour.AddSeed(p.x, p.y, 1);
        for (const CPoint& p : c.background) contour.AddSeed(p.x, p.y, 2);
        auto t = std::chrono::steady_clock::now();
        contour.LoadRegionMap(c.regions);
        load += since(t);
        t = std::chrono::steady_clock::now();
        contour.ComputeRegions();
        regions += since(t);
        t = std::chrono::steady_clock::now();
        contour.BuildGraph();
        contour.LocalGraphCut();
        cut += since(t);
        region_count = contour.region_count();
        cuts = contour.cut_count();
        contour.ReleaseRegions();
        contour.ReleaseRunData();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["load_region_map_s"] = load / runs;
    state.counters["compute_regions_s"] = regions / runs;
    state.counters["graph_cuts_s"] = cut / runs;
    state.counters["regions"] = region_count;
    state.counters["cuts"] = cuts;
    state.counters["cut_us_per_region"] = cut / runs / std::max(1, region_count) * 1e6;
}

// The plain I/O floor of a run: both files read with fread into fresh
// memory and a result of the picture's file size written with fwrite.
void io_floor_run(benchmark::State& state, const Case& c) {
    const fs::path out = fs::temp_directory_path() / "varnex-bench" / "floor_result.bin";
    for (auto _ : state) {
        std::size_t picture_bytes = 0;
        for (const std::string* name : {&c.picture, &c.regions}) {
            std::FILE* in = std::fopen(name->c_str(), "rb");
            if (!in) {
                state.SkipWithError("cannot read");
                return;
            }
            const std::size_t size = static_cast<std::size_t>(fs::file_size(*name));
            std::unique_ptr<char[]> data(new char[size]);
            benchmark::DoNotOptimize(std::fread(data.get(), 1, size, in));
            std::fclose(in);
            if (name == &c.picture) picture_bytes = size;
        }
        std::unique_ptr<char[]> result(new char[picture_bytes]);
        std::memset(result.get(), 255, picture_bytes);
        std::FILE* file = std::fopen(out.c_str(), "wb");
        if (!file) {
            state.SkipWithError("cannot write");
            return;
        }
        std::fwrite(result.get(), 1, picture_bytes, file);
        std::fclose(file);
    }
    fs::remove(out);
}

// A session's first cut, then one more stroke at a time and a cut after
// each: the time a user waits between painting and seeing the new result.
// The strokes are lines of 7 x 7 brush stamps at random places, object and
// background in turn.
void refine_run(benchmark::State& state, const Case& c) {
    kalvio::set_message_handler([](const std::string&, kalvio::MessageButtons, kalvio::MessageIcon) { return IDOK; });
    MyImage picture;
    if (!picture.ReadImage(c.picture.c_str())) {
        state.SkipWithError("cannot read the picture");
        return;
    }
    Contour contour(&picture);
    for (const CPoint& p : c.object) contour.AddSeed(p.x, p.y, 1);
    for (const CPoint& p : c.background) contour.AddSeed(p.x, p.y, 2);
    SegmentationSession session(contour);
    if (!session.LoadRegionMap(c.regions) || !session.Cut()) {
        state.SkipWithError("first cut failed");
        return;
    }
    state.counters["first_cut_s"] = session.seconds_regions + session.seconds_cut;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> px(40, picture.width - 41), py(40, picture.height - 41);
    int stroke = 0;
    double recut = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const int x0 = px(rng), y0 = py(rng), kind = 1 + stroke++ % 2;
        for (int step = 0; step < 40; ++step)
            for (int dx = -3; dx <= 3; ++dx)
                for (int dy = -3; dy <= 3; ++dy) contour.AddSeed(x0 + step + dx, y0 + dy, kind);
        state.ResumeTiming();
        if (!session.Cut()) {
            state.SkipWithError("cut failed");
            return;
        }
        recut += session.seconds_cut;
    }
    state.counters["recut_s"] = recut / static_cast<double>(state.iterations());
    state.counters["cuts"] = contour.cut_count();
    state.counters["regions"] = contour.region_count();
}

void register_all() {
    for (auto [name, picture] : {std::pair{"coins", "coins.pgm"}, {"coffee", "coffee.ppm"},
                                 {"brain_pd", "brain_pd.bmp"}}) {
        const Case c = sample_case(name, picture);
        benchmark::RegisterBenchmark((std::string("floor/") + name).c_str(), floor_run, c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("segment/") + name).c_str(), segment_run, c, 10.0f)->Unit(benchmark::kMillisecond);
    }
    for (int regions : {2000, 5000, 20000, 50000}) {
        const std::string tag = "12MP_" + std::to_string(regions) + "_regions";
        benchmark::RegisterBenchmark(("floor/" + tag).c_str(), [regions](benchmark::State& s) {
            floor_run(s, make_large_case(regions));
        })->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark(("segment/" + tag).c_str(), [regions](benchmark::State& s) {
            segment_run(s, make_large_case(regions));
        })->Unit(benchmark::kMillisecond)->Iterations(3);
    }
    // Voronoi maps of about 220 pixels per region at two sizes: the cut's
    // time per region should not grow with the map. A parameter of 100000
    // lets cuts move labelled regions.
    for (const auto& [width, height, sites] : {std::tuple{4000, 3000, 54000}, std::tuple{5000, 5000, 112000}})
        for (float parameter : {10.0f, 100000.0f}) {
            const std::string tag = "voronoi_" + std::to_string(width * height / 1000000) + "MP_" + std::to_string(sites) +
                                    "_sites/parameter:" + std::to_string(static_cast<int>(parameter));
            benchmark::RegisterBenchmark(("segment/" + tag).c_str(), [=](benchmark::State& s) {
                segment_run(s, make_voronoi_case(width, height, sites), parameter);
            })->Unit(benchmark::kMillisecond)->Iterations(3);
        }
    // Refinement of the 12-megapixel case beside the plain I/O floor.
    for (int regions : {2000, 5000, 20000, 50000}) {
        const std::string tag = "12MP_" + std::to_string(regions) + "_regions";
        benchmark::RegisterBenchmark(("io_floor/" + tag).c_str(), [regions](benchmark::State& s) {
            io_floor_run(s, make_large_case(regions));
        })->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark(("recut/" + tag).c_str(), [regions](benchmark::State& s) {
            refine_run(s, make_large_case(regions));
        })->Unit(benchmark::kMillisecond)->Iterations(10);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
