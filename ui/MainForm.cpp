#include "ui/MainForm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>

#include "ui/FormWindow.h"
#include "ui/Layout.h"
#include "ui/Texts.h"

namespace korvane::ui {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QPushButton* AddButton(QWidget* parent, const QString& name, const QString& caption,
                       const QRect& rect) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(rect);
  // Enter presses the button that has the focus.
  button->setAutoDefault(true);
  return button;
}

QAction* AddCheckItem(QMenu* menu, const QString& name, const QString& caption, bool checked) {
  QAction* action = menu->addAction(caption);
  action->setObjectName(name);
  action->setCheckable(true);
  action->setChecked(checked);
  return action;
}

}  // namespace

MainForm::MainForm(Platform& platform, const QIcon& icon, const QFont& font, QWidget* parent)
    : QMainWindow(parent), platform_(platform) {
  setFont(font);
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(text::kMainCaption);
  setWindowIcon(icon);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);

  // Menu bar: no caption carries an access key.
  QMenuBar* bar = menuBar();
  mnu_File = bar->addMenu(QStringLiteral("File"));
  mnu_File->setObjectName(QStringLiteral("mnu_File"));
  mnu_Open = mnu_File->addAction(QStringLiteral("Open..."));
  mnu_Open->setObjectName(QStringLiteral("mnu_Open"));
  mnu_Open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  mnu_File->addSeparator()->setObjectName(QStringLiteral("mnu_Space1"));
  mnu_Exit = mnu_File->addAction(QStringLiteral("Exit"));
  mnu_Exit->setObjectName(QStringLiteral("mnu_Exit"));
  mnu_Exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  mnu_Menu = bar->addMenu(QStringLiteral("Menu"));
  mnu_Menu->setObjectName(QStringLiteral("mnu_Menu"));
  mnu_FLASH = AddCheckItem(mnu_Menu, QStringLiteral("mnu_FLASH"), QStringLiteral("FLASH"), true);
  mnu_EEDATA =
      AddCheckItem(mnu_Menu, QStringLiteral("mnu_EEDATA"), QStringLiteral("EEDATA"), false);
  mnu_CONFIG =
      AddCheckItem(mnu_Menu, QStringLiteral("mnu_CONFIG"), QStringLiteral("CONFIG"), false);
  mnu_USERID =
      AddCheckItem(mnu_Menu, QStringLiteral("mnu_USERID"), QStringLiteral("USERID"), false);
  mnu_Menu->addSeparator()->setObjectName(QStringLiteral("mnu_Space2"));
  mnu_Repeate =
      AddCheckItem(mnu_Menu, QStringLiteral("mnu_Repeate"), QStringLiteral("Repeate"), true);

  // A command directly on the menu bar, without a submenu.
  mnu_About = bar->addAction(QStringLiteral("AboutKorvane"));
  mnu_About->setObjectName(QStringLiteral("mnu_About"));

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(Px(layout::main::kClientWidthTwips), Px(layout::main::kClientHeightTwips));
  setCentralWidget(client);

  // Controls in tab order; the labels take no focus.
  Label1 = new QLabel(client);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setGeometry(layout::main::Label1);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setTextFormat(Qt::PlainText);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  AutoDetectCmd = AddButton(client, QStringLiteral("AutoDetectCmd"),
                            QStringLiteral("Auto Detect..."), layout::main::AutoDetectCmd);
  OK = AddButton(client, QStringLiteral("OK"), QStringLiteral("Data Update"), layout::main::OK);
  OK->setEnabled(false);
  Label0 = new QLabel(client);
  Label0->setObjectName(QStringLiteral("Label0"));
  Label0->setGeometry(layout::main::Label0);
  Label0->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label0->setTextFormat(Qt::PlainText);
  ResetPIC = AddButton(client, QStringLiteral("ResetPIC"), QStringLiteral("Reset PIC"),
                       layout::main::ResetPIC);
  setTabOrder(AutoDetectCmd, OK);
  setTabOrder(OK, ResetPIC);

  setFixedSize(client->width(), bar->sizeHint().height() + client->height());
}

void MainForm::SetStatusLabel(std::string_view text, std::uint32_t colour, bool bold) {
  QFont font = Label1->font();
  font.setBold(bold);
  Label1->setFont(font);
  SetTextColour(Label1, colour);
  Label1->setText(ToQString(text));
}

void MainForm::SetStatusText(std::string_view text) {
  Label1->setText(ToQString(text));
}

void MainForm::ShowMessage(std::string_view text) {
  platform_.ShowMessageBox(this, ToQString(text), text::kAppTitle, MessageIcon::None);
}

void MainForm::ProcessPendingEvents() {
  QCoreApplication::processEvents();
}

void MainForm::closeEvent(QCloseEvent* event) {
  // The close box runs the application's unload; the window is taken down there.
  event->ignore();
  emit closeRequested();
}

}  // namespace korvane::ui
