// Region maps: each map is taken apart again by a 4-connected flood fill of
// its own (the way a segmentation program reads a map), which must find
// exactly the regions MakeRegionMap counted, each with a colour of its own;
// region sizes against the one asked for; boundaries against the edges of a
// picture of flat shapes; the same bits for one and two threads; tiny and
// refused pictures.
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

// The map divided into 4-connected areas of one colour: the area of every
// pixel (row-major), and how many areas there are.
struct Areas {
    std::vector<int> of;
    int count = 0;
};

std::uint32_t colour_at(const CImage& map, int r, int c) {
    const float* p = map.data[r] + 3 * c;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16;
}

// Checks the map's header and samples, then fills its areas; every area
// must have a colour no other area has.
Areas areas_of(const CImage& picture, const CImage& map) {
    EXPECT_EQ(header(map), (std::vector<int>{picture.nrows, picture.ncols, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8}));
    for (const Row& row : rows_of(map))
        for (float v : row) EXPECT_TRUE(v >= 0.0f && v <= 255.0f && v == std::floor(v)) << v;
    const int rows = map.nrows, cols = map.ncols;
    Areas a;
    a.of.assign(static_cast<std::size_t>(rows) * cols, -1);
    std::set<std::uint32_t> colours;
    std::vector<int> stack;
    for (int start = 0; start < rows * cols; ++start) {
        if (a.of[start] >= 0) continue;
        const std::uint32_t colour = colour_at(map, start / cols, start % cols);
        EXPECT_TRUE(colours.insert(colour).second) << "two areas of colour " << colour;
        a.of[start] = a.count;
        stack.push_back(start);
        while (!stack.empty()) {
            const int p = stack.back(), r = p / cols, c = p % cols;
            stack.pop_back();
            const int next[4][2] = {{r - 1, c}, {r + 1, c}, {r, c - 1}, {r, c + 1}};
            for (const auto& [nr, nc] : next) {
                if (nr < 0 || nr >= rows || nc < 0 || nc >= cols || a.of[nr * cols + nc] >= 0) continue;
                if (colour_at(map, nr, nc) != colour) continue;
                a.of[nr * cols + nc] = a.count;
                stack.push_back(nr * cols + nc);
            }
        }
        ++a.count;
    }
    return a;
}

// Makes the map and checks it divides into exactly the regions it counts.
Areas checked_map(CImage& picture, int size) {
    int regions = -1;
    const Image map(picture.MakeRegionMap(size, &regions));
    EXPECT_TRUE(map);
    if (!map) return {};
    Areas a = areas_of(picture, *map);
    EXPECT_EQ(a.count, regions) << "region size " << size;
    return a;
}

// A photograph-like picture: gradients, waves and noise, grey or colour.
Image textured(int rows, int cols, int color) {
    auto image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    unsigned seed = 7;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            for (int k = 0; k < (color ? 3 : 1); ++k) {
                seed = seed * 1664525u + 1013904223u;
                const float wave = 60.0f * std::sin(0.05f * (r + 2 * k) + 0.03f * c * (k + 1));
                image->data[r][(color ? 3 : 1) * c + k] =
                    std::round(120.0f + 0.2f * r - 0.1f * c + wave + static_cast<float>(seed >> 28));
            }
    return image;
}

}  // namespace

TEST(RegionMap, RegionsAreConnectedUniquelyColouredAndNearTheAskedSize) {
    for (int color : {0, 1}) {
        Image picture = textured(120, 150, color);
        for (int size : {25, 100, 400}) {
            const Areas a = checked_map(*picture, size);
            ASSERT_GT(a.count, 0);
            const double mean = 120.0 * 150.0 / a.count;
            EXPECT_GT(mean, size / 1.5) << "colour " << color << " size " << size;
            EXPECT_LT(mean, size * 1.5) << "colour " << color << " size " << size;
        }
    }
}

TEST(RegionMap, NoRegionCrossesTheEdgeOfAFlatShape) {
    // Discs and rectangles of flat colours on a flat background, in a grey
    // and a colour picture (the colour one with an edge in one channel only).
    for (int color : {0, 1}) {
        const int rows = 160, cols = 200;
        Rows px(rows, Row(static_cast<std::size_t>(cols) * (color ? 3 : 1), 40.0f));
        const auto paint = [&](int r, int c, float v) {
            if (!color) px[r][c] = v;
            else px[r][3 * c + 1] = v;
        };
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const int d1 = (r - 50) * (r - 50) + (c - 60) * (c - 60);
                const int d2 = (r - 110) * (r - 110) + (c - 150) * (c - 150);
                if (d1 < 35 * 35) paint(r, c, 200.0f);
                if (d2 < 30 * 30) paint(r, c, 120.0f);
                if (r >= 95 && r < 150 && c >= 20 && c < 90) paint(r, c, 160.0f);
            }
        Image picture = image_of(px, color);
        for (int size : {25, 100, 400}) {
            const Areas a = checked_map(*picture, size);
            // Every pixel of an area has the value the area's first pixel has.
            std::vector<float> value(static_cast<std::size_t>(a.count), -1.0f);
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < cols; ++c) {
                    const float v = color ? px[r][3 * c + 1] : px[r][c];
                    float& first = value[a.of[r * cols + c]];
                    if (first < 0.0f) first = v;
                    ASSERT_EQ(first, v) << "region across an edge at " << r << ", " << c << " size " << size;
                }
        }
    }
}

TEST(RegionMap, OneAndTwoThreadsGiveTheSameMap) {
    // A megapixel or more is needed for the work to be split at all.
    Image picture = textured(1000, 1100, 1);
    Image maps[2];
    int counts[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const Setting threads("KALVIO_THREADS", i == 0 ? "1" : "2");
        maps[i].reset(picture->MakeRegionMap(100, &counts[i]));
        ASSERT_TRUE(maps[i]);
    }
    EXPECT_EQ(counts[0], counts[1]);
    EXPECT_TRUE(same_bits(*maps[0], *maps[1]));
    EXPECT_EQ(areas_of(*picture, *maps[1]).count, counts[1]);
}

TEST(RegionMap, TinyAndThinPictures) {
    Image dot = image_of({{5.0f}});
    EXPECT_EQ(checked_map(*dot, 100).count, 1);
    EXPECT_EQ(checked_map(*dot, 1).count, 1);
    for (const auto& [rows, cols] : {std::pair{1, 500}, {500, 1}, {2, 300}}) {
        Image line = textured(rows, cols, 1);
        for (int size : {1, 10, 100, 100000}) {
            const Areas a = checked_map(*line, size);
            const double expected = std::max(1.0, std::round(double(rows) * cols / size));
            EXPECT_NEAR(a.count, expected, expected * 0.2) << rows << " x " << cols << " size " << size;
        }
    }
    // A single region size per pixel: every pixel its own region.
    Image small = textured(7, 9, 0);
    EXPECT_EQ(checked_map(*small, 1).count, 63);
}

TEST(RegionMap, RefusesPicturesWithoutPixelsAndSizesBelowOne) {
    int regions = 99;
    CImage empty;
    EXPECT_EQ(empty.MakeRegionMap(100, &regions), nullptr);
    EXPECT_EQ(regions, 0);
    Image picture = textured(10, 10, 1);
    for (int size : {0, -5}) {
        regions = 99;
        EXPECT_EQ(picture->MakeRegionMap(size, &regions), nullptr);
        EXPECT_EQ(regions, 0);
    }
    CImage no_array(4, 4, 2, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);  // no pixel array
    EXPECT_EQ(no_array.MakeRegionMap(), nullptr);
}
