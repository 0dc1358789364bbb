#include "HexDump.h"

#include <gtest/gtest.h>

#include "SwCore.h"

namespace skeinwork {
namespace {

TSwHexDumpOptions Options(int perLine, int64_t base = 0, int alignment = 0) {
  TSwHexDumpOptions options;
  options.BytesPerLine = perLine;
  options.BaseOffset = base;
  options.Alignment = alignment;
  options.LineSeparator = "\n";
  return options;
}

TSwHexDumpOptions AsciiOnly(TSwHexDumpOptions options) {
  options.AsciiOnly = true;
  return options;
}

TEST(HexDump, Layouts) {
  struct Row {
    const char* what;
    std::string bytes;
    TSwHexDumpOptions options;
    std::optional<int64_t> marker;
    std::string dump;
  };
  const std::string sixteen = "0123456789ABCDEF";
  const Row rows[] = {
      {"eight per line", "I am Kat", Options(8), {}, "00000000    49 20 61 6D 20 4B 61 74    I am Kat"},
      {"extra blank after the eighth of sixteen", sixteen, Options(16), {},
       "00000000    30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46    0123456789ABCDEF"},
      {"control bytes and a short last line", std::string("ab\x01\ncd", 6), Options(4, 0x10), {},
       "00000010    61 62 01 0A    ab..\n00000014    63 64          cd  "},
      {"alignment leaves blanks and offsets follow the grid", "xyz", Options(4, 0x22, 2), {},
       "00000020          78 79      xy\n00000024    7A             z   "},
      {"marker in the middle keeps columns", "abcdef", Options(4), 2,
       "00000000    61 62          ab  \n"
       "           -- HERE --\n"
       "00000000          63 64      cd\n"
       "00000004    65 66          ef  "},
      {"marker at the first byte", "abcd", Options(4, 0x100), 0x100,
       "           -- HERE --\n00000100    61 62 63 64    abcd"},
      {"marker at the end", "ab", Options(4), 2, "00000000    61 62          ab  \n           -- HERE --"},
      {"marker outside", "ab", Options(4), 3, "00000000    61 62          ab  "},
      {"wide offsets", "z", Options(2, 0x123456789), {}, "123456789    7A       z "},
      {"high bytes as they are", "a\x7F\xC3", Options(3), {}, "00000000    61 7F C3    a\x7F\xC3"},
      {"high bytes replaced for terminals", "a\x7F\xC3", AsciiOnly(Options(3)), {}, "00000000    61 7F C3    a.."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(SwFormatHexDump(row.bytes, row.options, row.marker), row.dump);
  }
}

TEST(ReadableClassNames, PrefixesGoAndWordsSplit) {
  const std::pair<const char*, const char*> rows[] = {
      {"ESwmConditionMismatch", "Condition Mismatch"}, {"EConvertError", "Convert Error"},
      {"EMmAmbiguousMerge", "Ambiguous Merge"},       {"ESwBadVersionString", "Bad Version String"},
      {"ERPN", "RPN"},                                 {"EReadError", "Read Error"}};
  for (const auto& [name, readable] : rows) EXPECT_EQ(SwReadableClassName(name), readable) << name;
}

}  // namespace
}  // namespace skeinwork
