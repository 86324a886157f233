// Decoding: CImage::ReadImage of a 4000 x 3000 colour JPEG and PNG beside
// Pillow's decoding of the same files (Image.open(path).load()).
//
// The picture is photograph-like whole numbers 0..255: slanted colour
// gradients and waves, a few hundred discs of flat colour, and noise; made
// once at start-up, written as PNG by our writer and turned into a JPEG
// (quality 90, 4:2:0) by Pillow, in a scratch folder under $TMPDIR or /tmp
// that is removed at exit. Pillow runs in a child Python process
// (/usr/bin/python3, else python3 on the PATH), which decodes the file once
// to load its modules, then times three more decodes with perf_counter and
// reports the fastest; that is the benchmark's time (manual time), so the
// interpreter's start is left out. Our times are wall-clock and include
// getting the float picture, which ReadImage allocates anew each time.
//
// Each benchmark runs three times; the summary at the end takes the best
// iteration of each and prints ours / Pillow (goal: at most 1.2).
#include <kalvio/formats.h>
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
#include <iterator>
#include <map>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kRows = 3000, kCols = 4000, kRepetitions = 3;

const char* kScript = R"(import sys, time
from PIL import Image
if sys.argv[1] == "jpeg":
    Image.open(sys.argv[2]).save(sys.argv[3], quality=90)
    sys.exit(0)
Image.open(sys.argv[2]).load()
times = []
for _ in range(3):
    t = time.perf_counter()
    Image.open(sys.argv[2]).load()
    times.append(time.perf_counter() - t)
print(min(times))
)";

// Seeded uniform integers.
struct Random {
    unsigned state;
    unsigned next(unsigned n) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % n;
    }
};

std::unique_ptr<CImage> make_picture() {
    auto picture = std::make_unique<CImage>(kRows, kCols, 1, KALVIO_FORMAT_PNG, KALVIO_TYPE_UINT8);
    Random random{12345};
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c)
            for (int k = 0; k < 3; ++k) {
                const double wave = 40.0 * std::sin((c * (k + 1) + r * 2) * 0.004) * std::cos(r * 0.003 * (3 - k));
                const double value = 60.0 + 0.025 * (c + (k + 1) * r) + wave + random.next(12);
                picture->data[r][3 * c + k] = float(std::min(255.0, std::max(0.0, value)));
            }
    for (int disc = 0; disc < 300; ++disc) {
        const int cr = int(random.next(kRows)), cc = int(random.next(kCols)), radius = 10 + int(random.next(120));
        const float colour[3] = {float(random.next(256)), float(random.next(256)), float(random.next(256))};
        for (int r = std::max(0, cr - radius); r < std::min(kRows, cr + radius); ++r)
            for (int c = std::max(0, cc - radius); c < std::min(kCols, cc + radius); ++c)
                if ((r - cr) * (r - cr) + (c - cc) * (c - cc) < radius * radius)
                    for (int k = 0; k < 3; ++k) picture->data[r][3 * c + k] = colour[k];
    }
    return picture;
}

// Runs the script with `args`; its standard output, or "" when no Python
// with Pillow could run it.
std::string run_python(const std::string& script, std::vector<std::string> args, const std::string& output) {
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        std::vector<std::string> all = {python, script};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid;
        int status = 0;
        const bool started = posix_spawnp(&pid, python, &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!started || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) continue;
        std::ifstream in(output);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        return text.empty() ? "-" : text;
    }
    return "";
}

struct Files {
    std::filesystem::path dir;
    std::string png, jpeg, script, output;
    bool have_jpeg = false;

    Files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kalvio-bench-decode-XXXXXX";
        dir = mkdtemp(pattern.data()) ? pattern : "";
        png = (dir / "picture.png").string();
        jpeg = (dir / "picture.jpg").string();
        script = (dir / "decode.py").string();
        output = (dir / "output.txt").string();
        std::ofstream(script) << kScript;
        const auto picture = make_picture();
        if (!write_png_image(picture->data, png.c_str(), kRows, kCols, 1, KALVIO_TYPE_UINT8))
            std::fprintf(stderr, "bench_decode: cannot write %s\n", png.c_str());
        have_jpeg = !run_python(script, {"jpeg", png, jpeg}, output).empty();
    }
    ~Files() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

Files& files() {
    static Files f;
    return f;
}

std::map<std::string, double>& best() {
    static std::map<std::string, double> times;
    return times;
}

void keep_best(const std::string& name, double seconds) {
    auto& t = best()[name];
    if (t == 0 || seconds < t) t = seconds;
}

void megapixels_per_second(benchmark::State& state) {
    state.counters["MP/s"] =
        benchmark::Counter(double(state.iterations()) * kRows * kCols * 1e-6, benchmark::Counter::kIsRate);
}

void BM_ReadImage(benchmark::State& state, bool jpeg) {
    const Files& f = files();
    if (jpeg && !f.have_jpeg) {
        state.SkipWithError("no Python with Pillow to make the JPEG");
        return;
    }
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        CImage image;
        if (!image.ReadImage((jpeg ? f.jpeg : f.png).c_str())) {
            state.SkipWithError("ReadImage failed");
            return;
        }
        benchmark::DoNotOptimize(image.data);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
        state.SetIterationTime(seconds);
        keep_best(jpeg ? "kalvio jpeg" : "kalvio png", seconds);
    }
    megapixels_per_second(state);
}

void BM_Pillow(benchmark::State& state, bool jpeg) {
    const Files& f = files();
    for (auto _ : state) {
        const std::string text = jpeg && !f.have_jpeg ? "" : run_python(f.script, {"time", jpeg ? f.jpeg : f.png}, f.output);
        const double seconds = std::atof(text.c_str());
        if (seconds <= 0) {
            state.SkipWithError("no Python with Pillow to decode the file");
            return;
        }
        state.SetIterationTime(seconds);
        keep_best(jpeg ? "pillow jpeg" : "pillow png", seconds);
    }
    megapixels_per_second(state);
}

void print_summary() {
    std::printf("\nBest iterations (4000 x 3000 colour):\n");
    for (const char* kind : {"jpeg", "png"}) {
        const double ours = best()[std::string("kalvio ") + kind], pillow = best()[std::string("pillow ") + kind];
        if (ours > 0 && pillow > 0)
            std::printf("  %-4s ReadImage %.1f ms, Pillow %.1f ms: ours / Pillow = %.2f (goal: at most 1.2)\n", kind,
                        ours * 1e3, pillow * 1e3, ours / pillow);
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReadImage, jpeg, true)->Name("ReadImage/jpeg")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_Pillow, jpeg, true)->Name("Pillow/jpeg")->UseManualTime()->Iterations(3)
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_ReadImage, png, false)->Name("ReadImage/png")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_Pillow, png, false)->Name("Pillow/png")->UseManualTime()->Iterations(3)
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    files();  // the pictures, before any timing
    benchmark::RunSpecifiedBenchmarks();
    print_summary();
    benchmark::Shutdown();
    return 0;
}
