// The window backend: templates drawn as FLTK widgets, the modal loop, message boxes, screenshots.
#include "kxui/WindowBackend.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Round_Button.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>

#include "Text.h"

namespace kxui {
namespace {

// The templates are laid out for an 8-point sans serif of Arial's widths (11 pixels at 96 dots per
// inch); Liberation Sans has those widths, and fontconfig stands in another sans serif without it.
constexpr Fl_Font kFont = FL_FREE_FONT;
constexpr const char* kFontName = " Liberation Sans";  // leading blank: regular style
constexpr Fl_Fontsize kFontSize = 11;

// Widget labels treat '@' as the start of a symbol; the framework's texts mean it literally.
std::string labelText(const std::string& latin1) {
  std::string r;
  for (char c : text::latin1ToUtf8(latin1)) {
    r += c;
    if (c == '@') r += '@';
  }
  return r;
}

Fl_Color textColour(const Fl_Widget& w) {
  return w.active_r() ? FL_FOREGROUND_COLOR : fl_inactive(FL_FOREGROUND_COLOR);
}

// Static text: wrapped and clipped to its rectangle, as a static control draws it.
class Label : public Fl_Widget {
public:
  Label(const Rect& r, std::string utf8, Fl_Align align)
      : Fl_Widget(r.x, r.y, r.width, r.height), text_(std::move(utf8)), align_(align) {
    clear_visible_focus();
  }
  void draw() override {
    fl_font(kFont, kFontSize);
    fl_color(textColour(*this));
    fl_push_clip(x(), y(), w(), h());
    fl_draw(text_.c_str(), x(), y(), w(), h(), align_ | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP, nullptr, 0);
    fl_pop_clip();
  }
  int handle(int) override { return 0; }

private:
  std::string text_;
  Fl_Align align_;
};

// An etched frame whose top edge runs through the middle of its caption's line.
class GroupBox : public Fl_Widget {
public:
  GroupBox(const Rect& r, std::string utf8) : Fl_Widget(r.x, r.y, r.width, r.height), text_(std::move(utf8)) {
    clear_visible_focus();
  }
  void draw() override {
    fl_font(kFont, kFontSize);
    int offset = fl_height() / 2 - 1;
    fl_push_clip(x(), y(), w(), h());
    fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + offset, w(), h() - offset, color());
    if (!text_.empty()) {
      int width = static_cast<int>(fl_width(text_.c_str()));
      fl_color(color());
      fl_rectf(x() + 6, y(), width + 4, fl_height());
      fl_color(textColour(*this));
      fl_draw(text_.c_str(), x() + 8, y() + fl_height() - fl_descent());
    }
    fl_pop_clip();
  }
  int handle(int) override { return 0; }

private:
  std::string text_;
};

class PushButton : public Fl_Button {
public:
  PushButton(const Rect& r, bool isDefault) : Fl_Button(r.x, r.y, r.width, r.height), default_(isDefault) {}
  void draw() override {
    Fl_Button::draw();
    if (default_) {  // the default button's extra dark outline
      fl_color(active_r() ? FL_BLACK : fl_inactive(FL_BLACK));
      fl_rect(x(), y(), w(), h());
    }
  }

private:
  bool default_;
};

// Two arrow buttons stacked, filling the rectangle; with arrow keys when it has the focus.
class Spin : public Fl_Widget {
public:
  explicit Spin(const Rect& r) : Fl_Widget(r.x, r.y, r.width, r.height) {}
  std::function<void(bool up)> arrow;

  void draw() override {
    int upper = h() / 2;
    half(x(), y(), w(), upper, true, pressed_ == 1);
    half(x(), y() + upper, w(), h() - upper, false, pressed_ == 2);
  }
  int handle(int event) override {
    switch (event) {
      case FL_PUSH:
        pressed_ = Fl::event_y() < y() + h() / 2 ? 1 : 2;
        redraw();
        if (arrow) arrow(pressed_ == 1);
        return 1;
      case FL_RELEASE:
        pressed_ = 0;
        redraw();
        return 1;
      case FL_FOCUS:
      case FL_UNFOCUS:
        return 1;
      case FL_KEYBOARD:
        if (Fl::event_key() == FL_Up || Fl::event_key() == FL_Down) {
          if (arrow) arrow(Fl::event_key() == FL_Up);
          return 1;
        }
        return 0;
      default:
        return Fl_Widget::handle(event);
    }
  }

private:
  void half(int X, int Y, int W, int H, bool up, bool down) {
    fl_draw_box(down ? FL_DOWN_BOX : FL_UP_BOX, X, Y, W, H, FL_BACKGROUND_COLOR);
    fl_color(textColour(*this));
    int cx = X + W / 2, cy = Y + H / 2;
    if (up)
      fl_polygon(cx - 3, cy + 1, cx + 3, cy + 1, cx, cy - 2);
    else
      fl_polygon(cx - 3, cy - 1, cx + 3, cy - 1, cx, cy + 2);
  }
  int pressed_ = 0;  // 1 upper arrow, 2 lower arrow
};

// The client area of a shown window as drawn now.
Image picture(Fl_Window& window) {
  XSync(fl_display, False);
  window.make_current();
  Image image;
  image.width = window.w();
  image.height = window.h();
  unsigned char* p = fl_read_image(nullptr, 0, 0, image.width, image.height);
  if (!p) throw std::runtime_error("the window's pixels cannot be read");
  image.rgb.assign(p, p + static_cast<std::size_t>(image.width) * image.height * 3);
  delete[] p;
  return image;
}

class DialogWindow : public Fl_Double_Window {
public:
  DialogWindow(Session& session, int w, int h, const std::string& caption)
      : Fl_Double_Window(w, h), session_(session), caption_(caption) {
    label(caption_.c_str());
    callback([](Fl_Widget* widget, void*) {
      auto* self = static_cast<DialogWindow*>(widget);
      bool escape = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape;
      self->guarded([&] { escape ? self->session_.pressEscape() : self->session_.pressCloseBox(); });
    });
    const auto& controls = session.controls();
    begin();
    for (std::size_t i = 0; i < controls.size(); ++i) widgets_.push_back(build(controls[i], i));
    end();
  }

  Session& session() { return session_; }
  std::exception_ptr& error() { return error_; }
  Fl_Widget* widget(std::size_t i) const { return widgets_.at(i); }

  // Runs one piece of the user's input through the framework, keeping exceptions for after the
  // modal loop rather than throwing them through the toolkit.
  template <class F>
  void guarded(F&& f) {
    if (error_ || session_.ended()) return;
    try {
      f();
    } catch (...) {
      error_ = std::current_exception();
    }
    sync();
  }

  // Shows the session's state: texts, selections, enabled states and the focus.
  void sync() {
    const auto& controls = session_.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
      const Control& c = controls[i];
      Fl_Widget* w = widgets_[i];
      if (c.isWindowEnabled() && !w->active())
        w->activate();
      else if (!c.isWindowEnabled() && w->active())
        w->deactivate();
      if (c.kind() == ControlKind::Edit) {
        auto* in = static_cast<Fl_Input*>(w);
        std::string shown = text::latin1ToUtf8(c.text());
        if (shown != in->value()) in->value(shown.c_str());
        in->color(c.isWindowEnabled() ? FL_BACKGROUND2_COLOR : FL_BACKGROUND_COLOR);
        in->redraw();
      } else if (c.kind() == ControlKind::RadioButton) {
        static_cast<Fl_Button*>(w)->value(c.getCheck());
      }
    }
    if (session_.focusMoves() != focusMoves_) applyFocus();
  }

  // Gives the toolkit's focus to the control the framework last moved it to (none: -1).
  void applyFocus() {
    focusMoves_ = session_.focusMoves();
    int index = session_.focus();
    if (index < 0) {
      Fl::focus(nullptr);
      return;
    }
    Fl_Widget* w = widgets_[static_cast<std::size_t>(index)];
    w->take_focus();
    if (session_.controls()[static_cast<std::size_t>(index)].kind() == ControlKind::Edit) {
      auto* in = static_cast<Fl_Input*>(w);
      in->position(in->size(), 0);  // the whole text selected, as after a failed exchange
    }
  }

  int handle(int event) override {
    if (event == FL_SHORTCUT && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      guarded([&] { session_.pressEnter(); });
      return 1;
    }
    return Fl_Double_Window::handle(event);
  }

private:
  Fl_Widget* build(const Control& c, std::size_t index) {
    const ControlTemplate& t = c.info();
    Rect r = toPixels(t.rect);
    std::string utf8 = text::latin1ToUtf8(t.text);
    Fl_Widget* w = nullptr;
    switch (t.kind) {
      case ControlKind::Label: {
        uint32_t type = t.style & style::kStaticTypeMask;
        w = new Label(r, utf8,
                      type == style::kStaticRight    ? FL_ALIGN_RIGHT
                      : type == style::kStaticCenter ? FL_ALIGN_CENTER
                                                     : FL_ALIGN_LEFT);
        break;
      }
      case ControlKind::GroupBox:
        w = new GroupBox(r, utf8);
        break;
      case ControlKind::Edit: {
        auto* in = new Fl_Input(r.x, r.y, r.width, r.height);
        in->textfont(kFont);
        in->textsize(kFontSize);
        in->when(FL_WHEN_CHANGED);
        in->callback([](Fl_Widget* widget, void* data) {
          auto* self = static_cast<DialogWindow*>(widget->window());
          auto i = reinterpret_cast<std::size_t>(data);
          std::string typed = text::utf8ToLatin1(static_cast<Fl_Input*>(widget)->value());
          self->guarded([&] { self->session_.setText(self->session_.controls()[i].id(), typed); });
        });
        w = in;
        break;
      }
      case ControlKind::PushButton:
      case ControlKind::DefPushButton:
      case ControlKind::RadioButton: {
        Fl_Button* b = t.kind == ControlKind::RadioButton
                           ? static_cast<Fl_Button*>(new Fl_Round_Button(r.x, r.y, r.width, r.height))
                           : new PushButton(r, t.kind == ControlKind::DefPushButton);
        b->copy_label(labelText(t.text).c_str());
        b->labelfont(kFont);
        b->labelsize(kFontSize);
        if (t.kind == ControlKind::RadioButton) b->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
        b->callback([](Fl_Widget* widget, void* data) {
          auto* self = static_cast<DialogWindow*>(widget->window());
          auto i = reinterpret_cast<std::size_t>(data);
          self->guarded([&] { self->session_.click(self->session_.controls()[i].id()); });
        });
        w = b;
        break;
      }
      case ControlKind::Spin: {
        auto* s = new Spin(r);
        int id = t.id;
        s->arrow = [this, id](bool up) { guarded([&] { session_.spinArrow(id, up); }); };
        w = s;
        break;
      }
    }
    w->user_data(reinterpret_cast<void*>(index));
    if (!t.has(style::kTabStop)) w->clear_visible_focus();
    return w;
  }

  Session& session_;
  std::string caption_;
  std::vector<Fl_Widget*> widgets_;  // owned by the window as its children
  std::exception_ptr error_;
  unsigned focusMoves_ = ~0u;
};

class View : public WindowView {
public:
  explicit View(DialogWindow& window) : window_(window) {}
  Session& session() override { return window_.session(); }
  Image capture() override {
    window_.sync();
    Fl::check();
    window_.applyFocus();  // the toolkit may have moved it while handling events
    Fl::flush();
    return picture(window_);
  }
  Rect controlRect(std::size_t index) const override {
    const Fl_Widget* w = window_.widget(index);
    return {w->x(), w->y(), w->w(), w->h()};
  }
  void setControlShown(std::size_t index, bool shown) override {
    Fl_Widget* w = window_.widget(index);
    if (shown)
      w->show();
    else
      w->hide();  // the toolkit then passes the focus on to another widget; capture() takes it back
    window_.redraw();
  }

  void pressKey(Key key) override {
    static const int keys[] = {FL_Enter, FL_Escape, FL_Up, FL_Down, FL_Tab};
    keystroke(keys[static_cast<int>(key)], "");
  }
  void typeText(const std::string& utf8) override {
    for (std::size_t i = 0; i < utf8.size();) {
      std::size_t n = 1;
      while (i + n < utf8.size() && (static_cast<unsigned char>(utf8[i + n]) & 0xC0) == 0x80) ++n;
      keystroke(static_cast<unsigned char>(utf8[i]), utf8.substr(i, n));
      i += n;
    }
  }
  void click(std::size_t index, int x, int y) override {
    Fl_Widget* w = window_.widget(index);
    Fl::e_x = w->x() + x;
    Fl::e_y = w->y() + y;
    Fl::e_x_root = window_.x() + Fl::e_x;
    Fl::e_y_root = window_.y() + Fl::e_y;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    Fl::e_clicks = 0;
    Fl::e_is_click = 1;
    Fl::e_state = FL_BUTTON1;
    Fl::handle(FL_PUSH, &window_);
    Fl::e_state = 0;
    Fl::handle(FL_RELEASE, &window_);
    Fl::flush();
  }

private:
  void keystroke(int key, const std::string& text) {
    std::string copy = text;
    Fl::e_keysym = key;
    Fl::e_state = 0;
    Fl::e_text = copy.data();
    Fl::e_length = static_cast<int>(copy.size());
    Fl::handle(FL_KEYBOARD, &window_);
    static char empty[] = "";
    Fl::e_text = empty;
    Fl::e_length = 0;
    Fl::flush();
  }

  DialogWindow& window_;
};

// The icon of a message box style: stop, question, exclamation or information.
class MessageIcon : public Fl_Widget {
public:
  MessageIcon(int x, int y, unsigned style) : Fl_Widget(x, y, 32, 32), style_(style & 0xF0) {}
  void draw() override {
    const char* glyph = style_ == MB_ICONQUESTION ? "?" : style_ == MB_ICONEXCLAMATION ? "!" : "i";
    if (style_ == MB_ICONSTOP) {
      fl_color(FL_RED);
      fl_pie(x(), y(), w(), h(), 0, 360);
      fl_color(FL_WHITE);
      fl_line_style(FL_SOLID, 3);
      fl_line(x() + 10, y() + 10, x() + 22, y() + 22);
      fl_line(x() + 22, y() + 10, x() + 10, y() + 22);
      fl_line_style(0);
      return;
    }
    fl_color(style_ == MB_ICONEXCLAMATION ? FL_YELLOW : FL_BLUE);
    if (style_ == MB_ICONEXCLAMATION)
      fl_polygon(x() + 16, y(), x() + 32, y() + 30, x(), y() + 30);
    else
      fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(style_ == MB_ICONEXCLAMATION ? FL_BLACK : FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, 18);
    fl_draw(glyph, x(), y() + 4, w(), h() - 4, FL_ALIGN_CENTER, nullptr, 0);
  }

private:
  unsigned style_;
};

class MessageWindow : public Fl_Window {
public:
  using Fl_Window::Fl_Window;
  int handle(int event) override {
    if (event == FL_SHORTCUT && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      hide();
      return 1;
    }
    return Fl_Window::handle(event);
  }
};

}  // namespace

namespace {
// The display named by DISPLAY, or null with the reason.
Display* openDisplay(std::string* why) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    *why = "no display: the DISPLAY environment variable is not set";
    return nullptr;
  }
  Display* d = XOpenDisplay(name);
  if (!d) *why = std::string("no display: display \"") + name + "\" cannot be opened";
  return d;
}
}  // namespace

bool displayAvailable(std::string* why) {
  std::string reason;
  Display* d = openDisplay(&reason);
  if (why) *why = reason;
  if (d) XCloseDisplay(d);
  return d != nullptr;
}

WindowBackend::WindowBackend() {
  if (!fl_display) {
    // Opened here rather than by the toolkit, which ends the process when it cannot open one.
    std::string why;
    Display* d = openDisplay(&why);
    if (!d) throw NoDisplay(why);
    fl_open_display(d);
  }
  Fl::set_font(kFont, kFontName);
}

WindowBackend::~WindowBackend() = default;

void WindowBackend::runModal(Session& session) {
  const DialogTemplate& t = session.dialogTemplate();
  Rect client = toPixels({0, 0, t.rect.width, t.rect.height});
  DialogWindow window(session, client.width, client.height, text::latin1ToUtf8(t.caption));
  window.position((Fl::w() - client.width) / 2, (Fl::h() - client.height) / 2);
  window.set_modal();
  window.sync();
  window.show();
  window.wait_for_expose();
  Fl::flush();
  if (onShown) {
    View view(window);
    window.guarded([&] { onShown(view); });
  }
  while (!session.ended() && !window.error()) Fl::wait();
  window.hide();
  Fl::flush();
  if (window.error()) std::rethrow_exception(window.error());
}

int WindowBackend::messageBox(const std::string& text, unsigned style, const std::string& title) {
  const int pad = 12, icon = 32, buttonW = 75, buttonH = 23;
  std::string body = text::latin1ToUtf8(text);
  std::string caption = text::latin1ToUtf8(title);  // window titles take no symbols
  fl_font(kFont, kFontSize);
  int textW = 400, textH = 0;
  fl_measure(body.c_str(), textW, textH, 0);
  int textX = pad + icon + pad;
  int width = std::max(textX + textW + pad, buttonW + 2 * pad);
  int height = pad + std::max(icon, textH) + pad + buttonH + pad;
  MessageWindow window(width, height);
  window.label(caption.c_str());
  window.begin();
  new MessageIcon(pad, pad, style);
  new Label({textX, pad + std::max(0, (icon - textH) / 2), textW, textH}, body, FL_ALIGN_LEFT);
  auto* ok = new PushButton({(width - buttonW) / 2, height - pad - buttonH, buttonW, buttonH}, true);
  ok->label("OK");
  ok->labelfont(kFont);
  ok->labelsize(kFontSize);
  ok->callback([](Fl_Widget* w, void*) { w->window()->hide(); });
  window.end();
  window.callback([](Fl_Widget* w, void*) { w->hide(); });
  window.position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
  window.set_modal();
  window.show();
  if (onMessageShown) {
    window.wait_for_expose();
    Fl::flush();
    onMessageShown(picture(window), title);
    window.hide();
  }
  while (window.shown()) Fl::wait();
  return IDOK;
}

}  // namespace kxui
