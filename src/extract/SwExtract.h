// SwExtract: writing the data of many result nodes to files, one file per node.
//
// After a run, a data path picks the nodes (and the property whose bytes are taken), an
// optional data expression transforms each one, and a name path and name expression relative
// to each data node name its file. TSwDataNodeSaver walks the matches and gives each one's name
// and content; SwExtractData is the loop that turns them into files in a directory. The viewer's
// extraction window and the command-line program's "extract" command both start from here.
// The unit sits above the modelling engine: it reads a finished result tree through the slicer
// of its run and evaluates model expressions on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "SwCore.h"
#include "SwExpressions.h"
#include "SwModelling.h"
#include "SwNodes.h"

namespace skeinwork {

SW_EXCEPTION(ESwEmptyDataNodePath, ESkeinwork);

// Walks the data matches below a base node and gives each one's file name and content.
class TSwDataNodeSaver : public TSwObject {
 public:
  // Bytes of a name read for naming and of a stream value turned into text.
  static constexpr int64_t MaxNameBytes = 260;

  // The slicer reads the bytes of the base node's tree; it may be null for a tree without
  // input (names then fall back to offsets and ranges have no bytes).
  TSwDataNodeSaver(TSwTreeNode* baseNode, TSwmSlicer* slicer);
  ~TSwDataNodeSaver() override;

  TSwOptions Options;  // its Codepage decodes bytes into names

  // Setting any of the four resets the saver.
  const WideString& DataPath() const { return mDataPath; }
  const WideString& DataExpr() const { return mDataExpr; }
  const WideString& NamePath() const { return mNamePath; }
  const WideString& NameExpr() const { return mNameExpr; }
  void SetDataPath(const WideString& value);
  void SetDataExpr(const WideString& value);
  void SetNamePath(const WideString& value);
  void SetNameExpr(const WideString& value);

  // Starts the matches again from the first.
  virtual void Reset();
  // Moves to the next data match; false when there is none. An empty data path raises
  // ESwEmptyDataNodePath.
  virtual bool Next();
  // The current match's file name: the name node's text (or name expression), made safe for
  // file names, else the data's start offset, else "$" and an identifier of the property.
  WideString CurrentName();
  // Writes the current match's content; false when it is not worth a file (the data
  // expression gave empty text).
  bool SaveTo(TStream& stream);

  // The index of the current match; -1 before the first and after a reset.
  int Count() const { return mCount; }
  TSwTreeNode* DataNode() const { return mDataNode; }
  TSwProperty* DataProperty() const { return mDataProperty; }
  TSwTreeNode* NameNode() const { return mNameNode; }
  TSwProperty* NameProperty() const { return mNameProperty; }

 private:
  struct TEvaluation;
  // Evaluates an expression on a node and property, with the property's bytes as its input.
  std::unique_ptr<TEvaluation> Evaluate(const WideString& text, TSwTreeNode* node, TSwProperty* property);
  WideString ValueText(const TSwExpressionResult& result) const;
  WideString FallbackName();

  TSwTreeNode* mBase;   // not owned
  TSwmSlicer* mSlicer;  // not owned
  WideString mDataPath, mDataExpr, mNamePath, mNameExpr;
  std::unique_ptr<TSwNodeByNodeFinder> mDataFinder;  // made on reset when there is a data path
  int mCount = -1;
  TSwTreeNode* mDataNode = nullptr;
  TSwProperty* mDataProperty = nullptr;
  TSwTreeNode* mNameNode = nullptr;
  TSwProperty* mNameProperty = nullptr;
  std::map<const TSwProperty*, uint32_t> mIdentities;  // fallback names of range-less data
};

// A name made safe for a file name: trimmed; each run of \ / * ? < > : |, the double quote and
// control characters becomes one "-" before a permitted character and is dropped at the end;
// "." and ".." (which name directories) become empty.
WideString SwSafeFileName(std::u16string_view name);

// The file path of a name: the directory (a "/" is added when it lacks one), then the format
// with every "?" replaced by the name; with omitExtension, when both the name and the format
// hold a ".", the path's last extension is dropped, so that the name's own extension stays.
WideString SwExtractFilePath(const WideString& directory, const WideString& format, const WideString& name,
                             bool omitExtension);

struct TSwExtractSettings {
  WideString Directory;           // made, with its parents, when missing
  WideString Format = u"?.dat";   // "?" stands for the name
  bool OmitExtension = true;
  const std::atomic<bool>* Stop = nullptr;  // when set, the loop ends before the next file
  // Called for every match before its file is written, with its name (the saver holds the match).
  std::function<void(const TSwDataNodeSaver& saver, const WideString& name)> OnMatch;
  // Called for every file kept, with its path.
  std::function<void(const WideString& path)> OnWritten;
};

// The extraction loop: one file per data match, created (replacing a file from before the run),
// written by SaveTo and deleted again when SaveTo answers false. A path that an earlier match of
// the run has written gets "-2", "-3", ... before its last extension; a file name too long for
// the file system is shortened, keeping its extension. Answers the number of files kept; errors
// end the loop and the files written so far stay.
int SwExtractData(TSwDataNodeSaver& saver, const TSwExtractSettings& settings);

}  // namespace skeinwork
