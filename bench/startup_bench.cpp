// Start-up: the time from launching the program to its main window shown and painted,
// offscreen. Each run starts a new process (this program with --child) that goes through
// the application's own start-up (sockets check, settings, main window, the probe of the
// stored adapter, shown maximised) and reports over a pipe when the window paints for
// the first time; the time runs from just before the fork to that report, so it holds
// loading the program and its libraries as well. The settings live in a temporary
// XDG_CONFIG_HOME that selects the loopback adapter, so the probe really opens it (this
// needs the right to capture). Prints the median and every run. When
// ORRISVANE_BENCH_RESULTS names a file, a summary line is appended to it.
//
// Usage: startup_bench [RUNS]

#include <QEvent>
#include <QTimer>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "app/sniffer_app.h"
#include "capture/adapters/adapters.h"
#include "capture/adapters/linux_registry.h"

namespace {

// Tells the parent when the main window paints for the first time, then ends the program.
class FirstPaint : public QObject {
 public:
  explicit FirstPaint(int fd) : fd_(fd) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && fd_ >= 0) {
      const char done = 'p';
      [[maybe_unused]] auto written = ::write(fd_, &done, 1);
      ::close(fd_);
      fd_ = -1;
      QTimer::singleShot(0, qApp, [] { qApp->quit(); });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  int fd_;
};

int Child(int fd, int argc, char** argv) {
  CSnifferApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  FirstPaint watcher(fd);
  app.MainFrame()->installEventFilter(&watcher);
  QTimer::singleShot(10000, &app, [] { qApp->exit(2); });
  return app.exec();
}

// Index of the loopback adapter in the program's adapter list, or -1.
int LoopbackIndex() {
  LinuxRegistry registry;
  AdapterEntry entries[20];
  std::uint32_t count = 0;
  if (!EnumerateAdapters(registry, entries, 20, &count)) return -1;
  for (std::uint32_t i = 0; i < count; ++i)
    if (std::strncmp(entries[i].description, "lo ", 3) == 0) return static_cast<int>(i);
  return -1;
}

// One launch; milliseconds to the first paint, or a negative number on failure.
double LaunchOnce(const std::string& self, const std::string& errors) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::close(fds[0]);
    // The child's messages go to a file, shown only when a launch fails.
    const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    const std::string fd = std::to_string(fds[1]);
    ::execl(self.c_str(), self.c_str(), "--child", fd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(fds[1]);
  char byte = 0;
  const bool painted = ::read(fds[0], &byte, 1) == 1;
  const auto end = std::chrono::steady_clock::now();
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!painted || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) return Child(std::atoi(argv[2]), argc, argv);

  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const int loopback = LoopbackIndex();
  if (loopback < 0) {
    std::fprintf(stderr, "startup_bench: no loopback adapter in the adapter list\n");
    return 1;
  }
  char folder[] = "/tmp/startup_bench.XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  const std::filesystem::path config = std::filesystem::path(folder) / ProfileOrganization;
  std::filesystem::create_directories(config);
  std::ofstream(config / (std::string(ProfileApplication) + ".conf"))
      << "[" << SettingsSection << "]\nAdapter=" << loopback << "\n";
  setenv("XDG_CONFIG_HOME", folder, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("XDG_RUNTIME_DIR", folder, 1);
  const std::string errors = std::string(folder) + "/child.err";

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double ms = LaunchOnce(self, errors);
    if (ms < 0) {
      std::fprintf(stderr, "startup_bench: launch %d did not show its window; it said:\n", i + 1);
      std::ifstream said(errors);
      for (std::string line; std::getline(said, line);) std::fprintf(stderr, "  %s\n", line.c_str());
      std::filesystem::remove_all(folder);
      return 1;
    }
    times.push_back(ms);
  }
  std::filesystem::remove_all(folder);
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  const double median = runs % 2 ? sorted[runs / 2] : (sorted[runs / 2 - 1] + sorted[runs / 2]) / 2;
  std::printf("launch to main window painted (offscreen, loopback adapter probed): median %.1f ms; runs:", median);
  for (double t : times) std::printf(" %.1f", t);
  std::printf("\n");

  const bool holds = median < 300;
  if (const char* path = std::getenv("ORRISVANE_BENCH_RESULTS"); path && *path) {
    char line[256];
    std::snprintf(line, sizeof line, "start-up, offscreen\tlaunch to window painted (ms)\t%.1f\t-\t-\t-\t< 300\t%s",
                  median, holds ? "yes" : "NO");
    std::ofstream(path, std::ios::app) << line << '\n';
  }
  return holds ? 0 : 1;
}
