// SPDX-License-Identifier: Apache-2.0
#pragma once
// A short message with an icon and a foldable list of detail lines.
#include <QDialog>
#include <QPoint>
#include <QStringList>

class QLabel;
class QListWidget;
class QPushButton;
class QWidget;

namespace qv {

enum TInfoIcon { iiInfo = 0, iiError = 1 };

class TDetailInfoDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TDetailInfoDialog(QWidget* parent = nullptr);

  void Execute(const QPoint& Apos, const QString& Title, const QString& Info, TInfoIcon InfoIcon,
               const QStringList& Details);

  static constexpr int TopHeight = 86;
  static constexpr int ListHeight = 94;

  QWidget* pnTop = nullptr;
  QLabel* imIcon = nullptr;
  QLabel* laInfo = nullptr;
  QPushButton* btDetails = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* btCopy = nullptr;
  QListWidget* lbDetails = nullptr;
  bool ShowDetails = false;

  // The size the user gave the dialog, kept for the next one and in the settings file.
  static void LoadSize(const QString& iniName);
  static void SaveSize(const QString& iniName);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void done(int result) override;

 private:
  void SetFolded(bool folded);
  void CopyToClipboard();
  static int SavedWidth;
  static int SavedListHeight;
};

void ShowDetailInfo(const QPoint& position, const QString& title, const QString& message,
                    const QStringList& details, TInfoIcon icon);

}  // namespace qv
