// The main window's work on the shown tree: finding nodes by path and by offset, highlighting
// names, the tree popup's node commands and writing the tree to a file. Every change of the
// tree goes through the tree's own operations, which the model reports to all views.
#include <QApplication>
#include <QBoxLayout>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRandomGenerator>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "MainWindow.h"
#include "NodeWindow.h"
#include "SwCore.h"
#include "TreeSaving.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {

const char* const kPathExamples[] = {".parent\\child", "/rootChild", "child\\*\\subsubchild"};
const char* const kOffsetExamples[] = {"end = $1ff", "start 885", "0x00405AAC"};
const char* const kOffsetHelp =
    "[prop] [=] offset [junk]\r\n"
    "- prop: if specified only this property will be searched;\r\n"
    "\tcan be start, end, inner, startGlobal, endGlobal, innerGlobal\r\n"
    "- eq: if specified will match exactly offset start position\r\n"
    "\tif omiited any node/prop containing your input offset will match\r\n"
    "- offset: start with '$' or '0x' or end with 'h' for hexadecimal notation\r\n"
    "- junk: ignored; useful when copy-pasting dumps, etc.";

constexpr qint64 kFilterExpandLimit = 5000;

template <size_t N>
QString AnyOf(const char* const (&texts)[N]) {
  return QString::fromLatin1(texts[QRandomGenerator::global()->bounded(static_cast<int>(N))]);
}

}  // namespace

void MainWindow::BuildTreeCommands() {
  auto* findMenu = new QMenu(this);
  findMenu->setObjectName(QStringLiteral("pmFind"));
  findMenu->addAction(QStringLiteral("Find node"), this, [this] { FindOnPath(); });
  mFindOffsetAction = findMenu->addAction(QStringLiteral("Find offset"), this, [this] { FindByOffset(); });
  mFindOffsetAction->setObjectName(QStringLiteral("miFindOffset"));
  mFindAction->setMenu(findMenu);
  if (auto* findButton = qobject_cast<QToolButton*>(
          findChild<QToolBar*>(QStringLiteral("pnToolbar"))->widgetForAction(mFindAction)))
    findButton->setPopupMode(QToolButton::MenuButtonPopup);
  connect(mFindAction, &QAction::triggered, this, [this] { FindOnPath(); });
  connect(mFindNextAction, &QAction::triggered, this, &MainWindow::FindNext);
  QAction* findKey = AddAction("acFindKey", QString(), QKeySequence(Qt::Key_F3));
  connect(findKey, &QAction::triggered, this, &MainWindow::FindNextOrNew);

  const QList<QAction*> saveItems = mSaveAction->menu()->actions();
  connect(saveItems[0], &QAction::triggered, this, [this] { SaveTree(false); });
  connect(saveItems[1], &QAction::triggered, this, [this] { SaveTree(true); });
  connect(mSaveAction, &QAction::triggered, this, [this] { SaveTree(false); });

  const QList<QAction*> colours = mHighlightMenu->actions();
  for (int i = 0; i < HighlightList::kColourCount; ++i) {
    colours[i]->setCheckable(true);
    connect(colours[i], &QAction::triggered, this,
            [this, i] { EditHighlight(static_cast<HighlightList::Colour>(i)); });
  }
  connect(colours.last(), &QAction::triggered, this, &MainWindow::ClearHighlights);
  connect(mHighlightMenu, &QMenu::aboutToShow, this, [this, colours] {
    for (int i = 0; i < HighlightList::kColourCount; ++i)
      colours[i]->setChecked(mHighlights.HasEntry(static_cast<HighlightList::Colour>(i)));
  });
  connect(mHighlightAction, &QAction::triggered, this, [this] {
    QWidget* button = findChild<QToolBar*>(QStringLiteral("pnToolbar"))->widgetForAction(mHighlightAction);
    mHighlightMenu->popup(button->mapToGlobal(QPoint(0, button->height())));
  });
  mModel.SetHighlights(&mHighlights);

  mTreeMenu = new QMenu(this);
  mTreeMenu->setObjectName(QStringLiteral("pmTree"));
  auto add = [this](const char* name, const char* text, void (MainWindow::*command)(TSwTreeNode*)) {
    QAction* action = mTreeMenu->addAction(QString::fromLatin1(text));
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, [this, command] {
      if (mMenuNode) (this->*command)(mMenuNode);
    });
    return action;
  };
  mFindHereAction = add("miFindHere", "Find here...", &MainWindow::FindOnPath);
  mFindOffsetHereAction = add("miFindOffsetHere", "Find offset", &MainWindow::FindByOffset);
  mTreeMenu->addSeparator();
  mCollapseAllAction = mTreeMenu->addAction(QStringLiteral("Collapse all"));
  mCollapseAllAction->setObjectName(QStringLiteral("miCollapseAll"));
  connect(mCollapseAllAction, &QAction::triggered, this, [this] { ExpandSubtree(mMenuNode, false); });
  mExpandAllAction = mTreeMenu->addAction(QStringLiteral("Expand all"));
  mExpandAllAction->setObjectName(QStringLiteral("miExpandAll"));
  connect(mExpandAllAction, &QAction::triggered, this, [this] { ExpandSubtree(mMenuNode, true); });
  mTreeMenu->addSeparator();
  mPropertiesAction = add("miProperties", "Properties", &MainWindow::ToggleNodeProperties);
  mPropertiesAction->setCheckable(true);
  mRenameAction = add("miRename", "Rename", &MainWindow::RenameNode);
  mRemoveAction = add("miRemove", "Remove", &MainWindow::RemoveNode);

  mTreeView->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(mTreeView, &QTreeView::customContextMenuRequested, this, &MainWindow::ShowTreeMenu);
  mTreeView->setDragDropMode(QAbstractItemView::InternalMove);
  mTreeView->setDefaultDropAction(Qt::MoveAction);
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(&mModel, signal, this, &MainWindow::OnTreeStructureChanged);
  connect(&mModel, &QAbstractItemModel::rowsMoved, this, &MainWindow::OnTreeStructureChanged);
  connect(&mModel, &QAbstractItemModel::modelReset, this, &MainWindow::OnTreeStructureChanged);
  connect(&mModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this] { mKeptNode = nullptr; });

  auto* filterRow = new QHBoxLayout();
  mFilterEdit = new QLineEdit(mTreePage);
  mFilterEdit->setObjectName(QStringLiteral("edFilter"));
  mFilterEdit->setPlaceholderText(QStringLiteral("Filter: part of a node name, or = and the whole name"));
  mFilterEdit->setClearButtonEnabled(true);
  mFilterCount = new QLabel(mTreePage);
  mFilterCount->setObjectName(QStringLiteral("lbFilterCount"));
  filterRow->addWidget(mFilterEdit, 1);
  filterRow->addWidget(mFilterCount);
  auto* pageLayout = qobject_cast<QBoxLayout*>(mTreePage->layout());
  pageLayout->insertLayout(pageLayout->indexOf(mTreeView), filterRow);
  connect(mFilterEdit, &QLineEdit::textChanged, this, &MainWindow::SetNameFilter);
  connect(&mFilter, &FilterTreeModel::Finished, this, &MainWindow::OnFilterFinished);
}

// ---------------------------------------------------------------------------------------------
// Filter

QModelIndex MainWindow::ViewIndexOf(TSwTreeNode* node) const {
  return mTreeView->model() == &mFilter ? mFilter.IndexOf(node) : mModel.IndexOf(node);
}

void MainWindow::SetNameFilter(const QString& text) {
  if (mFilterEdit->text() != text) mFilterEdit->setText(text);  // comes back here
  if (text == mFilter.Filter()) return;
  const bool wasFiltered = mTreeView->model() == &mFilter;
  // Both models' indexes carry their node.
  TSwTreeNode* current = mModel.NodeOf(mTreeView->currentIndex());
  if (!wasFiltered) mKeptNode = current;
  mFilter.SetFilter(text);
  if (!text.isEmpty()) {
    mFilterCount->setText(QStringLiteral("Filtering..."));
    return;
  }
  mFilterCount->clear();
  if (!wasFiltered) return;
  // The whole tree again, with the node selected in the filtered one (or the one before).
  mTreeView->setModel(&mModel);
  const QModelIndex index = mModel.IndexOf(current ? current : mKeptNode);
  if (index.isValid()) {
    mTreeView->setCurrentIndex(index);
    mTreeView->scrollTo(index);
  }
}

void MainWindow::OnFilterFinished(qint64 matches) {
  mFilterCount->setText(matches == 1 ? QStringLiteral("1 match") : QStringLiteral("%1 matches").arg(matches));
  if (mTreeView->model() != &mFilter) mTreeView->setModel(&mFilter);
  // Shows the matches in place, with the node selected before when it passed; a great many
  // matches stay folded, as laying them all out would hold up the window.
  if (matches <= kFilterExpandLimit) mTreeView->expandAll();
  const QModelIndex kept = mFilter.IndexOf(mKeptNode);
  mTreeView->setCurrentIndex(kept.isValid() ? kept : mFilter.index(0, 0));
}

// A search holds nodes of the tree it walks: a change of the tree's structure ends it.
void MainWindow::OnTreeStructureChanged() {
  if (!mSearch.Active()) return;
  mSearch.End();
  RefreshControls();
}

TSwTreeNode* MainWindow::BaseOrRoot(TSwTreeNode* base) const { return base ? base : mModel.Root(); }

void MainWindow::ShowLibraryError(const std::exception& error) {
  if (const auto* library = dynamic_cast<const ESkeinwork*>(&error))
    mPrompter->Error(ReadableClassName(library->ClassName()), QString::fromStdString(library->Message()));
  else
    mPrompter->Error(QStringLiteral("Error"), QString::fromLocal8Bit(error.what()));
}

// ---------------------------------------------------------------------------------------------
// Finding

void MainWindow::FindOnPath(TSwTreeNode* base) {
  base = BaseOrRoot(base);
  if (!mTreeShown || !base) return;
  const int index = base->IsRoot() ? -1 : base->IndexInParent();
  // The base's own path, from the root, finds the base itself; the user goes on from there.
  const QString path = base->IsRoot() ? QString()
                                      : QStringLiteral("/") + QString::fromStdU16String(base->PathTo(base->Root(), u"\\"));
  const std::optional<QString> answer = mPrompter->AskText(
      QStringLiteral("Find node on path"),
      QStringLiteral("Path expression, [n] = %1 (e.g. '%2'):").arg(index).arg(AnyOf(kPathExamples)), path);
  if (!answer) return;
  try {
    mSearch.StartPath(base, answer->toStdU16String());
  } catch (const std::exception& error) {
    mSearch.End();
    ShowLibraryError(error);
    RefreshControls();
    return;
  }
  FindNext();
}

void MainWindow::FindByOffset(TSwTreeNode* base) {
  base = BaseOrRoot(base);
  if (!mTreeShown || !base || !mRun.Slicer()) return;
  const std::optional<QString> answer = mPrompter->AskText(
      QStringLiteral("Find node by offset"), QString::fromLatin1(kOffsetHelp), AnyOf(kOffsetExamples));
  if (!answer) return;
  const std::optional<OffsetQuery> query = ParseOffsetAnswer(*answer);
  if (!query) {
    mPrompter->Error(QStringLiteral("Error"), QStringLiteral("'%1' is not a valid offset.").arg(answer->trimmed()));
    return;
  }
  mSearch.StartOffset(base, *query, mRun.Slicer());
  FindNext();
}

void MainWindow::FindNext() {
  if (!mSearch.Active() || mSearch.Exhausted()) return;
  TSwTreeNode* node = nullptr;
  try {
    node = mSearch.Next();
  } catch (const std::exception& error) {
    mSearch.End();
    ShowLibraryError(error);
  }
  if (node) {
    if (!node->IsRoot()) {
      const QModelIndex index = ViewIndexOf(node);
      mTreeView->setCurrentIndex(index);
      mTreeView->scrollTo(index);
    }
    SetStatusText({});
  } else if (mSearch.Exhausted()) {
    QApplication::beep();
    SetStatusText(QStringLiteral("No match."));
  }
  RefreshControls();
}

void MainWindow::FindNextOrNew() {
  if (!mTreeShown) return;
  if (mSearch.Active() && !mSearch.Exhausted())
    FindNext();
  else
    FindOnPath();
}

// ---------------------------------------------------------------------------------------------
// Highlighting

void MainWindow::EditHighlight(HighlightList::Colour colour) {
  const std::optional<QString> answer = mPrompter->AskText(
      QStringLiteral("Highlight nodes"),
      QStringLiteral("- pipe-separated list of node name wildcard masks\r\n- empty value to disable this color"),
      mHighlights.Masks(colour));
  if (!answer) return;
  mHighlights.Set(colour, *answer);
  mTreeView->viewport()->update();
}

void MainWindow::ClearHighlights() {
  mHighlights.Clear();
  mTreeView->viewport()->update();
}

// ---------------------------------------------------------------------------------------------
// Node commands

QMenu* MainWindow::TreeMenuFor(TSwTreeNode* node) {
  mMenuNode = node;
  const bool hasChildren = node && node->ChildCount() > 0;
  mFindHereAction->setEnabled(hasChildren);
  mFindOffsetHereAction->setEnabled(node && mRun.Slicer());
  mCollapseAllAction->setEnabled(hasChildren);
  mExpandAllAction->setEnabled(hasChildren);
  mPropertiesAction->setEnabled(node != nullptr);
  mPropertiesAction->setChecked(NodeWindowVisible());
  mRenameAction->setEnabled(node != nullptr);
  mRemoveAction->setEnabled(mModel.CanRemove(node));
  return mTreeMenu;
}

void MainWindow::ShowTreeMenu(const QPoint& at) {
  if (mModel.RangesPaused()) return;  // an extraction is reading the tree
  TSwTreeNode* node = mModel.NodeOf(mTreeView->indexAt(at));
  if (!node) return;
  TreeMenuFor(node)->popup(mTreeView->viewport()->mapToGlobal(at));
}

void MainWindow::RenameNode(TSwTreeNode* node) {
  const std::optional<QString> answer = mPrompter->AskText(QStringLiteral("Rename node"), QStringLiteral("Enter new node name:"),
                                                           QString::fromStdU16String(node->Name()));
  if (answer) mModel.setData(mModel.IndexOf(node), *answer);
}

void MainWindow::RemoveNode(TSwTreeNode* node) {
  if (!mModel.CanRemove(node)) return;
  if (mHoveredNode && node->IsSelfOrAncestorOf(mHoveredNode)) mHoveredNode = nullptr;
  node->Remove();
}

void MainWindow::ExpandSubtree(TSwTreeNode* node, bool expand) {
  const QModelIndex index = ViewIndexOf(node);
  if (!index.isValid()) return;
  if (expand) {
    mTreeView->expandRecursively(index);
    return;
  }
  // Collapses the expanded nodes of the subtree, bottom up, walking only what is expanded.
  std::vector<QModelIndex> pending{index}, expanded;
  while (!pending.empty()) {
    const QModelIndex at = pending.back();
    pending.pop_back();
    if (!mTreeView->isExpanded(at)) continue;
    expanded.push_back(at);
    for (int row = 0; row < at.model()->rowCount(at); ++row) pending.push_back(at.model()->index(row, 0, at));
  }
  for (auto it = expanded.rbegin(); it != expanded.rend(); ++it) mTreeView->collapse(*it);
}

bool MainWindow::NodeWindowVisible() const { return mNodeWindow && mNodeWindow->isVisible(); }

// "Properties" hides a visible node window, or shows the node in it.
void MainWindow::ToggleNodeProperties(TSwTreeNode* node) {
  if (NodeWindowVisible())
    mNodeWindow->hide();
  else
    ShowNodeWindow(node);
}

// ---------------------------------------------------------------------------------------------
// Serializing

void MainWindow::SaveTree(bool compressed) {
  TSwTreeNode* root = mModel.Root();
  if (!mTreeShown || !root) return;
  const QString path = mPrompter->SaveFile(SaveQuestion(0, QStringLiteral("swt")));
  if (path.isEmpty()) return;
  try {
    const int64_t ranges = SaveTreeFile(root, path, compressed);
    QString status = QStringLiteral("Tree saved to ") + QFileInfo(path).fileName();
    // The file holds where each range lies, not the bytes: it reads back without the data file.
    if (ranges > 0) status += QStringLiteral(" (stream ranges stored as offset and length)");
    SetStatusText(status);
  } catch (const std::exception& error) {
    ShowLibraryError(error);
  }
}

}  // namespace weftview
