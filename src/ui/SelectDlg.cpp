// SPDX-License-Identifier: Apache-2.0
#include "ui/SelectDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

TSelectDialog::TSelectDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("SelectDialog");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  lbCaption = new QLabel(this);
  lbCaption->setObjectName("lbCaption");
  lbCaption->setWordWrap(true);
  lbCaption->move(10, 10);
}

void TSelectDialog::Prepare(const QString& title, const QString& text, const QStringList& captions,
                            QFont::Weight style) {
  setWindowTitle(title);
  QFont font = lbCaption->font();
  font.setWeight(style);
  lbCaption->setFont(font);
  lbCaption->setText(text);
  const int labelWidth = ClientWidth - 20;
  lbCaption->setGeometry(10, 10, labelWidth, lbCaption->heightForWidth(labelWidth));

  for (QPushButton* b : Buttons) delete b;
  Buttons.clear();
  const int n = int(captions.size()) + 1;  // every caption plus Cancel
  const int fullRows = (n - 1) / 3;
  const int lastRow = n - 3 * fullRows;
  int y = lbCaption->geometry().bottom() + 1 + 20;
  auto makeButton = [&](int index, int left) {
    const bool cancel = index == n - 1;
    auto* b = new QPushButton(cancel ? QStr(TrDialogs("Cancel")) : captions[index], this);
    b->setObjectName(QString("Button%1").arg(index));
    b->setProperty("tag", cancel ? -1 : index);
    b->setGeometry(left, y, ButtonWidth, ButtonHeight);
    b->setAutoDefault(false);
    b->setFocusPolicy(Qt::StrongFocus);
    connect(b, &QPushButton::clicked, this, [this, b] {
      Selection = b->property("tag").toInt();
      accept();
    });
    b->show();
    Buttons.push_back(b);
  };
  for (int row = 0; row < fullRows; ++row) {
    for (int col = 0; col < 3; ++col) makeButton(3 * row + col, col * 110 + 20);
    y += 30;
  }
  for (int c = 0; c < lastRow; ++c) makeButton(3 * fullRows + c, (3 - lastRow + c) * 110 + 20);
  for (size_t i = 1; i < Buttons.size(); ++i) setTabOrder(Buttons[i - 1], Buttons[i]);
  setFixedSize(ClientWidth, y + 40);
  Selection = -1;
}

int TSelectDialog::Execute(const QString& title, const QString& text, const QStringList& captions,
                           QFont::Weight style) {
  Prepare(title, text, captions, style);
  CenterOnScreen(this);
  Buttons.front()->setFocus();
  exec();  // Escape and the close box leave Selection at -1
  return Selection;
}

int SelectOption(const QString& title, const QString& text, QFont::Weight style, const QStringList& captions) {
  static QPointer<TSelectDialog> dialog;  // created on first use and kept
  if (!dialog) dialog = new TSelectDialog(QApplication::activeWindow());
  return dialog->Execute(title, text, captions, style);
}

}  // namespace qv
