// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a restore would do, item by item, decided by a dry run: shown before anything is written,
// with the choice to restore now or close.
#include <QDialog>
#include <QString>
#include <vector>

#include "restore/RestoreView.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace qv {

class TPreviewDialog : public QDialog {
  Q_OBJECT
 public:
  // showSet: the schedule mode, where each item comes from a set folder of its own.
  TPreviewDialog(const std::vector<TItemReport>& items, const QString& summary, bool showSet,
                 QWidget* parent = nullptr);

  // The words the table uses for an action.
  static QString ActionText(TItemAction action);

  QTableWidget* tvItems = nullptr;
  QLabel* laCounts = nullptr;
  QPushButton* btRestore = nullptr;  // accepts: the caller starts the real run
  QPushButton* btClose = nullptr;
};

}  // namespace qv
