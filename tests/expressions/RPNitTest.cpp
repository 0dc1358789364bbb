#include "RPNit.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <functional>
#include <string>

namespace skeinwork {
namespace {

// Tests that change the process-wide tables put the defaults back when they end.
class RpnDefaults : public ::testing::Test {
 protected:
  void SetUp() override { RestoreRpnDefaults(); }
  void TearDown() override { RestoreRpnDefaults(); }
};

// A compact form of a compiled list: "s:text", "i:number", "b:bool", "op:Name", "v:name".
std::string Dump(const TCompiledRPN& list) {
  std::string out;
  for (size_t i = 0; i < list.Count(); ++i) {
    const TSwObject& item = list.Item(i);
    if (!out.empty()) out += ' ';
    if (auto* variable = dynamic_cast<const TRpnVariable*>(&item)) {
      out += "v:" + WideToUtf8(variable->Name());
    } else if (auto* constant = dynamic_cast<const TRpnConst*>(&item)) {
      out += RpnKindLetters(constant->Value.Kinds) + ":" + WideToUtf8(RpnValueText(constant->Value));
    } else if (auto* op = dynamic_cast<const TRpnOperator*>(&item)) {
      out += "op:" + op->OperatorName();
    }
  }
  return out;
}

std::string Shown(const TRpnScalar& value) {
  return RpnKindLetters(value.Kinds) + ":" + WideToUtf8(RpnValueText(value));
}

class TNameAsText : public TRpnVariable {
 public:
  using TRpnVariable::TRpnVariable;
  TRpnScalar GetValue(TRpnEvaluator&) const override { return RpnStr(Name()); }
};

// A callback that pops its own arguments, as functions of the expression layer do.
void ResolveFunctions(void*, TRpnEvaluator& evaluator, const WideString& name, TRpnScalar& result) {
  if (name == u"ten") {
    result = RpnNum(10);
  } else if (name == u"sum") {
    double b = evaluator.Stack().PopNum();
    double a = evaluator.Stack().PopNum();
    result = RpnNum(a + b);
  }
}

enum class TMode { Plain, Reversed, NamesAsText, VariableTable, Callback };

// The result as "kinds:text", or "EClass: message" of the error compiling or evaluating raised.
std::string Outcome(std::u16string_view text, TMode mode = TMode::Plain) {
  return ResultOrError([&] {
    TRpnCompileSettings settings;
    settings.Reversed = mode == TMode::Reversed;
    if (mode == TMode::NamesAsText) settings.VariableClass = RpnVariableClassOf<TNameAsText>();
    auto compiled = CompileRpn(text, settings);
    TRpnEvaluator evaluator(compiled.get());
    TRpnVariables table{{u"a", RpnNum(1)}, {u"b", RpnNum(2)}};
    if (mode == TMode::VariableTable) evaluator.Variables = &table;
    if (mode == TMode::Callback) evaluator.OnVariable = TRpnVariableEvent{&ResolveFunctions, nullptr};
    return Shown(evaluator.Evaluate());
  });
}

TEST_F(RpnDefaults, TokenisesStringsNumbersOperatorsAndNames) {
  ExpectError<EEmptyRpnVarCharList>([] { SetRpnVarChars(u" \t "); }, "Attempted to set empty RpnVarChars.");
  EXPECT_EQ(RpnVarChars(), RpnDefaultVarChars);
  // shared: "+" and "$" are variable characters too, which operators then share.
  struct Row { std::u16string text; const char* items; bool shared = false; };
  const Row rows[] = {
      {u"'it''s'", "s:it's"}, {u"'' 'x'", "s: s:x"}, {u"'a b'", "s:a b"}, {u"1,5", "i:1.5"}, {u"1.5", "i:1.5"},
      {u"1.", "i:1"}, {u"-2", "i:-2"}, {u"+7", "i:7"}, {u"3 4 -", "i:3 i:4 op:Subtract"}, {u"5 -3", "i:5 i:-3"},
      {u"12abc", "i:12 v:abc"}, {u"a1_b ABC", "v:a1_b v:ABC"}, {u"a+b", "v:a op:Add v:b"}, {u"  1  2 ", "i:1 i:2"},
      {u"1 2 ^ % > < * /", "i:1 i:2 op:Power op:Modulus op:More op:Less op:Multiply op:Divide"}, {u"'x'y", "s:x v:y"},
      {u"a+b", "v:a+b", true}, {u"1 2 +", "i:1 i:2 op:Add", true}, {u"+1", "i:1", true}, {u"+ 1", "op:Add i:1", true},
      {u"+x", "v:+x", true}, {u"$ +", "v:$ op:Add", true}, {u"Ab+", "v:Ab+", true},
  };
  for (const Row& row : rows) {
    SetRpnVarChars(WideString(RpnDefaultVarChars) + (row.shared ? u"+$" : u""));
    EXPECT_EQ(Dump(*CompileRpn(row.text)), row.items) << WideToUtf8(row.text);
  }
}

// The default operators, the compile settings and the variable sources, with the errors of
// compiling and evaluating.
TEST_F(RpnDefaults, ResultsAndErrors) {
  struct Row { std::u16string text; std::string outcome; TMode mode = TMode::Plain; };
  const std::string syntax = "EWrongRpnSyntax: Invalid RPN expression syntax at ";
  const std::string tooFew = "ENotEnoughRpnArguments: Too few arguments on stack for ";
  const std::string wrongKind = "EWrongTopStackValueKind: Expected a i value on top of TRpnValueStack but got s.";
  const Row rows[] = {
      {u"3 4 -", "i:-1"}, {u"2 10 ^", "i:1024"}, {u"7 2 %", "i:1"}, {u"-7 2 %", "i:-1"},
      {u"7.5 2 %", "i:1.5"}, {u"2 3 <", "b:True"}, {u"2 3 >", "b:False"}, {u"7 2 /", "i:3.5"},
      {u"1,5 1.5 +", "i:3"}, {u"6 7 *", "i:42"}, {u"0.1 0.2 +", "i:0.3"}, {u"1 3 /", "i:0.333333333333333"},
      {u"1 0 /", "i:INF"}, {u"'x'", "s:x"}, {u"1 2 + 3 4 + *", "i:21"},
      // Reversed and plain lists of one text are cached apart.
      {u"- 40 2", "i:-38", TMode::Reversed}, {u"- 40 2", tooFew + "Subtract (needs 2, has 0)."},
      {u"hello", "s:hello", TMode::NamesAsText}, {u"a b +", "i:3", TMode::VariableTable},
      {u"a c +", "EMissingRpnVariable: Missing RPN expression variable \"c\".", TMode::VariableTable},
      {u"1 2 sum ten +", "i:13", TMode::Callback},
      {u"x", "EVariablelessRPN: Variable \"x\" was found in an RPN expression but no variables were "
             "bound to the expression prior to its evaluation."},
      {u"1 +", tooFew + "Add (needs 2, has 1)."}, {u"<", tooFew + "Less (needs 2, has 0)."},
      {u"1 2", "ENonEmptyRpnStack: There were 2 items instead of just one left on stack after "
               "evaluating an RPN expression."},
      {u"'a' 1 +", wrongKind}, {u"1 'a' -", wrongKind},
      {u"", "EEmptyRPN: Empty RPN expression string."}, {u" \t ", "EEmptyRPN: Empty RPN expression string."},
      {u"'abc", "EUnterminatedString: Unterminated string \"abc\" started at 1 in RPN expression \"'abc\"."},
      {u"1 'it''s", "EUnterminatedString: Unterminated string \"it's\" started at 4 in RPN "
                    "expression \"1 'it''s\"."},
      {u"1\t2 +", syntax + "\"\t2 +\" (position 2, full string: \"1\t2 +\")."},
      {u"a # 0123456789012345678901", syntax + "\"# 012345678901234567\" (position 3, full string: "
                                               "\"a # 0123456789012345678901\")."},
      // A character above 255 is never taken for its low byte (U+0131 would be "1").
      {u"1 \u0131", syntax + "\"\u0131\" (position 3, full string: \"1 \u0131\")."},
      {u"1.000,5", "EInvalidRpnFloatStr: Invalid floating point constant \"1.000,5\" in an RPN expression."},
      {u"1,2,3", "EInvalidRpnFloatStr: Invalid floating point constant \"1,2,3\" in an RPN expression."},
      {u"1..2", "EInvalidRpnFloatStr: Invalid floating point constant \"1..2\" in an RPN expression."},
  };
  for (const Row& row : rows) EXPECT_EQ(Outcome(row.text, row.mode), row.outcome) << WideToUtf8(row.text);
  EXPECT_THROW(CompileRpn(u"'x"), EWrongRpnSyntax);  // an unterminated string is a syntax error
}

TEST(RpnStack, PopsCheckKindAndCountAndCapacity) {
  TRpnValueStack stack;
  const std::pair<std::function<void()>, std::string> emptyPops[] = {
      {[&] { stack.Pop(); }, "EEmptyStackOperation: Attempted to Pop from empty TRpnValueStack."},
      {[&] { stack.PopNum(); }, "EEmptyStackOperation: Attempted to PopNum from empty TRpnValueStack."},
      {[&] { stack.PopInt(); }, "EEmptyStackOperation: Attempted to PopNum from empty TRpnValueStack."},
      {[&] { stack.PopStr(); }, "EEmptyStackOperation: Attempted to PopStr from empty TRpnValueStack."},
      {[&] { stack.GetResult(); },
       "EEmptyRpnStack: There were no items left on stack after evaluating an RPN expression - but "
       "at least one is required to determine the expression result."},
  };
  for (const auto& [pop, error] : emptyPops) EXPECT_EQ(ErrorText(pop), error);
  stack.Push(RpnNum(7.5));
  ExpectError<EWrongTopStackValueKind>([&] { stack.PopStr(); },
                                       "Expected a s value on top of TRpnValueStack but got i.");
  ExpectError<EIntegerExpectedOnStackTop>([&] { stack.PopInt(); },
      "Expected an integer value without fractional part on top of TRpnValueStack but got 7.5.");
  EXPECT_EQ(stack.Count(), 1);  // a refused pop leaves the value
  stack.Push(RpnNum(1e300));
  EXPECT_THROW(stack.PopInt(), EIntegerExpectedOnStackTop);

  TRpnValueStack full;
  for (int i = 0; i < TRpnValueStack::Capacity; ++i) full.Push(RpnNum(i));
  ExpectError<ERpnStackOverflow>([&] { full.Push(RpnNum(0)); },
                                 "An RPN expression needs more than 8192 values on TRpnValueStack.");
  EXPECT_EQ(full.Count(), TRpnValueStack::Capacity);
  std::u16string text;
  for (int i = 0; i <= TRpnValueStack::Capacity; ++i) text += u"1 ";
  auto compiled = CompileRpn(text);
  EXPECT_THROW(TRpnEvaluator(compiled.get()).Evaluate(), ERpnEvaluation);
}
TEST(RpnValues, TextFormsAndKindLetters) {
  TRpnScalar both = RpnStr(u"text");
  both.Kinds |= valBytes;
  both.Bytes = "xyz";
  struct Row { TRpnScalar value; const char16_t* text; const char* letters; };
  const Row rows[] = {
      {RpnStr(u"abc"), u"abc", "s"}, {RpnBytes("ABC"), u"41 42 43", "r"},
      {RpnBytes(std::string("\x00\xff", 2)), u"00 FF", "r"}, {RpnNum(5), u"5", "i"}, {RpnNum(-2.5), u"-2.5", "i"},
      {RpnNum(1e20), u"100000000000000000000", "i"}, {RpnNum(-0.0), u"0", "i"}, {RpnBool(true), u"True", "b"},
      {RpnBool(false), u"False", "b"}, {TRpnScalar(), u"null", "-"}, {both, u"text", "sr"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(RpnValueText(row.value), row.text) << WideToUtf8(row.text);
    EXPECT_EQ(RpnKindLetters(row.value.Kinds), row.letters) << WideToUtf8(row.text);
  }
  EXPECT_EQ(RpnValueText(TRpnScalar(), u""), u"");
  EXPECT_EQ(RpnKindLetters(valCustom | valBool | valNum | valBytes | valStr), "sribc");
}

TEST(RpnValues, Equality) {
  auto incomparable = [](const std::string& kinds) {
    return "EInvalidRpnOperation: Incomparable RPN values of types: " + kinds + ". Can only compare these combinations: "
           "null-any or any-null or null/null, num-num, bool-bool, str-str, bytes-bytes, num-str or str-num.";
  };
  struct Row { TRpnScalar a, b; std::string equal; };  // "=", "<>" or the error
  const Row rows[] = {
      {RpnNum(5), RpnStr(u"5"), "="}, {RpnStr(u"5.5"), RpnNum(5.5), "="}, {RpnNum(5), RpnStr(u"5.0"), "<>"},
      {TRpnScalar(), TRpnScalar(), "="}, {TRpnScalar(), RpnNum(0), "<>"}, {RpnStr(u""), TRpnScalar(), "<>"},
      {RpnStr(u"a"), RpnStr(u"A"), "<>"}, {RpnStr(u"a"), RpnStr(u"a"), "="}, {RpnBytes("ab"), RpnBytes("ab"), "="},
      {RpnBytes("ab"), RpnBytes("abc"), "<>"}, {RpnBool(true), RpnBool(true), "="},
      {RpnBool(true), RpnBool(false), "<>"}, {RpnNum(2), RpnNum(2.0), "="},
      {RpnBool(true), RpnNum(1), incomparable("A (True) = b, B (1) = i")},
      {RpnBytes("A"), RpnStr(u"A"), incomparable("A (41) = r, B (A) = s")},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ResultOrError([&] { return RpnValuesEqual(row.a, row.b) ? "=" : "<>"; }), row.equal)
        << WideToUtf8(RpnValueText(row.a)) + " = " + WideToUtf8(RpnValueText(row.b));
}

class TNotAnItem : public TSwObject {};

TEST_F(RpnDefaults, CompileCache) {
  int64_t before = RpnTokeniseCount();
  auto first = CompileRpn(u"40 2 +");
  EXPECT_EQ(CompileRpn(u"  40 2 +\t").get(), first.get());
  EXPECT_EQ(RpnTokeniseCount(), before + 1);

  // A full cache is emptied, so the first text is tokenised again once as many others came.
  ClearRpnCompileCache();
  auto kept = CompileRpn(u"40 2 +");
  int64_t filled = RpnTokeniseCount();
  for (size_t i = 0; i < RpnMaxCachedLists; ++i) CompileRpn(Utf8ToWide(std::to_string(i)));
  EXPECT_EQ(RpnTokeniseCount(), filled + static_cast<int64_t>(RpnMaxCachedLists));
  EXPECT_NE(CompileRpn(u"40 2 +").get(), kept.get());
  EXPECT_EQ(RpnTokeniseCount(), filled + static_cast<int64_t>(RpnMaxCachedLists) + 1);
  EXPECT_EQ(TRpnEvaluator(kept.get()).Evaluate().Num, 42);  // a held list outlives the emptying

  TRpnCompileSettings uncached;
  uncached.UseCache = false;
  EXPECT_NE(CompileRpn(u"40 2 +", uncached).get(), first.get());

  // Changing the variable characters empties the cache; a held list stays usable.
  SetRpnVarChars(u"xyz");
  EXPECT_NE(CompileRpn(u"40 2 +").get(), first.get());
  EXPECT_EQ(Dump(*first), "i:40 i:2 op:Add");

  TCompiledRPN bad;
  bad.Add(std::make_unique<TNotAnItem>());
  ExpectError<ERPN>([&] { TRpnEvaluator(&bad).Evaluate(); },
                    "Invalid object of class TNotAnItem in a compiled RPN object.");
}

TEST_F(RpnDefaults, OperatorTableIsProcessWideAndCopiedIntoEvaluators) {
  ExpectError<EDuplicateRpnOperator>([] { RegisterRpnOperator(u'+', RpnOperatorClassOf<TRpnSubtract>()); },
      "Attempted to add a new operator \"+\" of class TRpnSubtract to the RPN operator list but "
      "it was already taken.");
  EXPECT_EQ(RpnOperators()->Count(), 8);

  // Characters from 255 up live in the table's hash part.
  RegisterRpnOperator(u'\u2212', RpnOperatorClassOf<TRpnSubtract>());
  RegisterRpnOperator(u'\u00f7', RpnOperatorClassOf<TRpnDivide>());
  EXPECT_EQ(Outcome(u"5 3 \u2212"), "i:2");
  EXPECT_EQ(Outcome(u"9 2 \u00f7"), "i:4.5");

  auto compiled = CompileRpn(u"1 2 +");
  TRpnEvaluator evaluator(compiled.get());
  ClearRpnOperators();
  EXPECT_EQ(RpnOperators()->Count(), 0);
  EXPECT_EQ(evaluator.Operators().Count(), 10);
  EXPECT_EQ(evaluator.Evaluate().Num, 3);
  ExpectError<EWrongRpnSyntax>([] { CompileRpn(u"1 2 +"); },
      "Invalid RPN expression syntax at \"+\" (position 5, full string: \"1 2 +\").");

  evaluator.MutableOperators().Add(u'#', RpnOperatorClassOf<TRpnAdd>());
  EXPECT_EQ(evaluator.Operators().Count(), 11);
  EXPECT_EQ(RpnOperators()->Count(), 0);

  TRpnOperators own;
  own.Add(u'#', RpnOperatorClassOf<TRpnMultiply>());
  TRpnCompileSettings settings;
  settings.Operators = &own;
  auto product = CompileRpn(u"6 7 #", settings);
  TRpnEvaluator withOwn(product.get());
  EXPECT_EQ(withOwn.Evaluate().Num, 42);
}

}  // namespace
}  // namespace skeinwork
