// SPDX-License-Identifier: Apache-2.0
#pragma once
// Picks a folder by browsing the folder tree; keeps a history and its geometry in the
// settings file, and can create and delete folders (for good or into the trash).
#include <QDialog>
#include <QStringList>
#include <QStyle>

class QCheckBox;
class QComboBox;
class QLabel;
class QLayout;
class QMenu;
class QAction;
class QPushButton;
class QSplitter;
class QToolButton;

namespace qv {

class TShellTreeView;
class TShellListView;

class TShellDirDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TShellDirDialog(QWidget* parent = nullptr);
  ~TShellDirDialog() override;  // writes the settings

  // True on OK; Dir then holds the chosen path with a trailing "/" (empty stays empty).
  bool Execute(const QString& ATitle, bool Hidden, bool FileView, const QString& HomeDir, QString& Dir);
  void LoadFromIni(const QString& IniName, const QString& Section);
  void SaveToIni();

  QStringList History() const;
  void AddToHistory(const QString& dir);
  void RemoveFromHistory(const QString& dir);
  void ShowFilePanel(bool show);

  // Actions of the buttons and the context menu.
  void GoUp();
  void GoHome();
  void CreateFolder();
  void DeleteFolder();
  void RefreshTree();
  void SetPlace(const QString& root);

  static constexpr int HistoryLimit = 15;  // keys read back

  QWidget* PanelLeft = nullptr;
  QWidget* panRoot = nullptr;
  QToolButton* spbDesktop = nullptr;
  QToolButton* spbMyFiles = nullptr;
  QToolButton* spbComputer = nullptr;
  QToolButton* spbNetwork = nullptr;
  TShellTreeView* ShellTreeView = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* cbxSelectedDir = nullptr;
  QCheckBox* cbxFiles = nullptr;
  QToolButton* spbHome = nullptr;
  QToolButton* spbUp = nullptr;
  QToolButton* spbNew = nullptr;
  QPushButton* btbOK = nullptr;
  QPushButton* btbCancel = nullptr;
  QSplitter* Splitter = nullptr;
  QWidget* PanelRight = nullptr;
  TShellListView* ShellListView = nullptr;
  QMenu* PopupMenu = nullptr;
  QAction* itmCreate = nullptr;
  QAction* itmDelete = nullptr;
  QAction* itmUpdate = nullptr;
  QAction* cancel1 = nullptr;

  QString FIniName;
  QString FIniSection;
  QString FDefaultDir;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildFolderPanel();
  QWidget* BuildPlaces();
  // A button of the places column that shows the tree from root.
  QToolButton* PlaceButton(const char* name, const char* text, QStyle::StandardPixmap icon, const char* root);
  QLayout* BuildDirectoryRow();
  QLayout* BuildButtonRow();
  QToolButton* SmallButton(const char* name, QStyle::StandardPixmap icon, const char* hint);
  void BuildFilePanel();
  void BuildPopupMenu();
  void ConnectActions();
  void TreeSelectionChanged();
  void FocusTree();
  void UpdateComboStyle();
};

}  // namespace qv
