// The run controller without windows: file access asked, a wrong mode refused, and a run
// cancelled while a warning waits for its answer.
#include <QTest>

#include <chrono>
#include <thread>

#include "MismatchInfo.h"
#include "RunController.h"
#include "ScriptedPrompter.h"
#include "SwNodes.h"
#include "ViewerTestSupport.h"

using namespace weftview;
using namespace weftview::test;

namespace {

struct Controller {
  ScratchFiles Files;
  ScriptedPrompter Prompter;
  RunController Run;
  QSignalSpy Finished{&Run, &RunController::Finished};

  Controller() { Run.SetPrompter(&Prompter); }
  // Starts modelling the data with the script, both written to scratch files.
  void Start(const QByteArray& script, const QByteArray& data) {
    Run.Start(RunMode::ModelData, Files.Write("model.sw", script), Files.Write("input.dat", data));
  }
  int Wait() { return WaitForOutcome(Finished); }
};

}  // namespace

class RunControllerTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { weftview::InstallMismatchInfoHook(); }

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
    Controller c;
    const QString side = c.Files.Write("side.txt", "hello\n");
    c.Prompter.FileAccessAnswers.enqueue(static_cast<FileAccessAnswer>(answer));
    c.Start("Skeinwork 0.79 | reads a side file\n\n== Model ==\n1 \"a\" ? '" + side.toUtf8() +
                "' load len 6 =\n2 \"b\" = x\n",
            "x");
    QTEST(c.Wait(), "outcome");
    QTEST(QString::fromStdString(c.Run.Failure().ClassName), "failureClass");
    QCOMPARE(c.Prompter.Log, QStringList{"FileAccess: load | read " + side});
  }

  void wrongMode() {
    Controller c;
    c.Run.Start(static_cast<RunMode>(7), ExamplePath("csv.sw"));
    QCOMPARE(c.Wait(), kRunFailed);
    QCOMPARE(c.Run.Failure().ClassName, std::string("EInvalidArgument"));
    QCOMPARE(c.Run.Failure().Message, QStringLiteral("Wrong Mode for ModellingThread."));
    QVERIFY(!c.Run.Failure().IsMismatch);
  }

  void cancellingWhileAWarningWaits() {
    Controller c;
    c.Prompter.WarningAnswers.enqueue(true);
    c.Start(kKindScript, "AB9");
    // The worker now waits for the window thread, which does not answer before the cancel.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.Run.Cancel();
    QCOMPARE(c.Wait(), kRunCancelled);
    QTest::qWait(50);
    QVERIFY(c.Prompter.Log.isEmpty());
  }
};

QTEST_MAIN(RunControllerTest)
#include "RunControllerTest.moc"
