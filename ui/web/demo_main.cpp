// korvane-demo.js, the program of demo.html: the same windows on the built-in emulated bootloader
// device, with the delays of a real full-speed USB device and of PIC18 flash, so that a whole
// update can be tried without hardware.
#include <chrono>
#include <memory>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "ui/web/Frontend.h"
#include "ui/web/Page.h"

namespace {

constexpr int kReplugCheckMs = 500;
constexpr auto kReplugDelay = std::chrono::milliseconds(3000);

}  // namespace

int main() {
  auto library = std::make_unique<korvane::emulator::EmulatedUsbLibrary>();
  library->SetTiming(true);
  // The page's only thread must not block: the modelled delays let the browser run.
  library->SetSleepUntil(&korvane::web::page::SleepUntil);
  korvane::emulator::EmulatedUsbLibrary& device = *library;

  korvane::web::WebFrontend frontend;
  korvane::app::Application app(frontend, frontend, std::move(library));

  // After "Reset PIC" the emulated device runs its firmware; a few seconds later it is plugged in
  // again in bootloader mode, as a user would do with the real product, so that the demo can be
  // run again.
  std::chrono::steady_clock::time_point leftAt{};
  bool waiting = false;
  frontend.SetTimer(kReplugCheckMs, [&] {
    const auto now = std::chrono::steady_clock::now();
    if (device.Device().InBootloader()) {
      waiting = false;
    } else if (!waiting) {
      waiting = true;
      leftAt = now;
    } else if (now - leftAt >= kReplugDelay) {
      device.PlugIn();
      waiting = false;
    }
  });

  if (app.Start()) {
    frontend.Run();
  } else {
    frontend.Quit();  // refused: the page says that Korvane has ended
  }
  return 0;
}
