// Running-mean binarisation: every type pair against a scalar reference, the carried mean, type B.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "support/Harness.h"
#include "support/Paths.h"
#include "support/TypePairs.h"

using namespace rktest;

namespace {

const std::string kGrey = "Es werden Grauwertbilder (1 Planes) erwartet.";

struct AdaptParams {
  double above, below, consta, rate;
  int32_t type;
};

void setAdapt(kxhost::Instance& inst, const AdaptParams& p) {
  setParam(inst, "above", p.above);
  setParam(inst, "below", p.below);
  setParam(inst, "consta", p.consta);
  setParam(inst, "offset", p.rate);
  setParam(inst, "TA", p.type);
}

// The scan over a whole stream, written from the rule: the mean m starts at 128 and every element
// may move it before it is compared with m + consta.
template <class I, class O>
std::vector<std::vector<O>> reference(const std::vector<std::vector<I>>& stream, const AdaptParams& p) {
  double m = 128.0;
  std::vector<std::vector<O>> result;
  for (const std::vector<I>& matrix : stream) {
    std::vector<O> out;
    for (I raw : matrix) {
      const double v = static_cast<double>(raw);
      bool update = true;
      if (p.type == 1) {
        if constexpr (std::is_integral_v<I>)
          update = static_cast<double>(raw) <= static_cast<double>(pairConvert<I>(m + p.consta));
        else
          update = v <= m + p.consta;
      }
      if (update) m = m + (v - m) * p.rate;
      const double t = m + p.consta;
      out.push_back(pairConvert<O>(!(v < t) && !std::isnan(v) && !std::isnan(t) ? p.above : p.below));
    }
    result.push_back(out);
  }
  return result;
}

template <class P>
class BinAdaptTypes : public ::testing::Test {};
TYPED_TEST_SUITE(BinAdaptTypes, AllTypePairs, TypePairNames);

// Three matrices of several rows each, so the mean is carried across rows and matrices; type B with
// a large offset pushes the threshold past 255, where an 8-bit input sees it modulo 256.
TYPED_TEST(BinAdaptTypes, MatchesReferenceAcrossRowsAndMatrices) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const AdaptParams sets[] = {
      {255, 0, 10, 0.1, 0},   {1000.5, -7.9, -3, 0.37, 2}, {256, 3e9, 10, 0.1, 1},
      {9, 4, 137.3, 0.25, 1}, {-1, 2.5, 0.5, 1.0, 1},
  };
  uint32_t seed = 11;
  for (const AdaptParams& p : sets) {
    auto inst = instance("_BinAdaptThreshImage");
    inst.outputs[0].type = code<O>();
    setAdapt(inst, p);
    std::vector<std::vector<I>> stream;
    const int32_t sizes[][2] = {{7, 3}, {1, 4}, {5, 2}};
    for (const auto& s : sizes) {
      stream.push_back(samples<I>(static_cast<std::size_t>(s[0] * s[1]), seed++));
      addMatrix<I>(inst.inputs[0], s[0], s[1], 1, stream.back());
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    std::vector<std::vector<O>> expected = reference<I, O>(stream, p);
    ASSERT_EQ(inst.outputs[0].stream.size(), 3);
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(output<O>(inst, 0, i), expected[i]) << "matrix " << i << ", consta " << p.consta << ", TA " << p.type;
  }
}

std::vector<uint8_t> runU8(const AdaptParams& p, const std::vector<uint8_t>& in) {
  auto inst = instance("_BinAdaptThreshImage");
  setAdapt(inst, p);
  addRow<uint8_t>(inst.inputs[0], in);
  kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.completed) << r.error;
  return r.completed ? output<uint8_t>(inst, 0, 0) : std::vector<uint8_t>{};
}

TEST(BinAdapt, WorkedStartWithDefaults) {
  auto inst = instance("_BinAdaptThreshImage");
  addRow<uint8_t>(inst.inputs[0], {200, 200, 50});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{255, 255, 0}));
}

TEST(BinAdapt, RateZeroIsAFixedThresholdAndEqualityIsUpper) {
  std::vector<uint8_t> in(256);
  for (int k = 0; k < 256; ++k) in[static_cast<std::size_t>(k)] = static_cast<uint8_t>(255 - k);
  std::vector<uint8_t> out = runU8({255, 0, 10, 0, 0}, in);
  ASSERT_EQ(out.size(), 256u);
  for (std::size_t k = 0; k < 256; ++k) EXPECT_EQ(out[k], in[k] >= 138 ? 255 : 0) << int(in[k]);
}

TEST(BinAdapt, RateOneFollowsEachElement) {
  const std::vector<uint8_t> in = {0, 17, 255, 128, 3};
  EXPECT_EQ(runU8({255, 0, 0.5, 1, 0}, in), std::vector<uint8_t>(5, 0));
  EXPECT_EQ(runU8({255, 0, 0, 1, 0}, in), std::vector<uint8_t>(5, 255));
  EXPECT_EQ(runU8({255, 0, -2, 1, 2}, in), std::vector<uint8_t>(5, 255));
}

// m + consta = 265.3: an 8-bit element adapts only up to 9 (265 modulo 256), while the
// classification still uses 265.3. Rate 1 makes an update visible in the next element's result.
TEST(BinAdapt, TypeBWrapsTheUpdateThresholdForEightBitInputs) {
  const AdaptParams p{255, 0, 137.3, 1, 1};
  EXPECT_EQ(runU8(p, {9, 200}), (std::vector<uint8_t>{0, 255}));
  EXPECT_EQ(runU8(p, {10, 200}), (std::vector<uint8_t>{0, 0}));

  // A 32-bit input sees 265, so 10 adapts the mean there.
  auto inst = instance("_BinAdaptThreshImage");
  setAdapt(inst, p);
  addRow<int32_t>(inst.inputs[0], {10, 200});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{0, 255}));
}

TEST(BinAdapt, MeanRunsOnAcrossRowsAndMatrices) {
  const AdaptParams p{255, 0, 10, 0.3, 0};
  std::vector<uint8_t> in = samples<uint8_t>(24, 5);
  std::vector<uint8_t> whole = runU8(p, in);

  auto rows = instance("_BinAdaptThreshImage");
  setAdapt(rows, p);
  addMatrix<uint8_t>(rows.inputs[0], 6, 4, 1, in);
  ASSERT_TRUE(rows.run().completed);
  EXPECT_EQ(output<uint8_t>(rows, 0, 0), whole);

  auto split = instance("_BinAdaptThreshImage");
  setAdapt(split, p);
  addRow<uint8_t>(split.inputs[0], std::vector<uint8_t>(in.begin(), in.begin() + 10));
  addMatrix<uint8_t>(split.inputs[0], 7, 2, 1, std::vector<uint8_t>(in.begin() + 10, in.end()));
  ASSERT_TRUE(split.run().completed);
  std::vector<uint8_t> joined = output<uint8_t>(split, 0, 0);
  std::vector<uint8_t> second = output<uint8_t>(split, 0, 1);
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(joined, whole);
}

TEST(BinAdapt, NaNElementGetsLowerValueAndTypeBKeepsTheMean) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto inst = instance("_BinAdaptThreshImage");
  setAdapt(inst, {255, 0, 0, 1, 1});
  addRow<double>(inst.inputs[0], {nan, 128, 127});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{0, 255, 255}));

  // Type A lets the NaN into the mean; no later element is then above the threshold.
  auto a = instance("_BinAdaptThreshImage");
  setAdapt(a, {255, 0, 0, 0.5, 0});
  addRow<double>(a.inputs[0], {nan, 200, 1e9});
  ASSERT_TRUE(a.run().completed);
  EXPECT_EQ(output<uint8_t>(a, 0, 0), (std::vector<uint8_t>{0, 0, 0}));
}

// Long runs are scanned in side-by-side segments whose guessed starting means must meet the true
// mean: every element must still be as the serial scan gives it, on both kernel paths, for data
// where the guesses meet, where long flat stretches keep them apart (and the scan gives up guessing),
// with a NaN, and for rates too small to guess with.
template <class I>
void expectSerialScan(const std::vector<I>& data, int32_t x, const AdaptParams& p, const char* what) {
  for (bool baseline : {false, true}) {
    auto inst = instance("_BinAdaptThreshImage");
    setAdapt(inst, p);
    const auto half = static_cast<int32_t>(data.size() / 2) / x * x;
    std::vector<I> a(data.begin(), data.begin() + half), b(data.begin() + half, data.end());
    addMatrix<I>(inst.inputs[0], x, half / x, 1, a);
    addMatrix<I>(inst.inputs[0], static_cast<int32_t>(b.size()), 1, 1, b);
    kxhost::RunResult r;
    {
      BaselineForced forced(baseline);
      r = inst.run();
    }
    ASSERT_TRUE(r.completed) << r.error;
    std::vector<std::vector<uint8_t>> expected = reference<I, uint8_t>({a, b}, p);
    for (std::size_t i = 0; i < 2; ++i) {
      std::vector<uint8_t> got = output<uint8_t>(inst, 0, i);
      ASSERT_EQ(got.size(), expected[i].size());
      std::size_t wrong = 0;
      while (wrong < got.size() && got[wrong] == expected[i][wrong]) ++wrong;
      EXPECT_EQ(wrong, got.size()) << what << (baseline ? " (baseline)" : "") << ", matrix " << i << ", rate "
                                   << p.rate;
    }
  }
}

TEST(BinAdapt, LongRunsMatchTheSerialScan) {
  const std::size_t n = 300001;  // groups of segments, and a remainder
  std::vector<uint8_t> noise = samples<uint8_t>(n, 21);
  std::vector<uint8_t> flat(n, 200);  // flat stretches of 5000 elements between noisy ones
  for (std::size_t k = 0; k < n; ++k)
    if ((k / 5000) % 2 == 1) flat[k] = noise[k];
  std::vector<uint8_t> constant(n, 37);
  std::vector<float> wide = samples<float>(n, 22);
  // The NaN takes the true mean where no guess follows: every later segment is scanned again, until
  // the scan stops guessing.
  std::vector<double> withNaN(n * 5);
  for (std::size_t k = 0; k < withNaN.size(); ++k) withNaN[k] = noise[k % n];
  withNaN[1000] = std::numeric_limits<double>::quiet_NaN();
  for (double rate : {0.1, 0.6, 1.0, 0.002}) {
    const AdaptParams p{255, 0, -4.5, rate, 0};
    expectSerialScan(noise, 601, p, "noise");
    expectSerialScan(flat, 1000, p, "flat stretches");
    expectSerialScan(constant, 1000, p, "constant");
    expectSerialScan(wide, 777, p, "wide floats");
    expectSerialScan(withNaN, 1000, p, "NaN");
  }
}

struct BadFirst {
  int32_t x, y, planes;
};
class BinAdaptFirstMatrix : public ::testing::TestWithParam<BadFirst> {};

TEST_P(BinAdaptFirstMatrix, IsRejectedBeforeAnyOutput) {
  const BadFirst& b = GetParam();
  auto inst = instance("_BinAdaptThreshImage");
  const int32_t n = std::max(0, b.x) * std::max(0, b.y) * std::max(0, b.planes);
  addMatrix<uint8_t>(inst.inputs[0], b.x, b.y, b.planes, std::vector<uint8_t>(static_cast<std::size_t>(n), 1));
  addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, kGrey);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, BinAdaptFirstMatrix,
                         ::testing::Values(BadFirst{2, 2, 3}, BadFirst{2, 2, 2}, BadFirst{0, 3, 1}, BadFirst{3, 0, 1},
                                           BadFirst{2, 2, 0}));

// A later matrix escapes the size test, but one with several planes is refused when it is reached.
TEST(BinAdapt, LaterMultiPlaneMatrixStopsTheRunAfterEarlierOutputs) {
  auto inst = instance("_BinAdaptThreshImage");
  addRow<uint8_t>(inst.inputs[0], {200, 0});
  addMatrix<uint8_t>(inst.inputs[0], 0, 2, 1, {});
  addMatrix<uint8_t>(inst.inputs[0], 1, 1, 3, {1, 2, 3});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.error, kGrey);
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{255, 0}));
  EXPECT_EQ(inst.outputs[0].stream.matrices[1]->count(), 0u);
}

TEST(BinAdapt, EmptyStreamGivesEmptyOutputWithMetaInformation) {
  auto inst = instance("_BinAdaptThreshImage");
  inst.inputs[0].stream.meta = info(3, 3, 1, "meta");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

}  // namespace
