#include "MismatchInfo.h"

namespace weftview {

void InstallMismatchInfoHook() {
  skeinwork::SwInstallMismatchInfoHook(
      []() -> std::unique_ptr<skeinwork::TSwMismatchInfo> { return std::make_unique<TMismatchInfo>(); });
}

}  // namespace weftview
