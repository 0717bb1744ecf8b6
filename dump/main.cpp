// orrisvane-dump's process wiring: the real devices (live frames through the capture
// agent) and adapter list, and the signals that end a live capture through the stop
// handshake.

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/files/capture_file_device.h"
#include "capture/adapters/linux_registry.h"
#include "capture/devices/agent_device.h"
#include "capture/remote/remote_adapters.h"
#include "dump/dump.h"

namespace {

// A signal handler can reach nothing but a lock-free flag and a descriptor of static storage.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int interruptFd = -1;

extern "C" void OnInterrupt(int) {
  const int saved = errno;
  interrupted.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(interruptFd, &one, sizeof one);
  errno = saved;
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // The first Ctrl+C stops the capture and writes what was decoded; a second one, should
  // the stop ever hang, ends the process the ordinary way.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);

  LinuxRegistry registry;
  RemoteHosts remoteHosts(registry);
  DeviceTable devices;
  AgentOptions agent;
  agent.remoteHosts = &remoteHosts;
  RegisterAgentDevice(devices, agent);

  DumpEnvironment env;
  env.devices = &devices;
  env.registry = &registry;
  env.remoteHosts = &remoteHosts;
  env.registerCaptureFile = [](DeviceTable& table, std::string path) {
    RegisterCaptureFileDevice(table, std::move(path));
  };
  env.interrupted = &interrupted;
  interruptFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  env.interruptFd = interruptFd;

  CatchInterrupts();
  return RunDump(args, stdout, stderr, env);
}
