// SPDX-License-Identifier: Apache-2.0
// Browse... on the schedule page: the chosen day of the backup, mounted read-only and opened in
// the file manager, gone again when the window closes.
#include <QDateEdit>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <string>

#include "ui/MainForm.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"
#include "ui/WinUtils.h"

using namespace qv;
using namespace qvtest;

namespace {

// Whether a mount of this file system type is at path (/proc/self/mountinfo).
bool MountedAt(const QString& path) {
  std::ifstream info("/proc/self/mountinfo");
  const std::string wanted = path.toStdString();
  for (std::string line; std::getline(info, line);)
    if (line.find(" " + wanted + " ") != std::string::npos) return true;
  return false;
}

}  // namespace

class BrowseTest : public QObject {
  Q_OBJECT
 private slots:
  void browseShowsTheChosenDayAndEndsWithTheWindow() {
#ifndef QV_HAVE_MOUNT
    QSKIP("built without the mount library (libfuse3)");
#else
    if (!QFile::exists("/dev/fuse")) QSKIP("no /dev/fuse here: nothing can be mounted");
    QTemporaryDir dir;
    const QString backup = dir.filePath("backup");
    // Two sets: the day between them shows the first version, a later day the second.
    WriteFile(backup + "/set1/docs/a.txt", "first");
    SetModified(backup + "/set1/docs/a.txt", QDateTime(QDate(2020, 1, 10), QTime(12, 0), Qt::UTC));
    WriteFile(backup + "/set2/docs/a.txt", "second");
    SetModified(backup + "/set2/docs/a.txt", QDateTime(QDate(2020, 2, 10), QTime(12, 0), Qt::UTC));
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", dir.filePath("run").toUtf8());
    QList<QUrl> opened;
    const auto saved = OpenInFileManager;
    OpenInFileManager = [&opened](const QUrl& url) {
      opened << url;
      return true;
    };
    QString mountPoint;
    {
      auto form = OpenWindow(dir.filePath("q.ini"));
      form->rbSched->click();
      QVERIFY(form->btBrowse->isVisible());
      QVERIFY(form->ShellTreeView->SetPath(backup));
      form->dtpRest->setDate(QDate(2020, 1, 20));
      form->btBrowse->click();
      QCOMPARE(opened.size(), 1);
      mountPoint = opened[0].toLocalFile();
      QCOMPARE(mountPoint, dir.filePath("run") + "/quorvex-restore/2020-01-20");
      QVERIFY(MountedAt(mountPoint));
      QCOMPARE(ReadFile(mountPoint + "/docs/a.txt"), QByteArray("first"));
      QVERIFY(!QFile(mountPoint + "/docs/new.txt").open(QIODevice::WriteOnly));  // read-only
      form->close();
    }
    OpenInFileManager = saved;
    qputenv("XDG_RUNTIME_DIR", runtime);
    QVERIFY(!MountedAt(mountPoint));
    QVERIFY(!QFile::exists(mountPoint + "/docs/a.txt"));
#endif
  }
};

QV_UI_TEST(BrowseTest);
#include "BrowseTest.moc"
