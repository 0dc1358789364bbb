// SwTreeOutput: the two ways the command-line program prints a tree.
//
// SwWriteTextTree prints one line per node for people: the name, the node's range in the input
// and a short preview of its bytes. SwWriteJsonTree prints the exact, stable JSON form
//   {"name": S, "props": {NAME: VALUE, ...}, "children": [NODE, ...]}
// with properties in the bag's order. Both stream to an std::ostream as they walk the tree
// (iteratively, so that neither a deep tree nor a tree of millions of nodes needs more than a
// line's worth of memory beyond the tree itself).
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "SwNodes.h"

namespace skeinwork {

// Whether a value is a range of a stream: a live slice, or the offset/length pair that a saved
// tree keeps (ltInt, ltFrac and ltSlice without ltObj).
bool SwIsRangeValue(const TSwValue& value);

// The part of the input a node covers: from the lowest offset to the highest end among its
// "startGlobal", "innerGlobal" and "endGlobal" ranges (or "start", "inner", "end" when the node
// has no global ones). Stream is the stream of the first range found (null for a saved tree).
struct TSwNodeExtent {
  int64_t Start = -1;
  int64_t End = -1;
  TSwObject* Stream = nullptr;
  bool IsEmpty() const { return Start < 0; }
  int64_t Length() const { return End - Start; }
};
TSwNodeExtent SwNodeExtent(TSwTreeNode* node);

// Reads at most maxCount bytes of a range of a stream (the slicer does it for a modelling
// result); an empty function means no previews.
using TSwRangeReader = std::function<RawByteString(TSwObject* stream, int64_t offset, int64_t maxCount)>;

struct TSwTextTreeOptions {
  int PreviewBytes = 24;  // bytes shown in the preview; 0 turns previews off
};

// «  name  0010..0024  20  "preview"»: two spaces per depth, "<unnamed>" for an empty name, the
// range as hexadecimal start and end offsets (at least four digits) and the decimal length.
void SwWriteTextTree(std::ostream& out, TSwTreeNode* root, const TSwRangeReader& reader = {},
                     const TSwTextTreeOptions& options = {});

// The JSON form of a value: {"offset": N, "length": N} for a range, else an object holding the
// forms the value has among "str", "raw" (upper-case hex), "bool", "int", "frac", "obj" (class
// name).
std::string SwJsonValue(const TSwValue& value);
// The same written to `out` piece by piece, so that a large text or raw value is never held
// twice in memory.
void SwWriteJsonValue(std::ostream& out, const TSwValue& value);

// The tree in JSON, followed by a line break.
void SwWriteJsonTree(std::ostream& out, TSwTreeNode* root);

}  // namespace skeinwork
