#include "TreeSaving.h"

#include <memory>
#include <vector>

#include "SwAtomicFile.h"
#include "SwNodes.h"
#include "SwStreamers.h"

namespace weftview {

using namespace skeinwork;

namespace {

// Gives the copy the node's properties, ranges without the stream they refer to.
int64_t CopyProperties(const TSwTreeNode& from, TSwTreeNode& to) {
  int64_t ranges = 0;
  for (int i = 0; i < from.PropertyCount(); ++i) {
    TSwValue value = from.PropertyValue(i);
    if (value.Has(ltObj) && value.IsSlice()) {
      value.Kinds = static_cast<TSwTypes>(value.Kinds & ~SwKind(ltObj));
      value.Obj = nullptr;
      ++ranges;
    }
    to.SetValue(from.PropertyName(i), value);
  }
  return ranges;
}

}  // namespace

int64_t SaveTreeFile(TSwTreeNode* root, const QString& path, bool compressed) {
  auto copy = std::make_unique<TSwTreeNode>(TSwName(root->Name()));
  int64_t ranges = CopyProperties(*root, *copy);
  std::vector<std::pair<const TSwTreeNode*, TSwTreeNode*>> pending{{root, copy.get()}};
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    for (int i = 0; i < from->ChildCount(); ++i) {
      const TSwTreeNode* child = from->Child(i);
      TSwTreeNode* copied = to->AddChild(TSwName(child->Name()));
      ranges += CopyProperties(*child, *copied);
      pending.push_back({child, copied});
    }
  }
  TSwAtomicFileStream file(path.toStdU16String());
  TSwBinaryStreamer streamer;
  if (compressed) streamer.Container().SetFlags(TStreamer::FlagCompressed | TStreamer::FlagChecksummed);
  streamer.Write(file, copy.get(), path.toStdU16String());
  file.Commit();
  return ranges;
}

}  // namespace weftview
