// RPNit: a small evaluator of reverse Polish (postfix) expressions over typed scalar values.
//
// CompileRpn cuts an expression text into tokens once (strings in single quotes, numbers, one-
// character operators, names) and gives a TCompiledRPN, a list of value and operator objects,
// shared through a process-wide cache keyed by the text. A TRpnEvaluator runs such a list over
// its TRpnValueStack and gives the single value left. Names are not resolved here: each one
// becomes a TRpnVariable (or the class the compile settings name) that asks the evaluator's
// Variables table or its OnVariable callback, which may also pop and push stack values itself;
// the expression layer builds its whole language on that callback.
//
// Process-wide settings: the operator table (registered at first use with + - * / ^ % > <; the
// expression layer empties it) and the variable characters. Changing either empties the compile
// cache. They are guarded by a lock, but are meant to be set once at start-up.
#pragma once

#include "SwCore.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace skeinwork {

class TRpnEvaluator;

// ---------------------------------------------------------------------------------------------
// Values.

// A set of value kinds; a value may carry several at once (a text and its bytes, say).
using TRpnValueKind = uint8_t;
inline constexpr TRpnValueKind valNum = 1;      // letter i: Num, a 64-bit float
inline constexpr TRpnValueKind valBool = 2;     // letter b: Bool
inline constexpr TRpnValueKind valBytes = 4;    // letter r: Bytes, a byte string
inline constexpr TRpnValueKind valStr = 8;      // letter s: Str, UTF-16 text
inline constexpr TRpnValueKind valCustom = 16;  // letter c: Custom, an object owned elsewhere

struct TRpnScalar {
  TRpnValueKind Kinds = 0;  // empty: null
  double Num = 0;
  bool Bool = false;
  RawByteString Bytes;
  WideString Str;
  TSwObject* Custom = nullptr;  // not owned

  bool Has(TRpnValueKind kind) const { return (Kinds & kind) != 0; }
  bool IsNull() const { return Kinds == 0; }
};

// Values of exactly one kind.
TRpnScalar RpnNum(double value);
TRpnScalar RpnBool(bool value);
TRpnScalar RpnBytes(RawByteString value);
TRpnScalar RpnStr(WideString value);

// The letters of a kind set in the order s, r, i, b, c; "-" for the empty set.
std::string RpnKindLetters(TRpnValueKind kinds);
// Text form: the text; else the bytes as spaced upper-case hex pairs; else the number (integer
// digits when it has no fractional part, else up to 15 significant digits with "."); else True
// or False; else `nullText`.
WideString RpnValueText(const TRpnScalar& value, std::u16string_view nullText = u"null");
// Equality by the kinds both values carry: bool, num, bytes, str, num against str by text form,
// null only equals null; anything else raises EInvalidRpnOperation.
bool RpnValuesEqual(const TRpnScalar& a, const TRpnScalar& b);

// ---------------------------------------------------------------------------------------------
// Errors. Those raised while running derive from ERpnEvaluation.

SW_EXCEPTION(ERPN, ESkeinwork);
SW_EXCEPTION(ERpnEvaluation, ERPN);
SW_EXCEPTION(EEmptyRpnVarCharList, ERPN);
SW_EXCEPTION(EDuplicateRpnOperator, ERPN);
SW_EXCEPTION(EEmptyRPN, ERPN);
SW_EXCEPTION(EWrongRpnSyntax, ERPN);
SW_EXCEPTION(EUnterminatedString, EWrongRpnSyntax);

class EInvalidRpnFloatStr : public ERPN {
 public:
  using ERPN::ERPN;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override {
    return std::make_unique<EInvalidRpnFloatStr>(*this);
  }
  WideString Expression;  // the whole expression text
};

SW_EXCEPTION(EEmptyStackOperation, ERpnEvaluation);
SW_EXCEPTION(EWrongTopStackValueKind, ERpnEvaluation);
SW_EXCEPTION(EIntegerExpectedOnStackTop, ERpnEvaluation);
SW_EXCEPTION(ENotEnoughRpnArguments, ERpnEvaluation);
SW_EXCEPTION(EMissingRpnVariable, ERpnEvaluation);
SW_EXCEPTION(EVariablelessRPN, ERpnEvaluation);
SW_EXCEPTION(ENonEmptyRpnStack, ERpnEvaluation);
SW_EXCEPTION(EEmptyRpnStack, ERpnEvaluation);
SW_EXCEPTION(EInvalidRpnOperation, ERpnEvaluation);
SW_EXCEPTION(ERpnStackOverflow, ERpnEvaluation);

// ---------------------------------------------------------------------------------------------
// Compiled items. Items are shared by every evaluation of a cached text, possibly on several
// threads, so their operations are const: whatever changes lives in the evaluator.

// An item that yields a value, which the evaluator pushes.
class TRpnValue : public TSwObject {
 public:
  virtual TRpnScalar GetValue(TRpnEvaluator& evaluator) const = 0;
};

class TRpnConst : public TRpnValue {
 public:
  explicit TRpnConst(TRpnScalar value) : Value(std::move(value)) {}
  TRpnScalar GetValue(TRpnEvaluator& evaluator) const override;
  TRpnScalar Value;
};

// A name; yields what the evaluator's variable lookup gives for it.
class TRpnVariable : public TRpnValue {
 public:
  explicit TRpnVariable(WideString name) : mName(std::move(name)) {}
  TRpnScalar GetValue(TRpnEvaluator& evaluator) const override;
  const WideString& Name() const { return mName; }

 private:
  WideString mName;  // as written
};

// An item that takes its operands from the stack; the evaluator pushes its result.
class TRpnOperator : public TSwObject {
 public:
  virtual TRpnScalar Apply(TRpnEvaluator& evaluator) const = 0;
  // The class name without its leading "TRpn", as messages name an operator.
  std::string OperatorName() const;

 protected:
  // Raises ENotEnoughRpnArguments unless the stack holds `count` values.
  void NeedArguments(TRpnEvaluator& evaluator, int count) const;
};

// Pops b then a (two numbers) and pushes Calc(a, b).
class TRpnMathOperator : public TRpnOperator {
 public:
  TRpnScalar Apply(TRpnEvaluator& evaluator) const override;
  virtual double Calc(double a, double b) const = 0;
};

// Pops b then a (two numbers) and pushes the boolean Compare(a, b).
class TRpnCompOperator : public TRpnOperator {
 public:
  TRpnScalar Apply(TRpnEvaluator& evaluator) const override;
  virtual bool Compare(double a, double b) const = 0;
};

class TRpnAdd : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override { return a + b; }
};
class TRpnSubtract : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override { return a - b; }
};
class TRpnMultiply : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override { return a * b; }
};
// IEEE division: a zero divisor gives an infinity or NaN, not an error.
class TRpnDivide : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override { return a / b; }
};
class TRpnPower : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override;
};
// a - trunc(a / b) * b
class TRpnModulus : public TRpnMathOperator {
 public:
  double Calc(double a, double b) const override;
};
class TRpnMore : public TRpnCompOperator {
 public:
  bool Compare(double a, double b) const override { return a > b; }
};
class TRpnLess : public TRpnCompOperator {
 public:
  bool Compare(double a, double b) const override { return a < b; }
};

// Class references: a name and a factory per class. RpnOperatorClassOf<TRpnAdd>() gives the one
// descriptor of a class, so descriptors compare by address.
struct TRpnOperatorClass {
  const char* Name;
  std::unique_ptr<TRpnOperator> (*Create)();
};
struct TRpnVariableClass {
  const char* Name;
  std::unique_ptr<TRpnVariable> (*Create)(std::u16string_view name);
};

template <class T>
const TRpnOperatorClass* RpnOperatorClassOf() {
  static const std::string name = SwClassNameOf(typeid(T));
  static const TRpnOperatorClass info{
      name.c_str(), []() -> std::unique_ptr<TRpnOperator> { return std::make_unique<T>(); }};
  return &info;
}

template <class T>
const TRpnVariableClass* RpnVariableClassOf() {
  static const std::string name = SwClassNameOf(typeid(T));
  static const TRpnVariableClass info{
      name.c_str(), [](std::u16string_view text) -> std::unique_ptr<TRpnVariable> {
        return std::make_unique<T>(WideString(text));
      }};
  return &info;
}

// An owning list of compiled items in execution order: values (TRpnValue), operators
// (TRpnOperator), or anything else, which evaluation refuses.
class TCompiledRPN : public TSwObject {
 public:
  void Add(std::unique_ptr<TSwObject> item);
  size_t Count() const { return mItems.size(); }
  const TSwObject& Item(size_t index) const { return *mItems[index].Object; }
  void Reverse();

 private:
  friend class TRpnEvaluator;
  struct TEntry {
    std::unique_ptr<TSwObject> Object;
    const TRpnValue* Value;        // the object as a value, or null
    const TRpnOperator* Operator;  // the object as an operator, or null
  };
  std::vector<TEntry> mItems;
};

// ---------------------------------------------------------------------------------------------
// The operator table: one operator class per character.

class TRpnOperators {
 public:
  // Raises EDuplicateRpnOperator when the character is taken.
  void Add(char16_t character, const TRpnOperatorClass* cls);
  const TRpnOperatorClass* Find(char16_t character) const {
    if (character < 255) return mDirect[character];
    auto found = mWide.find(character);
    return found == mWide.end() ? nullptr : found->second;
  }
  void Clear();
  int Count() const { return mCount; }

 private:
  std::array<const TRpnOperatorClass*, 256> mDirect{};  // codes below 255
  std::unordered_map<char16_t, const TRpnOperatorClass*> mWide;  // codes 255 and above
  int mCount = 0;
};

// The process-wide table. Registering or clearing empties the compile cache, since tokenising
// depends on the table.
void RegisterRpnOperator(char16_t character, const TRpnOperatorClass* cls);
void ClearRpnOperators();
// The current table; later changes to the process-wide table do not reach this copy.
std::shared_ptr<const TRpnOperators> RpnOperators();

// The process-wide variable characters (letters match in either case). An empty text after
// trimming raises EEmptyRpnVarCharList. Setting them empties the compile cache.
void SetRpnVarChars(std::u16string_view text);
WideString RpnVarChars();
inline constexpr std::u16string_view RpnDefaultVarChars = u"abcdefghijklmnopqrstuvwxyz0123456789_";

// Puts back the default operator table and variable characters and empties the compile cache.
void RestoreRpnDefaults();

class TRpnCharSet;

// A language of its own on top of the evaluator: an operator table and variable characters that
// never change once made, used instead of the process-wide ones by the compiles and evaluators
// given it. The compile cache tells dialects apart by address, so a language makes its dialect
// once and keeps it (a function-local static), rather than one per compile.
class TRpnDialect {
 public:
  // An empty text after trimming raises EEmptyRpnVarCharList.
  TRpnDialect(std::shared_ptr<const TRpnOperators> operators, std::u16string_view varChars);
  ~TRpnDialect();
  TRpnDialect(const TRpnDialect&) = delete;
  TRpnDialect& operator=(const TRpnDialect&) = delete;

  const std::shared_ptr<const TRpnOperators>& Operators() const { return mOperators; }
  const WideString& VarChars() const { return mVarChars; }
  const TRpnCharSet& VarSet() const { return *mVarSet; }

 private:
  std::shared_ptr<const TRpnOperators> mOperators;
  WideString mVarChars;
  std::unique_ptr<const TRpnCharSet> mVarSet;
};

// ---------------------------------------------------------------------------------------------
// Compiling.

struct TRpnCompileSettings {
  bool UseCache = true;
  bool Reversed = false;  // reverse the list after tokenising
  const TRpnVariableClass* VariableClass = nullptr;  // class made for names; null: TRpnVariable
  const TRpnOperators* Operators = nullptr;          // null: the dialect's table
  const TRpnDialect* Dialect = nullptr;  // null: the process-wide table and variable characters
};

// Tokenises the trimmed text into a compiled list. With UseCache and no Operators override the
// list comes from (or goes to) the process-wide cache, keyed by the trimmed text, Reversed,
// VariableClass and Dialect; a cached list stays valid while any caller holds it. The cache is emptied when
// it holds RpnMaxCachedLists lists, so that ever new texts cannot grow it without bound.
inline constexpr size_t RpnMaxCachedLists = 4096;
std::shared_ptr<const TCompiledRPN> CompileRpn(std::u16string_view text,
                                               const TRpnCompileSettings& settings = {});
void ClearRpnCompileCache();
// Grows whenever the process-wide cache is emptied (the operators or the variable characters may
// have changed), so that a holder of a list knows when to compile its text again.
uint64_t RpnCompileGeneration();
// How many texts were tokenised so far (for tests and diagnostics).
int64_t RpnTokeniseCount();

// ---------------------------------------------------------------------------------------------
// Evaluating.

// At most 8192 values; one more raises ERpnStackOverflow.
class TRpnValueStack : public TSwObject {
 public:
  static constexpr int Capacity = 8192;

  TRpnValueStack();
  ~TRpnValueStack() override;
  void Push(TRpnScalar value);
  TRpnScalar Pop();
  double PopNum();   // requires valNum
  int64_t PopInt();  // a number without fractional part that fits in 64 bits
  WideString PopStr();  // requires valStr
  // Exactly one value left: pops it; none: EEmptyRpnStack; more: ENonEmptyRpnStack.
  virtual TRpnScalar GetResult();

  int Count() const { return static_cast<int>(mItems.size()); }
  // Value `index` counted from the bottom (0) of the stack.
  const TRpnScalar& At(int index) const { return mItems.at(static_cast<size_t>(index)); }
  TRpnScalar& At(int index) { return mItems.at(static_cast<size_t>(index)); }
  void Clear() { mItems.clear(); }

 private:
  const TRpnScalar& TopOfKind(TRpnValueKind kind, const char* operation) const;

  std::vector<TRpnScalar> mItems;  // grows on demand up to Capacity
};

using TRpnVariables = std::unordered_map<WideString, TRpnScalar>;
// Resolves `name`: sets `result` (pushed by the evaluator) and may pop and push stack values.
using TRpnVariableEvent =
    TMethod<void(TRpnEvaluator& evaluator, const WideString& name, TRpnScalar& result)>;

class TRpnEvaluator : public TSwObject {
 public:
  // Takes a copy of the process-wide operator table as it is now.
  explicit TRpnEvaluator(const TCompiledRPN* compiled);
  // Shares the given (a dialect's) operator table until it changes it.
  TRpnEvaluator(const TCompiledRPN* compiled, std::shared_ptr<const TRpnOperators> operators);

  // Runs every item in order (the stack is not emptied first), then gives GetResult().
  TRpnScalar Evaluate();
  virtual TRpnScalar GetResult();
  // The variable lookup of a TRpnVariable: Variables (missing: EMissingRpnVariable), else
  // OnVariable, else EVariablelessRPN.
  virtual TRpnScalar LookupVariable(const WideString& name);

  TRpnValueStack& Stack() { return mStack; }
  const TRpnOperators& Operators() const { return *mOperators; }
  TRpnOperators& MutableOperators();  // the evaluator's own copy

  const TCompiledRPN* Compiled;                // not owned
  const TRpnVariables* Variables = nullptr;    // optional, not owned
  TRpnVariableEvent OnVariable;                // optional

 private:
  TRpnValueStack mStack;
  std::shared_ptr<const TRpnOperators> mOperators;  // copied on first change
};

}  // namespace skeinwork
