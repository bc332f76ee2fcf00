// korvane-demo.exe driven from outside, as a test tool or a screen reader sees it: windows found
// by caption, control texts and states read, buttons and menu items pressed with WM_COMMAND, the
// menu's check marks asked through the main window's test message. Needs a display (Xvfb).

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Forms.h"
#include "app/Texts.h"
#include "platform/Files.h"
#include "tests/cli/CliRunner.h"
#include "tests/cli/HexWriter.h"
#include "ui/win32/TestHooks.h"
#include "ui/win32/WinText.h"

namespace korvane::win32 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 60s;

// A copy of korvane-demo.exe that this test started, ended at the latest with the test.
class Demo {
 public:
  Demo() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + fs::path(KORVANE_DEMO_BINARY).wstring() + L"\"";
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
      throw std::runtime_error("cannot start korvane-demo.exe");
    }
  }
  Demo(const Demo&) = delete;
  Demo& operator=(const Demo&) = delete;
  ~Demo() {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  DWORD Id() const { return process_.dwProcessId; }
  // The exit code once the program ended within `patience`; -1 when it still runs.
  long ExitCode(std::chrono::milliseconds patience = kPatience) const {
    if (WaitForSingleObject(process_.hProcess, static_cast<DWORD>(patience.count())) !=
        WAIT_OBJECT_0) {
      return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<long>(code);
  }

 private:
  PROCESS_INFORMATION process_{};
};

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds patience = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

struct Search {
  DWORD process;
  std::wstring className;
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  auto& search = *reinterpret_cast<Search*>(parameter);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t className[64] = {};
  GetClassNameW(window, className, 64);
  wchar_t caption[256] = {};
  GetWindowTextW(window, caption, 256);
  if (process == search.process && IsWindowVisible(window) && search.className == className &&
      search.caption == caption) {
    search.found = window;
    return FALSE;
  }
  return TRUE;
}

// The visible top-level window of `demo` with this class and caption, or nullptr.
HWND VisibleWindow(const Demo& demo, std::string_view caption,
                   const wchar_t* className = L"KorvaneForm") {
  Search search{demo.Id(), className, Wide(caption)};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND AwaitWindow(const Demo& demo, std::string_view caption,
                 const wchar_t* className = L"KorvaneForm") {
  HWND window = nullptr;
  WaitFor([&] { return (window = VisibleWindow(demo, caption, className)) != nullptr; });
  return window;
}

// The controls are numbered by their names' places in the application layer's lists.
template <typename Control>
HWND ControlOf(HWND window, Control control) {
  return GetDlgItem(window, kFirstControlId + static_cast<int>(control));
}

template <typename Control>
std::string Text(HWND window, Control control) {
  wchar_t text[1024] = {};
  GetWindowTextW(ControlOf(window, control), text, 1024);
  return Utf8(text);
}

template <typename Control>
bool Enabled(HWND window, Control control) {
  return IsWindowEnabled(ControlOf(window, control)) != FALSE;
}

template <typename Control>
bool Shown(HWND window, Control control) {
  return IsWindowVisible(ControlOf(window, control)) != FALSE;
}

// A click as the button sends it to its window.
template <typename Control>
void Click(HWND window, Control control) {
  const HWND button = ControlOf(window, control);
  PostMessageW(window, WM_COMMAND,
               MAKEWPARAM(kFirstControlId + static_cast<int>(control), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
}

void Menu(HWND main, app::MenuCommand command) {
  PostMessageW(main, WM_COMMAND, MAKEWPARAM(MenuCommandId(command), 0), 0);
}

int Checked(HWND main, app::MenuCommand item) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(main, kQueryMenuCheck, static_cast<WPARAM>(item), 0, SMTO_BLOCK, 5000,
                      &result);
  return static_cast<int>(static_cast<LRESULT>(result));
}

// Chooses `file` in the open dialog the main window shows.
void OpenFile(const Demo& demo, HWND main, const fs::path& file) {
  Menu(main, app::MenuCommand::Open);
  const HWND dialog = AwaitWindow(demo, app::text::kOpenTitle, L"#32770");
  ASSERT_NE(dialog, nullptr) << "no open dialog";
  // The file name box: a combo box (cmb13) or an edit field (edt1), as the dialog has it.
  HWND name = GetDlgItem(dialog, 0x47C);
  if (name == nullptr) {
    name = GetDlgItem(dialog, 0x480);
  }
  ASSERT_NE(name, nullptr) << "no file name box in the open dialog";
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.wstring().c_str()));
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  ASSERT_TRUE(WaitFor([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }));
}

bool TakingSnapshots() {
  const char* folder = std::getenv("KORVANE_SCREENSHOTS");
  return folder != nullptr && *folder != '\0';
}

// An update file that fills program flash from 0x800 to the end, in a folder of the test's own
// whose name no ANSI code page holds: the run lasts some seconds on the demo's timing model, long
// enough to watch every stage. For the documentation's pictures the file lies in the scratch
// folder itself: the windows' font (MS Sans Serif) has no Cyrillic or CJK letters.
class Firmware {
 public:
  Firmware()
      : folderName_(TakingSnapshots() ? "" : "Прошивка 固件"),
        folder_(scratch_.Path() / platform::PathFromUtf8(folderName_)) {
    fs::create_directories(folder_);
    cli::test::WriteFile(Path(), cli::test::DataRecords(0x800, 0x8000 - 0x800, [](std::uint32_t a) {
                                   return static_cast<std::uint8_t>(a * 3 + (a >> 8));
                                 }) + cli::test::EndOfFile());
  }
  fs::path Path() const { return folder_ / "firmware.hex"; }
  const std::string& FolderName() const { return folderName_; }

 private:
  std::string folderName_;
  cli::test::TempDir scratch_;
  fs::path folder_;
};

// What a window shows on the screen: 0x00RRGGBB pixels, rows from the top.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
  int Count(std::uint32_t colour) const {
    return static_cast<int>(std::count(pixels.begin(), pixels.end(), colour));
  }
};

// As much of `window` as its top-level window shows.
Picture Capture(HWND window) {
  RECT control{};
  GetWindowRect(window, &control);
  RECT top{};
  GetWindowRect(GetAncestor(window, GA_ROOT), &top);
  RECT bounds{};
  IntersectRect(&bounds, &control, &top);
  Picture picture{bounds.right - bounds.left, bounds.bottom - bounds.top, {}};
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = picture.width;
  info.bmiHeader.biHeight = -picture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
  const HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, picture.width, picture.height, screen, bounds.left, bounds.top, SRCCOPY);
  GdiFlush();
  const auto* first = static_cast<const std::uint32_t*>(pixels);
  for (std::size_t i = 0; i < static_cast<std::size_t>(picture.width) * picture.height; ++i) {
    picture.pixels.push_back(first[i] & 0x00FFFFFF);
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return picture;
}

// With KORVANE_SCREENSHOTS set to a folder, the window as it shows on the screen goes to
// NAME.bmp there (scripts/screenshots-windows.sh turns them into the documentation's pictures).
void Snapshot(HWND window, const std::string& name, std::chrono::milliseconds settle = 300ms) {
  if (!TakingSnapshots()) {
    return;
  }
  const char* folder = std::getenv("KORVANE_SCREENSHOTS");
  std::this_thread::sleep_for(settle);  // let it paint
  const Picture picture = Capture(window);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = picture.width;
  info.biHeight = picture.height;  // rows from the bottom, as BMP files mostly store them
  info.biPlanes = 1;
  info.biBitCount = 32;
  info.biCompression = BI_RGB;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  const std::size_t size = picture.pixels.size() * 4;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + size);
  std::ofstream out(fs::path(folder) / (name + ".bmp"), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  for (int row = picture.height - 1; row >= 0; --row) {
    out.write(reinterpret_cast<const char*>(
                  &picture.pixels[static_cast<std::size_t>(row) * picture.width]),
              static_cast<std::streamsize>(picture.width) * 4);
  }
}

// The control that has the keyboard focus in `window`'s program.
HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                            : nullptr;
}

// The desktop's colours, as the Colors page of the control panel keeps them, changed while the
// object lives; programs started meanwhile draw with them.
class DesktopColours {
 public:
  explicit DesktopColours(const std::vector<std::pair<std::wstring, std::wstring>>& colours) {
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Colors", 0, nullptr, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
    for (const auto& [name, value] : colours) {
      wchar_t old[64] = {};
      DWORD size = sizeof old - sizeof(wchar_t);
      const bool had = RegQueryValueExW(key_, name.c_str(), nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
      saved_.push_back({name, had ? std::optional<std::wstring>(old) : std::nullopt});
      Set(name, value);
    }
  }
  DesktopColours(const DesktopColours&) = delete;
  DesktopColours& operator=(const DesktopColours&) = delete;
  ~DesktopColours() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        Set(name, *value);
      } else {
        RegDeleteValueW(key_, name.c_str());
      }
    }
    RegCloseKey(key_);
  }

 private:
  void Set(const std::wstring& name, const std::wstring& value) {
    RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

  HKEY key_ = nullptr;
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved_;
};

// Start, open, detect: the main window ready for "Data Update".
HWND ReadyForUpdate(const Demo& demo, const Firmware& firmware) {
  const HWND main = AwaitWindow(demo, app::text::kMainCaption);
  EXPECT_NE(main, nullptr);
  OpenFile(demo, main, firmware.Path());
  Click(main, app::MainControl::AutoDetectCmd);
  const HWND search = AwaitWindow(demo, app::text::kAutoDetectCaption);
  EXPECT_NE(search, nullptr);
  EXPECT_TRUE(WaitFor([&] { return Shown(search, app::AutoDetectControl::OKCmd); }));
  Click(search, app::AutoDetectControl::OKCmd);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }));
  EXPECT_TRUE(WaitFor([&] { return Enabled(main, app::MainControl::OK); }));
  return main;
}

TEST(WindowsGui, OpenDetectAndUpdateToSuccess) {
  const Firmware firmware;
  const Demo demo;
  const HWND main = AwaitWindow(demo, app::text::kMainCaption);
  ASSERT_NE(main, nullptr) << "the main window did not show";

  // As started.
  EXPECT_FALSE(Enabled(main, app::MainControl::OK));
  EXPECT_FALSE(Enabled(main, app::MainControl::ResetPIC));
  EXPECT_TRUE(Enabled(main, app::MainControl::AutoDetectCmd));
  EXPECT_EQ(Text(main, app::MainControl::Label1), app::text::kNotLoaded);
  EXPECT_EQ(Text(main, app::MainControl::Label0), app::text::kStartText);
  EXPECT_EQ(Text(main, app::MainControl::OK), app::text::kUpdateButton);
  EXPECT_EQ(Checked(main, app::MenuCommand::FLASH), 1);
  EXPECT_EQ(Checked(main, app::MenuCommand::EEDATA), 0);
  EXPECT_EQ(Checked(main, app::MenuCommand::CONFIG), 0);
  EXPECT_EQ(Checked(main, app::MenuCommand::USERID), 0);
  EXPECT_EQ(Checked(main, app::MenuCommand::Repeate), 1);
  // A check-mark item toggles its own mark.
  Menu(main, app::MenuCommand::EEDATA);
  EXPECT_TRUE(WaitFor([&] { return Checked(main, app::MenuCommand::EEDATA) == 1; }));

  OpenFile(demo, main, firmware.Path());
  const std::string shown = firmware.FolderName() + "\\firmware.hex";
  EXPECT_TRUE(WaitFor([&] { return Text(main, app::MainControl::Label1).ends_with(shown); }))
      << Text(main, app::MainControl::Label1);
  EXPECT_EQ(Text(main, app::MainControl::Label0), app::text::kFileOpenedText);
  EXPECT_FALSE(Enabled(main, app::MainControl::OK));

  Click(main, app::MainControl::AutoDetectCmd);
  const HWND search = AwaitWindow(demo, app::text::kAutoDetectCaption);
  ASSERT_NE(search, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Shown(search, app::AutoDetectControl::OKCmd); }));
  EXPECT_FALSE(Shown(search, app::AutoDetectControl::AbortCmd));
  EXPECT_FALSE(IsWindowVisible(main));
  EXPECT_EQ(Text(search, app::AutoDetectControl::Label1), app::text::kConnected);
  EXPECT_EQ(Text(search, app::AutoDetectControl::Label2).rfind("USB-Bootloader ", 0), 0u)
      << Text(search, app::AutoDetectControl::Label2);
  Snapshot(search, "windows-auto-detect");
  Click(search, app::AutoDetectControl::OKCmd);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }));
  EXPECT_TRUE(Enabled(main, app::MainControl::OK));
  EXPECT_TRUE(Enabled(main, app::MainControl::ResetPIC));
  EXPECT_EQ(Text(main, app::MainControl::Label0), app::text::kReadyText);
  // Tab goes round the three buttons in their designed order; the labels take no focus.
  const HWND autoDetect = ControlOf(main, app::MainControl::AutoDetectCmd);
  EXPECT_EQ(GetNextDlgTabItem(main, autoDetect, FALSE), ControlOf(main, app::MainControl::OK));
  EXPECT_EQ(GetNextDlgTabItem(main, ControlOf(main, app::MainControl::OK), FALSE),
            ControlOf(main, app::MainControl::ResetPIC));
  EXPECT_EQ(GetNextDlgTabItem(main, ControlOf(main, app::MainControl::ResetPIC), FALSE),
            autoDetect);
  Snapshot(main, "windows-main-window");

  Click(main, app::MainControl::OK);
  const HWND progress = AwaitWindow(demo, app::text::kUpdatingCaption);
  ASSERT_NE(progress, nullptr) << "no progress window";
  const HWND bar = ControlOf(progress, app::UpdatingControl::UpdatingBar);
  EXPECT_TRUE(WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > 0; }));
  if (std::getenv("KORVANE_SCREENSHOTS") != nullptr) {
    // One picture per stage colour while the bar is on its way.
    for (const auto& [stage, name] : {std::pair{"Erasing", "windows-updating-erase"},
                                      std::pair{"Writing", "windows-updating-write"},
                                      std::pair{"Verify", "windows-updating-verify"}}) {
      if (WaitFor(
              [&, stage = stage] {
                return Text(progress, app::UpdatingControl::Label2).rfind(stage, 0) == 0 &&
                       SendMessageW(bar, PBM_GETPOS, 0, 0) > 40;
              },
              30s)) {
        Snapshot(progress, name, 100ms);
      }
    }
  }
  const HWND result = AwaitWindow(demo, app::text::kCompleteCaption);
  ASSERT_NE(result, nullptr) << "no result window";
  // The outcome line is written once the window shows.
  WaitFor([&] { return !Text(result, app::CompleteControl::Label1).empty(); });
  EXPECT_EQ(Text(result, app::CompleteControl::Label1), "The update was successful.");
  EXPECT_FALSE(IsWindowVisible(main));
  Snapshot(result, "windows-updating-complete");

  Click(result, app::CompleteControl::OKCmd);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }));
  // The device still answers: "Reset PIC" again; "Data Update" waits for the next detection.
  EXPECT_TRUE(WaitFor([&] { return Enabled(main, app::MainControl::ResetPIC); }));
  EXPECT_FALSE(Enabled(main, app::MainControl::OK));
  // Back on the screen, the focus is on the first enabled button in tab order.
  EXPECT_TRUE(WaitFor([&] { return FocusOf(main) == autoDetect; })) << FocusOf(main);
  // "Reset PIC" clicked (it takes the focus) with Repeate checked disables itself: the focus moves
  // on rather than staying on a disabled button.
  PostMessageW(ControlOf(main, app::MainControl::ResetPIC), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitFor([&] { return !Enabled(main, app::MainControl::ResetPIC); }));
  EXPECT_TRUE(WaitFor([&] { return FocusOf(main) == autoDetect; })) << FocusOf(main);

  Menu(main, app::MenuCommand::Exit);
  EXPECT_EQ(demo.ExitCode(), 0);
}

TEST(WindowsGui, AbortEndsTheRunInFailure) {
  const Firmware firmware;
  const Demo demo;
  const HWND main = ReadyForUpdate(demo, firmware);
  ASSERT_NE(main, nullptr);
  Click(main, app::MainControl::OK);
  const HWND progress = AwaitWindow(demo, app::text::kUpdatingCaption);
  ASSERT_NE(progress, nullptr);
  const HWND bar = ControlOf(progress, app::UpdatingControl::UpdatingBar);
  ASSERT_TRUE(WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) > 0; }));
  EXPECT_EQ(Text(progress, app::UpdatingControl::AbortCmd), app::text::kAbortButton);
  Click(progress, app::UpdatingControl::AbortCmd);
  const HWND result = AwaitWindow(demo, app::text::kCompleteCaption);
  ASSERT_NE(result, nullptr);
  WaitFor([&] { return !Text(result, app::CompleteControl::Label1).empty(); });
  EXPECT_EQ(Text(result, app::CompleteControl::Label1), "The update was not successful.");
  // The result window's close box ends the program.
  PostMessageW(result, WM_CLOSE, 0, 0);
  EXPECT_EQ(demo.ExitCode(), 0);
}

TEST(WindowsGui, AboutShowsTheVersionAndEscBringsTheMainWindowBack) {
  const Demo demo;
  const HWND main = AwaitWindow(demo, app::text::kMainCaption);
  ASSERT_NE(main, nullptr);
  Menu(main, app::MenuCommand::About);
  const HWND about = AwaitWindow(demo, app::text::kAboutCaption);
  ASSERT_NE(about, nullptr);
  // Shown first, then the main window goes.
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(main) == FALSE; }));
  EXPECT_EQ(Text(about, app::InfoControl::Label1), app::text::kVersionLine);
  const std::string rights = Text(about, app::InfoControl::Label2);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  EXPECT_EQ(rights, std::string(app::text::kRightsNotice) + " " + std::to_string(now.wYear));
  EXPECT_EQ(Text(about, app::InfoControl::Label3), app::text::kShopAddress);
  Snapshot(about, "windows-about");
  // OK is the default button (Enter) and the cancel button (Esc).
  DWORD_PTR defaultButton = 0;
  SendMessageTimeoutW(about, DM_GETDEFID, 0, 0, SMTO_BLOCK, 5000, &defaultButton);
  EXPECT_EQ(HIWORD(defaultButton), DC_HASDEFID);
  EXPECT_EQ(LOWORD(defaultButton), kFirstControlId + static_cast<int>(app::InfoControl::cmdOK));
  // Esc, as the dialog keyboard handling sends it.
  PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(main) != FALSE; }));
  EXPECT_TRUE(WaitFor([&] { return VisibleWindow(demo, app::text::kAboutCaption) == nullptr; }));
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(demo.ExitCode(), 0);
}

// On a High Contrast desktop (white text on black), the labels without a designed colour are
// drawn in the desktop's text colour; the designed red of the status line stays.
TEST(WindowsGui, LabelsStayReadableOnAHighContrastDesktop) {
  const DesktopColours highContrast({{L"ButtonFace", L"0 0 0"}, {L"ButtonText", L"255 255 255"}});
  const Demo demo;
  const HWND main = AwaitWindow(demo, app::text::kMainCaption);
  ASSERT_NE(main, nullptr);
  constexpr std::uint32_t kWhite = 0xFFFFFF;
  constexpr std::uint32_t kRed = 0xFF0000;
  EXPECT_TRUE(WaitFor([&] {
    return Capture(ControlOf(main, app::MainControl::Label0)).Count(kWhite) > 50;
  })) << "the instruction text is not drawn in the desktop's text colour";
  EXPECT_GT(Capture(ControlOf(main, app::MainControl::Label1)).Count(kRed), 50);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(demo.ExitCode(), 0);
}

TEST(WindowsGui, SecondCopyIsRefused) {
  const Demo first;
  const HWND main = AwaitWindow(first, app::text::kMainCaption);
  ASSERT_NE(main, nullptr);

  const Demo second;
  const HWND box = AwaitWindow(second, app::text::kAlreadyRunningTitle, L"#32770");
  ASSERT_NE(box, nullptr) << "the second copy said nothing";
  // The box's text is its static control (0xFFFF in message boxes).
  wchar_t text[256] = {};
  GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 256);
  EXPECT_EQ(Utf8(text), app::text::kAlreadyRunning);
  EXPECT_EQ(VisibleWindow(second, app::text::kMainCaption), nullptr);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  EXPECT_EQ(second.ExitCode(), 0);
  EXPECT_TRUE(IsWindowVisible(main));

  Menu(main, app::MenuCommand::Exit);
  EXPECT_EQ(first.ExitCode(), 0);
}

}  // namespace
}  // namespace korvane::win32
