// SwStreamers: turning trees of TSwTreeNode into bytes and back.
//
// TSwStreamer holds the stream, the options and the tree of one read or write and checks what
// the streamer can do. TSwTextStreamer reads text in a code page and detects its line break;
// TSwLineStreamer feeds it line by line to ReadLine. The model text readers derive from the
// line streamer. TSwBinaryStreamer reads and writes the binary tree file (.swt): one signed,
// checksummed, optionally compressed container (Streamer.h) whose payload is the tree in node
// records; a caller starts from it.
#pragma once

#include <memory>
#include <vector>

#include "Streamer.h"
#include "SwCore.h"
#include "SwNodes.h"

namespace skeinwork {

// What a streamer can do; a set of these is one byte.
enum TSwStreamerCapability : uint8_t {
  lsRead = 1,
  lsWrite = 2,
  lsCompressed = 4,
  lsChecksum = 8,
  lsBinary = 16,
  lsUnambiguous = 32,
};
using TSwStreamerCapabilities = uint8_t;

// "lsRead, lsWrite", "<none>" for an empty set.
std::string SwCapabilitiesText(TSwStreamerCapabilities capabilities);

SW_EXCEPTION(ESwStreamer, ESkeinwork);
SW_EXCEPTION(ESwUncapableStreamer, ESwStreamer);
SW_EXCEPTION(ESwReusingStreamer, ESwStreamer);
SW_EXCEPTION(ESwNoTreeForStreaming, ESwStreamer);

// A text reader found its current line wrong; keeps where.
class ESwBadTextStreaming : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwBadTextStreaming>(*this); }

  std::string Problem;  // the reader's own message text
  int Line = 0;         // counted from 0
  WideString LineText;
  int Position = -1;    // 1-based character position, -1 for the whole line
};

class TSwStreamer : public TSwObject {
 public:
  explicit TSwStreamer(TSwTreeNode* root = nullptr);
  ~TSwStreamer() override;

  // Reads a tree from the stream, which the streamer owns from now on; the caller owns the
  // returned root. One streamer reads once.
  std::unique_ptr<TSwTreeNode> Read(std::unique_ptr<TStream> stream, const WideString& sourceName = {});
  // The same over a stream the caller keeps.
  std::unique_ptr<TSwTreeNode> Read(TStream& stream, const WideString& sourceName = {});
  // Writes the given tree (or the one given at creation) and cuts the stream after it.
  void Write(std::unique_ptr<TStream> stream, TSwTreeNode* root = nullptr, const WideString& sourceName = {});
  void Write(TStream& stream, TSwTreeNode* root = nullptr, const WideString& sourceName = {});
  // Hands the current stream back to the caller; the streamer no longer frees it.
  std::unique_ptr<TStream> ExtractStream();

  TSwOptions Options;  // Eoln starts empty, so that text readers detect it
  TSwStreamerCapabilities Capabilities() const { return mCapabilities; }
  const WideString& SourceName() const { return mSourceName; }
  TSwTreeNode* Root() const { return mRoot; }
  TStream* Stream() const { return mStream; }
  int64_t StartPosition() const { return mStartPosition; }

 protected:
  virtual void DoRead();
  virtual void DoWrite();
  // Subclasses building a tree put its root here; Read hands it to the caller.
  void SetReadRoot(std::unique_ptr<TSwTreeNode> root);
  // Replaces the stream (freeing an owned one); used after decompression.
  void ReplaceStream(std::unique_ptr<TStream> stream);
  void RequireCapabilities(TSwStreamerCapabilities needed) const;

  TSwStreamerCapabilities mCapabilities = 0;
  // The roots of the subtrees written in this operation (not owned). A tree holds each node
  // once, so these stand for every node written, and a write of millions of nodes needs no
  // set of millions of entries.
  std::vector<const TSwTreeNode*> mWrittenSubtrees;

 private:
  void SetStream(TStream* stream, bool owned);
  std::unique_ptr<TSwTreeNode> ReadFromHeldStream(const WideString& sourceName);
  void WriteToHeldStream(TSwTreeNode* root, const WideString& sourceName);

  WideString mSourceName;
  TSwTreeNode* mRoot = nullptr;  // never owned
  std::unique_ptr<TSwTreeNode> mReadRoot;  // the tree being read, until Read returns it
  bool mHasRead = false;
  TSwStreamHolder mStream;
  int64_t mStartPosition = 0;
};

// Reads the stream's remaining bytes as text in the options' code page.
class TSwTextStreamer : public TSwStreamer {
 public:
  explicit TSwTextStreamer(TSwTreeNode* root = nullptr);

  // The line break a text uses: decided by its first LF after the first character.
  static WideString DetectLineBreak(std::u16string_view text);

 protected:
  void DoRead() override;
  virtual void ReadText(const WideString& text) = 0;
};

// Cuts the text at its line breaks and hands each non-blank line, right-trimmed, to ReadLine.
class TSwLineStreamer : public TSwTextStreamer {
 public:
  using TSwTextStreamer::TSwTextStreamer;

  int LineNumber() const { return mLine; }  // counted from 0
  const WideString& CurrentLine() const { return mCurrentLine; }

  // The number (from 0) of the text's first line in its file, when the text is part of one (a
  // script's model section): line numbers in items and messages are those of the file.
  int FirstLine = 0;

 protected:
  void ReadText(const WideString& text) override;
  // Returns false to stop reading.
  virtual bool ReadLine() = 0;
  // Raises ESwBadTextStreaming about the current line at a 1-based position (-1: whole line).
  [[noreturn]] void TextError(const std::string& problem, int position = -1) const;

  int mLine = -1;
  WideString mCurrentLine;
};

// ---------------------------------------------------------------------------------------------
// The binary tree file.
//
// Payload of the container: the root's node record (depth -1, index -1), then the end-of-stream
// marker u32 0x351849F7. All integers are 32-bit little-endian. A node record is:
//   u32 0xC5240192 | i32 depth | i32 index among the parent's children | name | u32 property
//   count | property records | u32 child count | child node records
// A string is a u32 byte length and the UTF-16LE code units. A property record is its name,
// u16 kinds (the TSwTypes bits) and then, in bit order, the payload of each kind: text (string),
// raw (u32 count, bytes), Boolean (1 byte), integer (i32), fraction (8-byte double). Objects
// cannot be stored; the slice bit has no payload.

SW_EXCEPTION(ESwStreamingLongString, ESwStreamer);
SW_EXCEPTION(ESwStreamingHalfChar, ESwStreamer);
SW_EXCEPTION(TSwBadStreamingPropType, ESwStreamer);
// A tree nested deeper than the reader's limit; the recursive freeing of such a tree would
// exhaust the stack.
SW_EXCEPTION(ESwStreamingDeepTree, ESwStreamer);
// A tree file whose tree would take more memory than its size allows.
SW_EXCEPTION(ESwStreamingTooLarge, ESwStreamer);

// A node met twice while writing one tree.
class ESwSerializingRecursiveTree : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwSerializingRecursiveTree>(*this); }

  WideString NodeName;
};

// A value holding an object, which the file cannot store; keeps a copy of the value.
class TSwStreamingObjectValue : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<TSwStreamingObjectValue>(*this); }

  TSwValue Value;
};

// An integer that the file's 32-bit field cannot hold (TSwValue keeps 64 bits).
class ESwStreamingIntegerRange : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwStreamingIntegerRange>(*this); }

  WideString PropertyName;
  int64_t Integer = 0;
};

// A field of a node record that does not hold what the reader expects.
class TSwStreamingReadIntegrity : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<TSwStreamingReadIntegrity>(*this); }

  std::string Field;  // "node prefix", "node depth", "node index", "Boolean value", "stream range"
  uint32_t ReadValue = 0;
  uint32_t Expected = 0;
};

class ESwBadStreamEosMarker : public ESwStreamer {
 public:
  using ESwStreamer::ESwStreamer;
  [[noreturn]] void Raise() const override { throw *this; }
  std::unique_ptr<ESkeinwork> Clone() const override { return std::make_unique<ESwBadStreamEosMarker>(*this); }

  uint32_t ReadMarker = 0;  // missing bytes count as zeros
};

// Frames the tree payload in the container and provides the payload's primitives; a descendant
// says how the tree is laid out (ReadTree, WriteTree). Errors about the file's content go to
// the error routine: they are raised unless an error handler lets the operation go on.
class TSwBaseBinaryStreamer : public TSwStreamer {
 public:
  static constexpr uint32_t NodePrefix = 0xC5240192;
  static constexpr uint32_t EosMarker = 0x351849F7;
  static constexpr uint16_t FormatVersion = SwLibraryVersion;  // 0.79
  static constexpr uint8_t ContainerFlags = TStreamer::FlagChecksummed;
  static constexpr uint8_t ContainerReadOptions = TStreamer::ReadAcceptOlder;
  static constexpr uint32_t MaxStringBytes = 0x0FFFFFFF;
  static constexpr char SignatureStem[] = "Skeinwork Tree";
  // Trees of more levels than this (the root is one) are refused on reading: freeing a tree
  // recurses once per level, and a sanitized build runs out of an 8 MiB stack near 15,000.
  // Result trees nest as deep as their models, a few dozen levels. The writer has no limit.
  static constexpr int DefaultMaxDepth = 4096;
  // The memory a load may take, the inflated payload and the tree together: this many times the
  // file's size, at least MinLoadMemory and never more than the maximum (DefaultMaxLoadMemory).
  // A few bytes of compressed records can stand for a large tree; real trees take a few times
  // their file's size.
  static constexpr int64_t LoadMemoryRatio = 128;
  static constexpr int64_t MinLoadMemory = int64_t{64} << 20;
  static constexpr int64_t DefaultMaxLoadMemory = int64_t{1} << 30;

  explicit TSwBaseBinaryStreamer(TSwTreeNode* root = nullptr);
  ~TSwBaseBinaryStreamer() override;

  // Class descriptors: the container's signature names every class from this one down to the
  // streamer's own. A descendant declares its descriptor (parent: its base's) and returns it
  // from StreamerClass.
  static const TSwClassInfo& ClassInfo();
  virtual const TSwClassInfo& StreamerClass() const { return ClassInfo(); }
  // "Skeinwork Tree.TSwBaseBinaryStreamer.TSwBinaryStreamer" for TSwBinaryStreamer.
  TStreamerSignature ContainerSignature() const;
  // The container, made on first use with the signature, version 0x004F, flags 2 (checksummed)
  // and this streamer as owner. Add TStreamer::FlagCompressed before writing for a zlib file.
  TStreamer& Container();

  int MaxDepth() const { return mMaxDepth; }
  void SetMaxDepth(int depth) { mMaxDepth = depth; }
  int64_t MaxLoadMemory() const { return mMaxLoadMemory; }
  void SetMaxLoadMemory(int64_t bytes) { mMaxLoadMemory = bytes; }

 protected:
  void DoRead() override;
  void DoWrite() override;
  // Reads the tree after the container header and returns its root.
  virtual std::unique_ptr<TSwTreeNode> ReadTree() = 0;
  // Writes Root() after the container header.
  virtual void WriteTree() = 0;

  // Payload primitives, buffered; only valid inside ReadTree and WriteTree. A read beyond the
  // payload's end raises EReadError.
  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  double ReadDouble();
  // The string's text, valid until the next ReadString.
  const WideString& ReadString();
  RawByteString ReadRaw();
  void WriteU8(uint8_t value);
  void WriteU16(uint16_t value);
  void WriteU32(uint32_t value);
  void WriteI32(int32_t value) { WriteU32(static_cast<uint32_t>(value)); }
  void WriteDouble(double value);
  void WriteString(std::u16string_view text);
  void WriteRaw(std::string_view bytes);

  // Counts memory the tree being read takes; past the load's allowance: ESwStreamingTooLarge.
  void ChargeMemory(int64_t bytes);

  // Clears lsCompressed and lsChecksum and sets them from the container's flags.
  void RefreshCapabilities();
  // Reports an error met while writing, after handing the buffered bytes to the stream: the
  // stream then holds everything written before the error, even when the error ends the write.
  void WriteError(const ESkeinwork& error);

 private:
  class TPayload;
  std::unique_ptr<TPayload> mPayload;  // owned; the buffer between the records and the stream
  std::unique_ptr<TStreamer> mContainer;  // owned
  WideString mStringScratch;  // ReadString's result
  int mMaxDepth = DefaultMaxDepth;
  int64_t mMaxLoadMemory = DefaultMaxLoadMemory;
  // Of the load in progress: the file's size, the memory it may take and the memory taken.
  int64_t mFileSize = 0, mLoadLimit = 0, mLoadUsed = 0;
};

// The tree file streamer: node records as laid out above. Reading and writing walk the tree
// with an explicit stack, so the depth of a tree never exhausts the call stack.
class TSwBinaryStreamer : public TSwBaseBinaryStreamer {
 public:
  explicit TSwBinaryStreamer(TSwTreeNode* root = nullptr);

  static const TSwClassInfo& ClassInfo();
  const TSwClassInfo& StreamerClass() const override { return ClassInfo(); }

  // Writes a stream slice as the offset and length a file keeps of it (kinds without ltObj),
  // as saving a modelling run's result wants, instead of reporting its stream as an object.
  // The tree itself stays as it is.
  bool StoreSlicesAsRanges = false;

 protected:
  std::unique_ptr<TSwTreeNode> ReadTree() override;
  void WriteTree() override;
  // Writes the node's record and those of its subtree; the top record gets index -1 at depth -1
  // and its position in its parent otherwise.
  void WriteNodeTree(TSwTreeNode* node, int32_t depth);

 private:
  struct TWritable {
    TSwName Name;
    TSwValue Value;
    TSwTypes Kinds;  // the kinds the file will hold
  };
  [[noreturn]] void RefuseRecursion(TSwTreeNode* node);
  // Writes the record up to and including the child count.
  void WriteNodeHead(TSwTreeNode* node, int32_t depth, int32_t index);
  void WriteProperty(const TSwName& name, const TSwValue& value, TSwTypes kinds);
  // Reads the record up to and including the child count; makes the node (appended to the
  // parent, or as `root` without one).
  TSwTreeNode* ReadNodeHead(TSwTreeNode* parent, int32_t depth, std::unique_ptr<TSwTreeNode>& root,
                            uint32_t& childCount);
  void ReadProperty();
  // Gives the node the properties ReadProperty collected.
  void StoreProperties(TSwTreeNode& node);
  void ReportIntegrity(const char* field, uint32_t read, uint32_t expected);

  std::vector<TWritable> mWritable;  // scratch of WriteNodeHead
  std::vector<std::pair<TSwName, TSwValue>> mReadProperties;  // scratch of ReadNodeHead
};

}  // namespace skeinwork
