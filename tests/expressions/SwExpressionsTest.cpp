#include "SwExpressions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "StrConv.h"
#include "SwTestSupport.h"

namespace skeinwork {
namespace {

// "kinds:text" of a scalar, without its extended-value link.
std::string Shown(TRpnScalar value) {
  value.Kinds &= ~valCustom;
  return RpnKindLetters(value.Kinds) + ":" + WideToUtf8(RpnValueText(value));
}

// A model node as the modelling run would give it.
struct TStubModelNode : TSwExprModelNode {
  TStubModelNode(int32_t iteration, WideString path) : Iteration(iteration), Path(std::move(path)) {}
  int32_t ParentIteration() const override { return Iteration; }
  const WideString& ResultPath() const override { return Path; }
  int32_t Iteration;
  WideString Path;
};

// One evaluation: the result as "kinds:text" or "EClass: message" of the error, and the input position
// afterwards.
struct TRun { std::string Result; int64_t Position = 0; };

TRun EvaluatedOver(TStream& input, const std::u16string& text, TSwTreeNode* base = nullptr,
                   TSwExprModelNode* model = nullptr) {
  TSwExpression expression(text, base);
  expression.SetInputStream(&input);
  if (model) expression.SetModelNode(model);
  std::string result = ResultOrError([&] { expression.Evaluate(); return Shown(expression.LastScalar()); });
  return {result, input.Position()};
}

TRun Evaluated(const std::u16string& text, const std::string& input = "", int64_t start = 0,
               TSwTreeNode* base = nullptr) {
  TStringStream stream(input);
  stream.SetPosition(start);
  return EvaluatedOver(stream, text, base);
}

std::string Outcome(const std::u16string& text, const std::string& input = "", TSwTreeNode* base = nullptr) {
  return Evaluated(text, input, 0, base).Result;
}

// A small tree: r(a(x x y) b c(d)), with properties on a, x and d.
struct TTree {
  TSwTreeNode Root{u"r"};
  TSwTreeNode *A, *X1, *X2, *Y, *B, *C, *D;
  TTree() {
    A = Root.AddChild(u"a"), X1 = A->AddChild(u"x"), X2 = A->AddChild(u"x"), Y = A->AddChild(u"y");
    B = Root.AddChild(u"b"), C = Root.AddChild(u"c"), D = C->AddChild(u"d");
    A->Properties().AddValue(u"inner", TSwValue::OfText(u"hello"));
    A->Properties().AddValue(u"start", TSwValue::OfInt(5));
    A->Properties().AddValue(u"flag?", TSwValue::OfBool(true));
    D->Properties().AddValue(u"inner", TSwValue::OfRaw("\x01\x02"));
  }
};

// Expressions tokenise in a dialect of their own and leave the process-wide settings alone.
TEST(SwExpressionsStartup, LeavesProcessWideSettingsAlone) {
  SwExpressionsStartup();
  SwExpressionsStartup();  // a second call changes nothing
  EXPECT_EQ(SwExpressionDialect().Operators()->Count(), 0);
  EXPECT_NE(SwExpressionDialect().VarChars().find(u".\\/$?<=>+-*/[]"), WideString::npos);
  EXPECT_EQ(RpnOperators()->Count(), 8);
  EXPECT_EQ(RpnVarChars(), RpnDefaultVarChars);
  EXPECT_EQ(SwSimpatConditionClass(), SwGlobalConditions().Find(u"%"));
}

TEST(SwExpressions, FunctionResultsAndErrors) {
  std::string known;
  for (const WideString& name : SwGlobalFunctions().Names()) known += (known.empty() ? "" : ", ") + WideToUtf8(name);
  // The messages of functions given a value of the wrong kind or an empty one.
  auto missing = [](const std::string& kinds, const std::string& text) {
    return "ESwBadRpnValue: Required value type missing (any of '" + kinds + "') in RPN expression '" + text + "'.";
  };
  auto empty = [](const std::string& function, const std::string& text) {
    return "ESwEmptyFuncArgument: Function " + function + " of RPN expression '" + text + "' expects a non-empty argument.";
  };
  // result: "kinds:text" or the error; position: where the input stands afterwards, -1: where it started.
  struct Row { std::u16string text; std::string result; std::string input = "xyz"; int64_t start = 0, position = -1; };
  const std::string digits = "0123456789abcdefghijklmnopqrst";
  const Row rows[] = {  // operators and result kinds, then the built-in functions, then errors
      {u"1 2 +", "i:3"}, {u"5 3 -", "i:2"}, {u"6 7 *", "i:42"}, {u"7 2 /", "i:3.5"}, {u"2 3 <", "b:True"},
      {u"3 3 <=", "b:True"}, {u"2 3 >", "b:False"}, {u"3 3 >=", "b:True"}, {u"'5' 5 =", "b:True"},
      {u"'a' 'A' =", "b:False"}, {u"'a' 'A' <>", "b:True"}, {u"'x'", "s:x"}, {u"$ len", "i:7", "abcdefghij", 3},
      {u"$ offset", "i:3", "abcdefghij", 3}, {u"$ eof", "b:True", "abc", 3}, {u"$ eof", "b:False", "abc", 1},
      {u"eof", "b:True", ""}, {u"'616263' h2b len", "i:3"}, {u"$ 4 tooffset", "b:True", "abcdefgh", 1, 4},
      {u"5 skip", "b:True", digits, 0, 5}, {u"-3 skip", "b:True", digits}, {u"0 skip", "b:True", digits},
      {u"10 skipto", "b:True", digits, 20}, {u"25 skipto", "b:True", digits, 20, 25},
      {u"$ len skip", "b:True", digits, 10, 30}, {u"iter", "ib:0"}, {u"1 has", "b:True"},
      {u"'abc' cmp_eq", "b:True", "abcd", 0, 3}, {u"'abc' cmp_eq", "b:False", "abx"},
      {u"' abc' toraw cmp_space", "b:False", "  abc"}, {u"'abc' cmp_space", "b:True", "\t\r\nabc!", 0, 6},
      {u"'0d 0a' cmp_hex", "b:True", "\r\n", 0, 2}, {u"'DIG+' cmp_pat", "b:True", "123x", 0, 3},
      {u"$ 'ab' cmp_eq", "b:True", "abc", 0, 2}, {u"'00FF0F' h2b not b2h", "s:FF00F0"}, {u"1 1 = not", "b:False"},
      {u"5 not", "i:-6"}, {u"1 1 = 1 2 = xor", "b:True"}, {u"1 1 = 1 2 = and", "b:False"},
      {u"1 1 = 1 2 = or", "b:True"}, {u"'a' 1 and", "r:01"}, {u"'0F0F' h2b 'F0' h2b or", "r:FF FF"},
      {u"'abc' 'A' xor", "r:20 23 22"}, {u"$ 'A' xor b2h", "s:2322", "abc", 1}, {u"'abc' rev", "s:cba"},
      {u"'616263' h2b reverse b2h", "s:636261"}, {u"$ rev", "r:63 62 61", "abc"}, {u"'\u00C0BC' lower", "s:\u00E0bc"},
      {u"'stra\u00DFe' upper", "s:STRASSE"}, {u"'aBc1' invcase", "s:AbC1"}, {u"'41C062' h2b lower b2h", "s:61C062"},
      {u"'61E27A' h2b upper b2h", "s:41E25A"}, {u"'61E25A' h2b invcase b2h", "s:41E27A"},
      {u"'41 42' h2b b2h", "s:4142"}, {u"'4142' h2b b2hh", "s:41 42"}, {u"'0D-0a' h2b", "r:0D 0A"},
      {u"'E0' h2b '1251' charset", "s:\u0430"}, {u"'E0' h2b 1251 charset", "s:\u0430"},
      {u"'E0' h2b 'windows-1251' charset", "s:\u0430"}, {u"'\u0430' 1251 charset", "r:E0"},
      {u"'\u0430' 1252 charset", "r:3F"}, {u"'x' toraw 'x' toraw fromraw xor", "r:00"}, {u"'\u010D' toraw", "r:E8"},
      {u"'E8' h2b fromraw", "s:\u010D"}, {u"$ fromraw", "s:yz", "xyz", 1}, {u"'AB' toraw toint", "i:16961"},
      {u"'FF' h2b toint", "i:255"}, {u"'FFFFFFFFFFFFFFFF' h2b toint", "i:-1"}, {u"-1 fromint", "r:FF FF FF FF"},
      {u"-1 fromint toint", "i:4294967295"}, {u"3000000000 fromint", "r:00 5E D0 B2 00 00 00 00"},
      {u"2147483648 fromint toint", "i:2147483648"}, {u"int3", "b:True"},
      {u"nosuch", "ESwUnknownExprFunction: Attempted to call unregistered RPN expression function "
                  "'nosuch' - known ones: " + known + "."},
      {u"7.5 2 +", "EIntegerExpectedOnStackTop: Expected an integer value without fractional part "
                   "on top of TRpnValueStack but got 7.5."},
      {u"5 -3", "ENonEmptyRpnStack: There were 3 items instead of just one left on stack after "
                "evaluating an RPN expression."},
      {u"cmp_eq", "EEmptyStackOperation: Attempted to Pop from empty TRpnValueStack."},
      {u"1 0 /", "ESwExprDivisionByZero: Division by zero in RPN expression '1 0 /'."},
      {u"'abc' toint", "ESwBadExprStringToIntLength: String [61 62 63] to convert into number must "
                       "be 1, 2, 4 or 8 bytes long but it's 3; RPN expression ''abc' toint'."},
      {u"'0102030405060708090A0B' h2b toint",
       "ESwBadExprStringToIntLength: String [01 02 03 04 05 06 07 08 09 0A] to convert into number "
       "must be 1, 2, 4 or 8 bytes long but it's 11; RPN expression '"
       "'0102030405060708090A0B' h2b toint'."},
      {u"'x' 'nosuchcharset' charset", "ESwBadExprCodepage: Cannot recognize codepage name "
                                       "'nosuchcharset' in RPN expression ''x' 'nosuchcharset' charset'."},
      {u"'x' -1 charset", "ESwBadExprCodepage: Cannot recognize codepage name '-1' in RPN expression ''x' -1 charset'."},
      {u"'abc' h2b", "ESwHexConvert: Hex string must have even length, 3 given."},
      {u"'zz' h2b", "ESwHexConvert: Hex string \"zz\" contains wrong symbol (0-9, A-F, a-f allowed)."},
      {u"'' cmp_hex", empty("TFnCmpHex", "'' cmp_hex")}, {u"'' cmp_pat", empty("TFnCmpPattern", "'' cmp_pat")},
      {u"'ab' '' xor", empty("TFnXor", "'ab' '' xor")},
      {u"$ sibl", "ESwFuncNeedsBaseNode: Calling function TFnSiblings within RPN expression "
                  "'$ sibl' running in context without base node."},
      {u"5 toraw", missing("valStr", "5 toraw")}, {u"1 1 = h2b", missing("valBytes, valStr", "1 1 = h2b")},
      {u"'x' skip", missing("valNum", "'x' skip")}, {u"5 len", missing("valBytes", "5 len")},
      {u"1 1 = 1 1 = = 'a' and", missing("valBool", "1 1 = 1 1 = = 'a' and")},
      {u"$ $ and", missing("valBytes", "$ $ and")},
      {u"1 1 = 1 =", "EInvalidRpnOperation: Incomparable RPN values of types: A (True) = b, B (1) = i. "
                    "Can only compare these combinations: null-any or any-null or null/null, "
                    "num-num, bool-bool, str-str, bytes-bytes, num-str or str-num."},
      {u".a has", "ESwExprNoBaseNode: Attempted to reference node '.a' within RPN expression "
                  "'.a has' running in context without base node."},
      {u"", "EEmptyRPN: Empty RPN expression string."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.text));
    TRun run = Evaluated(row.text, row.input, row.start);
    EXPECT_EQ(run.Result, row.result);
    EXPECT_EQ(run.Position, row.position < 0 ? row.start : row.position);
  }
}

TEST(SwExpressions, NodeReferences) {
  TTree tree;
  struct Row { std::u16string text; TSwTreeNode* base; const char* result; };
  const Row rows[] = {
      {u".a", &tree.Root, "s:hello"}, {u"a$", &tree.Root, "s:hello"}, {u"a$inner", &tree.Root, "s:hello"},
      {u"a$start", &tree.Root, "i:5"}, {u"a$flag?", &tree.Root, "b:True"},
      {u"a$nothing has", &tree.Root, "b:True"},  // the node without the property
      {u".b has", &tree.Root, "b:True"}, {u".b? has", &tree.Root, "b:True"},
      {u".zz? has", &tree.Root, "b:False"}, {u"c\\d", &tree.Root, "r:01 02"}, {u"c/d$", &tree.Root, "r:01 02"},
      {u".$start", tree.X1, "i:5"},  // the parent's property
      {u"$start", tree.A, "i:5"},    // the base node's own
      {u"..", tree.D, "-:null"},     // the root: a node without properties
      {u"$ sibl", tree.X1, "ib:3"}, {u"$ self", tree.X1, "ib:2"}, {u"$ self", tree.Y, "ib:1"},
      {u"$ sibl", &tree.Root, "ib:0"}, {u"$ self", &tree.Root, "ib:0"},
      {u"a+b? has", &tree.Root, "b:False"},  // one name, a node reference
      {u".zz has", &tree.Root, "ESwExprNoNode: Cannot find node '.zz' relative to 'r' referenced in RPN expression "
                               "'.zz has'."},
      {u"c\\zz", tree.X1, "ESwExprNoNode: Cannot find node 'c\\zz' relative to 'r\\a\\x' referenced in RPN "
                           "expression 'c\\zz'."},
      {u"2 .zz? or", &tree.Root, "ESwBadRpnValue: Required value type missing (any of 'valBool, valBytes') in RPN "
                                 "expression '2 .zz? or'."},
  };
  for (const Row& row : rows) EXPECT_EQ(Outcome(row.text, "", row.base), row.result) << WideToUtf8(row.text);
  // A name of letters only is a function call, not a child reference.
  EXPECT_EQ(Outcome(u"a", "", &tree.Root).rfind(
                "ESwUnknownExprFunction: Attempted to call unregistered RPN expression function 'a' "
                "- known ones: sibl, siblings, len,", 0), 0u);
}

TEST(SwExpressions, NodeReferencesThroughFinderAndErrorHandler) {
  TTree tree;
  TSwNodeFormulaFinder finder;
  finder.SetStack({1}, true);  // n = 1
  TSwExpression second(u"a\\x[n]$ has", &tree.Root);
  second.SetFinder(&finder);
  EXPECT_EQ(Shown(SwValueToRpn(second.Evaluate().Value)), "b:True");
  EXPECT_EQ(second.LastResult().Node, tree.X2);

  TSwExpression missing(u"a\\x[5] has", &tree.Root);
  missing.SetFinder(&finder);
  const std::string error = ErrorText([&] { missing.Evaluate(); });  // before the finder describes itself
  EXPECT_EQ(error, "ESwExprNoNode: Cannot find node 'a\\x[5]' relative to 'r' referenced in RPN "
                   "expression (" + finder.Description() + ") 'a\\x[5] has'.");

  // With an error handler the reference yields null and evaluation goes on.
  TErrorLog log;
  TSwExpression handled(u".zz has", &tree.Root);
  handled.SetErrorHandler(log.Handler());
  EXPECT_EQ(Shown(SwValueToRpn(handled.Evaluate().Value)), "b:False");
  EXPECT_EQ(log.Messages,
            std::vector<std::string>{"Cannot find node '.zz' relative to 'r' referenced in RPN expression '.zz has'."});
}

TEST(SwExpressions, ModellingSlicesSelfAndIteration) {
  TStringStream input("0123456789");
  TSwTreeNode parent(u"p");
  TSwTreeNode* item = parent.AddChild(u"item");
  parent.AddChild(u"item");
  parent.AddChild(u"other");
  item->Properties().AddValue(u"inner", TSwValue::OfSlice(2, 3, &input));
  TStubModelNode model(4, u"item");

  struct Row { std::u16string text; bool modelling; const char* result; };
  const Row rows[] = {
      {u"item$ len", true, "i:3"}, {u"item$ '234' cmp_eq", true, "b:True"}, {u"item$ '23' cmp_eq", true, "b:True"},
      {u"item$ fromraw", true, "s:234"}, {u"item$ b2h", true, "s:323334"},
      {u"item$", false, "i:3"},  // outside modelling a slice is only its length
      {u"$ self", true, "ib:2"},
      {u"$ self", false, "ib:0"},  // the root has no siblings
      {u"iter", true, "ib:4"}, {u"iteration", false, "ib:0"},
      {u"item$ fromraw", false,
       "ESwBadRpnValue: Required value type missing (any of 'valBytes, valStr') in RPN expression 'item$ fromraw'."},
  };
  for (const Row& row : rows) {
    input.SetPosition(7);
    // A slice is read through its own window.
    TRun run = EvaluatedOver(input, row.text, &parent, row.modelling ? &model : nullptr);
    EXPECT_EQ(run.Result + "@" + std::to_string(run.Position), row.result + std::string("@7")) << WideToUtf8(row.text);
  }

  TSwExpression slice(u"item$", &parent);
  slice.SetModelNode(&model);
  TSwExpressionResult result = slice.Evaluate();
  ASSERT_NE(result.Stream, nullptr);
  EXPECT_EQ(result.Stream->Size(), 3);
  EXPECT_EQ(result.Stream->Position(), 0);
  EXPECT_EQ(result.Node, item);
}

// One expression object evaluated over one base node after another, as the run does with a
// node's condition: each evaluation sees only its own base and input.
TEST(SwExpressions, RestartedEvaluationsSeeTheirOwnBaseAndInput) {
  TStringStream first("abcdef"), second("uvwxyz");
  TSwTreeNode one(u"one"), two(u"two"), bare(u"bare");
  one.AddChild(u"item")->Properties().AddValue(u"inner", TSwValue::OfSlice(1, 2, &first));
  two.AddChild(u"item")->Properties().AddValue(u"inner", TSwValue::OfSlice(3, 3, &second));
  TStubModelNode model(0, u"item");
  struct TCase { TSwTreeNode* Base; TStream* Input; const char* Result; };  // Result: or the error
  const TCase cases[] = {{&one, &first, "s:bc"}, {&two, &second, "s:xyz"}, {&bare, &first, "ESwExprNoNode"},
                         {&one, &second, "s:bc"}};
  TSwExpression expression(u"item$ fromraw", &one);
  expression.SetModelNode(&model);
  for (const TCase& c : cases) {
    expression.Restart(c.Base, c.Input);
    std::string outcome = ResultOrError([&] { expression.Evaluate(); return Shown(expression.LastScalar()); });
    EXPECT_EQ(outcome.substr(0, std::string(c.Result).size()), c.Result) << WideToUtf8(c.Base->Name());
  }
}

// A script routine as a compiler registers it on its copy of the global registry: "checkVersion"
// answers with what it was called with, after a handler that declines; "never" always declines.
struct TRoutines {
  static bool CheckVersion(void*, TSwFuncContext& context) {
    const std::string argument = Shown(context.Expression->Evaluator()->Stack().Pop());
    context.Value->Value = RpnStr(Utf8ToWide(argument + " " + WideToUtf8(context.Name)));
    return true;
  }
  static bool Decline(void*, TSwFuncContext&) { return false; }
  TSwFunctions Functions = SwGlobalFunctions();
  TRoutines() {
    Functions.Register(u"checkVersion", TSwFuncHandler{&Decline, nullptr});
    Functions.Register(u"checkVersion", TSwFuncHandler{&CheckVersion, nullptr});
    Functions.Register(u"never", TSwFuncHandler{&Decline, nullptr});
  }
};

// Evaluates one condition over `input` from `start` as the modelling run does: "kinds:text@position"
// or the error.
std::string Condition(const char16_t* op, const std::u16string& operand, const std::string& input, int64_t start = 0) {
  static TRoutines routines;
  TStringStream stream(input);
  stream.SetPosition(start);
  TSwOptions options;
  TSwTreeNode parent(u"root");
  TStubModelNode node(0, u"");
  TSwNodeFormulaFinder finder;
  finder.SetStack({0}, true);
  const TSwConditionClass* cls = SwGlobalConditions().Find(op);
  return ResultOrError([&] {
    auto cond = cls->Create(&parent, cls->PrepareOperand(RpnStr(operand), options));
    cond->SetOptions(options);
    cond->SetInputStream(&stream);
    cond->SetModelNode(&node);
    cond->SetFinder(&finder);
    cond->SetFunctions(&routines.Functions);
    const std::string value = Shown(SwValueToRpn(cond->Evaluate().Value));
    return value + "@" + std::to_string(stream.Position());
  });
}

TEST(SwConditions, OperatorsConsumeWhatTheyMatch) {
  struct Row { const char16_t* op; std::u16string operand; std::string input, expected; int64_t start = 0; };
  const Row rows[] = {
      {u"=", u"abc", "abcd", "b:True@3"}, {u"=", u"abc", "abx", "b:False@0"}, {u"=", u"abc", "", "b:False@0"},
      {u"=", u"abc", "xxabc", "b:True@5", 2}, {u"=", u"abc", "xxabc", "b:False@5", 5}, {u"=", u"", "xyz", "b:True@0"},
      {u"=", u"ABC", "abc", "b:False@0"},
      {u"=", u"\u010D", "\xE8!", "b:True@1"},  // the operand in the model's code page
      {u"_", u"abc", "   abc", "b:True@6"}, {u"_", u"abc", "   ", "b:True@3"}, {u"_", u"abc", "   x", "b:False@0"},
      {u"_", u"", "\t\r\n\x01 x", "b:True@5"}, {u"_", u"", "", "b:True@0"},
      {u"_", u"abc", std::string(300, ' ') + "abc", "b:True@303"}, {u"_", u"abc", std::string(256, ' '), "b:True@256"},
      {u"_", u"abc", std::string(300, ' ') + "abx", "b:False@0"}, {u"x", u"0D 0A", "\r\nz", "b:True@2"},
      {u"x", u"0d0a", "\r\nz", "b:True@2"}, {u"x", u"0D-0A", "\r\nz", "b:True@2"}, {u"x", u"0D 0A", "\r", "b:False@0"},
      {u"x", u"0D0", "\r\n", "ESwHexConvert: Hex string must have even length, 3 given."},
      {u"x", u"0G", "\r\n", "ESwHexConvert: Hex string \"0G\" contains wrong symbol (0-9, A-F, a-f allowed)."},
      {u"x", u"", "\r\n", "ESwEmptyFuncArgument: Function TFnCmpHex of RPN expression '' expects a non-empty "
                          "argument."},
      {u"x", u"--", "\r\n", "ESwEmptyFuncArgument: Function TFnCmpHex of RPN expression '' expects a non-empty "
                            "argument."},
      {u"%", u"SP+|EOF", "", "b:True@0"}, {u"%", u"SP+|EOF", "  x", "b:True@2"}, {u"%", u"SP+|EOF", "x", "b:False@0"},
      {u"%", u"NL", "\r\nx", "b:True@2"},
      {u"%", u"", "x", "ESwEmptyFuncArgument: Function TFnCmpPattern of RPN expression '' expects a non-empty "
                       "argument."},
      {u"?", u"'abc' cmp_eq", "abcd", "b:True@3"}, {u"?", u"'abc' cmp_eq", "abx", "b:False@0"},
      {u"?", u"eof", "", "b:True@0"},
      {u"?", u"3 skip 1 1 =", "abcd",
       "ENonEmptyRpnStack: There were 3 items instead of just one left on stack after evaluating an RPN expression."},
      {u"?", u"1 2 +", "", "i:3@0"},  // not a boolean: the engine refuses it
      {u"?", u"", "", "EEmptyRPN: Empty RPN expression string."},
      // Script routines of the compiler's own registry.
      {u"?", u"'0.79' checkVersion", "ab", "s:s:0.79 checkVersion@1", 1},
      {u"?", u"never", "", "ESwUnsupportedExprFunction: No registered RPN expression function handler for 'never' can "
                           "operate on given parameters in RPN expression 'never'."},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Condition(row.op, row.operand, row.input, row.start), row.expected) << WideToUtf8(row.op + row.operand);
  EXPECT_EQ(SwGlobalFunctions().Handlers(u"checkVersion"), nullptr);
}

TEST(SwConditions, OperandPreparation) {
  TSwOptions options;
  TRpnScalar exact = TCdExact::Class()->PrepareOperand(RpnStr(u"\u010D"), options);
  EXPECT_EQ(Shown(exact) + " " + SwBinToHex(exact.Bytes), "sr:\u010D E8");
  EXPECT_EQ(ErrorText([&] { TCdExact::Class()->PrepareOperand(RpnStr(u"\u4E00"), options); })
                .rfind("ESwCodepageLoss: ", 0), 0u);
  EXPECT_EQ(Shown(TCdExpression::Class()->PrepareOperand(RpnBytes("\xE8 eof"), options)), "sr:\u010D eof");
  EXPECT_EQ(Shown(TSwCondExpression::Class()->PrepareOperand(RpnStr(u"x"), options)), "s:x");

  // A bytes operand of "?" runs as its decoded text.
  auto cond = TCdExpression::Class()->Create(nullptr, RpnBytes("1 1 ="));
  EXPECT_TRUE(cond->Evaluate().Value.Bool);
  EXPECT_EQ(cond->Text(), u"1 1 =");

  // Precompiled conditions parse nothing: evaluating them leaves the tokeniser alone.
  int64_t tokenised = RpnTokeniseCount();
  for (int i = 0; i < 3; ++i) Condition(u"=", u"abc", "abc");
  Condition(u"%", u"SP+", " ");
  EXPECT_EQ(RpnTokeniseCount(), tokenised);
}

// An expression evaluated again runs the list it compiled before, until its text changes or the
// process-wide compile settings (and with them the cache) are renewed.
TEST(SwExpressions, EvaluatedAgainWithoutCompilingAgain) {
  TSwExpression expression(u"17 25 +", nullptr);
  struct TStep { const char* Label; std::function<void()> Before; const char* Result; int64_t Tokenised; };
  const TStep steps[] = {
      {"first evaluation", [] { ClearRpnCompileCache(); }, "i:42", 1}, {"again", [] {}, "i:42", 0},
      {"new text", [&] { expression.SetText(u"40 2 -"); }, "i:38", 1},
      {"cache renewed", [] { ClearRpnCompileCache(); }, "i:38", 1}, {"again after renewal", [] {}, "i:38", 0},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Label);
    step.Before();
    int64_t before = RpnTokeniseCount();
    expression.Restart(nullptr, nullptr);
    expression.Evaluate();
    EXPECT_EQ(Shown(expression.LastScalar()), step.Result);
    EXPECT_EQ(RpnTokeniseCount() - before, step.Tokenised);
  }
}

// A handler that registers functions while it runs (a script routine defining more) moves the
// registry's lists; the call goes on with the handlers registered meanwhile.
TEST(SwExpressions, HandlersRegisteredDuringACallAreTriedInTurn) {
  struct TGrower {
    TSwFunctions* Functions;
    static bool Answer(void*, TSwFuncContext& context) {
      context.Value->Value = RpnNum(42);
      return true;
    }
    static bool RegisterMoreAndDecline(void* data, TSwFuncContext&) {
      auto* self = static_cast<TGrower*>(data);
      for (int i = 0; i < 200; ++i)
        self->Functions->Register(Utf8ToWide("more" + std::to_string(i)), TSwFuncHandler{&Answer, nullptr});
      self->Functions->Register(u"grow", TSwFuncHandler{&Answer, nullptr});
      return false;
    }
  };
  const std::pair<const char16_t*, const char*> cases[] = {{u"grow", "i:42"}, {u"grow more7 +", "i:84"}};
  for (const auto& [text, result] : cases) {
    SCOPED_TRACE(WideToUtf8(text));
    TSwFunctions functions = SwGlobalFunctions();
    TGrower grower{&functions};
    functions.Register(u"grow", TSwFuncHandler{&TGrower::RegisterMoreAndDecline, &grower});
    TSwExpression expression(text, nullptr);
    expression.SetFunctions(&functions);
    EXPECT_EQ(ResultOrError([&] { expression.Evaluate(); return Shown(expression.LastScalar()); }), result);
  }
  // An expression looks its names up once; a function registered after that is still found.
  TSwFunctions functions = SwGlobalFunctions();
  TSwExpression late(u"later", nullptr);
  late.SetFunctions(&functions);
  EXPECT_EQ(ErrorText([&] { late.Evaluate(); }).substr(0, 22), "ESwUnknownExprFunction");
  functions.Register(u"later", TSwFuncHandler{&TGrower::Answer, nullptr});
  late.Restart(nullptr, nullptr);
  late.Evaluate();
  EXPECT_EQ(Shown(late.LastScalar()), "i:42");
}

// xor with a 3-byte key over 70,000 bytes, read in several chunks: the key goes on by the byte's
// position in the value.
TEST(SwExpressions, BufferedTransformAcrossChunks) {
  std::string data(70000, '\0'), xored, negated;
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>(i * 7 + 3);
    xored += static_cast<char>(data[i] ^ "\x11\x22\x33"[i % 3]);
    if (i >= 100) negated += static_cast<char>(~data[i]);
  }
  TStringStream input(data);
  struct TCase { const char16_t* Text; int64_t Start; const std::string& Expected; };
  const TCase cases[] = {{u"$ '112233' h2b xor", 0, xored}, {u"$ not", 100, negated}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.Text));
    input.SetPosition(c.Start);
    TSwExpression expression(c.Text, nullptr);
    expression.SetInputStream(&input);
    ASSERT_NE(expression.Evaluate().Stream, nullptr);
    EXPECT_EQ(input.Position(), c.Start);
    // The stream result can be taken out by the caller.
    std::unique_ptr<TStream> taken = expression.ExtractOutStream();
    ASSERT_NE(taken, nullptr);
    ASSERT_EQ(taken->Size(), static_cast<int64_t>(c.Expected.size()));
    std::string out(c.Expected.size(), '\0');
    taken->SetPosition(0);
    taken->ReadBuffer(out.data(), taken->Size());
    EXPECT_TRUE(out == c.Expected);
  }
}

TEST(SwExpressions, ValuesPositionsAndWorkStayBounded) {
  // An endless input fills no disk: a transform's output is bounded like any value.
  TFileStream endless(u"/dev/zero", TFileMode::OpenRead);
  EXPECT_EQ(EvaluatedOver(endless, u"$ not").Result,
            "ESwExprValueTooLong: Function TFnNot of RPN expression '$ not' would make a value of 83886080 "
            "bytes or characters (83886079 max).");
  // A value that one step would make too long is refused before it is made, and a value is
  // never read from a stream longer than any value.
  EXPECT_EQ(Outcome(u"$ b2h", std::string(41943040, 'a')),
            "ESwExprValueTooLong: Function TFnBinToHex of RPN expression '$ b2h' would make a value of 83886080 "
            "bytes or characters (83886079 max).");
  TScratchDir dir("bounded");  // a file of 100 MB that takes no room
  WriteFile(dir / "huge", "");
  std::filesystem::resize_file(dir / "huge", 100000000);
  TFileStream huge(Utf8ToWide((dir / "huge").string()), TFileMode::OpenRead);
  TRun run = EvaluatedOver(huge, u"$ b2h");
  EXPECT_EQ(run.Result, "ESwReadingLongRawStream: Attempted to read more than 83886079-byte string from raw stream "
                        "100000000 bytes long while evaluating '$ b2h'.");
  EXPECT_EQ(run.Position, 0);
  // Positions far out neither overflow nor read anything.
  const std::string far = "9223372036854775800";
  const std::pair<std::u16string, std::string> rows[] = {
      {u"99999999999999999999 skip", "b:True"}, {u"$ " + Utf8ToWide(far) + u" tooffset not len", "i:0"},
      {u"$ " + Utf8ToWide(far) + u" tooffset 'k' xor len", "i:0"},
      {u"$ " + Utf8ToWide(far) + u" tooffset 'ANY' cmp_pat", "b:False"},
  };
  for (const auto& [text, result] : rows) EXPECT_EQ(Evaluated(text, "abc", 2).Result, result) << WideToUtf8(text);
  // Work counts against the thread's meter, and a cancel request stops the next piece of it.
  std::atomic<bool> cancel{false};
  TSwWorkMeter meter(&cancel, 100000);
  EXPECT_EQ(Outcome(u"$ not", std::string(200000, 'x')),
            "ESwWorkLimit: The work limit of 100000 units (bytes read, made, scanned or written, and passes of the "
            "model) has been reached.");
  cancel = true;
  EXPECT_EQ(Outcome(u"$ not", "x"), "ESwCancelled: The work was cancelled.");
}

// A host's side of the Ask mode: gives its answers in turn and keeps the requests.
struct TAsker {
  std::vector<TSwFileAccessAnswer> Answers;
  std::vector<TSwFileAccessRequest> Asked;
  TSwFileAccessAnswer Answer(const TSwFileAccessRequest& request) {
    Asked.push_back(request);
    return Answers.at(Asked.size() - 1);
  }
};

TEST(SwExpressions, LoadAndSave) {
  namespace fs = std::filesystem;
  TScratchDir dir("expressions");
  fs::create_directories(dir / "sub");
  auto file = [&](const char* name) { return (dir / name).string(); };
  auto read = [](const std::string& path) { return fs::exists(path) ? ReadFile(path) : "<none>"; };
  auto text = [](const std::string& s) { return Utf8ToWide(s); };

  // Text is written as UTF-8 without a byte-order mark; the result is the input. A stream input is written
  // whole, from its start, and keeps its position.
  struct TStep { std::string Text, Result, File = {}, Content = {}; };  // "@": the scratch folder
  const TStep steps[] = {
      {"'@t.txt' 'h\xC3\xA9llo' save", "s:h\xC3\xA9llo", "t.txt", "h\xC3\xA9llo"},
      {"'@t.txt' load b2hh", "s:68 C3 A9 6C 6C 6F"}, {"'@b.bin' '00FF' h2b save", "r:00 FF", "b.bin", {"\0\xFF", 2}},
      {"'@b.bin' load not b2h", "s:FF00"}, {"'@s.bin' $ save", "-:null", "s.bin", "abcdef"},
      {"'@s.bin' load 'abc' cmp_eq", "b:True"}, {"'@s.bin' load len", "i:6"},
      {"5 load", "EWrongTopStackValueKind: Expected a s value on top of TRpnValueStack but got i."},
  };
  for (const TStep& step : steps) {
    std::string text = step.Text;
    if (size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, dir.Path().string() + "/");
    TRun run = Evaluated(Utf8ToWide(text), "abcdef", 3);
    EXPECT_EQ(run.Result + "@" + std::to_string(run.Position), step.Result + "@3") << text;
    if (!step.File.empty()) { EXPECT_EQ(read(file(step.File.c_str())), step.Content) << text; }
  }
  const std::string missing = Outcome(text("'" + file("none.bin") + "' load"));
  EXPECT_EQ(missing.rfind("EFOpenError: Cannot open file ", 0), 0u) << missing;

  // A file-access policy decides before a file is touched, per kind of access; an answer for
  // the run stands for later accesses of its kind only. Without a policy all is allowed.
  const std::string written = file("sub/../w.txt");
  const std::vector<std::u16string> texts = {text("'" + written + "' 'one' save"), text("'" + written + "' 'two' save"),
                                             text("'" + file("s.bin") + "' load len")};
  using M = TSwFileAccessMode;
  using A = TSwFileAccessAnswer;
  // Outcomes: per text, "+" done, "-" refused; File: w.txt afterwards.
  struct TCase { const char* Name; bool Policy; M Read, Write; bool Asks; std::vector<A> Answers;
                 std::string Outcomes, File; };
  const std::vector<TCase> cases = {
      {"no policy", false, M::Allowed, M::Allowed, false, {}, "+++", "two"},
      {"refusing", true, M::Refused, M::Refused, false, {}, "---", "<none>"},
      {"read only", true, M::Allowed, M::Refused, false, {}, "--+", "<none>"},
      {"ask without a callback", true, M::Ask, M::Ask, false, {}, "---", "<none>"},
      {"ask each time", true, M::Ask, M::Ask, true, {A::AllowOnce, A::Refuse, A::Refuse}, "+--", "one"},
      {"for the run", true, M::Ask, M::Ask, true, {A::AllowForRun, A::AllowOnce}, "+++", "two"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(file("w.txt"));
    TAsker asker{c.Answers, {}};
    TSwFileAccess access{c.Read, c.Write, {}};
    if (c.Asks) access.Ask = TSwFileAccessAsk::Of<&TAsker::Answer>(&asker);
    std::string outcomes;
    for (const std::u16string& each : texts) {
      TSwExpression expression(each, nullptr);
      if (c.Policy) expression.SetFileAccess(&access);
      std::string failure = ErrorText([&] { expression.Evaluate(); });
      outcomes += failure == "no error" ? "+" : failure.rfind("ESwFileAccessRefused: ", 0) == 0 ? "-" : failure;
    }
    EXPECT_EQ(outcomes, c.Outcomes);
    EXPECT_EQ(read(file("w.txt")), c.File);
    EXPECT_EQ(asker.Asked.size(), c.Answers.size());
  }

  // The callback hears the function, the path as given and where it leads; so does the error.
  TAsker asker{{A::Refuse}, {}};
  TSwFileAccess access{M::Allowed, M::Ask, TSwFileAccessAsk::Of<&TAsker::Answer>(&asker)};
  TSwExpression expression(texts[0], nullptr);
  expression.SetFileAccess(&access);
  EXPECT_EQ(ErrorText([&] { expression.Evaluate(); }),
            "ESwFileAccessRefused: Function save was refused access to file \"" + written + "\" in RPN expression '" +
                WideToUtf8(texts[0]) + "'.");
  ASSERT_EQ(asker.Asked.size(), 1u);
  EXPECT_EQ(asker.Asked[0].Kind, TSwFileAccessKind::Write);
  EXPECT_EQ(WideToUtf8(asker.Asked[0].Function + u" " + asker.Asked[0].Path + u" " + asker.Asked[0].ResolvedPath),
            "save " + written + " " + (fs::canonical(dir.Path()) / "w.txt").string());
}

TEST(SwExpressions, ResultsAndExtraction) {
  TSwObject stranger;
  TRpnScalar bad;
  bad.Kinds = valCustom;
  bad.Custom = &stranger;
  TSwFuncContext empty;
  TSwExpression fresh(u"1", nullptr);
  const std::pair<std::function<void()>, std::string> misuses[] = {
      {[&] { TSwRpnValueEx::Of(bad); },
       "ESwBadRpnValueCustom: RPN value has valCustom Kind but it's not a TSwRpnValueEx instance."},
      {[] { TSwRpnValueEx::Required(RpnNum(1)); }, "ESwRpnValueNotExtended: Expected an extended RPN value."},
      // A built-in function's handler called without an expression names the function.
      {[&] { SwGlobalFunctions().Handlers(u"len")->front()(empty); },
       "ESwBadFuncContext: Required TFnLength Context fields missing."},
      {[&] { fresh.ExtractOutStream(); },
       "ESwExtractExprStreamOnNoEval: Attempted to ExtractOutStream from TSwExpression that wasn't yet evaluated."},
  };
  for (const auto& [misuse, error] : misuses) EXPECT_EQ(ErrorText(misuse), error);
  EXPECT_EQ(TSwRpnValueEx::Of(RpnNum(1)), nullptr);

  TSwExpressionResult number = fresh.Evaluate();
  EXPECT_EQ(number.Value.Kinds, SwKind(ltFrac) | SwKind(ltInt));
  EXPECT_EQ(number.Value.Int, 1);
  EXPECT_EQ(fresh.ExtractOutStream(), nullptr);

  // A shared stream comes out as a window over the whole of it.
  TStringStream input("abcdef");
  input.SetPosition(2);
  TSwExpression start(u"$", nullptr);
  start.SetInputStream(&input);
  EXPECT_EQ(start.Evaluate().Stream, &input);
  std::unique_ptr<TStream> window = start.ExtractOutStream();
  ASSERT_NE(window, nullptr);
  std::string all(6, '\0');
  window->ReadBuffer(all.data(), 6);
  EXPECT_EQ(all, "abcdef");
  EXPECT_EQ(input.Position(), 2);

  // Conversions between scalars and node values.
  const std::pair<TRpnScalar, TSwTypes> rows[] = {
      {RpnNum(2.5), SwKind(ltFrac)}, {RpnNum(-7), static_cast<TSwTypes>(SwKind(ltFrac) | SwKind(ltInt))},
      {RpnNum(3000000000.0), SwKind(ltFrac)}, {RpnBool(false), SwKind(ltBool)},
      {RpnBytes("ab"), SwKind(ltRaw)}, {RpnStr(u"ab"), SwKind(ltStr)},
  };
  for (const auto& [scalar, kinds] : rows) {
    TSwValue value = SwRpnToValue(scalar);
    EXPECT_EQ(value.Kinds, kinds);
    EXPECT_EQ(Shown(SwValueToRpn(value)), Shown(scalar));
  }
  EXPECT_EQ(Shown(SwValueToRpn(TSwValue::OfInt(42))), "i:42");
  EXPECT_EQ(SwRpnKindNames(0), "<none>");
  const std::pair<double, int64_t> truncated[] = {{-2.9, -2}, {2.9, 2}, {1e300, INT64_MAX}, {-1e300, INT64_MIN},
                                                  {std::nan(""), 0}};
  for (const auto& [number, integer] : truncated) EXPECT_EQ(SwTruncNumber(number), integer) << number;
}

}  // namespace
}  // namespace skeinwork
