#include "HexDumpWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include "BufStream.h"
#include "DumpPane.h"
#include "ResultTreeModel.h"
#include "SwCore.h"

namespace weftview {

using namespace skeinwork;

namespace {

// "name:number" from the node's "source" property when it holds a text and a number.
QString SourceOf(TSwTreeNode* node, TStream* stream) {
  TSwValue source;
  if (node && node->FindValue(u"source", source) && source.Has(ltStr) && source.Has(ltInt))
    return QStringLiteral("%1:%2").arg(QString::fromStdU16String(source.Text())).arg(source.Int);
  // A run reads its input through a cache; the input itself names the bytes.
  while (auto* cache = dynamic_cast<TBufStream*>(stream)) stream = cache->Underlying();
  return QString::fromStdString(SwStreamName(stream));
}

}  // namespace

HexDumpWindow::HexDumpWindow(ResultTreeModel& model, QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("HexDumpForm"));
  setWindowTitle(QStringLiteral("Hex dump"));
  auto* layout = new QVBoxLayout(this);
  mNodePanel = new QWidget(this);
  auto* header = new QHBoxLayout(mNodePanel);
  header->setContentsMargins(0, 0, 0, 0);
  mPosName = new QLabel(mNodePanel);
  mPosName->setObjectName(QStringLiteral("lbPosName"));
  mNodePath = new QLabel(mNodePanel);
  mNodePath->setObjectName(QStringLiteral("lbNodePath"));
  mNodePath->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* nodeInfo = new QToolButton(mNodePanel);
  nodeInfo->setObjectName(QStringLiteral("btNodeInfo"));
  nodeInfo->setText(QStringLiteral("Node..."));
  header->addWidget(mPosName);
  header->addWidget(mNodePath, 1);
  header->addWidget(nodeInfo);
  mOnTop = new QToolButton(this);
  mOnTop->setObjectName(QStringLiteral("btOnTop"));
  mOnTop->setText(QStringLiteral("On top"));
  mOnTop->setCheckable(true);
  auto* top = new QHBoxLayout;
  top->addWidget(mNodePanel, 1);
  top->addWidget(mOnTop);
  layout->addLayout(top);
  mPane = new DumpPane(this);
  mPane->SetAutoLineNumber(true);
  mPane->OnRepainted = [this] { RefreshHeader(); };
  layout->addWidget(mPane, 1);
  resize(560, 480);

  connect(nodeInfo, &QToolButton::clicked, this, [this] {
    if (mNode) emit NodeInfoRequested(mNode);
  });
  connect(mOnTop, &QToolButton::toggled, this, [this](bool on) {
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (visible) show();
  });
  connect(mPane, &DumpPane::ErrorRaised, this, &HexDumpWindow::ErrorRaised);
  connect(mPane, &DumpPane::NodeAtOffsetRequested, this, &HexDumpWindow::NodeAtOffsetRequested);
  connect(&model, &ResultTreeModel::NodesLeaving, this, &HexDumpWindow::Forget);
}

void HexDumpWindow::Show(TStream* stream, int64_t sliceLength, TSwTreeNode* node, const QString& property) {
  mNode = node;
  const int64_t sliceStart = stream->Position();
  mPane->Reflect(stream);
  mPane->SetHighlight(sliceStart, sliceStart + sliceLength);
  mPane->SetSource(SourceOf(node, stream));
  mPosName->setText(property + QStringLiteral(" of"));
  mNodePath->setText(node ? QString::fromStdU16String(node->PathTo(node->Root(), u"\\")) : QString());
  RefreshHeader();
  show();
  raise();
}

void HexDumpWindow::RefreshHeader() {
  const QString offset = QStringLiteral("%1").arg(mPane->CurrentOffset(), 8, 16, QLatin1Char('0')).toUpper();
  setWindowTitle(QStringLiteral("%1 @ %2").arg(mPane->SourceText(), offset));
  mNodePanel->setVisible(mNode != nullptr);
  mOnTop->setChecked(windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

void HexDumpWindow::Forget(TSwTreeNode* leaving) {
  if (!mNode || (leaving && !leaving->IsSelfOrAncestorOf(mNode))) return;
  mNode = nullptr;
  mPane->Clear();
  close();
}

}  // namespace weftview
