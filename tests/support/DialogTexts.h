// The dialogs as the scripted and the native dialog tests drive them: each one's template, edits
// (control, parameter) and radio group; the generator dialogs' refusal texts (Latin-1); and the
// scenarios both run, user actions with checks of what the dialog shows between them.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kxui/Framework.h"
#include "support/Harness.h"

namespace rktest {

inline const std::string kTitle = "Korvex - Hinweis";
inline const std::string kImagesMsg = "Die Anzahl der Bilder mu\xdf mindestens 1 betragen.";
inline const std::string kPlanesMsg = "Die Anzahl der Planes mu\xdf mindestens 1 betragen.";
inline const std::string kXMsg = "Die Anzahl der Pixel (X) mu\xdf mindestens 1 betragen.";
inline const std::string kYMsg = "Die Anzahl der Pixel (Y) mu\xdf mindestens 1 betragen.";

struct DialogCase {
  const char* entry;
  int templateId;
  std::vector<std::pair<int, const char*>> edits;
  int firstRadio = 0, radios = 0;  // the radio group's first control and size
  const char* radioParam = nullptr;
};

inline const DialogCase kDialogs[] = {
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
    {"_Pertur", 131, {{1008, "scalar"}}},
    {"_TransformImage", 139, {{1018, "RotDegree"}}, 1023, 3, "TransType"},
};

inline std::string dialogName(const ::testing::TestParamInfo<DialogCase>& info) { return info.param.entry + 1; }

inline bool isReal(const kxhost::Instance& inst, const char* name) {
  return inst.record()->params[static_cast<std::size_t>(inst.paramIndex(name))].type == 4;
}

inline int openRadio(const DialogCase& c) { return c.templateId == 139 ? 2 : 0; }

// Every edited real 1.25, every edited integer 1, the group on its first button; the
// transformation's on Rotate, so that its angle can be edited.
inline kxhost::Instance opened(const DialogCase& c) {
  kxhost::Instance inst = instance(c.entry);
  for (const auto& [id, name] : c.edits) {
    tagVARIANT& v = inst.params[static_cast<std::size_t>(inst.paramIndex(name))];
    if (isReal(inst, name))
      v.dblVal = 1.25;
    else
      v.lVal = 1;
  }
  if (c.radioParam) inst.params[static_cast<std::size_t>(inst.paramIndex(c.radioParam))].lVal = openRadio(c);
  return inst;
}

// What the edit tests type into the k-th edit and expect written back: 20.5, 21.5, ... in real
// fields, 20, 21, ... in integer ones; the group's last button is clicked.
inline std::vector<std::string> editActions(const DialogCase& c, const kxhost::Instance& inst,
                                            std::vector<std::pair<std::string, double>>* expected) {
  std::vector<std::string> actions;
  for (std::size_t k = 0; k < c.edits.size(); ++k) {
    const double value = static_cast<double>(20 + k) + (isReal(inst, c.edits[k].second) ? 0.5 : 0.0);
    std::ostringstream text;
    text << "type " << c.edits[k].first << " " << value;
    actions.push_back(text.str());
    expected->push_back({c.edits[k].second, value});
  }
  if (c.radioParam) {
    actions.push_back("click " + std::to_string(c.firstRadio + c.radios - 1));
    expected->push_back({c.radioParam, c.radios - 1});
  }
  return actions;
}

// What a dialog shows before the edits change: each edit its own parameter, the group its button.
inline std::vector<std::string> openedChecks(const DialogCase& c, const kxhost::Instance& inst) {
  std::vector<std::string> checks;
  for (const auto& [id, name] : c.edits)
    checks.push_back("text " + std::to_string(id) + (isReal(inst, name) ? " 1.25" : " 1"));
  for (int k = 0; k < c.radios; ++k)
    checks.push_back((k == openRadio(c) ? "checked " : "unchecked ") + std::to_string(c.firstRadio + k));
  return checks;
}

// Lines are scripted actions ("type 1009 3", "click 1025", "spin 1021 up", "ok", ...) or checks of
// the dialog after the previous action: "text ID T"; "checked", "unchecked", "enabled", "disabled"
// or "focused" with control ids; "message NAME", a message box shown by the previous action
// (images, planes, x, y: the generators' stop box; real, int: the framework's parse error).
struct Scenario {
  const char* entry;
  const char* set;  // "name=value ..." before the dialog opens
  std::vector<std::string> lines;
  const char* written;  // "name=value ...": OK wrote every parameter, these with these values; "": nothing
};

inline void PrintTo(const Scenario& s, std::ostream* o) {
  *o << s.entry << " " << s.set;
  for (const std::string& l : s.lines) *o << ", " << l;
}

inline bool isCheck(const std::string& line) {
  const std::string word = line.substr(0, line.find(' '));
  for (const char* w : {"text", "checked", "unchecked", "enabled", "disabled", "focused", "message"})
    if (word == w) return true;
  return false;
}

inline std::vector<std::pair<std::string, double>> assignments(const std::string& text) {
  std::vector<std::pair<std::string, double>> r;
  std::istringstream in(text);
  for (std::string a; in >> a;) r.push_back({a.substr(0, a.find('=')), std::stod(a.substr(a.find('=') + 1))});
  return r;
}

inline kxhost::Instance scenarioInstance(const Scenario& s) {
  kxhost::Instance inst = instance(s.entry);
  for (const auto& [name, value] : assignments(s.set)) {
    tagVARIANT& v = inst.params.at(static_cast<std::size_t>(inst.paramIndex(name.c_str())));
    if (v.vt == VT_R8)
      v.dblVal = value;
    else
      v.lVal = static_cast<int32_t>(value);
  }
  return inst;
}

// A control as a check sees it, and a check of controls ("text ID T", or a state with ids) against
// what `control(id)` reads from the dialog.
struct Shown {
  std::string text;
  bool checked, enabled, focused;
};
template <class Control>
void expectShown(const std::string& check, Control control) {
  std::istringstream in(check);
  std::string word;
  int id = 0;
  in >> word >> id;
  if (word == "text") {
    EXPECT_EQ(control(id).text, check.substr(check.find(' ', 5) + 1)) << check;
    return;
  }
  for (; in; in >> id) {
    const Shown s = control(id);
    const bool state = word == "checked" || word == "unchecked" ? s.checked : word == "focused" ? s.focused : s.enabled;
    EXPECT_EQ(state, word == "checked" || word == "enabled" || word == "focused") << check << " (" << id << ")";
  }
}

// The parameter writes a dialog made: none when it was left without OK, else every parameter once,
// in index order and in its own form, these with these values.
using Writes = std::vector<std::pair<int32_t, tagVARIANT>>;
inline void expectWritten(const Writes& writes, const kxhost::Instance& inst, bool ok,
                          const std::vector<std::pair<std::string, double>>& values) {
  ASSERT_EQ(writes.size(), ok ? inst.params.size() : 0u);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].first, static_cast<int32_t>(i));
    EXPECT_EQ(writes[i].second.vt, inst.record()->params[i].type == 4 ? VT_R8 : VT_I4);
  }
  for (const auto& [name, value] : values) {
    std::vector<double> found;
    for (const auto& [i, v] : writes)
      if (i == inst.paramIndex(name.c_str())) found.push_back(v.vt == VT_R8 ? v.dblVal : v.lVal);
    EXPECT_EQ(found, std::vector<double>(ok ? 1 : 0, value)) << name;
  }
}

// A message box's text, caption and style by its name in a scenario.
struct Message {
  std::string text, title;
  unsigned style;  // 0x10: the stop icon; 0x30: the exclamation mark
};
inline Message message(const std::string& name) {
  if (name == "real" || name == "int")
    return {name == "real" ? kxui::kParseRealMessage : kxui::kParseIntMessage, "RasterKit", 0x30};
  const std::string& text = name == "images" ? kImagesMsg : name == "planes" ? kPlanesMsg : name == "x" ? kXMsg : kYMsg;
  return {text, kTitle, 0x10};
}

// The scenarios as a table, a scenario a line or two.
// clang-format off
#define RK_REFUSED(entry, typed, kind) \
  Scenario{entry, "", {"type 1009 " typed, "ok", "message " kind, "text 1009 " typed, "focused 1009", "cancel"}, ""}
#define RK_ACCEPTED(entry, typed, written) Scenario{entry, "", {"type 1009 " typed, "ok"}, written}
#define RK_SPIN(from, dir, shown) Scenario{"_TransformImage", "TransType=2 RotDegree=" from, \
  {"spin 1021 " dir, "text 1018 " shown, "ok"}, "TransType=2 RotDegree=" shown}
#define RK_TA(from, to, ...) Scenario{"_BinAdaptThreshImage", "TA=" from, {__VA_ARGS__, "ok"}, "TA=" to}
#define RK_FLIP(type, ...) Scenario{"_TransformImage", "TransType=" type, \
  {"disabled 1018 1021 1022", __VA_ARGS__, "focused 1", "cancel"}, ""}
inline const Scenario kScenarios[] = {
  // Numbers in edits: the shortest text that reads back; texts that are no number refused.
  {"_BinImage", "above=0.1 below=-2.5e-8 threshold=1e21",
   {"text 1006 0.1", "text 1003 -2.5e-08", "text 1005 1e+21", "cancel"}, ""},
  RK_REFUSED("_BlendImage", "abc", "real"), RK_REFUSED("_BlendImage", "", "real"),
  RK_REFUSED("_BlendImage", "1,5", "real"), RK_REFUSED("_BlendImage", "1.5.2", "real"),
  RK_REFUSED("_BlendImage", "1e999", "real"), RK_ACCEPTED("_BlendImage", " -0.75 ", "blendfaktor=-0.75"),
  RK_ACCEPTED("_BlendImage", "+2e3", "blendfaktor=2000"), RK_ACCEPTED("_BlendImage", "12", "blendfaktor=12"),
  RK_REFUSED("_ConstImage", "1.5", "int"), RK_REFUSED("_ConstImage", "1e3", "int"),
  RK_REFUSED("_ConstImage", "2147483648", "int"), RK_REFUSED("_ConstImage", "12abc", "int"),
  RK_ACCEPTED("_ConstImage", " 42 ", "MCount=42"), RK_ACCEPTED("_ConstImage", "2147483647", "MCount=2147483647"),
  // The generators' count checks, in order, one message at a time; no upper limit; doubles unchecked.
  {"_ConstImage", "MCount=0 Plane=0 X=0 Y=0", {"ok", "message images", "text 1009 0", "type 1009 2", "ok",
   "message planes", "type 1012 3", "ok", "message x", "type 1010 4", "ok", "message y", "type 1011 5", "ok"},
   "MCount=2 Plane=3 X=4 Y=5"},
  {"_ImagePlane", "MCount=0 Planes=0 X=0 Y=-5", {"ok", "message images", "type 1009 2", "ok", "message planes",
   "type 1017 3", "ok", "message x", "type 1010 4", "ok", "message y", "type 1011 5", "ok"},
   "MCount=2 Planes=3 X=4 Y=5"},
  {"_ConstImage", "X=0 Y=-5", {"ok", "message x", "cancel"}, ""},
  {"_ImagePlane", "X=0 Y=-5", {"ok", "message x", "cancel"}, ""},
  {"_ConstImage", "MCount=0", {"type 1009 1", "type 1010 10000000", "type 1011 2147483647", "type 1008 -1e300", "ok"},
   "MCount=1 X=10000000 Y=2147483647 scalar=-1e300"},
  {"_ImagePlane", "MCount=0", {"type 1009 1", "type 1010 10000000", "type 1011 2147483647", "type 1004 -1e300", "ok"},
   "MCount=1 X=10000000 Y=2147483647 Offset=-1e300"},
  // Radio groups read as the selected button's index, or -1 when none is.
  RK_TA("1", "1", "checked 1001", "unchecked 1000"), RK_TA("0", "0", "checked 1000", "unchecked 1001"),
  RK_TA("-1", "-1", "unchecked 1000 1001"), RK_TA("7", "-1", "unchecked 1000 1001"), RK_TA("-1", "1", "click 1001"),
  RK_TA("1", "0", "click 1000"), RK_TA("0", "0", "click 1001", "click 1000"),
  {"_MittelWert", "Mittelwerttyp=0", {"checked 1013", "click 1014", "unchecked 1013 1015", "checked 1014", "ok"},
   "Mittelwerttyp=1"},
  {"_MittelWert", "Mittelwerttyp=3", {"unchecked 1013 1014 1015", "ok"}, "Mittelwerttyp=-1"},
  // DTransform: Rotate enables the angle controls; any typed angle is stored; flips keep the angle.
  {"_TransformImage", "TransType=2 RotDegree=37.5", {"checked 1025", "text 1018 37.5", "focused 1018",
   "enabled 1018 1021 1022", "click 1024", "disabled 1018 1021 1022", "checked 1024", "unchecked 1025",
   "text 1018 37.5", "click 1025", "enabled 1018 1021 1022", "type 1018 500", "click 1023",
   "disabled 1018 1021 1022", "ok"}, "TransType=0 RotDegree=500"},
  {"_TransformImage", "TransType=0 RotDegree=-12.25", {"disabled 1018 1021 1022", "checked 1023",
   "unchecked 1024 1025", "text 1018 -12.25", "focused 1", "ok"}, "TransType=0 RotDegree=-12.25"},
  RK_FLIP("1", "checked 1024", "unchecked 1023 1025"), RK_FLIP("-1", "unchecked 1023 1024 1025"),
  RK_FLIP("3", "unchecked 1023 1024 1025"),
  // The spin steps by one degree from the typed angle, or from the old one when the text is no
  // number, and wraps past 180.
  RK_SPIN("180", "up", "-90"), RK_SPIN("-180", "down", "90"), RK_SPIN("37.5", "up", "38.5"),
  RK_SPIN("37.5", "down", "36.5"), RK_SPIN("180", "down", "179"), RK_SPIN("-180", "up", "-179"),
  RK_SPIN("179", "up", "180"), RK_SPIN("-179", "down", "-180"), RK_SPIN("179.5", "up", "-90"),
  RK_SPIN("-179.5", "down", "90"), RK_SPIN("500", "down", "-90"), RK_SPIN("0", "down", "-1"),
  {"_TransformImage", "TransType=2 RotDegree=37.5", {"type 1018 10", "spin 1021 up", "text 1018 11", "spin 1021 up",
   "text 1018 12", "type 1018 abc", "spin 1021 down", "message real", "text 1018 11", "cancel"}, ""},
};
#undef RK_REFUSED
#undef RK_ACCEPTED
#undef RK_SPIN
#undef RK_TA
#undef RK_FLIP
// clang-format on

}  // namespace rktest
