// The desktop program: translation first, then the application, then the main window.
#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#include "base/Startup.h"
#include "base/Translation.h"
#include "ui/MainForm.h"

int main(int argc, char* argv[]) {
  qv::InitTranslation(qv::CommandLineArgs(argc, argv), "Quorvex5/", "Quorvex.cfg", {"qtbase"});

  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvex-restore");
  QApplication::setApplicationDisplayName(QString::fromStdString(qv::Tr("Restore Quorvex files")));
  // The installed icon theme first; the copy built into the program otherwise.
  QApplication::setWindowIcon(QIcon::fromTheme("quorvex-restore", QIcon(":/icons/quorvex-restore.svg")));
  QApplication::setDesktopFileName("quorvex-restore");

  // Qt's own texts (standard buttons, file dialogs) in the chosen language.
  QTranslator qtTranslator;
  const QString lang = QString::fromStdString(qv::LanguageCode());
  if (!lang.isEmpty() &&
      qtTranslator.load("qtbase_" + lang, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTranslator);

  qv::TMainForm mainForm;
  mainForm.show();
  return app.exec();
}
