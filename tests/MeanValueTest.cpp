// Means per matrix, per plane and over the stream: every type pair against a scalar reference.
#include <cmath>

#include "support/Harness.h"
#include "support/TypePairs.h"

using namespace rktest;

namespace {

const std::string kSizeMessage = "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).";

// Sums as the output type holds them: integer outputs add 32-bit truncated elements modulo 2^32
// (kept apart from an 8-bit output's elements), floats round after each addition.
template <class O>
struct RefSum {
  double value = 0;   // floating outputs
  uint64_t bits = 0;  // integer outputs: the sum modulo 2^32

  template <class I>
  void add(I v) {
    if constexpr (std::is_integral_v<O>) {
      bits = (bits + static_cast<uint32_t>(pairConvert<int32_t>(static_cast<double>(v)))) & 0xffffffffu;
    } else {
      value = static_cast<double>(static_cast<O>(value + static_cast<double>(v)));
    }
  }
  O mean(int64_t divisor) const {
    if constexpr (std::is_integral_v<O>) {
      const int64_t sum = bits >= 0x80000000u ? static_cast<int64_t>(bits) - 4294967296 : static_cast<int64_t>(bits);
      return pairConvert<O>(static_cast<double>(sum / divisor));
    } else {
      return static_cast<O>(value / static_cast<double>(divisor));
    }
  }
};

struct Mat {
  int32_t x, y, planes;
};

template <class I, class O>
std::vector<O> referenceMean(const std::vector<I>& in, const Mat& m, int mode) {
  const int32_t q = mode == 0 ? 1 : m.planes;
  std::vector<RefSum<O>> sums(static_cast<std::size_t>(q));
  for (std::size_t k = 0; k < in.size(); ++k) sums[k % static_cast<std::size_t>(q)].add(in[k]);
  std::vector<O> out;
  for (const RefSum<O>& s : sums) out.push_back(s.mean(mode == 0 ? int64_t(in.size()) : int64_t(m.x) * m.y));
  return out;
}

template <class I, class O>
std::vector<O> referenceMeanMatrix(const std::vector<std::vector<I>>& stream) {
  std::vector<RefSum<O>> sums(stream[0].size());
  for (const auto& matrix : stream)
    for (std::size_t k = 0; k < matrix.size(); ++k) sums[k].add(matrix[k]);
  std::vector<O> out;
  for (const RefSum<O>& s : sums) out.push_back(s.mean(static_cast<int64_t>(stream.size())));
  return out;
}

kxhost::Instance meanInstance(int32_t mode, kxType out) {
  auto inst = instance("_MittelWert");
  setParam(inst, "Mittelwerttyp", mode);
  inst.outputs[0].type = out;
  return inst;
}

template <class P>
class MittelWertTypes : public ::testing::Test {};
TYPED_TEST_SUITE(MittelWertTypes, AllTypePairs, TypePairNames);

TYPED_TEST(MittelWertTypes, PerMatrixAndPerPlaneMatchReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const Mat mats[] = {{5, 3, 3}, {4, 4, 1}, {1, 1, 2}};
  for (int mode : {0, 1}) {
    auto inst = meanInstance(mode, code<O>());
    std::vector<std::vector<I>> stream;
    uint32_t seed = 40;
    for (const Mat& m : mats) {
      stream.push_back(samples<I>(static_cast<std::size_t>(m.x * m.y * m.planes), seed++));
      kxhost::Matrix& added = addMatrix<I>(inst.inputs[0], m.x, m.y, m.planes, stream.back(), "obj");
      const unsigned char user[] = {static_cast<unsigned char>(seed)};
      added.info().UserDatas.assign(user, 1);
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(inst.outputs[0].stream.size(), 3);
    for (std::size_t i = 0; i < 3; ++i) {
      std::vector<O> expected = referenceMean<I, O>(stream[i], mats[i], mode);
      std::vector<O> got = output<O>(inst, 0, i);
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t c = 0; c < got.size(); ++c)
        EXPECT_TRUE(sameBits(got[c], expected[c]))
            << "mode " << mode << " matrix " << i << " plane " << c << ": " << +got[c] << " vs " << +expected[c];
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      EXPECT_EQ(info.X, 1);
      EXPECT_EQ(info.Y, 1);
      EXPECT_EQ(info.Planes, mode == 0 ? 1 : mats[i].planes);
      EXPECT_STREQ(info.Name.c_str(), "obj");
      ASSERT_EQ(info.UserDatas.size(), 1);
      EXPECT_EQ(info.UserDatas.data()[0], static_cast<unsigned char>(41 + i));
    }
  }
}

// A long single plane, of odd length, is summed in vector lanes and in blocks of many thousand
// elements: the result must still be that of the serial sum.
TYPED_TEST(MittelWertTypes, PerMatrixMeanOfLongRunMatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const Mat m{301, 300, 1};
  auto inst = meanInstance(0, code<O>());
  const std::vector<I> in = samples<I>(static_cast<std::size_t>(m.x * m.y), 77);
  addMatrix<I>(inst.inputs[0], m.x, m.y, m.planes, in, "long");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  const std::vector<O> expected = referenceMean<I, O>(in, m, 0);
  const std::vector<O> got = output<O>(inst, 0, 0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(sameBits(got[0], expected[0])) << +got[0] << " vs " << +expected[0];
}

TYPED_TEST(MittelWertTypes, MeanMatrixMatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  auto inst = meanInstance(2, code<O>());
  std::vector<std::vector<I>> stream;
  for (uint32_t s = 0; s < 5; ++s) {
    stream.push_back(samples<I>(3 * 2 * 2, 60 + s));
    addMatrix<I>(inst.inputs[0], 3, 2, 2, stream.back(), s == 0 ? "first" : "later");
  }
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  std::vector<O> expected = referenceMeanMatrix<I, O>(stream);
  std::vector<O> got = output<O>(inst, 0, 0);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t k = 0; k < got.size(); ++k)
    EXPECT_TRUE(sameBits(got[k], expected[k])) << k << ": " << +got[k] << " vs " << +expected[k];
  const kxMInfo& info = inst.outputs[0].stream.matrices[0]->info();
  EXPECT_EQ(info.X, 3);
  EXPECT_EQ(info.Y, 2);
  EXPECT_EQ(info.Planes, 2);
  EXPECT_STREQ(info.Name.c_str(), "first");
}

TEST(MittelWert, PerMatrixMeanOfSmallMatrix) {
  const double expected[] = {2, 0, 2, 0, 2.5};  // by output code: 8-bit and 32-bit truncate 10 / 4
  for (kxType out : {0, 2, 4}) {
    auto inst = meanInstance(0, out);
    addMatrix<double>(inst.inputs[0], 2, 2, 1, {1, 2, 3, 4});
    ASSERT_TRUE(inst.run().completed);
    const kxhost::Matrix& m = *inst.outputs[0].stream.matrices.at(0);
    ASSERT_EQ(m.count(), 1u);
    const double got = out == 0 ? m.as<uint8_t>()[0] : out == 2 ? m.as<int32_t>()[0] : m.as<double>()[0];
    EXPECT_EQ(got, expected[out]) << "output code " << out;
  }
}

TEST(MittelWert, PerPlaneMeansOfTwoColourPixels) {
  const std::vector<uint8_t> in = {10, 20, 30, 20, 40, 61};
  auto d = meanInstance(1, code<double>());
  addMatrix<uint8_t>(d.inputs[0], 2, 1, 3, in);
  ASSERT_TRUE(d.run().completed);
  EXPECT_EQ(output<double>(d, 0, 0), (std::vector<double>{15, 30, 45.5}));
  auto i = meanInstance(1, code<int32_t>());
  addMatrix<uint8_t>(i.inputs[0], 2, 1, 3, in);
  ASSERT_TRUE(i.run().completed);
  EXPECT_EQ(output<int32_t>(i, 0, 0), (std::vector<int32_t>{15, 30, 45}));
}

TEST(MittelWert, MeanMatrixOfThreeMatricesCarriesFirstNameAndUserData) {
  auto inst = meanInstance(2, code<double>());
  kxhost::Matrix& first = addMatrix<double>(inst.inputs[0], 2, 1, 1, {1, 2}, "one");
  const unsigned char user[] = {42, 43};
  first.info().UserDatas.assign(user, 2);
  addMatrix<double>(inst.inputs[0], 2, 1, 1, {3, 4}, "two");
  addMatrix<double>(inst.inputs[0], 2, 1, 1, {5, 9}, "three");
  ASSERT_TRUE(inst.run().completed);
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  EXPECT_EQ(output<double>(inst, 0, 0), (std::vector<double>{3, 5}));
  const kxMInfo& info = inst.outputs[0].stream.matrices[0]->info();
  EXPECT_STREQ(info.Name.c_str(), "one");
  ASSERT_EQ(info.UserDatas.size(), 2);
  EXPECT_EQ(info.UserDatas.data()[1], 43);
}

TEST(MittelWert, IntegerSumsTruncateElementsAndKeep32Bits) {
  auto trunc = meanInstance(0, code<int32_t>());
  addRow<double>(trunc.inputs[0], {2.9, 2.9, -2.9, 2.9});
  ASSERT_TRUE(trunc.run().completed);
  EXPECT_EQ(output<int32_t>(trunc, 0, 0), std::vector<int32_t>{1});  // (2 + 2 - 2 + 2) / 4

  auto wide = meanInstance(0, code<uint8_t>());
  addRow<uint8_t>(wide.inputs[0], {200, 250});
  ASSERT_TRUE(wide.run().completed);
  EXPECT_EQ(output<uint8_t>(wide, 0, 0), std::vector<uint8_t>{225});

  auto wraps = meanInstance(0, code<int32_t>());
  addRow<int32_t>(wraps.inputs[0], {1 << 30, 1 << 30});
  ASSERT_TRUE(wraps.run().completed);
  EXPECT_EQ(output<int32_t>(wraps, 0, 0), std::vector<int32_t>{-(1 << 30)});
}

TEST(MittelWert, EmptyMatrixStopsTheRunWhenReached) {
  for (int mode : {0, 1, 7}) {
    auto inst = meanInstance(mode, code<double>());
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    addMatrix<uint8_t>(inst.inputs[0], 0, 1, 1, {});
    kxhost::RunResult r = inst.run();
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, kSizeMessage);
    EXPECT_EQ(inst.outputs[0].stream.size(), 1) << "mode " << mode;
  }
}

TEST(MittelWert, UnknownModeCreatesEmptyOutputPerMatrix) {
  for (int32_t mode : {3, -1}) {
    auto inst = meanInstance(mode, code<int32_t>());
    addMatrix<int32_t>(inst.inputs[0], 2, 2, 1, {5, 6, 7, 8}, "a");
    addMatrix<int32_t>(inst.inputs[0], 3, 1, 1, {5, 6, 7}, "b");
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    for (const auto& m : inst.outputs[0].stream.matrices) {
      EXPECT_EQ(m->count(), 0u);
      EXPECT_STREQ(m->info().Name.c_str(), "");
    }
  }
}

TEST(MittelWert, MeanMatrixOfEmptyStreamIsNoMatrix) {
  auto inst = meanInstance(2, code<uint8_t>());
  inst.inputs[0].stream.meta = info(1, 1, 1, "meta");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

TEST(MittelWert, MeanMatrixRefusesUnequalSizesBeforeReading) {
  auto inst = meanInstance(2, code<double>());
  addRow<uint8_t>(inst.inputs[0], {1, 2});
  addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());

  // The other modes take matrices of any size.
  auto any = meanInstance(1, code<double>());
  addRow<uint8_t>(any.inputs[0], {1, 2});
  addRow<uint8_t>(any.inputs[0], {1, 2, 3});
  ASSERT_TRUE(any.run().completed);
  EXPECT_EQ(output<double>(any, 0, 1), std::vector<double>{2});
}

}  // namespace
