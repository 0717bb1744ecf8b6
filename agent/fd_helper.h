#pragma once
// The fd folders of /proc for an agent run as root. Without capabilities root reads no
// other process's /proc/PID/fd (the kernel asks for the right to trace any process whose
// capabilities exceed the reader's, and root's processes hold them all), yet the agent
// gives up every capability. So before it does, it starts this helper: a child that keeps
// only the right to trace (CAP_SYS_PTRACE), reads nothing but the fd links of the PIDs it
// is sent and answers with their socket inodes, and ends with its pipe.

#include <optional>

#include "agent/socket_owners.h"

class FdHelper {
 public:
  // Forks the helper; nothing when the agent is not root or the helper cannot start (the
  // agent then reads the folders it can itself).
  static std::optional<FdHelper> Start();
  FdHelper(FdHelper&& other) noexcept;
  FdHelper& operator=(FdHelper&&) = delete;
  ~FdHelper();

  // Asks the helper; valid while the helper object lives.
  FdReader Reader();

 private:
  FdHelper(int socket, int pid) : socket_(socket), pid_(pid) {}
  int socket_;
  int pid_;
};
