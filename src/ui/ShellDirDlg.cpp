// SPDX-License-Identifier: Apache-2.0
#include "ui/ShellDirDlg.h"

#include <algorithm>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "base/FileUtils.h"
#include "base/IniFile.h"
#include "base/SysInfo.h"
#include "base/Translation.h"
#include "ui/SelectDlg.h"
#include "ui/ShellCtrls.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString D(const char* msgid) { return QStr(TrDialogs(msgid)); }
QString Fill(const char* format, const QString& value) {
  QString f = D(format);
  return f.replace("%s", value);
}
// Fills each "%u" in turn.
QString FillCounts(const char* format, std::initializer_list<long long> values) {
  QString out = D(format);
  for (long long v : values) {
    const auto at = out.indexOf("%u");
    if (at < 0) break;
    out.replace(at, 2, QString::number(v));
  }
  return out;
}
QString WithDelimiter(const QString& path) { return path.isEmpty() || path.endsWith('/') ? path : path + '/'; }
}  // namespace

TShellDirDialog::TShellDirDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("ShellDirDialog");
  setWindowTitle(D("Select directory"));
  setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
  auto* outer = new QHBoxLayout(this);
  outer->setContentsMargins(4, 4, 4, 4);
  Splitter = new QSplitter(Qt::Horizontal, this);
  Splitter->setObjectName("Splitter");
  Splitter->setChildrenCollapsible(false);
  outer->addWidget(Splitter);
  BuildFolderPanel();
  BuildFilePanel();
  BuildPopupMenu();
  ConnectActions();

  resize(560, 420);
  Splitter->setSizes({560, 360});
  PanelRight->hide();
  CenterOnScreen(this);
}

// The left side: places, the tree, the chosen path and the buttons.
void TShellDirDialog::BuildFolderPanel() {
  PanelLeft = new QWidget(Splitter);
  PanelLeft->setObjectName("PanelLeft");
  auto* layout = new QVBoxLayout(PanelLeft);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* browse = new QHBoxLayout;
  browse->addWidget(BuildPlaces());
  ShellTreeView = new TShellTreeView(PanelLeft);
  ShellTreeView->setObjectName("ShellTreeView");
  ShellTreeView->SetRoot(rfMyComputer);
  ShellTreeView->SetAutoRefresh(false);
  ShellTreeView->setContextMenuPolicy(Qt::CustomContextMenu);
  browse->addWidget(ShellTreeView, 1);
  layout->addLayout(browse, 1);
  layout->addLayout(BuildDirectoryRow());
  layout->addLayout(BuildButtonRow());
}

QWidget* TShellDirDialog::BuildPlaces() {
  panRoot = new QWidget(PanelLeft);
  panRoot->setObjectName("panRoot");
  auto* layout = new QVBoxLayout(panRoot);
  layout->setContentsMargins(0, 0, 0, 0);
  spbDesktop = PlaceButton("spbDesktop", "Desktop", QStyle::SP_DesktopIcon, rfDesktop);
  spbMyFiles = PlaceButton("spbMyFiles", "My Documents", QStyle::SP_DirHomeIcon, rfPersonal);
  spbComputer = PlaceButton("spbComputer", "Computer", QStyle::SP_ComputerIcon, rfMyComputer);
  spbNetwork = PlaceButton("spbNetwork", "Network", QStyle::SP_DriveNetIcon, rfNetwork);
  // One width for the column, wide enough for the longest name in the language shown.
  int width = 84;
  for (QToolButton* b : {spbDesktop, spbMyFiles, spbComputer, spbNetwork}) width = std::max(width, b->sizeHint().width());
  for (QToolButton* b : {spbDesktop, spbMyFiles, spbComputer, spbNetwork}) {
    b->setFixedWidth(width);
    layout->addWidget(b);
  }
  layout->addStretch();
  return panRoot;
}

QToolButton* TShellDirDialog::PlaceButton(const char* name, const char* text, QStyle::StandardPixmap icon,
                                          const char* root) {
  auto* b = new QToolButton(panRoot);
  b->setObjectName(name);
  b->setText(D(text));
  b->setIcon(style()->standardIcon(icon));
  b->setIconSize({32, 32});
  b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  b->setAutoRaise(true);
  connect(b, &QToolButton::clicked, this, [this, root] { SetPlace(root); });
  return b;
}

QLayout* TShellDirDialog::BuildDirectoryRow() {
  auto* row = new QHBoxLayout;
  Label1 = new QLabel(D("Directory:"), PanelLeft);
  cbxSelectedDir = new QComboBox(PanelLeft);
  cbxSelectedDir->setObjectName("cbxSelectedDir");
  cbxSelectedDir->setEditable(true);
  cbxSelectedDir->setInsertPolicy(QComboBox::NoInsert);
  cbxSelectedDir->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  Label1->setBuddy(cbxSelectedDir);
  row->addWidget(Label1);
  row->addWidget(cbxSelectedDir, 1);
  return row;
}

QLayout* TShellDirDialog::BuildButtonRow() {
  auto* row = new QHBoxLayout;
  cbxFiles = new QCheckBox(D("Show files"), PanelLeft);
  cbxFiles->setObjectName("cbxFiles");
  spbHome = SmallButton("spbHome", QStyle::SP_DirHomeIcon, "Go to default folder");
  spbUp = SmallButton("spbUp", QStyle::SP_FileDialogToParent, "One folder up");
  spbNew = SmallButton("spbNew", QStyle::SP_FileDialogNewFolder, "Create new folder");
  btbOK = new QPushButton(D("OK"), PanelLeft);
  btbOK->setObjectName("btbOK");
  btbOK->setDefault(true);
  btbCancel = new QPushButton(D("Cancel"), PanelLeft);
  btbCancel->setObjectName("btbCancel");
  row->addWidget(cbxFiles);
  row->addWidget(spbHome);
  row->addWidget(spbUp);
  row->addWidget(spbNew);
  row->addStretch();
  row->addWidget(btbOK);
  row->addWidget(btbCancel);
  return row;
}

QToolButton* TShellDirDialog::SmallButton(const char* name, QStyle::StandardPixmap icon, const char* hint) {
  auto* b = new QToolButton(PanelLeft);
  b->setObjectName(name);
  b->setIcon(style()->standardIcon(icon));
  b->setToolTip(D(hint));
  b->setAutoRaise(true);
  return b;
}

// The right side, shown on demand: the files of the selected folder.
void TShellDirDialog::BuildFilePanel() {
  PanelRight = new QWidget(Splitter);
  PanelRight->setObjectName("PanelRight");
  auto* layout = new QVBoxLayout(PanelRight);
  layout->setContentsMargins(0, 0, 0, 0);
  ShellListView = new TShellListView(PanelRight);
  ShellListView->setObjectName("ShellListView");
  ShellListView->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(ShellListView);
  ShellTreeView->SetListView(ShellListView);
  const double scale = (screen() ? screen()->logicalDotsPerInch() : 96.0) / 96.0;
  ShellListView->SetColWidths({int(20 * scale), int(10 * scale), int(15 * scale), int(15 * scale)});
}

void TShellDirDialog::BuildPopupMenu() {
  PopupMenu = new QMenu(this);
  itmCreate = PopupMenu->addAction(D("&Create folder"));
  itmDelete = PopupMenu->addAction(D("&Delete folder"));
  PopupMenu->addSeparator();
  itmUpdate = PopupMenu->addAction(D("&Update"));
  cancel1 = PopupMenu->addAction(D("&Cancel"));
}

void TShellDirDialog::ConnectActions() {
  connect(btbOK, &QPushButton::clicked, this, [this] {
    AddToHistory(cbxSelectedDir->currentText());
    accept();
  });
  connect(btbCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(spbUp, &QToolButton::clicked, this, &TShellDirDialog::GoUp);
  connect(spbHome, &QToolButton::clicked, this, &TShellDirDialog::GoHome);
  connect(spbNew, &QToolButton::clicked, this, &TShellDirDialog::CreateFolder);
  connect(itmCreate, &QAction::triggered, this, &TShellDirDialog::CreateFolder);
  connect(itmDelete, &QAction::triggered, this, &TShellDirDialog::DeleteFolder);
  connect(itmUpdate, &QAction::triggered, this, &TShellDirDialog::RefreshTree);
  connect(ShellTreeView, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
    RefreshTree();
    PopupMenu->popup(ShellTreeView->viewport()->mapToGlobal(p));
  });
  connect(cbxFiles, &QCheckBox::clicked, this, [this](bool on) { if (isVisible()) ShowFilePanel(on); });
  connect(ShellTreeView, &TShellTreeView::SelectionChanged, this, &TShellDirDialog::TreeSelectionChanged);
}

TShellDirDialog::~TShellDirDialog() { SaveToIni(); }

QStringList TShellDirDialog::History() const {
  QStringList out;
  for (int i = 0; i < cbxSelectedDir->count(); ++i) out << cbxSelectedDir->itemText(i);
  return out;
}

void TShellDirDialog::AddToHistory(const QString& dir) {
  if (dir.isEmpty()) return;
  for (int i = 0; i < cbxSelectedDir->count(); ++i)
    if (cbxSelectedDir->itemText(i).compare(dir, Qt::CaseInsensitive) == 0) return;
  const QString text = cbxSelectedDir->currentText();
  cbxSelectedDir->addItem(dir);
  cbxSelectedDir->setEditText(text);
  UpdateComboStyle();
}

void TShellDirDialog::RemoveFromHistory(const QString& dir) {
  for (int i = cbxSelectedDir->count() - 1; i >= 0; --i)
    if (cbxSelectedDir->itemText(i).compare(dir, Qt::CaseInsensitive) == 0) cbxSelectedDir->removeItem(i);
  if (cbxSelectedDir->count() > 0) cbxSelectedDir->setCurrentIndex(0);
  UpdateComboStyle();
}

void TShellDirDialog::UpdateComboStyle() {
  // Without a history the field is a plain edit: no drop-down arrow.
  cbxSelectedDir->setStyleSheet(cbxSelectedDir->count() == 0
                                    ? "QComboBox::drop-down { width: 0px; border: none; }"
                                    : QString());
}

void TShellDirDialog::LoadFromIni(const QString& IniName, const QString& Section) {
  FIniName = IniName;
  FIniSection = Section;
  cbxSelectedDir->clear();
  if (QFileInfo::exists(IniName) && !Section.isEmpty()) {
    const TIniFile ini(StdStr(IniName));
    const std::string section = StdStr(Section);
    for (int i = 0; i < HistoryLimit; ++i) {
      const std::string value = ini.ReadString(section, "History" + std::to_string(i));
      if (!value.empty()) cbxSelectedDir->addItem(QStr(value));
    }
    const QRect g = geometry();
    const int top = int(ini.ReadInteger(section, "Top", 0));
    const int left = int(ini.ReadInteger(section, "Left", g.left()));
    const int height = int(ini.ReadInteger(section, "Height", g.height()));
    const int dirWidth = int(ini.ReadInteger(section, "DirWidth", PanelLeft->width()));
    const int fileWidth = int(ini.ReadInteger(section, "FileWidth", PanelRight->width()));
    cbxFiles->setChecked(ini.ReadBool(section, "Fileview", false));
    PanelLeft->resize(std::max(200, dirWidth), PanelLeft->height());
    PanelRight->resize(std::max(100, fileWidth), PanelRight->height());
    Splitter->setSizes({std::max(200, dirWidth), std::max(100, fileWidth)});
    setGeometry(left, top, width(), std::max(200, height));
    if (top == 0) CenterOnScreen(this);
  }
  cbxSelectedDir->setEditText(QString());
  UpdateComboStyle();
}

void TShellDirDialog::SaveToIni() {
  if (FIniName.isEmpty() || FIniSection.isEmpty()) return;
  TIniFile ini(StdStr(FIniName));
  const std::string section = StdStr(FIniSection);
  ini.EraseSection(section);
  const QStringList history = History();
  for (int i = 0; i < history.size(); ++i) ini.WriteString(section, "History" + std::to_string(i), StdStr(history[i]));
  const QRect g = geometry();
  ini.WriteInteger(section, "Top", g.top());
  ini.WriteInteger(section, "Left", g.left());
  ini.WriteInteger(section, "Height", g.height());
  ini.WriteInteger(section, "DirWidth", PanelLeft->width());
  ini.WriteInteger(section, "FileWidth", PanelRight->width());
  ini.WriteBool(section, "Fileview", cbxFiles->isChecked());
  ini.UpdateFile();
}

void TShellDirDialog::ShowFilePanel(bool show) {
  const int leftWidth = PanelLeft->width();
  if (show) {
    const int rightWidth = std::max(200, PanelRight->width());
    PanelRight->show();
    Splitter->setSizes({leftWidth, rightWidth});
    resize(leftWidth + Splitter->handleWidth() + rightWidth + 8, height());
  } else {
    PanelRight->hide();
    resize(leftWidth + 8, height());
  }
}

bool TShellDirDialog::Execute(const QString& ATitle, bool Hidden, bool FileView, const QString& HomeDir, QString& Dir) {
  setWindowTitle(ATitle);
  FDefaultDir = HomeDir;
  QString start = Dir.isEmpty() ? HomeDir : Dir;
  QString root;
  if (start.isEmpty() || !QFileInfo(start).isDir()) {
    const QString docs = QStr(GetSpecialFolder(csidlPersonal));
    if (!docs.isEmpty() && QFileInfo(docs).isDir()) {
      start = docs;
      root = rfPersonal;
    } else {
      start = QDir::currentPath();
      root = rfMyComputer;
    }
  } else {
    root = NetworkMounts().contains(QDir::cleanPath(start)) || start.startsWith("//") ? rfNetwork : rfMyComputer;
  }
  cbxSelectedDir->setEditText(start);
  ShellTreeView->SetObjectTypes(Hidden ? (otFolders | otHidden) : otFolders);
  ShellTreeView->SetRoot(root);
  if (ShellTreeView->SetPath(start) && ShellTreeView->SelectedIndex().isValid())
    ShellTreeView->expand(ShellTreeView->SelectedIndex());
  cbxSelectedDir->setEditText(start);
  cbxFiles->setVisible(FileView);
  ShowFilePanel(FileView && cbxFiles->isChecked());
  if (exec() != QDialog::Accepted) return false;
  Dir = WithDelimiter(cbxSelectedDir->currentText());
  return true;
}

void TShellDirDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  PlaceDialog(this);
  spbHome->setVisible(!FDefaultDir.isEmpty());
  spbHome->setToolTip(D("Default: ") + FDefaultDir);
  UpdateComboStyle();
  FocusTree();
}

void TShellDirDialog::FocusTree() {
  if (ShellTreeView->SelectedIndex().isValid()) ShellTreeView->scrollTo(ShellTreeView->SelectedIndex());
  ShellTreeView->setFocus();
}

void TShellDirDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F5 && event->modifiers() == Qt::NoModifier) {
    if (ShellTreeView->SelectedIndex().isValid()) RefreshTree();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TShellDirDialog::TreeSelectionChanged() {
  const TShellFolder* f = ShellTreeView->SelectedFolder();
  if (!f) return;
  // Only folders of the file system can take restored files.
  btbOK->setEnabled((f->Properties & fpFileSystem) && f->Kind != TShellKind::skZipArchive && !f->InArchive());
  QString path = f->PathName;
  if (f->Properties & fpIsLink) {
    QString target, args, description, workDir;
    if (ResolveShortcut(path, target, args, description, workDir) && QFileInfo(target).isDir()) path = target;
  }
  cbxSelectedDir->setEditText(path);
}

void TShellDirDialog::SetPlace(const QString& root) {
  ShellTreeView->SetRoot(root);
  FocusTree();
}

void TShellDirDialog::GoUp() {
  const QModelIndex sel = ShellTreeView->SelectedIndex();
  if (!sel.isValid() || !sel.parent().isValid()) {
    ShellTreeView->SetRoot(rfMyComputer);
  } else if (sel.parent() != ShellTreeView->Model()->TopIndex()) {
    const QString parentPath = ShellTreeView->Model()->NodeAt(sel.parent())->Folder.PathName;
    if (!ShellTreeView->SetPath(parentPath)) ShellTreeView->setCurrentIndex(sel.parent());
  } else {
    ShellTreeView->setCurrentIndex(sel.parent());
  }
  FocusTree();
}

void TShellDirDialog::GoHome() {
  if (!QDir::setCurrent(FDefaultDir)) {
    ErrorDialog(QString(), Fill("Directory not found:\r\n%s!", FDefaultDir).replace("\r\n", "\n"));
    RemoveFromHistory(FDefaultDir);
  } else if (ShellTreeView->Root() == rfNetwork || FDefaultDir == "/") {
    ShellTreeView->SetRoot(FDefaultDir);
  } else {
    ShellTreeView->SetRoot(rfMyComputer);
    ShellTreeView->SetPath(FDefaultDir);
    if (ShellTreeView->SelectedIndex().isValid()) ShellTreeView->scrollTo(ShellTreeView->SelectedIndex());
  }
  ShellTreeView->setFocus();
}

void TShellDirDialog::CreateFolder() {
  const QString base = ShellTreeView->Path();
  bool ok = false;
  const QString name = QInputDialog::getText(this, base, D("New subdirectory:"), QLineEdit::Normal, QString(), &ok);
  if (ok && !name.isEmpty()) {
    const QString path = WithDelimiter(base) + name;
    if (!base.isEmpty() && LongForceDirectories(StdStr(path))) {
      ShellTreeView->SetRoot(rfMyComputer);
      ShellTreeView->SetPath(path);
      if (ShellTreeView->SelectedIndex().isValid()) ShellTreeView->scrollTo(ShellTreeView->SelectedIndex());
    } else {
      ErrorDialog(QString(), Fill("Could not create directory:\r\n%s!", path).replace("\r\n", "\n"));
    }
  }
  ShellTreeView->setFocus();
}

void TShellDirDialog::DeleteFolder() {
  const TShellFolder* f = ShellTreeView->SelectedFolder();
  if (!f || f->Kind != TShellKind::skFolder) return;  // only real folders can be deleted
  const QString path = f->PathName;
  const int choice = SelectOption(D("Delete directory"), Fill("Delete \"%s\"", path), QFont::Bold,
                                  {D("Definitely"), D("To recycle bin")});
  if (choice < 0) return;
  GoUp();
  bool ok = false;
  if (choice == 0) {
    int dirs = 0, errors = 0, files = 0;
    DeleteDirectoryTree(StdStr(path), std::string(), dirs, errors, files);
    ok = errors == 0;
    if (ok) InfoDialog(QString(), FillCounts("%u directories with %u files deleted!", {dirs, files}));
  } else {
    ok = ShellDeleteFile(this, WithDelimiter(path), Fill("Deleting: %s", path), true);
    if (ok) InfoDialog(QString(), Fill("%s moved to Recycle Bin!", path));
  }
  if (!ok) ErrorDialog(QString(), Fill("Error deleting directory:\r\n%s!", path).replace("\r\n", "\n"));
  RefreshTree();
}

void TShellDirDialog::RefreshTree() {
  const QModelIndex sel = ShellTreeView->SelectedIndex();
  if (sel.isValid()) ShellTreeView->Refresh(sel);
}

}  // namespace qv
