// _NotImage: the two-level inversion of every type pair against the rule as stated. AND and OR are
// in the element-wise table.
#include <cfloat>
#include <tuple>

#include "support/Sweep.h"

using namespace rktest;

namespace {

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

}  // namespace
