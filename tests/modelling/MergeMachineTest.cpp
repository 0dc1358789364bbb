#include "MergeMachine.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace skeinwork {
namespace {

// A toy machine over toy trees. Each node may carry a TToyInfo: "implicit" children are never
// taken over from elsewhere, and a merge entry marked "..." makes marked copies of what it
// appends, much as a model does.

struct TToyInfo : TSwObject {
  TToyInfo(bool implicit, bool marked) : Implicit(implicit), Marked(marked) {}
  bool Implicit, Marked;
};

class TToyMachine : public TMergeMachine {
 public:
  std::vector<std::string> Events;
  int32_t MergeEarlyFromRoot = -1;  // merged from NodeMerged(0), before the root is merged
  int32_t BreakStackAt = -1;        // NodeMerged pushes a stray entry for this node

  TToyInfo* NewInfo(bool implicit, bool marked) {
    mInfos.push_back(std::make_unique<TToyInfo>(implicit, marked));
    return mInfos.back().get();
  }

  void NodeMerged(int32_t id) override {
    Events.push_back("merged " + std::to_string(id));
    if (id == 0 && MergeEarlyFromRoot >= 0) MergeNode(MergeEarlyFromRoot);
    if (id == BreakStackAt) MutableMergeStack().Push(id);
  }
  void InheritData(int32_t id, int32_t ancestorId) override {
    Events.push_back("inherit " + std::to_string(id) + "<-" + std::to_string(ancestorId));
  }
  void RemoveMerged(int32_t id) override {
    Events.push_back("remove " + std::to_string(id));
    TMergeMachine::RemoveMerged(id);
  }
  bool AcceptChild(int32_t childId, TMmNode&) override {
    const TToyInfo* info = Info(MergedNode(childId));
    return !(info && info->Implicit);
  }
  TMmNode* CloneNode(TMmNode& node) override {
    TMmNode* clone = TMergeMachine::CloneNode(node);
    if (const TToyInfo* info = Info(&node)) clone->Data = NewInfo(info->Implicit, info->Marked);
    return clone;
  }
  int32_t AdoptMergedChild(int32_t childId, TMmNode& entry) override {
    const TToyInfo* entryInfo = Info(&entry);
    if (!entryInfo || !entryInfo->Marked) return childId;
    TMmNode* clone = CloneNode(*MergedNode(childId));
    clone->Data = NewInfo(Info(clone) && Info(clone)->Implicit, true);
    return clone->ID;
  }

  static const TToyInfo* Info(const TMmNode* node) {
    return node ? static_cast<const TToyInfo*>(node->Data) : nullptr;
  }

 private:
  std::vector<std::unique_ptr<TToyInfo>> mInfos;  // owned
};

// Defines a toy tree from lines separated by "|": two blanks of indentation per level, then the
// node, then merge lists. A node is written with flag prefixes ("@" inheriting, "+" prepending,
// "!" implicit), then its name, in parentheses when off-context. "<a,b" and ">c,d..." are the left
// and right merge lists; "..." marks an entry.
void Define(TToyMachine& machine, const std::string& tree) {
  std::vector<int32_t> parents;  // by level
  std::istringstream lines(tree);
  for (std::string line; std::getline(lines, line, '|');) {
    size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) indent = line.size();
    const size_t level = indent / 2;
    std::istringstream tokens(line.substr(indent));
    std::string spec;
    tokens >> spec;
    auto node = std::make_unique<TMmNode>();
    node->ParentID = level == 0 ? -1 : parents.at(level - 1);
    size_t at = 0;
    for (; at < spec.size() && std::string("@+!").find(spec[at]) != std::string::npos; ++at) {
      if (spec[at] == '@') node->Inheriting = true;
      if (spec[at] == '+') node->Prepending = true;
      if (spec[at] == '!') node->Data = machine.NewInfo(true, false);
    }
    std::string name = spec.substr(at);
    if (name.size() >= 2 && name.front() == '(' && name.back() == ')') {
      node->OffContext = true;
      name = name.substr(1, name.size() - 2);
    }
    node->Name = Utf8ToWide(name);
    std::string merges;
    while (tokens >> merges) {
      const bool left = merges[0] == '<';
      std::istringstream entries(merges.substr(1) + ",");
      std::string entryName;
      while (std::getline(entries, entryName, ',')) {
        const bool marked = entryName.size() > 3 && entryName.ends_with("...");
        if (marked) entryName.resize(entryName.size() - 3);
        TMmNode* entry = left ? node->AddLeftMerge(Utf8ToWide(entryName)) : node->AddRightMerge(Utf8ToWide(entryName));
        if (marked) entry->Data = machine.NewInfo(false, true);
      }
    }
    const int32_t id = machine.AddDefined(std::move(node))->ID;
    parents.resize(level + 1);
    parents[level] = id;
  }
}

std::string Label(const TMmNode& node) {
  std::string label;
  if (node.Inheriting) label += "@";
  if (node.Prepending) label += "+";
  const TToyInfo* info = TToyMachine::Info(&node);
  if (info && info->Implicit) label += "!";
  const std::string name = WideToUtf8(node.Name);
  label += node.OffContext ? "(" + name + ")" : name;
  if (info && info->Marked) label += "...";
  return label + "#" + std::to_string(node.ID);
}

// The merged graph from the root, one node a line, the lines separated by "|": "name#ID/tag" (tag
// 0 not shown); a node met again is written "*name#ID" and not expanded.
std::string Dump(const TMergeMachine& machine) {
  std::string out;
  std::vector<bool> seen(machine.Merged().Count());
  struct TItem { int32_t Id; int Tag; int Depth; };
  std::vector<TItem> pending{{0, 0, 0}};
  while (!pending.empty()) {
    TItem item = pending.back();
    pending.pop_back();
    const TMmNode* node = machine.MergedNode(item.Id);
    out += (out.empty() ? "" : "|") + std::string(item.Depth * 2, ' ');
    if (!node) {
      out += "<empty #" + std::to_string(item.Id) + ">";
      continue;
    }
    const bool again = seen[item.Id];
    seen[item.Id] = true;
    out += (again ? "*" : "") + Label(*node) + (item.Tag ? "/" + std::to_string(item.Tag) : "");
    if (again) continue;
    for (int i = node->Children.Count() - 1; i >= 0; --i)
      pending.push_back({node->Children.Id(i), node->Children.Tag(i), item.Depth + 1});
  }
  return out;
}

// Lists and the stack.

std::string Entries(const TMmIdList& list) {
  std::string out;
  for (int i = 0; i < list.Count(); ++i)
    out += (i ? " " : "") + std::to_string(list.Id(i)) + ":" + std::to_string(list.Tag(i));
  return out;
}

TEST(MmIdList, EntriesCarryIdsAndOriginTags) {
  TMmIdList list;
  EXPECT_EQ(list.HighestTag(), 0);
  list.Add(5, 3);
  list.Add(0xFFFFFF, 255);  // the largest ID and tag a list stores
  list.Insert(0, 7, 1);
  EXPECT_EQ(Entries(list), "7:1 5:3 16777215:255");
  EXPECT_EQ(list.HighestTag(), 255);
  list.Put(1, 9, 0);
  EXPECT_TRUE(list.Contains(9) && !list.Contains(5));
  list.Delete(2);
  EXPECT_EQ(list.HighestTag(), 1);  // found again once the highest is gone
  TMmIdList copy;
  copy.Assign(list);
  EXPECT_EQ(Entries(copy), "7:1 9:0");
}

TEST(MmIdList, MergeKeepsOriginsApart) {
  struct Row { std::vector<std::pair<int, int>> First, Second; bool Prepend; std::string Expected; };
  const Row rows[] = {
      {{}, {{7, 3}, {8, 0}}, false, "7:3 8:0"},
      {{{1, 0}, {2, 1}}, {{7, 0}, {8, 2}, {9, 0}}, false, "1:0 2:1 7:2 8:3 9:2"},
      {{{1, 0}, {2, 1}}, {{7, 0}, {8, 2}, {9, 0}}, true, "7:2 8:3 9:2 1:0 2:1"},
      {{{1, 2}}, {{5, 9}, {6, 4}}, false, "1:2 5:1 6:0"}, {{{1, 0}}, {}, true, "1:0"},
      // 255 origins take the last free tag; one more runs out and leaves the list as it was.
      {{}, {{1, 0}}, false, "255 entries, highest tag 255"}, {{}, {{1, 0}, {2, 1}}, false, "error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Expected);
    TMmIdList first, second;
    for (auto [id, tag] : row.First) first.Add(id, tag);
    for (auto [id, tag] : row.Second) second.Add(id, tag);
    if (row.Expected.find(':') != std::string::npos) {
      first.Merge(second, row.Prepend);
      EXPECT_EQ(Entries(first), row.Expected);
      continue;
    }
    for (int tag = 0; tag < 255; ++tag) first.Add(tag, tag);
    if (row.Expected == "error") {
      ExpectError<ESkeinwork>([&] { first.Merge(second, false); }, "Origins pool exhaused when merging two TMmIdList.");
      EXPECT_EQ(first.Count(), 255);
    } else {
      first.Merge(second, false);
      EXPECT_EQ(first.Tag(255), 255);
    }
  }
}

// A list of IDs holding 1 and 2, an empty stack, and a list of nodes without empty slots holding
// "a" and "b": what each refuses.
TEST(MmLists, RefuseWhatTheyCannotStore) {
  using TAction = std::function<void(TMmIdList&, TMmIdStack&, TMmList&)>;
  const std::pair<TAction, std::string> rows[] = {
      {[](TMmIdList& l, auto&, auto&) { l.Add(-1); }, "TMmIdList cannot store ID = -1."},
      {[](TMmIdList& l, auto&, auto&) { l.Add(0x1000000); }, "TMmIdList cannot store ID = 16777216."},
      {[](TMmIdList& l, auto&, auto&) { l.Add(1, 256); }, "TMmIdList cannot store origin tag 256."},
      {[](TMmIdList& l, auto&, auto&) { l.Put(0, -1, 0); }, "TMmIdList cannot store ID = -1."},
      {[](TMmIdList& l, auto&, auto&) { l.Id(3); }, "List index out of bounds (3)."},
      {[](TMmIdList& l, auto&, auto&) { l.Delete(-1); }, "List index out of bounds (-1)."},
      {[](TMmIdList& l, auto&, auto&) { l.Insert(3, 1); }, "List index out of bounds (3)."},
      {[](auto&, TMmIdStack& s, auto&) { s.Pop(); }, "Broken TMmIdStack."},
      {[](auto&, auto&, TMmList& n) { auto node = std::make_unique<TMmNode>(); node->ID = 5; n.Add(std::move(node)); },
       "TMmNode must be unassigned (ID = -1) before writing to TMmList.Items[2]."},
      {[](auto&, auto&, TMmList& n) { n.SetItem(0, std::make_unique<TMmNode>()); }, "Cannot replace TMmNode at 0 in TMmList."},
      {[](auto&, auto&, TMmList& n) { n.SetItem(2, nullptr); }, "TMmList.Items[2] cannot be set to nil."},
      {[](auto&, auto&, TMmList& n) { n.Remove(0); }, "Cannot delete item 0 because TMmList doesn't accept nil."},
      {[](auto&, auto&, TMmList& n) { n.Item(2); }, "List index out of bounds (2)."},
      {[](auto&, auto&, TMmList& n) { n.SetItem(5, std::make_unique<TMmNode>()); }, "List index out of bounds (5)."},
  };
  for (const auto& [action, message] : rows) {
    SCOPED_TRACE(message);
    TMmIdList ids;
    ids.Add(1);
    ids.Add(2);
    TMmIdStack stack;
    TMmList nodes(false);
    nodes.Add(std::make_unique<TMmNode>(u"a"));
    nodes.Add(std::make_unique<TMmNode>(u"b"));
    ExpectError<EMmListError>([&] { action(ids, stack, nodes); }, message);
  }
}

TEST(MmList, NumbersItsNodesAndReusesEmptySlots) {
  TMmList strict(false), loose(true);
  strict.Add(std::make_unique<TMmNode>(u"a"));
  strict.Remove(strict.Add(std::make_unique<TMmNode>(u"b"))->ID);  // the last entry may always go
  EXPECT_EQ(strict.Count(), 1);
  for (const char16_t* name : {u"a", u"b", u"c"}) loose.Add(std::make_unique<TMmNode>(name));
  loose.Remove(1);
  EXPECT_TRUE(loose.Count() == 3 && !loose.Item(1) && !loose.Find(1) && !loose.Find(7));
  loose.SetItem(1, std::make_unique<TMmNode>(u"d"));  // an empty slot can be filled again
  EXPECT_EQ(loose.Item(1)->ID, 1);
  loose.Remove(2);
  EXPECT_EQ(loose.Count(), 2);
}

// Merging toy trees.

// The merged graph of `tree`, or "EClass: message" of the error merging it raises.
std::string Merged(const std::string& tree) {
  TToyMachine machine;
  Define(machine, tree);
  return ResultOrError([&] { machine.Merge(); return Dump(machine); });
}

// Whether every node left in the merged graph went through merging.
bool AllMerged(const TMergeMachine& machine) {
  for (int id = 0; id < machine.Merged().Count(); ++id)
    if (const TMmNode* node = machine.MergedNode(id); node && !node->Merged) return false;
  return true;
}

TEST(MergeMachine, ResolvesInheritanceMergesAndRecursionOrReportsFaults) {
  const std::string ambiguous = "EMmAmbiguousFind: Ambiguous node ";
  const std::string definite = " reference 'n': both parent and sibling of the same name exist. "
                               "Use '(off-context)' for definite reference.";
  const std::string recursive = "EMmRecursiveMerging: Recursive node merges: ";
  struct Row { const char* Title; std::string Tree, Expected; };
  const Row rows[] = {
      {"own children only", "root|  a|    b|  c", "root#0|  a#1|    b#2|  c#3"},
      {"recursion through an off-context definition", "root|  (expr)|    num|    paren|      @expr",
       "root#0|  (expr)#1|    num#2|    paren#3|      @expr#4|        num#5/1|        *paren#3/1"},
      {"a nearer definition hides the one at the root", "root|  (x)|    a|  p|    (x)|      b|    q|      @x",
       "root#0|  (x)#1|    a#2|  p#3|    (x)#4|      b#5|    q#6|      @x#7|        b#8/1"},
      {"a root-level definition is found from any depth", "root|  (x)|    a|  p|    q|      r|        @x",
       "root#0|  (x)#1|    a#2|  p#3|    q#4|      r#5|        @x#6|          a#7/1"},
      {"an off-context item without ancestor stays as it is", "root|  @(y)|    a", "root#0|  @(y)#1|    a#2"},
      {"inherited children come before own ones", "root|  (d)|    x|  @d|    y",
       "root#0|  (d)#1|    x#2|  @d#3|    x#5/1|    y#4"},
      {"a prepending item puts its own children first", "root|  (d)|    x|  @+d|    y",
       "root#0|  (d)#1|    x#2|  @+d#3|    y#4|    x#5/1"},
      {"a plain sibling is an ancestor too", "root|  x|    a|  @x", "root#0|  x#1|    a#2|  @x#3|    a#4/1"},
      {"an item named like an enclosing item inherits from it", "root|  list|    item|    @list",
       "root#0|  list#1|    item#2|    @list#3|      item#4/1|      *@list#3/1"},
      {"an inheriting child overlays the inherited one in place", "root|  (d)|    x|      a|    y|  @d|    @x|      b",
       "root#0|  (d)#1|    x#2|      a#3|    y#4|  @d#5|    x#10/1|      a#11|      b#12/1|    y#9/1"},
      {"a prepending overlay puts its own children first", "root|  (d)|    x|      a|    y|  @d|    @+x|      b",
       "root#0|  (d)#1|    x#2|      a#3|    y#4|  @d#5|    +x#10/1|      b#11/1|      a#12|    y#9/1"},
      {"an off-context child overlays an off-context one", "root|  (d)|    (h)|      a|  @d|    (h)|      b",
       "root#0|  (d)#1|    (h)#2|      a#3|  @d#4|    (h)#8/1|      b#9"},
      {"left merges, own children, right merges", "root|  (m1)|    p|  (m2)|    q|  n <m1 >m2|    o",
       "root#0|  (m1)#1|    p#2|  (m2)#3|    q#4|  n#5|    p#7/2|    o#6|    q#8/3"},
      {"merges come around the inherited children", "root|  (m)|    p|  (d)|    x|  @d <m >m|    o",
       "root#0|  (m)#1|    p#2|  (d)#3|    x#4|  @d#5|    p#7/2|    x#8/1|    o#6|    p#9/3"},
      {"a marked merge entry appends marked copies", "root|  (m)|    p|  n >m...",
       "root#0|  (m)#1|    p#2|  n#3|    p...#5/1"},
      {"a merge of the enclosing definition forms recursion", "root|  (item)|    v|    (more) >item",
       "root#0|  (item)#1|    v#2|    (more)#3|      v#4/1|      *(more)#3/1"},
      {"implicit children are not taken over, own ones stay", "root|  (d)|    !imp|    x|  @d|    !own",
       "root#0|  (d)#1|    !imp#2|    x#3|  @d#4|    x#6/1|    !own#5"},
      // Faults of the tree.
      {"no ancestor", "root|  @y", "EMmNoAncestor: Cannot find ancestor of inheriting node 'y'."},
      {"two inheritance targets", "root|  (d)|  (d)|  p|    @d",
       "EMmManySinkPoints: Multiple possible inheritance targets for node 'd' among children of parent 'root'."},
      {"two merge targets", "root|  (d)|  (d)|  p >d",
       "EMmManySinkPoints: Multiple possible merge targets for node 'd' among children of parent 'root'."},
      {"inheriting a parent or a sibling", "root|  n|    a|    n|    @n", ambiguous + "inheritance" + definite},
      {"merging a parent or a sibling", "root|  n|    a|    n|    m >n", ambiguous + "merge" + definite},
      {"merges in a ring", "root|  a >b|  b >a", recursive + "a #1 > b #2 >> a #1."},
      {"an off-context item merging its namesake", "root|  (a) >a|  (a) >a", recursive + "a #1 > a #2 >> a #1."},
      {"merges through a left merge", "root|  a >b,c|  b|  c <d|  d >a", recursive + "a #1 > c #3 > d #4 >> a #1."},
      {"merges through inheritance", "root|  (a) >b|    p|  (b)|    q|      @b >a",
       recursive + "a #1 > b #3 > q #4 > b #5 >> a #1."},
      {"two inheriting namesakes", "root|  @(a)|  @(a)", recursive + "a #1 > a #2 >> a #1."},
      // Nested items that each inherit the one around them keep overlaying each other's copies
      // until two copies stand before one of them.
      {"overlays in overlays", "root|  l|    @l|      @l|        @l",
       "EMmManyOverlayTargets: Ambiguous overlay target among children of 'l'."},
      {"two overlay targets", "root|  (d)|    x|  (e)|    x|  @d <e|    @x",
       "EMmManyOverlayTargets: Ambiguous overlay target among children of 'd'."},
      {"no merge target", "root|  n >zz", "EMmNoMergeNode: Cannot locate node 'zz' to merge 'n' with."},
      {"an empty inherited name", "root|  @", "EMmBadFinder: FName given to TMmFinder is empty."},
      {"an empty merge name", "root|  n >", "EMmBadFinder: FName given to TMmFinder is empty."},
  };
  for (const Row& row : rows) EXPECT_EQ(Merged(row.Tree), row.Expected) << row.Title;
}

TEST(MergeMachine, MergeListsHaveAnOriginPool) {
  // Result: the merged node's child count and highest origin tag, or the error.
  struct Row { int Left, Right; std::string Result; };
  const std::string exceeded = "ESkeinwork: Origins pool exceeded when adding node merges.";
  const Row rows[] = {{253, 0, "253 254"}, {254, 0, exceeded}, {253, 1, exceeded}, {0, 254, "254 254"}, {0, 255, exceeded}};
  for (const Row& row : rows) {
    std::string left, right;
    for (int i = 0; i < row.Left; ++i) left += (i ? ",m" : " <m");
    for (int i = 0; i < row.Right; ++i) right += (i ? ",m" : " >m");
    TToyMachine machine;
    Define(machine, "root|  (m)|    p|  n" + left + right);
    EXPECT_EQ(ResultOrError([&] {
                machine.Merge();
                const TMmIdList& children = machine.MergedNode(3)->Children;
                return std::to_string(children.Count()) + " " + std::to_string(children.HighestTag());
              }),
              row.Result) << row.Left << " " << row.Right;
  }
}

TEST(MergeMachine, RefusesBadDefinitionsAndCalls) {
  struct Row { std::function<void(TToyMachine&)> Action; std::string Message; };
  auto defineRoot = [](TMergeMachine& m, int32_t parent) {
    auto node = std::make_unique<TMmNode>(u"root");
    node->ParentID = parent;
    m.AddDefined(std::move(node));
  };
  const Row rows[] = {
      {[](TToyMachine& m) { m.Merge(); }, "No Defined nodes are found on Merge."},
      {[&](TToyMachine& m) { defineRoot(m, 3); m.Merge(); },
       "First Defined node must be root (Parent = -1) but it has Parent = 3."},
      {[&](TToyMachine& m) { defineRoot(m, -1); defineRoot(m, 4); m.Merge(); },
       "Defined node 1 must have its Parent defined before it but it has Parent = 4."},
      {[&](TToyMachine& m) { defineRoot(m, -1); defineRoot(m, -1); m.Merge(); },
       "Defined node 1 must have its Parent defined before it but it has Parent = -1."},
      // The message names the machine's class.
      {[&](TToyMachine&) { TMergeMachine plain; defineRoot(plain, -1); plain.Merge(); plain.Merge(); },
       "TMergeMachine.Merge can be called just once."},
      {[&](TToyMachine& m) { defineRoot(m, -1); m.Merge(); m.MergeNode(99); }, "Unknown node ID to merge (99)."},
      // A scope is searched only once it is merged; the stack is checked after each node.
      {[](TToyMachine& m) { Define(m, "top|  @x|  (x)"); m.MergeEarlyFromRoot = 1; m.Merge(); },
       "Tried to find a node among children of non-merged parent 'top'."},
      {[](TToyMachine& m) { Define(m, "root|  a|    b"); m.BreakStackAt = 1; m.Merge(); },
       "Broken stack after merging node 1."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Message);
    TToyMachine machine;
    ExpectError<EMergeMachine>([&] { row.Action(machine); }, row.Message);
  }
}

// The merge stack bounds every kind of nesting: a line of children, and a chain of merges where
// each definition merges the next one.
TEST(MergeMachine, DepthIsBounded) {
  // Result: the merged node count and what is left on the merge stack, or the error.
  struct Row { bool Merges; int Depth; std::string Result; };
  const std::string tooDeep = "EMmListError: Too deep TMmIdStack.";
  const Row rows[] = {{false, 4000, "4000 0"}, {false, 4096, "4096 0"}, {false, 4097, tooDeep}, {false, 20000, tooDeep},
                      {true, 4000, "4000 0"}, {true, 4200, tooDeep}};
  for (const Row& row : rows) {
    TMergeMachine machine;
    machine.AddDefined(std::make_unique<TMmNode>(u"root"));
    for (int i = 1; i < row.Depth; ++i) {
      auto node = std::make_unique<TMmNode>(Utf8ToWide("n" + std::to_string(i)));
      node->ParentID = row.Merges ? 0 : i - 1;
      if (row.Merges && i + 1 < row.Depth) node->AddRightMerge(Utf8ToWide("n" + std::to_string(i + 1)));
      machine.AddDefined(std::move(node));
    }
    EXPECT_EQ(ResultOrError([&] {
                machine.Merge();
                return std::to_string(machine.Merged().Count()) + " " + std::to_string(machine.MergeStack().Count());
              }),
              row.Result) << row.Merges << " " << row.Depth;
  }
}

// Recursive definitions through inheritance and merges end, however they nest.
TEST(MergeMachine, RecursiveDefinitionsEnd) {
  const char* const trees[] = {
      "root|  (a)|    @a|    @a|    x|      @a", "root|  (a)|    (b)|      @a|      @b|    @b|  @a",
      "root|  (a) >b|    p|      @a|  (b)|    q", "root|  l|    @l|      x",
  };
  for (const char* tree : trees) {
    SCOPED_TRACE(tree);
    TToyMachine machine;
    Define(machine, tree);
    machine.Merge();
    EXPECT_LT(machine.Merged().Count(), 100);
    EXPECT_TRUE(AllMerged(machine));
  }
}

// A definition that merges marked copies of its enclosing definition copies itself into its
// copies: with two such children every level doubles, and a budget stops it; with one the copies
// form a line that ends at the merge stack's depth.
TEST(MergeMachine, ExpansionIsBounded) {
  struct Row { std::string Tree; int32_t MaxNodes; int64_t MaxWork; std::string Error; };  // Error: class and message
  const std::string doubling = "root|  c|    @(c) >c...|    b";
  const Row rows[] = {
      {doubling, 1000, TMergeMachine::DefaultMaxWork,
       "EMmExpansionLimit: Merging makes more than 1000 nodes; the definitions expand without end."},
      {doubling, TMergeMachine::DefaultMaxNodes, 100000,
       "EMmExpansionLimit: Merging takes more than 100000 steps; the definitions expand without end."},
      {"root|  (item)|    v|    (more) >item...", TMergeMachine::DefaultMaxNodes,
       TMergeMachine::DefaultMaxWork, "EMmListError: Too deep TMmIdStack."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Error);
    TToyMachine machine;
    machine.SetExpansionLimits(row.MaxNodes, row.MaxWork);
    Define(machine, row.Tree);
    EXPECT_EQ(ErrorText([&] { machine.Merge(); }), row.Error);
    EXPECT_LE(machine.Merged().Count(), std::max(row.MaxNodes, 20000) + 1);
  }
}

// The operations a model's machine overrides come in merge order, and the merged nodes record where
// they came from.
TEST(MergeMachine, CallsItsOperationsInOrderAndRecordsOrigins) {
  TToyMachine machine;
  Define(machine, "root|  (expr)|    num|    paren|      @expr");
  machine.Merge();
  EXPECT_EQ(machine.Events, (std::vector<std::string>{"merged 0", "merged 1", "merged 2", "merged 3", "inherit 4<-1",
                                                      "merged 4", "merged 5"}));
  EXPECT_EQ(machine.MergedNode(4)->AncestorID, 1);
  EXPECT_EQ(Entries(machine.MergedNode(5)->ClonedFrom), "2:0");

  TToyMachine overlaid;
  Define(overlaid, "root|  (d)|    x|      a|  @d|    @x|      b");
  overlaid.SetCleanupMode(TMmCleanupMode::None);
  overlaid.Merge();
  // @d#4 inherits x#7 (a clone of x#2); @x#5 overlays it as its clone #8.
  const TMmNode& overlay = *overlaid.MergedNode(8);
  EXPECT_EQ(Entries(overlay.Absorbed) + " | " + Entries(overlay.ClonedFrom) + " | " + Entries(overlay.OwnChildren),
            "7:0 | 5:0 | 3:0 6:1");
  EXPECT_FALSE(overlay.Inheriting);
  EXPECT_EQ(std::vector<std::string>(overlaid.Events.begin(), overlaid.Events.begin() + 6),
            (std::vector<std::string>{"merged 0", "merged 1", "merged 2", "merged 3", "inherit 4<-1", "inherit 8<-7"}));
}

TEST(MergeMachine, CleanupModesKeepDifferentNodes) {
  const std::string overlay = "root|  (d)|    x|      a|    y|  @d|    @x|      b";
  struct Row { std::string Tree; TMmCleanupMode Mode; int Count; std::vector<int32_t> Removed; };
  const Row rows[] = {
      {overlay, TMmCleanupMode::None, 13, {}}, {overlay, TMmCleanupMode::KeepReferenced, 13, {}},
      {overlay, TMmCleanupMode::KeepReachable, 13, {8, 7, 6}},
      // The plain copy #4 of p that the marked entry replaced is unreachable; #5 stays.
      {"root|  (m)|    p|  n >m...", TMmCleanupMode::KeepReachable, 6, {4}},
      {"root", TMmCleanupMode::KeepReferenced, 1, {}},  // the root stays although nothing names it
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Tree + " " + std::to_string(static_cast<int>(row.Mode)));
    TToyMachine machine;
    Define(machine, row.Tree);
    machine.SetCleanupMode(row.Mode);
    machine.Merge();
    EXPECT_EQ(machine.Merged().Count(), row.Count);
    std::vector<int32_t> removed;
    for (const std::string& event : machine.Events)
      if (event.starts_with("remove ")) removed.push_back(std::stoi(event.substr(7)));
    EXPECT_EQ(removed, row.Removed);
    for (int32_t id : row.Removed) EXPECT_EQ(machine.MergedNode(id), nullptr);
  }
}

TEST(MergeMachine, HandlerLetsMissingAncestorsPass) {
  TToyMachine machine;
  TErrorLog log;
  machine.SetErrorHandler(log.Handler());
  Define(machine, "root|  @y|    a|  @z");
  machine.Merge();
  EXPECT_EQ(log.Errors, (std::vector<std::string>{"EMmNoAncestor: Cannot find ancestor of inheriting node 'y'.",
                                                  "EMmNoAncestor: Cannot find ancestor of inheriting node 'z'."}));
  EXPECT_EQ(Dump(machine), "root#0|  @y#1|    a#2|  @z#3");
}

TEST(MergeMachine, DecoratorAddsToEveryMachineMessage) {
  SetMmMessageDecorator({+[](void*, const TMergeMachine* machine, const ESkeinwork&) {
                           return SwFormat(" 100%% [top %d]", machine ? machine->MergeStack().Top() : -2);
                         }, nullptr});
  const std::pair<std::string, std::string> rows[] = {
      {"root|  n >zz", "EMmNoMergeNode: Cannot locate node 'zz' to merge 'n' with. 100% [top 1]"},
      {"root|  a|    @", "EMmBadFinder: FName given to TMmFinder is empty. 100% [top 2]"},
      {"root|  a >a", "EMmNoMergeNode: Cannot locate node 'a' to merge 'a' with. 100% [top 1]"},
  };
  for (const auto& [tree, error] : rows) EXPECT_EQ(Merged(tree), error);
  TToyMachine empty;
  ExpectError<EMmNoneDefined>([&] { empty.Merge(); }, "No Defined nodes are found on Merge. 100% [top -1]");
  // List errors are not the machine's own and stay as they are.
  TMmIdList list;
  ExpectError<EMmListError>([&] { list.Add(-1); }, "TMmIdList cannot store ID = -1.");
  SetMmMessageDecorator({});
  ExpectError<EMmNoneDefined>([&] { empty.Merge(); }, "No Defined nodes are found on Merge.");
}

// Random small trees of few names, flags and merges: every one either merges or fails with the
// system's own error, and none grows without bound.
TEST(MergeMachine, RandomTreesEndInResultsOrErrors) {
  uint32_t seed = 12345;
  auto next = [&](uint32_t range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % range;
  };
  const char* names[] = {"a", "b", "c"};
  int merged = 0, failed = 0, largest = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string tree = "root";
    std::vector<int> levels = {0};
    const int count = 2 + static_cast<int>(next(10));
    for (int i = 1; i < count; ++i) {
      const int level = 1 + static_cast<int>(next(static_cast<uint32_t>(levels.back() + 1)));
      levels.push_back(level);
      std::string line(level * 2, ' ');
      if (next(3) == 0) line += "@";
      if (next(5) == 0) line += "+";
      const std::string name = names[next(3)];
      line += next(3) == 0 ? "(" + name + ")" : name;
      if (next(4) == 0) line += std::string(" <") + names[next(3)];
      if (next(4) == 0) line += std::string(" >") + names[next(3)] + (next(2) ? "..." : "");
      tree += "|" + line;
    }
    SCOPED_TRACE(tree);
    TToyMachine machine;
    machine.SetExpansionLimits(2000, 300000);
    Define(machine, tree);
    try {
      machine.Merge();
      ++merged;
      EXPECT_TRUE(AllMerged(machine));
    } catch (const ESkeinwork&) {
      ++failed;
    }
    largest = std::max(largest, machine.Merged().Count());
  }
  EXPECT_GT(merged, 100);
  EXPECT_GT(failed, 100);
  EXPECT_LE(largest, 2001);
}

}  // namespace
}  // namespace skeinwork
