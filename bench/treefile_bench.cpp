// Tree file benchmarks: saving and loading a result tree of 100,000 nodes with the six slice
// properties a modelling run gives each node, in bytes of file per second.
#include <benchmark/benchmark.h>

#include "BenchTrees.h"
#include "SwStreamers.h"

namespace skeinwork {
namespace {

constexpr int64_t kNodes = 100000;

// Counts the errors of a run and lets it go on.
struct TErrorCounter {
  int64_t Count = 0;
  void Handle(TSwObject*, const ESkeinwork&) { ++Count; }
};

std::string Save(TSwTreeNode& root, bool compressed, TErrorCounter* counter = nullptr) {
  TSwBinaryStreamer streamer;
  if (compressed) streamer.Container().SetFlags(TStreamer::FlagCompressed | TStreamer::FlagChecksummed);
  if (counter) streamer.SetErrorHandler(TSwErrorHandler::Of<&TErrorCounter::Handle>(counter));
  TStringStream stream;
  streamer.Write(stream, &root);
  return stream.DataString();
}

// Argument: 0 checksummed, 1 also compressed.
void BM_WriteTreeFile(benchmark::State& state) {
  bool compressed = state.range(0) != 0;
  auto root = BuildResultTree(kNodes, nullptr);
  int64_t bytes = 0;
  for (auto _ : state) bytes += static_cast<int64_t>(Save(*root, compressed).size());
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_WriteTreeFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReadTreeFile(benchmark::State& state) {
  bool compressed = state.range(0) != 0;
  std::string file;
  {
    auto root = BuildResultTree(kNodes, nullptr);
    file = Save(*root, compressed);
  }
  for (auto _ : state) {
    TSwBinaryStreamer streamer;
    auto root = streamer.Read(std::make_unique<TStringStream>(file));
    benchmark::DoNotOptimize(root.get());
    state.PauseTiming();
    root.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(file.size()));
  state.counters["file_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_ReadTreeFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A modelling run's own slices name their stream, which the file cannot hold: each of the
// 600,000 properties is reported to the error handler on writing and again on reading. This
// measures what that costs on top of the plain case.
void BM_RoundTripLiveSlices(benchmark::State& state) {
  TSwObject stream;
  auto root = BuildResultTree(kNodes, &stream);
  int64_t bytes = 0;
  TErrorCounter counter;
  for (auto _ : state) {
    std::string file = Save(*root, false, &counter);
    TSwBinaryStreamer streamer;
    streamer.SetErrorHandler(TSwErrorHandler::Of<&TErrorCounter::Handle>(&counter));
    auto read = streamer.Read(std::make_unique<TStringStream>(file));
    bytes += 2 * static_cast<int64_t>(file.size());
    state.PauseTiming();
    read.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(bytes);
  state.counters["errors_per_round"] = static_cast<double>(counter.Count) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RoundTripLiveSlices)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
