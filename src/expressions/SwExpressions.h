// SwExpressions: the model expression language and the condition operators built on it.
//
// A TSwExpression evaluates a postfix text over the RPN evaluator, resolving names as
// operators, node references ("header\lang$start", "$", ".opt?") and calls of registered
// functions (TSwFunctions). The condition operators of model lines ("=", "_", "x", "%", "?")
// are TSwCondExpression classes looked up in the TSwConditions registry; the model compiler
// prepares their operands once and the modelling run evaluates one object per test.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <typeinfo>
#include <string>
#include <unordered_map>
#include <vector>

#include "RPNit.h"
#include "SwCore.h"
#include "SwHashes.h"
#include "SwNodes.h"

namespace skeinwork {

class TSwExpression;
class TSwRpnValueEx;
class TSwCondExpression;

// Sets up the expression layer once per process (the global function and condition registries).
// Everything below calls it as needed.
void SwExpressionsStartup();
// How model expressions tokenise: the evaluator's letters and digits plus the characters of paths
// and operator names (".\\/$?<=>+-*/[]"), and no operator objects, since every operator is a
// name the expression resolves. The process-wide evaluator settings stay as they are.
const TRpnDialect& SwExpressionDialect();

// ---------------------------------------------------------------------------------------------
// The modelling run's side, as expressions see it.

// The model node being evaluated; the run's model node class implements this, and external
// routines downcast it to reach the run itself.
class TSwExprModelNode {
 public:
  // Completed passes of the child loop that is trying the node (the function "iter").
  virtual int32_t ParentIteration() const = 0;
  // The node's result path (the function "self").
  virtual const WideString& ResultPath() const = 0;

 protected:
  ~TSwExprModelNode() = default;
};

// ---------------------------------------------------------------------------------------------
// Errors. Every expression error carries the expression it came from (not owned: valid while
// the expression lives) and a copy of its text, which messages show.

class ESwFunctions : public ESkeinwork {  // registry look-ups
 public:
  using ESkeinwork::ESkeinwork;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwFunctions>(*this); }
  const TSwExpression* Expression = nullptr;
  WideString ExpressionText;
};
SW_EXCEPTION(ESwUnknownExprFunction, ESwFunctions);
SW_EXCEPTION(ESwUnsupportedExprFunction, ESwFunctions);

class ESwExpression : public ESkeinwork {
 public:
  using ESkeinwork::ESkeinwork;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwExpression>(*this); }
  const TSwExpression* Expression = nullptr;
  WideString ExpressionText;
};
SW_EXCEPTION(ESwBadRpnValueCustom, ESwExpression);
SW_EXCEPTION(ESwRpnValueNotExtended, ESwExpression);
SW_EXCEPTION(ESwExprNoNode, ESwExpression);
SW_EXCEPTION(ESwExprNoBaseNode, ESwExpression);
SW_EXCEPTION(ESwReadingLongRawStream, ESwExpression);
SW_EXCEPTION(ESwExtractExprStreamOnNoEval, ESwExpression);
SW_EXCEPTION(ESwExprDivisionByZero, ESwExpression);

// A value lacks every kind a step accepts.
class ESwBadRpnValue : public ESwExpression {
 public:
  using ESwExpression::ESwExpression;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwBadRpnValue>(*this); }
  TRpnScalar Value;  // the offending value, without its link to an extended value
  TRpnValueKind Required = 0;
};

// Errors raised inside a built-in function; FunctionClass names the function as messages do
// ("TFnCmpHex").
class ESwFunction : public ESwExpression {
 public:
  using ESwExpression::ESwExpression;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwFunction>(*this); }
  std::string FunctionClass;
};
SW_EXCEPTION(ESwBadFuncContext, ESwFunction);
SW_EXCEPTION(ESwFuncNeedsBaseNode, ESwFunction);
SW_EXCEPTION(ESwEmptyFuncArgument, ESwFunction);
SW_EXCEPTION(ESwBadExprCodepage, ESwFunction);
SW_EXCEPTION(ESwBadExprStringToIntLength, ESwFunction);
SW_EXCEPTION(ESwFuncNoBufferedTransform, ESwFunction);
SW_EXCEPTION(ESwExprValueTooLong, ESwFunction);
// "load" or "save" was about to touch a file that the expression's file-access policy refuses.
SW_EXCEPTION(ESwFileAccessRefused, ESwFunction);

// Lenient hexadecimal text: every character but letters, digits and "_" is dropped, the rest
// must be pairs of hexadecimal digits ("0D 0A", "0d0a" and "0D-0A" are all CR LF).
SW_EXCEPTION(ESwHexConvert, ESkeinwork);
RawByteString SwHexToBin(std::string_view text);
// The matchers of "=" and "_": true leaves the stream after the match, false where it was.
bool SwMatchExact(TStream& stream, std::string_view bytes);
// The same for a caller that knows the stream's position: over the bytes a stream lends all at
// once without a call, else by SwMatchExactByReads (its memory in one piece, or reads).
bool SwMatchExactByReads(TStream& stream, int64_t position, std::string_view bytes);
inline bool SwMatchExactAt(TStream& stream, int64_t position, std::string_view bytes) {
  int64_t size = 0;
  const uint8_t* lent = stream.LentMemory(size);
  if (!lent || position < 0 || bytes.empty()) return SwMatchExactByReads(stream, position, bytes);
  const int64_t count = static_cast<int64_t>(bytes.size());
  if (size - position < count || lent[position] != static_cast<uint8_t>(bytes[0]) ||
      (count > 1 && std::memcmp(lent + position + 1, bytes.data() + 1, bytes.size() - 1) != 0))
    return false;
  stream.SetPosition(position + count);
  return true;
}
bool SwMatchAfterSpaces(TStream& stream, std::string_view bytes);
// Bytes as upper-case hexadecimal pairs with `separator` between them.
std::string SwBinToHex(std::string_view bytes, std::string_view separator = {});

// Kind names joined by ", " ("valBytes, valStr"), or "<none>".
std::string SwRpnKindNames(TRpnValueKind kinds);

// Scalars and node values: valNum -> ltFrac (plus ltInt when integral and within 32 bits),
// valBool -> ltBool, valBytes -> ltRaw, valStr -> ltStr; back ltStr, ltRaw, ltBool, then ltFrac
// or else ltInt. Other kinds are not carried over.
TSwValue SwRpnToValue(const TRpnScalar& scalar);
TRpnScalar SwValueToRpn(const TSwValue& value);

// Numbers to integers truncate toward zero; NaN gives 0, and numbers beyond the 64-bit range
// the nearest end of it.
int64_t SwTruncNumber(double number);

// ---------------------------------------------------------------------------------------------
// Functions

// What a function handler is given: the name it was called by, the expression, and the value
// that becomes the call's result.
struct TSwFuncContext {
  WideString Name;
  TSwExpression* Expression = nullptr;
  TSwRpnValueEx* Value = nullptr;
};

// Answers whether it handled the call.
using TSwFuncHandler = TMethod<bool(TSwFuncContext& context)>;

// Function name -> handlers, tried in registration order. Copyable, so that a compiler can
// keep its own copy of the global registry and add routines that reach no other compiler.
class TSwFunctions {
 public:
  void Register(const WideString& name, TSwFuncHandler handler);
  const std::vector<TSwFuncHandler>* Handlers(const WideString& name) const;
  std::vector<WideString> Names() const;  // in registration order, synonyms included
  // Counts the registrations; a list from Handlers stays valid while the count stays.
  uint64_t Registrations() const { return mRegistrations; }

 private:
  uint64_t mRegistrations = 0;
  std::vector<std::pair<WideString, std::vector<TSwFuncHandler>>> mEntries;
  std::unordered_map<WideString, size_t> mIndex;
};

TSwFunctions& SwGlobalFunctions();

// ---------------------------------------------------------------------------------------------
// File access

// Whether the file functions may read ("load") or write ("save") files.
enum class TSwFileAccessKind : uint8_t { Read, Write };

enum class TSwFileAccessMode : uint8_t {
  Allowed,  // every access of the kind goes ahead
  Refused,  // every access of the kind raises ESwFileAccessRefused
  Ask,      // the policy's Ask callback decides each access
};

// One access a file function is about to make, as the Ask callback sees it.
struct TSwFileAccessRequest {
  TSwFileAccessKind Kind = TSwFileAccessKind::Read;
  WideString Function;      // the name the function was called by ("save")
  WideString Path;          // the file name as the expression gave it
  WideString ResolvedPath;  // absolute, with "." and ".." and the links that exist resolved
};

enum class TSwFileAccessAnswer : uint8_t {
  AllowOnce,    // this access; the next one is asked again
  AllowForRun,  // this access and every later one of its kind that asks the same policy
  Refuse,       // raises ESwFileAccessRefused
};

using TSwFileAccessAsk = TMethod<TSwFileAccessAnswer(const TSwFileAccessRequest& request)>;

// Which files the expressions of a run may read and write. A host that runs scripts from
// strangers refuses, or asks the user; the default allows everything. A modelling run works on
// a copy of its compiler's policy, so that "allow for this run" ends with the run.
struct TSwFileAccess {
  TSwFileAccessMode Read = TSwFileAccessMode::Allowed;
  TSwFileAccessMode Write = TSwFileAccessMode::Allowed;
  TSwFileAccessAsk Ask;  // without it, the Ask mode refuses

  static TSwFileAccess Refusing() { return {TSwFileAccessMode::Refused, TSwFileAccessMode::Refused, {}}; }
  TSwFileAccessMode& ModeOf(TSwFileAccessKind kind) { return kind == TSwFileAccessKind::Read ? Read : Write; }
  // Decides one access by the mode of its kind, asking when the mode says so; an AllowForRun
  // answer turns the mode to Allowed. ResolvedPath is filled before the callback is asked.
  bool Allows(TSwFileAccessRequest& request);
};

// ---------------------------------------------------------------------------------------------
// Extended values

// A value with the node it came from and a byte stream with a recorded position, so that
// functions can read, match and transform data without copying it. Its scalar's valCustom link
// points back here. Every extended value belongs to its expression and lives as long as it.
class TSwRpnValueEx final : public TSwObject {
 public:
  explicit TSwRpnValueEx(TSwExpression* expression);
  ~TSwRpnValueEx() override;

  // The extended value a scalar links to; null for a scalar without valCustom. A link to any
  // other object raises ESwBadRpnValueCustom.
  static TSwRpnValueEx* Of(const TRpnScalar& scalar);
  // The same, but a plain scalar raises ESwRpnValueNotExtended.
  static TSwRpnValueEx& Required(const TRpnScalar& scalar);

  // Carries a scalar form (any kind but valCustom).
  bool HasScalar() const { return (Value.Kinds & ~valCustom) != 0; }
  // What the stack gets: the scalar linked back here, or null when the value carries nothing.
  TRpnScalar Pushed();
  // Replaces the stream, freeing a previously owned one.
  void SetStream(TStream* stream, bool owns);
  void SetOwnedStream(std::unique_ptr<TStream> stream);
  // Gives up an owned stream (null when the stream is shared or missing).
  std::unique_ptr<TStream> ReleaseStream();
  // Its stream, else a stream over Value.Bytes made on first use (ESwBadRpnValue without them).
  TStream& DataStream();
  // Puts the stream back to StartPosition and the bytes stream to 0.
  void Rewind();
  // Back to a new value's state, its streams freed.
  void Clear();

  TSwExpression* Expression;  // owner
  TRpnScalar Value;
  TSwTreeNode* Node = nullptr;
  TSwStreamHolder Stream;
  std::unique_ptr<TStream> BytesStream;  // over Value.Bytes, made on demand
  int64_t StartPosition = 0;
  bool IsInitial = false;  // the start value of an evaluation
};

// ---------------------------------------------------------------------------------------------
// Expressions

struct TSwExpressionResult {
  TSwValue Value;
  TSwTreeNode* Node = nullptr;
  TStream* Stream = nullptr;
};

// The evaluator of expressions: pushes the start value when made, and takes the result from
// above the start value when exactly those two are left.
class TSwRpnEvaluator : public TRpnEvaluator {
 public:
  TSwRpnEvaluator(const TCompiledRPN* compiled, TSwRpnValueEx& startValue);
  TRpnScalar GetResult() override;
};

// One expression over a base node (node paths resolve from it) and an input stream.
class TSwExpression : public TSwObject {
 public:
  TSwExpression(WideString text, TSwTreeNode* baseNode);
  ~TSwExpression() override;

  // Readies the expression to be evaluated again over another base node and input. What earlier
  // evaluations made (values, their streams, the last result) is freed.
  void Restart(TSwTreeNode* baseNode, TStream* input);
  void SetOptions(const TSwOptions& options) { mOptions = options; }
  void SetInputStream(TStream* stream) { mInput = stream; }
  void SetModelNode(TSwExprModelNode* node) { mModelNode = node; }
  void SetFinder(TSwNodeFinder* finder) { mFinder = finder; }  // not owned
  void SetFunctions(TSwFunctions* functions) { mFunctions = functions; }  // null: the global one
  void SetText(WideString text) { mText = std::move(text); }
  // Not owned; null allows every file access. The policy keeps the answers given to it.
  void SetFileAccess(TSwFileAccess* access) { mFileAccess = access; }

  const WideString& Text() const { return mText; }
  TSwTreeNode* BaseNode() const { return mBaseNode; }
  TStream* InputStream() const { return mInput; }
  const TSwOptions& Options() const { return mOptions; }
  TSwExprModelNode* ModelNode() const { return mModelNode; }
  TSwNodeFinder* Finder() const { return mFinder; }
  TSwFileAccess* FileAccess() const { return mFileAccess; }
  // The registry in use: the expression's own, else the global one.
  TSwFunctions& Functions() const;
  // The evaluator of the running evaluation (null outside Evaluate).
  TSwRpnEvaluator* Evaluator() const { return mEvaluator; }
  // The options' line break as bytes of the options' code page.
  const RawByteString& EolnBytes();

  // The expression text compiled through the process-wide cache.
  virtual std::shared_ptr<const TCompiledRPN> Compile();
  virtual TSwExpressionResult Evaluate();
  bool Evaluated() const { return mLast != nullptr; }
  const TRpnScalar& LastScalar() const { return mLastScalar; }
  const TSwExpressionResult& LastResult() const { return mLastResult; }
  // The last result's stream for the caller to keep: an owned stream is given up; a shared
  // one (the input, a node's slice) comes as a new window over the whole of it, valid while
  // that stream lives; null without a stream. Before any evaluation:
  // ESwExtractExprStreamOnNoEval.
  std::unique_ptr<TStream> ExtractOutStream();

  // A new extended value owned by the expression.
  TSwRpnValueEx& NewValue();
  // Raises an expression error of class E (ESwExpression or ESwFunctions family) about this
  // expression; Report hands it to the error routing instead.
  template <class E, class... A>
  [[noreturn]] void Fail(std::string_view format, const A&... args) const;
  template <class E>
  E Decorate(E error) const {
    error.Expression = this;
    error.ExpressionText = mText;
    return error;
  }

 protected:
  // What a name of the compiled list stands for, worked out on its first evaluation: a
  // condition tried at every pass looks nothing up twice. Found by the address of the list's own
  // text and checked by content, so a list compiled anew is never mistaken for the old one.
  struct TResolvedName {
    const WideString* Address = nullptr;
    WideString Name;
    enum class TKind : uint8_t { Operator, Function, Node } Kind = TKind::Node;
    uint8_t Operator = 0;
    // A function's handlers as last looked up in a registry, valid while its count stays.
    const TSwFunctions* Registry = nullptr;
    uint64_t Registrations = 0;
    const std::vector<TSwFuncHandler>* Handlers = nullptr;
    // A node reference: "$" alone, else the path (empty: the base node) and the property.
    bool Base = false;
    bool Optional = false;
    WideString Path, Property;
  };
  TResolvedName& Resolve(const WideString& name);

  // The name lookup of the evaluator: operators, function calls and node references.
  void ResolveName(TRpnEvaluator& evaluator, const WideString& name, TRpnScalar& result);
  TRpnScalar Operator(TRpnEvaluator& evaluator, int op);
  TRpnScalar CallFunction(TResolvedName& function);
  TRpnScalar NodeReference(const TResolvedName& reference);

  WideString mText;
  TSwTreeNode* mBaseNode;
  TStream* mInput = nullptr;
  TSwOptions mOptions;
  TSwFunctions* mFunctions = nullptr;
  TSwNodeFinder* mFinder = nullptr;
  TSwExprModelNode* mModelNode = nullptr;
  TSwFileAccess* mFileAccess = nullptr;
  TSwRpnEvaluator* mEvaluator = nullptr;
  TRpnScalar mLastScalar;
  TSwExpressionResult mLastResult;
  TSwRpnValueEx* mLast = nullptr;
  std::vector<std::unique_ptr<TSwRpnValueEx>> mValues;  // the first mValuesInUse are in use
  size_t mValuesInUse = 0;
  RawByteString mEolnBytes;
  bool mEolnReady = false;
  // The list of the last evaluation, kept for the next one while the text and the process-wide
  // compile settings stay the same.
  std::shared_ptr<const TCompiledRPN> mCompiled;
  WideString mCompiledText;
  uint64_t mCompiledGeneration = 0;
  // A deque: an entry stays where it is while a nested evaluation adds others.
  std::deque<TResolvedName> mResolved;
};

template <class E, class... A>
void TSwExpression::Fail(std::string_view format, const A&... args) const {
  throw Decorate(MakeError<E>(format, args...));
}

// ---------------------------------------------------------------------------------------------
// Conditions

// A condition operator's class: prepares operands at compile time and makes the object that
// tests the input at run time.
struct TSwConditionClass : TSwClassInfo {
  TRpnScalar (*PrepareOperand)(const TRpnScalar& operand, const TSwOptions& options) = nullptr;
  std::unique_ptr<TSwCondExpression> (*Create)(TSwTreeNode* baseNode, const TRpnScalar& operand) = nullptr;
};

// One-character operator -> condition class.
class TSwConditions {
 public:
  void Register(const WideString& op, const TSwConditionClass* cls);
  const TSwConditionClass* Find(const WideString& op) const;
  // The operator registered for a class, or empty text.
  WideString NameOf(const TSwConditionClass* cls) const;

 private:
  std::vector<std::pair<WideString, const TSwConditionClass*>> mEntries;
};

TSwConditions& SwGlobalConditions();
// The class of the "%" operator; the compiler's implicit any-character children use it.
const TSwConditionClass* SwSimpatConditionClass();

// ---------------------------------------------------------------------------------------------
// Condition objects. Each class has one descriptor, TCdExact::Class() and so on; the model
// compiler prepares operands with it and the modelling run creates one object per test.

class TSwCondExpression : public TSwExpression {
 public:
  TSwCondExpression(TSwTreeNode* baseNode, const TRpnScalar& operand);
  static const TSwConditionClass* Class();
  // The operand unchanged.
  static TRpnScalar PrepareOperand(const TRpnScalar& operand, const TSwOptions& options);
  const TRpnScalar& Operand() const { return mOperand; }

 protected:
  TRpnScalar mOperand;
};

// Builds its compiled list from the operand instead of parsing text: the operand as a
// constant, then the matcher function. Lists are cached per class and operand, so a condition
// tried again and again neither parses nor builds anything.
class TSwPrecompiledCondExpr : public TSwCondExpression {
 public:
  using TSwCondExpression::TSwCondExpression;
  static const TSwConditionClass* Class();
  // A text operand without bytes also gets its bytes in the options' code page (loss is an
  // error); both forms are kept.
  static TRpnScalar PrepareOperand(const TRpnScalar& operand, const TSwOptions& options);

  std::shared_ptr<const TCompiledRPN> Compile() override;
  // Appends the items; the result must depend on the class and the operand only.
  virtual void BuildCompiled(TCompiledRPN& list) const;
};

class TCdExact : public TSwPrecompiledCondExpr {
 public:
  using TSwPrecompiledCondExpr::TSwPrecompiledCondExpr;
  static const TSwConditionClass* Class();
  void BuildCompiled(TCompiledRPN& list) const override;
};
class TCdSpaces : public TSwPrecompiledCondExpr {
 public:
  using TSwPrecompiledCondExpr::TSwPrecompiledCondExpr;
  static const TSwConditionClass* Class();
  void BuildCompiled(TCompiledRPN& list) const override;
};
class TCdHex : public TSwPrecompiledCondExpr {
 public:
  using TSwPrecompiledCondExpr::TSwPrecompiledCondExpr;
  static const TSwConditionClass* Class();
  void BuildCompiled(TCompiledRPN& list) const override;
};
class TCdSimpat : public TSwPrecompiledCondExpr {
 public:
  using TSwPrecompiledCondExpr::TSwPrecompiledCondExpr;
  static const TSwConditionClass* Class();
  void BuildCompiled(TCompiledRPN& list) const override;
};

// "?": the operand is the expression text.
class TCdExpression : public TSwCondExpression {
 public:
  using TSwCondExpression::TSwCondExpression;
  static const TSwConditionClass* Class();
  // A bytes-only operand gets its text, decoded with the options' code page.
  static TRpnScalar PrepareOperand(const TRpnScalar& operand, const TSwOptions& options);
  TSwExpressionResult Evaluate() override;
};

}  // namespace skeinwork
