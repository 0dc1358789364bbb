// DumpPane: a hex dump of a stream around a current offset, 8 bytes a line, with a marker line
// above the current byte, an offset entry with Go and Start buttons, a source label and a popup
// that offers the values starting at a dumped byte. The hex dump window is built around it; the
// failure panel shows the bytes where a run stopped with it.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace skeinwork {
class TStream;
}

namespace weftview {

class DumpPane : public QWidget {
  Q_OBJECT

 public:
  explicit DumpPane(QWidget* parent = nullptr);

  // Dumps the whole stream (not owned; it must outlive the pane or the next Reflect), opening at
  // its current position. Offsets shown are stream positions plus `baseOffset`.
  void Reflect(skeinwork::TStream* stream, int64_t baseOffset = 0);
  // Forgets the stream: the pane turns empty.
  void Clear();
  // Dumps around `offset` with the marker above it; answers the error text (the pane keeps its
  // content) or an empty text.
  QString GoTo(int64_t offset);

  int64_t CurrentOffset() const { return mCurrent; }
  int64_t StartOffset() const { return mStart; }
  // The source label; with line numbers on, the current line is appended as ":N".
  void SetSource(const QString& text);
  QString SourceText() const;
  void SetAutoLineNumber(bool on) { mAutoLineNumber = on; }
  // Bytes shown coloured, as offsets (base included) [start, end).
  void SetHighlight(int64_t start, int64_t end);
  // Runs after every new dump (the hex dump window refreshes its caption).
  std::function<void()> OnRepainted;

  QPlainTextEdit* Memo() const { return mMemo; }
  QLineEdit* OffsetEdit() const { return mOffsetEdit; }
  // The popup for the byte under the caret (null on a line without a byte), short or extended;
  // the caller owns it.
  QMenu* BuildPopup(bool extended);

 signals:
  void ErrorRaised(const QString& message);
  // The user asks for the node whose bytes hold the offset.
  void NodeAtOffsetRequested(qint64 offset);

 private:
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void GoTyped();
  void RefreshButtons();
  void ShowPopup(const QPoint& position);
  void ColourHighlight();

  skeinwork::TStream* mStream = nullptr;
  int64_t mBase = 0;
  int64_t mStart = 0;
  int64_t mEnd = 0;
  int64_t mCurrent = 0;
  int64_t mHighlightStart = 0;
  int64_t mHighlightEnd = 0;
  QString mSource;
  QString mLineNumber;
  bool mAutoLineNumber = false;

  QLabel* mSourceLabel;
  QLineEdit* mOffsetEdit;
  QPushButton* mGoButton;
  QPushButton* mStartButton;
  QPlainTextEdit* mMemo;
};

}  // namespace weftview
