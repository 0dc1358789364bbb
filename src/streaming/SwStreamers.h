// SwStreamers: turning trees of TSwTreeNode into bytes and back.
//
// TSwStreamer holds the stream, the options and the tree of one read or write and checks what
// the streamer can do. TSwTextStreamer reads text in a code page and detects its line break;
// TSwLineStreamer feeds it line by line to ReadLine. The model text readers derive from the
// line streamer; the binary tree file streamer derives from TSwStreamer directly.
#pragma once

#include <memory>
#include <vector>

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
  std::vector<TSwTreeNode*> mWritten;  // nodes written in this operation; not owned

 private:
  void SetStream(TStream* stream, bool owned);
  std::unique_ptr<TSwTreeNode> ReadFromHeldStream(const WideString& sourceName);
  void WriteToHeldStream(TSwTreeNode* root, const WideString& sourceName);

  WideString mSourceName;
  TSwTreeNode* mRoot = nullptr;  // never owned
  std::unique_ptr<TSwTreeNode> mReadRoot;  // the tree being read, until Read returns it
  bool mHasRead = false;
  TStream* mStream = nullptr;
  bool mOwnsStream = false;
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

 protected:
  void ReadText(const WideString& text) override;
  // Returns false to stop reading.
  virtual bool ReadLine() = 0;
  // Raises ESwBadTextStreaming about the current line at a 1-based position (-1: whole line).
  [[noreturn]] void TextError(const std::string& problem, int position = -1) const;

  int mLine = -1;
  WideString mCurrentLine;
};

}  // namespace skeinwork
