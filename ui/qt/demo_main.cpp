// korvane-demo: the same windows on the built-in emulated bootloader device, with the delays of
// a real full-speed USB device and of PIC18 flash, so that a whole update can be tried without
// hardware.
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <iostream>
#include <memory>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "emulator/Replug.h"
#include "ui/qt/CommandLine.h"
#include "ui/qt/QtDesktop.h"
#include "ui/qt/QtForms.h"

namespace {

// The example update files: installed beside the program, or in the source tree it was built
// from.
QString ExamplesDirectory() {
  const QStringList candidates = {
      QDir(QCoreApplication::applicationDirPath())
          .filePath(QStringLiteral("../share/korvane/examples")),
      QStringLiteral(KORVANE_SOURCE_DIR "/examples"),
  };
  for (const QString& dir : candidates) {
    if (QDir(dir).exists()) {
      return QDir(dir).canonicalPath();
    }
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto answered = korvane::ui::AnswerInfoOptions(
          {argv, static_cast<std::size_t>(argc)},
          {"korvane-demo",
           "The Korvane windows on a built-in emulated bootloader device, with the timing of "
           "real hardware: try a whole update without one."},
          std::cout)) {
    return *answered;
  }
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvane-demo"));
  QApplication::setQuitOnLastWindowClosed(false);

  auto library = std::make_unique<korvane::emulator::EmulatedUsbLibrary>();
  library->SetTiming(true);
  korvane::emulator::Replug replug(*library);

  korvane::ui::QtDesktop desktop;
  korvane::ui::QtForms forms;
  korvane::app::Application app(desktop, forms, std::move(library),
                                ExamplesDirectory().toStdString());
  QObject::connect(&desktop, &korvane::ui::QtDesktop::ended, &qapp, &QCoreApplication::quit,
                   Qt::QueuedConnection);

  // After "Reset PIC" the emulated device comes back in bootloader mode a few seconds later.
  QTimer replugTimer;
  replugTimer.setInterval(korvane::emulator::Replug::kTickInterval);
  QObject::connect(&replugTimer, &QTimer::timeout, [&replug] { replug.Tick(); });
  replugTimer.start();

  if (!app.Start()) {
    return 0;
  }
  return QApplication::exec();
}
