// Helpers shared by the viewer's test programs: example paths, scratch files, the scripts whose
// runs warn, fail or take long, and a main window driven by a test.
#pragma once

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include "DataColumns.h"
#include "MainWindow.h"
#include "RunController.h"
#include "ScriptedPrompter.h"

namespace weftview::test {

inline QString ExamplePath(const char* name) {
  return QStringLiteral(SKEINWORK_EXAMPLES_DIR "/") + QString::fromLatin1(name);
}
inline QStringList WavExample() { return {ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")}; }

// "AB" then a kind: "1".."3" known, "9" warns ("odd kind"), anything else fails ("unknown kind").
inline const char* const kKindScript =
    "Skeinwork 0.79 | kinds\n\n== Model ==\n"
    "1 \"magic\" = AB\n"
    "2 \"kind\" =\n"
    "  \"known\" % [123]\n"
    "  WARN \"odd kind\" = 9\n"
    "  FAIL \"unknown kind\" % ANY\n";
// What a warning of kKindScript asks over "AB9".
inline const char* const kOddKindWarning =
    "Warning: Warning: Node Message | odd kind (TSwmWarn node message), input: @3 <eof>.";
// Walks its input one byte at a time: long enough over a few MiB to be cancelled.
inline const char* const kSlowScript = "Skeinwork 0.79 | slow\n\n== Model ==\nX \"x\"\n  END? eof\n";
// Matches its input without making a node.
inline const char* const kNoNodeScript = "Skeinwork 0.79 | nothing\n\n== Model ==\n= abc\n";

class ScratchFiles {
 public:
  // Writes the file, making the folders its name holds.
  QString Write(const QString& name, const QByteArray& content) {
    const QString path = mDir.filePath(name);
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly) ||
        file.write(content) != content.size())
      qFatal("cannot write %s", qPrintable(path));
    return path;
  }
  QString Path(const QString& name) const { return mDir.filePath(name); }

 private:
  QTemporaryDir mDir;
};

inline QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Waits for the controller's next Finished signal and returns its outcome (-1: none came).
inline int WaitForOutcome(QSignalSpy& finished, int milliseconds = 60000) {
  if (finished.isEmpty() && !finished.wait(milliseconds)) return -1;
  return finished.takeFirst().at(0).toInt();
}

// A main window with a scripted prompter, settings and scratch files of its own.
struct WindowFixture {
  ScratchFiles Files;
  ScriptedPrompter Prompter;
  MainWindow Window{Files.Path(QStringLiteral("weftview.ini")), &Prompter};
  QSignalSpy Finished{&Window.Run(), &RunController::Finished};

  // Opens the files as the command line does, if any, and stops the test program when that run
  // fails: the tests that start there need its tree.
  explicit WindowFixture(const QStringList& modelled = {}) {
    Window.show();
    // Shortcuts reach an active window only; a display without a window manager activates none.
    QApplication::setActiveWindow(&Window);
    if (!modelled.isEmpty() && Open(modelled) != kRunSucceeded)
      qFatal("%s did not model", qPrintable(modelled.join(u' ')));
  }
  int Open(const QStringList& paths) {
    Window.OpenFiles(paths);
    return Wait();
  }
  int Wait() { return WaitForOutcome(Finished); }
  QString Page() const { return Window.findChild<QStackedWidget*>()->currentWidget()->objectName(); }
  template <class Control = QAction>
  Control* Find(const char* name) const {
    return Window.findChild<Control*>(QString::fromLatin1(name));
  }
  QString CurrentItem() const { return Window.TreeView()->currentIndex().data().toString(); }
};

}  // namespace weftview::test
