// The generator dialog's refusal texts and the caption of its message box, as the library shows
// them (Latin-1), shared by the scripted and the native dialog tests.
#pragma once

#include <string>

namespace rktest {

inline const std::string kTitle = "Korvex - Hinweis";
inline const std::string kImagesMsg = "Die Anzahl der Bilder mu\xdf mindestens 1 betragen.";
inline const std::string kPlanesMsg = "Die Anzahl der Planes mu\xdf mindestens 1 betragen.";
inline const std::string kXMsg = "Die Anzahl der Pixel (X) mu\xdf mindestens 1 betragen.";
inline const std::string kYMsg = "Die Anzahl der Pixel (Y) mu\xdf mindestens 1 betragen.";

}  // namespace rktest
