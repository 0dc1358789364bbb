// SwExprFunctions: the built-in functions of model expressions, as one table (internal to the
// expressions unit).
//
// Each row names a function (with its synonym), the name its messages give it ("TFnCmpHex"),
// the kinds its input value must have, and the code that runs a call. Adding a function is
// adding a row.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "SwExpressions.h"

namespace skeinwork {

class TSwFunctionCall;

struct TSwBuiltinFunction {
  const char16_t* Names[2];  // the name and a synonym, or null
  const char* MessageName;   // the function as messages name it
  // Kinds the input value must have one of, checked when a call takes its input (a stream
  // counts as bytes); 0 for any value.
  TRpnValueKind Accepts;
  void (*Run)(TSwFunctionCall& call);
};

// Registers every row of the table.
void SwRegisterBuiltinFunctions(TSwFunctions& functions);

// One call of a built-in function: its context and row, and what the functions share for taking
// arguments, reporting errors and making output.
class TSwFunctionCall {
 public:
  // Bytes a stream value may be read into, and the most bytes (or characters) of any value a
  // function makes, a transform's output included.
  static constexpr int64_t MaxRawRead = 83886079;
  static constexpr int64_t TransformChunk = 32768;

  TSwFunctionCall(TSwFuncContext& context, const TSwBuiltinFunction& function)
      : mContext(context), mFunction(function) {}

  TSwFuncContext& Context() { return mContext; }
  TSwExpression& Expression() { return *mContext.Expression; }
  TSwRpnValueEx& Result() { return *mContext.Value; }
  const char* Name() const { return mFunction.MessageName; }
  // The function's output stream, a temporary stream made on first use.
  TStream& OutStream();
  std::unique_ptr<TStream> TakeOutStream() { return std::move(mOut); }
  // Checks the result's bytes and text against MaxRawRead and counts them as work.
  void CheckResultSize();

  // Pops the top value into the result value: its scalar and, for an extended value, its node
  // and stream, recording the stream's current position.
  void PopInput();
  // PopInput, then checks the value against the row's accepted kinds.
  void TakeInput();
  // Pops the top value into an extended value of its own.
  TSwRpnValueEx& PopArgument();
  // valBytes or a stream: its bytes; else valStr encoded in the options' code page.
  RawByteString AsBytes(TSwRpnValueEx& value);
  // With a stream, its bytes from StartPosition to the end (the position is put back); else
  // Value.Bytes.
  RawByteString BytesOf(TSwRpnValueEx& value);
  TStream& StreamOf(TSwRpnValueEx& value) { return value.DataStream(); }
  double NumberOf(TSwRpnValueEx& value);
  const WideString& TextOf(TSwRpnValueEx& value);
  [[noreturn]] void RaiseBadValue(const TSwRpnValueEx& value, TRpnValueKind required);
  [[noreturn]] void RaiseEmptyArgument();
  // Raises ESwExprValueTooLong when a value of `size` bytes or characters would pass MaxRawRead.
  void CheckValueSize(int64_t size);
  // Raises ESwFileAccessRefused unless the expression's file-access policy allows the access.
  void CheckFileAccess(TSwFileAccessKind kind, const WideString& path);

  // Reads the result value's stream from its position in chunks, lets `change` change each in
  // place and appends it to the output stream; the source stream's position is put back.
  template <class F>
  void TransformBuffered(F&& change);

  // Raises a function error of class E naming this function and the expression.
  template <class E, class... A>
  [[noreturn]] void Fail(std::string_view format, const A&... args) {
    E error = Expression().Decorate(MakeError<E>(format, args...));
    error.FunctionClass = Name();
    throw error;
  }

 private:
  TSwFuncContext& mContext;
  const TSwBuiltinFunction& mFunction;
  std::unique_ptr<TStream> mOut;
};

template <class F>
void TSwFunctionCall::TransformBuffered(F&& change) {
  TStream& source = StreamOf(Result());
  int64_t here = source.Position();
  TStream& out = OutStream();
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(TransformChunk)]);
  // A source without an end (a device) must not fill the disk: the output is a value like any
  // other.
  int64_t total = 0;
  try {
    for (;;) {
      int64_t read = source.Read(buffer.get(), TransformChunk);
      if (read <= 0) break;
      total += read;
      CheckValueSize(total);
      TSwWorkMeter::Spend(read);
      change(buffer.get(), read);
      out.WriteBuffer(buffer.get(), read);
    }
  } catch (...) {
    source.SetPosition(here);
    throw;
  }
  // The source is a shared stream (often the input): transforming it consumes nothing.
  source.SetPosition(here);
}

}  // namespace skeinwork
