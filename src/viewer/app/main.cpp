// weftview: the Skeinwork viewer. Arguments are paths to open (a script, a tree file, a data
// file, in any order) or a help request.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include <cstdio>

#include "MainWindow.h"
#include "MismatchInfo.h"
#include "StartupRules.h"
#include "SwModelling.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  if (weftview::IsHelpRequest(arguments)) {
    const QString usage =
        weftview::UsageMessage(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    std::fputs(qPrintable(usage + u'\n'), stdout);
    std::fflush(stdout);
    QMessageBox::information(nullptr, weftview::UsageCaption(), usage);
    return 0;
  }
  QApplication::setApplicationName(QStringLiteral("weftview"));
  QApplication::setOrganizationName(QStringLiteral("Skeinwork"));
  // Mismatches carry the input around their place, which the failure page shows.
  weftview::InstallMismatchInfoHook();
  weftview::MainWindow window(weftview::SettingsFilePath(QCoreApplication::applicationFilePath()));
  window.SetStartupPaths(arguments.mid(1));
  window.show();
  return QApplication::exec();
}
