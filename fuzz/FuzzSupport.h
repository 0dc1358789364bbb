// What the fuzz programs share: process set-up, splitting an input in two, and the rule that
// the system's own errors are the expected end of a bad input. Any other exception escapes
// LLVMFuzzerTestOneInput and ends the process, so the fuzzer records it as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "SwCore.h"
#include "SwExpressions.h"

namespace skeinwork {

// Takes the debugger break ("int3") out of the global function registry; every model compiler
// copies the registry as it stands. Runs once. The file functions ("load", "save") stay, and the
// programs run fuzzed text with a refusing file-access policy, so that they never touch files.
inline void SwFuzzSetup() {
  static const bool done = [] {
    TSwFunctions& global = SwGlobalFunctions();
    TSwFunctions safe;
    for (const WideString& name : global.Names()) {
      if (name == u"int3") continue;
      if (const auto* handlers = global.Handlers(name))
        for (const TSwFuncHandler& handler : *handlers) safe.Register(name, handler);
    }
    global = safe;
    return true;
  }();
  (void)done;
}

inline std::string_view SwFuzzBytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input split at its first zero byte: (before, after); without one, all of it and nothing.
inline std::pair<std::string_view, std::string_view> SwFuzzSplit(std::string_view input) {
  size_t zero = input.find('\0');
  if (zero == std::string_view::npos) return {input, {}};
  return {input.substr(0, zero), input.substr(zero + 1)};
}

// Runs one input; the system's own errors are expected outcomes of bad input.
template <class F>
int SwFuzzRun(F action) {
  SwFuzzSetup();
  try {
    action();
  } catch (const ESkeinwork&) {
  }
  return 0;
}

}  // namespace skeinwork
