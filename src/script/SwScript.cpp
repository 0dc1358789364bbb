// The script loader: reads a script by modelling it with the built-in script model, then picks
// the header fields and sections out of the result tree; also writes sections back as text.
#include "SwScript.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <array>

#include "StrConv.h"

namespace skeinwork {

namespace {

bool IsBlank(char16_t c) { return c <= u' '; }

WideString Trim(std::u16string_view text) { return WideString(SwTrim(text)); }

bool IsLineBreak(char16_t c) { return c == u'\r' || c == u'\n'; }

WideString StripLineBreaks(std::u16string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsLineBreak(text[begin])) ++begin;
  while (end > begin && IsLineBreak(text[end - 1])) --end;
  return WideString(text.substr(begin, end - begin));
}

WideString LowerCase(std::u16string_view text) {
  if (text.empty()) return {};
  WideString out(text.size(), u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = u_strToLower(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), "",
                                &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    length = u_strToLower(reinterpret_cast<UChar*>(out.data()), length, reinterpret_cast<const UChar*>(text.data()),
                          static_cast<int32_t>(text.size()), "", &status);
  }
  if (U_FAILURE(status)) return WideString(text);
  out.resize(static_cast<size_t>(length));
  return out;
}

bool SameText(std::u16string_view a, std::u16string_view b) { return LowerCase(a) == LowerCase(b); }

WideString Repeat(const WideString& text, int times) {
  WideString out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// Occurrences of `needle` in text[from, to), without overlaps.
int64_t CountOccurrences(const RawByteString& text, const RawByteString& needle, int64_t from, int64_t to) {
  if (needle.empty() || from >= to) return 0;
  int64_t count = 0;
  size_t at = static_cast<size_t>(from);
  while ((at = text.find(needle, at)) != RawByteString::npos && static_cast<int64_t>(at + needle.size()) <= to) {
    ++count;
    at += needle.size();
  }
  return count;
}

// The line break of a text: CR LF or LF by the first line feed after the first byte, else CR
// when a carriage return occurs, else LF. The first line may be of any length.
WideString DetectEoln(TStream& stream) {
  const int64_t position = stream.Position();
  std::string head;
  size_t lf = std::string::npos;
  for (size_t piece = 2048; lf == std::string::npos; piece = std::min<size_t>(piece * 2, 1 << 20)) {
    const size_t had = head.size();
    head.resize(had + piece);
    const int64_t read = std::max<int64_t>(stream.Read(head.data() + had, static_cast<int64_t>(piece)), 0);
    head.resize(had + static_cast<size_t>(read));
    if (head.size() > 1) lf = head.find('\n', std::max<size_t>(had, 1));
    if (static_cast<size_t>(read) < piece) break;
  }
  stream.SetPosition(position);
  if (lf != std::string::npos) return head[lf - 1] == '\r' ? u"\r\n" : u"\n";
  if (head.find('\r') != std::string::npos) return u"\r";
  return u"\n";
}

struct TVersionOpName {
  const char16_t* Name;
  uint8_t Op;
};
// The node names of the script model's version operators; ">=" is the default.
constexpr std::array<TVersionOpName, 6> kVersionOps = {{
    {u"more", 0}, {u"moreEq", 1}, {u"less", 2}, {u"lessEq", 3}, {u"eq", 4}, {u"notEq", 5}}};

constexpr int kKindCount = 6;

}  // namespace

// =============================================================================================
// Section kinds

const WideString& SwStandardSectionTitle(TSwSectionKind kind) {
  static const std::array<WideString, kKindCount> titles = {u"Model", u"Tree", u"Option", u"Sample", u"Description",
                                                           u""};
  return titles[std::min<int>(kind, lsOther)];
}

const char* SwSectionKindName(TSwSectionKind kind) {
  static const std::array<const char*, kKindCount> names = {"lsModel",  "lsTree",        "lsOptions",
                                                            "lsSample", "lsDescription", "lsOther"};
  return names[std::min<int>(kind, lsOther)];
}

// =============================================================================================
// Subsections

void TSwSubsection::SetTitle(const WideString& title) { mSection->SetKey(Index(), title); }

int TSwSubsection::Index() const { return mSection->IndexOfSubsection(this); }

WideString TSwSubsection::HeaderLine() const {
  if (Index() == 0) return {};
  return u"===" + Utf8ToWide(Versions.Text()) + u" " + mTitle + u" ===";
}

WideString TSwSubsection::FullText() const {
  WideString header = HeaderLine();
  if (!header.empty() && !Contents.empty()) return header + mSection->Eoln() + Contents;
  return header + Contents;
}

// =============================================================================================
// Sections

TSwSection::TSwSection(TSwScript* script, const WideString& title, TSwSectionKind kind)
    : Kind(kind), mScript(script), mTitle(title) {
  Add(WideString(), {}, std::make_unique<TSwSubsection>(this));
}

TSwSection::~TSwSection() = default;

void TSwSection::Changed(const TSwHashChange& change) {
  TSwHash::Changed(change);
  if (change.Kind != TSwHashChange::Added && change.Kind != TSwHashChange::KeyChanged) return;
  if (auto* subsection = dynamic_cast<TSwSubsection*>(Object(change.Index))) subsection->mTitle = Key(change.Index);
}

TSwSubsection* TSwSection::AddSubsection(const WideString& title) {
  WideString trimmed = Trim(title);
  if (trimmed.empty()) SwRaise<ESwEmptySubsectionTitle>("Script subsection cannot have an empty title.");
  int index = Add(trimmed, {}, std::make_unique<TSwSubsection>(this));
  return Subsection(index);
}

TSwSubsection* TSwSection::FindSubsection(const WideString& title) const {
  WideString wanted = LowerCase(title);
  for (int i = 0; i < Count(); ++i)
    if (LowerCase(Key(i)) == wanted) return Subsection(i);
  return nullptr;
}

int TSwSection::IndexOfSubsection(const TSwSubsection* subsection) const {
  for (int i = 0; i < Count(); ++i)
    if (Object(i) == subsection) return i;
  return -1;
}

WideString TSwSection::Eoln() const {
  // A script that has not loaded anything has no line break yet; CR LF then, as without one.
  if (mScript && !mScript->Options.Eoln.empty()) return mScript->Options.Eoln;
  return u"\r\n";
}

WideString TSwSection::HeaderLine() const {
  return u"==" + Utf8ToWide(Versions.Text()) + u" " + OutputTitle() + u" ==";
}

WideString TSwSection::BodyText() const {
  WideString eoln = Eoln(), body;
  for (int i = 0; i < Count(); ++i) {
    WideString text = Subsection(i)->FullText();
    if (i > 1 || (i == 1 && !body.empty())) body += eoln + eoln;
    body += text;
  }
  return body;
}

WideString TSwSection::FullText() const { return HeaderLine() + Eoln() + BodyText(); }

WideString TSwSection::OutputTitle() const {
  if (!mScript) return mTitle;
  WideString local = mScript->LocalTitle(mTitle);
  if (local == mTitle && Kind != lsOther && Count() != 1) local += u"s";
  return local;
}

// =============================================================================================
// Script

// What one Load knows while the script model runs and while its tree is read.
struct TSwScript::TLoadState {
  TStream* Input = nullptr;
  int64_t Base = 0;                   // where the script text starts in the input
  TSwObject* Converted = nullptr;     // the stream of the converted rest, when there is one
  int64_t ConvertedAt = 0;            // where the converted rest starts in the input
  RawByteString ConvertedText;        // that rest as UTF-8
  RawByteString Text;                 // the script text as the model saw it
  TSwmSlicer* Slicer = nullptr;
};

TSwScript::TSwScript() {
  // Detected from each loaded file.
  Options.Eoln.clear();
}

TSwScript::~TSwScript() = default;

std::unique_ptr<TSwScript> TSwScript::CreateFrom(TStream& stream, const WideString& name) {
  auto script = std::make_unique<TSwScript>();
  script->Load(stream, name, true);
  return script;
}

void TSwScript::Load(TStream& stream, const WideString& name, bool keepSlicer) {
  Clear();
  mSlicer.reset();
  // The UTF-8 byte-order mark that editors write at the start reads as nothing.
  const int64_t start = stream.Position();
  char bom[3];
  if (stream.Read(bom, 3) != 3 || std::string_view(bom, 3) != "\xEF\xBB\xBF") stream.SetPosition(start);
  // A line break that an earlier load detected is detected again, so that reloading another
  // file counts its lines by its own line break.
  if (Options.Eoln.empty() || Options.Eoln == mDetectedEoln) {
    Options.Eoln = DetectEoln(stream);
    mDetectedEoln = Options.Eoln;
  }

  TLoadState state;
  state.Input = &stream;
  state.Base = stream.Position();
  std::unique_ptr<TSwmSlicer> slicer;
  {
    std::unique_ptr<TSwmCompiler> compiler = TSwmCompiler::LoadBuiltinModel(u"Script");
    compiler->Options = Options;
    compiler->Functions().Register(u"checkVersion", TSwFuncHandler::Of<&TSwScript::CheckVersion>(this));
    compiler->Functions().Register(u"convertCharset", TSwFuncHandler::Of<&TSwScript::ConvertCharset>(this));
    struct TGuard {
      TLoadState*& Slot;
      ~TGuard() { Slot = nullptr; }
    } guard{mLoading};
    mLoading = &state;
    slicer = compiler->Modell(stream);
  }

  if (!name.empty())
    mName = name;
  else
    mName = Utf8ToWide(SwStreamName(&stream));

  // The text as the model saw it: the input up to the converted rest, then that rest.
  int64_t end = state.Converted ? state.ConvertedAt : stream.Size();
  int64_t keep = stream.Position();
  stream.SetPosition(state.Base);
  state.Text.resize(static_cast<size_t>(std::max<int64_t>(end - state.Base, 0)));
  int64_t read = stream.Read(state.Text.data(), static_cast<int64_t>(state.Text.size()));
  state.Text.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
  stream.SetPosition(keep);
  state.Text += state.ConvertedText;
  state.Slicer = slicer.get();

  ReadTree(state);
  if (keepSlicer) mSlicer = std::move(slicer);
}

namespace {

// The text of a result node's property as wide text; empty for a missing node.
WideString NodeText(TSwmSlicer& slicer, TSwTreeNode* node, const char16_t* property) {
  if (!node) return {};
  return Utf8ToWide(slicer.PropertyText(node, property));
}

void ReadVersions(TSwmSlicer& slicer, TSwTreeNode* header, TSwVersions& versions) {
  versions.Clear();
  TSwTreeNode* list = header->FindChild(u"versions");
  if (!list) return;
  for (int i = 0; i < list->ChildCount(); ++i) {
    TSwTreeNode* operand = list->Child(i);
    if (operand->Name() != u"operand") continue;
    uint8_t op = 1;
    if (i > 0) {
      const WideString& before = list->Child(i - 1)->Name();
      for (const TVersionOpName& entry : kVersionOps)
        if (before == entry.Name) op = entry.Op;
    }
    versions.Add(op, SwParseVersion(WideToUtf8(Trim(NodeText(slicer, operand, u"inner")))));
  }
}

}  // namespace

void TSwScript::ReadTree(TLoadState& state) {
  TSwmSlicer& slicer = *state.Slicer;
  TSwTreeNode* root = slicer.Root();

  SetVersion(SwParseVersion(WideToUtf8(Trim(NodeText(slicer, root->FirstOnPath(u"header\\version"), u"inner")))));
  SetSignature(NodeText(slicer, root->FirstOnPath(u"header\\signature"), u"inner"));
  SetLanguage(NodeText(slicer, root->FirstOnPath(u"header\\lang\\code"), u"start"));
  SetCharset(NodeText(slicer, root->FirstOnPath(u"header\\lang\\charset"), u"start"));
  SetPreamble(NodeText(slicer, root->FirstOnPath(u"header\\preamble"), u"inner"));

  mLines.clear();
  if (TSwTreeNode* lines = root->FirstOnPath(u"header\\lang\\lines")) {
    for (int pair = 0; pair < lines->ChildCount() / 2; ++pair)
      AddLine(NodeText(slicer, lines->Child(pair * 2), u"start"), NodeText(slicer, lines->Child(pair * 2 + 1), u"inner"));
  }

  TSwTreeNode* sections = root->FindChild(u"sections");
  if (!sections) return;
  const RawByteString eoln = SwLineBreakBytes(Options.Eoln, SwUtf8Codepage);
  int64_t line = 0, running = 0;
  // The line of a header node: the line breaks between the last counted place and its start.
  auto lineOf = [&](TSwTreeNode* node) {
    TSwValue value;
    if (!node->FindValue(u"start", value) || !value.IsSlice()) return -1;
    int64_t at = value.Obj == state.Converted && state.Converted ? state.ConvertedAt - state.Base + value.Int
                                                                 : value.Int - state.Base;
    at = std::clamp<int64_t>(at, 0, static_cast<int64_t>(state.Text.size()));
    if (at > running) {
      line += CountOccurrences(state.Text, eoln, running, at);
      running = at;
    }
    return static_cast<int>(std::min<int64_t>(line, INT32_MAX));
  };

  TSwSection* section = nullptr;
  TSwSubsection* subsection = nullptr;
  for (int i = 0; i < sections->ChildCount(); ++i) {
    TSwTreeNode* node = sections->Child(i);
    const WideString& kindName = node->Name();
    if (kindName == u"section") {
      WideString title = EnglishTitle(Trim(NodeText(slicer, node->FindChild(u"title"), u"inner")));
      WideString lower = LowerCase(title);
      TSwSectionKind kind = lsOther;
      for (int k = 0; k < lsOther; ++k) {
        WideString standard = LowerCase(SwStandardSectionTitle(static_cast<TSwSectionKind>(k)));
        if (lower == standard || lower == standard + u"s") {
          kind = static_cast<TSwSectionKind>(k);
          break;
        }
      }
      section = kind == lsOther ? AddOther(title) : AddStandard(kind);
      subsection = section->DefaultSubsection();
      section->Line = subsection->Line = lineOf(node);
      ReadVersions(slicer, node, section->Versions);
    } else if (kindName == u"subsection") {
      if (!section) continue;
      subsection = section->AddSubsection(NodeText(slicer, node->FindChild(u"title"), u"inner"));
      subsection->Line = lineOf(node);
      ReadVersions(slicer, node, subsection->Versions);
    } else if (kindName == u"contents") {
      if (subsection) subsection->Contents = StripLineBreaks(NodeText(slicer, node, u"inner"));
    }
  }
}

std::unique_ptr<TSwmSlicer> TSwScript::TakeSlicer() {
  if (!mSlicer) SwRaise<ESwScriptNoSlicer>("%s has no Slicer assigned - KeepSlicer must have been set to True.", this);
  return std::move(mSlicer);
}

// ---------------------------------------------------------------------------------------------
// Header fields

void TSwScript::SetVersion(TSwVersion version) {
  if (version == 0) SwRaise<ESwScriptZeroVersion>("Attempted to set a zero TSwVersion for %s.", this);
  mVersion = version;
}

void TSwScript::SetSignature(const WideString& signature) { mSignature = Trim(signature); }

void TSwScript::SetLanguage(const WideString& code) {
  WideString language = LowerCase(std::u16string_view(code).substr(0, 2));
  mLanguage = language.empty() ? u"en" : language;
}

void TSwScript::SetCharset(const WideString& charset) {
  WideString lower = LowerCase(charset);
  if (lower.empty()) lower = u"utf-8";
  if (lower.size() > 3 && lower.compare(0, 3, u"utf") == 0 && lower[3] >= u'0' && lower[3] <= u'9')
    lower.insert(3, u"-");
  mCharset = lower;
}

int TSwScript::Codepage() const { return SwCharsetToCodepage(std::u16string_view(mCharset)); }

void TSwScript::SetPreamble(const WideString& preamble) { mPreamble = StripLineBreaks(preamble); }

void TSwScript::AddLine(const WideString& localTitle, const WideString& englishTitle) {
  mLines.emplace_back(Trim(localTitle), Trim(englishTitle));
}

WideString TSwScript::LocalTitle(const WideString& englishTitle) const {
  WideString wanted = LowerCase(englishTitle);
  for (const auto& [local, english] : mLines)
    if (LowerCase(english) == wanted) return Trim(local);
  return englishTitle;
}

WideString TSwScript::EnglishTitle(const WideString& localTitle) const {
  WideString wanted = LowerCase(Trim(localTitle));
  for (const auto& [local, english] : mLines) {
    if (LowerCase(local) != wanted) continue;
    WideString translated = Trim(english);
    return translated.empty() ? localTitle : translated;
  }
  return localTitle;
}

// ---------------------------------------------------------------------------------------------
// Sections

TSwSection* TSwScript::FindSection(const WideString& title) const {
  WideString wanted = LowerCase(title);
  for (int i = 0; i < Count(); ++i)
    if (LowerCase(Key(i)) == wanted) return Section(i);
  return nullptr;
}

TSwSection* TSwScript::TryByKey(TSwSectionKind kind) const {
  if (kind >= lsOther)
    SwRaise<ESwOtherSectionCall>("%s.%s doesn't accept section kind of lsOther.", this, "TryByKey");
  for (int i = 0; i < Count(); ++i)
    if (Section(i)->Kind == kind) return Section(i);
  return nullptr;
}

TSwSection* TSwScript::ByKey(TSwSectionKind kind) const {
  TSwSection* section = TryByKey(kind);
  if (!section) SwRaise<ESwScriptNoKind>("%s doesn't contain a %s section.", this, SwSectionKindName(kind));
  return section;
}

TSwSection* TSwScript::AddStandard(TSwSectionKind kind) {
  if (kind >= lsOther)
    SwRaise<ESwOtherSectionCall>("%s.%s doesn't accept section kind of lsOther.", this, "AddStandard");
  const WideString& title = SwStandardSectionTitle(kind);
  CheckSectionCount();
  if (TryByKey(kind) || FindSection(title))
    SwRaise<ESwDuplicatedSection>("Declaring '%s' %s section twice.", title, this);
  std::unique_ptr<TSwSection> section;
  if (kind == lsModel)
    section = std::make_unique<TSwModelSection>(this, title, kind);
  else if (kind == lsOptions)
    section = std::make_unique<TSwOptionSection>(this, title, kind);
  else
    section = std::make_unique<TSwSection>(this, title, kind);
  return Section(Add(title, {}, std::move(section)));
}

void TSwScript::CheckSectionCount() const {
  if (Count() >= MaxSections)
    SwRaise<ESwScriptTooManySections>("Script has more than %d sections.", static_cast<int>(MaxSections));
}

TSwSection* TSwScript::AddOther(const WideString& title) {
  WideString trimmed = Trim(title);
  if (trimmed.empty()) SwRaise<ESwEmptySectionTitle>("Script section cannot have an empty title.");
  CheckSectionCount();
  if (FindSection(trimmed)) SwRaise<ESwDuplicatedSection>("Declaring '%s' %s section twice.", trimmed, this);
  return Section(Add(trimmed, {}, std::make_unique<TSwSection>(this, trimmed, lsOther)));
}

// ---------------------------------------------------------------------------------------------
// The model

TSwSubsection* TSwScript::TryChosenModel() const {
  TSwSection* models = TryByKey(lsModel);
  if (!models || !models->Versions.MatchesLibrary()) return nullptr;
  for (int i = 0; i < models->SubsectionCount(); ++i) {
    TSwSubsection* candidate = models->Subsection(i);
    if (candidate->Versions.MatchesLibrary() && !candidate->Contents.empty()) return candidate;
  }
  return nullptr;
}

TSwSubsection* TSwScript::ChosenModel() const {
  ByKey(lsModel);
  TSwSubsection* chosen = TryChosenModel();
  if (!chosen)
    SwRaise<ESwScriptNoSupportedModel>("%s contains no models that support this version (%s).", this,
                                       SwVersionText(SwLibraryVersion));
  return chosen;
}

std::unique_ptr<TSwTreeNode> TSwScript::ReadModelDescription() const {
  TSwSubsection* chosen = ChosenModel();
  TStringStream text(WideToUtf8(chosen->Contents));
  // The items' source reads "script:line", with the item's line in the script, from 1.
  TSwmModellingStreamer reader;
  WideString source = u"<unknown>";
  if (chosen->Line >= 0) {
    source = mName;
    reader.FirstLine = chosen->Line + 1;  // the line after the model's header
  }
  reader.Options.Codepage = SwUtf8Codepage;
  return reader.Read(text, source);
}

std::unique_ptr<TSwmCompiler> TSwScript::CompileModel() const {
  std::unique_ptr<TSwTreeNode> description = ReadModelDescription();
  auto compiler = std::make_unique<TSwmCompiler>();
  compiler->Compile(description.get());
  compiler->SetCurrentDescription(nullptr);  // the description goes now
  return compiler;
}

// ---------------------------------------------------------------------------------------------
// Text

WideString TSwScript::Text() const {
  WideString eoln = Options.Eoln.empty() ? WideString(u"\r\n") : Options.Eoln;
  WideString text = u"Skeinwork " + Utf8ToWide(SwVersionText(mVersion));
  if (!mSignature.empty()) text += u" | " + mSignature;
  text += eoln;
  if (mLanguage != u"en" || mCharset != u"utf-8" || !mLines.empty()) {
    text += u"@" + mLanguage;
    if (mCharset != u"utf-8") text += u" " + mCharset;
    text += eoln;
    for (const auto& [local, english] : mLines) text += u"  " + local + u"=" + english + eoln;
    // A language line without translations takes its line break along when read, and the
    // first section header must follow a line break: an empty preamble line provides it.
    if (mLines.empty() && mPreamble.empty()) text += eoln;
  }
  if (!mPreamble.empty()) text += mPreamble + eoln;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) text += eoln;
    text += Section(i)->FullText() + eoln;
  }
  return text;
}

RawByteString TSwScript::EncodedText() const {
  int codepage = Codepage();
  return SwEncode(codepage == SwUnknownCodepage ? SwUtf8Codepage : codepage, Text());
}

// ---------------------------------------------------------------------------------------------
// External routines of the script model

namespace {

TSwmNode* RoutineNode(TSwFuncContext& context) {
  if (!context.Expression) return nullptr;
  return dynamic_cast<TSwmNode*>(context.Expression->ModelNode());
}

// The result node of the routine's parent model node: where its siblings put their results.
TSwTreeNode* RoutineResultParent(TSwmNode* node) {
  return node && node->Parent() ? node->Parent()->ResultNode() : nullptr;
}

void SetRoutineResult(TSwFuncContext& context, bool value) {
  if (context.Value) context.Value->Value = RpnBool(value);
}

}  // namespace

bool TSwScript::CheckVersion(TSwFuncContext& context) {
  TSwmNode* node = RoutineNode(context);
  if (node) {
    TSwTreeNode* results = RoutineResultParent(node);
    TSwTreeNode* versionNode = results ? results->LastChild(u"version") : nullptr;
    RawByteString text = versionNode ? node->Compiler().Slicer().PropertyText(versionNode, u"inner") : RawByteString();
    TSwVersion version = SwParseVersion(WideToUtf8(Trim(Utf8ToWide(text))));
    if (version > SwLibraryVersion)
      Error(MakeError<ESwLaterScriptVersion>("Skeinwork script version (v%s) is newer than this build (v%s).",
                                             SwVersionText(version), SwVersionText(SwLibraryVersion)));
  }
  SetRoutineResult(context, true);
  return node != nullptr;
}

bool TSwScript::ConvertCharset(TSwFuncContext& context) {
  TSwmNode* node = RoutineNode(context);
  if (node) {
    TSwmCompiler& compiler = node->Compiler();
    TSwTreeNode* results = RoutineResultParent(node);
    TSwTreeNode* charsetNode = results ? results->LastChild(u"charset") : nullptr;
    RawByteString name = charsetNode ? compiler.Slicer().PropertyText(charsetNode, u"start") : RawByteString();
    int codepage = name.empty() ? SwUtf8Codepage : SwCharsetToCodepage(std::string_view(name));
    if (codepage == SwUnknownCodepage) SwRaise<ESwBadScriptCharset>("%s charset '%s' is unknown.", this, name);
    if (codepage != SwUtf8Codepage) {
      TStream* input = compiler.CurrentStream();
      int64_t position = input->Position();
      RawByteString rest(static_cast<size_t>(std::max<int64_t>(input->Size() - position, 0)), '\0');
      int64_t read = input->Read(rest.data(), static_cast<int64_t>(rest.size()));
      rest.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
      input->SetPosition(position);
      RawByteString converted = WideToUtf8(SwDecode(codepage, rest));
      auto stream = std::make_unique<TStringStream>(converted);
      if (mLoading && !mLoading->Converted) {
        mLoading->Converted = stream.get();
        mLoading->ConvertedAt = position;
        mLoading->ConvertedText = std::move(converted);
      }
      compiler.PushStream(std::move(stream));
    }
  }
  SetRoutineResult(context, true);
  return node != nullptr;
}

// =============================================================================================
// The option store

const TMemIniFileW::TGroup* TMemIniFileW::FindGroup(const WideString& name) const {
  auto found = mGroupIndex.find(LowerCase(name));
  return found == mGroupIndex.end() ? nullptr : &mGroups[found->second];
}

const std::pair<WideString, WideString>* TMemIniFileW::FindKey(const TGroup& group, const WideString& key) {
  auto found = group.KeyIndex.find(LowerCase(key));
  return found == group.KeyIndex.end() ? nullptr : &group.Keys[found->second];
}

WideString TMemIniFileW::ReadString(const WideString& group, const WideString& key,
                                    const WideString& defaultValue) const {
  if (const TGroup* found = FindGroup(group))
    if (const auto* entry = FindKey(*found, key)) return entry->second;
  return defaultValue;
}

void TMemIniFileW::WriteString(const WideString& group, const WideString& key, const WideString& value) {
  auto [place, added] = mGroupIndex.try_emplace(LowerCase(group), mGroups.size());
  if (added) mGroups.push_back({group, {}, {}});
  TGroup& found = mGroups[place->second];
  auto [at, fresh] = found.KeyIndex.try_emplace(LowerCase(key), found.Keys.size());
  if (fresh)
    found.Keys.emplace_back(key, value);
  else
    found.Keys[at->second].second = value;
}

std::vector<WideString> TMemIniFileW::Groups() const {
  std::vector<WideString> names;
  for (const TGroup& group : mGroups) names.push_back(group.Name);
  return names;
}

std::vector<std::pair<WideString, WideString>> TMemIniFileW::GroupValues(const WideString& group) const {
  const TGroup* found = FindGroup(group);
  return found ? found->Keys : std::vector<std::pair<WideString, WideString>>();
}

int TMemIniFileW::KeyCount(const WideString& group) const {
  const TGroup* found = FindGroup(group);
  return found ? static_cast<int>(found->Keys.size()) : 0;
}

// =============================================================================================
// Option sections

TSwOptionSection::~TSwOptionSection() = default;

TMemIniFileW& TSwOptionSection::Values() {
  if (!mValues) Fill();
  return *mValues;
}

void TSwOptionSection::Fill() {
  mValues = std::make_unique<TMemIniFileW>();
  mGroup.clear();
  mPending = false;
  mBlankLines = -1;
  ParseContents(DefaultSubsection()->Contents);
  for (int i = 1; i < SubsectionCount(); ++i) {
    TSwSubsection* subsection = Subsection(i);
    if (!subsection->Versions.MatchesLibrary()) continue;
    mPending = false;
    mBlankLines = -1;
    mGroup = subsection->Title();
    ParseContents(subsection->Contents);
  }
}

void TSwOptionSection::ParseContents(const WideString& contents) {
  const WideString eoln = Eoln();
  size_t at = 0;
  while (at < contents.size()) {
    size_t next = contents.find(eoln, at);
    if (next == WideString::npos) next = contents.size();
    ParseLine(std::u16string_view(contents).substr(at, next - at));
    at = next == contents.size() ? next : next + eoln.size();
  }
  EndPendingValue();
}

void TSwOptionSection::ParseLine(std::u16string_view raw) {
  size_t end = raw.size();
  while (end > 0 && IsBlank(raw[end - 1])) --end;
  std::u16string_view line = raw.substr(0, end);
  if (!line.empty() && (line[0] == u'#' || line[0] == u';')) return;

  if (mPending) {
    if (line.empty()) {
      ++mBlankLines;
      return;
    }
    if (line.size() >= 2 && line[0] == u' ' && line[1] == u' ') {
      mPendingValue += Repeat(Eoln(), mBlankLines + 1);
      mPendingValue += line.substr(2);
      mBlankLines = 0;
      return;
    }
    EndPendingValue();
  }

  size_t begin = 0;
  while (begin < line.size() && IsBlank(line[begin])) ++begin;
  std::u16string_view text = line.substr(begin);
  WideString key, value;
  size_t equals = text.find(u'=');
  if (equals == std::u16string_view::npos) {
    key = WideString(text);
    value = u"1";
  } else {
    key = WideString(text.substr(0, equals));
    value = Trim(text.substr(equals + 1));
  }

  WideString group = mGroup;
  if (group.empty()) {
    size_t dot = key.find(u'.');
    if (dot != WideString::npos) {
      group = key.substr(0, dot);
      key = key.substr(dot + 1);
    }
  }
  key = Trim(key);
  if (key.empty()) return;
  group = Trim(group);
  if (group.empty()) group = DefaultGroup;

  mValues->WriteString(group, key, value);
  if (value.empty()) {
    mPending = true;
    mPendingGroup = group;
    mPendingKey = key;
    mPendingValue.clear();
    mBlankLines = -1;
  }
}

void TSwOptionSection::EndPendingValue() {
  if (mPending && !mPendingValue.empty()) mValues->WriteString(mPendingGroup, mPendingKey, mPendingValue);
  mPending = false;
  mPendingValue.clear();
}

bool TSwOptionSection::HasValues() const {
  return const_cast<TSwOptionSection*>(this)->Values().GroupCount() > 0;
}

WideString TSwOptionSection::BodyText() const {
  TMemIniFileW& values = const_cast<TSwOptionSection*>(this)->Values();
  const WideString eoln = Eoln();
  std::vector<WideString> groups = values.Groups();
  auto sw = std::find_if(groups.begin(), groups.end(), [](const WideString& g) { return SameText(g, DefaultGroup); });
  if (sw != groups.end()) std::rotate(groups.begin(), sw, sw + 1);

  WideString body;
  bool first = true;
  for (const WideString& group : groups) {
    bool isDefault = SameText(group, DefaultGroup);
    for (const auto& [key, value] : values.GroupValues(group)) {
      if (!first) body += eoln;
      first = false;
      if (!isDefault) body += group + u".";
      body += key;
      if (value == u"1") continue;
      if (value.find(eoln) != WideString::npos) {
        WideString indented;
        size_t at = 0, next;
        while ((next = value.find(eoln, at)) != WideString::npos) {
          indented += value.substr(at, next - at) + eoln + u"  ";
          at = next + eoln.size();
        }
        indented += value.substr(at);
        body += u" =" + eoln + u"  " + indented;
      } else if (value.empty()) {
        body += u" =";
      } else {
        body += u" = " + value;
      }
    }
  }
  return body;
}

WideString TSwOptionSection::OutputTitle() const {
  WideString title = TSwSection::OutputTitle();
  if (title != SwStandardSectionTitle(lsOptions)) return title;
  TMemIniFileW& values = const_cast<TSwOptionSection*>(this)->Values();
  std::vector<WideString> groups = values.Groups();
  if (groups.empty() || values.KeyCount(groups.front()) != 1) title += u"s";
  return title;
}

}  // namespace skeinwork
