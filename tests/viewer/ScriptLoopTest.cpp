// The edit-and-remodel loop as a user meets it: the failure page with the input around the
// failure, the script editor's keys, saving and its failures, and remodelling from the editor.
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "DumpPane.h"
#include "FailurePanel.h"
#include "MismatchInfo.h"
#include "ScriptEditor.h"
#include "ViewerTestSupport.h"

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
  // The run of kKindScript over "AB7", which fails, and the editor opened from there.
  ScriptEditor* FailAndEdit() {
    if (Open({Files.Write("kinds.sw", kKindScript), Files.Write("seven.dat", "AB7")}) != kRunFailed) return nullptr;
    Find("btTScriptMemo")->trigger();
    return Window.ScriptEditorIfAny();
  }
};

// An editor alone over a scratch file.
struct EditorFixture {
  ScratchFiles Files;
  ScriptedPrompter Prompter;
  ScriptEditor Editor{Prompter, nullptr};
  QString Path;

  explicit EditorFixture(const QByteArray& text, const QString& name = QStringLiteral("edited.sw")) {
    Path = Files.Write(name, text);
    Editor.Open(Path, {});
    Editor.show();
  }
  QByteArray OnDisk() const { return FileBytes(Path); }
};

// The editor's text with a "|" where its caret stands.
QString TextWithCaret(const QPlainTextEdit& memo) {
  return memo.toPlainText().insert(memo.textCursor().position(), u'|');
}

}  // namespace

class ScriptLoopTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallMismatchInfoHook(); }

  void failurePage_data() {
    // "position": where the current stream's marker stands; "excerptStart": the current dump's
    // first offset; "globalPosition" -1: no global dump; "nodeLine": the failing model node's line
    // in the file; "partialTree": the selected node's path, the count of top nodes.
    AddColumns<QByteArray, QByteArray, qint64, qint64, qint64, qint64, int, QString>(
        {"script", "data", "position", "excerptStart", "excerptSize", "globalPosition", "nodeLine", "partialTree"});
    const QByteArray padded = "ABCDEFGHI" + QByteArray(4990, 'a') + "QY" + QByteArray(999, 'Y');
    QTest::newRow("offset 10") << QByteArray(kPaddedScript) << "ABCDEFGHIQY" + QByteArray(990, 'Y') << qint64(10)
                               << qint64(0) << qint64(640) << qint64(-1) << 7 << "pad 2";
    QTest::newRow("offset 5000 of 6000") << QByteArray(kPaddedScript) << padded << qint64(5000) << qint64(4680)
                                         << qint64(640) << qint64(-1) << 7 << "pad 2";
    QTest::newRow("inside a line") << QByteArray(kLinesScript) << QByteArray("k1\nk2\nkx\nk3\n") << qint64(1)
                                   << qint64(0) << qint64(2) << qint64(6) << 8 << "rows/row/key 1";
  }
  void failurePage() {
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, data);
    QFETCH(qint64, excerptStart);
    QFETCH(qint64, excerptSize);
    QFETCH(qint64, globalPosition);
    Fixture f;
    QCOMPARE(f.Open({f.Files.Write("model.sw", script), f.Files.Write("input.dat", data)}), kRunFailed);
    QCOMPARE(f.Page(), QStringLiteral("pnModellingError"));
    FailurePanel* panel = f.Window.FailurePage();
    QVERIFY(!panel->ErrorName().isEmpty() && !panel->ErrorName().startsWith(u'E'));
    QVERIFY(!panel->MessageText().isEmpty() && !panel->MessageText().contains(QStringLiteral(", input: ")));
    DumpPane* dump = panel->CurrentDump();
    QTEST(qint64(dump->CurrentOffset()), "position");
    // The dump holds exactly the excerpt: one byte before it or after it is out of bounds.
    QVERIFY(dump->GoTo(excerptStart).isEmpty() && dump->GoTo(excerptStart + excerptSize).isEmpty());
    QVERIFY(!dump->GoTo(excerptStart + excerptSize + 1).isEmpty());
    if (excerptStart > 0) QVERIFY(!dump->GoTo(excerptStart - 1).isEmpty());
    QCOMPARE(panel->GlobalShown(), globalPosition >= 0);
    if (globalPosition >= 0) {
      QCOMPARE(panel->GlobalDump()->CurrentOffset(), globalPosition);
      QVERIFY(panel->GlobalDump()->GoTo(data.size()).isEmpty());
      QCOMPARE(panel->findChild<QLabel*>(QStringLiteral("lbGlobalStream"))->text(), QStringLiteral("Global stream:"));
    }
    // From the failure to the failing node's line in the editor.
    QVERIFY(panel->ScriptPlaceButton()->isVisible());
    panel->ScriptPlaceButton()->click();
    QVERIFY(f.Window.ScriptEditorIfAny()->isVisible());
    QFETCH(int, nodeLine);
    QCOMPARE(f.Window.ScriptEditorIfAny()->PositionText(), QStringLiteral("Line %1, column 1").arg(nodeLine));
    // The nodes made before the failure, the last one selected.
    QVERIFY(panel->PartialTreeButton()->isVisible());
    panel->PartialTreeButton()->click();
    QCOMPARE(f.Page(), QStringLiteral("pnTree"));
    QStringList path;
    for (QModelIndex index = f.Window.TreeView()->currentIndex(); index.isValid(); index = index.parent())
      path.prepend(index.data().toString());
    QTEST(path.join(u'/') + u' ' + QString::number(f.Window.Model().rowCount()), "partialTree");
    QVERIFY(f.Window.StatusText().startsWith(QStringLiteral("Partial tree: modelling failed at offset ")));
  }

  // Each row: the text with a "|" at the caret, the keys, the text and caret after them, and the
  // clipboard ("-": left alone).
  void memoKeys_data() {
    AddColumns<QString, QString, QString, QString>({"before", "keys", "after", "clipboard"});
    QTest::newRow("Tab indents") << "a\n|b" << "Tab" << "a\n  |b" << "-";
    QTest::newRow("Ctrl+Tab does not") << "a\n|b" << "Ctrl+Tab" << "a\n|b" << "-";
    QTest::newRow("Shift+Tab two blanks") << "   |b" << "Shift+Backtab" << " |b" << "-";
    QTest::newRow("Shift+Tab one blank") << "| b" << "Shift+Backtab" << "|b" << "-";
    QTest::newRow("Shift+Tab no blank") << "b|" << "Shift+Backtab" << "b|" << "-";
    QTest::newRow("Ctrl+Shift+Up") << "a\nb|c\nd" << "Ctrl+Shift+Up" << "b|c\na\nd" << "-";
    QTest::newRow("Ctrl+Shift+Down") << "a\nb|c\nd" << "Ctrl+Shift+Down" << "a\nd\nb|c" << "-";
    QTest::newRow("Ctrl+Shift+Up on the first line") << "|a\nb" << "Ctrl+Shift+Up" << "|a\nb" << "-";
    QTest::newRow("Shift+Up moves no line") << "a\n|b" << "Shift+Up" << "|a\nb" << "-";
    QTest::newRow("Ctrl+C copies the line") << "|a\nb" << "Ctrl+C" << "|a\nb" << "a\r\n";
    QTest::newRow("Ctrl+X cuts the line") << "a\n|b\nc" << "Ctrl+X" << "a\n|c" << "b\r\n";
    QTest::newRow("Ctrl+X on the last line") << "a\n|b" << "Ctrl+X" << "a|" << "b\r\n";
    QTest::newRow("Ctrl+Shift+X cuts nothing") << "a\n|b" << "Ctrl+Shift+X" << "a\n|b" << "-";
    QTest::newRow("Ctrl+C copies a selection") << "o|ne\ntwo" << "Ctrl+A, Ctrl+C" << "one\ntwo|" << "one\ntwo";
  }
  void memoKeys() {
    QFETCH(QString, before);
    QFETCH(QString, keys);
    EditorFixture f(QString(before).remove(u'|').toUtf8());
    ScriptMemo* memo = f.Editor.Memo();
    QTextCursor caret = memo->textCursor();
    caret.setPosition(static_cast<int>(before.indexOf(u'|')));
    memo->setTextCursor(caret);
    QApplication::clipboard()->setText(QStringLiteral("-"));
    QTest::keySequence(memo, QKeySequence(keys));
    QTEST(TextWithCaret(*memo), "after");
    QTEST(QApplication::clipboard()->text(), "clipboard");
  }

  void windowKeys_data() {
    // "effect": remodel, hide, main, goto or none.
    AddColumns<QString, QString>({"keys", "effect"});
    QTest::newRow("Ctrl+Return") << "Ctrl+Return" << "remodel";
    QTest::newRow("Ctrl+Enter") << "Ctrl+Num+Enter" << "remodel";
    QTest::newRow("Ctrl+F5") << "Ctrl+F5" << "remodel";
    QTest::newRow("Escape") << "Esc" << "hide";
    QTest::newRow("Shift+Escape") << "Shift+Esc" << "hide";
    QTest::newRow("F4") << "F4" << "main";
    QTest::newRow("Ctrl+G") << "Ctrl+G" << "goto";
    QTest::newRow("other modifiers") << "Return, Ctrl+Shift+Return, F5, Ctrl+F4" << "none";
    QTest::newRow("Ctrl+Shift+G") << "Ctrl+Shift+G" << "none";
  }
  void windowKeys() {
    QFETCH(QString, keys);
    EditorFixture f("text");
    QSignalSpy remodel(&f.Editor, &ScriptEditor::RemodelRequested);
    QSignalSpy main(&f.Editor, &ScriptEditor::MainWindowRequested);
    QSignalSpy hidden(&f.Editor, &ScriptEditor::Hidden);
    QTest::keySequence(f.Editor.Memo(), QKeySequence(keys));
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

  // Clicking the position label asks where to go too; the caret stops at the text's end.
  void goToLine() {
    EditorFixture f("ab\ncd\nef");
    f.Editor.Memo()->MoveCaret(1, 2);
    f.Prompter.TextAnswers << QStringLiteral("9 9");
    QTest::mouseClick(f.Editor.findChild<QLabel*>(QStringLiteral("lbPos")), Qt::LeftButton);
    QCOMPARE(f.Prompter.Log, QStringList{"AskText: Go to | Enter 'line[ column]' number(s) to go to: | 1 2"});
    QCOMPARE(f.Editor.PositionText(), QStringLiteral("Line 3, column 3"));
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
    EditorFixture f("text", QStringLiteral("gone/s.sw"));
    QTest::keyClick(f.Editor.Memo(), Qt::Key_Y);
    QVERIFY(QDir(f.Files.Path(QStringLiteral("gone"))).removeRecursively());
    QVERIFY(!f.Editor.Save());
    QCOMPARE(f.Prompter.Log.size(), 1);
    QVERIFY(f.Prompter.Log.first().startsWith(QStringLiteral("Error: ")) && f.Editor.IsModified());
    QCOMPARE(f.Editor.Memo()->toPlainText(), QStringLiteral("ytext"));
    QCOMPARE(f.Editor.HeaderText(), QStringLiteral("* ") + f.Path + QStringLiteral(" *"));
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

  // Ctrl+Enter in the editor and F5 in the main window save the edit before they model again.
  void editAndRemodel() {
    Fixture f;
    ScriptEditor* editor = f.FailAndEdit();
    QVERIFY(editor && editor->isVisible() && f.Find("btTScriptMemo")->isChecked());
    QCOMPARE(editor->Memo()->toPlainText(), QString::fromLatin1(kKindScript));
    QTextCursor cursor = editor->Memo()->document()->find(QStringLiteral("[123]"));
    cursor.insertText(QString::fromLatin1(kFixedKind));
    editor->Memo()->setTextCursor(cursor);
    QTest::keyClick(editor->Memo(), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(f.Wait(), kRunSucceeded);  // the kind 7 is known now
    QCOMPARE(f.Page(), QStringLiteral("pnTree"));
    QVERIFY(editor->isVisible() && !editor->IsModified());
    cursor = editor->Memo()->document()->find(QStringLiteral("[1237]"));
    cursor.insertText(QStringLiteral("[12]"));
    f.Find("btTReload")->trigger();
    QCOMPARE(f.Wait(), kRunFailed);
    QVERIFY(!editor->IsModified());
    // A save that fails models nothing.
    editor->Memo()->textCursor().insertText(QStringLiteral("\n"));
    QVERIFY(QDir(f.Files.Path({})).removeRecursively());
    QTest::keyClick(editor->Memo(), Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(f.Prompter.Log.last().startsWith(QStringLiteral("Error: ")));
    QVERIFY(!f.Window.Run().IsWorking() && f.Finished.isEmpty() && editor->IsModified());
    // The toggle hides it again.
    f.Find("btTScriptMemo")->trigger();
    QVERIFY(editor->isHidden() && !f.Find("btTScriptMemo")->isChecked());
  }

  void changedOnDisk() {
    Fixture f;
    ScriptEditor* editor = f.FailAndEdit();
    QVERIFY(editor);
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
    QVERIFY(editor->IsModified() && f.Finished.isEmpty());
  }

  // "New script..." writes a stub and opens it; typed lines are written with its CR LF.
  void newScript() {
    Fixture f;
    const QString path = f.Files.Path(QStringLiteral("new.sw"));
    f.Prompter.FileAnswers << path;
    f.Find<QPushButton>("btStartNew")->click();
    QCOMPARE(f.Prompter.Log, QStringList{"SaveFile: Serializing current tree | Skeinwork script (*.sw)"});
    QCOMPARE(FileBytes(path), QByteArray("Skeinwork 0.79\r\n\r\n== Model ==\r\n"));
    QVERIFY(f.Find("btTReload")->isEnabled() && !f.Find("btTClose")->isEnabled());
    ScriptEditor* editor = f.Window.ScriptEditorIfAny();
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->HeaderText(), path);
    editor->Memo()->moveCursor(QTextCursor::End);
    QTest::keyClicks(editor->Memo(), QStringLiteral("1 \"a\" = A"));
    QVERIFY(editor->Save());
    QCOMPARE(FileBytes(path), QByteArray("Skeinwork 0.79\r\n\r\n== Model ==\r\n1 \"a\" = A"));
  }
};

QTEST_MAIN(ScriptLoopTest)
#include "ScriptLoopTest.moc"
