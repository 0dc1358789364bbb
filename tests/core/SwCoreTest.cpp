#include "SwCore.h"
#include "HexDump.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace skeinwork {
namespace {

TEST(Versions, ParseTextAndRefuse) {
  struct Row { const char* text; TSwVersion version; const char* printed; };
  const Row rows[] = {
      {"0.79", 0x004F, "0.79"}, {"1.2", 0x0114, "1.2"}, {"1.20", 0x0114, "1.2"}, {"1.05", 0x0105, "1.05"},
      {"1.300", 0x01FF, "1.255"}, {"1.0", 0x0100, "1.0"}, {"123", 0x7B00, "123.0"}, {"2.5", 0x0232, "2.5"},
      {"0.1", 0x000A, "0.1"}, {"3.07", 0x0307, "3.07"}, {"0.100", 0x0064, "0.100"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SwParseVersion(row.text), row.version) << row.text;
    EXPECT_EQ(SwVersionText(row.version), row.printed) << row.text;
  }
  for (const char* text : {"x", "", "1.", ".5", "1.2.3", "1,2", "v1"}) {
    SCOPED_TRACE(text);
    ExpectError<ESwBadVersionString>([&] { SwParseVersion(text); },
        std::string("Cannot parse version string '") + text + "' - must be of form '1.23' or '123'.");
  }
}

TEST(Versions, CompareOperatorsAndLimits) {
  // Each operator's answers for a version below, equal to and above 1.1.
  const std::pair<uint8_t, std::string> rows[] = {{0, "--+"}, {1, "-++"}, {2, "+--"}, {3, "++-"}, {4, "-+-"}, {5, "+-+"}};
  for (const auto& [op, answers] : rows) {
    std::string got;
    for (TSwVersion version : {0x0100, 0x0101, 0x0102}) got += TSwVersions::Compare(op, version, 0x0101) ? '+' : '-';
    EXPECT_EQ(got, answers) << int(op);
  }
  ExpectError<ESkeinwork>([] { TSwVersions::Compare(6, 0x004F, 0x0100); },
                          "Invalid TSwVersions operator 6 to compare 0.79 and 1.0.");
  TSwVersions full;
  for (int i = 0; i < 256; ++i) full.Add(1, 0);
  ExpectError<ESkeinwork>([&] { full.Add(1, 0); }, "TSwVersions has reached maximum number of versions (256).");
}

struct TRecorder {
  std::vector<std::string> Seen;
  void Handle(TSwObject* sender, const ESkeinwork& error) {
    Seen.push_back(sender->ClassName() + ": " + error.Message());
  }
  void Freed(TSwObject* object) { Seen.push_back("freed " + object->ClassName()); }
};

TEST(Objects, ErrorRoutingWithAndWithoutHandler) {
  TSwObject object;
  auto error = MakeError<ESwInvalidVarType>("Expected a variant of type %d, %d given.", 1, 7);
  EXPECT_THROW(object.Error(error), ESwInvalidVarType);

  TRecorder recorder;
  object.SetErrorHandler(TSwErrorHandler::Of<&TRecorder::Handle>(&recorder));
  EXPECT_NO_THROW(object.Error(error));
  EXPECT_EQ(recorder.Seen, std::vector<std::string>{"TSwObject: Expected a variant of type 1, 7 given."});

  object.SetErrorHandler({});
  EXPECT_THROW(object.Error(error), ESwInvalidVarType);
}

// Fires its callbacks while still whole, as classes with observable state do.
class TWatched : public TSwObject {
 public:
  ~TWatched() override { NotifyFree(); }
};

TEST(Objects, OnFreeCallbacksFireOnceAndCanBeRemoved) {
  TRecorder first, second;
  auto firstMethod = TOnFreeMethod::Of<&TRecorder::Freed>(&first);
  auto secondMethod = TOnFreeMethod::Of<&TRecorder::Freed>(&second);
  {
    TWatched object;
    object.AddOnFree(firstMethod);
    object.AddOnFree(firstMethod);  // replaces, does not double
    object.AddOnFree(secondMethod);
    object.RemoveOnFree(secondMethod);
  }
  EXPECT_EQ(first.Seen, std::vector<std::string>{"freed TWatched"});
  EXPECT_TRUE(second.Seen.empty());
}

TEST(Messages, ConventionsForArguments) {
  TSwClassList list;
  const TSwObject* none = nullptr;
  EXPECT_EQ(SwFormat("%s/%s/%s", &list, none, WideString(u"\u00e9t\u00e9")), "TSwClassList/<nil object>/\u00e9t\u00e9");
  const char* const names[] = {"Read", "Write", nullptr, "Seek"};
  EXPECT_EQ(SwSetText(0, names), "<none>");
  EXPECT_EQ(SwSetText(0b1011, names), "Read, Write, Seek");
  EXPECT_EQ(SwSetText(0b10101, names), "Read, ? (4), ? (16)");
  TStringStream text;
  EXPECT_EQ(SwStreamName(&text), "<StringStream>");
  // Class names as error reports show them: prefixes go and words split.
  const std::pair<const char*, const char*> readable[] = {
      {"ESwmConditionMismatch", "Condition Mismatch"}, {"EConvertError", "Convert Error"},
      {"EMmAmbiguousMerge", "Ambiguous Merge"},       {"ESwBadVersionString", "Bad Version String"},
      {"ERPN", "RPN"},                                 {"EReadError", "Read Error"}};
  for (const auto& [name, shown] : readable) EXPECT_EQ(SwReadableClassName(name), shown) << name;
}

struct TGermanWrapper {
  std::string Translate(std::string_view format) {
    if (format == "%s has reached maximum number of versions (%d).") return "%s: höchstens %d Versionen.";
    if (format == "nil Stream given to %s.Create.") return "kaputt %d %d %d";
    return std::string(format);
  }
  int Hooked = 0;
  void Hook(ESkeinwork&) { ++Hooked; }
};

TEST(Messages, TranslationAndExceptionHooks) {
  TGermanWrapper wrapper;
  SetSwTranslateHook(TSwTranslateHook::Of<&TGermanWrapper::Translate>(&wrapper));
  SetSwExceptionHook(TSwExceptionHook::Of<&TGermanWrapper::Hook>(&wrapper));
  TSwVersions full;
  for (int i = 0; i < 256; ++i) full.Add(1, 0);
  ExpectError<ESkeinwork>([&] { full.Add(1, 0); }, "TSwVersions: höchstens 256 Versionen.");
  // A translation that does not fit the arguments falls back to the English text.
  ExpectError<ESkeinwork>([] { TSwRestrictedStream s(nullptr, 1); }, "nil Stream given to TSwRestrictedStream.Create.");
  EXPECT_EQ(wrapper.Hooked, 2);
  SetSwTranslateHook({});
  SetSwExceptionHook({});
}

TEST(Arguments, TagsAreChecked) {
  TSwObject object;
  const TSwVarRec args[] = {TSwVarRec::OfText(u"key"), TSwVarRec::OfBool(true), TSwVarRec::OfInt(3),
                            TSwVarRec::OfObject(&object)};
  ExpectError<ESwInvalidVarType>([&] { ArgInt(args, 0); }, "Expected a variant of type 0, 15 given.");
  ExpectError<ESwInvalidVarType>([&] { ArgPointer(args, 3); }, "Expected a variant of type 5, 7 given.");
}

TEST(ClassLists, RegisterFindAndRefuseDuplicates) {
  static const TSwClassInfo base{"TBase"};
  static const TSwClassInfo derived{"TDerived", &base};
  TSwClassList list;
  EXPECT_EQ(list.Add(u"BASE", &base), 0);
  EXPECT_EQ(list.Add(u"DERIVED", &derived), 1);
  EXPECT_EQ(list.Find(u"derived"), nullptr);  // names are case-sensitive
  EXPECT_TRUE(derived.InheritsFrom(&base) && !base.InheritsFrom(&derived));
  ExpectError<ESwClassListDuplicate>([&] { list.Add(u"BASE", &derived); },
                                     "Attempted to add duplicate TSwClassList item 'BASE' for class TDerived.");
  EXPECT_EQ(list.Count(), 2);
}

TEST(Streams, RestrictedWindowReadsWithoutMovingTheUnderlyingStream) {
  TStringStream data("0123456789AB");
  data.SetPosition(5);
  TSwRestrictedStream window(&data, 10);
  EXPECT_EQ(window.Size(), 10);
  auto read = [&] {
    char buffer[16];
    return std::string(buffer, static_cast<size_t>(window.Read(buffer, 16)));
  };
  EXPECT_EQ(read(), "56789AB");
  EXPECT_EQ(data.Position(), 5);

  struct Row { int64_t offset; TSeekOrigin origin; int64_t expected; };
  const Row seeks[] = {{3, TSeekOrigin::Beginning, 3}, {-10, TSeekOrigin::Current, 0},
                       {99, TSeekOrigin::Beginning, 10}, {2, TSeekOrigin::Current, 10},
                       {-3, TSeekOrigin::End, 7},          {4, TSeekOrigin::End, 10}};
  for (const Row& row : seeks) EXPECT_EQ(window.Seek(row.offset, row.origin), row.expected);

  window.SetWindow(2, 3);
  EXPECT_EQ(read(), "234");
  window.MoveWindow(9);
  EXPECT_EQ(read(), "9AB");

  ExpectError<EWriteError>([&] { window.Write("x", 1); }, "TSwRestrictedStream is a read-only wrapper.");
  ExpectError<EWriteError>([&] { window.SetSize(1); }, "TSwRestrictedStream is a read-only wrapper.");
  // A window never ends before it starts.
  TSwRestrictedStream negative(&data, -5);
  EXPECT_EQ(negative.Size(), 0);
  EXPECT_EQ(negative.WindowStart(), 5);
}

// The bytes a stream lends all at once, or "none".
std::string Lent(const TStream& stream) {
  int64_t size = 0;
  const uint8_t* memory = stream.LentMemory(size);
  return memory ? std::string(reinterpret_cast<const char*>(memory), static_cast<size_t>(size)) : "none";
}

TEST(Streams, MemoryAndWindowsOnItLendTheirBytesAsTheyAre) {
  TMemoryStream memory;
  EXPECT_EQ(Lent(memory), "none");
  memory.WriteBuffer("0123", 4);
  EXPECT_EQ(Lent(memory), "0123");
  const std::string more(1000, 'x');  // moves the bytes elsewhere
  memory.WriteBuffer(more.data(), 1000);
  EXPECT_EQ(Lent(memory), "0123" + more);
  memory.SetSize(6);
  EXPECT_EQ(Lent(memory), "0123xx");
  TStringStream source("0123456789");
  memory.LoadFromStream(source);
  EXPECT_EQ(Lent(memory), "0123456789");

  TSwRestrictedStream window(&memory, 0), inner(&window, 0);
  struct Row { int64_t start, size, innerStart, innerSize; const char *lent, *innerLent; };
  const Row rows[] = {{2, 5, 1, 3, "23456", "345"}, {8, 2, 0, 2, "89", "89"}, {10, 0, 0, 0, "", ""},
                      {2, 5, 3, 4, "23456", "none"}, {8, 5, 0, 1, "none", "none"}};
  for (const Row& row : rows) {
    window.SetWindow(row.start, row.size);
    inner.SetWindow(row.innerStart, row.innerSize);
    EXPECT_EQ(Lent(window) + " " + Lent(inner), std::string(row.lent) + " " + row.innerLent) << row.start;
  }
  // Streams that lend keep their position where it is read without a virtual call: the short
  // ways agree with Seek, for places inside, at the ends of and outside the lent bytes.
  TSwRestrictedStream lending(&memory, 0), beyond(&memory, 0);
  lending.SetWindow(2, 5);
  beyond.SetWindow(8, 5);  // runs past the memory: lends nothing
  for (TStream* stream : {static_cast<TStream*>(&memory), static_cast<TStream*>(&lending),
                          static_cast<TStream*>(&beyond), static_cast<TStream*>(&source)}) {
    for (int64_t place : {int64_t{-1}, int64_t{0}, int64_t{3}, int64_t{5}, int64_t{99}, INT64_MIN}) {
      const int64_t sought = stream->Seek(place, TSeekOrigin::Beginning);
      stream->Seek(1, TSeekOrigin::Beginning);
      EXPECT_EQ(stream->SetPosition(place), sought) << SwStreamName(stream) << " " << place;
      EXPECT_EQ(stream->Position(), sought) << SwStreamName(stream) << " " << place;
      EXPECT_EQ(stream->Seek(0, TSeekOrigin::Current), sought) << SwStreamName(stream) << " " << place;
    }
  }
}

TEST(Streams, TempStreamMovesToAnUnnamedFile) {
  {
    TSwTempStream temp(64);
    std::string first(60, 'a');
    temp.WriteBuffer(first.data(), 60);
    EXPECT_FALSE(temp.InFile());
    temp.Seek(10, TSeekOrigin::Beginning);
    temp.WriteBuffer("bbbb", 4);  // ends at 14: still in memory
    EXPECT_FALSE(temp.InFile());
    temp.Seek(0, TSeekOrigin::End);
    temp.WriteBuffer("cccccc", 6);  // would end at 66: moves to a file
    ASSERT_TRUE(temp.InFile());
    // Unnamed at once: it cannot outlive the program, however that ends.
    EXPECT_FALSE(std::filesystem::exists(WideToUtf8(temp.TempFileName())));
    EXPECT_EQ(temp.Size(), 66);
    EXPECT_EQ(temp.Position(), 66);
    temp.SetPosition(8);
    char buffer[8];
    temp.ReadBuffer(buffer, 8);
    EXPECT_EQ(std::string(buffer, 8), "aabbbbaa");
  }
  // By default 16 MiB stay in memory.
  TSwTempStream temp;
  std::string block(TSwTempStream::DefaultMemoryLimit, 'x');
  temp.WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
  EXPECT_FALSE(temp.InFile());
  temp.WriteBuffer("y", 1);
  EXPECT_TRUE(temp.InFile());
}

TEST(Streams, ExpectBytes) {
  struct Row { const char* expected; int64_t start; bool result; int64_t after; };
  const Row rows[] = {{"", 0, true, 0},     {"he", 0, true, 2},   {"hx", 0, false, 0},
                      {"lo", 3, true, 5},   {"lox", 3, false, 3}, {"a", 5, false, 5}};
  TStringStream data("hello");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    data.SetPosition(row.start);
    EXPECT_EQ(SwExpectBytes(data, row.expected), row.result);
    EXPECT_EQ(data.Position(), row.after);
  }
}

TSwHexDumpOptions Options(int perLine, int64_t base = 0, int alignment = 0, bool asciiOnly = false) {
  TSwHexDumpOptions options;
  options.BytesPerLine = perLine;
  options.BaseOffset = base;
  options.Alignment = alignment;
  options.AsciiOnly = asciiOnly;
  options.LineSeparator = "\n";
  return options;
}

TEST(HexDump, Layouts) {
  struct Row { const char* what; std::string bytes; TSwHexDumpOptions options; std::optional<int64_t> marker;
               std::string dump; };
  const std::string sixteen = "0123456789ABCDEF";
  const Row rows[] = {
      {"eight per line", "I am Kat", Options(8), {}, "00000000    49 20 61 6D 20 4B 61 74    I am Kat"},
      {"extra blank after the eighth of sixteen", sixteen, Options(16), {},
       "00000000    30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46    0123456789ABCDEF"},
      {"control bytes and a short last line", std::string("ab\x01\ncd", 6), Options(4, 0x10), {},
       "00000010    61 62 01 0A    ab..\n00000014    63 64          cd  "},
      {"alignment leaves blanks and offsets follow the grid", "xyz", Options(4, 0x22, 2), {},
       "00000020          78 79      xy\n00000024    7A             z   "},
      {"marker in the middle keeps columns", "abcdef", Options(4), 2, "00000000    61 62          ab  \n"
       "           -- HERE --\n"
       "00000000          63 64      cd\n"
       "00000004    65 66          ef  "},
      {"marker at the first byte", "abcd", Options(4, 0x100), 0x100,
       "           -- HERE --\n00000100    61 62 63 64    abcd"},
      {"marker at the end", "ab", Options(4), 2, "00000000    61 62          ab  \n           -- HERE --"},
      {"marker outside", "ab", Options(4), 3, "00000000    61 62          ab  "},
      {"wide offsets", "z", Options(2, 0x123456789), {}, "123456789    7A       z "},
      {"high bytes as they are", "a\x7F\xC3", Options(3), {}, "00000000    61 7F C3    a\x7F\xC3"},
      {"high bytes replaced for terminals", "a\x7F\xC3", Options(3, 0, 0, true), {}, "00000000    61 7F C3    a.."},
  };
  for (const Row& row : rows) EXPECT_EQ(SwFormatHexDump(row.bytes, row.options, row.marker), row.dump) << row.what;
}

}  // namespace
}  // namespace skeinwork
