// The dialogs as native Windows dialogs: built by the system's dialog manager from the plug-in's
// template resources and driven as a user drives them (texts set in edits, buttons and spin arrows
// clicked, keys pressed), from a timer that ticks inside the dialog's modal loop. The system's
// message boxes are read (title, text, icon, owner) and answered the same way.
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "kxui/Configure.h"
#include "kxui/Win32Backend.h"
#include "support/DialogTexts.h"
#include "support/Harness.h"

using namespace rktest;

namespace {

// ---- texts and windows -------------------------------------------------------------------------

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(1252, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(1252, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(1252, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, "?", nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(1252, 0, w.data(), static_cast<int>(w.size()), s.data(), n, "?", nullptr);
  return s;
}

std::string windowText(HWND w) {
  std::wstring t(static_cast<std::size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
  t.resize(static_cast<std::size_t>(GetWindowTextW(w, t.data(), static_cast<int>(t.size()))));
  return narrow(t);
}

std::string lowerClassOf(HWND w) {
  wchar_t name[64];
  int n = GetClassNameW(w, name, 64);
  std::string s = narrow(std::wstring(name, static_cast<std::size_t>(n > 0 ? n : 0)));
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

// The templates as the framework reads them from the script the resource compiler built.
const kxui::Resources& script() {
  static const kxui::Resources resources = [] {
    std::ifstream in(RK_PATH_PREFIX RK_SOURCE_DIR "/dialogs/RasterKit.rc", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return kxui::parseResourceScript(text.str(), "RasterKit.rc");
  }();
  return resources;
}

// ---- the driver --------------------------------------------------------------------------------

struct Write {
  int32_t index;
  tagVARIANT value;
};

// A system message box as it was shown.
struct Box {
  std::string title, text;
  HICON icon = nullptr;
  HWND owner = nullptr;
};

Box readBox(HWND box) {
  Box b{windowText(box), "", nullptr, GetWindow(box, GW_OWNER)};
  for (HWND w = GetWindow(box, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    if (lowerClassOf(w) != "static") continue;
    if ((GetWindowLongW(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
      b.icon = reinterpret_cast<HICON>(SendMessageW(w, STM_GETICON, 0, 0));
    else if (b.text.empty())
      b.text = windowText(w);
  }
  return b;
}

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
  std::vector<Write> writes;

  // The export under the backend the framework gives when the host program selects none, with
  // kxQMessages::MsgBox routed to it, as kxrun's configure does.
  kxui::ConfigureOutcome run(kxhost::Instance& inst) {
    inst.onParameterSet = [this](int32_t i, const tagVARIANT& v) { writes.push_back({i, v}); };
    active_ = this;
    UINT_PTR timer = SetTimer(nullptr, 0, 10, &Driver::tick);
    struct Cleanup {
      kxhost::Instance& inst;
      UINT_PTR timer;
      ~Cleanup() {
        KillTimer(nullptr, timer);
        active_ = nullptr;
        inst.onParameterSet = nullptr;
      }
    } cleanup{inst, timer};
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
    if (!dialog_ || !IsWindow(dialog_)) dialog_ = open.size() == 1 ? open[0] : nullptr;
    for (HWND w : open) {
      if (w == dialog_) continue;
      boxes.push_back(readBox(w));
      PostMessageW(w, WM_COMMAND, IDOK, 0);
      return;
    }
    if (busy_ || !dialog_) return;
    if (next_ == steps_.size()) {
      if (!gaveUp_) ADD_FAILURE() << "the dialog is still open after the last step";
      gaveUp_ = true;
      PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    busy_ = true;
    steps_[next_++](dialog_);
    busy_ = false;
  }

  static inline Driver* active_ = nullptr;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  HWND dialog_ = nullptr;
  bool busy_ = false;
  bool gaveUp_ = false;
};

using Step = Driver::Step;

Step type(int id, const std::string& text) {
  return [=](HWND d) {
    HWND edit = GetDlgItem(d, id);
    ASSERT_TRUE(edit && IsWindowEnabled(edit)) << "edit " << id;
    SetWindowTextW(edit, wide(text).c_str());
  };
}

Step click(int id) {
  return [=](HWND d) {
    HWND b = GetDlgItem(d, id);
    ASSERT_TRUE(b && IsWindowEnabled(b)) << "button " << id;
    PostMessageW(b, BM_CLICK, 0, 0);
  };
}

// A key pressed where the focus is; the dialog's modal loop translates Enter and Escape.
Step key(WPARAM virtualKey) {
  return [=](HWND d) {
    HWND f = GetFocus();
    ASSERT_TRUE(f && IsChild(d, f));
    PostMessageW(f, WM_KEYDOWN, virtualKey, 1);
    PostMessageW(f, WM_KEYUP, virtualKey, 0xC0000001);
  };
}

Step closeBox() {
  return [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); };
}

// A click on the upper or lower half of the spin control.
Step spin(int id, bool up) {
  return [=](HWND d) {
    HWND s = GetDlgItem(d, id);
    ASSERT_TRUE(s && IsWindowEnabled(s));
    RECT r;
    GetClientRect(s, &r);
    LPARAM at = MAKELPARAM(r.right / 2, up ? r.bottom / 4 : r.bottom * 3 / 4);
    PostMessageW(s, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(s, WM_LBUTTONUP, 0, at);
  };
}

Step expectText(int id, const std::string& text) {
  return [=](HWND d) { EXPECT_EQ(windowText(GetDlgItem(d, id)), text) << "control " << id; };
}

Step expectEnabled(std::vector<int> ids, bool enabled) {
  return [=](HWND d) {
    for (int id : ids) EXPECT_EQ(IsWindowEnabled(GetDlgItem(d, id)) != FALSE, enabled) << "control " << id;
  };
}

Step expectChecked(int firstId, int count, int selected) {
  return [=](HWND d) {
    for (int k = 0; k < count; ++k)
      EXPECT_EQ(IsDlgButtonChecked(d, firstId + k), k == selected ? BST_CHECKED : BST_UNCHECKED) << firstId + k;
  };
}

// The dialog and every control where the template puts them, in template order, with the
// template's ids, classes, texts and style bits.
void expectMatchesTemplate(HWND d, const kxui::DialogTemplate& t) {
  EXPECT_EQ(windowText(d), t.caption);
  RECT size{0, 0, t.rect.width, t.rect.height};
  MapDialogRect(d, &size);
  RECT client;
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
    RECT want{c.rect.x, c.rect.y, c.rect.width, c.rect.height};
    MapDialogRect(d, &want);
    RECT got;
    GetWindowRect(w, &got);
    MapWindowPoints(nullptr, d, reinterpret_cast<POINT*>(&got), 2);
    EXPECT_EQ(got.left, want.left) << what;
    EXPECT_EQ(got.top, want.top) << what;
    // wine's up-down control gives itself its default width of 16 pixels, whatever it was created
    // with; its place and height stay the template's.
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

// The whole window (frame and caption included) as a 24-bit BMP file, for people to look at.
// Returns false when it could not be read or written.
bool writeScreenshot(HWND w, const std::string& path) {
  RECT r;
  GetWindowRect(w, &r);
  int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return false;
  HDC window = GetWindowDC(w);
  HDC memory = CreateCompatibleDC(window);
  HBITMAP bitmap = CreateCompatibleBitmap(window, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BOOL copied = BitBlt(memory, 0, 0, width, height, window, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up rows, as the file format stores them
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::vector<char> pixels(stride * static_cast<std::size_t>(height));
  int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                       reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(w, window);
  if (!copied || rows != height) return false;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

// ---- cases -------------------------------------------------------------------------------------

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

tagVARIANT writtenOnce(const Driver& d, const kxhost::Instance& inst, const char* name) {
  int i = inst.paramIndex(name);
  EXPECT_GE(i, 0) << name;
  std::vector<tagVARIANT> found;
  for (const Write& w : d.writes)
    if (w.index == i) found.push_back(w.value);
  EXPECT_EQ(found.size(), 1u) << name;
  return found.empty() ? tagVARIANT{} : found[0];
}

void set(kxhost::Instance& inst, const char* name, int32_t value) {
  int i = inst.paramIndex(name);
  ASSERT_GE(i, 0) << name;
  inst.params[static_cast<std::size_t>(i)].lVal = value;
}
void set(kxhost::Instance& inst, const char* name, double value) {
  int i = inst.paramIndex(name);
  ASSERT_GE(i, 0) << name;
  inst.params[static_cast<std::size_t>(i)].dblVal = value;
}

struct DialogCase {
  const char* entry;
  int templateId;
  std::vector<std::pair<int, const char*>> edits;  // control, parameter
  int firstRadio = 0;                              // 0: none
  int radios = 0;
  const char* radioParam = nullptr;
};

const DialogCase kDialogs[] = {
    {"_BinImage", 130, {{1006, "above"}, {1003, "below"}, {1005, "threshold"}}},
    {"_BinAdaptThreshImage",
     129,
     {{1006, "above"}, {1003, "below"}, {1004, "consta"}, {1005, "offset"}},
     1000,
     2,
     "TA"},
    {"_BlendImage", 132, {{1009, "blendfaktor"}}},
    {"_ConstImage", 133, {{1008, "scalar"}, {1009, "MCount"}, {1010, "X"}, {1011, "Y"}, {1012, "Plane"}}},
    {"_ImagePlane",
     135,
     {{1012, "Slope"}, {1004, "Offset"}, {1009, "MCount"}, {1010, "X"}, {1011, "Y"}, {1017, "Planes"}}},
    {"_MittelWert", 137, {}, 1013, 3, "Mittelwerttyp"},
    {"_ScalarDivImage", 131, {{1008, "scalar"}}},
    {"_TransformImage", 139, {{1018, "RotDegree"}}, 1023, 3, "TransType"},
};

std::string caseName(const ::testing::TestParamInfo<DialogCase>& info) { return info.param.entry + 1; }

bool isReal(const kxhost::Instance& inst, const char* name) {
  return inst.record()->params[static_cast<std::size_t>(inst.paramIndex(name))].type == 4;
}

// Every real parameter 1.25, every integer 1 and the radio group its first button, except the
// transformation's, which opens on "Rotate" so that its angle can be edited.
kxhost::Instance opened(const DialogCase& c) {
  kxhost::Instance inst = instance(c.entry);
  for (const auto& [id, name] : c.edits) {
    if (isReal(inst, name))
      set(inst, name, 1.25);
    else
      set(inst, name, int32_t{1});
  }
  if (c.radioParam) set(inst, c.radioParam, int32_t{c.templateId == 139 ? 2 : 0});
  return inst;
}

class EveryNativeDialog : public NativeDialog, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(EveryNativeDialog, BuiltFromTheTemplateShowsTheParametersAndOkWritesTheEdits) {
  const DialogCase& c = GetParam();
  kxhost::Instance inst = opened(c);
  const kxui::DialogTemplate* t = script().findDialog(c.templateId);
  ASSERT_NE(t, nullptr);
  const int selected = c.templateId == 139 ? 2 : 0;
  std::vector<Step> steps;
  steps.push_back([&](HWND d) {
    expectMatchesTemplate(d, *t);
    CreateDirectoryA(RK_PATH_PREFIX RK_BINARY_DIR "/screenshots", nullptr);
    EXPECT_TRUE(
        writeScreenshot(d, RK_PATH_PREFIX RK_BINARY_DIR "/screenshots/native-" + std::string(c.entry + 1) + ".bmp"));
  });
  for (const auto& [id, name] : c.edits) steps.push_back(expectText(id, isReal(inst, name) ? "1.25" : "1"));
  if (c.radioParam) steps.push_back(expectChecked(c.firstRadio, c.radios, selected));
  // New values: 20.5, 21.5, ... in real fields, 20, 21, ... in integer ones; the last radio button.
  for (std::size_t k = 0; k < c.edits.size(); ++k) {
    steps.push_back(type(c.edits[k].first, std::to_string(20 + k) + (isReal(inst, c.edits[k].second) ? ".5" : "")));
  }
  if (c.radioParam) steps.push_back(click(c.firstRadio + c.radios - 1));
  steps.push_back(click(IDOK));
  Driver driver(steps);
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(r.returned, 1);
  EXPECT_EQ(r.results, std::vector<int>{IDOK});
  EXPECT_TRUE(driver.boxes.empty());
  ASSERT_EQ(driver.writes.size(), inst.params.size());
  for (std::size_t i = 0; i < driver.writes.size(); ++i) EXPECT_EQ(driver.writes[i].index, static_cast<int32_t>(i));
  for (std::size_t k = 0; k < c.edits.size(); ++k) {
    const char* name = c.edits[k].second;
    tagVARIANT v = writtenOnce(driver, inst, name);
    if (isReal(inst, name))
      EXPECT_EQ(v.dblVal, static_cast<double>(20 + k) + 0.5) << name;
    else
      EXPECT_EQ(v.lVal, static_cast<int32_t>(20 + k)) << name;
  }
  if (c.radioParam) {
    EXPECT_EQ(writtenOnce(driver, inst, c.radioParam).lVal, c.radios - 1);
  }
}

TEST_P(EveryNativeDialog, CancelEscapeAndTheCloseBoxWriteNothingEnterWritesAll) {
  const DialogCase& c = GetParam();
  const std::pair<const char*, Step> ways[] = {
      {"cancel", click(IDCANCEL)}, {"escape", key(VK_ESCAPE)}, {"close", closeBox()}, {"enter", key(VK_RETURN)}};
  for (const auto& [name, way] : ways) {
    kxhost::Instance inst = opened(c);
    std::vector<Step> steps;
    if (!c.edits.empty()) steps.push_back(type(c.edits[0].first, "7"));
    steps.push_back(way);
    Driver driver(steps);
    kxui::ConfigureOutcome r = driver.run(inst);
    EXPECT_EQ(r.returned, 1);
    bool ok = std::string(name) == "enter";
    EXPECT_EQ(r.results, std::vector<int>{ok ? IDOK : IDCANCEL}) << name;
    EXPECT_EQ(driver.writes.size(), ok ? inst.params.size() : 0u) << name;
    if (ok && !c.edits.empty()) {
      tagVARIANT v = writtenOnce(driver, inst, c.edits[0].second);
      EXPECT_EQ(isReal(inst, c.edits[0].second) ? v.dblVal : v.lVal, 7) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dialogs, EveryNativeDialog, ::testing::ValuesIn(kDialogs), caseName);

TEST_F(NativeDialog, TheFrameworkShowsDialogsNativelyWhenTheHostSelectedNoBackend) {
  EXPECT_EQ(kxui::currentBackend(), static_cast<kxui::Backend*>(&kxui::nativeBackend()));
}

TEST_F(NativeDialog, ConstImageCountChecksShowTheStopBoxOneAtATimeAndKeepTheDialogOpen) {
  kxhost::Instance inst = instance("_ConstImage");
  set(inst, "MCount", int32_t{0});
  set(inst, "Plane", int32_t{0});
  set(inst, "X", int32_t{10000000});
  set(inst, "Y", int32_t{2});
  HWND dialog = nullptr;
  Driver driver({
      [&](HWND d) { dialog = d; },
      click(IDOK),
      expectText(1009, "0"),  // still open with the user's entries
      type(1009, "3"),
      click(IDOK),
      type(1012, "4"),
      click(IDOK),
  });
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(r.results, std::vector<int>{IDOK});
  ASSERT_EQ(driver.boxes.size(), 2u);
  EXPECT_EQ(driver.boxes[0].text, kImagesMsg);
  EXPECT_EQ(driver.boxes[1].text, kPlanesMsg);
  for (const Box& b : driver.boxes) {
    EXPECT_EQ(b.title, kTitle);
    EXPECT_EQ(b.icon, LoadIconA(nullptr, IDI_HAND)) << "not the stop icon";
    EXPECT_EQ(b.owner, dialog) << "the box is not modal to the dialog";
  }
  ASSERT_EQ(driver.writes.size(), 5u);  // once, after the corrected OK
  EXPECT_EQ(writtenOnce(driver, inst, "MCount").lVal, 3);
  EXPECT_EQ(writtenOnce(driver, inst, "Plane").lVal, 4);
  EXPECT_EQ(writtenOnce(driver, inst, "X").lVal, 10000000);
}

TEST_F(NativeDialog, ImagePlaneReportsXBeforeYAndCancelWritesNothing) {
  kxhost::Instance inst = instance("_ImagePlane");
  set(inst, "X", int32_t{0});
  set(inst, "Y", int32_t{-5});
  Driver driver({click(IDOK), click(IDCANCEL)});
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(r.results, std::vector<int>{IDCANCEL});
  ASSERT_EQ(driver.boxes.size(), 1u);
  EXPECT_EQ(driver.boxes[0].text, kXMsg);
  EXPECT_EQ(driver.boxes[0].title, kTitle);
  EXPECT_TRUE(driver.writes.empty());
}

TEST_F(NativeDialog, TransformEnablesTheAngleForRotateAndTheSpinStepsAndWraps) {
  kxhost::Instance inst = instance("_TransformImage");
  set(inst, "TransType", int32_t{2});
  set(inst, "RotDegree", 180.0);
  const std::vector<int> angle = {1018, 1021, 1022};
  Driver driver({
      expectChecked(1023, 3, 2),
      expectEnabled(angle, true),
      spin(1021, true),  // 181 wraps to -90
      expectText(1018, "-90"),
      type(1018, "-180"),
      spin(1021, false),  // -181 wraps to 90
      expectText(1018, "90"),
      type(1018, "37.5"),
      spin(1021, true),
      expectText(1018, "38.5"),
      spin(1021, false),
      spin(1021, false),
      expectText(1018, "36.5"),
      click(1024),
      expectEnabled(angle, false),
      expectText(1018, "36.5"),
      click(1023),
      expectEnabled(angle, false),
      click(1025),
      expectEnabled(angle, true),
      click(1024),
      click(IDOK),
  });
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(r.results, std::vector<int>{IDOK});
  EXPECT_TRUE(driver.boxes.empty());
  EXPECT_EQ(writtenOnce(driver, inst, "TransType").lVal, 1);
  EXPECT_EQ(writtenOnce(driver, inst, "RotDegree").dblVal, 36.5);
}

TEST_F(NativeDialog, TransformOpensWithTheAngleDisabledUnlessRotateIsSelected) {
  kxhost::Instance inst = instance("_TransformImage");
  set(inst, "TransType", int32_t{0});
  set(inst, "RotDegree", 500.0);
  Driver driver(
      {expectChecked(1023, 3, 0), expectEnabled({1018, 1021, 1022}, false), expectText(1018, "500"), click(IDOK)});
  driver.run(inst);
  EXPECT_EQ(writtenOnce(driver, inst, "TransType").lVal, 0);
  EXPECT_EQ(writtenOnce(driver, inst, "RotDegree").dblVal, 500.0);
}

TEST_F(NativeDialog, ARadioGroupReadAsMinusOneShowsNoSelectionAndWritesMinusOne) {
  kxhost::Instance inst = instance("_MittelWert");
  set(inst, "Mittelwerttyp", int32_t{-1});
  Driver driver({expectChecked(1013, 3, -1), click(IDOK)});
  driver.run(inst);
  EXPECT_EQ(writtenOnce(driver, inst, "Mittelwerttyp").lVal, -1);
}

TEST_F(NativeDialog, ATextThatIsNoNumberShowsTheFrameworkMessageAndFocusesTheEdit) {
  kxhost::Instance inst = instance("_BinImage");
  HWND dialog = nullptr;
  Driver driver({
      [&](HWND d) { dialog = d; },
      type(1003, "zwei"),
      click(IDOK),
      [](HWND d) { EXPECT_EQ(GetFocus(), GetDlgItem(d, 1003)); },
      type(1003, "2,5"),  // a decimal comma is no number to the framework either
      key(VK_RETURN),
      type(1003, "-2.5e-8"),
      key(VK_RETURN),
  });
  kxui::ConfigureOutcome r = driver.run(inst);
  EXPECT_EQ(r.results, std::vector<int>{IDOK});
  ASSERT_EQ(driver.boxes.size(), 2u);
  for (const Box& b : driver.boxes) {
    EXPECT_EQ(b.text, kxui::kParseRealMessage);
    EXPECT_EQ(b.title, "RasterKit");
    EXPECT_EQ(b.icon, LoadIconA(nullptr, IDI_EXCLAMATION));
    EXPECT_EQ(b.owner, dialog);
  }
  EXPECT_EQ(writtenOnce(driver, inst, "below").dblVal, -2.5e-8);
}

}  // namespace
