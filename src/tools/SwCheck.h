// SwCheck: models many files with one script on several threads and reports each file in the
// order the files were given, as the program's `check` command does.
//
// Each worker thread has a checker of its own (a runner with its compiled model), so nothing is
// shared between threads but the list of files and the finished verdicts. A verdict holds no
// tree, so a file's result tree is freed as soon as its run ends; and the workers run at most
// 16 files per worker ahead of the file whose verdict is due, so memory stays bounded whatever
// the number of files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SwRunner.h"

namespace skeinwork {

// What one file's run came to.
struct TSwCheckVerdict {
  bool Ok = false;
  int64_t Nodes = 0;              // result nodes, on success
  std::string ErrorName;          // the readable error name, on failure
  std::optional<int64_t> Offset;  // where in the file the run stopped, when known
  std::string Message;      // a mismatch's cut before ", input: ", as the error report shows it
  bool Unreadable = false;  // the file could not be opened or read
};

// The verdict of a run; `error` stands in for the run's own error when given.
TSwCheckVerdict SwCheckVerdictOf(const TSwRunResult& result, const ESkeinwork* error = nullptr);
// The verdict of an error met outside a run.
TSwCheckVerdict SwCheckVerdictOf(const ESkeinwork& error);

// "OK   PATH: N nodes" or "FAIL PATH: NAME at offset N: MESSAGE" (the message on one line).
std::string SwCheckLineText(const std::string& path, const TSwCheckVerdict& verdict);
// {"file", "status": "OK"|"FAIL", "nodes"} or {"file", "status", "error", "offset", "message"}.
std::string SwCheckLineJson(const std::string& path, const TSwCheckVerdict& verdict);

// The files that `paths` name, in their order: a file as it is; with `recursive`, every file
// below a folder, in name order, whose name matches one of the `includes` globs (any name when
// there are none). A folder that cannot be listed stays in the list, so that checking it fails.
// A folder without `recursive` raises ESwUsage.
std::vector<std::string> SwCheckFileList(const std::vector<std::string>& paths, bool recursive,
                                         const std::vector<std::string>& includes);

// Checks files on one worker thread: made there (the first one on the caller's thread, which
// hands it over) and used only there.
class TSwFileChecker {
 public:
  virtual ~TSwFileChecker() = default;
  virtual TSwCheckVerdict Check(const std::string& path) = 0;
};

struct TSwCheckSummary {
  int64_t Passed = 0;
  int64_t Failed = 0;
  int64_t Unchecked = 0;  // left when the check was cancelled
  bool Unreadable = false;
};

struct TSwCheckPlan {
  std::vector<std::string> Files;
  int Jobs = 1;
  // Makes a worker's checker. The caller's thread makes the first, and its error ends the check
  // before any file is run; a later one's error leaves the files to the other workers.
  std::function<std::unique_ptr<TSwFileChecker>()> MakeChecker;
  // Receives every verdict in the order of the files, one call at a time, on any thread; its
  // exception ends the check and is raised again.
  std::function<void(const std::string& path, const TSwCheckVerdict& verdict)> Write;
  // Makes what Write wrote visible: called now and then (every 50 ms at most) and at the end.
  std::function<void()> Flush;
  // Once set (by a signal handler, say), no file is started any more and the runs that failed
  // meanwhile are taken as unchecked; read, never written.
  const std::atomic<bool>* Cancel = nullptr;
};

// Checks the plan's files on its number of threads (at most one per file).
TSwCheckSummary SwCheckInOrder(const TSwCheckPlan& plan);

}  // namespace skeinwork
