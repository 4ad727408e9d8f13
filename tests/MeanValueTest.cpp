// Means per matrix, per plane and over the stream: every type pair against a scalar reference, and
// the checks of each mode.
#include "support/Harness.h"

using namespace rktest;

namespace {

// The mean of the values at index k and every `step` after it, given `divisor`: integer outputs
// add 32-bit truncated elements modulo 2^32 (kept apart from an 8-bit output's elements), floats
// round after each addition.
template <class O, class I>
O refMean(const std::vector<I>& in, std::size_t k, std::size_t step, int64_t divisor) {
  uint32_t bits = 0;
  double value = 0;
  for (; k < in.size(); k += step) {
    if constexpr (std::is_integral_v<O>)
      bits += uint32_t(refConvert<int32_t>(double(in[k])));
    else
      value = double(O(value + double(in[k])));
  }
  if constexpr (std::is_integral_v<O>)
    return refConvert<O>(double(int64_t(int32_t(bits)) / divisor));
  else
    return O(value / double(divisor));
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

// Mode 0 (per matrix), 1 (per plane) and 2 (the mean matrix, named after the first). The long
// single plane of odd length is summed in vector lanes and in blocks of many thousand elements.
TYPED_TEST(MittelWertTypes, EveryModeMatchesReference) {
  using I = typename TypeParam::In;
  using O = typename TypeParam::Out;
  const int32_t mats[][3] = {{5, 3, 3}, {4, 4, 1}, {1, 1, 2}, {301, 300, 1}};
  for (int32_t mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    auto inst = meanInstance(mode, code<O>());
    std::vector<std::vector<I>> stream;
    for (std::size_t i = 0; i < (mode == 2 ? 5u : 4u); ++i) {
      const int32_t* m = mode == 2 ? mats[0] : mats[i];
      stream.push_back(samples<I>(std::size_t(m[0] * m[1] * m[2]), 40 + uint32_t(i)));
      addMatrix<I>(inst.inputs[0], m[0], m[1], m[2], stream.back(), i ? "later" : "first")
          .info()
          .UserDatas.assign(i ? "l" : "f", 1);
    }
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(inst.outputs[0].stream.size(), mode == 2 ? 1 : 4);
    for (std::size_t i = 0; i < std::size_t(inst.outputs[0].stream.size()); ++i) {
      const int32_t* m = mode == 2 ? mats[0] : mats[i];
      const std::size_t n = mode == 0 ? 1 : mode == 1 ? std::size_t(m[2]) : stream[0].size();
      std::vector<O> want;
      for (std::size_t k = 0; k < n; ++k) {
        if (mode < 2) {
          want.push_back(refMean<O>(stream[i], k, n, mode == 0 ? int64_t(stream[i].size()) : int64_t(m[0]) * m[1]));
        } else {
          std::vector<I> column;
          for (const auto& s : stream) column.push_back(s[k]);
          want.push_back(refMean<O>(column, 0, 1, 5));
        }
      }
      EXPECT_TRUE(convertedFrom(output<O>(inst, 0, i), want)) << "matrix " << i;
      const kxMInfo& info = inst.outputs[0].stream.matrices[i]->info();
      const auto shape = mode == 2 ? std::tuple(5, 3, 3) : std::tuple(1, 1, mode == 0 ? 1 : m[2]);
      EXPECT_EQ(std::tuple(info.X, info.Y, info.Planes), shape);
      EXPECT_STREQ(info.Name.c_str(), i ? "later" : "first");
      ASSERT_EQ(info.UserDatas.size(), 1);
      EXPECT_EQ(static_cast<char>(info.UserDatas.data()[0]), i ? 'l' : 'f');
    }
  }
}

TEST(MittelWert, EmptyMatrixStopsTheRunWhenReached) {
  for (int32_t mode : {0, 1, 7}) {
    auto inst = meanInstance(mode, code<double>());
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    addMatrix<uint8_t>(inst.inputs[0], 0, 1, 1, {});
    kxhost::RunResult r = inst.run();
    EXPECT_TRUE(r.processorError);
    EXPECT_EQ(r.error, "Es werden Matrizen (Vektoren) erwartet (x>0, y>0, Planes>0).");
    EXPECT_EQ(inst.outputs[0].stream.size(), 1) << "mode " << mode;
  }
}

TEST(MittelWert, UnknownModeCreatesEmptyOutputPerMatrix) {
  for (int32_t mode : {3, -1}) {
    auto inst = meanInstance(mode, code<int32_t>());
    addMatrix<int32_t>(inst.inputs[0], 2, 2, 1, {5, 6, 7, 8}, "a");
    addMatrix<int32_t>(inst.inputs[0], 3, 1, 1, {5, 6, 7}, "b");
    ASSERT_TRUE(inst.run().completed);
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
  ASSERT_TRUE(inst.run().completed);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
}

// Only the mean matrix needs matrices of one size; the host refuses others before anything is written.
TEST(MittelWert, MeanMatrixRefusesUnequalSizesBeforeReading) {
  for (int32_t mode : {2, 1}) {
    auto inst = meanInstance(mode, code<double>());
    addRow<uint8_t>(inst.inputs[0], {1, 2});
    addRow<uint8_t>(inst.inputs[0], {1, 2, 3});
    kxhost::RunResult r = inst.run();
    EXPECT_EQ(r.completed, mode == 1);
    EXPECT_FALSE(r.processorError);
    EXPECT_EQ(inst.outputs[0].stream.metaSet, mode == 1);
    if (mode == 1) {
      EXPECT_EQ(output<double>(inst, 0, 1), std::vector<double>{2});
    }
  }
}

}  // namespace
