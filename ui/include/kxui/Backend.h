// How a dialog reaches the user: the backend the host program selects, and the open dialog as a
// backend sees it (its controls, and the user's input fed back into the framework).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "kxui/Framework.h"

namespace kxui {

// One open dialog. The backend shows controls() and calls the input operations for what the user
// does; each runs the framework's handling before it returns (automatic radio buttons, the
// dialog's message map, OK and Cancel), so ended() may be true afterwards. Input a user could not
// give (an unknown or disabled control, a click on a label) throws std::invalid_argument.
class KXUI_API Session {
public:
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const DialogTemplate& dialogTemplate() const { return tpl_; }
  const std::vector<Control>& controls() const { return controls_; }
  const Control* find(int id) const;
  int focus() const { return focus_; }  // index into controls(), -1 when no control has it
  // Counts the framework's focus moves, so a view can tell a new move to the same control.
  unsigned focusMoves() const { return focusMoves_; }
  bool ended() const { return ended_; }
  int result() const { return result_; }
  Window* parent() const;

  void setText(int id, std::string text);  // the edit's text as the user left it (Latin-1)
  void click(int id);                      // a push button or radio button
  void spinArrow(int id, bool up);         // the spin control's upper or lower arrow
  void pressEnter();                       // the default button
  void pressEscape();                      // Cancel
  void pressCloseBox();                    // Cancel
  void setFocus(int index);

  // For views whose controls keep their own state (native windows), which report it before the
  // input it matters to: the text an edit holds and whether a radio button is selected, taken over
  // without what a user's input brings (no focus move, no message map).
  void reflectText(int id, std::string text);
  void reflectCheck(int id, bool checked);
  // The spin control's own notification that its position is about to change, with the position
  // and change it proposes; runs the message map, which may alter notify.delta. Returns whether the
  // control may move (by notify.delta).
  bool spinNotify(UpDownNotify& notify);

private:
  friend class Dialog;
  friend class DataExchange;
  friend void ddxRadio(DataExchange&, int, int32_t&);
  Session(Dialog& dialog, const DialogTemplate& tpl);
  Control& require(int id, const char* action);
  Control& reflected(int id, ControlKind kind);
  int indexOf(int id) const;
  void focusFirstTabStop();
  void moveFocus(int index);

  Dialog& dialog_;
  const DialogTemplate& tpl_;
  std::vector<Control> controls_;
  int focus_ = -1;
  unsigned focusMoves_ = 0;
  bool ended_ = false;
  int result_ = 0;
};

// A way of showing dialogs and message boxes: a real window, or a script of user actions.
class KXUI_API Backend {
public:
  virtual ~Backend();
  // Shows the dialog and feeds the user's input into the session until session.ended().
  virtual void runModal(Session& session) = 0;
  virtual int messageBox(const std::string& text, unsigned style, const std::string& title) = 0;
  // The host application's designated main window, the parent of dialogs (null: none).
  virtual Window* mainWindow() { return nullptr; }

  // The buttons that ended the dialogs run under this backend, in order.
  const std::vector<int>& dialogResults() const { return results_; }

private:
  friend class Dialog;
  std::vector<int> results_;
};

// The backend in effect for the process. When the host program has selected none, dialogs on
// Windows use the native one (nativeBackend(), kxui/Win32Backend.h); elsewhere this is null and
// dialogs fail with a UiError.
KXUI_API Backend* currentBackend();

// Selects a backend for the scope and restores the previous one on every way out.
class KXUI_API BackendScope {
public:
  explicit BackendScope(Backend& backend);
  ~BackendScope();
  BackendScope(const BackendScope&) = delete;
  BackendScope& operator=(const BackendScope&) = delete;

private:
  Backend* saved_;
};

// Dialog units to pixels with the base units of the templates' 8-point font (6 by 13 pixels): the
// position and the size each scaled on its own and rounded, as the Windows dialog manager creates
// the controls of a template (so a control may end one pixel off its scaled right or bottom edge).
KXUI_API Rect toPixels(const Rect& dialogUnits);
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

}  // namespace kxui
