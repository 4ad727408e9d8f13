// The framework core: module states, application, modal dialogs, data exchange, message maps.
#include "kxui/Framework.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "kxui/Backend.h"
#if defined(_WIN32)
#include "kxui/Win32Backend.h"
#endif

namespace kxui {

// ---- module state ------------------------------------------------------------------------------

namespace {
ModuleState& processModule() {
  static ModuleState state("host program", nullptr, nullptr);
  return state;
}
thread_local ModuleState* tCurrentModule = nullptr;
std::mutex gResourceMutex;
std::atomic<Backend*> gBackend{nullptr};
}  // namespace

ModuleState::ModuleState(const char* moduleName, const char* resourceScript, const char* scriptName)
    : name_(moduleName), script_(resourceScript), scriptName_(scriptName) {}

ModuleState::~ModuleState() = default;

const Resources& ModuleState::resources() const {
  std::lock_guard<std::mutex> lock(gResourceMutex);
  if (!resources_) {
    resources_ = std::make_unique<Resources>(script_ ? parseResourceScript(script_, scriptName_ ? scriptName_ : name_)
                                                     : Resources{});
  }
  return *resources_;
}

ModuleState& currentModuleState() { return tCurrentModule ? *tCurrentModule : processModule(); }

ModuleStateScope::ModuleStateScope(ModuleState& state) : saved_(tCurrentModule) { tCurrentModule = &state; }
ModuleStateScope::~ModuleStateScope() { tCurrentModule = saved_; }

// ---- application -------------------------------------------------------------------------------

Application::Application(ModuleState& module) : module_(module), commandLine_() { module.app_ = this; }

Application::~Application() {
  if (module_.app_ == this) module_.app_ = nullptr;
}

// ---- backends ----------------------------------------------------------------------------------

Backend::~Backend() = default;

Backend* currentBackend() {
  Backend* b = gBackend.load();
#if defined(_WIN32)
  if (!b) b = &nativeBackend();
#endif
  return b;
}

BackendScope::BackendScope(Backend& backend) : saved_(gBackend.exchange(&backend)) {}
BackendScope::~BackendScope() { gBackend.store(saved_); }

Window* mainWindow() {
  Backend* b = currentBackend();
  return b ? b->mainWindow() : nullptr;
}

int messageBox(const char* text, unsigned style, const char* title) {
  if (Backend* b = currentBackend()) return b->messageBox(text ? text : "", style, title ? title : "");
  std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
  return IDOK;
}

namespace {
int mulDiv(int value, int numerator, int denominator) {
  // Rounds half away from zero, as the dialog manager does.
  long long p = static_cast<long long>(value) * numerator;
  long long half = denominator / 2;
  return static_cast<int>(p >= 0 ? (p + half) / denominator : -((-p + half) / denominator));
}
}  // namespace

Rect toPixels(const Rect& r) {
  return {mulDiv(r.x, kBaseUnitX, 4), mulDiv(r.y, kBaseUnitY, 8), mulDiv(r.width, kBaseUnitX, 4),
          mulDiv(r.height, kBaseUnitY, 8)};
}

// ---- controls ----------------------------------------------------------------------------------

Control::Control(const ControlTemplate& t) : tpl_(&t), text_(t.text), enabled_(!(t.style & style::kDisabled)) {}

void Control::enableWindow(bool enable) { enabled_ = enable; }

// ---- session -----------------------------------------------------------------------------------

Session::Session(Dialog& dialog, const DialogTemplate& tpl) : dialog_(dialog), tpl_(tpl) {
  controls_.reserve(tpl.controls.size());
  for (const ControlTemplate& c : tpl.controls) controls_.push_back(Control(c));
}

Window* Session::parent() const { return dialog_.parent(); }

int Session::indexOf(int id) const {
  if (id == -1) return -1;
  for (std::size_t i = 0; i < controls_.size(); ++i)
    if (controls_[i].id() == id) return static_cast<int>(i);
  return -1;
}

const Control* Session::find(int id) const {
  int i = indexOf(id);
  return i < 0 ? nullptr : &controls_[static_cast<std::size_t>(i)];
}

Control& Session::require(int id, const char* action) {
  int i = indexOf(id);
  if (i < 0) {
    throw std::invalid_argument(std::string("cannot ") + action + " control " + std::to_string(id) + ": dialog " +
                                std::to_string(tpl_.id) + " has no such control");
  }
  Control& c = controls_[static_cast<std::size_t>(i)];
  if (!c.enabled_) {
    throw std::invalid_argument(std::string("cannot ") + action + " control " + std::to_string(id) +
                                ": it is disabled");
  }
  return c;
}

void Session::setText(int id, std::string text) {
  Control& c = require(id, "type into");
  if (c.kind() != ControlKind::Edit) {
    throw std::invalid_argument("cannot type into control " + std::to_string(id) + ": it is a " + kindName(c.kind()));
  }
  c.text_ = std::move(text);
  focus_ = indexOf(id);  // where the user already is: not a move views need to make
}

void Session::click(int id) {
  Control& c = require(id, "click");
  ControlKind k = c.kind();
  if (k != ControlKind::PushButton && k != ControlKind::DefPushButton && k != ControlKind::RadioButton) {
    throw std::invalid_argument("cannot click control " + std::to_string(id) + ": it is a " + kindName(k));
  }
  int index = indexOf(id);
  focus_ = index;
  if (k == ControlKind::RadioButton) {
    // An automatic radio button selects itself and clears the other radio buttons of its group,
    // which runs from the last control with the group style up to the next one.
    int first = index;
    while (first > 0 && !controls_[static_cast<std::size_t>(first)].info().has(style::kGroup)) --first;
    for (std::size_t i = static_cast<std::size_t>(first); i < controls_.size(); ++i) {
      if (static_cast<int>(i) != first && controls_[i].info().has(style::kGroup)) break;
      if (controls_[i].kind() == ControlKind::RadioButton) controls_[i].checked_ = static_cast<int>(i) == index;
    }
  }
  dialog_.dispatch(MessageMapEntry::Clicked, id, nullptr, nullptr);
}

void Session::spinArrow(int id, bool up) {
  Control& c = require(id, "press the arrow of");
  if (c.kind() != ControlKind::Spin) {
    throw std::invalid_argument("cannot press the arrow of control " + std::to_string(id) + ": it is a " +
                                kindName(c.kind()));
  }
  // The arrows move toward the upper or lower end of the range; with the default range (100 down
  // to 0) the upper arrow therefore proposes a negative change.
  int delta = up ? 1 : -1;
  if (c.spinHigh_ < c.spinLow_) delta = -delta;
  UpDownNotify notify{id, c.spinPos_, delta};
  if (spinNotify(notify)) {
    int lo = std::min(c.spinLow_, c.spinHigh_), hi = std::max(c.spinLow_, c.spinHigh_);
    c.spinPos_ = std::clamp(c.spinPos_ + notify.delta, lo, hi);
  }
}

bool Session::spinNotify(UpDownNotify& notify) {
  reflected(notify.id, ControlKind::Spin);
  long result = 0;
  dialog_.dispatch(MessageMapEntry::DeltaPos, notify.id, &notify, &result);
  return result == 0;
}

Control& Session::reflected(int id, ControlKind kind) {
  int i = indexOf(id);
  if (i < 0 || controls_[static_cast<std::size_t>(i)].kind() != kind) {
    throw std::invalid_argument("dialog " + std::to_string(tpl_.id) + " has no " + kindName(kind) + " " +
                                std::to_string(id));
  }
  return controls_[static_cast<std::size_t>(i)];
}

void Session::reflectText(int id, std::string text) { reflected(id, ControlKind::Edit).text_ = std::move(text); }

void Session::reflectCheck(int id, bool checked) { reflected(id, ControlKind::RadioButton).checked_ = checked; }

void Session::pressEnter() {
  int id = IDOK;
  for (const Control& c : controls_)
    if (c.kind() == ControlKind::DefPushButton) id = c.id();
  const Control* c = find(id);
  if (c && !c->enabled_) return;
  dialog_.dispatch(MessageMapEntry::Clicked, id, nullptr, nullptr);
}

void Session::pressEscape() { dialog_.dispatch(MessageMapEntry::Clicked, IDCANCEL, nullptr, nullptr); }

void Session::pressCloseBox() { dialog_.dispatch(MessageMapEntry::Clicked, IDCANCEL, nullptr, nullptr); }

void Session::setFocus(int index) { moveFocus(index >= 0 && index < static_cast<int>(controls_.size()) ? index : -1); }

void Session::moveFocus(int index) {
  focus_ = index;
  ++focusMoves_;
}

void Session::focusFirstTabStop() {
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    if (controls_[i].info().has(style::kTabStop) && controls_[i].enabled_) {
      moveFocus(static_cast<int>(i));
      return;
    }
  }
}

// ---- data exchange -----------------------------------------------------------------------------

namespace {

// The exchange failed; caught by updateData, never seen outside the framework.
struct ExchangeFailed {};

std::string trimmed(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  std::size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

// Locale-independent, so that a host that sets a locale does not change what the edits accept.
template <class T>
bool parseNumber(const std::string& text, T& out) {
  std::string s = trimmed(text);
  if (!s.empty() && s[0] == '+') s.erase(0, 1);
  if (s.empty() || s[0] == '+') return false;
  T v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  out = v;
  return true;
}

// The shortest text that reads back as the same double.
std::string formatDouble(double v) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

}  // namespace

Session* DataExchange::session() const { return dialog_.session_; }

void DataExchange::fail() {
  if (dialog_.session_ && lastControl_ >= 0) dialog_.session_->setFocus(lastControl_);
  throw ExchangeFailed{};
}

Control& DataExchange::prepare(int id, ControlKind kind) {
  Session* s = dialog_.session_;
  if (!s)
    throw UiError("data exchange with control " + std::to_string(id) + " while dialog " +
                  std::to_string(dialog_.templateId()) + " is not open");
  int i = s->indexOf(id);
  if (i < 0 || s->controls_[static_cast<std::size_t>(i)].kind() != kind) {
    throw UiError("dialog " + std::to_string(dialog_.templateId()) + " has no " + kindName(kind) + " " +
                  std::to_string(id));
  }
  lastControl_ = i;
  return s->controls_[static_cast<std::size_t>(i)];
}

namespace {
[[noreturn]] void parseError(DataExchange& dx, const char* message) {
  Application* app = currentModuleState().application();
  messageBox(message, MB_ICONEXCLAMATION, app ? app->title() : currentModuleState().name());
  dx.fail();
}
}  // namespace

void ddxText(DataExchange& dx, int id, double& value) {
  Control& c = dx.prepare(id, ControlKind::Edit);
  if (dx.saveAndValidate()) {
    if (!parseNumber(c.text_, value)) parseError(dx, kParseRealMessage);
  } else {
    c.text_ = formatDouble(value);
  }
}

void ddxText(DataExchange& dx, int id, int32_t& value) {
  Control& c = dx.prepare(id, ControlKind::Edit);
  if (dx.saveAndValidate()) {
    if (!parseNumber(c.text_, value)) parseError(dx, kParseIntMessage);
  } else {
    c.text_ = std::to_string(value);
  }
}

void ddxRadio(DataExchange& dx, int firstId, int32_t& value) {
  Control& first = dx.prepare(firstId, ControlKind::RadioButton);
  if (!first.info().has(style::kGroup)) {
    throw UiError("radio button " + std::to_string(firstId) + " does not start a group");
  }
  Session& s = *dx.session();
  auto start = static_cast<std::size_t>(s.indexOf(firstId));
  if (dx.saveAndValidate()) value = -1;
  int32_t button = 0;
  for (std::size_t i = start; i < s.controls_.size(); ++i) {
    Control& c = s.controls_[i];
    if (i != start && c.info().has(style::kGroup)) break;
    if (c.kind() != ControlKind::RadioButton) continue;
    if (dx.saveAndValidate()) {
      if (c.checked_) value = button;
    } else {
      c.checked_ = button == value;
    }
    ++button;
  }
}

// ---- dialogs -----------------------------------------------------------------------------------

Dialog::Dialog(int templateId, Window* parent) : templateId_(templateId), parent_(parent) {}

Dialog::~Dialog() = default;

const MessageMap* Dialog::dialogMessageMap() {
  static const MessageMapEntry entries[] = {onClicked(IDOK, &Dialog::onOK), onClicked(IDCANCEL, &Dialog::onCancel),
                                            MessageMapEntry{}};
  static const MessageMap map{nullptr, entries};
  return &map;
}

const MessageMap* Dialog::messageMap() const { return dialogMessageMap(); }

void Dialog::doDataExchange(DataExchange&) {}

bool Dialog::onInitDialog() {
  updateData(false);
  return true;
}

Control* Dialog::item(int id) {
  if (!session_) return nullptr;
  int i = session_->indexOf(id);
  return i < 0 ? nullptr : &session_->controls_[static_cast<std::size_t>(i)];
}

bool Dialog::updateData(bool saveAndValidate) {
  DataExchange dx(*this, saveAndValidate);
  try {
    doDataExchange(dx);
  } catch (const ExchangeFailed&) {
    return false;
  }
  return true;
}

void Dialog::onOK() {
  if (updateData(true)) endDialog(IDOK);
}

void Dialog::onCancel() { endDialog(IDCANCEL); }

void Dialog::endDialog(int result) {
  if (!session_) return;
  session_->ended_ = true;
  session_->result_ = result;
}

bool Dialog::dispatch(MessageMapEntry::Kind kind, int id, UpDownNotify* notify, long* result) {
  for (const MessageMap* map = messageMap(); map; map = map->base) {
    for (const MessageMapEntry* e = map->entries; e && e->kind != MessageMapEntry::End; ++e) {
      if (e->kind != kind || e->id != id) continue;
      if (kind == MessageMapEntry::Clicked)
        (this->*e->clicked)();
      else
        (this->*e->deltaPos)(*notify, result);
      return true;
    }
  }
  return false;
}

int Dialog::doModal() {
  ModuleState& module = currentModuleState();
  const DialogTemplate* tpl = module.resources().findDialog(templateId_);
  if (!tpl) {
    throw UiError("dialog template " + std::to_string(templateId_) + " is not among the resources of " + module.name());
  }
  Backend* backend = currentBackend();
  if (!backend) throw UiError("no user interface: the host program has selected no backend for dialogs");
  Session session(*this, *tpl);
  session_ = &session;
  struct Detach {
    Dialog* d;
    ~Detach() { d->session_ = nullptr; }
  } detach{this};
  if (onInitDialog()) session.focusFirstTabStop();
  if (!session.ended()) backend->runModal(session);
  if (!session.ended()) throw UiError("the user interface returned before the dialog ended");
  backend->results_.push_back(session.result());
  return session.result();
}

}  // namespace kxui
