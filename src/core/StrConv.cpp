#include "StrConv.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

namespace skeinwork {
namespace {

// ---------------------------------------------------------------------------------------------
// The charset database. Codepages carry their body charset name, a description for people and
// the ICU converter that does the work; the body name itself resolves to the codepage.

struct TCodepageRow {
  int Codepage;
  const char* BodyName;
  const char* Description;
  const char* Converter;  // ICU converter name; exact names where ICU's aliases are ambiguous
};

constexpr TCodepageRow kCodepages[] = {
    {37, "ibm037", "IBM EBCDIC (US-Canada)", "ibm-37_P100-1995"},
    {437, "ibm437", "OEM United States", "ibm-437_P100-1995"},
    {500, "ibm500", "IBM EBCDIC (International)", "ibm-500_P100-1995"},
    {720, "dos-720", "Arabic (DOS)", "ibm-720_P100-1997"},
    {737, "ibm737", "Greek (DOS)", "ibm-737_P100-1997"},
    {775, "ibm775", "Baltic (DOS)", "ibm-775_P100-1996"},
    {850, "ibm850", "Western European (DOS)", "ibm-850_P100-1995"},
    {852, "ibm852", "Central European (DOS)", "ibm-852_P100-1995"},
    {855, "ibm855", "OEM Cyrillic", "ibm-855_P100-1995"},
    {857, "ibm857", "Turkish (DOS)", "ibm-857_P100-1995"},
    {860, "ibm860", "Portuguese (DOS)", "ibm-860_P100-1995"},
    {861, "ibm861", "Icelandic (DOS)", "ibm-861_P100-1995"},
    {862, "dos-862", "Hebrew (DOS)", "ibm-862_P100-1995"},
    {863, "ibm863", "French Canadian (DOS)", "ibm-863_P100-1995"},
    {864, "ibm864", "Arabic (864)", "ibm-864_X110-1999"},
    {865, "ibm865", "Nordic (DOS)", "ibm-865_P100-1995"},
    {866, "cp866", "Cyrillic (DOS)", "ibm-866_P100-1995"},
    {869, "ibm869", "Greek, Modern (DOS)", "ibm-869_P100-1995"},
    {874, "windows-874", "Thai (Windows)", "windows-874-2000"},
    {875, "cp875", "IBM EBCDIC (Greek Modern)", "ibm-875_P100-1995"},
    {932, "shift_jis", "Japanese (Shift-JIS)", "ibm-943_P15A-2003"},
    {936, "gb2312", "Chinese Simplified (GB2312)", "windows-936-2000"},
    {949, "ks_c_5601-1987", "Korean", "windows-949-2000"},
    {950, "big5", "Chinese Traditional (Big5)", "windows-950-2000"},
    {1026, "ibm1026", "IBM EBCDIC (Turkish Latin-5)", "ibm-1026_P100-1995"},
    {1047, "ibm01047", "IBM Latin-1", "ibm-1047_P100-1995"},
    {1140, "ibm01140", "IBM EBCDIC (US-Canada-Euro)", "ibm-1140_P100-1997"},
    {1200, "utf-16", "Unicode", "UTF-16LE"},
    {1201, "unicodefffe", "Unicode (Big-Endian)", "UTF-16BE"},
    {1250, "windows-1250", "Central European (Windows)", "ibm-5346_P100-1998"},
    {1251, "windows-1251", "Cyrillic (Windows)", "ibm-5347_P100-1998"},
    {1252, "windows-1252", "Western European (Windows)", "ibm-5348_P100-1997"},
    {1253, "windows-1253", "Greek (Windows)", "ibm-5349_P100-1998"},
    {1254, "windows-1254", "Turkish (Windows)", "ibm-5350_P100-1998"},
    {1255, "windows-1255", "Hebrew (Windows)", "ibm-9447_P100-2002"},
    {1256, "windows-1256", "Arabic (Windows)", "ibm-9448_X100-2005"},
    {1257, "windows-1257", "Baltic (Windows)", "ibm-9449_P100-2002"},
    {1258, "windows-1258", "Vietnamese (Windows)", "ibm-5354_P100-1998"},
    {10000, "macintosh", "Western European (Mac)", "macos-0_2-10.2"},
    {10006, "x-mac-greek", "Greek (Mac)", "macos-6_2-10.4"},
    {10007, "x-mac-cyrillic", "Cyrillic (Mac)", "macos-7_3-10.2"},
    {10029, "x-mac-ce", "Central European (Mac)", "macos-29-10.2"},
    {10081, "x-mac-turkish", "Turkish (Mac)", "macos-35-10.2"},
    {12000, "utf-32", "Unicode (UTF-32)", "UTF-32LE"},
    {12001, "utf-32be", "Unicode (UTF-32 Big-Endian)", "UTF-32BE"},
    {20127, "us-ascii", "US-ASCII", "US-ASCII"},
    {20866, "koi8-r", "Cyrillic (KOI8-R)", "ibm-878_P100-1996"},
    {21866, "koi8-u", "Cyrillic (KOI8-U)", "ibm-1168_P100-2002"},
    {28591, "iso-8859-1", "Western European (ISO)", "ISO-8859-1"},
    {28592, "iso-8859-2", "Central European (ISO)", "ibm-912_P100-1995"},
    {28593, "iso-8859-3", "Latin 3 (ISO)", "ibm-913_P100-2000"},
    {28594, "iso-8859-4", "Baltic (ISO)", "ibm-914_P100-1995"},
    {28595, "iso-8859-5", "Cyrillic (ISO)", "ibm-915_P100-1995"},
    {28596, "iso-8859-6", "Arabic (ISO)", "ibm-1089_P100-1995"},
    {28597, "iso-8859-7", "Greek (ISO)", "ibm-9005_X110-2007"},
    {28598, "iso-8859-8", "Hebrew (ISO-Visual)", "ibm-5012_P100-1999"},
    {28599, "iso-8859-9", "Turkish (ISO)", "ibm-920_P100-1995"},
    {28603, "iso-8859-13", "Estonian (ISO)", "ibm-921_P100-1995"},
    {28605, "iso-8859-15", "Latin 9 (ISO)", "ibm-923_P100-1998"},
    {50220, "iso-2022-jp", "Japanese (JIS)", "ISO_2022,locale=ja,version=0"},
    {50225, "iso-2022-kr", "Korean (ISO)", "ISO_2022,locale=ko,version=0"},
    {51932, "euc-jp", "Japanese (EUC)", "euc-jp-2007"},
    {51949, "euc-kr", "Korean (EUC)", "ibm-970_P110_P110-2006_U2"},
    {52936, "hz-gb-2312", "Chinese Simplified (HZ)", "HZ"},
    {54936, "gb18030", "Chinese Simplified (GB18030)", "gb18030"},
    {65000, "utf-7", "Unicode (UTF-7)", "UTF-7"},
    {65001, "utf-8", "Unicode (UTF-8)", "UTF-8"},
};

// Further names: each either carries a codepage of its own or stands for another name.
struct TCharsetRow {
  const char* Name;
  int Codepage;         // 0 when the row is an alias
  const char* AliasFor; // the name this one stands for, or null
};

constexpr TCharsetRow kCharsets[] = {
    // Unicode
    {"utf8", 0, "utf-8"},
    {"unicode-1-1-utf-8", 0, "utf-8"},
    {"unicode-2-0-utf-8", 0, "utf-8"},
    {"x-unicode20utf8", 0, "utf-8"},
    {"cp65001", 0, "utf-8"},
    {"utf7", 0, "utf-7"},
    {"unicode-1-1-utf-7", 0, "utf-7"},
    {"x-unicode20utf7", 0, "utf-7"},
    {"csunicode11utf7", 0, "utf-7"},
    {"unicode", 1200, nullptr},
    {"utf16", 0, "utf-16"},
    {"utf-16le", 0, "utf-16"},
    {"utf16le", 0, "utf-16"},
    {"ucs-2", 0, "utf-16"},
    {"iso-10646-ucs-2", 0, "ucs-2"},
    {"csunicode", 0, "ucs-2"},
    {"utf-16be", 0, "unicodefffe"},
    {"utf16be", 0, "utf-16be"},
    {"utf32", 0, "utf-32"},
    {"utf-32le", 0, "utf-32"},
    {"utf32le", 0, "utf-32"},
    {"utf32be", 0, "utf-32be"},
    // ASCII
    {"ascii", 0, "us-ascii"},
    {"us", 0, "us-ascii"},
    {"ansi_x3.4-1968", 0, "us-ascii"},
    {"ansi_x3.4-1986", 0, "us-ascii"},
    {"iso646-us", 0, "us-ascii"},
    {"iso_646.irv:1991", 0, "us-ascii"},
    {"iso-ir-6", 0, "us-ascii"},
    {"ibm367", 0, "us-ascii"},
    {"cp367", 0, "us-ascii"},
    {"csascii", 0, "us-ascii"},
    {"cp20127", 0, "us-ascii"},
    // Windows
    {"cp1250", 0, "windows-1250"},
    {"x-cp1250", 0, "windows-1250"},
    {"cp1251", 0, "windows-1251"},
    {"x-cp1251", 0, "windows-1251"},
    {"cp1252", 0, "windows-1252"},
    {"x-ansi", 0, "windows-1252"},
    {"cp1253", 0, "windows-1253"},
    {"cp1254", 0, "windows-1254"},
    {"cp1255", 0, "windows-1255"},
    {"cp1256", 0, "windows-1256"},
    {"cp1257", 0, "windows-1257"},
    {"cp1258", 0, "windows-1258"},
    {"cp874", 0, "windows-874"},
    {"dos-874", 0, "windows-874"},
    {"tis-620", 0, "windows-874"},
    {"iso-8859-11", 0, "windows-874"},
    // ISO-8859
    {"latin1", 0, "iso-8859-1"},
    {"l1", 0, "iso-8859-1"},
    {"iso8859-1", 0, "iso-8859-1"},
    {"iso_8859-1", 0, "iso-8859-1"},
    {"iso_8859-1:1987", 0, "iso-8859-1"},
    {"iso-ir-100", 0, "iso-8859-1"},
    {"ibm819", 0, "iso-8859-1"},
    {"cp819", 0, "iso-8859-1"},
    {"csisolatin1", 0, "iso-8859-1"},
    {"cp28591", 0, "iso-8859-1"},
    {"latin2", 0, "iso-8859-2"},
    {"l2", 0, "iso-8859-2"},
    {"iso8859-2", 0, "iso-8859-2"},
    {"iso_8859-2", 0, "iso-8859-2"},
    {"iso_8859-2:1987", 0, "iso-8859-2"},
    {"iso-ir-101", 0, "iso-8859-2"},
    {"csisolatin2", 0, "iso-8859-2"},
    {"latin3", 0, "iso-8859-3"},
    {"l3", 0, "iso-8859-3"},
    {"iso8859-3", 0, "iso-8859-3"},
    {"iso_8859-3", 0, "iso-8859-3"},
    {"iso-ir-109", 0, "iso-8859-3"},
    {"csisolatin3", 0, "iso-8859-3"},
    {"latin4", 0, "iso-8859-4"},
    {"l4", 0, "iso-8859-4"},
    {"iso8859-4", 0, "iso-8859-4"},
    {"iso_8859-4", 0, "iso-8859-4"},
    {"iso-ir-110", 0, "iso-8859-4"},
    {"csisolatin4", 0, "iso-8859-4"},
    {"cyrillic", 0, "iso-8859-5"},
    {"iso8859-5", 0, "iso-8859-5"},
    {"iso_8859-5", 0, "iso-8859-5"},
    {"iso-ir-144", 0, "iso-8859-5"},
    {"csisolatincyrillic", 0, "iso-8859-5"},
    {"arabic", 0, "iso-8859-6"},
    {"iso8859-6", 0, "iso-8859-6"},
    {"iso_8859-6", 0, "iso-8859-6"},
    {"iso-ir-127", 0, "iso-8859-6"},
    {"ecma-114", 0, "iso-8859-6"},
    {"asmo-708", 0, "iso-8859-6"},
    {"csisolatinarabic", 0, "iso-8859-6"},
    {"greek", 0, "iso-8859-7"},
    {"greek8", 0, "iso-8859-7"},
    {"iso8859-7", 0, "iso-8859-7"},
    {"iso_8859-7", 0, "iso-8859-7"},
    {"iso-ir-126", 0, "iso-8859-7"},
    {"elot_928", 0, "iso-8859-7"},
    {"ecma-118", 0, "iso-8859-7"},
    {"csisolatingreek", 0, "iso-8859-7"},
    {"hebrew", 0, "iso-8859-8"},
    {"iso8859-8", 0, "iso-8859-8"},
    {"iso_8859-8", 0, "iso-8859-8"},
    {"iso-ir-138", 0, "iso-8859-8"},
    {"visual", 0, "iso-8859-8"},
    {"csisolatinhebrew", 0, "iso-8859-8"},
    {"latin5", 0, "iso-8859-9"},
    {"l5", 0, "iso-8859-9"},
    {"iso8859-9", 0, "iso-8859-9"},
    {"iso_8859-9", 0, "iso-8859-9"},
    {"iso-ir-148", 0, "iso-8859-9"},
    {"csisolatin5", 0, "iso-8859-9"},
    {"latin7", 0, "iso-8859-13"},
    {"l7", 0, "iso-8859-13"},
    {"iso8859-13", 0, "iso-8859-13"},
    {"iso_8859-13", 0, "iso-8859-13"},
    {"latin9", 0, "iso-8859-15"},
    {"l9", 0, "iso-8859-15"},
    {"latin-9", 0, "iso-8859-15"},
    {"iso8859-15", 0, "iso-8859-15"},
    {"iso_8859-15", 0, "iso-8859-15"},
    {"csisolatin9", 0, "iso-8859-15"},
    // Cyrillic
    {"koi8r", 0, "koi8-r"},
    {"koi", 0, "koi8-r"},
    {"koi8", 0, "koi8-r"},
    {"cskoi8r", 0, "koi8-r"},
    {"koi8u", 0, "koi8-u"},
    {"koi8-ru", 0, "koi8-u"},
    {"ibm866", 0, "cp866"},
    {"866", 0, "cp866"},
    {"csibm866", 0, "cp866"},
    {"x-mac-ukrainian", 0, "x-mac-cyrillic"},
    // DOS and EBCDIC
    {"cp437", 0, "ibm437"},
    {"437", 0, "ibm437"},
    {"cspc8codepage437", 0, "ibm437"},
    {"cp850", 0, "ibm850"},
    {"850", 0, "ibm850"},
    {"cspc850multilingual", 0, "ibm850"},
    {"cp852", 0, "ibm852"},
    {"852", 0, "ibm852"},
    {"cp855", 0, "ibm855"},
    {"cp857", 0, "ibm857"},
    {"cp860", 0, "ibm860"},
    {"cp861", 0, "ibm861"},
    {"cp862", 0, "dos-862"},
    {"ibm862", 0, "dos-862"},
    {"cp863", 0, "ibm863"},
    {"cp864", 0, "ibm864"},
    {"cp865", 0, "ibm865"},
    {"cp869", 0, "ibm869"},
    {"cp737", 0, "ibm737"},
    {"cp775", 0, "ibm775"},
    {"cp720", 0, "dos-720"},
    {"cp037", 0, "ibm037"},
    {"ebcdic-cp-us", 0, "ibm037"},
    {"cp500", 0, "ibm500"},
    {"ebcdic-cp-ch", 0, "ibm500"},
    {"cp1026", 0, "ibm1026"},
    {"cp1047", 0, "ibm01047"},
    {"cp1140", 0, "ibm01140"},
    // East Asian
    {"sjis", 0, "shift_jis"},
    {"shift-jis", 0, "shift_jis"},
    {"ms_kanji", 0, "shift_jis"},
    {"x-sjis", 0, "shift_jis"},
    {"csshiftjis", 0, "shift_jis"},
    {"windows-31j", 0, "shift_jis"},
    {"cp932", 0, "shift_jis"},
    {"x-ms-cp932", 0, "shift_jis"},
    {"gbk", 0, "gb2312"},
    {"cp936", 0, "gb2312"},
    {"windows-936", 0, "gb2312"},
    {"x-gbk", 0, "gb2312"},
    {"gb_2312-80", 0, "gb2312"},
    {"csgb2312", 0, "gb2312"},
    {"chinese", 0, "gb2312"},
    {"iso-ir-58", 0, "gb2312"},
    {"gb-18030", 0, "gb18030"},
    {"hz", 0, "hz-gb-2312"},
    {"cp949", 0, "ks_c_5601-1987"},
    {"windows-949", 0, "ks_c_5601-1987"},
    {"ks_c_5601", 0, "ks_c_5601-1987"},
    {"ks_c_5601-1989", 0, "ks_c_5601-1987"},
    {"ksc_5601", 0, "ks_c_5601-1987"},
    {"korean", 0, "ks_c_5601-1987"},
    {"csksc56011987", 0, "ks_c_5601-1987"},
    {"iso-ir-149", 0, "ks_c_5601-1987"},
    {"euckr", 0, "euc-kr"},
    {"cseuckr", 0, "euc-kr"},
    {"cp950", 0, "big5"},
    {"windows-950", 0, "big5"},
    {"csbig5", 0, "big5"},
    {"x-x-big5", 0, "big5"},
    {"eucjp", 0, "euc-jp"},
    {"x-euc-jp", 0, "euc-jp"},
    {"x-euc", 0, "euc-jp"},
    {"cseucpkdfmtjapanese", 0, "euc-jp"},
    {"csiso2022jp", 0, "iso-2022-jp"},
    {"csiso2022kr", 0, "iso-2022-kr"},
    // Macintosh
    {"mac", 0, "macintosh"},
    {"macroman", 0, "macintosh"},
    {"x-mac-roman", 0, "macintosh"},
    {"csmacintosh", 0, "macintosh"},
    {"x-mac-centraleurroman", 0, "x-mac-ce"},
};

// Aliases chain through names; a chain longer than this is a loop in the table.
constexpr int kMaxAliasDepth = 16;

struct TNameEntry {
  int Codepage = 0;
  std::string_view AliasFor;
};

struct TDatabase {
  std::unordered_map<std::string_view, TNameEntry> Names;
  std::unordered_map<int, const TCodepageRow*> Codepages;

  TDatabase() {
    for (const TCodepageRow& row : kCodepages) {
      Codepages.emplace(row.Codepage, &row);
      Names.emplace(row.BodyName, TNameEntry{row.Codepage, {}});
    }
    for (const TCharsetRow& row : kCharsets)
      Names.emplace(row.Name, TNameEntry{row.Codepage, row.AliasFor ? row.AliasFor : ""});
  }
};

const TDatabase& Database() {
  static const TDatabase database;
  return database;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// ---------------------------------------------------------------------------------------------
// Converters. ICU converters carry state and must not be shared between threads, so each
// thread opens the ones it uses once and keeps them.

struct TConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using TConverter = std::unique_ptr<UConverter, TConverterCloser>;

bool IsUnicodeConverter(UConverter* converter) {
  switch (ucnv_getType(converter)) {
    case UCNV_UTF8:
    case UCNV_CESU8:
    case UCNV_UTF7:
    case UCNV_UTF16:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void RaiseUnsupported(int codepage) {
  SwRaise<ESwUnsupportedCodepage>("Codepage %d is not supported.", codepage);
}

UConverter* ConverterFor(int codepage) {
  thread_local std::unordered_map<int, TConverter> cache;
  if (auto it = cache.find(codepage); it != cache.end()) {
    ucnv_reset(it->second.get());
    return it->second.get();
  }
  const auto& codepages = Database().Codepages;
  auto row = codepages.find(codepage);
  if (row == codepages.end()) RaiseUnsupported(codepage);
  UErrorCode status = U_ZERO_ERROR;
  TConverter converter(ucnv_open(row->second->Converter, &status));
  if (U_FAILURE(status) || !converter) RaiseUnsupported(codepage);
  // The platform's default character for the 8-bit codepages is "?"; the Unicode ones keep
  // U+FFFD, which they can always represent.
  if (!IsUnicodeConverter(converter.get())) {
    UErrorCode substStatus = U_ZERO_ERROR;
    ucnv_setSubstString(converter.get(), u"?", 1, &substStatus);
  }
  return cache.emplace(codepage, std::move(converter)).first->second.get();
}

WideString RawBytesToWide(std::string_view text) {
  WideString out(text.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<uint8_t>(text[2 * i]) |
                                   (static_cast<uint8_t>(text[2 * i + 1]) << 8));
  return out;
}

RawByteString WideToRawBytes(std::u16string_view text) {
  RawByteString out(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return out;
}

// The first `count` UTF-16 units of the text, not cutting a surrogate pair in half.
std::u16string_view Head(std::u16string_view text, size_t count) {
  if (text.size() <= count) return text;
  if (count > 0 && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) --count;
  return text.substr(0, count);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

WideString SwDecode(int codepage, std::string_view text, int64_t lengthHint) {
  if (text.empty()) return {};
  if (codepage == SwRawUtf16Codepage) return RawBytesToWide(text);
  UConverter* converter = ConverterFor(codepage);
  UErrorCode callbackStatus = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr,
                      &callbackStatus);
  // Most codepages give at most one unit per byte; the loop grows the buffer for the others.
  size_t capacity = lengthHint > 1 ? static_cast<size_t>(lengthHint) : text.size() + 1;
  WideString out(std::max<size_t>(capacity, 16), u'\0');
  const char* source = text.data();
  const char* sourceEnd = source + text.size();
  size_t written = 0;
  for (;;) {
    UChar* target = reinterpret_cast<UChar*>(out.data()) + written;
    UChar* targetStart = target;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, reinterpret_cast<UChar*>(out.data()) + out.size(),
                   &source, sourceEnd, nullptr, true, &status);
    written += static_cast<size_t>(target - targetStart);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(out.size() * 2);
      continue;
    }
    if (U_FAILURE(status))
      SwRaise<ESwStrConv>("Codepage %d conversion failed (%s).", codepage, u_errorName(status));
    break;
  }
  out.resize(written);
  return out;
}

RawByteString SwLineBreakBytes(std::u16string_view eoln, int codepage) {
  if (std::all_of(eoln.begin(), eoln.end(), [](char16_t c) { return c < 128; }))
    return RawByteString(eoln.begin(), eoln.end());
  return SwEncode(codepage, eoln);
}

RawByteString SwEncode(int codepage, std::u16string_view text, int64_t lengthHint,
                       bool failOnLoss) {
  if (text.empty()) return {};
  if (codepage == SwRawUtf16Codepage) return WideToRawBytes(text);
  UConverter* converter = ConverterFor(codepage);
  UErrorCode callbackStatus = U_ZERO_ERROR;
  ucnv_setFromUCallBack(converter,
                        failOnLoss ? UCNV_FROM_U_CALLBACK_STOP : UCNV_FROM_U_CALLBACK_SUBSTITUTE,
                        nullptr, nullptr, nullptr, &callbackStatus);
  size_t capacity = lengthHint > 1 ? static_cast<size_t>(lengthHint) : text.size() + 1;
  RawByteString out(std::max<size_t>(capacity, 16), '\0');
  const UChar* source = reinterpret_cast<const UChar*>(text.data());
  const UChar* sourceEnd = source + text.size();
  size_t written = 0;
  for (;;) {
    char* target = out.data() + written;
    char* targetStart = target;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, out.data() + out.size(), &source, sourceEnd, nullptr,
                     true, &status);
    written += static_cast<size_t>(target - targetStart);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(out.size() * 2);
      continue;
    }
    if (status == U_INVALID_CHAR_FOUND || status == U_ILLEGAL_CHAR_FOUND ||
        status == U_TRUNCATED_CHAR_FOUND)
      SwRaise<ESwCodepageLoss>("Codepage %d cannot represent all symbols of given string '%s'.",
                               codepage, Head(text, 50));
    if (U_FAILURE(status))
      SwRaise<ESwStrConv>("Codepage %d conversion failed (%s).", codepage, u_errorName(status));
    break;
  }
  out.resize(written);
  return out;
}

int64_t SwWideLength(int codepage, std::string_view text) {
  if (codepage == SwRawUtf16Codepage) return static_cast<int64_t>(text.size() / 2) + 1;
  return static_cast<int64_t>(SwDecode(codepage, text).size()) + 1;
}

int64_t SwAnsiLength(int codepage, std::u16string_view text) {
  if (codepage == SwRawUtf16Codepage) return static_cast<int64_t>(text.size()) * 2 + 1;
  return static_cast<int64_t>(SwEncode(codepage, text).size()) + 1;
}

int SwCharsetToCodepage(std::string_view name) {
  const auto& names = Database().Names;
  std::string key = LowerAscii(name);
  for (int depth = 0; depth < kMaxAliasDepth; ++depth) {
    auto it = names.find(key);
    if (it == names.end()) return SwUnknownCodepage;
    if (it->second.Codepage != 0) return it->second.Codepage;
    if (it->second.AliasFor.empty()) return SwUnknownCodepage;
    key = LowerAscii(it->second.AliasFor);
  }
  return SwUnknownCodepage;
}

int SwCharsetToCodepage(std::u16string_view name) { return SwCharsetToCodepage(WideToUtf8(name)); }

std::string SwCodepageToCharset(int codepage, bool description) {
  const auto& codepages = Database().Codepages;
  auto it = codepages.find(codepage);
  if (it == codepages.end()) return {};
  return description ? it->second->Description : it->second->BodyName;
}

std::vector<int> SwKnownCodepages() {
  std::vector<int> out;
  for (const TCodepageRow& row : kCodepages) out.push_back(row.Codepage);
  return out;
}

std::vector<std::string> SwCharsetNames() {
  std::vector<std::string> out;
  for (const TCodepageRow& row : kCodepages) out.emplace_back(row.BodyName);
  for (const TCharsetRow& row : kCharsets) out.emplace_back(row.Name);
  return out;
}

}  // namespace skeinwork
