// HexDumpWindow: the "Hex dump" window of one property of a node: a header naming the property
// and the node, and a dump pane over the whole input stream opened at the property's bytes. It
// forgets the node and closes when the node leaves the tree.
#pragma once

#include <QWidget>

#include "SwNodes.h"

class QLabel;
class QToolButton;

namespace skeinwork {
class TStream;
}

namespace weftview {

class DumpPane;
class ResultTreeModel;

class HexDumpWindow : public QWidget {
  Q_OBJECT

 public:
  HexDumpWindow(ResultTreeModel& model, QWidget* parent);

  // Dumps the stream (positioned at the slice, which is coloured) for the node's property.
  void Show(skeinwork::TStream* stream, int64_t sliceLength, skeinwork::TSwTreeNode* node, const QString& property);
  skeinwork::TSwTreeNode* Node() const { return mNode; }
  DumpPane* Pane() const { return mPane; }

 signals:
  void NodeInfoRequested(skeinwork::TSwTreeNode* node);
  void ErrorRaised(const QString& message);
  void NodeAtOffsetRequested(qint64 offset);

 private:
  void Forget(skeinwork::TSwTreeNode* leaving);
  void RefreshHeader();

  skeinwork::TSwTreeNode* mNode = nullptr;
  QWidget* mNodePanel;
  QLabel* mPosName;
  QLabel* mNodePath;
  QToolButton* mOnTop;
  DumpPane* mPane;
};

}  // namespace weftview
