// The Qt progress, result and About windows: what they show while a run goes on, their sizes,
// icons and colours, and the wiring of their buttons, links and close boxes.
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <set>
#include <utility>

#include "UiTestSupport.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

using C = app::MainControl;
using U = app::UpdatingControl;
using R = app::CompleteControl;
using I = app::InfoControl;

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
    file_ = WriteFile(dir_, QStringLiteral("firmware.hex"), cli::test::FirmwareHex(0x0FFF, true));
    QVERIFY(!file_.isEmpty());
  }

  void progressAndResultWindowsShowTheRun() {
    auto f = Ready();
    MainForm& m = *f->Main();
    m.Item(app::MenuCommand::EEDATA)->trigger();
    const QPoint mainPos = m.pos();

    std::set<std::pair<QString, std::uint32_t>> stages;
    bool placed = true;
    bool abortFocused = true;
    bool barFollows = true;
    DuringRun watch([&] {
      if (UpdatingForm* p = f->Updating()) {
        stages.insert({p->Label(U::Label2)->text(), p->ProgressBarColor()});
        placed = placed && p->pos() == mainPos && p->isVisible() && !m.isVisible();
        abortFocused = abortFocused && p->focusWidget() == p->Button(U::AbortCmd);
        barFollows = barFollows && p->Bar()->value() == qRound(p->BarValue());
      }
    });
    m.Button(C::OK)->click();

    QVERIFY(placed);
    QVERIFY(abortFocused);
    QVERIFY(barFollows);
    const std::set<std::pair<QString, std::uint32_t>> expected = {
        {QStringLiteral("Erasing Flash..."), kYellowBar},
        {QStringLiteral("Writing program data..."), kBlueBar},
        {QStringLiteral("Verify program data..."), kGreenBar},
        {QStringLiteral("Write EEPROM..."), kBlueBar},
        {QStringLiteral("Verify EEPROM data..."), kGreenBar}};
    QCOMPARE(stages, expected);

    QVERIFY(f->Updating() == nullptr);
    UpdatingCompleteForm* r = f->Complete();
    QVERIFY(r != nullptr && r->isVisible());
    QCOMPARE(r->pos(), mainPos);
    QCOMPARE(r->windowTitle(), QStringLiteral("Updating Complete"));
    QCOMPARE(r->Label(R::Label1)->text(), QStringLiteral("The update was successful."));
    QCOMPARE(TextColour(r->Label(R::Label1)), kGreen);
    QVERIFY(r->Label(R::Label1)->font().bold());
    QVERIFY(r->Label(R::Label2)->text().isEmpty());
    QCOMPARE(r->focusWidget(), r->Button(R::OKCmd));

    // OK hides it and re-checks the device: "Reset PIC" comes back, "Data Update" does not.
    r->Button(R::OKCmd)->click();
    QVERIFY(!r->isVisible());
    QVERIFY(m.isVisible());
    QVERIFY(m.Button(C::ResetPIC)->isEnabled());
    QVERIFY(!m.Button(C::OK)->isEnabled());
  }

  void windowsAreFixedAndCarryTheirIcons() {
    auto f = Ready();
    const qint64 appIcon = f->Main()->windowIcon().cacheKey();
    const auto fixed = [](QWidget* w) {
      QVERIFY(w != nullptr);
      QCOMPARE(w->size(), QSize(350, 105));  // 5250 x 1575 twips
      QCOMPARE(w->minimumSize(), w->maximumSize());
      QVERIFY(!(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
      QVERIFY(!w->windowIcon().isNull());
    };
    qint64 progressIcon = 0;
    DuringRun watch([&] {
      if (UpdatingForm* p = f->Updating(); p && progressIcon == 0) {
        fixed(p);
        progressIcon = p->windowIcon().cacheKey();
        QCOMPARE(p->Bar()->geometry(), QRect(7, 54, 249, 14));
        QCOMPARE(p->Bar()->maximum(), 100);
      }
    });
    f->Main()->Button(C::OK)->click();
    // The progress and result windows share an icon of their own.
    QVERIFY(progressIcon != 0 && progressIcon != appIcon);
    fixed(f->Complete());
    QCOMPARE(f->Complete()->windowIcon().cacheKey(), progressIcon);
    f->Complete()->Button(R::OKCmd)->click();

    // The search and About windows carry the application's icon.
    f->Main()->Button(C::AutoDetectCmd)->click();
    fixed(f->AutoDetect());
    QCOMPARE(f->AutoDetect()->windowIcon().cacheKey(), appIcon);
    f->AutoDetect()->Button(app::AutoDetectControl::OKCmd)->click();
    f->Main()->Item(app::MenuCommand::About)->trigger();
    fixed(f->Info());
    QCOMPARE(f->Info()->windowIcon().cacheKey(), appIcon);
  }

  void abortButtonAndCloseBoxStopTheRun_data() {
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Abort button") << false;
    QTest::newRow("close box") << true;
  }
  void abortButtonAndCloseBoxStopTheRun() {
    QFETCH(bool, closeBox);
    auto f = Ready();
    const std::uint32_t before = f->device->PacketsBegun();
    int clicks = 0;
    DuringRun watch([&] {
      UpdatingForm* p = f->Updating();
      if (p && clicks == 0 && f->device->PacketsBegun() - before == 5) {
        ++clicks;
        if (closeBox) {
          p->close();
        } else {
          QTest::mouseClick(p->Button(U::AbortCmd), Qt::LeftButton);
        }
        QVERIFY(f->Updating() != nullptr);
        QVERIFY(f->app->AbortRequested());
      }
    });
    f->Main()->Button(C::OK)->click();
    QCOMPARE(clicks, 1);
    QCOMPARE(f->device->PacketsBegun() - before, 5u);
    QVERIFY(f->Updating() == nullptr);
    UpdatingCompleteForm* r = f->Complete();
    QCOMPARE(r->Label(R::Label1)->text(), QStringLiteral("The update was not successful."));
    QCOMPARE(TextColour(r->Label(R::Label1)), kRed);
    QCOMPARE(r->Label(R::Label2)->text(), QStringLiteral("Erase at 0x0900: stopped by the user."));
    QVERIFY(!f->app->Ended());
  }

  void aboutWindowShowsVersionRightsAndLink() {
    Fixture f;
    f.Main()->Item(app::MenuCommand::About)->trigger();
    InfoForm* a = f.Info();
    QVERIFY(a != nullptr && a->isVisible());
    QCOMPARE(a->windowTitle(), QStringLiteral("About Korvane"));
    QCOMPARE(a->Label(I::Label1)->text(), QStringLiteral("Korvane Ver. 2.0b"));
    QVERIFY2(a->Label(I::Label2)->text().endsWith(QStringLiteral("  2031")),
             qPrintable(a->Label(I::Label2)->text()));
    QCOMPARE(TextColour(a->Label(I::Label2)), 0u);
    QCOMPARE(TextColour(a->Label(I::Label3)), 0xFF0000u);  // blue
    QCOMPARE(a->Label(I::Label3)->text(), QStringLiteral("https://shop.example.com/korvane"));
    QCOMPARE(a->Label(I::Label3)->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(!a->Label(I::picIcon)->pixmap().isNull());
    QVERIFY(a->Button(I::cmdOK)->isDefault());

    // The link opens the shop's address and leaves the About window open.
    QTest::mouseClick(a->Label(I::Label3), Qt::LeftButton);
    QCOMPARE(f.desktop.addresses, QStringList{a->Label(I::Label3)->text()});
    QVERIFY(f.Info() == a && a->isVisible());
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
    f.Main()->Item(app::MenuCommand::About)->trigger();
    InfoForm* a = f.Info();
    QApplication::setActiveWindow(a);
    QVERIFY(QTest::qWaitForWindowActive(a));
    switch (how) {
      case 0:
        QTest::mouseClick(a->Button(I::cmdOK), Qt::LeftButton);
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
    QVERIFY(f.Info() == nullptr);
    QVERIFY(f.Main()->isVisible());
    QVERIFY(!f.app->Ended());
  }
};

QTEST_MAIN(UpdateWindowsTest)
#include "UpdateWindowsTest.moc"
