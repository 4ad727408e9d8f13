// The configuration dialogs driven by scripted user actions through Instance::configure(): what is
// shown, what is written back and in which form, the checks and their messages, DTransform's rules.
#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "kxui/Configure.h"
#include "kxui/Scripted.h"
#include "support/DialogTexts.h"

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

// One configure call under a scripted backend, with every parameter write the host saw.
struct Configured {
  std::unique_ptr<kxui::ScriptedBackend> ui;
  kxui::ConfigureOutcome outcome;
  std::vector<std::pair<int32_t, tagVARIANT>> writes;

  const kxui::Screen& screen(std::size_t i) const { return ui->screens().at(i); }
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
  inst.onParameterSet = [raw = c.get()](int32_t i, const tagVARIANT& v) { raw->writes.push_back({i, v}); };
  struct Reset {
    kxhost::Instance& inst;
    ~Reset() { inst.onParameterSet = nullptr; }
  } reset{inst};
  c->outcome = kxui::configure(inst, *c->ui);
  return c;
}

tagVARIANT& param(kxhost::Instance& inst, const char* name) {
  int i = inst.paramIndex(name);
  if (i < 0) throw std::runtime_error(std::string("no parameter ") + name);
  return inst.params[static_cast<std::size_t>(i)];
}

// The single write of a parameter; fails the test when it was written never or more than once.
tagVARIANT writtenOnce(const Configured& c, const kxhost::Instance& inst, const char* name) {
  std::vector<tagVARIANT> found;
  for (const auto& [i, v] : c.writes)
    if (i == inst.paramIndex(name)) found.push_back(v);
  EXPECT_EQ(found.size(), 1u) << name;
  return found.empty() ? tagVARIANT{} : found[0];
}

bool sameVariant(const tagVARIANT& a, const tagVARIANT& b) {
  return a.vt == b.vt && (a.vt == VT_R8 ? sameBits(a.dblVal, b.dblVal) : a.lVal == b.lVal);
}

// ---- every dialog -------------------------------------------------------------------------------

class EveryDialog : public ::testing::TestWithParam<DialogCase> {};

// With values a lossy number format would change, every way out: the cancelling ones write
// nothing, OK and Enter write every parameter once, in index order, in its form, unchanged.
TEST_P(EveryDialog, WaysOutWriteNothingOrEveryParameterUnchanged) {
  const double reals[] = {0.1 + 0.2, -1.0 / 3.0, 1e-300, 5e-324, 1.7976931348623157e308, -0.0, 123456789.125};
  for (const char* way : {"cancel", "close", "escape", "ok", "enter"}) {
    auto inst = instance(GetParam().entry);
    std::size_t k = 0;
    for (std::size_t i = 0; i < inst.params.size(); ++i)
      inst.params[i] = inst.record()->params[i].type == 4 ? real(reals[k++ % std::size(reals)]) : integer(1);
    const std::vector<tagVARIANT> before = inst.params;
    auto c = configure(inst, {way});
    const bool ok = std::string(way) == "ok" || std::string(way) == "enter";
    EXPECT_EQ(c->outcome.returned, 1) << way;
    EXPECT_EQ(c->outcome.results, std::vector<int>{ok ? kxui::IDOK : kxui::IDCANCEL}) << way;
    EXPECT_EQ(c->screen(0).templateId, GetParam().templateId);
    EXPECT_TRUE(c->ui->messages().empty()) << way;
    ASSERT_EQ(c->writes.size(), ok ? before.size() : 0u) << way;
    for (std::size_t i = 0; i < before.size(); ++i) {
      EXPECT_TRUE(sameVariant(inst.params[i], before[i])) << way << " " << i;
      if (ok) {
        EXPECT_EQ(c->writes[i].first, static_cast<int32_t>(i));
      }
      if (ok) {
        EXPECT_TRUE(sameVariant(c->writes[i].second, before[i])) << inst.record()->params[i].name;
      }
    }
  }
}

// Each edit shows its own parameter and writes it back; the group's last button writes its index.
TEST_P(EveryDialog, EditsAndRadioButtonsMapToTheirParameters) {
  const DialogCase& d = GetParam();
  auto inst = opened(d);
  std::vector<std::string> actions;
  for (std::size_t k = 0; k < d.edits.size(); ++k) {
    std::ostringstream text;
    text << "type " << d.edits[k].first << " " << newValue(k, isReal(inst, d.edits[k].second));
    actions.push_back(text.str());
  }
  if (d.radioParam) actions.push_back("click " + std::to_string(d.firstRadio + d.radios - 1));
  actions.push_back("ok");
  auto c = configure(inst, actions);
  for (const auto& [id, name] : d.edits) EXPECT_EQ(c->screen(0).control(id).text, isReal(inst, name) ? "1.25" : "1");
  for (int k = 0; k < d.radios; ++k) EXPECT_EQ(c->screen(0).control(d.firstRadio + k).checked, k == openRadio(d));
  EXPECT_TRUE(c->ui->messages().empty());
  ASSERT_EQ(c->writes.size(), inst.params.size());
  for (std::size_t k = 0; k < d.edits.size(); ++k) {
    tagVARIANT v = writtenOnce(*c, inst, d.edits[k].second);
    EXPECT_EQ(v.vt == VT_R8 ? v.dblVal : v.lVal, newValue(k, isReal(inst, d.edits[k].second))) << d.edits[k].second;
  }
  if (d.radioParam) {
    EXPECT_EQ(writtenOnce(*c, inst, d.radioParam).lVal, d.radios - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryDialog, ::testing::ValuesIn(kDialogs), dialogName);

// ---- numbers in edits --------------------------------------------------------------------------

TEST(DialogEdit, ShowsTheShortestTextThatReadsBack) {
  auto inst = instance("_BinImage");
  param(inst, "above") = real(0.1);
  param(inst, "below") = real(-2.5e-8);
  param(inst, "threshold") = real(1e21);
  auto c = configure(inst, {"cancel"});
  EXPECT_EQ(c->screen(0).control(1006).text, "0.1");
  EXPECT_EQ(c->screen(0).control(1003).text, "-2.5e-08");
  EXPECT_EQ(c->screen(0).control(1005).text, "1e+21");
}

struct EditCase {
  std::string typed;
  bool accepted;
  double value;  // when accepted
};

void PrintTo(const EditCase& e, std::ostream* o) { *o << "'" << e.typed << "'"; }

// A real edit (_BlendImage's) and an integer one (_ConstImage's "MCount"), both control 1009.
class DialogEditText : public ::testing::TestWithParam<std::tuple<bool, EditCase>> {};

TEST_P(DialogEditText, NonNumbersShowTheFrameworkMessageAndKeepTheDialogOpen) {
  const auto& [isDouble, e] = GetParam();
  const char* name = isDouble ? "blendfaktor" : "MCount";
  auto inst = instance(isDouble ? "_BlendImage" : "_ConstImage");
  const tagVARIANT before = param(inst, name);
  auto c = configure(inst, {"type 1009 " + e.typed, "ok", "cancel"});
  if (e.accepted) {
    EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDOK});
    EXPECT_EQ(c->ui->remaining(), 1u);  // OK ended the dialog; the cancel is left over
    tagVARIANT w = writtenOnce(*c, inst, name);
    EXPECT_EQ(w.vt == VT_R8 ? w.dblVal : w.lVal, e.value);
    EXPECT_TRUE(c->ui->messages().empty());
    return;
  }
  EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDCANCEL});
  ASSERT_EQ(c->ui->messages().size(), 1u);
  const kxui::ShownMessage& m = c->ui->messages()[0];
  EXPECT_EQ(m.text, isDouble ? kxui::kParseRealMessage : kxui::kParseIntMessage);
  EXPECT_EQ(m.style, kxui::MB_ICONEXCLAMATION);
  EXPECT_EQ(m.title, "RasterKit");
  // Still open after OK, with the user's text, and the focus on the edit that failed.
  EXPECT_EQ(c->screen(2).after, "ok");
  EXPECT_EQ(c->screen(2).control(1009).text, e.typed);
  EXPECT_TRUE(c->screen(2).control(1009).focused);
  EXPECT_TRUE(c->writes.empty());
  EXPECT_TRUE(sameVariant(param(inst, name), before));
}

INSTANTIATE_TEST_SUITE_P(Doubles, DialogEditText,
                         ::testing::Combine(::testing::Values(true),
                                            ::testing::Values(EditCase{"abc", false, 0}, EditCase{"", false, 0},
                                                              EditCase{"1,5", false, 0}, EditCase{"1.5.2", false, 0},
                                                              EditCase{"1e999", false, 0},
                                                              EditCase{" -0.75 ", true, -0.75},
                                                              EditCase{"+2e3", true, 2000}, EditCase{"12", true, 12})));
INSTANTIATE_TEST_SUITE_P(Integers, DialogEditText,
                         ::testing::Combine(::testing::Values(false),
                                            ::testing::Values(EditCase{"1.5", false, 0}, EditCase{"1e3", false, 0},
                                                              EditCase{"2147483648", false, 0},
                                                              EditCase{"12abc", false, 0}, EditCase{" 42 ", true, 42},
                                                              EditCase{"2147483647", true, 2147483647})));

// ---- the count checks --------------------------------------------------------------------------

struct CountCase {
  const char* entry;
  int countId, planesId, xId, yId, scalarId;
  const char *planesParam, *scalarParam;
};

class CountChecks : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountChecks, MadeInOrderOneMessageAtATimeUntilAllAreCorrected) {
  const CountCase& k = GetParam();
  auto inst = instance(k.entry);
  param(inst, "MCount") = integer(0);
  param(inst, k.planesParam) = integer(0);
  param(inst, "X") = integer(0);
  param(inst, "Y") = integer(-5);
  auto type = [](int id, int v) { return "type " + std::to_string(id) + " " + std::to_string(v); };
  auto c = configure(
      inst, {"ok", type(k.countId, 2), "ok", type(k.planesId, 3), "ok", type(k.xId, 4), "ok", type(k.yId, 5), "ok"});
  ASSERT_EQ(c->messageTexts(), (std::vector<std::string>{kImagesMsg, kPlanesMsg, kXMsg, kYMsg}));
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_EQ(c->ui->messages()[m].style, 0x10u);
    EXPECT_EQ(c->ui->messages()[m].title, kTitle);
    // Each came with the OK after the previous correction (screens: open, ok, type, ok, ...).
    EXPECT_EQ(c->ui->messages()[m].screen, 2 * m);
  }
  EXPECT_EQ(c->outcome.results, std::vector<int>{kxui::IDOK});
  ASSERT_EQ(c->writes.size(), inst.params.size());
  EXPECT_EQ(writtenOnce(*c, inst, "MCount").lVal, 2);
  EXPECT_EQ(writtenOnce(*c, inst, k.planesParam).lVal, 3);
  EXPECT_EQ(writtenOnce(*c, inst, "X").lVal, 4);
  EXPECT_EQ(writtenOnce(*c, inst, "Y").lVal, 5);
}

TEST_P(CountChecks, SizeMessageAloneWhenCountsAreValidAndNoUpperLimitNorScalarCheck) {
  const CountCase& k = GetParam();
  auto inst = instance(k.entry);
  param(inst, "X") = integer(0);
  param(inst, "Y") = integer(-5);
  auto c = configure(inst, {"ok", "cancel"});
  EXPECT_EQ(c->messageTexts(), std::vector<std::string>{kXMsg});
  EXPECT_TRUE(c->writes.empty());
  EXPECT_EQ(param(inst, "X").lVal, 0);
  param(inst, "MCount") = integer(0);
  auto id = [](int n) { return std::to_string(n); };
  c = configure(inst, {"type " + id(k.countId) + " 1", "type " + id(k.xId) + " 10000000",
                       "type " + id(k.yId) + " 2147483647", "type " + id(k.scalarId) + " -1e300", "ok"});
  EXPECT_TRUE(c->ui->messages().empty());
  EXPECT_EQ(writtenOnce(*c, inst, "X").lVal, 10000000);
  EXPECT_EQ(writtenOnce(*c, inst, "Y").lVal, 2147483647);
  EXPECT_EQ(writtenOnce(*c, inst, k.scalarParam).dblVal, -1e300);
}

INSTANTIATE_TEST_SUITE_P(Generators, CountChecks,
                         ::testing::Values(CountCase{"_ConstImage", 1009, 1012, 1010, 1011, 1008, "Plane", "scalar"},
                                           CountCase{"_ImagePlane", 1009, 1017, 1010, 1011, 1004, "Planes", "Offset"}),
                         [](const auto& info) { return std::string(info.param.entry + 1); });

// ---- radio groups ------------------------------------------------------------------------------

struct RadioCase {
  const char* entry;
  int32_t initial;
  std::vector<std::string> actions;
  int selected;  // control id shown selected after opening, 0: none
  int32_t written;
};

void PrintTo(const RadioCase& r, std::ostream* o) {
  *o << r.entry << " " << r.initial;
  for (const std::string& a : r.actions) *o << ", " << a;
}

class RadioGroup : public ::testing::TestWithParam<RadioCase> {};

TEST_P(RadioGroup, ReadAsIndexOrMinusOne) {
  const RadioCase& r = GetParam();
  const DialogCase& d = *std::find_if(std::begin(kDialogs), std::end(kDialogs),
                                      [&](const DialogCase& x) { return std::string(x.entry) == r.entry; });
  auto inst = instance(r.entry);
  param(inst, d.radioParam) = integer(r.initial);
  auto c = configure(inst, r.actions);
  for (int id = d.firstRadio; id < d.firstRadio + d.radios; ++id)
    EXPECT_EQ(c->screen(0).control(id).checked, r.selected == id) << id;
  tagVARIANT v = writtenOnce(*c, inst, d.radioParam);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, r.written);
}

INSTANTIATE_TEST_SUITE_P(Values, RadioGroup,
                         ::testing::Values(RadioCase{"_BinAdaptThreshImage", 1, {"ok"}, 1001, 1},
                                           RadioCase{"_BinAdaptThreshImage", 0, {"ok"}, 1000, 0},
                                           RadioCase{"_BinAdaptThreshImage", -1, {"ok"}, 0, -1},
                                           RadioCase{"_BinAdaptThreshImage", 7, {"ok"}, 0, -1},
                                           RadioCase{"_BinAdaptThreshImage", -1, {"click 1001", "ok"}, 0, 1},
                                           RadioCase{"_BinAdaptThreshImage", 1, {"click 1000", "ok"}, 1001, 0},
                                           RadioCase{
                                               "_BinAdaptThreshImage", 0, {"click 1001", "click 1000", "ok"}, 1000, 0},
                                           RadioCase{"_MittelWert", 0, {"click 1014", "ok"}, 1013, 1},
                                           RadioCase{"_MittelWert", 3, {"ok"}, 0, -1},
                                           RadioCase{"_TransformImage", 2, {"click 1023", "ok"}, 1025, 0}));

// ---- DTransform --------------------------------------------------------------------------------

constexpr int kAngleControls[] = {1018, 1021, 1022};

TEST(Transform, RotateEnablesTheAngleControlsAndAnyTypedAngleIsStored) {
  auto inst = instance("_TransformImage");
  param(inst, "TransType") = integer(2);
  param(inst, "RotDegree") = real(37.5);
  auto c = configure(inst, {"click 1024", "click 1025", "type 1018 500", "click 1023", "ok"});
  EXPECT_TRUE(c->screen(0).control(1025).checked);
  EXPECT_EQ(c->screen(0).control(1018).text, "37.5");
  EXPECT_TRUE(c->screen(0).control(1018).focused);  // the first enabled control with a tab stop
  for (int id : kAngleControls) {
    EXPECT_TRUE(c->screen(0).control(id).enabled) << id;
    EXPECT_FALSE(c->screen(1).control(id).enabled) << id;  // Flip vertical
    EXPECT_TRUE(c->screen(2).control(id).enabled) << id;   // Rotate
    EXPECT_FALSE(c->screen(4).control(id).enabled) << id;  // Flip horizontal
  }
  EXPECT_TRUE(c->screen(1).control(1024).checked);
  EXPECT_FALSE(c->screen(1).control(1025).checked);
  EXPECT_EQ(c->screen(1).control(1018).text, "37.5");
  EXPECT_TRUE(c->ui->messages().empty());
  EXPECT_EQ(writtenOnce(*c, inst, "TransType").lVal, 0);
  EXPECT_EQ(writtenOnce(*c, inst, "RotDegree").dblVal, 500.0);
  EXPECT_EQ(param(inst, "RotDegree").vt, VT_R8);
  EXPECT_EQ(param(inst, "RotDegree").dblVal, 500.0);
}

TEST(Transform, FlipTypesAndUnselectedGroupOpenWithTheAngleDisabledAndUnusable) {
  for (int32_t type : {0, 1, -1, 3}) {
    auto inst = instance("_TransformImage");
    param(inst, "TransType") = integer(type);
    auto c = configure(inst, {"cancel"});
    for (int id : kAngleControls) EXPECT_FALSE(c->screen(0).control(id).enabled) << type;
    EXPECT_EQ(c->screen(0).control(1023).checked, type == 0);
    EXPECT_EQ(c->screen(0).control(1024).checked, type == 1);
    EXPECT_FALSE(c->screen(0).control(1025).checked);
    EXPECT_TRUE(c->screen(0).control(1).focused) << type;
  }
  auto inst = instance("_TransformImage");
  EXPECT_THROW(configure(inst, {"spin 1021 up", "ok"}), kxui::ScriptError);
  EXPECT_THROW(configure(inst, {"type 1018 5", "ok"}), kxui::ScriptError);
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
  param(inst, "TransType") = integer(2);
  param(inst, "RotDegree") = real(k.start);
  auto c = configure(inst, {std::string("spin 1021 ") + (k.up ? "up" : "down"), "ok"});
  EXPECT_EQ(c->screen(1).control(1018).text, k.shown);
  EXPECT_TRUE(c->ui->messages().empty());
  ASSERT_EQ(c->writes.size(), 2u);
  EXPECT_TRUE(sameVariant(c->writes[0].second, integer(2)));
  EXPECT_TRUE(sameVariant(c->writes[1].second, real(k.stored)));
}

INSTANTIATE_TEST_SUITE_P(Angles, TransformSpin,
                         ::testing::Values(SpinCase{180, true, "-90", -90}, SpinCase{-180, false, "90", 90},
                                           SpinCase{37.5, true, "38.5", 38.5}, SpinCase{37.5, false, "36.5", 36.5},
                                           SpinCase{180, false, "179", 179}, SpinCase{-180, true, "-179", -179},
                                           SpinCase{179, true, "180", 180}, SpinCase{-179, false, "-180", -180},
                                           SpinCase{179.5, true, "-90", -90}, SpinCase{-179.5, false, "90", 90},
                                           SpinCase{500, false, "-90", -90}, SpinCase{0, false, "-1", -1}));

TEST(Transform, SpinStartsFromTheTypedAngleOrTheOldOneWhenTheTextIsNoNumber) {
  auto inst = instance("_TransformImage");
  param(inst, "TransType") = integer(2);
  param(inst, "RotDegree") = real(37.5);
  auto c =
      configure(inst, {"type 1018 10", "spin 1021 up", "spin 1021 up", "type 1018 abc", "spin 1021 down", "cancel"});
  EXPECT_EQ(c->screen(2).control(1018).text, "11");
  EXPECT_EQ(c->screen(3).control(1018).text, "12");
  EXPECT_EQ(c->screen(5).control(1018).text, "11");
  EXPECT_EQ(c->messageTexts(), std::vector<std::string>{kxui::kParseRealMessage});
  EXPECT_TRUE(c->writes.empty());
}

// ---- the framework around the dialogs -----------------------------------------------------------

TEST(DialogFramework, FailuresWriteNothingAndRestoreTheModuleState) {
  auto inst = instance("_BlendImage");
  kxui::ModuleState& before = kxui::currentModuleState();
  EXPECT_THROW(configure(inst, {"type 1009 3"}), kxui::ScriptExhausted);
  EXPECT_EQ(&kxui::currentModuleState(), &before);
  EXPECT_EQ(kxui::currentBackend(), nullptr);
  EXPECT_EQ(param(inst, "blendfaktor").dblVal, 1.0);
  try {
    inst.configure();
    ADD_FAILURE() << "a dialog ran without a user interface";
  } catch (const kxui::UiError& e) {
    EXPECT_NE(std::string(e.what()).find("no user interface"), std::string::npos) << e.what();
  }
  EXPECT_STREQ(kxui::currentModuleState().name(), "host program");
  auto add = instance("_AddImage");  // a processor without a dialog
  kxui::ScriptedBackend ui({});
  EXPECT_THROW(kxui::configure(add, ui), std::runtime_error);
}

// A script file: comments and blank lines skipped, the transcript printed, a corrected text
// written once; left-over actions and malformed lines named by file and line.
TEST(DialogScriptFile, RunsTheActionsAndNamesTheLineOfAnError) {
  const std::string path = ::testing::TempDir() + "rk_dialog_actions.txt";
  std::ofstream(path) << "# scalar for the division\ntype 1008 4,5\nok\ntype 1008 4.5\n\nok\n";
  auto inst = instance("_ScalarDivImage");
  int writes = 0;
  inst.onParameterSet = [&](int32_t, const tagVARIANT&) { ++writes; };
  std::ostringstream transcript;
  EXPECT_TRUE(kxui::configureWithScript(inst, path, &transcript).accepted());
  inst.onParameterSet = nullptr;
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(param(inst, "scalar").dblVal, 4.5);
  const std::string t = transcript.str();
  for (const char* line :
       {"dialog 131 \"Scalar\" opened", "edit 1008 \"1\" focus",
        "message box 0x30 \"RasterKit\": \"Please enter a number.\"", "dialog 131 ended with 1 (OK)"})
    EXPECT_NE(t.find(line), std::string::npos) << line << " in " << t;
  for (const char* script : {"cancel\nok\n", "ok\nspin 1021 sideways\n", "# c\n\nx\n"}) {
    std::ofstream(path) << script;
    try {
      kxui::configureWithScript(inst, path);
      ADD_FAILURE() << "accepted " << script;
    } catch (const kxui::ScriptError& e) {
      const int line = script[0] == '#' ? 3 : 2;
      EXPECT_EQ(e.line(), line) << script;
      EXPECT_EQ(std::string(e.what()).rfind(path + ":" + std::to_string(line) + ": ", 0), 0u) << e.what();
    }
  }
  std::remove(path.c_str());
}

}  // namespace
