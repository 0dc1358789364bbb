// The answers a user types into the find and highlight boxes, read without widgets: the offset
// search's "[prop] [=] offset [junk]" and the highlight colours' name masks.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace weftview {

// What a "Find node by offset" answer asks for.
struct OffsetQuery {
  QString Property;  // empty: every range property of a node
  bool Exact = false;
  int64_t Offset = 0;
  bool operator==(const OffsetQuery&) const = default;
};

// Reads "start 885", "= 144h", "end = $1ff", "0x00405AAC" and the like; nullopt when the
// number is not one.
std::optional<OffsetQuery> ParseOffsetAnswer(const QString& answer);

// Whether a wildcard mask matches the whole name: "*" any run of characters, "+" a non-empty
// run, "?" one character, anything else itself with letter case significant.
bool MaskMatches(QStringView mask, QStringView name);

// The highlight colours in the order of the menu, and their masks. Entries keep the order in
// which they were first added; the first entry with a matching mask colours a name.
class HighlightList {
 public:
  enum Colour { Red, Orange, Blue, Green };
  static constexpr int kColourCount = 4;
  static const char* ColourName(Colour colour);
  // The colour as red-green-blue, 0xRRGGBB.
  static uint32_t ColourRgb(Colour colour);

  // The colour's masks as they were entered, empty when it has no entry.
  QString Masks(Colour colour) const;
  bool HasEntry(Colour colour) const { return !Masks(colour).isEmpty(); }
  // Stores a box's answer: trimmed; empty removes the colour's entry, else replaces or adds it.
  void Set(Colour colour, const QString& answer);
  void Clear() { mEntries.clear(); }
  bool IsEmpty() const { return mEntries.isEmpty(); }
  // The colour of a name, nullopt when no entry matches.
  std::optional<Colour> ColourOf(QStringView name) const;

 private:
  struct Entry {
    Colour Shade;
    QString Masks;
    QStringList Pieces;  // the masks between "|", empty ones left out
  };
  QList<Entry> mEntries;
};

}  // namespace weftview
