#include "NodeSearch.h"

#include "SwModelling.h"

namespace weftview {

using namespace skeinwork;

void NodeSearch::StartPath(TSwTreeNode* base, const WideString& expression) {
  End();
  auto finder = std::make_unique<TSwNodeFormulaFinder>();
  // [n] in the expression is the base node's index among its siblings.
  finder->SetN(base->IsRoot() ? -1 : base->IndexInParent());
  finder->Rewind(expression, base);
  mFinder = std::move(finder);
  mBase = base;
  mActive = true;
}

void NodeSearch::StartOffset(TSwTreeNode* base, const OffsetQuery& query, TSwmSlicer* slicer) {
  End();
  mBase = base;
  mQuery = query;
  mSlicer = slicer;
  mWalk.push_back({base, 0});
  mActive = true;
}

void NodeSearch::End() {
  mActive = mExhausted = false;
  mBase = nullptr;
  mFinder.reset();
  mWalk.clear();
  mSlicer = nullptr;
}

TSwTreeNode* NodeSearch::NextInTreeOrder() {
  while (!mWalk.empty()) {
    auto& [parent, next] = mWalk.back();
    if (next >= parent->ChildCount()) {
      mWalk.pop_back();
      continue;
    }
    TSwTreeNode* child = parent->Child(next++);
    mWalk.push_back({child, 0});
    return child;
  }
  return nullptr;
}

TSwTreeNode* NodeSearch::Next() {
  if (!mActive || mExhausted) return nullptr;
  TSwTreeNode* node = nullptr;
  if (mFinder) {
    if (!mFinder->TryNext(node)) node = nullptr;
  } else {
    while ((node = NextInTreeOrder()) && mSlicer && !RangesMatch(node, mQuery)) {
    }
  }
  if (!node) mExhausted = true;
  return node;
}

bool NodeSearch::RangesMatch(TSwTreeNode* node, const OffsetQuery& query) {
  auto holds = [&query](const TSwValue& value) {
    const int64_t start = TSwmSlicer::Start(value);
    if (start < 0) return false;
    if (query.Exact || TSwmSlicer::Length(value) == 0) return start == query.Offset;
    return start <= query.Offset && query.Offset < TSwmSlicer::End(value);
  };
  if (!query.Property.isEmpty()) {
    TSwValue value;
    return node->FindValue(query.Property.toStdU16String(), value) && holds(value);
  }
  for (int i = 0; i < node->PropertyCount(); ++i)
    if (holds(node->PropertyValue(i))) return true;
  return false;
}

}  // namespace weftview
