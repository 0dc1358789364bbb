// ExtractWindow ("Extract Data on Path"): writes the bytes of the nodes a data path names to one
// file each. It shows live match counts while the paths are edited and extracts on a worker
// thread with a progress bar and a Stop button; the main tree follows the node being written.
#pragma once

#include <QString>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "ExtractRules.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;

namespace skeinwork {
class TSwDataNodeSaver;
class TSwTreeNode;
}  // namespace skeinwork

namespace weftview {

class MainWindow;
class Prompter;

class ExtractWindow : public QWidget {
  Q_OBJECT

 public:
  ExtractWindow(MainWindow& main, Prompter& prompter);
  ~ExtractWindow() override;

  bool IsExtracting() const { return mThread != nullptr; }
  // The commands of the window's buttons.
  void Extract();
  void Stop();
  void Browse();
  // Recounts the matches and sets the texts and the enabled controls (on every edit).
  void Refresh();

 signals:
  // The window was hidden; the main window refreshes its controls.
  void Hidden();
  // A property button chose a node (not the root) to show in the node window.
  void ShowNodeRequested(skeinwork::TSwTreeNode* node);
  // An extraction ended with 777 (done), 11 (stopped) or 12 (failed, the error box shown).
  void ExtractionEnded(int outcome);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Build();
  void FillFromMainWindow();
  void SetEditing(bool editing);
  void ChoosePropertyNode(bool nameNode);
  void SelectInMainTree(skeinwork::TSwTreeNode* node);
  void RunExtraction();
  void OnSyncTimer();
  void OnWorkerEnded(unsigned serial);
  // Waits for the worker and frees it and the saver; answers its outcome.
  int EndWorker();

  MainWindow& mMain;
  Prompter& mPrompter;
  skeinwork::TSwTreeNode* mRememberedNode = nullptr;
  skeinwork::TSwTreeNode* mShownRoot = nullptr;  // the root the remembered node belongs to
  bool mDestinationFilled = false;
  PathMatches mDataMatches, mNameMatches;

  // The worker and what it works with; the tree and the saver are the worker's while it runs.
  QThread* mThread = nullptr;
  unsigned mSerial = 0;  // the extraction a queued end notice belongs to
  std::unique_ptr<skeinwork::TSwDataNodeSaver> mSaver;
  std::atomic<bool> mStopRequested{false};
  bool mCountFirst = false;  // the matches were not all counted: the worker counts them first
  QString mDirectory, mFormat;
  bool mOmitExtension = true;
  int mOutcome = 0;
  std::string mErrorClass;
  QString mErrorMessage;
  // The progress record, written by the worker and read by the sync timer.
  std::mutex mProgressMutex;
  skeinwork::TSwTreeNode* mProgressNode = nullptr;
  QString mProgressName;
  int mProgressCount = 0;
  int mProgressTotal = -1;  // -1: not known yet
  skeinwork::TSwTreeNode* mFollowedNode = nullptr;
  QTimer* mSyncTimer = nullptr;

  QLabel* mDataPathLabel = nullptr;
  QLineEdit* mDataPath = nullptr;
  QLineEdit* mDataExpr = nullptr;
  QLabel* mMatchingData = nullptr;
  QLabel* mNoDataMatch = nullptr;
  QLabel* mNamePathLabel = nullptr;
  QLineEdit* mNamePath = nullptr;
  QLabel* mNameExprLabel = nullptr;
  QLineEdit* mNameExpr = nullptr;
  QLabel* mMatchingName = nullptr;
  QLabel* mNoNameMatch = nullptr;
  QCheckBox* mUniqueName = nullptr;
  QLineEdit* mDestPath = nullptr;
  QPushButton* mBrowse = nullptr;
  QLabel* mPathExists = nullptr;
  QLabel* mNewPath = nullptr;
  QLineEdit* mDestName = nullptr;
  QCheckBox* mOmitExt = nullptr;
  QCheckBox* mOpenDir = nullptr;
  QPushButton* mDataNodeProps = nullptr;
  QPushButton* mNameNodeProps = nullptr;
  QPushButton* mExtract = nullptr;
  QPushButton* mStop = nullptr;
  QLabel* mSavingNode = nullptr;
  QProgressBar* mProgress = nullptr;
  QList<QWidget*> mEditControls;  // disabled while extracting
};

}  // namespace weftview
