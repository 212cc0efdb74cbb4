// SPDX-License-Identifier: Apache-2.0
#include "ui/PwdDlg.h"

#include <algorithm>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
constexpr int kWidth = 380;
constexpr int kDesignHeight = 186;
constexpr int kGroupHeight = 51;
constexpr int kGroupTop = 96;

QString D(const char* msgid) { return QStr(TrDialogs(msgid)); }
}  // namespace

TPasswordDialog::TPasswordDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("PasswordDialog");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  lblPrompt = new QLabel(this);
  lblPrompt->setObjectName("lblPrompt");
  lblPrompt->setGeometry(12, 8, kWidth - 24, 52);
  lblPrompt->setWordWrap(true);
  lblPrompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1 = new QLabel(D("Password:"), this);
  Label1->setObjectName("Label1");
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label1->setGeometry(12, 66, 100, 24);
  edtPwd = new QLineEdit(this);
  edtPwd->setObjectName("edtPwd");
  edtPwd->setEchoMode(QLineEdit::Password);
  edtPwd->setPlaceholderText(D("Password"));
  edtPwd->setGeometry(112, 64, kWidth - 124, 26);
  gbEncrypt = new QGroupBox(D("AES encryption depth:"), this);
  gbEncrypt->setObjectName("gbEncrypt");
  gbEncrypt->setGeometry(12, kGroupTop, kWidth - 24, kGroupHeight - 6);
  rbEncAuto = new QRadioButton(D("Automatic"), gbEncrypt);
  rbEnc128 = new QRadioButton(D("128 bit"), gbEncrypt);
  rbEnc256 = new QRadioButton(D("256 bit"), gbEncrypt);
  rbEncAuto->setObjectName("rbEncAuto");
  rbEnc128->setObjectName("rbEnc128");
  rbEnc256->setObjectName("rbEnc256");
  const int third = (kWidth - 40) / 3;
  rbEncAuto->setGeometry(8, 18, third, 22);
  rbEnc128->setGeometry(8 + third, 18, third, 22);
  rbEnc256->setGeometry(8 + 2 * third, 18, third, 22);
  btnSkip = new QPushButton(D("Skip"), this);
  btnSkip->setObjectName("btnSkip");
  OKBtn = new QPushButton(D("OK"), this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(D("Cancel"), this);
  CancelBtn->setObjectName("CancelBtn");
  connect(OKBtn, &QPushButton::clicked, this, [this] { done(mrOk); });
  connect(CancelBtn, &QPushButton::clicked, this, [this] { done(mrCancel); });
  connect(btnSkip, &QPushButton::clicked, this, [this] { done(mrYes); });
  Hgt = kDesignHeight;
  LayoutFor(true);
}

void TPasswordDialog::reject() { done(mrCancel); }

void TPasswordDialog::LayoutFor(bool showGroup) {
  const int height = showGroup ? Hgt : Hgt - kGroupHeight;
  const int width = std::max(kWidth, TitleWidth(windowTitle()));  // the whole title stays readable
  setFixedSize(width, height);
  const int top = height - 40;
  btnSkip->setGeometry(12, top, 90, 28);
  OKBtn->setGeometry(width - 196, top, 90, 28);
  CancelBtn->setGeometry(width - 100, top, 90, 28);
}

int TPasswordDialog::Execute(const QString& Title, const QString& Prompt, bool Skip, bool Enc,
                             std::string& Pwd, int& EncMode) {
  setWindowTitle(Title);
  lblPrompt->setText(Prompt);
  edtPwd->setText(QStr(Pwd));
  btnSkip->setVisible(Skip);
  gbEncrypt->setVisible(Enc);
  LayoutFor(Enc);
  (EncMode == 1 ? rbEnc128 : EncMode == 2 ? rbEnc256 : rbEncAuto)->setChecked(true);
  CenterOnScreen(this);
  edtPwd->setFocus();
  const int result = exec();
  if (result != mrOk) return result == mrYes ? mrYes : mrCancel;
  Pwd = StdStr(edtPwd->text());
  if (Enc) EncMode = rbEnc128->isChecked() ? 1 : rbEnc256->isChecked() ? 3 : 0;
  return mrOk;
}

int TPasswordDialog::Execute(const QString& Title, const QString& Prompt, std::string& Pwd) {
  int scratch = 0;
  return Execute(Title, Prompt, false, false, Pwd, scratch);
}

int QueryPassword(const QString& title, const QString& prompt, bool showSkip, int& encMode,
                  std::string& pwd, bool showDepth) {
  QPointer<TPasswordDialog> dialog = new TPasswordDialog(QApplication::activeWindow());
  const int result = dialog->Execute(title, prompt, showSkip, showDepth, pwd, encMode);
  // Gone with its question: a dialog left for later can still be the active window and so
  // the parent of the next box, which it would then take with it while that box is shown.
  delete dialog.data();
  return result;
}

}  // namespace qv
