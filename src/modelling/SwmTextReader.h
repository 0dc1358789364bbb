// SwmTextReader: reading model texts into model description trees.
//
// A model is indented text, one item per line. The readers turn it into a description tree:
// TSwTreeNode items nested by indentation, each carrying the item's settings as properties
// ("source", "mPath", "mCond", "mOrder", "mIs...", "mMergesL", "mMergesR"). TSwmNativeStreamer
// is the hand-written reader; TSwmModellingStreamer reads by running the built-in model of the
// model language. The library carries two built-in models (SWMMODEL, the model language;
// SWMSCRIPT, the script file format), read with SwmReadBuiltinModel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SwCore.h"
#include "SwNodes.h"
#include "SwStreamers.h"

namespace skeinwork {

// One entry of a merge list: the name of a merged item.
struct TSwStreamingMerge {
  WideString name;
  bool isNonConsuming = false;  // written with "..." after the name
};
using TSwStreamingMerges = std::vector<TSwStreamingMerge>;

// The settings of one model line, filled by a reader and turned into one description node.
struct TSwmLineItem {
  bool isResetter = false;
  bool isOptional = false;
  bool isTentative = false;
  bool isOnce = false;
  bool isOffContext = false;
  bool isInheriting = false;
  bool isPrepending = false;
  bool isNonConsuming = false;
  int32_t order = 0;  // 0 when not given
  WideString name;
  WideString path;
  WideString cond;
  TSwValue source;  // line index (ltInt, from 0) with the source name (ltStr)
  int32_t indent = 0;  // in levels of two spaces
  TSwStreamingMerges leftMerges;
  TSwStreamingMerges rightMerges;

  void Clear() { *this = TSwmLineItem(); }
};

// The eight flags of a model item, in their stored order, with every name they go by: the
// description property, the node the model language's own model marks them with, the word the
// program lists them by, and the line record's field.
struct TSwmItemFlag {
  const char16_t* Property;  // "mIsResetter"
  const char16_t* ModelNode;  // "isResetter"
  const char* Word;           // "resetter"
  bool TSwmLineItem::*Field;
};
inline constexpr TSwmItemFlag SwmItemFlags[] = {
    {u"mIsResetter", u"isResetter", "resetter", &TSwmLineItem::isResetter},
    {u"mIsOptional", u"isOptional", "optional", &TSwmLineItem::isOptional},
    {u"mIsTentative", u"isTentative", "tentative", &TSwmLineItem::isTentative},
    {u"mIsOnce", u"isOnce", "once", &TSwmLineItem::isOnce},
    {u"mIsOffContext", u"isOffContext", "off-context", &TSwmLineItem::isOffContext},
    {u"mIsInheriting", u"isInheriting", "inheriting", &TSwmLineItem::isInheriting},
    {u"mIsPrepending", u"isPrepending", "prepending", &TSwmLineItem::isPrepending},
    {u"mIsNonConsuming", u"isNonConsuming", "non-consuming", &TSwmLineItem::isNonConsuming},
};

// The text of a merge list property: entries separated by U+0000, each trimmed and with a "."
// in front when non-consuming.
WideString SwmEncodeMerges(const TSwStreamingMerges& merges);

// "source:LINE" (line counted from 1) for a "source" value; a value without a line index reads
// as its text.
WideString SwmSourceText(const TSwValue& source);

// Base of the model text readers: keeps the indentation state and turns the filled line record
// into a node of the description tree. The root of the tree has no name; the caller of Read
// owns it. A read stops at the first bad line with ESwBadTextStreaming.
class TSwmTextStreamer : public TSwLineStreamer {
 public:
  explicit TSwmTextStreamer(TSwTreeNode* root = nullptr);

  const TSwmLineItem& Item() const { return mItem; }

 protected:
  // Starts a new description tree, then reads the text.
  void DoRead() override;
  // Clears the line record; a reader overrides it to fill the record and call AddItem.
  bool ReadLine() override;
  // Checks the record's indentation, attaches its node under the right parent and writes the
  // properties.
  void AddItem();

  // Both readers name a quoted-name item after the tail of its path made of letters, digits
  // and "_"; raises when the path ends with none of them.
  WideString NameFromPath(const WideString& path) const;
  [[noreturn]] void RaisePathTwice() const;
  // Raises the parse error about the current line with a problem text formatted from an
  // English format (translated first).
  template <class... A>
  [[noreturn]] void ParseError(std::string_view englishFormat, const A&... args) const {
    TextError(SwFormat(SwTranslate(englishFormat), args...));
  }

  // Whether upper-casing the text changes it.
  static bool HasLowerCase(std::u16string_view text);

  TSwmLineItem mItem;
  WideString mRest;  // what is left of the line being parsed
  int mPreviousIndent = -1;
  TSwTreeNode* mLastAdded = nullptr;  // not owned; the root before the first item
};

// The hand-written reader of the model language; reads the built-in models, among others.
class TSwmNativeStreamer : public TSwmTextStreamer {
 public:
  using TSwmTextStreamer::TSwmTextStreamer;

 protected:
  bool ReadLine() override;

 private:
  void ParsePrefix();
  std::vector<WideString> ParseNames();
  void ParsePath();
  void InterpretNames(std::vector<WideString>& entries);
  WideString TakeWord();
};

// The self-hosted reader: parses a model text by running the built-in model of the model
// language (SWMMODEL) over it, and builds the same description tree as the native reader.
class TSwmModellingStreamer : public TSwmTextStreamer {
 public:
  using TSwmTextStreamer::TSwmTextStreamer;

 protected:
  void DoRead() override;

 private:
  // Adds the source name, file line and text of the line a failed run stopped in to the error.
  void LocateFailedLine(ESkeinwork& error);
};

// ---------------------------------------------------------------------------------------------
// Built-in models

SW_EXCEPTION(ESwmNoBuiltinModel, ESkeinwork);

// The whole text of a built-in model resource by its name ("SWMMODEL", "SWMSCRIPT"), compared
// without regard to case; raises ESwmNoBuiltinModel for another name.
std::string_view SwBuiltinModelText(std::u16string_view name);

// The part of a resource text that holds the model: after the first "==" + line feed within
// the first 1024 bytes when the text starts with "Skeinwork " and a digit, else all of it.
std::string_view SwmModelTextOf(std::string_view resource);

// Reads a built-in model with TSwmNativeStreamer into a description tree the caller owns; the
// resource name (upper case) is the source name of its items.
std::unique_ptr<TSwTreeNode> SwmReadBuiltinModel(std::u16string_view name);

}  // namespace skeinwork
