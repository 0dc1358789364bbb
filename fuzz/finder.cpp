// Fuzzes node paths: enumerating every match of a path in a small fixed tree (bounded), the
// first node on it, and finding or creating its node in a fresh tree.
#include "FuzzSupport.h"
#include "SwNodes.h"

using namespace skeinwork;

namespace {

constexpr int kMaxMatches = 1000;

// r(a(x x y) b(x) a(z) c(d(e))), x nodes with a property.
std::unique_ptr<TSwTreeNode> FixedTree() {
  auto root = std::make_unique<TSwTreeNode>(u"r");
  TSwTreeNode* a = root->AddChild(u"a");
  a->AddChild(u"x")->Properties().AddValue(u"start", TSwValue::OfInt(1));
  a->AddChild(u"x");
  a->AddChild(u"y");
  root->AddChild(u"b")->AddChild(u"x")->Properties().AddValue(u"inner", TSwValue::OfInt(2));
  root->AddChild(u"a")->AddChild(u"z");
  root->AddChild(u"c")->AddChild(u"d")->AddChild(u"e");
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WideString path = Utf8ToWide(SwFuzzBytes(data, size));
  std::unique_ptr<TSwTreeNode> root = FixedTree();
  SwFuzzRun([&] {
    TSwNodeFormulaFinder finder;
    finder.SetStack({1, 2, 0}, true);
    finder.Rewind(path, root.get());
    TSwTreeNode* node;
    for (int i = 0; i < kMaxMatches && finder.TryNext(node); ++i) (void)node->PathTo(root.get(), u"/");
  });
  SwFuzzRun([&] {
    TSwNodeByNodeFinder finder(root.get(), path);
    TSwTreeNode* node;
    TSwProperty* property;
    for (int i = 0; i < kMaxMatches && finder.NextWithProperty(node, property); ++i) (void)property->Value();
  });
  SwFuzzRun([&] { (void)root->FirstOnPath(path); });
  SwFuzzRun([&] {
    std::unique_ptr<TSwTreeNode> fresh = FixedTree();
    TSwNodeFormulaFinder finder;
    finder.SetStack({1}, true);
    finder.Rewind(path, fresh.get());
    (void)finder.FindOrCreate();
  });
  return 0;
}
