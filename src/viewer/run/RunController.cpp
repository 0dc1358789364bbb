#include "RunController.h"

#include <QFileInfo>
#include <QThread>

#include <typeinfo>

#include "StrConv.h"
#include "SwExpressions.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwRunner.h"
#include "SwScript.h"
#include "SwStreamers.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {

WideString Wide(const QString& text) { return text.toStdU16String(); }

// The file named by the script path is shared with the script editor, which writes to it; a
// file the user may only read is still read.
std::unique_ptr<TStream> OpenScriptFile(const QString& path) {
  try {
    return std::make_unique<TFileStream>(Wide(path), TFileMode::OpenReadWrite);
  } catch (const EFOpenError&) {
    return std::make_unique<TFileStream>(Wide(path), TFileMode::OpenRead);
  }
}

}  // namespace

const TSwmPartialResult* RunFailure::Partial() const {
  return dynamic_cast<const TSwmPartialResult*>(Information.get());
}

const TSwMismatchInfo* RunFailure::Mismatch() const {
  const TSwmPartialResult* partial = Partial();
  return dynamic_cast<const TSwMismatchInfo*>(partial ? partial->Information.get() : Information.get());
}

RunController::RunController(QObject* parent) : QObject(parent) {}

RunController::~RunController() {
  // No Finished signal from a controller being destroyed.
  blockSignals(true);
  Clear(false);
}

TSwTreeNode* RunController::ShownRoot() const { return mSlicer ? mSlicer->Root() : mTreeRoot.get(); }

int RunController::Codepage() const { return mCompiler ? mCompiler->Options.Codepage : SwUtf8Codepage; }

void RunController::Start(RunMode mode, const QString& scriptPath, const QString& dataPath) {
  Clear(scriptPath == mScriptStreamPath);
  mMode = mode;
  mScriptPath = scriptPath;
  mDataPath = dataPath;
  mCancelRequested = false;
  mLastPermille = -1;
  mOpenError.reset();
  if (!mScriptStream) {
    try {
      mScriptStream = OpenScriptFile(mScriptPath);
      mScriptStreamPath = mScriptPath;
    } catch (const ESkeinwork& error) {
      mOpenError = error.Clone();  // the run fails with it, as with any error of the run
    }
  }
  const unsigned serial = ++mSerial;
  mThread = QThread::create([this] { DoRun(); });
  connect(mThread, &QThread::finished, this, [this, serial] { OnWorkerEnded(serial); }, Qt::QueuedConnection);
  mThread->start();
}

void RunController::DoRun() {
  try {
    mOutcome = RunBody();
  } catch (const ESkeinwork& error) {
    RecordFailure(error);
    mOutcome = kRunFailed;
  } catch (const std::exception& error) {
    mFailure.ClassName = SwClassNameOf(typeid(error));
    mFailure.Message = QString::fromLocal8Bit(error.what());
    mOutcome = kRunFailed;
  }
  mActiveCompiler = nullptr;
}

int RunController::RunBody() {
  if (mOpenError) mOpenError->Raise();
  mScriptStream->SetPosition(0);
  const WideString scriptName = Wide(mScriptPath);
  if (mMode != RunMode::LoadTree) mScript = TSwScript::CreateFrom(*mScriptStream, scriptName);
  switch (mMode) {
    case RunMode::ModelData: {
      mCompiler = mScript->CompileModel();
      SwApplyScriptOptions(*mCompiler, *mScript);
      TSwmCompiler& compiler = *mCompiler;
      compiler.SetErrorHandler(TSwErrorHandler::Of<&RunController::HandleMessage>(this));
      compiler.ProgressHook = TSwmProgressHook::Of<&RunController::ReportProgress>(this);
      compiler.FileAccess.Read = compiler.FileAccess.Write = TSwFileAccessMode::Ask;
      compiler.FileAccess.Ask = TSwFileAccessAsk::Of<&RunController::AnswerFileAccess>(this);
      compiler.KeepPartialResult = true;  // the failure page offers the nodes made before the failure
      mActiveCompiler = &compiler;
      if (mCancelRequested) compiler.RequestCancel();
      mDataFile = SwOpenForReading(mDataPath.toStdString());
      mData = std::make_unique<TBufStream>(mDataFile.get(), false);
      mSlicer = compiler.Modell(*mData);
      break;
    }
    case RunMode::LoadTree: {
      TSwBinaryStreamer streamer;
      mTreeRoot = streamer.Read(*mScriptStream, scriptName);
      mStreamerClassName = QString::fromStdString(streamer.ClassName());
      break;
    }
    case RunMode::IllustrateScript:
      mSlicer = mScript->TakeSlicer();
      break;
    case RunMode::IllustrateModel:
      mCompiler = mScript->CompileModel();
      mTreeRoot = mCompiler->DumpModel(0);
      break;
    default:
      SwRaise<EInvalidArgument>("Wrong Mode for ModellingThread.");
  }
  return kRunSucceeded;
}

void RunController::RecordFailure(const ESkeinwork& error) {
  mFailure.ClassName = error.ClassName();
  mFailure.Message = QString::fromStdString(error.Message());
  mFailure.IsMismatch = dynamic_cast<const ESwmMismatch*>(&error) != nullptr;
  mFailure.Information = error.ExtractObject();
}

void RunController::OnWorkerEnded(unsigned serial) {
  if (serial != mSerial || !mThread) return;  // a run that was cancelled meanwhile
  mThread->wait();
  delete mThread;
  mThread = nullptr;
  if (mCompiler) {
    mCompiler->SetErrorHandler({});
    mCompiler->ProgressHook = {};
    mCompiler->FileAccess.Ask = {};
  }
  emit Finished(mOutcome);
}

void RunController::Cancel() {
  if (!mThread) return;
  {
    std::lock_guard lock(mAskMutex);
    mCancelRequested = true;
  }
  mAskChanged.notify_all();
  if (TSwmCompiler* compiler = mActiveCompiler.load()) compiler->RequestCancel();
  mThread->wait();
  delete mThread;
  mThread = nullptr;
  ++mSerial;
  DiscardResults();
  emit Finished(kRunCancelled);
}

void RunController::Clear(bool keepScriptStream) {
  Cancel();
  DiscardResults();
  if (!keepScriptStream) CloseScriptStream();
}

void RunController::AdoptScriptFile(RunMode mode, const QString& path, std::unique_ptr<TStream> stream) {
  Clear(false);
  mMode = mode;
  mScriptPath = path;
  mDataPath.clear();
  mScriptStream = std::move(stream);
  mScriptStreamPath = path;
}

void RunController::DiscardResults() {
  mFailure = RunFailure();  // a partial result's nodes read the data streams
  mSlicer.reset();
  mTreeRoot.reset();
  mData.reset();
  mDataFile.reset();
  mCompiler.reset();
  mScript.reset();
  mStreamerClassName.clear();
  mOutcome = 0;
}

void RunController::CloseScriptStream() {
  mScriptStream.reset();
  mScriptStreamPath.clear();
}

template <class R>
R RunController::AskOnWindowThread(std::function<R()> ask, R whenCancelled) {
  struct Pending {
    bool Answered = false;
    R Answer{};
  };
  auto pending = std::make_shared<Pending>();
  const unsigned serial = mSerial;
  QMetaObject::invokeMethod(
      this,
      [this, pending, ask, serial] {
        if (serial != mSerial || mCancelRequested) return;  // the run is gone: nobody is asked
        R answer = ask();
        {
          std::lock_guard lock(mAskMutex);
          pending->Answer = answer;
          pending->Answered = true;
        }
        mAskChanged.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mAskMutex);
  mAskChanged.wait(lock, [&] { return pending->Answered || mCancelRequested; });
  return pending->Answered && !mCancelRequested ? pending->Answer : whenCancelled;
}

void RunController::HandleMessage(TSwObject*, const ESkeinwork& error) {
  if (dynamic_cast<const ESwmError*>(&error)) error.Raise();  // FAIL ends the run
  const QString caption = WarningCaption(error.ClassName());
  const QString text = QString::fromStdString(error.Message());
  const bool goOn = AskOnWindowThread<bool>(
      [this, caption, text] { return !mPrompter || mPrompter->ConfirmWarning(caption, text); }, false);
  if (!goOn) error.Raise();
}

void RunController::ReportProgress(int64_t position, int64_t size) {
  const int permille = size > 0 ? static_cast<int>(position * 1000 / size) : 0;
  if (permille == mLastPermille) return;
  mLastPermille = permille;
  // Emitted on the controller's thread, like every signal of it; a run that ended meanwhile is silent.
  const unsigned serial = mSerial;
  QMetaObject::invokeMethod(
      this, [this, serial, position, size] {
        if (serial == mSerial && mThread) emit Progress(position, size);
      },
      Qt::QueuedConnection);
}

TSwFileAccessAnswer RunController::AnswerFileAccess(const TSwFileAccessRequest& request) {
  const QString function = QString::fromStdU16String(request.Function);
  const QString path = QString::fromStdU16String(request.ResolvedPath);
  const bool write = request.Kind == TSwFileAccessKind::Write;
  const FileAccessAnswer answer = AskOnWindowThread<FileAccessAnswer>(
      [this, function, path, write] {
        return mPrompter ? mPrompter->AskFileAccess(function, path, write) : FileAccessAnswer::Refuse;
      },
      FileAccessAnswer::Refuse);
  switch (answer) {
    case FileAccessAnswer::AllowOnce:
      return TSwFileAccessAnswer::AllowOnce;
    case FileAccessAnswer::AllowForRun:
      return TSwFileAccessAnswer::AllowForRun;
    default:
      return TSwFileAccessAnswer::Refuse;
  }
}

}  // namespace weftview
