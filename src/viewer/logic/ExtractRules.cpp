#include "ExtractRules.h"

#include "SwCore.h"
#include "SwModelling.h"
#include "SwNodes.h"

namespace weftview {

using namespace skeinwork;

namespace {

bool InnerRangeEmpty(const TSwTreeNode* node) {
  TSwValue inner;
  return !node->FindValue(u"inner", inner) || !inner.IsSlice() || TSwmSlicer::Length(inner) <= 0;
}

}  // namespace

QString SearchPath(const QString& text) {
  qsizetype end = text.size();
  while (end > 0 && (text[end - 1] == u'\\' || text[end - 1] == u'/')) --end;
  return text.left(end);
}

PathMatches FindPathMatches(TSwTreeNode* base, const QString& path, int bound) {
  PathMatches matches;
  if (!base || path.isEmpty()) return matches;
  try {
    TSwNodeByNodeFinder finder(base, path.toStdU16String());
    TSwTreeNode* node = nullptr;
    while (finder.TryNext(node)) {
      if (matches.Count == 0) {
        matches.FirstNode = node;
        TSwValue value;
        if (!node->FindValue(finder.PropertyName(), value)) return matches;
        matches.First = node;
      }
      if (matches.Count == bound) {
        matches.MoreThanCounted = true;
        break;
      }
      ++matches.Count;
    }
  } catch (const ESkeinwork&) {
    return {};
  }
  return matches;
}

QString DataMatchText(const QString& path, const PathMatches& matches) {
  if (path.isEmpty()) return QStringLiteral("Empty path.");
  if (matches.MoreThanCounted) return QStringLiteral("More than %1 matching nodes found.").arg(matches.Count);
  return QStringLiteral("%1 matching node%2 found.").arg(matches.Count).arg(matches.Count == 1 ? "" : "s");
}

QString NameMatchText(bool hasDataNode, const QString& path, const PathMatches& matches, const QString& foundPath) {
  if (!hasDataNode) return QStringLiteral("Base node not found.");
  if (path.isEmpty()) return QStringLiteral("Empty path.");
  if (matches.Count == 0) return QStringLiteral("Cannot find this node or prop.");
  if (matches.Count == 1) return QStringLiteral("Found node: ") + foundPath;
  return QStringLiteral("Multiple nodes on this path - first one will be used.");
}

QString NodeSearchPath(const TSwTreeNode* node, const TSwTreeNode* root) {
  QString path = QString::fromStdU16String(node->PathTo(root, u"\\"));
  if (InnerRangeEmpty(node)) path += QStringLiteral("$start");
  return path;
}

QString SiblingNamePath(const TSwTreeNode* node) {
  const TSwTreeNode* parent = node ? node->Parent() : nullptr;
  if (!parent) return {};
  const TSwTreeNode* name = parent->FindChild(u"name");
  if (!name) name = parent->FindChild(u"Name");
  if (!name) return {};
  QString path = QStringLiteral(".") + QString::fromStdU16String(name->Name());
  if (InnerRangeEmpty(name)) path += QStringLiteral("$start");
  return path;
}

bool ExtractAllowed(int dataCount, const QString& destination, const QString& format) {
  return dataCount > 0 && !destination.isEmpty() && format.contains(u'?');
}

QString NearestExistingDirectory(const QString& destination, const std::function<bool(const QString&)>& isDirectory) {
  QString path = destination;
  while (!path.isEmpty()) {
    if (isDirectory(path)) return path;
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0) return {};
    path = slash == 0 ? QStringLiteral("/") : path.left(slash);
    if (path == QStringLiteral("/")) return isDirectory(path) ? path : QString();
  }
  return {};
}

}  // namespace weftview
