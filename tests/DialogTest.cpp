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
  std::size_t shown = 0;
  for (const auto& [after, check] : checks) {
    std::istringstream in(check);
    std::string word, text;
    in >> word;
    if (word == "message") {
      ASSERT_LT(shown, c->ui->messages().size()) << check;
      const kxui::ShownMessage& m = c->ui->messages()[shown++];
      in >> text;
      EXPECT_EQ(m.text, message(text).text) << check;
      EXPECT_EQ(m.title, message(text).title) << check;
      EXPECT_EQ(m.style, message(text).style) << check;
      EXPECT_EQ(m.screen + 1, after) << check << ": shown by another action";  // the dialog stayed open
      continue;
    }
    int id = 0;
    for (in >> id; word != "text" && in; in >> id) {
      const kxui::ShownControl& sc = c->screen(after).control(id);
      const bool state = word == "checked" || word == "unchecked" ? sc.checked
                         : word == "focused"                      ? sc.focused
                                                                  : sc.enabled;
      EXPECT_EQ(state, word == "checked" || word == "enabled" || word == "focused") << check << " (" << id << ")";
    }
    if (word == "text") {
      EXPECT_EQ(c->screen(after).control(id).text, check.substr(check.find(' ', 5) + 1)) << check;
    }
  }
  EXPECT_EQ(shown, c->ui->messages().size());
  const auto written = assignments(s.written);
  EXPECT_EQ(c->outcome.results, std::vector<int>{written.empty() ? kxui::IDCANCEL : kxui::IDOK});
  ASSERT_EQ(c->writes.size(), written.empty() ? 0 : inst.params.size());
  for (std::size_t i = 0; i < c->writes.size(); ++i) {
    EXPECT_EQ(c->writes[i].first, static_cast<int32_t>(i));
    EXPECT_EQ(c->writes[i].second.vt, inst.record()->params[i].type == 4 ? VT_R8 : VT_I4);
  }
  for (const auto& [name, value] : written) {
    tagVARIANT v = writtenOnce(*c, inst, name.c_str());
    EXPECT_EQ(v.vt == VT_R8 ? v.dblVal : v.lVal, value) << name;
  }
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
