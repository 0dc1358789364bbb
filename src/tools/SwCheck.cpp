#include "SwCheck.h"

#include <fnmatch.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <new>
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
  if (const TSwMismatchInfo* info = SwMismatchInfoOf(error); info && info->Current.Source != u"<unknown>")
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
  if (verdict.Ok) return fmt::format("OK   {}: {} {}\n", path, verdict.Nodes, verdict.Nodes == 1 ? "node" : "nodes");
  std::string line = "FAIL " + path + ": " + verdict.ErrorName;
  if (verdict.Offset) line += fmt::format(" at offset {}", *verdict.Offset);
  line += ": ";
  // A message's later lines (the model line that did not fit, say) go on the file's one line.
  for (char c : verdict.Message) line += c == '\n' ? std::string("; ") : std::string(1, c);
  return line + '\n';
}

std::string SwCheckLineJson(const std::string& path, const TSwCheckVerdict& verdict) {
  nlohmann::ordered_json line = {{"file", path}, {"status", verdict.Ok ? "OK" : "FAIL"}};
  if (verdict.Ok) {
    line["nodes"] = verdict.Nodes;
  } else {
    line["error"] = verdict.ErrorName;
    line["offset"] = verdict.Offset ? nlohmann::ordered_json(*verdict.Offset) : nlohmann::ordered_json(nullptr);
    line["message"] = verdict.Message;
  }
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

namespace {

bool MatchesAny(const std::string& name, const std::vector<std::string>& globs) {
  if (globs.empty()) return true;
  return std::any_of(globs.begin(), globs.end(),
                     [&](const std::string& glob) { return ::fnmatch(glob.c_str(), name.c_str(), 0) == 0; });
}

// A folder's entries in name order, or nothing when it cannot be listed.
std::optional<std::vector<fs::directory_entry>> SortedEntries(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) entries.push_back(*it);
  if (error) return std::nullopt;
  std::sort(entries.begin(), entries.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
  return entries;
}

// Depth first in name order, without recursion: a folder tree may be deep. Linked folders are
// not entered, so that a link to a parent cannot make a loop.
void AddFolder(const fs::path& top, const std::vector<std::string>& includes, std::vector<std::string>& files) {
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
      enter(entry.path());  // may move `level`
    } else if (entry.is_regular_file(error) && MatchesAny(entry.path().filename().string(), includes)) {
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

TSwCheckSummary SwCheckInOrder(const TSwCheckPlan& plan) {
  const size_t count = plan.Files.size();
  std::unique_ptr<TSwFileChecker> first = plan.MakeChecker();
  const size_t jobs = std::clamp<size_t>(static_cast<size_t>(std::max(plan.Jobs, 1)), 1, std::max<size_t>(count, 1));
  // How far the workers may run ahead of the file whose line is due: enough to keep them busy
  // past a slow file, few enough that the waiting verdicts stay small.
  const size_t window = std::min(count, 16 * jobs);

  enum class TState { Empty, Done, Dropped };
  struct TSlot {
    TState State = TState::Empty;
    TSwCheckVerdict Verdict;
  };
  std::vector<TSlot> slots(window);
  std::mutex mutex;
  std::condition_variable finished, room;
  size_t next = 0;     // the next file a worker takes
  size_t written = 0;  // the files whose verdicts went out
  bool stop = false;
  auto cancelled = [&] { return plan.Cancel && plan.Cancel->load(); };

  auto work = [&](std::unique_ptr<TSwFileChecker> checker) {
    if (!checker) {
      try {
        checker = plan.MakeChecker();
      } catch (...) {
        return;  // the first checker was made from the same script: the others work on
      }
    }
    std::unique_lock lock(mutex);
    for (;;) {
      room.wait(lock, [&] { return stop || next >= count || next < written + window; });
      if (stop || next >= count) return;
      const size_t index = next++;
      lock.unlock();
      TSwCheckVerdict verdict = CheckOne(*checker, plan.Files[index]);
      const bool dropped = !verdict.Ok && cancelled();
      lock.lock();
      slots[index % window] = {dropped ? TState::Dropped : TState::Done, std::move(verdict)};
      finished.notify_one();
    }
  };

  TSwCheckSummary summary;
  auto report = [&](size_t index, const TSwCheckVerdict& verdict) {
    plan.Write(plan.Files[index], verdict);
    ++(verdict.Ok ? summary.Passed : summary.Failed);
    summary.Unreadable |= verdict.Unreadable;
  };

  std::vector<std::thread> threads;
  struct TJoiner {
    std::vector<std::thread>& Threads;
    std::mutex& Mutex;
    std::condition_variable& Room;
    bool& Stop;
    void Join() {
      {
        std::lock_guard lock(Mutex);
        Stop = true;
      }
      Room.notify_all();
      for (std::thread& thread : Threads)
        if (thread.joinable()) thread.join();
    }
    ~TJoiner() { Join(); }
  } joiner{threads, mutex, room, stop};
  threads.emplace_back(work, std::move(first));
  for (size_t i = 1; i < jobs; ++i) threads.emplace_back(work, nullptr);

  std::unique_lock lock(mutex);
  while (written < count && !stop) {
    TSlot& slot = slots[written % window];
    if (cancelled() || slot.State == TState::Dropped) {
      stop = true;
      room.notify_all();
    } else if (slot.State == TState::Empty) {
      // A signal handler cannot wake this thread, so it looks at the flag now and then.
      finished.wait_for(lock, std::chrono::milliseconds(50));
    } else {
      TSwCheckVerdict verdict = std::move(slot.Verdict);
      slot = {};
      const size_t index = written++;
      room.notify_one();
      lock.unlock();
      report(index, verdict);
      lock.lock();
    }
  }
  lock.unlock();
  joiner.Join();
  // After a cancel: what finished meanwhile, in order; the rest was not checked.
  for (; written < count; ++written) {
    TSlot& slot = slots[written % window];
    if (written < next && slot.State == TState::Done) {
      report(written, slot.Verdict);
      slot = {};
    } else {
      ++summary.Unchecked;
    }
  }
  return summary;
}

}  // namespace skeinwork
