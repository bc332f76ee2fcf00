// korvane.exe: the windows on the device through vbmpusbapi.dll or, for a device bound to
// WinUSB, libusb; KORVANE_USB (auto, vbmpusbapi, winusb) chooses as korvane-cli's --usb does.
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/Application.h"
#include "app/Texts.h"
#include "link/SystemUsb.h"
#include "platform/Files.h"
#include "station/Bench.h"
#include "ui/win32/Frontend.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  korvane::win32::Frontend frontend(instance);
  const wchar_t* setting = _wgetenv(L"KORVANE_USB");
  const std::string text = setting != nullptr ? korvane::platform::Utf8FromWide(setting) : "auto";
  auto route = korvane::link::ParseUsbRoute(text.empty() ? "auto" : text);
  if (!route) {
    const std::wstring message = L"KORVANE_USB is \"" + std::wstring(setting) +
                                 L"\"; it takes auto, vbmpusbapi or winusb. Korvane chooses by "
                                 L"itself (auto).";
    MessageBoxW(nullptr, message.c_str(),
                korvane::platform::WideFromUtf8(korvane::app::text::kAppTitle).c_str(),
                MB_OK | MB_ICONWARNING);
    route = korvane::link::UsbRoute::Auto;
  }
  // Each packet takes the device's lock, so that no packet goes to a device another run holds.
  korvane::app::Application app(
      frontend, frontend,
      korvane::station::WithDeviceLocks(
          korvane::link::UsbChoice::Create(*route, korvane::link::SystemUsb())->MakeLibrary()));
  if (!app.Start()) {
    return 0;
  }
  return frontend.Run();
}
