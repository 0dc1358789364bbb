#include "StrConv.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace skeinwork {
namespace {

TEST(StrConv, NamesResolveToCodepagesAndBack) {
  const std::pair<const char*, int> rows[] = {
      {"UTF-8", 65001},       {"utf8", 65001},           {"unicode-1-1-utf-8", 65001}, {"UTF-16LE", 1200},
      {"ucs-2", 1200},        {"csUnicode", 1200},       {"utf16be", 1201},            {"utf-32", 12000},
      {"utf-7", 65000},       {"WINDOWS-1251", 1251},    {"x-cp1251", 1251},           {"cp1252", 1252},
      {"KOI8R", 20866},       {"koi8-u", 21866},         {"latin1", 28591},            {"ISO_8859-1", 28591},
      {"cyrillic", 28595},    {"latin9", 28605},         {"Shift-JIS", 932},           {"sjis", 932},
      {"gb2312", 936},        {"ks_c_5601-1987", 949},   {"Big5", 950},                {"euc-jp", 51932},
      {"gb18030", 54936},     {"mac", 10000},            {"ascii", 20127},             {"866", 866},
      {"cp437", 437},         {"tis-620", 874},
      // unknown names and near misses
      {"", -1},               {"utf-9", -1},             {"windows1251", -1},          {" utf-8", -1}, {"utf-8 ", -1},
  };
  for (const auto& [name, codepage] : rows) {
    EXPECT_EQ(SwCharsetToCodepage(std::string_view(name)), codepage) << name;
    EXPECT_EQ(SwCharsetToCodepage(Utf8ToWide(name)), codepage) << name;
  }
  struct Row { int codepage; const char* name; const char* description; };
  const Row codepages[] = {
      {65001, "utf-8", "Unicode (UTF-8)"},       {1251, "windows-1251", "Cyrillic (Windows)"},
      {20866, "koi8-r", "Cyrillic (KOI8-R)"},    {932, "shift_jis", "Japanese (Shift-JIS)"},
      {1200, "utf-16", "Unicode"},               {-2, "", ""}, {0, "", ""}, {12345, "", ""},
  };
  for (const Row& row : codepages) {
    EXPECT_EQ(SwCodepageToCharset(row.codepage), row.name) << row.codepage;
    EXPECT_EQ(SwCodepageToCharset(row.codepage, true), row.description) << row.codepage;
  }
}

TEST(StrConv, EveryNameResolvesToAKnownCodepage) {
  std::vector<int> codepages = SwKnownCodepages();
  std::set<int> known(codepages.begin(), codepages.end());
  EXPECT_EQ(known.size(), codepages.size()) << "a codepage is listed twice";
  std::vector<std::string> names = SwCharsetNames();
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), names.size()) << "a name is listed twice";
  for (const std::string& name : names) EXPECT_EQ(known.count(SwCharsetToCodepage(std::string_view(name))), 1u) << name;
  for (int codepage : codepages) {
    SCOPED_TRACE(codepage);
    // A codepage's body name leads back to it, and it converts.
    EXPECT_EQ(SwCharsetToCodepage(std::string_view(SwCodepageToCharset(codepage))), codepage);
    EXPECT_EQ(SwDecode(codepage, SwEncode(codepage, u"Skeinwork 0.79", -1, true)), u"Skeinwork 0.79");
  }
}

TEST(StrConv, RoundTripsPerCodepage) {
  struct Row { int codepage; std::u16string text; std::string bytes; };  // bytes: empty: only the round trip is checked
  const Row rows[] = {
      {65001, u"Skeinwork \u00e9\u4e2d\U0001F600", "Skeinwork \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {1200, u"Ab\u0416", std::string("A\0b\0\x16\x04", 6)}, {1201, u"Ab\u0416", std::string("\0A\0b\x04\x16", 6)},
      {12000, u"A\U0001F600", std::string("A\0\0\0\x00\xF6\x01\x00", 8)}, {65000, u"A+\u00e9", ""},
      {20127, u"plain ASCII ~", "plain ASCII ~"},
      {1250, u"\u017Elu\u0165ou\u010Dk\u00FD k\u016F\u0148", "\x9Elu\x9Dou\xE8k\xFD k\xF9\xF2"},
      {1251, u"\u041F\u0440\u0438\u0432\u0435\u0442", "\xCF\xF0\xE8\xE2\xE5\xF2"},
      {1252, u"caf\u00E9 \u20AC", "caf\xE9 \x80"}, {1253, u"\u0391\u03B2\u03B3", "\xC1\xE2\xE3"},
      {1254, u"\u011F\u0131\u015F", "\xF0\xFD\xFE"}, {1255, u"\u05D0\u05D1", "\xE0\xE1"},
      {1256, u"\u0627\u0644", "\xC7\xE1"}, {1257, u"\u0101\u010D", "\xE2\xE8"},
      {1258, u"\u0103\u20AB", "\xE3\xFE"}, {874, u"\u0E01", "\xA1"}, {28591, u"\u00E9\u00FF", "\xE9\xFF"},
      {28592, u"\u0104\u0161", "\xA1\xB9"}, {28595, u"\u0416", "\xB6"}, {28597, u"\u0391", "\xC1"},
      {28599, u"\u011E", "\xD0"}, {28605, u"\u20AC", "\xA4"},
      {20866, u"\u041F\u0440\u0438\u0432\u0435\u0442", "\xF0\xD2\xC9\xD7\xC5\xD4"},
      {21866, u"\u0454\u0456", "\xA4\xA6"}, {866, u"\u041F\u0440", "\x8F\xE0"},
      {437, u"\u00E9\u2591", "\x82\xB0"}, {850, u"\u00E9\u00D8", "\x82\x9D"},
      {932, u"\u65E5\u672C\uFF76", "\x93\xFA\x96\x7B\xB6"}, {936, u"\u4E2D\u6587", "\xD6\xD0\xCE\xC4"},
      {949, u"\uD55C", "\xC7\xD1"}, {950, u"\u4E2D", "\xA4\xA4"}, {51932, u"\u65E5", "\xC6\xFC"},
      {54936, u"\u4E2D\U0001F600", "\xD6\xD0\x94\x39\xFC\x36"}, {10000, u"\u00E9\u2122", "\x8E\xAA"},
      {37, u"A1", "\xC1\xF1"}, {50220, u"\u65E5A", ""}, {52936, u"\u4E2D", ""},
      {65001, u"", ""}, {1251, u"", ""}, {1200, u"", ""}, {932, u"", ""},  // nothing in, nothing out
      // -2: the UTF-16 code units copied as they are, whether they make characters or not.
      {-2, u"A\u0416\uFFFF", std::string("A\0\x16\x04\xFF\xFF", 6)},
      {-2, std::u16string(u"\0x", 2), std::string("\0\0x\0", 4)},
      {-2, u"\xD800 \U0001F600", std::string("\0\xD8 \0\x3D\xD8\x00\xDE", 8)}, {-2, u"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.codepage);
    RawByteString bytes = SwEncode(row.codepage, row.text, -1, true);
    if (!row.bytes.empty()) { EXPECT_EQ(bytes, row.bytes); }
    EXPECT_EQ(SwDecode(row.codepage, bytes), row.text);
    EXPECT_EQ(SwAnsiLength(row.codepage, row.text), static_cast<int64_t>(bytes.size()) + 1);
    EXPECT_EQ(SwWideLength(row.codepage, bytes), static_cast<int64_t>(row.text.size()) + 1);
    // Length hints, right or wrong, never change the result.
    for (int64_t hint : {int64_t{0}, int64_t{1}, int64_t{2}, SwWideLength(row.codepage, bytes)}) {
      EXPECT_EQ(SwDecode(row.codepage, bytes, hint), row.text);
    }
    for (int64_t hint : {int64_t{0}, int64_t{2}, SwAnsiLength(row.codepage, row.text)}) {
      EXPECT_EQ(SwEncode(row.codepage, row.text, hint), bytes);
    }
  }
}

TEST(StrConv, LossIsAnErrorOnlyWhenAsked) {
  // shown: the text as the message shows it.
  struct Row { int codepage; std::u16string text; std::string substituted, shown; };
  const std::u16string longText = u"\u4E2D" + std::u16string(60, u'x');
  const Row rows[] = {
      {1251, u"caf\u00E9", "caf?", "caf\xC3\xA9"}, {20127, u"\u00E9t\u00E9", "?t?", "\xC3\xA9t\xC3\xA9"},
      {28591, u"\u20AC5", "?5", "\xE2\x82\xAC" "5"}, {932, u"a\u0416\u00E9", "a\x84\x47?", "a\xD0\x96\xC3\xA9"},
      {37, u"\u4E2D", "\x6F", "\xE4\xB8\xAD"},  // "?" in EBCDIC
      {1252, longText, "?" + std::string(60, 'x'), "\xE4\xB8\xAD" + std::string(49, 'x')},
      // An unpaired surrogate has no UTF-8 form either; UTF-8 substitutes U+FFFD.
      {65001, u"a\xD800z", "a\xEF\xBF\xBDz", "a\xEF\xBF\xBDz"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.codepage);
    EXPECT_EQ(SwEncode(row.codepage, row.text), row.substituted);
    ExpectError<ESwCodepageLoss>([&] { SwEncode(row.codepage, row.text, -1, true); },
                                 "Codepage " + std::to_string(row.codepage) +
                                     " cannot represent all symbols of given string '" + row.shown + "'.");
    // The converter is reusable after the failure.
    EXPECT_EQ(SwEncode(row.codepage, u"ok", -1, true), SwEncode(row.codepage, u"ok"));
  }
}

TEST(StrConv, MalformedBytesAndUnknownCodepages) {
  for (const char16_t* text : {u"", u"\u00e9\u4e2d", u"\U0001F600 smile"}) EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
  EXPECT_EQ(Utf8ToWide("\xff" "a\xc3"), u"\uFFFDa\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xe0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong form
  // A raw UTF-16 odd trailing byte has no unit to go into.
  EXPECT_EQ(SwDecode(-2, std::string("A\0B", 3)), u"A");
  EXPECT_EQ(SwWideLength(-2, "abc"), 2);
  EXPECT_EQ(SwDecode(65001, "a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(SwDecode(65001, "\xE4\xB8"), u"\uFFFD");
  EXPECT_EQ(SwDecode(20127, "a\x80"), u"a\uFFFD");
  for (int codepage : {0, -1, 12345, 65002}) {
    SCOPED_TRACE(codepage);
    std::string message = "Codepage " + std::to_string(codepage) + " is not supported.";
    ExpectError<ESwUnsupportedCodepage>([&] { SwDecode(codepage, "x"); }, message);
    ExpectError<ESwUnsupportedCodepage>([&] { SwEncode(codepage, u"x"); }, message);
    ExpectError<ESwUnsupportedCodepage>([&] { SwWideLength(codepage, "x"); }, message);
  }
}

TEST(StrConv, ThreadsConvertIndependently) {
  // Each thread has its own converters; interleaved stateful conversions must not mix.
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      const int codepages[] = {932, 50220, 1251, 65001};
      const std::u16string text = u"\u65E5\u672C abc \u65E5";
      int codepage = codepages[t];
      for (int i = 0; i < 200; ++i) {
        std::u16string sample = codepage == 1251 ? std::u16string(u"\u0416abc") : text;
        if (SwDecode(codepage, SwEncode(codepage, sample, -1, true)) != sample) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace skeinwork
