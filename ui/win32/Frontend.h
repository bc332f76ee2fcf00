#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/Forms.h"
#include "ui/win32/FormWindow.h"
#include "ui/win32/Handles.h"

namespace korvane::win32 {

// COM for the window thread, as the shell wants it before ShellExecuteW: some of the programs it
// hands an address to are reached through COM.
class ComApartment {
 public:
  ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();

 private:
  bool joined_ = false;
};

// Resources of the programs (korvane.rc).
inline constexpr int kAppIcon = 1;
inline constexpr int kUpdateIcon = 2;

// The Win32 front end: the desktop services and the five windows, built from their designs with
// standard controls. Every event is forwarded to the Application.
class Frontend final : public app::Desktop, public app::FormFactory {
 public:
  explicit Frontend(HINSTANCE instance);
  Frontend(const Frontend&) = delete;
  Frontend& operator=(const Frontend&) = delete;
  ~Frontend() override;

  // Runs the event loop until every window is unloaded; returns the exit code.
  int Run();

  // Desktop
  void ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                      app::MessageIcon icon) override;
  std::string GetOpenFileName(app::Window* owner, std::string_view title,
                              std::string_view filterName, std::string_view patterns,
                              std::string_view directory) override;
  void OpenAddress(app::Window* owner, std::string_view address) override;
  app::InstanceClaim ClaimSingleInstance() override;
  void ProcessPendingEvents() override;
  int CurrentYear() override;
  app::ScreenRect WorkArea() override;
  void Quit() override;

  // FormFactory
  app::FormPtr<app::MainView> LoadMainForm(app::Application& app) override;
  app::FormPtr<app::AutoDetectView> LoadAutoDetectForm(app::Application& app) override;
  app::FormPtr<app::UpdatingView> LoadUpdatingForm(app::Application& app) override;
  app::FormPtr<app::CompleteView> LoadUpdatingCompleteForm(app::Application& app) override;
  app::FormPtr<app::InfoView> LoadInfoForm(app::Application& app) override;

  // A window of this front end, as the views see it.
  class View;

 private:
  // One message: the main window's accelerators, the keyboard handling of dialogs (Tab, Enter,
  // Esc) for whichever window it belongs to, then the window procedure.
  void Dispatch(MSG& message);
  // Frees the windows that were unloaded; called where none of their procedures is running.
  void FreeUnloaded();
  template <typename Form>
  Form& Keep(std::unique_ptr<Form> form);
  // Builds a window from its design and forwards its events to `app`.
  template <typename Window, typename View>
  app::FormPtr<View> Load(app::FormId form, app::Application& app);

  ComApartment com_;  // first in, last out
  HINSTANCE instance_;
  WindowStyle style_;
  UniqueFont font_;
  UniqueFont boldFont_;
  UniqueAccelerators accelerators_;
  UniqueKernelHandle instanceMutex_;
  HWND mainWindow_ = nullptr;
  bool quitting_ = false;
  std::vector<std::unique_ptr<View>> windows_;
};

}  // namespace korvane::win32
