// SPDX-License-Identifier: Apache-2.0
#include "ui/DateEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <utility>

namespace qv {

TDateEdit::TDateEdit(QWidget* parent) : QDateEdit(parent) {
  // Two-digit years are read as the 1900s: the locale's format gets four.
  QString format = QLocale().dateFormat(QLocale::ShortFormat);
  if (!format.contains("yyyy")) format.replace("yy", "yyyy");
  setDisplayFormat(format);
}

bool TDateEdit::SelectPart(int index) {
  if (index < 0 || index >= sectionCount()) return false;
  setCurrentSectionIndex(index);
  setSelectedSection(sectionAt(index));
  return true;
}

bool TDateEdit::focusNextPrevChild(bool next) {
  // Tab after a part that moved on by itself stays on the part it moved to.
  if (std::exchange(FAdvanced, false) && next) return SelectPart(currentSectionIndex());
  if (SelectPart(currentSectionIndex() + (next ? 1 : -1))) return true;
  return QAbstractSpinBox::focusNextPrevChild(next);
}

void TDateEdit::focusInEvent(QFocusEvent* event) {
  QDateEdit::focusInEvent(event);
  FAdvanced = false;
  // Coming in by the keyboard: the first part (the last one backwards), ready to be typed over.
  if (event->reason() == Qt::BacktabFocusReason) SelectPart(sectionCount() - 1);
  else if (event->reason() != Qt::MouseFocusReason && event->reason() != Qt::PopupFocusReason) SelectPart(0);
}

void TDateEdit::mousePressEvent(QMouseEvent* event) {
  QDateEdit::mousePressEvent(event);
  // The part clicked on is typed over, not typed into.
  FAdvanced = false;
  SelectPart(currentSectionIndex());
}

void TDateEdit::keyPressEvent(QKeyEvent* event) {
  const bool plain = (event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) == 0;
  if (plain && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
    const bool right = event->key() == Qt::Key_Right;
    // Right after a part that moved on by itself stays, as Tab does.
    const bool stay = std::exchange(FAdvanced, false) && right;
    SelectPart(currentSectionIndex() + (stay ? 0 : right ? 1 : -1));
    event->accept();
    return;
  }
  const QString text = event->text();
  const bool separator = text.size() == 1 && !text[0].isLetterOrNumber() && text[0].isPrint();
  if (separator && std::exchange(FAdvanced, false)) {
    event->accept();  // the part already moved on: the separator is said
    return;
  }
  const int before = currentSectionIndex();
  QDateEdit::keyPressEvent(event);
  FAdvanced = !text.isEmpty() && !separator && currentSectionIndex() != before;
  if (separator || FAdvanced) SelectPart(currentSectionIndex());
}

}  // namespace qv
