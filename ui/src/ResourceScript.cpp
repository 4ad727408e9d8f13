// Reader of resource scripts: the dialog templates and the version block of a Windows .rc file.
//
// What it reads: comments; #include of the system headers (winres.h, afxres.h, windows.h,
// winver.h, commctrl.h), which bring the Windows constants; #define of object-like macros, #undef,
// #ifdef, #ifndef, #else, #endif, #pragma code_page(1252); LANGUAGE; DIALOG and DIALOGEX with
// STYLE, EXSTYLE, CAPTION, FONT, LANGUAGE; the control statements LTEXT, RTEXT, CTEXT, EDITTEXT,
// PUSHBUTTON, DEFPUSHBUTTON, GROUPBOX, AUTORADIOBUTTON and CONTROL with the classes Button, Edit,
// Static and msctls_updown32; VERSIONINFO. Statements add their implied styles as the resource
// compiler does, and NOT removes bits. Anything else is an error that names the line, so a script
// that reads here also compiles on Windows rather than meaning something else there.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "kxui/Resources.h"

namespace kxui {

ScriptError::ScriptError(const std::string& file, int line, const std::string& message)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " + message), line_(line) {}

const char* kindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Label:
      return "label";
    case ControlKind::Edit:
      return "edit";
    case ControlKind::PushButton:
      return "push button";
    case ControlKind::DefPushButton:
      return "default push button";
    case ControlKind::RadioButton:
      return "radio button";
    case ControlKind::GroupBox:
      return "group box";
    case ControlKind::Spin:
      return "spin control";
  }
  return "control";
}

const ControlTemplate* DialogTemplate::find(int controlId) const {
  for (const ControlTemplate& c : controls)
    if (c.id == controlId) return &c;
  return nullptr;
}

bool DialogTemplate::sameContent(const DialogTemplate& o) const {
  if (id != o.id || !(rect == o.rect) || style != o.style || exStyle != o.exStyle || caption != o.caption ||
      fontSize != o.fontSize || fontFace != o.fontFace || controls.size() != o.controls.size()) {
    return false;
  }
  for (std::size_t i = 0; i < controls.size(); ++i)
    if (!controls[i].sameContent(o.controls[i])) return false;
  return true;
}

const std::string* VersionInfo::value(const std::string& key) const {
  for (const StringBlock& b : strings)
    for (const auto& [k, v] : b.values)
      if (k == key) return &v;
  return nullptr;
}

const DialogTemplate* Resources::findDialog(int id, uint16_t preferredLanguage) const {
  const DialogTemplate* first = nullptr;
  for (const DialogTemplate& d : dialogs) {
    if (d.id != id) continue;
    if (d.language == preferredLanguage) return &d;
    if (!first) first = &d;
  }
  return first;
}

namespace {

// The constants of the Windows headers that dialog and version resources use.
const std::map<std::string, uint32_t>& systemSymbols() {
  static const std::map<std::string, uint32_t> symbols = {
      {"WS_OVERLAPPED", 0},
      {"WS_POPUP", 0x80000000u},
      {"WS_CHILD", 0x40000000u},
      {"WS_MINIMIZE", 0x20000000u},
      {"WS_VISIBLE", 0x10000000u},
      {"WS_DISABLED", 0x08000000u},
      {"WS_CLIPSIBLINGS", 0x04000000u},
      {"WS_CLIPCHILDREN", 0x02000000u},
      {"WS_MAXIMIZE", 0x01000000u},
      {"WS_CAPTION", 0x00C00000u},
      {"WS_BORDER", 0x00800000u},
      {"WS_DLGFRAME", 0x00400000u},
      {"WS_VSCROLL", 0x00200000u},
      {"WS_HSCROLL", 0x00100000u},
      {"WS_SYSMENU", 0x00080000u},
      {"WS_THICKFRAME", 0x00040000u},
      {"WS_GROUP", 0x00020000u},
      {"WS_TABSTOP", 0x00010000u},
      {"WS_MINIMIZEBOX", 0x00020000u},
      {"WS_MAXIMIZEBOX", 0x00010000u},
      {"WS_EX_TRANSPARENT", 0x20},
      {"WS_EX_CLIENTEDGE", 0x200},
      {"WS_EX_STATICEDGE", 0x20000},
      {"DS_ABSALIGN", 0x01},
      {"DS_SYSMODAL", 0x02},
      {"DS_3DLOOK", 0x04},
      {"DS_FIXEDSYS", 0x08},
      {"DS_NOFAILCREATE", 0x10},
      {"DS_LOCALEDIT", 0x20},
      {"DS_SETFONT", 0x40},
      {"DS_MODALFRAME", 0x80},
      {"DS_NOIDLEMSG", 0x100},
      {"DS_SETFOREGROUND", 0x200},
      {"DS_CONTROL", 0x400},
      {"DS_CENTER", 0x800},
      {"DS_CENTERMOUSE", 0x1000},
      {"DS_CONTEXTHELP", 0x2000},
      {"DS_SHELLFONT", 0x48},
      {"BS_PUSHBUTTON", 0x0},
      {"BS_DEFPUSHBUTTON", 0x1},
      {"BS_CHECKBOX", 0x2},
      {"BS_AUTOCHECKBOX", 0x3},
      {"BS_RADIOBUTTON", 0x4},
      {"BS_3STATE", 0x5},
      {"BS_AUTO3STATE", 0x6},
      {"BS_GROUPBOX", 0x7},
      {"BS_USERBUTTON", 0x8},
      {"BS_AUTORADIOBUTTON", 0x9},
      {"BS_OWNERDRAW", 0xB},
      {"BS_LEFTTEXT", 0x20},
      {"BS_TEXT", 0x0},
      {"BS_LEFT", 0x100},
      {"BS_RIGHT", 0x200},
      {"BS_CENTER", 0x300},
      {"BS_TOP", 0x400},
      {"BS_BOTTOM", 0x800},
      {"BS_VCENTER", 0xC00},
      {"BS_PUSHLIKE", 0x1000},
      {"BS_MULTILINE", 0x2000},
      {"BS_NOTIFY", 0x4000},
      {"BS_FLAT", 0x8000},
      {"ES_LEFT", 0x0},
      {"ES_CENTER", 0x1},
      {"ES_RIGHT", 0x2},
      {"ES_MULTILINE", 0x4},
      {"ES_UPPERCASE", 0x8},
      {"ES_LOWERCASE", 0x10},
      {"ES_PASSWORD", 0x20},
      {"ES_AUTOVSCROLL", 0x40},
      {"ES_AUTOHSCROLL", 0x80},
      {"ES_NOHIDESEL", 0x100},
      {"ES_OEMCONVERT", 0x400},
      {"ES_READONLY", 0x800},
      {"ES_WANTRETURN", 0x1000},
      {"ES_NUMBER", 0x2000},
      {"SS_LEFT", 0x0},
      {"SS_CENTER", 0x1},
      {"SS_RIGHT", 0x2},
      {"SS_ICON", 0x3},
      {"SS_BLACKRECT", 0x4},
      {"SS_LEFTNOWORDWRAP", 0xC},
      {"SS_NOPREFIX", 0x80},
      {"SS_NOTIFY", 0x100},
      {"SS_CENTERIMAGE", 0x200},
      {"SS_SUNKEN", 0x1000},
      {"UDS_WRAP", 0x1},
      {"UDS_SETBUDDYINT", 0x2},
      {"UDS_ALIGNRIGHT", 0x4},
      {"UDS_ALIGNLEFT", 0x8},
      {"UDS_AUTOBUDDY", 0x10},
      {"UDS_ARROWKEYS", 0x20},
      {"UDS_HORZ", 0x40},
      {"UDS_NOTHOUSANDS", 0x80},
      {"UDS_HOTTRACK", 0x100},
      {"IDOK", 1},
      {"IDCANCEL", 2},
      {"IDABORT", 3},
      {"IDRETRY", 4},
      {"IDIGNORE", 5},
      {"IDYES", 6},
      {"IDNO", 7},
      {"IDC_STATIC", 0xFFFFFFFFu},
      {"LANG_NEUTRAL", 0x00},
      {"LANG_GERMAN", 0x07},
      {"LANG_ENGLISH", 0x09},
      {"SUBLANG_NEUTRAL", 0x00},
      {"SUBLANG_DEFAULT", 0x01},
      {"SUBLANG_SYS_DEFAULT", 0x02},
      {"SUBLANG_GERMAN", 0x01},
      {"SUBLANG_GERMAN_SWISS", 0x02},
      {"SUBLANG_GERMAN_AUSTRIAN", 0x03},
      {"SUBLANG_ENGLISH_US", 0x01},
      {"SUBLANG_ENGLISH_UK", 0x02},
      {"VS_VERSION_INFO", 1},
      {"VS_FFI_FILEFLAGSMASK", 0x3F},
      {"VS_FF_DEBUG", 0x01},
      {"VS_FF_PRERELEASE", 0x02},
      {"VS_FF_PATCHED", 0x04},
      {"VS_FF_PRIVATEBUILD", 0x08},
      {"VS_FF_INFOINFERRED", 0x10},
      {"VS_FF_SPECIALBUILD", 0x20},
      {"VOS_UNKNOWN", 0},
      {"VOS__WINDOWS32", 0x4},
      {"VOS_NT", 0x40000},
      {"VOS_NT_WINDOWS32", 0x40004},
      {"VFT_UNKNOWN", 0},
      {"VFT_APP", 1},
      {"VFT_DLL", 2},
      {"VFT2_UNKNOWN", 0},
  };
  return symbols;
}

bool isSystemHeader(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name == "winres.h" || name == "afxres.h" || name == "windows.h" || name == "winver.h" || name == "commctrl.h";
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

struct Token {
  enum Kind { Ident, Number, String, Punct, End } kind = End;
  std::string text;  // identifier, string bytes, or the punctuation character
  uint32_t value = 0;
  int line = 0;

  std::string describe() const {
    switch (kind) {
      case Ident:
        return "'" + text + "'";
      case Number:
        return "the number " + std::to_string(value);
      case String:
        return "a string";
      case Punct:
        return "'" + text + "'";
      case End:
        break;
    }
    return "the end of the script";
  }
};

bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

class Reader {
public:
  Reader(const std::string& text, const std::string& file) : text_(text), file_(file) {}

  Resources run() {
    preprocess();
    parse();
    return std::move(out_);
  }

private:
  [[noreturn]] void fail(int line, const std::string& message) const { throw ScriptError(file_, line, message); }

  // ---- preprocessing: comments, directives, conditionals, macros --------------------------------

  // Replaces comments by blanks, keeping line breaks, and leaves string literals alone.
  std::string stripComments() const {
    std::string s = text_;
    int line = 1;
    for (std::size_t i = 0; i < s.size(); ++i) {
      char c = s[i];
      if (c == '\n') {
        ++line;
      } else if (c == '"') {
        for (++i; i < s.size() && s[i] != '\n'; ++i) {
          if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] != '\n') {
            ++i;
          } else if (s[i] == '"') {
            if (i + 1 < s.size() && s[i + 1] == '"') {
              ++i;
            } else {
              break;
            }
          }
        }
        if (i < s.size() && s[i] == '\n') ++line;  // an unterminated string is reported by the lexer
      } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
        while (i < s.size() && s[i] != '\n') s[i++] = ' ';
        --i;
      } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
        int start = line;
        s[i] = s[i + 1] = ' ';
        for (i += 2;; ++i) {
          if (i + 1 >= s.size()) fail(start, "comment not closed ('/*' without '*/')");
          if (s[i] == '*' && s[i + 1] == '/') {
            s[i] = s[i + 1] = ' ';
            ++i;
            break;
          }
          if (s[i] == '\n')
            ++line;
          else
            s[i] = ' ';
        }
      }
    }
    return s;
  }

  struct Conditional {
    bool active;  // lines in this branch are read
    bool parentActive;
    bool seenElse;
    int line;
  };

  bool active() const { return conditionals_.empty() || conditionals_.back().active; }

  bool defined(const std::string& name) const {
    return macros_.count(name) || (systemHeaders_ && systemSymbols().count(name));
  }

  void preprocess() {
    std::string text = stripComments();
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::size_t p = line.find_first_not_of(" \t");
      if (p != std::string::npos && line[p] == '#') {
        directive(line.substr(p + 1), number);
      } else if (active()) {
        lex(line, number, tokens_);
      }
    }
    if (!conditionals_.empty()) fail(conditionals_.back().line, "#if block not closed by #endif");
    Token end;
    end.line = number;
    tokens_.push_back(end);
  }

  void directive(const std::string& rest, int line) {
    std::size_t p = rest.find_first_not_of(" \t");
    std::size_t e =
        p == std::string::npos ? p : rest.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_", p);
    std::string name = p == std::string::npos ? "" : rest.substr(p, e == std::string::npos ? e : e - p);
    std::string args = e == std::string::npos ? "" : rest.substr(e);
    auto word = [&](const char* what) {
      std::vector<Token> t;
      lex(args, line, t, false);
      if (t.size() != 1 || t[0].kind != Token::Ident) fail(line, std::string("#") + name + " needs " + what);
      return t[0].text;
    };
    if (name == "ifdef" || name == "ifndef") {
      std::string sym = word("one macro name");
      bool cond = defined(sym) == (name == "ifdef");
      conditionals_.push_back({active() && cond, active(), false, line});
      return;
    }
    if (name == "else") {
      if (conditionals_.empty() || conditionals_.back().seenElse) fail(line, "#else without #ifdef");
      Conditional& c = conditionals_.back();
      c.seenElse = true;
      c.active = c.parentActive && !c.active;
      return;
    }
    if (name == "endif") {
      if (conditionals_.empty()) fail(line, "#endif without #ifdef");
      conditionals_.pop_back();
      return;
    }
    if (!active()) return;
    if (name == "include") {
      std::size_t a = args.find_first_of("\"<");
      std::size_t b = a == std::string::npos ? a : args.find_first_of(args[a] == '"' ? "\"" : ">", a + 1);
      if (b == std::string::npos) fail(line, "#include needs a file name in quotes or angle brackets");
      std::string header = args.substr(a + 1, b - a - 1);
      if (!isSystemHeader(header)) {
        fail(line, "cannot include '" + header +
                       "': only the system headers winres.h, afxres.h, windows.h, winver.h and commctrl.h are known");
      }
      systemHeaders_ = true;
    } else if (name == "define") {
      std::size_t a = args.find_first_not_of(" \t");
      if (a == std::string::npos || !identStart(args[a])) fail(line, "#define needs a macro name");
      std::size_t b = a;
      while (b < args.size() && identChar(args[b])) ++b;
      std::string macro = args.substr(a, b - a);
      if (b < args.size() && args[b] == '(') fail(line, "function-like macros are not supported");
      std::vector<Token> body;
      lex(args.substr(b), line, body);
      auto it = macros_.find(macro);
      if (it != macros_.end() && !sameTokens(it->second, body)) fail(line, macro + " is already defined otherwise");
      macros_[macro] = body;
    } else if (name == "undef") {
      macros_.erase(word("one macro name"));
    } else if (name == "pragma") {
      std::vector<Token> t;
      lex(args, line, t, false);
      if (!t.empty() && t[0].kind == Token::Ident && t[0].text == "code_page") {
        if (t.size() != 4 || t[1].text != "(" || t[2].kind != Token::Number || t[3].text != ")")
          fail(line, "#pragma code_page needs a number in parentheses");
        if (t[2].value != 1252) {
          fail(line, "code page " + std::to_string(t[2].value) + " is not supported; the texts are Windows-1252");
        }
      }
    } else if (name == "error") {
      fail(line, "#error" + args);
    } else if (name == "if" || name == "elif") {
      fail(line, "#" + name + " is not supported; use #ifdef or #ifndef");
    } else {
      fail(line, "unknown directive #" + name);
    }
  }

  static bool sameTokens(const std::vector<Token>& a, const std::vector<Token>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i].kind != b[i].kind || a[i].text != b[i].text || a[i].value != b[i].value) return false;
    return true;
  }

  // Splits one line into tokens, expanding macros when expand is set.
  void lex(const std::string& s, int line, std::vector<Token>& out, bool expand = true) {
    std::size_t i = 0;
    while (i < s.size()) {
      char c = s[i];
      if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
        ++i;
      } else if (c == '"' || (c == 'L' && i + 1 < s.size() && s[i + 1] == '"')) {
        if (c == 'L') ++i;
        Token t{Token::String, readString(s, i, line), 0, line};
        out.push_back(t);
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        out.push_back(readNumber(s, i, line));
      } else if (identStart(c)) {
        std::size_t b = i;
        while (i < s.size() && identChar(s[i])) ++i;
        Token t{Token::Ident, s.substr(b, i - b), 0, line};
        if (expand)
          expandInto(t, out, 0);
        else
          out.push_back(t);
      } else if (std::strchr(",|&+-~(){}", c)) {
        out.push_back(Token{Token::Punct, std::string(1, c), 0, line});
        ++i;
      } else {
        fail(line, std::string("unexpected character '") + c + "'");
      }
    }
  }

  void expandInto(const Token& t, std::vector<Token>& out, int depth) {
    auto it = macros_.find(t.text);
    if (it == macros_.end()) {
      out.push_back(t);
      return;
    }
    if (depth > 32) fail(t.line, "macro " + t.text + " expands without end");
    for (Token body : it->second) {
      body.line = t.line;
      if (body.kind == Token::Ident)
        expandInto(body, out, depth + 1);
      else
        out.push_back(body);
    }
  }

  Token readNumber(const std::string& s, std::size_t& i, int line) {
    std::size_t b = i;
    uint64_t v = 0;
    bool hex = s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X');
    if (hex) {
      i += 2;
      std::size_t digits = 0;
      while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) {
        char d = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i++])));
        v = v * 16 + static_cast<uint64_t>(d <= '9' ? d - '0' : d - 'a' + 10);
        if (v > 0xFFFFFFFFu) fail(line, "number " + s.substr(b, i - b) + "... does not fit 32 bits");
        ++digits;
      }
      if (!digits) fail(line, "hexadecimal number without digits");
    } else {
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = v * 10 + static_cast<uint64_t>(s[i++] - '0');
        if (v > 0xFFFFFFFFu) fail(line, "number " + s.substr(b, i - b) + "... does not fit 32 bits");
      }
    }
    while (i < s.size() && (s[i] == 'L' || s[i] == 'l' || s[i] == 'U' || s[i] == 'u')) ++i;
    if (i < s.size() && identChar(s[i])) fail(line, "malformed number '" + s.substr(b, i - b + 1) + "'");
    return Token{Token::Number, s.substr(b, i - b), static_cast<uint32_t>(v), line};
  }

  // Reads a string literal starting at the opening quote; leaves i after the closing quote.
  std::string readString(const std::string& s, std::size_t& i, int line) {
    std::string r;
    for (++i;; ++i) {
      if (i >= s.size()) fail(line, "string not closed before the end of the line");
      char c = s[i];
      if (c == '"') {
        if (i + 1 < s.size() && s[i + 1] == '"') {
          r += '"';
          ++i;
          continue;
        }
        ++i;
        return r;
      }
      if (c != '\\') {
        r += c;
        continue;
      }
      if (++i >= s.size()) fail(line, "string not closed before the end of the line");
      c = s[i];
      switch (c) {
        case 'n':
          r += '\n';
          break;
        case 't':
          r += '\t';
          break;
        case 'r':
          r += '\r';
          break;
        case 'a':
          r += '\a';
          break;
        case '\\':
          r += '\\';
          break;
        case '"':
          r += '"';
          break;
        case 'x':
        case 'X': {
          unsigned v = 0, n = 0;
          while (n < 2 && i + 1 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
            char d = static_cast<char>(std::tolower(static_cast<unsigned char>(s[++i])));
            v = v * 16 + static_cast<unsigned>(d <= '9' ? d - '0' : d - 'a' + 10);
            ++n;
          }
          if (!n) fail(line, "\\x in a string needs hexadecimal digits");
          r += static_cast<char>(v);
          break;
        }
        default:
          if (c >= '0' && c <= '7') {
            unsigned v = static_cast<unsigned>(c - '0'), n = 1;
            while (n < 3 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7') {
              v = v * 8 + static_cast<unsigned>(s[++i] - '0');
              ++n;
            }
            if (v > 255) fail(line, "octal escape above \\377 in a string");
            r += static_cast<char>(v);
          } else {
            fail(line, std::string("unknown escape '\\") + c + "' in a string");
          }
      }
    }
  }

  // ---- parsing -----------------------------------------------------------------------------

  const Token& peek() const { return tokens_[pos_]; }
  const Token& next() {
    const Token& t = tokens_[pos_];
    if (t.kind != Token::End) ++pos_;
    return t;
  }
  bool isKeyword(const Token& t, const char* kw) const { return t.kind == Token::Ident && upper(t.text) == kw; }
  bool acceptKeyword(const char* kw) {
    if (!isKeyword(peek(), kw)) return false;
    next();
    return true;
  }
  bool isPunct(const Token& t, char c) const { return t.kind == Token::Punct && t.text[0] == c; }
  bool accept(char c) {
    if (!isPunct(peek(), c)) return false;
    next();
    return true;
  }
  // A missing separator is reported on the line of what it should follow.
  void expect(char c, const char* where) {
    if (accept(c)) return;
    int line = pos_ > 0 ? tokens_[pos_ - 1].line : peek().line;
    fail(line, std::string("expected '") + c + "' " + where + ", found " + peek().describe());
  }
  std::string expectString(const char* what) {
    if (peek().kind != Token::String)
      fail(peek().line, std::string("expected ") + what + ", found " + peek().describe());
    return next().text;
  }
  bool atBegin() const { return isKeyword(peek(), "BEGIN") || isPunct(peek(), '{'); }
  bool atEnd() const { return isKeyword(peek(), "END") || isPunct(peek(), '}'); }
  void expectBegin(const char* what) {
    if (!atBegin()) fail(peek().line, std::string("expected BEGIN to open ") + what + ", found " + peek().describe());
    next();
  }

  uint32_t symbol(const Token& t) {
    if (systemHeaders_) {
      auto it = systemSymbols().find(t.text);
      if (it != systemSymbols().end()) return it->second;
    } else if (systemSymbols().count(t.text)) {
      fail(t.line, "undefined symbol '" + t.text + "' (the script does not include winres.h)");
    }
    fail(t.line, "undefined symbol '" + t.text + "'");
  }

  // Expressions in 32-bit unsigned arithmetic, as the resource compiler evaluates them.
  uint32_t primary() {
    const Token& t = next();
    if (t.kind == Token::Number) return t.value;
    if (t.kind == Token::Ident) return symbol(t);
    if (isPunct(t, '-')) return 0u - primary();
    if (isPunct(t, '~')) return ~primary();
    if (isPunct(t, '(')) {
      uint32_t v = expression();
      expect(')', "to close the parenthesis");
      return v;
    }
    fail(t.line, "expected a number, found " + t.describe());
  }
  uint32_t additive() {
    uint32_t v = primary();
    for (;;) {
      if (accept('+'))
        v += primary();
      else if (accept('-'))
        v -= primary();
      else
        return v;
    }
  }
  uint32_t conjunction() {
    uint32_t v = additive();
    while (accept('&')) v &= additive();
    return v;
  }
  uint32_t expression() {
    uint32_t v = conjunction();
    while (accept('|')) v |= conjunction();
    return v;
  }
  // A style list: bits or-ed into the statement's implied style, NOT clearing them.
  uint32_t styleExpression(uint32_t implied) {
    uint32_t v = implied;
    do {
      if (acceptKeyword("NOT"))
        v &= ~conjunction();
      else
        v |= conjunction();
    } while (accept('|'));
    return v;
  }
  int coordinate(const char* what) {
    int line = peek().line;
    auto v = static_cast<int32_t>(expression());
    if (v < -32768 || v > 32767)
      fail(line, std::string("the ") + what + " " + std::to_string(v) + " does not fit 16 bits");
    return v;
  }
  Rect rectangle() {
    Rect r;
    r.x = coordinate("x position");
    expect(',', "after the x position");
    r.y = coordinate("y position");
    expect(',', "after the y position");
    r.width = coordinate("width");
    expect(',', "after the width");
    r.height = coordinate("height");
    return r;
  }
  int controlId() {
    int line = peek().line;
    uint32_t v = expression();
    if (v == 0xFFFFFFFFu || v == 0xFFFFu) return -1;
    if (v > 0xFFFFu) fail(line, "control id " + std::to_string(static_cast<int32_t>(v)) + " does not fit 16 bits");
    return static_cast<int>(v);
  }
  uint16_t languageArgs() {
    uint32_t primary = expression();
    expect(',', "between the language and the sublanguage");
    uint32_t sub = expression();
    return static_cast<uint16_t>(((sub & 0x3Fu) << 10) | (primary & 0x3FFu));
  }

  void parse() {
    while (peek().kind != Token::End) {
      if (acceptKeyword("LANGUAGE")) {
        language_ = languageArgs();
        continue;
      }
      const Token& name = next();
      int line = name.line;
      uint32_t id = 0;
      if (name.kind == Token::Number) {
        id = name.value;
      } else if (name.kind == Token::Ident && (systemHeaders_ && systemSymbols().count(name.text))) {
        id = systemSymbols().at(name.text);
      } else if (name.kind == Token::Ident) {
        std::string kw = upper(name.text);
        if (kw == "STRINGTABLE" || kw == "ACCELERATORS" || kw == "MENU" || kw == "TEXTINCLUDE" || kw == "DESIGNINFO")
          fail(line, "resource " + kw + " is not supported");
        fail(line, "resource name '" + name.text + "' is not defined; give it a number with #define");
      } else {
        fail(line, "expected a resource name, found " + name.describe());
      }
      if (id == 0 || id > 0xFFFF) fail(line, "resource id " + std::to_string(id) + " is outside 1 to 65535");
      const Token& type = next();
      if (isKeyword(type, "DIALOG") || isKeyword(type, "DIALOGEX")) {
        dialog(static_cast<int>(id), isKeyword(type, "DIALOGEX"), line);
      } else if (isKeyword(type, "VERSIONINFO")) {
        version(line);
      } else if (type.kind == Token::Ident) {
        fail(type.line, "resource type " + type.text + " is not supported (only DIALOG, DIALOGEX, VERSIONINFO)");
      } else {
        fail(type.line, "expected a resource type after the resource name, found " + type.describe());
      }
    }
  }

  void dialog(int id, bool ex, int line) {
    DialogTemplate d;
    d.id = id;
    d.line = line;
    d.language = language_;
    static const char* const kMemoryOptions[] = {"DISCARDABLE", "MOVEABLE", "FIXED",     "PURE",
                                                 "IMPURE",      "PRELOAD",  "LOADONCALL"};
    for (bool more = true; more;) {
      more = false;
      for (const char* kw : kMemoryOptions) more = more || acceptKeyword(kw);
    }
    d.rect = rectangle();
    if (ex && accept(',')) expression();  // help id
    d.style = style::kPopup | style::kBorder | style::kSysMenu;
    bool captioned = false, font = false;
    while (!atBegin()) {
      const Token& t = next();
      std::string kw = t.kind == Token::Ident ? upper(t.text) : "";
      if (kw == "STYLE") {
        d.style = styleExpression(0);
      } else if (kw == "EXSTYLE") {
        d.exStyle = expression();
      } else if (kw == "CAPTION") {
        d.caption = expectString("the caption in quotes");
        captioned = true;
      } else if (kw == "FONT") {
        d.fontSize = static_cast<int>(expression());
        expect(',', "between the font size and the typeface");
        d.fontFace = expectString("the typeface in quotes");
        if (ex)
          for (int k = 0; k < 3 && accept(','); ++k) expression();  // weight, italic, character set
        font = true;
      } else if (kw == "LANGUAGE") {
        d.language = languageArgs();
      } else if (kw == "CHARACTERISTICS" || kw == "VERSION") {
        expression();
      } else if (kw == "MENU" || kw == "CLASS") {
        fail(t.line, "dialogs with " + kw + " are not supported");
      } else {
        fail(t.line, "expected a dialog statement (STYLE, CAPTION, FONT, ...) or BEGIN, found " + t.describe());
      }
    }
    if (captioned) d.style |= style::kCaption;
    if (font) d.style |= style::kSetFont;
    next();
    std::set<int> ids;
    while (!atEnd()) {
      if (peek().kind == Token::End) fail(line, "dialog " + std::to_string(id) + " is not closed by END");
      ControlTemplate c = control(ex);
      if (c.id != -1 && !ids.insert(c.id).second) {
        fail(c.line, "control id " + std::to_string(c.id) + " appears twice in dialog " + std::to_string(id));
      }
      d.controls.push_back(std::move(c));
    }
    next();
    for (const DialogTemplate& other : out_.dialogs) {
      if (other.id == id && other.language == d.language) {
        std::ostringstream m;
        m << "dialog " << id << " is defined twice for language 0x" << std::hex << d.language << " (first on line "
          << std::dec << other.line << ")";
        fail(line, m.str());
      }
    }
    out_.dialogs.push_back(std::move(d));
  }

  ControlTemplate control(bool ex) {
    const Token& t = next();
    ControlTemplate c;
    c.line = t.line;
    if (t.kind != Token::Ident) fail(t.line, "expected a control statement or END, found " + t.describe());
    std::string kw = upper(t.text);
    struct Statement {
      const char* name;
      const char* className;
      uint32_t implied;
      bool hasText;
    };
    static const Statement kStatements[] = {
        {"LTEXT", "Static", style::kStaticLeft | style::kGroup, true},
        {"RTEXT", "Static", style::kStaticRight | style::kGroup, true},
        {"CTEXT", "Static", style::kStaticCenter | style::kGroup, true},
        {"EDITTEXT", "Edit", style::kBorder | style::kTabStop, false},
        {"PUSHBUTTON", "Button", style::kPushButton | style::kTabStop, true},
        {"DEFPUSHBUTTON", "Button", style::kDefPushButton | style::kTabStop, true},
        {"GROUPBOX", "Button", style::kGroupBox, true},
        {"AUTORADIOBUTTON", "Button", style::kAutoRadioButton | style::kTabStop, true},
    };
    const uint32_t kChildVisible = style::kChild | style::kVisible;
    if (kw == "CONTROL") {
      c.text = expectString("the control text in quotes");
      expect(',', "after the control text");
      c.id = controlId();
      expect(',', "after the control id");
      const Token& cls = next();
      if (cls.kind != Token::String && cls.kind != Token::Ident)
        fail(cls.line, "expected the control class, found " + cls.describe());
      c.className = cls.text;
      expect(',', "after the control class");
      c.style = styleExpression(kChildVisible);
      expect(',', "after the control style");
      c.rect = rectangle();
      if (accept(',')) c.exStyle = expression();
      if (ex && accept(',')) expression();  // help id
    } else {
      const Statement* s = nullptr;
      for (const Statement& candidate : kStatements)
        if (kw == candidate.name) s = &candidate;
      if (!s) fail(t.line, "control statement " + t.text + " is not supported");
      if (s->hasText) {
        c.text = expectString("the control text in quotes");
        expect(',', "after the control text");
      }
      c.id = controlId();
      expect(',', "after the control id");
      c.className = s->className;
      c.rect = rectangle();
      c.style = s->implied | kChildVisible;
      if (accept(',')) {
        c.style = styleExpression(c.style);
        if (accept(',')) c.exStyle = expression();
        if (ex && accept(',')) expression();  // help id
      }
    }
    c.kind = classify(c);
    return c;
  }

  ControlKind classify(const ControlTemplate& c) {
    std::string cls = upper(c.className);
    auto unsupported = [&](const std::string& what) -> ControlKind {
      fail(c.line, what + " is not supported by the UI layer");
    };
    if (cls == "BUTTON") {
      switch (c.style & style::kButtonTypeMask) {
        case style::kPushButton:
          return ControlKind::PushButton;
        case style::kDefPushButton:
          return ControlKind::DefPushButton;
        case style::kGroupBox:
          return ControlKind::GroupBox;
        case style::kAutoRadioButton:
          return ControlKind::RadioButton;
        default:
          return unsupported("button style " + std::to_string(c.style & style::kButtonTypeMask));
      }
    }
    if (cls == "STATIC") {
      uint32_t type = c.style & style::kStaticTypeMask;
      if (type == style::kStaticLeft || type == style::kStaticCenter || type == style::kStaticRight)
        return ControlKind::Label;
      return unsupported("static style " + std::to_string(type));
    }
    if (cls == "EDIT") {
      if (c.style & 0x4) return unsupported("a multi-line edit");
      return ControlKind::Edit;
    }
    if (cls == "MSCTLS_UPDOWN32") {
      if (c.style & 0x12) return unsupported("an up-down control with a buddy");
      return ControlKind::Spin;
    }
    return unsupported("control class '" + c.className + "'");
  }

  void versionNumbers(uint16_t (&v)[4]) {
    for (int k = 0; k < 4; ++k) {
      int line = peek().line;
      uint32_t n = expression();
      if (n > 0xFFFF) fail(line, "version part " + std::to_string(n) + " does not fit 16 bits");
      v[k] = static_cast<uint16_t>(n);
      if (k < 3 && !accept(',')) break;
    }
  }

  void version(int line) {
    if (out_.version) fail(line, "a second VERSIONINFO");
    VersionInfo v;
    v.language = language_;
    while (!atBegin()) {
      const Token& t = next();
      std::string kw = t.kind == Token::Ident ? upper(t.text) : "";
      if (kw == "FILEVERSION")
        versionNumbers(v.fileVersion);
      else if (kw == "PRODUCTVERSION")
        versionNumbers(v.productVersion);
      else if (kw == "FILEFLAGSMASK")
        v.fileFlagsMask = expression();
      else if (kw == "FILEFLAGS")
        v.fileFlags = expression();
      else if (kw == "FILEOS")
        v.fileOs = expression();
      else if (kw == "FILETYPE")
        v.fileType = expression();
      else if (kw == "FILESUBTYPE")
        v.fileSubtype = expression();
      else
        fail(t.line, "expected a VERSIONINFO statement (FILEVERSION, ...) or BEGIN, found " + t.describe());
    }
    next();
    while (!atEnd()) {
      const Token& t = next();
      if (!isKeyword(t, "BLOCK")) fail(t.line, "expected BLOCK or END in VERSIONINFO, found " + t.describe());
      std::string name = expectString("the block name in quotes");
      expectBegin("the block");
      if (name == "StringFileInfo") {
        while (!atEnd()) {
          const Token& b = next();
          if (!isKeyword(b, "BLOCK")) fail(b.line, "expected a BLOCK of strings, found " + b.describe());
          VersionInfo::StringBlock block;
          block.name = expectString("the language block name in quotes");
          if (block.name.size() != 8 || block.name.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            fail(b.line, "the string block name '" + block.name + "' is not eight hexadecimal digits");
          expectBegin("the string block");
          while (!atEnd()) {
            const Token& val = next();
            if (!isKeyword(val, "VALUE")) fail(val.line, "expected VALUE or END, found " + val.describe());
            std::string key = expectString("the value name in quotes");
            expect(',', "after the value name");
            std::string text = expectString("the value text in quotes");
            while (!text.empty() && text.back() == '\0') text.pop_back();
            block.values.emplace_back(key, text);
          }
          next();
          v.strings.push_back(std::move(block));
        }
      } else if (name == "VarFileInfo") {
        while (!atEnd()) {
          const Token& val = next();
          if (!isKeyword(val, "VALUE")) fail(val.line, "expected VALUE or END, found " + val.describe());
          std::string key = expectString("the value name in quotes");
          if (key != "Translation") fail(val.line, "VarFileInfo value '" + key + "' is not supported");
          while (accept(',')) v.translations.push_back(expression());
        }
      } else {
        fail(t.line, "version block '" + name + "' is not supported (only StringFileInfo, VarFileInfo)");
      }
      next();
    }
    next();
    out_.version = std::move(v);
  }

  const std::string& text_;
  std::string file_;
  std::vector<Conditional> conditionals_;
  std::map<std::string, std::vector<Token>> macros_ = {{"RC_INVOKED", {}}, {"_WIN32", {}}};
  bool systemHeaders_ = false;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  uint16_t language_ = 0x0409;  // the resource compiler's default without /l
  Resources out_;
};

}  // namespace

Resources parseResourceScript(const std::string& text, const std::string& fileName) {
  return Reader(text, fileName).run();
}

}  // namespace kxui
