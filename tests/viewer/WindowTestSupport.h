// The main window as the window tests start it: shown and active, with a scripted prompter and
// settings of its own.
#pragma once

#include <QApplication>

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
};

}  // namespace weftview::test
