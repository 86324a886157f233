// PNG, JPEG and TIFF: damaged and hostile files are refused with the
// reader's message and leave the image as it was; PNG files written read
// back with their samples clamped. Files other programs write are checked
// against Pillow and ImageMagick in tests/interop/check_pictures.py.
#include <kalvio/formats.h>
#include <kalvio/image.h>

#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using kalvio_test::MessageRecorder;
using kalvio_test::TempDir;

namespace {

void put32(std::string& s, std::size_t at, std::uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (big ? 24 - 8 * i : 8 * i));
}

// Rewrites the CRC of the PNG chunk whose data starts at `at`.
void fix_crc(std::string& png, std::size_t at, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = at - 4; i < at + length; ++i) {
        crc ^= static_cast<unsigned char>(png[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    put32(png, at + length, ~crc, true);
}

// A little-endian TIFF of one strip: width, height, bits, photometric, the
// samples, and any extra directory entries (tag, type, value) after ours.
std::string tiff(std::uint32_t w, std::uint32_t h, int bits, int photometric, const std::string& samples,
                 std::vector<std::vector<std::uint32_t>> extra = {}) {
    std::vector<std::vector<std::uint32_t>> e = {{256, 4, w}, {257, 4, h}, {258, 3, std::uint32_t(bits)},
                                                 {259, 3, 1}, {262, 3, std::uint32_t(photometric)}, {273, 4, 0},
                                                 {278, 4, h}, {279, 4, std::uint32_t(samples.size())}};
    e.insert(e.end(), extra.begin(), extra.end());
    std::string s("II*\0\x08\0\0\0", 8);
    s += char(e.size()) + std::string(1, '\0');
    const std::size_t data = 8 + 2 + 12 * e.size() + 4;
    for (const auto& entry : e) {
        std::string field(12, '\0');
        field[0] = char(entry[0]), field[1] = char(entry[0] >> 8), field[2] = char(entry[1]);
        put32(field, 4, 1, false);
        put32(field, 8, entry[0] == 273 ? std::uint32_t(data) : entry[2], false);
        s += field;
    }
    return s + std::string(4, '\0') + samples;
}

// Reads `bytes` as a file into an image marked beforehand; returns the
// result and leaves the messages in `texts`.
int read(const TempDir& dir, const std::string& bytes, CImage& image, std::vector<std::string>& texts) {
    TempDir::put(dir.path("picture"), bytes);
    MessageRecorder messages;
    const int result = image.ReadImage(dir.path("picture").c_str());
    texts = messages.texts();
    return result;
}

// Expects `bytes` to be refused by `reader` with a message holding `text`,
// the image left as it was.
void expect_refused(const TempDir& dir, const std::string& bytes, const std::string& reader, const std::string& text) {
    CImage image(2, 3, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    image.data[1][2] = 7.0f;
    std::vector<std::string> texts;
    EXPECT_EQ(read(dir, bytes, image, texts), 0);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind(reader + ": ", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find(text), std::string::npos) << texts[0];
    EXPECT_EQ(texts[1], "CImage: Can't read data");
    EXPECT_EQ(image.nrows * 10 + image.ncols, 23);
    EXPECT_EQ(image.data[1][2], 7.0f);
}

}  // namespace

TEST(PictureFormats, PngWrittenReadsBackClamped) {
    TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {-5.0f, -0.5f, 0.0f, 1.9f, 254.99f, 255.0f,
                                       256.0f, 65535.5f, 70000.0f, nan, 1e30f, 300.0f};
    struct Case { int color, format, type, read_type; float top; };
    for (const Case c : {Case{0, KALVIO_FORMAT_JPEG, KALVIO_TYPE_FLOAT, KALVIO_TYPE_UINT8, 255},
                         Case{1, KALVIO_FORMAT_PNG, KALVIO_TYPE_INT32, KALVIO_TYPE_INT16, 65535}}) {
        CImage image(3, 4, c.color, c.format, c.type);
        const int n = 4 * (c.color ? 3 : 1);
        for (int i = 0; i < 3 * n; ++i) image.data[i / n][i % n] = values[i % 12] + float(i / 12);
        ASSERT_EQ(image.WriteImage(dir.path("out.jpg").c_str()), 1);
        CImage back;
        ASSERT_EQ(back.ReadImage(dir.path("out.jpg").c_str()), 1);
        EXPECT_EQ(std::vector<int>({back.nrows, back.ncols, back.color, back.datatype, back.format}),
                  std::vector<int>({3, 4, c.color, c.read_type, KALVIO_FORMAT_PNG}));
        for (int i = 0; i < 3 * n; ++i) {
            const float v = image.data[i / n][i % n];
            const float expected = std::isnan(v) ? 0.0f : std::fmin(std::fmax(std::trunc(v), 0.0f), c.top);
            EXPECT_EQ(back.data[i / n][i % n], expected) << "sample " << i << " of " << v;
        }
    }
    // A colour flag without pixels: refused, the file left as it was.
    CImage none(2, 2, 2, KALVIO_FORMAT_PNG, KALVIO_TYPE_UINT8);
    MessageRecorder messages;
    EXPECT_EQ(none.WriteImage(dir.path("out.jpg").c_str()), 0);
    EXPECT_EQ(messages.texts(), std::vector<std::string>({"write_png_image: No image to write"}));
    EXPECT_EQ(TempDir::get(dir.path("out.jpg")).substr(0, 4), "\x89PNG");
    EXPECT_EQ(dir.entries(), 1u);
}

TEST(PictureFormats, DamagedPngIsRefused) {
    TempDir dir;
    CImage noise(30, 40, 0, KALVIO_FORMAT_PNG, KALVIO_TYPE_UINT8);
    for (int i = 0; i < 1200; ++i) noise.data[i / 40][i % 40] = float((i * 7919) % 251);
    ASSERT_EQ(noise.WriteImage(dir.path("good.png").c_str()), 1);
    const std::string good = TempDir::get(dir.path("good.png"));
    for (std::size_t length : {std::size_t(9), std::size_t(30), good.size() / 2, good.size() - 12})
        expect_refused(dir, good.substr(0, length), "read_png_image", "Can't read file");
    std::string flipped = good;
    flipped[30] ^= 0x40;
    expect_refused(dir, flipped, "read_png_image", "Can't read file (IHDR: CRC error)");
    // Sizes in the header, with its checksum made good again: past libpng's
    // limit, and more pixels than the file could hold, refused before any
    // allocation.
    for (const auto& [w, h, text] : {std::tuple(2000000u, 2u, "Invalid IHDR data"),
                                     std::tuple(60000u, 60000u, "Picture too large"),
                                     std::tuple(9000u, 9000u, "Truncated file")}) {
        std::string big = good;
        put32(big, 16, w, true);
        put32(big, 20, h, true);
        fix_crc(big, 16, 13);
        expect_refused(dir, big, "read_png_image", text);
    }
}

TEST(PictureFormats, DamagedJpegIsRefused) {
    TempDir dir;
    const std::string soi("\xFF\xD8", 2), sos("\xFF\xDA\0\x08\x01\x01\0\0\x3F\0", 10);
    auto sof = [](int w, int h, int components) {
        std::string s("\xFF\xC0\0\0\x08\0\0\0\0", 9);
        s[3] = char(8 + 3 * components), s[5] = char(h >> 8), s[6] = char(h), s[7] = char(w >> 8), s[8] = char(w);
        s += char(components);
        for (int i = 1; i <= components; ++i) s += std::string{char(i), '\x11', '\0'};
        return s;
    };
    expect_refused(dir, soi + std::string("\xFF\xD9", 2), "read_jpeg_image", "Can't read file (");
    expect_refused(dir, soi + sof(20000, 10000, 1) + sos + std::string(64, '\0'), "read_jpeg_image",
                   "Truncated file");
    expect_refused(dir, soi + sof(8, 8, 4) + std::string("\xFF\xDA\0\x0E\x04\x01\0\x02\0\x03\0\x04\0\0\x3F\0", 16),
                   "read_jpeg_image", "Only grey and colour");
    expect_refused(dir, soi + sof(16, 16, 1) + sos + std::string(4, '\0'), "read_jpeg_image",
                   "Can't read file (");  // no quantisation table
}

TEST(PictureFormats, TiffIsReadQuietlyOrRefusedWithLibtiffsReason) {
    TempDir dir;
    CImage image;
    std::vector<std::string> texts;
    // An unknown tag makes libtiff warn: nothing of it may reach standard
    // error or a message box.
    testing::internal::CaptureStderr();
    ASSERT_EQ(read(dir, tiff(3, 2, 8, 1, "\x01\x02\x03\xFD\xFE\xFF", {{65000, 3, 5}}), image, texts), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(texts.empty());
    EXPECT_EQ(std::vector<float>(image.data[1], image.data[1] + 3), std::vector<float>({253, 254, 255}));
    EXPECT_EQ(std::vector<int>({image.color, image.datatype, image.format}),
              std::vector<int>({0, KALVIO_TYPE_UINT8, KALVIO_FORMAT_TIFF}));
    ASSERT_EQ(read(dir, tiff(1, 2, 16, 0, std::string("\x01\x00\xFF\xFF", 4)), image, texts), 1);
    EXPECT_EQ(image.data[0][0], 65534.0f) << "white is zero";
    EXPECT_EQ(image.data[1][0], 0.0f);
    EXPECT_EQ(image.datatype, KALVIO_TYPE_INT16);

    expect_refused(dir, tiff(3, 2, 8, 1, "\x01\x02"), "read_tiff_image", "Can't read file (");
    expect_refused(dir, tiff(15000, 15000, 8, 1, std::string(100, '\0')), "read_tiff_image", "Truncated file");
    expect_refused(dir, tiff(8, 2, 1, 1, "\x01\x02"), "read_tiff_image", "Only 8- and 16-bit");
    expect_refused(dir, tiff(3, 2, 8, 5, "\x01\x02\x03\x04\x05\x06"), "read_tiff_image", "Only grey and RGB");
    expect_refused(dir, std::string("II*\0\xF0\0\0\0", 8) + std::string(20, '\0'), "read_tiff_image",
                   "Can't read file (");
}
