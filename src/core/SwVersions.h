// SwVersions: library and script versions, and lists of version conditions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SwObject.h"

namespace skeinwork {

// Versions: major in the high byte, minor in the low byte.

using TSwVersion = uint16_t;
inline constexpr TSwVersion SwLibraryVersion = 0x004F;  // 0.79

constexpr TSwVersion SwMakeVersion(int major, int minor) {
  return static_cast<TSwVersion>(((major & 0xFF) << 8) | (minor & 0xFF));
}
TSwVersion SwParseVersion(std::string_view text);
std::string SwVersionText(TSwVersion version);

// Operators of version conditions, in their stored order.
enum class TSwVersionOp : uint8_t { Greater, GreaterEqual, Less, LessEqual, Equal, NotEqual };
inline constexpr int SwMaxVersionConditions = 256;

class TSwVersions : public TSwObject {
 public:
  struct TCondition {
    uint8_t Op;
    TSwVersion Version;
  };

  // Whether `tested` stands in relation `op` to `operand`; op must be 0..5.
  static bool Compare(uint8_t op, TSwVersion tested, TSwVersion operand);
  static const char* OpSymbol(uint8_t op);

  void Add(uint8_t op, TSwVersion version);
  void Clear() { mConditions.clear(); }
  bool IsEmpty() const { return mConditions.empty(); }
  bool Matches(TSwVersion version) const;
  bool MatchesLibrary() const { return Matches(SwLibraryVersion); }
  // "[>= 0.79 < 1.0]", or empty text for an empty list.
  std::string Text() const;
  const std::vector<TCondition>& Conditions() const { return mConditions; }

 private:
  std::vector<TCondition> mConditions;
};

}  // namespace skeinwork
