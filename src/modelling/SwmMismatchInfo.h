// SwmMismatchInfo: the input around a mismatch, kept for the report after the run.
#pragma once

#include <cstdint>
#include <memory>

#include "SwCore.h"

namespace skeinwork {

// Where a stream stood when an error was made, with the bytes around that place, so that the
// place can be shown after the run and its streams are gone.
struct TSwSourcePos {
  WideString Source;         // the file name, "<ClassWithoutT>", or "<unknown>" without a stream
  int64_t Position = 0;      // reading position when the error was made
  int64_t Size = 0;          // the stream's size
  RawByteString Excerpt;     // at most the window size of bytes around the position
  int64_t ExcerptStart = 0;  // stream offset of the excerpt's first byte
};

// The input around a mismatch: the stream being read and, when the run had switched to another
// stream (a LINE, a converted input), its first input as well. Made by the hook that
// SwInstallMismatchInfoHook installs and attached to the exception as its object.
class TSwMismatchInfo : public TSwObject {
 public:
  static constexpr int64_t DefaultWindowSize = 576;

  // Bytes kept around the position; a host's subclass may show more.
  virtual int64_t WindowSize() const { return DefaultWindowSize; }
  int64_t BytesBefore() const { return WindowSize() / 2; }

  // Fills Current from `current` and, when `global` is another stream, Global from it. Each
  // stream is left at the position it had.
  void Capture(TStream* current, TStream* global);
  // Fills one record from a stream (null: source "<unknown>") with this object's window.
  void FillSourcePos(TSwSourcePos& pos, TStream* stream) const;

  bool HasGlobal() const { return !Global.Source.empty(); }

  TSwSourcePos Current;
  TSwSourcePos Global;  // empty when the current stream was the run's first input
};

// Makes the (sub)class of mismatch information a host wants.
using TSwMismatchInfoFactory = std::unique_ptr<TSwMismatchInfo> (*)();

// Sets the process-wide exception hook to one that attaches mismatch information to every
// ESwmMismatch (and descendant) made from now on, from the active run of the creating thread
// (see SwmActiveCompiler); a null factory makes TSwMismatchInfo. Replaces any hook set before.
void SwInstallMismatchInfoHook(TSwMismatchInfoFactory factory = nullptr);
// Clears the exception hook again.
void SwRemoveMismatchInfoHook();
// The mismatch information an exception carries, directly or inside a partial result; null
// when it has none.
TSwMismatchInfo* SwMismatchInfoOf(const ESkeinwork& error);

}  // namespace skeinwork
