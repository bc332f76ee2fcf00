// One running copy per user: the refusal of a second copy, and the lock behind it, held by a
// real second process.
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <thread>

#include "UiTestSupport.h"
#include "ui/QtPlatform.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

constexpr const char* kHoldLockVariable = "KORVANE_TEST_HOLD_LOCK";

// Child mode: claims the lock at the path given, says so, and waits to be killed.
[[noreturn]] void HoldLock(const QString& path) {
  QtPlatform platform(path);
  std::puts(platform.ClaimSingleInstance() ? "claimed" : "refused");
  std::fflush(stdout);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString LockPath(const QString& name) const { return QDir(dir_.path()).filePath(name); }

  // Starts a second process that claims the lock at `path`; returns once it has.
  void StartHolder(QProcess& holder, const QString& path) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kHoldLockVariable), path);
    holder.setProcessEnvironment(env);
    holder.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(holder.waitForStarted());
    QVERIFY(holder.waitForReadyRead(10000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("claimed"));
  }

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void aSecondCopyIsRefusedWithoutAWindow() {
    TestPlatform platform;
    platform.claimGranted = false;
    auto library = std::make_unique<emulator::EmulatedUsbLibrary>();
    emulator::EmulatedUsbLibrary& device = *library;
    Application app(platform, std::move(library));
    QSignalSpy ended(&app, &Application::ended);
    QVERIFY(!app.Start());
    QCOMPARE(platform.messages.size(), 1);
    QCOMPARE(platform.messages[0].text, QStringLiteral("Korvane allready running!"));
    QCOMPARE(platform.messages[0].title, QStringLiteral("Korvane-Error"));
    QCOMPARE(platform.messages[0].icon, MessageIcon::Warning);
    QVERIFY(app.Main() == nullptr);
    QVERIFY(app.Ended());
    QCOMPARE(device.PacketsBegun(), 0u);
    // Nothing was loaded, so no unload ran either.
    QCOMPARE(ended.count(), 0);
    for (QWidget* w : QApplication::topLevelWidgets()) {
      QVERIFY(!w->isVisible());
    }
  }

  void theLockRefusesWhileHeldAndIsFreeAfterwards() {
    const QString path = LockPath(QStringLiteral("same-process.lock"));
    {
      QtPlatform first(path);
      QVERIFY(first.ClaimSingleInstance());
      QVERIFY(first.ClaimSingleInstance());  // asking again keeps the claim
      QtPlatform second(path);
      QVERIFY(!second.ClaimSingleInstance());
    }
    QtPlatform third(path);
    QVERIFY(third.ClaimSingleInstance());
  }

  void aRunningProcessKeepsItsClaimAndACrashedOneLeavesNoStaleLock() {
    const QString path = LockPath(QStringLiteral("two-processes.lock"));
    QProcess holder;
    StartHolder(holder, path);
    {
      QtPlatform second(path);
      QVERIFY(!second.ClaimSingleInstance());
    }
    // The holder dies without cleaning up: its lock file stays behind, but the claim is free.
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(QFile::exists(path));
    QtPlatform after(path);
    QVERIFY(after.ClaimSingleInstance());
  }

  void aLongRunningCopyKeepsItsClaim() {
    const QString path = LockPath(QStringLiteral("old.lock"));
    QProcess holder;
    StartHolder(holder, path);
    // A lock file written an hour ago by a copy that still runs is not stale.
    QFile lock(path);
    QVERIFY(lock.open(QIODevice::ReadWrite));
    QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                             QFileDevice::FileModificationTime));
    lock.close();
    QtPlatform second(path);
    QVERIFY(!second.ClaimSingleInstance());
    holder.kill();
    QVERIFY(holder.waitForFinished());
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsSet(kHoldLockVariable)) {
    QCoreApplication app(argc, argv);
    HoldLock(qEnvironmentVariable(kHoldLockVariable));
  }
  QApplication app(argc, argv);
  SingleInstanceTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "SingleInstanceTest.moc"
