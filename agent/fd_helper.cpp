#include "agent/fd_helper.h"

#include <signal.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "agent/fd_io.h"

namespace {

// The most inodes one answer carries; a process holding more is answered in part.
constexpr std::uint32_t MostInodes = 1 << 16;
constexpr std::uint32_t NotReadable = 0xFFFFFFFF;

// Every capability but CAP_SYS_PTRACE goes, for good.
bool KeepOnlyTracing() {
  for (cap_value_t cap = 0; cap < cap_max_bits(); ++cap) {
    if (cap != CAP_SYS_PTRACE && cap_drop_bound(cap) != 0 && errno != EINVAL) return false;
  }
  cap_t caps = cap_init();
  if (caps == nullptr) return false;
  const cap_value_t keep[] = {CAP_SYS_PTRACE};
  const bool set = cap_set_flag(caps, CAP_PERMITTED, 1, keep, CAP_SET) == 0 &&
                   cap_set_flag(caps, CAP_EFFECTIVE, 1, keep, CAP_SET) == 0 && cap_set_proc(caps) == 0;
  cap_free(caps);
  return set && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

[[noreturn]] void Serve(int socket) {
  const FdReader read = ProcFdReader("/proc");
  std::vector<std::uint64_t> inodes;
  std::uint32_t pid = 0;
  while (ReadAll(socket, &pid, sizeof pid)) {
    inodes.clear();
    std::uint32_t count = read(pid, inodes) ? static_cast<std::uint32_t>(std::min<std::size_t>(inodes.size(), MostInodes))
                                            : NotReadable;
    if (!WriteAll(socket, &count, sizeof count)) break;
    if (count != NotReadable && !WriteAll(socket, inodes.data(), count * sizeof(std::uint64_t))) break;
  }
  ::_exit(0);
}

}  // namespace

std::optional<FdHelper> FdHelper::Start() {
  if (::getuid() != 0) return std::nullopt;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Nothing of the agent's but its end of the pair: not the capture socket, not the
    // stream, not the settings on the input.
    if (::dup2(pair[1], 3) != 3) ::_exit(1);
    ::closefrom(4);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);
    if (!KeepOnlyTracing()) ::_exit(1);
    Serve(3);
  }
  ::close(pair[1]);
  return FdHelper(pair[0], pid);
}

FdHelper::FdHelper(FdHelper&& other) noexcept
    : socket_(std::exchange(other.socket_, -1)), pid_(std::exchange(other.pid_, -1)) {}

FdHelper::~FdHelper() {
  if (socket_ >= 0) ::close(socket_);  // the helper ends at the end of its input
  if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

FdReader FdHelper::Reader() {
  return [socket = socket_](std::uint32_t pid, std::vector<std::uint64_t>& inodes) {
    std::uint32_t count = 0;
    if (!WriteAll(socket, &pid, sizeof pid) || !ReadAll(socket, &count, sizeof count) || count == NotReadable)
      return false;
    const std::size_t start = inodes.size();
    inodes.resize(start + count);
    return ReadAll(socket, inodes.data() + start, count * sizeof(std::uint64_t));
  };
}
