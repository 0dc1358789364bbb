// `skeinwork check` over a corpus of 2,000 small files, one and two at a time, against a shell
// loop that starts `skeinwork model` once per file, as people checked a corpus before.
//
// The corpus is made on first use in a fresh temporary folder: 400 files per example format, the
// example's sample with variations (rows and sections added to the text formats, data bytes
// changed in the binary ones), every tenth cut short and every tenth another with bytes put in its
// middle. CheckCorpus checks it with one run per format, as the shell loop models it;
// CheckOneRun checks 2,000 such variations of the WAV sample in one run, so that the program's
// start (the same for one thread or two) is paid once. Each benchmark reports the wall time of
// its files and files per second; the speed-ups are the ratios of those times.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kFilesPerFormat = 400;
constexpr int kFilesInOneRun = 2000;

struct TFormat {
  const char* Script;
  const char* Sample;
};
const TFormat kFormats[] = {{"riff-wav.sw", "sample.wav"},
                            {"bmp.sw", "sample.bmp"},
                            {"png.sw", "sample.png"},
                            {"csv.sw", "sample.csv"},
                            {"ini.sw", "sample.ini"}};

std::string Example(const std::string& name) {
  return std::string(SKEINWORK_EXAMPLES_DIR) + "/" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The i-th variation of a sample: mostly files the model takes, some it does not.
std::string Variation(const std::string& sample, const std::string& extension, int i) {
  if (i % 10 == 0) return sample.substr(0, sample.size() * 2 / 3);
  std::string data = sample;
  if (i % 10 == 5) return data.insert(data.size() / 2, "\x01junk\x02");
  if (extension == "csv") {
    for (int k = 0; k < i % 7; ++k)
      data += "item" + std::to_string(k) + ",green," + std::to_string(i * k) + "\n";
  } else if (extension == "ini") {
    data += "\n[extra" + std::to_string(i) + "]\n";
    for (int k = 0; k < i % 5; ++k)
      data += "key" + std::to_string(k) + " = " + std::to_string(i + k) + "\n";
  } else if (extension == "png") {
    data[data.find("example") + 6] = static_cast<char>('a' + i % 26);  // the comment's text
  } else {
    data.back() = static_cast<char>(i);  // a sample or pixel byte
  }
  return data;
}

fs::path gCorpusMade;  // removed at the end

std::string Extension(const TFormat& format) {
  return fs::path(format.Sample).extension().string().substr(1);
}

// Writes `count` variations of a format's sample into `folder`.
void WriteVariations(const TFormat& format, const fs::path& folder, int count) {
  const std::string sample = ReadAll(Example(format.Sample));
  const std::string extension = Extension(format);
  fs::create_directories(folder);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d.%s", i, extension.c_str());
    std::ofstream(folder / name, std::ios::binary) << Variation(sample, extension, i);
  }
}

// The corpus folder, with one subfolder per format, and "one-run" with the WAV variations of
// CheckOneRun; made once.
const fs::path& Corpus() {
  static const fs::path corpus = [] {
    std::string pattern = (fs::temp_directory_path() / "skeinwork_check_bench_XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    const fs::path root = pattern;
    gCorpusMade = root;
    for (const TFormat& format : kFormats)
      WriteVariations(format, root / Extension(format), kFilesPerFormat);
    WriteVariations(kFormats[0], root / "one-run", kFilesInOneRun);
    return root;
  }();
  return corpus;
}

// Runs a program with its output sent to /dev/null; answers its exit code.
int RunQuietly(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  int status = -1;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0)
    ::waitpid(child, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Check(benchmark::State& state, const TFormat& format, const fs::path& folder) {
  // 1: some files did not fit (the text formats take most changes in their stride).
  const int code = RunQuietly({SKEINWORK_PROGRAM, "check", "-j", std::to_string(state.range(0)),
                               "-r", Example(format.Script), folder.string()});
  if (code != 0 && code != 1)
    state.SkipWithError(("check ended with exit code " + std::to_string(code)).c_str());
}

void SetFilesPerSecond(benchmark::State& state, int files) {
  state.counters["files_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * files, benchmark::Counter::kIsRate);
}

void OneAndTwoJobs(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgName("jobs")
      ->Arg(1)
      ->Arg(2)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(5);
}

void CheckCorpus(benchmark::State& state) {
  const fs::path& corpus = Corpus();
  for (auto _ : state)
    for (const TFormat& format : kFormats) Check(state, format, corpus / Extension(format));
  SetFilesPerSecond(state, kFilesPerFormat * static_cast<int>(std::size(kFormats)));
}
BENCHMARK(CheckCorpus)->Apply(OneAndTwoJobs);

void CheckOneRun(benchmark::State& state) {
  const fs::path& corpus = Corpus();
  for (auto _ : state) Check(state, kFormats[0], corpus / "one-run");
  SetFilesPerSecond(state, kFilesInOneRun);
}
BENCHMARK(CheckOneRun)->Apply(OneAndTwoJobs);

void ShellLoopOfModel(benchmark::State& state) {
  const fs::path& corpus = Corpus();
  std::string loop;
  for (const TFormat& format : kFormats) {
    const std::string folder = (corpus / Extension(format)).string();
    loop += "for f in '" + folder + "'/*; do '" + SKEINWORK_PROGRAM + "' model '" +
            Example(format.Script) + "' \"$f\" >/dev/null 2>&1; done; ";
  }
  for (auto _ : state) RunQuietly({"/bin/sh", "-c", loop});
  SetFilesPerSecond(state, kFilesPerFormat * static_cast<int>(std::size(kFormats)));
}
BENCHMARK(ShellLoopOfModel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  if (!gCorpusMade.empty()) fs::remove_all(gCorpusMade, ignored);
  return 0;
}
