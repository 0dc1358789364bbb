#include "SwExpressions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <typeinfo>

#include "Simpat.h"
#include "StrConv.h"
#include "SwAtomicFile.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

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

void RegisterBuiltins(TSwFunctions& f) {
  auto reg = [&f](std::initializer_list<const char16_t*> names, TSwFuncHandler handler) {
    for (const char16_t* name : names) f.Register(name, handler);
  };
  reg({u"sibl", u"siblings"}, SwBuiltinFunction<TFnSiblings>());
  reg({u"len", u"length"}, SwBuiltinFunction<TFnLength>());
  reg({u"self"}, SwBuiltinFunction<TFnSelf>());
  reg({u"iter", u"iteration"}, SwBuiltinFunction<TFnIteration>());
  reg({u"offset"}, SwBuiltinFunction<TFnOffset>());
  reg({u"tooffset"}, SwBuiltinFunction<TFnToOffset>());
  reg({u"skip"}, SwBuiltinFunction<TFnSkip>());
  reg({u"skipto"}, SwBuiltinFunction<TFnSkipTo>());
  reg({u"eof"}, SwBuiltinFunction<TFnEof>());
  reg({u"cmp_eq"}, SwBuiltinFunction<TFnCmpExact>());
  reg({u"cmp_space"}, SwBuiltinFunction<TFnCmpSpaces>());
  reg({u"cmp_hex"}, SwBuiltinFunction<TFnCmpHex>());
  reg({u"cmp_pat"}, SwBuiltinFunction<TFnCmpPattern>());
  reg({u"has"}, SwBuiltinFunction<TFnHas>());
  reg({u"not"}, SwBuiltinFunction<TFnNot>());
  reg({u"xor"}, SwBuiltinFunction<TFnXor>());
  reg({u"and"}, SwBuiltinFunction<TFnAnd>());
  reg({u"or"}, SwBuiltinFunction<TFnOr>());
  reg({u"rev", u"reverse"}, SwBuiltinFunction<TFnReverse>());
  reg({u"lower"}, SwBuiltinFunction<TFnLowerCase>());
  reg({u"upper"}, SwBuiltinFunction<TFnUpperCase>());
  reg({u"invcase"}, SwBuiltinFunction<TFnInvertCase>());
  reg({u"h2b"}, SwBuiltinFunction<TFnHexToBin>());
  reg({u"b2h"}, SwBuiltinFunction<TFnBinToHex>());
  reg({u"b2hh"}, SwBuiltinFunction<TFnBinToHexSeparated>());
  reg({u"charset"}, SwBuiltinFunction<TFnCharset>());
  reg({u"toraw"}, SwBuiltinFunction<TFnToRaw>());
  reg({u"fromraw"}, SwBuiltinFunction<TFnFromRaw>());
  reg({u"toint"}, SwBuiltinFunction<TFnToInt>());
  reg({u"fromint"}, SwBuiltinFunction<TFnFromInt>());
  reg({u"load"}, SwBuiltinFunction<TFnLoadFile>());
  reg({u"save"}, SwBuiltinFunction<TFnSaveFile>());
  reg({u"int3"}, SwBuiltinFunction<TFnDebuggerInterrupt>());
}

}  // namespace

void SwExpressionsStartup() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterBuiltins(Globals().Functions);
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

const TSwConditionClass* SwSimpatConditionClass() { return TCdSimpat::Class(); }

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

TRpnScalar SwRpnCount(double count) {
  TRpnScalar value;
  value.Kinds = valNum | valBool;
  value.Num = count;
  value.Bool = count > 0;
  return value;
}

// ---------------------------------------------------------------------------------------------
// Extended values

TSwRpnValueEx::TSwRpnValueEx(TSwExpression* expression) : Expression(expression) {
  Value.Kinds = valCustom;
  Value.Custom = this;
}

TSwRpnValueEx::~TSwRpnValueEx() {
  if (OwnsStream) delete Stream;
}

TSwRpnValueEx* TSwRpnValueEx::Of(const TRpnScalar& scalar) {
  if (!scalar.Has(valCustom)) return nullptr;
  auto* value = dynamic_cast<TSwRpnValueEx*>(scalar.Custom);
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

void TSwRpnValueEx::SetStream(TStream* stream, bool owns) {
  if (OwnsStream && Stream != stream) delete Stream;
  Stream = stream;
  OwnsStream = owns && stream;
}

void TSwRpnValueEx::SetOwnedStream(std::unique_ptr<TStream> stream) {
  TStream* raw = stream.release();
  SetStream(raw, true);
}

std::unique_ptr<TStream> TSwRpnValueEx::ReleaseStream() {
  if (!OwnsStream) return nullptr;
  OwnsStream = false;
  return std::unique_ptr<TStream>(Stream);
}

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
    auto* lower = dynamic_cast<TSwRpnValueEx*>(stack.At(0).Custom);
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
    bool ascii = std::all_of(mOptions.Eoln.begin(), mOptions.Eoln.end(),
                             [](char16_t c) { return c < 128; });
    if (ascii) {
      mEolnBytes.assign(mOptions.Eoln.begin(), mOptions.Eoln.end());
    } else {
      mEolnBytes = SwEncode(mOptions.Codepage, mOptions.Eoln);
    }
    mEolnReady = true;
  }
  return mEolnBytes;
}

void TSwExpression::Restart(TSwTreeNode* baseNode, TStream* input) {
  mLast = nullptr;
  mLastScalar = {};
  mLastResult = {};
  mValues.clear();
  mBaseNode = baseNode;
  mInput = input;
}

TSwRpnValueEx& TSwExpression::NewValue() {
  mValues.push_back(std::make_unique<TSwRpnValueEx>(this));
  return *mValues.back();
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
  start.Stream = mInput;
  start.StartPosition = mInput ? mInput->Position() : 0;
  start.IsInitial = true;

  const uint64_t generation = RpnCompileGeneration();
  if (!mCompiled || mCompiledGeneration != generation || mCompiledText != mText) {
    mCompiled = Compile();
    mCompiledText = mText;
    mCompiledGeneration = generation;
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

void TSwExpression::ResolveName(TRpnEvaluator& evaluator, const WideString& name,
                                TRpnScalar& result) {
  if (name.size() <= 2) {
    bool handled = false;
    result = Operator(evaluator, name, handled);
    if (handled) return;
  }
  bool word = std::all_of(name.begin(), name.end(), [](char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'_';
  });
  result = word ? CallFunction(name) : NodeReference(name);
}

TRpnScalar TSwExpression::Operator(TRpnEvaluator& evaluator, const WideString& name,
                                   bool& handled) {
  enum { opNone, opAdd, opSub, opMul, opDiv, opLess, opLessEq, opMore, opMoreEq, opEq, opNotEq };
  int op = name == u"+"    ? opAdd
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
  if (op == opNone) return {};
  handled = true;
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

TRpnScalar TSwExpression::CallFunction(const WideString& name) {
  TSwFunctions& functions = Functions();
  const std::vector<TSwFuncHandler>* handlers = functions.Handlers(name);
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

TRpnScalar TSwExpression::NodeReference(const WideString& name) {
  if (name == u"$") {
    TSwRpnValueEx& value = NewValue();
    value.Node = mBaseNode;
    value.Stream = mInput;
    value.StartPosition = mInput ? mInput->Position() : 0;
    return value.Pushed();
  }
  if (!mBaseNode) {
    Error(Decorate(MakeError<ESwExprNoBaseNode>(
        "Attempted to reference node '%s' within RPN expression '%s' running in context without "
        "base node.",
        name, mText)));
    return {};
  }
  WideString path;
  WideString property = u"inner";
  bool optional = false;
  size_t dollar = name.find(u'$');
  if (dollar == WideString::npos) {
    path = name;
    if (!path.empty() && path.back() == u'?') {
      path.pop_back();
      optional = true;
    }
  } else {
    path = name.substr(0, dollar);
    if (dollar + 1 < name.size()) property = name.substr(dollar + 1);
  }

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

// ---------------------------------------------------------------------------------------------
// Function objects

TSwFunction::TSwFunction(TSwFuncContext& context) : mContext(context) {}

void TSwFunction::CheckContext(const TSwFuncContext& context, const std::type_info& functionClass) {
  if (context.Expression && context.Value) return;
  std::string name = SwClassNameOf(functionClass);
  ESwBadFuncContext error = MakeError<ESwBadFuncContext>("Required %s Context fields missing.", name);
  if (context.Expression) error = context.Expression->Decorate(std::move(error));
  error.FunctionClass = name;
  throw error;
}

void TSwFunction::TransformBufferedCallback(uint8_t*, int64_t) {
  Fail<ESwFuncNoBufferedTransform>(
      "%s must implement TransformBufferedCallback when using TransformBuffered.", this);
}

TStream& TSwFunction::OutStream() {
  if (!mOut) mOut = std::make_unique<TSwTempStream>();
  return *mOut;
}

void TSwFunction::PopInput() {
  TRpnScalar popped = Expression().Evaluator()->Stack().Pop();
  TSwRpnValueEx* source = TSwRpnValueEx::Of(popped);
  TSwRpnValueEx& result = Result();
  result.Value = std::move(popped);
  result.Value.Kinds |= valCustom;
  result.Value.Custom = &result;
  if (source) {
    result.Node = source->Node;
    result.SetStream(source->Stream, false);
    result.StartPosition = source->Stream ? source->Stream->Position() : 0;
  }
}

TSwRpnValueEx& TSwFunction::PopArgument() {
  TRpnScalar popped = Expression().Evaluator()->Stack().Pop();
  TSwRpnValueEx* source = TSwRpnValueEx::Of(popped);
  TSwRpnValueEx& argument = Expression().NewValue();
  argument.Value = std::move(popped);
  argument.Value.Kinds |= valCustom;
  argument.Value.Custom = &argument;
  if (source) {
    argument.Node = source->Node;
    argument.SetStream(source->Stream, false);
    argument.StartPosition = source->Stream ? source->Stream->Position() : 0;
  }
  return argument;
}

void TSwFunction::RaiseBadValue(const TSwRpnValueEx& value, TRpnValueKind required) {
  ESwBadRpnValue error = Expression().Decorate(
      MakeError<ESwBadRpnValue>("Required value type missing (any of '%s') in RPN expression '%s'.",
                                SwRpnKindNames(required), Expression().Text()));
  error.Value = value.Value;
  error.Value.Kinds &= ~valCustom;
  error.Value.Custom = nullptr;
  error.Required = required;
  throw error;
}

void TSwFunction::RaiseEmptyArgument() {
  Fail<ESwEmptyFuncArgument>("Function %s of RPN expression '%s' expects a non-empty argument.",
                             this, Expression().Text());
}

void TSwFunction::CheckValueSize(int64_t size) {
  if (size > MaxRawRead)
    Fail<ESwExprValueTooLong>("Function %s of RPN expression '%s' would make a value of %d bytes or characters (%d max).",
                              this, Expression().Text(), size, MaxRawRead);
}

void TSwFunction::CheckResultSize() {
  const TRpnScalar& value = Result().Value;
  int64_t size = 0;
  if (value.Has(valBytes)) size = static_cast<int64_t>(value.Bytes.size());
  if (value.Has(valStr)) size = std::max(size, static_cast<int64_t>(value.Str.size()));
  CheckValueSize(size);
  TSwWorkMeter::Spend(1 + size);
}

void TSwFunction::CheckFileAccess(TSwFileAccessKind kind, const WideString& path) {
  TSwFileAccess* access = Expression().FileAccess();
  if (!access) return;
  TSwFileAccessRequest request{kind, Context().Name, path, {}};
  if (!access->Allows(request))
    Fail<ESwFileAccessRefused>("Function %s was refused access to file \"%s\" in RPN expression '%s'.",
                               request.Function, path, Expression().Text());
}

RawByteString TSwFunction::BytesOf(TSwRpnValueEx& value) {
  if (TStream* stream = value.Stream) {
    int64_t here = stream->Position();
    int64_t count = std::max<int64_t>(stream->Size() - value.StartPosition, 0);
    if (count > MaxRawRead)
      Expression().Fail<ESwReadingLongRawStream>(
          "Attempted to read more than %d-byte string from raw stream %d bytes long while "
          "evaluating '%s'.",
          MaxRawRead, count, Expression().Text());
    TSwWorkMeter::Spend(count);
    RawByteString bytes(static_cast<size_t>(count), '\0');
    stream->SetPosition(value.StartPosition);
    int64_t read = stream->Read(bytes.data(), count);
    bytes.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
    stream->SetPosition(here);  // reading is no consumption
    return bytes;
  }
  if (!value.Value.Has(valBytes)) RaiseBadValue(value, valBytes);
  return value.Value.Bytes;
}

RawByteString TSwFunction::AsBytes(TSwRpnValueEx& value) {
  if (value.Stream || value.Value.Has(valBytes)) return BytesOf(value);
  if (value.Value.Has(valStr)) return SwEncode(Expression().Options().Codepage, value.Value.Str);
  RaiseBadValue(value, valBytes | valStr);
}

double TSwFunction::NumberOf(TSwRpnValueEx& value) {
  if (!value.Value.Has(valNum)) RaiseBadValue(value, valNum);
  return value.Value.Num;
}

bool TSwFunction::BoolOf(TSwRpnValueEx& value) {
  if (!value.Value.Has(valBool)) RaiseBadValue(value, valBool);
  return value.Value.Bool;
}

const WideString& TSwFunction::TextOf(TSwRpnValueEx& value) {
  if (!value.Value.Has(valStr)) RaiseBadValue(value, valStr);
  return value.Value.Str;
}

void TSwFunction::TransformBuffered() {
  TStream& source = StreamOf(Result());
  int64_t here = source.Position();
  TStream& out = OutStream();
  std::vector<uint8_t> buffer(static_cast<size_t>(TransformChunk));
  // A source without an end (a device) must not fill the disk: the output is a value like any
  // other.
  int64_t total = 0;
  try {
    for (;;) {
      int64_t read = source.Read(buffer.data(), TransformChunk);
      if (read <= 0) break;
      total += read;
      CheckValueSize(total);
      TSwWorkMeter::Spend(read);
      TransformBufferedCallback(buffer.data(), read);
      out.WriteBuffer(buffer.data(), read);
    }
  } catch (...) {
    source.SetPosition(here);
    throw;
  }
  // The source is a shared stream (often the input): transforming it consumes nothing.
  source.SetPosition(here);
}

namespace {

// Sets the result's scalar and keeps its node and stream.
void SetScalar(TSwRpnValueEx& value, TRpnScalar scalar) { value.Value = std::move(scalar); }

// The result has only this scalar form: no stream is left to shadow it.
void SetOnly(TSwRpnValueEx& value, TRpnScalar scalar) {
  value.Value = std::move(scalar);
  value.SetStream(nullptr, false);
  value.BytesStream.reset();
}

}  // namespace

void TFnSiblings::Execute() {
  PopInput();
  TSwTreeNode* node = Result().Node;
  if (!node)
    Fail<ESwFuncNeedsBaseNode>(
        "Calling function %s within RPN expression '%s' running in context without base node.",
        this, Expression().Text());
  SetScalar(Result(), SwRpnCount(node->Parent() ? node->Parent()->ChildCount() : 0));
}

void TFnLength::Execute() {
  PopInput();
  TStream& stream = StreamOf(Result());
  SetScalar(Result(), RpnNum(static_cast<double>(std::max<int64_t>(stream.Size() - stream.Position(), 0))));
}

void TFnSelf::Execute() {
  PopInput();
  TSwTreeNode* node = Result().Node;
  if (!node)
    Fail<ESwFuncNeedsBaseNode>(
        "Calling function %s within RPN expression '%s' running in context without base node.",
        this, Expression().Text());
  int count = 0;
  if (TSwExprModelNode* model = Expression().ModelNode()) {
    const WideString& path = model->ResultPath();
    count = path.empty() ? 0 : node->CountChildren(path);
  } else if (node->Parent()) {
    count = node->Parent()->CountChildren(node->Name());
  }
  SetScalar(Result(), SwRpnCount(count));
}

void TFnIteration::Execute() {
  TSwExprModelNode* model = Expression().ModelNode();
  SetScalar(Result(), SwRpnCount(model ? model->ParentIteration() : 0));
}

void TFnOffset::Execute() {
  PopInput();
  SetScalar(Result(), RpnNum(static_cast<double>(StreamOf(Result()).Position())));
}

void TFnToOffset::Execute() {
  int64_t offset = SwTruncNumber(NumberOf(PopArgument()));
  PopInput();
  TStream& stream = StreamOf(Result());
  stream.SetPosition(offset);
  if (&stream == Result().Stream) Result().StartPosition = stream.Position();
  SetScalar(Result(), RpnBool(true));
}

namespace {

// After moving the expression's input, a result that shares it keeps the new position, or the
// rewind after the call would undo the move.
void KeepInputPosition(TSwRpnValueEx& result, TStream* input) {
  if (input && result.Stream == input) result.StartPosition = input->Position();
}

}  // namespace

void TFnSkip::Execute() {
  PopInput();
  int64_t count = SwTruncNumber(NumberOf(Result()));
  TStream* input = Expression().InputStream();
  if (count > 0 && input) input->Seek(count, TSeekOrigin::Current);
  KeepInputPosition(Result(), input);
  SetScalar(Result(), RpnBool(true));
}

void TFnSkipTo::Execute() {
  PopInput();
  int64_t target = SwTruncNumber(NumberOf(Result()));
  TStream* input = Expression().InputStream();
  if (input && input->Position() < target) input->SetPosition(target);
  KeepInputPosition(Result(), input);
  SetScalar(Result(), RpnBool(true));
}

void TFnEof::Execute() {
  PopInput();
  TStream& stream = StreamOf(Result());
  SetScalar(Result(), RpnBool(stream.Position() >= stream.Size()));
}

void TFnStreamMatcher::Execute() {
  TSwRpnValueEx& operand = PopArgument();
  PopInput();
  TSwRpnValueEx& result = Result();
  TStream& stream = StreamOf(result);
  RawByteString bytes;
  std::string_view view;
  if (operand.Value.Has(valBytes) && !operand.Stream) {
    view = operand.Value.Bytes;  // the usual case: no copy
  } else {
    bytes = AsBytes(operand);
    view = bytes;
  }
  bool matched = Match(stream, view);
  if (matched && &stream == result.Stream) result.StartPosition = stream.Position();
  SetScalar(result, RpnBool(matched));
}

bool SwMatchExact(TStream& stream, std::string_view operand) {
  if (operand.empty()) return true;
  if (stream.Position() >= stream.Size()) return false;
  char small[64];
  std::string large;
  char* buffer = small;
  if (operand.size() > sizeof small) {
    large.resize(operand.size());
    buffer = large.data();
  }
  int64_t count = static_cast<int64_t>(operand.size());
  int64_t read = stream.Read(buffer, count);
  if (read == count && std::memcmp(buffer, operand.data(), operand.size()) == 0) return true;
  if (read > 0) stream.Seek(-read, TSeekOrigin::Current);
  return false;
}

bool TFnCmpExact::Match(TStream& stream, std::string_view operand) { return SwMatchExact(stream, operand); }

bool TFnCmpSpaces::Match(TStream& stream, std::string_view operand) { return SwMatchAfterSpaces(stream, operand); }

bool SwMatchAfterSpaces(TStream& stream, std::string_view operand) {
  int64_t origin = stream.Position();
  uint8_t chunk[256];
  for (;;) {
    int64_t chunkStart = stream.Position();
    int64_t read = stream.Read(chunk, sizeof chunk);
    for (int64_t i = 0; i < read; ++i) {
      if (chunk[i] > 32) {
        stream.SetPosition(chunkStart + i);
        if (SwMatchExact(stream, operand)) return true;
        stream.SetPosition(origin);
        return false;
      }
    }
    if (read < static_cast<int64_t>(sizeof chunk)) return true;  // the input ended while skipping
  }
}

bool TFnCmpHex::Match(TStream& stream, std::string_view operand) {
  RawByteString bytes = SwHexToBin(operand);
  if (bytes.empty()) RaiseEmptyArgument();
  return SwMatchExact(stream, bytes);
}

bool TFnCmpPattern::Match(TStream& stream, std::string_view operand) {
  if (operand.empty()) RaiseEmptyArgument();
  return SimpatMatch(operand, stream, Expression().EolnBytes());
}

void TFnHas::Execute() {
  PopInput();
  TSwRpnValueEx& result = Result();
  SetScalar(result, RpnBool(result.HasScalar() || result.Node || result.Stream));
}

void TFnNot::Execute() {
  PopInput();
  TSwRpnValueEx& result = Result();
  TRpnScalar& value = result.Value;
  if (value.Has(valBool)) value.Bool = !value.Bool;
  if (value.Has(valNum)) value.Num = static_cast<double>(~SwTruncNumber(value.Num));
  if (value.Has(valBytes) || result.Stream) {
    TransformBuffered();
    if (value.Has(valBytes) && !result.Stream)
      for (char& byte : value.Bytes) byte = static_cast<char>(~static_cast<uint8_t>(byte));
  }
}

void TFnNot::TransformBufferedCallback(uint8_t* buffer, int64_t count) {
  for (int64_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(~buffer[i]);
}

namespace {

// Brings a value to bytes or boolean form for and/or/xor: a number without text becomes its
// low byte, a text its bytes in the code page.
void ToBitwiseForm(TSwRpnValueEx& value, int codepage) {
  TRpnScalar& scalar = value.Value;
  if (scalar.Has(valNum) && !scalar.Has(valStr) && !scalar.Has(valBytes)) {
    scalar.Bytes.assign(1, static_cast<char>(static_cast<uint8_t>(SwTruncNumber(scalar.Num) & 0xFF)));
    scalar.Kinds = static_cast<TRpnValueKind>((scalar.Kinds & ~valNum) | valBytes);
  } else if (scalar.Has(valStr) && !scalar.Has(valBytes)) {
    scalar.Bytes = SwEncode(codepage, scalar.Str);
    scalar.Kinds = static_cast<TRpnValueKind>((scalar.Kinds & ~(valStr | valNum)) | valBytes);
  }
}

}  // namespace

void TFnAnd::Execute() {
  TSwRpnValueEx& b = PopArgument();
  PopInput();
  TSwRpnValueEx& a = Result();
  int codepage = Expression().Options().Codepage;
  ToBitwiseForm(a, codepage);
  ToBitwiseForm(b, codepage);
  for (TSwRpnValueEx* each : {&a, &b})
    if (!each->Value.Has(valBytes) && !each->Stream && !each->Value.Has(valBool))
      RaiseBadValue(*each, valBool | valBytes);

  if (a.Value.Has(valBool) && b.Value.Has(valBool)) {
    a.Value.Bool = (Combine(a.Value.Bool, b.Value.Bool) & 1) != 0;
    return;
  }
  bool aBytes = a.Value.Has(valBytes) || a.Stream;
  if (!aBytes) RaiseBadValue(b, valBool);  // a is a boolean, b is not
  if (!b.Value.Has(valBytes)) RaiseBadValue(b, valBytes);
  if (b.Value.Bytes.empty()) RaiseEmptyArgument();
  mB = b.Value;
  mKeyAt = 0;
  TransformBuffered();
  if (a.Value.Has(valBytes) && !a.Stream) {
    // Keep the bytes form in step with the output stream.
    for (size_t i = 0; i < a.Value.Bytes.size(); ++i) {
      a.Value.Bytes[i] = static_cast<char>(
          Combine(static_cast<uint8_t>(a.Value.Bytes[i]), static_cast<uint8_t>(mB.Bytes[i % mB.Bytes.size()])));
    }
  }
}

void TFnAnd::TransformBufferedCallback(uint8_t* buffer, int64_t count) {
  // The key goes on from where the previous chunk left it.
  const RawByteString& key = mB.Bytes;
  for (int64_t i = 0; i < count; ++i) {
    buffer[i] = Combine(buffer[i], static_cast<uint8_t>(key[mKeyAt]));
    if (++mKeyAt == key.size()) mKeyAt = 0;
  }
}

void TStringFunc::Execute() {
  PopInput();
  TSwRpnValueEx& result = Result();
  TRpnScalar& value = result.Value;
  WideString* text = value.Has(valStr) ? &value.Str : nullptr;
  RawByteString bytes;
  bool hasBytes = value.Has(valBytes) || result.Stream;
  if (hasBytes) bytes = BytesOf(result);
  Transform(text, hasBytes ? &bytes : nullptr);
  if (hasBytes) {
    value.Bytes = std::move(bytes);
    value.Kinds |= valBytes;
    // The transformed bytes replace the stream they came from.
    result.SetStream(nullptr, false);
    result.BytesStream.reset();
  }
}

void TFnReverse::Transform(WideString* text, RawByteString* bytes) {
  if (text) std::reverse(text->begin(), text->end());
  if (bytes) std::reverse(bytes->begin(), bytes->end());
}


namespace {

enum class TCaseMapping { Lower, Upper };

WideString MapCase(const WideString& text, TCaseMapping mapping) {
  if (text.empty()) return text;
  auto* source = reinterpret_cast<const UChar*>(text.data());
  auto length = static_cast<int32_t>(text.size());
  WideString out(text.size() + 8, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    auto* target = reinterpret_cast<UChar*>(out.data());
    auto capacity = static_cast<int32_t>(out.size());
    int32_t written = mapping == TCaseMapping::Lower
                          ? u_strToLower(target, capacity, source, length, "", &status)
                          : u_strToUpper(target, capacity, source, length, "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<size_t>(written), u'\0');
      continue;
    }
    if (U_FAILURE(status)) return text;
    out.resize(static_cast<size_t>(written));
    return out;
  }
  return text;
}

void MapAsciiBytes(RawByteString& bytes, char from, char to) {
  for (char& c : bytes)
    if (c >= from && c <= from + 25) c = static_cast<char>(c - from + to);
}

}  // namespace

void TFnLowerCase::Transform(WideString* text, RawByteString* bytes) {
  if (text) *text = MapCase(*text, TCaseMapping::Lower);
  if (bytes) MapAsciiBytes(*bytes, 'A', 'a');
}

void TFnUpperCase::Transform(WideString* text, RawByteString* bytes) {
  if (text) *text = MapCase(*text, TCaseMapping::Upper);
  if (bytes) MapAsciiBytes(*bytes, 'a', 'A');
}

void TFnInvertCase::Transform(WideString* text, RawByteString* bytes) {
  if (text)
    for (char16_t& c : *text)
      c = static_cast<char16_t>(u_isupper(c) ? u_tolower(c) : u_toupper(c));
  if (bytes) {
    for (char& c : *bytes) {
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
      else if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    }
  }
}

void TFnHexToBin::Execute() {
  PopInput();
  RawByteString bytes = SwHexToBin(AsBytes(Result()));
  SetOnly(Result(), RpnBytes(std::move(bytes)));
}

void TFnBinToHex::Execute() {
  PopInput();
  RawByteString bytes = AsBytes(Result());
  // Checked before the text is made: each step makes a value up to three times as long.
  if (!bytes.empty())
    CheckValueSize(static_cast<int64_t>(bytes.size()) * (2 + static_cast<int64_t>(Separator().size())) -
                   static_cast<int64_t>(Separator().size()));
  std::string hex = SwBinToHex(bytes, Separator());
  SetOnly(Result(), RpnStr(WideString(hex.begin(), hex.end())));
}

void TFnCharset::Execute() {
  TSwRpnValueEx& argument = PopArgument();
  PopInput();
  const TRpnScalar& given = argument.Value;
  int codepage = SwUnknownCodepage;
  if (given.Has(valNum)) {
    int64_t number = SwTruncNumber(given.Num);
    codepage = number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()
                   ? SwUnknownCodepage
                   : static_cast<int>(number);
  } else if (given.Has(valStr) || given.Has(valBytes)) {
    WideString name = given.Has(valStr) ? given.Str : WideString(given.Bytes.begin(), given.Bytes.end());
    bool digits = !name.empty() && name.size() <= 9 &&
                  std::all_of(name.begin(), name.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
    if (digits) {
      codepage = 0;
      for (char16_t c : name) codepage = codepage * 10 + (c - u'0');
    } else {
      codepage = SwCharsetToCodepage(std::u16string_view(name));
    }
  }
  if (codepage == SwUnknownCodepage)
    Fail<ESwBadExprCodepage>("Cannot recognize codepage name '%s' in RPN expression '%s'.",
                             RpnValueText(TRpnScalar(given), u""), Expression().Text());
  TSwRpnValueEx& result = Result();
  const TRpnScalar& value = result.Value;
  if (value.Has(valStr) && value.Has(valBytes)) return;
  if (value.Has(valStr)) {
    SetOnly(result, RpnBytes(SwEncode(codepage, value.Str)));
    return;
  }
  SetOnly(result, RpnStr(SwDecode(codepage, BytesOf(result))));
}

void TFnToRaw::Execute() {
  PopInput();
  RawByteString bytes = SwEncode(Expression().Options().Codepage, TextOf(Result()));
  SetOnly(Result(), RpnBytes(std::move(bytes)));
}

void TFnFromRaw::Execute() {
  PopInput();
  WideString text = SwDecode(Expression().Options().Codepage, AsBytes(Result()));
  SetOnly(Result(), RpnStr(std::move(text)));
}

void TFnToInt::Execute() {
  PopInput();
  RawByteString bytes = AsBytes(Result());
  auto at = [&bytes](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])); };
  uint64_t raw = 0;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) raw |= at(i) << (8 * i);
  double number = 0;
  switch (bytes.size()) {
    case 1:
    case 2:
    case 4: number = static_cast<double>(raw); break;
    case 8: number = static_cast<double>(static_cast<int64_t>(raw)); break;
    default:
      Fail<ESwBadExprStringToIntLength>(
          "String [%s] to convert into number must be 1, 2, 4 or 8 bytes long but it's %d; RPN "
          "expression '%s'.",
          SwBinToHex(std::string_view(bytes).substr(0, 10), " "),
          static_cast<int64_t>(bytes.size()), Expression().Text());
  }
  SetOnly(Result(), RpnNum(number));
}

void TFnFromInt::Execute() {
  PopInput();
  int64_t number = SwTruncNumber(NumberOf(Result()));
  bool narrow = number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<int32_t>::max();
  auto raw = static_cast<uint64_t>(number);
  RawByteString bytes(narrow ? 4 : 8, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((raw >> (8 * i)) & 0xFF);
  SetOnly(Result(), RpnBytes(std::move(bytes)));
}

namespace {

// What a host shows when asked about a file: the absolute name, with the links that exist
// resolved, so that "../../x" or a link named like a harmless file shows where it leads.
WideString ResolvedFileName(const WideString& name) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(WideToUtf8(name)), error);
  if (error) return name;
  fs::path resolved = fs::weakly_canonical(absolute, error);
  return Utf8ToWide((error ? absolute.lexically_normal() : resolved).string());
}

}  // namespace

bool TSwFileAccess::Allows(TSwFileAccessRequest& request) {
  TSwFileAccessMode& mode = ModeOf(request.Kind);
  if (mode != TSwFileAccessMode::Ask) return mode == TSwFileAccessMode::Allowed;
  if (!Ask) return false;
  request.ResolvedPath = ResolvedFileName(request.Path);
  switch (Ask(request)) {
    case TSwFileAccessAnswer::AllowForRun:
      mode = TSwFileAccessMode::Allowed;
      return true;
    case TSwFileAccessAnswer::AllowOnce:
      return true;
    case TSwFileAccessAnswer::Refuse:
      break;
  }
  return false;
}

void TFnLoadFile::Execute() {
  WideString name = Expression().Evaluator()->Stack().PopStr();
  CheckFileAccess(TSwFileAccessKind::Read, name);
  auto file = std::make_unique<TFileStream>(name, TFileMode::OpenRead);
  Result().SetOwnedStream(std::move(file));
  Result().StartPosition = 0;
}

void TFnSaveFile::Execute() {
  PopInput();
  WideString name = Expression().Evaluator()->Stack().PopStr();
  CheckFileAccess(TSwFileAccessKind::Write, name);
  TSwRpnValueEx& input = Result();
  // Written aside and put in place when whole, so that a failure leaves the file as it was.
  TSwAtomicFileStream file(name);
  if (input.Value.Has(valStr)) {
    std::string utf8 = WideToUtf8(input.Value.Str);
    file.WriteBuffer(utf8.data(), static_cast<int64_t>(utf8.size()));
    file.Commit();
    return;
  }
  TStream& source = StreamOf(input);
  int64_t here = source.Position();
  try {
    source.SetPosition(0);
    int64_t size = source.Size();
    if (size > 0) file.CopyFrom(source, size);
  } catch (...) {
    source.SetPosition(here);
    throw;
  }
  source.SetPosition(here);
  file.Commit();
}

namespace {

// Whether a debugger is attached (Linux: a tracer in /proc/self/status).
bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) {
      for (char c : line.substr(10))
        if (c >= '1' && c <= '9') return true;
      return false;
    }
  }
  return false;
}

}  // namespace

void TFnDebuggerInterrupt::Execute() {
  // Without a debugger a breakpoint would kill the process: the call then only answers true.
  if (DebuggerAttached()) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#elif defined(__aarch64__)
    __asm__ volatile("brk #0");
#endif
  }
  SetScalar(Result(), RpnBool(true));
}

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
