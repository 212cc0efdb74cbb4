// SPDX-License-Identifier: Apache-2.0
#include "ui/VersionsDlg.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
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
  btFind->setAutoDefault(false);
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
  btRestore = new QPushButton(T("Restore to destination"), this);
  btRestore->setObjectName("btRestore");
  btRestore->setToolTip(T("Restore this version to the destination by the overwrite rule"));
  btKeepBoth = new QPushButton(T("Restore beside (keep both)"), this);
  btKeepBoth->setObjectName("btKeepBoth");
  btKeepBoth->setToolTip(T("Keep the existing file and restore beside it as \"name (1).ext\""));
  btCancel = new QPushButton(T("Cancel"), this);
  btCancel->setObjectName("btCancel");
  row->addWidget(btRestore);
  row->addWidget(btKeepBoth);
  row->addStretch();
  row->addWidget(btCancel);
  return row;
}

void TVersionsDialog::ConnectControls() {
  connect(btFind, &QPushButton::clicked, this, &TVersionsDialog::FindClick);
  connect(edRelPath, &QLineEdit::returnPressed, this, &TVersionsDialog::FindClick);
  connect(lvVersions, &QTreeWidget::itemSelectionChanged, this, &TVersionsDialog::UpdateButtons);
  connect(lvVersions, &QTreeWidget::itemDoubleClicked, this, [this] { Pick(false); });
  connect(btRestore, &QPushButton::clicked, this, [this] { Pick(false); });
  connect(btKeepBoth, &QPushButton::clicked, this, [this] { Pick(true); });
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TVersionsDialog::Search(const std::string& folder, const std::string& relPath) {
  edFolder->setText(QStr(folder));
  edRelPath->setText(QStr(relPath));
  FindClick();
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
  btRestore->setEnabled(picked);
  btKeepBoth->setEnabled(picked);
}

void TVersionsDialog::Pick(bool keepBoth) {
  if (lvVersions->selectedItems().isEmpty()) return;
  FKeepBoth = keepBoth;
  accept();
}

std::optional<TVersionChoice> TVersionsDialog::Execute() {
  if (exec() != QDialog::Accepted) return std::nullopt;
  const int row = lvVersions->indexOfTopLevelItem(lvVersions->currentItem());
  if (row < 0 || size_t(row) >= FVersions.size()) return std::nullopt;
  return TVersionChoice{FVersions[size_t(row)], FSearchedRelPath, FKeepBoth};
}

}  // namespace qv
