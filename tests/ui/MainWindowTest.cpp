// The Qt main window and search window: layout, fonts, colours, focus, menus, and the wiring of
// every control to its handler.
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include "UiTestSupport.h"
#include "app/Texts.h"
#include "image/UpdateFileLoader.h"
#include "ui/qt/WindowFont.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

using C = app::MainControl;
using S = app::AutoDetectControl;
using Cmd = app::MenuCommand;

constexpr std::uint32_t kRed = 0x0000FF;
constexpr std::uint32_t kGreen = 0x00C000;

bool IsBold(const QWidget* w) {
  return w->font().bold();
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString plain_;  // program bytes 0x800 to 0x0FFF

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    plain_ = WriteFile(dir_, QStringLiteral("device.hex"), cli::test::FirmwareHex(0x0FFF, false));
    QVERIFY(!plain_.isEmpty());
  }

  void startUpLooksAsDrawn() {
    Fixture f;
    MainForm& m = *f.Main();
    QVERIFY(m.isVisible());
    QCOMPARE(m.windowTitle(), QStringLiteral("USB-Korvane"));
    QCOMPARE(m.Label(C::Label1)->text(), QStringLiteral("Update File not loaded!"));
    QCOMPARE(TextColour(m.Label(C::Label1)), kRed);
    QVERIFY(IsBold(m.Label(C::Label1)));
    QVERIFY(!IsBold(m.Label(C::Label0)));
    QVERIFY(m.Label(C::Label0)->text().startsWith(QStringLiteral("- Select an Update-File\r\n")));
    QVERIFY(!m.Button(C::OK)->isEnabled());
    QVERIFY(!m.Button(C::ResetPIC)->isEnabled());
    QCOMPARE(m.minimumSize(), m.maximumSize());
    const Qt::WindowFlags flags = m.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    // 15 twips to the pixel.
    QCOMPARE(m.Button(C::OK)->geometry(), QRect(265, 8, 76, 20));
    QCOMPARE(m.Button(C::AutoDetectCmd)->geometry(), QRect(265, 32, 76, 20));
    QCOMPARE(m.Button(C::ResetPIC)->geometry(), QRect(265, 56, 76, 20));
    QCOMPARE(m.Label(C::Label0)->geometry(), QRect(11, 11, 247, 44));
    QCOMPARE(m.centralWidget()->size(), QSize(350, 85));
    // The window is exactly the menu bar over the client area.
    QCOMPARE(m.centralWidget()->geometry().top(), m.menuBar()->geometry().bottom() + 1);
    QCOMPARE(m.centralWidget()->geometry().bottom() + 1, m.height());
    // The status line runs past the right edge.
    QVERIFY(m.Label(C::Label1)->geometry().right() > m.width());
    // Centred on the screen.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(qAbs(m.pos().x() + m.width() / 2 - area.center().x()) <= 1);
  }

  void focusStartsOnAutoDetectAndTabCyclesTheEnabledButtons() {
    Fixture f;
    MainForm& m = *f.Main();
    QCOMPARE(m.focusWidget(), m.Button(C::AutoDetectCmd));
    m.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&m));
    // Only Auto Detect... is enabled at first: Tab stays on it.
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.Button(C::AutoDetectCmd));
    f.Open(plain_);
    f.Detect();
    // The main window came back from behind the search window: make it the active one again.
    QApplication::setActiveWindow(&m);
    QVERIFY(QTest::qWaitForWindowActive(&m));
    m.Button(C::AutoDetectCmd)->setFocus();
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.Button(C::OK));
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.Button(C::ResetPIC));
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.Button(C::AutoDetectCmd));
    // Enter presses the focused button.
    QTest::keyClick(m.Button(C::AutoDetectCmd), Qt::Key_Return);
    QVERIFY(f.AutoDetect() != nullptr);
    QVERIFY(!m.isVisible());
  }

  void menusCarryTheirCaptionsShortcutsAndMarks() {
    Fixture f;
    MainForm& m = *f.Main();
    const QList<QAction*> bar = m.menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), QStringLiteral("File"));
    QCOMPARE(bar[1]->text(), QStringLiteral("Menu"));
    // About is a command on the bar itself.
    QCOMPARE(bar[2], m.Item(Cmd::About));
    QCOMPARE(m.Item(Cmd::About)->text(), QStringLiteral("AboutKorvane"));
    QVERIFY(m.Item(Cmd::About)->menu() == nullptr);
    for (QAction* a : m.findChildren<QAction*>()) {
      QVERIFY2(!a->text().contains(QLatin1Char('&')), qPrintable(a->text()));
    }
    QCOMPARE(m.Item(Cmd::Open)->text(), QStringLiteral("Open..."));
    QCOMPARE(m.Item(Cmd::Open)->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    QCOMPARE(m.Item(Cmd::Exit)->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QVERIFY(m.Item(Cmd::FLASH)->isChecked());
    QVERIFY(!m.Item(Cmd::EEDATA)->isChecked());
    QVERIFY(!m.Item(Cmd::CONFIG)->isChecked());
    QVERIFY(!m.Item(Cmd::USERID)->isChecked());
    QVERIFY(m.Item(Cmd::Repeate)->isChecked());
    // Each check item reaches the application's mark and shows it.
    for (const Cmd item : {Cmd::FLASH, Cmd::EEDATA, Cmd::CONFIG, Cmd::USERID, Cmd::Repeate}) {
      const bool before = f.app->Checked(item);
      m.Item(item)->trigger();
      QCOMPARE(f.app->Checked(item), !before);
      QCOMPARE(m.Item(item)->isChecked(), !before);
    }
  }

  void openShowsThePathInGreen() {
    Fixture f;
    MainForm& m = *f.Main();
    f.Open(plain_);
    QCOMPARE(f.desktop.dialogs, 1);
    QVERIFY(f.app->FileLoaded());
    QCOMPARE(m.Label(C::Label1)->text(),
             QString::fromStdString(image::ShortenPath(plain_.toStdString(), 40)));
    QCOMPARE(TextColour(m.Label(C::Label1)), kGreen);
    QVERIFY(IsBold(m.Label(C::Label1)));
  }

  void searchWindowLooksAsDrawnAndItsControlsAreWired() {
    Fixture f;
    MainForm& m = *f.Main();
    const QPoint mainPos = m.pos();
    m.Button(C::AutoDetectCmd)->click();
    AutoDetectForm* s = f.AutoDetect();
    QVERIFY(s != nullptr && s->isVisible());
    QVERIFY(!m.isVisible());
    QCOMPARE(s->windowTitle(), QStringLiteral("Auto Detect"));
    QCOMPARE(s->pos(), mainPos);
    QCOMPARE(s->Label(S::Label2)->text(), QStringLiteral("USB-Bootloader  1. 1 2 detected "));
    QVERIFY(s->Button(S::OKCmd)->isVisible());
    QVERIFY(!s->Button(S::AbortCmd)->isVisible());
    QCOMPARE(s->Button(S::OKCmd)->geometry(), s->Button(S::AbortCmd)->geometry());
    QVERIFY(s->Button(S::OKCmd)->isDefault());
    QVERIFY(m.Button(C::ResetPIC)->isEnabled());
    // OK unloads it and brings the main window back.
    QPointer<AutoDetectForm> gone = s;
    s->Button(S::OKCmd)->click();
    QVERIFY(f.AutoDetect() == nullptr);
    QVERIFY(m.isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(gone.isNull());
    // The close box acts like OK.
    m.Button(C::AutoDetectCmd)->click();
    f.AutoDetect()->close();
    QVERIFY(f.AutoDetect() == nullptr);
    QVERIFY(m.isVisible());
    QVERIFY(!f.app->Ended());
  }

  void everyWayOutUnloadsEveryWindow_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Exit") << 0;
    QTest::newRow("Ctrl+Q") << 1;
    QTest::newRow("close box") << 2;
    QTest::newRow("Reset PIC without Repeate") << 3;
    QTest::newRow("result window's close box") << 4;
  }
  void everyWayOutUnloadsEveryWindow() {
    QFETCH(int, how);
    Fixture f;
    // Leave the result window loaded (hidden) behind an update.
    f.Open(plain_);
    f.Detect();
    f.Main()->Button(C::OK)->click();
    QVERIFY(f.Complete() != nullptr);
    QPointer<QWidget> result = f.Complete();
    QPointer<QWidget> main = f.Main();
    if (how != 4) {
      f.Complete()->Button(app::CompleteControl::OKCmd)->click();
      QVERIFY(f.Complete() != nullptr);
    }

    MainForm& m = *f.Main();
    if (how == 4) {
      f.Complete()->close();
    } else if (how == 0) {
      m.Item(Cmd::Exit)->trigger();
    } else if (how == 1) {
      m.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&m));
      QTest::keyClick(&m, Qt::Key_Q, Qt::ControlModifier);
    } else if (how == 2) {
      m.close();
    } else {
      m.Item(Cmd::Repeate)->trigger();
      m.Button(C::ResetPIC)->click();
      QVERIFY(!f.device->Device().InBootloader());
    }
    QCOMPARE(f.desktop.quits, 1);
    QVERIFY(f.app->Ended());
    QVERIFY(f.app->Main() == nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(result.isNull());
    QVERIFY(main.isNull());
  }

  // The main window is closed while a scrambled file is decoded, and the file then needs a report
  // box: the box still has a live window to belong to, and the windows go only afterwards.
  void closingDuringTheScrambledFilesEventPassIsSafe() {
    const std::string text =
        cli::test::HexRecord(3, 0, {1, 2, 3, 4}) + cli::test::FirmwareHex(0x0FFF, false);
    const QString path = WriteFile(dir_, QStringLiteral("typed.elc"), image::Scramble(text));
    QTemporaryDir lockDir;
    QtDesktop desktop(QDir(lockDir.path()).filePath(QStringLiteral("k.lock")));
    Fixture f(&desktop);
    f.desktop.answers.append(path);
    QPointer<MainForm> main = f.Main();
    // The close arrives in the decoder's event pass; every box that comes up is answered.
    QTimer::singleShot(0, main, [main] { main->close(); });
    int boxes = 0;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, [&boxes] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        ++boxes;
        QVERIFY(box->parentWidget() != nullptr && box->parentWidget()->isVisible());
        box->accept();
      }
    });
    answer.start();
    main->Item(Cmd::Open)->trigger();
    QCOMPARE(boxes, 1);
    QVERIFY(f.app->Ended());
    QCOMPARE(f.desktop.quits, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(main.isNull());
  }

  void textsFitTheirBoxesAtTheWindowFont() {
    Fixture f;
    const QFont font = f.forms.WindowFont();
    for (const TextBox& box : WindowTextBoxes()) {
      QVERIFY2(Fits(font, box), qPrintable(box.text));
    }
    QVERIFY(font.pointSizeF() >= 6.0);
    QCOMPARE(f.Main()->Label(C::Label0)->font().family(), font.family());
    QCOMPARE(f.Main()->Label(C::Label0)->font().pointSizeF(), font.pointSizeF());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
