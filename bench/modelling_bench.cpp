// Modelling-run benchmarks over the deterministic inputs of gen_bench_data.py: a 32 MiB
// RIFF-style file whose payloads are skipped by expression, a 16 MiB CSV text cut into lines and
// fields with LINE, and a 4 MiB text that the implicit any-character child walks byte by byte.
// The inputs are made on first use in SKEINWORK_BENCH_DATA (default: bench-data next to the
// program). Each benchmark reports bytes per second, result nodes per second and heap bytes per
// result node of the timed runs, and the time of the untimed first run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "BenchInputs.h"
#include "SwAllocator.h"
#include "SwModelling.h"

namespace skeinwork {
namespace {

// Loads one generated input into memory.
std::unique_ptr<TMemoryStream> LoadInput(const char* name) {
  std::filesystem::path path = BenchInputPath(name);
  if (path.empty()) return nullptr;
  auto stream = std::make_unique<TMemoryStream>();
  TFileStream file(Utf8ToWide(path.string()), TFileMode::OpenRead);
  stream->LoadFromStream(file);
  return stream;
}

std::unique_ptr<TSwmCompiler> Compile(const std::string& model, const char16_t* eoln) {
  TSwmNativeStreamer reader;
  reader.Options.Codepage = 65001;
  TStringStream text(model);
  auto description = reader.Read(text, u"bench");
  auto compiler = std::make_unique<TSwmCompiler>();
  compiler->Options.Eoln = eoln;
  compiler->Compile(description.get());
  compiler->SetCurrentDescription(nullptr);
  return compiler;
}

int64_t CountNodes(TSwTreeNode* node) {
  int64_t count = 1;
  for (int i = 0; i < node->ChildCount(); ++i) count += CountNodes(node->Child(i));
  return count;
}

void RunModel(benchmark::State& state, const char* input, const std::string& model, const char16_t* eoln) {
  std::unique_ptr<TMemoryStream> data = LoadInput(input);
  if (!data) {
    state.SkipWithError("cannot generate the benchmark inputs");
    return;
  }
  auto compiler = Compile(model, eoln);
  // A first run, untimed, puts the allocator's pages in place, so that the timed runs measure
  // the run and not the system's first touch of fresh memory; its time is reported apart.
  auto coldStart = std::chrono::steady_clock::now();
  compiler->Modell(*data).reset();
  double coldMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - coldStart)
          .count();
  int64_t nodes = 0;
  double bytesPerNode = 0;
  for (auto _ : state) {
    data->SetPosition(0);
    size_t before = SwHeapBytesInUse();
    std::unique_ptr<TSwmSlicer> slicer = compiler->Modell(*data);
    size_t after = SwHeapBytesInUse();
    state.PauseTiming();
    nodes = CountNodes(slicer->Root());
    bytesPerNode = static_cast<double>(after - before) / static_cast<double>(nodes);
    slicer.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * data->Size());
  state.counters["nodes"] = static_cast<double>(nodes);
  state.counters["nodes_per_second"] = benchmark::Counter(static_cast<double>(nodes * state.iterations()),
                                                          benchmark::Counter::kIsRate);
  state.counters["bytes_per_node"] = bytesPerNode;
  state.counters["cold_run_ms"] = coldMs;
}

// Chunks: id and size, then the payload skipped by an expression that reads the size.
const char* const kRiffModel =
    "1 RIFF \"riff\" = RIFF\n"
    "2 SIZE \"size\" % ANY ANY ANY ANY\n"
    "3 FORM \"form\" % ANY ANY ANY ANY\n"
    "4 CHUNKS \"chunks\"\n"
    "  END? eof\n"
    "  CHUNK \"chunk[n]\"\n"
    "    1 ID \"id\" % ANY ANY ANY ANY\n"
    "    2 SIZE \"size\" % ANY ANY ANY ANY\n"
    "    3 DATA \"data\" ? size$start toint skip\n"
    "    4? PAD \"pad\" x 00\n";

// One node per line and one per non-empty field.
const char* const kCsvModel =
    "END? eof\n"
    "LINE \"row[n]\"\n"
    "  END? eof\n"
    "  FIELD \"field[n]\" % [^,]+\n"
    "  = ,\n";

// The implicit any-character child walks to the end one byte at a time: every byte is one
// pass of the loop with two condition tests.
const char* const kScanModel =
    "X \"x\"\n"
    "  END? eof\n";

void BM_ModelRiff(benchmark::State& state) { RunModel(state, "riff.bin", kRiffModel, u"\r\n"); }
BENCHMARK(BM_ModelRiff)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ModelCsvLines(benchmark::State& state) { RunModel(state, "lines.csv", kCsvModel, u"\n"); }
BENCHMARK(BM_ModelCsvLines)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ModelScanToEof(benchmark::State& state) { RunModel(state, "lines_medium.csv", kScanModel, u"\n"); }
BENCHMARK(BM_ModelScanToEof)->Unit(benchmark::kMillisecond)->Iterations(1);

// Figures depend on the allocator, so the report names it.
const bool kAllocatorNamed = [] {
  benchmark::AddCustomContext("allocator", SwAllocatorName());
  return true;
}();

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
