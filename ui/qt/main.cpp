// korvane: the windows on real hardware through libusb. Takes no arguments.
#include <QApplication>
#include <memory>

#include "app/Application.h"
#include "link/LibUsbLibrary.h"
#include "ui/qt/QtDesktop.h"
#include "ui/qt/QtForms.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("korvane"));
  // The main window is hidden while another window stands in for it; the application ends when
  // it unloads its windows, not when the last one closes.
  QApplication::setQuitOnLastWindowClosed(false);

  korvane::ui::QtDesktop desktop;
  korvane::ui::QtForms forms;
  korvane::app::Application app(desktop, forms, std::make_unique<korvane::link::LibUsbLibrary>());
  QObject::connect(&desktop, &korvane::ui::QtDesktop::ended, &qapp, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  if (!app.Start()) {
    return 0;
  }
  return QApplication::exec();
}
