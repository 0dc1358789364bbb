#include "FailurePanel.h"

#include <QLabel>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "DumpPane.h"
#include "EditorRules.h"
#include "SwModelling.h"
#include "ViewerTexts.h"

namespace weftview {

using namespace skeinwork;

FailurePanel::FailurePanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pnModellingError"));
  auto* layout = new QVBoxLayout(this);
  mError = new QLabel(this);
  mError->setObjectName(QStringLiteral("lbError"));
  QFont bold = mError->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.3);
  mError->setFont(bold);
  mMessage = new QPlainTextEdit(this);
  mMessage->setObjectName(QStringLiteral("mmMessage"));
  mMessage->setReadOnly(true);
  mMessage->setStyleSheet(QStringLiteral("QPlainTextEdit { color: white; background: #800000; }"));
  mMessage->setMaximumHeight(mMessage->fontMetrics().lineSpacing() * 4 + 12);
  mScriptPlace = new QPushButton(this);
  mScriptPlace->setObjectName(QStringLiteral("btScriptPlace"));
  mScriptPlace->setFlat(true);
  mScriptPlace->setCursor(Qt::PointingHandCursor);
  mScriptPlace->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); text-decoration: underline; text-align: left; }"));
  connect(mScriptPlace, &QPushButton::clicked, this, [this] { emit ScriptLineRequested(mScriptLine); });
  mPartialTree = new QPushButton(QStringLiteral("Show partial tree"), this);
  mPartialTree->setObjectName(QStringLiteral("btPartialTree"));
  mPartialTree->setToolTip(QStringLiteral("The nodes made before the input stopped fitting the model"));
  connect(mPartialTree, &QPushButton::clicked, this, &FailurePanel::PartialTreeRequested);
  auto* top = new QHBoxLayout;
  top->addWidget(mError, 1);
  top->addWidget(mPartialTree);
  layout->addLayout(top);
  layout->addWidget(mMessage);
  layout->addWidget(mScriptPlace, 0, Qt::AlignLeft);

  mDump = new DumpPane(this);
  mDump->setObjectName(QStringLiteral("pnDump"));
  layout->addWidget(mDump, 1);

  // The global stream's dump under its caption; the two dumps then share the height equally.
  mGlobalBox = new QWidget(this);
  auto* globalLayout = new QVBoxLayout(mGlobalBox);
  globalLayout->setContentsMargins(0, 0, 0, 0);
  auto* caption = new QLabel(QStringLiteral("Global stream:"), mGlobalBox);
  caption->setObjectName(QStringLiteral("lbGlobalStream"));
  mDumpGlobal = new DumpPane(mGlobalBox);
  mDumpGlobal->setObjectName(QStringLiteral("pnDumpGlobal"));
  globalLayout->addWidget(caption);
  globalLayout->addWidget(mDumpGlobal, 1);
  layout->addWidget(mGlobalBox, 1);
  mGlobalBox->hide();
}

FailurePanel::~FailurePanel() = default;

void FailurePanel::SetError(std::string_view className, const QString& message, bool isMismatch) {
  mError->setText(ReadableClassName(className));
  mMessage->setPlainText(FailureMessageText(message, isMismatch));
  const std::optional<ScriptPlace> place = FailingScriptPlace(message);
  mScriptLine = place ? place->Line : 0;
  if (place)
    mScriptPlace->setText(QStringLiteral("Edit the failing model node: line %1 of %2").arg(place->Line).arg(QFileInfo(place->File).fileName()));
  mScriptPlace->setVisible(place.has_value());
}

void FailurePanel::Fill(DumpPane* pane, std::unique_ptr<TStringStream>& stream, const TSwSourcePos& pos) {
  stream = std::make_unique<TStringStream>(pos.Excerpt);
  stream->SetPosition(pos.Position - pos.ExcerptStart);
  pane->SetAutoLineNumber(true);
  pane->Reflect(stream.get(), pos.ExcerptStart);
  pane->SetSource(QString::fromStdU16String(pos.Source));
}

void FailurePanel::ShowPositions(const TSwMismatchInfo* information) {
  mDump->Clear();
  mDumpGlobal->Clear();
  mCurrentStream.reset();
  mGlobalStream.reset();
  mDump->SetSource(information ? QString::fromStdU16String(information->Current.Source) : QStringLiteral("<unknown>"));
  if (information && !information->Current.Excerpt.empty()) Fill(mDump, mCurrentStream, information->Current);
  const bool global = information && !information->Global.Excerpt.empty();
  if (global) Fill(mDumpGlobal, mGlobalStream, information->Global);
  mGlobalBox->setVisible(global);
}

void FailurePanel::SetPartialTreeAvailable(bool available) { mPartialTree->setVisible(available); }

QString FailurePanel::ErrorName() const { return mError->text(); }
QString FailurePanel::MessageText() const { return mMessage->toPlainText(); }
bool FailurePanel::GlobalShown() const { return !mGlobalBox->isHidden(); }

}  // namespace weftview
