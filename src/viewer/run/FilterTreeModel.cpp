#include "FilterTreeModel.h"

#include <QTimer>

namespace weftview {

using namespace skeinwork;

FilterTreeModel::FilterTreeModel(ResultTreeModel& source, QObject* parent) : QAbstractItemModel(parent), mSource(source) {
  connect(&source, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& from, const QModelIndex& to) {
    for (int row = from.row(); row <= to.row(); ++row) {
      const QModelIndex shown = IndexOf(mSource.NodeOf(from.siblingAtRow(row)));
      if (shown.isValid()) emit dataChanged(shown, shown.siblingAtColumn(columnCount() - 1));
    }
  });
  // The filter holds nodes: it lets them go before the tree changes and walks it again after.
  for (auto signal : {&QAbstractItemModel::rowsAboutToBeInserted, &QAbstractItemModel::rowsAboutToBeRemoved})
    connect(&source, signal, this, &FilterTreeModel::Suspend);
  connect(&source, &QAbstractItemModel::rowsAboutToBeMoved, this, &FilterTreeModel::Suspend);
  connect(&source, &QAbstractItemModel::modelAboutToBeReset, this, &FilterTreeModel::Suspend);
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(&source, signal, this, [this] { SetFilter(mText); });
  connect(&source, &QAbstractItemModel::rowsMoved, this, [this] { SetFilter(mText); });
  connect(&source, &QAbstractItemModel::modelReset, this, [this] { SetFilter(mText); });
}

void FilterTreeModel::Suspend() {
  ++mGeneration;
  mWalk.clear();
  mPending = {};
  beginResetModel();
  mShown = {};
  mRoot = nullptr;
  endResetModel();
}

bool FilterTreeModel::NameMatches(QStringView name, const QString& text) {
  if (text.startsWith(u'=')) return name.compare(QStringView(text).mid(1), Qt::CaseInsensitive) == 0;
  return name.contains(text, Qt::CaseInsensitive);
}

void FilterTreeModel::SetFilter(const QString& text) {
  Suspend();
  mText = text;
  mPendingMatches = mMatches = 0;
  mRoot = text.isEmpty() ? nullptr : mSource.Root();
  if (!mRoot) return;
  mWalk.push_back({mRoot, 0});
  const int generation = mGeneration;
  QTimer::singleShot(0, this, [this, generation] {
    if (generation == mGeneration) WalkSlice();
  });
}

void FilterTreeModel::Show(TSwTreeNode* node) {
  // Ancestors are shown before the node, and a shown ancestor has its own ancestors shown.
  std::vector<TSwTreeNode*> chain;
  for (TSwTreeNode* at = node; at != mRoot && !mPending.Rows.count(at); at = at->Parent()) chain.push_back(at);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    std::vector<TSwTreeNode*>& siblings = mPending.Children[(*it)->Parent()];
    mPending.Rows[*it] = static_cast<int>(siblings.size());
    siblings.push_back(*it);
  }
}

void FilterTreeModel::WalkSlice() {
  const QString text = mText;
  for (int walked = 0; walked < kSliceNodes && !mWalk.empty();) {
    auto& [parent, next] = mWalk.back();
    if (next >= parent->ChildCount()) {
      mWalk.pop_back();
      continue;
    }
    TSwTreeNode* child = parent->Child(next++);
    ++walked;
    const WideString& name = child->Name();
    if (NameMatches(QStringView(name.data(), static_cast<qsizetype>(name.size())), text)) {
      ++mPendingMatches;
      Show(child);
    }
    if (child->ChildCount() > 0) mWalk.push_back({child, 0});
  }
  if (!mWalk.empty()) {
    const int generation = mGeneration;
    QTimer::singleShot(0, this, [this, generation] {
      if (generation == mGeneration) WalkSlice();
    });
    return;
  }
  beginResetModel();
  mShown = std::move(mPending);
  mPending = {};
  mMatches = mPendingMatches;
  endResetModel();
  emit Finished(mMatches);
}

TSwTreeNode* FilterTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<TSwTreeNode*>(index.internalPointer()) : nullptr;
}

QModelIndex FilterTreeModel::IndexOf(TSwTreeNode* node, int column) const {
  auto found = node ? mShown.Rows.find(node) : mShown.Rows.end();
  return found == mShown.Rows.end() ? QModelIndex() : createIndex(found->second, column, node);
}

QModelIndex FilterTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!mRoot || column < 0 || column >= columnCount()) return {};
  auto found = mShown.Children.find(parent.isValid() ? NodeOf(parent) : mRoot);
  if (found == mShown.Children.end() || row < 0 || row >= static_cast<int>(found->second.size())) return {};
  return createIndex(row, column, found->second[row]);
}

QModelIndex FilterTreeModel::parent(const QModelIndex& child) const {
  TSwTreeNode* node = NodeOf(child);
  return node && node->Parent() != mRoot ? IndexOf(node->Parent()) : QModelIndex();
}

int FilterTreeModel::rowCount(const QModelIndex& parent) const {
  if (!mRoot || parent.column() > 0) return 0;
  auto found = mShown.Children.find(parent.isValid() ? NodeOf(parent) : mRoot);
  return found == mShown.Children.end() ? 0 : static_cast<int>(found->second.size());
}

int FilterTreeModel::columnCount(const QModelIndex&) const { return mSource.columnCount(); }

QVariant FilterTreeModel::data(const QModelIndex& index, int role) const {
  return mSource.data(mSource.IndexOf(NodeOf(index), index.column()), role);
}

QVariant FilterTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  return mSource.headerData(section, orientation, role);
}

Qt::ItemFlags FilterTreeModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

}  // namespace weftview
