// A main window driven by a test: a scripted prompter, settings and scratch files of its own.
#pragma once

#include <QApplication>
#include <QStackedWidget>

#include "MainWindow.h"
#include "ScriptedPrompter.h"
#include "ViewerTestSupport.h"

namespace weftview::test {

struct WindowFixture {
  ScratchFiles Files;
  ScriptedPrompter Prompter;
  MainWindow Window{Files.Path(QStringLiteral("weftview.ini")), &Prompter};
  QSignalSpy Finished{&Window.Run(), &RunController::Finished};

  WindowFixture() {
    Window.show();
    // Shortcuts reach an active window only; a display without a window manager activates none.
    QApplication::setActiveWindow(&Window);
  }
  int Wait() { return WaitForOutcome(Finished); }
  QString Page() const { return Window.findChild<QStackedWidget*>()->currentWidget()->objectName(); }
};

}  // namespace weftview::test
