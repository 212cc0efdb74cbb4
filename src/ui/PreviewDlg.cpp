// SPDX-License-Identifier: Apache-2.0
#include "ui/PreviewDlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "base/FormatUtils.h"
#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }

// Names from a backup may hold control characters; the table shows them escaped.
QString Shown(const std::string& text) { return QStr(EscapeControlChars(text)); }

QString Explanation(const TItemReport& item) {
  if (item.Reason.empty()) return Shown(item.Message);
  if (item.Message.empty()) return Shown(item.Reason);
  return Shown(item.Reason + " - " + item.Message);
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

TPreviewDialog::TPreviewDialog(const std::vector<TItemReport>& items, const QString& summary, bool showSet,
                               QWidget* parent)
    : QDialog(parent) {
  setObjectName("PreviewDlg");
  setWindowTitle(T("Preview"));
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);

  enum { colAction, colTarget, colSource, colSet, colReason, colCount };
  tvItems = new QTableWidget(int(items.size()), colCount, this);
  tvItems->setObjectName("tvItems");
  tvItems->setHorizontalHeaderLabels({T("Action"), T("Target"), T("Source"), T("Set"), T("Reason")});
  tvItems->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvItems->setSelectionBehavior(QAbstractItemView::SelectRows);
  tvItems->verticalHeader()->setVisible(false);
  tvItems->setWordWrap(false);
  tvItems->setTextElideMode(Qt::ElideMiddle);  // the file name stays in sight
  for (int row = 0; row < int(items.size()); ++row) {
    const TItemReport& item = items[size_t(row)];
    const QString cells[colCount] = {ActionText(item.Action), Shown(item.Target), Shown(item.Source),
                                     Shown(item.Set), Explanation(item)};
    for (int col = 0; col < colCount; ++col) {
      auto* cell = new QTableWidgetItem(cells[col]);
      cell->setToolTip(cells[col]);
      tvItems->setItem(row, col, cell);
    }
  }
  tvItems->setColumnHidden(colSet, !showSet);
  tvItems->resizeColumnsToContents();
  // Long paths must not push the reason out of sight; the tooltip has the whole path.
  for (int col : {colTarget, colSource, colSet}) tvItems->setColumnWidth(col, std::min(tvItems->columnWidth(col), 240));
  tvItems->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(tvItems, 1);

  laCounts = new QLabel(summary, this);
  laCounts->setObjectName("laCounts");
  laCounts->setWordWrap(true);
  layout->addWidget(laCounts);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  btRestore = new QPushButton(T("Restore"), this);
  btRestore->setObjectName("btRestore");
  btClose = new QPushButton(T("Close"), this);
  btClose->setObjectName("btClose");
  btClose->setDefault(true);  // Enter does not start writing by accident
  buttons->addWidget(btRestore);
  buttons->addWidget(btClose);
  layout->addLayout(buttons);
  connect(btRestore, &QPushButton::clicked, this, &QDialog::accept);
  connect(btClose, &QPushButton::clicked, this, &QDialog::reject);
  resize(760, 420);
}

}  // namespace qv
