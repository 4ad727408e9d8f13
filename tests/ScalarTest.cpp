// Scalar arithmetic: every type pair and scalar source against a reference, plus the fallbacks and failures.
#include <tuple>

#include "support/Harness.h"
#include "support/Reference.h"

using namespace rktest;

namespace {

enum class Op { Add, Sub, Mult, Div };
enum class Source { Parameter, OnePin, PinPerMatrix };

const char* entry(Op op) {
  static const char* names[] = {"_ScalarAddImage", "_ScalarSubImage", "_ScalarMultImage", "_ScalarDivImage"};
  return names[int(op)];
}

const std::string kNoData = "Keine Daten vorhanden! Operation wird nicht durchgef\xfchrt.";
const std::string kChooseNonZero =
    "Division durch 0; W\xe4hlen Sie bitte im Konfigurationsmen\xfc ein scalar ungleich 0 aus!";
const std::string kMatrixZero = "Division durch 0;";
const std::string kInput1 = "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
const std::string kInput2 = "Der am 2. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
const std::string kOutput1 = "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";

void setScalarParameter(kxhost::Instance& inst, double v) {
  inst.params.at(0).vt = VT_R8;
  inst.params.at(0).dblVal = v;
}

// The scalar in effect, as a double: in the input type for add and subtract; for multiply and divide
// a parameter cut to an integer input type, a pin value as it is.
template <class I>
double heldScalar(Op op, double v, bool fromPin) {
  const bool inInputType = op == Op::Add || op == Op::Sub || (!fromPin && std::is_integral_v<I>);
  return inInputType ? double(fromDouble<I>(v)) : v;
}

template <class I, class O>
O reference(Op op, I x, double s) {
  if (op == Op::Add || op == Op::Sub) {
    if constexpr (std::is_integral_v<I>) {
      int64_t r = op == Op::Add ? int64_t(x) + int64_t(s) : int64_t(x) - int64_t(s);
      if constexpr (std::is_same_v<I, int32_t>) r = wrap32(r);
      return fromInt<O>(r);
    } else {
      return fromDouble<O>(op == Op::Add ? double(x) + s : double(x) - s);
    }
  }
  return fromDouble<O>(op == Op::Mult ? double(x) * s : double(x) / s);
}

template <class T>
bool same(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    if (std::isnan(a) && std::isnan(b)) return true;
  return sameBits(a, b);
}

// Inputs long enough for the vector loops and their tails, different in every matrix.
template <class I>
std::vector<I> inputRow(int matrix) {
  const std::vector<I> s = samples<I>();
  std::vector<I> row(103);
  for (std::size_t k = 0; k < row.size(); ++k) row[k] = s[(k + 5 * matrix) % s.size()];
  return row;
}

// ---- the type sweep -----------------------------------------------------------------------------

using SweepParam = std::tuple<Op, kxType, kxType>;
class ScalarSweep : public ::testing::TestWithParam<SweepParam> {};

TEST_P(ScalarSweep, MatchesReferenceForEverySourceAndScalar) {
  const auto [op, inType, outType] = GetParam();
  withTypes(inType, outType, [&, op = op]<class I, class O>() {
    const double nan = NAN;
    for (double v : {10.0, -1.0, 300.0, 2.9, -2.9, 2.5, 0.1, 0.5, -0.5, 256.0, 1e10, 0.0, nan}) {
      for (Source src : {Source::Parameter, Source::OnePin, Source::PinPerMatrix}) {
        SCOPED_TRACE(testing::Message() << "scalar " << v << ", source " << int(src));
        auto inst = instance(entry(op));
        const int matrices = src == Source::PinPerMatrix ? 3 : 2;
        std::vector<double> scalars(matrices, v);
        if (src == Source::PinPerMatrix) scalars = {3.0, -2.0, v};
        for (int m = 0; m < matrices; ++m) addRow<I>(inst.inputs[0], inputRow<I>(m));
        if (src == Source::Parameter) {
          setScalarParameter(inst, v);
        } else if (src == Source::OnePin) {
          setScalarParameter(inst, 5.0);
          addRow<double>(inst.inputs[1], {v, 0.0, 99.0});  // only element 0 counts
        } else {
          for (double s : scalars) addRow<double>(inst.inputs[1], {s, 0.0});
        }
        inst.outputs[0].type = code<O>();
        const kxhost::RunResult r = inst.run();
        const auto& outs = inst.outputs[0].stream.matrices;
        EXPECT_TRUE(r.warnings.empty());

        // The first matrix whose divisor is zero (or NaN) ends the run.
        int stop = matrices;
        for (int m = matrices - 1; m >= 0; --m) {
          const double s = heldScalar<I>(op, scalars[m], src != Source::Parameter);
          if (op == Op::Div && !(s < 0 || s > 0)) stop = m;
        }
        if (stop == matrices) {
          ASSERT_TRUE(r.completed) << r.error;
          ASSERT_EQ(outs.size(), std::size_t(matrices));
        } else if (src == Source::PinPerMatrix) {
          // Earlier outputs complete, this one created and left as the host made it.
          EXPECT_TRUE(r.processorError);
          EXPECT_EQ(r.error, kMatrixZero);
          ASSERT_EQ(outs.size(), std::size_t(stop + 1));
          EXPECT_TRUE(asCreated(output<O>(inst, 0, stop)));
        } else {
          EXPECT_TRUE(r.processorError);
          EXPECT_EQ(r.error, kChooseNonZero);
          EXPECT_TRUE(outs.empty());
          EXPECT_FALSE(inst.outputs[0].stream.metaSet);
        }
        for (int m = 0; m < stop && m < int(outs.size()); ++m) {
          const double s = heldScalar<I>(op, scalars[m], src != Source::Parameter);
          const std::vector<I> in = inputRow<I>(m);
          const std::vector<O> out = output<O>(inst, 0, m);
          for (std::size_t k = 0; k < in.size(); ++k) {
            const O want = reference<I, O>(op, in[k], s);
            EXPECT_TRUE(same(out[k], want))
                << "matrix " << m << " input " << +in[k] << ": got " << +out[k] << ", want " << +want;
          }
        }
      }
    }
  });
}

std::string sweepName(const testing::TestParamInfo<SweepParam>& p) {
  static const char* ops[] = {"Add", "Sub", "Mult", "Div"};
  return std::string(ops[int(std::get<0>(p.param))]) + "_" + typeName(std::get<1>(p.param)) + "_to_" +
         typeName(std::get<2>(p.param));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ScalarSweep,
                         testing::Combine(testing::Values(Op::Add, Op::Sub, Op::Mult, Op::Div),
                                          testing::Values(0, 2, 3, 4), testing::Values(0, 2, 3, 4)),
                         sweepName);

// 8-bit inputs of a few thousand elements look their results up in a table of the 256 values:
// every value, on every output type, by scalars that are exact in float and that are not, against
// the reference element by element. Both kernel paths run (the suite runs once more on the baseline).
class ByteTable : public ::testing::TestWithParam<std::tuple<Op, kxType>> {};

TEST_P(ByteTable, EveryInputValueMatchesTheReference) {
  const auto [op, outType] = GetParam();
  withType(outType, [&, op = op]<class O>() {
    std::vector<uint8_t> in(4096 + 37);
    for (std::size_t k = 0; k < in.size(); ++k) in[k] = static_cast<uint8_t>(k * 97 + k / 256);
    for (double v : {3.0, 0.1, -2.9, 1e-3, 2.5e9, 300.0, -0.75}) {
      SCOPED_TRACE(testing::Message() << "scalar " << v);
      auto inst = instance(entry(op));
      addRow<uint8_t>(inst.inputs[0], in);
      addRow<double>(inst.inputs[1], {v});
      inst.outputs[0].type = code<O>();
      const kxhost::RunResult r = inst.run();
      ASSERT_TRUE(r.completed) << r.error;
      const std::vector<O> out = output<O>(inst, 0, 0);
      ASSERT_EQ(out.size(), in.size());
      const double s = heldScalar<uint8_t>(op, v, true);
      for (std::size_t k = 0; k < in.size(); ++k)
        ASSERT_TRUE(same(out[k], reference<uint8_t, O>(op, in[k], s))) << k << ": input " << +in[k];
    }
  });
}

INSTANTIATE_TEST_SUITE_P(MultiplyAndDivide, ByteTable,
                         testing::Combine(testing::Values(Op::Mult, Op::Div), testing::Values(0, 2, 3, 4)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) == Op::Mult ? "Mult_" : "Div_") +
                                  typeName(std::get<1>(p.param));
                         });

// ---- hand-picked values -------------------------------------------------------------------------

struct Example {
  Op op;
  kxType in, out;
  Source src;
  double scalar, x, expected;
};

class ScalarExample : public ::testing::TestWithParam<Example> {};

TEST_P(ScalarExample, GivesTheExpectedValue) {
  const Example& e = GetParam();
  withTypes(e.in, e.out, [&]<class I, class O>() {
    auto inst = instance(entry(e.op));
    addRow<I>(inst.inputs[0], {I(e.x)});
    if (e.src == Source::Parameter)
      setScalarParameter(inst, e.scalar);
    else
      addRow<double>(inst.inputs[1], {e.scalar});
    inst.outputs[0].type = e.out;
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    EXPECT_EQ(double(output<O>(inst, 0, 0).at(0)), e.expected);
  });
}

constexpr Source P = Source::Parameter, Pin = Source::OnePin;
INSTANTIATE_TEST_SUITE_P(Corners, ScalarExample,
                         testing::Values(
                             // 8-bit sums are not cut to 8 bits before the output conversion.
                             Example{Op::Add, 0, 0, P, 10, 250, 4}, Example{Op::Add, 0, 2, P, 10, 250, 260},
                             Example{Op::Sub, 0, 0, P, 10, 5, 251}, Example{Op::Sub, 0, 2, P, 10, 5, -5},
                             Example{Op::Sub, 0, 4, P, 10, 5, -5},
                             // The add/subtract scalar lives in the input type, from either source.
                             Example{Op::Add, 0, 2, P, 300, 1, 45}, Example{Op::Add, 0, 2, P, -1, 5, 260},
                             Example{Op::Add, 0, 0, P, -1, 5, 4}, Example{Op::Add, 2, 2, P, 2.9, 10, 12},
                             Example{Op::Add, 2, 2, P, -2.9, 10, 8}, Example{Op::Add, 0, 2, Pin, 300.7, 1, 45},
                             Example{Op::Add, 2, 2, P, 1, 2147483647, -2147483648.0},
                             Example{Op::Add, 3, 2, P, 0.6, 0.6, 1}, Example{Op::Add, 3, 4, P, 0.1, 0, double(0.1f)},
                             // Only the result is converted: float inputs reach an 8-bit output truncated, then cut.
                             Example{Op::Add, 3, 0, P, 0, -1.5, 255}, Example{Op::Add, 3, 0, P, 0, 255.9, 255},
                             Example{Op::Add, 3, 0, P, 0, 256, 0}, Example{Op::Sub, 4, 2, P, 0.5, 3e9, -1294967297},
                             // Multiply: the parameter is cut on integer inputs, a pin value never is.
                             Example{Op::Mult, 0, 0, P, 2, 200, 144}, Example{Op::Mult, 0, 2, P, 2.5, 100, 200},
                             Example{Op::Mult, 0, 2, Pin, 2.5, 100, 250}, Example{Op::Mult, 2, 2, Pin, 0.5, 7, 3},
                             Example{Op::Mult, 3, 4, P, 0.1, 3, 3 * 0.1}, Example{Op::Mult, 2, 0, P, 1, 300, 44},
                             // Divide in double, truncated toward zero on integer outputs.
                             Example{Op::Div, 2, 2, P, 2, 7, 3}, Example{Op::Div, 2, 2, P, 2, -7, -3},
                             Example{Op::Div, 3, 4, P, 0.5, 3, 6},
                             Example{Op::Div, 0, 3, Pin, 3, 1, double(1.0f / 3.0f)},
                             Example{Op::Div, 0, 2, Pin, 0.5, 100, 200},
                             Example{Op::Div, 4, 2, P, -1, -2147483648.0, -2147483648.0}));

// ---- fallbacks and failures ---------------------------------------------------------------------

class EveryScalarOp : public ::testing::TestWithParam<Op> {};

TEST_P(EveryScalarOp, ConnectedPinWithoutMatricesWarnsAndCopies) {
  auto inst = instance(entry(GetParam()));
  addRow<uint8_t>(inst.inputs[0], {0, 7, 200, 255}, "a");
  addRow<uint8_t>(inst.inputs[0], {1, 2}, "b");
  inst.inputs[1].connected = true;
  setScalarParameter(inst, 0.0);  // must not be read: it would make division fail
  inst.outputs[0].type = 3;
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{kNoData});
  EXPECT_EQ(output<float>(inst, 0, 0), (std::vector<float>{0, 7, 200, 255}));
  EXPECT_EQ(output<float>(inst, 0, 1), (std::vector<float>{1, 2}));
}

TEST_P(EveryScalarOp, ScalarMatrixWithoutElementsCountsAsNoData) {
  auto inst = instance(entry(GetParam()));
  addRow<int32_t>(inst.inputs[0], {-9, 300});
  addMatrix<double>(inst.inputs[1], 0, 1, 1, {});
  inst.outputs[0].type = 0;
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{kNoData});
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{247, 44}));
}

TEST_P(EveryScalarOp, UnequalCountsWithSeveralScalarsFailInTheHostBeforeWriting) {
  auto inst = instance(entry(GetParam()));
  for (int m = 0; m < 2; ++m) addRow<uint8_t>(inst.inputs[0], {1, 2});
  for (int m = 0; m < 3; ++m) addRow<double>(inst.inputs[1], {2.0});
  const kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_FALSE(r.error.empty());
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
}

TEST_P(EveryScalarOp, EmptyInputGivesEmptyOutputWithMeta) {
  auto inst = instance(entry(GetParam()));
  inst.inputs[0].stream.meta = info(3, 4, 1, "meta");
  const kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  ASSERT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

// The "Scalar" pin accepts doubles only, and is checked even when nothing is connected to it.
TEST_P(EveryScalarOp, PinTypesAreCheckedInOrder) {
  struct Case {
    kxType in0, in1, out;
    const std::string* message;
  };
  for (const Case& c :
       {Case{1, 0, 9, &kInput1}, Case{5, 4, 0, &kInput1}, Case{0, 0, 9, &kInput2}, Case{2, 2, 0, &kInput2},
        Case{3, 3, 0, &kInput2}, Case{4, 1, 0, &kInput2}, Case{0, 4, 1, &kOutput1}, Case{4, 4, 5, &kOutput1}}) {
    auto inst = instance(entry(GetParam()));
    inst.inputs[0].type = c.in0;
    inst.inputs[1].type = c.in1;
    inst.outputs[0].type = c.out;
    const kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, *c.message) << c.in0 << " " << c.in1 << " " << c.out;
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  }
}

INSTANTIATE_TEST_SUITE_P(Ops, EveryScalarOp, testing::Values(Op::Add, Op::Sub, Op::Mult, Op::Div));

TEST(ScalarDiv, RefusesAParameterThatTheIntegerInputTypeCutsToZero) {
  struct Case {
    kxType in;
    double scalar;
    bool refused;
  };
  for (const Case& c :
       {Case{0, 0.5, true}, Case{2, 0.5, true}, Case{0, 256, true}, Case{2, -0.9, true}, Case{3, 0.5, false},
        Case{4, 0.5, false}, Case{2, 256, false}, Case{3, 1e-50, false}, Case{4, 1e-50, false}}) {
    withType(c.in, [&]<class I>() {
      auto inst = instance("_ScalarDivImage");
      addRow<I>(inst.inputs[0], {I(3)});
      setScalarParameter(inst, c.scalar);
      inst.outputs[0].type = 4;
      const kxhost::RunResult r = inst.run();
      SCOPED_TRACE(testing::Message() << typeName(c.in) << " / " << c.scalar);
      if (c.refused) {
        EXPECT_TRUE(r.processorError);
        EXPECT_EQ(r.error, kChooseNonZero);
        EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
      } else {
        ASSERT_TRUE(r.completed) << r.error;
        EXPECT_EQ(output<double>(inst, 0, 0).at(0), 3.0 / double(heldScalar<I>(Op::Div, c.scalar, false)));
      }
    });
  }
}

TEST(ScalarDiv, NaNOnTheScalarPinIsRefusedLikeZero) {
  for (int matrices : {1, 3}) {
    auto inst = instance("_ScalarDivImage");
    for (int m = 0; m < matrices; ++m) addRow<double>(inst.inputs[0], {8.0, 4.0});
    if (matrices == 1) {
      addRow<double>(inst.inputs[1], {NAN});
    } else {
      for (double s : {2.0, double(NAN), 4.0}) addRow<double>(inst.inputs[1], {s});
    }
    inst.outputs[0].type = 4;
    const kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    if (matrices == 1) {
      EXPECT_EQ(r.error, kChooseNonZero);
      EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
    } else {
      EXPECT_EQ(r.error, kMatrixZero);
      ASSERT_EQ(inst.outputs[0].stream.matrices.size(), 2u);
      EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{4.0, 2.0}));
      EXPECT_TRUE(asCreated(output<double>(inst, 0, 1)));
    }
  }
}

TEST(ScalarAdd, OutputsKeepNameSizeAndPlanesOfTheirInput) {
  auto inst = instance("_ScalarAddImage");
  addMatrix<uint8_t>(inst.inputs[0], 2, 2, 3, std::vector<uint8_t>(12, 250), "rgb");
  setScalarParameter(inst, 10);
  inst.outputs[0].type = 2;
  ASSERT_TRUE(inst.run().completed);
  const kxhost::Matrix& out = *inst.outputs[0].stream.matrices.at(0);
  EXPECT_STREQ(out.info().Name.c_str(), "rgb");
  EXPECT_EQ(out.info().Planes, 3);
  EXPECT_EQ(out.info().Y, 2);
  EXPECT_EQ(output<int32_t>(inst, 0, 0), std::vector<int32_t>(12, 260));
}

}  // namespace

namespace {

// Results just inside and just outside the 32-bit range, among ordinary values in long runs, all
// reach integer outputs by the same truncate-then-cut rule.
TEST(ScalarConversion, ResultsAroundThe32BitLimitsFollowTheRule) {
  const std::vector<double> edges = {2147483647.9, 2147483648.0, -2147483648.9, -2147483649.0, 4294967296.5, -0.99,
                                     1e19,         -1e19,        9.3e18,        NAN,           INFINITY,     255.99};
  // One edge value among ordinary ones in each run of 256, so that each is judged on its own.
  std::vector<double> row(256 * (edges.size() + 1) + 5);
  for (std::size_t k = 0; k < row.size(); ++k) row[k] = double(k % 300) - 20.5;
  for (std::size_t e = 0; e < edges.size(); ++e) row[256 * (e + 1) + 100] = edges[e];
  row[3] = 2147483647.5;  // inside the range among ordinary values
  for (kxType out : {0, 2}) {
    auto inst = instance("_ScalarMultImage");
    addRow<double>(inst.inputs[0], row);
    setScalarParameter(inst, 1.0);
    inst.outputs[0].type = out;
    ASSERT_TRUE(inst.run().completed);
    withType(out, [&]<class O>() {
      const std::vector<O> got = output<O>(inst, 0, 0);
      for (std::size_t k = 0; k < row.size(); ++k)
        EXPECT_EQ(got[k], fromDouble<O>(row[k])) << "element " << k << " = " << row[k];
    });
  }
}

}  // namespace
