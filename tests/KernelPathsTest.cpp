// Kernel paths: the processors pick AVX2-compiled kernels at run time where the processor has them.
// Each element-wise processor runs here on every type combination both ways (RK_FORCE_BASELINE set
// and unset), and the two output streams must agree bit for bit, as must the outcome.
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "support/Harness.h"
#include "support/Paths.h"
#include "support/TypePairs.h"
#include "support/Types.h"

using namespace rktest;

namespace {

// Inputs of 1031 elements (odd, so that the vector loops leave a remainder) of varied values.
void fill(kxhost::Pin& pin, kxType type, uint32_t seed) {
  withType(type, [&]<class T>() { addMatrix<T>(pin, 1031, 1, 1, samples<T>(1031, seed), "m"); });
}

struct Outcome {
  kxhost::RunResult result;
  std::vector<std::vector<unsigned char>> bytes;
};

// A run that stops at a zero divisor leaves the rest of its output unwritten: fresh buffers make
// that rest read zero on both paths, whatever earlier tests left in recycled ones.
Outcome runOnce(const char* entry, int inputs, kxType in0, kxType in1, kxType out, bool baseline) {
  FreshBuffers fresh;
  auto inst = instance(entry);
  fill(inst.inputs[0], in0, 1);
  if (inputs > 1) fill(inst.inputs[1], in1, 2);
  inst.outputs[0].type = out;
  Outcome o{runOnPath(inst, baseline), {}};
  for (const auto& m : inst.outputs[0].stream.matrices) {
    const auto* p = static_cast<const unsigned char*>(m->data());
    o.bytes.emplace_back(p, p + m->bytes());
  }
  return o;
}

using PathParam = std::tuple<const char*, kxType, kxType, kxType>;
class KernelPaths : public ::testing::TestWithParam<PathParam> {};

TEST_P(KernelPaths, BaselineAndWidePathsAgree) {
  auto [entry, in0, in1, out] = GetParam();
  // One-input entries are instantiated with a second type of 0 and leave that pin empty.
  static const char* const twoInputs[] = {"_AddImage",     "_SubImage", "_MultImage", "_DivImage",
                                          "_AbsDiffImage", "_AndImage", "_OrImage",   "_BlendImage"};
  int inputs = 1;
  for (const char* e : twoInputs)
    if (std::strcmp(e, entry) == 0) inputs = 2;
  Outcome base = runOnce(entry, inputs, in0, in1, out, true);
  Outcome wide = runOnce(entry, inputs, in0, in1, out, false);
  EXPECT_EQ(base.result.completed, wide.result.completed);
  EXPECT_EQ(base.result.error, wide.result.error);
  EXPECT_EQ(base.result.warnings, wide.result.warnings);
  ASSERT_EQ(base.bytes.size(), wide.bytes.size());
  for (std::size_t i = 0; i < base.bytes.size(); ++i) EXPECT_TRUE(base.bytes[i] == wide.bytes[i]) << "matrix " << i;
}

std::string pathName(const ::testing::TestParamInfo<PathParam>& info) {
  const PathParam& p = info.param;
  return std::string(std::get<0>(p) + 1) + "_" + typeName(std::get<1>(p)) + "_" + typeName(std::get<2>(p)) + "_" +
         typeName(std::get<3>(p));
}

INSTANTIATE_TEST_SUITE_P(TwoInputs, KernelPaths,
                         ::testing::Combine(::testing::Values("_AddImage", "_SubImage", "_MultImage", "_DivImage",
                                                              "_AbsDiffImage", "_AndImage", "_OrImage", "_BlendImage"),
                                            ::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes),
                                            ::testing::ValuesIn(kImageCodes)),
                         pathName);

INSTANTIATE_TEST_SUITE_P(OneInput, KernelPaths,
                         ::testing::Combine(::testing::Values("_ScalarAddImage", "_ScalarSubImage", "_ScalarMultImage",
                                                              "_ScalarDivImage", "_Negate", "_SquareImage", "_Norm",
                                                              "_Pertur", "_NotImage", "_BinImage", "_MittelSigma"),
                                            ::testing::ValuesIn(kImageCodes), ::testing::Values(kxType(0)),
                                            ::testing::ValuesIn(kImageCodes)),
                         pathName);

}  // namespace

namespace {

// 8-bit quotients of 8-bit operands have a path of their own on AVX2: every pair of values, in a
// matrix whose length leaves a remainder after the 32-element steps, both ways against integer division.
TEST(KernelPathsDivision, EveryByteQuotientOnBothPaths) {
  std::vector<uint8_t> as, bs;
  for (int a = 0; a < 256; ++a)
    for (int b = 1; b < 256; ++b) {
      as.push_back(static_cast<uint8_t>(a));
      bs.push_back(static_cast<uint8_t>(b));
    }
  for (int k = 0; k < 13; ++k) {
    as.push_back(static_cast<uint8_t>(255 - k));
    bs.push_back(static_cast<uint8_t>(k + 1));
  }
  for (bool baseline : {true, false}) {
    auto inst = instance("_DivImage");
    addRow<uint8_t>(inst.inputs[0], as);
    addRow<uint8_t>(inst.inputs[1], bs);
    inst.outputs[0].type = 0;
    kxhost::RunResult r = runOnPath(inst, baseline);
    ASSERT_TRUE(r.completed) << r.error;
    std::vector<uint8_t> out = output<uint8_t>(inst, 0, 0);
    ASSERT_EQ(out.size(), as.size());
    for (std::size_t k = 0; k < as.size(); ++k)
      ASSERT_EQ(out[k], as[k] / bs[k]) << +as[k] << " / " << +bs[k] << (baseline ? " baseline" : " wide");
  }
}

// The general rotation (packing, the three shears, unpacking) both ways, at an odd size and at
// angles with and without a quarter turn first, for one and three planes.
TEST(KernelPaths, GeneralRotationBaselineAndWidePathsAgree) {
  for (int32_t planes : {1, 3}) {
    for (double degrees : {30.0, -30.0, 100.0, 200.0, -290.0, 44.9}) {
      SCOPED_TRACE(::testing::Message() << planes << " planes by " << degrees);
      auto run = [&](bool baseline) {
        auto inst = instance("_TransformImage");
        addMatrix<float>(inst.inputs[0], 131, 70, planes, samples<float>(std::size_t(131 * 70 * planes), 5), "m");
        inst.outputs[0].type = 0;
        tagVARIANT type{}, angle{};
        type.vt = VT_I4;
        type.lVal = 2;
        angle.vt = VT_R8;
        angle.dblVal = degrees;
        inst.params.at(std::size_t(inst.paramIndex("TransType"))) = type;
        inst.params.at(std::size_t(inst.paramIndex("RotDegree"))) = angle;
        const kxhost::RunResult r = runOnPath(inst, baseline);
        EXPECT_TRUE(r.completed) << r.error;
        return output<uint8_t>(inst, 0, 0);
      };
      const std::vector<uint8_t> base = run(true);
      EXPECT_GT(base.size(), std::size_t(131 * 70 * planes));
      EXPECT_EQ(base, run(false));
    }
  }
}

}  // namespace
