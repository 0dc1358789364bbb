// Node paths: parent prefixes, first-match look-up, finders and their formulas.
#include <climits>
#include <set>
#include <utility>
#include <vector>

#include "SwNodeFinder.h"

namespace skeinwork {

namespace {

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }
bool IsPrefixChar(char16_t c) { return c == u'.' || IsSeparator(c); }


// Reads the parent prefix of `path`: its character and length (0 for none).
size_t ReadPrefix(std::u16string_view path, char16_t* kind) {
  size_t run = 0;
  while (run < path.size() && IsPrefixChar(path[run])) ++run;
  for (size_t i = 1; i < run; ++i)
    if (path[i] != path[0])
      SwRaise<ESwInvalidParentPath>(
          "Node parent path must consist of either '.', '\\' or '/' or be empty - however, '%s' was given.",
          WideString(path.substr(0, run)));
  *kind = run ? path[0] : 0;
  return run;
}

// Which ancestor a prefix of `run` characters selects among `count` ancestors (nearest first):
// its index, or -1 for the base itself.
int SelectAncestor(char16_t kind, size_t run, size_t count) {
  if (run == 0 || count == 0) return -1;
  if (kind == u'.') return static_cast<int>(std::min(run, count) - 1);
  return run > count ? -1 : static_cast<int>(count - run);
}

TSwTreeNode* ApplyPrefix(TSwTreeNode* base, std::u16string_view path, std::u16string_view* rest) {
  char16_t kind = 0;
  size_t run = ReadPrefix(path, &kind);
  if (rest) *rest = path.substr(run);
  if (run == 0 || base->IsRoot()) return base;
  std::vector<TSwTreeNode*> ancestors = base->Parents();
  int index = SelectAncestor(kind, run, ancestors.size());
  return index < 0 ? base : ancestors[index];
}

// Refuses a path of more segments than any tree may nest, before anything walks it.
void CheckSegmentCount(std::u16string_view path) {
  size_t prefix = 0;  // selects an ancestor, however long it is
  while (prefix < path.size() && IsPrefixChar(path[prefix])) ++prefix;
  int64_t segments = 1;
  for (char16_t c : path.substr(prefix)) segments += IsSeparator(c) ? 1 : 0;
  if (segments > SwMaxNodePathSegments)
    SwRaise<ESwNodePathTooLong>("Node path of %d segments exceeds the limit of %d segments.", segments,
                                SwMaxNodePathSegments);
}

}  // namespace

TSwTreeNode* SwApplyParentPrefix(TSwTreeNode* base, const WideString& path, WideString* rest) {
  std::u16string_view restView;
  TSwTreeNode* start = ApplyPrefix(base, path, &restView);
  if (rest) *rest = WideString(restView);
  return start;
}

TSwTreeNode* TSwTreeNode::FirstOnPath(const WideString& path) {
  if (path.find(u'[') != WideString::npos)
    SwRaise<ESwFirstOnPathWithExpr>("%s.FirstOnPath cannot be used on paths with '[expressions]' - like on '%s'.",
                                    this, path);
  CheckSegmentCount(path);
  // Depth first in child order, with an explicit stack. Parent prefixes inside the path lead back
  // to nodes already tried with the same rest of the path, which failed then and fail again: each
  // (node, rest) pair is tried once, or paths such as "*//*//*..." would take exponential time.
  struct TStep {
    TSwTreeNode* Node;
    size_t Offset;  // where the node's rest of the path starts
  };
  const std::u16string_view whole(path);
  std::vector<TStep> pending{{this, 0}};
  std::set<std::pair<const TSwTreeNode*, size_t>> tried;
  std::vector<TSwTreeNode*> matches;
  while (!pending.empty()) {
    TStep step = pending.back();
    pending.pop_back();
    if (!tried.insert({step.Node, step.Offset}).second) continue;
    const std::u16string_view own = whole.substr(step.Offset);
    std::u16string_view rest;
    TSwTreeNode* start = ApplyPrefix(step.Node, own, &rest);
    if (rest.empty()) return start;
    size_t cut = 0;
    while (cut < rest.size() && !IsSeparator(rest[cut])) ++cut;
    if (cut == rest.size()) {
      if (TSwTreeNode* found = start->FindChild(WideString(rest))) return found;
      continue;
    }
    if (cut + 1 == rest.size())
      SwRaise<ESwEmptyNodePathSegment>("%s path '%s' contains an empty segment.", step.Node, WideString(own));
    const size_t next = whole.size() - rest.size() + cut + 1;
    TSwTreeNodeChildren* children = start->ChildrenIfAny();
    if (!children) continue;
    matches.clear();
    TSwHashFind state = children->FindFirst(WideString(rest.substr(0, cut)));
    for (int i = children->FindNext(state); i >= 0; i = children->FindNext(state)) matches.push_back(children->Node(i));
    for (auto match = matches.rbegin(); match != matches.rend(); ++match) pending.push_back({*match, next});
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------

TSwNodeFinder::TSwNodeFinder(TSwTreeNode* base, const WideString& path) { Rewind(path, base); }

void TSwNodeFinder::ParsePath(const WideString& fullPath) {
  // A finder rewound again and again to one path (as a modelling run does per result node)
  // parses it once; only the start node depends on the base.
  if (mParsed && fullPath == mParsedPath) {
    mStart = SwApplyParentPrefix(mBase, mPath, nullptr);
    for (TSwNodeFinderSegment& segment : mSegments) {
      segment.Current = nullptr;
      segment.Find.reset();
    }
    return;
  }
  mParsed = false;
  ParseNewPath(fullPath);
  mParsedPath = fullPath;
  mParsed = true;
}

void TSwNodeFinder::ParseNewPath(const WideString& fullPath) {
  size_t dollar = fullPath.find(u'$');
  WideString path = fullPath.substr(0, dollar);
  mProperty = dollar == WideString::npos || dollar + 1 == fullPath.size() ? WideString(u"inner")
                                                                          : fullPath.substr(dollar + 1);
  mPath = path;
  CheckSegmentCount(path);
  mSegments.clear();
  mSegments.reserve(16);
  WideString rest;
  mStart = SwApplyParentPrefix(mBase, path, &rest);
  if (rest.empty()) return;
  size_t from = 0;
  while (from <= rest.size()) {
    size_t to = from;
    while (to < rest.size() && !IsSeparator(rest[to])) ++to;
    std::u16string_view piece(rest.data() + from, to - from);
    TSwNodeFinderSegment segment;
    if (!piece.empty() && piece[0] == u'+') {
      segment.Appends = true;
      piece.remove_prefix(1);
    }
    size_t open = piece.find(u'[');
    bool closes = !piece.empty() && piece.back() == u']';
    if (open != std::u16string_view::npos || closes) {
      if (open == std::u16string_view::npos || !closes)
        SwRaise<ESwEmptyNodePathExpression>("%s path '%s' contains unbalanced brackets in segment '%s'.", this,
                                            mPath, WideString(piece));
      segment.Expression = WideString(piece.substr(open + 1, piece.size() - open - 2));
      segment.HasExpression = true;
      if (SwTrim(segment.Expression).empty())
        SwRaise<ESwEmptyNodePathExpression>("%s path '%s' contains empty expression ('node[expr]').", this, mPath);
      piece = piece.substr(0, open);
    }
    if (piece.empty()) SwRaise<ESwEmptyNodePathSegment>("%s path '%s' contains an empty segment.", this, mPath);
    segment.Name = WideString(piece);
    mSegments.push_back(std::move(segment));
    from = to + 1;
  }
}

void TSwNodeFinder::Rewind(const WideString& path, TSwTreeNode* newBase) {
  if (newBase) mBase = newBase;
  if (!mBase) SwRaise<ESwNodeFinderNotInitialized>("Attempted to use %s without initializing it with Rewind.", this);
  mFinished = true;
  ParsePath(path);
  if (!mSegments.empty() && mSegments.back().Appends)
    SwRaise<ESwLastNodePathAppends>("%s path '%s' cannot have last segment appending ('+node').", this, mPath);
  mFinished = false;
  if (!mSegments.empty()) ResetSegment(0);
}

void TSwNodeFinder::ResetSegment(int index) {
  TSwNodeFinderSegment& segment = mSegments.at(index);
  segment.Find.reset();
  segment.Current = nullptr;
}

bool TSwNodeFinder::Test(const WideString&, int segment, TSwTreeNode* node) {
  if (!OnTest)
    SwRaise<ESwNodeFindNoTester>("%s has no assigned OnTest to test expression of path '%s'.", this, mPath);
  return OnTest(this, segment, node);
}

TSwTreeNode* TSwNodeFinder::Create(const WideString&, int segment, TSwTreeNode* lastChild) {
  if (!OnCreate)
    SwRaise<ESwNodeFindNoCreator>("%s has no assigned OnCreate to create node with an expression on path '%s'.",
                                  this, mPath);
  return OnCreate(this, segment, lastChild);
}

void TSwNodeFinder::Advance(int index, TSwTreeNode* parent) {
  TSwNodeFinderSegment& segment = mSegments[index];
  if (!segment.Find) {
    const TSwTreeNodeChildren* children = parent->ChildrenIfAny();
    segment.Find = std::make_unique<TSwHashFind>(children ? children->FindFirst(segment.Name) : TSwHashFind{});
  }
  segment.Current = nullptr;
  const auto* children = static_cast<const TSwTreeNodeChildren*>(segment.Find->Owner);
  if (!children) return;
  for (int i = children->FindNext(*segment.Find); i >= 0; i = children->FindNext(*segment.Find)) {
    TSwTreeNode* child = children->Node(i);
    if (!segment.HasExpression || Test(segment.Expression, index, child)) {
      segment.Current = child;
      return;
    }
  }
}

TSwTreeNode* TSwNodeFinder::Next() {
  if (!mBase) SwRaise<ESwNodeFinderNotInitialized>("Attempted to use %s without initializing it with Rewind.", this);
  if (mFinished) return nullptr;
  if (mSegments.empty()) {
    mFinished = true;
    return mStart;
  }
  const int last = SegmentCount() - 1;
  while (!mFinished) {
    TSwTreeNode* parent = mStart;
    for (int i = 0; i <= last; ++i) {
      TSwNodeFinderSegment& segment = mSegments[i];
      if (!segment.Current && i != last) ResetSegment(i + 1);
      if (!segment.Current || i == last) Advance(i, parent);
      if (!segment.Current) {
        if (i > 0) mSegments[i - 1].Current = nullptr;
        else mFinished = true;
        break;
      }
      if (i == last) return segment.Current;
      parent = segment.Current;
    }
  }
  return nullptr;
}

bool TSwNodeFinder::TryNext(TSwTreeNode*& node) {
  node = Next();
  return node != nullptr;
}

bool TSwNodeFinder::NextWithProperty(TSwTreeNode*& node, TSwProperty*& property) {
  while ((node = Next())) {
    if (TSwProperties* bag = node->PropertiesIfAny())
      if ((property = bag->Find(mProperty))) return true;
  }
  property = nullptr;
  return false;
}

TSwTreeNode* TSwNodeFinder::FindOrCreate() {
  if (!mBase) SwRaise<ESwNodeFinderNotInitialized>("Attempted to use %s without initializing it with Rewind.", this);
  if (mSegments.empty()) SwRaise<ESwEmptyNodePathSegment>("Attempted to search for empty %s path.", this);
  TSwTreeNode* parent = mStart;
  for (int i = 0; i < SegmentCount(); ++i) {
    TSwNodeFinderSegment& segment = mSegments[i];
    // Creating interns the name anyway; a finder rewound to the same path keeps it.
    if (!segment.NameId) segment.NameId = TSwName(segment.Name).Id();
    const TSwName name = TSwName::FromId(segment.NameId);
    TSwTreeNode* node = nullptr;
    if (segment.Appends || segment.HasExpression) {
      TSwTreeNode* last = parent->LastChildNamed(name);
      node = segment.HasExpression ? (last ? Create(segment.Expression, i, last) : nullptr) : last;
    }
    parent = node ? node : parent->AddChild(name);
  }
  return parent;
}

std::string TSwNodeFinder::Description() const {
  std::string out = TSwObject::Description() + " path '" + WideToUtf8(mPath) + "' $" + WideToUtf8(mProperty);
  std::string state = StateDescription();
  return state.empty() ? out : out + " " + state;
}

// ---------------------------------------------------------------------------------------------

bool TSwSimpleNodePath::Parse(const WideString& path, TSwSimpleNodePath& simple) {
  std::u16string_view name(path);
  if (name.empty() || IsPrefixChar(name[0]) || name[0] == u'+') return false;
  for (char16_t c : name)
    if (IsSeparator(c) || c == u'$') return false;
  const size_t open = name.find(u'[');
  const bool closes = name.back() == u']';
  bool counted = false;
  if (open != std::u16string_view::npos || closes) {
    // Exactly "name[n]" (spaces allowed around n), as the formula finder reads it.
    if (open == std::u16string_view::npos || !closes || open == 0) return false;
    const std::u16string_view formula = SwTrim(name.substr(open + 1, name.size() - open - 2));
    if (formula != u"n" && formula != u"N") return false;
    name = name.substr(0, open);
    counted = true;
  }
  // "*" looks at the children of every name, which the finder handles its own way.
  if (name == TSwHash::AllKeys) return false;
  simple.mName = TSwName(name);
  simple.mKey = TSwValidKey::Of(simple.mName);
  simple.mCounted = counted;
  return true;
}

TSwTreeNode* TSwSimpleNodePath::FindOrCreateCounted(TSwTreeNode* parent, int32_t n) const {
  if (const TSwTreeNodeChildren* children = parent->ChildrenIfAny()) {
    const int index = children->NthIndexOfName(mName, std::max(n, 0));
    if (index >= 0) return children->Node(index);
  }
  return AppendTo(parent);
}

// ---------------------------------------------------------------------------------------------

void TSwNodeBaseFormulaFinder::SetStack(const std::vector<int32_t>& stack, bool shift) {
  if (shift && stack.empty()) SwRaise<ESwEmptyFinderStack>("%s was given empty Stack to shift N from.", this);
  // Copied into the finder's own list, which keeps its room: the run sets a stack per node. The
  // list may be the finder's own, passed back.
  if (shift) {
    mN = stack.front();
    if (&stack == &mStack)
      mStack.erase(mStack.begin());
    else
      mStack.assign(stack.begin() + 1, stack.end());
  } else if (&stack != &mStack) {
    mStack = stack;
  }
}

void TSwNodeBaseFormulaFinder::ResetSegment(int index) {
  TSwNodeFinder::ResetSegment(index);
  mCounters.resize(SegmentCount());
  mCounters[index] = 0;
}

bool TSwNodeBaseFormulaFinder::Test(const WideString& expression, int segment, TSwTreeNode*) {
  int32_t value = FormulaValue(expression);
  mCounters.resize(SegmentCount());
  return value == mCounters[segment]++;
}

TSwTreeNode* TSwNodeBaseFormulaFinder::Create(const WideString& expression, int, TSwTreeNode* lastChild) {
  int32_t skip = std::max(FormulaValue(expression), 0);
  TSwTreeNode* parent = lastChild->Parent();
  if (!parent) return nullptr;
  TSwTreeNodeChildren& siblings = parent->Children();
  int index = siblings.NthIndexOfName(lastChild->NameId(), skip);
  return index < 0 ? nullptr : siblings.Node(index);
}

int32_t TSwNodeBaseFormulaFinder::OperandValue(const WideString& operand, const WideString& formula) {
  auto bad = [&]() -> int32_t {
    SwRaise<ESwBadNodeFindFormulaOperand>("Non-numeric operand '%s' in %s formula '%s' of path '%s'.", operand, this,
                                          formula, Path());
  };
  size_t run = 0;
  while (run < operand.size() && IsPrefixChar(operand[run])) ++run;
  if (run + 1 == operand.size() && (operand[run] == u'n' || operand[run] == u'N')) {
    for (size_t i = 1; i < run; ++i)
      if (operand[i] != operand[0]) return bad();
    int index = SelectAncestor(run ? operand[0] : 0, run, mStack.size());
    return index < 0 ? mN : mStack[index];
  }
  if (run) return bad();
  int64_t value = 0;
  for (char16_t c : operand) {
    if (c < u'0' || c > u'9') return bad();
    value = value * 10 + (c - u'0');
    if (value > INT32_MAX) return bad();
  }
  return static_cast<int32_t>(value);
}

int32_t TSwNodeBaseFormulaFinder::FormulaValue(const WideString& formula) {
  auto isOperator = [](char16_t c) { return c == u'*' || c == u'+' || c == u'-' || c == u'/'; };
  auto fail = [&](const char* format) -> int32_t { SwRaise<ESwBadNodeFindFormula>(format, this, formula, Path()); };
  size_t pos = 0;
  // Reads one operand; the formula must not end, nor an operator follow, where one is expected.
  auto operand = [&]() -> int32_t {
    size_t from = pos;
    while (pos < formula.size() && !isOperator(formula[pos])) ++pos;
    if (pos == from) return fail("Cannot parse %s formula '%s' of path '%s'.");
    WideString text(SwTrim(std::u16string_view(formula).substr(from, pos - from)));
    if (text.empty())
      SwRaise<ESwEmptyNodeFindFormulaOperand>("Empty operand in %s formula '%s' of path '%s'.", this, formula, Path());
    return OperandValue(text, formula);
  };
  int32_t value = operand();
  char16_t additive = 0;  // the first "+" or "-" applied, after which "*" and "/" may not come
  while (pos < formula.size()) {
    char16_t op = formula[pos++];
    if ((op == u'*' || op == u'/') && additive)
      SwRaise<ESwBadNodeFindFormulaPrecedence>("%s operator in %s formula '%s' of path '%s' must go before %s.",
                                               WideString(1, op), this, formula, Path(), WideString(1, additive));
    int32_t right = operand();
    // Wrapping arithmetic: a formula can overflow, but must never be undefined behaviour.
    uint32_t a = static_cast<uint32_t>(value), b = static_cast<uint32_t>(right);
    switch (op) {
      case u'+': value = static_cast<int32_t>(a + b); additive = op; break;
      case u'-': value = static_cast<int32_t>(a - b); additive = op; break;
      case u'*': value = static_cast<int32_t>(a * b); break;
      default:
        if (right == 0) return fail("Division by zero in %s formula '%s' of path '%s'.");
        value = value == INT32_MIN && right == -1 ? INT32_MIN : value / right;
    }
  }
  return value;
}

std::string TSwNodeBaseFormulaFinder::StateDescription() const {
  std::string out = fmt::format("n = {}", mN);
  for (int32_t entry : mStack) out += fmt::format(" {}", entry);
  return out;
}

}  // namespace skeinwork
