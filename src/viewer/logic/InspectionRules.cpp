#include "InspectionRules.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace weftview {

QString NodeTitle(bool isRoot, const QString& name, uintptr_t identity) {
  if (isRoot) return QStringLiteral("Root Node");
  if (name.isEmpty()) return QStringLiteral("Unnamed Node $") + QString::number(identity, 16).toUpper();
  return QStringLiteral("Node '%1'").arg(name);
}

QString ChildCountText(int count) {
  return QStringLiteral("%1 child node%2.").arg(count).arg(count == 1 ? "" : "s");
}

QString HexPairs(std::string_view bytes) {
  return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toHex(' ').toUpper();
}

DumpRead DumpReadFor(int64_t offset, int64_t size) {
  if (size <= kDumpReadBytes) return {0, std::max<int64_t>(size, 0)};
  const int64_t start = offset <= kDumpBytesBefore ? 0 : offset - kDumpBytesBefore;
  return {start, std::min(kDumpReadBytes, size - start)};
}

bool IsOffsetEntryChar(QChar c) {
  return c == u'\b' || c == u'$' || c == u'.' || c.isDigit() || (c >= u'A' && c <= u'F') ||
         (c >= u'a' && c <= u'f') || c == u'h' || c == u'x';
}

std::optional<int64_t> ParseOffsetEntry(const QString& text) {
  QString number = text.trimmed();
  int base = 16;
  if (number.startsWith(QStringLiteral("0x"))) {
    number = number.mid(2);
  } else if (number.endsWith(u'h')) {
    number.chop(1);
  } else if (number.endsWith(u'.')) {
    number.chop(1);
    base = 10;
  }
  if (number.isEmpty() || number.startsWith(u'+') || number.startsWith(u'-')) return std::nullopt;
  bool ok = false;
  const qlonglong value = number.toLongLong(&ok, base);
  if (!ok) return std::nullopt;
  return value;
}

std::optional<int64_t> LineNumberAfter(std::string_view before, int64_t streamSize) {
  if (streamSize >= kLineNumberLimit) return std::nullopt;
  int64_t lineFeeds = 0;
  for (unsigned char byte : before) {
    if (byte == '\n') ++lineFeeds;
    else if (byte < 32 && byte != '\r') return std::nullopt;
  }
  return 1 + lineFeeds;
}

QString WithoutLineNumber(const QString& label) {
  static const QRegularExpression lineNumber(QStringLiteral(":\\d+$"));
  QString result = label;
  return result.remove(lineNumber);
}

std::optional<int64_t> DumpByteAtCaret(const QString& line, int column) {
  static const QRegularExpression lineOffset(QStringLiteral("^\\s*([0-9A-Fa-f]{8})(\\s|$)"));
  const QRegularExpressionMatch match = lineOffset.match(line);
  if (!match.hasMatch()) return std::nullopt;
  constexpr int kHexColumn = 12, kBytesPerLine = 8, kCharColumn = kHexColumn + 3 * kBytesPerLine + 3;
  const int index = column >= kCharColumn ? column - kCharColumn : std::max(0, (column - kHexColumn) / 3);
  return match.captured(1).toLongLong(nullptr, 16) + std::min(index, kBytesPerLine - 1);
}

namespace {

bool AllPrintable(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 32; });
}

uint32_t LittleEndian(std::string_view bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

std::optional<QString> CString(std::string_view bytes) {
  const std::string_view text = bytes.substr(0, bytes.find('\0'));
  if (text.size() < 2 || !AllPrintable(text)) return std::nullopt;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::optional<QString> PascalString(std::string_view bytes) {
  if (bytes.size() <= 2) return std::nullopt;
  const bool wide = bytes.size() >= 4 && bytes[2] == '\0' && bytes[3] == '\0';
  const size_t prefix = wide ? 4 : 2;
  const uint32_t length = LittleEndian(bytes, prefix);
  if (length < 2 || length >= 4096) return std::nullopt;
  const std::string_view text = bytes.substr(prefix, length);
  if (text.empty() || !AllPrintable(text)) return std::nullopt;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QList<DumpValue> DumpValues(int64_t offset, std::string_view bytes, bool extended) {
  QList<DumpValue> values{{QStringLiteral("Offset dec"), QString::number(offset)}};
  if (extended && offset > 9) values.append({QStringLiteral("Offset hex"), QString::number(offset, 16).toUpper()});
  QList<DumpValue> integers;
  if (bytes.size() >= 4)
    integers.append({QStringLiteral("32-bit LE"), QString::number(static_cast<int32_t>(LittleEndian(bytes, 4)))});
  if (bytes.size() >= 2) integers.append({QStringLiteral("16-bit LE"), QString::number(LittleEndian(bytes, 2))});
  if (!bytes.empty()) integers.append({QStringLiteral("8-bit"), QString::number(LittleEndian(bytes, 1))});
  QList<DumpValue> strings;
  if (auto text = CString(bytes)) strings.append({QStringLiteral("C str"), *text});
  if (auto text = PascalString(bytes)) strings.append({QStringLiteral("Pascal str"), *text});
  if (extended) return values + integers + strings;
  return values + integers.mid(0, 1) + strings.mid(0, 1);
}

}  // namespace weftview
