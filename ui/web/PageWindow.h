#pragma once

#include <functional>
#include <string_view>

#include "app/Designs.h"
#include "ui/web/Page.h"

namespace korvane::web {

// Twips to CSS pixels: 96 per inch, 15 twips to the pixel.
constexpr int Pixels(int twips) {
  return (twips * 96 + 720) / 1440;
}

// One window on the page, built from its design: a DOM dialog with its title bar and its
// controls in tab order, known by their numbers (slots). Events go to the callbacks; the window
// itself decides nothing.
class PageWindow {
 public:
  // `icon` is the title bar's image file, `picture` the one a picture control shows.
  PageWindow(int id, const app::FormDesign& design, std::string_view icon,
             std::string_view picture);
  PageWindow(const PageWindow&) = delete;
  PageWindow& operator=(const PageWindow&) = delete;
  ~PageWindow();

  int Id() const { return id_; }

  // A button or a link label was clicked: its slot.
  std::function<void(int)> onControl;
  // A menu item was chosen (or its Ctrl shortcut pressed): its command.
  std::function<void(int)> onMenu;
  // The close box.
  std::function<void()> onClose;

  // Hands an event for this window to its callback; a retired window drops it.
  void Deliver(const page::Event& event);

  void SetText(int slot, std::string_view text);
  void SetTextColour(int slot, app::Colour colour);
  void SetBold(int slot, bool bold);
  void SetEnabled(int slot, bool enabled);
  void SetVisible(int slot, bool visible);
  void Focus(int slot);

  // Unloaded: off the page, and no event is passed on any more.
  void Retire();
  bool Retired() const { return retired_; }

 private:
  int id_;
  bool retired_ = false;
};

}  // namespace korvane::web
