// The data node saver and the extraction loop.
#include <climits>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include "StrConv.h"
#include "SwAtomicFile.h"
#include "SwExtract.h"

namespace skeinwork {

namespace {

// Characters file names must not hold: path and wildcard characters, and control characters,
// which cut a name (NUL) or reach the listing as line breaks and terminal escapes.
bool IsForbidden(char16_t c) {
  if (c < 32 || c == 127) return true;
  switch (c) {
    case u'\\': case u'/': case u'*': case u'?': case u'<': case u'>': case u':': case u'|': case u'"':
      return true;
    default:
      return false;
  }
}


std::filesystem::path FsPath(const WideString& path) { return std::filesystem::path(WideToUtf8(path)); }

// The path of the n-th file (from 1) that a run gives the same path: from the second on, "-n"
// stands before the file name's last extension. A file name longer than the file system allows
// loses characters before its extension (and that suffix) until it fits.
WideString NumberedPath(const WideString& path, int n) {
  const size_t nameStart = path.rfind(u'/') == WideString::npos ? 0 : path.rfind(u'/') + 1;
  size_t dot = path.rfind(u'.');
  if (dot == WideString::npos || dot <= nameStart) dot = path.size();
  WideString stem = path.substr(nameStart, dot - nameStart);
  WideString tail = (n > 1 ? Utf8ToWide("-" + std::to_string(n)) : WideString()) + path.substr(dot);
  // An extension too long to keep is cut along with the rest.
  if (WideToUtf8(tail).size() >= NAME_MAX) {
    stem += tail;
    tail.clear();
  }
  while (!stem.empty() && WideToUtf8(stem + tail).size() > NAME_MAX) {
    stem.pop_back();
    if (!stem.empty() && stem.back() >= 0xD800 && stem.back() < 0xDC00) stem.pop_back();  // half a pair
  }
  return path.substr(0, nameStart) + stem + tail;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Expressions over a match

// An evaluated expression with what its result refers to: the expression owns the values and
// streams of the result, the input is the property's bytes.
struct TSwDataNodeSaver::TEvaluation {
  std::unique_ptr<TStream> Input;
  TSwNodeByNodeFinder Finder;
  std::unique_ptr<TSwExpression> Expression;
  TSwExpressionResult Result;
};

std::unique_ptr<TSwDataNodeSaver::TEvaluation> TSwDataNodeSaver::Evaluate(const WideString& text, TSwTreeNode* node,
                                                                         TSwProperty* property) {
  auto evaluation = std::make_unique<TEvaluation>();
  const TSwValue* value = property ? &property->Value() : nullptr;
  if (value && value->IsSlice() && mSlicer)
    evaluation->Input = mSlicer->RestrictedStream(*value);
  else if (value && value->Has(ltRaw))
    evaluation->Input = std::make_unique<TStringStream>(value->Raw());
  else if (value && value->Has(ltStr))
    evaluation->Input = std::make_unique<TStringStream>(SwEncode(Options.Codepage, value->Text()));
  evaluation->Expression = std::make_unique<TSwExpression>(text, node);
  evaluation->Expression->SetOptions(Options);
  evaluation->Expression->SetFinder(&evaluation->Finder);
  evaluation->Expression->SetInputStream(evaluation->Input.get());
  evaluation->Result = evaluation->Expression->Evaluate();
  return evaluation;
}

WideString TSwDataNodeSaver::ValueText(const TSwExpressionResult& result) const {
  const TSwValue& value = result.Value;
  if (result.Stream) {
    std::string bytes(static_cast<size_t>(MaxNameBytes), '\0');
    result.Stream->Seek(0, TSeekOrigin::Beginning);
    int64_t read = result.Stream->Read(bytes.data(), MaxNameBytes);
    bytes.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
    return SwDecode(Options.Codepage, bytes);
  }
  if (value.Has(ltStr)) return value.Text();
  if (value.Has(ltRaw)) return SwDecode(Options.Codepage, value.Raw());
  if (value.Has(ltInt)) return Utf8ToWide(std::to_string(value.Int));
  if (value.Has(ltFrac)) return Utf8ToWide(fmt::sprintf("%g", value.Frac));
  if (value.Has(ltBool)) return value.Bool ? u"True" : u"False";
  return {};
}

// ---------------------------------------------------------------------------------------------
// The saver

TSwDataNodeSaver::TSwDataNodeSaver(TSwTreeNode* baseNode, TSwmSlicer* slicer) : mBase(baseNode), mSlicer(slicer) {
  Reset();
}

TSwDataNodeSaver::~TSwDataNodeSaver() = default;

void TSwDataNodeSaver::SetDataPath(const WideString& value) {
  mDataPath = value;
  Reset();
}
void TSwDataNodeSaver::SetDataExpr(const WideString& value) {
  mDataExpr = value;
  Reset();
}
void TSwDataNodeSaver::SetNamePath(const WideString& value) {
  mNamePath = value;
  Reset();
}
void TSwDataNodeSaver::SetNameExpr(const WideString& value) {
  mNameExpr = value;
  Reset();
}

void TSwDataNodeSaver::Reset() {
  mDataFinder.reset();
  if (!mDataPath.empty() && mBase) mDataFinder = std::make_unique<TSwNodeByNodeFinder>(mBase, mDataPath);
  mCount = -1;
  mDataNode = mNameNode = nullptr;
  mDataProperty = mNameProperty = nullptr;
}

bool TSwDataNodeSaver::Next() {
  if (mDataPath.empty()) SwRaise<ESwEmptyDataNodePath>("Empty data node path given to %s.", this);
  mDataNode = mNameNode = nullptr;
  mDataProperty = mNameProperty = nullptr;
  if (!mDataFinder || !mDataFinder->NextWithProperty(mDataNode, mDataProperty)) {
    mDataNode = nullptr;
    mDataProperty = nullptr;
    return false;
  }
  ++mCount;
  if (!mNamePath.empty()) {
    TSwNodeByNodeFinder names(mDataNode, mNamePath);
    if (!names.NextWithProperty(mNameNode, mNameProperty)) {
      mNameNode = nullptr;
      mNameProperty = nullptr;
    }
  }
  return true;
}

WideString SwSafeFileName(std::u16string_view name) {
  name = SwTrim(name);
  WideString out;
  bool pending = false;  // a run of forbidden characters waits for a permitted one
  for (char16_t c : name) {
    if (IsForbidden(c)) {
      pending = true;
      continue;
    }
    if (pending) out += u'-';
    pending = false;
    out += c;
  }
  if (out == u"." || out == u"..") out.clear();
  return out;
}

WideString TSwDataNodeSaver::FallbackName() {
  auto hex = [](int64_t value) { return Utf8ToWide(fmt::sprintf("%.8llX", static_cast<unsigned long long>(value))); };
  if (TSwProperties* bag = mDataNode->PropertiesIfAny()) {
    WideString global = (mDataFinder ? mDataFinder->PropertyName() : WideString(u"inner")) + u"Global";
    if (TSwProperty* property = bag->Find(global))
      if (TSwmSlicer::Start(property->Value()) >= 0) return hex(TSwmSlicer::Start(property->Value()));
  }
  if (TSwmSlicer::Start(mDataProperty->Value()) >= 0) return hex(TSwmSlicer::Start(mDataProperty->Value()));
  auto [entry, added] = mIdentities.emplace(mDataProperty, static_cast<uint32_t>(mIdentities.size() + 1));
  (void)added;
  return u"$" + hex(entry->second);
}

WideString TSwDataNodeSaver::CurrentName() {
  if (!mDataProperty) SwRaise<ESkeinwork>("No next data for %s.CurrentName.", this);
  WideString text;
  if (mNameNode) {
    if (!mNameExpr.empty()) {
      std::unique_ptr<TEvaluation> evaluation = Evaluate(mNameExpr, mNameNode, mNameProperty);
      text = ValueText(evaluation->Result);
    } else if (mSlicer && mNameProperty) {
      text = SwDecode(Options.Codepage, mSlicer->PropertyText(mNameNode, mNameProperty->Name(), MaxNameBytes));
    }
  }
  text = SwSafeFileName(text);
  return text.empty() ? FallbackName() : text;
}

bool TSwDataNodeSaver::SaveTo(TStream& stream) {
  if (!mDataProperty) SwRaise<ESkeinwork>("No next data for %s.SaveTo.", this);
  if (!mDataExpr.empty()) {
    std::unique_ptr<TEvaluation> evaluation = Evaluate(mDataExpr, mDataNode, mDataProperty);
    const TSwExpressionResult& result = evaluation->Result;
    if (result.Stream) {
      result.Stream->Seek(0, TSeekOrigin::Beginning);
      if (result.Stream->Size() > 0) stream.CopyFrom(*result.Stream, 0);
      return true;
    }
    if (result.Value.Has(ltRaw)) {
      const RawByteString& raw = result.Value.Raw();
      stream.WriteBuffer(raw.data(), static_cast<int64_t>(raw.size()));
      return true;
    }
    // Text (a string or any other value's text) as UTF-8; empty text is not worth a file.
    std::string text = WideToUtf8(ValueText(result));
    if (text.empty()) return false;
    stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    return true;
  }
  const TSwValue& value = mDataProperty->Value();
  if (!mSlicer || !value.IsSlice() || TSwmSlicer::Length(value) <= 0) return true;
  int64_t length = 0;
  TBufStream* source = mSlicer->PositionedStream(value, &length);
  if (length > 0) stream.CopyFrom(*source, length);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The extraction loop

WideString SwExtractFilePath(const WideString& directory, const WideString& format, const WideString& name,
                             bool omitExtension) {
  WideString path = directory;
  if (!path.empty() && path.back() != u'/') path += u'/';
  const size_t fileStart = path.size();
  for (char16_t c : format) {
    if (c == u'?')
      path += name;
    else
      path += c;
  }
  if (omitExtension && name.find(u'.') != WideString::npos && format.find(u'.') != WideString::npos) {
    size_t dot = path.rfind(u'.');
    size_t slash = path.rfind(u'/');
    if (dot != WideString::npos && dot >= fileStart && (slash == WideString::npos || dot > slash)) path.resize(dot);
  }
  return path;
}

int SwExtractData(TSwDataNodeSaver& saver, const TSwExtractSettings& settings) {
  int kept = 0;
  std::set<WideString> written;  // a later match of the same name must not replace an earlier one
  while (!(settings.Stop && settings.Stop->load()) && saver.Next()) {
    const WideString name = saver.CurrentName();
    if (settings.OnMatch) settings.OnMatch(saver, name);
    const WideString named = SwExtractFilePath(settings.Directory, settings.Format, name, settings.OmitExtension);
    WideString path = NumberedPath(named, 1);
    for (int n = 2; written.count(path); ++n) path = NumberedPath(named, n);
    std::filesystem::path fsPath = FsPath(path);
    if (fsPath.has_parent_path()) {
      std::error_code error;
      std::filesystem::create_directories(fsPath.parent_path(), error);
      if (error)
        SwRaise<EFCreateError>("Cannot create directory '%s'. %s", fsPath.parent_path().string(), error.message());
    }
    // Written aside and put in place when whole: a failed or empty file never takes the name,
    // and a file of that name from before stays as it was.
    TSwAtomicFileStream file(path);
    if (!saver.SaveTo(file)) continue;
    file.Commit();
    written.insert(path);
    ++kept;
    if (settings.OnWritten) settings.OnWritten(path);
  }
  return kept;
}

}  // namespace skeinwork
