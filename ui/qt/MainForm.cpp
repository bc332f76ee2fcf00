#include "ui/qt/MainForm.h"

#include <QCloseEvent>
#include <QMenuBar>

namespace korvane::ui {

MainForm::MainForm(const QIcon& icon, const QFont& font, QWidget* parent) : QtForm(parent) {
  const app::FormDesign& design = Design();
  setFont(font);
  setObjectName(ToQString(design.name));
  setWindowTitle(ToQString(design.caption));
  setWindowIcon(icon);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);

  QMenuBar* bar = menuBar();
  for (const app::MenuDesign& menu : design.menus) {
    if (menu.items.empty()) {
      // A command right on the menu bar, without a submenu.
      QAction* action = bar->addAction(ToQString(menu.text));
      action->setObjectName(ToQString(menu.name));
      items_[static_cast<std::size_t>(menu.command)] = action;
      continue;
    }
    QMenu* submenu = bar->addMenu(ToQString(menu.text));
    submenu->setObjectName(ToQString(menu.name));
    for (const app::MenuItemDesign& item : menu.items) {
      if (item.kind == app::MenuItemDesign::Kind::Separator) {
        submenu->addSeparator()->setObjectName(ToQString(item.name));
        continue;
      }
      QAction* action = submenu->addAction(ToQString(item.text));
      action->setObjectName(ToQString(item.name));
      if (item.shortcut != 0) {
        action->setShortcut(QKeySequence(QStringLiteral("Ctrl+%1").arg(QChar(item.shortcut))));
      }
      if (item.kind == app::MenuItemDesign::Kind::Check) {
        action->setCheckable(true);
        action->setChecked(item.checked);
      }
      items_[static_cast<std::size_t>(item.command)] = action;
    }
  }

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(Px(design.clientWidth), Px(design.clientHeight));
  setCentralWidget(client);
  Build(client, icon);

  setFixedSize(client->width(), bar->sizeHint().height() + client->height());
}

void MainForm::SetChecked(app::MenuCommand item, bool checked) {
  Item(item)->setChecked(checked);
}

void MainForm::closeEvent(QCloseEvent* event) {
  // The close box runs the application's unload; the window is taken down there.
  event->ignore();
  emit closeRequested();
}

}  // namespace korvane::ui
