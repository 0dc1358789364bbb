#include "ScriptEditor.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QSyntaxHighlighter>
#include <QTextBlock>
#include <QTimer>
#include <QVBoxLayout>

#include "EditorRules.h"
#include "Prompter.h"
#include "SwAtomicFile.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {

constexpr int kAutosaveMilliseconds = 10000;

Qt::KeyboardModifiers ModifiersOf(const QKeyEvent* event) { return event->modifiers() & ~Qt::KeypadModifier; }

bool IsEnter(const QKeyEvent* event) { return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter; }

// The keys the editor window handles, which the memo leaves to it.
bool IsWindowKey(const QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = ModifiersOf(event);
  return ((IsEnter(event) || event->key() == Qt::Key_F5) && modifiers == Qt::ControlModifier) ||
         event->key() == Qt::Key_Escape || (event->key() == Qt::Key_F4 && modifiers == Qt::NoModifier);
}

std::string ReadWholeFile(const QString& path, QString& error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString());
    return {};
  }
  const QByteArray bytes = file.readAll();
  return bytes.toStdString();
}

// Colours the model language; a block's state says whether it lies in a model section.
class ScriptHighlighter : public QSyntaxHighlighter {
 public:
  explicit ScriptHighlighter(QTextDocument* document) : QSyntaxHighlighter(document) {
    const auto format = [](const char* colour, bool bold = false, bool italic = false) {
      QTextCharFormat result;
      result.setForeground(QColor(QString::fromLatin1(colour)));
      if (bold) result.setFontWeight(QFont::Bold);
      result.setFontItalic(italic);
      return result;
    };
    mFormats[int(ScriptSpanKind::SectionHeader)] = format("#800080", true);
    mFormats[int(ScriptSpanKind::Comment)] = format("#808080", false, true);
    mFormats[int(ScriptSpanKind::OrderNumber)] = format("#0000C0");
    mFormats[int(ScriptSpanKind::Flag)] = format("#A05000", true);
    mFormats[int(ScriptSpanKind::QuotedName)] = format("#007000");
    mFormats[int(ScriptSpanKind::Operator)] = format("#C00000", true);
  }

 protected:
  void highlightBlock(const QString& text) override {
    const bool inModel = previousBlockState() == 1;
    for (const ScriptSpan& span : ScriptLineSpans(text, inModel))
      setFormat(int(span.Start), int(span.Length), mFormats[int(span.Kind)]);
    setCurrentBlockState(IsSectionHeader(text) ? int(OpensModelSection(text)) : int(inModel));
  }

 private:
  QTextCharFormat mFormats[6];
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// ScriptMemo

ScriptMemo::ScriptMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName(QStringLiteral("mmScript"));
  setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setTabChangesFocus(false);
  new ScriptHighlighter(document());
}

int ScriptMemo::CaretLine() const { return textCursor().blockNumber() + 1; }
int ScriptMemo::CaretColumn() const { return textCursor().positionInBlock() + 1; }

void ScriptMemo::MoveCaret(int line, int column) {
  const QTextBlock block = document()->findBlockByNumber(std::clamp(line, 1, blockCount()) - 1);
  QTextCursor cursor(block);
  cursor.setPosition(block.position() + std::clamp(column - 1, 0, block.length() - 1));
  setTextCursor(cursor);
  ensureCursorVisible();
}

void ScriptMemo::keyPressEvent(QKeyEvent* event) {
  if (IsWindowKey(event)) {
    event->ignore();  // the editor window's key
    return;
  }
  const Qt::KeyboardModifiers modifiers = ModifiersOf(event);
  const bool ctrl = modifiers == Qt::ControlModifier;
  const bool noSelection = !textCursor().hasSelection();
  const bool editable = !isReadOnly();
  switch (event->key()) {
    case Qt::Key_A:
      if (ctrl) return selectAll();
      break;
    case Qt::Key_C:
      if (ctrl && noSelection) return CopyLine(false);
      break;
    case Qt::Key_X:
      if (ctrl && noSelection) return CopyLine(editable);
      break;
    case Qt::Key_G:
      if (ctrl) return emit GoToLineRequested();
      break;
    case Qt::Key_Tab:
      if (modifiers == Qt::NoModifier) {
        if (editable) Indent();
        return;
      }
      break;
    case Qt::Key_Backtab:
      if (modifiers == Qt::ShiftModifier) {
        if (editable) Unindent();
        return;
      }
      break;
    case Qt::Key_Up:
    case Qt::Key_Down:
      if (modifiers == (Qt::ControlModifier | Qt::ShiftModifier)) {
        if (editable) MoveLine(event->key() == Qt::Key_Up);
        return;
      }
      break;
    default:
      break;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void ScriptMemo::CopyLine(bool cut) {
  QTextCursor cursor = textCursor();
  QApplication::clipboard()->setText(cursor.block().text() + QStringLiteral("\r\n"));
  if (!cut) return;
  cursor.movePosition(QTextCursor::StartOfBlock);
  if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor)) {
    // The last line: its text goes, with the line break before it when there is one.
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    if (cursor.block().blockNumber() > 0) {
      cursor.movePosition(QTextCursor::StartOfBlock);
      cursor.movePosition(QTextCursor::PreviousCharacter);
      cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    }
  }
  cursor.removeSelectedText();
  setTextCursor(cursor);
}

void ScriptMemo::Indent() {
  QTextCursor cursor(textCursor().block());
  cursor.insertText(QStringLiteral("  "));
}

void ScriptMemo::Unindent() {
  const QTextBlock block = textCursor().block();
  const int width = UnindentWidth(block.text());
  if (width == 0) return;
  QTextCursor cursor(block);
  cursor.setPosition(block.position() + width, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void ScriptMemo::MoveLine(bool up) {
  const QTextBlock block = textCursor().block();
  const QTextBlock other = up ? block.previous() : block.next();
  if (!other.isValid()) return;
  const int column = textCursor().positionInBlock();
  const QString text = block.text();
  const QString otherText = other.text();
  const QTextBlock first = up ? other : block;
  QTextCursor cursor(first);
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  cursor.insertText(up ? text + u'\n' + otherText : otherText + u'\n' + text);
  cursor.endEditBlock();
  MoveCaret(block.blockNumber() + (up ? 0 : 2), column + 1);
}

// ---------------------------------------------------------------------------------------------
// ScriptEditor

ScriptEditor::ScriptEditor(Prompter& prompter, QWidget* parent)
    : QWidget(parent, Qt::Window), mPrompter(prompter) {
  setObjectName(QStringLiteral("TScriptEditorForm"));
  setWindowTitle(QStringLiteral("Script Editor"));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  mPathEdit = new QLineEdit(this);
  mPathEdit->setObjectName(QStringLiteral("edPath"));
  mPathEdit->setReadOnly(true);
  mReadOnly = new QLabel(this);
  mReadOnly->setObjectName(QStringLiteral("imReadOnly"));
  mReadOnly->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
  mReadOnly->setToolTip(
      QStringLiteral("This file is read-only. Remove protection, close script memo and remodell again."));
  mReadOnly->hide();
  top->addWidget(mPathEdit, 1);
  top->addWidget(mReadOnly);
  layout->addLayout(top);

  mMemo = new ScriptMemo(this);
  layout->addWidget(mMemo, 1);

  auto* bottom = new QHBoxLayout;
  mPosition = new QLabel(this);
  mPosition->setObjectName(QStringLiteral("lbPos"));
  mPosition->setCursor(Qt::PointingHandCursor);
  mPosition->setToolTip(QStringLiteral("Go to line (Ctrl+G)"));
  mPosition->installEventFilter(this);
  bottom->addWidget(mPosition, 0, Qt::AlignTop);
  bottom->addStretch(1);
  // The key legend: three key/effect column pairs.
  auto* legend = new QGridLayout;
  legend->setHorizontalSpacing(12);
  legend->setVerticalSpacing(0);
  struct LegendEntry {
    int Group, Row;
    const char* Key;
    const char* Effect;
  };
  static constexpr LegendEntry kLegend[] = {
      {0, 0, "Ctrl+Enter or F5", "Remodell"}, {0, 1, "Ctrl+Shift+Up/Down", "Move line Up/Down"},
      {1, 0, "Ctrl+A", "Select all"},         {1, 1, "Tab", "Indent line"},
      {1, 2, "Shift+Tab", "Unindent line"},   {1, 3, "Ctrl+G", "Go to line"},
      {2, 0, "Ctrl+C/X", "Copy/Cut line"},    {2, 1, "Escape", "Close memo"},
      {2, 2, "F4", "Go to main window"}};
  for (const LegendEntry& entry : kLegend) {
    auto* key = new QLabel(QString::fromLatin1(entry.Key), this);
    QFont bold = key->font();
    bold.setBold(true);
    key->setFont(bold);
    legend->addWidget(key, entry.Row, entry.Group * 2);
    legend->addWidget(new QLabel(QString::fromLatin1(entry.Effect), this), entry.Row, entry.Group * 2 + 1);
  }
  bottom->addLayout(legend);
  layout->addLayout(bottom);

  mAutosave = new QTimer(this);
  mAutosave->setInterval(kAutosaveMilliseconds);
  connect(mAutosave, &QTimer::timeout, this, [this] { Save(); });
  connect(mMemo, &QPlainTextEdit::textChanged, this, [this] {
    if (!mMemo->isReadOnly() && !mAutosave->isActive()) mAutosave->start();
  });
  connect(mMemo->document(), &QTextDocument::modificationChanged, this, &ScriptEditor::RefreshHeader);
  connect(mMemo, &QPlainTextEdit::cursorPositionChanged, this, &ScriptEditor::RefreshPosition);
  connect(mMemo, &ScriptMemo::GoToLineRequested, this, &ScriptEditor::GoToLine);
  mWatcher = new QFileSystemWatcher(this);
  connect(mWatcher, &QFileSystemWatcher::fileChanged, this, &ScriptEditor::OnFileChanged);
  resize(560, 600);
  RefreshPosition();
}

bool ScriptEditor::Open(const QString& path, const QString& charset) {
  mAutosave->stop();
  QString error;
  const std::string bytes = ReadWholeFile(path, error);
  if (!error.isEmpty()) {
    mPrompter.Error(QStringLiteral("Script Editor"), error);
    return false;
  }
  mPath = path;
  mCharset = charset;
  mWritten = bytes;
  QString text = DecodeScriptText(bytes, charset);
  mLineBreak = text.contains(QStringLiteral("\r\n")) || !text.contains(u'\n') ? QStringLiteral("\r\n") : QStringLiteral("\n");
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  const QFileInfo info(path);
  const bool readOnly =
      !info.isWritable() || !(info.permissions() & (QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther));
  mMemo->setReadOnly(readOnly);
  mReadOnly->setVisible(readOnly);
  mMemo->setPlainText(text);  // clears the modified flag and puts the caret at the start
  mAutosave->stop();
  Watch();
  RefreshHeader();
  RefreshPosition();
  return true;
}

// Watches the file now under the path: a file replaced by a rename is another one, whose changes
// the old watch would miss.
void ScriptEditor::Watch() {
  if (!mWatcher->files().isEmpty()) mWatcher->removePaths(mWatcher->files());
  if (!mPath.isEmpty()) mWatcher->addPath(mPath);
}

bool ScriptEditor::IsModified() const { return mMemo->document()->isModified(); }
bool ScriptEditor::IsReadOnly() const { return mMemo->isReadOnly(); }

void ScriptEditor::TrimTrailingBlanks() {
  const int caretBlock = mMemo->textCursor().blockNumber();
  QTextCursor cursor(mMemo->document());
  cursor.beginEditBlock();
  for (QTextBlock block = mMemo->document()->begin(); block.isValid(); block = block.next()) {
    const int count = block.blockNumber() == caretBlock ? 0 : TrailingBlankCount(block.text());
    if (count == 0) continue;
    const int end = block.position() + block.length() - 1;
    cursor.setPosition(end - count);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
  cursor.endEditBlock();
}

bool ScriptEditor::Save() {
  mAutosave->stop();
  if (!IsModified() || mPath.isEmpty() || IsReadOnly()) return !IsModified() || mPath.isEmpty();
  TrimTrailingBlanks();
  QString text = mMemo->toPlainText();
  if (mLineBreak != QStringLiteral("\n")) text.replace(u'\n', mLineBreak);
  const std::string bytes = EncodeScriptText(text, mCharset);
  try {
    TSwAtomicFileStream file(mPath.toStdU16String());
    file.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    mWritten = bytes;
    file.Commit();
  } catch (const ESkeinwork& error) {
    // The text stays here, modified, for the next save.
    mPrompter.Error(ReadableClassName(error.ClassName()), QString::fromStdString(error.Message()));
    return false;
  }
  mMemo->document()->setModified(false);
  mAutosave->stop();
  Watch();
  emit Saved();
  return true;
}

void ScriptEditor::GoToLine() {
  const std::optional<QString> answer =
      mPrompter.AskText(QStringLiteral("Go to"), QStringLiteral("Enter 'line[ column]' number(s) to go to:"),
                        QStringLiteral("%1 %2").arg(mMemo->CaretLine()).arg(mMemo->CaretColumn()));
  if (!answer) return;
  if (const std::optional<LinePosition> position = ParseGoToLine(*answer))
    mMemo->MoveCaret(position->Line, position->Column);
}

void ScriptEditor::OnFileChanged() {
  Watch();
  QString error;
  const std::string bytes = ReadWholeFile(mPath, error);
  if (!error.isEmpty() || bytes == mWritten) return;  // gone for now, or this editor's own write
  if (IsModified() &&
      !mPrompter.ConfirmWarning(QStringLiteral("Script Editor"),
                                QStringLiteral("The script file has changed on disk. Reload it and lose your edits?"))) {
    mWritten = bytes;  // asked once for this version
    return;
  }
  const int line = mMemo->CaretLine();
  const int column = mMemo->CaretColumn();
  if (!Open(mPath, mCharset)) return;
  mMemo->MoveCaret(line, column);
  emit RemodelRequested();
}

QString ScriptEditor::HeaderText() const { return mPathEdit->text(); }
QString ScriptEditor::PositionText() const { return mPosition->text(); }

void ScriptEditor::RefreshHeader() {
  mPathEdit->setText(IsModified() ? QStringLiteral("* ") + mPath + QStringLiteral(" *") : mPath);
}

void ScriptEditor::RefreshPosition() {
  mPosition->setText(QStringLiteral("Line %1, column %2").arg(mMemo->CaretLine()).arg(mMemo->CaretColumn()));
}

void ScriptEditor::keyPressEvent(QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = ModifiersOf(event);
  if ((IsEnter(event) || event->key() == Qt::Key_F5) && modifiers == Qt::ControlModifier) {
    emit RemodelRequested();
  } else if (event->key() == Qt::Key_Escape) {
    hide();
  } else if (event->key() == Qt::Key_F4 && modifiers == Qt::NoModifier) {
    emit MainWindowRequested();
  } else {
    QWidget::keyPressEvent(event);
  }
}

void ScriptEditor::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;  // minimised: still open
  Save();
  emit Hidden();
}

bool ScriptEditor::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mPosition && event->type() == QEvent::MouseButtonRelease) {
    GoToLine();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace weftview
