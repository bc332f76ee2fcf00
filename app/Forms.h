#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

// What the handlers need of the five windows. A front end builds each window from its design
// (app/Designs.h) with its toolkit's controls, implements the window's view over them and
// forwards every click, menu command and close box to the Application (OnControl, OnMenu,
// OnClose); it keeps no behaviour of its own.
namespace korvane::app {

class Application;

// A Windows colour value 0x00BBGGRR (red in the low byte).
using Colour = std::uint32_t;
inline constexpr Colour kRed = 0x000000FF;
inline constexpr Colour kGreen = 0x0000C000;  // good news
inline constexpr Colour kLinkBlue = 0x00FF0000;
inline constexpr Colour kBlack = 0x00000000;

// A place and a size on the screen, in the front end's own units (pixels of its desktop).
struct ScreenPoint {
  int x = 0;
  int y = 0;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};
struct ScreenSize {
  int width = 0;
  int height = 0;
};
struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The five windows.
enum class FormId { Main, AutoDetect, Updating, UpdatingComplete, Info };

// The controls of each window, named as drawn. A control's number in its window is its value here.
enum class MainControl { Label0, Label1, OK, AutoDetectCmd, ResetPIC };
enum class AutoDetectControl { Label1, Label2, AbortCmd, OKCmd };
enum class UpdatingControl { AbortCmd, Label2, Label1, UpdatingBar };
enum class CompleteControl { OKCmd, Label2, Label1 };
enum class InfoControl { cmdOK, Label1, Label3, Label2, picIcon };

// The commands of the main window's menus, the five check-mark items among them.
enum class MenuCommand { Open, Exit, FLASH, EEDATA, CONFIG, USERID, Repeate, About };
inline constexpr int kMenuCommandCount = 8;

// What every window offers.
class Window {
 public:
  virtual ~Window() = default;
  // Shows the window without blocking (modeless).
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool IsVisible() const = 0;
  // The top-left corner of the window's frame.
  virtual ScreenPoint Position() const = 0;
  virtual void MoveTo(ScreenPoint corner) = 0;
  // The size of the window's frame.
  virtual ScreenSize Size() const = 0;
  // Takes the window down for good. The handlers never touch it again; the front end frees it,
  // at once or as soon as its toolkit allows (a window may be unloaded from its own event).
  virtual void Unload() = 0;
};

// A window whose controls are named by `ControlName`.
template <typename ControlName>
class FormView : public Window {
 public:
  using Control = ControlName;

  // Labels and buttons: the shown text.
  virtual void SetText(Control control, std::string_view text) = 0;
  // Labels: text colour and bold font.
  virtual void SetTextColour(Control control, Colour colour) = 0;
  virtual void SetBold(Control control, bool bold) = 0;
  // Buttons.
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual void SetVisible(Control control, bool visible) = 0;
  // Gives a button the keyboard focus; Enter then presses it.
  virtual void Focus(Control control) = 0;
};

class MainView : public FormView<MainControl> {
 public:
  // The check mark of a check-mark item.
  virtual void SetChecked(MenuCommand item, bool checked) = 0;
};

class UpdatingView : public FormView<UpdatingControl> {
 public:
  // The progress bar's colour (sent as PBM_SETBARCOLOR where the platform has it).
  virtual void SetBarColour(Colour colour) = 0;
  // The progress bar's value, 0 to 100.
  virtual void SetBarValue(float value) = 0;
};

using AutoDetectView = FormView<AutoDetectControl>;
using CompleteView = FormView<CompleteControl>;
using InfoView = FormView<InfoControl>;

// Owning pointer to a loaded window: releasing it unloads the window.
struct UnloadWindow {
  void operator()(Window* window) const { window->Unload(); }
};
template <typename View>
using FormPtr = std::unique_ptr<View, UnloadWindow>;

// Loads the windows. Each is built hidden, as designed (app/Designs.h), and forwards its events
// to `app` (OnControl, OnMenu, OnClose).
class FormFactory {
 public:
  virtual ~FormFactory() = default;
  virtual FormPtr<MainView> LoadMainForm(Application& app) = 0;
  virtual FormPtr<AutoDetectView> LoadAutoDetectForm(Application& app) = 0;
  virtual FormPtr<UpdatingView> LoadUpdatingForm(Application& app) = 0;
  virtual FormPtr<CompleteView> LoadUpdatingCompleteForm(Application& app) = 0;
  virtual FormPtr<InfoView> LoadInfoForm(Application& app) = 0;
};

}  // namespace korvane::app
