// The UI framework the dialogs stand on: module state, application, modal dialogs built from
// templates, data exchange between members and controls, message maps, message boxes.
//
// This is all a dialog of the plug-in may use. How a dialog is shown (a real window, or a list of
// scripted actions) is chosen by the host program through a Backend (kxui/Backend.h); the dialog
// code is the same for both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kxui/Api.h"
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>  // IDOK, IDCANCEL and the MB_ styles
#endif
#include "kxui/Resources.h"

namespace kxui {

// Button ids under names that Windows' macros of the same values cannot clash with.
constexpr int kButtonOk = 1;
constexpr int kButtonCancel = 2;

#if !defined(_WIN32)  // Windows defines these as macros with the same values
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Message box styles (the Windows values).
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_ICONSTOP = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
#endif

class Application;
class DataExchange;
class Dialog;
class Session;

// A failure of the framework itself (no template, no backend, a control that is not there).
class KXUI_API UiError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// ---- module state ------------------------------------------------------------------------------

// What the framework knows of one module (the host program or a plug-in library): where its dialog
// templates are and which application object it has. A library owns one for its whole lifetime.
class KXUI_API ModuleState {
public:
  // resourceScript: the module's resource script text (kept by pointer; parsed on first use).
  ModuleState(const char* moduleName, const char* resourceScript, const char* scriptName);
  ~ModuleState();
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  const char* name() const { return name_; }
  const Resources& resources() const;  // throws ScriptError for a malformed script
  Application* application() const { return app_; }

private:
  friend class Application;
  const char* name_;
  const char* script_;
  const char* scriptName_;
  mutable std::unique_ptr<Resources> resources_;
  Application* app_ = nullptr;
};

// The module state in effect on the calling thread: the host program's own (without templates)
// unless a ModuleStateScope has switched to another.
KXUI_API ModuleState& currentModuleState();

// Switches the calling thread to a module's state for the scope and restores the previous one on
// every way out, exceptions included.
class KXUI_API ModuleStateScope {
public:
  explicit ModuleStateScope(ModuleState& state);
  ~ModuleStateScope();
  ModuleStateScope(const ModuleStateScope&) = delete;
  ModuleStateScope& operator=(const ModuleStateScope&) = delete;

private:
  ModuleState* saved_;
};

// ---- application -------------------------------------------------------------------------------

// The framework's application object of a module; constructing it registers it with the module
// and initialises the framework for it with an empty command line.
class KXUI_API Application {
public:
  explicit Application(ModuleState& module);
  virtual ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  const std::string& commandLine() const { return commandLine_; }
  // Title of the framework's own message boxes.
  const char* title() const { return module_.name(); }

private:
  ModuleState& module_;
  std::string commandLine_;
};

// ---- windows and controls ----------------------------------------------------------------------

// An opaque window handle, used as the parent of a dialog.
class Window;

// The parent for a dialog of the current application: the host application's designated main
// window (null when the host has none).
KXUI_API Window* mainWindow();

// A double or a 32-bit integer with an edit control. Numbers are written so that reading them back
// gives the same value; a text that is not a number shows the framework's message and fails.
KXUI_API void ddxText(DataExchange& dx, int id, double& value);
KXUI_API void ddxText(DataExchange& dx, int id, int32_t& value);
// A 32-bit integer with the automatic radio buttons of the group that starts at firstId: the index
// of the selected button counted from 0, -1 when none is; any other value selects none.
KXUI_API void ddxRadio(DataExchange& dx, int firstId, int32_t& value);

// One control of an open dialog.
class KXUI_API Control {
public:
  int id() const { return tpl_->id; }
  ControlKind kind() const { return tpl_->kind; }
  const ControlTemplate& info() const { return *tpl_; }

  void enableWindow(bool enable);
  bool isWindowEnabled() const { return enabled_; }
  // 1 when the radio button is selected, else 0.
  int getCheck() const { return checked_ ? 1 : 0; }

  // Read by backends: the text shown (Latin-1).
  const std::string& text() const { return text_; }

private:
  friend class Dialog;
  friend class Session;
  friend KXUI_API void ddxText(DataExchange&, int, double&);
  friend KXUI_API void ddxText(DataExchange&, int, int32_t&);
  friend KXUI_API void ddxRadio(DataExchange&, int, int32_t&);
  explicit Control(const ControlTemplate& t);

  const ControlTemplate* tpl_;
  std::string text_;
  bool checked_ = false;
  bool enabled_ = true;
  // The up-down control's default range runs from 100 down to 0.
  int spinLow_ = 100, spinHigh_ = 0, spinPos_ = 0;
};

// ---- data exchange -----------------------------------------------------------------------------

// One run of a dialog's data exchange: members to controls (saveAndValidate false, when the
// dialog opens) or controls to members with validation (true, when OK is pressed).
class KXUI_API DataExchange {
public:
  DataExchange(Dialog& dialog, bool saveAndValidate) : dialog_(dialog), save_(saveAndValidate) {}
  // True when the controls are copied into the members.
  bool saveAndValidate() const { return save_; }
  // Ends the exchange as failed: the dialog stays open and the focus goes to the control
  // exchanged last.
  [[noreturn]] void fail();

  Dialog& dialog() const { return dialog_; }

private:
  friend KXUI_API void ddxText(DataExchange&, int, double&);
  friend KXUI_API void ddxText(DataExchange&, int, int32_t&);
  friend KXUI_API void ddxRadio(DataExchange&, int, int32_t&);
  Control& prepare(int id, ControlKind kind);
  Session* session() const;
  Dialog& dialog_;
  bool save_;
  int lastControl_ = -1;
};

// The framework's own messages for texts that are not numbers.
inline constexpr const char* kParseRealMessage = "Please enter a number.";
inline constexpr const char* kParseIntMessage = "Please enter an integer.";

// ---- message maps ------------------------------------------------------------------------------

// What the spin control proposes before it moves: its position and the change.
struct UpDownNotify {
  int id;
  int pos;
  int delta;
};

using ClickHandler = void (Dialog::*)();
using DeltaPosHandler = void (Dialog::*)(UpDownNotify& notify, long* result);

struct MessageMapEntry {
  enum Kind { End, Clicked, DeltaPos } kind = End;
  int id = 0;
  ClickHandler clicked = nullptr;
  DeltaPosHandler deltaPos = nullptr;
};

// A table of handlers chained to the map of the base class, which is searched when this one has no
// entry for a notification.
struct MessageMap {
  const MessageMap* base;
  const MessageMapEntry* entries;  // ended by an End entry
};

// A click on a button (BN_CLICKED).
template <class D>
MessageMapEntry onClicked(int id, void (D::*handler)()) {
  return {MessageMapEntry::Clicked, id, static_cast<ClickHandler>(handler), nullptr};
}
// The spin control's position is about to change (UDN_DELTAPOS); *result 0 lets it change.
template <class D>
MessageMapEntry onDeltaPos(int id, void (D::*handler)(UpDownNotify&, long*)) {
  return {MessageMapEntry::DeltaPos, id, nullptr, static_cast<DeltaPosHandler>(handler)};
}

// ---- dialogs -----------------------------------------------------------------------------------

// A modal dialog from a template of the current module.
class KXUI_API Dialog {
public:
  Dialog(int templateId, Window* parent);
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog until a button ends it; returns that button's id (IDOK, IDCANCEL).
  int doModal();

  // Runs the data exchange now: true copies the controls into the members (with validation),
  // false the members into the controls. Returns false when the exchange failed.
  bool updateData(bool saveAndValidate = true);

  // The control with that id while the dialog is open; null otherwise.
  Control* item(int id);

  int templateId() const { return templateId_; }
  Window* parent() const { return parent_; }

  // The framework dialog's own map (OK and Cancel), to chain a dialog's map to.
  static const MessageMap* dialogMessageMap();

protected:
  virtual const MessageMap* messageMap() const;
  virtual void doDataExchange(DataExchange& dx);
  // The framework's initialisation fills the controls from the members. Returning true lets the
  // framework give the focus to the first control with a tab stop.
  virtual bool onInitDialog();

private:
  friend class Session;
  friend class DataExchange;
  void onOK();
  void onCancel();
  void endDialog(int result);
  // Sends a notification through the message map chain; false when no entry handles it.
  bool dispatch(MessageMapEntry::Kind kind, int id, UpDownNotify* notify, long* result);

  int templateId_;
  Window* parent_;
  Session* session_ = nullptr;
};

// A modal message box of the current backend; returns the id of the button that closed it.
KXUI_API int messageBox(const char* text, unsigned style, const char* title);

}  // namespace kxui
