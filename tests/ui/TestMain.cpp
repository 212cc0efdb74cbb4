// SPDX-License-Identifier: Apache-2.0
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <cstdlib>

#include "base/Startup.h"
#include "ui/MainForm.h"
#include "ui/UiTestSupport.h"

namespace qvtest {

std::vector<TTestFactory>& Registry() {
  static std::vector<TTestFactory> registry;
  return registry;
}

std::unique_ptr<qv::TMainForm> OpenWindow(const QString& ini) {
  auto form = std::make_unique<qv::TMainForm>(ini);
  form->show();
  QCoreApplication::processEvents();
  return form;
}

void SetModified(const QString& path, const QDateTime& when) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::ReadWrite));
  QVERIFY(f.setFileTime(when, QFileDevice::FileModificationTime));
}

void WriteFile(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) qFatal("cannot write %s", qPrintable(path));
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Run(const QString& program, const QStringList& args, const QString& workDir) {
  QProcess p;
  if (!workDir.isEmpty()) p.setWorkingDirectory(workDir);
  p.start(program, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

TDialogScript::TDialogScript() {
  FTimer.setInterval(30);
  connect(&FTimer, &QTimer::timeout, this, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == FLast) return;
    if (FSteps.empty() && !FAlways) return;
    const QString seen = qobject_cast<QMessageBox*>(modal) ? qobject_cast<QMessageBox*>(modal)->text()
                                                           : modal->windowTitle();
    bool handled = false;
    if (!FSteps.empty() && FSteps.front()(modal)) {
      FSteps.pop_front();
      handled = true;
    } else if (FAlways && FAlways(modal)) {
      handled = true;
    }
    if (handled) {
      Seen << seen;
      FLast = modal;
    }
  });
  FTimer.start();
}

TDialogScript::~TDialogScript() {
  FTimer.stop();
}

TDialogScript::TStep TDialogScript::Press(QMessageBox::StandardButton button, const QString& expectContains) {
  return [button, expectContains](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || !box->button(button)) return false;
    if (!expectContains.isEmpty() && !box->text().contains(expectContains)) return false;
    box->button(button)->click();
    return true;
  };
}

}  // namespace qvtest

int main(int argc, char** argv) {
  // Settings, documents and trash of the tests live in a folder of their own.
  static QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
  qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
  qputenv("LANGUAGE", "en");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qv::InitTranslation({}, "Quorvex5/", "Quorvex.cfg", {});
  QApplication app(argc, argv);
  int failed = 0;
  for (const auto& make : qvtest::Registry()) {
    auto test = make();
    failed += QTest::qExec(test.get(), argc, argv);
  }
  return failed == 0 ? 0 : 1;
}
