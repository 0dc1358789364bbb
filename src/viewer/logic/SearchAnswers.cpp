#include "SearchAnswers.h"

#include <vector>

namespace weftview {

namespace {

// The offset a number text gives: "0x" or a trailing "h" hexadecimal, a trailing "." decimal,
// a leading "$" hexadecimal, else decimal.
std::optional<int64_t> ParseOffsetNumber(QString text) {
  int base = 10;
  if (text.startsWith(u"0x", Qt::CaseInsensitive)) {
    text.remove(0, 2);
    base = 16;
  } else if (text.endsWith(u'h', Qt::CaseInsensitive)) {
    text.chop(1);
    base = 16;
  } else if (text.endsWith(u'.')) {
    text.chop(1);
  } else if (text.startsWith(u'$')) {
    text.remove(0, 1);
    base = 16;
  }
  // Signs are no part of an offset (toLongLong would take them).
  if (text.isEmpty() || text.front() == u'-' || text.front() == u'+') return std::nullopt;
  bool ok = false;
  const qlonglong value = text.toLongLong(&ok, base);
  if (!ok) return std::nullopt;
  return value;
}

QString TrimmedLeft(QStringView text) {
  qsizetype start = 0;
  while (start < text.size() && text[start].isSpace()) ++start;
  return text.mid(start).toString();
}

// The text up to its first character below 33.
QString UpToControl(const QString& text) {
  for (qsizetype i = 0; i < text.size(); ++i)
    if (text[i].unicode() < 33) return text.left(i);
  return text;
}

}  // namespace

std::optional<OffsetQuery> ParseOffsetAnswer(const QString& answer) {
  OffsetQuery query;
  QString rest = answer.trimmed();
  qsizetype split = 0;
  while (split < rest.size() && rest[split] != u' ' && rest[split] != u'=') ++split;
  // A first word that is a number already is the offset, with junk after it ("0x40 mov ...");
  // otherwise it names the property.
  if (split < rest.size() && !ParseOffsetNumber(rest.left(split))) {
    query.Property = rest.left(split);
    rest = TrimmedLeft(QStringView(rest).mid(split));
  }
  if (rest.startsWith(u'=')) {
    query.Exact = true;
    rest = TrimmedLeft(QStringView(rest).mid(1));
  }
  const std::optional<int64_t> offset = ParseOffsetNumber(UpToControl(rest));
  if (!offset) return std::nullopt;
  query.Offset = *offset;
  return query;
}

bool MaskMatches(QStringView mask, QStringView name) {
  // matches[j]: the mask so far matches the first j characters of the name.
  std::vector<char> matches(name.size() + 1, 0), next(name.size() + 1, 0);
  matches[0] = 1;
  for (QChar m : mask) {
    std::fill(next.begin(), next.end(), 0);
    for (qsizetype j = 0; j <= name.size(); ++j) {
      if (m == u'*' || m == u'+') {
        // Extends a match that ends before j by any run; "+" needs one character at least.
        const bool before = j > 0 && (next[j - 1] || matches[j - 1]);
        next[j] = (m == u'*' && matches[j]) || before;
      } else if (j > 0 && matches[j - 1]) {
        next[j] = m == u'?' || m == name[j - 1];
      }
    }
    matches.swap(next);
  }
  return matches[name.size()] != 0;
}

const char* HighlightList::ColourName(Colour colour) {
  static const char* const names[kColourCount] = {"Red", "Orange", "Blue", "Green"};
  return names[colour];
}

uint32_t HighlightList::ColourRgb(Colour colour) {
  // The colours were chosen as blue-green-red values: 0x0000FF, 0x00B9FF, 0xFFFF00, 0x00FF00.
  static const uint32_t bgr[kColourCount] = {0x0000FF, 0x00B9FF, 0xFFFF00, 0x00FF00};
  const uint32_t value = bgr[colour];
  return ((value & 0xFF) << 16) | (value & 0xFF00) | ((value >> 16) & 0xFF);
}

QString HighlightList::Masks(Colour colour) const {
  for (const Entry& entry : mEntries)
    if (entry.Shade == colour) return entry.Masks;
  return {};
}

void HighlightList::Set(Colour colour, const QString& answer) {
  const QString masks = answer.trimmed();
  auto found = std::find_if(mEntries.begin(), mEntries.end(), [colour](const Entry& e) { return e.Shade == colour; });
  if (masks.isEmpty()) {
    if (found != mEntries.end()) mEntries.erase(found);
    return;
  }
  Entry entry{colour, masks, masks.split(u'|', Qt::SkipEmptyParts)};
  if (found != mEntries.end())
    *found = std::move(entry);
  else
    mEntries.append(std::move(entry));
}

std::optional<HighlightList::Colour> HighlightList::ColourOf(QStringView name) const {
  for (const Entry& entry : mEntries)
    for (const QString& mask : entry.Pieces)
      if (MaskMatches(mask, name)) return entry.Shade;
  return std::nullopt;
}

}  // namespace weftview
