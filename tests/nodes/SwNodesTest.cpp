#include "SwNodes.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"
#include "SwTreeDump.h"

#include <functional>
#include <memory>
#include <string>
#include <sstream>
#include <thread>
#include <vector>

namespace skeinwork {
namespace {

// Builds a tree from the same picture: "root(a(x y) b)".
std::unique_ptr<TSwTreeNode> Build(const std::string& picture) {
  std::unique_ptr<TSwTreeNode> root;
  std::vector<TSwTreeNode*> open;  // the nodes whose children follow
  TSwTreeNode* last = nullptr;
  std::string name;
  for (char c : picture + " ") {
    if (c != '(' && c != ')' && c != ' ') {
      name += c;
      continue;
    }
    if (!name.empty()) {
      last = root ? open.back()->AddChild(Utf8ToWide(name)) : (root = std::make_unique<TSwTreeNode>(Utf8ToWide(name))).get();
      name.clear();
    }
    if (c == '(') open.push_back(last);
    if (c == ')') open.pop_back();
  }
  return root;
}

// Follows "0.1.2" child indices from a node.
TSwTreeNode* At(TSwTreeNode* node, const std::string& indices) {
  for (char c : indices)
    if (c != '.') node = node->Child(c - '0');
  return node;
}

// ---------------------------------------------------------------------------------------------
// Values and properties

TEST(Values, DescriptionTexts) {
  TSwValue both = TSwValue::OfText(u"abcdefghijklmn");
  both.Kinds |= SwKind(ltInt);
  both.Int = -3;
  TSwObject object;
  TSwValue withObject = TSwValue::OfSlice(4, 10, &object);
  const std::pair<TSwValue, std::string> rows[] = {
      {TSwValue(), " NULL"}, {TSwValue::OfInt(5), " i5"}, {TSwValue::OfText(u"ab"), " s2 ab"},
      {TSwValue::OfText(u""), " s0"}, {both, " s14 abcdefghij i-3"},
      {TSwValue::OfRaw(std::string("\x01\xff\x10", 3)), " r3 01 FF 10"}, {TSwValue::OfBool(true), " bTRUE"},
      {TSwValue::OfBool(false), " bFALSE"},
  };
  for (const auto& [value, text] : rows) EXPECT_EQ(value.DescriptionText(), text);
  EXPECT_EQ(TSwValue::OfInt(5).DescriptionText(false), "i5");
  std::string slice = withObject.DescriptionText();
  EXPECT_EQ(slice.rfind(" i4 f10 oTSwObject$", 0), 0u) << slice;
  EXPECT_TRUE(withObject.IsSlice());
  // Only the plain text "implicit" is implicit.
  EXPECT_TRUE(TSwValue::OfText(u"implicit").IsImplicit());
  EXPECT_FALSE(TSwValue::OfText(u"Implicit").IsImplicit());
  TSwValue numbered = TSwValue::OfText(u"implicit");
  numbered.Kinds |= SwKind(ltInt);
  EXPECT_FALSE(numbered.IsImplicit());
}

class TCountedProperty : public TSwProperty {
 public:
  TCountedProperty(TSwProperties* owner, TSwName name, int* live) : TSwProperty(owner, name), mLive(live) { ++*mLive; }
  ~TCountedProperty() override { --*mLive; }

 private:
  int* mLive;
};

class TCountingBag : public TSwProperties {
 public:
  int Live = 0;

 protected:
  std::unique_ptr<TSwProperty> CreateProperty(TSwName name) override {
    return std::make_unique<TCountedProperty>(this, name, &Live);
  }
};

TEST(Properties, ReplacementFreesTheOldPropertyAndKeepsKeyOrder) {
  TCountingBag bag;
  std::vector<std::string> events;
  struct TLog {
    std::vector<std::string>* Events;
    bool Hear(TSwObject*, std::u16string_view event, TSwArgs args) {
      Events->push_back(WideToUtf8(event) + " " + WideToUtf8(ArgText(args, 0)));
      return false;
    }
  } log{&events};
  bag.Subscribe(u"sobj", TSwListener::Of<&TLog::Hear>(&log));
  for (const char16_t* name : {u"end", u"start", u"inner"}) bag.AddValue(name, TSwValue::OfInt(1));
  TSwProperty* first = bag.Get(u"start");
  bag.AddValue(u"start", TSwValue::OfInt(2));
  EXPECT_EQ(bag.Live, 3);
  EXPECT_NE(bag.Get(u"start"), first);
  EXPECT_EQ(bag.Get(u"start")->Value().Int, 2);
  EXPECT_EQ(events, std::vector<std::string>{"sobj start"});
  std::vector<WideString> names;
  for (int i = 0; i < bag.Count(); ++i) names.push_back(bag.Property(i)->Name());
  EXPECT_EQ(names, (std::vector<WideString>{u"end", u"inner", u"start"}));
}

TEST(Properties, ErrorsAndHas) {
  TSwProperties bag;
  ExpectError<ESwAddingNullProperty>([&] { bag.AddValue(u"x", TSwValue()); },
                                     "Attempted to add a null property 'x' to TSwProperties.");
  EXPECT_EQ(bag.Count(), 0);
  ExpectError<ESwNoProperty>([&] { bag.Get(u"start"); }, "Property 'start' is undefined on TSwProperties.");
  ExpectError<ESwUnownedProperty>([] { TSwProperty p(nullptr, u"x"); },
                                  "TSwProperty is not attached to any TSwProperties object.");
  TSwObject stream;
  bag.AddValue(u"start", TSwValue::OfSlice(0, 4, &stream));
  bag.AddValue(u"count", TSwValue::OfInt(4));
  EXPECT_TRUE(bag.Has(u"start", SwKind(ltSlice)));
  EXPECT_FALSE(bag.Has(u"count", SwKind(ltSlice)));
  EXPECT_TRUE(bag.Has(u"count", SwKind(ltInt) | SwKind(ltStr)));
  EXPECT_FALSE(bag.Has(u"none", 0xFF));
}

TEST(Properties, ThinLookUpAsksListenersForMissingNames) {
  TSwProperties bag;
  TSwProperties source;
  TSwProperty* supplied = source.AddValue(u"virtual", TSwValue::OfText(u"v"));
  struct TSupplier {
    TSwProperty* Supplied;
    int Calls = 0;
    bool Fill(TSwObject*, std::u16string_view, TSwArgs args) {
      ++Calls;
      auto* result = static_cast<TSwValue*>(ArgPointer(args, 1));
      if (ArgText(args, 0) == u"virtual") {
        result->Kinds = SwKind(ltObj);
        result->Obj = Supplied;
      }
      return false;
    }
  } first{supplied}, second{supplied};
  bag.Subscribe(u"thn", TSwListener::Of<&TSupplier::Fill>(&first));
  bag.Subscribe(u"thn", TSwListener::Of<&TSupplier::Fill>(&second));
  EXPECT_EQ(bag.Find(u"virtual"), supplied);
  EXPECT_EQ(second.Calls, 0);  // the first listener filled the result
  EXPECT_EQ(bag.Find(u"other"), nullptr);
  EXPECT_EQ(second.Calls, 1);
  EXPECT_EQ(bag.Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Tree nodes

// What a node shows of its properties, in order: "name: description" per property.
std::vector<std::string> ShownProperties(const TSwSingleNode& node) {
  std::vector<std::string> shown;
  for (int i = 0; i < node.PropertyCount(); ++i)
    shown.push_back(WideToUtf8(node.PropertyName(i).Text()) + ":" + node.PropertyValue(i).DescriptionText());
  return shown;
}

// A node that keeps its first four slices in its own storage, as result nodes do.
class TEmbeddedSlicesNode : public TSwTreeNode {
 public:
  explicit TEmbeddedSlicesNode(TSwName name) : TSwTreeNode(name) { UseSliceStorage(mStorage, 4); }

 private:
  alignas(8) unsigned char mStorage[SwSliceStorageBytes(4)];
};

TEST(Properties, SlicesSetOnABareNodeReadTheSameAsABag) {
  TSwObject streams[3];
  struct TSet { std::u16string Name; TSwValue Value; };
  // "name=start+length@stream" with stream A, B, C or 0 (none), one set a word.
  auto sets = [&](const std::string& text) {
    std::vector<TSet> out;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
      const size_t eq = word.find('='), plus = word.find('+'), at = word.find('@');
      TSwObject* stream = word[at + 1] == '0' ? nullptr : &streams[word[at + 1] - 'A'];
      out.push_back({Utf8ToWide(word.substr(0, eq)),
                     TSwValue::OfSlice(std::stoll(word.substr(eq + 1)), std::stoll(word.substr(plus + 1)), stream)});
    }
    return out;
  };
  struct TCase { const char* Label; std::vector<TSet> Sets; };
  std::vector<TCase> cases = {
      {"six result ranges, two streams",
       sets("start=0+4@A inner=1+2@A end=3+1@A startGlobal=10+4@B innerGlobal=11+2@B endGlobal=13+1@B")},
      {"six result ranges in name order, two streams",
       sets("end=3+1@A endGlobal=13+1@B inner=1+2@A innerGlobal=11+2@B start=0+4@A startGlobal=10+4@B")},
      {"replacing keeps one entry per name", sets("start=0+4@A start=5+6@B")},
      {"slices without a stream and with a null stream", sets("b=7+3@0 a=2+2@0")},
      {"a third stream moves the node to a bag", sets("x=0+1@A y=0+1@B z=0+1@C")},
      {"a stream used again keeps its slot", sets("a=0+1@A b=1+1@B c=2+1@A d=3+1@B")},
      {"a null stream takes a slot of its own", sets("a=0+1@A b=1+1@0 c=2+1@B")},
      {"a value that is not a plain slice moves the node to a bag", sets("start=0+4@A")},
      {"more slices than the compact form holds", {}},
  };
  cases[3].Sets[0].Value.Kinds &= static_cast<TSwTypes>(~SwKind(ltObj));  // no stream at all
  TSwValue withBool = TSwValue::OfSlice(1, 1, &streams[0]);
  withBool.Bool = true;
  cases[7].Sets.insert(cases[7].Sets.end(), {{u"label", TSwValue::OfText(u"text")}, {u"flag", withBool},
                                             {u"count", TSwValue::OfInt(3)}});
  for (int i = 19; i >= 0; --i) {
    cases[8].Sets.push_back({Utf8ToWide("p" + std::to_string(100 + i)), TSwValue::OfSlice(i, 1, &streams[0])});
  }
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TSwTreeNode compact(u"compact"), bagged(u"bagged");
    TEmbeddedSlicesNode embedded(u"embedded"), batched(u"batched");
    EXPECT_EQ(embedded.PropertyCount(), 0);
    // Sets of slices as OfSlice makes them also go in as one batch.
    std::vector<TSwNamedSlice> batch;
    bool slicesOnly = true;
    for (const TSet& set : c.Sets) {
      compact.SetValue(set.Name.c_str(), set.Value);
      embedded.SetValue(set.Name.c_str(), set.Value);
      bagged.Properties().AddValue(set.Name.c_str(), set.Value);
      slicesOnly = slicesOnly && set.Value.Kinds == SwSliceKinds && !set.Value.Bool;
      batch.push_back({set.Name.c_str(), set.Value.Int, static_cast<int64_t>(set.Value.Frac), set.Value.Obj});
    }
    std::vector<std::string> expected = ShownProperties(bagged);
    EXPECT_EQ(ShownProperties(compact), expected);
    if (slicesOnly) {
      batched.SetSlices(batch);
      EXPECT_EQ(ShownProperties(batched), expected);
    }
    // Outgrowing its own storage, or moving to a bag, loses nothing.
    EXPECT_EQ(ShownProperties(embedded), expected);
    ASSERT_NE(embedded.PropertiesIfAny(), nullptr);
    EXPECT_EQ(ShownProperties(embedded), expected);
    for (const TSet& set : c.Sets) {
      TSwValue found, stored;
      ASSERT_TRUE(compact.FindValue(set.Name.c_str(), found));
      stored = bagged.Properties().Get(set.Name.c_str())->Value();
      EXPECT_EQ(found.DescriptionText(), stored.DescriptionText());
      EXPECT_EQ(found.Bool, stored.Bool);
    }
    TSwValue missing;
    EXPECT_FALSE(compact.FindValue(u"no such property", missing));
    // Asking for the bag keeps every value; later sets go to the bag.
    ASSERT_NE(compact.PropertiesIfAny(), nullptr);
    EXPECT_EQ(compact.PropertiesIfAny()->Count(), static_cast<int>(expected.size()));
    EXPECT_EQ(ShownProperties(compact), expected);
    compact.SetValue(u"start", TSwValue::OfSlice(99, 1, &streams[0]));
    EXPECT_EQ(compact.Properties().Get(u"start")->Value().Int, 99);
  }
}

TEST(Properties, CompactSlicesRefuseWhatTheBagRefuses) {
  TSwTreeNode node(u"n");
  EXPECT_EQ(node.PropertiesIfAny(), nullptr);
  EXPECT_EQ(node.PropertyCount(), 0);
  TEmbeddedSlicesNode unused(u"unused");  // storage without slices is no property
  EXPECT_EQ(unused.PropertiesIfAny(), nullptr);
  node.SetValue(u"start", TSwValue::OfSlice(0, 1, nullptr));
  EXPECT_EQ(ShownProperties(node), std::vector<std::string>{"start: i0 f1 o???$00000000"});
  EXPECT_EQ(ErrorText([&] { node.SetValue(u"bad\x01key", TSwValue::OfSlice(0, 1, nullptr)); })
                .rfind("ESwHashBadKey: Attempted to add bad key 'bad\x01key' to ", 0), 0u);
  TSwTreeNode batched(u"b");
  const TSwNamedSlice badBatch[] = {{u"a", 0, 1, nullptr}, {u"bad\x01key", 0, 1, nullptr}};
  EXPECT_EQ(ErrorText([&] {
              batched.SetSlices(badBatch);
            }).rfind("ESwHashBadKey: Attempted to add bad key 'bad\x01key' to ", 0),
            0u);
  EXPECT_EQ(ErrorText([&] { node.SetValue(u"empty", TSwValue()); })
                .rfind("ESwAddingNullProperty: Attempted to add a null property 'empty' to ", 0), 0u);
  EXPECT_EQ(ErrorText([&] { node.PropertyName(1); }).rfind("EInvalidArgument: Property index 1 is out of range on ", 0), 0u);
  EXPECT_EQ(ShownProperties(node), std::vector<std::string>{"start: i0 f1 o???$00000000"});
}

// The same look-ups over a few children (scanned) and many (indexed) must agree, whether the
// names were checked as keys once beforehand (a run's appends) or at each child.
TEST(TreeNodes, ChildOrderAndLookUp) {
  for (bool checkedOnce : {false, true})
  for (int filler : {0, 1000}) {
    SCOPED_TRACE(testing::Message() << filler << (checkedOnce ? " checked once" : ""));
    TSwTreeNode root(u"root");
    auto add = [&](const char16_t* name) {
      checkedOnce ? root.AddChild(*TSwValidKey::Of(name)) : root.AddChild(name);
    };
    for (int i = 0; i < filler; ++i) add(i % 2 ? u"odd" : u"even");
    EXPECT_EQ(root.CountChildren(u"even"), (filler + 1) / 2);  // a large map makes its key index here
    for (const char16_t* name : {u"a", u"b", u"a"}) add(name);
    EXPECT_EQ(root.FindChild(u"a"), root.Child(filler));
    EXPECT_EQ(root.LastChild(u"a"), root.Child(filler + 2));
    EXPECT_EQ(root.CountChildren(u"*"), filler + 3);
    EXPECT_EQ(root.CountChildren(u"odd"), filler / 2);
    EXPECT_EQ(root.FindChild(u"*"), root.Child(0));
    EXPECT_EQ(root.FindChild(u"c"), nullptr);
    EXPECT_EQ(root.Child(filler + 2)->IndexInParent(), filler + 2);
    EXPECT_EQ(root.IndexInParent(), -1);
    EXPECT_EQ(root.Child(filler + 1)->Root(), &root);
  }
}

TEST(TreeNodes, MovesAndTheirFailuresLeaveTheTreeUnchanged) {
  struct Row {
    const char* what;
    std::string node;     // child indices of the node to move
    std::string target;   // child indices of the new parent or sibling
    int form;             // 0 MoveTo, 1 before sibling, 2 after sibling, 3 at index 1
    std::string after;    // the tree afterwards, or empty when the move must fail
    std::string message;  // the failure message
  };
  const Row rows[] = {
      {"append", "0", "1", 0, "r(b(x a(c(d))))", ""}, {"before sibling", "1.0", "0", 1, "r(x a(c(d)) b)", ""},
      {"after sibling", "1.0", "0", 2, "r(a(c(d)) x b)", ""}, {"at index", "0.0.0", "1", 3, "r(a(c) b(x d))", ""},
      {"same parent", "0", "1", 2, "r(b(x) a(c(d)))", ""},
      {"under own grandchild", "0", "0.0.0", 0, "",
       "Attempted to create recursive tree by moving TSwTreeNode from TSwTreeNode to TSwTreeNode."},
      {"under itself", "0", "0", 0, "", "Attempted to move TSwTreeNode to its own children."},
      {"only child to its parent", "0.0", "0", 0, "r(a(c(d)) b(x))", ""},
      {"only child to an index of its parent", "0.0", "0", 3, "r(a(c(d)) b(x))", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto root = Build("r(a(c(d)) b(x))");
    TSwTreeNode* node = At(root.get(), row.node);
    TSwTreeNode* target = At(root.get(), row.target);
    auto move = [&] {
      switch (row.form) {
        case 0: node->MoveTo(target); break;
        case 1: node->MoveNextTo(target, true); break;
        case 2: node->MoveNextTo(target, false); break;
        default: node->MoveToIndex(target, 1);
      }
    };
    if (row.after.empty()) {
      ExpectError<ESwTreeNode>(move, row.message);
      EXPECT_EQ(DumpTree(root.get()), "r(a(c(d)) b(x))");
    } else {
      move();
      EXPECT_EQ(DumpTree(root.get()), row.after);
    }
  }
  TSwTreeNode lonely(u"l");
  ExpectError<ESwMakingNodeParentNil>([&] { lonely.MoveTo(nullptr); }, "Attempted to move TSwTreeNode to nil parent.");
}

TEST(TreeNodes, BadNamesRemoveRenameAndRootRules) {
  auto root = Build("r(a(b(c)) d)");
  EXPECT_THROW(root->AddChild(u"x\x01y"), ESwHashBadKey);  // a bad child name changes nothing
  EXPECT_FALSE(TSwValidKey::Of(u"x\x01y"));
  TSwSimpleNodePath bad;
  ASSERT_TRUE(TSwSimpleNodePath::Parse(u"x\x01y[n]", bad));
  EXPECT_THROW(bad.FindOrCreate(root.get(), 0), ESwHashBadKey);
  EXPECT_EQ(DumpTree(root.get()), "r(a(b(c)) d)");
  ExpectError<ESwRemovingTreeRoot>([&] { root->Remove(); }, "Attempted to remove tree root TSwTreeNode.");
  At(root.get(), "0")->Remove();
  EXPECT_EQ(DumpTree(root.get()), "r(d)");
  TSwTreeNode* d = root->Child(0);
  d->Rename(u"e");
  EXPECT_EQ(root->FindChild(u"e"), d);
  EXPECT_EQ(root->FindChild(u"d"), nullptr);
  root->Rename(u"top");
  EXPECT_EQ(DumpTree(root.get()), "top(e)");
}

struct TNodeLog {
  std::vector<std::string> Lines;
  bool Stop = false;
  bool Hear(TSwObject* sender, std::u16string_view event, TSwArgs args) {
    std::string line = WideToUtf8(static_cast<TSwTreeNode*>(sender)->Name()) + " " + WideToUtf8(event);
    for (const TSwVarRec& a : args)
      line += " " + (a.Tag == TSwVarTag::WideString ? WideToUtf8(a.Text)
                     : a.Object                      ? WideToUtf8(static_cast<TSwTreeNode*>(a.Object)->Name())
                                                     : std::string("-"));
    Lines.push_back(line);
    return Stop;
  }
  TSwListener Listener() { return TSwListener::Of<&TNodeLog::Hear>(this); }
};

TEST(TreeNodes, NodeEventsComeFromTheChildrenMap) {
  auto root = Build("r(a b)");
  TSwTreeNode* a = root->Child(0);
  TSwTreeNode* b = root->Child(1);
  TNodeLog log, later;
  struct TMapLog {
    int Heard = 0;
    bool Hear(TSwObject*, std::u16string_view, TSwArgs) { return ++Heard, false; }
  } mapLog;
  for (const char16_t* event : {u"ad", u"rm", u"skey"}) {
    a->Callbacks().Subscribe(event, log.Listener());
    a->Callbacks().Subscribe(event, later.Listener());
  }
  root->Children().Subscribe(u"rm", TSwListener::Of<&TMapLog::Hear>(&mapLog));
  log.Stop = true;  // keeps `later` from hearing anything, but never blocks the change
  a->Rename(u"a2");
  a->MoveTo(b);
  a->Remove();
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"a2 skey a2 a2", "a2 rm r -", "a2 ad - b", "a2 rm b -"}));
  EXPECT_TRUE(later.Lines.empty());
  EXPECT_EQ(mapLog.Heard, 1);  // the move out of r; the removal happened under b
  // A listener that comes while children are being added hears every later one.
  root->AddChild(*TSwValidKey::Of(u"c"));
  root->Children().Subscribe(u"ad", TSwListener::Of<&TMapLog::Hear>(&mapLog));
  root->AddChild(*TSwValidKey::Of(u"d"));
  EXPECT_EQ(mapLog.Heard, 2);
  EXPECT_EQ(DumpTree(root.get()), "r(b c d)");
}

// Records each change with the tree as the observer sees it at that moment: a view must find
// the old tree before a change and the new one after it.
struct TTreeLog : TSwTreeObserver {
  TSwTreeNode* Root = nullptr;
  std::vector<std::string> Lines;
  void Log(const std::string& what) { Lines.push_back(what + " " + DumpTree(Root)); }
  static std::string Name(TSwTreeNode* node) { return WideToUtf8(node->Name()); }
  void ChildInserting(TSwTreeNode* parent, int index) override { Log("inserting " + Name(parent) + ":" + std::to_string(index)); }
  void ChildInserted(TSwTreeNode* parent, int index) override { Log("inserted " + Name(parent) + ":" + std::to_string(index)); }
  void ChildRemoving(TSwTreeNode* parent, int index) override { Log("removing " + Name(parent) + ":" + std::to_string(index)); }
  void ChildRemoved(TSwTreeNode* parent, int index) override { Log("removed " + Name(parent) + ":" + std::to_string(index)); }
  void ChildMoving(TSwTreeNode* node, TSwTreeNode* newParent, int newIndex) override {
    Log("moving " + Name(node) + " to " + Name(newParent) + ":" + std::to_string(newIndex));
  }
  void ChildMoved(TSwTreeNode* node) override { Log("moved " + Name(node)); }
  void NodeRenaming(TSwTreeNode* node, TSwName newName) override { Log("renaming " + Name(node) + " to " + WideToUtf8(newName.Text())); }
  void NodeRenamed(TSwTreeNode* node) override { Log("renamed " + Name(node)); }
};

TEST(TreeNodes, ObserversHearStructuralChangesBeforeAndAfter) {
  struct Row {
    const char* what;
    std::function<void(TSwTreeNode* root, TSwTreeNode* other)> change;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"add", [](TSwTreeNode* r, TSwTreeNode*) { r->Child(1)->AddChild(u"n"); },
       {"inserting b:1 r(a(c) b(x))", "inserted b:1 r(a(c) b(x n))"}},
      {"add under a name checked once",
       [](TSwTreeNode* r, TSwTreeNode*) { r->Child(1)->AddChild(*TSwValidKey::Of(u"n")); },
       {"inserting b:1 r(a(c) b(x))", "inserted b:1 r(a(c) b(x n))"}},
      {"remove", [](TSwTreeNode* r, TSwTreeNode*) { r->Child(0)->Remove(); },
       {"removing r:0 r(a(c) b(x))", "removed r:0 r(b(x))"}},
      {"free directly", [](TSwTreeNode* r, TSwTreeNode*) { delete r->Child(1)->Child(0); },
       {"removing b:0 r(a(c) b(x))", "removed b:0 r(a(c) b)"}},
      {"rename", [](TSwTreeNode* r, TSwTreeNode*) { r->Child(0)->Rename(u"z"); },
       {"renaming a to z r(a(c) b(x))", "renamed z r(z(c) b(x))"}},
      {"move within the tree", [](TSwTreeNode* r, TSwTreeNode*) { r->Child(0)->MoveNextTo(r->Child(1), false); },
       {"moving a to r:1 r(a(c) b(x))", "moved a r(b(x) a(c))"}},
      {"move to an index", [](TSwTreeNode* r, TSwTreeNode*) { r->Child(1)->Child(0)->MoveToIndex(r, 0); },
       {"moving x to r:0 r(a(c) b(x))", "moved x r(x a(c) b)"}},
      {"move out to another tree", [](TSwTreeNode* r, TSwTreeNode* o) { r->Child(0)->MoveTo(o); },
       {"removing r:0 r(a(c) b(x))", "removed r:0 r(b(x))"}},
      {"move in from another tree", [](TSwTreeNode* r, TSwTreeNode* o) { o->Child(0)->MoveToIndex(r, 1); },
       {"inserting r:1 r(a(c) b(x))", "inserted r:1 r(a(c) y b(x))"}},
      {"a root moves in", [](TSwTreeNode* r, TSwTreeNode*) { (new TSwTreeNode(u"q"))->MoveTo(r->Child(0)); },
       {"inserting a:1 r(a(c) b(x))", "inserted a:1 r(a(c q) b(x))"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto root = Build("r(a(c) b(x))");
    auto other = Build("o(y)");
    TTreeLog log;
    log.Root = root.get();
    root->SetObserver(&log);
    EXPECT_EQ(root->Child(1)->Child(0)->Observer(), &log);
    EXPECT_EQ(other->Child(0)->Observer(), nullptr);
    row.change(root.get(), other.get());
    EXPECT_EQ(log.Lines, row.expected);
    root->SetObserver(nullptr);
    root->Child(0)->AddChild(u"unheard");
    EXPECT_EQ(log.Lines.size(), row.expected.size());
  }
  auto root = Build("r(a)");
  TTreeLog log;
  ExpectError<ESwObservingNonRoot>([&] { root->Child(0)->SetObserver(&log); },
                                   "Attempted to observe TSwTreeNode, which is not a tree root.");
}

struct TFreeLog {
  std::vector<std::string> Lines;
  void Freed(TSwObject* object) {
    auto* node = static_cast<TSwTreeNode*>(object);
    Lines.push_back(WideToUtf8(node->Name()) + (node->Parent() ? " under " + WideToUtf8(node->Parent()->Name()) : ""));
  }
};

TEST(TreeNodes, FreeingASubtreeNotifiesWhileNodesAreWhole) {
  TFreeLog log;
  {
    auto root = Build("r(a(b c) d)");
    for (const char* path : {"0", "0.0", "0.1", "1"})
      At(root.get(), path)->AddOnFree(TOnFreeMethod::Of<&TFreeLog::Freed>(&log));
    root->Child(0)->Remove();
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"a under r", "b under a", "c under a"}));
  }
  EXPECT_EQ(log.Lines.back(), "d under r");
}

TEST(TreeNodes, FreeingAVeryDeepTreeTakesBoundedStack) {
  struct TCase { int Depth; int WideAt; };  // WideAt: a level with many children, or -1
  for (const TCase& c : {TCase{10, -1}, TCase{1000, 500}, TCase{300000, 299990}}) {
    SCOPED_TRACE(c.Depth);
    TFreeLog log;
    std::thread worker([&] {
      auto root = std::make_unique<TSwTreeNode>(u"r");
      TSwTreeNode* node = root.get();
      for (int i = 0; i < c.Depth; ++i) {
        if (i == c.WideAt)
          for (int k = 0; k < 3; ++k) node->AddChild(u"leaf")->AddOnFree(TOnFreeMethod::Of<&TFreeLog::Freed>(&log));
        node = node->AddChild(u"n");
      }
      node->AddOnFree(TOnFreeMethod::Of<&TFreeLog::Freed>(&log));
      root.reset();
    });
    worker.join();
    // Every watched node was freed, the leaves before the deeper chain; a node freed from
    // the list of waiting subtrees no longer has its parent.
    std::vector<std::string> names;
    for (const std::string& line : log.Lines) names.push_back(line.substr(0, line.find(' ')));
    std::vector<std::string> expected;
    if (c.WideAt >= 0) expected.assign(3, "leaf");
    expected.push_back("n");
    EXPECT_EQ(names, expected);
    if (c.Depth < 256) { EXPECT_EQ(log.Lines.back(), "n under n"); }
  }
}

TEST(TreeNodes, PathsToAncestors) {
  auto root = Build("root(a(b(c)))");
  TSwTreeNode* c = At(root.get(), "0.0.0");
  TSwTreeNode* a = At(root.get(), "0");
  EXPECT_EQ(c->PathTo(root.get(), u"\\"), u"a\\b\\c");
  EXPECT_EQ(c->PathTo(c, u"\\"), u"\\");
  EXPECT_EQ(c->PathTo(nullptr, u"\\"), u"root\\a\\b\\c");
  EXPECT_EQ(c->PathTo(a, u" > "), u"b > c");
  TSwTreeNode other(u"other");
  ExpectError<ESwNodeNotPartOfPath>([&] { c->PathTo(&other, u"\\"); },
                                    "Parents of TSwTreeNode do not contain required TSwTreeNode.");
  EXPECT_EQ(c->Parents(), (std::vector<TSwTreeNode*>{At(root.get(), "0.0"), a, root.get()}));
  EXPECT_TRUE(root->IsAncestorOf(c));
  EXPECT_FALSE(c->IsAncestorOf(c));
  EXPECT_TRUE(c->IsSelfOrAncestorOf(c));
}

// ---------------------------------------------------------------------------------------------
// Paths

TEST(Paths, ParentPrefixesFromSeveralDepths) {
  auto root = Build("r(p(q(n(x)) x) x)");
  TSwTreeNode* n = At(root.get(), "0.0.0");  // depth 3: ancestors q, p, r
  struct Row {
    const char* path;
    const char* expected;  // child indices from the root, "r" for the root, "-" for none
  };
  const Row rows[] = {
      {"", "0.0.0"},  {".", "0.0"}, {"..", "0"},     {"...", "r"},   {"....", "r"},
      {"/", "r"},     {"//", "0"},  {"///", "0.0"},  {"////", "0.0.0"}, {"\\\\", "0"},
      {".x", "-"},    {"..x", "0.1"}, {"/x", "1"},   {"x", "0.0.0.0"}, {"//q/n/x", "0.0.0.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    TSwTreeNode* found = n->FirstOnPath(Utf8ToWide(row.path));
    std::string expected = row.expected;
    if (expected == "-") EXPECT_EQ(found, nullptr);
    else EXPECT_EQ(found, expected == "r" ? root.get() : At(root.get(), expected));
  }
  ExpectError<ESwInvalidParentPath>(
      [&] { n->FirstOnPath(u"./x"); },
      "Node parent path must consist of either '.', '\\' or '/' or be empty - however, './' was given.");
  EXPECT_EQ(root->FirstOnPath(u"..."), root.get());
}

TEST(Paths, FirstOnPathRemainderRules) {
  auto root = Build("r(a(z) a(b) c(b))");
  EXPECT_EQ(root->FirstOnPath(u"a\\b"), At(root.get(), "1.0"));
  EXPECT_EQ(root->FirstOnPath(u"a/.c"), At(root.get(), "2"));
  EXPECT_EQ(root->FirstOnPath(u"a//c/b"), At(root.get(), "2.0"));
  EXPECT_EQ(root->FirstOnPath(u"x/.c"), nullptr);  // only when some x exists
  EXPECT_EQ(root->FirstOnPath(u"*\\b"), At(root.get(), "1.0"));
  ExpectError<ESwEmptyNodePathSegment>([&] { root->FirstOnPath(u"a\\"); },
                                       "TSwTreeNode path 'a\\' contains an empty segment.");
  ExpectError<ESwFirstOnPathWithExpr>(
      [&] { root->FirstOnPath(u"a[1]"); },
      "TSwTreeNode.FirstOnPath cannot be used on paths with '[expressions]' - like on 'a[1]'.");
}

TEST(Paths, FirstOnPathTriesEachNodeWithEachRestOnce) {
  // "*//" steps into any child and back up: without trying each (node, rest) pair once, a path
  // that fails at its end would try 3^40 ways.
  auto root = Build("r(a(x y z) b(x y z) c(x y z))");
  std::string loops;
  for (int i = 0; i < 40; ++i) loops += "*//";
  struct Row { std::string path; const char* found; };  // found: null: no node
  const Row rows[] = {
      {loops + "q", nullptr}, {loops + "b", "1"}, {loops + "*/z", "0.2"},
      {loops + "a//c/x", "2.0"},
      {"*/" + loops + "q", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path.substr(120));
    EXPECT_EQ(root->FirstOnPath(Utf8ToWide(row.path)), row.found ? At(root.get(), row.found) : nullptr);
  }
  ExpectError<ESwEmptyNodePathSegment>([&] { root->FirstOnPath(Utf8ToWide(loops + "a\\")); },
                                       "TSwTreeNode path '/a\\' contains an empty segment.");  // the rest at the failing node
}

std::string Enumerate(TSwNodeFinder& finder, TSwTreeNode* root) {
  std::string out;
  TSwTreeNode* node;
  while (finder.TryNext(node)) out += (out.empty() ? "" : " ") + WideToUtf8(node->PathTo(root, u"/"));
  return out;
}

TEST(Finders, EnumerationOrders) {
  auto root = Build("r(a(x y) b(x) a(z))");
  const std::pair<const char*, const char*> rows[] = {
      {"a/*", "a/x a/y a/z"}, {"*/x", "a/x b/x"}, {"a", "a a"}, {"a[1]/*", "a/z"}, {"*[0]", "a"},
      {"*[2]/z", "a/z"}, {"a/x[0]", "a/x"}, {"q", ""}, {"", "/"}, {"*/*[1]", "a/y"},
  };
  TSwNodeByNodeFinder finder;
  for (const auto& [path, found] : rows) {
    SCOPED_TRACE(path);
    finder.Rewind(Utf8ToWide(path), root.get());  // one finder reused for every look-up
    EXPECT_EQ(Enumerate(finder, root.get()), found);
    EXPECT_EQ(finder.Next(), nullptr);
  }
}

TEST(Finders, PathParsing) {
  auto root = Build("r");
  struct Row {
    const char* path;
    const char* property;
    int segments;
    const char* error;  // empty when the path is fine
  };
  const Row rows[] = {
      {"x$start", "start", 1, ""}, {"x$", "inner", 1, ""}, {"x", "inner", 1, ""},
      {"+a/b[n*2]/c$end", "end", 3, ""},
      {"a//b", "", 0, "TSwNodeByNodeFinder path 'a//b' contains an empty segment."},
      {"a/+b", "", 0, "TSwNodeByNodeFinder path 'a/+b' cannot have last segment appending ('+node')."},
      {"a[]", "", 0, "TSwNodeByNodeFinder path 'a[]' contains empty expression ('node[expr]')."},
      {"[1]", "", 0, "TSwNodeByNodeFinder path '[1]' contains an empty segment."},
      {"a]", "", 0, "TSwNodeByNodeFinder path 'a]' contains unbalanced brackets in segment 'a]'."},
      {"a[1", "", 0, "TSwNodeByNodeFinder path 'a[1' contains unbalanced brackets in segment 'a[1'."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    TSwNodeByNodeFinder finder;
    if (*row.error) {
      ExpectError<ESwNodeFind>([&] { finder.Rewind(Utf8ToWide(row.path), root.get()); }, row.error);
      continue;
    }
    finder.Rewind(Utf8ToWide(row.path), root.get());
    EXPECT_EQ(WideToUtf8(finder.PropertyName()), row.property);
    EXPECT_EQ(finder.SegmentCount(), row.segments);
  }
  TSwNodeByNodeFinder bare;
  ExpectError<ESwNodeFinderNotInitialized>([&] { bare.Next(); },
                                           "Attempted to use TSwNodeByNodeFinder without initializing it with Rewind.");
}

TEST(Finders, FindOrCreate) {
  struct Row { const char* path; const char* tree; };  // tree: after two calls on an empty root
  const Row rows[] = {
      {"+a/b", "r(a(b b))"}, {"a/b", "r(a(b) a(b))"}, {"+a/+b/c", "r(a(b(c c)))"},
      {"a[0]/b", "r(a(b b))"},  // no a on the first call; the second finds the first a
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    TSwTreeNode root(u"r");
    TSwNodeFormulaFinder finder(&root, Utf8ToWide(row.path));
    finder.FindOrCreate();
    finder.FindOrCreate();
    EXPECT_EQ(DumpTree(&root), row.tree);
  }
  TSwTreeNode root(u"r");
  TSwNodeFinder plain(&root, u"+a/b");
  plain.FindOrCreate();
  TSwNodeFinder withExpression(&root, u"a[0]/b");
  ExpectError<ESwNodeFindNoCreator>(
      [&] { withExpression.FindOrCreate(); },
      "TSwNodeFinder has no assigned OnCreate to create node with an expression on path 'a[0]/b'.");
  TSwNodeFinder tested(&root, u"a[0]");
  ExpectError<ESwNodeFindNoTester>([&] { tested.Next(); },
                                   "TSwNodeFinder has no assigned OnTest to test expression of path 'a[0]'.");
  TSwNodeFinder empty(&root, u"");
  ExpectError<ESwEmptyNodePathSegment>([&] { empty.FindOrCreate(); }, "Attempted to search for empty TSwNodeFinder path.");
}

TEST(Finders, PathSegmentsAreBounded) {
  // A chain of "a" as deep as the longest path allows.
  auto chain = [](int segments) {
    std::u16string path = u"a";
    for (int i = 1; i < segments; ++i) path += u"/a";
    return path;
  };
  TSwTreeNode root(u"r");
  TSwNodeFinder maker(&root, chain(SwMaxNodePathSegments));
  TSwTreeNode* deepest = maker.FindOrCreate();
  struct Row { const char* name; std::u16string path; TSwTreeNode* found; std::string error; };
  const Row rows[] = {
      {"one under", chain(SwMaxNodePathSegments - 1), deepest->Parent(), ""},
      {"at the limit", chain(SwMaxNodePathSegments), deepest, ""},
      {"one over", chain(SwMaxNodePathSegments + 1), nullptr,
       "Node path of 4097 segments exceeds the limit of 4096 segments."},
      {"far over", chain(1000000), nullptr, "Node path of 1000000 segments exceeds the limit of 4096 segments."},
      {"a long parent prefix is one step", std::u16string(5000, u'/') + u"a", root.Child(0), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.error.empty()) {
      EXPECT_EQ(root.FirstOnPath(row.path), row.found);
      TSwNodeFinder finder(&root, row.path);
      EXPECT_EQ(finder.Next(), row.found);
    } else {
      ExpectError<ESwNodePathTooLong>([&] { root.FirstOnPath(row.path); }, row.error);
      ExpectError<ESwNodePathTooLong>([&] { TSwNodeFinder finder(&root, row.path); }, row.error);
    }
  }
}

TEST(Finders, FormulaCreateSelectsAmongSameNamedSiblings) {
  auto root = Build("r(a(b) x a(c) a(d))");
  TSwNodeFormulaFinder finder;
  finder.SetStack({2}, true);
  finder.Rewind(u"a[n]/e", root.get());
  TSwTreeNode* made = finder.FindOrCreate();
  EXPECT_EQ(made->Parent(), At(root.get(), "3"));  // the third a: two skipped
  finder.Rewind(u"a[n+5]/e");
  finder.FindOrCreate();
  EXPECT_EQ(DumpTree(root.get()), "r(a(b) x a(c) a(d e) a(e))");
}

// A run finds "name" and "name[n]" without a finder: each call must give the node, and leave
// the tree, that the formula finder gives with the same n; other paths are left to the finder.
TEST(Finders, SimplePathsFindWhatTheFormulaFinderFinds) {
  struct Row {
    const char* path;
    const char* tree;
    std::vector<int32_t> ns;  // one call each; empty for a path that is not simple
  };
  const Row rows[] = {
      {"a", "r(a a(x))", {0, 1}},
      {"a[n]", "r(a(x) b a(y))", {0, 1, 2, 3, 1}},
      {"a[ N ]", "r(b a)", {-1, 0, 2}},
      {"a]b", "r(a]b)", {0, 0}},
      {"a[n]", "r", {0, 0, 1}},
      {"a/b", "r", {}}, {"a\\b[n]", "r", {}}, {"a[n+1]", "r", {}}, {"a[.n]", "r", {}}, {"+a", "r", {}},
      {".a", "r", {}}, {"a$start", "r", {}}, {"[n]", "r", {}}, {"a[n", "r", {}}, {"a[n]x", "r", {}}, {"", "r", {}},
      {"*[n]", "r", {}}, {"*", "r", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const WideString path = Utf8ToWide(row.path);
    TSwSimpleNodePath simple;
    ASSERT_EQ(TSwSimpleNodePath::Parse(path, simple), !row.ns.empty());
    auto fast = Build(row.tree), general = Build(row.tree);
    TSwNodeFormulaFinder finder;
    for (int32_t n : row.ns) {
      TSwTreeNode* found = simple.FindOrCreate(fast.get(), n);
      finder.SetStack({n}, true);
      finder.Rewind(path, general.get());
      TSwTreeNode* expected = finder.FindOrCreate();
      EXPECT_EQ(found->IndexInParent(), expected->IndexInParent()) << "n = " << n;
      EXPECT_EQ(DumpTree(fast.get()), DumpTree(general.get())) << "n = " << n;
    }
  }
}

TEST(Finders, SequenceCheckWhenTheTreeChangesBetweenCalls) {
  for (bool checkedOnce : {false, true}) {
    auto root = Build("r(a(x y))");
    TSwNodeByNodeFinder finder(root.get(), u"a/*");
    EXPECT_NE(finder.Next(), nullptr);
    checkedOnce ? At(root.get(), "0")->AddChild(*TSwValidKey::Of(u"z")) : At(root.get(), "0")->AddChild(u"z");
    ExpectError<ESwHashChangedBetweenFind>(
        [&] { finder.Next(); },
        "TSwTreeNodeChildren has been modified between Find/Next calls (first seq 2, now 3).");
  }
}

TEST(Formulas, ValuesAndErrors) {
  auto root = Build("r");
  TSwNodeFormulaFinder finder(root.get(), u"a");
  finder.SetStack({3, 10, 20, 30}, true);  // n = 3, stack 10 20 30 (innermost first)
  struct Row { const char16_t* formula; int32_t value; const char* error; };
  const Row rows[] = {
      {u"n*2-1", 5, ""}, {u" N * 2 ", 6, ""}, {u"7/2", 3, ""},
      {u"0-7/2", 0, "/ operator in TSwNodeFormulaFinder formula '0-7/2' of path 'a' must go before -."},
      {u"1+n*2", 0, "* operator in TSwNodeFormulaFinder formula '1+n*2' of path 'a' must go before +."},
      {u".n", 10, ""}, {u"..n+1", 21, ""}, {u"....n", 30, ""}, {u"\\n", 30, ""}, {u"\\\\n", 20, ""},
      {u"n+", 0, "Cannot parse TSwNodeFormulaFinder formula 'n+' of path 'a'."},
      {u"-1", 0, "Cannot parse TSwNodeFormulaFinder formula '-1' of path 'a'."},
      {u"2**n", 0, "Cannot parse TSwNodeFormulaFinder formula '2**n' of path 'a'."},
      {u"n+ ", 0, "Empty operand in TSwNodeFormulaFinder formula 'n+ ' of path 'a'."},
      {u"n+x", 0, "Non-numeric operand 'x' in TSwNodeFormulaFinder formula 'n+x' of path 'a'."},
      {u"1 2", 0, "Non-numeric operand '1 2' in TSwNodeFormulaFinder formula '1 2' of path 'a'."},
      {u"n/0", 0, "Division by zero in TSwNodeFormulaFinder formula 'n/0' of path 'a'."},
      {u"99999999999", 0, "Non-numeric operand '99999999999' in TSwNodeFormulaFinder formula '99999999999' of path 'a'."},
      {u"2147483647+1", INT32_MIN, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.formula));
    if (*row.error) ExpectError<ESwNodeFind>([&] { finder.FormulaValue(row.formula); }, row.error);
    else EXPECT_EQ(finder.FormulaValue(row.formula), row.value);
  }
  TSwNodeFormulaFinder empty;
  ExpectError<ESwEmptyFinderStack>([&] { empty.SetStack({}, true); },
                                   "TSwNodeFormulaFinder was given empty Stack to shift N from.");
  TSwNodeFormulaFinder noStack(root.get(), u"a");
  EXPECT_EQ(noStack.FormulaValue(u".n"), 0);  // an empty stack gives n
  EXPECT_EQ(finder.StateDescription(), "n = 3 10 20 30");
  // A stack set again replaces the earlier one whole, even when it is the finder's own list.
  TSwNodeFormulaFinder again(root.get(), u"a");
  again.SetStack({3, 10, 20, 30}, true);
  again.SetStack({7}, false);
  EXPECT_EQ(again.StateDescription(), "n = 3 7");
  finder.SetStack(finder.Stack(), true);  // n = 10, stack 20 30
  EXPECT_EQ(finder.StateDescription(), "n = 10 20 30");
}

}  // namespace
}  // namespace skeinwork
