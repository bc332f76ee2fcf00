#pragma once

// What the window tests share: a desktop that answers dialogs and records what the windows
// asked of it, HEX files written for the occasion, and the application on the emulated device
// in the Qt windows.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QList>
#include <QScreen>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Application.h"
#include "emulator/EmulatedUsbLibrary.h"
#include "ui/qt/Geometry.h"
#include "ui/qt/QtForms.h"

namespace korvane::ui::test {

struct ShownMessage {
  QString text;
  QString title;
  app::MessageIcon icon = app::MessageIcon::None;
};

class TestDesktop final : public app::Desktop {
 public:
  void ShowMessageBox(app::Window*, std::string_view text, std::string_view title,
                      app::MessageIcon icon) override {
    messages.append({ToQString(text), ToQString(title), icon});
  }
  std::string GetOpenFileName(app::Window*, std::string_view, std::string_view, std::string_view,
                              std::string_view) override {
    ++dialogs;
    return answers.isEmpty() ? std::string() : answers.takeFirst().toStdString();
  }
  void OpenAddress(app::Window*, std::string_view address) override {
    addresses.append(ToQString(address));
  }
  app::InstanceClaim ClaimSingleInstance() override { return {}; }
  void ProcessPendingEvents() override { QCoreApplication::processEvents(); }
  int CurrentYear() override { return 2031; }
  app::ScreenRect WorkArea() override {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    return {area.x(), area.y(), area.width(), area.height()};
  }
  void Quit() override { ++quits; }

  QList<ShownMessage> messages;
  int dialogs = 0;
  QStringList answers;  // what the next open dialogs return; none left means cancel
  QStringList addresses;
  int quits = 0;
};

// Intel HEX text (CR LF line ends) with program bytes from 0x800 to `lastFlash` and, when asked,
// the whole EEPROM. Byte values follow `seed` so two files differ.
inline QByteArray HexText(int lastFlash, bool eeprom, int seed = 1) {
  QByteArray text;
  const auto record = [&text](int type, int offset, const QByteArray& data) {
    QByteArray r;
    r.append(char(data.size())).append(char(offset >> 8)).append(char(offset & 0xFF));
    r.append(char(type)).append(data);
    std::uint8_t sum = 0;
    for (char c : r) {
      sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    }
    r.append(char(static_cast<std::uint8_t>(-sum)));
    text += ':' + r.toHex().toUpper() + "\r\n";
  };
  for (int address = 0x800; address <= lastFlash; address += 16) {
    QByteArray data;
    for (int i = 0; i < 16 && address + i <= lastFlash; ++i) {
      data.append(char((address + i) * 3 + seed));
    }
    record(0, address, data);
  }
  if (eeprom) {
    record(4, 0, QByteArray::fromHex("00F0"));
    for (int offset = 0; offset < 256; offset += 16) {
      QByteArray data;
      for (int i = 0; i < 16; ++i) {
        data.append(char(offset + i + seed));
      }
      record(0, offset, data);
    }
  }
  record(1, 0, {});
  return text;
}

inline QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& data) {
  const QString path = QDir(dir.path()).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
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

  explicit Fixture(app::Desktop* otherDesktop = nullptr) {
    auto library = std::make_unique<emulator::EmulatedUsbLibrary>();
    device = library.get();
    app = std::make_unique<app::Application>(otherDesktop != nullptr ? *otherDesktop : desktop,
                                             forms, std::move(library));
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
    Main()->mnu_Open->trigger();
  }
  // Auto Detect... and the search window's OK.
  void Detect() {
    Main()->AutoDetectCmd->click();
    AutoDetect()->OKCmd->click();
  }
};

}  // namespace korvane::ui::test
