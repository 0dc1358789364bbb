#include "SourcePosStrip.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRandomGenerator>

#include "BufStream.h"
#include "Prompter.h"
#include "SwAtomicFile.h"
#include "SwExtract.h"
#include "SwModelling.h"

namespace weftview {

using namespace skeinwork;

void TwoButtonClick::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton && rect().contains(event->position().toPoint()) && isEnabled()) {
    emit RightClicked();
    return;
  }
  QPushButton::mouseReleaseEvent(event);
}

const QStringList& SourcePosStrip::TransformExamples() {
  static const QStringList examples{QStringLiteral("'shift-jis' charset"), QStringLiteral("'key' xor"),
                                    QStringLiteral("reverse lower")};
  return examples;
}

SourcePosStrip::SourcePosStrip(const QString& caption, Prompter& prompter, QWidget* parent)
    : QWidget(parent), mPrompter(prompter) {
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new QLabel(caption, this), 1, 0);
  const char* titles[] = {"Start (hex)", "End (hex)", "Length (dec)"};
  QLineEdit** edits[] = {&mStartEdit, &mEndEdit, &mLengthEdit};
  for (int i = 0; i < 3; ++i) {
    layout->addWidget(new QLabel(QString::fromLatin1(titles[i]), this), 0, i + 1);
    *edits[i] = new QLineEdit(this);
    (*edits[i])->setReadOnly(true);
    (*edits[i])->setMinimumWidth((*edits[i])->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + 12);
    layout->addWidget(*edits[i], 1, i + 1);
  }
  mSave = new TwoButtonClick(QStringLiteral("Save..."), this);
  mSave->setObjectName(QStringLiteral("btSave"));
  mSave->setToolTip(QStringLiteral("Right-click - transform with expression"));
  mView = new TwoButtonClick(QStringLiteral("View"), this);
  mView->setObjectName(QStringLiteral("btView"));
  mView->setToolTip(QStringLiteral("Right-click - open new window"));
  layout->addWidget(mSave, 1, 4);
  layout->addWidget(mView, 1, 5);
  layout->setColumnMinimumWidth(0, fontMetrics().horizontalAdvance(QStringLiteral("Inner:  ")));

  connect(mSave, &QPushButton::clicked, this, &SourcePosStrip::Save);
  connect(mSave, &TwoButtonClick::RightClicked, this, &SourcePosStrip::SaveTransformed);
  connect(mView, &QPushButton::clicked, this, [this] { emit ViewRequested(false); });
  connect(mView, &TwoButtonClick::RightClicked, this, [this] { emit ViewRequested(true); });
}

void SourcePosStrip::Reflect(TSwmSlicer* slicer, TSwTreeNode* node, const QString& property) {
  if (!slicer) SwRaise<ESkeinwork>("nil Slicer passed to %s.Reflect.", std::string("SourcePosStrip"));
  mSlicer = slicer;
  mNode = node;
  mProperty = property;
  mValue.Clear();
  node->FindValue(property.toStdU16String(), mValue);
  mStart = TSwmSlicer::Start(mValue);
  mEnd = TSwmSlicer::End(mValue);
  mLength = mEnd - mStart;
  const auto hex = [](int64_t value) {
    return value < 0 ? QString::number(value) : QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
  };
  mStartEdit->setText(hex(mStart));
  mEndEdit->setText(hex(mEnd));
  mLengthEdit->setText(QString::number(mLength));
  mSave->setEnabled(mLength > 0);
  mView->setEnabled(mStart >= 0 && mSlicer->Registered(mValue.Obj));
}

TStream* SourcePosStrip::PositionedStream() {
  if (!mSlicer || mStart < 0 || !mSlicer->Registered(mValue.Obj)) return nullptr;
  int64_t length = 0;
  return mSlicer->PositionedStream(mValue, &length);
}

QString SourcePosStrip::AskTarget() {
  return mPrompter.SaveFile({QStringLiteral("Select location for the dump"), {QStringLiteral("Any file (*)")}, 0, {}});
}

// Writes the file whole or not at all: a failed write leaves what was there before.
template <class Write>
void SourcePosStrip::WriteFile(const QString& path, Write write) {
  try {
    TSwAtomicFileStream file(path.toStdU16String());
    write(file);
    file.Commit();
  } catch (const std::exception& error) {
    mPrompter.Error(QStringLiteral("Error"), QString::fromUtf8(error.what()));
  }
}

void SourcePosStrip::Save() {
  if (mLength <= 0) return;
  const QString path = AskTarget();
  if (path.isEmpty()) return;
  WriteFile(path, [this](TStream& file) {
    int64_t length = 0;
    TBufStream* stream = mSlicer->PositionedStream(mValue, &length);
    file.CopyFrom(*stream, length);
  });
}

void SourcePosStrip::SaveTransformed() {
  if (mLength <= 0) return;
  const QStringList& examples = TransformExamples();
  const std::optional<QString> expression =
      mPrompter.AskText(QStringLiteral("Transform & save"), QStringLiteral("Enter expression to transform the data with:"),
                        examples[static_cast<int>(QRandomGenerator::global()->bounded(examples.size()))]);
  if (!expression) return;
  const QString path = AskTarget();
  if (path.isEmpty()) return;
  WriteFile(path, [&](TStream& file) {
    TSwDataNodeSaver saver(mNode, mSlicer);
    saver.SetDataPath(u"$" + mProperty.toStdU16String());
    saver.SetDataExpr(expression->toStdU16String());
    if (saver.Next()) saver.SaveTo(file);
  });
}

}  // namespace weftview
