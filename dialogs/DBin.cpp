// The binarisation dialog (export DlgBin): upper value, lower value and threshold of _BinImage.
#include "dialogs/Dialog.h"

namespace rk {

class DBin : public kxui::Dialog, public kxInterface {
public:
  explicit DBin(kxui::Window* parent) : kxui::Dialog(130, parent) {}
  ~DBin() override;

  static const std::array<dlg::Param<DBin>, 3> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double above_ = 0;
  double below_ = 0;
  double threshold_ = 0;
};

const std::array<dlg::Param<DBin>, 3> DBin::kParams = {
    dlg::variantDouble(0, &DBin::above_),  // "above"
    dlg::variantDouble(1, &DBin::below_),  // "below"
    dlg::variantDouble(2, &DBin::threshold_),
};

DBin::~DBin() = default;

const kxui::MessageMap* DBin::messageMap() const { return dlg::emptyMessageMap(); }

void DBin::doDataExchange(kxui::DataExchange& dx) {
  kxui::ddxText(dx, 1006, above_);
  kxui::ddxText(dx, 1003, below_);
  kxui::ddxText(dx, 1005, threshold_);
}

}  // namespace rk

KX_PLUGIN_EXPORT int DlgBin() { return rk::dlg::runDialog(rk::DBin::kParams); }
