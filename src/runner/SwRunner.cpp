#include "SwRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "StrConv.h"

namespace skeinwork {

TSwRunResult::~TSwRunResult() = default;

TSwTreeNode* TSwRunResult::Root() const {
  TSwmSlicer* slicer = Slicer();
  return slicer ? slicer->Root() : nullptr;
}

TSwmSlicer* TSwRunResult::Slicer() const {
  if (mSlicer) return mSlicer.get();
  auto* partial = mError ? dynamic_cast<TSwmPartialResult*>(mError->Object()) : nullptr;
  return partial ? partial->Slicer.get() : nullptr;
}

const TSwMismatchInfo* TSwRunResult::Mismatch() const { return mError ? SwMismatchInfoOf(*mError) : nullptr; }

namespace {

// Reads a stream without a size into memory, up to the stated limit. A named pipe opens at
// once; a writer is waited for a while, not for ever.
std::unique_ptr<TStream> ReadIntoMemory(const std::string& path, const TSwReadLimits& limits) {
  const int handle = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) SwRaise<EFOpenError>("Cannot open file \"%s\". %s", path, std::strerror(errno));
  struct TCloser {
    int Handle;
    ~TCloser() { ::close(Handle); }
  } closer{handle};
  struct stat info {};
  if (::fstat(handle, &info) == 0 && S_ISFIFO(info.st_mode)) {
    pollfd ready{handle, POLLIN, 0};
    int answer;
    while ((answer = ::poll(&ready, 1, limits.PipeWaitMilliseconds)) < 0 && errno == EINTR) {
    }
    if (answer == 0)
      SwRaise<EFOpenError>("Cannot open file \"%s\". Nothing wrote to the pipe within %g seconds.", path,
                           limits.PipeWaitMilliseconds / 1000.0);
  }
  ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) & ~O_NONBLOCK);
  std::string data;
  for (;;) {
    const size_t had = data.size();
    data.resize(had + 65536);
    const ssize_t got = ::read(handle, data.data() + had, 65536);
    if (got < 0 && errno == EINTR) {
      data.resize(had);
      continue;
    }
    if (got < 0) SwRaise<EReadError>("Cannot read file \"%s\". %s", path, std::strerror(errno));
    data.resize(had + static_cast<size_t>(got));
    if (got == 0) break;
    if (static_cast<int64_t>(data.size()) > limits.MaxStreamedInput)
      SwRaise<EReadError>("\"%s\" is not a regular file and holds more than %d bytes, the most that is read "
                          "into memory from a pipe or device.", path, limits.MaxStreamedInput);
  }
  return std::make_unique<TStringStream>(std::move(data));
}

}  // namespace

std::unique_ptr<TStream> SwOpenForReading(const std::string& path, const TSwReadLimits& limits) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) SwRaise<EFOpenError>("Cannot open file \"%s\". %s", path, std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode) || info.st_size == 0) return ReadIntoMemory(path, limits);
  }
  return std::make_unique<TFileStream>(Utf8ToWide(path), TFileMode::OpenRead);
}

void SwApplyScriptOptions(TSwmCompiler& compiler, const TSwScript& script, const WideString& eoln) {
  if (!eoln.empty()) {
    compiler.Options.Eoln = eoln;
  } else if (!script.Options.Eoln.empty()) {
    compiler.Options.Eoln = script.Options.Eoln;
  }
  if (script.Codepage() > 0) compiler.Options.Codepage = script.Codepage();
}

std::unique_ptr<TSwRunner> TSwRunner::Load(const std::string& scriptPath) {
  // Mismatches carry the input around the failure unless the host installed a hook of its own;
  // once, so that runners loaded on several threads do not install it over each other.
  static std::once_flag hookChecked;
  std::call_once(hookChecked, [] {
    if (!SwExceptionHook()) SwInstallMismatchInfoHook();
  });
  std::unique_ptr<TStream> file = SwOpenForReading(scriptPath);
  std::unique_ptr<TSwRunner> runner(new TSwRunner);
  runner->mScript = std::make_unique<TSwScript>();
  runner->mScript->Load(*file, Utf8ToWide(scriptPath));
  runner->mCompiler = runner->mScript->CompileModel();
  runner->mCompiledOptions = runner->mCompiler->Options;
  return runner;
}

TSwRunResult TSwRunner::ModelFile(const std::string& dataPath) {
  std::unique_ptr<TStream> file;
  try {
    file = SwOpenForReading(dataPath, ReadLimits);
  } catch (const ESkeinwork& error) {
    TSwRunResult result;
    result.mError = error.Clone();
    return result;
  }
  return Model(std::move(file));
}

TSwRunResult TSwRunner::ModelBytes(std::string_view data) { return Model(std::make_unique<TStringStream>(data)); }

TSwRunResult TSwRunner::Model(std::unique_ptr<TStream> data) {
  TSwRunResult result;
  result.mInput = std::move(data);
  try {
    mCompiler->Options = mCompiledOptions;
    SwApplyScriptOptions(*mCompiler, *mScript, Settings.Eoln);
    mCompiler->KeepPartialResult = Settings.KeepPartialResult;
    mCompiler->MaxResultNodes = Settings.MaxResultNodes;
    result.mInput->Seek(0, TSeekOrigin::Beginning);
    result.mData = std::make_unique<TBufStream>(result.mInput.get(), false);
    result.mSlicer = mCompiler->Modell(*result.mData);
  } catch (const ESkeinwork& error) {
    result.mError = error.Clone();
  }
  return result;
}

}  // namespace skeinwork
