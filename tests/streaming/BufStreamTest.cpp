#include "BufStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SwTestSupport.h"

namespace skeinwork {
namespace {

// A memory stream that counts the reads that reach it and tells when it is freed.
class TCountingStream : public TStringStream {
 public:
  explicit TCountingStream(std::string_view data, bool* freed = nullptr)
      : TStringStream(data), mFreed(freed) {}
  ~TCountingStream() override {
    if (mFreed) *mFreed = true;
  }
  int64_t Read(void* buffer, int64_t count) override {
    ++Reads;
    return TStringStream::Read(buffer, count);
  }
  int Reads = 0;

 private:
  bool* mFreed;
};

std::string Data(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return out;
}

std::vector<int64_t> WindowStarts(const TBufStream& cache) {
  std::vector<int64_t> out;
  for (const auto& window : cache.Windows()) out.push_back(window->Start());
  return out;
}

TEST(BufStream, WindowRules) {
  struct Step { int64_t offset, count, got; int reads; };  // got: what the read returns; reads: reaching the stream
  struct Row {
    const char* name;
    int windows;
    int64_t windowSize;
    std::vector<Step> steps;
    std::vector<int64_t> starts;  // windows held at the end, oldest first
  };
  const Row rows[] = {
      {"hits and misses", 2, 16,
       {{0, 4, 4, 1}, {4, 4, 4, 1}, {12, 4, 4, 1}, {14, 4, 4, 2}, {20, 5, 5, 2}, {0, 16, 16, 2},
        {40, 4, 4, 3}, {15, 2, 2, 3}, {0, 1, 1, 4}},
       {40, 0}},
      {"the first covering window serves", 3, 16, {{0, 1, 1, 1}, {8, 10, 10, 2}, {10, 4, 4, 2}, {2, 4, 4, 2}}, {0, 8}},
      {"more than a window goes straight to the stream", 2, 16,
       {{0, 17, 17, 1}, {0, 16, 16, 2}, {0, 17, 17, 3}, {1, 15, 15, 3}},
       {0}},
      {"the end of the stream", 2, 16,
       {{98, 10, 2, 1}, {99, 1, 1, 1}, {100, 5, 0, 2}, {200, 1, 0, 3}, {90, 16, 10, 4}},
       {98, 90}},
      {"nothing asked, nothing read", 2, 16, {{0, 0, 0, 0}, {-5, 4, 0, 0}, {5, -1, 0, 0}}, {}},
      {"no windows", 0, 16, {{0, 4, 4, 1}, {0, 4, 4, 2}, {1, 1, 1, 3}}, {}},
  };
  const std::string data = Data(100);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto* stream = new TCountingStream(data);
    TBufStream cache(stream, true);
    cache.SetLimits(row.windows, row.windowSize);
    for (const Step& step : row.steps) {
      SCOPED_TRACE(testing::Message() << "read " << step.offset << " + " << step.count);
      std::string buffer(static_cast<size_t>(std::max<int64_t>(step.count, 0)), '\xEE');
      EXPECT_EQ(cache.ReadAt(step.offset, buffer.data(), step.count), step.got);
      if (step.got > 0) {
        EXPECT_EQ(buffer.substr(0, static_cast<size_t>(step.got)),
                  data.substr(static_cast<size_t>(step.offset), static_cast<size_t>(step.got)));
      }
      EXPECT_EQ(stream->Reads, step.reads);
    }
    EXPECT_EQ(WindowStarts(cache), row.starts);
  }
}

TEST(BufStream, ReadsLeaveTheStreamWhereItWas) {
  const std::string data = Data(300);
  TCountingStream stream(data);
  TBufStream cache(&stream, false);
  cache.SetLimits(2, 32);
  stream.SetPosition(37);
  for (int64_t offset : {0, 5, 100, 250, 290, 0}) {
    cache.ReadAt(offset, 8);
    EXPECT_EQ(stream.Position(), 37);
  }
  cache.ReadAt(0, 64);  // bypassing the cache too
  EXPECT_EQ(stream.Position(), 37);
}

// A cache lends the bytes below only when told to, and only where the stream below lends them all.
TEST(BufStream, LendsTheBytesBelowWhenTold) {
  auto lent = [](const TStream& stream) {
    int64_t size = 0;
    const uint8_t* memory = stream.LentMemory(size);
    return memory ? std::string(reinterpret_cast<const char*>(memory), static_cast<size_t>(size)) : "none";
  };
  TStringStream data("0123456789");
  TBufStream cache(&data, false), overCache(&cache, false);
  EXPECT_EQ(lent(cache), "none");
  cache.LendUnderlyingMemory();
  overCache.LendUnderlyingMemory();
  EXPECT_EQ(lent(cache) + " " + lent(overCache), "0123456789 0123456789");
  TBufStream overFile(std::make_unique<TStringStream>("x").release(), true);
  TBufStream overUnlent(&overFile, false);
  overUnlent.LendUnderlyingMemory();
  EXPECT_EQ(lent(overUnlent), "none");
}

// A cache starts with 8 windows of 64 KiB; fewer or smaller windows keep the latest ones.
TEST(BufStream, LimitsChange) {
  TBufStream defaults(new TStringStream(""), true);
  EXPECT_EQ(defaults.WindowCount(), 8);
  EXPECT_EQ(defaults.WindowSize(), 65536);
  struct Row { int count; int64_t size; int expectedCount; int64_t expectedSize; std::vector<int64_t> starts; };
  const Row rows[] = {
      {4, 16, 4, 16, {0, 20, 40, 60}}, {2, 0, 2, 16, {40, 60}}, {-3, 8, 0, 8, {}},
      {8, -1, 8, 16, {0, 20, 40, 60}}, {1, 32, 1, 32, {60}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.count << ", " << row.size);
    TBufStream cache(new TStringStream(Data(100)), true);
    cache.SetLimits(4, 16);
    for (int64_t offset : {0, 20, 40, 60}) cache.ReadAt(offset, 1);
    cache.SetLimits(row.count, row.size);
    EXPECT_EQ(cache.WindowCount(), row.expectedCount);
    EXPECT_EQ(cache.WindowSize(), row.expectedSize);
    EXPECT_EQ(WindowStarts(cache), row.starts);
    // Reads still answer right after the change.
    EXPECT_EQ(cache.ReadAt(61, 3), Data(100).substr(61, 3));
  }
}

TEST(BufStream, WindowOutOfScope) {
  TBufStream cache(new TStringStream(Data(100)), true);
  cache.SetLimits(1, 16);
  cache.ReadAt(20, 1);
  const TBufStream::TBuffer& window = *cache.Windows().front();
  char buffer[16];
  const std::pair<int64_t, std::string> rows[] = {
      {20, "16"}, {30, "6"}, {36, "0"}, {19, "EBufStream: Offset 19 is out of scope of this stream buffer."},
      {37, "EBufStream: Offset 37 is out of scope of this stream buffer."},
      {0, "EBufStream: Offset 0 is out of scope of this stream buffer."},
  };
  for (const auto& [offset, read] : rows)
    EXPECT_EQ(ResultOrError([&] { return std::to_string(window.Read(offset, buffer, 16)); }), read) << offset;
}

TEST(BufStream, StreamSide) {
  const std::string data = Data(1000);
  auto* stream = new TCountingStream(data);
  TBufStream cache(stream, true);
  cache.SetLimits(2, 64);
  std::string read;
  for (int byte; (byte = cache.ReadByte()) >= 0;) read += static_cast<char>(byte);
  EXPECT_EQ(read, data);
  EXPECT_EQ(cache.Position(), 1000);
  EXPECT_EQ(stream->Reads, 16 + 1);  // 16 windows of 64 bytes, and the look past the end
  // Seeking back within a window costs no read.
  cache.Seek(-10, TSeekOrigin::Current);
  char buffer[4];
  EXPECT_EQ(cache.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), data.substr(990, 4));
  EXPECT_EQ(cache.Seek(-3, TSeekOrigin::End), 997);
  EXPECT_EQ(cache.Read(buffer, 4), 3);
  EXPECT_EQ(cache.Seek(-5000, TSeekOrigin::Current), 0);
  EXPECT_EQ(cache.Size(), 1000);
  EXPECT_EQ(stream->Reads, 17);

  for (auto action : {+[](TBufStream& c) { c.Write("x", 1); }, +[](TBufStream& c) { c.SetSize(1); }}) {
    ExpectError<EWriteError>([&] { action(cache); }, "TBufStream is a read-only wrapper.");
  }
}

TEST(BufStream, StringReadsAndTheStreamItOwns) {
  TBufStream cache(new TStringStream("0123456789"), true);
  struct Row { int64_t offset; int64_t count; const char* expected; };
  for (Row row : {Row{0, 3, "012"}, Row{8, 5, "89"}, Row{10, 1, ""}, Row{-1, 2, ""},
                  Row{2, int64_t{1} << 60, "23456789"}, Row{4, 0, ""}})
    EXPECT_EQ(cache.ReadAt(row.offset, row.count), row.expected) << row.offset;
  EXPECT_EQ((std::vector<int>{cache.ReadByteAt(9), cache.ReadByteAt(10), cache.ReadByteAt(-1)}),
            (std::vector<int>{'9', -1, -1}));
  for (bool owns : {true, false}) {
    bool freed = false;
    auto* stream = new TCountingStream("abc", &freed);
    { TBufStream cache(stream, owns); }
    EXPECT_EQ(freed, owns);
    if (!owns) delete stream;
  }
  ExpectError<ESkeinwork>([] { TBufStream cache(nullptr, false); }, "nil Stream given to TBufStream.Create.");
}

// A file that another program cuts while it is cached: bytes the cached size promised and the
// file no longer holds end the read with a read error naming the file.
TEST(BufStream, FileCutWhileReadIsAReadError) {
  // Windows of 64 bytes; error: empty: the read gives `count` bytes.
  struct Row { const char* name; int64_t cutTo, offset, count; std::string error; int windows = 2; };
  const Row rows[] = {
      {"a new window past the cut", 100, 200, 8, "(64 bytes expected at offset 200, 0 read)"},
      {"a window across the cut", 100, 80, 8, "(64 bytes expected at offset 80, 20 read)"},
      {"a new window before the cut", 200, 64, 8, ""}, {"a cached window still serves", 100, 0, 8, ""},
      {"a direct read past the cut", 100, 96, 8, "(8 bytes expected at offset 96, 4 read)", 0},
      {"a read larger than a window", 100, 50, 200, "(200 bytes expected at offset 50, 50 read)"},
      {"cut to nothing", 0, 300, 1, "(64 bytes expected at offset 300, 0 read)"},
      {"the last byte, cut by one", 399, 399, 1, "(1 bytes expected at offset 399, 0 read)"},
  };
  const std::string content = Data(400);
  TScratchDir dir("bufstream-cut");
  const auto path = dir / "data.bin";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(path, content);
    TFileStream file(Utf8ToWide(path.string()), TFileMode::OpenRead);
    TBufStream cache(&file, false);
    cache.SetLimits(row.windows, 64);
    EXPECT_EQ(cache.ReadAt(0, 8), content.substr(0, 8));
    std::filesystem::resize_file(path, static_cast<uintmax_t>(row.cutTo));
    if (row.error.empty()) {
      EXPECT_EQ(cache.ReadAt(row.offset, row.count), content.substr(row.offset, row.count));
    } else {
      ExpectError<EReadError>([&] { cache.ReadAt(row.offset, row.count); },
                              "File \"" + path.string() + "\" became shorter while being read " + row.error + ".");
    }
    // Reading at or beyond the size the cache knows is the end of input, not an error.
    EXPECT_EQ(cache.ReadAt(400, 4), "");
  }

  // Any other stream is named by its class.
  TStringStream memory(content);
  TBufStream cache(&memory, false);
  EXPECT_EQ(cache.Size(), 400);
  memory.SetSize(10);
  ExpectError<EReadError>([&] { cache.ReadByteAt(20); },
      "Stream <StringStream> became shorter while being read (380 bytes expected at offset 20, 0 read).");
}

}  // namespace
}  // namespace skeinwork
