#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/Forms.h"
#include "ui/web/Page.h"
#include "ui/web/PageWindow.h"

namespace korvane::web {

// The web front end: the desktop services and the five windows, built from their designs and
// drawn as DOM elements by the page. The event loop is C++, like a Win32 message loop: the page
// only queues the user's input, the loop waits for the next event and forwards it to the
// Application.
// Handlers may wait for the browser (a packet, a message box, the file chooser, pending events);
// the module is suspended meanwhile and the page keeps queueing.
class WebFrontend final : public app::Desktop, public app::FormFactory {
 public:
  WebFrontend();
  WebFrontend(const WebFrontend&) = delete;
  WebFrontend& operator=(const WebFrontend&) = delete;
  ~WebFrontend() override;

  // Runs the event loop until every window is unloaded.
  void Run();

  // Calls `tick` from the event loop about every `intervalMs`.
  void SetTimer(int intervalMs, std::function<void()> tick);

  // Runs around the handing on of a click on the main window's "Auto Detect..." button: the
  // click is the user gesture that lets the browser show its device chooser.
  using SearchGesture = std::function<void(const std::function<void()>& search)>;
  void SetSearchGesture(SearchGesture gesture) { searchGesture_ = std::move(gesture); }

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
  void Dispatch(const page::Event& event);
  // Frees the windows that were unloaded; called where none of their handlers is running.
  void FreeUnloaded();
  template <typename Form>
  Form& Keep(std::unique_ptr<Form> form);
  // Builds a window from its design and forwards its events to `app`.
  template <typename Window, typename View>
  app::FormPtr<View> Load(app::FormId form, app::Application& app);

  std::vector<std::unique_ptr<View>> windows_;
  std::map<int, std::function<void()>> timers_;
  SearchGesture searchGesture_;
  int nextId_ = 1;
  bool quitting_ = false;
};

}  // namespace korvane::web
