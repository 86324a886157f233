// BMP files through CDib::Read and Write: variants the peer fixtures do not
// hold, files that are truncated, inconsistent or hostile, and failed writes.
#include <kalvio/arrays.h>
#include <kalvio/dc.h>
#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "message_recorder.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Ints = std::vector<int>;

void put(Bytes& out, std::uint32_t v, int size) {
    for (int k = 0; k < size; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// A BMP file built field by field. Rows are given unpadded, in file order.
struct Bmp {
    std::uint32_t header_size = 40;
    std::int32_t width = 0, height = 0;
    int bit_count = 8;
    std::uint32_t compression = 0;
    std::uint32_t colors_used = 0;
    std::vector<std::uint32_t> table = {};  // 0xRRGGBB
    std::vector<std::uint32_t> masks = {};  // after a 40-byte header, else inside the header
    std::vector<Bytes> rows = {};
    Bytes stream = {};  // compressed pixels, after the rows, unpadded

    Bytes bytes() const {
        const bool masks_follow = header_size == 40;
        const std::uint32_t offset = 14 + header_size +
                                     (masks_follow ? 4 * masks.size() : 0) + 4 * table.size();
        Bytes out = {'B', 'M'};
        put(out, 0, 4);  // file size: not relied on
        put(out, 0, 4);
        put(out, offset, 4);
        put(out, header_size, 4);
        put(out, static_cast<std::uint32_t>(width), 4);
        put(out, static_cast<std::uint32_t>(height), 4);
        put(out, 1, 2);
        put(out, static_cast<std::uint32_t>(bit_count), 2);
        put(out, compression, 4);
        put(out, 0, 4);
        put(out, 2835, 4);
        put(out, 2835, 4);
        put(out, colors_used, 4);
        put(out, 0, 4);
        for (std::uint32_t mask : masks) put(out, mask, 4);
        out.resize(14 + header_size + (masks_follow ? 4 * masks.size() : 0));
        for (std::uint32_t colour : table) put(out, colour, 4);
        for (const Bytes& row : rows) {
            out.insert(out.end(), row.begin(), row.end());
            out.resize(out.size() + (4 - row.size() % 4) % 4);
        }
        out.insert(out.end(), stream.begin(), stream.end());
        return out;
    }
};

// Indices packed most significant first, as BMP rows hold them.
Bytes packed(const Ints& indices, int bit_count) {
    Bytes out((indices.size() * bit_count + 7) / 8);
    for (std::size_t x = 0; x < indices.size(); ++x)
        out[x * bit_count / 8] |= indices[x] << (8 - bit_count - x * bit_count % 8);
    return out;
}

Bytes little_endian(const std::vector<std::uint32_t>& values, int size) {
    Bytes out;
    for (std::uint32_t v : values) put(out, v, size);
    return out;
}

// Two rows of three pixels, top row first: the picture every variant encodes.
const std::vector<std::vector<Ints>> kPicture = {
    {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}},
    {{8, 16, 24}, {255, 255, 255}, {0, 0, 0}}};

class DibReadTest : public testing::Test {
protected:
    // Reads `bytes` (after `skip` bytes of other data) into m_dib; returns
    // Read's result and keeps the messages shown.
    int read(const Bytes& bytes, std::size_t skip = 0) {
        const std::string path = m_dir.path("in.bmp");
        m_dir.put(path, std::string(skip, 'x') + std::string(bytes.begin(), bytes.end()));
        CFile file;
        EXPECT_TRUE(file.Open(path.c_str(), CFile::modeRead));
        file.Seek(static_cast<std::int64_t>(skip), CFile::begin);
        kalvio_test::MessageRecorder recorder;
        const int result = m_dib.Read(&file);
        m_messages = recorder.texts();
        if (skip == 0) {
            expect_read_bmp_image_agrees(path, result);
            expect_read_bmp_bytes_agrees(path, result);
        }
        expect_read_bmp_rows_agrees(path, skip, result);
        return result;
    }

    // read_bmp_rows hands over the rows Read keeps, as blue, green, red
    // through the colour table, or refuses with Read's message.
    void expect_read_bmp_rows_agrees(const std::string& path, std::size_t skip, int result) {
        CFile file;
        ASSERT_TRUE(file.Open(path.c_str(), CFile::modeRead));
        file.Seek(static_cast<std::int64_t>(skip), CFile::begin);
        kalvio_test::MessageRecorder recorder;
        int width = 0, height = 0;
        std::vector<Bytes> rows;
        const int read = read_bmp_rows(
            &file,
            [&](int w, int h) {
                width = w;
                height = h;
                rows.assign(static_cast<std::size_t>(h), {});
                return true;
            },
            [&](int y, const std::uint8_t* bgr) { rows.at(static_cast<std::size_t>(y)).assign(bgr, bgr + 3 * width); });
        EXPECT_EQ(read, result);
        if (read != 1 || result != 1) {
            EXPECT_EQ(recorder.texts(), m_messages);
            return;
        }
        ASSERT_EQ(Ints({width, height}), Ints({m_dib.width, m_dib.height}));
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* kept = m_dib.bits + static_cast<std::size_t>(height - 1 - y) * m_dib.row_bytes;
            Bytes expected;
            for (int x = 0; x < width; ++x) {
                if (m_dib.pixel_bytes == 3) {
                    expected.insert(expected.end(), kept + 3 * x, kept + 3 * x + 3);
                } else if (kept[x] < m_dib.color_count) {
                    const std::uint8_t* entry = m_dib.info + 40 + 4 * kept[x];
                    expected.insert(expected.end(), entry, entry + 3);
                } else {
                    expected.insert(expected.end(), 3, 0);
                }
            }
            EXPECT_EQ(rows[static_cast<std::size_t>(y)], expected) << y;
        }
    }

    // read_bmp_image takes the file's rows straight to floats: it must
    // accept, refuse (with the same message) and convert exactly as Read
    // followed by MakeFloatImage.
    void expect_read_bmp_image_agrees(const std::string& path, int result) {
        kalvio_test::MessageRecorder recorder;
        int rows = 0, cols = 0, color = -1;
        float** data = read_bmp_image(path.c_str(), &rows, &cols, &color);
        EXPECT_EQ(data != nullptr, result == 1);
        if (!data) {
            EXPECT_EQ(recorder.texts(), m_messages);
            return;
        }
        int dib_rows = 0, dib_cols = 0, dib_color = -1;
        float** expected = m_dib.MakeFloatImage(&dib_rows, &dib_cols, &dib_color);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(Ints({rows, cols, color}), Ints({dib_rows, dib_cols, dib_color}));
        const int length = cols * (color ? 3 : 1);
        for (int y = 0; y < rows && y < dib_rows; ++y)
            EXPECT_EQ(std::vector<float>(data[y], data[y] + length), std::vector<float>(expected[y], expected[y] + length)) << y;
        free_2D_float_array(data);
        free_2D_float_array(expected);
    }

    // read_bmp_bytes accepts and refuses as read_bmp_image, and its bytes
    // are the floats' values.
    void expect_read_bmp_bytes_agrees(const std::string& path, int result) {
        kalvio_test::MessageRecorder recorder;
        kalvio::PictureBytes bytes;
        EXPECT_EQ(kalvio::read_bmp_bytes(path.c_str(), &bytes), result);
        if (result != 1) {
            EXPECT_EQ(recorder.texts(), m_messages);
            EXPECT_EQ(bytes.data(), nullptr);
            return;
        }
        int rows = 0, cols = 0, color = -1;
        float** expected = m_dib.MakeFloatImage(&rows, &cols, &color);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(Ints({bytes.rows(), bytes.cols(), bytes.color()}), Ints({rows, cols, color}));
        const std::size_t length = static_cast<std::size_t>(cols) * (color ? 3 : 1);
        ASSERT_EQ(bytes.size(), length * static_cast<std::size_t>(rows));
        for (int y = 0; y < rows; ++y) {
            const std::uint8_t* row = bytes.data() + length * static_cast<std::size_t>(y);
            EXPECT_EQ(std::vector<float>(row, row + length), std::vector<float>(expected[y], expected[y] + length)) << y;
        }
        free_2D_float_array(expected);
    }

    // The picture as red, green, blue per pixel, top row first.
    std::vector<std::vector<Ints>> picture() {
        int rows = 0, cols = 0, color = -1;
        float** data = m_dib.MakeFloatImage(&rows, &cols, &color);
        if (!data) return {};
        std::vector<std::vector<Ints>> out(rows);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                const float* p = color ? data[y] + 3 * x : data[y] + x;
                out[y].push_back(color ? Ints{int(p[0]), int(p[1]), int(p[2])}
                                       : Ints(3, int(p[0])));
            }
        free_2D_float_array(data);
        return out;
    }

    // The indices kept, top row first, `width` a row.
    std::vector<Ints> indices() const {
        std::vector<Ints> out;
        for (int y = m_dib.height - 1; y >= 0; --y) {
            const std::uint8_t* row = m_dib.bits + static_cast<std::size_t>(y) * m_dib.row_bytes;
            out.emplace_back(row, row + m_dib.width);
        }
        return out;
    }

    // Read refused the file with exactly one message and kept nothing.
    void expect_refused(int result, const std::string& message) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(m_messages, std::vector<std::string>{message});
        EXPECT_EQ(m_dib.info, nullptr);
        EXPECT_EQ(m_dib.bits, nullptr);
        EXPECT_EQ(m_dib.width, 0);
        EXPECT_EQ(m_dib.image_size, 0u);
    }

    kalvio_test::TempDir m_dir;
    CDib m_dib;
    std::vector<std::string> m_messages;
};

// A run-length bitmap: RLE8 for 8 bits, RLE4 for 4, a 16-entry grey table.
Bmp rle(int bit_count, std::int32_t width, std::int32_t height, Bytes stream) {
    Bmp bmp{.width = width, .height = height, .bit_count = bit_count,
            .compression = bit_count == 8 ? 1u : 2u, .colors_used = 16};
    for (std::uint32_t k = 0; k < 16; ++k) bmp.table.push_back(0x111111u * k);
    bmp.stream = std::move(stream);
    return bmp;
}

// kPicture as an 8-bit file with a colour table of the six colours.
Bmp eight_bit_picture() {
    Bmp bmp{.width = 3, .height = 2, .bit_count = 8, .colors_used = 6};
    bmp.table = {0xFF0000, 0x00FF00, 0x0000FF, 0x081018, 0xFFFFFF, 0x000000};
    bmp.rows = {{3, 4, 5}, {0, 1, 2}};  // bottom row first
    return bmp;
}

// An image from its rows; colour rows hold red, green, blue triples.
std::unique_ptr<CImage> image_of(int color, const std::vector<std::vector<float>>& rows) {
    const int cols = static_cast<int>(rows[0].size()) / (color ? 3 : 1);
    auto image = std::make_unique<CImage>(static_cast<int>(rows.size()), cols, color,
                                          KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (std::size_t r = 0; r < rows.size(); ++r)
        std::copy(rows[r].begin(), rows[r].end(), image->data[r]);
    return image;
}

int write(CDib& dib, const std::string& path) {
    CFile file;
    EXPECT_TRUE(file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
    return dib.Write(&file);
}

}  // namespace

TEST_F(DibReadTest, EightBitFileKeepsItsColourTableUnderAFreshHeader) {
    Bmp bmp = eight_bit_picture();
    bmp.header_size = 124;
    ASSERT_EQ(read(bmp.bytes()), 1);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(m_dib.color_count, 6);
    EXPECT_EQ(m_dib.palette, nullptr) << "reading makes no palette";
    const std::uint8_t* h = m_dib.info;
    EXPECT_EQ(Ints({h[0], h[4], h[8], h[12], h[14], h[16], h[20], h[32], h[36]}),
              Ints({40, 3, 2, 1, 8, 0, 8, 6, 6}));
    EXPECT_EQ(picture(), kPicture);
    // Reading starts at the file's position, not at its beginning.
    ASSERT_EQ(read(eight_bit_picture().bytes(), 5), 1);
    EXPECT_EQ(picture(), kPicture);
}

TEST_F(DibReadTest, SmallIndicesExpandToOneBytePerPixel) {
    // Widths that end inside a byte; a colour count of 0 means all 2^bits.
    for (int bit_count : {1, 2, 4}) {
        SCOPED_TRACE(bit_count);
        Bmp bmp{.width = 5, .height = 1, .bit_count = bit_count};
        const int colors = 1 << bit_count;
        for (int k = 0; k < colors; ++k) bmp.table.push_back(0x010101u * (k * 255 / (colors - 1)));
        const Ints indices = {colors - 1, 0, 1, colors - 1, colors / 2};
        bmp.rows = {packed(indices, bit_count)};
        ASSERT_EQ(read(bmp.bytes()), 1);
        EXPECT_EQ(m_dib.color_count, colors);
        EXPECT_EQ(Ints(m_dib.bits, m_dib.bits + 5), indices);
    }
}

// A table that is the whole grey ramp gives each index as its sample; one
// entry off, or the ramp one entry short (index 255 then reads black), do not.
TEST_F(DibReadTest, GreyRampTablesGiveTheirIndicesAsSamples) {
    for (const int variant : {0, 1, 2}) {
        SCOPED_TRACE(variant);
        const int colors = variant == 2 ? 255 : 256;
        Bmp bmp{.width = 7, .height = 2, .bit_count = 8, .colors_used = static_cast<std::uint32_t>(colors)};
        for (int k = 0; k < colors; ++k) bmp.table.push_back(0x010101u * static_cast<std::uint32_t>(k));
        if (variant == 1) bmp.table[100] = 0x010101u * 101;
        bmp.rows = {{255, 100, 3, 2, 1, 0, 7}, {0, 1, 100, 128, 200, 254, 255}};  // bottom row first
        ASSERT_EQ(read(bmp.bytes()), 1);
        const std::vector<std::vector<Ints>> got = picture();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0][2], Ints(3, variant == 1 ? 101 : 100));
        EXPECT_EQ(got[0][6], Ints(3, variant == 2 ? 0 : 255));
        EXPECT_EQ(got[1][6], Ints(3, 7));
    }
}

// 24-bit rows of every width up to a few steps of five pixels, each pixel's
// three bytes different: the bytes, read five pixels at a time where the
// processor allows, keep every channel in its place (checked against the
// floats in read()).
TEST_F(DibReadTest, TwentyFourBitRowsOfAnyWidthKeepTheirChannels) {
    for (int width = 1; width <= 17; ++width) {
        SCOPED_TRACE(width);
        Bmp bmp{.width = width, .height = 2, .bit_count = 24};
        for (int y = 0; y < 2; ++y) {
            Bytes row;
            for (int x = 0; x < width; ++x)
                row.insert(row.end(), {std::uint8_t(x * 3 + y), std::uint8_t(100 + x), std::uint8_t(200 + x + y)});
            bmp.rows.push_back(row);
        }
        ASSERT_EQ(read(bmp.bytes()), 1);
        EXPECT_EQ(picture()[1][width - 1], Ints({200 + width - 1, 100 + width - 1, 3 * (width - 1)}));
    }
}

// Masks the peer fixtures (tests/data/peer, bmp16_* and bmp32_*) do not use.
TEST_F(DibReadTest, ThirtyTwoBitPixelsScaleUnusualMasks) {
    struct Case {
        const char* name;
        std::uint32_t header_size, compression;
        int bit_count;
        std::vector<std::uint32_t> masks, pixels;
        Ints first, second;
    };
    const Case cases[] = {
        {"32-bit red in the low byte", 124, 3, 32, {0x000000FF, 0x0000FF00, 0x00FF0000},
         {0x00302010, 0xFF000000}, {0x10, 0x20, 0x30}, {0, 0, 0}},
        {"32-bit 10-bit fields with alpha masks", 40, 6, 32,
         {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}, {0xFFFFFFFF, 512u << 20 | 1 << 10},
         {255, 255, 255}, {127, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bmp bmp{.header_size = c.header_size, .width = 2, .height = 1, .bit_count = c.bit_count,
                .compression = c.compression, .masks = c.masks};
        bmp.rows = {little_endian(c.pixels, c.bit_count / 8)};
        ASSERT_EQ(read(bmp.bytes()), 1);
        EXPECT_EQ(m_dib.pixel_bytes, 3);
        EXPECT_EQ(picture(), (std::vector<std::vector<Ints>>{{c.first, c.second}}));
    }
}

TEST_F(DibReadTest, IndicesBeyondTheColourTableAreBlack) {
    Bmp bmp{.width = 2, .height = 1, .bit_count = 4, .colors_used = 2};
    bmp.table = {0xFFFFFF, 0x808080};
    bmp.rows = {packed({0, 15}, 4)};
    ASSERT_EQ(read(bmp.bytes()), 1);
    EXPECT_EQ(m_dib.color_count, 2);
    EXPECT_EQ(picture(), (std::vector<std::vector<Ints>>{{{255, 255, 255}, {0, 0, 0}}}));

    float** grey = make_2D_float_array(1, 2);
    grey[0][1] = -1.0f;
    m_dib.MakeKnownFloatImage(grey, 0);
    EXPECT_EQ(grey[0][1], 0.0f);
    free_2D_float_array(grey);

    CMemoryDC dc(2, 1);
    EXPECT_EQ(m_dib.Draw(&dc, 0, 0, 2, 1), 1);
    EXPECT_EQ(Ints(dc.pixel(1, 0), dc.pixel(1, 0) + 3), Ints({0, 0, 0}));
}

TEST_F(DibReadTest, EveryTruncationIsRefusedWithOneMessage) {
    Bmp with_table = eight_bit_picture();
    Bmp with_masks{.header_size = 40, .width = 3, .height = -2, .bit_count = 16,
                   .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}};
    with_masks.rows = {little_endian({1, 2, 3}, 2), little_endian({4, 5, 6}, 2)};
    for (const Bmp& bmp : {with_table, with_masks}) {
        const Bytes whole = bmp.bytes();
        for (std::size_t length = 0; length < whole.size(); ++length) {
            SCOPED_TRACE(length);
            const int result = read(Bytes(whole.begin(), whole.begin() + length));
            expect_refused(result, length < 14 ? "Read error 1" : "Read error 2: truncated bitmap");
        }
        EXPECT_EQ(read(whole), 1);
    }
}

TEST_F(DibReadTest, InconsistentHeadersAreRefusedWithOneMessage) {
    const Bytes good = eight_bit_picture().bytes();
    auto patched = [&](std::size_t at, std::uint32_t value, int size) {
        Bytes bytes = good;
        for (int k = 0; k < size; ++k) bytes[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
        return bytes;
    };
    const std::string invalid = "Invalid bitmap file", truncated = "Read error 2: truncated bitmap";
    const std::string compressed = "Compressed bitmaps are not supported";
    const std::string unsupported = "Unsupported bitmap format";
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {patched(0, 'P' | '6' << 8, 2), invalid},
        {patched(18, 0, 4), invalid},                              // width 0
        {patched(18, static_cast<std::uint32_t>(-3), 4), invalid},  // negative width
        {patched(22, 0, 4), invalid},                              // height 0
        {patched(22, 0x80000000u, 4), invalid},                    // height INT_MIN
        {patched(18, 0x7FFFFFFF, 4), truncated},                   // rows beyond the file
        {patched(22, 0x7FFFFFFF, 4), truncated},
        {patched(10, 0xFFFFFFF0u, 4), truncated},                  // pixels beyond the file
        {patched(10, 20, 4), invalid},                             // pixels inside the header
        {patched(46, 1000, 4), invalid},                           // colour count 1000
        {patched(46, 257, 4), invalid},
        {patched(46, 7, 4), invalid},                              // table runs into the pixels
        {patched(28, 7, 2), invalid},                              // bit count 7
        {patched(30, 3, 4), invalid},                              // bit fields on indices
        {patched(14, 12, 4), unsupported},                         // OS/2 header
        {patched(14, 0xFFFFFFFF, 4), unsupported},
        {patched(30, 11, 4), unsupported},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        expect_refused(read(cases[i].first), cases[i].second);
    }
    for (std::uint32_t compression : {4u, 5u}) {
        SCOPED_TRACE(compression);
        expect_refused(read(patched(30, compression, 4)), compressed);
    }
    expect_refused(read(patched(30, 2, 4)), invalid);  // RLE4 on 8-bit pixels
    Bmp huge{.width = 0x7FFFFFFF, .height = 0x7FFFFFFF, .bit_count = 24};
    expect_refused(read(huge.bytes()), truncated);
    // Sizes that agree with each other but not with what a bitmap may hold.
    Bmp many_colours = eight_bit_picture();
    many_colours.colors_used = 1000;
    many_colours.table.resize(1000);
    expect_refused(read(many_colours.bytes()), invalid);
    Bmp masks_over_pixels{.width = 1, .height = 1, .bit_count = 16, .compression = 3,
                          .masks = {0xF800, 0x07E0, 0x001F}, .rows = {{1, 2}}};
    Bytes bytes = masks_over_pixels.bytes();
    bytes[10] = 54;  // the pixels would start at the masks
    expect_refused(read(bytes), invalid);

    // A failed read also empties a bitmap that held a picture.
    ASSERT_EQ(read(good), 1);
    m_dib.MakePalette();
    expect_refused(read(Bytes{'B', 'M'}), "Read error 1");
    EXPECT_EQ(m_dib.palette, nullptr);
}

// Streams the peer fixtures (tests/data/peer, bmp*_rle_*) do not hold:
// ends of bitmap and of stream, and the edges of the stored row.
TEST_F(DibReadTest, RunLengthStreamsSkipAndEndAsWritersUseThem) {
    struct Case {
        const char* name;
        int bit_count;
        std::int32_t width, height;
        Bytes stream;
        std::vector<Ints> top_first;
    };
    const Case cases[] = {
        {"a delta, an early end of line and end of bitmap leave index 0", 8, 4, 4,
         {1, 5, 0, 2, 1, 1, 1, 6, 0, 0, 2, 7, 0, 1},
         {{0, 0, 0, 0}, {7, 7, 0, 0}, {0, 0, 6, 0}, {5, 0, 0, 0}}},
        {"RLE4 rows of 3 pixels pad to 8 nibbles", 4, 3, 1, {8, 0x12, 0, 1}, {{1, 2, 1}}},
        {"a delta may reach the end of the padded row", 8, 3, 2, {0, 2, 4, 1, 0, 0, 0, 1},
         {{0, 0, 0}, {0, 0, 0}}},
        // Without the end-of-bitmap marker: the top row's end of line, or
        // the end of its last run, ends the picture; nothing after is read.
        {"no marker after the top row's end of line", 8, 2, 2, {2, 1, 0, 0, 2, 2, 0, 0},
         {{2, 2}, {1, 1}}},
        {"no marker after the top row's last run", 8, 2, 2, {2, 1, 0, 0, 2, 2}, {{2, 2}, {1, 1}}},
        {"bytes after the top row are not read", 8, 2, 1, {2, 3, 0, 0, 9, 9, 0, 2, 9, 9},
         {{3, 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(read(rle(c.bit_count, c.width, c.height, c.stream).bytes()), 1)
            << testing::PrintToString(m_messages);
        EXPECT_EQ(indices(), c.top_first);
        EXPECT_EQ(m_dib.bits[m_dib.row_bytes - 1] | m_dib.bits[m_dib.image_size - 1], 0)
            << "row padding stays 0";
    }
}

TEST_F(DibReadTest, RunLengthStreamsCutShortAreRefused) {
    // 3 x 2: an absolute run with a pad byte, then a delta and a run.
    const Bytes stream = {0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 1, 0, 2, 4, 0, 0, 0, 1};
    const std::size_t top_row_done = 14;  // after the run that fills the top row
    for (std::size_t length = 0; length <= stream.size(); ++length) {
        SCOPED_TRACE(length);
        const Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
        const int result = read(rle(8, 3, 2, cut).bytes());
        if (length < top_row_done) {
            expect_refused(result, "Read error 2: truncated bitmap");
        } else {
            ASSERT_EQ(result, 1);
            EXPECT_EQ(indices(), (std::vector<Ints>{{0, 4, 4}, {1, 2, 3}}));
        }
    }
}

// tests/data/corrupt holds one file for each kind of refusal; these are the
// edges: a stored row of 3 pixels holds 4 indices in RLE8 and 8 in RLE4.
TEST_F(DibReadTest, RunLengthStreamsOnePastTheirRowOrSizeAreRefused) {
    const std::string invalid = "Invalid bitmap file", truncated = "Read error 2: truncated bitmap";
    EXPECT_EQ(read(rle(8, 3, 1, {2, 1, 2, 1, 0, 1}).bytes()), 1);
    expect_refused(read(rle(8, 3, 1, {2, 1, 3, 1, 0, 1}).bytes()), invalid);
    EXPECT_EQ(read(rle(4, 3, 1, {0, 8, 1, 2, 3, 4, 0, 1}).bytes()), 1);
    expect_refused(read(rle(4, 3, 1, {0, 9, 1, 2, 3, 4, 5, 0, 0, 1}).bytes()), invalid);
    Bmp rle8_on_4_bits = rle(4, 3, 1, {0, 1});
    rle8_on_4_bits.compression = 1;
    expect_refused(read(rle8_on_4_bits.bytes()), invalid);
    // At most 256 pixels a stream byte, and no product of the sizes overflows.
    EXPECT_EQ(read(rle(8, 512, 1, {0, 1}).bytes()), 1);
    expect_refused(read(rle(8, 513, 1, {0, 1}).bytes()), truncated);
    expect_refused(read(rle(8, 0x7FFFFFFF, 0x7FFFFFFF, {0, 1}).bytes()), truncated);
}

// The layout of written files is checked by check_written.py (layout), and
// their pixels by the peers.
TEST(DibWrite, FailuresReturnZeroAndPublishNothing) {
    const kalvio_test::TempDir dir;
    CDib empty;
    EXPECT_EQ(write(empty, dir.path("empty.bmp")), 0);
    EXPECT_EQ(dir.entries(), 0u) << "nothing published, no temporary left";
    EXPECT_EQ(empty.Write(nullptr), 0);

    // A file that refuses writes.
    CDib dib(image_of(0, {{1}}).get(), 0, 0.0f, 0.0f);
    dir.put(dir.path("old.bmp"), "old");
    CFile read_only;
    ASSERT_TRUE(read_only.Open(dir.path("old.bmp").c_str(), CFile::modeRead));
    EXPECT_EQ(dib.Write(&read_only), 0);
    EXPECT_FALSE(read_only.IsOpen());
    EXPECT_EQ(dir.get(dir.path("old.bmp")), "old");
    EXPECT_EQ(dir.entries(), 1u);
}

// Rows go to the file a block at a time while the next block is made: a
// picture of many blocks reads back row for row, and a write that fails on
// the way is reported once every block has been made or abandoned.
TEST(WriteBmpRows, ManyBlocksArriveInOrderAndAFailedWriteIsReported) {
    const kalvio_test::TempDir dir;
    const int width = 1000, height = 1500;  // 3000 bytes a row: about 350 rows a block
    auto fill = [&](int y, std::uint8_t* out) {
        for (int x = 0; x < 3 * width; ++x) out[x] = static_cast<std::uint8_t>(x * 5 + y * 11);
    };
    ASSERT_EQ(write_bmp_rows(dir.path("rows.bmp").c_str(), width, height, fill), 1);
    CDib dib;
    CFile in;
    ASSERT_TRUE(in.Open(dir.path("rows.bmp").c_str(), CFile::modeRead));
    ASSERT_EQ(dib.Read(&in), 1);
    std::vector<std::uint8_t> expected(3 * width);
    for (int y = 0; y < height; ++y) {
        fill(y, expected.data());
        const std::uint8_t* stored = dib.bits + static_cast<std::size_t>(height - 1 - y) * dib.row_bytes;
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), stored)) << "row " << y;
    }
    if (std::FILE* full = std::fopen("/dev/full", "wb")) {
        std::fclose(full);
        kalvio_test::MessageRecorder recorder;
        EXPECT_EQ(write_bmp_rows("/dev/full", width, height, fill), 0);
        EXPECT_EQ(recorder.texts(), std::vector<std::string>{"write_bmp_image: Can't write file"});
    }
}

namespace {

// A grey value for pixel (y, x) of the pictures below.
std::uint8_t grey_at(int y, int x) { return static_cast<std::uint8_t>(x * 7 + y * 3); }

}  // namespace

// read_bmp_image reads the rows in blocks of about 256 KiB in the file's
// order and keeps them grey until a pixel with colour turns up, then moves
// the rows read so far into a colour picture. 600 rows of 300 pixels span
// three blocks; the one pixel with colour lies in the first, a middle or
// the last row read, bottom-up and top-down.
// As through MakeFloatImage, the size and the colour flag are written only
// where the caller asks for them.
TEST(ReadBmpImage, OutputsMayBeLeftOut) {
    const kalvio_test::TempDir dir;
    float** picture = make_2D_float_array(2, 9);
    ASSERT_EQ(write_bmp_image(picture, dir.path("a.bmp").c_str(), 2, 3, 1), 1);
    free_2D_float_array(picture);
    float** data = read_bmp_image(dir.path("a.bmp").c_str(), nullptr, nullptr, nullptr);
    EXPECT_NE(data, nullptr);
    free_2D_float_array(data);
}

TEST(ReadBmpImage, TheLayoutFollowsEveryPixelWhicheverRowIsReadFirst) {
    const kalvio_test::TempDir dir;
    const int width = 300, height = 600, x = 17;
    struct Case {
        bool top_down;
        int colour_row;  // picture row of the pixel with colour; -1: none
    };
    for (const Case c : {Case{false, -1}, Case{false, height - 1}, Case{false, 290}, Case{false, 0},
                         Case{true, -1}, Case{true, 0}, Case{true, 333}, Case{true, height - 1}}) {
        SCOPED_TRACE(::testing::Message() << (c.top_down ? "top-down" : "bottom-up") << ", colour in row " << c.colour_row);
        const auto colour = [&](int y, int x_) {
            const std::uint8_t v = grey_at(y, x_);
            return y == c.colour_row && x_ == x ? Ints{v, v, v ^ 1} : Ints{v, v, v};
        };
        Bmp bmp{.width = width, .height = c.top_down ? -height : height, .bit_count = 24};
        for (int i = 0; i < height; ++i) {
            const int y = c.top_down ? i : height - 1 - i;
            Bytes row;
            for (int k = 0; k < width; ++k) {
                const Ints rgb = colour(y, k);
                row.insert(row.end(), {std::uint8_t(rgb[2]), std::uint8_t(rgb[1]), std::uint8_t(rgb[0])});
            }
            bmp.rows.push_back(row);
        }
        const Bytes bytes = bmp.bytes();
        dir.put(dir.path("picture.bmp"), std::string(bytes.begin(), bytes.end()));
        int rows = 0, cols = 0, color = -1;
        float** data = read_bmp_image(dir.path("picture.bmp").c_str(), &rows, &cols, &color);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Ints({rows, cols, color}), Ints({height, width, c.colour_row < 0 ? 0 : 1}));
        bool same = true;
        for (int y = 0; y < height && same; ++y)
            for (int k = 0; k < width && same; ++k) {
                const Ints rgb = colour(y, k);
                const float* p = color ? data[y] + 3 * k : data[y] + k;
                same = color ? Ints{int(p[0]), int(p[1]), int(p[2])} == rgb : int(p[0]) == rgb[0];
                EXPECT_TRUE(same) << "pixel " << y << ", " << k;
            }
        // The bytes follow the same layout.
        kalvio::PictureBytes samples;
        ASSERT_EQ(kalvio::read_bmp_bytes(dir.path("picture.bmp").c_str(), &samples), 1);
        EXPECT_EQ(samples.color(), color);
        const std::size_t length = static_cast<std::size_t>(cols) * (color ? 3 : 1);
        for (int y = 0; y < height; ++y)
            EXPECT_TRUE(std::equal(data[y], data[y] + length, samples.data() + length * static_cast<std::size_t>(y))) << y;
        free_2D_float_array(data);
    }
}

// The writers of 8-bit samples keep the low 8 bits of each value truncated
// toward zero, NaN as 0 and values beyond the int range saturated first;
// rows of 21 pixels take the vector path and its tail.
TEST(Writers, EightBitSamplesAreTheLowBitsOfTheTruncatedValues) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {0.0f,   1.9f,          255.9f,         256.0f,       300.5f,
                                       -1.0f,  -0.5f,         -255.9f,        nan,          inf,
                                       -inf,   3e9f,          -3e9f,          2147483520.0f, -2147483648.0f,
                                       1e-30f, -2147483904.0f, 2147483648.0f, 65791.0f};
    const auto expected = [](float v) -> int {
        if (std::isnan(v) || v < -2147483648.0f) return 0;
        if (v >= 2147483648.0f) return 255;
        return static_cast<int>(v) & 0xFF;
    };
    const int rows = 2, cols = 21;
    const auto image = std::make_unique<CImage>(rows, cols, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < 3 * cols; ++i) image->data[r][i] = values[(i + 5 * r) % values.size()];
    const kalvio_test::TempDir dir;
    ASSERT_EQ(write_bmp_image(image->data, dir.path("c.bmp").c_str(), rows, cols, 1), 1);
    ASSERT_EQ(write_bmp_image(image->data, dir.path("g.bmp").c_str(), rows, 3 * cols, 0), 1);
    ASSERT_EQ(write_ppm_image(image->data, dir.path("c.ppm").c_str(), rows, cols, 1), 1);
    const std::string colour = dir.get(dir.path("c.bmp")), grey = dir.get(dir.path("g.bmp"));
    const std::string ppm = dir.get(dir.path("c.ppm"));
    const std::size_t ppm_start = ppm.size() - 3 * cols * rows;
    ASSERT_EQ(colour.size(), 54u + rows * 64u);
    ASSERT_EQ(grey.size(), 54u + 1024u + rows * 64u);
    for (int r = 0; r < rows; ++r) {
        const std::size_t bottom_up = static_cast<std::size_t>(rows - 1 - r) * 64;
        for (int i = 0; i < 3 * cols; ++i) {
            const float v = image->data[r][i];
            const int want = expected(v);
            EXPECT_EQ(std::uint8_t(colour[54 + bottom_up + 3 * (i / 3) + 2 - i % 3]), want) << v;
            EXPECT_EQ(std::uint8_t(grey[54 + 1024 + bottom_up + i]), want) << v;
            EXPECT_EQ(std::uint8_t(ppm[ppm_start + 3 * cols * r + i]), want) << v;
        }
        EXPECT_EQ(colour[54 + bottom_up + 63], 0) << "padding";
        EXPECT_EQ(grey[54 + 1024 + bottom_up + 63], 0) << "padding";
    }
}
