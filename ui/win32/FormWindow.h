#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Designs.h"
#include "ui/win32/Handles.h"

namespace korvane::win32 {

// The fonts and the density every window is built with.
struct WindowStyle {
  HFONT font = nullptr;      // MS Sans Serif 8.25 pt, or the desktop's dialog font
  HFONT boldFont = nullptr;  // the same, bold
  int dpi = 96;
  int Pixels(int twips) const { return MulDiv(twips, dpi, 1440); }
};

// One top-level window built from its design with standard controls: static labels, push
// buttons, the common-controls progress bar and an icon picture. The controls are made in tab
// order and known by their numbers in the design. A label without a colour takes the desktop's
// text colour (white on black in High Contrast). Events go to the callbacks; the window itself
// decides nothing but where the keyboard focus goes when nothing else says: to the first enabled
// button in tab order when the window shows again, and when the focused button is disabled or
// hidden. When the window is activated again, the button that had the focus gets it back.
class FormWindow {
 public:
  // `icon` is the resource of the window's icon, which a picture shows too; `menu` the main
  // window's menu bar (the window takes it over), or nullptr.
  FormWindow(HINSTANCE instance, const WindowStyle& style, const app::FormDesign& design, int icon,
             HMENU menu);
  FormWindow(const FormWindow&) = delete;
  FormWindow& operator=(const FormWindow&) = delete;
  ~FormWindow();

  HWND Handle() const { return window_.Get(); }
  HWND Control(int index) const { return controls_.at(static_cast<std::size_t>(index)).window; }

  // A button was clicked or a link label was clicked: its number.
  std::function<void(int)> onControl;
  // A menu item was chosen (or its accelerator pressed): its command identifier.
  std::function<void(int)> onMenu;
  // The close box (or Alt+F4).
  std::function<void()> onClose;
  // Private messages for the window (test hooks); return true when handled.
  std::function<bool(UINT, WPARAM, LPARAM, LRESULT&)> onPrivateMessage;

  void SetText(int index, std::string_view text);
  void SetTextColour(int index, app::Colour colour);
  void SetBold(int index, bool bold);
  void SetEnabled(int index, bool enabled);
  void SetVisible(int index, bool visible);
  void Focus(int index);
  // Shows the window in front.
  void Show();

  // Unloaded: hidden, and no event is passed on any more.
  void Retire();
  bool Retired() const { return retired_; }

  static void RegisterClass(HINSTANCE instance);

 private:
  struct ControlState {
    HWND window = nullptr;
    app::ControlKind kind = app::ControlKind::Label;
    std::optional<app::Colour> colour = std::nullopt;
    bool link = false;
  };

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Enter: the focused button of this window, else the default button.
  void PressDefault();
  int IndexOf(HWND control) const;
  bool CanTakeFocus(HWND control) const;
  // Focuses the first button in tab order that is enabled and shown; false when there is none.
  bool FocusFirstButton();

  HWND hwnd_ = nullptr;  // known from the first message on, before creation returns
  WindowStyle style_;
  int defaultButton_ = -1;  // pressed by Enter when no button has the focus
  int cancelButton_ = -1;   // pressed by Esc
  UniqueWindow window_;
  std::vector<ControlState> controls_;
  std::vector<HWND> tabOrder_;
  HWND lastFocus_ = nullptr;  // the control that had the focus when the window was deactivated
  UniqueIcon bigIcon_;
  UniqueIcon smallIcon_;
  UniqueIcon pictureIcon_;
  bool retired_ = false;
};

}  // namespace korvane::win32
