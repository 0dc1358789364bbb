// The self-hosted model reader: the model language read by running its own model, SWMMODEL.
#include <algorithm>

#include "StrConv.h"
#include "SwmRun.h"
#include "SwmTextReader.h"

namespace skeinwork {

namespace {

// The text of a result node's range, decoded with the reader's code page.
class TLineTexts {
 public:
  TLineTexts(TSwmSlicer& slicer, int codepage) : mSlicer(slicer), mCodepage(codepage) {}
  WideString Text(const WideString& pathSpec) const { return SwDecode(mCodepage, mSlicer.Text(pathSpec)); }
  WideString NodeText(TSwTreeNode* node, const WideString& property) const {
    return SwDecode(mCodepage, mSlicer.PropertyText(node, property));
  }

 private:
  TSwmSlicer& mSlicer;
  int mCodepage;
};

void ReadMerges(TSwTreeNode* list, const TLineTexts& texts, TSwStreamingMerges& merges) {
  if (!list) return;
  for (int i = 0; i < list->ChildCount(); ++i) {
    TSwTreeNode* child = list->Child(i);
    if (child->Name() == u"name")
      merges.push_back({texts.NodeText(child, u"startGlobal"), false});
    else if (child->Name() == u"isNonConsuming" && !merges.empty())
      merges.back().isNonConsuming = true;
  }
}

}  // namespace

// The run of the built-in model knows only its own model nodes and the line's own stream; a
// user needs the line of the text that did not fit. The result root holds one node per line up
// to the failed one, which is the last. The excerpts of the line's stream go.
void TSwmModellingStreamer::LocateFailedLine(ESkeinwork& error) {
  auto* partial = dynamic_cast<TSwmPartialResult*>(error.Object());
  if (!partial || !partial->Slicer || !partial->Slicer->Root()) return;
  const int index = std::max(partial->Slicer->Root()->ChildCount() - 1, 0);
  error.ExtractObject();
  TStream& input = *Stream();
  input.Seek(StartPosition(), TSeekOrigin::Beginning);
  std::string bytes(static_cast<size_t>(std::max<int64_t>(input.Size() - StartPosition(), 0)), '\0');
  bytes.resize(static_cast<size_t>(std::max<int64_t>(input.Read(bytes.data(), static_cast<int64_t>(bytes.size())), 0)));
  const WideString text = SwDecode(Options.Codepage, bytes);
  size_t from = 0;
  for (int i = 0; i < index && from != WideString::npos; ++i) {
    from = text.find(Options.Eoln, from);
    if (from != WideString::npos) from += Options.Eoln.size();
  }
  if (from == WideString::npos) return;
  const size_t to = text.find(Options.Eoln, from);
  WideString line = text.substr(from, to == WideString::npos ? WideString::npos : to - from);
  if (line.size() > 80) line = line.substr(0, 80) + u"...";
  error.AppendToMessage(fmt::sprintf("\nModel line %s:%d: %s", WideToUtf8(SourceName()), FirstLine + index + 1,
                                     WideToUtf8(line)));
}

void TSwmModellingStreamer::DoRead() {
  SetReadRoot(std::make_unique<TSwTreeNode>(TSwName()));
  mLastAdded = Root();
  mPreviousIndent = -1;

  TStream& input = *Stream();
  input.Seek(StartPosition(), TSeekOrigin::Beginning);
  if (Options.Eoln.empty()) {
    // LINE needs the text's line break; it is decided as for any text reader.
    std::string bytes(static_cast<size_t>(std::max<int64_t>(input.Size() - StartPosition(), 0)), '\0');
    bytes.resize(static_cast<size_t>(input.Read(bytes.data(), static_cast<int64_t>(bytes.size()))));
    Options.Eoln = DetectLineBreak(SwDecode(Options.Codepage, bytes));
    input.Seek(StartPosition(), TSeekOrigin::Beginning);
  }

  std::unique_ptr<TSwmSlicer> slicer;
  {
    std::unique_ptr<TSwmCompiler> compiler = TSwmCompiler::LoadBuiltinModel(u"Model");
    compiler->Options = Options;
    compiler->KeepPartialResult = true;
    try {
      slicer = compiler->Modell(input);
    } catch (ESkeinwork& error) {
      LocateFailedLine(error);
      throw;
    }
  }
  TLineTexts texts(*slicer, Options.Codepage);
  TSwTreeNode* result = slicer->Root();
  for (int i = 0; i < result->ChildCount(); ++i) {
    TSwTreeNode* line = result->Child(i);
    if (line->Name() != u"line") continue;
    mLine = FirstLine + i;
    mCurrentLine = texts.NodeText(line, u"innerGlobal");
    slicer->SetContextNode(line);

    mItem.Clear();
    TSwmLineItem& item = mItem;
    item.indent = static_cast<int32_t>(texts.Text(u"indent$innerGlobal").size() / 2);
    for (const TSwmItemFlag& flag : SwmItemFlags) item.*flag.Field = line->FindChild(flag.ModelNode) != nullptr;
    if (item.isOffContext) item.isInheriting = !item.isInheriting;

    WideString order = texts.Text(u"order$startGlobal");
    if (!order.empty()) {
      int64_t value = 0;
      for (char16_t c : order)
        if (c >= u'0' && c <= u'9' && value < 100000000) value = value * 10 + (c - u'0');
      item.order = static_cast<int32_t>(value);
    }

    WideString quoted = texts.Text(u"nameAsPath$innerGlobal");
    if (quoted.empty()) {
      item.name = texts.Text(u"name$startGlobal");
      item.path = texts.Text(u"path$innerGlobal");
      if (!item.path.empty()) item.isInheriting = HasLowerCase(item.name);
    } else if (!line->FindChild(u"path")) {
      item.path = quoted;
      item.name = NameFromPath(quoted);
    } else {
      RaisePathTwice();
    }
    item.cond = texts.Text(u"cond$innerGlobal");
    ReadMerges(line->FindChild(u"leftMerges"), texts, item.leftMerges);
    ReadMerges(line->FindChild(u"rightMerges"), texts, item.rightMerges);
    AddItem();
  }
}

}  // namespace skeinwork
