#include "Streamer.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"
#include <zlib.h>

#include <string>
#include <vector>

namespace skeinwork {
namespace {

const TStreamerSignature kSignature = "SWT\x1A";
constexpr uint16_t kVersion = 0x0102;  // v1.2

// A payload that compresses well but not trivially.
std::string Payload(size_t size) {
  std::string out;
  out.reserve(size);
  for (size_t i = 0; out.size() < size; ++i) out += "node " + std::to_string(i % 97) + ";";
  out.resize(size);
  return out;
}

// Writes `prefix`, then a container holding `payload`, and returns the stream's bytes.
// With `pack` false the header says what `flags` say but the tail stays uncompressed, so a
// test can spoil it and pack it afterwards (Repack).
std::string Build(uint8_t flags, uint8_t level, const std::string& payload,
                  const std::string& prefix = "", bool pack = true) {
  TStringStream stream;
  stream.WriteBuffer(prefix.data(), static_cast<int64_t>(prefix.size()));
  TStreamer streamer(kSignature, kVersion);
  streamer.SetFlags(flags);
  streamer.SetCompressionLevel(level);
  int64_t start = stream.Position();
  streamer.WriteHeader(stream);
  stream.WriteBuffer(payload.data(), static_cast<int64_t>(payload.size()));
  if (!pack) streamer.SetFlags(flags & ~TStreamer::FlagCompressed);
  streamer.Finish(stream, start);
  return stream.DataString();
}

// Reads the container at `at` and returns its payload.
std::string ReadPayload(const std::string& bytes, uint8_t options = 0, int64_t at = 0, int64_t chunkSize = 0) {
  TStringStream stream(bytes);
  stream.SetPosition(at);
  TStreamer streamer(kSignature, kVersion);
  if (chunkSize > 0) streamer.SetChunkSize(chunkSize);
  std::unique_ptr<TStream> inflated = streamer.Read(stream, options);
  TStream& source = inflated ? *inflated : stream;
  std::string out(static_cast<size_t>(source.Size() - source.Position()), '\0');
  source.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

// Adler-32 from 0 over the bytes with the 4 bytes at `field` zeroed, straight from zlib.
uint32_t ExpectedChecksum(std::string bytes, size_t field) {
  for (size_t i = field; i < field + 4 && i < bytes.size(); ++i) bytes[i] = '\0';
  return static_cast<uint32_t>(adler32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// Compresses an uncompressed container's tail (from the checksum field on) and sets the
// compressed flag, keeping every other byte.
std::string Repack(const std::string& bytes) {
  const size_t field = kSignature.size() + 3;
  std::string tail = bytes.substr(field);
  uLongf length = compressBound(static_cast<uLong>(tail.size()));
  std::string packed(length, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
            reinterpret_cast<const Bytef*>(tail.data()), tail.size(), Z_DEFAULT_COMPRESSION);
  std::string out = bytes.substr(0, field) + packed.substr(0, length);
  out[field - 1] = static_cast<char>(out[field - 1] | TStreamer::FlagCompressed);
  return out;
}

class TTreeFileOwner : public TSwObject {};

TEST(Streamer, UncompressedLayout) {
  const std::string payload = "payload bytes";
  const std::string bytes = Build(TStreamer::FlagChecksummed, 2, payload, "xy");
  const std::string header = std::string("xy") + kSignature + "\x02\x01\x02";
  ASSERT_EQ(bytes.size(), header.size() + 4 + payload.size());
  EXPECT_EQ(bytes.substr(0, header.size()), header);
  EXPECT_EQ(Le32(bytes, header.size()), ExpectedChecksum(bytes.substr(2), header.size() - 2));
  EXPECT_EQ(bytes.substr(header.size() + 4), payload);
  // Without the checksummed flag the field is still there, as zeros.
  const std::string plain = Build(0, 2, payload);
  EXPECT_EQ(plain, kSignature + std::string("\x02\x01\x00\x00\x00\x00\x00", 7) + payload);
}

TEST(Streamer, RoundTrips) {
  struct Row { uint8_t flags; uint8_t level; size_t size; const char* prefix; };
  const Row rows[] = {
      {0, 2, 0, ""},       {3, 2, 0, ""},        {2, 2, 1, ""},        {3, 2, 1000, ""},
      {1, 3, 5000, "pre"}, {2, 0, 5000, "pre"}, {3, 2, 300000, "ab"}, {0, 2, 70, "prefix"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "flags " << int(row.flags) << " level " << int(row.level)
                                    << " size " << row.size);
    const std::string payload = Payload(row.size);
    const std::string prefix = row.prefix;
    const std::string bytes = Build(row.flags, row.level, payload, prefix);
    EXPECT_EQ(bytes.substr(0, prefix.size()), prefix);
    EXPECT_EQ(ReadPayload(bytes, 0, static_cast<int64_t>(prefix.size())), payload);
    // Tiny checksum chunks put the checksum field across chunk ends.
    EXPECT_EQ(ReadPayload(bytes, 0, static_cast<int64_t>(prefix.size()), 5), payload);
    // Handed over, the stream comes back unless it is inflated; the inflated copy keeps the bytes
    // before the container, so that positions still match.
    auto given = std::make_unique<TStringStream>(bytes);
    TStream* givenAddress = given.get();
    given->SetPosition(static_cast<int64_t>(prefix.size()));
    std::unique_ptr<TStream> result = TStreamer(kSignature, kVersion).Read(std::move(given), 0);
    EXPECT_EQ(result.get() == givenAddress, (row.flags & TStreamer::FlagCompressed) == 0);
    const int64_t payloadAt = static_cast<int64_t>(prefix.size() + kSignature.size() + 7);
    EXPECT_EQ(result->Position(), payloadAt);
    EXPECT_EQ(result->Size(), payloadAt + static_cast<int64_t>(payload.size()));
    std::string head(prefix.size(), '\0');
    result->SetPosition(0);
    result->ReadBuffer(head.data(), static_cast<int64_t>(head.size()));
    EXPECT_EQ(head, prefix);
  }
}

TEST(Streamer, LevelsMapToZlibLevels) {
  const std::string payload = Payload(200000);
  std::vector<size_t> sizes;
  for (uint8_t level = 0; level <= 3; ++level) {
    const std::string bytes = Build(3, level, payload);
    EXPECT_EQ(ReadPayload(bytes), payload);
    std::string packed = bytes.substr(kSignature.size() + 3);
    // The zlib header's level bits: 0 fastest (levels 0 and 1), 2 default, 3 maximum.
    const int headerLevel[] = {0, 0, 2, 3};
    EXPECT_EQ((static_cast<uint8_t>(packed[1]) >> 6), headerLevel[level]) << int(level);
    sizes.push_back(bytes.size());
  }
  EXPECT_GT(sizes[0], payload.size());  // stored blocks only
  EXPECT_LT(sizes[1], sizes[0]);
  EXPECT_LE(sizes[3], sizes[2]);
  TStreamer streamer(kSignature, kVersion);
  ExpectError<EInvalidArgument>([&] { streamer.SetCompressionLevel(4); },
                                "TStreamer.SetCompressionLevel expects a level from 0 to 3, not 4.");
}

TEST(Streamer, ChecksumOverChunksWithStraddlingField) {
  const std::string data = Payload(37);
  for (int64_t skip : {-1, 0, 5, 7, 33, 35, 36}) {
    std::string zeroed = data;
    if (skip >= 0)
      for (int64_t i = skip; i < skip + 4 && i < 37; ++i) zeroed[static_cast<size_t>(i)] = '\0';
    const uint32_t expected = static_cast<uint32_t>(
        adler32(0, reinterpret_cast<const Bytef*>(zeroed.data()), static_cast<uInt>(37)));
    for (int64_t chunk : {1, 2, 3, 4, 6, 8, 9, 36, 37, 4194304}) {
      SCOPED_TRACE(testing::Message() << "skip " << skip << " chunk " << chunk);
      TStringStream stream("ab" + data);
      stream.SetPosition(2);
      TStreamer streamer(kSignature, kVersion);
      streamer.SetChunkSize(chunk);
      EXPECT_EQ(streamer.CalculateAdler(stream, skip), expected);
      EXPECT_EQ(stream.Position(), 39);
    }
  }
}

TEST(Streamer, ErrorMessages) {
  const std::string good = Build(2, 2, Payload(100)), packed = Build(3, 2, Payload(100));
  const size_t field = kSignature.size() + 3;
  auto spoilt = [](std::string bytes, size_t at, char value) { bytes[at] = value; return bytes; };
  const std::string badSum = spoilt(good, field + 10, static_cast<char>(good[field + 10] ^ 1));
  const uint32_t computed = ExpectedChecksum(badSum, field);
  const std::string sums = SwFormat("(%.8X) is wrong - expected %.8X.", computed, Le32(good, field));
  const std::string badZlib = spoilt(packed, field, static_cast<char>(packed[field] ^ 0x55));  // the zlib header
  const std::string badSig = spoilt(good, 0, 'X'), older = spoilt(good, kSignature.size(), 1),
                    newer = spoilt(good, kSignature.size() + 1, 2);

  struct Row { std::string bytes; uint8_t options; std::string message; };
  const Row rows[] = {
      {badSig, 0, "TStreamer stream must start with signature 'SWT\x1A' but it starts with 'XWT\x1A'."},
      {"SW", 0, "TStreamer stream must start with signature 'SWT\x1A' but it starts with 'SW'."},
      {"SW", 1, "Attempted to TStreamer.Read on exhausted stream."},
      {kSignature + "\x02", 0, "Attempted to TStreamer.Read on exhausted stream."},
      {kSignature + std::string("\x02\x01\x02\x00\x00", 5), 0, "Attempted to TStreamer.Read on exhausted stream."},
      {kSignature + std::string("\x02\x01\x01", 3), 0, "Attempted to TStreamer.Read on exhausted stream."},
      {older, 0, "Attempted to load TStreamer stream of unsupported version (v1.1) - current version is v1.2."},
      {newer, 2, "Attempted to load TStreamer stream of unsupported version (v2.2) - current version is v1.2."},
      {badSum, 0, "TStreamer stream checksum " + sums},
      {badZlib, 0, "Zlib reports compression error ('incorrect header check') for TStreamer."},
      {packed + "x", 0, "Zlib reports compression error ('data follows the end of the compressed stream') for TStreamer."},
      {good.substr(0, field) + std::string("\x78\x9c\x4b", 3), 0,
       "Zlib reports compression error ('unexpected end of compressed data') for TStreamer."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    std::string bytes = row.bytes;
    // The zlib rows need the compressed flag.
    if (row.message.find("Zlib") != std::string::npos) bytes[field - 1] = 3;
    ExpectError<EStreamer>([&] { ReadPayload(bytes, row.options); }, row.message);
  }

  TStreamer streamer(kSignature, kVersion);
  ExpectError<EInvalidArgument>([&] { streamer.SetSignature(""); },
                                "TStreamer.SetSignature expects a non-empty string.");
  ExpectError<EInvalidArgument>([&] { streamer.SetVersion(0); }, "TStreamer.SetVersion expects a non-zero integer.");
  ExpectError<EInvalidArgument>([&] { TStreamer bad("", 1); }, "TStreamer.SetSignature expects a non-empty string.");
  TStringStream empty;
  ExpectError<EStreamerEmpty>([&] { streamer.CalculateAdler(empty, -1); },
                              "Attempted to TStreamer.CalculateAdler on exhausted stream.");
  // A compressed container whose checksum field was cut off has nothing to compress.
  TStringStream cut;
  streamer.SetFlags(TStreamer::FlagCompressed);
  streamer.WriteHeader(cut);
  cut.SetSize(static_cast<int64_t>(field));
  ExpectError<EStreamerEmpty>([&] { streamer.Finish(cut, 0); }, "Attempted to TStreamer.Compress on exhausted stream.");

  // The errors name the streamer's owner and carry the checksums they compared.
  TTreeFileOwner owner;
  TStreamer owned(kSignature, kVersion);
  owned.SetOwner(&owner);
  TStringStream olderStream(older), badSumStream(badSum);
  ExpectError<EStreamerBadVersion>([&] { owned.Read(olderStream, 0); },
      "Attempted to load TTreeFileOwner stream of unsupported version (v1.1) - current version is v1.2.");
  try {
    owned.Read(badSumStream, 0);
    ADD_FAILURE() << "no exception";
  } catch (const EStreamerBadChecksum& e) {
    EXPECT_EQ(e.Stored(), Le32(good, field));
    EXPECT_EQ(e.Computed(), computed);
  }
}

TEST(Streamer, ReadOptions) {
  const std::string payload = Payload(64);
  const size_t versionAt = kSignature.size();
  // versionDelta: added to the stored version's minor byte; expected: the error, or "" for a good read.
  struct Row { uint8_t flags; int versionDelta; bool corruptPayload, corruptSignature; uint8_t options;
               const char* expected; };
  const Row rows[] = {
      {2, 0, false, false, 0, ""},        {3, 0, false, false, 0, ""},      {2, 0, true, false, 0, "checksum"},
      {2, 0, true, false, 8, ""},        {3, 0, true, false, 8, ""},
      {0, 0, true, false, 0, ""},  // not checksummed: nothing to find
      {2, -1, false, false, 0, "version"},
      {2, -1, false, false, 2, "checksum"},  // the checksum covers the header
      {2, -1, false, false, 2 | 8, ""},  {2, +1, false, false, 2, "version"}, {2, +1, false, false, 4 | 8, ""},
      {0, -1, false, false, 2, ""},      {0, +1, false, false, 4, ""},      {0, 0, false, true, 0, "signature"},
      {0, 0, false, true, 1, ""},        {2, 0, false, true, 1, "checksum"}, {2, 0, false, true, 1 | 8, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "flags " << int(row.flags) << " delta " << row.versionDelta
                                    << " options " << int(row.options));
    // Built uncompressed, spoilt, and then packed, so that a compressed container carries the
    // spoilt bytes under zlib's own intact check.
    std::string bytes = Build(row.flags, 2, payload, "", false);
    bytes[versionAt] = static_cast<char>(bytes[versionAt] + row.versionDelta);
    if (row.corruptSignature) bytes[1] = '?';
    if (row.corruptPayload) bytes.back() ^= 1;
    if (row.flags & TStreamer::FlagCompressed) bytes = Repack(bytes);
    std::string outcome;
    try {
      std::string read = ReadPayload(bytes, row.options);
      if (!row.corruptPayload) { EXPECT_EQ(read, payload); }
    } catch (const EStreamerBadChecksum&) { outcome = "checksum"; }
    catch (const EStreamerBadVersion&) { outcome = "version"; }
    catch (const EStreamerBadSignature&) { outcome = "signature"; }
    EXPECT_EQ(outcome, row.expected);
  }
}

// Every cut and many flipped bits: reading fails with the container's error or reads the true
// payload. Unknown flag bits are ignored; a flag byte that loses both bits checks nothing.
TEST(Streamer, TruncatedOrCorruptedContainersFailOrReadTrue) {
  const std::string payload = Payload(400);
  const size_t flagsAt = kSignature.size() + 2, payloadAt = kSignature.size() + 7;
  for (uint8_t flags : {0, 1, 2, 3}) {
    const std::string bytes = Build(flags, 2, payload);
    for (size_t at = 0; at < bytes.size(); ++at) {
      SCOPED_TRACE(testing::Message() << "flags " << int(flags) << " byte " << at);
      if (flags == 0 && at >= payloadAt) {
        EXPECT_EQ(ReadPayload(bytes.substr(0, at)), payload.substr(0, at - payloadAt));
      } else { EXPECT_THROW(ReadPayload(bytes.substr(0, at)), EStreamer); }
      for (uint8_t mask : {0x01, 0x80, 0xFF}) {
        if (flags < 2) break;  // without a checksum a flipped bit goes unseen
        std::string bad = bytes;
        bad[at] = static_cast<char>(bad[at] ^ mask);
        try {
          std::string read = ReadPayload(bad);
          if (at != flagsAt || (bad[at] & 3) != 0) { EXPECT_EQ(read, payload) << int(mask); }
        } catch (const EStreamer&) {
        }
      }
    }
  }
}

TEST(Streamer, InflationIsBounded) {
  // 32 MiB of zeros deflate to about 32 KiB: far beyond the ratio any tree file reaches.
  const std::string zeros(32u << 20, '\0');
  std::string bomb = kSignature + std::string("\x02\x01\x01", 3);
  uLongf packedLength = compressBound(static_cast<uLong>(zeros.size()));
  std::string packed(packedLength, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(packed.data()), &packedLength,
                      reinterpret_cast<const Bytef*>(zeros.data()), zeros.size(), 9), Z_OK);
  bomb += packed.substr(0, packedLength);
  ExpectError<EStreamerCompression>([&] { ReadPayload(bomb); },
      "Zlib reports compression error ('data inflates beyond 16777216 bytes') for TStreamer.");

  // A set ceiling below the ratio allowance wins. What inflates is the checksum field and the
  // payload: 100004 bytes here.
  const std::string bytes = Build(1, 2, Payload(100000));
  const std::pair<int64_t, bool> rows[] = {{100003, false}, {100004, true}};
  for (const auto& [ceiling, fits] : rows) {
    SCOPED_TRACE(ceiling);
    TStringStream stream(bytes);
    TStreamer streamer(kSignature, kVersion);
    streamer.SetMaxInflatedSize(ceiling);
    if (fits) {
      std::unique_ptr<TStream> inflated = streamer.Read(stream, 0);
      ASSERT_NE(inflated, nullptr);
      EXPECT_EQ(inflated->Size() - inflated->Position(), 100000);
    } else {
      ExpectError<EStreamerCompression>([&] { streamer.Read(stream, 0); },
                                        "Zlib reports compression error ('data inflates beyond " +
                                            std::to_string(ceiling) + " bytes') for TStreamer.");
    }
  }
}

TEST(Streamer, FinishTruncatesAfterCompression) {
  // Finish works on a stream that already held longer data: what follows is cut away.
  TStringStream stream(std::string(5000, 'z'));
  stream.SetPosition(0);
  TStreamer streamer(kSignature, kVersion);
  streamer.WriteHeader(stream);
  const std::string payload = std::string(4000, 'a');
  stream.WriteBuffer(payload.data(), 4000);
  stream.SetSize(stream.Position());
  streamer.Finish(stream, 0);  // compressed by default
  EXPECT_LT(stream.Size(), 200);
  EXPECT_EQ(ReadPayload(stream.DataString()), payload);
}

}  // namespace
}  // namespace skeinwork
