// MergeMachine: resolves inheritance and merges between named nodes.
//
// Model items refer to each other by name: an inheriting node takes over the children of a
// definition found in an enclosing scope, a node with merge lists appends the children of other
// named definitions before or after its own, and an inheriting or off-context child overlays a
// same-named child that came from elsewhere. TMergeMachine resolves this on a tree of TMmNode
// and produces a new, numbered set of nodes whose child lists are final. Where copying a child
// would repeat a node of the same line, the child is referenced instead, so the result is a
// graph that may hold cycles: that is how recursive definitions come out.
//
// The machine knows nothing about models. It reads names, parents, three flags and two merge
// lists; every model-specific decision is a virtual operation that a subclass overrides. A
// caller starts from TMergeMachine: define the nodes with AddDefined (root first, each parent
// defined before its children), call Merge once, then read Merged()[id] for every ID.
//
// Merging recurses once per nesting level (children, ancestors, merge targets); the merge
// stack stops it at 4096 levels, which takes about 1.5 MB of stack in an optimised build.
#pragma once

#include "SwCore.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace skeinwork {

class TMergeMachine;
class TMmNode;

// Index and capacity faults of the machine's lists and stack.
SW_EXCEPTION(EMmListError, ESkeinwork);

// ---------------------------------------------------------------------------------------------
// An ordered list of node IDs, each with an origin tag that tells which source (own children,
// ancestor, a merge entry) the entry came from. Packed as the ID in the low 24 bits and the
// tag in the high 8 bits.

class TMmIdList : public TSwObject {
 public:
  static constexpr int32_t MaxId = 0xFFFFFF;
  static constexpr int MaxTag = 255;

  int Count() const { return static_cast<int>(mItems.size()); }
  int32_t Id(int index) const;
  int Tag(int index) const;
  // Appends; returns the index. IDs outside 0..MaxId and tags outside 0..MaxTag are refused.
  int Add(int32_t id, int tag = 0);
  void Insert(int index, int32_t id, int tag = 0);
  void Put(int index, int32_t id, int tag);
  void Delete(int index);
  void Clear() { mItems.clear(); }
  bool Contains(int32_t id) const { return IndexOf(id) >= 0; }
  int IndexOf(int32_t id) const;
  // The highest origin tag in the list; 0 when empty.
  int HighestTag() const;
  void Assign(const TMmIdList& other) { mItems = other.mItems; }
  // Adds the other list's entries, each of its origin tags renamed to the lowest tag this list
  // does not use yet, so the two sources stay apart. An empty list simply becomes a copy.
  void Merge(const TMmIdList& other, bool prepend);

 private:
  void CheckIndex(int index, int count) const;
  uint32_t Pack(int32_t id, int tag) const;

  std::vector<uint32_t> mItems;
};

// ---------------------------------------------------------------------------------------------
// The stack of nodes being merged, innermost on top. Its fixed depth bounds how deeply merges,
// inheritance and children may nest.

class TMmIdStack : public TSwObject {
 public:
  static constexpr int Capacity = 4096;

  void Push(int32_t id);
  int32_t Pop();
  // -1 when empty.
  int32_t Top() const { return mCount ? mItems[mCount - 1] : -1; }
  int Count() const { return mCount; }
  int32_t At(int index) const;

 private:
  std::array<int32_t, Capacity> mItems{};
  int mCount = 0;
};

// ---------------------------------------------------------------------------------------------
// An owning list of nodes; a node takes its index as its ID when added.

class TMmList : public TSwObject {
 public:
  explicit TMmList(bool acceptsEmpty) : mAcceptsEmpty(acceptsEmpty) {}
  ~TMmList() override;

  bool AcceptsEmpty() const { return mAcceptsEmpty; }
  int Count() const { return static_cast<int>(mItems.size()); }
  // The node at index, or null for an empty slot; an index outside the list raises.
  TMmNode* Item(int index) const;
  // The node with this ID, or null when there is none (out of range or an empty slot).
  TMmNode* Find(int32_t id) const;
  // Places an unassigned node (ID -1) in an empty slot or at Count(), giving it the index as ID.
  // An empty node is allowed only where the list accepts empty entries.
  void SetItem(int index, std::unique_ptr<TMmNode> node);
  // Appends; returns the node, which now carries its ID.
  TMmNode* Add(std::unique_ptr<TMmNode> node);
  // Deletes the last entry, or empties a slot in a list that accepts empty entries.
  void Remove(int index);
  // Replaces the content with copies of the other list's nodes.
  void AssignCopies(const TMmList& other);

 private:
  bool mAcceptsEmpty;
  std::vector<std::unique_ptr<TMmNode>> mItems;  // owned; null = empty slot
};

// ---------------------------------------------------------------------------------------------
// One node of the machine. Merge entries are nodes too, of which the name and data matter.

class TMmNode : public TSwObject {
 public:
  TMmNode() = default;
  explicit TMmNode(WideString name) : Name(std::move(name)) {}

  // A copy with parent, cloned-from, own children, name, flags, merge lists (as copies) and
  // data; its ID and ancestor are -1, its children and absorbed lists empty, and it is not
  // merged.
  std::unique_ptr<TMmNode> Copy() const;
  // Appends a name-only entry to a merge list; returns it.
  TMmNode* AddLeftMerge(WideString name);
  TMmNode* AddRightMerge(WideString name);

  int32_t ID = -1;
  int32_t ParentID = -1;
  int32_t AncestorID = -1;   // the definition an inheriting node took its children from
  TMmIdList ClonedFrom;      // every node this one was copied from, nearest last
  TMmIdList Absorbed;        // the nodes overlaid into this one
  TMmIdList Children;        // the final children, with origin tags
  TMmIdList OwnChildren;     // the children written under the node
  WideString Name;
  bool Inheriting = false;
  bool Prepending = false;   // own children go before the inherited ones
  bool OffContext = false;   // a definition that references find from any depth below
  bool Merged = false;       // final children are known
  TMmList LeftMerges{false};
  TMmList RightMerges{false};
  TSwObject* Data = nullptr;  // the owner's attachment; not owned
};

// ---------------------------------------------------------------------------------------------
// Finds the node a name refers to, from the scope of the asking node upwards.

enum class TMmFindKind : uint8_t {
  Inheritance = 0,  // an inheriting node looks for its ancestor
  Merge = 1,        // a merge entry looks for the node whose children it appends
};

// "inheritance" or "merge", as messages write the kind.
const char* MmFindKindText(TMmFindKind kind);

class TMmFinder : public TSwObject {
 public:
  explicit TMmFinder(TMergeMachine* machine);

  // The ID found, or -1.
  virtual int32_t Find();

  TMergeMachine* Machine;
  TMmList* MergedList;
  TMmFindKind Kind = TMmFindKind::Inheritance;
  WideString FName;      // the name sought
  int32_t StartID = -1;  // the first scope: the asking node's parent
  int32_t SelfID = -1;   // the asking node, never its own result
};

// ---------------------------------------------------------------------------------------------
// Errors. Each remembers its machine, and the process-wide message decorator may append text
// to every message (the model names the node being merged there).

class EMergeMachine : public ESkeinwork {
 public:
  template <class... A>
  EMergeMachine(const TMergeMachine* machine, std::string_view englishFormat, const A&... args)
      : ESkeinwork(englishFormat, args...), mMachine(machine) {
    Decorate();
  }

  const TMergeMachine* Machine() const { return mMachine; }
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<EMergeMachine>(*this); }

 private:
  void Decorate();

  const TMergeMachine* mMachine;
};

SW_EXCEPTION(EMmFinder, EMergeMachine);
SW_EXCEPTION(EMmBadFinder, EMmFinder);
SW_EXCEPTION(EMmAmbiguousFind, EMmFinder);
SW_EXCEPTION(EMmManySinkPoints, EMmFinder);
SW_EXCEPTION(EMmFindingNonMergedParent, EMmFinder);
SW_EXCEPTION(EMmNoneDefined, EMergeMachine);
SW_EXCEPTION(EMmDefinedNoRoot, EMergeMachine);
SW_EXCEPTION(EMmRecursiveMerging, EMergeMachine);
SW_EXCEPTION(EMmNoAncestor, EMergeMachine);
SW_EXCEPTION(EMmNoMergeNode, EMergeMachine);
SW_EXCEPTION(EMmManyOverlayTargets, EMergeMachine);
// Definitions that copy themselves into their own copies grow without end (even exponentially)
// long before the merge stack fills up; a budget of nodes and work stops them.
SW_EXCEPTION(EMmExpansionLimit, EMergeMachine);

// Called with every new EMergeMachine error (whose message is formed, but whose dynamic type is
// not yet the final one); returns the text to append to the message, often empty. When the
// machine's merge stack is empty, no node is being merged.
using TMmMessageDecorator = TMethod<std::string(const TMergeMachine* machine, const ESkeinwork& error)>;

// Process-wide; set at start-up. An empty decorator appends nothing.
void SetMmMessageDecorator(TMmMessageDecorator decorator);
TMmMessageDecorator MmMessageDecorator();

// ---------------------------------------------------------------------------------------------
// The machine.

enum class TMmCleanupMode : uint8_t {
  None = 0,            // keep every merged node
  KeepReferenced = 1,  // keep the root and nodes that another node names in any of its lists
  KeepReachable = 2,   // keep the nodes reachable from the root through children
};

class TMergeMachine : public TSwObject {
 public:
  TMergeMachine();
  ~TMergeMachine() override;

  // The nodes as written; index = ID. Owned; no empty entries.
  TMmList& Defined() { return mDefined; }
  const TMmList& Defined() const { return mDefined; }
  // The result; index = ID; empty entries where Cleanup removed a node. Owned.
  TMmList& Merged() { return mMerged; }
  const TMmList& Merged() const { return mMerged; }
  // The merged node with this ID, or null.
  TMmNode* MergedNode(int32_t id) const { return mMerged.Find(id); }

  TMmCleanupMode CleanupMode() const { return mCleanupMode; }
  void SetCleanupMode(TMmCleanupMode mode) { mCleanupMode = mode; }
  // The nodes being merged, innermost on top (a message decorator reads the top).
  const TMmIdStack& MergeStack() const { return mMergeStack; }

  // Bounds of one Merge: the number of merged nodes, and the work units (children appended,
  // nodes compared on the lines above them). Exceeding either raises EMmExpansionLimit.
  static constexpr int32_t DefaultMaxNodes = 1 << 20;
  static constexpr int64_t DefaultMaxWork = int64_t{1} << 26;
  void SetExpansionLimits(int32_t maxNodes, int64_t maxWork) {
    mMaxNodes = maxNodes;
    mMaxWork = maxWork;
  }

  // Resolves everything, once: copies Defined into Merged, merges from the root, cleans up.
  void Merge();

  // The operations a subclass may override. The base behaviour is described at each.

  // Merges one node (and, through it, whatever it needs). Re-entering a node that is still
  // being merged is a recursive merge. Checks that the merge stack is balanced afterwards.
  virtual void MergeNode(int32_t id);
  // Called once a node's final children are known, before it is marked merged. Base: nothing.
  virtual void NodeMerged(int32_t id);
  // Cleanup removes a merged node. Base: removes the entry from Merged.
  virtual void RemoveMerged(int32_t id);
  // The finder used for every name look-up. Base: a TMmFinder.
  virtual std::unique_ptr<TMmFinder> CreateFinder();
  // Whether the node `childId` may be taken over into `receiver` from an ancestor or a merge
  // target. Base: true.
  virtual bool AcceptChild(int32_t childId, TMmNode& receiver);
  // Node `id` took children from `ancestorId` (an ancestor, or an overlay target). Base: nothing.
  virtual void InheritData(int32_t id, int32_t ancestorId);
  // Makes the node that replaces `target` when `node` overlays it; returns its ID. Base: a clone
  // of node (CloneNode); an inheriting clone gets the target's own children merged with node's
  // (node's first when it is prepending); the target goes to its absorbed list; unless the
  // target is off-context the clone takes the target's inheriting flag; then
  // InheritData(clone, target).
  virtual int32_t Overlay(TMmNode& node, TMmNode& target);
  // The node that stands for `childId` when a merge entry appends it. Base: childId itself.
  virtual int32_t AdoptMergedChild(int32_t childId, TMmNode& mergeEntry);
  // Error(error) is TSwObject's routine: EMmNoAncestor goes through it, so that a handler can
  // record it and let the merge go on.
  // Appends a node to Defined; returns it with its ID.
  virtual TMmNode* AddDefined(std::unique_ptr<TMmNode> node);
  // Removes the merged nodes that the cleanup mode does not keep, highest ID first.
  virtual void Cleanup();
  // A copy of node appended to Merged (through AddMerged), with node's ID added to its
  // cloned-from list. The copy still points at node's data.
  virtual TMmNode* CloneNode(TMmNode& node);
  // Appends a node to Merged; returns it with its ID. Merge's initial copies of the defined
  // nodes and CloneNode's copies come through here, still pointing at their source's data.
  virtual TMmNode* AddMerged(std::unique_ptr<TMmNode> node);

 protected:
  TMmIdStack& MutableMergeStack() { return mMergeStack; }

 private:
  friend class TMmMergeSteps;

  TMmList mDefined{false};
  TMmList mMerged{true};
  TMmCleanupMode mCleanupMode = TMmCleanupMode::KeepReachable;
  TMmIdStack mMergeStack;
  std::vector<uint8_t> mBusy;  // per merged ID: between entering MergeNode and being merged
  int32_t mMaxNodes = DefaultMaxNodes;
  int64_t mMaxWork = DefaultMaxWork;
  int64_t mWork = 0;
};

}  // namespace skeinwork
