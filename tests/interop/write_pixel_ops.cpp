// Writes small pictures and what Kalvio's geometric transforms and L*u*v*
// conversion make of them into the folder given as the only argument, for
// check_pixel_ops.py. Each picture is NAME.f32: a line "rows cols channels",
// then little-endian 32-bit floats row by row; cases.txt has a line
// "result input operation arguments..." per result.
#include <kalvio/image.h>

#include "f32.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

namespace {

// Values in 0..255 with fractions; with `grid`, the first 4096 pixels are
// the RGB cube in steps of 17.
std::unique_ptr<CImage> picture(int rows, int cols, int color, unsigned seed, bool grid = false) {
    auto image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < cols * (color ? 3 : 1); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const int pixel = (r * cols + i / 3), channel = i % 3;
            image->data[r][i] = grid && pixel < 4096 ? float(17 * ((pixel >> (4 * channel)) & 15))
                                                     : float(seed >> 8) / float(1 << 24) * 255.0f;
        }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    std::ofstream cases(dir / "cases.txt");
    bool ok = true;
    int count = 0;
    const auto record = [&](const std::string& input, CImage* result, const std::string& operation) {
        const std::string name = "result" + std::to_string(count++);
        ok = result && write_f32(dir / (name + ".f32"), *result) && ok;
        cases << name << " " << input << " " << operation << "\n";
        delete result;
    };

    for (const auto& [name, color, rows, cols] : {std::tuple{"grey", 0, 37, 53}, {"colour", 1, 29, 41}}) {
        const auto image = picture(rows, cols, color, rows);
        ok = write_f32(dir / (std::string(name) + ".f32"), *image) && ok;
        for (int degrees : {0, 17, 90, -45, 180, 233, -1})
            record(name, image->Rotate(degrees), "rotate " + std::to_string(degrees));
        for (const auto& [fr, fc] : {std::pair{0.5f, 0.0f}, {1.7f, 0.6f}, {2.0f, 0.0f}, {0.37f, 1.3f}, {1.0f, 1.0f}}) {
            char text[64];
            std::snprintf(text, sizeof text, "scale %.9g %.9g", fr, fc);
            record(name, image->Scale(fr, fc), text);
        }
        for (const auto& [r, c] : {std::pair{50, 20}, {13, 97}, {rows, cols}})
            record(name, image->Scale(r, c), "scale_to " + std::to_string(r) + " " + std::to_string(c));
        for (int factor : {2, 3, 5}) record(name, image->Enlarge(factor, 1), "enlarge " + std::to_string(factor) + " 1");
        record(name, image->Enlarge(3, 0), "enlarge 3 0");
        for (int factor : {1, 2, 3, 4}) record(name, image->Reduce(factor, 0), "reduce " + std::to_string(factor) + " 0");
        for (int factor : {2, 3}) record(name, image->Reduce(factor, 1), "reduce " + std::to_string(factor) + " 1");
    }
    const auto grid = picture(96, 64, 1, 99, true);
    ok = write_f32(dir / "grid.f32", *grid) && ok;
    record("grid", grid->RGB_to_LUV(), "luv");

    cases.close();
    if (!ok || !cases) std::fprintf(stderr, "could not make or write every result in %s\n", argv[1]);
    return ok && cases ? 0 : 1;
}
