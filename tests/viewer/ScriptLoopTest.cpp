// The edit-and-remodel loop as a user meets it: the failure page with the input around the
// failure, the script editor's keys, saving and its failures, and remodelling from the editor.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

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
    const QByteArray tail(990, 'Y');
    QTest::newRow("offset 10") << QByteArray(kPaddedScript) << QByteArray("ABCDEFGHIQY") + tail << qint64(10)
                               << qint64(0) << qint64(640) << qint64(-1);
    QTest::newRow("offset 5000 of 6000") << QByteArray(kPaddedScript)
                                         << QByteArray("ABCDEFGHI") + QByteArray(4990, 'a') + "QY" + QByteArray(999, 'Y')
                                         << qint64(5000) << qint64(4680) << qint64(640) << qint64(-1);
    QTest::newRow("inside a line") << QByteArray(kLinesScript) << QByteArray("k1\nk2\nkx\nk3\n") << qint64(1)
                                   << qint64(0) << qint64(2) << qint64(6);
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
  }
};

QTEST_MAIN(ScriptLoopTest)
#include "ScriptLoopTest.moc"
