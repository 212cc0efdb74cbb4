// SPDX-License-Identifier: Apache-2.0
#pragma once
// Settings of the timestamp comparison: tolerance and the one-hour allowance.
#include <QDialog>
#include <QPoint>

class QGroupBox;
class QRadioButton;
class QSpinBox;
class QCheckBox;
class QPushButton;
class QLabel;
class QLayout;

namespace qv {

class TTimeCompareDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TTimeCompareDialog(QWidget* parent = nullptr);

  // True on OK; only then are the four values written back.
  bool Execute(const QPoint& Pos, bool BottomPos, bool ShowDiff, bool ShowSize, int& ADiff,
               bool& ADlSt, bool& AExact, bool& ACSize);
  // Centred, with the allowance box and without the size group.
  bool Execute(int& ADiff, bool& ADlSt);

  QGroupBox* gbMode = nullptr;
  QRadioButton* rbNewer = nullptr;
  QRadioButton* rbExact = nullptr;
  QGroupBox* gbTime = nullptr;
  QLabel* laTimeDiff = nullptr;
  QSpinBox* edTimeDiff = nullptr;
  QCheckBox* cbDstIgnore = nullptr;
  QGroupBox* gbSize = nullptr;
  QCheckBox* cbSize = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;

 private:
  QWidget* BuildModeGroup();
  QWidget* BuildTimeGroup();
  QWidget* BuildSizeGroup();
  QLayout* BuildButtonRow();
};

}  // namespace qv
