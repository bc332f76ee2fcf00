// The main window and the search window: start-up, opening files, detection, reset, the check
// marks and closing the application.
#include <QMenuBar>
#include <QSignalSpy>
#include <QtTest>

#include "UiTestSupport.h"
#include "image/UpdateFileLoader.h"
#include "ui/Layout.h"
#include "ui/Texts.h"
#include "ui/WindowFont.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

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
  QString plain_;      // program bytes 0x800 to 0x0FFF
  QString second_;     // different bytes, EEPROM too
  QString scrambled_;  // the first file's text scrambled

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    plain_ = WriteFile(dir_, QStringLiteral("device.hex"), HexText(0x0FFF, false));
    second_ = WriteFile(dir_, QStringLiteral("second.HEX"), HexText(0x0BFF, true, 7));
    const QByteArray text = HexText(0x0FFF, false);
    const std::string scrambled = image::Scramble(std::string_view(text.constData(), text.size()));
    scrambled_ = WriteFile(dir_, QStringLiteral("device.elc"),
                           QByteArray(scrambled.data(), qsizetype(scrambled.size())));
    QVERIFY(!plain_.isEmpty() && !second_.isEmpty() && !scrambled_.isEmpty());
  }

  void startUpShowsTheInitialStates() {
    Fixture f;
    MainForm& m = f.Main();
    QVERIFY(m.isVisible());
    QCOMPARE(m.windowTitle(), QStringLiteral("USB-Korvane"));
    QVERIFY(!m.OK->isEnabled());
    QVERIFY(!m.ResetPIC->isEnabled());
    QVERIFY(m.AutoDetectCmd->isEnabled());
    QCOMPARE(m.Label1->text(), QStringLiteral("Update File not loaded!"));
    QCOMPARE(TextColour(m.Label1), kRed);
    QVERIFY(IsBold(m.Label1));
    QVERIFY(!IsBold(m.Label0));
    QCOMPARE(m.Label0->text(), QStringLiteral("- Select an Update-File\r\n"
                                              "- Connect your Dextrel product to an USB port\r\n"
                                              "   and press the \"Auto Detect...\" button."));
    QVERIFY(!f.app->FileLoaded());
    QVERIFY(!f.app->DeviceConnected());
    QVERIFY(f.platform.messages.isEmpty());
    // Nothing is sent at start-up.
    QCOMPARE(f.device->PacketsBegun(), 0u);
  }

  void windowIsFixedAndLaidOutAsDrawn() {
    Fixture f;
    MainForm& m = f.Main();
    QCOMPARE(m.minimumSize(), m.maximumSize());
    const Qt::WindowFlags flags = m.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    // 15 twips to the pixel.
    QCOMPARE(m.OK->geometry(), QRect(265, 8, 76, 20));
    QCOMPARE(m.AutoDetectCmd->geometry(), QRect(265, 32, 76, 20));
    QCOMPARE(m.ResetPIC->geometry(), QRect(265, 56, 76, 20));
    QCOMPARE(m.Label0->geometry(), QRect(11, 11, 247, 44));
    QCOMPARE(m.centralWidget()->size(), QSize(350, 85));
    // The window is exactly the menu bar over the client area.
    QCOMPARE(m.centralWidget()->geometry().top(), m.menuBar()->geometry().bottom() + 1);
    QCOMPARE(m.centralWidget()->geometry().bottom() + 1, m.height());
    // The status line runs past the right edge.
    QVERIFY(m.Label1->geometry().right() > m.width());
    // Centred on the screen.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(qAbs(m.pos().x() + m.width() / 2 - area.center().x()) <= 1);
  }

  void focusStartsOnAutoDetectAndTabCyclesTheEnabledButtons() {
    Fixture f;
    MainForm& m = f.Main();
    QCOMPARE(m.focusWidget(), m.AutoDetectCmd);
    m.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&m));
    // Only Auto Detect... is enabled at first: Tab stays on it.
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.AutoDetectCmd);
    f.Open(plain_);
    f.Detect();
    // The main window came back from behind the search window: make it the active one again.
    QApplication::setActiveWindow(&m);
    QVERIFY(QTest::qWaitForWindowActive(&m));
    m.AutoDetectCmd->setFocus();
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.OK);
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.ResetPIC);
    QTest::keyClick(&m, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m.AutoDetectCmd);
    // Enter presses the focused button.
    QTest::keyClick(m.AutoDetectCmd, Qt::Key_Return);
    QVERIFY(f.app->AutoDetect() != nullptr);
    QVERIFY(!m.isVisible());
  }

  void menusCarryTheirCaptionsShortcutsAndMarks() {
    Fixture f;
    MainForm& m = f.Main();
    const QList<QAction*> bar = m.menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar[0]->text(), QStringLiteral("File"));
    QCOMPARE(bar[1]->text(), QStringLiteral("Menu"));
    // About is a command on the bar itself.
    QCOMPARE(bar[2], m.mnu_About);
    QCOMPARE(m.mnu_About->text(), QStringLiteral("AboutKorvane"));
    QVERIFY(m.mnu_About->menu() == nullptr);
    for (QAction* a : m.findChildren<QAction*>()) {
      QVERIFY2(!a->text().contains(QLatin1Char('&')), qPrintable(a->text()));
    }
    QCOMPARE(m.mnu_Open->text(), QStringLiteral("Open..."));
    QCOMPARE(m.mnu_Open->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    QCOMPARE(m.mnu_Exit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    QVERIFY(m.mnu_FLASH->isChecked());
    QVERIFY(!m.mnu_EEDATA->isChecked());
    QVERIFY(!m.mnu_CONFIG->isChecked());
    QVERIFY(!m.mnu_USERID->isChecked());
    QVERIFY(m.mnu_Repeate->isChecked());
  }

  void checkItemsToggleAndChangeNothingElse() {
    Fixture f;
    MainForm& m = f.Main();
    for (QAction* item : {m.mnu_FLASH, m.mnu_EEDATA, m.mnu_CONFIG, m.mnu_USERID, m.mnu_Repeate}) {
      const bool before = item->isChecked();
      item->trigger();
      QCOMPARE(item->isChecked(), !before);
      item->trigger();
      QCOMPARE(item->isChecked(), before);
    }
    m.mnu_CONFIG->trigger();
    m.mnu_USERID->trigger();
    QVERIFY(!m.OK->isEnabled());
    QVERIFY(!m.ResetPIC->isEnabled());
    QCOMPARE(m.Label0->text(), text::kStartText);
    QCOMPARE(f.device->PacketsBegun(), 0u);
  }

  void cancelledOpenDialogChangesNothing() {
    Fixture f;
    MainForm& m = f.Main();
    m.mnu_Open->trigger();
    QCOMPARE(f.platform.dialogs.size(), 1);
    QCOMPARE(f.platform.dialogs[0].title, QStringLiteral("Open an Uploader-File"));
    QVERIFY(
        f.platform.dialogs[0].filter.startsWith(QStringLiteral("Korvane-Files (*.HEX; *.ELC)")));
    QVERIFY(f.platform.dialogs[0].filter.contains(QStringLiteral("*.hex *.elc")));
    QVERIFY(f.platform.dialogs[0].directory.isEmpty());
    QCOMPARE(m.Label1->text(), text::kNotLoaded);
    QCOMPARE(m.Label0->text(), text::kStartText);
    QVERIFY(!f.app->FileLoaded());

    // After a load, a cancel leaves the loaded file's state alone.
    f.Open(plain_);
    const QString status = m.Label1->text();
    const auto flash = f.app->Image().FlashImage;
    m.mnu_Open->trigger();
    QCOMPARE(m.Label1->text(), status);
    QCOMPARE(m.Label0->text(), text::kFileOpenedText);
    QVERIFY(f.app->FileLoaded());
    QVERIFY(f.app->Image().FlashImage == flash);
  }

  void openingFilesBeforeAnyDetection() {
    Fixture f;
    MainForm& m = f.Main();
    f.Open(plain_);
    QVERIFY(f.app->FileLoaded());
    QCOMPARE(m.Label1->text(),
             QString::fromStdString(image::ShortenPath(plain_.toStdString(), 40)));
    QCOMPARE(TextColour(m.Label1), kGreen);
    QVERIFY(IsBold(m.Label1));
    QCOMPARE(m.Label0->text(), QStringLiteral("- Connect your Dextrel product to an USB port\r\n"
                                              "   and press the \"Auto Detect...\" button."));
    QVERIFY(!m.OK->isEnabled());
    QCOMPARE(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 1));
    QCOMPARE(f.app->Image().HighestFlashAddress, 0x0FFF);

    // A second file replaces the image; the same rule applies.
    f.Open(second_);
    QVERIFY(f.app->FileLoaded());
    QCOMPARE(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 7));
    QCOMPARE(f.app->Image().FlashImage[0xC00], std::uint8_t(0xFF));
    QCOMPARE(f.app->Image().EepromImage[0], std::uint8_t(7));
    QVERIFY(!m.OK->isEnabled());

    // A scrambled file loads the same bytes as its plain text.
    f.Open(scrambled_);
    QCOMPARE(f.app->Image().FlashImage[0xC00], std::uint8_t(0xC00 * 3 + 1));
    QCOMPARE(TextColour(m.Label1), kGreen);
    QVERIFY(f.platform.messages.isEmpty());
  }

  void aFileThatCannotBeReadChangesNothing() {
    Fixture f;
    MainForm& m = f.Main();
    f.Open(QDir(dir_.path()).filePath(QStringLiteral("missing.hex")));
    QCOMPARE(f.platform.messages.size(), 1);
    QVERIFY(f.platform.messages[0].text.contains(QStringLiteral("missing.hex")));
    QCOMPARE(f.platform.messages[0].title, QStringLiteral("USB_Korvane"));
    QVERIFY(!f.app->FileLoaded());
    QCOMPARE(m.Label1->text(), text::kNotLoaded);
    QCOMPARE(TextColour(m.Label1), kRed);
    QCOMPARE(m.Label0->text(), text::kStartText);

    // Also after a good file and a detection: "Data Update" keeps its state.
    f.Open(plain_);
    f.Detect();
    QVERIFY(m.OK->isEnabled());
    const QString status = m.Label1->text();
    f.Open(QDir(dir_.path()).filePath(QStringLiteral("gone.elc")));
    QCOMPARE(m.Label1->text(), status);
    QCOMPARE(m.Label0->text(), text::kReadyText);
    QVERIFY(m.OK->isEnabled());
    QCOMPARE(f.app->Image().FlashImage[0x800], std::uint8_t(0x800 * 3 + 1));
  }

  void detectionWithoutADevice() {
    Fixture f;
    f.device->Unplug();
    MainForm& m = f.Main();
    const QPoint mainPos = m.pos();
    m.AutoDetectCmd->click();
    AutoDetectForm* s = f.app->AutoDetect();
    QVERIFY(s != nullptr);
    QVERIFY(s->isVisible());
    QVERIFY(!m.isVisible());
    QCOMPARE(s->windowTitle(), QStringLiteral("Auto Detect"));
    QCOMPARE(s->pos(), mainPos);
    QCOMPARE(s->Label1->text(), QStringLiteral("not connected."));
    QCOMPARE(s->Label2->text(), QStringLiteral("Unable to find an Dextrel device."));
    QVERIFY(s->OKCmd->isVisible());
    QVERIFY(!s->AbortCmd->isVisible());
    QVERIFY(!m.OK->isEnabled());
    QVERIFY(!m.ResetPIC->isEnabled());
    QVERIFY(!f.app->DeviceConnected());
    QVERIFY(f.platform.messages.isEmpty());

    // OK brings the main window back where it was, even when the search window was moved.
    s->move(mainPos + QPoint(120, 80));
    s->OKCmd->click();
    QVERIFY(f.app->AutoDetect() == nullptr);
    QVERIFY(m.isVisible());
    QCOMPARE(m.pos(), mainPos);
  }

  void detectionWithADeviceBeforeAndAfterAFile() {
    Fixture f;
    MainForm& m = f.Main();
    m.AutoDetectCmd->click();
    AutoDetectForm* s = f.app->AutoDetect();
    QCOMPARE(s->Label1->text(), QStringLiteral("Successfully connected to USB"));
    // Version 1.12: major from byte 3, then the two digits of byte 2.
    QCOMPARE(s->Label2->text(), QStringLiteral("USB-Bootloader  1. 1 2 detected "));
    QVERIFY(f.app->DeviceConnected());
    QVERIFY(m.ResetPIC->isEnabled());
    QVERIFY(!m.OK->isEnabled());
    QCOMPARE(m.Label0->text(), QStringLiteral("- Select an Update-File"));
    s->OKCmd->click();

    // Opening a file now enables "Data Update".
    f.Open(plain_);
    QVERIFY(m.OK->isEnabled());
    QCOMPARE(m.Label0->text(), QStringLiteral("- press the \"Data Update\" button."));
  }

  void detectionAfterAFileEnablesDataUpdate() {
    Fixture f;
    MainForm& m = f.Main();
    f.device->Device().SetVersion(2, 0x05);
    f.Open(plain_);
    m.AutoDetectCmd->click();
    QCOMPARE(f.app->AutoDetect()->Label2->text(),
             QStringLiteral("USB-Bootloader  2. 0 5 detected "));
    QVERIFY(m.OK->isEnabled());
    QVERIFY(m.ResetPIC->isEnabled());
    QCOMPARE(m.Label0->text(), text::kReadyText);
    // One version query, nothing else.
    QCOMPARE(f.device->Recorded().size(), std::size_t(1));
    QCOMPARE(f.device->Recorded()[0].request, (std::vector<std::uint8_t>{0x00, 0x02}));
  }

  void successfulThenFailedDetection() {
    Fixture f;
    MainForm& m = f.Main();
    f.Detect();
    f.device->Unplug();
    m.AutoDetectCmd->click();
    QCOMPARE(f.app->AutoDetect()->Label1->text(), text::kNotConnected);
    f.app->AutoDetect()->OKCmd->click();
    // The flag stays; both buttons are off.
    QVERIFY(f.app->DeviceConnected());
    QVERIFY(!m.OK->isEnabled());
    QVERIFY(!m.ResetPIC->isEnabled());
    QCOMPARE(m.Label0->text(), text::kDeviceFoundText);
    // A file opened now enables "Data Update" on the strength of the earlier answer.
    f.Open(plain_);
    QVERIFY(m.OK->isEnabled());
  }

  void aShortVersionReplyCountsAsNotFound() {
    Fixture f;
    emulator::Fault cut;
    cut.kind = emulator::FaultKind::ShortReply;
    cut.packetIndex = f.device->PacketsBegun();
    f.device->AddFault(cut);
    f.Main().AutoDetectCmd->click();
    QCOMPARE(f.app->AutoDetect()->Label2->text(), text::kNoDevice);
    QVERIFY(!f.app->DeviceConnected());
    QVERIFY(f.platform.messages.isEmpty());
  }

  void pipesThatFailToOpenAreReportedInABox() {
    Fixture f;
    emulator::Fault fail;
    fail.kind = emulator::FaultKind::OpenFail;
    fail.packetIndex = f.device->PacketsBegun();
    f.device->AddFault(fail);
    f.Main().AutoDetectCmd->click();
    QCOMPARE(f.platform.messages.size(), 1);
    QVERIFY(f.platform.messages[0].text.endsWith(QStringLiteral("Failed to open data pipes.")));
    QCOMPARE(f.platform.messages[0].title, QStringLiteral("USB_Korvane"));
    QCOMPARE(f.platform.messages[0].icon, MessageIcon::None);
    QCOMPARE(f.app->AutoDetect()->Label1->text(), text::kNotConnected);
    QVERIFY(!f.Main().ResetPIC->isEnabled());
  }

  void searchWindowCloseBoxActsLikeOK() {
    Fixture f;
    f.Main().AutoDetectCmd->click();
    f.app->AutoDetect()->close();
    QVERIFY(f.app->AutoDetect() == nullptr);
    QVERIFY(f.Main().isVisible());
    QVERIFY(!f.app->Ended());
  }

  void resetWithRepeateStaysReady() {
    Fixture f;
    MainForm& m = f.Main();
    f.Open(plain_);
    f.Detect();
    QVERIFY(m.OK->isEnabled());
    const QString label0 = m.Label0->text();
    m.ResetPIC->click();
    QCOMPARE(f.device->Recorded().back().request, (std::vector<std::uint8_t>{0xFF, 0x02}));
    QVERIFY(!f.device->Device().InBootloader());
    QVERIFY(!f.app->Ended());
    QVERIFY(m.isVisible());
    QVERIFY(!f.app->DeviceConnected());
    QVERIFY(!m.OK->isEnabled());
    QVERIFY(!m.ResetPIC->isEnabled());
    QCOMPARE(m.Label0->text(), label0);
    // The device runs its firmware now: a new search does not find it until it comes back.
    f.Detect();
    QVERIFY(!m.ResetPIC->isEnabled());
    f.device->PlugIn();
    f.Detect();
    QVERIFY(m.ResetPIC->isEnabled());
  }

  void resetWithoutRepeateEndsTheApplication() {
    Fixture f;
    QSignalSpy ended(f.app.get(), &Application::ended);
    f.Detect();
    f.Main().mnu_Repeate->trigger();
    f.Main().ResetPIC->click();
    QCOMPARE(ended.count(), 1);
    QVERIFY(f.app->Ended());
    QVERIFY(f.app->Main() == nullptr);
    QVERIFY(!f.device->Device().InBootloader());
  }

  void resetWithoutADeviceStillFollowsRepeate() {
    Fixture f;
    f.Detect();
    f.device->Unplug();
    f.Main().ResetPIC->click();
    QVERIFY(!f.app->Ended());
    QVERIFY(!f.app->DeviceConnected());
    QVERIFY(f.platform.messages.isEmpty());
  }

  void exitShortcutAndCloseBoxUnloadEveryWindow_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Exit") << 0;
    QTest::newRow("Ctrl+Q") << 1;
    QTest::newRow("close box") << 2;
  }
  void exitShortcutAndCloseBoxUnloadEveryWindow() {
    QFETCH(int, how);
    Fixture f;
    QSignalSpy ended(f.app.get(), &Application::ended);
    // Leave the result window loaded (hidden) behind an update.
    f.Open(plain_);
    f.Detect();
    f.Main().OK->click();
    QVERIFY(f.app->UpdatingComplete() != nullptr);
    f.app->UpdatingComplete()->OKCmd->click();
    QVERIFY(f.app->UpdatingComplete() != nullptr);
    QPointer<QWidget> result = f.app->UpdatingComplete();
    QPointer<QWidget> main = f.app->Main();

    MainForm& m = f.Main();
    if (how == 0) {
      m.mnu_Exit->trigger();
    } else if (how == 1) {
      m.activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(&m));
      QTest::keyClick(&m, Qt::Key_Q, Qt::ControlModifier);
    } else {
      m.close();
    }
    QCOMPARE(ended.count(), 1);
    QVERIFY(f.app->Ended());
    QVERIFY(f.app->Main() == nullptr);
    QVERIFY(f.app->UpdatingComplete() == nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(result.isNull());
    QVERIFY(main.isNull());
  }

  void textsFitTheirBoxesAtTheWindowFont() {
    Fixture f;
    const QFont font = f.app->WindowFont();
    for (const TextBox& box : WindowTextBoxes()) {
      QVERIFY2(Fits(font, box), qPrintable(box.text));
    }
    QVERIFY(font.pointSizeF() >= 6.0);
    QCOMPARE(f.Main().Label0->font().family(), font.family());
    QCOMPARE(f.Main().Label0->font().pointSizeF(), font.pointSizeF());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
