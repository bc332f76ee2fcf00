#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "app/Layout.h"
#include "ui/web/Page.h"

namespace korvane::web {

// Twips to CSS pixels: 96 per inch, 15 twips to the pixel.
constexpr int Pixels(int twips) {
  return (twips * 96 + 720) / 1440;
}

// What a control is, where it lies (in twips) and how it starts.
struct ControlSpec {
  int slot = 0;  // the control's number: its name in the application layer's list of the window
  page::ControlKind kind = page::ControlKind::Label;
  app::TwipRect rect;
  std::string_view text;
  bool visible = true;
  bool enabled = true;
  bool bold = false;
  app::Colour colour = app::kBlack;
  bool link = false;         // a label that is clicked
  bool noWordWrap = false;   // a label that is clipped rather than wrapped
  std::string_view picture;  // Picture: the image file
};

// One window on the page: a DOM dialog with its title bar, its controls in tab order, known by
// their slots. Events go to the callbacks; the window itself decides nothing.
class PageWindow {
 public:
  struct Design {
    std::string_view caption;
    int clientWidthTwips = 0;
    int clientHeightTwips = 0;
    std::string_view icon;     // the title bar's image file
    bool dialogFrame = false;  // the About window's dialog-style border
    int defaultButton = -1;    // pressed by Enter when the focus is on no button
    int cancelButton = -1;     // pressed by Esc
  };

  PageWindow(int id, const Design& design, const std::vector<ControlSpec>& controls);
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
