// The model text readers: the shared indentation and item-adding steps of TSwmTextStreamer and
// the hand-written line parser TSwmNativeStreamer.
#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <limits>
#include <string>

#include "SwmTextReader.h"

namespace skeinwork {

namespace {

// The deepest indentation level an item may have; also bounds the depth of the tree.
constexpr int kMaxIndent = 1000;
// Merge lists stop growing here; whatever follows becomes part of the condition.
constexpr size_t kMaxNameEntries = 256;

bool IsBlank(char16_t c) { return c < 33; }
bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsIdChar(char16_t c) { return IsAsciiLetter(c) || IsDigit(c) || c == u'_'; }

WideString TrimLeft(std::u16string_view text) {
  size_t from = 0;
  while (from < text.size() && IsBlank(text[from])) ++from;
  return WideString(text.substr(from));
}


bool StartsWith(std::u16string_view text, std::u16string_view head) { return text.substr(0, head.size()) == head; }
bool EndsWith(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// A decimal integer with an optional sign that fits 32 bits.
bool TryParseInt32(std::u16string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    result = result * 10 + (text[i] - u'0');
    if (result > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) result = -result;
  if (result > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(result);
  return true;
}

// Property names of description nodes, interned once.
struct TDescriptionNames {
  TSwName source{u"source"};
  TSwName mPath{u"mPath"};
  TSwName mCond{u"mCond"};
  TSwName mOrder{u"mOrder"};
  TSwName Flags[std::size(SwmItemFlags)];
  TSwName mMergesL{u"mMergesL"};
  TSwName mMergesR{u"mMergesR"};
};

const TDescriptionNames& Names() {
  static const TDescriptionNames names = [] {
    TDescriptionNames made;
    for (size_t i = 0; i < std::size(SwmItemFlags); ++i) made.Flags[i] = SwmItemFlags[i].Property;
    return made;
  }();
  return names;
}

// Whether the text after the prefix holds a names part, judged by its first three characters.
bool HasNamesPart(std::u16string_view text) {
  for (size_t i = 0; i < 3 && i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsAsciiLetter(c) || IsDigit(c)) return true;
    if (c == u'_' && i > 0) return true;
    if (c == u'"' && i + 1 < text.size()) return true;
    if (c != u'(' && c != u'+' && c != u'@') return false;
  }
  return false;
}

// "+ " goes on to a further merged name. A lone "+" at the end of a line counts too, since
// the line reader has already cut the blank that followed it.
bool StartsMergeSeparator(std::u16string_view text) { return text == u"+" || StartsWith(text, u"+ "); }

}  // namespace

// ---------------------------------------------------------------------------------------------

WideString SwmEncodeMerges(const TSwStreamingMerges& merges) {
  WideString out;
  for (size_t i = 0; i < merges.size(); ++i) {
    if (i) out += u'\0';
    if (merges[i].isNonConsuming) out += u'.';
    out += SwTrim(merges[i].name);
  }
  return out;
}

WideString SwmSourceText(const TSwValue& source) {
  if (!source.Has(ltInt)) return source.Text();
  return source.Text() + u":" + Utf8ToWide(std::to_string(source.Int + 1));
}

// ---------------------------------------------------------------------------------------------
// TSwmTextStreamer

TSwmTextStreamer::TSwmTextStreamer(TSwTreeNode* root) : TSwLineStreamer(root) {}

void TSwmTextStreamer::DoRead() {
  SetReadRoot(std::make_unique<TSwTreeNode>(TSwName()));
  mLastAdded = Root();
  mPreviousIndent = -1;
  TSwLineStreamer::DoRead();
}

bool TSwmTextStreamer::ReadLine() {
  mItem.Clear();
  mRest.clear();
  return true;
}

bool TSwmTextStreamer::HasLowerCase(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (u_toupper(c) != c) return true;
  }
  return false;
}

WideString TSwmTextStreamer::NameFromPath(const WideString& path) const {
  size_t from = path.size();
  while (from > 0 && IsIdChar(path[from - 1])) --from;
  if (from == path.size()) ParseError("\"path\" contains none of a-z, A-Z, 0-9 or '_'");
  return path.substr(from);
}

void TSwmTextStreamer::RaisePathTwice() const { ParseError("defining item's \"path\" twice"); }

void TSwmTextStreamer::AddItem() {
  TSwmLineItem& item = mItem;
  if (item.indent < 0 || item.indent > kMaxIndent) ParseError("wrong indentation - %d", item.indent);
  if (item.indent > mPreviousIndent + 1)
    ParseError("wrong indentation - got more than %d spaces (%d)", (mPreviousIndent + 1) * 2, item.indent * 2);

  // The last added node sits at level mPreviousIndent; the parent of a new item sits one level
  // above the item's own.
  TSwTreeNode* parent = mLastAdded;
  for (int up = mPreviousIndent - item.indent + 1; up > 0 && parent->Parent(); --up) parent = parent->Parent();
  TSwTreeNode* node = parent->AddChild(TSwName(item.name));
  mLastAdded = node;
  mPreviousIndent = item.indent;

  item.source = TSwValue::OfInt(mLine);
  item.source.Kinds |= SwKind(ltStr);
  item.source.SetText(SourceName());
  // An unmarked lower-case name without a condition refers to a definition.
  item.isInheriting = item.isInheriting ||
                      (HasLowerCase(item.name) && (item.isPrepending || (!item.isOffContext && item.cond.empty())));

  const TDescriptionNames& n = Names();
  TSwProperties& properties = node->Properties();
  properties.AddValue(n.source, item.source);
  if (!item.path.empty()) properties.AddValue(n.mPath, TSwValue::OfText(WideString(SwTrim(item.path))));
  if (!item.cond.empty()) properties.AddValue(n.mCond, TSwValue::OfText(WideString(SwTrim(item.cond))));
  properties.AddValue(n.mOrder, TSwValue::OfInt(item.order));
  for (size_t i = 0; i < std::size(SwmItemFlags); ++i)
    properties.AddValue(n.Flags[i], TSwValue::OfBool(item.*SwmItemFlags[i].Field));
  if (!item.leftMerges.empty()) properties.AddValue(n.mMergesL, TSwValue::OfText(SwmEncodeMerges(item.leftMerges)));
  if (!item.rightMerges.empty()) properties.AddValue(n.mMergesR, TSwValue::OfText(SwmEncodeMerges(item.rightMerges)));
}

// ---------------------------------------------------------------------------------------------
// TSwmNativeStreamer

bool TSwmNativeStreamer::ReadLine() {
  TSwmTextStreamer::ReadLine();
  WideString line;
  line.reserve(mCurrentLine.size());
  for (char16_t c : mCurrentLine) {
    if (c == u'\t')
      line += u"  ";
    else
      line += c;
  }

  size_t count = 0;
  while (count < line.size() && IsBlank(line[count])) ++count;
  if (count == line.size() || line[count] == u';') return true;  // comments obey no indentation
  if (count % 2) ParseError("wrong indentation - must be even to 2, got %d spaces", static_cast<int64_t>(count));
  // Anything past the deepest level fails in AddItem; clamping keeps the level in range of int.
  mItem.indent = static_cast<int32_t>(std::min<size_t>(count / 2, std::numeric_limits<int32_t>::max()));
  mRest = line.substr(count);

  if (!mRest.empty() && (mRest[0] == u'.' || mRest[0] == u'^' || IsDigit(mRest[0]))) ParsePrefix();
  std::vector<WideString> entries;
  if (HasNamesPart(mRest)) entries = ParseNames();
  ParsePath();
  mItem.cond = mRest;
  if (!entries.empty()) InterpretNames(entries);
  AddItem();
  return true;
}

WideString TSwmNativeStreamer::TakeWord() {
  size_t space = mRest.find(u' ');
  WideString word = mRest.substr(0, space);
  mRest = space == WideString::npos ? WideString() : TrimLeft(std::u16string_view(mRest).substr(space + 1));
  return word;
}

void TSwmNativeStreamer::ParsePrefix() {
  WideString word = TakeWord();
  if (EndsWith(word, u"?")) {
    mItem.isOptional = true;
    word.pop_back();
  } else if (EndsWith(word, u"^")) {
    mItem.isTentative = true;
    word.pop_back();
  }
  if (word.empty()) return;
  if (word[0] == u'.') {
    mItem.isOnce = true;
    return;
  }
  std::u16string_view digits = word;
  if (digits[0] == u'0') {
    mItem.isResetter = true;
    digits.remove_prefix(1);
  }
  int32_t order = 0;
  if (TryParseInt32(digits, order)) mItem.order = order;
}

std::vector<WideString> TSwmNativeStreamer::ParseNames() {
  std::vector<WideString> entries;
  entries.push_back(TakeWord());
  if (EndsWith(entries[0], u"?")) {
    // "name? cond" is shorthand for the condition operator "?".
    entries[0].pop_back();
    mRest = u"? " + mRest;
  } else {
    while (entries.size() < kMaxNameEntries && !entries.back().empty() && StartsMergeSeparator(mRest)) {
      TakeWord();
      entries.push_back(TakeWord());
    }
  }
  if (entries.back().empty()) ParseError("unterminated merge list");
  return entries;
}

void TSwmNativeStreamer::ParsePath() {
  if (mRest.empty() || mRest[0] != u'"') return;
  size_t close = mRest.find(u'"', 1);
  if (close == WideString::npos) ParseError("unterminated \"node path\"");
  mItem.path = mRest.substr(1, close - 1);
  mRest = TrimLeft(std::u16string_view(mRest).substr(close + 1));
}

void TSwmNativeStreamer::InterpretNames(std::vector<WideString>& entries) {
  TSwmLineItem& item = mItem;
  for (WideString& entry : entries) entry = SwTrim(entry);

  size_t own = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!StartsWith(entries[i], u"(")) continue;
    if (entries[i].size() < 2 || !EndsWith(entries[i], u")")) ParseError("no closing bracket for '(off-context)'");
    entries[i] = entries[i].substr(1, entries[i].size() - 2);
    item.isOffContext = true;
    own = i;
    break;
  }

  std::vector<TSwStreamingMerge> marked(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    marked[i].name = entries[i];
    if (EndsWith(marked[i].name, u"...")) {
      marked[i].name.resize(marked[i].name.size() - 3);
      marked[i].isNonConsuming = true;
    }
  }

  WideString name = marked[own].name;
  item.isNonConsuming = marked[own].isNonConsuming;
  item.rightMerges.assign(marked.begin() + static_cast<std::ptrdiff_t>(own) + 1, marked.end());

  if (item.isOffContext) {
    item.leftMerges.assign(marked.begin(), marked.begin() + static_cast<std::ptrdiff_t>(own));
    // An off-context item is a definition to inherit from unless "@" says otherwise.
    if (StartsWith(name, u"@"))
      name.erase(0, 1);
    else
      item.isInheriting = true;
  } else {
    if (StartsWith(name, u"@")) {
      item.isInheriting = true;
      name.erase(0, 1);
    }
    if (StartsWith(name, u"\"")) {
      // A lone quote has no closing partner either.
      if (name.size() < 2 || !EndsWith(name, u"\"")) ParseError("no matching apostrophe in \"name\"");
      if (!item.path.empty()) RaisePathTwice();
      item.path = name.substr(1, name.size() - 2);
      name = NameFromPath(item.path);
    } else if (!item.path.empty() && HasLowerCase(name)) {
      item.isInheriting = true;
    }
  }

  if (StartsWith(name, u"+")) {
    item.isPrepending = true;
    name.erase(0, 1);
  }
  if (name.empty()) ParseError("empty item name");
  item.name = name;
}

}  // namespace skeinwork
