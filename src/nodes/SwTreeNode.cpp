// Tree nodes: naming, children, moves, removal and paths to ancestors.
#include "SwTreeNode.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <vector>

namespace skeinwork {

// Slices of a node without a bag: a header and `Capacity` entries in one allocation, entries
// sorted by name like the bag's items. Up to two distinct streams per node (a result node's
// local and global ranges may lie in different streams).
struct TSwSliceBlock {
  static constexpr int MaxCount = 16;
  struct TEntry {
    // The interned name's address; its low two bits select the stream: 0 for a slice without
    // a stream object, 1 or 2 for Streams[0] or Streams[1].
    uintptr_t NameAndStream;
    int64_t Offset;
    double Length;

    TSwName Name() const { return TSwName::FromId(reinterpret_cast<const WideString*>(NameAndStream & ~uintptr_t(3))); }
    int StreamSlot() const { return static_cast<int>(NameAndStream & 3); }
  };
  static_assert(alignof(WideString) >= 4, "name addresses must leave two low bits free");
  static_assert(sizeof(TEntry) == 24 && alignof(TEntry) <= 8, "SwSliceStorageBytes counts 24 bytes a slice");

  uint8_t Count = 0;
  uint8_t Capacity = 0;
  bool Embedded = false;  // lives in storage its node provides (UseSliceStorage)
  TSwObject* Streams[2] = {};

  TEntry* Entries() { return reinterpret_cast<TEntry*>(this + 1); }
  const TEntry* Entries() const { return reinterpret_cast<const TEntry*>(this + 1); }

  static TSwSliceBlock* Make(int capacity) {
    void* memory = ::operator new(sizeof(TSwSliceBlock) + static_cast<size_t>(capacity) * sizeof(TEntry));
    auto* block = new (memory) TSwSliceBlock;
    block->Capacity = static_cast<uint8_t>(capacity);
    return block;
  }

  TSwValue Value(int index) const {
    const TEntry& entry = Entries()[index];
    TSwValue value;
    value.Kinds = SwSliceKinds;
    value.Int = entry.Offset;
    value.Frac = entry.Length;
    if (entry.StreamSlot() == 0) value.Kinds &= static_cast<TSwTypes>(~SwKind(ltObj));
    else value.Obj = Streams[entry.StreamSlot() - 1];
    return value;
  }

  int IndexOf(const WideString* nameId) const {
    for (int i = 0; i < Count; ++i)
      if (Entries()[i].Name().Id() == nameId) return i;
    return -1;
  }
};

static_assert(sizeof(TSwSliceBlock) == SwSliceStorageBytes(0), "SwSliceStorageBytes counts a 24-byte header");

void TSwSliceBlockFree::operator()(TSwSliceBlock* block) const {
  bool embedded = block->Embedded;
  block->~TSwSliceBlock();
  if (!embedded) ::operator delete(block);
}

namespace {

bool FitsSliceBlock(const TSwValue& value) {
  constexpr TSwTypes withoutStream = SwSliceKinds & static_cast<TSwTypes>(~SwKind(ltObj));
  if (value.HasStrings() || value.Bool) return false;
  return value.Kinds == SwSliceKinds || (value.Kinds == withoutStream && value.Obj == nullptr);
}

// The stream slot of `value` in the block (taking a free one if need be), or -1 when the block
// already holds two other streams.
int StreamSlotFor(TSwSliceBlock& block, const TSwValue& value) {
  if (!value.Has(ltObj)) return 0;
  bool used[2] = {false, false};
  for (int i = 0; i < block.Count; ++i)
    if (int slot = block.Entries()[i].StreamSlot()) used[slot - 1] = true;
  for (int s = 0; s < 2; ++s)
    if (used[s] && block.Streams[s] == value.Obj) return s + 1;
  for (int s = 0; s < 2; ++s)
    if (!used[s]) {
      block.Streams[s] = value.Obj;
      return s + 1;
    }
  return -1;
}

// Whether the names ascend and each may be a key. Result nodes set the same few runs of names
// over and over, so a run found good is remembered by its names' interned addresses, which stay
// for the life of the process.
bool NamesAscendAsKeys(std::span<const TSwNamedSlice> values) {
  struct TRun {
    size_t Count = 0;
    const WideString* Ids[TSwSliceBlock::MaxCount];
  };
  thread_local TRun remembered[4];
  thread_local int next = 0;
  auto sameNames = [&](const TRun& run) {
    return run.Count == values.size() &&
           std::equal(
               values.begin(), values.end(), run.Ids,
               [](const TSwNamedSlice& v, const WideString* id) { return v.Name.Id() == id; });
  };
  if (std::any_of(std::begin(remembered), std::end(remembered), sameNames)) return true;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].Name.Text().find(TSwHash::Separator) != WideString::npos) return false;
    if (i > 0 && !(values[i - 1].Name.Text() < values[i].Name.Text())) return false;
  }
  TRun& run = remembered[next];
  next = (next + 1) % static_cast<int>(std::size(remembered));
  run.Count = values.size();
  for (size_t i = 0; i < values.size(); ++i) run.Ids[i] = values[i].Name.Id();
  return true;
}

}  // namespace

TSwSingleNode::~TSwSingleNode() = default;

TSwProperties& TSwSingleNode::Properties() {
  if (!mProperties) MoveSlicesToBag();
  return *mProperties;
}

TSwProperties* TSwSingleNode::PropertiesIfAny() const {
  if (mSlices && mSlices->Count > 0) MoveSlicesToBag();
  return mProperties.get();
}

void TSwSingleNode::MoveSlicesToBag() const {
  auto bag = std::make_unique<TSwProperties>();
  if (mSlices)
    for (int i = 0; i < mSlices->Count; ++i) bag->AddValue(mSlices->Entries()[i].Name(), mSlices->Value(i));
  mProperties = std::move(bag);
  mSlices.reset();
}

void TSwSingleNode::UseSliceStorage(void* storage, int capacity) {
  if (mSlices || mProperties || capacity <= 0 || capacity > TSwSliceBlock::MaxCount)
    SwRaise<EInvalidArgument>("%s cannot take slice storage for %d slices now.", this, capacity);
  auto* block = new (storage) TSwSliceBlock;
  block->Capacity = static_cast<uint8_t>(capacity);
  block->Embedded = true;
  mSlices.reset(block);
}

void TSwSingleNode::ReserveValues(int count) {
  if (mProperties || count <= 0) return;
  int have = mSlices ? mSlices->Count : 0;
  int wanted = std::min(have + count, TSwSliceBlock::MaxCount);
  if (mSlices && mSlices->Capacity >= wanted) return;
  GrowSlices(wanted);
}

void TSwSingleNode::GrowSlices(int capacity) const {
  TSwSliceBlock* grown = TSwSliceBlock::Make(capacity);
  if (mSlices) {
    grown->Count = mSlices->Count;
    std::copy_n(mSlices->Streams, 2, grown->Streams);
    std::copy_n(mSlices->Entries(), mSlices->Count, grown->Entries());
  }
  mSlices.reset(grown);
}

void TSwSingleNode::SetValue(TSwName name, const TSwValue& value) {
  if (mProperties || !FitsSliceBlock(value) || name.Text().find(TSwHash::Separator) != WideString::npos) {
    Properties().AddValue(name, value);
    return;
  }
  if (!mSlices) GrowSlices(2);
  TSwSliceBlock* block = mSlices.get();
  int slot = StreamSlotFor(*block, value);
  int index = block->IndexOf(name.Id());
  if (slot < 0 || (index < 0 && block->Count == TSwSliceBlock::MaxCount)) {
    Properties().AddValue(name, value);
    return;
  }
  if (index < 0) {
    if (block->Count == block->Capacity) {
      GrowSlices(block->Count < 6 ? block->Count + 2 : TSwSliceBlock::MaxCount);
      block = mSlices.get();
    }
    TSwSliceBlock::TEntry* entries = block->Entries();
    index = block->Count;
    while (index > 0 && name.Text() < entries[index - 1].Name().Text()) {
      entries[index] = entries[index - 1];
      --index;
    }
    ++block->Count;
  }
  block->Entries()[index] = {reinterpret_cast<uintptr_t>(name.Id()) | static_cast<uintptr_t>(slot), value.Int,
                             value.Frac};
}

void TSwSingleNode::SetSlices(std::span<const TSwNamedSlice> slices) {
  if (FillEmptySliceBlock(slices)) return;
  if (!mProperties) ReserveValues(static_cast<int>(slices.size()));
  for (const TSwNamedSlice& each : slices)
    SetValue(each.Name, TSwValue::OfSlice(each.Offset, each.Length, each.Stream));
}

// Writes the slices straight into an empty block when each would end up where SetValue puts
// it: names ascending and allowed as keys, at most two streams. False otherwise, having changed
// nothing.
bool TSwSingleNode::FillEmptySliceBlock(std::span<const TSwNamedSlice> slices) {
  const int count = static_cast<int>(slices.size());
  if (mProperties || count == 0 || count > TSwSliceBlock::MaxCount ||
      (mSlices && mSlices->Count > 0) || !NamesAscendAsKeys(slices))
    return false;
  // Every slice has a stream slot, a null stream included, as for a value from OfSlice.
  TSwObject* streams[2] = {};
  int streamCount = 0;
  uint8_t slots[TSwSliceBlock::MaxCount];
  for (int i = 0; i < count; ++i) {
    int slot = 0;
    while (slot < streamCount && streams[slot] != slices[i].Stream) ++slot;
    if (slot == streamCount) {
      if (streamCount == 2) return false;
      streams[streamCount++] = slices[i].Stream;
    }
    slots[i] = static_cast<uint8_t>(slot + 1);
  }
  if (!mSlices || mSlices->Capacity < count) GrowSlices(count);
  TSwSliceBlock& block = *mSlices;
  std::copy_n(streams, 2, block.Streams);
  TSwSliceBlock::TEntry* entries = block.Entries();
  for (int i = 0; i < count; ++i)
    entries[i] = {reinterpret_cast<uintptr_t>(slices[i].Name.Id()) | slots[i], slices[i].Offset,
                  static_cast<double>(slices[i].Length)};
  block.Count = static_cast<uint8_t>(count);
  return true;
}

bool TSwSingleNode::FindValue(const WideString& name, TSwValue& value) const {
  if (mSlices) {
    int index = mSlices->IndexOf(TSwName::Lookup(name));
    if (index < 0) return false;
    value = mSlices->Value(index);
    return true;
  }
  if (!mProperties) return false;
  const TSwProperty* property = mProperties->Find(name);
  if (!property) return false;
  value = property->Value();
  return true;
}

int TSwSingleNode::PropertyCount() const {
  if (mSlices) return mSlices->Count;
  return mProperties ? mProperties->Count() : 0;
}

void TSwSingleNode::CheckPropertyIndex(int index) const {
  if (index < 0 || index >= PropertyCount())
    SwRaise<EInvalidArgument>("Property index %d is out of range on %s (%d properties).", index, this, PropertyCount());
}

TSwName TSwSingleNode::PropertyName(int index) const {
  CheckPropertyIndex(index);
  if (mSlices) return mSlices->Entries()[index].Name();
  return mProperties->KeyName(index);
}

TSwValue TSwSingleNode::PropertyValue(int index) const {
  CheckPropertyIndex(index);
  if (mSlices) return mSlices->Value(index);
  const TSwProperty* property = mProperties->Property(index);
  return property ? property->Value() : TSwValue();
}

TSwCallbacks& TSwSingleNode::Callbacks() {
  if (!mCallbacks) mCallbacks = std::make_unique<TSwCallbacks>();
  return *mCallbacks;
}

bool TSwSingleNode::HasListeners(std::u16string_view event) const {
  return mCallbacks && mCallbacks->Has(WideString(event));
}

void TSwSingleNode::DeliverEvent(std::u16string_view event, TSwArgs args) {
  if (!HasListeners(event)) return;
  for (const TSwListener& listener : mCallbacks->Listeners(WideString(event)))
    if (listener(this, event, args)) return;
}

std::string TSwSingleNode::Description() const {
  std::string out = TSwObject::Description() + " '" + WideToUtf8(mName.Text()) + "'";
  out += fmt::format(" props={} listeners={}", PropertyCount(),
                     mCallbacks ? mCallbacks->Count() : 0);
  if (mProperties) {
    int source = mProperties->IndexOf(u"source");
    if (source >= 0) out += " source" + mProperties->Property(source)->Value().DescriptionText();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------

TSwTreeNode* TSwTreeNodeChildren::Node(int index) const { return static_cast<TSwTreeNode*>(Object(index)); }

void TSwTreeNodeChildren::Changed(const TSwHashChange& change) {
  switch (change.Kind) {
    case TSwHashChange::Added: {
      TSwTreeNode* child = Node(change.Index);
      const TSwVarRec args[] = {TSwVarRec::OfObject(nullptr), TSwVarRec::OfObject(mOwner)};
      child->DeliverEvent(u"ad", args);
      break;
    }
    case TSwHashChange::Removing: {
      TSwTreeNode* child = static_cast<TSwTreeNode*>(change.OldObject);
      const TSwVarRec args[] = {TSwVarRec::OfObject(mOwner), TSwVarRec::OfObject(nullptr)};
      if (child) child->DeliverEvent(u"rm", args);
      break;
    }
    case TSwHashChange::ObjectChanged:
      if (!change.NewObject && change.OldObject) {
        const TSwVarRec args[] = {TSwVarRec::OfObject(mOwner), TSwVarRec::OfObject(nullptr)};
        static_cast<TSwTreeNode*>(change.OldObject)->DeliverEvent(u"rm", args);
      }
      break;
    case TSwHashChange::KeyChanged: {
      TSwTreeNode* child = Node(change.Index);
      const TSwVarRec args[] = {TSwVarRec::OfText(child->Name()), TSwVarRec::OfText(*change.NewKey)};
      child->DeliverEvent(u"skey", args);
      break;
    }
    default:
      break;
  }
  TSwNotifyingHash::Changed(change);
}

// A child that leaves the map keeps its parent link until it is freed or placed again, so that
// free notifications still see it; it must not detach itself a second time.
void TSwTreeNodeChildren::Releasing(TSwObject* object) { static_cast<TSwTreeNode*>(object)->mReleased = true; }

// ---------------------------------------------------------------------------------------------

TSwTreeNode::TSwTreeNode(TSwName name) : TSwSingleNode(name) {}

namespace {
// A node frees its children in its destructor. Beyond this depth of nested destructors the
// children wait, detached, in a list that the outermost destructor works off, so that freeing
// a tree of any depth takes bounded stack.
constexpr int kMaxNestedFrees = 256;
thread_local int tNestedFrees = 0;
thread_local std::vector<std::unique_ptr<TSwObject>>* tDeferredFrees = nullptr;

// Trees that have an observer, in the whole process. While there are none, a change does not
// look for its tree's root, which keeps building a result tree free of the observers' cost.
std::atomic<int> gObservedTrees{0};
}  // namespace

TSwTreeNode::~TSwTreeNode() {
  NotifyFree();  // listeners still see a whole node with its parent and name
  if (!mParent) SetObserver(nullptr);
  if (mChildren) {
    std::vector<std::unique_ptr<TSwObject>> deferred;
    const bool outermost = tDeferredFrees == nullptr;
    if (outermost) tDeferredFrees = &deferred;
    if (tNestedFrees >= kMaxNestedFrees) {
      // Last child first, so that taking from the back of the list frees the first child first.
      for (int i = mChildren->Count() - 1; i >= 0; --i) {
        std::unique_ptr<TSwObject> child = mChildren->Extract(i);
        static_cast<TSwTreeNode*>(child.get())->mParent = nullptr;
        tDeferredFrees->push_back(std::move(child));
      }
    } else {
      ++tNestedFrees;
      mChildren->DeleteAll(u"*");
      --tNestedFrees;
    }
    if (outermost) {
      while (!deferred.empty()) {
        std::unique_ptr<TSwObject> next = std::move(deferred.back());
        deferred.pop_back();
        next.reset();
      }
      tDeferredFrees = nullptr;
    }
  }
  if (mParent && !mReleased) {
    // Detach without freeing: whoever deletes us is already doing that.
    TSwTreeObserver* observer = Observer();
    const int index = IndexInParent();
    if (observer) observer->ChildRemoving(mParent, index);
    mParent->mChildren->Extract(index).release();
    if (observer) observer->ChildRemoved(mParent, index);
  }
}

std::unique_ptr<TSwTreeNode> TSwTreeNode::CreateChild(TSwName name) const {
  return std::make_unique<TSwTreeNode>(name);
}

TSwTreeNode* TSwTreeNode::Root() {
  TSwTreeNode* node = this;
  while (node->mParent) node = node->mParent;
  return node;
}

int TSwTreeNode::IndexInParent() const {
  if (!mParent) return -1;
  if (mParent->mChildren) {
    const TSwTreeNodeChildren& siblings = *mParent->mChildren;
    // The last child first: a run's rollback removes its nodes newest first, each then the last
    // of its parent, which spares walking all its namesakes.
    const int last = siblings.Count() - 1;
    if (last >= 0 && siblings.Object(last) == this) return last;
    TSwHashFind state = siblings.FindFirst(mName);
    for (int i = siblings.FindNext(state); i >= 0; i = siblings.FindNext(state))
      if (siblings.Object(i) == this) return i;
  }
  SwRaise<ESwBrokenNodeRelationship>("Parent %s is indicated to contain the %s but it turned out to be not so.",
                                     mParent, this);
}

TSwTreeNode* TSwTreeNode::Child(int index) const {
  if (!mChildren || index < 0 || index >= mChildren->Count())
    SwRaise<ESwTreeNode>("%s: child index %d out of bounds (%d children).", this, index, ChildCount());
  return mChildren->Node(index);
}

TSwTreeNode* TSwTreeNode::FindChild(const WideString& name) const {
  if (!mChildren) return nullptr;
  int index = mChildren->IndexOf(name);
  return index < 0 ? nullptr : mChildren->Node(index);
}

TSwTreeNode* TSwTreeNode::LastChild(const WideString& name) const {
  if (!mChildren) return nullptr;
  int last = mChildren->LastIndexOf(name);
  return last < 0 ? nullptr : mChildren->Node(last);
}

TSwTreeNode* TSwTreeNode::LastChildNamed(TSwName name) const {
  if (!mChildren) return nullptr;
  int last = mChildren->LastIndexOfName(name);
  return last < 0 ? nullptr : mChildren->Node(last);
}

TSwTreeNodeChildren& TSwTreeNode::Children() {
  if (!mChildren) mChildren = std::make_unique<TSwTreeNodeChildren>(this);
  return *mChildren;
}

TSwTreeNode* TSwTreeNode::AddChild(TSwName name) {
  std::unique_ptr<TSwTreeNode> child = CreateChild(name);
  TSwTreeNode* added = child.get();
  added->mParent = this;
  // Until the map holds it, a refused child (a bad name) must not try to detach itself.
  added->mReleased = true;
  TSwTreeObserver* observer = Observer();
  const int index = ChildCount();
  if (observer) observer->ChildInserting(this, index);
  Children().Add(name, {}, std::move(child));
  added->mReleased = false;
  if (observer) observer->ChildInserted(this, index);
  return added;
}

void TSwTreeNode::MoveTo(TSwTreeNode* newParent) { DoMove(newParent, nullptr, -1, false); }

void TSwTreeNode::MoveNextTo(TSwTreeNode* sibling, bool before) {
  DoMove(sibling ? sibling->mParent : nullptr, sibling, -1, before);
}

void TSwTreeNode::MoveToIndex(TSwTreeNode* newParent, int index) { DoMove(newParent, nullptr, std::max(index, 0), false); }

void TSwTreeNode::DoMove(TSwTreeNode* newParent, TSwTreeNode* sibling, int index, bool before) {
  if (!newParent) SwRaise<ESwMakingNodeParentNil>("Attempted to move %s to nil parent.", this);
  if (newParent == this) SwRaise<ESwMakingNodeSelfChild>("Attempted to move %s to its own children.", this);
  if (IsAncestorOf(newParent))
    SwRaise<ESwMakingLoopingTree>("Attempted to create recursive tree by moving %s from %s to %s.", this, mParent,
                                  newParent);
  if (sibling == this) return;  // next to itself: already there
  if (newParent == mParent && newParent->ChildCount() < 2) {
    if (newParent->ChildCount() == 1 && !sibling) return;
    SwRaise<ESwBrokenNodeRelationship>("Parent %s is indicated to contain the %s but it turned out to be not so.",
                                       newParent, this);
  }
  if (sibling) sibling->IndexInParent();  // a broken sibling fails before anything moves
  TSwTreeNode* oldParent = mParent;
  const int oldIndex = oldParent ? IndexInParent() : -1;
  // Where the node will stand: counted among the new siblings once it has left its place.
  TSwTreeNodeChildren& siblings = newParent->Children();
  int at = siblings.Count() - (oldParent == newParent ? 1 : 0);
  if (sibling) {
    at = sibling->IndexInParent() + (before ? 0 : 1);
    if (oldParent == newParent && oldIndex < at) --at;
  } else if (index >= 0) {
    at = std::min(index, at);
  }
  TSwTreeObserver* oldObserver = oldParent ? Observer() : nullptr;
  TSwTreeObserver* newObserver = newParent->Observer();
  const bool sameTree = oldParent && RootOf() == newParent->RootOf();
  if (sameTree) {
    if (newObserver) newObserver->ChildMoving(this, newParent, at);
  } else {
    if (oldObserver) oldObserver->ChildRemoving(oldParent, oldIndex);
    if (newObserver) newObserver->ChildInserting(newParent, at);
  }
  std::unique_ptr<TSwObject> self;
  if (oldParent) {
    self = oldParent->mChildren->Extract(oldIndex);
  } else {
    SetObserver(nullptr);  // a root moving in: its tree is now part of another
    self.reset(this);      // and its new parent owns it from now on
  }
  mParent = newParent;
  mReleased = false;
  siblings.Insert(at, mName, {}, std::move(self));
  if (sameTree) {
    if (newObserver) newObserver->ChildMoved(this);
  } else {
    if (oldObserver) oldObserver->ChildRemoved(oldParent, oldIndex);
    if (newObserver) newObserver->ChildInserted(newParent, at);
  }
}

void TSwTreeNode::Remove() {
  if (!mParent) SwRaise<ESwRemovingTreeRoot>("Attempted to remove tree root %s.", this);
  TSwTreeObserver* observer = Observer();
  TSwTreeNode* parent = mParent;
  const int index = IndexInParent();
  if (observer) observer->ChildRemoving(parent, index);
  parent->mChildren->Delete(index);
  if (observer) observer->ChildRemoved(parent, index);
}

void TSwTreeNode::Rename(TSwName newName) {
  if (!mParent) {
    mName = newName;
    return;
  }
  int index = IndexInParent();
  TSwTreeObserver* observer = Observer();
  if (observer) observer->NodeRenaming(this, newName);
  mName = newName;
  mParent->mChildren->SetKey(index, newName);
  if (observer) observer->NodeRenamed(this);
}

const TSwTreeNode* TSwTreeNode::RootOf() const {
  const TSwTreeNode* node = this;
  while (node->mParent) node = node->mParent;
  return node;
}

void TSwTreeNode::SetObserver(TSwTreeObserver* observer) {
  if (mParent) SwRaise<ESwObservingNonRoot>("Attempted to observe %s, which is not a tree root.", this);
  TSwTreeObserver* previous = mChildren ? mChildren->mObserver : nullptr;
  if (previous == observer) return;
  Children().mObserver = observer;
  if (!previous) gObservedTrees.fetch_add(1, std::memory_order_relaxed);
  if (!observer) gObservedTrees.fetch_sub(1, std::memory_order_relaxed);
}

TSwTreeObserver* TSwTreeNode::Observer() const {
  if (gObservedTrees.load(std::memory_order_relaxed) == 0) return nullptr;
  const TSwTreeNodeChildren* rootChildren = RootOf()->mChildren.get();
  return rootChildren ? rootChildren->mObserver : nullptr;
}

std::vector<TSwTreeNode*> TSwTreeNode::Parents() const {
  std::vector<TSwTreeNode*> out;
  for (TSwTreeNode* p = mParent; p; p = p->mParent) out.push_back(p);
  return out;
}

bool TSwTreeNode::IsAncestorOf(const TSwTreeNode* node) const {
  for (const TSwTreeNode* p = node ? node->mParent : nullptr; p; p = p->mParent)
    if (p == this) return true;
  return false;
}

WideString TSwTreeNode::PathTo(const TSwTreeNode* ancestor, const WideString& separator) const {
  WideString path;
  const TSwTreeNode* node = this;
  for (; node && node != ancestor; node = node->mParent) path = separator + node->Name() + path;
  if (node != ancestor)
    SwRaise<ESwNodeNotPartOfPath>("Parents of %s do not contain required %s.", this, ancestor);
  if (!IsRoot() && this != ancestor) return path.substr(separator.size());
  return separator;
}

std::string TSwTreeNode::Description() const {
  std::string out = TSwSingleNode::Description() + fmt::format(" children={}", ChildCount());
  return out + (mParent ? " child of... " + mParent->Description() : " ROOT!");
}

int64_t SwCountNodes(const TSwTreeNode* root) {
  int64_t count = 0;
  std::vector<const TSwTreeNode*> stack;
  if (root) stack.push_back(root);
  while (!stack.empty()) {
    const TSwTreeNode* node = stack.back();
    stack.pop_back();
    ++count;
    for (int i = 0; i < node->ChildCount(); ++i) stack.push_back(node->Child(i));
  }
  return count;
}

}  // namespace skeinwork
