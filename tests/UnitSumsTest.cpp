// Blockwise unit sums against the serial double sum they stand for: the same bits for data that
// takes the unit paths, crosses binades, holds ties, NaN, infinities, mixed signs and huge or tiny
// terms; on the build's own instructions and, where the processor has them, on AVX2.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "frame/Paths.h"
#include "processors/features/UnitSums.h"

namespace {

// Sums of squared deviations, block by block where allowed, else serially.
template <class T>
double squaresBlockwise(const std::vector<T>& t, double mean, double s, bool wide) {
  const auto n = static_cast<int32_t>(t.size());
  for (int32_t base = 0; base < n; base += rk::units::kBlock) {
    const int32_t m = std::min(rk::units::kBlock, n - base);
    if (rk::units::addSquaresBlock(t.data() + base, m, mean, &s, wide)) continue;
    for (int32_t k = base; k < base + m; ++k)
      s = s + (double(t[std::size_t(k)]) - mean) * (double(t[std::size_t(k)]) - mean);
  }
  return s;
}

// The sums of the terms and of their squared deviations from `mean`, on one path.
template <class T>
std::tuple<double, double> sums(const std::vector<T>& t, double start, double mean, bool wide) {
  return {rk::units::sum(t.data(), int32_t(t.size()), start, wide), squaresBlockwise(t, mean, start, wide)};
}
#if RK_AVX2_PATH
template <class T>
[[gnu::target("avx2"), gnu::flatten]] std::tuple<double, double> wideSums(const std::vector<T>& t, double start,
                                                                          double mean) {
  return sums(t, start, mean, true);
}
[[gnu::target("avx2"), gnu::flatten]] uint64_t wideByteSum(const uint8_t* p, int32_t n) {
  return rk::units::byteSum(p, n, true);
}
#endif

// Both blockwise sums, on both paths, bit for bit the serial ones.
template <class T>
void expectSerialBits(const std::vector<T>& t, double start, const char* what, double mean = 97.25) {
  double squares = start;
  for (T v : t) squares = squares + (double(v) - mean) * (double(v) - mean);
  const auto serial = std::tuple(std::bit_cast<uint64_t>(rk::units::serialAdd(t.data(), int32_t(t.size()), start)),
                                 std::bit_cast<uint64_t>(squares));
  auto bits = [](std::tuple<double, double> s) {
    return std::tuple(std::bit_cast<uint64_t>(std::get<0>(s)), std::bit_cast<uint64_t>(std::get<1>(s)));
  };
  EXPECT_EQ(bits(sums(t, start, mean, false)), serial) << what;
#if RK_AVX2_PATH
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(bits(wideSums(t, start, mean)), serial) << what << " (AVX2)";
  }
#endif
}

template <class T>
class UnitSums : public ::testing::Test {};
using Terms = ::testing::Types<float, double, int32_t>;
TYPED_TEST_SUITE(UnitSums, Terms);

// Whole and half values as images hold them, growing through many binades; odd lengths leave a
// short last block. Fractions of a unit: uniform [0, 1) values (blocks of one sign) and values of
// both signs, where only the serial path may add them, and large starting sums that round every term.
TYPED_TEST(UnitSums, ImageValuesAndRoundedTerms) {
  using T = TypeParam;
  std::mt19937 rng(1);
  for (int32_t n : {1, 7, 2047, 2049, 100003}) {
    std::vector<T> t(static_cast<std::size_t>(n));
    for (auto& v : t) v = static_cast<T>(double(rng() % 256) + (std::is_integral_v<T> ? 0.0 : 0.5));
    expectSerialBits(t, 0.0, "image values");
    expectSerialBits(t, -3e6, "from a negative sum");
  }
  if constexpr (!std::is_integral_v<T>) {
    std::uniform_real_distribution<double> unit(0.0, 1.0), both(-1.0, 1.0);
    std::vector<T> positive(50001), mixed(50001), negative(50001);
    for (std::size_t k = 0; k < positive.size(); ++k) {
      positive[k] = static_cast<T>(unit(rng));
      negative[k] = -positive[k];
      mixed[k] = static_cast<T>(both(rng));
    }
    expectSerialBits(positive, 0.0, "[0, 1)");
    expectSerialBits(positive, 1e12, "[0, 1) onto 1e12");
    expectSerialBits(positive, -1e3, "[0, 1) through zero");
    expectSerialBits(mixed, 0.0, "(-1, 1)");
    expectSerialBits(mixed, 12345.678, "(-1, 1) onto a sum");
    expectSerialBits(negative, -7e9, "negative onto a negative sum");
  }
}

// Terms exactly halfway between steps of the sum: the serial sum rounds each to even. Every square
// 2^-52 is half a unit of a sum in [2, 4), so the sum 2 never moves and the odd sum moves once.
TEST(UnitSums, TiesRoundAsTheSerialSum) {
  std::vector<double> t(10000, 0x1p-53), mixed(10000, 0x1p-52);
  for (std::size_t k = 0; k < mixed.size(); k += 3) mixed[k] = 0x1p-53;
  expectSerialBits(t, 1.0, "half units onto 1");
  expectSerialBits(t, 1.0 + 0x1p-52, "half units onto an odd sum");
  expectSerialBits(mixed, 1.0, "units and half units");
  expectSerialBits(std::vector<float>(10000, 0.5f), 0x1p52, "half units of 2^52");
  expectSerialBits(std::vector<float>(9000, 0x1p-26f), 2.0, "square ties onto 2", 0.0);
  expectSerialBits(std::vector<float>(9000, 0x1p-26f), 2.0 + 0x1p-51, "square ties onto an odd sum", 0.0);
}

// NaN, infinities, huge and tiny terms, extreme sums and a sum that returns to zero.
TEST(UnitSums, ExceptionalTerms) {
  std::mt19937 rng(3);
  std::vector<double> base(20000);
  for (auto& v : base) v = static_cast<double>(rng() % 1000);
  for (double special :
       {double(NAN), double(INFINITY), -double(INFINITY), 1e300, -1e300, 0x1p-1074, -0.0, 1e17, 3e37, 1e-30, 3e38})
    for (std::size_t at : {std::size_t(0), std::size_t(2047), std::size_t(5000), std::size_t(19999)}) {
      std::vector<double> t(base);
      t[at] = special;
      expectSerialBits(t, 0.0, "special term");
    }
  expectSerialBits(base, 0x1p-950, "tiny start");
  expectSerialBits(base, 0x1p950, "huge start");
  std::vector<double> back(base);
  for (double v : base) back.push_back(-v);
  expectSerialBits(back, 0.0, "sum back to zero");
  expectSerialBits(std::vector<float>(30000, 3e37f), 0.0, "sums beyond the float range");
  std::uniform_real_distribution<float> spread(-100.0f, 300.0f);
  std::vector<float> values(30001);
  for (auto& v : values) v = spread(rng);
  expectSerialBits(values, 1e-3, "spread onto a small sum");
  for (float special : {NAN, INFINITY, 3e38f}) {
    std::vector<float> t(values);
    t[7000] = special;
    expectSerialBits(t, 0.0, "special float term");
  }
  expectSerialBits(std::vector<double>(values.begin(), values.end()), 0.0, "doubles", 97.253);
}

// Byte sums in vector registers leave a remainder to the plain loop; all bytes 255 is the largest.
TEST(UnitSums, ByteSums) {
  std::mt19937 rng(4);
  std::vector<uint8_t> bytes(70001), full(70001, 255);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  for (const auto* data : {&bytes, &full})
    for (int32_t n : {0, 1, 31, 63, 64, 65, 4097, 70001}) {
      const uint64_t plain = rk::units::byteSumPlain(data->data(), n);
      EXPECT_EQ(rk::units::byteSum(data->data(), n, false), plain) << n;
#if RK_AVX2_PATH
      if (__builtin_cpu_supports("avx2")) {
        EXPECT_EQ(wideByteSum(data->data(), n), plain) << n;
      }
#endif
    }
  EXPECT_EQ(rk::units::byteSumPlain(full.data(), 70001), 70001u * 255u);
}

}  // namespace
