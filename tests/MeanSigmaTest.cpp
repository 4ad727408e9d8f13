// Per-plane mean and spread in the output type: every type pair against a scalar reference, the
// 8-bit wrap-around, the divisions that would be by zero, and long sums equal to the serial ones.
#include <string>

#include "support/Sweep.h"

using namespace rktest;

namespace {

// Integer outputs: exact arithmetic reduced modulo 2^bits at every step, with no division where an
// 8-bit output's pixel count is 0 modulo 256. Floating outputs round after every addition.
template <class I, class O>
std::vector<O> reference(const std::vector<I>& in, int64_t pixels, std::size_t planes) {
  std::vector<O> out(2 * planes);
  for (std::size_t p = 0; p < planes; ++p) {
    O mean = 0, spread = 0;
    if constexpr (std::is_integral_v<O>) {
      const uint64_t mask = sizeof(O) == 1 ? 0xffu : 0xffffffffu;
      const int64_t divisor = sizeof(O) == 1 ? pixels % 256 : pixels;
      auto divided = [&](uint64_t sum) { return divisor ? O(int64_t(refConvert<O>(double(sum))) / divisor) : O(0); };
      uint64_t sum = 0, squares = 0;
      for (std::size_t k = p; k < in.size(); k += planes)
        sum = (sum + uint64_t(int64_t(refConvert<int32_t>(double(in[k]))))) & mask;
      mean = divided(sum);
      for (std::size_t k = p; k < in.size(); k += planes) {
        uint64_t e;
        if constexpr (std::is_integral_v<I>) {
          e = uint64_t(int64_t(in[k]) - int64_t(mean)) & 0xffffffffu;
          e *= e;
        } else {
          e = uint32_t(refConvert<int32_t>((double(in[k]) - double(mean)) * (double(in[k]) - double(mean))));
        }
        squares = (squares + e) & mask;
      }
      spread = divided(squares);
    } else {
      for (std::size_t k = p; k < in.size(); k += planes) mean = O(double(mean) + double(in[k]));
      mean = O(double(mean) / double(pixels));
      for (std::size_t k = p; k < in.size(); k += planes)
        spread = O(double(spread) + (double(in[k]) - double(mean)) * (double(in[k]) - double(mean)));
      spread = O(double(spread) / double(pixels));
    }
    out[p] = mean;
    out[planes + p] = spread;
  }
  return out;
}

template <class O, class I>
void expectReference(kxhost::Instance& inst, std::size_t m, const std::vector<I>& in, int32_t x, int32_t y,
                     int32_t planes) {
  EXPECT_TRUE(convertedFrom(output<O>(inst, 0, m), reference<I, O>(in, int64_t(x) * y, std::size_t(planes))))
      << "matrix " << m;
}

template <class P>
class MittelSigmaTypes : public ::testing::Test {};
TYPED_TEST_SUITE(MittelSigmaTypes, AllTypePairs, TypePairNames);

// Streams of one plane and of three (the planes of matrix 0 hold for the stream). The 40 x 13
// matrix has enough pixels for 8-bit sums to wrap; 256 and 512 pixels leave an 8-bit output no
// divisor, 257 divide by 1. Each output is named like its input.
TYPED_TEST(MittelSigmaTypes, MatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const std::vector<std::vector<int32_t>> streams[] = {
      {{4, 3, 1}, {40, 13, 1}, {1, 1, 1}, {16, 16, 1}, {512, 1, 1}, {257, 1, 1}, {1031, 1, 1}}, {{5, 2, 3}, {2, 7, 3}}};
  uint32_t seed = 90;
  for (const auto& shapes : streams) {
    auto inst = instance("_MittelSigma");
    inst.outputs[0].type = code<O>();
    std::vector<std::vector<I>> data;
    for (const auto& s : shapes) {
      data.push_back(samples<I>(std::size_t(s[0] * s[1] * s[2]), seed++));
      addMatrix<I>(inst.inputs[0], s[0], s[1], s[2], data.back(), std::to_string(seed).c_str());
    }
    inst.inputs[0].stream.matrices.back()->info().UserDatas.assign("u", 1);
    ASSERT_TRUE(runBoth(inst).completed);
    ASSERT_EQ(inst.outputs[0].stream.size(), int32_t(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
      expectReference<O>(inst, i, data[i], shapes[i][0], shapes[i][1], shapes[i][2]);
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      EXPECT_EQ(std::tuple(info.X, info.Y, info.Planes), std::tuple(2, 1, shapes[i][2]));
      EXPECT_STREQ(info.Name.c_str(), inst.inputs[0].stream.matrices[i]->info().Name.c_str());
      EXPECT_EQ(info.UserDatas.size(), i + 1 == data.size());
    }
  }
}

// Long double-output sums, which are added blockwise once the sum's rounding can be foreseen: they
// must equal the serial sums bit for bit, through binade changes, huge and non-finite terms, and
// data whose squares fall halfway between representable steps of the sum.
TEST(MittelSigma, LongDoubleSumsMatchTheSerialSum) {
  const int32_t x = 300, y = 217;
  const std::size_t n = std::size_t(x) * y;
  auto run = [&]<class I>(const std::vector<I>& data) {
    auto inst = instance("_MittelSigma");
    inst.outputs[0].type = code<double>();
    addMatrix<I>(inst.inputs[0], x, y, 1, data);
    ASSERT_TRUE(inst.run().completed);
    expectReference<double>(inst, 0, data, x, y, 1);
  };
  run(samples<uint8_t>(n, 5));
  run(samples<int32_t>(n, 6));
  run(samples<float>(n, 7));
  run(samples<double>(n, 8));
  run(samples<double>(n, 9, /*withNaN=*/true));
  // The sum is 2 + 2^-51 (an odd number of its steps 2^-51) after the first block, then every square
  // 2^-52 is halfway between steps: the first one rounds the sum up to even, the others leave it.
  std::vector<double> ties(n, 0.0);
  ties[0] = 1.0 + 0x1p-52;
  ties[1] = -1.0;
  ties[2] = -0x1p-52;
  for (std::size_t k = 4096; k + 1 < n; k += 2) {
    ties[k] = 0x1p-26;
    ties[k + 1] = -0x1p-26;
  }
  run(ties);
  // Mostly small values with rare large ones: terms far above the running sum.
  std::vector<uint8_t> spikes(n, 1);
  for (std::size_t k = 0; k < n; k += 9973) spikes[k] = 255;
  run(spikes);
  std::vector<float> outliers = samples<float>(n, 10);
  for (std::size_t k = 4000; k < n; k += 20011) outliers[k] = 3e37f;
  run(outliers);
}

// A matrix without elements, as matrix 0 or after a valid one: the run stops there.
TEST(MittelSigma, MatrixWithoutElementsStopsTheRun) {
  const int32_t bad[][4] = {{0, 2, 1, 1}, {2, 0, 1, 1}, {2, 2, 0, 1}, {-2, -2, 1, 1},
                            {2, 2, 3, 0}, {0, 2, 1, 0}, {3, 0, 1, 0}, {-1, -4, 1, 0}};
  for (const auto& b : bad) {
    auto inst = instance("_MittelSigma");
    if (!b[3]) addRow<uint8_t>(inst.inputs[0], {4, 6});
    const auto n = std::size_t(std::max(0, b[0]) * std::max(0, b[1]) * std::max(0, b[2]));
    addMatrix<uint8_t>(inst.inputs[0], b[0], b[1], b[2], std::vector<uint8_t>(n, 9));
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    kxhost::RunResult r = inst.run();
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).");
    ASSERT_EQ(inst.outputs[0].stream.size(), b[3] ? 0 : 1);
    if (!b[3]) {
      EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{5, 1}));
    }
  }
}

TEST(MittelSigma, EmptyStreamGivesEmptyOutputWithMetaInformation) {
  auto inst = instance("_MittelSigma");
  inst.inputs[0].stream.meta = info(2, 2, 1, "meta");
  ASSERT_TRUE(inst.run().completed);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

}  // namespace
