// StrConv: charsets and codepages.
//
// Scripts declare the charset of their text, expressions convert data between charsets and the
// viewer shows a script's charset; all of them go through these few functions. They convert
// between 8-bit text in a numbered codepage (numbered as the platform numbers them: 1251,
// 65001 ...) and wide UTF-16 text, and map charset names to codepage numbers and back through
// the system's own name table. The codepage SwRawUtf16Codepage (-2) means "the 8-bit string
// holds the UTF-16LE bytes of the text unchanged". Conversion runs on ICU; each thread keeps its
// own converters, so the functions may be called from any thread.
#pragma once

#include "SwCore.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace skeinwork {

inline constexpr int SwRawUtf16Codepage = -2;
inline constexpr int SwUtf8Codepage = 65001;
inline constexpr int SwUnknownCodepage = -1;  // what name look-ups answer for unknown names

SW_EXCEPTION(ESwStrConv, ESkeinwork);
// The codepage has no converter ("Codepage %d is not supported.").
SW_EXCEPTION(ESwUnsupportedCodepage, ESwStrConv);
// Encoding with the loss check found a character that the codepage cannot represent.
SW_EXCEPTION(ESwCodepageLoss, ESwStrConv);

// Number of UTF-16 units the text decodes to, plus one for a terminator; for -2 half the byte
// length plus one.
int64_t SwWideLength(int codepage, std::string_view text);
// Number of bytes the text encodes to, plus one for a terminator; for -2 twice the length
// plus one.
int64_t SwAnsiLength(int codepage, std::u16string_view text);

// 8-bit text in the codepage -> wide text. `lengthHint` is an optional SwWideLength result that
// sizes the output; a wrong hint never changes the result. Malformed or unmapped bytes become
// the replacement character.
WideString SwDecode(int codepage, std::string_view text, int64_t lengthHint = -1);

// Wide text -> 8-bit text in the codepage. A character the codepage cannot represent becomes
// the default character ("?"; U+FFFD in the Unicode codepages); with `failOnLoss` it raises
// ESwCodepageLoss instead. `lengthHint` is an optional SwAnsiLength result.
RawByteString SwEncode(int codepage, std::u16string_view text, int64_t lengthHint = -1,
                       bool failOnLoss = false);

// A line break as the bytes of a code page; a break of ASCII characters (every usual one) is the
// same in all of them and needs no converter.
RawByteString SwLineBreakBytes(std::u16string_view eoln, int codepage);

// Charset name (any case) -> codepage; aliases are followed to the name they stand for.
// Unknown names answer SwUnknownCodepage (-1).
int SwCharsetToCodepage(std::string_view name);
int SwCharsetToCodepage(std::u16string_view name);

// Codepage -> its body charset name ("windows-1251"), or its description ("Cyrillic
// (Windows)") when asked; empty text for a codepage the table does not know.
std::string SwCodepageToCharset(int codepage, bool description = false);

// The codepages the table knows, and every name it resolves (body names first, then the
// further names and aliases), for pickers and checks.
std::vector<int> SwKnownCodepages();
std::vector<std::string> SwCharsetNames();

}  // namespace skeinwork
