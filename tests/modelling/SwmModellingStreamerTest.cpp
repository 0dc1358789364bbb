#include <gtest/gtest.h>

#include <string>

#include "SwModelling.h"
#include "SwTreeDump.h"

namespace skeinwork {
namespace {

// Every node with every property, one line each.
std::string Picture(TSwTreeNode* node) {
  auto label = [](const TSwTreeNode& n) {
    std::string out = "'" + WideToUtf8(n.Name()) + "'";
    if (TSwProperties* bag = n.PropertiesIfAny())
      for (int i = 0; i < bag->Count(); ++i) {
        std::string text = WideToUtf8(bag->Property(i)->Name()) + bag->Property(i)->Value().DescriptionText();
        for (char& c : text)
          if (c == '\0') c = '|';
        out += " " + text;
      }
    return out;
  };
  return label(*node) + "\n" + DumpLines(node, label, 1);
}

template <class TReader>
std::string ReadWith(std::string_view text) {
  TReader reader;
  reader.Options.Codepage = 65001;
  TStringStream stream{std::string(text)};
  try {
    return Picture(reader.Read(stream, u"m").get());
  } catch (const ESkeinwork& e) {
    return e.ClassName() + ": " + e.Message();
  }
}

TEST(ModellingStreamer, BothReadersBuildTheSameTrees) {
  const std::string corpus[] = {
      std::string(SwmModelTextOf(SwBuiltinModelText(u"SWMMODEL"))),
      std::string(SwmModelTextOf(SwBuiltinModelText(u"SWMSCRIPT"))),
      "1 \"a\" = a\n2 \"b\" = b\n",
      "\"X\"\n  END? eof\n",
      "(pair)\n  = (\n  = )\n\"P\" + pair... = <\n",
      "; a comment\n\n\"L\"\n  \"+g\\v\" = x\n  END? eof\n",
      "first + (middle) + last % SP+\n",
      "01 \"R\" = r\n. \"S\" = s\n^ @Name \"a\\b\" = t\n",
      "\"N\" != b\n  \"x\" = a\n",
      "\"Q\" = q\n  \"in\" % SP* ID+\n",
  };
  for (const std::string& text : corpus) {
    SCOPED_TRACE(text.substr(0, 60));
    std::string native = ReadWith<TSwmNativeStreamer>(text);
    EXPECT_EQ(ReadWith<TSwmModellingStreamer>(text), native);
    EXPECT_EQ(native.find("ESw"), std::string::npos) << native;
  }
}

TEST(ModellingStreamer, WhereTheReadersDiffer) {
  // An odd indentation is the model's WARN, not the native parse error.
  std::string odd = ReadWith<TSwmModellingStreamer>("\"A\"\n   \"B\" = b\n");
  EXPECT_EQ(odd.rfind("ESwmWarning: Indentation space count must be even to 2.", 0), 0u) << odd;
  // "@" with a capital name and a path: the path decides, so the item does not inherit.
  std::string self = ReadWith<TSwmModellingStreamer>("@NAME \"p\\q\"\n");
  std::string native = ReadWith<TSwmNativeStreamer>("@NAME \"p\\q\"\n");
  EXPECT_NE(self.find("mIsInheriting bFALSE"), std::string::npos) << self;
  EXPECT_NE(native.find("mIsInheriting bTRUE"), std::string::npos) << native;
  // A path given twice.
  std::string twice = ReadWith<TSwmModellingStreamer>("\"a\" \"b\" = x\n");
  EXPECT_NE(twice.find("defining item's \"path\" twice"), std::string::npos) << twice;
}

}  // namespace
}  // namespace skeinwork
