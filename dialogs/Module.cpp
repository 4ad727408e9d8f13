// The library's two framework objects (module state and application) and what the dialogs share.
#include "dialogs/Dialog.h"

namespace rk {
extern const char kRasterKitRc[];  // dialogs/RasterKit.rc, embedded at build time
}

namespace rk::dlg {
namespace {

kxui::ModuleState gModuleState("RasterKit", kRasterKitRc, "RasterKit.rc");

// The framework's application object of the library; the host's interface is its second base.
class RasterKitApp : public kxui::Application, public kxInterface {
public:
  RasterKitApp() : kxui::Application(gModuleState) {}
  ~RasterKitApp() override;
};
RasterKitApp::~RasterKitApp() = default;

RasterKitApp gApp;

}  // namespace

kxui::ModuleState& moduleState() { return gModuleState; }

const kxui::MessageMap* emptyMessageMap() {
  static const kxui::MessageMapEntry entries[] = {kxui::MessageMapEntry{}};
  static const kxui::MessageMap map{kxui::Dialog::dialogMessageMap(), entries};
  return &map;
}

void checkCounts(kxui::DataExchange& dx, int32_t count, int32_t planes, int32_t x, int32_t y) {
  const struct {
    bool failed;
    const char* message;
  } checks[] = {
      {count < 1, "Die Anzahl der Bilder mu\xdf mindestens 1 betragen."},
      {planes < 1, "Die Anzahl der Planes mu\xdf mindestens 1 betragen."},
      {x < 1, "Die Anzahl der Pixel (X) mu\xdf mindestens 1 betragen."},
      {y < 1, "Die Anzahl der Pixel (Y) mu\xdf mindestens 1 betragen."},
  };
  for (const auto& c : checks) {
    if (c.failed) {
      kxQMessages::MsgBox(c.message, kMessageStyle, kMessageTitle);
      dx.fail();
    }
  }
}

}  // namespace rk::dlg
