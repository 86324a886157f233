// The segmentation object up to the cut: seeds, reading the region map, and
// what the comparison with the reference segmentation does not reach.
#include <varnex/contour.h>
#include <varnex/segmentation_run.h>

#include <kalvio/formats.h>

#include "core_test_support.h"
#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace {

using core_test::write_map;

class RegionsTest : public testing::Test {
protected:
    // Reads the map at `map_path` for `picture` and divides it into regions.
    void divide(MyImage& picture, const std::string& map_path) {
        contour = std::make_unique<Contour>(&picture);
        ASSERT_TRUE(contour->LoadRegionMap(map_path));
        ASSERT_TRUE(contour->ComputeRegions());
    }
    void TearDown() override {
        if (contour) {
            contour->ReleaseRegions();
            contour->ReleaseRunData();
        }
    }

    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    std::unique_ptr<Contour> contour;
};

// Region maps drawn in colour, neighbour tables, histograms and means are
// compared with the reference segmentation in test_localcut.cpp; a grey map
// is not among its cases.
TEST_F(RegionsTest, GreyRegionMapIsDividedByValue) {
    CImage map(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    map.data[0][0] = map.data[0][1] = map.data[1][2] = 7;  // 7 7 0 / 0 0 7
    ASSERT_EQ(map.WriteImage(dir.path("grey.pgm").c_str()), 1);
    MyImage picture = core_test::grey_picture(2, 3, {0});
    ASSERT_NO_FATAL_FAILURE(divide(picture, dir.path("grey.pgm")));
    EXPECT_EQ(contour->region_count(), 4);
    const int expected[2][3] = {{1, 1, 2}, {3, 3, 4}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(contour->label_map[y][x], expected[y][x]) << x << "," << y;
}

// An 8-bit BMP map is divided by the colours of its table entries, not by
// the indices: two entries of one colour are one region, and an index
// beyond the table reads as black, like a black entry. The float reader's
// division of the same colours is the oracle.
TEST_F(RegionsTest, IndexedBitmapMapIsDividedByTableColours) {
    const int width = 5, height = 3;  // rows padded to 8 bytes
    const std::uint8_t table[4][3] = {{30, 20, 10}, {30, 20, 10}, {0, 0, 0}, {7, 7, 7}};  // blue, green, red
    const int index[height][width] = {{0, 1, 1, 2, 200}, {3, 3, 0, 2, 2}, {200, 3, 1, 0, 3}};
    std::vector<std::uint8_t> file(54 + 16 + 8 * height, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) file[at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, static_cast<std::uint32_t>(file.size()));
    put32(10, 54 + 16);
    put32(14, 40);
    put32(18, width);
    put32(22, height);
    file[26] = 1;
    file[28] = 8;
    put32(46, 4);
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c) file[54 + 4 * static_cast<std::size_t>(k) + static_cast<std::size_t>(c)] = table[k][c];
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            file[70 + 8 * static_cast<std::size_t>(height - 1 - y) + static_cast<std::size_t>(x)] =
                static_cast<std::uint8_t>(index[y][x]);
    const std::string bmp = dir.path("indexed.bmp");
    FILE* out = std::fopen(bmp.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), out), file.size());
    std::fclose(out);

    CImage colours(height, width, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                colours.data[y][3 * x + c] = index[y][x] < 4 ? table[index[y][x]][2 - c] : 0.0f;
    const std::string ppm = dir.path("indexed.ppm");
    ASSERT_EQ(colours.WriteImage(ppm.c_str()), 1);

    MyImage picture = core_test::grey_picture(height, width, {9});
    divide(picture, ppm);
    const int expected_count = contour->region_count();
    std::vector<int> expected;
    for (int y = 0; y < height; ++y) expected.insert(expected.end(), contour->label_map[y], contour->label_map[y] + width);
    contour->ReleaseRegions();
    contour->ReleaseRunData();
    auto expect_same_division = [&] {
        EXPECT_EQ(contour->region_map, nullptr) << "kept as its bytes";
        EXPECT_EQ(contour->region_count(), expected_count);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                EXPECT_EQ(contour->region_at(x, y), expected[static_cast<std::size_t>(y * width + x)]) << x << "," << y;
    };
    divide(picture, bmp);
    expect_same_division();
    // A session that paints nothing reads the map's rows into runs instead.
    contour->ReleaseRegions();
    contour->ReleaseRunData();
    SegmentationSession session(*contour, false);
    ASSERT_TRUE(contour->LoadRegionMap(bmp));
    ASSERT_TRUE(contour->ComputeRegions());
    expect_same_division();
}

// The order in which a region's pixels are listed decides its float means
// (where sums round) and which seed of a region counts first. The oracle is
// the plain depth-first fill: an explicit stack, neighbours left, right, up,
// down, each pushed as found. Three colours at random make large regions
// with holes and arms, touching every edge; both the bitmap reader's path
// and the float path are checked.
TEST_F(RegionsTest, PixelsAreListedInDepthFirstFillOrder) {
    const int width = 37, height = 23;
    std::uint32_t state = 12345;
    std::vector<int> colour(static_cast<std::size_t>(width * height));
    for (int& c : colour) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<int>((state >> 16) % 3);
    }
    std::vector<std::uint32_t> expected;
    std::vector<std::uint32_t> starts{0};
    std::vector<char> seen(colour.size(), 0);
    for (int at0 = 0; at0 < width * height; ++at0) {
        if (seen[static_cast<std::size_t>(at0)]) continue;
        std::vector<int> stack{at0};
        seen[static_cast<std::size_t>(at0)] = 1;
        expected.push_back(static_cast<std::uint32_t>(at0));
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            const int x = at % width, y = at / width;
            const int around[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
            for (const auto& n : around) {
                if (n[0] < 0 || n[0] >= width || n[1] < 0 || n[1] >= height) continue;
                const int next = n[1] * width + n[0];
                if (seen[static_cast<std::size_t>(next)] ||
                    colour[static_cast<std::size_t>(next)] != colour[static_cast<std::size_t>(at0)])
                    continue;
                seen[static_cast<std::size_t>(next)] = 1;
                expected.push_back(static_cast<std::uint32_t>(next));
                stack.push_back(next);
            }
        }
        starts.push_back(static_cast<std::uint32_t>(expected.size()));
    }
    CImage map(height, width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                map.data[y][3 * x + c] = 100.0f * static_cast<float>(colour[static_cast<std::size_t>(y * width + x)]);
    MyImage picture = core_test::grey_picture(height, width, {5});
    for (const char* name : {"order.bmp", "order.ppm"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(map.WriteImage(dir.path(name).c_str()), 1);
        ASSERT_NO_FATAL_FAILURE(divide(picture, dir.path(name)));
        const Contour::RegionPixels& regions = contour->regions;
        ASSERT_EQ(regions.GetCount(), static_cast<int>(starts.size()) - 1);
        for (int r = 1; r <= regions.GetCount(); ++r) {
            const std::vector<std::uint32_t> got(regions.pixels(r), regions.pixels(r) + regions.size(r));
            const std::vector<std::uint32_t> want(expected.begin() + starts[static_cast<std::size_t>(r) - 1],
                                                  expected.begin() + starts[static_cast<std::size_t>(r)]);
            ASSERT_EQ(got, want) << "region " << r;
        }
        contour->ReleaseRegions();
        contour->ReleaseRunData();
    }
}

TEST_F(RegionsTest, SamplesOutsideTheByteRangeGoToTheEndBins) {
    // A 16-bit picture: values below 0 count in the first bin, 256 and
    // above in the last; the means keep the true values.
    MyImage picture(1, 6, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    const float values[6] = {-5, -0.5f, 0.7f, 255.9f, 256, 40000};
    for (int x = 0; x < 6; ++x) picture.data[0][x] = values[x];
    write_map(dir.path("map.ppm"), {"aaaaaa"});
    ASSERT_NO_FATAL_FAILURE(divide(picture, dir.path("map.ppm")));
    EXPECT_FLOAT_EQ(contour->histograms.at(1, 1), 3.0f / 6);
    EXPECT_FLOAT_EQ(contour->histograms.at(1, 256), 3.0f / 6);
    EXPECT_EQ(contour->histograms.at(1, 257), 0.0f);
    float sum = 0;
    for (float v : values) sum += v;
    EXPECT_EQ(contour->mean0[0], sum / 6);

    // A not-a-number sample also lands in the first bin.
    picture.data[0][5] = std::numeric_limits<float>::quiet_NaN();
    contour->ReleaseRegions();
    contour->ReleaseRunData();
    ASSERT_TRUE(contour->ComputeRegions());
    EXPECT_FLOAT_EQ(contour->histograms.at(1, 1), 4.0f / 6);
    EXPECT_FLOAT_EQ(contour->histograms.at(1, 256), 2.0f / 6);
}

TEST(ContourSeeds, OnlyPointsInsideThePictureAreKept) {
    MyImage picture(3, 4, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);  // width 4, height 3
    Contour contour(&picture);
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

// A region map that cannot be read, or is not of the picture's size, is
// reported and stops the run with nothing cut; a map that fits, read
// afterwards, works again.
TEST_F(RegionsTest, UnusableRegionMapIsReportedAndStopsTheRun) {
    write_map(dir.path("small.ppm"), {"ab", "ab"});
    write_map(dir.path("fit.ppm"), {"abb", "abb"});
    for (const char* name : {"small", "fit"}) {
        CImage map;
        ASSERT_EQ(map.ReadImage(dir.path(std::string(name) + ".ppm").c_str()), 1);
        ASSERT_EQ(write_bmp_image(map.data, dir.path(std::string(name) + ".bmp").c_str(), map.nrows, map.ncols, map.color), 1);
    }
    const std::string cut_short = dir.path("cut_short.bmp");
    {
        std::FILE* in = std::fopen(dir.path("fit.bmp").c_str(), "rb");
        ASSERT_NE(in, nullptr);
        std::vector<char> bytes(60);
        ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), in), bytes.size());
        std::fclose(in);
        std::FILE* out = std::fopen(cut_short.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
    const std::string missing = dir.path("nothing_regions.bmp"), small = dir.path("small.ppm");
    const std::string small_bmp = dir.path("small.bmp");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {missing, {"CImage: Can't open file", "Can't open image " + missing + " \n(it might be a type problem)"}},
        {small, {"The region map " + small + " does not have the size of the picture"}},
        {small_bmp, {"The region map " + small_bmp + " does not have the size of the picture"}},
        {cut_short,
         {"Read error 2: truncated bitmap", "CImage: Can't read data",
          "Can't open image " + cut_short + " \n(it might be a type problem)"}},
    };
    MyImage picture = core_test::grey_picture(2, 3, {0});
    // A session reads BMP maps its own way: the answers are the same.
    for (const bool in_session : {false, true})
    for (const auto& [map, messages_shown] : cases) {
        SCOPED_TRACE(map + (in_session ? " in a session" : ""));
        Contour c(&picture);
        std::optional<SegmentationSession> session;
        if (in_session) session.emplace(c, false);
        c.AddSeed(0, 0, 1);
        c.AddSeed(2, 1, 2);
        messages.clear();
        EXPECT_FALSE(c.LoadRegionMap(map));
        EXPECT_EQ(c.path, map);
        EXPECT_EQ(messages.texts(), messages_shown);
        ASSERT_FALSE(messages.boxes().empty());
        EXPECT_EQ(messages.boxes().back().icon, kalvio::MessageIcon::Error);
        EXPECT_FALSE(c.ComputeRegions());
        EXPECT_EQ(c.region_count(), 0);
        c.BuildGraph();
        c.LocalGraphCut();
        EXPECT_EQ(c.result, nullptr);
        EXPECT_EQ(c.cut_count(), 0);
        c.ReleaseRegions();
        c.ReleaseRunData();

        for (const char* fit : {"fit.ppm", "fit.bmp"}) {
            EXPECT_TRUE(c.LoadRegionMap(dir.path(fit)));
            EXPECT_TRUE(c.ComputeRegions());
            EXPECT_EQ(c.region_count(), 2);
            c.ReleaseRegions();
        }
        c.ReleaseRegions();
        c.ReleaseRunData();
    }
}

}  // namespace

namespace {

// A session that paints nothing keeps no pixel lists. A BMP map is then
// divided by runs, its sums added up as integers where that is exact and
// in fill order again where not, its neighbour tables found from the runs,
// and regions of byte samples counted in batches from copies of their
// samples, the regions to be added up again are filled over the runs (or,
// when they are many, over a label map made from the runs); another map is
// filled through a ring of pixels that wraps many
// times, one region being larger than the ring. The map has that region,
// tiles enough for several batches, tall thin regions and blobs over all;
// grey and colour pictures, whole samples with a few that are not bytes
// and samples with fractions (whose float sums depend on the order they
// are added in) all go through. The tables must be bit for bit those of a
// division that lists every region's pixels.
TEST_F(RegionsTest, RegionsDividedWithoutPixelListsEqualThoseWithThem) {
    const int width = 1200, height = 640;
    std::vector<std::string> rows(height, std::string(width, 'a'));
    for (int y = 0; y < height; ++y)
        for (int x = 640; x < width; ++x) rows[y][x] = ((x / 24 + y / 20) % 2) ? 'h' : 'i';
    for (int x = 700; x < width; x += 97)
        for (int y = 100; y < 400; ++y) rows[y][x] = 'j';
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> x_of(0, width - 8), y_of(0, height - 8), letter(0, 5);
    for (int blob = 0; blob < 3000; ++blob) {
        const int x0 = x_of(rng), y0 = y_of(rng);
        const char c = static_cast<char>('b' + letter(rng));
        for (int y = y0; y < y0 + 1 + blob % 7; ++y)
            for (int x = x0; x < x0 + 1 + blob % 5; ++x) rows[y][x] = c;
    }
    write_map(dir.path("map.ppm"), rows);
    CImage map;
    ASSERT_EQ(map.ReadImage(dir.path("map.ppm").c_str()), 1);
    const std::string bmp = dir.path("map.bmp");
    ASSERT_EQ(write_bmp_image(map.data, bmp.c_str(), map.nrows, map.ncols, map.color), 1);
    std::uniform_real_distribution<float> sample(0.0f, 255.9f);

    struct Tables {
        std::vector<int> labels;
        std::vector<int> neighbour_starts, neighbours, lower_starts, lower;
        std::vector<std::uint32_t> sizes, starts;
        std::vector<std::uint16_t> bins;
        std::vector<float> values, means;
    };
    auto tables_of = [&](Contour& c) {
        Tables t;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) t.labels.push_back(c.region_at(x, y));
        t.neighbour_starts = c.neighbours.start;
        t.neighbours = c.neighbours.region;
        t.lower_starts = c.lower_neighbours.start;
        t.lower = c.lower_neighbours.region;
        t.sizes = c.regions.start;
        t.starts = c.histograms.start;
        t.bins = c.histograms.bin;
        t.values = c.histograms.value;
        for (float* mean : {c.mean0, c.mean1, c.mean2}) t.means.insert(t.means.end(), mean, mean + c.region_count());
        return t;
    };
    // Samples with fractions; whole samples with a few that are not bytes;
    // bytes only, also read from a block of bytes in place of the floats.
    enum Samples { kFractions, kWhole, kBytes };
    for (const int colour : {1, 0}) {
        for (const Samples samples : {kFractions, kWhole, kBytes}) {
            for (const std::string& map_path : {bmp, dir.path("map.ppm")}) {
                SCOPED_TRACE(map_path + (colour ? ", colour" : ", grey") +
                             (samples == kFractions ? ", samples with fractions"
                                                    : samples == kWhole ? ", whole samples" : ", bytes"));
                MyImage picture(height, width, colour, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
                const int per_row = colour ? 3 * width : width;
                // Whole samples are small on the left, so that the large
                // region's sum is exact and only regions with odd samples are
                // added up again; bytes are not, so that its sum is added up
                // again.
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < per_row; ++x)
                        picture.data[y][x] = samples == kFractions ? sample(rng)
                                             : samples == kBytes   ? std::floor(sample(rng))
                                                                   : std::floor(sample(rng) / (x < per_row / 2 ? 8.0f : 1.0f));
                // Samples with fractions in the last columns and a few that
                // are no bytes elsewhere, in regions among whole ones.
                if (samples == kWhole) {
                    for (int y = 0; y < height; ++y)
                        for (int x = per_row - (colour ? 240 : 80); x < per_row; ++x) picture.data[y][x] = sample(rng);
                    for (const float odd : {256.0f, -1.0f, 1000.5f, 3.25f})
                        picture.data[height / 2 + 3][per_row - 2 - static_cast<int>(odd)] = odd;
                }
                divide(picture, map_path);
                ASSERT_TRUE(contour->regions.listed());
                const Tables listed = tables_of(*contour);
                std::uint32_t largest = 0;
                for (int r = 1; r <= contour->region_count(); ++r)
                    largest = std::max<std::uint32_t>(largest, static_cast<std::uint32_t>(contour->regions.size(r)));
                ASSERT_GT(largest, 1u << 18) << "one region outgrows the ring";
                contour->ReleaseRegions();
                contour->ReleaseRunData();

                // The same picture as bytes, with a picture of its size only.
                std::vector<std::uint8_t> bytes;
                MyImage size_only;
                size_only.nrows = height;
                size_only.ncols = width;
                size_only.color = colour;
                size_only.datatype = KALVIO_TYPE_UINT8;
                size_only.SetWindow();
                for (int y = 0; y < height && samples == kBytes; ++y)
                    bytes.insert(bytes.end(), picture.data[y], picture.data[y] + per_row);

                std::vector<int> marks[2];
                float weights[2] = {};
                for (const bool from_bytes : {false, true}) {
                    if (from_bytes && samples != kBytes) continue;
                    SCOPED_TRACE(from_bytes ? "from bytes" : "from floats");
                    // A bitmap read before the session began is cut into runs
                    // when divided.
                    const bool read_before = map_path == bmp && samples == kWhole;
                    Contour unlisted(from_bytes ? &size_only : &picture);
                    if (from_bytes) unlisted.picture_bytes = bytes.data();
                    if (read_before) {
                        ASSERT_TRUE(unlisted.LoadRegionMap(map_path));
                    }
                    SegmentationSession session(unlisted, false);
                    if (samples == kBytes) {
                        ASSERT_TRUE(session.LoadRegionMap(map_path));
                    } else if (!read_before) {
                        ASSERT_TRUE(unlisted.LoadRegionMap(map_path));
                    }
                    // Bytes are cut too, which also reads the picture's mean
                    // and variance, and written.
                    if (samples == kBytes) {
                        for (int k = 0; k < 40; ++k) {
                            unlisted.AddSeed(30 + 7 * k, 50 + 11 * k, 1);
                            unlisted.AddSeed(700 + 12 * k, 20 + 13 * k, 2);
                        }
                        ASSERT_TRUE(session.Cut());
                    } else {
                        ASSERT_TRUE(unlisted.ComputeRegions());
                    }
                    EXPECT_FALSE(unlisted.regions.listed());
                    const Tables ring = tables_of(unlisted);
                    EXPECT_EQ(ring.labels, listed.labels);
                    EXPECT_EQ(ring.sizes, listed.sizes);
                    EXPECT_EQ(ring.neighbour_starts, listed.neighbour_starts);
                    EXPECT_EQ(ring.neighbours, listed.neighbours);
                    EXPECT_EQ(ring.lower_starts, listed.lower_starts);
                    EXPECT_EQ(ring.lower, listed.lower);
                    EXPECT_EQ(ring.starts, listed.starts);
                    EXPECT_EQ(ring.bins, listed.bins);
                    ASSERT_EQ(ring.values.size(), listed.values.size());
                    EXPECT_EQ(std::memcmp(ring.values.data(), listed.values.data(), ring.values.size() * sizeof(float)), 0);
                    ASSERT_EQ(ring.means.size(), listed.means.size());
                    EXPECT_EQ(std::memcmp(ring.means.data(), listed.means.data(), ring.means.size() * sizeof(float)), 0);
                    if (samples != kBytes) continue;
                    marks[from_bytes].assign(unlisted.marks + 1, unlisted.marks + 1 + unlisted.region_count());
                    weights[from_bytes] = unlisted.weight;  // from the picture's variance
                    const std::string result = dir.path(from_bytes ? "from_bytes.bmp" : "from_floats.bmp");
                    ASSERT_TRUE(session.WriteResult(result));
                }
                if (samples == kBytes) {
                    EXPECT_EQ(marks[1], marks[0]);
                    EXPECT_EQ(std::memcmp(&weights[1], &weights[0], sizeof(float)), 0);
                    EXPECT_NE(std::count(marks[0].begin(), marks[0].end(), 1), 0);
                    EXPECT_NE(std::count(marks[0].begin(), marks[0].end(), -1), 0);
                    EXPECT_EQ(dir.get(dir.path("from_bytes.bmp")), dir.get(dir.path("from_floats.bmp")));
                }
            }
        }
    }
}

}  // namespace
