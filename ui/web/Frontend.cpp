#include "ui/web/Frontend.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Application.h"
#include "app/Designs.h"
#include "image/UpdateFileLoader.h"

namespace korvane::web {

namespace {

// Where chosen update files are put for the loader, which opens them by name from here.
constexpr std::string_view kUploadFolder = "/files";

// The title bar's image of a window, and the picture of the application's icon.
std::string_view IconFile(app::FormIcon icon) {
  return icon == app::FormIcon::Update ? "korvane-update-16.png" : "korvane-16.png";
}
constexpr std::string_view kPictureFile = "korvane-32.png";

template <typename Control>
constexpr int Slot(Control control) {
  return static_cast<int>(control);
}

// The page's number of a menu command.
int CommandId(app::MenuCommand command) {
  return static_cast<int>(command);
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

  WebView(int id, const app::FormDesign& design)
      : form_(id, design, IconFile(design.icon), kPictureFile) {}

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
  void SetChecked(app::MenuCommand item, bool checked) override {
    if (!form_.Retired()) {
      page::SetChecked(form_.Id(), CommandId(item), checked);
    }
  }
};

constexpr int kBarSlot = Slot(app::UpdatingControl::UpdatingBar);

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

void MakeMenuBar(int window, const app::FormDesign& design) {
  page::AddMenuBar(window);
  for (const app::MenuDesign& menu : design.menus) {
    if (menu.items.empty()) {
      page::AddMenuCommand(window, CommandId(menu.command), menu.text);
      continue;
    }
    const int list = page::AddMenu(window, menu.text);
    for (const app::MenuItemDesign& item : menu.items) {
      using Kind = app::MenuItemDesign::Kind;
      if (item.kind == Kind::Separator) {
        page::AddMenuItem(window, list, 0, "", page::MenuItemKind::Separator, false, "");
        continue;
      }
      const std::string shortcut =
          item.shortcut != 0 ? std::string(1, static_cast<char>(std::tolower(item.shortcut))) : "";
      page::AddMenuItem(
          window, list, CommandId(item.command), item.text,
          item.kind == Kind::Check ? page::MenuItemKind::Check : page::MenuItemKind::Command,
          item.checked, shortcut);
    }
  }
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

template <typename Window, typename View>
app::FormPtr<View> WebFrontend::Load(app::FormId form, app::Application& app) {
  const app::FormDesign& design = app::DesignOf(form);
  auto& view = Keep(std::make_unique<Window>(nextId_++, design));
  PageWindow& page = view.Form();
  page.onControl = [this, &app, form](int control) {
    // The click on "Auto Detect..." is the user's gesture that lets the browser show its device
    // chooser.
    if (form == app::FormId::Main && control == Slot(app::MainControl::AutoDetectCmd) &&
        searchGesture_) {
      searchGesture_([&app, form, control] { app.OnControl(form, control); });
    } else {
      app.OnControl(form, control);
    }
  };
  page.onMenu = [&app](int command) { app.OnMenu(static_cast<app::MenuCommand>(command)); };
  page.onClose = [&app, form] { app.OnClose(form); };
  return app::FormPtr<View>(&view);
}

app::FormPtr<app::MainView> WebFrontend::LoadMainForm(app::Application& app) {
  auto view = Load<MainWindow, app::MainView>(app::FormId::Main, app);
  MakeMenuBar(IdOf(view.get()), app::DesignOf(app::FormId::Main));
  return view;
}

app::FormPtr<app::AutoDetectView> WebFrontend::LoadAutoDetectForm(app::Application& app) {
  return Load<WebView<app::AutoDetectView>, app::AutoDetectView>(app::FormId::AutoDetect, app);
}

app::FormPtr<app::UpdatingView> WebFrontend::LoadUpdatingForm(app::Application& app) {
  return Load<UpdatingWindow, app::UpdatingView>(app::FormId::Updating, app);
}

app::FormPtr<app::CompleteView> WebFrontend::LoadUpdatingCompleteForm(app::Application& app) {
  return Load<WebView<app::CompleteView>, app::CompleteView>(app::FormId::UpdatingComplete, app);
}

app::FormPtr<app::InfoView> WebFrontend::LoadInfoForm(app::Application& app) {
  return Load<WebView<app::InfoView>, app::InfoView>(app::FormId::Info, app);
}

}  // namespace korvane::web
