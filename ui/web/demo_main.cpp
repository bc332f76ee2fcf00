// korvane-demo.js, the program of demo.html: the same windows on the built-in emulated bootloader
// device, with the delays of a real full-speed USB device and of PIC18 flash, so that a whole
// update can be tried without hardware.
#include <memory>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "emulator/Replug.h"
#include "ui/web/Frontend.h"
#include "ui/web/Page.h"

int main() {
  auto library = std::make_unique<korvane::emulator::EmulatedUsbLibrary>();
  library->SetTiming(true);
  // The page's only thread must not block: the modelled delays let the browser run.
  library->SetSleepUntil(&korvane::web::page::SleepUntil);
  korvane::emulator::Replug replug(*library);

  korvane::web::WebFrontend frontend;
  korvane::app::Application app(frontend, frontend, std::move(library));

  // After "Reset PIC" the emulated device comes back in bootloader mode a few seconds later.
  frontend.SetTimer(static_cast<int>(korvane::emulator::Replug::kTickInterval.count()),
                    [&replug] { replug.Tick(); });

  if (app.Start()) {
    frontend.Run();
  } else {
    frontend.Quit();  // refused: the page says that Korvane has ended
  }
  return 0;
}
