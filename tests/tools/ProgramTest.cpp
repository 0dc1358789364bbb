// End-to-end tests: run the built skeinwork program on the examples and on broken inputs, and
// check what it prints on stdout and stderr and how it exits.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "SwRunner.h"
#include "SwTestSupport.h"
#include "SwTreeOutput.h"

namespace skeinwork {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct TResult { int Code = -1; std::string Out, Err; };

// A model whose "byte" items go on to the end after a warning.
const std::string kWarnModel = "1 \"magic\" = RIFF\n2 WARN \"Odd file\"\n  END? eof\n  \"byte\" % ANY\n";
const std::string kRowsModel = "END? eof\nLINE \"row\"\n  \"digits\" % [0-9]+\n";

// The program runs in a scratch folder of each test's own.
class Program : public ::testing::Test {
 protected:
  TScratchDir mDir{std::string("program-") + ::testing::UnitTest::GetInstance()->current_test_info()->name()};

  // A script of `model` under the usual header.
  void WriteScript(const std::string& name, const std::string& model) {
    WriteFile(mDir / name, "Skeinwork 0.79\n\n== Model ==\n" + model);
  }

  // `shell` runs before the program in the same shell (a "ulimit", say).
  TResult Run(const std::vector<std::string>& args, const std::string& shell = "") {
    std::string command = "cd " + Quote(mDir.Path().string()) + " && " + shell + Quote(SKEINWORK_PROGRAM);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >stdout.txt 2>stderr.txt </dev/null";
    int status = std::system(command.c_str());
    TResult result;
    result.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.Out = ReadFile(mDir / "stdout.txt");
    result.Err = ReadFile(mDir / "stderr.txt");
    fs::remove(mDir / "stdout.txt");
    fs::remove(mDir / "stderr.txt");
    return result;
  }

  // Starts the program with its output in stdout.txt and stderr.txt, sends it the signal once
  // `ready` holds and gives its exit code (-1: it did not exit by itself).
  int SignalWhenReady(std::vector<std::string> args, int signal, const std::function<bool()>& ready) {
    args.insert(args.begin(), "skeinwork");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(mDir.Path().c_str()) != 0 || !std::freopen("stdout.txt", "w", stdout) ||
          !std::freopen("stderr.txt", "w", stderr))
        ::_exit(127);
      ::execv(SKEINWORK_PROGRAM, argv.data());
      ::_exit(127);
    }
    for (int wait = 0; wait < 2000 && !ready(); ++wait) ::usleep(10000);
    EXPECT_TRUE(ready()) << "the program did not get there";
    ::kill(child, signal);
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Each example's JSON through the program is the library's own tree.
TEST_F(Program, JsonOfEveryExampleIsTheLibrarysTree) {
  for (const auto& [script, sample] : {std::pair{"riff-wav.sw", "sample.wav"}, {"bmp.sw", "sample.bmp"},
                                       {"png.sw", "sample.png"}, {"csv.sw", "sample.csv"}, {"ini.sw", "sample.ini"}}) {
    SCOPED_TRACE(script);
    TResult result = Run({"model", "--json", ExamplePath(script), ExamplePath(sample)});
    ASSERT_EQ(result.Code, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    std::ostringstream library;
    SwWriteJsonTree(library, TSwRunner::Load(ExamplePath(script))->ModelFile(ExamplePath(sample)).Root());
    EXPECT_EQ(result.Out, library.str());
  }
}

// What each command prints and how it exits, for broken inputs, wrong usage and help: the start of
// stdout and of stderr.
TEST_F(Program, ReportsAndExitCodes) {
  const std::string wavScript = ExamplePath("riff-wav.sw"), wav = ExamplePath("sample.wav");
  WriteFile(mDir / "short.wav", ReadFile(wav).substr(0, 50));
  WriteFile(mDir / "long.wav", ReadFile(wav) + "xyz");
  WriteScript("fail.sw", "\"magic\" = RIFF\nFAIL \"Not a RIFF file\"\n");
  WriteScript("stop.sw", "\"magic\" = RIFF\n");
  WriteScript("warn.sw", kWarnModel);
  WriteScript("badline.sw", "\"a\" = x\n@\n\"b\" = y\n");
  struct TCase { std::vector<std::string> Args; int Code; std::string Out, Err; };
  const std::vector<TCase> cases = {
      // A failure past the end of the input says so.
      {{"model", wavScript, "short.wav"}, 1, "",
       "Ordered Condition Mismatch: TCdExpression condition of an ordered node didn't match the input. Node: 'body' " +
           wavScript + ":27 (ID 21)\nshort.wav, offset 003Eh (62) of 50 bytes, past the end:\n"},
      {{"model", wavScript, "long.wav"}, 1, "",
       "Ordered Condition Mismatch: TCdSimpat condition of an ordered node didn't match the input. Node: 'id' "},
      {{"model", "stop.sw", wav}, 1, "",
       "Input Left: Modelling has stopped at offset 0004h leaving 98 bytes in the input stream.\n"},
      {{"model", "fail.sw", ExamplePath("sample.png")}, 1, "",
       "Error: Not a RIFF file (TSwmFail node message)\n" + ExamplePath("sample.png") + ", offset 0000h (0) of 119 bytes:\n"},
      {{"model", "warn.sw", wav}, 0, "<unnamed>  0000..0066  102",
       "Warning: Odd file (TSwmWarn node message), input: @4 ^ 00 00 00 W A V E f m t.\n"},
      {{"model", "--on-warning", "stop", "warn.sw", wav}, 1, "", "Warning: Odd file (TSwmWarn node message)\n"},
      // A model line that does not fit names its line in the script.
      {{"model", "badline.sw", wav}, 1, "",
       "No Matching Node: No child nodes match the input. Node: '' SWMMODEL:52 (ID 47)\nModel line badline.sw:5: @\n"},
      {{"model", "--max-nodes", "3", wavScript, wav}, 1, "",
       "Result Node Limit: The result tree has reached its limit of 3 nodes. Node: '"},
      {{"model", wavScript, "missing.wav"}, 3, "", "FOpen Error: Cannot open file \"missing.wav\". "},
      {{"model", wavScript, "."}, 3, "", "FOpen Error: Cannot open file \".\". Is a directory\n"},
      {{"load", wav}, 1, "", "Streamer Bad Signature: TSwBinaryStreamer stream must start with signature 'Skeinwork Tree."},
      {{"model", "-o", "no/such/dir/out.txt", wavScript, wav}, 3, "",
       "FCreate Error: Cannot create file \"no/such/dir/out.txt\". "},
      // Usage errors and help.
      {{"--version"}, 0, "Skeinwork 0.79\n", ""}, {{}, 2, "", "A subcommand is required"},
      {{"frobnicate"}, 2, "", "A subcommand is required\nRun with --help for more information.\n"},
      {{"model", wavScript}, 2, "", "data is required"},
      {{"model", "--on-warning", "maybe", "a.sw", "b"}, 2, "", "--on-warning: maybe not in {continue,stop}"},
      {{"model", "--allow-file-access=write", "a.sw", "b"}, 2, "", "--allow-file-access: takes =read or nothing, not =write\n"},
      {{"extract", "a.sw", "b", "--data", "x", "--to", "d", "--format", "x.dat"}, 2, "",
       "Usage: The file name format \"x.dat\" has no \"?\" for the name.\n"},
      {{"eval", "1", "--offset", "5"}, 2, "", "Usage: --offset needs an --input file.\n"},
      {{"eval", "1", "--offset", "-1"}, 2, "", "--offset: Value -1 is not a whole number from 0 to 9223372036854775807\n"},
      {{"eval", "1", "--offset", "99999999999999999999"}, 2, "",
       "--offset: Value 99999999999999999999 is not a whole number from 0 to 9223372036854775807\n"},
      {{"model", "--max-nodes", "1e3", "a.sw", "b"}, 2, "", "--max-nodes: Value 1e3 is not a whole number"},
      {{"model", "--json", "--ranges", "both", "a.sw", "b"}, 2, "", "--ranges: both not in {all,local,global}\n"},
      {{"load", "--ranges", "local", "a.swt"}, 2, "", "--ranges requires --json\n"},
      {{"--help"}, 0, "Skeinwork: model-driven parsing", ""},
      {{"model", "--help"}, 0, "Model a data file with a script", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args.empty() ? std::string("<none>") : c.Args[0] + " " + c.Args.back());
    TResult result = Run(c.Args);
    EXPECT_EQ(result.Code, c.Code);
    EXPECT_EQ(result.Out.substr(0, c.Out.size()), c.Out) << result.Out;
    EXPECT_EQ(result.Err.substr(0, c.Err.size()), c.Err) << result.Err;
  }
}

TEST_F(Program, MismatchReportShowsTheInputAroundTheFailure) {
  // Cut after the id of the LIST chunk: its size is missing.
  WriteFile(mDir / "short.wav", ReadFile(ExamplePath("sample.wav")).substr(0, 40));
  TResult result = Run({"model", ExamplePath("riff-wav.sw"), "short.wav"});
  EXPECT_EQ(result.Code, 1);
  EXPECT_EQ(result.Out, "");
  // The message is cut before its ", input: " part; the excerpt marks the failure point.
  EXPECT_EQ(result.Err,
            "Ordered Condition Mismatch: TCdSimpat condition of an ordered node didn't match the input. Node: 'size' " +
                ExamplePath("riff-wav.sw") + ":26 (ID 20)\n"
                "short.wav, offset 0028h (40) of 40 bytes:\n"
                "00000000    52 49 46 46 5E 00 00 00  57 41 56 45 66 6D 74 20    RIFF^...WAVEfmt \n"
                "00000010    10 00 00 00 01 00 01 00  40 1F 00 00 80 3E 00 00    ........@....>..\n"
                "00000020    02 00 10 00 4C 49 53 54                             ....LIST        \n"
                "                                   -- HERE --\n");

  // With --partial the nodes complete before the failure are printed first; unfinished ones
  // have no range.
  TResult partial = Run({"model", "--partial", ExamplePath("riff-wav.sw"), "short.wav"});
  EXPECT_EQ(partial.Code, 1);
  EXPECT_EQ(partial.Err, result.Err);
  EXPECT_EQ(partial.Out.substr(0, 106), "<unnamed>\n  riff\n    size  0004..0008  4  \"^...\"\n"
                                        "    form  0008..000C  4  \"WAVE\"\n    chunks\n      format  ");
  EXPECT_NE(partial.Out.find("\n      chunk\n        id  0024..0028  4  \"LIST\"\n"), std::string::npos) << partial.Out;

  // A failure inside a line shows the data file around the line too.
  WriteScript("rows.sw", kRowsModel);
  WriteFile(mDir / "rows.txt", "12\n34\nx5\n");
  TResult line = Run({"model", "rows.sw", "rows.txt"});
  EXPECT_EQ(line.Code, 1);
  EXPECT_NE(line.Err.find("Global stream: rows.txt, offset 0006h (6) of 9 bytes:\n"), std::string::npos) << line.Err;
}

// Which range properties each node of a JSON tree holds, one line per node in tree order.
std::string RangeKeysPerNode(const std::string& json) {
  std::string keys;
  const nlohmann::json tree = nlohmann::json::parse(json);
  std::vector<const nlohmann::json*> stack = {&tree};
  while (!stack.empty()) {
    const nlohmann::json& node = *stack.back();
    stack.pop_back();
    keys += node["name"].get<std::string>() + ":";
    for (const auto& [name, value] : node["props"].items()) keys += " " + name;
    keys += '\n';
    const nlohmann::json& children = node["children"];
    for (auto child = children.rbegin(); child != children.rend(); ++child) stack.push_back(&*child);
  }
  return keys;
}

TEST_F(Program, RangesOptionLeavesOutOnlyEqualForms) {
  // The second row is read from a stream of its own: its ranges there differ from the Global ones.
  WriteScript("rows.sw", kRowsModel);
  WriteFile(mDir / "rows.txt", "12\n34\n");
  const std::string both = "row: inner innerGlobal start startGlobal\ndigits: inner innerGlobal start startGlobal\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"all", ": end endGlobal inner innerGlobal start startGlobal\n" + both + both},
      {"local", ": end inner start\nrow: inner start\ndigits: inner start\n" + both},
      {"global", ": endGlobal innerGlobal startGlobal\nrow: innerGlobal startGlobal\ndigits: innerGlobal startGlobal\n" + both},
  };
  ASSERT_EQ(Run({"save", "rows.sw", "rows.txt", "rows.swt"}).Code, 0);
  for (const auto& [ranges, expected] : cases) {
    SCOPED_TRACE(ranges);
    TResult modelled = Run({"model", "--json", "--ranges", ranges, "rows.sw", "rows.txt"});
    ASSERT_EQ(modelled.Code, 0) << modelled.Err;
    EXPECT_EQ(RangeKeysPerNode(modelled.Out), expected);
    EXPECT_EQ(Run({"load", "--json", "--ranges", ranges, "rows.swt"}).Out, modelled.Out);
  }
}

TEST_F(Program, SaveThenLoadGivesTheSameTree) {
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    std::vector<std::string> args = {"save", ExamplePath("png.sw"), ExamplePath("sample.png"), "tree.swt"};
    if (compress) args.push_back("--compress");
    TResult saved = Run(args);
    ASSERT_EQ(saved.Code, 0) << saved.Err;
    EXPECT_EQ(saved.Out.substr(0, 25), "Saved 23 nodes to tree.sw");
    TResult modelled = Run({"model", "--json", ExamplePath("png.sw"), ExamplePath("sample.png")});
    TResult loaded = Run({"load", "--json", "tree.swt"});
    EXPECT_EQ(loaded.Code, 0) << loaded.Err;
    EXPECT_EQ(loaded.Out, modelled.Out);
    // The text form shows the same ranges, without previews.
    TResult text = Run({"load", "tree.swt"});
    EXPECT_EQ(text.Out.substr(0, 64), "<unnamed>  0000..0077  119\n  signature  0000..0008  8\n  chunks  ");
  }
  // A damaged tree file is refused.
  std::string file = ReadFile(mDir / "tree.swt");
  file[file.size() / 2] ^= 0x55;
  WriteFile(mDir / "bad.swt", file);
  TResult bad = Run({"load", "bad.swt"});
  EXPECT_EQ(bad.Code, 1);
  EXPECT_EQ(bad.Out, "");
  EXPECT_FALSE(bad.Err.empty());
}

// Named, unique and transformed extractions; equal names are numbered, so that no match
// replaces another.
TEST_F(Program, ExtractWritesOneFilePerMatch) {
  struct TCase { std::vector<std::string> Args; std::string Out; std::vector<std::pair<std::string, std::string>> Files; };
  const TCase cases[] = {
      {{"png.sw", "sample.png", "--data", "chunks\\chunk\\data$startGlobal", "--name", ".type$startGlobal", "--to", "out"},
       "out/IHDR.dat\nout/tEXt.dat\nout/IDAT.dat\nout/IEND.dat\n4 files written.\n",
       {{"out/IEND.dat", ""}, {"out/tEXt.dat", "Comment\0Skeinwork example"s},
        {"out/IDAT.dat", ReadFile(ExamplePath("sample.png")).substr(78, 25)}}},
      {{"riff-wav.sw", "sample.wav", "--data", "riff\\chunks\\*\\size$startGlobal", "--unique", "--format", "size-?.bin",
        "--to", "sizes"},
       "sizes/size-00000010.bin\nsizes/size-00000028.bin\nsizes/size-00000042.bin\n3 files written.\n",
       {{"sizes/size-00000042.bin", "\x20\0\0\0"s}}},
      {{"csv.sw", "sample.csv", "--data", "header\\column", "--data-expr", "$ upper", "--name", ".", "--name-expr", "'col'",
        "--format", "?.txt", "--to", "cols"},
       "cols/col.txt\ncols/col-2.txt\ncols/col-3.txt\n3 files written.\n", {{"cols/col.txt", "NAME"}, {"cols/col-3.txt", "COUNT"}}},
  };
  for (TCase c : cases) {
    SCOPED_TRACE(c.Args[0]);
    c.Args[0] = ExamplePath(c.Args[0]);
    c.Args[1] = ExamplePath(c.Args[1]);
    c.Args.insert(c.Args.begin(), "extract");
    TResult result = Run(c.Args);
    EXPECT_EQ(result.Code, 0) << result.Err;
    EXPECT_EQ(result.Out, c.Out);
    for (const auto& [name, content] : c.Files) EXPECT_EQ(ReadFile(mDir / name), content) << name;
  }
}

// An interrupt or a termination request while a command writes: the temporary file goes, the
// target keeps its content and the program exits as a cancelled run does.
TEST_F(Program, SignalsRemoveTheFilesBeingWritten) {
  WriteScript("slow.sw", "\"L\"\n  \"e\" ? $ not len 0 >\n  END = z\n");
  WriteFile(mDir / "data.bin", std::string(100000, 'a'));
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    WriteFile(mDir / "keep.txt", "old text");
    auto temporaries = [&] {
      int count = 0;
      for (const auto& entry : fs::directory_iterator(mDir.Path()))
        count += entry.path().filename().string().rfind(".keep.txt.", 0) == 0;
      return count;
    };
    // The model never ends on its own in time: it is stopped once its output file exists.
    EXPECT_EQ(SignalWhenReady({"model", "slow.sw", "data.bin", "-o", "keep.txt"}, signal, [&] { return temporaries() == 1; }),
              1);
    // "Modelling was cancelled." once the data's run has begun, else the program's own message.
    const std::string err = ReadFile(mDir / "stderr.txt");
    EXPECT_EQ(err.rfind("Cancelled: ", 0), 0u) << err;
    EXPECT_EQ(ReadFile(mDir / "keep.txt"), "old text");
    EXPECT_EQ(temporaries(), 0);
  }
}

// A disk that fills up while the program writes a tree file, extracted data or its printout
// (-o): the program says so and exits with an error, and no file is left half-written under the
// name asked for; a file of that name from before stays as it was. A file size limit stands in
// for the full disk (writes beyond it fail); the shell ignores the signal that the limit would
// send, as the program's caller may.
TEST_F(Program, WriteFailuresLeaveNoHalfWrittenFile) {
  std::string csv = "name,colour,count\n";
  for (int i = 0; i < 3000; ++i) csv += "apple,red," + std::to_string(i) + "\n";
  WriteFile(mDir / "big.csv", csv);
  fs::create_directories(mDir / "out");
  WriteFile(mDir / "out" / "keep.dat", "old rows");
  WriteFile(mDir / "keep.swt", "old tree");
  WriteFile(mDir / "keep.txt", "old text");
  const std::string limited = "trap '' XFSZ; ulimit -f 64; ";  // 32 KiB in blocks of 512 bytes
  struct Row { const char* name; std::vector<std::string> args; std::string shell; std::string err; };
  const Row rows[] = {
      {"save, disk full", {"save", ExamplePath("csv.sw"), "big.csv", "keep.swt"}, limited,
       "Write Error: Cannot write file \"keep.swt\". File too large\n"},
      {"save, compressed, disk full", {"save", ExamplePath("csv.sw"), "big.csv", "keep.swt", "--compress"},
       "trap '' XFSZ; ulimit -f 1; ", "Write Error: Cannot write file \"keep.swt\". File too large\n"},
      {"save to a full device", {"save", ExamplePath("csv.sw"), "big.csv", "/dev/full"}, "",
       "Write Error: Cannot write file \"/dev/full\". No space left on device\n"},
      {"printing to a file, disk full", {"model", ExamplePath("csv.sw"), "big.csv", "-o", "keep.txt"}, limited,
       "Write Error: Cannot write file \"keep.txt\". File too large\n"},
      {"printing to a full device", {"model", "--json", ExamplePath("csv.sw"), "big.csv", "-o", "/dev/full"}, "",
       "Write Error: Cannot write file \"/dev/full\". No space left on device\n"},
      {"extract, disk full", {"extract", ExamplePath("csv.sw"), "big.csv", "--data", "rows", "--name", ".",
        "--name-expr", "'keep'", "--to", "out"}, limited,
       "Write Error: Cannot write file \"out/keep.dat\". File too large\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TResult result = Run(row.args, row.shell);
    EXPECT_EQ(result.Code, 3);
    EXPECT_EQ(result.Out, "");
    EXPECT_EQ(result.Err, row.err);
    EXPECT_EQ(ReadFile(mDir / "keep.swt") + ReadFile(mDir / "out" / "keep.dat") + ReadFile(mDir / "keep.txt"),
              "old treeold rowsold text");
    EXPECT_EQ(mDir.Names(), (std::vector<std::string>{"big.csv", "keep.swt", "keep.txt", "out"}));
    EXPECT_EQ(FolderNames(mDir / "out"), std::vector<std::string>{"keep.dat"});
  }
  // Without the limit the same commands replace the files whole.
  TResult saved = Run({"save", ExamplePath("csv.sw"), "big.csv", "keep.swt"});
  EXPECT_EQ(saved.Code, 0) << saved.Err;
  EXPECT_EQ(ReadFile(mDir / "keep.swt").substr(0, 9), "Skeinwork");
  TResult extracted = Run({"extract", ExamplePath("csv.sw"), "big.csv", "--data", "rows", "--name", ".",
                           "--name-expr", "'keep'", "--to", "out"});
  EXPECT_EQ(extracted.Code, 0) << extracted.Err;
  EXPECT_TRUE(ReadFile(mDir / "out" / "keep.dat") == csv.substr(csv.find('\n') + 1));
  TResult written = Run({"model", "--json", ExamplePath("csv.sw"), "big.csv", "-o", "keep.txt"});
  EXPECT_EQ(written.Code, 0) << written.Err;
  EXPECT_EQ(written.Out, "");
  EXPECT_TRUE(ReadFile(mDir / "keep.txt") == Run({"model", "--json", ExamplePath("csv.sw"), "big.csv"}).Out);
}

// Scripts may come from anyone: while modelling, their file functions are refused unless the
// user allows them. Expressions the user types are the user's own.
TEST_F(Program, ScriptFileAccessNeedsTheUsersLeave) {
  WriteScript("save.sw", "1 \"x\" ? 'sub/../pwned.txt' 'owned' save has\n");
  WriteScript("load.sw", "1 \"x\" ? 'secret.txt' load 's3cret' cmp_eq\n");
  WriteScript("plain.sw", "1 \"x\" = abc\n");
  WriteFile(mDir / "secret.txt", "s3cret");
  WriteFile(mDir / "empty.txt", "");
  WriteFile(mDir / "abc.txt", "abc");
  fs::create_directories(mDir / "sub");
  const std::string refusedSave =
      "File Access Refused: the script's expression called save for \"sub/../pwned.txt\"; run with "
      "--allow-file-access to allow it\n";
  struct TCase { std::vector<std::string> Args; int Code; std::string Err; std::vector<std::string> Written; };
  const std::vector<TCase> cases = {
      {{"model", "save.sw", "empty.txt"}, 1, refusedSave, {}},
      {{"model", "--allow-file-access=read", "save.sw", "empty.txt"}, 1, refusedSave, {}},
      {{"save", "save.sw", "empty.txt", "tree.swt"}, 1, refusedSave, {}},
      {{"extract", "save.sw", "empty.txt", "--data", "x", "--to", "out"}, 1, refusedSave, {}},
      {{"model", "--allow-file-access", "save.sw", "empty.txt"}, 0, "", {"pwned.txt"}},
      {{"model", "load.sw", "empty.txt"}, 1,
       "File Access Refused: the script's expression called load for \"secret.txt\"; run with "
       "--allow-file-access=read to allow it\n", {}},
      {{"model", "--allow-file-access=read", "load.sw", "empty.txt"}, 0, "", {}},
      {{"eval", "'typed.txt' 'mine' save"}, 0, "", {"typed.txt"}},
      {{"extract", "plain.sw", "abc.txt", "--data", "x", "--data-expr", "'copy.txt' $ save", "--unique", "--to", "out"},
       0, "", {"out", "copy.txt"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + c.Args[1]);
    TResult result = Run(c.Args);
    EXPECT_EQ(result.Code, c.Code);
    EXPECT_EQ(result.Err, c.Err);
    std::vector<std::string> left;
    for (const char* name : {"pwned.txt", "tree.swt", "out", "typed.txt", "copy.txt"})
      if (fs::exists(mDir / name)) left.push_back(name);
    EXPECT_EQ(left, c.Written);
    for (const std::string& name : left) fs::remove_all(mDir / name);
  }
  EXPECT_NE(Run({"model", "--help"}).Out.find("--allow-file-access"), std::string::npos);
}

// check: one line per file in the order named, the summary and the exit code; the run options
// of model apply to every file. (That several threads give the same lines is a test of
// tools_tests.)
TEST_F(Program, CheckReportsEveryFileInOrder) {
  const std::string wav = ReadFile(ExamplePath("sample.wav"));
  const std::string script = ExamplePath("riff-wav.sw");
  WriteFile(mDir / "good.wav", wav);
  WriteFile(mDir / "cut.wav", wav.substr(0, 40));
  WriteFile(mDir / "long.wav", wav + "xyz");
  fs::create_directories(mDir / "corpus/deep");
  WriteFile(mDir / "corpus/deep/x.wav", wav);
  WriteFile(mDir / "corpus/b.wav", wav);
  WriteFile(mDir / "corpus/notes.txt", "no wave");
  WriteFile(mDir / "later.sw", "Skeinwork 9.0\n\n== Model ==\n\"a\" = RIFF\n");
  WriteScript("warn.sw", kWarnModel);
  WriteScript("load.sw", "1 \"x\" ? 'secret.txt' load 's3cret' cmp_eq\n");
  const std::string cutLine = "FAIL cut.wav: Ordered Condition Mismatch at offset 40: TCdSimpat condition of an ordered "
                              "node didn't match the input. Node: 'size' " + script + ":26 (ID 20)\n";
  const std::string goodLine = "OK   good.wav: 21 nodes\n";
  struct TCase { std::vector<std::string> Args; int Code; std::string Out, Err; };
  const std::vector<TCase> cases = {
      {{script, "good.wav", "cut.wav", "missing.wav", "long.wav"}, 3,
       goodLine + cutLine + "FAIL missing.wav: FOpen Error: Cannot open file \"missing.wav\". No such file or directory\n"
           "FAIL long.wav: Ordered Condition Mismatch at offset 102: TCdSimpat condition of an ordered node didn't "
           "match the input. Node: 'id' " + script + ":25 (ID 19)\n1 passed, 3 failed\n", ""},
      {{script, "cut.wav", "good.wav", "-j", "2"}, 1, cutLine + goodLine + "1 passed, 1 failed\n", ""},
      {{script, "--recursive", "--include", "*.wav", "corpus", "good.wav"}, 0,
       "OK   corpus/b.wav: 21 nodes\nOK   corpus/deep/x.wav: 21 nodes\n" + goodLine + "3 passed, 0 failed\n", ""},
      {{script, "-r", "--include", "*.txt", "--include", "x.*", "corpus"}, 1,
       "OK   corpus/deep/x.wav: 21 nodes\nFAIL corpus/notes.txt: Ordered Condition Mismatch at offset 0: TCdExact "
       "condition of an ordered node didn't match the input. Node: 'riff' " + script + ":6 (ID 1)\n1 passed, 1 failed\n", ""},
      {{script, "corpus"}, 2, "", "Usage: \"corpus\" is a folder; --recursive checks the files below it.\n"},
      // A script that cannot be used says so once, whatever the number of files and threads.
      {{"later.sw", "good.wav", "cut.wav", "-j", "2"}, 1, "", "Later Script Version: "},
      {{"missing.sw", "good.wav"}, 3, "", "FOpen Error: Cannot open file \"missing.sw\". No such file or directory\n"},
      {{"-j", "0", script, "good.wav"}, 2, "", "--jobs: Value 0 not in range 1 to 1024\n"},
      {{script}, 2, "", "paths is required"}, {{"--help"}, 0, "Model many files with a script, several at a time", ""},
      {{"warn.sw", "good.wav"}, 0, "OK   good.wav: 100 nodes\n1 passed, 0 failed\n", ""},
      {{"--on-warning", "stop", "warn.sw", "good.wav"}, 1,
       "FAIL good.wav: Warning at offset 4: Odd file (TSwmWarn node message)\n0 passed, 1 failed\n", ""},
      {{"--max-nodes", "3", script, "good.wav"}, 1, "FAIL good.wav: Result Node Limit at offset ", ""},
      {{"load.sw", "good.wav"}, 1,
       "FAIL good.wav: File Access Refused: the script's expression called load for \"secret.txt\"; run with "
       "--allow-file-access=read to allow it\n0 passed, 1 failed\n", ""},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = c.Args;
    args.insert(args.begin(), "check");
    SCOPED_TRACE(args[1] + " " + args.back());
    TResult result = Run(args);
    EXPECT_EQ(result.Code, c.Code);
    // Output without a last line break is the start of what is printed.
    const bool whole = c.Out.empty() || c.Out.back() == '\n';
    EXPECT_EQ(whole ? result.Out : result.Out.substr(0, c.Out.size()), c.Out);
    EXPECT_EQ(result.Err.substr(0, c.Err.size()), c.Err) << result.Err;
    if (c.Code != 2) { EXPECT_LE(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err; }
  }

  // JSON Lines: one object per file with the fields of its text line, then the summary.
  TResult json = Run({"check", script, "good.wav", "cut.wav", "missing.wav", "--json"});
  EXPECT_EQ(json.Code, 3);
  const size_t cutMessage = cutLine.find("TCdSimpat");
  const std::vector<nlohmann::json> expected = {
      {{"file", "good.wav"}, {"status", "OK"}, {"nodes", 21}},
      {{"file", "cut.wav"}, {"status", "FAIL"}, {"error", "Ordered Condition Mismatch"}, {"offset", 40},
       {"message", cutLine.substr(cutMessage, cutLine.size() - cutMessage - 1)}},
      {{"file", "missing.wav"}, {"status", "FAIL"}, {"error", "FOpen Error"}, {"offset", nullptr},
       {"message", "Cannot open file \"missing.wav\". No such file or directory"}},
      {{"passed", 1}, {"failed", 2}}};
  std::vector<nlohmann::json> objects;
  std::istringstream lines(json.Out);
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  EXPECT_EQ(objects, expected);
}

// Ctrl+C stops every worker at once; the files that finished are reported, and the summary
// counts the rest as not checked.
TEST_F(Program, CheckStopsOnAnInterrupt) {
  // Quick for one byte, and far longer than the test for larger files.
  WriteScript("mixed.sw", "END? eof\n\"quick\" = z\n\"L\" ? $ len 1000 >\n  \"e\" ? $ not len 0 >\n  END = z\n");
  WriteFile(mDir / "z.bin", "z");
  WriteFile(mDir / "big.bin", std::string(100000, 'a'));
  const std::string quick = "OK   z.bin: 2 nodes\nOK   z.bin: 2 nodes\n";
  EXPECT_EQ(SignalWhenReady({"check", "-j", "2", "mixed.sw", "z.bin", "z.bin", "big.bin", "big.bin", "z.bin"}, SIGINT,
                            [&] { return ReadFile(mDir / "stdout.txt") == quick; }),
            1);
  EXPECT_EQ(ReadFile(mDir / "stdout.txt"), quick + "2 passed, 0 failed, 3 not checked\n");
  EXPECT_EQ(ReadFile(mDir / "stderr.txt"), "Cancelled: The check was interrupted; 3 of 5 files were not checked.\n");
}

// The JSON forms of script, illustrate and eval, and eval's offsets and errors (the text forms
// are run by the docs test).
TEST_F(Program, JsonFormsAndEval) {
  struct TCase { std::vector<std::string> Args; std::vector<std::pair<const char*, nlohmann::json>> Fields; };
  const TCase cases[] = {
      {{"script", "--json", ExamplePath("ini.sw")},
       {{"/version", "0.79"}, {"/charset", "utf-8"}, {"/chosenModel/section", "Model"}, {"/sections/0/kind", "lsModel"}}},
      {{"script", "--tree", "--json", ExamplePath("csv.sw")}, {}},
      {{"illustrate", "--json", ExamplePath("csv.sw")}, {{"/props/ID/int", 0}}},
  };
  for (const TCase& c : cases) {
    TResult result = Run(c.Args);
    ASSERT_EQ(result.Code, 0) << result.Err;
    const nlohmann::json parsed = nlohmann::json::parse(result.Out);
    for (const auto& [pointer, value] : c.Fields) EXPECT_EQ(parsed.at(nlohmann::json::json_pointer(pointer)), value);
  }
  WriteFile(mDir / "bytes.bin", "ABCDEFGH");
  EXPECT_EQ(Run({"eval", "--json", "-1 fromint"}).Out, "{\"raw\":\"FFFFFFFF\"}\n");
  EXPECT_EQ(Run({"eval", "$ len", "--input", "bytes.bin", "--offset", "3"}).Out, "int: 5\nfrac: 5.0\nposition: 3\n");
  TResult bad = Run({"eval", "'abc' toint"});
  EXPECT_EQ(bad.Code, 1);
  EXPECT_EQ(bad.Err.substr(0, 40), "Bad Expr String To Int Length: String [6");
}

}  // namespace
}  // namespace skeinwork
