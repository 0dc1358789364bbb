#include "SwCheck.h"

#include <fnmatch.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>
#include <typeinfo>

#include "SwCommandLine.h"

namespace skeinwork {

namespace fs = std::filesystem;

TSwCheckVerdict SwCheckVerdictOf(const ESkeinwork& error) {
  TSwCheckVerdict verdict;
  verdict.ErrorName = SwReadableClassName(error.ClassName());
  verdict.Message = SwReportedMessage(error);
  verdict.Unreadable = SwExitCodeOf(error) == ecFileError;
  // Within a stream made from the input (a LINE, say) the file's own position is the global one.
  if (const TSwMismatchInfo* info = SwMismatchInfoOf(error);
      info && info->Current.Source != u"<unknown>")
    verdict.Offset = info->HasGlobal() ? info->Global.Position : info->Current.Position;
  return verdict;
}

TSwCheckVerdict SwCheckVerdictOf(const TSwRunResult& result, const ESkeinwork* error) {
  if (!error) error = result.Error();
  if (error) return SwCheckVerdictOf(*error);
  TSwCheckVerdict verdict;
  verdict.Ok = true;
  verdict.Nodes = SwCountNodes(result.Root());
  return verdict;
}

std::string SwCheckLineText(const std::string& path, const TSwCheckVerdict& verdict) {
  if (verdict.Ok)
    return fmt::format("OK   {}: {} {}\n", path, verdict.Nodes,
                       verdict.Nodes == 1 ? "node" : "nodes");
  std::string line = "FAIL " + path + ": " + verdict.ErrorName;
  if (verdict.Offset) line += fmt::format(" at offset {}", *verdict.Offset);
  line += ": ";
  // A message's later lines (the model line that did not fit, say) go on the file's one line.
  for (char c : verdict.Message) {
    if (c == '\n') {
      line += "; ";
    } else {
      line += c;
    }
  }
  return line + '\n';
}

std::string SwCheckLineJson(const std::string& path, const TSwCheckVerdict& verdict) {
  nlohmann::ordered_json line = {{"file", path}, {"status", verdict.Ok ? "OK" : "FAIL"}};
  if (verdict.Ok) {
    line["nodes"] = verdict.Nodes;
  } else {
    line["error"] = verdict.ErrorName;
    line["offset"] =
        verdict.Offset ? nlohmann::ordered_json(*verdict.Offset) : nlohmann::ordered_json(nullptr);
    line["message"] = verdict.Message;
  }
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

namespace {

bool MatchesAny(const std::string& name, const std::vector<std::string>& globs) {
  if (globs.empty()) return true;
  return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
    return ::fnmatch(glob.c_str(), name.c_str(), 0) == 0;
  });
}

// A folder's entries in name order, or nothing when it cannot be listed.
std::optional<std::vector<fs::directory_entry>> SortedEntries(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    entries.push_back(*it);
  if (error) return std::nullopt;
  std::sort(entries.begin(), entries.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path() < b.path();
            });
  return entries;
}

// Depth first in name order, without recursion: a folder tree may be deep. Linked folders are
// not entered, so that a link to a parent cannot make a loop.
void AddFolder(const fs::path& top, const std::vector<std::string>& includes,
               std::vector<std::string>& files) {
  struct TLevel {
    std::vector<fs::directory_entry> Entries;
    size_t Next = 0;
  };
  std::vector<TLevel> stack;
  auto enter = [&](const fs::path& folder) {
    if (auto entries = SortedEntries(folder)) {
      stack.push_back({std::move(*entries), 0});
    } else {
      files.push_back(folder.string());  // checking it reports why it cannot be read
    }
  };
  enter(top);
  while (!stack.empty()) {
    TLevel& level = stack.back();
    if (level.Next == level.Entries.size()) {
      stack.pop_back();
      continue;
    }
    const fs::directory_entry& entry = level.Entries[level.Next++];
    std::error_code error;
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      enter(fs::path(entry.path()));  // a copy: entering moves the entries
    } else if (entry.is_regular_file(error) &&
               MatchesAny(entry.path().filename().string(), includes)) {
      files.push_back(entry.path().string());
    }
  }
}

TSwCheckVerdict CheckOne(TSwFileChecker& checker, const std::string& path) {
  try {
    return checker.Check(path);
  } catch (const ESkeinwork& error) {
    return SwCheckVerdictOf(error);
  } catch (const std::bad_alloc&) {
    TSwCheckVerdict verdict;
    verdict.ErrorName = "Out Of Memory";
    verdict.Message = "the input needs more memory than there is.";
    return verdict;
  } catch (const std::exception& error) {
    TSwCheckVerdict verdict;
    verdict.ErrorName = SwReadableClassName(SwClassNameOf(typeid(error)));
    verdict.Message = error.what();
    return verdict;
  }
}

}  // namespace

std::vector<std::string> SwCheckFileList(const std::vector<std::string>& paths, bool recursive,
                                         const std::vector<std::string>& includes) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      files.push_back(path);
    } else if (!recursive) {
      SwRaise<ESwUsage>("\"%s\" is a folder; --recursive checks the files below it.", path);
    } else {
      AddFolder(path, includes, files);
    }
  }
  return files;
}

namespace {

// The state the workers share. Files are handed out in order; a verdict waits in a ring of slots
// until the ones before it are written, and the worker that finishes the verdict that is due
// writes it and the ready ones after it, so that no thread is woken only to write a line.
class TOrderedCheck {
 public:
  TOrderedCheck(const TSwCheckPlan& plan, size_t jobs)
      : mPlan(plan),
        mCount(plan.Files.size()),
        // How far the workers may run ahead of the file that is due: enough to keep them busy
        // past a slow file, few enough that the waiting verdicts stay small.
        mSlots(std::min(mCount, 16 * jobs)),
        mWorking(jobs) {}

  TSwCheckSummary Run(size_t jobs) {
    std::vector<std::thread> threads;
    struct TJoiner {
      TOrderedCheck& Check;
      std::vector<std::thread>& Threads;
      ~TJoiner() {
        Check.Stop();
        for (std::thread& thread : Threads)
          if (thread.joinable()) thread.join();
      }
    } joiner{*this, threads};
    // The other workers make their checkers while this thread makes the first, whose error (a
    // script that cannot be used) ends the check before any file is run.
    for (size_t i = 1; i < jobs; ++i) threads.emplace_back(&TOrderedCheck::Work, this, nullptr);
    std::unique_ptr<TSwFileChecker> first = mPlan.MakeChecker();
    {
      std::lock_guard lock(mMutex);
      mStarted = true;
    }
    mRoom.notify_all();
    threads.emplace_back(&TOrderedCheck::Work, this, std::move(first));

    std::unique_lock lock(mMutex);
    while (mWorking > 0) {
      // A signal handler cannot wake this thread, so it looks at the flag now and then.
      mIdle.wait_for(lock, std::chrono::milliseconds(50));
      if (Cancelled() && !mStop) {
        mStop = true;
        mRoom.notify_all();
      }
      FlushWritten();
    }
    lock.unlock();
    for (std::thread& thread : threads) thread.join();
    if (mFailure) std::rethrow_exception(mFailure);
    // After a stop: what finished meanwhile, in order; the rest was not checked.
    for (; mWritten < mCount; ++mWritten) {
      TSlot& slot = SlotOf(mWritten);
      if (mWritten < mNext && slot.State == TState::Done) {
        Report(mWritten, slot.Verdict);
      } else {
        ++mSummary.Unchecked;
      }
    }
    FlushWritten();
    return mSummary;
  }

 private:
  enum class TState { Empty, Done, Dropped };
  struct TSlot {
    TState State = TState::Empty;
    TSwCheckVerdict Verdict;
  };

  bool Cancelled() const { return mPlan.Cancel && mPlan.Cancel->load(); }
  TSlot& SlotOf(size_t index) { return mSlots[index % mSlots.size()]; }

  void Stop() {
    std::lock_guard lock(mMutex);
    mStop = true;
    mRoom.notify_all();
  }

  void Work(std::unique_ptr<TSwFileChecker> checker) {
    std::unique_lock lock(mMutex, std::defer_lock);
    try {
      // The first checker was made from the same script, so a failure here leaves the files to
      // the other workers.
      if (!checker) checker = mPlan.MakeChecker();
      lock.lock();
      for (;;) {
        mRoom.wait(lock, [&] {
          return mStop || (mStarted && (mNext >= mCount || mNext < mWritten + mSlots.size()));
        });
        if (mStop || mNext >= mCount) break;
        const size_t index = mNext++;
        lock.unlock();
        TSwCheckVerdict verdict = CheckOne(*checker, mPlan.Files[index]);
        const bool dropped = !verdict.Ok && Cancelled();
        lock.lock();
        SlotOf(index) = {dropped ? TState::Dropped : TState::Done, std::move(verdict)};
        if (dropped) mStop = true;
        WriteDue();
      }
    } catch (...) {
      if (!lock.owns_lock()) lock.lock();
      if (checker) {  // a failed write ends the check
        if (!mFailure) mFailure = std::current_exception();
        mStop = true;
      }
    }
    if (--mWorking == 0) mIdle.notify_all();
    mRoom.notify_all();
  }

  // With the lock held.
  void WriteDue() {
    const size_t before = mWritten;
    while (!mStop && mWritten < mCount && SlotOf(mWritten).State == TState::Done) {
      TSlot& slot = SlotOf(mWritten);
      Report(mWritten, slot.Verdict);
      slot = {};
      ++mWritten;
    }
    if (mWritten != before) mRoom.notify_all();
  }

  void Report(size_t index, const TSwCheckVerdict& verdict) {
    mPlan.Write(mPlan.Files[index], verdict);
    mUnflushed = true;
    ++(verdict.Ok ? mSummary.Passed : mSummary.Failed);
    mSummary.Unreadable |= verdict.Unreadable;
  }

  void FlushWritten() {
    if (mUnflushed && mPlan.Flush) mPlan.Flush();
    mUnflushed = false;
  }

  const TSwCheckPlan& mPlan;
  const size_t mCount;
  std::vector<TSlot> mSlots;
  std::mutex mMutex;
  std::condition_variable mRoom;  // a worker may take another file, or must stop
  std::condition_variable mIdle;  // every worker has ended
  size_t mWorking;
  size_t mNext = 0;       // the next file a worker takes
  size_t mWritten = 0;    // the files whose verdicts went out
  bool mStarted = false;  // the first checker was made
  bool mStop = false;
  bool mUnflushed = false;
  std::exception_ptr mFailure;
  TSwCheckSummary mSummary;
};

}  // namespace

TSwCheckSummary SwCheckInOrder(const TSwCheckPlan& plan) {
  const size_t count = plan.Files.size();
  const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(plan.Jobs, 1)), 1,
                                         std::max<size_t>(count, 1));
  TOrderedCheck check(plan, jobs);
  return check.Run(jobs);
}

}  // namespace skeinwork
