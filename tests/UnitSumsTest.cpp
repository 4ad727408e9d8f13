// Blockwise unit sums against the serial double sum they stand for: the same bits for data that
// takes the unit paths, crosses binades, holds ties, NaN, infinities, mixed signs and huge or tiny
// terms; on the build's own instructions and, where the processor has them, on AVX2.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "frame/Paths.h"
#include "processors/features/UnitSums.h"

namespace {

#if RK_AVX2_PATH
template <class T>
[[gnu::target("avx2"), gnu::flatten]] double wideSum(const T* t, int32_t n, double s) {
  return rk::units::sum(t, n, s, true);
}
#endif

#if RK_AVX2_PATH
[[gnu::target("avx2"), gnu::flatten]] uint64_t wideByteSum(const uint8_t* p, int32_t n) {
  return rk::units::byteSum(p, n, true);
}
#endif

template <class T>
void expectSerialBits(const std::vector<T>& t, double start, const char* what) {
  const auto n = static_cast<int32_t>(t.size());
  const double serial = rk::units::serialAdd(t.data(), n, start);
  const double blocks = rk::units::sum(t.data(), n, start, false);
  EXPECT_EQ(std::bit_cast<uint64_t>(blocks), std::bit_cast<uint64_t>(serial))
      << what << ": " << blocks << " vs " << serial;
#if RK_AVX2_PATH
  if (__builtin_cpu_supports("avx2")) {
    const double wide = wideSum(t.data(), n, start);
    EXPECT_EQ(std::bit_cast<uint64_t>(wide), std::bit_cast<uint64_t>(serial)) << what << " (AVX2)";
  }
#endif
}

template <class T>
class UnitSums : public ::testing::Test {};
using Terms = ::testing::Types<float, double, int32_t>;
TYPED_TEST_SUITE(UnitSums, Terms);

// Whole and half values as images hold them, growing through many binades; odd lengths leave a
// short last block.
TYPED_TEST(UnitSums, ImageValues) {
  using T = TypeParam;
  std::mt19937 rng(1);
  for (int32_t n : {1, 7, 2047, 2049, 100003}) {
    std::vector<T> t(static_cast<std::size_t>(n));
    for (auto& v : t) {
      const double whole = static_cast<double>(rng() % 256);
      v = static_cast<T>(std::is_integral_v<T> ? whole : whole + 0.5);
    }
    expectSerialBits(t, 0.0, "image values");
    expectSerialBits(t, -3e6, "from a negative sum");
  }
}

// Fractions of a unit: uniform [0, 1) values (blocks of one sign) and values of both signs, where
// only the serial path may add them, and large starting sums that round every term.
TYPED_TEST(UnitSums, RoundedTerms) {
  using T = TypeParam;
  if constexpr (!std::is_integral_v<T>) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> unit(0.0, 1.0), both(-1.0, 1.0);
    std::vector<T> positive(50001), mixed(50001);
    for (auto& v : positive) v = static_cast<T>(unit(rng));
    for (auto& v : mixed) v = static_cast<T>(both(rng));
    expectSerialBits(positive, 0.0, "[0, 1)");
    expectSerialBits(positive, 1e12, "[0, 1) onto 1e12");
    expectSerialBits(positive, -1e3, "[0, 1) through zero");
    expectSerialBits(mixed, 0.0, "(-1, 1)");
    expectSerialBits(mixed, 12345.678, "(-1, 1) onto a sum");
    std::vector<T> negative(positive);
    for (auto& v : negative) v = -v;
    expectSerialBits(negative, -7e9, "negative onto a negative sum");
  }
}

// Terms exactly halfway between steps of the sum: the serial sum rounds each to even.
TEST(UnitSums, TiesRoundAsTheSerialSum) {
  std::vector<double> t(10000, 0x1p-53);  // half a unit of a sum in [1, 2)
  expectSerialBits(t, 1.0, "half units onto 1");
  expectSerialBits(t, 1.0 + 0x1p-52, "half units onto an odd sum");
  std::vector<double> mixed(10000, 0x1p-52);
  for (std::size_t k = 0; k < mixed.size(); k += 3) mixed[k] = 0x1p-53;
  expectSerialBits(mixed, 1.0, "units and half units");
  std::vector<float> halves(10000, 0.5f);
  expectSerialBits(halves, 0x1p52, "half units of 2^52");
}

// NaN, infinities, huge and tiny terms, extreme sums and a sum that returns to zero.
TEST(UnitSums, ExceptionalTerms) {
  std::mt19937 rng(3);
  std::vector<double> base(20000);
  for (auto& v : base) v = static_cast<double>(rng() % 1000);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             1e300,
                             -1e300,
                             0x1p-1074,
                             -0.0,
                             1e17,
                             3e37,
                             1e-30};
  for (double special : specials) {
    for (std::size_t at : {std::size_t(0), std::size_t(2047), std::size_t(5000), std::size_t(19999)}) {
      std::vector<double> t(base);
      t[at] = special;
      expectSerialBits(t, 0.0, "special term");
    }
  }
  expectSerialBits(base, 0x1p-950, "tiny start");
  expectSerialBits(base, 0x1p950, "huge start");
  std::vector<double> back(base);
  for (double v : base) back.push_back(-v);
  expectSerialBits(back, 0.0, "sum back to zero");
  std::vector<float> big(30000, 3e37f);
  expectSerialBits(big, 0.0, "sums beyond the float range");
}

// Sums of squared deviations, block by block where allowed, against the serial sum.
template <class T>
double squaresBlockwise(const std::vector<T>& t, double mean, double s, bool wide) {
  const auto n = static_cast<int32_t>(t.size());
  for (int32_t base = 0; base < n; base += rk::units::kBlock) {
    const int32_t m = std::min(rk::units::kBlock, n - base);
    if (rk::units::addSquaresBlock(t.data() + base, m, mean, &s, wide)) continue;
    for (int32_t k = 0; k < m; ++k) {
      const double d = static_cast<double>(t[static_cast<std::size_t>(base + k)]) - mean;
      s = s + d * d;
    }
  }
  return s;
}

#if RK_AVX2_PATH
template <class T>
[[gnu::target("avx2"), gnu::flatten]] double wideSquares(const std::vector<T>& t, double mean, double s) {
  return squaresBlockwise(t, mean, s, true);
}
#endif

template <class T>
void expectSerialSquares(const std::vector<T>& t, double mean, double start, const char* what) {
  double serial = start;
  for (T v : t) {
    const double d = static_cast<double>(v) - mean;
    serial = serial + d * d;
  }
  EXPECT_EQ(std::bit_cast<uint64_t>(squaresBlockwise(t, mean, start, false)), std::bit_cast<uint64_t>(serial)) << what;
#if RK_AVX2_PATH
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(std::bit_cast<uint64_t>(wideSquares(t, mean, start)), std::bit_cast<uint64_t>(serial))
        << what << " (AVX2)";
  }
#endif
}

TEST(UnitSums, SquaredDeviations) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> spread(-100.0f, 300.0f);
  std::vector<float> values(30001);
  for (auto& v : values) v = spread(rng);
  expectSerialSquares(values, 97.25, 0.0, "spread");
  expectSerialSquares(values, 97.25, 1e-3, "spread onto a small sum");
  // Every square 2^-52 is half a unit of a sum in [2, 4): the serial sum rounds each to even, so
  // the sum 2 never moves and the odd sum moves once.
  std::vector<float> ties(9000, 0x1p-26f);
  expectSerialSquares(ties, 0.0, 2.0, "ties onto 2");
  expectSerialSquares(ties, 0.0, 2.0 + 0x1p-51, "ties onto an odd sum");
  std::vector<float> withNaN(values), withInf(values), huge(values);
  withNaN[5000] = std::numeric_limits<float>::quiet_NaN();
  withInf[7000] = std::numeric_limits<float>::infinity();
  huge[9000] = 3e38f;
  expectSerialSquares(withNaN, 97.25, 0.0, "NaN");
  expectSerialSquares(withInf, 97.25, 0.0, "infinity");
  expectSerialSquares(huge, 97.25, 0.0, "a square far beyond the sum");
  std::vector<double> doubles(values.begin(), values.end());
  expectSerialSquares(doubles, 97.253, 0.0, "doubles");
}

// Byte sums in vector registers leave a remainder to the plain loop; all bytes 255 is the largest.
TEST(UnitSums, ByteSums) {
  std::mt19937 rng(4);
  std::vector<uint8_t> bytes(70001);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> full(70001, 255);
  for (const auto* data : {&bytes, &full}) {
    for (int32_t n : {0, 1, 31, 63, 64, 65, 4097, 70001}) {
      const uint64_t plain = rk::units::byteSumPlain(data->data(), n);
      EXPECT_EQ(rk::units::byteSum(data->data(), n, false), plain) << n;
#if RK_AVX2_PATH
      if (__builtin_cpu_supports("avx2")) {
        EXPECT_EQ(wideByteSum(data->data(), n), plain) << n;
      }
#endif
    }
  }
  EXPECT_EQ(rk::units::byteSumPlain(full.data(), 70001), 70001u * 255u);
}

}  // namespace
