// CVolume: V1 and V2 descriptions (good and hostile), smoothing against the
// line filter on every z-line, Hessian eigenvalues against Jacobi rotations.
#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/volume.h>

#include <gtest/gtest.h>

#include "message_recorder.h"
#include "temp_dir.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using kalvio_test::MessageRecorder;
using kalvio_test::TempDir;
using Volume = std::unique_ptr<CVolume>;

std::string v1(const std::string& directory, int start, int end) {
    return "V1\ndirectory=" + directory + "\nprefix=s\nstart slice=" + std::to_string(start) +
           "\nend slice=" + std::to_string(end) + "\nsuffix=.pgm\n";
}

std::string v2(const std::string& file, int slices, int rows, int cols, int code) {
    return "V2\nfile=" + file + "\nnbf=" + std::to_string(slices) + "\nrow=" +
           std::to_string(rows) + "\ncol=" + std::to_string(cols) +
           "\nsize=" + std::to_string(code);
}

// d/s3.pgm .. d/s5.pgm, 2 x 3 pixels: pixel (r, c) of slice k is 20 k + 10 r + c.
void write_series(const TempDir& dir) {
    std::filesystem::create_directories(dir.path("d"));
    for (int k = 3; k <= 5; ++k) {
        std::string bytes = "P5\n3 2\n255\n";
        for (int i = 0; i < 6; ++i)
            bytes.push_back(static_cast<char>(20 * k + 10 * (i / 3) + i % 3));
        TempDir::put(dir.path("d/s" + std::to_string(k) + ".pgm"), bytes);
    }
}

TEST(Volume, ReadsV1Series) {
    TempDir dir;
    write_series(dir);
    // Relative folders lie beside the description; CR LF and trailing
    // blanks are allowed.
    for (const std::string& text :
         {v1("d", 3, 5), v1(dir.path("d"), 3, 5),
          std::string("V1\r\ndirectory=d \r\nprefix=s\r\nstart slice=3\r\n"
                      "end slice=5\r\nsuffix=.pgm")}) {
        TempDir::put(dir.path("series.txt"), text);
        MessageRecorder messages;
        CVolume volume;
        ASSERT_EQ(volume.ReadVolume(dir.path("series.txt").c_str()), 1) << text;
        EXPECT_TRUE(messages.texts().empty());
        EXPECT_EQ(volume.nslices * 100 + volume.nrows * 10 + volume.ncols, 323);
        EXPECT_EQ(volume.format, KALVIO_FORMAT_V1_VOLUME);
        EXPECT_EQ(volume.datatype, KALVIO_TYPE_UINT8);
        for (int k = 0; k < 3; ++k)
            for (int i = 0; i < 6; ++i)
                EXPECT_EQ(volume.slices[k].data[i / 3][i % 3], 20 * (k + 3) + 10 * (i / 3) + i % 3);
    }
}

TEST(Volume, ReadsV2SampleTypes) {
    TempDir dir;
    struct Case {
        int code, datatype;
        std::string bytes;  // two little-endian samples
        float first, second;
    };
    const Case cases[] = {
        {1, KALVIO_TYPE_UINT8, "\xC8\x07", 200, 7},
        {2, KALVIO_TYPE_INT16, std::string("\xD4\xFE\x00\x01", 4), -300, 256},
        {4, KALVIO_TYPE_INT32, std::string("\x90\xEE\xFE\xFF\x01\x00\x00\x00", 8), -70000, 1},
        {40, KALVIO_TYPE_FLOAT, std::string("\x00\x00\x80\x3E\x00\x00\x20\xC1", 8), 0.25f, -10},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.code);
        TempDir::put(dir.path("data.raw"), t.bytes);
        TempDir::put(dir.path("volume.txt"), v2("data.raw", 2, 1, 1, t.code));
        CVolume volume;
        ASSERT_EQ(volume.ReadVolume(dir.path("volume.txt").c_str()), 1);
        EXPECT_EQ(volume.format, KALVIO_FORMAT_V2_VOLUME);
        EXPECT_EQ(volume.datatype, t.datatype);
        ASSERT_EQ(volume.nslices, 2);
        EXPECT_EQ(volume.slices[1].format, KALVIO_FORMAT_RAW);
        EXPECT_EQ(volume.slices[1].datatype, t.datatype);
        EXPECT_EQ(volume.slices[0].data[0][0], t.first);
        EXPECT_EQ(volume.slices[1].data[0][0], t.second);
    }
}

TEST(Volume, RefusesHostileDescriptionsAndKeepsItsSlices) {
    TempDir dir;
    write_series(dir);
    TempDir::put(dir.path("d/s6.pgm"), "P5\n2 2\n255\n\1\2\3\4");
    TempDir::put(dir.path("data.raw"), std::string(96, '\0'));
    TempDir::put(dir.path("short.raw"), std::string(95, '\0'));
    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0600), 0);
    const std::pair<std::string, const char*> cases[] = {
        {"V1\ndirectory=d\nprefix=s\n", "ReadV1Volume: Bad header"},
        {v1("d", 5, 3), "ReadV1Volume: Bad header"},
        {v1("d", -2147483647, 2147483647), "ReadV1Volume: Bad header"},
        {v1("d", 2, 4), "ReadV1Volume: Can't read a slice"},
        {v1("d", 4, 6), "ReadV1Volume: Slices differ in size"},
        {"V2\nfile=data.raw\nnbf=2x\nrow=3\ncol=4\nsize=40", "ReadV2Volume: Bad header"},
        {v2("data.raw", 2, -3, 4, 40), "ReadV2Volume: Bad header"},
        {v2("data.raw", 0, 3, 4, 40), "ReadV2Volume: Bad header"},
        {v2("data.raw", 2, 3, 4, 3), "ReadV2Volume: Bad header"},
        {v2("data.raw", 70000, 1, 1, 1), "ReadV2Volume: Bad header"},
        {v2("data.raw", 2, 65536, 65536, 40), "ReadV2Volume: Truncated file"},
        {v2("short.raw", 2, 3, 4, 40), "ReadV2Volume: Truncated file"},
        {v2("none.raw", 1, 1, 1, 1), "ReadV2Volume: Can't open file"},
        {v2("fifo", 1, 1, 1, 1), "ReadV2Volume: Can't open file"},
        {"V3\n", nullptr},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        TempDir::put(dir.path("bad.txt"), text);
        CVolume volume(2, 1, 1, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
        volume.slices[1].data[0][0] = 7.0f;
        MessageRecorder messages;
        EXPECT_EQ(volume.ReadVolume(dir.path("bad.txt").c_str()), 0);
        if (message) {
            ASSERT_FALSE(messages.texts().empty());
            EXPECT_EQ(messages.texts().back(), message);
        } else {
            EXPECT_TRUE(messages.texts().empty());
        }
        EXPECT_EQ(volume.nslices, 2);
        EXPECT_EQ(volume.format, KALVIO_FORMAT_QVF);
        EXPECT_EQ(volume.slices[1].data[0][0], 7.0f);
    }
    // A missing or FIFO description: one message through ReadVolume, none
    // from the readers themselves, and no wait.
    for (const char* name : {"none.txt", "fifo"}) {
        MessageRecorder messages;
        CVolume volume;
        EXPECT_EQ(volume.ReadVolume(dir.path(name).c_str()), 0);
        EXPECT_EQ(volume.ReadV1Volume(dir.path(name).c_str()), 0);
        EXPECT_EQ(volume.ReadV2Volume(dir.path(name).c_str()), 0);
        EXPECT_EQ(messages.texts(), std::vector<std::string>{"ReadVolume: Can't open file"});
    }
}

TEST(Volume, ReadAgainReleasesTheOldSlices) {
    // Under AddressSanitizer the first read's slices and planes must not leak.
    TempDir dir;
    write_series(dir);
    TempDir::put(dir.path("series.txt"), v1("d", 3, 5));
    TempDir::put(dir.path("data.raw"), "\5\5\5\5");
    TempDir::put(dir.path("raw.txt"), v2("data.raw", 4, 1, 1, 1));
    CVolume volume;
    ASSERT_EQ(volume.ReadVolume(dir.path("series.txt").c_str()), 1);
    volume.ridges(0, 0, 0, 0, 0);
    ASSERT_EQ(volume.ReadVolume(dir.path("raw.txt").c_str()), 1);
    EXPECT_EQ(volume.nslices, 4);
    EXPECT_EQ(volume.slices[3].data[0][0], 5.0f);
}

TEST(Volume, ConstructionAndRegistration) {
    CVolume volume(3, 2, 4, 1, KALVIO_FORMAT_V2_VOLUME, KALVIO_TYPE_INT16);
    ASSERT_NE(volume.slices, nullptr);
    EXPECT_EQ(volume.slices[2].format, KALVIO_FORMAT_QVF);
    EXPECT_EQ(volume.slices[2].datatype, KALVIO_TYPE_INT16);
    EXPECT_EQ(volume.slices[2].data[1][11], 0.0f);  // colour rows hold 3 * ncols floats
    CVolume empty(0, 2, 2, 0, 0, KALVIO_TYPE_FLOAT);
    EXPECT_EQ(empty.slices, nullptr);
    EXPECT_EQ(empty.smooth_volume(1.0f), nullptr);
    std::unique_ptr<CObject> made(CRuntimeClass::FromName("CVolume")->CreateObject());
    EXPECT_TRUE(made->IsKindOf(KALVIO_RUNTIME_CLASS(CVolume)));
}

Volume random_volume(int slices, int rows, int cols, unsigned seed, int color = 0) {
    auto volume = std::make_unique<CVolume>(slices, rows, cols, color, 0, KALVIO_TYPE_FLOAT);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (int k = 0; k < slices; ++k)
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols * (color ? 3 : 1); ++c)
                volume->slices[k].data[r][c] = value(random);
    return volume;
}

// The volume's z-lines one after the other.
std::vector<float> z_lines(const CVolume& v) {
    std::vector<float> out;
    for (int r = 0; r < v.nrows; ++r)
        for (int c = 0; c < v.ncols; ++c)
            for (int k = 0; k < v.nslices; ++k) out.push_back(v.slices[k].data[r][c]);
    return out;
}

// Each slice filtered along x and y, then each z-line by the line filter.
std::vector<float> expected_smoothing(const CVolume& volume, float sigma) {
    CVolume across(volume.nslices, volume.nrows, volume.ncols, 0, 0, KALVIO_TYPE_FLOAT);
    float** table = make_2D_float_array(5, 5);
    ga(sigma, table);
    for (int k = 0; k < volume.nslices; ++k) {
        std::unique_ptr<CImage> x(volume.slices[k].apply_IIR4_filter_x(table));
        std::unique_ptr<CImage> xy(x->apply_IIR4_filter_y(table));
        across.slices[k] = *xy;
    }
    std::vector<float> out = z_lines(across);
    for (std::size_t i = 0; i < out.size(); i += volume.nslices)
        apply_IIR4_filter_z(table, &out[i], volume.nslices);
    free_2D_float_array(table);
    return out;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Sets an environment variable for the life of the object.
struct Setting {
    const char* name;
    Setting(const char* variable, const char* value) : name(variable) { ::setenv(name, value, 1); }
    ~Setting() { ::unsetenv(name); }
};

TEST(Volume, SmoothingMatchesLineFilterOnEveryZLine) {
    // Slice counts below the recursion's depth and across the filter's
    // 32-slice segments; columns beyond whole vectors; a colour volume
    // (grey layout, filtered row by row).
    for (const int slices : {1, 2, 3, 5, 33, 70, -9}) {
        const Volume volume = slices > 0 ? random_volume(slices, 3, 19, 7u + slices)
                                         : random_volume(-slices, 4, 5, 1u, 1);
        for (const float sigma : {1.0f, 3.0f}) {
            const Volume smooth(volume->smooth_volume(sigma));
            ASSERT_NE(smooth, nullptr);
            EXPECT_EQ(smooth->datatype, KALVIO_TYPE_FLOAT);
            EXPECT_TRUE(same_bits(z_lines(*smooth), expected_smoothing(*volume, sigma)))
                << volume->nslices << " slices, sigma " << sigma;
        }
    }
    // A megavoxel volume, split across threads, and on the portable kernels.
    const Volume large = random_volume(64, 128, 128, 3u);
    const std::vector<float> expected = expected_smoothing(*large, 2.0f);
    for (const auto& [variable, value] :
         {std::pair{"KALVIO_THREADS", "1"}, {"KALVIO_THREADS", "2"}, {"KALVIO_SIMD", "none"}}) {
        Setting setting(variable, value);
        const Volume smooth(large->smooth_volume(2.0f));
        EXPECT_TRUE(same_bits(z_lines(*smooth), expected)) << variable << "=" << value;
    }
}

// Eigenvalues of a symmetric 3 x 3 matrix by cyclic Jacobi rotations.
std::vector<double> jacobi_eigenvalues(double a[3][3]) {
    for (int sweep = 0; sweep < 50; ++sweep)
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
                const double t =
                    std::copysign(1.0, theta) / (std::fabs(theta) + std::hypot(theta, 1.0));
                const double c = 1 / std::hypot(t, 1.0), s = t * c;
                for (int k = 0; k < 3; ++k) {
                    const double kp = a[k][p], kq = a[k][q];
                    a[k][p] = c * kp - s * kq, a[k][q] = s * kp + c * kq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double pk = a[p][k], qk = a[q][k];
                    a[p][k] = c * pk - s * qk, a[q][k] = s * pk + c * qk;
                }
            }
    return {a[0][0], a[1][1], a[2][2]};
}

TEST(Volume, RidgesAreSortedHessianEigenvalues) {
    const Volume volume = random_volume(5, 6, 7, 11u);
    volume->ridges(1, 2, 3, 1, 0);
    volume->ridges(1, 2, 3, 1, 0);  // new planes replace the old ones
    for (int k = 0; k < 5; ++k)
        for (int r = 0; r < 6; ++r)
            for (int c = 0; c < 7; ++c) {
                const CImage& slice = volume->slices[k];
                const auto v = [&](int dk, int dr, int dc) -> double {
                    return volume->slices[k + dk].data[r + dr][c + dc];
                };
                std::vector<double> want(3, 0.0);
                if (k % 4 && r % 5 && c % 6) {
                    double h[3][3];
                    h[0][0] = v(0, -1, 0) - 2 * v(0, 0, 0) + v(0, 1, 0);
                    h[1][1] = v(0, 0, -1) - 2 * v(0, 0, 0) + v(0, 0, 1);
                    h[2][2] = v(-1, 0, 0) - 2 * v(0, 0, 0) + v(1, 0, 0);
                    h[0][1] = h[1][0] = v(0, -1, -1) + v(0, 1, 1) - v(0, -1, 1) - v(0, 1, -1);
                    h[0][2] = h[2][0] = v(1, 1, 0) + v(-1, -1, 0) - v(1, -1, 0) - v(-1, 1, 0);
                    h[1][2] = h[2][1] = v(1, 0, 1) + v(-1, 0, -1) - v(-1, 0, 1) - v(1, 0, -1);
                    for (auto& row : h)
                        for (double& e : row) e *= 0.25;
                    want = jacobi_eigenvalues(h);
                    for (double& e : want) e = std::fabs(e);
                    std::sort(want.begin(), want.end());
                }
                const float got[3] = {slice.mag[r][c], slice.dir[r][c], slice.scale[r][c]};
                for (int i = 0; i < 3; ++i)
                    EXPECT_NEAR(got[i], want[i], 1e-5 * (1 + want[2])) << k << " " << r << " " << c;
            }
    // A megavoxel volume (few interior rows, to keep the test short): the
    // same planes for one thread and two.
    const int cols = 87382;
    const Volume large = random_volume(4, 3, cols, 5u);
    std::vector<float> planes[2];
    for (int run = 0; run < 2; ++run) {
        Setting setting("KALVIO_THREADS", run ? "2" : "1");
        large->ridges(0, 0, 0, 0, 0);
        for (int k = 0; k < 4; ++k)
            for (const CImage& slice = large->slices[k];
                 float** plane : {slice.mag, slice.dir, slice.scale})
                planes[run].insert(planes[run].end(), plane[0], plane[0] + 3 * cols);
    }
    EXPECT_TRUE(same_bits(planes[0], planes[1]));
}

}  // namespace
