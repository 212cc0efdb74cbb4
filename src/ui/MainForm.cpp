#include "ui/MainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateEdit>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/Translation.h"
#include "transfer/Thread.h"
#include "ui/DetailInfoDlg.h"
#include "ui/ProgramInfo.h"
#include "ui/PwdDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/ShellDirDlg.h"
#include "ui/TimeCompareDlg.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }
const QDate kDayZero(1899, 12, 30);
}  // namespace

TMainForm::TMainForm(const QString& iniName, QWidget* parent) : QMainWindow(parent), FIniName(iniName) {
  setObjectName("MainForm");
  FSession = std::make_unique<TRestoreSession>(*this);
  FDirDialog = std::make_unique<TShellDirDialog>();
  BuildControls();
  FormCreate();
  // A worker's synchronized call wakes the event loop, so it runs even under a modal dialog.
  TThread::SetWakeMainThread([] {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [] { TThread::CheckSynchronize(); }, Qt::QueuedConnection);
  });
}

TMainForm::~TMainForm() {
  TThread::SetWakeMainThread({});
  FDirDialog.reset();  // writes its section of the settings file
}

void TMainForm::BuildControls() {
  setWindowTitle(T("Restore files from backup"));
  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(4, 4, 4, 4);
  outer->setSpacing(4);

  Splitter = new QSplitter(Qt::Horizontal, central);
  Splitter->setObjectName("Splitter");
  Splitter->setChildrenCollapsible(false);
  outer->addWidget(Splitter, 1);

  ShellTreeView = new TShellTreeView(Splitter);
  ShellTreeView->setObjectName("ShellTreeView");
  ShellTreeView->SetObjectTypes(otFolders | otHidden);
  ShellTreeView->SetShowRoot(false);
  ShellTreeView->SetAutoRefresh(true);
  ShellTreeView->setMinimumWidth(120);

  auto* right = new QWidget(Splitter);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(4, 0, 0, 0);
  pnTop = new QWidget(right);
  auto* topLayout = new QHBoxLayout(pnTop);
  topLayout->setContentsMargins(2, 2, 2, 2);
  laFolder = new QLabel(pnTop);
  laFolder->setObjectName("laFolder");
  QFont bold = laFolder->font();
  bold.setBold(true);
  laFolder->setFont(bold);
  laFolder->setMinimumWidth(10);
  laFolder->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  topLayout->addWidget(laFolder);
  rightLayout->addWidget(pnTop);

  gbMode = new QGroupBox(T("Restore "), right);
  auto* modeLayout = new QHBoxLayout(gbMode);
  rbFiles = new QRadioButton(T("Files"), gbMode);
  rbDirs = new QRadioButton(T("Directory"), gbMode);
  rbSched = new QRadioButton(T("From schedule"), gbMode);
  rbFiles->setObjectName("rbFiles");
  rbDirs->setObjectName("rbDirs");
  rbSched->setObjectName("rbSched");
  rbFiles->setChecked(true);
  modeLayout->addWidget(rbFiles);
  modeLayout->addWidget(rbDirs);
  modeLayout->addWidget(rbSched);
  modeLayout->addStretch();
  rightLayout->addWidget(gbMode);

  pcSource = new QStackedWidget(right);
  pcSource->setObjectName("pcSource");
  tsFiles = new QWidget;
  auto* filesLayout = new QVBoxLayout(tsFiles);
  filesLayout->setContentsMargins(0, 0, 0, 0);
  ShellListView = new TShellListView(tsFiles);
  ShellListView->setObjectName("ShellListView");
  filesLayout->addWidget(ShellListView);
  tsDir = new QWidget;
  auto* dirLayout = new QVBoxLayout(tsDir);
  auto* dirText = new QLabel(T("Restore all files from the selected directory and its subdirectories"), tsDir);
  dirText->setWordWrap(true);
  dirText->setAlignment(Qt::AlignCenter);
  dirLayout->addWidget(dirText);
  tsSched = new QWidget;
  auto* schedLayout = new QGridLayout(tsSched);
  dtpRest = new QDateEdit(tsSched);
  dtpRest->setObjectName("dtpRest");
  dtpRest->setCalendarPopup(true);
  dtpRest->setDate(QDate::currentDate());
  edFilter = new QLineEdit(tsSched);
  edFilter->setObjectName("edFilter");
  edDriveId = new QLineEdit(tsSched);
  edDriveId->setObjectName("edDriveId");
  schedLayout->addWidget(new QLabel(T("Restore date:"), tsSched), 0, 0);
  schedLayout->addWidget(dtpRest, 0, 1);
  schedLayout->addWidget(new QLabel(T("Scan only matching subdirectories:"), tsSched), 1, 0);
  schedLayout->addWidget(edFilter, 1, 1);
  schedLayout->addWidget(new QLabel(T("(e.g. BD*)"), tsSched), 1, 2);
  schedLayout->addWidget(new QLabel(T("Only for this drive identifier:"), tsSched), 2, 0);
  schedLayout->addWidget(edDriveId, 2, 1);
  schedLayout->addWidget(new QLabel(T("(e.g. LwE)"), tsSched), 2, 2);
  schedLayout->setRowStretch(3, 1);
  schedLayout->setColumnStretch(1, 1);
  pcSource->addWidget(tsFiles);
  pcSource->addWidget(tsDir);
  pcSource->addWidget(tsSched);
  rightLayout->addWidget(pcSource, 1);

  auto* destRow = new QHBoxLayout;
  auto* destLabel = new QLabel(T("Restore to:"), right);
  edTarget = new QLineEdit(right);
  edTarget->setObjectName("edTarget");
  destLabel->setBuddy(edTarget);
  btDest = new QToolButton(right);
  btDest->setObjectName("btDest");
  btDest->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  btDest->setToolTip(T("Select where to restore files"));
  destRow->addWidget(destLabel);
  destRow->addWidget(edTarget, 1);
  destRow->addWidget(btDest);
  rightLayout->addLayout(destRow);

  auto* gbOverwrite = new QGroupBox(T("Overwrite existing files"), right);
  auto* owLayout = new QHBoxLayout(gbOverwrite);
  rbOverwriteAll = new QRadioButton(T("Allways"), gbOverwrite);
  rbOverwriteOlder = new QRadioButton(T("Only older"), gbOverwrite);
  rbOverwriteNone = new QRadioButton(T("Never"), gbOverwrite);
  rbOverwriteAll->setObjectName("rbOverwriteAll");
  rbOverwriteOlder->setObjectName("rbOverwriteOlder");
  rbOverwriteNone->setObjectName("rbOverwriteNone");
  rbOverwriteNone->setChecked(true);
  btnTimeSettings = new QToolButton(gbOverwrite);
  btnTimeSettings->setObjectName("btnTimeSettings");
  btnTimeSettings->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
  btnTimeSettings->setToolTip(T("Settings for file comparison by timestamp"));
  owLayout->addWidget(rbOverwriteAll);
  owLayout->addWidget(rbOverwriteOlder);
  owLayout->addWidget(btnTimeSettings);
  owLayout->addWidget(rbOverwriteNone);
  owLayout->addStretch();
  rightLayout->addWidget(gbOverwrite);

  auto* checks = new QHBoxLayout;
  cbGZip = new QCheckBox(T("Unpack gz-files"), right);
  cbProtected = new QCheckBox(T("Overwrite write-protected files"), right);
  cbGZip->setObjectName("cbGZip");
  cbProtected->setObjectName("cbProtected");
  checks->addWidget(cbGZip);
  checks->addWidget(cbProtected);
  checks->addStretch();
  rightLayout->addLayout(checks);

  auto* buttons = new QHBoxLayout;
  btRestore = new QPushButton(T("Start"), right);
  btRestore->setObjectName("btRestore");
  btInfo = new QPushButton(right);
  btInfo->setObjectName("btInfo");
  btInfo->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
  btInfo->setToolTip(T("About"));
  btQuit = new QPushButton(T("Done"), right);
  btQuit->setObjectName("btQuit");
  btQuit->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
  buttons->addWidget(btRestore);
  buttons->addStretch();
  buttons->addWidget(btInfo);
  buttons->addWidget(btQuit);
  rightLayout->addLayout(buttons);
  Splitter->setStretchFactor(0, 0);
  Splitter->setStretchFactor(1, 1);

  pnStatus = new QWidget(central);
  pnStatus->setObjectName("pnStatus");
  auto* statusLayout = new QHBoxLayout(pnStatus);
  statusLayout->setContentsMargins(4, 2, 4, 2);
  laFile = new QLabel(pnStatus);
  laFile->setObjectName("laFile");
  laFile->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  ProgressBar = new QProgressBar(pnStatus);
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setRange(0, 100);
  ProgressBar->setFixedWidth(220);
  btPause = new QToolButton(pnStatus);
  btPause->setObjectName("btPause");
  statusLayout->addWidget(laFile, 1);
  statusLayout->addWidget(ProgressBar);
  statusLayout->addWidget(btPause);
  outer->addWidget(pnStatus);

  ShellTreeView->SetListView(ShellListView);
  connect(rbFiles, &QRadioButton::clicked, this, &TMainForm::rbFilesClick);
  connect(rbDirs, &QRadioButton::clicked, this, &TMainForm::rbDirsClick);
  connect(rbSched, &QRadioButton::clicked, this, &TMainForm::rbSchedClick);
  connect(ShellTreeView, &TShellTreeView::SelectionChanged, this, &TMainForm::ShellTreeViewClick);
  connect(btDest, &QToolButton::clicked, this, &TMainForm::btDestClick);
  connect(btnTimeSettings, &QToolButton::clicked, this, &TMainForm::btnTimeSettingsClick);
  connect(btInfo, &QPushButton::clicked, this, &TMainForm::btInfoClick);
  connect(btQuit, &QPushButton::clicked, this, &QWidget::close);
  connect(btRestore, &QPushButton::clicked, this, &TMainForm::btRestoreClick);
  connect(btPause, &QToolButton::clicked, this, &TMainForm::btPauseClick);
  resize(860, 560);
}

void TMainForm::FormCreate() {
  const TProgramInfo info = ReadProgramInfo();
  FProgVersName = QStr(info.VersName);
  FProgVersDate = QStr(info.VersDate);
  if (FIniName.isEmpty()) FIniName = QStr(info.IniName);

  const TRestoreSettings s = LoadRestoreSettings(StdStr(FIniName));
  QRect bounds = geometry();
  if (s.Left != -1) bounds.moveLeft(s.Left);
  if (s.Top != -1) bounds.moveTop(s.Top);
  if (s.Width > 0) bounds.setWidth(s.Width);
  if (s.Height > 0) bounds.setHeight(s.Height);
  setGeometry(bounds);
  const int split = s.Split > 0 ? s.Split : 260;
  Splitter->setSizes({split, std::max(200, bounds.width() - split)});
  FSession->ApplySettings(s);
  (s.Mode == rmFiles ? rbFiles : s.Mode == rmDirectory ? rbDirs : rbSched)->setChecked(true);
  cbProtected->setChecked(s.ReadProtected);
  cbGZip->setChecked(s.Unpack);
  dtpRest->setDate(kDayZero.addDays(s.RestoreDate > 0 ? s.RestoreDate : TodayDayNumber()));
  edFilter->setText(QStr(s.SubDirMask));
  edDriveId->setText(QStr(s.DriveID));

  btPause->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
  btRestore->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  btPause->setEnabled(false);
  FSession->Restoring = false;
  SetPauseCaption(false);
  SetStatusVisible(false);
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TMainForm::FormShow() {
  SetStatusVisible(false);
  edTarget->setText(QStr(FSession->Target));
  if (!FDirDialogLoaded) {
    FDirDialog->LoadFromIni(FIniName, "DirDialog");
    FDirDialogLoaded = true;
  }
  ShowModePage();
  // A stored folder that no longer exists leaves the tree where it is.
  if (!FSession->Source.empty()) ShellTreeView->SetPath(QStr(FSession->Source));
  if (ShellTreeView->SelectedIndex().isValid()) ShellTreeView->scrollTo(ShellTreeView->SelectedIndex());
  ShellTreeViewClick();
}

void TMainForm::ShowModePage() {
  pcSource->setCurrentIndex(rbFiles->isChecked() ? 0 : rbDirs->isChecked() ? 1 : 2);
}

void TMainForm::FormClose() {
  TRestoreSettings s;
  const QRect g = geometry();
  s.Top = g.top();
  s.Left = g.left();
  s.Height = g.height();
  s.Width = g.width();
  s.Split = Splitter->sizes().value(0, 0);
  s.Source = StdStr(ShellTreeView->Path());
  s.Target = TargetText();
  s.Mode = RestoreMode();
  s.ReadProtected = OverwriteProtected();
  s.Unpack = UnpackGz();
  s.Timespan = FSession->DeltaTime;
  s.IgnoreDst = FSession->DstIgnore;
  s.RestoreDate = RestoreDate();
  s.SubDirMask = SubDirMask();
  s.DriveID = DriveMask();
  SaveRestoreSettings(StdStr(FIniName), s);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FRunDepth > 0) {
    // A run is on the stack: stop it and close once it has returned.
    FCloseAfterRun = true;
    if (FSession->Restoring) FSession->StartStop();
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (FShown) ShellTreeViewClick();
}

void TMainForm::rbFilesClick() { pcSource->setCurrentIndex(0); }
void TMainForm::rbDirsClick() { pcSource->setCurrentIndex(1); }
void TMainForm::rbSchedClick() { pcSource->setCurrentIndex(2); }

void TMainForm::ShellTreeViewClick() {
  const TShellFolder* folder = ShellTreeView->SelectedFolder();
  if (!folder) return;
  const QString path = folder->PathName.isEmpty() ? folder->Name : folder->PathName;
  const QFontMetrics metrics(ShellTreeView->font());
  const int maxWidth = pnTop->width() - 10;
  laFolder->setText(QStr(FitPathToWidth(StdStr(path), maxWidth, [&](const std::string& s) {
    return metrics.horizontalAdvance(QStr(s));
  })));
  laFolder->setToolTip(path);
}

void TMainForm::btDestClick() {
  QString chosen = QStr(FSession->Target);
  if (FDirDialog->Execute(T("Select destination directory"), true, true, QString(), chosen)) {
    FSession->Target = StdStr(chosen);
    edTarget->setText(chosen);
  }
}

void TMainForm::btnTimeSettingsClick() {
  TTimeCompareDialog dialog(this);
  int diff = FSession->DeltaTime;
  bool dst = FSession->DstIgnore;
  if (dialog.Execute(diff, dst)) {
    FSession->DeltaTime = diff;
    FSession->DstIgnore = dst;
  }
}

void TMainForm::btInfoClick() {
  InfoDialog(FProgVersName, QStr(AboutText()), StartButtonCorner());
}

void TMainForm::btRestoreClick() {
  ++FRunDepth;
  FSession->StartStop();
  --FRunDepth;
  if (FRunDepth == 0 && FCloseAfterRun) {
    FCloseAfterRun = false;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
  }
}

void TMainForm::btPauseClick() { FSession->PauseContinue(); }

QPoint TMainForm::StartButtonCorner() const { return ControlCornerPos(btRestore); }

// ---------------------------------------------------------------- the session's view

TRestoreMode TMainForm::RestoreMode() {
  return rbFiles->isChecked() ? rmFiles : rbDirs->isChecked() ? rmDirectory : rmSchedule;
}

TOverwriteMode TMainForm::OverwriteMode() {
  return rbOverwriteAll->isChecked() ? omAlways : rbOverwriteOlder->isChecked() ? omOlder : omNever;
}

bool TMainForm::UnpackGz() { return cbGZip->isChecked(); }
bool TMainForm::OverwriteProtected() { return cbProtected->isChecked(); }
std::string TMainForm::TargetText() { return StdStr(edTarget->text()); }
int TMainForm::RestoreDate() { return int(kDayZero.daysTo(dtpRest->date())); }
std::string TMainForm::SubDirMask() { return StdStr(edFilter->text()); }
std::string TMainForm::DriveMask() { return StdStr(edDriveId->text()); }

std::string TMainForm::SelectedFolder() {
  const TShellFolder* f = ShellTreeView->SelectedFolder();
  return f ? StdStr(f->PathName) : std::string();
}

int TMainForm::ItemCount() { return ShellListView->Count(); }
bool TMainForm::ItemSelected(int index) { return index >= 0 && index < ShellListView->Count() && ShellListView->IsSelected(index); }
std::string TMainForm::ItemPath(int index) {
  return index >= 0 && index < ShellListView->Count() ? StdStr(ShellListView->Item(index).PathName) : std::string();
}
int TMainForm::SelectedCount() { return ShellListView->SelectedCount(); }

bool TMainForm::Confirm(const std::string& text, bool yesPreselected) {
  return ConfirmDialog(StartButtonCorner(), QStr(text), yesPreselected ? QMessageBox::Yes : QMessageBox::No);
}

void TMainForm::ShowInfo(const std::string& text) { InfoDialog(windowTitle(), QStr(text), StartButtonCorner()); }
void TMainForm::ShowError(const std::string& text) { ErrorDialog(windowTitle(), QStr(text), StartButtonCorner()); }

void TMainForm::ShowDetailInfo(const std::string& title, const std::string& message,
                               const std::vector<std::string>& details, TDetailIcon icon) {
  QStringList lines;
  for (const std::string& d : details) lines << QStr(d);
  qv::ShowDetailInfo(StartButtonCorner(), QStr(title), QStr(message), lines, icon == diError ? iiError : iiInfo);
}

TPasswordAnswer TMainForm::QueryPassword(const std::string& title, const std::string& prompt, std::string& pwd) {
  int encMode = 0;
  const int result = qv::QueryPassword(QStr(title), QStr(prompt), true, encMode, pwd, false);
  return result == mrOk ? paOk : result == mrYes ? paSkip : paCancel;
}

void TMainForm::SetFileLabel(const std::string& text) { laFile->setText(QStr(text)); }
int TMainForm::FileLabelWidth() { return laFile->width(); }
int TMainForm::TextWidth(const std::string& text) { return laFile->fontMetrics().horizontalAdvance(QStr(text)); }
void TMainForm::SetProgress(int position) { ProgressBar->setValue(std::clamp(position, 0, 100)); }

void TMainForm::SetProgressMarquee(bool on) {
  ProgressBar->setRange(0, on ? 0 : 100);
}

void TMainForm::SetStatusVisible(bool visible) {
  pnStatus->setFixedHeight(visible ? StatusHeight : 0);
  pnStatus->setVisible(visible);
}

void TMainForm::SetPauseCaption(bool paused) {
  btPause->setIcon(style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause));
  btPause->setToolTip(paused ? T("Continue") : T("Pause"));
}

void TMainForm::SetPauseEnabled(bool enabled) { btPause->setEnabled(enabled); }

void TMainForm::SetRunning(bool running) {
  btRestore->setText(running ? T("Stop") : T("Start"));
  btRestore->setIcon(style()->standardIcon(running ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
}

void TMainForm::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  TThread::CheckSynchronize();
}

}  // namespace qv
