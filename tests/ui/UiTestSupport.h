#pragma once

// What the window tests share: a desktop that answers dialogs and records what the windows
// asked of it (or hands boxes, the claim and event passes to the real Qt desktop), update files
// written for the occasion, and the application on the emulated device in the Qt windows.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QList>
#include <QScreen>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "tests/cli/HexWriter.h"
#include "ui/qt/Geometry.h"
#include "ui/qt/QtDesktop.h"
#include "ui/qt/QtForms.h"

namespace korvane::ui::test {

struct ShownMessage {
  QString text;
  QString title;
  app::MessageIcon icon = app::MessageIcon::None;
};

class TestDesktop final : public app::Desktop {
 public:
  void ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                      app::MessageIcon icon) override {
    messages.append({ToQString(text), ToQString(title), icon});
    if (real != nullptr) {
      real->ShowMessageBox(owner, text, title, icon);
    }
  }
  std::string GetOpenFileName(app::Window*, std::string_view, std::string_view, std::string_view,
                              std::string_view) override {
    ++dialogs;
    return answers.isEmpty() ? std::string() : answers.takeFirst().toStdString();
  }
  void OpenAddress(app::Window*, std::string_view address) override {
    addresses.append(ToQString(address));
  }
  app::InstanceClaim ClaimSingleInstance() override {
    return real != nullptr ? real->ClaimSingleInstance() : app::InstanceClaim{};
  }
  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }
  int CurrentYear() override { return 2031; }
  app::ScreenRect WorkArea() override {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    return {area.x(), area.y(), area.width(), area.height()};
  }
  void Quit() override { ++quits; }

  QtDesktop* real = nullptr;  // when set: real boxes and the real single-instance claim
  QList<ShownMessage> messages;
  int dialogs = 0;
  QStringList answers;  // what the next open dialogs return; none left means cancel
  QStringList addresses;
  int quits = 0;
};

inline QString WriteFile(const QTemporaryDir& dir, const QString& name, const std::string& data) {
  const QString path = QDir(dir.path()).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(data.data(), static_cast<qint64>(data.size())) != qint64(data.size())) {
    return {};
  }
  return path;
}

// The application on the emulated device (timing model off) in the Qt windows, started.
struct Fixture {
  TestDesktop desktop;
  QtForms forms;
  emulator::EmulatedUsbLibrary* device = nullptr;
  std::unique_ptr<app::Application> app;

  explicit Fixture(QtDesktop* real = nullptr) {
    desktop.real = real;
    auto library = std::make_unique<emulator::EmulatedUsbLibrary>();
    device = library.get();
    app = std::make_unique<app::Application>(desktop, forms, std::move(library));
    app->Start();
  }
  ~Fixture() {
    app.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;

  MainForm* Main() const { return QtWindow(app->Main()); }
  AutoDetectForm* AutoDetect() const { return QtWindow(app->AutoDetect()); }
  UpdatingForm* Updating() const { return QtWindow(app->Updating()); }
  UpdatingCompleteForm* Complete() const { return QtWindow(app->UpdatingComplete()); }
  InfoForm* Info() const { return QtWindow(app->Info()); }

  // Opens `path` through File > Open...
  void Open(const QString& path) {
    desktop.answers.append(path);
    Main()->Item(app::MenuCommand::Open)->trigger();
  }
  // Auto Detect... and the search window's OK.
  void Detect() {
    Main()->Button(app::MainControl::AutoDetectCmd)->click();
    AutoDetect()->Button(app::AutoDetectControl::OKCmd)->click();
  }
};

}  // namespace korvane::ui::test
