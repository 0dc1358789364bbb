// A main window driven by a test: a scripted prompter, settings and scratch files of its own.
#pragma once

#include <QAction>
#include <QApplication>
#include <QStackedWidget>
#include <QTreeView>

#include "MainWindow.h"
#include "ScriptedPrompter.h"
#include "ViewerTestSupport.h"

namespace weftview::test {

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
    if (!modelled.isEmpty() && Open(modelled) != kRunSucceeded) qFatal("%s did not model", qPrintable(modelled.join(u' ')));
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
