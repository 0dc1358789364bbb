// The node window, its range strips and the hex dump windows driven as a user drives them over
// the WAV example, and the dump pane over a generated stream.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>
#include <QTreeView>

#include "DumpPane.h"
#include "HexDumpWindow.h"
#include "NodeWindow.h"
#include "SourcePosStrip.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "ViewerTestSupport.h"

using namespace weftview;
using namespace weftview::test;
using skeinwork::TSwTreeNode;

namespace {

// The main window after a run of the WAV example.
struct Fixture : WindowFixture {
  Fixture() : WindowFixture(WavExample()) {}
  TSwTreeNode* Riff() { return Window.Run().ShownRoot()->Child(0); }
  TSwTreeNode* Field(const char16_t* name) { return Riff()->FindChild(name); }
  NodeWindow* Nodes() { return Window.NodeWindowIfAny(); }
  QString Label(const char* name) { return Nodes()->findChild<QLabel*>(QString::fromLatin1(name))->text(); }
  QStringList Labels() { return {Label("lbNodeName"), Label("lbNodePath"), Label("lbChildCount")}; }
  void DoubleClick(TSwTreeNode* node) {
    const QModelIndex index = Window.Model().IndexOf(node);
    Window.TreeView()->scrollTo(index);
    QApplication::processEvents();
    const QPoint centre = Window.TreeView()->visualRect(index).center();
    // A double click is a click and then the second press.
    QTest::mouseClick(Window.TreeView()->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(Window.TreeView()->viewport(), Qt::LeftButton, {}, centre);
  }
};

QStringList MenuTexts(QMenu* menu) {
  QStringList texts;
  for (QAction* action : menu->actions()) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  delete menu;
  return texts;
}

}  // namespace

class NodeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { skeinwork::SwInstallMismatchInfoHook(); }

  // Double-click opens the window left of the main window; the up-level button walks to the
  // root, selecting each node in the tree; the window follows the selection.
  void labelsAndNavigation() {
    Fixture f;
    QVERIFY(!f.Nodes());
    f.Window.TreeView()->expandAll();
    f.DoubleClick(f.Field(u"size"));
    QVERIFY(f.Nodes() && f.Nodes()->isVisible());
    QCOMPARE(f.Nodes()->windowTitle(), QStringLiteral("Node Properties"));
    QCOMPARE(f.Nodes()->frameGeometry().topLeft(),
             QPoint(f.Window.frameGeometry().left() - f.Nodes()->width() - 4, f.Window.frameGeometry().top()));
    QCOMPARE(f.Labels(), (QStringList{"Node 'size'", "riff > size", "0 child nodes."}));
    auto* up = f.Nodes()->findChild<QToolButton*>(QStringLiteral("btUpLevel"));
    up->click();
    QCOMPARE(f.Labels(), (QStringList{"Node 'riff'", "riff", "3 child nodes."}));
    QCOMPARE(f.Window.TreeView()->currentIndex().data().toString(), QStringLiteral("riff"));
    up->click();
    QCOMPARE(f.Labels(), (QStringList{"Root Node", "<Root>", "1 child node."}));
    QVERIFY(!up->isEnabled());
    f.Window.TreeView()->setCurrentIndex(f.Window.Model().IndexOf(f.Field(u"form")));
    QCOMPARE(f.Label("lbNodeName"), QStringLiteral("Node 'form'"));
    // Hidden by the user, it stays hidden when the selection moves.
    f.Nodes()->close();
    f.Window.TreeView()->setCurrentIndex(f.Window.Model().IndexOf(f.Field(u"size")));
    QVERIFY(!f.Nodes()->isVisible());
    QCOMPARE(f.Nodes()->Node(), f.Field(u"form"));
  }

  void propertiesAndStrips() {
    Fixture f;
    f.Window.ShowNodeWindow(f.Field(u"size"));
    auto* props = f.Nodes()->findChild<QListWidget*>(QStringLiteral("lsProps"));
    QStringList names;
    for (int i = 0; i < props->count(); ++i) names << props->item(i)->text();
    QVERIFY2(names.contains(QStringLiteral("startGlobal")) && names.contains(QStringLiteral("inner")), qPrintable(names.join(u',')));
    props->setCurrentRow(static_cast<int>(names.indexOf(QStringLiteral("startGlobal"))));
    auto* values = f.Nodes()->findChild<QTableWidget*>(QStringLiteral("ValueList"));
    QStringList rows;
    for (int row = 0; row < values->rowCount(); ++row) rows << values->item(row, 0)->text() + u'=' + values->item(row, 1)->text();
    QVERIFY2(rows.value(2).startsWith(QStringLiteral("Obj=")), qPrintable(rows.join(u',')));
    rows.removeAt(2);
    QCOMPARE(rows, (QStringList{"Int=4", "Frac=4", "Slice=This property is a stream slice"}));

    // A field's bytes are in its start range; its inner range is empty and it has no end range.
    QStringList strips;
    for (int i = 0; i < 3; ++i) {
      SourcePosStrip* strip = f.Nodes()->Strip(i);
      if (strip->isVisibleTo(f.Nodes()))
        strips << QStringLiteral("%1 %2 %3 %4").arg(strip->Property()).arg(strip->Start()).arg(strip->End()).arg(strip->Length());
    }
    QCOMPARE(strips, (QStringList{"startGlobal 4 8 4", "innerGlobal 8 8 0"}));
    QVERIFY(!f.Nodes()->Strip(2)->findChild<QPushButton*>(QStringLiteral("btSave"))->isEnabled());

    // A node with only "startGlobal" shows the Start strip alone.
    skeinwork::TSwValue range;
    QVERIFY(f.Field(u"size")->FindValue(u"startGlobal", range));
    TSwTreeNode* added = f.Riff()->AddChild(u"added");
    added->SetValue(u"startGlobal", skeinwork::TSwValue::OfSlice(12, 8, range.Obj));
    f.Window.ShowNodeWindow(added);
    QVERIFY(f.Nodes()->Strip(0)->isVisibleTo(f.Nodes()) && !f.Nodes()->Strip(1)->isVisibleTo(f.Nodes()) &&
            !f.Nodes()->Strip(2)->isVisibleTo(f.Nodes()));
    QCOMPARE(f.Nodes()->Strip(0)->Length(), 8);
  }

  void savingSlices() {
    Fixture f;
    f.Window.ShowNodeWindow(f.Field(u"form"));
    SourcePosStrip* start = f.Nodes()->Strip(0);
    auto* save = start->findChild<QPushButton*>(QStringLiteral("btSave"));
    QCOMPARE(save->toolTip(), QStringLiteral("Right-click - transform with expression"));
    const QString plain = f.Files.Path(QStringLiteral("plain.bin"));
    f.Prompter.FileAnswers.enqueue(plain);
    QTest::mouseClick(save, Qt::LeftButton);
    QCOMPARE(f.Prompter.Log.takeFirst(), QStringLiteral("SaveFile: Select location for the dump | Any file (*)"));
    QCOMPARE(FileBytes(plain), QByteArray("WAVE"));

    const QString transformed = f.Files.Path(QStringLiteral("transformed.txt"));
    f.Prompter.TextAnswers.enqueue(QStringLiteral("reverse lower"));
    f.Prompter.FileAnswers.enqueue(transformed);
    QTest::mouseClick(save, Qt::RightButton);
    const QString asked = f.Prompter.Log.takeFirst();
    QVERIFY2(asked.startsWith(QStringLiteral("AskText: Transform & save | Enter expression to transform the data with: | ")), qPrintable(asked));
    QVERIFY(SourcePosStrip::TransformExamples().contains(asked.section(QStringLiteral(" | "), 2)));
    QCOMPARE(FileBytes(transformed), QByteArray("evaw"));
    // A target that cannot be written is reported; nothing is left under its name.
    f.Prompter.FileAnswers.enqueue(f.Files.Path(QStringLiteral("missing/dir/x.bin")));
    QTest::mouseClick(save, Qt::LeftButton);
    QVERIFY2(f.Prompter.Log.last().startsWith(QStringLiteral("Error: ")), qPrintable(f.Prompter.Log.last()));
  }

  // The window forgets its node when the node (or an ancestor) is removed, and on a new run.
  void closesWhenItsNodeGoes() {
    Fixture f;
    f.Window.ShowNodeWindow(f.Field(u"size"));
    f.Nodes()->Strip(0)->findChild<QPushButton*>(QStringLiteral("btView"))->click();
    HexDumpWindow* dump = f.Nodes()->SharedDump();
    QVERIFY(dump->isVisible());
    f.Field(u"form")->Remove();
    QVERIFY(f.Nodes()->isVisible() && dump->isVisible());
    f.Riff()->Remove();
    QVERIFY(!f.Nodes()->isVisible() && !f.Nodes()->Node() && !dump->isVisible() && !dump->Node());

    f.Window.ShowNodeWindow(f.Window.Run().ShownRoot());
    f.Window.Reload();
    QCOMPARE(f.Wait(), kRunSucceeded);
    QVERIFY(!f.Nodes()->isVisible() && !f.Nodes()->Node());
  }

  void hexDumpOfARange() {
    Fixture f;
    f.Window.ShowNodeWindow(f.Field(u"form"));
    auto* view = f.Nodes()->Strip(0)->findChild<QPushButton*>(QStringLiteral("btView"));
    QCOMPARE(view->toolTip(), QStringLiteral("Right-click - open new window"));
    view->click();
    HexDumpWindow* dump = f.Nodes()->SharedDump();
    QCOMPARE(dump->windowTitle(), ExamplePath("sample.wav") + QStringLiteral(" @ 00000008"));
    QCOMPARE(dump->findChild<QLabel*>(QStringLiteral("lbPosName"))->text(), QStringLiteral("startGlobal of"));
    QCOMPARE(dump->findChild<QLabel*>(QStringLiteral("lbNodePath"))->text(), QStringLiteral("riff\\form"));
    QVERIFY(dump->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const QStringList lines = dump->Pane()->Memo()->toPlainText().split(u'\n');
    QCOMPARE(lines.mid(0, 3), (QStringList{"00000000    52 49 46 46 5E 00 00 00    RIFF^...", "                   -- HERE --",
                                           "00000008    57 41 56 45 66 6D 74 20    WAVEfmt "}));
    QCOMPARE(dump->Pane()->Memo()->textCursor().blockNumber(), 1);
    // The popup over the byte under the caret ("W" of WAVE).
    QTextCursor caret = dump->Pane()->Memo()->textCursor();
    caret.movePosition(QTextCursor::NextBlock);
    caret.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 13);
    dump->Pane()->Memo()->setTextCursor(caret);
    QCOMPARE(MenuTexts(dump->Pane()->BuildPopup(false)),
             (QStringList{"Offset dec:\t8", "32-bit LE:\t1163280727", "...", "Select node at this offset", "-", "Close"}));
    QCOMPARE(MenuTexts(dump->Pane()->BuildPopup(true)),
             (QStringList{"Offset dec:\t8", "32-bit LE:\t1163280727", "16-bit LE:\t16727", "8-bit:\t87",
                          "Select node at this offset", "-", "Close"}));
    // "Select node at this offset": the deepest node holding the byte, here and in the dumped data.
    for (auto [offset, name] : {std::pair{8, "form"}, std::pair{0x1A, "sampleRate"}, std::pair{0x2F, "body"}}) {
      caret.setPosition(dump->Pane()->Memo()->document()->findBlockByNumber(offset / 8 + (offset >= 8 ? 1 : 0)).position() + 12 + 3 * (offset % 8));
      dump->Pane()->Memo()->setTextCursor(caret);
      std::unique_ptr<QMenu> menu(dump->Pane()->BuildPopup(false));
      menu->actions()[menu->actions().size() - 3]->trigger();
      QCOMPARE(f.Window.TreeView()->currentIndex().data().toString(), QString::fromLatin1(name));
    }
    // The right button opens another window; closing it destroys it, the shared one only hides.
    QTest::mouseClick(view, Qt::RightButton);
    QCOMPARE(f.Nodes()->findChildren<HexDumpWindow*>().size(), 2);
    QPointer<HexDumpWindow> extra = f.Nodes()->findChildren<HexDumpWindow*>().last();
    extra->close();
    QTRY_VERIFY(!extra);
    dump->close();
    QCOMPARE(f.Nodes()->findChildren<HexDumpWindow*>().size(), 1);
  }

  // The pane over a generated 100 KB stream: the bytes read (from 24576 before the offset) and
  // where the marker goes; the offset entry and its buttons.
  void dumpPaneWindow() {
    const qint64 offset = 60003;
    skeinwork::TMemoryStream stream;
    QByteArray bytes(100000, '\0');
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    stream.WriteBuffer(bytes.constData(), bytes.size());
    stream.SetPosition(offset);
    DumpPane pane;
    pane.SetAutoLineNumber(true);
    pane.Reflect(&stream);
    const QStringList lines = pane.Memo()->toPlainText().split(u'\n');
    QCOMPARE(lines.first().left(8), QStringLiteral("00008A63"));
    const int marker = static_cast<int>(lines.indexOf(QStringLiteral("                   -- HERE --")));
    QVERIFY(marker > 0);
    QCOMPARE(lines[marker + 1].left(8), QStringLiteral("0000EA63"));
    QCOMPARE(lines.size(), 49152 / 8 + 1);
    QCOMPARE(pane.OffsetEdit()->text(), QStringLiteral("0000EA63"));
    QCOMPARE(pane.SourceText(), QStringLiteral("<MemoryStream>:1"));
    auto* go = pane.findChild<QPushButton*>(QStringLiteral("btGo"));
    auto* start = pane.findChild<QPushButton*>(QStringLiteral("btNavStart"));
    QVERIFY(!go->isEnabled() && !start->isEnabled());
    pane.OffsetEdit()->clear();
    QTest::keyClicks(pane.OffsetEdit(), QStringLiteral("1ffg-"));
    QCOMPARE(pane.OffsetEdit()->text(), QStringLiteral("1ff"));
    QVERIFY(go->isEnabled());
    QTest::keyClick(pane.OffsetEdit(), Qt::Key_Return);
    QCOMPARE(pane.CurrentOffset(), 0x1ff);
    QVERIFY(!go->isEnabled() && start->isEnabled());
    QCOMPARE(pane.GoTo(100001), QStringLiteral("Offset 186A1h is out of bounds of this dump (0000h .. 186A0h)."));
    QCOMPARE(pane.CurrentOffset(), 0x1ff);
    start->click();
    QCOMPARE(pane.CurrentOffset(), offset);
    // A label that ends in a stream number keeps it; the line number comes after.
    pane.SetSource(QStringLiteral("stream:3"));
    QVERIFY(pane.GoTo(offset).isEmpty());
    QCOMPARE(pane.SourceText(), QStringLiteral("stream:3:1"));
  }
};

QTEST_MAIN(NodeWindowTest)
#include "NodeWindowTest.moc"
