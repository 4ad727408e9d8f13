// Blend, AND and OR pair their streams alike: pairing, the unequal-count warning, host refusals, and
// the pin type checks (with _NotImage's).
#include <tuple>

#include "support/Harness.h"
#include "support/Sweep.h"

using namespace rktest;

namespace {

const std::string kUnequal =
    "Die Bildanzahl an den Input-Pins ist ungleich. Die Operation wird einem festen Bild (1. Bild, 2. Pin) "
    "durchgef\xfchrt.";

std::string matrixName(std::size_t i) {
  std::string name = "m";
  name += std::to_string(i);
  return name;
}

// An instance whose output equals its second operand: blend with weight 0, AND with 255, OR with 0.
// Its first-pin operands are `count1` matrices named "m0", "m1", ...
kxhost::Instance passSecond(const char* entry, int32_t count1) {
  auto inst = instance(entry);
  const std::string e = entry;
  if (e == "_BlendImage") {
    inst.params[0].vt = VT_R8;
    inst.params[0].dblVal = 0.0;
  }
  const uint8_t a = e == "_AndImage" ? 255 : e == "_OrImage" ? 0 : 99;
  for (int32_t i = 0; i < count1; ++i) addRow<uint8_t>(inst.inputs[0], {a, a}, matrixName(std::size_t(i)).c_str());
  return inst;
}

struct Pairing {
  int32_t count1, count2;
  bool warns;
  std::vector<int32_t> partner;  // the second-pin matrix each output was formed with
};

class TwoInputPairing : public ::testing::TestWithParam<std::tuple<const char*, Pairing>> {};

TEST_P(TwoInputPairing, SecondOperandChosenPerMatrix) {
  const auto [entry, p] = GetParam();
  auto inst = passSecond(entry, p.count1);
  inst.inputs[0].stream.meta = info(2, 1, 1, "meta");
  for (int32_t j = 0; j < p.count2; ++j) addRow<uint8_t>(inst.inputs[1], {uint8_t(10 + j), uint8_t(20 + j)});
  kxhost::RunResult r = inst.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.returned, 1);
  EXPECT_EQ(r.warnings, p.warns ? std::vector<std::string>{kUnequal} : std::vector<std::string>{});
  EXPECT_STREQ(inst.outputs[0].stream.meta.Name.c_str(), "meta");
  ASSERT_EQ(inst.outputs[0].stream.size(), static_cast<int32_t>(p.partner.size()));
  for (std::size_t i = 0; i < p.partner.size(); ++i) {
    const int32_t j = p.partner[i];
    EXPECT_EQ(output<uint8_t>(inst, 0, i), (std::vector<uint8_t>{uint8_t(10 + j), uint8_t(20 + j)})) << "output " << i;
    EXPECT_EQ(inst.outputs[0].stream.matrices[i]->info().Name.c_str(), matrixName(i));
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, TwoInputPairing,
                         ::testing::Combine(::testing::Values("_BlendImage", "_AndImage", "_OrImage"),
                                            ::testing::Values(Pairing{3, 1, false, {0, 0, 0}},  // a mask for all
                                                              Pairing{1, 1, false, {0}},
                                                              Pairing{2, 2, false, {0, 1}},  // matrix by matrix
                                                              Pairing{3, 2, true, {0, 0, 0}},
                                                              Pairing{2, 3, true, {0, 0}}, Pairing{2, 5, true, {0, 0}},
                                                              Pairing{0, 2, true, {}}, Pairing{0, 0, false, {}})));

class TwoInputRefusal : public ::testing::TestWithParam<const char*> {};

// The pairing falls back on a second matrix that is not there: the host refuses to hand it out,
// after the warning and the meta information copy, before any output matrix exists.
TEST_P(TwoInputRefusal, EmptySecondStreamEndsWithHostException) {
  const char* entry = GetParam();
  auto inst = passSecond(entry, 2);
  inst.inputs[1].connected = true;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_NE(r.error.find("kxGetIVector"), std::string::npos) << r.error;
  EXPECT_EQ(r.warnings, std::vector<std::string>{kUnequal});
  EXPECT_TRUE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

TEST_P(TwoInputRefusal, SizeMismatchIsRefusedBeforeAnythingIsWritten) {
  const char* entry = GetParam();
  auto inst = passSecond(entry, 1);
  addRow<uint8_t>(inst.inputs[1], {1, 2, 3});
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_FALSE(r.processorError);
  EXPECT_NE(r.error.find("kxCompareStreams"), std::string::npos) << r.error;
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(Host, TwoInputRefusal, ::testing::Values("_BlendImage", "_AndImage", "_OrImage"));

// ---- unsupported pin types ---------------------------------------------------------------------

const std::string kIn1 = "Der am 1. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
const std::string kIn2 = "Der am 2. Input-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
const std::string kOut1 = "Der am 1. Output-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";

struct Rejection {
  const char* entry;
  kxType in0, in1, out;
  std::string message;
};

class PinRejection : public ::testing::TestWithParam<Rejection> {};

TEST_P(PinRejection, NamesTheFirstBadPinAndWritesNothing) {
  const Rejection& c = GetParam();
  auto inst = instance(c.entry);
  for (kxhost::Pin& pin : inst.inputs) addRow<uint8_t>(pin, {1});
  inst.inputs[0].type = c.in0;
  if (inst.inputs.size() > 1) inst.inputs[1].type = c.in1;
  inst.outputs[0].type = c.out;
  kxhost::RunResult r = inst.run();
  EXPECT_FALSE(r.completed);
  EXPECT_TRUE(r.processorError);
  EXPECT_EQ(r.error, c.message);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(Pins, PinRejection,
                         ::testing::Values(Rejection{"_BlendImage", 1, 1, 1, kIn1},
                                           Rejection{"_BlendImage", 0, 5, 1, kIn2},
                                           Rejection{"_BlendImage", 0, 0, 1, kOut1},
                                           Rejection{"_AndImage", 1, 1, 1, kIn1}, Rejection{"_AndImage", 0, 1, 1, kIn2},
                                           Rejection{"_OrImage", 4, 6, 0, kIn2}, Rejection{"_OrImage", 3, 2, 1, kOut1},
                                           Rejection{"_NotImage", 1, 0, 1, kIn1},
                                           Rejection{"_NotImage", 2, 0, 5, kOut1}));

}  // namespace
