// The rotation engine's whole-line paths (engines with direct pixel access) against its pixel-by-pixel
// algorithms (the same engine reached through the five virtual operations): single lines and whole
// rotations, over odd sizes, shifts far outside the line, the fixed-point weights, and backgrounds
// with every byte set.
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

  // Grey pixels (one byte) stand for packed pixels with that value in all three channels; the
  // per-pixel references work on those and keep channel 0.
  template <class Px>
  static PackedPixel widen(Px v) {
    return sizeof(Px) == 1 ? PackedPixel{v} * 0x010101u : PackedPixel{v};
  }
  template <class Px>
  static Px narrow(PackedPixel v) {
    return sizeof(Px) == 1 ? static_cast<Px>(v & 0xffu) : static_cast<Px>(v);
  }

  template <class Px>
  static std::vector<Px> skewFast(const std::vector<Px>& src, int32_t m, double d, Px bg) {
    std::vector<Px> dst(std::size_t(m), static_cast<Px>(0xdeadbeefu));
    PixelRotator::skewRow(src.data(), int32_t(src.size()), dst.data(), m, d, bg);
    return dst;
  }
  template <class Px>
  static std::vector<Px> skewSlow(const std::vector<Px>& src, int32_t m, double d, Px bg) {
    std::vector<Px> dst(std::size_t(m), static_cast<Px>(0xdeadbeefu));
    PixelRotator::skew([&](int32_t i) { return widen(src.at(std::size_t(i))); },
                       [&](int32_t j, PackedPixel v) { dst.at(std::size_t(j)) = narrow<Px>(v); }, int32_t(src.size()),
                       m, d, widen(bg));
    return dst;
  }
};

namespace {

template <class Px = PackedPixel>
std::vector<Px> noise(std::size_t n, uint32_t seed, bool highByte) {
  std::mt19937 gen(seed);
  std::vector<Px> v(n);
  for (Px& p : v) p = static_cast<Px>(highByte ? gen() : gen() & 0xffffffu);
  return v;
}

// f.template operator()<Px>() for packed and for grey pixels.
template <class F>
void forPixels(F&& f) {
  f.template operator()<PackedPixel>();
  f.template operator()<uint8_t>();
}

// Shifts of every kind: whole, tiny, just below a whole number (weights near 1 and exactly 1 after
// rounding), far before and beyond the line, and NaN.
const double kShifts[] = {
    0.0,     0.25, 0.5,    1.0 / 3,      -0.75,  2.999999,          -1e-20,    1e-20, 3.5, -4.125, 17.01,
    -1000.0, 1e9,  -1e300, 0.9999999999, 6.1e-5, 1.0 - 1.0 / 65536, 2.0 / 255, NAN};

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
  forPixels([]<class Px>() {
    for (int32_t n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 67}) {
      for (int32_t m : {1, n, n + 1, n + 6, 2 * n + 3}) {
        for (double d : kShifts) {
          for (Px bg : {Px(0), static_cast<Px>(0xff80017fu)}) {
            const auto src = noise<Px>(std::size_t(n), uint32_t(n * 131 + m), bg != 0);
            SCOPED_TRACE(::testing::Message()
                         << sizeof(Px) << "-byte " << n << " -> " << m << " by " << d << " bg " << uint32_t(bg));
            ASSERT_EQ(PixelRotatorProbe::skewFast(src, m, d, bg), PixelRotatorProbe::skewSlow(src, m, d, bg));
          }
        }
      }
    }
  });
}

// Whole rotations: the packed engine as its final class (whole lines) and through the base class
// (pixel by pixel) give the same image, and so do grey images on whole lines of bytes.
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
    const PackedPixel* b = static_cast<const PackedPixel*>(slow);
    EXPECT_EQ(std::vector<PackedPixel>(a, a + std::size_t(fw) * std::size_t(fh)),
              std::vector<PackedPixel>(b, b + std::size_t(sw) * std::size_t(sh)));
    engine.destroyImage(fast, fw, fh);
    engine.destroyImage(slow, sw, sh);

    // A grey image rotated as one byte per pixel gives channel 0 of the packed rotation.
    std::vector<uint8_t> grey(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) {
      grey[i] = static_cast<uint8_t>(src[i]);
      src[i] = PackedPixel{grey[i]} * 0x010101u;
    }
    slow = PixelRotator::rotate(base, src.data(), w, h, GetParam(), 0x000c0c0c, sw, sh);
    ASSERT_TRUE(slow);
    b = static_cast<const PackedPixel*>(slow);
    std::vector<uint8_t> want, got;
    for (std::size_t i = 0; i < std::size_t(sw) * std::size_t(sh); ++i) want.push_back(static_cast<uint8_t>(b[i]));
    const bool done = PixelRotator::rotateRows(
        engine, w, h, GetParam(), uint8_t{12},
        [&, w = w](int32_t u) { return grey.data() + std::size_t(u) * std::size_t(w); },
        [&](int32_t ow, int32_t oh) { return ow == sw && oh == sh; },
        [&](int32_t, const uint8_t* row) { got.insert(got.end(), row, row + sw); });
    EXPECT_TRUE(done);
    EXPECT_EQ(got, want);
    engine.destroyImage(slow, sw, sh);
  }
}

INSTANTIATE_TEST_SUITE_P(RotateEngine, Rotations,
                         ::testing::Values(30.0, -30.0, 330.0, 44.999, -45.0, 45.0, 10.0, 1e-9, 0.0, 359.9));

}  // namespace
}  // namespace rk
