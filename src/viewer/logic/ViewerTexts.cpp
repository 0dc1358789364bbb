#include "ViewerTexts.h"

#include "StrConv.h"
#include "SwCore.h"

namespace weftview {

QString ReadableClassName(std::string_view className) {
  return QString::fromStdString(skeinwork::SwReadableClassName(className));
}

QString WarningCaption(std::string_view className) {
  QString readable = ReadableClassName(className);
  if (readable == QStringLiteral("Warning")) readable = QStringLiteral("Node Message");
  return QStringLiteral("Warning: ") + readable;
}

QString OffsetText(int64_t offset) {
  return QStringLiteral("%1").arg(static_cast<qulonglong>(offset), 4, 16, QChar(u'0')).toUpper();
}

QString SizeText(int64_t size) {
  static const char* const units[] = {"", "K", "M", "G"};
  double value = static_cast<double>(size);
  int unit = 0;
  while (value > 1024 && unit + 1 < 4) {
    value /= 1024;
    ++unit;
  }
  return QString::number(value, 'f', unit == 0 ? 0 : 2) + QString::fromLatin1(units[unit]);
}

QString BytePreview(std::string_view bytes, int codepage) {
  bool binary = false;
  for (unsigned char byte : bytes)
    if (byte < 32 && byte != '\n' && byte != '\r') binary = true;
  if (!binary) {
    QString text = QString::fromStdU16String(skeinwork::SwDecode(codepage, bytes));
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return text;
  }
  QString list;
  for (unsigned char byte : bytes) {
    if (!list.isEmpty()) list += u' ';
    if (byte >= 33 && byte <= 127)
      list += QChar(byte);
    else
      list += QStringLiteral("%1").arg(byte, 2, 16, QChar(u'0')).toUpper();
  }
  return list;
}

std::optional<QString> CharsetOfAnswer(const QString& answer) {
  bool isNumber = false;
  const int codepage = answer.trimmed().toInt(&isNumber);
  if (!isNumber) return answer;
  const std::string name = skeinwork::SwCodepageToCharset(codepage);
  if (name.empty()) return std::nullopt;
  return QString::fromStdString(name);
}

}  // namespace weftview
