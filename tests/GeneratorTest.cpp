// _ConstImage and _ImagePlane: values on every output type, names, sizes the host refuses or empties.
#include <algorithm>
#include <tuple>

#include "support/Harness.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

void setDouble(kxhost::Instance& inst, const char* name, double v) {
  const int n = inst.paramIndex(name);
  ASSERT_GE(n, 0) << name;
  inst.params[n] = tagVARIANT{};
  inst.params[n].vt = VT_R8;
  inst.params[n].dblVal = v;
}

void setInt(kxhost::Instance& inst, const char* name, int32_t v) {
  const int n = inst.paramIndex(name);
  ASSERT_GE(n, 0) << name;
  inst.params[n] = tagVARIANT{};
  inst.params[n].vt = VT_I4;
  inst.params[n].lVal = v;
}

const kxMInfo& outInfo(const kxhost::Instance& inst, std::size_t i) {
  return inst.outputs[0].stream.matrices.at(i)->info();
}

// ---- _ConstImage -------------------------------------------------------------------------------

class ConstSweep : public ::testing::TestWithParam<std::tuple<kxType, double>> {};

TEST_P(ConstSweep, ConstantConvertedOnceToOutputType) {
  const auto [codeO, scalar] = GetParam();
  withType(codeO, [&]<class O>() {
    auto inst = instance("_ConstImage");
    setDouble(inst, "scalar", scalar);
    setInt(inst, "X", 7);
    setInt(inst, "Y", 5);
    setInt(inst, "Plane", 3);
    setInt(inst, "MCount", 2);
    inst.outputs[0].type = codeO;
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(outInfo(inst, i).Name.c_str(), "ConstImage " + std::to_string(i));
      EXPECT_TRUE(sameValues(output<O>(inst, 0, i), std::vector<O>(105, refConvert<O>(scalar)))) << "matrix " << i;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Values, ConstSweep,
                         ::testing::Combine(::testing::ValuesIn(kImageCodes),
                                            ::testing::Values(1.0, 300.0, -1.0, 2.7, -2.7, 0.1, -0.0, 3e9, 1e10, 1e19,
                                                              std::nan(""), -HUGE_VAL)));

TEST(ConstImage, DefaultsGiveOneNamedMatrixOfOnes) {
  auto inst = instance("_ConstImage");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  const kxMInfo& m = outInfo(inst, 0);
  EXPECT_EQ(m.X, 100);
  EXPECT_EQ(m.Y, 100);
  EXPECT_EQ(m.Planes, 1);
  EXPECT_EQ(m.Count, 10000);
  EXPECT_STREQ(m.Name.c_str(), "ConstImage 0");
  EXPECT_EQ(output<uint8_t>(inst, 0, 0), std::vector<uint8_t>(10000, 1));
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
}

// The integer parameters come from the VARIANT's integer member whatever its tag says: a double
// 100.0 has zero low bytes, so the width reads as 0.
TEST(ConstImage, ParametersReadFromTheirVariantMembers) {
  auto inst = instance("_ConstImage");
  setDouble(inst, "X", 100.0);
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  EXPECT_EQ(outInfo(inst, 0).X, 0);
  EXPECT_EQ(inst.outputs[0].stream.matrices[0]->count(), 0u);
}

// ---- sizes the host empties or refuses (both generators) ---------------------------------------

struct SizeCase {
  int32_t count, x, y, planes;
  int32_t matrices;  // created
};

class GeneratorSizes : public ::testing::TestWithParam<std::tuple<const char*, SizeCase>> {};

// Sizes are passed on unchecked; a member of zero or below gives matrices without elements, even
// where the 32-bit product of the members is positive, and the element loops write nothing.
TEST_P(GeneratorSizes, NonPositiveSizesGiveMatricesWithoutElements) {
  const auto [entry, s] = GetParam();
  const bool plane = std::string(entry) == "_ImagePlane";
  auto inst = instance(entry);
  setInt(inst, "MCount", s.count);
  setInt(inst, "X", s.x);
  setInt(inst, "Y", s.y);
  setInt(inst, plane ? "Planes" : "Plane", s.planes);
  inst.outputs[0].type = 4;
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.returned, 1);
  ASSERT_EQ(inst.outputs[0].stream.size(), s.matrices);
  for (int32_t i = 0; i < s.matrices; ++i) {
    const kxhost::Matrix& m = *inst.outputs[0].stream.matrices[std::size_t(i)];
    EXPECT_EQ(m.count(), 0u);
    EXPECT_EQ(m.info().X, s.x);
    EXPECT_EQ(m.info().Y, s.y);
    EXPECT_EQ(m.info().Planes, s.planes);
    EXPECT_STREQ(m.info().Name.c_str(), ((plane ? "Picture " : "ConstImage ") + std::to_string(i)).c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Empty, GeneratorSizes,
                         ::testing::Combine(::testing::Values("_ConstImage", "_ImagePlane"),
                                            ::testing::Values(SizeCase{0, 10, 10, 1, 0}, SizeCase{-3, 10, 10, 1, 0},
                                                              SizeCase{2, 0, 10, 1, 2}, SizeCase{1, 10, 0, 1, 1},
                                                              SizeCase{1, 10, 10, 0, 1},
                                                              SizeCase{1, -100, -100, 1, 1},  // product 10000
                                                              SizeCase{1, -64, 64, -64, 1}, SizeCase{1, 5, -1, 1, 1})));

struct RefusedCase {
  int32_t count, x, y, planes;
  uint64_t maxMatrixBytes, maxRunBytes;
  int32_t completeMatrices;  // created and filled before the host refused
  const char* errorPart;
};

class GeneratorRefused : public ::testing::TestWithParam<std::tuple<const char*, RefusedCase>> {};

// The host decides what it can create; its exception ends the run, the matrices made before stay.
TEST_P(GeneratorRefused, HostExceptionEndsTheRun) {
  const auto [entry, s] = GetParam();
  const bool plane = std::string(entry) == "_ImagePlane";
  auto inst = instance(entry);
  setInt(inst, "MCount", s.count);
  setInt(inst, "X", s.x);
  setInt(inst, "Y", s.y);
  setInt(inst, plane ? "Planes" : "Plane", s.planes);
  inst.limits.maxMatrixBytes = s.maxMatrixBytes;
  inst.limits.maxRunBytes = s.maxRunBytes;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_NE(r.error.find(s.errorPart), std::string::npos) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), s.completeMatrices);
  for (int32_t i = 0; i < s.completeMatrices; ++i) {
    std::vector<uint8_t> got = output<uint8_t>(inst, 0, std::size_t(i));
    ASSERT_EQ(got.size(), std::size_t(s.x) * std::size_t(s.y) * std::size_t(s.planes));
    // The last element is max(x-1, y-1) on the ramp (sizes below 256 here), 1 for the constant.
    EXPECT_EQ(got.back(), plane ? std::max(s.x, s.y) - 1 : 1);
  }
}

constexpr uint64_t kBig = uint64_t(1) << 40;

INSTANTIATE_TEST_SUITE_P(Limits, GeneratorRefused,
                         ::testing::Combine(::testing::Values("_ConstImage", "_ImagePlane"),
                                            ::testing::Values(
                                                // 2^32 elements wrap to a 32-bit count of 0
                                                RefusedCase{1, 65536, 65536, 1, kBig, kBig, 0, "32-bit element count"},
                                                RefusedCase{1, 2, 1073741824, 2, kBig, kBig, 0, "32-bit element count"},
                                                RefusedCase{2, 100, 100, 1, 9999, kBig, 0, "limit"},
                                                RefusedCase{3, 100, 100, 1, kBig, 25000, 2, "allocation limit"})));

// ---- _ImagePlane -------------------------------------------------------------------------------

struct Ramp {
  double slope, offset;
  int32_t x, y, planes;
};

class RampSweep : public ::testing::TestWithParam<std::tuple<kxType, Ramp>> {};

TEST_P(RampSweep, RampOverLargerIndexCutToEightBits) {
  const auto [codeO, p] = GetParam();
  withType(codeO, [&]<class O>() {
    auto inst = instance("_ImagePlane");
    setDouble(inst, "Slope", p.slope);
    setDouble(inst, "Offset", p.offset);
    setInt(inst, "MCount", 2);
    setInt(inst, "X", p.x);
    setInt(inst, "Y", p.y);
    setInt(inst, "Planes", p.planes);
    inst.outputs[0].type = codeO;
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    EXPECT_EQ(r.returned, 1);
    std::vector<O> want;
    for (int32_t row = 0; row < p.y; ++row)
      for (int32_t c = 0; c < p.x; ++c)
        for (int32_t pl = 0; pl < p.planes; ++pl) {
          const double v = double(std::max(row, c)) * p.slope + p.offset;
          want.push_back(static_cast<O>(refLow32(v) & 0xffu));
        }
    ASSERT_EQ(inst.outputs[0].stream.size(), 2);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(outInfo(inst, i).X, p.x);
      EXPECT_EQ(outInfo(inst, i).Y, p.y);
      EXPECT_EQ(outInfo(inst, i).Planes, p.planes);
      EXPECT_EQ(outInfo(inst, i).Name.c_str(), "Picture " + std::to_string(i));
      EXPECT_TRUE(sameValues(output<O>(inst, 0, i), want)) << "matrix " << i;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Ramps, RampSweep,
    ::testing::Combine(::testing::ValuesIn(kImageCodes),
                       ::testing::Values(Ramp{1, 0, 255, 255, 1}, Ramp{2, 0, 300, 3, 1}, Ramp{1, -1, 6, 5, 1},
                                         Ramp{1, -0.5, 5, 6, 2}, Ramp{0.5, 0, 10, 1, 1}, Ramp{1, 0, 4, 2, 1},
                                         Ramp{3, 7, 7, 9, 3}, Ramp{1, 0, 1, 40, 1}, Ramp{-1.5, 3e9, 17, 13, 2},
                                         Ramp{1e20, 5, 3, 3, 1}, Ramp{HUGE_VAL, 0, 3, 2, 1})));

// Outputs of 32 MiB and more are written with streaming stores: rows of an odd length, so that
// they start off the 16-byte boundaries, on every output type.
class LargeGenerated : public ::testing::TestWithParam<kxType> {};

TEST_P(LargeGenerated, ConstantAndRampMatchTheReference) {
  withType(GetParam(), [&]<class O>() {
    const int32_t x = 1031, y = int32_t((std::size_t(32) << 20) / sizeof(O) / std::size_t(x)) + 2;
    {
      auto inst = instance("_ConstImage");
      setDouble(inst, "scalar", 2.7);
      setInt(inst, "X", x);
      setInt(inst, "Y", y);
      setInt(inst, "Plane", 1);
      setInt(inst, "MCount", 1);
      inst.outputs[0].type = GetParam();
      kxhost::RunResult r = inst.run();
      ASSERT_TRUE(r.completed) << r.error;
      const std::vector<O> out = output<O>(inst, 0, 0);
      ASSERT_EQ(out.size(), std::size_t(x) * std::size_t(y));
      for (std::size_t k = 0; k < out.size(); ++k) ASSERT_EQ(out[k], refConvert<O>(2.7)) << k;
    }
    auto inst = instance("_ImagePlane");
    setDouble(inst, "Slope", 0.37);
    setDouble(inst, "Offset", 1.5);
    setInt(inst, "MCount", 1);
    setInt(inst, "X", x);
    setInt(inst, "Y", y);
    setInt(inst, "Planes", 1);
    inst.outputs[0].type = GetParam();
    kxhost::RunResult r = inst.run();
    ASSERT_TRUE(r.completed) << r.error;
    const std::vector<O> out = output<O>(inst, 0, 0);
    ASSERT_EQ(out.size(), std::size_t(x) * std::size_t(y));
    for (int32_t row = 0; row < y; ++row)
      for (int32_t c = 0; c < x; ++c) {
        const double v = double(std::max(row, c)) * 0.37 + 1.5;
        ASSERT_EQ(out[std::size_t(row) * std::size_t(x) + std::size_t(c)], static_cast<O>(refLow32(v) & 0xffu))
            << row << ", " << c;
      }
  });
}

INSTANTIATE_TEST_SUITE_P(Types, LargeGenerated, ::testing::ValuesIn(kImageCodes),
                         [](const auto& info) { return std::string(typeName(info.param)); });

TEST(ImagePlane, DefaultsGiveMaxOfRowAndColumn) {
  auto inst = instance("_ImagePlane");
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  const kxMInfo& m = outInfo(inst, 0);
  EXPECT_EQ(m.X, 255);
  EXPECT_EQ(m.Y, 255);
  EXPECT_EQ(m.Planes, 1);
  EXPECT_STREQ(m.Name.c_str(), "Picture 0");
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  std::vector<uint8_t> got = output<uint8_t>(inst, 0, 0);
  EXPECT_EQ(got[0 * 255 + 7], 7);
  EXPECT_EQ(got[9 * 255 + 7], 9);
  EXPECT_EQ(got[254 * 255 + 254], 254);
}

// ---- unsupported output type -------------------------------------------------------------------

class GeneratorRejects : public ::testing::TestWithParam<std::tuple<const char*, kxType>> {};

TEST_P(GeneratorRejects, OutputPinMessageAndNothingWritten) {
  const auto [entry, type] = GetParam();
  auto inst = instance(entry);
  inst.outputs[0].type = type;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.");
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(Types, GeneratorRejects,
                         ::testing::Combine(::testing::Values("_ConstImage", "_ImagePlane"),
                                            ::testing::Values(1, 5, -1)));

}  // namespace
