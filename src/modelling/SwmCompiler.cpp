// The model compiler: description tree -> numbered model nodes with final children.
#include <algorithm>

#include "MergeMachine.h"
#include "SwmRun.h"
#include "SwmTextReader.h"

namespace skeinwork {

// ---------------------------------------------------------------------------------------------
// The model's merge machine

namespace {

TSwValue ImplicitSource() { return TSwValue::OfText(u"implicit"); }

// The text the model compiler appends to merge-machine messages: the node being merged.
struct TSwmMachineError {
  std::string Decorate(const TMergeMachine* machine, const ESkeinwork&);
};

}  // namespace

class TSwmMergeMachine : public TMergeMachine {
 public:
  explicit TSwmMergeMachine(TSwmCompiler& compiler) : mCompiler(compiler) {}

  static TSwmNodeInfo* InfoOf(const TMmNode& node) {
    if (!node.Data) SwRaise<ESwmNoNodeInfo>("%s has no assigned compilation info.", &node);
    return static_cast<TSwmNodeInfo*>(node.Data);
  }
  TSwmNodeInfo* InfoOf(int32_t id) const { return InfoOf(*MergedNode(id)); }
  TSwmCompiler& Compiler() const { return mCompiler; }
  TSwmNodeInfo* NewInfo() { return mCompiler.NewInfo(); }

  TMmNode* AddDefined(std::unique_ptr<TMmNode> node) override {
    node->Data = mCompiler.NewInfo();
    return TMergeMachine::AddDefined(std::move(node));
  }

  // Every merged node gets an info of its own, a copy of its source's, so that merged copies
  // keep the conditions and flags that were compiled for what they copy.
  TMmNode* AddMerged(std::unique_ptr<TMmNode> node) override {
    TSwmNodeInfo* info = mCompiler.NewInfo();
    if (node->Data) {
      const TSwmNodeInfo& source = *static_cast<TSwmNodeInfo*>(node->Data);
      info->Props = source.Props;
      info->Description = source.Description;
      info->HasOrderedChildren = source.HasOrderedChildren;
      info->HasEndChild = source.HasEndChild;
      info->AllChildrenEnd = source.AllChildrenEnd;
      info->HasOnceChildren = source.HasOnceChildren;
    }
    node->Data = info;
    return TMergeMachine::AddMerged(std::move(node));
  }

  void MergeNode(int32_t id) override {
    if (TMmNode* node = MergedNode(id); node && node->Data) {
      if (TSwTreeNode* description = InfoOf(*node)->Description) mCompiler.SetCurrentDescription(description);
    }
    TMergeMachine::MergeNode(id);
  }

  void NodeMerged(int32_t id) override;

  bool AcceptChild(int32_t childId, TMmNode&) override { return !InfoOf(childId)->Props.Source.IsImplicit(); }

  void InheritData(int32_t id, int32_t ancestorId) override {
    TSwmProps& props = InfoOf(id)->Props;
    const TSwmProps& ancestor = InfoOf(ancestorId)->Props;
    if (!props.Condition.Class) props.Condition = ancestor.Condition;
  }

  int32_t Overlay(TMmNode& node, TMmNode& target) override {
    int32_t cloneId = TMergeMachine::Overlay(node, target);
    TSwmProps& props = InfoOf(cloneId)->Props;
    const TSwmProps& own = InfoOf(node)->Props;
    const TSwmProps& other = InfoOf(target)->Props;
    props.mIsResetter = own.mIsResetter || other.mIsResetter;
    props.mIsOptional = own.mIsOptional || other.mIsOptional;
    props.mIsTentative = own.mIsTentative || other.mIsTentative;
    props.mIsOnce = own.mIsOnce || other.mIsOnce;
    props.mIsNonConsuming = own.mIsNonConsuming || other.mIsNonConsuming;
    props.mIsOffContext = own.mIsOffContext || other.mIsOffContext;
    props.Path = other.Path;
    props.NodeClass = other.NodeClass;
    props.Order = own.Order ? own.Order : other.Order;
    return cloneId;
  }

  int32_t AdoptMergedChild(int32_t childId, TMmNode& mergeEntry) override {
    TMmNode* clone = CloneNode(*MergedNode(childId));
    InfoOf(*clone)->Props.mIsNonConsuming = InfoOf(mergeEntry)->Props.mIsNonConsuming;
    return clone->ID;
  }

 private:
  // The number of children a node has or will have: final when merged, else as written.
  int ChildCountOf(int32_t id) const {
    const TMmNode& node = *MergedNode(id);
    return node.Merged ? node.Children.Count() : node.OwnChildren.Count();
  }
  bool IsEndLike(int32_t id) const {
    TSwmProps props = InfoOf(id)->Props;
    props.ChildIDs.assign(static_cast<size_t>(ChildCountOf(id)), 0);
    return props.NodeClass->IsEnd(props);
  }
  void AppendImplicitChild(int32_t id, const TSwmNodeClass* cls, const TSwConditionClass* condition);

  TSwmCompiler& mCompiler;
};

void TSwmMergeMachine::NodeMerged(int32_t id) {
  TSwmNodeInfo& info = *InfoOf(id);
  const TMmIdList& children = MergedNode(id)->Children;
  info.HasOrderedChildren = info.HasEndChild = info.AllChildrenEnd = info.HasOnceChildren = false;
  bool allEnd = children.Count() > 0;
  for (int i = 0; i < children.Count(); ++i) {
    const TSwmProps& child = InfoOf(children.Id(i))->Props;
    info.HasOrderedChildren |= child.Order != 0;
    info.HasOnceChildren |= child.mIsOnce;
    bool end = IsEndLike(children.Id(i));
    info.HasEndChild |= end;
    allEnd &= end;
  }
  info.AllChildrenEnd = allEnd;
  if (!info.HasEndChild && (info.HasOrderedChildren || info.HasOnceChildren)) {
    AppendImplicitChild(id, SwmEndClass(), nullptr);
    InfoOf(id)->HasEndChild = true;
  }
  if (InfoOf(id)->AllChildrenEnd) AppendImplicitChild(id, TSwmNode::Class(), SwSimpatConditionClass());
}

void TSwmMergeMachine::AppendImplicitChild(int32_t id, const TSwmNodeClass* cls, const TSwConditionClass* condition) {
  auto node = std::make_unique<TMmNode>();
  node->ParentID = id;
  TMmNode* added = AddMerged(std::move(node));
  TSwmProps& props = InfoOf(*added)->Props;
  props.NodeClass = cls;
  props.Source = ImplicitSource();
  if (condition) {
    props.Condition.Class = condition;
    props.Condition.Operand = condition->PrepareOperand(RpnStr(u"ANY"), mCompiler.Options);
  }
  MergedNode(id)->Children.Add(added->ID, MergedNode(id)->Children.HighestTag());
}

namespace {

std::string TSwmMachineError::Decorate(const TMergeMachine* machine, const ESkeinwork&) {
  const auto* model = dynamic_cast<const TSwmMergeMachine*>(machine);
  if (!model) return {};
  TSwTreeNode* description = model->Compiler().CurrentDescription();
  TSwProperties* bag = description ? description->PropertiesIfAny() : nullptr;
  TSwProperty* source = bag ? bag->Find(u"source") : nullptr;
  return " Node: " + (source ? WideToUtf8(SwmSourceText(source->Value())) : std::string("<unknown>"));
}

void InstallMachineErrorDecorator() {
  static TSwmMachineError decorator;
  static bool installed = [] {
    SetMmMessageDecorator(TMmMessageDecorator::Of<&TSwmMachineError::Decorate>(&decorator));
    return true;
  }();
  (void)installed;
}

// "'name' source" for a description node in messages.
std::string DescribeDescription(TSwTreeNode* node) {
  if (!node) return "<nil object>";
  std::string out = "'" + WideToUtf8(node->Name()) + "'";
  if (TSwProperties* bag = node->PropertiesIfAny())
    if (TSwProperty* source = bag->Find(u"source")) out += " " + WideToUtf8(SwmSourceText(source->Value()));
  return out;
}

bool BoolProperty(TSwProperties* bag, const char16_t* name) {
  TSwProperty* property = bag ? bag->Find(name) : nullptr;
  return property && property->Value().Has(ltBool) && property->Value().Bool;
}

const TSwValue* PropertyOf(TSwProperties* bag, const char16_t* name, TSwType kind) {
  TSwProperty* property = bag ? bag->Find(name) : nullptr;
  return property && property->Value().Has(kind) ? &property->Value() : nullptr;
}


}  // namespace

// ---------------------------------------------------------------------------------------------
// The compiler

void SwmInstallMachineErrorDecorator() { InstallMachineErrorDecorator(); }

const TSwConditions& TSwmCompiler::Conditions() const {
  return OwnConditions ? *OwnConditions : SwGlobalConditions();
}

TSwmNodeInfo* TSwmCompiler::NewInfo() {
  mInfos.push_back(std::make_unique<TSwmNodeInfo>());
  return mInfos.back().get();
}

const TSwmNodeInfo* TSwmCompiler::Node(int32_t id) const {
  return id >= 0 && id < NodeCount() ? mNodes[id] : nullptr;
}

namespace {

// The compiled record's fields of the item flags, in the order of SwmItemFlags.
constexpr bool TSwmProps::*kPropFlags[] = {
    &TSwmProps::mIsResetter,   &TSwmProps::mIsOptional,   &TSwmProps::mIsTentative,  &TSwmProps::mIsOnce,
    &TSwmProps::mIsOffContext, &TSwmProps::mIsInheriting, &TSwmProps::mIsPrepending, &TSwmProps::mIsNonConsuming};
static_assert(std::size(kPropFlags) == std::size(SwmItemFlags));

// Reads one description node's settings into props (steps 5 of compiling).
void ReadProps(TSwmCompiler& compiler, TSwTreeNode* description, TSwmProps& props) {
  props = TSwmProps();
  props.Name = description->Name();
  const TSwmNodeClassList& classes = compiler.OwnNodeClasses ? *compiler.OwnNodeClasses : SwmGlobalNodeClasses();
  props.NodeClass = classes.ClassFor(props.Name);
  TSwProperties* bag = description->PropertiesIfAny();
  for (size_t i = 0; i < std::size(SwmItemFlags); ++i) props.*kPropFlags[i] = BoolProperty(bag, SwmItemFlags[i].Property);
  if (TSwProperty* source = bag ? bag->Find(u"source") : nullptr) props.Source = source->Value();
  if (const TSwValue* order = PropertyOf(bag, u"mOrder", ltInt)) props.Order = static_cast<int32_t>(order->Int);
  if (const TSwValue* path = PropertyOf(bag, u"mPath", ltStr)) props.Path = path->Text();
  const TSwValue* cond = PropertyOf(bag, u"mCond", ltStr);
  if (!cond) return;
  WideString text(SwTrim(cond->Text()));
  if (text.empty()) return;
  if (text[0] == u'!') {
    props.Condition.Negated = true;
    text.erase(0, 1);
    if (text.empty())
      SwRaise<ESwmEmptyNegatedCondition>("Negated condition ('!') must have an operator. Node: %s.",
                                         DescribeDescription(description));
  }
  WideString op = text.substr(0, 1);
  const TSwConditionClass* cls = compiler.Conditions().Find(op);
  if (!cls)
    SwRaise<ESwmUnknownCondition>("Unknown condition operator '%s' in '%s'. Node: %s.", op, cond->Text(),
                                  DescribeDescription(description));
  size_t operandStart = 1;
  while (operandStart < text.size() && text[operandStart] <= 32) ++operandStart;
  props.Condition.Class = cls;
  props.Condition.Operand = cls->PrepareOperand(RpnStr(text.substr(operandStart)), compiler.Options);
}

void AddMergeEntries(TSwmMergeMachine& machine, TMmNode& node, TSwProperties* bag, const char16_t* name, bool left) {
  const TSwValue* list = PropertyOf(bag, name, ltStr);
  if (!list) return;
  const WideString& text = list->Text();
  size_t from = 0;
  while (from <= text.size()) {
    size_t to = text.find(u'\0', from);
    if (to == WideString::npos) to = text.size();
    WideString entry = text.substr(from, to - from);
    from = to + 1;
    if (entry.empty()) continue;
    bool nonConsuming = entry[0] == u'.';
    if (nonConsuming) entry.erase(0, 1);
    TMmNode* added = left ? node.AddLeftMerge(entry) : node.AddRightMerge(entry);
    TSwmNodeInfo* info = machine.NewInfo();
    info->Props.Name = entry;
    info->Props.NodeClass = TSwmNode::Class();
    info->Props.mIsNonConsuming = nonConsuming;
    added->Data = info;
  }
}

}  // namespace

void TSwmCompiler::Compile(TSwTreeNode* descriptionRoot) {
  if (mCompiled || !mNodes.empty())
    SwRaise<ESwmDoubleCompile>("%s object can only be compiled once.", this);
  mCompiled = true;
  TSwmMergeMachine machine(*this);

  // Definition, depth first in written order, without recursion over the description's depth.
  struct TPending {
    TSwTreeNode* Description;
    int32_t ParentId;
  };
  std::vector<TPending> pending{{descriptionRoot, -1}};
  while (!pending.empty()) {
    TPending next = pending.back();
    pending.pop_back();
    mCurrentDescription = next.Description;
    auto node = std::make_unique<TMmNode>();
    TMmNode* defined = machine.AddDefined(std::move(node));
    TSwmNodeInfo& info = *TSwmMergeMachine::InfoOf(*defined);
    ReadProps(*this, next.Description, info.Props);
    info.Description = next.Description;
    defined->ParentID = next.ParentId;
    defined->Name = info.Props.Name;
    defined->Inheriting = info.Props.mIsInheriting;
    defined->Prepending = info.Props.mIsPrepending;
    defined->OffContext = info.Props.mIsOffContext;
    TSwProperties* bag = next.Description->PropertiesIfAny();
    AddMergeEntries(machine, *defined, bag, u"mMergesL", true);
    AddMergeEntries(machine, *defined, bag, u"mMergesR", false);
    for (int i = next.Description->ChildCount() - 1; i >= 0; --i)
      pending.push_back({next.Description->Child(i), defined->ID});
  }

  machine.Merge();

  mNodes.assign(static_cast<size_t>(machine.Merged().Count()), nullptr);
  for (int32_t id = 0; id < machine.Merged().Count(); ++id) {
    TMmNode* merged = machine.Merged().Item(id);
    if (!merged) continue;
    TSwmNodeInfo* info = TSwmMergeMachine::InfoOf(*merged);
    info->Props.ID = id;
    info->Props.ParentID = merged->ParentID;
    info->Props.Name = merged->Name;
    info->Props.ChildIDs.clear();
    for (int i = 0; i < merged->Children.Count(); ++i) info->Props.ChildIDs.push_back(merged->Children.Id(i));
    mNodes[id] = info;
  }
  mCurrentDescription = descriptionRoot;
}

// ---------------------------------------------------------------------------------------------
// Dumping a compiled model

namespace {

WideString ConditionText(const TSwmCompiler& compiler, const TSwmCondition& condition) {
  WideString name = compiler.Conditions().NameOf(condition.Class);
  WideString text = (condition.Negated ? u"!" : u"") + (name.empty() ? WideString(u"???") : name) + u" " +
                    RpnValueText(condition.Operand, u"");
  while (!text.empty() && text.back() <= 32) text.pop_back();
  return text;
}

void WriteDumpProperties(const TSwmCompiler& compiler, const TSwmProps& props, TSwProperties& bag) {
  bag.AddValue(u"ID", TSwValue::OfInt(props.ID));
  if (props.NodeClass != TSwmNode::Class()) bag.AddValue(u"Class", TSwValue::OfText(Utf8ToWide(props.NodeClass->Name)));
  if (props.ParentID != -1) bag.AddValue(u"Parent", TSwValue::OfInt(props.ParentID));
  if (!props.ChildIDs.empty()) {
    std::string ids;
    for (int32_t child : props.ChildIDs) ids += (ids.empty() ? "" : " ") + std::to_string(child);
    bag.AddValue(u"Children", TSwValue::OfText(Utf8ToWide(ids)));
  }
  if (!props.Source.IsNull()) bag.AddValue(u"source", props.Source);
  for (size_t i = 0; i < std::size(SwmItemFlags); ++i)
    bag.AddValue(SwmItemFlags[i].Property, TSwValue::OfBool(props.*kPropFlags[i]));
  if (props.Order) bag.AddValue(u"mOrder", TSwValue::OfInt(props.Order));
  if (!props.Path.empty()) bag.AddValue(u"mPath", TSwValue::OfText(props.Path));
  if (props.Condition.Class) bag.AddValue(u"mCond", TSwValue::OfText(ConditionText(compiler, props.Condition)));
}

}  // namespace

TSwTreeNode* TSwmCompiler::DumpModelInto(int32_t id, TSwTreeNode* parent, std::unique_ptr<TSwTreeNode>& detachedRoot) {
  // An explicit stack instead of recursion: a compiled model can be deep. A node reached from
  // a node that is not its parent (a shared or recursive one) is shown as "*ID" when it already
  // stands above it in the dump, so that a cycle ends at its first repetition, or always when
  // references are collapsed.
  using TPath = std::shared_ptr<const std::vector<int32_t>>;
  struct TPending {
    int32_t Id;
    TSwTreeNode* Parent;
    TPath Path;  // the IDs above this one in the dump
    bool Reference;
  };
  TSwTreeNode* first = nullptr;
  std::vector<TPending> pending{{id, parent, std::make_shared<const std::vector<int32_t>>(), false}};
  while (!pending.empty()) {
    TPending next = std::move(pending.back());
    pending.pop_back();
    const TSwmNodeInfo* info = Node(next.Id);
    WideString name = info ? info->Props.Name : WideString();
    TSwTreeNode* made;
    if (next.Parent) {
      made = next.Parent->AddChild(name);
    } else {
      detachedRoot = std::make_unique<TSwTreeNode>(name);
      made = detachedRoot.get();
    }
    if (!first) first = made;
    if (!info) continue;
    WriteDumpProperties(*this, info->Props, made->Properties());
    const std::vector<int32_t>& above = *next.Path;
    bool repeated = std::find(above.begin(), above.end(), next.Id) != above.end();
    if (next.Id == -1 || (next.Reference && (CollapseReferences || repeated))) {
      made->Rename(u"*" + Utf8ToWide(std::to_string(next.Id)));
      continue;
    }
    auto path = std::make_shared<std::vector<int32_t>>(above);
    path->push_back(next.Id);
    const TSwmIdArray& children = info->Props.ChildIDs;
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      const TSwmNodeInfo* child = Node(*it);
      pending.push_back({*it, made, path, !child || child->Props.ParentID != next.Id});
    }
  }
  return first;
}

std::unique_ptr<TSwTreeNode> TSwmCompiler::DumpModel(int32_t id) {
  std::unique_ptr<TSwTreeNode> root;
  DumpModelInto(id, nullptr, root);
  return root;
}

TSwTreeNode* TSwmCompiler::DumpModel(int32_t id, TSwTreeNode& parent) {
  std::unique_ptr<TSwTreeNode> unused;
  return DumpModelInto(id, &parent, unused);
}

std::unique_ptr<TSwmCompiler> TSwmCompiler::LoadBuiltinModel(std::u16string_view name) {
  std::unique_ptr<TSwTreeNode> description = SwmReadBuiltinModel(u"Swm" + WideString(name));
  auto compiler = std::make_unique<TSwmCompiler>();
  compiler->Compile(description.get());
  compiler->mCurrentDescription = nullptr;  // the description tree goes now
  return compiler;
}

}  // namespace skeinwork
