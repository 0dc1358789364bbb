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

struct TSwSingleNode::TBagAndListeners {
  std::unique_ptr<TSwProperties> Properties;  // owned; null while the node has only listeners
  std::unique_ptr<TSwCallbacks> Callbacks;    // owned; null while nobody listens
};

TSwSingleNode::~TSwSingleNode() {
  if (TSwSliceBlock* block = Block()) TSwSliceBlockFree()(block);
  else delete Extras();
}

TSwSliceBlock* TSwSingleNode::Block() const {
  return (mStore & 1) ? reinterpret_cast<TSwSliceBlock*>(mStore & ~uintptr_t(1)) : nullptr;
}

TSwSingleNode::TBagAndListeners* TSwSingleNode::Extras() const {
  return (mStore & 1) ? nullptr : reinterpret_cast<TBagAndListeners*>(mStore);
}

TSwProperties* TSwSingleNode::Bag() const {
  TBagAndListeners* extras = Extras();
  return extras ? extras->Properties.get() : nullptr;
}

// Only for a node without a bag or listeners: the two never share the word with a block.
void TSwSingleNode::SetBlock(TSwSliceBlock* block) const {
  if (TSwSliceBlock* old = Block()) TSwSliceBlockFree()(old);
  static_assert(alignof(TSwSliceBlock) >= 2, "the low bit of a block's address tags it");
  mStore = block ? reinterpret_cast<uintptr_t>(block) | 1 : 0;
}

TSwSingleNode::TBagAndListeners& TSwSingleNode::MakeExtras() const {
  if (Block()) MoveSlicesToBag();
  if (!mStore) mStore = reinterpret_cast<uintptr_t>(new TBagAndListeners);
  return *Extras();
}

TSwName TSwSingleNode::PackedSliceName(int) const { SwRaise<EInvalidArgument>("%s packs no slices.", this); }
TSwValue TSwSingleNode::PackedSliceValue(int) const { SwRaise<EInvalidArgument>("%s packs no slices.", this); }

TSwProperties& TSwSingleNode::Properties() {
  if (!Bag()) MoveSlicesToBag();
  return *Bag();
}

TSwProperties* TSwSingleNode::PropertiesIfAny() const {
  TSwSliceBlock* block = Block();
  if ((block && block->Count > 0) || (!Bag() && PackedSliceCount() > 0)) MoveSlicesToBag();
  return Bag();
}

void TSwSingleNode::MoveSlicesToBag() const {
  auto bag = std::make_unique<TSwProperties>();
  if (TSwSliceBlock* block = Block()) {
    for (int i = 0; i < block->Count; ++i) bag->AddValue(block->Entries()[i].Name(), block->Value(i));
    SetBlock(nullptr);
  } else if (!Bag()) {
    const int packed = PackedSliceCount();
    for (int i = 0; i < packed; ++i) bag->AddValue(PackedSliceName(i), PackedSliceValue(i));
    if (packed > 0) const_cast<TSwSingleNode*>(this)->DropPackedSlices();
  }
  if (!mStore) mStore = reinterpret_cast<uintptr_t>(new TBagAndListeners);
  Extras()->Properties = std::move(bag);
}

void TSwSingleNode::UseSliceStorage(void* storage, int capacity) {
  if (mStore || PackedSliceCount() > 0 || capacity <= 0 || capacity > TSwSliceBlock::MaxCount)
    SwRaise<EInvalidArgument>("%s cannot take slice storage for %d slices now.", this, capacity);
  auto* block = new (storage) TSwSliceBlock;
  block->Capacity = static_cast<uint8_t>(capacity);
  block->Embedded = true;
  SetBlock(block);
}

void TSwSingleNode::ReserveValues(int count) {
  if (Extras() || PackedSliceCount() > 0 || count <= 0) return;
  TSwSliceBlock* block = Block();
  int have = block ? block->Count : 0;
  int wanted = std::min(have + count, TSwSliceBlock::MaxCount);
  if (block && block->Capacity >= wanted) return;
  GrowSlices(wanted);
}

void TSwSingleNode::GrowSlices(int capacity) const {
  TSwSliceBlock* grown = TSwSliceBlock::Make(capacity);
  if (TSwSliceBlock* block = Block()) {
    grown->Count = block->Count;
    std::copy_n(block->Streams, 2, grown->Streams);
    std::copy_n(block->Entries(), block->Count, grown->Entries());
  }
  SetBlock(grown);
}

void TSwSingleNode::SetValue(TSwName name, const TSwValue& value) {
  const bool fits = FitsSliceBlock(value) && name.Text().find(TSwHash::Separator) == WideString::npos;
  // A slice set on packed slices (a tree about to be saved drops their streams) keeps the node
  // compact: the packed ones move to the block first.
  if (const int count = PackedSliceCount(); fits && !Extras() && count > 0 && count <= TSwSliceBlock::MaxCount) {
    TSwNamedSlice slices[TSwSliceBlock::MaxCount];
    for (int i = 0; i < count; ++i) {
      const TSwValue packed = PackedSliceValue(i);
      slices[i] = {PackedSliceName(i), packed.Int, static_cast<int64_t>(packed.Frac), packed.Obj};
    }
    DropPackedSlices();
    ReserveValues(count);
    for (int i = 0; i < count; ++i)
      SetValue(slices[i].Name, TSwValue::OfSlice(slices[i].Offset, slices[i].Length, slices[i].Stream));
  }
  if (Extras() || PackedSliceCount() > 0 || !fits) {
    Properties().AddValue(name, value);
    return;
  }
  if (!Block()) GrowSlices(2);
  TSwSliceBlock* block = Block();
  int slot = StreamSlotFor(*block, value);
  int index = block->IndexOf(name.Id());
  if (slot < 0 || (index < 0 && block->Count == TSwSliceBlock::MaxCount)) {
    Properties().AddValue(name, value);
    return;
  }
  if (index < 0) {
    if (block->Count == block->Capacity) {
      GrowSlices(block->Count < 6 ? block->Count + 2 : TSwSliceBlock::MaxCount);
      block = Block();
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
  ReserveValues(static_cast<int>(slices.size()));
  for (const TSwNamedSlice& each : slices)
    SetValue(each.Name, TSwValue::OfSlice(each.Offset, each.Length, each.Stream));
}

// Writes the slices straight into an empty block when each would end up where SetValue puts
// it: names ascending and allowed as keys, at most two streams. False otherwise, having changed
// nothing.
bool TSwSingleNode::FillEmptySliceBlock(std::span<const TSwNamedSlice> slices) {
  const int count = static_cast<int>(slices.size());
  TSwSliceBlock* block = Block();
  if (Extras() || PackedSliceCount() > 0 || count == 0 || count > TSwSliceBlock::MaxCount ||
      (block && block->Count > 0) || !NamesAscendAsKeys(slices))
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
  if (!block || block->Capacity < count) GrowSlices(count);
  block = Block();
  std::copy_n(streams, 2, block->Streams);
  TSwSliceBlock::TEntry* entries = block->Entries();
  for (int i = 0; i < count; ++i)
    entries[i] = {reinterpret_cast<uintptr_t>(slices[i].Name.Id()) | slots[i], slices[i].Offset,
                  static_cast<double>(slices[i].Length)};
  block->Count = static_cast<uint8_t>(count);
  return true;
}

bool TSwSingleNode::FindValue(const WideString& name, TSwValue& value) const {
  if (TSwSliceBlock* block = Block()) {
    int index = block->IndexOf(TSwName::Lookup(name));
    if (index < 0) return false;
    value = block->Value(index);
    return true;
  }
  if (TSwProperties* bag = Bag()) {
    const TSwProperty* property = bag->Find(name);
    if (!property) return false;
    value = property->Value();
    return true;
  }
  const int packed = PackedSliceCount();
  if (packed == 0) return false;
  const WideString* id = TSwName::Lookup(name);
  for (int i = 0; i < packed; ++i)
    if (PackedSliceName(i).Id() == id) {
      value = PackedSliceValue(i);
      return true;
    }
  return false;
}

int TSwSingleNode::PropertyCount() const {
  if (TSwSliceBlock* block = Block()) return block->Count;
  if (TSwProperties* bag = Bag()) return bag->Count();
  return PackedSliceCount();
}

void TSwSingleNode::CheckPropertyIndex(int index) const {
  if (index < 0 || index >= PropertyCount())
    SwRaise<EInvalidArgument>("Property index %d is out of range on %s (%d properties).", index, this, PropertyCount());
}

// Each store checks the index against its own count: output reads every property of millions
// of nodes this way.
TSwName TSwSingleNode::PropertyName(int index) const {
  if (TSwSliceBlock* block = Block()) {
    if (index >= 0 && index < block->Count) return block->Entries()[index].Name();
  } else if (TSwProperties* bag = Bag()) {
    if (index >= 0 && index < bag->Count()) return bag->KeyName(index);
  } else if (index >= 0 && index < PackedSliceCount()) {
    return PackedSliceName(index);
  }
  CheckPropertyIndex(index);
  return {};
}

TSwValue TSwSingleNode::PropertyValue(int index) const {
  if (TSwSliceBlock* block = Block()) {
    if (index >= 0 && index < block->Count) return block->Value(index);
  } else if (TSwProperties* bag = Bag()) {
    if (index >= 0 && index < bag->Count()) {
      const TSwProperty* property = bag->Property(index);
      return property ? property->Value() : TSwValue();
    }
  } else if (index >= 0 && index < PackedSliceCount()) {
    return PackedSliceValue(index);
  }
  CheckPropertyIndex(index);
  return {};
}

TSwCallbacks& TSwSingleNode::Callbacks() {
  TBagAndListeners& extras = MakeExtras();
  if (!extras.Callbacks) extras.Callbacks = std::make_unique<TSwCallbacks>();
  return *extras.Callbacks;
}

bool TSwSingleNode::HasListeners(std::u16string_view event) const {
  TBagAndListeners* extras = Extras();
  return extras && extras->Callbacks && extras->Callbacks->Has(WideString(event));
}

void TSwSingleNode::DeliverEvent(std::u16string_view event, TSwArgs args) {
  if (!HasListeners(event)) return;
  for (const TSwListener& listener : Extras()->Callbacks->Listeners(WideString(event)))
    if (listener(this, event, args)) return;
}

std::string TSwSingleNode::Description() const {
  std::string out = TSwObject::Description() + " '" + WideToUtf8(mName.Text()) + "'";
  TBagAndListeners* extras = Extras();
  out += fmt::format(" props={} listeners={}", PropertyCount(),
                     extras && extras->Callbacks ? extras->Callbacks->Count() : 0);
  if (TSwProperties* bag = Bag()) {
    int source = bag->IndexOf(u"source");
    if (source >= 0) out += " source" + bag->Property(source)->Value().DescriptionText();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------

TSwTreeNode* TSwTreeNodeChildren::Node(int index) const { return static_cast<TSwTreeNode*>(Object(index)); }

void TSwTreeNodeChildren::Changed(const TSwHashChange& change) {
  switch (change.Kind) {
    case TSwHashChange::Added: {
      // Most nodes have no listeners: their events are not even built.
      TSwTreeNode* child = Node(change.Index);
      if (!child->MayHaveListeners()) break;
      const TSwVarRec args[] = {TSwVarRec::OfObject(nullptr), TSwVarRec::OfObject(mOwner)};
      child->DeliverEvent(u"ad", args);
      break;
    }
    case TSwHashChange::Removing: {
      TSwTreeNode* child = static_cast<TSwTreeNode*>(change.OldObject);
      if (!child || !child->MayHaveListeners()) break;
      const TSwVarRec args[] = {TSwVarRec::OfObject(mOwner), TSwVarRec::OfObject(nullptr)};
      child->DeliverEvent(u"rm", args);
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
void TSwTreeNodeChildren::Releasing(TSwObject* object) { static_cast<TSwTreeNode*>(object)->SetReleased(true); }

// ---------------------------------------------------------------------------------------------

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

TSwTreeNode::~TSwTreeNode() { FreeSubtreeAndDetach(); }

void TSwTreeNode::FreeSubtreeAndDetach() {
  NotifyFree();  // listeners still see a whole node with its parent and name
  if (!ParentLink()) SetObserver(nullptr);
  // An empty map has nothing to announce: a second call, and a node whose children all went,
  // pass straight on.
  if (mChildren && mChildren->Count() > 0) {
    std::vector<std::unique_ptr<TSwObject>> deferred;
    const bool outermost = tDeferredFrees == nullptr;
    if (outermost) tDeferredFrees = &deferred;
    if (tNestedFrees >= kMaxNestedFrees) {
      // Last child first, so that taking from the back of the list frees the first child first.
      for (int i = mChildren->Count() - 1; i >= 0; --i) {
        std::unique_ptr<TSwObject> child = mChildren->Extract(i);
        static_cast<TSwTreeNode*>(child.get())->SetParentLink(nullptr);
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
  if (ParentLink() && !Released()) {
    // Detach without freeing: whoever deletes us is already doing that.
    TSwTreeObserver* observer = Observer();
    const int index = IndexInParent();
    if (observer) observer->ChildRemoving(ParentLink(), index);
    ParentLink()->mChildren->Extract(index).release();
    if (observer) observer->ChildRemoved(ParentLink(), index);
  }
}

std::unique_ptr<TSwTreeNode> TSwTreeNode::CreateChild(TSwName name) const {
  return std::make_unique<TSwTreeNode>(name);
}

TSwTreeNode* TSwTreeNode::Root() {
  TSwTreeNode* node = this;
  while (node->ParentLink()) node = node->ParentLink();
  return node;
}

int TSwTreeNode::IndexInParent() const {
  if (!ParentLink()) return -1;
  if (ParentLink()->mChildren) {
    const TSwTreeNodeChildren& siblings = *ParentLink()->mChildren;
    // The last child first: a run's rollback removes its nodes newest first, each then the last
    // of its parent, which spares walking all its namesakes.
    const int last = siblings.Count() - 1;
    if (last >= 0 && siblings.Object(last) == this) return last;
    TSwHashFind state = siblings.FindFirst(mName);
    for (int i = siblings.FindNext(state); i >= 0; i = siblings.FindNext(state))
      if (siblings.Object(i) == this) return i;
  }
  SwRaise<ESwBrokenNodeRelationship>("Parent %s is indicated to contain the %s but it turned out to be not so.",
                                     ParentLink(), this);
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

TSwTreeNodeChildren& TSwTreeNode::MakeChildren() {
  mChildren = std::make_unique<TSwTreeNodeChildren>(this);
  return *mChildren;
}

TSwTreeNode* TSwTreeNode::AddChild(TSwName name) { return AppendNewChild(CreateChild(name)); }

TSwTreeNode* TSwTreeNode::AddChild(TSwValidKey name) {
  std::unique_ptr<TSwTreeNode> child = CreateChild(name.Name());
  TSwTreeNodeChildren& children = Children();
  // Nobody hears of it: the change is not even described.
  if (gObservedTrees.load(std::memory_order_relaxed) == 0 && !children.MayHaveListeners() &&
      !child->MayHaveListeners()) {
    TSwTreeNode* added = child.get();
    added->mParentAndReleased = reinterpret_cast<uintptr_t>(this) | 1;  // released until the map holds it
    children.AppendUnheard(name.Name(), std::move(child));
    added->SetReleased(false);
    return added;
  }
  return AppendNewChild(std::move(child));
}

// Appends a child the factory made and tells whoever listens.
TSwTreeNode* TSwTreeNode::AppendNewChild(std::unique_ptr<TSwTreeNode> child) {
  TSwTreeNode* added = child.get();
  added->SetParentLink(this);
  // Until the map holds it, a refused child (a bad name) must not try to detach itself.
  added->SetReleased(true);
  TSwTreeObserver* observer = Observer();
  TSwTreeNodeChildren& children = Children();
  const int index = children.Count();
  if (observer) observer->ChildInserting(this, index);
  children.Add(added->NameId(), {}, std::move(child));
  added->SetReleased(false);
  if (observer) observer->ChildInserted(this, index);
  return added;
}

void TSwTreeNode::MoveTo(TSwTreeNode* newParent) { DoMove(newParent, nullptr, -1, false); }

void TSwTreeNode::MoveNextTo(TSwTreeNode* sibling, bool before) {
  DoMove(sibling ? sibling->ParentLink() : nullptr, sibling, -1, before);
}

void TSwTreeNode::MoveToIndex(TSwTreeNode* newParent, int index) { DoMove(newParent, nullptr, std::max(index, 0), false); }

void TSwTreeNode::DoMove(TSwTreeNode* newParent, TSwTreeNode* sibling, int index, bool before) {
  if (!newParent) SwRaise<ESwMakingNodeParentNil>("Attempted to move %s to nil parent.", this);
  if (newParent == this) SwRaise<ESwMakingNodeSelfChild>("Attempted to move %s to its own children.", this);
  if (IsAncestorOf(newParent))
    SwRaise<ESwMakingLoopingTree>("Attempted to create recursive tree by moving %s from %s to %s.", this, ParentLink(),
                                  newParent);
  if (sibling == this) return;  // next to itself: already there
  if (newParent == ParentLink() && newParent->ChildCount() < 2) {
    if (newParent->ChildCount() == 1 && !sibling) return;
    SwRaise<ESwBrokenNodeRelationship>("Parent %s is indicated to contain the %s but it turned out to be not so.",
                                       newParent, this);
  }
  if (sibling) sibling->IndexInParent();  // a broken sibling fails before anything moves
  TSwTreeNode* oldParent = ParentLink();
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
  SetParentLink(newParent);
  SetReleased(false);
  siblings.Insert(at, mName, {}, std::move(self));
  if (sameTree) {
    if (newObserver) newObserver->ChildMoved(this);
  } else {
    if (oldObserver) oldObserver->ChildRemoved(oldParent, oldIndex);
    if (newObserver) newObserver->ChildInserted(newParent, at);
  }
}

void TSwTreeNode::Remove() {
  if (!ParentLink()) SwRaise<ESwRemovingTreeRoot>("Attempted to remove tree root %s.", this);
  TSwTreeObserver* observer = Observer();
  TSwTreeNode* parent = ParentLink();
  const int index = IndexInParent();
  if (observer) observer->ChildRemoving(parent, index);
  parent->mChildren->Delete(index);
  if (observer) observer->ChildRemoved(parent, index);
}

void TSwTreeNode::Rename(TSwName newName) {
  if (!ParentLink()) {
    mName = newName;
    return;
  }
  int index = IndexInParent();
  TSwTreeObserver* observer = Observer();
  if (observer) observer->NodeRenaming(this, newName);
  mName = newName;
  ParentLink()->mChildren->SetKey(index, newName);
  if (observer) observer->NodeRenamed(this);
}

const TSwTreeNode* TSwTreeNode::RootOf() const {
  const TSwTreeNode* node = this;
  while (node->ParentLink()) node = node->ParentLink();
  return node;
}

void TSwTreeNode::SetObserver(TSwTreeObserver* observer) {
  if (ParentLink()) SwRaise<ESwObservingNonRoot>("Attempted to observe %s, which is not a tree root.", this);
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
  for (TSwTreeNode* p = ParentLink(); p; p = p->ParentLink()) out.push_back(p);
  return out;
}

bool TSwTreeNode::IsAncestorOf(const TSwTreeNode* node) const {
  for (const TSwTreeNode* p = node ? node->ParentLink() : nullptr; p; p = p->ParentLink())
    if (p == this) return true;
  return false;
}

WideString TSwTreeNode::PathTo(const TSwTreeNode* ancestor, const WideString& separator) const {
  WideString path;
  const TSwTreeNode* node = this;
  for (; node && node != ancestor; node = node->ParentLink()) path = separator + node->Name() + path;
  if (node != ancestor)
    SwRaise<ESwNodeNotPartOfPath>("Parents of %s do not contain required %s.", this, ancestor);
  if (!IsRoot() && this != ancestor) return path.substr(separator.size());
  return separator;
}

std::string TSwTreeNode::Description() const {
  std::string out = TSwSingleNode::Description() + fmt::format(" children={}", ChildCount());
  return out + (ParentLink() ? " child of... " + ParentLink()->Description() : " ROOT!");
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
