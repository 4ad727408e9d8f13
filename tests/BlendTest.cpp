// _BlendImage: every type combination against a scalar reference, and the conversion corners.
#include <tuple>

#include "support/Harness.h"
#include "support/Operands.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

kxhost::Instance blendInstance(double weight) {
  auto inst = instance("_BlendImage");
  inst.params.at(0) = tagVARIANT{};
  inst.params[0].vt = VT_R8;
  inst.params[0].dblVal = weight;
  return inst;
}

// ---- every type combination --------------------------------------------------------------------

class BlendSweep : public ::testing::TestWithParam<std::tuple<kxType, kxType, kxType>> {};

TEST_P(BlendSweep, MixesInDoubleThenConvertsOnce) {
  const auto [codeA, codeB, codeO] = GetParam();
  withType(codeA, [&]<class A>() {
    withType(codeB, [&]<class B>() {
      withType(codeO, [&]<class O>() {
        const PairStreams<A, B> in = pairStreams<A, B>();
        for (double f : {1.0, 0.0, 0.5, 0.25, 2.0, -1.0, -0.3, 1e7, 1e12}) {
          SCOPED_TRACE(testing::Message() << "weight " << f);
          auto inst = blendInstance(f);
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
            for (std::size_t k = 0; k < in.a[i].size(); ++k)
              want.push_back(refConvert<O>((1.0 - f) * double(in.b[i][k]) + f * double(in.a[i][k])));
            EXPECT_TRUE(sameValues(output<O>(inst, 0, i), want)) << "matrix " << i;
          }
        }
      });
    });
  });
}

INSTANTIATE_TEST_SUITE_P(AllTypes, BlendSweep,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes), ::testing::ValuesIn(kImageCodes),
                                            ::testing::ValuesIn(kImageCodes)),
                         [](const auto& info) {
                           return std::string(typeName(std::get<0>(info.param))) + "_" +
                                  typeName(std::get<1>(info.param)) + "_to_" + typeName(std::get<2>(info.param));
                         });

// ---- hand-picked values ------------------------------------------------------------------------

class BlendSpot : public ::testing::TestWithParam<Spot> {};

TEST_P(BlendSpot, SingleElement) { runSpot("_BlendImage", GetParam()); }

INSTANTIATE_TEST_SUITE_P(Corners, BlendSpot,
                         ::testing::Values(Spot{0.5, 0, 255, 0, 0, 0, 127},     // 127.5 truncated
                                           Spot{0.5, 0, 255, 0, 0, 4, 127.5},   //
                                           Spot{0.25, 0, 100, 0, 200, 0, 175},  //
                                           Spot{2, 0, 200, 0, 100, 0, 44},      // 300 cut to 8 bits
                                           Spot{2, 0, 200, 0, 100, 2, 300},     //
                                           Spot{-1, 0, 100, 0, 50, 0, 0},       //
                                           Spot{0.5, 2, -3, 2, 0, 2, -1},       // -1.5 truncated toward zero
                                           Spot{0.5, 2, -3, 2, 0, 0, 255},      //
                                           Spot{0.5, 0, 200, 3, 0.5, 4, 100.25},
                                           Spot{0.5, 3, 1.6f, 3, 2.6f, 2, 2},  // mixed before conversion, not 1 + 1
                                           Spot{0.5, 4, 3e9, 4, 3e9, 2, 3e9 - 4294967296.0},
                                           Spot{1.0 / 3.0, 2, 1, 2, 0, 3, double(float(1.0 / 3.0))}));

// Large 8-bit matrices may be mixed in float where that is checked to give the same output for every
// pair of values. Every pair, many times over and with a remainder, for weights whose float mix agrees
// (0.5, 0.25) and ones whose does not (0.3, 1/3), after a small matrix that is mixed before the check.
class BlendLargeBytes : public ::testing::TestWithParam<kxType> {};

TEST_P(BlendLargeBytes, MatchesTheDoubleMix) {
  withType(GetParam(), [&]<class O>() {
    std::vector<uint8_t> a, b;
    while (a.size() < (1u << 20) + 77)
      for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) {
          a.push_back(static_cast<uint8_t>(x));
          b.push_back(static_cast<uint8_t>((y + a.size() / 65536) & 0xff));
        }
    a.resize((1u << 20) + 77);
    b.resize(a.size());
    const std::vector<uint8_t> smallA(a.begin(), a.begin() + 1000), smallB(b.begin(), b.begin() + 1000);
    for (double f : {0.5, 0.25, 0.3, 1.0 / 3.0, 2.0, -0.75}) {
      auto inst = blendInstance(f);
      addRow<uint8_t>(inst.inputs[0], smallA);
      addRow<uint8_t>(inst.inputs[1], smallB);
      addRow<uint8_t>(inst.inputs[0], a);
      addRow<uint8_t>(inst.inputs[1], b);
      inst.outputs[0].type = code<O>();
      kxhost::RunResult r = inst.run();
      ASSERT_TRUE(r.completed) << r.error;
      for (std::size_t i = 0; i < 2; ++i) {
        const std::vector<uint8_t>& x = i == 0 ? smallA : a;
        const std::vector<uint8_t>& y = i == 0 ? smallB : b;
        const std::vector<O> out = output<O>(inst, 0, i);
        ASSERT_EQ(out.size(), x.size());
        for (std::size_t k = 0; k < x.size(); ++k)
          ASSERT_EQ(out[k], refConvert<O>((1.0 - f) * double(y[k]) + f * double(x[k])))
              << "weight " << f << ", " << +x[k] << " and " << +y[k];
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(IntegerOutputs, BlendLargeBytes, ::testing::Values(kxType(0), kxType(2)),
                         [](const auto& info) { return std::string(typeName(info.param)); });

// Float outputs of 16 MiB and more of float inputs are mixed in registers and streamed: every
// element of one such matrix, with infinities, NaNs, signed zeros and subnormals, against the
// double mix rounded once.
TEST(Blend, LargeFloatMatricesMatchTheDoubleMix) {
  const std::size_t n = (std::size_t(1) << 22) + 4099;
  const auto specials = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1e-40f, 3e38f, -2.5f};
  const std::vector<float> a = randomFloats(n, 29, specials, 1e-6f), b = randomFloats(n, 30, specials, 3e-7f);
  for (double f : {0.3, -1.5}) {
    auto inst = blendInstance(f);
    const std::vector<float> out = runOnRows<float>(inst, a, b);
    ASSERT_EQ(out.size(), n);
    const double g = 1.0 - f;
    for (std::size_t k = 0; k < n; ++k) {
      const float want = static_cast<float>(g * double(b[k]) + f * double(a[k]));
      ASSERT_TRUE(sameBits(out[k], want) || (want != want && out[k] != out[k])) << "weight " << f << ", " << k;
    }
  }
}

TEST(Blend, DefaultWeightCopiesFirstInput) {
  auto inst = instance("_BlendImage");
  addRow<int32_t>(inst.inputs[0], {-7, 300, 0});
  addRow<int32_t>(inst.inputs[1], {5, 5, 5});
  inst.outputs[0].type = 2;
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<int32_t>(inst, 0, 0), (std::vector<int32_t>{-7, 300, 0}));
}

}  // namespace
