#include "MergeMachine.h"

#include <algorithm>
#include <mutex>

namespace skeinwork {

namespace {

struct TDecoratorSlot {
  std::mutex Lock;
  TMmMessageDecorator Decorator;
};

TDecoratorSlot& DecoratorSlot() {
  static TDecoratorSlot slot;
  return slot;
}

template <class E, class... A>
E MakeMmError(const TMergeMachine* machine, std::string_view format, const A&... args) {
  E error(machine, format, args...);
  CallSwExceptionHook(error);
  return error;
}

[[noreturn]] [[gnu::noinline]] void RaisePoolExceeded() {
  SwRaise<ESkeinwork>("Origins pool exceeded when adding node merges.");
}

template <class E, class... A>
[[noreturn]] void MmRaise(const TMergeMachine* machine, std::string_view format, const A&... args) {
  throw MakeMmError<E>(machine, format, args...);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMmIdList

void TMmIdList::CheckIndex(int index, int count) const {
  if (index < 0 || index >= count) SwRaise<EMmListError>("List index out of bounds (%d).", index);
}

uint32_t TMmIdList::Pack(int32_t id, int tag) const {
  if (id < 0 || id > MaxId) SwRaise<EMmListError>("%s cannot store ID = %d.", this, id);
  if (tag < 0 || tag > MaxTag) SwRaise<EMmListError>("%s cannot store origin tag %d.", this, tag);
  return static_cast<uint32_t>(id) | (static_cast<uint32_t>(tag) << 24);
}

int32_t TMmIdList::Id(int index) const {
  CheckIndex(index, Count());
  return static_cast<int32_t>(mItems[index] & MaxId);
}

int TMmIdList::Tag(int index) const {
  CheckIndex(index, Count());
  return static_cast<int>(mItems[index] >> 24);
}

int TMmIdList::Add(int32_t id, int tag) {
  mItems.push_back(Pack(id, tag));
  return Count() - 1;
}

void TMmIdList::Insert(int index, int32_t id, int tag) {
  CheckIndex(index, Count() + 1);
  mItems.insert(mItems.begin() + index, Pack(id, tag));
}

void TMmIdList::Put(int index, int32_t id, int tag) {
  CheckIndex(index, Count());
  mItems[index] = Pack(id, tag);
}

void TMmIdList::Delete(int index) {
  CheckIndex(index, Count());
  mItems.erase(mItems.begin() + index);
}

int TMmIdList::IndexOf(int32_t id) const {
  if (id < 0 || id > MaxId) return -1;
  for (size_t i = 0; i < mItems.size(); ++i)
    if (static_cast<int32_t>(mItems[i] & MaxId) == id) return static_cast<int>(i);
  return -1;
}

int TMmIdList::HighestTag() const {
  uint32_t highest = 0;
  for (uint32_t item : mItems) highest = std::max(highest, item >> 24);
  return static_cast<int>(highest);
}

void TMmIdList::Merge(const TMmIdList& other, bool prepend) {
  if (mItems.empty()) {
    mItems = other.mItems;
    return;
  }
  std::array<bool, MaxTag + 1> taken{};  // used here, or already given to an incoming tag
  std::array<bool, MaxTag + 1> incoming{};
  for (uint32_t item : mItems) taken[item >> 24] = true;
  for (uint32_t item : other.mItems) incoming[item >> 24] = true;
  std::array<int, MaxTag + 1> renamed{};
  int next = 0;
  for (int tag = 0; tag <= MaxTag; ++tag) {
    if (!incoming[tag]) continue;
    while (next <= MaxTag && taken[next]) ++next;
    if (next > MaxTag) SwRaise<ESkeinwork>("Origins pool exhaused when merging two %s.", this);
    taken[next] = true;
    renamed[tag] = next;
  }
  std::vector<uint32_t> added;
  added.reserve(other.mItems.size());
  for (uint32_t item : other.mItems)
    added.push_back((item & MaxId) | (static_cast<uint32_t>(renamed[item >> 24]) << 24));
  mItems.insert(prepend ? mItems.begin() : mItems.end(), added.begin(), added.end());
}

// ---------------------------------------------------------------------------------------------
// TMmIdStack

void TMmIdStack::Push(int32_t id) {
  if (mCount >= Capacity) SwRaise<EMmListError>("Too deep %s.", this);
  mItems[mCount++] = id;
}

int32_t TMmIdStack::Pop() {
  if (mCount <= 0) SwRaise<EMmListError>("Broken %s.", this);
  return mItems[--mCount];
}

int32_t TMmIdStack::At(int index) const {
  if (index < 0 || index >= mCount) SwRaise<EMmListError>("List index out of bounds (%d).", index);
  return mItems[index];
}

// ---------------------------------------------------------------------------------------------
// TMmList

TMmList::~TMmList() = default;

TMmNode* TMmList::Item(int index) const {
  if (index < 0 || index >= Count()) SwRaise<EMmListError>("List index out of bounds (%d).", index);
  return mItems[index].get();
}

TMmNode* TMmList::Find(int32_t id) const {
  return id >= 0 && id < Count() ? mItems[id].get() : nullptr;
}

void TMmList::SetItem(int index, std::unique_ptr<TMmNode> node) {
  if (index < 0 || index > Count()) SwRaise<EMmListError>("List index out of bounds (%d).", index);
  if (!node && !mAcceptsEmpty) SwRaise<EMmListError>("%s.Items[%d] cannot be set to nil.", this, index);
  if (node && node->ID != -1)
    SwRaise<EMmListError>("%s must be unassigned (ID = -1) before writing to %s.Items[%d].",
                          node.get(), this, index);
  if (index < Count() && mItems[index])
    SwRaise<EMmListError>("Cannot replace %s at %d in %s.", mItems[index].get(), index, this);
  if (node) node->ID = index;
  if (index == Count())
    mItems.push_back(std::move(node));
  else
    mItems[index] = std::move(node);
}

TMmNode* TMmList::Add(std::unique_ptr<TMmNode> node) {
  TMmNode* added = node.get();
  SetItem(Count(), std::move(node));
  return added;
}

void TMmList::Remove(int index) {
  if (index < 0 || index >= Count()) SwRaise<EMmListError>("List index out of bounds (%d).", index);
  if (index == Count() - 1) {
    mItems.pop_back();
    return;
  }
  if (!mAcceptsEmpty)
    SwRaise<EMmListError>("Cannot delete item %d because %s doesn't accept nil.", index, this);
  mItems[index].reset();
}

void TMmList::AssignCopies(const TMmList& other) {
  mItems.clear();
  for (const auto& item : other.mItems) {
    if (item)
      Add(item->Copy());
    else
      SetItem(Count(), nullptr);
  }
}

// ---------------------------------------------------------------------------------------------
// TMmNode

std::unique_ptr<TMmNode> TMmNode::Copy() const {
  auto copy = std::make_unique<TMmNode>(Name);
  copy->ParentID = ParentID;
  copy->ClonedFrom.Assign(ClonedFrom);
  copy->OwnChildren.Assign(OwnChildren);
  copy->Inheriting = Inheriting;
  copy->Prepending = Prepending;
  copy->OffContext = OffContext;
  copy->LeftMerges.AssignCopies(LeftMerges);
  copy->RightMerges.AssignCopies(RightMerges);
  copy->Data = Data;
  return copy;
}

TMmNode* TMmNode::AddLeftMerge(WideString name) {
  return LeftMerges.Add(std::make_unique<TMmNode>(std::move(name)));
}

TMmNode* TMmNode::AddRightMerge(WideString name) {
  return RightMerges.Add(std::make_unique<TMmNode>(std::move(name)));
}

// ---------------------------------------------------------------------------------------------
// Errors

void EMergeMachine::Decorate() {
  TMmMessageDecorator decorator = MmMessageDecorator();
  if (!decorator) return;
  std::string addition = decorator(mMachine, *this);
  AppendToMessage(addition);
}

void SetMmMessageDecorator(TMmMessageDecorator decorator) {
  std::lock_guard lock(DecoratorSlot().Lock);
  DecoratorSlot().Decorator = decorator;
}

TMmMessageDecorator MmMessageDecorator() {
  std::lock_guard lock(DecoratorSlot().Lock);
  return DecoratorSlot().Decorator;
}

// ---------------------------------------------------------------------------------------------
// TMmFinder

const char* MmFindKindText(TMmFindKind kind) {
  return kind == TMmFindKind::Merge ? "merge" : "inheritance";
}

TMmFinder::TMmFinder(TMergeMachine* machine) : Machine(machine), MergedList(&machine->Merged()) {}

int32_t TMmFinder::Find() {
  if (FName.empty()) MmRaise<EMmBadFinder>(Machine, "FName given to %s is empty.", this);
  if (StartID < 0) return -1;

  // Up through the scopes: the nearest scope with an off-context definition of the name wins.
  // Parents may have been rewritten into a loop; a walk longer than the list has repeated
  // itself and ends as if at the top.
  int32_t enclosing = -1;
  const int limit = MergedList->Count();
  int32_t scopeId = StartID;
  for (int steps = 0; scopeId >= 0 && steps <= limit; ++steps) {
    TMmNode* scope = MergedList->Find(scopeId);
    if (!scope) break;
    if (!scope->Merged)
      MmRaise<EMmFindingNonMergedParent>(
          Machine, "Tried to find a node among children of non-merged parent '%s'.", scope->Name);
    if (enclosing < 0 && scope->Name == FName) enclosing = scopeId;
    int32_t found = -1;
    for (int i = 0; i < scope->Children.Count(); ++i) {
      int32_t childId = scope->Children.Id(i);
      TMmNode* child = MergedList->Find(childId);
      if (!child || !child->OffContext || childId == SelfID || child->Name != FName) continue;
      if (found >= 0)
        MmRaise<EMmManySinkPoints>(Machine,
                                   "Multiple possible %s targets for node '%s' among children of parent '%s'.",
                                   MmFindKindText(Kind), FName, scope->Name);
      found = childId;
    }
    if (found >= 0) return found;
    scopeId = scope->ParentID;
  }

  TMmNode* self = MergedList->Find(SelfID);
  if (self && self->OffContext && Kind == TMmFindKind::Inheritance) return -1;

  int32_t sibling = -1;
  if (TMmNode* start = MergedList->Find(StartID)) {
    for (int i = 0; i < start->Children.Count() && sibling < 0; ++i) {
      int32_t childId = start->Children.Id(i);
      TMmNode* child = MergedList->Find(childId);
      if (child && childId != SelfID && !child->Inheriting && !child->OffContext && child->Name == FName)
        sibling = childId;
    }
  }
  if (enclosing >= 0 && sibling >= 0)
    MmRaise<EMmAmbiguousFind>(Machine,
                              "Ambiguous node %s reference '%s': both parent and sibling of the same name "
                              "exist. Use '(off-context)' for definite reference.",
                              MmFindKindText(Kind), FName);
  return enclosing >= 0 ? enclosing : sibling;
}

// ---------------------------------------------------------------------------------------------
// The steps of merging one node, kept out of the header.

class TMmMergeSteps {
 public:
  static void MergeOne(TMergeMachine& m, int32_t id);

 private:
  static TMmNode& Node(TMergeMachine& m, int32_t id) {
    TMmNode* node = m.MergedNode(id);
    if (!node) MmRaise<EMergeMachine>(&m, "Unknown node ID to merge (%d).", id);
    return *node;
  }
  static bool IsBusy(const TMergeMachine& m, int32_t id) {
    return id < static_cast<int32_t>(m.mBusy.size()) && m.mBusy[id];
  }
  static void SetBusy(TMergeMachine& m, int32_t id, bool busy) {
    if (id >= static_cast<int32_t>(m.mBusy.size())) m.mBusy.resize(std::max<size_t>(id + 1, m.mBusy.size() * 2));
    m.mBusy[id] = busy;
  }
  [[gnu::noinline]] [[noreturn]] static void RaiseRecursion(TMergeMachine& m, int32_t id);
  [[gnu::noinline]] static int32_t Find(TMergeMachine& m, TMmFindKind kind, const WideString& name, int32_t startId,
                      int32_t selfId);
  static void Charge(TMergeMachine& m, int64_t units) {
    m.mWork += units;
    if (m.mWork > m.mMaxWork) RaiseExpansion(m, false);
  }
  static void CheckNodeCount(TMergeMachine& m) {
    if (m.mMerged.Count() > m.mMaxNodes) RaiseExpansion(m, true);
  }
  [[gnu::noinline]] [[noreturn]] static void RaiseExpansion(TMergeMachine& m, bool nodes);
  [[gnu::noinline]] static bool RepeatsAbove(TMergeMachine& m, int32_t id, int32_t childId);
  [[gnu::noinline]] static void AppendChildren(TMergeMachine& m, int32_t id, int32_t sourceId, bool ownChildren,
                                               int imposedTag);
  [[gnu::noinline]] static void AppendMerged(TMergeMachine& m, int32_t id, int32_t targetId, TMmNode& entry, int tag);
  [[gnu::noinline]] static void ReportNoAncestor(TMergeMachine& m, int32_t id);
  [[gnu::noinline]] [[noreturn]] static void RaiseNoMergeNode(TMergeMachine& m, int32_t id, const TMmNode& entry);
  static void AddMerges(TMergeMachine& m, int32_t id, bool left, int firstTag);
  [[gnu::noinline]] static void ResolveOverlays(TMergeMachine& m, int32_t id);
  [[gnu::noinline]] static void BuildChildren(TMergeMachine& m, int32_t id);
};

void TMmMergeSteps::RaiseRecursion(TMergeMachine& m, int32_t id) {
  auto label = [&](int32_t nodeId) {
    TMmNode* node = m.MergedNode(nodeId);
    return WideToUtf8(node ? node->Name : WideString()) + " #" + std::to_string(nodeId);
  };
  const TMmIdStack& stack = m.mMergeStack;
  int first = 0;
  while (first < stack.Count() && stack.At(first) != id) ++first;
  std::string path;
  for (int i = first; i < stack.Count(); ++i) {
    if (!path.empty()) path += " > ";
    path += label(stack.At(i));
  }
  path += " >> " + label(id);
  MmRaise<EMmRecursiveMerging>(&m, "Recursive node merges: %s.", path);
}

void TMmMergeSteps::RaiseExpansion(TMergeMachine& m, bool nodes) {
  if (nodes)
    MmRaise<EMmExpansionLimit>(&m, "Merging makes more than %d nodes; the definitions expand without end.",
                               m.mMaxNodes);
  MmRaise<EMmExpansionLimit>(&m, "Merging takes more than %d steps; the definitions expand without end.",
                             static_cast<long long>(m.mMaxWork));
}

int32_t TMmMergeSteps::Find(TMergeMachine& m, TMmFindKind kind, const WideString& name, int32_t startId,
                            int32_t selfId) {
  std::unique_ptr<TMmFinder> finder = m.CreateFinder();
  finder->Kind = kind;
  finder->FName = name;
  finder->StartID = startId;
  finder->SelfID = selfId;
  return finder->Find();
}

// Whether the child repeats a node on the line from `id` up through the parents: the child
// itself, a node it was cloned from, or a clone of it. Such a child is referenced, not copied,
// which closes the cycle of a recursive definition. A line that loops counts as a repeat.
bool TMmMergeSteps::RepeatsAbove(TMergeMachine& m, int32_t id, int32_t childId) {
  const TMmNode& child = Node(m, childId);
  const int limit = m.mMerged.Count();
  int32_t current = id;
  for (int steps = 0; current >= 0; ++steps) {
    if (steps > limit) return true;
    TMmNode* node = m.MergedNode(current);
    if (!node) return false;
    Charge(m, 1 + child.ClonedFrom.Count() + node->ClonedFrom.Count());
    if (current == childId || child.ClonedFrom.Contains(current) || node->ClonedFrom.Contains(childId))
      return true;
    current = node->ParentID;
  }
  return false;
}

// Appends the children (or own children) of node `sourceId` to node `id`: its own are taken as
// they are, a repeat of the line above is referenced, anything else is cloned under the node.
// With an imposed tag (-1: none) children come from elsewhere, so AcceptChild may refuse them.
void TMmMergeSteps::AppendChildren(TMergeMachine& m, int32_t id, int32_t sourceId, bool ownChildren,
                                   int imposedTag) {
  TMmIdList source;  // a copy: cloning may touch the lists it came from
  source.Assign(ownChildren ? Node(m, sourceId).OwnChildren : Node(m, sourceId).Children);
  for (int i = 0; i < source.Count(); ++i) {
    int32_t childId = source.Id(i);
    TMmNode& child = Node(m, childId);
    if (imposedTag >= 0 && !m.AcceptChild(childId, Node(m, id))) continue;
    int tag = imposedTag >= 0 ? imposedTag : source.Tag(i);
    if (child.ParentID != id && !RepeatsAbove(m, id, childId)) {
      TMmNode* clone = m.CloneNode(child);
      CheckNodeCount(m);
      clone->ParentID = id;
      childId = clone->ID;
    }
    Charge(m, 1);
    Node(m, id).Children.Add(childId, tag);
  }
}

void TMmMergeSteps::AddMerges(TMergeMachine& m, int32_t id, bool left, int firstTag) {
  TMmList& entries = left ? Node(m, id).LeftMerges : Node(m, id).RightMerges;
  if (entries.Count() == 0) return;
  if (entries.Count() + firstTag > TMmIdList::MaxTag) RaisePoolExceeded();
  for (int i = 0; i < entries.Count(); ++i) {
    TMmNode* entry = entries.Item(i);
    if (!entry) continue;
    const int tag = firstTag + i;
    int32_t targetId = Find(m, TMmFindKind::Merge, entry->Name, Node(m, id).ParentID, id);
    if (targetId < 0) RaiseNoMergeNode(m, id, *entry);
    m.MergeNode(targetId);
    AppendMerged(m, id, targetId, *entry, tag);
  }
}

void TMmMergeSteps::AppendMerged(TMergeMachine& m, int32_t id, int32_t targetId, TMmNode& entry, int tag) {
  const int before = Node(m, id).Children.Count();
  AppendChildren(m, id, targetId, false, tag);
  for (int k = before; k < Node(m, id).Children.Count(); ++k) {
    const int32_t appended = Node(m, id).Children.Id(k);
    const int32_t adopted = m.AdoptMergedChild(appended, entry);
    CheckNodeCount(m);
    // A node made for this merge belongs here; a referenced one keeps its parent, or the
    // parent line of a recursive definition would loop back into itself.
    if (adopted != appended) Node(m, adopted).ParentID = id;
    Node(m, id).Children.Put(k, adopted, tag);
  }
}

void TMmMergeSteps::RaiseNoMergeNode(TMergeMachine& m, int32_t id, const TMmNode& entry) {
  MmRaise<EMmNoMergeNode>(&m, "Cannot locate node '%s' to merge '%s' with.", entry.Name, Node(m, id).Name);
}

void TMmMergeSteps::ReportNoAncestor(TMergeMachine& m, int32_t id) {
  m.Error(MakeMmError<EMmNoAncestor>(&m, "Cannot find ancestor of inheriting node '%s'.", Node(m, id).Name));
}

// An inheriting or off-context child replaces an earlier same-named child of another origin.
void TMmMergeSteps::ResolveOverlays(TMergeMachine& m, int32_t id) {
  int i = 0;
  while (i < Node(m, id).Children.Count()) {
    const TMmIdList& children = Node(m, id).Children;
    TMmNode& child = Node(m, children.Id(i));
    if (!child.Inheriting && !child.OffContext) {
      ++i;
      continue;
    }
    int target = -1;
    for (int j = 0; j < i; ++j) {
      TMmNode& other = Node(m, children.Id(j));
      if (other.OffContext != child.OffContext || children.Tag(j) == children.Tag(i) || other.Name != child.Name)
        continue;
      if (target >= 0)
        MmRaise<EMmManyOverlayTargets>(&m, "Ambiguous overlay target among children of '%s'.", Node(m, id).Name);
      target = j;
    }
    if (target < 0) {
      ++i;
      continue;
    }
    int32_t replacement = m.Overlay(child, Node(m, children.Id(target)));
    CheckNodeCount(m);
    Charge(m, 1);
    TMmIdList& list = Node(m, id).Children;
    list.Put(target, replacement, list.Tag(target));
    list.Delete(i);
  }
}

// Steps 4 to 8 of a node: its ancestor, children and overlays. Kept out of MergeOne so that the
// frames of a deep line of children stay small.
void TMmMergeSteps::BuildChildren(TMergeMachine& m, int32_t id) {
  // The ancestor of an inheriting node, merged first so that its children are final.
  int32_t ancestorId = -1;
  if (Node(m, id).Inheriting) {
    ancestorId = Find(m, TMmFindKind::Inheritance, Node(m, id).Name, Node(m, id).ParentID, id);
    Node(m, id).AncestorID = ancestorId;
    if (ancestorId >= 0) {
      m.MergeNode(ancestorId);
      m.InheritData(id, ancestorId);
    } else if (!Node(m, id).OffContext) {
      ReportNoAncestor(m, id);
    }
  }

  // The children: left merges, own (prepending), inherited, own, right merges.
  const int baseTag = Node(m, id).Children.HighestTag();
  AddMerges(m, id, true, baseTag + 2);
  const bool prepending = Node(m, id).Prepending;
  if (prepending) AppendChildren(m, id, id, true, -1);
  if (ancestorId >= 0) AppendChildren(m, id, ancestorId, false, baseTag + 1);
  if (!prepending) AppendChildren(m, id, id, true, -1);
  AddMerges(m, id, false, Node(m, id).Children.HighestTag() + 1);
  ResolveOverlays(m, id);
}

void TMmMergeSteps::MergeOne(TMergeMachine& m, int32_t id) {
  if (Node(m, id).Merged) return;
  if (IsBusy(m, id)) RaiseRecursion(m, id);
  m.mMergeStack.Push(id);
  SetBusy(m, id, true);
  BuildChildren(m, id);
  m.NodeMerged(id);
  Node(m, id).Merged = true;
  SetBusy(m, id, false);
  // A merged node's children no longer change; the index is checked on every step all the same.
  for (int i = 0; i < Node(m, id).Children.Count(); ++i) m.MergeNode(Node(m, id).Children.Id(i));
  m.mMergeStack.Pop();
}

// ---------------------------------------------------------------------------------------------
// TMergeMachine

TMergeMachine::TMergeMachine() = default;
TMergeMachine::~TMergeMachine() = default;

void TMergeMachine::Merge() {
  if (mMerged.Count() != 0) MmRaise<EMergeMachine>(this, "%s.Merge can be called just once.", this);
  if (mDefined.Count() == 0) MmRaise<EMmNoneDefined>(this, "No Defined nodes are found on Merge.");
  const int32_t rootParent = mDefined.Item(0)->ParentID;
  if (rootParent != -1)
    MmRaise<EMmDefinedNoRoot>(this, "First Defined node must be root (Parent = -1) but it has Parent = %d.",
                              rootParent);
  // A parent defined later (or not at all) would leave the tree without a root to reach it from.
  for (int i = 1; i < mDefined.Count(); ++i) {
    const int32_t parent = mDefined.Item(i)->ParentID;
    if (parent < 0 || parent >= i)
      MmRaise<EMergeMachine>(this, "Defined node %d must have its Parent defined before it but it has Parent = %d.",
                             i, parent);
  }

  mWork = 0;
  for (int i = 0; i < mDefined.Count(); ++i) AddMerged(mDefined.Item(i)->Copy());
  for (int i = 0; i < mMerged.Count(); ++i) mMerged.Item(i)->OwnChildren.Clear();
  for (int i = 1; i < mMerged.Count(); ++i) mMerged.Item(mMerged.Item(i)->ParentID)->OwnChildren.Add(i, 0);

  MergeNode(0);
  Cleanup();
}

void TMergeMachine::MergeNode(int32_t id) {
  const int depth = mMergeStack.Count();
  TMmMergeSteps::MergeOne(*this, id);
  if (mMergeStack.Count() != depth) MmRaise<EMergeMachine>(this, "Broken stack after merging node %d.", id);
}

void TMergeMachine::NodeMerged(int32_t) {}

void TMergeMachine::RemoveMerged(int32_t id) { mMerged.Remove(id); }

std::unique_ptr<TMmFinder> TMergeMachine::CreateFinder() { return std::make_unique<TMmFinder>(this); }

bool TMergeMachine::AcceptChild(int32_t, TMmNode&) { return true; }

void TMergeMachine::InheritData(int32_t, int32_t) {}

// The clone of an inheriting node carries the target's own children as well as its own, so it
// builds the union; it also stands where the target stood, so it inherits like the target did.
int32_t TMergeMachine::Overlay(TMmNode& node, TMmNode& target) {
  const int32_t targetId = target.ID;
  TMmNode* clone = CloneNode(node);
  if (clone->Inheriting) {
    TMmIdList own;
    own.Assign(target.OwnChildren);
    own.Merge(node.OwnChildren, node.Prepending);
    clone->OwnChildren.Assign(own);
  }
  clone->Absorbed.Add(targetId, 0);
  if (!target.OffContext) clone->Inheriting = target.Inheriting;
  const int32_t cloneId = clone->ID;
  InheritData(cloneId, targetId);
  return cloneId;
}

int32_t TMergeMachine::AdoptMergedChild(int32_t childId, TMmNode&) { return childId; }

TMmNode* TMergeMachine::AddDefined(std::unique_ptr<TMmNode> node) { return mDefined.Add(std::move(node)); }

void TMergeMachine::Cleanup() {
  if (mCleanupMode == TMmCleanupMode::None) return;
  const int count = mMerged.Count();
  std::vector<uint8_t> keep(count, 0);
  auto mark = [&](int32_t id) {
    if (id >= 0 && id < count) keep[id] = 1;
  };
  auto markList = [&](const TMmIdList& list) {
    for (int i = 0; i < list.Count(); ++i) mark(list.Id(i));
  };
  if (mCleanupMode == TMmCleanupMode::KeepReferenced) {
    mark(0);  // the root is the result's entry, referenced or not
    for (int id = 0; id < count; ++id) {
      TMmNode* node = mMerged.Find(id);
      if (!node) continue;
      mark(node->ParentID);
      mark(node->AncestorID);
      markList(node->ClonedFrom);
      markList(node->Absorbed);
      markList(node->Children);
    }
  } else {
    std::vector<int32_t> pending;
    if (count > 0 && mMerged.Find(0)) {
      keep[0] = 1;
      pending.push_back(0);
    }
    while (!pending.empty()) {
      TMmNode* node = mMerged.Find(pending.back());
      pending.pop_back();
      if (!node) continue;
      for (int i = 0; i < node->Children.Count(); ++i) {
        const int32_t child = node->Children.Id(i);
        if (child < count && !keep[child]) {
          keep[child] = 1;
          pending.push_back(child);
        }
      }
    }
  }
  for (int id = count - 1; id >= 0; --id)
    if (!keep[id] && id < mMerged.Count() && mMerged.Find(id)) RemoveMerged(id);
}

TMmNode* TMergeMachine::CloneNode(TMmNode& node) {
  std::unique_ptr<TMmNode> copy = node.Copy();
  copy->ClonedFrom.Add(node.ID, 0);
  return AddMerged(std::move(copy));
}

TMmNode* TMergeMachine::AddMerged(std::unique_ptr<TMmNode> node) { return mMerged.Add(std::move(node)); }

}  // namespace skeinwork
