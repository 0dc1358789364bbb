// Texts the viewer shows about errors, offsets, sizes and bytes; no widgets involved.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace weftview {

// An exception class name for people: "ESwmConditionMismatch" -> "Condition Mismatch".
QString ReadableClassName(std::string_view className);
// The caption of the box that shows a node's message: "Warning: Node Message" for a WARN node,
// "Warning: " and the readable class name for another message.
QString WarningCaption(std::string_view className);

// An offset in upper-case hexadecimal with at least four digits ("01F0").
QString OffsetText(int64_t offset);

// A size divided by 1024 while above 1024 and a larger unit exists: "1000", "1.50K", "3.00M".
QString SizeText(int64_t size);

// A preview of bytes: the text itself (decoded with the code page) unless a byte below 32 other
// than LF and CR occurs; then a list of bytes separated by blanks, 33 to 127 as themselves and
// the others as two hexadecimal digits. Line breaks of a text are shown as blanks, so that the
// preview stays on one line.
QString BytePreview(std::string_view bytes, int codepage);

// The charset a script strip answer names: a number is a code page turned into its charset name
// (nullopt when the code page has none); other text is the charset itself.
std::optional<QString> CharsetOfAnswer(const QString& answer);

}  // namespace weftview
