// SPDX-License-Identifier: Apache-2.0
#pragma once
// Window placement, message boxes and the shell operations of the desktop program.
#include <functional>

#include <QIcon>
#include <QMessageBox>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QUrl>

class QWidget;

namespace qv {

// Modal results as the dialogs of this program return them.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4,
                          mrIgnore = 5, mrYes = 6, mrNo = 7 };

// Margins that keep a placed window clear of the work area's edges.
void FitIntoRect(int& left, int& top, int height, int width, const QRect& area);
// The same against the work area of the monitor nearest to (left, top).
void FitIntoWorkArea(int& left, int& top, int height, int width);
// Moves a top-level window into the work area of its nearest monitor.
void PlaceDialog(QWidget* form);
// Places a window at pos (fitted into the work area), or centres it when both are negative.
void PlaceAt(QWidget* form, const QPoint& pos);
void CenterOnScreen(QWidget* form);
// Screen position of the lower right corner of a control; message boxes of a run go there.
QPoint ControlCornerPos(const QWidget* control);

// The program's icon: from the icon theme where it is installed, else the copy built in.
QIcon ProgramIcon();

// Width a dialog needs so that the window manager can show its whole title.
int TitleWidth(const QString& title);
// A standard message dialog. Both coordinates of position negative centre it. A positive
// timeout closes an unanswered dialog after that many seconds with the result OK.
int MessageDialogAt(const QString& caption, const QString& message, QMessageBox::Icon kind,
                    int timeoutSeconds, const QPoint& position,
                    QMessageBox::StandardButton defaultButton,
                    QMessageBox::StandardButtons buttons);
void InfoDialog(const QString& caption, const QString& message, const QPoint& position = {-1, -1});
void ErrorDialog(const QString& caption, const QString& message, const QPoint& position = {-1, -1});
// Yes/No question; true for Yes.
bool ConfirmDialog(const QPoint& position, const QString& message,
                   QMessageBox::StandardButton defaultButton = QMessageBox::Yes);

// Shell operations on the freedesktop.org desktop.
enum class TShellOperation { soCopy, soDelete };
bool ShellFileOperation(QWidget* owner, const QString& from, const QString& to,
                        bool toTrash, TShellOperation operation, const QString& progressTitle);
bool ShellCopyFile(QWidget* owner, const QString& source, const QString& dest, bool silent,
                   const QString& progressTitle);
bool ShellDeleteFile(QWidget* owner, const QString& path, const QString& progressTitle,
                     bool toRecycleBin);
// Shell links are symbolic links here: the target is the link's final target; the other
// three values have no equivalent and stay empty.
bool ResolveShortcut(const QString& linkFile, QString& target, QString& arguments,
                     QString& description, QString& workingDir);

// UTF-8 std::string to QString and back.
// Opens a folder or file in the desktop's file manager (QDesktopServices); tests replace it.
extern std::function<bool(const QUrl&)> OpenInFileManager;

inline QString QStr(const std::string& s) { return QString::fromStdString(s); }
inline std::string StdStr(const QString& s) { return s.toStdString(); }

}  // namespace qv
