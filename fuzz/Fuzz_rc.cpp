// Fuzz target: the resource script reader that turns dialogs/RasterKit.rc into the plug-in's
// dialog templates. A ScriptError naming the line is the expected way out; anything else is a
// finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kxui/Resources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    kxui::Resources resources = kxui::parseResourceScript(text, "fuzz.rc");
    // Look every template up the way the dialogs do.
    for (const kxui::DialogTemplate& d : resources.dialogs) (void)resources.findDialog(d.id);
    if (resources.version) (void)resources.version->value("FileVersion");
  } catch (const kxui::ScriptError&) {
  }
  return 0;
}
