// The viewer's tree over a large result: lines.csv of gen_bench_data.py (16 MiB, 1.8 million
// result nodes, 277,000 of them under the root) modelled once by the main window, then the
// steps a user waits for, each measured on the offscreen platform and painted: showing the tree
// at the end of the run, scrolling to the last row, expanding a line, filtering the whole tree
// by a name (with the longest the window waits for one slice of the filter as longest_slice_ms), and
// the extraction window counting the matches of a data path as it is typed. The memory the view adds
// to the result tree is reported as view_bytes; tree_bytes is what the run and the shown window
// took together.
#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeView>

#include <cstdio>
#include <memory>

#include "BenchInputs.h"
#include "ExtractWindow.h"
#include "MainWindow.h"
#include "ScriptedPrompter.h"
#include "SwAllocator.h"
#include "SwModelling.h"

namespace skeinwork {
namespace {

weftview::MainWindow* gWindow = nullptr;

QTreeView* View() { return gWindow->TreeView(); }

void Paint() { View()->viewport()->repaint(); }

// The tree as the end of the run leaves it: shown, nothing scrolled or expanded.
void ShowAfresh() {
  gWindow->Model().SetTree(nullptr, nullptr, 0);
  QApplication::processEvents();
  gWindow->ShowResultTree();
  Paint();
}

QModelIndex LastRow() { return gWindow->Model().index(gWindow->Model().rowCount() - 1, 0); }

void BM_ShowTreeAtRunEnd(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    gWindow->Model().SetTree(nullptr, nullptr, 0);
    QApplication::processEvents();
    state.ResumeTiming();
    gWindow->ShowResultTree();
    Paint();
  }
  state.counters["root_rows"] = gWindow->Model().rowCount();
}
BENCHMARK(BM_ShowTreeAtRunEnd)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScrollToLastRow(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ShowAfresh();
    state.ResumeTiming();
    View()->scrollToBottom();
    Paint();
  }
}
BENCHMARK(BM_ScrollToLastRow)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ExpandLine(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ShowAfresh();
    View()->scrollToBottom();
    Paint();
    state.ResumeTiming();
    View()->expand(LastRow());
    Paint();
  }
  state.counters["fields"] = gWindow->Model().rowCount(LastRow());
}
BENCHMARK(BM_ExpandLine)->Unit(benchmark::kMillisecond)->Iterations(5);

// Heap bytes a view adds to the shown tree when it lays out every root row, scrolls to the end
// and expands a line: a second view on the window's model, made afresh (a view keeps its row
// table's capacity across resets), and the rows the model remembers.
// Filters by a name most nodes have and by one a single node has, until the result is shown.
void BM_FilterWholeTree(benchmark::State& state, const char* text) {
  double longestSlice = 0;
  int64_t matches = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ShowAfresh();
    QSignalSpy finished(&gWindow->Filter(), &weftview::FilterTreeModel::Finished);
    state.ResumeTiming();
    gWindow->SetNameFilter(QString::fromLatin1(text));
    while (finished.isEmpty()) {
      QElapsedTimer slice;
      slice.start();
      QApplication::processEvents();
      longestSlice = std::max(longestSlice, slice.nsecsElapsed() / 1e6);
    }
    Paint();
    state.PauseTiming();
    matches = gWindow->Filter().MatchCount();
    gWindow->SetNameFilter({});
    state.ResumeTiming();
  }
  state.counters["matches"] = static_cast<double>(matches);
  state.counters["longest_slice_ms"] = longestSlice;
}
BENCHMARK_CAPTURE(BM_FilterWholeTree, many, "field")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_FilterWholeTree, few, "row12345")->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ViewMemory(benchmark::State& state) {
  size_t added = 0;
  for (auto _ : state) {
    gWindow->Model().SetTree(nullptr, nullptr, 0);
    QApplication::processEvents();
    const size_t before = SwHeapBytesInUse();
    gWindow->ShowResultTree();
    QTreeView view;
    view.setUniformRowHeights(true);
    view.setModel(&gWindow->Model());
    view.resize(View()->size());
    view.show();
    view.scrollToBottom();
    view.expand(LastRow());
    view.viewport()->repaint();
    added = SwHeapBytesInUse() - before;
  }
  state.counters["view_bytes"] = static_cast<double>(added);
}
BENCHMARK(BM_ViewMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// One key typed into the extraction window's data path: its matches counted (up to the bound)
// and the texts set. Paths: every line, every field, and fields of a name no field has, which
// walks the whole tree.
void BM_ExtractCountOnEdit(benchmark::State& state) {
  static const char* const kPaths[] = {"*", "*\\*", "*\\*z"};
  const QString path = QString::fromLatin1(kPaths[state.range(0)]);
  ShowAfresh();
  gWindow->findChild<QAction*>(QStringLiteral("btTExtractOnPath"))->trigger();
  auto* window = gWindow->findChild<weftview::ExtractWindow*>();
  auto* edit = window->findChild<QLineEdit*>(QStringLiteral("edDataPath"));
  for (auto _ : state) {
    edit->setText(path + QStringLiteral("\\"));
    edit->setText(path);  // a trailing separator is cut: the same count
  }
  state.SetLabel(path.toStdString() + ": " + window->findChild<QLabel*>(QStringLiteral("lbMatchingData"))->text().toStdString());
  window->hide();
}
BENCHMARK(BM_ExtractCountOnEdit)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace skeinwork

int main(int argc, char** argv) {
  using namespace skeinwork;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  const std::filesystem::path data = BenchInputPath("lines.csv");
  if (data.empty()) {
    std::fprintf(stderr, "cannot generate the benchmark inputs\n");
    return 1;
  }
  weftview::ScriptedPrompter prompter;
  QTemporaryDir settings;
  weftview::MainWindow window(settings.filePath(QStringLiteral("weftview.ini")), &prompter);
  gWindow = &window;
  window.resize(900, 600);
  window.show();
  QSignalSpy finished(&window.Run(), &weftview::RunController::Finished);
  const size_t before = SwHeapBytesInUse();
  window.OpenFiles({QStringLiteral(SKEINWORK_BENCH_MODELS "/lines.sw"), QString::fromStdString(data.string())});
  if (!finished.wait(600000) || finished.first().at(0).toInt() != weftview::kRunSucceeded) {
    std::fprintf(stderr, "the run of lines.csv failed\n");
    return 1;
  }
  benchmark::AddCustomContext("allocator", SwAllocatorName());
  benchmark::AddCustomContext("tree_bytes", std::to_string(SwHeapBytesInUse() - before));
  benchmark::AddCustomContext("result_nodes", std::to_string(SwCountNodes(window.Run().ShownRoot())));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
