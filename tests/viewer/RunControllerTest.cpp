// The run controller and the tree model, without windows: warnings answered, failures recorded,
// runs cancelled, and the model checked by Qt's model tester while the tree changes.
#include <QAbstractItemModelTester>
#include <QGuiApplication>
#include <QPalette>
#include <QTest>

#include <chrono>
#include <thread>

#include "ResultTreeModel.h"
#include "MismatchInfo.h"
#include "RunController.h"
#include "ScriptedPrompter.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "ViewerTestSupport.h"

using namespace weftview;
using namespace weftview::test;
using skeinwork::TSwTreeNode;

class RunControllerTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { weftview::InstallMismatchInfoHook(); }

  void messagesAndFailures_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("answerOk");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("failureClass");
    QTest::addColumn<bool>("asked");
    QTest::newRow("WARN answered OK goes on") << QByteArray("AB9") << true << kRunSucceeded << "" << true;
    QTest::newRow("WARN answered Cancel ends the run")
        << QByteArray("AB9") << false << kRunFailed << "ESwmWarning" << true;
    QTest::newRow("FAIL ends the run unasked") << QByteArray("AB7") << true << kRunFailed << "ESwmError" << false;
  }
  void messagesAndFailures() {
    QFETCH(QByteArray, data);
    QFETCH(bool, answerOk);
    QFETCH(QString, failureClass);
    ScratchFiles files;
    ScriptedPrompter prompter;
    prompter.WarningAnswers.enqueue(answerOk);
    RunController run;
    run.SetPrompter(&prompter);
    QSignalSpy finished(&run, &RunController::Finished);
    run.Start(RunMode::ModelData, files.Write("kinds.sw", kKindScript), files.Write("kinds.dat", data));
    QTEST(WaitForOutcome(finished), "outcome");
    QCOMPARE(QString::fromStdString(run.Failure().ClassName), failureClass);
    QTEST(!prompter.Log.isEmpty(), "asked");
    if (!prompter.Log.isEmpty())
      QCOMPARE(prompter.Log.first(), QStringLiteral("Warning: Warning: Node Message | odd kind (TSwmWarn node message), input: @3 <eof>."));
    if (failureClass.isEmpty()) {
      QCOMPARE(run.ShownRoot()->ChildCount(), 2);
    } else {
      QVERIFY(run.Failure().IsMismatch);
      QVERIFY(run.Failure().Mismatch());  // the input around the failure, for the failure panel
      QCOMPARE(run.Failure().Mismatch()->Current.Position, 3);
    }
  }

  // A script that reads a file asks first; the answer decides.
  void fileAccess_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("failureClass");
    QTest::newRow("allowed once") << int(FileAccessAnswer::AllowOnce) << kRunSucceeded << "";
    QTest::newRow("allowed for the run") << int(FileAccessAnswer::AllowForRun) << kRunSucceeded << "";
    QTest::newRow("refused") << int(FileAccessAnswer::Refuse) << kRunFailed << "ESwFileAccessRefused";
  }
  void fileAccess() {
    QFETCH(int, answer);
    ScratchFiles files;
    const QString side = files.Write("side.txt", "hello\n");
    const QByteArray script = "Skeinwork 0.79 | reads a side file\n\n== Model ==\n1 \"a\" ? '" + side.toUtf8() +
                              "' load len 6 =\n2 \"b\" = x\n";
    ScriptedPrompter prompter;
    prompter.FileAccessAnswers.enqueue(static_cast<FileAccessAnswer>(answer));
    RunController run;
    run.SetPrompter(&prompter);
    QSignalSpy finished(&run, &RunController::Finished);
    run.Start(RunMode::ModelData, files.Write("reads.sw", script), files.Write("reads.dat", "x"));
    QTEST(WaitForOutcome(finished), "outcome");
    QTEST(QString::fromStdString(run.Failure().ClassName), "failureClass");
    QCOMPARE(prompter.Log, QStringList{"FileAccess: load | read " + side});
  }

  void wrongMode() {
    RunController run;
    QSignalSpy finished(&run, &RunController::Finished);
    run.Start(static_cast<RunMode>(7), ExamplePath("csv.sw"));
    QCOMPARE(WaitForOutcome(finished), kRunFailed);
    QCOMPARE(run.Failure().ClassName, std::string("EInvalidArgument"));
    QCOMPARE(run.Failure().Message, QStringLiteral("Wrong Mode for ModellingThread."));
    QVERIFY(!run.Failure().IsMismatch);
  }

  void cancellingALongRun() {
    ScratchFiles files;
    RunController run;
    QSignalSpy finished(&run, &RunController::Finished);
    QSignalSpy progress(&run, &RunController::Progress);
    const QString script = files.Write("slow.sw", kSlowScript);
    run.Start(RunMode::ModelData, script, files.Write("big.dat", QByteArray(8 << 20, 'x')));
    QVERIFY(progress.wait(30000));
    QVERIFY(finished.isEmpty());
    run.Cancel();
    QCOMPARE(WaitForOutcome(finished), kRunCancelled);
    QVERIFY(!run.IsWorking());
    QVERIFY(!run.ShownRoot());
    QVERIFY(!run.Failure().Recorded());
    // The controller stays usable.
    run.Start(RunMode::ModelData, script, files.Write("small.dat", "xyz"));
    QCOMPARE(WaitForOutcome(finished), kRunSucceeded);
    QCOMPARE(run.ShownRoot()->ChildCount(), 1);
  }

  void cancellingWhileAWarningWaits() {
    ScratchFiles files;
    ScriptedPrompter prompter;
    prompter.WarningAnswers.enqueue(true);
    RunController run;
    run.SetPrompter(&prompter);
    QSignalSpy finished(&run, &RunController::Finished);
    run.Start(RunMode::ModelData, files.Write("kinds.sw", kKindScript), files.Write("kinds.dat", "AB9"));
    // The worker now waits for the window thread, which does not answer before the cancel.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.Cancel();
    QCOMPARE(WaitForOutcome(finished), kRunCancelled);
    QTest::qWait(50);
    QVERIFY(prompter.Log.isEmpty());
  }

  void modelOverAChangingTree() {
    RunController run;
    QSignalSpy finished(&run, &RunController::Finished);
    run.Start(RunMode::ModelData, ExamplePath("riff-wav.sw"), ExamplePath("sample.wav"));
    QCOMPARE(WaitForOutcome(finished), kRunSucceeded);
    ResultTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetTree(run.ShownRoot(), run.Slicer(), run.Codepage());
    QCOMPARE(model.columnCount(), 4);
    const QModelIndex riff = model.index(0, 0);
    QCOMPARE(riff.data().toString(), QStringLiteral("riff"));
    QCOMPARE(model.index(0, ResultTreeModel::StartColumn).data().toString(), QStringLiteral("0000"));
    const QModelIndex form = model.index(1, ResultTreeModel::ValueColumn, riff);
    QCOMPARE(form.data().toString(), QStringLiteral("WAVE"));
    QCOMPARE(model.parent(form), riff);

    TSwTreeNode* riffNode = model.NodeOf(riff);
    TSwTreeNode* chunks = riffNode->FindChild(u"chunks");
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    chunks->Child(0)->Rename(u"");
    QCOMPARE(model.IndexOf(chunks->Child(0)).data().toString(), QStringLiteral("<unnamed>"));
    chunks->Child(1)->MoveTo(riffNode);
    QCOMPARE(moved.count(), 1);
    QCOMPARE(model.rowCount(riff), riffNode->ChildCount());
    riffNode->FindChild(u"size")->Remove();
    QCOMPARE(removed.count(), 1);
    QCOMPARE(model.index(0, 0, riff).data().toString(), QStringLiteral("form"));
    model.SetTree(nullptr, nullptr, 0);
  }

  void emptyTreeItem() {
    TSwTreeNode root(skeinwork::TSwName{});
    ResultTreeModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetTree(&root, nullptr, 0);
    QCOMPARE(model.rowCount(), 1);
    const QModelIndex item = model.index(0, 0);
    QCOMPARE(item.data().toString(), QStringLiteral("This model/data combination has produced no nodes."));
    QCOMPARE(item.data(Qt::ForegroundRole).value<QBrush>().color(),
             QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!model.NodeOf(item));
    QVERIFY(!(model.flags(item) & Qt::ItemIsSelectable));
    root.AddChild(skeinwork::TSwName(u"first"));
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("first"));
    root.Child(0)->Remove();
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("This model/data combination has produced no nodes."));
    model.SetTree(nullptr, nullptr, 0);
  }
};

QTEST_MAIN(RunControllerTest)
#include "RunControllerTest.moc"
