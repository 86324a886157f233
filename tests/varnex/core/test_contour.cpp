// The segmentation object up to the cut: seeds, reading the region map, the
// regions with their fill order, neighbour tables, histograms and means.
#include <varnex/contour.h>

#include "core_test_support.h"
#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using core_test::list_of;
using core_test::write_map;

std::vector<CPoint> pixels_of(const Contour& contour, int r) {
    std::vector<CPoint> out;
    const SeqList<CPoint>* list = contour.regions.GetAt(r);
    for (int i = 1; i <= list->GetCount(); ++i) out.push_back(list->GetAt(i));
    return out;
}

class RegionsTest : public testing::Test {
protected:
    // Reads the drawn map for `picture` and divides it into regions.
    void divide(MyImage& picture, const std::vector<std::string>& rows) {
        write_map(dir.path("map.bmp"), rows);
        contour = std::make_unique<Contour>(&picture);
        ASSERT_TRUE(contour->LoadRegionMap(dir.path("map.bmp")));
        ASSERT_TRUE(contour->ComputeRegions());
    }
    void TearDown() override {
        if (contour) {
            contour->ReleaseRegions();
            contour->ReleaseRunData();
        }
    }
    std::vector<int> lower(int r) const { return list_of(contour->lower_neighbours.GetAt(r)); }
    std::vector<int> all(int r) const { return list_of(contour->neighbours.GetAt(r)); }
    int label(int x, int y) const { return contour->label_map[y][x]; }

    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    std::unique_ptr<Contour> contour;
};

TEST_F(RegionsTest, RingAroundACentreInFillOrder) {
    MyImage picture = core_test::grey_picture(3, 3, {0});
    divide(picture, {"aaa", "aba", "aaa"});
    ASSERT_EQ(contour->region_count(), 2);
    EXPECT_EQ(lower(1), std::vector<int>{1});
    EXPECT_EQ(lower(2), (std::vector<int>{2, 1}));
    EXPECT_EQ(all(1), std::vector<int>{1});
    EXPECT_EQ(all(2), (std::vector<int>{2, 1}));
    // Depth first, neighbours pushed left, right, up, down: the ring is
    // walked down the left side and back up the right one.
    const std::vector<CPoint> ring = {{0, 0}, {1, 0}, {0, 1}, {0, 2}, {1, 2}, {2, 2}, {2, 1}, {2, 0}};
    EXPECT_EQ(pixels_of(*contour, 1), ring);
    EXPECT_EQ(pixels_of(*contour, 2), (std::vector<CPoint>{{1, 1}}));
    EXPECT_EQ(label(1, 1), 2);
    EXPECT_EQ(label(2, 0), 1);
}

TEST_F(RegionsTest, EqualColoursMakeOneRegionOnlyWhen4Connected) {
    MyImage picture = core_test::grey_picture(2, 5, {0});
    divide(picture, {"abaab", "babaa"});
    // Numbered in raster order of their first pixels. The a's at (0,0) and
    // (1,1) touch only at a corner, as do the b's at (1,0) and (0,1): four
    // regions. The a's from (2,0) on are one region, the b's at (1,0) and
    // (4,0) are two.
    const int expected[2][5] = {{1, 2, 3, 3, 4}, {5, 6, 7, 3, 3}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(label(x, y), expected[y][x]) << x << "," << y;
    EXPECT_EQ(contour->region_count(), 7);
    EXPECT_EQ(pixels_of(*contour, 3), (std::vector<CPoint>{{2, 0}, {3, 0}, {3, 1}, {4, 1}}));
}

TEST_F(RegionsTest, OnlyInteriorPixelsRecordContacts) {
    // Region 2 is one border pixel: region 1's interior pixel sees it, but
    // it has no interior pixel of its own, so only neighbours list 1 holds
    // the pair. c and d meet only along the bottom row: never recorded.
    MyImage picture = core_test::grey_picture(4, 4, {0});
    divide(picture, {"aaaa", "aaab", "aaaa", "ccdd"});
    ASSERT_EQ(contour->region_count(), 4);
    EXPECT_EQ(all(1), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(lower(1), std::vector<int>{1});
    EXPECT_EQ(all(2), std::vector<int>{2});
    EXPECT_EQ(lower(2), std::vector<int>{2});
    EXPECT_EQ(all(3), std::vector<int>{3});
    EXPECT_EQ(all(4), std::vector<int>{4});
}

TEST_F(RegionsTest, GreyRegionMapIsDividedByValue) {
    CImage map(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    map.data[0][0] = map.data[0][1] = map.data[1][2] = 7;  // 7 7 0 / 0 0 7
    ASSERT_EQ(map.WriteImage(dir.path("grey.pgm").c_str()), 1);
    MyImage picture = core_test::grey_picture(2, 3, {0});
    Contour c(&picture);
    ASSERT_TRUE(c.LoadRegionMap(dir.path("grey.pgm")));
    ASSERT_TRUE(c.ComputeRegions());
    EXPECT_EQ(c.region_count(), 4);
    const int expected[2][3] = {{1, 1, 2}, {3, 3, 4}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(c.label_map[y][x], expected[y][x]) << x << "," << y;
    c.ReleaseRegions();
    c.ReleaseRunData();
}

TEST_F(RegionsTest, GreyPictureFillsTheFirstChannelOnly) {
    MyImage picture = core_test::grey_picture(2, 2, {0, 255, 255, 10.9f});
    divide(picture, {"aa", "aa"});
    const float* h = contour->histograms[0];
    EXPECT_EQ(h[0], 1.0f);
    EXPECT_EQ(h[1], 0.25f);
    EXPECT_EQ(h[11], 0.25f);   // 10.9 truncated
    EXPECT_EQ(h[256], 0.5f);
    float rest = 0;
    for (int k = 257; k <= 768; ++k) rest += h[k];
    EXPECT_EQ(rest, 0.0f);
    EXPECT_EQ(contour->mean0[0], (0 + 255 + 255 + 10.9f) / 4);
    EXPECT_EQ(contour->mean1[0], 0.0f);
    EXPECT_EQ(contour->mean2[0], 0.0f);
}

TEST_F(RegionsTest, ColourPictureHistogramsAndMeansPerChannel) {
    MyImage picture(1, 3, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    const float values[9] = {10, 20, 30, 10, 21, 255, 90, 20, 0};
    for (int k = 0; k < 9; ++k) picture.data[0][k] = values[k];
    divide(picture, {"aab"});
    ASSERT_EQ(contour->region_count(), 2);
    const float* h = contour->histograms[0];
    EXPECT_EQ(h[0], 1.0f);
    EXPECT_EQ(h[1 + 10], 1.0f);
    EXPECT_EQ(h[257 + 20], 0.5f);
    EXPECT_EQ(h[257 + 21], 0.5f);
    EXPECT_EQ(h[513 + 30], 0.5f);
    EXPECT_EQ(h[513 + 255], 0.5f);
    EXPECT_EQ(contour->histograms[1][0], 2.0f);
    EXPECT_EQ(contour->mean0[0], 10.0f);
    EXPECT_EQ(contour->mean1[0], 20.5f);
    EXPECT_EQ(contour->mean2[0], 142.5f);
    EXPECT_EQ(contour->mean0[1], 90.0f);
    EXPECT_EQ(contour->mean2[1], 0.0f);
}

TEST_F(RegionsTest, SamplesOutsideTheByteRangeGoToTheEndBins) {
    // A 16-bit picture: values below 0 count in the first bin, 256 and
    // above in the last; the means keep the true values.
    MyImage picture(1, 6, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    const float values[6] = {-5, -0.5f, 0.7f, 255.9f, 256, 40000};
    for (int x = 0; x < 6; ++x) picture.data[0][x] = values[x];
    divide(picture, {"aaaaaa"});
    const float* h = contour->histograms[0];
    EXPECT_FLOAT_EQ(h[1], 3.0f / 6);
    EXPECT_FLOAT_EQ(h[256], 3.0f / 6);
    EXPECT_EQ(h[257], 0.0f);
    float sum = 0;
    for (float v : values) sum += v;
    EXPECT_EQ(contour->mean0[0], sum / 6);

    // A not-a-number sample also lands in the first bin.
    picture.data[0][5] = std::numeric_limits<float>::quiet_NaN();
    contour->ReleaseRegions();
    contour->ReleaseRunData();
    ASSERT_TRUE(contour->ComputeRegions());
    EXPECT_FLOAT_EQ(contour->histograms[0][1], 4.0f / 6);
    EXPECT_FLOAT_EQ(contour->histograms[0][256], 2.0f / 6);
}

TEST(ContourSeeds, OnlyPointsInsideThePictureAreKept) {
    MyImage picture(3, 4, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);  // width 4, height 3
    Contour contour(&picture);
    EXPECT_EQ(contour.weight, 1.0f);
    EXPECT_EQ(contour.result, nullptr);
    EXPECT_FALSE(contour.AddSeed(-1, 0, 1));
    EXPECT_FALSE(contour.AddSeed(4, 0, 1));
    EXPECT_FALSE(contour.AddSeed(0, 3, 2));
    EXPECT_FALSE(contour.AddSeed(0, -1, 2));
    EXPECT_TRUE(contour.AddSeed(0, 0, 3));
    EXPECT_TRUE(contour.AddSeed(0, 0, 0));
    EXPECT_TRUE(contour.object_seeds.IsEmpty());
    EXPECT_TRUE(contour.background_seeds.IsEmpty());

    EXPECT_TRUE(contour.AddSeed(3, 2, 1));
    EXPECT_TRUE(contour.AddSeed(3, 2, 1));  // duplicates are kept
    EXPECT_TRUE(contour.AddSeed(1, 0, 2));
    ASSERT_EQ(contour.object_seeds.GetCount(), 2);
    EXPECT_EQ(contour.object_seeds.GetAt(2), (CPoint{3, 2}));
    ASSERT_EQ(contour.background_seeds.GetCount(), 1);
    EXPECT_EQ(contour.background_seeds.GetAt(1), (CPoint{1, 0}));
}

TEST_F(RegionsTest, UnreadableRegionMapIsReportedAndStopsTheRun) {
    MyImage picture = core_test::grey_picture(2, 2, {0});
    Contour c(&picture);
    c.AddSeed(0, 0, 1);
    const std::string missing = dir.path("nothing_regions.bmp");
    EXPECT_FALSE(c.LoadRegionMap(missing));
    EXPECT_EQ(c.path, missing);
    ASSERT_FALSE(messages.boxes().empty());
    const auto& box = messages.boxes().back();
    EXPECT_EQ(box.text, "Can't open image " + missing + " \n(it might be a type problem)");
    EXPECT_EQ(box.icon, kalvio::MessageIcon::Error);
    EXPECT_FALSE(c.ComputeRegions());
    c.BuildGraph();
    c.LocalGraphCut();
    EXPECT_EQ(c.result, nullptr);
    EXPECT_EQ(c.cut_count(), 0);
    c.ReleaseRegions();
    c.ReleaseRunData();
}

TEST_F(RegionsTest, RegionMapOfAnotherSizeIsReportedAndNothingIsCut) {
    write_map(dir.path("small.bmp"), {"ab", "ab"});
    MyImage picture = core_test::grey_picture(2, 3, {0});
    Contour c(&picture);
    c.AddSeed(0, 0, 1);
    c.AddSeed(2, 1, 2);
    messages.clear();
    EXPECT_FALSE(c.LoadRegionMap(dir.path("small.bmp")));
    ASSERT_EQ(messages.boxes().size(), 1u);
    EXPECT_EQ(messages.boxes()[0].text,
              "The region map " + dir.path("small.bmp") + " does not have the size of the picture");
    EXPECT_EQ(messages.boxes()[0].icon, kalvio::MessageIcon::Error);
    EXPECT_FALSE(c.ComputeRegions());
    EXPECT_EQ(c.region_count(), 0);
    c.BuildGraph();
    c.LocalGraphCut();
    EXPECT_EQ(c.result, nullptr);
    EXPECT_EQ(c.cut_count(), 0);
    c.ReleaseRegions();
    c.ReleaseRunData();

    // A map of the right size read afterwards works again.
    write_map(dir.path("fit.bmp"), {"abb", "abb"});
    EXPECT_TRUE(c.LoadRegionMap(dir.path("fit.bmp")));
    EXPECT_TRUE(c.ComputeRegions());
    EXPECT_EQ(c.region_count(), 2);
    c.ReleaseRegions();
    c.ReleaseRunData();
}

}  // namespace
