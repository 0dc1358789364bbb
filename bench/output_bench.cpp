// Tree output benchmarks: the JSON form, the text form with previews and the tree file, each
// written from the result tree of the 4 MiB CSV input of gen_bench_data.py (one node per line
// and per field, about 430,000 nodes), in bytes of output per second. The printers write into
// a stream that only counts, so the figures are those of making the bytes, not of a disk.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <ostream>
#include <streambuf>

#include "BenchInputs.h"
#include "SwCommandLine.h"
#include "SwScript.h"
#include "SwStreamers.h"
#include "SwTreeOutput.h"

namespace skeinwork {
namespace {

// Counts what is written and drops it.
class TCountingBuffer : public std::streambuf {
 public:
  int64_t Count = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    Count += count;
    return count;
  }
  int_type overflow(int_type c) override {
    ++Count;
    return traits_type::not_eof(c);
  }
};

// The modelled CSV input: the run's slicer with its tree and the input it reads previews from.
struct TModelledCsv {
  std::unique_ptr<TMemoryStream> Data;
  std::unique_ptr<TSwmSlicer> Slicer;
};

TModelledCsv ModelCsv() {
  TModelledCsv result;
  std::filesystem::path input = BenchInputPath("lines_medium.csv");
  if (input.empty()) return result;
  TFileStream scriptFile(Utf8ToWide(SKEINWORK_BENCH_MODELS "/lines.sw"), TFileMode::OpenRead);
  std::unique_ptr<TSwScript> script = TSwScript::CreateFrom(scriptFile, u"lines.sw");
  std::unique_ptr<TSwmCompiler> compiler = script->CompileModel();
  compiler->Options.Eoln = script->Options.Eoln;
  result.Data = std::make_unique<TMemoryStream>();
  TFileStream file(Utf8ToWide(input.string()), TFileMode::OpenRead);
  result.Data->LoadFromStream(file);
  result.Slicer = compiler->Modell(*result.Data);
  return result;
}

template <class Write>
void MeasurePrinter(benchmark::State& state, Write write) {
  TModelledCsv csv = ModelCsv();
  if (!csv.Slicer) {
    state.SkipWithError("cannot generate the benchmark inputs");
    return;
  }
  TCountingBuffer counter;
  std::ostream out(&counter);
  for (auto _ : state) write(out, csv.Slicer.get());
  state.SetBytesProcessed(counter.Count);
  state.counters["output_bytes"] = static_cast<double>(counter.Count) / static_cast<double>(state.iterations());
}

void BM_WriteJson(benchmark::State& state) {
  const TSwJsonTreeOptions options{static_cast<TSwJsonRanges>(state.range(0))};
  MeasurePrinter(state, [&](std::ostream& out, TSwmSlicer* slicer) { SwWriteJsonTree(out, slicer->Root(), options); });
}
// 0: every range, 1: Global ranges only where they differ from the local ones (here: none).
BENCHMARK(BM_WriteJson)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Every line reads its preview bytes from the input's cache.
void BM_WriteText(benchmark::State& state) {
  MeasurePrinter(state, [](std::ostream& out, TSwmSlicer* slicer) {
    SwWriteTextTree(out, slicer->Root(), SwRangeReaderOf(slicer));
  });
}
BENCHMARK(BM_WriteText)->Unit(benchmark::kMillisecond);

// The save command's tree file: checksummed, not compressed, into memory.
void BM_WriteTreeFileOfRun(benchmark::State& state) {
  TModelledCsv csv = ModelCsv();
  if (!csv.Slicer) {
    state.SkipWithError("cannot generate the benchmark inputs");
    return;
  }
  TMemoryStream file;
  auto write = [&] {
    file.SetSize(0);
    file.SetPosition(0);
    TSwBinaryStreamer streamer;
    streamer.StoreSlicesAsRanges = true;
    streamer.Write(file, csv.Slicer->Root());
  };
  // Once untimed: the memory stream keeps its pages, so the loop measures the writer alone.
  write();
  int64_t bytes = 0;
  for (auto _ : state) {
    write();
    bytes += file.Size();
  }
  state.SetBytesProcessed(bytes);
  state.counters["output_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WriteTreeFileOfRun)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
