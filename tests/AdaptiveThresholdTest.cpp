// Running-mean binarisation: every type pair against a scalar reference, the mean carried across
// rows and matrices, long runs on both kernel paths, and the grey-image checks.
#include "support/Sweep.h"

using namespace rktest;

namespace {

const std::string kGrey = "Es werden Grauwertbilder (1 Planes) erwartet.";

struct AdaptParams {
  double above, below, consta, rate;
  int32_t type;
};

kxhost::Instance adapt(const AdaptParams& p) {
  auto inst = instance("_BinAdaptThreshImage");
  setParam(inst, "above", p.above);
  setParam(inst, "below", p.below);
  setParam(inst, "consta", p.consta);
  setParam(inst, "offset", p.rate);
  setParam(inst, "TA", p.type);
  return inst;
}

// The scan over a whole stream, written from the rule: the mean m starts at 128 and every element
// may move it (type B only those not above the threshold, seen in the input type) before it is
// compared with m + consta.
template <class I, class O>
std::vector<std::vector<O>> reference(const std::vector<std::vector<I>>& stream, const AdaptParams& p) {
  double m = 128.0;
  std::vector<std::vector<O>> result;
  for (const std::vector<I>& matrix : stream) {
    result.emplace_back();
    for (I raw : matrix) {
      const double v = double(raw);
      bool update = true;
      if (p.type == 1) {
        if constexpr (std::is_integral_v<I>)
          update = v <= double(refConvert<I>(m + p.consta));
        else
          update = v <= m + p.consta;
      }
      if (update) m = m + (v - m) * p.rate;
      const double t = m + p.consta;
      result.back().push_back(refConvert<O>(!(v < t) && !std::isnan(v) && !std::isnan(t) ? p.above : p.below));
    }
  }
  return result;
}

template <class P>
class AdaptiveThresholdTypes : public ::testing::Test {};
TYPED_TEST_SUITE(AdaptiveThresholdTypes, AllTypePairs, TypePairNames);

// Three matrices of several rows each, so the mean is carried across rows and matrices (for type B
// with NaN among the floating elements, which it keeps out of the mean); type B with a large offset pushes the
// threshold past 255, where an 8-bit input sees it modulo 256.
TYPED_TEST(AdaptiveThresholdTypes, MatchesReferenceAcrossRowsAndMatrices) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const AdaptParams sets[] = {{255, 0, 10, 0.1, 0},   {1000.5, -7.9, -3, 0.37, 2}, {256, 3e9, 10, 0.1, 1},
                              {9, 4, 137.3, 0.25, 1}, {-1, 2.5, 0.5, 1.0, 1},      {7, 1, -2, 1.0, 0},
                              {255, 0, 137.3, 1.0, 1}};
  uint32_t seed = 11;
  for (const AdaptParams& p : sets) {
    auto inst = adapt(p);
    inst.outputs[0].type = code<O>();
    std::vector<std::vector<I>> stream;
    for (const auto& s : {std::pair{7, 3}, std::pair{1, 4}, std::pair{5, 2}}) {
      stream.push_back(samples<I>(std::size_t(s.first * s.second), seed++, p.type == 1));
      addMatrix<I>(inst.inputs[0], s.first, s.second, 1, stream.back());
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    const std::vector<std::vector<O>> want = reference<I, O>(stream, p);
    ASSERT_EQ(inst.outputs[0].stream.size(), 3);
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(output<O>(inst, 0, i), want[i]) << "matrix " << i << ", consta " << p.consta << ", TA " << p.type;
  }
}

// The catalogue's defaults; then rate 0, a fixed threshold where equality counts as above.
TEST(AdaptiveThreshold, DefaultsAndAFixedThreshold) {
  auto inst = instance("_BinAdaptThreshImage");
  addRow<uint8_t>(inst.inputs[0], {200, 200, 50});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{255, 255, 0}));

  std::vector<uint8_t> in(256);
  for (std::size_t k = 0; k < 256; ++k) in[k] = uint8_t(255 - k);
  auto fixed = adapt({255, 0, 10, 0, 0});
  addRow<uint8_t>(fixed.inputs[0], in);
  ASSERT_TRUE(fixed.run().completed);
  const std::vector<uint8_t> out = output<uint8_t>(fixed, 0, 0);
  for (std::size_t k = 0; k < 256; ++k) EXPECT_EQ(out[k], in[k] >= 138 ? 255 : 0) << int(in[k]);
}

// Long runs are scanned in side-by-side segments whose guessed starting means must meet the true
// mean: every element must still be as the serial scan gives it, on both kernel paths, for data
// where the guesses meet, where long flat stretches keep them apart (and the scan gives up guessing),
// with a NaN, and for rates too small to guess with.
TEST(AdaptiveThreshold, LongRunsMatchTheSerialScan) {
  const std::size_t n = 540001;  // two groups of segments per matrix, and a remainder
  const std::vector<uint8_t> noise = samples<uint8_t>(n, 21);
  std::vector<uint8_t> flat(n, 200);  // flat stretches of 5000 elements between noisy ones
  for (std::size_t k = 0; k < n; ++k)
    if ((k / 5000) % 2 == 1) flat[k] = noise[k];
  // The NaN takes the true mean where no guess follows: every later segment is scanned again, until
  // the scan stops guessing.
  std::vector<double> withNaN(n * 5);
  for (std::size_t k = 0; k < withNaN.size(); ++k) withNaN[k] = noise[k % n];
  withNaN[1000] = NAN;
  for (double rate : {0.1, 0.6, 1.0, 0.002}) {
    const AdaptParams p{255, 0, -4.5, rate, 0};
    auto scan = [&]<class I>(const std::vector<I>& data, int32_t x) {
      SCOPED_TRACE(::testing::Message() << sizeof(I) << "-byte elements by " << x << ", rate " << rate);
      auto inst = adapt(p);
      const auto half = std::ptrdiff_t(data.size() / 2) / x * x;
      const std::vector<I> a(data.begin(), data.begin() + half), b(data.begin() + half, data.end());
      addMatrix<I>(inst.inputs[0], x, int32_t(half / x), 1, a);
      addRow<I>(inst.inputs[0], b);
      const kxhost::RunResult r = runBoth(inst);
      ASSERT_TRUE(r.completed) << r.error;
      const auto want = reference<I, uint8_t>({a, b}, p);
      for (std::size_t i = 0; i < 2; ++i) {
        const std::vector<uint8_t> got = output<uint8_t>(inst, 0, i);
        ASSERT_EQ(got.size(), want[i].size());
        EXPECT_TRUE(got == want[i]) << "matrix " << i << " differs first at "
                                    << std::mismatch(got.begin(), got.end(), want[i].begin()).first - got.begin();
      }
    };
    scan(noise, 601);
    scan(flat, 1000);
    scan(std::vector<uint8_t>(n, 37), 1000);
    scan(samples<float>(n, 22), 777);
    scan(withNaN, 1000);
  }
}

// The first matrix must be a grey image; a later one escapes the size test, but one with several
// planes is refused when it is reached.
TEST(AdaptiveThreshold, GreyImagesOnly) {
  for (const auto& [x, y, planes] : {std::tuple{2, 2, 3}, {2, 2, 2}, {0, 3, 1}, {3, 0, 1}, {2, 2, 0}}) {
    auto inst = instance("_BinAdaptThreshImage");
    const auto n = std::size_t(std::max(0, x) * std::max(0, y) * std::max(0, planes));
    addMatrix<uint8_t>(inst.inputs[0], x, y, planes, std::vector<uint8_t>(n, 1));
    addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
    kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, kGrey);
    EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  }
  auto inst = instance("_BinAdaptThreshImage");
  addRow<uint8_t>(inst.inputs[0], {200, 0});
  addMatrix<uint8_t>(inst.inputs[0], 0, 2, 1, {});
  addMatrix<uint8_t>(inst.inputs[0], 1, 1, 3, {1, 2, 3});
  kxhost::RunResult r = inst.run();
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, kGrey);
  ASSERT_EQ(inst.outputs[0].stream.size(), 2);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{255, 0}));
  EXPECT_EQ(inst.outputs[0].stream.matrices[1]->count(), 0u);
}

}  // namespace
