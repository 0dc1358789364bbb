// SwModelling: the modelling engine.
//
// A model is indented text, one item per line. The model text readers turn it into a model
// description tree: TSwTreeNode items nested by indentation, each carrying the item's settings
// as properties ("source", "mPath", "mCond", "mOrder", "mIs...", "mMergesL", "mMergesR").
// Start from TSwmNativeStreamer to read a model text, or from SwmReadBuiltinModel to read one of
// the two models the library carries (SWMMODEL, the model language; SWMSCRIPT, the script file
// format). TSwmCompiler compiles a description tree into numbered model nodes (resolving
// inheritance and merges) and runs it over input with Modell, which returns a TSwmSlicer that
// owns the result tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <atomic>
#include <unordered_map>

#include "BufStream.h"
#include "RPNit.h"
#include "SwCore.h"
#include "SwExpressions.h"
#include "SwNodes.h"
#include "SwStreamers.h"

namespace skeinwork {

// =============================================================================================
// Model description text readers

// One entry of a merge list: the name of a merged item.
struct TSwStreamingMerge {
  WideString name;
  bool isNonConsuming = false;  // written with "..." after the name
};
using TSwStreamingMerges = std::vector<TSwStreamingMerge>;

// The settings of one model line, filled by a reader and turned into one description node.
struct TSwmLineItem {
  bool isResetter = false;
  bool isOptional = false;
  bool isTentative = false;
  bool isOnce = false;
  bool isOffContext = false;
  bool isInheriting = false;
  bool isPrepending = false;
  bool isNonConsuming = false;
  int32_t order = 0;  // 0 when not given
  WideString name;
  WideString path;
  WideString cond;
  TSwValue source;  // line index (ltInt, from 0) with the source name (ltStr)
  int32_t indent = 0;  // in levels of two spaces
  TSwStreamingMerges leftMerges;
  TSwStreamingMerges rightMerges;

  void Clear() { *this = TSwmLineItem(); }
};

// The text of a merge list property: entries separated by U+0000, each trimmed and with a "."
// in front when non-consuming.
WideString SwmEncodeMerges(const TSwStreamingMerges& merges);

// "source:LINE" (line counted from 1) for a "source" value; a value without a line index reads
// as its text.
WideString SwmSourceText(const TSwValue& source);

// Base of the model text readers: keeps the indentation state and turns the filled line record
// into a node of the description tree. The root of the tree has no name; the caller of Read
// owns it. A read stops at the first bad line with ESwBadTextStreaming.
class TSwmTextStreamer : public TSwLineStreamer {
 public:
  explicit TSwmTextStreamer(TSwTreeNode* root = nullptr);

  const TSwmLineItem& Item() const { return mItem; }

 protected:
  // Starts a new description tree, then reads the text.
  void DoRead() override;
  // Clears the line record; a reader overrides it to fill the record and call AddItem.
  bool ReadLine() override;
  // Checks the record's indentation, attaches its node under the right parent and writes the
  // properties.
  void AddItem();

  // Both readers name a quoted-name item after the tail of its path made of letters, digits
  // and "_"; raises when the path ends with none of them.
  WideString NameFromPath(const WideString& path) const;
  [[noreturn]] void RaisePathTwice() const;
  // Raises the parse error about the current line with a problem text formatted from an
  // English format (translated first).
  template <class... A>
  [[noreturn]] void ParseError(std::string_view englishFormat, const A&... args) const {
    TextError(SwFormat(SwTranslate(englishFormat), args...));
  }

  // Whether upper-casing the text changes it.
  static bool HasLowerCase(std::u16string_view text);

  TSwmLineItem mItem;
  WideString mRest;  // what is left of the line being parsed
  int mPreviousIndent = -1;
  TSwTreeNode* mLastAdded = nullptr;  // not owned; the root before the first item
};

// The hand-written reader of the model language; reads the built-in models, among others.
class TSwmNativeStreamer : public TSwmTextStreamer {
 public:
  using TSwmTextStreamer::TSwmTextStreamer;

 protected:
  bool ReadLine() override;

 private:
  void ParsePrefix();
  std::vector<WideString> ParseNames();
  void ParsePath();
  void InterpretNames(std::vector<WideString>& entries);
  WideString TakeWord();
};

// The self-hosted reader: parses a model text by running the built-in model of the model
// language (SWMMODEL) over it, and builds the same description tree as the native reader.
class TSwmModellingStreamer : public TSwmTextStreamer {
 public:
  using TSwmTextStreamer::TSwmTextStreamer;

 protected:
  void DoRead() override;

 private:
  // Adds the source name, file line and text of the line a failed run stopped in to the error.
  void LocateFailedLine(ESkeinwork& error);
};

// =============================================================================================
// Built-in models

SW_EXCEPTION(ESwmNoBuiltinModel, ESkeinwork);

// The whole text of a built-in model resource by its name ("SWMMODEL", "SWMSCRIPT"), compared
// without regard to case; raises ESwmNoBuiltinModel for another name.
std::string_view SwBuiltinModelText(std::u16string_view name);

// The part of a resource text that holds the model: after the first "==" + line feed within
// the first 1024 bytes when the text starts with "Skeinwork " and a digit, else all of it.
std::string_view SwmModelTextOf(std::string_view resource);

// Reads a built-in model with TSwmNativeStreamer into a description tree the caller owns; the
// resource name (upper case) is the source name of its items.
std::unique_ptr<TSwTreeNode> SwmReadBuiltinModel(std::u16string_view name);

// =============================================================================================
// Compiled models

SW_EXCEPTION(ESwmCompiling, ESkeinwork);
SW_EXCEPTION(ESwmDoubleCompile, ESwmCompiling);
SW_EXCEPTION(ESwmNoNodeInfo, ESwmCompiling);
SW_EXCEPTION(ESwmEmptyNegatedCondition, ESwmCompiling);
SW_EXCEPTION(ESwmUnknownCondition, ESwmCompiling);

class TSimpatPattern;
class TSwmCompiler;
class TSwmNode;
class TSwmNodeInfo;
class TSwmSlicer;
struct TSwmProps;

using TSwmIdArray = std::vector<int32_t>;

struct TSwmCondition {
  bool Negated = false;
  TRpnScalar Operand;                         // as the condition class prepared it
  const TSwConditionClass* Class = nullptr;  // none: the node always matches
};

// The node classes the item names select; a class knows whether its nodes are END-like and
// makes the run's node objects.
struct TSwmNodeClass : TSwClassInfo {
  bool (*IsEnd)(const TSwmProps& props) = nullptr;
  std::unique_ptr<TSwmNode> (*Create)(TSwmCompiler& compiler, TSwmNode* parent, const TSwmNodeInfo& info) = nullptr;
};

// The compiled record of one model node.
struct TSwmProps {
  bool mIsResetter = false;
  bool mIsOptional = false;
  bool mIsTentative = false;
  bool mIsOnce = false;
  bool mIsOffContext = false;
  bool mIsInheriting = false;
  bool mIsPrepending = false;
  bool mIsNonConsuming = false;
  WideString Name;
  WideString Path;  // the result path, or the message of FAIL and WARN
  TSwmCondition Condition;
  const TSwmNodeClass* NodeClass = nullptr;
  int32_t ID = -1;
  int32_t ParentID = -1;
  TSwmIdArray ChildIDs;  // in run order
  TSwValue Source;       // line index and source name, or the text "implicit"
  int32_t Order = 0;     // 0: unordered
};

// One compiled node: its record, the description node it came from and what its children imply.
class TSwmNodeInfo : public TSwObject {
 public:
  TSwmProps Props;
  TSwTreeNode* Description = nullptr;  // not owned
  bool HasOrderedChildren = false;
  bool HasEndChild = false;
  bool AllChildrenEnd = false;
  bool HasOnceChildren = false;
};

// Item name -> node class; names it does not know give TSwmNode.
class TSwmNodeClassList : public TSwClassList {
 public:
  const TSwmNodeClass* ClassFor(const WideString& name) const;
};
TSwmNodeClassList& SwmGlobalNodeClasses();

// =============================================================================================
// Modelling runs

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
SW_EXCEPTION(ESwmSlicer, ESkeinwork);
SW_EXCEPTION(ESwmWrongPropStream, ESwmSlicer);
SW_EXCEPTION(ESwmPropWithoutStreamData, ESwmSlicer);

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

// Trace events of the child loop (see TSwmCompiler::TraceHook).
enum class TSwmTraceEvent : int { Eligibility = 0, Condition = 1, Modelled = 2, ResultNode = 3, Reset = 4 };
// `number` carries the event's number (eligibility -1/0/1, the iteration before a reset), `error`
// the mismatch of a condition or a modelled child, `result` the result node of event 3.
using TSwmTraceHook =
    TMethod<void(TSwmNode* node, TSwmTraceEvent event, int64_t number, const ESkeinwork* error, TSwTreeNode* result)>;
// Called now and then with the outermost stream's position and size.
using TSwmProgressHook = TMethod<void(int64_t position, int64_t size)>;

// Compiles a model description and runs it over input, one run at a time.
class TSwmCompiler : public TSwObject {
 public:
  static constexpr int MaxNestingDepth = 4096;
  static constexpr int64_t DefaultMaxStalledPasses = 1000000;

  TSwmCompiler();
  ~TSwmCompiler() override;

  TSwOptions Options;
  // What the model's expressions may do with files; each run starts from a copy of it.
  TSwFileAccess FileAccess;
  TSwConditions* OwnConditions = nullptr;       // not owned; none: the global table
  TSwmNodeClassList* OwnNodeClasses = nullptr;  // not owned; none: the global list
  bool CollapseReferences = false;              // DumpModel shows every shared node once

  // The compiler's copy of the global function table; external routines are added here.
  TSwFunctions& Functions() { return mFunctions; }
  const TSwConditions& Conditions() const;

  // Compiles once; the caller keeps the description tree.
  void Compile(TSwTreeNode* descriptionRoot);
  int NodeCount() const { return static_cast<int>(mNodes.size()); }
  // The compiled node with this ID, or null for an empty entry.
  const TSwmNodeInfo* Node(int32_t id) const;
  TSwTreeNode* CurrentDescription() const { return mCurrentDescription; }
  void SetCurrentDescription(TSwTreeNode* node) { mCurrentDescription = node; }

  // The compiled model from an ID as a tree; as a child of `parent` when given.
  TSwTreeNode* DumpModel(int32_t id, TSwTreeNode* parent);
  std::unique_ptr<TSwTreeNode> DumpModel(int32_t id);

  // Reads a built-in model ("Model" or "Script": SWMMODEL, SWMSCRIPT) and compiles it.
  static std::unique_ptr<TSwmCompiler> LoadBuiltinModel(std::u16string_view name);

  // ---- run side

  // Models the input from its current position; the caller owns the slicer and keeps the input.
  std::unique_ptr<TSwmSlicer> Modell(TStream& input);
  bool Modelling() const { return mRun != nullptr; }
  TSwmSlicer& Slicer() const;
  TStream* CurrentStream() const;
  TStream* OutermostStream() const;
  // Puts a stream in front of the input stack; the run owns it from now on.
  void PushStream(std::unique_ptr<TStream> stream);

  // The stream a mismatch being made refers to: while the run turns a recorded failure into
  // its exception, the failure's stream (positioned at the failure); otherwise the current one.
  TStream* MismatchStream() const;

  TSwmTraceHook TraceHook;
  TSwmProgressHook ProgressHook;
  // Consecutive passes of one node that may leave the input where it was before the run ends.
  int64_t MaxStalledPasses = DefaultMaxStalledPasses;
  // The most result nodes a run may make besides the root; 0 for no limit.
  int64_t MaxResultNodes = 0;
  // The work a run may do (TSwWorkMeter units: passes of child loops, bytes that expressions
  // read or make and that patterns scan far ahead) before it ends with ESwWorkLimit.
  int64_t MaxWork = TSwWorkMeter::DefaultLimit;
  // With it, a failed run attaches a TSwmPartialResult to the raised exception.
  bool KeepPartialResult = false;
  // Thread-safe; the run notices it at its next pass or inside expression work and ends with
  // ESwmCancelled.
  void RequestCancel() { mCancel.store(true, std::memory_order_relaxed); }

  // "'name' source (ID n)" for a model node, as messages show it.
  static std::string DescribeNode(const TSwmNode* node);
  // "@position b y t e s" of the stream at its position, as messages show the input.
  static std::string DescribeInput(TStream* stream);

 private:
  friend class TSwmNode;
  friend class TSwmRoot;
  friend class TSwmLine;
  friend class TSwmMergeMachine;
  struct TRun;

  TSwmNodeInfo* NewInfo();

  TSwFunctions mFunctions;
  TSwTreeNode* mCurrentDescription = nullptr;  // not owned
  std::vector<std::unique_ptr<TSwmNodeInfo>> mInfos;  // owned, every info made while compiling
  std::vector<TSwmNodeInfo*> mNodes;  // by ID; null where the merge removed a node
  bool mCompiled = false;
  std::unique_ptr<TRun> mRun;  // the run state; set only inside Modell
  std::atomic<bool> mCancel{false};
};

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
  bool IsEndLike() const { return mProps->NodeClass->IsEnd(*mProps); }

 protected:
  friend class TSwmCompiler;
  struct TFailure;

  // Sets the result node: found or made at the path, or the parent's.
  virtual void CreateResultNode(TSwTreeNode* parentResult);
  // Models the node; false with the failure filled when it did not fit.
  virtual bool Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure);
  virtual void Finish(bool succeeded);

  bool RunChildLoop(TFailure& failure);
  bool TestCondition(TFailure& failure);
  // The common operators ("=", "_", "x", "%", "? eof") tested straight on the stream, with the
  // same outcome as through the expression layer; false when this condition needs that layer.
  bool FastTest(TStream& stream, bool& value);
  void PrepareFastTest();
  void WriteResultProperties();
  // Range properties the result node gets: start and inner, and end with an END child; each
  // local and global.
  int RangeSliceCount() const { return mInfo->HasEndChild ? 6 : 4; }
  void MakeChildren();

  TSwmCompiler& mCompiler;
  TSwmNode* mParent;
  const TSwmNodeInfo* mInfo;
  const TSwmProps* mProps;
  std::vector<std::unique_ptr<TSwmNode>> mChildren;  // owned; made on the first visit
  bool mChildrenMade = false;
  bool mUsed = false;
  bool mOwnsResult = false;
  int32_t mIteration = 0;
  int32_t mIndex = 0;
  int32_t mMatched = -1;
  int mDepth = 0;
  enum class TFastKind : uint8_t { Unknown, Slow, Exact, Spaces, Pattern, Eof };
  TFastKind mFastKind = TFastKind::Unknown;
  RawByteString mFastBytes;                      // the literal of "=", "_" and "x"
  std::unique_ptr<TSimpatPattern> mFastPattern;  // the pattern of "%"
  std::unique_ptr<TSwCondExpression> mConditionTest;  // made once, restarted for each test
  RawByteString mFastEoln;                       // the line break as bytes, for "%"
  // Where "%" is known to fail: at every position in (mFailsFrom, mFailsTo] of mFailsStream, as
  // long as no failed line stream has been freed since (mFailsEpoch), whose address may return.
  TStream* mFailsStream = nullptr;
  int64_t mFailsFrom = 0, mFailsTo = 0, mFailsEpoch = 0;
  TSwTreeNode* mResult = nullptr;  // not owned
  // Finds or makes the result node; one per model node, so that it parses the path once.
  std::unique_ptr<TSwNodeFormulaFinder> mPathFinder;
  TSwmRange mStart, mInner, mEnd;
};

class TSwmRoot : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;
  static const TSwmNodeClass* Class();

 protected:
  void CreateResultNode(TSwTreeNode* parentResult) override;
  void Finish(bool succeeded) override;
};

class TSwmEnd : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;
  static const TSwmNodeClass* Class();
  static bool IsEnd(const TSwmProps&) { return true; }
};

// FAIL and WARN: report their message through the error routine, then model like any node,
// without a result node of their own.
class TSwmUserMessage : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;
  static bool IsEnd(const TSwmProps& props) { return props.ChildIDs.empty(); }

 protected:
  void CreateResultNode(TSwTreeNode* parentResult) override;
  bool Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) override;
  virtual std::unique_ptr<ESwmUserMessage> CreateMessage() = 0;
};

class TSwmFail : public TSwmUserMessage {
 public:
  using TSwmUserMessage::TSwmUserMessage;
  static const TSwmNodeClass* Class();

 protected:
  std::unique_ptr<ESwmUserMessage> CreateMessage() override;
};

class TSwmWarn : public TSwmUserMessage {
 public:
  using TSwmUserMessage::TSwmUserMessage;
  static const TSwmNodeClass* Class();

 protected:
  std::unique_ptr<ESwmUserMessage> CreateMessage() override;
};

// Models one line of the current stream as a stream of its own.
class TSwmLine : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;
  static const TSwmNodeClass* Class();

 protected:
  bool Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) override;
};

// =============================================================================================
// Slicers

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

// =============================================================================================
// Mismatch information

// Where a stream stood when an error was made, with the bytes around that place, so that the
// place can be shown after the run and its streams are gone.
struct TSwSourcePos {
  WideString Source;         // the file name, "<ClassWithoutT>", or "<unknown>" without a stream
  int64_t Position = 0;      // reading position when the error was made
  int64_t Size = 0;          // the stream's size
  RawByteString Excerpt;     // at most the window size of bytes around the position
  int64_t ExcerptStart = 0;  // stream offset of the excerpt's first byte
};

// The input around a mismatch: the stream being read and, when the run had switched to another
// stream (a LINE, a converted input), its first input as well. Made by the hook that
// SwInstallMismatchInfoHook installs and attached to the exception as its object.
class TSwMismatchInfo : public TSwObject {
 public:
  static constexpr int64_t DefaultWindowSize = 576;

  // Bytes kept around the position; a host's subclass may show more.
  virtual int64_t WindowSize() const { return DefaultWindowSize; }
  int64_t BytesBefore() const { return WindowSize() / 2; }

  // Fills Current from `current` and, when `global` is another stream, Global from it. Each
  // stream is left at the position it had.
  void Capture(TStream* current, TStream* global);
  // Fills one record from a stream (null: source "<unknown>") with this object's window.
  void FillSourcePos(TSwSourcePos& pos, TStream* stream) const;

  bool HasGlobal() const { return !Global.Source.empty(); }

  TSwSourcePos Current;
  TSwSourcePos Global;  // empty when the current stream was the run's first input
};

// Makes the (sub)class of mismatch information a host wants.
using TSwMismatchInfoFactory = std::unique_ptr<TSwMismatchInfo> (*)();

// Sets the process-wide exception hook to one that attaches mismatch information to every
// ESwmMismatch (and descendant) made from now on, from the active run of the creating thread
// (see SwmActiveCompiler); a null factory makes TSwMismatchInfo. Replaces any hook set before.
void SwInstallMismatchInfoHook(TSwMismatchInfoFactory factory = nullptr);
// Clears the exception hook again.
void SwRemoveMismatchInfoHook();
// The mismatch information an exception carries, directly or inside a partial result; null
// when it has none.
TSwMismatchInfo* SwMismatchInfoOf(const ESkeinwork& error);

}  // namespace skeinwork
