// The main window driven as a user drives it: files opened and dropped, runs of every kind
// ending in the shown tree, failures, cancelling, and what the controls and the status bar say.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include "FailurePanel.h"
#include "MainWindow.h"
#include "MismatchInfo.h"
#include "ScriptedPrompter.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwStreamers.h"
#include "ViewerTestSupport.h"
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
