// SPDX-License-Identifier: Apache-2.0
// The desktop's conventions: typed dates, Ctrl+Q, Esc, F1 and F5, a folder tree that keeps its
// width, and German texts that fit the smallest window.
#include <QAbstractButton>
#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "base/IniFile.h"
#include "base/Translation.h"
#include "ui/DetailInfoDlg.h"
#include "ui/MainForm.h"
#include "ui/PreviewDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/ShellDirDlg.h"
#include "ui/TimeCompareDlg.h"
#include "ui/UiTestSupport.h"
#include "ui/VersionsDlg.h"
#include "ui/WinUtils.h"

using namespace qv;
using namespace qvtest;

namespace {

std::unique_ptr<TMainForm> ActiveWindow(const QString& ini) {
  auto form = OpenWindow(ini);
  form->activateWindow();
  if (!QTest::qWaitForWindowActive(form.get())) qWarning("window not active");
  return form;
}

// Types the parts of a date in the field's own order and format, joined as the row says.
void TypeDate(QDateEdit* edit, const QDate& date, const QString& join) {
  for (int i = 0; i < edit->sectionCount(); ++i) {
    const QDateTimeEdit::Section part = edit->sectionAt(i);
    const QString format = edit->displayFormat();
    QString text;
    if (part == QDateTimeEdit::DaySection) text = QString::number(date.day());
    else if (part == QDateTimeEdit::YearSection) text = QString::number(date.year());
    else text = format.contains("MMM") ? QLocale().monthName(date.month(), QLocale::ShortFormat) : QString::number(date.month());
    QTest::keyClicks(edit, text);
    if (i + 1 == edit->sectionCount()) break;
    if (join == "tab") QTest::keyClick(edit, Qt::Key_Tab);
    else if (join == "right") QTest::keyClick(edit, Qt::Key_Right);
    else {
      // The separator the format has after this part.
      const QString shown = edit->sectionText(part);
      Q_UNUSED(shown);
      static const QString letters = "dMy";
      int at = 0, seen = -1;
      while (at < format.size() && seen < i) {
        if (letters.contains(format[at]) && (at == 0 || format[at - 1] != format[at])) ++seen;
        ++at;
      }
      while (at < format.size() && letters.contains(format[at])) ++at;
      QTest::keyClicks(edit, QString(format[at]));
    }
  }
}

}  // namespace

class KeysLayoutTest : public QObject {
  Q_OBJECT
 private slots:
  void typedDateChangesEveryPart_data() {
    QTest::addColumn<QString>("join");
    QTest::addColumn<QDate>("typed");
    for (const char* join : {"separator", "tab", "right"}) {
      QTest::newRow(QByteArray(join).append(", two-digit day").constData()) << join << QDate(2024, 3, 10);
      QTest::newRow(QByteArray(join).append(", one-digit day").constData()) << join << QDate(2023, 11, 1);
    }
  }

  void typedDateChangesEveryPart() {
    QFETCH(QString, join);
    QFETCH(QDate, typed);
    QTemporaryDir dir;
    auto form = ActiveWindow(dir.filePath("q.ini"));
    form->rbSched->click();
    form->dtpRest->setDate(QDate(2026, 12, 9));
    form->dtpRest->setFocus(Qt::TabFocusReason);
    TypeDate(form->dtpRest, typed, join);
    QCOMPARE(form->dtpRest->date(), typed);
    QCOMPARE(QApplication::focusWidget(), form->dtpRest);  // Tab between parts stays in the field
    QTest::keyClick(form->dtpRest, Qt::Key_Tab);  // past the last part: the next control
    QVERIFY(QApplication::focusWidget() != form->dtpRest);
    QVERIFY(form->dtpRest->displayFormat().contains("yyyy"));
  }

  void ctrlQQuits_data() {
    QTest::addColumn<bool>("running");
    QTest::newRow("idle") << false;
    QTest::newRow("during a run: stops it first") << true;
  }

  void ctrlQQuits() {
    QFETCH(bool, running);
    QTemporaryDir dir;
    const QString src = dir.filePath("backup"), dest = dir.filePath("dest");
    WriteFile(src + "/big.bin", QByteArray(64 << 20, 'x'));
    QDir().mkpath(dest);
    auto form = ActiveWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    form->ShellListView->SelectNames({"big.bin"});
    form->edTarget->setText(dest);
    TDialogScript script;
    script.Always([](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      box->buttons().first()->click();
      return true;
    });
    bool stoppedRun = false;
    if (running) {
      QTimer::singleShot(0, form.get(), [&] {
        form->btPause->click();  // holds the transfer until Ctrl+Q
        QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
      });
      // Never a hang: a run Ctrl+Q did not stop is stopped here, and the test fails.
      QTimer::singleShot(5000, form.get(), [&] { if (form->Session().Restoring()) form->btRestore->click(); });
      form->btRestore->click();
      stoppedRun = form->Session().LastRun().Stopped;
    } else {
      QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
    }
    QTRY_VERIFY(!form->isVisible());
    QCOMPARE(stoppedRun, running);
    QVERIFY(QDir(dest).isEmpty());
  }

  void f1ShowsAbout() {
    QTemporaryDir dir;
    auto form = ActiveWindow(dir.filePath("q.ini"));
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok, "Apache"));
    QTest::keyClick(form.get(), Qt::Key_F1);
    QVERIFY2(script.Done(), qPrintable(script.Seen.join(" | ")));
  }

  void f5RereadsTheFolder() {
    QTemporaryDir dir;
    const QString src = dir.filePath("backup");
    WriteFile(src + "/a.txt", "a");
    auto form = ActiveWindow(dir.filePath("q.ini"));
    QVERIFY(form->ShellTreeView->SetPath(src));
    QCOMPARE(form->ShellListView->Count(), 1);
    form->ShellTreeView->SetAutoRefresh(false);  // only F5 may find them
    WriteFile(src + "/b.txt", "b");
    QDir().mkpath(src + "/late");
    QTest::keyClick(form.get(), Qt::Key_F5);
    QCOMPARE(form->ShellListView->Count(), 2);
    QVERIFY(form->ShellTreeView->Model()->FindPath(src + "/late").isValid());
    QCOMPARE(form->ShellTreeView->Path(), src);
  }

  void escClosesDialogs_data() {
    QTest::addColumn<QString>("dialog");
    for (const char* name : {"versions", "preview", "time", "details", "folders"}) QTest::newRow(name) << name;
  }

  void escClosesDialogs() {
    QFETCH(QString, dialog);
    std::unique_ptr<QDialog> d;
    if (dialog == "versions") d = std::make_unique<TVersionsDialog>("", "", true);
    else if (dialog == "preview") d = std::make_unique<TPreviewDialog>(std::vector<TItemReport>{}, "summary", false);
    else if (dialog == "time") d = std::make_unique<TTimeCompareDialog>();
    else if (dialog == "details") d = std::make_unique<TDetailInfoDialog>();
    else d = std::make_unique<TShellDirDialog>();
    bool sent = false;
    QTimer::singleShot(100, d.get(), [&] {
      QWidget* modal = QApplication::activeModalWidget();
      QWidget* target = modal && modal->focusWidget() ? modal->focusWidget() : modal;
      if (!target) return;
      sent = true;
      QTest::keyClick(target, Qt::Key_Escape);
    });
    QTimer::singleShot(3000, d.get(), [&] { d->done(100); });  // never a hang
    const int result = d->exec();
    QVERIFY(sent);
    QVERIFY2(result != 100 && result != QDialog::Accepted && result != mrOk, qPrintable(QString::number(result)));
  }

  // The tree keeps the width the user gave it: a small window only lends it, and what is
  // stored is what the user chose, never what the small window left.
  void treeKeepsItsWidth() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("q.ini");
    {
      auto form = ActiveWindow(ini);
      form->resize(1100, 600);
      QCoreApplication::processEvents();
      QSplitterHandle* handle = form->Splitter->handle(1);
      const int from = form->Splitter->sizes()[0];
      const QPoint grip(handle->width() / 2, handle->height() / 2);
      QTest::mousePress(handle, Qt::LeftButton, {}, grip);
      QTest::mouseMove(handle, grip + QPoint(320 - from, 0));
      QTest::mouseRelease(handle, Qt::LeftButton, {}, grip + QPoint(320 - from, 0));
      QTRY_COMPARE(form->Splitter->sizes()[0], 320);
      form->resize(form->minimumSizeHint());
      QCoreApplication::processEvents();
      QVERIFY(form->Splitter->sizes()[0] >= TMainForm::TreeMinWidth);
      form->resize(1200, 600);
      QCoreApplication::processEvents();
      QCOMPARE(form->Splitter->sizes()[0], 320);
      form->resize(form->minimumSizeHint());
      QCoreApplication::processEvents();
      QVERIFY(form->close());
    }
    TIniFile file(ini.toStdString());
    QCOMPARE(file.ReadInteger("Config", "Split", 0), 320);
  }

  void storedTreeWidthIsSensible_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("expected");  // -1: as wide as the window leaves it
    QTest::newRow("crushed by an old small window") << 120 << 260;
    QTest::newRow("a width of the user's") << 300 << 300;
    QTest::newRow("wider than the window") << 5000 << -1;
  }

  void storedTreeWidthIsSensible() {
    QFETCH(int, stored);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QString ini = dir.filePath("q.ini");
    {
      TIniFile file(ini.toStdString());
      file.WriteInteger("Config", "Split", stored);
      file.WriteInteger("Config", "Width", 900);
      file.WriteInteger("Config", "Height", 560);
      file.UpdateFile();
    }
    auto form = OpenWindow(ini);
    QCoreApplication::processEvents();
    const QList<int> sizes = form->Splitter->sizes();
    if (expected > 0) {
      QCOMPARE(sizes[0], expected);
    } else {
      QVERIFY(sizes[0] >= TMainForm::TreeMinWidth);
      QVERIFY2(sizes[1] >= form->Splitter->widget(1)->minimumSizeHint().width(), qPrintable(QString::number(sizes[1])));
    }
  }

  // German at the window's smallest size: no text of a control is cut.
  void germanTextsFitTheSmallestWindow_data() {
    QTest::addColumn<QString>("mode");
    for (const char* mode : {"rbFiles", "rbDirs", "rbSched"}) QTest::newRow(mode) << mode;
  }

  void germanTextsFitTheSmallestWindow() {
    QFETCH(QString, mode);
    SetTranslationLanguage("de");
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    form->findChild<QRadioButton*>(mode)->click();
    form->resize(form->minimumSizeHint());
    QCoreApplication::processEvents();
    QStringList cut;
    const QRect window = form->rect();
    for (QWidget* w : form->findChildren<QWidget*>()) {
      if (!w->isVisibleTo(form.get()) || w == form->laFolder || w == form->laFile || w == form->laRun) continue;
      const QString name = w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName();
      if (auto* label = qobject_cast<QLabel*>(w); label && !label->wordWrap() && !label->text().isEmpty()) {
        if (label->width() < label->sizeHint().width()) cut << name + ": " + label->text();
      } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && !b->text().isEmpty()) {
        if (b->width() < b->sizeHint().width()) cut << name + ": " + b->text();
      } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        if (g->width() < g->minimumSizeHint().width()) cut << name + ": " + g->title();
      } else {
        continue;
      }
      if (!window.contains(QRect(w->mapTo(form.get(), QPoint(0, 0)), w->size()))) cut << name + " outside";
    }
    const QString title = form->windowTitle();
    SetTranslationLanguage("en");
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(" | ")));
    QCOMPARE(title, QString("Dateien aus Sicherung wiederherstellen"));
  }

  void germanAboutIsGerman() {
    SetTranslationLanguage("de");
    QTemporaryDir dir;
    auto form = OpenWindow(dir.filePath("q.ini"));
    TDialogScript script;
    script.Then(TDialogScript::Press(QMessageBox::Ok));
    form->btInfo->click();
    SetTranslationLanguage("en");
    QVERIFY(script.Done());
    const QString about = script.Seen.value(0);
    QVERIFY2(!about.contains("Distributed without any warranty") && about.contains("Gew\u00e4hrleistung"), qPrintable(about));
  }

  void germanDialogButtonsAreWholeTexts() {
    SetTranslationLanguage("de");
    TShellDirDialog folders;
    folders.show();
    QCoreApplication::processEvents();
    QStringList cut;
    for (auto* b : folders.findChildren<QToolButton*>())
      if (!b->text().isEmpty() && b->width() < b->sizeHint().width()) cut << b->text();
    SetTranslationLanguage("en");
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(" | ")));
  }
};

QV_UI_TEST(KeysLayoutTest);
#include "KeysLayoutTest.moc"
