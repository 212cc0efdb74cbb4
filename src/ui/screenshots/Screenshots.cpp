// SPDX-License-Identifier: Apache-2.0
// Renders the main window in each mode, a paused run, the password prompt, the summary with
// details, the preview and the versions of a file into PNG files for the README
// (scripts/screenshots.sh runs it under a display). Built with everything else, so a change
// of the window that it no longer fits breaks the build, not the pictures.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTreeWidget>
#include <QDateTime>
#include <QTimer>

#include "base/Startup.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"
#include "ui/DetailInfoDlg.h"
#include "ui/MainForm.h"
#include "ui/PreviewDlg.h"
#include "ui/VersionsDlg.h"
#include "ui/PwdDlg.h"
#include "ui/WinUtils.h"
#include "ui/ShellCtrls.h"

using namespace qv;

static void Save(QWidget* w, const QString& dir, const QString& name) {
  QApplication::processEvents();
  w->grab().save(QDir(dir).filePath(name + ".png"));
}

static void Touch(const QString& path, int size) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(QByteArray(size, 'x'));
}

int main(int argc, char** argv) {
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("docs/screenshots");
  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
  InitTranslation(CommandLineArgs(argc, argv), "Quorvex5/", "Quorvex.cfg", {});
  QApplication app(argc, argv);
  QDir().mkpath(out);
  const QString backup = home.path() + "/Backup/2024-05-17";
  Touch(backup + "/report.doc.gze", 48213);
  Touch(backup + "/budget.xlsx.gz", 120433);
  Touch(backup + "/photo.jpg", 2304112);
  Touch(backup + "/notes.txt.enc", 912);
  QDir().mkpath(home.path() + "/Backup/2024-05-18");

  TMainForm form(home.path() + "/shot.ini");
  form.resize(900, 560);
  form.show();
  form.ShellTreeView->SetPath(backup);
  form.ShellListView->SelectNames({"report.doc.gze", "photo.jpg"});
  form.edTarget->setText(home.path() + "/Restored");
  Save(&form, out, "main-files");
  form.rbDirs->click();
  Save(&form, out, "main-directory");
  form.rbSched->click();
  form.ShellTreeView->SetPath(home.path() + "/Backup");
  form.edFilter->setText("2024-*");
  Save(&form, out, "main-schedule");

  TPasswordDialog pwd;
  QTimer::singleShot(100, [&] {
    pwd.edtPwd->setText("secret");
    Save(&pwd, out, "password");
    pwd.reject();
  });
  std::string p;
  int mode = 0;
  pwd.Execute(form.windowTitle(), "To restore encrypted file:\n" + backup + "/notes.txt.enc\nrequires a password!", true, false, p, mode);

  TDetailInfoDialog info;
  QTimer::singleShot(100, [&] {
    info.btDetails->click();
    Save(&info, out, "summary-details");
    info.accept();
  });
  info.Execute({-1, -1}, form.windowTitle(), "3 files copied - 1 error\n1 skipped", iiError,
               {"Error restoring file: " + backup + "/budget.xlsx.gz", "   Error: CRC error in \"budget.xlsx\""});

  // What a restore of the selection would do, as the Preview button shows it.
  const std::string dest = StdStr(home.path()) + "/Restored/";
  const std::string from = StdStr(backup) + "/";
  const auto item = [](TItemAction action, const std::string& source, const std::string& target,
                       const std::string& reason = {}, const std::string& message = {}) {
    TItemReport r;
    r.Action = action;
    r.Source = source;
    r.Target = target;
    r.Reason = reason;
    r.Message = message;
    return r;
  };
  std::vector<TItemReport> items = {
      item(iaNew, from + "report.doc.gze", dest + "report.doc"),
      item(iaReplace, from + "budget.xlsx.gz", dest + "budget.xlsx"),
      item(iaSkip, from + "photo.jpg", dest + "photo.jpg", "not older",
           "backup 2024-05-17 09:12:40, target 2024-05-20 16:03:11 (UTC)"),
      item(iaNew, from + "notes.txt.enc", dest + "notes.txt")};
  for (int i = 1; i <= 6; ++i)
    items.push_back(item(iaSkip, from + "scan-" + std::to_string(i) + ".pdf", dest + "scan-" + std::to_string(i) + ".pdf", "exists"));
  TPreviewDialog preview(items, QStr(FormatText(MsgDryRunSummary(), {"3", "2", "1", "7", "0"})), false);
  preview.show();
  Save(&preview, out, "preview");
  preview.hide();

  // A Directory run paused halfway: the file's bar and the whole run's.
  form.rbDirs->click();
  form.SetStatusVisible(true);
  form.SetRunning(true);
  form.SetPauseEnabled(true);
  form.SetPauseCaption(true);
  form.SetFileLabel(StdStr(backup) + "/budget.xlsx.gz");
  form.SetProgress(42);
  TRunProgress run;
  run.FilesDone = 331;
  run.FilesTotal = 2000;
  run.BytesDone = 412LL << 20;
  run.BytesTotal = 2380LL << 20;
  form.RunProgress(run);
  Save(&form, out, "main-progress");
  form.SetRunning(false);
  form.SetStatusVisible(false);
  form.rbSched->click();

  // Every copy of one file across the sets, as the Versions button shows it.
  const struct { const char* set; int size; int day; } copies[] = {
      {"2024-05-17", 2304112, 17}, {"2024-05-18", 2311480, 18}, {"2024-05-19", 2298004, 19}};
  for (const auto& c : copies) {
    const QString path = home.path() + "/Backup/" + c.set + "/photo.jpg";
    Touch(path, c.size);
    QFile f(path);
    if (f.open(QIODevice::ReadWrite))
      f.setFileTime(QDateTime(QDate(2024, 5, c.day), QTime(21, 30), QTimeZone::utc()), QFileDevice::FileModificationTime);
  }
  TVersionsDialog versions("2024-*", "", true);
  versions.SetDestination(StdStr(home.path()) + "/Pictures");
  versions.Search(StdStr(home.path()) + "/Backup", "photo.jpg");
  versions.lvVersions->setCurrentItem(versions.lvVersions->topLevelItem(1));
  versions.show();
  Save(&versions, out, "versions");
  versions.hide();

  // The same window in German.
  SetTranslationLanguage("de");
  TMainForm german(home.path() + "/shot-de.ini");
  german.resize(900, 560);
  german.show();
  german.ShellTreeView->SetPath(backup);
  german.ShellListView->SelectNames({"notes.txt.enc"});
  // At its smallest: every German text must still fit.
  german.resize(german.minimumSizeHint());
  Save(&german, out, "main-german");
  return 0;
}
