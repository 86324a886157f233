// Writes small pictures and what Kalvio's edge detection, drawing, filters
// and distance transforms make of them into the folder given as the only
// argument, for check_filters.py. Each picture is NAME.f32: a line "rows
// cols channels", then little-endian 32-bit floats row by row, channels
// interleaved; cases.txt has a line "result input operation arguments..."
// per result. An edges result holds mag and dir; beside it RESULT_grad.f32
// holds gx and gy of every channel and RESULT_nms.f32 the thinned magnitudes.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include "f32.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Image = std::unique_ptr<CImage>;

bool write_planes(const std::filesystem::path& path, int rows, int cols, const std::vector<float**>& planes) {
    std::ofstream out(path, std::ios::binary);
    out << rows << " " << cols << " " << planes.size() << "\n";
    std::vector<float> line(std::size_t(cols) * planes.size());
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c)
            for (std::size_t k = 0; k < planes.size(); ++k)
                line[c * planes.size() + k] = planes[k] ? planes[k][r][c] : NAN;
        out.write(reinterpret_cast<const char*>(line.data()), std::streamsize(sizeof(float) * line.size()));
    }
    return out && !std::count(planes.begin(), planes.end(), nullptr);
}

// kind 0: values in 0..255 with fractions; 1: whole numbers 0..255; 2: about
// one pixel in `sparse` set to a value in 1..255, the rest 0; 3: maze of
// 1 (walls, about 35%), 2 (about 5%), 0 and 0.5.
Image picture(int rows, int cols, int color, unsigned seed, int kind = 0, unsigned sparse = 30) {
    auto image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < cols * (color ? 3 : 1); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const float unit = float(seed >> 8) / float(1 << 24);
            const float values[] = {unit * 255.0f, std::floor(unit * 256.0f),
                                    (seed >> 3) % sparse ? 0.0f : 1.0f + std::floor(unit * 255.0f),
                                    unit < 0.35f ? 1.0f : unit < 0.4f ? 2.0f : unit < 0.7f ? 0.0f : 0.5f};
            image->data[r][i] = values[kind];
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
    const auto input = [&](const std::string& name, Image image) {
        ok = image && write_f32(dir / (name + ".f32"), *image) && ok;
        return image;
    };
    const auto record = [&](const std::string& source, CImage* result, const std::string& operation) {
        const std::string name = "result" + std::to_string(count++);
        ok = result && write_f32(dir / (name + ".f32"), *result) && ok;
        cases << name << " " << source << " " << operation << "\n";
        delete result;
        return name;
    };

    // Rank and weighted-mean filters, the tiny picture clamping every window.
    const auto grey = input("grey", picture(23, 31, 0, 1, 0));
    const auto colour = input("colour", picture(17, 19, 1, 2, 0));
    const auto whole = input("whole", picture(21, 26, 0, 3, 1));
    const auto tiny = input("tiny", picture(2, 7, 0, 4, 1));
    for (const auto& [name, image] :
         {std::pair{"grey", &grey}, {"colour", &colour}, {"whole", &whole}, {"tiny", &tiny}}) {
        for (int k : {1, 2, 3, 4, 5, 6, 7, 9}) record(name, (*image)->Median(k), "median " + std::to_string(k));
        for (int k = 1; k <= 6; ++k) record(name, (*image)->DistanceFilter(k), "distance " + std::to_string(k));
    }
    for (const auto& [name, image] : {std::pair{"grey", &grey}, {"whole", &whole}, {"tiny", &tiny}})
        for (const auto& [high, low] :
             {std::pair{200.0f, 100.0f}, {150.0f, 150.0f}, {240.0f, 180.0f}, {230.5f, 200.25f}}) {
            char text[64];
            std::snprintf(text, sizeof text, "hysteresis %.9g %.9g", high, low);
            record(name, (*image)->hysteresis_thresholding(high, low), text);
        }

    // Chamfer distances of sparse objects, of one pixel and of none.
    for (const auto& [name, color, rows, cols, sparse] :
         {std::tuple{"sparse", 0, 29, 37, 40u}, {"sparser", 0, 40, 33, 400u}, {"sparse_colour", 1, 19, 23, 60u}})
        record(name, input(name, picture(rows, cols, color, cols, 2, sparse))->Chamfer(), "chamfer");
    auto single = std::make_unique<CImage>(15, 12, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    single->data[9][4] = 3.0f;
    record("single", input("single", std::move(single))->Chamfer(), "chamfer");
    const auto zero = input("zero", std::make_unique<CImage>(20, 24, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT));
    record("zero", zero->Chamfer(), "chamfer");

    // Edges. In "ramps" red varies along columns and green the same way
    // along rows, so on the diagonal their magnitudes tie exactly.
    auto waves = std::make_unique<CImage>(32, 32, 1, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    const auto wave = [](int x) { return 127.0f + 100.0f * std::sin(0.7f * float(x)) + float(x * 37 % 11); };
    for (int r = 0; r < 32; ++r)
        for (int c = 0; c < 32; ++c) {
            waves->data[r][3 * c] = wave(c);
            waves->data[r][3 * c + 1] = wave(r);
            waves->data[r][3 * c + 2] = float(r * c % 7);
        }
    const auto ramps = input("ramps", std::move(waves));
    for (const auto& [name, image] :
         {std::pair{"grey", &grey}, {"colour", &colour}, {"ramps", &ramps}, {"zero", &zero}})
        for (float sigma : {1.0f, 1.2f, 1.25f, 1.3f, 2.0f}) {
            CImage copy(image->get());
            copy.edges_mag_dir(sigma);
            const std::string result = "result" + std::to_string(count++);
            ok = write_planes(dir / (result + ".f32"), copy.nrows, copy.ncols, {copy.mag, copy.dir}) && ok;
            char text[64];
            std::snprintf(text, sizeof text, "edges %.9g", sigma);
            cases << result << " " << name << " " << text << "\n";
            // The derivatives of each channel, as edges_mag_dir sees them.
            std::vector<Image> channels;
            if (copy.color == 1) {
                for (int k = 0; k < 3; ++k)
                    channels.push_back(std::make_unique<CImage>(copy.nrows, copy.ncols, 0, copy.format, copy.datatype));
                copy.ComputeRGB(channels[0].get(), channels[1].get(), channels[2].get());
            } else {
                channels.push_back(std::make_unique<CImage>(copy));
            }
            std::vector<Image> derivatives;
            std::vector<float**> planes;
            for (const auto& channel : channels) {
                derivatives.emplace_back(channel->first_derivative_x(sigma));
                derivatives.emplace_back(channel->first_derivative_y(sigma));
            }
            for (const auto& derivative : derivatives) planes.push_back(derivative ? derivative->data : nullptr);
            ok = write_planes(dir / (result + "_grad.f32"), copy.nrows, copy.ncols, planes) && ok;
            const Image thin(copy.non_maximum_suppression());
            ok = thin && write_f32(dir / (result + "_nms.f32"), *thin) && ok;
            if (thin && sigma == 1.2f)
                record(result + "_nms", thin->hysteresis_thresholding(0.5f, 0.2f), "hysteresis 0.5 0.2");
        }

    // Sobel magnitudes, into a new plane and into one with a border of 5.
    for (const auto& [name, image] : {std::pair{"grey", &grey}, {"colour", &colour}, {"zero", &zero}})
        for (bool keep : {false, true}) {
            CImage copy(image->get());
            if (keep) {
                copy.mag = make_2D_float_array(copy.nrows, copy.ncols);
                for (int r = 0; r < copy.nrows; ++r) std::fill(copy.mag[r], copy.mag[r] + copy.ncols, 5.0f);
            }
            copy.SobelFilter();
            const std::string result = "result" + std::to_string(count++);
            ok = write_planes(dir / (result + ".f32"), copy.nrows, copy.ncols, {copy.mag}) && ok;
            cases << result << " " << name << " sobel " << (keep ? 5 : 0) << "\n";
        }

    // Lines on a blank picture, from inside, far outside and the ends of int.
    const auto blank = input("blank", std::make_unique<CImage>(17, 23, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT));
    const auto blank_colour =
        input("blank_colour", std::make_unique<CImage>(17, 23, 1, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT));
    const std::vector<std::tuple<int, int, int, int>> lines = {
        {2, 3, 14, 20}, {5, 5, 5, 5}, {0, 0, 16, 22}, {10, 2, 3, 21}, {16, 4, 0, 7}, {8, -5, 8, 40}, {-3, 11, 30, 11},
        {-10, -30, 40, 60}, {-299992, -699989, 300008, 700011}, {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
        {INT_MIN, 5, INT_MAX, 9}, {INT_MAX, INT_MIN, INT_MIN + 40, INT_MAX}, {-5, -5, -1, 30}, {3, 40, 3, 40}};
    for (const auto& [r0, c0, r1, c1] : lines) {
        const std::string args = " " + std::to_string(r0) + " " + std::to_string(c0) + " " + std::to_string(r1) + " " +
                                 std::to_string(c1);
        for (const auto& [name, image] : {std::pair{"blank", &blank}, {"blank_colour", &blank_colour}}) {
            auto copy = std::make_unique<CImage>(image->get());
            copy->DrawLine(r0, c0, r1, c1, 1.0f);
            record(name, copy.release(), "line" + args);
            if (r0 != 2) break;  // one colour line is enough
        }
    }

    // Fills of mazes from inside, the edges, and a pixel already filled.
    for (const auto& [rows, cols, row, column] :
         {std::tuple{19, 27, 9, 13}, {19, 27, 0, 26}, {19, 27, 18, 0}, {30, 30, 15, 2}, {30, 30, 7, 7}}) {
        auto maze = picture(rows, cols, 0, rows + row * 7 + column, 3);
        maze->data[row][column] = row == 7 ? 2.0f : 0.0f;
        const std::string name = "maze" + std::to_string(count);
        maze = input(name, std::move(maze));
        maze->FillObject(row, column, 2.0f, 1.0f);
        record(name, maze.release(), "fill " + std::to_string(row) + " " + std::to_string(column) + " 2 1");
    }

    cases.close();
    if (!ok || !cases) std::fprintf(stderr, "could not make or write every result in %s\n", argv[1]);
    return ok && cases ? 0 : 1;
}
