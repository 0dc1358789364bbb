// Whole reads and writes on a file descriptor, shared by the file streams of the core.
#pragma once

#include <cstdint>

#include "SwCore.h"

namespace skeinwork {

// Reads up to `count` bytes, fewer only at the end of the file; a failing read raises EReadError
// naming the file and the reason, since it is not the end of the file.
int64_t SwReadFile(int handle, void* buffer, int64_t count, const WideString& fileName);
// Writes all `count` bytes; a failing write raises EWriteError with the reason (a full disk, a
// file size limit), which is worth more than a short count.
int64_t SwWriteFile(int handle, const void* buffer, int64_t count, const WideString& fileName);

}  // namespace skeinwork
