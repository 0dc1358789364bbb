// SwmRun: a compiled model applied to input.
//
// The run's errors, its partial result, and TSwmNode, the model node of a run, which routines
// registered with the compiler meet through their expression context.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwExpressions.h"
#include "SwNodes.h"
#include "SwmCompiler.h"
#include "SwmSlicer.h"

namespace skeinwork {

class TSimpatPattern;

SW_EXCEPTION(ESwmMismatch, ESkeinwork);
SW_EXCEPTION(ESwmNoMatchingNode, ESwmMismatch);
SW_EXCEPTION(ESwmBadConditionResultType, ESwmMismatch);
SW_EXCEPTION(ESwmConditionMismatch, ESwmMismatch);
SW_EXCEPTION(ESwmOrderedConditionMismatch, ESwmMismatch);
SW_EXCEPTION(ESwmUserMessage, ESwmMismatch);
SW_EXCEPTION(ESwmError, ESwmUserMessage);
SW_EXCEPTION(ESwmWarning, ESwmUserMessage);
// A model that nests deeper than the run allows, or passes that never move the input.
SW_EXCEPTION(ESwmRunawayModel, ESwmMismatch);
SW_EXCEPTION(ESwmResultNodeLimit, ESwmRunawayModel);
SW_EXCEPTION(ESwmModelling, ESkeinwork);
SW_EXCEPTION(ESwmAlreadyModelling, ESwmModelling);
SW_EXCEPTION(ESwmInputLeft, ESwmModelling);
// A run that moved past the end of its input (a skip by a size the data does not have).
SW_EXCEPTION(ESwmInputOverrun, ESwmModelling);
SW_EXCEPTION(ESwmOriginalInputLost, ESwmModelling);
SW_EXCEPTION(ESwmNoModellingSlicer, ESwmModelling);
SW_EXCEPTION(ESwmCancelled, ESwmModelling);

// A range of a stream: where a node's parts lie.
struct TSwmRange {
  int64_t Offset = 0;
  int64_t Length = 0;
  TStream* Stream = nullptr;
};

// What a failed run leaves for a caller that asked for partial results: attached to the raised
// exception as its object.
class TSwmPartialResult : public TSwObject {
 public:
  std::unique_ptr<TSwmSlicer> Slicer;  // every result node complete when the error came up
  std::string FailedNode;              // the description of the model node that failed
  int64_t FailureOffset = -1;          // in the outermost stream
  // The object the exception carried before (the mismatch information), owned.
  std::unique_ptr<TSwObject> Information;
};

// The compiler whose run is active on this thread (the innermost when runs nest), or null.
TSwmCompiler* SwmActiveCompiler();
// The class of END items; the compiler gives it to the END it adds where a model has none.
const TSwmNodeClass* SwmEndClass();

// One model node of a run. Made when the parent is modelled and reused for later visits.
class TSwmNode : public TSwObject, public TSwExprModelNode {
 public:
  TSwmNode(TSwmCompiler& compiler, TSwmNode* parent, const TSwmNodeInfo& info);
  ~TSwmNode() override;
  static const TSwmNodeClass* Class();
  static bool IsEnd(const TSwmProps& props);

  int32_t ParentIteration() const override { return mParent ? mParent->mIteration : 0; }
  const WideString& ResultPath() const override { return mProps->Path; }

  TSwmCompiler& Compiler() const { return mCompiler; }
  TSwmNode* Parent() const { return mParent; }
  const TSwmProps& Props() const { return *mProps; }
  const TSwmNodeInfo& Info() const { return *mInfo; }
  TSwTreeNode* ResultNode() const { return mResult; }
  bool OwnsResult() const { return mOwnsResult; }
  int32_t Iteration() const { return mIteration; }
  int32_t Index() const { return mIndex; }
  int32_t Matched() const { return mMatched; }
  const TSwmRange& Start() const { return mStart; }
  const TSwmRange& Inner() const { return mInner; }
  const TSwmRange& End() const { return mEnd; }
  bool IsEndLike() const { return mEndLike; }

 protected:
  friend class TSwmCompiler;
  struct TFailure;

  // Sets the result node: found or made at the path, or the parent's.
  virtual void CreateResultNode(TSwTreeNode* parentResult);
  // Models the node; false with the failure filled when it did not fit.
  virtual bool Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure);
  virtual void Finish(bool succeeded);

  bool RunChildLoop(TFailure& failure);
  // Whether the condition holds at the stream's position; a failed fast test leaves the stream
  // where it was.
  enum class TTestOutcome : uint8_t { Holds, Fails, FailsInPlace };
  TTestOutcome TestCondition(TStream& current, int64_t position);
  // The kinds of condition that TestCondition leaves to these: the rarer fast tests, and the
  // condition evaluated as an expression where no fast test decides it.
  TTestOutcome TestUncommonCondition(TStream& current, int64_t position);
  [[gnu::noinline]] TTestOutcome TestByExpression(TStream& current);
  // Whether a failed condition ends the loop (an ordered node that is not optional).
  bool ConditionFailureRemains() const { return mFailureRemains; }
  void SetConditionFailure(TFailure& failure, TStream* stream);
  // The common operators ("=", "_", "x", "%", "? eof") are tested straight on the stream, with
  // the same outcome as through the expression layer; this finds the condition's kind.
  void PrepareFastTest();
  // "NAME$PROPERTY toint skip": skips by the number a sibling's range holds; false where the
  // expression layer must decide (and report) instead.
  bool FastSkipBy(TStream& stream);
  // "%" and "=" (with "x") tested straight on the stream.
  TTestOutcome FastPatternTest(TStream& current, int64_t position);
  TTestOutcome FastExactTest(TStream& current, int64_t position);
  // The outcome of a fast test whose operator gave `value`: a match moves the stream.
  TTestOutcome Outcome(bool value) const {
    if (value != mFastNegated) return TTestOutcome::Holds;
    return value ? TTestOutcome::Fails : TTestOutcome::FailsInPlace;
  }
  void WriteResultProperties();
  void MakeChildren();
  // What Modell leaves in a bare node (see mBare), done by the loop in its place.
  void ModellBare(TSwTreeNode* parentResult, const TSwmRange& start, TStream* current) {
    mResult = parentResult;
    mOwnsResult = false;
    mStart = start;
    mInner = {current->Position(), 0, current};
    mEnd = {};
    mIteration = 0;
    mIndex = 0;
    mMatched = -1;
  }

  TSwmCompiler& mCompiler;
  TSwmNode* mParent;
  const TSwmNodeInfo* mInfo;
  const TSwmProps* mProps;
  std::vector<std::unique_ptr<TSwmNode>> mChildren;  // owned; made on the first visit
  bool mChildrenMade = false;
  bool mUsed = false;
  bool mOwnsResult = false;
  // A node that modelling leaves as it found it but for its own fields: of a class that models
  // the plain way, without children, without a path (no result node of its own), not too deep.
  bool mBare = false;
  int32_t mIteration = 0;
  int32_t mIndex = 0;
  int32_t mMatched = -1;
  int mDepth = 0;
  // Read from the props once, asked on every pass: what the node class says of them, whether a
  // failed condition ends the loop (an ordered node that is not optional), and whether the node
  // may be tried on every pass (neither once nor ordered).
  const bool mEndLike, mFailureRemains, mAlwaysEligible;
  enum class TFastKind : uint8_t { Unknown, None, Slow, Exact, Spaces, Pattern, Eof, SkipBy };
  TFastKind mFastKind = TFastKind::Unknown;
  bool mFastNegated = false;  // the condition's "!", read with the kind
  RawByteString mFastBytes;                      // the literal of "=", "_" and "x"
  std::unique_ptr<TSimpatPattern> mFastPattern;  // the pattern of "%"
  const std::array<bool, 256>* mFastFirstBytes = nullptr;  // the bytes its matches start with
  std::unique_ptr<TSwCondExpression> mConditionTest;  // made once, restarted for each test
  RawByteString mFastEoln;                       // the line break as bytes, for "%"
  TSwName mSkipByNode, mSkipByProperty;          // NAME (empty: the parent's node) and PROPERTY
  // Where "%" is known to fail: at every position in (mFailsFrom, mFailsTo] of mFailsStream, as
  // long as no failed line stream has been freed since (mFailsEpoch), whose address may return.
  TStream* mFailsStream = nullptr;
  int64_t mFailsFrom = 0, mFailsTo = 0, mFailsEpoch = 0;
  TSwTreeNode* mResult = nullptr;  // not owned
  // Finds or makes the result node; one per model node, so that it parses the path once.
  std::unique_ptr<TSwNodeFormulaFinder> mPathFinder;
  // Most result paths are "name" or "name[n]", which need no finder: read on the first visit.
  enum class TPathForm : uint8_t { Unread, Simple, General };
  TPathForm mPathForm = TPathForm::Unread;
  TSwSimpleNodePath mSimplePath;
  TSwmRange mStart, mInner, mEnd;
};

}  // namespace skeinwork
