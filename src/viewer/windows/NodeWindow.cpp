#include "NodeWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include "HexDumpWindow.h"
#include "InspectionRules.h"
#include "Prompter.h"
#include "PropsViewer.h"
#include "ResultTreeModel.h"
#include "SourcePosStrip.h"

namespace weftview {

using namespace skeinwork;

namespace {
const char* const kRangeNames[3] = {"start", "end", "inner"};
const char* const kRangeCaptions[3] = {"Start:", "End:", "Inner:"};
}  // namespace

NodeWindow::NodeWindow(ResultTreeModel& model, Prompter& prompter, QWidget* parent)
    : QWidget(parent, Qt::Window), mModel(model), mPrompter(prompter) {
  setObjectName(QStringLiteral("NodeForm"));
  setWindowTitle(QStringLiteral("Node Properties"));
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  mUpLevel = new QToolButton(this);
  mUpLevel->setObjectName(QStringLiteral("btUpLevel"));
  mUpLevel->setArrowType(Qt::UpArrow);
  mUpLevel->setToolTip(QStringLiteral("Parent node"));
  auto* mainWindow = new QToolButton(this);
  mainWindow->setObjectName(QStringLiteral("MenuSpeedButton1"));
  mainWindow->setText(QStringLiteral("Tree"));
  mainWindow->setToolTip(QStringLiteral("Select in the main window"));
  mName = new QLabel(this);
  mName->setObjectName(QStringLiteral("lbNodeName"));
  QFont bold = mName->font();
  bold.setBold(true);
  mName->setFont(bold);
  mName->setTextInteractionFlags(Qt::TextSelectableByMouse);
  mChildCount = new QLabel(this);
  mChildCount->setObjectName(QStringLiteral("lbChildCount"));
  top->addWidget(mUpLevel);
  top->addWidget(mName, 1);
  top->addWidget(mChildCount);
  top->addWidget(mainWindow);
  layout->addLayout(top);
  mPath = new QLabel(this);
  mPath->setObjectName(QStringLiteral("lbNodePath"));
  mPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
  mPath->setWordWrap(true);
  layout->addWidget(mPath);

  mSourcePanel = new QWidget(this);
  auto* sources = new QVBoxLayout(mSourcePanel);
  sources->setContentsMargins(0, 0, 0, 0);
  for (int i = 0; i < 3; ++i) {
    mStrips[i] = new SourcePosStrip(QString::fromLatin1(kRangeCaptions[i]), prompter, mSourcePanel);
    sources->addWidget(mStrips[i]);
    connect(mStrips[i], &SourcePosStrip::ViewRequested, this,
            [this, strip = mStrips[i]](bool newWindow) { ShowDump(strip, newWindow); });
  }
  layout->addWidget(mSourcePanel);
  mProps = new PropsViewer(this);
  layout->addWidget(mProps, 1);
  resize(minimumSizeHint().expandedTo(QSize(460, 420)));

  connect(mUpLevel, &QToolButton::clicked, this, [this] {
    if (!mNode || mNode->IsRoot()) return;
    Load(mNode->Parent());
    emit Navigated(mNode);
  });
  connect(mainWindow, &QToolButton::clicked, this, [this] {
    if (mNode) emit Navigated(mNode);
    emit MainWindowRequested();
  });
  connect(&model, &ResultTreeModel::NodesLeaving, this, &NodeWindow::Forget);
}

void NodeWindow::ShowNode(TSwTreeNode* node, TSwmSlicer* slicer, bool bringToFront) {
  mSlicer = slicer;
  if (bringToFront || !isVisible()) {
    show();
    raise();
    activateWindow();
  }
  Load(node);
}

void NodeWindow::Load(TSwTreeNode* node) {
  mNode = node;
  mUpLevel->setEnabled(node && !node->IsRoot());
  mSourcePanel->setVisible(mSlicer != nullptr);
  if (!node) return;
  const QString name = QString::fromStdU16String(node->Name());
  mName->setText(NodeTitle(node->IsRoot(), name, reinterpret_cast<uintptr_t>(node)));
  mPath->setText(node->IsRoot() ? QStringLiteral("<Root>") : QString::fromStdU16String(node->PathTo(node->Root(), u" > ")));
  mChildCount->setText(ChildCountText(node->ChildCount()));
  mProps->Load(node);
  for (int i = 0; i < 3 && mSlicer; ++i) {
    // The range in the whole input first: a line's own range counts from the line's start.
    const QString plain = QString::fromLatin1(kRangeNames[i]);
    TSwValue found;
    const QString property = node->FindValue((plain + QStringLiteral("Global")).toStdU16String(), found)
                                 ? plain + QStringLiteral("Global")
                                 : plain;
    const bool exists = node->FindValue(property.toStdU16String(), found);
    mStrips[i]->setVisible(exists);
    if (exists) mStrips[i]->Reflect(mSlicer, node, property);
  }
}

void NodeWindow::Forget(TSwTreeNode* leaving) {
  if (!mNode || (leaving && !leaving->IsSelfOrAncestorOf(mNode))) return;
  mNode = nullptr;
  mSlicer = nullptr;
  mProps->Load(nullptr);
  close();
}

HexDumpWindow* NodeWindow::NewDumpWindow() {
  auto* window = new HexDumpWindow(mModel, this);
  connect(window, &HexDumpWindow::NodeInfoRequested, this, [this](TSwTreeNode* node) {
    ShowNode(node, mSlicer, true);
    emit Navigated(node);
  });
  connect(window, &HexDumpWindow::NodeAtOffsetRequested, this, [this](qint64 offset) {
    if (TSwTreeNode* node = mModel.NodeAtOffset(offset)) emit Navigated(node);
  });
  connect(window, &HexDumpWindow::ErrorRaised, this,
          [this](const QString& message) { mPrompter.Error(QStringLiteral("Hex dump"), message); });
  return window;
}

HexDumpWindow* NodeWindow::SharedDump() {
  if (!mSharedDump) {
    mSharedDump = NewDumpWindow();
    mSharedDump->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  }
  return mSharedDump;
}

void NodeWindow::ShowDump(SourcePosStrip* strip, bool newWindow) {
  TStream* stream = strip->PositionedStream();
  if (!stream) return;
  HexDumpWindow* window = SharedDump();
  if (newWindow) {
    window = NewDumpWindow();
    window->setAttribute(Qt::WA_DeleteOnClose);
  }
  window->Show(stream, strip->Length(), strip->Node(), strip->Property());
}

}  // namespace weftview
