// RGB split and join: every type combination on both kernel paths, optional outputs, the
// per-matrix checks, the join's warning and the quiet end on host failures.
#include <tuple>

#include "frame/Streaming.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

const std::string kMatrices = "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).";
const std::string kNotRgb = "Es liegen keine RGB - Bilder an (Planes = 3).";

void connectOutputs(kxhost::Instance& inst, int mask) {
  for (std::size_t n = 0; n < inst.outputs.size(); ++n) inst.outputs[n].connected = (mask >> n & 1) != 0;
}

using Codes = std::tuple<kxType, kxType, kxType, kxType>;
class RGBTypes : public ::testing::TestWithParam<Codes> {
protected:
  // 107 pixels make pairs of vector blocks, one block more and a remainder; the second matrix is
  // narrower than any block; where all types agree, the last is large enough to be streamed.
  std::vector<std::pair<int32_t, int32_t>> sizes() const {
    const auto [a, b, c, d] = GetParam();
    std::vector<std::pair<int32_t, int32_t>> v = {{107, 9}, {1, 3}};
    std::size_t size = 0;
    withType(a, [&]<class T>() { size = sizeof(T); });
    if (a == b && b == c && c == d) v.emplace_back(2053, int32_t(rk::kStreamBytes / (2053 * 3 * size) + 2));
    return v;
  }
};

// Split: input type, then the three outputs' types; each plane to its output.
TEST_P(RGBTypes, SplitConvertsEachPlaneToItsOutput) {
  const auto [in, r, g, b] = GetParam();
  const kxType outCodes[3] = {r, g, b};
  withType(in, [&]<class I>() {
    for (bool baseline : kernelPaths()) {
      auto inst = instance("_RGBSplitt");
      std::vector<std::vector<I>> data;
      for (auto [x, y] : sizes()) {
        data.push_back(cycle<I>(std::size_t(3 * x * y), 5 * data.size()));
        addMatrix<I>(inst.inputs[0], x, y, 3, data.back(), "colour");
      }
      connectOutputs(inst, 7);
      for (std::size_t n = 0; n < 3; ++n) inst.outputs[n].type = outCodes[n];
      kxhost::RunResult res = runOnPath(inst, baseline);
      ASSERT_TRUE(res.completed) << res.error;
      EXPECT_EQ(res.returned, 1);
      EXPECT_TRUE(res.warnings.empty());
      for (std::size_t n = 0; n < 3; ++n) {
        ASSERT_EQ(inst.outputs[n].stream.size(), int32_t(data.size()));
        withType(outCodes[n], [&]<class O>() {
          for (std::size_t m = 0; m < data.size(); ++m) {
            std::vector<I> plane;
            for (std::size_t k = n; k < data[m].size(); k += 3) plane.push_back(data[m][k]);
            EXPECT_TRUE(convertedFrom(output<O>(inst, n, m), plane)) << "output " << n << ", matrix " << m << baseline;
            const kxMInfo& out = inst.outputs[n].stream.matrices[m]->info();
            const auto [x, y] = sizes()[m];
            EXPECT_EQ(std::tuple(out.X, out.Y, out.Planes, out.Count), std::tuple(x, y, 1, x * y));
            EXPECT_STREQ(out.Name.c_str(), "colour");
          }
        });
      }
    }
  });
}

// Join: the three inputs' types, then the output type; the output takes the first input's name,
// user data and meta information.
TEST_P(RGBTypes, JoinInterleavesTheInputsIntoThePlanes) {
  const auto [r, g, b, out] = GetParam();
  const kxType inCodes[3] = {r, g, b};
  auto inst = instance("_RGBJoin");
  for (std::size_t n = 0; n < 3; ++n) {
    withType(inCodes[n], [&]<class I>() {
      for (auto [x, y] : sizes())
        addMatrix<I>(inst.inputs[n], x, y, 1, cycle<I>(std::size_t(x * y), n), n ? "" : "rot");
    });
    inst.inputs[n].stream.meta = info(5, 5, 1, n ? "other" : "rot meta");
  }
  inst.inputs[0].stream.matrices[0]->info().UserDatas.assign("ab", 2);
  inst.outputs[0].type = out;
  kxhost::RunResult res = runBoth(inst);
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.returned, 1);
  EXPECT_TRUE(res.warnings.empty());
  const kxMInfo& o = inst.outputs[0].stream.matrices.at(0)->info();
  EXPECT_EQ(std::tuple(o.X, o.Y, o.Planes, o.Count, o.UserDatas.size()), std::tuple(107, 9, 3, 107 * 9 * 3, 2));
  EXPECT_STREQ(o.Name.c_str(), "rot");
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "rot meta");
  withType(out, [&]<class O>() {
    for (std::size_t m = 0; m < sizes().size(); ++m) {
      const std::vector<O> got = output<O>(inst, 0, m);
      for (std::size_t n = 0; n < 3; ++n) {
        std::vector<O> plane;
        for (std::size_t k = n; k < got.size(); k += 3) plane.push_back(got[k]);
        withType(inCodes[n], [&]<class I>() {
          EXPECT_TRUE(convertedFrom(plane, cycle<I>(got.size() / 3, n))) << "plane " << n << ", matrix " << m;
        });
      }
    }
  });
}

// Both split into bands: the split with its middle output open, the join of two-plane inputs (its
// warning) where the output is 8-bit.
TEST_P(RGBTypes, SplitAndJoinInBandsAsInOneRun) {
  const auto [a, b, c, d] = GetParam();
  auto split = instance("_RGBSplitt");
  withType(a, [&]<class I>() {
    for (std::size_t m = 0; m < 2; ++m) addMatrix<I>(split.inputs[0], 23, 9, 3, cycle<I>(23 * 9 * 3, m), "colour");
  });
  connectOutputs(split, 5);
  split.outputs[0].type = b, split.outputs[1].type = c, split.outputs[2].type = d;
  EXPECT_TRUE(sameInBands(split).completed);
  auto join = instance("_RGBJoin");
  const kxType inCodes[3] = {a, b, c};
  const int32_t planes = d == 0 ? 2 : 1;
  for (std::size_t n = 0; n < 3; ++n) {
    withType(inCodes[n], [&]<class I>() {
      for (std::size_t m = 0; m < 2; ++m)
        addMatrix<I>(join.inputs[n], 23, 9, planes, cycle<I>(std::size_t(23 * 9 * planes), n + m), "rot");
    });
  }
  join.outputs[0].type = d;
  EXPECT_EQ(sameInBands(join).warnings.size(), std::size_t(planes - 1));
}

const auto kCodes = ::testing::Values(0, 2, 3, 4);
INSTANTIATE_TEST_SUITE_P(All256, RGBTypes, ::testing::Combine(kCodes, kCodes, kCodes, kCodes));

// Only connected outputs receive meta information and matrices; with none connected the input is
// not read at all (its one plane would fail), nor is an empty stream.
TEST(RGBSplitt, OnlyConnectedOutputsReceiveAnything) {
  for (int mask : {0, 2, 5, 7})
    for (bool empty : {false, true}) {
      auto inst = instance("_RGBSplitt");
      inst.inputs[0].stream.meta = info(9, 9, 3, "meta");
      inst.inputs[0].type = 0;
      if (!empty) {
        std::vector<uint8_t> v = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        addMatrix<uint8_t>(inst.inputs[0], mask ? 2 : 4, 2, mask ? 3 : 1, mask ? v : cycle<uint8_t>(8));
        addMatrix<uint8_t>(inst.inputs[0], 2, 2, 3, std::vector<uint8_t>(12, 7)).info().UserDatas.assign("u", 1);
      }
      connectOutputs(inst, mask);
      kxhost::RunResult res = inst.run();
      ASSERT_TRUE(res.completed) << res.error;
      EXPECT_EQ(res.returned, 1);
      EXPECT_TRUE(res.warnings.empty());
      for (std::size_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(::testing::Message() << "mask " << mask << ", output " << n << (empty ? ", empty" : ""));
        const kxhost::Stream& s = inst.outputs[n].stream;
        const bool on = (mask >> n & 1) != 0;
        EXPECT_EQ(s.metaSet, on);
        ASSERT_EQ(s.size(), on && !empty ? 2 : 0);
        if (!on) continue;
        EXPECT_STREQ(s.meta.Name.c_str(), "meta");
        if (empty) continue;
        const auto c = uint8_t(n + 1);
        EXPECT_EQ(output<uint8_t>(inst, n, 0),
                  (std::vector<uint8_t>{c, uint8_t(c + 3), uint8_t(c + 6), uint8_t(c + 9)}));
        EXPECT_EQ(output<uint8_t>(inst, n, 1), std::vector<uint8_t>(4, 7));
        EXPECT_EQ(s.matrices[1]->info().UserDatas.size(), 1);
      }
    }
}

// The third matrix fails its check: the first two are complete on every output, the third is not
// begun, and the message reaches the host despite the handler around the loop.
TEST(RGBSplitt, BadMatrixKeepsTheEarlierOnesComplete) {
  const std::tuple<int32_t, int32_t, int32_t, std::string> bad[] = {
      {2, 2, 1, kNotRgb},   {2, 2, 4, kNotRgb},   {2, 2, 2, kNotRgb},   {0, 2, 3, kMatrices},
      {2, 0, 3, kMatrices}, {2, 2, 0, kMatrices}, {-1, 2, 3, kMatrices}};
  for (const auto& [x, y, planes, message] : bad) {
    auto inst = instance("_RGBSplitt");
    addMatrix<uint8_t>(inst.inputs[0], 2, 1, 3, {1, 2, 3, 4, 5, 6});
    addMatrix<uint8_t>(inst.inputs[0], 1, 1, 3, {7, 8, 9});
    addMatrix<uint8_t>(inst.inputs[0], x, y, planes, std::vector<uint8_t>(std::size_t(std::max(0, x * y * planes)), 1));
    connectOutputs(inst, 7);
    kxhost::RunResult res = inst.run();
    EXPECT_TRUE(res.processorError);
    EXPECT_EQ(res.error, message);
    for (std::size_t k = 0; k < 3; ++k) {
      ASSERT_EQ(inst.outputs[k].stream.size(), 2);
      EXPECT_EQ(output<uint8_t>(inst, k, 0), (std::vector<uint8_t>{uint8_t(1 + k), uint8_t(4 + k)}));
      EXPECT_EQ(output<uint8_t>(inst, k, 1), (std::vector<uint8_t>{uint8_t(7 + k)}));
    }
  }
}

// A host failure inside the matrix loop (here the run's allocation limit) ends the run quietly.
// Each 4 x 4 output takes a 64-byte buffer and 4 row pointers: six fit the split's limit (two of
// its three matrices), two the join's (of 48 bytes each).
TEST(RGB, HostFailureInTheLoopEndsTheRunWithoutError) {
  const uint64_t each = 64 + 4 * sizeof(void*);
  for (bool split : {true, false}) {
    auto inst = instance(split ? "_RGBSplitt" : "_RGBJoin");
    for (std::size_t n = 0; n < (split ? 1u : 3u); ++n)
      for (int m = 0; m < 3; ++m)
        addMatrix<uint8_t>(inst.inputs[n], 4, 4, split ? 3 : 1, std::vector<uint8_t>(split ? 48 : 16, uint8_t(m)));
    connectOutputs(inst, 7);
    inst.limits.maxRunBytes = (split ? 6 : 2) * each + each / 2;
    kxhost::RunResult res = inst.run();
    ASSERT_TRUE(res.completed) << res.error;
    EXPECT_EQ(res.returned, 1);
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    EXPECT_EQ(output<uint8_t>(inst, split ? 2 : 0, 1), std::vector<uint8_t>(split ? 16 : 48, 1));
  }
}

// Every pin type is checked, in pin order, each with its own message; even an unconnected output's.
TEST(RGB, PinTypesCheckedInOrder) {
  const std::tuple<const char*, std::vector<kxType>, std::vector<kxType>, const char*> cases[] = {
      {"_RGBSplitt", {1}, {1, 1, 1}, "1. Input"},
      {"_RGBSplitt", {0}, {5, 1, 1}, "1. Output"},
      {"_RGBSplitt", {4}, {0, 1, 0}, "2. Output"},
      {"_RGBSplitt", {3}, {2, 3, 9}, "3. Output"},
      {"_RGBJoin", {0, 0, 1}, {1}, "3. Input"}};
  for (const auto& [entry, ins, outs, pin] : cases) {
    auto inst = instance(entry);
    for (std::size_t n = 0; n < ins.size(); ++n) inst.inputs[n].type = ins[n];
    for (std::size_t n = 0; n < outs.size(); ++n) inst.outputs[n].type = outs[n];
    connectOutputs(inst, 1);
    kxhost::RunResult res = inst.run();
    EXPECT_TRUE(res.processorError);
    EXPECT_EQ(res.error,
              std::string("Der am ") + pin + "-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  }
}

// The warning comes once; plane 0 of pixel x is element 3x of each input.
TEST(RGBJoin, MultiPlaneInputsWarnOnceAndGivePlaneZero) {
  auto inst = instance("_RGBJoin");
  for (std::size_t n = 0; n < 3; ++n)
    for (int m = 0; m < 2; ++m) {
      std::vector<uint8_t> v(6);
      for (std::size_t k = 0; k < 6; ++k) v[k] = uint8_t(10 * (n + 1) + 100 * m + k);
      addMatrix<uint8_t>(inst.inputs[n], 2, 1, 3, v);
    }
  kxhost::RunResult res = inst.run();
  ASSERT_TRUE(res.completed) << res.error;
  EXPECT_EQ(res.warnings, std::vector<std::string>{"Es liegen mehrbandige Daten an (Planes > 1). Nur der 1. Plane wird "
                                                   "ber\xfc"
                                                   "cksichtigt."});
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{10, 20, 30, 13, 23, 33}));
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), (std::vector<uint8_t>{110, 120, 130, 113, 123, 133}));
}

// Matrix 0 is checked after the meta information is copied; an empty stream reads as a matrix 0 of
// size 0. Later matrices may be larger, or empty.
TEST(RGBJoin, OnlyTheFirstMatrixMustHaveElements) {
  for (bool streams : {false, true}) {
    auto inst = instance("_RGBJoin");
    inst.inputs[0].stream.meta = info(1, 1, 1, "rot meta");
    for (std::size_t n = 0; n < 3 && !streams; ++n) addMatrix<uint8_t>(inst.inputs[n], 0, 4, 1, {});
    kxhost::RunResult res = inst.run();
    EXPECT_TRUE(res.processorError);
    EXPECT_EQ(res.error, kMatrices);
    EXPECT_TRUE(inst.outputs[0].stream.metaSet);
    EXPECT_EQ(inst.outputs[0].stream.size(), 0);
  }
  auto inst = instance("_RGBJoin");
  for (std::size_t n = 0; n < 3; ++n) {
    addRow<float>(inst.inputs[n], {float(n)});
    std::vector<float> big(12);
    for (std::size_t k = 0; k < 12; ++k) big[k] = float(100 * n + k);
    addMatrix<float>(inst.inputs[n], 4, 3, 1, big);
    addMatrix<float>(inst.inputs[n], 0, 2, 1, {});
    addMatrix<float>(inst.inputs[n], 2, 2, 0, {});  // no planes: nothing to read
  }
  inst.outputs[0].type = 3;
  ASSERT_TRUE(inst.run().completed);
  ASSERT_EQ(inst.outputs[0].stream.size(), 4);
  const std::vector<float> out1 = output<float>(inst, 0, 1);
  ASSERT_EQ(out1.size(), 36u);
  for (std::size_t k = 0; k < 36; ++k) EXPECT_EQ(out1[k], float(100 * (k % 3) + k / 3));
  EXPECT_EQ(inst.outputs[0].stream.matrices[2]->count(), 0u);
  EXPECT_EQ(output<float>(inst, 0, 3), std::vector<float>(12, 0.0f));
}

// Streams of unequal lengths or counts, on the second input or the third.
TEST(RGBJoin, UnequalStreamsAreRefusedByTheHostBeforeAnyWrite) {
  for (std::size_t odd : {1, 2})
    for (bool counts : {false, true}) {
      auto inst = instance("_RGBJoin");
      for (std::size_t n = 0; n < 3; ++n)
        addRow<uint8_t>(inst.inputs[n], std::vector<uint8_t>(n != odd || counts ? 2 : 3, 1));
      if (counts) addRow<uint8_t>(inst.inputs[odd], {1, 2});
      kxhost::RunResult res = inst.run();
      EXPECT_FALSE(res.completed);
      EXPECT_FALSE(res.processorError);
      EXPECT_FALSE(inst.outputs[0].stream.metaSet);
    }
}

}  // namespace
