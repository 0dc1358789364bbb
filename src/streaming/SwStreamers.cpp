#include "SwStreamers.h"

#include "StrConv.h"

namespace skeinwork {

std::string SwCapabilitiesText(TSwStreamerCapabilities capabilities) {
  static const char* const names[] = {"lsRead", "lsWrite", "lsCompressed", "lsChecksum", "lsBinary", "lsUnambiguous"};
  return SwSetText(capabilities, names);
}

TSwStreamer::TSwStreamer(TSwTreeNode* root) : mRoot(root) { Options.Eoln.clear(); }

TSwStreamer::~TSwStreamer() { SetStream(nullptr, false); }

void TSwStreamer::SetStream(TStream* stream, bool owned) { mStream.Set(stream, owned); }

void TSwStreamer::ReplaceStream(std::unique_ptr<TStream> stream) { mStream.Set(std::move(stream)); }

std::unique_ptr<TStream> TSwStreamer::ExtractStream() {
  std::unique_ptr<TStream> out = mStream.Release();
  mStream.Set(nullptr, false);
  return out;
}

void TSwStreamer::RequireCapabilities(TSwStreamerCapabilities needed) const {
  if ((mCapabilities & needed) != needed)
    SwRaise<ESwUncapableStreamer>("%s is not capable of %s, only of %s.", this, SwCapabilitiesText(needed),
                                  SwCapabilitiesText(mCapabilities));
}

std::unique_ptr<TSwTreeNode> TSwStreamer::Read(std::unique_ptr<TStream> stream, const WideString& sourceName) {
  RequireCapabilities(lsRead);
  if (mRoot || mHasRead)
    SwRaise<ESwReusingStreamer>("%s is not reusable for reading - create new streamer for each operation.", this);
  SetStream(stream.release(), true);
  return ReadFromHeldStream(sourceName);
}

std::unique_ptr<TSwTreeNode> TSwStreamer::Read(TStream& stream, const WideString& sourceName) {
  RequireCapabilities(lsRead);
  if (mRoot || mHasRead)
    SwRaise<ESwReusingStreamer>("%s is not reusable for reading - create new streamer for each operation.", this);
  SetStream(&stream, false);
  return ReadFromHeldStream(sourceName);
}

std::unique_ptr<TSwTreeNode> TSwStreamer::ReadFromHeldStream(const WideString& sourceName) {
  mHasRead = true;
  mSourceName = sourceName.empty() ? Utf8ToWide(SwStreamName(mStream)) : sourceName;
  mStartPosition = mStream->Position();
  mWrittenSubtrees.clear();
  DoRead();
  mRoot = nullptr;  // the tree is the caller's from here on
  return std::move(mReadRoot);
}

void TSwStreamer::SetReadRoot(std::unique_ptr<TSwTreeNode> root) {
  mReadRoot = std::move(root);
  mRoot = mReadRoot.get();
}

void TSwStreamer::Write(std::unique_ptr<TStream> stream, TSwTreeNode* root, const WideString& sourceName) {
  RequireCapabilities(lsWrite);
  SetStream(stream.release(), true);
  WriteToHeldStream(root, sourceName);
}

void TSwStreamer::Write(TStream& stream, TSwTreeNode* root, const WideString& sourceName) {
  RequireCapabilities(lsWrite);
  SetStream(&stream, false);
  WriteToHeldStream(root, sourceName);
}

void TSwStreamer::WriteToHeldStream(TSwTreeNode* root, const WideString& sourceName) {
  if (root) mRoot = root;
  if (!mRoot) SwRaise<ESwNoTreeForStreaming>("%s.Write was called but tree root was not set.", this);
  mSourceName = sourceName.empty() ? Utf8ToWide(SwStreamName(mStream)) : sourceName;
  mStartPosition = mStream->Position();
  mWrittenSubtrees.clear();
  DoWrite();
  mStream->SetSize(mStream->Position());
}

void TSwStreamer::DoRead() { RequireCapabilities(lsRead); }
void TSwStreamer::DoWrite() { RequireCapabilities(lsWrite); }

// ---------------------------------------------------------------------------------------------

TSwTextStreamer::TSwTextStreamer(TSwTreeNode* root) : TSwStreamer(root) { mCapabilities = lsRead; }

WideString TSwTextStreamer::DetectLineBreak(std::u16string_view text) {
  size_t lf = text.size() > 1 ? text.find(u'\n', 1) : std::u16string_view::npos;
  if (lf != std::u16string_view::npos) return text[lf - 1] == u'\r' ? u"\r\n" : u"\n";
  return text.find(u'\r') != std::u16string_view::npos ? u"\r" : u"\n";
}

void TSwTextStreamer::DoRead() {
  TStream& stream = *Stream();
  int64_t left = stream.Size() - stream.Position();
  std::string bytes(static_cast<size_t>(std::max<int64_t>(left, 0)), '\0');
  bytes.resize(static_cast<size_t>(stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()))));
  WideString text = SwDecode(Options.Codepage, bytes);
  if (Options.Eoln.empty()) Options.Eoln = DetectLineBreak(text);
  ReadText(text);
}

// ---------------------------------------------------------------------------------------------

void TSwLineStreamer::ReadText(const WideString& text) {
  const WideString& eoln = Options.Eoln;
  if (eoln.empty()) SwRaise<EInvalidArgument>("Empty EOLN given to CallOnEachLineIn.");
  mLine = FirstLine - 1;
  size_t from = 0;
  while (from <= text.size()) {
    size_t to = text.find(eoln, from);
    if (to == WideString::npos) to = text.size();
    ++mLine;
    size_t end = to;
    while (end > from && text[end - 1] < 33) --end;
    if (end > from) {
      mCurrentLine.assign(text, from, end - from);
      if (!ReadLine()) return;
    }
    from = to + eoln.size();
  }
}

void TSwLineStreamer::TextError(const std::string& problem, int position) const {
  const WideString& line = mCurrentLine;
  std::string positionPart;
  if (position >= 1 && static_cast<size_t>(position) <= line.size())
    positionPart = ", '" + WideToUtf8(line.substr(position - 1, 1)) + "'";
  else if (position >= 1)
    positionPart = ", <end>";
  size_t from = position < 1 ? 0 : std::min<size_t>(position - 1, line.size());
  WideString nearby = line.substr(from, 20);
  if (from + 20 < line.size()) nearby += u"...";
  if (position > 1) {
    size_t before = std::min<size_t>(10, from);
    nearby = line.substr(from - before, before) + u"*ERROR*" + nearby;
  }
  auto error = MakeError<ESwBadTextStreaming>("Problem parsing string with %s (%s) on line %d%s; text nearby: '%s'.",
                                              this, problem, mLine + 1, positionPart, nearby);
  error.Problem = problem;
  error.Line = mLine;
  error.LineText = line;
  error.Position = position;
  error.Raise();
}

}  // namespace skeinwork
