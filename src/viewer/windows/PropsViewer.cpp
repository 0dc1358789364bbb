#include "PropsViewer.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QTableWidget>

#include "InspectionRules.h"

namespace weftview {

using namespace skeinwork;

QList<QPair<QString, QString>> ValueRows(const TSwValue& value) {
  QList<QPair<QString, QString>> rows;
  if (value.Has(ltBool)) rows.append({QStringLiteral("Bool"), value.Bool ? QStringLiteral("True") : QStringLiteral("False")});
  if (value.Has(ltInt)) rows.append({QStringLiteral("Int"), QString::number(value.Int)});
  if (value.Has(ltStr)) rows.append({QStringLiteral("Str"), QString::fromStdU16String(value.Text())});
  if (value.Has(ltRaw)) rows.append({QStringLiteral("Raw"), HexPairs(value.Raw())});
  if (value.Has(ltFrac)) rows.append({QStringLiteral("Frac"), QString::asprintf("%g", value.Frac)});
  if (value.Has(ltObj)) {
    const QString object = value.Obj ? QStringLiteral("%1 $%2").arg(QString::fromStdString(value.Obj->ClassName()))
                                           .arg(reinterpret_cast<quintptr>(value.Obj), 0, 16)
                                     : QStringLiteral("nil");
    rows.append({QStringLiteral("Obj"), object});
  }
  if (value.Has(ltSlice)) rows.append({QStringLiteral("Slice"), QStringLiteral("This property is a stream slice")});
  return rows;
}

PropsViewer::PropsViewer(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  mProps = new QListWidget(this);
  mProps->setObjectName(QStringLiteral("lsProps"));
  mValues = new QTableWidget(0, 2, this);
  mValues->setObjectName(QStringLiteral("ValueList"));
  mValues->setHorizontalHeaderLabels({QStringLiteral("Key"), QStringLiteral("Value")});
  mValues->verticalHeader()->hide();
  mValues->horizontalHeader()->setStretchLastSection(true);
  mValues->setEditTriggers(QAbstractItemView::NoEditTriggers);
  mValues->setColumnWidth(0, 60);
  layout->addWidget(mProps, 1);
  layout->addWidget(mValues, 2);
  connect(mProps, &QListWidget::currentRowChanged, this, &PropsViewer::ShowSelected);
}

void PropsViewer::Load(TSwTreeNode* node) {
  mNode = node;
  const QSignalBlocker quiet(mProps);
  mProps->clear();
  for (int i = 0; node && i < node->PropertyCount(); ++i)
    mProps->addItem(QString::fromStdU16String(node->PropertyName(i).Text()));
  mProps->setCurrentRow(mProps->count() ? 0 : -1);
  ShowSelected();
}

void PropsViewer::ShowSelected() {
  mValues->setRowCount(0);
  const int selected = mProps->currentRow();
  if (!mNode || selected < 0) return;
  const QList<QPair<QString, QString>> rows = ValueRows(mNode->PropertyValue(selected));
  mValues->setRowCount(static_cast<int>(rows.size()));
  for (int row = 0; row < rows.size(); ++row) {
    mValues->setItem(row, 0, new QTableWidgetItem(rows[row].first));
    mValues->setItem(row, 1, new QTableWidgetItem(rows[row].second));
  }
}

}  // namespace weftview
