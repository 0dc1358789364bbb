// RPN compiling and evaluation. Every condition of a model compiles its text through the cache
// and runs a fresh evaluator, so both the lookup and the per-evaluation setup matter.
#include "RPNit.h"

#include <benchmark/benchmark.h>

#include <string>

namespace skeinwork {
namespace {

const std::u16string kArithmetic = u"1 2 + 3 4 + * 2 / 10 % 5 >";

// The cost of finding an already compiled text.
void BM_CompileCached(benchmark::State& state) {
  CompileRpn(kArithmetic);
  for (auto _ : state) benchmark::DoNotOptimize(CompileRpn(kArithmetic));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompileCached);

// Tokenising alone, over texts of growing length (numbers, strings, names and operators).
void BM_Tokenise(benchmark::State& state) {
  std::u16string text;
  while (text.size() < static_cast<size_t>(state.range(0)))
    text += u"12,5 'it''s' name_1 3.25 + ";
  TRpnCompileSettings settings;
  settings.UseCache = false;
  for (auto _ : state) benchmark::DoNotOptimize(CompileRpn(text, settings));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size() * 2));
}
BENCHMARK(BM_Tokenise)->Range(64, 1 << 16);

// One evaluation as a condition does it: cached compile, new evaluator, run.
void BM_EvaluateArithmetic(benchmark::State& state) {
  for (auto _ : state) {
    auto compiled = CompileRpn(kArithmetic);
    TRpnEvaluator evaluator(compiled.get());
    benchmark::DoNotOptimize(evaluator.Evaluate());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateArithmetic);

// Names resolved through the callback, as the expression layer resolves all of its names.
void ResolveName(void*, TRpnEvaluator& evaluator, const WideString& name, TRpnScalar& result) {
  if (name == u"sum") {
    double b = evaluator.Stack().PopNum();
    result = RpnNum(evaluator.Stack().PopNum() + b);
  } else {
    result = RpnNum(static_cast<double>(name.size()));
  }
}

void BM_EvaluateCallback(benchmark::State& state) {
  auto compiled = CompileRpn(u"alpha beta sum gamma sum delta sum");
  for (auto _ : state) {
    TRpnEvaluator evaluator(compiled.get());
    evaluator.OnVariable = TRpnVariableEvent{&ResolveName, nullptr};
    benchmark::DoNotOptimize(evaluator.Evaluate());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateCallback);

// Pathological: an expression that fills the stack almost to its 8192 values before folding it;
// the stack grows on demand, so the first pushes pay for its growth.
void BM_DeepStack(benchmark::State& state) {
  std::u16string text;
  for (int64_t i = 0; i < state.range(0); ++i) text += u"1 ";
  for (int64_t i = 1; i < state.range(0); ++i) text += u"+ ";
  auto compiled = CompileRpn(text);
  for (auto _ : state) {
    TRpnEvaluator evaluator(compiled.get());
    benchmark::DoNotOptimize(evaluator.Evaluate());
  }
  state.SetItemsProcessed(state.iterations() * (state.range(0) * 2 - 1));
}
BENCHMARK(BM_DeepStack)->Range(8, 8000);

// Pathological: a long string constant is copied onto the stack at every evaluation.
void BM_LongStringConstant(benchmark::State& state) {
  std::u16string text = u"'" + std::u16string(static_cast<size_t>(state.range(0)), u'x') + u"'";
  auto compiled = CompileRpn(text);
  for (auto _ : state) {
    TRpnEvaluator evaluator(compiled.get());
    benchmark::DoNotOptimize(evaluator.Evaluate());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_LongStringConstant)->Range(16, 1 << 16);

}  // namespace
}  // namespace skeinwork
