// _AndImage, _OrImage and _NotImage: type sweeps against scalar references, and the corners.
#include <tuple>

#include "support/Harness.h"
#include "support/Operands.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

// Each operand's own 8 bits: the value truncated toward zero, low byte.
uint32_t low8(double v) { return refLow32(v) & 0xffu; }

// ---- AND and OR over every type combination ----------------------------------------------------

class BitwiseSweep : public ::testing::TestWithParam<std::tuple<const char*, kxType, kxType, kxType>> {};

TEST_P(BitwiseSweep, ReducesEachOperandToEightBitsFirst) {
  const auto [entry, codeA, codeB, codeO] = GetParam();
  const bool isAnd = std::string(entry) == "_AndImage";
  withType(codeA, [&]<class A>() {
    withType(codeB, [&]<class B>() {
      withType(codeO, [&]<class O>() {
        const PairStreams<A, B> in = pairStreams<A, B>();
        auto inst = instance(entry);
        for (std::size_t i = 0; i < in.a.size(); ++i) {
          addRow<A>(inst.inputs[0], in.a[i]);
          addRow<B>(inst.inputs[1], in.b[i]);
        }
        inst.outputs[0].type = codeO;
        kxhost::RunResult r = inst.run();
        ASSERT_TRUE(r.completed) << r.error;
        EXPECT_EQ(r.returned, 1);
        EXPECT_TRUE(r.warnings.empty());
        ASSERT_EQ(inst.outputs[0].stream.size(), static_cast<int32_t>(in.a.size()));
        for (std::size_t i = 0; i < in.a.size(); ++i) {
          std::vector<O> want;
          for (std::size_t k = 0; k < in.a[i].size(); ++k) {
            const uint32_t a = low8(double(in.a[i][k])), b = low8(double(in.b[i][k]));
            want.push_back(static_cast<O>(isAnd ? (a & b) : (a | b)));
          }
          EXPECT_TRUE(sameValues(output<O>(inst, 0, i), want)) << "matrix " << i;
        }
      });
    });
  });
}

INSTANTIATE_TEST_SUITE_P(AllTypes, BitwiseSweep,
                         ::testing::Combine(::testing::Values("_AndImage", "_OrImage"),
                                            ::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes),
                                            ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) + 1) + "_" + typeName(std::get<1>(info.param)) +
                                  "_" + typeName(std::get<2>(info.param)) + "_to_" + typeName(std::get<3>(info.param));
                         });

class AndSpot : public ::testing::TestWithParam<Spot> {};
class OrSpot : public ::testing::TestWithParam<Spot> {};

TEST_P(AndSpot, SingleElement) { runSpot("_AndImage", GetParam()); }
TEST_P(OrSpot, SingleElement) { runSpot("_OrImage", GetParam()); }

// The weight field stays 0: the logical processors have no parameter.
INSTANTIATE_TEST_SUITE_P(Corners, AndSpot,
                         ::testing::Values(Spot{0, 0, 0xF0, 0, 0x3C, 0, 0x30}, Spot{0, 0, 255, 0, 77, 0, 77},
                                           Spot{0, 2, 256, 2, 255, 2, 0},  // not 256 & 255 in 32 bits
                                           Spot{0, 2, -1, 0, 200, 0, 200}, Spot{0, 4, 300.7, 0, 255, 0, 44},
                                           Spot{0, 4, 300.7, 0, 255, 4, 44}));
INSTANTIATE_TEST_SUITE_P(Corners, OrSpot,
                         ::testing::Values(Spot{0, 0, 0xF0, 0, 0x3C, 0, 0xFC}, Spot{0, 0, 255, 0, 77, 0, 255},
                                           Spot{0, 2, 256, 2, 256, 2, 0}, Spot{0, 4, 0.9, 4, 0.9, 0, 0},
                                           Spot{0, 3, -0.5, 2, 0, 3, 0}));

// ---- NOT ---------------------------------------------------------------------------------------

// The rule as stated: extremes kept in the input type from the given start values, then every
// element below the maximum becomes the maximum and every other element the minimum.
template <class I, class O>
std::vector<O> refInvert(const std::vector<I>& in) {
  I lo = std::numeric_limits<I>::max();
  I hi = std::is_same_v<I, uint8_t> ? I(0) : I(-std::numeric_limits<I>::max());
  for (I v : in) {
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  std::vector<O> out;
  for (I v : in) out.push_back(refConvert<O>(double(v < hi ? hi : lo)));
  return out;
}

class InvertSweep : public ::testing::TestWithParam<std::tuple<kxType, kxType>> {};

TEST_P(InvertSweep, TwoLevelsPerMatrix) {
  const auto [codeI, codeO] = GetParam();
  withType(codeI, [&]<class I>() {
    withType(codeO, [&]<class O>() {
      // Extremes found afresh per matrix: ordinary values, all values, one value, none, and a long
      // run whose extremes sit at its ends.
      std::vector<std::vector<I>> mats = {ordinarySamples<I>(), allSamples<I>(), {ordinarySamples<I>()[3]}, {}};
      std::vector<I> longRun(3000, ordinarySamples<I>()[2]);
      longRun.front() = ordinarySamples<I>()[1];
      longRun.back() = ordinarySamples<I>().back();
      mats.push_back(longRun);
      auto inst = instance("_NotImage");
      for (const auto& m : mats) addValues<I>(inst.inputs[0], m);
      inst.outputs[0].type = codeO;
      kxhost::RunResult r = inst.run();
      ASSERT_TRUE(r.completed) << r.error;
      EXPECT_EQ(r.returned, 1);
      ASSERT_EQ(inst.outputs[0].stream.size(), static_cast<int32_t>(mats.size()));
      for (std::size_t i = 0; i < mats.size(); ++i)
        EXPECT_TRUE(sameValues(output<O>(inst, 0, i), refInvert<I, O>(mats[i]))) << "matrix " << i;
    });
  });
}

INSTANTIATE_TEST_SUITE_P(AllTypes, InvertSweep,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           return std::string(typeName(std::get<0>(info.param))) + "_to_" +
                                  typeName(std::get<1>(info.param));
                         });

template <class I, class O>
std::vector<O> invert(const std::vector<I>& in) {
  auto inst = instance("_NotImage");
  addRow<I>(inst.inputs[0], in);
  inst.outputs[0].type = code<O>();
  kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.completed) << r.error;
  return r.completed ? output<O>(inst, 0, 0) : std::vector<O>{};
}

TEST(Invert, SwapsTwoValuesAndFlattensMore) {
  EXPECT_EQ((invert<uint8_t, uint8_t>({0, 255, 255, 0})), (std::vector<uint8_t>{255, 0, 0, 255}));
  EXPECT_EQ((invert<uint8_t, uint8_t>({1, 0, 1})), (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_EQ((invert<uint8_t, uint8_t>({10, 20, 30})), (std::vector<uint8_t>{30, 30, 10}));
  EXPECT_EQ((invert<int32_t, int32_t>({7, 7, 7})), (std::vector<int32_t>{7, 7, 7}));
  EXPECT_EQ((invert<uint8_t, uint8_t>({255, 255})), (std::vector<uint8_t>{255, 255}));
}

TEST(Invert, RunningMaximumStartsAtMinusLargestInt) {
  EXPECT_EQ((invert<int32_t, int32_t>({INT32_MIN, INT32_MIN})), (std::vector<int32_t>{-2147483647, -2147483647}));
}

TEST(Invert, ExtremesStayInInputTypeUntilWritten) {
  EXPECT_EQ((invert<float, int32_t>({0.5f, 1.5f})), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ((invert<int32_t, uint8_t>({300, 1000})), (std::vector<uint8_t>{232, 44}));
}

TEST(Invert, NanNeverBecomesAnExtremeAndFirstZeroSignStays) {
  std::vector<float> got = invert<float, float>({std::nanf(""), 1.0f, 2.0f});
  EXPECT_EQ(got, (std::vector<float>{1.0f, 2.0f, 1.0f}));
  got = invert<float, float>({-0.0f, 0.0f, 5.0f});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(std::signbit(got[2]));
  got = invert<float, float>({0.0f, -0.0f, 5.0f});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_FALSE(std::signbit(got[2]));
}

// The extremes are found in many lanes at once; zeros of both signs in different lanes and in the
// tail must still give the sign of the first zero, for the maximum and for the minimum.
TEST(Invert, FirstZeroSignStaysAcrossLanes) {
  for (kxType type : {kxType(3), kxType(4)}) {
    withType(type, [&]<class I>() {
      for (double fill : {-5.0, 5.0})
        for (auto [first, second] : {std::pair{33, 40}, std::pair{40, 33}, std::pair{1, 66}, std::pair{66, 1}})
          for (bool negativeFirst : {true, false}) {
            std::vector<I> in(70, I(fill));
            in[static_cast<std::size_t>(first)] = negativeFirst ? I(-0.0) : I(0.0);
            in[static_cast<std::size_t>(second)] = negativeFirst ? I(0.0) : I(-0.0);
            const std::vector<I> got = invert<I, I>(in);
            const std::vector<I> want = refInvert<I, I>(in);
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t k = 0; k < got.size(); ++k)
              ASSERT_TRUE(sameBits(got[k], want[k]))
                  << "fill " << fill << ", zeros at " << first << " and " << second << ", element " << k;
          }
    });
  }
}

TEST(Invert, EmptyMatrixGivesEmptyOutputMatrix) {
  auto inst = instance("_NotImage");
  addEmpty<double>(inst.inputs[0], 0, 4, 1, "empty");
  addRow<double>(inst.inputs[0], {1.0, 2.0});
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(inst.outputs[0].stream.matrices[0]->count(), 0u);
  EXPECT_STREQ(inst.outputs[0].stream.matrices[0]->info().Name.c_str(), "empty");
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), (std::vector<uint8_t>{2, 1}));
}

}  // namespace

namespace {

// 8-bit outputs of 16 MiB and more are formed in registers and streamed: every element of one such
// matrix (with a remainder after the 32-byte steps) against the bitwise operation.
class LargeBitwise : public ::testing::TestWithParam<bool> {};

TEST_P(LargeBitwise, MatchesTheOperation) {
  const bool isAnd = GetParam();
  const std::size_t n = (std::size_t(1) << 24) + 4099;
  const std::vector<uint8_t> a = randomBytes(n, 5), b = randomBytes(n, 6);
  auto inst = instance(isAnd ? "_AndImage" : "_OrImage");
  const std::vector<uint8_t> out = runOnRows<uint8_t>(inst, a, b);
  ASSERT_EQ(out.size(), n);
  for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(out[k], isAnd ? (a[k] & b[k]) : (a[k] | b[k])) << k;
}

INSTANTIATE_TEST_SUITE_P(Ops, LargeBitwise, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "And" : "Or"); });

}  // namespace

namespace {

// Float outputs of 16 MiB and more of float operands are combined in registers and streamed: every
// element of one such matrix, with operands outside the 32-bit range, infinities and NaNs among
// them, against each operand's own 8 bits combined.
TEST(LargeBitwise, FloatOperandsMatchTheOperation) {
  const std::size_t n = (std::size_t(1) << 22) + 4099;
  const auto specials = {3e9f, -3e9f, 1e20f, -1e30f, NAN, INFINITY, -0.5f, 255.9f, -2147483648.0f, 2147483520.0f};
  const std::vector<float> a = randomFloats(n, 37, specials, 1e-3f), b = randomFloats(n, 38, specials, 1e-4f);
  for (bool isAnd : {true, false}) {
    auto inst = instance(isAnd ? "_AndImage" : "_OrImage");
    const std::vector<float> out = runOnRows<float>(inst, a, b);
    ASSERT_EQ(out.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
      const uint32_t p = low8(a[k]), q = low8(b[k]);
      ASSERT_EQ(out[k], float(isAnd ? (p & q) : (p | q))) << (isAnd ? "and " : "or ") << a[k] << ", " << b[k];
    }
  }
}

}  // namespace
