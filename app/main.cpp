// Orrisvane: the window.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/main_frame.h"
#include "app/sniffer_app.h"

namespace {

// scripts/screenshot sets ORRISVANE_SCREENSHOT to a PNG path: the program then starts a
// trace at once, says so by creating "<path>.tracing", waits for "<path>.shoot" (at most
// 30 seconds), saves a picture of its window to the path and quits.
void ArmScreenshot(CMainFrame& frame, const QString& path) {
  QTimer::singleShot(500, &frame, [&frame, path] {
    frame.OnStart();
    QFile marker(path + QStringLiteral(".tracing"));
    if (marker.open(QIODevice::WriteOnly)) marker.close();
    auto* poll = new QTimer(&frame);
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, &frame, [&frame, path, poll, waited] {
      *waited += 100;
      if (!QFileInfo::exists(path + QStringLiteral(".shoot")) && *waited < 30000) return;
      poll->stop();
      frame.grab().save(path, "PNG");
      frame.close();
    });
    poll->start(100);
  });
}

// The exit status for --help or a usage error, after saying it.
int EndEarly(const CommandLine& line) {
  if (line.action == CommandLine::Action::Help) {
    std::fputs(CommandLineHelp(), stdout);
    return std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
  }
  std::fprintf(stderr, "orrisvane: %s\nTry 'orrisvane --help'.\n", line.error.c_str());
  return UsageExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine early = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), true);
  if (early.action != CommandLine::Action::Run) return EndEarly(early);
  // QApplication takes its own options out of argv; the rest must be the program's.
  CSnifferApp app(argc, argv);
  const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (line.action != CommandLine::Action::Run) return EndEarly(line);
  if (!app.InitInstance(line.adapterIndex, line.file)) return EXIT_FAILURE;
  const QString screenshot = qEnvironmentVariable("ORRISVANE_SCREENSHOT");
  if (!screenshot.isEmpty()) ArmScreenshot(*app.MainFrame(), screenshot);
  return app.exec();
}
