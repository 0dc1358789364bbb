#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SwModelSupport.h"

namespace skeinwork {
namespace {

std::string Bytes(int64_t count) {
  std::string out;
  for (int64_t i = 0; i < count; ++i) out.push_back(static_cast<char>('a' + i % 26));
  return out;
}

// A host's information class with a wider window.
class TWideInfo : public TSwMismatchInfo {
 public:
  int64_t WindowSize() const override { return 640; }
};

// "source@position:excerpt" of the stream the information captured, and "|" and the same of the global
// stream when there is one.
std::string Captured(const TSwMismatchInfo& info) {
  auto shown = [](const auto& c) { return WideToUtf8(c.Source) + "@" + std::to_string(c.Position) + ":" + c.Excerpt; };
  return shown(info.Current) + (info.HasGlobal() ? "|" + shown(info.Global) : "");
}

TEST(SwMismatchInfo, ExcerptWindowAroundThePosition) {
  struct TCase { int64_t Size, Position; bool Wide; int64_t ExcerptStart, ExcerptLength; };
  const std::vector<TCase> cases = {
      {1000, 10, false, 0, 576},    {6000, 5000, false, 4712, 576}, {6000, 5900, false, 5612, 388},
      {10, 10, false, 0, 10},       {0, 0, false, 0, 0},            {6000, 5000, true, 4680, 640},
      {1000, 10, true, 0, 640},     {300, 288, false, 0, 300},      {6000, 289, false, 1, 576},
  };
  for (const TCase& c : cases) {
    std::string data = Bytes(c.Size);
    TStringStream stream(data);
    stream.SetPosition(c.Position);
    std::unique_ptr<TSwMismatchInfo> info = c.Wide ? std::make_unique<TWideInfo>() : std::make_unique<TSwMismatchInfo>();
    info->Capture(&stream, &stream);
    SCOPED_TRACE(std::to_string(c.Size) + "@" + std::to_string(c.Position));
    // The same stream twice is no global stream.
    EXPECT_EQ(Captured(*info), "<StringStream>@" + std::to_string(c.Position) + ":" +
                                   data.substr(c.ExcerptStart, c.ExcerptLength));
    EXPECT_EQ(info->Current.Size, c.Size);
    EXPECT_EQ(info->Current.ExcerptStart, c.ExcerptStart);
    EXPECT_EQ(stream.Position(), c.Position);
  }
}

TEST(SwMismatchInfo, SourcesAndTheGlobalStream) {
  TSwMismatchInfo info;
  info.Capture(nullptr, nullptr);
  EXPECT_EQ(Captured(info), "<unknown>@0:");

  TScratchDir dir("mismatch");
  const std::string path = (dir / "source.bin").string();
  WriteFile(path, "0123456789");
  TFileStream file(Utf8ToWide(path), TFileMode::OpenRead);
  file.SetPosition(4);
  TMemoryStream line;
  line.WriteBuffer("xyz", 3);
  line.SetPosition(1);
  info.Capture(&line, &file);
  EXPECT_EQ(Captured(info), "<MemoryStream>@1:xyz|" + path + "@4:0123456789");
  EXPECT_EQ(info.Global.Size, 10);
}

class SwMismatchHook : public ::testing::Test {
 protected:
  void SetUp() override { SwInstallMismatchInfoHook(); }
  void TearDown() override { SwRemoveMismatchInfoHook(); }
};

// «Class|current source@position:excerpt|global source@position» of the error a run raises, and
// «|partial» when the error also carries a partial result.
std::string Failure(const std::string& model, const std::string& input, bool partial = false) {
  auto compiler = CompileModel(model);
  compiler->KeepPartialResult = partial;
  TStringStream stream(input);
  try {
    compiler->Modell(stream);
  } catch (const ESkeinwork& error) {
    TSwMismatchInfo* info = SwMismatchInfoOf(error);
    const std::string kept = PartialResultOf(error) ? "|partial" : "";
    return error.ClassName() + "|" + (info ? Captured(*info) : "none") + kept;
  }
  return "no error";
}

TEST_F(SwMismatchHook, AttachesTheInputOfEveryMismatch) {
  struct TCase { std::string Model, Input; bool Partial; std::string Expected; };
  const std::vector<TCase> cases = {
      // An ordered mismatch two bytes in: the excerpt is the whole short input.
      {"1 \"a\" = ab\n2 \"b\" = cd\n", "abXY", false, "ESwmOrderedConditionMismatch|<StringStream>@2:abXY"},
      {"1 \"a\" = ab\n2 \"b\" = cd\n", "abXY", true, "ESwmOrderedConditionMismatch|<StringStream>@2:abXY|partial"},
      {"\"a\" = ab\n\"b\" = cd\n", "xy", false, "ESwmNoMatchingNode|<StringStream>@0:xy"},
      // Inside a line: the line's own stream, and the input at the line's start.
      {"1 LINE\n  \"x\" = ok\n2 LINE\n  1 \"a\" = ab\n  2 \"b\" = cd\n", "ok\r\nabXY\r\n", false,
       "ESwmOrderedConditionMismatch|<SwRestrictedStream>@2:abXY|<StringStream>@4:ok\r\nabXY\r\n"},
      // A FAIL is a mismatch made on the spot.
      {"1 \"a\" = ab\n2 FAIL \"bad\" = X\n", "abX", false, "ESwmError|<StringStream>@3:abX"},
      // Errors that are no mismatches carry nothing.
      {"\"a\" = ab\n", "abc", false, "ESwmInputLeft|none"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Failure(c.Model, c.Input, c.Partial), c.Expected) << c.Model;
  // Without the hook nothing is attached; outside a run the hook still marks the missing stream.
  SwRemoveMismatchInfoHook();
  EXPECT_EQ(Failure(cases[0].Model, cases[0].Input), "ESwmOrderedConditionMismatch|none");
  SwInstallMismatchInfoHook();
  ESwmNoMatchingNode error = MakeError<ESwmNoMatchingNode>("x");
  ASSERT_NE(SwMismatchInfoOf(error), nullptr);
  EXPECT_EQ(SwMismatchInfoOf(error)->Current.Source, u"<unknown>");
}

}  // namespace
}  // namespace skeinwork
