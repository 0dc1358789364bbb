#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "SwTreeOutput.h"

namespace skeinwork {
namespace {

// A value of the given kinds, as a tree file or an expression may leave it.
TSwValue ValueOf(TSwTypes kinds, int64_t integer, double frac = 0, TSwObject* object = nullptr) {
  TSwValue value;
  value.Kinds = kinds;
  value.Int = integer;
  value.Frac = frac;
  value.Obj = object;
  return value;
}

// A range as a tree file holds it: offset and length without the stream.
TSwValue SavedRange(int64_t offset, int64_t length) {
  return ValueOf(SwKind(ltInt) | SwKind(ltFrac) | SwKind(ltSlice), offset, static_cast<double>(length));
}

void AddRanges(TSwTreeNode* node, TStream* stream, int64_t start, int64_t startLength, int64_t innerLength,
               int64_t endLength = -1) {
  TSwProperties& bag = node->Properties();
  bag.AddValue(TSwName(u"startGlobal"), TSwValue::OfSlice(start, startLength, stream));
  bag.AddValue(TSwName(u"innerGlobal"), TSwValue::OfSlice(start + startLength, innerLength, stream));
  if (endLength >= 0)
    bag.AddValue(TSwName(u"endGlobal"), TSwValue::OfSlice(start + startLength + innerLength, endLength, stream));
}

// Reads ranges of string streams, as the slicer reads a result's input.
int64_t ReadRange(TSwObject* stream, int64_t offset, char* buffer, int64_t maxCount) {
  auto* source = dynamic_cast<TStringStream*>(stream);
  if (!source) return 0;
  return static_cast<int64_t>(
      source->DataString().copy(buffer, static_cast<size_t>(maxCount), static_cast<size_t>(offset)));
}

TEST(SwTreeOutput, JsonValues) {
  TStringStream stream("x");
  TSwValue mixed = TSwValue::OfText(u"ab\"c\n");
  mixed.Kinds |= SwKind(ltInt);
  mixed.Int = -7;
  const std::vector<std::pair<TSwValue, std::string>> cases = {
      {TSwValue::OfSlice(16, 4, &stream), R"({"offset":16,"length":4})"},
      {SavedRange(3000000000LL, 12), R"({"offset":3000000000,"length":12})"},
      {TSwValue::OfText(u"caf\u00e9"), R"({"str":"café"})"},
      {mixed, R"({"str":"ab\"c\n","int":-7})"},
      {TSwValue::OfRaw(std::string("\x00\xAB\x10", 3)), R"({"raw":"00AB10"})"},
      {TSwValue::OfBool(false), R"({"bool":false})"}, {TSwValue::OfInt(42), R"({"int":42})"},
      {ValueOf(SwKind(ltFrac), 0, 2.5), R"({"frac":2.5})"},
      {ValueOf(SwKind(ltObj), 0, 0, &stream), R"({"obj":"TStringStream"})"},
      {ValueOf(SwKind(ltObj), 0), R"({"obj":"<nil object>"})"}, {TSwValue(), "{}"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(SwJsonValue(value), expected);
  // Large values go out piece by piece; a surrogate pair across a piece's end stays whole.
  std::u16string text(65535, u'a');
  text += u"\U0001F600\"";
  std::string expected = R"({"str":")" + std::string(65535, 'a') + "\xF0\x9F\x98\x80\\\"\",\"raw\":\"";
  TSwValue large = TSwValue::OfText(text);
  large.Kinds |= SwKind(ltRaw);
  large.SetRaw(std::string(70000, '\x5A'));
  for (int i = 0; i < 70000; ++i) expected += "5A";
  EXPECT_EQ(SwJsonValue(large), expected + "\"}");
}

TEST(SwTreeOutput, TextForm) {
  TStringStream stream(std::string("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00", 20) + std::string(100000, 'x'));
  TSwTreeNode root(TSwName(u""));
  AddRanges(&root, &stream, 0, 0, 100020);
  TSwTreeNode* riff = root.AddChild(TSwName(u"riff"));
  AddRanges(riff, &stream, 0, 4, 4);
  TSwTreeNode* chunk = riff->AddChild(TSwName(u"chunk"));
  AddRanges(chunk, &stream, 12, 4, 0);
  chunk->AddChild(TSwName(u""))->Properties().AddValue(TSwName(u"inner"), SavedRange(70000, 16));
  root.AddChild(TSwName(u"bare"));
  AddRanges(root.AddChild(TSwName(u"empty")), &stream, 36, 0, 0);

  std::ostringstream out;
  SwWriteTextTree(out, &root, ReadRange, {8});
  EXPECT_EQ(out.str(),
            "<unnamed>  0000..186B4  100020  \"RIFF$...\"...\n"
            "  riff  0000..0008  8  \"RIFF$...\"\n"
            "    chunk  000C..0010  4  \"fmt \"\n"
            "      <unnamed>  11170..11180  16\n"
            "  bare\n"
            "  empty  0024..0024  0\n");

  std::ostringstream plain;
  SwWriteTextTree(plain, riff);
  EXPECT_EQ(plain.str(), "riff  0000..0008  8\n  chunk  000C..0010  4\n    <unnamed>  11170..11180  16\n");
}

TEST(SwTreeOutput, JsonRangesLeaveOutOnlyEqualCounterparts) {
  TStringStream stream("abcdef");
  TSwTreeNode root(TSwName(u"top"));
  // Kept compact (no bag): a node read in the first input, its two forms equal.
  root.SetValue(TSwName(u"inner"), TSwValue::OfSlice(0, 6, &stream));
  root.SetValue(TSwName(u"innerGlobal"), TSwValue::OfSlice(0, 6, &stream));
  // In a nested stream the forms differ; a range without a counterpart, and a text under a
  // range's name, always stay.
  TSwTreeNode* row = root.AddChild(TSwName(u"row"));
  TSwProperties& bag = row->Properties();
  bag.AddValue(TSwName(u"end"), TSwValue::OfText(u"x"));
  bag.AddValue(TSwName(u"endGlobal"), TSwValue::OfSlice(5, 0, &stream));
  bag.AddValue(TSwName(u"start"), SavedRange(0, 2));
  bag.AddValue(TSwName(u"startGlobal"), SavedRange(3, 2));
  bag.AddValue(TSwName(u"inner"), SavedRange(2, 1));
  bag.AddValue(TSwName(u"innerGlobal"), SavedRange(2, 1));
  root.AddChild(TSwName(u""))->AddChild(TSwName(u"deep"));

  const std::string head = R"({"name":"top","props":{)";
  const std::string rowHead = R"(},"children":[{"name":"row","props":{"end":{"str":"x"},"endGlobal":{"offset":5,"length":0},)";
  const std::string tail = R"(},"children":[]},{"name":"","props":{},"children":[)"
                           R"({"name":"deep","props":{},"children":[]}]}]})" "\n";
  const std::vector<std::pair<TSwJsonRanges, std::string>> cases = {
      {TSwJsonRanges::All, head + R"("inner":{"offset":0,"length":6},"innerGlobal":{"offset":0,"length":6})" + rowHead +
                               R"("inner":{"offset":2,"length":1},"innerGlobal":{"offset":2,"length":1},)"
                               R"("start":{"offset":0,"length":2},"startGlobal":{"offset":3,"length":2})" + tail},
      {TSwJsonRanges::Local, head + R"("inner":{"offset":0,"length":6})" + rowHead +
                                 R"("inner":{"offset":2,"length":1},)"
                                 R"("start":{"offset":0,"length":2},"startGlobal":{"offset":3,"length":2})" + tail},
      {TSwJsonRanges::Global, head + R"("innerGlobal":{"offset":0,"length":6})" + rowHead +
                                  R"("innerGlobal":{"offset":2,"length":1},)"
                                  R"("start":{"offset":0,"length":2},"startGlobal":{"offset":3,"length":2})" + tail},
  };
  for (const auto& [ranges, expected] : cases) {
    std::ostringstream out;
    SwWriteJsonTree(out, &root, {ranges});
    EXPECT_EQ(out.str(), expected);
  }
}

TEST(SwTreeOutput, DeepTreesAreWalkedWithoutRecursion) {
  const int depth = 3000;
  auto root = std::make_unique<TSwTreeNode>(TSwName(u"n"));
  TSwTreeNode* node = root.get();
  for (int i = 0; i < depth; ++i) node = node->AddChild(TSwName(u"n"));
  std::ostringstream json, text;
  SwWriteJsonTree(json, root.get());
  SwWriteTextTree(text, root.get());
  int levels = 0;
  nlohmann::json parsed = nlohmann::json::parse(json.str());
  for (const nlohmann::json* at = &parsed; !(*at)["children"].empty(); at = &(*at)["children"][0]) ++levels;
  EXPECT_EQ(levels, depth);
  std::string lastLine = text.str();
  lastLine.pop_back();
  lastLine = lastLine.substr(lastLine.rfind('\n') + 1);
  EXPECT_EQ(lastLine, std::string(depth * 2, ' ') + "n");
  // Free the chain from the bottom so that freeing does not recurse either.
  while (node != root.get()) {
    TSwTreeNode* parent = node->Parent();
    node->Remove();
    node = parent;
  }
}

}  // namespace
}  // namespace skeinwork
