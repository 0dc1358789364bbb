// The slicer: the result tree of a run and the streams its ranges point into.
#include "SwmSlicer.h"

namespace skeinwork {

TSwmSlicer::TSwmSlicer() = default;

// The tree goes first: its nodes may still be watched by listeners that read their ranges.
TSwmSlicer::~TSwmSlicer() {
  mRoot.reset();
  mIndex.clear();
  mStreams.clear();
}

void TSwmSlicer::SetRoot(std::unique_ptr<TSwTreeNode> root) {
  mRoot = std::move(root);
}

TBufStream* TSwmSlicer::RegisterStream(TStream* stream, bool owned) { return CacheOf(AddStream(stream, owned)); }

void TSwmSlicer::RegisterStream(std::unique_ptr<TStream> stream) {
  if (!stream) SwRaise<EInvalidArgument>("%s cannot register a nil stream.", this);
  TStream* raw = stream.get();
  mStreams.push_back({raw, std::move(stream), nullptr});
}

void TSwmSlicer::IndexPending() const {
  // Earlier entries win: a stream registered twice keeps its first entry.
  for (; mIndexed < mStreams.size(); ++mIndexed) mIndex.try_emplace(mStreams[mIndexed].Stream, mIndexed);
}

size_t TSwmSlicer::AddStream(TStream* stream, bool owned) {
  if (!stream) SwRaise<EInvalidArgument>("%s cannot register a nil stream.", this);
  IndexPending();
  // A stream registered again keeps its first entry (and its first owner).
  auto [entry, added] = mIndex.try_emplace(stream, mStreams.size());
  if (!added) return entry->second;
  try {
    mStreams.push_back({stream, nullptr, nullptr});
  } catch (...) {
    mIndex.erase(entry);
    throw;
  }
  ++mIndexed;
  if (owned) mStreams.back().Owned.reset(stream);
  return entry->second;
}

TBufStream* TSwmSlicer::CacheOf(size_t entry) const {
  TRegistered& registered = mStreams[entry];
  if (!registered.Cache) {
    registered.Cache = std::make_unique<TBufStream>(registered.Stream, false);
    mIndex.emplace(registered.Cache.get(), entry);
  }
  return registered.Cache.get();
}

TBufStream* TSwmSlicer::Registered(const TSwObject* stream) const {
  IndexPending();
  auto it = mIndex.find(stream);
  return it == mIndex.end() ? nullptr : CacheOf(it->second);
}

int64_t TSwmSlicer::Start(const TSwValue& value) { return value.IsSlice() ? value.Int : -1; }
int64_t TSwmSlicer::Length(const TSwValue& value) { return value.IsSlice() ? static_cast<int64_t>(value.Frac) : -1; }
int64_t TSwmSlicer::End(const TSwValue& value) { return value.IsSlice() ? value.Int + static_cast<int64_t>(value.Frac) : -1; }

TBufStream* TSwmSlicer::PositionedStream(const TSwValue& value, int64_t* length) {
  if (!value.IsSlice()) SwRaise<ESwmPropWithoutStreamData>("Node property doesn't contain source stream data for %s.", this);
  TBufStream* stream = Registered(value.Obj);
  if (!stream)
    SwRaise<ESwmWrongPropStream>("%s doesn't contain stream %s referred to in a node property.", this, value.Obj);
  stream->Seek(Start(value), TSeekOrigin::Beginning);
  if (length) *length = Length(value);
  return stream;
}

std::unique_ptr<TSwRestrictedStream> TSwmSlicer::RestrictedStream(const TSwValue& value) {
  int64_t length = 0;
  TBufStream* stream = PositionedStream(value, &length);
  return std::make_unique<TSwRestrictedStream>(stream, length);
}

RawByteString TSwmSlicer::PropertyText(TSwTreeNode* node, const WideString& property, int64_t maxCount) {
  TSwValue found;
  if (!node || !node->FindValue(property, found) || !found.IsSlice()) return {};
  int64_t length = 0;
  TBufStream* stream = PositionedStream(found, &length);
  if (maxCount >= 0) length = std::min(length, maxCount);
  return stream->ReadAt(Start(found), std::max<int64_t>(length, 0));
}

RawByteString TSwmSlicer::Text(const WideString& pathSpec, int64_t maxCount) {
  size_t dollar = pathSpec.find(u'$');
  WideString path = pathSpec.substr(0, dollar);
  WideString property = dollar == WideString::npos ? mDefaultProperty : pathSpec.substr(dollar + 1);
  if (property.empty()) property = mDefaultProperty;
  TSwTreeNode* context = ContextNode();
  TSwTreeNode* node = context ? context->FirstOnPath(path) : nullptr;
  return PropertyText(node, property, maxCount);
}

RawByteString TSwmSlicer::ReadPropertyFrom(TStream& stream, TSwTreeNode* node, const WideString& property,
                                           int64_t maxCount) {
  int64_t saved = stream.Position();
  TSwmSlicer temporary;
  temporary.RegisterStream(&stream, false);
  RawByteString text;
  try {
    text = temporary.PropertyText(node, property, maxCount);
  } catch (...) {
    stream.Seek(saved, TSeekOrigin::Beginning);
    throw;
  }
  stream.Seek(saved, TSeekOrigin::Beginning);
  return text;
}

}  // namespace skeinwork
