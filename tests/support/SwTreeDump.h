// Pictures of trees for the test programs to compare.
#pragma once

#include <functional>
#include <string>

#include "SwNodes.h"

namespace skeinwork {

// How a node is shown: its name unless a test says otherwise.
using TNodeLabel = std::function<std::string(const TSwTreeNode&)>;

inline std::string NodeName(const TSwTreeNode& node) { return WideToUtf8(node.Name()); }

// How DumpTree writes a tree; the defaults give "root(a(x y) b)".
struct TDumpStyle {
  TNodeLabel Label = NodeName;
  std::string Open = "(";
  std::string Separator = " ";
  std::string Close = ")";
};

std::string DumpTree(const TSwTreeNode* node, const TDumpStyle& style = {});

// The children of `node`, each with everything below it, one after another.
inline std::string DumpChildren(const TSwTreeNode* node, const TDumpStyle& style = {}) {
  std::string out;
  for (int i = 0; i < node->ChildCount(); ++i) out += (i ? style.Separator : "") + DumpTree(node->Child(i), style);
  return out;
}

// A node and everything below it on one line: its label, then any children in brackets.
inline std::string DumpTree(const TSwTreeNode* node, const TDumpStyle& style) {
  std::string out = style.Label(*node);
  if (node->ChildCount()) out += style.Open + DumpChildren(node, style) + style.Close;
  return out;
}

// Every node below `node`, one line each, indented by two blanks per level from `depth`.
inline std::string DumpLines(const TSwTreeNode* node, const TNodeLabel& label, int depth = 0) {
  std::string out;
  for (int i = 0; i < node->ChildCount(); ++i) {
    out += std::string(depth * 2, ' ') + label(*node->Child(i)) + "\n";
    out += DumpLines(node->Child(i), label, depth + 1);
  }
  return out;
}

}  // namespace skeinwork
