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
#include <QTableView>
#include <QTest>
#include <QUrl>

#include "base/Translation.h"
#include "ui/MainForm.h"
#include "ui/PreviewDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"
#include "ui/WinUtils.h"

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
  QStringList Rows;     // "action target-name reason" (the reason without its details)
  QStringList Changes;  // the same, as first shown: only the rows that change something
  QString Counts;
  bool Opened = false;
};

// Answers the preview dialog with the button named, after reading what it shows; message
// boxes of the real run are answered Yes/Ok.
void AnswerPreview(TDialogScript& script, TPreviewSeen& seen, const char* button) {
  script.Always([&seen, button](QWidget* w) {
    if (auto* dlg = qobject_cast<TPreviewDialog*>(w)) {
      seen.Opened = true;
      const auto rows = [dlg] {
        QStringList out;
        for (int row = 0; row < dlg->RowCount(); ++row)
          out << dlg->Cell(row, TPreviewDialog::colAction) + " " +
                     QFileInfo(dlg->Cell(row, TPreviewDialog::colTarget)).fileName() + " " +
                     dlg->Cell(row, TPreviewDialog::colReason).section(" - ", 0, 0);
        out.sort();
        return out;
      };
      seen.Changes = rows();
      dlg->cbChangesOnly->setChecked(false);
      seen.Rows = rows();
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
    QCOMPARE(seen.Changes, (QStringList{"new new.txt ", "replace old.txt "}));
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
      setShown = !dlg->tvItems->isColumnHidden(TPreviewDialog::colSet);
      for (int row = 0; row < dlg->RowCount(); ++row)
        sets << QFileInfo(dlg->Cell(row, TPreviewDialog::colSet)).fileName();
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

  // "Show only changes" (on at first) shows exactly the rows that change something or fail;
  // cleared, every row; the counts per action are those of the rows.
  void changesFilterShowsExactlyTheChangingRows_data() {
    QTest::addColumn<QString>("actions");  // one letter a row: n new, r replace, s skip, e error
    QTest::newRow("two changes among skips") << "sssnssssrsss";
    QTest::newRow("no change") << "ssss";
    QTest::newRow("only changes") << "nre";
    QTest::newRow("empty") << "";
  }

  void changesFilterShowsExactlyTheChangingRows() {
    QFETCH(QString, actions);
    std::vector<TItemReport> items;
    QStringList changing, all;
    int counts[4] = {0, 0, 0, 0};
    for (int i = 0; i < actions.size(); ++i) {
      TItemReport r;
      const QChar a = actions[i];
      r.Action = a == 'n' ? iaNew : a == 'r' ? iaReplace : a == 's' ? iaSkip : iaFailed;
      ++counts[QString("nrse").indexOf(a)];
      r.Source = "/b/item" + std::to_string(i);
      r.Target = "/d/item" + std::to_string(i);
      if (a == 's') r.Reason = "exists";
      items.push_back(r);
      all << QString("item%1").arg(i);
      if (a != 's') changing << QString("item%1").arg(i);
    }
    TPreviewDialog dialog(items, "summary", false);
    const auto shown = [&dialog] {
      QStringList names;
      for (int row = 0; row < dialog.RowCount(); ++row)
        names << QFileInfo(dialog.Cell(row, TPreviewDialog::colTarget)).fileName();
      return names;
    };
    QVERIFY(dialog.cbChangesOnly->isChecked());
    QCOMPARE(shown(), changing);
    dialog.cbChangesOnly->setChecked(false);
    QCOMPARE(shown(), all);
    QCOMPARE(dialog.laActions->text(), QString("%1 new, %2 replace, %3 skip, %4 error")
                                           .arg(counts[0]).arg(counts[1]).arg(counts[2]).arg(counts[3]));
  }

  void columnsSortAndFit() {
    std::vector<TItemReport> items;
    for (const char* name : {"b.txt", "c.txt", "a.txt"}) {
      TItemReport r;
      r.Action = iaSkip;
      r.Reason = "not older";
      r.Message = "backup 2024-05-17 09:12:40, target 2024-05-20 16:03:11 (UTC)";
      r.Source = std::string("/backup/") + name;
      r.Target = std::string("/dest/") + name;
      items.push_back(r);
    }
    TPreviewDialog dialog(items, "summary", false);
    dialog.cbChangesOnly->setChecked(false);
    QVERIFY(dialog.tvItems->isSortingEnabled());
    QCOMPARE(dialog.Cell(0, TPreviewDialog::colTarget), QString("/dest/b.txt"));  // the run's order first
    dialog.tvItems->sortByColumn(TPreviewDialog::colTarget, Qt::AscendingOrder);
    QCOMPARE(dialog.Cell(0, TPreviewDialog::colTarget), QString("/dest/a.txt"));
    dialog.tvItems->sortByColumn(TPreviewDialog::colTarget, Qt::DescendingOrder);
    QCOMPARE(dialog.Cell(0, TPreviewDialog::colTarget), QString("/dest/c.txt"));
    // The reason is read whole: its column is as wide as its text.
    const int needed = dialog.tvItems->fontMetrics().horizontalAdvance(dialog.Cell(0, TPreviewDialog::colReason));
    QVERIFY2(dialog.tvItems->columnWidth(TPreviewDialog::colReason) >= needed,
             qPrintable(QString("%1 < %2").arg(dialog.tvItems->columnWidth(TPreviewDialog::colReason)).arg(needed)));
  }

  void reasonsAreTranslated_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("exists");
    QTest::addColumn<QString>("notOlder");
    QTest::newRow("en") << "en" << "exists" << "not older";
    QTest::newRow("de") << "de" << "vorhanden" << QString::fromUtf8("nicht \xc3\xa4lter");
  }

  void reasonsAreTranslated() {
    QFETCH(QString, language);
    QFETCH(QString, exists);
    QFETCH(QString, notOlder);
    SetTranslationLanguage(language.toStdString());
    const QString gotExists = TPreviewDialog::ReasonText("exists");
    const QString gotNotOlder = TPreviewDialog::ReasonText("not older");
    SetTranslationLanguage("en");
    QCOMPARE(gotExists, exists);
    QCOMPARE(gotNotOlder, notOlder);
  }

  void doubleClickOpensTheSourcesFolder() {
    QTemporaryDir dir;
    WriteFile(dir.filePath("backup/docs/a.txt"), "a");
    WriteFile(dir.filePath("backup/old.zip"), "not read here");
    std::vector<TItemReport> items(2);
    items[0].Action = iaNew;
    items[0].Source = StdStr(dir.filePath("backup/docs/a.txt"));
    items[1].Action = iaReplace;
    items[1].Source = StdStr(dir.filePath("backup/old.zip/inner/b.txt"));  // an archive's entry
    QList<QUrl> opened;
    const auto saved = OpenInFileManager;
    OpenInFileManager = [&opened](const QUrl& url) { opened << url; return true; };
    TPreviewDialog dialog(items, "summary", false);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (int row = 0; row < 2; ++row) {
      const QRect cell = dialog.tvItems->visualRect(dialog.tvItems->model()->index(row, TPreviewDialog::colSource));
      QTest::mouseClick(dialog.tvItems->viewport(), Qt::LeftButton, {}, cell.center());  // the press a double-click ends
      QTest::mouseDClick(dialog.tvItems->viewport(), Qt::LeftButton, {}, cell.center());
    }
    OpenInFileManager = saved;
    QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(dir.filePath("backup/docs")), QUrl::fromLocalFile(dir.filePath("backup"))}));
  }
};

QV_UI_TEST(PreviewTest);
#include "PreviewTest.moc"
