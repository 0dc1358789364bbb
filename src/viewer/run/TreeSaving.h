// Writing the shown tree to a tree file. A tree file cannot refer to a stream, so a stream
// range is stored as its offset and length (what `skeinwork save` writes); the shown tree keeps
// its ranges, since it is copied for the file.
#pragma once

#include <QString>

#include <cstdint>

namespace skeinwork {
class TSwTreeNode;
}

namespace weftview {

// Writes the tree to the file (replaced only once complete), compressed on request; answers
// the number of ranges stored as offset and length. Raises the library's errors.
int64_t SaveTreeFile(skeinwork::TSwTreeNode* root, const QString& path, bool compressed);

}  // namespace weftview
