#include "SwAtomicFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "SwTestSupport.h"

namespace skeinwork {
namespace {

namespace fs = std::filesystem;

// Makes writes beyond `bytes` fail as they do on a full disk (with EFBIG rather than ENOSPC),
// for the life of the object.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t bytes) {
    mPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &mPrevious);
    rlimit limit = mPrevious;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &mPrevious);
    std::signal(SIGXFSZ, mPreviousHandler);
  }

 private:
  rlimit mPrevious{};
  void (*mPreviousHandler)(int) = nullptr;
};

// Until Commit the target is what it was and the data sits under another name in its folder; Commit
// replaces the target whole, and without it (after a failure, or no call at all) nothing else is left.
TEST(AtomicFile, CommitReplacesTheTargetAndFailuresLeaveItAsItWas) {
  // before: null: no file there; limit: on the file's size, 0: none; setSize: grows the file instead of
  // writing; error: the message up to the file name.
  struct Row { const char *name, *before; std::string written; bool commit; rlim_t limit = 0; bool setSize = false;
               std::string error = {}; };
  const std::string big(200000, 'b');
  const Row rows[] = {
      {"a new file", nullptr, "fresh", true}, {"replaces a longer file", "old content that is longer", "new", true},
      {"replaces with nothing", "old", "", true}, {"a large file", "old", std::string(3 << 20, 'x'), true},
      {"dropped without Commit", "old", big, false}, {"dropped, no file before", nullptr, big, false},
      {"the disk fills up", "old", big, false, 100000, false, "Cannot write file"},
      {"the disk fills up, no file before", nullptr, big, false, 4096, false, "Cannot write file"},
      {"setting a size beyond the limit", "old", big, false, 4096, true, "Cannot set size of file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TScratchDir folder("commit");
    const fs::path target = folder / "out.bin";
    if (row.before) WriteFile(target, row.before);
    {
      TSwAtomicFileStream file(Utf8ToWide(target.string()));
      auto write = [&] {
        std::optional<TFileSizeLimit> limit;
        if (row.limit) limit.emplace(row.limit);
        row.setSize ? file.SetSize(1 << 20) : file.WriteBuffer(row.written.data(), static_cast<int64_t>(row.written.size()));
      };
      if (row.error.empty()) write();
      else ExpectError<EWriteError>(write, row.error + " \"" + target.string() + "\". File too large");
      EXPECT_EQ(fs::exists(target), row.before != nullptr);
      if (row.before) { EXPECT_EQ(ReadFile(target), row.before); }
      EXPECT_EQ(fs::path(file.TempPath()).parent_path(), target.parent_path());
      if (row.commit) {
        file.Commit();
        EXPECT_TRUE(file.Committed());
        ExpectError<EWriteError>([&] { file.Write("x", 1); }, "File \"" + target.string() + "\" is already closed.");
      }
    }
    EXPECT_EQ(ReadFile(target), row.commit ? row.written : row.before ? row.before : "");
    EXPECT_EQ(folder.Names(), row.commit || row.before ? std::vector<std::string>{"out.bin"} : std::vector<std::string>{});
  }
  // A cancel request (an interrupt) stops the next write, and the file goes with the stream.
  TScratchDir folder("cancel");
  const fs::path target = folder / "tree.swt";
  WriteFile(target, "old");
  std::atomic<bool> cancel{true};
  TSwWorkMeter meter(&cancel, TSwWorkMeter::NoLimit);
  ExpectError<ESwCancelled>([&] {
        TSwAtomicFileStream file(Utf8ToWide(target.string()));
        file.WriteBuffer("new", 3);
      }, "The work was cancelled.");
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(folder.Names().size(), 1u);
}

TEST(AtomicFile, TargetsThatCannotBeCreated) {
  TScratchDir folder("create");
  fs::create_directories(folder / "dir");
  const std::pair<std::string, std::string> rows[] = {
      {(folder / "missing" / "out.bin").string(), "No such file or directory"},
      {(folder / "dir").string(), "Is a directory"}, {"", "No such file or directory"}};
  for (const auto& [target, reason] : rows)
    ExpectError<EFCreateError>([&] { TSwAtomicFileStream file(Utf8ToWide(target)); },
                               "Cannot create file \"" + target + "\". " + reason);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"dir"});
}

TEST(AtomicFile, ReplacementKeepsPermissionsAndLinks) {
  TScratchDir folder("keep");
  const fs::path target = folder / "data.txt";
  const fs::path link = folder / "link.txt";
  const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  WriteFile(target, "old");
  fs::permissions(target, perms);
  fs::create_symlink(target, link);
  TSwAtomicFileStream file(Utf8ToWide(link.string()));
  file.WriteBuffer("new", 3);
  file.Commit();
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(link), "new");
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, perms);
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"data.txt", "link.txt"}));
}

TEST(AtomicFile, ReadsBackWhatWasWritten) {
  // Writers such as the tree file's container go back to patch and check what they wrote.
  TScratchDir folder("read");
  TSwAtomicFileStream file(Utf8ToWide((folder / "f.bin").string()));
  file.WriteBuffer("0123456789", 10);
  EXPECT_EQ(file.Size(), 10);
  file.SetPosition(2);
  file.WriteBuffer("ab", 2);
  file.SetPosition(0);
  char back[10];
  file.ReadBuffer(back, 10);
  EXPECT_EQ(std::string(back, 10), "01ab456789");
  file.SetSize(4);
  EXPECT_EQ(file.Position(), 4);
  file.Commit();
  EXPECT_EQ(ReadFile(folder / "f.bin"), "01ab");
}

}  // namespace
}  // namespace skeinwork
