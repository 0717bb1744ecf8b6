#pragma once
// The application: checks that sockets work, names the settings profile, builds the
// devices, the adapter list and the main window, and shows it maximised.

#include <QApplication>
#include <memory>

#include "capture/linux_registry.h"
#include "capture/packet_device.h"

class CMainFrame;
class QSettingsProfile;

inline constexpr char SocketsFailedMessage[] = "Windows sockets initialization failed.";

// Whether the machine lets the program open a socket at all.
bool SocketsAvailable();

class CSnifferApp : public QApplication {
  Q_OBJECT

 public:
  CSnifferApp(int& argc, char** argv);
  ~CSnifferApp() override;

  // Start-up in order: sockets, profile names, main window, shown maximised. False when
  // the program must end (the reason has been shown).
  bool InitInstance();
  CMainFrame* MainFrame() const { return frame_.get(); }

 private:
  DeviceTable devices_;
  LinuxRegistry registry_;
  std::unique_ptr<QSettingsProfile> profile_;
  std::unique_ptr<CMainFrame> frame_;
};
