// weftview_screenshots OUTDIR EXAMPLESDIR: renders the viewer's main states to PNG files
// (start.png, tree.png, highlight.png, tree-menu.png, node.png, hexdump.png, extract.png, editor.png,
// failure.png), as the README shows them. Runs on any Qt platform, offscreen too.
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QAction>
#include <QLineEdit>
#include <QTreeView>

#include <cstdio>

#include "HexDumpWindow.h"
#include "ExtractWindow.h"
#include "MainWindow.h"
#include "NodeWindow.h"
#include "MismatchInfo.h"
#include "ScriptEditor.h"
#include "ScriptedPrompter.h"
#include "SwModelling.h"

namespace {

bool Save(QWidget& window, const QDir& dir, const char* name) {
  const QString path = dir.filePath(QString::fromLatin1(name));
  if (!window.grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: weftview_screenshots OUTDIR EXAMPLESDIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  const QDir examples(QString::fromLocal8Bit(argv[2]));
  QDir().mkpath(out.path());
  weftview::InstallMismatchInfoHook();

  weftview::ScriptedPrompter prompter;
  weftview::MainWindow window(out.filePath(QStringLiteral("screenshots.ini")), &prompter);
  window.resize(900, 560);
  window.show();
  bool ok = Save(window, out, "start.png");

  QSignalSpy finished(&window.Run(), &weftview::RunController::Finished);
  window.OpenFiles({examples.filePath(QStringLiteral("riff-wav.sw")), examples.filePath(QStringLiteral("sample.wav"))});
  if (finished.isEmpty() && !finished.wait(30000)) {
    std::fprintf(stderr, "the example run did not end\n");
    return 1;
  }
  window.TreeView()->expandAll();
  // The status bar as the pointer over the "chunks" node leaves it.
  const QModelIndex chunks = window.Model().index(2, 0, window.Model().index(0, 0));
  window.TreeView()->setCurrentIndex(chunks);
  window.ShowNodeInStatusBar(window.Model().NodeOf(chunks));
  QApplication::processEvents();
  ok = Save(window, out, "tree.png") && ok;

  // Names highlighted in two colours, and the node an offset search found.
  prompter.TextAnswers << QStringLiteral("size|id") << QStringLiteral("chunk*|samples") << QStringLiteral("= $24");
  window.EditHighlight(weftview::HighlightList::Red);
  window.EditHighlight(weftview::HighlightList::Green);
  window.FindByOffset();
  QApplication::processEvents();
  ok = Save(window, out, "highlight.png") && ok;

  // The tree popup over the "format" node.
  const QModelIndex format = window.Model().index(0, 0, chunks);
  QMenu* menu = window.TreeMenuFor(window.Model().NodeOf(format));
  menu->popup(window.TreeView()->viewport()->mapToGlobal(window.TreeView()->visualRect(format).center()));
  QApplication::processEvents();
  ok = Save(*menu, out, "tree-menu.png") && ok;
  menu->hide();

  // The node window of the format chunk's sample rate and the dump of its bytes.
  window.ShowNodeWindow(window.Model().NodeOf(window.Model().index(3, 0, format)));
  weftview::NodeWindow* node = window.NodeWindowIfAny();
  QApplication::processEvents();
  ok = Save(*node, out, "node.png") && ok;
  node->findChild<QPushButton*>(QStringLiteral("btView"))->click();
  QApplication::processEvents();
  ok = Save(*node->SharedDump(), out, "hexdump.png") && ok;

  // The extraction window over the chunks of the example, as F8 opens it there.
  window.findChild<QAction*>(QStringLiteral("btTExtractOnPath"))->trigger();
  if (auto* extraction = window.findChild<weftview::ExtractWindow*>()) {
    extraction->findChild<QLineEdit*>(QStringLiteral("edDataPath"))->setText(QStringLiteral("riff\\chunks\\chunk\\body"));
    extraction->findChild<QLineEdit*>(QStringLiteral("edNamePath"))->setText(QStringLiteral(".id"));
    extraction->resize(extraction->sizeHint().expandedTo(QSize(620, 0)));
    QApplication::processEvents();
    ok = Save(*extraction, out, "extract.png") && ok;
  } else {
    ok = false;
  }

  // The script editor beside it, the caret in the model.
  window.ShowScriptEditor(true);
  weftview::ScriptEditor* editor = window.ScriptEditorIfAny();
  editor->Memo()->MoveCaret(6, 3);
  QApplication::processEvents();
  ok = Save(*editor, out, "editor.png") && ok;
  window.ShowScriptEditor(false);

  // A file that is not a RIFF file: the failure page.
  window.OpenFiles({examples.filePath(QStringLiteral("riff-wav.sw")), examples.filePath(QStringLiteral("sample.bmp"))});
  if (finished.size() < 2 && !finished.wait(30000)) {
    std::fprintf(stderr, "the failing run did not end\n");
    return 1;
  }
  QApplication::processEvents();
  ok = Save(window, out, "failure.png") && ok;
  QFile::remove(out.filePath(QStringLiteral("screenshots.ini")));
  return ok ? 0 : 1;
}
