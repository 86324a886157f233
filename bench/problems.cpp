// Generation of the benchmark graphs (see problems.h).
#include "problems.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>

namespace bench {

namespace {

struct GreyImage {
    int width = 0, height = 0;
    std::vector<float> value;  // row-major, 0..255
    float at(int x, int y) const { return value[static_cast<std::size_t>(y) * width + x]; }
};

// Next header token of a PNM file, skipping white space and comments.
std::string pnm_token(std::istream& in) {
    std::string token;
    int c;
    while ((c = in.get()) != EOF) {
        if (c == '#') {
            while ((c = in.get()) != EOF && c != '\n') {
            }
            continue;
        }
        if (std::isspace(c)) {
            if (!token.empty()) break;
            continue;
        }
        token.push_back(static_cast<char>(c));
    }
    return token;
}

// Binary P5 (grey) or P6 (RGB, converted to luma) with 8-bit samples.
GreyImage read_pnm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    const std::string magic = pnm_token(in);
    if (magic != "P5" && magic != "P6") throw std::runtime_error(path + ": not a binary PGM/PPM");
    GreyImage img;
    img.width = std::stoi(pnm_token(in));
    img.height = std::stoi(pnm_token(in));
    const int maxval = std::stoi(pnm_token(in));  // the single white space after it is consumed
    if (img.width <= 0 || img.height <= 0 || maxval <= 0 || maxval > 255)
        throw std::runtime_error(path + ": unsupported header");
    const int channels = magic == "P6" ? 3 : 1;
    std::vector<unsigned char> raw(static_cast<std::size_t>(img.width) * img.height * channels);
    if (!in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size())))
        throw std::runtime_error(path + ": truncated pixel data");
    img.value.resize(static_cast<std::size_t>(img.width) * img.height);
    const float scale = 255.0f / static_cast<float>(maxval);
    for (std::size_t p = 0; p < img.value.size(); ++p) {
        if (channels == 1) {
            img.value[p] = raw[p] * scale;
        } else {
            const unsigned char* rgb = &raw[3 * p];
            img.value[p] = (0.299f * rgb[0] + 0.587f * rgb[1] + 0.114f * rgb[2]) * scale;
        }
    }
    return img;
}

// Seed mask at picture resolution: 0 none, 1 object, 2 background (which
// wins where both were drawn).
std::vector<unsigned char> read_seeds(const std::string& path, int width, int height) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<unsigned char> mask(static_cast<std::size_t>(width) * height, 0);
    int x, y, kind;
    while (in >> x >> y >> kind) {
        if (x < 0 || y < 0 || x >= width || y >= height || (kind != 1 && kind != 2)) continue;
        unsigned char& m = mask[static_cast<std::size_t>(y) * width + x];
        if (kind == 2 || m == 0) m = static_cast<unsigned char>(kind);
    }
    return mask;
}

struct Gaussian {
    double mean = 0, sigma = 1;
    // -log likelihood up to a constant, >= 0 for sigma >= 5.
    double cost(double v) const {
        const double d = v - mean;
        return d * d / (2 * sigma * sigma) + std::log(sigma / 5.0);
    }
};

Gaussian fit(const GreyImage& img, const std::vector<unsigned char>& mask, unsigned char kind) {
    double sum = 0, sum2 = 0;
    std::size_t n = 0;
    for (std::size_t p = 0; p < mask.size(); ++p) {
        if (mask[p] != kind) continue;
        sum += img.value[p];
        sum2 += static_cast<double>(img.value[p]) * img.value[p];
        ++n;
    }
    if (n == 0) throw std::runtime_error("no seeds of one kind");
    Gaussian g;
    g.mean = sum / static_cast<double>(n);
    g.sigma = std::max(5.0, std::sqrt(std::max(0.0, sum2 / static_cast<double>(n) - g.mean * g.mean)));
    return g;
}

int clamp_cap(double v, int hi) { return static_cast<int>(std::lround(std::clamp(v, 0.0, static_cast<double>(hi)))); }

}  // namespace

std::string examples_dir() {
    if (const char* dir = std::getenv("KALVIO_EXAMPLES")) return dir;
#ifdef KALVIO_EXAMPLES_DIR
    return KALVIO_EXAMPLES_DIR;
#else
    return "examples";
#endif
}

Problem scale(const BaseProblem& base, int strength) {
    Problem p;
    p.name = base.name;
    p.strength = strength;
    p.nodes = base.nodes;
    p.edge_from = &base.edge_from;
    p.edge_to = &base.edge_to;
    p.source_cap = &base.source_cap;
    p.sink_cap = &base.sink_cap;
    p.edge_cap.resize(base.edge_weight.size());
    const double k = static_cast<double>(strength) * kNeighbourCap;
    for (std::size_t e = 0; e < base.edge_weight.size(); ++e)
        p.edge_cap[e] = static_cast<int>(std::lround(k * base.edge_weight[e]));
    return p;
}

BaseProblem make_grid(const std::string& name, const std::string& picture, const std::string& seeds_txt,
                      int width, int height, int connectivity) {
    const GreyImage src = read_pnm(picture);
    const std::vector<unsigned char> src_seeds = read_seeds(seeds_txt, src.width, src.height);
    const Gaussian object = fit(src, src_seeds, 1);
    const Gaussian background = fit(src, src_seeds, 2);

    // Bilinear resampling (pixel centres aligned) and nearest-neighbour seeds.
    GreyImage img;
    img.width = width;
    img.height = height;
    img.value.resize(static_cast<std::size_t>(width) * height);
    std::vector<unsigned char> seeds(img.value.size());
    const double sx = static_cast<double>(src.width) / width;
    const double sy = static_cast<double>(src.height) / height;
    for (int y = 0; y < height; ++y) {
        const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, src.height - 1.0);
        const int y0 = std::min(static_cast<int>(fy), src.height - 2);
        const double wy = fy - y0;
        const int ny = std::min(src.height - 1, static_cast<int>(y * sy));
        for (int x = 0; x < width; ++x) {
            const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, src.width - 1.0);
            const int x0 = std::min(static_cast<int>(fx), src.width - 2);
            const double wx = fx - x0;
            const double v = (1 - wy) * ((1 - wx) * src.at(x0, y0) + wx * src.at(x0 + 1, y0)) +
                             wy * ((1 - wx) * src.at(x0, y0 + 1) + wx * src.at(x0 + 1, y0 + 1));
            const std::size_t p = static_cast<std::size_t>(y) * width + x;
            img.value[p] = static_cast<float>(v);
            const int nx = std::min(src.width - 1, static_cast<int>(x * sx));
            seeds[p] = src_seeds[static_cast<std::size_t>(ny) * src.width + nx];
        }
    }

    // sigma^2 of the contrast term: the mean squared 4-neighbour difference.
    double sum_d2 = 0;
    std::size_t pairs = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (x + 1 < width) {
                const double d = img.at(x + 1, y) - img.at(x, y);
                sum_d2 += d * d;
                ++pairs;
            }
            if (y + 1 < height) {
                const double d = img.at(x, y + 1) - img.at(x, y);
                sum_d2 += d * d;
                ++pairs;
            }
        }
    const double two_sigma2 = 2 * std::max(1.0, sum_d2 / static_cast<double>(pairs));

    BaseProblem b;
    b.name = name;
    b.nodes = width * height;
    const std::size_t per_pixel = connectivity == 8 ? 4 : 2;
    b.edge_from.reserve(per_pixel * b.nodes);
    b.edge_to.reserve(per_pixel * b.nodes);
    b.edge_weight.reserve(per_pixel * b.nodes);
    const float inv_sqrt2 = static_cast<float>(1 / std::sqrt(2.0));
    auto add = [&](int x, int y, int x2, int y2, float dist_factor) {
        const double d = img.at(x2, y2) - img.at(x, y);
        b.edge_from.push_back(y * width + x);
        b.edge_to.push_back(y2 * width + x2);
        b.edge_weight.push_back(static_cast<float>(std::exp(-d * d / two_sigma2)) * dist_factor);
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (x + 1 < width) add(x, y, x + 1, y, 1.0f);
            if (y + 1 < height) add(x, y, x, y + 1, 1.0f);
            if (connectivity == 8 && y + 1 < height) {
                if (x + 1 < width) add(x, y, x + 1, y + 1, inv_sqrt2);
                if (x > 0) add(x, y, x - 1, y + 1, inv_sqrt2);
            }
        }

    // Terminal capacities: source = object. A pixel pays its object cost when
    // it ends on the source side (the arc to the sink is cut) and its
    // background cost otherwise. lambda = 10, capped at 1000; hard seeds 1e6.
    b.source_cap.resize(b.nodes);
    b.sink_cap.resize(b.nodes);
    for (int p = 0; p < b.nodes; ++p) {
        if (seeds[p] == 1) {
            b.source_cap[p] = kSeedCap;
            b.sink_cap[p] = 0;
            ++b.seeds_object;
        } else if (seeds[p] == 2) {
            b.source_cap[p] = 0;
            b.sink_cap[p] = kSeedCap;
            ++b.seeds_background;
        } else {
            b.source_cap[p] = clamp_cap(10 * background.cost(img.value[p]), 1000);
            b.sink_cap[p] = clamp_cap(10 * object.cost(img.value[p]), 1000);
        }
    }
    return b;
}

BaseProblem make_rag(const std::string& name, int regions, std::uint32_t seed) {
    std::mt19937 rng(seed);
    // A label map of about 60 pixels per region, 4:3.
    const double pixels = 60.0 * regions;
    const int width = static_cast<int>(std::lround(std::sqrt(pixels * 4 / 3)));
    const int height = static_cast<int>(std::lround(pixels / width));
    const std::size_t npix = static_cast<std::size_t>(width) * height;

    // Region centres at distinct random pixels; regions grown from them
    // breadth first (Voronoi-like cells in the city-block metric).
    std::vector<int> label(npix, -1);
    std::vector<int> centre(regions);
    std::uniform_int_distribution<std::size_t> any_pixel(0, npix - 1);
    for (int r = 0; r < regions; ++r) {
        std::size_t p;
        do p = any_pixel(rng);
        while (label[p] >= 0);
        label[p] = r;
        centre[r] = static_cast<int>(p);
    }
    std::vector<int> queue(centre);
    queue.reserve(npix);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int p = queue[head];
        const int x = p % width, y = p / width;
        const int next[4][2] = {{x + 1, y}, {x - 1, y}, {x, y + 1}, {x, y - 1}};
        for (const auto& n : next) {
            if (n[0] < 0 || n[1] < 0 || n[0] >= width || n[1] >= height) continue;
            const int q = n[1] * width + n[0];
            if (label[q] < 0) {
                label[q] = label[p];
                queue.push_back(q);
            }
        }
    }

    // Adjacency and shared boundary length.
    std::vector<std::uint64_t> keys;
    keys.reserve(npix);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int a = label[static_cast<std::size_t>(y) * width + x];
            auto pair_with = [&](int b) {
                if (a == b) return;
                const auto lo = static_cast<std::uint64_t>(std::min(a, b));
                const auto hi = static_cast<std::uint64_t>(std::max(a, b));
                keys.push_back(lo << 32 | hi);
            };
            if (x + 1 < width) pair_with(label[static_cast<std::size_t>(y) * width + x + 1]);
            if (y + 1 < height) pair_with(label[static_cast<std::size_t>(y + 1) * width + x]);
        }
    std::sort(keys.begin(), keys.end());

    // Region classes: inside a wobbly ellipse around the centre = object.
    std::vector<unsigned char> is_object(regions), inner(regions), border(regions);
    for (int r = 0; r < regions; ++r) {
        const double x = (centre[r] % width + 0.5) / width - 0.5;
        const double y = (centre[r] / width + 0.5) / height - 0.5;
        const double angle = std::atan2(y, x);
        const double radius = std::hypot(x / 0.32, y / 0.3) / (1 + 0.15 * std::sin(5 * angle));
        is_object[r] = radius < 1;
        inner[r] = radius < 0.3;
    }
    for (int x = 0; x < width; ++x) {
        border[label[x]] = 1;
        border[label[static_cast<std::size_t>(height - 1) * width + x]] = 1;
    }
    for (int y = 0; y < height; ++y) {
        border[label[static_cast<std::size_t>(y) * width]] = 1;
        border[label[static_cast<std::size_t>(y) * width + width - 1]] = 1;
    }

    // Histogram-like features: 8 bins around the class prototype plus noise.
    constexpr int bins = 8;
    const double proto[2][bins] = {{0.05, 0.3, 0.3, 0.15, 0.08, 0.05, 0.04, 0.03},
                                   {0.03, 0.04, 0.05, 0.08, 0.15, 0.3, 0.3, 0.05}};
    std::uniform_real_distribution<double> noise(0.0, 0.35);
    std::vector<double> hist(static_cast<std::size_t>(regions) * bins);
    for (int r = 0; r < regions; ++r) {
        double total = 0;
        for (int k = 0; k < bins; ++k) total += hist[r * bins + k] = proto[is_object[r]][k] + noise(rng);
        for (int k = 0; k < bins; ++k) hist[r * bins + k] /= total;
    }
    auto chi2 = [&](const double* a, const double* b2) {
        double d = 0;
        for (int k = 0; k < bins; ++k) {
            const double s = a[k] + b2[k];
            if (s > 0) d += (a[k] - b2[k]) * (a[k] - b2[k]) / s;
        }
        return 0.5 * d;
    };

    BaseProblem b;
    b.name = name;
    b.nodes = regions;
    std::vector<double> dist;
    std::vector<int> boundary;
    for (std::size_t k = 0; k < keys.size();) {
        std::size_t run = k;
        while (run < keys.size() && keys[run] == keys[k]) ++run;
        const int lo = static_cast<int>(keys[k] >> 32), hi = static_cast<int>(keys[k] & 0xffffffffu);
        b.edge_from.push_back(lo);
        b.edge_to.push_back(hi);
        boundary.push_back(static_cast<int>(run - k));
        dist.push_back(chi2(&hist[lo * bins], &hist[hi * bins]));
        k = run;
    }
    std::vector<double> sorted_dist(dist);
    std::nth_element(sorted_dist.begin(), sorted_dist.begin() + sorted_dist.size() / 2, sorted_dist.end());
    const double sigma = std::max(1e-3, sorted_dist[sorted_dist.size() / 2]);
    const double mean_boundary =
        std::accumulate(boundary.begin(), boundary.end(), 0.0) / static_cast<double>(boundary.size());
    b.edge_weight.resize(dist.size());
    for (std::size_t e = 0; e < dist.size(); ++e)
        b.edge_weight[e] = static_cast<float>(std::exp(-dist[e] * dist[e] / (2 * sigma * sigma)) *
                                              std::min(4.0, boundary[e] / mean_boundary));

    // A few hard seeds per side; 40% of the other regions get small
    // likelihood capacities, the rest none.
    b.source_cap.assign(regions, 0);
    b.sink_cap.assign(regions, 0);
    const int wanted = std::max(3, regions / 500);
    std::vector<int> order(regions);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    for (int r : order) {
        if (inner[r] && b.seeds_object < wanted) {
            b.source_cap[r] = kSeedCap;
            ++b.seeds_object;
        } else if (border[r] && !is_object[r] && b.seeds_background < wanted) {
            b.sink_cap[r] = kSeedCap;
            ++b.seeds_background;
        }
    }
    std::bernoulli_distribution has_terminal(0.4);
    for (int r = 0; r < regions; ++r) {
        if (b.source_cap[r] || b.sink_cap[r] || !has_terminal(rng)) continue;
        b.source_cap[r] = static_cast<int>(std::lround(10 * chi2(&hist[r * bins], proto[0])));
        b.sink_cap[r] = static_cast<int>(std::lround(10 * chi2(&hist[r * bins], proto[1])));
    }
    return b;
}

}  // namespace bench
