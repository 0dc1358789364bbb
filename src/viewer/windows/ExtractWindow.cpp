#include "ExtractWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <climits>

#include "MainWindow.h"
#include "SwExtract.h"
#include "SwModelling.h"
#include "SwNodes.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

namespace {

constexpr int kSyncMilliseconds = 50;

QLabel* WarningMark(QWidget* parent, const char* name) {
  auto* mark = new QLabel(parent);
  mark->setObjectName(QString::fromLatin1(name));
  const int size = parent->style()->pixelMetric(QStyle::PM_SmallIconSize);
  mark->setPixmap(parent->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(size, size));
  return mark;
}

}  // namespace

// A dialog-like window rather than a tool window: an active tool window lets its parent's
// shortcuts through, and Esc there would close the main window's run.
ExtractWindow::ExtractWindow(MainWindow& main, Prompter& prompter)
    : QWidget(&main, Qt::Dialog), mMain(main), mPrompter(prompter) {
  setObjectName(QStringLiteral("ExtractDataForm"));
  setWindowTitle(QStringLiteral("Extract Data on Path"));
  Build();
  mSyncTimer = new QTimer(this);
  mSyncTimer->setInterval(kSyncMilliseconds);
  connect(mSyncTimer, &QTimer::timeout, this, &ExtractWindow::OnSyncTimer);
}

ExtractWindow::~ExtractWindow() {
  if (mThread) {
    mStopRequested = true;
    EndWorker();
  }
}

// ---------------------------------------------------------------------------------------------
// Building

void ExtractWindow::Build() {
  auto* grid = new QGridLayout(this);
  auto addEdit = [this](const char* name, const QString& hint) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setToolTip(hint);
    connect(edit, &QLineEdit::textChanged, this, &ExtractWindow::Refresh);
    mEditControls << edit;
    return edit;
  };
  auto addLabel = [this](const QString& text, QLineEdit* buddy) {
    auto* label = new QLabel(text, this);
    label->setBuddy(buddy);
    mEditControls << label;
    return label;
  };
  auto addButton = [this](const char* name, const QString& text, const QString& hint) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(hint);
    button->setAutoDefault(false);
    return button;
  };

  mDataPath = addEdit("edDataPath", QStringLiteral("If '$prop' is omitted then inner property will be read."));
  mDataPathLabel = addLabel(QStringLiteral("&Data node path:"), mDataPath);
  mDataExpr = addEdit("edDataExpr", QStringLiteral("Expression that transforms the data; empty: the bytes as they are."));
  mMatchingData = new QLabel(this);
  mMatchingData->setObjectName(QStringLiteral("lbMatchingData"));
  mNoDataMatch = WarningMark(this, "imNoDataMatch");
  mDataNodeProps = addButton("btDataNodeProps", QStringLiteral("Show"), QStringLiteral("Select the first data node in the tree"));
  connect(mDataNodeProps, &QPushButton::clicked, this, [this] { ChoosePropertyNode(false); });

  mNamePath = addEdit("edNamePath", QStringLiteral("If '$prop' is omitted inner property is read."));
  mNamePathLabel = addLabel(QStringLiteral("&Name node path:"), mNamePath);
  mNameExpr = addEdit("edNameExpr", QStringLiteral("Expression that transforms the name; empty: the name as it is."));
  mNameExprLabel = addLabel(QStringLiteral("Name e&xpression:"), mNameExpr);
  mMatchingName = new QLabel(this);
  mMatchingName->setObjectName(QStringLiteral("lbMatchingName"));
  mNoNameMatch = WarningMark(this, "imNoNameMatch");
  mNameNodeProps = addButton("btNameNodeProps", QStringLiteral("Show"), QStringLiteral("Select the first name node in the tree"));
  connect(mNameNodeProps, &QPushButton::clicked, this, [this] { ChoosePropertyNode(true); });
  mUniqueName = new QCheckBox(QStringLiteral("Unique"), this);
  mUniqueName->setObjectName(QStringLiteral("cbUniqueName"));
  mUniqueName->setToolTip(QStringLiteral("If checked will always assign unique names within this tree"));
  mUniqueName->setTristate(true);
  mUniqueName->setCheckState(Qt::PartiallyChecked);
  connect(mUniqueName, &QCheckBox::stateChanged, this, &ExtractWindow::Refresh);
  mEditControls << mUniqueName;

  mDestPath = addEdit("edDestPath", QStringLiteral("The directory the files are written to"));
  mBrowse = addButton("btBrowse", QStringLiteral("..."), QStringLiteral("Choose the directory"));
  connect(mBrowse, &QPushButton::clicked, this, &ExtractWindow::Browse);
  mPathExists = new QLabel(QStringLiteral("This path already exists - files will be overwritten."), this);
  mPathExists->setObjectName(QStringLiteral("pnPathExists"));
  mNewPath = new QLabel(QStringLiteral("Directory will be created."), this);
  mNewPath->setObjectName(QStringLiteral("pnNewPath"));
  mDestName = addEdit("edDestName", QStringLiteral("Question mark stands for the transformed value of Name node."));
  mDestName->setText(QStringLiteral("?.dat"));
  mOmitExt = new QCheckBox(QStringLiteral("Omit extension if Name has it"), this);
  mOmitExt->setObjectName(QStringLiteral("cbOmitExt"));
  mOmitExt->setChecked(true);
  mOpenDir = new QCheckBox(QStringLiteral("Open &target directory when done"), this);
  mOpenDir->setObjectName(QStringLiteral("cbOpenDir"));

  mExtract = addButton("btExtract", QStringLiteral("Extract"), QStringLiteral("Write one file per data node (Enter)"));
  connect(mExtract, &QPushButton::clicked, this, &ExtractWindow::Extract);
  mStop = addButton("btStop", QStringLiteral("Stop"), QStringLiteral("Stop after the file being written"));
  connect(mStop, &QPushButton::clicked, this, &ExtractWindow::Stop);
  mSavingNode = new QLabel(this);
  mSavingNode->setObjectName(QStringLiteral("lbSavingNode"));
  mProgress = new QProgressBar(this);
  mProgress->setObjectName(QStringLiteral("ProgressBar"));

  // Rows: data path, data expression, its count; name path, name expression, its count;
  // destination, its state; format; options; buttons and progress.
  auto matchRow = [](QLabel* mark, QLabel* text, QPushButton* props) {
    auto* row = new QHBoxLayout();
    row->addWidget(mark);
    row->addWidget(text, 1);
    row->addWidget(props);
    return row;
  };
  int r = 0;
  grid->addWidget(mDataPathLabel, r, 0);
  grid->addWidget(mDataPath, r++, 1, 1, 2);
  grid->addWidget(addLabel(QStringLiteral("Data &expression:"), mDataExpr), r, 0);
  grid->addWidget(mDataExpr, r++, 1, 1, 2);
  grid->addLayout(matchRow(mNoDataMatch, mMatchingData, mDataNodeProps), r++, 1, 1, 2);
  grid->addWidget(mNamePathLabel, r, 0);
  grid->addWidget(mNamePath, r, 1);
  grid->addWidget(mUniqueName, r++, 2);
  grid->addWidget(mNameExprLabel, r, 0);
  grid->addWidget(mNameExpr, r++, 1, 1, 2);
  grid->addLayout(matchRow(mNoNameMatch, mMatchingName, mNameNodeProps), r++, 1, 1, 2);
  grid->addWidget(addLabel(QStringLiteral("Destination &directory:"), mDestPath), r, 0);
  grid->addWidget(mDestPath, r, 1);
  grid->addWidget(mBrowse, r++, 2);
  auto* pathState = new QHBoxLayout();
  pathState->addWidget(mPathExists);
  pathState->addWidget(mNewPath);
  pathState->addStretch(1);
  grid->addLayout(pathState, r++, 1, 1, 2);
  grid->addWidget(addLabel(QStringLiteral("&File name format:"), mDestName), r, 0);
  grid->addWidget(mDestName, r++, 1, 1, 2);
  grid->addWidget(mOmitExt, r++, 1, 1, 2);
  grid->addWidget(mOpenDir, r++, 1, 1, 2);
  auto* actions = new QHBoxLayout();
  actions->addWidget(mProgress, 1);
  actions->addWidget(mStop);
  actions->addWidget(mExtract);
  grid->addWidget(mSavingNode, r++, 0, 1, 3);
  grid->addLayout(actions, r++, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(r, 1);
  mEditControls << mDestPath << mBrowse << mOmitExt << mDataNodeProps << mNameNodeProps;

  mStop->hide();
  mSavingNode->hide();
  mProgress->hide();
  setMinimumWidth(560);
}

// ---------------------------------------------------------------------------------------------
// Filling and refreshing

void ExtractWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) FillFromMainWindow();  // not when the desktop restores it
}

void ExtractWindow::FillFromMainWindow() {
  mShownRoot = mMain.Model().Root();
  mRememberedNode = mMain.Model().NodeOf(mMain.TreeView()->currentIndex());
  if (mMain.Run().Slicer() && mRememberedNode) {
    mDataPath->setText(NodeSearchPath(mRememberedNode, mShownRoot));
    if (mNamePath->text().isEmpty()) mNamePath->setText(SiblingNamePath(mRememberedNode));
  }
  if (!mDestinationFilled && mMain.TreeShown()) {
    mDestinationFilled = true;
    const QFileInfo data(mMain.Run().DataPath());
    if (!mMain.Run().DataPath().isEmpty()) mDestPath->setText(data.absoluteDir().filePath(data.completeBaseName()));
  }
  SetEditing(true);
  Refresh();
}

void ExtractWindow::SetEditing(bool editing) {
  for (QWidget* control : mEditControls) control->setEnabled(editing);
  mStop->setVisible(!editing);
  mSavingNode->setVisible(!editing);
  mProgress->setVisible(!editing);
}

void ExtractWindow::Refresh() {
  if (mThread || !mProgress) return;  // the tree is the worker's, or the window is being built
  const QString dataPath = SearchPath(mDataPath->text());
  mDataMatches = FindPathMatches(mShownRoot, dataPath);
  const QString namePath = SearchPath(mNamePath->text());
  mNameMatches = mDataMatches.First ? FindPathMatches(mDataMatches.First, namePath) : PathMatches();

  mNoDataMatch->setVisible(mDataMatches.Count == 0);
  mMatchingData->setText(DataMatchText(dataPath, mDataMatches));
  mNoNameMatch->setVisible(mNameMatches.Count != 1);
  const QString foundPath = mNameMatches.First && mShownRoot
                                ? QString::fromStdU16String(mNameMatches.First->PathTo(mShownRoot, u"\\"))
                                : QString();
  mMatchingName->setText(NameMatchText(mDataMatches.First != nullptr, namePath, mNameMatches, foundPath));

  const bool exists = QFileInfo(mDestPath->text()).isDir();
  mPathExists->setVisible(exists);
  mNewPath->setVisible(!exists);

  // Two states: checked, or grey for "not unique".
  if (mUniqueName->checkState() == Qt::Unchecked) mUniqueName->setCheckState(Qt::PartiallyChecked);
  const bool namesByPath = mUniqueName->checkState() != Qt::Checked;
  for (QWidget* control : std::initializer_list<QWidget*>{mNamePathLabel, mNamePath, mNameExprLabel, mNameExpr})
    control->setEnabled(namesByPath);

  mDataNodeProps->setEnabled(mDataMatches.Count >= 1);
  mNameNodeProps->setEnabled(mNameMatches.Count >= 1);
  mOmitExt->setEnabled(mDestName->text().contains(u'.'));
  mExtract->setEnabled(ExtractAllowed(mDataMatches.Count, mDestPath->text(), mDestName->text()));
}

// ---------------------------------------------------------------------------------------------
// Buttons

void ExtractWindow::SelectInMainTree(TSwTreeNode* node) {
  if (!node || mMain.Model().Root() != mShownRoot) return;
  const QModelIndex index = mMain.Model().IndexOf(node);
  if (!index.isValid()) return;
  mMain.TreeView()->setCurrentIndex(index);
  mMain.TreeView()->scrollTo(index);
}

void ExtractWindow::ChoosePropertyNode(bool nameNode) {
  TSwTreeNode* node = nameNode ? mNameMatches.First : mDataMatches.First;
  if (!node) {
    QApplication::beep();
    return;
  }
  if (node == mShownRoot) return;
  SelectInMainTree(node);
  emit ShowNodeRequested(node);  // the node window shows it
}

void ExtractWindow::Browse() {
  const QString start =
      NearestExistingDirectory(QDir::cleanPath(mDestPath->text()), [](const QString& path) { return QFileInfo(path).isDir(); });
  QString chosen = mPrompter.ChooseDirectory(
      QStringLiteral("Choose the directory to place extracted files to.\nExisting files will be overwritten."), start);
  if (chosen.isEmpty()) return;
  while (chosen.size() > 1 && chosen.endsWith(u'/')) chosen.chop(1);
  mDestPath->setText(chosen);
}

void ExtractWindow::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if ((key == Qt::Key_Return || key == Qt::Key_Enter) && mExtract->isEnabled()) {
    mExtract->click();
    return;
  }
  if ((key == Qt::Key_Escape || key == Qt::Key_F8) && event->modifiers() == Qt::NoModifier) {
    hide();
    return;
  }
  QWidget::keyPressEvent(event);
}

void ExtractWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;  // minimised with the main window: the extraction goes on
  if (mThread) {
    mStopRequested = true;
    EndWorker();
    SetEditing(true);
  }
  SelectInMainTree(mRememberedNode);
  emit Hidden();
}

// ---------------------------------------------------------------------------------------------
// Extracting

void ExtractWindow::Extract() {
  TSwmSlicer* slicer = mMain.Run().Slicer();
  if (mThread || !slicer || !mShownRoot) return;
  SetEditing(false);
  mCountFirst = mDataMatches.MoreThanCounted;
  {
    std::lock_guard lock(mProgressMutex);
    mProgressNode = nullptr;
    mProgressName.clear();
    mProgressCount = 0;
    mProgressTotal = mCountFirst ? -1 : mDataMatches.Count;
  }
  mProgress->setRange(0, mCountFirst ? 0 : mDataMatches.Count);  // busy until counted
  mProgress->setValue(0);
  mSavingNode->clear();
  mFollowedNode = nullptr;

  mSaver = std::make_unique<TSwDataNodeSaver>(mShownRoot, slicer);
  mSaver->Options.Codepage = mMain.Run().Codepage();
  mSaver->SetDataPath(SearchPath(mDataPath->text()).toStdU16String());
  mSaver->SetDataExpr(mDataExpr->text().toStdU16String());
  mSaver->SetNamePath(mUniqueName->checkState() == Qt::Checked ? WideString() : mNamePath->text().toStdU16String());
  mSaver->SetNameExpr(mNameExpr->text().toStdU16String());
  mDirectory = mDestPath->text();
  mFormat = mDestName->text();
  mOmitExtension = mOmitExt->isChecked();
  mStopRequested = false;
  mOutcome = 0;
  mErrorClass.clear();
  mErrorMessage.clear();

  // The worker reads the tree's properties and streams: the main tree shows names only meanwhile.
  mMain.Model().SetRangesPaused(true);
  mMain.TreeView()->viewport()->update();
  mMain.RefreshControls();
  const unsigned serial = ++mSerial;
  mThread = QThread::create([this] { RunExtraction(); });
  connect(mThread, &QThread::finished, this, [this, serial] { OnWorkerEnded(serial); }, Qt::QueuedConnection);
  mThread->start();
  mSyncTimer->start();
}

void ExtractWindow::RunExtraction() {
  try {
    if (mCountFirst) {
      const PathMatches all = FindPathMatches(mShownRoot, QString::fromStdU16String(mSaver->DataPath()), INT_MAX);
      std::lock_guard lock(mProgressMutex);
      mProgressTotal = all.Count;
    }
    TSwExtractSettings settings;
    settings.Directory = mDirectory.toStdU16String();
    settings.Format = mFormat.toStdU16String();
    settings.OmitExtension = mOmitExtension;
    settings.Stop = &mStopRequested;
    settings.OnMatch = [this](const TSwDataNodeSaver& saver, const WideString& name) {
      std::lock_guard lock(mProgressMutex);
      mProgressNode = saver.DataNode();
      mProgressName = QString::fromStdU16String(name);
      mProgressCount = saver.Count() + 1;
    };
    SwExtractData(*mSaver, settings);
    mOutcome = mStopRequested ? kRunCancelled : kRunSucceeded;
  } catch (const ESkeinwork& error) {
    mErrorClass = error.ClassName();
    mErrorMessage = QString::fromStdString(error.Message());
    mOutcome = kRunFailed;
  } catch (const std::exception& error) {
    mErrorClass = "Exception";
    mErrorMessage = QString::fromLocal8Bit(error.what());
    mOutcome = kRunFailed;
  }
}

void ExtractWindow::OnSyncTimer() {
  TSwTreeNode* node = nullptr;
  QString name;
  int count = 0;
  int total = -1;
  {
    std::lock_guard lock(mProgressMutex);
    node = mProgressNode;
    name = mProgressName;
    count = mProgressCount;
    total = mProgressTotal;
  }
  if (total >= 0 && mProgress->maximum() != total) mProgress->setRange(0, total);
  mProgress->setValue(std::min(count, mProgress->maximum()));
  mSavingNode->setText(name);
  if (node != mFollowedNode) {
    mFollowedNode = node;
    SelectInMainTree(node);
  }
}

int ExtractWindow::EndWorker() {
  mThread->wait();
  delete mThread;
  mThread = nullptr;
  mSaver.reset();
  mSyncTimer->stop();
  mMain.Model().SetRangesPaused(false);
  mMain.TreeView()->viewport()->update();
  mMain.RefreshControls();
  return mOutcome;
}

void ExtractWindow::OnWorkerEnded(unsigned serial) {
  if (serial != mSerial || !mThread) return;  // ended by hiding the window
  OnSyncTimer();  // the last file's progress
  const int outcome = EndWorker();
  if (outcome == kRunFailed) mPrompter.Error(ReadableClassName(mErrorClass), mErrorMessage);
  if (outcome == kRunSucceeded) {
    if (mOpenDir->isChecked()) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(mDirectory).absoluteFilePath()));
    hide();
  } else {
    SetEditing(true);
    Refresh();
  }
  emit ExtractionEnded(outcome);
}

void ExtractWindow::Stop() { mStopRequested = true; }

}  // namespace weftview
