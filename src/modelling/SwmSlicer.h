// SwmSlicer: the outcome of a modelling run.
//
// TSwmSlicer owns a result tree and the streams its range properties refer to, and reads the
// bytes of those ranges.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "BufStream.h"
#include "SwCore.h"
#include "SwNodes.h"

namespace skeinwork {

SW_EXCEPTION(ESwmSlicer, ESkeinwork);
SW_EXCEPTION(ESwmWrongPropStream, ESwmSlicer);
SW_EXCEPTION(ESwmPropWithoutStreamData, ESwmSlicer);

// The outcome of a run: owns the result tree and the streams its ranges refer to, and reads
// the bytes of those ranges.
class TSwmSlicer : public TSwObject {
 public:
  TSwmSlicer();
  ~TSwmSlicer() override;

  void SetRoot(std::unique_ptr<TSwTreeNode> root);
  TSwTreeNode* Root() const { return mRoot.get(); }
  void SetContextNode(TSwTreeNode* node) { mContext = node; }  // none: the root
  TSwTreeNode* ContextNode() const { return mContext ? mContext : mRoot.get(); }
  void SetDefaultProperty(const WideString& name) { mDefaultProperty = name.empty() ? u"innerGlobal" : name; }
  const WideString& DefaultProperty() const { return mDefaultProperty; }

  // Registers a stream that properties may refer to; returns its cache.
  TBufStream* RegisterStream(TStream* stream, bool owned);
  // Takes a stream the run made (a line); its cache is made when first asked for.
  void RegisterStream(std::unique_ptr<TStream> stream);
  int StreamCount() const { return static_cast<int>(mStreams.size()); }
  // Gives back the room kept for streams to come, once a run has handed over its last.
  void ShrinkToFit() { mStreams.shrink_to_fit(); }
  // The cache of a registered stream, or null.
  TBufStream* Registered(const TSwObject* stream) const;

  // Offset, length and end of a property's range; -1 when it is not a stream range.
  static int64_t Start(const TSwValue& value);
  static int64_t Length(const TSwValue& value);
  static int64_t End(const TSwValue& value);

  // The bytes of a node's property range, at most `maxCount` (-1: all); empty when the node or
  // property is missing or is not a range.
  RawByteString PropertyText(TSwTreeNode* node, const WideString& property, int64_t maxCount = -1);
  // The bytes named by "path$property" relative to the context node (default property when no "$").
  RawByteString Text(const WideString& pathSpec, int64_t maxCount = -1);
  // The cached stream of a range positioned at its start, with the range's length.
  TBufStream* PositionedStream(const TSwValue& value, int64_t* length);
  // A read-only window over exactly the range; the caller owns it.
  std::unique_ptr<TSwRestrictedStream> RestrictedStream(const TSwValue& value);
  // Reads a node's property text straight from a stream, leaving its position as it was.
  static RawByteString ReadPropertyFrom(TStream& stream, TSwTreeNode* node, const WideString& property,
                                        int64_t maxCount = -1);

 private:
  struct TRegistered {
    TStream* Stream;
    std::unique_ptr<TStream> Owned;
    std::unique_ptr<TBufStream> Cache;  // made on first use: most line streams are never read again
  };
  size_t AddStream(TStream* stream, bool owned);
  TBufStream* CacheOf(size_t entry) const;
  void IndexPending() const;

  mutable std::vector<TRegistered> mStreams;
  // Stream (or its cache) -> its entry. A run hands over one stream per line, which joins the
  // index only when a look-up needs it: entries from mIndexed on are not in it yet.
  mutable std::unordered_map<const TSwObject*, size_t> mIndex;
  mutable size_t mIndexed = 0;
  std::unique_ptr<TSwTreeNode> mRoot;
  TSwTreeNode* mContext = nullptr;
  WideString mDefaultProperty = u"innerGlobal";
};

}  // namespace skeinwork
