// The sample pictures in examples/ (written by Pillow) read with
// CImage::ReadImage and written back with WriteImage in their own format.
// PGM and PPM must come back byte for byte; BMP must keep its pixel bytes
// (padding included) and every header field except those Kalvio's writer
// fills in itself.
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "message_recorder.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, &b[at], 4);
    return v;
}
std::uint16_t u16(const Bytes& b, std::size_t at) {
    std::uint16_t v = 0;
    if (at + 2 <= b.size()) std::memcpy(&v, &b[at], 2);
    return v;
}

// The first offset where two files differ, or "" when they are equal.
std::string first_difference(const Bytes& a, const Bytes& b) {
    if (a == b) return "";
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    std::ostringstream out;
    out << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i;
    return out.str();
}

// Header fields of a BMP file by name (the 14-byte file header, then the
// 40-byte information header), the colour table as blue-green-red triples,
// and the pixel bytes.
struct Bitmap {
    std::vector<std::pair<std::string, std::uint32_t>> fields;
    Bytes table_bgr;
    Bytes pixels;
    std::uint32_t field(const std::string& name) const {
        for (const auto& [n, v] : fields)
            if (n == name) return v;
        return 0;
    }
};

Bitmap parse(const Bytes& b) {
    Bitmap bmp;
    bmp.fields = {{"signature", u16(b, 0)},    {"file size", u32(b, 2)},   {"reserved", u32(b, 6)},
                  {"offset", u32(b, 10)},       {"header size", u32(b, 14)}, {"width", u32(b, 18)},
                  {"height", u32(b, 22)},       {"planes", u16(b, 26)},      {"bit count", u16(b, 28)},
                  {"compression", u32(b, 30)},  {"image size", u32(b, 34)},  {"x resolution", u32(b, 38)},
                  {"y resolution", u32(b, 42)}, {"colours used", u32(b, 46)}, {"colours important", u32(b, 50)}};
    const std::size_t offset = bmp.field("offset");
    for (std::size_t at = 54; at + 4 <= offset && at + 4 <= b.size(); at += 4)
        bmp.table_bgr.insert(bmp.table_bgr.end(), &b[at], &b[at + 3]);
    if (offset <= b.size()) bmp.pixels.assign(b.begin() + static_cast<std::ptrdiff_t>(offset), b.end());
    return bmp;
}

class ExampleRoundTrip : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("kalvio-round-trip-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path m_dir;
};

TEST_P(ExampleRoundTrip, WritesBackWhatItRead) {
    const fs::path source = fs::path(KALVIO_EXAMPLES) / GetParam();
    const fs::path copy = m_dir / GetParam();
    kalvio_test::MessageRecorder messages;

    CImage image;
    ASSERT_EQ(image.ReadImage(source.c_str()), 1);
    ASSERT_EQ(image.WriteImage(copy.c_str()), 1);
    EXPECT_TRUE(messages.boxes().empty()) << messages.texts().front();
    const Bytes original = contents(source), written = contents(copy);

    if (source.extension() != ".bmp") {
        EXPECT_EQ(first_difference(original, written), "");
        return;
    }

    // Same pixels through Kalvio again.
    CImage again;
    ASSERT_EQ(again.ReadImage(copy.c_str()), 1);
    ASSERT_EQ(std::vector<int>({again.nrows, again.ncols, again.color}),
              std::vector<int>({image.nrows, image.ncols, image.color}));
    const int length = image.color ? 3 * image.ncols : image.ncols;
    for (int r = 0; r < image.nrows; ++r)
        ASSERT_EQ(std::memcmp(image.data[r], again.data[r], sizeof(float) * length), 0) << "row " << r;

    // Same bytes, except the fields the writer sets itself: image size (0
    // or the real size), resolution (0) and the colour table's reserved
    // bytes (0).
    const Bitmap a = parse(original), b = parse(written);
    for (const auto& [name, value] : a.fields) {
        if (name == "x resolution" || name == "y resolution") continue;
        if (name == "image size" && b.field(name) == 0) continue;
        EXPECT_EQ(b.field(name), value) << name;
    }
    EXPECT_EQ(b.table_bgr, a.table_bgr) << "colour table";
    EXPECT_EQ(first_difference(a.pixels, b.pixels), "") << "pixel bytes";
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleRoundTrip,
                         testing::Values("coins.pgm", "coffee.ppm", "coffee.bmp", "brain_pd.bmp",
                                         "coffee_regions.bmp", "coins_regions.bmp", "brain_pd_regions.bmp",
                                         "coffee_seeds.bmp", "coins_seeds.bmp", "brain_pd_seeds.bmp"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& ch : name)
                                 if (ch == '.') ch = '_';
                             return name;
                         });

}  // namespace
