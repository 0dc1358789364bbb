#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SwCheck.h"

namespace skeinwork {
namespace {

constexpr int kJobs = 3;
constexpr int kWindow = 16 * kJobs;  // files the workers may run ahead of the one that is due

// The lines come out in the order of the files, so while the first file runs the workers may
// take only a window of files ahead of it: the verdicts waiting stay bounded however many files
// there are. The ThreadSanitizer build runs this test.
TEST(Check, RunsOnSeveralThreadsAtMostAWindowAhead) {
  std::atomic<int> started{0};
  struct TChecker : TSwFileChecker {
    std::atomic<int>& Started;
    explicit TChecker(std::atomic<int>& started) : Started(started) {}
    TSwCheckVerdict Check(const std::string& path) override {
      ++Started;
      if (path == "0") {
        // Held until the others took what they may, and a while longer to see them take no more.
        for (int wait = 0; wait < 1000 && Started < kWindow; ++wait)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(Started.load(), kWindow);
      }
      TSwCheckVerdict verdict;
      verdict.Ok = path.back() != '7';
      verdict.Nodes = static_cast<int64_t>(path.size());
      return verdict;
    }
  };
  TSwCheckPlan plan;
  for (int i = 0; i < 500; ++i) plan.Files.push_back(std::to_string(i));
  plan.Jobs = kJobs;
  plan.MakeChecker = [&] { return std::make_unique<TChecker>(started); };
  std::vector<std::string> written;
  plan.Write = [&](const std::string& path, const TSwCheckVerdict&) { written.push_back(path); };
  const TSwCheckSummary summary = SwCheckInOrder(plan);
  EXPECT_EQ(written, plan.Files);
  EXPECT_EQ(summary.Passed, 450);
  EXPECT_EQ(summary.Failed, 50);
  EXPECT_EQ(summary.Unchecked, 0);
}

}  // namespace
}  // namespace skeinwork
