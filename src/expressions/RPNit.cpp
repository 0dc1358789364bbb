#include "RPNit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <atomic>
#include <mutex>

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Values

TRpnScalar RpnNum(double value) {
  TRpnScalar v;
  v.Kinds = valNum;
  v.Num = value;
  return v;
}

TRpnScalar RpnBool(bool value) {
  TRpnScalar v;
  v.Kinds = valBool;
  v.Bool = value;
  return v;
}

TRpnScalar RpnBytes(RawByteString value) {
  TRpnScalar v;
  v.Kinds = valBytes;
  v.Bytes = std::move(value);
  return v;
}

TRpnScalar RpnStr(WideString value) {
  TRpnScalar v;
  v.Kinds = valStr;
  v.Str = std::move(value);
  return v;
}

std::string RpnKindLetters(TRpnValueKind kinds) {
  std::string letters;
  if (kinds & valStr) letters += 's';
  if (kinds & valBytes) letters += 'r';
  if (kinds & valNum) letters += 'i';
  if (kinds & valBool) letters += 'b';
  if (kinds & valCustom) letters += 'c';
  return letters.empty() ? "-" : letters;
}

namespace {

std::string NumberText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";  // also -0
  if (std::trunc(value) == value) return fmt::format("{:.0f}", value);
  return fmt::format("{:.15g}", value);
}

}  // namespace

WideString RpnValueText(const TRpnScalar& value, std::u16string_view nullText) {
  if (value.Has(valStr)) return value.Str;
  if (value.Has(valBytes)) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    WideString text;
    text.reserve(value.Bytes.size() * 3);
    for (size_t i = 0; i < value.Bytes.size(); ++i) {
      auto byte = static_cast<uint8_t>(value.Bytes[i]);
      if (i) text += u' ';
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
    return text;
  }
  if (value.Has(valNum)) return Utf8ToWide(NumberText(value.Num));
  if (value.Has(valBool)) return value.Bool ? u"True" : u"False";
  return WideString(nullText);
}

bool RpnValuesEqual(const TRpnScalar& a, const TRpnScalar& b) {
  auto both = [&](TRpnValueKind kind) { return a.Has(kind) && b.Has(kind); };
  if (both(valBool)) return a.Bool == b.Bool;
  if (both(valNum)) return a.Num == b.Num;
  if (both(valBytes)) return a.Bytes == b.Bytes;
  if (both(valStr)) return a.Str == b.Str;
  if ((a.Has(valNum) && b.Has(valStr)) || (a.Has(valStr) && b.Has(valNum)))
    return RpnValueText(a) == RpnValueText(b);
  if (a.IsNull() || b.IsNull()) return a.IsNull() && b.IsNull();
  SwRaise<EInvalidRpnOperation>(
      "Incomparable RPN values of types: A (%s) = %s, B (%s) = %s. Can only compare these "
      "combinations: null-any or any-null or null/null, num-num, bool-bool, str-str, "
      "bytes-bytes, num-str or str-num.",
      RpnValueText(a), RpnKindLetters(a.Kinds), RpnValueText(b), RpnKindLetters(b.Kinds));
}

// ---------------------------------------------------------------------------------------------
// Items

TRpnScalar TRpnConst::GetValue(TRpnEvaluator&) const { return Value; }

TRpnScalar TRpnVariable::GetValue(TRpnEvaluator& evaluator) const {
  return evaluator.LookupVariable(mName);
}

std::string TRpnOperator::OperatorName() const {
  std::string name = ClassName();
  return name.rfind("TRpn", 0) == 0 ? name.substr(4) : name;
}

void TRpnOperator::NeedArguments(TRpnEvaluator& evaluator, int count) const {
  int present = evaluator.Stack().Count();
  if (present < count)
    SwRaise<ENotEnoughRpnArguments>("Too few arguments on stack for %s (needs %d, has %d).",
                                    OperatorName(), count, present);
}

TRpnScalar TRpnMathOperator::Apply(TRpnEvaluator& evaluator) const {
  NeedArguments(evaluator, 2);
  double b = evaluator.Stack().PopNum();
  double a = evaluator.Stack().PopNum();
  return RpnNum(Calc(a, b));
}

TRpnScalar TRpnCompOperator::Apply(TRpnEvaluator& evaluator) const {
  NeedArguments(evaluator, 2);
  double b = evaluator.Stack().PopNum();
  double a = evaluator.Stack().PopNum();
  return RpnBool(Compare(a, b));
}

double TRpnPower::Calc(double a, double b) const { return std::pow(a, b); }
double TRpnModulus::Calc(double a, double b) const { return a - std::trunc(a / b) * b; }

void TCompiledRPN::Add(std::unique_ptr<TSwObject> item) {
  const TSwObject* raw = item.get();
  mItems.push_back({std::move(item), dynamic_cast<const TRpnValue*>(raw),
                    dynamic_cast<const TRpnOperator*>(raw)});
}

void TCompiledRPN::Reverse() { std::reverse(mItems.begin(), mItems.end()); }

// ---------------------------------------------------------------------------------------------
// Operator table

void TRpnOperators::Add(char16_t character, const TRpnOperatorClass* cls) {
  if (Find(character))
    SwRaise<EDuplicateRpnOperator>(
        "Attempted to add a new operator \"%s\" of class %s to the RPN operator list but it was "
        "already taken.",
        WideString(1, character), std::string(cls ? cls->Name : "<nil object>"));
  if (character < 255)
    mDirect[character] = cls;
  else
    mWide[character] = cls;
  ++mCount;
}

void TRpnOperators::Clear() {
  mDirect.fill(nullptr);
  mWide.clear();
  mCount = 0;
}

// ---------------------------------------------------------------------------------------------
// Process-wide state

// Membership of every UTF-16 code unit.
class TRpnCharSet {
 public:
  explicit TRpnCharSet(std::u16string_view chars) : mBits(1024, 0) {
    for (char16_t c : chars) {
      Include(c);
      if (c >= u'a' && c <= u'z') Include(static_cast<char16_t>(c - u'a' + u'A'));
      if (c >= u'A' && c <= u'Z') Include(static_cast<char16_t>(c - u'A' + u'a'));
    }
  }
  bool Has(char16_t c) const { return (mBits[c >> 6] >> (c & 63)) & 1; }

 private:
  void Include(char16_t c) { mBits[c >> 6] |= uint64_t(1) << (c & 63); }
  std::vector<uint64_t> mBits;
};

namespace {

struct TCacheKeyView {
  std::u16string_view Text;
  bool Reversed;
  const TRpnVariableClass* VariableClass;
  const TRpnDialect* Dialect;
};

struct TCacheKey {
  WideString Text;
  bool Reversed;
  const TRpnVariableClass* VariableClass;
  const TRpnDialect* Dialect;
};

struct TCacheHash {
  using is_transparent = void;
  size_t operator()(const TCacheKeyView& key) const {
    size_t h = std::hash<std::u16string_view>()(key.Text);
    h ^= std::hash<const void*>()(key.VariableClass) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= std::hash<const void*>()(key.Dialect) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h ^ static_cast<size_t>(key.Reversed);
  }
  size_t operator()(const TCacheKey& key) const {
    return (*this)(TCacheKeyView{key.Text, key.Reversed, key.VariableClass, key.Dialect});
  }
};

struct TCacheEqual {
  using is_transparent = void;
  static TCacheKeyView View(const TCacheKey& key) {
    return {key.Text, key.Reversed, key.VariableClass, key.Dialect};
  }
  static const TCacheKeyView& View(const TCacheKeyView& key) { return key; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    const TCacheKeyView& x = View(a);
    const TCacheKeyView& y = View(b);
    return x.Text == y.Text && x.Reversed == y.Reversed && x.VariableClass == y.VariableClass &&
           x.Dialect == y.Dialect;
  }
};

using TCompileCache =
    std::unordered_map<TCacheKey, std::shared_ptr<const TCompiledRPN>, TCacheHash, TCacheEqual>;

std::shared_ptr<const TRpnOperators> DefaultOperators() {
  auto table = std::make_shared<TRpnOperators>();
  table->Add(u'+', RpnOperatorClassOf<TRpnAdd>());
  table->Add(u'-', RpnOperatorClassOf<TRpnSubtract>());
  table->Add(u'*', RpnOperatorClassOf<TRpnMultiply>());
  table->Add(u'/', RpnOperatorClassOf<TRpnDivide>());
  table->Add(u'^', RpnOperatorClassOf<TRpnPower>());
  table->Add(u'%', RpnOperatorClassOf<TRpnModulus>());
  table->Add(u'>', RpnOperatorClassOf<TRpnMore>());
  table->Add(u'<', RpnOperatorClassOf<TRpnLess>());
  return table;
}

// The tables are replaced, never changed in place, so a compile or an evaluator holding the old
// ones is unaffected by a change.
struct TRpnGlobals {
  std::mutex Lock;
  std::shared_ptr<const TRpnOperators> Operators = DefaultOperators();
  WideString VarChars{RpnDefaultVarChars};
  std::shared_ptr<const TRpnCharSet> VarSet = std::make_shared<TRpnCharSet>(RpnDefaultVarChars);
  TCompileCache Cache;
  int64_t Tokenised = 0;
  // Grows whenever the cache is emptied, so that threads drop their copies of it.
  std::atomic<uint64_t> Generation{0};

  void ClearCache() {
    Cache.clear();
    Generation.fetch_add(1, std::memory_order_release);
  }
};

TRpnGlobals& Globals() {
  static TRpnGlobals globals;
  return globals;
}


bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A run of digits with at most one decimal separator: "." when the run has one, else ",".
bool ParseRpnFloat(std::u16string_view run, double& value) {
  char16_t separator = run.find(u'.') != std::u16string_view::npos ? u'.' : u',';
  std::string text;
  bool seen = false;
  for (char16_t c : run) {
    if (IsDigit(c)) {
      text += static_cast<char>(c);
    } else if (c == separator && !seen) {
      seen = true;
      text += '.';
    } else {
      return false;
    }
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::unique_ptr<TCompiledRPN> Tokenise(std::u16string_view text, const TRpnCompileSettings& settings,
                                       const TRpnOperators& operators, const TRpnCharSet& varSet) {
  const TRpnVariableClass* variableClass =
      settings.VariableClass ? settings.VariableClass : RpnVariableClassOf<TRpnVariable>();
  auto list = std::make_unique<TCompiledRPN>();
  size_t n = text.size();
  size_t p = 0;
  while (p < n) {
    char16_t c = text[p];
    if (c == u' ') {
      ++p;
      continue;
    }
    if (c == u'\'') {
      WideString collected;
      size_t q = p + 1;
      bool closed = false;
      while (q < n) {
        if (text[q] != u'\'') {
          collected += text[q++];
        } else if (q + 1 < n && text[q + 1] == u'\'') {
          collected += u'\'';
          q += 2;
        } else {
          closed = true;
          ++q;
          break;
        }
      }
      if (!closed)
        SwRaise<EUnterminatedString>(
            "Unterminated string \"%s\" started at %d in RPN expression \"%s\".", collected,
            static_cast<int>(n - collected.size()), WideString(text));
      list->Add(std::make_unique<TRpnConst>(RpnStr(std::move(collected))));
      p = q;
      continue;
    }
    bool signedNumber = (c == u'+' || c == u'-') && p + 1 < n && IsDigit(text[p + 1]);
    if (IsDigit(c) || signedNumber) {
      size_t start = p;
      if (signedNumber) ++p;
      size_t runStart = p;
      while (p < n && (IsDigit(text[p]) || text[p] == u',' || text[p] == u'.')) ++p;
      double value = 0;
      if (!ParseRpnFloat(text.substr(runStart, p - runStart), value)) {
        auto error = MakeError<EInvalidRpnFloatStr>(
            "Invalid floating point constant \"%s\" in an RPN expression.",
            WideString(text.substr(start, p - start)));
        error.Expression = WideString(text);
        throw error;
      }
      list->Add(std::make_unique<TRpnConst>(RpnNum(c == u'-' ? -value : value)));
      continue;
    }
    // Characters are taken whole: a character above 255 is never read as its low byte.
    const TRpnOperatorClass* op = operators.Find(c);
    bool variable = varSet.Has(c);
    if (op && variable) {
      bool nameFollows = p + 1 < n && text[p + 1] != u' ' && !IsDigit(text[p + 1]);
      if (nameFollows)
        op = nullptr;
      else
        variable = false;
    }
    if (op) {
      list->Add(op->Create());
      ++p;
      continue;
    }
    if (variable) {
      size_t start = p;
      while (p < n && varSet.Has(text[p])) ++p;
      list->Add(variableClass->Create(text.substr(start, p - start)));
      continue;
    }
    SwRaise<EWrongRpnSyntax>(
        "Invalid RPN expression syntax at \"%s\" (position %d, full string: \"%s\").",
        WideString(text.substr(p, 20)), static_cast<int>(p + 1), WideString(text));
  }
  if (settings.Reversed) list->Reverse();
  return list;
}

}  // namespace

void RegisterRpnOperator(char16_t character, const TRpnOperatorClass* cls) {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  auto table = std::make_shared<TRpnOperators>(*g.Operators);
  table->Add(character, cls);
  g.Operators = std::move(table);
  g.ClearCache();
}

void ClearRpnOperators() {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  g.Operators = std::make_shared<TRpnOperators>();
  g.ClearCache();
}

std::shared_ptr<const TRpnOperators> RpnOperators() {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  return g.Operators;
}

void SetRpnVarChars(std::u16string_view text) {
  if (SwTrim(text).empty()) SwRaise<EEmptyRpnVarCharList>("Attempted to set empty RpnVarChars.");
  auto set = std::make_shared<TRpnCharSet>(text);
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  g.VarChars = WideString(text);
  g.VarSet = std::move(set);
  g.ClearCache();
}

WideString RpnVarChars() {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  return g.VarChars;
}

TRpnDialect::TRpnDialect(std::shared_ptr<const TRpnOperators> operators, std::u16string_view varChars)
    : mOperators(std::move(operators)), mVarChars(varChars) {
  if (SwTrim(varChars).empty()) SwRaise<EEmptyRpnVarCharList>("Attempted to set empty RpnVarChars.");
  if (!mOperators) mOperators = std::make_shared<TRpnOperators>();
  mVarSet = std::make_unique<TRpnCharSet>(varChars);
}

TRpnDialect::~TRpnDialect() = default;

void RestoreRpnDefaults() {
  auto operators = DefaultOperators();
  auto set = std::make_shared<TRpnCharSet>(RpnDefaultVarChars);
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  g.Operators = std::move(operators);
  g.VarChars = WideString(RpnDefaultVarChars);
  g.VarSet = std::move(set);
  g.ClearCache();
}

std::shared_ptr<const TCompiledRPN> CompileRpn(std::u16string_view text,
                                               const TRpnCompileSettings& settings) {
  std::u16string_view trimmed = SwTrim(text);
  if (trimmed.empty()) SwRaise<EEmptyRPN>("Empty RPN expression string.");
  TRpnGlobals& g = Globals();
  const TRpnDialect* dialect = settings.Dialect;
  bool cached = settings.UseCache && !settings.Operators;
  TCacheKeyView key{trimmed, settings.Reversed, settings.VariableClass, dialect};

  // Each thread keeps a copy of the cache that it checks without the lock; the generation tells
  // it when the shared cache was emptied.
  struct TLocalCache {
    uint64_t Generation = 0;
    TCompileCache Lists;
  };
  thread_local TLocalCache local;
  uint64_t generation = g.Generation.load(std::memory_order_acquire);
  if (cached) {
    if (local.Generation != generation) {
      local.Lists.clear();
      local.Generation = generation;
    }
    if (auto found = local.Lists.find(key); found != local.Lists.end()) return found->second;
  }

  std::shared_ptr<const TRpnOperators> operators;
  std::shared_ptr<const TRpnCharSet> varSet;
  {
    std::lock_guard<std::mutex> guard(g.Lock);
    if (cached) {
      if (auto found = g.Cache.find(key); found != g.Cache.end()) {
        if (g.Generation.load(std::memory_order_relaxed) == local.Generation)
          local.Lists.emplace(found->first, found->second);
        return found->second;
      }
    }
    if (!dialect) {
      operators = g.Operators;
      varSet = g.VarSet;
    }
    ++g.Tokenised;
  }
  // Tokenise outside the lock; a text compiled twice at once simply keeps the first list.
  const TRpnOperators& table =
      settings.Operators ? *settings.Operators : dialect ? *dialect->Operators() : *operators;
  std::shared_ptr<const TCompiledRPN> list =
      Tokenise(trimmed, settings, table, dialect ? dialect->VarSet() : *varSet);
  if (!cached) return list;
  std::lock_guard<std::mutex> guard(g.Lock);
  // Store only when the process-wide settings used are still the current ones.
  if (!dialect && (g.Operators != operators || g.VarSet != varSet)) return list;
  if (g.Cache.size() >= RpnMaxCachedLists) g.ClearCache();
  auto entry = g.Cache.emplace(
      TCacheKey{WideString(trimmed), settings.Reversed, settings.VariableClass, dialect}, list).first;
  if (g.Generation.load(std::memory_order_relaxed) == local.Generation)
    local.Lists.emplace(entry->first, entry->second);
  return entry->second;
}

uint64_t RpnCompileGeneration() {
  return Globals().Generation.load(std::memory_order_acquire);
}

void ClearRpnCompileCache() {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  g.ClearCache();
}

int64_t RpnTokeniseCount() {
  TRpnGlobals& g = Globals();
  std::lock_guard<std::mutex> guard(g.Lock);
  return g.Tokenised;
}

// ---------------------------------------------------------------------------------------------
// Stack

namespace {
// The storage of the last stack freed on this thread: the next stack takes it over, so that
// creating an evaluator per condition neither allocates nor grows the stack again.
thread_local std::vector<TRpnScalar> tSpareStack;
}  // namespace

TRpnValueStack::TRpnValueStack() {
  mItems.swap(tSpareStack);
  if (mItems.capacity() < 16) mItems.reserve(16);
}

TRpnValueStack::~TRpnValueStack() {
  mItems.clear();
  if (mItems.capacity() > tSpareStack.capacity()) mItems.swap(tSpareStack);
}

void TRpnValueStack::Push(TRpnScalar value) {
  if (mItems.size() >= static_cast<size_t>(Capacity))
    SwRaise<ERpnStackOverflow>(
        "An RPN expression needs more than %d values on TRpnValueStack.", Capacity);
  mItems.push_back(std::move(value));
}

TRpnScalar TRpnValueStack::Pop() {
  if (mItems.empty())
    SwRaise<EEmptyStackOperation>("Attempted to %s from empty TRpnValueStack.", "Pop");
  TRpnScalar value = std::move(mItems.back());
  mItems.pop_back();
  return value;
}

const TRpnScalar& TRpnValueStack::TopOfKind(TRpnValueKind kind, const char* operation) const {
  if (mItems.empty())
    SwRaise<EEmptyStackOperation>("Attempted to %s from empty TRpnValueStack.", operation);
  const TRpnScalar& top = mItems.back();
  if (!top.Has(kind))
    SwRaise<EWrongTopStackValueKind>("Expected a %s value on top of TRpnValueStack but got %s.",
                                     RpnKindLetters(kind), RpnKindLetters(top.Kinds));
  return top;
}

double TRpnValueStack::PopNum() {
  double value = TopOfKind(valNum, "PopNum").Num;
  mItems.pop_back();
  return value;
}

int64_t TRpnValueStack::PopInt() {
  const TRpnScalar& top = TopOfKind(valNum, "PopNum");
  // 2^63 as a double: the first value that no longer fits in int64_t.
  constexpr double limit = 9223372036854775808.0;
  if (!(std::trunc(top.Num) == top.Num && top.Num >= -limit && top.Num < limit))
    SwRaise<EIntegerExpectedOnStackTop>(
        "Expected an integer value without fractional part on top of TRpnValueStack but got %s.",
        RpnValueText(top));
  auto value = static_cast<int64_t>(top.Num);
  mItems.pop_back();
  return value;
}

WideString TRpnValueStack::PopStr() {
  WideString value = std::move(const_cast<TRpnScalar&>(TopOfKind(valStr, "PopStr")).Str);
  mItems.pop_back();
  return value;
}

TRpnScalar TRpnValueStack::GetResult() {
  if (mItems.empty())
    SwRaise<EEmptyRpnStack>(
        "There were no items left on stack after evaluating an RPN expression - but at least one "
        "is required to determine the expression result.");
  if (mItems.size() > 1)
    SwRaise<ENonEmptyRpnStack>(
        "There were %d items instead of just one left on stack after evaluating an RPN "
        "expression.",
        Count());
  return Pop();
}

// ---------------------------------------------------------------------------------------------
// Evaluator

TRpnEvaluator::TRpnEvaluator(const TCompiledRPN* compiled)
    : Compiled(compiled), mOperators(RpnOperators()) {}

TRpnEvaluator::TRpnEvaluator(const TCompiledRPN* compiled, std::shared_ptr<const TRpnOperators> operators)
    : Compiled(compiled), mOperators(std::move(operators)) {}

TRpnOperators& TRpnEvaluator::MutableOperators() {
  if (mOperators.use_count() != 1) mOperators = std::make_shared<TRpnOperators>(*mOperators);
  return const_cast<TRpnOperators&>(*mOperators);
}

TRpnScalar TRpnEvaluator::Evaluate() {
  if (Compiled) {
    for (const TCompiledRPN::TEntry& entry : Compiled->mItems) {
      if (entry.Value)
        mStack.Push(entry.Value->GetValue(*this));
      else if (entry.Operator)
        mStack.Push(entry.Operator->Apply(*this));
      else
        SwRaise<ERPN>("Invalid object of class %s in a compiled RPN object.",
                      entry.Object.get());
    }
  }
  return GetResult();
}

TRpnScalar TRpnEvaluator::GetResult() { return mStack.GetResult(); }

TRpnScalar TRpnEvaluator::LookupVariable(const WideString& name) {
  if (Variables) {
    auto found = Variables->find(name);
    if (found == Variables->end())
      SwRaise<EMissingRpnVariable>("Missing RPN expression variable \"%s\".", name);
    return found->second;
  }
  if (OnVariable) {
    TRpnScalar result;
    OnVariable(*this, name, result);
    return result;
  }
  SwRaise<EVariablelessRPN>(
      "Variable \"%s\" was found in an RPN expression but no variables were bound to the "
      "expression prior to its evaluation.",
      name);
}

}  // namespace skeinwork
