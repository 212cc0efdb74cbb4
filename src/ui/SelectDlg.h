// SPDX-License-Identifier: Apache-2.0
#pragma once
// A question with one button per choice plus Cancel, laid out in a right-aligned grid.
#include <QDialog>
#include <QFont>
#include <QStringList>
#include <vector>

class QLabel;
class QPushButton;

namespace qv {

class TSelectDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TSelectDialog(QWidget* parent = nullptr);

  // The index of the chosen caption, or -1 for Cancel or any other way of closing.
  int Execute(const QString& title, const QString& text, const QStringList& captions,
              QFont::Weight style = QFont::Normal);
  // Lays the dialog out without showing it (Execute does this first).
  void Prepare(const QString& title, const QString& text, const QStringList& captions,
               QFont::Weight style);

  static constexpr int ButtonWidth = 105;
  static constexpr int ButtonHeight = 26;
  static constexpr int ClientWidth = 350;

  QLabel* lbCaption = nullptr;
  std::vector<QPushButton*> Buttons;
  int Selection = -1;
};

int SelectOption(const QString& title, const QString& text, QFont::Weight style,
                 const QStringList& captions);

}  // namespace qv
