// The built-in functions of model expressions: the table and the code of each row.
#include "SwExprFunctions.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "Simpat.h"
#include "StrConv.h"
#include "SwAtomicFile.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Matchers and file access, which the modelling run and hosts use too

bool SwMatchExact(TStream& stream, std::string_view operand) {
  return SwMatchExactAt(stream, stream.Position(), operand);
}

bool SwMatchExactByReads(TStream& stream, int64_t position, std::string_view operand) {
  if (operand.empty()) return true;
  int64_t count = static_cast<int64_t>(operand.size());
  int64_t available = 0;
  if (const uint8_t* memory = stream.MemoryAt(position, available); memory && available >= count) {
    if (std::memcmp(memory, operand.data(), operand.size()) != 0) return false;
    stream.SetPosition(position + count);
    return true;
  }
  if (position >= stream.Size()) return false;
  char small[64];
  std::string large;
  char* buffer = small;
  if (operand.size() > sizeof small) {
    large.resize(operand.size());
    buffer = large.data();
  }
  int64_t read = stream.Read(buffer, count);
  if (read == count && std::memcmp(buffer, operand.data(), operand.size()) == 0) return true;
  if (read > 0) stream.Seek(-read, TSeekOrigin::Current);
  return false;
}

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

// ---------------------------------------------------------------------------------------------
// Calls

TStream& TSwFunctionCall::OutStream() {
  if (!mOut) mOut = std::make_unique<TSwTempStream>();
  return *mOut;
}

namespace {

// Makes `target` the popped value: its scalar linked to `target` and, when it came from an
// extended value, that value's node and stream, recording the stream's current position.
void Adopt(TSwRpnValueEx& target, TRpnScalar popped, const TSwRpnValueEx* source) {
  target.Value = std::move(popped);
  target.Value.Kinds |= valCustom;
  target.Value.Custom = &target;
  if (source) {
    target.Node = source->Node;
    target.SetStream(source->Stream, false);
    target.StartPosition = source->Stream ? source->Stream->Position() : 0;
  }
}

}  // namespace

void TSwFunctionCall::PopInput() {
  TRpnScalar popped = Expression().Evaluator()->Stack().Pop();
  TSwRpnValueEx* source = TSwRpnValueEx::Of(popped);
  Adopt(Result(), std::move(popped), source);
}

void TSwFunctionCall::TakeInput() {
  PopInput();
  const TSwRpnValueEx& input = Result();
  TRpnValueKind accepts = mFunction.Accepts;
  if (accepts && !(input.Value.Kinds & accepts) && !(input.Stream && (accepts & valBytes)))
    RaiseBadValue(input, accepts);
}

TSwRpnValueEx& TSwFunctionCall::PopArgument() {
  TRpnScalar popped = Expression().Evaluator()->Stack().Pop();
  TSwRpnValueEx* source = TSwRpnValueEx::Of(popped);
  TSwRpnValueEx& argument = Expression().NewValue();
  Adopt(argument, std::move(popped), source);
  return argument;
}

void TSwFunctionCall::RaiseBadValue(const TSwRpnValueEx& value, TRpnValueKind required) {
  ESwBadRpnValue error = Expression().Decorate(
      MakeError<ESwBadRpnValue>("Required value type missing (any of '%s') in RPN expression '%s'.",
                                SwRpnKindNames(required), Expression().Text()));
  error.Value = value.Value;
  error.Value.Kinds &= ~valCustom;
  error.Value.Custom = nullptr;
  error.Required = required;
  throw error;
}

void TSwFunctionCall::RaiseEmptyArgument() {
  Fail<ESwEmptyFuncArgument>("Function %s of RPN expression '%s' expects a non-empty argument.",
                             Name(), Expression().Text());
}

void TSwFunctionCall::CheckValueSize(int64_t size) {
  if (size > MaxRawRead)
    Fail<ESwExprValueTooLong>("Function %s of RPN expression '%s' would make a value of %d bytes or characters (%d max).",
                              Name(), Expression().Text(), size, MaxRawRead);
}

void TSwFunctionCall::CheckResultSize() {
  const TRpnScalar& value = Result().Value;
  int64_t size = 0;
  if (value.Has(valBytes)) size = static_cast<int64_t>(value.Bytes.size());
  if (value.Has(valStr)) size = std::max(size, static_cast<int64_t>(value.Str.size()));
  CheckValueSize(size);
  TSwWorkMeter::Spend(1 + size);
}

void TSwFunctionCall::CheckFileAccess(TSwFileAccessKind kind, const WideString& path) {
  TSwFileAccess* access = Expression().FileAccess();
  if (!access) return;
  TSwFileAccessRequest request{kind, Context().Name, path, {}};
  if (!access->Allows(request))
    Fail<ESwFileAccessRefused>("Function %s was refused access to file \"%s\" in RPN expression '%s'.",
                               request.Function, path, Expression().Text());
}

RawByteString TSwFunctionCall::BytesOf(TSwRpnValueEx& value) {
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

RawByteString TSwFunctionCall::AsBytes(TSwRpnValueEx& value) {
  if (value.Stream || value.Value.Has(valBytes)) return BytesOf(value);
  if (value.Value.Has(valStr)) return SwEncode(Expression().Options().Codepage, value.Value.Str);
  RaiseBadValue(value, valBytes | valStr);
}

double TSwFunctionCall::NumberOf(TSwRpnValueEx& value) {
  if (!value.Value.Has(valNum)) RaiseBadValue(value, valNum);
  return value.Value.Num;
}

const WideString& TSwFunctionCall::TextOf(TSwRpnValueEx& value) {
  if (!value.Value.Has(valStr)) RaiseBadValue(value, valStr);
  return value.Value.Str;
}

// ---------------------------------------------------------------------------------------------
// The functions

namespace {

// Counting results: a number and a boolean that is true above 0.
TRpnScalar SwRpnCount(double count) {
  TRpnScalar value;
  value.Kinds = valNum | valBool;
  value.Num = count;
  value.Bool = count > 0;
  return value;
}

// Sets the result's scalar and keeps its node and stream.
void SetScalar(TSwRpnValueEx& value, TRpnScalar scalar) { value.Value = std::move(scalar); }

// The result has only this scalar form: no stream is left to shadow it.
void SetOnly(TSwRpnValueEx& value, TRpnScalar scalar) {
  value.Value = std::move(scalar);
  value.SetStream(nullptr, false);
  value.BytesStream.reset();
}

// The node of the function's input; a function that counts nodes fails without one.
TSwTreeNode* InputNode(TSwFunctionCall& call) {
  call.TakeInput();
  TSwTreeNode* node = call.Result().Node;
  if (!node)
    call.Fail<ESwFuncNeedsBaseNode>(
        "Calling function %s within RPN expression '%s' running in context without base node.",
        call.Name(), call.Expression().Text());
  return node;
}

void Siblings(TSwFunctionCall& call) {
  TSwTreeNode* node = InputNode(call);
  SetScalar(call.Result(), SwRpnCount(node->Parent() ? node->Parent()->ChildCount() : 0));
}

void Length(TSwFunctionCall& call) {
  call.TakeInput();
  TStream& stream = call.StreamOf(call.Result());
  SetScalar(call.Result(), RpnNum(static_cast<double>(std::max<int64_t>(stream.Size() - stream.Position(), 0))));
}

void Self(TSwFunctionCall& call) {
  TSwTreeNode* node = InputNode(call);
  int count = 0;
  if (TSwExprModelNode* model = call.Expression().ModelNode()) {
    const WideString& path = model->ResultPath();
    count = path.empty() ? 0 : node->CountChildren(path);
  } else if (node->Parent()) {
    count = node->Parent()->CountChildren(node->Name());
  }
  SetScalar(call.Result(), SwRpnCount(count));
}

void Iteration(TSwFunctionCall& call) {
  TSwExprModelNode* model = call.Expression().ModelNode();
  SetScalar(call.Result(), SwRpnCount(model ? model->ParentIteration() : 0));
}

void Offset(TSwFunctionCall& call) {
  call.TakeInput();
  SetScalar(call.Result(), RpnNum(static_cast<double>(call.StreamOf(call.Result()).Position())));
}

void ToOffset(TSwFunctionCall& call) {
  int64_t offset = SwTruncNumber(call.NumberOf(call.PopArgument()));
  call.TakeInput();
  TStream& stream = call.StreamOf(call.Result());
  stream.SetPosition(offset);
  if (&stream == call.Result().Stream) call.Result().StartPosition = stream.Position();
  SetScalar(call.Result(), RpnBool(true));
}

// After moving the expression's input, a result that shares it keeps the new position, or the
// rewind after the call would undo the move.
void KeepInputPosition(TSwRpnValueEx& result, TStream* input) {
  if (input && result.Stream == input) result.StartPosition = input->Position();
}

void Skip(TSwFunctionCall& call) {
  call.TakeInput();
  int64_t count = SwTruncNumber(call.NumberOf(call.Result()));
  TStream* input = call.Expression().InputStream();
  if (count > 0 && input) input->Seek(count, TSeekOrigin::Current);
  KeepInputPosition(call.Result(), input);
  SetScalar(call.Result(), RpnBool(true));
}

void SkipTo(TSwFunctionCall& call) {
  call.TakeInput();
  int64_t target = SwTruncNumber(call.NumberOf(call.Result()));
  TStream* input = call.Expression().InputStream();
  if (input && input->Position() < target) input->SetPosition(target);
  KeepInputPosition(call.Result(), input);
  SetScalar(call.Result(), RpnBool(true));
}

void Eof(TSwFunctionCall& call) {
  call.TakeInput();
  TStream& stream = call.StreamOf(call.Result());
  SetScalar(call.Result(), RpnBool(stream.Position() >= stream.Size()));
}

// Matches an operand at the input's stream: true leaves the stream after the match, false
// where it was.
template <bool (*Match)(TSwFunctionCall& call, TStream& stream, std::string_view operand)>
void MatchStream(TSwFunctionCall& call) {
  TSwRpnValueEx& operand = call.PopArgument();
  call.TakeInput();
  TSwRpnValueEx& result = call.Result();
  TStream& stream = call.StreamOf(result);
  RawByteString bytes;
  std::string_view view;
  if (operand.Value.Has(valBytes) && !operand.Stream) {
    view = operand.Value.Bytes;  // the usual case: no copy
  } else {
    bytes = call.AsBytes(operand);
    view = bytes;
  }
  bool matched = Match(call, stream, view);
  if (matched && &stream == result.Stream) result.StartPosition = stream.Position();
  SetScalar(result, RpnBool(matched));
}

bool MatchExact(TSwFunctionCall&, TStream& stream, std::string_view operand) { return SwMatchExact(stream, operand); }

bool MatchAfterSpaces(TSwFunctionCall&, TStream& stream, std::string_view operand) {
  return SwMatchAfterSpaces(stream, operand);
}

bool MatchHex(TSwFunctionCall& call, TStream& stream, std::string_view operand) {
  RawByteString bytes = SwHexToBin(operand);
  if (bytes.empty()) call.RaiseEmptyArgument();
  return SwMatchExact(stream, bytes);
}

bool MatchPattern(TSwFunctionCall& call, TStream& stream, std::string_view operand) {
  if (operand.empty()) call.RaiseEmptyArgument();
  return SimpatMatch(operand, stream, call.Expression().EolnBytes());
}

void Has(TSwFunctionCall& call) {
  call.TakeInput();
  TSwRpnValueEx& result = call.Result();
  SetScalar(result, RpnBool(result.HasScalar() || result.Node || result.Stream));
}

void Not(TSwFunctionCall& call) {
  call.TakeInput();
  TSwRpnValueEx& result = call.Result();
  TRpnScalar& value = result.Value;
  if (value.Has(valBool)) value.Bool = !value.Bool;
  if (value.Has(valNum)) value.Num = static_cast<double>(~SwTruncNumber(value.Num));
  if (value.Has(valBytes) || result.Stream) {
    call.TransformBuffered([](uint8_t* buffer, int64_t count) {
      for (int64_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(~buffer[i]);
    });
    if (value.Has(valBytes) && !result.Stream)
      for (char& byte : value.Bytes) byte = static_cast<char>(~static_cast<uint8_t>(byte));
  }
}

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

// a and b: booleans combine, bytes combine byte by byte with b's bytes repeated.
template <uint8_t (*Combine)(uint8_t a, uint8_t b)>
void Bitwise(TSwFunctionCall& call) {
  TSwRpnValueEx& b = call.PopArgument();
  call.TakeInput();
  TSwRpnValueEx& a = call.Result();
  int codepage = call.Expression().Options().Codepage;
  ToBitwiseForm(a, codepage);
  ToBitwiseForm(b, codepage);
  for (TSwRpnValueEx* each : {&a, &b})
    if (!each->Value.Has(valBytes) && !each->Stream && !each->Value.Has(valBool))
      call.RaiseBadValue(*each, valBool | valBytes);

  if (a.Value.Has(valBool) && b.Value.Has(valBool)) {
    a.Value.Bool = (Combine(a.Value.Bool, b.Value.Bool) & 1) != 0;
    return;
  }
  bool aBytes = a.Value.Has(valBytes) || a.Stream;
  if (!aBytes) call.RaiseBadValue(b, valBool);  // a is a boolean, b is not
  if (!b.Value.Has(valBytes)) call.RaiseBadValue(b, valBytes);
  if (b.Value.Bytes.empty()) call.RaiseEmptyArgument();
  const RawByteString& key = b.Value.Bytes;
  size_t keyAt = 0;  // the key goes on from where the previous chunk left it
  call.TransformBuffered([&](uint8_t* buffer, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      buffer[i] = Combine(buffer[i], static_cast<uint8_t>(key[keyAt]));
      if (++keyAt == key.size()) keyAt = 0;
    }
  });
  if (a.Value.Has(valBytes) && !a.Stream) {
    // Keep the bytes form in step with the output stream.
    for (size_t i = 0; i < a.Value.Bytes.size(); ++i) {
      a.Value.Bytes[i] = static_cast<char>(
          Combine(static_cast<uint8_t>(a.Value.Bytes[i]), static_cast<uint8_t>(key[i % key.size()])));
    }
  }
}

uint8_t And(uint8_t a, uint8_t b) { return a & b; }
uint8_t Or(uint8_t a, uint8_t b) { return a | b; }
uint8_t Xor(uint8_t a, uint8_t b) { return a ^ b; }

// Transforms whichever of the text and bytes forms the input has.
template <void (*Transform)(WideString* text, RawByteString* bytes)>
void TransformText(TSwFunctionCall& call) {
  call.TakeInput();
  TSwRpnValueEx& result = call.Result();
  TRpnScalar& value = result.Value;
  WideString* text = value.Has(valStr) ? &value.Str : nullptr;
  RawByteString bytes;
  bool hasBytes = value.Has(valBytes) || result.Stream;
  if (hasBytes) bytes = call.BytesOf(result);
  Transform(text, hasBytes ? &bytes : nullptr);
  if (hasBytes) {
    value.Bytes = std::move(bytes);
    value.Kinds |= valBytes;
    // The transformed bytes replace the stream they came from.
    result.SetStream(nullptr, false);
    result.BytesStream.reset();
  }
}

void Reverse(WideString* text, RawByteString* bytes) {
  if (text) std::reverse(text->begin(), text->end());
  if (bytes) std::reverse(bytes->begin(), bytes->end());
}


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

void LowerCase(WideString* text, RawByteString* bytes) {
  if (text) *text = MapCase(*text, TCaseMapping::Lower);
  if (bytes) MapAsciiBytes(*bytes, 'A', 'a');
}

void UpperCase(WideString* text, RawByteString* bytes) {
  if (text) *text = MapCase(*text, TCaseMapping::Upper);
  if (bytes) MapAsciiBytes(*bytes, 'a', 'A');
}

void InvertCase(WideString* text, RawByteString* bytes) {
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

void HexToBin(TSwFunctionCall& call) {
  call.TakeInput();
  RawByteString bytes = SwHexToBin(call.AsBytes(call.Result()));
  SetOnly(call.Result(), RpnBytes(std::move(bytes)));
}

template <char Separator>
void BinToHex(TSwFunctionCall& call) {
  const std::string_view separator = Separator ? std::string_view(" ") : std::string_view();
  call.TakeInput();
  RawByteString bytes = call.AsBytes(call.Result());
  // Checked before the text is made: each step makes a value up to three times as long.
  if (!bytes.empty())
    call.CheckValueSize(static_cast<int64_t>(bytes.size()) * (2 + static_cast<int64_t>(separator.size())) -
                        static_cast<int64_t>(separator.size()));
  std::string hex = SwBinToHex(bytes, separator);
  SetOnly(call.Result(), RpnStr(WideString(hex.begin(), hex.end())));
}

void Charset(TSwFunctionCall& call) {
  TSwRpnValueEx& argument = call.PopArgument();
  call.TakeInput();
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
    call.Fail<ESwBadExprCodepage>("Cannot recognize codepage name '%s' in RPN expression '%s'.",
                             RpnValueText(TRpnScalar(given), u""), call.Expression().Text());
  TSwRpnValueEx& result = call.Result();
  const TRpnScalar& value = result.Value;
  if (value.Has(valStr) && value.Has(valBytes)) return;
  if (value.Has(valStr)) {
    SetOnly(result, RpnBytes(SwEncode(codepage, value.Str)));
    return;
  }
  SetOnly(result, RpnStr(SwDecode(codepage, call.BytesOf(result))));
}

void ToRaw(TSwFunctionCall& call) {
  call.TakeInput();
  RawByteString bytes = SwEncode(call.Expression().Options().Codepage, call.TextOf(call.Result()));
  SetOnly(call.Result(), RpnBytes(std::move(bytes)));
}

void FromRaw(TSwFunctionCall& call) {
  call.TakeInput();
  WideString text = SwDecode(call.Expression().Options().Codepage, call.AsBytes(call.Result()));
  SetOnly(call.Result(), RpnStr(std::move(text)));
}

void ToInt(TSwFunctionCall& call) {
  call.TakeInput();
  RawByteString bytes = call.AsBytes(call.Result());
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
      call.Fail<ESwBadExprStringToIntLength>(
          "String [%s] to convert into number must be 1, 2, 4 or 8 bytes long but it's %d; RPN "
          "expression '%s'.",
          SwBinToHex(std::string_view(bytes).substr(0, 10), " "),
          static_cast<int64_t>(bytes.size()), call.Expression().Text());
  }
  SetOnly(call.Result(), RpnNum(number));
}

void FromInt(TSwFunctionCall& call) {
  call.TakeInput();
  int64_t number = SwTruncNumber(call.NumberOf(call.Result()));
  bool narrow = number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<int32_t>::max();
  auto raw = static_cast<uint64_t>(number);
  RawByteString bytes(narrow ? 4 : 8, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((raw >> (8 * i)) & 0xFF);
  SetOnly(call.Result(), RpnBytes(std::move(bytes)));
}

void LoadFile(TSwFunctionCall& call) {
  WideString name = call.Expression().Evaluator()->Stack().PopStr();
  call.CheckFileAccess(TSwFileAccessKind::Read, name);
  auto file = std::make_unique<TFileStream>(name, TFileMode::OpenRead);
  call.Result().SetOwnedStream(std::move(file));
  call.Result().StartPosition = 0;
}

void SaveFile(TSwFunctionCall& call) {
  call.TakeInput();
  WideString name = call.Expression().Evaluator()->Stack().PopStr();
  call.CheckFileAccess(TSwFileAccessKind::Write, name);
  TSwRpnValueEx& input = call.Result();
  // Written aside and put in place when whole, so that a failure leaves the file as it was.
  TSwAtomicFileStream file(name);
  if (input.Value.Has(valStr)) {
    std::string utf8 = WideToUtf8(input.Value.Str);
    file.WriteBuffer(utf8.data(), static_cast<int64_t>(utf8.size()));
    file.Commit();
    return;
  }
  TStream& source = call.StreamOf(input);
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

void DebuggerInterrupt(TSwFunctionCall& call) {
  // Without a debugger a breakpoint would kill the process: the call then only answers true.
  if (DebuggerAttached()) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#elif defined(__aarch64__)
    __asm__ volatile("brk #0");
#endif
  }
  SetScalar(call.Result(), RpnBool(true));
}

// ---------------------------------------------------------------------------------------------
// The table

constexpr TRpnValueKind kAnyValue = 0;
constexpr TRpnValueKind kBytesOrText = valBytes | valStr;

const TSwBuiltinFunction kBuiltinFunctions[] = {
    {{u"sibl", u"siblings"}, "TFnSiblings", kAnyValue, &Siblings},
    {{u"len", u"length"}, "TFnLength", valBytes, &Length},
    {{u"self"}, "TFnSelf", kAnyValue, &Self},
    {{u"iter", u"iteration"}, "TFnIteration", kAnyValue, &Iteration},
    {{u"offset"}, "TFnOffset", valBytes, &Offset},
    {{u"tooffset"}, "TFnToOffset", valBytes, &ToOffset},
    {{u"skip"}, "TFnSkip", valNum, &Skip},
    {{u"skipto"}, "TFnSkipTo", valNum, &SkipTo},
    {{u"eof"}, "TFnEof", valBytes, &Eof},
    {{u"cmp_eq"}, "TFnCmpExact", valBytes, &MatchStream<&MatchExact>},
    {{u"cmp_space"}, "TFnCmpSpaces", valBytes, &MatchStream<&MatchAfterSpaces>},
    {{u"cmp_hex"}, "TFnCmpHex", valBytes, &MatchStream<&MatchHex>},
    {{u"cmp_pat"}, "TFnCmpPattern", valBytes, &MatchStream<&MatchPattern>},
    {{u"has"}, "TFnHas", kAnyValue, &Has},
    {{u"not"}, "TFnNot", kAnyValue, &Not},
    {{u"xor"}, "TFnXor", kAnyValue, &Bitwise<&Xor>},
    {{u"and"}, "TFnAnd", kAnyValue, &Bitwise<&And>},
    {{u"or"}, "TFnOr", kAnyValue, &Bitwise<&Or>},
    {{u"rev", u"reverse"}, "TFnReverse", kAnyValue, &TransformText<&Reverse>},
    {{u"lower"}, "TFnLowerCase", kAnyValue, &TransformText<&LowerCase>},
    {{u"upper"}, "TFnUpperCase", kAnyValue, &TransformText<&UpperCase>},
    {{u"invcase"}, "TFnInvertCase", kAnyValue, &TransformText<&InvertCase>},
    {{u"h2b"}, "TFnHexToBin", kBytesOrText, &HexToBin},
    {{u"b2h"}, "TFnBinToHex", kBytesOrText, &BinToHex<'\0'>},
    {{u"b2hh"}, "TFnBinToHexSeparated", kBytesOrText, &BinToHex<' '>},
    {{u"charset"}, "TFnCharset", kAnyValue, &Charset},
    {{u"toraw"}, "TFnToRaw", valStr, &ToRaw},
    {{u"fromraw"}, "TFnFromRaw", kBytesOrText, &FromRaw},
    {{u"toint"}, "TFnToInt", kBytesOrText, &ToInt},
    {{u"fromint"}, "TFnFromInt", valNum, &FromInt},
    {{u"load"}, "TFnLoadFile", kAnyValue, &LoadFile},
    {{u"save"}, "TFnSaveFile", kAnyValue, &SaveFile},
    {{u"int3"}, "TFnDebuggerInterrupt", kAnyValue, &DebuggerInterrupt},
};

// The handler of every row: checks the context, runs the row and gives its output stream to the
// result value.
bool RunBuiltin(void* row, TSwFuncContext& context) {
  const auto& function = *static_cast<const TSwBuiltinFunction*>(row);
  if (!context.Expression || !context.Value) {
    ESwBadFuncContext error = MakeError<ESwBadFuncContext>("Required %s Context fields missing.", function.MessageName);
    if (context.Expression) error = context.Expression->Decorate(std::move(error));
    error.FunctionClass = function.MessageName;
    throw error;
  }
  TSwFunctionCall call(context, function);
  function.Run(call);
  call.CheckResultSize();
  if (std::unique_ptr<TStream> out = call.TakeOutStream()) {
    out->SetPosition(0);
    context.Value->SetOwnedStream(std::move(out));
    context.Value->StartPosition = 0;
  }
  return true;
}

}  // namespace

void SwRegisterBuiltinFunctions(TSwFunctions& functions) {
  for (const TSwBuiltinFunction& function : kBuiltinFunctions)
    for (const char16_t* name : function.Names)
      if (name) functions.Register(name, TSwFuncHandler{&RunBuiltin, const_cast<TSwBuiltinFunction*>(&function)});
}

}  // namespace skeinwork
