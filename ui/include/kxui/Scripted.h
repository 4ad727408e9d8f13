// The scripted backend: dialogs driven by a list of user actions, recording what they showed.
//
// Action script format (one action a line; blank lines and lines starting with '#' are skipped;
// control ids are the template's decimal ids):
//
//   type ID TEXT     replace the text of edit ID by TEXT (the rest of the line after one blank;
//                    may be empty; UTF-8 or Latin-1)
//   click ID         click push button or radio button ID
//   spin ID up       press the upper arrow of spin control ID ("down": the lower arrow)
//   ok               click OK (button 1)
//   cancel           click Cancel (button 2)
//   close            the window's close box
//   enter            the Enter key (the default button)
//   escape           the Escape key
//
// Message boxes are answered with their only button, OK, and recorded. An action a user could not
// perform (an unknown or disabled control, typing into a radio button) is a ScriptError naming the
// line; so is a dialog still open when the actions run out (ScriptExhausted).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kxui/Backend.h"

namespace kxui {

struct Action {
  enum Kind { Type, Click, Spin, Ok, Cancel, Close, Enter, Escape } kind = Ok;
  int id = 0;
  std::string text;  // Type: Latin-1
  bool up = false;   // Spin
  int line = 0;      // in the script; 0 for actions built in code

  std::string describe() const;  // as it would be written in a script
};

std::vector<Action> parseActions(const std::string& text, const std::string& sourceName);
std::vector<Action> loadActions(const std::string& path);  // throws std::runtime_error if unreadable

// The state of one control as shown.
struct ShownControl {
  int id;
  ControlKind kind;
  std::string text;  // Latin-1
  bool checked;
  bool enabled;
  bool focused;
};

// A dialog as shown after it opened or after an action.
struct Screen {
  int templateId = 0;
  std::string after;  // "open" or the action
  std::vector<ShownControl> controls;
  // The control with that id; throws std::out_of_range when there is none.
  const ShownControl& control(int id) const;
};

struct ShownMessage {
  std::string text;  // Latin-1
  unsigned style;
  std::string title;
  std::size_t screen;  // index of the last screen recorded before it appeared
};

class ScriptExhausted : public ScriptError {
public:
  using ScriptError::ScriptError;
};

class ScriptedBackend : public Backend {
public:
  explicit ScriptedBackend(std::vector<Action> actions, std::string sourceName = "actions");

  void runModal(Session& session) override;
  int messageBox(const std::string& text, unsigned style, const std::string& title) override;

  const std::vector<Screen>& screens() const { return screens_; }
  const std::vector<ShownMessage>& messages() const { return messages_; }
  std::size_t remaining() const { return actions_.size() - next_; }
  // What happened, for people: dialogs opened, actions, changed controls, message boxes (UTF-8).
  const std::string& transcript() const { return transcript_; }

private:
  void record(const Session& session, const std::string& after);
  void apply(Session& session, const Action& action);

  std::vector<Action> actions_;
  std::string source_;
  std::size_t next_ = 0;
  std::vector<Screen> screens_;
  std::vector<ShownMessage> messages_;
  std::string transcript_;
};

}  // namespace kxui
