// varnex-segment: the localized graph cut of a picture from its region map
// and seeds, without a user interface.
#include <kalvio/kalvio.h>
#include <varnex/contour.h>
#include <varnex/paths.h>
#include <varnex/seeds.h>
#include <varnex/segmentation_run.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: varnex-segment PICTURE [--regions FILE] [--seeds FILE] [--parameter P]\n"
    "                      [--output FILE] [--marks FILE] [--make-regions]\n"
    "                      [--region-size PIXELS] [--save-regions FILE]\n"
    "                      [--refine FILE]...\n"
    "\n"
    "Segments PICTURE by a sequence of minimum cuts over the regions of its region\n"
    "map, growing outwards from the seeds, and writes the object in its colours on\n"
    "white as a 24-bit BMP.\n"
    "\n"
    "  --regions FILE   region map (default: BASE_regions.bmp, BASE being PICTURE up\n"
    "                   to the first dot of its file name; when that file does not\n"
    "                   exist, a region map is made from the picture)\n"
    "  --make-regions   make the region map from the picture even if a file exists\n"
    "  --region-size PIXELS  mean size of the regions made, 1 or more (default 100)\n"
    "  --save-regions FILE   also write the region map used as a 24-bit BMP\n"
    "  --seeds FILE     seeds: a text file of 'x y kind' lines (x column, y row,\n"
    "                   kind 1 object, 2 background, '#' starts a comment), or a\n"
    "                   picture of PICTURE's size whose pure red pixels are object\n"
    "                   and pure green pixels background seeds\n"
    "                   (default: BASE_seeds.txt when it exists, else no seeds)\n"
    "  --refine FILE    after the cut, add the seeds of FILE (same forms as\n"
    "                   --seeds) and cut again, keeping the regions; may be given\n"
    "                   several times, each a further refinement\n"
    "  --parameter P    neighbour capacity scale, a number >= 0 (default 10)\n"
    "  --output FILE    result picture (default: BASE_res.bmp), after the last cut\n"
    "  --marks FILE     also write the region marks of the last cut as JSON\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 on success, 2 on bad input.\n";

// Messages of the library are collected here and reported as one line
// naming the file concerned.
std::vector<std::string> g_messages;

int fail(const std::string& what, const std::string& problem) {
    std::fprintf(stderr, "varnex-segment: %s: %s\n", what.c_str(), problem.c_str());
    return 2;
}

std::string first_message(const char* fallback) {
    std::string text = g_messages.empty() ? fallback : g_messages.front();
    for (char& c : text)
        if (c == '\n') c = ' ';
    g_messages.clear();
    return text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Options {
    std::string picture, regions, seeds, output, marks, save_regions;
    std::vector<std::string> refine;  // further seed files, one cut each
    float parameter = 10.0f;
    bool make_regions = false;  // made from the picture, not read
    int region_size = 100;
};

// Fills `options` from the command line. Returns -1 to go on, else the exit
// status (after --help, --version or a refused argument).
int parse_arguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("varnex-segment (Varnex) %s\n", KALVIO_VERSION_STRING);
            return 0;
        } else if (arg == "--regions") {
            if (!value(options.regions)) return fail(arg, "needs a file name");
        } else if (arg == "--seeds") {
            if (!value(options.seeds)) return fail(arg, "needs a file name");
        } else if (arg == "--refine") {
            std::string file;
            if (!value(file)) return fail(arg, "needs a file name");
            options.refine.push_back(file);
        } else if (arg == "--output") {
            if (!value(options.output)) return fail(arg, "needs a file name");
        } else if (arg == "--marks") {
            if (!value(options.marks)) return fail(arg, "needs a file name");
        } else if (arg == "--save-regions") {
            if (!value(options.save_regions)) return fail(arg, "needs a file name");
        } else if (arg == "--make-regions") {
            options.make_regions = true;
        } else if (arg == "--region-size") {
            std::string text;
            if (!value(text)) return fail(arg, "needs a number of pixels");
            int size = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
            if (text.empty() || error != std::errc() || end != text.data() + text.size() || size < 1)
                return fail(arg, "'" + text + "' is not a whole number of pixels from 1 to 2147483647");
            options.region_size = size;
        } else if (arg == "--parameter") {
            std::string text;
            if (!value(text)) return fail(arg, "needs a number");
            char* end = nullptr;
            const double p = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !std::isfinite(p) || p < 0 || p > 1e9)
                return fail(arg, "'" + text + "' is not a number from 0 to 1e9");
            options.parameter = static_cast<float>(p);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail(arg, "unknown option (see --help)");
        } else if (options.picture.empty()) {
            options.picture = arg;
        } else {
            return fail(arg, "only one picture can be segmented at a time");
        }
    }
    if (options.picture.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return -1;
}

// The files not named on the command line, beside the picture. A default
// region map that does not exist is made from the picture instead.
void add_default_files(Options& options) {
    if (options.regions.empty() && !options.make_regions) {
        const std::string default_regions = regions_file_of(options.picture);
        struct stat status;
        if (::lstat(default_regions.c_str(), &status) == 0) options.regions = default_regions;
        else options.make_regions = true;
    }
    if (options.make_regions) options.regions.clear();
    if (options.output.empty()) options.output = result_file_of(options.picture);
    if (options.seeds.empty()) {
        const std::string default_seeds = base_name_of(options.picture) + "_seeds.txt";
        struct stat status;
        if (::stat(default_seeds.c_str(), &status) == 0) options.seeds = default_seeds;
    }
}

// Why an input cannot be read, or "" for a regular file. Only stat() looks
// at it: opening a FIFO to find out would block, and a device or a folder
// would read as an endless or an empty file.
std::string input_problem(const std::string& file) {
    struct stat status;
    if (::stat(file.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "no such file";
        return std::string("cannot examine the file: ") + std::strerror(errno);
    }
    if (S_ISDIR(status.st_mode)) return "is a folder";
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    return "";
}

// Refuses, before anything is read or written, inputs that are not regular
// files and outputs that would replace an input or the other output.
// Returns -1 to go on, else the exit status.
int check_files(const Options& options) {
    struct Input {
        const std::string& path;
        const char* role;
    };
    std::vector<Input> inputs = {{options.picture, "the picture"}, {options.regions, "the region map"},
                                 {options.seeds, "the seeds"}};
    for (const std::string& file : options.refine) inputs.push_back({file, "the refinement seeds"});
    for (const Input& input : inputs) {
        if (input.path.empty()) continue;
        const std::string problem = input_problem(input.path);
        if (!problem.empty()) return fail(input.path, problem);
    }
    const std::string* outputs[] = {&options.output, &options.marks, &options.save_regions};
    const char* const output_options[] = {"--output", "--marks", "--save-regions"};
    for (const std::string* written : outputs) {
        if (written->empty()) continue;
        for (const Input& input : inputs)
            if (!input.path.empty() && names_same_file(*written, input.path))
                return fail(*written, std::string("refusing to overwrite ") + input.role);
    }
    for (std::size_t a = 0; a < 3; ++a)
        for (std::size_t b = a + 1; b < 3; ++b)
            if (!outputs[a]->empty() && !outputs[b]->empty() && names_same_file(*outputs[a], *outputs[b]))
                return fail(*outputs[b], std::string(output_options[a]) + " and " + output_options[b] +
                                             " name the same file");
    return -1;
}

struct SeedCount {
    int object = 0, background = 0, refused = 0;
};

void add_seed(Contour& contour, int x, int y, int kind, SeedCount& count) {
    if (!contour.AddSeed(x, y, kind)) ++count.refused;
    else if (kind == 1) ++count.object;
    else ++count.background;
}

// A seed line longer than this is refused rather than collected without end.
constexpr std::size_t kLongestSeedLine = 256;
// How much of a seed file decides whether it is text or a picture.
constexpr std::size_t kSeedHeadBytes = 512;

// Opens a file for reading only if it is a regular file at that moment.
// O_NONBLOCK keeps the open of a FIFO put in place since the check from
// blocking; it changes nothing for a regular file. -1 otherwise.
int open_regular_file(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until `into` is full or the file ends. Returns the bytes read, or -1
// on a read error.
long long read_fully(int fd, std::vector<char>& into) {
    std::size_t filled = 0;
    while (filled < into.size()) {
        const ssize_t n = ::read(fd, into.data() + filled, into.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(filled);
}

// A seed file is a picture when it starts with the signature of a picture
// format the library reads, or when its first bytes hold a control
// character no text has (as every other picture format's header does).
bool is_picture(std::string_view head) {
    for (const char* signature : {"BM", "P5", "P6", "QV"})
        if (head.starts_with(signature)) return true;
    for (const unsigned char c : head.substr(0, kSeedHeadBytes)) {
        const bool text_space = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
        if ((c < 0x20 && !text_space) || c == 0x7f) return true;
    }
    return false;
}

// One "x y kind" line, '#' starting a comment. Returns "" or the problem.
std::string read_seed_line(std::string_view line, Contour& contour, SeedCount& count) {
    long long x = 0, y = 0, kind = 0;
    const std::string problem = parse_seed_line(line, &x, &y, &kind);
    if (!problem.empty() || kind == 0) return problem;  // a problem, or a blank or comment line
    if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) {
        ++count.refused;
        return "";
    }
    add_seed(contour, static_cast<int>(x), static_cast<int>(y), static_cast<int>(kind), count);
    return "";
}

// Seeds from the "x y kind" lines of an open text file whose first `filled`
// bytes are already in `buffer`. Lines are gathered in a buffer of bounded
// size, so neither a file without line ends nor a device can grow memory.
std::string read_seed_text(int fd, std::vector<char>& buffer, std::size_t filled, Contour& contour,
                           SeedCount& count) {
    std::string line;
    line.reserve(kLongestSeedLine);
    long long number = 1;
    auto at_line = [&](const std::string& problem) { return "line " + std::to_string(number) + ": " + problem; };
    for (;;) {
        for (std::size_t i = 0; i < filled; ++i) {
            if (buffer[i] != '\n') {
                if (line.size() == kLongestSeedLine)
                    return at_line("longer than " + std::to_string(kLongestSeedLine) + " characters");
                line.push_back(buffer[i]);
                continue;
            }
            const std::string problem = read_seed_line(line, contour, count);
            if (!problem.empty()) return at_line(problem);
            line.clear();
            ++number;
        }
        if (filled < buffer.size()) break;  // read_fully stops short only at the end
        const long long more = read_fully(fd, buffer);
        if (more < 0) return "cannot read the seed file";
        filled = static_cast<std::size_t>(more);
    }
    const std::string problem = read_seed_line(line, contour, count);  // a last line without '\n'
    return problem.empty() ? "" : at_line(problem);
}

// Seeds from a picture: pure red object, pure green background, raster order.
std::string read_seed_picture(const std::string& file, const MyImage& picture, Contour& contour,
                              SeedCount& count) {
    CImage seeds;
    g_messages.clear();
    if (!seeds.ReadImage(file.c_str()))
        return "cannot read the seeds picture: " + first_message("not a picture this program reads");
    if (seeds.nrows != picture.nrows || seeds.ncols != picture.ncols)
        return "the seed picture does not have the size of the picture";
    for (int y = 0; y < seeds.nrows; ++y)
        for (int x = 0; x < seeds.ncols; ++x) {
            if (seeds.color != 1) continue;
            const float* p = &seeds.data[y][3 * x];
            if (p[0] == 255.0f && p[1] == 0.0f && p[2] == 0.0f) add_seed(contour, x, y, 1, count);
            else if (p[0] == 0.0f && p[1] == 255.0f && p[2] == 0.0f) add_seed(contour, x, y, 2, count);
        }
    return "";
}

// Seeds from a text file or a picture, told apart by the file's content.
// Returns "" or the problem found.
std::string read_seeds(const std::string& file, const MyImage& picture, Contour& contour, SeedCount& count) {
    const int fd = open_regular_file(file);
    if (fd < 0) return "cannot open the seed file";
    std::vector<char> buffer(1 << 16);
    const long long filled = read_fully(fd, buffer);
    if (filled < 0) {
        ::close(fd);
        return "cannot read the seed file";
    }
    const std::string_view head(buffer.data(), static_cast<std::size_t>(filled));
    if (!is_picture(head)) {
        const std::string problem = read_seed_text(fd, buffer, static_cast<std::size_t>(filled), contour, count);
        ::close(fd);
        return problem;
    }
    ::close(fd);
    return read_seed_picture(file, picture, contour, count);
}

bool write_marks(const std::string& file, const Contour& contour) {
    std::string json = "{\"regions\": " + std::to_string(contour.region_count()) +
                       ", \"cuts\": " + std::to_string(contour.cut_count()) + ", \"marks\": [";
    for (int r = 1; r <= contour.region_count(); ++r) {
        if (r > 1) json += ", ";
        json += std::to_string(contour.marks[r]);
    }
    json += "]}\n";
    CFile out;
    return out.Open(file.c_str(), CFile::modeCreate | CFile::modeWrite) &&
           out.Write(json.data(), json.size()) && out.Close();
}

// Writes the region map as a 24-bit BMP (a grey map in all three channels).
bool save_region_map(const std::string& file, CImage& map) {
    std::unique_ptr<CImage> colour(map.color == 1 ? new CImage(map) : map.MakeColor(0));
    if (!colour) return false;
    colour->format = KALVIO_FORMAT_BMP;
    colour->datatype = KALVIO_TYPE_UINT8;
    return colour->WriteImage(file.c_str()) == 1;
}

// True when `file` begins as a BMP file does ("BM"), which is how pictures
// are told apart when read.
bool begins_as_bmp(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char head[2] = {};
    const bool bmp = ::read(fd, head, 2) == 2 && head[0] == 'B' && head[1] == 'M';
    ::close(fd);
    return bmp;
}

// Reads the picture: a BMP one, when only its samples are needed (no region
// map is made from it), as bytes, which are a quarter of the memory of its
// floats and hold the same values; `picture` then gives only its size and
// colour. Whatever the bytes cannot be read for, the ordinary reader tries,
// with its own messages.
bool read_picture(const Options& options, MyImage& picture, kalvio::PictureBytes& bytes) {
    if (!options.make_regions && begins_as_bmp(options.picture)) {
        if (kalvio::read_bmp_bytes(options.picture.c_str(), &bytes)) {
            picture.nrows = bytes.rows();
            picture.ncols = bytes.cols();
            picture.color = bytes.color();
            picture.datatype = KALVIO_TYPE_UINT8;
            picture.format = KALVIO_FORMAT_BMP;
            picture.SetWindow();
            return true;
        }
        g_messages.clear();
    }
    return picture.ReadImage(options.picture.c_str()) != 0;
}

// Reads the picture and seeds, segments, writes the result and the marks
// and prints a summary. Returns the exit status.
int segment(const Options& options) {
    kalvio::set_message_handler([](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
        g_messages.push_back(text);
        return IDOK;
    });

    const auto start = std::chrono::steady_clock::now();
    MyImage picture;
    kalvio::PictureBytes picture_bytes;
    if (!read_picture(options, picture, picture_bytes))
        return fail(options.picture, first_message("cannot read the picture"));
    const double t_read = seconds_since(start);

    // A grey picture's object shows as the application would show it.
    const varnex::OpeningGreyTable shown(picture);
    Contour contour(&picture);
    contour.picture_bytes = picture_bytes.data();
    contour.parameter = options.parameter;
    contour.result_levels = shown.table;
    SeedCount seeds;
    if (!options.seeds.empty()) {
        const std::string problem = read_seeds(options.seeds, picture, contour, seeds);
        if (!problem.empty()) return fail(options.seeds, problem);
    }

    g_messages.clear();
    int made_regions = 0;
    double t_make = 0.0;
    MyImage* made = nullptr;
    if (options.make_regions) {
        const auto phase = std::chrono::steady_clock::now();
        made = make_region_map(picture, options.region_size, &made_regions);
        t_make = seconds_since(phase);
        if (!made) return fail(options.picture, first_message("cannot make a region map (not enough memory)"));
    }
    const std::string map_name = made ? "made from " + options.picture : options.regions;
    // Only the file of the result is wanted: the cuts keep no picture of it.
    SegmentationSession session(contour, false);
    const bool have_map = made ? session.SetRegionMap(made, map_name) : session.LoadRegionMap(options.regions);
    if (!have_map || !session.Cut()) return fail(map_name, first_message("cannot divide the region map into regions"));
    const double t_load = session.seconds_load, t_regions = session.seconds_regions, t_cut = session.seconds_cut;
    const int first_cuts = contour.cut_count();
    if (!options.save_regions.empty()) {
        // A map read from a BMP file is kept only as its regions: it is
        // read again to be written.
        MyImage reread;
        CImage* map = contour.region_map;
        if (!map && reread.ReadImage(options.regions.c_str())) map = &reread;
        if (!map || !save_region_map(options.save_regions, *map))
            return fail(options.save_regions, first_message("cannot write the region map"));
    }

    // Each refinement adds its seeds to all earlier ones and cuts again.
    std::vector<std::string> refinements;
    for (std::size_t k = 0; k < options.refine.size(); ++k) {
        SeedCount added;
        const std::string problem = read_seeds(options.refine[k], picture, contour, added);
        if (!problem.empty()) return fail(options.refine[k], problem);
        if (!session.Cut()) return fail(options.refine[k], first_message("cannot cut again"));
        char line[160];
        std::snprintf(line, sizeof line, "refine %zu: +%d seeds, cuts %.3f s", k + 1, added.object + added.background,
                      session.seconds_cut);
        refinements.push_back(line);
    }

    if (!options.marks.empty() && !write_marks(options.marks, contour))
        return fail(options.marks, "cannot write the marks file");
    const auto phase = std::chrono::steady_clock::now();
    g_messages.clear();
    if (!session.WriteResult(options.output))
        return fail(options.output, first_message("cannot write the result"));
    const double t_write = seconds_since(phase);

    std::printf("%s: %d x %d %s picture, %d regions\n", options.picture.c_str(), picture.width, picture.height,
                picture.color == 1 ? "colour" : "grey", contour.region_count());
    if (made) std::printf("regions: made, %d regions\n", made_regions);
    else std::printf("regions: read from %s\n", options.regions.c_str());
    std::printf("seeds: %d object, %d background, %d outside the picture refused\n", seeds.object,
                seeds.background, seeds.refused);
    std::printf("cuts: %d\n", first_cuts);
    std::printf("time: read %.3f s, region map %.3f s, regions %.3f s, cuts %.3f s, write %.3f s\n", t_read,
                made ? t_make : t_load, t_regions, t_cut, t_write);
    for (const std::string& line : refinements) std::printf("%s\n", line.c_str());
    std::printf("result: %s\n", options.output.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parse_arguments(argc, argv, options);
    if (status >= 0) return status;
    add_default_files(options);
    status = check_files(options);
    if (status >= 0) return status;
    return segment(options);
}
