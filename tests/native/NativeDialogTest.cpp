// The dialogs as native Windows dialogs: built by the system's dialog manager from the plug-in's
// template resources and driven as a user drives them (texts set in edits, buttons and spin arrows
// clicked, keys pressed), from a timer that ticks inside the dialog's modal loop. The system's
// message boxes are read (title, text, icon, owner) and answered the same way.
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "kxui/Configure.h"
#include "kxui/Scripted.h"
#include "kxui/Win32Backend.h"
#include "support/DialogTexts.h"

using namespace rktest;

namespace {

std::string windowText(HWND w) {
  std::wstring t(static_cast<std::size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  t.resize(static_cast<std::size_t>(GetWindowTextW(w, t.data(), static_cast<int>(t.size()))));
  std::string s(t.size() * 2, '\0');
  s.resize(static_cast<std::size_t>(WideCharToMultiByte(1252, 0, t.data(), static_cast<int>(t.size()), s.data(),
                                                        static_cast<int>(s.size()), "?", nullptr)));
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

std::string lowerClassOf(HWND w) {
  char name[64];
  int n = GetClassNameA(w, name, 64);
  return lower(std::string(name, static_cast<std::size_t>(n > 0 ? n : 0)));
}

// A system message box as it was shown.
struct Box {
  std::string title, text;
  HICON icon = nullptr;
  HWND owner = nullptr;
};

BOOL CALLBACK collectDialog(HWND w, LPARAM list) {
  if (IsWindowVisible(w) && lowerClassOf(w) == "#32770") reinterpret_cast<std::vector<HWND>*>(list)->push_back(w);
  return TRUE;
}

// Runs a dialog export with a step for each tick of a thread timer while the dialog is open. The
// timer's messages come through whichever modal loop runs (the dialog's or a message box's): a
// message box is recorded and answered with OK at once; otherwise the open dialog gets the next
// step. Steps post their input, so each has been handled before the next tick.
class Driver {
public:
  using Step = std::function<void(HWND dialog)>;
  explicit Driver(std::vector<Step> steps) : steps_(std::move(steps)) {}

  std::vector<Box> boxes;
  Writes writes;
  HWND dialog = nullptr;

  // The export under the backend the framework gives when the host program selects none: the
  // native one, or no step would find a window to act on.
  kxui::ConfigureOutcome run(kxhost::Instance& inst) {
    inst.onParameterSet = [this](int32_t i, const tagVARIANT& v) { writes.push_back({i, v}); };
    active_ = this;
    struct Cleanup {
      kxhost::Instance& inst;
      UINT_PTR timer;
      ~Cleanup() {
        KillTimer(nullptr, timer);
        active_ = nullptr;
        inst.onParameterSet = nullptr;
      }
    } cleanup{inst, SetTimer(nullptr, 0, 10, &Driver::tick)};
    kxui::ConfigureOutcome r = kxui::configure(inst, *kxui::currentBackend());
    EXPECT_EQ(next_, steps_.size()) << "the dialog closed before every step ran";
    return r;
  }

private:
  static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
    if (active_) active_->onTick();
  }

  void onTick() {
    std::vector<HWND> open;
    EnumThreadWindows(GetCurrentThreadId(), collectDialog, reinterpret_cast<LPARAM>(&open));
    if (open.empty()) return;
    if (!dialog || !IsWindow(dialog)) dialog = open.size() == 1 ? open[0] : nullptr;
    for (HWND w : open) {
      if (w == dialog) continue;
      Box b{windowText(w), "", nullptr, GetWindow(w, GW_OWNER)};
      for (HWND s = GetWindow(w, GW_CHILD); s; s = GetWindow(s, GW_HWNDNEXT)) {
        if (lowerClassOf(s) != "static") continue;
        if ((GetWindowLongW(s, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
          b.icon = reinterpret_cast<HICON>(SendMessageW(s, STM_GETICON, 0, 0));
        else if (b.text.empty())
          b.text = windowText(s);
      }
      boxes.push_back(b);
      PostMessageW(w, WM_COMMAND, IDOK, 0);
      return;
    }
    if (busy_ || !dialog) return;
    if (next_ == steps_.size()) {
      if (!gaveUp_) ADD_FAILURE() << "the dialog is still open after the last step";
      gaveUp_ = true;
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    busy_ = true;
    steps_[next_++](dialog);
    busy_ = false;
  }

  static inline Driver* active_ = nullptr;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  bool busy_ = false, gaveUp_ = false;
};

using Step = Driver::Step;

// A scripted action ("type 1009 3", "click 1025", "spin 1021 up", "ok", "enter", "close", ...)
// performed as a user performs it: keys go where the focus is, spin arrows are clicked on their half.
Step act(const std::string& line) {
  const kxui::Action a = kxui::parseActions(line, "step").at(0);
  return [=](HWND d) {
    using K = kxui::Action;
    const int id = a.kind == K::Ok ? IDOK : a.kind == K::Cancel ? IDCANCEL : a.id;
    HWND c = GetDlgItem(d, id), focus = GetFocus();
    if (a.kind == K::Close) {
      PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (a.kind == K::Enter || a.kind == K::Escape) {
      ASSERT_TRUE(focus && IsChild(d, focus));
      const WPARAM key = a.kind == K::Enter ? VK_RETURN : VK_ESCAPE;
      PostMessageW(focus, WM_KEYDOWN, key, 1);
      PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
    } else {
      ASSERT_TRUE(c && IsWindowEnabled(c)) << line;
      RECT r;
      GetClientRect(c, &r);
      const LPARAM at = MAKELPARAM(r.right / 2, a.up ? r.bottom / 4 : r.bottom * 3 / 4);
      if (a.kind == K::Type) {
        SetWindowTextA(c, a.text.c_str());
      } else if (a.kind == K::Spin) {
        PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(c, WM_LBUTTONUP, 0, at);
      } else {
        PostMessageW(c, BM_CLICK, 0, 0);
      }
    }
  };
}

// A scenario's check read from the windows; "message" finds the `shown`-th box the driver answered.
Step check(const std::string& line, const Driver* const& running, std::size_t shown) {
  return [=, &running](HWND d) {
    if (line.rfind("message ", 0) == 0) {
      ASSERT_EQ(running->boxes.size(), shown + 1) << line;
      const Box& b = running->boxes.back();
      const Message want = message(line.substr(8));
      EXPECT_EQ(std::tie(b.text, b.title), std::tie(want.text, want.title)) << line;
      EXPECT_EQ(b.icon, LoadIconA(nullptr, want.style == 0x10 ? IDI_HAND : IDI_EXCLAMATION));
      EXPECT_EQ(b.owner, d) << "the box is not modal to the dialog";
      return;
    }
    expectShown(line, [d](int id) {
      HWND c = GetDlgItem(d, id);
      return Shown{windowText(c), IsDlgButtonChecked(d, id) == BST_CHECKED, IsWindowEnabled(c) != FALSE,
                   GetFocus() == c};
    });
  };
}

// The dialog and every control where the template puts them, in template order, with the
// template's ids, classes, texts and style bits.
void expectMatchesTemplate(HWND d, const kxui::DialogTemplate& t) {
  EXPECT_EQ(windowText(d), t.caption);
  RECT size{0, 0, t.rect.width, t.rect.height}, client;
  MapDialogRect(d, &size);
  GetClientRect(d, &client);
  EXPECT_EQ(client.right, size.right) << "dialog " << t.id;
  EXPECT_EQ(client.bottom, size.bottom) << "dialog " << t.id;
  std::size_t i = 0;
  for (HWND w = GetWindow(d, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT), ++i) {
    ASSERT_LT(i, t.controls.size()) << "dialog " << t.id << " has more controls than its template";
    const kxui::ControlTemplate& c = t.controls[i];
    std::string what = "dialog " + std::to_string(t.id) + " line " + std::to_string(c.line);
    EXPECT_EQ(static_cast<WORD>(GetDlgCtrlID(w)), static_cast<WORD>(c.id)) << what;
    EXPECT_EQ(lowerClassOf(w), lower(c.className)) << what;
    // The dialog manager maps the position and the size each on its own, in the dialog's base units.
    RECT want{c.rect.x, c.rect.y, c.rect.width, c.rect.height}, got;
    MapDialogRect(d, &want);
    GetWindowRect(w, &got);
    MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_EQ(got.left, want.left) << what;
    EXPECT_EQ(got.top, want.top) << what;
    // wine's up-down control takes its default width of 16 pixels whatever it was created with.
    if (c.kind != kxui::ControlKind::Spin) {
      EXPECT_EQ(got.right - got.left, want.right) << what;
    }
    EXPECT_EQ(got.bottom - got.top, want.bottom) << what;
    LONG style = GetWindowLongW(w, GWL_STYLE);
    // A radio button's tab stop follows its check (the button control sets it when selected).
    if (c.kind != kxui::ControlKind::RadioButton) {
      EXPECT_EQ((style & WS_TABSTOP) != 0, c.has(kxui::style::kTabStop)) << what;
    }
    EXPECT_EQ((style & WS_GROUP) != 0, c.has(kxui::style::kGroup)) << what;
    if (c.kind != kxui::ControlKind::Edit) {
      EXPECT_EQ(windowText(w), c.text) << what;
    }
  }
  EXPECT_EQ(i, t.controls.size()) << "dialog " << t.id;
}

class NativeDialog : public ::testing::Test {
protected:
  void SetUp() override {
    // Under wine a window needs an X display; without one (the headless test run) there is none.
    bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    char display[256];
    DWORD n = GetEnvironmentVariableA("DISPLAY", display, sizeof display);
    if (wine && (n == 0 || n >= sizeof display)) GTEST_SKIP() << "no X display for wine";
  }
};

class EveryNativeDialog : public NativeDialog, public ::testing::WithParamInterface<DialogCase> {};

// Built from its template, showing its parameters; new values typed and the group's last button
// clicked, then each way out: OK and Enter write every parameter, the others nothing.
TEST_P(EveryNativeDialog, BuiltFromTheTemplateShowsAndWritesItsParameters) {
  static const kxui::Resources script = [] {
    std::ifstream in(RK_PATH_PREFIX RK_SOURCE_DIR "/dialogs/RasterKit.rc", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return kxui::parseResourceScript(text.str(), "RasterKit.rc");
  }();
  const DialogCase& c = GetParam();
  const kxui::DialogTemplate* t = script.findDialog(c.templateId);
  ASSERT_NE(t, nullptr);
  for (const char* way : {"ok", "enter", "cancel", "escape", "close"}) {
    kxhost::Instance inst = opened(c);
    const Driver* running = nullptr;
    std::vector<Step> steps{[&](HWND d) { expectMatchesTemplate(d, *t); }};
    for (const std::string& line : openedChecks(c, inst)) steps.push_back(check(line, running, 0));
    std::vector<std::pair<std::string, double>> expected;
    for (const std::string& line : editActions(c, inst, &expected)) steps.push_back(act(line));
    steps.push_back(act(way));
    Driver driver(steps);
    kxui::ConfigureOutcome r = driver.run(inst);
    const bool ok = std::string(way) == "ok" || std::string(way) == "enter";
    EXPECT_EQ(r.returned, 1);
    EXPECT_EQ(r.results, std::vector<int>{ok ? IDOK : IDCANCEL}) << way;
    EXPECT_TRUE(driver.boxes.empty());
    expectWritten(driver.writes, inst, ok, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryNativeDialog, ::testing::ValuesIn(kDialogs), dialogName);

class NativeScenarios : public NativeDialog, public ::testing::WithParamInterface<Scenario> {};

TEST_P(NativeScenarios, ShowAndWriteWhatTheyExpect) {
  const Scenario& s = GetParam();
  kxhost::Instance inst = scenarioInstance(s);
  const Driver* running = nullptr;
  std::vector<Step> steps;
  std::size_t shown = 0;
  for (const std::string& line : s.lines) {
    steps.push_back(isCheck(line) ? check(line, running, shown) : act(line));
    if (line.rfind("message ", 0) == 0) ++shown;
  }
  Driver driver(steps);
  running = &driver;
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(driver.boxes.size(), shown);
  const auto written = assignments(s.written);
  EXPECT_EQ(r.results, std::vector<int>{written.empty() ? IDCANCEL : IDOK});
  expectWritten(driver.writes, inst, !written.empty(), written);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, NativeScenarios, ::testing::ValuesIn(kScenarios));

}  // namespace
