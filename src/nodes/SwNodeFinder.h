// SwNodeFinder: finding, enumerating and creating the nodes a path names.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "SwCore.h"
#include "SwTreeNode.h"

namespace skeinwork {

// The node and all its descendants; walks without recursion, so any depth is fine.
int64_t SwCountNodes(const TSwTreeNode* root);

SW_EXCEPTION(ESwNodeFind, ESkeinwork);
SW_EXCEPTION(ESwNodeFinderNotInitialized, ESwNodeFind);
SW_EXCEPTION(ESwLastNodePathAppends, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodePathExpression, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodePathSegment, ESwNodeFind);
SW_EXCEPTION(ESwNodeFindNoTester, ESwNodeFind);
SW_EXCEPTION(ESwNodeFindNoCreator, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormula, ESwNodeFind);
SW_EXCEPTION(ESwEmptyNodeFindFormulaOperand, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormulaOperand, ESwNodeFind);
SW_EXCEPTION(ESwBadNodeFindFormulaPrecedence, ESwNodeFind);
SW_EXCEPTION(ESwEmptyFinderStack, ESwNodeFind);
SW_EXCEPTION(ESwNodePathTooLong, ESwNodeFind);

// Segments a node path may have. A path makes a tree as deep as it is long and look-ups descend
// it level by level; the tree file reader refuses trees deeper than this too.
inline constexpr int SwMaxNodePathSegments = 4096;

class TSwNodeFinder;

using TSwNodeFindTest = TMethod<bool(TSwNodeFinder* finder, int segment, TSwTreeNode* candidate)>;
using TSwNodeFindCreate = TMethod<TSwTreeNode*(TSwNodeFinder* finder, int segment, TSwTreeNode* lastChild)>;

struct TSwNodeFinderSegment {
  WideString Name;
  const WideString* NameId = nullptr;  // Name interned, once a node of that name was created
  TSwTreeNode* Current = nullptr;
  std::unique_ptr<TSwHashFind> Find;  // null until the segment starts walking its parent
  bool Appends = false;               // "+name"
  WideString Expression;              // the text in "name[...]", empty for none
  bool HasExpression = false;
};

// Enumerates the nodes a path names below a base node, depth first in child order, or finds
// and creates them. Segments with expressions are tested through OnTest / OnCreate.
class TSwNodeFinder : public TSwObject {
 public:
  TSwNodeFinder() = default;
  TSwNodeFinder(TSwTreeNode* base, const WideString& path);

  void Rewind(const WideString& path, TSwTreeNode* newBase = nullptr);
  TSwTreeNode* Next();
  bool TryNext(TSwTreeNode*& node);
  // Next until a node has the property named after "$" (default "inner").
  bool NextWithProperty(TSwTreeNode*& node, TSwProperty*& property);
  TSwTreeNode* FindOrCreate();

  TSwNodeFindTest OnTest;
  TSwNodeFindCreate OnCreate;

  const WideString& Path() const { return mPath; }
  const WideString& PropertyName() const { return mProperty; }
  TSwTreeNode* Base() const { return mBase; }
  TSwTreeNode* StartNode() const { return mStart; }
  int SegmentCount() const { return static_cast<int>(mSegments.size()); }
  const TSwNodeFinderSegment& Segment(int index) const { return mSegments.at(index); }
  bool Finished() const { return mFinished; }

  std::string Description() const override;
  virtual std::string StateDescription() const { return {}; }

 protected:
  virtual void ResetSegment(int index);
  virtual bool Test(const WideString& expression, int segment, TSwTreeNode* node);
  virtual TSwTreeNode* Create(const WideString& expression, int segment, TSwTreeNode* lastChild);

 private:
  void ParsePath(const WideString& path);
  void ParseNewPath(const WideString& path);
  void Advance(int index, TSwTreeNode* parent);

  std::vector<TSwNodeFinderSegment> mSegments;
  WideString mPath;
  WideString mProperty = u"inner";
  TSwTreeNode* mBase = nullptr;
  TSwTreeNode* mStart = nullptr;
  bool mFinished = true;
  bool mParsed = false;     // mSegments hold the parse of mParsedPath
  WideString mParsedPath;
};

// A finder whose segment expressions are integer formulas over n and a stack of numbers:
// name[k] selects the (k+1)-th child of that name under each parent.
class TSwNodeBaseFormulaFinder : public TSwNodeFinder {
 public:
  using TSwNodeFinder::TSwNodeFinder;

  // Takes the list; with shift, n becomes its first entry, which is removed.
  void SetStack(const std::vector<int32_t>& stack, bool shift);
  const std::vector<int32_t>& Stack() const { return mStack; }
  int32_t N() const { return mN; }
  void SetN(int32_t n) { mN = n; }
  // The value of a formula as the finder evaluates it.
  int32_t FormulaValue(const WideString& formula);

  std::string StateDescription() const override;

 protected:
  void ResetSegment(int index) override;
  bool Test(const WideString& expression, int segment, TSwTreeNode* node) override;
  TSwTreeNode* Create(const WideString& expression, int segment, TSwTreeNode* lastChild) override;
  virtual int32_t OperandValue(const WideString& operand, const WideString& formula);

 private:
  int32_t mN = 0;
  std::vector<int32_t> mStack;     // enclosing levels' numbers, innermost first
  std::vector<int32_t> mCounters;  // per segment
};

// A result path of one of the two forms most models use, "name" and "name[n]", found or made
// without a finder: the same node as TSwNodeFormulaFinder::FindOrCreate with `n` as its N, made
// with no parsing, copying or look-up of the path per node.
class TSwSimpleNodePath {
 public:
  // The path's simple form; false for any other path, which needs the finder.
  static bool Parse(const WideString& path, TSwSimpleNodePath& simple);
  // "name": always a new child; "name[n]": the existing child of that name with n (at least 0)
  // of its namesakes before it, or a new one when there is none.
  TSwTreeNode* FindOrCreate(TSwTreeNode* parent, int32_t n) const {
    // Fewer children than n + 1 hold no n-th namesake: a counter that appends needs no look-up.
    if (mCounted && n < parent->ChildCount()) return FindOrCreateCounted(parent, n);
    return AppendTo(parent);
  }

 private:
  TSwTreeNode* FindOrCreateCounted(TSwTreeNode* parent, int32_t n) const;
  // A name that cannot be a key is refused as the finder refuses it.
  TSwTreeNode* AppendTo(TSwTreeNode* parent) const { return mKey ? parent->AddChild(*mKey) : parent->AddChild(mName); }

  TSwName mName;
  std::optional<TSwValidKey> mKey;  // the name, when it may be a key
  bool mCounted = false;  // "name[n]"
};

class TSwNodeFormulaFinder : public TSwNodeBaseFormulaFinder {
 public:
  using TSwNodeBaseFormulaFinder::TSwNodeBaseFormulaFinder;
};

class TSwNodeByNodeFinder : public TSwNodeBaseFormulaFinder {
 public:
  using TSwNodeBaseFormulaFinder::TSwNodeBaseFormulaFinder;
};

}  // namespace skeinwork
