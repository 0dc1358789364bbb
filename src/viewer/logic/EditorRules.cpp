#include "EditorRules.h"

#include <QRegularExpression>

#include "StrConv.h"

namespace weftview {

using namespace skeinwork;

int TrailingBlankCount(const QString& line) {
  int count = 0;
  while (count < line.size() && line[line.size() - 1 - count].unicode() < 33) ++count;
  return count;
}

std::optional<LinePosition> ParseGoToLine(const QString& answer) {
  const QString trimmed = answer.trimmed();
  const qsizetype blank = trimmed.indexOf(u' ');
  bool ok = false;
  LinePosition position;
  position.Line = trimmed.left(blank < 0 ? trimmed.size() : blank).toInt(&ok);
  if (!ok) return std::nullopt;
  if (blank >= 0) {
    const int column = trimmed.mid(blank + 1).trimmed().toInt(&ok);
    if (ok) position.Column = column;
  }
  return position;
}

int UnindentWidth(const QString& line) {
  if (line.startsWith(QStringLiteral("  "))) return 2;
  return line.startsWith(u' ') ? 1 : 0;
}

QString FailureMessageText(const QString& message, bool isMismatch) {
  if (!isMismatch) return message;
  const qsizetype cut = message.indexOf(QStringLiteral(", input: "));
  return cut < 0 ? message : message.left(cut);
}

std::optional<ScriptPlace> FailingScriptPlace(const QString& message) {
  static const QRegularExpression place(QStringLiteral("Node: '.*' (.+):(\\d+) \\(ID -?\\d+\\)"));
  const QRegularExpressionMatch match = place.match(message);
  if (!match.hasMatch()) return std::nullopt;
  return ScriptPlace{match.captured(1), match.captured(2).toInt()};
}

namespace {

int CodepageOf(const QString& charset) {
  if (charset.isEmpty()) return SwUtf8Codepage;
  const int codepage = SwCharsetToCodepage(std::u16string_view(charset.toStdU16String()));
  return codepage == SwUnknownCodepage ? SwUtf8Codepage : codepage;
}

}  // namespace

QString DecodeScriptText(const std::string& bytes, const QString& charset) {
  return QString::fromStdU16String(SwDecode(CodepageOf(charset), bytes));
}

std::string EncodeScriptText(const QString& text, const QString& charset) {
  return SwEncode(CodepageOf(charset), text.toStdU16String());
}

}  // namespace weftview
