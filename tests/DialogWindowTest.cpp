// The dialogs in real FLTK windows on a private Xvfb display: every control drawn where its template
// rectangle says, screenshots for people to look at, and keyboard and mouse input reaching the
// dialog through the toolkit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "kxui/Configure.h"
#include "kxui/WindowBackend.h"
#include "support/DialogTexts.h"

// The toolkit and the X libraries keep caches for the whole process (fonts, the display); they are
// not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libX11\nleak:libXft\nleak:libfltk\nleak:libxcb\nleak:libfreetype\n";
}

using namespace rktest;

namespace kxui {
// Found by argument-dependent lookup, so failures print rectangles readably.
std::ostream& operator<<(std::ostream& o, const Rect& r) {
  return o << "(" << r.x << ", " << r.y << ", " << r.width << " x " << r.height << ")";
}
}  // namespace kxui

namespace {

// An X server of the test's own on a display number it picks itself (-displayfd), started on first
// use and stopped at exit: the toolkit keeps its connection to the display open until then.
// Returns an error text, or "" once the server accepts connections and DISPLAY names it.
const std::string& serverError() {
  static pid_t pid = -1;
  static const std::string error = [] {
    int fds[2];
    if (pipe(fds) != 0 || (pid = fork()) < 0) return "pipe or fork failed";
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server outlives a test process that dies
      close(fds[0]);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    std::atexit([] { kill(pid, SIGTERM), waitpid(pid, nullptr, 0); });
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char buf[16];
    for (ssize_t n;
         number.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0 && (n = read(fds[0], buf, sizeof buf)) > 0;)
      number.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    if (number.find('\n') == std::string::npos) return "Xvfb did not report a display number";
    number.erase(number.find('\n'));
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return "";
  }();
  return error;
}

class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_EQ(serverError(), "");
  }
};

// Where a template rectangle lands in pixels: position and size each scaled by the 8-point font's
// base units (6 / 4 horizontally, 13 / 8 vertically) and rounded half away from zero, as the
// Windows dialog manager places controls.
kxui::Rect expectedPixels(const kxui::Rect& r) {
  auto h = [](int v) { return static_cast<int>(std::lround(v * 1.5)); };
  auto v = [](int u) { return static_cast<int>(std::lround(u * 1.625)); };
  return {h(r.x), v(r.y), h(r.width), v(r.height)};
}

// The smallest rectangle holding every pixel that differs between two pictures (width 0: none).
kxui::Rect difference(const kxui::Image& a, const kxui::Image& b) {
  int x0 = a.width, y0 = a.height, x1 = -1, y1 = -1;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      if (std::memcmp(a.at(x, y), b.at(x, y), 3) == 0) continue;
      x0 = std::min(x0, x);
      y0 = std::min(y0, y);
      x1 = std::max(x1, x);
      y1 = std::max(y1, y);
    }
  }
  return x1 < 0 ? kxui::Rect{} : kxui::Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

bool inside(const kxui::Rect& inner, const kxui::Rect& outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
         inner.y + inner.height <= outer.y + outer.height;
}

class EveryDialogWindow : public WindowTest, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(EveryDialogWindow, DrawsEachControlAtItsTemplateRectangle) {
  auto inst = opened(GetParam());  // the transformation's angle controls enabled
  const std::string name = inst.record()->dialog->function;
  bool shown = false;
  kxui::WindowBackend ui;
  ui.onShown = [&](kxui::WindowView& view) {
    shown = true;
    const kxui::DialogTemplate& t = view.session().dialogTemplate();
    kxui::Image full = view.capture();
    EXPECT_EQ(kxui::Rect({0, 0, full.width, full.height}), expectedPixels({0, 0, t.rect.width, t.rect.height}));
    std::filesystem::create_directories(RK_BINARY_DIR "/screenshots");
    full.writePng(RK_BINARY_DIR "/screenshots/" + name + ".png");

    // Without a focus, so that hiding a control does not move it (and its marks) elsewhere.
    view.session().setFocus(-1);
    const auto& controls = view.session().controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
      const kxui::ControlTemplate& c = controls[i].info();
      kxui::Rect want = expectedPixels(c.rect);
      EXPECT_EQ(view.controlRect(i), want) << name << " control " << i;
      // What the control itself draws: the pixels that change when it is hidden.
      kxui::Image with = view.capture();
      view.setControlShown(i, false);
      kxui::Image without = view.capture();
      view.setControlShown(i, true);
      kxui::Rect drawn = difference(with, without);
      std::string what =
          name + " " + kxui::kindName(c.kind) + " " + std::to_string(c.id) + " at line " + std::to_string(c.line);
      ASSERT_GT(drawn.width, 0) << what << " draws nothing";
      switch (c.kind) {
        case kxui::ControlKind::Edit:
        case kxui::ControlKind::PushButton:
        case kxui::ControlKind::DefPushButton:
        case kxui::ControlKind::Spin:
          EXPECT_EQ(drawn, want) << what;
          break;
        case kxui::ControlKind::GroupBox:
          // The frame's top edge runs through the middle of the caption line.
          EXPECT_EQ(drawn.x, want.x) << what;
          EXPECT_EQ(drawn.x + drawn.width, want.x + want.width) << what;
          EXPECT_EQ(drawn.y + drawn.height, want.y + want.height) << what;
          EXPECT_GE(drawn.y, want.y) << what;
          EXPECT_LE(drawn.y, want.y + 7) << what;
          break;
        case kxui::ControlKind::Label:
        case kxui::ControlKind::RadioButton:
          // Text and indicator within the rectangle, starting at its left edge.
          EXPECT_TRUE(inside(drawn, want)) << what << ": drawn " << drawn << ", template " << want;
          EXPECT_LE(drawn.x - want.x, 4) << what;
          break;
      }
    }
    view.session().pressCloseBox();
  };
  kxui::ConfigureOutcome r = kxui::configure(inst, ui);
  EXPECT_TRUE(shown);
  EXPECT_EQ(r.results, std::vector<int>{kxui::IDCANCEL});
  EXPECT_TRUE(std::filesystem::file_size(RK_BINARY_DIR "/screenshots/" + name + ".png") > 1000);
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryDialogWindow, ::testing::ValuesIn(kDialogs), dialogName);

TEST_F(WindowTest, TypingAndEnterPressOk) {
  auto inst = instance("_ScalarMultImage");
  kxui::WindowBackend ui;
  ui.onShown = [](kxui::WindowView& view) {
    // The edit has the focus with its text selected, so typing replaces it.
    view.typeText("2.5");
    EXPECT_EQ(view.session().find(1008)->text(), "2.5");
    view.pressKey(kxui::WindowView::Key::Enter);
  };
  kxui::ConfigureOutcome r = kxui::configure(inst, ui);
  EXPECT_EQ(r.results, std::vector<int>{kxui::IDOK});
  EXPECT_EQ(inst.params[0].vt, VT_R8);
  EXPECT_EQ(inst.params[0].dblVal, 2.5);
}

TEST_F(WindowTest, ClicksSwitchTheAngleControlsAndTheSpinStepsEscapeCancels) {
  auto inst = instance("_TransformImage");
  inst.params[1].dblVal = 180;
  kxui::WindowBackend ui;
  ui.onShown = [](kxui::WindowView& view) {
    kxui::Session& s = view.session();
    auto index = [&](int id) { return static_cast<std::size_t>(s.find(id) - s.controls().data()); };
    EXPECT_FALSE(s.find(1018)->isWindowEnabled());
    view.click(index(1025), 4, 4);
    EXPECT_EQ(s.find(1025)->getCheck(), 1);
    EXPECT_TRUE(s.find(1018)->isWindowEnabled());
    EXPECT_TRUE(s.find(1021)->isWindowEnabled());
    view.click(index(1021), 3, 2);  // the upper arrow
    EXPECT_EQ(s.find(1018)->text(), "-90");
    view.click(index(1021), 3, 15);  // the lower arrow
    EXPECT_EQ(s.find(1018)->text(), "-91");
    view.pressKey(kxui::WindowView::Key::Escape);
  };
  kxui::ConfigureOutcome r = kxui::configure(inst, ui);
  EXPECT_EQ(r.results, std::vector<int>{kxui::IDCANCEL});
  EXPECT_EQ(inst.params[1].dblVal, 180.0);
}

TEST_F(WindowTest, FailedCheckShowsAStopMessageBoxAndKeepsTheDialogOpen) {
  auto inst = instance("_ConstImage");
  inst.params[1].lVal = 0;  // "MCount"
  std::vector<std::string> captions;
  int redPixels = 0;
  kxui::WindowBackend ui;
  ui.onMessageShown = [&](const kxui::Image& box, const std::string& caption) {
    captions.push_back(caption);
    std::filesystem::create_directories(RK_BINARY_DIR "/screenshots");
    box.writePng(RK_BINARY_DIR "/screenshots/MessageBox.png");
    for (int y = 0; y < box.height; ++y)
      for (int x = 0; x < box.width; ++x)
        if (box.at(x, y)[0] > 200 && box.at(x, y)[1] < 60 && box.at(x, y)[2] < 60) ++redPixels;
  };
  ui.onShown = [](kxui::WindowView& view) {
    view.pressKey(kxui::WindowView::Key::Enter);  // OK, which fails the count check
    EXPECT_FALSE(view.session().ended());
    view.pressKey(kxui::WindowView::Key::Escape);
  };
  kxui::ConfigureOutcome r = kxui::configure(inst, ui);
  EXPECT_EQ(captions, std::vector<std::string>{"Korvex - Hinweis"});
  EXPECT_GT(redPixels, 200);  // the stop icon
  EXPECT_EQ(r.results, std::vector<int>{kxui::IDCANCEL});
  EXPECT_EQ(inst.params[1].lVal, 0);
}

TEST(NoDisplay, IsReportedClearly) {
  std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  std::string why;
  unsetenv("DISPLAY");
  EXPECT_FALSE(kxui::displayAvailable(&why));
  EXPECT_EQ(why, "no display: the DISPLAY environment variable is not set");
  setenv("DISPLAY", ":65000", 1);
  EXPECT_FALSE(kxui::displayAvailable(&why));
  EXPECT_EQ(why, "no display: display \":65000\" cannot be opened");
  if (saved.empty())
    unsetenv("DISPLAY");
  else
    setenv("DISPLAY", saved.c_str(), 1);
}

}  // namespace
