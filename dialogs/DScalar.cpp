// The scalar dialog (export DlgScalar) of the four scalar arithmetic processors and _Pertur.
//
// Zero is accepted for the division too: the processor reports it when it runs.
#include "dialogs/Dialog.h"

namespace rk {

class DScalar : public kxui::Dialog, public kxInterface {
public:
  explicit DScalar(kxui::Window* parent) : kxui::Dialog(131, parent) {}
  ~DScalar() override;

  static const std::array<dlg::Param<DScalar>, 1> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double scalar_ = 0;
};

const std::array<dlg::Param<DScalar>, 1> DScalar::kParams = {
    dlg::variantDouble(0, &DScalar::scalar_),  // "scalar"
};

DScalar::~DScalar() = default;

const kxui::MessageMap* DScalar::messageMap() const { return dlg::emptyMessageMap(); }

void DScalar::doDataExchange(kxui::DataExchange& dx) { kxui::ddxText(dx, 1008, scalar_); }

}  // namespace rk

KX_PLUGIN_EXPORT int DlgScalar() { return rk::dlg::runDialog(rk::DScalar::kParams); }
