// Writes sample PGM, PPM and BMP files with Kalvio into the folder given as
// the only argument, each with NAME.expected ("rows cols channels", then the
// bytes a reader must find, row by row) for check_written.py.
//
// Pixel values are whole numbers plus a fraction, so a writer that rounds
// instead of truncating shows; a few fixed pixels leave the 0..255 range and
// must wrap to their low 8 bits.
#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Sample {
    const char* name;
    int rows, cols, color;   // color 1: three floats a pixel
    int channels_on_disk;    // what the reader must see: 1 grey, 3 colour
};

// The value written at sample i of row r, and the byte expected for it.
float value(int r, int i) {
    // Fixed out-of-range samples in row 0: truncated, then the low 8 bits.
    static const float wrapped[] = {300.7f, -1.0f, 255.9f, 256.0f, -0.5f, 511.99f};
    if (r == 0 && i < 6) return wrapped[i];
    return static_cast<float>((17 + 37 * r + 11 * i + 5 * r * i) % 256) + 0.25f * static_cast<float>(i % 4);
}
int expected_byte(int r, int i) {
    static const int wrapped[] = {44, 255, 255, 0, 0, 255};
    if (r == 0 && i < 6) return wrapped[i];
    return (17 + 37 * r + 11 * i + 5 * r * i) % 256;
}

bool write_expected(const std::string& path, const Sample& s) {
    std::ofstream out(path);
    out << s.rows << " " << s.cols << " " << s.channels_on_disk << "\n";
    const int length = s.cols * (s.color ? 3 : 1);
    for (int r = 0; r < s.rows; ++r) {
        for (int i = 0; i < length; ++i)
            for (int k = 0; k < s.channels_on_disk / (s.color ? 3 : 1); ++k)
                out << (i || k ? " " : "") << expected_byte(r, i);
        out << "\n";
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    int failures = 0;
    kalvio::set_message_handler([&failures](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
        std::fprintf(stderr, "unexpected message: %s\n", text.c_str());
        ++failures;
        return IDOK;
    });

    // Odd widths: every BMP row needs padding (7 grey: 1 byte, 13 grey: 3,
    // 7 colour: 3, 13 colour: 1).
    const Sample samples[] = {
        {"pgm_grey_7x5.pgm", 5, 7, 0, 1},       {"pgm_grey_13x4.pgm", 4, 13, 0, 1},
        {"ppm_colour_7x5.ppm", 5, 7, 1, 3},     {"ppm_from_grey_13x4.ppm", 4, 13, 0, 3},
        {"bmp_grey_7x5.bmp", 5, 7, 0, 1},       {"bmp_grey_13x4.bmp", 4, 13, 0, 1},
        {"bmp_colour_7x5.bmp", 5, 7, 1, 3},     {"bmp_colour_13x4.bmp", 4, 13, 1, 3},
        {"image_bmp_grey_13x4.bmp", 4, 13, 0, 1}, {"image_ppm_colour_7x5.ppm", 5, 7, 1, 3},
    };
    for (const Sample& s : samples) {
        const std::string name = s.name, path = (dir / name).string();
        const std::string ext = name.substr(name.size() - 3);
        const int length = s.cols * (s.color ? 3 : 1);
        CImage image(s.rows, s.cols, s.color,
                     ext == "pgm" ? KALVIO_FORMAT_PGM : ext == "ppm" ? KALVIO_FORMAT_PPM : KALVIO_FORMAT_BMP,
                     KALVIO_TYPE_UINT8);
        for (int r = 0; r < s.rows; ++r)
            for (int i = 0; i < length; ++i) image.data[r][i] = value(r, i);

        int ok = 0;
        if (name.rfind("image_", 0) == 0)
            ok = image.WriteImage(path.c_str());
        else if (ext == "pgm")
            ok = write_pgm_image(image.data, path.c_str(), s.rows, s.cols, s.color);
        else if (ext == "ppm")
            ok = write_ppm_image(image.data, path.c_str(), s.rows, s.cols, s.color);
        else
            ok = write_bmp_image(image.data, path.c_str(), s.rows, s.cols, s.color);
        const std::string stem = path.substr(0, path.size() - 4);
        if (ok != 1 || !write_expected(stem + ".expected", s)) {
            std::fprintf(stderr, "%s: writing failed\n", s.name);
            ++failures;
        }
    }
    std::printf("wrote %zu samples into %s\n", std::size(samples), dir.c_str());
    return failures == 0 ? 0 : 1;
}
