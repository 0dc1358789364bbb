// The viewer's start-up rules, texts and the rules of its node and dump windows, as a user meets them.
#include <QTest>

#include <set>

#include "DataColumns.h"
#include "EditorRules.h"
#include "ExtractRules.h"
#include "InspectionRules.h"
#include "SearchAnswers.h"
#include "StartupRules.h"
#include "SwNodes.h"
#include "ViewerTexts.h"

using namespace weftview;
using weftview::test::AddColumns;

Q_DECLARE_METATYPE(OpenAction)

class ViewerLogicTest : public QObject {
  Q_OBJECT

 private slots:
  void usageBox() {
    QCOMPARE(UsageCaption(), QStringLiteral("Weftview command-line parameters"));
    QCOMPARE(UsageMessage(QStringLiteral("WeftView")),
             QStringLiteral("Weftview command-line parameters:\n\n"
                            "  weftview [script.sw|serialized.swt|input.dat] [...] (in any order)\n\n"
                            "For example:\n\n"
                            "  weftview serialized.swt\t\t- load serialized binary tree\n"
                            "  weftview script.sw\t\t- illustrate a script\n"
                            "  weftview script.sw input.dat\t- modell a file\n"
                            "  weftview input.dat\t\t- prompt for a script and modell if confirmed\n\n") +
                 QString::fromLatin1(kProjectWebPage));
  }

  void classification_data() {
    // "files" as "script|tree|data".
    AddColumns<QStringList, QString, OpenAction, QString>({"paths", "remembered", "action", "files"});
    const QString dir = QStringLiteral(SKEINWORK_EXAMPLES_DIR);
    using enum OpenAction;
    QTest::newRow("nothing") << QStringList{} << "" << Nothing << "||";
    QTest::newRow("later script wins") << QStringList{"a.sw", "b.sw"} << "" << IllustrateModel << "b.sw||";
    QTest::newRow("tree before script") << QStringList{"t.swt", "a.sw"} << "" << LoadTree << "a.sw|t.swt|";
    QTest::newRow("later tree wins") << QStringList{"t1.swt", "t2.swt"} << "" << LoadTree << "|t2.swt|";
    QTest::newRow("first data file") << QStringList{"a.sw", "x.bin", "y.bin"} << "" << ModelData << "a.sw||x.bin";
    QTest::newRow("data beats tree") << QStringList{"x.bin", "t.swt", "a.sw"} << "" << ModelData << "a.sw|t.swt|x.bin";
    QTest::newRow("exact case: A.SW is data") << QStringList{"A.SW"} << "" << AskScriptAndModel << "||A.SW";
    QTest::newRow("data, remembered script") << QStringList{"A.SW"} << "old.sw" << ModelWithRemembered << "||A.SW";
    QTest::newRow("data and tree, no script") << QStringList{"t.swt", "x.bin"} << "" << AskScriptAndModel
                                              << "|t.swt|x.bin";
    QTest::newRow("directory skipped") << QStringList{dir, "a.sw", "x.bin"} << "" << ModelData << "a.sw||x.bin";
    QTest::newRow("only a directory") << QStringList{dir} << "" << Nothing << "||";
    QTest::newRow("dot in a folder name") << QStringList{"dir.sw/file", "a.sw"} << "" << ModelData
                                          << "a.sw||dir.sw/file";
    QTest::newRow("extension not last") << QStringList{"a.sw.bak"} << "" << AskScriptAndModel << "||a.sw.bak";
    QTest::newRow("/help is data") << QStringList{"/help"} << "" << AskScriptAndModel << "||/help";
  }
  void classification() {
    QFETCH(QStringList, paths);
    QFETCH(QString, remembered);
    const OpenRequest request = ClassifyPaths(paths, [](const QString& path) {
      return path == QStringLiteral(SKEINWORK_EXAMPLES_DIR);
    });
    QTEST(QStringList({request.Script, request.Tree, request.Data}).join(u'|'), "files");
    QTEST(DecideOpen(request, remembered), "action");
  }

  // What a rule makes of an answer, a message or a value, as the user sees it: "none" where the
  // rule reads nothing from it.
  void answers_data() {
    AddColumns<QString, QByteArray, QString>({"rule", "input", "shown"});
    auto rows = [](const char* rule, std::initializer_list<std::pair<QByteArray, const char*>> cases) {
      int index = 0;
      for (const auto& [input, shown] : cases)
        QTest::addRow("%s %d: %s", rule, ++index, input.constData())
            << QString::fromLatin1(rule) << input << QString::fromUtf8(shown);
    };
    // Decorated question marks ask for help; "/help" is a path, and "?" counts only first.
    rows("help", {{"weftview /?", "help"}, {"weftview -?", "help"}, {"weftview --?", "help"}, {"weftview ?", "help"},
                  {"weftview /-?-/ x.bin", "help"}, {"weftview /help", "none"}, {"weftview a.sw ?", "none"},
                  {"weftview", "none"}});
    rows("class", {{"ESwmConditionMismatch", "Condition Mismatch | Warning: Condition Mismatch"},
                   {"EConvertError", "Convert Error | Warning: Convert Error"},
                   {"ESwmWarning", "Warning | Warning: Node Message"}, {"ESwmInputLeft", "Input Left | Warning: Input Left"}});
    rows("goto", {{"12 5", "12 5"}, {"7", "7 1"}, {" 3  4 ", "3 4"}, {"4 x", "4 1"}, {"x 4", "none"}, {"", "none"}});
    rows("mismatch", {{"No child nodes match the input. Node: 'kind', input: @3 <eof>.",
                       "No child nodes match the input. Node: 'kind'"},
                      {"a, input: b, input: c", "a"}});
    rows("error", {{"x, input: y", "x, input: y"}});
    rows("place", {{"No child nodes match the input. Node: 'kind' /tmp/a b.sw:5 (ID 2), input: @3.", "/tmp/a b.sw:5"},
                   {"x. Node: 'a b' m.sw:12 (ID 7)", "m.sw:12"}, {"Cannot open file \"x\".", "none"}});
    rows("offset", {{"0", "0000"}, {"511", "01FF"}, {"74565", "12345"}});
    rows("size", {{"1024", "1024"}, {"1536", "1.50K"}, {"3145728", "3.00M"}, {"5368709120000", "5000.00G"}});
    rows("preview", {{"WAVE", "WAVE"}, {"a\r\nb", "a  b"}, {QByteArray("\x00" "A \x7f\x80", 5), "00 A 20 \x7f 80"}});
    rows("charset", {{"1251", "windows-1251"}, {"koi8-r", "koi8-r"}, {"99999", "none"}});
    // The offset search's answers as "property|exact|offset": junk may follow the number.
    rows("search", {{"start 885", "start|0|885"}, {"= 144h", "|1|324"}, {"end = $1ff", "end|1|511"},
                    {"0x00405AAC", "|0|4217516"}, {"inner=0x10", "inner|1|16"}, {"  100.  ", "|0|100"},
                    {"startGlobal 0x20\tmov eax, 1", "startGlobal|0|32"}, {"0x20 4D 5A 90", "|0|32"}, {"$FF", "|0|255"},
                    {"start abc", "none"}, {"1ff", "none"}, {"-5", "none"}, {"start =", "none"}, {"", "none"}});
    // The dump's offset entry, whose keys are checked as they are typed: "$" is no hex mark there.
    rows("entry", {{"1ff", "511"}, {"1ffh", "511"}, {"0x1ff", "511"}, {" 511. ", "511"}, {"$1ff", "none"},
                   {"1f.", "none"}, {"", "none"}, {"h", "none"}});
    // The hex dump's reading window as "start count" for "offset size": 24576 bytes before the
    // offset, from 0 below 24577, what is left near the end.
    rows("dump", {{"40000 49152", "0 49152"}, {"24576 100000", "0 49152"}, {"30000 100000", "5424 49152"},
                  {"99000 100000", "74424 25576"}});
    // The line number of an offset as "stream size|bytes before it": none after a tab (no text)
    // or from 16 MiB.
    rows("line", {{"10|", "1"}, {"10|a\r\nb\r\nc", "3"}, {"10|a\tb\n", "none"}, {"16777216|a\n", "none"},
                  {"16777215|a\n", "2"}});
    // The offset of the byte under the caret ("|") in a dump line.
    rows("caret", {{"000|00018    49 20 61 6D 20 4B 61 74    I am Kat", "24"},
                   {"00000018    4|9 20 61 6D 20 4B 61 74    I am Kat", "24"},
                   {"00000018    49 20 6|1 6D 20 4B 61 74    I am Kat", "26"},
                   {"00000018    49 20 61 6D 20 4B 61 74    |I am Kat", "24"},
                   {"00000018    49 20 61 6D 20 4B 61 74    I am Ka|t", "31"},
                   {"          -- |HERE --", "none"}, {"0000018    4|9", "none"}});
    // Highlight masks as "mask|name": whole names, case significant, "+" needs a character.
    rows("mask", {{"chunk*|chunk", "match"}, {"a*z|abcz", "match"}, {"chunk+|chunk", "none"}, {"chunk+|chunk12", "match"},
                  {"h?r|hdr", "match"}, {"h?r|hddr", "none"}, {"hdr|HDR", "none"}, {"hdr|hdrs", "none"},
                  {"dr|hdr", "none"}, {"*|", "match"}, {"+|", "none"}});
  }
  void answers() {
    QFETCH(QString, rule);
    QFETCH(QByteArray, input);
    const QString text = QString::fromUtf8(input);
    const QString none = QStringLiteral("none");
    QString shown;
    if (rule == u"class")
      shown = ReadableClassName(input.toStdString()) + QStringLiteral(" | ") + WarningCaption(input.toStdString());
    if (rule == u"goto") {
      const std::optional<LinePosition> position = ParseGoToLine(text);
      shown = position ? QStringLiteral("%1 %2").arg(position->Line).arg(position->Column) : none;
    }
    if (rule == u"mismatch" || rule == u"error") shown = FailureMessageText(text, rule == u"mismatch");
    if (rule == u"place") {
      const std::optional<ScriptPlace> place = FailingScriptPlace(text);
      shown = place ? QStringLiteral("%1:%2").arg(place->File).arg(place->Line) : none;
    }
    if (rule == u"offset") shown = OffsetText(input.toLongLong());
    if (rule == u"size") shown = SizeText(input.toLongLong());
    if (rule == u"preview") shown = BytePreview(std::string_view(input.constData(), input.size()), 65001);
    if (rule == u"charset") shown = CharsetOfAnswer(text).value_or(none);
    if (rule == u"search") {
      const std::optional<OffsetQuery> query = ParseOffsetAnswer(text);
      shown = query ? QStringLiteral("%1|%2|%3").arg(query->Property).arg(int(query->Exact)).arg(query->Offset) : none;
    }
    if (rule == u"entry") {
      QVERIFY(std::all_of(text.begin(), text.end(), [](QChar c) { return c == u' ' || IsOffsetEntryChar(c); }));
      const std::optional<int64_t> offset = ParseOffsetEntry(text);
      shown = offset ? QString::number(*offset) : none;
    }
    if (rule == u"mask")
      shown = MaskMatches(text.section(u'|', 0, 0), text.section(u'|', 1)) ? QStringLiteral("match") : none;
    if (rule == u"help") shown = IsHelpRequest(text.split(u' ')) ? QStringLiteral("help") : none;
    if (rule == u"dump") {
      const DumpRead read = DumpReadFor(text.section(u' ', 0, 0).toLongLong(), text.section(u' ', 1).toLongLong());
      shown = QStringLiteral("%1 %2").arg(read.Start).arg(read.Count);
    }
    if (rule == u"line") {
      const std::optional<int64_t> line =
          LineNumberAfter(input.mid(input.indexOf('|') + 1).toStdString(), input.left(input.indexOf('|')).toLongLong());
      shown = line ? QString::number(*line) : none;
    }
    if (rule == u"caret") {
      const std::optional<int64_t> offset = DumpByteAtCaret(QString(text).remove(u'|'), int(text.indexOf(u'|')));
      shown = offset ? QString::number(*offset) : none;
    }
    QTEST(shown, "shown");
  }

  void scriptColouring_data() {
    // "spans": the kind letter and the text of each span.
    AddColumns<QString, bool, QString>({"line", "inModel", "spans"});
    QTest::newRow("section header") << "== Model ==" << false << "H[== Model ==]";
    QTest::newRow("prose outside a model") << "1 \"a\" = b" << false << "";
    QTest::newRow("comment") << "  ; note \"x\"" << true << "C[; note \"x\"]";
    QTest::newRow("order, name, operator") << "  1 \"size\" % ANY ANY" << true << "O[1] N[\"size\"] P[%]";
    QTest::newRow("flags") << "1 LINE \"row\"" << true << "O[1] F[LINE] N[\"row\"]";
    QTest::newRow("flag with question mark") << "  END? eof" << true << "F[END?]";
    QTest::newRow("negated operator") << "  WARN \"odd\" != 9" << true << "F[WARN] N[\"odd\"] P[!=]";
    QTest::newRow("x operator") << "\"format\" x 66 6D" << true << "N[\"format\"] P[x]";
  }
  void scriptColouring() {
    QFETCH(QString, line);
    QFETCH(bool, inModel);
    QStringList shown;
    for (const ScriptSpan& span : ScriptLineSpans(line, inModel))
      shown << QString(QChar(u"HCOFNP"[int(span.Kind)])) + u'[' + line.mid(span.Start, span.Length) + u']';
    QTEST(shown.join(u' '), "spans");
  }

  void scriptText_data() {
    AddColumns<QByteArray, QString, QString>({"bytes", "charset", "text"});
    QTest::newRow("UTF-8 by default") << QByteArray("\xC3\xA9t\xC3\xA9") << "" << QStringLiteral("\u00E9t\u00E9");
    QTest::newRow("named charset") << QByteArray("\xE9t\xE9") << "windows-1252" << QStringLiteral("\u00E9t\u00E9");
    QTest::newRow("unknown charset is UTF-8") << QByteArray("\xC3\xA9") << "no-such" << QStringLiteral("\u00E9");
  }
  void scriptText() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, charset);
    QTEST(DecodeScriptText(bytes.toStdString(), charset), "text");
    QFETCH(QString, text);
    QCOMPARE(QByteArray::fromStdString(EncodeScriptText(text, charset)), bytes);
  }

  // The first entry whose mask matches decides; entries keep the order they were added in.
  void highlightList() {
    HighlightList list;
    list.Set(HighlightList::Green, QStringLiteral("  chunk*||hdr  "));
    list.Set(HighlightList::Red, QStringLiteral("chunk1|data"));
    QCOMPARE(list.Masks(HighlightList::Green), QStringLiteral("chunk*||hdr"));
    QCOMPARE(list.ColourOf(u"chunk1"), HighlightList::Green);
    QCOMPARE(list.ColourOf(u"hdr"), HighlightList::Green);
    QCOMPARE(list.ColourOf(u"data"), HighlightList::Red);
    QCOMPARE(list.ColourOf(u"other"), std::nullopt);
    list.Set(HighlightList::Green, QStringLiteral("hdr"));  // replaced in place: still first
    QCOMPARE(list.ColourOf(u"chunk1"), HighlightList::Red);
    list.Set(HighlightList::Green, QStringLiteral("  "));
    QVERIFY(!list.HasEntry(HighlightList::Green) && list.HasEntry(HighlightList::Red));
    QCOMPARE(HighlightList::ColourRgb(HighlightList::Orange), 0xFFB900u);
    QCOMPARE(HighlightList::ColourRgb(HighlightList::Red), 0xFF0000u);
    list.Clear();
    QVERIFY(list.IsEmpty());
  }

  // What the window tests do not meet: an unnamed node's title, keys the offset entry refuses.
  void nodeLabels() {
    QCOMPARE(NodeTitle(false, QString(), 0xAB0), QStringLiteral("Unnamed Node $AB0"));
    QVERIFY(!IsOffsetEntryChar(u'g') && !IsOffsetEntryChar(u'-') && !IsOffsetEntryChar(u'X'));
  }

  void dumpValues_data() {
    AddColumns<qint64, QByteArray, bool, QStringList>({"offset", "bytes", "extended", "entries"});
    auto row = [](const char* name, qint64 offset, const QByteArray& bytes, bool extended, const QStringList& entries) {
      QTest::newRow(name) << offset << bytes << extended << (QStringList{"Offset dec=" + QString::number(offset)} + entries);
    };
    row("short: 32-bit and C string", 5, QByteArray("AB\xff\xff", 4), false, {"32-bit LE=-48575", "C str=AB\u00ff\u00ff"});
    row("short: 16-bit, no string in two bytes", 5, QByteArray("\x02\x00", 2), false, {"16-bit LE=2"});
    row("short: 8-bit", 0, QByteArray("\x07", 1), false, {"8-bit=7"});
    row("short: Pascal string", 5, QByteArray("\x03\x00" "Abc\x00", 6), false, {"32-bit LE=1648427011", "Pascal str=Abc"});
    row("extended: every entry", 16, QByteArray("\x02\x00\x00\x00OK", 6), true,
        {"Offset hex=10", "32-bit LE=2", "16-bit LE=2", "8-bit=2", "Pascal str=OK"});
    row("extended: no hex offset up to 9, no one-letter strings", 9, QByteArray("A\x00", 2), true, {"16-bit LE=65", "8-bit=65"});
    row("Pascal length must be below 4096", 0, QByteArray("\x00\x10xy", 4), true,
        {"32-bit LE=2037911552", "16-bit LE=4096", "8-bit=0"});
  }
  void dumpValues() {
    QFETCH(qint64, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, extended);
    QStringList entries;
    for (const DumpValue& value : DumpValues(offset, bytes.toStdString(), extended)) entries << value.Name + u'=' + value.Value;
    QTEST(entries, "entries");
  }

  // What the extraction window counts and fills in, over a tree without ranges:
  // root > a > x x x, root > p > name v, root > q > Name w.
  void extractRules() {
    using skeinwork::TSwName;
    skeinwork::TSwTreeNode root(TSwName(u"root"));
    skeinwork::TSwTreeNode* a = root.AddChild(TSwName(u"a"));
    for (int i = 0; i < 3; ++i)
      a->AddChild(TSwName(u"x"))->Properties().AddValue(TSwName(u"inner"), skeinwork::TSwValue::OfText(u"v"));
    skeinwork::TSwTreeNode* p = root.AddChild(TSwName(u"p"));
    p->AddChild(TSwName(u"name"));
    skeinwork::TSwTreeNode* v = p->AddChild(TSwName(u"v"));
    skeinwork::TSwTreeNode* q = root.AddChild(TSwName(u"q"));
    q->AddChild(TSwName(u"Name"));
    skeinwork::TSwTreeNode* w = q->AddChild(TSwName(u"w"));

    const struct {
      QString Path;
      int Bound;
      QString Text;
    } counts[] = {
        {"a\\x", 3, "3 matching nodes found."},
        {"a\\x", 2, "More than 2 matching nodes found."},
        {"a\\x$start", 3, "0 matching nodes found."},  // the first match lacks the property
        {"a[", 3, "0 matching nodes found."},  // a path the finder cannot read
    };
    for (const auto& c : counts) QCOMPARE(DataMatchText(c.Path, FindPathMatches(&root, c.Path, c.Bound)), c.Text);
    QCOMPARE(NodeSearchPath(v, &root), QStringLiteral("p\\v$start"));
    QCOMPARE(SiblingNamePath(v), QStringLiteral(".name$start"));
    QCOMPARE(SiblingNamePath(w), QStringLiteral(".Name$start"));
    QCOMPARE(SiblingNamePath(a->Child(0)), QString());

    const std::set<QString> directories = {"/", "/home"};
    auto isDirectory = [&](const QString& path) { return directories.count(path) > 0; };
    QCOMPARE(NearestExistingDirectory(QStringLiteral("/home/u/x"), isDirectory), QStringLiteral("/home"));
    QCOMPARE(NearestExistingDirectory(QStringLiteral("/nowhere/a"), isDirectory), QStringLiteral("/"));
    QCOMPARE(NearestExistingDirectory(QStringLiteral("relative/a"), isDirectory), QString());
  }
};

QTEST_APPLESS_MAIN(ViewerLogicTest)
#include "ViewerLogicTest.moc"
