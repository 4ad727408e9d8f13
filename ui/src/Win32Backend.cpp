// The native backend: a system dialog from the module's own template resource, kept in step with
// the framework's session through the dialog procedure.
#include "kxui/Win32Backend.h"

#include <commctrl.h>

#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace kxui {

namespace {

// The code page the resource compiler reads the script in (#pragma code_page(1252)), so that a
// text typed into an edit comes back as the bytes the script would have written for it.
constexpr UINT kCodePage = 1252;

std::wstring wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(kCodePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(kCodePage, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(kCodePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, "?", nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(kCodePage, 0, w.data(), static_cast<int>(w.size()), s.data(), n, "?", nullptr);
  return s;
}

std::string textOf(HWND window) {
  std::wstring w(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  w.resize(static_cast<std::size_t>(GetWindowTextW(window, w.data(), static_cast<int>(w.size()))));
  return narrow(w);
}

std::string className(HWND window) {
  wchar_t name[64];
  int n = GetClassNameW(window, name, 64);
  return narrow(std::wstring(name, static_cast<std::size_t>(n > 0 ? n : 0)));
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// One open dialog: its window, the native control of each control of the session, and whatever
// the dialog procedure caught, to be thrown again once the dialog manager has returned.
class Run {
public:
  explicit Run(Session& session) : session_(session) {}

  std::exception_ptr error;

  // The dialog manager has created the controls from the resource, in template order (which is
  // also their order among the dialog's children); they must be the framework's. Returns whether
  // the framework gave a control the focus.
  bool attach(HWND dialog) {
    dialog_ = dialog;
    const auto& controls = session_.controls();
    for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) windows_.push_back(w);
    const DialogTemplate& t = session_.dialogTemplate();
    if (windows_.size() != controls.size()) {
      throw UiError("dialog " + std::to_string(t.id) + ": the resource has " + std::to_string(windows_.size()) +
                    " controls, the framework's template " + std::to_string(controls.size()));
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
      const ControlTemplate& c = controls[i].info();
      if (static_cast<WORD>(GetDlgCtrlID(windows_[i])) != static_cast<WORD>(c.id) ||
          !sameIgnoringCase(className(windows_[i]), c.className)) {
        throw UiError("dialog " + std::to_string(t.id) + ": control " + std::to_string(i) + " of the resource is " +
                      className(windows_[i]) + " " + std::to_string(GetDlgCtrlID(windows_[i])) +
                      ", the framework's template has " + c.className + " " + std::to_string(c.id) + " (line " +
                      std::to_string(c.line) + ")");
      }
    }
    show();
    return session_.focus() >= 0;
  }

  // WM_COMMAND; true when handled.
  bool command(int id, int code, HWND from) {
    if (showing_) return false;  // the notifications of our own changes
    const Control* c = session_.find(id);
    if (code == EN_CHANGE && c && c->kind() == ControlKind::Edit) {
      session_.reflectText(id, textOf(from));
      return true;
    }
    if (code != BN_CLICKED) return false;
    ControlKind kind = c ? c->kind() : ControlKind::Label;
    bool clickable =
        kind == ControlKind::PushButton || kind == ControlKind::DefPushButton || kind == ControlKind::RadioButton;
    if (!clickable && id != IDOK && id != IDCANCEL) return false;
    reflect();
    if (clickable)
      session_.click(id);
    else if (id == IDOK)  // Enter without an OK button
      session_.pressEnter();
    else  // Escape or the close box without a Cancel button
      session_.pressEscape();
    afterInput();
    return true;
  }

  // UDN_DELTAPOS; returns the result for the spin control (0: it may move).
  LRESULT deltaPos(NMUPDOWN& n) {
    if (showing_) return 0;
    reflect();
    UpDownNotify notify{static_cast<int>(n.hdr.idFrom), n.iPos, n.iDelta};
    bool move = session_.spinNotify(notify);
    n.iDelta = notify.delta;
    afterInput();
    return move ? 0 : 1;
  }

private:
  // What the user left in the controls, before the framework looks at them.
  void reflect() {
    const auto& controls = session_.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
      const Control& c = controls[i];
      if (c.kind() == ControlKind::Edit)
        session_.reflectText(c.id(), textOf(windows_[i]));
      else if (c.kind() == ControlKind::RadioButton)
        session_.reflectCheck(c.id(), SendMessageW(windows_[i], BM_GETCHECK, 0, 0) == BST_CHECKED);
    }
  }

  void afterInput() {
    show();
    if (session_.ended()) EndDialog(dialog_, session_.result());
  }

  // The session's state in the controls: texts of edits, selected radio buttons, enabling, and a
  // focus the framework moved.
  void show() {
    struct Showing {
      bool& flag;
      explicit Showing(bool& f) : flag(f) { flag = true; }
      ~Showing() { flag = false; }
    } guard(showing_);
    const auto& controls = session_.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
      const Control& c = controls[i];
      HWND w = windows_[i];
      if ((IsWindowEnabled(w) != FALSE) != c.isWindowEnabled()) EnableWindow(w, c.isWindowEnabled());
      if (c.kind() == ControlKind::Edit && textOf(w) != c.text()) SetWindowTextW(w, wide(c.text()).c_str());
      if (c.kind() == ControlKind::RadioButton) {
        SendMessageW(w, BM_SETCHECK, c.getCheck() ? BST_CHECKED : BST_UNCHECKED, 0);
      }
    }
    if (session_.focusMoves() != focusMoves_) {
      focusMoves_ = session_.focusMoves();
      int f = session_.focus();
      if (f >= 0)
        SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(windows_[static_cast<std::size_t>(f)]), TRUE);
    }
  }

  Session& session_;
  HWND dialog_ = nullptr;
  std::vector<HWND> windows_;  // the native control of each control of the session
  unsigned focusMoves_ = 0;
  bool showing_ = false;
};

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Run* run = message == WM_INITDIALOG ? reinterpret_cast<Run*>(lParam)
                                      : reinterpret_cast<Run*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (!run) return FALSE;
  // Nothing may unwind through the dialog manager: a failure ends the dialog and is thrown again
  // by runModal.
  try {
    switch (message) {
      case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        // FALSE: the framework has set the focus; TRUE lets the dialog manager choose.
        return run->attach(dialog) ? FALSE : TRUE;
      case WM_COMMAND:
        return run->command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE : FALSE;
      case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->code != static_cast<UINT>(UDN_DELTAPOS)) return FALSE;
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, run->deltaPos(*reinterpret_cast<NMUPDOWN*>(lParam)));
        return TRUE;
      }
      default:
        return FALSE;
    }
  } catch (...) {
    if (!run->error) run->error = std::current_exception();
    EndDialog(dialog, 0);
    return TRUE;
  }
}

void registerControlClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
  });
}

}  // namespace

HMODULE moduleOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

void Win32Backend::runModal(Session& session) {
  const DialogTemplate& t = session.dialogTemplate();
  // The module state is an object of the library that owns the templates.
  ModuleState& state = currentModuleState();
  HMODULE module = moduleOf(&state);
  HRSRC found = module
                    ? FindResourceExW(module, MAKEINTRESOURCEW(5) /* RT_DIALOG */, MAKEINTRESOURCEW(t.id), t.language)
                    : nullptr;
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* resource = loaded ? LockResource(loaded) : nullptr;
  if (!resource) {
    char language[8];
    std::snprintf(language, sizeof language, "%04x", t.language);
    throw UiError("dialog template " + std::to_string(t.id) + " in language " + language +
                  " is not among the resources of " + state.name());
  }
  registerControlClasses();
  Run run(session);
  INT_PTR r =
      DialogBoxIndirectParamW(module, static_cast<LPCDLGTEMPLATEW>(resource), reinterpret_cast<HWND>(session.parent()),
                              dialogProc, reinterpret_cast<LPARAM>(&run));
  if (run.error) std::rethrow_exception(run.error);
  if (r == -1) {
    throw UiError("dialog " + std::to_string(t.id) + " could not be created (error " + std::to_string(GetLastError()) +
                  ")");
  }
}

int Win32Backend::messageBox(const std::string& text, unsigned style, const std::string& title) {
  HWND owner = GetActiveWindow();
  int r = MessageBoxW(owner ? owner : main_, wide(text).c_str(), wide(title).c_str(), style);
  if (r == 0) {  // no box could be shown (no desktop): the text must not be lost
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    return IDOK;
  }
  return r;
}

Window* Win32Backend::mainWindow() { return reinterpret_cast<Window*>(main_ ? main_ : GetActiveWindow()); }

Win32Backend& nativeBackend() {
  static Win32Backend backend;
  return backend;
}

}  // namespace kxui
