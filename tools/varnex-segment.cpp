// varnex-segment: the localized graph cut of a picture from its region map
// and seeds, without a user interface.
#include <kalvio/kalvio.h>
#include <varnex/contour.h>
#include <varnex/paths.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: varnex-segment PICTURE [--regions FILE] [--seeds FILE] [--parameter P]\n"
    "                      [--output FILE] [--marks FILE]\n"
    "\n"
    "Segments PICTURE by a sequence of minimum cuts over the regions of its region\n"
    "map, growing outwards from the seeds, and writes the object in its colours on\n"
    "white as a 24-bit BMP.\n"
    "\n"
    "  --regions FILE   region map (default: BASE_regions.bmp, BASE being PICTURE up\n"
    "                   to the first dot of its file name)\n"
    "  --seeds FILE     seeds: a text file of 'x y kind' lines (x column, y row,\n"
    "                   kind 1 object, 2 background, '#' starts a comment), or a\n"
    "                   picture of PICTURE's size whose pure red pixels are object\n"
    "                   and pure green pixels background seeds\n"
    "                   (default: BASE_seeds.txt when it exists, else no seeds)\n"
    "  --parameter P    neighbour capacity scale, a number >= 0 (default 10)\n"
    "  --output FILE    result picture (default: BASE_res.bmp)\n"
    "  --marks FILE     also write the region marks as JSON\n"
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

bool same_file(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec) &&
           std::filesystem::equivalent(a, b, ec);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct SeedCount {
    int object = 0, background = 0, refused = 0;
};

void add_seed(Contour& contour, int x, int y, int kind, SeedCount& count) {
    if (!contour.AddSeed(x, y, kind)) ++count.refused;
    else if (kind == 1) ++count.object;
    else ++count.background;
}

// Seeds from a text file of "x y kind" lines. Returns an empty string or the
// problem found.
std::string read_seed_text(const std::string& file, Contour& contour, SeedCount& count) {
    std::ifstream in(file);
    if (!in) return "cannot open the seed file";
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream fields(line);
        long long x, y, kind;
        std::string extra;
        if (!(fields >> x)) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;  // blank line
            return "line " + std::to_string(number) + ": expected 'x y kind'";
        }
        if (!(fields >> y >> kind) || (fields >> extra))
            return "line " + std::to_string(number) + ": expected 'x y kind'";
        if (kind != 1 && kind != 2)
            return "line " + std::to_string(number) + ": kind must be 1 (object) or 2 (background)";
        if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) {
            ++count.refused;
            continue;
        }
        add_seed(contour, static_cast<int>(x), static_cast<int>(y), static_cast<int>(kind), count);
    }
    return "";
}

// Seeds from a picture: pure red object, pure green background, raster order.
std::string read_seed_picture(const std::string& file, const MyImage& picture, Contour& contour,
                              SeedCount& count) {
    CImage seeds;
    if (!seeds.ReadImage(file.c_str())) return first_message("cannot read the seed picture");
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

bool is_text_file(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    char head[2] = {0, 0};
    in.read(head, 2);
    const std::string magic(head, 2);
    return !(magic == "BM" || magic == "P5" || magic == "P6" || magic == "QV");
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

}  // namespace

int main(int argc, char** argv) {
    std::string picture_path, regions_path, seeds_path, output_path, marks_path;
    float parameter = 10.0f;
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
            if (!value(regions_path)) return fail(arg, "needs a file name");
        } else if (arg == "--seeds") {
            if (!value(seeds_path)) return fail(arg, "needs a file name");
        } else if (arg == "--output") {
            if (!value(output_path)) return fail(arg, "needs a file name");
        } else if (arg == "--marks") {
            if (!value(marks_path)) return fail(arg, "needs a file name");
        } else if (arg == "--parameter") {
            std::string text;
            if (!value(text)) return fail(arg, "needs a number");
            char* end = nullptr;
            const double p = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !std::isfinite(p) || p < 0 || p > 1e9)
                return fail(arg, "'" + text + "' is not a number from 0 to 1e9");
            parameter = static_cast<float>(p);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail(arg, "unknown option (see --help)");
        } else if (picture_path.empty()) {
            picture_path = arg;
        } else {
            return fail(arg, "only one picture can be segmented at a time");
        }
    }
    if (picture_path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (regions_path.empty()) regions_path = regions_file_of(picture_path);
    if (output_path.empty()) output_path = result_file_of(picture_path);
    if (seeds_path.empty()) {
        const std::string default_seeds = base_name_of(picture_path) + "_seeds.txt";
        if (std::filesystem::exists(default_seeds)) seeds_path = default_seeds;
    }
    if (same_file(output_path, picture_path) || same_file(output_path, regions_path))
        return fail(output_path, "refusing to overwrite the picture or its region map");

    kalvio::set_message_handler([](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
        g_messages.push_back(text);
        return IDOK;
    });

    const auto start = std::chrono::steady_clock::now();
    MyImage picture;
    if (!picture.ReadImage(picture_path.c_str())) return fail(picture_path, first_message("cannot read the picture"));
    const double t_read = seconds_since(start);

    Contour contour(&picture);
    contour.parameter = parameter;
    SeedCount seeds;
    if (!seeds_path.empty()) {
        const std::string problem = is_text_file(seeds_path)
                                        ? read_seed_text(seeds_path, contour, seeds)
                                        : read_seed_picture(seeds_path, picture, contour, seeds);
        if (!problem.empty()) return fail(seeds_path, problem);
    }

    auto phase = std::chrono::steady_clock::now();
    if (!contour.LoadRegionMap(regions_path)) return fail(regions_path, first_message("cannot read the region map"));
    const double t_load = seconds_since(phase);
    phase = std::chrono::steady_clock::now();
    if (!contour.ComputeRegions()) return fail(regions_path, "cannot divide the region map into regions");
    const double t_regions = seconds_since(phase);
    phase = std::chrono::steady_clock::now();
    contour.BuildGraph();
    contour.LocalGraphCut();
    const double t_cut = seconds_since(phase);

    if (!marks_path.empty() && !write_marks(marks_path, contour))
        return fail(marks_path, "cannot write the marks file");
    phase = std::chrono::steady_clock::now();
    if (!contour.result || !contour.result->WriteImage(output_path.c_str()))
        return fail(output_path, first_message("cannot write the result"));
    const double t_write = seconds_since(phase);

    std::printf("%s: %d x %d %s picture, %d regions\n", picture_path.c_str(), picture.width, picture.height,
                picture.color == 1 ? "colour" : "grey", contour.region_count());
    std::printf("seeds: %d object, %d background, %d outside the picture refused\n", seeds.object,
                seeds.background, seeds.refused);
    std::printf("cuts: %d\n", contour.cut_count());
    std::printf("time: read %.3f s, region map %.3f s, regions %.3f s, cuts %.3f s, write %.3f s\n", t_read,
                t_load, t_regions, t_cut, t_write);
    std::printf("result: %s\n", output_path.c_str());
    contour.ReleaseRegions();
    contour.ReleaseRunData();
    return 0;
}
