// korvane-demo.exe: the same windows on the built-in emulated bootloader device, with the delays
// of a real full-speed USB device and of PIC18 flash, so that a whole update can be tried
// without hardware.
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "ui/win32/Frontend.h"
#include "ui/win32/WinText.h"

namespace {

// The example update files: in the examples folder beside the program (as unpacked from the
// download), or in the source tree it was built from.
std::string ExamplesDirectory() {
  std::wstring program(MAX_PATH, L'\0');
  program.resize(GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
  std::error_code error;
  const std::filesystem::path beside = std::filesystem::path(program).parent_path() / L"examples";
  if (std::filesystem::is_directory(beside, error)) {
    return korvane::win32::Utf8(beside.wstring());
  }
#ifdef KORVANE_SOURCE_DIR
  const std::filesystem::path source = std::filesystem::path(KORVANE_SOURCE_DIR) / "examples";
  if (std::filesystem::is_directory(source, error)) {
    return korvane::win32::Utf8(std::filesystem::absolute(source, error).wstring());
  }
#endif
  return {};
}

constexpr UINT kReplugCheckMs = 500;
constexpr UINT kReplugDelayMs = 3000;

korvane::emulator::EmulatedUsbLibrary* gDevice = nullptr;

// After "Reset PIC" the emulated device runs its firmware; a few seconds later it is plugged in
// again in bootloader mode, as a user would do with the real product, so that the demo can be
// run again.
void CALLBACK CheckReplug(HWND, UINT, UINT_PTR, DWORD now) {
  static DWORD leftAt = 0;
  static bool waiting = false;
  if (gDevice == nullptr || gDevice->Device().InBootloader()) {
    waiting = false;
    return;
  }
  if (!waiting) {
    waiting = true;
    leftAt = now;
  } else if (now - leftAt >= kReplugDelayMs) {
    gDevice->PlugIn();
    waiting = false;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  auto library = std::make_unique<korvane::emulator::EmulatedUsbLibrary>();
  library->SetTiming(true);
  gDevice = library.get();

  korvane::win32::Frontend frontend(instance);
  korvane::app::Application app(frontend, frontend, std::move(library), ExamplesDirectory());
  const UINT_PTR timer = SetTimer(nullptr, 0, kReplugCheckMs, &CheckReplug);
  int result = 0;
  if (app.Start()) {
    result = frontend.Run();
  }
  KillTimer(nullptr, timer);
  gDevice = nullptr;
  return result;
}
