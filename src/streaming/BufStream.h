// BufStream: a read cache of fixed-size windows over a stream.
//
// TBufStream keeps up to a few windows (TBuffer) of the underlying stream in memory, so that
// the many small reads of one input region that the modelling run and its slicer make do not
// go back to the stream. Reads name their offset (ReadAt) and never move the underlying
// stream's position. TBufStream is itself a read-only stream with a position of its own, so
// the run can read it byte by byte and seek back; a read that a window already holds is an
// inline copy without a virtual call or a look at the stream.
#pragma once

#include "SwCore.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace skeinwork {

SW_EXCEPTION(EBufStream, ESkeinwork);

class TBufStream : public TStream {
 public:
  static constexpr int DefaultWindowCount = 8;
  static constexpr int64_t DefaultWindowSize = 65536;

  // One window: `Length` bytes of the stream from `Start`.
  class TBuffer {
   public:
    int64_t Start() const { return mStart; }
    int64_t Length() const { return static_cast<int64_t>(mBytes.size()); }
    bool Covers(int64_t offset, int64_t count) const {
      // Written so that no sum can overflow, whatever the caller passes.
      return offset >= mStart && count <= Length() && offset - mStart <= Length() - count;
    }
    // Copies up to `count` bytes from `offset`; an offset outside the window raises
    // EBufStream "Offset %d is out of scope of this stream buffer.".
    int64_t Read(int64_t offset, void* buffer, int64_t count) const;
    const uint8_t* Data() const { return mBytes.data(); }

   private:
    friend class TBufStream;
    int64_t mStart = 0;
    std::vector<uint8_t> mBytes;
  };

  // Caches `stream`, which it frees on destruction when it owns it.
  TBufStream(TStream* stream, bool ownsStream);
  ~TBufStream() override;

  // A negative count means no windows (every read goes to the stream); a window size of 0 (or
  // less) keeps the old size. Surplus windows go, oldest first.
  void SetLimits(int windowCount, int64_t windowSize);
  int WindowCount() const { return mMaxWindows; }
  int64_t WindowSize() const { return mWindowSize; }
  // Windows held now, oldest first.
  const std::vector<std::unique_ptr<TBuffer>>& Windows() const { return mWindows; }
  TStream* Underlying() const { return mStream; }
  bool OwnsStream() const { return mStream.Owned(); }
  // Lends every byte of the stream below where that stream lends them all (see LentMemory): for
  // a cache over data that nobody changes while the cache lives.
  void LendUnderlyingMemory() {
    int64_t size = 0;
    const uint8_t* memory = Underlying()->LentMemory(size);
    Lend(memory, size);
  }

  // Up to `count` bytes from `offset` of the underlying stream; the number read.
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count) {
    if (mLast && count > 0 && mLast->Covers(offset, count)) {
      std::memcpy(buffer, mLast->mBytes.data() + (offset - mLast->mStart),
                  static_cast<size_t>(count));
      return count;
    }
    return ReadAtSlow(offset, buffer, count);
  }
  RawByteString ReadAt(int64_t offset, int64_t count);
  // The byte at `offset`, or -1 beyond the end.
  int ReadByteAt(int64_t offset) {
    if (mLast && mLast->Covers(offset, 1)) return mLast->mBytes[offset - mLast->mStart];
    uint8_t byte;
    return ReadAtSlow(offset, &byte, 1) == 1 ? byte : -1;
  }

  // The stream side: reads at the own position, which seeks move without touching the stream.
  int ReadByte() {
    int byte = ReadByteAt(mPosition);
    if (byte >= 0) ++mPosition;
    return byte;
  }
  int64_t Read(void* buffer, int64_t count) override {
    int64_t n = ReadAt(mPosition, buffer, count);
    if (n > 0) mPosition += n;
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Asked of the stream once. A stream that gives fewer bytes than this promises (a file that
  // another program cuts while it is read) makes the read raise EReadError.
  int64_t Size() override {
    if (mSize < 0) mSize = mStream->Size();
    return mSize;
  }
  void SetSize(int64_t size) override;
  // The window that served the last read, where it holds `offset`.
  const uint8_t* MemoryAt(int64_t offset, int64_t& available) override {
    available = mLast && mLast->Covers(offset, 1) ? mLast->Length() - (offset - mLast->mStart) : 0;
    return available ? mLast->mBytes.data() + (offset - mLast->mStart) : nullptr;
  }

 private:
  int64_t ReadAtSlow(int64_t offset, void* buffer, int64_t count);
  // The stream gave fewer of the bytes its cached size promised: EReadError naming it.
  [[noreturn]] void RaiseShrunk(int64_t offset, int64_t expected, int64_t got) const;
  int64_t ReadDirect(int64_t offset, void* buffer, int64_t count);

  TSwStreamHolder mStream;
  std::vector<std::unique_ptr<TBuffer>> mWindows;  // owned, oldest first
  TBuffer* mLast = nullptr;  // the window that served the last read
  int mMaxWindows = DefaultWindowCount;
  int64_t mWindowSize = DefaultWindowSize;
  int64_t mSize = -1;  // unknown until first asked
};

}  // namespace skeinwork
