// The rotation engine's whole-line paths (engines with direct pixel access) against its pixel-by-pixel
// algorithms (the same engine reached through the five virtual operations): single lines, column
// blocks and whole rotations, over odd sizes, shifts far outside the line, weights with and without
// a fixed-point form, and backgrounds with every byte set.
#include <gtest/gtest.h>

#include <algorithm>
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

  // The second shear's step over a row with per-column weights, and the same by scaled() and
  // blended() pixel by pixel, as the per-pixel algorithms form it.
  static std::vector<PackedPixel> stepFast(const std::vector<PackedPixel>& row, const std::vector<PackedPixel>* above,
                                           const std::vector<double>& w, PackedPixel bg) {
    const std::size_t n = row.size();
    std::vector<uint16_t> weight(4 * n);
    std::vector<int32_t> inexact;
    for (std::size_t u = 0; u < n; ++u) {
      const int32_t f = PixelRotator::fixedWeight(w[u]);
      if (f < 0) inexact.push_back(int32_t(u));
      for (std::size_t b = 0; b < 4; ++b) weight[4 * u + b] = uint16_t(std::max(f, 0));
    }
    std::vector<PackedPixel> moved(n, 0xdeadbeefu);
    PixelRotator::shearStep(row.data(), above ? above->data() : nullptr, moved.data(), int32_t(n), weight.data(),
                            w.data(), inexact.data(), int32_t(inexact.size()), bg);
    return moved;
  }
  static std::vector<PackedPixel> stepSlow(const std::vector<PackedPixel>& row, const std::vector<PackedPixel>* above,
                                           const std::vector<double>& w, PackedPixel bg) {
    std::vector<PackedPixel> moved(row.size());
    for (std::size_t u = 0; u < row.size(); ++u) {
      const PackedPixel carry = above ? PixelRotator::scaled((*above)[u], w[u]) : bg;
      moved[u] = PixelRotator::blended(row[u], PixelRotator::scaled(row[u], w[u]), carry);
    }
    return moved;
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

// Rows with a remainder after the vectors, weights of every kind (1 has no fixed form) and the
// first row, whose carry is the background.
TEST(RotateEngine, ShearStepMatchesEachPixel) {
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int32_t n : {1, 3, 4, 5, 17, 66}) {
    for (PackedPixel bg : {0u, 0x7f0180ffu}) {
      const auto row = noise(std::size_t(n), uint32_t(n), bg != 0);
      const auto above = noise(std::size_t(n), uint32_t(n + 1), bg != 0);
      std::vector<double> w(static_cast<std::size_t>(n));
      for (std::size_t u = 0; u < w.size(); ++u) w[u] = u % 5 == 2 ? 1.0 : u % 7 == 3 ? 0.5 : unit(gen);
      SCOPED_TRACE(::testing::Message() << n << " columns, bg " << bg);
      EXPECT_EQ(PixelRotatorProbe::stepFast(row, &above, w, bg), PixelRotatorProbe::stepSlow(row, &above, w, bg));
      EXPECT_EQ(PixelRotatorProbe::stepFast(row, nullptr, w, bg), PixelRotatorProbe::stepSlow(row, nullptr, w, bg));
    }
  }
}

// Whole rotations: the packed engine as its final class (whole lines) and through the base class
// (pixel by pixel) give the same image.
class Rotations : public ::testing::TestWithParam<double> {};

TEST_P(Rotations, WholeLinesMatchPixelByPixel) {
  for (auto [w, h] :
       {std::pair{1, 1}, std::pair{5, 3}, std::pair{3, 5}, std::pair{1, 9}, std::pair{67, 41}, std::pair{131, 70}}) {
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

INSTANTIATE_TEST_SUITE_P(RotateEngine, Rotations,
                         ::testing::Values(30.0, -30.0, 330.0, 44.999, -45.0, 45.0, 10.0, 1e-9, 0.0, 359.9));

}  // namespace
}  // namespace rk
