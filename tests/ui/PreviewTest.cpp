// SPDX-License-Identifier: Apache-2.0
// The Preview button shows what a restore would do and writes nothing; its dialog can start the
// real run; the filter field keeps files out of a run.
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

#include "ui/MainForm.h"
#include "ui/PreviewDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"

using namespace qv;
using namespace qvtest;

namespace {

// Every file below dir with its content, "relative/path=content".
QStringList Snapshot(const QString& dir) {
  QStringList out;
  QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    out << QDir(dir).relativeFilePath(path) + "=" + QString::fromUtf8(ReadFile(path));
  }
  out.sort();
  return out;
}

struct TPreviewSeen {
  QStringList Rows;  // "action target-name reason" (the reason without its details)
  QString Counts;
  bool Opened = false;
};

// Answers the preview dialog with the button named, after reading what it shows; message
// boxes of the real run are answered Yes/Ok.
void AnswerPreview(TDialogScript& script, TPreviewSeen& seen, const char* button) {
  script.Always([&seen, button](QWidget* w) {
    if (auto* dlg = qobject_cast<TPreviewDialog*>(w)) {
      seen.Opened = true;
      for (int row = 0; row < dlg->tvItems->rowCount(); ++row)
        seen.Rows << dlg->tvItems->item(row, 0)->text() + " " + QFileInfo(dlg->tvItems->item(row, 1)->text()).fileName() +
                         " " + dlg->tvItems->item(row, 4)->text().section(" - ", 0, 0);
      seen.Rows.sort();
      seen.Counts = dlg->laCounts->text();
      dlg->findChild<QPushButton*>(button)->click();
      return true;
    }
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      (box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes) : box->buttons().first())->click();
      return true;
    }
    return false;
  });
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT

  // backup: new.txt (no target), old.txt (older target), keep.txt (newer target).
  QString PrepareDirectoryRun(QTemporaryDir& dir, TMainForm& form) {
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    const QDateTime backupTime = QDateTime::currentDateTimeUtc().addDays(-2);
    const struct { const char* name; int targetAgeHours; } files[] = {{"new.txt", 0}, {"old.txt", 5}, {"keep.txt", -5}};
    for (const auto& f : files) {
      WriteFile(src + "/" + f.name, "backup");
      SetModified(src + "/" + f.name, backupTime);
      if (f.targetAgeHours == 0) continue;
      WriteFile(dest + "/" + f.name, "live");
      SetModified(dest + "/" + f.name, backupTime.addSecs(-3600 * f.targetAgeHours));
    }
    form.rbDirs->click();
    form.ShellTreeView->SetPath(src);
    form.edTarget->setText(dest);
    form.rbOverwriteOlder->setChecked(true);
    return dest;
  }

 private slots:
  void previewListsDecisionsAndWritesNothing() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    const QString dest = PrepareDirectoryRun(dir, *form);
    const QStringList before = Snapshot(dest);
    TDialogScript script;
    TPreviewSeen seen;
    AnswerPreview(script, seen, "btClose");
    form->btPreview->click();
    QVERIFY(seen.Opened);
    QCOMPARE(seen.Rows, (QStringList{"new new.txt ", "replace old.txt ", "skip keep.txt not older"}));
    QVERIFY2(seen.Counts.startsWith("Dry run: 2 to restore (1 new, 1 replaced), 1 skipped, 0 errors"),
             qPrintable(seen.Counts));
    QCOMPARE(Snapshot(dest), before);
    QVERIFY(form->btRestore->isEnabled() && form->btPreview->isEnabled());
  }

  void restoreFromPreviewRuns() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    const QString dest = PrepareDirectoryRun(dir, *form);
    TDialogScript script;
    TPreviewSeen seen;
    AnswerPreview(script, seen, "btRestore");
    form->btPreview->click();
    QVERIFY(seen.Opened);
    QCOMPARE(Snapshot(dest), (QStringList{"keep.txt=live", "new.txt=backup", "old.txt=backup"}));
  }

  void schedulePreviewNamesTheSet() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    const struct { const char* set; QDate day; } versions[] = {{"set1", QDate(2020, 1, 10)}, {"set2", QDate(2020, 2, 10)}};
    for (const auto& v : versions) {
      WriteFile(backup + "/" + v.set + "/docs/a.txt", v.set);
      SetModified(backup + "/" + v.set + "/docs/a.txt", QDateTime(v.day, QTime(12, 0), Qt::UTC));
    }
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbSched->click();
    QVERIFY(form->ShellTreeView->SetPath(backup));
    form->dtpRest->setDate(QDate(2020, 3, 1));
    form->edTarget->setText(dest);
    QStringList sets;
    bool setShown = false;
    TDialogScript script;
    script.Always([&](QWidget* w) {
      auto* dlg = qobject_cast<TPreviewDialog*>(w);
      if (!dlg) return false;
      setShown = !dlg->tvItems->isColumnHidden(3);
      for (int row = 0; row < dlg->tvItems->rowCount(); ++row) sets << QFileInfo(dlg->tvItems->item(row, 3)->text()).fileName();
      dlg->btClose->click();
      return true;
    });
    form->btPreview->click();
    QVERIFY(setShown);
    QCOMPARE(sets, QStringList{"set2"});
    QVERIFY(!QFileInfo::exists(dest));  // a preview creates no destination either
  }

  void filterField_data() {
    QTest::addColumn<bool>("on");
    QTest::addColumn<QString>("patterns");
    QTest::addColumn<QStringList>("restored");
    QTest::newRow("off") << false << "-*.tmp" << QStringList{"a.txt", "b.tmp", "sub/c.txt"};
    QTest::newRow("exclude") << true << "-*.tmp" << QStringList{"a.txt", "sub/c.txt"};
    QTest::newRow("include") << true << "sub/**" << QStringList{"sub/c.txt"};
    QTest::newRow("both") << true << " *.txt ; -sub/** " << QStringList{"a.txt"};
  }

  void filterField() {
    QFETCH(bool, on);
    QFETCH(QString, patterns);
    QFETCH(QStringList, restored);
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    for (const char* name : {"a.txt", "b.tmp", "sub/c.txt"}) WriteFile(src + "/" + name, "x");
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbDirs->click();
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->edTarget->setText(dest);
    form->cbPattern->setChecked(on);
    form->edPattern->setText(patterns);
    QCOMPARE(form->edPattern->isEnabled(), on);
    TDialogScript script;
    bool disabledDuringRun = false;
    script.Always([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      disabledDuringRun = disabledDuringRun || (!form->cbPattern->isEnabled() && !form->edPattern->isEnabled());
      (box->button(QMessageBox::Yes) ? box->button(QMessageBox::Yes) : box->buttons().first())->click();
      return true;
    });
    form->btRestore->click();
    QVERIFY(disabledDuringRun);
    QStringList files;
    for (const QString& entry : Snapshot(dest)) files << entry.section('=', 0, 0);
    QCOMPARE(files, restored);
    QVERIFY(form->close());
    auto again = OpenWindow(dir.filePath("q.ini"));
    QCOMPARE(again->cbPattern->isChecked(), on);
    QCOMPARE(again->edPattern->text(), patterns.trimmed());  // the settings file trims
  }
};

QV_UI_TEST(PreviewTest);
#include "PreviewTest.moc"
