#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "StrConv.h"
#include "SwScript.h"
#include "SwTestSupport.h"

namespace skeinwork {
namespace {

std::unique_ptr<TSwScript> Load(const std::string& text, bool keepSlicer = false) {
  auto script = std::make_unique<TSwScript>();
  TStringStream stream(text);
  script->Load(stream, u"test.sw", keepSlicer);
  return script;
}

// "title/kind/line{versions}[subsection@line{versions}: contents]..." for every section.
std::string Dump(const TSwScript& script, bool withLines = true) {
  std::string out;
  for (int i = 0; i < script.SectionCount(); ++i) {
    TSwSection* section = script.Section(i);
    if (i) out += " | ";
    out += WideToUtf8(section->Title()) + "/" + SwSectionKindName(section->Kind) + "@" +
           (withLines ? std::to_string(section->Line) : "") + section->Versions.Text();
    for (int j = 0; j < section->SubsectionCount(); ++j) {
      TSwSubsection* sub = section->Subsection(j);
      if (j == 0 && sub->Contents.empty()) continue;
      out += " [" + WideToUtf8(sub->Title()) + "@" + (withLines ? std::to_string(sub->Line) : "") +
             sub->Versions.Text() + ": " + WideToUtf8(sub->Contents) + "]";
    }
  }
  return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

std::string U8(const WideString& text) { return WideToUtf8(text); }

// "version|signature|language|charset|preamble" of a script.
std::string Header(const TSwScript& script) {
  return SwVersionText(script.Version()) + "|" + U8(script.Signature()) + "|" + U8(script.Language()) + "|" +
         U8(script.Charset()) + "|" + U8(script.Preamble());
}

// The header fields of a script, or the error loading it raises.
TEST(ScriptLoader, HeaderFieldsAndBadScripts) {
  // n sections: the model and n - 1 others.
  auto sections = [](int n) {
    std::string text = "Skeinwork 0.79\n== Model ==\n\"X\"\n";
    for (int i = 1; i < n; ++i) text += "== s" + std::to_string(i) + " ==\nx\n";
    return text;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"Skeinwork 0.79\n== Tree ==\n", "0.79||en|utf-8|"},
      {"\xEF\xBB\xBFSkeinwork 0.79 | with a byte-order mark\n== Tree ==\n", "0.79|with a byte-order mark|en|utf-8|"},
      {"Skeinwork   0.5 |  Sample decoder  \n\nFree text\nover two lines\n\n== Tree ==\n",
       "0.5|Sample decoder|en|utf-8|Free text\nover two lines"},
      // The signature needs a blank before "|"; without one the rest is preamble.
      {"Skeinwork 0.7|x\n== Tree ==\n", "0.7||en|utf-8||x"},
      // Without translation lines the language line takes its line break along, so a blank line
      // (an empty preamble) stands before the first section.
      {"Skeinwork 0.79 | s\n@DE\n\n== Tree ==\n", "0.79|s|de|utf-8|"},
      {"Skeinwork 0.79\n@en UTF-8\nPreamble\n== Tree ==\n", "0.79||en|utf-8|Preamble"},
      {"Skeinwork 0.79\n@fr windows-1252\n\n== Tree ==\n", "0.79||fr|windows-1252|"},
      {"Skeinwork 0.79 | a || b\r\n== Tree ==\r\n", "0.79|a || b|en|utf-8|"},
      {"Skeinwork 0.80\n== Model ==\nx\n",
       "ESwLaterScriptVersion: Skeinwork script version (v0.8) is newer than this build (v0.79)."},
      {"Skeinwork 0.0\n== Model ==\nx\n", "ESwScriptZeroVersion: Attempted to set a zero TSwVersion for TSwScript."},
      {"Skeinwork 0.79\n@ru no-such-charset\n== Model ==\nx\n",
       "ESwBadScriptCharset: TSwScript charset 'no-such-charset' is unknown."},
      {"Skeinwork 0.79\n== Model ==\nx\n== models ==\ny\n",
       "ESwDuplicatedSection: Declaring 'Model' TSwScript section twice."},
      {"Skeinwork 0.79\n== Notes ==\n== notes ==\n", "ESwDuplicatedSection: Declaring 'notes' TSwScript section twice."},
      {sections(TSwScript::MaxSections - 1), "0.79||en|utf-8|"}, {sections(TSwScript::MaxSections), "0.79||en|utf-8|"},
      {sections(TSwScript::MaxSections + 1), "ESwScriptTooManySections: Script has more than 1024 sections."},
  };
  for (const auto& [text, header] : cases)
    EXPECT_EQ(ResultOrError([&] { return Header(*Load(text)); }), header) << text.substr(0, 60);
  // Added by a program, the same.
  TSwScript made;
  for (int i = 0; i < TSwScript::MaxSections; ++i) made.AddOther(u"s" + Utf8ToWide(std::to_string(i)));
  ExpectError<ESwScriptTooManySections>([&] { made.AddStandard(lsTree); }, "Script has more than 1024 sections.");
  ExpectError<ESwScriptTooManySections>([&] { made.AddOther(u"one more"); }, "Script has more than 1024 sections.");
}

TEST(ScriptLoader, TextsThatAreNoScriptsFailInTheModellingRun) {
  const std::vector<std::string> cases = {
      "", "Hello, world\n== Model ==\n", "Skeinwork\n== Model ==\n", "Skeinwork 0.79",
      "Skeinwork 0.79 | signature only\n", "Skeinwork 123.4\n== Model ==\n", "Skeinwork 0.79\n@ru koi8-r\n  =\n",
      // A language line needs a two-letter code.
      "Skeinwork 0.79\n@d\n\n== Tree ==\n",
      std::string("Skeinwork 0.79\n== Model ==\n") + std::string(1 << 20, 'x') + "\n", std::string(1 << 20, '=') + "\n",
      std::string("Skeinwork 0.79 | ") + std::string(1 << 20, 's'),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    try {
      auto script = Load(text);
      // A huge line is a fine section body as long as the script is otherwise whole.
      EXPECT_TRUE(text.size() > 1000 && script->SectionCount() == 1) << Dump(*script);
    } catch (const ESwmMismatch&) {
    } catch (const ESwmModelling&) {
    }
  }
}

TEST(ScriptLoader, DeclaredCharsetIsConvertedToUtf8) {
  std::string model = SwEncode(20866, u"Модель");
  auto script = Load("Skeinwork 0.79 | koi8-r\r\n@ru koi8-r\r\n  " + model + "=Model\r\n" + SwEncode(20866, u"Пролог") +
                     "\r\n== " + model + " ==\r\n" + SwEncode(20866, u"\"Данные\" = x") + "\r\n");
  EXPECT_EQ(Header(*script), "0.79|koi8-r|ru|koi8-r|Пролог");
  EXPECT_EQ(script->Codepage(), 20866);
  ASSERT_EQ(script->Lines().size(), 1u);
  EXPECT_EQ(U8(script->Lines()[0].first) + "=" + U8(script->Lines()[0].second), "Модель=Model");
  EXPECT_EQ(Dump(*script), "Model/lsModel@4 [@4: \"Данные\" = x]");
  EXPECT_EQ(U8(script->ByKey(lsModel)->HeaderLine()), "== Модель ==");
  EXPECT_EQ(U8(script->LocalTitle(u"model")), "Модель");
  EXPECT_EQ(U8(script->EnglishTitle(u" модель ")), "Model");
  EXPECT_EQ(U8(script->EnglishTitle(u"Other")), "Other");
}

TEST(ScriptLoader, CharsetNamesAreNormalised) {
  const std::pair<std::u16string, std::string> charsets[] = {
      {u"utf8", "utf-8"}, {u"UTF-8", "utf-8"}, {u"", "utf-8"}, {u"UTF16", "utf-16"}, {u"utf", "utf"},
      {u"utfx", "utfx"},  {u"KOI8-R", "koi8-r"}}, languages[] = {{u"D", "d"}, {u"", "en"}, {u"RUS", "ru"}};
  TSwScript script;
  for (const auto& [given, stored] : charsets) EXPECT_EQ(U8((script.SetCharset(given), script.Charset())), stored);
  for (const auto& [given, stored] : languages) EXPECT_EQ(U8((script.SetLanguage(given), script.Language())), stored);
  script.SetSignature(u"  sig \t");
  script.SetPreamble(u"\r\n text \r\n\r\n");
  EXPECT_EQ(U8(script.Signature()) + "|" + U8(script.Preamble()), "sig| text ");
  script.SetCharset(u"no-such");
  EXPECT_EQ(script.Codepage(), -1);
}

TEST(ScriptLoader, SectionKindsTitlesAndVersions) {
  struct TCase { std::string text, dump; };
  const std::vector<TCase> cases = {
      {"Skeinwork 0.79\n== Model ==\na\n== Tree ==\nb\n== Options ==\nc\n== Samples ==\nd\n== description ==\ne\n"
       "== Notes ==\nf\n",
       "Model/lsModel@1 [@1: a] | Tree/lsTree@3 [@3: b] | Option/lsOptions@5 [@5: c] | Sample/lsSample@7 [@7: d] | "
       "Description/lsDescription@9 [@9: e] | Notes/lsOther@11 [@11: f]"},
      {"Skeinwork 0.79\n== [>= 0.7] Model ==\n", "[>= 0.7] Model/lsOther@1"},
      {"Skeinwork 0.79\n==[>= 0.7] Model ==\n", "Model/lsModel@1[>= 0.7]"},
      {"Skeinwork 0.79\n==[0.5 < 0.79] Models ==\n", "Model/lsModel@1[>= 0.5 < 0.79]"},
      {"Skeinwork 0.79\n==[> 0.1 >=0.2 < 1.0 <= 0.9 = 0.79 != 0.3] Tree ==\n",
       "Tree/lsTree@1[> 0.1 >= 0.2 < 1.0 <= 0.9 = 0.79 <> 0.3]"},
      {"Skeinwork 0.79\n==[<> 0.4] Tree ==\n", "Tree/lsTree@1[<> 0.4]"},
      {"Skeinwork 0.79\n== Model ==\n\n===[< 0.7] Old ===\nold\n\n=== New ==\nnew\n",
       "Model/lsModel@1 [Old@3[< 0.7]: old] [New@6: new]"},
      // Subsections and contents before the first section are ignored.
      {"Skeinwork 0.79\n\n=== Lost ===\nlost\n== Tree ==\nt\n", "Tree/lsTree@4 [@4: t]"},
      {"Skeinwork 0.79\n== Tree ==\n\n\nbody\n\n", "Tree/lsTree@1 [@1: body]"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Dump(*Load(c.text)), c.dump) << c.text;
}

TEST(ScriptLoader, LineNumbersFollowTheFilesLineBreak) {
  const std::string text =
      "Skeinwork 0.79 | lines\n@de\n  Baum=Tree\nPreamble\n\n== Baum ==\nt1\nt2\n=== Sub ===\ns\n\n== Model ==\nm\n";
  const std::string expected = "Tree/lsTree@5 [@5: t1{}t2] [Sub@8: s] | Model/lsModel@11 [@11: m]";
  for (const std::string& eoln : {std::string("\r\n"), std::string("\n"), std::string("\r")}) {
    SCOPED_TRACE(eoln.size() == 2 ? "CR LF" : eoln == "\n" ? "LF" : "CR");
    auto script = Load(Replace(text, "\n", eoln));
    EXPECT_EQ(U8(script->Options.Eoln), eoln);
    EXPECT_EQ(Dump(*script), Replace(expected, "{}", eoln));
  }
  // However long the first line, its break decides.
  EXPECT_EQ(U8(Load("Skeinwork 0.79 | " + std::string(3000, 's') + "\r\n== Tree ==\r\n")->Options.Eoln), "\r\n");
  // A reload detects the line break of the new file.
  TSwScript script;
  TStringStream crlf(Replace(text, "\n", "\r\n")), lf(text);
  script.Load(crlf);
  script.Load(lf);
  EXPECT_EQ(U8(script.Options.Eoln), "\n");
  EXPECT_EQ(U8(script.Name()), "<StringStream>");
  EXPECT_EQ(script.ByKey(lsModel)->Line, 11);
}

TEST(ScriptLoader, ChoosesTheModelForThisVersion) {
  const std::string none = "ESwScriptNoSupportedModel: TSwScript contains no models that support this version (0.79).";
  const std::pair<std::string, std::string> cases[] = {  // the chosen subsection's title, or the error
      {"== Model ==\nm\n", ""}, {"== Models ==\n===[< 0.7] Old ===\nold\n=== New ===\nnew\n", "New"},
      {"== Models ==\n===[< 0.7] Old ===\nold\n=== New ===\n=== Newer ===\nnewer\n", "Newer"},
      {"== Models ==\n===[< 0.7] Old ===\nold\n=== New ===\n", none},
      {"==[< 0.5] Models ==\nm\n=== New ===\nnew\n", none}, {"==[= 0.79] Model ==\nm\n", ""},
      {"== Models ==\nm\n===[> 0.79] Next ===\nnext\n", ""},
      {"== Models ==\n===[>= 0.79 < 0.8] Exact ===\nexact\n=== Any ===\nany\n", "Exact"},
      {"== Tree ==\nt\n", "ESwScriptNoKind: TSwScript doesn't contain a lsModel section."},
  };
  for (const auto& [sections, chosen] : cases) {
    auto script = Load("Skeinwork 0.79\n" + sections);
    EXPECT_EQ(ResultOrError([&] { return U8(script->ChosenModel()->Title()); }), chosen) << sections;
    EXPECT_EQ(script->TryChosenModel() != nullptr, chosen.rfind("ESw", 0) != 0) << sections;
  }
}

TEST(ScriptLoader, ReadsAndCompilesTheChosenModel) {
  // Lines of any length: a comment far longer than the line search once reached.
  auto script = Load("Skeinwork 0.79 | pairs\n\n== Models ==\n===[< 0.5] Old ===\nbroken (\n\n=== Current ===\n"
      "1 \"first\" % LAT+\n; " + std::string(3000, 'c') + "\n2 \"rest\" % [^NL]*\n");
  std::unique_ptr<TSwmCompiler> compiler = script->CompileModel();
  TStringStream data("abc123");
  std::unique_ptr<TSwmSlicer> slicer = compiler->Modell(data);
  EXPECT_EQ(slicer->Text(u"first$start"), "abc");
  EXPECT_EQ(slicer->Text(u"rest$start"), "123");

  // The items name the script and their line in it, counted from 1.
  std::unique_ptr<TSwTreeNode> description = script->ReadModelDescription();
  ASSERT_EQ(description->ChildCount(), 2);
  EXPECT_EQ(U8(SwmSourceText(description->Child(0)->Properties().Get(u"source")->Value())), "test.sw:8");
}

TEST(ScriptLoader, KeepsTheSlicerOnRequest) {
  const std::string text = "Skeinwork 0.79 | kept\n== Tree ==\nt\n";
  auto plain = Load(text);
  EXPECT_EQ(plain->Slicer(), nullptr);
  ExpectError<ESwScriptNoSlicer>([&] { plain->TakeSlicer(); },
                                 "TSwScript has no Slicer assigned - KeepSlicer must have been set to True.");
  TStringStream stream(text);
  auto script = TSwScript::CreateFrom(stream, u"");
  EXPECT_EQ(U8(script->Name()), "<StringStream>");
  std::unique_ptr<TSwmSlicer> slicer = script->TakeSlicer();
  ASSERT_NE(slicer, nullptr);
  EXPECT_EQ(script->Slicer(), nullptr);
  EXPECT_EQ(slicer->Text(u"header\\signature$inner"), " kept");
}

TEST(ScriptSections, AddingSectionsAndSubsections) {
  TSwScript script;
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { script.AddStandard(lsOther); }, "ESwOtherSectionCall: TSwScript.AddStandard doesn't accept section kind of lsOther."},
      {[&] { script.TryByKey(lsOther); }, "ESwOtherSectionCall: TSwScript.TryByKey doesn't accept section kind of lsOther."},
      {[&] { script.ByKey(lsTree); }, "ESwScriptNoKind: TSwScript doesn't contain a lsTree section."},
      {[&] { script.AddOther(u"  \t"); }, "ESwEmptySectionTitle: Script section cannot have an empty title."},
      {[&] { script.AddStandard(lsTree); }, "no error"},
      {[&] { script.AddStandard(lsTree); }, "ESwDuplicatedSection: Declaring 'Tree' TSwScript section twice."},
      {[&] { script.AddOther(u" tree "); }, "ESwDuplicatedSection: Declaring 'tree' TSwScript section twice."},
      {[&] { script.AddOther(u" Notes "); }, "no error"},
      {[&] { script.FindSection(u"NOTES")->AddSubsection(u" "); },
       "ESwEmptySubsectionTitle: Script subsection cannot have an empty title."},
      {[&] { script.FindSection(u"NOTES")->AddSubsection(u"a\x01" u"b"); },
       "ESwHashBadKey: Attempted to add bad key 'a\x01" "b' to TSwSection (contains prohibited symbol $01)."},
  };
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(ErrorText(cases[i].first), cases[i].second) << i;
  EXPECT_EQ(U8(script.Section(1)->Title()), "Notes");
  EXPECT_NE(dynamic_cast<TSwOptionSection*>(script.AddStandard(lsOptions)), nullptr);

  TSwSection* notes = script.FindSection(u"notes");
  TSwSubsection* sub = notes->AddSubsection(u" Part ");
  EXPECT_EQ(U8(sub->Title()), "Part");
  EXPECT_EQ(notes->FindSubsection(u"PART"), sub);
  sub->SetTitle(u"Renamed");
  EXPECT_EQ(U8(notes->Key(1)), "Renamed");
}

TEST(ScriptSections, WritingText) {
  const std::pair<std::function<void(TSwSection&)>, std::string> cases[] = {
      {[](TSwSection& s) { s.DefaultSubsection()->Contents = u"body"; }, "== Tree ==|body"},
      {[](TSwSection& s) {
         s.Versions.Add(1, SwMakeVersion(0, 50));
         s.Versions.Add(2, 79);
         s.DefaultSubsection()->Contents = u"a|b";
         TSwSubsection* sub = s.AddSubsection(u"Old");
         sub->Versions.Add(2, SwMakeVersion(0, 70));
         sub->Contents = u"old";
         s.AddSubsection(u"Empty");
       }, "==[>= 0.5 < 0.79] Trees ==|a|b||===[< 0.7] Old ===|old||=== Empty ==="},
      {[](TSwSection& s) {
         s.AddSubsection(u"First")->Contents = u"1";
         s.AddSubsection(u"Second")->Contents = u"2";
       }, "== Trees ==|=== First ===|1||=== Second ===|2"},
  };
  for (const auto& [build, text] : cases) {
    TSwScript script;
    script.Options.Eoln = u"|";
    TSwSection* section = script.AddStandard(lsTree);
    build(*section);
    EXPECT_EQ(U8(section->FullText()), text);
  }
  // Free-standing: CR LF and the title as it is.
  TSwSection free(nullptr, u"Model", lsModel);
  free.AddSubsection(u"X")->Contents = u"x";
  EXPECT_EQ(U8(free.FullText()), "== Model ==\r\n=== X ===\r\nx");
  EXPECT_EQ(U8(free.Subsection(1)->FullText()), "=== X ===\r\nx");
  EXPECT_EQ(U8(free.DefaultSubsection()->HeaderLine()), "");
}

TEST(ScriptSections, ScriptWrittenBackReadsTheSame) {
  const std::vector<std::string> scripts = {
      "Skeinwork 0.79 | round trip\r\nPreamble line\r\n== Models ==\r\nbase\r\n===[< 0.7] Old ===\r\nold\r\n"
      "=== New ===\r\nnew\r\n== Tree ==\r\ntree\r\n== Notes ==\r\n",
      "Skeinwork 0.5\n@de\n  Baum=Tree\n  Modell=model\n==[>= 0.5] Baum ==\nt\n== Modell ==\nm\n",
      "Skeinwork 0.79\n@de windows-1252\n\n== Tree ==\nt\n",
  };
  for (const std::string& text : scripts) {
    SCOPED_TRACE(text);
    auto first = Load(text);
    std::string written = first->EncodedText();
    auto second = Load(written);
    EXPECT_EQ(Dump(*second, false), Dump(*first, false));
    EXPECT_EQ(U8(second->Text()), written);
    EXPECT_EQ(Header(*second), Header(*first));
    EXPECT_EQ(second->Lines(), first->Lines());
  }
  EXPECT_EQ(U8(Load(scripts[0])->ByKey(lsModel)->HeaderLine()), "== Models ==");
  EXPECT_EQ(U8(Load(scripts[1])->ByKey(lsModel)->HeaderLine()), "== Modell ==");
}

// "group.key=value" for every value of the store, ";"-separated.
std::string DumpValues(TMemIniFileW& values) {
  std::string out;
  for (const WideString& group : values.Groups())
    for (const auto& [key, value] : values.GroupValues(group))
      out += (out.empty() ? "" : ";") + U8(group) + "." + U8(key) + "=" + Replace(U8(value), "\r\n", "\\n");
  return out;
}

TEST(OptionSections, ReadingValues) {
  struct TCase { std::string contents, values; };
  const std::vector<TCase> cases = {
      {"debug", "sw.debug=1"}, {"view.width = 80\nheight=20  ", "view.width=80;sw.height=20"},
      {"notes =\n  first\n\n  second\nnext = 1", "sw.notes=first\\n\\nsecond;sw.next=1"},
      {"notes =\n\n\n  late\n", "sw.notes=\\n\\nlate"}, {"key = 1\n  indented = 2", "sw.key=1;sw.indented=2"},
      {"# note\n; note\n  # note", "sw.# note=1"}, {"a = b = c", "sw.a=b = c"},
      {"empty =\n# inside\n  more", "sw.empty=more"},
      {" = no key\n.x = dot\nA = 1\na = 2", "sw.x=dot;sw.A=2"}, {"", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.contents);
    TSwOptionSection section(nullptr, u"Option", lsOptions);
    section.DefaultSubsection()->Contents = Utf8ToWide(Replace(c.contents, "\n", "\r\n"));
    EXPECT_EQ(DumpValues(section.Values()), c.values);
    EXPECT_EQ(section.HasValues(), !c.values.empty());
  }
}

TEST(OptionSections, LongContinuedValuesReadInOnePass) {
  // A value continued over many lines grows in place; storing it anew for every line would take
  // time that grows with the square of its length.
  const std::pair<int, int> cases[] = {{1, 0}, {200000, 0}, {50000, 2}};
  for (const auto& [lines, blanksBetween] : cases) {
    SCOPED_TRACE(lines);
    WideString contents = u"notes =\r\n";
    WideString expected;
    for (int i = 0; i < lines; ++i) {
      if (i > 0) {
        for (int b = 0; b < blanksBetween; ++b) contents += u"\r\n";
        for (int b = 0; b <= blanksBetween; ++b) expected += u"\r\n";
      }
      contents += u"  line of the value\r\n";
      expected += u"line of the value";
    }
    contents += u"after = 1";
    TSwOptionSection section(nullptr, u"Option", lsOptions);
    section.DefaultSubsection()->Contents = contents;
    EXPECT_TRUE(section.Values().ReadString(u"sw", u"notes", {}) == expected);
    EXPECT_EQ(U8(section.Values().ReadString(u"sw", u"after", {})), "1");
  }
}

TEST(OptionSections, ManyKeysReadInOnePass) {
  // Every key is looked up before it is stored; a look-up that compared it with each key before
  // it would take time that grows with the square of their number.
  const std::pair<int, int> cases[] = {{2, 1}, {100000, 1}, {20000, 20000}};
  for (const auto& [keys, groups] : cases) {
    SCOPED_TRACE(keys);
    WideString contents;
    for (int i = 0; i < keys; ++i)
      contents += u"g" + Utf8ToWide(std::to_string(i % groups)) + u".k" + Utf8ToWide(std::to_string(i)) + u" = " +
                  Utf8ToWide(std::to_string(i)) + u"\r\n";
    contents += u"G0.K0 = changed";  // names compare without case; the first spelling stays
    TSwOptionSection section(nullptr, u"Option", lsOptions);
    section.DefaultSubsection()->Contents = contents;
    TMemIniFileW& values = section.Values();
    EXPECT_EQ(values.GroupCount(), groups);
    EXPECT_EQ(values.KeyCount(u"g0"), (keys + groups - 1) / groups);
    EXPECT_EQ(U8(values.ReadString(u"g0", u"k0", {})), "changed");
    EXPECT_EQ(U8(values.GroupValues(u"G0").front().first), "k0");
    std::string last = std::to_string(keys - 1);
    EXPECT_EQ(U8(values.ReadString(u"g" + Utf8ToWide(std::to_string((keys - 1) % groups)), u"K" + Utf8ToWide(last), {})),
              last);
  }
}

TEST(OptionSections, SubsectionsAreGroups) {
  auto script = Load("Skeinwork 0.79\n== Options ==\nview.width = 80\n=== view ===\nview.width = 90\nheight = 5\n"
      "===[< 0.5] legacy ===\nold = 1\n=== other ===\nx\n");
  auto* options = dynamic_cast<TSwOptionSection*>(script->ByKey(lsOptions));
  ASSERT_NE(options, nullptr);
  TMemIniFileW& values = options->Values();
  EXPECT_EQ(DumpValues(values), "view.width=80;view.view.width=90;view.height=5;other.x=1");
  EXPECT_EQ(U8(values.ReadString(u"VIEW", u"Height", u"?")), "5");
  EXPECT_EQ(U8(values.ReadString(u"legacy", u"old", u"?")), "?");
}

TEST(OptionSections, WritingBodyAndTitle) {
  struct TCase { std::string contents, body, header; };
  const std::vector<TCase> cases = {
      {"debug", "debug", "== Option =="}, {"debug\nlevel = 3", "debug|level = 3", "== Options =="},
      {"view.w = 1\nname = x\nnotes =\n  a\n\n  b\nempty =", "name = x|notes =|  a|  |  b|empty =|view.w", "== Option =="},
      {"view.w = 2", "view.w = 2", "== Option =="}, {"", "", "== Options =="},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.contents);
    TSwScript script;
    script.Options.Eoln = u"|";
    auto* section = static_cast<TSwOptionSection*>(script.AddStandard(lsOptions));
    section->DefaultSubsection()->Contents = Utf8ToWide(Replace(c.contents, "\n", "|"));
    EXPECT_EQ(U8(section->BodyText()), c.body);
    EXPECT_EQ(U8(section->HeaderLine()), c.header);
  }
}

}  // namespace
}  // namespace skeinwork
