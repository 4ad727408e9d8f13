// The dialogs as the scripted and the native dialog tests drive them: each one's template, edits
// (control, parameter) and radio group, and the generator dialogs' refusal texts (Latin-1).
#pragma once

#include <string>
#include <utility>
#include <vector>

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
// fields, 20, 21, ... in integer ones.
inline double newValue(std::size_t k, bool real) { return static_cast<double>(20 + k) + (real ? 0.5 : 0.0); }

}  // namespace rktest
