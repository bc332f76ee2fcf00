#pragma once

// What the window tests share: a platform that answers dialogs and records what the windows
// asked of it, HEX files written for the occasion, and an application on the emulated device.

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "emulator/EmulatedUsbLibrary.h"
#include "ui/Application.h"
#include "ui/Platform.h"

namespace korvane::ui::test {

struct ShownMessage {
  QString text;
  QString title;
  MessageIcon icon = MessageIcon::None;
};

struct OpenDialog {
  QString title;
  QString filter;
  QString directory;
};

class TestPlatform final : public Platform {
 public:
  void ShowMessageBox(QWidget*, const QString& text, const QString& title,
                      MessageIcon icon) override {
    messages.append({text, title, icon});
  }
  QString GetOpenFileName(QWidget*, const QString& title, const QString& filter,
                          const QString& directory) override {
    dialogs.append({title, filter, directory});
    return answers.isEmpty() ? QString() : answers.takeFirst();
  }
  void OpenUrl(QWidget*, const QUrl& url) override { urls.append(url); }
  bool ClaimSingleInstance() override { return claimGranted; }

  QList<ShownMessage> messages;
  QList<OpenDialog> dialogs;
  QStringList answers;  // what the next open dialogs return; none left means cancel
  QList<QUrl> urls;
  bool claimGranted = true;
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

// An application on the emulated device (timing model off), started.
struct Fixture {
  TestPlatform platform;
  emulator::EmulatedUsbLibrary* device = nullptr;
  std::unique_ptr<Application> app;

  Fixture() {
    auto library = std::make_unique<emulator::EmulatedUsbLibrary>();
    device = library.get();
    device->SetRecording(true);
    app = std::make_unique<Application>(platform, std::move(library));
    app->Start();
  }

  MainForm& Main() const { return *app->Main(); }

  // Opens `path` through File > Open...
  void Open(const QString& path) {
    platform.answers.append(path);
    app->Main()->mnu_Open->trigger();
  }
  // Auto Detect... and the search window's OK.
  void Detect() {
    app->Main()->AutoDetectCmd->click();
    app->AutoDetect()->OKCmd->click();
  }
};

}  // namespace korvane::ui::test
