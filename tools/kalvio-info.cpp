// kalvio-info: reads pictures and reports what they hold; optionally writes
// each back in its own format and says whether the file came out the same.
#include <kalvio/kalvio.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* format_name(int format) {
    switch (format) {
        case KALVIO_FORMAT_PGM: return "PGM";
        case KALVIO_FORMAT_PPM: return "PPM";
        case KALVIO_FORMAT_BMP: return "BMP";
        case KALVIO_FORMAT_QVF: return "qvf";
        case KALVIO_FORMAT_TESSIL: return "medical";
        default: return "unknown";
    }
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The messages shown for one file as one line, or `none` when there were none.
std::string joined(const std::vector<std::string>& messages, const char* none) {
    std::string line;
    for (const std::string& text : messages) {
        if (!line.empty()) line += "; ";
        line += text;
    }
    return line.empty() ? none : line;
}

void usage(FILE* to) {
    std::fprintf(to,
                 "Usage: kalvio-info [--write-back DIR] PICTURE...\n"
                 "Reads each picture and prints its format, size, colour mode, sample type\n"
                 "and value range. With --write-back, writes each picture into DIR in its\n"
                 "own format and says whether the written file equals the original.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string write_dir;
    int first = 1;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kalvio-info (Kalvio) %s\n", KALVIO_VERSION_STRING);
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "--write-back") == 0) {
        write_dir = argv[2];
        first = 3;
        std::error_code ec;
        std::filesystem::create_directories(write_dir, ec);
        if (ec) {
            std::fprintf(stderr, "kalvio-info: cannot create folder %s\n", write_dir.c_str());
            return 2;
        }
    }
    if (first >= argc) {
        usage(stderr);
        return 2;
    }
    // Library messages are collected per file and reported on that file's
    // one line.
    std::vector<std::string> messages;
    kalvio::set_message_handler(
        [&messages](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
            messages.push_back(text);
            return IDOK;
        });

    int status = 0;
    for (int k = first; k < argc; ++k) {
        messages.clear();
        CImage image;
        if (!image.ReadImage(argv[k])) {
            std::fprintf(stderr, "%s: %s\n", argv[k], joined(messages, "cannot read this picture").c_str());
            status = 2;
            continue;
        }
        const int length = image.color == 1 ? 3 * image.ncols : image.ncols;
        float low = image.data[0][0], high = image.data[0][0];
        for (int r = 0; r < image.nrows; ++r)
            for (int i = 0; i < length; ++i) {
                if (image.data[r][i] < low) low = image.data[r][i];
                if (image.data[r][i] > high) high = image.data[r][i];
            }
        std::printf("%s: %s, %d x %d, %s, sample type %d, values %g..%g", argv[k],
                    format_name(image.format), image.ncols, image.nrows,
                    image.color == 1 ? "colour" : "grey", image.datatype, low, high);
        if (!write_dir.empty()) {
            const std::string out =
                (std::filesystem::path(write_dir) / std::filesystem::path(argv[k]).filename()).string();
            messages.clear();
            if (!image.WriteImage(out.c_str())) {
                std::printf(", not written: %s\n", joined(messages, "no writer for this format").c_str());
                status = 2;
                continue;
            }
            std::printf(", written back %s", contents(out) == contents(argv[k]) ? "identical" : "with other bytes");
        }
        std::printf("\n");
    }
    return status;
}
