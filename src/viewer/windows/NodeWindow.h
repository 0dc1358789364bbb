// NodeWindow: the "Node Properties" window of one result node: its name, path and child count,
// a button up to the parent, the node's "start", "end" and "inner" ranges (when the run has input
// bytes) and its properties. The main window keeps one and loads the selected node into it; it
// forgets the node and closes when the node leaves the tree.
#pragma once

#include <QWidget>

#include "SwNodes.h"

class QLabel;
class QToolButton;

namespace skeinwork {
class TSwmSlicer;
}

namespace weftview {

class HexDumpWindow;
class Prompter;
class PropsViewer;
class ResultTreeModel;
class SourcePosStrip;

class NodeWindow : public QWidget {
  Q_OBJECT

 public:
  NodeWindow(ResultTreeModel& model, Prompter& prompter, QWidget* parent);

  // Loads the node (the slicer may be null: a tree without input); shows the window when asked
  // to bring it to the front or when it is hidden.
  void ShowNode(skeinwork::TSwTreeNode* node, skeinwork::TSwmSlicer* slicer, bool bringToFront);
  skeinwork::TSwTreeNode* Node() const { return mNode; }
  // The range strips: start, end, inner.
  SourcePosStrip* Strip(int index) const { return mStrips[index]; }
  // The shared hex dump window, made on first use.
  HexDumpWindow* SharedDump();

 signals:
  // The user moved to another node here; the main window selects it.
  void Navigated(skeinwork::TSwTreeNode* node);
  // The user asked for the main window.
  void MainWindowRequested();

 private:
  void Load(skeinwork::TSwTreeNode* node);
  void Forget(skeinwork::TSwTreeNode* leaving);
  void ShowDump(SourcePosStrip* strip, bool newWindow);
  HexDumpWindow* NewDumpWindow();

  ResultTreeModel& mModel;
  Prompter& mPrompter;
  skeinwork::TSwTreeNode* mNode = nullptr;
  skeinwork::TSwmSlicer* mSlicer = nullptr;
  QLabel* mName;
  QLabel* mPath;
  QLabel* mChildCount;
  QToolButton* mUpLevel;
  QWidget* mSourcePanel;
  SourcePosStrip* mStrips[3];
  PropsViewer* mProps;
  HexDumpWindow* mSharedDump = nullptr;
};

}  // namespace weftview
