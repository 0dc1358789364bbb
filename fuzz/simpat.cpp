// Fuzzes compiling a simple pattern and matching it, over memory and over a stream. The input
// is the pattern, a zero byte, then the bytes to match. The bytes that a pattern says its
// matches start with are checked against the match over memory.
#include <array>
#include <cstdlib>

#include "FuzzSupport.h"
#include "Simpat.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    auto [pattern, subject] = SwFuzzSplit(SwFuzzBytes(data, size));
    TSimpatPattern compiled(pattern);
    const int64_t matched = compiled.Match(subject, "\r\n");
    // A match never starts with a byte that the pattern's first bytes leave out, nor at the end.
    if (const std::array<bool, 256>* first = compiled.FirstBytes();
        first && matched >= 0 && (subject.empty() || !(*first)[static_cast<uint8_t>(subject[0])]))
      std::abort();
    TStringStream stream(subject);
    (void)compiled.Match(stream, "\n");
    (void)SimpatMatchBytes(pattern, subject, "");
  });
}
