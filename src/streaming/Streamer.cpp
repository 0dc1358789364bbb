#include "Streamer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace skeinwork {
namespace {

// The container's messages go through the same translation hook as the library's.
template <class... A>
std::string StreamerMessage(std::string_view englishFormat, const A&... args) {
  return SwFormat(SwTranslate(englishFormat), args...);
}

std::string VersionText(uint16_t version) {
  return SwFormat("v%d.%d", version >> 8, version & 0xFF);
}

int ZlibLevel(uint8_t level) {
  switch (level) {
    case TStreamer::LevelNone: return Z_NO_COMPRESSION;
    case TStreamer::LevelFastest: return Z_BEST_SPEED;
    case TStreamer::LevelMax: return Z_BEST_COMPRESSION;
    default: return Z_DEFAULT_COMPRESSION;
  }
}

std::string ZlibText(const z_stream& z, int code) {
  return z.msg ? std::string(z.msg) : std::string(zError(code));
}

// Reads exactly `count` bytes or reports how many there were.
bool ReadFully(TStream& stream, void* buffer, int64_t count) {
  return stream.Read(buffer, count) == count;
}

// The rest of the stream from its position, which the stream's own size justifies.
std::vector<uint8_t> ReadRest(TStream& stream) {
  int64_t left = std::max<int64_t>(stream.Size() - stream.Position(), 0);
  std::vector<uint8_t> data(static_cast<size_t>(left));
  if (left > 0) data.resize(static_cast<size_t>(stream.Read(data.data(), left)));
  return data;
}

constexpr size_t kInflateBuffer = 65536;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors

EStreamerEmpty::EStreamerEmpty(const TSwObject* owner, const std::string& ownerClass,
                               std::string method)
    : EStreamer(owner, ownerClass,
                StreamerMessage("Attempted to %s.%s on exhausted stream.", ownerClass, method)),
      mMethod(std::move(method)) {}

EStreamerBadSignature::EStreamerBadSignature(const TSwObject* owner,
                                             const std::string& ownerClass,
                                             TStreamerSignature expected, TStreamerSignature read)
    : EStreamer(owner, ownerClass,
                StreamerMessage("%s stream must start with signature '%s' but it starts with '%s'.",
                                ownerClass, expected, read)),
      mExpected(std::move(expected)),
      mRead(std::move(read)) {}

EStreamerBadChecksum::EStreamerBadChecksum(const TSwObject* owner, const std::string& ownerClass,
                                           uint32_t computed, uint32_t stored)
    : EStreamer(owner, ownerClass,
                StreamerMessage("%s stream checksum (%.8X) is wrong - expected %.8X.", ownerClass,
                                computed, stored)),
      mComputed(computed),
      mStored(stored) {}

EStreamerBadVersion::EStreamerBadVersion(const TSwObject* owner, const std::string& ownerClass,
                                         uint16_t read, uint16_t own)
    : EStreamer(owner, ownerClass,
                StreamerMessage(
                    "Attempted to load %s stream of unsupported version (%s) - current version is %s.",
                    ownerClass, VersionText(read), VersionText(own))),
      mRead(read),
      mOwn(own) {}

EStreamerCompression::EStreamerCompression(const TSwObject* owner, const std::string& ownerClass,
                                           std::string zlibMessage)
    : EStreamer(owner, ownerClass,
                StreamerMessage("Zlib reports compression error ('%s') for %s.", zlibMessage,
                                ownerClass)),
      mZlibMessage(std::move(zlibMessage)) {}

// ---------------------------------------------------------------------------------------------
// TStreamer

TStreamer::TStreamer(TStreamerSignature signature, uint16_t version) {
  SetSignature(std::move(signature));
  SetVersion(version);
}

void TStreamer::SetSignature(TStreamerSignature signature) {
  if (signature.empty())
    SwRaise<EInvalidArgument>("%s.SetSignature expects a non-empty string.", ClassName());
  mSignature = std::move(signature);
}

void TStreamer::SetVersion(uint16_t version) {
  if (version == 0)
    SwRaise<EInvalidArgument>("%s.SetVersion expects a non-zero integer.", ClassName());
  mVersion = version;
}

void TStreamer::SetCompressionLevel(uint8_t level) {
  if (level > LevelMax)
    SwRaise<EInvalidArgument>("%s.SetCompressionLevel expects a level from 0 to 3, not %d.",
                              ClassName(), level);
  mLevel = level;
}

void TStreamer::RaiseEmpty(const char* method) const {
  throw EStreamerEmpty(mOwner, OwnerClass(), method);
}

void TStreamer::RaiseCompression(std::string message) const {
  throw EStreamerCompression(mOwner, OwnerClass(), std::move(message));
}

void TStreamer::WriteHeader(TStream& stream) {
  int64_t start = stream.Position();
  stream.WriteBuffer(mSignature.data(), static_cast<int64_t>(mSignature.size()));
  uint8_t fixed[3] = {static_cast<uint8_t>(mVersion & 0xFF), static_cast<uint8_t>(mVersion >> 8),
                      mFlags};
  stream.WriteBuffer(fixed, sizeof fixed);
  WriteExtraHeader(stream);
  mHeaderLength = static_cast<uint32_t>(stream.Position() - start);
  const uint8_t zeros[4] = {};
  stream.WriteBuffer(zeros, sizeof zeros);
}

uint32_t TStreamer::CalculateAdler(TStream& stream, int64_t skipStart, int64_t skipLength) {
  int64_t first = stream.Position();
  int64_t end = stream.Size();
  if (first >= end) RaiseEmpty("CalculateAdler");
  int64_t skipEnd = skipStart < 0 ? skipStart : skipStart + std::max<int64_t>(skipLength, 0);
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(mChunkSize, end - first)));
  uLong adler = 0;  // from 0, not zlib's customary 1
  int64_t done = 0;  // bytes summed so far, relative to `first`
  while (first + done < end) {
    int64_t want = std::min<int64_t>(static_cast<int64_t>(chunk.size()), end - first - done);
    int64_t got = stream.Read(chunk.data(), want);
    if (got <= 0) break;
    // Zero the part of the skipped field that falls into this chunk; a field that straddles
    // a chunk end is zeroed piece by piece, which sums the same bytes as one wider chunk.
    int64_t from = std::max(skipStart, done);
    int64_t to = std::min(skipEnd, done + got);
    if (skipStart >= 0 && from < to)
      std::memset(chunk.data() + (from - done), 0, static_cast<size_t>(to - from));
    adler = adler32_z(adler, chunk.data(), static_cast<z_size_t>(got));
    done += got;
  }
  return static_cast<uint32_t>(adler);
}

uint32_t TStreamer::HeaderChecksum(TStream& stream, int64_t start) {
  const int64_t position = stream.Position();
  std::vector<uint8_t> header(mHeaderLength + size_t{4});
  stream.SetPosition(start);
  stream.ReadBuffer(header.data(), static_cast<int64_t>(mHeaderLength));
  stream.SetPosition(position);
  return static_cast<uint32_t>(adler32_z(0, header.data(), header.size()));
}

void TStreamer::Finish(TStream& stream, int64_t start, std::optional<uint32_t> knownChecksum) {
  int64_t fieldAt = start + mHeaderLength;
  if (IsChecksummed()) {
    stream.SetPosition(start);
    uint32_t checksum = knownChecksum ? *knownChecksum : CalculateAdler(stream, mHeaderLength);
    uint8_t bytes[4] = {static_cast<uint8_t>(checksum), static_cast<uint8_t>(checksum >> 8),
                        static_cast<uint8_t>(checksum >> 16), static_cast<uint8_t>(checksum >> 24)};
    stream.SetPosition(fieldAt);
    stream.WriteBuffer(bytes, sizeof bytes);
    stream.Seek(0, TSeekOrigin::End);
  }
  if (!IsCompressed()) return;

  stream.SetPosition(fieldAt);
  std::vector<uint8_t> plain = ReadRest(stream);
  if (plain.empty()) RaiseEmpty("Compress");
  uLongf packedLength = compressBound(static_cast<uLong>(plain.size()));
  std::vector<uint8_t> packed(packedLength);
  int code = compress2(packed.data(), &packedLength, plain.data(),
                       static_cast<uLong>(plain.size()), ZlibLevel(mLevel));
  if (code != Z_OK) RaiseCompression(zError(code));
  if (packedLength == 0) RaiseEmpty("ZCompress");
  plain = {};
  stream.SetSize(fieldAt + static_cast<int64_t>(packedLength));
  stream.SetPosition(fieldAt);
  stream.WriteBuffer(packed.data(), static_cast<int64_t>(packedLength));
  stream.SetSize(stream.Position());
}

void TStreamer::CheckSignature(const TStreamerSignature& read, uint8_t options) {
  if (!(options & ReadIgnoreSignature) && read != mSignature)
    throw EStreamerBadSignature(mOwner, OwnerClass(), mSignature, read);
  mSignature = read;
}

void TStreamer::CheckVersion(uint16_t read, uint8_t options) {
  if ((read < mVersion && !(options & ReadAcceptOlder)) ||
      (read > mVersion && !(options & ReadAcceptNewer)))
    throw EStreamerBadVersion(mOwner, OwnerClass(), read, mVersion);
  // A zero version is never valid; keep ours rather than take it.
  if (read != 0) mVersion = read;
}

// Builds a memory stream of the source's first `fieldAt` bytes followed by the inflated rest,
// refusing trailing bytes and inflation beyond what the compressed size can justify.
std::unique_ptr<TMemoryStream> TStreamer::Inflate(TStream& stream, int64_t fieldAt) {
  stream.SetPosition(fieldAt);
  std::vector<uint8_t> packed = ReadRest(stream);
  if (packed.empty()) RaiseEmpty("Read");
  int64_t allowance = std::max<int64_t>(
      MinInflateAllowance, static_cast<int64_t>(packed.size()) * MaxInflateRatio);
  int64_t limit = std::min(mMaxInflatedSize, allowance);

  auto out = std::make_unique<TMemoryStream>();
  stream.SetPosition(0);
  if (fieldAt > 0) out->CopyFrom(stream, fieldAt);

  z_stream z{};
  int code = inflateInit(&z);
  if (code != Z_OK) RaiseCompression(ZlibText(z, code));
  struct TEnd {
    z_stream* Z;
    ~TEnd() { inflateEnd(Z); }
  } end{&z};

  std::vector<uint8_t> buffer(kInflateBuffer);
  int64_t inflated = 0;
  size_t fed = 0;
  code = Z_OK;
  while (code != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (fed == packed.size()) RaiseCompression("unexpected end of compressed data");
      size_t piece = std::min<size_t>(packed.size() - fed, std::numeric_limits<uInt>::max());
      z.next_in = packed.data() + fed;
      z.avail_in = static_cast<uInt>(piece);
      fed += piece;
    }
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    code = inflate(&z, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR)
      RaiseCompression(ZlibText(z, code));
    int64_t produced = static_cast<int64_t>(buffer.size() - z.avail_out);
    if (code == Z_BUF_ERROR && produced == 0 && z.avail_in != 0)
      RaiseCompression(ZlibText(z, code));
    inflated += produced;
    if (inflated > limit)
      RaiseCompression(SwFormat("data inflates beyond %d bytes", static_cast<long long>(limit)));
    out->WriteBuffer(buffer.data(), produced);
  }
  if (z.avail_in != 0 || fed != packed.size())
    RaiseCompression("data follows the end of the compressed stream");
  out->SetPosition(fieldAt);
  return out;
}

std::unique_ptr<TStream> TStreamer::Read(TStream& stream, uint8_t options) {
  int64_t start = stream.Position();

  TStreamerSignature signature(mSignature.size(), '\0');
  int64_t got = stream.Read(signature.data(), static_cast<int64_t>(signature.size()));
  signature.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
  // A short read fails the comparison; when the comparison is skipped it is a truncated stream.
  if (signature.size() != mSignature.size() && (options & ReadIgnoreSignature)) RaiseEmpty("Read");
  CheckSignature(signature, options);

  uint8_t fixed[3];
  if (!ReadFully(stream, fixed, sizeof fixed)) RaiseEmpty("Read");
  CheckVersion(static_cast<uint16_t>(fixed[0] | (fixed[1] << 8)), options);
  mFlags = fixed[2];
  ReadExtraHeader(stream);
  int64_t headerLength = stream.Position() - start;
  mHeaderLength = static_cast<uint32_t>(headerLength);
  int64_t fieldAt = start + headerLength;

  std::unique_ptr<TMemoryStream> inflated;
  if (IsCompressed()) inflated = Inflate(stream, fieldAt);
  TStream& source = inflated ? static_cast<TStream&>(*inflated) : stream;

  source.SetPosition(fieldAt);
  uint8_t stored[4];
  if (!ReadFully(source, stored, sizeof stored)) RaiseEmpty("Read");
  mStoredChecksum = static_cast<uint32_t>(stored[0]) | (static_cast<uint32_t>(stored[1]) << 8) |
                    (static_cast<uint32_t>(stored[2]) << 16) |
                    (static_cast<uint32_t>(stored[3]) << 24);
  if (IsChecksummed() && !(options & ReadIgnoreChecksum)) {
    source.SetPosition(start);
    uint32_t computed = CalculateAdler(source, headerLength);
    if (computed != mStoredChecksum)
      throw EStreamerBadChecksum(mOwner, OwnerClass(), computed, mStoredChecksum);
  }
  source.SetPosition(fieldAt + 4);
  return inflated;
}

std::unique_ptr<TStream> TStreamer::Read(std::unique_ptr<TStream> stream, uint8_t options) {
  std::unique_ptr<TStream> inflated = Read(*stream, options);
  return inflated ? std::move(inflated) : std::move(stream);
}

}  // namespace skeinwork
