#include "ui/QtPlatform.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>

namespace korvane::ui {

QtPlatform::QtPlatform(QString lockPath) : lockPath_(std::move(lockPath)) {}

void QtPlatform::ShowMessageBox(QWidget* owner, const QString& text, const QString& title,
                                MessageIcon icon) {
  QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, title,
                  text, QMessageBox::Ok, owner);
  box.exec();
}

QString QtPlatform::GetOpenFileName(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& directory) {
  // The filter's entry is shown by its description alone; its patterns stay out of sight.
  return QFileDialog::getOpenFileName(owner, title, directory, filter, nullptr,
                                      QFileDialog::HideNameFilterDetails);
}

void QtPlatform::OpenUrl(QWidget* /*owner*/, const QUrl& url) {
  QDesktopServices::openUrl(url);
}

bool QtPlatform::ClaimSingleInstance() {
  if (lock_ && lock_->isLocked()) {
    return true;
  }
  QDir().mkpath(QFileInfo(lockPath_).absolutePath());
  lock_ = std::make_unique<QLockFile>(lockPath_);
  // A running copy keeps its claim however long it runs: the lock only goes stale when the
  // process that wrote it is gone (QLockFile checks the process id it recorded).
  lock_->setStaleLockTime(0);
  return lock_->tryLock(0);
}

QString QtPlatform::DefaultLockPath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) {
    // The temporary folder is shared by every user: the lock carries the user's name there.
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("korvane-%1.lock").arg(qEnvironmentVariable("USER")));
  }
  return QDir(dir).filePath(QStringLiteral("korvane.lock"));
}

}  // namespace korvane::ui
