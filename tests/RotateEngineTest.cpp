// The rotation engine's whole-line paths (engines with direct pixel access) against its pixel-by-pixel
// algorithms (the same engine reached through the five virtual operations): single lines, column
// blocks and whole rotations, over odd sizes, shifts far outside the line, weights with and without
// a fixed-point form, and backgrounds with every byte set.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "processors/geometry/Rotate.h"

namespace rk {

struct PixelRotatorProbe {
  static int32_t fixedWeight(double w) { return PixelRotator::fixedWeight(w); }
  static double truncated(int32_t v, double w) { return static_cast<double>(static_cast<int32_t>(v * w)); }

  static std::vector<PackedPixel> skewFast(const std::vector<PackedPixel>& src, int32_t m, double d, PackedPixel bg) {
    std::vector<PackedPixel> dst(std::size_t(m), 0xdeadbeefu);
    PixelRotator::skewRow(src.data(), int32_t(src.size()), dst.data(), m, d, bg);
    return dst;
  }
  static std::vector<PackedPixel> skewSlow(const std::vector<PackedPixel>& src, int32_t m, double d, PackedPixel bg) {
    std::vector<PackedPixel> dst(std::size_t(m), 0xdeadbeefu);
    PixelRotator::skew([&](int32_t i) { return src.at(std::size_t(i)); },
                       [&](int32_t j, PackedPixel v) { dst.at(std::size_t(j)) = v; }, int32_t(src.size()), m, d, bg);
    return dst;
  }

  static std::vector<PackedPixel> columnsFast(std::vector<PackedPixel> src, int32_t width, int32_t n, int32_t m,
                                              double d, double s, PackedPixel bg) {
    std::vector<PackedPixel> dst(std::size_t(width) * std::size_t(m), 0xdeadbeefu);
    PixelRotator::skewColumnsOf(src.data(), width, n, dst.data(), m, d, s, bg);
    return dst;
  }
  static std::vector<PackedPixel> columnsSlow(std::vector<PackedPixel> src, int32_t width, int32_t n, int32_t m,
                                              double d, double s, PackedPixel bg) {
    std::vector<PackedPixel> dst(std::size_t(width) * std::size_t(m), 0xdeadbeefu);
    PackedPixelRotator packed;
    PixelRotator& engine = packed;
    PixelRotator::skewColumns(engine, src.data(), width, n, dst.data(), m, d, s, bg);
    return dst;
  }
};

namespace {

std::vector<PackedPixel> noise(std::size_t n, uint32_t seed, bool highByte) {
  std::mt19937 gen(seed);
  std::vector<PackedPixel> v(n);
  for (PackedPixel& p : v) p = highByte ? gen() : gen() & 0xffffffu;
  return v;
}

// Shifts of every kind: whole, tiny, just below a whole number (weights near 1 and exactly 1 after
// rounding), far before and beyond the line, and NaN.
const double kShifts[] = {0.0,
                          0.25,
                          0.5,
                          1.0 / 3,
                          -0.75,
                          2.999999,
                          -1e-20,
                          1e-20,
                          3.5,
                          -4.125,
                          17.01,
                          -1000.0,
                          1e9,
                          -1e300,
                          0.9999999999,
                          6.1e-5,
                          1.0 - 1.0 / 65536,
                          2.0 / 255,
                          std::numeric_limits<double>::quiet_NaN()};

TEST(RotateEngine, FixedWeightsMatchTruncationForEveryChannelValue) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int found = 0;
  for (int k = 0; k < 20000; ++k) {
    // Random weights and those on fractions v / q, where the truncation sits right at an integer.
    const double w = k % 2 ? unit(gen) : double(k % 255) / double(1 + (k / 2) % 255);
    if (w > 1.0) continue;
    const int32_t f = PixelRotatorProbe::fixedWeight(w);
    if (f < 0) {
      // Only weights within 1 / 65536 of 1 may lack a fixed form.
      EXPECT_GT(w, 1.0 - 1.0 / 65536) << w;
      continue;
    }
    ++found;
    for (int32_t v = 0; v < 256; ++v) ASSERT_EQ(double((v * f) >> 16), PixelRotatorProbe::truncated(v, w)) << w;
  }
  EXPECT_GT(found, 10000);
  EXPECT_EQ(PixelRotatorProbe::fixedWeight(1.0), -1);
  EXPECT_EQ(PixelRotatorProbe::fixedWeight(0.0), 0);
}

TEST(RotateEngine, WholeRowsMatchTheSkewOfEachPixel) {
  for (int32_t n : {1, 2, 3, 4, 5, 7, 8, 9, 31, 64, 67}) {
    for (int32_t m : {1, n, n + 1, n + 6, 2 * n + 3}) {
      for (double d : kShifts) {
        for (PackedPixel bg : {0u, 0xff80017fu}) {
          const auto src = noise(std::size_t(n), uint32_t(n * 131 + m), bg != 0);
          SCOPED_TRACE(::testing::Message() << n << " -> " << m << " by " << d << " bg " << bg);
          ASSERT_EQ(PixelRotatorProbe::skewFast(src, m, d, bg), PixelRotatorProbe::skewSlow(src, m, d, bg));
        }
      }
    }
  }
}

// Column blocks of 64 with a remainder, shifts crossing and leaving the destination, and column
// steps that put several columns on one whole shift or give each its own.
TEST(RotateEngine, ColumnBlocksMatchTheSkewOfEachColumn) {
  struct Case {
    int32_t width, n, m;
    double d, s;
  };
  const Case cases[] = {{1, 1, 2, 0.5, 0.3},          {3, 5, 9, 2.5, 0.49999999999999994},
                        {67, 13, 40, 30.7, 0.5},      {130, 9, 80, -3.2, -0.6},
                        {64, 20, 21, 0.0, 0.0},       {75, 17, 30, 1e-20, 1e-22},
                        {70, 4, 6, 100.0, 1.0},       {66, 33, 20, -10.25, 0.125},
                        {5, 8, 12, std::nan(""), 0.1}};
  for (const Case& c : cases) {
    for (PackedPixel bg : {0u, 0x7f0180ffu}) {
      SCOPED_TRACE(::testing::Message() << c.width << " x " << c.n << " -> " << c.m << " by " << c.d << " step " << c.s
                                        << " bg " << bg);
      const auto src = noise(std::size_t(c.width) * std::size_t(c.n), uint32_t(c.width + c.n), bg != 0);
      ASSERT_EQ(PixelRotatorProbe::columnsFast(src, c.width, c.n, c.m, c.d, c.s, bg),
                PixelRotatorProbe::columnsSlow(src, c.width, c.n, c.m, c.d, c.s, bg));
    }
  }
}

// Whole rotations: the packed engine as its final class (whole lines) and through the base class
// (pixel by pixel) give the same image.
class Rotations : public ::testing::TestWithParam<double> {};

TEST_P(Rotations, WholeLinesMatchPixelByPixel) {
  for (auto [w, h] : {std::pair{1, 1}, std::pair{5, 3}, std::pair{3, 5}, std::pair{67, 41}, std::pair{131, 70}}) {
    SCOPED_TRACE(::testing::Message() << w << " x " << h << " by " << GetParam());
    PackedPixelRotator engine;
    auto src = noise(std::size_t(w) * std::size_t(h), uint32_t(w * h), false);
    int32_t fw = 0, fh = 0, sw = 0, sh = 0;
    void* fast = PixelRotator::rotate(engine, src.data(), w, h, GetParam(), 0x000a0b0c, fw, fh);
    PixelRotator& base = engine;
    void* slow = PixelRotator::rotate(base, src.data(), w, h, GetParam(), 0x000a0b0c, sw, sh);
    ASSERT_TRUE(fast && slow);
    ASSERT_EQ(fw, sw);
    ASSERT_EQ(fh, sh);
    const auto* a = static_cast<const PackedPixel*>(fast);
    const auto* b = static_cast<const PackedPixel*>(slow);
    EXPECT_EQ(std::vector<PackedPixel>(a, a + std::size_t(fw) * std::size_t(fh)),
              std::vector<PackedPixel>(b, b + std::size_t(sw) * std::size_t(sh)));
    engine.destroyImage(fast, fw, fh);
    engine.destroyImage(slow, sw, sh);
  }
}

INSTANTIATE_TEST_SUITE_P(RotateEngine, Rotations, ::testing::Values(30.0, -30.0, 330.0, 44.999, -45.0, 10.0, 1e-9));

}  // namespace
}  // namespace rk
