// Region maps: MakeRegionMap on a 4000 x 3000 colour picture with regions
// of about 100 pixels, beside scikit-image's slic at the same region count
// (n_segments = pixels / 100, its defaults otherwise), and beside reading
// the same picture: CImage::ReadImage of it saved by us as a 24-bit BMP,
// and a plain fread of that file as the floor.
//
// The picture is photograph-like whole numbers 0..255: slanted colour
// gradients and waves, a few hundred discs and rectangles of flat colour,
// and noise; made once and written to a scratch folder under $TMPDIR or
// /tmp, removed at exit. slic runs in a child Python process
// (/usr/bin/python3, else python3 on the PATH) that reads the BMP with
// Pillow and times its slic call alone with perf_counter; that time is the
// benchmark's (manual time). Our times are wall-clock, all threads (one
// per processor, KALVIO_THREADS); MakeRegionMap returns a new image each
// time, as its interface does, so its times include getting it, as the
// read's include getting the picture.
//
// Each benchmark runs three times; the summary at the end takes the best
// iteration of each and prints the ratios: slic / ours, ours / ReadImage,
// ours / fread.
#include <kalvio/image.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 3000;
constexpr int kCols = 4000;
constexpr int kRegionSize = 100;
constexpr int kRepetitions = 3;

unsigned next_random(unsigned& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;  // 24 bits
}

// The picture, and the scratch folder holding it as a BMP file and the
// Python script; made on first use, removed when the program ends.
struct Files {
    std::string folder, bmp, script, output;
    std::unique_ptr<CImage> picture;

    Files() {
        const char* base = std::getenv("TMPDIR");
        folder = std::string(base && *base ? base : "/tmp") + "/kalvio-regions-XXXXXX";
        if (!mkdtemp(folder.data())) fail("cannot make a scratch folder");
        bmp = folder + "/picture.bmp";
        script = folder + "/slic.py";
        output = folder + "/slic.txt";
        picture = make_picture();
        if (!picture->WriteImage(bmp.c_str())) fail("cannot write the BMP file");
        std::ofstream(script) << "import sys, time\n"
                                 "import numpy as np\n"
                                 "from PIL import Image\n"
                                 "from skimage.segmentation import slic\n"
                                 "image = np.asarray(Image.open(sys.argv[1]).convert('RGB'))\n"
                                 "start = time.perf_counter()\n"
                                 "labels = slic(image, n_segments=int(sys.argv[2]), start_label=1)\n"
                                 "seconds = time.perf_counter() - start\n"
                                 "print(seconds, int(labels.max()))\n";
    }
    ~Files() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    [[noreturn]] void fail(const char* why) const {
        std::fprintf(stderr, "bench_regions: %s (%s)\n", why, folder.c_str());
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        std::exit(1);
    }

    static std::unique_ptr<CImage> make_picture() {
        auto p = std::make_unique<CImage>(kRows, kCols, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
        unsigned state = 2024;
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                float* px = p->data[r] + 3 * c;
                px[0] = 40.0f + 0.03f * c + 0.02f * r;
                px[1] = 120.0f + 60.0f * std::sin(r * 0.004f) * std::cos(c * 0.003f);
                px[2] = 200.0f - 0.025f * r + 20.0f * std::sin((r + c) * 0.01f);
            }
        for (int shape = 0; shape < 400; ++shape) {
            const int r0 = static_cast<int>(next_random(state) % kRows);
            const int c0 = static_cast<int>(next_random(state) % kCols);
            const int size = 20 + static_cast<int>(next_random(state) % 200);
            const bool disc = next_random(state) & 1;
            float colour[3];
            for (float& v : colour) v = static_cast<float>(next_random(state) % 256);
            for (int r = std::max(0, r0 - size); r < std::min(kRows, r0 + size); ++r)
                for (int c = std::max(0, c0 - size); c < std::min(kCols, c0 + size); ++c) {
                    const int dr = r - r0, dc = c - c0;
                    if (disc && dr * dr + dc * dc > size * size) continue;
                    if (!disc && (std::abs(dr) > size / 2)) continue;
                    for (int k = 0; k < 3; ++k) p->data[r][3 * c + k] = colour[k];
                }
        }
        for (int r = 0; r < kRows; ++r)
            for (int i = 0; i < 3 * kCols; ++i) {
                const float noise = static_cast<float>(next_random(state) % 17) - 8.0f;
                p->data[r][i] = std::clamp(std::round(p->data[r][i] + noise), 0.0f, 255.0f);
            }
        return p;
    }
};

const Files& files() {
    static Files f;
    return f;
}

// Best time of one iteration of each benchmark, for the summary.
std::map<std::string, double>& best() {
    static std::map<std::string, double> times;
    return times;
}

void keep_best(const std::string& name, double seconds) {
    auto [it, added] = best().emplace(name, seconds);
    if (!added) it->second = std::min(it->second, seconds);
}

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void pixels_per_second(benchmark::State& state) {
    state.counters["Mpixels/s"] =
        benchmark::Counter(double(state.iterations()) * kRows * kCols * 1e-6, benchmark::Counter::kIsRate);
}

// The floor: the BMP file read front to back, a megabyte at a time.
void BM_fread(benchmark::State& state) {
    const std::string& path = files().bmp;
    std::vector<char> buffer(std::size_t{1} << 20);
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        std::FILE* file = std::fopen(path.c_str(), "rb");
        while (file && std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {}
        if (file) std::fclose(file);
        benchmark::DoNotOptimize(buffer.data());
        keep_best("fread", since(t));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(path)));
}

void BM_ReadImage(benchmark::State& state) {
    const std::string& path = files().bmp;
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        CImage image;
        if (!image.ReadImage(path.c_str())) {
            state.SkipWithError("cannot read the BMP file");
            return;
        }
        benchmark::DoNotOptimize(image.data);
        keep_best("ReadImage", since(t));
    }
    pixels_per_second(state);
}

void BM_MakeRegionMap(benchmark::State& state) {
    CImage& picture = *files().picture;
    int regions = 0;
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        std::unique_ptr<CImage> map(picture.MakeRegionMap(kRegionSize, &regions));
        if (!map) {
            state.SkipWithError("MakeRegionMap failed");
            return;
        }
        benchmark::DoNotOptimize(map->data);
        keep_best("MakeRegionMap", since(t));
    }
    state.counters["regions"] = regions;
    state.counters["mean_size"] = double(kRows) * kCols / std::max(1, regions);
    pixels_per_second(state);
}

// Runs the slic script on the BMP file; its seconds and region count, or
// false when no Python with scikit-image could run it.
bool run_slic(double* seconds, int* regions) {
    const Files& f = files();
    const std::string count = std::to_string(kRows * kCols / kRegionSize);
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        std::vector<std::string> args = {python, f.script, f.bmp, count};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, f.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid;
        int status = 0;
        const bool started = posix_spawnp(&pid, python, &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!started || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) continue;
        std::ifstream in(f.output);
        if (in >> *seconds >> *regions) return true;
    }
    return false;
}

void BM_slic(benchmark::State& state) {
    int regions = 0;
    for (auto _ : state) {
        double seconds = 0;
        if (!run_slic(&seconds, &regions)) {
            state.SkipWithError("no Python with scikit-image and Pillow to run slic");
            return;
        }
        state.SetIterationTime(seconds);
        keep_best("slic", seconds);
    }
    state.counters["regions"] = regions;
    state.counters["mean_size"] = double(kRows) * kCols / std::max(1, regions);
    pixels_per_second(state);
}

void print_summary() {
    const auto& t = best();
    const auto get = [&t](const char* name) {
        const auto it = t.find(name);
        return it == t.end() ? 0.0 : it->second;
    };
    const double ours = get("MakeRegionMap"), read = get("ReadImage"), floor = get("fread"), slic = get("slic");
    if (ours <= 0) return;
    std::printf("\nBest iterations: MakeRegionMap %.1f ms, ReadImage %.1f ms, fread %.1f ms", ours * 1e3, read * 1e3,
                floor * 1e3);
    if (slic > 0) std::printf(", slic %.1f ms", slic * 1e3);
    std::printf("\n");
    if (slic > 0) std::printf("  slic / MakeRegionMap      = %.1f (goal: at least 10)\n", slic / ours);
    if (read > 0) std::printf("  MakeRegionMap / ReadImage = %.2f (goal: at most 3)\n", ours / read);
    if (floor > 0) std::printf("  MakeRegionMap / fread     = %.2f\n", ours / floor);
}

}  // namespace

BENCHMARK(BM_fread)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_ReadImage)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_MakeRegionMap)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_slic)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->Repetitions(kRepetitions);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    files();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_summary();
    return 0;
}
