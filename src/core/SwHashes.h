// SwHashes: the library's keyed collections.
//
// TSwHash is an ordered multimap from wide-string keys to a value text and an owned object.
// TSwNotifyingHash reports every change as a named event ("ord", "ad", "rm", "skey", "sval",
// "sobj") to the listeners of its TSwCallbacks; TSwThinHash can also ask its listeners ("thn")
// for entries it does not store. Property bags, the children of tree nodes and the function
// registry are built on these classes.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <unordered_map>
#include <vector>

#include "SwCore.h"

namespace skeinwork {

SW_EXCEPTION(ESwHash, ESkeinwork);
SW_EXCEPTION(ESwHashBadKey, ESwHash);
SW_EXCEPTION(ESwHashAlienFindState, ESwHash);
SW_EXCEPTION(ESwHashChangedBetweenFind, ESwHash);
SW_EXCEPTION(ESwHashTooManyCallbacks, ESwHash);
SW_EXCEPTION(ESwHashBadEventToFire, ESwHash);

class TSwHash;

// An interned, immutable wide text: equal texts share one copy for the life of the process, so
// keys, node names and property names cost one pointer each and compare by address.
class TSwName {
 public:
  TSwName() : mText(EmptyText()) {}
  TSwName(std::u16string_view text);  // NOLINT: interning is the point of the conversion
  TSwName(const WideString& text) : TSwName(std::u16string_view(text)) {}
  TSwName(const char16_t* text) : TSwName(std::u16string_view(text)) {}
  // The interned copy of `text` if one exists, without creating it; null otherwise.
  static const WideString* Lookup(std::u16string_view text);
  // The name whose Id() is `id` (an Id() of an existing name).
  static TSwName FromId(const WideString* id) {
    TSwName name;
    name.mText = id;
    return name;
  }

  const WideString& Text() const { return *mText; }
  operator const WideString&() const { return *mText; }
  const WideString* Id() const { return mText; }
  bool operator==(const TSwName& other) const { return mText == other.mText; }

 private:
  static const WideString* EmptyText();
  const WideString* mText;
};


// The state of a FindFirst/FindNext walk over the items of one key.
struct TSwHashFind {
  const TSwHash* Owner = nullptr;
  WideString Key;
  const WideString* KeyId = nullptr;  // the interned key, null when no item can have it
  int Next = -1;       // index of the next candidate, -1 when exhausted
  uint32_t Sequence = 0;  // the map's modification number when the walk started
};

// A change to a map's content, handed to TSwHash::Changed.
struct TSwHashChange {
  enum TKind { Reordered, Added, Removing, KeyChanged, ValueChanged, ObjectChanged };
  TKind Kind;
  int Index = -1;          // the item concerned (-1 for a whole-map reorder)
  int OldIndex = -1;       // Reordered: where the item was
  const WideString* Key = nullptr;  // the item's key (the old key for KeyChanged)
  const WideString* NewKey = nullptr;
  const WideString* OldValue = nullptr;
  const WideString* NewValue = nullptr;
  TSwObject* OldObject = nullptr;
  TSwObject* NewObject = nullptr;
};

// Ordered multimap; owns the objects of its items. The key "*" means every item in Count, Has,
// FindFirst and DeleteAll. Keys compare exactly and must not contain U+0001.
class TSwHash : public TSwObject {
 public:
  static constexpr char16_t Separator = u'\x01';
  static constexpr const char16_t* AllKeys = u"*";

  // A sorted map keeps its items in key order; with replaceExisting, adding a present key puts
  // the new object in place of the old one instead of adding a second item.
  explicit TSwHash(bool sorted = false, bool replaceExisting = false);
  ~TSwHash() override;

  // Whether `key` may be a key: a caller that adds one name again and again checks it once.
  static bool IsValidKey(std::u16string_view key) { return key.find(Separator) == std::u16string_view::npos; }

  int Add(TSwName key, const WideString& value = {}, std::unique_ptr<TSwObject> object = {});
  void Insert(int index, TSwName key, const WideString& value = {}, std::unique_ptr<TSwObject> object = {});

  int Count() const { return static_cast<int>(mItems.size()); }
  int Count(const WideString& key) const;
  bool Has(const WideString& key) const;
  int IndexOf(const WideString& key) const;  // first item with the key, or -1
  // The item that has `n` items of the same key before it, or -1; "*" counts every item.
  int NthIndexOf(const WideString& key, int n) const;
  int LastIndexOf(const WideString& key) const;  // last item with the key, or -1
  // The same for a key the caller has interned already, which spares the look-up.
  int NthIndexOfName(TSwName key, int n) const;
  int LastIndexOfName(TSwName key) const;

  TSwHashFind FindFirst(const WideString& key) const;
  int FindNext(TSwHashFind& state) const;
  TSwObject* FindNextObject(TSwHashFind& state) const;

  bool DeleteAll(const WideString& key);
  void Delete(int index);
  // Removes the item without freeing its object, which the caller then owns.
  std::unique_ptr<TSwObject> Extract(int index);

  const WideString& Key(int index) const { return At(index).Key.Text(); }
  TSwName KeyName(int index) const { return At(index).Key; }
  const WideString& Value(int index) const;
  TSwObject* Object(int index) const { return At(index).Object(); }
  void SetKey(int index, TSwName key);
  void SetValue(int index, const WideString& value);
  // Replaces the item's object; the old one is freed after listeners have seen it.
  void SetObject(int index, std::unique_ptr<TSwObject> object);
  void Move(int from, int to);
  void Sort();  // stable sort by key; fires "ord" with -1, -1
  // Gives back the room kept for items to come (and the key index, made again on demand), for
  // a map that is likely complete.
  void ShrinkToFit();
  // ShrinkToFit when more than an eighth of the room is unused: less costs less than copying
  // every list of a large tree once more.
  void ShrinkIfWasteful();

  // Value and object of the first item with the key; false when there is none.
  bool Get(const WideString& key, WideString* value, TSwObject** object) const;

  bool Sorted() const { return mSorted; }
  uint32_t Sequence() const { return mSequence; }

  std::string Description() const override;
  virtual std::string DumpItem(int index) const;

 protected:
  // Called for every change: Removing before the item goes, the others after the change.
  virtual void Changed(const TSwHashChange& change);
  // Tells a subclass that the object leaves the map (deleted, extracted or replaced).
  virtual void Releasing(TSwObject* object) { (void)object; }
  // Empties the map, announcing each item ("rm") in order before freeing it.
  void Clear();
  // Appends an item under a valid key (IsValidKey) without calling Changed, for a subclass that
  // knows nobody would hear of it; Find walks still see the map changed.
  void AppendUnheard(TSwName key, std::unique_ptr<TSwObject> object) {
    if (mSorted || mKeyIndex || mItems.size() == mItems.capacity()) {
      AppendUnheardSlowly(key, std::move(object));
      return;
    }
    mItems.emplace_back(key, object.release());
    ++mSequence;
  }

 private:
  // An item in 16 bytes, as a tree's children map holds one per node: the key and the owned
  // object's address or, when the item has a value text (rare), a tagged pointer to a box that
  // holds both.
  class TItem {
   public:
    TItem(TSwName key, const WideString& value, std::unique_ptr<TSwObject> object);
    // An item without a value text, owning `object`.
    TItem(TSwName key, TSwObject* object) : Key(key), mWord(reinterpret_cast<uintptr_t>(object)) {}
    TItem(TItem&& other) noexcept : Key(other.Key), mWord(std::exchange(other.mWord, 0)) {}
    TItem& operator=(TItem&& other) noexcept;
    ~TItem() {
      if (mWord) Free();  // moved-from items, as a list's regrowth leaves them, hold nothing
    }

    const WideString* Value() const;  // null for the common empty value
    TSwObject* Object() const;
    std::unique_ptr<TSwObject> TakeObject();
    void PutObject(std::unique_ptr<TSwObject> object);  // only once the old one was taken
    void PutValue(const WideString& value);

    TSwName Key;

   private:
    struct TBoxed;
    TBoxed* Boxed() const;
    void Free();
    uintptr_t mWord = 0;
  };
  const TItem& At(int index) const;
  void CheckKey(const WideString& key) const;
  int SortedLowerBound(const WideString& key) const;
  int InsertItem(int index, TSwName key, const WideString& value, std::unique_ptr<TSwObject> object);
  void RemoveItem(int index, bool freeObject, std::unique_ptr<TSwObject>* taken);
  const std::vector<int>* KeyIndices(const WideString* keyId) const;
  void IndexAppended(int index);
  void AppendUnheardSlowly(TSwName key, std::unique_ptr<TSwObject> object);
  void DropIndex() { mKeyIndex.reset(); }

  std::vector<TItem> mItems;
  // For large unsorted maps only: key -> ascending item indices. Rebuilt on demand after a
  // change that shifts indices, so look-ups never scan the whole map.
  mutable std::unique_ptr<std::unordered_map<const WideString*, std::vector<int>>> mKeyIndex;
  uint32_t mSequence = 0;
  bool mSorted;
  bool mReplaceExisting;
};

// A name that TSwHash::IsValidKey accepted: a caller that adds it again and again keeps it in
// this form, and its text is not looked at again.
class TSwValidKey {
 public:
  // The name as a key; nothing when it cannot be one.
  static std::optional<TSwValidKey> Of(TSwName name) {
    if (!TSwHash::IsValidKey(name.Text())) return std::nullopt;
    return TSwValidKey(name);
  }
  TSwName Name() const { return mName; }

 private:
  explicit TSwValidKey(TSwName name) : mName(name) {}
  TSwName mName;
};

// A listener: receives the sender, the event name and its arguments; true stops the delivery
// to later listeners.
using TSwListener = TMethod<bool(TSwObject* sender, std::u16string_view event, TSwArgs args)>;

// Event name -> listeners, in subscription order.
class TSwCallbacks : public TSwHash {
 public:
  static constexpr int MaxListeners = 2048;

  void Subscribe(const WideString& event, TSwListener listener);
  // With event "*" the listener leaves every event.
  bool Unsubscribe(const WideString& event, TSwListener listener);
  std::vector<TSwListener> Listeners(const WideString& event) const;
  std::string DumpItem(int index) const override;
};

// A multimap that fires its changes as events to its own listeners.
class TSwNotifyingHash : public TSwHash {
 public:
  using TSwHash::TSwHash;

  TSwCallbacks& Callbacks();  // created on first use
  bool HasListeners(std::u16string_view event) const;
  // False while nobody has subscribed to any event: changes then reach no listener.
  bool MayHaveListeners() const { return mCallbacks != nullptr; }
  void Subscribe(const WideString& event, TSwListener listener) { Callbacks().Subscribe(event, listener); }
  bool Unsubscribe(const WideString& event, TSwListener listener);

  // Delivers an event to the listeners; a name this class does not handle raises.
  virtual void Fire(std::u16string_view event, TSwArgs args);
  std::string Description() const override;

 protected:
  void Changed(const TSwHashChange& change) override;
  // Whether a change must be turned into an event at all (someone listens to it).
  virtual bool WantsEvent(std::u16string_view event, const TSwHashChange& change) const;
  virtual bool HandlesEvent(std::u16string_view event) const;
  // Calls the listeners in order until one returns true.
  virtual void Deliver(std::u16string_view event, TSwArgs args);
  void DeliverToListeners(std::u16string_view event, TSwArgs args, bool (*stop)(TSwArgs) = nullptr);

 private:
  std::unique_ptr<TSwCallbacks> mCallbacks;  // owned, created on first use
};

// A notifying map whose look-up asks the "thn" listeners for keys it does not store.
class TSwThinHash : public TSwNotifyingHash {
 public:
  using TSwNotifyingHash::TSwNotifyingHash;

 protected:
  bool HandlesEvent(std::u16string_view event) const override;
  void Deliver(std::u16string_view event, TSwArgs args) override;
  // Whether the "thn" result (argument 1, a pointer) has been filled by a listener.
  virtual bool ThinResultFilled(TSwArgs args) const;
};

}  // namespace skeinwork
