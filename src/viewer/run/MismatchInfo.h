// The viewer's mismatch information: a wider window of input around a mismatch than the
// library's default, so that the failure page shows 640 bytes with the place in the middle.
#pragma once

#include "SwModelling.h"

namespace weftview {

class TMismatchInfo : public skeinwork::TSwMismatchInfo {
 public:
  static constexpr int64_t ViewerWindowSize = 640;
  int64_t WindowSize() const override { return ViewerWindowSize; }
};

// Attaches a TMismatchInfo to every mismatch made from now on, process-wide.
void InstallMismatchInfoHook();

}  // namespace weftview
