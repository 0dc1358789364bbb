// MainWindow: the viewer's only top-level window. A start page, the tree page with the script
// (or tree file) strip above the result tree, and the failure page; a toolbar whose buttons start
// and stop runs, a status bar that describes the node under the pointer and shows a run's
// progress. Runs go through the RunController; questions through the Prompter.
#pragma once

#include <QMainWindow>
#include <QSettings>
#include <QStringList>

#include <memory>

#include "FilterTreeModel.h"
#include "NodeSearch.h"
#include "Prompter.h"
#include "ResultTreeModel.h"
#include "RunController.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTimer;
class QToolButton;
class QTreeView;
class QWidget;

namespace skeinwork {
class TSwScript;
}

namespace weftview {

class FailurePanel;
class ScriptEditor;
class NodeWindow;
class ExtractWindow;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // `settingsPath`: the ini file of the tips. Without a prompter the window asks with dialogs.
  explicit MainWindow(const QString& settingsPath, Prompter* prompter = nullptr, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Paths to open once the window is first shown (the command line).
  void SetStartupPaths(const QStringList& paths) { mStartupPaths = paths; }
  // Sorts the paths into script, tree file and data file and starts the run they call for.
  void OpenFiles(const QStringList& paths);

  // Commands of the toolbar, the menus and the start page.
  void OpenAndModel(bool alwaysAskScript);
  void IllustrateModel();
  void IllustrateScript();
  void LoadSerializedTree();
  void NewScript();
  void Reload();
  void CloseEverything();
  // Cancels a working run; the window stays as the run found it.
  void CancelRun();

  // Shows the finished run's tree with its first item selected: what the end of a run does.
  void ShowResultTree();

  // Finding (MainWindowTree.cpp): by path or by offset below a node (null: the root), and the
  // next match; F3 continues an active search or starts a new path search.
  void FindOnPath(skeinwork::TSwTreeNode* base = nullptr);
  void FindByOffset(skeinwork::TSwTreeNode* base = nullptr);
  void FindNext();
  void FindNextOrNew();
  const NodeSearch& Search() const { return mSearch; }
  // Highlight masks of a colour, asked in a box; and all of them cleared.
  void EditHighlight(HighlightList::Colour colour);
  void ClearHighlights();
  const HighlightList& Highlights() const { return mHighlights; }
  // Node commands of the tree's popup menu, on a node of the shown tree.
  void RenameNode(skeinwork::TSwTreeNode* node);
  void RemoveNode(skeinwork::TSwTreeNode* node);
  void ExpandSubtree(skeinwork::TSwTreeNode* node, bool expand);
  void ToggleNodeProperties(skeinwork::TSwTreeNode* node);
  bool NodeWindowVisible() const;
  // The tree popup as it would open for the node (its items enabled and checked accordingly).
  QMenu* TreeMenuFor(skeinwork::TSwTreeNode* node);
  // Shows only the nodes whose names pass the filter text, with their ancestors (empty: all).
  void SetNameFilter(const QString& text);
  FilterTreeModel& Filter() { return mFilter; }
  // Writes the shown tree to a file chosen in the save dialog.
  void SaveTree(bool compressed);

  RunController& Run() { return mRun; }
  ResultTreeModel& Model() { return mModel; }
  QTreeView* TreeView() const { return mTreeView; }
  bool TreeShown() const { return mTreeShown; }
  bool ErrorShown() const { return mErrorShown; }
  // Loads the node into the node window, made on first use left of this window; shows it when
  // asked to bring it to the front or when it is hidden.
  void ShowNodeWindow(skeinwork::TSwTreeNode* node, bool bringToFront = true);
  NodeWindow* NodeWindowIfAny() const { return mNodeWindow; }
  // Enables and presses the controls as the run, the tree and the companion windows stand.
  void RefreshControls();
  // Shows the script editor on the current script (made on first use right of this window) or
  // hides it, which saves its edits.
  void ShowScriptEditor(bool show);
  ScriptEditor* ScriptEditorIfAny() const { return mScriptEditor; }
  FailurePanel* FailurePage() const { return mFailurePanel; }
  // Shows the nodes a failed modelling run made, the last one selected.
  void ShowPartialTree();
  // Fills the status bar's panels for the node (null: empties them), as the pointer does.
  void ShowNodeInStatusBar(skeinwork::TSwTreeNode* node);
  QString StatusText() const;
  QStringList PanelTexts() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildBanner(QWidget* parent);
  void BuildToolbar();
  QWidget* BuildStartPage();
  QWidget* BuildTreePage();
  QWidget* BuildFailurePage();
  void BuildStatusBar();
  QAction* AddAction(const char* name, const QString& text, const QKeySequence& key = {});

  // Clears the run and its tree; the script file stays open when kept.
  void ClearRun(bool keepScriptStream);
  void StartRun(RunMode mode, const QString& scriptPath, const QString& dataPath = {});
  void OnRunFinished(int outcome);
  void OnProgress(qint64 position, qint64 size);
  void FillScriptStrip();
  void ShowFailurePage();
  void SetStatusText(const QString& text);
  void OnItemEntered(const QModelIndex& index);
  void StartTipOnce();
  void OnTipTimer();
  void BuildTreeCommands();
  void OnTreeStructureChanged();
  void ShowTreeMenu(const QPoint& at);
  skeinwork::TSwTreeNode* BaseOrRoot(skeinwork::TSwTreeNode* base) const;
  // The node's index in the model the tree view shows (the whole tree or the filtered one).
  QModelIndex ViewIndexOf(skeinwork::TSwTreeNode* node) const;
  void OnFilterFinished(qint64 matches);
  void ShowLibraryError(const std::exception& error);
  void ToggleExtractWindow();

  // Script strip answers.
  // Asks for a header field with its current value and stores the answer.
  void EditScriptField(const QString& caption, const QString& prompt,
                       std::u16string (*current)(const skeinwork::TSwScript&),
                       void (*store)(skeinwork::TSwScript&, const QString& answer));
  void EditLanguage();
  void EditCharset();
  void EditVersion();
  void EditSignature();
  void ShowPreamble();
  template <class F>
  void ApplyToScript(F change);

  QString AskScriptPath(int selectedFilter = 0);
  QString AskDataPath();
  // The save dialog's question (`sdStream`).
  static FileQuestion SaveQuestion(int selectedFilter, const QString& suffix);
  // The script of the previous run, for a data file given alone; empty after a tree load.
  QString RememberedScript() const;

  std::unique_ptr<Prompter> mOwnPrompter;
  Prompter* mPrompter;
  QSettings mSettings;
  RunController mRun;
  ResultTreeModel mModel;
  QStringList mStartupPaths;
  bool mStartupDone = false;
  bool mHasScript = false;
  bool mTreeShown = false;
  bool mErrorShown = false;
  bool mTipConsidered = false;
  skeinwork::TSwTreeNode* mHoveredNode = nullptr;
  bool mHoveringNode = false;

  QStackedWidget* mPages = nullptr;
  QWidget* mStartPage = nullptr;
  QWidget* mTreePage = nullptr;
  QWidget* mFailurePage = nullptr;
  QTreeView* mTreeView = nullptr;
  QWidget* mScriptStrip = nullptr;
  QLabel* mStreamerStrip = nullptr;
  QToolButton* mLanguageLabel = nullptr;
  QToolButton* mCharsetLabel = nullptr;
  QToolButton* mVersionLabel = nullptr;
  QToolButton* mSignatureLabel = nullptr;
  QPushButton* mPreambleButton = nullptr;
  FailurePanel* mFailurePanel = nullptr;
  QList<QPushButton*> mStartButtons;

  QAction* mScriptMemoAction = nullptr;
  QAction* mSaveAction = nullptr;
  QAction* mOpenAction = nullptr;
  QAction* mFindAction = nullptr;
  QAction* mExtractAction = nullptr;
  QAction* mCloseAction = nullptr;
  QAction* mReloadAction = nullptr;
  QAction* mFindNextAction = nullptr;
  QAction* mHighlightAction = nullptr;
  QAction* mRemodellAction = nullptr;
  QToolButton* mOpenButton = nullptr;
  QAction* mFindOffsetAction = nullptr;
  QMenu* mHighlightMenu = nullptr;

  NodeSearch mSearch;
  FilterTreeModel mFilter{mModel};
  QLineEdit* mFilterEdit = nullptr;
  QLabel* mFilterCount = nullptr;
  skeinwork::TSwTreeNode* mKeptNode = nullptr;  // selected when the filter came on
  HighlightList mHighlights;
  QMenu* mTreeMenu = nullptr;
  skeinwork::TSwTreeNode* mMenuNode = nullptr;  // the node the tree popup was opened for
  QAction* mFindHereAction = nullptr;
  QAction* mFindOffsetHereAction = nullptr;
  QAction* mCollapseAllAction = nullptr;
  QAction* mExpandAllAction = nullptr;
  QAction* mPropertiesAction = nullptr;
  QAction* mRenameAction = nullptr;
  QAction* mRemoveAction = nullptr;

  QLabel* mStatusText = nullptr;
  QLabel* mPanels[4] = {};
  QProgressBar* mProgress = nullptr;
  QPushButton* mCancelButton = nullptr;
  QTimer* mTipTimer = nullptr;
  NodeWindow* mNodeWindow = nullptr;
  ExtractWindow* mExtractWindow = nullptr;  // made when first shown
  ScriptEditor* mScriptEditor = nullptr;
};

}  // namespace weftview
