// Keyed map benchmarks: a result tree node may hold 100,000 children, and look-ups by name must
// stay cheap however many there are.
#include <benchmark/benchmark.h>

#include "SwHashes.h"

namespace skeinwork {
namespace {

WideString KeyOf(int i) { return u"chunk" + Utf8ToWide(std::to_string(i % 1000)); }

void BM_HashAppend(benchmark::State& state) {
  for (auto _ : state) {
    TSwNotifyingHash map;
    for (int i = 0; i < state.range(0); ++i) map.Add(KeyOf(i));
    benchmark::DoNotOptimize(map.Count());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashAppend)->Range(16, 1 << 17);

// Finding the last item of a key in a large map: a scan would be linear in the map's size.
void BM_HashFindInLargeMap(benchmark::State& state) {
  TSwHash map;
  for (int i = 0; i < state.range(0); ++i) map.Add(KeyOf(i));
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.IndexOf(KeyOf(i++)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HashFindInLargeMap)->Range(16, 1 << 17);

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
