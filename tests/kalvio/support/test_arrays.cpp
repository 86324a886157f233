// Array allocation, line digitisation and the float comparator.
#include <kalvio/arrays.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "message_recorder.h"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const std::string kAllocFailure = "Can't allocate core in make_2D_float_array";

int sign(int v) { return (v > 0) - (v < 0); }

// Traces (r0, c0)-(r1, c1) into arrays of exactly the announced size, so that
// a write past the end is caught, and returns the points as (row, col) pairs.
std::vector<std::pair<int, int>> trace(int r0, int c0, int r1, int c1) {
    const std::int64_t dr = std::llabs(std::int64_t{r1} - r0);
    const std::int64_t dc = std::llabs(std::int64_t{c1} - c0);
    const std::size_t size = static_cast<std::size_t>(std::max(dr, dc) + 1);
    std::vector<int> rows(size, INT_MIN), cols(size, INT_MIN);
    int n = -1;
    digiline(r0, c0, r1, c1, rows.data(), cols.data(), &n);
    EXPECT_EQ(n, static_cast<int>(size));
    std::vector<std::pair<int, int>> points;
    for (std::size_t i = 0; i < size; ++i) points.emplace_back(rows[i], cols[i]);
    return points;
}

// Checks end points, 8-connected unit steps, closeness to the exact line and
// the reversal rule for one segment.
void check_segment(int r0, int c0, int r1, int c1) {
    SCOPED_TRACE(::testing::Message() << "(" << r0 << "," << c0 << ")-(" << r1 << "," << c1 << ")");
    const auto points = trace(r0, c0, r1, c1);
    ASSERT_FALSE(points.empty());
    EXPECT_EQ(points.front(), std::make_pair(r0, c0));
    EXPECT_EQ(points.back(), std::make_pair(r1, c1));

    // Point i of an n-point segment ideally lies at start + delta * i / L, L = n - 1.
    // Being within half a pixel of it, in integers: |2 L (p - start) - 2 delta i| <= L.
    const std::int64_t length = static_cast<std::int64_t>(points.size()) - 1;
    const std::int64_t dr = std::int64_t{r1} - r0, dc = std::int64_t{c1} - c0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const auto [r, c] = points[i];
        const std::int64_t step = static_cast<std::int64_t>(i);
        EXPECT_LE(std::llabs(2 * length * (r - std::int64_t{r0}) - 2 * dr * step), length) << i;
        EXPECT_LE(std::llabs(2 * length * (c - std::int64_t{c0}) - 2 * dc * step), length) << i;
        if (i > 0) {
            const auto [pr, pc] = points[i - 1];
            EXPECT_LE(std::llabs(std::int64_t{r} - pr), 1) << i;
            EXPECT_LE(std::llabs(std::int64_t{c} - pc), 1) << i;
            EXPECT_NE(points[i], points[i - 1]) << i;
        }
    }

    auto reversed = trace(r1, c1, r0, c0);
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_EQ(reversed, points) << "reversing the end points changed the pixels";
}

int compare(float a, float b) { return sign(rank_float_increasing(&a, &b)); }

}  // namespace

TEST(Arrays2D, ZeroFilledContiguousRowsAddressedRowThenColumn) {
    kalvio_test::MessageRecorder messages;
    float** a = make_2D_float_array(7, 5);
    ASSERT_NE(a, nullptr);
    for (int r = 0; r < 7; ++r) {
        EXPECT_EQ(a[r], a[0] + r * 5) << "rows must follow each other in one block";
        for (int c = 0; c < 5; ++c) ASSERT_EQ(a[r][c], 0.0f);
    }
    a[6][4] = 1.5f;
    a[2][3] = 2.5f;
    EXPECT_EQ(a[0][6 * 5 + 4], 1.5f);
    EXPECT_EQ(a[0][2 * 5 + 3], 2.5f);
    free_2D_float_array(a);
    free_2D_float_array(nullptr);
    // Empty sizes give valid arrays.
    for (const auto& [rows, cols] : {std::pair{0, 0}, std::pair{0, 9}, std::pair{9, 0}}) {
        a = make_2D_float_array(rows, cols);
        EXPECT_NE(a, nullptr) << rows << " x " << cols;
        free_2D_float_array(a);
    }
    EXPECT_TRUE(messages.boxes().empty());
}

TEST(Arrays2D, PermutedRowsStillFree) {
    float** reversed = make_2D_float_array(6, 3);
    ASSERT_NE(reversed, nullptr);
    std::reverse(reversed, reversed + 6);
    for (int r = 0; r < 6; ++r) reversed[r][2] = static_cast<float>(r);
    EXPECT_EQ(reversed[5][0], 0.0f);
    free_2D_float_array(reversed);

    // After a rotation no row pointer is the start of the block.
    float** rotated = make_2D_float_array(4, 2);
    ASSERT_NE(rotated, nullptr);
    std::rotate(rotated, rotated + 1, rotated + 4);
    std::swap(rotated[0], rotated[2]);
    rotated[3][1] = 9.0f;
    free_2D_float_array(rotated);
}

// Blocks of 4 MiB and more come from the system in huge pages, those just
// below from the heap. Either way every new block is zero, also where a
// block of the same size was filled and released just before, and rows may
// be permuted before release.
TEST(Arrays2D, LargeBlocksAreZeroEveryTimeAndReleasedWithRowsPermuted) {
    kalvio_test::MessageRecorder messages;
    for (const auto& [rows, cols] : {std::pair{1024, 1024}, std::pair{1023, 1025}, std::pair{3, 700001}}) {
        for (int round = 0; round < 2; ++round) {
            float** a = make_2D_float_array(rows, cols);
            ASSERT_NE(a, nullptr) << rows << " x " << cols;
            for (int r = 0; r < rows; ++r) {
                ASSERT_EQ(a[r], a[0] + static_cast<std::size_t>(r) * cols);
                ASSERT_TRUE(std::all_of(a[r], a[r] + cols, [](float v) { return v == 0.0f; }))
                    << rows << " x " << cols << ", round " << round << ", row " << r;
                std::fill(a[r], a[r] + cols, 7.0f);
            }
            std::reverse(a, a + rows);
            free_2D_float_array(a);
        }
    }
    EXPECT_TRUE(messages.boxes().empty());
}

// Small and empty blocks come from the heap; from 4 MiB on a block is mapped
// from a 2 MiB boundary in whole 2 MiB pages, and release unmaps all of them
// (mincore fails with ENOMEM on an address that is not mapped). Every block
// is zero, also where one of the same size was filled and released just
// before.
TEST(Pages, ZeroFilledAlignedWhenLargeAndUnmappedWhole) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    const std::size_t sizes[] = {0, 1, 4095, 2 * kHuge - 1, 2 * kHuge, 2 * kHuge + 1, 5 * kHuge + 12345};
    for (const std::size_t bytes : sizes) {
        for (int round = 0; round < 2; ++round) {
            auto* block = static_cast<unsigned char*>(kalvio::allocate_pages(bytes));
            ASSERT_NE(block, nullptr) << bytes;
            ASSERT_TRUE(std::all_of(block, block + bytes, [](unsigned char b) { return b == 0; }))
                << bytes << " bytes, round " << round;
            if (bytes > 0) std::memset(block, 0xA5, bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
            const bool mapped = bytes >= 2 * kHuge;
            const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
            const std::size_t length = (bytes + kHuge - 1) / kHuge * kHuge;
            unsigned char resident = 0;
            if (mapped) {
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHuge, 0u) << bytes;
                EXPECT_EQ(::mincore(block + length - page, page, &resident), 0) << bytes;
            }
            kalvio::release_pages(block, bytes);
            if (mapped) {
                for (const std::size_t at : {std::size_t{0}, length - page}) {
                    errno = 0;
                    EXPECT_EQ(::mincore(block + at, page, &resident), -1) << bytes << " at " << at;
                    EXPECT_EQ(errno, ENOMEM) << bytes << " at " << at;
                }
            }
#else
            kalvio::release_pages(block, bytes);
#endif
        }
    }
    kalvio::release_pages(nullptr, kHuge * 4);
}

// A sparse block is a block like the others, except that writing one byte
// makes only its own small page resident, not the huge page around it.
TEST(Pages, SparseBlocksTakeMemoryOnlyWhereWritten) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    for (const std::size_t bytes : {std::size_t{0}, std::size_t{4095}, 3 * kHuge + 7}) {
        auto* block = static_cast<unsigned char*>(kalvio::allocate_sparse_pages(bytes));
        ASSERT_NE(block, nullptr) << bytes;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Before anything else reads the block (reading maps pages too).
        if (bytes >= 2 * kHuge) {
            const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
            block[kHuge] = 1;
            unsigned char resident = 0;
            ASSERT_EQ(::mincore(block + kHuge + 8 * page, page, &resident), 0);
            EXPECT_EQ(resident & 1, 0) << "a page beside the written one";
            block[kHuge] = 0;
        }
#endif
        ASSERT_TRUE(std::all_of(block, block + bytes, [](unsigned char b) { return b == 0; })) << bytes;
        if (bytes > 0) std::memset(block, 0xA5, bytes);
        kalvio::release_pages(block, bytes);
    }
}

TEST(Arrays2D, InvalidOrUnallocatableSizesGiveNullAfterMessage) {
    // Sign errors that cancel in the product, products beyond 32 bits and
    // requests no machine can satisfy.
    const std::pair<int, int> sizes[] = {
        {-1, 4},      {4, -1},           {-1, 0},           {0, -1},
        {-3, -5},     {-70000, -70000},  {INT_MIN, -1},     {INT_MAX, -INT_MAX},
        {INT_MAX, INT_MAX},              {1 << 30, 1 << 30},
    };
    for (const auto& [rows, cols] : sizes) {
        kalvio_test::MessageRecorder messages;
        EXPECT_EQ(make_2D_float_array(rows, cols), nullptr) << rows << " x " << cols;
        EXPECT_EQ(messages.texts(), std::vector<std::string>{kAllocFailure})
            << rows << " x " << cols;
    }
}

TEST(Arrays1D, ZeroFilledAndNegativeSizesFail) {
    kalvio_test::MessageRecorder messages;
    float* f = make_1D_float_array(100);
    int* i = make_1D_int_array(100);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(i, nullptr);
    EXPECT_TRUE(std::all_of(f, f + 100, [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(std::all_of(i, i + 100, [](int v) { return v == 0; }));
    f[99] = 1.0f;
    i[99] = 1;
    free_1D_float_array(f);
    free_1D_int_array(i);

    float* empty_f = make_1D_float_array(0);
    int* empty_i = make_1D_int_array(0);
    free_1D_float_array(empty_f);
    free_1D_int_array(empty_i);
    free_1D_float_array(nullptr);
    free_1D_int_array(nullptr);
    EXPECT_TRUE(messages.boxes().empty());

    EXPECT_EQ(make_1D_float_array(-1), nullptr);
    ASSERT_EQ(messages.boxes().size(), 1u);
    EXPECT_FALSE(messages.boxes()[0].text.empty());
    EXPECT_EQ(make_1D_int_array(INT_MIN), nullptr);
    ASSERT_EQ(messages.boxes().size(), 2u);
    EXPECT_FALSE(messages.boxes()[1].text.empty());
}

// Chosen segments (straight and diagonal ones have a single answer), then
// random ones.
TEST(Digiline, SegmentsAreConnectedCloseToTheLineAndReversible) {
    for (const auto& s : std::vector<std::vector<int>>{
             {3, -4, 3, -4}, {2, 5, 2, 1}, {-1, 0, 2, 0}, {0, 0, 3, 3}, {0, 0, -2, 2}, {5, 5, 3, 3},
             {0, 0, 0, 7}, {0, 0, -7, 0}, {0, 0, 6, -6}, {0, 0, 1, 2}, {0, 0, 2, 1}, {0, 0, 1, 10},
             {10, 1, 0, 0}, {0, 0, 4, 2}, {0, 0, -4, 2}, {INT_MAX - 3, INT_MIN, INT_MAX, INT_MIN + 7}})
        check_segment(s[0], s[1], s[2], s[3]);
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> coordinate(-60, 60);
    for (int k = 0; k < 2000 && !::testing::Test::HasFailure(); ++k) {  // one bad segment says enough
        const int r0 = coordinate(random), c0 = coordinate(random);
        const int r1 = coordinate(random), c1 = coordinate(random);
        check_segment(r0, c0, r1, c1);
    }
}

// A consistent order with the values below in place, NaNs last, is what
// qsort needs to sort ascending.
TEST(RankFloatIncreasing, ComparatorIsAConsistentOrder) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Differences that an integer cast of a - b would lose or overflow.
    EXPECT_GT(compare(0.5f, 0.0f), 0);
    EXPECT_LT(compare(0.0f, 1e-30f), 0);
    EXPECT_GT(compare(3e9f, -3e9f), 0);
    EXPECT_LT(compare(-inf, inf), 0);
    EXPECT_EQ(compare(-0.0f, 0.0f), 0);
    EXPECT_EQ(compare(2.0f, 2.0f), 0);
    EXPECT_EQ(compare(nan, -nan), 0);
    EXPECT_GT(compare(nan, inf), 0);
    EXPECT_LT(compare(inf, nan), 0);

    const float set[] = {nan,  -nan, inf, -inf, 0.0f, -0.0f, 1.0f, -1.0f,
                         0.5f, std::numeric_limits<float>::denorm_min(),
                         std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest()};
    for (float a : set) {
        EXPECT_EQ(compare(a, a), 0) << a;
        for (float b : set) {
            EXPECT_EQ(compare(a, b), -compare(b, a)) << a << " vs " << b;
            for (float c : set) {
                if (compare(a, b) <= 0 && compare(b, c) <= 0) {
                    EXPECT_LE(compare(a, c), 0) << a << " <= " << b << " <= " << c;
                }
                if (compare(a, b) == 0 && compare(b, c) == 0) {
                    EXPECT_EQ(compare(a, c), 0) << a << " == " << b << " == " << c;
                }
            }
        }
    }
}
