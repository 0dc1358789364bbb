// ResultTreeModel: a tree of TSwTreeNode as a Qt item model, made for trees of millions of
// nodes. It keeps nothing per node: an index carries its node, row counts and texts are asked
// from the nodes. The rows of parents are remembered once asked (a node's own index look-up
// walks its namesakes), and forgotten on any change of structure. Changes made through the tree
// node operations reach the views through the tree's observer.
#pragma once

#include <QAbstractItemModel>

#include <memory>
#include <unordered_map>

#include "SearchAnswers.h"
#include "SwNodes.h"

namespace skeinwork {
class TSwmSlicer;
}

namespace weftview {

class ResultTreeModel : public QAbstractItemModel, private skeinwork::TSwTreeObserver {
  Q_OBJECT

 public:
  enum Column { NameColumn = 0, StartColumn, LengthColumn, ValueColumn };
  // The most bytes the Value column shows.
  static constexpr int kValueBytes = 32;

  explicit ResultTreeModel(QObject* parent = nullptr);
  ~ResultTreeModel() override;

  // Shows a tree (null: none). With a slicer the node ranges get the Start, Length and Value
  // columns, their bytes decoded with the code page. The model observes the tree until the next
  // call; the tree must outlive that.
  void SetTree(skeinwork::TSwTreeNode* root, skeinwork::TSwmSlicer* slicer, int codepage);
  skeinwork::TSwTreeNode* Root() const { return mRoot; }
  // While a worker reads the tree's properties and streams (an extraction), the range columns
  // show nothing: reading a node's properties may reshape them, and the streams have one position.
  void SetRangesPaused(bool paused) { mRangesPaused = paused; }
  bool RangesPaused() const { return mRangesPaused; }

  // The node of an index; null for the placeholder item of an empty tree.
  skeinwork::TSwTreeNode* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOf(skeinwork::TSwTreeNode* node, int column = 0) const;
  // The deepest node whose range in the whole input (from its "startGlobal" to the furthest end
  // of its global ranges) holds the offset; null when none does.
  skeinwork::TSwTreeNode* NodeAtOffset(int64_t offset) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // An edit of a name renames the node.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  // Colours names by the list's masks (null: none); views repaint themselves after a change.
  void SetHighlights(const HighlightList* highlights) { mHighlights = highlights; }

  // Dragging a node onto another moves it with its subtree to the end of the target's
  // children; a drop onto the node itself or into its own subtree is refused.
  Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
  Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;
  static bool CanMove(const skeinwork::TSwTreeNode* node, const skeinwork::TSwTreeNode* target);
  // Whether the node may be removed: not the root, nor the root's only child.
  bool CanRemove(const skeinwork::TSwTreeNode* node) const;

 signals:
  // A node and its subtree are about to leave the tree (removed, which frees them); null: the
  // whole tree is about to be replaced. Windows that show a node forget it here.
  void NodesLeaving(skeinwork::TSwTreeNode* node);

 private:
  int RowOf(skeinwork::TSwTreeNode* node) const;
  skeinwork::TSwTreeNode* DraggedNode(const QMimeData* data) const;
  bool ShowsPlaceholder() const { return mRoot && mRoot->ChildCount() == 0; }
  QVariant RangeText(skeinwork::TSwTreeNode* node, int column) const;
  // The range property whose bytes the Length and Value columns describe, or null.
  static const char16_t* ShownRange(skeinwork::TSwTreeNode* node);

  // A change of structure: rows inserted, removed or moved, or a reset when the tree turns
  // empty or stops being empty (the placeholder item comes or goes).
  template <class Begin>
  void BeginChange(bool resets, Begin begin);
  template <class End>
  void EndChange(End end);

  void ChildInserting(skeinwork::TSwTreeNode* parent, int index) override;
  void ChildInserted(skeinwork::TSwTreeNode* parent, int index) override;
  void ChildRemoving(skeinwork::TSwTreeNode* parent, int index) override;
  void ChildRemoved(skeinwork::TSwTreeNode* parent, int index) override;
  void ChildMoving(skeinwork::TSwTreeNode* node, skeinwork::TSwTreeNode* newParent, int newIndex) override;
  void ChildMoved(skeinwork::TSwTreeNode* node) override;
  void NodeRenamed(skeinwork::TSwTreeNode* node) override;

  skeinwork::TSwTreeNode* mRoot = nullptr;
  skeinwork::TSwmSlicer* mSlicer = nullptr;
  int mCodepage = 0;
  // Rows of the nodes whose children were asked for their parent.
  mutable std::unordered_map<const skeinwork::TSwTreeNode*, int> mRows;
  const HighlightList* mHighlights = nullptr;
  mutable skeinwork::TSwTreeNode* mDragged = nullptr;  // the node of the drag this model started
  bool mRangesPaused = false;
  bool mResetting = false;  // a change that turns the tree empty or not: the model resets
};

}  // namespace weftview
