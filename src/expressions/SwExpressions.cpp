// Model expressions: start-up, conversions, extended values and evaluation. The built-in
// functions are in SwExprFunctions.cpp, the condition operators in SwExprConditions.cpp.
#include "SwExpressions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "StrConv.h"
#include "SwExprFunctions.h"

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Start-up and registries

namespace {

struct TExprGlobals {
  TSwFunctions Functions;
  TSwConditions Conditions;
};

TExprGlobals& Globals() {
  static TExprGlobals globals;
  return globals;
}

}  // namespace

void SwExpressionsStartup() {
  static std::once_flag once;
  std::call_once(once, [] {
    SwRegisterBuiltinFunctions(Globals().Functions);
    TSwConditions& c = Globals().Conditions;
    c.Register(u"?", TCdExpression::Class());
    c.Register(u"=", TCdExact::Class());
    c.Register(u"_", TCdSpaces::Class());
    c.Register(u"x", TCdHex::Class());
    c.Register(u"%", TCdSimpat::Class());
  });
}

const TRpnDialect& SwExpressionDialect() {
  // Paths and operator names must tokenise as names, and model expressions have no operator
  // objects: every operator is a name resolved by the expression.
  static const TRpnDialect dialect(std::make_shared<TRpnOperators>(),
                                   WideString(RpnDefaultVarChars) + u".\\/$?<=>+-*/[]");
  return dialect;
}

TSwFunctions& SwGlobalFunctions() {
  SwExpressionsStartup();
  return Globals().Functions;
}

TSwConditions& SwGlobalConditions() {
  SwExpressionsStartup();
  return Globals().Conditions;
}


void TSwFunctions::Register(const WideString& name, TSwFuncHandler handler) {
  ++mRegistrations;
  auto found = mIndex.find(name);
  if (found == mIndex.end()) {
    mIndex.emplace(name, mEntries.size());
    mEntries.push_back({name, {handler}});
  } else {
    mEntries[found->second].second.push_back(handler);
  }
}

const std::vector<TSwFuncHandler>* TSwFunctions::Handlers(const WideString& name) const {
  auto found = mIndex.find(name);
  return found == mIndex.end() ? nullptr : &mEntries[found->second].second;
}

std::vector<WideString> TSwFunctions::Names() const {
  std::vector<WideString> names;
  names.reserve(mEntries.size());
  for (const auto& entry : mEntries) names.push_back(entry.first);
  return names;
}

// ---------------------------------------------------------------------------------------------
// Conversions

RawByteString SwHexToBin(std::string_view text) {
  std::string digits;
  digits.reserve(text.size());
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_')
      digits += c;
  }
  if (digits.size() % 2)
    SwRaise<ESwHexConvert>("Hex string must have even length, %d given.",
                           static_cast<int64_t>(digits.size()));
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  RawByteString bytes(digits.size() / 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = value(digits[2 * i]);
    int low = value(digits[2 * i + 1]);
    if (high < 0 || low < 0)
      SwRaise<ESwHexConvert>("Hex string \"%s\" contains wrong symbol (0-9, A-F, a-f allowed).",
                             digits);
    bytes[i] = static_cast<char>(high * 16 + low);
  }
  return bytes;
}

std::string SwBinToHex(std::string_view bytes, std::string_view separator) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * (2 + separator.size()));
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto byte = static_cast<uint8_t>(bytes[i]);
    if (i) text += separator;
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::string SwRpnKindNames(TRpnValueKind kinds) {
  static const char* const names[] = {"valNum", "valBool", "valBytes", "valStr", "valCustom"};
  return SwSetText(kinds, names);
}

TSwValue SwRpnToValue(const TRpnScalar& scalar) {
  TSwValue value;
  if (scalar.Has(valNum)) {
    value.Kinds |= SwKind(ltFrac);
    value.Frac = scalar.Num;
    if (std::trunc(scalar.Num) == scalar.Num && scalar.Num >= std::numeric_limits<int32_t>::min() &&
        scalar.Num <= std::numeric_limits<int32_t>::max()) {
      value.Kinds |= SwKind(ltInt);
      value.Int = static_cast<int64_t>(scalar.Num);
    }
  }
  if (scalar.Has(valBool)) {
    value.Kinds |= SwKind(ltBool);
    value.Bool = scalar.Bool;
  }
  if (scalar.Has(valBytes)) {
    value.Kinds |= SwKind(ltRaw);
    value.SetRaw(scalar.Bytes);
  }
  if (scalar.Has(valStr)) {
    value.Kinds |= SwKind(ltStr);
    value.SetText(scalar.Str);
  }
  return value;
}

TRpnScalar SwValueToRpn(const TSwValue& value) {
  TRpnScalar scalar;
  if (value.Has(ltStr)) {
    scalar.Kinds |= valStr;
    scalar.Str = value.Text();
  }
  if (value.Has(ltRaw)) {
    scalar.Kinds |= valBytes;
    scalar.Bytes = value.Raw();
  }
  if (value.Has(ltBool)) {
    scalar.Kinds |= valBool;
    scalar.Bool = value.Bool;
  }
  if (value.Has(ltFrac)) {
    scalar.Kinds |= valNum;
    scalar.Num = value.Frac;
  } else if (value.Has(ltInt)) {
    scalar.Kinds |= valNum;
    scalar.Num = static_cast<double>(value.Int);
  }
  return scalar;
}

int64_t SwTruncNumber(double number) {
  if (std::isnan(number)) return 0;
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (number >= limit) return std::numeric_limits<int64_t>::max();
  if (number < -limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(number);  // truncates toward zero
}

// ---------------------------------------------------------------------------------------------
// Extended values

TSwRpnValueEx::TSwRpnValueEx(TSwExpression* expression) : Expression(expression) {
  Value.Kinds = valCustom;
  Value.Custom = this;
}

TSwRpnValueEx::~TSwRpnValueEx() = default;

void TSwRpnValueEx::Clear() {
  Value = {};
  Value.Kinds = valCustom;
  Value.Custom = this;
  Node = nullptr;
  Stream.Set(nullptr, false);
  BytesStream.reset();
  StartPosition = 0;
  IsInitial = false;
}

namespace {
// The object as an extended value, or null. The class is final: comparing the type is enough,
// and far cheaper than a cast that searches the class tree.
TSwRpnValueEx* AsValueEx(TSwObject* object) {
  return object && typeid(*object) == typeid(TSwRpnValueEx) ? static_cast<TSwRpnValueEx*>(object) : nullptr;
}
}  // namespace

TSwRpnValueEx* TSwRpnValueEx::Of(const TRpnScalar& scalar) {
  if (!scalar.Has(valCustom)) return nullptr;
  TSwRpnValueEx* value = AsValueEx(scalar.Custom);
  if (!value)
    SwRaise<ESwBadRpnValueCustom>(
        "RPN value has valCustom Kind but it's not a TSwRpnValueEx instance.");
  return value;
}

TSwRpnValueEx& TSwRpnValueEx::Required(const TRpnScalar& scalar) {
  TSwRpnValueEx* value = Of(scalar);
  if (!value) SwRaise<ESwRpnValueNotExtended>("Expected an extended RPN value.");
  return *value;
}

TRpnScalar TSwRpnValueEx::Pushed() {
  if (!HasScalar() && !Node && !Stream) return {};
  Value.Kinds |= valCustom;
  Value.Custom = this;
  return Value;
}

void TSwRpnValueEx::SetStream(TStream* stream, bool owns) { Stream.Set(stream, owns && stream); }

void TSwRpnValueEx::SetOwnedStream(std::unique_ptr<TStream> stream) { Stream.Set(std::move(stream)); }

std::unique_ptr<TStream> TSwRpnValueEx::ReleaseStream() { return Stream.Release(); }

TStream& TSwRpnValueEx::DataStream() {
  if (Stream) return *Stream;
  if (!BytesStream) {
    if (!Value.Has(valBytes)) {
      ESwBadRpnValue error = MakeError<ESwBadRpnValue>(
          "Required value type missing (any of '%s') in RPN expression '%s'.",
          SwRpnKindNames(valBytes), Expression ? Expression->Text() : WideString());
      if (Expression) error = Expression->Decorate(std::move(error));
      error.Value = Value;
      error.Value.Kinds &= ~valCustom;
      error.Value.Custom = nullptr;
      error.Required = valBytes;
      throw error;
    }
    BytesStream = std::make_unique<TStringStream>(Value.Bytes);
  }
  return *BytesStream;
}

void TSwRpnValueEx::Rewind() {
  if (Stream) Stream->SetPosition(StartPosition);
  if (BytesStream) BytesStream->SetPosition(0);
}

// ---------------------------------------------------------------------------------------------
// Evaluator

TSwRpnEvaluator::TSwRpnEvaluator(const TCompiledRPN* compiled, TSwRpnValueEx& startValue)
    : TRpnEvaluator(compiled, SwExpressionDialect().Operators()) {
  // Always linked, even when it carries nothing, so that GetResult can recognise it.
  startValue.Value.Kinds |= valCustom;
  startValue.Value.Custom = &startValue;
  Stack().Push(startValue.Value);
}

TRpnScalar TSwRpnEvaluator::GetResult() {
  TRpnValueStack& stack = Stack();
  if (stack.Count() == 2 && stack.At(0).Has(valCustom)) {
    TSwRpnValueEx* lower = AsValueEx(stack.At(0).Custom);
    if (lower && lower->IsInitial) {
      TRpnScalar result = stack.Pop();
      stack.Pop();
      return result;
    }
  }
  return stack.GetResult();
}

// ---------------------------------------------------------------------------------------------
// Expressions

TSwExpression::TSwExpression(WideString text, TSwTreeNode* baseNode)
    : mText(std::move(text)), mBaseNode(baseNode) {
  SwExpressionsStartup();
}

TSwExpression::~TSwExpression() = default;

TSwFunctions& TSwExpression::Functions() const {
  return mFunctions ? *mFunctions : SwGlobalFunctions();
}

const RawByteString& TSwExpression::EolnBytes() {
  if (!mEolnReady) {
    mEolnBytes = SwLineBreakBytes(mOptions.Eoln, mOptions.Codepage);
    mEolnReady = true;
  }
  return mEolnBytes;
}

void TSwExpression::Restart(TSwTreeNode* baseNode, TStream* input) {
  mLast = nullptr;
  mLastScalar = {};
  mLastResult = {};
  // The values are kept for the next evaluation, emptied: a condition tested at every pass
  // allocates none.
  for (size_t i = 0; i < mValuesInUse; ++i) mValues[i]->Clear();
  mValuesInUse = 0;
  mBaseNode = baseNode;
  mInput = input;
}

TSwRpnValueEx& TSwExpression::NewValue() {
  if (mValuesInUse == mValues.size()) mValues.push_back(std::make_unique<TSwRpnValueEx>(this));
  return *mValues[mValuesInUse++];
}

std::shared_ptr<const TCompiledRPN> TSwExpression::Compile() {
  TRpnCompileSettings settings;
  settings.Dialect = &SwExpressionDialect();
  return CompileRpn(mText, settings);
}

TSwExpressionResult TSwExpression::Evaluate() {
  mEolnReady = false;  // the options may have changed since the last evaluation
  TSwRpnValueEx& start = NewValue();
  start.Node = mBaseNode;
  start.Stream.Set(mInput, false);
  start.StartPosition = mInput ? mInput->Position() : 0;
  start.IsInitial = true;

  const uint64_t generation = RpnCompileGeneration();
  if (!mCompiled || mCompiledGeneration != generation || mCompiledText != mText) {
    mCompiled = Compile();
    mCompiledText = mText;
    mCompiledGeneration = generation;
    if (!mEvaluator) mResolved.clear();  // an evaluation running further out may hold an entry
  }
  // Held here too: a function that changes the text must not free the list being run.
  std::shared_ptr<const TCompiledRPN> compiled = mCompiled;
  TSwRpnEvaluator evaluator(compiled.get(), start);
  evaluator.OnVariable = TRpnVariableEvent::Of<&TSwExpression::ResolveName>(this);
  struct TRunning {
    TSwRpnEvaluator*& Slot;
    TSwRpnEvaluator* Saved;
    ~TRunning() { Slot = Saved; }
  } running{mEvaluator, mEvaluator};
  mEvaluator = &evaluator;

  TRpnScalar result = evaluator.Evaluate();
  TSwRpnValueEx* ex = TSwRpnValueEx::Of(result);
  if (!ex) {
    ex = &NewValue();
    ex->Value = result;
    ex->Value.Kinds |= valCustom;
    ex->Value.Custom = ex;
  }
  mLastScalar = result;
  mLast = ex;
  mLastResult.Value = SwRpnToValue(result);
  mLastResult.Node = ex->Node;
  mLastResult.Stream = ex->Stream;
  return mLastResult;
}

std::unique_ptr<TStream> TSwExpression::ExtractOutStream() {
  if (!mLast)
    Fail<ESwExtractExprStreamOnNoEval>("Attempted to ExtractOutStream from %s that wasn't yet evaluated.",
                                       this);
  if (std::unique_ptr<TStream> owned = mLast->ReleaseStream()) return owned;
  if (!mLast->Stream) return nullptr;
  auto window = std::make_unique<TSwRestrictedStream>(mLast->Stream, 0);
  window->SetWindow(0, mLast->Stream->Size());
  return window;
}

namespace {

enum { opNone, opAdd, opSub, opMul, opDiv, opLess, opLessEq, opMore, opMoreEq, opEq, opNotEq };

int OperatorCode(const WideString& name) {
  if (name.size() > 2) return opNone;
  return name == u"+"    ? opAdd
         : name == u"-"  ? opSub
         : name == u"*"  ? opMul
         : name == u"/"  ? opDiv
         : name == u"<"  ? opLess
         : name == u"<=" ? opLessEq
         : name == u">"  ? opMore
         : name == u">=" ? opMoreEq
         : name == u"="  ? opEq
         : name == u"<>" ? opNotEq
                         : opNone;
}

}  // namespace

TSwExpression::TResolvedName& TSwExpression::Resolve(const WideString& name) {
  for (TResolvedName& resolved : mResolved)
    if (resolved.Address == &name && resolved.Name == name) return resolved;
  TResolvedName& resolved = mResolved.emplace_back();
  resolved.Address = &name;
  resolved.Name = name;
  resolved.Operator = static_cast<uint8_t>(OperatorCode(name));
  bool word = std::all_of(name.begin(), name.end(), [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_';
  });
  if (resolved.Operator != opNone) {
    resolved.Kind = TResolvedName::TKind::Operator;
  } else if (word) {
    resolved.Kind = TResolvedName::TKind::Function;
  } else if (name == u"$") {
    resolved.Base = true;
  } else {
    resolved.Property = u"inner";
    size_t dollar = name.find(u'$');
    if (dollar == WideString::npos) {
      resolved.Path = name;
      if (!resolved.Path.empty() && resolved.Path.back() == u'?') {
        resolved.Path.pop_back();
        resolved.Optional = true;
      }
    } else {
      resolved.Path = name.substr(0, dollar);
      if (dollar + 1 < name.size()) resolved.Property = name.substr(dollar + 1);
    }
  }
  return resolved;
}

void TSwExpression::ResolveName(TRpnEvaluator& evaluator, const WideString& name,
                                TRpnScalar& result) {
  TResolvedName& resolved = Resolve(name);
  switch (resolved.Kind) {
    case TResolvedName::TKind::Operator: result = Operator(evaluator, resolved.Operator); return;
    case TResolvedName::TKind::Function: result = CallFunction(resolved); return;
    case TResolvedName::TKind::Node: result = NodeReference(resolved); return;
  }
}

TRpnScalar TSwExpression::Operator(TRpnEvaluator& evaluator, int op) {
  TRpnValueStack& stack = evaluator.Stack();
  if (op == opEq || op == opNotEq) {
    // Compared by their scalar forms: the link to an extended value is no form of its own.
    TRpnScalar b = stack.Pop();
    TRpnScalar a = stack.Pop();
    a.Kinds &= ~valCustom;
    b.Kinds &= ~valCustom;
    return RpnBool(RpnValuesEqual(a, b) == (op == opEq));
  }
  int64_t b = stack.PopInt();
  int64_t a = stack.PopInt();
  switch (op) {
    case opAdd: return RpnNum(static_cast<double>(a) + static_cast<double>(b));
    case opSub: return RpnNum(static_cast<double>(a) - static_cast<double>(b));
    case opMul: return RpnNum(static_cast<double>(a) * static_cast<double>(b));
    case opDiv:
      if (b == 0) Fail<ESwExprDivisionByZero>("Division by zero in RPN expression '%s'.", mText);
      return RpnNum(static_cast<double>(a) / static_cast<double>(b));
    case opLess: return RpnBool(a < b);
    case opLessEq: return RpnBool(a <= b);
    case opMore: return RpnBool(a > b);
    default: return RpnBool(a >= b);
  }
}

TRpnScalar TSwExpression::CallFunction(TResolvedName& function) {
  const WideString& name = function.Name;
  TSwFunctions& functions = Functions();
  if (function.Registry != &functions || function.Registrations != functions.Registrations()) {
    function.Registry = &functions;
    function.Registrations = functions.Registrations();
    function.Handlers = functions.Handlers(name);
  }
  const std::vector<TSwFuncHandler>* handlers = function.Handlers;
  if (!handlers) {
    std::string known;
    for (const WideString& each : functions.Names()) {
      if (!known.empty()) known += ", ";
      known += WideToUtf8(each);
    }
    Fail<ESwUnknownExprFunction>(
        "Attempted to call unregistered RPN expression function '%s' - known ones: %s.", name, known);
  }
  TSwRpnValueEx& value = NewValue();
  TSwFuncContext context{name, this, &value};
  // By index, since a handler may register further functions and move the list: the list is
  // looked up again after a registration.
  uint64_t registrations = functions.Registrations();
  for (size_t i = 0;; ++i) {
    if (functions.Registrations() != registrations) {
      registrations = functions.Registrations();
      handlers = functions.Handlers(name);
    }
    if (!handlers || i >= handlers->size()) break;
    TSwFuncHandler handler = (*handlers)[i];
    value.Rewind();
    bool handled = handler(context);
    value.Rewind();
    if (handled) return value.Pushed();
  }
  Fail<ESwUnsupportedExprFunction>(
      "No registered RPN expression function handler for '%s' can operate on given parameters in "
      "RPN expression '%s'.",
      name, mText);
}

namespace {

// Names from the root down to the node, joined by "\".
WideString NodePathText(const TSwTreeNode* node) {
  WideString path = node->Name();
  for (const TSwTreeNode* parent = node->Parent(); parent; parent = parent->Parent())
    path = parent->Name() + u"\\" + path;
  return path;
}

}  // namespace

TRpnScalar TSwExpression::NodeReference(const TResolvedName& reference) {
  if (reference.Base) {
    TSwRpnValueEx& value = NewValue();
    value.Node = mBaseNode;
    value.Stream.Set(mInput, false);
    value.StartPosition = mInput ? mInput->Position() : 0;
    return value.Pushed();
  }
  if (!mBaseNode) {
    Error(Decorate(MakeError<ESwExprNoBaseNode>(
        "Attempted to reference node '%s' within RPN expression '%s' running in context without "
        "base node.",
        reference.Name, mText)));
    return {};
  }
  const WideString& path = reference.Path;
  const WideString& property = reference.Property;
  const bool optional = reference.Optional;

  TSwTreeNode* node = nullptr;
  if (path.empty()) {
    node = mBaseNode;
  } else if (mFinder) {
    mFinder->Rewind(path, mBaseNode);
    node = mFinder->Next();
  } else {
    node = mBaseNode->FirstOnPath(path);
  }
  if (!node) {
    if (!optional) {
      std::string finder = mFinder ? " (" + mFinder->Description() + ")" : std::string();
      Error(Decorate(MakeError<ESwExprNoNode>(
          "Cannot find node '%s' relative to '%s' referenced in RPN expression%s '%s'.", path,
          NodePathText(mBaseNode), finder, mText)));
    }
    return {};
  }

  TSwRpnValueEx& value = NewValue();
  value.Node = node;
  TSwValue stored;
  if (node->FindValue(property, stored)) {
    value.Value = SwValueToRpn(stored);
    if (mModelNode && stored.IsSlice()) {
      if (auto* source = dynamic_cast<TStream*>(stored.Obj)) {
        auto slice = std::make_unique<TSwRestrictedStream>(source, 0);
        slice->SetWindow(stored.Int, SwTruncNumber(stored.Frac));
        value.SetOwnedStream(std::move(slice));
        value.StartPosition = 0;
      }
    }
  }
  return value.Pushed();
}

}  // namespace skeinwork
