#pragma once

#include <QAction>
#include <QMainWindow>
#include <array>

#include "app/Forms.h"
#include "ui/qt/QtForm.h"

class QCloseEvent;

namespace korvane::ui {

// The start-up window, built from its design: the menu bar over the client area with the three
// buttons at the right, the instruction label Label0 and the status line Label1.
class MainForm final : public QtForm<QMainWindow, app::MainView> {
  Q_OBJECT
 public:
  // `font` is the windows' font; the window's height follows from its menu bar at that font.
  MainForm(const QIcon& icon, const QFont& font, QWidget* parent = nullptr);

  void SetChecked(app::MenuCommand item, bool checked) override;
  // The menu item (or the command on the menu bar) that runs `command`.
  QAction* Item(app::MenuCommand command) const {
    return items_[static_cast<std::size_t>(command)];
  }

 signals:
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  std::array<QAction*, app::kMenuCommandCount> items_{};
};

}  // namespace korvane::ui
