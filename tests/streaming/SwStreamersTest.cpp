#include "SwStreamers.h"
#include "SwTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skeinwork {
namespace {

// Collects the lines it sees; stops at "stop"; complains about "bad N" at position N.
class TCollector : public TSwLineStreamer {
 public:
  std::vector<std::string> Lines;

 protected:
  bool ReadLine() override {
    std::string line = WideToUtf8(CurrentLine());
    if (line == "stop") return false;
    if (line.rfind("bad ", 0) == 0) TextError("odd line", std::stoi(line.substr(4)));
    Lines.push_back(std::to_string(LineNumber()) + ":" + line);
    if (!Root()) SetReadRoot(std::make_unique<TSwTreeNode>(u"root"));
    return true;
  }
};

TEST(TextStreamers, LineBreakDetection) {
  const std::pair<const char16_t*, const char16_t*> rows[] = {
      {u"\nabc", u"\n"},          {u"a\r\nb\nc", u"\r\n"}, {u"a\nb\r\n", u"\n"},
      {u"a\rb\rc", u"\r"},        {u"abc", u"\n"},         {u"\r\nx", u"\r\n"}, {u"\rx\r\n", u"\r\n"}, {u"\r\r", u"\r"},
      {u"", u"\n"},
  };
  for (const auto& [text, eoln] : rows) EXPECT_EQ(TSwTextStreamer::DetectLineBreak(text), eoln) << WideToUtf8(text);
}

TEST(TextStreamers, LinesAreCountedTrimmedAndStopped) {
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"a\r\n\r\n  b  \t\r\nstop\r\nc", {"0:a", "2:  b"}}, {"x\n\n\ny\n", {"0:x", "3:y"}},
      {"one\rtwo", {"0:one", "1:two"}},
  };
  for (const auto& [text, lines] : rows) {
    TCollector reader;
    TStringStream stream(text);
    auto root = reader.Read(stream);
    EXPECT_EQ(reader.Lines, lines);
    EXPECT_NE(root, nullptr);
    EXPECT_EQ(reader.SourceName(), u"<StringStream>");
  }
}

TEST(TextStreamers, ReuseAndCapabilityErrors) {
  TCollector reader;
  TStringStream stream("a");
  reader.Read(stream, u"given");
  EXPECT_EQ(reader.SourceName(), u"given");
  ExpectError<ESwReusingStreamer>([&] { reader.Read(stream); },
                                  "TCollector is not reusable for reading - create new streamer for each operation.");
  ExpectError<ESwUncapableStreamer>([&] { reader.Write(stream); },
                                    "TCollector is not capable of lsWrite, only of lsRead.");
  EXPECT_EQ(SwCapabilitiesText(lsRead | lsWrite | lsUnambiguous), "lsRead, lsWrite, lsUnambiguous");
  EXPECT_EQ(SwCapabilitiesText(0), "<none>");
}

TEST(TextStreamers, ParseErrorsShowWhereAndNearby) {
  const std::pair<const char*, std::string> rows[] = {
      {"bad -1", "Problem parsing string with TCollector (odd line) on line 2; text nearby: 'bad -1'."},
      {"bad 1", "Problem parsing string with TCollector (odd line) on line 2, 'b'; text nearby: 'bad 1'."},
      {"bad 5 and then a rather long tail", "Problem parsing string with TCollector (odd line) on line 2, '5'; "
                                            "text nearby: 'bad *ERROR*5 and then a rather ...'."},
      {"bad 99", "Problem parsing string with TCollector (odd line) on line 2, <end>; text nearby: 'bad 99*ERROR*'."},
      {"bad 14 0123456789", "Problem parsing string with TCollector (odd line) on line 2, '6'; "
                           "text nearby: ' 14 012345*ERROR*6789'."},
  };
  for (const auto& [line, message] : rows) {
    TCollector reader;
    TStringStream stream(std::string("ok\n") + line);
    try {
      reader.Read(stream);
      ADD_FAILURE() << line;
    } catch (const ESwBadTextStreaming& e) {
      EXPECT_EQ(e.Message(), message);
      EXPECT_EQ(e.Line, 1);
    }
  }
}

}  // namespace
}  // namespace skeinwork
