// NodeSearch: the main window's search, one match at a time. A path search walks the nodes a
// path expression names below a base node; an offset search walks the nodes below the base in
// tree order (depth first, parents before children) and accepts a node when one of its range
// properties (or the named one) holds the offset: start <= offset < end, or start == offset for
// an empty range; with the exact flag the start must equal the offset. Without a slicer every
// node is accepted. The search holds node pointers: end it when the tree's structure changes.
#pragma once

#include <memory>
#include <vector>

#include "SearchAnswers.h"
#include "SwNodes.h"

namespace skeinwork {
class TSwmSlicer;
}

namespace weftview {

class NodeSearch {
 public:
  // Raises the library's error for an expression it cannot read.
  void StartPath(skeinwork::TSwTreeNode* base, const skeinwork::WideString& expression);
  void StartOffset(skeinwork::TSwTreeNode* base, const OffsetQuery& query, skeinwork::TSwmSlicer* slicer);
  void End();

  bool Active() const { return mActive; }
  bool Exhausted() const { return mExhausted; }
  skeinwork::TSwTreeNode* Base() const { return mBase; }
  // The next match, or null when none is left (the search is then exhausted). Raises the
  // library's error when a path expression fails while walking.
  skeinwork::TSwTreeNode* Next();

  // Whether a node's ranges hold the offset as the query asks.
  static bool RangesMatch(skeinwork::TSwTreeNode* node, const OffsetQuery& query);

 private:
  skeinwork::TSwTreeNode* NextInTreeOrder();

  bool mActive = false;
  bool mExhausted = false;
  skeinwork::TSwTreeNode* mBase = nullptr;
  std::unique_ptr<skeinwork::TSwNodeFormulaFinder> mFinder;  // path searches
  OffsetQuery mQuery;
  skeinwork::TSwmSlicer* mSlicer = nullptr;
  // Offset searches: the parents being walked and the next child's index in each.
  std::vector<std::pair<skeinwork::TSwTreeNode*, int>> mWalk;
};

}  // namespace weftview
