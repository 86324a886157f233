// Decoding: CImage::ReadImage of a 4000 x 3000 colour JPEG and PNG beside
// Pillow's decoding of the same files (Image.open(path).load()); and
// reading and writing the same picture as a 24-bit BMP and a PPM through
// CImage beside plain stdio moving the same bytes.
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
//
// Uncompressed files (BMP, PPM; 36 MB each): ReadImage of the file beside
// fread of its bytes into fresh memory (new[], released after each
// iteration, as the picture is); WriteImage of the picture (read from the
// file once) beside fwrite of the file's bytes to a new file, once with
// fsync before fclose and once without. Our writers publish a file only
// when it is complete (a temporary file beside the target, synced, then
// renamed), so the synced write is their like. Times are wall-clock; each
// iteration's processor time (user and system, all threads) is kept as
// well, as the machine may be shared. The summary prints ours / stdio for
// both, from the best iteration of each. KALVIO_BENCH_BMP=<path> takes that
// BMP file instead of the one made here (it is only read, writes go to the
// scratch folder; the MP/s counters count 4000 x 3000 pixels).
#include <kalvio/formats.h>
#include <kalvio/image.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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
    std::string png, jpeg, bmp, ppm, written, script, output;
    bool have_jpeg = false;

    Files() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kalvio-bench-decode-XXXXXX";
        dir = mkdtemp(pattern.data()) ? pattern : "";
        png = (dir / "picture.png").string();
        jpeg = (dir / "picture.jpg").string();
        bmp = (dir / "picture.bmp").string();
        ppm = (dir / "picture.ppm").string();
        written = (dir / "written").string();
        script = (dir / "decode.py").string();
        output = (dir / "output.txt").string();
        std::ofstream(script) << kScript;
        const auto picture = make_picture();
        if (!write_png_image(picture->data, png.c_str(), kRows, kCols, 1, KALVIO_TYPE_UINT8))
            std::fprintf(stderr, "bench_decode: cannot write %s\n", png.c_str());
        if (const char* given = std::getenv("KALVIO_BENCH_BMP"); given && *given)
            bmp = given;
        else if (!write_bmp_image(picture->data, bmp.c_str(), kRows, kCols, 1))
            std::fprintf(stderr, "bench_decode: cannot write %s\n", bmp.c_str());
        if (!write_ppm_image(picture->data, ppm.c_str(), kRows, kCols, 1))
            std::fprintf(stderr, "bench_decode: cannot write %s\n", ppm.c_str());
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

// Processor time of the whole process, user and system, in seconds.
double process_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Times one iteration on the wall clock and in processor time, keeping the
// best of each under `name` and "<name> cpu".
class Timed {
public:
    explicit Timed(std::string name)
        : m_name(std::move(name)), m_wall(std::chrono::steady_clock::now()), m_cpu(process_seconds()) {}
    double stop() {
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wall).count();
        keep_best(m_name, wall);
        keep_best(m_name + " cpu", process_seconds() - m_cpu);
        return wall;
    }

private:
    std::string m_name;
    std::chrono::steady_clock::time_point m_wall;
    double m_cpu;
};

const std::string& file_of(const std::string& kind) { return kind == "bmp" ? files().bmp : files().ppm; }

void BM_ReadFile(benchmark::State& state, const std::string& kind) {
    const std::string& path = file_of(kind);
    for (auto _ : state) {
        Timed timed("ReadImage " + kind);
        CImage image;
        if (!image.ReadImage(path.c_str())) {
            state.SkipWithError("ReadImage failed");
            return;
        }
        benchmark::DoNotOptimize(image.data);
        state.SetIterationTime(timed.stop());
    }
    megapixels_per_second(state);
}

// The file's bytes into fresh memory, released after each iteration.
void BM_fread(benchmark::State& state, const std::string& kind) {
    const std::string& path = file_of(kind);
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(path));
    for (auto _ : state) {
        Timed timed("fread " + kind);
        std::unique_ptr<char[]> bytes(new char[size]);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        const std::size_t got = file ? std::fread(bytes.get(), 1, size, file) : 0;
        if (file) std::fclose(file);
        benchmark::DoNotOptimize(bytes.get());
        bytes.reset();
        if (got != size) {
            state.SkipWithError("fread failed");
            return;
        }
        state.SetIterationTime(timed.stop());
    }
    megapixels_per_second(state);
}

void BM_WriteFile(benchmark::State& state, const std::string& kind) {
    CImage image;
    if (!image.ReadImage(file_of(kind).c_str())) {
        state.SkipWithError("ReadImage failed");
        return;
    }
    const std::string path = files().written + "." + kind;
    for (auto _ : state) {
        Timed timed("WriteImage " + kind);
        if (!image.WriteImage(path.c_str())) {
            state.SkipWithError("WriteImage failed");
            return;
        }
        state.SetIterationTime(timed.stop());
    }
    megapixels_per_second(state);
}

// The file's bytes, read once, written to a new file; with `sync`, synced
// before it is closed.
void BM_fwrite(benchmark::State& state, const std::string& kind, bool sync) {
    const std::string& source = file_of(kind);
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(source));
    std::vector<char> bytes(size);
    std::FILE* in = std::fopen(source.c_str(), "rb");
    const bool loaded = in && std::fread(bytes.data(), 1, size, in) == size;
    if (in) std::fclose(in);
    if (!loaded) {
        state.SkipWithError("cannot read the file");
        return;
    }
    const std::string path = files().written + ".stdio";
    const std::string name = (sync ? "fwrite+fsync " : "fwrite ") + kind;
    for (auto _ : state) {
        Timed timed(name);
        std::remove(path.c_str());
        std::FILE* file = std::fopen(path.c_str(), "wb");
        bool ok = file && std::fwrite(bytes.data(), 1, size, file) == size;
        if (file && sync) ok = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0 && ok;
        if (file) ok = std::fclose(file) == 0 && ok;
        if (!ok) {
            state.SkipWithError("fwrite failed");
            return;
        }
        state.SetIterationTime(timed.stop());
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
    const auto line = [](const std::string& ours, const std::string& peer) {
        const double wall = best()[ours], peer_wall = best()[peer];
        const double cpu = best()[ours + " cpu"], peer_cpu = best()[peer + " cpu"];
        if (wall > 0 && peer_wall > 0)
            std::printf("  %-14s %6.1f ms (cpu %6.1f), %-16s %6.1f ms (cpu %6.1f): ours / stdio = %.2f (cpu %.2f)\n",
                        ours.c_str(), wall * 1e3, cpu * 1e3, peer.c_str(), peer_wall * 1e3, peer_cpu * 1e3,
                        wall / peer_wall, peer_cpu > 0 ? cpu / peer_cpu : 0.0);
    };
    for (const std::string kind : {"bmp", "ppm"}) {
        line("ReadImage " + kind, "fread " + kind);
        line("WriteImage " + kind, "fwrite+fsync " + kind);
        line("WriteImage " + kind, "fwrite " + kind);
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
// Ours and stdio alternate, so that a busy spell of the machine does not
// fall on one side only.
BENCHMARK_CAPTURE(BM_ReadFile, bmp, "bmp")->Name("ReadImage/bmp")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fread, bmp, "bmp")->Name("fread/bmp")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_WriteFile, bmp, "bmp")->Name("WriteImage/bmp")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fwrite, bmp_sync, "bmp", true)->Name("fwrite+fsync/bmp")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fwrite, bmp, "bmp", false)->Name("fwrite/bmp")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_ReadFile, ppm, "ppm")->Name("ReadImage/ppm")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fread, ppm, "ppm")->Name("fread/ppm")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_WriteFile, ppm, "ppm")->Name("WriteImage/ppm")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fwrite, ppm_sync, "ppm", true)->Name("fwrite+fsync/ppm")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(BM_fwrite, ppm, "ppm", false)->Name("fwrite/ppm")->UseManualTime()
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
