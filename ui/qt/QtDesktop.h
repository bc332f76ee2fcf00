#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

#include "app/Desktop.h"

namespace korvane::ui {

// The desktop services through Qt: QMessageBox, QFileDialog, QDesktopServices, a lock file for
// the single running copy, the event loop.
class QtDesktop final : public QObject, public app::Desktop {
  Q_OBJECT
 public:
  // `lockPath` is the single-instance lock file; DefaultLockPath() gives the per-user one.
  explicit QtDesktop(QString lockPath = DefaultLockPath(), QObject* parent = nullptr);

  void ShowMessageBox(app::Window* owner, std::string_view text, std::string_view title,
                      app::MessageIcon icon) override;
  std::string GetOpenFileName(app::Window* owner, std::string_view title,
                              std::string_view filterName, std::string_view patterns,
                              std::string_view directory) override;
  void OpenAddress(app::Window* owner, std::string_view address) override;
  app::InstanceClaim ClaimSingleInstance() override;
  void ProcessPendingEvents() override;
  int CurrentYear() override;
  app::ScreenRect WorkArea() override;
  void Quit() override;

  // korvane.lock in the user's runtime folder (or the temporary folder where there is none).
  // korvane and korvane-demo share it: both show the same caption, and two copies side by side
  // could not be told apart.
  static QString DefaultLockPath();

 signals:
  // Every window is unloaded: the program ends.
  void ended();

 private:
  QString lockPath_;
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace korvane::ui
