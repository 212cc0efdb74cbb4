// SPDX-License-Identifier: Apache-2.0
#include "ui/TimeCompareDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
QString T(const char* msgid) { return QStr(Tr(msgid)); }
}  // namespace

TTimeCompareDialog::TTimeCompareDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("TimeCompareDialog");
  setWindowTitle(T("Settings for file comparison"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(BuildModeGroup());
  layout->addWidget(BuildTimeGroup());
  layout->addWidget(BuildSizeGroup());
  layout->addLayout(BuildButtonRow());
  layout->setSizeConstraint(QLayout::SetFixedSize);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* TTimeCompareDialog::BuildModeGroup() {
  gbMode = new QGroupBox(T("Compare mode"), this);
  gbMode->setObjectName("gbMode");
  auto* layout = new QVBoxLayout(gbMode);
  rbNewer = new QRadioButton(T("Backup only files with newer timestamps"), gbMode);
  rbExact = new QRadioButton(T("Backup all files with differing timestamps"), gbMode);
  rbNewer->setObjectName("rbNewer");
  rbExact->setObjectName("rbExact");
  rbNewer->setChecked(true);
  layout->addWidget(rbNewer);
  layout->addWidget(rbExact);
  // The restore never uses the compare mode; the group stays hidden.
  gbMode->setVisible(false);
  return gbMode;
}

QWidget* TTimeCompareDialog::BuildTimeGroup() {
  gbTime = new QGroupBox(T("Timestamp comparison"), this);
  gbTime->setObjectName("gbTime");
  auto* layout = new QVBoxLayout(gbTime);
  auto* row = new QHBoxLayout;
  laTimeDiff = new QLabel(T("Time comparison tolerance in s:"), gbTime);
  edTimeDiff = new QSpinBox(gbTime);
  edTimeDiff->setObjectName("edTimeDiff");
  edTimeDiff->setRange(1, 7200);
  edTimeDiff->setValue(2);
  laTimeDiff->setBuddy(edTimeDiff);
  row->addWidget(laTimeDiff);
  row->addWidget(edTimeDiff);
  row->addStretch();
  layout->addLayout(row);
  cbDstIgnore = new QCheckBox(T("Ignore 1 hour winter/summer time difference"), gbTime);
  cbDstIgnore->setObjectName("cbDstIgnore");
  layout->addWidget(cbDstIgnore);
  return gbTime;
}

QWidget* TTimeCompareDialog::BuildSizeGroup() {
  gbSize = new QGroupBox(T("Size comparison"), this);
  gbSize->setObjectName("gbSize");
  auto* layout = new QVBoxLayout(gbSize);
  cbSize = new QCheckBox(T("Compare size of uncompressed and unencrypted files if time stamps are identical"), gbSize);
  cbSize->setObjectName("cbSize");
  layout->addWidget(cbSize);
  return gbSize;
}

QLayout* TTimeCompareDialog::BuildButtonRow() {
  auto* row = new QHBoxLayout;
  row->addStretch();
  OKBtn = new QPushButton(T("OK"), this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton(T("Cancel"), this);
  CancelBtn->setObjectName("CancelBtn");
  row->addWidget(OKBtn);
  row->addWidget(CancelBtn);
  return row;
}

bool TTimeCompareDialog::Execute(const QPoint& Pos, bool BottomPos, bool ShowDiff, bool ShowSize,
                                 int& ADiff, bool& ADlSt, bool& AExact, bool& ACSize) {
  edTimeDiff->setValue(ADiff);
  cbDstIgnore->setVisible(ShowDiff);
  cbDstIgnore->setChecked(ADlSt);
  (AExact ? rbExact : rbNewer)->setChecked(true);
  gbSize->setVisible(ShowSize);
  cbSize->setChecked(ACSize);
  adjustSize();
  if (Pos.x() < 0 || Pos.y() < 0) {
    CenterOnScreen(this);
  } else {
    int left = Pos.x();
    int top = BottomPos ? Pos.y() - frameGeometry().height() : Pos.y();
    FitIntoWorkArea(left, top, frameGeometry().height(), frameGeometry().width());
    move(left, top);
  }
  edTimeDiff->setFocus();
  if (exec() != QDialog::Accepted) return false;
  ADiff = edTimeDiff->value();
  ADlSt = cbDstIgnore->isChecked();
  AExact = rbExact->isChecked();
  ACSize = cbSize->isChecked();
  return true;
}

bool TTimeCompareDialog::Execute(int& ADiff, bool& ADlSt) {
  bool exact = false, size = false;  // scratch values, dropped
  return Execute(QPoint(-1, -1), false, true, false, ADiff, ADlSt, exact, size);
}

}  // namespace qv
