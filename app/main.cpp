// Orrisvane: the window.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>
#include <cstdlib>
#include <memory>

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

}  // namespace

int main(int argc, char** argv) {
  CSnifferApp app(argc, argv);
  if (!app.InitInstance()) return EXIT_FAILURE;
  const QString screenshot = qEnvironmentVariable("ORRISVANE_SCREENSHOT");
  if (!screenshot.isEmpty()) ArmScreenshot(*app.MainFrame(), screenshot);
  return app.exec();
}
