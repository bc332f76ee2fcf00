#include "ui/win32/Frontend.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
// The application layer's Desktop has an operation of this name; the dialog is called by its
// wide-character name.
#undef GetOpenFileName

#include <algorithm>
#include <string>

#include "app/Application.h"
#include "app/Designs.h"
#include "ui/win32/TestHooks.h"
#include "ui/win32/WinText.h"

namespace korvane::win32 {

namespace {

int IconOf(app::FormIcon icon) {
  return icon == app::FormIcon::Update ? kUpdateIcon : kAppIcon;
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

  Win32View(HINSTANCE instance, const WindowStyle& style, const app::FormDesign& design, HMENU menu)
      : form_(instance, style, design, IconOf(design.icon), menu) {}

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
  MainWindow(HINSTANCE instance, const WindowStyle& style, const app::FormDesign& design,
             HMENU menu)
      : Win32View(instance, style, design, menu) {
    // Test tools ask for the check marks through a message of their own.
    form_.onPrivateMessage = [this](UINT message, WPARAM item, LPARAM, LRESULT& result) {
      if (message != kQueryMenuCheck) {
        return false;
      }
      result = item < static_cast<WPARAM>(app::kMenuCommandCount)
                   ? Checked(static_cast<app::MenuCommand>(item))
                   : -1;
      return true;
    };
  }

  void SetChecked(app::MenuCommand item, bool checked) override {
    CheckMenuItem(GetMenu(form_.Handle()), static_cast<UINT>(MenuCommandId(item)),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
  }

 private:
  bool Checked(app::MenuCommand item) const {
    const UINT state =
        GetMenuState(GetMenu(form_.Handle()), static_cast<UINT>(MenuCommandId(item)), MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & MF_CHECKED) != 0;
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
  HWND Bar() const { return form_.Control(static_cast<int>(app::UpdatingControl::UpdatingBar)); }
};

HWND HandleOf(const app::Window* window) {
  auto* view = dynamic_cast<const Frontend::View*>(window);
  return view == nullptr ? nullptr : const_cast<Frontend::View*>(view)->Form().Handle();
}

UniqueFont MakeFont(LOGFONTW font, bool bold) {
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  return UniqueFont(CreateFontIndirectW(&font));
}

HMENU MakeMenuBar(const app::FormDesign& design) {
  const HMENU bar = CreateMenu();
  for (const app::MenuDesign& menu : design.menus) {
    if (menu.items.empty()) {
      AppendMenuW(bar, MF_STRING, static_cast<UINT_PTR>(MenuCommandId(menu.command)),
                  Wide(menu.text).c_str());
      continue;
    }
    const HMENU list = CreatePopupMenu();
    for (const app::MenuItemDesign& item : menu.items) {
      if (item.kind == app::MenuItemDesign::Kind::Separator) {
        AppendMenuW(list, MF_SEPARATOR, 0, nullptr);
        continue;
      }
      std::wstring text = Wide(item.text);
      if (item.shortcut != 0) {
        text += L"\tCtrl+";
        text += static_cast<wchar_t>(item.shortcut);
      }
      AppendMenuW(list, MF_STRING | (item.checked ? MF_CHECKED : MF_UNCHECKED),
                  static_cast<UINT_PTR>(MenuCommandId(item.command)), text.c_str());
    }
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(list), Wide(menu.text).c_str());
  }
  return bar;
}

// Ctrl and the letter of each menu item that has one.
UniqueAccelerators MakeAccelerators(const app::FormDesign& design) {
  std::vector<ACCEL> keys;
  for (const app::MenuDesign& menu : design.menus) {
    for (const app::MenuItemDesign& item : menu.items) {
      if (item.shortcut != 0) {
        keys.push_back({FCONTROL | FVIRTKEY, static_cast<WORD>(item.shortcut),
                        static_cast<WORD>(MenuCommandId(item.command))});
      }
    }
  }
  return UniqueAccelerators(CreateAcceleratorTableW(keys.data(), static_cast<int>(keys.size())));
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

  accelerators_ = MakeAccelerators(app::DesignOf(app::FormId::Main));
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

template <typename Window, typename View>
app::FormPtr<View> Frontend::Load(app::FormId form, app::Application& app) {
  const app::FormDesign& design = app::DesignOf(form);
  const HMENU menu = design.menus.empty() ? nullptr : MakeMenuBar(design);
  auto& view = Keep(std::make_unique<Window>(instance_, style_, design, menu));
  FormWindow& window = view.Form();
  window.onControl = [&app, form](int control) { app.OnControl(form, control); };
  window.onMenu = [&app](int command) {
    const int index = command - kFirstMenuCommand;
    if (index >= 0 && index < app::kMenuCommandCount) {
      app.OnMenu(static_cast<app::MenuCommand>(index));
    }
  };
  window.onClose = [&app, form] { app.OnClose(form); };
  return app::FormPtr<View>(&view);
}

app::FormPtr<app::MainView> Frontend::LoadMainForm(app::Application& app) {
  auto view = Load<MainWindow, app::MainView>(app::FormId::Main, app);
  mainWindow_ = HandleOf(view.get());
  return view;
}

app::FormPtr<app::AutoDetectView> Frontend::LoadAutoDetectForm(app::Application& app) {
  return Load<Win32View<app::AutoDetectView>, app::AutoDetectView>(app::FormId::AutoDetect, app);
}

app::FormPtr<app::UpdatingView> Frontend::LoadUpdatingForm(app::Application& app) {
  return Load<UpdatingWindow, app::UpdatingView>(app::FormId::Updating, app);
}

app::FormPtr<app::CompleteView> Frontend::LoadUpdatingCompleteForm(app::Application& app) {
  return Load<Win32View<app::CompleteView>, app::CompleteView>(app::FormId::UpdatingComplete, app);
}

app::FormPtr<app::InfoView> Frontend::LoadInfoForm(app::Application& app) {
  return Load<Win32View<app::InfoView>, app::InfoView>(app::FormId::Info, app);
}

}  // namespace korvane::win32
