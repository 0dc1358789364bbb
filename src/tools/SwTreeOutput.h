// SwTreeOutput: the two ways the command-line program prints a tree.
//
// SwWriteTextTree prints one line per node for people: the name, the node's range in the input
// and a short preview of its bytes. SwWriteJsonTree prints the exact, stable JSON form
//   {"name": S, "props": {NAME: VALUE, ...}, "children": [NODE, ...]}
// with properties in the bag's order. Both walk the tree iteratively (a deep tree needs no deep
// stack) and write straight into one large buffer that goes to the std::ostream in big pieces:
// a tree of millions of nodes is hundreds of megabytes of text, which piecewise stream
// insertion and per-node temporary strings would make slower to print than to build.
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

// Copies at most maxCount bytes of a range of a stream into `buffer` and answers how many it
// copied (the slicer does it for a modelling result); an empty function means no previews.
using TSwRangeReader = std::function<int64_t(TSwObject* stream, int64_t offset, char* buffer, int64_t maxCount)>;

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

// Which forms of a node's ranges the JSON tree holds. A placed node has each of its ranges
// twice: "start", "inner" and "end" in the stream the node was read from, and "startGlobal",
// "innerGlobal" and "endGlobal" in the run's first input. Outside nested streams the two are the
// same numbers.
enum class TSwJsonRanges {
  All,     // every property
  Local,   // no Global range that equals its local counterpart (same offset and length)
  Global,  // no local range that equals its Global counterpart
};

struct TSwJsonTreeOptions {
  TSwJsonRanges Ranges = TSwJsonRanges::All;
};

// The tree in JSON, followed by a line break. A range is left out only when its counterpart
// is present and equal, so a reader restores it by taking the counterpart's numbers.
void SwWriteJsonTree(std::ostream& out, TSwTreeNode* root, const TSwJsonTreeOptions& options = {});

}  // namespace skeinwork
