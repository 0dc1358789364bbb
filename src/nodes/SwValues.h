// SwValues: the multi-typed values of tree nodes and the property bags that hold them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwHashes.h"

namespace skeinwork {

enum TSwType : uint8_t { ltStr, ltRaw, ltBool, ltInt, ltFrac, ltObj, ltSlice };
using TSwTypes = uint8_t;  // a set of TSwType, bit i for kind i

constexpr TSwTypes SwKind(TSwType type) { return static_cast<TSwTypes>(1u << type); }
inline constexpr TSwTypes SwSliceKinds = 0x78;  // ltInt | ltFrac | ltObj | ltSlice

// A multi-typed value: each kind in `Kinds` holds the same datum in its own field. A stream
// slice (SwSliceKinds) is a range of a stream: Int = offset, Frac = length, Obj = the stream.
// Text and raw bytes live out of line, so a value that holds neither stays small; copies are deep.
class TSwValue {
 public:
  TSwValue() = default;
  TSwValue(const TSwValue& other);
  TSwValue& operator=(const TSwValue& other);
  TSwValue(TSwValue&&) noexcept = default;
  TSwValue& operator=(TSwValue&&) noexcept = default;

  static TSwValue OfText(const WideString& text);
  static TSwValue OfRaw(const RawByteString& raw);
  static TSwValue OfBool(bool value);
  static TSwValue OfInt(int64_t value);
  static TSwValue OfSlice(int64_t offset, int64_t length, TSwObject* stream);

  void Clear() { *this = TSwValue(); }
  bool IsNull() const { return Kinds == 0; }
  bool Has(TSwType type) const { return (Kinds & SwKind(type)) != 0; }
  bool IsSlice() const { return (Kinds & SwSliceKinds) == SwSliceKinds; }
  // The text "implicit" that marks nodes the model compiler adds itself.
  bool IsImplicit() const;

  const WideString& Text() const;
  const RawByteString& Raw() const;
  void SetText(const WideString& text);  // sets the field only; callers manage Kinds
  void SetRaw(const RawByteString& raw);
  bool HasStrings() const { return mStrings != nullptr; }

  // " s2 ab", " i5", " NULL" ...; without the leading blank on request.
  std::string DescriptionText(bool leadingBlank = true) const;

  TSwTypes Kinds = 0;
  bool Bool = false;
  int64_t Int = 0;  // slice offsets may pass 2 GiB, so the integer field is 64-bit
  double Frac = 0;
  TSwObject* Obj = nullptr;  // not owned

 private:
  struct TStrings {
    WideString Text;
    RawByteString Raw;
  };
  std::unique_ptr<TStrings> mStrings;  // created when text or raw bytes are set
};

// ---------------------------------------------------------------------------------------------
// Properties

SW_EXCEPTION(ESwProperties, ESkeinwork);
SW_EXCEPTION(ESwUnownedProperty, ESwProperties);
SW_EXCEPTION(ESwNoProperty, ESwProperties);
SW_EXCEPTION(ESwAddingNullProperty, ESwProperties);

class TSwProperties;

class TSwProperty : public TSwObject {
 public:
  TSwProperty(TSwProperties* owner, TSwName name);
  std::string Description() const override;

  TSwProperties* Owner() const { return mOwner; }
  const WideString& Name() const { return mName; }
  const TSwValue& Value() const { return mValue; }
  TSwValue& Value() { return mValue; }

 private:
  TSwProperties* mOwner;
  TSwName mName;
  TSwValue mValue;
};

// A node's property bag: sorted by name, one property per name. Adding a value under a present
// name puts a new property in place of the old one, which is freed after "sobj" listeners saw it.
class TSwProperties : public TSwThinHash {
 public:
  TSwProperties() : TSwThinHash(true, true) {}

  TSwProperty* AddValue(TSwName name, const TSwValue& value);
  // The stored property, or one a "thn" listener supplies.
  TSwProperty* Find(const WideString& name);
  TSwProperty* Get(const WideString& name);
  using TSwThinHash::Has;
  bool Has(const WideString& name, TSwTypes kinds);
  TSwProperty* Property(int index) const { return static_cast<TSwProperty*>(Object(index)); }

  std::string DumpItem(int index) const override;

 protected:
  virtual std::unique_ptr<TSwProperty> CreateProperty(TSwName name);
  bool HandlesEvent(std::u16string_view event) const override;
  bool ThinResultFilled(TSwArgs args) const override;
};

}  // namespace skeinwork
