// Start-up rules of the viewer: the help request and how paths given on the command line or
// dropped on the window are sorted into a script, a tree file and a data file.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace weftview {

inline constexpr const char* kProgramName = "Weftview";
inline constexpr const char* kApplicationTitle = "Skeinwork Weftview";
inline constexpr const char* kProjectWebPage = "https://github.com/skeinwork/skeinwork";
inline constexpr const char* kAuthorAddress = "mailto:skeinwork@localhost";

// Whether the arguments (the program's own path first) ask for help: the first argument with
// every "/" and "-" taken off both ends is "?".
bool IsHelpRequest(const QStringList& arguments);

// The text of the usage box; `executableName` is the running program's file name.
QString UsageMessage(const QString& executableName);
// The usage box's caption.
QString UsageCaption();

// The paths of one open request after sorting by extension (".sw" a script, ".swt" a tree file,
// compared with exact case; anything else data). A later script or tree file replaces an earlier
// one; only the first data path that is not a directory counts.
struct OpenRequest {
  QString Script;
  QString Tree;
  QString Data;
};
OpenRequest ClassifyPaths(const QStringList& paths,
                          const std::function<bool(const QString&)>& isDirectory);

// What an open request does.
enum class OpenAction {
  Nothing,
  LoadTree,           // load the tree file
  IllustrateModel,    // compile the script's model and show it
  ModelData,          // model the data file with the script
  ModelWithRemembered,// model the data file with the script of the previous run
  AskScriptAndModel,  // ask for a script, then model the data file with it
};
// `rememberedScript`: the script path of the window's previous run, or empty.
OpenAction DecideOpen(const OpenRequest& request, const QString& rememberedScript);

// The settings file: next to the program with the extension ".ini" when that folder is
// writable, else in the user's configuration folder.
QString SettingsFilePath(const QString& programPath);

// The extension of a path: from the last "." after the last separator, or empty.
QString PathExtension(const QString& path);

}  // namespace weftview
