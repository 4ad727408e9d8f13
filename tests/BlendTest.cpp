// _BlendImage: every type combination against a scalar reference, and the conversion corners.
#include <tuple>

#include "support/Harness.h"
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

TEST(Blend, DefaultWeightCopiesFirstInput) {
  auto inst = instance("_BlendImage");
  addRow<int32_t>(inst.inputs[0], {-7, 300, 0});
  addRow<int32_t>(inst.inputs[1], {5, 5, 5});
  inst.outputs[0].type = 2;
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<int32_t>(inst, 0, 0), (std::vector<int32_t>{-7, 300, 0}));
}

}  // namespace
