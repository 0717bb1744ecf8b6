#include "app/sniffer_app.h"

#include <QFile>
#include <QIcon>
#include <QTimer>
#include <QMessageBox>
#include <charconv>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "app/main_frame.h"
#include "app/settings_store.h"
#include "capture/adapters/adapters.h"
#include "capture/devices/agent_device.h"
#include "ui/window_heap.h"

bool SocketsAvailable() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

CommandLine ParseCommandLine(std::span<const std::string> args, bool othersPassed) {
  CommandLine line;
  auto fail = [&line](std::string message) {
    line = CommandLine{};
    line.action = CommandLine::Action::UsageError;
    line.error = std::move(message);
    return line;
  };
  const std::string range = "an adapter index from 0 to " + std::to_string(HighestAdapterIndex);
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A capture file. On the first look a word without a dash may be the value of one of
    // Qt's options (-platform offscreen), so only the second look takes it.
    if (optionsEnded || !arg.starts_with("-") || arg == "-") {
      if (othersPassed) continue;
      if (line.file) return fail("only one capture file can be opened: '" + *line.file + "' and '" + arg + "'");
      line.file = arg;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      line.action = CommandLine::Action::Help;
      return line;
    }
    std::string value;
    if (arg == "--adapter") {
      if (i + 1 >= args.size()) return fail("--adapter needs " + range);
      value = args[++i];
    } else if (arg.starts_with("--adapter=")) {
      value = arg.substr(std::string_view("--adapter=").size());
    } else if (othersPassed) {
      continue;
    } else {
      return fail("unknown argument '" + arg + "'");
    }
    // Digits only: "+3", " 3" and "3x" are typing errors, not adapter 3.
    std::int32_t index = -1;
    const char* end = value.data() + value.size();
    const auto [stop, code] = std::from_chars(value.data(), end, index);
    if (value.empty() || code != std::errc() || stop != end || index < 0 || index > HighestAdapterIndex)
      return fail("--adapter: '" + value + "' is not " + range);
    line.adapterIndex = index;
  }
  return line;
}

const char* CommandLineHelp() {
  static const std::string highest = std::to_string(HighestAdapterIndex);
  static const std::string text =
      "Usage: orrisvane [--adapter N] [FILE]\n"
      "\n"
      "Shows every Ethernet frame one network adapter sees, one row each; with FILE, the\n"
      "frames of that pcap or pcapng capture file.\n"
      "\n"
      "Options:\n"
      "  --adapter N  Use adapter N (0 to " + highest + ") for this run in place of the one stored in\n"
      "               the settings, for example when that one is gone. Once the window is\n"
      "               open the choice is stored at exit, as one made in Settings is.\n"
      "               orrisvane-dump -D lists the adapters with their indexes.\n"
      "  -h, --help   Show this text and end.\n"
      "\n"
      "Qt's own options (-platform, -style, ...) are taken as well.\n";
  return text.c_str();
}

CSnifferApp::CSnifferApp(int& argc, char** argv) : QApplication(argc, argv) { MapLargeBlocksOnTheirOwn(); }

CSnifferApp::~CSnifferApp() {
  // The window (and a trace it runs) goes before the devices and the registry it uses.
  frame_.reset();
}

bool CSnifferApp::InitInstance(std::optional<std::int32_t> adapterIndex, const std::optional<std::string>& file) {
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

  // Frames come from the capture agent, the one program that holds the capture
  // capability; this process never opens a raw socket.
  AgentOptions agent;
  agent.remoteHosts = &adapters_;
  RegisterAgentDevice(devices_, agent);
  profile_ = std::make_unique<QSettingsProfile>();
  // Taking the spool folder also removes the spools of an earlier run that died.
  std::string spoolProblem;
  spools_ = SpoolFolder::Open(DefaultSpoolFolder(), &spoolProblem);
  frame_ = std::make_unique<CMainFrame>(CaptureEnvironment{devices_, adapters_, spools_.get(), &adapters_}, *profile_, nullptr,
                                        adapterIndex);
  if (frame_->StartupFailed()) return false;
  frame_->showMaximized();
  if (!spools_) {
    MessageBoxPresenter().Show(frame_.get(),
                               QStringLiteral("Frames will not be kept on disk: their bytes cannot be shown or saved."),
                               QString::fromStdString(spoolProblem));
  }
  if (file) {
    // After the window has taken its final size and placed its columns.
    QTimer::singleShot(0, frame_.get(), [frame = frame_.get(), path = QFile::decodeName(file->c_str())] {
      frame->OpenFile(path);
    });
  }
  return true;
}
