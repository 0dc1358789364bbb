// Fuzzes the hand-written model text reader and the compiler of what it reads, including the
// compiled model's dump (what "illustrate" prints).
#include "FuzzSupport.h"
#include "ModelRun.h"
#include "SwModelling.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    TSwmCompiler compiler;
    SwFuzzCompileText(compiler, SwFuzzBytes(data, size));
    compiler.CollapseReferences = true;
    if (compiler.NodeCount() > 0) (void)compiler.DumpModel(0);
  });
}
