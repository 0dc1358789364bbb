// What the modelling fuzz programs share: compiling a model text, and running a compiled model
// over bytes and then reading the result the way a caller does: every node's ranges through the
// slicer.
#pragma once

#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "SwModelling.h"

namespace skeinwork {

// Reads a model text with the hand-written reader and compiles it; lines end in LF.
inline void SwFuzzCompileText(TSwmCompiler& compiler, std::string_view text) {
  TStringStream stream(text);
  TSwmNativeStreamer reader;
  reader.Options.Codepage = 65001;
  std::unique_ptr<TSwTreeNode> description = reader.Read(stream, u"fuzz");
  compiler.Options.Eoln = WideString(1, u'\n');
  compiler.FileAccess = TSwFileAccess::Refusing();
  compiler.Compile(description.get());
  compiler.SetCurrentDescription(nullptr);
}

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
