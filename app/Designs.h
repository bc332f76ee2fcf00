#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "app/Forms.h"

// The five windows as they are drawn, told once: each window's caption, client size and icon,
// its controls in tab order with their places, texts and starting states, its default and cancel
// buttons, and the main window's menus. The Qt, Win32 and web front ends build their windows
// from these. Places and sizes are in twips (1/1440 inch; 15 twips are one pixel at 96 dots per
// inch); each front end converts them at its screen's density.
namespace korvane::app {

struct TwipRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

enum class ControlKind { Label, Button, ProgressBar, Picture };

// The application's icon, and the one the progress and result windows share.
enum class FormIcon { Application, Update };

struct ControlDesign {
  int id = 0;                  // the control's value in its window's enum (MainControl, ...)
  std::string_view name = {};  // as drawn: "AutoDetectCmd"
  ControlKind kind = ControlKind::Label;
  TwipRect rect = {};
  std::string_view text = {};  // at design
  bool visible = true;
  bool enabled = true;
  bool bold = false;
  // A label's designed text colour; without one it takes the desktop's text colour.
  std::optional<Colour> colour = std::nullopt;
  bool link = false;     // a label that is clicked: hand cursor, click event
  bool clipped = false;  // a label cut off at its right edge rather than wrapped
  // A picture shows the window's icon at the picture's size.
};

struct MenuItemDesign {
  enum class Kind { Command, Check, Separator };
  std::string_view name = {};  // "mnu_Open"
  Kind kind = Kind::Command;
  std::string_view text = {};
  MenuCommand command{};  // what choosing it runs (not for a separator)
  char shortcut = 0;      // the letter that chooses it with Ctrl, or 0
  bool checked = false;   // a check-mark item's mark at start
};

// A menu on the menu bar with its items or, without items, a command right on the bar.
struct MenuDesign {
  std::string_view name = {};
  std::string_view text = {};
  std::span<const MenuItemDesign> items = {};
  MenuCommand command{};  // the command on the bar
};

struct FormDesign {
  FormId id{};
  std::string_view name = {};  // "MainForm"
  std::string_view caption = {};
  int clientWidth = 0;  // the main window's client area lies below its menu bar
  int clientHeight = 0;
  FormIcon icon = FormIcon::Application;
  bool dialogFrame = false;                         // the About window's dialog-style border
  std::span<const ControlDesign> controls = {};     // in tab order
  std::optional<int> defaultButton = std::nullopt;  // pressed by Enter when no button has the focus
  std::optional<int> cancelButton = std::nullopt;   // pressed by Esc
  std::span<const MenuDesign> menus = {};           // the menu bar, left to right

  // The control numbered `id`, or nullptr.
  const ControlDesign* Find(int id) const;
  // One more than the highest control number.
  int ControlSlots() const;
};

// Every window's design, in FormId order.
std::span<const FormDesign> Designs();
const FormDesign& DesignOf(FormId form);

// The window whose controls a control enum names.
template <typename Control>
struct FormOf;
template <>
struct FormOf<MainControl> {
  static constexpr FormId id = FormId::Main;
};
template <>
struct FormOf<AutoDetectControl> {
  static constexpr FormId id = FormId::AutoDetect;
};
template <>
struct FormOf<UpdatingControl> {
  static constexpr FormId id = FormId::Updating;
};
template <>
struct FormOf<CompleteControl> {
  static constexpr FormId id = FormId::UpdatingComplete;
};
template <>
struct FormOf<InfoControl> {
  static constexpr FormId id = FormId::Info;
};

// The design of one named control (every name of the enums is drawn).
template <typename Control>
const ControlDesign& DesignOf(Control control) {
  return *DesignOf(FormOf<Control>::id).Find(static_cast<int>(control));
}

}  // namespace korvane::app
