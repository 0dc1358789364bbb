// Mismatch information: the input around the place where a run failed, captured when the
// mismatch exception is made, because the run's streams are gone by the time anyone shows it.
#include <algorithm>
#include <atomic>

#include "SwmMismatchInfo.h"
#include "SwmRun.h"

namespace skeinwork {

void TSwMismatchInfo::FillSourcePos(TSwSourcePos& pos, TStream* stream) const {
  pos = TSwSourcePos();
  if (!stream) {
    pos.Source = u"<unknown>";
    return;
  }
  pos.Source = Utf8ToWide(SwStreamName(stream));
  pos.Position = stream->Position();
  pos.Size = stream->Size();
  const int64_t window = std::max<int64_t>(WindowSize(), 0);
  pos.ExcerptStart = std::max<int64_t>(pos.Position - BytesBefore(), 0);
  stream->Seek(pos.ExcerptStart, TSeekOrigin::Beginning);
  pos.Excerpt.resize(static_cast<size_t>(window));
  int64_t read = window > 0 ? stream->Read(pos.Excerpt.data(), window) : 0;
  pos.Excerpt.resize(static_cast<size_t>(std::clamp<int64_t>(read, 0, window)));
  stream->Seek(pos.Position, TSeekOrigin::Beginning);
}

void TSwMismatchInfo::Capture(TStream* current, TStream* global) {
  FillSourcePos(Current, current);
  Global = TSwSourcePos();
  if (current && global && global != current) FillSourcePos(Global, global);
}

namespace {

struct TMismatchHook {
  // Read by every thread that makes a mismatch, so a host may install while runs go on.
  std::atomic<TSwMismatchInfoFactory> Factory{nullptr};

  void Attach(ESkeinwork& created) {
    if (!dynamic_cast<ESwmMismatch*>(&created)) return;
    TSwMismatchInfoFactory factory = Factory.load(std::memory_order_acquire);
    std::unique_ptr<TSwMismatchInfo> info = factory ? factory() : std::make_unique<TSwMismatchInfo>();
    if (!info) return;
    TSwmCompiler* compiler = SwmActiveCompiler();
    info->Capture(compiler ? compiler->MismatchStream() : nullptr, compiler ? compiler->OutermostStream() : nullptr);
    created.SetObject(std::move(info));
  }
};

TMismatchHook& Hook() {
  static TMismatchHook hook;
  return hook;
}

}  // namespace

void SwInstallMismatchInfoHook(TSwMismatchInfoFactory factory) {
  Hook().Factory.store(factory, std::memory_order_release);
  SetSwExceptionHook(TSwExceptionHook::Of<&TMismatchHook::Attach>(&Hook()));
}

void SwRemoveMismatchInfoHook() { SetSwExceptionHook({}); }

TSwMismatchInfo* SwMismatchInfoOf(const ESkeinwork& error) {
  TSwObject* object = error.Object();
  if (auto* info = dynamic_cast<TSwMismatchInfo*>(object)) return info;
  if (auto* partial = dynamic_cast<TSwmPartialResult*>(object))
    return dynamic_cast<TSwMismatchInfo*>(partial->Information.get());
  return nullptr;
}

}  // namespace skeinwork
