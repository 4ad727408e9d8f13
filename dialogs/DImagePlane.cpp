// The linear ramp dialog (export DlgImagePlane): slope, offset, count and size of _ImagePlane.
#include "dialogs/Dialog.h"

namespace rk {

class DImagePlane : public kxui::Dialog, public kxInterface {
public:
  explicit DImagePlane(kxui::Window* parent) : kxui::Dialog(135, parent) {}
  ~DImagePlane() override;

  static const std::array<dlg::Param<DImagePlane>, 6> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double slope_ = 0;
  double offset_ = 0;
  int32_t count_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
  int32_t planes_ = 0;
};

const std::array<dlg::Param<DImagePlane>, 6> DImagePlane::kParams = {
    dlg::variantDouble(0, &DImagePlane::slope_), dlg::variantDouble(1, &DImagePlane::offset_),
    dlg::variantInt(2, &DImagePlane::count_),    dlg::variantInt(3, &DImagePlane::x_),
    dlg::variantInt(4, &DImagePlane::y_),        dlg::variantInt(5, &DImagePlane::planes_),
};

DImagePlane::~DImagePlane() = default;

const kxui::MessageMap* DImagePlane::messageMap() const { return dlg::emptyMessageMap(); }

void DImagePlane::doDataExchange(kxui::DataExchange& dx) {
  kxui::ddxText(dx, 1009, count_);
  kxui::ddxText(dx, 1004, offset_);
  kxui::ddxText(dx, 1017, planes_);
  kxui::ddxText(dx, 1012, slope_);
  kxui::ddxText(dx, 1010, x_);
  kxui::ddxText(dx, 1011, y_);
  if (dx.saveAndValidate()) dlg::checkCounts(dx, count_, planes_, x_, y_);
}

}  // namespace rk

KX_PLUGIN_EXPORT int DlgImagePlane() { return rk::dlg::runDialog(rk::DImagePlane::kParams); }
