// Fuzzes modelling data with the example scripts. The first input byte picks the script and
// the line break; the rest is the data. The scripts are loaded and compiled once. As for fuzzed
// models, passes that never move the input are allowed far fewer times than by default: a BMP
// of width 0 makes the example's row loop stall, and the default budget takes seconds to use up.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "FuzzSupport.h"
#include "ModelRun.h"
#include "SwScript.h"

using namespace skeinwork;

namespace {

std::vector<std::unique_ptr<TSwmCompiler>> LoadExamples() {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(SKEINWORK_EXAMPLES_DIR))
    if (entry.path().extension() == ".sw") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<std::unique_ptr<TSwmCompiler>> compilers;
  for (const auto& path : paths) {
    try {
      TFileStream file(Utf8ToWide(path.string()), TFileMode::OpenRead);
      TSwScript script;
      script.Load(file);
      compilers.push_back(script.CompileModel());
      compilers.back()->FileAccess = TSwFileAccess::Refusing();
    } catch (const ESkeinwork& error) {
      std::fprintf(stderr, "Cannot load %s: %s\n", path.string().c_str(), error.what());
      std::abort();
    }
  }
  if (compilers.empty()) {
    std::fprintf(stderr, "No example scripts in %s\n", SKEINWORK_EXAMPLES_DIR);
    std::abort();
  }
  return compilers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SwFuzzSetup();
  static const bool hooked = (SwInstallMismatchInfoHook(), true);
  static std::vector<std::unique_ptr<TSwmCompiler>> compilers = LoadExamples();
  (void)hooked;
  if (size == 0) return 0;
  TSwmCompiler& compiler = *compilers[data[0] % compilers.size()];
  compiler.MaxStalledPasses = 10000;
  compiler.Options.Eoln = (data[0] / compilers.size()) % 2 ? WideString(u"\r\n") : WideString(1, u'\n');
  return SwFuzzRun([&] { SwFuzzModell(compiler, SwFuzzBytes(data + 1, size - 1)); });
}
