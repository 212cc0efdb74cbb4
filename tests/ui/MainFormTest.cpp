// SPDX-License-Identifier: Apache-2.0
// The main window driven as a user would: settings, the three ways into a run, questions,
// password prompt, summary, Stop and Pause.
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include "base/IniFile.h"
#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "restore/RestoreSession.h"
#include "ui/DetailInfoDlg.h"
#include "ui/MainForm.h"
#include "ui/PwdDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/ShellDirDlg.h"
#include "ui/UiTestSupport.h"

using namespace qv;
using namespace qvtest;

namespace {

void EncryptFile(const QString& plain, const QString& encrypted, const std::string& password) {
  auto src = TFileStream::Open(plain.toStdString(), TOpenMode::Read);
  auto dst = TFileStream::Open(encrypted.toStdString(), TOpenMode::Create);
  QVERIFY(src && dst);
  TEncryption enc(password, 0, 524288);
  QVERIFY(enc.EncryptStream(*src, *dst, false));
}

// A window on its own settings file, shown so that its start-up steps have run.
QStringList Names(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT
 private slots:
  void missingSettingsGiveDefaults() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("QuorvexRestore.ini"));
    QVERIFY(form->rbFiles->isChecked());
    QCOMPARE(form->pcSource->currentIndex(), 0);
    QVERIFY(form->cbGZip->isChecked());
    QVERIFY(form->cbProtected->isChecked());
    QVERIFY(form->rbOverwriteNone->isChecked());
    QCOMPARE(form->RunOptions().Tolerance, 2);
    QVERIFY(!form->RunOptions().IgnoreDst);
    QCOMPARE(form->dtpRest->date(), QDate::currentDate());
    QCOMPARE(form->edFilter->text(), QString("*.*"));
    QVERIFY(form->edDriveId->text().isEmpty());
    QCOMPARE(form->edTarget->text(), TMainForm::DefaultTarget());  // a folder of its own at home
    QCOMPARE(form->pnStatus->height(), 0);
    QVERIFY(!form->btPause->isEnabled());
    QCOMPARE(form->btRestore->text().remove('&'), QString("Start"));
    QCOMPARE(form->windowTitle(), QString("Restore files from backup"));
  }

  void settingsRoundTrip() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("QuorvexRestore.ini");
    QDir().mkpath(dir.filePath("src/inner"));
    {
      TIniFile file(ini.toStdString());
      file.WriteInteger("Config", "Mode", 5);
      file.WriteString("Config", "Source", dir.filePath("src/inner").toStdString());
      file.WriteString("Config", "Target", "/old/target");
      file.WriteInteger("Config", "Timespan", 9000);  // used unchanged, even outside the dialog's range
      file.WriteBool("Config", "IgnoreDst", true);
      file.WriteBool("Config", "Unpack", false);
      file.WriteInteger("Config", "RestoreDate", 45000);
      file.WriteString("Config", "SubDirMask", "BD*");
      QVERIFY(file.UpdateFile());
    }
    {
      auto form = OpenWindow(ini);
      QVERIFY(form->rbSched->isChecked());
      QCOMPARE(form->pcSource->currentIndex(), 2);
      QCOMPARE(form->RunOptions().Tolerance, 9000);
      QVERIFY(form->RunOptions().IgnoreDst);
      QVERIFY(!form->cbGZip->isChecked());
      QCOMPARE(form->dtpRest->date(), QDate(1899, 12, 30).addDays(45000));
      QCOMPARE(form->edFilter->text(), QString("BD*"));
      QCOMPARE(form->edTarget->text(), QString("/old/target"));
      QCOMPARE(form->ShellTreeView->Path(), dir.filePath("src/inner"));
      QVERIFY(form->laFolder->text().endsWith("inner"));
      form->rbOverwriteAll->setChecked(true);
      form->edTarget->setText("/typed/never/started");
      QVERIFY(form->close());
    }
    TIniFile file(ini.toStdString());
    QCOMPARE(file.ReadInteger("Config", "Mode", -1), 2);
    QCOMPARE(file.ReadString("Config", "Target"), std::string("/typed/never/started"));
    QCOMPARE(file.ReadString("Config", "Source"), dir.filePath("src/inner").toStdString());
    QCOMPARE(file.ReadString("Config", "Unpack"), std::string("0"));
    QCOMPARE(file.ReadInteger("Config", "RestoreDate", 0), 45000);
    QVERIFY(file.ValueExists("Config", "Split"));
    auto again = OpenWindow(ini);
    QVERIFY(again->rbOverwriteNone->isChecked());  // the overwrite rule always starts at "Never"
    again->rbFiles->click();
    QCOMPARE(again->pcSource->currentIndex(), 0);
    again->rbDirs->click();
    QCOMPARE(again->pcSource->currentIndex(), 1);
  }

  void filesModeRestoresSelectedFiles() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/a.txt", "alpha");
    WriteFile(src + "/b.txt", "beta");
    WriteFile(src + "/c.txt", "gamma");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    QCOMPARE(form->ShellListView->Count(), 3);
    form->ShellListView->SelectNames({"a.txt", "c.txt"});
    form->edTarget->setText(dest);
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "2 files copied"));
    form->btRestore->click();
    QVERIFY(script.Done());
    QCOMPARE(Names(dest), (QStringList{"a.txt", "c.txt"}));
    QCOMPARE(ReadFile(dest + "/c.txt"), QByteArray("gamma"));
    QCOMPARE(form->btRestore->text().remove('&'), QString("Start"));
    QCOMPARE(form->pnStatus->height(), 0);
  }

  void filesModeRestoresEntryOfZipChosenInTree() {
    QTemporaryDir dir;
    const QString work = dir.filePath("work"), dest = dir.filePath("dest");
    WriteFile(work + "/docs/a.txt", "inside the archive");
    WriteFile(work + "/docs/deeper/b.txt", "b");
    if (!Run("zip", {"-qr", dir.filePath("x/old.zip"), "docs"}, work)) {
      QDir().mkpath(dir.filePath("x"));
      if (!Run("zip", {"-qr", dir.filePath("x/old.zip"), "docs"}, work)) QSKIP("zip is not installed");
    }
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(dir.filePath("x/old.zip/docs")));
    QCOMPARE(form->ShellTreeView->Path(), dir.filePath("x/old.zip/docs"));
    QCOMPARE(form->ShellListView->Count(), 1);  // the subfolder "deeper" is in the tree only
    QCOMPARE(form->ShellListView->Item(0).PathName, dir.filePath("x/old.zip/docs/a.txt"));
    QVERIFY(form->ShellTreeView->Model()->FindPath(dir.filePath("x/old.zip/docs/deeper")).isValid());
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(dest);
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "1 file copied"));
    form->btRestore->click();
    QVERIFY(script.Done());
    // The path inside the archive is kept below the destination.
    QCOMPARE(ReadFile(dest + "/docs/a.txt"), QByteArray("inside the archive"));
    QVERIFY(!QFileInfo::exists(dest + "/docs/deeper"));
  }

  void directoryModeAsksPasswordAndShowsDetails() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("new/dest");
    WriteFile(src + "/sub/plain.txt", "plain");
    WriteFile(dir.filePath("secret.txt"), "the secret text");
    EncryptFile(dir.filePath("secret.txt"), src + "/secret.txt.enc", "pw");
    WriteFile(src + "/broken.txt.gz", "this is no gzip member");
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbDirs->click();
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->edTarget->setText(dest);
    TDialogScript script;
    QStringList details;
    bool statusShown = false;
    script.Always([&](QWidget* w) {
      statusShown = statusShown || form->pnStatus->height() == TMainForm::StatusHeight;
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        box->button(box->text().contains("not found") || box->text().contains("start restore")
                        ? QMessageBox::Yes : QMessageBox::Ok)->click();
        return true;
      }
      if (auto* pwd = qobject_cast<TPasswordDialog*>(w)) {
        if (!pwd->lblPrompt->text().contains("secret.txt.enc")) return false;
        pwd->edtPwd->setText("pw");
        pwd->OKBtn->click();
        return true;
      }
      if (auto* info = qobject_cast<TDetailInfoDialog*>(w)) {
        info->btDetails->click();
        for (int i = 0; i < info->lbDetails->count(); ++i) details << info->lbDetails->item(i)->text();
        details.prepend(info->laInfo->text());
        info->OKBtn->click();
        return true;
      }
      return false;
    });
    form->btRestore->click();
    QVERIFY2(script.Seen.size() >= 3, qPrintable(script.Seen.join(" | ")));
    QVERIFY(script.Seen.first().contains("Destination directory not found - create?"));
    QVERIFY(statusShown);
    QCOMPARE(ReadFile(dest + "/secret.txt"), QByteArray("the secret text"));
    QCOMPARE(ReadFile(dest + "/sub/plain.txt"), QByteArray("plain"));
    QVERIFY2(details.size() >= 2, qPrintable(details.join(" | ")));
    QVERIFY2(details[0].contains("2 files copied - 1 error"), qPrintable(details[0]));
    QVERIFY2(details[1].contains("broken.txt.gz"), qPrintable(details[1]));
    QVERIFY(!form->Session().PasswordKnown());  // the session password ends with the run
  }

  void destinationQuestionsCanDecline() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), missing = dir.filePath("missing"), full = dir.filePath("full");
    WriteFile(src + "/a.txt", "a");
    WriteFile(full + "/existing.txt", "x");
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(missing);
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::No, "Destination directory not found - create?"));
    form->btRestore->click();
    QVERIFY(script.Done());
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(form->btRestore->text().remove('&'), QString("Start"));

    form->rbDirs->click();
    form->edTarget->setText(full);
    script.Then(TDialogScript::Press(QMessageBox::No, "Destination directory not empty - start restore anyway?"));
    form->btRestore->click();
    QVERIFY(script.Done());
    QCOMPARE(Names(full), QStringList{"existing.txt"});
    QVERIFY(!form->btPause->isEnabled());
  }

  void pauseHoldsAndStopEndsLongTransfer() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    {
      QDir().mkpath(src);
      QFile big(src + "/big.bin");
      QVERIFY(big.open(QIODevice::WriteOnly));
      const QByteArray block(1 << 20, 'x');
      for (int i = 0; i < 256; ++i) QCOMPARE(big.write(block), qint64(block.size()));
    }
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"big.bin"});
    form->edTarget->setText(dest);
    int heldAt = -1, laterAt = -2;
    bool pausedSeen = false, continueHint = false;
    // Runs inside the run's wait: pause at once, look twice, then stop.
    QTimer::singleShot(0, [&] {
      QVERIFY(form->btPause->isEnabled());
      form->btPause->click();
      pausedSeen = form->Session().Paused();
      continueHint = form->btPause->toolTip() == "Continue";
      QTimer::singleShot(300, [&] {
        heldAt = form->ProgressBar->value();
        QTimer::singleShot(300, [&] {
          laterAt = form->ProgressBar->value();
          form->btRestore->click();  // Stop, nested in the run
        });
      });
    });
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "Stopped by user."));
    form->btRestore->click();
    QVERIFY2(!script.Seen.isEmpty() && script.Seen[0].startsWith("0 files copied"), qPrintable(script.Seen.join(" | ")));
    QVERIFY(pausedSeen);
    QVERIFY(continueHint);
    QCOMPARE(laterAt, heldAt);  // nothing moved while paused
    QVERIFY(heldAt < 100);
    QVERIFY(script.Done());
    QVERIFY(Names(dest).isEmpty());  // the cancelled transfer leaves nothing behind
    QVERIFY(!form->Session().Restoring());
    QCOMPARE(form->btPause->toolTip(), QString("Pause"));
  }

  void pauseThenContinueFinishes() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/mid.bin", QByteArray(48 << 20, 'y'));
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"mid.bin"});
    form->edTarget->setText(dest);
    QTimer::singleShot(0, [&] {
      form->btPause->click();
      QTimer::singleShot(200, [&] { form->btPause->click(); });
    });
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "1 file copied"));
    form->btRestore->click();
    QVERIFY(script.Done());
    QCOMPARE(QFileInfo(dest + "/mid.bin").size(), qint64(48 << 20));
  }

  void treeFollowsFolderChanges() {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("watched"));
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(dir.filePath("watched")));
    QVERIFY(form->ShellTreeView->WatchedFolders().contains(dir.filePath("watched")));
    QDir().mkpath(dir.filePath("watched/fresh"));
    WriteFile(dir.filePath("watched/new.txt"), "n");
    QTRY_VERIFY(form->ShellTreeView->Model()->FindPath(dir.filePath("watched/fresh")).isValid());
    QTRY_COMPARE(form->ShellListView->Count(), 1);
  }
};

QV_UI_TEST(MainFormTest);
#include "MainFormTest.moc"
