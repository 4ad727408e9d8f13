// The configuration dialogs driven by scripted user actions through Instance::configure(): what is
// shown, what is written back and in which form, the checks and their messages, DTransform's rules.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "kxui/Configure.h"
#include "kxui/Scripted.h"
#include "support/DialogTexts.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

tagVARIANT real(double d) {
  tagVARIANT v{};
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}
tagVARIANT integer(int32_t i) {
  tagVARIANT v{};
  v.vt = VT_I4;
  v.lVal = i;
  return v;
}

struct Write {
  int32_t index;
  tagVARIANT value;
};

// One configure call under a scripted backend, with every parameter write the host saw.
struct Configured {
  std::unique_ptr<kxui::ScriptedBackend> ui;
  kxui::ConfigureOutcome outcome;
  std::vector<Write> writes;

  const kxui::Screen& last() const { return ui->screens().back(); }
  std::vector<std::string> messageTexts() const {
    std::vector<std::string> r;
    for (const auto& m : ui->messages()) r.push_back(m.text);
    return r;
  }
};

std::unique_ptr<Configured> configure(kxhost::Instance& inst, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  auto c = std::make_unique<Configured>();
  c->ui = std::make_unique<kxui::ScriptedBackend>(kxui::parseActions(text, "test"), "test");
  Configured* raw = c.get();
  inst.onParameterSet = [raw](int32_t i, const tagVARIANT& v) { raw->writes.push_back({i, v}); };
  try {
    c->outcome = kxui::configure(inst, *c->ui);
  } catch (...) {
    inst.onParameterSet = nullptr;
    throw;
  }
  inst.onParameterSet = nullptr;
  return c;
}

void set(kxhost::Instance& inst, const char* name, tagVARIANT v) {
  int i = inst.paramIndex(name);
  ASSERT_GE(i, 0) << name;
  inst.params[static_cast<std::size_t>(i)] = v;
}

const tagVARIANT& param(const kxhost::Instance& inst, const char* name) {
  int i = inst.paramIndex(name);
  if (i < 0) throw std::runtime_error(std::string("no parameter ") + name);
  return inst.params[static_cast<std::size_t>(i)];
}

// The single write of a parameter; fails the test when it was written never or more than once.
tagVARIANT writtenOnce(const Configured& c, const kxhost::Instance& inst, const char* name) {
  int i = inst.paramIndex(name);
  std::vector<tagVARIANT> found;
  for (const Write& w : c.writes)
    if (w.index == i) found.push_back(w.value);
  EXPECT_EQ(found.size(), 1u) << name;
  return found.empty() ? tagVARIANT{} : found[0];
}

bool sameVariant(const tagVARIANT& a, const tagVARIANT& b) {
  if (a.vt != b.vt) return false;
  return a.vt == VT_R8 ? sameBits(a.dblVal, b.dblVal) : a.lVal == b.lVal;
}

struct DialogCase {
  const char* entry;
  int templateId;
};
const DialogCase kDialogs[] = {
    {"_BinImage", 130},      {"_BinAdaptThreshImage", 129}, {"_BlendImage", 132},     {"_ConstImage", 133},
    {"_ImagePlane", 135},    {"_MittelWert", 137},          {"_ScalarDivImage", 131}, {"_Pertur", 131},
    {"_TransformImage", 139}};

std::string caseName(const ::testing::TestParamInfo<DialogCase>& info) { return info.param.entry + 1; }

// Values that a lossy number format would change; integer parameters get 1, valid in every field
// and radio group.
void setAwkwardValues(kxhost::Instance& inst) {
  const double reals[] = {0.1 + 0.2, -1.0 / 3.0, 1e-300, 5e-324, 1.7976931348623157e308, -0.0, 123456789.125};
  std::size_t k = 0;
  for (std::size_t i = 0; i < inst.params.size(); ++i) {
    if (inst.record()->params[i].type == 4)
      inst.params[i] = real(reals[k++ % std::size(reals)]);
    else
      inst.params[i] = integer(1);
  }
}

// ---- every dialog: the ways out ----------------------------------------------------------------

class EveryDialog : public ::testing::TestWithParam<DialogCase> {};

TEST_P(EveryDialog, CancelCloseBoxAndEscapeWriteNothing) {
  for (const char* way : {"cancel", "close", "escape"}) {
    auto inst = instance(GetParam().entry);
    setAwkwardValues(inst);
    std::vector<tagVARIANT> before = inst.params;
    auto c = configure(inst, {way});
    EXPECT_EQ(c->outcome.returned, 1) << way;
    EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDCANCEL}) << way;
    EXPECT_TRUE(c->writes.empty()) << way;
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(sameVariant(inst.params[i], before[i])) << way;
    EXPECT_EQ(c->ui->screens().front().templateId, GetParam().templateId);
  }
}

TEST_P(EveryDialog, OkWithoutEditWritesEveryParameterOnceInIndexOrderInItsForm) {
  for (const char* way : {"ok", "enter"}) {
    auto inst = instance(GetParam().entry);
    setAwkwardValues(inst);
    std::vector<tagVARIANT> before = inst.params;
    auto c = configure(inst, {way});
    EXPECT_EQ(c->outcome.returned, 1);
    EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDOK});
    ASSERT_EQ(c->writes.size(), before.size()) << way;
    for (std::size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(c->writes[i].index, static_cast<int32_t>(i));
      EXPECT_EQ(c->writes[i].value.vt, inst.record()->params[i].type == 4 ? VT_R8 : VT_I4)
          << inst.record()->params[i].name;
      EXPECT_TRUE(sameVariant(c->writes[i].value, before[i]))
          << inst.record()->params[i].name << " changed from " << before[i].dblVal << " to "
          << c->writes[i].value.dblVal;
    }
    EXPECT_TRUE(c->ui->messages().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryDialog, ::testing::ValuesIn(kDialogs), caseName);

// ---- numbers in edits --------------------------------------------------------------------------

TEST(DialogEdit, ShowsTheShortestTextThatReadsBack) {
  auto inst = instance("_BinImage");
  set(inst, "above", real(0.1));
  set(inst, "below", real(-2.5e-8));
  set(inst, "threshold", real(1e21));
  auto c = configure(inst, {"cancel"});
  const kxui::Screen& open = c->ui->screens().front();
  EXPECT_EQ(open.control(1006).text, "0.1");
  EXPECT_EQ(open.control(1003).text, "-2.5e-08");
  EXPECT_EQ(open.control(1005).text, "1e+21");
}

struct EditCase {
  const char* entry;
  int control;
  const char* param;
  std::string typed;
  bool accepted;
  double value;  // when accepted
};

void PrintTo(const EditCase& e, std::ostream* o) { *o << e.param << " typed '" << e.typed << "'"; }

std::string editName(const ::testing::TestParamInfo<EditCase>& info) {
  return std::string(info.param.param) + (info.param.accepted ? "Accepts" : "Rejects") + std::to_string(info.index);
}

class DialogEditText : public ::testing::TestWithParam<EditCase> {};

TEST_P(DialogEditText, NonNumbersShowTheFrameworkMessageAndKeepTheDialogOpen) {
  const EditCase& e = GetParam();
  auto inst = instance(e.entry);
  tagVARIANT before = param(inst, e.param);
  auto c = configure(inst, {"type " + std::to_string(e.control) + " " + e.typed, "ok", "cancel"});
  if (e.accepted) {
    // OK ended the dialog; the cancel line is left over.
    EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDOK});
    EXPECT_EQ(c->ui->remaining(), 1u);
    tagVARIANT w = writtenOnce(*c, inst, e.param);
    EXPECT_EQ(w.vt == VT_R8 ? w.dblVal : w.lVal, e.value);
    EXPECT_TRUE(c->ui->messages().empty());
  } else {
    EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDCANCEL});
    ASSERT_EQ(c->ui->messages().size(), 1u);
    const kxui::ShownMessage& m = c->ui->messages()[0];
    EXPECT_EQ(m.text, before.vt == VT_R8 ? kxui::kParseRealMessage : kxui::kParseIntMessage);
    EXPECT_EQ(m.style, kxui::MB_ICONEXCLAMATION);
    EXPECT_EQ(m.title, "RasterKit");
    // Still open after OK, with the user's text, and the focus on the edit that failed.
    const kxui::Screen& afterOk = c->ui->screens().at(2);
    EXPECT_EQ(afterOk.after, "ok");
    EXPECT_EQ(afterOk.control(e.control).text, e.typed);
    EXPECT_TRUE(afterOk.control(e.control).focused);
    EXPECT_TRUE(c->writes.empty());
    EXPECT_TRUE(sameVariant(param(inst, e.param), before));
  }
}

INSTANTIATE_TEST_SUITE_P(Doubles, DialogEditText,
                         ::testing::Values(EditCase{"_BlendImage", 1009, "blendfaktor", "abc", false, 0},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "", false, 0},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "1,5", false, 0},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "1.5.2", false, 0},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "1e999", false, 0},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", " -0.75 ", true, -0.75},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "+2e3", true, 2000},
                                           EditCase{"_BlendImage", 1009, "blendfaktor", "12", true, 12}),
                         editName);
INSTANTIATE_TEST_SUITE_P(Integers, DialogEditText,
                         ::testing::Values(EditCase{"_ConstImage", 1009, "MCount", "1.5", false, 0},
                                           EditCase{"_ConstImage", 1009, "MCount", "1e3", false, 0},
                                           EditCase{"_ConstImage", 1009, "MCount", "2147483648", false, 0},
                                           EditCase{"_ConstImage", 1009, "MCount", "12abc", false, 0},
                                           EditCase{"_ConstImage", 1009, "MCount", " 42 ", true, 42},
                                           EditCase{"_ConstImage", 1009, "MCount", "2147483647", true, 2147483647}),
                         editName);

TEST(DialogEdit, CorrectedTextAfterAParseErrorIsWrittenOnce) {
  auto inst = instance("_ScalarDivImage");
  auto c = configure(inst, {"type 1008 zwei", "ok", "type 1008 0", "ok"});
  EXPECT_EQ(c->messageTexts(), std::vector<std::string>{kxui::kParseRealMessage});
  ASSERT_EQ(c->writes.size(), 1u);
  EXPECT_EQ(c->writes[0].value.vt, VT_R8);
  EXPECT_EQ(c->writes[0].value.dblVal, 0.0);  // zero is the division processor's business
}

// ---- the count checks --------------------------------------------------------------------------

struct CountCase {
  const char* entry;
  int countId, planesId, xId, yId;
  const char* planesParam;
};

void PrintTo(const CountCase& k, std::ostream* o) { *o << k.entry; }

class CountChecks : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountChecks, MadeInOrderOneMessageAtATimeUntilAllAreCorrected) {
  const CountCase& k = GetParam();
  auto inst = instance(k.entry);
  set(inst, "MCount", integer(0));
  set(inst, k.planesParam, integer(0));
  set(inst, "X", integer(0));
  set(inst, "Y", integer(-5));
  auto id = [](int n) { return std::to_string(n); };
  auto c = configure(inst, {"ok", "type " + id(k.countId) + " 2", "ok", "type " + id(k.planesId) + " 3", "ok",
                            "type " + id(k.xId) + " 4", "ok", "type " + id(k.yId) + " 5", "ok"});
  ASSERT_EQ(c->messageTexts(), (std::vector<std::string>{kImagesMsg, kPlanesMsg, kXMsg, kYMsg}));
  for (std::size_t m = 0; m < 4; ++m) {
    const kxui::ShownMessage& msg = c->ui->messages()[m];
    EXPECT_EQ(msg.style, 0x10u);
    EXPECT_EQ(msg.title, kTitle);
    // Each message came with the OK that followed the previous correction (screens: open, ok,
    // type, ok, ...), while the dialog stayed open.
    EXPECT_EQ(msg.screen, 2 * m);
  }
  EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDOK});
  ASSERT_EQ(c->writes.size(), inst.params.size());
  EXPECT_EQ(writtenOnce(*c, inst, "MCount").lVal, 2);
  EXPECT_EQ(writtenOnce(*c, inst, k.planesParam).lVal, 3);
  EXPECT_EQ(writtenOnce(*c, inst, "X").lVal, 4);
  EXPECT_EQ(writtenOnce(*c, inst, "Y").lVal, 5);
  EXPECT_EQ(writtenOnce(*c, inst, "Y").vt, VT_I4);
}

TEST_P(CountChecks, SizeMessageAloneWhenCountsAreValidAndCancelWritesNothing) {
  const CountCase& k = GetParam();
  auto inst = instance(k.entry);
  set(inst, "X", integer(0));
  set(inst, "Y", integer(-5));
  auto c = configure(inst, {"ok", "cancel"});
  EXPECT_EQ(c->messageTexts(), std::vector<std::string>{kXMsg});
  EXPECT_TRUE(c->writes.empty());
  EXPECT_EQ(param(inst, "X").lVal, 0);
}

TEST_P(CountChecks, NoUpperLimitAndDoublesUnchecked) {
  const CountCase& k = GetParam();
  auto inst = instance(k.entry);
  set(inst, "MCount", integer(0));
  auto c = configure(inst, {"type " + std::to_string(k.countId) + " 1", "type " + std::to_string(k.xId) + " 10000000",
                            "type " + std::to_string(k.yId) + " 2147483647", "ok"});
  EXPECT_TRUE(c->ui->messages().empty());
  EXPECT_EQ(writtenOnce(*c, inst, "X").lVal, 10000000);
  EXPECT_EQ(writtenOnce(*c, inst, "Y").lVal, 2147483647);
}

INSTANTIATE_TEST_SUITE_P(Generators, CountChecks,
                         ::testing::Values(CountCase{"_ConstImage", 1009, 1012, 1010, 1011, "Plane"},
                                           CountCase{"_ImagePlane", 1009, 1017, 1010, 1011, "Planes"}),
                         [](const auto& info) { return std::string(info.param.entry + 1); });

TEST(ConstImage, NegativeScalarIsAcceptedWithValidCounts) {
  auto inst = instance("_ConstImage");
  auto c = configure(inst, {"type 1008 -1e300", "ok"});
  EXPECT_TRUE(c->ui->messages().empty());
  EXPECT_EQ(writtenOnce(*c, inst, "scalar").dblVal, -1e300);
}

TEST(ImagePlane, EditsMapToTheirParameters) {
  auto inst = instance("_ImagePlane");
  auto c = configure(inst, {"type 1012 0.5", "type 1004 -3", "type 1017 3", "ok"});
  EXPECT_EQ(writtenOnce(*c, inst, "Slope").dblVal, 0.5);
  EXPECT_EQ(writtenOnce(*c, inst, "Offset").dblVal, -3.0);
  EXPECT_EQ(writtenOnce(*c, inst, "Planes").lVal, 3);
  EXPECT_EQ(writtenOnce(*c, inst, "MCount").lVal, 1);
}

// ---- radio groups ------------------------------------------------------------------------------

struct RadioCase {
  int32_t initial;
  std::vector<std::string> actions;
  int selected;  // control id shown selected after opening, 0: none
  int32_t written;
};

void PrintTo(const RadioCase& r, std::ostream* o) {
  *o << "TA " << r.initial;
  for (const std::string& a : r.actions) *o << ", " << a;
}

class BinAdaptRadio : public ::testing::TestWithParam<RadioCase> {};

TEST_P(BinAdaptRadio, GroupReadAsIndexOrMinusOne) {
  const RadioCase& r = GetParam();
  auto inst = instance("_BinAdaptThreshImage");
  set(inst, "TA", integer(r.initial));
  auto c = configure(inst, r.actions);
  const kxui::Screen& open = c->ui->screens().front();
  EXPECT_EQ(open.control(1000).checked, r.selected == 1000);
  EXPECT_EQ(open.control(1001).checked, r.selected == 1001);
  tagVARIANT ta = writtenOnce(*c, inst, "TA");
  EXPECT_EQ(ta.vt, VT_I4);
  EXPECT_EQ(ta.lVal, r.written);
  for (const char* name : {"above", "below", "consta", "offset"}) EXPECT_EQ(writtenOnce(*c, inst, name).vt, VT_R8);
}

INSTANTIATE_TEST_SUITE_P(Values, BinAdaptRadio,
                         ::testing::Values(RadioCase{1, {"ok"}, 1001, 1}, RadioCase{0, {"ok"}, 1000, 0},
                                           RadioCase{-1, {"ok"}, 0, -1}, RadioCase{7, {"ok"}, 0, -1},
                                           RadioCase{-1, {"click 1001", "ok"}, 0, 1},
                                           RadioCase{1, {"click 1000", "ok"}, 1001, 0},
                                           RadioCase{0, {"click 1001", "click 1000", "ok"}, 1000, 0}),
                         [](const auto& info) {
                           return "Read" + std::string(info.param.initial < 0 ? "Minus" : "") +
                                  std::to_string(std::abs(info.param.initial)) + "Case" + std::to_string(info.index);
                         });

TEST(BinAdapt, OffsetFieldEditsConstaAndAdaptRateEditsOffset) {
  auto inst = instance("_BinAdaptThreshImage");
  auto c = configure(inst, {"type 1004 7", "type 1005 0.25", "ok"});
  EXPECT_EQ(writtenOnce(*c, inst, "consta").dblVal, 7.0);
  EXPECT_EQ(writtenOnce(*c, inst, "offset").dblVal, 0.25);
  EXPECT_EQ(writtenOnce(*c, inst, "above").dblVal, 255.0);
}

TEST(Mittelwert, SecondButtonWritesOne) {
  auto inst = instance("_MittelWert");
  set(inst, "Mittelwerttyp", integer(0));
  auto c = configure(inst, {"click 1014", "ok"});
  EXPECT_TRUE(c->ui->screens().front().control(1013).checked);
  const kxui::Screen& clicked = c->ui->screens().at(1);
  EXPECT_FALSE(clicked.control(1013).checked);
  EXPECT_TRUE(clicked.control(1014).checked);
  EXPECT_FALSE(clicked.control(1015).checked);
  ASSERT_EQ(c->writes.size(), 1u);
  EXPECT_EQ(c->writes[0].value.vt, VT_I4);
  EXPECT_EQ(c->writes[0].value.lVal, 1);
}

TEST(Mittelwert, NoSelectionWritesMinusOne) {
  auto inst = instance("_MittelWert");
  set(inst, "Mittelwerttyp", integer(3));
  auto c = configure(inst, {"ok"});
  for (int id : {1013, 1014, 1015}) EXPECT_FALSE(c->ui->screens().front().control(id).checked);
  EXPECT_EQ(writtenOnce(*c, inst, "Mittelwerttyp").lVal, -1);
}

// ---- DTransform --------------------------------------------------------------------------------

constexpr int kAngleControls[] = {1018, 1021, 1022};

TEST(Transform, RotateEnablesTheAngleControlsOnOpenAndClicksSwitchThem) {
  auto inst = instance("_TransformImage");
  set(inst, "TransType", integer(2));
  set(inst, "RotDegree", real(37.5));
  auto c = configure(inst, {"click 1024", "click 1025", "click 1023", "cancel"});
  const auto& s = c->ui->screens();
  EXPECT_TRUE(s[0].control(1025).checked);
  EXPECT_EQ(s[0].control(1018).text, "37.5");
  EXPECT_TRUE(s[0].control(1018).focused);  // the first enabled control with a tab stop
  for (int id : kAngleControls) {
    EXPECT_TRUE(s[0].control(id).enabled) << id;
    EXPECT_FALSE(s[1].control(id).enabled) << id;  // Flip vertical
    EXPECT_TRUE(s[2].control(id).enabled) << id;   // Rotate
    EXPECT_FALSE(s[3].control(id).enabled) << id;  // Flip horizontal
  }
  EXPECT_TRUE(s[1].control(1024).checked);
  EXPECT_FALSE(s[1].control(1025).checked);
  EXPECT_EQ(s[1].control(1018).text, "37.5");
  EXPECT_TRUE(c->writes.empty());
}

TEST(Transform, FlipTypesAndUnselectedGroupOpenWithTheAngleDisabled) {
  for (int32_t type : {0, 1, -1, 3}) {
    auto inst = instance("_TransformImage");
    set(inst, "TransType", integer(type));
    auto c = configure(inst, {"cancel"});
    const kxui::Screen& open = c->ui->screens().front();
    for (int id : kAngleControls) EXPECT_FALSE(open.control(id).enabled) << type;
    EXPECT_EQ(open.control(1023).checked, type == 0);
    EXPECT_EQ(open.control(1024).checked, type == 1);
    EXPECT_FALSE(open.control(1025).checked);
    EXPECT_TRUE(open.control(1).focused) << type;
  }
}

TEST(Transform, AngleControlsCannotBeUsedWhileDisabled) {
  auto inst = instance("_TransformImage");
  EXPECT_THROW(configure(inst, {"spin 1021 up", "ok"}), kxui::ScriptError);
  EXPECT_THROW(configure(inst, {"type 1018 5", "ok"}), kxui::ScriptError);
  try {
    configure(inst, {"cancel", "", "x"});
    FAIL() << "an unknown action was accepted";
  } catch (const kxui::ScriptError& e) {
    EXPECT_EQ(e.line(), 3);
  }
}

struct SpinCase {
  double start;
  bool up;
  std::string shown;
  double stored;
};

void PrintTo(const SpinCase& k, std::ostream* o) { *o << k.start << (k.up ? " up" : " down"); }

class TransformSpin : public ::testing::TestWithParam<SpinCase> {};

TEST_P(TransformSpin, StepsByOneDegreeAndWrapsPast180) {
  const SpinCase& k = GetParam();
  auto inst = instance("_TransformImage");
  set(inst, "TransType", integer(2));
  set(inst, "RotDegree", real(k.start));
  auto c = configure(inst, {std::string("spin 1021 ") + (k.up ? "up" : "down"), "ok"});
  EXPECT_EQ(c->ui->screens().at(1).control(1018).text, k.shown);
  EXPECT_TRUE(c->ui->messages().empty());
  ASSERT_EQ(c->writes.size(), 2u);
  EXPECT_EQ(c->writes[0].value.vt, VT_I4);
  EXPECT_EQ(c->writes[0].value.lVal, 2);
  EXPECT_EQ(c->writes[1].value.vt, VT_R8);
  EXPECT_EQ(c->writes[1].value.dblVal, k.stored);
}

INSTANTIATE_TEST_SUITE_P(Angles, TransformSpin,
                         ::testing::Values(SpinCase{180, true, "-90", -90}, SpinCase{-180, false, "90", 90},
                                           SpinCase{37.5, true, "38.5", 38.5}, SpinCase{37.5, false, "36.5", 36.5},
                                           SpinCase{180, false, "179", 179}, SpinCase{-180, true, "-179", -179},
                                           SpinCase{179, true, "180", 180}, SpinCase{-179, false, "-180", -180},
                                           SpinCase{179.5, true, "-90", -90}, SpinCase{-179.5, false, "90", 90},
                                           SpinCase{500, false, "-90", -90}, SpinCase{0, false, "-1", -1}),
                         [](const auto& info) {
                           std::string n = std::to_string(info.param.start);
                           n = n.substr(0, n.find_last_not_of('0') + 1);
                           if (n.back() == '.') n.pop_back();
                           for (char& ch : n) ch = ch == '-' ? 'M' : ch == '.' ? 'p' : ch;
                           return "From" + n + (info.param.up ? "Up" : "Down");
                         });

TEST(Transform, SpinStartsFromTheTypedAngleOrTheOldOneWhenTheTextIsNoNumber) {
  auto inst = instance("_TransformImage");
  set(inst, "TransType", integer(2));
  set(inst, "RotDegree", real(37.5));
  auto c =
      configure(inst, {"type 1018 10", "spin 1021 up", "spin 1021 up", "type 1018 abc", "spin 1021 down", "cancel"});
  const auto& s = c->ui->screens();
  EXPECT_EQ(s[2].control(1018).text, "11");
  EXPECT_EQ(s[3].control(1018).text, "12");
  EXPECT_EQ(s[5].control(1018).text, "11");
  EXPECT_EQ(c->messageTexts(), std::vector<std::string>{kxui::kParseRealMessage});
  EXPECT_TRUE(c->writes.empty());
}

TEST(Transform, AnyTypedAngleIsStored) {
  auto inst = instance("_TransformImage");
  set(inst, "TransType", integer(2));
  auto c = configure(inst, {"type 1018 500", "ok"});
  EXPECT_TRUE(c->ui->messages().empty());
  EXPECT_EQ(writtenOnce(*c, inst, "RotDegree").dblVal, 500.0);
  EXPECT_EQ(param(inst, "RotDegree").vt, VT_R8);
  EXPECT_EQ(param(inst, "RotDegree").dblVal, 500.0);
}

TEST(Transform, FlipHorizontalWritesZeroAndTheUnchangedAngle) {
  auto inst = instance("_TransformImage");
  set(inst, "TransType", integer(2));
  set(inst, "RotDegree", real(-12.25));
  auto c = configure(inst, {"click 1023", "ok"});
  EXPECT_EQ(writtenOnce(*c, inst, "TransType").lVal, 0);
  EXPECT_EQ(writtenOnce(*c, inst, "TransType").vt, VT_I4);
  EXPECT_EQ(writtenOnce(*c, inst, "RotDegree").dblVal, -12.25);
}

// ---- the framework around the dialogs -----------------------------------------------------------

TEST(DialogFramework, ScriptRunningOutFailsWritesNothingAndRestoresTheModuleState) {
  auto inst = instance("_BlendImage");
  kxui::ModuleState& before = kxui::currentModuleState();
  EXPECT_THROW(configure(inst, {"type 1009 3"}), kxui::ScriptExhausted);
  EXPECT_EQ(&kxui::currentModuleState(), &before);
  EXPECT_EQ(kxui::currentBackend(), nullptr);
  EXPECT_EQ(param(inst, "blendfaktor").dblVal, 1.0);
}

TEST(DialogFramework, WithoutABackendTheDialogFailsClearly) {
  auto inst = instance("_BlendImage");
  try {
    inst.configure();
    FAIL() << "a dialog ran without a user interface";
  } catch (const kxui::UiError& e) {
    EXPECT_NE(std::string(e.what()).find("no user interface"), std::string::npos) << e.what();
  }
  EXPECT_STREQ(kxui::currentModuleState().name(), "host program");
}

TEST(DialogFramework, ProcessorWithoutDialogIsRefused) {
  auto inst = instance("_AddImage");
  kxui::ScriptedBackend ui({});
  EXPECT_THROW(kxui::configure(inst, ui), std::runtime_error);
}

class ScriptFile : public ::testing::Test {
protected:
  std::string path = ::testing::TempDir() + "rk_dialog_actions.txt";
  void write(const std::string& text) { std::ofstream(path) << text; }
  void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(ScriptFile, RunsTheActionsAndPrintsWhatTheDialogShowed) {
  write("# scalar for the division\ntype 1008 4,5\nok\ntype 1008 4.5\n\nok\n");
  auto inst = instance("_ScalarDivImage");
  std::ostringstream transcript;
  kxui::ConfigureOutcome r = kxui::configureWithScript(inst, path, &transcript);
  EXPECT_TRUE(r.accepted());
  EXPECT_EQ(param(inst, "scalar").dblVal, 4.5);
  const std::string t = transcript.str();
  EXPECT_NE(t.find("dialog 131 \"Scalar\" opened"), std::string::npos) << t;
  EXPECT_NE(t.find("edit 1008 \"1\" focus"), std::string::npos) << t;
  EXPECT_NE(t.find("message box 0x30 \"RasterKit\": \"Please enter a number.\""), std::string::npos) << t;
  EXPECT_NE(t.find("dialog 131 ended with 1 (OK)"), std::string::npos) << t;
}

TEST_F(ScriptFile, LeftOverActionsAndBadLinesNameTheLine) {
  auto inst = instance("_ScalarDivImage");
  write("cancel\nok\n");
  try {
    kxui::configureWithScript(inst, path);
    FAIL() << "left-over actions were accepted";
  } catch (const kxui::ScriptError& e) {
    EXPECT_EQ(e.line(), 2);
    EXPECT_EQ(std::string(e.what()).rfind(path + ":2: ", 0), 0u) << e.what();
  }
  write("ok\nspin 1021 sideways\n");
  try {
    kxui::configureWithScript(inst, path);
    FAIL() << "a malformed action was accepted";
  } catch (const kxui::ScriptError& e) {
    EXPECT_EQ(e.line(), 2);
  }
}

}  // namespace
