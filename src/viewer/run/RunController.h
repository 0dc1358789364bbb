// RunController: the viewer's runs, without widgets. One run at a time works on a worker
// thread: modelling a data file with a script, loading a tree file, reading a script's own
// structure, or compiling a script's model into a tree. The window learns of the end through the
// Finished signal and reads the results only then.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "SwCore.h"

class QThread;

namespace skeinwork {
class TBufStream;
class TStream;
class TSwMismatchInfo;
class TSwScript;
class TSwTreeNode;
class TSwmCompiler;
class TSwmPartialResult;
class TSwmSlicer;
struct TSwFileAccessRequest;
enum class TSwFileAccessAnswer : uint8_t;
}  // namespace skeinwork

namespace weftview {

enum class RunMode : int { ModelData = 0, LoadTree = 1, IllustrateScript = 2, IllustrateModel = 3 };

// The outcome codes of a run.
inline constexpr int kRunSucceeded = 777;
inline constexpr int kRunFailed = 12;  // the failure record tells why
inline constexpr int kRunCancelled = 11;

enum class FileAccessAnswer { AllowOnce, AllowForRun, Refuse };

// The questions a run asks the user; called on the window's thread while the worker waits.
class RunPrompter {
 public:
  virtual ~RunPrompter() = default;
  // A node's message (WARN) or another message of the run: true goes on (OK), false ends the
  // run (Cancel).
  virtual bool ConfirmWarning(const QString& caption, const QString& text) = 0;
  // The script's expression calls a file function ("load" reads, "save" writes).
  virtual FileAccessAnswer AskFileAccess(const QString& function, const QString& path, bool write) = 0;
};

// Why a run failed: the exception's class and message, and what it carried.
struct RunFailure {
  std::string ClassName;  // empty: no failure recorded
  QString Message;
  bool IsMismatch = false;  // an ESwmMismatch: shown with the input around it
  std::unique_ptr<skeinwork::TSwObject> Information;

  bool Recorded() const { return !ClassName.empty(); }
  // The input around a mismatch, when the exception carried it.
  const skeinwork::TSwMismatchInfo* Mismatch() const;
  // The result nodes made before a modelling run failed, with the failing model node.
  const skeinwork::TSwmPartialResult* Partial() const;
};

class RunController : public QObject {
  Q_OBJECT

 public:
  explicit RunController(QObject* parent = nullptr);
  ~RunController() override;

  // Not owned; must outlive the runs. Without one, messages go on and file access is refused.
  void SetPrompter(RunPrompter* prompter) { mPrompter = prompter; }

  // Starts a run; the results of the previous one are cleared first. The script (or, for a tree
  // load, the tree file) stays open between runs on the same path and is read from its start.
  void Start(RunMode mode, const QString& scriptPath, const QString& dataPath = {});
  // Stops a working run: asks the library to cancel, waits for the worker, discards what it made
  // and reports kRunCancelled. Nothing happens without a working run.
  void Cancel();
  // Cancels a working run and frees the results; the open script file is freed too unless kept.
  void Clear(bool keepScriptStream);

  // Makes a file just written (a new script) the open script of the next run, which starts in
  // `mode` on reload. Clears the current run first.
  void AdoptScriptFile(RunMode mode, const QString& path, std::unique_ptr<skeinwork::TStream> stream);

  // The script file was replaced on disk (the editor saves a whole new file): the next run opens
  // it again instead of reading the replaced one.
  void ScriptFileReplaced() { mScriptStreamPath.clear(); }

  bool IsWorking() const { return mThread != nullptr; }
  RunMode Mode() const { return mMode; }
  const QString& ScriptPath() const { return mScriptPath; }
  const QString& DataPath() const { return mDataPath; }

  // Results, valid after a finished run.
  skeinwork::TStream* ScriptStream() const { return mScriptStream.get(); }
  skeinwork::TSwScript* Script() const { return mScript.get(); }
  skeinwork::TSwmSlicer* Slicer() const { return mSlicer.get(); }
  // The tree to show: the slicer's result tree when there is a slicer, else the run's own tree.
  skeinwork::TSwTreeNode* ShownRoot() const;
  // The class of the tree streamer that loaded a tree file; empty otherwise.
  const QString& StreamerClassName() const { return mStreamerClassName; }
  // The code page the data is read with.
  int Codepage() const;
  const RunFailure& Failure() const { return mFailure; }

 signals:
  // The outer input's position while a model runs (at most a thousand steps a run). Signals
  // come on the thread the controller lives in.
  void Progress(qint64 position, qint64 size);
  // A run ended with kRunSucceeded, kRunFailed, kRunCancelled or another code.
  void Finished(int outcome);

 private:
  int RunBody();
  void DoRun();
  void OnWorkerEnded(unsigned serial);
  void DiscardResults();
  void CloseScriptStream();
  void RecordFailure(const skeinwork::ESkeinwork& error);

  // Worker-side hooks of the modelling run.
  void HandleMessage(skeinwork::TSwObject* sender, const skeinwork::ESkeinwork& error);
  void ReportProgress(int64_t position, int64_t size);
  skeinwork::TSwFileAccessAnswer AnswerFileAccess(const skeinwork::TSwFileAccessRequest& request);
  // Asks on the window's thread and waits; a cancel while waiting answers `whenCancelled`.
  template <class R>
  R AskOnWindowThread(std::function<R()> ask, R whenCancelled);

  RunPrompter* mPrompter = nullptr;
  QThread* mThread = nullptr;
  unsigned mSerial = 0;  // the run a queued notice belongs to
  RunMode mMode = RunMode::ModelData;
  QString mScriptPath, mDataPath, mScriptStreamPath;
  std::atomic<bool> mCancelRequested{false};
  std::atomic<skeinwork::TSwmCompiler*> mActiveCompiler{nullptr};
  std::mutex mAskMutex;
  std::condition_variable mAskChanged;
  int mLastPermille = -1;

  // Written by the worker while it runs; read by the window thread after it ended. Freed in the
  // reverse order, so that readers go before the streams they read.
  std::unique_ptr<skeinwork::TStream> mScriptStream;  // opened by Start, on the window's thread
  std::unique_ptr<skeinwork::ESkeinwork> mOpenError;  // why Start could not open it
  std::unique_ptr<skeinwork::TSwScript> mScript;
  std::unique_ptr<skeinwork::TSwmCompiler> mCompiler;
  std::unique_ptr<skeinwork::TStream> mDataFile;
  std::unique_ptr<skeinwork::TBufStream> mData;
  std::unique_ptr<skeinwork::TSwmSlicer> mSlicer;
  std::unique_ptr<skeinwork::TSwTreeNode> mTreeRoot;
  QString mStreamerClassName;
  RunFailure mFailure;
  int mOutcome = 0;
};

}  // namespace weftview
