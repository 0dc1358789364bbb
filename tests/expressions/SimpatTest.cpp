#include "Simpat.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace skeinwork {
namespace {

// A stream that hands out at most three bytes per read, so matches cross many refills.
class TTrickleStream : public TStringStream {
 public:
  using TStringStream::TStringStream;
  int64_t Read(void* buffer, int64_t count) override {
    return TStringStream::Read(buffer, std::min<int64_t>(count, 3));
  }
};

struct MatchRow {
  const char* pattern;
  std::string input;
  int64_t consumed;  // -1: no match
  const char* eoln = "\r\n";
};

// Each row runs over memory, over a stream positioned after a prefix, and over a stream that
// reads in tiny pieces; all three must agree, and the streams must end after the match or where
// they started.
void RunRows(const std::vector<MatchRow>& rows) {
  for (const MatchRow& row : rows) {
    SCOPED_TRACE(std::string("pattern «") + row.pattern + "» on «" + row.input + "»");
    EXPECT_EQ(SimpatMatchBytes(row.pattern, row.input, row.eoln), row.consumed);

    TStringStream stream("pre" + row.input);
    stream.SetPosition(3);
    EXPECT_EQ(SimpatMatch(row.pattern, stream, row.eoln), row.consumed >= 0);
    EXPECT_EQ(stream.Position(), 3 + std::max<int64_t>(row.consumed, 0));

    TTrickleStream trickle(row.input);
    EXPECT_EQ(SimpatMatch(row.pattern, trickle, row.eoln), row.consumed >= 0);
    EXPECT_EQ(trickle.Position(), std::max<int64_t>(row.consumed, 0));
  }
}

TEST(Simpat, MatchesAgreeOverMemoryAndStreams) {
  RunRows({
      // Patterns of the built-in models.
      {"SP* ID+", "  abc1 x", 6}, {"SP* ID+", " ", -1}, {"SP* ID+", "abc", 3}, {"[DIG.^]", "^", 1},
      {"[DIG.^]+", "1.^2x", 4}, {"[^\"]+", "abc\"d", 3}, {"[^\"]+", "\"", -1},
      {"DIG DIG? . DIG DIG? DIG?", "0.79", 4}, {"DIG DIG? . DIG DIG? DIG?", "12.345", 6},
      {"DIG DIG? . DIG DIG? DIG?", "12x345", -1}, {"DIG DIG? . DIG DIG? DIG?", "1.2345", 5},
      {"SP+|EOF", "", 0}, {"SP+|EOF", "x", -1}, {"SP+|EOF", " \tx", 2},
      {"Skeinwork SP+", "Skeinwork  0.79", 11}, {"Skeinwork SP+", "Skeinwork0.79", -1},
      {"NL ==[^=]", "\r\n==x", 5}, {"NL ==[^=]", "\r\n===", -1}, {"[^NL=]+", "ab=c", 2},
      {"[^NL=]+", "ab\r\nc", 2}, {"[", "[", 1},
      // Repeats are greedy and never give back.
      {"ID* ID", "abc", -1}, {"ID* ID", "abc def", -1}, {"a+b", "aaab", 4}, {"a+b", "b", -1},
      {"ab+", "abbb", 4}, {"ab+", "aab", -1}, {"a*", "", 0}, {"a*", "bbb", 0}, {"a+", "", -1},
      {"a?b", "b", 1}, {"a?b", "ab", 2}, {"a?b", "aab", -1}, {"ANY+", "xyz", 3}, {"ANY", "", -1},
      {"\\65+", "AAAB", 3}, {"[a]+[b]", "aab", 3}, {"SP+ +", "   +", 4}, {"SP+ +", "   ", -1},
      {"+ SP+", "+  ", 3}, {"SP*?", "  ?", 3}, {"SP*?", "  ", -1},
      // Class words, unions of them, and words that fall back to literals.
      {"CR LF", "\r\n", 2}, {"CR LF", "\r", -1}, {"cr", "cr", 2}, {"xSP", "xSP", 3}, {"xSP", "x ", -1},
      {"DIG_LAT+", "a1b2-", 4}, {"DIG_", "DIG_", 4}, {"DIG_ x", "DIG_x", 5}, {"DIGLAT", "DIGLAT", 6},
      {"CTL+", std::string("\x01\x1f ", 3), 2}, {"HEX+", "0aFg", 3}, {"LAT+", "abZ9", 3}, {"ID+", "a_9-", 3},
      {"SP_DIG+", "1 2\t3x", 5}, {"DIG_NL+", "12\r\n3", 5}, {"NLx", "\r\nx", 3}, {"NL_DIG", "\r\n_DIG", 6},
      {"  ab  ", "ab", 2}, {"", "abc", 0},
      // Line breaks and the end of the input.
      {"[^NL]*", "ab\r\ncd", 2}, {"[^NL]*", "", 0}, {"[^NL]*", "ab", 2}, {"[^NL]*", "a\rb\r\n", 3},
      {"NL", "", 0}, {"NL", "\r\n", 2}, {"NL", "\n", -1}, {"NL", "\n", 1, "\n"}, {"NL*", "\r\n\r\n", 4},
      {"NL+", "", 0}, {"EOLN", "", -1}, {"EOLN", "\r\nx", 2}, {"EOF", "", 0}, {"EOF", "a", -1},
      {"[^a]", "", -1}, {"[^a]?", "", 0}, {"[^SP]+", "ab c", 2}, {"a|EOF", "", 0},
      // An empty newline string never matches, so nothing can repeat forever.
      {"NL", "\r\n", -1, ""}, {"NL", "", 0, ""}, {"EOLN*", "x", 0, ""}, {"[^NL]*", "ab", 2, ""},
      {"[^NL]+", "ab\n", 2, "\n"},
      // Brackets and escapes.
      {"[a-]", "a", 1}, {"[a-]", "-", 1}, {"[a-]", "b", -1}, {"[z-a]", "z", 1}, {"[z-a]", "a", -1},
      {"[z-a]", "m", -1}, {"[a-c]+", "abcd", 3}, {"[]", "[]", 2}, {"[abc", "[abc", 4}, {"[abc", "a", -1},
      {"[^]", "[^]", 3}, {"[ a]", "[a]", 3}, {"[\\]]", "]", 1}, {"[\\65-\\x43]+", "ABCD", 3},
      {"[\\q]", "\\", 1}, {"[ID-]+", "a-b c", 3}, {"[ABC]", "B", 1}, {"[^DIG]+", "ab1", 2},
      {"\\65\\x42", "AB", 2}, {"\\x4g", "\\x4g", 4}, {"\\x41", "A", 1}, {"\\x4a", "\\x4a", 4},
      {"\\x414", "A4", 2}, {"\\0655", "A5", 2}, {"\\9", "\t", 1}, {"\\255", "\xff", 1},
      // A decimal escape above 255 is a literal backslash followed by its digits.
      {"\\256", "\\256", 4}, {"\\", "\\", 1},
      // Choices are tried in order.
      {"a||b", "a|b", 3}, {"a||b", "ab", -1}, {"a|", "a", 1}, {"a|", "b", 0}, {"a|||b", "a|", 2},
      {"a|||b", "b", 1}, {"a|ab", "ab", 1}, {"x|y|z", "z", 1}, {"x|y|z", "w", -1}, {"a|  ", "b", 0},
  });
}

TEST(Simpat, EmptyChoicesBeforeTheLastAreErrors) {
  for (const char* pattern : {"|a", "a|\t|b", "a| |b", "|", " | a"}) {
    SCOPED_TRACE(pattern);
    ExpectError<ESimpatHasEmptyChoice>(
        [&] { SimpatMatchBytes(pattern, "a", "\r\n"); },
        std::string("Simple Pattern \"") + pattern +
            "\" contains empty choice(s) - only allowed when in last position.");
  }
}

// A compact form of an item list: 's(bytes)' literals, 'r' classes, and * + ? repeats.
std::string Dump(const TSimpatItems& items) {
  std::string out;
  for (size_t i = 0; i < items.Count(); ++i) {
    const TSimpatItem& item = items.Item(i);
    if (!out.empty()) out += ' ';
    if (auto* str = dynamic_cast<const TSimpatStr*>(&item))
      out += "s(" + str->Bytes() + ")";
    else if (dynamic_cast<const TSimpatRange*>(&item))
      out += "r";
    else if (dynamic_cast<const TSimpatRepeatAny*>(&item))
      out += "*";
    else if (dynamic_cast<const TSimpatRepeatOneOrMore*>(&item))
      out += "+";
    else if (dynamic_cast<const TSimpatRepeatOneOrNone*>(&item))
      out += "?";
  }
  return out;
}

TEST(Simpat, ParsingMergesLiteralsButNotRepeatedOnes) {
  const std::pair<const char*, const char*> rows[] = {
      {"a+b", "+ s(a) s(b)"},
      {"ab+c", "s(a) + s(b) s(c)"}, {"abc", "s(abc)"}, {"CR LF", "s(\r\n)"},
      {"Skeinwork SP+", "s(Skeinwork) + r"}, {"SP+ +", "+ r s(+)"}, {"SP*?", "* r s(?)"},
      {"DIG DIG? . DIG", "r ? r s(.) r"}, {"x [ab]* y", "s(x) * r s(y)"}, {"\\65\\x42", "s(AB)"},
  };
  for (const auto& [text, items] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Dump(*ParseSimpatAlternative(text, TSimpatClassTable::BuiltIn())), items);
  }
}

TEST(Simpat, ClassRegistrationChecksNameAndContent) {
  TSimpatClassTable table;
  TSimpatRangeBytes digits;
  digits.SetRange('0', '9');
  table.Register("num2", digits);
  ASSERT_NE(table.Find("NUM2"), nullptr);
  EXPECT_TRUE(table.Find("NUM2")->Has('5'));

  for (const char* name : {"a-b", "", "ÄB", "X_Y"}) {
    SCOPED_TRACE(name);
    try {
      table.Register(name, digits);
      ADD_FAILURE() << "no exception";
    } catch (const ESimpatBadCharClass& e) {
      EXPECT_EQ(e.Message(), std::string("Simple Pattern's character class names must consist of "
                                         "A-Z and 0-9 symbols - '") +
                                 name + "' name given.");
      EXPECT_EQ(e.Source, &table);
    }
  }
  TSimpatRangeBytes empty;
  ExpectError<ESimpatEmptyCharClass>([&] { table.Register("NONE", empty); },
                                     "Attempted to create character class 'NONE' that matches "
                                     "nothing.");
  empty.Eof = true;
  table.Register("ENDONLY", empty);
  EXPECT_EQ(table.Count(), 2);
  EXPECT_EQ(TSimpatClassTable::BuiltIn().Count(), 9);
}

TEST(Simpat, AnyIsSetOnlyByFillingEveryByte) {
  TSimpatRangeBytes bytes;
  bytes.SetRange(0, 255);
  EXPECT_FALSE(bytes.Any());
  bytes.Fill(true);
  EXPECT_TRUE(bytes.Any());
  bytes.Set('a', false);
  EXPECT_FALSE(bytes.Any());
  EXPECT_EQ(bytes.MemberCount(), 255);
}

TEST(Simpat, EachAlternativeIsParsedOncePerProcess) {
  int64_t before = SimpatParseCount();
  EXPECT_EQ(SimpatMatchBytes("qq1 SP+|qq2", "qq2", "\r\n"), 3);
  EXPECT_EQ(SimpatParseCount(), before + 2);
  EXPECT_EQ(SimpatMatchBytes("qq1 SP+|qq2", "qq1 ", "\r\n"), 4);
  EXPECT_EQ(SimpatMatchBytes("qq2|qq1 SP+", "qq2", "\r\n"), 3);
  EXPECT_EQ(SimpatParseCount(), before + 2);
}

TEST(Simpat, PatternLengthIsBounded) {
  // Patterns have no groups or counted repeats, so their length is the one thing to bound: a
  // text made of nested brackets is a literal, however deep it looks.
  const int64_t max = TSimpatPattern::MaxLength;
  struct Row {
    const char* name;
    std::string pattern;
    std::string input;
    int64_t consumed;  // -2: the length error
  };
  const Row rows[] = {
      {"one under the limit", std::string(max - 1, 'a'), std::string(max, 'a'), max - 1},
      {"at the limit", std::string(max, 'a'), std::string(max, 'a'), max},
      {"one over the limit", std::string(max + 1, 'a'), "a", -2},
      {"far over the limit", std::string(3000000, '('), "(", -2},
      {"parentheses nest nothing", std::string(30000, '(') + std::string(30000, ')'),
       std::string(30000, '(') + std::string(30000, ')'), 60000},
      {"nested brackets under the limit", std::string(30000, '[') + "a" + std::string(30000, ']'), "[[a]]", -1},
      {"a repeat marker is never a count", "a" + std::string(60000, '+'), "aaa" + std::string(59999, '+'), 3 + 59999},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.consumed == -2) {
      ExpectError<ESimpatTooLong>([&] { SimpatMatchBytes(row.pattern, row.input, "\r\n"); },
                                  "Simple pattern of " + std::to_string(row.pattern.size()) +
                                      " bytes exceeds the limit of 65536 bytes.");
      ExpectError<ESimpatTooLong>([&] { TSimpatPattern kept(row.pattern); },
                                  "Simple pattern of " + std::to_string(row.pattern.size()) +
                                      " bytes exceeds the limit of 65536 bytes.");
    } else { EXPECT_EQ(SimpatMatchBytes(row.pattern, row.input, "\r\n"), row.consumed); }
  }
}

TEST(Simpat, CacheStartsOverWhenFull) {
  // Patterns made from the data are all different; the cache must not keep every one of them.
  const int64_t before = SimpatParseCount();
  const size_t count = TSimpatPattern::CacheLimit + 10;
  for (size_t i = 0; i < count; ++i)
    ASSERT_EQ(SimpatMatchBytes("cache" + std::to_string(i) + " DIG", "cache" + std::to_string(i) + "7", "\r\n"),
              static_cast<int64_t>(6 + std::to_string(i).size()));
  EXPECT_EQ(SimpatParseCount(), before + static_cast<int64_t>(count));
  // The first texts were dropped and are parsed again; a kept pattern keeps its own share.
  TSimpatPattern kept("cache0 DIG");
  EXPECT_EQ(SimpatParseCount(), before + static_cast<int64_t>(count) + 1);
  for (size_t i = 0; i < TSimpatPattern::CacheLimit; ++i) SimpatMatchBytes("other" + std::to_string(i), "x", "\r\n");
  EXPECT_EQ(kept.Match("cache07", "\r\n"), 7);

  // Long texts fill the cache by their bytes before their count.
  const int64_t longBefore = SimpatParseCount();
  const std::string body(TSimpatPattern::MaxLength - 8, 'z');
  const size_t fits = TSimpatPattern::CacheBytesLimit / TSimpatPattern::MaxLength;
  for (size_t i = 0; i < fits + 1; ++i) SimpatMatchBytes("long" + std::to_string(i) + "#" + body, "x", "\r\n");
  EXPECT_EQ(SimpatParseCount(), longBefore + static_cast<int64_t>(fits + 1));
  SimpatMatchBytes("long0#" + body, "x", "\r\n");  // dropped when the bytes ran out: parsed again
  EXPECT_EQ(SimpatParseCount(), longBefore + static_cast<int64_t>(fits + 2));
}

TEST(Simpat, PatternsMatchOnSeveralThreadsAtOnce) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 200; ++i) {
        std::string pattern = "thr" + std::to_string(i % 50) + " SP DIG+";
        std::string input = "thr" + std::to_string(i % 50) + " " + std::to_string(t * 1000 + i);
        if (SimpatMatchBytes(pattern, input, "\r\n") != static_cast<int64_t>(input.size())) ++wrong;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(Simpat, KeptPatternMatchesRepeatedly) {
  TSimpatPattern pattern("DIG+ SP*");
  TSimpatInput input(std::string_view("12 345 x"));
  EXPECT_TRUE(pattern.Match(input, "\r\n"));
  EXPECT_EQ(input.Pos(), 3);
  EXPECT_TRUE(pattern.Match(input, "\r\n"));
  EXPECT_EQ(input.Pos(), 7);
  EXPECT_FALSE(pattern.Match(input, "\r\n"));
  EXPECT_EQ(input.Pos(), 7);
}

// A failed match says how far ahead a match must fail too: as far as a leading greedy repeat
// over a plain class ran, when every alternative has one.
TEST(Simpat, FailureAheadOfALeadingRepeat) {
  struct Row { const char* pattern; const char* input; bool matched; int64_t ahead; };
  const Row rows[] = {
      {"ANY* Z", "aaaa", false, 4}, {"[^Z]* Z Q", "aaZ", false, 2},
      {"DIG+ x|LAT* 9", "12ab", false, 0},  // "LAT*" takes nothing here
      {"SP* ID+ ;", "  ab", false, 2}, {"Z ANY*", "aaaa", false, 0},
      {"NL* x", "\r\n\r\n", false, 0},  // a class with the line break is not plain
      {"ANY* Z|EOF", "aa", false, 0}, {"ANY*", "aa", true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern);
    TStringStream stream(row.input);
    int64_t ahead = -1;
    EXPECT_EQ(TSimpatPattern(row.pattern).Match(stream, "\r\n", &ahead), row.matched);
    if (!row.matched) { EXPECT_EQ(ahead, row.ahead); }
    // The promise holds: every start within reach fails.
    for (int64_t start = 1; !row.matched && start <= row.ahead; ++start) {
      stream.SetPosition(start);
      EXPECT_FALSE(TSimpatPattern(row.pattern).Match(stream, "\r\n")) << start;
    }
  }
}

// A stream that lends its memory only up to `MemoryEnd`, as a read cache lends one window;
// with 0 it lends none, and patterns are matched by reading it. With -1 it lends all its bytes
// at once, as a memory stream does.
class TWindowedStream : public TStringStream {
 public:
  TWindowedStream(const std::string& data, int64_t memoryEnd) : TStringStream(data), MemoryEnd(memoryEnd) {
    if (memoryEnd >= 0) Lend(nullptr, 0);
  }
  const uint8_t* MemoryAt(int64_t offset, int64_t& available) override {
    const uint8_t* memory = TStringStream::MemoryAt(offset, available);
    if (MemoryEnd < 0) return memory;
    available = std::clamp<int64_t>(MemoryEnd - offset, 0, available);
    return available > 0 ? memory : nullptr;
  }
  int64_t MemoryEnd;
};

// A pattern that is one repeat over a class is matched over the stream's memory: the outcome,
// the stream's position, the promise of a failure and the work counted are those of matching
// by reads, wherever the memory ends.
TEST(Simpat, RunsOverMemoryMatchAsByReads) {
  struct Row { const char* pattern; std::string input; int64_t start, memoryEnd; };
  const std::string as(70000, 'a');
  const Row rows[] = {
      {"[^,]+", "ab,c", 0, 4}, {"[^,]+", "ab,c", 2, 4}, {"[^,]+", "ab,c", 3, 4}, {"[^,]+", "abc", 0, 3},
      {"[^,]+", "abcd,", 0, 2}, {"[^,]+", "abcd,", 0, 4}, {"[^,]+", "", 0, 0}, {"a*", "bbb", 0, 3},
      {"a*", "aab", 0, 1}, {"x+", "xxxy", 0, 4}, {"x+", "yx", 0, 2}, {"[a-c]+", "abcd`", 0, 5},
      {"[^a-c]*", "`da", 0, 3}, {"[\\128-\\255]+", "\x80\xff\x7f", 0, 3}, {"[^a]+", "\xff\x80" "a", 0, 3},
      {"[^CR_LF]+", "ab\r\ncd", 0, 6}, {"[^CR_LF]+", "ab\r\ncd", 2, 6}, {"LF+", "\n\n\r", 0, 3},
      {"[^NL]+", "ab\r\n", 0, 4},  // a class with the line break reads
      // Steps in turn, choices, and their promise of failures ahead.
      {"ANY ANY ANY ANY", "abcde", 1, 5}, {"ANY ANY ANY ANY", "abcde", 2, 5}, {"ANY ANY ANY ANY", "abcde", 0, 2},
      {"RIFF", "RIFX", 0, 4}, {"RIFF", "RIF", 0, 3}, {"RIFF", "RIFF", 0, 3}, {"a?b", "ab", 0, 2}, {"a?b", "b", 0, 1},
      {"a?b", "aab", 0, 3}, {"ID* ID", "abc def", 0, 7}, {"DIG+ x|LAT* 9", "12ab", 0, 4}, {"SP* ID+ ;", "  ab", 0, 4},
      {"[^Z]* Z Q", "aaZ", 0, 3}, {"x|y|", "w", 0, 1}, {"[a]+[b]", "aab", 0, 3}, {"DIG DIG? . DIG", "12.3", 0, 4},
      {"ANY* Z", std::string(255, 'a'), 0, 255}, {"ANY* Z", std::string(256, 'a'), 0, 256},
      {"ANY*", std::string(300, 'q'), 0, 300}, {"ANY*", std::string(300, 'q'), 10, 200},
      {"[^,]+", std::string(300, 'q') + ",", 0, 301}, {"[^,]+", std::string(257, 'q') + ",", 1, 258},
      {"[^,]+", std::string(300, 'q') + "," + as, 0, 400},
      {"[^,]+", as + "," + as, 0, 140001}, {"[^,]+", as + "," + as, 5, 70000}, {"a+", as, 0, 70000},
      // Runs scanned a word at a time: stops in the first word, the next, the last (which
      // overlaps bytes taken before), at the end of the input, and bytes before the run's start.
      {"[^,]+", "abcdefghij,k", 0, 12}, {"[^,]+", "abcdefgh,", 0, 9}, {"[^,]+", "abc,defghijk", 0, 12},
      {"[^,]+", "abcdefghijk", 0, 11}, {"[^,]+", "ab,c", 4, 4}, {"[^,;]+", "abcdefghijklm;n,", 2, 16},
      {"ANY ANY ANY ANY ANY ANY , [^,]+", "123456,ab", 0, 9}, {"[^,]* x", ",,xabcdefgh", 2, 11}, {"[^\\0]+", std::string("abcdefghi\0j", 11), 0, 11},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " from " + std::to_string(row.start) + ", memory to " +
                 std::to_string(row.memoryEnd));
    // Matched, the position after, the failure's promise and the work counted.
    auto match = [&](int64_t memoryEnd) {
      TWindowedStream stream(row.input, memoryEnd);
      stream.SetPosition(row.start);
      TSwWorkMeter meter(nullptr, TSwWorkMeter::NoLimit);
      int64_t ahead = -1;
      const bool matched = TSimpatPattern(row.pattern).Match(stream, "\r\n", &ahead);
      return std::vector<int64_t>{matched, stream.Position(), matched ? 0 : ahead, meter.Used()};
    };
    EXPECT_EQ(match(row.memoryEnd), match(0));
    EXPECT_EQ(match(-1), match(0));
    // The bytes that matches start with never turn a match away.
    const std::array<bool, 256>* first = TSimpatPattern(row.pattern).FirstBytes();
    const bool atEnd = row.start >= static_cast<int64_t>(row.input.size());
    if (first && (atEnd || !(*first)[static_cast<uint8_t>(row.input[row.start])])) {
      EXPECT_EQ(match(0)[0], 0);
    }
  }
  // Known where every choice must take a first byte; shown as which of "abcRx9," they allow.
  const std::pair<const char*, const char*> starts[] = {
      {"[^,]+", "abcRx9"}, {"RIFF", "R"}, {"ab|x+", "ax"}, {"[a-c]+ d", "abc"},
      {"a?b", "any"},      {"x|y|", "any"}, {"DIG+ x|LAT* 9", "any"}, {"[^NL]+", "any"}};
  for (const auto& [pattern, allowed] : starts) {
    const std::array<bool, 256>* first = TSimpatPattern(pattern).FirstBytes();
    std::string shown = first ? "" : "any";
    for (char c : std::string_view("abcRx9,"))
      if (first && (*first)[static_cast<uint8_t>(c)]) shown += c;
    EXPECT_EQ(shown, allowed) << pattern;
  }
}

// An item of a caller's own that matches without consuming anything.
class TZeroWidth : public TSimpatItem {
 public:
  bool Match(TSimpatContext&) const override { return true; }
};

TEST(Simpat, RepeatOverAnItemThatConsumesNothingEnds) {
  std::unique_ptr<TSimpatItem> repeats[] = {std::make_unique<TSimpatRepeatAny>(), std::make_unique<TSimpatRepeatOneOrMore>(),
                                            std::make_unique<TSimpatRepeatOneOrNone>()};
  for (auto& repeat : repeats) {
    auto items = std::make_shared<TSimpatItems>();
    items->Add(std::move(repeat));
    items->Add(std::make_unique<TZeroWidth>());
    items->Add(std::make_unique<TSimpatStr>("x"));
    TLinearSimpat linear(items, TSimpatClassTable::BuiltIn());
    TSimpatInput input(std::string_view("xy"));
    TSimpatContext context{&input, "\r\n", nullptr, &linear};
    EXPECT_TRUE(linear.Match(context));
    EXPECT_EQ(input.Pos(), 1);
  }
}

}  // namespace
}  // namespace skeinwork
