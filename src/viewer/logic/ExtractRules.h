// The rules of the data extraction window that need no widget: which nodes a path names, the
// texts that say so, the paths the window starts with and when extracting is allowed.
#pragma once

#include <QString>

#include <functional>

namespace skeinwork {
class TSwTreeNode;
}  // namespace skeinwork

namespace weftview {

// The matches of a path below a base node, counted up to a bound so that a path over a tree of
// millions of nodes answers while the user types.
struct PathMatches {
  int Count = 0;
  bool MoreThanCounted = false;  // counting stopped at the bound
  skeinwork::TSwTreeNode* First = nullptr;  // the first match, when it has the path's property
  skeinwork::TSwTreeNode* FirstNode = nullptr;  // the first match, with or without it
};

// The most matches a path is counted to while the user edits it.
inline constexpr int kMatchCountBound = 10000;

// The path without its trailing "\" and "/".
QString SearchPath(const QString& text);
// Searches `path` (already trimmed) below `base`. The first match counts only when it has the
// path's property (else the count is 0); a path the finder cannot read counts 0.
PathMatches FindPathMatches(skeinwork::TSwTreeNode* base, const QString& path, int bound = kMatchCountBound);

// "Empty path.", "N matching node(s) found." or "More than N matching nodes found.".
QString DataMatchText(const QString& path, const PathMatches& matches);
// What the name path finds from the data node (`hasDataNode` false: there is none).
QString NameMatchText(bool hasDataNode, const QString& path, const PathMatches& matches, const QString& foundPath);

// A node's path from the root with "\" separators, and "$start" when its inner range is empty.
QString NodeSearchPath(const skeinwork::TSwTreeNode* node, const skeinwork::TSwTreeNode* root);
// "." and the name of the node's sibling called "name" (else "Name"), with "$start" when that
// sibling's inner range is empty; empty when there is none.
QString SiblingNamePath(const skeinwork::TSwTreeNode* node);

// Extracting needs data matches, a destination and a format holding "?".
bool ExtractAllowed(int dataCount, const QString& destination, const QString& format);
// The nearest existing directory at or above `destination` (empty: none).
QString NearestExistingDirectory(const QString& destination, const std::function<bool(const QString&)>& isDirectory);

}  // namespace weftview
