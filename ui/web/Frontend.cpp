#include "ui/web/Frontend.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Application.h"
#include "app/Texts.h"
#include "image/UpdateFileLoader.h"

namespace korvane::web {

namespace {

using app::MenuItem;
using Kind = page::ControlKind;

// Where chosen update files are put for the loader, which opens them by name from here.
constexpr std::string_view kUploadFolder = "/files";

constexpr std::string_view kAppIcon = "korvane-16.png";
constexpr std::string_view kUpdateIcon = "korvane-update-16.png";
constexpr std::string_view kAboutPicture = "korvane-32.png";

// Menu commands of the main window.
constexpr int kOpenCommand = 1;
constexpr int kExitCommand = 2;
constexpr int kAboutCommand = 3;
constexpr int kFirstCheckCommand = 10;

constexpr std::array<std::string_view, app::kMenuItemCount> kCheckItemTexts = {
    app::text::kFlashItem, app::text::kEedataItem, app::text::kConfigItem, app::text::kUserIdItem,
    app::text::kRepeateItem};

template <typename Control>
constexpr int Slot(Control control) {
  return static_cast<int>(control);
}

int CheckCommand(MenuItem item) {
  return kFirstCheckCommand + static_cast<int>(item);
}

// The search, progress, result and About windows share one client size.
PageWindow::Design SecondaryDesign(std::string_view caption, std::string_view icon) {
  PageWindow::Design design;
  design.caption = caption;
  design.clientWidthTwips = app::layout::kFormWidth;
  design.clientHeightTwips = app::layout::kFormHeight;
  design.icon = icon;
  return design;
}

// "*.hex;*.elc" as the file chooser takes it: ".hex,.elc" (the browser matches any letter case).
std::string AcceptList(std::string_view patterns) {
  std::string accept;
  while (!patterns.empty()) {
    const std::size_t end = std::min(patterns.find(';'), patterns.size());
    std::string_view pattern = patterns.substr(0, end);
    patterns.remove_prefix(std::min(end + 1, patterns.size()));
    if (pattern.starts_with('*')) {
      pattern.remove_prefix(1);
    }
    if (!pattern.empty()) {
      accept += (accept.empty() ? "" : ",") + std::string(pattern);
    }
  }
  return accept;
}

}  // namespace

// What every window of this front end is besides its view: its page window.
class WebFrontend::View {
 public:
  virtual ~View() = default;
  virtual PageWindow& Form() = 0;
};

namespace {

// The view of one window: the Window and FormView operations on its PageWindow.
template <typename Base>
class WebView : public Base, public WebFrontend::View {
 public:
  using Control = typename Base::Control;

  WebView(int id, const PageWindow::Design& design, const std::vector<ControlSpec>& controls)
      : form_(id, design, controls) {}

  PageWindow& Form() override { return form_; }

  // Window
  void Show() override { page::Show(form_.Id()); }
  void Hide() override { page::Hide(form_.Id()); }
  bool IsVisible() const override { return !form_.Retired() && page::IsVisible(form_.Id()); }
  app::ScreenPoint Position() const override {
    const page::PixelRect frame = page::Geometry(form_.Id());
    return {frame.x, frame.y};
  }
  void MoveTo(app::ScreenPoint corner) override { page::MoveTo(form_.Id(), corner.x, corner.y); }
  app::ScreenSize Size() const override {
    const page::PixelRect frame = page::Geometry(form_.Id());
    return {frame.width, frame.height};
  }
  void Unload() override { form_.Retire(); }

  // FormView
  void SetText(Control control, std::string_view text) override {
    form_.SetText(Slot(control), text);
  }
  void SetTextColour(Control control, app::Colour colour) override {
    form_.SetTextColour(Slot(control), colour);
  }
  void SetBold(Control control, bool bold) override { form_.SetBold(Slot(control), bold); }
  void SetEnabled(Control control, bool enabled) override {
    form_.SetEnabled(Slot(control), enabled);
  }
  void SetVisible(Control control, bool visible) override {
    form_.SetVisible(Slot(control), visible);
  }
  void Focus(Control control) override { form_.Focus(Slot(control)); }

 protected:
  PageWindow form_;
};

class MainWindow final : public WebView<app::MainView> {
 public:
  using WebView::WebView;
  void SetChecked(MenuItem item, bool checked) override {
    if (!form_.Retired()) {
      page::SetChecked(form_.Id(), CheckCommand(item), checked);
    }
  }
};

// The progress bar's slot, after the window's named controls.
constexpr int kBarSlot = Slot(app::UpdatingControl::Label1) + 1;

class UpdatingWindow final : public WebView<app::UpdatingView> {
 public:
  using WebView::WebView;
  void SetBarColour(app::Colour colour) override {
    if (!form_.Retired()) {
      page::SetBarColour(form_.Id(), kBarSlot, colour);
    }
  }
  void SetBarValue(float value) override {
    if (!form_.Retired()) {
      page::SetBarValue(form_.Id(), kBarSlot, std::clamp(static_cast<int>(value + 0.5f), 0, 100));
    }
  }
};

int IdOf(const app::Window* window) {
  const auto* view = dynamic_cast<const WebFrontend::View*>(window);
  if (view == nullptr) {
    return 0;
  }
  PageWindow& form = const_cast<WebFrontend::View*>(view)->Form();
  return form.Retired() ? 0 : form.Id();
}

void MakeMainMenu(int window) {
  page::AddMenuBar(window);
  const int file = page::AddMenu(window, app::text::kFileMenu);
  page::AddMenuItem(window, file, kOpenCommand, app::text::kOpenItem, page::MenuItemKind::Command,
                    false, "o");
  page::AddMenuItem(window, file, 0, "", page::MenuItemKind::Separator, false, "");
  page::AddMenuItem(window, file, kExitCommand, app::text::kExitItem, page::MenuItemKind::Command,
                    false, "q");
  const int menu = page::AddMenu(window, app::text::kMenuMenu);
  for (int i = 0; i < app::kMenuItemCount; ++i) {
    const auto item = static_cast<MenuItem>(i);
    if (item == MenuItem::Repeate) {
      page::AddMenuItem(window, menu, 0, "", page::MenuItemKind::Separator, false, "");
    }
    // The application sets the check marks as it starts.
    page::AddMenuItem(window, menu, CheckCommand(item), kCheckItemTexts[i],
                      page::MenuItemKind::Check, false, "");
  }
  page::AddMenuCommand(window, kAboutCommand, app::text::kAboutItem);
}

}  // namespace

WebFrontend::WebFrontend() {
  std::error_code error;
  std::filesystem::create_directories(std::string(kUploadFolder), error);
  std::filesystem::current_path(std::string(kUploadFolder), error);
}

WebFrontend::~WebFrontend() = default;

template <typename Form>
Form& WebFrontend::Keep(std::unique_ptr<Form> form) {
  Form& kept = *form;
  windows_.push_back(std::move(form));
  return kept;
}

void WebFrontend::Run() {
  while (!quitting_) {
    page::WaitForEvent();
    page::Event event;
    while (!quitting_ && page::TakeEvent(event)) {
      Dispatch(event);
      FreeUnloaded();
    }
  }
  FreeUnloaded();
}

void WebFrontend::Dispatch(const page::Event& event) {
  if (event.kind == page::EventKind::Timer) {
    if (const auto timer = timers_.find(event.value); timer != timers_.end()) {
      timer->second();
    }
    return;
  }
  // The list may grow while the handler runs (it loads windows): look the window up first.
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    if (windows_[i]->Form().Id() == event.window) {
      windows_[i]->Form().Deliver(event);
      return;
    }
  }
}

void WebFrontend::FreeUnloaded() {
  std::erase_if(windows_, [](const std::unique_ptr<View>& view) { return view->Form().Retired(); });
}

void WebFrontend::ProcessPendingEvents() {
  page::YieldToBrowser();
  page::Event event;
  while (page::TakeEvent(event)) {
    Dispatch(event);
  }
}

void WebFrontend::SetTimer(int intervalMs, std::function<void()> tick) {
  const int id = static_cast<int>(timers_.size()) + 1;
  timers_.emplace(id, std::move(tick));
  page::AddTimer(id, intervalMs);
}

void WebFrontend::Quit() {
  if (!quitting_) {
    quitting_ = true;
    page::Quit();
  }
}

void WebFrontend::ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                                 app::MessageIcon icon) {
  const int box = nextId_++;
  page::ShowMessageBox(box, IdOf(owner), text, title, icon == app::MessageIcon::Warning);
  // Modal: the windows behind the box take no new input, and what was queued before it is
  // handled as it comes, as a message box's own loop does.
  bool closed = false;
  while (!closed && !quitting_) {
    page::WaitForEvent();
    page::Event event;
    while (!closed && page::TakeEvent(event)) {
      if (event.window == box) {
        closed = true;
      } else {
        Dispatch(event);
      }
    }
  }
  page::Remove(box);
}

std::string WebFrontend::GetOpenFileName(app::Window* /*owner*/, std::string_view /*title*/,
                                         std::string_view /*filterName*/, std::string_view patterns,
                                         std::string_view /*directory*/) {
  // The browser's chooser shows neither a title nor a filter name, and starts where it likes.
  // Only the chosen file is kept in the module's file system.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(kUploadFolder), error)) {
    std::filesystem::remove(entry.path(), error);
  }
  // One byte more than the loader takes, so that it can tell a file that is too large.
  constexpr int kLimit = static_cast<int>(image::kMaxUpdateFileSize + 1);
  return page::ChooseFile(AcceptList(patterns), kLimit, kUploadFolder);
}

void WebFrontend::OpenAddress(app::Window* /*owner*/, std::string_view address) {
  page::OpenAddress(address);
}

app::InstanceClaim WebFrontend::ClaimSingleInstance() {
  // One application per page: each browser tab runs its own.
  if (page::Claim()) {
    return {app::InstanceClaim::Result::Granted, {}};
  }
  return {app::InstanceClaim::Result::HeldByAnother, {}};
}

int WebFrontend::CurrentYear() {
  return page::CurrentYear();
}

app::ScreenRect WebFrontend::WorkArea() {
  const page::PixelRect area = page::WorkArea();
  return {area.x, area.y, area.width, area.height};
}

app::FormPtr<app::MainView> WebFrontend::LoadMainForm(app::Application& app) {
  namespace l = app::layout::main;
  PageWindow::Design design;
  design.caption = app::text::kMainCaption;
  design.clientWidthTwips = l::kClientWidth;
  design.clientHeightTwips = l::kClientHeight;
  design.icon = kAppIcon;
  using C = app::MainControl;
  // In tab order: Label1, AutoDetectCmd, OK, Label0, ResetPIC.
  const std::vector<ControlSpec> controls = {
      {.slot = Slot(C::Label1), .rect = l::Label1, .bold = true, .noWordWrap = true},
      {.slot = Slot(C::AutoDetectCmd),
       .kind = Kind::Button,
       .rect = l::AutoDetectCmd,
       .text = app::text::kAutoDetectButton},
      {.slot = Slot(C::OK),
       .kind = Kind::Button,
       .rect = l::OK,
       .text = app::text::kUpdateButton,
       .enabled = false},
      {.slot = Slot(C::Label0), .rect = l::Label0},
      {.slot = Slot(C::ResetPIC),
       .kind = Kind::Button,
       .rect = l::ResetPIC,
       .text = app::text::kResetButton},
  };
  const int id = nextId_++;
  auto& view = Keep(std::make_unique<MainWindow>(id, design, controls));
  MakeMainMenu(id);
  PageWindow& form = view.Form();
  form.onControl = [this, &app](int slot) {
    switch (static_cast<C>(slot)) {
      case C::OK:
        app.OK_Click();
        break;
      case C::AutoDetectCmd:
        if (searchGesture_) {
          searchGesture_([&app] { app.AutoDetectCmd_Click(); });
        } else {
          app.AutoDetectCmd_Click();
        }
        break;
      case C::ResetPIC:
        app.ResetPIC_Click();
        break;
      default:
        break;
    }
  };
  form.onMenu = [&app](int command) {
    if (command == kOpenCommand) {
      app.mnu_Open_Click();
    } else if (command == kExitCommand) {
      app.mnu_Exit_Click();
    } else if (command == kAboutCommand) {
      app.mnu_About_Click();
    } else if (command == CheckCommand(MenuItem::FLASH)) {
      app.mnu_FLASH_Click();
    } else if (command == CheckCommand(MenuItem::EEDATA)) {
      app.mnu_EEDATA_Click();
    } else if (command == CheckCommand(MenuItem::CONFIG)) {
      app.mnu_CONFIG_Click();
    } else if (command == CheckCommand(MenuItem::USERID)) {
      app.mnu_USERID_Click();
    } else if (command == CheckCommand(MenuItem::Repeate)) {
      app.mnu_Repeate_Click();
    }
  };
  form.onClose = [&app] { app.Form_Unload(); };
  return app::FormPtr<app::MainView>(&view);
}

app::FormPtr<app::AutoDetectView> WebFrontend::LoadAutoDetectForm(app::Application& app) {
  namespace l = app::layout::autodetect;
  using C = app::AutoDetectControl;
  const std::vector<ControlSpec> controls = {
      {.slot = Slot(C::Label1), .rect = l::Label1},
      {.slot = Slot(C::Label2), .rect = l::Label2, .text = app::text::kSearching},
      {.slot = Slot(C::AbortCmd),
       .kind = Kind::Button,
       .rect = l::AbortCmd,
       .text = app::text::kAbortButton,
       .visible = false},
      {.slot = Slot(C::OKCmd),
       .kind = Kind::Button,
       .rect = l::OKCmd,
       .text = app::text::kOKButton,
       .visible = false},
  };
  auto& view = Keep(std::make_unique<WebView<app::AutoDetectView>>(
      nextId_++, SecondaryDesign(app::text::kAutoDetectCaption, kAppIcon), controls));
  PageWindow& form = view.Form();
  form.onControl = [&app](int slot) {
    if (slot == Slot(C::AbortCmd)) {
      app.AutoDetect_AbortCmd_Click();
    } else if (slot == Slot(C::OKCmd)) {
      app.AutoDetect_OKCmd_Click();
    }
  };
  form.onClose = [&app] { app.AutoDetect_CloseBox(); };
  return app::FormPtr<app::AutoDetectView>(&view);
}

app::FormPtr<app::UpdatingView> WebFrontend::LoadUpdatingForm(app::Application& app) {
  namespace l = app::layout::updating;
  using C = app::UpdatingControl;
  PageWindow::Design design = SecondaryDesign(app::text::kUpdatingCaption, kUpdateIcon);
  design.defaultButton = Slot(C::AbortCmd);
  const std::vector<ControlSpec> controls = {
      {.slot = Slot(C::AbortCmd),
       .kind = Kind::Button,
       .rect = l::AbortCmd,
       .text = app::text::kAbortButton},
      {.slot = Slot(C::Label2), .rect = l::Label2},
      {.slot = Slot(C::Label1), .rect = l::Label1},
      {.slot = kBarSlot, .kind = Kind::ProgressBar, .rect = l::UpdatingBar},
  };
  auto& view = Keep(std::make_unique<UpdatingWindow>(nextId_++, design, controls));
  PageWindow& form = view.Form();
  form.onControl = [&app](int slot) {
    if (slot == Slot(C::AbortCmd)) {
      app.Updating_AbortCmd_Click();
    }
  };
  form.onClose = [&app] { app.Updating_AbortCmd_Click(); };
  return app::FormPtr<app::UpdatingView>(&view);
}

app::FormPtr<app::CompleteView> WebFrontend::LoadUpdatingCompleteForm(app::Application& app) {
  namespace l = app::layout::complete;
  using C = app::CompleteControl;
  PageWindow::Design design = SecondaryDesign(app::text::kCompleteCaption, kUpdateIcon);
  design.defaultButton = Slot(C::OKCmd);
  const std::vector<ControlSpec> controls = {
      {.slot = Slot(C::OKCmd),
       .kind = Kind::Button,
       .rect = l::OKCmd,
       .text = app::text::kOKButton},
      {.slot = Slot(C::Label2), .rect = l::Label2},
      {.slot = Slot(C::Label1), .rect = l::Label1, .bold = true, .colour = app::kGreen},
  };
  auto& view = Keep(std::make_unique<WebView<app::CompleteView>>(nextId_++, design, controls));
  PageWindow& form = view.Form();
  form.onControl = [&app](int slot) {
    if (slot == Slot(C::OKCmd)) {
      app.UpdatingComplete_OKCmd_Click();
    }
  };
  form.onClose = [&app] { app.UpdatingComplete_Form_Unload(); };
  return app::FormPtr<app::CompleteView>(&view);
}

app::FormPtr<app::InfoView> WebFrontend::LoadInfoForm(app::Application& app) {
  namespace l = app::layout::info;
  using C = app::InfoControl;
  PageWindow::Design design = SecondaryDesign(app::text::kAboutCaption, kAppIcon);
  design.dialogFrame = true;
  design.defaultButton = Slot(C::cmdOK);
  design.cancelButton = Slot(C::cmdOK);
  const std::vector<ControlSpec> controls = {
      {.slot = Slot(C::cmdOK),
       .kind = Kind::Button,
       .rect = l::cmdOK,
       .text = app::text::kOKButton},
      {.slot = Slot(C::Label2) + 1,
       .kind = Kind::Picture,
       .rect = l::picIcon,
       .picture = kAboutPicture},
      {.slot = Slot(C::Label1), .rect = l::Label1},
      {.slot = Slot(C::Label3),
       .rect = l::Label3,
       .text = app::text::kShopAddress,
       .colour = app::kLinkBlue,
       .link = true},
      {.slot = Slot(C::Label2), .rect = l::Label2, .colour = app::kBlack},
  };
  auto& view = Keep(std::make_unique<WebView<app::InfoView>>(nextId_++, design, controls));
  PageWindow& form = view.Form();
  form.onControl = [&app](int slot) {
    if (slot == Slot(C::cmdOK)) {
      app.Info_cmdOK_Click();
    } else if (slot == Slot(C::Label3)) {
      app.Info_Label3_Click();
    }
  };
  form.onClose = [&app] { app.Info_cmdOK_Click(); };
  return app::FormPtr<app::InfoView>(&view);
}

}  // namespace korvane::web
