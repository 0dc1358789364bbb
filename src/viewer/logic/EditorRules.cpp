#include "EditorRules.h"

#include <QRegularExpression>

#include <algorithm>

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

bool IsSectionHeader(const QString& line) { return line.startsWith(QStringLiteral("==")); }

bool OpensModelSection(const QString& headerLine) {
  QString name = headerLine;
  while (name.startsWith(u'=')) name.remove(0, 1);
  return name.trimmed().startsWith(QStringLiteral("Model"), Qt::CaseInsensitive);
}

namespace {

bool IsFlagWord(QStringView word) {
  if (word.endsWith(u'?')) word.chop(1);
  return word.size() >= 2 && std::all_of(word.begin(), word.end(), [](QChar c) { return c >= u'A' && c <= u'Z'; });
}

bool IsOperatorWord(QStringView word) {
  if (word.startsWith(u'!')) word = word.mid(1);
  return word == u"x" || (!word.isEmpty() && std::none_of(word.begin(), word.end(), [](QChar c) { return c.isLetterOrNumber(); }));
}

}  // namespace

QList<ScriptSpan> ScriptLineSpans(const QString& line, bool inModelSection) {
  if (IsSectionHeader(line)) return {{0, line.size(), ScriptSpanKind::SectionHeader}};
  if (!inModelSection) return {};
  QList<ScriptSpan> spans;
  qsizetype at = 0;
  const auto skipBlanks = [&] {
    while (at < line.size() && line[at].unicode() < 33) ++at;
  };
  const auto wordEnd = [&] {
    qsizetype end = at;
    while (end < line.size() && line[end].unicode() >= 33) ++end;
    return end;
  };
  skipBlanks();
  if (at < line.size() && line[at] == u';') return {{at, line.size() - at, ScriptSpanKind::Comment}};
  if (at < line.size() && (line[at].isDigit() || line[at] == u'.' || line[at] == u'^')) {
    const qsizetype end = wordEnd();
    spans.append({at, end - at, ScriptSpanKind::OrderNumber});
    at = end;
  }
  // Flags and names, up to the first word that is neither: the condition's operator.
  for (skipBlanks(); at < line.size(); skipBlanks()) {
    if (line[at] == u'"') {
      const qsizetype close = line.indexOf(u'"', at + 1);
      const qsizetype end = close < 0 ? line.size() : close + 1;
      spans.append({at, end - at, ScriptSpanKind::QuotedName});
      at = end;
      continue;
    }
    const qsizetype end = wordEnd();
    const QStringView word = QStringView(line).mid(at, end - at);
    if (IsFlagWord(word)) {
      spans.append({at, end - at, ScriptSpanKind::Flag});
      at = end;
      continue;
    }
    if (IsOperatorWord(word)) spans.append({at, end - at, ScriptSpanKind::Operator});
    break;
  }
  return spans;
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
