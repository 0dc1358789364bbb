// SwScript: script files (.sw) and their option sections.
//
// A script is a text file that carries a model and what a user needs around it: a header line
// ("Skeinwork 0.79 | signature"), an optional language line ("@ru koi8-r") with translations of
// section titles, a free preamble, and sections ("== Model ==", "== Tree ==", "== Options ==",
// "== Sample ==", "== Description ==" and user-named ones), each split into titled subsections
// that may be limited to library versions ("===[< 0.7] Old ===").
//
// Start from TSwScript: Load (or CreateFrom) reads a script by modelling its text with the
// built-in script model (SWMSCRIPT) and then reading the result tree by node paths; ChosenModel
// picks the model subsection for this library version and CompileModel turns it into a
// TSwmCompiler ready to model data. TSwOptionSection reads an "Option" section into an ini-style
// store of groups and keys (TMemIniFileW).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SwCore.h"
#include "SwHashes.h"
#include "SwModelling.h"
#include "SwNodes.h"

namespace skeinwork {

// Every script error derives from ESwScript, except a script that needs a newer library.
SW_EXCEPTION(ESwScript, ESkeinwork);
SW_EXCEPTION(ESwLaterScriptVersion, ESkeinwork);
SW_EXCEPTION(ESwBadScriptCharset, ESwScript);
SW_EXCEPTION(ESwScriptZeroVersion, ESwScript);
SW_EXCEPTION(ESwEmptySectionTitle, ESwScript);
SW_EXCEPTION(ESwEmptySubsectionTitle, ESwScript);
SW_EXCEPTION(ESwDuplicatedSection, ESwScript);
SW_EXCEPTION(ESwOtherSectionCall, ESwScript);
SW_EXCEPTION(ESwScriptNoKind, ESwScript);
SW_EXCEPTION(ESwScriptNoSupportedModel, ESwScript);
SW_EXCEPTION(ESwScriptNoSlicer, ESwScript);
SW_EXCEPTION(ESwScriptTooManySections, ESwScript);

enum TSwSectionKind : uint8_t {
  lsModel,        // "Model": TSwModelSection
  lsTree,         // "Tree"
  lsOptions,      // "Option": TSwOptionSection
  lsSample,       // "Sample"
  lsDescription,  // "Description"
  lsOther,        // any other title
};

// The standard title of a kind ("Model" ...); empty for lsOther.
const WideString& SwStandardSectionTitle(TSwSectionKind kind);
// The enumeration name of a kind ("lsModel"), as messages show it.
const char* SwSectionKindName(TSwSectionKind kind);

class TSwScript;
class TSwSection;

// A titled part of a section; the default subsection (index 0) has the empty title and holds
// the text right below the section header.
class TSwSubsection : public TSwObject {
 public:
  explicit TSwSubsection(TSwSection* section) : mSection(section) {}

  TSwSection* Section() const { return mSection; }
  // The subsection's key in its section; SetTitle renames that key.
  const WideString& Title() const { return mTitle; }
  void SetTitle(const WideString& title);
  int Index() const;

  int Line = -1;          // 0-based line of the header in the script; -1 when unknown
  TSwVersions Versions;   // empty: every version
  WideString Contents;    // without line breaks at either end

  // Header, a line break and the contents (no line break when either is empty).
  virtual WideString FullText() const;
  // "===[versions] title ===", empty for the default subsection.
  virtual WideString HeaderLine() const;

 private:
  friend class TSwSection;
  TSwSection* mSection;  // owner
  WideString mTitle;
};

// A section: its subsections keyed by title (case-insensitive), the default one always first.
class TSwSection : public TSwHash {
 public:
  // `script` may be null for a free-standing section.
  TSwSection(TSwScript* script, const WideString& title, TSwSectionKind kind = lsOther);
  ~TSwSection() override;

  TSwScript* Script() const { return mScript; }
  const WideString& Title() const { return mTitle; }

  int Line = -1;                   // 0-based line of the header in the script; -1 when unknown
  TSwVersions Versions;            // empty: every version
  TSwSectionKind Kind = lsOther;

  // Adds a subsection under the trimmed title (ESwEmptySubsectionTitle for an empty one).
  TSwSubsection* AddSubsection(const WideString& title);
  int SubsectionCount() const { return Count(); }
  TSwSubsection* Subsection(int index) const { return static_cast<TSwSubsection*>(Object(index)); }
  TSwSubsection* DefaultSubsection() const { return Subsection(0); }
  // The first subsection with the title (compared case-insensitively), or null.
  TSwSubsection* FindSubsection(const WideString& title) const;
  int IndexOfSubsection(const TSwSubsection* subsection) const;

  // The line break of the owning script, CR LF without one.
  WideString Eoln() const;

  // Whether the section holds parsed values (option sections).
  virtual bool HasValues() const { return false; }
  // Header, line break, body.
  virtual WideString FullText() const;
  // "==[versions] title ==".
  virtual WideString HeaderLine() const;
  // The subsections' texts, separated by an empty line.
  virtual WideString BodyText() const;
  // The title as written: localized, and in plural for a standard kind with other than one
  // subsection.
  virtual WideString OutputTitle() const;

 protected:
  // Keeps each subsection's title equal to its key.
  void Changed(const TSwHashChange& change) override;

 private:
  TSwScript* mScript;  // not owned; the owner when set
  WideString mTitle;
};

// The model section: a section of kind lsModel.
class TSwModelSection : public TSwSection {
 public:
  using TSwSection::TSwSection;
};

// An in-memory ini-style store: groups of keys with text values, both kept in order of
// creation and compared case-insensitively.
class TMemIniFileW : public TSwObject {
 public:
  WideString ReadString(const WideString& group, const WideString& key, const WideString& defaultValue) const;
  // Replaces the value of an existing key (keeping its place and spelling).
  void WriteString(const WideString& group, const WideString& key, const WideString& value);
  std::vector<WideString> Groups() const;
  std::vector<std::pair<WideString, WideString>> GroupValues(const WideString& group) const;
  int GroupCount() const { return static_cast<int>(mGroups.size()); }
  int KeyCount(const WideString& group) const;

 private:
  // Names are found through indexes of their lower-case forms, so that a section of many keys
  // loads in time that grows with its length, not with its square.
  struct TGroup {
    WideString Name;
    std::vector<std::pair<WideString, WideString>> Keys;
    std::unordered_map<WideString, size_t> KeyIndex;  // lower-case key -> place in Keys
  };
  const TGroup* FindGroup(const WideString& name) const;
  static const std::pair<WideString, WideString>* FindKey(const TGroup& group, const WideString& key);

  std::vector<TGroup> mGroups;
  std::unordered_map<WideString, size_t> mGroupIndex;  // lower-case name -> place in mGroups
};

// The "Option" section: lines "key = value", read into a store on first use. The default
// subsection's keys go to the group "sw" unless written "group.key"; each further subsection
// that suits this library version is the group of its keys.
class TSwOptionSection : public TSwSection {
 public:
  static constexpr const char16_t* DefaultGroup = u"sw";

  using TSwSection::TSwSection;
  ~TSwOptionSection() override;

  // The store, made and filled from the section text on first access.
  TMemIniFileW& Values();

  bool HasValues() const override;
  WideString BodyText() const override;
  WideString OutputTitle() const override;

 private:
  void Fill();
  void ParseContents(const WideString& contents);
  void ParseLine(std::u16string_view line);
  // Stores the value that continuation lines were adding to, if any.
  void EndPendingValue();

  std::unique_ptr<TMemIniFileW> mValues;  // owned, made on first access
  WideString mGroup;         // the group of the subsection being read; empty for the default
  WideString mPendingGroup;  // the key whose value further lines may continue
  WideString mPendingKey;
  WideString mPendingValue;  // kept here and stored once the value ends: no copy per line
  bool mPending = false;
  int mBlankLines = -1;      // blank lines inside the continued value; -1 right after the key
};

// A script: header fields and sections keyed by title (case-insensitive).
class TSwScript : public TSwHash {
 public:
  // Sections a script may have: each new title is compared with every title before it, so a
  // script of many thousands would take minutes to load. Real scripts have a handful.
  static constexpr int MaxSections = 1024;

  TSwScript();
  ~TSwScript() override;

  // A script loaded from the stream at once, keeping the loading run's slicer. The slicer reads
  // from the stream, so the stream must outlive it.
  static std::unique_ptr<TSwScript> CreateFrom(TStream& stream, const WideString& name);

  // Line break (detected per file when empty) and code page.
  TSwOptions Options;

  // Replaces the contents with those read from the stream's position on. Without `keepSlicer`
  // the loading run's slicer is freed; with it, Slicer() keeps it (reading from `stream`).
  void Load(TStream& stream, const WideString& name = {}, bool keepSlicer = false);

  const WideString& Name() const { return mName; }
  TSwmSlicer* Slicer() const { return mSlicer.get(); }
  // Hands the kept slicer over (ESwScriptNoSlicer without one).
  std::unique_ptr<TSwmSlicer> TakeSlicer();

  TSwVersion Version() const { return mVersion; }
  void SetVersion(TSwVersion version);  // 0 raises ESwScriptZeroVersion
  const WideString& Signature() const { return mSignature; }
  void SetSignature(const WideString& signature);  // trimmed
  const WideString& Language() const { return mLanguage; }
  void SetLanguage(const WideString& code);  // two characters, lower case; empty gives "en"
  const WideString& Charset() const { return mCharset; }
  void SetCharset(const WideString& charset);  // lower case, "utf8" -> "utf-8", empty -> "utf-8"
  // The code page the charset names; -1 when unknown.
  int Codepage() const;
  const WideString& Preamble() const { return mPreamble; }
  void SetPreamble(const WideString& preamble);  // without line breaks at either end

  // Translations of section titles: (local title, English title) pairs in order.
  const std::vector<std::pair<WideString, WideString>>& Lines() const { return mLines; }
  // Adds a trimmed pair; an existing local title (case-insensitive) gets the new English title.
  void AddLine(const WideString& localTitle, const WideString& englishTitle);
  void ClearLines() { mLines.clear(); }
  // The local title whose English title is the given one, or the given title.
  WideString LocalTitle(const WideString& englishTitle) const;
  // The English title of a local title, or the given title.
  WideString EnglishTitle(const WideString& localTitle) const;

  int SectionCount() const { return Count(); }
  TSwSection* Section(int index) const { return static_cast<TSwSection*>(Object(index)); }
  // The section with the title (compared case-insensitively), or null.
  TSwSection* FindSection(const WideString& title) const;
  // The section of a standard kind, or null; lsOther raises ESwOtherSectionCall.
  TSwSection* TryByKey(TSwSectionKind kind) const;
  // As TryByKey, but a missing section raises ESwScriptNoKind.
  TSwSection* ByKey(TSwSectionKind kind) const;
  // Creates the section of a standard kind under its standard title.
  TSwSection* AddStandard(TSwSectionKind kind);
  // Creates an lsOther section under the trimmed title.
  TSwSection* AddOther(const WideString& title);
  void ClearSections() { Clear(); }

  // The model subsection for this library version, or null / ESwScriptNoSupportedModel.
  TSwSubsection* TryChosenModel() const;
  TSwSubsection* ChosenModel() const;
  // The chosen model read into a description tree, which the caller owns.
  std::unique_ptr<TSwTreeNode> ReadModelDescription() const;
  // The chosen model read and compiled; the caller owns the compiler.
  std::unique_ptr<TSwmCompiler> CompileModel() const;

  // The whole script as text: header, language line and translations, preamble, sections.
  WideString Text() const;
  // The text encoded in the script's charset (ASCII-compatible charsets; UTF-8 by default).
  RawByteString EncodedText() const;

  // The external routines of the script model; public for the run's callbacks.
  bool CheckVersion(TSwFuncContext& context);
  bool ConvertCharset(TSwFuncContext& context);

 private:
  struct TLoadState;
  void ReadTree(TLoadState& state);
  // Raises ESwScriptTooManySections when no section can be added.
  void CheckSectionCount() const;

  WideString mName;
  WideString mDetectedEoln;  // the line break the last load detected
  std::unique_ptr<TSwmSlicer> mSlicer;  // owned until taken
  TSwVersion mVersion = SwLibraryVersion;
  WideString mSignature;
  WideString mLanguage = u"en";
  WideString mCharset = u"utf-8";
  WideString mPreamble;
  std::vector<std::pair<WideString, WideString>> mLines;
  TLoadState* mLoading = nullptr;  // the state of the Load in progress; not owned
};

}  // namespace skeinwork
