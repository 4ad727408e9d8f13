// Point operations: every type pair against a reference, the stretch and noise corner cases, warnings.
#include <cstdlib>
#include <tuple>

#include "support/Harness.h"
#include "support/Operands.h"
#include "support/Reference.h"

using namespace rktest;

namespace {

enum class Op { Negate, Square, Norm, Pertur };

const char* entry(Op op) {
  static const char* names[] = {"_Negate", "_SquareImage", "_Norm", "_Pertur"};
  return names[int(op)];
}

const std::string kInput1 = "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
const std::string kOutput1 = "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";

std::string flatWarning(int index) {
  return "Objekt " + std::to_string(index) + ": Division durch 0; Das Objekt wird kopiert";
}

template <class T>
bool same(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    if (std::isnan(a) && std::isnan(b)) return true;
  return sameBits(a, b);
}

template <class T>
std::vector<T> finiteSamples() {
  std::vector<T> out;
  for (T v : samples<T>())
    if (std::isfinite(double(v))) out.push_back(v);
  return out;
}

// ---- references ---------------------------------------------------------------------------------

// 255 - x and x * x "in the input type": exact for 8-bit, modulo 2^32 for 32-bit, double for floats.
template <class I, class O>
O refPoint(Op op, I x) {
  if constexpr (std::is_integral_v<I>) {
    int64_t r = op == Op::Negate ? 255 - int64_t(x) : int64_t(x) * int64_t(x);
    if constexpr (std::is_same_v<I, int32_t>) r = wrap32(r);
    return fromInt<O>(r);
  } else {
    return fromDouble<O>(op == Op::Negate ? 255.0 - double(x) : double(x) * double(x));
  }
}

// The serial form of the Windows C library's rand() after srand(1).
struct SerialRand {
  uint32_t state = 1;
  int next() {
    state = state * 214013u + 2531011u;
    return int((state >> 16) & 0x7fff);
  }
};

template <class O>
O clampByte(O v) {
  if (std::isnan(double(v))) return O(0);
  return v > O(255) ? O(255) : (v < O(0) ? O(0) : v);
}

template <class I, class O>
O refPertur(I x, int noise, double parameter) {
  if constexpr (std::is_integral_v<I>) {
    int64_t v = int64_t(noise) * int64_t(fromDouble<I>(parameter)) + int64_t(x);
    if constexpr (std::is_same_v<I, int32_t>) v = wrap32(v);
    if constexpr (std::is_integral_v<O>)
      return O(v > 255 ? 255 : (v < 0 ? 0 : v));
    else
      return clampByte(O(v));
  } else {
    const double v = double(noise) * double(fromDouble<I>(parameter)) + double(x);
    if constexpr (std::is_integral_v<O>) {
      const int32_t c = fromDouble<int32_t>(v);
      return O(c > 255 ? 255 : (c < 0 ? 0 : c));
    } else {
      return clampByte(O(v));
    }
  }
}

template <class T>
void expectRow(const std::vector<T>& got, const std::vector<T>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t k = 0; k < got.size(); ++k)
    EXPECT_TRUE(same(got[k], want[k])) << what << " element " << k << ": got " << +got[k] << ", want " << +want[k];
}

// ---- the type sweep -----------------------------------------------------------------------------

using SweepParam = std::tuple<Op, kxType, kxType>;
class MonadicSweep : public ::testing::TestWithParam<SweepParam> {};

template <class I, class O>
void sweepNegateSquare(Op op) {
  auto inst = instance(entry(op));
  std::vector<std::vector<I>> rows = {samples<I>(), std::vector<I>(37)};
  for (std::size_t k = 0; k < rows[1].size(); ++k) rows[1][k] = samples<I>()[(k * 7) % samples<I>().size()];
  for (const auto& row : rows) addRow<I>(inst.inputs[0], row);
  inst.outputs[0].type = code<O>();
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(r.warnings.empty());
  for (std::size_t m = 0; m < rows.size(); ++m) {
    std::vector<O> want;
    for (I x : rows[m]) want.push_back(refPoint<I, O>(op, x));
    expectRow(output<O>(inst, 0, m), want, "matrix " + std::to_string(m));
  }
}

template <class I, class O>
void sweepNorm() {
  auto inst = instance("_Norm");
  std::vector<std::vector<I>> rows = {finiteSamples<I>(), std::vector<I>(9, I(7)), {}, samples<I>()};
  for (int v = 25; v >= 0; --v) rows[2].push_back(I(v));
  for (const auto& row : rows) addRow<I>(inst.inputs[0], row);
  inst.outputs[0].type = code<O>();
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  std::vector<std::string> warnings;
  for (std::size_t m = 0; m < rows.size(); ++m) {
    double lo = INFINITY, hi = -INFINITY;
    for (I x : rows[m])
      if (!std::isnan(double(x))) lo = std::min(lo, double(x)), hi = std::max(hi, double(x));
    std::vector<O> want;
    const double range = hi - lo;
    if (range == 0 || std::isnan(range)) warnings.push_back(flatWarning(int(m)));
    for (I x : rows[m]) {
      if (range == 0 || std::isnan(range))
        want.push_back(fromDouble<O>(double(x)));
      else
        want.push_back(fromDouble<O>((double(x) - lo) * (255.0 / range)));
    }
    expectRow(output<O>(inst, 0, m), want, "matrix " + std::to_string(m));
  }
  EXPECT_EQ(r.warnings, warnings);
}

template <class I, class O>
void sweepPertur() {
  for (double amplitude : {1.0, -1.0, 0.5, 3.7, 300.0, 0.0, -2.5, 1e9, 70000.0}) {
    SCOPED_TRACE(testing::Message() << "amplitude " << amplitude);
    auto inst = instance("_Pertur");
    inst.params.at(0).dblVal = amplitude;
    // Lengths that cross the generator's blocks and the kernel's chunks, the sequence running on
    // from one matrix into the next.
    std::vector<std::vector<I>> rows;
    for (std::size_t len : {4096u + 37u, 5u, 100u}) {
      std::vector<I> row(len);
      for (std::size_t k = 0; k < len; ++k) row[k] = samples<I>()[(k * 5 + len) % samples<I>().size()];
      rows.push_back(row);
      addRow<I>(inst.inputs[0], row);
    }
    inst.outputs[0].type = code<O>();
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    SerialRand rng;
    for (std::size_t m = 0; m < rows.size(); ++m) {
      std::vector<O> want;
      for (I x : rows[m]) want.push_back(refPertur<I, O>(x, rng.next() >> 9, amplitude));
      expectRow(output<O>(inst, 0, m), want, "matrix " + std::to_string(m));
    }
  }
}

TEST_P(MonadicSweep, MatchesReference) {
  const auto [op, inType, outType] = GetParam();
  withTypes(inType, outType, [op = op]<class I, class O>() {
    switch (op) {
      case Op::Negate:
      case Op::Square:
        sweepNegateSquare<I, O>(op);
        break;
      case Op::Norm:
        sweepNorm<I, O>();
        break;
      case Op::Pertur:
        sweepPertur<I, O>();
        break;
    }
  });
}

std::string sweepName(const testing::TestParamInfo<SweepParam>& p) {
  static const char* ops[] = {"Negate", "Square", "Norm", "Pertur"};
  return std::string(ops[int(std::get<0>(p.param))]) + "_" + typeName(std::get<1>(p.param)) + "_to_" +
         typeName(std::get<2>(p.param));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, MonadicSweep,
                         testing::Combine(testing::Values(Op::Negate, Op::Square, Op::Norm, Op::Pertur),
                                          testing::Values(0, 2, 3, 4), testing::Values(0, 2, 3, 4)),
                         sweepName);

// ---- hand-picked values -------------------------------------------------------------------------

struct Example {
  Op op;
  kxType in, out;
  std::vector<double> x, expected;
};

class MonadicExample : public ::testing::TestWithParam<Example> {};

TEST_P(MonadicExample, GivesTheExpectedValues) {
  const Example& e = GetParam();
  withTypes(e.in, e.out, [&]<class I, class O>() {
    auto inst = instance(entry(e.op));
    if (e.op == Op::Pertur) inst.params.at(0).dblVal = 0.0;  // no noise
    std::vector<I> row;
    for (double v : e.x) row.push_back(I(v));
    addRow<I>(inst.inputs[0], row);
    inst.outputs[0].type = e.out;
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    std::vector<double> got;
    for (O v : output<O>(inst, 0, 0)) got.push_back(double(v));
    EXPECT_EQ(got, e.expected);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Corners, MonadicExample,
    testing::Values(
        Example{Op::Negate, 0, 0, {0, 255, 100}, {255, 0, 155}},
        Example{Op::Negate, 3, 3, {300.5, 0.5}, {-45.5, 254.5}}, Example{Op::Negate, 3, 2, {300.5, 0.5}, {-45, 254}},
        Example{Op::Negate, 2, 0, {300, -1}, {211, 0}}, Example{Op::Negate, 2, 2, {-2147483647 - 1.0}, {-2147483393}},
        Example{Op::Square, 0, 2, {16, 255}, {256, 65025}}, Example{Op::Square, 0, 0, {16, 255}, {0, 1}},
        Example{Op::Square, 2, 2, {65536, 46341, -3}, {0, -2147479015, 9}}, Example{Op::Square, 3, 3, {1.5}, {2.25}},
        Example{Op::Square, 3, 2, {1.5}, {2}},
        // Subtract first, multiply second: 15 -> 127.5 truncated, and a range of 25 tops out at 254.
        Example{Op::Norm, 0, 0, {10, 15, 20}, {0, 127, 255}}, Example{Op::Norm, 0, 0, {0, 13, 25}, {0, 132, 254}},
        Example{Op::Norm, 2, 2, {25, 0}, {254, 0}}, Example{Op::Norm, 0, 4, {0, 25}, {0, 25 * (255.0 / 25)}},
        Example{Op::Norm, 4, 4, {-1, 0, 1}, {0, 127.5, 255}}, Example{Op::Norm, 2, 0, {-5, 0, 12}, {0, 75, 255}},
        // Without noise the input passes, limited to 0..255.
        Example{Op::Pertur, 2, 2, {300, -5, 17}, {255, 0, 17}}, Example{Op::Pertur, 3, 0, {255.9, -0.5}, {255, 0}}));

// ---- stretch ------------------------------------------------------------------------------------

TEST(Norm, FlatMatrixWarnsWithItsIndexIsCopiedAndTheNextIsStretched) {
  auto inst = instance("_Norm");
  addRow<uint8_t>(inst.inputs[0], {10, 20});
  addRow<uint8_t>(inst.inputs[0], std::vector<uint8_t>(5, 7), "flat");
  addRow<uint8_t>(inst.inputs[0], {0, 1});
  inst.outputs[0].type = 2;
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{flatWarning(1)});
  EXPECT_EQ(output<int32_t>(inst, 0, 0), (std::vector<int32_t>{0, 255}));
  EXPECT_EQ(output<int32_t>(inst, 0, 1), std::vector<int32_t>(5, 7));
  EXPECT_STREQ(inst.outputs[0].stream.matrices.at(1)->info().Name.c_str(), "flat");
  EXPECT_EQ(output<int32_t>(inst, 0, 2), (std::vector<int32_t>{0, 255}));
}

// The host skips NaN when it looks for the extremes; a matrix of nothing else has no range.
TEST(Norm, NaNElementsStayOutOfTheRange) {
  auto inst = instance("_Norm");
  addRow<float>(inst.inputs[0], {NAN, 2.0f, 4.0f});
  addRow<float>(inst.inputs[0], {NAN, NAN});
  inst.outputs[0].type = 3;
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{flatWarning(1)});
  const std::vector<float> first = output<float>(inst, 0, 0);
  EXPECT_TRUE(std::isnan(first[0]));
  EXPECT_EQ(first[1], 0.0f);
  EXPECT_EQ(first[2], 255.0f);
  for (float v : output<float>(inst, 0, 1)) EXPECT_TRUE(std::isnan(v));
}

// Every range an 8-bit matrix can have, each matrix holding every value of its range, on both integer
// outputs: the stretch by (x - min) * (255 / range) in double, truncated.
class NormEveryByteRange : public ::testing::TestWithParam<kxType> {};

TEST_P(NormEveryByteRange, MatchesTheDoubleFormula) {
  withType(GetParam(), [&]<class O>() {
    auto inst = instance("_Norm");
    for (int lo = 0; lo < 256; ++lo)
      for (int hi = lo + 1; hi < 256; ++hi) {
        std::vector<uint8_t> in;
        // Descending, so that the lowest value is last and the first elements are not the extremes.
        for (int x = hi; x >= lo; --x) in.push_back(static_cast<uint8_t>(x));
        addRow<uint8_t>(inst.inputs[0], in);
      }
    inst.outputs[0].type = code<O>();
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    int32_t i = 0;
    for (int lo = 0; lo < 256; ++lo)
      for (int hi = lo + 1; hi < 256; ++hi, ++i) {
        const std::vector<O> out = output<O>(inst, 0, static_cast<std::size_t>(i));
        ASSERT_EQ(out.size(), static_cast<std::size_t>(hi - lo + 1));
        for (int x = hi; x >= lo; --x)
          ASSERT_EQ(out[static_cast<std::size_t>(hi - x)], fromDouble<O>((double(x) - lo) * (255.0 / (hi - lo))))
              << "range " << lo << ".." << hi << ", value " << x;
      }
  });
}

INSTANTIATE_TEST_SUITE_P(IntegerOutputs, NormEveryByteRange, ::testing::Values(kxType(0), kxType(2)),
                         [](const auto& info) { return std::string(typeName(info.param)); });

// An 8-bit output of 16 MiB and more is written with streaming stores; its length leaves a remainder.
TEST(Norm, LargeByteMatrixMatchesTheDoubleFormula) {
  std::vector<uint8_t> in((std::size_t(1) << 24) + 13);
  uint32_t x = 3;
  for (uint8_t& e : in) {
    x = x * 1664525u + 1013904223u;
    e = static_cast<uint8_t>(17 + (x >> 24) % 214);
  }
  in[5] = 17;
  in[99] = 230;
  auto inst = instance("_Norm");
  addRow<uint8_t>(inst.inputs[0], in);
  inst.outputs[0].type = 0;
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  const std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t k = 0; k < in.size(); ++k)
    ASSERT_EQ(out[k], fromDouble<uint8_t>((double(in[k]) - 17) * (255.0 / 213))) << k << ": " << +in[k];
}

// Outputs of 16 MiB and more of inputs of their own type (8-bit or float) are formed in registers
// and streamed: every element of one such matrix, with float infinities, NaNs, signed zeros and
// subnormals, against the formula in double rounded once.
class LargePointOp : public ::testing::TestWithParam<std::tuple<Op, kxType>> {};

TEST_P(LargePointOp, MatchesTheFormula) {
  const auto [op, type] = GetParam();
  withType(type, [&, op = op]<class T>() {
    const std::size_t n = (std::size_t(16) << 20) / sizeof(T) + 4099;
    std::vector<T> in(n);
    if constexpr (std::is_same_v<T, float>) {
      in = randomFloats(n, 23, {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1e-40f, 3e38f, 255.0f}, 1e-6f);
    } else {
      Draws draws(23);
      for (T& e : in) e = static_cast<T>(draws.next() >> 24);
    }
    auto inst = instance(entry(op));
    addRow<T>(inst.inputs[0], in);
    inst.outputs[0].type = code<T>();
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    const std::vector<T> out = output<T>(inst, 0, 0);
    ASSERT_EQ(out.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
      const double v = static_cast<double>(in[k]);
      const double result = op == Op::Negate ? 255.0 - v : v * v;
      T want;
      if constexpr (std::is_same_v<T, float>)
        want = static_cast<float>(result);
      else
        want = static_cast<T>(static_cast<uint32_t>(result) & 0xffu);
      ASSERT_TRUE(sameBits(out[k], want) || (want != want && out[k] != out[k])) << k << ": " << +in[k];
    }
  });
}

INSTANTIATE_TEST_SUITE_P(OwnTypes, LargePointOp,
                         testing::Combine(testing::Values(Op::Negate, Op::Square),
                                          testing::Values(kxType(0), kxType(3))),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Op::Negate ? "Negate_" : "Square_") +
                                  typeName(std::get<1>(info.param));
                         });

// ---- noise --------------------------------------------------------------------------------------

std::vector<uint8_t> perturbBytes(const std::vector<uint8_t>& in, double amplitude) {
  auto inst = instance("_Pertur");
  inst.params.at(0).dblVal = amplitude;
  addRow<uint8_t>(inst.inputs[0], in);
  const kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.completed) << r.error;
  return r.completed ? output<uint8_t>(inst, 0, 0) : std::vector<uint8_t>{};
}

// srand(1) on that platform gives 41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464.
TEST(Pertur, NoiseFollowsTheWindowsRandSequence) {
  EXPECT_EQ(perturbBytes(std::vector<uint8_t>(10, 0), 1.0),
            (std::vector<uint8_t>{41 >> 9, 18467 >> 9, 6334 >> 9, 26500 >> 9, 19169 >> 9, 15724 >> 9, 11478 >> 9,
                                  29358 >> 9, 26962 >> 9, 24464 >> 9}));
}

TEST(Pertur, EveryRunRestartsTheSequenceAndLeavesTheProcessRandAlone) {
  std::srand(77);
  const int expectedNext = std::rand();
  std::srand(77);
  const std::vector<uint8_t> in(1000, 3);
  const std::vector<uint8_t> first = perturbBytes(in, 2.0);
  EXPECT_EQ(perturbBytes(in, 2.0), first);
  EXPECT_NE(first, in);
  EXPECT_EQ(std::rand(), expectedNext);
}

TEST(Pertur, AnEightBitOutputNeverWraps) {
  const std::vector<uint8_t> out = perturbBytes(std::vector<uint8_t>(5000, 250), 1.0);
  std::size_t saturated = 0;
  for (uint8_t v : out) {
    EXPECT_GE(v, 250);
    saturated += v == 255;
  }
  EXPECT_GT(saturated, 0u);
}

// -1 is 255 in an 8-bit input: 2 stays 2 only where the noise is 0, and saturates elsewhere. In a
// 32-bit input it subtracts the noise, and the result stops at 0.
TEST(Pertur, NegativeAmplitudeDependsOnTheInputType) {
  const std::vector<uint8_t> bytes = perturbBytes(std::vector<uint8_t>(2000, 2), -1.0);
  auto inst = instance("_Pertur");
  inst.params.at(0).dblVal = -1.0;
  addRow<int32_t>(inst.inputs[0], std::vector<int32_t>(2000, 2));
  inst.outputs[0].type = 2;
  ASSERT_TRUE(inst.run().completed);
  const std::vector<int32_t> ints = output<int32_t>(inst, 0, 0);
  SerialRand rng;
  for (std::size_t k = 0; k < 2000; ++k) {
    const int noise = rng.next() >> 9;
    EXPECT_EQ(bytes[k], noise == 0 ? 2 : 255);
    EXPECT_EQ(ints[k], std::max(0, 2 - noise));
  }
}

// ---- frame ---------------------------------------------------------------------------------------

class EveryPointOp : public ::testing::TestWithParam<Op> {};

TEST_P(EveryPointOp, RejectsUnsupportedTypesBeforeWriting) {
  for (auto [in, out, message] : {std::tuple{1, 1, &kInput1}, std::tuple{7, 0, &kInput1}, std::tuple{0, 1, &kOutput1},
                                  std::tuple{4, 5, &kOutput1}}) {
    auto inst = instance(entry(GetParam()));
    addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
    inst.inputs[0].type = in;
    inst.outputs[0].type = out;
    const kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, *message);
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  }
}

TEST_P(EveryPointOp, EmptyInputGivesEmptyOutputWithMeta) {
  auto inst = instance(entry(GetParam()));
  inst.inputs[0].stream.meta = info(3, 4, 1, "meta");
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.returned, 1);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  ASSERT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

TEST_P(EveryPointOp, OutputsKeepTheShapeAndNameOfTheirInput) {
  auto inst = instance(entry(GetParam()));
  std::vector<uint8_t> values(2 * 3 * 3);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = uint8_t(k * 9);
  addMatrix<uint8_t>(inst.inputs[0], 2, 3, 3, values, "rgb");
  inst.outputs[0].type = 4;
  ASSERT_TRUE(inst.run().completed);
  const kxhost::Matrix& out = *inst.outputs[0].stream.matrices.at(0);
  EXPECT_STREQ(out.info().Name.c_str(), "rgb");
  EXPECT_EQ(out.info().X, 2);
  EXPECT_EQ(out.info().Y, 3);
  EXPECT_EQ(out.info().Planes, 3);
  EXPECT_EQ(out.count(), values.size());
}

INSTANTIATE_TEST_SUITE_P(Ops, EveryPointOp, testing::Values(Op::Negate, Op::Square, Op::Norm, Op::Pertur));

}  // namespace
