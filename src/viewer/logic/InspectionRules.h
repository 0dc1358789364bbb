// Rules of the node window and the hex dump pane that need no widget: the node labels, which
// bytes a dump reads, the offset entry, line numbers and the values offered for a dumped byte.
#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace weftview {

// "Root Node", "Unnamed Node $" and the identity in hexadecimal, or "Node 'name'".
QString NodeTitle(bool isRoot, const QString& name, uintptr_t identity);
// "%d child node%s.": "s" for every count but 1.
QString ChildCountText(int count);
// Bytes as hexadecimal pairs separated by single blanks ("4A 00 FF").
QString HexPairs(std::string_view bytes);

// The dump pane reads at most this many bytes around the wanted offset, from this many before it.
inline constexpr int64_t kDumpReadBytes = 49152;
inline constexpr int64_t kDumpBytesBefore = 24576;
struct DumpRead {
  int64_t Start = 0;
  int64_t Count = 0;
};
// The stream positions a dump at `offset` reads from a stream of `size` bytes.
DumpRead DumpReadFor(int64_t offset, int64_t size);

// The characters the offset entry accepts.
bool IsOffsetEntryChar(QChar c);
// The offset typed: "0x" before or "h" after marks hexadecimal, "." after marks decimal, no mark
// is hexadecimal; nullopt when it is no number.
std::optional<int64_t> ParseOffsetEntry(const QString& text);

// Streams from this size on get no line number.
inline constexpr int64_t kLineNumberLimit = 16777216;
// The line of the byte after `before` (the stream's bytes from its beginning): 1 + the LF bytes,
// or nullopt when the stream is too large or a control byte other than LF and CR occurs.
std::optional<int64_t> LineNumberAfter(std::string_view before, int64_t streamSize);
// The label without a line number left at its end (":" and digits).
QString WithoutLineNumber(const QString& label);

// The offset of the byte under the caret of an 8-bytes-a-line dump, from the caret's line and
// column; nullopt on a line that does not start with an 8-digit offset (the marker line).
std::optional<int64_t> DumpByteAtCaret(const QString& line, int column);

// One entry of the popup over a dumped byte: its name and the value it copies.
struct DumpValue {
  QString Name;
  QString Value;
};
// The values offered for the byte at `offset`, `bytes` being what follows it (the byte first).
// The short form has one integer and one string; the extended form every one that can be made.
QList<DumpValue> DumpValues(int64_t offset, std::string_view bytes, bool extended);

}  // namespace weftview
