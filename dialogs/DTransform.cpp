// The transformation dialog (export DlgTransform): flip or rotate, and the angle of _TransformImage.
//
// The angle edit, its spin control and the "degree" label are enabled only while "Rotate" is
// selected. The spin control steps the angle by one degree and wraps past +-180 to -90 / 90.
#include "dialogs/Dialog.h"

namespace rk {

namespace {
constexpr int kFlipHorizontal = 1023, kFlipVertical = 1024, kRotate = 1025;
constexpr int kAngle = 1018, kSpin = 1021, kDegreeLabel = 1022;
}  // namespace

class DTransform : public kxui::Dialog, public kxInterface {
public:
  explicit DTransform(kxui::Window* parent) : kxui::Dialog(139, parent) {}
  ~DTransform() override;

  static const std::array<dlg::Param<DTransform>, 2> kParams;

protected:
  const kxui::MessageMap* messageMap() const override;
  void doDataExchange(kxui::DataExchange& dx) override;
  bool onInitDialog() override;

private:
  void applyEnabling();
  void onTypeClicked();
  void onDeltaPosSpin(kxui::UpDownNotify& notify, long* result);

  int32_t type_ = -1;  // "Flip horizontal" 0, "Flip vertical" 1, "Rotate" 2
  double angle_ = 0;
};

const std::array<dlg::Param<DTransform>, 2> DTransform::kParams = {
    dlg::typedInt(0, &DTransform::type_, 0),   // "TransType", catalogue default 0
    dlg::typedDouble(1, &DTransform::angle_),  // "RotDegree"
};

DTransform::~DTransform() = default;

const kxui::MessageMap* DTransform::messageMap() const {
  static const kxui::MessageMapEntry entries[] = {
      kxui::onClicked(kFlipHorizontal, &DTransform::onTypeClicked),
      kxui::onClicked(kFlipVertical, &DTransform::onTypeClicked),
      kxui::onClicked(kRotate, &DTransform::onTypeClicked),
      kxui::onDeltaPos(kSpin, &DTransform::onDeltaPosSpin),
      kxui::MessageMapEntry{},
  };
  static const kxui::MessageMap map{dialogMessageMap(), entries};
  return &map;
}

void DTransform::doDataExchange(kxui::DataExchange& dx) {
  kxui::ddxRadio(dx, kFlipHorizontal, type_);
  kxui::ddxText(dx, kAngle, angle_);
}

bool DTransform::onInitDialog() {
  kxui::Dialog::onInitDialog();
  applyEnabling();
  return true;
}

void DTransform::applyEnabling() {
  bool rotate = item(kRotate)->getCheck() == 1;
  for (int id : {kAngle, kSpin, kDegreeLabel}) item(id)->enableWindow(rotate);
}

void DTransform::onTypeClicked() { applyEnabling(); }

void DTransform::onDeltaPosSpin(kxui::UpDownNotify& notify, long* result) {
  updateData(true);  // a text that is not a number leaves the angle as it was
  angle_ += notify.delta < 0 ? 1.0 : -1.0;
  if (angle_ < -180.0)
    angle_ = 90.0;
  else if (angle_ > 180.0)
    angle_ = -90.0;
  updateData(false);
  *result = 0;
}

}  // namespace rk

KX_PLUGIN_EXPORT int DlgTransform() { return rk::dlg::runDialog(rk::DTransform::kParams); }
