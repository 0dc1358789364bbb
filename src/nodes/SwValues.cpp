// Values, properties and property bags.
#include <cmath>

#include "SwValues.h"

namespace skeinwork {

namespace {
const WideString kNoText;
const RawByteString kNoRaw;
}  // namespace

TSwValue::TSwValue(const TSwValue& other)
    : Kinds(other.Kinds), Bool(other.Bool), Int(other.Int), Frac(other.Frac), Obj(other.Obj) {
  if (other.mStrings) mStrings = std::make_unique<TStrings>(*other.mStrings);
}

TSwValue& TSwValue::operator=(const TSwValue& other) {
  if (this != &other) {
    TSwValue copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TSwValue TSwValue::OfText(const WideString& text) {
  TSwValue v;
  v.Kinds = SwKind(ltStr);
  v.SetText(text);
  return v;
}

TSwValue TSwValue::OfRaw(const RawByteString& raw) {
  TSwValue v;
  v.Kinds = SwKind(ltRaw);
  v.SetRaw(raw);
  return v;
}

TSwValue TSwValue::OfBool(bool value) {
  TSwValue v;
  v.Kinds = SwKind(ltBool);
  v.Bool = value;
  return v;
}

TSwValue TSwValue::OfInt(int64_t value) {
  TSwValue v;
  v.Kinds = SwKind(ltInt);
  v.Int = value;
  return v;
}

TSwValue TSwValue::OfSlice(int64_t offset, int64_t length, TSwObject* stream) {
  TSwValue v;
  v.Kinds = SwSliceKinds;
  v.Int = offset;
  v.Frac = static_cast<double>(length);
  v.Obj = stream;
  return v;
}

bool TSwValue::IsImplicit() const { return Has(ltStr) && !Has(ltInt) && Text() == u"implicit"; }

const WideString& TSwValue::Text() const { return mStrings ? mStrings->Text : kNoText; }
const RawByteString& TSwValue::Raw() const { return mStrings ? mStrings->Raw : kNoRaw; }

void TSwValue::SetText(const WideString& text) {
  if (!mStrings) mStrings = std::make_unique<TStrings>();
  mStrings->Text = text;
}

void TSwValue::SetRaw(const RawByteString& raw) {
  if (!mStrings) mStrings = std::make_unique<TStrings>();
  mStrings->Raw = raw;
}

std::string TSwValue::DescriptionText(bool leadingBlank) const {
  std::string out;
  if (Kinds == 0) out = " NULL";
  if (Has(ltStr)) {
    out += fmt::format(" s{}", Text().size());
    if (!Text().empty()) out += " " + WideToUtf8(Text().substr(0, 10));
  }
  if (Has(ltRaw)) {
    out += fmt::format(" r{}", Raw().size());
    if (!Raw().empty()) {
      out += " ";
      for (size_t i = 0; i < Raw().size() && i < 10; ++i)
        out += fmt::format("{}{:02X}", i ? " " : "", static_cast<unsigned char>(Raw()[i]));
    }
  }
  if (Has(ltBool)) out += Bool ? " bTRUE" : " bFALSE";
  if (Has(ltInt)) out += fmt::format(" i{}", Int);
  if (Has(ltFrac)) out += fmt::sprintf(" f%g", Frac);
  if (Has(ltObj))
    out += fmt::format(" o{}${:08X}", Obj ? Obj->ClassName() : "???", reinterpret_cast<uintptr_t>(Obj));
  return leadingBlank || out.empty() ? out : out.substr(1);
}

// ---------------------------------------------------------------------------------------------

TSwProperty::TSwProperty(TSwProperties* owner, TSwName name) : mOwner(owner), mName(name) {
  if (!owner) SwRaise<ESwUnownedProperty>("%s is not attached to any TSwProperties object.", this);
}

std::string TSwProperty::Description() const {
  return TSwObject::Description() + " " + WideToUtf8(mName.Text()) + ":" + mValue.DescriptionText();
}

std::unique_ptr<TSwProperty> TSwProperties::CreateProperty(TSwName name) {
  return std::make_unique<TSwProperty>(this, name);
}

TSwProperty* TSwProperties::AddValue(TSwName name, const TSwValue& value) {
  if (value.IsNull()) SwRaise<ESwAddingNullProperty>("Attempted to add a null property '%s' to %s.", name.Text(), this);
  std::unique_ptr<TSwProperty> property = CreateProperty(name);
  property->Value() = value;
  TSwProperty* added = property.get();
  Add(name, {}, std::move(property));
  return added;
}

TSwProperty* TSwProperties::Find(const WideString& name) {
  int index = IndexOf(name);
  if (index >= 0) return Property(index);
  if (!HasListeners(u"thn")) return nullptr;
  TSwValue result;
  const TSwVarRec args[] = {TSwVarRec::OfText(name), TSwVarRec::OfPointer(&result)};
  Fire(u"thn", args);
  if (!result.Has(ltObj)) return nullptr;
  return dynamic_cast<TSwProperty*>(result.Obj);
}

TSwProperty* TSwProperties::Get(const WideString& name) {
  TSwProperty* property = Find(name);
  if (!property) SwRaise<ESwNoProperty>("Property '%s' is undefined on %s.", name, this);
  return property;
}

bool TSwProperties::Has(const WideString& name, TSwTypes kinds) {
  TSwProperty* property = Find(name);
  return property && (property->Value().Kinds & kinds) != 0;
}

std::string TSwProperties::DumpItem(int index) const {
  TSwObject* object = Object(index);
  if (!object) return WideToUtf8(Key(index)) + " nil property object!";
  if (!dynamic_cast<TSwProperty*>(object))
    return WideToUtf8(Key(index)) + " wrong prop obj class (" + object->ClassName() + ")!";
  return object->Description();
}

bool TSwProperties::HandlesEvent(std::u16string_view event) const {
  return event == u"sp" || TSwThinHash::HandlesEvent(event);
}

bool TSwProperties::ThinResultFilled(TSwArgs args) const {
  const auto* result = static_cast<const TSwValue*>(ArgPointer(args, 1));
  return result && (result->Has(ltStr) || result->Has(ltObj));
}

}  // namespace skeinwork
