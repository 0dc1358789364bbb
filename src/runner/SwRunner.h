// SwRunner: the library in a few lines, for callers who want a result tree from a script and
// some data without driving the script loader, the compiler and the read cache themselves.
//
// Start from TSwRunner::Load: it reads a script file and compiles its chosen model once. Each
// ModelFile, ModelBytes or Model call runs that model over data and returns a TSwRunResult, which
// owns everything its tree needs (the data, the read cache, the slicer) and, when the data did not
// fit, the error with the input around the failure:
//
//   auto runner = skeinwork::TSwRunner::Load("examples/png.sw");
//   skeinwork::TSwRunResult result = runner->ModelFile("examples/sample.png");
//   if (!result.Ok()) std::cerr << result.Error()->Message() << '\n';
//   else std::cout << result.Root()->ChildCount() << '\n';
//
// A runner runs one model at a time; two threads use two runners.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "BufStream.h"
#include "SwCore.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwScript.h"

namespace skeinwork {

// How inputs without a size to read by (a pipe, a device, a file of /proc) are read: into memory,
// up to a limit.
struct TSwReadLimits {
  int64_t MaxStreamedInput = int64_t{256} << 20;  // bytes; more is refused with EReadError
  int PipeWaitMilliseconds = 60000;               // how long a named pipe's writer is waited for
};

// How the runs of a runner read their data.
struct TSwRunSettings {
  WideString Eoln;                 // the data's line break; empty: the script's own
  bool KeepPartialResult = false;  // a failed run keeps the tree built so far (Root())
  int64_t MaxResultNodes = 0;      // the most result nodes a run may make; 0: no limit
};

// The outcome of one run: the result tree on success, the error (and the partial tree when kept)
// on failure. Movable, not copyable; the tree lives as long as the result.
class TSwRunResult {
 public:
  TSwRunResult() = default;
  TSwRunResult(TSwRunResult&&) noexcept = default;
  TSwRunResult& operator=(TSwRunResult&&) noexcept = default;
  ~TSwRunResult();

  bool Ok() const { return mError == nullptr; }
  // The result tree; after a failure the partial tree when it was kept, otherwise null.
  TSwTreeNode* Root() const;
  // Reads the bytes of the tree's stream ranges (TSwmSlicer::ReadValue and friends).
  TSwmSlicer* Slicer() const;
  // Null on success. ClassName() and Message() tell what went wrong.
  const ESkeinwork* Error() const { return mError.get(); }
  // The input around a mismatch (the stream, position and bytes), or null.
  const TSwMismatchInfo* Mismatch() const;

 private:
  friend class TSwRunner;
  // Declared in the order that frees the slicers before the data they read.
  std::unique_ptr<TStream> mInput;
  std::unique_ptr<TBufStream> mData;
  std::unique_ptr<TSwmSlicer> mSlicer;
  std::unique_ptr<ESkeinwork> mError;  // may own a partial result that reads mData
};

// A loaded script with its compiled model.
class TSwRunner {
 public:
  // Reads the script file (a UTF-8 path) and compiles its model; a missing file or a broken
  // script raises its error (ESkeinwork).
  static std::unique_ptr<TSwRunner> Load(const std::string& scriptPath);

  TSwRunSettings Settings;
  TSwReadLimits ReadLimits;

  // Models a file (a UTF-8 path); a file that cannot be opened is the result's error.
  TSwRunResult ModelFile(const std::string& dataPath);
  // Models a copy of the bytes.
  TSwRunResult ModelBytes(std::string_view data);
  // Models a stream from its start; the result owns it.
  TSwRunResult Model(std::unique_ptr<TStream> data);

  const TSwScript& Script() const { return *mScript; }
  // The compiled model: hooks for warnings, progress and tracing, cancellation, functions.
  TSwmCompiler& Compiler() { return *mCompiler; }

 private:
  TSwRunner() = default;

  std::unique_ptr<TSwScript> mScript;
  std::unique_ptr<TSwmCompiler> mCompiler;
  TSwOptions mCompiledOptions;  // the compiler's options before a run applies the settings
};

// Opens a file (a UTF-8 path) to read; a folder or a file that cannot be opened raises
// EFOpenError naming it. What has no size to read by is read into memory first.
std::unique_ptr<TStream> SwOpenForReading(const std::string& path, const TSwReadLimits& limits = {});

// Gives the compiler the options data is read with: the line break `eoln` when given, else the
// script's own when it states one; the code page of the script's charset when it names one.
void SwApplyScriptOptions(TSwmCompiler& compiler, const TSwScript& script, const WideString& eoln = {});

}  // namespace skeinwork
