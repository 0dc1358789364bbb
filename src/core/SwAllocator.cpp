#include "SwAllocator.h"

#if SKEINWORK_JEMALLOC
#include <jemalloc/jemalloc.h>

#include <cstdint>

// Read by jemalloc when it starts. Huge pages for the heap and jemalloc's own metadata; the
// kernel's setting "madvise" is enough for them.
extern "C" {
const char* malloc_conf = "thp:always,metadata_thp:auto";
}

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
