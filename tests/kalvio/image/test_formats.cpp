// Picture file readers and writers: headers, samples, messages, and that a
// failed read or write changes nothing.
#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>

#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

using kalvio_test::MessageRecorder;
using kalvio_test::TempDir;

namespace {

using Strings = std::vector<std::string>;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

// A grey image with the given rows of values.
CImage grey(std::vector<std::vector<float>> rows, int format, int datatype) {
    CImage image(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()), 0, format, datatype);
    for (int r = 0; r < image.nrows; ++r)
        for (int c = 0; c < image.ncols; ++c) image.data[r][c] = rows[r][c];
    return image;
}

// A 3 x 4 float image with 7 at (2, 3), and the check that a failed read
// left it so.
CImage marked_image() {
    CImage image(3, 4, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    image.data[2][3] = 7.0f;
    return image;
}
void expect_marked_image(const CImage& image) {
    EXPECT_EQ(std::vector<int>({image.nrows, image.ncols, image.format, image.datatype}),
              std::vector<int>({3, 4, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT}));
    ASSERT_NE(image.data, nullptr);
    EXPECT_EQ(image.data[2][3], 7.0f);
}

}  // namespace

// The headers other programs write are read in tests/interop
// (test_peer_read.cpp); none of them puts a comment inside the dimension line
// or ends it with CR LF.
TEST(PnmRead, CommentInsideTheDimensionLineAndCrLf) {
    TempDir dir;
    MessageRecorder messages;
    CImage image;
    TempDir::put(dir.path("b.ppm"), "P6 2 #w\r\n1 255\n" + bytes({10, 20, 30, 40, 50, 60}));
    ASSERT_EQ(image.ReadImage(dir.path("b.ppm").c_str()), 1);
    EXPECT_EQ(image.color, 1);
    EXPECT_EQ(image.format, KALVIO_FORMAT_PPM);
    EXPECT_EQ(image.ncols, 2);
    EXPECT_EQ(image.data[0][5], 60.0f);
    EXPECT_TRUE(messages.boxes().empty());
}

// Samples are read a block of rows (about 256 KiB) at a time: 16-bit grey
// and 8-bit colour pictures of several blocks and a rest.
TEST(PnmRead, PicturesOfSeveralBlocksKeepEverySample) {
    TempDir dir;
    const int rows = 700, cols = 301;
    std::string pgm = "P5\n301 700\n65535\n", ppm = "P6\n301 700\n255\n";
    const auto word = [](int r, int i) { return (r * 977 + i * 131) % 65536; };
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < 3 * cols; ++i) {
            if (i < cols) pgm += bytes({word(r, i) >> 8, word(r, i) & 0xFF});
            ppm += static_cast<char>(word(r, i) & 0xFF);
        }
    TempDir::put(dir.path("a.pgm"), pgm);
    TempDir::put(dir.path("a.ppm"), ppm);
    int nrows = 0, ncols = 0, type = 0;
    float** grey = read_pgm_image(dir.path("a.pgm").c_str(), &nrows, &ncols, &type);
    ASSERT_NE(grey, nullptr);
    EXPECT_EQ(std::vector<int>({nrows, ncols, type}), std::vector<int>({rows, cols, KALVIO_TYPE_INT16}));
    float** colour = read_ppm_image(dir.path("a.ppm").c_str(), &nrows, &ncols, &type);
    ASSERT_NE(colour, nullptr);
    int wrong = 0;
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < 3 * cols; ++i) {
            wrong += i < cols && grey[r][i] != static_cast<float>(word(r, i));
            wrong += colour[r][i] != static_cast<float>(word(r, i) & 0xFF);
        }
    EXPECT_EQ(wrong, 0);
    free_2D_float_array(grey);
    free_2D_float_array(colour);
}

TEST(ReadImage, BadFilesFailWithTheReadersMessageAndLeaveTheImageAsItWas) {
    TempDir dir;
    const std::string good = "P5\n2 2\n255\n" + bytes({1, 2, 3, 4});
    struct Case {
        std::string name, content, reader_message;
    };
    const std::vector<Case> cases = {
        {"short.pgm", good.substr(0, good.size() - 1), "read_pgm_image: Truncated file"},
        {"zero.pgm", "P5\n0 2\n255\n", "read_pgm_image: Bad header"},
        {"huge.pgm", "P5\n99999999999 2\n255\n", "read_pgm_image: Bad header"},
        {"overflow.ppm", "P6\n2147483647 2147483647\n255\nxx", "read_ppm_image: Bad header"},
        {"maxval.pgm", "P5\n2 2\n70000\n" + bytes({1, 2, 3, 4}), "read_pgm_image: Bad header"},
        {"nodims.pgm", "P5\n# nothing else\n", "read_pgm_image: Bad header"},
        {"short.qvf", "QV\n2 2\n7\n0\n" + std::string(7, 'x'), "read_qvf_image: Truncated file"},
        {"bad.qvf", "QV\n-2 2\n4\n0\n", "read_qvf_image: Bad header"},
        {"vast.qvf", "QV\n100000 100000\n0\n0\n", "read_qvf_image: Bad header"},
        {"wrapped.qvf", "QV\n7777777777771111 1\n4\n0\n", "read_qvf_image: Bad header"},
        {"colour16.qvf", "QV\n1 1\n7\n1\n" + std::string(6, 'x'), "A color image has to be in byte format"},
        {"tiny.med", std::string(127, '\0'), "read_tessil_image: File too short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir::put(dir.path(c.name), c.content);
        CImage image = marked_image();
        image.mag = make_2D_float_array(3, 4);
        MessageRecorder messages;
        EXPECT_EQ(image.ReadImage(dir.path(c.name).c_str()), 0);
        EXPECT_EQ(messages.texts(), (Strings{c.reader_message, "CImage: Can't read data"}));
        expect_marked_image(image);
        EXPECT_NE(image.mag, nullptr);
    }

    MessageRecorder messages;
    CImage image;
    EXPECT_EQ(image.ReadImage(dir.path("missing.pgm").c_str()), 0);
    EXPECT_EQ(image.ReadImage(dir.root().c_str()), 0) << "a folder is not a picture";
    EXPECT_EQ(messages.texts(), (Strings{"CImage: Can't open file", "CImage: Can't open file"}));
    // A qvf colour flag other than 0 or 1 fails without a reader message.
    messages.clear();
    TempDir::put(dir.path("flag.qvf"), "QV\n1 1\n4\n2\n");
    EXPECT_EQ(image.ReadImage(dir.path("flag.qvf").c_str()), 0);
    EXPECT_EQ(messages.texts(), (Strings{"CImage: Can't read data"}));
}

TEST(ReadImage, ChoosesTheReaderFromTheFirstLineAndKeepsPlanesOnlyWhenTheSizeHolds) {
    TempDir dir;
    MessageRecorder messages;
    CImage image(2, 3, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    image.mag = make_2D_float_array(2, 3);
    image.dir = make_2D_float_array(2, 3);
    TempDir::put(dir.path("same.pgm"), "P5\n3 2\n255\n" + bytes({1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(image.ReadImage(dir.path("same.pgm").c_str()), 1);
    EXPECT_NE(image.mag, nullptr);
    EXPECT_NE(image.dir, nullptr);

    // "QV" later in the line does not make a qvf file: the medical reader
    // takes the file, and 512 bytes make a 16 x 16 picture.
    TempDir::put(dir.path("xqv.dat"), "xQV\n" + std::string(508, '\0'));
    ASSERT_EQ(image.ReadImage(dir.path("xqv.dat").c_str()), 1);
    EXPECT_EQ(image.format, KALVIO_FORMAT_TESSIL);
    EXPECT_EQ(image.datatype, KALVIO_TYPE_INT16);
    EXPECT_EQ(image.nrows, 16);
    EXPECT_EQ(image.mag, nullptr) << "planes of another size are released";
    EXPECT_EQ(image.dir, nullptr);
    EXPECT_EQ(image.WriteImage(dir.path("back.med").c_str()), 0) << "no writer for this format";
    EXPECT_FALSE(std::filesystem::exists(dir.path("back.med")));
    EXPECT_TRUE(messages.boxes().empty());
}

TEST(ReadImage, FilesNoReaderTakesAreNamedInsteadOfGuessedAsMedical) {
    TempDir dir;
    // Each would make a 128 x 128 medical picture by its length alone.
    const std::string body(2 * 128 * 128, '\0');
    const std::string unsupported = "CImage: Unsupported file format";
    const std::string ascii = "CImage: ASCII PNM is not supported";
    struct Case {
        std::string name, content, message;
    };
    const std::vector<Case> cases = {
        {"a.gif", "GIF87a" + body, unsupported},
        {"b.gif", "GIF89a" + body, unsupported},
        {"p1.pbm", "P1\n# bits\n2 1\n0 1\n", ascii},
        {"p2.pgm", "P2 2 1 255\n" + std::string(40000, ' ') + "1 2\n", ascii},
        {"p3.ppm", "P3\r\n1 1\n255\n1 2 3\n", ascii},
        {"p4.pbm", "P4\n16 2\n" + bytes({0xAA, 0x55, 0x00, 0xFF}), "CImage: PBM bitmaps are not supported"},
        {"notes.txt", "These are not pixels.\n\tIndented\r\n", "CImage: Unrecognised file format"},
        {"long.txt", std::string(2 * 64 * 64, 'x'), "CImage: Unrecognised file format"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir::put(dir.path(c.name), c.content);
        CImage image = marked_image();
        MessageRecorder messages;
        EXPECT_EQ(image.ReadImage(dir.path(c.name).c_str()), 0);
        EXPECT_EQ(messages.texts(), Strings{c.message});
        expect_marked_image(image);
    }
    // Damaged PNG, JPEG and TIFF files go to their own readers, which say
    // what is wrong.
    const Case damaged[] = {
        {"a.png", "\x89PNG\r\n\x1a\n" + body, "read_png_image: "},
        {"a.jpg", bytes({0xFF, 0xD8, 0xFF, 0xE0}) + body, "read_jpeg_image: "},
        {"le.tif", bytes({'I', 'I', '*', 0}) + body, "read_tiff_image: "},
        {"be.tif", bytes({'M', 'M', 0, '*'}) + body, "read_tiff_image: "},
    };
    for (const Case& c : damaged) {
        SCOPED_TRACE(c.name);
        TempDir::put(dir.path(c.name), c.content);
        CImage image = marked_image();
        MessageRecorder messages;
        EXPECT_EQ(image.ReadImage(dir.path(c.name).c_str()), 0);
        ASSERT_EQ(messages.texts().size(), 2u);
        EXPECT_EQ(messages.texts()[0].rfind(c.message, 0), 0u) << messages.texts()[0];
        EXPECT_EQ(messages.texts()[1], "CImage: Can't read data");
        expect_marked_image(image);
    }

    // Binary files without a signature still go to the medical reader, also
    // when their header begins like a netpbm file or is text up to the pixels.
    MessageRecorder messages;
    for (const auto& [header, side] : {std::pair{std::string("P1\n"), 8},
                                       {"P4" + std::string(10, '\0'), 8},
                                       {"ACR-NEMA " + std::string(591, 'h'), 16}}) {
        SCOPED_TRACE(header.substr(0, 2));
        std::string file = header + std::string(2 * side * side, '\0');
        file[file.size() - 1] = 1;
        TempDir::put(dir.path("m.ima"), file);
        CImage image;
        ASSERT_EQ(image.ReadImage(dir.path("m.ima").c_str()), 1);
        EXPECT_EQ(image.format, KALVIO_FORMAT_TESSIL);
        EXPECT_EQ(image.nrows, side);
        EXPECT_EQ(image.data[side - 1][side - 1], 1.0f);
    }
    EXPECT_TRUE(messages.boxes().empty());
}

TEST(ReadImage, FifosAreRefusedWithoutWaitingForAWriter) {
    TempDir dir;
    const std::string fifo = dir.path("pipe.pgm");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    MessageRecorder messages;
    auto result = std::async(std::launch::async, [&] {
        CImage image;
        return image.ReadImage(fifo.c_str());
    });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "ReadImage waits for a writer";
        // Let the blocked open return so that the test can end.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(messages.texts(), Strings{"CImage: Can't open file"});
}

TEST(MedicalRead, SideAndHeaderComeFromTheLengthAndSamplesFromEitherByteOrder) {
    TempDir dir;
    int rows = 0, cols = 0;
    for (auto [length, side] : {std::pair{131072 + 6000, 256}, {131072, 256}, {512, 16},
                                {200, 8}, {2 * 32 * 32 + 1, 32}}) {
        SCOPED_TRACE(length);
        std::string file(static_cast<std::size_t>(length), '\0');
        // The first pixel of the picture, big-endian 4095.
        file[length - 2 * side * side] = 0x0F;
        file[length - 2 * side * side + 1] = static_cast<char>(0xFF);
        TempDir::put(dir.path("m.dat"), file);
        float** data = read_medical_image(dir.path("m.dat").c_str(), &rows, &cols);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(rows, side);
        EXPECT_EQ(cols, side);
        EXPECT_EQ(data[0][0], 4095.0f);
        free_2D_float_array(data);
    }
    // A negative big-endian sample: every sample is re-read as 12 bits,
    // little-endian.
    std::string file(2 * 8 * 8, '\0');
    file[0] = static_cast<char>(0x80);  // -32768 big-endian; 0x080 little-endian (128)
    file[2] = 0x34;
    file[3] = static_cast<char>(0xF2);  // little-endian 0xF234: low 12 bits 0x234
    TempDir::put(dir.path("le.dat"), file);
    float** data = read_medical_image(dir.path("le.dat").c_str(), &rows, &cols);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0][0], 128.0f);
    EXPECT_EQ(data[0][1], 0x234);
    free_2D_float_array(data);
}

TEST(QvfFile, SixteenBitImageRoundTripsByteForByte) {
    TempDir dir;
    const std::string file =
        "QV\n2 3\n7\n0\n" + bytes({1, 0, 0xFF, 0xFF, 0, 0x80, 2, 1, 0x34, 0x12, 0xFE, 0x7F});
    TempDir::put(dir.path("in.qvf"), file);
    CImage image;
    ASSERT_EQ(image.ReadImage(dir.path("in.qvf").c_str()), 1);
    EXPECT_EQ(image.nrows, 2);
    EXPECT_EQ(image.ncols, 3);
    EXPECT_EQ(image.datatype, KALVIO_TYPE_INT16);
    EXPECT_EQ(image.data[0][1], -1.0f);
    EXPECT_EQ(image.data[0][2], -32768.0f);
    EXPECT_EQ(image.data[1][2], 32766.0f);
    ASSERT_EQ(image.WriteImage(dir.path("out.qvf").c_str()), 1);
    EXPECT_EQ(TempDir::get(dir.path("out.qvf")), file);

    for (int type : {KALVIO_TYPE_UINT8, KALVIO_TYPE_INT32, KALVIO_TYPE_FLOAT}) {
        SCOPED_TRACE(type);
        CImage source = grey({{-2.5f, 1.0f}, {300.0f, 1e6f}}, KALVIO_FORMAT_QVF, type);
        ASSERT_EQ(source.WriteImage(dir.path("t.qvf").c_str()), 1);
        CImage back;
        ASSERT_EQ(back.ReadImage(dir.path("t.qvf").c_str()), 1);
        EXPECT_EQ(back.datatype, type);
        const float expect_last = type == KALVIO_TYPE_UINT8 ? 64.0f : 1e6f;  // 1,000,000 & 0xFF
        EXPECT_EQ(back.data[1][1], expect_last);
        EXPECT_EQ(back.data[0][0], type == KALVIO_TYPE_FLOAT   ? -2.5f
                                   : type == KALVIO_TYPE_UINT8 ? 254.0f
                                                               : -2.0f);
    }
    MessageRecorder messages;
    CImage colour(1, 1, 1, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    EXPECT_EQ(colour.WriteImage(dir.path("c.qvf").c_str()), 0);
    EXPECT_EQ(messages.texts(), (Strings{"write_qvf_image: A color image has to be in byte format"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path("c.qvf")));
}

// How samples are truncated and wrapped on writing is checked by the peers
// reading the files kalvio_write_samples writes (tests/interop).
TEST(PnmWrite, ColourToGreyAsksAndCancelLeavesTheOldFileUntouched) {
    TempDir dir;
    CImage colour(1, 2, 1, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    const float channels[] = {1, 1, 1, 10, 20, 32};
    for (int i = 0; i < 6; ++i) colour.data[0][i] = channels[i];
    const std::string target = dir.path("c.pgm");
    TempDir::put(target, "the user's picture");
    {
        MessageRecorder messages;
        messages.answer(IDCANCEL);
        EXPECT_EQ(colour.WriteImage(target.c_str()), 0);
        ASSERT_EQ(messages.boxes().size(), 1u);
        EXPECT_EQ(messages.boxes()[0].text, "write_pgm_file: Converting to gray level");
        EXPECT_EQ(messages.boxes()[0].buttons, kalvio::MessageButtons::OkCancel);
    }
    EXPECT_EQ(TempDir::get(target), "the user's picture");
    EXPECT_EQ(dir.entries(), 1u) << "the temporary file is removed";
    MessageRecorder messages;
    EXPECT_EQ(colour.WriteImage(target.c_str()), 1);
    EXPECT_EQ(TempDir::get(target), "P5\n2 1\n255\n" + bytes({1, 20}));
}

TEST(Writers, CreateFailuresAreReportedAndNothingIsWritten) {
    TempDir dir;
    CImage image = grey({{1, 2}, {3, 4}}, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    const std::string nowhere = dir.path("no/such/folder/out");
    struct Case {
        int format;
        const char* message;
    };
    for (Case c : {Case{KALVIO_FORMAT_PGM, "write_pgm_image: Can't create file"},
                   {KALVIO_FORMAT_PPM, "write_ppm_image: Can't create file"},
                   {KALVIO_FORMAT_BMP, "write_bmp_image: Can't create file"},
                   {KALVIO_FORMAT_QVF, "write_qvf_image: Can't create file"},
                   {KALVIO_FORMAT_DUTA, "write_duta_image: Can't create file"},
                   {KALVIO_FORMAT_RAW, "write_raw_image: Can't create file"}}) {
        MessageRecorder messages;
        image.format = c.format;
        EXPECT_EQ(image.WriteImage(nowhere.c_str()), 0);
        EXPECT_EQ(messages.texts(), Strings{c.message});
    }
    MessageRecorder messages;
    CImage empty;
    empty.format = KALVIO_FORMAT_PGM;
    EXPECT_EQ(empty.WriteImage(dir.path("e.pgm").c_str()), 0) << "an image without pixels";
    EXPECT_EQ(dir.entries(), 0u);
}

TEST(Writers, BigEndianAndRawLayouts) {
    TempDir dir;
    CImage image = grey({{1.0f, -2.0f}, {70000.0f, 258.9f}}, KALVIO_FORMAT_DUTA, KALVIO_TYPE_INT16);
    ASSERT_EQ(image.WriteImage(dir.path("d.duta").c_str()), 1);
    EXPECT_EQ(TempDir::get(dir.path("d.duta")),
              bytes({0, 2, 0, 2, 0, 1, 0xFF, 0xFE, 0x11, 0x70, 1, 2}));
    image.format = KALVIO_FORMAT_RAW;
    ASSERT_EQ(image.WriteImage(dir.path("r.raw").c_str()), 1);
    EXPECT_EQ(TempDir::get(dir.path("r.raw")), bytes({1, 0, 0xFE, 0xFF, 0x70, 0x11, 2, 1}));
    image.datatype = KALVIO_TYPE_UNSET;
    ASSERT_EQ(image.WriteImage(dir.path("empty.raw").c_str()), 1);
    EXPECT_EQ(TempDir::get(dir.path("empty.raw")), "");

    // brantow: the template's header (all but its last 131,072 bytes), then
    // big-endian pixels; without a template nothing is created.
    image.format = KALVIO_FORMAT_BRANTOW;
    {
        MessageRecorder messages;
        unsetenv("KALVIO_BRANTOW_TEMPLATE");
        EXPECT_EQ(image.WriteImage(dir.path("b.img").c_str()), 0);
        EXPECT_EQ(messages.texts(), Strings{"write_brantow_image: Can't open template file"});
        EXPECT_FALSE(std::filesystem::exists(dir.path("b.img")));
    }
    TempDir::put(dir.path("template.img"), "HDR" + std::string(131072, 'p'));
    setenv("KALVIO_BRANTOW_TEMPLATE", dir.path("template.img").c_str(), 1);
    EXPECT_EQ(image.WriteImage(dir.path("b.img").c_str()), 1);
    unsetenv("KALVIO_BRANTOW_TEMPLATE");
    EXPECT_EQ(TempDir::get(dir.path("b.img")), "HDR" + bytes({0, 1, 0xFF, 0xFE, 0x11, 0x70, 1, 2}));
}

TEST(Raw2Img, LayoutsByteOrdersAndRefusals) {
    TempDir dir;
    TempDir::put(dir.path("r.bin"), "skip" + bytes({0x12, 0x34, 0xF2, 0x34, 1, 2, 3, 4, 5, 6}));
    const std::string path = dir.path("r.bin");
    std::unique_ptr<CImage> be(Raw2Img(path.c_str(), 1, 2, 0, 1, 1, 4));
    ASSERT_NE(be, nullptr);
    EXPECT_EQ(be->data[0][0], 0x234);
    EXPECT_EQ(be->data[0][1], 0x234);
    EXPECT_EQ(be->datatype, KALVIO_TYPE_INT16);
    EXPECT_EQ(be->format, KALVIO_FORMAT_QVF);
    std::unique_ptr<CImage> le(Raw2Img(path.c_str(), 1, 2, 0, 2, 0, 4));
    EXPECT_EQ(le->data[0][0], 0x3412);
    EXPECT_EQ(le->data[0][1], static_cast<std::int16_t>(0x34F2));
    std::unique_ptr<CImage> planar(Raw2Img(path.c_str(), 1, 2, 1, 1, 0, 8));
    ASSERT_NE(planar, nullptr);
    EXPECT_EQ(planar->data[0][0], 1.0f);
    EXPECT_EQ(planar->data[0][1], 3.0f);
    EXPECT_EQ(planar->data[0][2], 5.0f);
    EXPECT_EQ(planar->data[0][3], 2.0f);

    MessageRecorder messages;
    EXPECT_EQ(Raw2Img(dir.path("none").c_str(), 1, 1, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(Raw2Img(path.c_str(), 1, 1, 1, 2, 0, 0), nullptr);
    EXPECT_EQ(Raw2Img(path.c_str(), 100, 100, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(Raw2Img(path.c_str(), 1, 1, 0, 0, 0, -5), nullptr);
    EXPECT_EQ(messages.texts(), (Strings{"Raw2Img: Can't open file", "Raw2Img: Unknown colour and layout",
                                         "Raw2Img: Truncated file", "Raw2Img: Truncated file"}));
}

TEST(TextHelpers, PrefixAndMarkerTests) {
    EXPECT_EQ(are_equal("P5\n", "P5"), 1);
    EXPECT_EQ(are_equal("P", "P5"), 0);
    EXPECT_EQ(are_equal("anything", ""), 1);
    EXPECT_EQ(acr_nema("xx ACR-NEMA 2.0"), 1);
    EXPECT_EQ(acr_nema("ACR NEMA"), 0);
}

TEST(ByteOrderHelpers, BigEndianRoundTrip) {
    FILE* fp = std::tmpfile();
    ASSERT_NE(fp, nullptr);
    putshort(-2, fp);
    putshort(0x1234, fp);
    const unsigned char f[] = {0x40, 0x49, 0x0F, 0xDB};  // pi as a big-endian float
    std::fwrite(f, 1, 4, fp);
    std::rewind(fp);
    EXPECT_EQ(getshort(fp), -2);
    EXPECT_EQ(getshort(fp), 0x1234);
    EXPECT_FLOAT_EQ(getfloat(fp), 3.14159265f);
    std::rewind(fp);
    EXPECT_EQ(getint(fp), static_cast<int>(0xFFFE1234));
    std::fclose(fp);
}
