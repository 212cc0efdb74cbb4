// SPDX-License-Identifier: Apache-2.0
#pragma once
// A date field that takes a typed date: entering a part replaces it, Tab and the arrow keys
// move to the next or previous part (and out of the field only past its last part), and a
// part that filled up and moved on by itself is not skipped by the separator or Tab typed
// after it. The year is always shown with four digits.
#include <QDateEdit>

namespace qv {

class TDateEdit : public QDateEdit {
  Q_OBJECT
 public:
  explicit TDateEdit(QWidget* parent = nullptr);

 protected:
  bool focusNextPrevChild(bool next) override;
  void focusInEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  bool FAdvanced = false;  // typing filled a part and the field moved on to the next one
  // Selects the part at index; false when there is none (the field's ends).
  bool SelectPart(int index);
};

}  // namespace qv
