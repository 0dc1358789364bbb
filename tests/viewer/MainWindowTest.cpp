// The main window driven as a user drives it: files opened and dropped, runs of every kind
// ending in the shown tree, failures, cancelling, and what the controls and the status bar say.
#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include "FailurePanel.h"
#include "MainWindow.h"
#include "NodeWindow.h"
#include "MismatchInfo.h"
#include "ScriptedPrompter.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwStreamers.h"
#include "ViewerTestSupport.h"
#include "WindowFixture.h"
#include "ViewerTexts.h"
#include "WindowFixture.h"

using namespace weftview;
using namespace weftview::test;

namespace {

struct Fixture : WindowFixture {
  QString FirstItem() { return Window.Model().index(0, 0).data().toString(); }
  QString CurrentItem() const { return Window.TreeView()->currentIndex().data().toString(); }
  // The controls that are enabled, by name, in a fixed order.
  QString EnabledControls() const {
    QStringList enabled;
    for (const char* name : {"btTOpen", "btTReload", "btTClose", "btTScriptMemo", "btTSave", "btTFind", "btTFindNext",
                             "btTHighlightNodes", "btTExtractOnPath", "miTRemodell"})
      if (Window.findChild<QAction*>(QString::fromLatin1(name))->isEnabled()) enabled << QString::fromLatin1(name);
    if (Window.findChild<QPushButton*>(QStringLiteral("btStartFile"))->isEnabled()) enabled << QStringLiteral("start");
    return enabled.join(u' ');
  }
  // A tree file of the CSV example's compiled model.
  QString WriteTreeFile() {
    auto runner = skeinwork::TSwRunner::Load(ExamplePath("csv.sw").toStdString());
    std::unique_ptr<skeinwork::TSwTreeNode> dump = runner->Compiler().DumpModel(0);
    const QString path = Files.Path(QStringLiteral("model.swt"));
    skeinwork::TFileStream file(path.toStdU16String(), skeinwork::TFileMode::Create);
    skeinwork::TSwBinaryStreamer().Write(file, dump.get());
    return path;
  }
};

// Moves the pointer onto an item once the view has laid out its rows.
void HoverOver(QTreeView* view, const QModelIndex& index) {
  QApplication::processEvents();
  QTest::mouseMove(view->viewport(), view->visualRect(index).center());
}

// Every match of the search in order, as names, until "No match.".
QString AllMatches(Fixture& f) {
  QStringList names;
  for (int guard = 0; guard < 100 && f.Window.Search().Active() && !f.Window.Search().Exhausted(); ++guard) {
    names << f.CurrentItem();
    f.Window.FindNext();
  }
  if (f.Window.StatusText() != u"No match.") names << QStringLiteral("<not exhausted>");
  return names.join(u' ');
}

// The tree below an index as "name(child child ...)".
QString TreeText(const QAbstractItemModel& model, const QModelIndex& parent = {}) {
  QStringList items;
  for (int row = 0; row < model.rowCount(parent); ++row) {
    const QModelIndex index = model.index(row, 0, parent);
    const QString children = TreeText(model, index);
    items << index.data().toString() + (children.isEmpty() ? QString() : QStringLiteral("(") + children + u')');
  }
  return items.join(u' ');
}

void Drop(QWidget& window, const QStringList& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  QVERIFY(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { weftview::InstallMismatchInfoHook(); }

  void startPage() {
    Fixture f;
    QCOMPARE(f.Window.windowTitle(), QStringLiteral("Skeinwork Weftview"));
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.Window.StatusText(), QStringLiteral("Welcome to Skeinwork!"));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen start"));
  }

  // Each kind of run ends in its tree, with the first item selected and the controls its
  // kind allows.
  void runsOfEveryKind_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("firstItem");
    QTest::addColumn<QString>("strip");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("enabled");
    const QString modelled = "btTOpen btTReload btTClose btTScriptMemo btTSave btTFind btTHighlightNodes "
                             "btTExtractOnPath miTRemodell start";
    const QString shown = "btTOpen btTReload btTClose btTScriptMemo btTSave btTFind btTHighlightNodes start";
    QTest::newRow("model a file") << "model" << "riff" << "RIFF/WAV audio: chunks with little-endian sizes" << 4
                                  << modelled;
    QTest::newRow("load a tree file") << "tree" << "LINE" << "TSwBinaryStreamer: " << 1 << shown;
    QTest::newRow("illustrate a script") << "script" << "header" << "CSV table: a header line and rows of "
                                                                    "comma-separated fields"
                                         << 4 << QString(shown).replace("start", "btTExtractOnPath start");
    QTest::newRow("illustrate a model") << "model only" << "LINE" << "CSV table: a header line and rows of "
                                                                       "comma-separated fields"
                                        << 1 << shown;
  }
  void runsOfEveryKind() {
    QFETCH(QString, how);
    QFETCH(QString, strip);
    Fixture f;
    if (how == u"model") {
      f.Window.OpenFiles({ExamplePath("sample.wav"), ExamplePath("riff-wav.sw")});
    } else if (how == u"tree") {
      const QString tree = f.WriteTreeFile();
      strip += tree;
      f.Prompter.FileAnswers.enqueue(tree);
      f.Window.findChild<QAction*>(QStringLiteral("Asbinary1"))->trigger();
    } else if (how == u"script") {
      f.Prompter.FileAnswers.enqueue(ExamplePath("csv.sw"));
      f.Window.findChild<QPushButton*>(QStringLiteral("btStartScript"))->click();
    } else {
      f.Window.OpenFiles({ExamplePath("csv.sw")});
    }
    QVERIFY(f.Window.StatusText().startsWith(QStringLiteral("Working... ")));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTReload btTClose btTScriptMemo") +
                                      (how == u"model" ? QStringLiteral(" miTRemodell") : QString()));
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(f.Page(), QStringLiteral("pnTree"));
    QTEST(f.FirstItem(), "firstItem");
    QTEST(f.CurrentItem(), "firstItem");
    QTEST(f.Window.Model().columnCount(), "columns");
    const QLabel* streamer = f.Window.findChild<QLabel*>(QStringLiteral("pnStreamerInfo"));
    const QString shownStrip = streamer->isVisible()
                                   ? streamer->text()
                                   : f.Window.findChild<QToolButton*>(QStringLiteral("lbSSignature"))->text();
    QCOMPARE(shownStrip, strip);
    QTEST(f.EnabledControls(), "enabled");
    // Reloading runs the same kind again over the same files.
    QTest::keyClick(&f.Window, Qt::Key_F5);
    QCOMPARE(f.Wait(), kRunSucceeded);
    QTEST(f.FirstItem(), "firstItem");
    QTest::keyClick(&f.Window, Qt::Key_Escape, Qt::ShiftModifier);
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.EnabledControls(), how == u"model" ? QStringLiteral("btTOpen miTRemodell start") : QStringLiteral("btTOpen start"));
  }

  void scriptStripTexts() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("csv.sw")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    auto label = [&](const char* name) { return f.Window.findChild<QToolButton*>(QString::fromLatin1(name)); };
    QCOMPARE(label("lbSLanguageCode")->text(), QStringLiteral("@en"));
    QCOMPARE(label("lbSCharset")->text(), QStringLiteral("UTF-8"));
    QCOMPARE(label("lbSCharset")->toolTip(), QStringLiteral("Codepage 65001"));
    QCOMPARE(label("lbSVersion")->text(), QStringLiteral("v0.79"));
    f.Prompter.TextAnswers << QStringLiteral("1251") << QStringLiteral("99999");
    label("lbSCharset")->click();
    QCOMPARE(label("lbSCharset")->text(), QStringLiteral("WINDOWS-1251"));
    label("lbSCharset")->click();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("Error: Error | Unknown charset ID: 99999"));
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("AskText: Script charset | New script charset name or codepage "
                                                       "ID (current: 1251): | windows-1251"));
    f.Prompter.TextAnswers << QStringLiteral("ru");
    label("lbSLanguageCode")->click();
    QCOMPARE(label("lbSLanguageCode")->text(), QStringLiteral("@ru"));
    f.Window.findChild<QPushButton*>(QStringLiteral("btSPreamble"))->click();
    QVERIFY(f.Prompter.Log.last().startsWith(QStringLiteral("Information: Script preamble text | Models sample.csv")));
  }

  void failures() {
    Fixture f;
    const QString script = f.Files.Write("kinds.sw", kKindScript);
    // A FAIL node: the failure page.
    f.Window.OpenFiles({script, f.Files.Write("fail.dat", "AB7")});
    QCOMPARE(f.Wait(), kRunFailed);
    QCOMPARE(f.Page(), QStringLiteral("pnModellingError"));
    QCOMPARE(f.Window.FailurePage()->ErrorName(), QStringLiteral("Error"));
    QVERIFY(f.Window.FailurePage()->MessageText().startsWith(u"unknown kind"));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen btTReload btTClose btTScriptMemo miTRemodell start"));
    // A data file that cannot be opened: a message box, back to the start page.
    f.Window.OpenFiles({script, f.Files.Path(QStringLiteral("missing.dat"))});
    QCOMPARE(f.Wait(), kRunFailed);
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QVERIFY(f.Prompter.Log.last().startsWith(QStringLiteral("Error: ") + ReadableClassName("EFOpenError") + QStringLiteral(" | ")));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen btTReload btTScriptMemo miTRemodell start"));
  }

  void warningAnswered_data() {
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("page");
    QTest::newRow("OK") << true << "pnTree";
    QTest::newRow("Cancel") << false << "pnModellingError";
  }
  void warningAnswered() {
    QFETCH(bool, ok);
    Fixture f;
    f.Prompter.WarningAnswers.enqueue(ok);
    f.Window.OpenFiles({f.Files.Write("kinds.sw", kKindScript), f.Files.Write("warn.dat", "AB9")});
    QCOMPARE(f.Wait(), ok ? kRunSucceeded : kRunFailed);
    QTEST(f.Page(), "page");
    QCOMPARE(f.Prompter.Log, QStringList{QStringLiteral("Warning: Warning: Node Message | odd kind (TSwmWarn node message), input: @3 <eof>.")});
  }

  void cancellingWithEsc() {
    Fixture f;
    QSignalSpy progress(&f.Window.Run(), &RunController::Progress);
    f.Window.OpenFiles({f.Files.Write("slow.sw", kSlowScript), f.Files.Write("big.dat", QByteArray(8 << 20, 'x'))});
    QVERIFY(f.Window.findChild<QPushButton*>(QStringLiteral("btCancelRun"))->isVisible());
    QVERIFY(progress.wait(30000));
    QTest::keyClick(&f.Window, Qt::Key_Escape);
    QCOMPARE(f.Wait(), kRunCancelled);
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.Window.StatusText(), QString());
    QVERIFY(f.Prompter.Log.isEmpty());
    QVERIFY(!f.Window.findChild<QPushButton*>(QStringLiteral("btCancelRun"))->isVisible());
    // The data path stays set after closing: "Re-modell another file" asks for both files.
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen miTRemodell start"));
  }

  void emptyTree() {
    Fixture f;
    f.Window.OpenFiles({f.Files.Write("none.sw", kNoNodeScript), f.Files.Write("abc.dat", "abc")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(f.FirstItem(), QStringLiteral("This model/data combination has produced no nodes."));
    QVERIFY(!f.Window.TreeView()->rootIsDecorated());
    HoverOver(f.Window.TreeView(), f.Window.Model().index(0, 0));
    QCOMPARE(f.Window.PanelTexts(), (QStringList{"", "", "", ""}));
  }

  void statusBarOverANode() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QTreeView* view = f.Window.TreeView();
    view->expandAll();
    const QModelIndex riff = f.Window.Model().index(0, 0);
    const QModelIndex chunks = f.Window.Model().index(2, 0, riff);
    QCOMPARE(chunks.data().toString(), QStringLiteral("chunks"));
    HoverOver(view, chunks);
    QTRY_COMPARE(f.Window.PanelTexts().mid(0, 3), (QStringList{"000C", "0066", "90"}));
    const QStringList panels = f.Window.PanelTexts();
    QVERIFY2(panels[3].startsWith(QStringLiteral("f m t 20 10 00 00 00 01 00")), qPrintable(panels[3]));
    QCOMPARE(panels[3].count(u' ') + 1, 90);  // all 90 bytes: fewer than 100

    // Without a slicer the fourth panel shows the node's path.
    f.Window.OpenFiles({ExamplePath("csv.sw")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    view->expandAll();
    const QModelIndex child = f.Window.Model().index(0, 0, f.Window.Model().index(0, 0));
    HoverOver(view, child);
    QTRY_COMPARE(f.Window.PanelTexts(), (QStringList{"", "", "", "LINE\\END"}));
  }

  // The Length column counts the bytes the Value column shows: a field's bytes are in its
  // "start" range, a composite's in its "inner" range.
  void rangeColumns_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("length");
    QTest::addColumn<QString>("valueStart");
    QTest::newRow("field") << 0 << "size" << "4" << "^ 00 00 00";
    QTest::newRow("literal") << 1 << "form" << "4" << "WAVE";
    QTest::newRow("composite") << 2 << "chunks" << "90" << "f m t 20";
  }
  void rangeColumns() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QFETCH(int, row);
    const QModelIndex riff = f.Window.Model().index(0, 0);
    const QModelIndex name = f.Window.Model().index(row, ResultTreeModel::NameColumn, riff);
    QTEST(name.data().toString(), "name");
    QTEST(name.siblingAtColumn(ResultTreeModel::LengthColumn).data().toString(), "length");
    const QString value = name.siblingAtColumn(ResultTreeModel::ValueColumn).data().toString();
    QFETCH(QString, valueStart);
    QVERIFY2(value.startsWith(valueStart), qPrintable(value));
  }

  void dropsAndPrompts() {
    Fixture f;
    // A data file alone, with no script run before: the script is asked for.
    f.Prompter.FileAnswers.enqueue(ExamplePath("csv.sw"));
    Drop(f.Window, {ExamplePath("sample.csv")});
    QCOMPARE(f.Prompter.Log.takeFirst(),
             QStringLiteral("OpenFile: Select a Skeinwork script with your model | Skeinwork script (*.sw)"));
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(f.FirstItem(), QStringLiteral("header"));
    // A data file dropped after a script run is modelled with that script without asking.
    Drop(f.Window, {ExamplePath("sample.ini")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QVERIFY(f.Prompter.Log.isEmpty());
    QCOMPARE(f.Window.Run().ScriptPath(), ExamplePath("csv.sw"));
    QCOMPARE(f.Window.Run().DataPath(), ExamplePath("sample.ini"));
  }

  void newScriptStub() {
    Fixture f;
    const QString path = f.Files.Path(QStringLiteral("new.sw"));
    f.Prompter.FileAnswers.enqueue(path);
    f.Window.findChild<QPushButton*>(QStringLiteral("btStartNew"))->click();
    QCOMPARE(f.Prompter.Log.first(), QStringLiteral("SaveFile: Serializing current tree | Skeinwork script (*.sw)"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("Skeinwork 0.79\r\n\r\n== Model ==\r\n"));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen btTReload btTScriptMemo start"));
  }


  // F3 with no search, Ctrl+F and "Find here..." ask for a path; F3 goes on to "No match.", and
  // the F3 after that asks again.
  void findOnPath() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    f.Prompter.TextAnswers << QStringLiteral("riff\\chunks\\*\\size");
    QTest::keyClick(&f.Window, Qt::Key_F3);
    QVERIFY(f.Prompter.Log.takeLast().contains(QRegularExpression(
        R"(^AskText: Find node on path \| Path expression, \[n\] = -1 \(e\.g\. '(\.parent\\child|/rootChild|child\\\*\\subsubchild)'\): \| $)")));
    QCOMPARE(f.CurrentItem(), QStringLiteral("size"));
    QCOMPARE(f.EnabledControls().contains(u"btTFindNext"), true);
    QCOMPARE(AllMatches(f), QStringLiteral("size size size"));
    QCOMPARE(f.EnabledControls().contains(u"btTFindNext"), false);
    f.Prompter.TextAnswers << QStringLiteral("riff\\form");
    QTest::keyClick(&f.Window, Qt::Key_F3);
    QCOMPARE(f.CurrentItem(), QStringLiteral("form"));
    // From a node: its index and its path are offered.
    const QModelIndex riff = f.Window.Model().index(0, 0);
    const QModelIndex chunks = f.Window.Model().index(2, 0, riff);
    f.Prompter.TextAnswers << QStringLiteral("*\\id");
    f.Window.TreeMenuFor(f.Window.Model().NodeOf(chunks))->findChild<QAction*>(QStringLiteral("miFindHere"))->trigger();
    QVERIFY(f.Prompter.Log.takeLast().endsWith(QStringLiteral(" | /riff\\chunks")));
    QCOMPARE(AllMatches(f), QStringLiteral("id"));
    // A path the finder cannot read: an error box and no search.
    f.Prompter.TextAnswers << QStringLiteral("a[");
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier);
    QVERIFY(f.Prompter.Log.takeLast().startsWith(QStringLiteral("Error: ")));
    QVERIFY(!f.Window.Search().Active());
  }

  // Offset searches over the RIFF example: tree order, any range or the named one, containment
  // or the exact start.
  void findByOffset_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("matches");
    // audioFormat's empty inner range lies at 0x16.
    QTest::newRow("containing") << "0x16" << "riff chunks format audioFormat channels";
    QTest::newRow("exact start, any range") << "= 24h" << "format bitsPerSample extra chunk id";
    QTest::newRow("named property, exact") << "inner = $2c" << "size";
    QTest::newRow("empty range at its start") << "startGlobal 36" << "extra chunk id";
    QTest::newRow("past the end") << "1000" << "";
  }
  void findByOffset() {
    QFETCH(QString, answer);
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    f.Prompter.TextAnswers << answer;
    f.Window.findChild<QAction*>(QStringLiteral("miFindOffset"))->trigger();
    QVERIFY(f.Prompter.Log.takeLast().startsWith(QStringLiteral("AskText: Find node by offset | [prop] [=] offset [junk]\r\n")));
    QTEST(AllMatches(f), "matches");
  }

  void offsetThatIsNoNumber() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    f.Prompter.TextAnswers << QStringLiteral("start xyz");
    f.Window.findChild<QAction*>(QStringLiteral("miFindOffset"))->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("Error: Error | 'start xyz' is not a valid offset."));
    QVERIFY(!f.Window.Search().Active());
  }

  // Function keys with a modifier, and Ctrl+F with another modifier too, do nothing.
  void keysWithOtherModifiers() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("csv.sw")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QTest::keyClick(&f.Window, Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier | Qt::AltModifier);
    QTest::keyClick(&f.Window, Qt::Key_F5, Qt::ControlModifier);
    QVERIFY(f.Prompter.Log.isEmpty());
    QVERIFY(!f.Window.Run().IsWorking());
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier);
    QCOMPARE(f.Prompter.Log.size(), 1);
  }

  void highlighting() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    f.Prompter.TextAnswers << QStringLiteral(" s*|form ") << QStringLiteral("size");
    f.Window.findChild<QAction*>(QStringLiteral("Blue"))->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(),
             QStringLiteral("AskText: Highlight nodes | - pipe-separated list of node name wildcard masks\r\n- empty value "
                            "to disable this color | "));
    f.Window.findChild<QAction*>(QStringLiteral("Red"))->trigger();
    const QModelIndex riff = f.Window.Model().index(0, 0);
    auto colour = [&](int row) {
      return f.Window.Model().index(row, 0, riff).data(Qt::ForegroundRole).value<QColor>().name();
    };
    QCOMPARE(colour(0), QStringLiteral("#00ffff"));  // size: Blue came first
    QCOMPARE(colour(1), QStringLiteral("#00ffff"));  // form
    QCOMPARE(colour(2), QStringLiteral("#000000"));  // chunks: none
    // The menu's check marks are set as it opens.
    emit qobject_cast<QMenu*>(f.Window.findChild<QAction*>(QStringLiteral("Red"))->parent())->aboutToShow();
    QVERIFY(f.Window.findChild<QAction*>(QStringLiteral("Red"))->isChecked());
    QVERIFY(!f.Window.findChild<QAction*>(QStringLiteral("Green"))->isChecked());
    f.Window.findChild<QAction*>(QStringLiteral("Clear all"))->trigger();
    QVERIFY(!f.Window.Model().index(0, 0, riff).data(Qt::ForegroundRole).isValid());
  }

  // Rename, remove and move through the popup, an in-place edit and drops, with the model
  // checked by Qt's tester all along.
  void nodeCommands() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    ResultTreeModel& model = f.Window.Model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    f.Window.TreeView()->expandAll();
    auto node = [&](const QString& path) { return model.Root()->FirstOnPath(path.toStdU16String()); };
    auto enabled = [&](const QString& path) {
      QStringList names;
      for (QAction* action : f.Window.TreeMenuFor(node(path))->actions())
        if (!action->isSeparator() && action->isEnabled()) names << action->text();
      return names.join(u',');
    };
    QCOMPARE(enabled("riff"), QStringLiteral("Find here...,Find offset,Collapse all,Expand all,Properties,Rename"));
    QCOMPARE(enabled("riff\\size"), QStringLiteral("Find offset,Properties,Rename,Remove"));

    f.Prompter.TextAnswers << QStringLiteral("length");
    f.Window.TreeMenuFor(node("riff\\size"))->findChild<QAction*>(QStringLiteral("miRename"))->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("AskText: Rename node | Enter new node name: | size"));
    const QModelIndex form = model.IndexOf(node("riff\\form"));
    QVERIFY(model.setData(form, QStringLiteral("kind")));  // an in-place edit ending
    QCOMPARE(model.index(0, 0, model.index(0, 0)).data().toString(), QStringLiteral("length"));
    QVERIFY(node("riff\\kind"));

    f.Window.TreeMenuFor(node("riff\\chunks\\chunk"))->findChild<QAction*>(QStringLiteral("miRemove"))->trigger();
    QVERIFY(!node("riff\\chunks\\chunk"));

    // Drops onto the node itself and into its subtree are refused; onto a sibling moves it last.
    auto drop = [&](const QString& from, const QString& onto) {
      std::unique_ptr<QMimeData> data(model.mimeData({model.IndexOf(node(from))}));
      return model.dropMimeData(data.get(), Qt::MoveAction, -1, 0, model.IndexOf(node(onto)));
    };
    QVERIFY(!drop("riff\\chunks", "riff\\chunks"));
    QVERIFY(!drop("riff\\chunks", "riff\\chunks\\format\\size"));
    QVERIFY(drop("riff\\chunks\\samples", "riff\\chunks\\format"));
    QVERIFY(drop("riff\\kind", "riff\\chunks"));
    QCOMPARE(TreeText(model),
             QStringLiteral("riff(length chunks(format(size audioFormat channels sampleRate byteRate blockAlign "
                            "bitsPerSample extra samples(size data)) kind))"));

    f.Window.TreeMenuFor(node("riff"))->findChild<QAction*>(QStringLiteral("miCollapseAll"))->trigger();
    QVERIFY(!f.Window.TreeView()->isExpanded(model.IndexOf(node("riff\\chunks\\format"))));
    f.Window.TreeMenuFor(node("riff"))->findChild<QAction*>(QStringLiteral("miExpandAll"))->trigger();
    QVERIFY(f.Window.TreeView()->isExpanded(model.IndexOf(node("riff\\chunks\\format\\samples"))));

    auto properties = [&] { return f.Window.TreeMenuFor(node("riff"))->findChild<QAction*>(QStringLiteral("miProperties")); };
    properties()->trigger();
    QVERIFY(properties()->isChecked() && f.Window.NodeWindowIfAny()->isVisible());
    properties()->trigger();
    QVERIFY(!properties()->isChecked() && !f.Window.NodeWindowIfAny()->isVisible());
  }

  // Both forms of the tree file load back as the same tree, in the viewer and in the library.
  void saveAndLoad_data() {
    QTest::addColumn<QString>("item");
    QTest::newRow("As binary") << "miTSaveBin";
    QTest::newRow("As compressed binary") << "miTSaveCompressed";
  }
  void saveAndLoad() {
    QFETCH(QString, item);
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    const QString shown = TreeText(f.Window.Model());
    const QString path = f.Files.Path(QStringLiteral("saved.swt"));
    f.Prompter.FileAnswers << path;
    f.Window.findChild<QAction*>(item)->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("SaveFile: Serializing current tree | Serialized tree (*.swt)"));
    QCOMPARE(f.Window.StatusText(), QStringLiteral("Tree saved to saved.swt (stream ranges stored as offset and length)"));
    // The shown tree keeps its bytes.
    QVERIFY(!f.Window.Model().index(0, ResultTreeModel::ValueColumn).data().toString().isEmpty());

    skeinwork::TFileStream file(path.toStdU16String(), skeinwork::TFileMode::OpenRead);
    std::unique_ptr<skeinwork::TSwTreeNode> loaded = skeinwork::TSwBinaryStreamer().Read(file);
    skeinwork::TSwValue value;
    QVERIFY(loaded->FirstOnPath(u"riff\\chunks")->FindValue(u"innerGlobal", value));
    QCOMPARE(value.Int, 0x0C);
    QCOMPARE(value.Frac, 90.0);

    f.Window.OpenFiles({path});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QCOMPARE(TreeText(f.Window.Model()), shown);
  }

  // The filter shows the matches with their ancestors, counts them and keeps the selection
  // when it is cleared.
  void nameFilter_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("count");
    QTest::newRow("part, any case") << "SIZE" << "riff(size chunks(format(size) chunk(size) samples(size)))"
                                    << "4 matches";
    QTest::newRow("whole name") << "=chunk" << "riff(chunks(chunk))" << "1 match";
    QTest::newRow("no match") << "zzz" << "" << "0 matches";
  }
  void nameFilter() {
    QFETCH(QString, text);
    Fixture f;
    f.Window.OpenFiles({ExamplePath("riff-wav.sw"), ExamplePath("sample.wav")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QAbstractItemModelTester tester(&f.Window.Filter(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy finished(&f.Window.Filter(), &FilterTreeModel::Finished);
    f.Window.findChild<QLineEdit*>(QStringLiteral("edFilter"))->setText(text);
    QVERIFY(finished.wait(10000));
    QTEST(TreeText(f.Window.Filter()), "tree");
    QTEST(f.Window.findChild<QLabel*>(QStringLiteral("lbFilterCount"))->text(), "count");
    QCOMPARE(f.Window.TreeView()->model(), &f.Window.Filter());
    // The last shown node is selected, and stays selected in the whole tree.
    QModelIndex last;
    while (f.Window.Filter().rowCount(last) > 0)
      last = f.Window.Filter().index(f.Window.Filter().rowCount(last) - 1, 0, last);
    if (last.isValid()) f.Window.TreeView()->setCurrentIndex(last);
    skeinwork::TSwTreeNode* selected = last.isValid() ? f.Window.Filter().NodeOf(last) : f.Window.Model().Root()->Child(0);
    f.Window.findChild<QLineEdit*>(QStringLiteral("edFilter"))->clear();
    QCOMPARE(f.Window.TreeView()->model(), &f.Window.Model());
    QCOMPARE(f.Window.Model().NodeOf(f.Window.TreeView()->currentIndex()), selected);
  }

  void tipShownOnce() {
    Fixture f;
    f.Window.OpenFiles({ExamplePath("csv.sw")});
    QCOMPARE(f.Wait(), kRunSucceeded);
    QTRY_COMPARE_WITH_TIMEOUT(QSettings(f.Files.Path(QStringLiteral("weftview.ini")), QSettings::IniFormat)
                                  .value(QStringLiteral("Tips/RightBtnClick"))
                                  .toString(),
                              QStringLiteral("false"), 3000);
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
