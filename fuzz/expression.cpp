// Fuzzes compiling and evaluating a model expression, and each condition operator with the
// same text as its operand. The input is the text (UTF-8), a zero byte, then the input bytes the
// expression reads. Node references resolve in a small fixed tree.
#include <algorithm>

#include "FuzzSupport.h"
#include "SwExpressions.h"
#include "SwNodes.h"

using namespace skeinwork;

namespace {

// The model node an expression is evaluated for: "self" and "iter" read it.
class TFuzzModelNode : public TSwExprModelNode {
 public:
  int32_t ParentIteration() const override { return 2; }
  const WideString& ResultPath() const override { return mPath; }

 private:
  WideString mPath = u"a\\x";
};

// r(a(x x y) b c(d)); a's ranges lie in the input, x and d carry plain values.
struct TTree {
  TSwTreeNode Root{u"r"};
  explicit TTree(TStream& input) {
    int64_t size = input.Size();
    TSwTreeNode* a = Root.AddChild(u"a");
    a->Properties().AddValue(u"start", TSwValue::OfSlice(0, std::min<int64_t>(size, 2), &input));
    a->Properties().AddValue(u"inner", TSwValue::OfSlice(std::min<int64_t>(size, 2), std::max<int64_t>(size - 2, 0), &input));
    a->AddChild(u"x")->Properties().AddValue(u"inner", TSwValue::OfInt(7));
    a->AddChild(u"x")->Properties().AddValue(u"inner", TSwValue::OfText(u"seven"));
    a->AddChild(u"y");
    Root.AddChild(u"b");
    Root.AddChild(u"c")->AddChild(u"d")->Properties().AddValue(u"inner", TSwValue::OfBool(true));
  }
};

void Prepare(TSwExpression& expression, TStream& input, TSwNodeFinder& finder, TFuzzModelNode& node) {
  TSwOptions options;
  options.Eoln = WideString(1, u'\n');
  options.Codepage = 65001;
  expression.SetOptions(options);
  expression.SetInputStream(&input);
  expression.SetFinder(&finder);
  expression.SetModelNode(&node);
  static TSwFileAccess refusing = TSwFileAccess::Refusing();
  expression.SetFileAccess(&refusing);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [text, bytes] = SwFuzzSplit(SwFuzzBytes(data, size));
  WideString wide = Utf8ToWide(text);
  TStringStream input(bytes);
  TTree tree(input);
  TFuzzModelNode node;
  TSwNodeFormulaFinder finder;
  SwFuzzRun([&] {
    finder.SetStack({1, 0}, true);
    TSwExpression expression(wide, &tree.Root);
    Prepare(expression, input, finder, node);
    (void)expression.Evaluate();
    (void)expression.ExtractOutStream();
  });
  for (const char16_t* op : {u"=", u"_", u"x", u"%", u"?"}) {
    SwFuzzRun([&] {
      input.SetPosition(0);
      TSwOptions options;
      options.Eoln = WideString(1, u'\n');
      options.Codepage = 65001;
      const TSwConditionClass* cls = SwGlobalConditions().Find(op);
      TRpnScalar operand = cls->PrepareOperand(RpnStr(wide), options);
      std::unique_ptr<TSwCondExpression> condition = cls->Create(&tree.Root, operand);
      finder.SetStack({1, 0}, true);
      Prepare(*condition, input, finder, node);
      (void)condition->Evaluate();
    });
  }
  return 0;
}
