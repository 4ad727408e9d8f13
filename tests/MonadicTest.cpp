// The stretch and the noise, whose elements depend on their whole matrix or on the run: every type
// pair against a reference, every 8-bit range, and the process's own random sequence left alone.
// Negation and squaring are in the element-wise table.
#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "support/Sweep.h"

using namespace rktest;

namespace {

bool isInt(kxType t) { return t == 0 || t == 2; }

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
