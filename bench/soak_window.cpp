// The window's side of the soak (bench/soak): the application as `orrisvane` starts it
// (its settings, its spool folder, the capture agent), which starts a trace at once and
// runs it for SECONDS, then stops it and ends. Every INTERVAL seconds, and once more after
// Stop, it prints one line:
//   seconds resident_KiB rows_listed rows_left packets kernel_drops
// where packets are the rows made so far (the next packet number) and kernel_drops the
// drops the status bar shows.
//
// Usage: soak-window SECONDS INTERVAL [Qt options]   (the adapter and the list's bound come
//        from the settings, as for the program itself)

#include <QLabel>
#include <QTimer>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/main_frame.h"
#include "app/sniffer_app.h"
#include "ui/report_list_view.h"
#include "ui/row_model.h"

namespace {

long long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The count the drops pane shows ("N Dropped"), 0 while it is hidden.
long long KernelDrops(const CMainFrame& frame) {
  const QLabel* pane = frame.Pane(7);
  return pane && pane->isVisibleTo(&frame) ? std::atoll(pane->text().toLatin1().constData()) : 0;
}

void Sample(CMainFrame& frame, double seconds) {
  const RowModel& model = frame.ListView().Model();
  std::printf("%.1f %lld %lld %lld %lld %lld\n", seconds, ResidentKiB(), static_cast<long long>(model.rowCount()),
              static_cast<long long>(model.RowsLeft()), static_cast<long long>(model.NextPacketNumber()),
              KernelDrops(frame));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: soak-window SECONDS INTERVAL\n");
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  const double interval = std::atof(argv[2]);
  CSnifferApp app(argc, argv);
  if (!app.InitInstance()) return 1;
  CMainFrame& frame = *app.MainFrame();

  double elapsed = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &frame, [&] {
    elapsed += interval;
    Sample(frame, elapsed);
    if (elapsed + interval / 2 < seconds) return;
    tick.stop();
    frame.OnStop();
    Sample(frame, elapsed);
    frame.close();
    app.quit();
  });
  QTimer::singleShot(500, &frame, [&] {
    frame.OnStart();
    if (!frame.Control().IsTracing()) {
      std::fprintf(stderr, "soak-window: the trace did not start\n");
      app.exit(1);
      return;
    }
    Sample(frame, 0);
    tick.start(static_cast<int>(interval * 1000));
  });
  return app.exec();
}
