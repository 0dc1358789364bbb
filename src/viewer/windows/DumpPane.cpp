#include "DumpPane.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QValidator>
#include <QVBoxLayout>

#include "HexDump.h"
#include "InspectionRules.h"
#include "SwCore.h"

namespace weftview {

using namespace skeinwork;

namespace {

constexpr int kBytesPerLine = 8;
constexpr int kHexColumn = 12;
constexpr int kCharColumn = kHexColumn + 3 * kBytesPerLine + 3;
constexpr int64_t kPopupBytes = 4096;

QString Hex4(int64_t value) { return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper(); }

// Lets only the characters of an offset through.
class OffsetValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    return std::all_of(input.begin(), input.end(), IsOffsetEntryChar) ? Acceptable : Invalid;
  }
};

std::string ReadAt(TStream& stream, int64_t position, int64_t count) {
  std::string bytes(static_cast<size_t>(std::max<int64_t>(count, 0)), '\0');
  stream.SetPosition(position);
  bytes.resize(static_cast<size_t>(std::max<int64_t>(stream.Read(bytes.data(), count), 0)));
  return bytes;
}

}  // namespace

DumpPane::DumpPane(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  mSourceLabel = new QLabel(this);
  mSourceLabel->setObjectName(QStringLiteral("lbSource"));
  mSourceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  mOffsetEdit = new QLineEdit(this);
  mOffsetEdit->setObjectName(QStringLiteral("edOffset"));
  mOffsetEdit->setToolTip(QStringLiteral("Append '.' (period) for decimal notation."));
  mOffsetEdit->setValidator(new OffsetValidator(mOffsetEdit));
  mOffsetEdit->setMaximumWidth(mOffsetEdit->fontMetrics().horizontalAdvance(QStringLiteral("0x00000000000")));
  mOffsetEdit->installEventFilter(this);
  mGoButton = new QPushButton(QStringLiteral("Go"), this);
  mGoButton->setObjectName(QStringLiteral("btGo"));
  mStartButton = new QPushButton(QStringLiteral("Start"), this);
  mStartButton->setObjectName(QStringLiteral("btNavStart"));
  bar->addWidget(mSourceLabel, 1);
  bar->addWidget(mOffsetEdit);
  bar->addWidget(mGoButton);
  bar->addWidget(mStartButton);
  layout->addLayout(bar);

  mMemo = new QPlainTextEdit(this);
  mMemo->setObjectName(QStringLiteral("mmDump"));
  mMemo->setReadOnly(true);
  mMemo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  mMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  mMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  mMemo->setContextMenuPolicy(Qt::CustomContextMenu);
  layout->addWidget(mMemo, 1);

  connect(mOffsetEdit, &QLineEdit::returnPressed, this, &DumpPane::GoTyped);
  connect(mOffsetEdit, &QLineEdit::textEdited, this, &DumpPane::RefreshButtons);
  connect(mGoButton, &QPushButton::clicked, this, &DumpPane::GoTyped);
  connect(mStartButton, &QPushButton::clicked, this, [this] {
    const QString error = GoTo(mStart);
    if (!error.isEmpty()) emit ErrorRaised(error);
  });
  connect(mMemo, &QWidget::customContextMenuRequested, this, &DumpPane::ShowPopup);
  RefreshButtons();
}

void DumpPane::Reflect(TStream* stream, int64_t baseOffset) {
  if (!stream) SwRaise<ESkeinwork>("nil Stream passed to %s.Reflect.", std::string("DumpPane"));
  mStream = stream;
  mBase = baseOffset;
  mEnd = baseOffset + stream->Size();
  mStart = mCurrent = stream->Position() + baseOffset;
  mSource = QString::fromStdString(SwStreamName(stream));
  mLineNumber.clear();
  GoTo(mStart);
}

void DumpPane::Clear() {
  mStream = nullptr;
  mMemo->clear();
  mOffsetEdit->clear();
  mHighlightStart = mHighlightEnd = 0;
  RefreshButtons();
}

QString DumpPane::GoTo(int64_t offset) {
  if (!mStream) return {};
  if (offset < mBase || offset > mEnd)
    return QStringLiteral("Offset %1h is out of bounds of this dump (%2h .. %3h).").arg(Hex4(offset), Hex4(mBase), Hex4(mEnd));
  const int64_t size = mEnd - mBase;
  const DumpRead read = DumpReadFor(offset - mBase, size);
  TSwHexDumpOptions options;
  options.BytesPerLine = kBytesPerLine;
  options.BaseOffset = mBase + read.Start;
  options.LineSeparator = "\n";
  const std::string dump = SwFormatHexDump(ReadAt(*mStream, read.Start, read.Count), options, offset);
  QString text = QString::fromLatin1(dump.data(), static_cast<qsizetype>(dump.size()));
  // Characters 127 to 159 have no glyph: they show as the replacement too.
  for (QChar& c : text)
    if (c.unicode() >= 0x7F && c.unicode() <= 0x9F) c = QLatin1Char(options.Replacement);
  mMemo->setPlainText(text);
  mCurrent = offset;
  ColourHighlight();

  QTextCursor caret = mMemo->document()->find(QString::fromStdString(options.Marker));
  caret.clearSelection();
  mMemo->setTextCursor(caret);
  mMemo->centerCursor();
  mOffsetEdit->setText(QStringLiteral("%1").arg(mCurrent, 8, 16, QLatin1Char('0')).toUpper());
  mLineNumber.clear();
  if (mAutoLineNumber && size < kLineNumberLimit) {
    if (auto line = LineNumberAfter(ReadAt(*mStream, 0, offset - mBase), size)) mLineNumber = QString::number(*line);
  }
  mSourceLabel->setText(SourceText());
  RefreshButtons();
  if (OnRepainted) OnRepainted();
  return {};
}

void DumpPane::SetSource(const QString& text) {
  mSource = text;
  mSourceLabel->setText(SourceText());
}

QString DumpPane::SourceText() const { return mLineNumber.isEmpty() ? mSource : mSource + u':' + mLineNumber; }

void DumpPane::SetHighlight(int64_t start, int64_t end) {
  mHighlightStart = start;
  mHighlightEnd = end;
  ColourHighlight();
}

// One coloured span a line in each of the hex and the character columns.
void DumpPane::ColourHighlight() {
  QList<QTextEdit::ExtraSelection> spans;
  if (mHighlightEnd > mHighlightStart) {
    QTextCharFormat format;
    format.setBackground(palette().color(QPalette::Highlight).lighter(170));
    for (QTextBlock block = mMemo->document()->begin(); block.isValid(); block = block.next()) {
      const QString line = block.text();
      const std::optional<int64_t> lineStart = DumpByteAtCaret(line, 0);
      if (!lineStart) continue;
      // The first line after the marker starts part-way: its blank positions are not bytes.
      int first = 0;
      while (first < kBytesPerLine && line.mid(kHexColumn + 3 * first, 2).trimmed().isEmpty()) ++first;
      const int64_t from = std::max(mHighlightStart, *lineStart + first);
      const int64_t to = std::min(mHighlightEnd, *lineStart + kBytesPerLine);
      const int count = static_cast<int>(to - from);
      if (count <= 0) continue;
      const int index = static_cast<int>(from - *lineStart);
      for (auto [column, width] : {std::pair{kHexColumn + 3 * index, 3 * count - 1}, std::pair{kCharColumn + index, count}}) {
        QTextCursor cursor(block);
        cursor.setPosition(block.position() + column);
        cursor.setPosition(block.position() + column + width, QTextCursor::KeepAnchor);
        spans.append({cursor, format});
      }
    }
  }
  mMemo->setExtraSelections(spans);
}

void DumpPane::GoTyped() {
  const std::optional<int64_t> offset = ParseOffsetEntry(mOffsetEdit->text());
  if (!offset) return;
  const QString error = GoTo(*offset);
  if (!error.isEmpty()) emit ErrorRaised(error);
}

void DumpPane::RefreshButtons() {
  const std::optional<int64_t> typed = ParseOffsetEntry(mOffsetEdit->text());
  mGoButton->setEnabled(mStream && typed && *typed != mCurrent);
  mStartButton->setEnabled(mStream && mCurrent != mStart);
}

QMenu* DumpPane::BuildPopup(bool extended) {
  if (!mStream) return nullptr;
  const QTextCursor caret = mMemo->textCursor();
  const std::optional<int64_t> offset = DumpByteAtCaret(caret.block().text(), caret.positionInBlock());
  if (!offset || *offset < mBase || *offset >= mEnd) return nullptr;
  const std::string bytes = ReadAt(*mStream, *offset - mBase, std::min(kPopupBytes, mEnd - *offset));
  auto* menu = new QMenu(this);
  menu->setToolTipsVisible(true);
  for (const DumpValue& value : DumpValues(*offset, bytes, extended)) {
    QAction* entry = menu->addAction(value.Name + QStringLiteral(":\t") + value.Value);
    entry->setToolTip(QStringLiteral("Click to Copy"));
    connect(entry, &QAction::triggered, this, [text = value.Value] { QApplication::clipboard()->setText(text); });
  }
  if (!extended) menu->addAction(QStringLiteral("..."))->setObjectName(QStringLiteral("PopupDumpExtended"));
  connect(menu->addAction(QStringLiteral("Select node at this offset")), &QAction::triggered, this,
          [this, at = *offset] { emit NodeAtOffsetRequested(at); });
  menu->addSeparator();
  menu->addAction(QStringLiteral("Close"));
  return menu;
}

void DumpPane::ShowPopup(const QPoint& position) {
  mMemo->setTextCursor(mMemo->cursorForPosition(position));
  for (bool extended : {false, true}) {
    std::unique_ptr<QMenu> menu(BuildPopup(extended));
    if (!menu) return;
    QAction* chosen = menu->exec(mMemo->viewport()->mapToGlobal(position));
    if (!chosen || chosen->objectName() != QStringLiteral("PopupDumpExtended")) return;
  }
}

bool DumpPane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mOffsetEdit && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    mOffsetEdit->setText(QStringLiteral("%1").arg(mCurrent, 8, 16, QLatin1Char('0')).toUpper());
    RefreshButtons();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace weftview
