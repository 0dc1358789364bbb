#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <bit>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "SwStreamers.h"
#include "SwTestSupport.h"
#include "SwTreeDump.h"

namespace skeinwork {
namespace {

const std::string kSignature = "Skeinwork Tree.TSwBaseBinaryStreamer.TSwBinaryStreamer";
constexpr size_t kChecksumAt = 54 + 3;
constexpr size_t kPayloadAt = kChecksumAt + 4;

std::string Hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) out += SwFormat(out.empty() ? "%.2X" : " %.2X", static_cast<int>(c));
  return out;
}

// The value as the test wants to compare it: every field its kinds make meaningful, exactly.
std::string ValueText(const TSwValue& v) {
  std::string out = SwFormat("k%X", v.Kinds);
  if (v.Has(ltStr)) out += " s'" + WideToUtf8(v.Text()) + "'";
  if (v.Has(ltRaw)) out += " r<" + Hex(v.Raw()) + ">";
  if (v.Has(ltBool)) out += v.Bool ? " T" : " F";
  if (v.Has(ltInt)) out += SwFormat(" i%d", v.Int);
  if (v.Has(ltFrac)) out += SwFormat(" f%.17g", v.Frac);
  return out;
}

// "name{prop=value;...}(child,child)".
std::string Dump(const TSwTreeNode& node) {
  auto label = [](const TSwTreeNode& n) {
    std::string out = WideToUtf8(n.Name());
    if (TSwProperties* bag = n.PropertiesIfAny(); bag && bag->Count()) {
      out += "{";
      for (int i = 0; i < bag->Count(); ++i)
        out += (i ? ";" : "") + WideToUtf8(bag->Property(i)->Name()) + "=" + ValueText(bag->Property(i)->Value());
      out += "}";
    }
    return out;
  };
  return DumpTree(&node, {label, "(", ",", ")"});
}

// Collects every error it is handed and lets the operation go on.
struct TValueLog {
  std::vector<std::string> Messages;
  std::vector<TSwValue> Values;  // of TSwStreamingObjectValue
  void Handle(TSwObject*, const ESkeinwork& error) {
    Messages.push_back(error.Message());
    if (auto* objectError = dynamic_cast<const TSwStreamingObjectValue*>(&error)) Values.push_back(objectError->Value);
  }
  TSwErrorHandler Handler() { return TSwErrorHandler::Of<&TValueLog::Handle>(this); }
};

std::string Save(TSwTreeNode& root, bool compressed = false, TValueLog* collector = nullptr) {
  TSwBinaryStreamer streamer;
  if (collector) streamer.SetErrorHandler(collector->Handler());
  if (compressed) streamer.Container().SetFlags(TStreamer::FlagCompressed | TStreamer::FlagChecksummed);
  TStringStream stream;
  streamer.Write(stream, &root);
  return stream.DataString();
}

std::unique_ptr<TSwTreeNode> Load(const std::string& bytes, TValueLog* collector = nullptr) {
  TSwBinaryStreamer streamer;
  if (collector) streamer.SetErrorHandler(collector->Handler());
  return streamer.Read(std::make_unique<TStringStream>(bytes));
}

// The message of whatever the call throws, or "" when it returns.
template <class F>
std::string ErrorOf(F&& call) {
  try {
    call();
    return "";
  } catch (const ESkeinwork& e) { return e.Message(); }
  catch (const EStreamer& e) { return e.Message(); }
}

// Builds payloads field by field.
struct TPayload {
  std::string Data;
  TPayload& U8(uint8_t v) { Data += static_cast<char>(v); return *this; }
  TPayload& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  TPayload& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  TPayload& Dbl(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    return U32(static_cast<uint32_t>(bits)).U32(static_cast<uint32_t>(bits >> 32));
  }
  TPayload& Str(std::u16string_view text) {
    U32(static_cast<uint32_t>(text.size() * 2));
    for (char16_t c : text) U16(c);
    return *this;
  }
  TPayload& Node(int32_t depth, int32_t index, std::u16string_view name, uint32_t properties) {
    return U32(0xC5240192).U32(static_cast<uint32_t>(depth)).U32(static_cast<uint32_t>(index)).Str(name).U32(properties);
  }
  TPayload& Eos() { return U32(0x351849F7); }
};

// Sets the container's checksum to match its bytes.
void FixChecksum(std::string& file) {
  for (size_t i = 0; i < 4; ++i) file[kChecksumAt + i] = 0;
  uint32_t adler = static_cast<uint32_t>(adler32(0, reinterpret_cast<const Bytef*>(file.data()), static_cast<uInt>(file.size())));
  for (size_t i = 0; i < 4; ++i) file[kChecksumAt + i] = static_cast<char>(adler >> (8 * i));
}

std::string File(const std::string& payload, uint16_t version = 0x004F) {
  std::string file = kSignature + static_cast<char>(version & 0xFF) + static_cast<char>(version >> 8) + '\x02' +
                     std::string(4, '\0') + payload;
  FixChecksum(file);
  return file;
}

TEST(BinaryStreamer, ExactBytesOfSmallFiles) {
  // The format's reference: header (signature, version 0.79, flags 2), Adler-32 from 0, node
  // record, property record, end-of-stream marker.
  struct Row { const char* what; std::function<void(TSwTreeNode&)> build; std::string checksumAndPayload; };
  const Row rows[] = {
      {"bare root", [](TSwTreeNode&) {}, "96 20 0D 2B "
       "92 01 24 C5 FF FF FF FF FF FF FF FF 02 00 00 00 72 00 00 00 00 00 00 00 00 00 F7 49 18 35"},
      {"integer and fraction, one child", [](TSwTreeNode& r) {
         TSwValue v = TSwValue::OfInt(7);
         v.Kinds |= SwKind(ltFrac);
         v.Frac = 7.5;
         r.Properties().AddValue(u"n", v);
         r.AddChild(u"c");
       }, "66 23 81 17 "
       "92 01 24 C5 FF FF FF FF FF FF FF FF 02 00 00 00 72 00 01 00 00 00 "
       "02 00 00 00 6E 00 18 00 07 00 00 00 00 00 00 00 00 00 1E 40 "
       "01 00 00 00 "
       "92 01 24 C5 00 00 00 00 00 00 00 00 02 00 00 00 63 00 00 00 00 00 00 00 00 00 "
       "F7 49 18 35"},
  };
  for (const Row& row : rows) {
    TSwTreeNode root(u"r");
    row.build(root);
    std::string file = Save(root);
    ASSERT_GT(file.size(), kChecksumAt) << row.what;
    EXPECT_EQ(file.substr(0, 54), kSignature) << row.what;
    EXPECT_EQ(Hex(file.substr(54, 3)), "4F 00 02") << row.what;
    EXPECT_EQ(Hex(file.substr(kChecksumAt)), row.checksumAndPayload) << row.what;
  }
}

TEST(BinaryStreamer, RoundTripsEveryValueKind) {
  auto withFrac = [](TSwValue v, double f) { v.Kinds |= SwKind(ltFrac); v.Frac = f; return v; };
  TSwValue all = TSwValue::OfText(u"x\u00e9\U0001F600");
  all.SetRaw(std::string("\0\xFF", 2));
  all.Bool = true;
  all.Int = -5;
  all.Frac = 1e300;
  all.Kinds = 0x1F;
  struct Row { const char* what; std::vector<std::pair<const char16_t*, TSwValue>> properties; std::string dump; };
  const Row rows[] = {
      {"text", {{u"t", TSwValue::OfText(u"h\u00e9llo \U0001F600")}, {u"e", TSwValue::OfText(u"")}},
       "n{e=k1 s'';t=k1 s'h\u00e9llo \U0001F600'}"},
      {"raw", {{u"r", TSwValue::OfRaw(std::string("a\0\x80", 3))}, {u"z", TSwValue::OfRaw("")}},
       "n{r=k2 r<61 00 80>;z=k2 r<>}"},
      {"Boolean", {{u"b", TSwValue::OfBool(true)}, {u"c", TSwValue::OfBool(false)}}, "n{b=k4 T;c=k4 F}"},
      {"integer",
       {{u"a", TSwValue::OfInt(std::numeric_limits<int32_t>::min())},
        {u"b", TSwValue::OfInt(std::numeric_limits<int32_t>::max())}}, "n{a=k8 i-2147483648;b=k8 i2147483647}"},
      {"fraction", {{u"f", withFrac({}, -0.1)}}, "n{f=k10 f-0.10000000000000001}"},
      {"integer and fraction", {{u"x", withFrac(TSwValue::OfInt(3), 3.25)}}, "n{x=k18 i3 f3.25}"},
      {"every storable kind", {{u"all", all}},
       "n{all=k1F s'x\u00e9\U0001F600' r<00 FF> T i-5 f1.0000000000000001e+300}"},
      {"slice bit without object", {{u"s", [] { TSwValue v = TSwValue::OfSlice(9, 4, nullptr); v.Kinds = 0x58; return v; }()}},
       "n{s=k58 i9 f4}"},
  };
  for (bool compressed : {false, true}) {
    for (const Row& row : rows) {
      TSwTreeNode root(u"");
      TSwTreeNode* node = root.AddChild(u"n");
      for (const auto& [name, value] : row.properties) node->Properties().AddValue(name, value);
      std::string file = Save(root, compressed);
      auto read = Load(file);
      EXPECT_EQ(Dump(*read), "(" + row.dump + ")") << row.what << (compressed ? " (compressed)" : "");
    }
  }
}

TEST(BinaryStreamer, RoundTripsShapesAndReportsCapabilities) {
  TSwTreeNode root(u"root");
  TSwTreeNode* a = root.AddChild(u"a");
  a->AddChild(u"x")->AddChild(u"deep")->Properties().AddValue(u"v", TSwValue::OfInt(1));
  a->AddChild(u"x");
  root.AddChild(u"a");
  root.AddChild(u"\u0161\u010d");
  const std::string dump = "root(a(x(deep{v=k8 i1}),x),a,\u0161\u010d)";
  ASSERT_EQ(Dump(root), dump);

  struct Row { bool compressed; std::string capabilities; };
  const Row rows[] = {
      {false, "lsRead, lsWrite, lsChecksum, lsBinary, lsUnambiguous"},
      {true, "lsRead, lsWrite, lsCompressed, lsChecksum, lsBinary, lsUnambiguous"},
  };
  EXPECT_EQ(SwCapabilitiesText(TSwBinaryStreamer().Capabilities()), rows[1].capabilities);
  for (const Row& row : rows) {
    TSwBinaryStreamer writer;
    if (row.compressed) writer.Container().SetFlags(3);
    // The container need not start the stream.
    TStringStream stream("lead");
    stream.Seek(0, TSeekOrigin::End);
    writer.Write(stream, &root);
    EXPECT_EQ(SwCapabilitiesText(writer.Capabilities()), row.capabilities);

    TSwBinaryStreamer reader;
    auto held = std::make_unique<TStringStream>(stream.DataString());
    held->SetPosition(4);
    auto read = reader.Read(std::move(held));
    EXPECT_EQ(Dump(*read), dump);
    EXPECT_EQ(SwCapabilitiesText(reader.Capabilities()), row.capabilities);
    // After a compressed read the streamer holds the inflated copy, which it hands back.
    std::unique_ptr<TStream> inner = reader.ExtractStream();
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->Size() > static_cast<int64_t>(stream.Size()), row.compressed);
    EXPECT_EQ(inner->Position(), inner->Size());  // just after the end-of-stream marker
  }
}

TEST(BinaryStreamer, SignatureNamesTheClassChainAndContainerChecks) {
  struct TDescribed : TSwBinaryStreamer {
    static const TSwClassInfo& Info() {
      static const TSwClassInfo info{"TDescribed", &TSwBinaryStreamer::ClassInfo()};
      return info;
    }
    const TSwClassInfo& StreamerClass() const override { return Info(); }
  };
  struct TUndescribed : TSwBinaryStreamer {};
  EXPECT_EQ(TSwBinaryStreamer().ContainerSignature(), kSignature);
  EXPECT_EQ(TDescribed().ContainerSignature(), kSignature + ".TDescribed");
  EXPECT_EQ(TUndescribed().ContainerSignature(), kSignature + ".TUndescribed");

  // A file of another class is refused; the container's errors name the streamer. A longer
  // signature that starts with ours meets the version check with the bytes ".T" (v84.46), which
  // is always newer than any version a tree file has.
  TSwTreeNode root(u"r");
  TDescribed other;
  TStringStream theirs;
  other.Write(theirs, &root);
  std::string ours = Save(root);
  TDescribed reader;
  EXPECT_EQ(ErrorOf([&] { reader.Read(std::make_unique<TStringStream>(ours)); }),
            "TDescribed stream must start with signature '" + kSignature + ".TDescribed' but it starts with '" +
                ours.substr(0, 65) + "'.");

  // The container's other checks over a tree file.
  const std::string payload = TPayload().Node(-1, -1, u"r", 0).U32(0).Eos().Data;
  std::string spoilt = File(payload);
  spoilt[kPayloadAt + 14] = 's';
  std::string repaired = spoilt;
  FixChecksum(repaired);
  const std::pair<std::string, std::string> rows[] = {
      {theirs.DataString(),
       "Attempted to load TSwBinaryStreamer stream of unsupported version (v84.46) - current version is v0.79."},
      {File(payload, 0x004E), ""},  // an older version
      {spoilt, SwFormat("TSwBinaryStreamer stream checksum (%.8X) is wrong - expected %.8X.",
                        Le32(repaired, kChecksumAt), Le32(spoilt, kChecksumAt))},
      {File(""), "Attempted to TSwBinaryStreamer.DoRead on exhausted stream."},
  };
  for (const auto& [file, message] : rows) EXPECT_EQ(ErrorOf([&] { Load(file); }), message);
}

TEST(BinaryStreamer, ReadingErrorsWithAndWithoutHandler) {
  auto root = [] { return TPayload().Node(-1, -1, u"r", 0); };
  auto head = [] { return TPayload().U32(0xC5240192).U32(-1).U32(-1); };
  auto prop = [](TPayload p, uint16_t kinds) { return p.Str(u"p").U16(kinds); };
  // message: raised without a handler; reported: handed to a handler that lets reading go on ({} for {message});
  // dump: the tree read then, or none where a handler cannot make reading go on.
  struct Row { const char* what; std::string payload, message; std::vector<std::string> reported = {}; std::string dump = {}; };
  const Row rows[] = {
      {"node prefix", TPayload().U32(0xC5240193).U32(-1).U32(-1).Str(u"r").U32(0).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (node prefix) - read C5240193, expected C5240192.", {}, "r"},
      {"root depth", TPayload().Node(0, -1, u"r", 0).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (node depth) - read 0, expected FFFFFFFF.", {}, "r"},
      {"child depth and index", root().U32(2).Node(0, 0, u"a", 0).U32(0).Node(3, 5, u"b", 0).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (node depth) - read 3, expected 0.",
       {"TSwBinaryStreamer met unexpected input (node depth) - read 3, expected 0.",
        "TSwBinaryStreamer met unexpected input (node index) - read 5, expected 1."}, "r(a,b)"},
      {"index not the child count", root().U32(1).Node(0, 1, u"a", 0).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (node index) - read 1, expected 0.", {}, "r(a)"},
      {"object kind", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 0x78).U32(4).Dbl(8).U32(0).Eos().Data,
       "TSwBinaryStreamer encountered bad TSwValue type (5).", {}, "r{p=k58 i4 f8}"},
      {"unknown kinds", TPayload().Node(-1, -1, u"r", 2).Data + prop({}, 0x8001).Str(u"t").Data +
                            prop({}, 0x0180).U32(0).Eos().Data, "TSwBinaryStreamer encountered bad TSwValue type (15).",
       {"TSwBinaryStreamer encountered bad TSwValue type (15).", "TSwBinaryStreamer encountered bad TSwValue type (7).",
        "Attempted to add a null property 'p' to TSwProperties."}, "r{p=k1 s't'}"},
      {"null kinds", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 0).U32(0).Eos().Data,
       "Attempted to add a null property 'p' to TSwProperties.", {}, "r"},
      // Ranges that no stream has: their numbers stay, without the range kind.
      {"NaN length", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 0x58).U32(4).Dbl(NAN).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (stream range) - offset 4, length nan.", {}, "r{p=k18 i4 fnan}"},
      {"huge length", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 0x58).U32(0).Dbl(1e300).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (stream range) - offset 0, length 1e+300.", {},
       "r{p=k18 i0 f1.0000000000000001e+300}"},
      {"negative offset", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 0x58).U32(-2).Dbl(1).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (stream range) - offset -2, length 1.", {}, "r{p=k18 i-2 f1}"},
      {"Boolean byte", TPayload().Node(-1, -1, u"r", 1).Data + prop({}, 4).U8(2).U32(0).Eos().Data,
       "TSwBinaryStreamer met unexpected input (Boolean value) - read 2, expected 1.", {}, "r{p=k4 T}"},
      {"bad property name", TPayload().Node(-1, -1, u"r", 1).Str(u"a\u0001b").U16(8).U32(1).U32(0).Eos().Data,
       "Attempted to add bad key 'a\u0001b' to TSwProperties (contains prohibited symbol $01).", {}, "r"},
      {"wrong marker", root().U32(0).U32(0x351849F6).Data,
       "TSwBinaryStreamer's stream ends on invalid EOS marker (351849F6) - expected 351849F7.", {}, "r"},
      {"short marker", root().U32(0).U16(0x49F7).Data,
       "TSwBinaryStreamer's stream ends on invalid EOS marker (000049F7) - expected 351849F7.", {}, "r"},
      {"no marker", root().U32(0).Data,
       "TSwBinaryStreamer's stream ends on invalid EOS marker (00000000) - expected 351849F7.", {}, "r"},
      // Strings too long for what is left, and cut records, end reading.
      {"too long name", head().U32(0x10000000).Data,
       "TSwBinaryStreamer encountered too long string of length 268435456 (268435455 max)."},
      {"longest name, not there", head().U32(0x0FFFFFFE).Data,
       "TSwBinaryStreamer encountered a string of 268435454 bytes where only 0 bytes are left."},
      {"name one character longer than what is left", head().U32(6).U16('r').U16('s').Data,
       "TSwBinaryStreamer encountered a string of 6 bytes where only 4 bytes are left."},
      {"name exactly what is left", head().U32(4).U16('r').U16('s').Data, "Stream read error"},
      {"odd length", head().U32(3).U8('r').U16(0).Data,
       "TSwBinaryStreamer encountered a string with byte length (3) uneven to char size (2)."},
      {"odd and too long", head().U32(0xFFFFFFFF).Data,
       "TSwBinaryStreamer encountered too long string of length 4294967295 (268435455 max)."},
      {"cut in the prefix", TPayload().U16(0x0192).Data, "Stream read error"},
      {"cut in the name", head().U32(4).U16('r').Data,
       "TSwBinaryStreamer encountered a string of 4 bytes where only 2 bytes are left."},
      {"huge property count", TPayload().Node(-1, -1, u"r", 0xFFFFFFFF).Str(u"p").U16(1).Str(u"v").Data,
       "Stream read error"},
      {"huge child count", TPayload().Node(-1, -1, u"r", 0).U32(0xFFFFFFFF).Node(0, 0, u"c", 0).U32(0).Data,
       "Stream read error"},
      {"bad child name", TPayload().Node(-1, -1, u"r", 0).U32(1).Node(0, 0, u"a\u0001", 0).U32(0).Eos().Data,
       "Attempted to add bad key 'a\u0001' to TSwTreeNodeChildren (contains prohibited symbol $01)."},
      {"huge raw count", TPayload().Node(-1, -1, u"r", 1).Str(u"p").U16(2).U32(0xFFFFFFF0).U32(0).Eos().Data,
       "TSwBinaryStreamer encountered raw data of 4294967280 bytes where only 8 bytes are left."},
      {"raw count one over what is left", TPayload().Node(-1, -1, u"r", 1).Str(u"p").U16(2).U32(9).U32(0).Eos().Data,
       "TSwBinaryStreamer encountered raw data of 9 bytes where only 8 bytes are left."},
      {"raw count exactly what is left", TPayload().Node(-1, -1, u"r", 1).Str(u"p").U16(2).U32(8).U32(0).Eos().Data,
       "Stream read error"},
  };
  for (const Row& row : rows) {
    std::string file = File(row.payload);
    EXPECT_EQ(ErrorOf([&] { Load(file); }), row.message) << row.what;
    TValueLog collector;
    std::unique_ptr<TSwTreeNode> tree;
    EXPECT_EQ(ErrorOf([&] { tree = Load(file, &collector); }), row.dump.empty() ? row.message : "") << row.what;
    if (row.dump.empty()) continue;
    EXPECT_EQ(collector.Messages, row.reported.empty() ? std::vector<std::string>{row.message} : row.reported)
        << row.what;
    ASSERT_NE(tree, nullptr) << row.what;
    EXPECT_EQ(Dump(*tree), row.dump) << row.what;
  }
}

TEST(BinaryStreamer, SlicesStoreOffsetAndLengthButNotTheirStream) {
  TSwTreeNode stream(u"input");  // any object stands for the stream here
  TSwTreeNode root(u"r");
  root.Properties().AddValue(u"inner", TSwValue::OfSlice(16, 4, &stream));
  root.Properties().AddValue(u"start", TSwValue::OfSlice(10, 6, &stream));

  // Without a handler the write stops at the first slice, after its kinds, offset and length.
  TSwBinaryStreamer writer;
  TStringStream partial;
  EXPECT_EQ(ErrorOf([&] { writer.Write(partial, &root); }), "TSwBinaryStreamer cannot stream TSwValue's with objects.");
  std::string cut = partial.DataString();
  ASSERT_GE(cut.size(), 14u);
  EXPECT_EQ(Hex(cut.substr(cut.size() - 14)), "78 00 10 00 00 00 00 00 00 00 00 00 10 40");

  TValueLog written;
  std::string file = Save(root, false, &written);
  EXPECT_EQ(written.Messages, std::vector<std::string>(2, "TSwBinaryStreamer cannot stream TSwValue's with objects."));
  ASSERT_EQ(written.Values.size(), 2u);
  EXPECT_EQ(written.Values[0].Obj, &stream);
  EXPECT_EQ(written.Values[0].Int, 16);
  EXPECT_EQ(Hex(file.substr(kPayloadAt + 22, 34)),
            "0A 00 00 00 69 00 6E 00 6E 00 65 00 72 00 78 00 10 00 00 00 00 00 00 00 00 00 10 40 "
            "0A 00 00 00 73 00");

  EXPECT_EQ(ErrorOf([&] { Load(file); }), "TSwBinaryStreamer encountered bad TSwValue type (5).");
  TValueLog read;
  auto tree = Load(file, &read);
  EXPECT_EQ(read.Messages, std::vector<std::string>(2, "TSwBinaryStreamer encountered bad TSwValue type (5)."));
  EXPECT_EQ(Dump(*tree), "r{inner=k58 i16 f4;start=k58 i10 f6}");
  EXPECT_FALSE(tree->Properties().Get(u"inner")->Value().IsSlice());  // no stream to read it from

  // Saving a run's result, the writer stores each slice as the offset and length the file keeps,
  // leaving the tree as it is.
  TSwBinaryStreamer ranges;
  ranges.StoreSlicesAsRanges = true;
  TStringStream saved;
  ranges.Write(saved, &root);
  TValueLog none;
  EXPECT_EQ(Dump(*Load(saved.DataString(), &none)), "r{inner=k58 i16 f4;start=k58 i10 f6}");
  EXPECT_TRUE(none.Messages.empty());
  EXPECT_TRUE(root.Properties().Get(u"inner")->Value().IsSlice());
}

TEST(BinaryStreamer, IntegersBeyond32BitsAreReportedNotCut) {
  TSwValue offset = TSwValue::OfSlice(int64_t{3} << 31, 2, nullptr);
  offset.Kinds = SwKind(ltInt) | SwKind(ltFrac);
  struct Row { const char* what; TSwValue value; std::string message, dump; };  // dump: read back after a handler
  const Row rows[] = {
      {"above", TSwValue::OfInt(int64_t{1} << 31),
       "TSwBinaryStreamer cannot store integer 2147483648 of property 'p' in 32 bits.", "r{q=k8 i1}"},
      {"below", TSwValue::OfInt(-(int64_t{1} << 31) - 1),
       "TSwBinaryStreamer cannot store integer -2147483649 of property 'p' in 32 bits.", "r{q=k8 i1}"},
      {"with a fraction", offset, "TSwBinaryStreamer cannot store integer 6442450944 of property 'p' in 32 bits.",
       "r{p=k10 f2;q=k8 i1}"},
  };
  for (const Row& row : rows) {
    TSwTreeNode root(u"r");
    root.Properties().AddValue(u"p", row.value);
    root.Properties().AddValue(u"q", TSwValue::OfInt(1));
    TSwBinaryStreamer writer;
    TStringStream stream;
    EXPECT_EQ(ErrorOf([&] { writer.Write(stream, &root); }), row.message) << row.what;
    TValueLog collector;
    std::string file = Save(root, false, &collector);
    EXPECT_EQ(collector.Messages, std::vector<std::string>{row.message}) << row.what;
    EXPECT_EQ(Dump(*Load(file)), row.dump) << row.what;
  }
}

// Writes its root's subtree and the first child's, in either order.
struct TTwiceStreamer : TSwBinaryStreamer {
  bool ChildFirst = false;
  void WriteTree() override {
    if (!ChildFirst) WriteNodeTree(Root(), -1);
    WriteNodeTree(Root()->Child(0), 0);
    if (ChildFirst) WriteNodeTree(Root(), -1);
  }
};

TEST(BinaryStreamer, RecursiveTreeIsRefused) {
  TSwTreeNode root(u"r");
  root.AddChild(u"kid")->AddChild(u"grandchild");
  // Either the second subtree lies inside the first, or the first inside the second.
  for (bool childFirst : {false, true}) {
    TTwiceStreamer streamer;
    streamer.ChildFirst = childFirst;
    TStringStream stream;
    try {
      streamer.Write(stream, &root);
      ADD_FAILURE() << childFirst;
    } catch (const ESwSerializingRecursiveTree& e) {
      EXPECT_EQ(e.Message(), "Recursive relationship with TTwiceStreamer ('TSwTreeNode') discovered when streaming the tree with.");
      EXPECT_EQ(e.NodeName, u"kid");
    }
  }
  // The written-node list belongs to one operation.
  TSwBinaryStreamer once;
  TStringStream first, second;
  once.Write(first, &root);
  once.Write(second, &root);
  EXPECT_EQ(first.DataString(), second.DataString());
}

TEST(BinaryStreamer, NestingDepthIsBounded) {
  // Depth d nested single children: records at depth -1..d-2.
  auto chain = [](int levels) {
    TPayload p;
    p.Node(-1, -1, u"n", 0).U32(levels > 1 ? 1 : 0);
    for (int d = 0; d < levels - 1; ++d) p.Node(d, 0, u"n", 0).U32(d + 2 < levels ? 1 : 0);
    return p.Eos().Data;
  };
  const int limit = TSwBaseBinaryStreamer::DefaultMaxDepth;
  // Read, and written back the same (the writer keeps its own stack).
  EXPECT_EQ(Save(*Load(File(chain(limit)))), File(chain(limit)));

  const std::string message = SwFormat("TSwBinaryStreamer met a tree nested deeper than %d levels.", limit);
  EXPECT_EQ(ErrorOf([&] { Load(File(chain(limit + 1))); }), message);
  TValueLog collector;
  EXPECT_EQ(ErrorOf([&] { Load(File(chain(200000)), &collector); }), message);
}

// Properties in any order end sorted, the last of a name winning, without shifting the bag at
// every insertion; and a load takes no more memory than its file's size allows.
TEST(BinaryStreamer, PropertyOrderAndLoadMemory) {
  TPayload p;
  p.Node(-1, -1, u"r", 4);
  for (const char16_t* name : {u"c", u"b", u"c", u"a"}) p.Str(name).U16(8).U32(name[0] == u'c' ? 7u : 1u);
  EXPECT_EQ(Dump(*Load(File(p.U32(0).Eos().Data))), "r{a=k8 i1;b=k8 i1;c=k8 i7}");

  TSwTreeNode root(u"r");
  for (int i = 0; i < 2000; ++i) root.AddChild(u"n")->SetValue(u"p", TSwValue::OfText(std::u16string(40, u'x')));
  // Compressed, the payload itself may not inflate beyond the allowance.
  for (bool compressed : {false, true}) {
    TSwBinaryStreamer streamer;
    streamer.SetMaxLoadMemory(100000);
    std::string file = Save(root, compressed);
    EXPECT_EQ(ErrorOf([&] { streamer.Read(std::make_unique<TStringStream>(file)); }),
              compressed ? "Zlib reports compression error ('data inflates beyond 100000 bytes') for TSwBinaryStreamer."
                         : "TSwBinaryStreamer would need more than 100000 bytes of memory to load a tree file of " +
                               std::to_string(file.size()) +
                               " bytes (128 times its size allowed, at least 67108864, at most 100000).");
  }
  EXPECT_EQ(Load(Save(root))->ChildCount(), 2000);  // within the default allowance
}

// Mutates valid files at random: each read must end in a tree or in the system's error. Most
// mutations get their checksum repaired, so that they reach the node records.
TEST(BinaryStreamer, RandomCorruptionEndsInErrorOrTree) {
  TSwTreeNode root(u"root");
  root.Properties().AddValue(u"title", TSwValue::OfText(u"tree"));
  for (int i = 0; i < 6; ++i) {
    TSwTreeNode* child = root.AddChild(i % 2 ? u"odd" : u"even");
    child->Properties().AddValue(u"i", TSwValue::OfInt(i));
    child->Properties().AddValue(u"raw", TSwValue::OfRaw(std::string(static_cast<size_t>(i), 'x')));
    child->Properties().AddValue(u"on", TSwValue::OfBool(i > 2));
    for (int j = 0; j < i; ++j) child->AddChild(u"leaf")->Properties().AddValue(u"j", TSwValue::OfInt(j));
  }
  const std::string files[] = {Save(root), Save(root, true)};

  std::mt19937 random(20240611);
  int trees = 0, errors = 0;
  for (int round = 0; round < 3000; ++round) {
    bool compressed = round % 4 == 3;
    std::string file = files[compressed ? 1 : 0];
    size_t from = compressed ? kChecksumAt : kPayloadAt;
    int mutations = 1 + static_cast<int>(random() % 4);
    for (int m = 0; m < mutations && file.size() > from; ++m) {
      size_t at = from + random() % (file.size() - from);
      switch (random() % 5) {
        case 0: file[at] = static_cast<char>(random()); break;
        case 1: file[at] ^= static_cast<char>(1u << (random() % 8)); break;
        case 2: file.resize(at); break;
        case 3: file.insert(at, 1, static_cast<char>(random())); break;
        case 4:  // a field turned huge
          for (size_t k = at; k < std::min(file.size(), at + 4); ++k) file[k] = static_cast<char>(random() % 2 ? 0xFF : 0x7F);
          break;
      }
    }
    if (!compressed && round % 10 != 0 && file.size() >= kPayloadAt) FixChecksum(file);
    for (bool handled : {false, true}) {
      TValueLog collector;
      std::unique_ptr<TSwTreeNode> tree;
      std::string error = ErrorOf([&] { tree = Load(file, handled ? &collector : nullptr); });
      if (!tree) {
        EXPECT_NE(error, "");  // no tree without an error
        ++errors;
        continue;
      }
      ++trees;
      // A tree read is a whole tree: it writes and reads back to the same dump.
      EXPECT_EQ(Dump(*Load(Save(*tree))), Dump(*tree));
    }
  }
  EXPECT_GT(trees, 100);
  EXPECT_GT(errors, 1000);
}

// Collects the lines it sees; stops at "stop"; complains about "bad N" at position N.
class TCollector : public TSwLineStreamer {
 public:
  std::vector<std::string> Lines;

 protected:
  bool ReadLine() override {
    std::string line = WideToUtf8(CurrentLine());
    if (line == "stop") return false;
    if (line.rfind("bad ", 0) == 0) TextError("odd line", std::stoi(line.substr(4)));
    Lines.push_back(std::to_string(LineNumber()) + ":" + line);
    if (!Root()) SetReadRoot(std::make_unique<TSwTreeNode>(u"root"));
    return true;
  }
};

TEST(TextStreamers, LineBreakDetection) {
  const std::pair<const char16_t*, const char16_t*> rows[] = {
      {u"\nabc", u"\n"}, {u"a\r\nb\nc", u"\r\n"}, {u"a\nb\r\n", u"\n"}, {u"a\rb\rc", u"\r"}, {u"abc", u"\n"},
      {u"\r\nx", u"\r\n"}, {u"\rx\r\n", u"\r\n"}, {u"\r\r", u"\r"}, {u"", u"\n"},
  };
  for (const auto& [text, eoln] : rows) EXPECT_EQ(TSwTextStreamer::DetectLineBreak(text), eoln) << WideToUtf8(text);
}

TEST(TextStreamers, LinesAreCountedTrimmedAndStopped) {
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"a\r\n\r\n  b  \t\r\nstop\r\nc", {"0:a", "2:  b"}}, {"x\n\n\ny\n", {"0:x", "3:y"}},
      {"one\rtwo", {"0:one", "1:two"}},
  };
  for (const auto& [text, lines] : rows) {
    TCollector reader;
    TStringStream stream(text);
    EXPECT_NE(reader.Read(stream), nullptr);
    EXPECT_EQ(reader.Lines, lines);
    EXPECT_EQ(reader.SourceName(), u"<StringStream>");
    // A streamer reads once, and this one only reads.
    ExpectError<ESwReusingStreamer>([&] { reader.Read(stream, u"given"); },
                                    "TCollector is not reusable for reading - create new streamer for each operation.");
    ExpectError<ESwUncapableStreamer>([&] { reader.Write(stream); }, "TCollector is not capable of lsWrite, only of lsRead.");
  }
  TCollector named;
  TStringStream stream("a");
  named.Read(stream, u"given");
  EXPECT_EQ(named.SourceName(), u"given");
  EXPECT_EQ(SwCapabilitiesText(0), "<none>");
}

TEST(TextStreamers, ParseErrorsShowWhereAndNearby) {
  const std::pair<const char*, std::string> rows[] = {
      {"bad -1", "Problem parsing string with TCollector (odd line) on line 2; text nearby: 'bad -1'."},
      {"bad 1", "Problem parsing string with TCollector (odd line) on line 2, 'b'; text nearby: 'bad 1'."},
      {"bad 5 and then a rather long tail", "Problem parsing string with TCollector (odd line) on line 2, '5'; "
                                            "text nearby: 'bad *ERROR*5 and then a rather ...'."},
      {"bad 99", "Problem parsing string with TCollector (odd line) on line 2, <end>; text nearby: 'bad 99*ERROR*'."},
      {"bad 14 0123456789", "Problem parsing string with TCollector (odd line) on line 2, '6'; "
                           "text nearby: ' 14 012345*ERROR*6789'."},
  };
  for (const auto& [line, message] : rows) {
    TCollector reader;
    TStringStream stream(std::string("ok\n") + line);
    try { reader.Read(stream); ADD_FAILURE() << line; }
    catch (const ESwBadTextStreaming& e) { EXPECT_EQ(std::to_string(e.Line) + ": " + e.Message(), "1: " + message); }
  }
}

}  // namespace
}  // namespace skeinwork
