// FilterTreeModel: the shown tree cut down to the nodes whose name contains a text (letter case
// ignored; a leading "=" asks for the whole name), with their ancestors. The tree is walked in
// slices on the window's event loop, so that a tree of millions of nodes never stops the window;
// the model shows the result once the walk is done. Texts and columns come from the tree model.
#pragma once

#include <QAbstractItemModel>

#include <unordered_map>
#include <vector>

#include "ResultTreeModel.h"

namespace weftview {

class FilterTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // Nodes walked per slice of the event loop.
  static constexpr int kSliceNodes = 20000;

  explicit FilterTreeModel(ResultTreeModel& source, QObject* parent = nullptr);

  // Starts walking the tree for the text; an empty text stops and empties the filter.
  void SetFilter(const QString& text);
  const QString& Filter() const { return mText; }
  bool Working() const { return !mWalk.empty(); }
  int64_t MatchCount() const { return mMatches; }

  skeinwork::TSwTreeNode* NodeOf(const QModelIndex& index) const;
  // The node's index, invalid when the filter does not show it.
  QModelIndex IndexOf(skeinwork::TSwTreeNode* node, int column = 0) const;
  // Whether a name passes the text (the rule above).
  static bool NameMatches(QStringView name, const QString& text);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  // The walk is done and the model shows its result.
  void Finished(qint64 matches);

 private:
  struct Shown {
    std::unordered_map<const skeinwork::TSwTreeNode*, std::vector<skeinwork::TSwTreeNode*>> Children;
    std::unordered_map<const skeinwork::TSwTreeNode*, int> Rows;
  };
  void WalkSlice();
  void Suspend();
  void Show(skeinwork::TSwTreeNode* node);

  ResultTreeModel& mSource;
  QString mText;
  skeinwork::TSwTreeNode* mRoot = nullptr;
  Shown mShown, mPending;  // what the model shows; what the walk collects
  std::vector<std::pair<skeinwork::TSwTreeNode*, int>> mWalk;  // parents and their next child
  int64_t mMatches = 0, mPendingMatches = 0;
  int mGeneration = 0;  // a walk's slices stop once another walk has started
};

}  // namespace weftview
