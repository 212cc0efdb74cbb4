// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a restore would do, item by item, decided by a dry run: shown before anything is written,
// with the choice to restore now or close. The rows that change something come first to the
// eye: the skips are hidden until "Show only changes" is cleared.
#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "restore/RestoreView.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;
class QUrl;

namespace qv {

class TPreviewDialog : public QDialog {
  Q_OBJECT
 public:
  enum TColumn { colAction, colReason, colTarget, colSource, colSet, colCount };

  // showSet: the schedule mode, where each item comes from a set folder of its own.
  TPreviewDialog(const std::vector<TItemReport>& items, const QString& summary, bool showSet,
                 QWidget* parent = nullptr);

  // The words the table uses for an action and for a skip's reason key.
  static QString ActionText(TItemAction action);
  static QString ReasonText(const std::string& reason);
  // Whether a row changes the destination (or fails trying): the rows "Show only changes" keeps.
  static bool IsChange(TItemAction action);
  // The folder a double-click opens: the nearest existing folder of the item's source.
  static QString SourceFolder(const std::string& source);

  // The rows as shown now (filtered and sorted).
  int RowCount() const;
  QString Cell(int row, int column) const;
  void OpenSourceFolder(int row);

  QTableView* tvItems = nullptr;
  QCheckBox* cbChangesOnly = nullptr;
  QLabel* laActions = nullptr;  // how many rows of each action
  QLabel* laCounts = nullptr;
  QPushButton* btRestore = nullptr;  // accepts: the caller starts the real run
  QPushButton* btClose = nullptr;

 private:
  QStandardItemModel* FModel = nullptr;
  QSortFilterProxyModel* FProxy = nullptr;
  void ApplyFilter();
  void FitColumns();
};

}  // namespace qv
