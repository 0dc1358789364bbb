// Result trees for the benchmarks: the shape and properties a modelling run builds.
#pragma once

#include <memory>

#include "SwNodes.h"

namespace skeinwork {

// `count` nodes under block parents of 1,000, each with six slices. With a stream object the
// slices are those of a modelling run; without one they are what the file keeps of them
// (offset and length, kinds ltInt | ltFrac | ltSlice).
inline std::unique_ptr<TSwTreeNode> BuildResultTree(int64_t count, TSwObject* stream) {
  static const TSwName names[] = {u"start", u"inner", u"end", u"startGlobal", u"innerGlobal", u"endGlobal"};
  auto root = std::make_unique<TSwTreeNode>(u"root");
  TSwTreeNode* parent = root.get();
  for (int64_t i = 0; i < count; ++i) {
    if (i % 1000 == 0) parent = root->AddChild(u"block");
    TSwTreeNode* node = parent->AddChild(u"chunk");
    for (int p = 0; p < 6; ++p) {
      TSwValue slice = TSwValue::OfSlice(i * 8 + p, 8, stream);
      if (!stream) slice.Kinds &= static_cast<TSwTypes>(~SwKind(ltObj));
      node->SetValue(names[p], slice);
    }
  }
  return root;
}

}  // namespace skeinwork
