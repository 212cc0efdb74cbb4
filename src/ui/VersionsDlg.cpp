// SPDX-License-Identifier: Apache-2.0
#include "ui/VersionsDlg.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "base/PathUtils.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }

std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts, size_t from, size_t to) {
  std::string text;
  for (size_t i = from; i < to; ++i) text += (text.empty() ? "" : "/") + parts[i];
  return text;
}

// An empty set mask names no set; here it means every set, as the versions subcommand has it.
std::string SetMaskOrAll(const std::string& mask) { return mask.empty() ? "*.*" : mask; }

size_t SetCount(const std::vector<TVersionEntry>& versions) {
  std::vector<std::string> sets;
  for (const TVersionEntry& v : versions)
    if (std::find(sets.begin(), sets.end(), v.Set) == sets.end()) sets.push_back(v.Set);
  return sets.size();
}
}  // namespace

TVersionSource LocateVersionSource(const std::string& file, const std::string& setMask,
                                   const std::string& driveMask, bool unpackGz) {
  const std::vector<std::string> parts = PathParts(file);
  // Below the root come the set folder and, with a drive mask, the drive folder.
  const size_t levels = driveMask.empty() ? 1 : 2;
  if (parts.size() < levels + 1) return {ExtractFilePath(file), ExtractFileName(file)};
  const size_t nearestRoot = parts.size() - 1 - levels;
  TVersionSource nearest{"/" + JoinParts(parts, 0, nearestRoot), JoinParts(parts, nearestRoot + levels, parts.size())};
  // The file system root is never taken as the backup root: its folders are not sets.
  for (size_t root = nearestRoot; root >= 1; --root) {
    TVersionSource candidate{"/" + JoinParts(parts, 0, root), JoinParts(parts, root + levels, parts.size())};
    if (SetCount(FindVersions(candidate.Folder, candidate.RelPath, SetMaskOrAll(setMask), driveMask, unpackGz)) >= 2)
      return candidate;
  }
  return nearest;
}

TVersionsDialog::TVersionsDialog(const std::string& setMask, const std::string& driveMask, bool unpackGz,
                                 QWidget* parent)
    : QDialog(parent), FSetMask(SetMaskOrAll(setMask)), FDriveMask(driveMask), FUnpackGz(unpackGz) {
  setObjectName("VersionsDlg");
  setWindowTitle(T("Versions of a file"));
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(BuildSearchFields());
  BuildVersionList();
  layout->addWidget(lvVersions, 1);
  layout->addWidget(laCount);
  layout->addLayout(BuildButtonRow());
  ConnectControls();
  resize(760, 360);
  UpdateButtons();
}

QLayout* TVersionsDialog::BuildSearchFields() {
  auto* grid = new QGridLayout;
  edFolder = new QLineEdit(this);
  edFolder->setObjectName("edFolder");
  edRelPath = new QLineEdit(this);
  edRelPath->setObjectName("edRelPath");
  edRelPath->setPlaceholderText(T("e.g. docs/letter.txt"));
  btFind = new QPushButton(T("Find"), this);
  btFind->setObjectName("btFind");
  auto* laFolder = new QLabel(T("Backup folder:"), this);
  laFolder->setBuddy(edFolder);
  auto* laRelPath = new QLabel(T("File (relative to the backup sets):"), this);
  laRelPath->setBuddy(edRelPath);
  grid->addWidget(laFolder, 0, 0);
  grid->addWidget(edFolder, 0, 1, 1, 2);
  grid->addWidget(laRelPath, 1, 0);
  grid->addWidget(edRelPath, 1, 1);
  grid->addWidget(btFind, 1, 2);
  grid->setColumnStretch(1, 1);
  return grid;
}

void TVersionsDialog::BuildVersionList() {
  lvVersions = new QTreeWidget(this);
  lvVersions->setObjectName("lvVersions");
  lvVersions->setRootIsDecorated(false);
  lvVersions->setSelectionMode(QAbstractItemView::SingleSelection);
  lvVersions->setHeaderLabels({T("Date (UTC)"), T("Set"), T("Size"), T("Kind"), T("Path")});
  lvVersions->header()->setStretchLastSection(true);
  laCount = new QLabel(this);
  laCount->setObjectName("laCount");
}

QLayout* TVersionsDialog::BuildButtonRow() {
  auto* row = new QHBoxLayout;
  btRestore = new QPushButton(this);
  btRestore->setObjectName("btRestore");
  btKeepBoth = new QPushButton(T("Restore beside the current file"), this);
  btKeepBoth->setObjectName("btKeepBoth");
  btCancel = new QPushButton(T("Cancel"), this);
  btCancel->setObjectName("btCancel");
  // No button is pressed by Enter: Enter searches (keyPressEvent).
  for (QPushButton* b : {btFind, btRestore, btKeepBoth, btCancel}) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  row->addWidget(btRestore);
  row->addWidget(btKeepBoth);
  row->addStretch();
  row->addWidget(btCancel);
  return row;
}

void TVersionsDialog::ConnectControls() {
  connect(btFind, &QPushButton::clicked, this, &TVersionsDialog::FindClick);
  connect(lvVersions, &QTreeWidget::itemSelectionChanged, this, &TVersionsDialog::UpdateButtons);
  connect(btRestore, &QPushButton::clicked, this, [this] { Pick(false); });
  connect(btKeepBoth, &QPushButton::clicked, this, [this] { Pick(true); });
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TVersionsDialog::Search(const std::string& folder, const std::string& relPath) {
  edFolder->setText(QStr(folder));
  edRelPath->setText(QStr(relPath));
  FindClick();
}

void TVersionsDialog::SetDestination(const std::string& folder) {
  FDestination = folder;
  UpdateButtons();
}

std::string TVersionsDialog::TargetPath() const {
  if (FDestination.empty() || FSearchedRelPath.empty()) return {};
  return AddPathDelimiter(FDestination) + FSearchedRelPath;
}

void TVersionsDialog::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (!enter) {
    QDialog::keyPressEvent(event);
    return;
  }
  // In the list Enter does nothing; in the fields it searches and shows what it found.
  event->accept();
  if (focusWidget() == lvVersions) return;
  FindClick();
  if (!FVersions.empty()) lvVersions->setFocus();
}

void TVersionsDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Without a file named yet the user types one; otherwise the list is what to look at.
  if (FSearchedRelPath.empty()) edRelPath->setFocus();
  else lvVersions->setFocus();
}

void TVersionsDialog::FindClick() {
  lvVersions->clear();
  FSearchedRelPath = StdStr(edRelPath->text().trimmed());
  FVersions.clear();
  if (!FSearchedRelPath.empty())
    FVersions = FindVersions(StdStr(edFolder->text()), FSearchedRelPath, FSetMask, FDriveMask, FUnpackGz);
  for (const TVersionEntry& v : FVersions) {
    const QString when = QDateTime::fromSecsSinceEpoch(v.UnixTime, QTimeZone::utc()).toString("yyyy-MM-dd HH:mm:ss");
    const QString size = v.Size < 0 ? QString("-") : QLocale().toString(qlonglong(v.Size));
    auto* item = new QTreeWidgetItem(lvVersions, {when, QStr(v.Set), size, VersionKindName(v.Kind), QStr(v.Path)});
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  }
  for (int c = 0; c < 4; ++c) lvVersions->resizeColumnToContents(c);
  if (!FVersions.empty()) lvVersions->setCurrentItem(lvVersions->topLevelItem(0));
  laCount->setText(FSearchedRelPath.empty() ? T("Enter the file's path relative to a backup set.")
                                            : QStr(FormatText(Tr("%s versions found"), {std::to_string(FVersions.size())})));
  UpdateButtons();
}

void TVersionsDialog::UpdateButtons() {
  const bool picked = !lvVersions->selectedItems().isEmpty();
  const QString target = QStr(TargetPath());
  // The button names the file it writes; a long path keeps its start and its name.
  const QString shown = fontMetrics().elidedText(target.isEmpty() ? T("the destination") : target, Qt::ElideMiddle, 360);
  btRestore->setText(QStr(FormatText(Tr("Restore this version to %s"), {StdStr(shown)})));
  btRestore->setToolTip(target);
  btKeepBoth->setToolTip(QStr(FormatText(Tr("Keep %s and write this version beside it as \"name (1).ext\""),
                                         {StdStr(target)})));
  btRestore->setEnabled(picked);
  btKeepBoth->setEnabled(picked);
}

void TVersionsDialog::Pick(bool keepBoth) {
  const int row = lvVersions->indexOfTopLevelItem(lvVersions->currentItem());
  if (lvVersions->selectedItems().isEmpty() || row < 0 || size_t(row) >= FVersions.size()) return;
  FReplace = false;
  const QString target = QStr(TargetPath());
  if (!keepBoth && !target.isEmpty() && QFileInfo::exists(target)) {
    // Replacing a file is asked for here, whatever the overwrite rule of the window says.
    const TVersionEntry& v = FVersions[size_t(row)];
    const QString when = QDateTime::fromSecsSinceEpoch(v.UnixTime, QTimeZone::utc()).toString("yyyy-MM-dd HH:mm:ss");
    const std::string question = FormatText(Tr("\"%s\" exists.\nReplace it with the version of %s (UTC) from set %s?"),
                                            {StdStr(target), StdStr(when), v.Set});
    QMessageBox box(QMessageBox::Question, windowTitle(), QStr(question), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes) return;
    FReplace = true;
  }
  FKeepBoth = keepBoth;
  accept();
}

std::optional<TVersionChoice> TVersionsDialog::Execute() {
  if (exec() != QDialog::Accepted) return std::nullopt;
  const int row = lvVersions->indexOfTopLevelItem(lvVersions->currentItem());
  if (row < 0 || size_t(row) >= FVersions.size()) return std::nullopt;
  return TVersionChoice{FVersions[size_t(row)], FSearchedRelPath, FKeepBoth, FReplace};
}

}  // namespace qv
