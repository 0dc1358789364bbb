// Text and JSON printing of trees for the command-line program.
#include "SwTreeOutput.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
#include <vector>

namespace skeinwork {

namespace {

constexpr TSwTypes kRangeKinds = SwKind(ltInt) | SwKind(ltFrac) | SwKind(ltSlice);

int64_t RangeLength(const TSwValue& value) { return static_cast<int64_t>(value.Frac); }

// A JSON string literal; text that is not valid UTF-8 gets replacement characters.
std::string JsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Hex(const RawByteString& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

std::string NodeName(const TSwTreeNode* node) {
  return node->Name().empty() ? std::string("<unnamed>") : WideToUtf8(node->Name());
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

}  // namespace

bool SwIsRangeValue(const TSwValue& value) { return (value.Kinds & kRangeKinds) == kRangeKinds; }

TSwNodeExtent SwNodeExtent(TSwTreeNode* node) {
  TSwNodeExtent extent;
  if (!node || node->PropertyCount() == 0) return extent;
  static const char16_t* const kGlobal[] = {u"startGlobal", u"innerGlobal", u"endGlobal"};
  static const char16_t* const kLocal[] = {u"start", u"inner", u"end"};
  for (const auto* names : {kGlobal, kLocal}) {
    for (int i = 0; i < 3; ++i) {
      TSwValue value;
      if (!node->FindValue(names[i], value) || !SwIsRangeValue(value)) continue;
      int64_t start = value.Int, end = value.Int + std::max<int64_t>(RangeLength(value), 0);
      if (extent.IsEmpty()) {
        extent = {start, end, value.Has(ltObj) ? value.Obj : nullptr};
      } else {
        extent.Start = std::min(extent.Start, start);
        extent.End = std::max(extent.End, end);
      }
    }
    if (!extent.IsEmpty()) break;
  }
  return extent;
}

void SwWriteTextTree(std::ostream& out, TSwTreeNode* root, const TSwRangeReader& reader,
                     const TSwTextTreeOptions& options) {
  std::string line;
  Walk(
      root,
      [&](TSwTreeNode* node, int depth) {
        line.assign(static_cast<size_t>(depth) * 2, ' ');
        line += NodeName(node);
        TSwNodeExtent extent = SwNodeExtent(node);
        if (!extent.IsEmpty()) {
          line += fmt::sprintf("  %04llX..%04llX  %lld", static_cast<long long>(extent.Start),
                               static_cast<long long>(extent.End), static_cast<long long>(extent.Length()));
          if (reader && options.PreviewBytes > 0 && extent.Length() > 0 && extent.Stream) {
            RawByteString bytes =
                reader(extent.Stream, extent.Start, std::min<int64_t>(options.PreviewBytes, extent.Length()));
            line += "  \"";
            for (unsigned char byte : bytes) line += byte >= 32 && byte < 127 ? static_cast<char>(byte) : '.';
            line += '"';
            if (extent.Length() > options.PreviewBytes) line += "...";
          }
        }
        line += '\n';
        out << line;
      },
      [](TSwTreeNode*, int) {});
}

namespace {

constexpr size_t kJsonPiece = 65536;  // characters or bytes converted at a time

// A JSON string of the text, converted and escaped piece by piece.
void WriteJsonText(std::ostream& out, std::u16string_view text) {
  out << '"';
  while (!text.empty()) {
    size_t piece = std::min(text.size(), kJsonPiece);
    // A surrogate pair stays in one piece.
    if (piece < text.size() && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
    std::string quoted = JsonString(WideToUtf8(text.substr(0, piece)));
    out.write(quoted.data() + 1, static_cast<std::streamsize>(quoted.size() - 2));
    text.remove_prefix(piece);
  }
  out << '"';
}

void WriteHex(std::ostream& out, std::string_view bytes) {
  out << '"';
  while (!bytes.empty()) {
    size_t piece = std::min(bytes.size(), kJsonPiece);
    out << Hex(RawByteString(bytes.substr(0, piece)));
    bytes.remove_prefix(piece);
  }
  out << '"';
}

}  // namespace

void SwWriteJsonValue(std::ostream& out, const TSwValue& value) {
  if (SwIsRangeValue(value)) {
    out << fmt::format("{{\"offset\":{},\"length\":{}}}", value.Int, RangeLength(value));
    return;
  }
  bool first = true;
  auto field = [&](const char* name) {
    out << (first ? "\"" : ",\"") << name << "\":";
    first = false;
  };
  out << '{';
  if (value.Has(ltStr)) {
    field("str");
    WriteJsonText(out, value.Text());
  }
  if (value.Has(ltRaw)) {
    field("raw");
    WriteHex(out, value.Raw());
  }
  if (value.Has(ltBool)) {
    field("bool");
    out << (value.Bool ? "true" : "false");
  }
  if (value.Has(ltInt)) {
    field("int");
    out << value.Int;
  }
  if (value.Has(ltFrac)) {
    field("frac");
    out << nlohmann::json(value.Frac).dump();
  }
  if (value.Has(ltObj)) {
    field("obj");
    out << JsonString(value.Obj ? value.Obj->ClassName() : std::string("<nil object>"));
  }
  out << '}';
}

std::string SwJsonValue(const TSwValue& value) {
  std::ostringstream out;
  SwWriteJsonValue(out, value);
  return out.str();
}

void SwWriteJsonTree(std::ostream& out, TSwTreeNode* root) {
  std::vector<bool> wroteChild;  // per open node: whether a child has been written yet
  std::string text;
  Walk(
      root,
      [&](TSwTreeNode* node, int depth) {
        text.clear();
        if (depth > 0) {
          if (wroteChild.back()) text += ',';
          wroteChild.back() = true;
        }
        text += "{\"name\":" + JsonString(WideToUtf8(node->Name())) + ",\"props\":{";
        out << text;
        // Values are written straight from the bag, never copied: one may be hundreds of MB.
        TSwProperties* bag = node->HasPropertyBag() ? node->PropertiesIfAny() : nullptr;
        for (int i = 0; i < node->PropertyCount(); ++i) {
          if (i) out << ',';
          out << JsonString(WideToUtf8(node->PropertyName(i).Text())) << ':';
          if (bag) {
            SwWriteJsonValue(out, bag->Property(i)->Value());
          } else {
            SwWriteJsonValue(out, node->PropertyValue(i));
          }
        }
        out << "},\"children\":[";
        wroteChild.push_back(false);
      },
      [&](TSwTreeNode*, int) {
        wroteChild.pop_back();
        out << "]}";
      });
  out << '\n';
}

}  // namespace skeinwork
