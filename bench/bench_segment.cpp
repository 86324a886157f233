// The whole segmentation run, phase by phase, beside its floor: reading the
// picture and region map files and one pass over their pixels.
#include <benchmark/benchmark.h>

#include <kalvio/kalvio.h>
#include <varnex/contour.h>
#include <varnex/segmentation_run.h>

#include "large_case_p.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <sys/mman.h>

namespace {

namespace fs = std::filesystem;

using bench::make_large_case;
using bench::read_seeds;
using bench::SegmentCase;

SegmentCase sample_case(const std::string& name, const std::string& picture) {
    SegmentCase c;
    c.picture = std::string(KALVIO_EXAMPLES_DIR) + "/" + picture;
    c.regions = std::string(KALVIO_EXAMPLES_DIR) + "/" + name + "_regions.bmp";
    read_seeds(std::string(KALVIO_EXAMPLES_DIR) + "/" + name + "_seeds.txt", c);
    return c;
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The floor: both files read and one pass over their pixels.
void floor_run(benchmark::State& state, const SegmentCase& c) {
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
void segment_run(benchmark::State& state, const SegmentCase& c, float parameter = 10.0f) {
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

// A block of `size` bytes of pages the process has never touched, as a new
// process reading the files gets them, unmapped when it goes. A block from
// malloc is not always fresh: after the sessions of earlier benchmarks,
// blocks of this size came from heap memory they had touched and freed,
// which costs no page faults (a third of the time on this machine).
struct FreshBlock {
    explicit FreshBlock(std::size_t bytes)
        : size(bytes), data(static_cast<char*>(::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {
        if (data == MAP_FAILED) data = nullptr;
    }
    ~FreshBlock() {
        if (data) ::munmap(data, size);
    }
    FreshBlock(const FreshBlock&) = delete;
    FreshBlock& operator=(const FreshBlock&) = delete;
    std::size_t size;
    char* data;
};

// The plain I/O floor of a run: both files read with fread into fresh
// memory and a result of the picture's file size written with fwrite.
void io_floor_run(benchmark::State& state, const SegmentCase& c) {
    const fs::path out = bench::scratch_folder() / "floor_result.bin";
    for (auto _ : state) {
        std::size_t picture_bytes = 0;
        for (const std::string* name : {&c.picture, &c.regions}) {
            std::FILE* in = std::fopen(name->c_str(), "rb");
            if (!in) {
                state.SkipWithError("cannot read");
                return;
            }
            const std::size_t size = static_cast<std::size_t>(fs::file_size(*name));
            FreshBlock data(size);
            if (!data.data) {
                std::fclose(in);
                state.SkipWithError("not enough memory");
                return;
            }
            benchmark::DoNotOptimize(std::fread(data.data, 1, size, in));
            std::fclose(in);
            if (name == &c.picture) picture_bytes = size;
        }
        FreshBlock result(picture_bytes);
        if (!result.data) {
            state.SkipWithError("not enough memory");
            return;
        }
        std::memset(result.data, 255, picture_bytes);
        std::FILE* file = std::fopen(out.c_str(), "wb");
        if (!file) {
            state.SkipWithError("cannot write");
            return;
        }
        std::fwrite(result.data, 1, picture_bytes, file);
        std::fclose(file);
    }
    fs::remove(out);
}

// A session's first cut, then one more stroke at a time and a cut after
// each: the time a user waits between painting and seeing the new result.
// The strokes are lines of 7 x 7 brush stamps at random places, object and
// background in turn.
void refine_run(benchmark::State& state, const SegmentCase& c) {
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
        const SegmentCase c = sample_case(name, picture);
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
                segment_run(s, bench::make_voronoi_case(width, height, sites), parameter);
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
