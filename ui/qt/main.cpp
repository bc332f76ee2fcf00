// korvane: the windows on real hardware through libusb. Takes no arguments but --help and
// --version (and Qt's own).
#include <QApplication>
#include <iostream>
#include <memory>

#include "app/Application.h"
#include "link/LibUsbLibrary.h"
#include "station/Bench.h"
#include "ui/qt/CommandLine.h"
#include "ui/qt/QtDesktop.h"
#include "ui/qt/QtForms.h"

int main(int argc, char** argv) {
  if (const auto answered = korvane::ui::AnswerInfoOptions(
          {argv, static_cast<std::size_t>(argc)},
          {"korvane",
           "Korvane brings new firmware into a PIC18 product through its USB bootloader: the "
           "windows, for a real device."},
          std::cout)) {
    return *answered;
  }
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvane"));
  // The main window is hidden while another window stands in for it; the application ends when
  // it unloads its windows, not when the last one closes.
  QApplication::setQuitOnLastWindowClosed(false);

  korvane::ui::QtDesktop desktop;
  korvane::ui::QtForms forms;
  // Each packet takes the device's lock, so that no packet goes to a device another run holds.
  korvane::app::Application app(
      desktop, forms,
      korvane::station::WithDeviceLocks(std::make_unique<korvane::link::LibUsbLibrary>()));
  QObject::connect(&desktop, &korvane::ui::QtDesktop::ended, &qapp, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  if (!app.Start()) {
    return 0;
  }
  return QApplication::exec();
}
