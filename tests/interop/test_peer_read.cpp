// Files written by Pillow, ImageMagick and netpbm (tests/data/peer, made by
// make_fixtures.py) read with CImage::ReadImage: every pixel must be the one
// the peer itself decodes.
#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "message_recorder.h"

namespace fs = std::filesystem;

namespace {

// NAME.expected: "rows cols channels", then the samples row by row.
struct Expected {
    int rows = 0, cols = 0, channels = 0;
    std::vector<long> samples;

    // Channel `ch` (0 red, 1 green, 2 blue) of pixel (r, c); a grey file
    // has the same value in all three.
    long at(int r, int c, int ch) const {
        return samples[static_cast<std::size_t>((r * cols + c) * channels + (channels == 3 ? ch : 0))];
    }
    bool grey() const {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                if (at(r, c, 0) != at(r, c, 1) || at(r, c, 1) != at(r, c, 2)) return false;
        return true;
    }
    long largest() const { return *std::max_element(samples.begin(), samples.end()); }
};

Expected load_expected(const fs::path& path) {
    std::ifstream in(path);
    Expected e;
    in >> e.rows >> e.cols >> e.channels;
    for (long v; in >> v;) e.samples.push_back(v);
    return e;
}

// Mismatches between `data` (one float a pixel for color 0, else three) and
// the expected samples: up to five as "(row, col) channel: want W, got G",
// then a count. Empty when all match.
std::string differences(float** data, int color, const Expected& want) {
    std::ostringstream out;
    int count = 0;
    for (int r = 0; r < want.rows; ++r)
        for (int c = 0; c < want.cols; ++c)
            for (int ch = 0; ch < 3; ++ch) {
                const float got = color == 0 ? data[r][c] : data[r][3 * c + ch];
                if (got == static_cast<float>(want.at(r, c, ch))) continue;
                if (++count <= 5)
                    out << "(" << r << ", " << c << ") channel " << ch << ": want "
                        << want.at(r, c, ch) << ", got " << got << "\n";
            }
    if (count > 5) out << "... " << count << " mismatches in all\n";
    return out.str();
}

std::string joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const auto& t : texts) all += "[" + t + "] ";
    return all;
}

// Stems of the fixtures: every NAME.expected beside its picture file.
std::vector<std::string> fixture_names() {
    std::vector<std::string> names;
    std::error_code error;  // a missing folder gives no names; AreAllThere fails
    for (const auto& entry : fs::directory_iterator(KALVIO_PEER_DATA, error))
        if (entry.path().extension() == ".expected") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

fs::path picture(const std::string& name) {
    for (const char* ext : {".pgm", ".ppm", ".bmp"}) {
        fs::path p = fs::path(KALVIO_PEER_DATA) / (name + ext);
        if (fs::exists(p)) return p;
    }
    return {};
}

class PeerFile : public testing::TestWithParam<std::string> {};

TEST(PeerFiles, AreAllThere) {
    // A folder lost or emptied would otherwise pass as zero tests.
    EXPECT_GE(fixture_names().size(), 30u);
    for (const auto& name : fixture_names()) EXPECT_FALSE(picture(name).empty()) << name;
}

TEST_P(PeerFile, ReadsEveryPixel) {
    const fs::path path = picture(GetParam());
    ASSERT_FALSE(path.empty());
    const Expected want = load_expected(fs::path(KALVIO_PEER_DATA) / (GetParam() + ".expected"));
    const std::string ext = path.extension().string();
    const int want_color = ext == ".pgm" ? 0 : ext == ".ppm" ? 1 : want.grey() ? 0 : 1;
    const int want_type = want.largest() > 255 ? KALVIO_TYPE_INT16 : KALVIO_TYPE_UINT8;
    const int want_format = ext == ".pgm"   ? KALVIO_FORMAT_PGM
                            : ext == ".ppm" ? KALVIO_FORMAT_PPM
                                            : KALVIO_FORMAT_BMP;
    kalvio_test::MessageRecorder messages;

    // CImage::ReadImage reads through the free readers (read_pgm_image,
    // read_ppm_image, read_bmp_image).
    CImage image;
    ASSERT_EQ(image.ReadImage(path.c_str()), 1) << joined(messages.texts());
    EXPECT_EQ(std::vector<int>({image.nrows, image.ncols, image.color, image.format, image.datatype}),
              std::vector<int>({want.rows, want.cols, want_color, want_format, want_type}))
        << "rows, cols, color, format, datatype: 1 channel for an all-grey picture, else 3";
    if (image.nrows == want.rows && image.ncols == want.cols && image.color == want_color) {
        EXPECT_EQ(differences(image.data, image.color, want), "");
    }
    EXPECT_EQ(joined(messages.texts()), "") << "no message boxes while reading good files";
}

std::string test_name(const testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Fixtures, PeerFile, testing::ValuesIn(fixture_names()), test_name);

// Hand-made hostile files (tests/data/corrupt, made by make_fixtures.py),
// each named after what it breaks: one message from the bitmap reader, no
// crash and no huge allocation, and the image being read into keeps its
// pixels.
TEST(CorruptFiles, AreRefusedWithOneMessageAndChangeNothing) {
    const std::string invalid = "Invalid bitmap file", truncated = "Read error 2: truncated bitmap";
    const std::map<std::string, std::string> refusals = {
        {"rle8-run-past-row.bmp", invalid},
        {"rle8-absolute-past-row.bmp", invalid},
        {"rle4-run-past-row.bmp", invalid},
        {"rle8-delta-past-row.bmp", invalid},
        {"rle8-delta-above-top-row.bmp", invalid},
        {"rle8-ends-before-end-of-bitmap.bmp", truncated},
        {"rle8-top-down.bmp", invalid},
        {"rle4-on-8-bit-pixels.bmp", invalid},
        {"rle8-huge-blank.bmp", truncated},
    };
    std::size_t found = 0;
    for (const auto& entry : fs::directory_iterator(KALVIO_CORRUPT_DATA)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const auto refusal = refusals.find(name);
        ASSERT_NE(refusal, refusals.end()) << "a file without its expected message";
        ++found;
        kalvio_test::MessageRecorder messages;
        int rows = -1, cols = -1, color = -1;
        float** data = read_bmp_image(entry.path().c_str(), &rows, &cols, &color);
        EXPECT_EQ(data, nullptr);
        free_2D_float_array(data);
        EXPECT_EQ(messages.texts(), std::vector<std::string>{refusal->second});

        messages.clear();
        CImage image(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        image.data[1][2] = 7.0f;
        EXPECT_EQ(image.ReadImage(entry.path().c_str()), 0);
        EXPECT_EQ(messages.texts(),
                  (std::vector<std::string>{refusal->second, "CImage: Can't read data"}));
        EXPECT_EQ(std::vector<int>({image.nrows, image.ncols, image.color, image.format}),
                  std::vector<int>({2, 3, 0, KALVIO_FORMAT_PGM}));
        ASSERT_NE(image.data, nullptr);
        EXPECT_EQ(image.data[1][2], 7.0f);
    }
    EXPECT_EQ(found, refusals.size());
}

}  // namespace
