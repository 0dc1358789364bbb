// The commands of the skeinwork program.
#include "SwCommandLine.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "BufStream.h"
#include "HexDump.h"
#include "SwAtomicFile.h"
#include "SwCheck.h"
#include "SwExpressions.h"
#include "SwExtract.h"
#include "SwRunner.h"
#include "SwScript.h"
#include "SwStreamers.h"
#include "SwTreeOutput.h"

namespace skeinwork {

namespace {

constexpr int64_t kProgressThreshold = 8 * 1024 * 1024;  // the bar is drawn by default above this size
// Data up to this size is read into memory before a run, whose tests then look at the bytes where
// they lie; larger data is read in windows as the model reaches it.
constexpr int64_t kInMemoryDataLimit = 64 * 1024 * 1024;
constexpr int kUtf8Codepage = 65001;

// ---------------------------------------------------------------------------------------------
// Files

std::string QuotedJson(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Opens a file for reading; a directory is refused as the system refuses to read it.
// An output stream buffer over a library stream; a failed write raises the stream's own error,
// which the std::ostream passes on (its exception mask has badbit).
class TStreamBuffer : public std::streambuf {
 public:
  explicit TStreamBuffer(TStream& stream) : mStream(stream) { setp(mBuffer, mBuffer + sizeof mBuffer); }

 protected:
  int_type overflow(int_type c) override {
    Drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    Drain();
    return 0;
  }

 private:
  void Drain() {
    std::ptrdiff_t count = pptr() - pbase();
    setp(mBuffer, mBuffer + sizeof mBuffer);  // dropped even when the write fails
    if (count > 0) mStream.WriteBuffer(mBuffer, count);
  }

  TStream& mStream;
  char mBuffer[65536];
};

// Where a command prints: the given stream, or a file named with -o, which takes the name only
// when Finish has written it whole.
class TOutput {
 public:
  TOutput(std::ostream& standard, const std::string& path) : mPath(path) {
    if (path.empty()) {
      mOut = &standard;
      return;
    }
    mFile = std::make_unique<TSwAtomicFileStream>(Utf8ToWide(path));
    mBuffer = std::make_unique<TStreamBuffer>(*mFile);
    mFileOut = std::make_unique<std::ostream>(mBuffer.get());
    mFileOut->exceptions(std::ios::badbit);
    mOut = mFileOut.get();
  }
  std::ostream& operator*() { return *mOut; }
  void Finish() {
    mOut->flush();
    if (!*mOut) {
      if (mPath.empty()) SwRaise<EWriteError>("Cannot write the output.");
      SwRaise<EWriteError>("Cannot write file \"%s\".", mPath);
    }
    if (mFile) mFile->Commit();
  }

 private:
  std::string mPath;
  std::unique_ptr<TSwAtomicFileStream> mFile;  // owned, with the buffer and stream over it
  std::unique_ptr<TStreamBuffer> mBuffer;
  std::unique_ptr<std::ostream> mFileOut;
  std::ostream* mOut = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Progress and interruption

class TProgressBar {
 public:
  static constexpr int Width = 40;

  TProgressBar(std::ostream& err, bool enabled) : mErr(err), mEnabled(enabled) {}
  ~TProgressBar() { Clear(); }

  void Update(int64_t position, int64_t size) {
    if (!mEnabled || size <= 0) return;
    int permille = static_cast<int>(std::clamp<int64_t>(position, 0, size) * 1000 / size);
    if (permille == mPermille) return;
    mPermille = permille;
    int filled = permille * Width / 1000;
    mErr << '\r' << '[' << std::string(filled, '#') << std::string(Width - filled, ' ') << ']'
         << fmt::format(" {:5.1f}%  {} / {} bytes", permille / 10.0, position, size) << std::flush;
    mDrawn = true;
  }
  // Takes the bar off its line, so that a message can be written there.
  void Clear() {
    if (!mDrawn) return;
    mErr << '\r' << std::string(Width + 60, ' ') << '\r' << std::flush;
    mDrawn = false;
    mPermille = -1;
  }

 private:
  std::ostream& mErr;
  bool mEnabled;
  bool mDrawn = false;
  int mPermille = -1;
};

// An interrupt (Ctrl+C) or a termination request sets the flag and cancels the running model;
// every later pass, expression step and write sees it and raises, so the command ends at once,
// removing the temporary files it was writing, with the usual exit code of a cancelled run. The
// handler acts once: a second signal ends the program at once.
std::atomic<bool> gCancelRequested{false};
std::atomic<TSwmCompiler*> gInterruptible{nullptr};

extern "C" void OnInterrupt(int) {
  gCancelRequested.store(true);
  if (TSwmCompiler* compiler = gInterruptible.load()) compiler->RequestCancel();
}

class TSignalGuard {
 public:
  TSignalGuard() {
    gCancelRequested.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 2; ++i) mInstalled[i] = sigaction(kSignals[i], &action, &mPrevious[i]) == 0;
  }
  ~TSignalGuard() {
    for (int i = 0; i < 2; ++i)
      if (mInstalled[i]) sigaction(kSignals[i], &mPrevious[i], nullptr);
  }
  TSignalGuard(const TSignalGuard&) = delete;
  TSignalGuard& operator=(const TSignalGuard&) = delete;

 private:
  static constexpr int kSignals[2] = {SIGINT, SIGTERM};
  struct sigaction mPrevious[2] {};
  bool mInstalled[2] = {false, false};
};

// The run the signal handler cancels, while it runs.
class TInterruptible {
 public:
  explicit TInterruptible(TSwmCompiler* compiler) {
    gInterruptible.store(compiler);
    if (gCancelRequested.load()) compiler->RequestCancel();
  }
  ~TInterruptible() { gInterruptible.store(nullptr); }
  TInterruptible(const TInterruptible&) = delete;
  TInterruptible& operator=(const TInterruptible&) = delete;
};

[[noreturn]] void RaiseInterrupted() {
  SwRaise<ESwCancelled>("The program was interrupted; files it was writing were removed.");
}

// ---------------------------------------------------------------------------------------------
// Scripts and runs

struct TLoadedScript {
  std::unique_ptr<TStream> File;  // the script's slicer reads from it
  std::unique_ptr<TSwScript> Script;
};

TLoadedScript LoadScript(const std::string& path, const TSwCommandLineEnvironment& environment) {
  TLoadedScript loaded;
  loaded.File = SwOpenForReading(path, environment.ReadLimits);
  loaded.Script = TSwScript::CreateFrom(*loaded.File, Utf8ToWide(path));
  return loaded;
}

// The line break --eoln names; empty for the script's own.
WideString EolnOf(const std::string& eoln) {
  return eoln == "lf" ? u"\n" : eoln == "crlf" ? u"\r\n" : eoln == "cr" ? u"\r" : u"";
}

// The script's compiled model with the options the data is read with: the script's line
// break (the examples and their samples share it) unless the user chose one, and its code page.

std::unique_ptr<TSwmCompiler> CompileFor(const TSwScript& script, const std::string& eoln) {
  std::unique_ptr<TSwmCompiler> compiler = script.CompileModel();
  SwApplyScriptOptions(*compiler, script, EolnOf(eoln));
  return compiler;
}

struct TRunOptions {
  std::string Script, Data, Eoln = "script", OnWarning = "continue";
  std::string FileAccess;  // --allow-file-access: empty when not given, "true" alone, or "read"
  bool Partial = false;
  bool Progress = false, NoProgress = false;
  int64_t MaxNodes = 0;
  int64_t MaxWork = TSwWorkMeter::DefaultLimit;
};

// A finished (or failed) modelling run. Members go in reverse order, so the slicer, which
// reads the data cache, goes before it.
struct TModelRun {
  TLoadedScript Script;
  std::unique_ptr<TSwmCompiler> Compiler;
  std::unique_ptr<TStream> DataFile;
  std::unique_ptr<TBufStream> Data;
  std::unique_ptr<TSwmSlicer> Slicer;
};

// WARN messages are printed (without `Err`, passed over) and the run goes on, unless the user
// asked to stop; every other message of the error routine (FAIL, input left over) ends the run.
struct TWarningPolicy {
  std::ostream* Err;
  TProgressBar* Bar;
  bool Stop;

  void Handle(TSwObject*, const ESkeinwork& error) {
    if (Stop || !dynamic_cast<const ESwmWarning*>(&error)) error.Raise();
    if (!Err) return;
    Bar->Clear();
    *Err << "Warning: " << error.Message() << '\n';
  }
};

// The script's file functions ask, for whatever --allow-file-access does not allow; the answer
// is no, and the request is kept so that the error can say which flag would allow it.
struct TFileAccessGate {
  TSwFileAccessRequest Refused;

  TSwFileAccessAnswer Answer(const TSwFileAccessRequest& request) {
    Refused = request;
    return TSwFileAccessAnswer::Refuse;
  }
  void Install(TSwFileAccess& access, const std::string& allowed) {
    access.Read = allowed.empty() ? TSwFileAccessMode::Ask : TSwFileAccessMode::Allowed;
    access.Write = allowed == "true" ? TSwFileAccessMode::Allowed : TSwFileAccessMode::Ask;
    access.Ask = TSwFileAccessAsk::Of<&TFileAccessGate::Answer>(this);
  }
  // The refusal in words that name the flag which allows it.
  ESwFileAccessRefused Told() const {
    bool read = Refused.Kind == TSwFileAccessKind::Read;
    return MakeError<ESwFileAccessRefused>("the script's expression called %s for \"%s\"; run with %s to allow it",
                                           Refused.Function, Refused.Path,
                                           read ? "--allow-file-access=read" : "--allow-file-access");
  }
  [[noreturn]] void Raise(const ESwFileAccessRefused& error) const {
    ESwFileAccessRefused told = Told();
    told.SetObject(error.ExtractObject());  // a partial result, when asked for
    throw told;
  }
};

struct TProgressSink {
  TProgressBar* Bar;
  void Update(int64_t position, int64_t size) { Bar->Update(position, size); }
};

// Loads, compiles and runs; a failure propagates with the run's partial result attached when
// asked for.
void RunModel(TModelRun& run, const TRunOptions& options, std::ostream& err,
              const TSwCommandLineEnvironment& environment) {
  run.Script = LoadScript(options.Script, environment);
  run.Compiler = CompileFor(*run.Script.Script, options.Eoln);
  run.DataFile = SwOpenForReading(options.Data, environment.ReadLimits);
  if (run.DataFile->Size() <= kInMemoryDataLimit) {
    auto loaded = std::make_unique<TMemoryStream>();
    loaded->LoadFromStream(*run.DataFile);
    run.DataFile = std::move(loaded);
  }
  run.Data = std::make_unique<TBufStream>(run.DataFile.get(), false);
  run.Data->LendUnderlyingMemory();

  bool progress = !options.NoProgress &&
                  (options.Progress || (environment.ErrIsTerminal && run.Data->Size() > kProgressThreshold));
  TProgressBar bar(err, progress);
  TWarningPolicy policy{&err, &bar, options.OnWarning == "stop"};
  TProgressSink sink{&bar};
  TSwmCompiler& compiler = *run.Compiler;
  compiler.SetErrorHandler(TSwErrorHandler::Of<&TWarningPolicy::Handle>(&policy));
  if (progress) compiler.ProgressHook = TSwmProgressHook::Of<&TProgressSink::Update>(&sink);
  compiler.KeepPartialResult = options.Partial;
  compiler.MaxResultNodes = options.MaxNodes;
  compiler.MaxWork = options.MaxWork;
  TFileAccessGate gate;
  gate.Install(compiler.FileAccess, options.FileAccess);
  TInterruptible interrupt(&compiler);
  auto unhook = [&compiler] {
    compiler.SetErrorHandler({});
    compiler.ProgressHook = {};
    compiler.FileAccess.Ask = {};
  };
  try {
    run.Slicer = compiler.Modell(*run.Data);
  } catch (const ESwFileAccessRefused& error) {
    unhook();
    gate.Raise(error);
  } catch (...) {
    unhook();
    throw;
  }
  unhook();
}


// How a command prints a tree: as text, or as JSON with the ranges --ranges chooses.
struct TTreeForm {
  bool Json = false;
  std::string Ranges = "all";

  TSwJsonTreeOptions JsonOptions() const {
    TSwJsonTreeOptions options;
    if (Ranges == "local") options.Ranges = TSwJsonRanges::Local;
    if (Ranges == "global") options.Ranges = TSwJsonRanges::Global;
    return options;
  }
};

void AddTreeFormOptions(CLI::App* command, TTreeForm& form) {
  CLI::Option* json = command->add_flag("--json", form.Json, "Print the tree as JSON");
  command
      ->add_option("--ranges", form.Ranges,
                   "Which of a node's ranges the JSON holds: all (default), local (a Global range only where it "
                   "differs from the local one) or global (a local range only where it differs from the Global one)")
      ->check(CLI::IsMember({"all", "local", "global"}))
      ->needs(json);
}

void PrintTree(std::ostream& out, TSwTreeNode* root, TSwmSlicer* slicer, const TTreeForm& form) {
  if (form.Json) {
    SwWriteJsonTree(out, root, form.JsonOptions());
  } else {
    SwWriteTextTree(out, root, SwRangeReaderOf(slicer));
  }
}

// ---------------------------------------------------------------------------------------------
// Commands

struct TContext {
  std::ostream& Out;
  std::ostream& Err;
  TSwCommandLineEnvironment Environment;
  std::string InputName;  // the data file, for error reports
};

struct TModelOptions : TRunOptions, TTreeForm {
  std::string Output;
};

int ModelCommand(TContext& context, const TModelOptions& options) {
  context.InputName = options.Data;
  TOutput output(context.Out, options.Output);
  TModelRun run;
  try {
    RunModel(run, options, context.Err, context.Environment);
  } catch (const ESkeinwork& error) {
    auto* partial = dynamic_cast<TSwmPartialResult*>(error.Object());
    if (options.Partial && partial && partial->Slicer && partial->Slicer->Root()) {
      PrintTree(*output, partial->Slicer->Root(), partial->Slicer.get(), options);
      output.Finish();
    }
    throw;
  }
  PrintTree(*output, run.Slicer->Root(), run.Slicer.get(), options);
  output.Finish();
  return ecSuccess;
}

struct TIllustrateOptions {
  std::string Script, Output;
  bool Json = false;
};

// One line per compiled model node: name, ID, class, condition, result path and flags.
void WriteModelText(std::ostream& out, TSwTreeNode* root) {
  std::vector<std::pair<TSwTreeNode*, int>> stack{{root, 0}};
  std::string line;
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    line.assign(static_cast<size_t>(depth) * 2, ' ');
    line += node->Name().empty() ? std::string("<unnamed>") : WideToUtf8(node->Name());
    if (TSwProperties* bag = node->PropertiesIfAny()) {
      auto text = [&](const char16_t* name) -> std::string {
        TSwProperty* property = bag->Find(name);
        if (!property) return {};
        const TSwValue& value = property->Value();
        if (value.Has(ltStr)) return WideToUtf8(value.Text());
        if (value.Has(ltInt)) return std::to_string(value.Int);
        return {};
      };
      if (std::string id = text(u"ID"); !id.empty()) line += "  #" + id;
      if (std::string cls = text(u"Class"); !cls.empty()) line += "  " + cls;
      if (std::string cond = text(u"mCond"); !cond.empty()) line += "  if " + cond;
      if (std::string path = text(u"mPath"); !path.empty()) line += "  -> " + path;
      if (std::string order = text(u"mOrder"); !order.empty()) line += "  order " + order;
      std::string flags;
      for (const TSwmItemFlag& flag : SwmItemFlags) {
        TSwProperty* property = bag->Find(flag.Property);
        if (property && property->Value().Has(ltBool) && property->Value().Bool)
          flags += (flags.empty() ? "" : ", ") + std::string(flag.Word);
      }
      if (!flags.empty()) line += "  [" + flags + "]";
    }
    line += '\n';
    out << line;
    for (int i = node->ChildCount() - 1; i >= 0; --i) stack.push_back({node->Child(i), depth + 1});
  }
}

int IllustrateCommand(TContext& context, const TIllustrateOptions& options) {
  TOutput output(context.Out, options.Output);
  TLoadedScript loaded = LoadScript(options.Script, context.Environment);
  std::unique_ptr<TSwmCompiler> compiler = loaded.Script->CompileModel();
  std::unique_ptr<TSwTreeNode> dump = compiler->DumpModel(0);
  if (options.Json) {
    SwWriteJsonTree(*output, dump.get());
  } else {
    WriteModelText(*output, dump.get());
  }
  output.Finish();
  return ecSuccess;
}

struct TScriptOptions {
  std::string Script, Output;
  bool Json = false, Tree = false;
};

std::string EolnName(const WideString& eoln) {
  if (eoln == u"\r\n") return "CR LF";
  if (eoln == u"\n") return "LF";
  if (eoln == u"\r") return "CR";
  return eoln.empty() ? "none" : "other";
}

int CountLines(const WideString& text) {
  if (text.empty()) return 0;
  return 1 + static_cast<int>(std::count(text.begin(), text.end(), u'\n'));
}

nlohmann::json LineJson(int line) { return line >= 0 ? nlohmann::json(line + 1) : nlohmann::json(nullptr); }

nlohmann::json ScriptJson(const TSwScript& script) {
  using nlohmann::json;
  json result = json::object();
  result["name"] = WideToUtf8(script.Name());
  result["version"] = SwVersionText(script.Version());
  result["signature"] = WideToUtf8(script.Signature());
  result["language"] = WideToUtf8(script.Language());
  result["charset"] = WideToUtf8(script.Charset());
  result["codepage"] = script.Codepage();
  result["eoln"] = EolnName(script.Options.Eoln);
  json translations = json::array();
  for (const auto& [local, english] : script.Lines())
    translations.push_back({{"local", WideToUtf8(local)}, {"english", WideToUtf8(english)}});
  result["translations"] = translations;
  result["preamble"] = WideToUtf8(script.Preamble());
  json sections = json::array();
  for (int i = 0; i < script.SectionCount(); ++i) {
    TSwSection* section = script.Section(i);
    json subsections = json::array();
    for (int k = 0; k < section->SubsectionCount(); ++k) {
      TSwSubsection* sub = section->Subsection(k);
      subsections.push_back({{"title", WideToUtf8(sub->Title())},
                             {"line", LineJson(sub->Line)},
                             {"versions", sub->Versions.Text()},
                             {"contents", WideToUtf8(sub->Contents)}});
    }
    sections.push_back({{"title", WideToUtf8(section->Title())},
                        {"kind", SwSectionKindName(section->Kind)},
                        {"line", LineJson(section->Line)},
                        {"versions", section->Versions.Text()},
                        {"subsections", subsections}});
  }
  result["sections"] = sections;
  if (TSwSubsection* chosen = script.TryChosenModel()) {
    result["chosenModel"] = {{"section", WideToUtf8(chosen->Section()->Title())},
                             {"subsection", WideToUtf8(chosen->Title())},
                             {"line", LineJson(chosen->Line)}};
  } else {
    result["chosenModel"] = nullptr;
  }
  json options = json::object();
  if (auto* section = dynamic_cast<TSwOptionSection*>(script.TryByKey(lsOptions))) {
    TMemIniFileW& values = section->Values();
    for (const WideString& group : values.Groups()) {
      json keys = json::object();
      for (const auto& [key, value] : values.GroupValues(group)) keys[WideToUtf8(key)] = WideToUtf8(value);
      options[WideToUtf8(group)] = keys;
    }
  }
  result["options"] = options;
  return result;
}

void WriteIndented(std::ostream& out, const WideString& text, const std::string& indent) {
  std::string utf8 = WideToUtf8(text);
  size_t start = 0;
  while (start <= utf8.size()) {
    size_t end = utf8.find('\n', start);
    std::string line = utf8.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out << indent << line << '\n';
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

void WriteScriptText(std::ostream& out, const TSwScript& script) {
  auto lineText = [](int line) { return line >= 0 ? fmt::format(", line {}", line + 1) : std::string(); };
  auto versionsText = [](const TSwVersions& versions) {
    return versions.IsEmpty() ? std::string() : " " + versions.Text();
  };
  out << "Script: " << WideToUtf8(script.Name()) << '\n';
  out << "Version: " << SwVersionText(script.Version()) << '\n';
  out << "Signature: " << WideToUtf8(script.Signature()) << '\n';
  out << "Language: " << WideToUtf8(script.Language()) << '\n';
  out << "Charset: " << WideToUtf8(script.Charset()) << " (code page " << script.Codepage() << ")\n";
  out << "Line break: " << EolnName(script.Options.Eoln) << '\n';
  if (!script.Lines().empty()) {
    out << "Translations:\n";
    for (const auto& [local, english] : script.Lines())
      out << "  " << WideToUtf8(local) << " = " << WideToUtf8(english) << '\n';
  }
  if (!script.Preamble().empty()) {
    out << "Preamble:\n";
    WriteIndented(out, script.Preamble(), "  | ");
  }
  out << "Sections:\n";
  for (int i = 0; i < script.SectionCount(); ++i) {
    TSwSection* section = script.Section(i);
    out << "  " << WideToUtf8(section->Title()) << " (" << SwSectionKindName(section->Kind) << ")"
        << versionsText(section->Versions) << lineText(section->Line) << '\n';
    for (int k = 0; k < section->SubsectionCount(); ++k) {
      TSwSubsection* sub = section->Subsection(k);
      int lines = CountLines(sub->Contents);
      out << "    " << (sub->Title().empty() ? std::string("<default>") : "\"" + WideToUtf8(sub->Title()) + "\"")
          << versionsText(sub->Versions) << lineText(sub->Line) << ", " << lines << (lines == 1 ? " line" : " lines")
          << '\n';
    }
  }
  if (TSwSubsection* chosen = script.TryChosenModel()) {
    out << "Chosen model: " << WideToUtf8(chosen->Section()->Title());
    if (!chosen->Title().empty()) out << " / \"" << WideToUtf8(chosen->Title()) << '"';
    out << lineText(chosen->Line) << '\n';
  } else {
    out << "Chosen model: none\n";
  }
  if (auto* section = dynamic_cast<TSwOptionSection*>(script.TryByKey(lsOptions))) {
    out << "Options:\n";
    TMemIniFileW& values = section->Values();
    for (const WideString& group : values.Groups()) {
      out << "  [" << WideToUtf8(group) << "]\n";
      for (const auto& [key, value] : values.GroupValues(group))
        out << "    " << WideToUtf8(key) << " = " << WideToUtf8(value) << '\n';
    }
  }
}

int ScriptCommand(TContext& context, const TScriptOptions& options) {
  TOutput output(context.Out, options.Output);
  TLoadedScript loaded = LoadScript(options.Script, context.Environment);
  if (options.Tree) {
    TSwmSlicer* slicer = loaded.Script->Slicer();
    if (!slicer) SwRaise<ESwScriptNoSlicer>("%s has no slicer to take.", loaded.Script.get());
    TTreeForm form;
    form.Json = options.Json;
    PrintTree(*output, slicer->Root(), slicer, form);
  } else if (options.Json) {
    *output << ScriptJson(*loaded.Script).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else {
    WriteScriptText(*output, *loaded.Script);
  }
  output.Finish();
  return ecSuccess;
}

struct TSaveOptions : TRunOptions {
  std::string Tree;
  bool Compress = false;
};

int SaveCommand(TContext& context, const TSaveOptions& options) {
  context.InputName = options.Data;
  TModelRun run;
  RunModel(run, options, context.Err, context.Environment);
  TSwTreeNode* root = run.Slicer->Root();
  // Written aside and put in place when whole: a full disk leaves the old file as it was.
  TSwAtomicFileStream file(Utf8ToWide(options.Tree));
  TSwBinaryStreamer streamer;
  streamer.StoreSlicesAsRanges = true;
  if (options.Compress) streamer.Container().SetFlags(TStreamer::FlagCompressed | TStreamer::FlagChecksummed);
  // The container reads back what it wrote for its checksum, which a device or pipe cannot
  // give: the tree is written to memory first and copied out.
  TMemoryStream memory;
  TStream& target = file.Direct() ? static_cast<TStream&>(memory) : file;
  streamer.Write(target, root, Utf8ToWide(options.Tree));
  const int64_t size = target.Size();
  if (file.Direct()) {
    memory.SetPosition(0);
    file.CopyFrom(memory, size);
  }
  file.Commit();
  int64_t nodes = SwCountNodes(root);
  // A tree sent down a pipe (to /dev/stdout, say) is not followed by the summary.
  (file.Direct() ? context.Err : context.Out) << "Saved " << nodes << (nodes == 1 ? " node" : " nodes") << " to "
                                              << options.Tree << " (" << size << " bytes).\n";
  return ecSuccess;
}

struct TLoadOptions : TTreeForm {
  std::string Tree, Output;
};

int LoadCommand(TContext& context, const TLoadOptions& options) {
  TOutput output(context.Out, options.Output);
  std::unique_ptr<TStream> file = SwOpenForReading(options.Tree, context.Environment.ReadLimits);
  TSwBinaryStreamer streamer;
  std::unique_ptr<TSwTreeNode> root = streamer.Read(*file, Utf8ToWide(options.Tree));
  PrintTree(*output, root.get(), nullptr, options);
  output.Finish();
  return ecSuccess;
}

struct TExtractOptions : TRunOptions {
  std::string DataPath, DataExpr, NamePath, NameExpr, Format = "?.dat", To;
  bool Unique = false, KeepExt = false;
};

int ExtractCommand(TContext& context, const TExtractOptions& options) {
  if (options.Format.find('?') == std::string::npos)
    SwRaise<ESwUsage>("The file name format \"%s\" has no \"?\" for the name.", options.Format);
  context.InputName = options.Data;
  TModelRun run;
  RunModel(run, options, context.Err, context.Environment);
  TSwDataNodeSaver saver(run.Slicer->Root(), run.Slicer.get());
  saver.Options = run.Compiler->Options;
  saver.SetDataPath(Utf8ToWide(options.DataPath));
  saver.SetDataExpr(Utf8ToWide(options.DataExpr));
  if (!options.Unique) saver.SetNamePath(Utf8ToWide(options.NamePath));
  saver.SetNameExpr(Utf8ToWide(options.NameExpr));
  TSwExtractSettings settings;
  settings.Directory = Utf8ToWide(options.To);
  settings.Format = Utf8ToWide(options.Format);
  settings.OmitExtension = !options.KeepExt;
  settings.OnWritten = [&](const WideString& path) { context.Out << WideToUtf8(path) << '\n'; };
  int count = SwExtractData(saver, settings);
  context.Out << count << (count == 1 ? " file" : " files") << " written.\n";
  return ecSuccess;
}

struct TCheckOptions : TRunOptions {
  std::vector<std::string> Paths, Includes;
  int Jobs = 0;  // 0: one per core
  bool Json = false, Recursive = false;
};

// A worker's runner with the run options of the command line: the script is loaded and
// compiled once, then run once per file.
class TRunnerChecker : public TSwFileChecker {
 public:
  TRunnerChecker(const TCheckOptions& options, const TSwCommandLineEnvironment& environment)
      : mRunner(TSwRunner::Load(options.Script)), mPolicy{nullptr, nullptr, options.OnWarning == "stop"} {
    mRunner->ReadLimits = environment.ReadLimits;
    mRunner->Settings.Eoln = EolnOf(options.Eoln);
    mRunner->Settings.MaxResultNodes = options.MaxNodes;
    TSwmCompiler& compiler = mRunner->Compiler();
    compiler.MaxWork = options.MaxWork;
    compiler.SetErrorHandler(TSwErrorHandler::Of<&TWarningPolicy::Handle>(&mPolicy));
    mGate.Install(compiler.FileAccess, options.FileAccess);
  }

  TSwCheckVerdict Check(const std::string& path) override {
    // The signal handler's flag reaches the runs of every worker through a meter on its thread.
    TSwWorkMeter interruptible(&gCancelRequested, TSwWorkMeter::NoLimit, RaiseInterrupted);
    TSwRunResult result = mRunner->ModelFile(path);
    if (dynamic_cast<const ESwFileAccessRefused*>(result.Error())) {
      const ESwFileAccessRefused told = mGate.Told();
      return SwCheckVerdictOf(result, &told);
    }
    return SwCheckVerdictOf(result);
  }

 private:
  std::unique_ptr<TSwRunner> mRunner;
  TWarningPolicy mPolicy;
  TFileAccessGate mGate;
};

int CheckCommand(TContext& context, const TCheckOptions& options) {
  TSwCheckPlan plan;
  plan.Files = SwCheckFileList(options.Paths, options.Recursive, options.Includes);
  plan.Jobs = options.Jobs > 0 ? options.Jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // A script from a pipe can be read only once, so one runner models every file.
  struct stat info {};
  if (::stat(options.Script.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) plan.Jobs = 1;
  plan.MakeChecker = [&] { return std::make_unique<TRunnerChecker>(options, context.Environment); };
  plan.Write = [&](const std::string& path, const TSwCheckVerdict& verdict) {
    context.Out << (options.Json ? SwCheckLineJson(path, verdict) : SwCheckLineText(path, verdict));
  };
  plan.Flush = [&] { context.Out.flush(); };
  plan.Cancel = &gCancelRequested;
  const TSwCheckSummary summary = SwCheckInOrder(plan);
  if (options.Json) {
    nlohmann::ordered_json line = {{"passed", summary.Passed}, {"failed", summary.Failed}};
    if (summary.Unchecked > 0) line["unchecked"] = summary.Unchecked;
    context.Out << line.dump() << '\n';
  } else {
    context.Out << summary.Passed << " passed, " << summary.Failed << " failed";
    if (summary.Unchecked > 0) context.Out << ", " << summary.Unchecked << " not checked";
    context.Out << '\n';
  }
  if (summary.Unchecked > 0)
    context.Err << "Cancelled: The check was interrupted; " << summary.Unchecked << " of " << plan.Files.size()
                << " files were not checked.\n";
  if (summary.Unreadable) return ecFileError;
  return summary.Failed > 0 || summary.Unchecked > 0 ? ecFailed : ecSuccess;
}

struct TEvalOptions {
  std::string Expression, Input;
  int64_t Offset = 0;
  int64_t MaxWork = TSwWorkMeter::DefaultLimit;
  bool Json = false;
};

std::string HexBytes(const RawByteString& bytes) {
  std::string out;
  for (unsigned char byte : bytes) out += fmt::format("{:02X}", byte);
  return out;
}

int EvalCommand(TContext& context, const TEvalOptions& options) {
  std::unique_ptr<TStream> file;
  std::unique_ptr<TBufStream> input;
  if (!options.Input.empty()) {
    context.InputName = options.Input;
    file = SwOpenForReading(options.Input, context.Environment.ReadLimits);
    input = std::make_unique<TBufStream>(file.get(), false);
    if (options.Offset > input->Size())
      SwRaise<ESwUsage>("The offset %d lies beyond the end of \"%s\" (%d bytes).", options.Offset, options.Input,
                        input->Size());
    input->SetPosition(options.Offset);
  } else if (options.Offset != 0) {
    SwRaise<ESwUsage>("--offset needs an --input file.");
  }
  TSwExpression expression(Utf8ToWide(options.Expression), nullptr);
  TSwOptions expressionOptions;
  // Moved in whole: GCC 12 warns wrongly about the overlap of an assign from a literal here.
  expressionOptions.Eoln = WideString(u"\n");
  expressionOptions.Codepage = kUtf8Codepage;
  expression.SetOptions(expressionOptions);
  expression.SetInputStream(input.get());
  TSwWorkMeter meter(nullptr, options.MaxWork);
  TSwExpressionResult result = expression.Evaluate();
  const TSwValue& value = result.Value;
  std::ostream& out = context.Out;
  if (options.Json) {
    out << SwJsonValue(value) << '\n';
  } else {
    if (value.IsNull()) out << "null\n";
    if (value.Has(ltStr)) out << "str: " << QuotedJson(WideToUtf8(value.Text())) << '\n';
    if (value.Has(ltRaw)) out << "raw: " << HexBytes(value.Raw()) << '\n';
    if (value.Has(ltBool)) out << "bool: " << (value.Bool ? "true" : "false") << '\n';
    if (value.Has(ltInt)) out << "int: " << value.Int << '\n';
    if (value.Has(ltFrac)) out << "frac: " << nlohmann::json(value.Frac).dump() << '\n';
    if (value.Has(ltObj)) out << "obj: " << (value.Obj ? value.Obj->ClassName() : std::string("<nil object>")) << '\n';
  }
  if (input) {
    // Where the expression left the input: functions such as skip move it.
    if (!options.Json) out << "position: " << input->Position() << '\n';
  }
  return ecSuccess;
}

// ---------------------------------------------------------------------------------------------
// The command line

void AddMaxWorkOption(CLI::App* command, int64_t& maxWork) {
  command->add_option("--max-work", maxWork,
                      "Stop when the run has done this much work: passes of the model and bytes that expressions and "
                      "patterns read or make (default 2^34)")
      ->check(CLI::PositiveNumber);
}

// A count or offset: a whole number that fits in 64 bits, refused in words a user reads rather
// than as a range of floating-point numbers or silently cut to the largest integer.
CLI::Validator WholeNumber() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        int64_t value = 0;
        const char* end = text.data() + text.size();
        auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error == std::errc() && stop == end && value >= 0) return {};
        return "Value " + text + " is not a whole number from 0 to " + std::to_string(INT64_MAX);
      },
      "INT >= 0");
}

// The options of every command that runs a script's model over data.
void AddModelOptions(CLI::App* command, TRunOptions& options) {
  command->add_option("--on-warning", options.OnWarning, "What a WARN node does: continue (default) or stop")
      ->check(CLI::IsMember({"continue", "stop"}));
  command->add_option("--eoln", options.Eoln, "The line break of the data: script (default: the script's own), lf, crlf or cr")
      ->check(CLI::IsMember({"script", "lf", "crlf", "cr"}));
  command->add_option("--max-nodes", options.MaxNodes, "Stop when the result tree would exceed this many nodes (default and 0: no limit)")
      ->check(WholeNumber());
  AddMaxWorkOption(command, options.MaxWork);
  command
      ->add_flag("--allow-file-access", options.FileAccess,
                 "Let the script's expressions read and write files (load, save); =read lets them only read. "
                 "Refused by default, as scripts may come from anyone")
      ->option_text("[=read]")
      ->check(CLI::Validator(
          [](std::string& value) {
            return value == "true" || value == "read" ? std::string() : "takes =read or nothing, not =" + value;
          },
          ""));
}

// The options of the commands that model one data file.
void AddRunOptions(CLI::App* command, TRunOptions& options) {
  command->add_option("script", options.Script, "The script (.sw) whose model is run")->required();
  command->add_option("data", options.Data, "The data file to model")->required();
  command->add_flag("--progress", options.Progress, "Draw a progress bar on stderr (default: on a terminal, for files over 8 MiB)");
  command->add_flag("--no-progress", options.NoProgress, "Never draw a progress bar");
  AddModelOptions(command, options);
}

}  // namespace

int SwExitCodeOf(const ESkeinwork& error) {
  if (dynamic_cast<const ESwUsage*>(&error)) return ecUsage;
  if (dynamic_cast<const EStreamError*>(&error)) return ecFileError;
  return ecFailed;
}

namespace {

void WriteExcerpt(std::ostream& err, const TSwSourcePos& pos, const std::string& caption, const std::string& inputName) {
  std::string source = WideToUtf8(pos.Source);
  if (source == "<BufStream>" && !inputName.empty()) source = inputName;
  err << caption << source << fmt::format(", offset {:04X}h ({}) of {} bytes{}:\n", pos.Position, pos.Position, pos.Size,
                                          pos.Position > pos.Size ? ", past the end" : "");
  const int64_t excerptEnd = pos.ExcerptStart + static_cast<int64_t>(pos.Excerpt.size());
  const int64_t from = std::clamp(pos.Position - SwReportBytesAround, pos.ExcerptStart, excerptEnd);
  const int64_t to = std::clamp(pos.Position + SwReportBytesAround, from, excerptEnd);
  TSwHexDumpOptions dump;
  dump.BaseOffset = from;
  dump.Alignment = static_cast<int>(from % dump.BytesPerLine);
  dump.LineSeparator = "\n";
  dump.AsciiOnly = true;  // a terminal expects UTF-8
  std::string_view bytes(pos.Excerpt);
  err << SwFormatHexDump(bytes.substr(static_cast<size_t>(from - pos.ExcerptStart), static_cast<size_t>(to - from)),
                         dump, pos.Position)
      << '\n';
}

}  // namespace

std::string SwReportedMessage(const ESkeinwork& error) {
  std::string message = error.Message();
  if (dynamic_cast<const ESwmMismatch*>(&error)) {
    size_t cut = message.find(", input: ");
    if (cut != std::string::npos) message.erase(cut, message.find('\n', cut) - cut);
  }
  return message;
}

void SwWriteErrorReport(std::ostream& err, const ESkeinwork& error, const std::string& inputName) {
  err << SwReadableClassName(error.ClassName()) << ": " << SwReportedMessage(error) << '\n';
  TSwMismatchInfo* info = SwMismatchInfoOf(error);
  if (!info || info->Current.Source == u"<unknown>") return;
  WriteExcerpt(err, info->Current, "", inputName);
  if (info->HasGlobal()) WriteExcerpt(err, info->Global, "Global stream: ", inputName);
}

TSwRangeReader SwRangeReaderOf(TSwmSlicer* slicer) {
  if (!slicer) return {};
  // Nodes come in runs of the same stream: the last one's cache is kept.
  return [slicer, last = static_cast<TSwObject*>(nullptr), cache = static_cast<TBufStream*>(nullptr)](
             TSwObject* stream, int64_t offset, char* buffer, int64_t count) mutable -> int64_t {
    if (stream != last) {
      cache = slicer->Registered(stream);
      last = stream;
    }
    return cache ? cache->ReadAt(offset, buffer, count) : 0;
  };
}

int SwRunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                     const TSwCommandLineEnvironment& environment) {
  CLI::App app("Skeinwork: model-driven parsing of binary and text files.", "skeinwork");
  app.set_version_flag("--version", "Skeinwork " + SwVersionText(SwLibraryVersion));
  app.footer("Learn the model language from docs/guide.md; the reference is in docs/reference/.");
  app.require_subcommand(1);

  TModelOptions model;
  CLI::App* modelCommand = app.add_subcommand("model", "Model a data file with a script and print the result tree");
  AddRunOptions(modelCommand, model);
  AddTreeFormOptions(modelCommand, model);
  modelCommand->add_option("-o,--output", model.Output, "Write the tree to a file instead of stdout");
  modelCommand->add_flag("--partial", model.Partial, "After a failure, print the tree built so far before the error");

  TCheckOptions check;
  CLI::App* checkCommand = app.add_subcommand(
      "check", "Model many files with a script, several at a time, and print OK or FAIL for each in the order given");
  checkCommand->add_option("script", check.Script, "The script (.sw) whose model is run")->required();
  checkCommand->add_option("paths", check.Paths, "The files to model; folders too, with --recursive")->required();
  checkCommand->add_option("-j,--jobs", check.Jobs, "How many files are modelled at a time (default: one per core)")
      ->check(CLI::Range(1, 1024));
  checkCommand->add_flag("--json", check.Json, "Print one JSON object per line (JSON Lines)");
  checkCommand->add_flag("-r,--recursive", check.Recursive, "Check every file below the folders given");
  checkCommand
      ->add_option("--include", check.Includes,
                   "Check only the files in folders whose names match this glob (\"*.wav\"); may be given again")
      ->allow_extra_args(false);
  AddModelOptions(checkCommand, check);

  TIllustrateOptions illustrate;
  CLI::App* illustrateCommand = app.add_subcommand("illustrate", "Print a script's compiled model as a tree");
  illustrateCommand->add_option("script", illustrate.Script, "The script (.sw)")->required();
  illustrateCommand->add_flag("--json", illustrate.Json, "Print the tree as JSON");
  illustrateCommand->add_option("-o,--output", illustrate.Output, "Write to a file instead of stdout");

  TScriptOptions script;
  CLI::App* scriptCommand = app.add_subcommand("script", "Print a script's header, sections and options");
  scriptCommand->add_option("script", script.Script, "The script (.sw)")->required();
  scriptCommand->add_flag("--json", script.Json, "Print as JSON");
  scriptCommand->add_flag("--tree", script.Tree, "Print the script's own parse tree instead");
  scriptCommand->add_option("-o,--output", script.Output, "Write to a file instead of stdout");

  TSaveOptions save;
  CLI::App* saveCommand = app.add_subcommand("save", "Model a data file and save the result tree as a tree file (.swt)");
  AddRunOptions(saveCommand, save);
  saveCommand->add_option("tree", save.Tree, "The tree file to write (ranges that start within 2 GiB: its integers have 32 bits)")
      ->required();
  saveCommand->add_flag("--compress", save.Compress, "Compress the tree file");

  TLoadOptions load;
  CLI::App* loadCommand = app.add_subcommand("load", "Print a saved tree file (.swt)");
  loadCommand->add_option("tree", load.Tree, "The tree file")->required();
  AddTreeFormOptions(loadCommand, load);
  loadCommand->add_option("-o,--output", load.Output, "Write to a file instead of stdout");

  TExtractOptions extract;
  CLI::App* extractCommand =
      app.add_subcommand("extract", "Model a data file and write the data of every matching node to a file of its own");
  AddRunOptions(extractCommand, extract);
  extractCommand->add_option("--data", extract.DataPath, "Path of the data nodes (\"$prop\" picks the property; default inner)")
      ->required();
  extractCommand->add_option("--data-expr", extract.DataExpr,
                             "Expression that turns each data node into the file's content; yours, so its load and "
                             "save may use files whatever --allow-file-access says");
  CLI::Option* name = extractCommand->add_option("--name", extract.NamePath, "Path of the name node, relative to each data node");
  CLI::Option* nameExpr =
      extractCommand->add_option("--name-expr", extract.NameExpr,
                                "Expression that turns the name node into the name; yours, so its load and save may "
                                "use files");
  extractCommand->add_flag("--unique", extract.Unique, "Name every file by its data's offset")->excludes(name)->excludes(nameExpr);
  extractCommand->add_option("--format", extract.Format, "File name format; \"?\" stands for the name (default \"?.dat\")");
  extractCommand->add_flag("--keep-ext", extract.KeepExt, "Keep the format's extension even when the name has one");
  extractCommand->add_option("--to", extract.To, "The directory to write to (made when missing)")->required();

  TEvalOptions eval;
  CLI::App* evalCommand = app.add_subcommand(
      "eval", "Evaluate a model expression and print the value's forms; the expression is yours, so its load and save "
              "may use files");
  evalCommand->add_option("expression", eval.Expression, "The expression, e.g. \"2 3 +\"")->required();
  evalCommand->add_option("--input", eval.Input, "A file whose bytes the expression reads");
  evalCommand->add_option("--offset", eval.Offset, "Where in the file reading starts")->check(WholeNumber());
  evalCommand->add_flag("--json", eval.Json, "Print the value as JSON");
  AddMaxWorkOption(evalCommand, eval.MaxWork);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int code = app.exit(error, out, err);
    return code == 0 ? ecSuccess : ecUsage;
  }

  TContext context{out, err, environment, {}};
  TSignalGuard signals;
  auto command = [&] {
    if (modelCommand->parsed()) return ModelCommand(context, model);
    if (checkCommand->parsed()) return CheckCommand(context, check);
    if (illustrateCommand->parsed()) return IllustrateCommand(context, illustrate);
    if (scriptCommand->parsed()) return ScriptCommand(context, script);
    if (saveCommand->parsed()) return SaveCommand(context, save);
    if (loadCommand->parsed()) return LoadCommand(context, load);
    if (extractCommand->parsed()) return ExtractCommand(context, extract);
    if (evalCommand->parsed()) return EvalCommand(context, eval);
    return static_cast<int>(ecUsage);
  };
  try {
    TSwWorkMeter interruptible(&gCancelRequested, TSwWorkMeter::NoLimit, RaiseInterrupted);
    const int code = command();
    // What went to standard output must have arrived (a full disk, a closed pipe).
    out.flush();
    if (!out) SwRaise<EWriteError>("Cannot write the output.");
    return code;
  } catch (const ESkeinwork& error) {
    out.flush();
    SwWriteErrorReport(err, error, context.InputName);
    return SwExitCodeOf(error);
  } catch (const std::bad_alloc&) {
    out.flush();
    err << "Out Of Memory: the input needs more memory than there is.\n";
    return ecFailed;
  } catch (const std::exception& error) {
    // The stream container's errors have a root of their own.
    out.flush();
    err << SwReadableClassName(SwClassNameOf(typeid(error))) << ": " << error.what() << '\n';
    return ecFailed;
  }
}

}  // namespace skeinwork
