// The edit-and-remodel loop as a user meets it: the failure page with the input around the
// failure, the script editor's keys, saving and its failures, and remodelling from the editor.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QTreeView>

#include "DumpPane.h"
#include "FailurePanel.h"
#include "MainWindow.h"
#include "MismatchInfo.h"
#include "ScriptEditor.h"
#include "ScriptedPrompter.h"
#include "ViewerTestSupport.h"
#include "WindowFixture.h"

using namespace weftview;
using namespace weftview::test;

namespace {

// Nine fixed bytes, then anything up to and with a "Q", then an "X".
const char* const kPaddedScript =
    "Skeinwork 0.79 | padded\n\n== Model ==\n"
    "1 \"magic\" = ABCDEFGHI\n"
    "2 \"pad\" =\n"
    "  END = Q\n"
    "3 \"tail\" = X\n";
// Lines of a key letter "k" and a digit.
const char* const kLinesScript =
    "Skeinwork 0.79 | lines\n\n== Model ==\n"
    "1 \"rows\" =\n"
    "  END? eof\n"
    "  LINE \"row\"\n"
    "    1 \"key\" = k\n"
    "    2 \"digit\" % [0-9]\n";

// What makes the kind 7 of kKindScript a known one.
const char* const kFixedKind = "[1237]\n  END? eof";

struct Fixture : WindowFixture {
  ScriptEditor* OpenEditor() {
    Window.findChild<QAction*>(QStringLiteral("btTScriptMemo"))->trigger();
    return Window.ScriptEditorIfAny();
  }
};

// An editor alone over a scratch file.
struct EditorFixture {
  ScratchFiles Files;
  ScriptedPrompter Prompter;
  ScriptEditor Editor{Prompter, nullptr};
  QString Path;

  explicit EditorFixture(const QByteArray& text) {
    Path = Files.Write(QStringLiteral("edited.sw"), text);
    Editor.Open(Path, {});
    Editor.show();
  }
  QByteArray OnDisk() const {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
  }
};

}  // namespace

class ScriptLoopTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallMismatchInfoHook(); }

  void failurePage_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("position");      // where the current stream's marker stands
    QTest::addColumn<qint64>("excerptStart");  // the current dump's first offset
    QTest::addColumn<qint64>("excerptSize");
    QTest::addColumn<qint64>("globalPosition");  // -1: no global dump
    QTest::addColumn<int>("nodeLine");           // the failing model node's line in the file
    QTest::addColumn<QString>("partialTree");    // the selected node's path, the count of top nodes
    const QByteArray tail(990, 'Y');
    QTest::newRow("offset 10") << QByteArray(kPaddedScript) << QByteArray("ABCDEFGHIQY") + tail << qint64(10)
                               << qint64(0) << qint64(640) << qint64(-1) << 7 << "pad 2";
    QTest::newRow("offset 5000 of 6000") << QByteArray(kPaddedScript)
                                         << QByteArray("ABCDEFGHI") + QByteArray(4990, 'a') + "QY" + QByteArray(999, 'Y')
                                         << qint64(5000) << qint64(4680) << qint64(640) << qint64(-1) << 7 << "pad 2";
    QTest::newRow("inside a line") << QByteArray(kLinesScript) << QByteArray("k1\nk2\nkx\nk3\n") << qint64(1)
                                   << qint64(0) << qint64(2) << qint64(6) << 8 << "rows/row/key 1";
  }
  void failurePage() {
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, data);
    QFETCH(qint64, position);
    QFETCH(qint64, excerptStart);
    QFETCH(qint64, excerptSize);
    QFETCH(qint64, globalPosition);
    Fixture f;
    f.Window.OpenFiles({f.Files.Write("model.sw", script), f.Files.Write("input.dat", data)});
    QCOMPARE(f.Wait(), kRunFailed);
    QCOMPARE(f.Page(), QStringLiteral("pnModellingError"));
    FailurePanel* panel = f.Window.FailurePage();
    QVERIFY(!panel->ErrorName().isEmpty());
    QVERIFY(!panel->ErrorName().startsWith(u'E'));
    QVERIFY(!panel->MessageText().isEmpty());
    QVERIFY(!panel->MessageText().contains(QStringLiteral(", input: ")));
    DumpPane* dump = panel->CurrentDump();
    QCOMPARE(dump->CurrentOffset(), position);
    // The dump holds exactly the excerpt: one byte before it or after it is out of bounds.
    QVERIFY(dump->GoTo(excerptStart).isEmpty());
    QVERIFY(dump->GoTo(excerptStart + excerptSize).isEmpty());
    QVERIFY(!dump->GoTo(excerptStart + excerptSize + 1).isEmpty());
    if (excerptStart > 0) QVERIFY(!dump->GoTo(excerptStart - 1).isEmpty());
    QCOMPARE(panel->GlobalShown(), globalPosition >= 0);
    if (globalPosition >= 0) {
      QCOMPARE(panel->GlobalDump()->CurrentOffset(), globalPosition);
      QVERIFY(panel->GlobalDump()->GoTo(data.size()).isEmpty());
      QCOMPARE(panel->findChild<QLabel*>(QStringLiteral("lbGlobalStream"))->text(), QStringLiteral("Global stream:"));
    }
    // From the failure to the failing node's line in the editor.
    QFETCH(int, nodeLine);
    QVERIFY(panel->ScriptPlaceButton()->isVisible());
    panel->ScriptPlaceButton()->click();
    QVERIFY(f.Window.ScriptEditorIfAny()->isVisible());
    QCOMPARE(f.Window.ScriptEditorIfAny()->PositionText(), QStringLiteral("Line %1, column 1").arg(nodeLine));
    // The nodes made before the failure, the last one selected.
    QFETCH(QString, partialTree);
    QVERIFY(panel->PartialTreeButton()->isVisible());
    panel->PartialTreeButton()->click();
    QCOMPARE(f.Page(), QStringLiteral("pnTree"));
    QStringList path;
    for (QModelIndex index = f.Window.TreeView()->currentIndex(); index.isValid(); index = index.parent())
      path.prepend(index.data().toString());
    QCOMPARE(path.join(u'/') + u' ' + QString::number(f.Window.Model().rowCount()), partialTree);
    QVERIFY(f.Window.StatusText().startsWith(QStringLiteral("Partial tree: modelling failed at offset ")));
  }
  void memoKeys_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<int>("expectedLine");
    QTest::addColumn<int>("expectedColumn");
    QTest::addColumn<QString>("clipboard");  // "-": left alone
    const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier;
    QTest::newRow("Tab indents") << "a\nb" << 2 << 1 << int(Qt::Key_Tab) << none << "a\n  b" << 2 << 3 << "-";
    QTest::newRow("Ctrl+Tab does not") << "a\nb" << 2 << 1 << int(Qt::Key_Tab) << ctrl << "a\nb" << 2 << 1 << "-";
    QTest::newRow("Shift+Tab two blanks") << "   b" << 1 << 4 << int(Qt::Key_Backtab) << shift << " b" << 1 << 2 << "-";
    QTest::newRow("Shift+Tab one blank") << " b" << 1 << 1 << int(Qt::Key_Backtab) << shift << "b" << 1 << 1 << "-";
    QTest::newRow("Shift+Tab no blank") << "b" << 1 << 2 << int(Qt::Key_Backtab) << shift << "b" << 1 << 2 << "-";
    QTest::newRow("Ctrl+Shift+Up") << "a\nbc\nd" << 2 << 2 << int(Qt::Key_Up) << (ctrl | shift) << "bc\na\nd" << 1 << 2 << "-";
    QTest::newRow("Ctrl+Shift+Down") << "a\nbc\nd" << 2 << 2 << int(Qt::Key_Down) << (ctrl | shift) << "a\nd\nbc" << 3 << 2 << "-";
    QTest::newRow("Ctrl+Shift+Up on the first line") << "a\nb" << 1 << 1 << int(Qt::Key_Up) << (ctrl | shift) << "a\nb" << 1 << 1 << "-";
    QTest::newRow("Shift+Up moves no line") << "a\nb" << 2 << 1 << int(Qt::Key_Up) << shift << "a\nb" << 1 << 1 << "-";
    QTest::newRow("Ctrl+C copies the line") << "a\nb" << 1 << 1 << int(Qt::Key_C) << ctrl << "a\nb" << 1 << 1 << "a\r\n";
    QTest::newRow("Ctrl+X cuts the line") << "a\nb\nc" << 2 << 1 << int(Qt::Key_X) << ctrl << "a\nc" << 2 << 1 << "b\r\n";
    QTest::newRow("Ctrl+X on the last line") << "a\nb" << 2 << 1 << int(Qt::Key_X) << ctrl << "a" << 1 << 2 << "b\r\n";
    QTest::newRow("Ctrl+Shift+X cuts nothing") << "a\nb" << 2 << 1 << int(Qt::Key_X) << (ctrl | shift) << "a\nb" << 2 << 1 << "-";
  }
  void memoKeys() {
    QFETCH(QString, text);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    EditorFixture f(text.toUtf8());
    ScriptMemo* memo = f.Editor.Memo();
    memo->MoveCaret(line, column);
    QApplication::clipboard()->setText(QStringLiteral("-"));
    QTest::keyClick(memo, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTEST(memo->toPlainText(), "expectedText");
    QTEST(memo->CaretLine(), "expectedLine");
    QTEST(memo->CaretColumn(), "expectedColumn");
    QTEST(QApplication::clipboard()->text(), "clipboard");
  }

  void selectAll() {
    EditorFixture f("one\ntwo");
    QTest::keyClick(f.Editor.Memo(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(f.Editor.Memo()->textCursor().selectedText(), QStringLiteral("one\u2029two"));
    // With a selection, Ctrl+C copies just the selection.
    QTest::keyClick(f.Editor.Memo(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("one\ntwo"));
  }

  void windowKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("effect");  // remodel, hide, main, goto or none
    const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier;
    QTest::newRow("Ctrl+Return") << int(Qt::Key_Return) << ctrl << "remodel";
    QTest::newRow("Ctrl+Enter") << int(Qt::Key_Enter) << int(ctrl | Qt::KeypadModifier) << "remodel";
    QTest::newRow("Return") << int(Qt::Key_Return) << none << "none";
    QTest::newRow("Ctrl+Shift+Return") << int(Qt::Key_Return) << (ctrl | shift) << "none";
    QTest::newRow("Ctrl+F5") << int(Qt::Key_F5) << ctrl << "remodel";
    QTest::newRow("F5") << int(Qt::Key_F5) << none << "none";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << none << "hide";
    QTest::newRow("Shift+Escape") << int(Qt::Key_Escape) << shift << "hide";
    QTest::newRow("F4") << int(Qt::Key_F4) << none << "main";
    QTest::newRow("Ctrl+F4") << int(Qt::Key_F4) << ctrl << "none";
    QTest::newRow("Ctrl+G") << int(Qt::Key_G) << ctrl << "goto";
    QTest::newRow("Ctrl+Shift+G") << int(Qt::Key_G) << (ctrl | shift) << "none";
  }
  void windowKeys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    EditorFixture f("text");
    QSignalSpy remodel(&f.Editor, &ScriptEditor::RemodelRequested);
    QSignalSpy main(&f.Editor, &ScriptEditor::MainWindowRequested);
    QSignalSpy hidden(&f.Editor, &ScriptEditor::Hidden);
    QTest::keyClick(f.Editor.Memo(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QString effect = QStringLiteral("none");
    if (!remodel.isEmpty()) effect = QStringLiteral("remodel");
    if (!main.isEmpty()) effect = QStringLiteral("main");
    if (!hidden.isEmpty() && f.Editor.isHidden()) effect = QStringLiteral("hide");
    if (!f.Prompter.Log.isEmpty()) {
      QCOMPARE(f.Prompter.Log.last(), QStringLiteral("AskText: Go to | Enter 'line[ column]' number(s) to go to: | 1 1"));
      effect = QStringLiteral("goto");
    }
    QTEST(effect, "effect");
    // A consumed window key types nothing.
    if (effect != u"none") QCOMPARE(f.Editor.Memo()->toPlainText(), QStringLiteral("text"));
  }

  void goToLine_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("position");
    QTest::newRow("line and column") << "3 2" << "Line 3, column 2";
    QTest::newRow("line only") << "2" << "Line 2, column 1";
    QTest::newRow("beyond the end") << "9 9" << "Line 3, column 3";
    QTest::newRow("not a number") << "x 2" << "Line 1, column 2";
  }
  void goToLine() {
    QFETCH(QString, answer);
    EditorFixture f("ab\ncd\nef");
    f.Editor.Memo()->MoveCaret(1, 2);
    f.Prompter.TextAnswers << answer;
    // Clicking the position label asks too.
    QTest::mouseClick(f.Editor.findChild<QLabel*>(QStringLiteral("lbPos")), Qt::LeftButton);
    QCOMPARE(f.Prompter.Log, QStringList{QStringLiteral("AskText: Go to | Enter 'line[ column]' number(s) to go to: | 1 2")});
    QTEST(f.Editor.PositionText(), "position");
  }

  void autosaveKeepsTheCaretLine() {
    EditorFixture f("first  \nsecond  \nthird\t\n");
    QCOMPARE(f.Editor.HeaderText(), f.Path);
    f.Editor.Memo()->MoveCaret(2, 7);
    QTest::keyClick(f.Editor.Memo(), Qt::Key_X);
    QCOMPARE(f.Editor.HeaderText(), QStringLiteral("* ") + f.Path + QStringLiteral(" *"));
    QCOMPARE(f.Editor.PositionText(), QStringLiteral("Line 2, column 8"));
    auto* timer = f.Editor.findChild<QTimer*>();
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 10000);
    QMetaObject::invokeMethod(timer, "timeout");
    QCOMPARE(f.OnDisk(), QByteArray("first\nsecondx  \nthird\n"));
    QCOMPARE(f.Editor.HeaderText(), f.Path);
    QCOMPARE(f.Editor.PositionText(), QStringLiteral("Line 2, column 8"));
    QVERIFY(!timer->isActive());
  }

  void failedSaveKeepsTheEdits() {
    ScratchFiles files;
    QDir(files.Path({})).mkdir(QStringLiteral("gone"));
    const QString path = files.Write(QStringLiteral("gone/s.sw"), "text");
    ScriptedPrompter prompter;
    ScriptEditor editor(prompter, nullptr);
    QVERIFY(editor.Open(path, {}));
    QTest::keyClick(editor.Memo(), Qt::Key_Y);
    QVERIFY(QDir(files.Path(QStringLiteral("gone"))).removeRecursively());
    QVERIFY(!editor.Save());
    QCOMPARE(prompter.Log.size(), 1);
    QVERIFY(prompter.Log.first().startsWith(QStringLiteral("Error: ")));
    QVERIFY(editor.IsModified());
    QCOMPARE(editor.Memo()->toPlainText(), QStringLiteral("ytext"));
    QCOMPARE(editor.HeaderText(), QStringLiteral("* ") + path + QStringLiteral(" *"));
  }

  void readOnlyFile() {
    EditorFixture f("text");
    QFile::setPermissions(f.Path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QVERIFY(f.Editor.Open(f.Path, {}));
    QVERIFY(f.Editor.IsReadOnly());
    QVERIFY(f.Editor.findChild<QLabel*>(QStringLiteral("imReadOnly"))->isVisible());
    QTest::keyClick(f.Editor.Memo(), Qt::Key_Y);
    QTest::keyClick(f.Editor.Memo(), Qt::Key_Tab);
    QVERIFY(f.Editor.Save());
    QCOMPARE(f.Editor.Memo()->toPlainText(), QStringLiteral("text"));
    QCOMPARE(f.OnDisk(), QByteArray("text"));
  }

  void editAndRemodel() {
    Fixture f;
    const QString script = f.Files.Write("kinds.sw", kKindScript);
    f.Window.OpenFiles({script, f.Files.Write("seven.dat", "AB7")});
    QCOMPARE(f.Wait(), kRunFailed);
    ScriptEditor* editor = f.OpenEditor();
    QVERIFY(editor && editor->isVisible());
    QVERIFY(f.Window.findChild<QAction*>(QStringLiteral("btTScriptMemo"))->isChecked());
    QCOMPARE(editor->Memo()->toPlainText(), QString::fromLatin1(kKindScript));
    // Ctrl+Enter saves the edit and models again: the kind 7 is known now.
    QTextCursor cursor = editor->Memo()->document()->find(QStringLiteral("[123]"));
    cursor.insertText(QString::fromLatin1(kFixedKind));
    editor->Memo()->setTextCursor(cursor);
    QTest::keyClick(editor->Memo(), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(f.Page(), QStringLiteral("pnTree"));
    QVERIFY(editor->isVisible());
    QVERIFY(!editor->IsModified());
    // F5 in the main window saves first too.
    cursor = editor->Memo()->document()->find(QStringLiteral("[1237]"));
    cursor.insertText(QStringLiteral("[12]"));
    f.Window.findChild<QAction*>(QStringLiteral("btTReload"))->trigger();
    QCOMPARE(f.Wait(), kRunFailed);
    QVERIFY(!editor->IsModified());
    // The toggle hides it again.
    f.Window.findChild<QAction*>(QStringLiteral("btTScriptMemo"))->trigger();
    QVERIFY(editor->isHidden());
    QVERIFY(!f.Window.findChild<QAction*>(QStringLiteral("btTScriptMemo"))->isChecked());
  }

  void changedOnDisk() {
    Fixture f;
    const QString script = f.Files.Write("kinds.sw", kKindScript);
    f.Window.OpenFiles({script, f.Files.Write("seven.dat", "AB7")});
    QCOMPARE(f.Wait(), kRunFailed);
    ScriptEditor* editor = f.OpenEditor();
    // Another editor fixes the script: reloaded and modelled again.
    const QByteArray fixed = QByteArray(kKindScript).replace("[123]", kFixedKind);
    f.Files.Write(QStringLiteral("kinds.sw"), fixed);
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(editor->Memo()->toPlainText(), QString::fromLatin1(fixed));
    // This editor's own save models nothing.
    editor->Memo()->textCursor().insertText(QStringLiteral("\n"));
    QVERIFY(editor->Save());
    QTest::qWait(300);
    QVERIFY(f.Finished.isEmpty());
    // With unsaved edits it asks first; refused, the edits stay.
    editor->Memo()->textCursor().insertText(QStringLiteral("\n"));
    f.Files.Write(QStringLiteral("kinds.sw"), kKindScript);
    QTRY_COMPARE(f.Prompter.Log.size(), 1);
    QVERIFY(f.Prompter.Log.first().startsWith(QStringLiteral("Warning: Script Editor | ")));
    QVERIFY(editor->IsModified());
    QVERIFY(f.Finished.isEmpty());
  }

  void newScript() {
    Fixture f;
    const QString path = f.Files.Path(QStringLiteral("new.sw"));
    f.Prompter.FileAnswers << path;
    f.Window.NewScript();
    ScriptEditor* editor = f.Window.ScriptEditorIfAny();
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->HeaderText(), path);
    QVERIFY(editor->Memo()->toPlainText().endsWith(QStringLiteral("\n\n== Model ==\n")));
    // Typed lines are written with the file's CR LF.
    editor->Memo()->moveCursor(QTextCursor::End);
    QTest::keyClicks(editor->Memo(), QStringLiteral("1 \"a\" = A"));
    QVERIFY(editor->Save());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().endsWith("\r\n\r\n== Model ==\r\n1 \"a\" = A"));
  }
};

QTEST_MAIN(ScriptLoopTest)
#include "ScriptLoopTest.moc"
