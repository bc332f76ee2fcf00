// korvane: the windows on real hardware through libusb. Takes no arguments.
#include <QApplication>
#include <memory>

#include "link/LibUsbLibrary.h"
#include "ui/Application.h"
#include "ui/QtPlatform.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvane"));
  // The main window is hidden while another window stands in for it; the application ends when
  // it unloads its windows, not when the last one closes.
  QApplication::setQuitOnLastWindowClosed(false);

  korvane::ui::QtPlatform platform;
  korvane::ui::Application app(platform, std::make_unique<korvane::link::LibUsbLibrary>());
  QObject::connect(&app, &korvane::ui::Application::ended, &qapp, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  if (!app.Start()) {
    return 0;
  }
  return QApplication::exec();
}
