// Scalar arithmetic: every type pair and scalar source against a reference, the fallbacks and failures.
#include <tuple>

#include "support/Sweep.h"

using namespace rktest;

namespace {

enum Op { Add, Sub, Mult, Div };
enum Source { Parameter, OnePin, PinPerMatrix };
const char* const kEntry[] = {"_ScalarAddImage", "_ScalarSubImage", "_ScalarMultImage", "_ScalarDivImage"};

const std::string kNoData = "Keine Daten vorhanden! Operation wird nicht durchgef\xfchrt.";
const std::string kChooseNonZero =
    "Division durch 0; W\xe4hlen Sie bitte im Konfigurationsmen\xfc ein scalar ungleich 0 aus!";
const std::string kMatrixZero = "Division durch 0;";

// The scalar in effect: in the input type for add and subtract; for multiply and divide a parameter
// cut to an integer input type, a pin value as it is.
double held(Op op, kxType a, double v, bool fromPin) {
  return op == Add || op == Sub || (!fromPin && isInt(a)) ? stored(a, v) : v;
}

// Only the result is converted: add and subtract in the input type (8-bit promoted, 32-bit
// wrapping, floats in double), multiply and divide in double.
double reference(Op op, kxType a, kxType o, double x, double s) {
  if (op == Mult || op == Div) return stored(o, op == Mult ? x * s : x / s);
  if (!isInt(a)) return stored(o, op == Add ? x + s : x - s);
  const int64_t r = op == Add ? int64_t(x) + int64_t(s) : int64_t(x) - int64_t(s);
  return storedInt(o, a == 2 ? int64_t(int32_t(uint32_t(uint64_t(r)))) : r);
}

// Three matrices, different from each other: the first long enough for the 8-bit lookup table
// (holding every byte value) and the vector loops, the others short with tails, the last of
// floating inputs near the 32-bit limits, so that its results are converted wholesale.
std::vector<std::vector<double>> inputRows(kxType a) {
  const std::vector<double> s = samplesOf(a, Samples::All), b = samplesOf(a, Samples::Boundary);
  std::vector<std::vector<double>> rows;
  for (std::size_t m = 0; m < 3; ++m) {
    rows.emplace_back(m == 0 ? 4096 + 37 : 103);
    for (std::size_t k = 0; k < rows[m].size(); ++k)
      rows[m][k] = a == 0 && m == 0 ? double(uint8_t(k * 97 + k / 256)) : m == 2 ? b[k % b.size()] : s[k % s.size()];
  }
  return rows;
}

class ScalarSweep : public ::testing::TestWithParam<std::tuple<Op, kxType, kxType>> {};
TEST_P(ScalarSweep, MatchesReferenceForEverySourceAndScalar) {
  const auto [op, a, o] = GetParam();
  const auto rows = inputRows(a);
  for (double v :
       {10.0, 1.0, -1.0, 300.0, 2.9, -2.9, 2.5, 0.1, 0.5, -0.5, 256.0, 1e10, 0.0, double(NAN), 1e-50, 2.5e9}) {
    for (Source src : {Parameter, OnePin, PinPerMatrix}) {
      SCOPED_TRACE(testing::Message() << "scalar " << v << ", source " << int(src));
      auto inst = instance(kEntry[op]);
      const std::vector<double> scalars =
          src == PinPerMatrix ? std::vector<double>{3, -2, v} : std::vector<double>(3, v);
      for (const auto& row : rows) addValues(inst.inputs[0], a, row);
      inst.params.at(0).dblVal = src == Parameter ? v : 5.0;
      if (src == OnePin) addValues(inst.inputs[1], 4, {v, 0, 99});  // only element 0 counts
      for (std::size_t m = 0; src == PinPerMatrix && m < 3; ++m) addValues(inst.inputs[1], 4, {scalars[m], 0});
      inst.outputs[0].type = o;
      // A zero (or NaN) divisor stops the run: a configured or single one before anything is
      // written, one of a matrix after the outputs before it, that matrix's left as created.
      const double last = held(op, a, v, src != Parameter);
      const bool refused = op == Div && !(last < 0 || last > 0);
      const kxhost::RunResult r = runBoth(inst, refused);
      EXPECT_TRUE(r.warnings.empty());
      const std::size_t done = refused ? (src == PinPerMatrix ? 2 : 0) : 3;
      EXPECT_EQ(r.completed, !refused) << r.error;
      EXPECT_EQ(r.error, !refused ? "" : src == PinPerMatrix ? kMatrixZero : kChooseNonZero);
      ASSERT_EQ(inst.outputs[0].stream.size(), int32_t(done == 2 ? 3 : done));
      EXPECT_EQ(inst.outputs[0].stream.metaSet, done > 0);
      EXPECT_TRUE(done != 2 || sameValues(outputValues(inst, 2), std::vector<double>(103, 0.0)));
      for (std::size_t m = 0; m < done; ++m) {
        std::vector<double> want;
        for (double x : rows[m]) want.push_back(reference(op, a, o, x, held(op, a, scalars[m], src != Parameter)));
        EXPECT_TRUE(sameValues(outputValues(inst, m), want)) << "matrix " << m;
      }
    }
  }
}
INSTANTIATE_TEST_SUITE_P(AllTypes, ScalarSweep,
                         testing::Combine(testing::Values(Add, Sub, Mult, Div), testing::ValuesIn(kImageCodes),
                                          testing::ValuesIn(kImageCodes)),
                         [](const auto& p) {
                           return std::string(kEntry[std::get<0>(p.param)] + 7) + "_" + typeName(std::get<1>(p.param)) +
                                  "_to_" + typeName(std::get<2>(p.param));
                         });

// Each source of the scalar with the run split into bands, a zero divisor included: a configured
// one stops every band before anything is written, one of matrix 2 stops every band there.
class ScalarBands : public ::testing::TestWithParam<std::tuple<Op, kxType, kxType>> {};
TEST_P(ScalarBands, SameAsOneRun) {
  const auto [op, a, o] = GetParam();
  const auto rows = inputRows(a);
  for (double v : {2.5, -7.0, 0.0}) {
    for (Source src : {Parameter, OnePin, PinPerMatrix}) {
      auto inst = instance(kEntry[op]);
      for (const auto& row : rows) addValues(inst.inputs[0], a, cycled(row, 37 * 11), 37, 11);
      inst.params.at(0).dblVal = src == Parameter ? v : 5.0;
      if (src == OnePin) addValues(inst.inputs[1], 4, {v});
      for (double s : {3.0, -2.0, v}) {
        if (src == PinPerMatrix) addValues(inst.inputs[1], 4, {s});
      }
      inst.outputs[0].type = o;
      EXPECT_EQ(sameInBands(inst).completed, op != Div || v != 0.0);
    }
  }
}
INSTANTIATE_TEST_SUITE_P(AllTypes, ScalarBands,
                         testing::Combine(testing::Values(Add, Sub, Mult, Div), testing::ValuesIn(kImageCodes),
                                          testing::ValuesIn(kImageCodes)));

class EveryScalarOp : public ::testing::TestWithParam<Op> {};
// A connected "Scalar" pin without matrices, or whose matrix has no elements, is no data: the input
// is copied with a warning, and the parameter (0, which would stop a division) is not read.
TEST_P(EveryScalarOp, ScalarPinWithoutDataWarnsAndCopies) {
  for (bool emptyMatrix : {false, true}) {
    auto inst = instance(kEntry[GetParam()]);
    addValues(inst.inputs[0], 2, {0, 7, -9, 300});
    addValues(inst.inputs[0], 2, {1, 2});
    inst.inputs[1].connected = true;
    if (emptyMatrix) addValues(inst.inputs[1], 4, {});
    inst.params.at(0).dblVal = 0.0;
    inst.outputs[0].type = 0;
    const kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.warnings, std::vector<std::string>{kNoData});
    EXPECT_EQ(outputValues(inst, 0), (std::vector<double>{0, 7, 247, 44}));
    EXPECT_EQ(outputValues(inst, 1), (std::vector<double>{1, 2}));
  }
}

TEST_P(EveryScalarOp, UnequalCountsWithSeveralScalarsFailInTheHostBeforeWriting) {
  auto inst = instance(kEntry[GetParam()]);
  for (int m = 0; m < 2; ++m) addValues(inst.inputs[0], 0, {1, 2});
  for (int m = 0; m < 3; ++m) addValues(inst.inputs[1], 4, {2});
  const kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_FALSE(r.error.empty());
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
}
INSTANTIATE_TEST_SUITE_P(Ops, EveryScalarOp, testing::Values(Add, Sub, Mult, Div));

}  // namespace
