// SPDX-License-Identifier: Apache-2.0
// The window does what the user started and says what happened: layout, frozen run inputs,
// the destination check, the overwrite rules, the schedule mode, German, keyboard, placement.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDateEdit>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "base/IniFile.h"
#include "base/Translation.h"
#include "ui/DetailInfoDlg.h"
#include "ui/MainForm.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"
#include "ui/WinUtils.h"

using namespace qv;
using namespace qvtest;

namespace {

QStringList FilesIn(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QRect RectIn(const QWidget* w, const QWidget* window) { return {w->mapTo(window, QPoint(0, 0)), w->size()}; }

// Presses the first button of any message box and records its text.
void AnswerEveryBox(TDialogScript& script, QMessageBox::StandardButton preferred) {
  script.Always([preferred](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    (box->button(preferred) ? box->button(preferred) : box->buttons().first())->click();
    return true;
  });
}

}  // namespace

class WindowRunTest : public QObject {
  Q_OBJECT
 private slots:
  void everyControlShownInsideWindow() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->resize(900, 600);
    const std::vector<QWidget*> common{form->ShellTreeView, form->laFolder, form->rbFiles, form->rbDirs,
                                       form->rbSched, form->laTarget, form->edTarget, form->btDest,
                                       form->rbOverwriteAll, form->rbOverwriteOlder, form->btnTimeSettings,
                                       form->rbOverwriteNone, form->rbOverwriteKeepBoth, form->cbGZip,
                                       form->cbProtected, form->cbVerify, form->cbPattern, form->edPattern,
                                       form->btTest, form->btPreview,
                                       form->btRestore, form->btInfo, form->btQuit};
    const std::vector<std::pair<QRadioButton*, std::vector<QWidget*>>> pages{
        {form->rbFiles, {form->ShellListView}},
        {form->rbDirs, {}},
        {form->rbSched, {form->laDate, form->dtpRest, form->laFilter, form->edFilter, form->laDriveId,
                         form->edDriveId}}};
    for (const auto& [radio, own] : pages) {
      radio->click();
      QCoreApplication::processEvents();
      std::vector<QWidget*> controls = common;
      controls.insert(controls.end(), own.begin(), own.end());
      std::vector<QRect> rects;
      for (QWidget* c : controls) {
        const QRect r = RectIn(c, form.get());
        QVERIFY2(c->isVisible(), qPrintable(c->objectName()));
        QVERIFY2(form->rect().contains(r) && !r.isEmpty(), qPrintable(c->objectName()));
        for (size_t i = 0; i < rects.size(); ++i)
          QVERIFY2(!rects[i].intersects(r), qPrintable(controls[i]->objectName() + " / " + c->objectName()));
        rects.push_back(r);
      }
    }
    form->rbFiles->click();
    QCoreApplication::processEvents();
    QVERIFY(form->ShellListView->height() >= 150 && form->ShellListView->width() >= 300);
  }

  void overwriteRules_data() {
    QTest::addColumn<QString>("rule");
    QTest::addColumn<int>("targetAgeHours");  // positive: the existing target is older than the backup
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("besideName");  // keep both: the restored copy beside the kept file
    QTest::newRow("never, older target") << "rbOverwriteNone" << 5 << QByteArray("old") << "";
    QTest::newRow("never, newer target") << "rbOverwriteNone" << -5 << QByteArray("old") << "";
    QTest::newRow("always, newer target") << "rbOverwriteAll" << -5 << QByteArray("new") << "";
    QTest::newRow("only older, older target") << "rbOverwriteOlder" << 5 << QByteArray("new") << "";
    QTest::newRow("only older, newer target") << "rbOverwriteOlder" << -5 << QByteArray("old") << "";
    QTest::newRow("keep both, newer target") << "rbOverwriteKeepBoth" << -5 << QByteArray("old") << "a (1).txt";
  }

  void overwriteRules() {
    QFETCH(QString, rule);
    QFETCH(int, targetAgeHours);
    QFETCH(QByteArray, expected);
    QFETCH(QString, besideName);
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    const QDateTime backupTime = QDateTime::currentDateTimeUtc().addDays(-2);
    WriteFile(src + "/a.txt", "new");
    SetModified(src + "/a.txt", backupTime);
    WriteFile(dest + "/a.txt", "old");
    SetModified(dest + "/a.txt", backupTime.addSecs(-3600 * targetAgeHours));
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(dest);
    form->findChild<QRadioButton*>(rule)->setChecked(true);
    TDialogScript script;
    AnswerEveryBox(script, QMessageBox::Ok);
    form->btRestore->click();
    QCOMPARE(ReadFile(dest + "/a.txt"), expected);
    const bool restored = expected == "new" || !besideName.isEmpty();
    // Kept files are counted in the summary, as the command line counts them.
    QCOMPARE(script.Seen, QStringList{restored ? "1 file copied" : "0 files copied\n1 skipped"});
    QCOMPARE(FilesIn(dest), besideName.isEmpty() ? QStringList{"a.txt"} : (QStringList{"a (1).txt", "a.txt"}));
    if (!besideName.isEmpty()) QCOMPARE(ReadFile(dest + "/" + besideName), QByteArray("new"));
  }

  void scheduleRunThroughWindow() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    const struct { const char* set; const char* text; QDate day; } versions[] = {
        {"set1", "v1", QDate(2020, 1, 10)}, {"set2", "v2", QDate(2020, 2, 10)}, {"set3", "v3", QDate(2020, 6, 10)}};
    for (const auto& v : versions) {
      const QString path = backup + "/" + v.set + "/docs/a.txt";
      WriteFile(path, v.text);
      SetModified(path, QDateTime(v.day, QTime(12, 0), Qt::UTC));
    }
    WriteFile(backup + "/other/docs/a.txt", "not a matching set");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbSched->click();
    QVERIFY(form->ShellTreeView->SetPath(backup));
    form->dtpRest->setDate(QDate(2020, 3, 1));
    form->edFilter->setText("set*");
    form->edTarget->setText(dest);
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Yes, "1 file found - start restore?"));
    script.Then(TDialogScript::Press(QMessageBox::Ok, "1 of 1 file copied"));
    form->btRestore->click();
    QVERIFY2(script.Done(), qPrintable(script.Seen.join(" | ")));
    QCOMPARE(ReadFile(dest + "/docs/a.txt"), QByteArray("v2"));
  }

  void runInGerman() {
    SetTranslationLanguage("de");
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/a.txt", "alpha");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    const QString title = form->windowTitle(), files = form->rbFiles->text().remove('&');
    const QString never = form->rbOverwriteNone->text().remove('&');
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(dest);
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "1 Datei kopiert"));
    form->btRestore->click();
    const bool done = script.Done();
    SetTranslationLanguage("en");
    QCOMPARE(title, QString("Dateien aus Sicherung wiederherstellen"));
    QCOMPARE(files, QString("Dateien"));
    QCOMPARE(never, QString("Nie"));
    QVERIFY2(done, qPrintable(script.Seen.join(" | ")));
    QCOMPARE(ReadFile(dest + "/a.txt"), QByteArray("alpha"));
  }

  void selectionChangeDuringRunIsIgnored() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest"), elsewhere = dir.filePath("elsewhere");
    WriteFile(src + "/big.bin", QByteArray(24 << 20, 'b'));
    WriteFile(src + "/b.txt", "b");
    WriteFile(src + "/c.txt", "c");
    WriteFile(dir.filePath("other/d.txt"), "d");
    QDir().mkpath(dest);
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"big.bin", "b.txt"});
    form->edTarget->setText(dest);
    QStringList enabledDuringRun;
    bool changed = false;
    QTimer::singleShot(0, [&] {
      for (QWidget* w : std::initializer_list<QWidget*>{form->ShellTreeView, form->ShellListView, form->rbFiles,
                                                        form->rbDirs, form->rbSched, form->edTarget, form->btDest,
                                                        form->rbOverwriteAll, form->cbGZip})
        if (w->isEnabled()) enabledDuringRun << w->objectName();
      // What a user could not do any more with the controls disabled, done behind their back.
      form->ShellListView->SelectNames({"c.txt"});
      form->ShellTreeView->SetPath(dir.filePath("other"));
      form->ShellListView->SelectNames({"d.txt"});
      form->edTarget->setText(elsewhere);
      form->rbDirs->setChecked(true);
      form->rbOverwriteAll->setChecked(true);
      changed = true;
    });
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "2 files copied"));
    form->btRestore->click();
    QVERIFY(changed);
    QVERIFY2(script.Done(), qPrintable(script.Seen.join(" | ")));
    QVERIFY2(enabledDuringRun.isEmpty(), qPrintable(enabledDuringRun.join(", ")));
    QCOMPARE(FilesIn(dest), (QStringList{"b.txt", "big.bin"}));
    QVERIFY(!QFileInfo::exists(elsewhere));
    QVERIFY(form->ShellListView->isEnabled() && form->edTarget->isEnabled() && form->rbFiles->isEnabled());
  }

  void unusableDestinationRefused_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("says");
    QTest::newRow("empty") << "" << "Restore to:";
    QTest::newRow("blank") << "   " << "Restore to:";
    QTest::newRow("relative") << "rel/dir" << "\"rel/dir\" is not a full path";
    QTest::newRow("dot") << "." << "\".\" is not a full path";
  }

  void unusableDestinationRefused() {
    QFETCH(QString, target);
    QFETCH(QString, says);
    QTemporaryDir dir, work;
    WriteFile(dir.filePath("backup/a.txt"), "a");
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(work.path());
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(dir.filePath("backup")));
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(target);
    TDialogScript script;
    AnswerEveryBox(script, QMessageBox::Yes);
    form->btRestore->click();
    QDir::setCurrent(cwd);
    QCOMPARE(script.Seen.size(), 1);
    QVERIFY2(script.Seen[0].contains(says), qPrintable(script.Seen[0]));
    QVERIFY(!form->Session().LastRun().Started);
    QVERIFY(QDir(work.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    QCOMPARE(form->btRestore->text().remove('&'), QString("Start"));
  }

  void destinationThatIsAFileIsSaidOnce_data() {
    QTest::addColumn<QString>("below");  // the destination, below the plain file
    QTest::newRow("the file itself") << "";
    QTest::newRow("a folder below it") << "/sub";
    QTest::newRow("deeper below it") << "/sub/deeper";
  }

  void destinationThatIsAFileIsSaidOnce() {
    QFETCH(QString, below);
    QTemporaryDir dir;
    WriteFile(dir.filePath("backup/a.txt"), "a");
    WriteFile(dir.filePath("plain-file"), "x");
    const QString target = dir.filePath("plain-file") + below;
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(dir.filePath("backup")));
    form->ShellListView->SelectNames({"a.txt"});
    form->edTarget->setText(target);
    TDialogScript script;
    AnswerEveryBox(script, QMessageBox::Yes);
    form->btRestore->click();
    QTest::qWait(100);
    // No offer to create a folder where a file is: one message that names the file.
    QCOMPARE(script.Seen.size(), 1);
    QVERIFY2(script.Seen[0].contains("is a file, not a folder") && script.Seen[0].contains(dir.filePath("plain-file")),
             qPrintable(script.Seen[0]));
    QCOMPARE(ReadFile(dir.filePath("plain-file")), QByteArray("x"));
    QVERIFY(!form->Session().LastRun().Started);
  }

  void fileListNeverRenamesTheBackup() {
    QTemporaryDir dir;
    WriteFile(dir.filePath("backup/report.doc.gz"), "x");
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(dir.filePath("backup")));
    TShellListModel* model = form->ShellListView->Model();
    const QModelIndex name = model->index(0, TShellListModel::colName);
    QVERIFY(!(model->flags(name) & Qt::ItemIsEditable));
    QCOMPARE(form->ShellListView->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(!model->setData(name, "renamed", Qt::EditRole));
    QCOMPARE(FilesIn(dir.filePath("backup")), QStringList{"report.doc.gz"});
  }

  void keyboardReachesTheMainControls() {
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    // Tab enters the overwrite group at its checked button.
    form->btDest->setFocus();
    QTest::keyClick(form->btDest, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form->rbOverwriteNone);
    form->rbOverwriteOlder->setChecked(true);
    form->btDest->setFocus();
    QTest::keyClick(form->btDest, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), form->rbOverwriteOlder);
    // Every main control has an Alt letter of its own.
    QString letters;
    for (QWidget* w : std::initializer_list<QWidget*>{form->btRestore, form->rbFiles, form->rbDirs, form->rbSched,
                                                      form->laTarget, form->rbOverwriteAll, form->rbOverwriteOlder,
                                                      form->rbOverwriteNone, form->cbGZip, form->cbProtected}) {
      const QString text = qobject_cast<QAbstractButton*>(w) ? qobject_cast<QAbstractButton*>(w)->text()
                                                             : qobject_cast<QLabel*>(w)->text();
      const int at = text.indexOf('&');
      QVERIFY2(at >= 0 && at + 1 < text.size(), qPrintable(text));
      QVERIFY2(!letters.contains(text[at + 1].toLower()), qPrintable(text));
      letters += text[at + 1].toLower();
    }
    // Enter starts a run (here one with nothing selected).
    form->edTarget->setText(dir.filePath("dest"));
    form->edTarget->setFocus();
    TDialogScript script;
    AnswerEveryBox(script, QMessageBox::Yes);
    QTest::keyClick(form->edTarget, Qt::Key_Return);
    QVERIFY2(script.Seen.contains("No files selected!"), qPrintable(script.Seen.join(" | ")));
  }

  void storedBoundsStayOnScreen() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("q.ini");
    {
      TIniFile file(ini.toStdString());
      file.WriteInteger("Config", "Left", -9000);
      file.WriteInteger("Config", "Top", -9000);
      file.WriteInteger("Config", "Width", 30000);
      file.WriteInteger("Config", "Height", 20000);
      QVERIFY(file.UpdateFile());
    }
    auto form = OpenWindow(ini);
    const QRect area = form->screen()->availableGeometry();
    QVERIFY2(area.contains(form->frameGeometry().topLeft()), qPrintable(QString::number(form->x())));
    QVERIFY(form->width() <= area.width() && form->height() <= area.height());
  }

  void folderLabelFitsAsDrawn() {
    QTemporaryDir dir;
    const QString deep = dir.filePath(QString("W").repeated(40) + "/" + QString("M").repeated(40) + "/last");
    QDir().mkpath(deep);
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->resize(700, 500);
    QVERIFY(form->ShellTreeView->SetPath(deep));
    QCoreApplication::processEvents();
    const QString shown = form->laFolder->text();
    QVERIFY2(shown.contains("...") && shown.endsWith("last"), qPrintable(shown));
    QVERIFY(QFontMetrics(form->laFolder->font()).horizontalAdvance(shown) <= form->pnTop->width() - 10);
  }

  void detailDialogCopiesAndKeepsItsSize() {
    TDetailInfoDialog first;
    QTimer::singleShot(0, [&] {
      first.btDetails->click();
      first.resize(620, TDetailInfoDialog::TopHeight + 250);
      first.btCopy->click();
      first.accept();
    });
    first.Execute({-1, -1}, "Title", "2 files copied - 1 error", iiError, {"Error restoring file: /b/x", "   Error: CRC"});
    QCOMPARE(QApplication::clipboard()->text(), QString("2 files copied - 1 error\nError restoring file: /b/x\n   Error: CRC\n"));
    TDetailInfoDialog second;
    QSize folded, unfolded;
    QTimer::singleShot(0, [&] {
      folded = second.size();
      second.btDetails->click();
      unfolded = second.size();
      second.accept();
    });
    second.Execute({-1, -1}, "Title", "again", iiInfo, {});
    QCOMPARE(folded, QSize(620, TDetailInfoDialog::TopHeight));
    QCOMPARE(unfolded, QSize(620, TDetailInfoDialog::TopHeight + 250));
    QTemporaryDir dir;
    TDetailInfoDialog::SaveSize(dir.filePath("q.ini"));
    TIniFile ini(dir.filePath("q.ini").toStdString());
    QCOMPARE(ini.ReadInteger("DetailDialog", "Width", 0), 620);
    TDetailInfoDialog::LoadSize(dir.filePath("none.ini"));  // back to the defaults for the other tests
  }

  void testButtonChecksAndWritesNothing() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/good.txt", "good");
    WriteFile(src + "/broken.txt.gz", "this is no gzip member");
    auto form = OpenWindow(dir.filePath("q.ini"));
    QVERIFY(!form->cbVerify->isChecked());  // off until chosen
    form->rbDirs->click();
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->edTarget->setText(dest);
    TDialogScript script;
    QString summary;
    script.Always([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        summary = box->text();
        box->buttons().first()->click();
        return true;
      }
      if (auto* info = qobject_cast<TDetailInfoDialog*>(w)) {
        summary = info->laInfo->text();
        info->OKBtn->click();
        return true;
      }
      return false;
    });
    form->btTest->click();
    QVERIFY2(summary.contains("1 file tested OK - 1 error"), qPrintable(summary));
    QVERIFY(!QFileInfo::exists(dest));
    form->cbVerify->setChecked(true);
    QVERIFY(form->close());
    QVERIFY(TIniFile(dir.filePath("q.ini").toStdString()).ReadBool("Config", "VerifyRestored", false));
  }

  void archiveInTreeIsReadOffTheWindowThread() {
    QTemporaryDir dir;
    WriteFile(dir.filePath("work/docs/a.txt"), "a");
    QDir().mkpath(dir.filePath("x"));
    if (!Run("zip", {"-qr", dir.filePath("x/big.zip"), "docs"}, dir.filePath("work"))) QSKIP("zip is not installed");
    TShellTreeView tree;
    tree.SetRoot(dir.filePath("x"));
    TShellTreeModel* model = tree.Model();
    const QModelIndex top = model->TopIndex();
    model->FetchNow(top);
    QCOMPARE(model->rowCount(top), 1);
    const QModelIndex archive = model->index(0, 0, top);
    QVERIFY(model->hasChildren(archive));
    model->fetchMore(archive);
    QCOMPARE(model->rowCount(archive), 0);  // not read on this thread
    QTRY_COMPARE(model->rowCount(archive), 1);
    QCOMPARE(model->index(0, 0, archive).data().toString(), QString("docs"));
  }

  void recycleBinWithoutDataFolder() {
    QTemporaryDir dir;
    const QString victim = dir.filePath("victim"), work = dir.filePath("work");
    WriteFile(victim + "/inside.txt", "i");
    QDir().mkpath(work);
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dir.filePath("missing/share").toUtf8());
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(work);
    const bool moved = ShellDeleteFile(nullptr, victim + "/", "Deleting", true);
    QDir::setCurrent(cwd);
    qputenv("XDG_DATA_HOME", oldData);
    QVERIFY(moved);
    QVERIFY(!QFileInfo::exists(victim));
    QVERIFY(!QFileInfo::exists(work + "/files"));
    QCOMPARE(ReadFile(dir.filePath("missing/share/Trash/files/victim/inside.txt")), QByteArray("i"));
  }
};

QV_UI_TEST(WindowRunTest);
#include "WindowRunTest.moc"
