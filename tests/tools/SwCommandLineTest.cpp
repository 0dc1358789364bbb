#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SwCheck.h"
#include "SwCommandLine.h"
#include "SwModelling.h"
#include "SwTestSupport.h"

namespace skeinwork {
namespace {

template <class TError>
void ExpectReport(const TError& error, const std::string& report, int code) {
  std::ostringstream out;
  SwWriteErrorReport(out, error);
  EXPECT_EQ(out.str(), report);
  EXPECT_EQ(SwExitCodeOf(error), code) << report;
}

TEST(ErrorReport, NameMessageAndExitCode) {
  ExpectReport(MakeError<ESwmNoMatchingNode>("No child nodes match the input. Node: %s, input: %s.", "'a'", "@0 41"),
               "No Matching Node: No child nodes match the input. Node: 'a'\n", ecFailed);
  ExpectReport(MakeError<ESwmInputLeft>("Left, input: kept."), "Input Left: Left, input: kept.\n", ecFailed);
  // The file errors and usage errors of each command are checked through the program.
}

TEST(ErrorReport, ExcerptsAroundTheFailurePoint) {
  // 300 bytes with the failure at 200: the report shows 128 bytes on each side at most.
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>('A' + i % 26);
  TStringStream current(data);
  current.SetPosition(200);
  TStringStream global("0123456789");
  global.SetPosition(3);
  auto info = std::make_unique<TSwMismatchInfo>();
  info->Capture(&current, &global);
  ESwmConditionMismatch error = MakeError<ESwmConditionMismatch>("Bad byte, input: @200 x.");
  error.SetObject(std::move(info));

  std::ostringstream out;
  SwWriteErrorReport(out, error, "data.bin");
  std::string report = out.str();
  std::vector<std::string> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 23u) << report;
  const std::string here = std::string(35, ' ') + "-- HERE --";
  struct TLine { size_t Index; std::string Text; };
  // 72 = 200 - 128 starts in the middle of a grid line; 328 lies past the end, which is at 300.
  const std::vector<TLine> expected = {
      {0, "Condition Mismatch: Bad byte"}, {1, "<StringStream>, offset 00C8h (200) of 300 bytes:"},
      {2, "00000040                             55 56 57 58 59 5A 41 42            UVWXYZAB"},
      {10, "000000C0    4B 4C 4D 4E 4F 50 51 52                             KLMNOPQR        "}, {11, here},
      {12, "000000C0                             53 54 55 56 57 58 59 5A            STUVWXYZ"},
      {18, "00000120    43 44 45 46 47 48 49 4A  4B 4C 4D 4E                CDEFGHIJKLMN    "},
      {19, "Global stream: <StringStream>, offset 0003h (3) of 10 bytes:"},
      {20, "00000000    30 31 32                                            012             "}, {21, here},
      {22, "00000000             33 34 35 36 37  38 39                         3456789      "},
  };
  for (const TLine& line : expected) EXPECT_EQ(lines[line.Index], line.Text) << line.Index;
}

struct TRun { int Code; std::string Out, Err; };

TRun RunProgram(std::vector<const char*> args, const TSwCommandLineEnvironment& environment = {}) {
  args.insert(args.begin(), "skeinwork");
  std::ostringstream out, err;
  int code = SwRunCommandLine(static_cast<int>(args.size()), args.data(), out, err, environment);
  return {code, out.str(), err.str()};
}

// Inputs without a size to read by are read into memory up to a limit, or refused with a word;
// never read as empty.
TEST(CommandLine, InputsThatAreNoRegularFiles) {
  TScratchDir dir("inputs");
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TSwCommandLineEnvironment environment;
  environment.ReadLimits.MaxStreamedInput = 1000;
  environment.ReadLimits.PipeWaitMilliseconds = 300;
  struct TCase { const char* Input; const char* Written; int Code; std::string Out, Err; };  // Written: into the pipe
  const TCase cases[] = {
      {fifo.c_str(), "hello", 0, "int: 5\n", ""},
      {fifo.c_str(), nullptr, ecFileError, "",
       "FOpen Error: Cannot open file \"" + fifo + "\". Nothing wrote to the pipe within 0.3 seconds.\n"},
      {"/dev/zero", nullptr, ecFileError, "",
       "Read Error: \"/dev/zero\" is not a regular file and holds more than 1000 bytes, the most that is read into "
       "memory from a pipe or device.\n"},
      {"/dev/null", nullptr, 0, "int: 0\n", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Input);
    std::thread writer;
    if (c.Written) writer = std::thread([&] { std::ofstream(fifo) << c.Written; });
    TRun run = RunProgram({"eval", "$ len", "--input", c.Input}, environment);
    if (writer.joinable()) writer.join();
    EXPECT_EQ(run.Code, c.Code);
    EXPECT_EQ(run.Out.substr(0, c.Out.size()), c.Out);
    EXPECT_EQ(run.Err, c.Err);
  }
  // A file of /proc tells no size, yet has bytes.
  TRun proc = RunProgram({"eval", "$ len", "--input", "/proc/self/status"});
  EXPECT_EQ(proc.Code, 0);
  EXPECT_NE(proc.Out.substr(0, 7), "int: 0\n");
}

// The tree file is written to memory first where the target cannot read back (a device, a pipe).
TEST(CommandLine, SaveToADeviceOrPipe) {
  const std::string script = ExamplePath("csv.sw"), data = ExamplePath("sample.csv");
  TScratchDir dir("save");
  const std::string fifo = (dir / "fifo").string(), file = (dir / "file.swt").string(),
                    piped = (dir / "piped.swt").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string bytes;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  });
  TRun toPipe = RunProgram({"save", script.c_str(), data.c_str(), fifo.c_str()});
  reader.join();
  EXPECT_EQ(toPipe.Code, 0) << toPipe.Err;
  EXPECT_EQ(toPipe.Out, "");
  EXPECT_EQ(toPipe.Err, "Saved 18 nodes to " + fifo + " (4189 bytes).\n");
  EXPECT_EQ(RunProgram({"save", script.c_str(), data.c_str(), "/dev/null"}).Code, 0);
  WriteFile(piped, bytes);
  EXPECT_EQ(RunProgram({"save", script.c_str(), data.c_str(), file.c_str()}).Code, 0);
  TRun loaded = RunProgram({"load", piped.c_str()});
  EXPECT_EQ(loaded.Code, 0) << loaded.Err;
  EXPECT_EQ(loaded.Out, RunProgram({"load", file.c_str()}).Out);
}

// Many files on several threads give the lines that one thread gives, in the order the files were
// named; a script from a pipe, readable once, still serves every file. The ThreadSanitizer build
// runs this test.
TEST(CommandLine, CheckRunsOnSeveralThreadsInTheOrderGiven) {
  const std::string script = ExamplePath("riff-wav.sw");
  TScratchDir dir("check");
  const std::string base = (dir / "sample").string();
  const std::string wav = ReadFile(ExamplePath("sample.wav"));
  const std::vector<std::string> samples = {base + "_whole.wav", base + "_cut.wav", base + "_long.wav", base + "_none.wav"};
  WriteFile(samples[0], wav);
  WriteFile(samples[1], wav.substr(0, 40));
  WriteFile(samples[2], wav + "xyz");
  std::vector<std::string> files;
  for (int i = 0; i < 60; ++i) files.push_back(i == 41 ? samples[3] : samples[i % 3]);
  auto check = [&](std::vector<const char*> args, const std::string& scriptPath = {}) {
    args.insert(args.begin(), "check");
    args.push_back(scriptPath.empty() ? script.c_str() : scriptPath.c_str());
    for (const std::string& file : files) args.push_back(file.c_str());
    return RunProgram(args);
  };
  const TRun one = check({"-j", "1"});
  EXPECT_EQ(one.Code, ecFileError);  // the missing file
  EXPECT_EQ(one.Err, "");
  std::istringstream lines(one.Out);
  std::string line;
  for (const std::string& file : files) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(0, 5 + file.size()), (file == samples[0] ? "OK   " : "FAIL ") + file) << line;
  }
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "20 passed, 40 failed");
  for (const char* jobs : {"2", "4"}) EXPECT_EQ(check({"-j", jobs}).Out, one.Out) << jobs;
  EXPECT_EQ(check({"--json", "-j", "4"}).Out, check({"--json", "-j", "1"}).Out);

  const std::string fifo = base + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo) << ReadFile(script); });
  const TRun piped = check({"-j", "4"}, fifo);
  writer.join();
  EXPECT_EQ(piped.Code, ecFileError);
  EXPECT_EQ(piped.Out.substr(piped.Out.size() - 21), "20 passed, 40 failed\n");
}

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

// Output that cannot be written ends the program with the file error's code.
TEST(CommandLine, FailedWritesToStandardOutput) {
  std::ostream full(nullptr);
  std::ostringstream err;
  const char* args[] = {"skeinwork", "eval", "1 2 +"};
  EXPECT_EQ(SwRunCommandLine(3, args, full, err), ecFileError);
  EXPECT_EQ(err.str(), "Write Error: Cannot write the output.\n");
}

}  // namespace
}  // namespace skeinwork
