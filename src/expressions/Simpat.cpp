#include "Simpat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <typeinfo>
#include <unordered_map>

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// TSimpatInput

TSimpatInput::TSimpatInput(std::string_view data)
    : mData(reinterpret_cast<const uint8_t*>(data.data())),
      mLength(static_cast<int64_t>(data.size())) {}

TSimpatInput::TSimpatInput(TStream& stream) : mStream(&stream), mStreamStart(stream.Position()) {}

namespace {

// The read-ahead grows by doubling chunks from 256 bytes up to 64 KiB: the length it reaches
// next after `length` bytes. The first chunk is not counted as work.
constexpr int64_t NextReadAhead(int64_t length) { return length + std::clamp<int64_t>(length, 256, 65536); }
}  // namespace

bool TSimpatInput::Fill(int64_t wanted) {
  if (!mStream || mStreamEnded) return false;
  if (!mMemoryAsked) {
    // A stream that holds the rest of its bytes in memory is read where they lie.
    mMemoryAsked = true;
    int64_t available = 0;
    const uint8_t* memory = mStream->MemoryAt(mStreamStart, available);
    if (memory && available == mStream->Size() - mStreamStart) {
      mMemory = memory;
      mMemoryLength = available;
    }
  }
  while (mLength < wanted) {
    // Read ahead in doubling chunks: most matches are short, a few run over long stretches.
    int64_t chunk = std::max(NextReadAhead(mLength), wanted) - mLength;
    const bool fitsInline = !mInBuffer && mLength + chunk <= static_cast<int64_t>(mInline.size());
    int64_t got;
    if (mMemory) {
      mInBuffer = !fitsInline;
      got = std::min(chunk, mMemoryLength - mLength);
    } else {
      uint8_t* target;
      if (fitsInline) {
        target = mInline.data() + mLength;
      } else {
        if (!mInBuffer) {
          mBuffer.assign(mInline.data(), mInline.data() + mLength);
          mInBuffer = true;
        }
        mBuffer.resize(static_cast<size_t>(mLength + chunk));
        target = mBuffer.data() + mLength;
      }
      got = mStream->Read(target, chunk);
    }
    // Long scans count as work (short ones stay in the inline buffer and cost nothing to count),
    // read from memory or not.
    if (mInBuffer && got > 0) TSwWorkMeter::Spend(got);
    if (got > 0) mLength += got;
    if (mInBuffer && !mMemory) mBuffer.resize(static_cast<size_t>(mLength));
    mData = mMemory ? mMemory : mInBuffer ? mBuffer.data() : mInline.data();
    if (got <= 0) {
      mStreamEnded = true;
      return false;
    }
  }
  return true;
}

bool TSimpatInput::Expect(std::string_view bytes) {
  int64_t count = static_cast<int64_t>(bytes.size());
  if (count == 0) return false;
  // Most tests fail on the first byte: decide those without a call.
  if (mPos < mLength && mData[mPos] != static_cast<uint8_t>(bytes[0])) return false;
  if (!Ensure(count)) return false;
  if (std::memcmp(mData + mPos, bytes.data(), bytes.size()) != 0) return false;
  mPos += count;
  return true;
}

void TSimpatInput::Finish() {
  if (mStream) mStream->Seek(mStreamStart + mPos, TSeekOrigin::Beginning);
}

// ---------------------------------------------------------------------------------------------
// Items

bool TSimpatItem::StopsAtEnd(TSimpatContext&, int64_t) const { return false; }

bool TSimpatStr::Match(TSimpatContext& context) const { return context.Input->Expect(mBytes); }

void TSimpatRangeBytes::Set(uint8_t byte, bool member) {
  mMembers[byte] = member;
  if (!member) mAny = false;
}

void TSimpatRangeBytes::SetRange(uint8_t low, uint8_t high) {
  for (int b = low; b <= high; ++b) mMembers[static_cast<size_t>(b)] = true;
}

void TSimpatRangeBytes::Fill(bool member) {
  mMembers.fill(member);
  mAny = member;
}

void TSimpatRangeBytes::Unite(const TSimpatRangeBytes& other) {
  for (size_t b = 0; b < 256; ++b) mMembers[b] = mMembers[b] || other.mMembers[b];
  Eoln = Eoln || other.Eoln;
  Eof = Eof || other.Eof;
  mAny = mAny || other.mAny;
}

int TSimpatRangeBytes::MemberCount() const {
  return static_cast<int>(std::count(mMembers.begin(), mMembers.end(), true));
}

namespace {

// One step of a class at the cursor; shared by TSimpatRange::Match and the inline repeat loop.
inline bool RangeStep(const TSimpatRangeBytes& set, TSimpatContext& context) {
  TSimpatInput& input = *context.Input;
  // At the end of input only Eof matches, and negation does not apply to it.
  if (input.AtEnd()) return set.Eof;
  bool raw;
  if (set.Eoln && input.Expect(context.Eoln)) {
    raw = true;
  } else {
    uint8_t byte = 0;
    input.ReadByte(byte);
    raw = set.Any() || set.Has(byte);
  }
  return raw != set.Negated;
}

}  // namespace

bool TSimpatRange::Match(TSimpatContext& context) const { return RangeStep(mBytes, context); }

bool TSimpatRange::StopsAtEnd(TSimpatContext& context, int64_t) const {
  return mBytes.Eof && context.Input->AtEnd();
}

bool TSimpatRepeat::Match(TSimpatContext&) const { return false; }
bool TSimpatRepeat::CanRepeatMore(int64_t) const { return true; }

void TSimpatItems::Add(std::unique_ptr<TSimpatItem> item) {
  TEntry entry{std::move(item), nullptr, nullptr, nullptr, 0};
  const TSimpatItem* raw = entry.mItem.get();
  entry.mRepeat = dynamic_cast<const TSimpatRepeat*>(raw);
  // Only the exact classes get the inline fast paths; descendants keep their own overrides.
  if (typeid(*raw) == typeid(TSimpatRange)) {
    const TSimpatRangeBytes& bytes = static_cast<const TSimpatRange*>(raw)->Bytes();
    entry.mRange = &bytes;
    if (!bytes.Eoln && !bytes.Eof) entry.mPlain = &bytes;
  }
  if (typeid(*raw) == typeid(TSimpatRepeatAny)) entry.mRepeatKind = 1;
  if (typeid(*raw) == typeid(TSimpatRepeatOneOrMore)) entry.mRepeatKind = 2;
  mItems.push_back(std::move(entry));
}

// ---------------------------------------------------------------------------------------------
// Class table

void TSimpatClassTable::Register(std::string_view name, const TSimpatRangeBytes& bytes) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
      auto error = MakeError<ESimpatBadCharClass>(
          "Simple Pattern's character class names must consist of A-Z and 0-9 symbols - '%s' "
          "name given.",
          name);
      error.Source = this;
      throw error;
    }
  }
  if (upper.empty()) {
    auto error = MakeError<ESimpatBadCharClass>(
        "Simple Pattern's character class names must consist of A-Z and 0-9 symbols - '%s' name "
        "given.",
        name);
    error.Source = this;
    throw error;
  }
  if (!bytes.MatchesSomething()) {
    auto error = MakeError<ESimpatEmptyCharClass>(
        "Attempted to create character class '%s' that matches nothing.", name);
    error.Source = this;
    throw error;
  }
  mClasses.emplace_back(std::move(upper), bytes);
}

const TSimpatRangeBytes* TSimpatClassTable::Find(std::string_view name) const {
  for (const auto& entry : mClasses)
    if (entry.first == name) return &entry.second;
  return nullptr;
}

const TSimpatClassTable& TSimpatClassTable::BuiltIn() {
  struct TBuiltIn : TSimpatClassTable {
    TBuiltIn() {
      TSimpatRangeBytes b;
      b.Fill(true);
      Register("ANY", b);
      b = {};
      b.Set(9, true);
      b.Set(32, true);
      Register("SP", b);
      b = {};
      b.Set(13, true);
      Register("CR", b);
      b = {};
      b.Set(10, true);
      Register("LF", b);
      b = {};
      b.SetRange(0, 31);
      Register("CTL", b);
      b = {};
      b.SetRange('0', '9');
      Register("DIG", b);
      b = {};
      b.SetRange('a', 'z');
      b.SetRange('A', 'Z');
      Register("LAT", b);
      b = {};
      b.SetRange('0', '9');
      b.SetRange('a', 'f');
      b.SetRange('A', 'F');
      Register("HEX", b);
      b = {};
      b.Set('_', true);
      b.SetRange('0', '9');
      b.SetRange('a', 'z');
      b.SetRange('A', 'Z');
      Register("ID", b);
    }
  };
  static const TBuiltIn table;
  return table;
}

// ---------------------------------------------------------------------------------------------
// Parsing one alternative

namespace {

bool IsUpper(uint8_t c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsNameChar(uint8_t c) { return IsUpper(c) || IsDigit(c); }
bool IsUpperHex(uint8_t c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }
int UpperHexValue(uint8_t c) { return IsDigit(c) ? c - '0' : c - 'A' + 10; }

uint8_t At(std::string_view text, size_t pos) { return static_cast<uint8_t>(text[pos]); }

// A class word at `pos`: names joined by "_", or one of NL, EOLN, EOF ending the word. False when
// any name is unknown (the caller then takes the first letter literally).
bool ReadClassWord(std::string_view text, size_t pos, const TSimpatClassTable& classes,
                   TSimpatRangeBytes& word, size_t& end) {
  TSimpatRangeBytes set;
  size_t p = pos;
  for (;;) {
    size_t start = p;
    while (p < text.size() && IsNameChar(At(text, p))) ++p;
    std::string_view name = text.substr(start, p - start);
    if (name == "NL") {
      set.Eoln = set.Eof = true;
      break;
    }
    if (name == "EOLN") {
      set.Eoln = true;
      break;
    }
    if (name == "EOF") {
      set.Eof = true;
      break;
    }
    const TSimpatRangeBytes* found = name.empty() ? nullptr : classes.Find(name);
    if (!found) return false;
    set.Unite(*found);
    if (p < text.size() && text[p] == '_') {
      ++p;
      continue;
    }
    break;
  }
  word = set;
  end = p;
  return true;
}

// An escape at `pos` (a backslash): 1 to 3 decimal digits of a value up to 255, or "x" and two
// upper-case hexadecimal digits. A decimal value above 255 is no escape: the backslash is then
// literal and the digits follow as literal bytes, so a pattern never means a byte it cannot hold.
bool ReadEscape(std::string_view text, size_t pos, uint8_t& byte, size_t& end) {
  size_t p = pos + 1;
  if (p < text.size() && IsDigit(At(text, p))) {
    int value = 0;
    size_t q = p;
    while (q < text.size() && q - p < 3 && IsDigit(At(text, q))) value = value * 10 + (At(text, q++) - '0');
    if (value > 255) return false;
    byte = static_cast<uint8_t>(value);
    end = q;
    return true;
  }
  if (p + 2 < text.size() && text[p] == 'x' && IsUpperHex(At(text, p + 1)) &&
      IsUpperHex(At(text, p + 2))) {
    byte = static_cast<uint8_t>(UpperHexValue(At(text, p + 1)) * 16 + UpperHexValue(At(text, p + 2)));
    end = p + 3;
    return true;
  }
  return false;
}

// One member of a bracket class at `p`, which it advances.
uint8_t ReadMember(std::string_view text, size_t& p) {
  if (text[p] == '\\') {
    if (p + 1 < text.size() && text[p + 1] == ']') {
      p += 2;
      return ']';
    }
    uint8_t byte;
    size_t end;
    if (ReadEscape(text, p, byte, end)) {
      p = end;
      return byte;
    }
  }
  return At(text, p++);
}

// A bracket class at `pos` (a "[" followed by a byte of 33 or more). False when no member stood
// inside or no "]" closes it.
bool ReadBracket(std::string_view text, size_t pos, const TSimpatClassTable& classes,
                 TSimpatRangeBytes& set, size_t& end) {
  size_t p = pos + 1;
  bool negated = false;
  bool any = false;
  if (p < text.size() && text[p] == '^') {
    negated = true;
    ++p;
  }
  if (p < text.size() && IsUpper(At(text, p))) {
    TSimpatRangeBytes word;
    size_t wordEnd;
    if (ReadClassWord(text, p, classes, word, wordEnd)) {
      set.Unite(word);
      p = wordEnd;
      any = true;
    }
  }
  for (;;) {
    if (p >= text.size()) return false;
    if (text[p] == ']') {
      ++p;
      break;
    }
    uint8_t low = ReadMember(text, p);
    any = true;
    if (p + 1 < text.size() && text[p] == '-' && text[p + 1] != ']') {
      ++p;
      uint8_t high = ReadMember(text, p);
      set.SetRange(low, std::max(low, high));
    } else {
      set.Set(low, true);
    }
  }
  if (!any) return false;
  set.Negated = negated;
  end = p;
  return true;
}

std::unique_ptr<TSimpatItem> MakeRepeat(uint8_t quantifier) {
  if (quantifier == '*') return std::make_unique<TSimpatRepeatAny>();
  if (quantifier == '+') return std::make_unique<TSimpatRepeatOneOrMore>();
  return std::make_unique<TSimpatRepeatOneOrNone>();
}

}  // namespace

std::shared_ptr<const TSimpatItems> ParseSimpatAlternative(std::string_view text,
                                                           const TSimpatClassTable& classes) {
  std::vector<std::unique_ptr<TSimpatItem>> items;
  auto addLiteral = [&](uint8_t byte) {
    items.push_back(std::make_unique<TSimpatStr>(std::string(1, static_cast<char>(byte))));
  };
  bool canRepeat = false;
  size_t p = 0;
  while (p < text.size()) {
    uint8_t c = At(text, p);
    if (c < 33) {
      canRepeat = false;
      ++p;
      continue;
    }
    if (c == '*' || c == '+' || c == '?') {
      // The repeat goes in front of the item added last, which is always the list's last one.
      if (canRepeat)
        items.insert(items.end() - 1, MakeRepeat(c));
      else
        addLiteral(c);
      canRepeat = false;
      ++p;
      continue;
    }
    canRepeat = true;
    size_t end = 0;
    if (IsUpper(c) && (p == 0 || At(text, p - 1) < 33)) {
      TSimpatRangeBytes word;
      if (!ReadClassWord(text, p, classes, word, end)) {
        addLiteral(c);
        ++p;
        continue;
      }
      bool flagged = word.Eoln || word.Eof || word.Any() || word.Negated;
      if (!flagged && word.MemberCount() == 1) {
        for (int b = 0; b < 256; ++b)
          if (word.Has(static_cast<uint8_t>(b))) addLiteral(static_cast<uint8_t>(b));
      } else {
        items.push_back(std::make_unique<TSimpatRange>(word));
      }
      p = end;
      continue;
    }
    if (c == '[' && p + 1 < text.size() && At(text, p + 1) >= 33) {
      TSimpatRangeBytes set;
      if (ReadBracket(text, p, classes, set, end)) {
        items.push_back(std::make_unique<TSimpatRange>(set));
        p = end;
      } else {
        addLiteral(c);
        ++p;
      }
      continue;
    }
    uint8_t byte;
    if (c == '\\' && ReadEscape(text, p, byte, end)) {
      addLiteral(byte);
      p = end;
      continue;
    }
    addLiteral(c);
    ++p;
  }

  // Merge neighbouring literals, but never one that a repeat governs, so that the repeat keeps
  // governing exactly the item written before it.
  auto list = std::make_shared<TSimpatItems>();
  std::unique_ptr<TSimpatItem> pending;
  bool pendingGoverned = false;
  std::vector<bool> isRepeat(items.size());
  for (size_t k = 0; k < items.size(); ++k)
    isRepeat[k] = dynamic_cast<const TSimpatRepeat*>(items[k].get()) != nullptr;
  for (size_t k = 0; k < items.size(); ++k) {
    bool governed = k > 0 && isRepeat[k - 1];
    auto* literal = dynamic_cast<TSimpatStr*>(items[k].get());
    auto* pendingLiteral = dynamic_cast<TSimpatStr*>(pending.get());
    if (literal && !governed && pendingLiteral && !pendingGoverned) {
      pendingLiteral->Append(literal->Bytes());
      continue;
    }
    if (pending) list->Add(std::move(pending));
    pending = std::move(items[k]);
    pendingGoverned = governed;
  }
  if (pending) list->Add(std::move(pending));
  return list;
}

// ---------------------------------------------------------------------------------------------
// Matching

bool TLinearSimpat::Match(TSimpatContext& context, int64_t* leadRun) const {
  TSimpatInput& input = *context.Input;
  const auto& items = mItems->mItems;
  if (leadRun) *leadRun = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const TSimpatItems::TEntry& entry = items[i];
    if (!entry.mRepeat) {
      int64_t before = input.Pos();
      if (!entry.mItem->Match(context)) {
        input.SetPos(before);
        return false;
      }
      continue;
    }
    // A repeat governs the next item; the parser never leaves a repeat last.
    const TSimpatRepeat& repeat = *entry.mRepeat;
    const TSimpatItems::TEntry& governed = items[++i];
    int64_t count = 0;
    if (entry.mRepeatKind != 0 && governed.mPlain) {
      // "*" or "+" over a plain class: scan the available bytes without per-byte calls.
      const TSimpatRangeBytes& set = *governed.mPlain;
      for (;;) {
        std::string_view bytes = input.Available();
        if (bytes.empty()) {
          if (!input.Ensure(1)) break;
          bytes = input.Available();
        }
        size_t k = 0;
        while (k < bytes.size() && set.Has(static_cast<uint8_t>(bytes[k])) != set.Negated) ++k;
        input.Skip(static_cast<int64_t>(k));
        count += static_cast<int64_t>(k);
        if (k < bytes.size()) break;
      }
      if (i == 1 && leadRun) *leadRun = count;
      if (!repeat.IsEnough(count)) return false;
      continue;
    }
    if (entry.mRepeatKind != 0 && governed.mRange) {
      // "*" or "+" over a class with flags: the loop below without the virtual calls.
      const TSimpatRangeBytes& set = *governed.mRange;
      for (;;) {
        int64_t before = input.Pos();
        if (!RangeStep(set, context)) {
          input.SetPos(before);
          break;
        }
        if (input.Pos() == before) {  // the end of input, matched by Eof
          ++count;
          break;
        }
        ++count;
      }
      if (!repeat.IsEnough(count)) return false;
      continue;
    }
    bool enough = true;
    while (repeat.CanRepeatMore(count)) {
      int64_t before = input.Pos();
      if (!governed.mItem->Match(context)) {
        input.SetPos(before);
        enough = repeat.IsEnough(count);
        break;
      }
      // An item that matched without consuming would match again forever: end the repeat, as
      // at the end of input.
      if (governed.mItem->StopsAtEnd(context, count) || input.Pos() == before) {
        enough = repeat.IsEnough(count + 1);
        break;
      }
      ++count;
    }
    if (!enough) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Splitting and the compiled-pattern cache

std::vector<std::string> SplitSimpatAlternatives(std::string_view text) {
  std::vector<std::string> alternatives;
  std::string current;
  auto close = [&] {
    size_t first = 0, last = current.size();
    while (first < last && static_cast<uint8_t>(current[first]) < 33) ++first;
    while (last > first && static_cast<uint8_t>(current[last - 1]) < 33) --last;
    alternatives.push_back(current.substr(first, last - first));
    current.clear();
  };
  for (size_t p = 0; p < text.size(); ++p) {
    if (text[p] != '|') {
      current += text[p];
    } else if (p + 1 < text.size() && text[p + 1] == '|') {
      current += '|';
      ++p;
    } else {
      close();
    }
  }
  close();
  for (size_t k = 0; k + 1 < alternatives.size(); ++k)
    if (alternatives[k].empty())
      SwRaise<ESimpatHasEmptyChoice>(
          "Simple Pattern \"%s\" contains empty choice(s) - only allowed when in last position.",
          std::string(text));
  return alternatives;
}

namespace {

// One byte of a pattern matched straight over memory, once or repeated.
struct TSimpatByteStep {
  std::array<bool, 256> Members{};
  bool Required = true;  // "*" and "?" may take none
  bool Repeated = false;  // "*" and "+"
  // A repeat over every byte but one or two ("[^,]+"): runs of it are scanned eight bytes at a
  // time for those bytes, each copied into every byte of a word (0: byte by byte).
  uint64_t StopWords[2] = {};
};

constexpr uint64_t kLowBits = 0x0101010101010101ULL, kLowSevenBits = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `word` that is zero, and no other bit (no carries between bytes).
uint64_t ZeroBytes(uint64_t word) { return ~(((word & kLowSevenBits) + kLowSevenBits) | word | kLowSevenBits); }

void PlanStopWords(TSimpatByteStep& step) {
  if (!step.Repeated) return;
  int stops[3], count = 0;
  for (int b = 0; b < 256 && count < 3; ++b)
    if (!step.Members[b]) stops[count++] = b;
  if (count == 0 || count == 3) return;
  for (int k = 0; k < 2; ++k) step.StopWords[k] = kLowBits * static_cast<uint64_t>(stops[k < count ? k : 0]);
}

// The end of the run of members from `taken` up to `limit`.
inline int64_t ScanRun(const TSimpatByteStep& step, const uint8_t* memory, int64_t taken, int64_t limit) {
  if (taken >= limit || !step.Members[memory[taken]]) return taken;  // most runs of one step end at once
  ++taken;
  if (step.StopWords[0] && limit >= 8 && std::endian::native == std::endian::little) {
    while (taken < limit) {
      // The last word ends at the limit; bytes before `taken` in it do not count.
      const int64_t at = std::min(taken, limit - 8);
      uint64_t word;
      std::memcpy(&word, memory + at, 8);
      const uint64_t stops = (ZeroBytes(word ^ step.StopWords[0]) | ZeroBytes(word ^ step.StopWords[1])) &
                             (~uint64_t{0} << (8 * (taken - at)));
      if (stops) return at + std::countr_zero(stops) / 8;
      taken = at + 8;
    }
    return taken;
  }
  while (taken < limit && step.Members[memory[taken]]) ++taken;
  return taken;
}

// A pattern's alternatives as byte steps.
struct TSimpatBytePlan {
  std::vector<TSimpatByteStep> Steps;
  bool LeadRun = false;  // begins with "*" or "+" over a class, whose run a failure reports
};

// Bytes past the first chunk of read-ahead are counted as work when read: matches over memory
// stop there and leave longer ones to the reads.
constexpr int64_t kFreeReadAhead = NextReadAhead(0);

// The plans matched over `window` bytes of memory: 1 matched `taken` bytes, 0 failed (as Match
// does), -1 when a step ran to the window's end and `endsAtWindow()` says the input goes on.
// A pattern of one repeated step (`soleRun`, else null) is decided by its run alone.
template <class TEndsAtWindow>
int MatchPlans(const std::vector<TSimpatBytePlan>& plans, const TSimpatByteStep* soleRun, const uint8_t* memory,
               int64_t window, TEndsAtWindow&& endsAtWindow, int64_t& taken, int64_t* failsAhead) {
  if (failsAhead) *failsAhead = INT64_MAX;
  if (soleRun) {
    taken = ScanRun(*soleRun, memory, 0, window);
    if (taken == window && !endsAtWindow()) return -1;
    if (taken > 0 || !soleRun->Required) return 1;
    if (failsAhead) *failsAhead = 0;  // no promise: the next byte may start a run
    return 0;
  }
  for (const TSimpatBytePlan& plan : plans) {
    int64_t leadRun = 0;
    bool failed = false;
    taken = 0;
    for (size_t k = 0; k < plan.Steps.size() && !failed; ++k) {
      const TSimpatByteStep& step = plan.Steps[k];
      const int64_t from = taken;
      if (step.Repeated)
        taken = ScanRun(step, memory, taken, window);
      else if (taken < window && step.Members[memory[taken]])
        ++taken;
      if (taken == window && (step.Repeated || taken == from) && !endsAtWindow()) return -1;
      if (k == 0 && plan.LeadRun) leadRun = taken - from;
      failed = step.Required && taken == from;
    }
    if (!failed) return 1;
    if (failsAhead) *failsAhead = std::min(*failsAhead, leadRun);
  }
  return 0;
}

}  // namespace

using TAlternativeList = std::vector<std::unique_ptr<TLinearSimpat>>;

struct TSimpatPattern::TCompiled {
  std::string Text;
  TAlternativeList Alternatives;
  // Where every alternative takes single bytes out of plain classes (no line break, no end of
  // input), each once or repeated: the alternatives as steps, matched straight over memory.
  // Empty for other patterns.
  std::vector<TSimpatBytePlan> Plans;
  const TSimpatByteStep* SoleRun = nullptr;  // the step of a pattern that is one repeat ("[^,]+")
  std::array<bool, 256> FirstBytes{};
  bool FirstBytesKnown = false;  // whether every match starts with one of FirstBytes
};

namespace {

struct TTextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

template <class T>
using TTextMap = std::unordered_map<std::string, T, TTextHash, std::equal_to<>>;

// Process-wide: patterns are matched on worker threads too, so every access holds the lock. It
// keeps the item lists per alternative text and the compiled patterns per whole text.
struct TSimpatCache {
  std::mutex Lock;
  TTextMap<std::shared_ptr<const TSimpatItems>> Alternatives;
  TTextMap<std::shared_ptr<const void>> Patterns;  // TSimpatPattern::TCompiled
  size_t Bytes = 0;  // of the texts in Patterns
  int64_t Parsed = 0;
};

// Whether a cache of `count` texts of `bytes` bytes must start over before taking `more` bytes.
bool CacheIsFull(size_t count, size_t bytes, size_t more) {
  return count >= TSimpatPattern::CacheLimit || bytes + more > TSimpatPattern::CacheBytesLimit;
}

TSimpatCache& Cache() {
  static TSimpatCache cache;
  return cache;
}

}  // namespace

void TSimpatPattern::PlanByteSteps(TCompiled& compiled) {
  // A longer pattern reads past the first chunk of read-ahead, which memory does not count.
  constexpr size_t MaxSteps = 256;
  std::vector<TSimpatBytePlan> plans;
  for (const auto& alternative : compiled.Alternatives) {
    TSimpatBytePlan& plan = plans.emplace_back();
    if (!alternative) continue;  // the empty last choice: no steps, matches at once
    const TSimpatItems& items = alternative->Items();
    for (size_t i = 0; i < items.Count(); ++i) {
      TSimpatByteStep step;
      if (const TSimpatRepeat* repeat = items.AsRepeat(i)) {
        if (i + 1 == items.Count()) return;
        step.Required = typeid(*repeat) == typeid(TSimpatRepeatOneOrMore);
        step.Repeated = step.Required || typeid(*repeat) == typeid(TSimpatRepeatAny);
        if (!step.Repeated && typeid(*repeat) != typeid(TSimpatRepeatOneOrNone)) return;
        ++i;
      }
      const TSimpatItem& item = items.Item(i);
      if (typeid(item) == typeid(TSimpatRange)) {
        const TSimpatRangeBytes& bytes = static_cast<const TSimpatRange&>(item).Bytes();
        if (bytes.Eoln || bytes.Eof) return;
        for (int b = 0; b < 256; ++b) step.Members[b] = bytes.Has(static_cast<uint8_t>(b)) != bytes.Negated;
        if (i == 1 && step.Repeated) plan.LeadRun = true;
        PlanStopWords(step);
        plan.Steps.push_back(step);
      } else if (typeid(item) == typeid(TSimpatStr)) {
        // A literal is its bytes in turn; one that a repeat governs is a single byte.
        const std::string& literal = static_cast<const TSimpatStr&>(item).Bytes();
        if (literal.empty() || (literal.size() != 1 && (step.Repeated || !step.Required))) return;
        for (char byte : literal) {
          TSimpatByteStep& added = plan.Steps.emplace_back(step);
          added.Members[static_cast<uint8_t>(byte)] = true;
        }
      } else {
        return;
      }
      if (plan.Steps.size() > MaxSteps) return;
    }
  }
  compiled.Plans = std::move(plans);
  compiled.FirstBytesKnown = true;
  for (const TSimpatBytePlan& plan : compiled.Plans) {
    if (plan.Steps.empty() || !plan.Steps[0].Required) {
      compiled.FirstBytesKnown = false;
      break;
    }
    for (int b = 0; b < 256; ++b) compiled.FirstBytes[b] = compiled.FirstBytes[b] || plan.Steps[0].Members[b];
  }
  if (compiled.Plans.size() == 1 && compiled.Plans[0].Steps.size() == 1 && compiled.Plans[0].Steps[0].Repeated)
    compiled.SoleRun = &compiled.Plans[0].Steps[0];
}

const std::string& TSimpatPattern::Text() const { return mCompiled->Text; }

const TAlternativeList& TSimpatPattern::Alternatives() const { return mCompiled->Alternatives; }

const std::array<bool, 256>* TSimpatPattern::FirstBytes() const {
  return mCompiled->FirstBytesKnown ? &mCompiled->FirstBytes : nullptr;
}

TSimpatPattern::TSimpatPattern(std::shared_ptr<const TCompiled> compiled)
    : mCompiled(std::move(compiled)) {}

std::shared_ptr<const TSimpatPattern::TCompiled> TSimpatPattern::Compile(std::string_view text) {
  if (static_cast<int64_t>(text.size()) > MaxLength)
    SwRaise<ESimpatTooLong>("Simple pattern of %d bytes exceeds the limit of %d bytes.",
                            static_cast<int64_t>(text.size()), MaxLength);
  TSimpatCache& cache = Cache();
  const TSimpatClassTable& classes = TSimpatClassTable::BuiltIn();
  std::lock_guard<std::mutex> guard(cache.Lock);
  if (auto found = cache.Patterns.find(text); found != cache.Patterns.end())
    return std::static_pointer_cast<const TCompiled>(found->second);
  auto made = std::make_shared<TCompiled>();
  made->Text = std::string(text);
  std::vector<std::string> alternatives = SplitSimpatAlternatives(text);
  // Compiled patterns share their item lists, so emptying the cache frees nothing in use.
  if (CacheIsFull(cache.Patterns.size(), cache.Bytes, text.size())) {
    cache.Patterns.clear();
    cache.Alternatives.clear();
    cache.Bytes = 0;
  }
  for (const std::string& alternative : alternatives) {
    if (alternative.empty()) {
      made->Alternatives.push_back(nullptr);
      continue;
    }
    auto items = cache.Alternatives.find(alternative);
    if (items == cache.Alternatives.end()) {
      items = cache.Alternatives.emplace(alternative, ParseSimpatAlternative(alternative, classes)).first;
      ++cache.Parsed;
    }
    made->Alternatives.push_back(std::make_unique<TLinearSimpat>(items->second, classes));
  }
  PlanByteSteps(*made);
  cache.Patterns.emplace(made->Text, made);
  cache.Bytes += text.size();
  return made;
}

// The compiled pattern for a text, from this thread's copy of the cache when it is there. Cached
// patterns never change, so a thread may keep them without the lock; the result is borrowed
// from that copy (no reference count) and stays valid until the thread's next Borrow, which may
// empty a full copy.
std::shared_ptr<const TSimpatPattern::TCompiled> TSimpatPattern::Borrow(std::string_view text) {
  struct TLocal {
    TTextMap<std::shared_ptr<const TCompiled>> Patterns;
    size_t Bytes = 0;
  };
  thread_local TLocal local;
  if (auto found = local.Patterns.find(text); found != local.Patterns.end())
    return std::shared_ptr<const TCompiled>(std::shared_ptr<const TCompiled>(), found->second.get());
  std::shared_ptr<const TCompiled> compiled = Compile(text);
  if (CacheIsFull(local.Patterns.size(), local.Bytes, text.size())) {
    local.Patterns.clear();
    local.Bytes = 0;
  }
  const TCompiled* raw = compiled.get();
  local.Patterns.emplace(std::string(text), std::move(compiled));
  local.Bytes += text.size();
  return std::shared_ptr<const TCompiled>(std::shared_ptr<const TCompiled>(), raw);
}

// A kept pattern owns a share of its compiled form, so it may outlive the thread and the cache.
TSimpatPattern::TSimpatPattern(std::string_view text) : mCompiled(Compile(text)) {}

bool TSimpatPattern::Match(TSimpatInput& input, std::string_view eoln, int64_t* failsAhead) const {
  int64_t start = input.Pos();
  if (failsAhead) *failsAhead = INT64_MAX;
  for (const auto& alternative : mCompiled->Alternatives) {
    if (!alternative) return true;
    TSimpatContext context{&input, eoln, this, alternative.get()};
    int64_t leadRun = 0;
    if (alternative->Match(context, failsAhead ? &leadRun : nullptr)) return true;
    if (failsAhead) *failsAhead = std::min(*failsAhead, leadRun);
    input.SetPos(start);
  }
  return false;
}

bool TSimpatPattern::Match(TStream& stream, std::string_view eoln, int64_t* failsAhead) const {
  return MatchAt(stream, stream.Position(), eoln, failsAhead);
}

bool TSimpatPattern::MatchAt(TStream& stream, int64_t position, std::string_view eoln, int64_t* failsAhead) const {
  if (const std::vector<TSimpatBytePlan>& plans = mCompiled->Plans; !plans.empty()) {
    // Over the stream's memory: all of it where the stream lends it, else what it holds in one
    // piece from the position on.
    int64_t size = 0, taken = 0;
    int decided = -1;
    if (const uint8_t* lent = stream.LentMemory(size)) {
      if (position >= 0 && position <= size) {
        const int64_t window = std::min(size - position, kFreeReadAhead);
        auto endsAtWindow = [&] { return window < kFreeReadAhead; };
        decided = MatchPlans(plans, mCompiled->SoleRun, lent + position, window, endsAtWindow, taken, failsAhead);
      }
    } else if (const uint8_t* memory = stream.MemoryAt(position, size)) {
      const int64_t window = std::min(size, kFreeReadAhead);
      int endsWithStream = -1;  // whether the memory ends where the stream does; asked once
      auto endsAtWindow = [&] {
        if (window == kFreeReadAhead) return false;
        if (endsWithStream < 0) endsWithStream = stream.Size() - position == size;
        return endsWithStream != 0;
      };
      decided = MatchPlans(plans, mCompiled->SoleRun, memory, window, endsAtWindow, taken, failsAhead);
    }
    if (decided == 1) stream.SetPosition(position + taken);
    if (decided >= 0) return decided != 0;
  }
  return MatchByReads(stream, eoln, failsAhead);
}

bool TSimpatPattern::MatchByReads(TStream& stream, std::string_view eoln, int64_t* failsAhead) const {
  TSimpatInput input(stream);
  bool matched;
  try {
    matched = Match(input, eoln, failsAhead);
  } catch (...) {
    input.SetPos(0);
    input.Finish();
    throw;
  }
  input.Finish();
  return matched;
}

int64_t TSimpatPattern::Match(std::string_view data, std::string_view eoln) const {
  TSimpatInput input(data);
  return Match(input, eoln) ? input.Pos() : -1;
}

bool SimpatMatch(std::string_view pattern, TStream& stream, std::string_view eoln) {
  return TSimpatPattern(TSimpatPattern::Borrow(pattern)).Match(stream, eoln);
}

int64_t SimpatMatchBytes(std::string_view pattern, std::string_view data, std::string_view eoln) {
  return TSimpatPattern(TSimpatPattern::Borrow(pattern)).Match(data, eoln);
}

int64_t SimpatParseCount() {
  TSimpatCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.Lock);
  return cache.Parsed;
}

}  // namespace skeinwork
