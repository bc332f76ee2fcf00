// korvane-screenshots DIR: shows each window on the emulated device and saves a picture of it:
// main-window.png, auto-detect.png, updating.png, updating-complete.png and about.png.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "ui/qt/QtDesktop.h"
#include "ui/qt/QtForms.h"

namespace {

using namespace korvane;

// Answers the open dialog with a prepared file and prints messages; the rest is the desktop's.
class ScriptedDesktop final : public app::Desktop {
 public:
  explicit ScriptedDesktop(std::string file) : file_(std::move(file)) {}
  void ShowMessageBox(app::Window*, std::string_view text, std::string_view,
                      app::MessageIcon) override {
    std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
  }
  std::string GetOpenFileName(app::Window*, std::string_view, std::string_view, std::string_view,
                              std::string_view) override {
    return file_;
  }
  void OpenAddress(app::Window*, std::string_view) override {}
  app::InstanceClaim ClaimSingleInstance() override { return {}; }
  void ProcessPendingEvents() override { qt_.ProcessPendingEvents(); }
  int CurrentYear() override { return qt_.CurrentYear(); }
  app::ScreenRect WorkArea() override { return qt_.WorkArea(); }
  void Quit() override {}

 private:
  std::string file_;
  ui::QtDesktop qt_;
};

// A small firmware image: program flash 0x800 to 0x3FFF.
QByteArray DemoHex() {
  QByteArray text = ":020000040000FA\r\n";
  for (int address = 0x800; address < 0x4000; address += 16) {
    QByteArray record;
    record.append(char(16)).append(char(address >> 8)).append(char(address & 0xFF)).append('\0');
    for (int i = 0; i < 16; ++i) {
      record.append(char((address + i) * 7));
    }
    std::uint8_t sum = 0;
    for (char c : record) {
      sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    }
    record.append(char(-sum));
    text += ':' + record.toHex().toUpper() + "\r\n";
  }
  return text + ":00000001FF\r\n";
}

// The window's client area under a plain title bar with its icon, caption and close box, as a
// desktop would frame it (the virtual display has no window manager to draw one).
QImage Framed(QWidget* window) {
  const QPixmap client = window->grab();
  const int bar = 24;
  const int border = 1;
  QImage image(client.width() + 2 * border, client.height() + bar + border, QImage::Format_ARGB32);
  image.fill(QColor(0x3c, 0x3f, 0x45));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  window->windowIcon().paint(&painter, QRect(6, 4, 16, 16));
  QFont font = QApplication::font();
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(28, 0, image.width() - 60, bar), Qt::AlignVCenter | Qt::AlignLeft,
                   window->windowTitle());
  const QRect close(image.width() - 22, 5, 14, 14);
  painter.setPen(QPen(Qt::white, 1.6));
  painter.drawLine(close.topLeft() + QPoint(3, 3), close.bottomRight() - QPoint(3, 3));
  painter.drawLine(close.topRight() + QPoint(-3, 3), close.bottomLeft() + QPoint(3, -3));
  painter.drawPixmap(border, bar, client);
  return image;
}

bool Save(QWidget* window, const QDir& dir, const QString& name) {
  QApplication::processEvents();
  const bool ok = Framed(window).save(dir.filePath(name));
  std::fprintf(stderr, "%s %s\n", ok ? "saved" : "could not save", qPrintable(name));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  if (argc != 2) {
    std::fprintf(stderr, "usage: korvane-screenshots DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QTemporaryDir work;
  const QString hexPath = QDir(work.path()).filePath(QStringLiteral("firmware.hex"));
  QFile hex(hexPath);
  if (!hex.open(QIODevice::WriteOnly) || hex.write(DemoHex()) < 0) {
    return 1;
  }
  hex.close();

  ScriptedDesktop desktop(hexPath.toStdString());
  ui::QtForms forms;
  app::Application app(desktop, forms, std::make_unique<emulator::EmulatedUsbLibrary>());
  if (!app.Start()) {
    return 1;
  }
  ui::MainForm* mainForm = ui::QtWindow(app.Main());
  bool ok = Save(mainForm, out, QStringLiteral("main-window.png"));

  mainForm->Item(app::MenuCommand::Open)->trigger();
  mainForm->Button(app::MainControl::AutoDetectCmd)->click();
  ok &= Save(ui::QtWindow(app.AutoDetect()), out, QStringLiteral("auto-detect.png"));
  ui::QtWindow(app.AutoDetect())->Button(app::AutoDetectControl::OKCmd)->click();

  // The progress window is taken while it writes program flash, from inside the run.
  bool progressSaved = false;
  QTimer watch;
  watch.setInterval(0);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    ui::UpdatingForm* form = ui::QtWindow(app.Updating());
    if (!progressSaved && form &&
        form->Label(app::UpdatingControl::Label2)->text() ==
            QStringLiteral("Writing program data...") &&
        form->BarValue() > 45) {
      progressSaved = Save(form, out, QStringLiteral("updating.png"));
    }
  });
  watch.start();
  mainForm->Button(app::MainControl::OK)->click();
  watch.stop();
  ok &= progressSaved;
  ok &= Save(ui::QtWindow(app.UpdatingComplete()), out, QStringLiteral("updating-complete.png"));
  ui::QtWindow(app.UpdatingComplete())->Button(app::CompleteControl::OKCmd)->click();

  mainForm->Item(app::MenuCommand::About)->trigger();
  ok &= Save(ui::QtWindow(app.Info()), out, QStringLiteral("about.png"));
  std::fprintf(stderr, "window font: %s %.1f pt\n", qPrintable(forms.WindowFont().family()),
               forms.WindowFont().pointSizeF());
  return ok ? 0 : 1;
}
