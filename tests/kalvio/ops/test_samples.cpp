// Float samples as bytes, one at a time and a row at a time.
#include <kalvio/samples.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// The byte computed another way: the truncation in double and a 64-bit
// remainder, saturating at the ends of the int range as a 32-bit truncation
// does.
int expected_byte(float v) {
    if (std::isnan(v)) return 0;
    const double t = std::trunc(static_cast<double>(v));
    if (t >= 2147483648.0) return 255;
    if (t < -2147483648.0) return 0;
    return static_cast<int>((static_cast<std::int64_t>(t) % 256 + 256) % 256);
}

// The edges of each rule, then random bit patterns, which reach every
// exponent, infinities and NaNs.
std::vector<float> test_samples() {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {0.0f, -0.0f, 0.5f, -0.5f, 0.99999994f, 1.0f, -1.0f, 254.9f, 255.0f, 255.9f,
                            256.0f, 256.5f, -255.0f, -256.0f, -257.5f, 65535.7f, 16777216.0f, 2147483520.0f,
                            2147483648.0f, -2147483648.0f, -2147483904.0f, 1e20f, -1e20f, inf, -inf,
                            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::lowest()};
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t bits = static_cast<std::uint32_t>(random());
        float f;
        std::memcpy(&f, &bits, sizeof f);
        v.push_back(f);
    }
    return v;
}

}  // namespace

TEST(Samples, ByteIsTheLowEightBitsOfTheSaturatedTruncation) {
    for (const float v : test_samples()) ASSERT_EQ(kalvio::sample_to_byte(v), expected_byte(v)) << v;
}

// Every length and start from 0 to 40 samples, so that both the vector body
// and the tail run on unaligned data, and nothing past n is written.
TEST(Samples, RowsGiveTheBytesOfTheirSamplesAndStopAtTheirEnd) {
    const std::vector<float> in = test_samples();
    std::vector<std::uint8_t> out(in.size() + 1);
    for (std::size_t start = 0; start < 4; ++start)
        for (std::size_t n = 0; n <= 40; ++n) {
            std::fill(out.begin(), out.end(), std::uint8_t{0x5A});
            kalvio::samples_to_bytes(in.data() + start, out.data() + start, n);
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(out[start + i], kalvio::sample_to_byte(in[start + i])) << start << " + " << i;
            ASSERT_EQ(out[start + n], 0x5A) << start << ", " << n;
        }
    kalvio::samples_to_bytes(in.data(), out.data(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], expected_byte(in[i])) << in[i];
}
