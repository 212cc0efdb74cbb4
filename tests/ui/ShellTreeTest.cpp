// SPDX-License-Identifier: Apache-2.0
// The folder model: virtual folders keep what they are when the language changes under them,
// and archive listings are read again when the archive changes.
#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include "base/Translation.h"
#include "ui/ShellCtrls.h"
#include "ui/UiTestSupport.h"

using namespace qv;
using namespace qvtest;

namespace {
// The other tests run in English, whatever a failed check leaves behind.
struct TEnglishAfter {
  ~TEnglishAfter() { SetTranslationLanguage("en"); }
};
}  // namespace

class ShellTreeTest : public QObject {
  Q_OBJECT
 private slots:
  void virtualFoldersSurviveLanguageChange_data() {
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("builtIn");
    QTest::addColumn<QString>("usedIn");
    QTest::addColumn<TShellKind>("kind");
    QTest::addColumn<int>("virtualChildren");  // Computer and Network below it
    QTest::addColumn<bool>("holdsFileSystem");  // "/" below it
    using enum TShellKind;
    QTest::newRow("network, en then de") << rfNetwork << "en" << "de" << skNetwork << 0 << false;
    QTest::newRow("network, de then en") << rfNetwork << "de" << "en" << skNetwork << 0 << false;
    QTest::newRow("computer, en then de") << rfMyComputer << "en" << "de" << skComputer << 0 << true;
    QTest::newRow("computer, de then en") << rfMyComputer << "de" << "en" << skComputer << 0 << true;
    QTest::newRow("desktop, de then en") << rfDesktop << "de" << "en" << skDesktop << 2 << false;
  }

  void virtualFoldersSurviveLanguageChange() {
    QFETCH(QString, root);
    QFETCH(QString, builtIn);
    QFETCH(QString, usedIn);
    QFETCH(TShellKind, kind);
    QFETCH(int, virtualChildren);
    QFETCH(bool, holdsFileSystem);
    const TEnglishAfter english;
    SetTranslationLanguage(builtIn.toStdString());
    TShellTreeModel model;
    model.SetRoot(root);
    SetTranslationLanguage(usedIn.toStdString());
    const QModelIndex top = model.TopIndex();
    QCOMPARE(model.NodeAt(top)->Folder.Kind, kind);
    model.FetchNow(top);
    const QStringList mounts = NetworkMounts();
    int virtuals = 0;
    bool fileSystem = false;
    for (int row = 0; row < model.rowCount(top); ++row) {
      const TShellFolder& child = model.NodeAt(model.index(row, 0, top))->Folder;
      if (child.PathName.isEmpty()) ++virtuals;
      if (child.PathName == "/") fileSystem = true;
      if (root == rfNetwork) QVERIFY2(mounts.contains(child.PathName), qPrintable(child.Name));
    }
    QCOMPARE(virtuals, virtualChildren);
    QCOMPARE(fileSystem, holdsFileSystem);
  }

  void zipListingIsReadAgainWhenTheArchiveChanges() {
    QTemporaryDir dir;
    WriteFile(dir.filePath("a.txt"), "a");
    WriteFile(dir.filePath("b.txt"), "b");
    const QString archive = dir.filePath("x.zip");
    if (!Run("zip", {"-q", archive, "a.txt"}, dir.path())) QSKIP("zip is not installed");
    TZipListingCache cache;
    QVERIFY(!cache.Cached(archive));
    QCOMPARE(cache.Read(archive)->Entries.size(), size_t(1));
    QVERIFY(cache.Cached(archive));
    QVERIFY(Run("zip", {"-q", archive, "b.txt"}, dir.path()));
    SetModified(archive, QDateTime::currentDateTime().addSecs(60));
    QVERIFY(!cache.Cached(archive));
    QCOMPARE(cache.Read(archive)->Entries.size(), size_t(2));
    // Another tree keeps listings of its own.
    QVERIFY(!TZipListingCache().Cached(archive));
  }
};

QV_UI_TEST(ShellTreeTest);
#include "ShellTreeTest.moc"
