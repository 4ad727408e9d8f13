// The native backend on Windows: dialogs built by the system's dialog manager from the templates
// compiled into the resources of the module that owns them, and the system's message box.
//
// The backend is a view only. The framework's session keeps what the dialog means (members, data
// exchange, checks, message maps, enabling); the native controls keep what the user edits and
// report it to the session before every notification the framework handles, and the session's
// state is shown again afterwards. Texts are Latin-1 in the framework and UTF-16 in the system,
// converted through the Western code page 1252, as the resource compiler reads the script.
#pragma once

#if defined(_WIN32)

#include "kxui/Backend.h"

namespace kxui {

class KXUI_API Win32Backend : public Backend {
public:
  // mainWindow: the owner of dialogs and message boxes; null takes the calling thread's active
  // window at the time a dialog opens (the host's, when the host calls from its window).
  explicit Win32Backend(HWND mainWindow = nullptr) : main_(mainWindow) {}

  // A modal dialog from the template of the session's id and language in the resources of the
  // module whose state is current. Throws UiError when the template is not there or does not
  // agree with the one the framework read (another count, order or id of controls).
  void runModal(Session& session) override;
  // MessageBoxW with the style as given (MB_ICONSTOP for the stop icon), owned by the active dialog.
  int messageBox(const std::string& text, unsigned style, const std::string& title) override;
  Window* mainWindow() override;

private:
  HWND main_;
};

// The process's native backend: what currentBackend() gives when the host program selected none.
KXUI_API Win32Backend& nativeBackend();

// The module (EXE or DLL) that holds the object at address, whose resources hold its templates.
KXUI_API HMODULE moduleOf(const void* address);

}  // namespace kxui

#endif
