// The binary tree file: the container framing, the payload's buffered primitives and the node
// records of TSwBinaryStreamer.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include <zlib.h>

#include "SwStreamers.h"

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// Payload buffer: the records are made of many 1- to 8-byte fields, and a file stream pays a
// system call for each read or write, so they go through one window of bytes. Reading also
// knows where the payload ends, so that no length field can make it allocate more than the
// payload holds.

class TSwBaseBinaryStreamer::TPayload {
 public:
  static constexpr size_t Capacity = 65536;

  explicit TPayload(TStream& stream) : mStream(stream), mBuffer(Capacity) {}

  // Sums what is written from here on into an Adler-32 continued from `seed`, so that the
  // container need not read a file of hundreds of megabytes back for its checksum.
  void StartSum(uint32_t seed) {
    mSumming = true;
    mSum = seed;
  }
  std::optional<uint32_t> Sum() const { return mSumming ? std::optional<uint32_t>(mSum) : std::nullopt; }

  void StartRead() {
    mStreamPosition = mStream.Position();
    mEnd = std::max(mStream.Size(), mStreamPosition);
    mAt = mFilled = 0;
  }
  int64_t Position() const { return mStreamPosition - static_cast<int64_t>(mFilled - mAt); }
  int64_t Remaining() const { return mEnd - Position(); }
  // Puts the stream where the reader logically stands.
  void EndRead() { mStream.SetPosition(Position()); }

  // Reads up to `count` bytes; returns how many there were.
  int64_t ReadSome(void* buffer, int64_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
      if (mAt == mFilled && !Fill()) break;
      size_t piece = static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(mFilled - mAt)));
      std::memcpy(out + done, mBuffer.data() + mAt, piece);
      mAt += piece;
      done += static_cast<int64_t>(piece);
    }
    return done;
  }
  void Read(void* buffer, int64_t count) {
    if (count > Remaining() || ReadSome(buffer, count) != count) SwRaise<EReadError>("Stream read error");
  }
  // A pointer to `count` buffered bytes (count at most 8), or null when they straddle the window.
  const uint8_t* Peek(size_t count) {
    if (mFilled - mAt < count) return nullptr;
    const uint8_t* p = mBuffer.data() + mAt;
    mAt += count;
    return p;
  }

  void Write(const void* buffer, size_t count) {
    if (count > Capacity - mFilled) Flush();
    if (count >= Capacity) {
      Pass(buffer, count);
      return;
    }
    std::memcpy(mBuffer.data() + mFilled, buffer, count);
    mFilled += count;
  }
  void Flush() {
    if (mFilled) Pass(mBuffer.data(), mFilled);
    mFilled = 0;
  }

 private:
  void Pass(const void* bytes, size_t count) {
    if (mSumming) mSum = static_cast<uint32_t>(adler32_z(mSum, static_cast<const Bytef*>(bytes), count));
    mStream.WriteBuffer(bytes, static_cast<int64_t>(count));
  }

  bool Fill() {
    int64_t want = std::min<int64_t>(static_cast<int64_t>(Capacity), mEnd - mStreamPosition);
    if (want <= 0) return false;
    int64_t got = mStream.Read(mBuffer.data(), want);
    if (got <= 0) return false;
    mStreamPosition += got;
    mAt = 0;
    mFilled = static_cast<size_t>(got);
    return true;
  }

  TStream& mStream;
  std::vector<uint8_t> mBuffer;
  size_t mAt = 0;      // next byte to read
  size_t mFilled = 0;  // bytes held (reading) or waiting to be written (writing)
  int64_t mStreamPosition = 0;  // the stream's position after the held bytes (reading)
  int64_t mEnd = 0;             // the payload's end (reading)
  bool mSumming = false;        // whether mSum follows the bytes written
  uint32_t mSum = 0;
};

namespace {

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void StoreU32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

constexpr TSwTypes kStorableKinds = 0x7F;  // the seven kinds; higher bits name none

// What a loaded node and property take in memory besides their texts, about: the objects, the
// bag and list entries, and the allocator's share.
constexpr int64_t kNodeMemory = sizeof(TSwTreeNode) + 64;
constexpr int64_t kPropertyMemory = sizeof(TSwProperty) + 64;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TSwBaseBinaryStreamer

TSwBaseBinaryStreamer::TSwBaseBinaryStreamer(TSwTreeNode* root) : TSwStreamer(root) {}

TSwBaseBinaryStreamer::~TSwBaseBinaryStreamer() = default;

const TSwClassInfo& TSwBaseBinaryStreamer::ClassInfo() {
  static const TSwClassInfo info{"TSwBaseBinaryStreamer", nullptr};
  return info;
}

TStreamerSignature TSwBaseBinaryStreamer::ContainerSignature() const {
  std::vector<const char*> chain;
  const TSwClassInfo* base = &TSwBaseBinaryStreamer::ClassInfo();
  for (const TSwClassInfo* c = &StreamerClass(); c; c = c->Parent) {
    chain.push_back(c->Name);
    if (c == base) break;
  }
  TStreamerSignature signature = SignatureStem;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) signature.append(".").append(*it);
  // A descendant without a descriptor of its own still signs with its own name, so that files
  // of different classes never pass for each other.
  std::string own = ClassName();
  if (own != StreamerClass().Name) signature.append(".").append(own);
  return signature;
}

TStreamer& TSwBaseBinaryStreamer::Container() {
  if (!mContainer) {
    mContainer = std::make_unique<TStreamer>(ContainerSignature(), FormatVersion);
    mContainer->SetFlags(ContainerFlags);
    mContainer->SetOwner(this);
  }
  return *mContainer;
}

void TSwBaseBinaryStreamer::RefreshCapabilities() {
  mCapabilities &= static_cast<TSwStreamerCapabilities>(~(lsCompressed | lsChecksum));
  if (Container().IsCompressed()) mCapabilities |= lsCompressed;
  if (Container().IsChecksummed()) mCapabilities |= lsChecksum;
}

void TSwBaseBinaryStreamer::WriteError(const ESkeinwork& error) {
  if (mPayload) mPayload->Flush();
  Error(error);
}

void TSwBaseBinaryStreamer::DoWrite() {
  TStream& stream = *Stream();
  TStreamer& container = Container();
  int64_t start = stream.Position();
  container.WriteHeader(stream);
  mPayload = std::make_unique<TPayload>(stream);
  if (container.IsChecksummed()) mPayload->StartSum(container.HeaderChecksum(stream, start));
  WriteTree();
  WriteU32(EosMarker);
  mPayload->Flush();
  const std::optional<uint32_t> checksum = mPayload->Sum();
  mPayload.reset();
  stream.SetSize(stream.Position());
  container.Finish(stream, start, checksum);
  RefreshCapabilities();
}

void TSwBaseBinaryStreamer::DoRead() {
  TStream& file = *Stream();
  mFileSize = std::max<int64_t>(file.Size() - file.Position(), 0);
  mLoadLimit = mFileSize > mMaxLoadMemory / LoadMemoryRatio ? mMaxLoadMemory
                                                            : std::max(MinLoadMemory, mFileSize * LoadMemoryRatio);
  mLoadLimit = std::min(mLoadLimit, mMaxLoadMemory);
  mLoadUsed = 0;
  // The inflated payload is held while the tree is built: it takes its share of the allowance.
  TStreamer& container = Container();
  const int64_t maxInflated = container.MaxInflatedSize();
  container.SetMaxInflatedSize(std::min(maxInflated, mLoadLimit));
  std::unique_ptr<TStream> inflated;
  try {
    inflated = container.Read(file, ContainerReadOptions);
  } catch (...) {
    container.SetMaxInflatedSize(maxInflated);
    throw;
  }
  container.SetMaxInflatedSize(maxInflated);
  if (inflated) {
    ChargeMemory(inflated->Size());
    ReplaceStream(std::move(inflated));
  }
  TStream& stream = *Stream();
  if (stream.Position() >= stream.Size()) throw EStreamerEmpty(this, ClassName(), "DoRead");

  mPayload = std::make_unique<TPayload>(stream);
  mPayload->StartRead();
  std::unique_ptr<TSwTreeNode> root = ReadTree();
  SetReadRoot(std::move(root));

  uint8_t bytes[4] = {};
  int64_t got = mPayload->ReadSome(bytes, 4);
  uint32_t marker = LoadU32(bytes);
  mPayload->EndRead();
  mPayload.reset();
  if (got < 4 || marker != EosMarker) {
    auto error = MakeError<ESwBadStreamEosMarker>("%s's stream ends on invalid EOS marker (%.8X) - expected %.8X.",
                                                  this, marker, EosMarker);
    error.ReadMarker = marker;
    Error(error);
  }
  RefreshCapabilities();
}

void TSwBaseBinaryStreamer::ChargeMemory(int64_t bytes) {
  mLoadUsed += bytes;
  if (mLoadUsed > mLoadLimit)
    SwRaise<ESwStreamingTooLarge>(
        "%s would need more than %d bytes of memory to load a tree file of %d bytes (%d times its size allowed, at "
        "least %d, at most %d).",
        this, mLoadLimit, mFileSize, LoadMemoryRatio, MinLoadMemory, mMaxLoadMemory);
}

uint8_t TSwBaseBinaryStreamer::ReadU8() {
  uint8_t value;
  mPayload->Read(&value, 1);
  return value;
}

uint16_t TSwBaseBinaryStreamer::ReadU16() {
  uint8_t b[2];
  mPayload->Read(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t TSwBaseBinaryStreamer::ReadU32() {
  if (const uint8_t* p = mPayload->Peek(4)) return LoadU32(p);
  uint8_t b[4];
  mPayload->Read(b, 4);
  return LoadU32(b);
}

double TSwBaseBinaryStreamer::ReadDouble() {
  uint8_t b[8];
  mPayload->Read(b, 8);
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
  return std::bit_cast<double>(bits);
}

const WideString& TSwBaseBinaryStreamer::ReadString() {
  WideString& text = mStringScratch;
  uint32_t length = ReadU32();
  if (length > MaxStringBytes)
    SwRaise<ESwStreamingLongString>("%s encountered too long string of length %d (%d max).", this,
                                    static_cast<int64_t>(length), static_cast<int64_t>(MaxStringBytes));
  if (length % 2 != 0)
    SwRaise<ESwStreamingHalfChar>("%s encountered a string with byte length (%d) uneven to char size (%d).", this,
                                  static_cast<int64_t>(length), 2);
  // Checked before allocating: a forged length must not buy more memory than the payload holds.
  if (length > mPayload->Remaining())
    SwRaise<EReadError>("%s encountered a string of %d bytes where only %d bytes are left.", this,
                        static_cast<int64_t>(length), mPayload->Remaining());
  text.resize(length / 2);
  if constexpr (std::endian::native == std::endian::little) {
    mPayload->Read(text.data(), length);
  } else {
    for (char16_t& c : text) c = static_cast<char16_t>(ReadU16());
  }
  return text;
}

RawByteString TSwBaseBinaryStreamer::ReadRaw() {
  uint32_t count = ReadU32();
  if (count > mPayload->Remaining())
    SwRaise<EReadError>("%s encountered raw data of %d bytes where only %d bytes are left.", this,
                        static_cast<int64_t>(count), mPayload->Remaining());
  RawByteString raw(count, '\0');
  mPayload->Read(raw.data(), count);
  return raw;
}

void TSwBaseBinaryStreamer::WriteU8(uint8_t value) { mPayload->Write(&value, 1); }

void TSwBaseBinaryStreamer::WriteU16(uint16_t value) {
  uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  mPayload->Write(b, 2);
}

void TSwBaseBinaryStreamer::WriteU32(uint32_t value) {
  uint8_t b[4];
  StoreU32(b, value);
  mPayload->Write(b, 4);
}

void TSwBaseBinaryStreamer::WriteDouble(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if constexpr (std::endian::native == std::endian::little) {
    mPayload->Write(&bits, 8);
    return;
  }
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
  mPayload->Write(b, 8);
}

void TSwBaseBinaryStreamer::WriteString(std::u16string_view text) {
  // The reader's limit holds for the writer too, so that every file written can be read.
  uint64_t length = uint64_t{text.size()} * 2;
  if (length > MaxStringBytes)
    SwRaise<ESwStreamingLongString>("%s encountered too long string of length %d (%d max).", this,
                                    static_cast<int64_t>(length), static_cast<int64_t>(MaxStringBytes));
  WriteU32(static_cast<uint32_t>(length));
  if constexpr (std::endian::native == std::endian::little) {
    mPayload->Write(text.data(), static_cast<size_t>(length));
  } else {
    for (char16_t c : text) WriteU16(c);
  }
}

void TSwBaseBinaryStreamer::WriteRaw(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max())
    SwRaise<ESwStreamingLongString>("%s encountered too long string of length %d (%d max).", this,
                                    static_cast<int64_t>(bytes.size()),
                                    static_cast<int64_t>(std::numeric_limits<uint32_t>::max()));
  WriteU32(static_cast<uint32_t>(bytes.size()));
  mPayload->Write(bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// TSwBinaryStreamer

TSwBinaryStreamer::TSwBinaryStreamer(TSwTreeNode* root) : TSwBaseBinaryStreamer(root) {
  mCapabilities = lsRead | lsWrite | lsCompressed | lsChecksum | lsBinary | lsUnambiguous;
}

const TSwClassInfo& TSwBinaryStreamer::ClassInfo() {
  static const TSwClassInfo info{"TSwBinaryStreamer", &TSwBaseBinaryStreamer::ClassInfo()};
  return info;
}

void TSwBinaryStreamer::WriteTree() { WriteNodeTree(Root(), -1); }

void TSwBinaryStreamer::WriteNodeTree(TSwTreeNode* node, int32_t depth) {
  struct TFrame {
    TSwTreeNode* Node;
    int32_t Depth;
    int Next;   // the next child to write
    int Count;  // the child count written in the record
  };
  // Met again, a node written earlier in this operation is one inside a subtree written
  // before: the subtree's root itself when the walk starts outside it.
  for (const TSwTreeNode* written : mWrittenSubtrees)
    if (written->IsSelfOrAncestorOf(node)) RefuseRecursion(node);
  std::vector<TFrame> stack;
  const size_t earlierSubtrees = mWrittenSubtrees.size();
  mWrittenSubtrees.push_back(node);
  WriteNodeHead(node, depth, depth < 0 ? -1 : node->IndexInParent());
  stack.push_back({node, depth, 0, node->ChildCount()});
  while (!stack.empty()) {
    TFrame& top = stack.back();
    if (top.Next == top.Count) {
      stack.pop_back();
      continue;
    }
    int index = top.Next++;
    TSwTreeNode* child = top.Node->Child(index);
    for (size_t i = 0; i < earlierSubtrees; ++i)
      if (mWrittenSubtrees[i] == child) RefuseRecursion(child);
    int32_t childDepth = top.Depth + 1;
    WriteNodeHead(child, childDepth, index);
    stack.push_back({child, childDepth, 0, child->ChildCount()});
  }
}

void TSwBinaryStreamer::RefuseRecursion(TSwTreeNode* node) {
  auto error = MakeError<ESwSerializingRecursiveTree>(
      "Recursive relationship with %s ('%s') discovered when streaming the tree with.", this, node);
  error.NodeName = node->Name();
  error.Raise();
}

void TSwBinaryStreamer::WriteNodeHead(TSwTreeNode* node, int32_t depth, int32_t index) {
  // Settle first what each property will store, since the count precedes the records.
  mWritable.clear();
  for (int i = 0; i < node->PropertyCount(); ++i) {
    TSwName name = node->PropertyName(i);
    TSwValue value = node->PropertyValue(i);
    TSwTypes kinds = value.Kinds;
    if (StoreSlicesAsRanges && value.IsSlice()) kinds &= static_cast<TSwTypes>(~SwKind(ltObj));
    if (value.Has(ltInt) && (value.Int < std::numeric_limits<int32_t>::min() ||
                             value.Int > std::numeric_limits<int32_t>::max())) {
      auto error = MakeError<ESwStreamingIntegerRange>("%s cannot store integer %d of property '%s' in 32 bits.",
                                                       this, value.Int, name.Text());
      error.PropertyName = name.Text();
      error.Integer = value.Int;
      WriteError(error);
      kinds &= static_cast<TSwTypes>(~SwKind(ltInt));  // a handler let it go: store the other kinds
    }
    if (kinds != 0) mWritable.push_back({name, std::move(value), kinds});
  }

  WriteU32(NodePrefix);
  WriteI32(depth);
  WriteI32(index);
  WriteString(node->Name());
  WriteU32(static_cast<uint32_t>(mWritable.size()));
  // WriteProperty may call an error handler, which could write another tree with this streamer.
  std::vector<TWritable> writable;
  writable.swap(mWritable);
  for (const TWritable& item : writable) WriteProperty(item.Name, item.Value, item.Kinds);
  writable.swap(mWritable);
  WriteU32(static_cast<uint32_t>(node->ChildCount()));
}

void TSwBinaryStreamer::WriteProperty(const TSwName& name, const TSwValue& value, TSwTypes kinds) {
  WriteString(name.Text());
  WriteU16(kinds);
  if (kinds & SwKind(ltStr)) WriteString(value.Text());
  if (kinds & SwKind(ltRaw)) WriteRaw(value.Raw());
  if (kinds & SwKind(ltBool)) WriteU8(value.Bool ? 1 : 0);
  if (kinds & SwKind(ltInt)) WriteI32(static_cast<int32_t>(value.Int));
  if (kinds & SwKind(ltFrac)) WriteDouble(value.Frac);
  if (kinds & SwKind(ltObj)) {
    auto error = MakeError<TSwStreamingObjectValue>("%s cannot stream TSwValue's with objects.", this);
    error.Value = value;
    WriteError(error);
  }
}

void TSwBinaryStreamer::ReportIntegrity(const char* field, uint32_t read, uint32_t expected) {
  auto error = MakeError<TSwStreamingReadIntegrity>("%s met unexpected input (%s) - read %X, expected %X.", this,
                                                    field, read, expected);
  error.Field = field;
  error.ReadValue = read;
  error.Expected = expected;
  Error(error);
}

std::unique_ptr<TSwTreeNode> TSwBinaryStreamer::ReadTree() {
  struct TFrame {
    TSwTreeNode* Node;
    int32_t Depth;
    uint32_t Left;  // children still to read
  };
  std::unique_ptr<TSwTreeNode> root;
  uint32_t count = 0;
  TSwTreeNode* node = ReadNodeHead(nullptr, -1, root, count);
  std::vector<TFrame> stack;
  stack.push_back({node, -1, count});
  while (!stack.empty()) {
    TFrame& top = stack.back();
    if (top.Left == 0) {
      stack.pop_back();
      continue;
    }
    --top.Left;
    int32_t depth = top.Depth + 1;
    // A file cannot ask for a tree deeper than the limit (readers down the line walk trees by
    // depth): the root is the first level and a record at depth d the (d + 2)-th.
    if (depth + 2 > MaxDepth())
      SwRaise<ESwStreamingDeepTree>("%s met a tree nested deeper than %d levels.", this, MaxDepth());
    TSwTreeNode* child = ReadNodeHead(top.Node, depth, root, count);
    stack.push_back({child, depth, count});
  }
  return root;
}

TSwTreeNode* TSwBinaryStreamer::ReadNodeHead(TSwTreeNode* parent, int32_t depth, std::unique_ptr<TSwTreeNode>& root,
                                             uint32_t& childCount) {
  uint32_t prefix = ReadU32();
  if (prefix != NodePrefix) ReportIntegrity("node prefix", prefix, NodePrefix);
  int32_t readDepth = ReadI32();
  if (readDepth != depth)
    ReportIntegrity("node depth", static_cast<uint32_t>(readDepth), static_cast<uint32_t>(depth));
  int32_t index = ReadI32();
  int32_t expectedIndex = parent ? parent->ChildCount() : -1;
  if (index != expectedIndex)
    ReportIntegrity("node index", static_cast<uint32_t>(index), static_cast<uint32_t>(expectedIndex));

  TSwName name(ReadString());
  ChargeMemory(kNodeMemory + static_cast<int64_t>(name.Text().size()) * 2);
  TSwTreeNode* node;
  if (parent) {
    // Refused here rather than by the children map: a child that its parent's map refuses is
    // left pointing at a parent that does not hold it.
    if (name.Text().find(TSwHash::Separator) != WideString::npos)
      SwRaise<ESwHashBadKey>("Attempted to add bad key '%s' to %s (contains prohibited symbol $%.2X).", name.Text(),
                             &parent->Children(), static_cast<int>(TSwHash::Separator));
    node = parent->AddChild(name);
  } else {
    root = std::make_unique<TSwTreeNode>(name);
    node = root.get();
  }
  // Each record takes at least 6 bytes, so a forged count ends at the payload's end.
  mReadProperties.clear();
  for (uint32_t n = ReadU32(); n > 0; --n) ReadProperty();
  StoreProperties(*node);
  childCount = ReadU32();
  return node;
}

void TSwBinaryStreamer::StoreProperties(TSwTreeNode& node) {
  // The bag is sorted by name: files list properties in that order, and a node's bag takes them
  // one by one at its end. Any other order is sorted first (stably: of one name the later still
  // replaces the earlier), so that a forged order cannot make every insertion shift the bag.
  auto byName = [](const auto& a, const auto& b) { return a.first.Text() < b.first.Text(); };
  std::vector<std::pair<TSwName, TSwValue>>& read = mReadProperties;
  if (!std::is_sorted(read.begin(), read.end(), byName)) std::stable_sort(read.begin(), read.end(), byName);
  for (size_t i = 0; i < read.size(); ++i) {
    try {
      node.SetValue(read[i].first, read[i].second);
    } catch (const ESwAddingNullProperty& error) {
      Error(error);
    } catch (const ESwHashBadKey& error) {
      Error(error);
    }
  }
  read.clear();
}

void TSwBinaryStreamer::ReadProperty() {
  TSwName name(ReadString());
  uint16_t stored = ReadU16();
  TSwValue value;
  TSwTypes kinds = static_cast<TSwTypes>(stored & (kStorableKinds & ~SwKind(ltObj)));
  if (stored & SwKind(ltStr)) value.SetText(ReadString());
  if (stored & SwKind(ltRaw)) value.SetRaw(ReadRaw());
  if (stored & SwKind(ltBool)) {
    uint8_t byte = ReadU8();
    if (byte > 1) ReportIntegrity("Boolean value", byte, 1);
    value.Bool = byte != 0;
  }
  if (stored & SwKind(ltInt)) value.Int = ReadI32();
  if (stored & SwKind(ltFrac)) value.Frac = ReadDouble();
  // A range's length is a fraction that readers turn into an integer: one that is not a whole
  // number a stream can hold (NaN, infinite, negative, beyond 2^53), or a negative offset, would
  // become nonsense there.
  if ((kinds & SwKind(ltSlice)) &&
      (value.Int < 0 || !(value.Frac >= 0 && value.Frac <= 9007199254740992.0) || value.Frac != std::floor(value.Frac))) {
    auto error = MakeError<TSwStreamingReadIntegrity>("%s met unexpected input (stream range) - offset %d, length %s.",
                                                      this, value.Int, fmt::sprintf("%g", value.Frac));
    error.Field = "stream range";
    Error(error);
    kinds &= static_cast<TSwTypes>(~SwKind(ltSlice));  // a handler let it go: keep the numbers only
  }
  // A handler that lets these go keeps the value without the kinds that cannot be restored.
  if (stored & SwKind(ltObj)) Error(MakeError<TSwBadStreamingPropType>("%s encountered bad TSwValue type (%d).", this, 5));
  if (uint16_t unknown = stored & static_cast<uint16_t>(~kStorableKinds))
    Error(MakeError<TSwBadStreamingPropType>("%s encountered bad TSwValue type (%d).", this, std::countr_zero(unknown)));
  value.Kinds = kinds;
  ChargeMemory(kPropertyMemory + static_cast<int64_t>(name.Text().size()) * 2 +
               static_cast<int64_t>(value.Text().size()) * 2 + static_cast<int64_t>(value.Raw().size()));
  mReadProperties.emplace_back(name, std::move(value));
}

}  // namespace skeinwork
