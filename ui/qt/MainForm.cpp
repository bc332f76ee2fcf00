#include "ui/qt/MainForm.h"

#include <QCloseEvent>
#include <QMenuBar>

#include "app/Texts.h"

namespace korvane::ui {

namespace {

namespace text = app::text;
namespace layout = app::layout::main;

QPushButton* AddButton(QWidget* parent, const QString& name, std::string_view caption,
                       const app::TwipRect& rect) {
  auto* button = new QPushButton(ToQString(caption), parent);
  button->setObjectName(name);
  button->setGeometry(ToRect(rect));
  // Enter presses the button that has the focus.
  button->setAutoDefault(true);
  return button;
}

QAction* AddCheckItem(QMenu* menu, const QString& name, std::string_view caption) {
  QAction* action = menu->addAction(ToQString(caption));
  action->setObjectName(name);
  action->setCheckable(true);
  return action;
}

QLabel* AddLabel(QWidget* parent, const QString& name, const app::TwipRect& rect) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setGeometry(ToRect(rect));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

MainForm::MainForm(const QIcon& icon, const QFont& font, QWidget* parent) : QtForm(parent) {
  using C = app::MainControl;
  using app::MenuItem;
  setFont(font);
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(ToQString(text::kMainCaption));
  setWindowIcon(icon);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);

  // Menu bar: no caption carries an access key.
  QMenuBar* bar = menuBar();
  mnu_File = bar->addMenu(ToQString(text::kFileMenu));
  mnu_File->setObjectName(QStringLiteral("mnu_File"));
  mnu_Open = mnu_File->addAction(ToQString(text::kOpenItem));
  mnu_Open->setObjectName(QStringLiteral("mnu_Open"));
  mnu_Open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  mnu_File->addSeparator()->setObjectName(QStringLiteral("mnu_Space1"));
  mnu_Exit = mnu_File->addAction(ToQString(text::kExitItem));
  mnu_Exit->setObjectName(QStringLiteral("mnu_Exit"));
  mnu_Exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  mnu_Menu = bar->addMenu(ToQString(text::kMenuMenu));
  mnu_Menu->setObjectName(QStringLiteral("mnu_Menu"));
  mnu_FLASH = AddCheckItem(mnu_Menu, QStringLiteral("mnu_FLASH"), text::kFlashItem);
  mnu_EEDATA = AddCheckItem(mnu_Menu, QStringLiteral("mnu_EEDATA"), text::kEedataItem);
  mnu_CONFIG = AddCheckItem(mnu_Menu, QStringLiteral("mnu_CONFIG"), text::kConfigItem);
  mnu_USERID = AddCheckItem(mnu_Menu, QStringLiteral("mnu_USERID"), text::kUserIdItem);
  mnu_Menu->addSeparator()->setObjectName(QStringLiteral("mnu_Space2"));
  mnu_Repeate = AddCheckItem(mnu_Menu, QStringLiteral("mnu_Repeate"), text::kRepeateItem);
  items_ = {mnu_FLASH, mnu_EEDATA, mnu_CONFIG, mnu_USERID, mnu_Repeate};

  // A command directly on the menu bar, without a submenu.
  mnu_About = bar->addAction(ToQString(text::kAboutItem));
  mnu_About->setObjectName(QStringLiteral("mnu_About"));

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(Px(layout::kClientWidth), Px(layout::kClientHeight));
  setCentralWidget(client);

  // Controls in tab order; the labels take no focus.
  Label1 = AddLabel(client, QStringLiteral("Label1"), layout::Label1);
  AutoDetectCmd = AddButton(client, QStringLiteral("AutoDetectCmd"), text::kAutoDetectButton,
                            layout::AutoDetectCmd);
  OK = AddButton(client, QStringLiteral("OK"), text::kUpdateButton, layout::OK);
  OK->setEnabled(false);
  Label0 = AddLabel(client, QStringLiteral("Label0"), layout::Label0);
  ResetPIC = AddButton(client, QStringLiteral("ResetPIC"), text::kResetButton, layout::ResetPIC);
  setTabOrder(AutoDetectCmd, OK);
  setTabOrder(OK, ResetPIC);

  Bind(C::Label0, Label0);
  Bind(C::Label1, Label1);
  Bind(C::OK, OK);
  Bind(C::AutoDetectCmd, AutoDetectCmd);
  Bind(C::ResetPIC, ResetPIC);

  setFixedSize(client->width(), bar->sizeHint().height() + client->height());
}

void MainForm::SetChecked(app::MenuItem item, bool checked) {
  Item(item)->setChecked(checked);
}

void MainForm::closeEvent(QCloseEvent* event) {
  // The close box runs the application's unload; the window is taken down there.
  event->ignore();
  emit closeRequested();
}

}  // namespace korvane::ui
