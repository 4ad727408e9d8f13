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
  Writes writes;

  const kxui::Screen& screen(std::size_t i) const { return ui->screens().at(i); }
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

// What a scenario's checks read from one screen of the scripted dialog.
auto shown(const kxui::Screen& screen) {
  return [&screen](int id) {
    const kxui::ShownControl& c = screen.control(id);
    return Shown{c.text, c.checked, c.enabled, c.focused};
  };
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
    ASSERT_NO_FATAL_FAILURE(expectWritten(c->writes, inst, ok, {})) << way;
    for (std::size_t i = 0; i < before.size(); ++i) {
      EXPECT_TRUE(sameVariant(inst.params[i], before[i])) << way << " " << i;
      EXPECT_TRUE(!ok || sameVariant(c->writes[i].second, before[i])) << inst.record()->params[i].name;
    }
  }
}

// Each edit shows its own parameter and writes it back; the group's last button writes its index.
TEST_P(EveryDialog, EditsAndRadioButtonsMapToTheirParameters) {
  const DialogCase& d = GetParam();
  auto inst = opened(d);
  std::vector<std::pair<std::string, double>> expected;
  std::vector<std::string> actions = editActions(d, inst, &expected);
  actions.push_back("ok");
  auto c = configure(inst, actions);
  for (const std::string& check : openedChecks(d, inst)) expectShown(check, shown(c->screen(0)));
  EXPECT_TRUE(c->ui->messages().empty());
  expectWritten(c->writes, inst, true, expected);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryDialog, ::testing::ValuesIn(kDialogs), dialogName);

// ---- the scenarios -----------------------------------------------------------------------------

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, ShowAndWriteWhatTheyExpect) {
  const Scenario& s = GetParam();
  auto inst = scenarioInstance(s);
  std::vector<std::string> actions;
  std::vector<std::pair<std::size_t, std::string>> checks;  // after how many actions
  for (const std::string& l : s.lines) {
    if (isCheck(l))
      checks.push_back({actions.size(), l});
    else
      actions.push_back(l);
  }
  auto c = configure(inst, actions);
  std::size_t messages = 0;
  for (const auto& [after, check] : checks) {
    if (check.rfind("message ", 0) == 0) {
      ASSERT_LT(messages, c->ui->messages().size()) << check;
      const kxui::ShownMessage& m = c->ui->messages()[messages++];
      const Message want = message(check.substr(8));
      EXPECT_EQ(std::tie(m.text, m.title, m.style), std::tie(want.text, want.title, want.style)) << check;
      EXPECT_EQ(m.screen + 1, after) << check << ": shown by another action";  // the dialog stayed open
      continue;
    }
    expectShown(check, shown(c->screen(after)));
  }
  EXPECT_EQ(messages, c->ui->messages().size());
  const auto written = assignments(s.written);
  EXPECT_EQ(c->outcome.results, std::vector<int>{written.empty() ? kxui::IDCANCEL : kxui::IDOK});
  expectWritten(c->writes, inst, !written.empty(), written);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, Scenarios, ::testing::ValuesIn(kScenarios));

TEST(Transform, AngleControlsCannotBeUsedWhileDisabled) {
  auto inst = instance("_TransformImage");
  EXPECT_THROW(configure(inst, {"spin 1021 up", "ok"}), kxui::ScriptError);
  EXPECT_THROW(configure(inst, {"type 1018 5", "ok"}), kxui::ScriptError);
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
