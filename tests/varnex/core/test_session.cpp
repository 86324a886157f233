// A session's cuts against fresh runs: random strokes on the sample
// pictures, taking strokes back, and changing the parameter or the grey
// levels between cuts.
#include <varnex/contour.h>
#include <varnex/segmentation_run.h>

#include <kalvio/message.h>

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

struct Seed {
    int x, y, kind;
};

struct Cut {
    std::vector<int> marks;
    std::vector<float> result;
    int cuts = 0;
    std::vector<Contour::RingDistances> distances;  // per region, from a fresh session's cut
};

std::vector<Contour::RingDistances> distances_of(const Contour& contour) {
    std::vector<Contour::RingDistances> out;
    for (int r = 1; r <= contour.region_count(); ++r) out.push_back(contour.ring_distances_of(r));
    return out;
}

std::vector<float> pixels_of(const MyImage* image) {
    std::vector<float> out;
    if (!image) return out;
    for (int y = 0; y < image->height; ++y) out.insert(out.end(), image->data[y], image->data[y] + 3 * image->width);
    return out;
}

void add_seeds(Contour& contour, const std::vector<Seed>& seeds) {
    contour.object_seeds.RemoveAll();
    contour.background_seeds.RemoveAll();
    for (const Seed& s : seeds) contour.AddSeed(s.x, s.y, s.kind);
}

Cut fresh_run(MyImage& picture, const std::string& map, const std::vector<Seed>& seeds, float parameter,
              const varnex::GreyTable& levels = {}) {
    Contour contour(&picture);
    contour.parameter = parameter;
    contour.result_levels = levels;
    add_seeds(contour, seeds);
    SegmentationRun run(contour, map);
    Cut out;
    if (!run.ok()) return out;
    out.marks.assign(contour.marks, contour.marks + contour.region_count() + 1);
    out.result = pixels_of(contour.result);
    out.cuts = contour.cut_count();
    // A session's first cut runs the whole loop: the distances every later
    // cut of a session must agree on, also where they move no label.
    Contour first(&picture);
    first.parameter = parameter;
    add_seeds(first, seeds);
    SegmentationSession session(first, false);
    if (session.LoadRegionMap(map) && session.Cut()) out.distances = distances_of(first);
    return out;
}

void expect_same(const Contour& contour, const SegmentationSession& session, const Cut& fresh, const std::string& what) {
    ASSERT_TRUE(session.ok()) << what;
    const std::vector<int> marks(contour.marks, contour.marks + contour.region_count() + 1);
    EXPECT_EQ(marks, fresh.marks) << what;
    EXPECT_EQ(contour.cut_count(), fresh.cuts) << what;
    EXPECT_TRUE(distances_of(contour) == fresh.distances) << what << ": distances differ";
    if (!contour.regions.listed()) return;  // a session that paints nothing
    EXPECT_TRUE(pixels_of(contour.result) == fresh.result) << what << ": result pixels differ";
    // The mask holds exactly the pixels of the object regions.
    const std::uint8_t* mask = session.object_mask();
    ASSERT_NE(mask, nullptr);
    long object = 0;
    for (int r = 1; r <= contour.region_count(); ++r)
        if (contour.marks[r] == 1) object += static_cast<int>(contour.regions.size(r));
    long masked = 0;
    for (long i = 0; i < static_cast<long>(contour.image->width) * contour.image->height; ++i) masked += mask[i] == 255;
    EXPECT_EQ(masked, object) << what;
}

// A stroke of 7 x 7 brush stamps along a random straight line.
std::vector<Seed> random_stroke(std::mt19937& rng, int width, int height) {
    std::uniform_int_distribution<int> x(0, width - 1), y(0, height - 1), kind(1, 2), length(1, 40);
    const int x0 = x(rng), y0 = y(rng), k = kind(rng), steps = length(rng);
    std::uniform_int_distribution<int> step(-1, 1);
    const int dx = step(rng), dy = step(rng);
    std::vector<Seed> stroke;
    for (int i = 0; i < steps; ++i)
        for (int a = -3; a <= 3; ++a)
            for (int b = -3; b <= 3; ++b) stroke.push_back({x0 + i * dx + a, y0 + i * dy + b, k});
    return stroke;
}

// Fills `picture` from sample(x, y, channel) and writes a region map of its
// size to `map_path`, pixel (x, y) in region(x, y) (below 2^24), the region
// first for each pixel.
template <typename Region, typename Sample>
bool make_case(MyImage& picture, const std::string& map_path, Region region, Sample sample) {
    const int channels = picture.color == 1 ? 3 : 1;
    MyImage map(picture.height, picture.width, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const int cell = region(x, y);
            for (int c = 0; c < 3; ++c) map.data[y][3 * x + c] = static_cast<float>((cell >> (8 * c)) & 0xFF);
            for (int c = 0; c < channels; ++c) picture.data[y][channels * x + c] = sample(x, y, c, cell);
        }
    return map.WriteImage(map_path.c_str());
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        kalvio::set_message_handler([](const std::string&, kalvio::MessageButtons, kalvio::MessageIcon) { return IDOK; });
    }
    void TearDown() override { kalvio::set_message_handler(nullptr); }
};

// 100 cuts in all: strokes added one at a time, each cut of the session
// equal to a fresh run with every stroke so far. The colour sample's
// session paints nothing, so it keeps no pixel lists and finds seeded
// regions' fill order by filling them again.
TEST_F(SessionTest, EveryCutEqualsAFreshRunWithAllStrokes) {
    const std::pair<const char*, const char*> samples[] = {
        {"coins.pgm", "coins_regions.bmp"}, {"coffee.ppm", "coffee_regions.bmp"}, {"brain_pd.bmp", "brain_pd_regions.bmp"}};
    std::mt19937 rng(2026);
    int cases = 0;
    for (const auto& [name, map_name] : samples) {
        const std::string path = std::string(VARNEX_EXAMPLES) + "/" + name;
        const std::string map = std::string(VARNEX_EXAMPLES) + "/" + map_name;
        MyImage picture;
        ASSERT_TRUE(picture.ReadImage(path.c_str())) << path;
        Contour contour(&picture);
        const bool painted = picture.color == 0;
        SegmentationSession session(contour, painted);
        ASSERT_TRUE(session.LoadRegionMap(map));
        std::vector<Seed> seeds;
        const int strokes = cases == 0 ? 34 : 33;
        for (int i = 0; i < strokes; ++i, ++cases) {
            const std::vector<Seed> stroke = random_stroke(rng, picture.width, picture.height);
            seeds.insert(seeds.end(), stroke.begin(), stroke.end());
            add_seeds(contour, seeds);
            ASSERT_TRUE(session.Cut());
            EXPECT_EQ(session.seconds_regions > 0.0, i == 0) << "regions are divided once per map";
            EXPECT_EQ(contour.regions.listed(), painted);
            expect_same(contour, session, fresh_run(picture, map, seeds, contour.parameter),
                        std::string(name) + " stroke " + std::to_string(i));
        }
    }
    EXPECT_EQ(cases, 100);
}

// Pictures of a few quantised colours or grey levels over maps of small
// irregular regions: many regions lie at the same distance from several
// labelled ones, and strokes turn whole areas over. Strokes are added and
// now and then taken back; every cut equals a fresh run.
TEST_F(SessionTest, CutsAmongTiedDistancesEqualFreshRuns) {
    kalvio_test::TempDir dir;
    std::mt19937 rng(77);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int colour = 0; colour <= 1; ++colour) {
        const int width = 96, height = 80;
        MyImage picture(height, width, colour, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
        const std::string path = dir.path("cells.ppm");
        ASSERT_TRUE(make_case(
            picture, path,
            // Regions: 3 x 3 cells, most continuing the cell to the left.
            [&](int x, int y) { return (y / 3) * 64 + (x / 3 > 0 && uniform(0, 2) ? x / 3 - 1 : x / 3); },
            // One of four levels per region, so that region means tie exactly.
            [](int, int, int c, int cell) {
                return static_cast<float>(((static_cast<unsigned>(cell) * 2654435761u) >> (11 + 4 * c)) % 4 * 60);
            }));
        Contour contour(&picture);
        SegmentationSession session(contour);
        ASSERT_TRUE(session.LoadRegionMap(path));
        std::vector<std::vector<Seed>> strokes;
        for (int i = 0; i < 24; ++i) {
            if (strokes.size() > 1 && uniform(0, 4) == 0) strokes.pop_back();
            else strokes.push_back(random_stroke(rng, width, height));
            std::vector<Seed> seeds;
            for (const std::vector<Seed>& stroke : strokes) seeds.insert(seeds.end(), stroke.begin(), stroke.end());
            add_seeds(contour, seeds);
            ASSERT_TRUE(session.Cut());
            expect_same(contour, session, fresh_run(picture, path, seeds, contour.parameter),
                        std::string(colour ? "colour" : "grey") + " cut " + std::to_string(i));
        }
    }
}

// A large map of small regions seeded in a corner: the cuts grow through
// some fifty levels, so that strokes far out change the levels and the
// distances of thousands of regions deep in the loop. Colour and grey.
TEST_F(SessionTest, CutsOverManyLevelsEqualFreshRuns) {
    kalvio_test::TempDir dir;
    std::mt19937 rng(31);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int colour = 0; colour <= 1; ++colour) {
        const int width = 300, height = 240;
        MyImage picture(height, width, colour, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
        const std::string path = dir.path("ramps.ppm");
        ASSERT_TRUE(make_case(
            picture, path, [&](int x, int y) { return (y / 4) * (width / 4) + x / 4; },
            // Smooth ramps with noise: nearest regions of every level.
            [&](int x, int y, int c, int) {
                return static_cast<float>(std::clamp((x * (c + 1) + y * (3 - c)) / 4 % 256 + uniform(-12, 12), 0, 255));
            }));
        Contour contour(&picture);
        SegmentationSession session(contour);
        ASSERT_TRUE(session.LoadRegionMap(path));
        std::vector<Seed> seeds;
        for (int i = 0; i < 20; ++i) {
            // The first strokes in the top left corner, later ones anywhere.
            const int x0 = i < 2 ? 10 + 20 * i : uniform(0, width - 30), y0 = i < 2 ? 10 : uniform(0, height - 8);
            for (int step = 0; step < 20; ++step)
                for (int a = -3; a <= 3; ++a)
                    for (int b = -3; b <= 3; ++b) seeds.push_back({x0 + step + a, y0 + b, 1 + i % 2});
            add_seeds(contour, seeds);
            ASSERT_TRUE(session.Cut());
            if (i == 1) {
                EXPECT_GT(contour.cut_count(), 40) << "the first cuts grow through many levels";
            }
            expect_same(contour, session, fresh_run(picture, path, seeds, contour.parameter),
                        std::string(colour ? "colour" : "grey") + " stroke " + std::to_string(i));
        }
    }
}

// Seeds painted over seeds: background over object wins whichever came
// first, a region takes the kind of its first seeded pixel in fill order,
// and lists of the same length with other points are not taken for grown.
TEST_F(SessionTest, SeedsPaintedOverSeedsEqualFreshRuns) {
    const std::string path = std::string(VARNEX_EXAMPLES) + "/coins.pgm";
    const std::string map = std::string(VARNEX_EXAMPLES) + "/coins_regions.bmp";
    MyImage picture;
    ASSERT_TRUE(picture.ReadImage(path.c_str()));
    Contour contour(&picture);
    SegmentationSession session(contour);
    ASSERT_TRUE(session.LoadRegionMap(map));
    auto block = [](int x0, int y0, int size, int kind) {
        std::vector<Seed> seeds;
        for (int y = y0; y < y0 + size; ++y)
            for (int x = x0; x < x0 + size; ++x) seeds.push_back({x, y, kind});
        return seeds;
    };
    const std::vector<std::vector<Seed>> steps = {
        block(60, 60, 20, 1), block(5, 5, 6, 2),  // object and background
        block(70, 70, 20, 2),                     // background over part of the object
        block(60, 60, 12, 1),                     // object again over both
        block(200, 150, 8, 1)};
    std::vector<Seed> seeds;
    auto cut = [&](const std::string& what) {
        add_seeds(contour, seeds);
        ASSERT_TRUE(session.Cut());
        expect_same(contour, session, fresh_run(picture, map, seeds, contour.parameter), what);
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        seeds.insert(seeds.end(), steps[i].begin(), steps[i].end());
        cut("step " + std::to_string(i));
    }
    for (Seed& seed : seeds) seed.x = (seed.x + 37) % picture.width;
    cut("as many seeds at other places");
}

// Taking strokes back and putting them again, and a new parameter, give the
// cuts of those seeds exactly.
TEST_F(SessionTest, UndoRedoAndParameterChangesReturnToIdenticalStates) {
    const std::string path = std::string(VARNEX_EXAMPLES) + "/coffee.ppm";
    const std::string map = std::string(VARNEX_EXAMPLES) + "/coffee_regions.bmp";
    MyImage picture;
    ASSERT_TRUE(picture.ReadImage(path.c_str()));
    Contour contour(&picture);
    SegmentationSession session(contour);
    ASSERT_TRUE(session.LoadRegionMap(map));
    std::mt19937 rng(7);
    std::vector<std::vector<Seed>> states(1);
    for (int i = 0; i < 6; ++i) {
        std::vector<Seed> next = states.back();
        const std::vector<Seed> stroke = random_stroke(rng, picture.width, picture.height);
        next.insert(next.end(), stroke.begin(), stroke.end());
        states.push_back(next);
    }
    std::vector<Cut> cuts;
    for (const std::vector<Seed>& state : states) {
        add_seeds(contour, state);
        ASSERT_TRUE(session.Cut());
        cuts.push_back({std::vector<int>(contour.marks, contour.marks + contour.region_count() + 1),
                        pixels_of(contour.result), contour.cut_count(), distances_of(contour)});
    }
    // Undo to the start and redo to the end, in steps of one and of three.
    const int order[] = {5, 4, 3, 0, 3, 6, 2, 6};
    for (int state : order) {
        add_seeds(contour, states[static_cast<std::size_t>(state)]);
        ASSERT_TRUE(session.Cut());
        expect_same(contour, session, cuts[static_cast<std::size_t>(state)], "state " + std::to_string(state));
        const SegmentationSession::Box box = session.changed();
        EXPECT_TRUE(box.empty() || (box.x0 >= 0 && box.y0 >= 0 && box.x1 <= picture.width && box.y1 <= picture.height));
    }
    // The same seeds again change nothing on screen.
    ASSERT_TRUE(session.Cut());
    EXPECT_TRUE(session.changed().empty());
    for (float parameter : {0.0f, 3.5f, 2000.0f, 10.0f}) {
        contour.parameter = parameter;
        ASSERT_TRUE(session.Cut());
        expect_same(contour, session, fresh_run(picture, map, states.back(), parameter),
                    "parameter " + std::to_string(parameter));
    }
}

// A wide grey picture's object is shown through its display levels; new
// levels repaint the whole result.
TEST_F(SessionTest, NewDisplayLevelsRepaintTheResult) {
    const std::string map = std::string(VARNEX_EXAMPLES) + "/coins_regions.bmp";
    MyImage coins;
    ASSERT_TRUE(coins.ReadImage((std::string(VARNEX_EXAMPLES) + "/coins.pgm").c_str()));
    MyImage picture(coins.height, coins.width, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    for (int y = 0; y < coins.height; ++y)
        for (int x = 0; x < coins.width; ++x) picture.data[y][x] = coins.data[y][x] * 4;
    std::vector<int> lut(1024);
    for (int i = 0; i < 1024; ++i) lut[static_cast<std::size_t>(i)] = i / 4;
    varnex::GreyTable levels{lut.data(), 1024, 0.0f, 1.0f};
    Contour contour(&picture);
    contour.result_levels = levels;
    SegmentationSession session(contour);
    ASSERT_TRUE(session.LoadRegionMap(map));
    std::mt19937 rng(3);
    std::vector<Seed> seeds = random_stroke(rng, picture.width, picture.height);
    for (Seed& s : seeds) s.kind = 1;
    const std::vector<Seed> more = random_stroke(rng, picture.width, picture.height);
    for (const Seed& s : more) seeds.push_back({s.x, s.y, 2});
    add_seeds(contour, seeds);
    ASSERT_TRUE(session.Cut());
    for (int i = 0; i < 1024; ++i) lut[static_cast<std::size_t>(i)] = 255 - i / 4;
    ASSERT_TRUE(session.Cut());
    const SegmentationSession::Box box = session.changed();
    EXPECT_EQ(box.x1 - box.x0, picture.width);
    EXPECT_EQ(box.y1 - box.y0, picture.height);
    expect_same(contour, session, fresh_run(picture, map, seeds, contour.parameter, levels), "new levels");
}

// The file a session writes from its marks is the one its result picture
// makes, with and without a painted result, for a colour picture and for
// a 16-bit grey one shown through display levels.
TEST_F(SessionTest, WrittenResultIsTheResultPicturesFile) {
    kalvio_test::TempDir dir;
    MyImage coffee, coins;
    ASSERT_TRUE(coffee.ReadImage((std::string(VARNEX_EXAMPLES) + "/coffee.ppm").c_str()));
    ASSERT_TRUE(coins.ReadImage((std::string(VARNEX_EXAMPLES) + "/coins.pgm").c_str()));
    MyImage deep(coins.height, coins.width, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    for (int y = 0; y < coins.height; ++y)
        for (int x = 0; x < coins.width; ++x) deep.data[y][x] = coins.data[y][x] * 4;
    std::vector<int> lut(1024);
    for (int i = 0; i < 1024; ++i) lut[static_cast<std::size_t>(i)] = 255 - i / 4;
    const varnex::GreyTable levels{lut.data(), 1024, 0.0f, 1.0f};
    auto read_all = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::pair<MyImage*, const char*> cases[] = {{&coffee, "coffee_regions.bmp"}, {&deep, "coins_regions.bmp"}};
    for (const auto& [picture, map_name] : cases) {
        const std::string map = std::string(VARNEX_EXAMPLES) + "/" + map_name;
        std::mt19937 rng(5);
        std::vector<Seed> seeds = random_stroke(rng, picture->width, picture->height);
        const std::vector<Seed> more = random_stroke(rng, picture->width, picture->height);
        for (Seed& s : seeds) s.kind = 1;
        for (const Seed& s : more) seeds.push_back({s.x, s.y, 2});
        std::vector<std::vector<char>> files;
        for (bool painted : {true, false}) {
            Contour contour(picture);
            contour.result_levels = picture == &deep ? levels : varnex::GreyTable{};
            add_seeds(contour, seeds);
            SegmentationSession session(contour, painted);
            ASSERT_TRUE(session.LoadRegionMap(map));
            ASSERT_TRUE(session.Cut());
            EXPECT_EQ(contour.result != nullptr, painted);
            const std::string written = dir.path(painted ? "painted.bmp" : "unpainted.bmp");
            ASSERT_TRUE(session.WriteResult(written));
            files.push_back(read_all(written));
            if (painted) {
                ASSERT_EQ(contour.result->WriteImage(dir.path("picture.bmp").c_str()), 1);
                files.push_back(read_all(dir.path("picture.bmp")));
            }
        }
        ASSERT_FALSE(files[0].empty());
        EXPECT_EQ(files[0], files[1]) << map_name;
        EXPECT_EQ(files[2], files[1]) << map_name;
    }
}

}  // namespace
