// Fuzzes compiling a simple pattern and matching it, over memory and over a stream. The input
// is the pattern, a zero byte, then the bytes to match.
#include "FuzzSupport.h"
#include "Simpat.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    auto [pattern, subject] = SwFuzzSplit(SwFuzzBytes(data, size));
    TSimpatPattern compiled(pattern);
    (void)compiled.Match(subject, "\r\n");
    TStringStream stream(subject);
    (void)compiled.Match(stream, "\n");
    (void)SimpatMatchBytes(pattern, subject, "");
  });
}
