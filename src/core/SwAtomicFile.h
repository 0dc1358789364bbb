// SwAtomicFile: writing a file so that it is either whole or not there.
//
// A program that writes a tree file or an extracted file straight under its name leaves a
// half-written file behind when the disk fills up or the program stops, and it has already
// destroyed the file that was there before. TSwAtomicFileStream writes under a hidden temporary
// name in the target's folder and, on Commit, flushes and closes it checking every error and
// renames it over the target. A stream freed without Commit (an exception, an empty result)
// removes its temporary file; the target is then exactly what it was before.
//
// A target that exists and is not a regular file (a device such as /dev/null or /dev/full, a
// pipe) cannot be replaced by a rename: the stream writes to it directly, and Commit only closes
// it, checking for errors. A symbolic link to a file is followed: the file it points to is
// replaced and the link stays.
#pragma once

#include "SwCore.h"

#include <cstdint>
#include <string>

namespace skeinwork {

class TSwAtomicFileStream : public TStream {
 public:
  // Creates the temporary file (or opens the device); a failure raises EFCreateError naming
  // the target.
  explicit TSwAtomicFileStream(const WideString& fileName);
  ~TSwAtomicFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;

  // Makes the written data the target: syncs and closes the file, then renames it over the
  // target. Any failure raises EWriteError naming the target and removes the temporary file.
  // The stream cannot be used afterwards.
  void Commit();
  // Drops what was written; the target stays as it was. The destructor does this unless
  // Commit succeeded.
  void Discard();

  const WideString& FileName() const { return mFileName; }  // the target
  // The name written to until Commit; the target itself when writing to a device.
  const std::string& TempPath() const { return mTempPath; }
  bool Committed() const { return mCommitted; }
  // Whether the target is a device or pipe written in place, which cannot seek or read back.
  bool Direct() const { return mDirect; }

 private:
  [[noreturn]] void RaiseSystemError(const char* format) const;
  void RequireOpen() const;

  WideString mFileName;
  std::string mTargetPath;  // the file that Commit replaces (a symbolic link resolved)
  std::string mTempPath;
  bool mDirect = false;     // writing to a device or pipe in place
  bool mCommitted = false;
  int mHandle = -1;
};

}  // namespace skeinwork
