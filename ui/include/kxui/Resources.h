// Dialog templates and the version resource, read from a resource script in the Windows syntax.
//
// The script is the one source of the templates: the Windows resource compiler builds it into a
// DLL, and this reader turns the same text into the tables the UI layer runs dialogs from. It
// reads the subset a hand-written script of dialogs and a version block needs (see the parser's
// file comment) and rejects everything else with a ScriptError naming the file and line.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kxui/Api.h"

namespace kxui {

// Window and control style bits as the Windows headers define them.
namespace style {
constexpr uint32_t kPopup = 0x80000000u;
constexpr uint32_t kChild = 0x40000000u;
constexpr uint32_t kVisible = 0x10000000u;
constexpr uint32_t kDisabled = 0x08000000u;
constexpr uint32_t kCaption = 0x00C00000u;
constexpr uint32_t kBorder = 0x00800000u;
constexpr uint32_t kSysMenu = 0x00080000u;
constexpr uint32_t kGroup = 0x00020000u;
constexpr uint32_t kTabStop = 0x00010000u;
constexpr uint32_t kModalFrame = 0x00000080u;  // DS_MODALFRAME
constexpr uint32_t kSetFont = 0x00000040u;     // DS_SETFONT
constexpr uint32_t kButtonTypeMask = 0x0000000Fu;
constexpr uint32_t kPushButton = 0x0;
constexpr uint32_t kDefPushButton = 0x1;
constexpr uint32_t kAutoRadioButton = 0x9;
constexpr uint32_t kGroupBox = 0x7;
constexpr uint32_t kStaticTypeMask = 0x0000001Fu;
constexpr uint32_t kStaticLeft = 0x0;
constexpr uint32_t kStaticCenter = 0x1;
constexpr uint32_t kStaticRight = 0x2;
constexpr uint32_t kEditAutoHScroll = 0x0080u;
constexpr uint32_t kUpDownArrowKeys = 0x0020u;
}  // namespace style

// The kinds of control the UI layer can show; derived from a control's class and style.
enum class ControlKind { Label, Edit, PushButton, DefPushButton, RadioButton, GroupBox, Spin };

KXUI_API const char* kindName(ControlKind kind);

// A rectangle in dialog units (or pixels, where a function says so).
struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct ControlTemplate {
  int id = -1;  // -1: no id (IDC_STATIC)
  ControlKind kind = ControlKind::Label;
  std::string className;  // "Button", "Edit", "Static", "msctls_updown32"
  std::string text;       // 8-bit (Latin-1 / Windows-1252) bytes
  Rect rect;              // dialog units
  uint32_t style = 0;     // including the statement's implied bits
  uint32_t exStyle = 0;
  int line = 0;  // line of the script that defined the control

  bool has(uint32_t bits) const { return (style & bits) == bits; }
  bool sameContent(const ControlTemplate& o) const {
    return id == o.id && kind == o.kind && className == o.className && text == o.text && rect == o.rect &&
           style == o.style && exStyle == o.exStyle;
  }
};

struct KXUI_API DialogTemplate {
  int id = 0;
  uint16_t language = 0;  // MAKELANGID(primary, sub): 0x0407 German, 0x0409 US English
  Rect rect;              // position and client size in dialog units
  uint32_t style = 0;
  uint32_t exStyle = 0;
  std::string caption;
  int fontSize = 0;  // points; 0 without a FONT statement
  std::string fontFace;
  std::vector<ControlTemplate> controls;  // template order, which is also the tab order
  int line = 0;

  const ControlTemplate* find(int controlId) const;
  bool sameContent(const DialogTemplate& o) const;
};

struct KXUI_API VersionInfo {
  uint16_t fileVersion[4] = {0, 0, 0, 0};
  uint16_t productVersion[4] = {0, 0, 0, 0};
  uint32_t fileFlagsMask = 0, fileFlags = 0, fileOs = 0, fileType = 0, fileSubtype = 0;
  struct StringBlock {
    std::string name;  // language and code page as eight hex digits, e.g. "040704b0"
    std::vector<std::pair<std::string, std::string>> values;
  };
  std::vector<StringBlock> strings;
  std::vector<uint32_t> translations;  // VarFileInfo "Translation": language, code page, ...
  uint16_t language = 0;

  // The value of key in the first string block that has it; null when none has.
  const std::string* value(const std::string& key) const;
};

struct KXUI_API Resources {
  std::vector<DialogTemplate> dialogs;  // script order
  std::optional<VersionInfo> version;

  // The template of that id in the preferred language, else the first one of that id; null if none.
  const DialogTemplate* findDialog(int id, uint16_t preferredLanguage = 0x0407) const;
};

// A malformed script (or action script): the message starts with "file:line: ".
class KXUI_API ScriptError : public std::runtime_error {
public:
  ScriptError(const std::string& file, int line, const std::string& message);
  int line() const { return line_; }

private:
  int line_;
};

// Reads a resource script; fileName only serves the messages.
KXUI_API Resources parseResourceScript(const std::string& text, const std::string& fileName);

}  // namespace kxui
