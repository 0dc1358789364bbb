// SourcePosStrip: one byte range of a node ("Start:", "End:", "Inner:") as its start and end in
// hexadecimal and its length in decimal, with a button that saves the bytes (right button: the
// bytes transformed by an expression) and one that dumps them (right button: in a new window).
#pragma once

#include <QPushButton>
#include <QWidget>

#include "SwNodes.h"

class QLineEdit;

namespace skeinwork {
class TSwmSlicer;
}

namespace weftview {

class Prompter;

// A push button that also reports a click of the right mouse button.
class TwoButtonClick : public QPushButton {
  Q_OBJECT

 public:
  using QPushButton::QPushButton;

 signals:
  void RightClicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

class SourcePosStrip : public QWidget {
  Q_OBJECT

 public:
  // The expressions offered for a transformed save, one picked at random.
  static const QStringList& TransformExamples();

  SourcePosStrip(const QString& caption, Prompter& prompter, QWidget* parent = nullptr);

  // Shows the node's range property through the run's slicer (which must be present).
  void Reflect(skeinwork::TSwmSlicer* slicer, skeinwork::TSwTreeNode* node, const QString& property);
  int64_t Start() const { return mStart; }
  int64_t End() const { return mEnd; }
  int64_t Length() const { return mLength; }
  const QString& Property() const { return mProperty; }
  skeinwork::TSwTreeNode* Node() const { return mNode; }
  // The input stream the range refers to, positioned at its first byte; null when it has none.
  skeinwork::TStream* PositionedStream();

  // The buttons' actions: asked through the prompter.
  void Save();
  void SaveTransformed();

 signals:
  // The user asks for a hex dump of the range, in the shared window or a new one.
  void ViewRequested(bool newWindow);

 private:
  QString AskTarget();
  template <class Write>
  void WriteFile(const QString& path, Write write);

  Prompter& mPrompter;
  skeinwork::TSwmSlicer* mSlicer = nullptr;
  skeinwork::TSwTreeNode* mNode = nullptr;
  QString mProperty;
  skeinwork::TSwValue mValue;
  int64_t mStart = -1;
  int64_t mEnd = -1;
  int64_t mLength = 0;
  QLineEdit* mStartEdit;
  QLineEdit* mEndEdit;
  QLineEdit* mLengthEdit;
  TwoButtonClick* mSave;
  TwoButtonClick* mView;
};

}  // namespace weftview
