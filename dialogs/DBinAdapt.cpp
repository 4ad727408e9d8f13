// The adaptive threshold dialog (export DlgBinAdapt): the parameters of _BinAdaptThreshImage.
#include "dialogs/Dialog.h"

namespace rk {

class DBinAdapt : public kxui::Dialog, public kxInterface {
public:
  explicit DBinAdapt(kxui::Window* parent) : kxui::Dialog(129, parent) {}
  ~DBinAdapt() override;

  static const std::array<dlg::Param<DBinAdapt>, 5> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  double above_ = 0;
  double below_ = 0;
  double consta_ = 0;  // shown as "Offset:"
  double offset_ = 0;  // shown as "Adapt Rate:"
  int32_t type_ = -1;  // "Type A" 0, "Type B" 1
};

const std::array<dlg::Param<DBinAdapt>, 5> DBinAdapt::kParams = {
    dlg::variantDouble(0, &DBinAdapt::above_),  dlg::variantDouble(1, &DBinAdapt::below_),
    dlg::variantDouble(2, &DBinAdapt::consta_), dlg::variantDouble(3, &DBinAdapt::offset_),
    dlg::variantInt(4, &DBinAdapt::type_),  // "TA"
};

DBinAdapt::~DBinAdapt() = default;

const kxui::MessageMap* DBinAdapt::messageMap() const { return dlg::emptyMessageMap(); }

void DBinAdapt::doDataExchange(kxui::DataExchange& dx) {
  kxui::ddxText(dx, 1006, above_);
  kxui::ddxText(dx, 1003, below_);
  kxui::ddxText(dx, 1005, offset_);
  kxui::ddxText(dx, 1004, consta_);
  kxui::ddxRadio(dx, 1000, type_);
}

}  // namespace rk

KX_PLUGIN_EXPORT int DlgBinAdapt() { return rk::dlg::runDialog(rk::DBinAdapt::kParams); }
