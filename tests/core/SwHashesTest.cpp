#include "SwHashes.h"

#include <gtest/gtest.h>

#include "SwTestSupport.h"

#include <string>
#include <vector>

namespace skeinwork {
namespace {

// Counts live instances, so tests can see that maps free what they own.
class TCounted : public TSwObject {
 public:
  explicit TCounted(int* live) : mLive(live) { ++*mLive; }
  ~TCounted() override { --*mLive; }

 private:
  int* mLive;
};

std::vector<int> Indices(const TSwHash& map, const WideString& key) {
  std::vector<int> out;
  TSwHashFind state = map.FindFirst(key);
  for (int i = map.FindNext(state); i >= 0; i = map.FindNext(state)) out.push_back(i);
  return out;
}

TEST(Hash, RefusesBadKeysAndStaleOrAlienFindStates) {
  TSwHash map;
  map.Add(u"a=b");
  map.Add(u"");
  ExpectError<ESwHashBadKey>([&] { map.Add(u"x\x01y"); },
                             "Attempted to add bad key 'x\x01y' to TSwHash (contains prohibited symbol $01).");
  EXPECT_THROW(map.Insert(0, u"\x01"), ESwHashBadKey);
  EXPECT_EQ(map.Count(), 2);
  TSwHash found, other;
  found.Add(u"a");
  found.Add(u"a");
  TSwHashFind state = found.FindFirst(u"a");
  EXPECT_EQ(found.FindNext(state), 0);
  found.Add(u"z");
  ExpectError<ESwHashChangedBetweenFind>([&] { found.FindNext(state); },
                                         "TSwHash has been modified between Find/Next calls (first seq 2, now 3).");
  TSwHashFind fresh = found.FindFirst(u"a");
  ExpectError<ESwHashAlienFindState>([&] { other.FindNext(fresh); }, "TSwHash was given Find state of another object.");
}

// The same look-ups over a small map (scanned) and a large one (indexed) must agree.
TEST(Hash, CountHasAndFindWithStarAndKeys) {
  for (int filler : {0, 40}) {
    SCOPED_TRACE(filler);
    TSwHash map;
    for (int i = 0; i < filler; ++i) map.Add(u"f" + Utf8ToWide(std::to_string(i)));
    map.Add(u"a");
    map.Add(u"b");
    map.Add(u"a");
    struct Row { const char16_t* key; int count; bool has; std::vector<int> found; };  // found: relative to the filler
    const Row rows[] = {{u"a", 2, true, {0, 2}}, {u"b", 1, true, {1}}, {u"c", 0, false, {}}};
    for (const Row& row : rows) {
      EXPECT_EQ(map.Count(row.key), row.count);
      EXPECT_EQ(map.Has(row.key), row.has);
      std::vector<int> expected;
      for (int i : row.found) expected.push_back(i + filler);
      EXPECT_EQ(Indices(map, row.key), expected);
    }
    EXPECT_EQ(map.Count(u"*"), filler + 3);
    EXPECT_EQ(static_cast<int>(Indices(map, u"*").size()), filler + 3);
    EXPECT_EQ(map.NthIndexOf(u"a", 1), filler + 2);
    EXPECT_EQ(map.NthIndexOf(u"a", 2), -1);
    EXPECT_EQ(map.NthIndexOf(u"zz", 0), -1);
    EXPECT_EQ(map.LastIndexOf(u"a"), filler + 2);
    EXPECT_EQ(map.LastIndexOf(u"*"), filler + 2);
    EXPECT_EQ(map.LastIndexOf(u"c"), -1);
    // The interned-key forms agree with the text forms.
    for (const char16_t* key : {u"a", u"b", u"*", u"never used as a key"}) {
      SCOPED_TRACE(WideToUtf8(key));
      EXPECT_EQ(map.LastIndexOfName(key), map.LastIndexOf(key));
      for (int n = -1; n < 4; ++n) EXPECT_EQ(map.NthIndexOfName(key, n), map.NthIndexOf(key, n));
    }
    map.Insert(filler, u"b");  // shifts the others
    EXPECT_EQ(Indices(map, u"a"), (std::vector<int>{filler + 1, filler + 3}));
    map.Delete(filler + 1);
    EXPECT_EQ(Indices(map, u"a"), (std::vector<int>{filler + 2}));
    EXPECT_TRUE(map.DeleteAll(u"b"));
    EXPECT_FALSE(map.DeleteAll(u"b"));
    EXPECT_EQ(map.Count(u"*"), filler + 1);
    EXPECT_TRUE(map.DeleteAll(u"*"));
    EXPECT_FALSE(map.Has(u"*"));
  }
}

TEST(Hash, OwnedObjectsAreFreed) {
  int live = 0;
  {
    TSwHash map;
    for (int i = 0; i < 5; ++i) map.Add(u"k", {}, std::make_unique<TCounted>(&live));
    EXPECT_EQ(live, 5);
    map.Delete(0);
    EXPECT_EQ(live, 4);
    map.SetObject(0, std::make_unique<TCounted>(&live));
    EXPECT_EQ(live, 4);
    auto taken = map.Extract(0);
    EXPECT_EQ(live, 4);
    EXPECT_EQ(map.Count(), 3);
  }
  EXPECT_EQ(live, 0);
}

// A sorted map keeps its keys in order, equal ones in the order added, and counts the n-th of a
// key among the equal ones; a map of unique keys replaces.
TEST(Hash, SortedMapsKeepKeyOrderAndCanReplace) {
  TSwHash sorted(true, false);
  for (const char16_t* key : {u"m", u"c", u"m", u"a", u"m", u"z"}) sorted.Add(key);
  EXPECT_EQ(sorted.Key(0), u"a");
  EXPECT_EQ(sorted.Key(5), u"z");
  struct TCase { const char16_t* Key; int N; int Expected; };
  const TCase cases[] = {{u"a", 0, 0}, {u"a", 1, -1}, {u"m", 0, 2}, {u"m", 2, 4}, {u"m", 3, -1},
                         {u"z", 0, 5}, {u"b", 0, -1}, {u"*", 5, 5}, {u"*", 6, -1}};
  for (const TCase& c : cases) {
    EXPECT_EQ(sorted.NthIndexOfName(c.Key, c.N), c.Expected) << WideToUtf8(c.Key) + " " + std::to_string(c.N);
    EXPECT_EQ(sorted.NthIndexOf(c.Key, c.N), c.Expected) << WideToUtf8(c.Key) + " " + std::to_string(c.N);
  }
  EXPECT_EQ(Indices(sorted, u"m"), (std::vector<int>{2, 3, 4}));

  int live = 0;
  TSwHash unique(true, true);
  unique.Add(u"b", {}, std::make_unique<TCounted>(&live));
  unique.Add(u"a", {}, std::make_unique<TCounted>(&live));
  unique.Add(u"b", {}, std::make_unique<TCounted>(&live));
  EXPECT_EQ(unique.Count(), 2);
  EXPECT_EQ(live, 2);
}

struct TEventLog {
  std::vector<std::string> Lines;
  bool StopAt = false;

  static std::string ArgText(const TSwVarRec& a) {
    switch (a.Tag) {
      case TSwVarTag::Integer: return std::to_string(a.Int);
      case TSwVarTag::Boolean: return a.Bool ? "true" : "false";
      case TSwVarTag::WideString: return WideToUtf8(a.Text);
      case TSwVarTag::Object: return a.Object ? a.Object->ClassName() : "nil";
      case TSwVarTag::Pointer: return "ptr";
    }
    return "?";
  }
  bool Hear(TSwObject*, std::u16string_view event, TSwArgs args) {
    std::string line = WideToUtf8(event);
    for (const TSwVarRec& a : args) line += " " + ArgText(a);
    Lines.push_back(line);
    return StopAt;
  }
  TSwListener Listener() { return TSwListener::Of<&TEventLog::Hear>(this); }
};

TEST(NotifyingHash, EventsCarryTheirArguments) {
  int live = 0;
  TSwNotifyingHash map;
  TEventLog log;
  for (const char16_t* event : {u"ord", u"ad", u"rm", u"skey", u"sval", u"sobj"}) map.Subscribe(event, log.Listener());
  map.Add(u"a", u"1");
  map.Add(u"b", {}, std::make_unique<TCounted>(&live));
  map.SetKey(0, u"c");
  map.SetValue(0, u"2");
  map.SetObject(1, std::make_unique<TCounted>(&live));
  map.Move(1, 0);
  map.Sort();
  map.Delete(0);
  map.DeleteAll(u"*");
  const std::vector<std::string> expected = {
      "ad a false 0", "ad b false 1", "skey a c 0", "sval c 1 2 0", "sobj b TCounted TCounted 1",
      "ord 1 0",      "ord -1 -1",    "rm b true 0", "rm c true 0",
  };
  EXPECT_EQ(log.Lines, expected);
  EXPECT_EQ(live, 0);
}

TEST(NotifyingHash, ListenersStopDeliveryAndSubscribeOnce) {
  TSwNotifyingHash map;
  TEventLog first, second;
  map.Subscribe(u"ad", second.Listener());
  map.Subscribe(u"ad", first.Listener());
  map.Subscribe(u"ad", second.Listener());  // moves to the end
  EXPECT_EQ(map.Callbacks().Listeners(u"ad").size(), 2u);
  first.StopAt = true;
  map.Add(u"x");
  EXPECT_EQ(first.Lines.size(), 1u);
  EXPECT_TRUE(second.Lines.empty());
  first.StopAt = false;
  map.Add(u"y");
  EXPECT_EQ(second.Lines, std::vector<std::string>{"ad y false 1"});
  EXPECT_TRUE(map.Unsubscribe(u"*", first.Listener()));
  EXPECT_FALSE(map.Unsubscribe(u"ad", first.Listener()));
}

TEST(NotifyingHash, BadEventsAndListenerLimit) {
  TSwNotifyingHash map;
  const TSwVarRec args[] = {TSwVarRec::OfInt(1)};
  ExpectError<ESwHashBadEventToFire>([&] { map.Fire(u"boom", args); },
                                     "TSwNotifyingHash.Fire cannot handle event 'boom' (received 1 arguments).");
  ExpectError<ESwHashBadEventToFire>([&] {
    TSwThinHash thin;
    thin.Fire(u"sp", args);
  }, "TSwThinHash.Fire cannot handle event 'sp' (received 1 arguments).");

  std::vector<TEventLog> logs(TSwCallbacks::MaxListeners + 1);
  for (int i = 0; i < TSwCallbacks::MaxListeners; ++i) map.Subscribe(u"ad", logs[i].Listener());
  map.Add(u"fine");
  map.Subscribe(u"ad", logs.back().Listener());
  ExpectError<ESwHashTooManyCallbacks>([&] { map.Add(u"x"); },
                                       "Too many listeners (2048 max) subscribed for 'ad' event on TSwCallbacks.");
}

}  // namespace
}  // namespace skeinwork
