// The features: per-plane mean and spread and the means per matrix, per plane and over the stream,
// every type pair against a scalar reference with the 8-bit wrap-around and the checks of each mode;
// and the blockwise unit sums behind the long double sums, bit for bit the serial sums they stand
// for on the build's own instructions and, where the processor has them, on AVX2.
#include <bit>
#include <random>
#include <string>
#include <tuple>

#include "frame/Paths.h"
#include "processors/features/UnitSums.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

// ---- _MittelSigma: mean and spread in the output type -------------------------------------------

// Integer outputs: exact arithmetic reduced modulo 2^bits at every step, with no division where an
// 8-bit output's pixel count is 0 modulo 256. Floating outputs round after every addition.
template <class I, class O>
std::vector<O> refMeanSigma(const std::vector<I>& in, int64_t pixels, std::size_t planes) {
  std::vector<O> out(2 * planes);
  for (std::size_t p = 0; p < planes; ++p) {
    O mean = 0, spread = 0;
    if constexpr (std::is_integral_v<O>) {
      const uint64_t mask = sizeof(O) == 1 ? 0xffu : 0xffffffffu;
      const int64_t divisor = sizeof(O) == 1 ? pixels % 256 : pixels;
      auto divided = [&](uint64_t sum) { return divisor ? O(int64_t(refConvert<O>(double(sum))) / divisor) : O(0); };
      uint64_t sum = 0, squares = 0;
      for (std::size_t k = p; k < in.size(); k += planes)
        sum = (sum + uint64_t(int64_t(refConvert<int32_t>(double(in[k]))))) & mask;
      mean = divided(sum);
      for (std::size_t k = p; k < in.size(); k += planes) {
        uint64_t e;
        if constexpr (std::is_integral_v<I>) {
          e = uint64_t(int64_t(in[k]) - int64_t(mean)) & 0xffffffffu;
          e *= e;
        } else {
          e = uint32_t(refConvert<int32_t>((double(in[k]) - double(mean)) * (double(in[k]) - double(mean))));
        }
        squares = (squares + e) & mask;
      }
      spread = divided(squares);
    } else {
      for (std::size_t k = p; k < in.size(); k += planes) mean = O(double(mean) + double(in[k]));
      mean = O(double(mean) / double(pixels));
      for (std::size_t k = p; k < in.size(); k += planes)
        spread = O(double(spread) + (double(in[k]) - double(mean)) * (double(in[k]) - double(mean)));
      spread = O(double(spread) / double(pixels));
    }
    out[p] = mean;
    out[planes + p] = spread;
  }
  return out;
}

template <class O, class I>
void expectReference(kxhost::Instance& inst, std::size_t m, const std::vector<I>& in, int32_t x, int32_t y,
                     int32_t planes) {
  EXPECT_TRUE(convertedFrom(output<O>(inst, 0, m), refMeanSigma<I, O>(in, int64_t(x) * y, std::size_t(planes))))
      << "matrix " << m;
}

template <class P>
class MittelSigmaTypes : public ::testing::Test {};
TYPED_TEST_SUITE(MittelSigmaTypes, AllTypePairs, TypePairNames);

// Streams of one plane and of three (the planes of matrix 0 hold for the stream). The 40 x 13
// matrix has enough pixels for 8-bit sums to wrap; 256 and 512 pixels leave an 8-bit output no
// divisor, 257 divide by 1. Each output is named like its input.
TYPED_TEST(MittelSigmaTypes, MatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const std::vector<std::vector<int32_t>> streams[] = {
      {{4, 3, 1}, {40, 13, 1}, {1, 1, 1}, {16, 16, 1}, {512, 1, 1}, {257, 1, 1}, {1031, 1, 1}}, {{5, 2, 3}, {2, 7, 3}}};
  uint32_t seed = 90;
  for (const auto& shapes : streams) {
    auto inst = instance("_MittelSigma");
    inst.outputs[0].type = code<O>();
    std::vector<std::vector<I>> data;
    for (const auto& s : shapes) {
      data.push_back(samples<I>(std::size_t(s[0] * s[1] * s[2]), seed++));
      addMatrix<I>(inst.inputs[0], s[0], s[1], s[2], data.back(), std::to_string(seed).c_str());
    }
    inst.inputs[0].stream.matrices.back()->info().UserDatas.assign("u", 1);
    ASSERT_TRUE(runBoth(inst).completed);
    ASSERT_EQ(inst.outputs[0].stream.size(), int32_t(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
      expectReference<O>(inst, i, data[i], shapes[i][0], shapes[i][1], shapes[i][2]);
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      EXPECT_EQ(std::tuple(info.X, info.Y, info.Planes), std::tuple(2, 1, shapes[i][2]));
      EXPECT_STREQ(info.Name.c_str(), inst.inputs[0].stream.matrices[i]->info().Name.c_str());
      EXPECT_EQ(info.UserDatas.size(), i + 1 == data.size());
    }
  }
}

// Long double-output sums, which are added blockwise once the sum's rounding can be foreseen: they
// must equal the serial sums bit for bit, through binade changes, huge and non-finite terms, and
// data whose squares fall halfway between representable steps of the sum.
TEST(MittelSigma, LongDoubleSumsMatchTheSerialSum) {
  const int32_t x = 300, y = 217;
  const std::size_t n = std::size_t(x) * y;
  auto run = [&]<class I>(const std::vector<I>& data) {
    auto inst = instance("_MittelSigma");
    inst.outputs[0].type = code<double>();
    addMatrix<I>(inst.inputs[0], x, y, 1, data);
    ASSERT_TRUE(inst.run().completed);
    expectReference<double>(inst, 0, data, x, y, 1);
  };
  run(samples<uint8_t>(n, 5));
  run(samples<int32_t>(n, 6));
  run(samples<float>(n, 7));
  run(samples<double>(n, 8));
  run(samples<double>(n, 9, /*withNaN=*/true));
  // The sum is 2 + 2^-51 (an odd number of its steps 2^-51) after the first block, then every square
  // 2^-52 is halfway between steps: the first one rounds the sum up to even, the others leave it.
  std::vector<double> ties(n, 0.0);
  ties[0] = 1.0 + 0x1p-52;
  ties[1] = -1.0;
  ties[2] = -0x1p-52;
  for (std::size_t k = 4096; k + 1 < n; k += 2) {
    ties[k] = 0x1p-26;
    ties[k + 1] = -0x1p-26;
  }
  run(ties);
  // Mostly small values with rare large ones: terms far above the running sum.
  std::vector<uint8_t> spikes(n, 1);
  for (std::size_t k = 0; k < n; k += 9973) spikes[k] = 255;
  run(spikes);
  std::vector<float> outliers = samples<float>(n, 10);
  for (std::size_t k = 4000; k < n; k += 20011) outliers[k] = 3e37f;
  run(outliers);
}

// A matrix without elements, as matrix 0 or after a valid one: the run stops there.
TEST(MittelSigma, MatrixWithoutElementsStopsTheRun) {
  const int32_t bad[][4] = {{0, 2, 1, 1}, {2, 0, 1, 1}, {2, 2, 0, 1}, {-2, -2, 1, 1},
                            {2, 2, 3, 0}, {0, 2, 1, 0}, {3, 0, 1, 0}, {-1, -4, 1, 0}};
  for (const auto& b : bad) {
    auto inst = instance("_MittelSigma");
    if (!b[3]) addRow<uint8_t>(inst.inputs[0], {4, 6});
    const auto n = std::size_t(std::max(0, b[0]) * std::max(0, b[1]) * std::max(0, b[2]));
    addMatrix<uint8_t>(inst.inputs[0], b[0], b[1], b[2], std::vector<uint8_t>(n, 9));
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    kxhost::RunResult r = inst.run();
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).");
    ASSERT_EQ(inst.outputs[0].stream.size(), b[3] ? 0 : 1);
    if (!b[3]) {
      EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{5, 1}));
    }
  }
}

// ---- _MittelWert: the means of each mode ----------------------------------------------------------

// The mean of the values at index k and every `step` after it, given `divisor`: integer outputs
// add 32-bit truncated elements modulo 2^32 (kept apart from an 8-bit output's elements), floats
// round after each addition.
template <class O, class I>
O refMean(const std::vector<I>& in, std::size_t k, std::size_t step, int64_t divisor) {
  uint32_t bits = 0;
  double value = 0;
  for (; k < in.size(); k += step) {
    if constexpr (std::is_integral_v<O>)
      bits += uint32_t(refConvert<int32_t>(double(in[k])));
    else
      value = double(O(value + double(in[k])));
  }
  if constexpr (std::is_integral_v<O>)
    return refConvert<O>(double(int64_t(int32_t(bits)) / divisor));
  else
    return O(value / double(divisor));
}

kxhost::Instance meanInstance(int32_t mode, kxType out) {
  auto inst = instance("_MittelWert");
  setParam(inst, "Mittelwerttyp", mode);
  inst.outputs[0].type = out;
  return inst;
}

template <class P>
class MittelWertTypes : public ::testing::Test {};
TYPED_TEST_SUITE(MittelWertTypes, AllTypePairs, TypePairNames);

// Mode 0 (per matrix), 1 (per plane) and 2 (the mean matrix, named after the first). The long
// single plane of odd length is summed in vector lanes and in blocks of many thousand elements.
TYPED_TEST(MittelWertTypes, EveryModeMatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const int32_t mats[][3] = {{5, 3, 3}, {4, 4, 1}, {1, 1, 2}, {301, 300, 1}};
  for (int32_t mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    auto inst = meanInstance(mode, code<O>());
    std::vector<std::vector<I>> stream;
    for (std::size_t i = 0; i < (mode == 2 ? 5u : 4u); ++i) {
      const int32_t* m = mode == 2 ? mats[0] : mats[i];
      stream.push_back(samples<I>(std::size_t(m[0] * m[1] * m[2]), 40 + uint32_t(i)));
      addMatrix<I>(inst.inputs[0], m[0], m[1], m[2], stream.back(), i ? "later" : "first")
          .info()
          .UserDatas.assign(i ? "l" : "f", 1);
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(inst.outputs[0].stream.size(), mode == 2 ? 1 : 4);
    for (std::size_t i = 0; i < std::size_t(inst.outputs[0].stream.size()); ++i) {
      const int32_t* m = mode == 2 ? mats[0] : mats[i];
      const std::size_t n = mode == 0 ? 1 : mode == 1 ? std::size_t(m[2]) : stream[0].size();
      std::vector<O> want;
      for (std::size_t k = 0; k < n; ++k) {
        if (mode < 2) {
          want.push_back(refMean<O>(stream[i], k, n, mode == 0 ? int64_t(stream[i].size()) : int64_t(m[0]) * m[1]));
        } else {
          std::vector<I> column;
          for (const auto& s : stream) column.push_back(s[k]);
          want.push_back(refMean<O>(column, 0, 1, 5));
        }
      }
      EXPECT_TRUE(convertedFrom(output<O>(inst, 0, i), want)) << "matrix " << i;
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      const auto shape = mode == 2 ? std::tuple(5, 3, 3) : std::tuple(1, 1, mode == 0 ? 1 : m[2]);
      EXPECT_EQ(std::tuple(info.X, info.Y, info.Planes), shape);
      EXPECT_STREQ(info.Name.c_str(), i ? "later" : "first");
      ASSERT_EQ(info.UserDatas.size(), 1);
      EXPECT_EQ(static_cast<char>(info.UserDatas.data()[0]), i ? 'l' : 'f');
    }
  }
}

TEST(MittelWert, EmptyMatrixStopsTheRunWhenReached) {
  for (int32_t mode : {0, 1, 7}) {
    auto inst = meanInstance(mode, code<double>());
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    addMatrix<uint8_t>(inst.inputs[0], 0, 1, 1, {});
    kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).");
    EXPECT_EQ(inst.outputs[0].stream.size(), 1) << "mode " << mode;
  }
}

TEST(MittelWert, UnknownModeCreatesEmptyOutputPerMatrix) {
  for (int32_t mode : {3, -1}) {
    auto inst = meanInstance(mode, code<int32_t>());
    addMatrix<int32_t>(inst.inputs[0], 2, 2, 1, {5, 6, 7, 8}, "a");
    addMatrix<int32_t>(inst.inputs[0], 3, 1, 1, {5, 6, 7}, "b");
    ASSERT_TRUE(inst.run().completed);
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    for (const auto& m : inst.outputs[0].stream.matrices) {
      EXPECT_EQ(m->count(), 0u);
      EXPECT_STREQ(m->info().Name.c_str(), "");
    }
  }
}

// Only the mean matrix needs matrices of one size; the host refuses others before anything is written.
TEST(MittelWert, MeanMatrixRefusesUnequalSizesBeforeReading) {
  for (int32_t mode : {2, 1}) {
    auto inst = meanInstance(mode, code<double>());
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
    kxhost::RunResult r = inst.run();
    EXPECT_EQ(r.completed, mode == 1);
    EXPECT_FALSE(r.processorError);
    EXPECT_EQ(inst.outputs[0].stream.metaSet, mode == 1);
    if (mode == 1) {
      EXPECT_EQ(output<double>(inst, 0, 1), std::vector<double>{2});
    }
  }
}

// An empty stream gives an empty output with the input's meta information; the mean over the stream
// (mode 2) makes no mean matrix of nothing. The running-mean binarisation does the same.
TEST(Features, EmptyStreamGivesTheMetaInformationOnly) {
  for (const char* entry : {"_MittelSigma", "_MittelWert", "_BinAdaptThreshImage"}) {
    auto inst = instance(entry);
    if (entry == std::string("_MittelWert")) setParam(inst, "Mittelwerttyp", int32_t(2));
    inst.inputs[0].stream.meta = info(2, 2, 1, "meta");
    ASSERT_TRUE(inst.run().completed) << entry;
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty()) << entry;
    EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta") << entry;
  }
}

// ---- the unit sums ---------------------------------------------------------------------------------

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
