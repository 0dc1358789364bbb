// Reading through TBufStream the way the modelling run does: byte by byte, in small chunks, and
// stepping back a little after each read, over a file on disk.
#include "BufStream.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace skeinwork {
namespace {

// One file per size, written once and removed at exit.
const WideString& FileOfSize(int64_t size) {
  static std::vector<std::pair<int64_t, WideString>> files;
  for (const auto& [fileSize, name] : files)
    if (fileSize == size) return name;
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("skeinwork_bufstream_bench_" + std::to_string(size) + ".bin");
  {
    TFileStream file(Utf8ToWide(path.string()), TFileMode::Create);
    std::string block(1 << 16, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    for (int64_t written = 0; written < size; written += static_cast<int64_t>(block.size()))
      file.WriteBuffer(block.data(), std::min<int64_t>(size - written, block.size()));
  }
  static struct TCleanup {
    ~TCleanup() {
      for (const auto& [size, name] : files) std::filesystem::remove(WideToUtf8(name));
    }
  } cleanup;
  files.emplace_back(size, Utf8ToWide(path.string()));
  return files.back().second;
}

std::unique_ptr<TBufStream> OpenCache(int64_t size) {
  return std::make_unique<TBufStream>(new TFileStream(FileOfSize(size), TFileMode::OpenRead), true);
}

// The inline path: ReadByte on the cache itself.
void BM_ReadByte(benchmark::State& state) {
  auto cache = OpenCache(state.range(0));
  for (auto _ : state) {
    cache->SetPosition(0);
    unsigned sum = 0;
    for (int byte; (byte = cache->ReadByte()) >= 0;) sum += static_cast<unsigned>(byte);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadByte)->Arg(1 << 20)->Arg(16 << 20);

// Through the TStream interface, as code that only knows a stream reads it.
void BM_StreamReadOneByte(benchmark::State& state) {
  auto cache = OpenCache(state.range(0));
  TStream& stream = *cache;
  for (auto _ : state) {
    stream.SetPosition(0);
    unsigned sum = 0;
    uint8_t byte;
    while (stream.Read(&byte, 1) == 1) sum += byte;
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StreamReadOneByte)->Arg(1 << 20)->Arg(16 << 20);

// Small chunks: the sizes of the exact texts and hex patterns that conditions compare.
void BM_SmallChunks(benchmark::State& state) {
  const int64_t size = 16 << 20;
  const int64_t chunk = state.range(0);
  auto cache = OpenCache(size);
  std::vector<char> buffer(static_cast<size_t>(chunk));
  for (auto _ : state) {
    cache->SetPosition(0);
    while (cache->Read(buffer.data(), chunk) > 0) benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_SmallChunks)->Arg(2)->Arg(8)->Arg(64)->Arg(512);

// A tentative match reads ahead and then backtracks: read 8, step back 6. The step back
// keeps most reads inside the current window; reads that straddle a window end open a new
// window, which is the expensive case.
void BM_ReadAndStepBack(benchmark::State& state) {
  const int64_t size = 16 << 20;
  auto cache = OpenCache(size);
  char buffer[8];
  for (auto _ : state) {
    cache->SetPosition(0);
    while (cache->Read(buffer, 8) == 8) cache->Seek(-6, TSeekOrigin::Current);
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_ReadAndStepBack);

// The baseline without a cache: small reads straight from the file.
void BM_FileSmallChunks(benchmark::State& state) {
  const int64_t size = 1 << 20;
  const int64_t chunk = state.range(0);
  TFileStream file(FileOfSize(size), TFileMode::OpenRead);
  std::vector<char> buffer(static_cast<size_t>(chunk));
  for (auto _ : state) {
    file.SetPosition(0);
    while (file.Read(buffer.data(), chunk) > 0) benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_FileSmallChunks)->Arg(8)->Arg(512);

}  // namespace
}  // namespace skeinwork

BENCHMARK_MAIN();
