#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <array>

#include "app/Forms.h"
#include "ui/qt/QtForm.h"

class QCloseEvent;

namespace korvane::ui {

// The start-up window: menus, the three buttons at the right, the instruction label Label0 and
// the status line Label1.
class MainForm final : public QtForm<QMainWindow, app::MainView> {
  Q_OBJECT
 public:
  // `font` is the windows' font; the window's height follows from its menu bar at that font.
  explicit MainForm(const QIcon& icon, const QFont& font, QWidget* parent = nullptr);

  void SetChecked(app::MenuItem item, bool checked) override;
  // The menu item of a check mark.
  QAction* Item(app::MenuItem item) const { return items_[static_cast<std::size_t>(item)]; }

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
  std::array<QAction*, app::kMenuItemCount> items_{};
};

}  // namespace korvane::ui
