#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "SwModelSupport.h"
#include "SwTreeDump.h"

namespace skeinwork {
namespace {

// Test support: a compact picture of description nodes.
//
// One node reads «name path="p" cond="c" ORDER FLAGS L="a|.b" R="c" @source:line»: the name
// ("<>" when empty), the path and condition when present, the order, one character per flag in
// the order Resetter, Optional, Tentative, once (1), off-conteXt, Inheriting, Prepending,
// Non-consuming ("-" when false), the merge lists with U+0000 shown as "|", and the source.
// A property that is missing or of the wrong kind shows as "#", an unexpected one as "#name".

const char* const kFlagNames[] = {"mIsResetter",  "mIsOptional",  "mIsTentative",  "mIsOnce",
                                  "mIsOffContext", "mIsInheriting", "mIsPrepending", "mIsNonConsuming"};
const char kFlagLetters[] = "ROT1XIPN";

std::string Describe(const TSwTreeNode* node) {
  std::map<std::string, const TSwValue*> props;
  if (TSwProperties* bag = node->PropertiesIfAny())
    for (int i = 0; i < bag->Count(); ++i) props[WideToUtf8(bag->Property(i)->Name())] = &bag->Property(i)->Value();

  auto take = [&](const std::string& name) -> const TSwValue* {
    auto entry = props.extract(name);
    return entry ? entry.mapped() : nullptr;
  };
  auto text = [&](const std::string& name, const std::string& label) -> std::string {
    const TSwValue* value = take(name);
    if (!value) return {};
    if (value->Kinds != SwKind(ltStr)) return " " + label + "=#";
    std::string shown = WideToUtf8(value->Text());
    std::replace(shown.begin(), shown.end(), '\0', '|');
    return " " + label + "=\"" + shown + "\"";
  };

  std::string out = node->Name().empty() ? "<>" : WideToUtf8(node->Name());
  out += text("mPath", "path");
  out += text("mCond", "cond");
  const TSwValue* order = take("mOrder");
  out += order && order->Kinds == SwKind(ltInt) ? " " + std::to_string(order->Int) : " #";
  out += " ";
  for (int i = 0; i < 8; ++i) {
    const TSwValue* flag = take(kFlagNames[i]);
    out += !flag || flag->Kinds != SwKind(ltBool) ? '#' : flag->Bool ? kFlagLetters[i] : '-';
  }
  out += text("mMergesL", "L");
  out += text("mMergesR", "R");
  const TSwValue* source = take("source");
  out += source && source->Kinds == (SwKind(ltInt) | SwKind(ltStr)) ? " @" + WideToUtf8(SwmSourceText(*source)) : " @#";
  for (const auto& [name, value] : props) out += " #" + name;
  return out;
}

// Every node below `node`, one line each, indented by two blanks per level.
std::string DescribeAll(const TSwTreeNode* node, int depth = 0) {
  return DumpLines(node, [](const TSwTreeNode& n) { return Describe(&n); }, depth);
}

// "a:1(b:2 c:3)": names and 1-based lines only, for the shape of the tree below `node`.
std::string Shape(const TSwTreeNode* node) {
  return DumpChildren(node, {[](const TSwTreeNode& n) {
                        TSwProperty* source = n.PropertiesIfAny() ? n.PropertiesIfAny()->Find(u"source") : nullptr;
                        return WideToUtf8(n.Name()) + ":" + (source ? std::to_string(source->Value().Int + 1) : "?");
                      }});
}

// "EClass: message" of the error that reading the text raises, or "no error".
std::string ParseProblem(const std::string& text) {
  return ErrorText([&] { ReadModel(text, u"m"); });
}

TEST(NativeStreamer, EachLineGivesOneDescribedItem) {
  struct Row { const char* line; const char* item; };  // item: Describe() of the one node, without its source
  const Row rows[] = {
      // Prefixes.
      {"1", "<> 1 --------"}, {"01 a = x", "a cond=\"= x\" 1 R-------"}, {"0x = y", "<> cond=\"= y\" 0 R-------"},
      {"0? % SP+ + SP+", "<> cond=\"% SP+ + SP+\" 0 RO------"}, {"05^ A", "A 5 R-T-----"}, {"^", "<> 0 --T-----"},
      {".12 a = x", "a cond=\"= x\" 0 ---1----"}, {".? != ^", "<> cond=\"!= ^\" 0 -O-1----"},
      {".^ mods _", "mods cond=\"_\" 0 --T1----"}, {"99999999999 A", "A 0 --------"},
      {"2? \"lang\" % NL @", "lang path=\"lang\" cond=\"% NL @\" 2 -O------"},
      {"1? +merge \".leftMerges\" != (", "merge path=\".leftMerges\" cond=\"!= (\" 1 -O---IP-"},
      // Plain names, keywords and references.
      {"END", "END 0 --------"}, {"name", "name 0 -----I--"}, {". spaces", "spaces 0 ---1-I--"},
      {"1 name =", "name cond=\"=\" 1 --------"}, {"num... % DIG", "num cond=\"% DIG\" 0 -------N"},
      {"cond... = ?", "cond cond=\"= ?\" 0 -------N"}, {"@A", "A 0 -----I--"}, {"+merge", "merge 0 -----IP-"},
      {"@_x = y", "_x cond=\"= y\" 0 -----I--"}, {"a\t= x", "a cond=\"= x\" 0 --------"},
      // Optional shorthand.
      {"END? eof", "END cond=\"? eof\" 0 --------"}, {"name?", "name cond=\"?\" 0 --------"},
      // Paths and names as paths.
      {"\"blank\"? eof", "blank path=\"blank\" cond=\"? eof\" 0 --------"},
      {".? \"indent\"... % SP SP", "indent path=\"indent\" cond=\"% SP SP\" 0 -O-1---N"},
      {".? FAIL \"Off-context nodes cannot have tree positions (paths).\"? .isOffContext? has",
       "FAIL path=\"Off-context nodes cannot have tree positions (paths).\" cond=\"? .isOffContext? has\" 0 -O-1----"},
      {". \".name\" % ID+", "name path=\".name\" cond=\"% ID+\" 0 ---1----"},
      {R"("nameAsPath" = ")", R"(nameAsPath path="nameAsPath" cond="= "" 0 --------)"},
      {"\"a\\b_1\"", "b_1 path=\"a\\b_1\" 0 -----I--"}, {"@\"p\" = x", "p path=\"p\" cond=\"= x\" 0 -----I--"},
      {".? merge \"rightMerges\" % + SP+", "merge path=\"rightMerges\" cond=\"% + SP+\" 0 -O-1-I--"},
      {"1 header \"section\" = ==", "header path=\"section\" cond=\"= ==\" 1 -----I--"},
      {"a  \"p \"  = x", "a path=\"p\" cond=\"= x\" 0 -----I--"}, {"A \"p\"", "A path=\"p\" 0 --------"},
      {"@A \"p\"", "A path=\"p\" 0 -----I--"}, {"+MERGE \"p\"", "MERGE path=\"p\" 0 ------P-"},
      // Conditions without a names part.
      {". ? checkVersion", "<> cond=\"? checkVersion\" 0 ---1----"},
      {R"(. % [^"]+)", R"(<> cond="% [^"]+" 0 ---1----)"},
      {"_a = x", "<> cond=\"_a = x\" 0 --------"}, {"!% SP", "<> cond=\"!% SP\" 0 --------"},
      {R"(escaped = "")", R"(escaped cond="= """ 0 --------)"},
      {"0? multiple... % SP [^\\]]", "multiple cond=\"% SP [^\\]]\" 0 RO-----N"},
      // Off-context items and merges.
      {"(merge)", "merge 0 ----XI--"}, {"(versionOp...)", "versionOp 0 ----XI-N"},
      {"(@b...) = x", "b cond=\"= x\" 0 ----X--N"},
      {"(+b)", "b 0 ----XIP-"}, {".^ @versionOp % SP*", "versionOp cond=\"% SP*\" 0 --T1-I--"},
      {"a + b + c = x", "a cond=\"= x\" 0 -------- R=\"b|c\""}, {"a + b...", "a 0 -----I-- R=\".b\""},
      {"a + b... + c = x", "a cond=\"= x\" 0 -------- R=\".b|c\""}, {"a + (b) + c", "b 0 ----XI-- L=\"a\" R=\"c\""},
      {"x... + y + (z...) + w", "z 0 ----XI-N L=\".x|y\" R=\"w\""}, {"(a...) + b", "a 0 ----XI-N R=\"b\""},
      {"x + (y) + (z)", "y 0 ----XI-- L=\"x\" R=\"(z)\""}, {"a + + b", "a cond=\"b\" 0 -------- R=\"+\""},
  };
  for (const Row& row : rows) {
    auto root = ReadModel(row.line, u"m");
    ASSERT_EQ(root->ChildCount(), 1) << row.line;
    EXPECT_EQ(Describe(root->Child(0)), std::string(row.item) + " @m:1") << row.line;
  }
}

TEST(NativeStreamer, MergeListsStopAt256NamesAndNestingAtAThousandLevels) {
  std::string line = "n0";
  for (int i = 1; i < 300; ++i) line += " + n" + std::to_string(i);
  auto root = ReadModel(line, u"m");
  TSwTreeNode* item = root->Child(0);
  WideString merges = item->Properties().Get(u"mMergesR")->Value().Text();
  EXPECT_EQ(std::count(merges.begin(), merges.end(), u'\0'), 254);  // 255 merged names
  EXPECT_EQ(WideToUtf8(item->Properties().Get(u"mCond")->Value().Text()).substr(0, 10), "+ n256 + n");

  std::string text;
  for (int level = 0; level <= 1000; ++level) text += std::string(level * 2, ' ') + "a\n";
  TSwTreeNode* node = (root = ReadModel(text, u"m")).get();
  int depth = 0;
  while (node->ChildCount()) node = node->Child(0), ++depth;
  EXPECT_EQ(depth, 1001);
  EXPECT_EQ(ParseProblem(text + std::string(2002, ' ') + "a"),
            "ESwBadTextStreaming: Problem parsing string with TSwmNativeStreamer (wrong indentation - 1001) on "
            "line 1002; text nearby: '" + std::string(20, ' ') + "...'.");
}

TEST(NativeStreamer, BadLinesRaiseParseErrors) {
  struct Row { std::string text; std::string problem; int line; std::string nearby; };
  const Row rows[] = {
      {"   a", "wrong indentation - must be even to 2, got 3 spaces", 1, "   a"},
      {"a\n\t b", "wrong indentation - must be even to 2, got 3 spaces", 2, "\t b"},
      {"  a", "wrong indentation - got more than 0 spaces (2)", 1, "  a"},
      {"a\n  b\n\n      c", "wrong indentation - got more than 4 spaces (6)", 4, "      c"},
      {"a\n\t\t\tb", "wrong indentation - got more than 2 spaces (6)", 2, "\t\t\tb"},
      {"a +", "unterminated merge list", 1, "a +"}, {"a + b +   ", "unterminated merge list", 1, "a + b +"},
      {"\" \"", "unterminated \"node path\"", 1, "\" \""},
      {"a \"path = x", "unterminated \"node path\"", 1, "a \"path = x"},
      {"a + (b", "no closing bracket for '(off-context)'", 1, "a + (b"},
      {"(b)... = x", "no closing bracket for '(off-context)'", 1, "(b)... = x"},
      {"\"x = y", "no matching apostrophe in \"name\"", 1, "\"x = y"},
      {"\"a\" \"b\"", "defining item's \"path\" twice", 1, "\"a\" \"b\""},
      {"\"a.\" = x", "\"path\" contains none of a-z, A-Z, 0-9 or '_'", 1, "\"a.\" = x"},
      {"a + (@)", "empty item name", 1, "a + (@)"}, {"a + (...)", "empty item name", 1, "a + (...)"},
      {"a\n b = a very long condition", "wrong indentation - must be even to 2, got 1 spaces", 2,
       " b = a very long con..."},
  };
  for (const Row& row : rows) {
    std::string expected = "ESwBadTextStreaming: Problem parsing string with TSwmNativeStreamer (" + row.problem +
                           ") on line " + std::to_string(row.line) + "; text nearby: '" + row.nearby + "'.";
    EXPECT_EQ(ParseProblem(row.text), expected) << row.text;
  }
}

TEST(NativeStreamer, IndentationShapesTheTree) {
  const std::pair<std::string, std::string> rows[] = {
      {"a\n  b\n    c\n  d\ne\n", "a:1(b:2(c:3) d:4) e:5"},
      {"a\n  b\n    c\n      d\ne\n  f", "a:1(b:2(c:3(d:4))) e:5(f:6)"},
      {"a\n  b\n    c\n      d\n  e", "a:1(b:2(c:3(d:4)) e:5)"},
      {"a\n      ; deep comment\n   ; odd comment\n    \n  b\n; top\n\n    c\n ;x\nd", "a:1(b:5(c:8)) d:10"},
      {"a\n\tb\n\t\tc\n  \td\n", "a:1(b:2(c:3 d:4))"}, {"a\r\n  b\r\n\r\nc\r\n", "a:1(b:2) c:4"},
      {"x\nx\n  x\n", "x:1 x:2(x:3)"}, {"\n\n; only comments\n", ""},
      {"END? eof\nLINE\n  \"blank\"? eof\n  \"line\" =\n    .? \"indent\"... % SP SP\n      % SP SP\n"
       "    . \"cond\" =", "END:1 LINE:2(blank:3 line:4(indent:5(:6) cond:7))"},
  };
  for (const auto& [text, shape] : rows) {
    auto root = ReadModel(text, u"m");
    EXPECT_EQ(root->Name(), u"");
    EXPECT_EQ(root->PropertiesIfAny() ? root->PropertiesIfAny()->Count() : 0, 0);
    EXPECT_EQ(Shape(root.get()), shape) << text;
  }
}

TEST(NativeStreamer, SourceNamesTheInputAndCodepageDecodesNames) {
  TSwmNativeStreamer reader;
  TStringStream stream("\na");
  auto root = reader.Read(stream);
  EXPECT_EQ(SwmSourceText(root->Child(0)->Properties().Get(u"source")->Value()), u"<StringStream>:2");
  EXPECT_EQ(SwmSourceText(TSwValue::OfText(u"implicit")), u"implicit");
  EXPECT_EQ(DescribeAll(ReadModel("X\xC3\xA4 \"p\"\nX\xC3\x84 \"q\"", u"u").get()),  // Xä, XÄ
            "X\xC3\xA4 path=\"p\" 0 -----I-- @u:1\n"
            "X\xC3\x84 path=\"q\" 0 -------- @u:2\n");
}

// Random texts over the characters the line syntax cares about: every read either gives a tree
// whose nodes carry all their properties or stops with one of the reader's own problems.
TEST(NativeStreamer, RandomTextsGiveTreesOrKnownProblems) {
  const std::string alphabet = "  \t\n\n+()@\".?^01aA_;=%!";
  const std::vector<std::string> problems = {
      "wrong indentation - ", "unterminated merge list", "unterminated \"node path\"",
      "no closing bracket for '(off-context)'", "no matching apostrophe in \"name\"",
      "defining item's \"path\" twice", "\"path\" contains none of a-z, A-Z, 0-9 or '_'", "empty item name"};
  std::mt19937 random(20240611);
  int trees = 0;
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    try {
      // A missing, unexpected or mistyped property shows as "#".
      const std::string described = DescribeAll(ReadModel(text, u"m").get());
      EXPECT_EQ(described.find('#'), std::string::npos) << text << "\n" << described;
      ++trees;
    } catch (const ESwBadTextStreaming& e) {
      bool known = false;
      for (const std::string& problem : problems) known = known || e.Problem.rfind(problem, 0) == 0;
      EXPECT_TRUE(known) << text << "\n" << e.Message();
      ++failures;
    }
  }
  EXPECT_GT(trees, 100);
  EXPECT_GT(failures, 100);
}

// The reader that runs the model of model texts

// Every item that a reader of class TReader makes of `text`, or the error it raises.
template <class TReader>
std::string ReadWith(const std::string& text) {
  return ResultOrError([&] {
    TReader reader;
    reader.Options.Codepage = 65001;
    TStringStream stream(text);
    return DescribeAll(reader.Read(stream, u"m").get());
  });
}

TEST(ModellingStreamer, BothReadersBuildTheSameTrees) {
  const std::string corpus[] = {
      std::string(SwmModelTextOf(SwBuiltinModelText(u"SWMMODEL"))),
      std::string(SwmModelTextOf(SwBuiltinModelText(u"SWMSCRIPT"))), "1 \"a\" = a\n2 \"b\" = b\n",
      "\"X\"\n  END? eof\n", "(pair)\n  = (\n  = )\n\"P\" + pair... = <\n",
      "; a comment\n\n\"L\"\n  \"+g\\v\" = x\n  END? eof\n", "first + (middle) + last % SP+\n",
      "01 \"R\" = r\n. \"S\" = s\n^ @Name \"a\\b\" = t\n", "\"N\" != b\n  \"x\" = a\n",
      "\"Q\" = q\n  \"in\" % SP* ID+\n",
  };
  for (const std::string& text : corpus) {
    const std::string native = ReadWith<TSwmNativeStreamer>(text);
    EXPECT_EQ(ReadWith<TSwmModellingStreamer>(text), native) << text.substr(0, 60);
    EXPECT_EQ(native.find("ESw"), std::string::npos) << native;
  }
}

TEST(ModellingStreamer, WhereTheReadersDiffer) {
  // An odd indentation is the model's WARN, not the native parse error.
  EXPECT_EQ(ReadWith<TSwmModellingStreamer>("\"A\"\n   \"B\" = b\n").rfind(
                "ESwmWarning: Indentation space count must be even to 2.", 0), 0u);
  // "@" with a capital name and a path: the path decides, so the item does not inherit.
  EXPECT_EQ(ReadWith<TSwmModellingStreamer>("@NAME \"p\\q\"\n"), "NAME path=\"p\\q\" 0 -------- @m:1\n");
  EXPECT_EQ(ReadWith<TSwmNativeStreamer>("@NAME \"p\\q\"\n"), "NAME path=\"p\\q\" 0 -----I-- @m:1\n");
  EXPECT_NE(ReadWith<TSwmModellingStreamer>("\"a\" \"b\" = x\n").find("defining item's \"path\" twice"),
            std::string::npos);
}

// Built-in models

TEST(BuiltinModels, ResourcesAreEmbeddedUnchangedAndTheModelFollowsTheHeader) {
  for (const char* name : {"SWMMODEL", "SWMSCRIPT"}) {
    std::string file = ReadFile(std::string(SKEINWORK_MODEL_RESOURCES_DIR) + "/" + name + ".txt");
    ASSERT_FALSE(file.empty()) << name;
    EXPECT_EQ(SwBuiltinModelText(Utf8ToWide(name)), file) << name;
  }
  EXPECT_EQ(SwBuiltinModelText(u"SwmScript").data(), SwBuiltinModelText(u"SWMSCRIPT").data());
  EXPECT_EQ(SwBuiltinModelText(u"swmmodel").substr(0, 17), "Skeinwork 0.79 | ");
  ExpectError<ESwmNoBuiltinModel>([] { SwBuiltinModelText(u"SwmNone"); },
                                  "There is no built-in model named 'SwmNone'.");
  const std::pair<std::string, std::string> rows[] = {
      {"Skeinwork 0.79 | x\n\n== Model ==\nA\n", "A\n"}, {"Skeinwork 1==\nA", "A"},
      {"Skeinwork 0.79\n== a ==\nA\n== b ==\nB", "A\n== b ==\nB"},
      {"Skeinwork x\n==\nA", "Skeinwork x\n==\nA"}, {"skeinwork 0.79\n==\nA", "skeinwork 0.79\n==\nA"},
      {"Skeinwork 0.79\n== Model ==\r\nA", "Skeinwork 0.79\n== Model ==\r\nA"}, {"A\n==\nB", "A\n==\nB"},
      {"Skeinwork 0", "Skeinwork 0"}, {"Skeinwork ", "Skeinwork "},
      {"Skeinwork 0" + std::string(1010, 'x') + "==\nA", "A"},
      {"Skeinwork 0" + std::string(1011, 'x') + "==\nA", "Skeinwork 0" + std::string(1011, 'x') + "==\nA"},
  };
  for (const auto& [resource, model] : rows) EXPECT_EQ(SwmModelTextOf(resource), model) << resource;
}

// How many nodes stand below `node`: one line each.
int CountNodes(const TSwTreeNode* node) {
  const std::string lines = DescribeAll(node);
  return static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
}

TEST(BuiltinModels, BothModelsRead) {
  auto model = SwmReadBuiltinModel(u"SwmModel");
  EXPECT_EQ(CountNodes(model.get()), 70);
  EXPECT_EQ(model->ChildCount(), 5);
  auto root = SwmReadBuiltinModel(u"SwmScript");
  EXPECT_EQ(CountNodes(root.get()), 53);
  ASSERT_EQ(root->ChildCount(), 4);
  EXPECT_EQ(Describe(root->Child(1)) + "\n" + DescribeAll(root->Child(1), 1), "versionOp 0 ----XI-N @SWMSCRIPT:4\n"
            "  moreEq path=\"moreEq\" cond=\"= >=\" 0 -------- @SWMSCRIPT:5\n"
            "  lessEq path=\"lessEq\" cond=\"= <=\" 0 -------- @SWMSCRIPT:6\n"
            // "<>" stands before "<", which would otherwise take its first character.
            "  notEq path=\"notEq\" cond=\"= <>\" 0 -------- @SWMSCRIPT:7\n"
            "  more path=\"more\" cond=\"= >\" 0 -------- @SWMSCRIPT:8\n"
            "  less path=\"less\" cond=\"= <\" 0 -------- @SWMSCRIPT:9\n"
            "  eq path=\"eq\" cond=\"= =\" 0 -------- @SWMSCRIPT:10\n"
            "  notEq path=\"notEq\" cond=\"= !=\" 0 -------- @SWMSCRIPT:11\n");
}

}  // namespace
}  // namespace skeinwork
