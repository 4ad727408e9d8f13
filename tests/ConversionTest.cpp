// The conversion table between element types, including the edges where hardware conversions differ.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "frame/Types.h"

using rk::convert;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Conversion, IntegersToEightBitsKeepTheLowByte) {
  EXPECT_EQ(convert<uint8_t>(int32_t(300)), 44);
  EXPECT_EQ(convert<uint8_t>(int32_t(-1)), 255);
  EXPECT_EQ(convert<uint8_t>(int32_t(INT32_MIN)), 0);
  EXPECT_EQ(convert<uint8_t>(uint8_t(200)), 200);
  EXPECT_EQ(convert<int32_t>(uint8_t(200)), 200);  // zero-extended, never -56
}

struct FloatCase {
  double value;
  uint8_t u8;
  int32_t i32;
};

class FloatToInteger : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatToInteger, TruncatesTowardZeroThenKeepsLowBits) {
  const FloatCase& c = GetParam();
  EXPECT_EQ(convert<uint8_t>(c.value), c.u8) << c.value;
  EXPECT_EQ(convert<int32_t>(c.value), c.i32) << c.value;
  // A float holding the same value converts alike (every case value is exact in float).
  float f = static_cast<float>(c.value);
  if (static_cast<double>(f) == c.value || std::isnan(c.value)) {
    EXPECT_EQ(convert<uint8_t>(f), c.u8) << c.value;
    EXPECT_EQ(convert<int32_t>(f), c.i32) << c.value;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatToInteger,
    ::testing::Values(FloatCase{2.7, 2, 2}, FloatCase{-2.7, 254, -2}, FloatCase{-1.5, 255, -1},
                      FloatCase{256.0, 0, 256}, FloatCase{0.6, 0, 0}, FloatCase{-0.0, 0, 0},
                      FloatCase{1e10, 0, static_cast<int32_t>(10000000000LL - 2 * 4294967296LL)},
                      FloatCase{3e9, static_cast<uint8_t>(3000000000LL),
                                static_cast<int32_t>(3000000000LL - 4294967296LL)},
                      FloatCase{2147483648.0, 0, INT32_MIN}, FloatCase{-2147483649.0, 255, INT32_MAX},
                      // 2^63 and beyond, infinities and NaN have no 64-bit integer: 0.
                      FloatCase{9223372036854775808.0, 0, 0}, FloatCase{-9223372036854775808.0, 0, 0},
                      FloatCase{1e300, 0, 0}, FloatCase{kInf, 0, 0}, FloatCase{-kInf, 0, 0}, FloatCase{kNaN, 0, 0},
                      // Just below 2^63 still truncates: 2^63 - 1024 keeps its low 32 bits.
                      FloatCase{9223372036854774784.0, 0, -1024}, FloatCase{-4294967297.0, 255, -1}));

TEST(Conversion, ToFloatRoundsToNearest) {
  EXPECT_EQ(convert<float>(int32_t(16777217)), 16777216.0f);
  EXPECT_EQ(convert<float>(0.1), 0.1f);
  EXPECT_EQ(convert<double>(int32_t(INT32_MIN)), -2147483648.0);
  EXPECT_EQ(convert<double>(0.1f), static_cast<double>(0.1f));
}

TEST(Conversion, WrapCutsToOutputWidth) {
  EXPECT_EQ(rk::wrap<uint8_t>(255u + 1u), 0);
  EXPECT_EQ(rk::wrap<int32_t>(uint32_t(INT32_MAX) + 1u), INT32_MIN);
}

}  // namespace
