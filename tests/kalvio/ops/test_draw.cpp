// Drawing, filling and the chamfer distance: segments against digiline's
// own points, far end points, fills that would overflow a recursive
// implementation, NaN values, colour pixels, and the worked examples.
// Fills against scipy's labelling and the chamfer values against a numpy
// two-pass transform are checked by tests/interop/check_filters.py.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

using Points = std::set<std::pair<int, int>>;

Points marked(const CImage& image, float v) {
    Points p;
    for (int r = 0; r < image.nrows; ++r)
        for (int c = 0; c < image.ncols; ++c)
            if (image.data[r][(image.color == 1 ? 3 : 1) * c] == v) p.insert({r, c});
    return p;
}

Image blank(int rows, int cols, int color = 0) { return image_of(Rows(rows, Row(cols * (color ? 3 : 1), 0.0f)), color); }

}  // namespace

TEST(Draw, LinesAreDigilineClippedToTheImage) {
    unsigned seed = 7;
    const auto next = [&](int lo, int hi) {
        seed = seed * 1664525u + 1013904223u;
        return lo + int((seed >> 8) % unsigned(hi - lo + 1));
    };
    for (int trial = 0; trial < 400; ++trial) {
        const int r0 = next(-30, 40), c0 = next(-30, 50), r1 = next(-30, 40), c1 = next(-30, 50);
        const Image image = blank(11, 19);
        image->DrawLine(r0, c0, r1, c1, 1.0f);
        std::vector<int> rows(200), cols(200);
        int n = 0;
        digiline(r0, c0, r1, c1, rows.data(), cols.data(), &n);
        Points expected;
        for (int i = 0; i < n; ++i)
            if (rows[i] >= 0 && rows[i] < 11 && cols[i] >= 0 && cols[i] < 19) expected.insert({rows[i], cols[i]});
        ASSERT_EQ(marked(*image, 1.0f), expected) << r0 << "," << c0 << " " << r1 << "," << c1;
    }
}

TEST(Draw, FarEndPointsCostOnlyThePartOverTheImage) {
    const Image image = blank(6, 7);
    image->DrawLine(2, INT_MIN, 2, INT_MAX, 1.0f);
    image->DrawLine(-1000000000, -1000000000, 1000000000, 1000000000, 2.0f);
    image->DrawCross(4, 3, 3.0f, INT_MAX);
    // Row 2, less the pixels the diagonal and the cross took over.
    EXPECT_EQ(marked(*image, 1.0f).size(), 5u);
    EXPECT_EQ(marked(*image, 2.0f), (Points{{0, 0}, {1, 1}, {2, 2}, {5, 5}}));
    EXPECT_EQ(marked(*image, 3.0f).size(), 6u + 7u - 1u);
}

TEST(Draw, CirclesAndColourPixels) {
    const Image dot = blank(5, 5);
    dot->DrawCircle(2, 2, 0.0f, 9.0f);
    EXPECT_EQ(marked(*dot, 9.0f), (Points{{2, 2}}));

    // A circle of radius 10 around a corner: only the quarter inside, all
    // 8-connected arc pixels within half a pixel of the radius.
    const Image big = blank(20, 20);
    big->DrawCircle(0, 0, 10.0f, 1.0f);
    const Points arc = marked(*big, 1.0f);
    EXPECT_GT(arc.size(), 10u);
    for (const auto& [r, c] : arc) EXPECT_NEAR(std::hypot(r, c), 10.0, 0.72);

    // A colour image takes the value in all three channels.
    const Image rgb = blank(3, 3, 1);
    rgb->DrawLine(0, 0, 2, 2, 4.0f);
    EXPECT_EQ(rows_of(*rgb)[1], (Row{0, 0, 0, 4, 4, 4, 0, 0, 0}));
}

TEST(Fill, RegionsBoundedByValueOrBoundary) {
    const Image image = image_of({{0, 0, 1, 0, 0},
                                  {0, 1, 0, 0, 5},
                                  {1, 0, 0, 1, 0},
                                  {0, 0, 1, 0, 0}});
    image->FillObject(2, 1, 5.0f, 1.0f);
    EXPECT_EQ(rows_of(*image), (Rows{{0, 0, 1, 5, 5},
                                     {0, 1, 5, 5, 5},
                                     {1, 5, 5, 1, 0},
                                     {5, 5, 1, 0, 0}}));
    // Started on the value, on the boundary, or outside: nothing changes.
    const Rows before = rows_of(*image);
    for (const auto& [r, c] : {std::pair{0, 4}, {0, 2}, {-1, 0}, {4, 0}, {0, 5}, {0, -1}}) image->FillObject(r, c, 5.0f, 1.0f);
    EXPECT_EQ(rows_of(*image), before);

    // NaN as value: pixels that already hold NaN stop the fill, so it ends.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Image holes = image_of({{0, 0, 7}, {0, 7, 0}});
    holes->FillObject(0, 0, nan, 7.0f);
    EXPECT_TRUE(std::isnan(holes->data[1][0]));
    EXPECT_EQ(holes->data[1][2], 0.0f);

    // Colour: a pixel is the boundary only when all three channels match.
    const Image rgb = image_of({{0, 0, 0, 1, 1, 0, 0, 0, 0}}, 1);
    rgb->FillObject(0, 0, 2.0f, 1.0f);
    EXPECT_EQ(rows_of(*rgb)[0], Row(9, 2.0f));
}

TEST(Fill, HugeAndWindingRegionsUseNoRecursion) {
    // 4000 x 3000, a serpentine wall of value 1 leaving one long corridor.
    auto image = std::make_unique<CImage>(3000, 4000, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
    for (int r = 2; r < 3000; r += 4)
        for (int c = 0; c < 4000; ++c) image->data[r][c] = c == (r % 8 == 2 ? 3999 : 0) ? 0.0f : 1.0f;
    const auto count = [&](float v) {
        std::size_t n = 0;
        for (int r = 0; r < 3000; ++r) n += std::count(image->data[r], image->data[r] + 4000, v);
        return n;
    };
    const std::size_t open = count(0.0f);
    image->FillObject(1500, 2000, 3.0f, 1.0f);
    EXPECT_EQ(count(3.0f), open);
}

TEST(Fill, ConvexOutlines) {
    const Image image = image_of({{0, 0, 5, 0, 0, 5, 0}, {0, 5, 5, 0, 0, 0, 0}, {5, 0, 0, 0, 0, 0, 0}});
    image->FillConvexObject(5.0f);
    EXPECT_EQ(rows_of(*image), (Rows{{0, 0, 5, 5, 5, 5, 0}, {0, 5, 5, 0, 0, 0, 0}, {5, 0, 0, 0, 0, 0, 0}}));
}

TEST(Chamfer, StepsAndCodes) {
    const Image one = blank(3, 4);
    one->data[1][1] = -2.0f;
    const Image d(one->Chamfer());
    ASSERT_TRUE(d);
    EXPECT_EQ(header(*d), (std::vector<int>{3, 4, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT}));
    const float diagonal = 1.4142137f, further = 1.0f + diagonal;
    EXPECT_EQ(rows_of(*d), (Rows{{diagonal, 1, diagonal, further}, {1, 0, 1, 2}, {diagonal, 1, diagonal, further}}));

    EXPECT_EQ(rows_of(*Image(blank(2, 3)->Chamfer())), Rows(2, Row(3, 1000000.0f)));

    // Colour: any channel counts, the distance goes to all three.
    const Image rgb = image_of({{0, 0, 0, 0, 0, 3, 0, 0, 0}}, 1);
    EXPECT_EQ(rows_of(*Image(rgb->Chamfer()))[0], (Row{1, 1, 1, 0, 0, 0, 1, 1, 1}));
    CImage empty;
    EXPECT_EQ(Image(empty.Chamfer()), nullptr);
}
