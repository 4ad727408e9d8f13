// Add, subtract, multiply, divide and absolute difference over all 64 type combinations.
#include <functional>
#include <tuple>

#include "support/Harness.h"
#include "support/Operands.h"
#include "support/Paths.h"
#include "support/Types.h"

using namespace rktest;

namespace {

const std::string kDivMessage = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xe4lt Elemente vom Wert 0.";
const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xfchrt.";

enum class Op { Add, Sub, Mult, Div, AbsDiff };
const char* entryOf(Op op) {
  switch (op) {
    case Op::Add:
      return "_AddImage";
    case Op::Sub:
      return "_SubImage";
    case Op::Mult:
      return "_MultImage";
    case Op::Div:
      return "_DivImage";
    default:
      return "_AbsDiffImage";
  }
}

// The element rule, written from the published formulas: integer outputs convert both operands and
// wrap the exact result; floating outputs compute in double and round once.
template <class O, class A, class B>
O reference(Op op, A a, B b) {
  if constexpr (std::is_integral_v<O>) {
    int64_t x = refToInt<O>(a), y = refToInt<O>(b);
    switch (op) {
      case Op::Add:
        return static_cast<O>(refReduce<O>(x + y));
      case Op::Sub:
        return static_cast<O>(refReduce<O>(x - y));
      case Op::Mult:
        return static_cast<O>(refReduce<O>(x * y));
      case Op::Div:
        return static_cast<O>(refReduce<O>(x / y));
      default: {
        int64_t d = refReduce<int32_t>(x - y);
        return static_cast<O>(refReduce<O>(d < 0 ? y - x : d));
      }
    }
  } else {
    double x = static_cast<double>(a), y = static_cast<double>(b);
    switch (op) {
      case Op::Add:
        return static_cast<O>(x + y);
      case Op::Sub:
        return static_cast<O>(x - y);
      case Op::Mult:
        return static_cast<O>(x * y);
      case Op::Div:
        return static_cast<O>(x / y);
      default:
        return static_cast<O>(x - y < 0 ? y - x : x - y);
    }
  }
}

// Whether dividing by b cannot be done on output type O (the run must stop there).
template <class O, class A, class B>
bool refBadDivision(A a, B b) {
  if (static_cast<double>(b) == 0.0 || std::isnan(static_cast<double>(b))) return true;
  if constexpr (std::is_integral_v<O>) {
    if (refToInt<O>(b) == 0) return true;
    if (std::is_same_v<O, int32_t> && refToInt<O>(b) == -1 && refToInt<O>(a) == INT32_MIN) return true;
  }
  return false;
}

using SweepParam = std::tuple<Op, kxType, kxType, kxType>;
class Sweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(Sweep, EveryPairOfEdgeValuesMatchesTheReference) {
  auto [op, ca, cb, co] = GetParam();
  withType(ca, [&, op = op, cb = cb, co = co]<class A>() {
    withType(cb, [&]<class B>() {
      withType(co, [&]<class O>() {
        std::vector<A> as;
        std::vector<B> bs;
        for (A a : edgeValues<A>()) {
          for (B b : edgeValues<B>()) {
            if (op == Op::Div && refBadDivision<O>(a, b)) continue;
            as.push_back(a);
            bs.push_back(b);
          }
        }
        auto inst = instance(entryOf(op));
        addRow<A>(inst.inputs[0], as);
        addRow<B>(inst.inputs[1], bs);
        inst.outputs[0].type = co;
        kxhost::RunResult r = inst.run();
        ASSERT_TRUE(r.completed) << r.error;
        EXPECT_EQ(r.returned, 1);
        std::vector<O> out = output<O>(inst, 0, 0);
        ASSERT_EQ(out.size(), as.size());
        for (std::size_t k = 0; k < as.size(); ++k) {
          O expected = reference<O>(op, as[k], bs[k]);
          ASSERT_TRUE(sameBits(out[k], expected))
              << +as[k] << " op " << +bs[k] << " gave " << +out[k] << ", expected " << +expected;
        }
      });
    });
  });
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, Sweep,
                         ::testing::Combine(::testing::Values(Op::Add, Op::Sub, Op::Mult, Op::Div, Op::AbsDiff),
                                            ::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes),
                                            ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           const SweepParam& p = info.param;
                           return std::string(entryOf(std::get<0>(p)) + 1) + "_" + typeName(std::get<1>(p)) + "_" +
                                  typeName(std::get<2>(p)) + "_" + typeName(std::get<3>(p));
                         });

// One element through one processor: (entry, a, b, output type) -> output element.
template <class O, class A, class B>
O single(const char* entry, A a, B b) {
  auto inst = instance(entry);
  addRow<A>(inst.inputs[0], {a});
  addRow<B>(inst.inputs[1], {b});
  inst.outputs[0].type = code<O>();
  kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.completed) << r.error;
  return output<O>(inst, 0, 0).at(0);
}

TEST(Dyadic, PublishedExamples) {
  EXPECT_EQ((single<uint8_t, uint8_t, uint8_t>("_AddImage", 200, 100)), 44);
  EXPECT_EQ((single<uint8_t, uint8_t, uint8_t>("_SubImage", 3, 5)), 254);
  EXPECT_EQ((single<uint8_t, uint8_t, uint8_t>("_MultImage", 16, 16)), 0);
  EXPECT_EQ((single<uint8_t, uint8_t, uint8_t>("_DivImage", 7, 2)), 3);
  EXPECT_EQ((single<uint8_t, int32_t, int32_t>("_AddImage", 300, 0)), 44);
  EXPECT_EQ((single<int32_t, uint8_t, uint8_t>("_AddImage", 200, 100)), 300);
  EXPECT_EQ((single<int32_t, uint8_t, uint8_t>("_MultImage", 255, 255)), 65025);
  EXPECT_EQ((single<int32_t, uint8_t, uint8_t>("_SubImage", 3, 5)), -2);
  EXPECT_EQ((single<uint8_t, uint8_t, uint8_t>("_AbsDiffImage", 3, 250)), 247);
  EXPECT_EQ((single<int32_t, int32_t, int32_t>("_AddImage", INT32_MAX, 1)), INT32_MIN);
  EXPECT_EQ((single<int32_t, double, double>("_AddImage", 0.6, 0.6)), 0);
  EXPECT_EQ((single<int32_t, double, double>("_MultImage", 2.9, 2.9)), 4);
  EXPECT_EQ((single<int32_t, double, double>("_DivImage", 7.9, 2.9)), 3);
  EXPECT_EQ((single<float, uint8_t, uint8_t>("_DivImage", 1, 3)), 0.33333334f);
  EXPECT_EQ((single<int32_t, int32_t, int32_t>("_AbsDiffImage", INT32_MIN, 0)), INT32_MIN);
  // Double inputs summed in double and rounded once to float.
  EXPECT_EQ((single<float, double, double>("_AddImage", 1.0, 1e-8)), static_cast<float>(1.0 + 1e-8));
}

// Pairing of the second stream with the first: (count1, count2) -> warning expected.
class Pairing : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(Pairing, SecondStreamPairsByIndexOrFallsBackToItsFirstMatrix) {
  auto [count1, count2] = GetParam();
  auto inst = instance("_AddImage");
  for (int i = 0; i < count1; ++i) addRow<int32_t>(inst.inputs[0], {1000 * (i + 1), 2000 * (i + 1)});
  for (int j = 0; j < count2; ++j) addRow<int32_t>(inst.inputs[1], {j + 1, 10 * (j + 1)});
  inst.inputs[0].connected = inst.inputs[1].connected = true;
  inst.outputs[0].type = 2;
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  bool warned = count2 != count1 && count2 != 1;
  EXPECT_EQ(r.warnings, warned ? std::vector<std::string>{kUnequal} : std::vector<std::string>{});
  ASSERT_EQ(inst.outputs[0].stream.size(), count1);
  for (int i = 0; i < count1; ++i) {
    int j = (count2 == count1 && count2 != 1) ? i : 0;
    EXPECT_EQ(output<int32_t>(inst, 0, i),
              (std::vector<int32_t>{1000 * (i + 1) + j + 1, 2000 * (i + 1) + 10 * (j + 1)}))
        << "matrix " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, Pairing,
                         ::testing::Values(std::tuple{3, 3}, std::tuple{3, 1}, std::tuple{1, 1}, std::tuple{3, 2},
                                           std::tuple{2, 5}, std::tuple{0, 2}, std::tuple{0, 0}));

TEST(Dyadic, EmptySecondStreamEndsWithHostError) {
  auto inst = instance("_SubImage");
  addRow<uint8_t>(inst.inputs[0], {1, 2});
  inst.inputs[1].connected = true;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_EQ(r.warnings, std::vector<std::string>{kUnequal});
  EXPECT_NE(r.error.find("no matrix 0"), std::string::npos) << r.error;
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

TEST(Dyadic, SizeMismatchIsRejectedBeforeAnythingIsWritten) {
  auto inst = instance("_AddImage");
  addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
  addRow<uint8_t>(inst.inputs[1], {1, 2});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_NE(r.error.find("differ in size"), std::string::npos) << r.error;
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

TEST(Division, ZeroInSecondMatrixLeavesTheQuotientsBeforeIt) {
  // With the pool off every output buffer is fresh, so what the division did not reach reads zero.
  const uint64_t poolLimit = kxhost::Matrix::poolLimit();
  kxhost::Matrix::setPoolLimit(0);
  auto inst = instance("_DivImage");
  std::vector<double> a(16, 12.0), b0(16, 4.0), b1(16, 3.0);
  b1[10] = 0.0;
  addRow<double>(inst.inputs[0], a);
  addRow<double>(inst.inputs[0], a);
  addRow<double>(inst.inputs[0], a);
  addRow<double>(inst.inputs[1], b0);
  addRow<double>(inst.inputs[1], b1);
  addRow<double>(inst.inputs[1], b0);
  inst.outputs[0].type = 4;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, kDivMessage);
  ASSERT_EQ(inst.outputs[0].stream.size(), 2) << "no matrix after the failing one";
  EXPECT_EQ(output<double>(inst, 0, 0), std::vector<double>(16, 3.0));
  std::vector<double> partial = output<double>(inst, 0, 1);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(partial[k], 4.0) << k;
  for (int k = 10; k < 16; ++k) EXPECT_EQ(partial[k], 0.0) << "untouched after the zero: " << k;
  kxhost::Matrix::setPoolLimit(poolLimit);
}

// Divisors refused on the given output type: zero in their own type, NaN, or zero after conversion.
TEST(Division, RefusedDivisors) {
  auto refused = [](auto a, auto b, kxType out) {
    using A = decltype(a);
    using B = decltype(b);
    auto inst = instance("_DivImage");
    addRow<A>(inst.inputs[0], {a, a});
    addRow<B>(inst.inputs[1], {B(1), b});
    inst.outputs[0].type = out;
    kxhost::RunResult r = inst.run();
    return !r.completed && r.processorError && r.error == kDivMessage;
  };
  EXPECT_TRUE(refused(uint8_t(5), uint8_t(0), 4));
  EXPECT_TRUE(refused(5.0f, -0.0f, 3));
  EXPECT_TRUE(refused(5.0, std::nan(""), 4));
  EXPECT_TRUE(refused(5.0, 0.5, 2));                  // 0 once converted to 32 bits
  EXPECT_TRUE(refused(int32_t(5), int32_t(256), 0));  // low 8 bits are 0
  EXPECT_TRUE(refused(INT32_MIN, int32_t(-1), 2));    // the quotient 2^31 has no 32-bit value
  EXPECT_FALSE(refused(5.0, 0.5, 4));
  EXPECT_FALSE(refused(int32_t(5), int32_t(256), 2));
  EXPECT_FALSE(refused(INT32_MIN, int32_t(-1), 4));
}

// 8-bit quotients come from a float division and 32-bit ones from a double division. Every pair of
// 8-bit operand values, reaching the 8-bit output from each input type, against integer division.
class EveryByteQuotient : public ::testing::TestWithParam<std::tuple<kxType, kxType>> {};

TEST_P(EveryByteQuotient, MatchesIntegerDivision) {
  auto [ca, cb] = GetParam();
  withType(ca, [&, cb = cb]<class A>() {
    withType(cb, [&]<class B>() {
      std::vector<A> as;
      std::vector<B> bs;
      for (int a = 0; a < 256; ++a)
        for (int b = 1; b < 256; ++b) {
          as.push_back(static_cast<A>(a));
          bs.push_back(static_cast<B>(b));
        }
      auto inst = instance("_DivImage");
      const std::vector<uint8_t> out = runOnRows<uint8_t>(inst, as, bs);
      ASSERT_EQ(out.size(), as.size());
      for (std::size_t k = 0; k < as.size(); ++k)
        ASSERT_EQ(int(out[k]), int(as[k]) / int(bs[k])) << +as[k] << " / " << +bs[k];
    });
  });
}

INSTANTIATE_TEST_SUITE_P(InputTypes, EveryByteQuotient,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           return std::string(typeName(std::get<0>(info.param))) + "_" +
                                  typeName(std::get<1>(info.param));
                         });

// 32-bit quotients where a floating quotient is closest to the next integer: dividends next to
// multiples of the divisor, at the ends of the range, and a pseudo-random spread.
TEST(Division, ThirtyTwoBitQuotientsMatchIntegerDivision) {
  std::vector<int32_t> as, bs;
  auto pair = [&](int64_t a, int64_t b) {
    if (b == 0 || a < INT32_MIN || a > INT32_MAX || (a == INT32_MIN && b == -1)) return;
    as.push_back(static_cast<int32_t>(a));
    bs.push_back(static_cast<int32_t>(b));
  };
  const int64_t divisors[] = {1, 2, 3, 7, 255, 65535, 65537, 46341, 1000003, 2147483647, -1, -3, -65537, INT32_MIN};
  for (int64_t b : divisors)
    for (int64_t q : {0LL, 1LL, 2LL, 3LL, 32767LL, 65535LL, 2147483647LL, -1LL, -2LL, -65536LL, -2147483648LL})
      for (int64_t r = -2; r <= 2; ++r) pair(q * b + r, b);
  uint32_t x = 12345;
  for (int k = 0; k < 200000; ++k) {
    x = x * 1664525u + 1013904223u;
    const int32_t a = static_cast<int32_t>(x);
    x = x * 1664525u + 1013904223u;
    pair(a, static_cast<int32_t>(x) >> (x % 31));
  }
  auto inst = instance("_DivImage");
  addRow<int32_t>(inst.inputs[0], as);
  addRow<int32_t>(inst.inputs[1], bs);
  inst.outputs[0].type = 2;
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  std::vector<int32_t> out = output<int32_t>(inst, 0, 0);
  ASSERT_EQ(out.size(), as.size());
  for (std::size_t k = 0; k < as.size(); ++k) ASSERT_EQ(out[k], as[k] / bs[k]) << as[k] << " / " << bs[k];
}

}  // namespace

namespace {

// Float outputs of 8-bit and float operands: float bit patterns from all over the range (subnormals,
// infinities and NaN included) against the double operation rounded once to float.
class FloatOutputs : public ::testing::TestWithParam<std::tuple<Op, kxType, kxType>> {};

template <class T>
std::vector<T> spreadValues(std::size_t n, uint32_t seed) {
  std::vector<T> v;
  uint32_t x = seed;
  for (std::size_t k = 0; k < n; ++k) {
    x = x * 1664525u + 1013904223u;
    if constexpr (std::is_same_v<T, float>) {
      float f;
      // Exponents cluster near 1 half of the time, so that sums and quotients also round ordinarily.
      const uint32_t bits = (k & 1) ? x : ((x & 0x807fffffu) | ((124u + (x >> 28)) << 23));
      std::memcpy(&f, &bits, sizeof f);
      v.push_back(f);
    } else {
      v.push_back(static_cast<T>(x >> 24));
    }
  }
  return v;
}

TEST_P(FloatOutputs, MatchTheDoubleOperationRoundedOnce) {
  auto [op, ca, cb] = GetParam();
  withType(ca, [&, op = op, cb = cb]<class A>() {
    withType(cb, [&]<class B>() {
      std::vector<A> as = spreadValues<A>(20011, 7);
      std::vector<B> bs = spreadValues<B>(20011, 11);
      if (op == Op::Div)
        for (B& b : bs)
          if (refBadDivision<float>(A(1), b)) b = B(3);
      auto inst = instance(entryOf(op));
      const std::vector<float> out = runOnRows<float>(inst, as, bs);
      ASSERT_EQ(out.size(), as.size());
      for (std::size_t k = 0; k < as.size(); ++k) {
        const float expected = reference<float>(op, as[k], bs[k]);
        ASSERT_TRUE(sameBits(out[k], expected) || (std::isnan(out[k]) && std::isnan(expected)))
            << +as[k] << " op " << +bs[k] << " gave " << out[k] << ", expected " << expected;
      }
    });
  });
}

INSTANTIATE_TEST_SUITE_P(ByteAndFloatOperands, FloatOutputs,
                         ::testing::Combine(::testing::Values(Op::Add, Op::Sub, Op::Mult, Op::Div, Op::AbsDiff),
                                            ::testing::Values(kxType(0), kxType(3)),
                                            ::testing::Values(kxType(0), kxType(3))),
                         [](const auto& info) {
                           return std::string(entryOf(std::get<0>(info.param)) + 1) + "_" +
                                  typeName(std::get<1>(info.param)) + "_" + typeName(std::get<2>(info.param));
                         });

// A division in blocks: a zero far into the matrix, past several whole blocks, still leaves every
// quotient before it and nothing after it.
TEST(Division, ZeroAfterSeveralBlocksLeavesTheQuotientsBeforeIt) {
  const uint64_t poolLimit = kxhost::Matrix::poolLimit();
  kxhost::Matrix::setPoolLimit(0);
  for (int32_t zeroAt : {0, 31, 32, 33, 1023, 1024, 2047, 2048, 5000, 9999}) {
    auto inst = instance("_DivImage");
    std::vector<uint8_t> a(10000), b(10000);
    for (std::size_t k = 0; k < a.size(); ++k) {
      a[k] = static_cast<uint8_t>(k * 7);
      b[k] = static_cast<uint8_t>(1 + k % 13);
    }
    b[static_cast<std::size_t>(zeroAt)] = 0;
    addRow<uint8_t>(inst.inputs[0], a);
    addRow<uint8_t>(inst.inputs[1], b);
    inst.outputs[0].type = 0;
    kxhost::RunResult r = inst.run();
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.error, kDivMessage);
    std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
    for (int32_t k = 0; k < zeroAt; ++k) ASSERT_EQ(out[k], a[k] / b[k]) << "zero at " << zeroAt << ", " << k;
    for (std::size_t k = static_cast<std::size_t>(zeroAt); k < out.size(); ++k)
      ASSERT_EQ(out[k], 0) << "zero at " << zeroAt << ", untouched " << k;
  }
  kxhost::Matrix::setPoolLimit(poolLimit);
}

}  // namespace

namespace {

// 8-bit outputs of 16 MiB and more are written with streaming stores, a block at a time:
// every element of one such matrix (with a remainder after the blocks) against the reference.
class LargeBytes : public ::testing::TestWithParam<Op> {};

TEST_P(LargeBytes, MatchTheReference) {
  const Op op = GetParam();
  const std::size_t n = (std::size_t(1) << 24) + 4099;
  const std::vector<uint8_t> a = randomBytes(n, 99), b = randomBytes(n, 100);
  auto inst = instance(entryOf(op));
  const std::vector<uint8_t> out = runOnRows<uint8_t>(inst, a, b);
  ASSERT_EQ(out.size(), n);
  for (std::size_t k = 0; k < n; ++k)
    ASSERT_EQ(out[k], reference<uint8_t>(op, a[k], b[k])) << k << ": " << +a[k] << " op " << +b[k];
}

INSTANTIATE_TEST_SUITE_P(Ops, LargeBytes, ::testing::Values(Op::Add, Op::Sub, Op::Mult, Op::AbsDiff),
                         [](const auto& info) { return std::string(entryOf(info.param) + 1); });

// Float outputs of 16 MiB and more of float operands are formed in registers and streamed: every
// element of one such matrix, with infinities, NaNs, signed zeros and subnormals among the operands,
// against the double operation rounded once.
class LargeFloats : public ::testing::TestWithParam<Op> {};

TEST_P(LargeFloats, MatchTheReference) {
  const Op op = GetParam();
  const std::size_t n = (std::size_t(1) << 22) + 4099;
  const auto specials = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1e-40f, -3e-39f, 3.4e38f, -1.5f, 7.25f};
  const std::vector<float> a = randomFloats(n, 11, specials, 1e-6f), b = randomFloats(n, 12, specials, 1e-6f);
  auto inst = instance(entryOf(op));
  const std::vector<float> out = runOnRows<float>(inst, a, b);
  ASSERT_EQ(out.size(), n);
  for (std::size_t k = 0; k < n; ++k) {
    const float want = reference<float>(op, a[k], b[k]);
    ASSERT_TRUE((std::isnan(out[k]) && std::isnan(want)) || sameBits(out[k], want))
        << k << ": " << a[k] << " op " << b[k] << " gave " << out[k] << ", want " << want;
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, LargeFloats, ::testing::Values(Op::Add, Op::Sub, Op::Mult, Op::AbsDiff),
                         [](const auto& info) { return std::string(entryOf(info.param) + 1); });

// Streamed float quotients: a whole matrix of 16 MiB and more against the reference, then the same
// with a zero and with a NaN divisor near its end, where every quotient before it is in memory when
// the run fails and nothing after it is written.
TEST(Division, LargeFloatQuotientsStopAtALateRefusedDivisor) {
  FreshBuffers fresh;
  const std::size_t n = (std::size_t(1) << 22) + 4099, refusedAt = n - 4000;
  // Divisors are neither zero nor NaN until one is placed.
  const std::vector<float> a = randomFloats(n, 31, {-0.0f, INFINITY, NAN, 1e-40f, 3e38f, -2.5f}, 1e-6f);
  const std::vector<float> b = randomFloats(n, 32, {INFINITY, -INFINITY, 1e-40f, 3e38f, -2.5f}, 1e-7f);
  for (float refused : {1.0f, 0.0f, NAN}) {
    SCOPED_TRACE(testing::Message() << "divisor " << refused);
    std::vector<float> divisors = b;
    const bool fails = refused != 1.0f;
    if (fails) divisors[refusedAt] = refused;
    auto inst = instance("_DivImage");
    addRow<float>(inst.inputs[0], a);
    addRow<float>(inst.inputs[1], divisors);
    inst.outputs[0].type = 3;
    kxhost::RunResult r = inst.run();
    EXPECT_EQ(r.completed, !fails);
    if (fails) {
      EXPECT_EQ(r.error, kDivMessage);
    }
    const std::vector<float> out = output<float>(inst, 0, 0);
    ASSERT_EQ(out.size(), n);
    const std::size_t written = fails ? refusedAt : n;
    for (std::size_t k = 0; k < written; ++k) {
      const float want = reference<float>(Op::Div, a[k], divisors[k]);
      ASSERT_TRUE((std::isnan(out[k]) && std::isnan(want)) || sameBits(out[k], want)) << k;
    }
    for (std::size_t k = written; k < n; ++k) ASSERT_TRUE(sameBits(out[k], 0.0f)) << "untouched " << k;
  }
}

// Streamed 8-bit quotients up to a zero divisor near the end of the matrix: every quotient before
// it is in memory when the run fails, and nothing after it is written.
TEST(Division, LargeBytesStopAtALateZero) {
  FreshBuffers fresh;
  const std::size_t n = (std::size_t(1) << 24) + 4099, zeroAt = n - 4000;
  std::vector<uint8_t> a(n), b(n);
  uint32_t x = 7;
  for (std::size_t k = 0; k < n; ++k) {
    x = x * 1664525u + 1013904223u;
    a[k] = static_cast<uint8_t>(x >> 24);
    b[k] = static_cast<uint8_t>((x >> 16) | 1u);
  }
  b[zeroAt] = 0;
  auto inst = instance("_DivImage");
  addRow<uint8_t>(inst.inputs[0], a);
  addRow<uint8_t>(inst.inputs[1], b);
  inst.outputs[0].type = 0;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error, kDivMessage);
  const std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
  ASSERT_EQ(out.size(), n);
  for (std::size_t k = 0; k < zeroAt; ++k) ASSERT_EQ(out[k], a[k] / b[k]) << k;
  for (std::size_t k = zeroAt; k < n; ++k) ASSERT_EQ(out[k], 0) << "untouched " << k;
}

}  // namespace
