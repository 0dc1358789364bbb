// The viewer's start-up rules and texts, as a user meets them.
#include <QTest>

#include <set>

#include "ExtractRules.h"
#include "StartupRules.h"
#include "SwNodes.h"
#include "ViewerTexts.h"

using namespace weftview;

Q_DECLARE_METATYPE(OpenAction)

class ViewerLogicTest : public QObject {
  Q_OBJECT

 private slots:
  void helpRequest_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("asksForHelp");
    QTest::newRow("/?") << QStringList{"weftview", "/?"} << true;
    QTest::newRow("-?") << QStringList{"weftview", "-?"} << true;
    QTest::newRow("--?") << QStringList{"weftview", "--?"} << true;
    QTest::newRow("?") << QStringList{"weftview", "?"} << true;
    QTest::newRow("decorated both ends") << QStringList{"weftview", "/-?-/", "x.bin"} << true;
    QTest::newRow("/help is a path") << QStringList{"weftview", "/help"} << false;
    QTest::newRow("? second") << QStringList{"weftview", "a.sw", "?"} << false;
    QTest::newRow("no arguments") << QStringList{"weftview"} << false;
  }
  void helpRequest() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, asksForHelp);
    QCOMPARE(IsHelpRequest(arguments), asksForHelp);
  }

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
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("remembered");
    QTest::addColumn<OpenAction>("action");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("data");
    const QString dir = QStringLiteral(SKEINWORK_EXAMPLES_DIR);
    QTest::newRow("nothing") << QStringList{} << "" << OpenAction::Nothing << "" << "" << "";
    QTest::newRow("later script wins") << QStringList{"a.sw", "b.sw"} << "" << OpenAction::IllustrateModel << "b.sw"
                                       << "" << "";
    QTest::newRow("tree before script") << QStringList{"t.swt", "a.sw"} << "" << OpenAction::LoadTree << "a.sw"
                                        << "t.swt" << "";
    QTest::newRow("later tree wins") << QStringList{"t1.swt", "t2.swt"} << "" << OpenAction::LoadTree << "" << "t2.swt"
                                     << "";
    QTest::newRow("first data file") << QStringList{"a.sw", "x.bin", "y.bin"} << "" << OpenAction::ModelData << "a.sw"
                                     << "" << "x.bin";
    QTest::newRow("data beats tree") << QStringList{"x.bin", "t.swt", "a.sw"} << "" << OpenAction::ModelData << "a.sw"
                                     << "t.swt" << "x.bin";
    QTest::newRow("exact case: A.SW is data") << QStringList{"A.SW"} << "" << OpenAction::AskScriptAndModel << ""
                                              << "" << "A.SW";
    QTest::newRow("data with a remembered script") << QStringList{"A.SW"} << "old.sw"
                                                   << OpenAction::ModelWithRemembered << "" << "" << "A.SW";
    QTest::newRow("data and tree, no script") << QStringList{"t.swt", "x.bin"} << ""
                                              << OpenAction::AskScriptAndModel << "" << "t.swt" << "x.bin";
    QTest::newRow("directory skipped") << QStringList{dir, "a.sw", "x.bin"} << "" << OpenAction::ModelData << "a.sw"
                                       << "" << "x.bin";
    QTest::newRow("only a directory") << QStringList{dir} << "" << OpenAction::Nothing << "" << "" << "";
    QTest::newRow("dot in a folder name") << QStringList{"dir.sw/file", "a.sw"} << "" << OpenAction::ModelData
                                          << "a.sw" << "" << "dir.sw/file";
    QTest::newRow("extension not last") << QStringList{"a.sw.bak"} << "" << OpenAction::AskScriptAndModel << "" << ""
                                        << "a.sw.bak";
    QTest::newRow("/help is data") << QStringList{"/help"} << "" << OpenAction::AskScriptAndModel << "" << ""
                                   << "/help";
  }
  void classification() {
    QFETCH(QStringList, paths);
    QFETCH(QString, remembered);
    const OpenRequest request = ClassifyPaths(paths, [](const QString& path) {
      return path == QStringLiteral(SKEINWORK_EXAMPLES_DIR);
    });
    QTEST(request.Script, "script");
    QTEST(request.Tree, "tree");
    QTEST(request.Data, "data");
    QTEST(DecideOpen(request, remembered), "action");
  }

  void readableNames_data() {
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("readable");
    QTest::addColumn<QString>("warningCaption");
    QTest::newRow("mismatch") << "ESwmConditionMismatch" << "Condition Mismatch" << "Warning: Condition Mismatch";
    QTest::newRow("other library") << "EConvertError" << "Convert Error" << "Warning: Convert Error";
    QTest::newRow("WARN node") << "ESwmWarning" << "Warning" << "Warning: Node Message";
    QTest::newRow("input left") << "ESwmInputLeft" << "Input Left" << "Warning: Input Left";
  }
  void readableNames() {
    QFETCH(QString, className);
    QTEST(ReadableClassName(className.toStdString()), "readable");
    QTEST(WarningCaption(className.toStdString()), "warningCaption");
  }

  void statusTexts_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("shown");
    QTest::newRow("offset, four digits") << "offset" << QByteArray("0") << "0000";
    QTest::newRow("offset, upper case") << "offset" << QByteArray("511") << "01FF";
    QTest::newRow("offset, more digits") << "offset" << QByteArray("74565") << "12345";
    QTest::newRow("size undivided") << "size" << QByteArray("1000") << "1000";
    QTest::newRow("size 1024 stays") << "size" << QByteArray("1024") << "1024";
    QTest::newRow("size in K") << "size" << QByteArray("1536") << "1.50K";
    QTest::newRow("size in M") << "size" << QByteArray("3145728") << "3.00M";
    QTest::newRow("size in G") << "size" << QByteArray("5368709120000") << "5000.00G";
    QTest::newRow("text") << "preview" << QByteArray("WAVE") << "WAVE";
    QTest::newRow("text with line breaks") << "preview" << QByteArray("a\r\nb") << "a  b";
    QTest::newRow("bytes") << "preview" << QByteArray("\x00" "A \x7f\x80", 5) << "00 A 20 \x7f 80";
    QTest::newRow("charset by number") << "charset" << QByteArray("1251") << "windows-1251";
    QTest::newRow("charset by name") << "charset" << QByteArray("koi8-r") << "koi8-r";
    QTest::newRow("unknown code page") << "charset" << QByteArray("99999") << "<none>";
  }
  void statusTexts() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);
    QString shown;
    if (kind == u"offset") shown = OffsetText(input.toLongLong());
    if (kind == u"size") shown = SizeText(input.toLongLong());
    if (kind == u"preview") shown = BytePreview(std::string_view(input.constData(), input.size()), 65001);
    if (kind == u"charset") shown = CharsetOfAnswer(QString::fromLatin1(input)).value_or(QStringLiteral("<none>"));
    QTEST(shown, "shown");
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
        {"a\\y", 3, "0 matching nodes found."},
        {"a[", 3, "0 matching nodes found."},  // a path the finder cannot read
    };
    for (const auto& c : counts) QCOMPARE(DataMatchText(c.Path, FindPathMatches(&root, c.Path, c.Bound)), c.Text);
    QCOMPARE(SearchPath(QStringLiteral("a\\x\\/")), QStringLiteral("a\\x"));
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
