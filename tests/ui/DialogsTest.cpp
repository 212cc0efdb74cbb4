// SPDX-License-Identifier: Apache-2.0
// The dialogs on their own: selection grid, password, detail information, directory dialog.
#include <algorithm>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "base/IniFile.h"
#include "restore/RestoreSession.h"
#include "ui/DetailInfoDlg.h"
#include "ui/PwdDlg.h"
#include "ui/SelectDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/ShellDirDlg.h"
#include "ui/UiTestSupport.h"
#include "ui/WinUtils.h"

using namespace qv;
using namespace qvtest;

class DialogsTest : public QObject {
  Q_OBJECT
 private slots:
  void selectDialogGridIsRightAligned() {
    TSelectDialog dialog;
    dialog.Prepare("t", "Delete \"x\"", {"Definitely", "To recycle bin"}, QFont::Bold);
    QCOMPARE(dialog.Buttons.size(), size_t(3));
    QCOMPARE(dialog.Buttons[0]->geometry().left(), 20);
    QCOMPARE(dialog.Buttons[2]->geometry().left(), 240);
    QCOMPARE(dialog.Buttons[2]->text(), QString("Cancel"));
    QCOMPARE(dialog.Buttons[2]->property("tag").toInt(), -1);
    QVERIFY(dialog.lbCaption->font().bold());

    dialog.Prepare("t", "x", {"a", "b", "c", "d"}, QFont::Normal);
    QCOMPARE(dialog.Buttons.size(), size_t(5));
    const int firstRow = dialog.Buttons[0]->geometry().top();
    QCOMPARE(dialog.Buttons[2]->geometry().top(), firstRow);
    QCOMPARE(dialog.Buttons[3]->geometry().top(), firstRow + 30);
    QCOMPARE(dialog.Buttons[3]->geometry().left(), 130);  // two buttons pushed to the right
    QCOMPARE(dialog.Buttons[4]->geometry().left(), 240);
    QCOMPARE(dialog.Buttons[3]->text(), QString("d"));
    QCOMPARE(dialog.height(), dialog.Buttons[3]->geometry().top() + 40);

    dialog.Prepare("t", "x", {"a", "b"}, QFont::Normal);
    QCOMPARE(dialog.Buttons.size(), size_t(3));  // buttons of the earlier layout are gone
    QCOMPARE(dialog.findChildren<QPushButton*>().size(), 3);
  }

  void selectDialogReturnsTagOfClickedButton() {
    TSelectDialog dialog;
    QTimer::singleShot(50, [&] { dialog.Buttons[1]->click(); });
    QCOMPARE(dialog.Execute("t", "x", {"a", "b", "c"}), 1);
    QTimer::singleShot(50, [&] { dialog.Buttons.back()->click(); });
    QCOMPARE(dialog.Execute("t", "x", {"a", "b", "c"}), -1);
    QTimer::singleShot(50, [&] { dialog.reject(); });
    QCOMPARE(dialog.Execute("t", "x", {"a"}), -1);
  }

  // A dialog that outlived its question could become the parent of the next box and delete
  // it while it is shown (a box on the stack: a crash).
  void questionDialogsAreGoneWhenTheyReturn() {
    const auto answerLater = [] {
      QTimer::singleShot(50, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) qobject_cast<QDialog*>(modal)->done(0);
      });
    };
    const auto alive = [] {
      const QWidgetList widgets = QApplication::allWidgets();
      return std::count_if(widgets.cbegin(), widgets.cend(), [](QWidget* w) {
        return qobject_cast<TPasswordDialog*>(w) || qobject_cast<TDetailInfoDialog*>(w);
      });
    };
    QCOMPARE(alive(), 0L);
    answerLater();
    std::string pwd;
    int mode = 0;
    qv::QueryPassword("T", "P", true, mode, pwd, false);
    QCOMPARE(alive(), 0L);
    answerLater();
    qv::ShowDetailInfo(QPoint(), "T", "M", {"a"}, iiError);
    QCOMPARE(alive(), 0L);
  }

  void passwordDialogResultsAndDepth() {
    TPasswordDialog dialog;
    std::string pwd;
    int mode = 2;
    QTimer::singleShot(50, [&] {
      QVERIFY(dialog.btnSkip->isVisible());
      QVERIFY(dialog.gbEncrypt->isVisible());
      QVERIFY(dialog.rbEnc256->isChecked());
      dialog.edtPwd->setText("geheim\u00e4");
      dialog.OKBtn->click();
    });
    QCOMPARE(dialog.Execute("T", "P", true, true, pwd, mode), 1);
    QCOMPARE(pwd, std::string("geheim\u00e4"));
    QCOMPARE(mode, 3);  // 256 bit is written back as 3
    QCOMPARE(dialog.height(), dialog.Hgt);

    pwd.clear();
    mode = 7;
    QTimer::singleShot(50, [&] {
      QVERIFY(!dialog.gbEncrypt->isVisible());
      QCOMPARE(dialog.height(), dialog.Hgt - 51);
      dialog.edtPwd->setText("typed");
      dialog.btnSkip->click();
    });
    QCOMPARE(dialog.Execute("T", "P", true, false, pwd, mode), 6);
    QVERIFY(pwd.empty());
    QCOMPARE(mode, 7);

    QTimer::singleShot(50, [&] { QTest::keyClick(dialog.edtPwd, Qt::Key_Escape); });
    QCOMPARE(dialog.Execute("T", "P", pwd), 2);
    QTimer::singleShot(50, [&] { dialog.edtPwd->clear(); QTest::keyClick(dialog.edtPwd, Qt::Key_Return); });
    pwd = "old";
    QCOMPARE(dialog.Execute("T", "P", pwd), 1);
    QVERIFY(pwd.empty());  // OK on an empty field gives an empty password
  }

  void detailInfoFoldsAndPlaces() {
    TDetailInfoDialog dialog;
    QTimer::singleShot(50, [&] {
      QCOMPARE(dialog.windowTitle(), QString("Information"));  // an empty title keeps it
      QCOMPARE(dialog.height(), TDetailInfoDialog::TopHeight);
      QVERIFY(!dialog.lbDetails->isVisible());
      dialog.btDetails->click();
      QCOMPARE(dialog.height(), TDetailInfoDialog::TopHeight + TDetailInfoDialog::ListHeight);
      QCOMPARE(dialog.lbDetails->count(), 2);
      QCOMPARE(dialog.lbDetails->item(1)->text(), QString("   line two"));
      dialog.btDetails->click();
      QCOMPARE(dialog.height(), TDetailInfoDialog::TopHeight);
      QCOMPARE(dialog.pos(), QPoint(5, 5));
      dialog.OKBtn->click();
    });
    dialog.Execute({5, 5}, "", "1 file copied - 1 error", iiError, {"line one", "   line two"});
    QVERIFY(!dialog.ShowDetails);
  }

  void fitIntoWorkAreaKeepsMargins() {
    const QRect area(0, 0, 1000, 800);
    int left = 990, top = 5;
    FitIntoRect(left, top, 100, 300, area);
    QCOMPARE(left, 1000 - 300 - 20);
    QCOMPARE(top, 5);
    left = -50, top = 790;
    FitIntoRect(left, top, 100, 300, area);
    QCOMPARE(left, 20);
    QCOMPARE(top, 800 - 100 - 30);
  }

  void dirDialogHistoryKeepsFifteenAcrossRestart() {
    QTemporaryDir dir;
    const QString ini = dir.filePath("QuorvexRestore.ini");
    {
      TIniFile file(ini.toStdString());
      file.WriteString("Config", "Target", "/keep/me");
      for (int i = 0; i < 17; ++i) file.WriteString("DirDialog", "History" + std::to_string(i), "/h/" + std::to_string(i));
      file.WriteString("DirDialog", "History3", "");
      QVERIFY(file.UpdateFile());
    }
    {
      TShellDirDialog dialog;
      dialog.LoadFromIni(ini, "DirDialog");
      const QStringList history = dialog.History();
      QCOMPARE(history.size(), 14);  // keys 0..14, the empty one skipped
      QCOMPARE(history.first(), QString("/h/0"));
      QCOMPARE(history.last(), QString("/h/14"));
      dialog.AddToHistory("/H/0");  // already there, compared without case
      QCOMPARE(dialog.History().size(), 14);
      dialog.AddToHistory("/new/a");
      dialog.AddToHistory("/new/b");
      dialog.AddToHistory("/new/c");
      QCOMPARE(dialog.History().size(), 17);
    }  // destruction writes every item
    TIniFile file(ini.toStdString());
    QCOMPARE(file.ReadString("DirDialog", "History16"), std::string("/new/c"));
    QVERIFY(!file.ValueExists("DirDialog", "History17"));
    QCOMPARE(file.ReadString("Config", "Target"), std::string("/keep/me"));  // other sections stay
    TShellDirDialog again;
    again.LoadFromIni(ini, "DirDialog");
    QCOMPARE(again.History().size(), 15);
    QCOMPARE(again.History().last(), QString("/new/a"));
  }

  void dirDialogOkAddsDelimiterAndHistory() {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("Data"));
    TShellDirDialog dialog;
    QString chosen = dir.filePath("Data");
    QTimer::singleShot(100, [&] {
      QCOMPARE(dialog.cbxSelectedDir->currentText(), dir.filePath("Data"));
      QVERIFY(dialog.btbOK->isEnabled());
      dialog.btbOK->click();
    });
    QVERIFY(dialog.Execute("Select destination directory", true, true, QString(), chosen));
    QCOMPARE(chosen, dir.filePath("Data") + "/");
    QCOMPARE(dialog.History(), QStringList{dir.filePath("Data")});

    // A folder inside a zip archive cannot take files: OK is off there.
    QString missing = dir.filePath("nope");
    QTimer::singleShot(100, [&] {
      dialog.ShellTreeView->SetRoot(rfMyComputer);
      dialog.ShellTreeView->setCurrentIndex(dialog.ShellTreeView->Model()->TopIndex());
      QVERIFY(!dialog.btbOK->isEnabled());  // "Computer" is no folder of the file system
      dialog.btbCancel->click();
    });
    QVERIFY(!dialog.Execute("x", true, true, QString(), missing));
    QCOMPARE(missing, dir.filePath("nope"));
  }

  void fitPathShrinksStepByStep() {
    QFont font;
    const QFontMetrics metrics(font);
    auto width = [&](const std::string& s) { return metrics.horizontalAdvance(QString::fromStdString(s)); };
    const std::string path = "/alpha/beta/gamma/file.txt";
    QCOMPARE(FitPathToWidth(path, 10000, width), path);
    const std::vector<std::string> steps = {"/.../beta/gamma/file.txt", "/.../gamma/file.txt", "/.../file.txt",
                                              ".../file.txt", "file.txt"};
    std::string previous = path;
    for (const std::string& expected : steps) {
      // The widest text that still needs one more cut.
      const int limit = width(previous) - 1;
      const std::string fitted = FitPathToWidth(path, limit, width);
      QVERIFY2(width(fitted) <= limit || fitted == "file.txt", fitted.c_str());
      previous = fitted;
      QCOMPARE(QString::fromStdString(fitted), QString::fromStdString(expected));
    }
    QCOMPARE(FitPathToWidth(path, 1, width), std::string("file.txt"));  // shown even when too wide
  }
};

QV_UI_TEST(DialogsTest);
#include "DialogsTest.moc"
