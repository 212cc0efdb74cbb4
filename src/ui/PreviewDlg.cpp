// SPDX-License-Identifier: Apache-2.0
#include "ui/PreviewDlg.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "base/FormatUtils.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }

// Names from a backup may hold control characters; the table shows them escaped.
QString Shown(const std::string& text) { return QStr(EscapeControlChars(text)); }

constexpr int ChangeRole = Qt::UserRole + 1;
constexpr int SourceRole = Qt::UserRole + 2;

QString Explanation(const TItemReport& item) {
  const QString reason = TPreviewDialog::ReasonText(item.Reason);
  if (reason.isEmpty()) return Shown(item.Message);
  if (item.Message.empty()) return reason;
  return reason + " - " + Shown(item.Message);
}
}  // namespace

QString TPreviewDialog::ActionText(TItemAction action) {
  switch (action) {
    case iaNew: return T("new");
    case iaReplace: return T("replace");
    case iaSkip: return T("skip");
    case iaFailed: return T("error");
    default: return {};
  }
}

QString TPreviewDialog::ReasonText(const std::string& reason) {
  // The reports carry untranslated keys (scripts read them); the window shows words.
  if (reason == "exists") return T("exists");
  if (reason == "not older") return T("not older");
  return Shown(reason);
}

bool TPreviewDialog::IsChange(TItemAction action) { return action != iaSkip && action != iaSkipped; }

QString TPreviewDialog::SourceFolder(const std::string& source) {
  // An archive entry's "archive/entry" is no folder: the archive's own folder is shown.
  QFileInfo at(QStr(source));
  for (at = QFileInfo(at.path()); !at.filePath().isEmpty(); at = QFileInfo(at.path())) {
    if (at.isDir()) return at.absoluteFilePath();
    if (at.isRoot()) break;
  }
  return {};
}

TPreviewDialog::TPreviewDialog(const std::vector<TItemReport>& items, const QString& summary, bool showSet,
                               QWidget* parent)
    : QDialog(parent) {
  setObjectName("PreviewDlg");
  setWindowTitle(T("Preview"));
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);

  FModel = new QStandardItemModel(int(items.size()), colCount, this);
  FModel->setHorizontalHeaderLabels({T("Action"), T("Reason"), T("Target"), T("Source"), T("Set")});
  int counts[4] = {0, 0, 0, 0};  // new, replace, skip, error
  for (int row = 0; row < int(items.size()); ++row) {
    const TItemReport& item = items[size_t(row)];
    const QString cells[colCount] = {ActionText(item.Action), Explanation(item), Shown(item.Target),
                                     Shown(item.Source), Shown(item.Set)};
    for (int col = 0; col < colCount; ++col) {
      auto* cell = new QStandardItem(cells[col]);
      cell->setEditable(false);
      cell->setToolTip(cells[col]);
      FModel->setItem(row, col, cell);
    }
    FModel->item(row, colAction)->setData(IsChange(item.Action) ? "1" : "0", ChangeRole);
    FModel->item(row, colAction)->setData(QStr(item.Source), SourceRole);
    const int kind = item.Action == iaNew ? 0 : item.Action == iaReplace ? 1 : item.Action == iaSkip ? 2 : 3;
    ++counts[kind];
  }
  FProxy = new QSortFilterProxyModel(this);
  FProxy->setSourceModel(FModel);
  FProxy->setFilterKeyColumn(colAction);
  FProxy->setFilterRole(ChangeRole);
  FProxy->setSortCaseSensitivity(Qt::CaseInsensitive);

  tvItems = new QTableView(this);
  tvItems->setObjectName("tvItems");
  tvItems->setModel(FProxy);
  tvItems->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvItems->setSelectionBehavior(QAbstractItemView::SelectRows);
  tvItems->verticalHeader()->setVisible(false);
  tvItems->setWordWrap(false);
  tvItems->setTextElideMode(Qt::ElideMiddle);  // the file name stays in sight
  tvItems->setSortingEnabled(true);
  tvItems->sortByColumn(-1, Qt::AscendingOrder);  // the run's order until a header is clicked
  tvItems->setColumnHidden(colSet, !showSet);
  tvItems->setToolTip(T("Double-click a row to open the folder of its source"));
  connect(tvItems, &QTableView::doubleClicked, this, [this](const QModelIndex& index) { OpenSourceFolder(index.row()); });

  cbChangesOnly = new QCheckBox(T("Show only changes"), this);
  cbChangesOnly->setObjectName("cbChangesOnly");
  cbChangesOnly->setChecked(true);
  connect(cbChangesOnly, &QCheckBox::toggled, this, &TPreviewDialog::ApplyFilter);
  laActions = new QLabel(this);
  laActions->setObjectName("laActions");
  laActions->setText(QStr(FormatText(Tr("%s new, %s replace, %s skip, %s error"),
                                     {std::to_string(counts[0]), std::to_string(counts[1]),
                                      std::to_string(counts[2]), std::to_string(counts[3])})));
  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(cbChangesOnly);
  filterRow->addStretch();
  filterRow->addWidget(laActions);
  layout->addLayout(filterRow);
  layout->addWidget(tvItems, 1);

  laCounts = new QLabel(summary, this);
  laCounts->setObjectName("laCounts");
  laCounts->setWordWrap(true);
  layout->addWidget(laCounts);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  btRestore = new QPushButton(T("Restore"), this);
  btRestore->setObjectName("btRestore");
  btRestore->setAutoDefault(false);
  btClose = new QPushButton(T("Close"), this);
  btClose->setObjectName("btClose");
  btClose->setDefault(true);  // Enter does not start writing by accident
  buttons->addWidget(btRestore);
  buttons->addWidget(btClose);
  layout->addLayout(buttons);
  connect(btRestore, &QPushButton::clicked, this, &QDialog::accept);
  connect(btClose, &QPushButton::clicked, this, &QDialog::reject);
  ApplyFilter();
  FitColumns();
}

void TPreviewDialog::ApplyFilter() {
  FProxy->setFilterFixedString(cbChangesOnly->isChecked() ? "1" : QString());
}

void TPreviewDialog::FitColumns() {
  // Every column as wide as its content (the paths up to a third of the screen each), and the
  // dialog as wide as the columns where the screen has room.
  FProxy->setFilterFixedString(QString());
  tvItems->resizeColumnsToContents();
  ApplyFilter();
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int screenWidth = screen ? screen->availableGeometry().width() : 1280;
  for (int col : {colTarget, colSource, colSet})
    tvItems->setColumnWidth(col, std::min(tvItems->columnWidth(col), screenWidth / 3));
  tvItems->horizontalHeader()->setStretchLastSection(true);
  int wanted = 40;
  for (int col = 0; col < colCount; ++col)
    if (!tvItems->isColumnHidden(col)) wanted += tvItems->columnWidth(col);
  resize(std::clamp(wanted, 640, std::max(640, screenWidth * 9 / 10)), 440);
}

int TPreviewDialog::RowCount() const { return FProxy->rowCount(); }

QString TPreviewDialog::Cell(int row, int column) const { return FProxy->index(row, column).data().toString(); }

void TPreviewDialog::OpenSourceFolder(int row) {
  const QString folder = SourceFolder(StdStr(FProxy->index(row, colAction).data(SourceRole).toString()));
  if (!folder.isEmpty() && OpenInFileManager) OpenInFileManager(QUrl::fromLocalFile(folder));
}

}  // namespace qv
