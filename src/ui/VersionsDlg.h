// SPDX-License-Identifier: Apache-2.0
#pragma once
// The versions of one file across the backup sets: the user picks one and restores it to
// the destination or beside the file there, keeping both. Enter only searches: restoring is
// always a click on a button that names the file it writes.
#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "restore/VersionList.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QLabel;
class QLayout;

namespace qv {

// Where the versions of a file are searched: the backup root and the restored relative path.
struct TVersionSource {
  std::string Folder;
  std::string RelPath;
};

// The source of a file shown in the list. Which of its folders is the set folder is written
// nowhere, so the nearest ancestor is taken whose parent, as the backup root, holds the file
// in at least two sets (the schedule mode's masks apply); when none does, the file's own
// folder is the set and only this copy is found. The dialog lets the user correct both.
TVersionSource LocateVersionSource(const std::string& file, const std::string& setMask,
                                   const std::string& driveMask, bool unpackGz);

struct TVersionChoice {
  TVersionEntry Version;
  std::string RelPath;
  bool KeepBoth = false;  // restore beside an existing file instead of by the overwrite rule
  bool Replace = false;   // the user agreed to replace the existing file
};

class TVersionsDialog : public QDialog {
  Q_OBJECT
 public:
  TVersionsDialog(const std::string& setMask, const std::string& driveMask, bool unpackGz,
                  QWidget* parent = nullptr);

  // Shows the versions of relPath below folder (an empty relPath waits for the user's input).
  void Search(const std::string& folder, const std::string& relPath);
  // The folder a version is restored below, by its relative path: the buttons name the file.
  void SetDestination(const std::string& folder);
  // Where the picked version goes: the destination plus the searched relative path.
  std::string TargetPath() const;
  // The picked version and how to restore it; none when cancelled.
  std::optional<TVersionChoice> Execute();
  const std::vector<TVersionEntry>& Versions() const { return FVersions; }

  QLineEdit* edFolder = nullptr;
  QLineEdit* edRelPath = nullptr;
  QPushButton* btFind = nullptr;
  QTreeWidget* lvVersions = nullptr;
  QLabel* laCount = nullptr;
  QPushButton* btRestore = nullptr;
  QPushButton* btKeepBoth = nullptr;
  QPushButton* btCancel = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QLayout* BuildSearchFields();
  void BuildVersionList();
  QLayout* BuildButtonRow();
  void ConnectControls();
  std::string FSetMask, FDriveMask;
  bool FUnpackGz = true;
  std::vector<TVersionEntry> FVersions;
  std::string FSearchedRelPath;
  std::string FDestination;
  bool FKeepBoth = false;
  bool FReplace = false;
  void FindClick();
  void UpdateButtons();
  void Pick(bool keepBoth);
};

}  // namespace qv
