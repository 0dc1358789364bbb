// SwNodes: the system's one tree type and the values its nodes carry.
//
// TSwTreeNode is a named node with a property bag (TSwProperties of TSwProperty, each holding a
// TSwValue), its own listeners, a parent and ordered children. Model descriptions, script parse
// trees and modelling results are all trees of it. Nodes are named by paths ("a\b[1]\c$start"):
// TSwTreeNode::FirstOnPath finds the first match, TSwNodeFinder and its formula-evaluating
// descendants enumerate every match or create the nodes a path names.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwHashes.h"

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Values

enum TSwType : uint8_t { ltStr, ltRaw, ltBool, ltInt, ltFrac, ltObj, ltSlice };
using TSwTypes = uint8_t;  // a set of TSwType, bit i for kind i

constexpr TSwTypes SwKind(TSwType type) { return static_cast<TSwTypes>(1u << type); }
inline constexpr TSwTypes SwSliceKinds = 0x78;  // ltInt | ltFrac | ltObj | ltSlice

// A multi-typed value: each kind in `Kinds` holds the same datum in its own field. A stream
// slice (SwSliceKinds) is a range of a stream: Int = offset, Frac = length, Obj = the stream.
// Text and raw bytes live out of line, so a value that holds neither stays small; copies are deep.
class TSwValue {
 public:
  TSwValue() = default;
  TSwValue(const TSwValue& other);
  TSwValue& operator=(const TSwValue& other);
  TSwValue(TSwValue&&) noexcept = default;
  TSwValue& operator=(TSwValue&&) noexcept = default;

  static TSwValue OfText(const WideString& text);
  static TSwValue OfRaw(const RawByteString& raw);
  static TSwValue OfBool(bool value);
  static TSwValue OfInt(int64_t value);
  static TSwValue OfSlice(int64_t offset, int64_t length, TSwObject* stream);

  void Clear() { *this = TSwValue(); }
  bool IsNull() const { return Kinds == 0; }
  bool Has(TSwType type) const { return (Kinds & SwKind(type)) != 0; }
  bool IsSlice() const { return (Kinds & SwSliceKinds) == SwSliceKinds; }
  // The text "implicit" that marks nodes the model compiler adds itself.
  bool IsImplicit() const;

  const WideString& Text() const;
  const RawByteString& Raw() const;
  void SetText(const WideString& text);  // sets the field only; callers manage Kinds
  void SetRaw(const RawByteString& raw);
  bool HasStrings() const { return mStrings != nullptr; }

  // " s2 ab", " i5", " NULL" ...; without the leading blank on request.
  std::string DescriptionText(bool leadingBlank = true) const;

  TSwTypes Kinds = 0;
  bool Bool = false;
  int64_t Int = 0;  // slice offsets may pass 2 GiB, so the integer field is 64-bit
  double Frac = 0;
  TSwObject* Obj = nullptr;  // not owned

 private:
  struct TStrings {
    WideString Text;
    RawByteString Raw;
  };
  std::unique_ptr<TStrings> mStrings;  // created when text or raw bytes are set
};

// ---------------------------------------------------------------------------------------------
// Properties

SW_EXCEPTION(ESwProperties, ESkeinwork);
SW_EXCEPTION(ESwUnownedProperty, ESwProperties);
SW_EXCEPTION(ESwNoProperty, ESwProperties);
SW_EXCEPTION(ESwAddingNullProperty, ESwProperties);

class TSwProperties;

class TSwProperty : public TSwObject {
 public:
  TSwProperty(TSwProperties* owner, TSwName name);
  std::string Description() const override;

  TSwProperties* Owner() const { return mOwner; }
  const WideString& Name() const { return mName; }
  const TSwValue& Value() const { return mValue; }
  TSwValue& Value() { return mValue; }

 private:
  TSwProperties* mOwner;
  TSwName mName;
  TSwValue mValue;
};

// A node's property bag: sorted by name, one property per name. Adding a value under a present
// name puts a new property in place of the old one, which is freed after "sobj" listeners saw it.
class TSwProperties : public TSwThinHash {
 public:
  TSwProperties() : TSwThinHash(true, true) {}

  TSwProperty* AddValue(TSwName name, const TSwValue& value);
  // The stored property, or one a "thn" listener supplies.
  TSwProperty* Find(const WideString& name);
  TSwProperty* Get(const WideString& name);
  using TSwThinHash::Has;
  bool Has(const WideString& name, TSwTypes kinds);
  TSwProperty* Property(int index) const { return static_cast<TSwProperty*>(Object(index)); }

  std::string DumpItem(int index) const override;

 protected:
  virtual std::unique_ptr<TSwProperty> CreateProperty(TSwName name);
  bool HandlesEvent(std::u16string_view event) const override;
  bool ThinResultFilled(TSwArgs args) const override;
};

// ---------------------------------------------------------------------------------------------
// Tree nodes

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
// keeps the slices set through SetValue in one compact block (24 bytes a slice, names shared).
// The node moves them into a full bag the moment anything needs one: Properties(),
// PropertiesIfAny(), or a value that the block cannot hold. Both forms give the same names,
// values and order through the accessors below.
class TSwSingleNode : public TSwObject {
 public:
  explicit TSwSingleNode(TSwName name) : mName(name) {}
  ~TSwSingleNode() override;

  const WideString& Name() const { return mName; }
  TSwName NameId() const { return mName; }
  TSwProperties& Properties();
  // The bag if the node has properties (made now from the compact block if need be); null for
  // a node that never had a property.
  TSwProperties* PropertiesIfAny() const;
  // Whether the full bag exists already (its listeners then hear every change).
  bool HasPropertyBag() const { return mProperties != nullptr; }

  // Like Properties().AddValue, without making the bag for a stream slice.
  void SetValue(TSwName name, const TSwValue& value);
  // SetValue with each slice in turn. Slices in ascending name order on a node that has none
  // yet fill the compact block in one go, which is how a result node gets its ranges.
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
  // Delivers a node event to this node's listeners until one returns true.
  void DeliverEvent(std::u16string_view event, TSwArgs args);

  std::string Description() const override;

 protected:
  // Lets the node keep its first `capacity` slices in `storage` (SwSliceStorageBytes(capacity)
  // bytes, 8-aligned, living as long as the node), which spares a large tree one allocation per
  // node. Only for a node that has no properties yet.
  void UseSliceStorage(void* storage, int capacity);

  TSwName mName;

 private:
  bool FillEmptySliceBlock(std::span<const TSwNamedSlice> slices);
  void MoveSlicesToBag() const;
  void GrowSlices(int capacity) const;
  void CheckPropertyIndex(int index) const;

  // The two stores are never both present. Reading can turn the block into the bag, hence mutable.
  mutable std::unique_ptr<TSwProperties> mProperties;           // owned
  mutable std::unique_ptr<TSwSliceBlock, TSwSliceBlockFree> mSlices;  // owned
  std::unique_ptr<TSwCallbacks> mCallbacks;                     // owned
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
  explicit TSwTreeNode(TSwName name);
  ~TSwTreeNode() override;

  bool IsRoot() const { return mParent == nullptr; }
  TSwTreeNode* Parent() const { return mParent; }
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
  TSwTreeNodeChildren& Children();
  TSwTreeNodeChildren* ChildrenIfAny() const { return mChildren.get(); }

  // A new node from the child factory, appended as the last child.
  TSwTreeNode* AddChild(TSwName name);
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

 private:
  friend class TSwTreeNodeChildren;
  void DoMove(TSwTreeNode* newParent, TSwTreeNode* sibling, int index, bool before);
  const TSwTreeNode* RootOf() const;

  TSwTreeNode* mParent = nullptr;                  // not owned
  bool mReleased = false;  // taken out of the parent's map, which no longer holds it
  std::unique_ptr<TSwTreeNodeChildren> mChildren;  // owned, made on first child
};

// Selects the start node of a path from its parent prefix (a run of one of ".", "/", "\");
// `rest` receives the path after the prefix.
TSwTreeNode* SwApplyParentPrefix(TSwTreeNode* base, const WideString& path, WideString* rest);

// ---------------------------------------------------------------------------------------------
// Finders

// The node and all its descendants; walks without recursion, so any depth is fine.
int64_t SwCountNodes(const TSwTreeNode* root);

SW_EXCEPTION(ESwNodeFind, ESkeinwork);
SW_EXCEPTION(ESwNodeFinderNotInitialized, ESwNodeFind);
SW_EXCEPTION(ESwLastNodePathAppends, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodePathExpression, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodePathSegment, ESwNodeFind);
SW_EXCEPTION(ESwNodeFindNoTester, ESwNodeFind);
SW_EXCEPTION(ESwNodeFindNoCreator, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormula, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodeFindFormulaOperand, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormulaOperand, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormulaPrecedence, ESwNodeFind);
SW_EXCEPTION(ESwEmptyFinderStack, ESwNodeFind);
SW_EXCEPTION(ESwNodePathTooLong, ESwNodeFind);

// Segments a node path may have. A path makes a tree as deep as it is long and look-ups descend
// it level by level; the tree file reader refuses trees deeper than this too.
inline constexpr int SwMaxNodePathSegments = 4096;

class TSwNodeFinder;

using TSwNodeFindTest = TMethod<bool(TSwNodeFinder* finder, int segment, TSwTreeNode* candidate)>;
using TSwNodeFindCreate = TMethod<TSwTreeNode*(TSwNodeFinder* finder, int segment, TSwTreeNode* lastChild)>;

struct TSwNodeFinderSegment {
  WideString Name;
  const WideString* NameId = nullptr;  // Name interned, once a node of that name was created
  TSwTreeNode* Current = nullptr;
  std::unique_ptr<TSwHashFind> Find;  // null until the segment starts walking its parent
  bool Appends = false;               // "+name"
  WideString Expression;              // the text in "name[...]", empty for none
  bool HasExpression = false;
};

// Enumerates the nodes a path names below a base node, depth first in child order, or finds
// and creates them. Segments with expressions are tested through OnTest / OnCreate.
class TSwNodeFinder : public TSwObject {
 public:
  TSwNodeFinder() = default;
  TSwNodeFinder(TSwTreeNode* base, const WideString& path);

  void Rewind(const WideString& path, TSwTreeNode* newBase = nullptr);
  TSwTreeNode* Next();
  bool TryNext(TSwTreeNode*& node);
  // Next until a node has the property named after "$" (default "inner").
  bool NextWithProperty(TSwTreeNode*& node, TSwProperty*& property);
  TSwTreeNode* FindOrCreate();

  TSwNodeFindTest OnTest;
  TSwNodeFindCreate OnCreate;

  const WideString& Path() const { return mPath; }
  const WideString& PropertyName() const { return mProperty; }
  TSwTreeNode* Base() const { return mBase; }
  TSwTreeNode* StartNode() const { return mStart; }
  int SegmentCount() const { return static_cast<int>(mSegments.size()); }
  const TSwNodeFinderSegment& Segment(int index) const { return mSegments.at(index); }
  bool Finished() const { return mFinished; }

  std::string Description() const override;
  virtual std::string StateDescription() const { return {}; }

 protected:
  virtual void ResetSegment(int index);
  virtual bool Test(const WideString& expression, int segment, TSwTreeNode* node);
  virtual TSwTreeNode* Create(const WideString& expression, int segment, TSwTreeNode* lastChild);

 private:
  void ParsePath(const WideString& path);
  void ParseNewPath(const WideString& path);
  void Advance(int index, TSwTreeNode* parent);

  std::vector<TSwNodeFinderSegment> mSegments;
  WideString mPath;
  WideString mProperty = u"inner";
  TSwTreeNode* mBase = nullptr;
  TSwTreeNode* mStart = nullptr;
  bool mFinished = true;
  bool mParsed = false;     // mSegments hold the parse of mParsedPath
  WideString mParsedPath;
};

// A finder whose segment expressions are integer formulas over n and a stack of numbers:
// name[k] selects the (k+1)-th child of that name under each parent.
class TSwNodeBaseFormulaFinder : public TSwNodeFinder {
 public:
  using TSwNodeFinder::TSwNodeFinder;

  // Takes the list; with shift, n becomes its first entry, which is removed.
  void SetStack(const std::vector<int32_t>& stack, bool shift);
  const std::vector<int32_t>& Stack() const { return mStack; }
  int32_t N() const { return mN; }
  void SetN(int32_t n) { mN = n; }
  // The value of a formula as the finder evaluates it.
  int32_t FormulaValue(const WideString& formula);

  std::string StateDescription() const override;

 protected:
  void ResetSegment(int index) override;
  bool Test(const WideString& expression, int segment, TSwTreeNode* node) override;
  TSwTreeNode* Create(const WideString& expression, int segment, TSwTreeNode* lastChild) override;
  virtual int32_t OperandValue(const WideString& operand, const WideString& formula);

 private:
  int32_t mN = 0;
  std::vector<int32_t> mStack;     // enclosing levels' numbers, innermost first
  std::vector<int32_t> mCounters;  // per segment
};

class TSwNodeFormulaFinder : public TSwNodeBaseFormulaFinder {
 public:
  using TSwNodeBaseFormulaFinder::TSwNodeBaseFormulaFinder;
};

class TSwNodeByNodeFinder : public TSwNodeBaseFormulaFinder {
 public:
  using TSwNodeBaseFormulaFinder::TSwNodeBaseFormulaFinder;
};

}  // namespace skeinwork
