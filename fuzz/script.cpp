// Fuzzes loading a script file from bytes, then what a caller reads of a loaded script: its
// text, its option values and its chosen model, compiled.
#include "FuzzSupport.h"
#include "SwScript.h"

using namespace skeinwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return SwFuzzRun([&] {
    TStringStream stream(SwFuzzBytes(data, size));
    TSwScript script;
    script.Load(stream, u"fuzz.sw");
    (void)script.Text();
    (void)script.EncodedText();
    if (auto* options = dynamic_cast<TSwOptionSection*>(script.TryByKey(lsOptions))) (void)options->Values().Groups();
    if (script.TryChosenModel()) (void)script.CompileModel();
  });
}
