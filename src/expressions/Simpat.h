// Simpat: simple patterns, the small byte-oriented pattern language of the "%" condition and of
// the expression function "cmp_pat".
//
// A pattern such as «SP* ID+», «[^"]+» or «SP+|EOF» is a list of alternatives; each alternative is
// a list of items (literal strings, byte classes, and repeat markers that govern the item after
// them). Matching is linear: items left to right, greedy repeats that never give back, and
// alternatives tried in their written order with no longest-match rule.
//
// Start from SimpatMatch (a TStream: the position ends just after the match, or where it was on
// failure) or SimpatMatchBytes (an in-memory byte string: gives the consumed length). Both compile
// the pattern text through a process-wide cache, so each distinct text is parsed once. A caller
// that matches one pattern many times may keep a TSimpatPattern and call its Match directly.
#pragma once

#include "SwCore.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace skeinwork {

class TLinearSimpat;
class TSimpatPattern;

// ---------------------------------------------------------------------------------------------
// Errors.

SW_EXCEPTION(ESimpat, ESkeinwork);
SW_EXCEPTION(ESimpatHasEmptyChoice, ESimpat);
SW_EXCEPTION(ESimpatTooLong, ESimpat);

// Errors of class registration; they name the class table that refused the class.
class ESimpatCharClassError : public ESimpat {
 public:
  using ESimpat::ESimpat;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override {
    return std::make_unique<ESimpatCharClassError>(*this);
  }
  // The table that raised the error; not owned, valid while that table lives.
  const TSwObject* Source = nullptr;
};
SW_EXCEPTION(ESimpatBadCharClass, ESimpatCharClassError);
SW_EXCEPTION(ESimpatEmptyCharClass, ESimpatCharClassError);

// ---------------------------------------------------------------------------------------------
// The input of a match: a window of bytes with a cursor. Over a TStream it reads ahead in growing
// chunks from the stream's position, so items never call the stream byte by byte; over memory it
// is the bytes themselves. Positions are offsets from where the match started.

class TSimpatInput {
 public:
  // Bytes in memory; the end of `data` is the end of input.
  explicit TSimpatInput(std::string_view data);
  // A stream from its current position on; the stream is at end when its position reaches its
  // size. The stream is read ahead, so call Finish to leave it at the cursor.
  explicit TSimpatInput(TStream& stream);

  int64_t Pos() const { return mPos; }
  void SetPos(int64_t pos) { mPos = pos; }
  bool AtEnd() { return mPos >= mLength && !Fill(mPos + 1); }
  // Reads one byte into `byte`; false at the end of input.
  bool ReadByte(uint8_t& byte) {
    if (mPos >= mLength && !Fill(mPos + 1)) return false;
    byte = mData[mPos++];
    return true;
  }
  // Whether the input continues with `bytes`: true moves the cursor past them; false leaves the
  // cursor where it was. Empty bytes never match (an empty newline string matches nothing).
  bool Expect(std::string_view bytes);
  // Bytes from the cursor that are already available without reading the stream.
  std::string_view Available() const {
    return {reinterpret_cast<const char*>(mData) + mPos, static_cast<size_t>(mLength - mPos)};
  }
  // Makes at least `count` bytes past the cursor available, if the input holds them; false if
  // the input ends before.
  bool Ensure(int64_t count) { return mPos + count <= mLength || Fill(mPos + count); }
  void Skip(int64_t count) { mPos += count; }

  // Over a stream: seeks it to the match start plus the cursor. Over memory: nothing.
  void Finish();

 private:
  bool Fill(int64_t wanted);

  const uint8_t* mData = nullptr;
  int64_t mLength = 0;  // bytes available in mData
  int64_t mPos = 0;
  TStream* mStream = nullptr;
  int64_t mStreamStart = 0;
  bool mStreamEnded = false;
  bool mInBuffer = false;  // the read-ahead outgrew mInline and moved to mBuffer
  bool mMemoryAsked = false;
  const uint8_t* mMemory = nullptr;  // the stream's own memory from mStreamStart to its end
  int64_t mMemoryLength = 0;
  // Read-ahead of the stream from mStreamStart on: the first bytes in place, more on the heap.
  std::array<uint8_t, 256> mInline;
  std::vector<uint8_t> mBuffer;
};

// The record handed to every item while matching.
struct TSimpatContext {
  TSimpatInput* Input = nullptr;
  std::string_view Eoln;  // newline bytes for NL and EOLN; empty matches nothing
  const TSimpatPattern* Pattern = nullptr;
  const TLinearSimpat* Linear = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Items.

class TSimpatItem : public TSwObject {
 public:
  // Tries the item at the cursor: true leaves the cursor after what it consumed; after false the
  // cursor is undefined and the caller restores it.
  virtual bool Match(TSimpatContext& context) const = 0;
  // True when a repeat over this item must stop because the item just matched the end of input
  // without consuming.
  virtual bool StopsAtEnd(TSimpatContext& context, int64_t count) const;
};

// A literal byte string of at least one byte; case-sensitive.
class TSimpatStr : public TSimpatItem {
 public:
  explicit TSimpatStr(std::string bytes) : mBytes(std::move(bytes)) {}
  bool Match(TSimpatContext& context) const override;
  const std::string& Bytes() const { return mBytes; }
  void Append(std::string_view bytes) { mBytes += bytes; }

 private:
  std::string mBytes;
};

// A byte class: 256 membership flags plus the newline, end-of-input, negation and every-byte
// flags.
class TSimpatRangeBytes {
 public:
  bool Negated = false;
  bool Eoln = false;  // also matches the newline string
  bool Eof = false;   // also matches the end of input

  bool Has(uint8_t byte) const { return mMembers[byte]; }
  // Setting a byte to false clears Any; Any is set only by filling every byte with true.
  void Set(uint8_t byte, bool member);
  void SetRange(uint8_t low, uint8_t high);  // every byte from low to high, if low <= high
  void Fill(bool member);
  void Unite(const TSimpatRangeBytes& other);  // members and the Eoln/Eof/Any flags
  bool Any() const { return mAny; }
  int MemberCount() const;
  // Matches something at all: a member, or Eoln, Eof or Any.
  bool MatchesSomething() const { return Eoln || Eof || mAny || MemberCount() > 0; }

 private:
  std::array<bool, 256> mMembers{};
  bool mAny = false;
};

// One byte out of a class (or the newline string, or the end of input, by the class's flags).
class TSimpatRange : public TSimpatItem {
 public:
  explicit TSimpatRange(const TSimpatRangeBytes& bytes) : mBytes(bytes) {}
  bool Match(TSimpatContext& context) const override;
  bool StopsAtEnd(TSimpatContext& context, int64_t count) const override;
  const TSimpatRangeBytes& Bytes() const { return mBytes; }

 private:
  TSimpatRangeBytes mBytes;  // owned copy
};

// A repeat marker that governs the item right after it; its own Match is never used.
class TSimpatRepeat : public TSimpatItem {
 public:
  bool Match(TSimpatContext& context) const override;
  virtual bool CanRepeatMore(int64_t count) const;
  virtual bool IsEnough(int64_t count) const = 0;
};

class TSimpatRepeatAny : public TSimpatRepeat {  // *
 public:
  bool IsEnough(int64_t) const override { return true; }
};

class TSimpatRepeatOneOrMore : public TSimpatRepeat {  // +
 public:
  bool IsEnough(int64_t count) const override { return count >= 1; }
};

class TSimpatRepeatOneOrNone : public TSimpatRepeat {  // ?
 public:
  bool CanRepeatMore(int64_t count) const override { return count == 0; }
  bool IsEnough(int64_t) const override { return true; }
};

// ---------------------------------------------------------------------------------------------
// Named character classes.

class TSimpatClassTable : public TSwObject {
 public:
  // Adds a class under the upper-cased name. A name with a character outside 0-9 and A-Z raises
  // ESimpatBadCharClass; a class that matches nothing raises ESimpatEmptyCharClass.
  void Register(std::string_view name, const TSimpatRangeBytes& bytes);
  const TSimpatRangeBytes* Find(std::string_view name) const;
  int Count() const { return static_cast<int>(mClasses.size()); }

  // The process-wide table of the built-in classes ANY SP CR LF CTL DIG LAT HEX ID.
  static const TSimpatClassTable& BuiltIn();

 private:
  std::vector<std::pair<std::string, TSimpatRangeBytes>> mClasses;  // in registration order
};

// ---------------------------------------------------------------------------------------------
// Alternatives and patterns.

// A compiled item list in matching order; owns its items. Items are immutable while matching, so
// one list serves every thread.
class TSimpatItems {
 public:
  void Add(std::unique_ptr<TSimpatItem> item);
  size_t Count() const { return mItems.size(); }
  const TSimpatItem& Item(size_t index) const { return *mItems[index].mItem; }
  // The item as a repeat marker, or null.
  const TSimpatRepeat* AsRepeat(size_t index) const { return mItems[index].mRepeat; }

 private:
  friend class TLinearSimpat;
  struct TEntry {
    std::unique_ptr<TSimpatItem> mItem;
    const TSimpatRepeat* mRepeat;       // the item as a repeat marker, or null
    const TSimpatRangeBytes* mRange;    // the bytes of an exact TSimpatRange: matched inline
    const TSimpatRangeBytes* mPlain;    // the same without Eoln/Eof: scanned without calls
    int8_t mRepeatKind;                 // 0 other, 1 TSimpatRepeatAny, 2 TSimpatRepeatOneOrMore
  };
  std::vector<TEntry> mItems;
};

// Parses one trimmed, non-empty alternative against a class table (no cache).
std::shared_ptr<const TSimpatItems> ParseSimpatAlternative(std::string_view text,
                                                           const TSimpatClassTable& classes);

// One alternative: its items (shared with the process-wide cache, not owned) and its class table.
class TLinearSimpat : public TSwObject {
 public:
  TLinearSimpat(std::shared_ptr<const TSimpatItems> items, const TSimpatClassTable& classes)
      : mItems(std::move(items)), mClasses(&classes) {}
  // Matches the items at the cursor of context.Input; on false the cursor is undefined. With
  // `leadRun`, it gets the bytes taken by a leading "*" or "+" over a plain class (else 0).
  bool Match(TSimpatContext& context, int64_t* leadRun = nullptr) const;
  const TSimpatItems& Items() const { return *mItems; }
  const TSimpatClassTable& Classes() const { return *mClasses; }

 private:
  std::shared_ptr<const TSimpatItems> mItems;
  const TSimpatClassTable* mClasses;
};

// One whole pattern: its text and its alternatives; a null alternative is the empty last choice,
// which matches without consuming. Construction goes through the process-wide cache and raises
// ESimpatHasEmptyChoice for an empty choice before the last.
class TSimpatPattern : public TSwObject {
 public:
  // A pattern can come from the data ("cmp_pat" of a value read from the input), so its length
  // is bounded: a longer text raises ESimpatTooLong before it is parsed.
  static constexpr int64_t MaxLength = 65536;
  // Distinct texts, and bytes of text, that the caches keep; the next text empties them, so
  // that patterns made from the data cannot grow them without end.
  static constexpr size_t CacheLimit = 4096;
  static constexpr size_t CacheBytesLimit = 1048576;

  explicit TSimpatPattern(std::string_view text);

  // Matches at the stream's position: true leaves the stream after the match, false where it was.
  // On false, `failsAhead` (when given) gets a count k of bytes such that a match starting
  // anywhere in the next k bytes fails as well: every alternative begins with a greedy repeat
  // over a plain class, which from any of those starts ends where it ended here, and the rest of
  // the alternative then fails as it did. A caller that scans for the pattern byte by byte skips
  // those tests, which keeps a scan for a pattern such as «ANY* Z» linear.
  bool Match(TStream& stream, std::string_view eoln, int64_t* failsAhead = nullptr) const;
  // The same where the caller knows the stream's position.
  bool MatchAt(TStream& stream, int64_t position, std::string_view eoln, int64_t* failsAhead = nullptr) const;
  // Matches at the start of `data`: the consumed length, or -1.
  int64_t Match(std::string_view data, std::string_view eoln) const;
  // Matches at the input's cursor: true leaves the cursor after the match, false where it was.
  bool Match(TSimpatInput& input, std::string_view eoln, int64_t* failsAhead = nullptr) const;

  const std::string& Text() const;
  const std::vector<std::unique_ptr<TLinearSimpat>>& Alternatives() const;
  // The bytes every match starts with, where each alternative takes at least one byte from a
  // plain class first; null otherwise. A caller holding the input's bytes can fail a match at a
  // byte outside them, or at the end of the input, without trying it (nothing in the stream moves).
  const std::array<bool, 256>* FirstBytes() const;

 private:
  friend bool SimpatMatch(std::string_view, TStream&, std::string_view);
  friend int64_t SimpatMatchBytes(std::string_view, std::string_view, std::string_view);
  struct TCompiled;
  explicit TSimpatPattern(std::shared_ptr<const TCompiled> compiled);
  // Matches by reading the stream from its position, where its memory does not decide.
  [[gnu::noinline]] bool MatchByReads(TStream& stream, std::string_view eoln, int64_t* failsAhead) const;
  // Makes the pattern's single-byte steps, when it has them.
  static void PlanByteSteps(TCompiled& compiled);
  // The compiled pattern with a share of its own.
  static std::shared_ptr<const TCompiled> Compile(std::string_view text);
  // The compiled pattern from this thread's copy of the cache, without a share: valid until the
  // thread's next Borrow.
  static std::shared_ptr<const TCompiled> Borrow(std::string_view text);

  std::shared_ptr<const TCompiled> mCompiled;  // shared with the process-wide cache
};

// Splits a pattern text into trimmed alternatives ("||" is one literal "|"); an empty string
// stands for the empty last choice. Raises ESimpatHasEmptyChoice.
std::vector<std::string> SplitSimpatAlternatives(std::string_view text);

// Matches `pattern` at the stream's position; see TSimpatPattern::Match.
bool SimpatMatch(std::string_view pattern, TStream& stream, std::string_view eoln);
// Matches `pattern` at the start of `data`: the consumed length, or -1 when it does not match.
int64_t SimpatMatchBytes(std::string_view pattern, std::string_view data, std::string_view eoln);

// Number of distinct alternative texts parsed so far by the process-wide cache (for tests and
// diagnostics: a text is parsed once, unless the cache filled up and started over).
int64_t SimpatParseCount();

}  // namespace skeinwork
