#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>

#include "image/UpdateFileLoader.h"
#include "ui/Platform.h"

class QCloseEvent;

namespace korvane::ui {

// The start-up window: menus, the three buttons at the right, the instruction label Label0 and
// the status line Label1. The application object owns its handlers; this window also shows what
// the update file loader reports.
class MainForm final : public QMainWindow, public image::LoaderHost {
  Q_OBJECT
 public:
  // `font` is the windows' font; the window's height follows from its menu bar at that font.
  explicit MainForm(Platform& platform, const QIcon& icon, const QFont& font,
                    QWidget* parent = nullptr);

  // LoaderHost
  void SetStatusLabel(std::string_view text, std::uint32_t colour, bool bold) override;
  void SetStatusText(std::string_view text) override;
  void ShowMessage(std::string_view text) override;
  void ProcessPendingEvents() override;

  QLabel* Label0 = nullptr;
  QLabel* Label1 = nullptr;
  QPushButton* OK = nullptr;
  QPushButton* AutoDetectCmd = nullptr;
  QPushButton* ResetPIC = nullptr;

  QMenu* mnu_File = nullptr;
  QAction* mnu_Open = nullptr;
  QAction* mnu_Exit = nullptr;
  QMenu* mnu_Menu = nullptr;
  QAction* mnu_FLASH = nullptr;
  QAction* mnu_EEDATA = nullptr;
  QAction* mnu_CONFIG = nullptr;
  QAction* mnu_USERID = nullptr;
  QAction* mnu_Repeate = nullptr;
  QAction* mnu_About = nullptr;

 signals:
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  Platform& platform_;
};

}  // namespace korvane::ui
