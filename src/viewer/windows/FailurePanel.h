// FailurePanel: what the main window shows instead of the tree when the input did not fit the
// model: the readable error name, the message, and the input around the place where modelling
// stopped, of the stream being read and, when the run had switched to a derived stream, of its
// first (global) input.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <string_view>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace skeinwork {
class TStringStream;
class TSwMismatchInfo;
struct TSwSourcePos;
}  // namespace skeinwork

namespace weftview {

class DumpPane;

class FailurePanel : public QWidget {
  Q_OBJECT

 public:
  explicit FailurePanel(QWidget* parent = nullptr);
  ~FailurePanel() override;

  // The readable class name and the message (a mismatch's cut before its input part).
  void SetError(std::string_view className, const QString& message, bool isMismatch);
  // Dumps the excerpts the mismatch captured; null (a mismatch without a stream) empties both.
  void ShowPositions(const skeinwork::TSwMismatchInfo* information);

  DumpPane* CurrentDump() const { return mDump; }
  DumpPane* GlobalDump() const { return mDumpGlobal; }
  QString ErrorName() const;
  QString MessageText() const;
  bool GlobalShown() const;
  // The button that names the failing model node's script line; hidden when the message names none.
  QPushButton* ScriptPlaceButton() const { return mScriptPlace; }
  // "Show partial tree", shown when the run left the nodes it made.
  QPushButton* PartialTreeButton() const { return mPartialTree; }
  void SetPartialTreeAvailable(bool available);

 signals:
  // The user asked for the failing model node's line (from 1) in the script file.
  void ScriptLineRequested(int line);
  void PartialTreeRequested();

 private:
  void Fill(DumpPane* pane, std::unique_ptr<skeinwork::TStringStream>& stream, const skeinwork::TSwSourcePos& pos);

  QLabel* mError;
  QPlainTextEdit* mMessage;
  QPushButton* mScriptPlace;
  QPushButton* mPartialTree;
  int mScriptLine = 0;
  DumpPane* mDump;
  QWidget* mGlobalBox;
  DumpPane* mDumpGlobal;
  std::unique_ptr<skeinwork::TStringStream> mCurrentStream;
  std::unique_ptr<skeinwork::TStringStream> mGlobalStream;
};

}  // namespace weftview
