// ScriptEditor: the "Script Editor" window over the script file the main window works with.
// It saves by itself (every 10 s after a change, and when hidden or closed), and Ctrl+Enter asks
// the main window to model again, so that a model is developed in an edit-and-remodel loop.
// ScriptMemo is its text area, with line-oriented keys.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <string>

class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QTimer;

namespace weftview {

class Prompter;

class ScriptMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit ScriptMemo(QWidget* parent = nullptr);

  // Moves the caret to the line and column (both from 1, clamped to the text) and shows it.
  void MoveCaret(int line, int column);
  int CaretLine() const;    // from 1
  int CaretColumn() const;  // from 1

 signals:
  void GoToLineRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CopyLine(bool cut);
  void Indent();
  void Unindent();
  void MoveLine(bool up);
};

class ScriptEditor : public QWidget {
  Q_OBJECT

 public:
  ScriptEditor(Prompter& prompter, QWidget* parent);

  // Shows the file's text, decoded with the script's charset (empty: UTF-8), unmodified, with the
  // caret at the start; a file that cannot be written is shown read-only. False (reported) when
  // the file cannot be read.
  bool Open(const QString& path, const QString& charset);
  // Writes the modified text, its trailing blanks trimmed except on the caret's line. The file is
  // replaced whole or not at all: on an error the error is reported and the text stays modified.
  // True when nothing is left unsaved.
  bool Save();
  // Asks for "line[ column]" and moves the caret there.
  void GoToLine();

  const QString& Path() const { return mPath; }
  bool IsModified() const;
  bool IsReadOnly() const;
  ScriptMemo* Memo() const { return mMemo; }
  QString HeaderText() const;
  QString PositionText() const;

 signals:
  // Ctrl+Enter or Ctrl+F5: model again with the saved text.
  void RemodelRequested();
  void MainWindowRequested();
  // The window was hidden or closed.
  void Hidden();
  // The file was written here; the file on disk is a new one.
  void Saved();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void RefreshHeader();
  void RefreshPosition();
  void TrimTrailingBlanks();
  void OnFileChanged();
  void Watch();

  Prompter& mPrompter;
  QString mPath;
  QString mCharset;
  QString mLineBreak = QStringLiteral("\r\n");
  std::string mWritten;  // what this editor last wrote or read, to tell its own writes apart
  QLineEdit* mPathEdit;
  QLabel* mReadOnly;
  QLabel* mPosition;
  ScriptMemo* mMemo;
  QTimer* mAutosave;
  QFileSystemWatcher* mWatcher;
};

}  // namespace weftview
