// The modelling run: a compiled model applied to input, producing a result tree.
#include <algorithm>
#include <atomic>
#include <climits>
#include <typeinfo>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define SKEINWORK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SKEINWORK_ASAN 1
#endif
#endif
#ifdef SKEINWORK_ASAN
#include <sanitizer/asan_interface.h>
#endif

#include "Simpat.h"
#include "StrConv.h"
#include "SwmRun.h"
#include "SwmTextReader.h"

namespace skeinwork {

namespace {

// Result nodes made by the active run on this thread are logged here, so that a failed
// alternative can take back exactly the nodes it made (in any pass of any descendant) and no
// node that existed before it.
thread_local std::vector<TSwTreeNode*>* tCreatedLog = nullptr;

// The compiler whose run is active on this thread, so that the exception hook can find the
// streams a mismatch refers to.
thread_local TSwmCompiler* tActiveCompiler = nullptr;

// Where a stream stood in the whole input while result nodes were written in it: a range at
// offset o of `Stream` lies at o + `Base` of the block's outermost stream, the input. The base
// is the sum of the positions of the streams behind `Stream` on the stack, which do not move
// while `Stream` is above them, so every node written there shares one record.
struct TSwmRangeBase {
  TSwObject* Stream;
  int64_t Base;
};

// A run makes a range base for each line, so they come in blocks of one page, counted by the
// nodes that use their records (nodes may outlive the run) and by the run while it fills them.
// A record finds its block by its address.
struct alignas(4096) TSwmRangeBaseBlock {
  static constexpr int Capacity = (4096 - 16) / sizeof(TSwmRangeBase);

  explicit TSwmRangeBaseBlock(TSwObject* outermost) : Outermost(outermost) {}
  static TSwmRangeBaseBlock* Of(const TSwmRangeBase* record) {
    return reinterpret_cast<TSwmRangeBaseBlock*>(reinterpret_cast<uintptr_t>(record) & ~uintptr_t(4095));
  }
  void Share() { Refs.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  std::atomic<int64_t> Refs{1};
  TSwObject* Outermost;
  TSwmRangeBase Records[Capacity];
};
static_assert(sizeof(TSwmRangeBaseBlock) == 4096);

// Where offset 0 of `stream` lies in the outermost stream: the positions of every stream behind
// it on the stack added up. Mostly it is the top of the stack.
int64_t GlobalBase(const std::vector<TStream*>& streams, const TStream* stream) {
  if (streams.empty()) return 0;
  auto it = streams.end() - 1;
  if (*it != stream) {
    it = std::find(streams.begin(), streams.end(), stream);
    if (it == streams.end()) return 0;
  }
  int64_t base = 0;
  for (auto behind = streams.begin(); behind != it; ++behind) base += (*behind)->Position();
  return base;
}

// The run's block of range bases being filled.
class TSwmRangeBases {
 public:
  TSwmRangeBases() = default;
  TSwmRangeBases(const TSwmRangeBases&) = delete;
  TSwmRangeBases& operator=(const TSwmRangeBases&) = delete;
  ~TSwmRangeBases() {
    if (mBlock) mBlock->Release();
  }

  // The record for ranges in `stream` as the run's stack stands now, its block counted once more
  // for the caller. The streams behind the top of the stack stand still while it is on top, so
  // the top's record holds until the stack changes: a stream pushed or taken off changes its top
  // or depth, and a stream's address comes back only after a failed line was freed (counted in
  // `linesFreed`).
  const TSwmRangeBase* Share(TStream* stream, const std::vector<TStream*>& streams, int64_t linesFreed) {
    if (mTopRecord && stream == mTopRecord->Stream && streams.size() == mTopDepth && linesFreed == mTopLinesFreed) {
      mBlock->Share();
      return mTopRecord;
    }
    const TSwmRangeBase* record = ShareRecord(stream, streams.front(), GlobalBase(streams, stream));
    if (stream == streams.back()) {
      mTopRecord = record;
      mTopDepth = streams.size();
      mTopLinesFreed = linesFreed;
    }
    return record;
  }

 private:
  // The last few records are looked at first: the nodes written in the stream behind a line
  // after it find theirs there.
  const TSwmRangeBase* ShareRecord(TSwObject* stream, TSwObject* outermost, int64_t base) {
    if (mBlock && mBlock->Outermost == outermost)
      for (int i = mUsed - 1; i >= 0 && i >= mUsed - 4; --i) {
        const TSwmRangeBase& record = mBlock->Records[i];
        if (record.Stream == stream && record.Base == base) {
          mBlock->Share();
          return &record;
        }
      }
    if (!mBlock || mUsed == TSwmRangeBaseBlock::Capacity || mBlock->Outermost != outermost) {
      auto* made = new TSwmRangeBaseBlock(outermost);
      if (mBlock) mBlock->Release();
      mBlock = made;
      mUsed = 0;
      mTopRecord = nullptr;  // it lived in the block let go
    }
    TSwmRangeBase& record = mBlock->Records[mUsed++];
    record = {stream, base};
    mBlock->Share();
    return &record;
  }

  TSwmRangeBaseBlock* mBlock = nullptr;  // one count held
  int mUsed = 0;
  // The record of the top of the stack, in mBlock, and the stack it was found for.
  const TSwmRangeBase* mTopRecord = nullptr;
  size_t mTopDepth = 0;
  int64_t mTopLinesFreed = 0;
};

// The names of a result node's ranges in name order, interned before any node packs its ranges
// (a look-up by name finds only interned names).
enum TSwmRangeName { rnEnd, rnEndGlobal, rnInner, rnInnerGlobal, rnStart, rnStartGlobal };
const TSwName kRangeNames[6] = {u"end", u"endGlobal", u"inner", u"innerGlobal", u"start", u"startGlobal"};

// Where result nodes live: blocks of 64 KiB, each filled by one thread from front to back, so
// that a node costs a pointer bump instead of an allocator call, and a run's rollback, which
// frees its newest nodes first, takes the room back. A block counts the bytes it has yet to
// hand out and those of its living nodes (freed from any thread), plus one while a thread fills
// it; it goes when the count reaches none.
class TSwmNodeBlock {
 public:
  static constexpr size_t kBytes = 64 * 1024;

  // Room for a node of `size` bytes from this thread's block.
  static void* Allocate(size_t size) {
    TSwmNodeBlock* block = tFilling;
    if (!block || static_cast<size_t>(block->mEnd - block->mTop) < size) block = StartBlock();
    char* node = block->mTop;
    block->mTop += size;
    MarkUsable(node, size, true);
    return node;
  }

  static void Free(void* node, size_t size) {
    auto* block = reinterpret_cast<TSwmNodeBlock*>(reinterpret_cast<uintptr_t>(node) & ~uintptr_t(kBytes - 1));
    MarkUsable(node, size, false);
    if (block == tFilling && static_cast<char*>(node) + size == block->mTop) {
      block->mTop = static_cast<char*>(node);  // the newest node: its room is handed out again
      return;
    }
    block->Release(static_cast<int64_t>(size));
  }

 private:
  TSwmNodeBlock() {
    mTop = reinterpret_cast<char*>(this) + (sizeof(TSwmNodeBlock) + 15) / 16 * 16;
    mEnd = reinterpret_cast<char*>(this) + kBytes;
    mCount.store(mEnd - mTop + 1, std::memory_order_relaxed);
    MarkUsable(mTop, static_cast<size_t>(mEnd - mTop), false);
  }

  void Release(int64_t count) {
    if (mCount.fetch_sub(count, std::memory_order_acq_rel) == count) {
      MarkUsable(this, kBytes, true);
      this->~TSwmNodeBlock();
      ::operator delete(this, std::align_val_t(kBytes));
    }
  }

  static TSwmNodeBlock* StartBlock() {
    // Made with the thread's first block: at the thread's end it leaves the last one.
    static thread_local struct TLeaveAtExit {
      ~TLeaveAtExit() { Leave(); }
    } leaveAtExit;
    (void)leaveAtExit;
    Leave();
    tFilling = new (::operator new(kBytes, std::align_val_t(kBytes))) TSwmNodeBlock;
    return tFilling;
  }

  // The thread stops filling its block: the room not handed out no longer counts.
  static void Leave() {
    if (TSwmNodeBlock* block = std::exchange(tFilling, nullptr)) block->Release(block->mEnd - block->mTop + 1);
  }

  // Marks room the block has not handed out, or that a freed node left, as unreadable for
  // AddressSanitizer, and room handed out as usable again.
  static void MarkUsable(void* memory, size_t size, bool usable) {
#ifdef SKEINWORK_ASAN
    if (usable) ASAN_UNPOISON_MEMORY_REGION(memory, size);
    else ASAN_POISON_MEMORY_REGION(memory, size);
#else
    (void)memory, (void)size, (void)usable;
#endif
  }

  std::atomic<int64_t> mCount{0};
  char* mTop;  // where the next node goes; only the filling thread moves it
  char* mEnd;
  static thread_local TSwmNodeBlock* tFilling;  // this thread's block, null before the first
};
thread_local TSwmNodeBlock* TSwmNodeBlock::tFilling = nullptr;

// The nodes of a result tree: a tree node whose children the active run logs. It keeps its
// ranges packed (the start offset, then 32-bit lengths and distances from it) with a shared
// base record, and derives the six range properties from them, the "Global" ones included;
// ranges that do not fit go to the node's property store instead. 80 bytes.
class TSwmResultNode final : public TSwTreeNode {
 public:
  static std::unique_ptr<TSwmResultNode> Make(TSwName name) {
    return std::unique_ptr<TSwmResultNode>(new TSwmResultNode(name));
  }

  ~TSwmResultNode() override {
    FreeSubtreeAndDetach();  // whoever hears of it still reads the ranges
    DropPackedSlices();
  }
  static void* operator new(size_t size) { return TSwmNodeBlock::Allocate(size); }
  static void operator delete(void* node, size_t size) { TSwmNodeBlock::Free(node, size); }

  // The node as a result node that can pack these ranges; null when it is another kind of node,
  // keeps properties otherwise, or has packed ranges of the other shape, which the new ones
  // would not all replace.
  static TSwmResultNode* Packable(TSwTreeNode* node, bool withEnd) {
    if (typeid(*node) != typeid(TSwmResultNode)) return nullptr;
    auto* result = static_cast<TSwmResultNode*>(node);
    if (result->HasBagOrBlock() || (result->Base() && result->WithEnd() != withEnd)) return nullptr;
    return result;
  }

  // Replaces the packed ranges, with the base record for `stream` (all three ranges lie there);
  // false, changing nothing, when a length or a distance does not fit 32 bits or the end range
  // does not start where the inner range ends (where the child loop puts it). A node that gets
  // its ranges for the first time is finished and most likely has all its children: much room
  // kept for more goes back (once per node, so that a node a path finds again and again does
  // not copy its list each time).
  bool Pack(const TSwmRange& start, const TSwmRange& inner, const TSwmRange* end, TSwmRangeBases& bases,
            const std::vector<TStream*>& streams, int64_t linesFreed) {
    auto fits = [](int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; };
    const int64_t innerDelta = inner.Offset - start.Offset;
    if (!fits(start.Length) || !fits(inner.Length) || !fits(innerDelta)) return false;
    if (end && (end->Offset != inner.Offset + inner.Length || !fits(end->Length))) return false;
    if (Base()) DropPackedSlices();
    else if (TSwTreeNodeChildren* children = ChildrenIfAny()) children->ShrinkIfWasteful();
    const TSwmRangeBase* base = bases.Share(start.Stream, streams, linesFreed);
    mBase = reinterpret_cast<uintptr_t>(base) | (end ? 1 : 0);
    mOrigin = start.Offset;
    mStartLength = static_cast<int32_t>(start.Length);
    mInnerDelta = static_cast<int32_t>(innerDelta);
    mInnerLength = static_cast<int32_t>(inner.Length);
    mEndLength = end ? static_cast<int32_t>(end->Length) : 0;
    return true;
  }

 protected:
  std::unique_ptr<TSwTreeNode> CreateChild(TSwName name) const override {
    auto child = Make(name);
    if (tCreatedLog) tCreatedLog->push_back(child.get());
    return child;
  }

  int PackedSliceCount() const override { return Base() ? (WithEnd() ? 6 : 4) : 0; }
  TSwName PackedSliceName(int index) const override { return kRangeNames[NameIndex(index)]; }
  TSwValue PackedSliceValue(int index) const override {
    const int name = NameIndex(index);
    int64_t offset = mOrigin, length = mStartLength;
    if (name < 2) {
      offset += static_cast<int64_t>(mInnerDelta) + mInnerLength;
      length = mEndLength;
    } else if (name < 4) {
      offset += mInnerDelta;
      length = mInnerLength;
    }
    const TSwmRangeBase* base = Base();
    if (name % 2 == 0) return TSwValue::OfSlice(offset, length, base->Stream);
    return TSwValue::OfSlice(offset + base->Base, length, TSwmRangeBaseBlock::Of(base)->Outermost);
  }
  void DropPackedSlices() override {
    if (const TSwmRangeBase* base = Base()) TSwmRangeBaseBlock::Of(base)->Release();
    mBase = 0;
  }

 private:
  using TSwTreeNode::TSwTreeNode;
  const TSwmRangeBase* Base() const { return reinterpret_cast<const TSwmRangeBase*>(mBase & ~uintptr_t(1)); }
  bool WithEnd() const { return (mBase & 1) != 0; }
  // Index among the six names in order: end, endGlobal, inner, innerGlobal, start, startGlobal.
  int NameIndex(int index) const { return WithEnd() ? index : index + 2; }

  // The base record (its block's count owned), or 0 while no ranges are packed; the low bit
  // tells whether an end range is packed too. The end range starts where the inner one ends.
  uintptr_t mBase = 0;
  int64_t mOrigin = 0;  // the start offset
  int32_t mStartLength = 0;
  int32_t mInnerDelta = 0;  // from the start offset
  int32_t mInnerLength = 0;
  int32_t mEndLength = 0;
};
static_assert(sizeof(TSwmResultNode) == sizeof(TSwTreeNode) + 32, "a result node's ranges take 32 bytes");

constexpr int kProgressInterval = 4096;  // steps of the child loop between progress calls

}  // namespace

// ---------------------------------------------------------------------------------------------
// Node classes

// The model nodes the item names select (END, FAIL, WARN, LINE) and the run's root; only the run
// makes them.

class TSwmRoot : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;

 protected:
  void CreateResultNode(TSwTreeNode* parentResult) override;
  void Finish(bool succeeded) override;
};

class TSwmEnd : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;
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

 protected:
  std::unique_ptr<ESwmUserMessage> CreateMessage() override;
};

class TSwmWarn : public TSwmUserMessage {
 public:
  using TSwmUserMessage::TSwmUserMessage;

 protected:
  std::unique_ptr<ESwmUserMessage> CreateMessage() override;
};

// Models one line of the current stream as a stream of its own.
class TSwmLine : public TSwmNode {
 public:
  using TSwmNode::TSwmNode;

 protected:
  bool Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) override;

 private:
  std::string mEoln;  // the line break as single-byte characters, made on the first line
  bool mEolnMade = false;
};

namespace {

template <class T>
std::unique_ptr<TSwmNode> CreateNodeOf(TSwmCompiler& compiler, TSwmNode* parent, const TSwmNodeInfo& info) {
  return std::make_unique<T>(compiler, parent, info);
}

const TSwmNodeClass kNodeClass{{"TSwmNode"}, &TSwmNode::IsEnd, &CreateNodeOf<TSwmNode>};
const TSwmNodeClass kEndClass{{"TSwmEnd", &kNodeClass}, &TSwmEnd::IsEnd, &CreateNodeOf<TSwmEnd>};
const TSwClassInfo kUserMessageClass{"TSwmUserMessage", &kNodeClass};
const TSwmNodeClass kFailClass{{"TSwmFail", &kUserMessageClass}, &TSwmUserMessage::IsEnd, &CreateNodeOf<TSwmFail>};
const TSwmNodeClass kWarnClass{{"TSwmWarn", &kUserMessageClass}, &TSwmUserMessage::IsEnd, &CreateNodeOf<TSwmWarn>};
const TSwmNodeClass kLineClass{{"TSwmLine", &kNodeClass}, &TSwmNode::IsEnd, &CreateNodeOf<TSwmLine>};

}  // namespace

const TSwmNodeClass* TSwmNode::Class() { return &kNodeClass; }
const TSwmNodeClass* SwmEndClass() { return &kEndClass; }

bool TSwmNode::IsEnd(const TSwmProps&) { return false; }

const TSwmNodeClass* TSwmNodeClassList::ClassFor(const WideString& name) const {
  const TSwClassInfo* found = Find(name);
  return found ? static_cast<const TSwmNodeClass*>(found) : TSwmNode::Class();
}

TSwmNodeClassList& SwmGlobalNodeClasses() {
  static TSwmNodeClassList* list = [] {
    auto* made = new TSwmNodeClassList;
    made->Add(u"END", &kEndClass);
    made->Add(u"FAIL", &kFailClass);
    made->Add(u"WARN", &kWarnClass);
    made->Add(u"LINE", &kLineClass);
    return made;
  }();
  return *list;
}

// ---------------------------------------------------------------------------------------------
// Run state

struct TSwmCompiler::TRun {
  std::unique_ptr<TSwmSlicer> Slicer;
  std::vector<TStream*> Streams;                    // back: the current stream; front: the input
  std::vector<std::unique_ptr<TStream>> Pushed;     // owned streams pushed during the run
  std::unique_ptr<TSwmNode> Root;
  std::vector<TSwTreeNode*> Created;                // undo log of result nodes
  TSwNodeFormulaFinder Finder;                      // reused for every condition
  std::vector<int32_t> Counters;                    // scratch for the finder's stack
  int64_t Steps = 0;
  std::vector<TSwTreeNode*>* OuterLog = nullptr;    // the log of a run this one is nested in
  TSwmCompiler* OuterCompiler = nullptr;            // the run this one is nested in, if any
  TStream* FailureStream = nullptr;                 // set while a recorded failure is made
  int64_t LinesFreed = 0;                           // failed line streams freed so far
  TSwFileAccess FileAccess;                         // the compiler's, with this run's answers
  TSwmRangeBases RangeBases;                        // where result nodes' ranges lie globally
};

TSwmCompiler* SwmActiveCompiler() { return tActiveCompiler; }

void SwmInstallMachineErrorDecorator();

TSwmCompiler::TSwmCompiler() : mFunctions(SwGlobalFunctions()) { SwmInstallMachineErrorDecorator(); }
TSwmCompiler::~TSwmCompiler() = default;

// A failure of the child loop. Mismatches are frequent and mostly dropped, so their messages
// are only formed when one survives (or a trace hook wants to see it).
struct TSwmNode::TFailure {
  enum TKind { None, NoMatchingNode, ConditionMismatch, OrderedConditionMismatch, Raised };
  TKind Kind = None;
  TSwmNode* Node = nullptr;
  TStream* Stream = nullptr;
  int64_t Position = 0;
  int64_t OuterPosition = -1;  // of the outermost stream, for the mismatch information
  std::unique_ptr<ESkeinwork> Error;  // for Raised
  // The streams of the failed lines the failure came out of, innermost first: it may name any of
  // them, and an inner line reads through the outer ones. Freeing them counts in *LinesFreed.
  std::vector<std::unique_ptr<TStream>> Lines;
  int64_t* LinesFreed = nullptr;

  TFailure() = default;
  TFailure(TFailure&& other) noexcept { *this = std::move(other); }
  TFailure& operator=(TFailure&& other) noexcept {
    if (this == &other) return *this;
    DropLines();
    Kind = other.Kind;
    Node = other.Node;
    Stream = other.Stream;
    Position = other.Position;
    OuterPosition = other.OuterPosition;
    Error = std::move(other.Error);
    Lines = std::move(other.Lines);
    LinesFreed = other.LinesFreed;
    return *this;
  }
  ~TFailure() { DropLines(); }
  void KeepLine(std::unique_ptr<TStream> line, int64_t& linesFreed) {
    Lines.push_back(std::move(line));
    LinesFreed = &linesFreed;
  }
  void DropLines() {
    if (!Lines.empty() && LinesFreed) ++*LinesFreed;
    Lines.clear();
  }
  // Back to no failure, for the next try; cheap when nothing was recorded.
  void Clear() {
    if (Kind != None || Node || !Lines.empty() || Error) *this = TFailure();
  }

  void Set(TKind kind, TSwmNode* node, TStream* stream) {
    Kind = kind;
    Node = node;
    Stream = stream;
    Position = stream ? stream->Position() : 0;
    TStream* outer = node ? node->mCompiler.OutermostStream() : nullptr;
    OuterPosition = outer && outer != stream ? outer->Position() : -1;
    Error.reset();
  }
  // The exception this failure stands for.
  std::unique_ptr<ESkeinwork> Materialize() const;
};

namespace {

std::string DescribeInputAt(TStream* stream, int64_t position) {
  if (!stream) return "???";
  int64_t saved = stream->Position();
  stream->Seek(position, TSeekOrigin::Beginning);
  std::string text = TSwmCompiler::DescribeInput(stream);
  stream->Seek(saved, TSeekOrigin::Beginning);
  return text;
}

}  // namespace

std::unique_ptr<ESkeinwork> TSwmNode::TFailure::Materialize() const {
  if (Kind == Raised) return Error ? Error->Clone() : nullptr;
  // The exception hook sees the failure's stream at the failure's position, not where the run
  // has moved on to since.
  struct TAt {
    TStream* Stream = nullptr;
    int64_t Saved = 0;
    TAt(TStream* stream, int64_t position) {
      if (!stream || position < 0) return;
      Stream = stream;
      Saved = stream->Position();
      stream->Seek(position, TSeekOrigin::Beginning);
    }
    ~TAt() {
      if (Stream) Stream->Seek(Saved, TSeekOrigin::Beginning);
    }
  };
  struct TFailureStream {
    TSwmCompiler::TRun* Run;
    TFailureStream(TSwmCompiler::TRun* run, TStream* stream) : Run(run) {
      if (Run) Run->FailureStream = stream;
    }
    ~TFailureStream() {
      if (Run) Run->FailureStream = nullptr;
    }
  };
  TSwmCompiler::TRun* run = Node ? Node->mCompiler.mRun.get() : nullptr;
  TAt atFailure(Stream, Position);
  TAt outerAtFailure(run && !run->Streams.empty() && run->Streams.front() != Stream ? run->Streams.front() : nullptr,
                     OuterPosition);
  TFailureStream failureStream(run, Stream);
  std::string node = TSwmCompiler::DescribeNode(Node);
  std::string input = DescribeInputAt(Stream, Position);
  const char* condition = Node && Node->mProps->Condition.Class ? Node->mProps->Condition.Class->Name : "<none>";
  switch (Kind) {
    case NoMatchingNode:
      return MakeError<ESwmNoMatchingNode>("No child nodes match the input. Node: %s, input: %s.", node, input).Clone();
    case ConditionMismatch:
      return MakeError<ESwmConditionMismatch>("%s condition didn't match the input. Node: %s, input: %s.",
                                              std::string(condition), node, input)
          .Clone();
    case OrderedConditionMismatch:
      return MakeError<ESwmOrderedConditionMismatch>(
                 "%s condition of an ordered node didn't match the input. Node: %s, input: %s.", std::string(condition),
                 node, input)
          .Clone();
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Descriptions in messages

std::string TSwmCompiler::DescribeNode(const TSwmNode* node) {
  if (!node) return "???";
  const TSwmProps& props = node->Props();
  // A node without a source (the root) is named by its name and ID alone.
  std::string source = props.Source.IsNull() ? std::string() : WideToUtf8(SwmSourceText(props.Source)) + " ";
  return "'" + WideToUtf8(props.Name) + "' " + source + "(ID " + std::to_string(props.ID) + ")";
}

std::string TSwmCompiler::DescribeInput(TStream* stream) {
  if (!stream) return "???";
  int64_t position = stream->Position();
  unsigned char bytes[11];
  int64_t count = stream->Read(bytes, sizeof bytes);
  stream->Seek(position, TSeekOrigin::Beginning);
  std::string text = "@" + std::to_string(position);
  if (count <= 0) return text + " <eof>";
  for (int64_t i = 0; i < count; ++i) {
    unsigned char byte = bytes[i];
    text += byte >= 33 && byte <= 127 ? fmt::format(" {}", static_cast<char>(byte)) : fmt::format(" {:02X}", byte);
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// Streams and the slicer during a run

TSwmSlicer& TSwmCompiler::Slicer() const {
  if (!mRun) SwRaise<ESwmNoModellingSlicer>("Modelling Slicer is only available on %s during modelling process.", this);
  return *mRun->Slicer;
}

TStream* TSwmCompiler::CurrentStream() const { return mRun && !mRun->Streams.empty() ? mRun->Streams.back() : nullptr; }
TStream* TSwmCompiler::OutermostStream() const { return mRun && !mRun->Streams.empty() ? mRun->Streams.front() : nullptr; }
TStream* TSwmCompiler::MismatchStream() const {
  return mRun && mRun->FailureStream ? mRun->FailureStream : CurrentStream();
}

void TSwmCompiler::PushStream(std::unique_ptr<TStream> stream) {
  if (!mRun) SwRaise<ESwmNoModellingSlicer>("Modelling Slicer is only available on %s during modelling process.", this);
  mRun->Streams.push_back(stream.get());
  mRun->Pushed.push_back(std::move(stream));
}

// ---------------------------------------------------------------------------------------------
// Modell

std::unique_ptr<TSwmSlicer> TSwmCompiler::Modell(TStream& input) {
  if (mRun) SwRaise<ESwmAlreadyModelling>("Attempted to call %s.Modell again while it's still running.", this);
  const TSwmNodeInfo* rootInfo = Node(0);
  if (!rootInfo) SwRaise<ESwmModelling>("%s has no compiled model to run.", this);

  mRun = std::make_unique<TRun>();
  TRun& run = *mRun;
  run.OuterLog = tCreatedLog;
  tCreatedLog = &run.Created;
  run.OuterCompiler = tActiveCompiler;
  tActiveCompiler = this;
  run.FileAccess = FileAccess;
  run.Streams.push_back(&input);
  run.Slicer = std::make_unique<TSwmSlicer>();
  run.Slicer->RegisterStream(&input, false);
  run.Root = std::make_unique<TSwmRoot>(*this, nullptr, *rootInfo);
  // Expression work and long scans of this run count against its limit, and a cancel request
  // reaches them too.
  TSwWorkMeter meter(&mCancel, MaxWork, [] { SwRaise<ESwmCancelled>("Modelling was cancelled."); });

  auto endRun = [&] {
    mCancel.store(false, std::memory_order_relaxed);  // a request made before the run counts
    tCreatedLog = run.OuterLog;
    tActiveCompiler = run.OuterCompiler;
    std::unique_ptr<TRun> finished = std::move(mRun);
    finished->Root.reset();
  };

  std::unique_ptr<TSwmSlicer> slicer;
  try {
    TSwmNode::TFailure failure;
    TSwmRange start{input.Position(), 0, &input};
    if (!run.Root->Modell(nullptr, start, failure)) {
      std::unique_ptr<ESkeinwork> error = failure.Materialize();
      if (KeepPartialResult) {
        auto partial = std::make_unique<TSwmPartialResult>();
        partial->FailedNode = DescribeNode(failure.Kind == TSwmNode::TFailure::Raised ? nullptr : failure.Node);
        partial->FailureOffset = failure.Stream ? failure.Position : -1;
        for (auto& pushed : run.Pushed) run.Slicer->RegisterStream(std::move(pushed));
        partial->Slicer = std::move(run.Slicer);
        partial->Information = error->ExtractObject();
        error->SetObject(std::move(partial));
      }
      failure.DropLines();  // before the run state it counts in goes
      endRun();
      error->Raise();
    }
    if (std::find(run.Streams.begin(), run.Streams.end(), &input) == run.Streams.end())
      Error(MakeError<ESwmOriginalInputLost>(
          "Input stream stack didn't contain the original stream after modelling has finished."));
    for (auto& pushed : run.Pushed) run.Slicer->RegisterStream(std::move(pushed));
    run.Pushed.clear();
    run.Slicer->ShrinkToFit();
    slicer = std::move(run.Slicer);
  } catch (ESkeinwork& error) {
    if (mRun && KeepPartialResult && !dynamic_cast<TSwmPartialResult*>(error.Object()) && mRun->Slicer) {
      auto partial = std::make_unique<TSwmPartialResult>();
      partial->Information = error.ExtractObject();
      for (auto& pushed : mRun->Pushed)
        if (pushed) mRun->Slicer->RegisterStream(std::move(pushed));
      partial->Slicer = std::move(mRun->Slicer);
      error.SetObject(std::move(partial));
    }
    if (mRun) endRun();
    throw;
  } catch (...) {
    if (mRun) endRun();
    throw;
  }
  endRun();
  return slicer;
}

// ---------------------------------------------------------------------------------------------
// Model nodes

TSwmNode::TSwmNode(TSwmCompiler& compiler, TSwmNode* parent, const TSwmNodeInfo& info)
    : mCompiler(compiler),
      mParent(parent),
      mInfo(&info),
      mProps(&info.Props),
      mDepth(parent ? parent->mDepth + 1 : 0),
      mEndLike(info.Props.NodeClass->IsEnd(info.Props)),
      mFailureRemains((info.Props.Order != 0 || info.Props.mIsOnce) && !info.Props.mIsOptional),
      mAlwaysEligible(!info.Props.mIsOnce && info.Props.Order == 0) {}

TSwmNode::~TSwmNode() = default;

void TSwmNode::MakeChildren() {
  if (mChildrenMade) {
    for (auto& child : mChildren) child->mUsed = false;
    return;
  }
  mChildrenMade = true;
  for (int32_t id : mProps->ChildIDs) {
    const TSwmNodeInfo* info = mCompiler.Node(id);
    if (!info || info->Props.mIsOffContext) continue;
    TSwmNode& child = *mChildren.emplace_back(info->Props.NodeClass->Create(mCompiler, this, *info));
    child.mBare = (typeid(child) == typeid(TSwmNode) || typeid(child) == typeid(TSwmEnd)) &&
                  info->Props.ChildIDs.empty() && info->Props.Path.empty() &&
                  child.mDepth < TSwmCompiler::MaxNestingDepth;
  }
}

namespace {
// The iteration counters of a node's ancestors, nearest first.
void AncestorCounters(const TSwmNode* node, std::vector<int32_t>& counters) {
  counters.clear();
  for (const TSwmNode* p = node->Parent(); p; p = p->Parent()) counters.push_back(p->Iteration());
}
}  // namespace

void TSwmNode::CreateResultNode(TSwTreeNode* parentResult) {
  if (mPathForm == TPathForm::Simple) {
    mResult = mSimplePath.FindOrCreate(parentResult, mParent->Iteration());
  } else if (mPathForm == TPathForm::General || !mProps->Path.empty()) {
    if (mPathForm == TPathForm::Unread && mParent && TSwSimpleNodePath::Parse(mProps->Path, mSimplePath)) {
      mPathForm = TPathForm::Simple;
      mResult = mSimplePath.FindOrCreate(parentResult, mParent->Iteration());
    } else {
      mPathForm = TPathForm::General;
      if (!mPathFinder) mPathFinder = std::make_unique<TSwNodeFormulaFinder>();
      TSwNodeFormulaFinder& finder = *mPathFinder;
      AncestorCounters(this, mCompiler.mRun->Counters);
      finder.SetStack(mCompiler.mRun->Counters, true);
      finder.Rewind(mProps->Path, parentResult);
      mResult = finder.FindOrCreate();
    }
  } else {
    mResult = parentResult;
  }
  if (mResult != parentResult || !mProps->Path.empty()) {
    const int64_t limit = mCompiler.MaxResultNodes;
    if (limit > 0 && static_cast<int64_t>(mCompiler.mRun->Created.size()) > limit)
      SwRaise<ESwmResultNodeLimit>("The result tree has reached its limit of %d nodes. Node: %s, input: %s.", limit,
                                   TSwmCompiler::DescribeNode(this), TSwmCompiler::DescribeInput(mCompiler.CurrentStream()));
  }
  mOwnsResult = mResult != parentResult;
  if (mCompiler.TraceHook) mCompiler.TraceHook(this, TSwmTraceEvent::ResultNode, 0, nullptr, mResult);
}

void TSwmRoot::CreateResultNode(TSwTreeNode*) {
  std::unique_ptr<TSwTreeNode> root = TSwmResultNode::Make(mProps->Path);
  mResult = root.get();
  mOwnsResult = true;
  mCompiler.mRun->Slicer->SetRoot(std::move(root));
  if (mCompiler.TraceHook) mCompiler.TraceHook(this, TSwmTraceEvent::ResultNode, 0, nullptr, mResult);
}

bool TSwmNode::Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) {
  if (mDepth >= TSwmCompiler::MaxNestingDepth)
    SwRaise<ESwmRunawayModel>("Model nodes nest deeper than %d levels. Node: %s, input: %s.",
                              TSwmCompiler::MaxNestingDepth, TSwmCompiler::DescribeNode(this),
                              TSwmCompiler::DescribeInput(mCompiler.CurrentStream()));
  CreateResultNode(parentResult);
  TStream* current = mCompiler.CurrentStream();
  mStart = start;
  mInner = {current->Position(), 0, current};
  mEnd = {};
  if (!mChildrenMade || !mChildren.empty()) MakeChildren();
  mIteration = 0;
  mIndex = 0;
  mMatched = -1;
  bool ok = mChildren.empty() || RunChildLoop(failure);
  Finish(ok);
  return ok;
}

void TSwmNode::Finish(bool succeeded) {
  if (succeeded && mOwnsResult) WriteResultProperties();
}

void TSwmRoot::Finish(bool succeeded) {
  TSwmNode::Finish(succeeded);
  if (!succeeded) return;
  TStream* current = mCompiler.CurrentStream();
  int64_t position = current->Position(), size = current->Size();
  if (position < size)
    mCompiler.Error(MakeError<ESwmInputLeft>("Modelling has stopped at offset %.4Xh leaving %d bytes in the input stream.",
                                             position, size - position));
  // Ranges past the end describe bytes the input does not have: the model did not fit.
  if (position > size)
    mCompiler.Error(MakeError<ESwmInputOverrun>(
        "Modelling has stopped at offset %.4Xh, %d bytes past the end of the input stream.", position,
        position - size));
}

namespace {
// The ranges as properties in the node's own store, for a node that cannot pack them (out of the
// way of the common path).
[[gnu::noinline]] void SetRangeProperties(TSwTreeNode& result, const TSwmRange& start, const TSwmRange& inner,
                                          const TSwmRange* end, const std::vector<TStream*>& streams) {
  TSwNamedSlice ranges[6];
  int count = 0;
  auto add = [&](TSwmRangeName local, const TSwmRange& range) {
    ranges[count++] = {kRangeNames[local], range.Offset, range.Length, range.Stream};
    ranges[count++] = {kRangeNames[local + 1], range.Offset + GlobalBase(streams, range.Stream), range.Length,
                       streams.front()};
  };
  if (result.HasPropertyBag()) {
    // Listeners may watch the bag: they hear the ranges in their usual order.
    add(rnStart, start);
    add(rnInner, inner);
    if (end) add(rnEnd, *end);
  } else {
    // Nobody hears the compact store, which takes the ranges in name order in one go.
    if (end) add(rnEnd, *end);
    add(rnInner, inner);
    add(rnStart, start);
  }
  result.SetSlices({ranges, static_cast<size_t>(count)});
}
}  // namespace

void TSwmNode::WriteResultProperties() {
  TSwmCompiler::TRun& run = *mCompiler.mRun;
  const TSwmRange* end = mInfo->HasEndChild ? &mEnd : nullptr;
  TStream* stream = mStart.Stream;
  if (stream && mInner.Stream == stream && (!end || end->Stream == stream))
    if (TSwmResultNode* packable = TSwmResultNode::Packable(mResult, end != nullptr))
      if (packable->Pack(mStart, mInner, end, run.RangeBases, run.Streams, run.LinesFreed)) return;
  SetRangeProperties(*mResult, mStart, mInner, end, run.Streams);
}

namespace {

bool IsWordChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}

// Whether `text` is "NAME$PROPERTY toint skip" (spaces anywhere between), with a name of word
// characters that does not start with a digit, or none for the node itself.
bool ParseSkipBy(std::u16string_view text, WideString& node, WideString& property) {
  std::vector<std::u16string_view> tokens;
  for (size_t from = 0; from < text.size();) {
    size_t to = text.find(u' ', from);
    if (to == std::u16string_view::npos) to = text.size();
    if (to > from) tokens.push_back(text.substr(from, to - from));
    from = to + 1;
  }
  if (tokens.size() != 3 || tokens[1] != u"toint" || tokens[2] != u"skip") return false;
  const std::u16string_view reference = tokens[0];
  const size_t dollar = reference.find(u'$');
  if (dollar == std::u16string_view::npos || dollar + 1 == reference.size()) return false;
  const std::u16string_view name = reference.substr(0, dollar), prop = reference.substr(dollar + 1);
  if (!std::all_of(name.begin(), name.end(), IsWordChar) || !std::all_of(prop.begin(), prop.end(), IsWordChar))
    return false;
  if (!name.empty() && name[0] >= u'0' && name[0] <= u'9') return false;
  node = WideString(name);
  property = WideString(prop);
  return true;
}

// Whether a call of `name` runs the built-in function: a registry's first handler answers
// every call, and the run's registry starts as a copy of the global one.
bool BuiltinCalled(const TSwFunctions& functions, const WideString& name) {
  const std::vector<TSwFuncHandler>* own = functions.Handlers(name);
  const std::vector<TSwFuncHandler>* global = SwGlobalFunctions().Handlers(name);
  return own && global && !own->empty() && !global->empty() && own->front() == global->front();
}

}  // namespace

void TSwmNode::PrepareFastTest() {
  mFastKind = TFastKind::Slow;
  const TSwmCondition& condition = mProps->Condition;
  mFastNegated = condition.Negated;
  const TRpnScalar& operand = condition.Operand;
  WideString skipByNode, skipByProperty;
  if (!condition.Class) {
    mFastKind = TFastKind::None;
  } else if (condition.Class == TCdExact::Class() && operand.Has(valBytes)) {
    mFastBytes = operand.Bytes;
    mFastKind = TFastKind::Exact;
  } else if (condition.Class == TCdSpaces::Class() && operand.Has(valBytes)) {
    mFastBytes = operand.Bytes;
    mFastKind = TFastKind::Spaces;
  } else if (condition.Class == TCdHex::Class() && operand.Has(valBytes)) {
    // Bad or empty hexadecimal text keeps the slow path, which reports it.
    try {
      mFastBytes = SwHexToBin(operand.Bytes);
      if (!mFastBytes.empty()) mFastKind = TFastKind::Exact;
    } catch (const ESkeinwork&) {
    }
  } else if (condition.Class == TCdSimpat::Class() && operand.Has(valBytes) && !operand.Bytes.empty()) {
    mFastPattern = std::make_unique<TSimpatPattern>(operand.Bytes);
    mFastFirstBytes = mFastPattern->FirstBytes();
    mFastEoln = SwLineBreakBytes(mCompiler.Options.Eoln, mCompiler.Options.Codepage);
    mFastKind = TFastKind::Pattern;
  } else if (condition.Class == TCdExpression::Class() && operand.Has(valStr) && operand.Str == u"eof") {
    mFastKind = TFastKind::Eof;
  } else if (condition.Class == TCdExpression::Class() && operand.Has(valStr) &&
             ParseSkipBy(operand.Str, skipByNode, skipByProperty) && BuiltinCalled(mCompiler.mFunctions, u"toint") &&
             BuiltinCalled(mCompiler.mFunctions, u"skip")) {
    mSkipByNode = skipByNode;
    mSkipByProperty = skipByProperty;
    mFastKind = TFastKind::SkipBy;
  }
}

namespace {

// The property's value as FindValue gives it; a node without a bag is searched by the interned
// name, without looking the text up.
bool FindInterned(const TSwTreeNode& node, TSwName name, TSwValue& value) {
  if (node.HasPropertyBag()) return node.FindValue(name, value);
  const int count = node.PropertyCount();
  for (int i = 0; i < count; ++i)
    if (node.PropertyName(i) == name) {
      value = node.PropertyValue(i);
      return true;
    }
  return false;
}

}  // namespace

bool TSwmNode::FastSkipBy(TStream& stream) {
  TSwTreeNode* base = mParent ? mParent->mResult : nullptr;
  if (!base) return false;
  TSwTreeNode* node = base;
  if (!mSkipByNode.Text().empty()) {
    const TSwTreeNodeChildren* children = base->ChildrenIfAny();
    const int index = children ? children->NthIndexOfName(mSkipByNode, 0) : -1;
    if (index < 0) return false;
    node = children->Node(index);
  }
  TSwValue stored;
  if (!FindInterned(*node, mSkipByProperty, stored) || !stored.IsSlice()) return false;
  // Mostly a range of the stream under test.
  TStream* source = stored.Obj == static_cast<TSwObject*>(&stream) ? &stream : dynamic_cast<TStream*>(stored.Obj);
  if (!source) return false;
  const int64_t count = SwTruncNumber(stored.Frac);
  if (count != 1 && count != 2 && count != 4 && count != 8) return false;
  uint8_t bytes[8];
  int64_t lentSize = 0;
  const uint8_t* lent = source->LentMemory(lentSize);
  if (lent && stored.Int >= 0 && stored.Int <= lentSize - count) {
    std::memcpy(bytes, lent + stored.Int, static_cast<size_t>(count));
  } else {
    // The range's bytes as the expression reads them: a window on its stream.
    TSwRestrictedStream range(source, 0);
    range.SetWindow(stored.Int, count);
    if (range.Read(bytes, count) != count) return false;
  }
  uint64_t raw = 0;
  for (int64_t i = 0; i < count; ++i) raw |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  const double number = count == 8 ? static_cast<double>(static_cast<int64_t>(raw)) : static_cast<double>(raw);
  // The same work as the two calls count: the bytes read and one unit per call.
  TSwWorkMeter::Spend(count);
  TSwWorkMeter::Spend(1);
  const int64_t skipped = SwTruncNumber(number);
  if (skipped > 0) stream.Seek(skipped, TSeekOrigin::Current);
  TSwWorkMeter::Spend(1);
  return true;
}

TSwmNode::TTestOutcome TSwmNode::FastPatternTest(TStream& current, int64_t position) {
  // A node tried at every byte (an END scanning for its pattern) would scan the rest of the
  // input each time; a failure that the pattern says holds ahead answers those tests.
  const int64_t linesFreed = mCompiler.mRun->LinesFreed;  // a freed line's address may come back
  if (&current == mFailsStream && linesFreed == mFailsEpoch && position > mFailsFrom && position <= mFailsTo)
    return Outcome(false);
  // Most failures are at a byte no match starts with (a field's pattern at its separator).
  if (int64_t size = 0; const uint8_t* lent = current.LentMemory(size))
    if (mFastFirstBytes && position >= 0 && position <= size &&
        (position == size || !(*mFastFirstBytes)[lent[position]]))
      return Outcome(false);
  int64_t ahead = 0;
  const bool value = mFastPattern->MatchAt(current, position, mFastEoln, &ahead);
  if (!value && ahead > 0) {
    mFailsStream = &current;
    mFailsEpoch = linesFreed;
    mFailsFrom = position;
    mFailsTo = SwAddClamped(position, ahead);
  }
  return Outcome(value);
}

TSwmNode::TTestOutcome TSwmNode::FastExactTest(TStream& current, int64_t position) {
  return Outcome(SwMatchExactAt(current, position, mFastBytes));
}

TSwmNode::TTestOutcome TSwmNode::TestCondition(TStream& current, int64_t position) {
  // The common kinds decide here or end in a call of their own, which spares this dispatch a
  // frame.
  switch (mFastKind) {
    case TFastKind::None:
      return TTestOutcome::Holds;
    case TFastKind::Exact:
      return FastExactTest(current, position);
    case TFastKind::Pattern:
      return FastPatternTest(current, position);
    case TFastKind::Eof:
      if (int64_t size = 0; current.LentMemory(size)) return Outcome(position >= size);
      break;
    default:
      break;
  }
  return TestUncommonCondition(current, position);
}

TSwmNode::TTestOutcome TSwmNode::TestUncommonCondition(TStream& current, int64_t position) {
  switch (mFastKind) {
    case TFastKind::Unknown:
      PrepareFastTest();
      return TestCondition(current, position);
    case TFastKind::Spaces:
      return Outcome(SwMatchAfterSpaces(current, mFastBytes));
    case TFastKind::Eof:
      return Outcome(position >= current.Size());
    case TFastKind::SkipBy:
      return FastSkipBy(current) ? Outcome(true) : TestByExpression(current);
    default:
      return TestByExpression(current);
  }
}

TSwmNode::TTestOutcome TSwmNode::TestByExpression(TStream& current) {
  const TSwmCondition& condition = mProps->Condition;
  TSwmCompiler::TRun& run = *mCompiler.mRun;
  TSwTreeNode* base = mParent ? mParent->mResult : nullptr;
  if (!mConditionTest) {
    mConditionTest = condition.Class->Create(base, condition.Operand);
    mConditionTest->SetModelNode(this);
    mConditionTest->SetFinder(&run.Finder);
    mConditionTest->SetFunctions(&mCompiler.mFunctions);
    mConditionTest->SetFileAccess(&run.FileAccess);
  }
  TSwCondExpression& test = *mConditionTest;
  test.Restart(base, &current);
  AncestorCounters(this, run.Counters);
  run.Finder.SetStack(run.Counters, true);
  test.SetOptions(mCompiler.Options);
  TSwExpressionResult result = test.Evaluate();
  if (!result.Value.Has(ltBool))
    SwRaise<ESwmBadConditionResultType>("Condition %s evaluated to a non-boolean value '%s'. Node: %s, input: %s.",
                                        std::string(condition.Class->Name),
                                        result.Value.IsNull() ? std::string("<null>") : result.Value.DescriptionText(false),
                                        TSwmCompiler::DescribeNode(this), TSwmCompiler::DescribeInput(&current));
  return result.Value.Bool != condition.Negated ? TTestOutcome::Holds : TTestOutcome::Fails;
}

void TSwmNode::SetConditionFailure(TFailure& failure, TStream* stream) {
  const bool ordered = mProps->Order != 0 || mProps->mIsOnce;
  failure.Set(ordered ? TFailure::OrderedConditionMismatch : TFailure::ConditionMismatch, this, stream);
}

namespace {
void RollBackTo(std::vector<TSwTreeNode*>& log, size_t mark) {
  while (log.size() > mark) {
    TSwTreeNode* node = log.back();
    log.pop_back();
    if (!node->IsRoot()) node->Remove();
  }
}
}  // namespace

bool TSwmNode::RunChildLoop(TFailure& failure) {
  if (mChildren.empty()) return true;
  TSwmCompiler::TRun& run = *mCompiler.mRun;
  const TSwmTraceHook& trace = mCompiler.TraceHook;
  const bool tracing = static_cast<bool>(trace);  // read once: hooks are set before a run
  // The top of the stream stack; what a child pushes or pops shows there after the child.
  auto currentStream = [&run] { return run.Streams.empty() ? nullptr : run.Streams.back(); };
  TStream* stalledStream = nullptr;
  int64_t stalledPosition = -1, stalledPasses = 0;
  const int count = static_cast<int>(mChildren.size());
  // One record for every try of a child, emptied after a try that filled it.
  TFailure childFailure;
  // Where the top stream stood after the last try that ran no child, or after the last pass:
  // the next try starts there unless a hook has run in between.
  TStream* knownStream = nullptr;
  int64_t knownPosition = 0;
  for (;;) {
    TSwWorkMeter::Spend(1);  // acts on a cancel request at once
    if ((++run.Steps & (kProgressInterval - 1)) == 0) {
      if (mCompiler.ProgressHook) {
        knownStream = nullptr;
        TStream* outer = mCompiler.OutermostStream();
        mCompiler.ProgressHook(outer->Position(), outer->Size());
      }
    }
    if (mIndex >= count) {
      failure.Set(TFailure::NoMatchingNode, this, currentStream());
      return false;
    }
    TSwmNode& child = *mChildren[mIndex];
    const TSwmProps& props = *child.mProps;
    if (tracing) trace(&child, TSwmTraceEvent::Eligibility, -1, nullptr, nullptr);
    bool eligible = child.mAlwaysEligible ||
                    (!(props.mIsOnce && child.mUsed) && !(props.Order != 0 && mIteration >= props.Order));
    if (tracing) trace(&child, TSwmTraceEvent::Eligibility, eligible ? 1 : 0, nullptr, nullptr);
    bool passDone = false;
    if (eligible) {
      TStream* current = currentStream();
      const int64_t saved = current == knownStream && !tracing ? knownPosition : current->Position();
      knownStream = nullptr;
      const size_t mark = run.Created.size();
      const TTestOutcome outcome = child.TestCondition(*current, saved);
      const bool matched = outcome == TTestOutcome::Holds;
      // A failed condition is mostly dropped: its record is made only when it may be seen.
      bool recorded = matched;  // whether the record may hold something to empty after the try
      if (!matched && (tracing || child.ConditionFailureRemains())) {
        child.SetConditionFailure(childFailure, current);
        recorded = true;
      }
      if (tracing) {
        std::unique_ptr<ESkeinwork> error = matched ? nullptr : childFailure.Materialize();
        trace(&child, TSwmTraceEvent::Condition, 0, error.get(), nullptr);
      }
      bool ok = false;
      if (matched) {
        TSwmRange span{saved, current->Position() - saved, current};
        if (props.mIsNonConsuming) current->SetPosition(saved);
        if (child.mBare && !tracing) {
          child.ModellBare(mResult, span, current);
          ok = true;
        } else {
          ok = child.Modell(mResult, span, childFailure);
        }
        if (tracing) {
          std::unique_ptr<ESkeinwork> error = ok ? nullptr : childFailure.Materialize();
          trace(&child, TSwmTraceEvent::Modelled, 0, error.get(), nullptr);
        }
      }
      child.mUsed = true;
      if (ok) {
        if (props.mIsResetter) {
          if (tracing) trace(&child, TSwmTraceEvent::Reset, mIteration, nullptr, nullptr);
          mIteration = -1;
          if (mInfo->HasOnceChildren)
            for (auto& other : mChildren) other->mUsed = false;
          passDone = true;
        } else if (mInfo->HasEndChild && !child.mEndLike) {
          passDone = true;
        } else {
          mMatched = mIndex;
          int64_t position = currentStream()->Position();
          if (mInfo->HasEndChild) mEnd = {saved, position - saved, current};
          int64_t innerEnd = child.mEndLike ? saved : position;
          mInner.Length = innerEnd - mInner.Offset;
          return true;
        }
      } else {
        bool remains = matched ? !props.mIsTentative : child.ConditionFailureRemains();
        // A failure that remains may end the run; a caller that keeps partial results sees what
        // the failing alternative had built. Should an ancestor drop the failure after all, its
        // own rollback takes these nodes back.
        if (!remains || !mCompiler.KeepPartialResult) RollBackTo(run.Created, mark);
        knownPosition = outcome != TTestOutcome::FailsInPlace ? current->SetPosition(saved) : saved;
        if (remains) {
          failure = std::move(childFailure);
          return false;
        }
        if (!matched) knownStream = current;
      }
      if (recorded) childFailure.Clear();
    }
    if (!passDone) {
      ++mIndex;
      continue;
    }
    // A pass that leaves the input where the previous one did can repeat for ever.
    TStream* now = currentStream();
    int64_t position = now->Position();
    if (now == stalledStream && position == stalledPosition) {
      if (++stalledPasses >= mCompiler.MaxStalledPasses)
        SwRaise<ESwmRunawayModel>("Model node repeats %d passes without moving the input. Node: %s, input: %s.",
                                  mCompiler.MaxStalledPasses, TSwmCompiler::DescribeNode(this),
                                  TSwmCompiler::DescribeInput(now));
    } else {
      stalledStream = now;
      stalledPosition = position;
      stalledPasses = 0;
    }
    knownStream = now;
    knownPosition = position;
    ++mIteration;
    mIndex = 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Keyword nodes

void TSwmUserMessage::CreateResultNode(TSwTreeNode* parentResult) {
  mResult = parentResult;
  mOwnsResult = false;
  if (mCompiler.TraceHook) mCompiler.TraceHook(this, TSwmTraceEvent::ResultNode, 0, nullptr, mResult);
}

bool TSwmUserMessage::Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) {
  std::unique_ptr<ESwmUserMessage> message = CreateMessage();
  mCompiler.Error(*message);
  return TSwmNode::Modell(parentResult, start, failure);
}

namespace {
template <class E>
std::unique_ptr<ESwmUserMessage> MakeUserMessage(const TSwmNode& node, const char* nodeClass) {
  std::string input = TSwmCompiler::DescribeInput(node.Compiler().CurrentStream());
  const WideString& text = node.Props().Path;
  if (!text.empty())
    return std::make_unique<E>(MakeError<E>("%s (%s node message), input: %s.", text, std::string(nodeClass), input));
  return std::make_unique<E>(
      MakeError<E>("A %s node ('%s') has matched, input: %s.", std::string(nodeClass), node.Props().Name, input));
}
}  // namespace

std::unique_ptr<ESwmUserMessage> TSwmFail::CreateMessage() { return MakeUserMessage<ESwmError>(*this, "TSwmFail"); }
std::unique_ptr<ESwmUserMessage> TSwmWarn::CreateMessage() { return MakeUserMessage<ESwmWarning>(*this, "TSwmWarn"); }

namespace {

// Where the line from `lineStart` ends: the offset of its break from `lineStart`, or npos
// without one. The break is the line break as single-byte characters; the stream's position is
// left anywhere.
size_t FindLineBreak(TStream& stream, int64_t lineStart, int64_t size, std::string_view eoln) {
  if (eoln.empty()) return std::string::npos;
  // Over memory the bytes are searched where they are; a break that the memory's end cuts off
  // is searched for again in pieces below.
  int64_t available = 0;
  if (const uint8_t* memory = stream.MemoryAt(lineStart, available)) {
    const std::string_view held(reinterpret_cast<const char*>(memory), static_cast<size_t>(std::min(available, size - lineStart)));
    size_t found = held.find(eoln);
    if (found != std::string_view::npos || static_cast<int64_t>(held.size()) == size - lineStart) return found;
  }
  // Searched for without a bound in growing pieces, since most lines are short; only a line
  // without a break runs to the end of the stream.
  stream.SetPosition(lineStart);
  std::string head;
  size_t found = std::string::npos;
  for (int64_t piece = 128;; piece = std::min<int64_t>(piece * 2, 1 << 20)) {
    const size_t had = head.size();
    const int64_t wanted = std::min(piece, size - lineStart - static_cast<int64_t>(had));
    if (wanted <= 0) break;
    head.resize(had + static_cast<size_t>(wanted));
    const int64_t got = std::max<int64_t>(stream.Read(head.data() + had, wanted), 0);
    head.resize(had + static_cast<size_t>(got));
    // A break that straddles two pieces starts in the earlier one.
    found = head.find(eoln, had >= eoln.size() ? had - eoln.size() + 1 : 0);
    if (found != std::string::npos || got < wanted) break;
  }
  return found;
}

}  // namespace

bool TSwmLine::Modell(TSwTreeNode* parentResult, const TSwmRange& start, TFailure& failure) {
  TStream* current = mCompiler.CurrentStream();
  const int64_t lineStart = current->Position();
  const int64_t size = current->Size();
  if (lineStart >= size) return TSwmNode::Modell(parentResult, start, failure);

  if (!mEolnMade) {
    for (char16_t c : mCompiler.Options.Eoln) mEoln.push_back(static_cast<char>(c));
    mEolnMade = true;
  }
  const std::string_view eoln = mEoln;
  size_t found = FindLineBreak(*current, lineStart, size, eoln);
  int64_t lineLength = found == std::string::npos ? size - lineStart : static_cast<int64_t>(found);

  // A window on the current stream, not a copy: a line without a break runs to the end of the
  // input, and a model that tries LINE at every byte would copy the rest of it every time.
  std::unique_ptr<TStream> line = std::make_unique<TSwRestrictedStream>(current, 0);
  static_cast<TSwRestrictedStream&>(*line).SetWindow(lineStart, lineLength);
  current->SetPosition(lineStart);

  TSwmCompiler::TRun& run = *mCompiler.mRun;
  TStream* lineStream = line.get();
  run.Streams.push_back(lineStream);
  // The line stream leaves the stack however the line ends. Result nodes refer to it after a
  // success (and after a failure whose partial result is kept): the slicer keeps it then. A
  // failed line is needed no longer than the failure that may name it.
  struct TPop {
    TSwmCompiler::TRun& Run;
    TStream* Stream;
    std::unique_ptr<TStream>& Line;  // empty when a failure took it
    ~TPop() {
      // Mostly still on top; what the line's nodes pushed and left lies above it otherwise.
      if (!Run.Streams.empty() && Run.Streams.back() == Stream) {
        Run.Streams.pop_back();
      } else if (auto it = std::find(Run.Streams.begin(), Run.Streams.end(), Stream); it != Run.Streams.end()) {
        Run.Streams.erase(it);
      }
      if (Line && Run.Slicer) Run.Slicer->RegisterStream(std::move(Line));
    }
  } pop{run, lineStream, line};

  TSwmRange relative{start.Offset - lineStart, start.Length, lineStream};
  bool ok = TSwmNode::Modell(parentResult, relative, failure);
  if (!ok && !mCompiler.KeepPartialResult) failure.KeepLine(std::move(line), run.LinesFreed);
  current->SetPosition(lineStart + lineLength + (found == std::string_view::npos ? 0 : static_cast<int64_t>(eoln.size())));
  return ok;
}

}  // namespace skeinwork
