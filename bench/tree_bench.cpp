// Result-tree benchmarks: a modelling run on a large file builds millions of nodes, each with
// six stream-slice properties, so both the time to build them and the bytes each costs matter.
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchTrees.h"
#include "SwAllocator.h"
#include "SwNodes.h"

namespace skeinwork {
namespace {

void BM_BuildResultTree(benchmark::State& state) {
  TSwObject stream;
  double bytesPerNode = 0;
  for (auto _ : state) {
    size_t before = SwHeapBytesInUse();
    auto root = BuildResultTree(state.range(0), &stream);
    bytesPerNode = static_cast<double>(SwHeapBytesInUse() - before) / static_cast<double>(state.range(0));
    state.PauseTiming();
    root.reset();
    state.ResumeTiming();
  }
  state.counters["bytes_per_node"] = bytesPerNode;
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildResultTree)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(2);

// A node with 100,000 children: finding one by name must not scan them.
void BM_FindChildAmong100k(benchmark::State& state) {
  TSwTreeNode root(u"root");
  for (int i = 0; i < 100000; ++i) root.AddChild(i % 2 ? u"odd" : u"even");
  root.AddChild(u"needle");
  for (auto _ : state) benchmark::DoNotOptimize(root.FindChild(u"needle"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindChildAmong100k);

// A failed alternative's rollback removes the nodes it made newest first; with all of them of one
// name, each removal must not walk its namesakes.
void BM_RemoveNamesakesNewestFirst(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    TSwTreeNode root(u"root");
    std::vector<TSwTreeNode*> made;
    for (int i = 0; i < count; ++i) made.push_back(root.AddChild(u"item"));
    state.ResumeTiming();
    for (auto it = made.rbegin(); it != made.rend(); ++it) (*it)->Remove();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RemoveNamesakesNewestFirst)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
