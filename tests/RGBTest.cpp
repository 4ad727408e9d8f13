// RGB split and join through real runs: every type combination against a scalar reference, optional
// outputs, the per-matrix checks, the join's warning and the quiet end on host failures.
#include <cmath>
#include <limits>
#include <tuple>

#include "support/GeometryReference.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

const std::string kMatrices = "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).";
const std::string kNotRgb = "Es liegen keine RGB - Bilder an (Planes = 3).";
const std::string kMultiPlane =
    "Es liegen mehrbandige Daten an (Planes > 1). Nur der 1. Plane wird ber\xfc"
    "cksichtigt.";

void connectOutputs(kxhost::Instance& inst, bool r, bool g, bool b) {
  inst.outputs[0].connected = r;
  inst.outputs[1].connected = g;
  inst.outputs[2].connected = b;
}

// ---- split over every type combination -----------------------------------------------------------

using Codes = std::tuple<kxType, kxType, kxType, kxType>;

class SplitTypes : public ::testing::TestWithParam<Codes> {};

TEST_P(SplitTypes, EachPlaneConvertedToItsOutput) {
  const auto [in, r, g, b] = GetParam();
  const kxType outCodes[3] = {r, g, b};
  withType(in, [&]<class I>() {
    auto inst = instance("_RGBSplitt");
    const int32_t x = 4, y = 2;
    const std::vector<I> data = cycle<I>(std::size_t(x * y * 3));
    addMatrix<I>(inst.inputs[0], x, y, 3, data, "colour");
    addMatrix<I>(inst.inputs[0], x, y, 3, cycle<I>(std::size_t(x * y * 3), 5), "second");
    connectOutputs(inst, true, true, true);
    for (int n = 0; n < 3; ++n) inst.outputs[n].type = outCodes[n];
    kxhost::RunResult res = inst.run();
    ASSERT_TRUE(res.completed) << res.error;
    EXPECT_EQ(res.returned, 1);
    EXPECT_TRUE(res.warnings.empty());
    for (int n = 0; n < 3; ++n) {
      ASSERT_EQ(inst.outputs[n].stream.size(), 2);
      withType(outCodes[n], [&]<class O>() {
        for (int m = 0; m < 2; ++m) {
          const std::vector<I> src = m == 0 ? data : cycle<I>(std::size_t(x * y * 3), 5);
          const std::vector<O> got = output<O>(inst, std::size_t(n), std::size_t(m));
          ASSERT_EQ(got.size(), std::size_t(x * y));
          for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_TRUE(same(got[k], expected<O>(double(src[3 * k + std::size_t(n)]))))
                << "output " << n << " matrix " << m << " pixel " << k;
          }
        }
      });
    }
  });
}

const auto kCodes = ::testing::Values(0, 2, 3, 4);
INSTANTIATE_TEST_SUITE_P(All256, SplitTypes, ::testing::Combine(kCodes, kCodes, kCodes, kCodes));

// ---- join over every type combination ------------------------------------------------------------

class JoinTypes : public ::testing::TestWithParam<Codes> {};

TEST_P(JoinTypes, InputsInterleavedIntoThePlanes) {
  const auto [r, g, b, out] = GetParam();
  const kxType inCodes[3] = {r, g, b};
  auto inst = instance("_RGBJoin");
  const int32_t x = 3, y = 2;
  for (int n = 0; n < 3; ++n) {
    withType(inCodes[n], [&]<class I>() { addMatrix<I>(inst.inputs[n], x, y, 1, cycle<I>(6, std::size_t(n))); });
  }
  inst.outputs[0].type = out;
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  EXPECT_TRUE(res.warnings.empty());
  withType(out, [&]<class O>() {
    const std::vector<O> got = output<O>(inst, 0, 0);
    ASSERT_EQ(got.size(), 18u);
    for (int n = 0; n < 3; ++n) {
      withType(inCodes[n], [&]<class I>() {
        const std::vector<I> src = cycle<I>(6, std::size_t(n));
        for (std::size_t k = 0; k < 6; ++k) {
          EXPECT_TRUE(same(got[3 * k + std::size_t(n)], expected<O>(double(src[k]))))
              << "plane " << n << " pixel " << k;
        }
      });
    }
  });
}

INSTANTIATE_TEST_SUITE_P(All256, JoinTypes, ::testing::Combine(kCodes, kCodes, kCodes, kCodes));

// ---- split ---------------------------------------------------------------------------------------

TEST(RGBSplitt, WorkedExampleIntoThreeByteOutputs) {
  auto inst = instance("_RGBSplitt");
  addMatrix<double>(inst.inputs[0], 2, 1, 3, {10.7, 20.2, 300.0, -1.5, 0.0, 255.9});
  connectOutputs(inst, true, true, true);
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{10, 255}));
  EXPECT_EQ(output<uint8_t>(inst, 1, 0), (std::vector<uint8_t>{20, 0}));
  EXPECT_EQ(output<uint8_t>(inst, 2, 0), (std::vector<uint8_t>{44, 255}));
}

TEST(RGBSplitt, OnlyTheConnectedOutputReceivesAnything) {
  auto inst = instance("_RGBSplitt");
  inst.inputs[0].stream.meta = info(9, 9, 3, "meta");
  addMatrix<uint8_t>(inst.inputs[0], 2, 2, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  addMatrix<uint8_t>(inst.inputs[0], 2, 2, 3, std::vector<uint8_t>(12, 7));
  connectOutputs(inst, false, true, false);
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  for (int n : {0, 2}) {
    EXPECT_FALSE(inst.outputs[n].stream.metaSet) << n;
    EXPECT_EQ(inst.outputs[n].stream.size(), 0) << n;
  }
  ASSERT_TRUE(inst.outputs[1].stream.metaSet);
  EXPECT_STREQ(inst.outputs[1].stream.meta.Name.c_str(), "meta");
  ASSERT_EQ(inst.outputs[1].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 1, 0), (std::vector<uint8_t>{2, 5, 8, 11}));
  EXPECT_EQ(output<uint8_t>(inst, 1, 1), (std::vector<uint8_t>(4, 7)));
}

TEST(RGBSplitt, TwoOfThreeOutputsTakeTheirPlanes) {
  auto inst = instance("_RGBSplitt");
  addMatrix<int32_t>(inst.inputs[0], 3, 1, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  connectOutputs(inst, true, false, true);
  inst.outputs[0].type = 2;
  inst.outputs[2].type = 4;
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(inst.outputs[1].stream.size(), 0);
  EXPECT_EQ(output<int32_t>(inst, 0, 0), (std::vector<int32_t>{1, 4, 7}));
  EXPECT_EQ(output<double>(inst, 2, 0), (std::vector<double>{3, 6, 9}));
}

TEST(RGBSplitt, NoOutputConnectedReadsNothing) {
  auto inst = instance("_RGBSplitt");
  addMatrix<uint8_t>(inst.inputs[0], 2, 1, 1, {1, 2});  // one plane: would fail if it were read
  connectOutputs(inst, false, false, false);
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  EXPECT_TRUE(res.warnings.empty());
  for (auto& pin : inst.outputs) EXPECT_FALSE(pin.stream.metaSet);
}

TEST(RGBSplitt, OutputMatrixTakesNameUserDataAndOnePlane) {
  auto inst = instance("_RGBSplitt");
  kxhost::Matrix& m = addMatrix<float>(inst.inputs[0], 3, 2, 3, std::vector<float>(18, 1.5f), "bild");
  const unsigned char user[] = {4, 5};
  m.info().UserDatas.assign(user, 2);
  connectOutputs(inst, true, true, true);
  ASSERT_TRUE(inst.run().completed);
  for (auto& pin : inst.outputs) {
    const kxMInfo& out = pin.stream.matrices.at(0)->info();
    EXPECT_EQ(out.X, 3);
    EXPECT_EQ(out.Y, 2);
    EXPECT_EQ(out.Planes, 1);
    EXPECT_EQ(out.Count, 6);
    EXPECT_STREQ(out.Name.c_str(), "bild");
    ASSERT_EQ(out.UserDatas.size(), 2);
    EXPECT_EQ(out.UserDatas.data()[1], 5);
  }
}

struct BadMatrix {
  int32_t x, y, planes;
  std::string message;
};

class SplitRejects : public ::testing::TestWithParam<BadMatrix> {};

// The third matrix fails its check: the first two are complete on every output, the third is not
// begun, and the message reaches the host despite the handler around the loop.
TEST_P(SplitRejects, EarlierMatricesStayComplete) {
  const BadMatrix& bad = GetParam();
  auto inst = instance("_RGBSplitt");
  addMatrix<uint8_t>(inst.inputs[0], 2, 1, 3, {1, 2, 3, 4, 5, 6});
  addMatrix<uint8_t>(inst.inputs[0], 1, 1, 3, {7, 8, 9});
  const std::size_t n = std::size_t(std::max(0, bad.x) * std::max(0, bad.y) * std::max(0, bad.planes));
  addSized<uint8_t>(inst.inputs[0], 0, bad.x, bad.y, bad.planes, std::vector<uint8_t>(n, 1));
  connectOutputs(inst, true, true, true);
  kxhost::RunResult res = inst.run();
  EXPECT_FALSE(res.completed);
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, bad.message);
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(inst.outputs[k].stream.size(), 2);
    EXPECT_EQ(output<uint8_t>(inst, std::size_t(k), 0), (std::vector<uint8_t>{uint8_t(1 + k), uint8_t(4 + k)}));
    EXPECT_EQ(output<uint8_t>(inst, std::size_t(k), 1), (std::vector<uint8_t>{uint8_t(7 + k)}));
  }
}

INSTANTIATE_TEST_SUITE_P(RGBSplitt, SplitRejects,
                         ::testing::Values(BadMatrix{2, 2, 1, kNotRgb}, BadMatrix{2, 2, 4, kNotRgb},
                                           BadMatrix{2, 2, 2, kNotRgb}, BadMatrix{0, 2, 3, kMatrices},
                                           BadMatrix{2, 0, 3, kMatrices}, BadMatrix{2, 2, 0, kMatrices},
                                           BadMatrix{-1, 2, 3, kMatrices}));

// A host failure inside the matrix loop (here the run's allocation limit) ends the run quietly.
TEST(RGBSplitt, HostFailureInTheLoopEndsTheRunWithoutError) {
  auto inst = instance("_RGBSplitt");
  for (int m = 0; m < 3; ++m) addMatrix<uint8_t>(inst.inputs[0], 4, 4, 3, std::vector<uint8_t>(48, uint8_t(m)));
  connectOutputs(inst, true, true, true);
  // Each 4 x 4 output takes a 64-byte buffer and 4 row pointers: six fit, the seventh does not.
  const uint64_t each = 64 + 4 * sizeof(void*);
  inst.limits.maxRunBytes = 6 * each + each / 2;
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  EXPECT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 2, 1), std::vector<uint8_t>(16, 1));
}

TEST(RGBSplitt, EmptyStreamCopiesMetaOnly) {
  auto inst = instance("_RGBSplitt");
  inst.inputs[0].stream.meta = info(1, 2, 3, "leer");
  connectOutputs(inst, true, false, true);
  ASSERT_TRUE(inst.run().completed);
  EXPECT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_FALSE(inst.outputs[1].stream.metaSet);
  EXPECT_STREQ(inst.outputs[2].stream.meta.Name.c_str(), "leer");
  EXPECT_EQ(inst.outputs[2].stream.size(), 0);
}

TEST(RGBSplitt, PinTypesCheckedInOrder) {
  struct Case {
    kxType in, r, g, b;
    std::string message;
  };
  const Case cases[] = {
      {1, 1, 1, 1, "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
      {0, 5, 1, 1, "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
      {4, 0, 1, 0, "Der am 2. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
      {3, 2, 3, 9, "Der am 3. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt."},
  };
  for (const Case& c : cases) {
    auto inst = instance("_RGBSplitt");
    inst.inputs[0].type = c.in;
    inst.outputs[0].type = c.r;
    inst.outputs[1].type = c.g;
    inst.outputs[2].type = c.b;
    // Even an unconnected output's type is checked.
    connectOutputs(inst, true, false, false);
    kxhost::RunResult res = inst.run();
    EXPECT_TRUE(res.processorError);
    EXPECT_EQ(res.error, c.message);
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  }
}

// ---- join ----------------------------------------------------------------------------------------

TEST(RGBJoin, ThreeBytesIntoOneDoublePixel) {
  auto inst = instance("_RGBJoin");
  addRow<uint8_t>(inst.inputs[0], {1});
  addRow<uint8_t>(inst.inputs[1], {2});
  addRow<uint8_t>(inst.inputs[2], {3});
  inst.outputs[0].type = 4;
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST(RGBJoin, MultiPlaneInputsWarnOnceAndGivePlaneZero) {
  auto inst = instance("_RGBJoin");
  for (int n = 0; n < 3; ++n) {
    const auto base = uint8_t(10 * (n + 1));
    for (int m = 0; m < 2; ++m) {
      std::vector<uint8_t> v(6);
      for (std::size_t k = 0; k < 6; ++k) v[k] = uint8_t(base + m * 100 + k);
      addMatrix<uint8_t>(inst.inputs[n], 2, 1, 3, v);
    }
  }
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  ASSERT_EQ(res.warnings, std::vector<std::string>{kMultiPlane});
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(inst.outputs[0].stream.matrices[1]->info().Planes, 3);
  // Plane 0 of pixel x is element 3x of each input.
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{10, 20, 30, 13, 23, 33}));
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), (std::vector<uint8_t>{110, 120, 130, 113, 123, 133}));
}

TEST(RGBJoin, OutputTakesNameAndUserDataOfRot) {
  auto inst = instance("_RGBJoin");
  kxhost::Matrix& m = addMatrix<int32_t>(inst.inputs[0], 2, 3, 1, std::vector<int32_t>(6, 1), "rot0");
  const unsigned char user[] = {1, 2, 3};
  m.info().UserDatas.assign(user, 3);
  addMatrix<int32_t>(inst.inputs[1], 2, 3, 1, std::vector<int32_t>(6, 2), "gruen0");
  addMatrix<int32_t>(inst.inputs[2], 2, 3, 1, std::vector<int32_t>(6, 3), "blau0");
  inst.inputs[0].stream.meta = info(5, 5, 1, "rot meta");
  inst.inputs[1].stream.meta = info(5, 5, 1, "gruen meta");
  ASSERT_TRUE(inst.run().completed);
  const kxMInfo& out = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_STREQ(out.Name.c_str(), "rot0");
  ASSERT_EQ(out.UserDatas.size(), 3);
  EXPECT_EQ(out.X, 2);
  EXPECT_EQ(out.Y, 3);
  EXPECT_EQ(out.Planes, 3);
  EXPECT_EQ(out.Count, 18);
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "rot meta");
}

TEST(RGBJoin, EmptyFirstMatrixFailsAfterTheMeta) {
  auto inst = instance("_RGBJoin");
  inst.inputs[0].stream.meta = info(1, 1, 1, "rot meta");
  for (int n = 0; n < 3; ++n) addSized<uint8_t>(inst.inputs[n], 0, 0, 4, 1, {});
  kxhost::RunResult res = inst.run();
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, kMatrices);
  EXPECT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_EQ(inst.outputs[0].stream.size(), 0);
}

// An empty stream reads as a matrix 0 of size 0, which the check of matrix 0 refuses.
TEST(RGBJoin, EmptyStreamsFailTheFirstMatrixCheck) {
  auto inst = instance("_RGBJoin");
  kxhost::RunResult res = inst.run();
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, kMatrices);
}

TEST(RGBJoin, LaterMatricesMayBeLargerOrEmpty) {
  auto inst = instance("_RGBJoin");
  for (int n = 0; n < 3; ++n) {
    addRow<float>(inst.inputs[n], {float(n)});
    std::vector<float> big(12);
    for (std::size_t k = 0; k < 12; ++k) big[k] = float(100 * n + int(k));
    addMatrix<float>(inst.inputs[n], 4, 3, 1, big);
    addSized<float>(inst.inputs[n], 3, 0, 2, 1, {});
    addSized<float>(inst.inputs[n], 3, 2, 2, 0, {});  // no planes: nothing to read
  }
  inst.outputs[0].type = 3;
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), 4);
  const std::vector<float> out1 = output<float>(inst, 0, 1);
  ASSERT_EQ(out1.size(), 36u);
  for (std::size_t k = 0; k < 12; ++k) {
    for (std::size_t n = 0; n < 3; ++n) EXPECT_EQ(out1[3 * k + n], float(100 * n + k));
  }
  EXPECT_EQ(inst.outputs[0].stream.matrices[2]->count(), 0u);
  EXPECT_EQ(output<float>(inst, 0, 3), std::vector<float>(12, 0.0f));
}

TEST(RGBJoin, UnequalStreamsAreRefusedByTheHostBeforeAnyWrite) {
  auto inst = instance("_RGBJoin");
  addRow<uint8_t>(inst.inputs[0], {1, 2});
  addRow<uint8_t>(inst.inputs[1], {1, 2});
  addRow<uint8_t>(inst.inputs[2], {1, 2, 3});
  kxhost::RunResult res = inst.run();
  EXPECT_FALSE(res.completed);
  EXPECT_FALSE(res.processorError);
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);

  auto counts = instance("_RGBJoin");
  addRow<uint8_t>(counts.inputs[0], {1});
  addRow<uint8_t>(counts.inputs[1], {1});
  addRow<uint8_t>(counts.inputs[2], {1});
  addRow<uint8_t>(counts.inputs[2], {1});
  res = counts.run();
  EXPECT_FALSE(res.completed);
  EXPECT_FALSE(res.processorError);
  EXPECT_FALSE(counts.outputs[0].stream.metaSet);
}

TEST(RGBJoin, HostFailureInTheLoopEndsTheRunWithoutError) {
  auto inst = instance("_RGBJoin");
  for (int n = 0; n < 3; ++n) {
    for (int m = 0; m < 3; ++m) addMatrix<uint8_t>(inst.inputs[n], 4, 4, 1, std::vector<uint8_t>(16, uint8_t(m)));
  }
  // Each 4 x 4 x 3 output takes a 64-byte buffer and 4 row pointers: two fit, the third does not.
  const uint64_t each = 64 + 4 * sizeof(void*);
  inst.limits.maxRunBytes = 2 * each + each / 2;
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), std::vector<uint8_t>(48, 1));
}

TEST(RGBJoin, ThirdInputTypeHasItsOwnMessage) {
  auto inst = instance("_RGBJoin");
  inst.inputs[2].type = 1;
  inst.outputs[0].type = 1;
  kxhost::RunResult res = inst.run();
  EXPECT_TRUE(res.processorError);
  EXPECT_EQ(res.error, "Der am 3. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");
}

}  // namespace
