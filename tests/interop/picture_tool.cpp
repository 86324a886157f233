// Drives the PNG, JPEG and TIFF readers and the PNG writer for
// check_pictures.py, one sub-command a run:
//
//   picture_tool read OUT FILE...  CImage::ReadImage on each FILE; a picture
//                                  read goes to OUT/<file name>.f32
//   picture_tool write OUT         writes the PNG cases below through
//                                  CImage::WriteImage: OUT/<case>.png beside
//                                  the image written, OUT/<case>.f32
//
// Each prints one line a file or case: its name, the result (1 or 0), the
// colour flag, sample type and format code of the image afterwards, then
// " |" and every message shown, separated by " ; ".
#include <kalvio/image.h>
#include <kalvio/message.h>

#include "f32.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace {

std::vector<std::string> messages;

void report(const std::string& name, int result, const CImage& image) {
    std::printf("%s %d %d %d %d |", name.c_str(), result, image.color, image.datatype, image.format);
    for (std::size_t i = 0; i < messages.size(); ++i)
        std::printf("%s%s", i ? " ; " : " ", messages[i].c_str());
    std::printf("\n");
    messages.clear();
}

// Writes a picture of values across and beyond the sample range, with
// fractions and a NaN, in each sample type and colour mode (format JPEG:
// written as PNG too).
int write_cases(const std::filesystem::path& out) {
    struct Case {
        const char* name;
        int rows, cols, color, format, datatype;
        float top;
    };
    const Case cases[] = {{"grey8", 13, 17, 0, KALVIO_FORMAT_PNG, KALVIO_TYPE_UINT8, 300.0f},
                          {"colour8_from_jpeg", 11, 9, 1, KALVIO_FORMAT_JPEG, KALVIO_TYPE_FLOAT, 300.0f},
                          {"grey16", 7, 19, 0, KALVIO_FORMAT_PNG, KALVIO_TYPE_INT16, 70000.0f},
                          {"colour16", 9, 5, 1, KALVIO_FORMAT_TIFF, KALVIO_TYPE_INT32, 70000.0f},
                          {"one_pixel", 1, 1, 0, KALVIO_FORMAT_PNG, KALVIO_TYPE_UINT8, 300.0f}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        CImage image(c.rows, c.cols, c.color, c.format, c.datatype);
        const int n = image.ncols * (c.color ? 3 : 1);
        for (int i = 0; i < c.rows * n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            image.data[i / n][i % n] = (float(seed >> 8) / float(1 << 24) - 0.1f) * c.top;
        }
        if (n > 1) image.data[0][1] = std::numeric_limits<float>::quiet_NaN();
        const int result = image.WriteImage((out / (std::string(c.name) + ".png")).c_str());
        write_f32(out / (std::string(c.name) + ".f32"), image);
        report(c.name, result, image);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 2 ? argv[1] : "";
    if (command != "read" && command != "write") {
        std::fprintf(stderr, "usage: picture_tool read OUT FILE... | picture_tool write OUT\n");
        return 2;
    }
    kalvio::set_message_handler([](const std::string& text, kalvio::MessageButtons, kalvio::MessageIcon) {
        messages.push_back(text);
        return IDOK;
    });
    const std::filesystem::path out = argv[2];
    std::filesystem::create_directories(out);
    if (command == "write") return write_cases(out);
    for (int i = 3; i < argc; ++i) {
        const std::string name = std::filesystem::path(argv[i]).filename().string();
        CImage image;
        const int result = image.ReadImage(argv[i]);
        if (result) write_f32(out / (name + ".f32"), image);
        report(name, result, image);
    }
    return 0;
}
