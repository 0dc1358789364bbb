// ResultTreeModel: a tree of TSwTreeNode as a Qt item model, made for trees of millions of
// nodes. It keeps nothing per node: an index carries its node, row counts and texts are asked
// from the nodes. The rows of parents are remembered once asked (a node's own index look-up
// walks its namesakes), and forgotten on any change of structure. Changes made through the tree
// node operations reach the views through the tree's observer.
#pragma once

#include <QAbstractItemModel>

#include <memory>
#include <unordered_map>

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

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  int RowOf(skeinwork::TSwTreeNode* node) const;
  bool ShowsPlaceholder() const { return mRoot && mRoot->ChildCount() == 0; }
  QVariant RangeText(skeinwork::TSwTreeNode* node, int column) const;

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
  bool mRangesPaused = false;
  bool mResetting = false;  // a change that turns the tree empty or not: the model resets
};

}  // namespace weftview
