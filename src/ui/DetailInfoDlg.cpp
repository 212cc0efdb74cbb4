#include "ui/DetailInfoDlg.h"

#include <QApplication>
#include <QListWidget>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>

#include "base/Translation.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {
constexpr int kWidth = 386;
QString D(const char* msgid) { return QStr(TrDialogs(msgid)); }
}  // namespace

TDetailInfoDialog::TDetailInfoDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("DetailInfoDialog");
  // No title-bar buttons: the dialog is closed with OK, Enter or Escape.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(D("Information"));
  pnTop = new QWidget(this);
  pnTop->setObjectName("pnTop");
  pnTop->setGeometry(0, 0, kWidth, TopHeight);
  imIcon = new QLabel(pnTop);
  imIcon->setObjectName("imIcon");
  imIcon->setGeometry(12, 12, 32, 32);
  laInfo = new QLabel(pnTop);
  laInfo->setObjectName("laInfo");
  laInfo->setGeometry(56, 8, kWidth - 56 - 110, TopHeight - 16);
  laInfo->setWordWrap(true);
  laInfo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  laInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
  OKBtn = new QPushButton(D("OK"), pnTop);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setGeometry(kWidth - 100, 12, 88, 28);
  OKBtn->setDefault(true);
  btDetails = new QPushButton(D("&Details"), pnTop);
  btDetails->setObjectName("btDetails");
  btDetails->setGeometry(kWidth - 100, 46, 88, 28);
  btDetails->setAutoDefault(false);
  lbDetails = new QListWidget(this);
  lbDetails->setObjectName("lbDetails");
  lbDetails->setGeometry(4, TopHeight, kWidth - 8, ListHeight - 4);
  lbDetails->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(btDetails, &QPushButton::clicked, this, [this] { SetFolded(ShowDetails); });
  SetFolded(true);
}

void TDetailInfoDialog::SetFolded(bool folded) {
  ShowDetails = !folded;
  // Glyph 0 while unfolded, 1 while folded.
  btDetails->setIcon(style()->standardIcon(folded ? QStyle::SP_ArrowDown : QStyle::SP_ArrowUp));
  lbDetails->setVisible(ShowDetails);
  setFixedSize(kWidth, TopHeight + (ShowDetails ? ListHeight : 0));
}

void TDetailInfoDialog::Execute(const QPoint& Apos, const QString& Title, const QString& Info,
                                TInfoIcon InfoIcon, const QStringList& Details) {
  const auto icon = InfoIcon == iiError ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxInformation;
  imIcon->setPixmap(style()->standardIcon(icon).pixmap(32, 32));
  SetFolded(true);
  if (!Title.isEmpty()) setWindowTitle(Title);
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
  if (dialog) dialog->deleteLater();
}

}  // namespace qv
