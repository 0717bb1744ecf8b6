#include "app/sniffer_app.h"

#include <QIcon>
#include <QMessageBox>
#include <sys/socket.h>
#include <unistd.h>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "capture/pcap_device.h"

bool SocketsAvailable() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

CSnifferApp::CSnifferApp(int& argc, char** argv) : QApplication(argc, argv) {}

CSnifferApp::~CSnifferApp() {
  // The window (and a trace it runs) goes before the devices and the registry it uses.
  frame_.reset();
}

bool CSnifferApp::InitInstance() {
  if (!SocketsAvailable()) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(ApplicationTitle),
                    QString::fromLatin1(SocketsFailedMessage), QMessageBox::Ok);
    box.exec();
    return false;
  }

  setOrganizationName(QString::fromLatin1(ProfileOrganization));
  setApplicationName(QString::fromLatin1(ProfileApplication));
  setDesktopFileName(QStringLiteral("orrisvane"));
  QIcon icon;
  icon.addFile(QStringLiteral(":/images/icon16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/images/icon32.png"), QSize(32, 32));
  setWindowIcon(icon);

  RegisterPcapDevice(devices_);
  profile_ = std::make_unique<QSettingsProfile>();
  frame_ = std::make_unique<CMainFrame>(CaptureEnvironment{devices_, registry_}, *profile_);
  if (frame_->StartupFailed()) return false;
  frame_->showMaximized();
  return true;
}
