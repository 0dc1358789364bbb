#include <gtest/gtest.h>

#include <string>

#include "SwScript.h"
#include "SwTestSupport.h"

namespace skeinwork {
namespace {

// "name=value" of every key below a node, ";"-separated.
std::string Keys(TSwmSlicer& slicer, TSwTreeNode* node) {
  std::string out;
  for (int i = 0; i < node->ChildCount(); ++i) {
    TSwTreeNode* key = node->Child(i);
    if (key->Name() != u"key") continue;
    out += (out.empty() ? "" : ";") + slicer.PropertyText(key->FindChild(u"name"), u"start") + "=" +
           slicer.PropertyText(key->FindChild(u"value"), u"inner");
  }
  return out;
}

TEST(ExampleScript, IniReaderModelsTheSample) {
  TFileStream file(Utf8ToWide(ExamplePath("ini.sw")), TFileMode::OpenRead);
  TSwScript script;
  script.Load(file);
  ASSERT_NE(script.TryByKey(lsSample), nullptr);

  std::unique_ptr<TSwmCompiler> compiler = script.CompileModel();
  compiler->Options.Eoln = WideString(1, u'\n');  // sample.ini has LF line breaks
  TFileStream data(Utf8ToWide(ExamplePath("sample.ini")), TFileMode::OpenRead);
  std::unique_ptr<TSwmSlicer> slicer = compiler->Modell(data);
  TSwTreeNode* root = slicer->Root();
  EXPECT_EQ(Keys(*slicer, root), "title=Skeinwork demo");
  ASSERT_EQ(root->CountChildren(u"group"), 2);
  TSwTreeNode* window = root->FindChild(u"group");
  TSwTreeNode* colours = root->LastChild(u"group");
  EXPECT_EQ(slicer->PropertyText(window->FindChild(u"name"), u"start"), "window");
  EXPECT_EQ(Keys(*slicer, window), "width=800;height=600");
  EXPECT_EQ(slicer->PropertyText(colours->FindChild(u"name"), u"start"), "colours");
  EXPECT_EQ(Keys(*slicer, colours), "background=#202020;text=white");

  // The script's own sample section is a small INI file as well.
  TStringStream sample(WideToUtf8(script.ByKey(lsSample)->DefaultSubsection()->Contents));
  std::unique_ptr<TSwmSlicer> own = compiler->Modell(sample);
  EXPECT_EQ(Keys(*own, own->Root()), "name=demo");
  ASSERT_NE(own->Root()->FindChild(u"group"), nullptr);
  EXPECT_EQ(Keys(*own, own->Root()->FindChild(u"group")), "width=800");
}

}  // namespace
}  // namespace skeinwork
