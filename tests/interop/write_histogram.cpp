// Writes pictures, matrices and what Kalvio's histograms, eigen-decomposition
// and Gaussian fits make of them into the folder given as the only argument,
// for check_histogram.py. Pictures are NAME.f32: a line "rows cols
// channels", then little-endian 32-bit floats row by row, channels
// interleaved. results.json lists every case with Kalvio's results.
#include <kalvio/arrays.h>
#include <kalvio/histogram.h>
#include <kalvio/image.h>

#include "f32.h"
#include <kalvio/numeric.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Image = std::unique_ptr<CImage>;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

template <class T>
std::string list(const T* values, int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) s += (i ? ", " : "") + number(values[i]);
    return s + "]";
}

// Seeded uniform numbers in [0, 1).
struct Random {
    unsigned state;
    float next() {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / float(1 << 24);
    }
    // A normal deviate (Box-Muller).
    float normal() {
        const float u = 1.0f - next(), v = next();
        return std::sqrt(-2.0f * std::log(u)) * std::cos(6.2831853f * v);
    }
};

// Values in -20..300 with fractions, NaNs, infinities and zeros mixed in.
Image picture(int rows, int cols, int color, unsigned seed) {
    auto image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    Random random{seed};
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < cols * (color ? 3 : 1); ++i) {
            const float u = random.next(), v = random.next() * 320.0f - 20.0f;
            image->data[r][i] = u < 0.02f   ? std::numeric_limits<float>::quiet_NaN()
                                : u < 0.03f ? std::numeric_limits<float>::infinity()
                                : u < 0.1f  ? 0.0f
                                            : v;
        }
    return image;
}

Image mask(int rows, int cols, unsigned seed) {
    auto image = std::make_unique<CImage>(rows, cols, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    Random random{seed};
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) image->data[r][c] = random.next() < 0.5f ? 0.0f : 255.0f;
    return image;
}

// `pixels` grey levels drawn from Gaussians (weight, centre, sigma each).
Image mixture(int pixels, const std::vector<float>& parts, unsigned seed) {
    auto image = std::make_unique<CImage>(1, pixels, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    Random random{seed};
    float total = 0.0f;
    for (std::size_t i = 0; i < parts.size(); i += 3) total += parts[i];
    for (int c = 0; c < pixels; ++c) {
        float pick = random.next() * total;
        std::size_t i = 0;
        while (i + 3 < parts.size() && pick >= parts[i]) pick -= parts[i], i += 3;
        image->data[0][c] = std::fabs(parts[i + 1] + parts[i + 2] * random.normal());
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
    bool ok = true;
    std::vector<std::string> counts, eigen, fits;

    // Histograms of grey and colour pictures, with and without bin 0, and
    // inside masks.
    const auto histogram_case = [&](const std::string& name, const CImage& image, const CImage* in, int ignorezero) {
        ok = write_f32(dir / (name + ".f32"), image) && ok;
        if (in) ok = write_f32(dir / (name + "_mask.f32"), *in) && ok;
        CImage copy(image);
        const CHistogram h = in ? CHistogram(&copy, const_cast<CImage*>(in)) : CHistogram(&copy, ignorezero);
        counts.push_back("{\"image\": \"" + name + ".f32\", \"mask\": " +
                         (in ? "\"" + name + "_mask.f32\"" : std::string("null")) +
                         ", \"ignorezero\": " + std::to_string(ignorezero) + ", \"nbins\": " +
                         std::to_string(h.nbins) + ", \"peak\": " + std::to_string(h.peak) +
                         ", \"counts\": " + list(h.counts, h.nbins) + "}");
    };
    const Image grey = picture(37, 53, 0, 11), colour = picture(29, 31, 1, 12), in = mask(37, 53, 13);
    histogram_case("grey", *grey, nullptr, 0);
    histogram_case("grey_nozero", *grey, nullptr, 1);
    histogram_case("grey_masked", *grey, in.get(), 0);
    histogram_case("colour", *colour, nullptr, 0);
    histogram_case("colour_masked", *colour, mask(29, 31, 14).get(), 0);

    // Random symmetric 3 x 3 matrices, some with repeated eigenvalues.
    Random random{21};
    float** m = make_2D_float_array(3, 3);
    for (int k = 0; k < 60; ++k) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j <= i; ++j)
                m[i][j] = m[j][i] = k % 10 == 9 ? float(i == j ? 2 + (i == 2) : 0) : (random.next() - 0.5f) * 200.0f;
        float values[3];
        ok = VNeumannEigens(m, 3, values, nullptr) == 1 && ok;
        std::string rows = "[";
        for (int i = 0; i < 3; ++i) rows += (i ? ", " : "") + list(m[i], 3);
        eigen.push_back("{\"m\": " + rows + "], \"values\": " + list(values, 3) + "}");
    }
    free_2D_float_array(m);

    // Gaussian fits of sampled mixtures of one to three Gaussians, plain and
    // smoothed, by one to three Gaussians.
    const std::vector<std::pair<std::vector<float>, unsigned>> mixtures = {
        {{1, 60, 12, 1, 150, 25}, 31}, {{3, 40, 8, 2, 110, 15, 1, 200, 10}, 32}, {{1, 100, 30}, 33}};
    for (const auto& [parts, seed] : mixtures)
        for (int smooth : {0, 5}) {
            const Image sample = mixture(20000, parts, seed);
            CHistogram h(sample.get(), 0);
            h.Smooth(smooth);
            for (int n = 1; n <= 3; ++n) {
                const float measure = h.FitNGaussians(n);
                fits.push_back("{\"n\": " + std::to_string(n) + ", \"measure\": " + number(measure) +
                               ", \"params\": " + list(h.params, h.nparams) + ", \"counts\": " + list(h.counts, h.nbins) +
                               "}");
            }
        }

    std::ofstream out(dir / "results.json");
    const auto section = [&](const char* name, const std::vector<std::string>& items, bool last) {
        out << "\"" << name << "\": [\n";
        for (std::size_t i = 0; i < items.size(); ++i) out << "  " << items[i] << (i + 1 < items.size() ? ",\n" : "\n");
        out << "]" << (last ? "\n" : ",\n");
    };
    out << "{\n";
    section("counts", counts, false);
    section("eigen", eigen, false);
    section("fit", fits, true);
    out << "}\n";
    ok = static_cast<bool>(out) && ok;
    return ok ? 0 : 1;
}
