// CVideo: qvf movies written and read back pixel for pixel (AVI files are
// checked against ffmpeg in tests/interop), hostile qvf files, frame stepping,
// WriteVideo conversions, and the sequence operations checked against the
// image operations they apply per frame.
#include <kalvio/video.h>

#include <gtest/gtest.h>

#include "message_recorder.h"
#include "temp_dir.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using kalvio_test::MessageRecorder;
using kalvio_test::TempDir;
using Video = std::unique_ptr<CVideo>;
using Image = std::unique_ptr<CImage>;
namespace fs = std::filesystem;
constexpr int QVF = KALVIO_VIDEO_QVF, AVI = KALVIO_VIDEO_AVI;
constexpr int U8 = KALVIO_TYPE_UINT8, I16 = KALVIO_TYPE_INT16;

// Sample of frame k at row r, float i of the row (i < ncols grey, < 3 ncols colour).
using Pixels = std::function<float(int k, int r, int i)>;
const Pixels plain = [](int k, int r, int i) { return 100.0f * k + 10.0f * r + i; };

// A sample as stored in `type`: truncated toward zero, then its low bits.
float stored(float v, int type) {
    if (type == KALVIO_TYPE_FLOAT) return v;
    if (std::isnan(v)) return 0.0f;
    const auto i = static_cast<std::int32_t>(std::trunc(v));
    if (type == U8) return static_cast<std::uint8_t>(i);
    if (type == I16) return static_cast<std::int16_t>(i);
    return static_cast<float>(i);
}

Image picture(int rows, int cols, int color, int type, int k, const Pixels& f) {
    auto image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_QVF, type);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < cols * (color ? 3 : 1); ++i) image->data[r][i] = f(k, r, i);
    return image;
}

std::vector<float> pixels(const CImage& image) {
    std::vector<float> out;
    for (int r = 0; r < image.nrows; ++r)
        out.insert(out.end(), image.data[r], image.data[r] + image.ncols * (image.color ? 3 : 1));
    return out;
}

bool write_movie(const std::string& path, int kind, int rows, int cols, int frames, int type,
                 int color, const Pixels& f) {
    CVideo movie(path.c_str(), rows, cols, frames, kind, type, color);
    bool ok = true;
    for (int k = 0; k < frames; ++k)
        ok = movie.WriteCurrentFrame(picture(rows, cols, color, type, k, f).get()) == 1 && ok;
    return movie.CloseVideo() == 1 && ok;
}

// Opens the movie and compares the frames, visited in `order`, with `want`.
void expect_movie(const std::string& path, int frames, int rows, int cols, int color,
                  const Pixels& want, std::vector<int> order = {}) {
    CVideo video;
    ASSERT_EQ(video.OpenVideo(path.c_str()), 1) << path;
    EXPECT_EQ(video.nframes, frames);
    ASSERT_EQ(video.nrows * 1000 + video.ncols, rows * 1000 + cols);
    EXPECT_EQ(video.color, color);
    for (int k = 0; order.empty() && k < frames; ++k) order.push_back(k);
    for (int k : order) {
        ASSERT_EQ(video.GetFrame(k), 1) << k;
        EXPECT_EQ(video.current, k);
        EXPECT_EQ(pixels(*video.frame), pixels(*picture(rows, cols, color, 0, k, want))) << k;
    }
}

TEST(VideoQvf, RoundTripsEverySampleTypeAndColour) {
    TempDir dir;
    const float specials[] = {0, 1, 255, 256, -1, 300.7f, -2.9f, -0.5f, 70000.5f, -40000, 12.25f};
    const Pixels sample = [&](int k, int r, int i) { return specials[(r * 21 + i + 3 * k) % 11]; };
    const std::string path = dir.path("movie.qvf");
    for (auto [type, color, bytes] : {std::array{U8, 0, 1}, {I16, 0, 2}, {KALVIO_TYPE_INT32, 0, 4},
                                      {KALVIO_TYPE_FLOAT, 0, 4}, {U8, 1, 3}}) {
        SCOPED_TRACE(type * 10 + color);
        ASSERT_TRUE(write_movie(path, QVF, 5, 7, 3, type, color, sample));
        std::istringstream header(TempDir::get(path));
        std::string magic;
        std::vector<int> fields(5);
        header >> magic >> fields[0] >> fields[1] >> fields[2] >> fields[3] >> fields[4];
        EXPECT_EQ(magic, "QV");
        EXPECT_EQ(fields, std::vector<int>({5, 7, 3, type, color}));
        expect_movie(path, 3, 5, 7, color,
                     [&](int k, int r, int i) { return stored(sample(k, r, i), type); }, {2, 0, 1});
        CVideo video;
        ASSERT_EQ(video.OpenVideo(path.c_str()), 1);
        EXPECT_EQ(video.kind, QVF);
        EXPECT_EQ(video.datatype, type);
        EXPECT_EQ(video.framesize, 35 * bytes);
    }
}

TEST(VideoQvf, LocatesFramesFromTheEndOfTheFile) {
    // Padded header lines and stray bytes before the frames change nothing.
    TempDir dir;
    std::string frames;
    for (int i = 0; i < 12; ++i) frames.push_back(static_cast<char>(10 * (i / 4) + i % 4 + 1));
    for (const std::string& header : {std::string("QV\n2 2 3\n4\n0\n"),
                                      "QV\n  2   2   3" + std::string(200, ' ') + "\n4\n0\nxx"}) {
        TempDir::put(dir.path("hand.qvf"), header + frames);
        CVideo video;
        ASSERT_EQ(video.OpenVideo(dir.path("hand.qvf").c_str()), 1);
        EXPECT_EQ(video.framesize, 4);
        expect_movie(dir.path("hand.qvf"), 3, 2, 2, 0,
                     [](int k, int r, int c) { return 10.0f * k + 2.0f * r + c + 1; }, {1, 2, 0});
    }
}

TEST(VideoQvf, StepsAroundBothEndsAndSwitchesMovies) {
    TempDir dir;
    const Pixels other = [](int k, int r, int c) { return 200.0f + 10.0f * k + 3.0f * r + c; };
    ASSERT_TRUE(write_movie(dir.path("m.qvf"), QVF, 5, 7, 3, I16, 0, plain));
    ASSERT_TRUE(write_movie(dir.path("b.qvf"), QVF, 3, 4, 2, U8, 0, other));
    CVideo video;
    ASSERT_EQ(video.OpenVideo(dir.path("m.qvf").c_str()), 1);
    EXPECT_EQ(video.current, 0);
    for (auto [next, then] : {std::pair{false, 2}, {false, 1}, {true, 2}, {true, 0}, {true, 1}}) {
        ASSERT_EQ(next ? video.GetNextFrame() : video.GetPreviousFrame(), 1);
        EXPECT_EQ(video.current, then);
        EXPECT_EQ(video.frame->data[4][6], plain(then, 4, 6));
    }
    for (int index : {-1, 3, std::numeric_limits<int>::min()}) {
        EXPECT_EQ(video.GetFrame(index), 0) << index;
        EXPECT_EQ(video.current, 1);
        EXPECT_EQ(pixels(*video.frame), pixels(*picture(5, 7, 0, 0, 1, plain)));
    }
    // Opening another movie closes this one: every frame is the new movie's.
    ASSERT_EQ(video.OpenVideo(dir.path("b.qvf").c_str()), 1);
    EXPECT_EQ(video.current, 0);
    EXPECT_EQ(video.nframes, 2);
    EXPECT_EQ(pixels(*video.frame), pixels(*picture(3, 4, 0, 0, 0, other)));
    EXPECT_EQ(video.GetFrame(2), 0);
    ASSERT_EQ(video.GetPreviousFrame(), 1);
    EXPECT_EQ(pixels(*video.frame), pixels(*picture(3, 4, 0, 0, 1, other)));
}

TEST(VideoQvf, RefusesHostileFilesWithoutCrashingOrWaiting) {
    TempDir dir;
    ASSERT_TRUE(write_movie(dir.path("good.qvf"), QVF, 2, 2, 1, U8, 0, plain));
    fs::create_directory(dir.path("folder"));
    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
    const std::string bad = "OpenMovie: Bad movie header", cut = "OpenMovie: Truncated file",
                      any = "(either)", four(4, '\1');
    const std::pair<std::string, std::string> files[] = {
        {"QV\n2 2 3\n4\n0\n" + four + four, cut}, {"QV\n1 1 2147483647\n6\n0\n" + four, cut},
        {"QV\n-2 2 1\n4\n0\n" + four, bad},       {"QV\n2 0 1\n4\n0\n" + four, bad},
        {"QV\n2 2 -1\n4\n0\n" + four, bad},       {"QV\n2 2 0\n4\n0\n" + four, any},
        {"QV\n2 2 1\n3\n0\n" + four, bad},        {"QV\n2 2 1\n0\n0\n" + four, bad},
        {"QV\n2 2 1\n4\n2\n" + four + four + four, bad},
        {"QV\n100000 100000 100000\n4\n0\n" + four, any},
        {"QV\n2 2 1\n4\n", bad}, {"QV\n2 2\n4\n0\n" + four, bad}, {"", ""}, {"GIF89a", ""},
        {"folder", "OpenMovie: Can't open file"}, {"fifo", "OpenMovie: Can't open file"},
        {"missing", "OpenMovie: Can't open file"}};
    for (const auto& [bytes, message] : files) {
        SCOPED_TRACE(bytes.substr(0, 40));
        std::string path = dir.path(bytes);  // the last three are names, not contents
        if (message.find("Can't open") == std::string::npos)
            TempDir::put(path = dir.path("bad"), bytes);
        CVideo video;
        ASSERT_EQ(video.OpenVideo(dir.path("good.qvf").c_str()), 1);
        MessageRecorder messages;
        EXPECT_EQ(video.OpenVideo(path.c_str()), 0);
        if (message == any)
            EXPECT_EQ(messages.texts().size(), 1u);
        else
            EXPECT_EQ(messages.texts(), message.empty() ? std::vector<std::string>{}
                                                        : std::vector<std::string>{message});
        // The first movie was closed: nothing is left to read.
        EXPECT_EQ(video.file, nullptr);
        EXPECT_EQ(video.GetFrame(0) + video.GetNextFrame() + video.GetPreviousFrame(), 0);
    }
}

TEST(VideoQvf, WritesOnlyWhatTheHeaderPromises) {
    TempDir dir;
    MessageRecorder messages;
    const Image right = picture(5, 7, 0, U8, 0, plain), wrong = picture(7, 5, 0, U8, 0, plain);
    CImage empty;
    CVideo never;
    EXPECT_EQ(never.WriteCurrentFrame(right.get()), 0);

    const std::string path = dir.path("movie.qvf");
    CVideo movie(path.c_str(), 5, 7, 2, QVF, I16, 0);
    ASSERT_NE(movie.frame, nullptr);
    EXPECT_EQ(movie.frame->datatype, I16);
    EXPECT_EQ(pixels(*movie.frame), std::vector<float>(35, 0.0f));
    EXPECT_EQ(movie.WriteCurrentFrame(nullptr), 0);
    EXPECT_EQ(movie.WriteCurrentFrame(wrong.get()), 0);
    EXPECT_EQ(movie.WriteCurrentFrame(&empty), 0);
    EXPECT_EQ(movie.WriteCurrentFrame(right.get()) + movie.WriteCurrentFrame(right.get()), 2);
    EXPECT_EQ(movie.WriteCurrentFrame(right.get()), 0);  // the header promised two
    EXPECT_EQ(movie.current, 2);
    EXPECT_FALSE(fs::exists(path));  // published when closed
    EXPECT_EQ(movie.CloseVideo() + movie.CloseVideo(), 2);
    EXPECT_EQ(dir.entries(), 1u);
    EXPECT_EQ(movie.WriteCurrentFrame(right.get()), 0);
    EXPECT_EQ(movie.GetFrame(0) + movie.GetNextFrame() + movie.GetPreviousFrame(), 0);
    EXPECT_EQ(movie.name, path);
    expect_movie(path, 2, 5, 7, 0, [](int, int r, int c) { return plain(0, r, c); });

    // Two of four frames, finished by the destructor: the movie holds two.
    {
        CVideo partial(dir.path("partial.qvf").c_str(), 5, 7, 4, QVF, I16, 0);
        for (int k = 0; k < 2; ++k)
            ASSERT_EQ(partial.WriteCurrentFrame(picture(5, 7, 0, 0, k, plain).get()), 1);
    }
    expect_movie(dir.path("partial.qvf"), 2, 5, 7, 0, plain);

    messages.clear();
    CVideo nowhere(dir.path("none/m.avi").c_str(), 5, 7, 2, AVI, U8, 0);
    CVideo no_rows(dir.path("m.qvf").c_str(), 0, 7, 2, QVF, U8, 0);
    EXPECT_EQ(messages.texts(), std::vector<std::string>({"create_movie: Can't create AVI file",
                                                          "create_movie: Bad movie size"}));
    EXPECT_EQ(nowhere.WriteCurrentFrame(right.get()) + no_rows.WriteCurrentFrame(right.get()), 0);
}

TEST(VideoWrite, ConvertsAndCopiesUnderAnyName) {
    TempDir dir;
    MessageRecorder messages;
    const std::string qvf = dir.path("movie.qvf");
    ASSERT_TRUE(write_movie(qvf, QVF, 5, 7, 3, U8, 0, plain));
    CVideo source, movie, closed;
    ASSERT_EQ(source.OpenVideo(qvf.c_str()), 1);
    // Names with blanks and shell characters are only ever names.
    const std::string avi = dir.path("a b;touch PWNED$(x)'\".avi");
    const std::string copy = dir.path("c `touch PWNED` | & *.avi");
    ASSERT_EQ(source.WriteVideo(avi.c_str(), AVI, 0, 0, U8), 1);
    expect_movie(avi, 3, 5, 7, 0, plain, {2, 0, 1});
    ASSERT_EQ(movie.OpenVideo(avi.c_str()), 1);
    ASSERT_EQ(movie.WriteVideo(dir.path("back.qvf").c_str(), QVF, 0, 0, I16), 1);
    expect_movie(dir.path("back.qvf"), 3, 5, 7, 0, plain);
    ASSERT_EQ(movie.WriteVideo(copy.c_str(), AVI, 0, 0, U8), 1);
    EXPECT_EQ(TempDir::get(copy), TempDir::get(avi));
    EXPECT_FALSE(fs::exists(dir.path("PWNED")) || fs::exists("PWNED"));
    EXPECT_EQ(dir.entries(), 4u);

    // Its own file, however spelled, is refused and left intact; so are
    // missing folders and a movie that cannot be read.
    const std::string avi_bytes = TempDir::get(avi), qvf_bytes = TempDir::get(qvf);
    const std::string respelled = dir.root().string() + "/./" + fs::path(avi).filename().string();
    EXPECT_EQ(movie.WriteVideo(avi.c_str(), AVI, 0, 0, U8), 0);
    EXPECT_EQ(movie.WriteVideo(respelled.c_str(), AVI, 0, 0, U8), 0);
    EXPECT_EQ(movie.WriteVideo(avi.c_str(), QVF, 0, 0, U8), 0);
    EXPECT_EQ(source.WriteVideo(qvf.c_str(), QVF, 0, 0, U8), 0);
    EXPECT_EQ(TempDir::get(avi), avi_bytes);
    EXPECT_EQ(TempDir::get(qvf), qvf_bytes);
    for (CVideo* from : {&source, &movie})
        for (int kind : {AVI, QVF})
            EXPECT_EQ(from->WriteVideo(dir.path("none/x").c_str(), kind, 0, 0, U8), 0);
    EXPECT_EQ(closed.WriteVideo(dir.path("y.qvf").c_str(), QVF, 0, 0, U8), 0);
    EXPECT_EQ(dir.entries(), 4u);
}

TEST(VideoWrite, NormalisesGreyFrames) {
    TempDir dir;
    const Pixels wide = [](int k, int r, int c) { return (k + 1.0f) * (37.0f * r - 11 * c) - 90; };
    ASSERT_TRUE(write_movie(dir.path("in.qvf"), QVF, 5, 7, 3, I16, 0, wide));
    CVideo source;
    ASSERT_EQ(source.OpenVideo(dir.path("in.qvf").c_str()), 1);
    ASSERT_EQ(source.WriteVideo(dir.path("out.qvf").c_str(), QVF, 0, 1, U8), 1);
    std::vector<Image> want;
    for (int k = 0; k < 3; ++k) {
        want.push_back(picture(5, 7, 0, I16, k, wide));
        want.back()->Normalize(0, 255);
    }
    expect_movie(dir.path("out.qvf"), 3, 5, 7, 0,
                 [&](int k, int r, int c) { return stored(want[k]->data[r][c], U8); });
}

// A returned movie is closed and lives in a temporary file of its own.
void expect_sequence(const Video& result, int frames, int rows, int cols, int color,
                     const Pixels& want) {
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->GetFrame(0), 0);
    EXPECT_EQ(result->kind, QVF);
    EXPECT_TRUE(fs::exists(result->name));
    expect_movie(result->name, frames, rows, cols, color, want);
}

TEST(VideoSequence, ExtractAndImagesFromVideo) {
    TempDir dir;
    MessageRecorder messages;
    // The source is closed: the operations read it by name.
    CVideo source(dir.path("m.qvf").c_str(), 5, 7, 4, QVF, I16, 0);
    for (int k = 0; k < 4; ++k)
        ASSERT_EQ(source.WriteCurrentFrame(picture(5, 7, 0, 0, k, plain).get()), 1);
    ASSERT_EQ(source.CloseVideo(), 1);
    Video a(source.Extract(1, 2, 1, 2, 3, 4)), b(source.Extract(0, 3, 0, 0, 5, 7));
    expect_sequence(a, 2, 3, 4, 0, [](int k, int r, int c) { return plain(k + 1, r + 1, c + 2); });
    expect_sequence(b, 4, 5, 7, 0, plain);
    EXPECT_EQ(a->datatype, I16);
    ASSERT_NE(a->name, b->name);
    // A failed open keeps the movie's file and name for the next operation;
    // only deleting the object removes the file.
    EXPECT_EQ(a->OpenVideo(dir.path("missing.qvf").c_str()), 0);
    EXPECT_TRUE(fs::exists(a->name));
    EXPECT_NE(Video(a->Reduce(1, 0)), nullptr);
    const std::string name = a->name;
    a.reset();
    EXPECT_FALSE(fs::exists(name));
    EXPECT_TRUE(fs::exists(b->name));
    for (auto x : {std::array{2, 1, 0, 0, 5, 7}, {-1, 1, 0, 0, 5, 7}, {0, 4, 0, 0, 5, 7},
                   {0, 1, 3, 0, 3, 7}, {0, 1, 0, 4, 5, 4}, {0, 1, -1, 0, 2, 2}, {0, 1, 0, 0, 0, 7}})
        EXPECT_EQ(Video(source.Extract(x[0], x[1], x[2], x[3], x[4], x[5])), nullptr)
            << x[0] << ' ' << x[1] << ' ' << x[2] << ' ' << x[3] << ' ' << x[4] << ' ' << x[5];
    EXPECT_EQ(Video(CVideo().Extract(0, 0, 0, 0, 1, 1)), nullptr);

    const std::string prefix = dir.path("f");
    ASSERT_EQ(source.OpenVideo(dir.path("m.qvf").c_str()), 1);
    ASSERT_EQ(source.ImagesFromVideo(prefix.c_str(), 10, ".qvf", KALVIO_FORMAT_QVF, I16), 1);
    for (int k = 0; k < 4; ++k) {
        CImage image;
        ASSERT_EQ(image.ReadImage((prefix + std::to_string(10 + k) + ".qvf").c_str()), 1);
        EXPECT_EQ(pixels(image), pixels(*picture(5, 7, 0, 0, k, plain)));
    }
}

TEST(VideoSequence, ReduceAndSuperposeApplyTheImageOperations) {
    TempDir dir;
    MessageRecorder messages;
    ASSERT_TRUE(write_movie(dir.path("m.qvf"), QVF, 5, 7, 3, I16, 0, plain));
    const Pixels mask = [](int k, int r, int c) { return (r + c + k) % 3 == 0 ? 1.0f : 0.0f; };
    ASSERT_TRUE(write_movie(dir.path("mask.qvf"), QVF, 5, 7, 4, U8, 0, mask));
    ASSERT_TRUE(write_movie(dir.path("few.qvf"), QVF, 5, 7, 2, U8, 0, mask));
    ASSERT_TRUE(write_movie(dir.path("small.qvf"), QVF, 5, 6, 3, U8, 0, mask));
    CVideo source;
    ASSERT_EQ(source.OpenVideo(dir.path("m.qvf").c_str()), 1);
    for (auto [factor, mode] : {std::pair{2, 0}, {2, 1}, {5, 0}, {3, 1}}) {
        SCOPED_TRACE(factor * 10 + mode);
        Video reduced(source.Reduce(factor, mode));
        ASSERT_NE(reduced, nullptr);
        std::vector<Image> want;
        for (int k = 0; k < 3; ++k)
            want.emplace_back(picture(5, 7, 0, 0, k, plain)->Reduce(factor, mode));
        expect_sequence(reduced, 3, 5 / factor, 7 / factor, 0, [&](int k, int r, int c) {
            return stored(want[k]->data[r][c], reduced->datatype);
        });
    }
    EXPECT_EQ(Video(source.Reduce(0, 0)), nullptr);
    EXPECT_EQ(Video(source.Reduce(6, 0)), nullptr);

    Video overlay(source.Superpose(dir.path("mask.qvf").c_str()));
    std::vector<Image> want;
    for (int k = 0; k < 3; ++k)
        want.emplace_back(
            picture(5, 7, 0, 0, k, plain)->Superpose(picture(5, 7, 0, 0, k, mask).get()));
    EXPECT_EQ(pixels(*want[0])[0] * 1000 + pixels(*want[0])[1], 255000.0f);  // red under the mask
    expect_sequence(overlay, 3, 5, 7, 1,
                    [&](int k, int r, int i) { return stored(want[k]->data[r][i], U8); });
    for (const char* other : {"few.qvf", "small.qvf", "none.qvf"})
        EXPECT_EQ(Video(source.Superpose(dir.path(other).c_str())), nullptr) << other;
}

TEST(VideoSequence, VideoFromImagesReadsPictures) {
    TempDir dir;
    MessageRecorder messages;
    const std::string prefix = dir.path("p");
    for (int k = 3; k <= 5; ++k)
        ASSERT_EQ(picture(5, 7, 0, I16, k, plain)->WriteImage(
                      (prefix + std::to_string(k) + ".qvf").c_str()), 1);
    Video movie(VideoFromImages(prefix.c_str(), 3, 5, ".qvf"));
    expect_sequence(movie, 3, 5, 7, 0, [](int k, int r, int c) { return plain(k + 3, r, c); });
    EXPECT_EQ(movie->datatype, I16);
    EXPECT_EQ(Video(VideoFromImages(prefix.c_str(), 5, 3, ".qvf")), nullptr);
    EXPECT_EQ(Video(VideoFromImages(prefix.c_str(), 3, 6, ".qvf")), nullptr);  // no p6
    ASSERT_EQ(picture(4, 7, 0, I16, 6, plain)->WriteImage((prefix + "6.qvf").c_str()), 1);
    EXPECT_EQ(Video(VideoFromImages(prefix.c_str(), 3, 6, ".qvf")), nullptr);  // p6 is smaller
}

TEST(VideoObject, DynamicCreationGivesAClosedMovie) {
    std::unique_ptr<CObject> object(CRuntimeClass::FromName("CVideo")->CreateObject());
    auto* video = dynamic_cast<CVideo*>(object.get());
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->kind + video->nframes + video->current, 0);
    EXPECT_TRUE(video->frame == nullptr && video->name.empty());
    EXPECT_EQ(video->GetFrame(0) + video->GetNextFrame(), 0);
    EXPECT_EQ(video->CloseVideo(), 1);
}

}  // namespace
