#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "SwExpressions.h"
#include "SwTestSupport.h"
#include "SwRunner.h"
#include "SwTreeDump.h"

namespace skeinwork {
namespace {

std::unique_ptr<TSwRunner> Load(const std::string& script) { return TSwRunner::Load(ExamplePath(script)); }

// "offset+length:bytes" of every match of "path$property" (global offsets), joined by " | ";
// bytes outside 32..126 as \xHH.
std::string Matches(const TSwRunResult& result, const std::u16string& pathSpec) {
  TSwNodeByNodeFinder finder(result.Root(), pathSpec);
  std::string out;
  TSwTreeNode* node = nullptr;
  TSwProperty* property = nullptr;
  while (finder.NextWithProperty(node, property)) {
    const TSwValue& value = property->Value();
    if (!out.empty()) out += " | ";
    out += std::to_string(TSwmSlicer::Start(value)) + "+" + std::to_string(TSwmSlicer::Length(value)) + ":";
    for (unsigned char byte : result.Slicer()->PropertyText(node, property->Name()))
      out += byte >= 32 && byte < 127 ? std::string(1, static_cast<char>(byte)) : fmt::format("\\x{:02X}", byte);
  }
  return out;
}

TEST(Examples, ModelTheirSamples) {
  struct TCase { std::string Script, Sample; std::u16string Path; std::string Expected; };
  const std::vector<TCase> cases = {
      {"riff-wav.sw", "sample.wav", u"riff\\form$startGlobal", "8+4:WAVE"},
      {"riff-wav.sw", "sample.wav", u"riff\\chunks\\format\\sampleRate$startGlobal", "24+4:@\\x1F\\x00\\x00"},
      {"riff-wav.sw", "sample.wav", u"riff\\chunks\\chunk\\body$startGlobal",
       "44+18:INFOICMT\\x06\\x00\\x00\\x00hello\\x00"},
      {"riff-wav.sw", "sample.wav", u"riff\\chunks\\samples\\data$startGlobal",
       "70+32:\\x00\\x00%!\\xE0.%!\\x00\\x00\\xDB\\xDE \\xD1\\xDB\\xDE\\x00\\x00%!\\xE0.%!\\x00\\x00\\xDB\\xDE "
       "\\xD1\\xDB\\xDE"},
      {"bmp.sw", "sample.bmp", u"infoHeader\\width$startGlobal", "18+4:\\x04\\x00\\x00\\x00"},
      {"bmp.sw", "sample.bmp", u"pixels\\row$innerGlobal",
       "54+12:\\x00\\x00\\xC8<\\x00\\xC8x\\x00\\xC8\\xB4\\x00\\xC8 | "
       "66+12:\\x00d\\xC8<d\\xC8xd\\xC8\\xB4d\\xC8 | "
       "78+12:\\x00\\xC8\\xC8<\\xC8\\xC8x\\xC8\\xC8\\xB4\\xC8\\xC8"},
      {"bmp.sw", "sample.bmp", u"pixels\\row[2]\\pixel$startGlobal",
       "78+3:\\x00\\xC8\\xC8 | 81+3:<\\xC8\\xC8 | 84+3:x\\xC8\\xC8 | 87+3:\\xB4\\xC8\\xC8"},
      {"png.sw", "sample.png", u"chunks\\chunk\\type$startGlobal", "12+4:IHDR | 37+4:tEXt | 74+4:IDAT | 111+4:IEND"},
      {"png.sw", "sample.png", u"chunks\\chunk[1]\\data$startGlobal", "41+25:Comment\\x00Skeinwork example"},
      {"csv.sw", "sample.csv", u"header\\column$innerGlobal", "0+4:name | 5+6:colour | 12+5:count"},
      {"csv.sw", "sample.csv", u"rows\\row[1]\\field$innerGlobal", "30+4:pear | 35+0: | 36+2:12"},
      // Inside a line, "inner" is relative to the line's own stream.
      {"csv.sw", "sample.csv", u"rows\\row[2]\\field$inner", "0+4:plum | 5+4:blue | 10+1:7"},
      {"ini.sw", "sample.ini", u"key\\value$innerGlobal", "62+14:Skeinwork demo"},
      {"ini.sw", "sample.ini", u"group\\key\\name$startGlobal", "87+5:width | 99+6:height | 149+10:background | 170+4:text"},
      {"ini.sw", "sample.ini", u"group[1]\\key\\value$innerGlobal", "162+7:#202020 | 177+5:white"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Script + " " + WideToUtf8(c.Path));
    TSwRunResult result = Load(c.Script)->ModelFile(ExamplePath(c.Sample));
    ASSERT_TRUE(result.Ok()) << result.Error()->Message();
    EXPECT_EQ(Matches(result, c.Path), c.Expected);
  }
}

// A cut sample fails with a mismatch that says where, whether or not the tree built so far is
// kept; the result owns that tree.
TEST(Examples, BrokenSamplesFailWithAMismatch) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"riff-wav.sw", "sample.wav"}, {"bmp.sw", "sample.bmp"}, {"png.sw", "sample.png"}};
  for (const auto& [script, sample] : cases) {
    std::unique_ptr<TSwRunner> runner = Load(script);
    std::string data = ReadFile(ExamplePath(sample));
    for (size_t cut : {size_t{3}, data.size() / 2, data.size() - 1}) {
      for (bool keepPartial : {false, true}) {
        SCOPED_TRACE(script + " cut at " + std::to_string(cut) + (keepPartial ? " keeping the partial tree" : ""));
        runner->Settings.KeepPartialResult = keepPartial;
        TSwRunResult result = runner->ModelBytes(std::string_view(data).substr(0, cut));
        ASSERT_FALSE(result.Ok());
        EXPECT_NE(dynamic_cast<const ESwmMismatch*>(result.Error()), nullptr) << result.Error()->Message();
        ASSERT_NE(result.Mismatch(), nullptr);
        EXPECT_EQ(result.Mismatch()->Current.Size, static_cast<int64_t>(cut));
        EXPECT_EQ(result.Root() != nullptr, keepPartial);
      }
    }
  }
}

// The data's line break is the script's own unless the settings name one, and only for the
// runs while they do.
TEST(Runner, ReadsLinesWithTheChosenBreak) {
  std::unique_ptr<TSwRunner> runner = Load("csv.sw");
  const std::string crlf = "name,colour,count\r\npear,green,12\r\n";
  const std::u16string fields = u"rows\\row\\field$innerGlobal";
  runner->Settings.Eoln = u"\r\n";
  TSwRunResult result = runner->ModelBytes(crlf);
  ASSERT_TRUE(result.Ok()) << result.Error()->Message();
  EXPECT_EQ(Matches(result, fields), "19+4:pear | 24+5:green | 30+2:12");
  EXPECT_EQ(SwCountNodes(result.Root()), 10);
  runner->Settings.Eoln.clear();
  EXPECT_EQ(Matches(runner->ModelBytes(crlf), fields), "19+4:pear | 24+5:green | 30+3:12\\x0D");
}

// A data file that cannot be read is the result's error; a script that cannot be read stops the load.
TEST(Runner, ReportsWhatCannotBeRead) {
  std::unique_ptr<TSwRunner> runner = Load("csv.sw");
  TSwRunResult missing = runner->ModelFile(ExamplePath("no-such-file.csv"));
  ASSERT_FALSE(missing.Ok());
  EXPECT_EQ(missing.Error()->ClassName() + (missing.Root() ? " with a tree" : ""), "EFOpenError");
  EXPECT_THROW(Load("no-such-script.sw"), EFOpenError);
  EXPECT_THROW(TSwRunner::Load(ExamplePath("sample.csv")), ESkeinwork);  // not a script
}

// Every node with its slices, as "name[start+length ...](children)", to compare two runs.
std::string Dump(const TSwTreeNode* node) {
  return DumpTree(node, {[](const TSwTreeNode& n) {
                    std::string out = WideToUtf8(n.Name()) + "[";
                    for (int i = 0; i < n.PropertyCount(); ++i)
                      if (TSwValue v = n.PropertyValue(i); v.IsSlice())
                        out += std::to_string(TSwmSlicer::Start(v)) + "+" + std::to_string(TSwmSlicer::Length(v)) + " ";
                    return out + "]";
                  }});
}

// Scripts loaded, models compiled and run on several threads at once, with expressions evaluated
// beside them, give what they give one after another. The ThreadSanitizer build runs this test.
TEST(Runner, RunsOnSeveralThreadsAtOnce) {
  const std::vector<std::pair<std::string, std::string>> examples = {
      {"riff-wav.sw", "sample.wav"}, {"png.sw", "sample.png"}, {"csv.sw", "sample.csv"}, {"bmp.sw", "sample.bmp"}};
  std::vector<std::string> expected;
  for (const auto& [script, sample] : examples) expected.push_back(Dump(Load(script)->ModelFile(ExamplePath(sample)).Root()));

  std::vector<std::string> dumps(examples.size() * 2);
  std::vector<std::string> values;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < dumps.size(); ++t) {
    threads.emplace_back([&, t] {
      const auto& [script, sample] = examples[t % examples.size()];
      std::unique_ptr<TSwRunner> runner = Load(script);
      for (int i = 0; i < 3; ++i) {
        TSwRunResult result = runner->ModelFile(ExamplePath(sample));
        dumps[t] = result.Ok() ? Dump(result.Root()) : result.Error()->Message();
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      TSwExpression expression(u"'AB' toraw toint " + Utf8ToWide(std::to_string(i)) + u" +", nullptr);
      values.push_back(std::to_string(expression.Evaluate().Value.Int));
    }
  });
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < dumps.size(); ++t) EXPECT_EQ(dumps[t], expected[t % examples.size()]) << examples[t % examples.size()].first;
  ASSERT_EQ(values.size(), 200u);
  EXPECT_EQ(values.front(), "16961");
  EXPECT_EQ(values.back(), "17160");
}

}  // namespace
}  // namespace skeinwork
