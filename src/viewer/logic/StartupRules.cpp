#include "StartupRules.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace weftview {

bool IsHelpRequest(const QStringList& arguments) {
  if (arguments.size() < 2) return false;
  QString first = arguments.at(1);
  auto isDecoration = [](QChar c) { return c == u'/' || c == u'-'; };
  qsizetype begin = 0, end = first.size();
  while (begin < end && isDecoration(first.at(begin))) ++begin;
  while (end > begin && isDecoration(first.at(end - 1))) --end;
  return first.mid(begin, end - begin) == QStringLiteral("?");
}

QString UsageCaption() { return QString::fromLatin1(kProgramName) + QStringLiteral(" command-line parameters"); }

QString UsageMessage(const QString& executableName) {
  static const QString usage = QStringLiteral(
      "[script.sw|serialized.swt|input.dat] [...] (in any order)\n\nFor example:\n\n"
      "  %SELF% serialized.swt\t\t- load serialized binary tree\n"
      "  %SELF% script.sw\t\t- illustrate a script\n"
      "  %SELF% script.sw input.dat\t- modell a file\n"
      "  %SELF% input.dat\t\t- prompt for a script and modell if confirmed");
  const QString name = QString::fromLatin1(kProgramName);
  QString message = name + QStringLiteral(" command-line parameters:\n\n  ") + name.toLower() + u' ' + usage + QStringLiteral("\n\n") +
                    QString::fromLatin1(kProjectWebPage);
  return message.replace(QStringLiteral("%SELF%"), executableName.toLower());
}

QString SettingsFilePath(const QString& programPath) {
  const QFileInfo program(programPath);
  const QString fileName = program.completeBaseName() + QStringLiteral(".ini");
  if (QFileInfo(program.absolutePath()).isWritable()) return program.absoluteDir().filePath(fileName);
  return QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)).filePath(fileName);
}

QString PathExtension(const QString& path) {
  const qsizetype separator = path.lastIndexOf(QDir::separator());
  const qsizetype dot = path.lastIndexOf(u'.');
  return dot > separator ? path.mid(dot) : QString();
}

OpenRequest ClassifyPaths(const QStringList& paths, const std::function<bool(const QString&)>& isDirectory) {
  OpenRequest request;
  for (const QString& path : paths) {
    const QString extension = PathExtension(path);
    if (extension == QStringLiteral(".sw")) {
      request.Script = path;
    } else if (extension == QStringLiteral(".swt")) {
      request.Tree = path;
    } else if (request.Data.isEmpty() && !isDirectory(path)) {
      request.Data = path;
    }
  }
  return request;
}

OpenAction DecideOpen(const OpenRequest& request, const QString& rememberedScript) {
  if (request.Data.isEmpty()) {
    if (!request.Tree.isEmpty()) return OpenAction::LoadTree;
    return request.Script.isEmpty() ? OpenAction::Nothing : OpenAction::IllustrateModel;
  }
  if (!request.Script.isEmpty()) return OpenAction::ModelData;
  return rememberedScript.isEmpty() ? OpenAction::AskScriptAndModel : OpenAction::ModelWithRemembered;
}

}  // namespace weftview
