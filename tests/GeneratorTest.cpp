// _ConstImage and _ImagePlane: values on every output type, names and sizes, defaults, and sizes the
// host empties or refuses.
#include <algorithm>
#include <tuple>

#include "support/Sweep.h"

using namespace rktest;

namespace {

// One run's parameters: the constant or slope and offset, the matrix count and size. Defaults
// leaves the catalogue's values in place (they are the ones given).
struct Gen {
  bool ramp;
  kxType type;
  double p0, p1;
  int32_t count, x, y, planes;
  bool defaults = false;
};

void configure(kxhost::Instance& inst, const Gen& g) {
  if (g.ramp) {
    setParam(inst, "Slope", g.p0);
    setParam(inst, "Offset", g.p1);
  } else {
    setParam(inst, "scalar", g.p0);
  }
  setParam(inst, "MCount", g.count);
  setParam(inst, "X", g.x);
  setParam(inst, "Y", g.y);
  setParam(inst, g.ramp ? "Planes" : "Plane", g.planes);
}

// The constant converted once; the ramp over the larger of row and column, cut to 8 bits first.
std::vector<double> reference(const Gen& g) {
  std::vector<double> v;
  for (int32_t r = 0; r < g.y; ++r)
    for (int32_t c = 0; c < g.x; ++c)
      for (int32_t p = 0; p < g.planes; ++p)
        v.push_back(g.ramp ? double(refLow32(double(std::max(r, c)) * g.p0 + g.p1) & 0xffu) : stored(g.type, g.p0));
  return v;
}

class Generated : public ::testing::TestWithParam<Gen> {};
TEST_P(Generated, MatchTheReference) {
  const Gen& g = GetParam();
  if (skipLarge(std::size_t(g.x) * std::size_t(g.y) * (g.type == 0 ? 1 : g.type == 4 ? 8 : 4)))
    GTEST_SKIP() << "a large matrix under an emulator";
  auto inst = instance(g.ramp ? "_ImagePlane" : "_ConstImage");
  if (!g.defaults) configure(inst, g);
  inst.outputs[0].type = g.type;
  const kxhost::RunResult r = runBoth(inst);
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.returned, 1);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  ASSERT_EQ(inst.outputs[0].stream.size(), g.count);
  const std::vector<double> want = reference(g);
  for (int32_t i = 0; i < g.count; ++i) {
    const kxMInfo& m = inst.outputs[0].stream.matrices[std::size_t(i)]->info();
    EXPECT_EQ(std::tuple(m.X, m.Y, m.Planes, m.Count), std::tuple(g.x, g.y, g.planes, g.x * g.y * g.planes));
    EXPECT_EQ(m.Name.c_str(), (g.ramp ? "Picture " : "ConstImage ") + std::to_string(i));
    EXPECT_TRUE(sameValues(outputValues(inst, std::size_t(i)), want)) << "matrix " << i;
  }
}

std::vector<Gen> generated() {
  std::vector<Gen> v = {{false, 0, 1, 0, 1, 100, 100, 1, true}, {true, 0, 1, 0, 1, 255, 255, 1, true}};
  for (kxType t : kImageCodes) {
    for (double s : {1.0, 300.0, -1.0, 2.7, -2.7, 0.1, -0.0, 3e9, 1e10, 1e19, double(NAN), -HUGE_VAL})
      v.push_back({false, t, s, 0, 2, 7, 5, 3});
    for (Gen g :
         {Gen{true, t, 1, 0, 2, 255, 255, 1}, Gen{true, t, 2, 0, 2, 300, 3, 1}, Gen{true, t, 1, -1, 2, 6, 5, 1},
          Gen{true, t, 1, -0.5, 2, 5, 6, 2}, Gen{true, t, 0.5, 0, 2, 10, 1, 1}, Gen{true, t, 1, 0, 2, 4, 2, 1},
          Gen{true, t, 3, 7, 2, 7, 9, 3}, Gen{true, t, 1, 0, 2, 1, 40, 1}, Gen{true, t, -1.5, 3e9, 2, 17, 13, 2},
          Gen{true, t, 1e20, 5, 2, 3, 3, 1}, Gen{true, t, HUGE_VAL, 0, 2, 3, 2, 1}})
      v.push_back(g);
    // Outputs of 32 MiB and more are streamed: rows of an odd length, so that they start off the
    // 16-byte boundaries.
    const auto y = int32_t((std::size_t(32) << 20) / (t == 0 ? 1 : t == 4 ? 8 : 4) / 1031) + 2;
    v.push_back({false, t, 2.7, 0, 1, 1031, y, 1});
    v.push_back({true, t, 0.37, 1.5, 1, 1031, y, 1});
  }
  return v;
}
INSTANTIATE_TEST_SUITE_P(Values, Generated, ::testing::ValuesIn(generated()));

// The integer parameters come from the VARIANT's integer member whatever its tag says: a double
// 100.0 has zero low bytes, so the width reads as 0.
TEST(ConstImage, ParametersReadFromTheirVariantMembers) {
  auto inst = instance("_ConstImage");
  setParam(inst, "X", 100.0);
  ASSERT_TRUE(inst.run().completed);
  ASSERT_EQ(inst.outputs[0].stream.size(), 1);
  EXPECT_EQ(inst.outputs[0].stream.matrices[0]->info().X, 0);
  EXPECT_EQ(inst.outputs[0].stream.matrices[0]->count(), 0u);
}

// Sizes are passed on unchecked: a member of zero or below gives matrices without elements, even
// where the 32-bit product of the members is positive. The host decides what it can create; its
// exception ends the run, and the matrices made before stay.
struct Shape {
  int32_t count, x, y, planes;
  uint64_t maxMatrix, maxRun;
  int32_t made;
  const char* error;
};
class GeneratorShapes : public ::testing::TestWithParam<std::tuple<bool, Shape>> {};
TEST_P(GeneratorShapes, EmptyOrRefused) {
  const auto [ramp, s] = GetParam();
  auto inst = instance(ramp ? "_ImagePlane" : "_ConstImage");
  const Gen g{ramp, 0, 1, 0, s.count, s.x, s.y, s.planes};
  configure(inst, g);
  inst.limits.maxMatrixBytes = s.maxMatrix;
  inst.limits.maxRunBytes = s.maxRun;
  inst.outputs[0].type = 0;
  const kxhost::RunResult r = inst.run();
  EXPECT_EQ(r.completed, s.error == nullptr);
  EXPECT_FALSE(r.processorError);
  EXPECT_TRUE(!s.error || r.error.find(s.error) != std::string::npos) << r.error;
  ASSERT_EQ(inst.outputs[0].stream.size(), s.made);
  const std::vector<double> want =
      s.made > 0 && s.x > 0 && s.y > 0 && s.planes > 0 ? reference(g) : std::vector<double>{};
  for (int32_t i = 0; i < s.made; ++i) {
    const kxMInfo& m = inst.outputs[0].stream.matrices[std::size_t(i)]->info();
    EXPECT_EQ(std::tuple(m.X, m.Y, m.Planes), std::tuple(s.x, s.y, s.planes));
    EXPECT_EQ(m.Name.c_str(), (ramp ? "Picture " : "ConstImage ") + std::to_string(i));
    EXPECT_EQ(outputValues(inst, std::size_t(i)), want);
  }
}

constexpr uint64_t kBig = uint64_t(1) << 40;
INSTANTIATE_TEST_SUITE_P(
    Sizes, GeneratorShapes,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(Shape{0, 10, 10, 1, kBig, kBig, 0, nullptr}, Shape{-3, 10, 10, 1, kBig, kBig, 0, nullptr},
                          Shape{2, 0, 10, 1, kBig, kBig, 2, nullptr}, Shape{1, 10, 0, 1, kBig, kBig, 1, nullptr},
                          Shape{1, 10, 10, 0, kBig, kBig, 1, nullptr},
                          Shape{1, -100, -100, 1, kBig, kBig, 1, nullptr},  // product 10000
                          Shape{1, -64, 64, -64, kBig, kBig, 1, nullptr}, Shape{1, 5, -1, 1, kBig, kBig, 1, nullptr},
                          // 2^32 elements wrap to a 32-bit count of 0
                          Shape{1, 65536, 65536, 1, kBig, kBig, 0, "32-bit element count"},
                          Shape{1, 2, 1073741824, 2, kBig, kBig, 0, "32-bit element count"},
                          Shape{2, 100, 100, 1, 9999, kBig, 0, "limit"},
                          Shape{3, 100, 100, 1, kBig, 25000, 2, "allocation limit"})));

}  // namespace
