// korvane-demo.exe: the same windows on the built-in emulated bootloader device, with the delays
// of a real full-speed USB device and of PIC18 flash, so that a whole update can be tried
// without hardware.
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "emulator/Replug.h"
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

korvane::emulator::Replug* gReplug = nullptr;

// After "Reset PIC" the emulated device comes back in bootloader mode a few seconds later.
void CALLBACK TickReplug(HWND, UINT, UINT_PTR, DWORD) {
  if (gReplug != nullptr) {
    gReplug->Tick();
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  auto library = std::make_unique<korvane::emulator::EmulatedUsbLibrary>();
  library->SetTiming(true);
  korvane::emulator::Replug replug(*library);
  gReplug = &replug;

  korvane::win32::Frontend frontend(instance);
  korvane::app::Application app(frontend, frontend, std::move(library), ExamplesDirectory());
  const UINT_PTR timer = SetTimer(
      nullptr, 0, static_cast<UINT>(korvane::emulator::Replug::kTickInterval.count()), &TickReplug);
  int result = 0;
  if (app.Start()) {
    result = frontend.Run();
  }
  KillTimer(nullptr, timer);
  gReplug = nullptr;
  return result;
}
