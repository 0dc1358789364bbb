// SwmCompiler: compiling model descriptions into numbered model nodes, and running them.
//
// TSwmCompiler compiles a description tree (see SwmTextReader.h) into model nodes, resolving
// inheritance and merges, and runs the result over input with Modell, which returns a
// TSwmSlicer that owns the result tree. The run itself is in SwmRun.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "RPNit.h"
#include "SwCore.h"
#include "SwExpressions.h"
#include "SwNodes.h"
#include "SwmSlicer.h"

namespace skeinwork {

SW_EXCEPTION(ESwmCompiling, ESkeinwork);
SW_EXCEPTION(ESwmDoubleCompile, ESwmCompiling);
SW_EXCEPTION(ESwmNoNodeInfo, ESwmCompiling);
SW_EXCEPTION(ESwmEmptyNegatedCondition, ESwmCompiling);
SW_EXCEPTION(ESwmUnknownCondition, ESwmCompiling);

class TSwmCompiler;
class TSwmNode;
class TSwmNodeInfo;
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

  // The compiled model from an ID as a tree of its own, or added under `parent` (which owns it).
  std::unique_ptr<TSwTreeNode> DumpModel(int32_t id);
  TSwTreeNode* DumpModel(int32_t id, TSwTreeNode& parent);

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
  // The dump from `id`, under `parent` or, without one, into `detachedRoot`; its first node.
  TSwTreeNode* DumpModelInto(int32_t id, TSwTreeNode* parent, std::unique_ptr<TSwTreeNode>& detachedRoot);

  TSwFunctions mFunctions;
  TSwTreeNode* mCurrentDescription = nullptr;  // not owned
  std::vector<std::unique_ptr<TSwmNodeInfo>> mInfos;  // owned, every info made while compiling
  std::vector<TSwmNodeInfo*> mNodes;  // by ID; null where the merge removed a node
  bool mCompiled = false;
  std::unique_ptr<TRun> mRun;  // the run state; set only inside Modell
  std::atomic<bool> mCancel{false};
};

}  // namespace skeinwork
