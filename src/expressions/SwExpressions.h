// SwExpressions: the model expression language and the condition operators built on it.
//
// A TSwExpression evaluates a postfix text over the RPN evaluator, resolving names as
// operators, node references ("header\lang$start", "$", ".opt?") and calls of registered
// functions (TSwFunctions). The condition operators of model lines ("=", "_", "x", "%", "?")
// are TSwCondExpression classes looked up in the TSwConditions registry; the model compiler
// prepares their operands once and the modelling run evaluates one object per test.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "RPNit.h"
#include "SwCore.h"
#include "SwHashes.h"
#include "SwNodes.h"

namespace skeinwork {

class TSwExpression;
class TSwRpnValueEx;
class TSwCondExpression;

// Sets up the expression layer once per process (variable characters, the emptied operator
// table, the global function and condition registries). Everything below calls it as needed.
void SwExpressionsStartup();

// ---------------------------------------------------------------------------------------------
// The modelling run's side, as expressions see it.

// The model node being evaluated; the run's model node class implements this, and external
// routines downcast it to reach the run itself.
class TSwExprModelNode {
 public:
  // Completed passes of the child loop that is trying the node (the function "iter").
  virtual int32_t ParentIteration() const = 0;
  // The node's result path (the function "self").
  virtual const WideString& ResultPath() const = 0;

 protected:
  ~TSwExprModelNode() = default;
};

// ---------------------------------------------------------------------------------------------
// Functions

// What a function handler is given: the name it was called by, the expression, and the value
// that becomes the call's result.
struct TSwFuncContext {
  WideString Name;
  TSwExpression* Expression = nullptr;
  TSwRpnValueEx* Value = nullptr;
};

// Answers whether it handled the call.
using TSwFuncHandler = TMethod<bool(TSwFuncContext& context)>;

// Function name -> handlers, tried in registration order. Copyable, so that a compiler can
// keep its own copy of the global registry and add routines that reach no other compiler.
class TSwFunctions {
 public:
  void Register(const WideString& name, TSwFuncHandler handler);
  const std::vector<TSwFuncHandler>* Handlers(const WideString& name) const;
  std::vector<WideString> Names() const;  // in registration order, synonyms included

 private:
  std::vector<std::pair<WideString, std::vector<TSwFuncHandler>>> mEntries;
  std::unordered_map<WideString, size_t> mIndex;
};

TSwFunctions& SwGlobalFunctions();

// ---------------------------------------------------------------------------------------------
// Expressions

struct TSwExpressionResult {
  TSwValue Value;
  TSwTreeNode* Node = nullptr;
  TStream* Stream = nullptr;
};

// One expression over a base node and an input stream.
class TSwExpression : public TSwObject {
 public:
  TSwExpression(const WideString& text, TSwTreeNode* baseNode);
  ~TSwExpression() override;

  void SetOptions(const TSwOptions& options);
  void SetInputStream(TStream* stream);
  void SetModelNode(TSwExprModelNode* node);
  void SetFinder(TSwNodeFinder* finder);
  void SetFunctions(TSwFunctions* functions);  // null: the global registry

  virtual TSwExpressionResult Evaluate();
};

// A condition operator's test: the prepared operand over the input stream.
class TSwCondExpression : public TSwExpression {
 public:
  TSwCondExpression(TSwTreeNode* baseNode, const TRpnScalar& operand);
};

// ---------------------------------------------------------------------------------------------
// Conditions

// A condition operator's class: prepares operands at compile time and makes the object that
// tests the input at run time.
struct TSwConditionClass : TSwClassInfo {
  TRpnScalar (*PrepareOperand)(const TRpnScalar& operand, const TSwOptions& options) = nullptr;
  std::unique_ptr<TSwCondExpression> (*Create)(TSwTreeNode* baseNode, const TRpnScalar& operand) = nullptr;
};

// One-character operator -> condition class.
class TSwConditions {
 public:
  void Register(const WideString& op, const TSwConditionClass* cls);
  const TSwConditionClass* Find(const WideString& op) const;
  // The operator registered for a class, or empty text.
  WideString NameOf(const TSwConditionClass* cls) const;

 private:
  std::vector<std::pair<WideString, const TSwConditionClass*>> mEntries;
};

TSwConditions& SwGlobalConditions();
// The class of the "%" operator; the compiler's implicit any-character children use it.
const TSwConditionClass* SwSimpatConditionClass();

}  // namespace skeinwork
