// The desktop services through Qt: one running copy per user (the lock behind it, held by a real
// second process), and message boxes.
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <thread>

#include "UiTestSupport.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;
using Result = app::InstanceClaim::Result;

namespace {

constexpr const char* kHoldLockVariable = "KORVANE_TEST_HOLD_LOCK";

// Child mode: claims the lock at the path given, says so, and waits to be killed.
[[noreturn]] void HoldLock(const QString& path) {
  QtDesktop desktop(path);
  std::puts(desktop.ClaimSingleInstance().result == Result::Granted ? "claimed" : "refused");
  std::fflush(stdout);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace

class QtDesktopTest : public QObject {
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
    QtDesktop holder(LockPath(QStringLiteral("refused.lock")));
    QCOMPARE(holder.ClaimSingleInstance().result, Result::Granted);
    QtDesktop second(LockPath(QStringLiteral("refused.lock")));
    TestDesktop desktop;
    desktop.real = &second;
    QtForms forms;
    app::Application app(desktop, forms, std::make_unique<emulator::EmulatedUsbLibrary>());
    // The refusal's box is answered as soon as it shows.
    QTimer::singleShot(0, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->accept();
      }
    });
    QVERIFY(!app.Start());
    QCOMPARE(desktop.messages.size(), 1);
    QCOMPARE(desktop.messages[0].text, QStringLiteral("Korvane allready running!"));
    QVERIFY(app.Main() == nullptr);
    for (QWidget* w : QApplication::topLevelWidgets()) {
      QVERIFY(!w->isVisible() || qobject_cast<QMessageBox*>(w) != nullptr);
    }
  }

  // Only a claim held by another copy means "already running"; a lock that cannot be written at
  // all is a failure of its own, with the reason.
  void aLockThatCannotBeWrittenIsAFailureNotAnotherCopy() {
    QFile plain(LockPath(QStringLiteral("a-file")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QtDesktop desktop(LockPath(QStringLiteral("a-file/korvane.lock")));
    const app::InstanceClaim claim = desktop.ClaimSingleInstance();
    QCOMPARE(claim.result, Result::Failed);
    QVERIFY2(claim.reason.find("a-file") != std::string::npos, claim.reason.c_str());
  }

  // A file name with markup in it is shown as written.
  void messageBoxesShowPlainText() {
    QtDesktop desktop(LockPath(QStringLiteral("box.lock")));
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QString title;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      shown = box->text();
      format = box->textFormat();
      title = box->windowTitle();
      box->accept();
    });
    desktop.ShowMessageBox(nullptr, "cannot read <b>firmware</b>.hex", "USB_Korvane",
                           app::MessageIcon::None);
    QCOMPARE(shown, QStringLiteral("cannot read <b>firmware</b>.hex"));
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(title, QStringLiteral("USB_Korvane"));
  }

  void theLockRefusesWhileHeldAndIsFreeAfterwards() {
    const QString path = LockPath(QStringLiteral("same-process.lock"));
    {
      QtDesktop first(path);
      QCOMPARE(first.ClaimSingleInstance().result, Result::Granted);
      QCOMPARE(first.ClaimSingleInstance().result, Result::Granted);  // asking again keeps it
      QtDesktop second(path);
      QCOMPARE(second.ClaimSingleInstance().result, Result::HeldByAnother);
    }
    QtDesktop third(path);
    QCOMPARE(third.ClaimSingleInstance().result, Result::Granted);
  }

  void aRunningProcessKeepsItsClaimAndACrashedOneLeavesNoStaleLock() {
    const QString path = LockPath(QStringLiteral("two-processes.lock"));
    QProcess holder;
    StartHolder(holder, path);
    {
      QtDesktop second(path);
      QCOMPARE(second.ClaimSingleInstance().result, Result::HeldByAnother);
    }
    // The holder dies without cleaning up: its lock file stays behind, but the claim is free.
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(QFile::exists(path));
    QtDesktop after(path);
    QCOMPARE(after.ClaimSingleInstance().result, Result::Granted);
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
    QtDesktop second(path);
    QCOMPARE(second.ClaimSingleInstance().result, Result::HeldByAnother);
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
  QtDesktopTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "QtDesktopTest.moc"
