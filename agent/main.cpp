// orrisvane-capture's process wiring: the signals that end a capture, a closed output
// that ends it quietly, and the real interface list.

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "capture/adapters/linux_registry.h"
#include "capture/devices/pcap_device.h"

namespace {

// A signal handler can reach nothing but a lock-free flag and a descriptor of static storage.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int wakeFd = -1;

extern "C" void OnStop(int) {
  const int saved = errno;
  stopRequested.store(true);
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
  errno = saved;
}

void CatchSignals() {
  // A closed output shows as a failed write (EPIPE) and ends the capture normally.
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a full pipe returns, and the loop sees the stop.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // The agent holds the capture rights for whoever starts it: nothing the caller puts in
  // the environment may steer a library it runs (libpcap's, D-Bus's, the resolver's).
  ::clearenv();
  std::vector<std::string> args(argv + 1, argv + argc);
  wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  CatchSignals();
  // Started by the window or orrisvane-dump, the agent must not outlive them. The death
  // signal their child asked for is cleared when a program with file capabilities is
  // executed, so the agent asks for it again. A parent that died before this line is
  // noticed through the closed output, at the next write (the statistics each second).
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);

  DeviceTable devices;
  RegisterPcapDevice(devices, "/sys", PcapDeviceUse::DescribeOnly);
  LinuxRegistry registry;

  AgentEnvironment env;
  env.stop = &stopRequested;
  env.wakeFd = wakeFd;
  env.devices = &devices;
  env.registry = &registry;
  if (const char* session = std::getenv("SSH_CONNECTION")) env.sshConnection = session;
  return RunAgent(args, env);
}
