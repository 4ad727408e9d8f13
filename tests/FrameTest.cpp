// The entry skeleton: pin type checks in order, meta information, empty streams, the return value.
#include "support/Harness.h"

using namespace rktest;

namespace {

std::string refused(const char* pin) {
  return std::string("Der am ") + pin + "-Pin anliegende Datentyp wird vom Prozessor nicht unterst\xfctzt.";
}

struct TypeCase {
  kxType in0, in1, out;
  std::string expected;  // empty: accepted
};

class TypeCheckOrder : public ::testing::TestWithParam<TypeCase> {};

TEST_P(TypeCheckOrder, FirstRejectedPinNamesItselfAndNothingIsWritten) {
  const TypeCase& c = GetParam();
  auto inst = instance("_AddImage");
  inst.inputs[0].type = c.in0;
  inst.inputs[1].type = c.in1;
  inst.outputs[0].type = c.out;
  kxhost::RunResult r = inst.run();
  EXPECT_EQ(r.completed, c.expected.empty());
  if (c.expected.empty()) {
    EXPECT_EQ(r.returned, 1);
  }
  EXPECT_EQ(r.processorError, !c.expected.empty());
  EXPECT_EQ(r.error, c.expected);
  if (!c.expected.empty()) {
    EXPECT_FALSE(inst.outputs[0].stream.metaSet);
  }
  EXPECT_TRUE(inst.outputs[0].stream.matrices.empty());
}

INSTANTIATE_TEST_SUITE_P(
    AddImage, TypeCheckOrder,
    ::testing::Values(TypeCase{1, 1, 1, refused("1. Input")}, TypeCase{5, 0, 0, refused("1. Input")},
                      TypeCase{255, 0, 9, refused("1. Input")}, TypeCase{0, 1, 1, refused("2. Input")},
                      TypeCase{4, 7, 0, refused("2. Input")}, TypeCase{3, 2, 1, refused("1. Output")},
                      TypeCase{2, 4, -1, refused("1. Output")}, TypeCase{0, 2, 3, ""}, TypeCase{4, 3, 0, ""}));

// Empty inputs give an empty output with the input's stream meta information; otherwise each output
// matrix takes the name, size and user data of its input matrix.
TEST(Frame, OutputsTakeTheInputsMetaNameSizeAndUserData) {
  auto empty = instance("_SubImage");
  empty.inputs[0].stream.meta = info(7, 5, 1, "stream meta");
  kxhost::RunResult r = empty.run();
  ASSERT_TRUE(r.completed) << r.error;
  EXPECT_EQ(r.returned, 1);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_TRUE(empty.outputs[0].stream.matrices.empty());
  ASSERT_TRUE(empty.outputs[0].stream.metaSet);
  EXPECT_STREQ(empty.outputs[0].stream.meta.Name.c_str(), "stream meta");
  EXPECT_EQ(empty.outputs[0].stream.meta.X, 7);

  auto inst = instance("_AddImage");
  const unsigned char user[] = {9, 8, 7};
  addMatrix<uint8_t>(inst.inputs[0], 2, 3, 2, std::vector<uint8_t>(12, 1), "left").info().UserDatas.assign(user, 3);
  addMatrix<uint8_t>(inst.inputs[1], 2, 3, 2, std::vector<uint8_t>(12, 2), "right");
  inst.outputs[0].type = 3;
  ASSERT_TRUE(inst.run().completed);
  const kxhost::Matrix& out = *inst.outputs[0].stream.matrices.at(0);
  EXPECT_EQ(out.type(), 3);
  EXPECT_EQ(out.info().X, 2);
  EXPECT_EQ(out.info().Y, 3);
  EXPECT_EQ(out.info().Planes, 2);
  EXPECT_EQ(out.info().Count, 12);
  EXPECT_STREQ(out.info().Name.c_str(), "left");
  ASSERT_EQ(out.info().UserDatas.size(), 3);
  EXPECT_EQ(out.info().UserDatas.data()[2], 7);
  EXPECT_EQ(output<float>(inst, 0, 0), std::vector<float>(12, 3.0f));
}

}  // namespace
