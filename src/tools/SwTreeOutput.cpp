// Text and JSON printing of trees for the command-line program.
#include "SwTreeOutput.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace skeinwork {

namespace {

constexpr TSwTypes kRangeKinds = SwKind(ltInt) | SwKind(ltFrac) | SwKind(ltSlice);

int64_t RangeLength(const TSwValue& value) { return static_cast<int64_t>(value.Frac); }

// A JSON string literal of UTF-8 text; text that is not valid UTF-8 gets replacement characters.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The printers' output: text is made in place in one large buffer, which goes to the stream
// whenever it is full. On an error the text made so far is still handed over, as a printer that
// wrote to the stream directly would have done.
class TOutputBuffer {
 public:
  static constexpr size_t Capacity = size_t{1} << 20;
  // The most bytes one UTF-16 code unit becomes: "\u001f" (a pair's two units make 4 bytes).
  static constexpr size_t MaxBytesPerUnit = 6;
  static constexpr size_t TextPiece = 16384;  // code units converted per reservation

  explicit TOutputBuffer(std::ostream& out) : mOut(out), mBuffer(new char[Capacity]) {}
  TOutputBuffer(const TOutputBuffer&) = delete;
  TOutputBuffer& operator=(const TOutputBuffer&) = delete;

  // Room for `count` more bytes (at most Capacity): where to write them; Advance moves past
  // what was written.
  char* Room(size_t count) {
    if (Capacity - mUsed < count) Flush();
    return mBuffer.get() + mUsed;
  }
  void Advance(char* end) { mUsed = static_cast<size_t>(end - mBuffer.get()); }

  void Put(char c) {
    if (mUsed == Capacity) Flush();
    mBuffer[mUsed++] = c;
  }
  void Put(std::string_view text) {
    if (text.size() > Capacity - mUsed) {
      Flush();
      if (text.size() >= Capacity) {
        mOut.write(text.data(), static_cast<std::streamsize>(text.size()));
        return;
      }
    }
    std::memcpy(mBuffer.get() + mUsed, text.data(), text.size());
    mUsed += text.size();
  }
  void PutRepeated(char c, size_t count) {
    while (count > 0) {
      size_t piece = std::min(count, Capacity);
      char* at = Room(piece);
      std::memset(at, c, piece);
      Advance(at + piece);
      count -= piece;
    }
  }
  void PutInt(int64_t value) {
    char* at = Room(24);
    Advance(std::to_chars(at, at + 24, value).ptr);
  }
  // Upper-case hexadecimal of the value's 64 bits, padded with zeros to minDigits (at most 16).
  void PutHex(uint64_t value, int minDigits) {
    static const char kDigits[] = "0123456789ABCDEF";
    char digits[16];
    int count = 0;
    do {
      digits[15 - count++] = kDigits[value & 15];
      value >>= 4;
    } while (value != 0);
    char* at = Room(16);
    for (int pad = count; pad < minDigits; ++pad) *at++ = '0';
    std::memcpy(at, digits + 16 - count, static_cast<size_t>(count));
    Advance(at + count);
  }
  // Upper-case hexadecimal of the bytes, two digits each.
  void PutHexBytes(std::string_view bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    while (!bytes.empty()) {
      size_t piece = std::min(bytes.size(), Capacity / 2);
      char* at = Room(piece * 2);
      for (unsigned char byte : bytes.substr(0, piece)) {
        *at++ = kDigits[byte >> 4];
        *at++ = kDigits[byte & 15];
      }
      Advance(at);
      bytes.remove_prefix(piece);
    }
  }
  // UTF-16 text as UTF-8, converted in place (a lone surrogate becomes U+FFFD); with `json` the
  // characters a JSON string cannot hold are escaped as JSON wants them.
  void PutText(std::u16string_view text, bool json);

  void Flush() {
    if (mUsed) mOut.write(mBuffer.get(), static_cast<std::streamsize>(mUsed));
    mUsed = 0;
  }

 private:
  std::ostream& mOut;
  std::unique_ptr<char[]> mBuffer;
  size_t mUsed = 0;
};

void TOutputBuffer::PutText(std::u16string_view text, bool json) {
  static const char kLowerDigits[] = "0123456789abcdef";
  size_t i = 0;
  while (i < text.size()) {
    const size_t pieceEnd = std::min(text.size(), i + TextPiece);
    char* at = Room((pieceEnd - i) * MaxBytesPerUnit);
    for (; i < pieceEnd; ++i) {
      uint32_t c = text[i];
      if (c < 0x80) {
        if (!json || (c >= 0x20 && c != '"' && c != '\\')) {
          *at++ = static_cast<char>(c);
          continue;
        }
        *at++ = '\\';
        switch (c) {
          case '"': *at++ = '"'; break;
          case '\\': *at++ = '\\'; break;
          case '\b': *at++ = 'b'; break;
          case '\f': *at++ = 'f'; break;
          case '\n': *at++ = 'n'; break;
          case '\r': *at++ = 'r'; break;
          case '\t': *at++ = 't'; break;
          default:
            std::memcpy(at, "u00", 3);
            at[3] = kLowerDigits[c >> 4];
            at[4] = kLowerDigits[c & 15];
            at += 5;
        }
        continue;
      }
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
        ++i;  // the pair's second unit may lie past the piece: its first had room for 6 bytes
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;
      }
      if (c < 0x800) {
        *at++ = static_cast<char>(0xC0 | (c >> 6));
      } else if (c < 0x10000) {
        *at++ = static_cast<char>(0xE0 | (c >> 12));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      } else {
        *at++ = static_cast<char>(0xF0 | (c >> 18));
        *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      }
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    Advance(at);
  }
}

// Runs a printer over the buffer and hands its text to the stream, also when it fails.
template <class Print>
void PrintBuffered(std::ostream& out, Print print) {
  TOutputBuffer buffer(out);
  try {
    print(buffer);
  } catch (...) {
    try {
      buffer.Flush();
    } catch (...) {  // the printer's own error is the one to report
    }
    throw;
  }
  buffer.Flush();
}

// Depth-first walk without recursion: calls enter(node, depth) before a node's children and
// leave(node, depth) after them.
template <class Enter, class Leave>
void Walk(TSwTreeNode* root, Enter enter, Leave leave) {
  if (!root) return;
  struct TFrame {
    TSwTreeNode* Node;
    int Next;
  };
  std::vector<TFrame> stack;
  enter(root, 0);
  stack.push_back({root, 0});
  while (!stack.empty()) {
    TFrame& top = stack.back();
    if (top.Next < top.Node->ChildCount()) {
      TSwTreeNode* child = top.Node->Child(top.Next++);
      enter(child, static_cast<int>(stack.size()));
      stack.push_back({child, 0});
      continue;
    }
    TSwTreeNode* done = top.Node;
    stack.pop_back();
    leave(done, static_cast<int>(stack.size()));
  }
}

// The names of a placed node's ranges: the local three, then their Global counterparts in the
// same order.
constexpr int kRangeNameCount = 6;
const std::array<TSwName, kRangeNameCount>& RangeNames() {
  static const std::array<TSwName, kRangeNameCount> names = {
      TSwName(u"start"), TSwName(u"inner"), TSwName(u"end"),
      TSwName(u"startGlobal"), TSwName(u"innerGlobal"), TSwName(u"endGlobal")};
  return names;
}

// Which of the range names a property name is, or -1.
int RangeNameIndex(const TSwName& name) {
  const auto& names = RangeNames();
  for (int i = 0; i < kRangeNameCount; ++i)
    if (names[static_cast<size_t>(i)] == name) return i;
  return -1;
}

// Reads a node's properties by index without copying the values of a bag, whose text or raw
// bytes may be hundreds of megabytes.
class TPropertyReader {
 public:
  explicit TPropertyReader(TSwTreeNode* node)
      : mNode(node), mBag(node->HasPropertyBag() ? node->PropertiesIfAny() : nullptr) {}
  int Count() const { return mNode->PropertyCount(); }
  TSwName Name(int index) const { return mNode->PropertyName(index); }
  const TSwValue& Value(int index) {
    if (mBag) return mBag->Property(index)->Value();
    mScratch = mNode->PropertyValue(index);
    return mScratch;
  }

 private:
  TSwTreeNode* mNode;
  TSwProperties* mBag;
  TSwValue mScratch;
};

}  // namespace

bool SwIsRangeValue(const TSwValue& value) { return (value.Kinds & kRangeKinds) == kRangeKinds; }

TSwNodeExtent SwNodeExtent(TSwTreeNode* node) {
  if (!node || node->PropertyCount() == 0) return {};
  // Ranges are read only as far as needed: the text form asks this of every node.
  TPropertyReader reader(node);
  const bool bag = node->HasPropertyBag();
  std::array<int, kRangeNameCount> found;  // property index by RangeNames() index, -1 where absent
  found.fill(-1);
  if (!bag)
    for (int i = 0, count = reader.Count(); i < count; ++i)
      if (int which = RangeNameIndex(reader.Name(i)); which >= 0) found[static_cast<size_t>(which)] = i;
  TSwValue looked;
  auto range = [&](int which) -> const TSwValue* {
    // A bag is asked by name: its listeners may supply values it does not hold.
    if (bag) return node->FindValue(RangeNames()[static_cast<size_t>(which)], looked) ? &looked : nullptr;
    const int index = found[static_cast<size_t>(which)];
    return index >= 0 ? &reader.Value(index) : nullptr;
  };
  // The Global ranges, or the local ones when the node has no Global ones.
  for (int first : {3, 0}) {
    TSwNodeExtent extent;
    for (int i = first; i < first + 3; ++i) {
      const TSwValue* value = range(i);
      if (!value || !SwIsRangeValue(*value)) continue;
      int64_t start = value->Int, end = value->Int + std::max<int64_t>(RangeLength(*value), 0);
      if (extent.IsEmpty()) {
        extent = {start, end, value->Has(ltObj) ? value->Obj : nullptr};
      } else {
        extent.Start = std::min(extent.Start, start);
        extent.End = std::max(extent.End, end);
      }
    }
    if (!extent.IsEmpty()) return extent;
  }
  return {};
}

void SwWriteTextTree(std::ostream& out, TSwTreeNode* root, const TSwRangeReader& reader,
                     const TSwTextTreeOptions& options) {
  const bool previews = reader && options.PreviewBytes > 0;
  std::vector<char> preview(previews ? static_cast<size_t>(options.PreviewBytes) : 0);
  PrintBuffered(out, [&](TOutputBuffer& buffer) {
    Walk(
        root,
        [&](TSwTreeNode* node, int depth) {
          buffer.PutRepeated(' ', static_cast<size_t>(depth) * 2);
          if (node->Name().empty()) {
            buffer.Put("<unnamed>");
          } else {
            buffer.PutText(node->Name(), false);
          }
          TSwNodeExtent extent = SwNodeExtent(node);
          if (!extent.IsEmpty()) {
            buffer.Put("  ");
            buffer.PutHex(static_cast<uint64_t>(extent.Start), 4);
            buffer.Put("..");
            buffer.PutHex(static_cast<uint64_t>(extent.End), 4);
            buffer.Put("  ");
            buffer.PutInt(extent.Length());
            if (previews && extent.Length() > 0 && extent.Stream) {
              int64_t count = reader(extent.Stream, extent.Start, preview.data(),
                                     std::min<int64_t>(options.PreviewBytes, extent.Length()));
              buffer.Put("  \"");
              for (int64_t i = 0; i < count; ++i) {
                auto byte = static_cast<unsigned char>(preview[static_cast<size_t>(i)]);
                buffer.Put(byte >= 32 && byte < 127 ? static_cast<char>(byte) : '.');
              }
              buffer.Put('"');
              if (extent.Length() > options.PreviewBytes) buffer.Put("...");
            }
          }
          buffer.Put('\n');
        },
        [](TSwTreeNode*, int) {});
  });
}

namespace {

void PutJsonValue(TOutputBuffer& buffer, const TSwValue& value) {
  if (SwIsRangeValue(value)) {
    buffer.Put("{\"offset\":");
    buffer.PutInt(value.Int);
    buffer.Put(",\"length\":");
    buffer.PutInt(RangeLength(value));
    buffer.Put('}');
    return;
  }
  bool first = true;
  auto field = [&](std::string_view name) {
    buffer.Put(first ? "\"" : ",\"");
    buffer.Put(name);
    buffer.Put("\":");
    first = false;
  };
  buffer.Put('{');
  if (value.Has(ltStr)) {
    field("str");
    buffer.Put('"');
    buffer.PutText(value.Text(), true);
    buffer.Put('"');
  }
  if (value.Has(ltRaw)) {
    field("raw");
    buffer.Put('"');
    buffer.PutHexBytes(value.Raw());
    buffer.Put('"');
  }
  if (value.Has(ltBool)) {
    field("bool");
    buffer.Put(value.Bool ? "true" : "false");
  }
  if (value.Has(ltInt)) {
    field("int");
    buffer.PutInt(value.Int);
  }
  // Fractions and class names are rare in trees: the JSON library formats them.
  if (value.Has(ltFrac)) {
    field("frac");
    buffer.Put(nlohmann::json(value.Frac).dump());
  }
  if (value.Has(ltObj)) {
    field("obj");
    buffer.Put(JsonString(value.Obj ? value.Obj->ClassName() : std::string("<nil object>")));
  }
  buffer.Put('}');
}

// Whether the property is a range the options leave out: one of the side they drop whose
// counterpart on the node is a range of the same offset and length.
bool IsLeftOut(TPropertyReader& properties, int index, TSwJsonRanges ranges) {
  if (ranges == TSwJsonRanges::All) return false;
  const int which = RangeNameIndex(properties.Name(index));
  const bool dropsGlobal = ranges == TSwJsonRanges::Local;
  if (which < 0 || (which >= 3) != dropsGlobal) return false;
  const TSwValue& value = properties.Value(index);
  if (!SwIsRangeValue(value)) return false;
  const int64_t offset = value.Int, length = RangeLength(value);
  const TSwName& counterpart = RangeNames()[static_cast<size_t>(dropsGlobal ? which - 3 : which + 3)];
  for (int i = 0; i < properties.Count(); ++i) {
    if (!(properties.Name(i) == counterpart)) continue;
    const TSwValue& other = properties.Value(i);
    return SwIsRangeValue(other) && other.Int == offset && RangeLength(other) == length;
  }
  return false;
}

}  // namespace

void SwWriteJsonValue(std::ostream& out, const TSwValue& value) {
  PrintBuffered(out, [&](TOutputBuffer& buffer) { PutJsonValue(buffer, value); });
}

std::string SwJsonValue(const TSwValue& value) {
  std::ostringstream out;
  SwWriteJsonValue(out, value);
  return out.str();
}

void SwWriteJsonTree(std::ostream& out, TSwTreeNode* root, const TSwJsonTreeOptions& options) {
  std::vector<bool> wroteChild;  // per open node: whether a child has been written yet
  PrintBuffered(out, [&](TOutputBuffer& buffer) {
    Walk(
        root,
        [&](TSwTreeNode* node, int depth) {
          if (depth > 0) {
            if (wroteChild.back()) buffer.Put(',');
            wroteChild.back() = true;
          }
          buffer.Put("{\"name\":\"");
          buffer.PutText(node->Name(), true);
          buffer.Put("\",\"props\":{");
          TPropertyReader properties(node);
          bool first = true;
          for (int i = 0; i < properties.Count(); ++i) {
            if (IsLeftOut(properties, i, options.Ranges)) continue;
            if (!first) buffer.Put(',');
            first = false;
            buffer.Put('"');
            buffer.PutText(properties.Name(i).Text(), true);
            buffer.Put("\":");
            PutJsonValue(buffer, properties.Value(i));
          }
          buffer.Put("},\"children\":[");
          wroteChild.push_back(false);
        },
        [&](TSwTreeNode*, int) {
          wroteChild.pop_back();
          buffer.Put("]}");
        });
    buffer.Put('\n');
  });
}

}  // namespace skeinwork
