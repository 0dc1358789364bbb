#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "SwExtract.h"
#include "SwTestSupport.h"

namespace skeinwork {
namespace {

TEST(SwExtract, SafeFileNamesAndPaths) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"a/b:c", u"a-b-c"}, {u"  x y  ", u"x y"}, {u"a//b", u"a-b"},      {u"ab?", u"ab"},
      {u"?ab", u"-ab"},     {u"a<>|\"*b", u"a-b"}, {u"a\\b", u"a-b"},   {u"..", u""},
      {u".", u""},          {u"...", u"..."},      {u"", u""},          {u"\t\r\n", u""},
      {std::u16string(u"dup\0one", 7), u"dup-one"},  {u"a\tb\nc\x7f", u"a-b-c"}, {u"a\x1b[31mb", u"a-[31mb"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(SwSafeFileName(name), expected) << WideToUtf8(name);

  struct TCase { std::u16string Directory, Format, Name; bool Omit; std::u16string Expected; };
  const std::vector<TCase> paths = {
      {u"out", u"?.dat", u"img.png", true, u"out/img.png"}, {u"out", u"?.dat", u"img.png", false, u"out/img.png.dat"},
      {u"out/", u"?.dat", u"x", true, u"out/x.dat"}, {u"out", u"?", u"img.png", true, u"out/img.png"},
      {u"out", u"pre-?-?.bin", u"a", false, u"out/pre-a-a.bin"}, {u"d.x", u"?.dat", u"a.b", true, u"d.x/a.b"},
      {u"d.x", u"?", u"ab", true, u"d.x/ab"},
  };
  for (const TCase& c : paths)
    EXPECT_EQ(SwExtractFilePath(c.Directory, c.Format, c.Name, c.Omit), c.Expected) << WideToUtf8(c.Name);
}

// The saver over a hand-made result tree: three chunks, each with a name and a data node, of
// "a/b:c|DATA1|img.png|DATA22|   |DATA333".
class SwDataNodeSaverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mSlicer.RegisterStream(&mInput, false);
    auto root = std::make_unique<TSwTreeNode>(TSwName(u""));
    const int64_t ranges[3][4] = {{0, 5, 6, 5}, {12, 7, 20, 6}, {27, 3, 31, 7}};
    for (const auto& r : ranges) {
      TSwTreeNode* chunk = root->AddChild(TSwName(u"chunk"));
      AddRange(chunk, r[0], r[2] + r[3] - r[0]);
      AddRange(chunk->AddChild(TSwName(u"name")), r[0], r[1]);
      AddRange(chunk->AddChild(TSwName(u"data")), r[2], r[3]);
    }
    for (const char16_t* title : {u"first", u"second"})
      root->AddChild(TSwName(u"meta"))->Properties().AddValue(TSwName(u"title"), TSwValue::OfText(title));
    mRoot = root.get();
    mSlicer.SetRoot(std::move(root));
  }

  void AddRange(TSwTreeNode* node, int64_t offset, int64_t length) {
    TSwProperties& bag = node->Properties();
    bag.AddValue(TSwName(u"start"), TSwValue::OfSlice(offset, 0, &mInput));
    bag.AddValue(TSwName(u"inner"), TSwValue::OfSlice(offset, length, &mInput));
    bag.AddValue(TSwName(u"startGlobal"), TSwValue::OfSlice(offset, 0, &mInput));
    bag.AddValue(TSwName(u"innerGlobal"), TSwValue::OfSlice(offset, length, &mInput));
  }

  // A saver of the data on the path, the other paths and expressions as given.
  std::unique_ptr<TSwDataNodeSaver> Saver(const std::u16string& dataPath, const std::u16string& dataExpr = u"",
                                          const std::u16string& namePath = u"", const std::u16string& nameExpr = u"") {
    auto saver = std::make_unique<TSwDataNodeSaver>(mRoot, &mSlicer);
    saver->SetDataPath(dataPath);
    saver->SetDataExpr(dataExpr);
    saver->SetNamePath(namePath);
    saver->SetNameExpr(nameExpr);
    return saver;
  }

  // «name=content» for every match, with "-" for content not worth a file.
  std::vector<std::string> Matches(TSwDataNodeSaver& saver) {
    std::vector<std::string> out;
    while (saver.Next()) {
      TStringStream content;
      bool keep = saver.SaveTo(content);
      out.push_back(WideToUtf8(saver.CurrentName()) + "=" + (keep ? content.DataString() : "-"));
    }
    return out;
  }

  TStringStream mInput{"a/b:c|DATA1|img.png|DATA22|   |DATA333"};
  TSwmSlicer mSlicer;
  TSwTreeNode* mRoot = nullptr;
};

TEST_F(SwDataNodeSaverTest, NamesAndContents) {
  struct TCase { std::u16string DataPath, DataExpr, NamePath, NameExpr; std::vector<std::string> Expected; };
  const std::vector<TCase> cases = {
      {u"chunk\\data$start", u"", u"", u"", {"00000006=", "00000014=", "0000001F="}},
      {u"chunk", u"", u"name", u"", {"a-b-c=a/b:c|DATA1", "img.png=img.png|DATA22", "0000001B=   |DATA333"}},
      // Properties without a range get identities of their own.
      {u"meta$title", u"", u"", u"", {"$00000001=", "$00000002="}},
      {u"chunk\\data", u"$ rev", u".name", u"$ rev", {"c-b-a=1ATAD", "gnp.gmi=22ATAD", "0000001F=333ATAD"}},
      {u"chunk\\data", u"2 3 +", u".name", u"''", {"00000006=5", "00000014=5", "0000001F=5"}},
      // A value that still carries its stream is copied whole.
      {u"chunk\\data", u"$ len", u"", u"", {"00000006=DATA1", "00000014=DATA22", "0000001F=DATA333"}},
      {u"chunk\\data", u"''", u"", u"", {"00000006=-", "00000014=-", "0000001F=-"}}, {u"nothing", u"", u"", u"", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.DataPath + u" " + c.DataExpr + u" " + c.NamePath + u" " + c.NameExpr));
    EXPECT_EQ(Matches(*Saver(c.DataPath, c.DataExpr, c.NamePath, c.NameExpr)), c.Expected);
  }
}

// A changed path starts the matches over; without a match there is no name or content.
TEST_F(SwDataNodeSaverTest, CountsResetsAndErrors) {
  std::unique_ptr<TSwDataNodeSaver> saver = Saver(u"chunk\\data");
  std::string counts = std::to_string(saver->Count());
  while (saver->Next()) counts += " " + std::to_string(saver->Count());
  saver->SetNamePath(u".name");
  counts += " " + std::to_string(saver->Count());
  EXPECT_EQ(counts + " " + (saver->Next() ? WideToUtf8(saver->CurrentName()) : "none"), "-1 0 1 2 -1 a-b-c");

  TSwDataNodeSaver empty(mRoot, &mSlicer);
  TStringStream out;
  ExpectError<ESkeinwork>([&] { empty.Next(); }, "Empty data node path given to TSwDataNodeSaver.");
  ExpectError<ESkeinwork>([&] { empty.CurrentName(); }, "No next data for TSwDataNodeSaver.CurrentName.");
  ExpectError<ESkeinwork>([&] { empty.SaveTo(out); }, "No next data for TSwDataNodeSaver.SaveTo.");
}

std::map<std::string, std::string> FilesIn(const std::filesystem::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    files[std::filesystem::relative(entry.path(), directory).string()] = ReadFile(entry.path());
  }
  return files;
}

TEST_F(SwDataNodeSaverTest, ExtractionLoopWritesOneFilePerMatch) {
  using TFiles = std::map<std::string, std::string>;
  struct TCase { std::u16string NamePath, NameExpr, DataExpr, Format; bool Omit; TFiles Expected, Before = {}; };
  const std::string longName = std::string(NAME_MAX - 4, 'n');
  const std::vector<TCase> cases = {
      {u".name", u"", u"", u"?.dat", true, {{"a-b-c.dat", "DATA1"}, {"img.png", "DATA22"}, {"0000001F.dat", "DATA333"}}},
      {u".name", u"", u"", u"?.dat", false, {{"a-b-c.dat", "DATA1"}, {"img.png.dat", "DATA22"}, {"0000001F.dat", "DATA333"}}},
      // Without a name path every name is the data's global start offset.
      {u"", u"", u"", u"sub/x-?.bin", true, {{"sub/x-00000006.bin", "DATA1"}, {"sub/x-00000014.bin", "DATA22"},
                                             {"sub/x-0000001F.bin", "DATA333"}}},
      // Files whose content is empty text are removed again.
      {u"", u"", u"''", u"?.dat", true, {}},
      // Equal names are numbered before the last extension; a file from before the run is replaced.
      {u".name", u"'dup.one'", u"", u"?.dat", true, {{"dup.one", "DATA1"}, {"dup-2.one", "DATA22"}, {"dup-3.one", "DATA333"}},
       {{"dup.one", "old"}, {"keep", "old"}}},
      {u"", u"", u"", u"same", true, {{"same", "DATA1"}, {"same-2", "DATA22"}, {"same-3", "DATA333"}}},
      // A name too long for the file system keeps its extension and its number.
      {u".name", u"'" + Utf8ToWide(longName + "nn") + u".png'", u"", u"?.dat", true,
       {{longName + ".png", "DATA1"}, {longName.substr(2) + "-2.png", "DATA22"}, {longName.substr(2) + "-3.png", "DATA333"}}},
  };
  for (const TCase& c : cases) {
    TScratchDir scratch("extract");
    const std::filesystem::path& directory = scratch.Path();
    for (const auto& [name, content] : c.Before) WriteFile(directory / name, content);
    std::unique_ptr<TSwDataNodeSaver> saver = Saver(u"chunk\\data", c.DataExpr, c.NamePath, c.NameExpr);
    TSwExtractSettings settings;
    settings.Directory = Utf8ToWide(directory.string());
    settings.Format = c.Format;
    settings.OmitExtension = c.Omit;
    std::vector<std::string> written;
    settings.OnWritten = [&](const WideString& path) { written.push_back(WideToUtf8(path)); };
    EXPECT_EQ(SwExtractData(*saver, settings), static_cast<int>(c.Expected.size()));
    TFiles expected = c.Expected;
    for (const auto& [name, content] : c.Before) expected.emplace(name, content);
    EXPECT_EQ(FilesIn(directory), expected);
    std::vector<std::string> listed;
    for (const auto& [name, content] : c.Expected) listed.push_back((directory / name).string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, listed);
  }
}

TEST_F(SwDataNodeSaverTest, ExtractionLoopStopsWhenAsked) {
  TScratchDir scratch("extract-stop");
  const std::filesystem::path directory = scratch / "out";
  std::unique_ptr<TSwDataNodeSaver> saver = Saver(u"chunk\\data");
  std::atomic<bool> stop{false};
  TSwExtractSettings settings;
  settings.Directory = Utf8ToWide(directory.string());
  settings.Stop = &stop;
  settings.OnWritten = [&](const WideString&) { stop = true; };
  std::vector<std::string> matched;  // what a progress display learns before each file
  settings.OnMatch = [&](const TSwDataNodeSaver& current, const WideString& name) {
    matched.push_back(std::to_string(current.Count()) + " " + WideToUtf8(current.DataNode()->Name()) + " " +
                      WideToUtf8(name));
  };
  EXPECT_EQ(SwExtractData(*saver, settings), 1);
  EXPECT_EQ(FilesIn(directory).size(), 1u);
  EXPECT_EQ(matched, std::vector<std::string>{"0 data 00000006"});
}

}  // namespace
}  // namespace skeinwork
