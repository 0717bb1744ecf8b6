#pragma once
// Which process owns the socket of a captured frame, found on the agent's host without
// any capability: the kernel's socket diagnostics (netlink NETLINK_SOCK_DIAG) list every
// TCP and UDP socket with its addresses, its owner's uid and its inode, and a process's
// /proc/PID/fd links name the socket inodes it holds. The agent reads the fd folders it
// may read: those of its own user's processes, or every one when it runs as root; for
// the others it knows only the uid.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/process_owner.h"

// One end of a flow as the frames and the socket list name it. An IPv4 address is kept
// in the first four bytes; an IPv6 socket's IPv4-mapped address reads as IPv4.
struct SocketEnd {
  bool ipv6 = false;
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;
  bool operator==(const SocketEnd&) const = default;
};

// A socket of the host as the socket diagnostics list it.
struct HostSocket {
  std::uint8_t protocol = 0;  // 6 TCP, 17 UDP
  SocketEnd local;
  SocketEnd remote;           // port 0: any (a listening or unconnected socket)
  std::uint32_t uid = 0;
  std::uint64_t inode = 0;    // 0: no process holds it (time-wait, not yet accepted)
};

enum class DumpStep { More, Done, Failed, NoSuchSocket };
// Reads the messages of one part of a socket-diagnostics dump reply (TCP or UDP, as
// asked) into out: More while the dump goes on, Done at its end, Failed (with *why) for
// an error message or a message that does not fit the bytes. NoSuchSocket is the
// kernel's answer to a single socket's query when it has none.
DumpStep ParseSocketDump(std::span<const std::uint8_t> bytes, std::uint8_t protocol, std::vector<HostSocket>& out,
                         std::string* why);

// Lists the host's sockets; the agent's one implementation dumps them through netlink,
// tests give lists of their own.
class SocketLister {
 public:
  virtual ~SocketLister() = default;
  // Every TCP and UDP socket of IPv4 and IPv6 that a process may hold; false with *why
  // when the kernel cannot be asked.
  virtual bool List(std::vector<HostSocket>& out, std::string* why) = 0;
  // The socket that takes a flow's frames at its local end (connected, or else listening
  // or unconnected), asked for alone: quicker than a whole list, which a short exchange's
  // socket may not outlive, and far quicker than one on a host of many sockets. NoSocket
  // when the kernel says it has none (so a list would hold none either); NotKnown when it
  // cannot be asked.
  enum class Found { Socket, NoSocket, NotKnown };
  virtual Found Find(std::uint8_t protocol, const SocketEnd& local, const SocketEnd& remote, HostSocket* socket) {
    (void)protocol, (void)local, (void)remote, (void)socket;
    return Found::NotKnown;
  }
};
std::unique_ptr<SocketLister> NetlinkSocketLister();

// Reads the socket inodes a process holds (the links of /proc/PID/fd); false when its
// folder cannot be read.
using FdReader = std::function<bool(std::uint32_t pid, std::vector<std::uint64_t>& inodes)>;
FdReader ProcFdReader(std::string procRoot);

// The processes under a /proc folder (injectable, so that tests give a folder of their
// own): who holds a socket inode, and what the process is called. Their fd folders are
// read through fds (by default straight from the folder).
class ProcessTable {
 public:
  explicit ProcessTable(std::string procRoot, FdReader fds = {})
      : root_(std::move(procRoot)), fds_(fds ? std::move(fds) : ProcFdReader(root_)) {}
  // Whether the process holds the inode now (false when its fd folder cannot be read).
  bool Holds(std::uint32_t pid, std::uint64_t inode) const;
  // Reads the fd folders of the processes it can, newest first, noting the socket inodes
  // each holds, until one holds inode: returns its PID, or 0 (with *whole set) when
  // every folder was read.
  std::uint32_t Scan(std::uint64_t inode, bool* whole);
  // The holder the last Scan noted for inode, or 0.
  std::uint32_t Noted(std::uint64_t inode) const;
  // The process's name and command line (nothing when it is gone or cannot be read).
  std::optional<ProcessOwner> Describe(std::uint32_t pid) const;

 private:
  std::string root_;
  FdReader fds_;
  std::unordered_map<std::uint64_t, std::uint32_t> holders_;  // inode -> PID, from the last Scan
};

// The owner number of each frame for the stream: looks a flow up when its first frame
// comes (and again when a new connection reuses its addresses, or after it was idle),
// defines each owner once, and keeps the cost of a frame of a known flow to a table
// look-up.
class OwnerFinder {
 public:
  using Define = std::function<void(std::uint32_t number, const ProcessOwner& owner)>;
  using UserName = std::function<std::string(std::uint32_t uid)>;
  // stationAddress decides which end of a frame is local (the source of a frame sent from
  // it, else the destination). define is called for an owner before the first frame
  // that gets its number.
  OwnerFinder(std::unique_ptr<SocketLister> lister, ProcessTable processes, UserName userName,
              std::array<std::uint8_t, 6> stationAddress, Define define);

  // The owner number of a frame captured at timestampUs (microseconds since the epoch,
  // by the clock that wallClockUs reads); 0 when it is not known.
  std::uint32_t NumberFor(std::span<const std::uint8_t> frame, std::uint64_t timestampUs);
  void SetClock(std::function<std::uint64_t()> wallClockUs) { clock_ = std::move(wallClockUs); }

  struct FlowKey {
    std::uint8_t protocol = 0;
    SocketEnd local;
    SocketEnd remote;
    bool operator==(const FlowKey&) const = default;
  };

 private:
  struct FlowKeyHash {
    std::size_t operator()(const FlowKey& key) const;
  };
  struct Flow {
    std::uint32_t number = 0;
    std::uint64_t lastSeenUs = 0;
    std::uint64_t retryUs = 0;  // when a flow not found may be looked up again
    int tries = 0;
  };
  // The owner number of a flow looked up now (0: none found), and whether the kernel
  // said it has no socket for it.
  std::uint32_t LookUp(const FlowKey& key, std::uint64_t timestampUs, bool retry, bool* noSocket);
  std::uint32_t Resolve(const FlowKey& key, std::uint64_t timestampUs, bool retry);
  // Whether a frame of the flow at timestampUs takes the number the flow has: it is not
  // idle, and it is known, or not found with no look-up due (none left, or not yet).
  static bool Settled(const Flow& flow, std::uint64_t timestampUs);
  const HostSocket* FindSocket(const FlowKey& key) const;
  std::uint32_t OwnerNumber(const HostSocket& socket);
  std::uint32_t Number(const ProcessOwner& owner);
  std::string UserOf(std::uint32_t uid);

  std::unique_ptr<SocketLister> lister_;
  ProcessTable processes_;
  UserName userName_;
  std::array<std::uint8_t, 6> station_;
  Define define_;
  std::function<std::uint64_t()> clock_;

  std::unordered_map<FlowKey, Flow, FlowKeyHash> flows_;
  // The last frame's flow: most frames follow one of the same flow.
  FlowKey lastKey_;
  Flow* lastFlow_ = nullptr;
  std::array<std::uint8_t, 12> lastBytes_{};  // that frame's IPv4 addresses and ports
  std::array<std::uint8_t, 12> lastMacs_{};

  std::vector<HostSocket> sockets_;
  std::unordered_map<FlowKey, std::size_t, FlowKeyHash> connected_;  // into sockets_
  std::uint64_t socketsTakenUs_ = 0;  // when the list was asked for
  std::uint64_t listGeneration_ = 0;
  std::uint64_t scannedGeneration_ = 0;  // the list the last full scan of /proc served

  struct Held {
    std::uint32_t pid;
    std::uint32_t number;
  };
  std::unordered_map<std::uint64_t, Held> byInode_;  // checked again before each reuse
  std::unordered_map<std::string, std::uint32_t> numbers_;
  std::unordered_map<std::uint32_t, std::string> users_;
};

// The user name of a uid from the host's user database, or the uid in digits.
std::string HostUserName(std::uint32_t uid);
