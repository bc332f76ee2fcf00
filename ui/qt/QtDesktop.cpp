#include "ui/qt/QtDesktop.h"

#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>

#include "ui/qt/Geometry.h"

namespace korvane::ui {

namespace {

// The forms are Qt windows that also implement the handlers' view of them.
QWidget* OwnerWidget(app::Window* owner) {
  return dynamic_cast<QWidget*>(owner);
}

}  // namespace

QtDesktop::QtDesktop(QString lockPath, QObject* parent)
    : QObject(parent), lockPath_(std::move(lockPath)) {}

void QtDesktop::ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                               app::MessageIcon icon) {
  QMessageBox box(icon == app::MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                  ToQString(title), ToQString(text), QMessageBox::Ok, OwnerWidget(owner));
  // File names and device texts are shown as written, never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

std::string QtDesktop::GetOpenFileName(app::Window* owner, std::string_view title,
                                       std::string_view filterName, std::string_view patterns,
                                       std::string_view directory) {
  // One entry, shown by its description alone; Qt separates the patterns with blanks.
  const QString filter = QStringLiteral("%1 (%2)").arg(
      ToQString(filterName), ToQString(patterns).replace(QLatin1Char(';'), QLatin1Char(' ')));
  return QFileDialog::getOpenFileName(OwnerWidget(owner), ToQString(title), ToQString(directory),
                                      filter, nullptr, QFileDialog::HideNameFilterDetails)
      .toStdString();
}

void QtDesktop::OpenAddress(app::Window* /*owner*/, std::string_view address) {
  QDesktopServices::openUrl(QUrl(ToQString(address)));
}

app::InstanceClaim QtDesktop::ClaimSingleInstance() {
  using Result = app::InstanceClaim::Result;
  if (lock_ && lock_->isLocked()) {
    return {Result::Granted, {}};
  }
  const QString folder = QFileInfo(lockPath_).absolutePath();
  if (!QDir().mkpath(folder)) {
    return {Result::Failed, "cannot create the folder " + folder.toStdString()};
  }
  lock_ = std::make_unique<QLockFile>(lockPath_);
  // A running copy keeps its claim however long it runs: the lock only goes stale when the
  // process that wrote it is gone (QLockFile checks the process id it recorded).
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    return {Result::Granted, {}};
  }
  switch (lock_->error()) {
    case QLockFile::LockFailedError:
      return {Result::HeldByAnother, {}};
    case QLockFile::PermissionError:
      return {Result::Failed, "cannot write " + lockPath_.toStdString() + " (permission denied)"};
    default:
      return {Result::Failed, "cannot write " + lockPath_.toStdString()};
  }
}

void QtDesktop::ProcessPendingEvents() {
  QCoreApplication::processEvents();
}

int QtDesktop::CurrentYear() {
  return QDate::currentDate().year();
}

app::ScreenRect QtDesktop::WorkArea() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    return {area.x(), area.y(), area.width(), area.height()};
  }
  return {};
}

void QtDesktop::Quit() {
  emit ended();
}

QString QtDesktop::DefaultLockPath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) {
    // The temporary folder is shared by every user: the lock carries the user's name there.
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("korvane-%1.lock").arg(qEnvironmentVariable("USER")));
  }
  return QDir(dir).filePath(QStringLiteral("korvane.lock"));
}

}  // namespace korvane::ui
