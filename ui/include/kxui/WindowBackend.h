// The window backend: dialogs and message boxes in real FLTK windows on an X display.
//
// A template is drawn at its dialog-unit rectangles converted to pixels (toPixels), in template
// order, which is also the tab order; Enter presses the default button, Escape and the close box
// cancel. Texts are Latin-1 in the framework and UTF-8 in the toolkit.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kxui/Backend.h"

namespace kxui {

// An RGB picture of a window's client area.
struct Image {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;  // rows top to bottom, three bytes a pixel

  const unsigned char* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
  // Throws std::runtime_error when the file cannot be written.
  void writePng(const std::string& path) const;
};

// There is no display to open a window on.
class NoDisplay : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// An open dialog window, as a test or a screenshot tool sees it.
class WindowView {
public:
  virtual ~WindowView() = default;
  virtual Session& session() = 0;
  // The client area as it is drawn now (pending redraws are done first).
  virtual Image capture() = 0;
  // The pixel rectangle of the widget of control index (template order).
  virtual Rect controlRect(std::size_t index) const = 0;
  virtual void setControlShown(std::size_t index, bool shown) = 0;

  // Input through the toolkit's own event dispatch, as if from the keyboard and the mouse.
  enum class Key { Enter, Escape, Up, Down, Tab };
  virtual void pressKey(Key key) = 0;
  virtual void typeText(const std::string& utf8) = 0;  // keystrokes to the control with the focus
  // A press and release of the left button at (x, y) within the widget of control index.
  virtual void click(std::size_t index, int x, int y) = 0;
};

class WindowBackend : public Backend {
public:
  // Connects to the display named by DISPLAY; throws NoDisplay when it is unset or cannot be opened.
  WindowBackend();
  ~WindowBackend() override;

  void runModal(Session& session) override;
  int messageBox(const std::string& text, unsigned style, const std::string& title) override;

  // Called once a dialog's window is shown and drawn, before any input; it may give input to the
  // session (ending the dialog, for example) through the view.
  std::function<void(WindowView&)> onShown;
  // Called with a picture of each message box once it is drawn (text, icon, title in the caption);
  // when set, the box is then answered with OK as a user would, for tests and unattended runs.
  std::function<void(const Image& picture, const std::string& caption)> onMessageShown;
};

// Whether the display named by DISPLAY can be opened now; otherwise why not (the text NoDisplay
// would carry).
bool displayAvailable(std::string* why = nullptr);

}  // namespace kxui
