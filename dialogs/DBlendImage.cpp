// The blend dialog (export DlgBlendImage): the blend factor of _BlendImage; any number is accepted.
#include "dialogs/Dialog.h"

namespace rk {

class DBlendImage : public kxui::Dialog, public kxInterface {
public:
  explicit DBlendImage(kxui::Window* parent) : kxui::Dialog(132, parent) {}
  ~DBlendImage() override;

  static const std::array<dlg::Param<DBlendImage>, 1> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double factor_ = 0;
};

const std::array<dlg::Param<DBlendImage>, 1> DBlendImage::kParams = {
    dlg::variantDouble(0, &DBlendImage::factor_),  // "blendfaktor"
};

DBlendImage::~DBlendImage() = default;

const kxui::MessageMap* DBlendImage::messageMap() const { return dlg::emptyMessageMap(); }

void DBlendImage::doDataExchange(kxui::DataExchange& dx) { kxui::ddxText(dx, 1009, factor_); }

}  // namespace rk

KX_PLUGIN_EXPORT int DlgBlendImage() { return rk::dlg::runDialog(rk::DBlendImage::kParams); }
