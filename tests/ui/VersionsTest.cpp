// SPDX-License-Identifier: Apache-2.0
// The Versions dialog: every copy of a file across the sets, newest first, and restoring a
// picked one to the destination or beside the file there.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTimeZone>
#include <QTreeWidget>

#include "ui/MainForm.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"
#include "ui/VersionsDlg.h"
#include "ui/WinUtils.h"

using namespace qv;
using namespace qvtest;

namespace {

// Presses OK (or the first button) of any message box the run shows.
void AnswerBoxes(TDialogScript& script) {
  script.Always([](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    (box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok) : box->buttons().first())->click();
    return true;
  });
}

// backup/set1 holds docs/a.txt plain (June), set2 as .gz (March), set3 plain (January).
void MakeBackup(const QString& backup) {
  const struct { const char* set; const char* text; QDate day; bool gz; } copies[] = {
      {"set1", "june", QDate(2020, 6, 1), false},
      {"set2", "march", QDate(2020, 3, 1), true},
      {"set3", "january", QDate(2020, 1, 1), false}};
  for (const auto& c : copies) {
    const QString path = backup + "/" + c.set + "/docs/a.txt";
    WriteFile(path, c.text);
    if (c.gz) QVERIFY(Run("gzip", {"-n", path}));
    SetModified(c.gz ? path + ".gz" : path, QDateTime(c.day, QTime(12, 0), QTimeZone::utc()));
  }
}

std::unique_ptr<TMainForm> OpenOnSet1(const QString& dir, const QString& backup, const QString& dest) {
  auto form = std::make_unique<TMainForm>(dir + "/q.ini");
  form->show();
  QCoreApplication::processEvents();
  form->ShellTreeView->SetPath(backup + "/set1/docs");
  form->ShellListView->SelectNames({"a.txt"});
  form->edTarget->setText(dest);
  return form;
}

// Picks the row whose Set column reads set, then presses the named button of the dialog.
TDialogScript::TStep PickVersion(const QString& set, const QString& button) {
  return [set, button](QWidget* w) {
    auto* dialog = qobject_cast<TVersionsDialog*>(w);
    if (!dialog) return false;
    const auto rows = dialog->lvVersions->findItems(set, Qt::MatchExactly, 1);
    if (rows.size() != 1) {
      dialog->btCancel->click();  // the test fails on what did not happen, without a hang
      return true;
    }
    dialog->lvVersions->setCurrentItem(rows.first());
    dialog->findChild<QPushButton*>(button)->click();
    return true;
  };
}

}  // namespace

class VersionsTest : public QObject {
  Q_OBJECT
 private slots:
  void listsPlainAndGzCopiesNewestFirst() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup");
    MakeBackup(backup);
    const TVersionSource source =
        LocateVersionSource(StdStr(backup + "/set1/docs/a.txt"), "", "", true);
    QCOMPARE(QString::fromStdString(source.Folder), backup);
    QCOMPARE(QString::fromStdString(source.RelPath), QString("docs/a.txt"));
    TVersionsDialog dialog("", "", true);
    dialog.Search(source.Folder, source.RelPath);
    const struct { const char* date; const char* set; const char* kind; } expected[] = {
        {"2020-06-01 12:00:00", "set1", "plain"},
        {"2020-03-01 12:00:00", "set2", "gz"},
        {"2020-01-01 12:00:00", "set3", "plain"}};
    QCOMPARE(dialog.lvVersions->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) {
      const QTreeWidgetItem* row = dialog.lvVersions->topLevelItem(i);
      QCOMPARE(row->text(0), QString(expected[i].date));
      QCOMPARE(row->text(1), QString(expected[i].set));
      QCOMPARE(row->text(3), QString(expected[i].kind));
    }
    QCOMPARE(dialog.lvVersions->topLevelItem(1)->text(2), QString("5"));  // "march", unpacked
  }

  void fileWithoutOtherSetsIsItsOwnSet() {
    QTemporaryDir dir;
    WriteFile(dir.filePath("lone/sub/b.txt"), "b");
    const TVersionSource source = LocateVersionSource(StdStr(dir.filePath("lone/sub/b.txt")), "", "", true);
    QCOMPARE(QString::fromStdString(source.Folder), dir.filePath("lone"));
    QCOMPARE(QString::fromStdString(source.RelPath), QString("b.txt"));
  }

  void restorePicksVersion_data() {
    QTest::addColumn<QString>("set");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("writtenAs");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("older gz copy to destination") << "set2" << "btRestore" << "docs/a.txt" << QByteArray("march");
    QTest::newRow("oldest beside, keeping both") << "set3" << "btKeepBoth" << "docs/a (1).txt" << QByteArray("january");
  }

  void restorePicksVersion() {
    QFETCH(QString, set);
    QFETCH(QString, button);
    QFETCH(QString, writtenAs);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    MakeBackup(backup);
    const bool keepBoth = button == "btKeepBoth";
    if (keepBoth) WriteFile(dest + "/docs/a.txt", "current");
    else QDir().mkpath(dest);
    auto form = OpenOnSet1(dir.path(), backup, dest);
    QVERIFY(form->btVersions->isEnabled());
    TDialogScript script;
    script.Then(PickVersion(set, button));
    AnswerBoxes(script);
    form->btVersions->click();
    QVERIFY2(script.Done(), qPrintable(script.Seen.join(" | ")));
    QCOMPARE(script.Seen.size(), 2);
    QVERIFY2(script.Seen.last().contains("1 file copied"), qPrintable(script.Seen.join(" | ")));
    QCOMPARE(ReadFile(dest + "/" + writtenAs), expected);
    if (keepBoth) QCOMPARE(ReadFile(dest + "/docs/a.txt"), QByteArray("current"));
    QVERIFY(!QFileInfo::exists(dest + "/a.txt"));  // never the destination's root
    QVERIFY(!form->RunInputs());
    QVERIFY(form->btVersions->isEnabled());
  }

  void scheduleModeTakesANamedFile() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    MakeBackup(backup);
    QDir().mkpath(dest + "/docs");
    auto form = std::make_unique<TMainForm>(dir.filePath("q.ini"));
    form->show();
    QCoreApplication::processEvents();
    form->rbSched->click();
    QVERIFY(form->ShellTreeView->SetPath(backup));
    form->edTarget->setText(dest);
    QVERIFY(form->btVersions->isEnabled());
    TDialogScript script;
    script.Then([](QWidget* w) {
      auto* dialog = qobject_cast<TVersionsDialog*>(w);
      if (!dialog || dialog->lvVersions->topLevelItemCount() != 0) return false;
      dialog->edRelPath->setText("docs/a.txt");
      dialog->btFind->click();
      return PickVersion("set1", "btRestore")(w);
    });
    AnswerBoxes(script);
    form->btVersions->click();
    QVERIFY2(script.Done(), qPrintable(script.Seen.join(" | ")));
    QCOMPARE(script.Seen.size(), 2);
    QVERIFY2(script.Seen.last().contains("1 file copied"), qPrintable(script.Seen.join(" | ")));
    QCOMPARE(ReadFile(dest + "/docs/a.txt"), QByteArray("june"));
  }

  void buttonNeedsOneFileInFilesMode() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup");
    MakeBackup(backup);
    auto form = OpenOnSet1(dir.path(), backup, dir.filePath("dest"));
    QVERIFY(form->btVersions->isEnabled());
    form->ShellListView->SelectNames({});
    QVERIFY(!form->btVersions->isEnabled());
    form->rbDirs->click();
    QVERIFY(!form->btVersions->isEnabled());
  }

  // Enter searches and shows the list, in the field or in the list: it never restores, not
  // even with "Allways" over an existing file.
  void enterSearchesAndNeverRestores() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    MakeBackup(backup);
    WriteFile(dest + "/docs/a.txt", "current");
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->rbSched->click();
    QVERIFY(form->ShellTreeView->SetPath(backup));
    form->edTarget->setText(dest);
    form->rbOverwriteAll->setChecked(true);
    bool focusOnPath = false, typedIntoPath = false, stillOpen = false, openAfterListEnter = false;
    int asked = 0;
    int rows = -1;
    TDialogScript script;
    script.Then([&](QWidget* w) {
      auto* dialog = qobject_cast<TVersionsDialog*>(w);
      if (!dialog) return false;
      focusOnPath = dialog->focusWidget() == dialog->edRelPath;
      // A question or a run opened by Enter is answered No here and counted: the test fails, never hangs.
      QTimer guard;
      guard.setInterval(20);
      QObject::connect(&guard, &QTimer::timeout, [&asked] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          ++asked;
          (box->button(QMessageBox::No) ? box->button(QMessageBox::No) : box->buttons().first())->click();
        }
      });
      guard.start();
      QTest::keyClicks(dialog->focusWidget(), "docs/a.txt");
      typedIntoPath = dialog->edRelPath->text() == "docs/a.txt" && dialog->edFolder->text() == backup;
      QTest::keyClick(dialog->edRelPath, Qt::Key_Return);
      QTest::keyClick(dialog->edRelPath, Qt::Key_Enter);
      stillOpen = dialog->isVisible() && dialog->result() == QDialog::Rejected;
      rows = dialog->lvVersions->topLevelItemCount();
      QTest::keyClick(dialog->lvVersions, Qt::Key_Return);
      QTest::keyClick(dialog, Qt::Key_Return);
      openAfterListEnter = dialog->isVisible();
      dialog->btCancel->click();
      return true;
    });
    AnswerBoxes(script);
    form->btVersions->click();
    QVERIFY(script.Done());
    QVERIFY(focusOnPath);
    QVERIFY(typedIntoPath);
    QVERIFY(stillOpen);
    QCOMPARE(rows, 3);
    QVERIFY(openAfterListEnter);
    QCOMPARE(asked, 0);
    QCOMPARE(script.Seen.size(), 1);  // the dialog only: no run, no summary
    QCOMPARE(ReadFile(dest + "/docs/a.txt"), QByteArray("current"));
    QVERIFY(!form->Session().LastRun().Started);
  }

  // Replacing a file is asked for whatever the overwrite rule says; No keeps the dialog open.
  void replaceAsksFirst_data() {
    QTest::addColumn<QString>("rule");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("never, yes") << "rbOverwriteNone" << int(QMessageBox::Yes) << QByteArray("march");
    QTest::newRow("allways, no") << "rbOverwriteAll" << int(QMessageBox::No) << QByteArray("current");
    QTest::newRow("only older, yes") << "rbOverwriteOlder" << int(QMessageBox::Yes) << QByteArray("march");
  }

  void replaceAsksFirst() {
    QFETCH(QString, rule);
    QFETCH(int, answer);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup"), dest = dir.filePath("dest");
    MakeBackup(backup);
    WriteFile(dest + "/docs/a.txt", "current");
    SetModified(dest + "/docs/a.txt", QDateTime::currentDateTimeUtc());  // newer than every version
    auto form = OpenOnSet1(dir.path(), backup, dest);
    form->findChild<QRadioButton*>(rule)->setChecked(true);
    QString named, question;
    bool openAfterNo = false;
    TDialogScript script;
    script.Then([&](QWidget* w) {
      auto* dialog = qobject_cast<TVersionsDialog*>(w);
      if (!dialog) return false;
      named = dialog->btRestore->toolTip();
      dialog->lvVersions->setCurrentItem(dialog->lvVersions->findItems("set2", Qt::MatchExactly, 1).value(0));
      QTimer::singleShot(0, dialog, [&, dialog] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        question = box->text();
        box->button(QMessageBox::StandardButton(answer))->click();
      });
      dialog->btRestore->click();
      openAfterNo = dialog->isVisible();
      if (openAfterNo) dialog->btCancel->click();
      return true;
    });
    AnswerBoxes(script);
    form->btVersions->click();
    QVERIFY(script.Done());
    QCOMPARE(named, dest + "/docs/a.txt");
    QVERIFY2(question.contains(dest + "/docs/a.txt") && question.contains("set2"), qPrintable(question));
    QCOMPARE(openAfterNo, answer == QMessageBox::No);
    QCOMPARE(ReadFile(dest + "/docs/a.txt"), expected);
    QCOMPARE(QDir(dest + "/docs").entryList(QDir::Files).size(), 1);
  }

  void buttonIsOffAtStartWithoutAFile() {
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup");
    MakeBackup(backup);
    {
      auto form = OpenWindow(dir.filePath("q.ini"));
      QVERIFY(!form->btVersions->isEnabled());  // files mode, nothing selected
      QVERIFY(form->ShellTreeView->SetPath(backup + "/set1/docs"));
      QVERIFY(!form->btVersions->isEnabled());
      form->ShellListView->SelectNames({"a.txt"});
      QVERIFY(form->btVersions->isEnabled());
      QVERIFY(form->ShellTreeView->SetPath(backup + "/set2/docs"));  // a new folder drops the selection
      QVERIFY(!form->btVersions->isEnabled());
    }
  }
};

QV_UI_TEST(VersionsTest);
#include "VersionsTest.moc"
