// The grid of mean colours that the nearest-region searches walk: coarse
// cells of 16 grey levels per axis, fine cells inside them, and the
// distance those searches measure.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace contour_detail {

// Grid cell index of a mean value along one axis.
inline int cell_of(float value) {
    if (!(value >= 0.0f)) return 0;
    const int cell = static_cast<int>(value / 16.0f);
    return cell < 15 ? cell : 15;
}

// Distance from `value` to the span of cell `cell` along one axis; the
// border cells reach to infinity, since they hold the values beyond.
inline float gap_to_cell(float value, int cell) {
    const float low = cell == 0 ? -std::numeric_limits<float>::infinity() : 16.0f * cell;
    const float high = cell == 15 ? std::numeric_limits<float>::infinity() : 16.0f * (cell + 1);
    if (value < low) return low - value;
    if (value > high) return value - high;
    return 0.0f;
}

// Fine cells per coarse cell along each axis: colour means in steps of 8
// grey levels, grey means in steps of 1 along the first axis. Finer colour
// cells (4 levels) made the grid's cell lists eight times as long in
// memory, and the searches slower for the cache misses.
constexpr int kColourFine = 2;
constexpr int kGreyFine = 16;

// Fine cell index of a mean value along one axis: `fine` cells per coarse
// cell, the border cells taking the values beyond.
inline int fine_of(float value, int fine) {
    if (!(value >= 0.0f)) return 0;
    const int last = 16 * fine - 1;
    const int cell = static_cast<int>(value * static_cast<float>(fine) / 16.0f);
    return cell < last ? cell : last;
}

// Distance from `value` to the span of fine cell `cell` of `fine` per
// coarse cell.
inline float gap_to_fine(float value, int cell, int fine) {
    const float width = 16.0f / static_cast<float>(fine);
    const int last = 16 * fine - 1;
    const float low = cell == 0 ? -std::numeric_limits<float>::infinity() : width * static_cast<float>(cell);
    const float high = cell == last ? std::numeric_limits<float>::infinity() : width * static_cast<float>(cell + 1);
    if (value < low) return low - value;
    if (value > high) return value - high;
    return 0.0f;
}

// A fine cell index's place along each axis (grey: the first axis only).
inline void fine_axes_of(int index, bool grey, int f[3]) {
    constexpr int axis = 16 * kColourFine;
    f[0] = grey ? index : index / (axis * axis);
    f[1] = grey ? 0 : (index / axis) % axis;
    f[2] = grey ? 0 : index % axis;
}

// Coarse cell (i * 16 + j) * 16 + k of a fine cell index.
inline int coarse_of_fine(int index, bool grey) {
    if (grey) return index / kGreyFine;
    int f[3];
    fine_axes_of(index, false, f);
    return ((f[0] / kColourFine) * 16 + f[1] / kColourFine) * 16 + f[2] / kColourFine;
}

// Float rounding makes a computed distance fall short of the exact one by
// far less than this; cells are skipped only beyond it.
constexpr float kRoundingMargin = 0.01f;

// The distance nearest_distance measures from means m to means s: the
// absolute difference of grey means, or for colour the sum of the three
// absolute differences truncated toward zero. A sum that is not below
// `best` (or not a number) gives `best`, so it never replaces it.
inline float distance_between(bool grey, const float m[3], float s0, float s1, float s2, float best) {
    if (grey) return std::fabs(s0 - m[0]);
    const float sum = std::fabs(s0 - m[0]) + std::fabs(s1 - m[1]) + std::fabs(s2 - m[2]);
    return sum < best ? std::trunc(sum) : best;
}

// The distance from means m to means s before truncation: what
// distance_between truncates. Where `best` is a whole number, as every
// colour distance is, the truncated distance is below it exactly when this
// is, so scans compare this and truncate only what they keep.
inline float distance_sum(bool grey, const float m[3], float s0, float s1, float s2) {
    if (grey) return std::fabs(s0 - m[0]);
    return std::fabs(s0 - m[0]) + std::fabs(s1 - m[1]) + std::fabs(s2 - m[2]);
}

// Hands the members of `members` (count of them, in order) whose colour
// distance from means m before truncation is below bound() to
// take(member, sum), until take returns true. Four members are measured at
// a time against the bound as it stands before them; take is to test the
// sum against the bound as it stands then, so that the members it keeps are
// those a test one at a time keeps. A member's means are its first three
// floats, 24 bytes a member.
template <typename Member, typename Bound, typename Take>
inline void scan_colour(const Member* members, std::size_t count, const float m[3], Bound bound, Take take) {
    std::size_t i = 0;
#if defined(__SSE2__)
    static_assert(sizeof(Member) == 24, "members are read four at a time as rows of six floats");
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 r0 = _mm_set1_ps(m[0]), r1 = _mm_set1_ps(m[1]), r2 = _mm_set1_ps(m[2]);
    for (; i + 4 <= count; i += 4) {
        const float* row = reinterpret_cast<const float*>(members + i);
        __m128 a = _mm_loadu_ps(row), b = _mm_loadu_ps(row + 6), c = _mm_loadu_ps(row + 12), d = _mm_loadu_ps(row + 18);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_andnot_ps(sign, _mm_sub_ps(a, r0)), _mm_andnot_ps(sign, _mm_sub_ps(b, r1))),
                                      _mm_andnot_ps(sign, _mm_sub_ps(c, r2)));
        const int below = _mm_movemask_ps(_mm_cmplt_ps(sum, _mm_set1_ps(bound())));
        if (below == 0) continue;
        alignas(16) float sums[4];
        _mm_store_ps(sums, sum);
        for (int k = 0; k < 4; ++k)
            if (((below >> k) & 1) && take(members[i + static_cast<std::size_t>(k)], sums[k])) return;
    }
#endif
    for (; i < count; ++i) {
        const Member& member = members[i];
        const float sum = distance_sum(false, m, member.m0, member.m1, member.m2);
        if (sum < bound() && take(member, sum)) return;
    }
}

// Number of fine cells of the grid for grey or colour means.
inline std::size_t fine_cell_count(bool grey) {
    return grey ? 16 * kGreyFine : static_cast<std::size_t>(16 * kColourFine) * (16 * kColourFine) * (16 * kColourFine);
}

inline bool has_bit(const std::vector<std::uint64_t>& bits, int index) {
    return (bits[static_cast<std::size_t>(index) >> 6] >> (index & 63)) & 1;
}

inline void set_bit(std::vector<std::uint64_t>& bits, int index) {
    bits[static_cast<std::size_t>(index) >> 6] |= 1ULL << (index & 63);
}

// Fine cells sized for `count` cells, all empty, with their bitmap of
// cells that have members. Once sized, only the cells with members need
// emptying.
template <typename Member>
void empty_fine_cells(std::vector<std::vector<Member>>& cells, std::vector<std::uint64_t>& filled, std::size_t count) {
    if (cells.size() != count) {
        cells.assign(count, {});
        filled.assign((count + 63) / 64, 0);
        return;
    }
    for (std::size_t word = 0; word < filled.size(); ++word)
        for (std::uint64_t bits = filled[word]; bits; bits &= bits - 1)
            cells[64 * word + static_cast<std::size_t>(__builtin_ctzll(bits))].clear();
    std::fill(filled.begin(), filled.end(), 0);
}

}  // namespace contour_detail
