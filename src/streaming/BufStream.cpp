#include "BufStream.h"

#include <algorithm>

namespace skeinwork {

int64_t TBufStream::TBuffer::Read(int64_t offset, void* buffer, int64_t count) const {
  if (offset < mStart || offset > mStart + Length())
    SwRaise<EBufStream>("Offset %d is out of scope of this stream buffer.",
                        static_cast<long long>(offset));
  int64_t n = std::min(std::max<int64_t>(count, 0), mStart + Length() - offset);
  if (n > 0) std::memcpy(buffer, mBytes.data() + (offset - mStart), static_cast<size_t>(n));
  return n;
}

TBufStream::TBufStream(TStream* stream, bool ownsStream)
    : mStream(stream, ownsStream) {
  if (!stream) SwRaise<ESkeinwork>("nil Stream given to %s.Create.", ClassName());
}

TBufStream::~TBufStream() = default;

void TBufStream::SetLimits(int windowCount, int64_t windowSize) {
  mMaxWindows = std::max(windowCount, 0);
  if (windowSize > 0) mWindowSize = windowSize;
  if (static_cast<int>(mWindows.size()) > mMaxWindows) {
    mWindows.erase(mWindows.begin(), mWindows.end() - mMaxWindows);
    mLast = nullptr;
  }
}

// Past the cache, straight from the stream; its position stays where it was.
int64_t TBufStream::ReadDirect(int64_t offset, void* buffer, int64_t count) {
  // No byte lies where a position would overflow; a stream that cannot seek that far would
  // otherwise answer with the bytes where it stands.
  if (offset > INT64_MAX - count) return 0;
  int64_t saved = mStream->Position();
  if (mStream->Seek(offset, TSeekOrigin::Beginning) != offset) {
    mStream->SetPosition(saved);
    return 0;
  }
  int64_t n = mStream->Read(buffer, count);
  mStream->SetPosition(saved);
  return std::max<int64_t>(n, 0);
}

void TBufStream::RaiseShrunk(int64_t offset, int64_t expected, int64_t got) const {
  if (dynamic_cast<const TFileStream*>(mStream.Get()))
    SwRaise<EReadError>("File \"%s\" became shorter while being read (%d bytes expected at offset %d, %d read).",
                        SwStreamName(mStream), expected, offset, got);
  SwRaise<EReadError>("Stream %s became shorter while being read (%d bytes expected at offset %d, %d read).",
                      SwStreamName(mStream), expected, offset, got);
}

int64_t TBufStream::ReadAtSlow(int64_t offset, void* buffer, int64_t count) {
  // A negative offset names no byte of the stream; a stream would clamp it to 0 and answer
  // with the wrong bytes.
  if (count <= 0 || offset < 0) return 0;
  int64_t size = Size();
  int64_t available = std::min(count, size - offset);
  if (available <= 0) return ReadDirect(offset, buffer, count);
  // The size is known from the first question: bytes it promised that the stream no longer
  // gives mean that another program cut the file, and what was read of it no longer holds.
  if (mWindowSize < available || mMaxWindows == 0) {
    int64_t got = ReadDirect(offset, buffer, count);
    if (got < available) RaiseShrunk(offset, available, got);
    return got;
  }

  for (const std::unique_ptr<TBuffer>& window : mWindows) {
    if (window->Covers(offset, available)) {
      mLast = window.get();
      return window->Read(offset, buffer, available);
    }
  }

  // A new window at the offset; the oldest makes room and lends its memory.
  std::unique_ptr<TBuffer> window;
  if (static_cast<int>(mWindows.size()) >= mMaxWindows) {
    window = std::move(mWindows.front());
    mWindows.erase(mWindows.begin());
  } else {
    window = std::make_unique<TBuffer>();
  }
  mLast = nullptr;  // it may be the window just taken, which a failed read below frees
  window->mStart = offset;
  window->mBytes.resize(static_cast<size_t>(std::min(mWindowSize, size - offset)));
  int64_t got = ReadDirect(offset, window->mBytes.data(), window->Length());
  if (got < window->Length()) RaiseShrunk(offset, window->Length(), got);
  mLast = window.get();
  mWindows.push_back(std::move(window));
  return mLast->Read(offset, buffer, available);
}

RawByteString TBufStream::ReadAt(int64_t offset, int64_t count) {
  if (count <= 0 || offset < 0) return {};
  // Never reserve more than the stream holds: a wild count from a broken tree stays harmless.
  int64_t size = Size();
  RawByteString out(static_cast<size_t>(std::clamp<int64_t>(size - offset, 0, count)), '\0');
  if (out.empty()) return out;
  out.resize(static_cast<size_t>(ReadAt(offset, out.data(), static_cast<int64_t>(out.size()))));
  return out;
}

int64_t TBufStream::Write(const void*, int64_t) {
  SwRaise<EWriteError>("%s is a read-only wrapper.", ClassName());
}

void TBufStream::SetSize(int64_t) { SwRaise<EWriteError>("%s is a read-only wrapper.", ClassName()); }

int64_t TBufStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::Beginning ? 0
                 : origin == TSeekOrigin::Current ? mPosition
                                                  : Size();
  mPosition = std::max<int64_t>(SwAddClamped(base, offset), 0);
  return mPosition;
}

}  // namespace skeinwork
