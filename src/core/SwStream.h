// SwStream: the stream family: TStream and its memory, string, file, restricted and temporary
// streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SwObject.h"

namespace skeinwork {

enum class TSeekOrigin { Beginning, Current, End };

// a + b held at the ends of the 64-bit range, so that positions and sizes taken from the data
// never overflow.
inline int64_t SwAddClamped(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

class TStream : public TSwObject {
 public:
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;
  // The bytes from `offset` on as the stream holds them in memory, without moving its position:
  // `available` of them, up to the end of what it holds there in one piece. Null (and 0) for a
  // stream without such memory or an offset outside it. Valid until the stream is next read,
  // written or resized.
  virtual const uint8_t* MemoryAt(int64_t offset, int64_t& available) {
    (void)offset;
    available = 0;
    return nullptr;
  }

  // Every byte of the stream, where it keeps them all in one piece of memory it lends (a memory
  // stream, a window on one), without a virtual call: `size` bytes, or null (and 0). Valid until
  // the stream, or the stream below a window, is next written or resized, or the window moves.
  const uint8_t* LentMemory(int64_t& size) const {
    size = mLentSize;
    return mLent;
  }

  // The position, and a seek from the beginning; without a virtual call on a stream that lends
  // its bytes, for a place within them (or 0).
  int64_t Position() { return mLent ? mPosition : Seek(0, TSeekOrigin::Current); }
  int64_t SetPosition(int64_t position) {
    if (mLent && static_cast<uint64_t>(position) <= static_cast<uint64_t>(mLentSize)) return mPosition = position;
    return Seek(position, TSeekOrigin::Beginning);
  }
  // Whole reads and writes: a short transfer raises EReadError / EWriteError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies `count` bytes from the source's position; 0 copies the whole source from its start.
  int64_t CopyFrom(TStream& source, int64_t count);

 protected:
  // Kept current by a stream that lends its memory (see LentMemory). Only a stream whose
  // position is mPosition, and whose seek from the beginning to a place within the lent bytes
  // only sets it, may lend.
  void Lend(const uint8_t* memory, int64_t size) {
    mLent = memory;
    mLentSize = memory ? size : 0;
  }

  int64_t mPosition = 0;  // the position of a stream that keeps it here (every stream that lends)

 private:
  const uint8_t* mLent = nullptr;
  int64_t mLentSize = 0;
};

// The name a message uses for a stream: a file stream's file name, else "<ClassWithoutT>".
std::string SwStreamName(const TStream* stream);

class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(mData.size()); }
  void SetSize(int64_t size) override;
  const uint8_t* MemoryAt(int64_t offset, int64_t& available) override {
    available = offset >= 0 && offset < Size() ? Size() - offset : 0;
    return available ? mData.data() + offset : nullptr;
  }

  const uint8_t* Memory() const { return mData.data(); }
  uint8_t* Memory() { return mData.data(); }
  void Clear();
  void LoadFromStream(TStream& source);

 protected:
  // Lends mData as it is now; called after every change to it.
  void LendData() { Lend(mData.data(), static_cast<int64_t>(mData.size())); }

  std::vector<uint8_t> mData;
};

// A memory stream made from, and readable as, a byte string.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(std::string_view data = {});
  std::string DataString() const { return std::string(mData.begin(), mData.end()); }
};

enum class TFileMode { OpenRead, OpenReadWrite, Create };

// A file named by wide text; Create makes a new empty file (or empties an existing one).
class TFileStream : public TStream {
 public:
  TFileStream(const WideString& fileName, TFileMode mode);
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;
  const WideString& FileName() const { return mFileName; }

 private:
  WideString mFileName;
  int mHandle = -1;
};

// A read-only window [start, end) on another stream (not owned). Reading leaves the
// underlying stream's position where it was.
class TSwRestrictedStream final : public TStream {
 public:
  TSwRestrictedStream(TStream* stream, int64_t size);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return mEnd - mStart; }
  void SetSize(int64_t size) override;
  const uint8_t* MemoryAt(int64_t offset, int64_t& available) override;

  void SetWindow(int64_t start, int64_t size);
  void MoveWindow(int64_t start) { SetWindow(start, mEnd - mStart); }
  int64_t WindowStart() const { return mStart; }
  int64_t WindowEnd() const { return mEnd; }
  TStream* Underlying() const { return mStream; }

 private:
  TStream* mStream;
  int64_t mStart = 0;
  int64_t mEnd = 0;
};

// Keeps its data in memory up to a limit, then moves it to an unnamed temporary file, which
// goes when the stream is freed or the program ends.
class TSwTempStream : public TStream {
 public:
  static constexpr int64_t DefaultMemoryLimit = 16777216;

  explicit TSwTempStream(int64_t memoryLimit = DefaultMemoryLimit);
  ~TSwTempStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return Current().Size(); }
  void SetSize(int64_t size) override { Current().SetSize(size); }

  bool InFile() const { return mFile != nullptr; }
  // The name the temporary file had; it is removed from its folder as soon as it is made, so
  // that nothing is left behind however the program ends.
  WideString TempFileName() const { return mFile ? mFile->FileName() : WideString(); }

 private:
  TStream& Current() { return mFile ? static_cast<TStream&>(*mFile) : *mMemory; }
  void MoveToFile();

  int64_t mLimit;
  std::unique_ptr<TMemoryStream> mMemory;
  std::unique_ptr<TFileStream> mFile;
};

// A stream that is either owned or borrowed: what a pointer beside an owns-flag would say, with
// the freeing done. Reads as the stream pointer.
class TSwStreamHolder {
 public:
  TSwStreamHolder() = default;
  TSwStreamHolder(TStream* stream, bool owned) { Set(stream, owned); }

  // Holds `stream`, owned or not; a stream owned before is freed unless it is `stream` itself.
  void Set(TStream* stream, bool owned) {
    std::unique_ptr<TStream> previous = std::move(mOwned);
    if (previous.get() == stream) (void)previous.release();  // kept: it is held again
    mStream = stream;
    if (owned) mOwned.reset(stream);
  }
  void Set(std::unique_ptr<TStream> stream) {
    TStream* raw = stream.release();
    Set(raw, true);
  }
  // Gives up ownership of the stream (null when it was borrowed); it is still held, borrowed.
  std::unique_ptr<TStream> Release() { return std::move(mOwned); }

  TStream* Get() const { return mStream; }
  bool Owned() const { return mOwned != nullptr; }
  operator TStream*() const { return mStream; }  // NOLINT: reads as the pointer it holds
  TStream* operator->() const { return mStream; }

 private:
  TStream* mStream = nullptr;
  std::unique_ptr<TStream> mOwned;
};

// Whether the stream continues with `bytes`: on a match the position stays after them,
// otherwise it is where it was. Empty bytes always match.
bool SwExpectBytes(TStream& stream, std::string_view bytes);

}  // namespace skeinwork
