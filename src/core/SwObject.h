// SwObject: the ground every Skeinwork class stands on.
//
// TSwObject is the base of the library's classes: it knows its class name, routes errors either
// to an installed handler or up as exceptions, and tells registered listeners when it is freed.
// ESkeinwork is the root of the library's exceptions; build one with MakeError<E>(format, ...)
// or throw one with SwRaise<E>(format, ...), which apply the translation and exception hooks.
// Also here: the class registry (TSwClassList), the shared options record (TSwOptions), tagged
// event arguments (TSwVarRec) and the work meter of a run (TSwWorkMeter).
#pragma once

#include <fmt/printf.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace skeinwork {

using WideString = std::u16string;    // UTF-16 text
using RawByteString = std::string;    // bytes, or UTF-8 text where stated

// ---------------------------------------------------------------------------------------------
// UTF-8 <-> UTF-16 at the edges (file names, messages). Malformed input becomes U+FFFD.

WideString Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// The text without the blanks (U+0000 to U+0020) at its ends.
std::u16string_view SwTrim(std::u16string_view text);

// ---------------------------------------------------------------------------------------------
// A comparable method reference: the code and the object it runs on. Two references are equal
// when both parts are equal, which listener registries and on-free lists rely on.

template <class Sig>
struct TMethod;

template <class R, class... A>
struct TMethod<R(A...)> {
  R (*Code)(void* data, A... args) = nullptr;
  void* Data = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  R operator()(A... args) const { return Code(Data, std::forward<A>(args)...); }
  bool operator==(const TMethod&) const = default;

  // Binds a member function: TMethod<void(int)>::Of<&TFoo::Bar>(foo).
  template <auto Member, class C>
  static TMethod Of(C* object) {
    return {[](void* data, A... args) -> R {
              return (static_cast<C*>(data)->*Member)(std::forward<A>(args)...);
            },
            object};
  }
};

class TSwObject;
class ESkeinwork;

using TSwErrorHandler = TMethod<void(TSwObject* sender, const ESkeinwork& error)>;
using TOnFreeMethod = TMethod<void(TSwObject* freed)>;

// The class name of an object's dynamic type without the namespace ("TSwTreeNode").
std::string SwClassNameOf(const std::type_info& type);

// ---------------------------------------------------------------------------------------------
// An on-free registration: calls its method with the owner when destroyed while still attached.

class TOnFreeCallback {
 public:
  TOnFreeCallback(TOnFreeMethod method, TSwObject* owner) : mMethod(method), mOwner(owner) {}
  ~TOnFreeCallback();
  TOnFreeCallback(const TOnFreeCallback&) = delete;
  TOnFreeCallback& operator=(const TOnFreeCallback&) = delete;

  const TOnFreeMethod& Method() const { return mMethod; }
  void Detach() { mOwner = nullptr; }

 private:
  TOnFreeMethod mMethod;
  TSwObject* mOwner;
};

// Base of the library's classes. Keeps its handler and callbacks out of line, so that an object
// nobody listens to costs one pointer beyond its vtable.
class TSwObject {
 public:
  TSwObject() = default;
  virtual ~TSwObject();
  TSwObject(const TSwObject&) = delete;
  TSwObject& operator=(const TSwObject&) = delete;

  std::string ClassName() const { return SwClassNameOf(typeid(*this)); }
  // "<TClass $ADDRESS>" for a plain object; descendants describe their content.
  virtual std::string Description() const;

  // With a handler set, hands the error to it and goes on; otherwise raises it.
  virtual void Error(const ESkeinwork& error);
  TSwErrorHandler ErrorHandler() const;
  void SetErrorHandler(TSwErrorHandler handler);

  // Replaces an equal registration, so one method is called once.
  void AddOnFree(TOnFreeMethod method);
  // Detaches the registration (it will not fire) and deletes it.
  void RemoveOnFree(TOnFreeMethod method);

 protected:
  // Fires the on-free callbacks now. Classes whose listeners read their state call this first
  // in their destructor, while the object is still whole; it runs at most once.
  void NotifyFree();

 private:
  struct TExtras {
    TSwErrorHandler Handler;
    std::vector<std::unique_ptr<TOnFreeCallback>> OnFree;  // owned
  };
  std::unique_ptr<TExtras> mExtras;  // created on first use
};

// ---------------------------------------------------------------------------------------------
// Message arguments: objects print as their class name (or "<nil object>"), wide text as UTF-8.

struct TSwClassInfo;

template <class T>
decltype(auto) SwMessageArg(const T& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_pointer_v<D> &&
                std::is_base_of_v<TSwObject, std::remove_cv_t<std::remove_pointer_t<D>>>) {
    return value ? value->ClassName() : std::string("<nil object>");
  } else if constexpr (std::is_same_v<D, const TSwClassInfo*> || std::is_same_v<D, TSwClassInfo*>) {
    return std::string(value ? value->Name : "<nil object>");
  } else if constexpr (std::is_same_v<D, WideString> || std::is_same_v<D, std::u16string_view>) {
    return WideToUtf8(value);
  } else if constexpr (std::is_same_v<D, const char16_t*>) {
    return WideToUtf8(value);
  } else if constexpr (std::is_same_v<D, std::string_view>) {
    return std::string(value);
  } else {
    return (const T&)value;
  }
}

// printf-style formatting with the system's conventions; a format that does not fit its
// arguments (a bad translation, say) falls back to the plain format text.
template <class... A>
std::string SwFormat(std::string_view format, const A&... args) {
  try {
    return fmt::sprintf(format, SwMessageArg(args)...);
  } catch (const fmt::format_error&) {
    return std::string(format);
  }
}

// ---------------------------------------------------------------------------------------------
// Exceptions.

using TSwTranslateHook = TMethod<std::string(std::string_view englishFormat)>;
using TSwExceptionHook = TMethod<void(ESkeinwork& created)>;

// Process-wide hooks; empty means "unchanged" and "none". Set them at start-up.
void SetSwTranslateHook(TSwTranslateHook hook);
TSwTranslateHook SwTranslateHook();
void SetSwExceptionHook(TSwExceptionHook hook);
TSwExceptionHook SwExceptionHook();
std::string SwTranslate(std::string_view englishFormat);

class ESkeinwork : public std::exception {
 public:
  ESkeinwork() = default;
  // Formats the translated format with the arguments; MakeError also calls the exception hook.
  template <class... A>
  explicit ESkeinwork(std::string_view englishFormat, const A&... args)
      : mFormat(englishFormat), mTranslatedFormat(SwTranslate(englishFormat)) {
    mMessage = SwFormat(mTranslatedFormat, args...);
    if (mMessage == mTranslatedFormat && sizeof...(A) > 0 && mTranslatedFormat != mFormat)
      mMessage = SwFormat(mFormat, args...);
  }

  const char* what() const noexcept override { return mMessage.c_str(); }
  const std::string& Message() const { return mMessage; }
  const std::string& Format() const { return mFormat; }
  const std::string& TranslatedFormat() const { return mTranslatedFormat; }
  std::string ClassName() const { return SwClassNameOf(typeid(*this)); }

  // The object the exception carries; the catcher takes it out and then owns it.
  void SetObject(std::unique_ptr<TSwObject> object);
  TSwObject* Object() const { return mObject ? mObject->get() : nullptr; }
  std::unique_ptr<TSwObject> ExtractObject() const;

  // Adds text to the finished message (decorations such as the node being compiled).
  void AppendToMessage(std::string_view text) { mMessage += text; }

  // Throws a copy of the exception as its own dynamic type.
  [[noreturn]] virtual void Raise() const { throw *this; }
  virtual std::unique_ptr<ESkeinwork> Clone() const { return std::make_unique<ESkeinwork>(*this); }

 private:
  std::string mFormat;
  std::string mTranslatedFormat;
  std::string mMessage;
  // Shared between the copies that throwing makes; the first ExtractObject takes it.
  std::shared_ptr<std::unique_ptr<TSwObject>> mObject;
};

// Declares an exception class in one line: name and base.
#define SW_EXCEPTION(Name, Base)                                                          \
  class Name : public Base {                                                              \
   public:                                                                                \
    using Base::Base;                                                                     \
    [[noreturn]] void Raise() const override { throw *this; }                             \
    std::unique_ptr<::skeinwork::ESkeinwork> Clone() const override {                     \
      return std::make_unique<Name>(*this);                                               \
    }                                                                                     \
  }

void CallSwExceptionHook(ESkeinwork& created);

// Builds an exception of class E and passes it through the exception hook.
template <class E, class... A>
E MakeError(std::string_view englishFormat, const A&... args) {
  E error(englishFormat, args...);
  CallSwExceptionHook(error);
  return error;
}

template <class E, class... A>
[[noreturn]] void SwRaise(std::string_view englishFormat, const A&... args) {
  throw MakeError<E>(englishFormat, args...);
}

SW_EXCEPTION(ESwBadVersionString, ESkeinwork);
SW_EXCEPTION(EInvalidArgument, ESkeinwork);
SW_EXCEPTION(ESwInvalidVarType, ESkeinwork);
SW_EXCEPTION(ESwClassListDuplicate, ESkeinwork);
SW_EXCEPTION(EStreamError, ESkeinwork);
SW_EXCEPTION(EReadError, EStreamError);
SW_EXCEPTION(EWriteError, EStreamError);
SW_EXCEPTION(EFOpenError, EStreamError);
SW_EXCEPTION(EFCreateError, EStreamError);

// An exception class name for people: "ESwmConditionMismatch" -> "Condition Mismatch".
std::string SwReadableClassName(std::string_view className);

// A set of enumeration values as text: names joined by ", ", a bit without a name as
// "? (VALUE)", an empty set as "<none>". names[i] names bit i; null entries have no name.
std::string SwSetText(uint64_t bits, std::span<const char* const> names);

// ---------------------------------------------------------------------------------------------
// Tagged argument arrays of events.

enum class TSwVarTag : int { Integer = 0, Boolean = 1, Pointer = 5, Object = 7, WideString = 15 };

struct TSwVarRec {
  TSwVarTag Tag = TSwVarTag::Integer;
  int64_t Int = 0;
  bool Bool = false;
  void* Pointer = nullptr;
  TSwObject* Object = nullptr;
  WideString Text;

  static TSwVarRec OfInt(int64_t v) { TSwVarRec r; r.Tag = TSwVarTag::Integer; r.Int = v; return r; }
  static TSwVarRec OfBool(bool v) { TSwVarRec r; r.Tag = TSwVarTag::Boolean; r.Bool = v; return r; }
  static TSwVarRec OfPointer(void* v) { TSwVarRec r; r.Tag = TSwVarTag::Pointer; r.Pointer = v; return r; }
  static TSwVarRec OfObject(TSwObject* v) { TSwVarRec r; r.Tag = TSwVarTag::Object; r.Object = v; return r; }
  static TSwVarRec OfText(WideString v) { TSwVarRec r; r.Tag = TSwVarTag::WideString; r.Text = std::move(v); return r; }
};

using TSwArgs = std::span<const TSwVarRec>;

// Typed access to argument i; a different tag raises ESwInvalidVarType.
const WideString& ArgText(TSwArgs args, size_t i);
bool ArgBool(TSwArgs args, size_t i);
int64_t ArgInt(TSwArgs args, size_t i);
TSwObject* ArgObject(TSwArgs args, size_t i);
void* ArgPointer(TSwArgs args, size_t i);

// ---------------------------------------------------------------------------------------------
// Class references: one static descriptor per class; later units extend it with factories.

struct TSwClassInfo {
  const char* Name;
  const TSwClassInfo* Parent = nullptr;
  bool InheritsFrom(const TSwClassInfo* other) const {
    for (const TSwClassInfo* c = this; c; c = c->Parent)
      if (c == other) return true;
    return false;
  }
};

struct TSwClassListItem {
  WideString Name;
  const TSwClassInfo* Class;
};

// Ordered name -> class registry with unique, exactly compared names.
class TSwClassList : public TSwObject {
 public:
  int Add(const WideString& name, const TSwClassInfo* cls);
  const TSwClassInfo* Find(const WideString& name) const;
  WideString NameOf(const TSwClassInfo* cls, const WideString& defaultName) const;
  int IndexOf(const WideString& name) const;
  int IndexOfClass(const TSwClassInfo* cls) const;
  int Count() const { return static_cast<int>(mItems.size()); }
  const TSwClassListItem& Item(int index) const { return mItems.at(index); }

 private:
  std::vector<TSwClassListItem> mItems;
  std::unordered_map<WideString, int> mIndex;
};

// ---------------------------------------------------------------------------------------------
// Options copied into streamers, compilers and expressions.

struct TSwOptions {
  WideString Eoln = u"\r\n";  // line break
  int Codepage = 1250;
};

// ---------------------------------------------------------------------------------------------
// Work of one run

SW_EXCEPTION(ESwCancelled, ESkeinwork);
SW_EXCEPTION(ESwWorkLimit, ESkeinwork);

// How much work a run may do and whether it was asked to stop. A modelling run and the program
// install one on their thread; long loops below (the child loop, expression functions, pattern
// scans, writes) report what they spend, so that no input can keep a run busy for hours and a
// cancel request acts at once. Meters nest: work counts against every meter of the thread.
class TSwWorkMeter {
 public:
  // Units are bytes read, made, scanned or written, plus one per pass of a child loop.
  static constexpr int64_t DefaultLimit = int64_t{1} << 34;
  static constexpr int64_t NoLimit = INT64_MAX;
  using TRaise = void (*)();  // raises the owner's cancellation error

  explicit TSwWorkMeter(const std::atomic<bool>* cancel, int64_t limit = DefaultLimit, TRaise onCancel = nullptr);
  ~TSwWorkMeter();
  TSwWorkMeter(const TSwWorkMeter&) = delete;
  TSwWorkMeter& operator=(const TSwWorkMeter&) = delete;

  // Counts work on this thread's meters: raises the cancellation error once a cancel was asked
  // for, and ESwWorkLimit once a meter's limit is passed. Nothing happens without a meter.
  // Called for every pass of a child loop, so the common case is counted here, inline.
  static void Spend(int64_t units) {
    TBudget& budget = tBudget;
    if (units >= 0 && units <= budget.Left && !budget.CancelAsked()) {
      budget.Left -= units;
      return;
    }
    SpendSlowly(units);
  }
  // Asked on the meter's thread.
  int64_t Used() const;

 private:
  static const std::atomic<bool> kNeverCancelled;
  // This thread's work that no meter needs to look at: the units that may still be spent
  // before a limit is passed (-1: every call looks), those it had when the meters were last
  // brought up to date (the difference is spent but not yet added to them), and the cancel flags
  // of the meters. Two flags are watched inline (a run's own and its caller's); unused places
  // point at a flag that is never set.
  struct TBudget {
    static constexpr int MaxCancels = 2;
    int64_t Left = INT64_MAX;
    int64_t Granted = INT64_MAX;
    const std::atomic<bool>* Cancels[MaxCancels] = {&kNeverCancelled, &kNeverCancelled};
    int64_t Pending() const { return Granted - Left; }
    bool CancelAsked() const {
      return Cancels[0]->load(std::memory_order_relaxed) || Cancels[1]->load(std::memory_order_relaxed);
    }
  };
  static constinit thread_local TBudget tBudget;

  static void SpendSlowly(int64_t units);
  // Adds the pending units to this thread's meters.
  static void Flush();
  // Sets the budget from this thread's meters.
  static void Rebudget();

  const std::atomic<bool>* mCancel;
  int64_t mLimit;
  TRaise mOnCancel;
  int64_t mUsed = 0;
  TSwWorkMeter* mOuter;
};

}  // namespace skeinwork
