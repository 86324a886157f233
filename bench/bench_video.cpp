// Movies: reading every frame of an AVI file, and VideoFromYUV, each beside
// the ffmpeg command doing the same conversion (a child process, timed whole,
// skipped when ffmpeg is not installed) and a plain fread of the input.
//
// The inputs, 1280 x 720 x 300 frames, are made at start-up in a scratch
// folder under $TMPDIR or /tmp, removed at exit: an uncompressed 24-bit AVI
// file (830 MB) written by CVideo and a yuv420p file (415 MB). TMPDIR is then
// pointed there for our temporary movies. Everything is read from the page
// cache. Wall-clock times (our YUV conversion is threaded; the child is not
// us); cpu_ms adds the processor time of all our threads and of the child.
#include <kalvio/image.h>
#include <kalvio/video.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 720;
constexpr int kCols = 1280;
constexpr int kFrames = 300;
constexpr std::int64_t kYuvFrame = kRows * kCols * 3 / 2;

// The scratch folder and the two movies in it, made on first use and
// removed when the program ends.
struct Movies {
    std::string folder, avi, yuv, out;

    Movies() {
        const char* base = std::getenv("TMPDIR");
        folder = std::string(base && *base ? base : "/tmp") + "/kalvio-video-XXXXXX";
        struct statvfs disk {};
        if (!mkdtemp(folder.data())) fail("cannot make a scratch folder");
        if (statvfs(folder.c_str(), &disk) != 0 || double(disk.f_bavail) * disk.f_frsize < 3e9)
            fail("the scratch folder needs 3 GB free");
        avi = folder + "/movie.avi";
        yuv = folder + "/in.yuv";
        out = folder + "/out.avi";
        setenv("TMPDIR", folder.c_str(), 1);

        // Colour bars drifting right, a ramp moving down, a blinking checkerboard.
        CVideo movie(avi.c_str(), kRows, kCols, kFrames, KALVIO_VIDEO_AVI, KALVIO_TYPE_UINT8, 1);
        CImage image(kRows, kCols, 1, KALVIO_FORMAT_QVF, KALVIO_TYPE_UINT8);
        for (int f = 0; f < kFrames && movie.current == f; ++f) {
            for (int r = 0; r < kRows; ++r)
                for (int c = 0; c < kCols; ++c) {
                    float* p = image.data[r] + 3 * c;
                    p[0] = float((c + 4 * f) / 40 % 6 * 50);
                    p[1] = float((r + 2 * f) & 255);
                    p[2] = ((r / 16 + c / 16 + f / 8) & 1) ? 200.0f : 40.0f;
                }
            movie.WriteCurrentFrame(&image);
        }
        if (movie.current != kFrames || !movie.CloseVideo()) fail("cannot write the AVI movie");

        // Diagonal luma ramps, chroma planes drifting each its own way.
        std::vector<std::uint8_t> frame(kYuvFrame);
        std::FILE* file = std::fopen(yuv.c_str(), "wb");
        bool ok = file != nullptr;
        for (int f = 0; ok && f < kFrames; ++f) {
            std::uint8_t* p = frame.data();
            for (int r = 0; r < kRows; ++r)
                for (int c = 0; c < kCols; ++c) *p++ = std::uint8_t(16 + (r + c + 3 * f) % 220);
            for (int plane = 0; plane < 2; ++plane)
                for (int r = 0; r < kRows / 2; ++r)
                    for (int c = 0; c < kCols / 2; ++c)
                        *p++ = std::uint8_t(plane ? 128 + (r - 180 + f) % 100 : 2 * c + f);
            ok = std::fwrite(frame.data(), 1, frame.size(), file) == frame.size();
        }
        if (!file || std::fclose(file) != 0 || !ok) fail("cannot write the YUV file");
    }
    ~Movies() { remove(); }
    void remove() const {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    [[noreturn]] void fail(const char* why) const {
        std::fprintf(stderr, "bench_video: %s (%s)\n", why, folder.c_str());
        remove();
        std::exit(1);
    }
};

const Movies& movies() {
    static Movies files;
    return files;
}

// Runs ffmpeg with these arguments and waits for it; true when it exits 0.
bool run_ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"ffmpeg", "-v", "error", "-nostdin"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return false;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Processor time of this process (all threads) and its waited-for children, ms.
double cpu_ms() {
    double ms = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        for (const timeval& t : {u.ru_utime, u.ru_stime}) ms += double(t.tv_sec) * 1e3 + double(t.tv_usec) * 1e-3;
    }
    return ms;
}

void count(benchmark::State& state, double cpu_start, std::int64_t file_bytes) {
    const double n = double(state.iterations());
    state.counters["frames/s"] = benchmark::Counter(n * kFrames, benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = (cpu_ms() - cpu_start) / n;
    state.SetBytesProcessed(state.iterations() * file_bytes);
}

// The floor: the input file read front to back, a frame's bytes at a time.
void BM_fread(benchmark::State& state, bool avi) {
    const std::string& path = avi ? movies().avi : movies().yuv;
    std::vector<char> buffer(avi ? kRows * kCols * 3 : kYuvFrame);
    const double cpu = cpu_ms();
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        while (file && std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {}
        if (file) std::fclose(file);
        benchmark::DoNotOptimize(buffer.data());
    }
    count(state, cpu, std::int64_t(fs::file_size(path)));
}

// Every frame of the AVI movie, each ending as floats (`frame`) and bits (`dib`).
void BM_read_avi(benchmark::State& state) {
    const std::string& path = movies().avi;
    const double cpu = cpu_ms();
    for (auto _ : state) {
        CVideo movie;
        bool ok = movie.OpenVideo(path.c_str()) && movie.nframes == kFrames;
        for (int i = 1; ok && i < kFrames; ++i) ok = movie.GetNextFrame();
        benchmark::DoNotOptimize(movie.frame);
        ok = ok && movie.current == kFrames - 1 && movie.frame && movie.dib;
        if (!ok) { state.SkipWithError("reading the movie failed"); break; }
    }
    count(state, cpu, std::int64_t(fs::file_size(path)));
}

// The new movie is removed (with the object) outside the timing, as
// ffmpeg's output file is.
void BM_VideoFromYUV(benchmark::State& state) {
    const std::string& path = movies().yuv;
    const double cpu = cpu_ms();
    for (auto _ : state) {
        std::unique_ptr<CVideo> movie(VideoFromYUV(path.c_str(), kRows, kCols, kFrames, 0, 0));
        state.PauseTiming();
        const bool ok = movie && movie->nframes == kFrames && movie->nrows == kRows && movie->ncols == kCols;
        movie.reset();
        state.ResumeTiming();
        if (!ok) { state.SkipWithError("VideoFromYUV failed"); break; }
    }
    count(state, cpu, kYuvFrame * kFrames);
}

// The same two jobs done by the ffmpeg command.
void BM_ffmpeg(benchmark::State& state, bool avi) {
    const Movies& files = movies();
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) return state.SkipWithError("ffmpeg not installed");
    const std::string size = std::to_string(kCols) + "x" + std::to_string(kRows);
    const std::vector<std::string> args =
        avi ? std::vector<std::string>{"-i", files.avi, "-f", "rawvideo", "-pix_fmt", "rgb24", "-y", "/dev/null"}
            : std::vector<std::string>{"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", size, "-r", "5", "-i",
                                       files.yuv, "-c:v", "rawvideo", "-pix_fmt", "bgr24", "-y", files.out};
    const double cpu = cpu_ms();
    for (auto _ : state) {
        const bool ok = run_ffmpeg(args);
        state.PauseTiming();
        fs::remove(files.out);
        state.ResumeTiming();
        if (!ok) { state.SkipWithError("ffmpeg failed"); break; }
    }
    count(state, cpu, avi ? std::int64_t(fs::file_size(files.avi)) : kYuvFrame * kFrames);
}

void settings(benchmark::internal::Benchmark* b) {
    b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}

BENCHMARK_CAPTURE(BM_fread, avi, true)->Apply(settings);
BENCHMARK(BM_read_avi)->Apply(settings);
BENCHMARK_CAPTURE(BM_ffmpeg, read_avi, true)->Apply(settings);
BENCHMARK_CAPTURE(BM_fread, yuv, false)->Apply(settings);
BENCHMARK(BM_VideoFromYUV)->Apply(settings);
BENCHMARK_CAPTURE(BM_ffmpeg, yuv_to_avi, false)->Apply(settings);

}  // namespace

BENCHMARK_MAIN();
