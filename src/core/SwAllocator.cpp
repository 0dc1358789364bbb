#include "SwAllocator.h"

#if SKEINWORK_JEMALLOC
#include <jemalloc/jemalloc.h>

#include <cstdint>

// The heap keeps the kernel's page size: asking for huge pages made each fresh 2 MiB cost a
// zeroing, and often a compaction, that outweighed the TLB misses saved (a large run spent
// more time in the kernel than in modelling, and every thread of `check` paid it at start).

namespace skeinwork {

size_t SwHeapBytesInUse() {
  // Statistics are snapshots taken when the epoch advances.
  uint64_t epoch = 1;
  size_t size = sizeof epoch;
  mallctl("epoch", &epoch, &size, &epoch, size);
  size_t allocated = 0;
  size = sizeof allocated;
  if (mallctl("stats.allocated", &allocated, &size, nullptr, 0) != 0) return 0;
  return allocated;
}

const char* SwAllocatorName() { return "jemalloc"; }

}  // namespace skeinwork

#else
#include <malloc.h>

namespace skeinwork {

size_t SwHeapBytesInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

const char* SwAllocatorName() { return "system"; }

}  // namespace skeinwork
#endif
