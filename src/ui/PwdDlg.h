// SPDX-License-Identifier: Apache-2.0
#pragma once
// Asks for the password of an encrypted backup file, with Skip and an optional depth group.
#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QGroupBox;
class QRadioButton;
class QPushButton;

namespace qv {

class TPasswordDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TPasswordDialog(QWidget* parent = nullptr);

  // Returns 1 (OK), 2 (Cancel, also Escape or the title bar) or 6 (Skip). Pwd is the text as
  // UTF-8; the session turns it into the backup's 8-bit code page. Pwd and EncMode
  // change only on OK; EncMode only when the depth group was shown.
  int Execute(const QString& Title, const QString& Prompt, bool Skip, bool Enc,
              std::string& Pwd, int& EncMode);
  int Execute(const QString& Title, const QString& Prompt, std::string& Pwd);

  void reject() override;

  QLabel* lblPrompt = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* edtPwd = nullptr;
  QGroupBox* gbEncrypt = nullptr;
  QRadioButton* rbEncAuto = nullptr;
  QRadioButton* rbEnc128 = nullptr;
  QRadioButton* rbEnc256 = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QPushButton* btnSkip = nullptr;
  int Hgt = 0;  // full client height as designed

 private:
  void LayoutFor(bool showGroup);
};

// A fresh dialog per question, released afterwards.
int QueryPassword(const QString& title, const QString& prompt, bool showSkip, int& encMode,
                  std::string& pwd, bool showDepth);

}  // namespace qv
