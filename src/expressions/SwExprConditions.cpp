// The condition operators of model lines: the registry and the condition classes.
#include <string>
#include <typeinfo>
#include <unordered_map>

#include "StrConv.h"
#include "SwExpressions.h"

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Registry

void TSwConditions::Register(const WideString& op, const TSwConditionClass* cls) {
  for (auto& entry : mEntries) {
    if (entry.first == op) {
      entry.second = cls;
      return;
    }
  }
  mEntries.push_back({op, cls});
}

const TSwConditionClass* TSwConditions::Find(const WideString& op) const {
  for (const auto& entry : mEntries)
    if (entry.first == op) return entry.second;
  return nullptr;
}

WideString TSwConditions::NameOf(const TSwConditionClass* cls) const {
  for (const auto& entry : mEntries)
    if (entry.second == cls) return entry.first;
  return {};
}

const TSwConditionClass* SwSimpatConditionClass() { return TCdSimpat::Class(); }

// ---------------------------------------------------------------------------------------------
// Conditions

namespace {

template <class C>
std::unique_ptr<TSwCondExpression> CreateCondition(TSwTreeNode* baseNode, const TRpnScalar& operand) {
  return std::make_unique<C>(baseNode, operand);
}

template <class C>
const TSwConditionClass* MakeConditionClass(const TSwConditionClass* parent) {
  static const std::string name = SwClassNameOf(typeid(C));
  static const TSwConditionClass info = [&] {
    TSwConditionClass cls;
    cls.Name = name.c_str();
    cls.Parent = parent;
    cls.PrepareOperand = &C::PrepareOperand;
    cls.Create = &CreateCondition<C>;
    return cls;
  }();
  return &info;
}

// The compiled lists of precompiled conditions, per thread (no lock on the hot path), keyed
// by class and operand.
struct TPrecompiledKeyView {
  const std::type_info* Type;
  TRpnValueKind Kinds;
  std::string_view Bytes;
  std::u16string_view Str;
};

struct TPrecompiledKey {
  const std::type_info* Type;
  TRpnValueKind Kinds;
  std::string Bytes;
  std::u16string Str;
};

struct TPrecompiledHash {
  using is_transparent = void;
  size_t operator()(const TPrecompiledKeyView& key) const {
    size_t h = std::hash<std::string_view>()(key.Bytes);
    h ^= std::hash<std::u16string_view>()(key.Str) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    // By address: one type_info per class in practice, and two for one class only cost a
    // second cache entry.
    h ^= std::hash<const void*>()(key.Type) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h ^ key.Kinds;
  }
  size_t operator()(const TPrecompiledKey& key) const {
    return (*this)(TPrecompiledKeyView{key.Type, key.Kinds, key.Bytes, key.Str});
  }
};

struct TPrecompiledEqual {
  using is_transparent = void;
  static TPrecompiledKeyView View(const TPrecompiledKey& key) {
    return {key.Type, key.Kinds, key.Bytes, key.Str};
  }
  static const TPrecompiledKeyView& View(const TPrecompiledKeyView& key) { return key; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    const TPrecompiledKeyView& x = View(a);
    const TPrecompiledKeyView& y = View(b);
    return x.Type == y.Type && x.Kinds == y.Kinds && x.Bytes == y.Bytes && x.Str == y.Str;
  }
};

using TPrecompiledCache = std::unordered_map<TPrecompiledKey, std::shared_ptr<const TCompiledRPN>,
                                             TPrecompiledHash, TPrecompiledEqual>;
constexpr size_t PrecompiledCacheLimit = 4096;  // distinct operands; then it starts over

}  // namespace

TSwCondExpression::TSwCondExpression(TSwTreeNode* baseNode, const TRpnScalar& operand)
    : TSwExpression(WideString(), baseNode), mOperand(operand) {}

const TSwConditionClass* TSwCondExpression::Class() {
  return MakeConditionClass<TSwCondExpression>(nullptr);
}

TRpnScalar TSwCondExpression::PrepareOperand(const TRpnScalar& operand, const TSwOptions&) {
  return operand;
}

const TSwConditionClass* TSwPrecompiledCondExpr::Class() {
  return MakeConditionClass<TSwPrecompiledCondExpr>(TSwCondExpression::Class());
}

TRpnScalar TSwPrecompiledCondExpr::PrepareOperand(const TRpnScalar& operand,
                                                  const TSwOptions& options) {
  TRpnScalar prepared = operand;
  if (prepared.Has(valStr) && !prepared.Has(valBytes)) {
    prepared.Bytes = SwEncode(options.Codepage, prepared.Str, -1, true);
    prepared.Kinds |= valBytes;
  }
  return prepared;
}

std::shared_ptr<const TCompiledRPN> TSwPrecompiledCondExpr::Compile() {
  thread_local TPrecompiledCache cache;
  TPrecompiledKeyView key{&typeid(*this), mOperand.Kinds, mOperand.Bytes, mOperand.Str};
  if (auto found = cache.find(key); found != cache.end()) return found->second;
  auto list = std::make_shared<TCompiledRPN>();
  BuildCompiled(*list);
  if (cache.size() >= PrecompiledCacheLimit) cache.clear();
  cache.emplace(TPrecompiledKey{key.Type, key.Kinds, mOperand.Bytes, mOperand.Str}, list);
  return list;
}

void TSwPrecompiledCondExpr::BuildCompiled(TCompiledRPN& list) const {
  TRpnScalar constant = mOperand;
  constant.Kinds &= ~valCustom;
  constant.Custom = nullptr;
  list.Add(std::make_unique<TRpnConst>(std::move(constant)));
}

#define SW_MATCHER_CONDITION(Class_, Function)                                \
  const TSwConditionClass* Class_::Class() {                                  \
    return MakeConditionClass<Class_>(TSwPrecompiledCondExpr::Class());       \
  }                                                                           \
  void Class_::BuildCompiled(TCompiledRPN& list) const {                      \
    TSwPrecompiledCondExpr::BuildCompiled(list);                              \
    list.Add(std::make_unique<TRpnVariable>(WideString(Function)));           \
  }

SW_MATCHER_CONDITION(TCdExact, u"cmp_eq")
SW_MATCHER_CONDITION(TCdSpaces, u"cmp_space")
SW_MATCHER_CONDITION(TCdHex, u"cmp_hex")
SW_MATCHER_CONDITION(TCdSimpat, u"cmp_pat")

#undef SW_MATCHER_CONDITION

const TSwConditionClass* TCdExpression::Class() {
  return MakeConditionClass<TCdExpression>(TSwCondExpression::Class());
}

TRpnScalar TCdExpression::PrepareOperand(const TRpnScalar& operand, const TSwOptions& options) {
  TRpnScalar prepared = operand;
  if (prepared.Has(valBytes) && !prepared.Has(valStr)) {
    prepared.Str = SwDecode(options.Codepage, prepared.Bytes);
    prepared.Kinds |= valStr;
  }
  return prepared;
}

TSwExpressionResult TCdExpression::Evaluate() {
  // The compiler prepares the text once: a condition tested again and again copies nothing.
  if (mOperand.Has(valStr)) {
    if (mText != mOperand.Str) mText = mOperand.Str;
    return TSwExpression::Evaluate();
  }
  TRpnScalar prepared = PrepareOperand(mOperand, Options());
  if (!prepared.Has(valStr)) {
    ESwBadRpnValue error = Decorate(MakeError<ESwBadRpnValue>(
        "Required value type missing (any of '%s') in RPN expression '%s'.",
        SwRpnKindNames(valStr), mText));
    error.Value = prepared;
    error.Value.Kinds &= ~valCustom;
    error.Value.Custom = nullptr;
    error.Required = valStr;
    throw error;
  }
  mText = std::move(prepared.Str);
  return TSwExpression::Evaluate();
}

}  // namespace skeinwork
