#include "SwRunner.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
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

std::unique_ptr<TFileStream> SwOpenForReading(const std::string& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored))
    SwRaise<EFOpenError>("Cannot open file \"%s\". %s", path, std::strerror(EISDIR));
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
  // Mismatches carry the input around the failure unless the host installed a hook of its own.
  if (!SwExceptionHook()) SwInstallMismatchInfoHook();
  std::unique_ptr<TFileStream> file = SwOpenForReading(scriptPath);
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
    file = SwOpenForReading(dataPath);
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
