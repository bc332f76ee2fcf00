// korvane.js, the program of index.html: the windows on the page, and the real device through
// WebUSB.
#include <memory>

#include "app/Application.h"
#include "link/WebUsbLibrary.h"
#include "ui/web/Frontend.h"

int main() {
  auto library = std::make_unique<korvane::link::WebUsbLibrary>();
  korvane::link::WebUsbLibrary& usb = *library;

  korvane::web::WebFrontend frontend;
  // The click on "Auto Detect..." is the gesture that lets the browser show its device chooser.
  frontend.SetSearchGesture([&usb](const std::function<void()>& search) {
    const korvane::link::WebUsbLibrary::ChooserOffer offer(usb);
    search();
  });
  korvane::app::Application app(frontend, frontend, std::move(library));
  if (app.Start()) {
    frontend.Run();
  } else {
    frontend.Quit();  // refused: the page says that Korvane has ended
  }
  return 0;
}
