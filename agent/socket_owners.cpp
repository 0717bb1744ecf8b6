#include "agent/socket_owners.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <cstring>

#include "analysis/frame_bytes.h"
#include "analysis/ip_layout.h"

namespace {

// A flow not found is looked up again this often, a few times at most: a socket of a
// connection that began before the trace exists, but the list may have been taken just
// before it was made.
constexpr std::uint64_t RetryUs = 250'000;
constexpr int MostTries = 4;
// A flow quiet this long may have been closed and its addresses taken by another socket.
constexpr std::uint64_t IdleUs = 5'000'000;
// A SYN this long after a flow's last frame opens a new connection on the same addresses.
constexpr std::uint64_t NewConnectionUs = 1'000'000;
// Flows remembered; past this the table starts again (each flow is then looked up anew).
constexpr std::size_t MostFlows = 1 << 16;
// Processes whose fd folders are read first: those that owned the last sockets found.
constexpr std::size_t RecentOwners = 16;

// Netlink answers in the host's byte order.
std::uint32_t HostU32(const std::uint8_t* at) {
  std::uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}
std::uint16_t HostU16(const std::uint8_t* at) {
  std::uint16_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// The fields of struct inet_diag_msg, after the netlink header.
namespace diag_offset {
constexpr std::size_t Family = 0;
constexpr std::size_t SourcePort = 4;       // network byte order, as the id's ports are
constexpr std::size_t DestinationPort = 6;
constexpr std::size_t Source = 8;
constexpr std::size_t Destination = 24;
constexpr std::size_t Uid = 64;
constexpr std::size_t Inode = 68;
constexpr std::size_t Size = 72;
}  // namespace diag_offset
static_assert(sizeof(inet_diag_msg) == diag_offset::Size);
static_assert(offsetof(inet_diag_msg, idiag_uid) == diag_offset::Uid);
static_assert(offsetof(inet_diag_msg, idiag_inode) == diag_offset::Inode);

SocketEnd EndOf(std::uint8_t family, const std::uint8_t* address, const std::uint8_t* port) {
  SocketEnd end;
  end.port = static_cast<std::uint16_t>(port[0] << 8 | port[1]);
  if (family == AF_INET) {
    std::memcpy(end.address.data(), address, 4);
    return end;
  }
  static constexpr std::uint8_t Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(address, Mapped, sizeof Mapped) == 0) {
    std::memcpy(end.address.data(), address + 12, 4);
    return end;
  }
  end.ipv6 = true;
  std::memcpy(end.address.data(), address, 16);
  return end;
}

bool AnyAddress(const SocketEnd& end) {
  return std::all_of(end.address.begin(), end.address.end(), [](std::uint8_t b) { return b == 0; });
}

// "socket:[12345]" -> 12345; 0 for any other link.
std::uint64_t SocketInode(std::string_view link) {
  constexpr std::string_view prefix = "socket:[";
  if (!link.starts_with(prefix) || !link.ends_with(']')) return 0;
  std::uint64_t inode = 0;
  const char* begin = link.data() + prefix.size();
  const char* end = link.data() + link.size() - 1;
  const auto [ptr, ec] = std::from_chars(begin, end, inode);
  return ec == std::errc() && ptr == end ? inode : 0;
}

// A small file of /proc, at most `most` bytes.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t most) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string text(most, '\0');
  std::size_t used = 0;
  while (used < most) {
    const ssize_t n = ::read(fd, text.data() + used, most - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return text;
}

std::uint64_t WallClockUs() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec / 1000);
}

class NetlinkLister : public SocketLister {
 public:
  explicit NetlinkLister(int fd) : fd_(fd) {}
  ~NetlinkLister() override { ::close(fd_); }

  bool List(std::vector<HostSocket>& out, std::string* why) override {
    for (const std::uint8_t family : {AF_INET, AF_INET6}) {
      for (const std::uint8_t protocol : {IPPROTO_TCP, IPPROTO_UDP}) {
        if (Ask(Request(family, protocol, NLM_F_DUMP), protocol, out, why) != DumpStep::Done) return false;
      }
    }
    return true;
  }

  Found Find(std::uint8_t protocol, const SocketEnd& local, const SocketEnd& remote, HostSocket* socket) override {
    Message message = Request(local.ipv6 ? AF_INET6 : AF_INET, protocol, 0);
    inet_diag_sockid& id = message.request.id;
    // UDP's look-up takes the two ends the other way round (so the kernel has it).
    const SocketEnd& source = protocol == IPPROTO_UDP ? remote : local;
    const SocketEnd& destination = protocol == IPPROTO_UDP ? local : remote;
    id.idiag_sport = htons(source.port);
    id.idiag_dport = htons(destination.port);
    std::memcpy(id.idiag_src, source.address.data(), local.ipv6 ? 16 : 4);
    std::memcpy(id.idiag_dst, destination.address.data(), local.ipv6 ? 16 : 4);
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::vector<HostSocket> found;
    std::string why;
    switch (Ask(message, protocol, found, &why)) {
      case DumpStep::NoSuchSocket:
        return Found::NoSocket;
      case DumpStep::Failed:
        return Found::NotKnown;
      default:
        if (found.empty()) return Found::NotKnown;
        *socket = found.front();
        return Found::Socket;
    }
  }

 private:
  struct Message {
    nlmsghdr header;
    inet_diag_req_v2 request;
  };

  Message Request(std::uint8_t family, std::uint8_t protocol, std::uint16_t dump) {
    Message message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | dump;
    message.header.nlmsg_seq = ++sequence_;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = protocol;
    // Time-wait and half-open connections belong to no process: not asked for.
    message.request.idiag_states = ~((1u << 6) | (1u << 3));  // TCP_TIME_WAIT, TCP_SYN_RECV
    return message;
  }

  // Sends the request and reads the answer into out: a dump up to its end, a single
  // socket's answer (one message, or an error when there is none) at once. Done when
  // the answer was read whole.
  DumpStep Ask(const Message& message, std::uint8_t protocol, std::vector<HostSocket>& out, std::string* why) {
    const bool dump = (message.header.nlmsg_flags & NLM_F_DUMP) != 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
      *why = std::string("cannot ask for the socket list: ") + std::strerror(errno);
      return DumpStep::Failed;
    }
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *why = std::string("cannot read the socket list: ") + (n < 0 ? std::strerror(errno) : "no answer");
        return DumpStep::Failed;
      }
      const DumpStep step = ParseSocketDump({buffer_.data(), static_cast<std::size_t>(n)}, protocol, out, why);
      if (step == DumpStep::More && dump) continue;
      return step == DumpStep::More ? DumpStep::Done : step;
    }
  }

  int fd_;
  std::uint32_t sequence_ = 0;
  std::array<std::uint8_t, 32 * 1024> buffer_{};
};

}  // namespace

DumpStep ParseSocketDump(std::span<const std::uint8_t> bytes, std::uint8_t protocol, std::vector<HostSocket>& out,
                         std::string* why) {
  std::size_t at = 0;
  while (bytes.size() - at >= sizeof(nlmsghdr)) {
    const std::uint8_t* message = bytes.data() + at;
    const std::uint32_t length = HostU32(message);
    const std::uint16_t type = HostU16(message + 4);
    if (length < sizeof(nlmsghdr) || length > bytes.size() - at) {
      *why = "the socket list holds a message of " + std::to_string(length) + " bytes that does not fit";
      return DumpStep::Failed;
    }
    const std::uint8_t* body = message + sizeof(nlmsghdr);
    const std::size_t bodyBytes = length - sizeof(nlmsghdr);
    if (type == NLMSG_DONE) return DumpStep::Done;
    if (type == NLMSG_ERROR) {
      const int error = bodyBytes >= 4 ? -static_cast<std::int32_t>(HostU32(body)) : EPROTO;
      if (error == ENOENT) return DumpStep::NoSuchSocket;
      *why = std::string("the kernel refused the socket list: ") + std::strerror(error);
      return DumpStep::Failed;
    }
    if (type == SOCK_DIAG_BY_FAMILY && bodyBytes >= diag_offset::Size) {
      const std::uint8_t family = body[diag_offset::Family];
      if (family == AF_INET || family == AF_INET6) {
        HostSocket socket;
        socket.protocol = protocol;
        socket.local = EndOf(family, body + diag_offset::Source, body + diag_offset::SourcePort);
        socket.remote = EndOf(family, body + diag_offset::Destination, body + diag_offset::DestinationPort);
        socket.uid = HostU32(body + diag_offset::Uid);
        socket.inode = HostU32(body + diag_offset::Inode);
        out.push_back(socket);
      }
    }
    at += NLMSG_ALIGN(length);
  }
  return DumpStep::More;
}

std::unique_ptr<SocketLister> NetlinkSocketLister() {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return nullptr;
  // The kernel answers at once; a second bounds a wait that would hold the frames up.
  struct timeval limit {1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return std::make_unique<NetlinkLister>(fd);
}

FdReader ProcFdReader(std::string procRoot) {
  return [root = std::move(procRoot)](std::uint32_t pid, std::vector<std::uint64_t>& inodes) {
    const std::string path = root + "/" + std::to_string(pid) + "/fd";
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      return false;
    }
    char link[64];
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, link, sizeof link);
      if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) continue;
      if (const std::uint64_t inode = SocketInode({link, static_cast<std::size_t>(n)}); inode != 0) inodes.push_back(inode);
    }
    ::closedir(dir);
    return true;
  };
}

bool ProcessTable::Holds(std::uint32_t pid, std::uint64_t inode) const {
  std::vector<std::uint64_t> inodes;
  return fds_(pid, inodes) && std::find(inodes.begin(), inodes.end(), inode) != inodes.end();
}

std::uint32_t ProcessTable::Scan(std::uint64_t inode, bool* whole) {
  holders_.clear();
  *whole = false;
  DIR* dir = ::opendir(root_.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::uint32_t> pids;
  while (const dirent* entry = ::readdir(dir)) {
    std::uint32_t pid = 0;
    const std::string_view name = entry->d_name;
    const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec == std::errc() && ptr == name.data() + name.size() && pid != 0) pids.push_back(pid);
  }
  ::closedir(dir);
  // The newest processes first: a short-lived program's socket is found before it closes,
  // and the reading stops there. PIDs rise from the last one given out and wrap at the
  // system's most, so they are taken down from that one and on from the top.
  std::uint32_t last = 0xFFFFFFFF;
  if (const std::optional<std::string> text = ReadSmallFile(root_ + "/sys/kernel/ns_last_pid", 16)) {
    std::uint32_t read = 0;
    if (std::from_chars(text->data(), text->data() + text->size(), read).ec == std::errc()) last = read;
  }
  std::sort(pids.begin(), pids.end(), [last](std::uint32_t a, std::uint32_t b) { return last - a < last - b; });
  std::vector<std::uint64_t> inodes;
  for (const std::uint32_t pid : pids) {
    inodes.clear();
    if (!fds_(pid, inodes)) continue;
    for (const std::uint64_t found : inodes) holders_.try_emplace(found, pid);
    if (std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) return pid;
  }
  *whole = true;
  return 0;
}

std::uint32_t ProcessTable::Noted(std::uint64_t inode) const {
  const auto found = holders_.find(inode);
  return found == holders_.end() ? 0 : found->second;
}

std::optional<ProcessOwner> ProcessTable::Describe(std::uint32_t pid) const {
  const std::string folder = root_ + "/" + std::to_string(pid);
  std::optional<std::string> name = ReadSmallFile(folder + "/comm", OwnerNameMost + 1);
  if (!name) return std::nullopt;
  if (!name->empty() && name->back() == '\n') name->pop_back();
  ProcessOwner owner;
  owner.pid = pid;
  owner.name = OwnerText(*name, OwnerNameMost);
  std::string command = ReadSmallFile(folder + "/cmdline", OwnerCommandLineMost).value_or("");
  std::replace(command.begin(), command.end(), '\0', ' ');
  while (!command.empty() && command.back() == ' ') command.pop_back();
  owner.commandLine = OwnerText(command, OwnerCommandLineMost);
  return owner;
}

std::string HostUserName(std::uint32_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 16 * 1024> buffer{};
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr && found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

std::size_t OwnerFinder::FlowKeyHash::operator()(const FlowKey& key) const {
  std::uint64_t h = 0xcbf29ce484222325ull ^ key.protocol;
  const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0x100000001b3ull; };
  for (const SocketEnd* end : {&key.local, &key.remote}) {
    std::uint64_t word = 0;
    std::memcpy(&word, end->address.data(), 8);
    mix(word);
    std::memcpy(&word, end->address.data() + 8, 8);
    mix(word);
    mix(std::uint64_t{end->port} << 1 | end->ipv6);
  }
  return static_cast<std::size_t>(h);
}

OwnerFinder::OwnerFinder(std::unique_ptr<SocketLister> lister, ProcessTable processes, UserName userName,
                         std::array<std::uint8_t, 6> stationAddress, Define define)
    : lister_(std::move(lister)),
      processes_(std::move(processes)),
      userName_(std::move(userName)),
      station_(stationAddress),
      define_(std::move(define)),
      clock_(WallClockUs) {}

std::uint32_t OwnerFinder::NumberFor(std::span<const std::uint8_t> frame, std::uint64_t timestampUs) {
  if (numbers_.size() >= MostFlows) {
    // Numbers start again from 1, each defined anew before its first frame; no flow may
    // keep an old one.
    numbers_.clear();
    byInode_.clear();
    flows_.clear();
    lastFlow_ = nullptr;
  }
  const FrameBytes bytes(frame);
  // Most frames follow one of the same flow: an IPv4 frame whose MACs, addresses and ports
  // are the last frame's is known without reading its layers again.
  constexpr std::size_t SameFrom = frame_offset::IpSource, SameTo = frame_offset::TcpHeader + 4;
  const bool plainIpv4 = bytes.Be16(frame_offset::EtherType) == EtherTypeIpv4 && bytes.U8(frame_offset::IpHeader) == 0x45;
  if (plainIpv4 && lastFlow_ != nullptr && Settled(*lastFlow_, timestampUs) && frame.size() >= SameTo &&
      bytes.U8(frame_offset::IpProtocol) == lastKey_.protocol &&
      (lastKey_.protocol != IPPROTO_TCP || (bytes.U8(frame_offset::TcpHeader + 13) & 0x02) == 0) &&
      std::equal(frame.begin() + SameFrom, frame.begin() + SameTo, lastBytes_.begin()) &&
      std::equal(frame.begin(), frame.begin() + 12, lastMacs_.begin())) {
    lastFlow_->lastSeenUs = std::max(lastFlow_->lastSeenUs, timestampUs);
    return lastFlow_->number;
  }
  const std::optional<IpLayout> ip = ReadIpLayout(bytes, true);
  if (!ip || !ip->upperHeader || (ip->protocol != IPPROTO_TCP && ip->protocol != IPPROTO_UDP)) return 0;
  bool outgoing = true;
  for (std::size_t i = 0; i < station_.size(); ++i) {
    outgoing = outgoing && bytes.U8(frame_offset::MacSource + i) == station_[i];
  }
  SocketEnd source, destination;
  source.ipv6 = destination.ipv6 = ip->ipv6;
  const std::size_t addressBytes = ip->ipv6 ? 16 : 4;
  for (std::size_t i = 0; i < addressBytes; ++i) {
    source.address[i] = bytes.U8(ip->source + i);
    destination.address[i] = bytes.U8(ip->destination + i);
  }
  source.port = bytes.Be16(ip->upper);
  destination.port = bytes.Be16(ip->upper + 2);
  FlowKey key{ip->protocol, outgoing ? source : destination, outgoing ? destination : source};
  const bool syn = ip->protocol == IPPROTO_TCP && (bytes.U8(ip->upper + 13) & 0x02) != 0;
  if (!syn && lastFlow_ != nullptr && Settled(*lastFlow_, timestampUs) && lastKey_ == key) {
    lastFlow_->lastSeenUs = std::max(lastFlow_->lastSeenUs, timestampUs);
    return lastFlow_->number;
  }

  if (flows_.size() >= MostFlows) {
    flows_.clear();
    lastFlow_ = nullptr;
  }
  auto [at, added] = flows_.try_emplace(key);
  Flow& flow = at->second;
  const bool lookUp = added || timestampUs > flow.lastSeenUs + IdleUs ||
                      (syn && (flow.number == 0 || timestampUs > flow.lastSeenUs + NewConnectionUs));
  const bool retry = !lookUp && flow.number == 0 && flow.tries < MostTries && timestampUs >= flow.retryUs;
  if (lookUp) flow.tries = 0;
  if (lookUp || retry) {
    bool noSocket = false;
    flow.number = LookUp(key, timestampUs, retry, &noSocket);
    if (flow.number == 0) {
      // The kernel has no socket for it: nothing on this host owns the flow (forwarded
      // or another host's traffic, a closed port), and asking again would not change
      // that. A new connection on its addresses begins with a SYN, which asks anew.
      flow.tries = noSocket ? MostTries : flow.tries + 1;
      flow.retryUs = timestampUs + RetryUs;
    }
  }
  flow.lastSeenUs = std::max(flow.lastSeenUs, timestampUs);
  lastKey_ = key;
  lastFlow_ = &flow;  // elements of the table stay where they are until it is cleared
  if (plainIpv4 && frame.size() >= SameTo) {
    std::copy(frame.begin() + SameFrom, frame.begin() + SameTo, lastBytes_.begin());
    std::copy(frame.begin(), frame.begin() + 12, lastMacs_.begin());
  } else {
    lastMacs_.fill(0xFF);  // no frame's: the next is read whole
    lastBytes_.fill(0);
  }
  return flow.number;
}

std::uint32_t OwnerFinder::Resolve(const FlowKey& key, std::uint64_t timestampUs, bool retry) {
  const std::uint64_t now = clock_();
  // A list taken after the frame was captured holds its socket, if the socket still
  // exists; an older one may not.
  const bool stale = retry ? now >= socketsTakenUs_ + RetryUs : timestampUs >= socketsTakenUs_;
  if (stale && lister_) {
    sockets_.clear();
    connected_.clear();
    std::string why;
    socketsTakenUs_ = now;
    ++listGeneration_;
    // A failed list is an empty one: rows then show no owner, and the next flow asks again.
    if (!lister_->List(sockets_, &why)) sockets_.clear();
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
      const HostSocket& s = sockets_[i];
      if (s.remote.port != 0 && s.inode != 0) connected_.emplace(FlowKey{s.protocol, s.local, s.remote}, i);
    }
  }
  const HostSocket* socket = FindSocket(key);
  return socket ? OwnerNumber(*socket) : 0;
}

bool OwnerFinder::Settled(const Flow& flow, std::uint64_t timestampUs) {
  if (timestampUs > flow.lastSeenUs + IdleUs) return false;
  return flow.number != 0 || flow.tries >= MostTries || timestampUs < flow.retryUs;
}

std::uint32_t OwnerFinder::LookUp(const FlowKey& key, std::uint64_t timestampUs, bool retry, bool* noSocket) {
  if (!lister_) return 0;
  // The flow's socket alone first: while a short exchange's socket may still exist, and
  // without walking every socket of the host.
  HostSocket socket;
  switch (lister_->Find(key.protocol, key.local, key.remote, &socket)) {
    case SocketLister::Found::Socket:
      if (socket.inode == 0) break;  // no process holds it yet: the listening socket's owner
      ++listGeneration_;  // what the socket list knew of the processes may be out of date
      return OwnerNumber(socket);
    case SocketLister::Found::NoSocket:
      *noSocket = true;
      return 0;
    case SocketLister::Found::NotKnown:
      break;
  }
  return Resolve(key, timestampUs, retry);
}

const HostSocket* OwnerFinder::FindSocket(const FlowKey& key) const {
  if (const auto found = connected_.find(key); found != connected_.end()) return &sockets_[found->second];
  // A listening socket (whose connection is not accepted yet) or an unconnected UDP
  // socket: bound to the local port, to its address or to any.
  const HostSocket* any = nullptr;
  for (const HostSocket& s : sockets_) {
    if (s.protocol != key.protocol || s.remote.port != 0 || s.local.port != key.local.port || s.inode == 0) continue;
    if (s.local.ipv6 == key.local.ipv6 && s.local.address == key.local.address) return &s;
    if (AnyAddress(s.local) && (s.local.ipv6 || !key.local.ipv6)) any = &s;
  }
  return any;
}

std::uint32_t OwnerFinder::OwnerNumber(const HostSocket& socket) {
  // A cached owner is used only while its process still holds the inode: the process
  // may have ended and its PID been given to another.
  if (const auto cached = byInode_.find(socket.inode); cached != byInode_.end()) {
    if (processes_.Holds(cached->second.pid, socket.inode)) return cached->second.number;
    byInode_.erase(cached);
  }
  std::uint32_t pid = processes_.Noted(socket.inode);
  if (pid != 0 && !processes_.Holds(pid, socket.inode)) pid = 0;
  if (pid == 0) {
    // The processes that owned the last sockets first: a program opening connection
    // after connection is found without reading every process's folder.
    std::vector<std::uint32_t> recent;
    for (const auto& [inode, held] : byInode_) {
      if (std::find(recent.begin(), recent.end(), held.pid) == recent.end()) recent.push_back(held.pid);
      if (recent.size() >= RecentOwners) break;
    }
    for (const std::uint32_t candidate : recent) {
      if (processes_.Holds(candidate, socket.inode)) {
        pid = candidate;
        break;
      }
    }
  }
  // Every folder is read at most once per socket list: a socket the last reading did not
  // find belongs to a process the agent may not read.
  if (pid == 0 && scannedGeneration_ != listGeneration_) {
    bool whole = false;
    pid = processes_.Scan(socket.inode, &whole);
    if (whole) scannedGeneration_ = listGeneration_;
  }
  ProcessOwner owner;
  if (pid != 0) {
    if (std::optional<ProcessOwner> described = processes_.Describe(pid)) owner = std::move(*described);
  }
  owner.user = OwnerText(UserOf(socket.uid), OwnerUserMost);
  const std::uint32_t number = Number(owner);
  if (owner.pid != 0) {
    if (byInode_.size() >= MostFlows) byInode_.clear();
    byInode_[socket.inode] = Held{owner.pid, number};
  }
  return number;
}

std::uint32_t OwnerFinder::Number(const ProcessOwner& owner) {
  std::string key = std::to_string(owner.pid);
  for (const std::string* part : {&owner.name, &owner.user, &owner.commandLine}) {
    key += '\0';
    key += *part;
  }
  const auto [at, added] = numbers_.try_emplace(std::move(key), static_cast<std::uint32_t>(numbers_.size() + 1));
  if (added && define_) define_(at->second, owner);
  return at->second;
}

std::string OwnerFinder::UserOf(std::uint32_t uid) {
  const auto found = users_.find(uid);
  if (found != users_.end()) return found->second;
  std::string name = userName_ ? userName_(uid) : std::to_string(uid);
  users_.emplace(uid, name);
  return name;
}
