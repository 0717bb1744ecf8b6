// Opening a capture file in the window: the main window (offscreen, over the scripted
// adapter, the start-up columns) opens the one-million-frame mix as File > Open does, and
// the time runs from the command until the last row is in the list. Meanwhile the longest
// gap between two turns of the user-interface thread's event loop is measured. The title
// must then end in "- 1000000 packets". A second set of runs has the traffic graph shown,
// which must then count every frame.
//
// Each run is a process of its own; the parent prints the median time and the worst pause
// of the runs. When ORRISVANE_BENCH_RESULTS names a file, summary lines are appended to it.
//
// Usage: open_file_bench [RUNS]   (the capture: $CAPTURES/mix-1M.pcap, made by
//        make-captures beside this program when missing)
//        open_file_bench --one|--one-graph FILE   (one run, one result line)

#include <QApplication>
#include <QDockWidget>
#include <QSettings>
#include <QTemporaryDir>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "app/traffic_watch.h"
#include "bench/event_loop_watch.h"
#include "bench/bench_captures.h"
#include "tests/support/fake_machine.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"
#include "ui/window_heap.h"

namespace {

constexpr std::int64_t kRows = 1000000;
constexpr double TargetSeconds = 1.0;
constexpr double TargetPauseMs = 50;

double CpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class Messages : public MessagePresenter {
 public:
  int Show(QWidget*, const QString& text, const QString& informative) override {
    std::fprintf(stderr, "open_file_bench: message: %s %s\n", qPrintable(text), qPrintable(informative));
    return 0;
  }
};

int MeasureOnce(const char* file, bool graph) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "open_file_bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  QTemporaryDir dir;
  QSettingsProfile profile(dir.filePath(QStringLiteral("profile.conf")), QSettings::IniFormat);
  FakeMachine machine;
  machine.AddAdapters(1);
  Messages messages;
  CMainFrame frame(machine.Environment(), profile, &messages);
  frame.resize(1200, 800);
  frame.show();
  if (graph) frame.Traffic().GraphDock().show();
  QCoreApplication::processEvents();

  EventLoopWatch watch(frame.ListView().Model(), kRows);
  const double uiBefore = CpuSeconds(CLOCK_THREAD_CPUTIME_ID), allBefore = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  watch.Run([&] { frame.OpenFile(QString::fromLocal8Bit(file)); });
  const double uiCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - uiBefore;
  const double allCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - allBefore;
  // The load ends after its last row is listed.
  while (frame.IsLoading()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);

  const std::int64_t rows = frame.ListView().Model().rowCount();
  const bool titled = frame.windowTitle().endsWith(QStringLiteral("- 1000000 packets"));
  frame.Traffic().RefreshNow();
  const bool fullGraph = !graph || frame.Traffic().Stats().Frames() == kRows;
  if (rows != kRows || !titled || !fullGraph) {
    std::fprintf(stderr, "open_file_bench: %lld rows listed, title \"%s\"\n", static_cast<long long>(rows),
                 qPrintable(frame.windowTitle()));
    return 1;
  }
  // seconds to the last row, longest pause (ms), rows listed when it ended, processor
  // seconds meanwhile of the user-interface thread and of the whole process
  std::printf("%.4f %.2f %lld %.3f %.3f\n", static_cast<double>(watch.doneAtNs) / 1e9,
              static_cast<double>(watch.longestPauseNs) / 1e6, static_cast<long long>(watch.pauseAtRows), uiCpu,
              allCpu);
  return 0;
}

struct Result {
  double seconds = 0, pauseMs = 0;
  long long pauseAtRows = 0;
  double uiCpu = 0, allCpu = 0;
};

bool RunChild(const std::string& self, const std::string& file, bool graph, Result& out) {
  std::string command = "'";
  command.append(self).append(graph ? "' --one-graph '" : "' --one '").append(file).append("'");
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  const int n =
      std::fscanf(pipe, "%lf %lf %lld %lf %lf", &out.seconds, &out.pauseMs, &out.pauseAtRows, &out.uiCpu, &out.allCpu);
  const int status = ::pclose(pipe);
  return n == 5 && status == 0;
}

void AppendResult(const char* format, double value, const char* target, bool holds) {
  const char* path = std::getenv("ORRISVANE_BENCH_RESULTS");
  if (!path || !*path) return;
  char line[256];
  std::snprintf(line, sizeof line, format, value);
  std::ofstream(path, std::ios::app) << line << "\t-\t-\t-\t" << target << '\t' << (holds ? "yes" : "NO") << '\n';
}

// The runs of one kind (the graph shown or not), their figures printed and appended.
int Measure(const std::string& self, const std::string& file, int runs, bool graph) {
  std::vector<double> seconds, pauses, uiCpu, allCpu;
  int status = 0;
  for (int i = 0; i < runs && status == 0; ++i) {
    Result r;
    if (!RunChild(self, file, graph, r)) {
      std::fprintf(stderr, "open_file_bench: a run failed\n");
      status = 1;
      break;
    }
    seconds.push_back(r.seconds);
    pauses.push_back(r.pauseMs);
    uiCpu.push_back(r.uiCpu);
    allCpu.push_back(r.allCpu);
  }
  if (status != 0) return status;

  std::vector<double> sorted = seconds;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.size() % 2 ? sorted[sorted.size() / 2]
                                          : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
  const double worstPause = *std::max_element(pauses.begin(), pauses.end());
  std::printf("%d runs over %s (offscreen main window, start-up columns%s)\n", runs, file.c_str(),
              graph ? ", traffic graph shown" : "");
  std::printf("open to last row listed: %.3f s median (runs:", median);
  for (double s : seconds) std::printf(" %.3f", s);
  std::printf(")\nlongest event-loop pause: %.1f ms (worst run; runs:", worstPause);
  for (double p : pauses) std::printf(" %.1f", p);
  // Processor time does not depend on what else the machine runs: it shows what the two
  // threads need, where a busy machine stretches the wall time.
  std::printf(")\nprocessor time meanwhile (s), user-interface thread / whole process:");
  for (std::size_t i = 0; i < uiCpu.size(); ++i) std::printf(" %.2f/%.2f", uiCpu[i], allCpu[i]);
  std::printf("\n");

  const bool timeHolds = median <= TargetSeconds, pauseHolds = worstPause <= TargetPauseMs;
  AppendResult(graph ? "open file, mix-1M, graph shown\tseconds to the last row listed\t%.3f"
                     : "open file, mix-1M\tseconds to the last row listed\t%.3f",
               median, "<= 1.0", timeHolds);
  AppendResult(graph ? "open file, mix-1M, graph shown\tlongest event-loop pause (ms)\t%.1f"
                     : "open file, mix-1M\tlongest event-loop pause (ms)\t%.1f",
               worstPause, "<= 50", pauseHolds);
  return timeHolds && pauseHolds ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  MapLargeBlocksOnTheirOwn();  // as the window's process
  if (argc == 3 && std::strcmp(argv[1], "--one") == 0) return MeasureOnce(argv[2], false);
  if (argc == 3 && std::strcmp(argv[1], "--one-graph") == 0) return MeasureOnce(argv[2], true);

  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::filesystem::path file = bench::CapturesFolder() / "mix-1M.pcap";
  if (!bench::EnsureCaptures("open_file_bench", {file})) return 1;
  const bench::OwnRuntimeFolder runtime("open_file_bench");

  int status = 0;
  for (const bool graph : {false, true}) {
    if (Measure(self.string(), file.string(), runs, graph) != 0) status = 1;
  }
  return status;
}

