// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared pieces of the window tests: a registry of test objects, temporary folders, and a
// script that answers the modal dialogs a run opens, one after the other.
#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace qv {
class TMainForm;
}

namespace qvtest {

using TTestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<TTestFactory>& Registry();

template <class T>
struct TRegister {
  TRegister() { Registry().push_back([] { return std::make_unique<T>(); }); }
};
#define QV_UI_TEST(Class) static qvtest::TRegister<Class> qvRegister##Class

void WriteFile(const QString& path, const QByteArray& data);
QByteArray ReadFile(const QString& path);
// A main window on the given settings file, shown and with its first events processed.
std::unique_ptr<qv::TMainForm> OpenWindow(const QString& ini);
// Sets a file's last-write time; a failure fails the running test.
void SetModified(const QString& path, const QDateTime& when);
// Runs a peer tool; false when it is missing or fails.
bool Run(const QString& program, const QStringList& args, const QString& workDir = {});

// Answers modal dialogs in order. Each step gets the active modal widget and returns true
// when it has dealt with it; the script records what it saw for the test to check.
class TDialogScript : public QObject {
 public:
  using TStep = std::function<bool(QWidget*)>;
  TDialogScript();
  ~TDialogScript() override;
  void Then(TStep step) { FSteps.push_back(std::move(step)); }
  // Handles every dialog that no queued step takes.
  void Always(TStep step) { FAlways = std::move(step); }
  bool Done() const { return FSteps.empty(); }
  QStringList Seen;  // text of every message box and caption of every other dialog handled

  // Steps for the common dialogs.
  static TStep Press(QMessageBox::StandardButton button, const QString& expectContains = {});

 private:
  QTimer FTimer;
  std::deque<TStep> FSteps;
  TStep FAlways;
  QPointer<QWidget> FLast;  // a dialog is answered once, even while it is still closing
};

}  // namespace qvtest
