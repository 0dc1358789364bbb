// Fuzzes the self-hosted model text reader, which runs the built-in model of the model
// language over the text.
#include "FuzzSupport.h"
#include "SwModelling.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    TStringStream stream(SwFuzzBytes(data, size));
    TSwmModellingStreamer reader;
    reader.Options.Codepage = 65001;
    (void)reader.Read(stream, u"fuzz");
  });
}
