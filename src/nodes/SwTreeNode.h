// SwTreeNode: the system's one tree type, its children and the observers of its changes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwHashes.h"
#include "SwValues.h"

namespace skeinwork {

SW_EXCEPTION(ESwNode, ESkeinwork);
SW_EXCEPTION(ESwTreeNode, ESwNode);
SW_EXCEPTION(ESwRemovingTreeRoot, ESwTreeNode);
SW_EXCEPTION(ESwObservingNonRoot, ESwTreeNode);
SW_EXCEPTION(ESwBrokenNodeRelationship, ESwTreeNode);
SW_EXCEPTION(ESwMakingNodeParentNil, ESwTreeNode);
SW_EXCEPTION(ESwMakingNodeSelfChild, ESwTreeNode);
SW_EXCEPTION(ESwMakingLoopingTree, ESwTreeNode);
SW_EXCEPTION(ESwNodeNotPartOfPath, ESwTreeNode);
SW_EXCEPTION(ESwFirstOnPathWithExpr, ESwTreeNode);
SW_EXCEPTION(ESwInvalidParentPath, ESkeinwork);

// Where a node keeps stream slices before it has a property bag (see TSwSingleNode::SetValue).
struct TSwSliceBlock;
// Bytes a slice block for `capacity` slices takes: a header and 24 bytes a slice.
constexpr size_t SwSliceStorageBytes(int capacity) { return 24 + 24 * static_cast<size_t>(capacity); }
// A named stream slice, as TSwValue::OfSlice(Offset, Length, Stream) makes it.
struct TSwNamedSlice {
  TSwName Name;
  int64_t Offset;
  int64_t Length;
  TSwObject* Stream;
};
struct TSwSliceBlockFree {
  void operator()(TSwSliceBlock* block) const;
};

// A named node with properties and its own listeners; the bag and the listener list are made
// on first use, since most nodes of a large tree never need listeners.
//
// A result tree holds millions of nodes with six stream slices each, so a node that has no bag
// keeps its slices without one: either slices a subclass packs itself (a modelling result node
// derives its ranges, see PackedSliceCount) or, for slices set through SetValue, one compact
// block (24 bytes a slice, names shared). The node moves them into a full bag the moment
// anything needs one: Properties(), PropertiesIfAny(), a listener list, or a value that the
// compact forms cannot hold. Every form gives the same names, values and order through the
// accessors below.
class TSwSingleNode : public TSwObject {
 public:
  explicit TSwSingleNode(TSwName name) : mName(name) {}
  ~TSwSingleNode() override;

  const WideString& Name() const { return mName; }
  TSwName NameId() const { return mName; }
  TSwProperties& Properties();
  // The bag if the node has properties (made now from the compact forms if need be); null for
  // a node that never had a property.
  TSwProperties* PropertiesIfAny() const;
  // Whether the full bag exists already (its listeners then hear every change).
  bool HasPropertyBag() const { return Bag() != nullptr; }

  // Like Properties().AddValue, without making the bag for a stream slice.
  void SetValue(TSwName name, const TSwValue& value);
  // SetValue with each slice in turn. Slices in ascending name order on a node that has none
  // yet fill the compact block in one go.
  void SetSlices(std::span<const TSwNamedSlice> slices);
  // Makes room for `count` more slices in the compact block, saving regrowth when the caller
  // knows how many it will set.
  void ReserveValues(int count);
  // Copies the named property's value (a bag's "thn" listeners included); false if there is none.
  bool FindValue(const WideString& name, TSwValue& value) const;
  // The properties in bag order (sorted by name).
  int PropertyCount() const;
  TSwName PropertyName(int index) const;
  TSwValue PropertyValue(int index) const;

  TSwCallbacks& Callbacks();
  bool HasListeners(std::u16string_view event) const;
  // False when the node surely has no listeners, without a look-up: most nodes never have any.
  bool MayHaveListeners() const { return mStore != 0 && (mStore & 1) == 0; }
  // Delivers a node event to this node's listeners until one returns true.
  void DeliverEvent(std::u16string_view event, TSwArgs args);

  std::string Description() const override;

 protected:
  // Lets the node keep its first `capacity` slices in `storage` (SwSliceStorageBytes(capacity)
  // bytes, 8-aligned, living as long as the node), which spares a large tree one allocation per
  // node. Only for a node that has no properties yet.
  void UseSliceStorage(void* storage, int capacity);

  // Slices a subclass keeps in a form of its own, in ascending name order; they count as the
  // node's properties while it has no bag and no compact block. The node asks for them by
  // index and, when it makes its bag, copies them there and calls DropPackedSlices.
  virtual int PackedSliceCount() const { return 0; }
  virtual TSwName PackedSliceName(int index) const;
  virtual TSwValue PackedSliceValue(int index) const;
  virtual void DropPackedSlices() {}
  // Whether the node keeps properties in a bag or a compact block, where packed slices are not
  // looked for.
  bool HasBagOrBlock() const { return mStore != 0 && (Block() != nullptr || Bag() != nullptr); }

  TSwName mName;

 private:
  struct TBagAndListeners;
  TSwSliceBlock* Block() const;
  TBagAndListeners* Extras() const;
  TSwProperties* Bag() const;
  TBagAndListeners& MakeExtras() const;
  void SetBlock(TSwSliceBlock* block) const;
  bool FillEmptySliceBlock(std::span<const TSwNamedSlice> slices);
  void MoveSlicesToBag() const;
  void GrowSlices(int capacity) const;
  void CheckPropertyIndex(int index) const;

  // One word for what most nodes never need: null, a compact block (low bit set, owned), or the
  // bag and listener list (owned). A block and a bag never exist together. Reading can turn
  // the block into the bag, hence mutable.
  mutable uintptr_t mStore = 0;
};

class TSwTreeNode;

// Hears the structural changes of one tree before and after each happens, in the order an item
// model over the tree needs them (a view must learn of a row before it goes). Indexes are child
// indexes: `index` where the child is (before a removal) or will be (an insertion); a move names
// the node's place before and its index among the new parent's children after. A move between
// two trees reaches each tree's observer as a removal and an insertion. Only the tree node
// operations report; a caller that changes a children map directly bypasses the observer.
class TSwTreeObserver {
 public:
  virtual ~TSwTreeObserver() = default;
  virtual void ChildInserting(TSwTreeNode* /*parent*/, int /*index*/) {}
  virtual void ChildInserted(TSwTreeNode* /*parent*/, int /*index*/) {}
  virtual void ChildRemoving(TSwTreeNode* /*parent*/, int /*index*/) {}
  virtual void ChildRemoved(TSwTreeNode* /*parent*/, int /*index*/) {}
  virtual void ChildMoving(TSwTreeNode* /*node*/, TSwTreeNode* /*newParent*/, int /*newIndex*/) {}
  virtual void ChildMoved(TSwTreeNode* /*node*/) {}
  virtual void NodeRenaming(TSwTreeNode* /*node*/, TSwName /*newName*/) {}
  virtual void NodeRenamed(TSwTreeNode* /*node*/) {}
};

// The children of a node, in child order, keyed by their names; owns them. Turns its changes
// into "ad", "rm" and "skey" events on the child concerned before its own listeners hear them.
class TSwTreeNodeChildren : public TSwNotifyingHash {
 public:
  explicit TSwTreeNodeChildren(TSwTreeNode* owner) : mOwner(owner) {}
  TSwTreeNode* Owner() const { return mOwner; }
  TSwTreeNode* Node(int index) const;

 protected:
  void Changed(const TSwHashChange& change) override;
  void Releasing(TSwObject* object) override;

 private:
  friend class TSwTreeNode;
  TSwTreeNode* mOwner;
  TSwTreeObserver* mObserver = nullptr;  // not owned; set on a root's map only
};

class TSwTreeNode : public TSwSingleNode {
 public:
  explicit TSwTreeNode(TSwName name) : TSwSingleNode(name) {}
  ~TSwTreeNode() override;

  bool IsRoot() const { return ParentLink() == nullptr; }
  TSwTreeNode* Parent() const { return ParentLink(); }
  TSwTreeNode* Root();
  int IndexInParent() const;

  int ChildCount() const { return mChildren ? mChildren->Count() : 0; }
  TSwTreeNode* Child(int index) const;
  TSwTreeNode* FirstChild() const { return ChildCount() ? Child(0) : nullptr; }
  TSwTreeNode* FindChild(const WideString& name) const;
  TSwTreeNode* LastChild(const WideString& name) const;
  TSwTreeNode* LastChildNamed(TSwName name) const;
  int CountChildren(const WideString& name) const { return mChildren ? mChildren->Count(name) : 0; }
  // The children map, made on first use (listeners subscribe here).
  TSwTreeNodeChildren& Children() { return mChildren ? *mChildren : MakeChildren(); }
  TSwTreeNodeChildren* ChildrenIfAny() const { return mChildren.get(); }

  // A new node from the child factory, appended as the last child.
  TSwTreeNode* AddChild(TSwName name);
  // The same under a name checked once for many children (a run adds millions of them).
  TSwTreeNode* AddChild(TSwValidKey name);
  // Appends this node to the new parent's children. A root that moves in is owned by its new
  // parent from then on: its former holder must release it.
  void MoveTo(TSwTreeNode* newParent);
  // Puts this node just before (or after) a sibling-to-be, under the sibling's parent.
  void MoveNextTo(TSwTreeNode* sibling, bool before);
  // Puts this node at an index (clamped to the child count) among the new parent's children.
  void MoveToIndex(TSwTreeNode* newParent, int index);
  // Frees this node and its subtree; a root cannot be removed.
  void Remove();
  void Rename(TSwName newName);

  // Reports this tree's changes to `observer` (null: to nobody) until the root is freed or
  // moves into another tree; only a root takes an observer (ESwObservingNonRoot).
  void SetObserver(TSwTreeObserver* observer);
  // The observer of the tree this node belongs to, or null.
  TSwTreeObserver* Observer() const;

  // Ancestors, nearest first; empty for a root.
  std::vector<TSwTreeNode*> Parents() const;
  bool IsAncestorOf(const TSwTreeNode* node) const;
  bool IsSelfOrAncestorOf(const TSwTreeNode* node) const { return node == this || IsAncestorOf(node); }
  // Names from below `ancestor` down to this node joined by the separator (see tests).
  WideString PathTo(const TSwTreeNode* ancestor, const WideString& separator) const;
  // The first node a path without expressions names, or null.
  TSwTreeNode* FirstOnPath(const WideString& path);

  std::string Description() const override;

 protected:
  // Every operation that creates a child goes through here, so a descendant class makes
  // children of its own class.
  virtual std::unique_ptr<TSwTreeNode> CreateChild(TSwName name) const;
  // What the destructor does: on-free listeners, the subtree, leaving the parent. A subclass
  // whose properties live in its own members calls it first in its destructor, so that the
  // listeners and observers it reaches still read them; a second call does nothing.
  void FreeSubtreeAndDetach();

 private:
  friend class TSwTreeNodeChildren;
  TSwTreeNode* AppendNewChild(std::unique_ptr<TSwTreeNode> child);
  TSwTreeNodeChildren& MakeChildren();
  void DoMove(TSwTreeNode* newParent, TSwTreeNode* sibling, int index, bool before);
  const TSwTreeNode* RootOf() const;

  // The parent (not owned) and, in the low bit, whether the node has been taken out of the
  // parent's map, which no longer holds it: one word, as a large tree has millions of nodes.
  TSwTreeNode* ParentLink() const { return reinterpret_cast<TSwTreeNode*>(mParentAndReleased & ~uintptr_t(1)); }
  void SetParentLink(TSwTreeNode* parent) { mParentAndReleased = reinterpret_cast<uintptr_t>(parent) | (mParentAndReleased & 1); }
  bool Released() const { return (mParentAndReleased & 1) != 0; }
  void SetReleased(bool released) { mParentAndReleased = (mParentAndReleased & ~uintptr_t(1)) | (released ? 1 : 0); }

  uintptr_t mParentAndReleased = 0;
  std::unique_ptr<TSwTreeNodeChildren> mChildren;  // owned, made on first child
};

// Selects the start node of a path from its parent prefix (a run of one of ".", "/", "\");
// `rest` receives the path after the prefix.
TSwTreeNode* SwApplyParentPrefix(TSwTreeNode* base, const WideString& path, WideString* rest);

}  // namespace skeinwork
