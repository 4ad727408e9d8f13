// The scripted backend: action scripts, their replay against an open dialog, and the record.
#include "kxui/Scripted.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Text.h"

namespace kxui {

namespace {

const char* const kActionNames = "type, click, spin, ok, cancel, close, enter or escape";

std::string quoted(const std::string& latin1) {
  std::string r(1, '"');
  r += text::latin1ToUtf8(latin1);
  r += '"';
  return r;
}

std::string describeControl(const ShownControl& c) {
  std::string s = std::string(kindName(c.kind)) + " " + std::to_string(c.id) + " " + quoted(c.text);
  if (c.kind == ControlKind::RadioButton) s += c.checked ? " selected" : " clear";
  if (!c.enabled) s += " disabled";
  if (c.focused) s += " focus";
  return s;
}

std::string resultName(int result) {
  return std::to_string(result) + (result == IDOK ? " (OK)" : result == IDCANCEL ? " (Cancel)" : "");
}

}  // namespace

std::string Action::describe() const {
  switch (kind) {
    case Type:
      return "type " + std::to_string(id) + " " + text::latin1ToUtf8(text);
    case Click:
      return "click " + std::to_string(id);
    case Spin:
      return "spin " + std::to_string(id) + (up ? " up" : " down");
    case Ok:
      return "ok";
    case Cancel:
      return "cancel";
    case Close:
      return "close";
    case Enter:
      return "enter";
    case Escape:
      return "escape";
  }
  return "?";
}

std::vector<Action> parseActions(const std::string& text, const std::string& sourceName) {
  std::vector<Action> actions;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    std::size_t e = line.find_first_of(" \t", b);
    std::string verb = line.substr(b, e == std::string::npos ? e : e - b);
    std::string rest = e == std::string::npos ? "" : line.substr(e + 1);
    auto fail = [&](const std::string& message) -> void { throw ScriptError(sourceName, number, message); };
    // Splits off the next blank-separated word of rest.
    auto word = [&](const char* what) {
      std::size_t a = rest.find_first_not_of(" \t");
      if (a == std::string::npos) fail(verb + " needs " + what);
      std::size_t z = rest.find_first_of(" \t", a);
      std::string w = rest.substr(a, z == std::string::npos ? z : z - a);
      rest = z == std::string::npos ? "" : rest.substr(z + 1);
      return w;
    };
    auto controlId = [&]() {
      std::string w = word("a control id");
      int id = 0;
      auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), id);
      if (ec != std::errc() || p != w.data() + w.size()) fail("'" + w + "' is not a control id");
      return id;
    };
    auto noMore = [&]() {
      if (rest.find_first_not_of(" \t") != std::string::npos) fail("unexpected '" + rest + "' after " + verb);
    };
    Action a;
    a.line = number;
    if (verb == "type") {
      a.kind = Action::Type;
      a.id = controlId();
      a.text = text::utf8ToLatin1(rest);
    } else if (verb == "click") {
      a.kind = Action::Click;
      a.id = controlId();
      noMore();
    } else if (verb == "spin") {
      a.kind = Action::Spin;
      a.id = controlId();
      std::string dir = word("up or down");
      if (dir != "up" && dir != "down") fail("spin needs up or down, not '" + dir + "'");
      a.up = dir == "up";
      noMore();
    } else {
      static const std::pair<const char*, Action::Kind> kSimple[] = {{"ok", Action::Ok},
                                                                     {"cancel", Action::Cancel},
                                                                     {"close", Action::Close},
                                                                     {"enter", Action::Enter},
                                                                     {"escape", Action::Escape}};
      bool known = false;
      for (const auto& [name, kind] : kSimple) {
        if (verb == name) {
          a.kind = kind;
          known = true;
        }
      }
      if (!known) fail("unknown action '" + verb + "' (expected " + kActionNames + ")");
      noMore();
    }
    actions.push_back(std::move(a));
  }
  return actions;
}

std::vector<Action> loadActions(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the action script " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return parseActions(s.str(), path);
}

const ShownControl& Screen::control(int id) const {
  for (const ShownControl& c : controls)
    if (c.id == id) return c;
  throw std::out_of_range("dialog " + std::to_string(templateId) + " showed no control " + std::to_string(id));
}

ScriptedBackend::ScriptedBackend(std::vector<Action> actions, std::string sourceName)
    : actions_(std::move(actions)), source_(std::move(sourceName)) {}

void ScriptedBackend::record(const Session& session, const std::string& after) {
  Screen screen;
  screen.templateId = session.dialogTemplate().id;
  screen.after = after;
  const auto& controls = session.controls();
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const Control& c = controls[i];
    screen.controls.push_back(
        {c.id(), c.kind(), c.text(), c.getCheck() != 0, c.isWindowEnabled(), session.focus() == static_cast<int>(i)});
  }
  // The transcript lists every control on opening and only the changed ones after an action.
  const Screen* before = screens_.empty() || after == "open" ? nullptr : &screens_.back();
  for (std::size_t i = 0; i < screen.controls.size(); ++i) {
    const ShownControl& c = screen.controls[i];
    if (before && i < before->controls.size()) {
      const ShownControl& o = before->controls[i];
      if (o.text == c.text && o.checked == c.checked && o.enabled == c.enabled && o.focused == c.focused) continue;
    }
    transcript_ += "  " + describeControl(c) + "\n";
  }
  screens_.push_back(std::move(screen));
}

void ScriptedBackend::apply(Session& session, const Action& a) {
  switch (a.kind) {
    case Action::Type:
      session.setText(a.id, a.text);
      break;
    case Action::Click:
      session.click(a.id);
      break;
    case Action::Spin:
      session.spinArrow(a.id, a.up);
      break;
    case Action::Ok:
      session.click(IDOK);
      break;
    case Action::Cancel:
      session.click(IDCANCEL);
      break;
    case Action::Close:
      session.pressCloseBox();
      break;
    case Action::Enter:
      session.pressEnter();
      break;
    case Action::Escape:
      session.pressEscape();
      break;
  }
}

void ScriptedBackend::runModal(Session& session) {
  const DialogTemplate& t = session.dialogTemplate();
  transcript_ += "dialog " + std::to_string(t.id) + " " + quoted(t.caption) + " opened\n";
  record(session, "open");
  while (!session.ended()) {
    if (next_ >= actions_.size()) {
      int line = actions_.empty() ? 0 : actions_.back().line;
      throw ScriptExhausted(
          source_, line,
          "the actions ran out while dialog " + std::to_string(t.id) + " " + quoted(t.caption) + " was still open");
    }
    const Action& a = actions_[next_++];
    transcript_ += "> " + a.describe() + "\n";
    try {
      apply(session, a);
    } catch (const std::invalid_argument& e) {
      throw ScriptError(source_, a.line, e.what());
    }
    record(session, a.describe());
  }
  transcript_ += "dialog " + std::to_string(t.id) + " ended with " + resultName(session.result()) + "\n";
}

int ScriptedBackend::messageBox(const std::string& text, unsigned style, const std::string& title) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%02x", style);
  transcript_ += "message box " + std::string(code) + " " + quoted(title) + ": " + quoted(text) + "\n";
  messages_.push_back({text, style, title, screens_.empty() ? 0 : screens_.size() - 1});
  return IDOK;
}

}  // namespace kxui
