// PropsViewer: the properties of a node in the node's order, and for the one selected a row per
// representation its value holds ("Bool", "Int", "Str", "Raw", "Frac", "Obj", "Slice").
#pragma once

#include <QList>
#include <QPair>
#include <QWidget>

#include "SwNodes.h"

class QListWidget;
class QTableWidget;

namespace weftview {

// The rows a value gives: key and text, in the order above.
QList<QPair<QString, QString>> ValueRows(const skeinwork::TSwValue& value);

class PropsViewer : public QWidget {
  Q_OBJECT

 public:
  explicit PropsViewer(QWidget* parent = nullptr);
  // Lists the node's properties (null: none) and shows the first.
  void Load(skeinwork::TSwTreeNode* node);
  QListWidget* Properties() const { return mProps; }
  QTableWidget* Values() const { return mValues; }

 private:
  void ShowSelected();

  skeinwork::TSwTreeNode* mNode = nullptr;
  QListWidget* mProps;
  QTableWidget* mValues;
};

}  // namespace weftview
