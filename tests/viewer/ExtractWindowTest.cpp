// The "Extract Data on Path" window driven as a user drives it over a modelled CSV file: the
// texts while paths are typed, what it fills in when shown, the files an extraction writes, Stop,
// errors, and the keys.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "ExtractWindow.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "ViewerTestSupport.h"

using namespace weftview;
using namespace weftview::test;

namespace {

// A header line, then rows whose first field names the row: a name with characters files may
// not hold, a name with an extension, and an empty name (at offset 0x17).
const QByteArray kRows = "h\na/b:c,X1\nimg.png,X22\n,X333\n";

struct Fixture : WindowFixture {
  ExtractWindow* Extraction = nullptr;

  explicit Fixture(const QByteArray& rows = kRows) {
    if (Open({ExamplePath("csv.sw"), Files.Write(QStringLiteral("table.csv"), rows)}) != kRunSucceeded)
      qFatal("the CSV example did not model");
  }
  // Shows the window as F8 does.
  ExtractWindow& Show() {
    Find("btTExtractOnPath")->trigger();
    Extraction = Window.findChild<ExtractWindow*>();
    QApplication::setActiveWindow(Extraction);  // its keys are its own, not the main window's shortcuts
    return *Extraction;
  }
  template <class W = QLineEdit>
  W* Control(const char* name) const {
    return Extraction->findChild<W*>(QString::fromLatin1(name));
  }
  QString Text(const char* name) const { return Control<QLabel>(name)->text(); }
  void Type(const char* edit, const QString& text) const { Control(edit)->setText(text); }
  // The files of the destination and their contents, "name=content", sorted.
  QStringList Written() const {
    QStringList files;
    QDir dir(Files.Path(QStringLiteral("out")));
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
      QFile file(info.filePath());
      if (!file.open(QIODevice::ReadOnly)) return {QStringLiteral("unreadable ") + info.fileName()};
      files << info.fileName() + u'=' + QString::fromUtf8(file.readAll());
    }
    return files;
  }
  int Extract() {
    QSignalSpy ended(Extraction, &ExtractWindow::ExtractionEnded);
    QTest::keyClick(Control("edDataPath"), Qt::Key_Return);  // an edit passes Enter on to the window
    return WaitForOutcome(ended);
  }
};

}  // namespace

class ExtractWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    skeinwork::SwInstallMismatchInfoHook();
    qRegisterMetaType<skeinwork::TSwTreeNode*>();
  }

  // The window fills its paths from the selected node and the data file, and Esc and F8 hide it
  // again with the main window's button released and the node selected again.
  void showAndHide() {
    Fixture f;
    QTreeView* tree = f.Window.TreeView();
    const QModelIndex rows = f.Window.Model().index(1, 0);
    const QModelIndex field = f.Window.Model().index(0, 0, f.Window.Model().index(0, 0, rows));
    tree->setCurrentIndex(field);
    QAction* toggle = f.Find("btTExtractOnPath");
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_F8}) {
      ExtractWindow& window = f.Show();
      QVERIFY(window.isVisible() && toggle->isChecked());
      QCOMPARE(window.windowTitle(), QStringLiteral("Extract Data on Path"));
      QCOMPARE(f.Control("edDataPath")->text(), QStringLiteral("rows\\row\\field"));
      QCOMPARE(f.Control("edDestPath")->text(), f.Files.Path(QStringLiteral("table")));
      QCOMPARE(f.Control("edDestName")->text(), QStringLiteral("?.dat"));
      QCOMPARE(f.Control<QCheckBox>("cbUniqueName")->checkState(), Qt::PartiallyChecked);
      QCOMPARE(f.Text("lbMatchingData"), QStringLiteral("6 matching nodes found."));
      QVERIFY(f.Control<QLabel>("pnNewPath")->isVisibleTo(&window));
      QVERIFY(!f.Control<QLabel>("pnPathExists")->isVisibleTo(&window));
      tree->setCurrentIndex(rows);  // the extraction's tree follows other nodes
      QTest::keyClick(&window, key);
      QVERIFY(f.Window.TreeShown() && !window.isVisible() && !toggle->isChecked());
      QCOMPARE(tree->currentIndex(), field);
    }
  }

  // The texts and enabled controls while the paths are edited.
  void liveCounts_data() {
    AddColumns<QString, QString, QString, QString, bool>(
        {"dataPath", "namePath", "dataText", "nameText", "extractEnabled"});
    QTest::newRow("empty") << "" << "field" << "Empty path." << "Base node not found." << false;
    QTest::newRow("none") << "rows\\nothing" << "" << "0 matching nodes found." << "Base node not found." << false;
    QTest::newRow("one") << "header" << "" << "1 matching node found." << "Empty path." << true;
    QTest::newRow("trailing separators") << "rows\\row\\/" << "zzz" << "3 matching nodes found."
                                         << "Cannot find this node or prop." << true;
    QTest::newRow("name found") << "header" << "column" << "1 matching node found."
                                << "Found node: header\\column" << true;
    QTest::newRow("names found") << "rows\\row" << "field" << "3 matching nodes found."
                                 << "Multiple nodes on this path - first one will be used." << true;
    QTest::newRow("without its property") << "rows$nothing" << "" << "0 matching nodes found."
                                          << "Base node not found." << false;
  }
  void liveCounts() {
    QFETCH(QString, dataPath);
    QFETCH(QString, namePath);
    Fixture f;
    f.Show();
    f.Type("edDataPath", dataPath);
    f.Type("edNamePath", namePath);
    QTEST(f.Text("lbMatchingData"), "dataText");
    QTEST(f.Text("lbMatchingName"), "nameText");
    QTEST(f.Control<QPushButton>("btExtract")->isEnabled(), "extractEnabled");
    // The marks show where nothing (or, for the name, not exactly one node) was found.
    QCOMPARE(f.Control<QLabel>("imNoDataMatch")->isVisibleTo(f.Extraction),
             !f.Control<QPushButton>("btDataNodeProps")->isEnabled());
    QCOMPARE(f.Control<QLabel>("imNoNameMatch")->isVisibleTo(f.Extraction), !f.Text("lbMatchingName").startsWith(u'F'));
    f.Type("edDestName", QStringLiteral("data"));  // no "?" and no "."
    QVERIFY(!f.Control<QPushButton>("btExtract")->isEnabled());
    QVERIFY(!f.Control<QCheckBox>("cbOmitExt")->isEnabled());
  }

  // The files an extraction writes (Enter starts it); a finished extraction hides the window.
  void extraction_data() {
    AddColumns<bool, bool, QString, QString, QStringList>({"unique", "omitExtension", "dataExpr", "nameExpr", "files"});
    QTest::newRow("names") << false << true << "" << ""
                           << QStringList{"00000017.dat=,X333", "a-b-c.dat=a/b:c,X1", "img.png=img.png,X22"};
    QTest::newRow("extension kept") << false << false << "" << ""
                                    << QStringList{"00000017.dat=,X333", "a-b-c.dat=a/b:c,X1", "img.png.dat=img.png,X22"};
    QTest::newRow("unique") << true << true << "" << ""
                            << QStringList{"00000002.dat=a/b:c,X1", "0000000B.dat=img.png,X22", "00000017.dat=,X333"};
    QTest::newRow("empty name expression") << false << true << "" << "''"
                                           << QStringList{"00000002.dat=a/b:c,X1", "0000000B.dat=img.png,X22",
                                                          "00000017.dat=,X333"};
    QTest::newRow("empty data expression") << false << true << "''" << "" << QStringList{};
  }
  void extraction() {
    QFETCH(bool, unique);
    QFETCH(bool, omitExtension);
    QFETCH(QString, dataExpr);
    QFETCH(QString, nameExpr);
    Fixture f;
    ExtractWindow& window = f.Show();
    f.Type("edDataPath", QStringLiteral("rows\\row"));
    f.Type("edNamePath", QStringLiteral("field"));
    f.Type("edDestPath", f.Files.Path(QStringLiteral("out")));
    f.Type("edDataExpr", dataExpr);
    f.Type("edNameExpr", nameExpr);
    if (unique) f.Control<QCheckBox>("cbUniqueName")->click();
    f.Control<QCheckBox>("cbOmitExt")->setChecked(omitExtension);
    QCOMPARE(f.Extract(), kRunSucceeded);
    QTEST(f.Written(), "files");
    QVERIFY(!window.isVisible());
    QCOMPARE(f.Window.TreeView()->currentIndex(), f.Window.Model().index(0, 0));  // selected again
  }

  // Stop ends between files: the files written stay whole and the controls come back. Counting
  // stops at its bound while typing. While the worker reads the tree, the main window shows no
  // bytes and offers nothing that reads ranges or changes the tree.
  void stopKeepsFiles() {
    QByteArray rows = "h\n";
    for (int i = 0; i < 20000; ++i) rows += "row" + QByteArray::number(i) + ",x\n";
    Fixture f(rows);
    ExtractWindow& window = f.Show();
    f.Type("edDataPath", QStringLiteral("rows\\row"));
    f.Type("edNamePath", QStringLiteral("field"));
    f.Type("edDestPath", f.Files.Path(QStringLiteral("out")));
    QCOMPARE(f.Text("lbMatchingData"), QStringLiteral("More than 10000 matching nodes found."));
    QSignalSpy ended(&window, &ExtractWindow::ExtractionEnded);
    f.Control<QPushButton>("btExtract")->click();
    QVERIFY(!f.Control("edDataPath")->isEnabled() && f.Control<QPushButton>("btStop")->isVisibleTo(&window));
    QTRY_VERIFY(f.Control<QLabel>("lbSavingNode")->text().startsWith(QStringLiteral("row")));
    QTRY_COMPARE(f.Control<QProgressBar>("ProgressBar")->maximum(), 20000);
    const QModelIndex header = f.Window.Model().index(0, ResultTreeModel::ValueColumn);
    QVERIFY(header.data().toString().isEmpty());
    QVERIFY(!f.Find("btTSave")->isEnabled() && !f.Find("btTFind")->isEnabled());
    f.Control<QPushButton>("btStop")->click();
    QCOMPARE(WaitForOutcome(ended), kRunCancelled);
    const QStringList written = f.Written();
    QVERIFY(!written.isEmpty() && written.size() < 20000);
    for (const QString& file : written) {
      const QString name = file.section(u'.', 0, 0);
      QCOMPARE(file, name + QStringLiteral(".dat=") + name + QStringLiteral(",x"));
    }
    QVERIFY(window.isVisible() && f.Control("edDataPath")->isEnabled());
    QVERIFY(!f.Control<QPushButton>("btStop")->isVisibleTo(&window));
    QVERIFY(!header.data().toString().isEmpty() && f.Find("btTSave")->isEnabled());
  }

  // An error ends the extraction in a box captioned with the readable class name.
  void errorBox() {
    Fixture f;
    f.Show();
    f.Type("edDataPath", QStringLiteral("rows\\row"));
    f.Type("edDestPath", f.Files.Write(QStringLiteral("a file"), "x"));
    QCOMPARE(f.Extract(), kRunFailed);
    QCOMPARE(f.Prompter.Log.size(), 1);
    QVERIFY(f.Prompter.Log.first().startsWith(QStringLiteral("Error: FCreate Error | Cannot create directory")));
    QVERIFY(f.Extraction->isVisible() && f.Control("edDataPath")->isEnabled());
  }

  // "Unique" has two states, checked and grey; checked, the name controls are off. The property
  // buttons select their first node; browsing starts at the nearest existing directory and takes
  // the answer without a trailing separator.
  void controls() {
    Fixture f;
    f.Show();
    auto* unique = f.Control<QCheckBox>("cbUniqueName");
    unique->click();
    QCOMPARE(unique->checkState(), Qt::Checked);
    QVERIFY(!f.Control("edNamePath")->isEnabled() && !f.Control("edNameExpr")->isEnabled());
    unique->click();
    QCOMPARE(unique->checkState(), Qt::PartiallyChecked);
    QVERIFY(f.Control("edNamePath")->isEnabled());

    f.Type("edDataPath", QStringLiteral("rows\\row"));
    f.Type("edNamePath", QStringLiteral("field"));
    QSignalSpy shown(f.Extraction, &ExtractWindow::ShowNodeRequested);
    f.Control<QPushButton>("btNameNodeProps")->click();
    QCOMPARE(f.Window.TreeView()->currentIndex().data().toString(), QStringLiteral("field"));
    QCOMPARE(f.Window.TreeView()->currentIndex().parent().data().toString(), QStringLiteral("row"));
    QCOMPARE(shown.size(), 1);

    f.Type("edDestPath", f.Files.Path(QStringLiteral("new/deeper")));
    f.Prompter.FileAnswers.enqueue(f.Files.Path(QStringLiteral("chosen/")));
    f.Control<QPushButton>("btBrowse")->click();
    QCOMPARE(f.Prompter.Log.last(), QStringLiteral("ChooseDirectory: Choose the directory to place extracted files "
                                                   "to.\nExisting files will be overwritten. | ") +
                                        QDir::cleanPath(f.Files.Path({})));
    QCOMPARE(f.Control("edDestPath")->text(), f.Files.Path(QStringLiteral("chosen")));
  }
};

QTEST_MAIN(ExtractWindowTest)
#include "ExtractWindowTest.moc"
