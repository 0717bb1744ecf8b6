#pragma once
// The application: checks that sockets work, names the settings profile, builds the
// devices, the adapter list and the main window, and shows it maximised.

#include <QApplication>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "capture/adapters/linux_registry.h"
#include "capture/driver/packet_device.h"
#include "capture/spool/spool.h"
#include "capture/remote/remote_adapters.h"

class CMainFrame;
class QSettingsProfile;

inline constexpr char SocketsFailedMessage[] = "Windows sockets initialization failed.";

// Whether the machine lets the program open a socket at all.
bool SocketsAvailable();

// What the command line asks for.
struct CommandLine {
  enum class Action { Run, Help, UsageError };
  Action action = Action::Run;
  // --adapter N: the adapter of this run in place of the stored one.
  std::optional<std::int32_t> adapterIndex;
  // FILE: a capture file to show once the window is open.
  std::optional<std::string> file;
  std::string error;  // UsageError: what is wrong, for standard error
};

inline constexpr int UsageExitStatus = 2;

// Qt's own options (-platform, -style, ...) are not known here. With othersPassed, an
// argument that is not the program's is passed over: the first look, before QApplication
// (which needs a display), so that --help and a wrong --adapter are answered without one.
// Without it such an argument is an error: the second look, at what QApplication left.
CommandLine ParseCommandLine(std::span<const std::string> args, bool othersPassed = false);
// The text --help prints.
const char* CommandLineHelp();

class CSnifferApp : public QApplication {
  Q_OBJECT

 public:
  CSnifferApp(int& argc, char** argv);
  ~CSnifferApp() override;

  // Start-up in order: sockets, profile names, main window, shown maximised. False when
  // the program must end (the reason has been shown). adapterIndex: see CMainFrame.
  // file, when given, is opened once the window shows.
  bool InitInstance(std::optional<std::int32_t> adapterIndex = std::nullopt,
                    const std::optional<std::string>& file = std::nullopt);
  CMainFrame* MainFrame() const { return frame_.get(); }

 private:
  DeviceTable devices_;
  LinuxRegistry registry_;
  // The adapter list: the machine's own, then the remote hosts' (see remote_adapters.h).
  RemoteHosts adapters_{registry_};
  std::unique_ptr<QSettingsProfile> profile_;
  // Outlives the window, whose spools are made in it.
  std::unique_ptr<SpoolFolder> spools_;
  std::unique_ptr<CMainFrame> frame_;
};
