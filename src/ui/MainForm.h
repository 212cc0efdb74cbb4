// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window: folder tree, the three restore modes, destination and overwrite options,
// Start/Stop, Pause/Continue and the status panel. It is the restore session's view.
#include <QElapsedTimer>
#include <QMainWindow>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "restore/RestoreSession.h"
#include "restore/RestoreView.h"

class QLabel;
class QRadioButton;
class QStackedWidget;
class QLineEdit;
class QToolButton;
class QPushButton;
class QCheckBox;
class QDateEdit;
class QProgressBar;
class QSplitter;
class QGroupBox;
class QLayout;

namespace qv {

class TBackupMount;

class TShellTreeView;
class TShellListView;
class TShellDirDialog;
class TTimeCompareDialog;
struct TVersionChoice;

class TMainForm : public QMainWindow, public IRestoreView {
  Q_OBJECT
 public:
  // iniName empty: the settings file in the suite's settings folder.
  explicit TMainForm(const QString& iniName = {}, QWidget* parent = nullptr);
  ~TMainForm() override;

  TRestoreSession& Session() { return *FSession; }
  QString IniName() const { return FIniName; }
  TShellDirDialog* DirDialog() const { return FDirDialog.get(); }

  // IRestoreView: the run's options (those frozen at Start while a run is on the stack, the
  // controls' values otherwise), questions at the Start button, the status panel.
  TRestoreOptions RunOptions();
  bool Confirm(const std::string& text, bool yesPreselected) override;
  void ShowInfo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ShowDetailInfo(const std::string& title, const std::string& message,
                      const std::vector<std::string>& details, TDetailIcon icon) override;
  TPasswordAnswer QueryPassword(const std::string& title, const std::string& prompt,
                                std::string& pwd) override;
  void SetFileLabel(const std::string& text) override;
  void SetProgress(int position) override;
  void SetProgressMarquee(bool on) override;
  void SetStatusVisible(bool visible) override;
  void SetPauseCaption(bool paused) override;
  void SetPauseEnabled(bool enabled) override;
  void SetRunning(bool running) override;
  void ItemDone(const TItemReport& report) override;
  void RunProgress(const TRunProgress& progress) override;
  void ProcessMessages() override;

  // Controls, under the names the tests and translators know.
  TShellTreeView* ShellTreeView = nullptr;
  TShellListView* ShellListView = nullptr;
  QSplitter* Splitter = nullptr;
  QLabel* laFolder = nullptr;
  QGroupBox* gbMode = nullptr;
  QRadioButton* rbFiles = nullptr;
  QRadioButton* rbDirs = nullptr;
  QRadioButton* rbSched = nullptr;
  QStackedWidget* pcSource = nullptr;
  QWidget* tsFiles = nullptr;
  QWidget* tsDir = nullptr;
  QWidget* tsSched = nullptr;
  QLabel* laDate = nullptr;
  QLabel* laFilter = nullptr;
  QLabel* laDriveId = nullptr;
  QDateEdit* dtpRest = nullptr;
  QLineEdit* edFilter = nullptr;
  QLineEdit* edDriveId = nullptr;
  QLineEdit* edTarget = nullptr;
  QToolButton* btDest = nullptr;
  QLabel* laTarget = nullptr;
  QGroupBox* gbOverwrite = nullptr;
  QRadioButton* rbOverwriteAll = nullptr;
  QRadioButton* rbOverwriteOlder = nullptr;
  QRadioButton* rbOverwriteNone = nullptr;
  QRadioButton* rbOverwriteKeepBoth = nullptr;
  QToolButton* btnTimeSettings = nullptr;
  QCheckBox* cbGZip = nullptr;
  QCheckBox* cbProtected = nullptr;
  QCheckBox* cbVerify = nullptr;
  QCheckBox* cbPattern = nullptr;  // the item filter is used only when checked
  QLineEdit* edPattern = nullptr;
  QPushButton* btTest = nullptr;
  QPushButton* btPreview = nullptr;
  QPushButton* btVersions = nullptr;
  QPushButton* btBrowse = nullptr;  // the chosen day, mounted read-only, in the file manager
  QPushButton* btRestore = nullptr;
  QPushButton* btInfo = nullptr;
  QPushButton* btQuit = nullptr;
  QWidget* pnStatus = nullptr;
  QLabel* laFile = nullptr;
  QProgressBar* ProgressBar = nullptr;  // the current file
  QLabel* laRun = nullptr;              // the whole run: files, bytes, speed, time left
  QProgressBar* RunBar = nullptr;
  QToolButton* btPause = nullptr;
  QWidget* pnTop = nullptr;

  // Event handlers of the window.
  void FormShow();
  void rbFilesClick();
  void rbDirsClick();
  void rbSchedClick();
  void ShellTreeViewClick();
  void btDestClick();
  void btnTimeSettingsClick();
  void btInfoClick();
  void btRestoreClick();
  void btPauseClick();
  void btPreviewClick();
  void btVersionsClick();
  void btBrowseClick();
  // Restores one version of a file as a Files mode run of that backup file alone.
  void RestoreVersion(const TVersionChoice& choice);

  static constexpr int StatusHeight = 64;  // two rows: the file, then the whole run
  static constexpr int TreeMinWidth = 180;
  // The line under the file: files and bytes done of the run's, speed and time left.
  static QString RunProgressText(const TRunProgress& progress, double seconds);
  // The folder tree's width the user chose; the window gives it back when it has room.
  int WantedSplit() const { return FSplit; }
  // Re-reads the folder tree and the list (F5).
  void RefreshFolders();
  // Where restored files go when no destination has been chosen yet.
  static QString DefaultTarget();
  // Splits the filter field: patterns separated by ";", an exclude pattern starts with "-".
  static void SplitPatterns(const QString& text, std::vector<std::string>& include,
                            std::vector<std::string>& exclude);
  // The inputs of the run on the stack, frozen when it was started (none while idle).
  const std::optional<TRestoreOptions>& RunInputs() const { return FRun; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<TRestoreSession> FSession;
  // The day that Browse... shows; unmounted when the window goes.
  std::unique_ptr<TBackupMount> FMount;
  std::unique_ptr<TShellDirDialog> FDirDialog;
  QString FIniName;
  QString FProgVersName;
  QString FProgVersDate;
  bool FShown = false;
  bool FDirDialogLoaded = false;
  int FRunDepth = 0;        // btRestoreClick calls on the stack
  bool FCloseAfterRun = false;
  std::optional<TRestoreOptions> FRun;
  // Kept between runs: the time comparison's settings, the last destination and the folder
  // stored in the settings file.
  int32_t FTimespan = 2;
  bool FIgnoreDst = false;
  int FJobs = 0;  // the settings file's "Jobs"
  std::string FTarget;
  std::string FStoredSource;
  // A preview's dry run: its decisions and its summary, shown in the dialog afterwards.
  std::vector<TItemReport> FPreviewItems;
  std::optional<std::string> FPreviewSummary;
  uint32_t FSkippedItems = 0;  // items the run on the stack passed over
  QElapsedTimer FRunClock;
  int FSplit = 260;

  void BuildControls();
  void BuildFolderTree(QWidget* parent);
  QWidget* BuildFolderHeader(QWidget* parent);
  QWidget* BuildModeGroup(QWidget* parent);
  QWidget* BuildSourcePages(QWidget* parent);
  QWidget* BuildFilesPage();
  QWidget* BuildDirectoryPage();
  QWidget* BuildSchedulePage();
  QLayout* BuildTargetRow(QWidget* parent);
  QWidget* BuildOverwriteGroup(QWidget* parent);
  QLayout* BuildOptionChecks(QWidget* parent);
  QLayout* BuildFilterRow(QWidget* parent);
  QLayout* BuildButtonRow(QWidget* parent);
  static QPushButton* RunKindButton(QWidget* parent, const char* name, const QString& text, const QString& hint);
  QWidget* BuildStatusPanel(QWidget* parent);
  void ConnectControls();
  void AssignKeys();
  void ApplyBounds(const TRestoreSettings& s);
  // Checks "Restore to:" before a run; false (after saying why) when it cannot be used.
  bool AcceptTarget();
  TRestoreOptions CaptureInputs(TRunKind kind);
  void StartRun(TRunKind kind);
  // Runs with inputs frozen earlier (the preview's, for the restore it offers); false when
  // the window is to close now.
  bool RunWith(const TRestoreOptions& inputs);
  void UpdateVersionsButton();
  void FitSplit();
  // The destination field with "~" expanded.
  QString ExpandedTarget() const;
  bool PreviewRunning() const { return FRun && FRun->Kind == rkDryRun; }
  void EnableInputs(bool on);
  // What the controls say now.
  TRestoreMode RestoreMode() const;
  TOverwriteMode OverwriteMode() const;
  std::string TargetText() const;
  int RestoreDate() const;
  std::string SubDirMask() const;
  std::string DriveMask() const;
  std::string SelectedFolder() const;
  bool UnpackGz() const;
  void FormCreate();
  void FormClose();
  void ShowModePage();
  QPoint StartButtonCorner() const;
  QString SummaryText(const std::string& text) const;
};

}  // namespace qv
