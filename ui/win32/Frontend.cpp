#include "ui/win32/Frontend.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
// The application layer's Desktop has an operation of this name; the dialog is called by its
// wide-character name.
#undef GetOpenFileName

#include <algorithm>
#include <array>
#include <string>

#include "app/Application.h"
#include "app/Texts.h"
#include "ui/win32/TestHooks.h"
#include "ui/win32/WinText.h"

namespace korvane::win32 {

namespace {

using app::MenuItem;
using Kind = ControlSpec::Kind;

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

// 8.25 pt at the screen's density, as a font height in pixels.
LONG FontHeight(int dpi) {
  return -MulDiv(825, dpi, 7200);
}

int CALLBACK FoundFont(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FontInstalled(const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(wanted.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  const HDC screen = GetDC(nullptr);
  EnumFontFamiliesExW(screen, &wanted, &FoundFont, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, screen);
  return found;
}

// MS Sans Serif 8.25 pt, or the desktop's dialog (message) font where it is missing.
LOGFONTW WindowFont(int dpi) {
  LOGFONTW font{};
  if (FontInstalled(L"MS Sans Serif")) {
    font.lfHeight = FontHeight(dpi);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    wcscpy(font.lfFaceName, L"MS Sans Serif");
    return font;
  }
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  font = metrics.lfMessageFont;
  font.lfWeight = FW_NORMAL;
  return font;
}

HWND HandleOf(const app::Window* window);

// The search, progress, result and About windows share one client size.
FormWindow::Design SecondaryDesign(std::wstring_view caption, int icon) {
  FormWindow::Design design;
  design.caption = caption;
  design.clientWidthTwips = app::layout::kFormWidth;
  design.clientHeightTwips = app::layout::kFormHeight;
  design.icon = icon;
  return design;
}

}  // namespace

// What every window of this front end is besides its view: its Win32 window.
class Frontend::View {
 public:
  virtual ~View() = default;
  virtual FormWindow& Form() = 0;
};

namespace {

// The view of one window: the Window and FormView operations on its FormWindow.
template <typename Base>
class Win32View : public Base, public Frontend::View {
 public:
  using Control = typename Base::Control;

  Win32View(HINSTANCE instance, const WindowStyle& style, const FormWindow::Design& design,
            const std::vector<ControlSpec>& controls)
      : form_(instance, style, design, controls) {}

  FormWindow& Form() override { return form_; }

  // Window
  void Show() override { form_.Show(); }
  void Hide() override { ShowWindow(form_.Handle(), SW_HIDE); }
  bool IsVisible() const override { return IsWindowVisible(form_.Handle()) != FALSE; }
  app::ScreenPoint Position() const override {
    RECT bounds{};
    GetWindowRect(form_.Handle(), &bounds);
    return {bounds.left, bounds.top};
  }
  void MoveTo(app::ScreenPoint corner) override {
    SetWindowPos(form_.Handle(), nullptr, corner.x, corner.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  app::ScreenSize Size() const override {
    RECT bounds{};
    GetWindowRect(form_.Handle(), &bounds);
    return {bounds.right - bounds.left, bounds.bottom - bounds.top};
  }
  void Unload() override { form_.Retire(); }

  // FormView
  void SetText(Control control, std::string_view text) override {
    form_.SetText(Index(control), text);
  }
  void SetTextColour(Control control, app::Colour colour) override {
    form_.SetTextColour(Index(control), colour);
  }
  void SetBold(Control control, bool bold) override { form_.SetBold(Index(control), bold); }
  void SetEnabled(Control control, bool enabled) override {
    form_.SetEnabled(Index(control), enabled);
  }
  void SetVisible(Control control, bool visible) override {
    form_.SetVisible(Index(control), visible);
  }
  void Focus(Control control) override { form_.Focus(Index(control)); }

 protected:
  static int Index(Control control) { return static_cast<int>(control); }

  FormWindow form_;
};

class MainWindow final : public Win32View<app::MainView> {
 public:
  using Win32View::Win32View;
  void SetChecked(MenuItem item, bool checked) override {
    CheckMenuItem(GetMenu(form_.Handle()), static_cast<UINT>(CheckCommand(item)),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
  }
};

class UpdatingWindow final : public Win32View<app::UpdatingView> {
 public:
  using Win32View::Win32View;
  void SetBarColour(app::Colour colour) override {
    SendMessageW(Bar(), PBM_SETBARCOLOR, 0, static_cast<LPARAM>(colour));
  }
  void SetBarValue(float value) override {
    const int position = std::clamp(static_cast<int>(value + 0.5f), 0, 100);
    SendMessageW(Bar(), PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }

 private:
  HWND Bar() const { return GetDlgItem(form_.Handle(), kProgressBarId); }
};

HWND HandleOf(const app::Window* window) {
  auto* view = dynamic_cast<const Frontend::View*>(window);
  return view == nullptr ? nullptr : const_cast<Frontend::View*>(view)->Form().Handle();
}

UniqueFont MakeFont(LOGFONTW font, bool bold) {
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  return UniqueFont(CreateFontIndirectW(&font));
}

HMENU MakeMainMenu() {
  const HMENU bar = CreateMenu();
  const HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_STRING, kOpenCommand, (Wide(app::text::kOpenItem) + L"\tCtrl+O").c_str());
  AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(file, MF_STRING, kExitCommand, (Wide(app::text::kExitItem) + L"\tCtrl+Q").c_str());
  const HMENU menu = CreatePopupMenu();
  for (int i = 0; i < app::kMenuItemCount; ++i) {
    if (static_cast<MenuItem>(i) == MenuItem::Repeate) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    }
    // Checked as designed: FLASH and Repeate.
    const bool checked = static_cast<MenuItem>(i) == MenuItem::FLASH ||
                         static_cast<MenuItem>(i) == MenuItem::Repeate;
    AppendMenuW(menu, MF_STRING | (checked ? MF_CHECKED : MF_UNCHECKED),
                static_cast<UINT_PTR>(kFirstCheckCommand + i), Wide(kCheckItemTexts[i]).c_str());
  }
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), Wide(app::text::kFileMenu).c_str());
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(menu), Wide(app::text::kMenuMenu).c_str());
  AppendMenuW(bar, MF_STRING, kAboutCommand, Wide(app::text::kAboutItem).c_str());
  return bar;
}

}  // namespace

ComApartment::ComApartment()
    : joined_(
          SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}

ComApartment::~ComApartment() {
  if (joined_) {
    CoUninitialize();
  }
}

Frontend::Frontend(HINSTANCE instance) : instance_(instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  FormWindow::RegisterClass(instance);

  const HDC screen = GetDC(nullptr);
  style_.dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  const LOGFONTW font = WindowFont(style_.dpi);
  font_ = MakeFont(font, false);
  boldFont_ = MakeFont(font, true);
  style_.font = static_cast<HFONT>(font_.Get());
  style_.boldFont = static_cast<HFONT>(boldFont_.Get());

  ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'O', kOpenCommand},
                  {FCONTROL | FVIRTKEY, 'Q', kExitCommand}};
  accelerators_.Reset(CreateAcceleratorTableW(keys, 2));
}

Frontend::~Frontend() {
  // Windows go before the fonts they use.
  windows_.clear();
}

template <typename Form>
Form& Frontend::Keep(std::unique_ptr<Form> form) {
  Form& kept = *form;
  windows_.push_back(std::move(form));
  return kept;
}

int Frontend::Run() {
  MSG message{};
  int result = 0;
  while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    Dispatch(message);
    FreeUnloaded();
  }
  return result < 0 ? 1 : static_cast<int>(message.wParam);
}

void Frontend::Dispatch(MSG& message) {
  const HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  if (root != nullptr && root == mainWindow_ &&
      TranslateAcceleratorW(mainWindow_, accelerators_.Get(), &message) != 0) {
    return;
  }
  if (root != nullptr && IsDialogMessageW(root, &message) != 0) {
    return;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

void Frontend::FreeUnloaded() {
  std::erase_if(windows_, [this](const std::unique_ptr<View>& view) {
    if (!view->Form().Retired()) {
      return false;
    }
    if (view->Form().Handle() == mainWindow_) {
      mainWindow_ = nullptr;
    }
    return true;
  });
}

void Frontend::ProcessPendingEvents() {
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != 0) {
    if (message.message == WM_QUIT) {
      // For the loop of Run.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    Dispatch(message);
  }
}

void Frontend::Quit() {
  if (!quitting_) {
    quitting_ = true;
    PostQuitMessage(0);
  }
}

void Frontend::ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                              app::MessageIcon icon) {
  const UINT style = MB_OK | (icon == app::MessageIcon::Warning ? MB_ICONEXCLAMATION : 0);
  MessageBoxW(HandleOf(owner), Wide(text).c_str(), Wide(title).c_str(), style);
}

std::string Frontend::GetOpenFileName(app::Window* owner, std::string_view title,
                                      std::string_view filterName, std::string_view patterns,
                                      std::string_view directory) {
  // One filter entry: its description, then its patterns, each ended by a NUL, then a NUL.
  std::wstring filter = Wide(filterName);
  filter += L'\0';
  filter += Wide(patterns);
  filter += L'\0';
  filter += L'\0';
  const std::wstring caption = Wide(title);
  const std::wstring folder = Wide(directory);
  std::wstring file(32768, L'\0');

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = HandleOf(owner);
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = caption.c_str();
  dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  // The read-only box is hidden; the current folder stays where it was.
  dialog.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_NOCHANGEDIR;
  if (GetOpenFileNameW(&dialog) == FALSE) {
    return {};
  }
  file.resize(wcslen(file.c_str()));
  return Utf8(file);
}

void Frontend::OpenAddress(app::Window* owner, std::string_view address) {
  ShellExecuteW(HandleOf(owner), L"open", Wide(address).c_str(), L"", L"", SW_SHOWNORMAL);
}

app::InstanceClaim Frontend::ClaimSingleInstance() {
  // One copy per logged-in session; the mutex lasts as long as the process.
  instanceMutex_.Reset(CreateMutexW(nullptr, FALSE, L"Local\\Korvane.SingleInstance"));
  const DWORD error = GetLastError();
  if (!instanceMutex_) {
    if (error == ERROR_ACCESS_DENIED) {
      // The name exists and belongs to a copy this user may not open: it is held all the same.
      return {app::InstanceClaim::Result::HeldByAnother, {}};
    }
    const std::string reason = "the named mutex could not be created (Windows error " +
                               std::to_string(error) + ": " + platform::WindowsErrorText(error) +
                               ")";
    return {app::InstanceClaim::Result::Failed, reason};
  }
  if (error == ERROR_ALREADY_EXISTS) {
    instanceMutex_.Reset();
    return {app::InstanceClaim::Result::HeldByAnother, {}};
  }
  return {app::InstanceClaim::Result::Granted, {}};
}

int Frontend::CurrentYear() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return now.wYear;
}

app::ScreenRect Frontend::WorkArea() {
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  return {area.left, area.top, area.right - area.left, area.bottom - area.top};
}

app::FormPtr<app::MainView> Frontend::LoadMainForm(app::Application& app) {
  namespace l = app::layout::main;
  FormWindow::Design design;
  const std::wstring caption = Wide(app::text::kMainCaption);
  design.caption = caption;
  design.clientWidthTwips = l::kClientWidth;
  design.clientHeightTwips = l::kClientHeight;
  design.icon = kAppIcon;
  design.menu = MakeMainMenu();
  using C = app::MainControl;
  // In tab order: Label1, AutoDetectCmd, OK, Label0, ResetPIC.
  const std::vector<ControlSpec> controls = {
      {Slot(C::Label1), Kind::Label, l::Label1, "", true, true, true, app::kBlack, false, true},
      {Slot(C::AutoDetectCmd), Kind::Button, l::AutoDetectCmd, app::text::kAutoDetectButton},
      {Slot(C::OK), Kind::Button, l::OK, app::text::kUpdateButton, true, false},
      {Slot(C::Label0), Kind::Label, l::Label0, ""},
      {Slot(C::ResetPIC), Kind::Button, l::ResetPIC, app::text::kResetButton},
  };
  auto& view = Keep(std::make_unique<MainWindow>(instance_, style_, design, controls));
  FormWindow& form = view.Form();
  mainWindow_ = form.Handle();
  form.onControl = [&app](int index) {
    switch (static_cast<app::MainControl>(index)) {
      case app::MainControl::OK:
        app.OK_Click();
        break;
      case app::MainControl::AutoDetectCmd:
        app.AutoDetectCmd_Click();
        break;
      case app::MainControl::ResetPIC:
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
  const HWND window = form.Handle();
  form.onPrivateMessage = [window](UINT message, WPARAM item, LPARAM, LRESULT& result) {
    if (message != kQueryMenuCheck) {
      return false;
    }
    if (item >= static_cast<WPARAM>(app::kMenuItemCount)) {
      result = -1;
      return true;
    }
    const UINT state =
        GetMenuState(GetMenu(window),
                     static_cast<UINT>(kFirstCheckCommand + static_cast<int>(item)), MF_BYCOMMAND);
    result = (state != static_cast<UINT>(-1) && (state & MF_CHECKED) != 0) ? 1 : 0;
    return true;
  };
  return app::FormPtr<app::MainView>(&view);
}

app::FormPtr<app::AutoDetectView> Frontend::LoadAutoDetectForm(app::Application& app) {
  namespace l = app::layout::autodetect;
  const std::wstring caption = Wide(app::text::kAutoDetectCaption);
  FormWindow::Design design = SecondaryDesign(caption, kAppIcon);
  using C = app::AutoDetectControl;
  const std::vector<ControlSpec> controls = {
      {Slot(C::Label1), Kind::Label, l::Label1, ""},
      {Slot(C::Label2), Kind::Label, l::Label2, app::text::kSearching},
      {Slot(C::AbortCmd), Kind::Button, l::AbortCmd, app::text::kAbortButton, false},
      {Slot(C::OKCmd), Kind::Button, l::OKCmd, app::text::kOKButton, false},
  };
  auto& view =
      Keep(std::make_unique<Win32View<app::AutoDetectView>>(instance_, style_, design, controls));
  FormWindow& form = view.Form();
  form.onControl = [&app](int index) {
    if (index == static_cast<int>(app::AutoDetectControl::AbortCmd)) {
      app.AutoDetect_AbortCmd_Click();
    } else if (index == static_cast<int>(app::AutoDetectControl::OKCmd)) {
      app.AutoDetect_OKCmd_Click();
    }
  };
  form.onClose = [&app] { app.AutoDetect_CloseBox(); };
  return app::FormPtr<app::AutoDetectView>(&view);
}

app::FormPtr<app::UpdatingView> Frontend::LoadUpdatingForm(app::Application& app) {
  namespace l = app::layout::updating;
  const std::wstring caption = Wide(app::text::kUpdatingCaption);
  FormWindow::Design design = SecondaryDesign(caption, kUpdateIcon);
  using C = app::UpdatingControl;
  const std::vector<ControlSpec> controls = {
      {Slot(C::AbortCmd), Kind::Button, l::AbortCmd, app::text::kAbortButton},
      {Slot(C::Label2), Kind::Label, l::Label2, ""},
      {Slot(C::Label1), Kind::Label, l::Label1, ""},
      {Slot(C::Label1) + 1, Kind::ProgressBar, l::UpdatingBar, ""},
  };
  auto& view = Keep(std::make_unique<UpdatingWindow>(instance_, style_, design, controls));
  FormWindow& form = view.Form();
  form.onControl = [&app](int index) {
    if (index == static_cast<int>(app::UpdatingControl::AbortCmd)) {
      app.Updating_AbortCmd_Click();
    }
  };
  form.onClose = [&app] { app.Updating_AbortCmd_Click(); };
  return app::FormPtr<app::UpdatingView>(&view);
}

app::FormPtr<app::CompleteView> Frontend::LoadUpdatingCompleteForm(app::Application& app) {
  namespace l = app::layout::complete;
  const std::wstring caption = Wide(app::text::kCompleteCaption);
  FormWindow::Design design = SecondaryDesign(caption, kUpdateIcon);
  using C = app::CompleteControl;
  const std::vector<ControlSpec> controls = {
      {Slot(C::OKCmd), Kind::Button, l::OKCmd, app::text::kOKButton},
      {Slot(C::Label2), Kind::Label, l::Label2, ""},
      {Slot(C::Label1), Kind::Label, l::Label1, "", true, true, true, app::kGreen},
  };
  auto& view =
      Keep(std::make_unique<Win32View<app::CompleteView>>(instance_, style_, design, controls));
  FormWindow& form = view.Form();
  form.onControl = [&app](int index) {
    if (index == static_cast<int>(app::CompleteControl::OKCmd)) {
      app.UpdatingComplete_OKCmd_Click();
    }
  };
  form.onClose = [&app] { app.UpdatingComplete_Form_Unload(); };
  return app::FormPtr<app::CompleteView>(&view);
}

app::FormPtr<app::InfoView> Frontend::LoadInfoForm(app::Application& app) {
  namespace l = app::layout::info;
  const std::wstring caption = Wide(app::text::kAboutCaption);
  FormWindow::Design design = SecondaryDesign(caption, kAppIcon);
  design.dialogFrame = true;
  design.defaultButton = static_cast<int>(app::InfoControl::cmdOK);
  design.cancelButton = static_cast<int>(app::InfoControl::cmdOK);
  using C = app::InfoControl;
  const std::vector<ControlSpec> controls = {
      {Slot(C::cmdOK), Kind::Button, l::cmdOK, app::text::kOKButton},
      {Slot(C::Label2) + 1, Kind::Picture, l::picIcon, "", true, true, false, std::nullopt, false,
       false, kAppIcon},
      {Slot(C::Label1), Kind::Label, l::Label1, ""},
      {Slot(C::Label3), Kind::Label, l::Label3, app::text::kShopAddress, true, true, false,
       app::kLinkBlue, true},
      {Slot(C::Label2), Kind::Label, l::Label2, "", true, true, false, app::kBlack},
  };
  auto& view =
      Keep(std::make_unique<Win32View<app::InfoView>>(instance_, style_, design, controls));
  FormWindow& form = view.Form();
  form.onControl = [&app](int index) {
    if (index == static_cast<int>(app::InfoControl::cmdOK)) {
      app.Info_cmdOK_Click();
    } else if (index == static_cast<int>(app::InfoControl::Label3)) {
      app.Info_Label3_Click();
    }
  };
  form.onClose = [&app] { app.Info_cmdOK_Click(); };
  return app::FormPtr<app::InfoView>(&view);
}

}  // namespace korvane::win32
