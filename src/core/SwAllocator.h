// The allocator the programs run on, and what it reports.
//
// A result tree is millions of small nodes made in one go. On fresh memory, faulting in 4 KiB
// pages one by one costs more than building the nodes, so the programs (the command line, the
// benchmarks) link jemalloc with transparent huge pages when it is available: link the target
// skeinwork::allocator into a program to get it. Libraries stay neutral and use plain new.
#pragma once

#include <cstddef>

namespace skeinwork {

// Bytes the program's heap holds for live allocations now.
size_t SwHeapBytesInUse();

// The allocator's name: "jemalloc" or "system".
const char* SwAllocatorName();

}  // namespace skeinwork
