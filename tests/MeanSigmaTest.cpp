// Per-plane mean and spread in the output type: every type pair against a scalar reference, the
// 8-bit wrap-around and the divisions that would be by zero.
#include <cmath>

#include "support/Harness.h"
#include "support/TypePairs.h"

using namespace rktest;

namespace {

const std::string kSizeMessage = "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).";

// Integer outputs: exact 64-bit arithmetic reduced modulo 2^bits at every step.
template <class O>
constexpr uint64_t kMask = std::is_same_v<O, uint8_t> ? 0xffu : 0xffffffffu;

template <class O>
O fromBits(uint64_t bits) {
  if constexpr (std::is_same_v<O, uint8_t>)
    return static_cast<uint8_t>(bits);
  else
    return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

template <class I, class O>
std::vector<O> reference(const std::vector<I>& in, int64_t pixels, int32_t planes) {
  std::vector<O> out(static_cast<std::size_t>(2 * planes));
  for (int32_t p = 0; p < planes; ++p) {
    if constexpr (std::is_integral_v<O>) {
      uint64_t sum = 0;
      for (std::size_t k = static_cast<std::size_t>(p); k < in.size(); k += static_cast<std::size_t>(planes))
        sum = (sum + static_cast<uint64_t>(static_cast<int64_t>(pairConvert<int32_t>(double(in[k]))))) & kMask<O>;
      const O total = fromBits<O>(sum);
      const int64_t divisor = std::is_same_v<O, uint8_t> ? pixels % 256 : pixels;
      const O mean = divisor == 0 ? O(0) : static_cast<O>(int64_t(total) / divisor);
      uint64_t squares = 0;
      for (std::size_t k = static_cast<std::size_t>(p); k < in.size(); k += static_cast<std::size_t>(planes)) {
        uint64_t add;
        if constexpr (std::is_integral_v<I>) {
          const uint64_t d = static_cast<uint64_t>(int64_t(in[k]) - int64_t(mean)) & 0xffffffffu;
          add = d * d;
        } else {
          const double d = double(in[k]) - double(mean);
          add = static_cast<uint32_t>(pairConvert<int32_t>(d * d));
        }
        squares = (squares + add) & kMask<O>;
      }
      out[static_cast<std::size_t>(p)] = mean;
      out[static_cast<std::size_t>(planes + p)] =
          divisor == 0 ? O(0) : static_cast<O>(int64_t(fromBits<O>(squares)) / divisor);
    } else {
      O sum = 0;
      for (std::size_t k = static_cast<std::size_t>(p); k < in.size(); k += static_cast<std::size_t>(planes))
        sum = static_cast<O>(double(sum) + double(in[k]));
      const O mean = static_cast<O>(double(sum) / double(pixels));
      O squares = 0;
      for (std::size_t k = static_cast<std::size_t>(p); k < in.size(); k += static_cast<std::size_t>(planes)) {
        const double d = double(in[k]) - double(mean);
        squares = static_cast<O>(double(squares) + d * d);
      }
      out[static_cast<std::size_t>(p)] = mean;
      out[static_cast<std::size_t>(planes + p)] = static_cast<O>(double(squares) / double(pixels));
    }
  }
  return out;
}

template <class P>
class MittelSigmaTypes : public ::testing::Test {};
TYPED_TEST_SUITE(MittelSigmaTypes, AllTypePairs, TypePairNames);

// Streams of one plane and of three planes; the 40 x 13 matrix has enough pixels for 8-bit sums to
// wrap, and 8-bit inputs summed into doubles check the integer shortcut.
TYPED_TEST(MittelSigmaTypes, MatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const int32_t shapes[][3] = {{4, 3, 1}, {40, 13, 1}, {1, 1, 1}, {5, 2, 3}, {2, 7, 3}};
  const std::size_t streams[][2] = {{0, 3}, {3, 5}};
  uint32_t seed = 90;
  for (const auto& range : streams) {
    auto inst = instance("_MittelSigma");
    inst.outputs[0].type = code<O>();
    std::vector<std::vector<I>> data;
    for (std::size_t s = range[0]; s < range[1]; ++s) {
      data.push_back(samples<I>(static_cast<std::size_t>(shapes[s][0] * shapes[s][1] * shapes[s][2]), seed++));
      addMatrix<I>(inst.inputs[0], shapes[s][0], shapes[s][1], shapes[s][2], data.back(), "m");
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(inst.outputs[0].stream.size(), static_cast<int32_t>(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
      const auto& s = shapes[range[0] + i];
      std::vector<O> expected = reference<I, O>(data[i], int64_t(s[0]) * s[1], s[2]);
      std::vector<O> got = output<O>(inst, 0, i);
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t k = 0; k < got.size(); ++k)
        EXPECT_TRUE(sameBits(got[k], expected[k]))
            << "matrix " << range[0] + i << " element " << k << ": " << +got[k] << " vs " << +expected[k];
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      EXPECT_EQ(info.X, 2);
      EXPECT_EQ(info.Y, 1);
      EXPECT_EQ(info.Planes, s[2]);
    }
  }
}

// Long double-output sums, which are added blockwise once the sum's rounding can be foreseen: they
// must equal the serial sums bit for bit, through binade changes, huge and non-finite terms, and
// data whose squares fall halfway between representable steps of the sum.
template <class I>
void longSumsMatchTheSerialSum(const std::vector<I>& data, int32_t x) {
  auto inst = instance("_MittelSigma");
  inst.outputs[0].type = code<double>();
  const int32_t y = static_cast<int32_t>(data.size()) / x;
  addMatrix<I>(inst.inputs[0], x, y, 1, data, "m");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  std::vector<double> expected = reference<I, double>(data, int64_t(x) * y, 1);
  std::vector<double> got = output<double>(inst, 0, 0);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(sameBits(got[0], expected[0])) << got[0] << " vs " << expected[0];
  EXPECT_TRUE(sameBits(got[1], expected[1])) << got[1] << " vs " << expected[1];
}

TEST(MittelSigma, LongDoubleSumsMatchTheSerialSum) {
  const int32_t x = 300, y = 217;
  const std::size_t n = std::size_t(x) * y;
  longSumsMatchTheSerialSum(samples<uint8_t>(n, 5), x);
  longSumsMatchTheSerialSum(samples<int32_t>(n, 6), x);
  longSumsMatchTheSerialSum(samples<float>(n, 7), x);
  longSumsMatchTheSerialSum(samples<double>(n, 8), x);
  longSumsMatchTheSerialSum(samples<double>(n, 9, /*withNaN=*/true), x);
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
  longSumsMatchTheSerialSum(ties, x);
  // Mostly small values with rare large ones: terms far above the running sum.
  std::vector<uint8_t> spikes(n, 1);
  for (std::size_t k = 0; k < n; k += 9973) spikes[k] = 255;
  longSumsMatchTheSerialSum(spikes, x);
  std::vector<float> outliers = samples<float>(n, 10);
  for (std::size_t k = 4000; k < n; k += 20011) outliers[k] = 3e37f;
  longSumsMatchTheSerialSum(outliers, x);
}

TYPED_TEST(MittelSigmaTypes, ConstantMatrixHasNoSpread) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  auto inst = instance("_MittelSigma");
  inst.outputs[0].type = code<O>();
  addMatrix<I>(inst.inputs[0], 3, 3, 2, std::vector<I>(18, I(7)));
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<O>(inst, 0, 0), (std::vector<O>{7, 7, 0, 0}));
}

TEST(MittelSigma, SmallMatrixInDoubleAndInteger) {
  auto d = instance("_MittelSigma");
  addMatrix<double>(d.inputs[0], 2, 2, 1, {1, 2, 3, 4});
  ASSERT_TRUE(d.run().completed);
  EXPECT_EQ(output<double>(d, 0, 0), (std::vector<double>{2.5, 1.25}));

  auto i = instance("_MittelSigma");
  i.outputs[0].type = code<int32_t>();
  addMatrix<double>(i.inputs[0], 2, 2, 1, {1, 2, 3, 4});
  ASSERT_TRUE(i.run().completed);
  EXPECT_EQ(output<int32_t>(i, 0, 0), (std::vector<int32_t>{2, 1}));
}

TEST(MittelSigma, EightBitOutputWrapsItsSums) {
  auto inst = instance("_MittelSigma");
  inst.outputs[0].type = code<uint8_t>();
  addRow<uint8_t>(inst.inputs[0], {200, 250});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{97, 113}));
}

TEST(MittelSigma, ThreePlanesGiveMeansThenSpreads) {
  auto inst = instance("_MittelSigma");
  addMatrix<int32_t>(inst.inputs[0], 2, 1, 3, {1, 10, -4, 3, 30, -4});
  ASSERT_TRUE(inst.run().completed);
  EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{2, 20, -4, 1, 100, 0}));
}

TEST(MittelSigma, EachOutputIsNamedLikeItsInput) {
  auto inst = instance("_MittelSigma");
  const char* names[] = {"a", "bb", "ccc"};
  for (const char* n : names) {
    kxhost::Matrix& m = addRow<float>(inst.inputs[0], {1, 2, 3}, n);
    m.info().UserDatas.assign(n, 1);
  }
  ASSERT_TRUE(inst.run().completed);
  ASSERT_EQ(inst.outputs[0].stream.size(), 3);
  for (std::size_t i = 0; i < 3; ++i) {
    const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
    EXPECT_STREQ(info.Name.c_str(), names[i]);
    ASSERT_EQ(info.UserDatas.size(), 1);
    EXPECT_EQ(info.UserDatas.data()[0], names[i][0]);
  }
}

// X * Y a multiple of 256 leaves an 8-bit output no divisor: mean and spread are written as 0.
// 257 pixels divide by 1.
TEST(MittelSigma, EightBitOutputWithoutDivisorWritesZero) {
  auto inst = instance("_MittelSigma");
  inst.outputs[0].type = code<uint8_t>();
  addMatrix<uint8_t>(inst.inputs[0], 16, 16, 1, std::vector<uint8_t>(256, 3));
  addMatrix<uint8_t>(inst.inputs[0], 512, 1, 1, samples<uint8_t>(512, 3));
  addMatrix<uint8_t>(inst.inputs[0], 257, 1, 1, std::vector<uint8_t>(257, 1));
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(output<uint8_t>(inst, 0, 1), (std::vector<uint8_t>{0, 0}));
  // Sum 257 holds 1, divided by 1; each square (1 - 1)^2 is 0.
  EXPECT_EQ(output<uint8_t>(inst, 0, 2), (std::vector<uint8_t>{1, 0}));
}

struct BadMatrix {
  int32_t x, y, planes;
  bool first;  // as matrix 0, or after a valid single-plane matrix
};
class MittelSigmaRefuses : public ::testing::TestWithParam<BadMatrix> {};

TEST_P(MittelSigmaRefuses, MatrixThatHasNoFeaturesOfTheStreamLayout) {
  const BadMatrix& b = GetParam();
  auto inst = instance("_MittelSigma");
  if (!b.first) addRow<uint8_t>(inst.inputs[0], {4, 6});
  const int32_t n = std::max(0, b.x) * std::max(0, b.y) * std::max(0, b.planes);
  addMatrix<uint8_t>(inst.inputs[0], b.x, b.y, b.planes, std::vector<uint8_t>(static_cast<std::size_t>(n), 9));
  addRow<uint8_t>(inst.inputs[0], {1, 2});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, kSizeMessage);
  ASSERT_EQ(inst.outputs[0].stream.size(), b.first ? 0 : 1);
  if (!b.first) {
    EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{5, 1}));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MittelSigmaRefuses,
                         ::testing::Values(BadMatrix{0, 2, 1, true}, BadMatrix{2, 0, 1, true}, BadMatrix{2, 2, 0, true},
                                           BadMatrix{-2, -2, 1, true}, BadMatrix{2, 2, 3, false},
                                           BadMatrix{0, 2, 1, false}, BadMatrix{3, 0, 1, false},
                                           BadMatrix{-1, -4, 1, false}));

TEST(MittelSigma, EmptyStreamGivesEmptyOutputWithMetaInformation) {
  auto inst = instance("_MittelSigma");
  inst.inputs[0].stream.meta = info(2, 2, 1, "meta");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

}  // namespace
