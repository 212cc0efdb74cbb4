// SPDX-License-Identifier: Apache-2.0
#include "ui/WinUtils.h"

#include <QDesktopServices>

#include "restore/RestoreText.h"

#include "base/FormatUtils.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontMetrics>
#include <QGridLayout>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace qv {

std::function<bool(const QUrl&)> OpenInFileManager = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

void FitIntoRect(int& left, int& top, int height, int width, const QRect& area) {
  const TRect workArea{area.x(), area.y(), area.x() + area.width(), area.y() + area.height()};
  FitIntoWorkArea(left, top, height, width, workArea);
}

static QScreen* NearestScreen(const QPoint& p) {
  if (QScreen* s = QGuiApplication::screenAt(p)) return s;
  QScreen* best = QGuiApplication::primaryScreen();
  qint64 bestDist = -1;
  for (QScreen* s : QGuiApplication::screens()) {
    const QRect g = s->geometry();
    const int dx = p.x() < g.left() ? g.left() - p.x() : (p.x() > g.right() ? p.x() - g.right() : 0);
    const int dy = p.y() < g.top() ? g.top() - p.y() : (p.y() > g.bottom() ? p.y() - g.bottom() : 0);
    const qint64 d = qint64(dx) * dx + qint64(dy) * dy;
    if (bestDist < 0 || d < bestDist) { bestDist = d; best = s; }
  }
  return best;
}

void FitIntoWorkArea(int& left, int& top, int height, int width) {
  if (QScreen* s = NearestScreen({left, top})) FitIntoRect(left, top, height, width, s->availableGeometry());
}

void PlaceDialog(QWidget* form) {
  const QRect frame = form->frameGeometry();
  int left = frame.x(), top = frame.y();
  FitIntoWorkArea(left, top, frame.height(), frame.width());
  form->move(left, top);
}

void CenterOnScreen(QWidget* form) {
  QScreen* s = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
  if (!s) return;
  const QRect area = s->availableGeometry();
  const QSize size = form->frameGeometry().size();
  form->move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

void PlaceAt(QWidget* form, const QPoint& pos) {
  if (pos.x() < 0 && pos.y() < 0) {
    CenterOnScreen(form);
    return;
  }
  int left = pos.x(), top = pos.y();
  const QSize size = form->frameGeometry().size();
  FitIntoWorkArea(left, top, size.height(), size.width());
  form->move(left, top);
}

QPoint ControlCornerPos(const QWidget* control) {
  const QPoint corner(control->width(), control->height());
  return control->parentWidget() ? control->mapToGlobal(corner) : control->pos() + corner;
}

QIcon ProgramIcon() {
  const QIcon builtIn(":/icons/quorvex-restore.svg");
  return QIcon::fromTheme("io.quorvex.Restore", QIcon::fromTheme("quorvex-restore", builtIn));
}

int TitleWidth(const QString& title) {
  QString full = title;
  const QString name = QApplication::applicationDisplayName();
  if (!name.isEmpty() && !full.endsWith(name)) full += (full.isEmpty() ? "" : QString(" \u2014 ")) + name;
  QFont font = QApplication::font();
  font.setBold(true);  // title bars often draw bold
  // Room for the title bar's buttons and icon; never wider than a usual screen.
  return std::min(QFontMetrics(font).horizontalAdvance(full) + 140, 900);
}

int MessageDialogAt(const QString& caption, const QString& message, QMessageBox::Icon kind,
                    int timeoutSeconds, const QPoint& position,
                    QMessageBox::StandardButton defaultButton,
                    QMessageBox::StandardButtons buttons) {
  // Without a caption of its own a box bears the program's main title, never its file name.
  QMessageBox box(kind, caption.isEmpty() ? QStr(MsgMainCaption()) : caption,
                  message, buttons, QApplication::activeWindow());
  box.setDefaultButton(defaultButton);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  // A narrow box would have its title (with the program's name appended) cut in the middle.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(TitleWidth(box.windowTitle()), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  box.adjustSize();
  PlaceAt(&box, position);
  int button = QMessageBox::NoButton;
  if (timeoutSeconds <= 0) {
    button = box.exec();
  } else {
    // Unanswered for the whole time: closed as if OK had been chosen.
    bool answered = false;
    QObject::connect(&box, &QMessageBox::finished, [&](int r) { answered = true; button = r; });
    box.open();
    for (int polls = 0; polls < timeoutSeconds * 10 && !answered; ++polls) {
      QElapsedTimer t;
      t.start();
      while (!answered && t.elapsed() < 100) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    if (!answered) {
      box.close();
      return mrOk;
    }
  }
  switch (button) {
    case QMessageBox::Ok: return mrOk;
    case QMessageBox::Cancel: return mrCancel;
    case QMessageBox::Abort: return mrAbort;
    case QMessageBox::Retry: return mrRetry;
    case QMessageBox::Ignore: return mrIgnore;
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    default: return mrCancel;
  }
}

void InfoDialog(const QString& caption, const QString& message, const QPoint& position) {
  MessageDialogAt(caption, message, QMessageBox::Information, 0, position, QMessageBox::Ok, QMessageBox::Ok);
}

void ErrorDialog(const QString& caption, const QString& message, const QPoint& position) {
  MessageDialogAt(caption, message, QMessageBox::Critical, 0, position, QMessageBox::Ok, QMessageBox::Ok);
}

bool ConfirmDialog(const QPoint& position, const QString& message, QMessageBox::StandardButton defaultButton) {
  return MessageDialogAt(QString(), message, QMessageBox::Question, 0, position, defaultButton,
                         QMessageBox::Yes | QMessageBox::No) == mrYes;
}

static bool CopyTree(const QString& from, const QString& to) {
  const QFileInfo src(from);
  if (!src.isDir() || src.isSymLink()) {
    QString dest = to;
    if (QFileInfo(to).isDir()) dest = QDir(to).filePath(src.fileName());
    QFile::remove(dest);
    return QFile::copy(from, dest);
  }
  QString destDir = QFileInfo(to).isDir() ? QDir(to).filePath(src.fileName()) : to;
  if (!QDir().mkpath(destDir)) return false;
  bool ok = true;
  const auto entries = QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QFileInfo& e : entries) ok = CopyTree(e.filePath(), QDir(destDir).filePath(e.fileName())) && ok;
  return ok;
}

namespace {
// Qt 6.4 moves into "files" of the working folder when the home trash's parent is missing:
// make the home trash first, and accept only a move that landed in a trash's "files".
bool MoveToTrash(const QString& source) {
  QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (!QDir::isAbsolutePath(dataHome)) dataHome = QDir::homePath() + "/.local/share";
  const QString trash = dataHome + "/Trash";
  if (!QDir().mkpath(trash + "/files") || !QDir().mkpath(trash + "/info")) return false;
  QFile::setPermissions(trash, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QString inTrash;
  if (!QFile::moveToTrash(source, &inTrash)) return false;
  const bool inAFilesFolder = QDir::isAbsolutePath(inTrash) && QFileInfo(QFileInfo(inTrash).path()).fileName() == "files";
  if (inAFilesFolder && !QFileInfo::exists(source)) return true;
  if (!inTrash.isEmpty() && QFileInfo::exists(inTrash) && !QFileInfo::exists(source)) QFile::rename(inTrash, source);
  return false;
}
}  // namespace

bool ShellFileOperation(QWidget*, const QString& from, const QString& to, bool toTrash,
                        TShellOperation operation, const QString&) {
  QString source = from;
  while (source.size() > 1 && source.endsWith('/')) source.chop(1);
  if (source.isEmpty() || (!QFileInfo::exists(source) && !QFileInfo(source).isSymLink())) return false;
  if (operation == TShellOperation::soCopy) return !to.isEmpty() && CopyTree(source, to);
  if (toTrash) return MoveToTrash(source);
  const QFileInfo fi(source);
  if (fi.isDir() && !fi.isSymLink()) return QDir(source).removeRecursively();
  return QFile::remove(source);
}

bool ShellCopyFile(QWidget* owner, const QString& source, const QString& dest, bool,
                   const QString& progressTitle) {
  return ShellFileOperation(owner, source, dest, false, TShellOperation::soCopy, progressTitle);
}

bool ShellDeleteFile(QWidget* owner, const QString& path, const QString& progressTitle, bool toRecycleBin) {
  return ShellFileOperation(owner, path, QString(), toRecycleBin, TShellOperation::soDelete, progressTitle);
}

bool ResolveShortcut(const QString& linkFile, QString& target, QString& arguments,
                     QString& description, QString& workingDir) {
  const QFileInfo fi(linkFile);
  if (!fi.isSymLink()) return false;
  target = fi.canonicalFilePath();
  if (target.isEmpty()) target = fi.symLinkTarget();
  arguments.clear();
  description.clear();
  workingDir = QFileInfo(target).absolutePath();
  return !target.isEmpty();
}

}  // namespace qv
