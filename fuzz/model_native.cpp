// Fuzzes the hand-written model text reader and the compiler of what it reads, including the
// compiled model's dump (what "illustrate" prints).
#include "FuzzSupport.h"
#include "SwModelling.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    TStringStream stream(SwFuzzBytes(data, size));
    TSwmNativeStreamer reader;
    reader.Options.Codepage = 65001;
    std::unique_ptr<TSwTreeNode> description = reader.Read(stream, u"fuzz");
    TSwmCompiler compiler;
    compiler.Options.Eoln = WideString(1, u'\n');
    compiler.Compile(description.get());
    compiler.SetCurrentDescription(nullptr);
    compiler.CollapseReferences = true;
    if (compiler.NodeCount() > 0) (void)compiler.DumpModel(0);
  });
}
