// A whole segmentation run the way a user meets it: a fresh varnex-segment
// process on a 12-megapixel picture, beside a fresh bench_io_floor process
// doing only the run's file input and output, with the peak memory of each.
#include <benchmark/benchmark.h>

#include <kalvio/kalvio.h>

#include "large_case_p.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace bench {
namespace {

namespace fs = std::filesystem;

bool g_per_pixel_map = false;  // --per_pixel_map: also the 4-million-region case

// The files of one run and the picture's size.
struct RunCase {
    std::string name, picture, regions, seeds;
    double pixels = 0;
    int iterations = 1;
    // FNV-1a of the result file and of the marks file (--marks) that the
    // case gives; 0: not checked.
    std::uint64_t result_hash = 0, marks_hash = 0;
};

// FNV-1a, 64 bits, of the file's bytes; 0 when it cannot be read.
std::uint64_t file_hash(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return 0;
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            hash = (hash ^ static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)])) * 0x100000001b3ULL;
    }
    return hash;
}

// Writes the seeds of `c` as 'x y kind' lines, unless the file exists.
std::string write_seed_file(const SegmentCase& c, const std::string& name) {
    const std::string file = (scratch_folder() / name).string();
    if (fs::exists(file)) return file;
    std::ofstream out(file);
    for (const CPoint& p : c.object) out << p.x << ' ' << p.y << " 1\n";
    for (const CPoint& p : c.background) out << p.x << ' ' << p.y << " 2\n";
    return file;
}

// The colour picture's grey values (the mean of the channels, rounded) as an
// 8-bit grey BMP, unless the file exists.
std::string write_grey_picture(const std::string& colour) {
    const std::string file = (scratch_folder() / "large_grey.bmp").string();
    if (fs::exists(file)) return file;
    CImage picture;
    picture.ReadImage(colour.c_str());
    std::unique_ptr<CImage> grey(picture.MakeGray());
    for (int y = 0; y < grey->nrows; ++y)
        for (int x = 0; x < grey->ncols; ++x) grey->data[y][x] = std::floor(grey->data[y][x] + 0.5f);
    grey->format = KALVIO_FORMAT_BMP;
    grey->datatype = KALVIO_TYPE_UINT8;
    grey->WriteImage(file.c_str());
    return file;
}

// A region map in which every pixel is a region of its own colour.
std::string write_per_pixel_map(int width, int height) {
    const std::string file = (scratch_folder() / "square_pixel_regions.bmp").string();
    if (fs::exists(file)) return file;
    CImage map(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) paint_region(map, x, y, y * width + x + 1);
    map.WriteImage(file.c_str());
    return file;
}

// The cases, their files made where missing. Each picture is read from and
// written to the page cache by every run alike.
std::vector<RunCase> make_cases() {
    std::vector<RunCase> cases;
    const double twelve = 4000.0 * 3000.0;
    const SegmentCase fine = make_large_case(10000), finer = make_large_case(50000);
    const std::string seeds = write_seed_file(fine, "large_seeds.txt");
    // The results and marks every change so far has kept, bit for bit.
    cases.push_back({"12MP_colour_10000_regions", fine.picture, fine.regions, seeds, twelve, 5, 0xa3ba308118ce7e7cULL,
                     0x74ae3ed927c6d25dULL});
    cases.push_back({"12MP_colour_50000_regions", finer.picture, finer.regions, seeds, twelve, 3, 0x43555306cff7279dULL,
                     0x5dd8ca267b0ce649ULL});
    // The main case: a grey picture with a colour region map.
    cases.push_back({"12MP_grey_10000_regions", write_grey_picture(fine.picture), fine.regions, seeds, twelve, 5,
                     0x1b51cf4ed45e0c9eULL, 0x178c57813153e65dULL});
    if (g_per_pixel_map) {
        const int side = 2000;
        SegmentCase square;
        square.picture = (scratch_folder() / "square.bmp").string();
        write_enlarged_coffee(square.picture, side, side);
        read_seeds(KALVIO_EXAMPLES_DIR "/coffee_seeds.txt", square, side / 450.0, side / 300.0);
        cases.push_back({"4MP_pixel_regions", square.picture, write_per_pixel_map(side, side),
                         write_seed_file(square, "square_seeds.txt"), double(side) * side, 1});
    }
    return cases;
}

// A child's ru_maxrss starts from the high-water mark of the memory it was
// started from (the kernel carries it over at exec), so the cases are made
// in a child process of their own and this one stays small.
bool make_case_files() {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        make_cases();
        std::_Exit(0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What one child process did.
struct ChildRun {
    std::string problem;    // "" when it exited with status 0
    double seconds = 0;     // wall time from start to reaped
    double peak_bytes = 0;  // its peak resident memory
    std::string output;     // its standard output
};

// Runs `args` (args[0] a path) with its standard output in a pipe, and waits
// for it.
ChildRun run_child(const std::vector<std::string>& args) {
    ChildRun run;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        run.problem = "cannot make a pipe";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        run.problem = "cannot start " + args[0] + ": " + std::strerror(error);
        return run;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        if (n > 0) run.output.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(ends[0]);
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peak_bytes = static_cast<double>(usage.ru_maxrss) * 1024.0;  // Linux gives KiB
    if (WIFSIGNALED(status)) run.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        run.problem = "exited with status " + std::to_string(WEXITSTATUS(status));
    if (!run.problem.empty()) {
        // How far a failed run got: its time and memory until then.
        char after[96];
        std::snprintf(after, sizeof after, " after %.2f s, peak %.0f MB", run.seconds, run.peak_bytes / 1e6);
        run.problem = fs::path(args[0]).filename().string() + " " + run.problem + after;
    }
    return run;
}

// The phases of varnex-segment's "time: read 0.157 s, region map 0.246 s,
// ..." line, by name ("read", "region map", ...), in seconds. Phases it
// does not print are missing; anything else on the line is ignored.
std::map<std::string, double> phase_seconds(const std::string& output) {
    std::map<std::string, double> phases;
    const std::size_t at = output.find("time:");
    if (at == std::string::npos) return phases;
    const std::string line = output.substr(at + 5, output.find('\n', at) - at - 5);
    static const std::regex phase(R"(([A-Za-z][A-Za-z ]*?)\s+([0-9]*\.?[0-9]+)\s*s\b)");
    for (auto m = std::sregex_iterator(line.begin(), line.end(), phase); m != std::sregex_iterator(); ++m)
        phases[(*m)[1].str()] = std::strtod((*m)[2].str().c_str(), nullptr);
    return phases;
}

// The region count of the summary's first line ("..., 24512 regions"), or -1.
double region_count(const std::string& output) {
    static const std::regex regions(R"(([0-9]+) regions)");
    std::smatch m;
    const std::string first = output.substr(0, output.find('\n'));
    return std::regex_search(first, m, regions) ? std::strtod(m[1].str().c_str(), nullptr) : -1;
}

// "region map" -> "region_map_ms"
std::string counter_name(std::string phase) {
    std::replace(phase.begin(), phase.end(), ' ', '_');
    return phase + "_ms";
}

std::string program_folder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

// Each iteration runs the floor, then varnex-segment: the two alternate, so
// that a slower spell of the machine falls on both. The time is the
// segmentation's wall time; x_floor is its mean over the best floor, and
// x_floor_best its best over the best floor (on a machine whose slow
// spells land on single iterations, the two bound the ratio).
void run_case(benchmark::State& state, const RunCase& c) {
    const std::string folder = program_folder();
    const std::string floor_out = (scratch_folder() / "run_floor_result.bin").string();
    const std::string run_out = (scratch_folder() / "run_result.bmp").string();
    const std::vector<std::string> floor_args = {folder + "/bench_io_floor", c.picture, c.regions, floor_out};
    const std::vector<std::string> run_args = {folder + "/varnex-segment", c.picture, "--regions", c.regions,
                                               "--seeds", c.seeds, "--output", run_out};
    double best_floor = 1e30, best_run = 1e30, total_run = 0, floor_peak = 0, run_peak = 0, regions = -1;
    std::map<std::string, double> phase_totals;
    for (auto _ : state) {
        const ChildRun floor = run_child(floor_args);
        if (!floor.problem.empty()) {
            state.SkipWithError(floor.problem.c_str());
            break;
        }
        const ChildRun run = run_child(run_args);
        if (!run.problem.empty()) {
            state.SkipWithError(run.problem.c_str());
            break;
        }
        state.SetIterationTime(run.seconds);
        best_floor = std::min(best_floor, floor.seconds);
        best_run = std::min(best_run, run.seconds);
        total_run += run.seconds;
        floor_peak = std::max(floor_peak, floor.peak_bytes);
        run_peak = std::max(run_peak, run.peak_bytes);
        for (const auto& [phase, seconds] : phase_seconds(run.output)) phase_totals[phase] += seconds;
        regions = region_count(run.output);
    }
    // Once more, untimed, with the marks: the result and the marks must be
    // those the case has always given.
    if (!state.error_occurred() && (c.result_hash != 0 || c.marks_hash != 0)) {
        const std::string marks_out = (scratch_folder() / "run_marks.json").string();
        std::vector<std::string> marked = run_args;
        marked.insert(marked.end(), {"--marks", marks_out});
        const ChildRun run = run_child(marked);
        char problem[160] = "";
        if (!run.problem.empty()) {
            std::snprintf(problem, sizeof problem, "%s", run.problem.c_str());
        } else {
            const std::uint64_t result = file_hash(run_out), marks = file_hash(marks_out);
            if (c.result_hash != 0 && result != c.result_hash)
                std::snprintf(problem, sizeof problem, "the result changed (FNV-1a %#llx)",
                              static_cast<unsigned long long>(result));
            else if (c.marks_hash != 0 && marks != c.marks_hash)
                std::snprintf(problem, sizeof problem, "the marks changed (FNV-1a %#llx)",
                              static_cast<unsigned long long>(marks));
        }
        fs::remove(marks_out);
        if (problem[0]) state.SkipWithError(problem);
    }
    fs::remove(floor_out);
    fs::remove(run_out);
    if (state.error_occurred()) return;
    const double runs = static_cast<double>(state.iterations());
    state.counters["floor_ms"] = best_floor * 1e3;
    state.counters["x_floor"] = total_run / runs / best_floor;
    state.counters["x_floor_best"] = best_run / best_floor;
    state.counters["floor_MB"] = floor_peak / 1e6;
    state.counters["peak_MB"] = run_peak / 1e6;
    state.counters["B_per_px"] = run_peak / c.pixels;
    for (const auto& [phase, total] : phase_totals) state.counters[counter_name(phase)] = total / runs * 1e3;
    if (regions >= 0) state.counters["regions"] = regions;
}

// Takes this program's own flags out of argv before the library sees them.
void parse_own_flags(int& argc, char** argv) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--per_pixel_map") == 0) g_per_pixel_map = true;
        else argv[out++] = argv[i];
    }
    argc = out;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    bench::parse_own_flags(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!bench::make_case_files()) {
        std::fputs("bench_run: cannot make the case files\n", stderr);
        return 1;
    }
    for (const bench::RunCase& c : bench::make_cases())
        benchmark::RegisterBenchmark(("run/" + c.name).c_str(), bench::run_case, c)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(c.iterations);
    benchmark::AddCustomContext("timing", "wall time of a fresh process, started to reaped");
    benchmark::AddCustomContext("floor", "bench_io_floor: fread of both files, fwrite of the picture's bytes");
    benchmark::AddCustomContext("programs", bench::program_folder());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
