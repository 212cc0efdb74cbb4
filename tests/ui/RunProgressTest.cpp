// SPDX-License-Identifier: Apache-2.0
// The whole run's progress under the file's, the file bar while a password is asked, and the
// summaries that count what a run passed over.
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "ui/MainForm.h"
#include "ui/PwdDlg.h"
#include "ui/WinUtils.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"

using namespace qv;
using namespace qvtest;

namespace {

void Encrypt(const QString& plain, const QString& encrypted, const std::string& password) {
  auto src = TFileStream::Open(plain.toStdString(), TOpenMode::Read);
  auto dst = TFileStream::Open(encrypted.toStdString(), TOpenMode::Create);
  QVERIFY(src && dst);
  TEncryption enc(password, 0, 524288);
  QVERIFY(enc.EncryptStream(*src, *dst, false));
}

// Answers message boxes with Yes/OK, and the password dialog with Skip.
void AnswerAll(TDialogScript& script, int* fileBarAtPassword = nullptr, TMainForm* form = nullptr) {
  script.Always([=](QWidget* w) {
    if (auto* pwd = qobject_cast<TPasswordDialog*>(w)) {
      if (fileBarAtPassword) *fileBarAtPassword = form->ProgressBar->value();
      pwd->done(qv::mrYes);  // Skip
      return true;
    }
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    (box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes) : box->buttons().first())->click();
    return true;
  });
}

}  // namespace

class RunProgressTest : public QObject {
  Q_OBJECT
 private slots:
  void progressText_data() {
    QTest::addColumn<uint>("filesDone");
    QTest::addColumn<uint>("filesTotal");
    QTest::addColumn<qlonglong>("bytesDone");
    QTest::addColumn<qlonglong>("bytesTotal");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("expected");
    const QString dot = "  \u00b7  ";
    QTest::newRow("not counted yet") << 0u << 0u << 0LL << 0LL << 0.0 << "0 files";
    QTest::newRow("one of one") << 1u << 1u << 0LL << 0LL << 0.0 << "1 of 1 file";
    QTest::newRow("files and bytes, too soon for a speed")
        << 331u << 2000u << 1048576LL << 4194304LL << 0.1 << "331 of 2,000 files" + dot + "1.00 MB of 4.00 MB";
    QTest::newRow("speed and time left")
        << 3u << 10u << 1048576LL << 4194304LL << 2.0
        << "3 of 10 files" + dot + "1.00 MB of 4.00 MB" + dot + "512.0 kB/s" + dot + "0:06 left";
    QTest::newRow("hours left")
        << 1u << 2u << 1024LL << 8192000LL << 1.0
        << "1 of 2 files" + dot + "1.00 kB of 7.81 MB" + dot + "1.00 kB/s" + dot + "2:13:19 left";
    QTest::newRow("done: no time left") << 2u << 2u << 2048LL << 2048LL << 1.0
                                        << "2 of 2 files" + dot + "2.00 kB of 2.00 kB" + dot + "2.00 kB/s";
  }

  void progressText() {
    QFETCH(uint, filesDone);
    QFETCH(uint, filesTotal);
    QFETCH(qlonglong, bytesDone);
    QFETCH(qlonglong, bytesTotal);
    QFETCH(double, seconds);
    QFETCH(QString, expected);
    TRunProgress p;
    p.FilesDone = filesDone;
    p.FilesTotal = filesTotal;
    p.BytesDone = bytesDone;
    p.BytesTotal = bytesTotal;
    QCOMPARE(TMainForm::RunProgressText(p, seconds), expected);
  }

  // The run line at the summary says what the run did: every file of the selection, all bytes.
  void runBarCountsEqualTheRunsCounts_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("kept");  // files already at the destination, kept by "Never"
    QTest::newRow("directory") << "rbDirs" << 7 << 0;
    QTest::newRow("directory, two kept") << "rbDirs" << 5 << 2;
    QTest::newRow("files") << "rbFiles" << 4 << 1;
  }

  void runBarCountsEqualTheRunsCounts() {
    QFETCH(QString, mode);
    QFETCH(int, files);
    QFETCH(int, kept);
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    QStringList names;
    qint64 bytes = 0;
    for (int i = 0; i < files; ++i) {
      names << QString("f%1.bin").arg(i);
      WriteFile(src + "/" + names.last(), QByteArray(1000 * (i + 1), 'a'));
      bytes += 1000 * (i + 1);
    }
    for (int i = 0; i < kept; ++i) WriteFile(dest + "/" + names[i], "mine");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->findChild<QRadioButton*>(mode)->click();
    QVERIFY(form->ShellTreeView->SetPath(src));
    if (mode == "rbFiles") form->ShellListView->SelectNames(names);
    form->edTarget->setText(dest);
    form->rbOverwriteNone->setChecked(true);
    QString runLine, summary;
    int runBar = -1;
    TDialogScript script;
    script.Always([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      if (box->text().contains("copied")) {
        summary = box->text();
        runLine = form->laRun->text();
        runBar = form->RunBar->value();
      }
      (box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes) : box->buttons().first())->click();
      return true;
    });
    form->btRestore->click();
    QVERIFY2(summary.startsWith(QString("%1 file").arg(files - kept)), qPrintable(summary));
    const QString counted = files == 1 ? "1 of 1 file" : QString("%1 of %1 files").arg(files);
    QVERIFY2(runLine.startsWith(counted + "  \u00b7  "), qPrintable(runLine));
    QCOMPARE(runBar, 100);
    if (kept > 0) QVERIFY2(summary.contains(QString("\n%1 skipped").arg(kept)), qPrintable(summary));
    else QVERIFY2(!summary.contains("skipped"), qPrintable(summary));
    Q_UNUSED(bytes);
  }

  void fileBarIsNotFullWhileAPasswordIsAsked() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/a-plain.bin", QByteArray(300000, 'p'));
    WriteFile(dir.filePath("secret.txt"), "the secret text");
    Encrypt(dir.filePath("secret.txt"), src + "/b-secret.txt.enc", "pw");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbDirs->click();
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->edTarget->setText(dest);
    int fileBar = -1;
    TDialogScript script;
    AnswerAll(script, &fileBar, form.get());
    form->btRestore->click();
    QTest::qWait(50);
    QCOMPARE(fileBar, 0);
    QVERIFY2(script.Seen.last().contains("1 file copied") && script.Seen.last().contains("\n1 skipped"),
             qPrintable(script.Seen.join(" | ")));
  }

  // Test says how many files it read, how many failed and how many it passed over.
  void testRunSaysHowManyItSkipped() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup");
    WriteFile(src + "/a.txt", "a");
    WriteFile(src + "/b.txt", "b");
    WriteFile(dir.filePath("secret.txt"), "the secret text");
    Encrypt(dir.filePath("secret.txt"), src + "/c.txt.enc", "pw");
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"a.txt", "b.txt", "c.txt.enc"});
    TDialogScript script;
    AnswerAll(script);
    form->btTest->click();
    QTest::qWait(50);
    QVERIFY2(!script.Seen.isEmpty() && script.Seen.last().startsWith("2 files tested OK") &&
                 script.Seen.last().endsWith("\n1 skipped"),
             qPrintable(script.Seen.join(" | ")));
  }

  // The view's side alone: whatever the item's bar read, asking its password empties it
  // (an archive entry's prompt comes after the archive's bar has run full).
  void passwordQuestionEmptiesAFullFileBar() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->SetStatusVisible(true);
    form->SetProgress(100);
    int atQuestion = -1;
    TDialogScript script;
    script.Then([&](QWidget* w) {
      auto* pwd = qobject_cast<TPasswordDialog*>(w);
      if (!pwd) return false;
      atQuestion = form->ProgressBar->value();
      pwd->done(qv::mrYes);
      return true;
    });
    std::string password;
    QCOMPARE(form->QueryPassword("title", "To restore encrypted file:\nold.zip/a.txt\nrequires a password!", password),
             paSkip);
    QCOMPARE(atQuestion, 0);
  }
};

QV_UI_TEST(RunProgressTest);
#include "RunProgressTest.moc"
