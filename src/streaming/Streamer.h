// Streamer: the signed, checksummed and optionally compressed stream container.
//
// TStreamer frames a block of binary data inside a byte stream: a fixed signature, a 16-bit
// format version, a flag byte, a 32-bit checksum and then the payload, which may be
// zlib-compressed. The binary tree file writes a serialized tree as the payload of one such
// container. Writing: WriteHeader, write the payload to the end of the stream, Finish.
// Reading: Read checks the header and hands back the stream to read the payload from.
//
// Layout from the container start S (integers little-endian):
//   signature bytes (no length, no terminator) | version u16 | flags u8 | checksum u32 | payload
// The checksum is Adler-32 started from 0 over S..end with the checksum field counted as
// zeros. When compressed, everything from the checksum field to the end is one zlib stream.
// The container runs to the end of the stream.
#pragma once

#include "SwCore.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace skeinwork {

using TStreamerSignature = RawByteString;

// Root of the container's errors. It stands apart from ESkeinwork: the container is a generic
// utility. Every error keeps the class name of the owner it names, and the owner itself (none
// when the container was its own owner; the pointer is not owned and may dangle once the
// owner is gone).
class EStreamer : public std::exception {
 public:
  EStreamer(const TSwObject* owner, std::string ownerClass, std::string message)
      : mOwner(owner), mOwnerClass(std::move(ownerClass)), mMessage(std::move(message)) {}
  const char* what() const noexcept override { return mMessage.c_str(); }
  const std::string& Message() const { return mMessage; }
  const TSwObject* Owner() const { return mOwner; }
  const std::string& OwnerClass() const { return mOwnerClass; }

 private:
  const TSwObject* mOwner;
  std::string mOwnerClass;
  std::string mMessage;
};

// Nothing left to checksum, compress or read; Method names the step ("CalculateAdler",
// "Compress", "ZCompress", "Read").
class EStreamerEmpty : public EStreamer {
 public:
  EStreamerEmpty(const TSwObject* owner, const std::string& ownerClass, std::string method);
  const std::string& Method() const { return mMethod; }

 private:
  std::string mMethod;
};

class EStreamerBadSignature : public EStreamer {
 public:
  EStreamerBadSignature(const TSwObject* owner, const std::string& ownerClass,
                        TStreamerSignature expected, TStreamerSignature read);
  const TStreamerSignature& Expected() const { return mExpected; }
  const TStreamerSignature& ReadSignature() const { return mRead; }

 private:
  TStreamerSignature mExpected;
  TStreamerSignature mRead;
};

class EStreamerBadChecksum : public EStreamer {
 public:
  EStreamerBadChecksum(const TSwObject* owner, const std::string& ownerClass, uint32_t computed,
                       uint32_t stored);
  uint32_t Computed() const { return mComputed; }
  uint32_t Stored() const { return mStored; }

 private:
  uint32_t mComputed;
  uint32_t mStored;
};

class EStreamerBadVersion : public EStreamer {
 public:
  EStreamerBadVersion(const TSwObject* owner, const std::string& ownerClass, uint16_t read,
                      uint16_t own);
  uint16_t ReadVersion() const { return mRead; }
  uint16_t OwnVersion() const { return mOwn; }

 private:
  uint16_t mRead;
  uint16_t mOwn;
};

// zlib failed, or the compressed data is not acceptable (trailing bytes, inflating beyond the
// limit); ZlibMessage is the text between the quotes.
class EStreamerCompression : public EStreamer {
 public:
  EStreamerCompression(const TSwObject* owner, const std::string& ownerClass,
                       std::string zlibMessage);
  const std::string& ZlibMessage() const { return mZlibMessage; }

 private:
  std::string mZlibMessage;
};

class TStreamer {
 public:
  // Flag bits.
  static constexpr uint8_t FlagCompressed = 1;
  static constexpr uint8_t FlagChecksummed = 2;
  // Read options.
  static constexpr uint8_t ReadIgnoreSignature = 1;
  static constexpr uint8_t ReadAcceptOlder = 2;
  static constexpr uint8_t ReadAcceptNewer = 4;
  static constexpr uint8_t ReadIgnoreChecksum = 8;
  // Compression levels: 0 none, 1 fastest, 2 zlib's default, 3 maximum.
  static constexpr uint8_t LevelNone = 0;
  static constexpr uint8_t LevelFastest = 1;
  static constexpr uint8_t LevelDefault = 2;
  static constexpr uint8_t LevelMax = 3;

  static constexpr int64_t DefaultChunkSize = 4194304;            // checksum chunks, 4 MiB
  static constexpr int64_t DefaultMaxInflatedSize = int64_t{1} << 30;  // 1 GiB
  // Compressed data may inflate to this many times its size, or to MinInflateAllowance,
  // whichever is more (and never beyond the maximum inflated size). Real tree files stay far
  // below the ratio; a zlib bomb does not.
  static constexpr int64_t MaxInflateRatio = 256;
  static constexpr int64_t MinInflateAllowance = 16777216;

  TStreamer(TStreamerSignature signature, uint16_t version);
  virtual ~TStreamer() = default;
  TStreamer(const TStreamer&) = delete;
  TStreamer& operator=(const TStreamer&) = delete;

  std::string ClassName() const { return SwClassNameOf(typeid(*this)); }

  // The object that messages name; none means the container itself.
  const TSwObject* Owner() const { return mOwner; }
  void SetOwner(const TSwObject* owner) { mOwner = owner; }
  std::string OwnerClass() const { return mOwner ? mOwner->ClassName() : ClassName(); }

  const TStreamerSignature& Signature() const { return mSignature; }
  void SetSignature(TStreamerSignature signature);
  uint16_t Version() const { return mVersion; }
  void SetVersion(uint16_t version);
  uint8_t Flags() const { return mFlags; }
  void SetFlags(uint8_t flags) { mFlags = flags; }
  bool IsCompressed() const { return (mFlags & FlagCompressed) != 0; }
  bool IsChecksummed() const { return (mFlags & FlagChecksummed) != 0; }
  uint8_t CompressionLevel() const { return mLevel; }
  void SetCompressionLevel(uint8_t level);
  // Bytes from the container start to the checksum field, known after WriteHeader or Read.
  uint32_t HeaderLength() const { return mHeaderLength; }
  uint32_t StoredChecksum() const { return mStoredChecksum; }

  // Tuning and tests: the checksum's chunk size and the ceiling for inflated payloads.
  void SetChunkSize(int64_t size) { mChunkSize = size > 0 ? size : DefaultChunkSize; }
  void SetMaxInflatedSize(int64_t size) { mMaxInflatedSize = size; }
  int64_t MaxInflatedSize() const { return mMaxInflatedSize; }

  // Writes the header at the stream's position and 4 zero bytes for the checksum; the caller
  // then writes the payload to the end of the stream.
  void WriteHeader(TStream& stream);
  // Checksums and then compresses the container that starts at `start`. The container must
  // run to the end of the stream. A writer that summed its payload as it wrote it passes the
  // checksum, which spares reading the container back.
  void Finish(TStream& stream, int64_t start, std::optional<uint32_t> checksum = std::nullopt);
  // The Adler-32 of the header written at `start` (its checksum field counted as zeros), which
  // such a writer continues over its payload. Leaves the stream's position as it was.
  uint32_t HeaderChecksum(TStream& stream, int64_t start);

  // Reads and checks the header at the stream's position. Returns the stream to read the
  // payload from, positioned at its first byte: null means `stream` itself, otherwise a new
  // in-memory stream holding the decompressed container, which the caller owns.
  std::unique_ptr<TStream> Read(TStream& stream, uint8_t options);
  // The hand-over form: takes the stream and returns the one to go on with (the same one, or
  // the decompressed copy, in which case the given stream is freed).
  std::unique_ptr<TStream> Read(std::unique_ptr<TStream> stream, uint8_t options);

  // Adler-32 from 0 over the stream's position to its end, counting the `skipLength` bytes at
  // `skipStart` (relative to the position; negative for none) as zeros.
  uint32_t CalculateAdler(TStream& stream, int64_t skipStart, int64_t skipLength = 4);

 protected:
  virtual void CheckSignature(const TStreamerSignature& read, uint8_t options);
  virtual void CheckVersion(uint16_t read, uint8_t options);
  // Room for header bytes of a descendant, between the flags and the checksum.
  virtual void WriteExtraHeader(TStream&) {}
  virtual void ReadExtraHeader(TStream&) {}

 private:
  [[noreturn]] void RaiseEmpty(const char* method) const;
  [[noreturn]] void RaiseCompression(std::string message) const;
  std::unique_ptr<TMemoryStream> Inflate(TStream& stream, int64_t start);

  const TSwObject* mOwner = nullptr;
  TStreamerSignature mSignature;
  uint16_t mVersion = 1;
  uint8_t mFlags = FlagCompressed | FlagChecksummed;
  uint8_t mLevel = LevelDefault;
  uint32_t mHeaderLength = 0;
  uint32_t mStoredChecksum = 0;
  int64_t mChunkSize = DefaultChunkSize;
  int64_t mMaxInflatedSize = DefaultMaxInflatedSize;
};

}  // namespace skeinwork
