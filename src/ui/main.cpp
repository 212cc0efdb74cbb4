// SPDX-License-Identifier: Apache-2.0
// The desktop program: translation first, then the application, then the main window.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "base/Startup.h"
#include "base/Translation.h"
#include "ui/WinUtils.h"
#include "ui/MainForm.h"

int main(int argc, char* argv[]) {
  qv::InitTranslation(qv::CommandLineArgs(argc, argv), "Quorvex5/", "Quorvex.cfg", {"qtbase"});

  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvex-restore");
  // No display name: Qt would add it to every title ("Restore files from backup — ...").
  QApplication::setWindowIcon(qv::ProgramIcon());
  QApplication::setDesktopFileName("io.quorvex.Restore");  // the installed desktop entry

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
