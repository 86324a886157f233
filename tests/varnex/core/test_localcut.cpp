// The localized graph cut: seeds and bands, terminal and neighbour
// capacities seen through the cut they produce, degenerate pictures, runs
// repeated on one Contour, and the fast Contour against the plain reference
// on the sample cases and on many small random ones.
#include <varnex/contour.h>

#include "core_test_support.h"
#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace {

using core_test::expect_same;
using core_test::Outcome;
using core_test::run_contour;
using core_test::run_reference;
using core_test::Seeds;
using core_test::write_map;

bool all_white(const Outcome& out) {
    for (float v : out.result)
        if (v != 255.0f) return false;
    return !out.result.empty();
}

class LocalCutTest : public testing::Test {
protected:
    // Runs Contour on the drawn map, checks it against the reference and
    // returns its outcome.
    Outcome run(MyImage& picture, const std::vector<std::string>& map, const Seeds& object, const Seeds& background,
                float parameter) {
        write_map(dir.path("map.ppm"), map);
        Outcome fast = run_contour(picture, dir.path("map.ppm"), object, background, parameter);
        expect_same(fast, run_reference(picture, dir.path("map.ppm"), object, background, parameter), "drawn case");
        return fast;
    }
    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
};

// Three regions side by side; a-b and b-c meet at interior pixels of row 1.
const std::vector<std::string> kThree = {"aabbcc", "aabbcc", "aabbcc"};

TEST_F(LocalCutTest, ObjectSeedsOnlyTakeEveryReachedRegion) {
    // The corner pixel z is in no neighbour list: never reached, stays white.
    MyImage picture = core_test::grey_picture(4, 5, {0, 10, 20, 30, 40,   50, 60, 70, 80, 90,
                                                    100, 110, 120, 130, 140, 150, 160, 170, 180, 190});
    const Outcome out = run(picture, {"zaabb", "aaabb", "ccddb", "ccddb"}, {{1, 1}}, {}, 10);
    ASSERT_EQ(out.regions, 5);
    EXPECT_EQ(out.marks, (std::vector<int>{0, 0, 1, 1, 1, 1}));  // z is region 1
    EXPECT_EQ(out.result[0], 255.0f);
    for (int i = 1; i < 20; ++i)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(out.result[3 * i + k], picture.data[i / 5][i % 5]) << i;
    // a with its ring {b, c, d}, then the final cut with nothing new.
    EXPECT_EQ(out.cuts, 2);
}

// Regions a (object, all 0), b (band, mean 100), c (background, all 200):
// b's terminal capacities are equal (100 and 100) and its two edges decide.
// b's histogram lies nearer c's, so its edge to c is the stronger one.
MyImage band_between_sides() {
    return core_test::grey_picture(3, 6, {0, 0, 200, 200, 200, 200,  //
                                          0, 0, 50, 50, 200, 200,    //
                                          0, 0, 50, 50, 200, 200});
}

// Below 1 the parameter truncates to no neighbour edges; negative and
// undefined values count as 0.
TEST_F(LocalCutTest, ParameterBelowOneOrUndefinedCutsNoNeighbourTies) {
    MyImage picture = band_between_sides();
    // With real edges the stronger tie to c wins.
    EXPECT_EQ(run(picture, kThree, {{0, 0}}, {{5, 0}}, 10.0f).marks[2], -1);
    // Both edges 0: b is left on neither side and counts as object.
    const Outcome zero = run(picture, kThree, {{0, 0}}, {{5, 0}}, 0.0f);
    EXPECT_EQ(zero.marks[2], 1);
    for (float p : {0.99f, -1.0f, -1e9f, std::numeric_limits<float>::quiet_NaN(),
                    -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()}) {
        const Outcome out = run(picture, kThree, {{0, 0}}, {{5, 0}}, p);
        EXPECT_EQ(out.marks, zero.marks) << p;
        EXPECT_EQ(out.result, zero.result) << p;
    }
}

TEST_F(LocalCutTest, IdenticalHistogramsGiveTheTruncatedParameter) {
    // a object, b background, each 800 x 2 to its own terminal and 1 to the
    // other; the edge between them (weight 1) is the truncated parameter.
    // Once it reaches 1599 it carries all that a's terminals can pass and
    // neither side keeps b: b counts as object.
    MyImage picture = core_test::grey_picture(3, 4, {0, 100, 0, 100, 100, 0, 100, 0, 0, 100, 0, 100});
    const std::vector<std::string> map = {"aabb", "aabb", "aabb"};
    const Outcome below = run(picture, map, {{0, 0}}, {{3, 0}}, 1598.99f);
    EXPECT_EQ(below.pair_distances, std::vector<float>{0.0f});
    EXPECT_EQ(below.last_weight, 1.0f);
    EXPECT_EQ(below.marks[2], -1);
    EXPECT_EQ(run(picture, map, {{0, 0}}, {{3, 0}}, 1599.9f).marks[2], 1);
}

TEST_F(LocalCutTest, SeedRegionWithFiveNeighbourEntriesHas4000) {
    // x touches four background regions through its one interior pixel:
    // 4000 to the source and 1 to the sink. On a constant picture every
    // edge is the truncated parameter: 4 x 999 keeps x, 4 x 1000 pulls it
    // over (4000 exceeds the 3999 left after the 1 to the sink).
    const std::vector<std::string> map = {"ppnqq", "ppnqq", "wwxee", "rrstt", "rrstt"};
    MyImage picture = core_test::grey_picture(5, 5, {77});
    Seeds background;
    for (CPoint p : {CPoint{0, 0}, {2, 0}, {4, 0}, {0, 2}, {4, 2}, {0, 4}, {2, 4}, {4, 4}}) background.push_back({p.x, p.y});
    const Outcome keeps = run(picture, map, {{2, 2}}, background, 999.5f);
    ASSERT_EQ(keeps.neighbours[4], (std::vector<int>{5, 4, 6, 2, 8}));
    EXPECT_EQ(keeps.marks[5], 1);
    EXPECT_EQ(keeps.result[3 * 12], 77.0f);
    EXPECT_EQ(keeps.cuts, 1);
    const Outcome pulled = run(picture, map, {{2, 2}}, background, 1000.5f);
    EXPECT_EQ(pulled.marks[5], -1);
    EXPECT_TRUE(all_white(pulled));
}

TEST_F(LocalCutTest, ContactSeenFromOneSideGrowsTheBandWithoutAnEdge) {
    // Only a's interior sees b (one border pixel): b joins the band, but no
    // edge ties it to a. Its terminals alone (10 to the source, 190 to the
    // sink) make it background; an edge of this parameter would pull it over.
    MyImage picture = core_test::grey_picture(4, 4, {0, 20, 0, 20, 20, 0, 20, 200, 0, 20, 0, 20, 190, 190, 50, 50});
    const Outcome out = run(picture, {"aaaa", "aaab", "aaaa", "ccdd"}, {{0, 0}}, {{0, 3}}, 1e6f);
    EXPECT_EQ(out.lower_neighbours[1], std::vector<int>{2});
    EXPECT_EQ(out.marks[2], -1);
    EXPECT_EQ(out.cuts, 2);
}

// With parameters this large a cut can move labelled regions, and one
// graph serves the whole loop, changed ring by ring. On a constant picture
// every edge is the whole parameter and every distance 0: seed capacities
// alone decide, and groups of labelled regions change sides.
TEST_F(LocalCutTest, LabelledRegionsThatCutsMoveKeepTheirNewSide) {
    MyImage flat = core_test::grey_picture(4, 8, {28});
    // The first cut moves the object-seeded region 14 to the background,
    // the second the other one, 11: every cut after must hold them there.
    const Outcome moved = run(flat, {"afabffaa", "ahaafhff", "hahbfafa", "aaaabbba"}, {{1, 2}, {5, 2}}, {{7, 1}}, 1e6f);
    EXPECT_EQ(moved.marks[11], -1);
    EXPECT_EQ(moved.marks[14], -1);
    // The third cut moves the background-seeded region 12 and five regions
    // the first two labelled to the object side.
    const Outcome back = run(flat, {"ceacbaac", "cdedbdaa", "eeacedcb", "eddaeede"}, {{7, 1}}, {{1, 2}}, 1e4f);
    EXPECT_EQ(back.marks[12], 1);
    EXPECT_EQ(back.cuts, 5);
}

TEST_F(LocalCutTest, RingRegionTiedToARegionLabelledLongBefore) {
    // The background seed's region 6 (a, column 0 of the last rows) has no
    // interior pixel: no band grows from it. Region 7 (b below the middle d)
    // joins the second ring through d; its interior pixel sees 6, which ties
    // it to 6 with the whole parameter, and its distances are equal, so
    // only that tie, to a region no cut has touched since the seeds, makes
    // it background.
    MyImage picture = core_test::grey_picture(5, 3, {0, 0, 50, 0, 0, 0, 0, 50, 0, 0, 0, 0, 0, 0, 0});
    const Outcome tied = run(picture, {"aad", "cab", "cdb", "abc", "aca"}, {{1, 0}}, {{0, 4}}, 3000);
    EXPECT_EQ(tied.marks[6], -1);
    EXPECT_EQ(tied.marks[7], -1);
}

// Pictures of one pixel, and parameters so large that every edge is huge:
// every capacity stays defined. Thin and constant pictures are among the
// random cases below.
TEST_F(LocalCutTest, DegeneratePicturesGiveValidCuts) {
    MyImage colour(3, 6, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    for (int y = 0; y < 3; ++y)
        for (int k = 0; k < 18; ++k) colour.data[y][k] = static_cast<float>(k % 3 * 100);
    run(colour, kThree, {{2, 1}}, {}, 1e30f);
    MyImage single = core_test::grey_picture(1, 1, {5});
    const Outcome one = run(single, {"a"}, {{0, 0}}, {}, 10);
    EXPECT_EQ(one.marks, (std::vector<int>{0, 1}));
    EXPECT_EQ(one.result, (std::vector<float>{5, 5, 5}));
}

TEST_F(LocalCutTest, RepeatedRunOnOneContourGivesTheSameResult) {
    MyImage picture = band_between_sides();
    write_map(dir.path("map.ppm"), kThree);
    Contour contour(&picture);
    contour.AddSeed(0, 0, 1);
    contour.AddSeed(5, 0, 2);
    const Outcome first = run_contour(contour, dir.path("map.ppm"), 10);
    const Outcome second = run_contour(contour, dir.path("map.ppm"), 10);
    EXPECT_EQ(first.marks, (std::vector<int>{0, 1, -1, -1}));
    EXPECT_EQ(second.marks, first.marks);
    EXPECT_EQ(second.cuts, first.cuts);
    EXPECT_EQ(second.result, first.result);
    EXPECT_EQ(second.neighbours, first.neighbours);
    // Capacities belong to the run: a new parameter takes effect.
    EXPECT_EQ(run_contour(contour, dir.path("map.ppm"), 0.5f).marks[2], 1);
    // Without seeds the next run cuts nothing.
    contour.object_seeds.RemoveAll();
    contour.background_seeds.RemoveAll();
    const Outcome empty = run_contour(contour, dir.path("map.ppm"), 10);
    EXPECT_EQ(empty.cuts, 0);
    EXPECT_TRUE(all_white(empty));
}

// ---- The fast Contour against the reference ---------------------------------

#ifdef VARNEX_EXAMPLES
struct Sample {
    const char* picture;
    const char* base;
};

void read_seeds(const std::string& path, Seeds& object, Seeds& background) {
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    int x, y, kind;
    while (in >> x >> y >> kind) (kind == 1 ? object : background).push_back({x, y});
}

// A grey picture whose samples are not bytes shows its object through the
// display table it is shown with, so that the result looks like the picture;
// byte pictures and callers without a table keep the raw values.
TEST_F(LocalCutTest, ObjectOfAWidePictureShowsThroughItsDisplayTable) {
    write_map(dir.path("map.ppm"), kThree);
    for (const int type : {KALVIO_TYPE_INT16, KALVIO_TYPE_FLOAT, KALVIO_TYPE_UINT8}) {
        MyImage picture = core_test::grey_picture(3, 6, {1000, 1000, 3000, 3000, 200, 200});
        picture.datatype = type;
        const varnex::OpeningGreyTable shown(picture);
        for (const bool with_table : {true, false}) {
            Contour contour(&picture);
            contour.AddSeed(0, 1, 1);
            contour.AddSeed(5, 1, 2);
            if (with_table) contour.result_levels = shown.table;
            const Outcome out = run_contour(contour, dir.path("map.ppm"), 10);
            ASSERT_EQ(out.result.size(), 3u * 18);
            const float expected = with_table && type != KALVIO_TYPE_UINT8 ? shown.table.LevelOf(1000) : 1000;
            SCOPED_TRACE(testing::Message() << "type " << type << (with_table ? " with" : " without") << " table");
            EXPECT_EQ(out.result[3 * 6], expected);  // row 1, column 0
            EXPECT_EQ(out.result[3 * 6 + 2], expected) << "all three channels";
            EXPECT_EQ(out.result[3 * 11], 255.0f) << "background stays white";
        }
    }
}

// A map of tiny regions whose tables cannot fit in the memory allowed is
// refused with a message naming the count; nothing of the run stays, and
// the next run on the same object works.
TEST_F(LocalCutTest, RegionTablesBeyondMemoryAreRefusedWithAMessage) {
    const int side = 40;
    MyImage picture = core_test::grey_picture(side, side, {7});
    Contour contour(&picture);
    contour.AddSeed(0, 0, 1);
    auto* map = new MyImage(side, side, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_INT32);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) map->data[y][x] = static_cast<float>(y * side + x);
    contour.region_map = map;
    contour.path = "tiny_regions.qvf";
    // Room for the tables of half the regions.
    contour.region_memory_limit = side * side * 200.0;
    messages.clear();
    EXPECT_FALSE(contour.ComputeRegions());
    ASSERT_EQ(messages.boxes().size(), 1u);
    EXPECT_EQ(messages.boxes()[0].text, "Not enough memory for " + std::to_string(side * side) +
                                            " regions of the region map tiny_regions.qvf");
    EXPECT_EQ(contour.region_count(), 0);
    EXPECT_EQ(contour.label_map, nullptr);
    contour.BuildGraph();
    contour.LocalGraphCut();
    EXPECT_EQ(contour.result, nullptr);
    contour.ReleaseRegions();
    contour.ReleaseRunData();

    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) map->data[y][x] = x < side / 2 ? 1.0f : 2.0f;
    EXPECT_TRUE(contour.ComputeRegions());
    EXPECT_EQ(contour.region_count(), 2);
    contour.ReleaseRegions();
    contour.ReleaseRunData();
}

TEST(LocalCutAgainstReference, SampleCases) {
    kalvio_test::MessageRecorder messages;
    const std::string folder = VARNEX_EXAMPLES;
    int compared = 0;
    for (const Sample s : {Sample{"coins.pgm", "coins"}, Sample{"coffee.ppm", "coffee"},
                           Sample{"coffee.bmp", "coffee"}, Sample{"brain_pd.bmp", "brain_pd"}}) {
        MyImage picture;
        ASSERT_NE(picture.ReadImage((folder + "/" + s.picture).c_str()), 0) << s.picture;
        Seeds object, background;
        read_seeds(folder + "/" + s.base + "_seeds.txt", object, background);
        const std::string map = folder + "/" + s.base + "_regions.bmp";
        for (float parameter : {10.0f, 0.5f, 100.0f}) {
            const Outcome fast = run_contour(picture, map, object, background, parameter);
            const Outcome ref = run_reference(picture, map, object, background, parameter);
            expect_same(fast, ref, std::string(s.picture) + " parameter " + std::to_string(parameter));
            EXPECT_GT(fast.cuts, 1);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 12);
    EXPECT_TRUE(messages.boxes().empty());
}

// Thousands of small regions whose colours crowd a few cells of the
// nearest-region grid: the searches go through many shells and cells.
TEST(LocalCutAgainstReference, CrowdedRegionColours) {
    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    const std::string folder = VARNEX_EXAMPLES;
    for (const Sample s : {Sample{"coffee.ppm", "coffee"}, Sample{"coins.pgm", "coins"}}) {
        MyImage picture;
        ASSERT_NE(picture.ReadImage((folder + "/" + s.picture).c_str()), 0) << s.picture;
        // 5 x 5 blocks, each its own colour.
        MyImage map(picture.height, picture.width, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x) {
                const int id = (y / 5) * (picture.width / 5 + 1) + x / 5 + 1;
                map.data[y][3 * x] = static_cast<float>(id & 0xFF);
                map.data[y][3 * x + 1] = static_cast<float>(id >> 8);
                map.data[y][3 * x + 2] = 7.0f;
            }
        const std::string path = dir.path("blocks.ppm");
        ASSERT_TRUE(map.WriteImage(path.c_str()));
        Seeds object, background;
        read_seeds(folder + "/" + s.base + "_seeds.txt", object, background);
        const Outcome fast = run_contour(picture, path, object, background, 10.0f);
        const Outcome ref = run_reference(picture, path, object, background, 10.0f);
        EXPECT_GT(fast.regions, 4000);
        expect_same(fast, ref, std::string(s.picture) + " in 5 x 5 blocks");
    }
    EXPECT_TRUE(messages.boxes().empty());
}
#endif

// Every pixel its own region, read from a 24-bit BMP: one-pixel histograms
// and the densest neighbour tables, grey and colour.
TEST(LocalCutAgainstReference, OneRegionPerPixel) {
    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    for (const char* name : {"coffee.ppm", "coins.pgm"}) {
        MyImage whole;
        ASSERT_NE(whole.ReadImage((std::string(VARNEX_EXAMPLES) + "/" + name).c_str()), 0) << name;
        const int width = 48, height = 36, channels = whole.color == 1 ? 3 : 1;
        MyImage picture(height, width, whole.color, whole.format, whole.datatype);
        CImage map(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                for (int c = 0; c < channels; ++c)
                    picture.data[y][channels * x + c] = whole.data[y + 40][channels * (x + 60) + c];
                const int id = y * width + x + 1;
                for (int c = 0; c < 3; ++c) map.data[y][3 * x + c] = static_cast<float>((id >> (8 * c)) & 0xFF);
            }
        const std::string path = dir.path("pixels.bmp");
        ASSERT_EQ(map.WriteImage(path.c_str()), 1);
        const Seeds object{{20, 15}, {21, 15}, {22, 16}}, background{{2, 2}, {45, 33}, {3, 30}};
        const Outcome fast = run_contour(picture, path, object, background, 10.0f);
        const Outcome ref = run_reference(picture, path, object, background, 10.0f);
        EXPECT_EQ(fast.regions, width * height);
        expect_same(fast, ref, std::string(name) + " one region per pixel");
    }
    EXPECT_TRUE(messages.boxes().empty());
}

// Region maps of a few colours that mostly continue the pixel to the left or
// above, so that regions come out irregular; pictures grey or colour, now and
// then constant, following the regions or not, sometimes outside 0..255.
TEST(LocalCutAgainstReference, RandomSmallCases) {
    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    std::mt19937 rng(20240611);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const float parameters[] = {0.0f, 0.5f, 1.0f, 3.0f, 10.0f, 37.5f, 100.0f, 1000.0f, 1e6f, -2.0f};
    const int kCases = 400;
    int with_cuts = 0;
    for (int n = 0; n < kCases; ++n) {
        const int rows = n % 10 == 0 ? uniform(1, 3) : uniform(4, 24);
        const int cols = n % 10 == 1 ? uniform(1, 3) : uniform(4, 24);
        const int colours = uniform(2, 5);
        const int keep = uniform(40, 90);  // percent
        std::vector<std::string> map(rows, std::string(cols, 'a'));
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                char c = static_cast<char>('a' + uniform(0, colours - 1));
                if (uniform(0, 99) < keep) {
                    if (x > 0 && (y == 0 || uniform(0, 1))) c = map[y][x - 1];
                    else if (y > 0) c = map[y - 1][x];
                }
                map[y][x] = c;
            }
        const std::string path = dir.path("map.ppm");
        write_map(path, map);

        const int colour = uniform(0, 1);
        // 0 constant; 1 wide range, halves; 2 constant inside a varied
        // border (no spread, yet different histograms); 3 fractions; else
        // following the regions, plus noise.
        const int style = uniform(0, 5);
        MyImage picture(rows, cols, colour, colour ? KALVIO_FORMAT_PPM : KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        const float level = static_cast<float>(uniform(0, 255));
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x)
                for (int k = 0; k < (colour ? 3 : 1); ++k) {
                    const bool border = y == 0 || x == 0 || y == rows - 1 || x == cols - 1;
                    float v = level;
                    if (style == 1 || (style == 2 && border))
                        v = static_cast<float>(uniform(-40, 300)) + (uniform(0, 1) ? 0.5f : 0.0f);
                    else if (style == 3) v = static_cast<float>(uniform(0, 2550)) / 7.0f;
                    else if (style > 3) v = static_cast<float>(((map[y][x] - 'a') * (60 + 20 * k) + uniform(0, 50)) % 256);
                    picture.data[y][colour ? 3 * x + k : x] = v;
                }

        Seeds object, background;
        const int n_object = uniform(0, 6), n_background = uniform(0, 6);
        for (int i = 0; i < n_object; ++i) object.push_back({uniform(0, cols - 1), uniform(0, rows - 1)});
        for (int i = 0; i < n_background; ++i) background.push_back({uniform(0, cols - 1), uniform(0, rows - 1)});
        const float parameter = parameters[uniform(0, 9)] * (uniform(0, 3) == 0 ? 1.37f : 1.0f);

        const Outcome fast = run_contour(picture, path, object, background, parameter);
        const Outcome ref = run_reference(picture, path, object, background, parameter);
        std::ostringstream what;
        what << "case " << n << ": " << rows << "x" << cols << (colour ? " colour" : " grey") << " style " << style
             << " parameter " << parameter;
        expect_same(fast, ref, what.str());
        if (fast.cuts > 1) ++with_cuts;
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_GT(with_cuts, kCases / 2);
    EXPECT_TRUE(messages.boxes().empty());
}

}  // namespace
