// Simple-pattern matching over memory and over streams. Patterns are compiled once per process,
// so these measure matching plus the cache lookup that every condition pays.
#include "Simpat.h"

#include <benchmark/benchmark.h>

#include <string>

namespace skeinwork {
namespace {

std::string Identifiers(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) text += (i % 3 ? " " : "  ") + ("name_" + std::to_string(i));
  text.resize(size);
  return text;
}

// Matches `pattern` again and again along the stream until it fails or stops moving (a pattern
// may match the end of input without consuming).
void Walk(const char* pattern, TStream& stream) {
  stream.SetPosition(0);
  int64_t before = -1;
  while (stream.Position() != before) {
    before = stream.Position();
    if (!SimpatMatch(pattern, stream, "\r\n")) break;
  }
}

std::string Lines(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) text += "field " + std::to_string(i) + " = value\r\n";
  text.resize(size);
  return text;
}

// One long run of a negated class, as in a quoted string: the inline class scan.
void BM_QuotedRunMemory(benchmark::State& state) {
  std::string input(static_cast<size_t>(state.range(0)), 'x');
  input += '"';
  for (auto _ : state) benchmark::DoNotOptimize(SimpatMatchBytes("[^\"]+", input, "\r\n"));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QuotedRunMemory)->Range(64, 1 << 20);

// The same over a stream: the matcher reads ahead in growing chunks.
void BM_QuotedRunStream(benchmark::State& state) {
  std::string input(static_cast<size_t>(state.range(0)), 'x');
  input += '"';
  TStringStream stream(input);
  for (auto _ : state) {
    stream.SetPosition(0);
    benchmark::DoNotOptimize(SimpatMatch("[^\"]+", stream, "\r\n"));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QuotedRunStream)->Range(64, 1 << 20);

// A modelling-like walk: «SP* ID+» matched again and again along a stream of identifiers.
void BM_IdentifierWalk(benchmark::State& state) {
  TStringStream stream(Identifiers(static_cast<size_t>(state.range(0))));
  for (auto _ : state) Walk("SP* ID+", stream);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IdentifierWalk)->Range(1 << 10, 1 << 18);

// Lines up to the newline: the class tests the newline string before every byte, so this runs
// the per-item path rather than the inline scan.
void BM_LineWalk(benchmark::State& state) {
  TStringStream stream(Lines(static_cast<size_t>(state.range(0))));
  for (auto _ : state) Walk("[^NL]+ NL", stream);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LineWalk)->Range(1 << 10, 1 << 18);

// A short pattern on a short input: the fixed cost of one condition (cache lookup and setup).
void BM_VersionNumber(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(SimpatMatchBytes("DIG DIG? . DIG DIG? DIG?", "0.79 ", "\r\n"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VersionNumber);

// The same with a kept pattern: no cache lookup.
void BM_VersionNumberKept(benchmark::State& state) {
  TSimpatPattern pattern("DIG DIG? . DIG DIG? DIG?");
  for (auto _ : state) benchmark::DoNotOptimize(pattern.Match("0.79 ", "\r\n"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VersionNumberKept);

// Pathological for a backtracking matcher: «ID* ID» on a long identifier would try every split
// (quadratic). Here the repeat never gives back, so it fails after one linear pass.
void BM_GreedyNeverGivesBack(benchmark::State& state) {
  std::string input(static_cast<size_t>(state.range(0)), 'a');
  for (auto _ : state) benchmark::DoNotOptimize(SimpatMatchBytes("ID* ID", input, "\r\n"));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GreedyNeverGivesBack)->Range(64, 1 << 20);

// Pathological: alternatives that share a long prefix and fail at its end each re-read the
// prefix from the start position, so the cost is alternatives × prefix length.
void BM_SharedPrefixChoices(benchmark::State& state) {
  std::string prefix(static_cast<size_t>(state.range(0)), 'a');
  std::string pattern;
  for (char last = 'b'; last <= 'k'; ++last) pattern += (pattern.empty() ? "" : "|") + prefix + last;
  std::string input = prefix + "z";
  for (auto _ : state) benchmark::DoNotOptimize(SimpatMatchBytes(pattern, input, "\r\n"));
  state.SetBytesProcessed(state.iterations() * state.range(0) * 10);
}
BENCHMARK(BM_SharedPrefixChoices)->Range(8, 4096);

// Pathological: a repeat over the newline class alone on a run of newlines; every step is a
// literal comparison of the newline string through the per-item path.
void BM_NewlineRun(benchmark::State& state) {
  std::string input;
  for (int64_t i = 0; i < state.range(0) / 2; ++i) input += "\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(SimpatMatchBytes("NL*", input, "\r\n"));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_NewlineRun)->Range(64, 1 << 18);

}  // namespace
}  // namespace skeinwork
