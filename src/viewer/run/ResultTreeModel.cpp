#include "ResultTreeModel.h"

#include <QColor>
#include <QGuiApplication>
#include <QMimeData>
#include <QPalette>

#include "SwModelling.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {
const char* const kEmptyTreeText = "This model/data combination has produced no nodes.";
const char* const kNodeMimeType = "application/x-weftview-node";

bool HoldsOffset(TSwTreeNode* node, int64_t offset) {
  TSwValue range;
  if (!node->FindValue(u"startGlobal", range) || TSwmSlicer::Start(range) < 0 || offset < TSwmSlicer::Start(range))
    return false;
  int64_t end = TSwmSlicer::End(range);
  for (const char16_t* name : {u"innerGlobal", u"endGlobal"})
    if (node->FindValue(name, range)) end = std::max(end, TSwmSlicer::End(range));
  return offset < end;
}
}

ResultTreeModel::ResultTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

ResultTreeModel::~ResultTreeModel() {
  if (mRoot) mRoot->SetObserver(nullptr);
}

void ResultTreeModel::SetTree(TSwTreeNode* root, TSwmSlicer* slicer, int codepage) {
  if (mRoot) emit NodesLeaving(nullptr);
  beginResetModel();
  if (mRoot) mRoot->SetObserver(nullptr);
  mRoot = root;
  mSlicer = slicer;
  mCodepage = codepage;
  mRows.clear();
  mDragged = nullptr;
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

TSwTreeNode* ResultTreeModel::NodeAtOffset(int64_t offset) const {
  TSwTreeNode* deepest = nullptr;
  for (TSwTreeNode* parent = mRoot; parent;) {
    TSwTreeNode* holder = nullptr;
    for (int i = 0; i < parent->ChildCount() && !holder; ++i)
      if (HoldsOffset(parent->Child(i), offset)) holder = parent->Child(i);
    if (holder) deepest = holder;
    parent = holder;
  }
  return deepest;
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
  if (role == Qt::ForegroundRole && mHighlights && index.column() == NameColumn) {
    if (auto colour = mHighlights->ColourOf(QString::fromStdU16String(node->Name())))
      return QColor::fromRgb(HighlightList::ColourRgb(*colour));
    return {};
  }
  if (role == Qt::EditRole && index.column() == NameColumn) return QString::fromStdU16String(node->Name());
  if (role != Qt::DisplayRole) return {};
  if (index.column() == NameColumn)
    return node->Name().empty() ? QStringLiteral("<unnamed>") : QString::fromStdU16String(node->Name());
  return RangeText(node, index.column());
}

// A field's bytes are in its "start" range while its "inner" range is empty: the Length and Value
// columns both describe "inner" when it holds bytes, else "start".
const char16_t* ResultTreeModel::ShownRange(TSwTreeNode* node) {
  TSwValue inner;
  if (node->FindValue(u"inner", inner) && TSwmSlicer::Length(inner) > 0) return u"inner";
  TSwValue start;
  if (node->FindValue(u"start", start)) return u"start";
  return node->FindValue(u"inner", inner) ? u"inner" : nullptr;
}

QVariant ResultTreeModel::RangeText(TSwTreeNode* node, int column) const {
  if (!mSlicer || mRangesPaused) return {};
  TSwValue value;
  switch (column) {
    case StartColumn:
      if (!node->FindValue(u"startGlobal", value) || TSwmSlicer::Start(value) < 0) return {};
      return OffsetText(TSwmSlicer::Start(value));
    case LengthColumn: {
      const char16_t* shown = ShownRange(node);
      if (!shown || !node->FindValue(shown, value) || TSwmSlicer::Length(value) < 0) return {};
      return QString::number(TSwmSlicer::Length(value));
    }
    case ValueColumn: {
      const char16_t* shown = ShownRange(node);
      return BytePreview(shown ? mSlicer->PropertyText(node, shown, kValueBytes) : RawByteString(), mCodepage);
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
  const Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
  return index.column() == NameColumn ? flags | Qt::ItemIsEditable : flags;
}

bool ResultTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  TSwTreeNode* node = NodeOf(index);
  if (!node || role != Qt::EditRole || index.column() != NameColumn || !value.isValid()) return false;
  node->Rename(TSwName(value.toString().toStdU16String()));
  return true;
}

QStringList ResultTreeModel::mimeTypes() const { return {QString::fromLatin1(kNodeMimeType)}; }

QMimeData* ResultTreeModel::mimeData(const QModelIndexList& indexes) const {
  TSwTreeNode* node = indexes.isEmpty() ? nullptr : NodeOf(indexes.first());
  if (!node || mRangesPaused) return nullptr;  // no moves while an extraction reads the tree
  // The node is named by its address: a drag only ever lands in this model.
  mDragged = node;
  auto* data = new QMimeData;
  const quintptr address = reinterpret_cast<quintptr>(node);
  data->setData(QString::fromLatin1(kNodeMimeType), QByteArray::number(address));
  return data;
}

TSwTreeNode* ResultTreeModel::DraggedNode(const QMimeData* data) const {
  if (!data || !data->hasFormat(QString::fromLatin1(kNodeMimeType))) return nullptr;
  // Only the drag this model started counts, and only while the tree keeps its structure.
  const quintptr address = data->data(QString::fromLatin1(kNodeMimeType)).toULongLong();
  return mDragged && address == reinterpret_cast<quintptr>(mDragged) ? mDragged : nullptr;
}

bool ResultTreeModel::CanMove(const TSwTreeNode* node, const TSwTreeNode* target) {
  return node && target && !node->IsRoot() && !node->IsSelfOrAncestorOf(target);
}

bool ResultTreeModel::CanRemove(const TSwTreeNode* node) const {
  return node && !node->IsRoot() && !(node->Parent() == mRoot && mRoot->ChildCount() == 1);
}

bool ResultTreeModel::canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int,
                                      const QModelIndex& parent) const {
  // Only onto an item, not between two.
  if (action != Qt::MoveAction || row >= 0) return false;
  return CanMove(DraggedNode(data), NodeOf(parent));
}

bool ResultTreeModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                   const QModelIndex& parent) {
  if (!canDropMimeData(data, action, row, column, parent)) return false;
  DraggedNode(data)->MoveTo(NodeOf(parent));
  return true;
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
  mDragged = nullptr;
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
  emit NodesLeaving(parent->Child(index));
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
