// The part of the modelling fuzz programs that runs a compiled model over bytes and then reads
// the result the way a caller does: every node's ranges through the slicer.
#pragma once

#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "SwModelling.h"

namespace skeinwork {

inline void SwFuzzModell(TSwmCompiler& compiler, std::string_view input) {
  constexpr int kMaxNodes = 10000;
  TStringStream stream(input);
  std::unique_ptr<TSwmSlicer> slicer = compiler.Modell(stream);
  std::vector<TSwTreeNode*> pending{slicer->Root()};
  for (int visited = 0; !pending.empty() && visited < kMaxNodes; ++visited) {
    TSwTreeNode* node = pending.back();
    pending.pop_back();
    for (const char16_t* property : {u"startGlobal", u"innerGlobal", u"endGlobal"})
      (void)slicer->PropertyText(node, property, 64);
    for (int i = 0; i < node->ChildCount(); ++i) pending.push_back(node->Child(i));
  }
}

}  // namespace skeinwork
