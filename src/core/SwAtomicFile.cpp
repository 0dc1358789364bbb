#include "SwAtomicFile.h"
#include "SwFileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace skeinwork {

namespace {

// A name in the target's folder that no other writer uses: hidden, and marked as temporary so
// that a file left by a killed program is recognisable. A long target name is cut, so that a
// name the file system just allows still has a temporary one.
std::string TempCandidate(const std::filesystem::path& target, int attempt) {
  static std::atomic<uint64_t> counter{0};
  uint64_t stamp = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::string name = "." + target.filename().string().substr(0, 128) + "." + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1) + static_cast<uint64_t>(attempt)) + "-" +
                     std::to_string(stamp % 1000000007u) + ".tmp";
  return (target.parent_path() / name).string();
}

}  // namespace

TSwAtomicFileStream::TSwAtomicFileStream(const WideString& fileName) : mFileName(fileName) {
  namespace fs = std::filesystem;
  mTargetPath = WideToUtf8(fileName);
  if (mTargetPath.empty()) {
    errno = ENOENT;
    RaiseSystemError("Cannot create file \"%s\". %s");
  }
  struct stat info;
  bool exists = ::stat(mTargetPath.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    if (S_ISDIR(info.st_mode)) {
      errno = EISDIR;
      RaiseSystemError("Cannot create file \"%s\". %s");
    }
    mDirect = true;
    mTempPath = mTargetPath;
    mHandle = ::open(mTargetPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (mHandle < 0) RaiseSystemError("Cannot create file \"%s\". %s");
    return;
  }
  std::error_code ignored;
  if (fs::is_symlink(mTargetPath, ignored) && exists) {
    fs::path resolved = fs::canonical(mTargetPath, ignored);
    if (!ignored) mTargetPath = resolved.string();
  }
  fs::path target(mTargetPath);
  for (int attempt = 0; attempt < 100 && mHandle < 0; ++attempt) {
    mTempPath = TempCandidate(target, attempt);
    // The process's umask applies as it does to any new file.
    mHandle = ::open(mTempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (mHandle < 0 && errno != EEXIST) break;
  }
  if (mHandle < 0) {
    mTempPath.clear();
    RaiseSystemError("Cannot create file \"%s\". %s");
  }
  // The replacement keeps the permissions of the file it replaces.
  if (exists) (void)::fchmod(mHandle, info.st_mode & 07777);
}

TSwAtomicFileStream::~TSwAtomicFileStream() { Discard(); }

void TSwAtomicFileStream::Discard() {
  if (mHandle >= 0) ::close(mHandle);
  mHandle = -1;
  if (!mDirect && !mCommitted && !mTempPath.empty()) ::unlink(mTempPath.c_str());
  mTempPath.clear();
}

void TSwAtomicFileStream::RaiseSystemError(const char* format) const {
  SwRaise<EFCreateError>(format, WideToUtf8(mFileName), std::strerror(errno));
}

void TSwAtomicFileStream::RequireOpen() const {
  if (mHandle < 0) SwRaise<EWriteError>("File \"%s\" is already closed.", WideToUtf8(mFileName));
}

int64_t TSwAtomicFileStream::Read(void* buffer, int64_t count) {
  RequireOpen();
  return SwReadFile(mHandle, buffer, count, mFileName);
}

int64_t TSwAtomicFileStream::Write(const void* buffer, int64_t count) {
  RequireOpen();
  TSwWorkMeter::Spend(count);  // a cancel request stops a long write, and the file goes
  return SwWriteFile(mHandle, buffer, count, mFileName);
}

int64_t TSwAtomicFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  RequireOpen();
  int whence = origin == TSeekOrigin::Beginning ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(mHandle, offset, whence);
  if (result >= 0) return result;
  result = ::lseek(mHandle, 0, SEEK_CUR);
  return result < 0 ? 0 : result;  // a pipe has no position
}

int64_t TSwAtomicFileStream::Size() {
  RequireOpen();
  struct stat info;
  return ::fstat(mHandle, &info) == 0 ? static_cast<int64_t>(info.st_size) : TStream::Size();
}

void TSwAtomicFileStream::SetSize(int64_t size) {
  RequireOpen();
  if (mDirect) return;  // a device or pipe has no size to set
  if (::ftruncate(mHandle, size) != 0)
    SwRaise<EWriteError>("Cannot set size of file \"%s\". %s", WideToUtf8(mFileName), std::strerror(errno));
  if (Position() > size) Seek(size, TSeekOrigin::Beginning);
}

void TSwAtomicFileStream::Commit() {
  RequireOpen();
  // Errors that the file system reports late (a full disk on a network share) come from fsync
  // or close; after a failed close the data cannot be trusted either.
  int handle = mHandle;
  mHandle = -1;
  bool ok = (mDirect || ::fsync(handle) == 0);
  int error = errno;
  if (::close(handle) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && !mDirect && ::rename(mTempPath.c_str(), mTargetPath.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    Discard();
    SwRaise<EWriteError>("Cannot write file \"%s\". %s", WideToUtf8(mFileName), std::strerror(error));
  }
  mCommitted = true;
  mTempPath.clear();
}

}  // namespace skeinwork
