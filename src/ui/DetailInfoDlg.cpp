// SPDX-License-Identifier: Apache-2.0
#include "ui/DetailInfoDlg.h"

#include <algorithm>
#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

#include "base/IniFile.h"
#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
constexpr int kWidth = 386;
constexpr int kMinListHeight = 40;
QString D(const char* msgid) { return QStr(TrDialogs(msgid)); }
const char* const kSection = "DetailDialog";
}  // namespace

int TDetailInfoDialog::SavedWidth = kWidth;
int TDetailInfoDialog::SavedListHeight = TDetailInfoDialog::ListHeight;

void TDetailInfoDialog::LoadSize(const QString& iniName) {
  const TIniFile ini(StdStr(iniName));
  SavedWidth = int(std::clamp<int64_t>(ini.ReadInteger(kSection, "Width", kWidth), kWidth, 4000));
  SavedListHeight = int(std::clamp<int64_t>(ini.ReadInteger(kSection, "ListHeight", ListHeight), kMinListHeight, 3000));
}

void TDetailInfoDialog::SaveSize(const QString& iniName) {
  TIniFile ini(StdStr(iniName));
  ini.WriteInteger(kSection, "Width", SavedWidth);
  ini.WriteInteger(kSection, "ListHeight", SavedListHeight);
  ini.UpdateFile();
}

TDetailInfoDialog::TDetailInfoDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("DetailInfoDialog");
  // No title-bar buttons: the dialog is closed with OK, Enter or Escape.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(D("Information"));
  pnTop = new QWidget(this);
  pnTop->setObjectName("pnTop");
  pnTop->move(0, 0);
  imIcon = new QLabel(pnTop);
  imIcon->setObjectName("imIcon");
  imIcon->setGeometry(12, 12, 32, 32);
  laInfo = new QLabel(pnTop);
  laInfo->setObjectName("laInfo");

  laInfo->setWordWrap(true);
  laInfo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  laInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
  OKBtn = new QPushButton(D("OK"), pnTop);
  OKBtn->setObjectName("OKBtn");
  OKBtn->resize(88, 28);
  OKBtn->setDefault(true);
  btDetails = new QPushButton(D("&Details"), pnTop);
  btDetails->setObjectName("btDetails");
  btDetails->resize(88, 28);
  btDetails->setAutoDefault(false);
  btCopy = new QPushButton(D("&Copy"), pnTop);
  btCopy->setObjectName("btCopy");
  btCopy->setToolTip(D("Copy the message and the details to the clipboard"));
  btCopy->resize(88, 28);
  btCopy->setAutoDefault(false);
  lbDetails = new QListWidget(this);
  lbDetails->setObjectName("lbDetails");
  lbDetails->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  lbDetails->setSelectionMode(QAbstractItemView::ExtendedSelection);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(btDetails, &QPushButton::clicked, this, [this] { SetFolded(ShowDetails); });
  connect(btCopy, &QPushButton::clicked, this, &TDetailInfoDialog::CopyToClipboard);
  setSizeGripEnabled(true);
  resize(SavedWidth, TopHeight);
  SetFolded(true);
}

void TDetailInfoDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  // The buttons keep to the right edge; the message and the list take the rest.
  const int w = width();
  pnTop->resize(w, TopHeight);
  laInfo->setGeometry(56, 8, w - 56 - 200, TopHeight - 16);
  OKBtn->move(w - 100, 12);
  btDetails->move(w - 100, 46);
  btCopy->move(w - 194, 46);
  lbDetails->setGeometry(4, TopHeight, w - 8, std::max(0, height() - TopHeight - 4));
}

void TDetailInfoDialog::done(int result) {
  SavedWidth = width();
  if (ShowDetails) SavedListHeight = std::max(kMinListHeight, height() - TopHeight);
  QDialog::done(result);
}

void TDetailInfoDialog::CopyToClipboard() {
  QStringList lines{laInfo->text()};
  for (int i = 0; i < lbDetails->count(); ++i) lines << lbDetails->item(i)->text();
  QApplication::clipboard()->setText(lines.join('\n') + '\n');
}

void TDetailInfoDialog::SetFolded(bool folded) {
  ShowDetails = !folded;
  // Glyph 0 while unfolded, 1 while folded.
  btDetails->setIcon(style()->standardIcon(folded ? QStyle::SP_ArrowDown : QStyle::SP_ArrowUp));
  lbDetails->setVisible(ShowDetails);
  // Folded only the width can change; unfolded the list grows with the dialog.
  const int w = std::max(width(), kWidth);
  if (ShowDetails) {
    setMinimumSize(kWidth, TopHeight + kMinListHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(w, TopHeight + SavedListHeight);
  } else {
    if (isVisible() && height() > TopHeight) SavedListHeight = height() - TopHeight;
    setMinimumSize(kWidth, TopHeight);
    setMaximumSize(QWIDGETSIZE_MAX, TopHeight);
    resize(w, TopHeight);
  }
}

void TDetailInfoDialog::Execute(const QPoint& Apos, const QString& Title, const QString& Info,
                                TInfoIcon InfoIcon, const QStringList& Details) {
  const auto icon = InfoIcon == iiError ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxInformation;
  imIcon->setPixmap(style()->standardIcon(icon).pixmap(32, 32));
  SetFolded(true);
  if (!Title.isEmpty()) setWindowTitle(Title);
  resize(std::max(width(), TitleWidth(windowTitle())), height());
  laInfo->setText(Info);
  lbDetails->clear();
  lbDetails->addItems(Details);
  PlaceAt(this, Apos);
  OKBtn->setFocus();
  exec();
}

void ShowDetailInfo(const QPoint& position, const QString& title, const QString& message,
                    const QStringList& details, TInfoIcon icon) {
  QPointer<TDetailInfoDialog> dialog = new TDetailInfoDialog(QApplication::activeWindow());
  dialog->Execute(position, title, message, icon, details);
  delete dialog.data();  // gone with its message, never the parent of the next one
}

}  // namespace qv
