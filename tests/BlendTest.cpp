// _BlendImage: every type combination against a scalar reference, the conversion corners, pairing.
#include <tuple>

#include "support/Harness.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xfchrt.";

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

struct Spot {
  double weight;
  kxType codeA;
  double a;
  kxType codeB;
  double b;
  kxType codeO;
  double expected;
};

class BlendSpot : public ::testing::TestWithParam<Spot> {};

TEST_P(BlendSpot, SingleElement) {
  const Spot& s = GetParam();
  auto inst = blendInstance(s.weight);
  withType(s.codeA, [&]<class A>() { addRow<A>(inst.inputs[0], {static_cast<A>(s.a)}); });
  withType(s.codeB, [&]<class B>() { addRow<B>(inst.inputs[1], {static_cast<B>(s.b)}); });
  inst.outputs[0].type = s.codeO;
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  withType(s.codeO, [&]<class O>() { EXPECT_EQ(double(output<O>(inst, 0, 0).at(0)), s.expected); });
}

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

// ---- pairing of the two streams ----------------------------------------------------------------

TEST(Blend, SingleSecondMatrixMixesIntoEveryFirstWithoutWarning) {
  auto inst = blendInstance(0.5);
  inst.inputs[0].stream.meta = info(2, 1, 1, "meta");
  addRow<uint8_t>(inst.inputs[0], {10, 20}, "first");
  addRow<uint8_t>(inst.inputs[0], {30, 40}, "second");
  addRow<uint8_t>(inst.inputs[0], {50, 60}, "third");
  addRow<uint8_t>(inst.inputs[1], {0, 100});
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(inst.outputs[0].stream.size(), 3);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{5, 60}));
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), (std::vector<uint8_t>{15, 70}));
  EXPECT_EQ(output<uint8_t>(inst, 0, 2), (std::vector<uint8_t>{25, 80}));
  EXPECT_STREQ(inst.outputs[0].stream.matrices[2]->info().Name.c_str(), "third");
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

TEST(Blend, EqualCountsPairMatrixByMatrix) {
  auto inst = blendInstance(0.5);
  addRow<uint8_t>(inst.inputs[0], {10});
  addRow<uint8_t>(inst.inputs[0], {20});
  addRow<uint8_t>(inst.inputs[1], {30});
  addRow<uint8_t>(inst.inputs[1], {100});
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), std::vector<uint8_t>{20});
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), std::vector<uint8_t>{60});
}

TEST(Blend, UnequalCountsWarnAndUseFirstSecondMatrix) {
  auto inst = blendInstance(0.5);
  addRow<uint8_t>(inst.inputs[0], {10});
  addRow<uint8_t>(inst.inputs[0], {20});
  addRow<uint8_t>(inst.inputs[1], {30});
  addRow<uint8_t>(inst.inputs[1], {100});
  addRow<uint8_t>(inst.inputs[1], {200});
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{kUnequal});
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), std::vector<uint8_t>{20});
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), std::vector<uint8_t>{25});
}

// The pairing falls back on a second matrix that is not there: the host refuses to hand it out,
// after the warning and the meta information copy, before any output matrix exists.
TEST(Blend, EmptySecondStreamEndsWithHostException) {
  auto inst = blendInstance(0.5);
  inst.inputs[0].stream.meta = info(1, 1, 1, "meta");
  addRow<uint8_t>(inst.inputs[0], {10});
  inst.inputs[1].connected = true;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_NE(r.error.find("kxGetIVector"), std::string::npos) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{kUnequal});
  EXPECT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

TEST(Blend, SizeMismatchIsRejectedByHostBeforeAnythingIsWritten) {
  auto inst = blendInstance(0.5);
  addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
  addRow<uint8_t>(inst.inputs[1], {1, 2});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_NE(r.error.find("kxCompareStreams"), std::string::npos) << r.error;
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

// ---- unsupported pin types ---------------------------------------------------------------------

struct Rejection {
  kxType in0, in1, out;
  std::string message;
};

class BlendRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(BlendRejects, NamesTheFirstBadPinAndWritesNothing) {
  const Rejection& c = GetParam();
  auto inst = blendInstance(0.5);
  addRow<uint8_t>(inst.inputs[0], {1});
  addRow<uint8_t>(inst.inputs[1], {1});
  inst.inputs[0].type = c.in0;
  inst.inputs[1].type = c.in1;
  inst.outputs[0].type = c.out;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, c.message);
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pins, BlendRejects,
    ::testing::Values(
        Rejection{1, 1, 1, "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
        Rejection{0, 5, 1, "Der am 2. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
        Rejection{0, 0, 1, "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."}));

}  // namespace
