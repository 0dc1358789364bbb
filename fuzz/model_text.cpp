// Fuzzes modelling with a fuzzed model text: read by the hand-written reader, compiled, and run
// over a fixed small buffer of text and binary bytes. Passes that never move the input are
// allowed far fewer times than by default: each may add result nodes, and the default budget
// takes seconds and hundreds of megabytes to use up, which the fuzzer would report as a timeout.
#include <string_view>

#include "FuzzSupport.h"
#include "ModelRun.h"

using namespace skeinwork;

namespace {

constexpr char kDataBytes[] =
    "Skeinwork 0.79 | data\n[group]\nkey = value\r\n1,2,\"three\"\n\x00\x01\x02\xFF\xFE RIFF\x10\x00\x00\x00"
    "WAVEfmt \x89PNG\r\n\x1A\n  end\n";
constexpr std::string_view kData(kDataBytes, sizeof kDataBytes - 1);
constexpr int64_t kMaxStalledPasses = 10000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SwFuzzSetup();
  static const bool hooked = (SwInstallMismatchInfoHook(), true);
  (void)hooked;
  return SwFuzzRun([&] {
    TSwmCompiler compiler;
    compiler.MaxStalledPasses = kMaxStalledPasses;
    SwFuzzCompileText(compiler, SwFuzzBytes(data, size));
    SwFuzzModell(compiler, kData);
  });
}
