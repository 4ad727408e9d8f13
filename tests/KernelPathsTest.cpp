// Kernel paths of processors whose own tests run on one path: _MittelSigma on every type pair and
// the general rotation (packing, three shears, unpacking) at odd sizes, both with RK_FORCE_BASELINE
// set and unset, must agree bit for bit (the element-wise processors check this in every sweep).
#include <tuple>

#include "support/Sweep.h"
#include "support/TypePairs.h"

using namespace rktest;

namespace {

class MeanSigmaPaths : public ::testing::TestWithParam<std::tuple<kxType, kxType>> {};
TEST_P(MeanSigmaPaths, BaselineAndWidePathsAgree) {
  const auto [in, out] = GetParam();
  auto inst = instance("_MittelSigma");
  withType(in, [&]<class T>() { addMatrix<T>(inst.inputs[0], 1031, 1, 1, samples<T>(1031, 1), "m"); });
  inst.outputs[0].type = out;
  EXPECT_TRUE(runBoth(inst).completed);
}
INSTANTIATE_TEST_SUITE_P(AllTypes, MeanSigmaPaths,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes)));

TEST(RotationPaths, BaselineAndWidePathsAgree) {
  for (int32_t planes : {1, 3}) {
    for (double degrees : {30.0, -30.0, 100.0, 200.0, -290.0, 44.9}) {
      SCOPED_TRACE(::testing::Message() << planes << " planes by " << degrees);
      auto inst = instance("_TransformImage");
      addMatrix<float>(inst.inputs[0], 131, 70, planes, samples<float>(std::size_t(131 * 70 * planes), 5), "m");
      inst.outputs[0].type = 0;
      setParam(inst, "TransType", int32_t(2));
      setParam(inst, "RotDegree", degrees);
      EXPECT_TRUE(runBoth(inst).completed);
      EXPECT_GT(inst.outputs[0].stream.matrices.at(0)->count(), std::size_t(131 * 70 * planes));
    }
  }
}

}  // namespace
