// Condition evaluations per second. Every condition of every model node runs through one
// condition object made, set up, evaluated and freed, as the modelling run does it.
#include "SwExpressions.h"

#include <benchmark/benchmark.h>

#include <string>

namespace skeinwork {
namespace {

class TBenchModelNode : public TSwExprModelNode {
 public:
  int32_t ParentIteration() const override { return 1; }
  const WideString& ResultPath() const override { return mPath; }

 private:
  WideString mPath = u"item";
};

// An in-memory input of repeated records: "abc" then two spaces.
std::string Input() {
  std::string data;
  while (data.size() < 65536) data += "abc  ";
  return data;
}

void EvaluateCondition(benchmark::State& state, const char16_t* op, const char16_t* operand,
                       int64_t step) {
  TStringStream input(Input());
  TSwOptions options;
  TSwTreeNode parent(u"p");
  TBenchModelNode node;
  TSwNodeFormulaFinder finder;
  finder.SetStack({0}, true);
  TSwFunctions functions = SwGlobalFunctions();
  const TSwConditionClass* cls = SwGlobalConditions().Find(op);
  TRpnScalar operand_ = cls->PrepareOperand(RpnStr(operand), options);
  int64_t size = input.Size();
  int64_t position = 0;
  int64_t matched = 0;
  for (auto _ : state) {
    input.SetPosition(position);
    auto cond = cls->Create(&parent, operand_);
    cond->SetOptions(options);
    cond->SetInputStream(&input);
    cond->SetModelNode(&node);
    cond->SetFinder(&finder);
    cond->SetFunctions(&functions);
    TSwExpressionResult result = cond->Evaluate();
    matched += result.Value.Bool;
    position += step;
    if (position + step > size) position = 0;
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(state.iterations());
}

// "= abc" at record starts: a match of three bytes each time.
void BM_ExactCondition(benchmark::State& state) { EvaluateCondition(state, u"=", u"abc", 5); }
BENCHMARK(BM_ExactCondition);

// "= abc" tried at every byte: mostly mismatches.
void BM_ExactConditionMismatch(benchmark::State& state) { EvaluateCondition(state, u"=", u"abc", 1); }
BENCHMARK(BM_ExactConditionMismatch);

// "% SP+" at the blanks between records.
void BM_PatternCondition(benchmark::State& state) { EvaluateCondition(state, u"%", u"SP+", 5); }
BENCHMARK(BM_PatternCondition);

// "_ abc": blanks skipped, then the text.
void BM_SpacesCondition(benchmark::State& state) { EvaluateCondition(state, u"_", u"abc", 5); }
BENCHMARK(BM_SpacesCondition);

// "? 'abc' cmp_eq": the expression text through the compile cache and name resolution.
void BM_ExpressionCondition(benchmark::State& state) {
  EvaluateCondition(state, u"?", u"'abc' cmp_eq", 5);
}
BENCHMARK(BM_ExpressionCondition);

// "? eof" and "? .item? has": the short expressions of the built-in models.
void BM_ExpressionEof(benchmark::State& state) { EvaluateCondition(state, u"?", u"eof", 5); }
BENCHMARK(BM_ExpressionEof);

void BM_ExpressionOptionalNode(benchmark::State& state) {
  EvaluateCondition(state, u"?", u".item? has", 5);
}
BENCHMARK(BM_ExpressionOptionalNode);

// A transform over a large stream: bytes per second of "$ 'key' xor".
void BM_XorTransform(benchmark::State& state) {
  std::string data(static_cast<size_t>(state.range(0)), 'x');
  TStringStream input(data);
  for (auto _ : state) {
    input.SetPosition(0);
    TSwExpression expression(u"$ 'key' xor", nullptr);
    expression.SetInputStream(&input);
    benchmark::DoNotOptimize(expression.Evaluate());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_XorTransform)->Arg(1 << 16)->Arg(1 << 20);

}  // namespace
}  // namespace skeinwork
