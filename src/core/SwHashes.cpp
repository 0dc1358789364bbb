#include "SwHashes.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

namespace skeinwork {

namespace {
// Below this many items a look-up scans; above it, the map keeps a key index.
constexpr int kIndexThreshold = 16;

const WideString kEmpty;
bool IsAll(const WideString& key) { return key.size() == 1 && key[0] == u'*'; }
}  // namespace

namespace {
struct TTextHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view text) const { return std::hash<std::u16string_view>()(text); }
};
struct TNamePool {
  std::mutex Lock;
  // Node-based: addresses stay put. Transparent, so look-ups need no copy of the text.
  std::unordered_set<WideString, TTextHash, std::equal_to<>> Texts;
};
TNamePool& NamePool() {
  static TNamePool pool;
  return pool;
}
}  // namespace

TSwName::TSwName(std::u16string_view text) {
  TNamePool& pool = NamePool();
  std::lock_guard lock(pool.Lock);
  mText = &*pool.Texts.emplace(text).first;
}

const WideString* TSwName::Lookup(std::u16string_view text) {
  TNamePool& pool = NamePool();
  std::lock_guard lock(pool.Lock);
  auto it = pool.Texts.find(text);
  return it == pool.Texts.end() ? nullptr : &*it;
}

const WideString* TSwName::EmptyText() {
  static const WideString* empty = TSwName(std::u16string_view()).Id();
  return empty;
}

TSwHash::TSwHash(bool sorted, bool replaceExisting) : mSorted(sorted), mReplaceExisting(replaceExisting) {}

// Destroying a map frees its objects quietly: listeners hear of a deliberate Clear only.
TSwHash::~TSwHash() = default;

struct TSwHash::TItem::TBoxed {
  WideString Value;
  std::unique_ptr<TSwObject> Object;  // owned
};

TSwHash::TItem::TItem(TSwName key, const WideString& value, std::unique_ptr<TSwObject> object) : Key(key) {
  mWord = reinterpret_cast<uintptr_t>(object.release());
  PutValue(value);
}

TSwHash::TItem& TSwHash::TItem::operator=(TItem&& other) noexcept {
  if (this != &other) {
    Free();
    Key = other.Key;
    mWord = std::exchange(other.mWord, 0);
  }
  return *this;
}

TSwHash::TItem::TBoxed* TSwHash::TItem::Boxed() const {
  return (mWord & 1) ? reinterpret_cast<TBoxed*>(mWord & ~uintptr_t(1)) : nullptr;
}

void TSwHash::TItem::Free() {
  if (TBoxed* boxed = Boxed()) delete boxed;
  else delete reinterpret_cast<TSwObject*>(mWord);
  mWord = 0;
}

const WideString* TSwHash::TItem::Value() const {
  TBoxed* boxed = Boxed();
  return boxed ? &boxed->Value : nullptr;
}

TSwObject* TSwHash::TItem::Object() const {
  TBoxed* boxed = Boxed();
  return boxed ? boxed->Object.get() : reinterpret_cast<TSwObject*>(mWord);
}

std::unique_ptr<TSwObject> TSwHash::TItem::TakeObject() {
  if (TBoxed* boxed = Boxed()) return std::move(boxed->Object);
  return std::unique_ptr<TSwObject>(reinterpret_cast<TSwObject*>(std::exchange(mWord, 0)));
}

void TSwHash::TItem::PutObject(std::unique_ptr<TSwObject> object) {
  if (TBoxed* boxed = Boxed()) boxed->Object = std::move(object);
  else mWord = reinterpret_cast<uintptr_t>(object.release());
}

void TSwHash::TItem::PutValue(const WideString& value) {
  TBoxed* boxed = Boxed();
  if (boxed && value.empty()) {
    mWord = reinterpret_cast<uintptr_t>(boxed->Object.release());
    delete boxed;
  } else if (boxed) {
    boxed->Value = value;
  } else if (!value.empty()) {
    auto made = new TBoxed{value, std::unique_ptr<TSwObject>(reinterpret_cast<TSwObject*>(mWord))};
    static_assert(alignof(TBoxed) >= 2, "the low bit of a box's address tags it");
    mWord = reinterpret_cast<uintptr_t>(made) | 1;
  }
}

const TSwHash::TItem& TSwHash::At(int index) const {
  if (index < 0 || index >= Count())
    SwRaise<ESwHash>("%s: item index %d out of bounds (%d items).", this, index, Count());
  return mItems[index];
}

const WideString& TSwHash::Value(int index) const {
  const TItem& item = At(index);
  return item.Value() ? *item.Value() : kEmpty;
}

void TSwHash::CheckKey(const WideString& key) const {
  if (!IsValidKey(key))
    SwRaise<ESwHashBadKey>("Attempted to add bad key '%s' to %s (contains prohibited symbol $%.2X).", key,
                           this, static_cast<int>(Separator));
}

int TSwHash::SortedLowerBound(const WideString& key) const {
  auto it = std::lower_bound(mItems.begin(), mItems.end(), key,
                             [](const TItem& item, const WideString& k) { return item.Key.Text() < k; });
  return static_cast<int>(it - mItems.begin());
}

const std::vector<int>* TSwHash::KeyIndices(const WideString* keyId) const {
  if (!keyId) return nullptr;
  if (!mKeyIndex) {
    mKeyIndex = std::make_unique<std::unordered_map<const WideString*, std::vector<int>>>();
    for (int i = 0; i < Count(); ++i) (*mKeyIndex)[mItems[i].Key.Id()].push_back(i);
  }
  auto it = mKeyIndex->find(keyId);
  return it == mKeyIndex->end() ? nullptr : &it->second;
}

void TSwHash::IndexAppended(int index) {
  if (mKeyIndex) (*mKeyIndex)[mItems[index].Key.Id()].push_back(index);
}

int TSwHash::InsertItem(int index, TSwName key, const WideString& value,
                        std::unique_ptr<TSwObject> object) {
  TItem item(key, value, std::move(object));
  // Most maps that get an item get a few: room for four spares the first two regrowths.
  if (mItems.capacity() == 0) mItems.reserve(4);
  if (index >= Count()) {
    index = Count();
    mItems.push_back(std::move(item));
    IndexAppended(index);
  } else {
    mItems.insert(mItems.begin() + index, std::move(item));
    DropIndex();
  }
  TSwHashChange change{TSwHashChange::Added};
  change.Index = index;
  change.Key = &mItems[index].Key.Text();
  Changed(change);
  return index;
}

// Where AppendUnheard's list needs more room, a key index or an ordered place.
void TSwHash::AppendUnheardSlowly(TSwName key, std::unique_ptr<TSwObject> object) {
  if (mSorted) {
    Add(key, {}, std::move(object));
    return;
  }
  // Room first, so that the item is made in place once nothing can fail.
  if (mItems.size() == mItems.capacity()) mItems.reserve(mItems.empty() ? 4 : 2 * mItems.size());
  mItems.emplace_back(key, object.release());
  if (mKeyIndex) IndexAppended(Count() - 1);
  ++mSequence;
}

int TSwHash::Add(TSwName key, const WideString& value, std::unique_ptr<TSwObject> object) {
  CheckKey(key);
  if (!mSorted) return InsertItem(Count(), key, value, std::move(object));
  int index = SortedLowerBound(key);
  if (mReplaceExisting && index < Count() && mItems[index].Key == key) {
    SetValue(index, value);
    SetObject(index, std::move(object));
    return index;
  }
  // After the equal keys, so that items of one key keep their order of adding.
  while (index < Count() && mItems[index].Key == key) ++index;
  return InsertItem(index, key, value, std::move(object));
}

void TSwHash::Insert(int index, TSwName key, const WideString& value, std::unique_ptr<TSwObject> object) {
  if (mSorted) {
    Add(key, value, std::move(object));
    return;
  }
  CheckKey(key);
  InsertItem(std::clamp(index, 0, Count()), key, value, std::move(object));
}

int TSwHash::Count(const WideString& key) const {
  if (IsAll(key)) return Count();
  const WideString* id = TSwName::Lookup(key);
  if (!id) return 0;
  if (mSorted) {
    int first = SortedLowerBound(key), last = first;
    while (last < Count() && mItems[last].Key.Id() == id) ++last;
    return last - first;
  }
  if (Count() > kIndexThreshold) {
    const std::vector<int>* indices = KeyIndices(id);
    return indices ? static_cast<int>(indices->size()) : 0;
  }
  return static_cast<int>(std::count_if(mItems.begin(), mItems.end(), [&](const TItem& i) { return i.Key.Id() == id; }));
}

bool TSwHash::Has(const WideString& key) const { return IsAll(key) ? Count() > 0 : IndexOf(key) >= 0; }

int TSwHash::IndexOf(const WideString& key) const {
  TSwHashFind state = FindFirst(key);
  return FindNext(state);
}

int TSwHash::NthIndexOf(const WideString& key, int n) const {
  if (n < 0) return -1;
  if (IsAll(key)) return n < Count() ? n : -1;
  const WideString* id = TSwName::Lookup(key);
  return id ? NthIndexOfName(TSwName::FromId(id), n) : -1;
}

int TSwHash::NthIndexOfName(TSwName name, int n) const {
  // Fewer items than n + 1 hold no n-th of any key, which answers a counter that appends
  // (the n-th row after n rows) without a key index.
  if (n < 0 || n >= Count()) return -1;
  const WideString& key = name.Text();
  if (IsAll(key)) return n < Count() ? n : -1;
  const WideString* id = name.Id();
  if (!mSorted && Count() > kIndexThreshold) {
    const std::vector<int>* indices = KeyIndices(id);
    return indices && n < static_cast<int>(indices->size()) ? (*indices)[n] : -1;
  }
  if (mSorted) {
    int index = SortedLowerBound(key) + n;  // equal keys are adjacent
    return index < Count() && mItems[index].Key.Id() == id ? index : -1;
  }
  for (int i = 0; i < Count(); ++i)
    if (mItems[i].Key.Id() == id && n-- == 0) return i;
  return -1;
}

int TSwHash::LastIndexOf(const WideString& key) const {
  if (IsAll(key)) return Count() - 1;
  const WideString* id = TSwName::Lookup(key);
  return id ? LastIndexOfName(TSwName::FromId(id)) : -1;
}

int TSwHash::LastIndexOfName(TSwName name) const {
  if (IsAll(name.Text())) return Count() - 1;
  const WideString* id = name.Id();
  if (!mSorted && Count() > kIndexThreshold) {
    const std::vector<int>* indices = KeyIndices(id);
    return indices && !indices->empty() ? indices->back() : -1;
  }
  for (int i = Count() - 1; i >= 0; --i)
    if (mItems[i].Key.Id() == id) return i;
  return -1;
}

TSwHashFind TSwHash::FindFirst(const WideString& key) const {
  TSwHashFind state{this, key, IsAll(key) ? nullptr : TSwName::Lookup(key), 0, mSequence};
  if (!IsAll(key) && !state.KeyId) state.Next = -1;
  if (mSorted && state.KeyId) state.Next = SortedLowerBound(key);
  if (state.Next >= Count()) state.Next = -1;
  return state;
}

int TSwHash::FindNext(TSwHashFind& state) const {
  if (state.Owner != this) SwRaise<ESwHashAlienFindState>("%s was given Find state of another object.", this);
  if (state.Sequence != mSequence)
    SwRaise<ESwHashChangedBetweenFind>("%s has been modified between Find/Next calls (first seq %d, now %d).", this,
                                       state.Sequence, mSequence);
  int found = -1;
  int from = state.Next;
  if (from >= 0 && from < Count()) {
    if (IsAll(state.Key)) {
      found = from;
    } else if (mSorted) {
      if (mItems[from].Key.Id() == state.KeyId) found = from;
    } else if (Count() > kIndexThreshold) {
      if (const std::vector<int>* indices = KeyIndices(state.KeyId)) {
        auto it = std::lower_bound(indices->begin(), indices->end(), from);
        if (it != indices->end()) found = *it;
      }
    } else {
      for (int i = from; i < Count(); ++i)
        if (mItems[i].Key.Id() == state.KeyId) {
          found = i;
          break;
        }
    }
  }
  state.Next = found >= 0 && found + 1 < Count() ? found + 1 : -1;
  return found;
}

TSwObject* TSwHash::FindNextObject(TSwHashFind& state) const {
  int index = FindNext(state);
  return index < 0 ? nullptr : mItems[index].Object();
}

void TSwHash::RemoveItem(int index, bool freeObject, std::unique_ptr<TSwObject>* taken) {
  At(index);
  TSwHashChange change{TSwHashChange::Removing};
  change.Index = index;
  change.Key = &mItems[index].Key.Text();
  change.OldObject = mItems[index].Object();
  Changed(change);
  // A listener may have changed the map; find the item again by its object, when it has one.
  if (index >= Count() || mItems[index].Object() != change.OldObject) {
    auto it = std::find_if(mItems.begin(), mItems.end(), [&](const TItem& i) { return i.Object() == change.OldObject; });
    if (it == mItems.end()) return;
    index = static_cast<int>(it - mItems.begin());
  }
  std::unique_ptr<TSwObject> object = mItems[index].TakeObject();
  if (object) Releasing(object.get());
  if (index == Count() - 1 && mKeyIndex) {
    auto& indices = (*mKeyIndex)[mItems[index].Key.Id()];
    indices.pop_back();
    if (indices.empty()) mKeyIndex->erase(mItems[index].Key.Id());
  } else {
    DropIndex();
  }
  mItems.erase(mItems.begin() + index);
  if (taken) *taken = std::move(object);
  else if (!freeObject) object.release();
}

void TSwHash::Delete(int index) { RemoveItem(index, true, nullptr); }

std::unique_ptr<TSwObject> TSwHash::Extract(int index) {
  std::unique_ptr<TSwObject> taken;
  RemoveItem(index, false, &taken);
  return taken;
}

bool TSwHash::DeleteAll(const WideString& key) {
  if (IsAll(key)) {
    bool any = Count() > 0;
    Clear();
    return any;
  }
  bool any = false;
  for (int index = IndexOf(key); index >= 0; index = IndexOf(key)) {
    Delete(index);
    any = true;
  }
  return any;
}

void TSwHash::Clear() {
  // Each item is announced and freed in order; the list itself goes at the end, which keeps
  // emptying a large map linear.
  for (int i = 0; i < Count(); ++i) {
    TSwHashChange change{TSwHashChange::Removing};
    change.Index = i;
    change.Key = &mItems[i].Key.Text();
    change.OldObject = mItems[i].Object();
    Changed(change);
    if (i < Count() && mItems[i].Object()) {
      Releasing(mItems[i].Object());
      mItems[i].TakeObject().reset();
    }
  }
  mItems.clear();
  DropIndex();
}

void TSwHash::SetKey(int index, TSwName key) {
  CheckKey(key);
  TItem& item = const_cast<TItem&>(At(index));
  if (item.Key == key) return;
  TSwName old = item.Key;
  item.Key = key;
  DropIndex();
  if (mSorted) {
    // Keep the order: move the item to its new place.
    TItem moved = std::move(item);
    mItems.erase(mItems.begin() + index);
    int to = SortedLowerBound(key);
    mItems.insert(mItems.begin() + to, std::move(moved));
    index = to;
  }
  TSwHashChange change{TSwHashChange::KeyChanged};
  change.Index = index;
  change.Key = &old.Text();
  change.NewKey = &mItems[index].Key.Text();
  Changed(change);
}

void TSwHash::SetValue(int index, const WideString& value) {
  TItem& item = const_cast<TItem&>(At(index));
  WideString old = item.Value() ? *item.Value() : WideString();
  if (old == value) return;
  item.PutValue(value);
  TSwHashChange change{TSwHashChange::ValueChanged};
  change.Index = index;
  change.Key = &item.Key.Text();
  change.OldValue = &old;
  change.NewValue = &value;
  Changed(change);
}

void TSwHash::SetObject(int index, std::unique_ptr<TSwObject> object) {
  TItem& item = const_cast<TItem&>(At(index));
  if (item.Object() == object.get()) {
    object.release();  // the item holds it already
    return;
  }
  std::unique_ptr<TSwObject> old = item.TakeObject();
  if (old) Releasing(old.get());
  item.PutObject(std::move(object));
  TSwHashChange change{TSwHashChange::ObjectChanged};
  change.Index = index;
  change.Key = &item.Key.Text();
  change.OldObject = old.get();
  change.NewObject = item.Object();
  Changed(change);
  // `old` is freed here, after the listeners have seen it.
}

void TSwHash::Move(int from, int to) {
  At(from);
  to = std::clamp(to, 0, Count() - 1);
  if (from == to) return;
  TItem item = std::move(mItems[from]);
  mItems.erase(mItems.begin() + from);
  mItems.insert(mItems.begin() + to, std::move(item));
  DropIndex();
  TSwHashChange change{TSwHashChange::Reordered};
  change.OldIndex = from;
  change.Index = to;
  Changed(change);
}

void TSwHash::Sort() {
  std::stable_sort(mItems.begin(), mItems.end(), [](const TItem& a, const TItem& b) { return a.Key.Text() < b.Key.Text(); });
  DropIndex();
  TSwHashChange change{TSwHashChange::Reordered};
  Changed(change);
}

void TSwHash::ShrinkToFit() {
  mItems.shrink_to_fit();
  DropIndex();
}

void TSwHash::ShrinkIfWasteful() {
  if ((mItems.capacity() - mItems.size()) * 8 > mItems.capacity()) ShrinkToFit();
}

bool TSwHash::Get(const WideString& key, WideString* value, TSwObject** object) const {
  int index = IndexOf(key);
  if (value) *value = index < 0 ? WideString() : Value(index);
  if (object) *object = index < 0 ? nullptr : mItems[index].Object();
  return index >= 0;
}

void TSwHash::Changed(const TSwHashChange&) { ++mSequence; }

std::string TSwHash::Description() const {
  std::string out = fmt::format("{} ({} items, separator ${:02X})", TSwObject::Description(), Count(),
                                static_cast<int>(Separator));
  for (int i = 0; i < Count(); ++i) out += "\n" + SwFormat("#%-2d %s", i, DumpItem(i));
  return out;
}

std::string TSwHash::DumpItem(int index) const {
  const TItem& item = mItems[index];
  std::string out = WideToUtf8(item.Key.Text());
  if (item.Value()) out += "=" + WideToUtf8(*item.Value());
  if (item.Object()) out += " " + item.Object()->ClassName();
  return out;
}

// ---------------------------------------------------------------------------------------------

namespace {
// Holds one listener as the object of a TSwCallbacks item.
class TSwListenerItem : public TSwObject {
 public:
  explicit TSwListenerItem(TSwListener listener) : Listener(listener) {}
  TSwListener Listener;
};

TSwListener ListenerAt(const TSwHash& map, int index) {
  return static_cast<TSwListenerItem*>(map.Object(index))->Listener;
}
}  // namespace

void TSwCallbacks::Subscribe(const WideString& event, TSwListener listener) {
  Unsubscribe(event, listener);
  Add(event, {}, std::make_unique<TSwListenerItem>(listener));
}

bool TSwCallbacks::Unsubscribe(const WideString& event, TSwListener listener) {
  bool removed = false;
  bool all = IsAll(event);
  for (int i = Count() - 1; i >= 0; --i) {
    if ((all || Key(i) == event) && ListenerAt(*this, i) == listener) {
      Delete(i);
      removed = true;
    }
  }
  return removed;
}

std::vector<TSwListener> TSwCallbacks::Listeners(const WideString& event) const {
  std::vector<TSwListener> out;
  TSwHashFind state = FindFirst(event);
  for (int i = FindNext(state); i >= 0; i = FindNext(state)) out.push_back(ListenerAt(*this, i));
  if (static_cast<int>(out.size()) > MaxListeners)
    SwRaise<ESwHashTooManyCallbacks>("Too many listeners (%d max) subscribed for '%s' event on %s.", MaxListeners,
                                     event, this);
  return out;
}

std::string TSwCallbacks::DumpItem(int index) const {
  TSwListener listener = ListenerAt(*this, index);
  return fmt::format("{} -> code ${:08X} data ${:08X}", WideToUtf8(Key(index)),
                     reinterpret_cast<uintptr_t>(listener.Code), reinterpret_cast<uintptr_t>(listener.Data));
}

// ---------------------------------------------------------------------------------------------

namespace {
const char16_t* EventName(TSwHashChange::TKind kind) {
  switch (kind) {
    case TSwHashChange::Reordered: return u"ord";
    case TSwHashChange::Added: return u"ad";
    case TSwHashChange::Removing: return u"rm";
    case TSwHashChange::KeyChanged: return u"skey";
    case TSwHashChange::ValueChanged: return u"sval";
    case TSwHashChange::ObjectChanged: return u"sobj";
  }
  return u"";
}
}  // namespace

TSwCallbacks& TSwNotifyingHash::Callbacks() {
  if (!mCallbacks) mCallbacks = std::make_unique<TSwCallbacks>();
  return *mCallbacks;
}

bool TSwNotifyingHash::HasListeners(std::u16string_view event) const {
  return mCallbacks && mCallbacks->Has(WideString(event));
}

bool TSwNotifyingHash::Unsubscribe(const WideString& event, TSwListener listener) {
  return mCallbacks && mCallbacks->Unsubscribe(event, listener);
}

bool TSwNotifyingHash::WantsEvent(std::u16string_view event, const TSwHashChange&) const {
  return HasListeners(event);
}

void TSwNotifyingHash::Changed(const TSwHashChange& change) {
  TSwHash::Changed(change);
  if (!mCallbacks) return;  // nobody listens: a tree being built or freed spares the events
  std::u16string_view event = EventName(change.Kind);
  if (!WantsEvent(event, change)) return;
  switch (change.Kind) {
    case TSwHashChange::Reordered: {
      const TSwVarRec args[] = {TSwVarRec::OfInt(change.OldIndex), TSwVarRec::OfInt(change.Index)};
      Fire(event, args);
      break;
    }
    case TSwHashChange::Added:
    case TSwHashChange::Removing: {
      const TSwVarRec args[] = {TSwVarRec::OfText(*change.Key),
                                TSwVarRec::OfBool(change.Kind == TSwHashChange::Removing),
                                TSwVarRec::OfInt(change.Index)};
      Fire(event, args);
      break;
    }
    case TSwHashChange::KeyChanged: {
      const TSwVarRec args[] = {TSwVarRec::OfText(*change.Key), TSwVarRec::OfText(*change.NewKey),
                                TSwVarRec::OfInt(change.Index)};
      Fire(event, args);
      break;
    }
    case TSwHashChange::ValueChanged: {
      const TSwVarRec args[] = {TSwVarRec::OfText(*change.Key), TSwVarRec::OfText(*change.OldValue),
                                TSwVarRec::OfText(*change.NewValue), TSwVarRec::OfInt(change.Index)};
      Fire(event, args);
      break;
    }
    case TSwHashChange::ObjectChanged: {
      const TSwVarRec args[] = {TSwVarRec::OfText(*change.Key), TSwVarRec::OfObject(change.OldObject),
                                TSwVarRec::OfObject(change.NewObject), TSwVarRec::OfInt(change.Index)};
      Fire(event, args);
      break;
    }
  }
}

bool TSwNotifyingHash::HandlesEvent(std::u16string_view event) const {
  return event == u"ord" || event == u"ad" || event == u"rm" || event == u"skey" || event == u"sval" ||
         event == u"sobj";
}

void TSwNotifyingHash::Fire(std::u16string_view event, TSwArgs args) {
  if (!HandlesEvent(event))
    SwRaise<ESwHashBadEventToFire>("%s.Fire cannot handle event '%s' (received %d arguments).", this,
                                   WideString(event), static_cast<int>(args.size()));
  Deliver(event, args);
}

void TSwNotifyingHash::Deliver(std::u16string_view event, TSwArgs args) { DeliverToListeners(event, args); }

void TSwNotifyingHash::DeliverToListeners(std::u16string_view event, TSwArgs args, bool (*stop)(TSwArgs)) {
  if (!mCallbacks) return;
  for (const TSwListener& listener : mCallbacks->Listeners(WideString(event))) {
    if (listener(this, event, args)) return;
    if (stop && stop(args)) return;
  }
}

std::string TSwNotifyingHash::Description() const {
  std::string out = TSwHash::Description();
  if (mCallbacks) out += "\nlisteners: " + mCallbacks->Description();
  return out;
}

// ---------------------------------------------------------------------------------------------

bool TSwThinHash::HandlesEvent(std::u16string_view event) const {
  return event == u"thn" || TSwNotifyingHash::HandlesEvent(event);
}

void TSwThinHash::Deliver(std::u16string_view event, TSwArgs args) {
  if (event != u"thn") {
    TSwNotifyingHash::Deliver(event, args);
    return;
  }
  if (!HasListeners(event)) return;
  for (const TSwListener& listener : Callbacks().Listeners(WideString(event))) {
    listener(this, event, args);
    if (ThinResultFilled(args)) return;
  }
}

bool TSwThinHash::ThinResultFilled(TSwArgs) const { return false; }

}  // namespace skeinwork
