// SPDX-License-Identifier: Apache-2.0
#include "ui/MainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/FormatUtils.h"
#include "base/IniFile.h"
#include "base/PathUtils.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"
#include "transfer/Thread.h"
#ifdef QV_HAVE_MOUNT
#include "mount/Mount.h"
#else
namespace qv {
class TBackupMount {};  // built without FUSE: Browse... is hidden and mounts nothing
}  // namespace qv
#endif
#include "ui/DateEdit.h"
#include "ui/DetailInfoDlg.h"
#include "ui/PreviewDlg.h"
#include "ui/ProgramInfo.h"
#include "ui/PwdDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/ShellDirDlg.h"
#include "ui/TimeCompareDlg.h"
#include "ui/VersionsDlg.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }
const QDate kDayZero(1899, 12, 30);

QString TextOf(QWidget* w) {
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  return {};
}

void SetTextOf(QWidget* w, const QString& text) {
  if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
  else if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(text);
  else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
}

// Gives each control an Alt letter of its own, in the order given: the first free letter
// that starts a word, else any free letter. Works for every translation alike.
void AssignMnemonics(const std::vector<QWidget*>& controls) {
  QString used;
  for (QWidget* w : controls) {
    QString text = TextOf(w).remove('&');
    int at = -1;
    for (int pass = 0; pass < 2 && at < 0; ++pass)
      for (int i = 0; i < text.size() && at < 0; ++i) {
        const QChar c = text[i].toLower();
        const bool wordStart = i == 0 || !text[i - 1].isLetter();
        if (c.isLetter() && (pass == 1 || wordStart) && !used.contains(c)) at = i;
      }
    if (at < 0) continue;
    used += text[at].toLower();
    SetTextOf(w, text.insert(at, '&'));
  }
}

// Tab lands on the checked button of a radio group only; the arrow keys move within it.
void TabToCheckedRadio(const std::vector<QRadioButton*>& group) {
  auto update = [group] {
    for (QRadioButton* rb : group) rb->setFocusPolicy(rb->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
  };
  for (QRadioButton* rb : group) QObject::connect(rb, &QRadioButton::toggled, rb, update);
  update();
}
}  // namespace

QString TMainForm::DefaultTarget() {
  // A folder of its own in the home folder: always there and writable, and restored files
  // do not mix with (or replace) the live ones unless the user chooses so.
  return QDir::homePath() + "/" + T("Restored");
}

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
  setWindowIcon(ProgramIcon());
  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(4, 4, 4, 4);
  outer->setSpacing(4);
  // Created in the order Tab moves through them.
  BuildFolderTree(central);
  outer->addWidget(Splitter, 1);
  auto* right = new QWidget(Splitter);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(4, 0, 0, 0);
  rightLayout->addWidget(BuildFolderHeader(right));
  rightLayout->addWidget(BuildModeGroup(right));
  rightLayout->addWidget(BuildSourcePages(right), 1);
  rightLayout->addLayout(BuildTargetRow(right));
  rightLayout->addWidget(BuildOverwriteGroup(right));
  rightLayout->addLayout(BuildOptionChecks(right));
  rightLayout->addLayout(BuildFilterRow(right));
  rightLayout->addLayout(BuildButtonRow(right));
  Splitter->setStretchFactor(0, 0);
  Splitter->setStretchFactor(1, 1);
  outer->addWidget(BuildStatusPanel(central));

  ShellTreeView->SetListView(ShellListView);
  ConnectControls();
  TabToCheckedRadio({rbFiles, rbDirs, rbSched});
  TabToCheckedRadio({rbOverwriteAll, rbOverwriteOlder, rbOverwriteNone, rbOverwriteKeepBoth});
  AssignKeys();
  resize(860, 560);
}

void TMainForm::BuildFolderTree(QWidget* parent) {
  Splitter = new QSplitter(Qt::Horizontal, parent);
  Splitter->setObjectName("Splitter");
  Splitter->setChildrenCollapsible(false);
  ShellTreeView = new TShellTreeView(Splitter);
  ShellTreeView->setObjectName("ShellTreeView");
  ShellTreeView->SetObjectTypes(otFolders | otHidden);
  ShellTreeView->SetShowRoot(false);
  ShellTreeView->SetAutoRefresh(true);
  ShellTreeView->setMinimumWidth(TreeMinWidth);
  // The width the user drags to is kept; a narrow window only lends it for a while.
  connect(Splitter, &QSplitter::splitterMoved, this, [this](int pos, int) { FSplit = std::max(pos, TreeMinWidth); });
}

QWidget* TMainForm::BuildFolderHeader(QWidget* parent) {
  pnTop = new QWidget(parent);
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
  return pnTop;
}

QWidget* TMainForm::BuildModeGroup(QWidget* parent) {
  gbMode = new QGroupBox(T("Restore "), parent);
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
  return gbMode;
}

// One page per mode, in the order of the mode buttons.
QWidget* TMainForm::BuildSourcePages(QWidget* parent) {
  pcSource = new QStackedWidget(parent);
  pcSource->setObjectName("pcSource");
  tsFiles = BuildFilesPage();
  tsDir = BuildDirectoryPage();
  tsSched = BuildSchedulePage();
  pcSource->addWidget(tsFiles);
  pcSource->addWidget(tsDir);
  pcSource->addWidget(tsSched);
  return pcSource;
}

QWidget* TMainForm::BuildFilesPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  ShellListView = new TShellListView(page);
  ShellListView->setObjectName("ShellListView");
  ShellListView->SetEditable(false);  // the backup is read, never renamed
  layout->addWidget(ShellListView);
  return page;
}

QWidget* TMainForm::BuildDirectoryPage() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* text = new QLabel(T("Restore all files from the selected directory and its subdirectories"), page);
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignCenter);
  layout->addWidget(text);
  return page;
}

QWidget* TMainForm::BuildSchedulePage() {
  auto* page = new QWidget;
  auto* layout = new QGridLayout(page);
  auto* text = new QLabel(T("Restore the latest version of each file relative to a given date"), page);
  text->setWordWrap(true);
  layout->addWidget(text, 0, 0, 1, 3);
  dtpRest = new TDateEdit(page);
  dtpRest->setObjectName("dtpRest");
  dtpRest->setCalendarPopup(true);
  dtpRest->setDate(QDate::currentDate());
  edFilter = new QLineEdit(page);
  edFilter->setObjectName("edFilter");
  edDriveId = new QLineEdit(page);
  edDriveId->setObjectName("edDriveId");
  laDate = new QLabel(T("Date:"), page);
  laDate->setBuddy(dtpRest);
  laFilter = new QLabel(T("Scan only matching subdirectories:"), page);
  laFilter->setBuddy(edFilter);
  laDriveId = new QLabel(T("Only for this drive identifier:"), page);
  laDriveId->setBuddy(edDriveId);
  layout->addWidget(laDate, 1, 0);
  layout->addWidget(dtpRest, 1, 1);
  btBrowse = new QPushButton(T("Browse..."), page);
  btBrowse->setObjectName("btBrowse");
  btBrowse->setToolTip(T("Show the backup as it was on this day in the file manager, read-only"));
  btBrowse->setAutoDefault(false);  // Enter stays with Start
  layout->addWidget(btBrowse, 1, 2);
#ifndef QV_HAVE_MOUNT
  btBrowse->hide();  // built without FUSE
#endif
  layout->addWidget(laFilter, 2, 0);
  layout->addWidget(edFilter, 2, 1);
  layout->addWidget(new QLabel(T("(e.g. BD*)"), page), 2, 2);
  layout->addWidget(laDriveId, 3, 0);
  layout->addWidget(edDriveId, 3, 1);
  layout->addWidget(new QLabel(T("(e.g. LwE)"), page), 3, 2);
  layout->setRowStretch(4, 1);
  layout->setColumnStretch(1, 1);
  return page;
}

QLayout* TMainForm::BuildTargetRow(QWidget* parent) {
  auto* row = new QHBoxLayout;
  laTarget = new QLabel(T("Restore to:"), parent);
  edTarget = new QLineEdit(parent);
  edTarget->setObjectName("edTarget");
  laTarget->setBuddy(edTarget);
  btDest = new QToolButton(parent);
  btDest->setObjectName("btDest");
  btDest->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  btDest->setToolTip(T("Select where to restore files"));
  row->addWidget(laTarget);
  row->addWidget(edTarget, 1);
  row->addWidget(btDest);
  return row;
}

QWidget* TMainForm::BuildOverwriteGroup(QWidget* parent) {
  gbOverwrite = new QGroupBox(T("Overwrite existing files"), parent);
  auto* layout = new QHBoxLayout(gbOverwrite);
  rbOverwriteAll = new QRadioButton(T("Allways"), gbOverwrite);
  rbOverwriteOlder = new QRadioButton(T("Only older"), gbOverwrite);
  rbOverwriteNone = new QRadioButton(T("Never"), gbOverwrite);
  rbOverwriteKeepBoth = new QRadioButton(T("Keep both"), gbOverwrite);
  rbOverwriteKeepBoth->setObjectName("rbOverwriteKeepBoth");
  rbOverwriteKeepBoth->setToolTip(T("Keep the existing file and restore beside it as \"name (1).ext\""));
  rbOverwriteAll->setObjectName("rbOverwriteAll");
  rbOverwriteOlder->setObjectName("rbOverwriteOlder");
  rbOverwriteNone->setObjectName("rbOverwriteNone");
  rbOverwriteNone->setChecked(true);
  btnTimeSettings = new QToolButton(gbOverwrite);
  btnTimeSettings->setObjectName("btnTimeSettings");
  btnTimeSettings->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
  btnTimeSettings->setToolTip(T("Settings for file comparison by timestamp"));
  layout->addWidget(rbOverwriteAll);
  layout->addWidget(rbOverwriteOlder);
  layout->addWidget(btnTimeSettings);
  layout->addWidget(rbOverwriteNone);
  layout->addWidget(rbOverwriteKeepBoth);
  layout->addStretch();
  return gbOverwrite;
}

QLayout* TMainForm::BuildOptionChecks(QWidget* parent) {
  auto* row = new QHBoxLayout;
  cbGZip = new QCheckBox(T("Unpack gz-files"), parent);
  cbProtected = new QCheckBox(T("Overwrite write-protected files"), parent);
  cbGZip->setObjectName("cbGZip");
  cbProtected->setObjectName("cbProtected");
  row->addWidget(cbGZip);
  row->addWidget(cbProtected);
  cbVerify = new QCheckBox(T("Verify restored files"), parent);
  cbVerify->setObjectName("cbVerify");
  cbVerify->setToolTip(T("Read every restored file back and compare it with what was written"));
  row->addWidget(cbVerify);
  row->addStretch();
  return row;
}

QLayout* TMainForm::BuildFilterRow(QWidget* parent) {
  auto* row = new QHBoxLayout;
  cbPattern = new QCheckBox(T("Filter:"), parent);
  cbPattern->setObjectName("cbPattern");
  cbPattern->setToolTip(T("Restore only matching files; patterns separated by \";\", a leading \"-\" excludes"));
  edPattern = new QLineEdit(parent);
  edPattern->setObjectName("edPattern");
  edPattern->setPlaceholderText(T("e.g. *.doc;docs/**;-*.tmp"));
  edPattern->setEnabled(false);
  row->addWidget(cbPattern);
  row->addWidget(edPattern, 1);
  return row;
}

QLayout* TMainForm::BuildButtonRow(QWidget* parent) {
  auto* row = new QHBoxLayout;
  // Start, About and Done come first in the Tab order, the run kinds after them.
  btRestore = new QPushButton(T("Start"), parent);
  btRestore->setObjectName("btRestore");
  btRestore->setDefault(true);  // Enter starts (keyPressEvent)
  btInfo = new QPushButton(parent);
  btInfo->setObjectName("btInfo");
  btInfo->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
  btInfo->setToolTip(T("About"));
  btQuit = new QPushButton(T("Done"), parent);
  btQuit->setObjectName("btQuit");
  btQuit->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
  btTest = RunKindButton(parent, "btTest", T("Test"),
                         T("Read every selected backup file to its end and check it; nothing is written"));
  btPreview = RunKindButton(parent, "btPreview", T("Preview"),
                            T("Show what a restore would do with each file; nothing is written"));
  btVersions = RunKindButton(parent, "btVersions", T("Versions..."),
                             T("List every copy of a file across the backup sets and restore one of them"));
  for (QWidget* w : std::initializer_list<QWidget*>{btRestore, btTest, btPreview, btVersions}) row->addWidget(w);
  row->addStretch();
  row->addWidget(btInfo);
  row->addWidget(btQuit);
  return row;
}

QPushButton* TMainForm::RunKindButton(QWidget* parent, const char* name, const QString& text, const QString& hint) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setToolTip(hint);
  button->setAutoDefault(false);  // Enter stays with Start
  return button;
}

QWidget* TMainForm::BuildStatusPanel(QWidget* parent) {
  pnStatus = new QWidget(parent);
  pnStatus->setObjectName("pnStatus");
  auto* layout = new QHBoxLayout(pnStatus);
  layout->setContentsMargins(4, 2, 4, 2);
  laFile = new QLabel(pnStatus);
  laFile->setObjectName("laFile");
  laFile->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  ProgressBar = new QProgressBar(pnStatus);
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setRange(0, 100);
  ProgressBar->setFixedWidth(220);
  btPause = new QToolButton(pnStatus);
  btPause->setObjectName("btPause");
  laRun = new QLabel(pnStatus);
  laRun->setObjectName("laRun");
  laRun->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  RunBar = new QProgressBar(pnStatus);
  RunBar->setObjectName("RunBar");
  RunBar->setRange(0, 100);
  RunBar->setFixedWidth(220);
  auto* grid = new QGridLayout;
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setVerticalSpacing(2);
  grid->addWidget(laFile, 0, 0);
  grid->addWidget(ProgressBar, 0, 1);
  grid->addWidget(laRun, 1, 0);
  grid->addWidget(RunBar, 1, 1);
  grid->setColumnStretch(0, 1);
  layout->addLayout(grid, 1);
  layout->addWidget(btPause);
  return pnStatus;
}

void TMainForm::ConnectControls() {
  connect(rbFiles, &QRadioButton::clicked, this, &TMainForm::rbFilesClick);
  connect(rbDirs, &QRadioButton::clicked, this, &TMainForm::rbDirsClick);
  connect(rbSched, &QRadioButton::clicked, this, &TMainForm::rbSchedClick);
  connect(ShellTreeView, &TShellTreeView::SelectionChanged, this, &TMainForm::ShellTreeViewClick);
  connect(btDest, &QToolButton::clicked, this, &TMainForm::btDestClick);
  connect(btnTimeSettings, &QToolButton::clicked, this, &TMainForm::btnTimeSettingsClick);
  connect(btInfo, &QPushButton::clicked, this, &TMainForm::btInfoClick);
  connect(btQuit, &QPushButton::clicked, this, &QWidget::close);
  connect(btRestore, &QPushButton::clicked, this, &TMainForm::btRestoreClick);
  connect(btTest, &QPushButton::clicked, this, [this] { if (FRunDepth == 0) StartRun(rkTest); });
  connect(btPreview, &QPushButton::clicked, this, &TMainForm::btPreviewClick);
  connect(btPause, &QToolButton::clicked, this, &TMainForm::btPauseClick);
  connect(cbPattern, &QCheckBox::toggled, edPattern, &QWidget::setEnabled);
  connect(btVersions, &QPushButton::clicked, this, &TMainForm::btVersionsClick);
  connect(btBrowse, &QPushButton::clicked, this, &TMainForm::btBrowseClick);
  connect(ShellListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TMainForm::UpdateVersionsButton);
  // A new folder in the list drops its selection without a selection signal.
  connect(ShellListView->model(), &QAbstractItemModel::modelReset, this, &TMainForm::UpdateVersionsButton);
  connect(ShellListView->model(), &QAbstractItemModel::layoutChanged, this, &TMainForm::UpdateVersionsButton);
  for (QRadioButton* rb : {rbFiles, rbDirs, rbSched})
    connect(rb, &QRadioButton::toggled, this, &TMainForm::UpdateVersionsButton);
  // The desktop's usual keys: Ctrl+Q quits (a run stops first, closeEvent), F1 about, F5 reload.
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
  quit->setObjectName("scQuit");
  connect(quit, &QShortcut::activated, this, &QWidget::close);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  help->setObjectName("scHelp");
  connect(help, &QShortcut::activated, this, [this] { if (FRunDepth == 0) btInfoClick(); });
  auto* reload = new QShortcut(QKeySequence(Qt::Key_F5), this);
  reload->setObjectName("scRefresh");
  connect(reload, &QShortcut::activated, this, [this] { if (FRunDepth == 0) RefreshFolders(); });
}

void TMainForm::RefreshFolders() {
  const QString path = ShellTreeView->Path();
  ShellTreeView->Refresh(ShellTreeView->Model()->index(0, 0, QModelIndex()).parent());
  if (!path.isEmpty()) ShellTreeView->SetPath(path);
  ShellListView->Model()->Reload();
  UpdateVersionsButton();
}

void TMainForm::FitSplit() {
  // Gives the tree back the width the user chose, as far as the right side keeps its own minimum.
  const QList<int> sizes = Splitter->sizes();
  if (sizes.size() < 2) return;
  const int total = sizes[0] + sizes[1];
  if (total <= 0) return;
  const int rightMin = std::max(Splitter->widget(1)->minimumSizeHint().width(), 200);
  const int tree = std::clamp(FSplit, TreeMinWidth, std::max(TreeMinWidth, total - rightMin));
  if (tree != sizes[0]) Splitter->setSizes({tree, total - tree});
}

void TMainForm::AssignKeys() {
  // Start keeps its letter when it reads "Stop" (SetRunning).
  AssignMnemonics({btRestore, rbFiles, rbDirs, rbSched, laTarget, rbOverwriteAll, rbOverwriteOlder,
                   rbOverwriteNone, rbOverwriteKeepBoth, cbGZip, cbProtected, cbVerify, cbPattern, btTest, btPreview, btVersions, laDate, laFilter, laDriveId, btQuit});
}

void TMainForm::FormCreate() {
  const TProgramInfo info = ReadProgramInfo();
  FProgVersName = QStr(info.VersName);
  FProgVersDate = QStr(info.VersDate);
  if (FIniName.isEmpty()) FIniName = QStr(info.IniName);

  const TRestoreSettings s = LoadRestoreSettings(StdStr(FIniName));
  ApplyBounds(s);
  // A stored width below the tree's minimum is one a small window forced: not the user's.
  FSplit = s.Split >= TreeMinWidth ? s.Split : 260;
  Splitter->setSizes({FSplit, std::max(200, width() - FSplit)});
  FitSplit();
  FStoredSource = s.Source;
  FTarget = s.Target;
  FTimespan = s.Timespan;
  FIgnoreDst = s.IgnoreDst;
  FJobs = s.Jobs;
  (s.Mode == rmFiles ? rbFiles : s.Mode == rmDirectory ? rbDirs : rbSched)->setChecked(true);
  cbProtected->setChecked(s.ReadProtected);
  cbGZip->setChecked(s.Unpack);
  {
    TIniFile ini(StdStr(FIniName));
    cbVerify->setChecked(ini.ReadBool("Config", "VerifyRestored", false));
    edPattern->setText(QStr(ini.ReadString("Config", "ItemFilter", "")));
    cbPattern->setChecked(ini.ReadBool("Config", "ItemFilterOn", false));
  }
  dtpRest->setDate(kDayZero.addDays(s.RestoreDate > 0 ? s.RestoreDate : TodayDayNumber()));
  edFilter->setText(QStr(s.SubDirMask));
  edDriveId->setText(QStr(s.DriveID));

  btPause->setIcon(style()->standardIcon(QStyle::SP_MediaPause));
  btRestore->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  btPause->setEnabled(false);
  SetPauseCaption(false);
  SetStatusVisible(false);
}

void TMainForm::ApplyBounds(const TRestoreSettings& s) {
  QSize size = this->size();
  if (s.Width > 0) size.setWidth(s.Width);
  if (s.Height > 0) size.setHeight(s.Height);
  const bool placed = s.Left != -1 || s.Top != -1;
  // Stored bounds come from another screen set-up perhaps: keep them on a screen that is there.
  QScreen* screen = placed ? QGuiApplication::screenAt(QPoint(s.Left, s.Top) + QPoint(size.width() / 2, 20)) : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    const QRect area = screen->availableGeometry();
    size = size.boundedTo(area.size() - QSize(0, 40)).expandedTo(minimumSizeHint());
    if (placed) {
      const int left = std::clamp(s.Left, area.left(), std::max(area.left(), area.right() - size.width()));
      const int top = std::clamp(s.Top, area.top(), std::max(area.top(), area.bottom() - size.height() - 40));
      move(left, top);
    }
  }
  // Without a stored place the window manager places the window.
  resize(size);
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
  if (FTarget.empty()) FTarget = StdStr(DefaultTarget());
  edTarget->setText(QStr(FTarget));
  if (!FDirDialogLoaded) {
    FDirDialog->LoadFromIni(FIniName, "DirDialog");
    TDetailInfoDialog::LoadSize(FIniName);
    FDirDialogLoaded = true;
  }
  ShowModePage();
  // A stored folder that no longer exists leaves the tree where it is.
  if (!FStoredSource.empty()) ShellTreeView->SetPath(QStr(FStoredSource));
  if (ShellTreeView->SelectedIndex().isValid()) ShellTreeView->scrollTo(ShellTreeView->SelectedIndex());
  ShellTreeViewClick();
  UpdateVersionsButton();
  FitSplit();
}

void TMainForm::ShowModePage() {
  pcSource->setCurrentIndex(rbFiles->isChecked() ? 0 : rbDirs->isChecked() ? 1 : 2);
}

void TMainForm::FormClose() {
  TRestoreSettings s;
  // The frame's place and the inner size: what move() and resize() take back.
  s.Top = y();
  s.Left = x();
  s.Height = height();
  s.Width = width();
  s.Split = FSplit;
  s.Source = StdStr(ShellTreeView->Path());
  s.Target = TargetText();
  s.Mode = RestoreMode();
  s.ReadProtected = cbProtected->isChecked();
  s.Unpack = UnpackGz();
  s.Timespan = FTimespan;
  s.IgnoreDst = FIgnoreDst;
  s.Jobs = FJobs;
  s.RestoreDate = RestoreDate();
  s.SubDirMask = SubDirMask();
  s.DriveID = DriveMask();
  SaveRestoreSettings(StdStr(FIniName), s);
  {
    TIniFile ini(StdStr(FIniName));
    ini.WriteBool("Config", "VerifyRestored", cbVerify->isChecked());
    ini.WriteBool("Config", "ItemFilterOn", cbPattern->isChecked());
    ini.WriteString("Config", "ItemFilter", StdStr(edPattern->text()));
    ini.UpdateFile();
  }
  TDetailInfoDialog::SaveSize(FIniName);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FRunDepth > 0) {
    // A run is on the stack: stop it and close once it has returned.
    FCloseAfterRun = true;
    FSession->Stop();
    event->ignore();
    return;
  }
  FMount.reset();  // the browsed day ends with the window
  FormClose();
  event->accept();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FitSplit();
  if (FShown) ShellTreeViewClick();
}

void TMainForm::rbFilesClick() { pcSource->setCurrentIndex(0); }
void TMainForm::rbDirsClick() { pcSource->setCurrentIndex(1); }
void TMainForm::rbSchedClick() { pcSource->setCurrentIndex(2); }

void TMainForm::ShellTreeViewClick() {
  const TShellFolder* folder = ShellTreeView->SelectedFolder();
  if (!folder) return;
  const QString path = folder->PathName.isEmpty() ? folder->Name : folder->PathName;
  const QFontMetrics metrics(laFolder->font());  // bold: measured as drawn
  const int maxWidth = pnTop->width() - 10;
  laFolder->setText(QStr(FitPathToWidth(StdStr(path), maxWidth, [&](const std::string& s) {
    return metrics.horizontalAdvance(QStr(s));
  })));
  laFolder->setToolTip(path);
}

void TMainForm::btDestClick() {
  QString chosen = QStr(FTarget);
  if (FDirDialog->Execute(T("Select destination directory"), true, true, QString(), chosen)) {
    FTarget = StdStr(chosen);
    edTarget->setText(chosen);
  }
}

void TMainForm::btnTimeSettingsClick() {
  TTimeCompareDialog dialog(this);
  int diff = FTimespan;
  bool dst = FIgnoreDst;
  if (dialog.Execute(diff, dst)) {
    FTimespan = diff;
    FIgnoreDst = dst;
  }
}

void TMainForm::btInfoClick() {
  InfoDialog(FProgVersName, QStr(AboutText()), StartButtonCorner());
}

void TMainForm::btRestoreClick() { StartRun(rkRestore); }

void TMainForm::keyPressEvent(QKeyEvent* event) {
  // Enter starts a run from anywhere in the window, as a dialog's default button would.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && event->modifiers() == Qt::NoModifier && FRunDepth == 0 && btRestore->isEnabled()) {
    btRestore->click();
    return;
  }
  QMainWindow::keyPressEvent(event);
}

QString TMainForm::ExpandedTarget() const {
  QString text = edTarget->text();
  if (text == "~" || text.startsWith("~/")) text = QDir::homePath() + text.mid(1);
  return text;
}

bool TMainForm::AcceptTarget() {
  const QString text = ExpandedTarget();
  if (text.trimmed().isEmpty()) {
    ShowError(Tr("Choose the folder to restore to under \"Restore to:\"."));
    edTarget->setFocus();
    return false;
  }
  if (QDir::isRelativePath(text)) {
    // A relative path would land in whatever folder the program was started from.
    ShowError(FormatText(Tr("\"%s\" is not a full path. Enter the folder to restore to from the root, "
                            "starting with \"/\"."), {StdStr(text)}));
    edTarget->setFocus();
    return false;
  }
  // A file on the way is no folder to restore to, nor one to offer to create.
  for (QFileInfo at(QDir::cleanPath(text)); !at.isRoot() && !at.filePath().isEmpty(); at = QFileInfo(at.path())) {
    if (!at.exists() && !at.isSymLink()) continue;
    if (at.isDir()) break;
    ShowError(FormatText(Tr("\"%s\" is a file, not a folder. Choose a folder to restore to."), {StdStr(at.filePath())}));
    edTarget->setFocus();
    return false;
  }
  if (text != edTarget->text()) edTarget->setText(text);
  return true;
}

TRestoreOptions TMainForm::CaptureInputs(TRunKind kind) {
  TRestoreOptions in;
  in.Kind = kind;
  in.Mode = RestoreMode();
  in.Overwrite = OverwriteMode();
  in.Unpack = UnpackGz();
  in.Protected = cbProtected->isChecked();
  in.Verify = cbVerify->isChecked();
  in.Tolerance = FTimespan;
  in.IgnoreDst = FIgnoreDst;
  in.Jobs = FJobs;
  in.Target = TargetText();
  in.Date = RestoreDate();
  in.SubDirMask = SubDirMask();
  in.DriveMask = DriveMask();
  in.Folder = SelectedFolder();
  for (int i = 0; i < ShellListView->Count(); ++i)
    if (ShellListView->IsSelected(i)) in.Items.push_back(StdStr(ShellListView->Item(i).PathName));
  if (cbPattern->isChecked()) SplitPatterns(edPattern->text(), in.Include, in.Exclude);
  return in;
}

void TMainForm::SplitPatterns(const QString& text, std::vector<std::string>& include,
                              std::vector<std::string>& exclude) {
  for (const QString& part : text.split(';', Qt::SkipEmptyParts)) {
    const QString pattern = part.trimmed();
    if (pattern.startsWith('-')) {
      if (const QString rest = pattern.mid(1).trimmed(); !rest.isEmpty()) exclude.push_back(StdStr(rest));
    } else if (!pattern.isEmpty()) {
      include.push_back(StdStr(pattern));
    }
  }
}

void TMainForm::btPreviewClick() {
  if (FRunDepth > 0 || FSession->Restoring() || !AcceptTarget()) return;
  const TRestoreOptions inputs = CaptureInputs(rkDryRun);
  FPreviewItems.clear();
  FPreviewSummary.reset();
  const bool goOn = RunWith(inputs);
  // No summary: the run was refused before it began, and has said why itself.
  if (!goOn || !FPreviewSummary) return;
  TPreviewDialog dialog(FPreviewItems, QStr(*FPreviewSummary), inputs.Mode == rmSchedule, this);
  FPreviewItems.clear();
  if (dialog.exec() != QDialog::Accepted) return;
  TRestoreOptions restore = inputs;
  restore.Kind = rkRestore;
  RunWith(restore);
}

void TMainForm::StartRun(TRunKind kind) {
  // A click while a run is on the stack is Stop (or nothing while a stopped run unwinds).
  const bool starting = FRunDepth == 0 && !FSession->Restoring();
  if (starting) {
    if (kind != rkTest && !AcceptTarget()) return;  // a test writes nothing anywhere
    RunWith(CaptureInputs(kind));
    return;
  }
  ++FRunDepth;
  FSession->Stop();
  --FRunDepth;
}

bool TMainForm::RunWith(const TRestoreOptions& inputs) {
  FRun = inputs;
  FSkippedItems = 0;
  FRunClock.start();
  laRun->clear();
  RunBar->setValue(0);
  FTarget = inputs.Target;  // the destination of the last run is where the folder dialog opens
  ++FRunDepth;
  FSession->Start(inputs);
  --FRunDepth;
  if (FRunDepth == 0) FRun.reset();
  if (FRunDepth == 0 && FCloseAfterRun) {
    FCloseAfterRun = false;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return false;
  }
  return true;
}

void TMainForm::btPauseClick() { FSession->PauseContinue(); }

void TMainForm::UpdateVersionsButton() {
  bool usable = rbSched->isChecked();
  if (rbFiles->isChecked() && ShellListView->SelectedCount() == 1)
    for (int i = 0; i < ShellListView->Count(); ++i)
      if (ShellListView->IsSelected(i)) usable = ShellListView->Item(i).Kind == TShellKind::skFile;
  // While a run goes on the inputs are disabled, the list among them.
  btVersions->setEnabled(usable && ShellListView->isEnabled());
}

void TMainForm::btVersionsClick() {
  if (FRunDepth > 0) return;
  TVersionsDialog dialog(SubDirMask(), DriveMask(), UnpackGz(), this);
  dialog.SetDestination(StdStr(ExpandedTarget()));
  std::string file;
  if (rbFiles->isChecked())
    for (int i = 0; i < ShellListView->Count(); ++i)
      if (ShellListView->IsSelected(i) && ShellListView->Item(i).Kind == TShellKind::skFile)
        file = StdStr(ShellListView->Item(i).PathName);
  if (!file.empty()) {
    const TVersionSource source = LocateVersionSource(file, SubDirMask(), DriveMask(), UnpackGz());
    dialog.Search(source.Folder, source.RelPath);
  } else {
    // Schedule mode: the user names the file relative to the backup folder.
    dialog.Search(SelectedFolder(), {});
  }
  if (const std::optional<TVersionChoice> choice = dialog.Execute()) RestoreVersion(*choice);
}

void TMainForm::btBrowseClick() {
#ifdef QV_HAVE_MOUNT
  // Below the user's runtime folder, one mount point per day; a day shown before is shown again.
  QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (base.isEmpty()) base = QDir::tempPath();
  const QString mountPoint = base + "/quorvex-restore/" + dtpRest->date().toString("yyyy-MM-dd");
  TMountConfig config;
  config.Folder = SelectedFolder();
  config.DateView = true;
  config.DayNumber = RestoreDate();
  config.SetMask = SubDirMask();
  config.DriveMask = DriveMask();
  config.Unpack = UnpackGz();
  if (!FMount) FMount = std::make_unique<TBackupMount>();
  std::string error;
  if (!FMount->Start(config, StdStr(mountPoint), error)) {
    ShowError(error);
    return;
  }
  OpenInFileManager(QUrl::fromLocalFile(QStr(FMount->MountPoint())));
#endif
}

void TMainForm::RestoreVersion(const TVersionChoice& choice) {
  if (FRunDepth > 0 || FSession->Restoring() || !AcceptTarget()) return;
  TRestoreOptions in = CaptureInputs(rkRestore);
  in.Mode = rmFiles;
  in.Items = {choice.Version.Path};
  in.Folder = ExtractFileDir(choice.Version.Path);
  // The dialog named the file and asked before a replace: the window's rule does not apply.
  in.Overwrite = choice.KeepBoth ? omKeepBoth : choice.Replace ? omAlways : omNever;
  // The version goes where its relative path puts it below the destination, as the schedule
  // mode restores it: beside (or over) the current file of that name.
  const std::string relFolder = ExtractFilePath(choice.RelPath);
  if (!relFolder.empty()) {
    // The button named this file: its folders below an existing destination need no question.
    const std::string root = in.Target;
    in.Target = AddPathDelimiter(in.Target) + relFolder;
    if (QFileInfo(QStr(root)).isDir()) QDir().mkpath(QStr(in.Target));
  }
  RunWith(in);
}

QPoint TMainForm::StartButtonCorner() const { return ControlCornerPos(btRestore); }

// ---------------------------------------------------------------- the session's view

TRestoreOptions TMainForm::RunOptions() { return FRun ? *FRun : CaptureInputs(rkRestore); }

TRestoreMode TMainForm::RestoreMode() const {
  return rbFiles->isChecked() ? rmFiles : rbDirs->isChecked() ? rmDirectory : rmSchedule;
}

TOverwriteMode TMainForm::OverwriteMode() const {
  if (rbOverwriteKeepBoth->isChecked()) return omKeepBoth;
  return rbOverwriteAll->isChecked() ? omAlways : rbOverwriteOlder->isChecked() ? omOlder : omNever;
}

bool TMainForm::UnpackGz() const { return cbGZip->isChecked(); }
std::string TMainForm::TargetText() const { return StdStr(edTarget->text()); }
int TMainForm::RestoreDate() const { return int(kDayZero.daysTo(dtpRest->date())); }
std::string TMainForm::SubDirMask() const { return StdStr(edFilter->text()); }
std::string TMainForm::DriveMask() const { return StdStr(edDriveId->text()); }

std::string TMainForm::SelectedFolder() const {
  const TShellFolder* f = ShellTreeView->SelectedFolder();
  return f ? StdStr(f->PathName) : std::string();
}

void TMainForm::ItemDone(const TItemReport& report) {
  if (report.Action == iaSkipped) ++FSkippedItems;
  if (PreviewRunning()) FPreviewItems.push_back(report);
}

QString TMainForm::RunProgressText(const TRunProgress& p, double seconds) {
  const auto number = [](int64_t n) { return QLocale().toString(qlonglong(n)).toStdString(); };
  std::string text =
      p.FilesTotal > 0
          ? FormatText(NTr("%s of %s file", "%s of %s files", p.FilesTotal), {number(p.FilesDone), number(p.FilesTotal)})
          : FormatText(NTr("%s file", "%s files", p.FilesDone), {number(p.FilesDone)});
  if (p.BytesTotal > 0)
    text += "  \u00b7  " + FormatText(Tr("%s of %s"), {SizeToStr(p.BytesDone), SizeToStr(p.BytesTotal)});
  const double speed = seconds > 0.5 ? static_cast<double>(p.BytesDone) / seconds : 0.0;
  if (speed >= 1.0) {
    text += "  \u00b7  " + SizeToStr(static_cast<int64_t>(speed)) + "/s";
    if (p.BytesTotal > p.BytesDone) {
      const int64_t left = static_cast<int64_t>(static_cast<double>(p.BytesTotal - p.BytesDone) / speed + 0.5);
      const QString clock = left >= 3600 ? QString::asprintf("%lld:%02lld:%02lld", qlonglong(left / 3600), qlonglong(left / 60 % 60), qlonglong(left % 60))
                                         : QString::asprintf("%lld:%02lld", qlonglong(left / 60), qlonglong(left % 60));
      text += "  \u00b7  " + FormatText(Tr("%s left"), {StdStr(clock)});
    }
  }
  return QStr(text);
}

void TMainForm::RunProgress(const TRunProgress& p) {
  // The counters of the command line's progress line: restored bytes, else files.
  const double fraction = p.BytesTotal > 0   ? double(p.BytesDone) / double(p.BytesTotal)
                          : p.FilesTotal > 0 ? double(p.FilesDone) / double(p.FilesTotal)
                                             : 0.0;
  RunBar->setValue(static_cast<int>(100.0 * std::clamp(fraction, 0.0, 1.0)));
  const double seconds = FRunClock.isValid() ? double(FRunClock.elapsed()) / 1000.0 : 0.0;
  laRun->setText(RunProgressText(p, seconds));
}

bool TMainForm::Confirm(const std::string& text, bool yesPreselected) {
  return ConfirmDialog(StartButtonCorner(), QStr(text), yesPreselected ? QMessageBox::Yes : QMessageBox::No);
}

QString TMainForm::SummaryText(const std::string& text) const {
  // A stopped run's summary says so: its counts are not the whole selection.
  QString shown = QStr(text);
  // A dry run's own summary counts its skips; every other run says how many it passed over.
  if (FRun && FRun->Kind != rkDryRun && FSkippedItems > 0)
    shown += "\n" + QStr(FormatText(MsgSkipped(FSkippedItems), {std::to_string(FSkippedItems)}));
  if (FRun && FSession->Stopped()) shown += "\n" + T("Stopped by user.");
  return shown;
}

void TMainForm::ShowInfo(const std::string& text) {
  // The preview's summary goes into its dialog, under the list of decisions.
  if (PreviewRunning()) {
    FPreviewSummary = StdStr(SummaryText(text));
    return;
  }
  InfoDialog(windowTitle(), SummaryText(text), StartButtonCorner());
}
void TMainForm::ShowError(const std::string& text) { ErrorDialog(windowTitle(), QStr(text), StartButtonCorner()); }

void TMainForm::ShowDetailInfo(const std::string& title, const std::string& message,
                               const std::vector<std::string>& details, TDetailIcon icon) {
  QStringList lines;
  for (const std::string& d : details) lines << QStr(d);
  qv::ShowDetailInfo(StartButtonCorner(), QStr(title), SummaryText(message), lines, icon == diError ? iiError : iiInfo);
}

TPasswordAnswer TMainForm::QueryPassword(const std::string& title, const std::string& prompt, std::string& pwd) {
  // The file waits for its password: its bar must not read as done.
  ProgressBar->setValue(0);
  int encMode = 0;
  const int result = qv::QueryPassword(QStr(title), QStr(prompt), true, encMode, pwd, false);
  return result == mrOk ? paOk : result == mrYes ? paSkip : paCancel;
}

void TMainForm::SetFileLabel(const std::string& text) {
  const QFontMetrics metrics = laFile->fontMetrics();
  laFile->setText(QStr(FitPathToWidth(text, laFile->width(), [&](const std::string& part) {
    return metrics.horizontalAdvance(QStr(part));
  })));
  // Each file starts at 0 %; the schedule mode's bar counts files instead.
  if ((FRun ? FRun->Mode : RestoreMode()) != rmSchedule) ProgressBar->setValue(0);
}
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
  // The letter Start was given stays on the button when it reads Stop.
  const QString current = btRestore->text();
  const int key = current.indexOf('&');
  QString text = running ? T("Stop") : T("Start");
  if (key >= 0 && key + 1 < current.size()) {
    const int at = text.indexOf(current[key + 1], 0, Qt::CaseInsensitive);
    if (at >= 0) text.insert(at, '&');
  }
  btRestore->setText(text);
  EnableInputs(!running);
  btRestore->setIcon(style()->standardIcon(running ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
}

void TMainForm::EnableInputs(bool on) {
  // What a run uses was taken at Start; the controls say so by not taking changes meanwhile.
  for (QWidget* w : std::initializer_list<QWidget*>{ShellTreeView, ShellListView, gbMode, edTarget, btDest,
                                                    gbOverwrite, cbGZip, cbProtected, cbVerify, btTest, btPreview,
                                                    cbPattern, tsSched})
    w->setEnabled(on);
  edPattern->setEnabled(on && cbPattern->isChecked());
  UpdateVersionsButton();
}

void TMainForm::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  TThread::CheckSynchronize();
}

}  // namespace qv
