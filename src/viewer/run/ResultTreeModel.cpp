#include "ResultTreeModel.h"

#include <QGuiApplication>
#include <QPalette>

#include "SwModelling.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {
const char* const kEmptyTreeText = "This model/data combination has produced no nodes.";
}

ResultTreeModel::ResultTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

ResultTreeModel::~ResultTreeModel() {
  if (mRoot) mRoot->SetObserver(nullptr);
}

void ResultTreeModel::SetTree(TSwTreeNode* root, TSwmSlicer* slicer, int codepage) {
  beginResetModel();
  if (mRoot) mRoot->SetObserver(nullptr);
  mRoot = root;
  mSlicer = slicer;
  mCodepage = codepage;
  mRows.clear();
  if (mRoot) mRoot->SetObserver(this);
  endResetModel();
}

TSwTreeNode* ResultTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<TSwTreeNode*>(index.internalPointer()) : nullptr;
}

int ResultTreeModel::RowOf(TSwTreeNode* node) const {
  auto [place, added] = mRows.try_emplace(node, 0);
  if (added) place->second = node->IndexInParent();
  return place->second;
}

QModelIndex ResultTreeModel::IndexOf(TSwTreeNode* node, int column) const {
  if (!node || node == mRoot || !mRoot) return {};
  return createIndex(RowOf(node), column, node);
}

QModelIndex ResultTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!mRoot || row < 0 || column < 0 || column >= columnCount(parent)) return {};
  if (!parent.isValid() && ShowsPlaceholder()) return row == 0 ? createIndex(0, column, nullptr) : QModelIndex();
  TSwTreeNode* parentNode = parent.isValid() ? NodeOf(parent) : mRoot;
  if (!parentNode || row >= parentNode->ChildCount()) return {};
  return createIndex(row, column, parentNode->Child(row));
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
  TSwTreeNode* node = NodeOf(child);
  if (!node) return {};
  TSwTreeNode* parentNode = node->Parent();
  if (!parentNode || parentNode == mRoot) return {};
  return createIndex(RowOf(parentNode), 0, parentNode);
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
  if (!mRoot || parent.column() > 0) return 0;
  if (!parent.isValid()) return ShowsPlaceholder() ? 1 : mRoot->ChildCount();
  TSwTreeNode* node = NodeOf(parent);
  return node ? node->ChildCount() : 0;
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return mSlicer ? 4 : 1; }

bool ResultTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant ResultTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  TSwTreeNode* node = NodeOf(index);
  if (!node) {
    if (index.column() != NameColumn) return {};
    if (role == Qt::DisplayRole) return QString::fromLatin1(kEmptyTreeText);
    if (role == Qt::ForegroundRole) return QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    return {};
  }
  if (role != Qt::DisplayRole) return {};
  if (index.column() == NameColumn)
    return node->Name().empty() ? QStringLiteral("<unnamed>") : QString::fromStdU16String(node->Name());
  return RangeText(node, index.column());
}

QVariant ResultTreeModel::RangeText(TSwTreeNode* node, int column) const {
  if (!mSlicer || mRangesPaused) return {};
  TSwValue value;
  switch (column) {
    case StartColumn:
      if (!node->FindValue(u"startGlobal", value) || TSwmSlicer::Start(value) < 0) return {};
      return OffsetText(TSwmSlicer::Start(value));
    case LengthColumn:
      if (!node->FindValue(u"innerGlobal", value) || TSwmSlicer::Length(value) < 0) return {};
      return QString::number(TSwmSlicer::Length(value));
    case ValueColumn: {
      RawByteString bytes = mSlicer->PropertyText(node, u"inner", kValueBytes);
      if (bytes.empty()) bytes = mSlicer->PropertyText(node, u"start", kValueBytes);
      return BytePreview(bytes, mCodepage);
    }
    default:
      return {};
  }
}

QVariant ResultTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const titles[] = {"Name", "Start", "Length", "Value"};
  return section >= 0 && section < 4 ? QString::fromLatin1(titles[section]) : QVariant();
}

Qt::ItemFlags ResultTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  if (!NodeOf(index)) return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

// ---- changes of the tree

template <class Begin>
void ResultTreeModel::BeginChange(bool resets, Begin begin) {
  mResetting = resets;
  if (resets)
    beginResetModel();
  else
    begin();
}

template <class End>
void ResultTreeModel::EndChange(End end) {
  mRows.clear();
  if (!mResetting) return end();
  mResetting = false;
  endResetModel();
}

void ResultTreeModel::ChildInserting(TSwTreeNode* parent, int index) {
  BeginChange(parent == mRoot && mRoot->ChildCount() == 0,
              [&] { beginInsertRows(IndexOf(parent), index, index); });
}

void ResultTreeModel::ChildInserted(TSwTreeNode*, int) {
  EndChange([this] { endInsertRows(); });
}

void ResultTreeModel::ChildRemoving(TSwTreeNode* parent, int index) {
  BeginChange(parent == mRoot && mRoot->ChildCount() == 1,
              [&] { beginRemoveRows(IndexOf(parent), index, index); });
}

void ResultTreeModel::ChildRemoved(TSwTreeNode*, int) {
  EndChange([this] { endRemoveRows(); });
}

void ResultTreeModel::ChildMoving(TSwTreeNode* node, TSwTreeNode* newParent, int newIndex) {
  TSwTreeNode* oldParent = node->Parent();
  const int row = RowOf(node);
  // Qt counts the destination before the move, the tree after it.
  const int destination = oldParent == newParent && newIndex > row ? newIndex + 1 : newIndex;
  const bool changesEmptiness = (oldParent == mRoot && mRoot->ChildCount() == 1 && newParent != mRoot) ||
                                (newParent == mRoot && mRoot->ChildCount() == 0);
  BeginChange(changesEmptiness || !beginMoveRows(IndexOf(oldParent), row, row, IndexOf(newParent), destination),
              [] {});
}

void ResultTreeModel::ChildMoved(TSwTreeNode*) {
  EndChange([this] { endMoveRows(); });
}

void ResultTreeModel::NodeRenamed(TSwTreeNode* node) {
  const QModelIndex index = IndexOf(node);
  if (index.isValid()) emit dataChanged(index, index);
}

}  // namespace weftview
