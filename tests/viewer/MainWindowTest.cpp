// The main window driven as a user drives it: files opened and dropped, runs of every kind
// ending in the shown tree, file access asked, failures, cancelling (also while a warning waits
// for its answer), and what the controls and the status bar say.
#include <QAbstractItemModelTester>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <chrono>
#include <thread>

#include "FailurePanel.h"
#include "MismatchInfo.h"
#include "NodeWindow.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwStreamers.h"
#include "ViewerTestSupport.h"

using namespace weftview;
using namespace weftview::test;

namespace {

struct Fixture : WindowFixture {
  using WindowFixture::WindowFixture;
  QString FirstItem() { return Window.Model().index(0, 0).data().toString(); }
  // The controls that are enabled, by name, in a fixed order.
  QString EnabledControls() const {
    QStringList enabled;
    for (const char* name : {"btTOpen", "btTReload", "btTClose", "btTScriptMemo", "btTSave", "btTFind",
                             "btTFindNext", "btTHighlightNodes", "btTExtractOnPath", "miTRemodell"})
      if (Find(name)->isEnabled()) enabled << QString::fromLatin1(name);
    if (Find<QPushButton>("btStartFile")->isEnabled()) enabled << QStringLiteral("start");
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
  // Every match of the search in order, as names, until "No match.".
  QString AllMatches() {
    QStringList names;
    for (int guard = 0; guard < 100 && Window.Search().Active() && !Window.Search().Exhausted(); ++guard) {
      names << CurrentItem();
      Window.FindNext();
    }
    if (Window.StatusText() != u"No match.") names << QStringLiteral("<not exhausted>");
    return names.join(u' ');
  }
};

// Moves the pointer onto an item once the view has laid out its rows.
void HoverOver(QTreeView* view, const QModelIndex& index) {
  view->scrollTo(index);
  QApplication::processEvents();
  QTest::mouseMove(view->viewport(), view->visualRect(index).center());
}

// The tree below an index as "name(child child ...)".
QString TreeText(const QAbstractItemModel& model, const QModelIndex& parent = {}) {
  QStringList items;
  for (int row = 0; row < model.rowCount(parent); ++row) {
    const QModelIndex index = model.index(row, 0, parent);
    const QString children = TreeText(model, index);
    items << index.data().toString() + (children.isEmpty() ? QString() : u'(' + children + u')');
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

  // From the start page, each kind of run ends in its tree, with the first item selected and the
  // controls its kind allows; reloading runs it again, Shift+Esc closes it.
  void runsOfEveryKind_data() {
    AddColumns<QString, QString, QString, int, QString>({"how", "firstItem", "strip", "columns", "enabled"});
    const QString modelled = "btTOpen btTReload btTClose btTScriptMemo btTSave btTFind btTHighlightNodes "
                             "btTExtractOnPath miTRemodell start";
    const QString shown = "btTOpen btTReload btTClose btTScriptMemo btTSave btTFind btTHighlightNodes start";
    const QString csv = "CSV table: a header line and rows of comma-separated fields";
    QTest::newRow("model a file") << "model" << "riff" << "RIFF/WAV audio: chunks with little-endian sizes" << 4
                                  << modelled;
    QTest::newRow("load a tree file") << "tree" << "LINE" << "TSwBinaryStreamer: " << 1 << shown;
    QTest::newRow("illustrate a script") << "script" << "header" << csv << 4
                                         << QString(shown).replace("start", "btTExtractOnPath start");
    QTest::newRow("illustrate a model") << "model only" << "LINE" << csv << 1 << shown;
  }
  void runsOfEveryKind() {
    QFETCH(QString, how);
    QFETCH(QString, strip);
    Fixture f;
    QCOMPARE(f.Window.windowTitle(), QStringLiteral("Skeinwork Weftview"));
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.Window.StatusText(), QStringLiteral("Welcome to Skeinwork!"));
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen start"));
    if (how == u"model") {
      f.Window.OpenFiles({ExamplePath("sample.wav"), ExamplePath("riff-wav.sw")});
    } else if (how == u"tree") {
      const QString tree = f.WriteTreeFile();
      strip += tree;
      f.Prompter.FileAnswers.enqueue(tree);
      f.Find("Asbinary1")->trigger();
    } else if (how == u"script") {
      f.Prompter.FileAnswers.enqueue(ExamplePath("csv.sw"));
      f.Find<QPushButton>("btStartScript")->click();
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
    const QLabel* streamer = f.Find<QLabel>("pnStreamerInfo");
    QCOMPARE(streamer->isVisible() ? streamer->text() : f.Find<QToolButton>("lbSSignature")->text(), strip);
    QTEST(f.EnabledControls(), "enabled");
    QTest::keyClick(&f.Window, Qt::Key_F5);
    QCOMPARE(f.Wait(), kRunSucceeded);
    QTEST(f.FirstItem(), "firstItem");
    QTest::keyClick(&f.Window, Qt::Key_Escape, Qt::ShiftModifier);
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.EnabledControls(),
             how == u"model" ? QStringLiteral("btTOpen miTRemodell start") : QStringLiteral("btTOpen start"));
  }

  // The script's strip and its boxes; the right-click tip is shown once.
  void scriptStrip() {
    Fixture f({ExamplePath("csv.sw")});
    auto label = [&](const char* name) { return f.Find<QToolButton>(name); };
    QCOMPARE(label("lbSLanguageCode")->text(), QStringLiteral("@en"));
    QCOMPARE(label("lbSCharset")->text(), QStringLiteral("UTF-8"));
    QCOMPARE(label("lbSCharset")->toolTip(), QStringLiteral("Codepage 65001"));
    QCOMPARE(label("lbSVersion")->text(), QStringLiteral("v0.79"));
    f.Prompter.TextAnswers << QStringLiteral("1251") << QStringLiteral("99999");
    label("lbSCharset")->click();
    QCOMPARE(label("lbSCharset")->text(), QStringLiteral("WINDOWS-1251"));
    label("lbSCharset")->click();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("Error: Error | Unknown charset ID: 99999"));
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("AskText: Script charset | New script charset name or "
                                                       "codepage ID (current: 1251): | windows-1251"));
    f.Prompter.TextAnswers << QStringLiteral("ru");
    label("lbSLanguageCode")->click();
    QCOMPARE(label("lbSLanguageCode")->text(), QStringLiteral("@ru"));
    f.Find<QPushButton>("btSPreamble")->click();
    QVERIFY(f.Prompter.Log.last().startsWith(QStringLiteral("Information: Script preamble text | Models sample.csv")));
    QTRY_COMPARE_WITH_TIMEOUT(QSettings(f.Files.Path(QStringLiteral("weftview.ini")), QSettings::IniFormat)
                                  .value(QStringLiteral("Tips/RightBtnClick")).toString(),
                              QStringLiteral("false"), 3000);
  }

  // Warnings asked, failures shown on their page, a data file that cannot be opened in a box.
  void failures_data() {
    // Null data is a missing file; "failure" is the failure page's name and message, "asked" the
    // start of the one message shown, if any.
    AddColumns<QByteArray, bool, int, QString, QString, QString, QString>(
        {"data", "answerOk", "outcome", "page", "failure", "asked", "enabled"});
    const QString failed = "btTOpen btTReload btTClose btTScriptMemo miTRemodell start";
    QTest::newRow("FAIL node") << QByteArray("AB7") << true << kRunFailed << "pnModellingError"
                               << "Error: unknown kind" << "" << failed;
    QTest::newRow("WARN answered OK") << QByteArray("AB9") << true << kRunSucceeded << "pnTree" << "" << kOddKindWarning
                                      << "";
    QTest::newRow("WARN answered Cancel") << QByteArray("AB9") << false << kRunFailed << "pnModellingError"
                                          << "Warning: odd kind" << kOddKindWarning << failed;
    QTest::newRow("missing data file") << QByteArray() << true << kRunFailed << "pnStart" << ""
                                       << "Error: FOpen Error | "
                                       << "btTOpen btTReload btTScriptMemo miTRemodell start";
  }
  void failures() {
    QFETCH(QByteArray, data);
    QFETCH(bool, answerOk);
    QFETCH(QString, failure);
    QFETCH(QString, asked);
    QFETCH(QString, enabled);
    Fixture f;
    f.Prompter.WarningAnswers.enqueue(answerOk);
    const QString input = data.isNull() ? f.Files.Path(QStringLiteral("missing.dat")) : f.Files.Write("in.dat", data);
    QTEST(f.Open({f.Files.Write("kinds.sw", kKindScript), input}), "outcome");
    QTEST(f.Page(), "page");
    const FailurePanel* panel = f.Window.FailurePage();
    if (!failure.isEmpty()) QVERIFY(QString(panel->ErrorName() + ": " + panel->MessageText()).startsWith(failure));
    QCOMPARE(f.Prompter.Log.size(), asked.isEmpty() ? 0 : 1);
    if (!asked.isEmpty()) QVERIFY2(f.Prompter.Log.first().startsWith(asked), qPrintable(f.Prompter.Log.first()));
    if (!enabled.isEmpty()) QCOMPARE(f.EnabledControls(), enabled);
  }

  // A script that reads a file asks first; the answer decides, a refusal ends in an error box.
  void fileAccess_data() {
    AddColumns<int, int, QString, QString>({"answer", "outcome", "failureClass", "box"});
    QTest::newRow("allowed once") << int(FileAccessAnswer::AllowOnce) << kRunSucceeded << "" << "";
    QTest::newRow("allowed for the run") << int(FileAccessAnswer::AllowForRun) << kRunSucceeded << "" << "";
    QTest::newRow("refused") << int(FileAccessAnswer::Refuse) << kRunFailed << "ESwFileAccessRefused"
                             << "Error: File Access Refused";
  }
  void fileAccess() {
    QFETCH(int, answer);
    Fixture f;
    const QString side = f.Files.Write("side.txt", "hello\n");
    f.Prompter.FileAccessAnswers.enqueue(static_cast<FileAccessAnswer>(answer));
    const QByteArray script = "Skeinwork 0.79\n\n== Model ==\n1 \"a\" ? '" + side.toUtf8() + "' load len 6 =\n2 \"b\" = x\n";
    QTEST(f.Open({f.Files.Write("model.sw", script), f.Files.Write("input.dat", "x")}), "outcome");
    QTEST(QString::fromStdString(f.Window.Run().Failure().ClassName), "failureClass");
    QCOMPARE(f.Prompter.Log.takeFirst(), "FileAccess: load | read " + side);
    QTEST(f.Prompter.Log.join(u'\n').section(QStringLiteral(" | "), 0, 0), "box");
  }

  void wrongMode() {
    Fixture f;
    f.Window.Run().Start(static_cast<RunMode>(7), ExamplePath("csv.sw"));
    QCOMPARE(f.Wait(), kRunFailed);
    QCOMPARE(f.Window.Run().Failure().ClassName, std::string("EInvalidArgument"));
    QCOMPARE(f.Window.Run().Failure().Message, QStringLiteral("Wrong Mode for ModellingThread."));
    QVERIFY(!f.Window.Run().Failure().IsMismatch);
  }

  void cancellingWhileAWarningWaits() {
    Fixture f;
    f.Prompter.WarningAnswers.enqueue(true);
    f.Window.OpenFiles({f.Files.Write("kinds.sw", kKindScript), f.Files.Write("odd.dat", "AB9")});
    // The worker now waits for the window thread, which does not answer before the cancel.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    f.Window.Run().Cancel();
    QCOMPARE(f.Wait(), kRunCancelled);
    QTest::qWait(50);
    QVERIFY(f.Prompter.Log.isEmpty());
  }

  void cancellingWithEsc() {
    Fixture f;
    QSignalSpy progress(&f.Window.Run(), &RunController::Progress);
    f.Window.OpenFiles({f.Files.Write("slow.sw", kSlowScript), f.Files.Write("big.dat", QByteArray(8 << 20, 'x'))});
    QVERIFY(f.Find<QPushButton>("btCancelRun")->isVisible());
    QVERIFY(progress.wait(30000));
    QTest::keyClick(&f.Window, Qt::Key_Escape);
    QCOMPARE(f.Wait(), kRunCancelled);
    QCOMPARE(f.Page(), QStringLiteral("pnStart"));
    QCOMPARE(f.Window.StatusText(), QString());
    QVERIFY(f.Prompter.Log.isEmpty() && !f.Find<QPushButton>("btCancelRun")->isVisible());
    QVERIFY(!f.Window.Run().IsWorking() && !f.Window.Run().ShownRoot() && !f.Window.Run().Failure().Recorded());
    // The data path stays set after closing: "Re-modell another file" asks for both files.
    QCOMPARE(f.EnabledControls(), QStringLiteral("btTOpen miTRemodell start"));
    // The controller stays usable.
    QCOMPARE(f.Open({f.Files.Path(QStringLiteral("slow.sw")), f.Files.Write("small.dat", "xyz")}), kRunSucceeded);
    QCOMPARE(f.Window.Run().ShownRoot()->ChildCount(), 1);
  }

  // A run that makes no node shows one grey, unselectable item until a node comes.
  void emptyTree() {
    Fixture f;
    QCOMPARE(f.Open({f.Files.Write("none.sw", kNoNodeScript), f.Files.Write("abc.dat", "abc")}), kRunSucceeded);
    ResultTreeModel& model = f.Window.Model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QString noNodes = QStringLiteral("This model/data combination has produced no nodes.");
    QCOMPARE(f.FirstItem(), noNodes);
    QCOMPARE(model.index(0, 0).data(Qt::ForegroundRole).value<QBrush>().color(),
             QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!model.NodeOf(model.index(0, 0)) && !(model.flags(model.index(0, 0)) & Qt::ItemIsSelectable));
    QVERIFY(!f.Window.TreeView()->rootIsDecorated());
    HoverOver(f.Window.TreeView(), model.index(0, 0));
    QCOMPARE(f.Window.PanelTexts(), (QStringList{"", "", "", ""}));
    model.Root()->AddChild(skeinwork::TSwName(u"first"));
    QCOMPARE(f.FirstItem(), QStringLiteral("first"));
    model.Root()->Child(0)->Remove();
    QCOMPARE(f.FirstItem(), noNodes);
  }

  // The Length column counts the bytes the Value column shows (a field's are in its "start"
  // range, a composite's in its "inner" range); the status bar shows a hovered node's range.
  void columnsAndStatusBar() {
    Fixture f(WavExample());
    QTreeView* view = f.Window.TreeView();
    view->expandAll();
    const QModelIndex riff = f.Window.Model().index(0, 0);
    QCOMPARE(riff.siblingAtColumn(ResultTreeModel::StartColumn).data().toString(), QStringLiteral("0000"));
    for (auto [row, name, length, valueStart] :
         {std::tuple{0, "size", "4", "^ 00 00 00"}, {1, "form", "4", "WAVE"}, {2, "chunks", "90", "f m t 20"}}) {
      const QModelIndex index = f.Window.Model().index(row, ResultTreeModel::NameColumn, riff);
      QCOMPARE(index.data().toString(), QString::fromLatin1(name));
      QCOMPARE(index.siblingAtColumn(ResultTreeModel::LengthColumn).data().toString(), length);
      const QString value = index.siblingAtColumn(ResultTreeModel::ValueColumn).data().toString();
      QVERIFY2(value.startsWith(QString::fromLatin1(valueStart)), qPrintable(value));
    }
    HoverOver(view, f.Window.Model().index(2, 0, riff));
    QTRY_COMPARE(f.Window.PanelTexts().mid(0, 3), (QStringList{"000C", "0066", "90"}));
    const QString bytes = f.Window.PanelTexts()[3];
    QVERIFY2(bytes.startsWith(QStringLiteral("f m t 20 10 00 00 00 01 00")), qPrintable(bytes));
    QCOMPARE(bytes.count(u' ') + 1, 90);  // all 90 bytes: fewer than 100

    // Without a slicer the fourth panel shows the node's path.
    QCOMPARE(f.Open({ExamplePath("csv.sw")}), kRunSucceeded);
    view->expandAll();
    HoverOver(view, f.Window.Model().index(0, 0, f.Window.Model().index(0, 0)));
    QTRY_COMPARE(f.Window.PanelTexts(), (QStringList{"", "", "", "LINE\\END"}));
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

  // F3 with no search, Ctrl+F and "Find here..." ask for a path; F3 goes on to "No match.", and
  // the F3 after that asks again.
  void findOnPath() {
    Fixture f(WavExample());
    f.Prompter.TextAnswers << QStringLiteral("riff\\chunks\\*\\size");
    QTest::keyClick(&f.Window, Qt::Key_F3);
    QVERIFY(f.Prompter.Log.takeLast().contains(QRegularExpression(
        R"(^AskText: Find node on path \| Path expression, \[n\] = -1 \(e\.g\. '(\.parent\\child|/rootChild|child\\\*\\subsubchild)'\): \| $)")));
    QCOMPARE(f.CurrentItem(), QStringLiteral("size"));
    QVERIFY(f.EnabledControls().contains(u"btTFindNext"));
    QCOMPARE(f.AllMatches(), QStringLiteral("size size size"));
    QVERIFY(!f.EnabledControls().contains(u"btTFindNext"));
    f.Prompter.TextAnswers << QStringLiteral("riff\\form");
    QTest::keyClick(&f.Window, Qt::Key_F3);
    QCOMPARE(f.CurrentItem(), QStringLiteral("form"));
    // From a node: its index and its path are offered.
    const QModelIndex chunks = f.Window.Model().index(2, 0, f.Window.Model().index(0, 0));
    f.Prompter.TextAnswers << QStringLiteral("*\\id");
    f.Window.TreeMenuFor(f.Window.Model().NodeOf(chunks))->findChild<QAction*>(QStringLiteral("miFindHere"))->trigger();
    QVERIFY(f.Prompter.Log.takeLast().endsWith(QStringLiteral(" | /riff\\chunks")));
    QCOMPARE(f.AllMatches(), QStringLiteral("id"));
    // A path the finder cannot read: an error box and no search.
    f.Prompter.TextAnswers << QStringLiteral("a[");
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier);
    QVERIFY(f.Prompter.Log.takeLast().startsWith(QStringLiteral("Error: ")) && !f.Window.Search().Active());
    // Function keys with a modifier, and Ctrl+F with another modifier too, do nothing.
    f.Prompter.Log.clear();
    QTest::keyClick(&f.Window, Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&f.Window, Qt::Key_F, Qt::ControlModifier | Qt::AltModifier);
    QTest::keyClick(&f.Window, Qt::Key_F5, Qt::ControlModifier);
    QVERIFY(f.Prompter.Log.isEmpty() && !f.Window.Run().IsWorking());
  }

  // Offset searches over the RIFF example: tree order, any range or the named one, containment
  // or the exact start; an answer that is no offset starts no search.
  void findByOffset_data() {
    // "matches" may be the error shown instead.
    AddColumns<QString, QString>({"answer", "matches"});
    // audioFormat's empty inner range lies at 0x16.
    QTest::newRow("containing") << "0x16" << "riff chunks format audioFormat channels";
    QTest::newRow("exact start, any range") << "= 24h" << "format bitsPerSample extra chunk id";
    QTest::newRow("named property, exact") << "inner = $2c" << "size";
    QTest::newRow("empty range at its start") << "startGlobal 36" << "extra chunk id";
    QTest::newRow("past the end") << "1000" << "";
    QTest::newRow("no number") << "start xyz" << "Error: Error | 'start xyz' is not a valid offset.";
  }
  void findByOffset() {
    QFETCH(QString, answer);
    Fixture f(WavExample());
    f.Prompter.TextAnswers << answer;
    f.Find("miFindOffset")->trigger();
    QVERIFY(f.Prompter.Log.takeFirst().startsWith(
        QStringLiteral("AskText: Find node by offset | [prop] [=] offset [junk]\r\n")));
    if (!f.Prompter.Log.isEmpty()) QVERIFY(!f.Window.Search().Active());
    QTEST(f.Prompter.Log.isEmpty() ? f.AllMatches() : f.Prompter.Log.takeFirst(), "matches");
  }

  void highlighting() {
    Fixture f(WavExample());
    f.Prompter.TextAnswers << QStringLiteral(" s*|form ") << QStringLiteral("size");
    f.Find("Blue")->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(),
             QStringLiteral("AskText: Highlight nodes | - pipe-separated list of node name wildcard masks\r\n- "
                            "empty value to disable this color | "));
    f.Find("Red")->trigger();
    const QModelIndex riff = f.Window.Model().index(0, 0);
    QStringList colours;  // size (Blue came first), form, chunks (none)
    for (int row = 0; row < 3; ++row)
      colours << f.Window.Model().index(row, 0, riff).data(Qt::ForegroundRole).value<QColor>().name();
    QCOMPARE(colours, (QStringList{"#00ffff", "#00ffff", "#000000"}));
    // The menu's check marks are set as it opens.
    emit qobject_cast<QMenu*>(f.Find("Red")->parent())->aboutToShow();
    QVERIFY(f.Find("Red")->isChecked() && !f.Find("Green")->isChecked());
    f.Find("Clear all")->trigger();
    QVERIFY(!f.Window.Model().index(0, 0, riff).data(Qt::ForegroundRole).isValid());
  }

  // Rename, remove and move through the popup, an in-place edit, drops and direct changes of
  // the tree, with the model checked by Qt's tester all along.
  void nodeCommands() {
    Fixture f(WavExample());
    ResultTreeModel& model = f.Window.Model();
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    f.Window.TreeView()->expandAll();
    auto node = [&](const QString& path) { return model.Root()->FirstOnPath(path.toStdU16String()); };
    auto command = [&](const QString& path, const char* name) {
      return f.Window.TreeMenuFor(node(path))->findChild<QAction*>(QString::fromLatin1(name));
    };
    auto enabled = [&](const QString& path) {
      QStringList names;
      for (QAction* action : f.Window.TreeMenuFor(node(path))->actions())
        if (!action->isSeparator() && action->isEnabled()) names << action->text();
      return names.join(u',');
    };
    QCOMPARE(enabled("riff"), QStringLiteral("Find here...,Find offset,Collapse all,Expand all,Properties,Rename"));
    QCOMPARE(enabled("riff\\size"), QStringLiteral("Find offset,Properties,Rename,Remove"));

    f.Prompter.TextAnswers << QStringLiteral("length");
    command("riff\\size", "miRename")->trigger();
    QCOMPARE(f.Prompter.Log.takeLast(), QStringLiteral("AskText: Rename node | Enter new node name: | size"));
    QVERIFY(model.setData(model.IndexOf(node("riff\\form")), QStringLiteral("kind")));  // an in-place edit ending
    QCOMPARE(model.index(0, 0, model.index(0, 0)).data().toString(), QStringLiteral("length"));
    QVERIFY(node("riff\\kind"));
    command("riff\\chunks\\chunk", "miRemove")->trigger();
    QVERIFY(!node("riff\\chunks\\chunk"));
    skeinwork::TSwTreeNode* extra = node("riff\\chunks\\format\\extra");
    extra->Rename(u"");
    QCOMPARE(model.IndexOf(extra).data().toString(), QStringLiteral("<unnamed>"));

    // Drops onto the node itself and into its subtree are refused; onto a sibling moves it last,
    // in one move.
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    auto drop = [&](const QString& from, const QString& onto) {
      std::unique_ptr<QMimeData> data(model.mimeData({model.IndexOf(node(from))}));
      return model.dropMimeData(data.get(), Qt::MoveAction, -1, 0, model.IndexOf(node(onto)));
    };
    QVERIFY(!drop("riff\\chunks", "riff\\chunks") && !drop("riff\\chunks", "riff\\chunks\\format\\size"));
    QVERIFY(drop("riff\\chunks\\samples", "riff\\chunks\\format") && drop("riff\\kind", "riff\\chunks"));
    QCOMPARE(moved.count(), 2);
    QCOMPARE(TreeText(model), QStringLiteral("riff(length chunks(format(size audioFormat channels sampleRate "
                                             "byteRate blockAlign bitsPerSample <unnamed> samples(size data)) kind))"));

    command("riff", "miCollapseAll")->trigger();
    QVERIFY(!f.Window.TreeView()->isExpanded(model.IndexOf(node("riff\\chunks\\format"))));
    command("riff", "miExpandAll")->trigger();
    QVERIFY(f.Window.TreeView()->isExpanded(model.IndexOf(node("riff\\chunks\\format\\samples"))));
    command("riff", "miProperties")->trigger();
    QVERIFY(command("riff", "miProperties")->isChecked() && f.Window.NodeWindowIfAny()->isVisible());
    command("riff", "miProperties")->trigger();
    QVERIFY(!command("riff", "miProperties")->isChecked() && !f.Window.NodeWindowIfAny()->isVisible());
  }

  // Both forms of the tree file load back as the same tree, in the viewer and in the library.
  void saveAndLoad_data() {
    QTest::addColumn<QString>("item");
    QTest::newRow("As binary") << "miTSaveBin";
    QTest::newRow("As compressed binary") << "miTSaveCompressed";
  }
  void saveAndLoad() {
    QFETCH(QString, item);
    Fixture f(WavExample());
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
    QCOMPARE(f.Open({path}), kRunSucceeded);
    QCOMPARE(TreeText(f.Window.Model()), shown);
  }

  // The filter shows the matches with their ancestors, counts them and keeps the selection
  // when it is cleared.
  void nameFilter_data() {
    AddColumns<QString, QString, QString>({"text", "tree", "count"});
    QTest::newRow("part, any case") << "SIZE" << "riff(size chunks(format(size) chunk(size) samples(size)))"
                                    << "4 matches";
    QTest::newRow("whole name") << "=chunk" << "riff(chunks(chunk))" << "1 match";
    QTest::newRow("no match") << "zzz" << "" << "0 matches";
  }
  void nameFilter() {
    QFETCH(QString, text);
    Fixture f(WavExample());
    FilterTreeModel& filter = f.Window.Filter();
    QAbstractItemModelTester tester(&filter, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy finished(&filter, &FilterTreeModel::Finished);
    f.Find<QLineEdit>("edFilter")->setText(text);
    QVERIFY(finished.wait(10000));
    QTEST(TreeText(filter), "tree");
    QTEST(f.Find<QLabel>("lbFilterCount")->text(), "count");
    QCOMPARE(f.Window.TreeView()->model(), &filter);
    // The last shown node is selected, and stays selected in the whole tree.
    QModelIndex last;
    while (filter.rowCount(last) > 0) last = filter.index(filter.rowCount(last) - 1, 0, last);
    if (last.isValid()) f.Window.TreeView()->setCurrentIndex(last);
    skeinwork::TSwTreeNode* selected = last.isValid() ? filter.NodeOf(last) : f.Window.Model().Root()->Child(0);
    f.Find<QLineEdit>("edFilter")->clear();
    QCOMPARE(f.Window.TreeView()->model(), &f.Window.Model());
    QCOMPARE(f.Window.Model().NodeOf(f.Window.TreeView()->currentIndex()), selected);
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
