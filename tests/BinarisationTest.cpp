// Fixed-threshold binarisation: every type pair against a scalar reference, and the conversion edges.
#include <cmath>
#include <limits>

#include "support/Harness.h"
#include "support/TypePairs.h"

using namespace rktest;

namespace {

struct BinParams {
  double above, below, threshold;
};

// Hand-picked so that conversions matter: thresholds with fractions, beyond 8 bits, negative; output
// values beyond 8 bits, with fractions, negative and beyond 32 bits.
const BinParams kParamSets[] = {
    {255, 0, 128}, {256, -1, 128.9}, {1000.7, -2.7, 300}, {-5, 3e9, -1}, {2.5, 1.5, -0.5}, {7, 0.1, 0.7},
};

template <class I, class O>
std::vector<O> reference(const std::vector<I>& in, const BinParams& p) {
  const double threshold = std::is_integral_v<I> ? static_cast<double>(pairConvert<I>(p.threshold)) : p.threshold;
  std::vector<O> out;
  for (I v : in) {
    const double x = static_cast<double>(v);
    // An unordered comparison (a NaN element or threshold) counts as below.
    const bool lower = !(x >= threshold);
    out.push_back(pairConvert<O>(lower ? p.below : p.above));
  }
  return out;
}

kxhost::RunResult runBin(kxhost::Instance& inst, double above, double below, double threshold) {
  setParam(inst, "above", above);
  setParam(inst, "below", below);
  setParam(inst, "threshold", threshold);
  return inst.run();
}

template <class P>
class BinImageTypes : public ::testing::Test {};
TYPED_TEST_SUITE(BinImageTypes, AllTypePairs, TypePairNames);

// Two multi-plane matrices per parameter set; the inputs also hold the threshold itself and its
// neighbours so that the strict test is exercised in every type.
TYPED_TEST(BinImageTypes, MatchesReferenceForEveryElement) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  uint32_t seed = 1;
  for (const BinParams& p : kParamSets) {
    auto inst = instance("_BinImage");
    inst.outputs[0].type = code<O>();
    std::vector<I> a = samples<I>(5 * 3 * 2, seed++, true);
    const double t = std::is_integral_v<I> ? double(pairConvert<I>(p.threshold)) : p.threshold;
    a[0] = static_cast<I>(t);
    a[1] = static_cast<I>(std::nextafter(t, -1e300));
    a[2] = static_cast<I>(std::nextafter(t, 1e300));
    std::vector<I> b = samples<I>(4, seed++, true);
    addMatrix<I>(inst.inputs[0], 5, 3, 2, a, "first");
    addMatrix<I>(inst.inputs[0], 2, 2, 1, b, "second");
    kxhost::RunResult r = runBin(inst, p.above, p.below, p.threshold);
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    EXPECT_EQ(output<O>(inst, 0, 0), (reference<I, O>(a, p))) << "threshold " << p.threshold;
    EXPECT_EQ(output<O>(inst, 0, 1), (reference<I, O>(b, p))) << "threshold " << p.threshold;
    const kxMInfo& info = inst.outputs[0].stream.matrices[0]->info();
    EXPECT_EQ(info.X, 5);
    EXPECT_EQ(info.Y, 3);
    EXPECT_EQ(info.Planes, 2);
    EXPECT_STREQ(inst.outputs[0].stream.matrices[1]->info().Name.c_str(), "second");
  }
}

struct EightBitCase {
  double threshold;
  uint8_t firstUpper;  // the smallest element that receives the upper value
};

class BinImageEightBitThreshold : public ::testing::TestWithParam<EightBitCase> {};

TEST_P(BinImageEightBitThreshold, TruncatesAndWrapsTheThreshold) {
  auto inst = instance("_BinImage");
  std::vector<uint8_t> all(256);
  for (int k = 0; k < 256; ++k) all[static_cast<std::size_t>(k)] = static_cast<uint8_t>(k);
  addRow<uint8_t>(inst.inputs[0], all);
  ASSERT_TRUE(runBin(inst, 255, 0, GetParam().threshold).completed);
  std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
  for (int k = 0; k < 256; ++k) EXPECT_EQ(out[static_cast<std::size_t>(k)], k < GetParam().firstUpper ? 0 : 255) << k;
}

INSTANTIATE_TEST_SUITE_P(Thresholds, BinImageEightBitThreshold,
                         ::testing::Values(EightBitCase{128, 128}, EightBitCase{128.9, 128}, EightBitCase{300, 44},
                                           EightBitCase{-1, 255}, EightBitCase{256, 0}, EightBitCase{-0.5, 0}));

// 0.7f lies below 0.7; a threshold rounded to float would let it pass.
TEST(BinImage, FloatInputComparesWithUnroundedThreshold) {
  auto inst = instance("_BinImage");
  addRow<float>(inst.inputs[0], {0.7f, std::nextafter(0.7f, 1.0f), 0.1f});
  ASSERT_TRUE(runBin(inst, 255, 0, 0.7).completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{0, 255, 0}));
  ASSERT_TRUE(runBin(inst, 255, 0, 0.1).completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{255, 255, 255}));
}

TEST(BinImage, NaNElementsTakeTheLowerValue) {
  auto inst = instance("_BinImage");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  addRow<double>(inst.inputs[0], {nan, -nan, 5.0});
  inst.outputs[0].type = code<double>();
  ASSERT_TRUE(runBin(inst, 2, 1, 0).completed);
  EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{1, 1, 2}));
}

struct OutputValueCase {
  kxType out;
  double value;
  double expected;
};

class BinImageOutputValue : public ::testing::TestWithParam<OutputValueCase> {};

TEST_P(BinImageOutputValue, UpperValueIsConvertedToOutputType) {
  const OutputValueCase& c = GetParam();
  auto inst = instance("_BinImage");
  addRow<uint8_t>(inst.inputs[0], {200});
  inst.outputs[0].type = c.out;
  ASSERT_TRUE(runBin(inst, c.value, 0, 128).completed);
  const kxhost::Matrix& m = *inst.outputs[0].stream.matrices.at(0);
  double got = c.out == 0 ? m.as<uint8_t>()[0] : c.out == 2 ? m.as<int32_t>()[0] : m.as<float>()[0];
  EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, BinImageOutputValue,
                         ::testing::Values(OutputValueCase{0, 255, 255}, OutputValueCase{0, 256, 0},
                                           OutputValueCase{0, -1.5, 255}, OutputValueCase{2, 1000, 1000},
                                           OutputValueCase{2, 2.7, 2}, OutputValueCase{2, -2.7, -2},
                                           OutputValueCase{2, 3e9, 3e9 - 4294967296.0},
                                           OutputValueCase{3, 0.1, double(0.1f)}));

TEST(BinImage, UnsupportedTypesStopBeforeAnythingIsWritten) {
  for (kxType in : {0, 1}) {
    auto inst = instance("_BinImage");
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    inst.inputs[0].type = in;
    inst.outputs[0].type = 1;
    kxhost::RunResult r = inst.run();
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, in == 1 ? "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."
                               : "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  }
}

}  // namespace

namespace {

// Outputs of 16 MiB and more of 8-bit or float inputs of their own type are compared in registers
// and streamed: every element of one such matrix against the reference, at thresholds that are no
// float (0.1, 1e300), infinite or NaN, next to float elements just below and above them.
template <class T>
void largeMatchesReference(double threshold) {
  const std::size_t n = (std::size_t(16) << 20) / sizeof(T) + 4099;
  std::vector<T> in(n);
  const float nearTenth = 0.1f;  // just above 0.1
  const T specials[] = {T(0), T(255), T(128), T(127)};
  uint32_t x = 17;
  for (std::size_t k = 0; k < n; ++k) {
    x = x * 1664525u + 1013904223u;
    if constexpr (std::is_same_v<T, float>) {
      const float pool[] = {nearTenth,
                            std::nextafter(nearTenth, 0.0f),
                            -0.0f,
                            INFINITY,
                            -INFINITY,
                            NAN,
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max()};
      in[k] = (x >> 28) < 8 ? pool[(x >> 8) % 8] : static_cast<float>(int32_t(x)) * 1e-7f;
    } else {
      in[k] = (x >> 28) < 2 ? specials[(x >> 8) % 4] : static_cast<T>(x >> 24);
    }
  }
  auto inst = instance("_BinImage");
  addRow<T>(inst.inputs[0], in);
  inst.outputs[0].type = std::is_same_v<T, float> ? 3 : 0;
  const BinParams p{200, 7, threshold};
  const kxhost::RunResult r = runBin(inst, p.above, p.below, p.threshold);
  ASSERT_TRUE(r.completed) << r.error;
  const std::vector<T> out = output<T>(inst, 0, 0);
  const std::vector<T> want = reference<T, T>(in, p);
  ASSERT_EQ(out.size(), want.size());
  for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(out[k], want[k]) << "threshold " << threshold << ", element " << k;
}

TEST(BinImage, LargeEightBitMatricesMatchTheReference) {
  for (double t : {128.0, 0.0, 255.0, 300.7}) largeMatchesReference<uint8_t>(t);
}

TEST(BinImage, LargeFloatMatricesMatchTheReference) {
  for (double t : {0.1, -0.0, 1e300, -1e300, double(INFINITY), -double(INFINITY), double(NAN), 3.4028235e38})
    largeMatchesReference<float>(t);
}

}  // namespace
