#include "MainWindow.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "FailurePanel.h"
#include "NodeWindow.h"
#include "ExtractWindow.h"
#include "ScriptEditor.h"
#include "StartupRules.h"
#include "StrConv.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "SwScript.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {

const QStringList kScriptFilters = {QStringLiteral("Skeinwork script (*.sw)"), QStringLiteral("Serialized tree (*.swt)"),
                                    QStringLiteral("All files (*)")};
const QStringList kSaveFilters = {QStringLiteral("Serialized tree (*.swt)"), QStringLiteral("Skeinwork script (*.sw)"),
                                  QStringLiteral("Any file (*)")};
constexpr int kPreviewBytes = 100;
constexpr int kPanelWidths[4] = {50, 50, 50, 200};

QString LibraryVersionText() { return QString::fromStdString(SwVersionText(SwLibraryVersion)); }

}  // namespace

MainWindow::MainWindow(const QString& settingsPath, Prompter* prompter, QWidget* parent)
    : QMainWindow(parent), mSettings(settingsPath, QSettings::IniFormat) {
  if (!prompter) {
    mOwnPrompter = std::make_unique<DialogPrompter>(this);
    prompter = mOwnPrompter.get();
  }
  mPrompter = prompter;
  mRun.SetPrompter(mPrompter);
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QString::fromLatin1(kApplicationTitle));
  setAcceptDrops(true);
  resize(960, 640);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildBanner(central);
  mPages = new QStackedWidget(central);
  mStartPage = BuildStartPage();
  mTreePage = BuildTreePage();
  mFailurePage = BuildFailurePage();
  mPages->addWidget(mStartPage);
  mPages->addWidget(mTreePage);
  mPages->addWidget(mFailurePage);
  layout->addWidget(mPages, 1);
  setCentralWidget(central);
  BuildToolbar();
  BuildStatusBar();
  BuildTreeCommands();

  mTipTimer = new QTimer(this);
  mTipTimer->setInterval(1000);
  connect(mTipTimer, &QTimer::timeout, this, &MainWindow::OnTipTimer);

  connect(&mRun, &RunController::Finished, this, &MainWindow::OnRunFinished);
  connect(&mRun, &RunController::Progress, this, &MainWindow::OnProgress);
  SetStatusText(QStringLiteral("Welcome to Skeinwork!"));
  RefreshControls();
}

MainWindow::~MainWindow() {
  delete mExtractWindow;  // stops its extraction before the tree goes
  delete mNodeWindow;     // before the model it listens to
  delete mScriptEditor;  // no notice of its hiding reaches a window being destroyed
  mModel.SetTree(nullptr, nullptr, 0);
  mRun.blockSignals(true);
  mRun.Clear(false);
}

// ---------------------------------------------------------------------------------------------
// Building

void MainWindow::BuildBanner(QWidget* parent) {
  auto* banner = new QWidget(parent);
  banner->setObjectName(QStringLiteral("pnAppTop"));
  banner->setAutoFillBackground(true);
  banner->setBackgroundRole(QPalette::Base);
  auto* row = new QHBoxLayout(banner);
  row->setContentsMargins(12, 8, 12, 8);
  auto* title = new QLabel(QString::fromLatin1(kApplicationTitle), banner);
  QFont titleFont = title->font();
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  titleFont.setBold(true);
  title->setFont(titleFont);
  auto* version = new QLabel(QStringLiteral("Library v%1").arg(LibraryVersionText()), banner);
  version->setObjectName(QStringLiteral("lbLibraryVersion"));
  auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kProjectWebPage)), banner);
  link->setOpenExternalLinks(true);
  row->addWidget(title);
  row->addSpacing(16);
  row->addWidget(version);
  row->addStretch(1);
  row->addWidget(link);
  parent->layout()->addWidget(banner);
}

QAction* MainWindow::AddAction(const char* name, const QString& text, const QKeySequence& key) {
  auto* action = new QAction(text, this);
  action->setObjectName(QString::fromLatin1(name));
  if (!key.isEmpty()) {
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
  }
  addAction(action);
  return action;
}

void MainWindow::BuildToolbar() {
  QToolBar* toolbar = addToolBar(QStringLiteral("Tools"));
  toolbar->setObjectName(QStringLiteral("pnToolbar"));
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);

  mOpenAction = AddAction("btTOpen", QStringLiteral("Open"), QKeySequence(Qt::CTRL | Qt::Key_O));
  mOpenAction->setToolTip(QStringLiteral("Modell a file (Ctrl+O); right-click for options"));
  connect(mOpenAction, &QAction::triggered, this, [this] { OpenAndModel(false); });
  auto* openMenu = new QMenu(this);
  openMenu->setObjectName(QStringLiteral("pmOpen"));
  QAction* modell = openMenu->addAction(QStringLiteral("Open model && modell a file"));
  modell->setObjectName(QStringLiteral("miTModell"));
  connect(modell, &QAction::triggered, this, [this] { OpenAndModel(true); });
  mRemodellAction = openMenu->addAction(QStringLiteral("Re-modell another file"));
  mRemodellAction->setObjectName(QStringLiteral("miTRemodell"));
  connect(mRemodellAction, &QAction::triggered, this, [this] { OpenAndModel(false); });
  openMenu->addSeparator();
  QAction* illustrateModel = openMenu->addAction(QStringLiteral("Illustrate a model"));
  illustrateModel->setObjectName(QStringLiteral("miTIllustrateModel"));
  connect(illustrateModel, &QAction::triggered, this, &MainWindow::IllustrateModel);
  QAction* illustrateScript = openMenu->addAction(QStringLiteral("Illustrate a script"));
  illustrateScript->setObjectName(QStringLiteral("miTOpenScript"));
  connect(illustrateScript, &QAction::triggered, this, &MainWindow::IllustrateScript);
  QMenu* loadMenu = openMenu->addMenu(QStringLiteral("Load serialized tree"));
  QAction* asBinary = loadMenu->addAction(QStringLiteral("As binary"));
  asBinary->setObjectName(QStringLiteral("Asbinary1"));
  connect(asBinary, &QAction::triggered, this, &MainWindow::LoadSerializedTree);
  mOpenAction->setMenu(openMenu);

  mReloadAction = AddAction("btTReload", QStringLiteral("Reload"), QKeySequence(Qt::Key_F5));
  mReloadAction->setToolTip(QStringLiteral("Run the same script and file again (F5)"));
  connect(mReloadAction, &QAction::triggered, this, &MainWindow::Reload);
  mCloseAction = AddAction("btTClose", QStringLiteral("Close"), QKeySequence(Qt::Key_Escape));
  mCloseAction->setToolTip(QStringLiteral("Close the script and the file; cancels a run (Esc)"));
  connect(mCloseAction, &QAction::triggered, this, &MainWindow::CloseEverything);

  mScriptMemoAction = AddAction("btTScriptMemo", QStringLiteral("Script"), QKeySequence(Qt::Key_F4));
  mScriptMemoAction->setCheckable(true);
  mScriptMemoAction->setToolTip(QStringLiteral("Script editor (F4)"));
  connect(mScriptMemoAction, &QAction::triggered, this, &MainWindow::ShowScriptEditor);
  mSaveAction = AddAction("btTSave", QStringLiteral("Save"));
  mSaveAction->setToolTip(QStringLiteral("Serialize the tree"));
  auto* saveMenu = new QMenu(this);
  saveMenu->addAction(QStringLiteral("As binary"))->setObjectName(QStringLiteral("miTSaveBin"));
  saveMenu->addAction(QStringLiteral("As compressed binary"))->setObjectName(QStringLiteral("miTSaveCompressed"));
  mSaveAction->setMenu(saveMenu);
  mFindAction = AddAction("btTFind", QStringLiteral("Find"), QKeySequence(Qt::CTRL | Qt::Key_F));
  mFindAction->setToolTip(QStringLiteral("Find a node on a path (Ctrl+F)"));
  // F3 is a key of its own: it also starts a search when none is active (MainWindowTree.cpp).
  mFindNextAction = AddAction("btTFindNext", QStringLiteral("Find next"));
  mFindNextAction->setToolTip(QStringLiteral("Continue the search (F3)"));
  mHighlightAction = AddAction("btTHighlightNodes", QStringLiteral("Highlight"));
  mHighlightAction->setToolTip(QStringLiteral("Colour nodes by name masks"));
  mHighlightMenu = new QMenu(this);
  for (const char* colour : {"Red", "Orange", "Blue", "Green", "Clear all"})
    mHighlightMenu->addAction(QString::fromLatin1(colour))->setObjectName(QString::fromLatin1(colour));
  mHighlightAction->setMenu(mHighlightMenu);
  mExtractAction = AddAction("btTExtractOnPath", QStringLiteral("Extract"), QKeySequence(Qt::Key_F8));
  mExtractAction->setCheckable(true);
  mExtractAction->setToolTip(QStringLiteral("Extract data on a path (F8)"));
  connect(mExtractAction, &QAction::triggered, this, &MainWindow::ToggleExtractWindow);

  for (QAction* action : {mOpenAction, mReloadAction, mCloseAction, mScriptMemoAction, mSaveAction, mFindAction,
                          mFindNextAction, mHighlightAction, mExtractAction})
    toolbar->addAction(action);
  // Buttons with a menu open it from their arrow and on a right click.
  for (QAction* action : {mOpenAction, mSaveAction, mHighlightAction}) {
    auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action));
    button->setPopupMode(QToolButton::MenuButtonPopup);
    button->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(button, &QToolButton::customContextMenuRequested, button, [button](const QPoint& at) {
      button->menu()->popup(button->mapToGlobal(at));
    });
  }
  mOpenButton = qobject_cast<QToolButton*>(toolbar->widgetForAction(mOpenAction));
}

QWidget* MainWindow::BuildStartPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("pnStart"));
  auto* outer = new QVBoxLayout(page);
  outer->addStretch(1);
  auto* column = new QVBoxLayout();
  struct StartButton {
    const char* Name;
    const char* Text;
    void (MainWindow::*Command)();
  };
  const StartButton buttons[] = {
      {"btStartFile", "Modell a file...", nullptr},
      {"btStartModel", "Illustrate a model...", &MainWindow::IllustrateModel},
      {"btStartScript", "Illustrate a script...", &MainWindow::IllustrateScript},
      {"btStartStreamed", "Load a serialized tree...", &MainWindow::LoadSerializedTree},
      {"btStartNew", "New script...", &MainWindow::NewScript},
  };
  for (const StartButton& entry : buttons) {
    auto* button = new QPushButton(QString::fromLatin1(entry.Text), page);
    button->setObjectName(QString::fromLatin1(entry.Name));
    button->setMinimumWidth(260);
    button->setMinimumHeight(36);
    if (entry.Command)
      connect(button, &QPushButton::clicked, this, entry.Command);
    else
      connect(button, &QPushButton::clicked, this, [this] { OpenAndModel(false); });
    column->addWidget(button);
    mStartButtons.append(button);
  }
  column->addSpacing(16);
  auto* links = new QHBoxLayout();
  const std::pair<const char*, const char*> linkButtons[] = {{"btStartMail", "Write to the author"},
                                                             {"btStartWWW", "Project web page"}};
  for (const auto& [name, text] : linkButtons) {
    auto* button = new QPushButton(QString::fromLatin1(text), page);
    button->setObjectName(QString::fromLatin1(name));
    button->setFlat(true);
    const QString target = QString::fromLatin1(QByteArrayView(name) == "btStartMail" ? kAuthorAddress : kProjectWebPage);
    button->setToolTip(target);
    connect(button, &QPushButton::clicked, this, [target] { QDesktopServices::openUrl(QUrl(target)); });
    links->addWidget(button);
    mStartButtons.append(button);
  }
  column->addLayout(links);
  auto* row = new QHBoxLayout();
  row->addStretch(1);
  row->addLayout(column);
  row->addStretch(1);
  outer->addLayout(row);
  outer->addStretch(2);
  return page;
}

QWidget* MainWindow::BuildTreePage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("pnTree"));
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 0);

  mScriptStrip = new QWidget(page);
  mScriptStrip->setObjectName(QStringLiteral("pnScriptInfo"));
  auto* strip = new QHBoxLayout(mScriptStrip);
  strip->setContentsMargins(0, 0, 0, 0);
  auto makeLabel = [this](const char* name, void (MainWindow::*edit)()) {
    auto* label = new QToolButton(mScriptStrip);
    label->setObjectName(QString::fromLatin1(name));
    label->setAutoRaise(true);
    connect(label, &QToolButton::clicked, this, edit);
    return label;
  };
  mSignatureLabel = makeLabel("lbSSignature", &MainWindow::EditSignature);
  mLanguageLabel = makeLabel("lbSLanguageCode", &MainWindow::EditLanguage);
  mCharsetLabel = makeLabel("lbSCharset", &MainWindow::EditCharset);
  mVersionLabel = makeLabel("lbSVersion", &MainWindow::EditVersion);
  mPreambleButton = new QPushButton(QStringLiteral("Preamble"), mScriptStrip);
  mPreambleButton->setObjectName(QStringLiteral("btSPreamble"));
  connect(mPreambleButton, &QPushButton::clicked, this, &MainWindow::ShowPreamble);
  strip->addWidget(mSignatureLabel);
  strip->addStretch(1);
  strip->addWidget(mLanguageLabel);
  strip->addWidget(mCharsetLabel);
  strip->addWidget(mVersionLabel);
  strip->addWidget(mPreambleButton);
  layout->addWidget(mScriptStrip);

  mStreamerStrip = new QLabel(page);
  mStreamerStrip->setObjectName(QStringLiteral("pnStreamerInfo"));
  mStreamerStrip->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(mStreamerStrip);

  mTreeView = new QTreeView(page);
  mTreeView->setObjectName(QStringLiteral("TreeView"));
  mTreeView->setUniformRowHeights(true);
  mTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  mTreeView->setMouseTracking(true);
  mTreeView->setModel(&mModel);
  mTreeView->header()->setStretchLastSection(true);
  connect(mTreeView, &QTreeView::entered, this, &MainWindow::OnItemEntered);
  connect(mTreeView, &QTreeView::viewportEntered, this, [this] { OnItemEntered({}); });
  connect(mTreeView, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    TSwTreeNode* node = mModel.NodeOf(index);
    if (node && node->ChildCount() == 0) ShowNodeWindow(node);
  });
  // The node window follows the selection unless the user hid it.
  connect(mTreeView->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& index) {
    TSwTreeNode* node = mModel.NodeOf(index);
    if (node && mNodeWindow && mNodeWindow->isVisible()) ShowNodeWindow(node, false);
  });
  layout->addWidget(mTreeView, 1);
  return page;
}

QWidget* MainWindow::BuildFailurePage() {
  mFailurePanel = new FailurePanel(this);
  connect(mFailurePanel, &FailurePanel::ScriptLineRequested, this, [this](int line) {
    ShowScriptEditor(true);
    if (mScriptEditor && mScriptEditor->isVisible()) mScriptEditor->Memo()->MoveCaret(line, 1);
  });
  connect(mFailurePanel, &FailurePanel::PartialTreeRequested, this, &MainWindow::ShowPartialTree);
  return mFailurePanel;
}

void MainWindow::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  for (int i = 0; i < 4; ++i) {
    mPanels[i] = new QLabel(bar);
    mPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i + 1));
    mPanels[i]->setMinimumWidth(kPanelWidths[i]);
    mPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    mPanels[i]->setMargin(2);
    if (i < 2) mPanels[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bar->addWidget(mPanels[i], i == 3 ? 3 : 0);
  }
  mStatusText = new QLabel(bar);
  mStatusText->setObjectName(QStringLiteral("StatusText"));
  bar->addWidget(mStatusText, 1);
  mProgress = new QProgressBar(bar);
  mProgress->setObjectName(QStringLiteral("RunProgress"));
  mProgress->setRange(0, 1000);
  mProgress->setMaximumWidth(200);
  mProgress->setTextVisible(false);
  mCancelButton = new QPushButton(QStringLiteral("Cancel"), bar);
  mCancelButton->setObjectName(QStringLiteral("btCancelRun"));
  mCancelButton->setToolTip(QStringLiteral("Stop the run (Esc)"));
  connect(mCancelButton, &QPushButton::clicked, this, &MainWindow::CancelRun);
  bar->addPermanentWidget(mProgress);
  bar->addPermanentWidget(mCancelButton);
}

// ---------------------------------------------------------------------------------------------
// Opening

QString MainWindow::RememberedScript() const {
  return mHasScript && mRun.Mode() != RunMode::LoadTree ? mRun.ScriptPath() : QString();
}

QString MainWindow::AskScriptPath(int selectedFilter) {
  return mPrompter->OpenFile(
      {QStringLiteral("Select a Skeinwork script with your model"), kScriptFilters, selectedFilter, QStringLiteral("sw")});
}

FileQuestion MainWindow::SaveQuestion(int selectedFilter, const QString& suffix) {
  return {QStringLiteral("Serializing current tree"), kSaveFilters, selectedFilter, suffix};
}

QString MainWindow::AskDataPath() {
  return mPrompter->OpenFile({QStringLiteral("Select a file to modell"), {QStringLiteral("Any file (*)")}, 0, {}});
}

void MainWindow::OpenFiles(const QStringList& paths) {
  const OpenRequest request = ClassifyPaths(paths, [](const QString& path) { return QFileInfo(path).isDir(); });
  const QString remembered = RememberedScript();
  switch (DecideOpen(request, remembered)) {
    case OpenAction::Nothing:
      break;
    case OpenAction::LoadTree:
      StartRun(RunMode::LoadTree, request.Tree);
      break;
    case OpenAction::IllustrateModel:
      StartRun(RunMode::IllustrateModel, request.Script);
      break;
    case OpenAction::ModelData:
      StartRun(RunMode::ModelData, request.Script, request.Data);
      break;
    case OpenAction::ModelWithRemembered:
      StartRun(RunMode::ModelData, remembered, request.Data);
      break;
    case OpenAction::AskScriptAndModel:
      if (QString script = AskScriptPath(); !script.isEmpty()) StartRun(RunMode::ModelData, script, request.Data);
      break;
  }
}

void MainWindow::OpenAndModel(bool alwaysAskScript) {
  QString script = alwaysAskScript ? QString() : RememberedScript();
  if (script.isEmpty()) script = AskScriptPath();
  if (script.isEmpty()) return;
  const QString data = AskDataPath();
  if (!data.isEmpty()) StartRun(RunMode::ModelData, script, data);
}

void MainWindow::IllustrateModel() {
  if (QString script = AskScriptPath(); !script.isEmpty()) StartRun(RunMode::IllustrateModel, script);
}

void MainWindow::IllustrateScript() {
  if (QString script = AskScriptPath(); !script.isEmpty()) StartRun(RunMode::IllustrateScript, script);
}

void MainWindow::LoadSerializedTree() {
  if (QString tree = AskScriptPath(1); !tree.isEmpty()) StartRun(RunMode::LoadTree, tree);
}

void MainWindow::NewScript() {
  const QString path = mPrompter->SaveFile(SaveQuestion(1, QStringLiteral("sw")));
  if (path.isEmpty()) return;
  CloseEverything();
  try {
    auto file = std::make_unique<TFileStream>(path.toStdU16String(), TFileMode::Create);
    const std::string stub = "Skeinwork " + SwVersionText(SwLibraryVersion) + "\r\n\r\n== Model ==\r\n";
    file->WriteBuffer(stub.data(), static_cast<int64_t>(stub.size()));
    mRun.AdoptScriptFile(RunMode::IllustrateModel, path, std::move(file));
    mHasScript = true;
    ShowScriptEditor(true);
  } catch (const ESkeinwork& error) {
    mPrompter->Error(ReadableClassName(error.ClassName()), QString::fromStdString(error.Message()));
  }
  RefreshControls();
}

void MainWindow::Reload() {
  // The edits are what the user wants modelled; a failed save (reported) models nothing.
  if (mScriptEditor && !mScriptEditor->Save()) return;
  if (mHasScript) StartRun(mRun.Mode(), mRun.ScriptPath(), mRun.DataPath());
}

// ---------------------------------------------------------------------------------------------
// Runs

void MainWindow::StartRun(RunMode mode, const QString& scriptPath, const QString& dataPath) {
  // An editor open on this script stays open over the run.
  const bool editorStays = mScriptEditor && mScriptEditor->isVisible() &&
                           QFileInfo(mScriptEditor->Path()).absoluteFilePath() == QFileInfo(scriptPath).absoluteFilePath();
  if (editorStays)
    ClearRun(true);
  else
    CloseEverything();
  mHasScript = true;
  mProgress->setValue(0);
  mRun.Start(mode, scriptPath, dataPath);
  QString status = QStringLiteral("Working... ") + QFileInfo(scriptPath).fileName();
  if (mode == RunMode::ModelData) status += QStringLiteral(" + ") + QFileInfo(dataPath).absoluteFilePath();
  SetStatusText(status);
  RefreshControls();
}

void MainWindow::CancelRun() { mRun.Cancel(); }

void MainWindow::CloseEverything() {
  if (mScriptEditor) mScriptEditor->hide();
  ClearRun(false);
}

void MainWindow::ShowScriptEditor(bool show) {
  if (!mScriptEditor) {
    mScriptEditor = new ScriptEditor(*mPrompter, this);
    const QRect frame = frameGeometry();
    mScriptEditor->setGeometry(frame.left() + width() + 8, frame.top(), mScriptEditor->width(), height());
    connect(mScriptEditor, &ScriptEditor::Hidden, this, &MainWindow::RefreshControls);
    connect(mScriptEditor, &ScriptEditor::Saved, this, [this] { mRun.ScriptFileReplaced(); });
    connect(mScriptEditor, &ScriptEditor::RemodelRequested, this, &MainWindow::Reload);
    connect(mScriptEditor, &ScriptEditor::MainWindowRequested, this, [this] {
      raise();
      activateWindow();
      mTreeView->setFocus();
    });
  }
  if (show != mScriptEditor->isVisible()) {
    if (!show) {
      mScriptEditor->hide();
    } else if (mHasScript) {
      const QString charset = mRun.Script() ? QString::fromStdU16String(mRun.Script()->Charset()) : QString();
      if (mScriptEditor->Open(mRun.ScriptPath(), charset)) {
        mScriptEditor->show();
        mScriptEditor->raise();
        mScriptEditor->activateWindow();
      }
    }
  }
  RefreshControls();
}

void MainWindow::ClearRun(bool keepScriptStream) {
  mSearch.End();
  SetNameFilter({});
  if (mExtractWindow) mExtractWindow->hide();
  mModel.SetTree(nullptr, nullptr, 0);
  mRun.Clear(keepScriptStream);
  mHasScript = mTreeShown = mErrorShown = false;
  mHoveredNode = nullptr;
  mHoveringNode = false;
  RefreshControls();
}

void MainWindow::OnProgress(qint64 position, qint64 size) {
  if (mRun.IsWorking() && size > 0) mProgress->setValue(static_cast<int>(position * 1000 / size));
}

void MainWindow::OnRunFinished(int outcome) {
  const RunFailure& failure = mRun.Failure();
  if (outcome == kRunSucceeded) {
    mTreeShown = true;
    RefreshControls();
    FillScriptStrip();
    ShowResultTree();
  } else if (!failure.Recorded()) {
    RefreshControls();
    if (outcome != kRunCancelled) SetStatusText(QStringLiteral("Abnormal thread exit with code %1").arg(outcome));
  } else if (!failure.IsMismatch) {
    SetStatusText({});
    mPrompter->Error(ReadableClassName(failure.ClassName), failure.Message);
    RefreshControls();
  } else {
    ShowFailurePage();
  }
  if (outcome == kRunCancelled) SetStatusText({});
}

void MainWindow::ShowNodeWindow(TSwTreeNode* node, bool bringToFront) {
  if (!node || mModel.RangesPaused()) return;  // an extraction is reading the tree
  if (!mNodeWindow) {
    mNodeWindow = new NodeWindow(mModel, *mPrompter, this);
    const QRect frame = frameGeometry();
    mNodeWindow->move(frame.left() - mNodeWindow->width() - 4, frame.top());
    connect(mNodeWindow, &NodeWindow::Navigated, this, [this](TSwTreeNode* shown) {
      const QModelIndex index = mModel.IndexOf(shown);
      if (!index.isValid()) return;
      mTreeView->scrollTo(index);
      mTreeView->setCurrentIndex(index);
    });
    connect(mNodeWindow, &NodeWindow::MainWindowRequested, this, [this] {
      raise();
      activateWindow();
    });
  }
  mNodeWindow->ShowNode(node, mRun.Slicer(), bringToFront);
}

void MainWindow::ShowResultTree() {
  TSwTreeNode* root = mRun.ShownRoot();
  mModel.SetTree(root, mRun.Slicer(), mRun.Codepage());
  const bool hasChildren = root && root->ChildCount() > 0;
  mTreeView->setRootIsDecorated(hasChildren);
  mTreeView->setHeaderHidden(!mRun.Slicer());
  if (mRun.Slicer()) {
    QHeaderView* header = mTreeView->header();
    header->resizeSection(ResultTreeModel::NameColumn, 320);
    header->resizeSection(ResultTreeModel::StartColumn, 90);
    header->resizeSection(ResultTreeModel::LengthColumn, 90);
  }
  if (hasChildren) mTreeView->setCurrentIndex(mModel.index(0, 0));
  mTreeView->setFocus();
  SetStatusText({});
  StartTipOnce();
}

void MainWindow::FillScriptStrip() {
  TSwScript* script = mRun.Script();
  mScriptStrip->setVisible(script != nullptr);
  mStreamerStrip->setVisible(script == nullptr);
  if (!script) {
    mStreamerStrip->setText(mRun.StreamerClassName() + QStringLiteral(": ") + mRun.ScriptPath());
    return;
  }
  const QString signature = QString::fromStdU16String(script->Signature());
  mSignatureLabel->setText(signature);
  mSignatureLabel->setToolTip(signature);
  mSignatureLabel->setStatusTip(signature);
  mLanguageLabel->setText(QStringLiteral("@") + QString::fromStdU16String(script->Language()));
  mCharsetLabel->setText(QString::fromStdU16String(script->Charset()).toUpper());
  mCharsetLabel->setToolTip(QStringLiteral("Codepage %1").arg(script->Codepage()));
  mVersionLabel->setText(QStringLiteral("v") + QString::fromStdString(SwVersionText(script->Version())));
  mPreambleButton->setEnabled(!script->Preamble().empty());
}

void MainWindow::ShowFailurePage() {
  const RunFailure& failure = mRun.Failure();
  mErrorShown = true;
  mFailurePanel->SetError(failure.ClassName, failure.Message, failure.IsMismatch);
  mFailurePanel->ShowPositions(failure.Mismatch());
  const TSwmPartialResult* partial = failure.Partial();
  mFailurePanel->SetPartialTreeAvailable(partial && partial->Slicer);
  SetStatusText({});
  RefreshControls();
}

void MainWindow::ShowPartialTree() {
  const TSwmPartialResult* partial = mRun.Failure().Partial();
  if (!partial || !partial->Slicer) return;
  mErrorShown = false;
  mTreeShown = true;
  RefreshControls();
  mModel.SetTree(partial->Slicer->Root(), partial->Slicer.get(), mRun.Codepage());
  mTreeView->setRootIsDecorated(true);
  mTreeView->setHeaderHidden(false);
  // The last node made is where the input stopped fitting: selected, with the failing model node.
  QModelIndex last;
  for (int rows = mModel.rowCount(last); rows > 0; rows = mModel.rowCount(last)) last = mModel.index(rows - 1, 0, last);
  if (last.isValid()) {
    mTreeView->scrollTo(last);
    mTreeView->setCurrentIndex(last);
  }
  mTreeView->setFocus();
  SetStatusText(QStringLiteral("Partial tree: modelling failed at offset %1 in %2")
                    .arg(OffsetText(partial->FailureOffset), QString::fromStdString(partial->FailedNode)));
}

void MainWindow::RefreshControls() {
  const bool working = mRun.IsWorking();
  for (QPushButton* button : mStartButtons) button->setEnabled(!working);
  mOpenAction->setEnabled(!working);
  // While an extraction reads the tree on its worker, nothing else may read its ranges or change it.
  const bool treeFree = mTreeShown && !mModel.RangesPaused();
  mSaveAction->setEnabled(treeFree);
  mFindAction->setEnabled(treeFree);
  mHighlightAction->setEnabled(mTreeShown);
  mCloseAction->setEnabled(working || mTreeShown || mErrorShown);
  mReloadAction->setEnabled(mHasScript);
  mFindNextAction->setEnabled(treeFree && mSearch.Active() && !mSearch.Exhausted());
  mFindOffsetAction->setEnabled(treeFree && mRun.Slicer());
  mExtractAction->setEnabled(mTreeShown && mRun.Slicer());
  mExtractAction->setChecked(mExtractWindow && mExtractWindow->isVisible());
  const bool editorShown = mScriptEditor && mScriptEditor->isVisible();
  mScriptMemoAction->setEnabled(editorShown || (mHasScript && mRun.ScriptStream()));
  mScriptMemoAction->setChecked(editorShown);
  mRemodellAction->setEnabled(!mRun.DataPath().isEmpty());

  QWidget* page = mErrorShown ? mFailurePage : mTreeShown ? mTreePage : mStartPage;
  mPages->setCurrentWidget(page);
  for (QLabel* panel : mPanels) {
    panel->setVisible(page == mTreePage);
    if (page != mTreePage) panel->clear();
  }
  mProgress->setVisible(working);
  mCancelButton->setVisible(working);
}

// ---------------------------------------------------------------------------------------------
// Status bar

void MainWindow::SetStatusText(const QString& text) { mStatusText->setText(text); }

QString MainWindow::StatusText() const { return mStatusText->text(); }

QStringList MainWindow::PanelTexts() const {
  QStringList texts;
  for (QLabel* panel : mPanels) texts << panel->text();
  return texts;
}

void MainWindow::OnItemEntered(const QModelIndex& index) {
  TSwTreeNode* node = mModel.NodeOf(index);
  if (node && mHoveringNode && node == mHoveredNode) return;
  mHoveredNode = node;
  mHoveringNode = node != nullptr;
  ShowNodeInStatusBar(node);
}

void MainWindow::ShowNodeInStatusBar(TSwTreeNode* node) {
  SetStatusText({});
  for (QLabel* panel : mPanels) panel->clear();
  if (!node) return;
  TSwmSlicer* slicer = mRun.Slicer();
  if (!slicer || mModel.RangesPaused()) {
    mPanels[3]->setText(QString::fromStdU16String(node->PathTo(mModel.Root(), u"\\")));
    return;
  }
  TSwValue value;
  if (node->FindValue(u"startGlobal", value) && TSwmSlicer::Start(value) >= 0)
    mPanels[0]->setText(OffsetText(TSwmSlicer::Start(value)));
  if (node->FindValue(u"innerGlobal", value) && TSwmSlicer::Start(value) >= 0) {
    mPanels[1]->setText(OffsetText(TSwmSlicer::End(value)));
    mPanels[2]->setText(SizeText(TSwmSlicer::Length(value)));
  }
  RawByteString bytes = slicer->PropertyText(node, u"inner", kPreviewBytes);
  if (bytes.empty()) bytes = slicer->PropertyText(node, u"start", kPreviewBytes);
  mPanels[3]->setText(BytePreview(bytes, mRun.Codepage()));
}

// ---------------------------------------------------------------------------------------------
// Tip

void MainWindow::StartTipOnce() {
  if (mTipConsidered) return;
  mTipConsidered = true;
  if (mSettings.value(QStringLiteral("Tips/Enabled"), true).toBool() &&
      mSettings.value(QStringLiteral("Tips/RightBtnClick"), true).toBool())
    mTipTimer->start(1000);
}

void MainWindow::OnTipTimer() {
  if (mTipTimer->interval() == 1000) {
    mTipTimer->setInterval(5000);
    mSettings.setValue(QStringLiteral("Tips/RightBtnClick"), false);
    mSettings.sync();
    const QPoint at = mOpenButton->mapToGlobal(QPoint(mOpenButton->width() / 2, mOpenButton->height()));
    QToolTip::showText(at,
                       QStringLiteral("<b>Right-click for options</b><br>Some buttons have context menus that hide "
                                      "less used tasks."),
                       mOpenButton);
    return;
  }
  mTipTimer->stop();
  QToolTip::hideText();
}

// ---------------------------------------------------------------------------------------------
// Extraction window

void MainWindow::ToggleExtractWindow() {
  if (!mExtractWindow) {
    mExtractWindow = new ExtractWindow(*this, *mPrompter);
    connect(mExtractWindow, &ExtractWindow::Hidden, this, &MainWindow::RefreshControls);
    connect(mExtractWindow, &ExtractWindow::ShowNodeRequested, this, [this](TSwTreeNode* node) { ShowNodeWindow(node); });
  }
  mExtractWindow->setVisible(!mExtractWindow->isVisible() && mExtractAction->isEnabled());
  RefreshControls();
}

// ---------------------------------------------------------------------------------------------
// Script strip

template <class F>
void MainWindow::ApplyToScript(F change) {
  TSwScript* script = mRun.Script();
  if (!script || mRun.IsWorking()) return;
  try {
    change(*script);
  } catch (const ESkeinwork& error) {
    mPrompter->Error(ReadableClassName(error.ClassName()), QString::fromStdString(error.Message()));
  }
  FillScriptStrip();
}

void MainWindow::EditScriptField(const QString& caption, const QString& prompt,
                                 WideString (*current)(const TSwScript&),
                                 void (*store)(TSwScript&, const QString& answer)) {
  ApplyToScript([&](TSwScript& script) {
    if (auto answer = mPrompter->AskText(caption, prompt, QString::fromStdU16String(current(script))))
      store(script, *answer);
  });
}

void MainWindow::EditLanguage() {
  EditScriptField(
      QStringLiteral("Script language"), QStringLiteral("New script language code (2 characters):"),
      [](const TSwScript& script) { return script.Language(); },
      [](TSwScript& script, const QString& answer) { script.SetLanguage(answer.toStdU16String()); });
}

void MainWindow::EditCharset() {
  ApplyToScript([this](TSwScript& script) {
    auto answer = mPrompter->AskText(QStringLiteral("Script charset"),
                                     QStringLiteral("New script charset name or codepage ID (current: %1):")
                                         .arg(script.Codepage()),
                                     QString::fromStdU16String(script.Charset()));
    if (!answer) return;
    if (std::optional<QString> charset = CharsetOfAnswer(*answer))
      script.SetCharset(charset->toStdU16String());
    else
      mPrompter->Error(QStringLiteral("Error"), QStringLiteral("Unknown charset ID: %1").arg(answer->trimmed().toInt()));
  });
}

void MainWindow::EditVersion() {
  EditScriptField(
      QStringLiteral("Script version"), QStringLiteral("Skeinwork version required to open this script:"),
      [](const TSwScript& script) { return Utf8ToWide(SwVersionText(script.Version())); },
      [](TSwScript& script, const QString& answer) {
        script.SetVersion(SwParseVersion(answer.trimmed().toStdString()));
      });
}

void MainWindow::EditSignature() {
  EditScriptField(
      QStringLiteral("Script signature"), QStringLiteral("New short script description:"),
      [](const TSwScript& script) { return script.Signature(); },
      [](TSwScript& script, const QString& answer) { script.SetSignature(answer.toStdU16String()); });
}

void MainWindow::ShowPreamble() {
  if (TSwScript* script = mRun.Script())
    mPrompter->Information(QStringLiteral("Script preamble text"), QString::fromStdU16String(script->Preamble()));
}

// ---------------------------------------------------------------------------------------------
// Events

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (mStartupDone) return;
  mStartupDone = true;
  if (!mStartupPaths.isEmpty()) {
    const QStringList paths = mStartupPaths;
    QTimer::singleShot(0, this, [this, paths] { OpenFiles(paths); });
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  CloseEverything();
  QMainWindow::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Esc closes whatever modifiers are held; the plain key is the Close button's shortcut.
  if (event->key() == Qt::Key_Escape) {
    if (mCloseAction->isEnabled()) CloseEverything();
    return;
  }
  QMainWindow::keyPressEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  event->acceptProposedAction();
  if (!paths.isEmpty()) OpenFiles(paths);
}

}  // namespace weftview
