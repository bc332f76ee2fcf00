// File > Open... through the desktop's own open dialog (the Qt one under the offscreen platform):
// its title, its one filter entry, the files it offers, and what choosing or cancelling does.
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTimer>
#include <QtTest>

#include "UiTestSupport.h"
#include "image/UpdateFileLoader.h"

using namespace korvane;
using namespace korvane::ui;
using namespace korvane::ui::test;

namespace {

// Waits for the open dialog to come up inside the menu command and hands it to `act`, which
// must close it.
class DialogAnswer {
 public:
  explicit DialogAnswer(std::function<void(QFileDialog&)> act) : act_(std::move(act)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        timer_.stop();
        seen_ = true;
        act_(*dialog);
      }
    });
    timer_.start();
  }
  bool Seen() const { return seen_; }

 private:
  std::function<void(QFileDialog&)> act_;
  QTimer timer_;
  bool seen_ = false;
};

QStringList ListedFiles(QFileDialog& dialog) {
  QStringList names;
  auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
  if (view == nullptr) {
    return names;
  }
  const QModelIndex root = view->rootIndex();
  for (int row = 0; row < view->model()->rowCount(root); ++row) {
    names.append(view->model()->index(row, 0, root).data().toString());
  }
  names.sort();
  return names;
}

}  // namespace

class OpenDialogTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QTemporaryDir lockDir_;

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid() && lockDir_.isValid());
    const std::string hex = cli::test::FirmwareHex(0x0FFF, false);
    QVERIFY(!WriteFile(dir_, QStringLiteral("a.hex"), hex).isEmpty());
    QVERIFY(!WriteFile(dir_, QStringLiteral("B.HEX"), hex).isEmpty());
    QVERIFY(!WriteFile(dir_, QStringLiteral("c.elc"), "x").isEmpty());
    QVERIFY(!WriteFile(dir_, QStringLiteral("notes.txt"), "x").isEmpty());
  }

  void dialogShowsOneEntryAndOffersUpdateFilesInAnyCase() {
    QtDesktop desktop(QDir(lockDir_.path()).filePath(QStringLiteral("a.lock")));
    QtForms forms;
    app::Application app(desktop, forms, std::make_unique<emulator::EmulatedUsbLibrary>(),
                         dir_.path().toStdString());
    QVERIFY(app.Start());
    MainForm& m = *QtWindow(app.Main());

    // Cancelled: nothing changes.
    QString title;
    QStringList entries;
    QStringList files;
    DialogAnswer cancel([&](QFileDialog& dialog) {
      title = dialog.windowTitle();
      if (auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
        for (int i = 0; i < combo->count(); ++i) {
          entries.append(combo->itemText(i));
        }
      }
      // The folder is read in the background; the dialog is closed whatever it shows.
      static_cast<void>(
          QTest::qWaitFor([&dialog] { return ListedFiles(dialog).size() >= 3; }, 5000));
      files = ListedFiles(dialog);
      dialog.reject();
    });
    m.Item(app::MenuCommand::Open)->trigger();
    QVERIFY(cancel.Seen());
    QCOMPARE(title, QStringLiteral("Open an Uploader-File"));
    QCOMPARE(entries, QStringList{QStringLiteral("Korvane-Files (*.HEX; *.ELC)")});
    QCOMPARE(files, (QStringList{QStringLiteral("B.HEX"), QStringLiteral("a.hex"),
                                 QStringLiteral("c.elc")}));
    QVERIFY(!app.FileLoaded());
    QCOMPARE(m.Label(app::MainControl::Label1)->text(), QStringLiteral("Update File not loaded!"));

    // A file in capitals is chosen and loaded as plain HEX.
    const QString chosen = QDir(dir_.path()).filePath(QStringLiteral("B.HEX"));
    DialogAnswer choose([&](QFileDialog& dialog) {
      // Typed into the name field, as a user would.
      if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setText(QFileInfo(chosen).fileName());
      }
      static_cast<QDialog&>(dialog).accept();
      if (dialog.isVisible()) {
        dialog.reject();  // not taken: the checks below fail rather than hang
      }
    });
    m.Item(app::MenuCommand::Open)->trigger();
    QVERIFY(choose.Seen());
    QVERIFY(app.FileLoaded());
    QCOMPARE(m.Label(app::MainControl::Label1)->text(),
             QString::fromStdString(image::ShortenPath(chosen.toStdString(), 40)));
    QCOMPARE(app.Image().HighestFlashAddress, 0x0FFF);
  }
};

QTEST_MAIN(OpenDialogTest)
#include "OpenDialogTest.moc"
