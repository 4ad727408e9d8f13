// The element-wise processors against one table of element rules: every type combination on both
// kernel paths, large matrices on the streamed paths, stream pairing and the pin type checks; then
// the inversion, the stretch and the noise, whose elements depend on their whole matrix or the run.
#include <algorithm>
#include <cfloat>
#include <cstdlib>
#include <optional>
#include <tuple>

#include "support/Sweep.h"

using namespace rktest;

namespace {

const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xfchrt.";
const std::string kDivByZero = "Division durch 0; der Datenstrom am 2. Input-Pin enth\xe4lt Elemente vom Wert 0.";
const std::string kPin[] = {"Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.",
                            "Der am 2. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.",
                            "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."};

// One element: operands x (type a) and y (type b, two-input processors only), output type o and the
// parameters. A rule gives the stored value, or nothing where the run must stop.
struct Elem {
  kxType a, b, o;
  double x, y;
  const std::vector<double>& p;
};
using Rule = std::optional<double> (*)(const Elem&);

// An operand converted to the output type, as an exact integer.
int64_t conv(kxType o, double v) { return int64_t(stored(o, v)); }
// A result "in the input type": 8-bit results exact, 32-bit ones wrapped.
int64_t inInput(kxType a, int64_t r) { return a == 2 ? int64_t(int32_t(uint32_t(uint64_t(r)))) : r; }

// Integer outputs convert both operands and wrap the exact result; floating outputs compute in
// double and round once.
std::optional<double> add(const Elem& e) {
  return isInt(e.o) ? storedInt(e.o, conv(e.o, e.x) + conv(e.o, e.y)) : stored(e.o, e.x + e.y);
}
std::optional<double> sub(const Elem& e) {
  return isInt(e.o) ? storedInt(e.o, conv(e.o, e.x) - conv(e.o, e.y)) : stored(e.o, e.x - e.y);
}
std::optional<double> mult(const Elem& e) {
  return isInt(e.o) ? storedInt(e.o, conv(e.o, e.x) * conv(e.o, e.y)) : stored(e.o, e.x * e.y);
}
std::optional<double> absDiff(const Elem& e) {
  if (!isInt(e.o)) return stored(e.o, e.x - e.y < 0 ? e.y - e.x : e.x - e.y);
  const int64_t a = conv(e.o, e.x), b = conv(e.o, e.y), d = int64_t(storedInt(2, a - b));
  return storedInt(e.o, d < 0 ? b - a : d);
}
// A divisor of 0 or NaN in its own type, or one that converts to 0, and -2^31 / -1 on a 32-bit
// output, stop the run.
std::optional<double> divide(const Elem& e) {
  if (!(e.y < 0 || e.y > 0)) return std::nullopt;
  if (!isInt(e.o)) return stored(e.o, e.x / e.y);
  const int64_t a = conv(e.o, e.x), b = conv(e.o, e.y);
  if (b == 0 || (e.o == 2 && b == -1 && a == INT32_MIN)) return std::nullopt;
  return storedInt(e.o, a / b);
}
std::optional<double> blend(const Elem& e) { return stored(e.o, (1.0 - e.p[0]) * e.y + e.p[0] * e.x); }
// AND and OR take each operand's own 8 bits.
std::optional<double> bitAnd(const Elem& e) { return storedInt(e.o, refLow32(e.x) & refLow32(e.y) & 0xffu); }
std::optional<double> bitOr(const Elem& e) { return storedInt(e.o, (refLow32(e.x) | refLow32(e.y)) & 0xffu); }
std::optional<double> negate(const Elem& e) {
  return isInt(e.a) ? storedInt(e.o, inInput(e.a, 255 - int64_t(e.x))) : stored(e.o, 255.0 - e.x);
}
std::optional<double> square(const Elem& e) {
  return isInt(e.a) ? storedInt(e.o, inInput(e.a, int64_t(e.x) * int64_t(e.x))) : stored(e.o, e.x * e.x);
}
// The threshold is held in an integer input's type; an unordered comparison counts as below.
std::optional<double> binarise(const Elem& e) {
  const double t = isInt(e.a) ? stored(e.a, e.p[2]) : e.p[2];
  return stored(e.o, e.x >= t ? e.p[0] : e.p[1]);
}

// A processor's rule with its parameter sets (by index); the first set is the catalogue's defaults,
// which the runs leave in place.
struct Row {
  const char* entry;
  int inputs;
  Rule rule;
  std::vector<std::vector<double>> params;
};
const Row kRows[] = {
    {"_AddImage", 2, add, {{}}},
    {"_SubImage", 2, sub, {{}}},
    {"_MultImage", 2, mult, {{}}},
    {"_DivImage", 2, divide, {{}}},
    {"_AbsDiffImage", 2, absDiff, {{}}},
    {"_BlendImage", 2, blend, {{1}, {0}, {0.5}, {0.25}, {2}, {-1}, {-0.3}, {1.0 / 3}, {1e7}, {1e12}}},
    {"_AndImage", 2, bitAnd, {{}}},
    {"_OrImage", 2, bitOr, {{}}},
    {"_Negate", 1, negate, {{}}},
    {"_SquareImage", 1, square, {{}}},
    {"_BinImage",
     1,
     binarise,
     {{255, 0, 128}, {256, -1, 128.9}, {1000.7, -2.7, 300}, {-5, 3e9, -1}, {2.5, 1.5, -0.5}, {7, 0.1, 0.7}}},
};

void setParams(kxhost::Instance& inst, const std::vector<double>& p) {
  for (std::size_t i = 0; i < p.size(); ++i) inst.params.at(i).dblVal = p[i];
}

// Operand matrices: every pair of ordinary values, every pair of all values, the values near the
// 32-bit limits, the values below them, and ordinary pairs over a few thousand elements with one
// extreme pair late in it, so that runs converted wholesale and runs converted element by element
// meet in one matrix. Pairs the rule refuses are left out. One-input processors get a second
// operand of 1.
struct Operands {
  std::vector<std::vector<double>> a, b;
};
template <class Keep>
Operands operands(kxType ta, int tb, Keep keep) {
  auto of = [&](int t, Samples w) { return t < 0 ? std::vector<double>{1} : samplesOf(kxType(t), w); };
  Operands s;
  auto push = [&](double x, double y) {
    if (keep(x, y)) s.a.back().push_back(x), s.b.back().push_back(y);
  };
  for (Samples w : {Samples::Ordinary, Samples::All, Samples::Boundary, Samples::Below}) {
    s.a.emplace_back(), s.b.emplace_back();
    for (double y : of(tb, w))
      for (double x : of(ta, w)) push(x, y);
  }
  s.a.emplace_back(), s.b.emplace_back();
  const std::vector<double> oa = of(ta, Samples::Ordinary), ob = of(tb, Samples::Ordinary);
  for (std::size_t k = 0; k < 2600; ++k)
    k == 2100 ? push(of(ta, Samples::Extreme).back(), of(tb, Samples::Extreme).back())
              : push(oa[k % oa.size()], ob[(k / 3) % ob.size()]);
  return s;
}

using Case = std::tuple<int, kxType, kxType, kxType>;
class Oracle : public ::testing::TestWithParam<Case> {};
TEST_P(Oracle, EveryElementMatchesTheRule) {
  // Plain variables rather than a structured binding, which clang 14 does not let the lambdas capture.
  const int r = std::get<0>(GetParam());
  const kxType a = std::get<1>(GetParam()), b = std::get<2>(GetParam()), o = std::get<3>(GetParam());
  const Row& row = kRows[r];
  for (std::size_t set = 0; set < row.params.size(); ++set) {
    const std::vector<double>& p = row.params[set];
    SCOPED_TRACE(testing::Message() << "parameter set " << set);
    const Operands in = operands(a, row.inputs == 2 ? b : -1, [&](double x, double y) {
      return row.rule({a, b, o, x, y, p}) != std::nullopt;
    });
    auto inst = instance(row.entry);
    if (set > 0) setParams(inst, p);
    for (std::size_t i = 0; i < in.a.size(); ++i) {
      addValues(inst.inputs[0], a, in.a[i]);
      if (row.inputs == 2) addValues(inst.inputs[1], b, in.b[i]);
    }
    inst.outputs[0].type = o;
    const kxhost::RunResult res = runBoth(inst);
    ASSERT_TRUE(res.completed) << res.error;
    EXPECT_EQ(res.returned, 1);
    EXPECT_TRUE(res.warnings.empty());
    ASSERT_EQ(inst.outputs[0].stream.size(), int32_t(in.a.size()));
    for (std::size_t i = 0; i < in.a.size(); ++i) {
      const std::vector<double> got = outputValues(inst, i);
      for (std::size_t k = 0; k < got.size(); ++k) {
        const double want = *row.rule({a, b, o, in.a[i][k], in.b[i][k], p});
        ASSERT_TRUE(sameValue(got[k], want))
            << "matrix " << i << ": " << in.a[i][k] << ", " << in.b[i][k] << " gave " << got[k] << ", want " << want;
      }
    }
    // The same operands as a stream of two matrices of 9 rows, split into bands, against one run. A
    // second pin of three matrices takes the unequal-count path with its warning.
    std::vector<double> x, y;
    for (std::size_t i = 0; i < in.a.size(); ++i) {
      x.insert(x.end(), in.a[i].begin(), in.a[i].end());
      y.insert(y.end(), in.b[i].begin(), in.b[i].end());
    }
    const int32_t width = int32_t(x.size() + 8) / 9;
    auto banded = instance(row.entry);
    setParams(banded, p);
    for (int m = 0; m < 2; ++m) addValues(banded.inputs[0], a, cycled(x, std::size_t(width) * 9), width, 9, 1, "m");
    for (int m = 0; row.inputs == 2 && m < (o == 0 ? 2 : 3); ++m)
      addValues(banded.inputs[1], b, cycled(y, std::size_t(width) * 9), width, 9);
    banded.outputs[0].type = o;
    EXPECT_TRUE(sameInBands(banded).completed);
  }
}

std::vector<Case> allCases() {
  std::vector<Case> cases;
  for (int r = 0; r < int(std::size(kRows)); ++r)
    for (kxType a : kImageCodes)
      for (kxType b : kImageCodes)
        for (kxType o : kImageCodes)
          if (kRows[r].inputs == 2 || b == 0) cases.emplace_back(r, a, b, o);
  return cases;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
  const auto [r, a, b, o] = info.param;
  const bool two = kRows[r].inputs == 2;
  return std::string(kRows[r].entry + 1) + "_" + typeName(a) + (two ? "_" : "") + (two ? typeName(b) : "") + "_to_" +
         typeName(o);
}
INSTANTIATE_TEST_SUITE_P(AllTypes, Oracle, ::testing::ValuesIn(allCases()), caseName);

// A division stopped by zero divisors in two bands of the first matrix: the split run ends as the
// one run does, without the second matrix that the bands above them reach, and everything before
// the first zero is what one run writes.
TEST(Bands, DivisionStopsAtTheFirstZeroOfTheLowestBand) {
  for (std::size_t zero : {12 * 50 + 3, 46 * 50 + 1}) {
    auto inst = instance("_DivImage");
    std::vector<double> divisor(50 * 50, 3.0);
    divisor[zero] = divisor[50 * 40] = 0;
    for (int m = 0; m < 2; ++m) addValues(inst.inputs[0], 0, cycled({9, 200, 17}, 50 * 50), 50, 50);
    addValues(inst.inputs[1], 0, divisor, 50, 50);
    addValues(inst.inputs[1], 0, std::vector<double>(50 * 50, 5.0), 50, 50);
    // The pin's line ("pin +\n"), the matrix header ("50x50x1  0:") and the elements before the zero.
    EXPECT_EQ(sameInBands(inst, 6 + 11 + std::min<std::size_t>(zero, 50 * 40)).error, kDivByZero);
  }
}

// Outputs of 16 MiB and more of inputs of their own type (8-bit or float) are formed in registers
// and streamed, or formed in blocks and streamed on the baseline path: every element of one such
// matrix (with a remainder after the blocks), with float infinities, NaNs, signed zeros and
// subnormals among the operands, against the rule.
struct LargeCase {
  int row;
  kxType type;
  std::vector<std::vector<double>> params;
  kxType out = -1;  // the input type
  std::size_t n = 0;
};
class Large : public ::testing::TestWithParam<LargeCase> {};
TEST_P(Large, EveryElementMatchesTheRule) {
  const auto& [r, t, params, out, size] = GetParam();
  const Row& row = kRows[r];
  const kxType o = out < 0 ? t : out;
  const std::size_t n = size > 0 ? size : (std::size_t(16) << 20) / (t == 0 ? 1 : 4) + 4099;
  if (skipLarge(n * (o == 0 ? 1 : 4))) GTEST_SKIP() << "a large matrix under an emulator";
  const float belowTenth = std::nextafter(0.1f, 0.0f);
  const auto specials = {0.0f,    -0.0f,    INFINITY,   -INFINITY, NAN,    1e-40f,         -3e-39f,
                         FLT_MAX, -FLT_MAX, -1.5f,      255.9f,    -0.5f,  3e9f,           -3e9f,
                         1e20f,   0.1f,     belowTenth, 128.0f,    127.0f, -2147483648.0f, 2147483520.0f};
  std::vector<double> a(n), b(n);
  if (t == 0) {
    const std::vector<uint8_t> x = randomBytes(n, 99), y = randomBytes(n, 100);
    std::copy(x.begin(), x.end(), a.begin()), std::copy(y.begin(), y.end(), b.begin());
  } else {
    const std::vector<float> x = randomFloats(n, 11, specials, 1e-6f), y = randomFloats(n, 12, specials, 3e-7f);
    std::copy(x.begin(), x.end(), a.begin()), std::copy(y.begin(), y.end(), b.begin());
  }
  for (const std::vector<double>& p : params) {
    auto inst = instance(row.entry);
    setParams(inst, p);
    addValues(inst.inputs[0], t, a);
    if (row.inputs == 2) addValues(inst.inputs[1], t, b);
    inst.outputs[0].type = o;
    const kxhost::RunResult res = runBoth(inst);
    ASSERT_TRUE(res.completed) << res.error;
    const std::vector<double> got = outputValues(inst, 0);
    ASSERT_EQ(got.size(), n);
    // 8-bit operands come in 256 x 256 pairs: the rule of each pair once, then a look-up per element.
    std::vector<double> byPair;
    for (int x = 0; t == 0 && x < 256; ++x)
      for (int y = 0; y < 256; ++y) byPair.push_back(row.rule({t, t, o, double(x), double(y), p}).value_or(NAN));
    for (std::size_t k = 0; k < n; ++k) {
      const double want =
          t == 0 ? byPair[std::size_t(a[k]) * 256 + std::size_t(b[k])] : *row.rule({t, t, o, a[k], b[k], p});
      ASSERT_TRUE(sameValue(got[k], want)) << "element " << k << ": " << a[k] << ", " << b[k] << " gave " << got[k];
    }
  }
}

// Large 8-bit matrices are blended in float where that is checked to give the same output for
// every pair of values: weights whose float mix agrees (0.5, 0.25) and ones whose does not (0.3).
// The thresholds of 0.1 and 1e300 are no floats; infinite and NaN ones compare as stated too.
std::vector<LargeCase> largeCases() {
  std::vector<LargeCase> v = {{5, 3, {{0.3}, {-1.5}}},
                              {10, 0, {{200, 7, 128}, {200, 7, 0}, {200, 7, 255}, {200, 7, 300.7}}}};
  for (kxType o : {0, 2}) v.push_back({5, 0, {{0.5}, {0.25}, {0.3}, {1.0 / 3}, {2}, {-0.75}}, o, (1 << 20) + 77});
  for (kxType t : {0, 3})
    for (int r : {0, 1, 2, 4, 6, 7, 8, 9}) v.push_back({r, t, {{}}});
  v.push_back({10, 3, {}});
  for (double t : {0.1, -0.0, 1e300, -1e300, double(INFINITY), -double(INFINITY), double(NAN), 3.4028235e38})
    v.back().params.push_back({200, 7, t});
  return v;
}
INSTANTIATE_TEST_SUITE_P(Streamed, Large, ::testing::ValuesIn(largeCases()), [](const auto& info) {
  return std::string(kRows[info.param.row].entry + 1) + "_" + typeName(info.param.type) + "_" +
         std::to_string(info.index);
});

// (first count, second count): pairs by index when the counts agree and are not 1, else the second
// pin's first matrix serves every output, with a warning unless the second pin holds one matrix.
class TwoInputPairing : public ::testing::TestWithParam<std::tuple<int, std::pair<int32_t, int32_t>>> {};
TEST_P(TwoInputPairing, SecondOperandChosenPerMatrix) {
  const auto [r, counts] = GetParam();
  const auto [count1, count2] = counts;
  const Row& row = kRows[r];
  auto inst = instance(row.entry);
  setParams(inst, row.params.back());
  inst.inputs[0].stream.meta = info(2, 1, 1, "meta");
  // Names built by appending: GCC 12 sees a false overlap in "m" + std::to_string(i) (-Wrestrict).
  auto name = [](int32_t i) { return std::string("m").append(std::to_string(i)); };
  for (int32_t i = 0; i < count1; ++i)
    addValues(inst.inputs[0], 0, {100.0 + i, 200.0 + 3 * i}, 2, 1, 1, name(i).c_str());
  for (int32_t j = 0; j < count2; ++j) addValues(inst.inputs[1], 0, {1.0 + j, 7.0 + 5 * j});
  inst.inputs[1].connected = true;
  inst.outputs[0].type = 4;
  const kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  const bool byIndex = count1 == count2 && count2 != 1;
  EXPECT_EQ(res.warnings, byIndex || count2 == 1 ? std::vector<std::string>{} : std::vector<std::string>{kUnequal});
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
  ASSERT_EQ(inst.outputs[0].stream.size(), count1);
  for (int32_t i = 0; i < count1; ++i) {
    const double j = byIndex ? i : 0;
    const std::vector<double>& q = row.params.back();
    const std::vector<double> want = {*row.rule({0, 0, 4, 100.0 + i, 1 + j, q}),
                                      *row.rule({0, 0, 4, 200.0 + 3 * i, 7 + 5 * j, q})};
    EXPECT_EQ(outputValues(inst, std::size_t(i)), want) << "output " << i;
    EXPECT_EQ(inst.outputs[0].stream.matrices[std::size_t(i)]->info().Name.c_str(), name(i));
  }
}
INSTANTIATE_TEST_SUITE_P(Counts, TwoInputPairing,
                         ::testing::Combine(::testing::Range(0, 8),
                                            ::testing::Values(std::pair{3, 1}, std::pair{1, 1}, std::pair{3, 3},
                                                              std::pair{3, 2}, std::pair{2, 5}, std::pair{0, 2},
                                                              std::pair{0, 0})));

class TwoInputRefusal : public ::testing::TestWithParam<int> {};
// The pairing falls back on a second matrix that is not there: the host refuses to hand it out,
// after the warning and the meta information copy, before any output matrix exists. Matrices of
// different sizes are refused before anything is written.
TEST_P(TwoInputRefusal, HostRefusesMissingAndMismatchedOperands) {
  for (bool mismatch : {false, true}) {
    auto inst = instance(kRows[GetParam()].entry);
    addValues(inst.inputs[0], 0, {1, 2});
    addValues(inst.inputs[0], 0, {1, 2});
    if (mismatch) addValues(inst.inputs[1], 0, {1, 2, 3});
    inst.inputs[1].connected = true;
    const kxhost::RunResult res = inst.run();
    EXPECT_FALSE(res.completed);
    EXPECT_FALSE(res.processorError);
    EXPECT_NE(res.error.find(mismatch ? "kxCompareStreams" : "kxGetIVector"), std::string::npos) << res.error;
    EXPECT_EQ(res.warnings, mismatch ? std::vector<std::string>{} : std::vector<std::string>{kUnequal});
    EXPECT_EQ(inst.outputs[0].stream.metaSet, !mismatch);
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  }
}
INSTANTIATE_TEST_SUITE_P(Host, TwoInputRefusal, ::testing::Range(0, 8));

// Divisors refused on the given output type: zero in their own type, NaN, or zero once converted.
TEST(Division, RefusedDivisors) {
  struct Case {
    kxType a, b, o;
    double x, y;
    bool refused;
  };
  for (const Case& c :
       {Case{0, 0, 4, 5, 0, true}, Case{3, 3, 3, 5, -0.0, true}, Case{4, 4, 4, 5, NAN, true},
        Case{4, 4, 2, 5, 0.5, true}, Case{2, 2, 0, 5, 256, true}, Case{2, 2, 2, INT32_MIN, -1, true},
        Case{4, 4, 4, 5, 0.5, false}, Case{2, 2, 2, 5, 256, false}, Case{2, 2, 4, INT32_MIN, -1, false}}) {
    auto inst = instance("_DivImage");
    addValues(inst.inputs[0], c.a, {c.x, c.x});
    addValues(inst.inputs[1], c.b, {1, c.y});
    inst.outputs[0].type = c.o;
    const kxhost::RunResult r = inst.run();
    EXPECT_EQ(!r.completed && r.processorError && r.error == kDivByZero, c.refused) << c.x << " / " << c.y;
  }
}

// 8-bit quotients come from a float division (on AVX2 from reciprocals) and 32-bit ones from a
// double division: every pair of 8-bit values from each input type, with a remainder after the
// 32-element steps, and 32-bit dividends next to multiples of their divisors, against integer division.
class IntegerQuotients : public ::testing::TestWithParam<std::tuple<kxType, kxType, kxType>> {};
TEST_P(IntegerQuotients, MatchIntegerDivision) {
  const auto [ta, tb, o] = GetParam();
  std::vector<double> a, b;
  auto pair = [&](int64_t x, int64_t y) {
    if (y != 0 && x >= INT32_MIN && x <= INT32_MAX && !(x == INT32_MIN && y == -1))
      a.push_back(double(x)), b.push_back(double(y));
  };
  for (int x = 0; o == 0 && x < 256; ++x)
    for (int y = 1; y < 256; ++y) pair(x, y);
  for (int k = 0; o == 0 && k < 13; ++k) pair(255 - k, k + 1);
  for (int64_t y : {1, 2, 3, 7, 255, 65535, 65537, 46341, 1000003, 2147483647, -1, -3, -65537, INT32_MIN})
    for (int64_t q : {0LL, 1LL, 2LL, 3LL, 32767LL, 65535LL, 2147483647LL, -1LL, -2LL, -65536LL, -2147483648LL})
      for (int64_t r = -2; o == 2 && r <= 2; ++r) pair(q * y + r, y);
  Draws draws(12345);
  for (int k = 0; o == 2 && k < 200000; ++k) {
    const auto x = int32_t(draws.next());
    const uint32_t d = draws.next();
    pair(x, int32_t(d) >> (d % 31));
  }
  auto inst = instance("_DivImage");
  addValues(inst.inputs[0], ta, a);
  addValues(inst.inputs[1], tb, b);
  inst.outputs[0].type = o;
  ASSERT_TRUE(runBoth(inst).completed);
  const std::vector<double> out = outputValues(inst, 0);
  for (std::size_t k = 0; k < a.size(); ++k) ASSERT_EQ(out[k], std::trunc(a[k] / b[k])) << a[k] << " / " << b[k];
}
INSTANTIATE_TEST_SUITE_P(Bytes, IntegerQuotients,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes),
                                            ::testing::Values(kxType(0))));
INSTANTIATE_TEST_SUITE_P(ThirtyTwoBits, IntegerQuotients,
                         ::testing::Values(std::tuple<kxType, kxType, kxType>{2, 2, 2}));

// A refused divisor at `at` in the second of three matrices ends the run there: the first output is
// complete, the second holds every quotient before it and nothing after it, and no third is made.
// Positions around the blocks and steps of each path, and late in matrices of 16 MiB and more,
// which are streamed.
struct Stop {
  kxType type;
  std::size_t n;
  std::vector<std::size_t> at;
  double refused;
};
class DivisionStops : public ::testing::TestWithParam<Stop> {};
TEST_P(DivisionStops, AtTheFirstRefusedDivisor) {
  const Stop& s = GetParam();
  if (skipLarge(s.n * (s.type == 0 ? 1 : 4))) GTEST_SKIP() << "a large matrix under an emulator";
  std::vector<double> a(s.n), b(s.n);
  if (s.type == 3) {
    const std::vector<float> x = randomFloats(s.n, 31, {-0.0f, INFINITY, NAN, 1e-40f, 3e38f, -2.5f}, 1e-6f);
    const std::vector<float> y = randomFloats(s.n, 32, {INFINITY, -INFINITY, 1e-40f, 3e38f, -2.5f}, 1e-7f);
    std::copy(x.begin(), x.end(), a.begin()), std::copy(y.begin(), y.end(), b.begin());
  } else {
    const std::vector<uint8_t> x = randomBytes(s.n, 7), y = randomBytes(s.n, 8);
    for (std::size_t k = 0; k < s.n; ++k) a[k] = x[k], b[k] = y[k] | 1;
  }
  const std::vector<double> none;
  for (std::size_t at : s.at) {
    std::vector<double> divisors = b;
    divisors[at] = s.refused;
    auto inst = instance("_DivImage");
    for (const auto* v : {&b, &divisors, &b}) {
      addValues(inst.inputs[0], s.type, a);
      addValues(inst.inputs[1], s.type, *v);
    }
    inst.outputs[0].type = s.type;
    const kxhost::RunResult r = runBoth(inst, true);
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, kDivByZero);
    ASSERT_EQ(inst.outputs[0].stream.size(), 2) << "no matrix after the failing one";
    for (std::size_t i = 0; i < 2; ++i) {
      const std::vector<double> got = outputValues(inst, i);
      for (std::size_t k = 0; k < s.n; ++k) {
        const double want = i == 1 && k >= at ? 0.0 : *divide({s.type, s.type, s.type, a[k], b[k], none});
        ASSERT_TRUE(sameValue(got[k], want)) << "refused at " << at << ", matrix " << i << ", element " << k;
      }
    }
  }
}

const std::size_t kLargeBytes = (std::size_t(1) << 24) + 4099, kLargeFloats = (std::size_t(1) << 22) + 4099;
INSTANTIATE_TEST_SUITE_P(Cases, DivisionStops,
                         ::testing::Values(Stop{0, 10000, {0, 31, 32, 33, 1023, 1024, 2047, 2048, 5000, 9999}, 0},
                                           Stop{4, 16, {10}, 0}, Stop{4, 700, {650}, NAN},
                                           Stop{0, kLargeBytes, {kLargeBytes - 4000}, 0},
                                           Stop{3, kLargeFloats, {kLargeFloats - 4000}, 0},
                                           Stop{3, kLargeFloats, {kLargeFloats - 4000}, NAN}));

const char* const kEntries[] = {
    "_AddImage",   "_SubImage",   "_MultImage",      "_DivImage",       "_AbsDiffImage",    "_BlendImage",
    "_AndImage",   "_OrImage",    "_NotImage",       "_Negate",         "_SquareImage",     "_Norm",
    "_Pertur",     "_BinImage",   "_ScalarAddImage", "_ScalarSubImage", "_ScalarMultImage", "_ScalarDivImage",
    "_ConstImage", "_ImagePlane", "_TransformImage"};

class Frame : public ::testing::TestWithParam<const char*> {};
// Pins are examined in order, each with its own message, before anything is read or written; the
// "Scalar" pin takes doubles only, connected or not. A type of -2 stands for the pin's own.
TEST_P(Frame, PinTypesAreCheckedInOrder) {
  const bool scalar = std::string(GetParam()).starts_with("_Scalar");
  const std::size_t inputs = instance(GetParam()).inputs.size();
  struct Bad {
    kxType in0, in1, out;
    int message;
  };
  std::vector<Bad> cases = {{0, -2, 1, 2}, {0, -2, 5, 2}, {0, -2, -1, 2}};
  if (inputs > 0) cases.insert(cases.end(), {{1, 1, 1, 0}, {7, -2, 0, 0}, {255, -2, 9, 0}});
  if (inputs > 1) cases.insert(cases.end(), {{0, 1, 1, 1}, {4, 6, 0, 1}});
  if (scalar) cases.insert(cases.end(), {{0, 0, 0, 1}, {3, 3, 0, 1}, {2, 2, 9, 1}});
  for (const Bad& c : cases) {
    auto inst = instance(GetParam());
    for (kxhost::Pin& pin : inst.inputs) addValues(pin, 4, {1});
    if (inputs > 0) inst.inputs[0].type = c.in0;
    if (inputs > 1) inst.inputs[1].type = c.in1 != -2 ? c.in1 : scalar ? 4 : 0;
    inst.outputs[0].type = c.out;
    const kxhost::RunResult res = inst.run();
    EXPECT_TRUE(res.processorError);
    EXPECT_EQ(res.error, kPin[c.message]) << c.in0 << " " << c.in1 << " " << c.out;
    EXPECT_TRUE(res.warnings.empty());
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  }
}

TEST_P(Frame, OutputsFollowTheirInputs) {
  auto inst = instance(GetParam());
  if (inst.inputs.empty()) return;  // a generator: its own tests
  const bool scalar = std::string(GetParam()).starts_with("_Scalar");
  inst.inputs[0].stream.meta = info(3, 4, 1, "meta");
  inst.outputs[0].type = 4;
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
  std::vector<double> v(18);
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = double(k * 9 + 1);
  addValues(inst.inputs[0], 0, v, 2, 3, 3, "rgb").info().UserDatas.assign("\x09\x08\x07", 3);
  if (inst.inputs.size() > 1 && !scalar) addValues(inst.inputs[1], 0, v, 2, 3, 3, "other");
  ASSERT_TRUE(inst.run().completed);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_STREQ(out.Name.c_str(), "rgb");
  EXPECT_EQ(std::tuple(out.X, out.Y, out.Planes, out.Count), std::tuple(2, 3, 3, 18));
  ASSERT_EQ(out.UserDatas.size(), 3);
  EXPECT_EQ(out.UserDatas.data()[2], 7);
}
INSTANTIATE_TEST_SUITE_P(Entries, Frame, ::testing::ValuesIn(kEntries),
                         [](const auto& info) { return std::string(info.param + 1); });

// ---- _NotImage: the two-level inversion -------------------------------------------------------

// The extremes are kept in the input type from the given start values (the largest value, and 0 or
// minus the largest), then every element below the maximum becomes the maximum and every other
// element the minimum. NaN never becomes an extreme; the first zero's sign stays.
std::vector<double> refInvert(kxType t, const std::vector<double>& in, kxType o) {
  const double max = t == 0 ? 255 : t == 2 ? INT32_MAX : t == 3 ? FLT_MAX : DBL_MAX;
  double lo = max, hi = t == 0 ? 0 : -max;
  for (double v : in) {
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  std::vector<double> out;
  for (double v : in) out.push_back(stored(o, v < hi ? hi : lo));
  return out;
}

class InvertSweep : public ::testing::TestWithParam<std::tuple<kxType, kxType>> {};
TEST_P(InvertSweep, TwoLevelsPerMatrix) {
  const auto [t, o] = GetParam();
  // Extremes found afresh per matrix: ordinary values, all values, one value, none, the lowest
  // value alone, and a long run whose extremes sit at its ends.
  const std::vector<double> ordinary = samplesOf(t, Samples::Ordinary);
  const double lowest = t == 0 ? 0 : t == 2 ? INT32_MIN : t == 3 ? -FLT_MAX : -DBL_MAX;
  std::vector<std::vector<double>> mats = {ordinary, samplesOf(t, Samples::All), {ordinary[3]}, {}, {lowest, lowest}};
  mats.emplace_back(3000, ordinary[2]);
  mats.back().front() = ordinary[1], mats.back().back() = ordinary.back();
  // Zeros of both signs in different lanes and in the tail, for the maximum and for the minimum;
  // lanes 1 and 8 met in either order, so that the lanes' order differs from the stream's.
  for (double fill : t == 3 || t == 4 ? std::vector<double>{-5.0, 5.0} : std::vector<double>{})
    for (auto [first, second] :
         {std::pair{33, 40}, std::pair{40, 33}, std::pair{8, 33}, std::pair{33, 8}, std::pair{1, 66}, std::pair{66, 1}})
      for (double zero : {-0.0, 0.0}) {
        mats.emplace_back(70, fill);
        mats.back()[std::size_t(first)] = zero, mats.back()[std::size_t(second)] = -zero;
      }
  auto inst = instance("_NotImage");
  for (const auto& m : mats) addValues(inst.inputs[0], t, m);
  inst.outputs[0].type = o;
  const kxhost::RunResult r = runBoth(inst);
  ASSERT_TRUE(r.completed) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), int32_t(mats.size()));
  for (std::size_t i = 0; i < mats.size(); ++i)
    EXPECT_TRUE(sameValues(outputValues(inst, i), refInvert(t, mats[i], o))) << "matrix " << i;
}
INSTANTIATE_TEST_SUITE_P(AllTypes, InvertSweep,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           return std::string(typeName(std::get<0>(info.param))) + "_to_" +
                                  typeName(std::get<1>(info.param));
                         });

// ---- _Norm and _Pertur, whose elements depend on their whole matrix or on the run ---------------

// (x - min) * (255 / range) in double, NaN kept out of the extremes; a matrix without a range is
// copied, with a warning naming it.
std::vector<double> refNorm(const std::vector<double>& in, kxType o, bool& flat) {
  double lo = INFINITY, hi = -INFINITY;
  for (double x : in)
    if (!std::isnan(x)) lo = std::min(lo, x), hi = std::max(hi, x);
  flat = !(hi - lo > 0) || std::isnan(hi - lo);
  std::vector<double> out;
  for (double x : in) out.push_back(stored(o, flat ? x : (x - lo) * (255.0 / (hi - lo))));
  return out;
}

// The serial form of the Windows C library's rand() after srand(1).
struct SerialRand {
  uint32_t state = 1;
  int next() {
    state = state * 214013u + 2531011u;
    return int((state >> 16) & 0x7fff);
  }
};

// noise * amplitude + x "in the input type" (the amplitude held in it), limited to 0..255.
double refPertur(kxType a, kxType o, double x, int noise, double amplitude) {
  if (isInt(a)) {
    int64_t v = noise * int64_t(stored(a, amplitude)) + int64_t(x);
    if (a == 2) v = int32_t(uint32_t(uint64_t(v)));
    return double(std::clamp<int64_t>(v, 0, 255));
  }
  const double v = noise * stored(a, amplitude) + x;
  const double s = stored(isInt(o) ? 2 : o, v);
  return std::isnan(s) ? 0 : std::clamp(s, 0.0, 255.0);
}

class PointSweep : public ::testing::TestWithParam<std::tuple<bool, kxType, kxType>> {};
TEST_P(PointSweep, MatchesTheReference) {
  const auto [norm, a, o] = GetParam();
  const std::vector<double> all = samplesOf(a, Samples::All);
  std::vector<std::vector<double>> rows;
  if (norm) {
    rows = {samplesOf(a, Samples::Ordinary), std::vector<double>(9, 7), {}, all};
    for (int v = 25; v >= 0; --v) rows[2].push_back(v);
    if (!isInt(a)) rows.push_back({NAN, NAN});
  } else {
    // Lengths that cross the generator's blocks and the kernel's chunks, the sequence running on
    // from one matrix into the next.
    for (std::size_t len : {4096u + 37u, 5u, 100u}) {
      rows.emplace_back(len);
      for (std::size_t k = 0; k < len; ++k) rows.back()[k] = all[(k * 5 + len) % all.size()];
    }
  }
  for (double amplitude :
       norm ? std::vector<double>{1} : std::vector<double>{1, -1, 0.5, 3.7, 300, 0, -2.5, 1e9, 7e4}) {
    SCOPED_TRACE(testing::Message() << "amplitude " << amplitude);
    auto inst = instance(norm ? "_Norm" : "_Pertur");
    if (!norm) inst.params.at(0).dblVal = amplitude;
    for (const auto& row : rows) addValues(inst.inputs[0], a, row);
    inst.outputs[0].type = o;
    const kxhost::RunResult r = runBoth(inst);
    ASSERT_TRUE(r.completed) << r.error;
    SerialRand rng;
    std::vector<std::string> warnings;
    for (std::size_t m = 0; m < rows.size(); ++m) {
      bool flat = false;
      std::vector<double> want = refNorm(rows[m], o, flat);
      if (norm && flat)
        warnings.push_back("Objekt " + std::to_string(m) + ": Division durch 0; Das Objekt wird kopiert");
      if (!norm)
        for (std::size_t k = 0; k < want.size(); ++k) want[k] = refPertur(a, o, rows[m][k], rng.next() >> 9, amplitude);
      EXPECT_TRUE(sameValues(outputValues(inst, m), want)) << "matrix " << m;
    }
    EXPECT_EQ(r.warnings, warnings);
  }
}
INSTANTIATE_TEST_SUITE_P(AllTypes, PointSweep,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kImageCodes),
                                          testing::ValuesIn(kImageCodes)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) ? "Norm_" : "Pertur_") +
                                  typeName(std::get<1>(p.param)) + "_to_" + typeName(std::get<2>(p.param));
                         });

// Every range an 8-bit matrix can have, each matrix holding every value of its range in descending
// order (the extremes not first), on both integer outputs; then one 8-bit matrix of 16 MiB and more,
// whose output is streamed, with a length that leaves a remainder.
class NormBytes : public ::testing::TestWithParam<kxType> {};
TEST_P(NormBytes, MatchTheDoubleFormula) {
  auto inst = instance("_Norm");
  std::vector<std::vector<double>> in;
  for (int lo = 0; lo < 256; ++lo)
    for (int hi = lo + 1; hi < 256; ++hi) {
      in.emplace_back();
      for (int x = hi; x >= lo; --x) in.back().push_back(x);
    }
  std::vector<double> large((std::size_t(1) << 24) + 13);
  Draws draws(3);
  for (double& e : large) e = 17 + (draws.next() >> 24) % 214;
  large[5] = 17, large[99] = 230;
  if (!skipLarge(large.size())) in.push_back(large);
  for (const auto& m : in) addValues(inst.inputs[0], 0, m);
  inst.outputs[0].type = GetParam();
  ASSERT_TRUE(runBoth(inst).completed);
  bool flat = false;
  for (std::size_t i = 0; i < in.size(); ++i)
    ASSERT_TRUE(sameValues(outputValues(inst, i), refNorm(in[i], GetParam(), flat))) << "matrix " << i;
}
INSTANTIATE_TEST_SUITE_P(IntegerOutputs, NormBytes, ::testing::Values(kxType(0), kxType(2)));

TEST(Pertur, EveryRunRestartsTheSequenceAndLeavesTheProcessRandAlone) {
  std::srand(77);
  const int expectedNext = std::rand();
  std::srand(77);
  std::vector<double> first;
  for (int run = 0; run < 2; ++run) {
    auto inst = instance("_Pertur");
    inst.params.at(0).dblVal = 2.0;
    addValues(inst.inputs[0], 0, std::vector<double>(1000, 3));
    ASSERT_TRUE(inst.run().completed);
    if (run == 0) first = outputValues(inst, 0);
    EXPECT_EQ(outputValues(inst, 0), first);
  }
  EXPECT_NE(first, std::vector<double>(1000, 3));
  EXPECT_EQ(std::rand(), expectedNext);
}

}  // namespace
