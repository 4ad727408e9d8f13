// The constant image dialog (export DlgConstImage): value, count and size of _ConstImage's images.
#include "dialogs/Dialog.h"

namespace rk {

class DConstImage : public kxui::Dialog, public kxInterface {
public:
  explicit DConstImage(kxui::Window* parent) : kxui::Dialog(133, parent) {}
  ~DConstImage() override;

  static const std::array<dlg::Param<DConstImage>, 5> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double scalar_ = 0;
  int32_t count_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
  int32_t planes_ = 0;
};

const std::array<dlg::Param<DConstImage>, 5> DConstImage::kParams = {
    dlg::variantDouble(0, &DConstImage::scalar_), dlg::variantInt(1, &DConstImage::count_),  // "scalar", "MCount"
    dlg::variantInt(2, &DConstImage::x_),         dlg::variantInt(3, &DConstImage::y_),
    dlg::variantInt(4, &DConstImage::planes_),  // "Plane"
};

DConstImage::~DConstImage() = default;

const kxui::MessageMap* DConstImage::messageMap() const { return dlg::emptyMessageMap(); }

void DConstImage::doDataExchange(kxui::DataExchange& dx) {
  kxui::ddxText(dx, 1009, count_);
  kxui::ddxText(dx, 1012, planes_);
  kxui::ddxText(dx, 1008, scalar_);
  kxui::ddxText(dx, 1010, x_);
  kxui::ddxText(dx, 1011, y_);
  if (dx.saveAndValidate()) dlg::checkCounts(dx, count_, planes_, x_, y_);
}

}  // namespace rk

KX_PLUGIN_EXPORT int DlgConstImage() { return rk::dlg::runDialog(rk::DConstImage::kParams); }
