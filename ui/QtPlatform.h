#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

#include "ui/Platform.h"

namespace korvane::ui {

// The desktop services through Qt: QMessageBox, QFileDialog, QDesktopServices and a lock file.
class QtPlatform final : public Platform {
 public:
  // `lockPath` is the single-instance lock file; DefaultLockPath() gives the per-user one.
  explicit QtPlatform(QString lockPath = DefaultLockPath());

  void ShowMessageBox(QWidget* owner, const QString& text, const QString& title,
                      MessageIcon icon) override;
  QString GetOpenFileName(QWidget* owner, const QString& title, const QString& filter,
                          const QString& directory) override;
  void OpenUrl(QWidget* owner, const QUrl& url) override;
  bool ClaimSingleInstance() override;

  // korvane.lock in the user's runtime folder (or the temporary folder where there is none).
  // korvane and korvane-demo share it: both show the same caption, and two copies side by side
  // could not be told apart.
  static QString DefaultLockPath();

 private:
  QString lockPath_;
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace korvane::ui
