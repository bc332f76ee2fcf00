// The progress, result and About windows around an update run and the About menu command.
#include <QDate>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <set>
#include <utility>

#include "UiTestSupport.h"
#include "ui/Texts.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

constexpr std::uint32_t kRed = 0x0000FF;
constexpr std::uint32_t kGreen = 0x00C000;
constexpr std::uint32_t kYellowBar = 0x00FFFF;
constexpr std::uint32_t kBlueBar = 0xED9564;
constexpr std::uint32_t kGreenBar = 0x238E6B;

// Calls `step` after every packet of a run, from inside the run's event processing.
class DuringRun {
 public:
  explicit DuringRun(std::function<void()> step) : step_(std::move(step)) {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] { step_(); });
    timer_.start();
  }

 private:
  std::function<void()> step_;
  QTimer timer_;
};

}  // namespace

class UpdateWindowsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString file_;  // program bytes 0x800 to 0x0FFF and the whole EEPROM

  // A loaded file and a detected device, ready for "Data Update".
  std::unique_ptr<Fixture> Ready() {
    auto f = std::make_unique<Fixture>();
    f->Open(file_);
    f->Detect();
    return f;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    file_ = WriteFile(dir_, QStringLiteral("firmware.hex"), HexText(0x0FFF, true));
    QVERIFY(!file_.isEmpty());
  }

  void updateRunsToSuccessInThePlaceOfTheMainWindow() {
    auto f = Ready();
    MainForm& m = f->Main();
    m.mnu_EEDATA->trigger();
    const QPoint mainPos = m.pos();

    std::set<std::pair<QString, std::uint32_t>> stages;
    bool mainHidden = true;
    bool placed = true;
    bool abortFocused = true;
    QString deviceLine;
    float lastValue = -1;
    DuringRun watch([&] {
      if (UpdatingForm* p = f->app->Updating()) {
        stages.insert({p->Label2->text(), p->ProgressBarColor()});
        mainHidden = mainHidden && !m.isVisible();
        placed = placed && p->pos() == mainPos && p->isVisible();
        abortFocused = abortFocused && p->focusWidget() == p->AbortCmd;
        deviceLine = p->Label1->text();
        lastValue = p->BarValue();
        QCOMPARE(p->UpdatingBar->value(), qRound(p->BarValue()));
      }
    });
    m.OK->click();

    QVERIFY(mainHidden);
    QVERIFY(placed);
    QVERIFY(abortFocused);
    QCOMPARE(deviceLine, QStringLiteral("Dextrel Device"));
    const std::set<std::pair<QString, std::uint32_t>> expected = {
        {QStringLiteral("Erasing Flash..."), kYellowBar},
        {QStringLiteral("Writing program data..."), kBlueBar},
        {QStringLiteral("Verify program data..."), kGreenBar},
        {QStringLiteral("Write EEPROM..."), kBlueBar},
        {QStringLiteral("Verify EEPROM data..."), kGreenBar}};
    QCOMPARE(stages, expected);
    QVERIFY(lastValue > 80 && lastValue < 100);  // the EEPROM stages never reach the end

    // The progress window is gone; the result window stands where the main window was.
    QVERIFY(f->app->Updating() == nullptr);
    UpdatingCompleteForm* r = f->app->UpdatingComplete();
    QVERIFY(r != nullptr && r->isVisible());
    QVERIFY(!m.isVisible());
    QCOMPARE(r->pos(), mainPos);
    QCOMPARE(r->windowTitle(), QStringLiteral("Updating Complete"));
    QCOMPARE(r->Label1->text(), QStringLiteral("The update was successful."));
    QCOMPARE(TextColour(r->Label1), kGreen);
    QVERIFY(r->Label1->font().bold());
    QVERIFY(r->Label2->text().isEmpty());
    QCOMPARE(r->focusWidget(), r->OKCmd);

    // The device holds the file.
    const auto flash = f->device->Device().Flash();
    for (int a = 0x800; a <= 0x0FFF; ++a) {
      QCOMPARE(flash[a], f->app->Image().FlashImage[a]);
    }
    const auto eeprom = f->device->Device().Eeprom();
    QVERIFY(std::equal(eeprom.begin(), eeprom.end(), f->app->Image().EepromImage.begin()));
  }

  void windowsAreFixedAndCarryTheirIcons() {
    auto f = Ready();
    const qint64 appIcon = f->app->Main()->windowIcon().cacheKey();
    const auto fixed = [](QWidget* w) {
      QVERIFY(w != nullptr);
      QCOMPARE(w->size(), QSize(350, 105));  // 5250 x 1575 twips
      QCOMPARE(w->minimumSize(), w->maximumSize());
      QVERIFY(!(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
      QVERIFY(!w->windowIcon().isNull());
    };
    qint64 progressIcon = 0;
    DuringRun watch([&] {
      if (UpdatingForm* p = f->app->Updating(); p && progressIcon == 0) {
        fixed(p);
        progressIcon = p->windowIcon().cacheKey();
        QCOMPARE(p->UpdatingBar->geometry(), QRect(7, 54, 249, 14));
        QCOMPARE(p->UpdatingBar->maximum(), 100);
      }
    });
    f->Main().OK->click();
    // The progress and result windows share an icon of their own.
    QVERIFY(progressIcon != 0 && progressIcon != appIcon);
    fixed(f->app->UpdatingComplete());
    QCOMPARE(f->app->UpdatingComplete()->windowIcon().cacheKey(), progressIcon);
    f->app->UpdatingComplete()->OKCmd->click();

    // The search and About windows carry the application's icon.
    f->Main().AutoDetectCmd->click();
    fixed(f->app->AutoDetect());
    QCOMPARE(f->app->AutoDetect()->windowIcon().cacheKey(), appIcon);
    f->app->AutoDetect()->OKCmd->click();
    f->Main().mnu_About->trigger();
    fixed(f->app->Info());
    QCOMPARE(f->app->Info()->windowIcon().cacheKey(), appIcon);
  }

  void theExampleFilesUpdateTheEmulatedDevice_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("demo-firmware.hex");
    QTest::newRow("scrambled") << QStringLiteral("demo-firmware.elc");
  }
  void theExampleFilesUpdateTheEmulatedDevice() {
    QFETCH(QString, name);
    Fixture f;
    f.Open(QStringLiteral(KORVANE_SOURCE_DIR "/examples/") + name);
    QVERIFY(f.app->FileLoaded());
    QVERIFY(f.platform.messages.isEmpty());
    f.Main().mnu_EEDATA->trigger();
    f.Detect();
    f.Main().OK->click();
    QCOMPARE(f.app->UpdatingComplete()->Label1->text(),
             QStringLiteral("The update was successful."));
    const auto flash = f.device->Device().Flash();
    const image::MemoryImage& image = f.app->Image();
    QVERIFY(image.HighestFlashAddress > 0x800);
    QVERIFY(std::equal(flash.begin() + 0x800, flash.begin() + image.HighestFlashAddress + 1,
                       image.FlashImage.begin() + 0x800));
  }

  void aVerifyMismatchEndsInFailure() {
    auto f = Ready();
    // The 40th packet of the run is a program write; one bit of it goes wrong in the device.
    emulator::Fault flip;
    flip.kind = emulator::FaultKind::BitFlip;
    flip.packetIndex = f->device->PacketsBegun() + 40;
    flip.byteIndex = 3;
    f->device->AddFault(flip);
    f->Main().OK->click();
    UpdatingCompleteForm* r = f->app->UpdatingComplete();
    QVERIFY(r != nullptr && r->isVisible());
    QCOMPARE(r->Label1->text(), QStringLiteral("The update was not successful."));
    QCOMPARE(TextColour(r->Label1), kRed);
    QVERIFY(r->Label2->text().isEmpty());
    QVERIFY(f->app->Updating() == nullptr);
  }

  void abortStopsTheRunAfterThePacketInFlight_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Abort button") << false;
    QTest::newRow("close box") << true;
  }
  void abortStopsTheRunAfterThePacketInFlight() {
    QFETCH(bool, closeBox);
    auto f = Ready();
    const std::uint32_t before = f->device->PacketsBegun();
    int clicks = 0;
    DuringRun watch([&] {
      UpdatingForm* p = f->app->Updating();
      if (p && clicks == 0 && f->device->PacketsBegun() - before == 5) {
        ++clicks;
        if (closeBox) {
          p->close();
        } else {
          QTest::mouseClick(p->AbortCmd, Qt::LeftButton);
        }
        // The window stays until the run takes it down.
        QVERIFY(f->app->Updating() != nullptr);
        QVERIFY(f->app->AbortRequested());
      }
    });
    f->Main().OK->click();
    QCOMPARE(clicks, 1);
    QCOMPARE(f->device->PacketsBegun() - before, 5u);
    QVERIFY(f->app->Updating() == nullptr);
    QCOMPARE(f->app->UpdatingComplete()->Label1->text(),
             QStringLiteral("The update was not successful."));
    QCOMPARE(TextColour(f->app->UpdatingComplete()->Label1), kRed);
    QVERIFY(!f->app->Ended());
  }

  void resultOKRechecksTheDevice_data() {
    QTest::addColumn<bool>("stillThere");
    QTest::newRow("device still there") << true;
    QTest::newRow("device gone") << false;
  }
  void resultOKRechecksTheDevice() {
    QFETCH(bool, stillThere);
    auto f = Ready();
    MainForm& m = f->Main();
    const QString label0 = m.Label0->text();
    m.OK->click();
    if (!stillThere) {
      f->device->Unplug();
    }
    const std::uint32_t before = f->device->PacketsBegun();
    f->app->UpdatingComplete()->OKCmd->click();
    QCOMPARE(f->device->PacketsBegun() - before, 1u);
    // The result window is only hidden; the main window is back with "Data Update" off.
    QVERIFY(f->app->UpdatingComplete() != nullptr);
    QVERIFY(!f->app->UpdatingComplete()->isVisible());
    QVERIFY(m.isVisible());
    QVERIFY(!f->app->DeviceConnected());
    QVERIFY(!m.OK->isEnabled());
    QCOMPARE(m.ResetPIC->isEnabled(), stillThere);
    QCOMPARE(m.Label0->text(), label0);
    // Only a new detection enables "Data Update" again.
    if (stillThere) {
      f->Detect();
      QVERIFY(m.OK->isEnabled());
    }
  }

  void aSecondRunReusesTheHiddenResultWindow() {
    auto f = Ready();
    MainForm& m = f->Main();
    emulator::Fault flip;
    flip.kind = emulator::FaultKind::BitFlip;
    flip.packetIndex = f->device->PacketsBegun() + 40;
    f->device->AddFault(flip);
    m.OK->click();
    QPointer<UpdatingCompleteForm> first = f->app->UpdatingComplete();
    const QPoint firstPos = first->pos();
    QCOMPARE(first->Label1->text(), QStringLiteral("The update was not successful."));
    first->OKCmd->click();

    // The main window moves; the result window stays where it was first placed.
    m.move(m.pos() + QPoint(40, 30));
    f->device->ClearFaults();
    f->Detect();
    m.OK->click();
    QCOMPARE(f->app->UpdatingComplete(), first.data());
    QVERIFY(first->isVisible());
    QCOMPARE(first->pos(), firstPos);
    QCOMPARE(first->Label1->text(), QStringLiteral("The update was successful."));
    QCOMPARE(TextColour(first->Label1), kGreen);
  }

  void nothingSelectedSendsNothingAndSucceeds() {
    auto f = Ready();
    f->Main().mnu_FLASH->trigger();
    const std::uint32_t before = f->device->PacketsBegun();
    f->Main().OK->click();
    QCOMPARE(f->device->PacketsBegun(), before);
    QCOMPARE(f->app->UpdatingComplete()->Label1->text(),
             QStringLiteral("The update was successful."));
  }

  void noDeviceDuringTheRunEndsInFailure() {
    auto f = Ready();
    f->device->Unplug();
    f->Main().OK->click();
    QCOMPARE(f->app->UpdatingComplete()->Label1->text(),
             QStringLiteral("The update was not successful."));
  }

  void resultCloseBoxEndsTheApplication() {
    auto f = Ready();
    QSignalSpy ended(f->app.get(), &Application::ended);
    f->Main().OK->click();
    f->app->UpdatingComplete()->close();
    QCOMPARE(ended.count(), 1);
    QVERIFY(f->app->Ended());
    QVERIFY(f->app->Main() == nullptr);
    QVERIFY(f->app->UpdatingComplete() == nullptr);
  }

  void aboutWindowShowsVersionRightsAndLink() {
    Fixture f;
    MainForm& m = f.Main();
    const QPoint mainPos = m.pos();
    m.mnu_About->trigger();
    InfoForm* a = f.app->Info();
    QVERIFY(a != nullptr && a->isVisible());
    QVERIFY(!m.isVisible());
    QCOMPARE(a->pos(), mainPos);
    QCOMPARE(a->windowTitle(), QStringLiteral("About Korvane"));
    QCOMPARE(a->Label1->text(), QStringLiteral("Korvane Ver. 2.0b"));
    const QString year = QString::number(QDate::currentDate().year());
    QVERIFY2(a->Label2->text().endsWith(QStringLiteral("  ") + year),
             qPrintable(a->Label2->text()));
    QVERIFY(a->Label2->text().contains(QStringLiteral("Dextrel")));
    QVERIFY(!a->Label2->text().contains(QStringLiteral("   ")));
    QCOMPARE(TextColour(a->Label2), 0u);
    QCOMPARE(TextColour(a->Label3), 0xFF0000u);  // blue
    QCOMPARE(a->Label3->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(!a->picIcon->pixmap().isNull());
    QVERIFY(a->cmdOK->isDefault());

    // The link opens the shop's address and leaves the About window open.
    QTest::mouseClick(a->Label3, Qt::LeftButton);
    QCOMPARE(f.platform.urls.size(), 1);
    QCOMPARE(f.platform.urls[0].toString(), a->Label3->text());
    QCOMPARE(f.platform.urls[0].host(), QStringLiteral("shop.example.com"));
    QVERIFY(f.app->Info() == a && a->isVisible());
    QVERIFY(!m.isVisible());
  }

  void aboutWindowClosesByOKEnterEscAndCloseBox_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("OK") << 0;
    QTest::newRow("Enter") << 1;
    QTest::newRow("Esc") << 2;
    QTest::newRow("close box") << 3;
  }
  void aboutWindowClosesByOKEnterEscAndCloseBox() {
    QFETCH(int, how);
    Fixture f;
    f.Main().mnu_About->trigger();
    InfoForm* a = f.app->Info();
    QApplication::setActiveWindow(a);
    QVERIFY(QTest::qWaitForWindowActive(a));
    switch (how) {
      case 0:
        QTest::mouseClick(a->cmdOK, Qt::LeftButton);
        break;
      case 1:
        QTest::keyClick(a, Qt::Key_Return);
        break;
      case 2:
        QTest::keyClick(a, Qt::Key_Escape);
        break;
      default:
        a->close();
    }
    QVERIFY(f.app->Info() == nullptr);
    QVERIFY(f.Main().isVisible());
    QVERIFY(!f.app->Ended());
    // Every opening loads it afresh.
    f.Main().mnu_About->trigger();
    QVERIFY(f.app->Info() != nullptr && f.app->Info()->isVisible());
  }
};

QTEST_MAIN(UpdateWindowsTest)
#include "UpdateWindowsTest.moc"
