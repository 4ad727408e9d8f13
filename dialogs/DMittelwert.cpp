// The mean value dialog (export DlgMittelwert): which mean _MittelWert forms, as a radio group.
#include "dialogs/Dialog.h"

namespace rk {

class DMittelwert : public kxui::Dialog, public kxInterface {
public:
  explicit DMittelwert(kxui::Window* parent) : kxui::Dialog(137, parent) {}
  ~DMittelwert() override;

  static const std::array<dlg::Param<DMittelwert>, 1> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;

private:
  int32_t type_ = -1;
};

const std::array<dlg::Param<DMittelwert>, 1> DMittelwert::kParams = {
    dlg::typedInt(0, &DMittelwert::type_, 1),  // "Mittelwerttyp", catalogue default 1
};

DMittelwert::~DMittelwert() = default;

const kxui::MessageMap* DMittelwert::messageMap() const { return dlg::emptyMessageMap(); }

void DMittelwert::doDataExchange(kxui::DataExchange& dx) { kxui::ddxRadio(dx, 1013, type_); }

}  // namespace rk

KX_PLUGIN_EXPORT int DlgMittelwert() { return rk::dlg::runDialog(rk::DMittelwert::kParams); }
