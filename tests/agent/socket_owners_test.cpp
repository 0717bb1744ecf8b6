// Finding the owner of a frame's socket: a canned socket-diagnostics reply, a /proc folder
// of the test's own, and the rules that pick the socket and reuse an owner.

#include "agent/socket_owners.h"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/frames.h"

namespace {

namespace fs = std::filesystem;
using frames::Bytes;

// One netlink message of the reply as the kernel writes it.
void AppendMessage(Bytes& reply, std::uint16_t type, const void* body, std::size_t size) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(sizeof header + size);
  header.nlmsg_type = type;
  const std::size_t at = reply.size();
  reply.resize(at + NLMSG_ALIGN(header.nlmsg_len));
  std::memcpy(reply.data() + at, &header, sizeof header);
  std::memcpy(reply.data() + at + sizeof header, body, size);
}

inet_diag_msg Diag(std::uint8_t family, const std::vector<std::uint8_t>& source, std::uint16_t sport,
                   const std::vector<std::uint8_t>& destination, std::uint16_t dport, std::uint32_t uid,
                   std::uint32_t inode) {
  inet_diag_msg m{};
  m.idiag_family = family;
  m.id.idiag_sport = htons(sport);
  m.id.idiag_dport = htons(dport);
  std::memcpy(m.id.idiag_src, source.data(), source.size());
  std::memcpy(m.id.idiag_dst, destination.data(), destination.size());
  m.idiag_uid = uid;
  m.idiag_inode = inode;
  return m;
}

TEST(SocketOwnersTest, ASocketDumpReadsIntoSocketsAndEndsOrFails) {
  const std::vector<std::uint8_t> loop4 = {127, 0, 0, 1};
  const std::vector<std::uint8_t> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 7};
  const std::vector<std::uint8_t> v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  Bytes reply;
  const inet_diag_msg a = Diag(AF_INET, loop4, 5000, loop4, 80, 1000, 777);
  const inet_diag_msg b = Diag(AF_INET6, mapped, 8080, std::vector<std::uint8_t>(16, 0), 0, 0, 888);
  const inet_diag_msg c = Diag(AF_INET6, v6, 53, v6, 4000, 7, 0);
  AppendMessage(reply, SOCK_DIAG_BY_FAMILY, &a, sizeof a);
  AppendMessage(reply, SOCK_DIAG_BY_FAMILY, &b, sizeof b);
  AppendMessage(reply, SOCK_DIAG_BY_FAMILY, &c, sizeof c);

  std::vector<HostSocket> sockets;
  std::string why;
  ASSERT_EQ(ParseSocketDump(reply, IPPROTO_TCP, sockets, &why), DumpStep::More);
  ASSERT_EQ(sockets.size(), 3u);
  EXPECT_EQ(sockets[0].protocol, IPPROTO_TCP);
  EXPECT_EQ(sockets[0].local, (SocketEnd{false, {127, 0, 0, 1}, 5000}));
  EXPECT_EQ(sockets[0].remote, (SocketEnd{false, {127, 0, 0, 1}, 80}));
  EXPECT_EQ(sockets[0].uid, 1000u);
  EXPECT_EQ(sockets[0].inode, 777u);
  // An IPv6 socket's IPv4-mapped address stands for the IPv4 frames it sends.
  EXPECT_EQ(sockets[1].local, (SocketEnd{false, {10, 0, 0, 7}, 8080}));
  EXPECT_EQ(sockets[1].remote.port, 0);
  EXPECT_TRUE(sockets[2].local.ipv6);
  EXPECT_EQ(sockets[2].local.address[0], 0x20);

  Bytes done;
  const int zero = 0;
  AppendMessage(done, NLMSG_DONE, &zero, sizeof zero);
  EXPECT_EQ(ParseSocketDump(done, IPPROTO_UDP, sockets, &why), DumpStep::Done);

  Bytes refused;
  const nlmsgerr error{-EPERM, {}};
  AppendMessage(refused, NLMSG_ERROR, &error, sizeof error);
  EXPECT_EQ(ParseSocketDump(refused, IPPROTO_UDP, sockets, &why), DumpStep::Failed);
  EXPECT_NE(why.find(std::strerror(EPERM)), std::string::npos) << why;

  Bytes none;  // the answer to a single socket's query when there is none
  const nlmsgerr missing{-ENOENT, {}};
  AppendMessage(none, NLMSG_ERROR, &missing, sizeof missing);
  EXPECT_EQ(ParseSocketDump(none, IPPROTO_TCP, sockets, &why), DumpStep::NoSuchSocket);

  Bytes cut = reply;
  cut.resize(reply.size() - 8);  // the last message claims more than came
  EXPECT_EQ(ParseSocketDump(cut, IPPROTO_TCP, sockets, &why), DumpStep::Failed);
}

// A /proc of the test's own: a process is a folder with comm, cmdline and fd links.
class FakeProc {
 public:
  FakeProc() : root_(fs::temp_directory_path() / ("socket-owners-test." + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~FakeProc() { fs::remove_all(root_); }
  std::string Root() const { return root_.string(); }

  void Process(std::uint32_t pid, const std::string& comm, const std::string& cmdline,
               const std::vector<std::uint64_t>& sockets) {
    const fs::path folder = root_ / std::to_string(pid);
    fs::remove_all(folder);
    fs::create_directories(folder / "fd");
    std::ofstream(folder / "comm") << comm << '\n';
    std::ofstream(folder / "cmdline", std::ios::binary) << cmdline;
    int fd = 3;
    for (const std::uint64_t inode : sockets)
      fs::create_symlink("socket:[" + std::to_string(inode) + "]", folder / "fd" / std::to_string(fd++));
    fs::create_symlink("/dev/null", folder / "fd" / "0");
  }
  void End(std::uint32_t pid) { fs::remove_all(root_ / std::to_string(pid)); }

 private:
  fs::path root_;
};

class ListedSockets : public SocketLister {
 public:
  explicit ListedSockets(std::vector<HostSocket>* sockets) : sockets_(sockets) {}
  bool List(std::vector<HostSocket>& out, std::string*) override {
    out = *sockets_;
    return true;
  }

 private:
  std::vector<HostSocket>* sockets_;
};

TEST(SocketOwnersTest, AProcessFolderNamesTheHolderOfAnInode) {
  FakeProc proc;
  proc.Process(100, "curl", std::string("curl\0-s\0http://x/\0", 18), {777});
  proc.Process(200, "bad\x1b[2Jname", std::string("a\tb", 3), {888, 999});
  ProcessTable table(proc.Root());
  bool whole = false;
  EXPECT_EQ(table.Scan(888, &whole), 200u);
  EXPECT_EQ(table.Scan(555, &whole), 0u);
  EXPECT_TRUE(whole);
  EXPECT_EQ(table.Noted(777), 100u);
  EXPECT_TRUE(table.Holds(200, 999));
  EXPECT_FALSE(table.Holds(100, 999));
  const std::optional<ProcessOwner> curl = table.Describe(100);
  ASSERT_TRUE(curl);
  EXPECT_EQ(curl->name, "curl");
  EXPECT_EQ(curl->commandLine, "curl -s http://x/");
  EXPECT_EQ(table.Describe(200)->name, "bad.[2Jname");
  EXPECT_EQ(table.Describe(200)->commandLine, "a.b");
  EXPECT_FALSE(table.Describe(300));

  // PIDs wrapped since 200 was given out: 50 is newer, read first, and the reading ends
  // there, before the older processes.
  proc.Process(50, "dig", "dig", {555});
  fs::create_directories(fs::path(proc.Root()) / "sys/kernel");
  std::ofstream(fs::path(proc.Root()) / "sys/kernel/ns_last_pid") << "60\n";
  EXPECT_EQ(table.Scan(555, &whole), 50u);
  EXPECT_EQ(table.Noted(888), 0u);
}

// Which socket a frame belongs to, on loopback (every frame sent, so the source is the
// local end), and when a cached owner may be used again.
TEST(SocketOwnersTest, EachFrameGetsTheOwnerOfItsLocalEndAndNoStaleOne) {
  FakeProc proc;
  proc.Process(100, "curl", "curl", {777});
  proc.Process(200, "python3", "python3", {888});
  const auto socket = [](std::uint8_t protocol, std::uint16_t local, std::uint16_t remote, std::uint32_t uid,
                         std::uint64_t inode) {
    return HostSocket{protocol, {false, {127, 0, 0, 1}, local}, {false, {127, 0, 0, 1}, remote}, uid, inode};
  };
  std::vector<HostSocket> sockets = {
      socket(6, 5000, 80, 0, 777),      // curl's connection
      socket(6, 80, 0, 0, 888),         // python3 listening
      socket(17, 53, 0, 1001, 999),     // another user's UDP socket, not readable
  };
  std::map<std::uint32_t, ProcessOwner> defined;
  OwnerFinder finder(std::make_unique<ListedSockets>(&sockets), ProcessTable(proc.Root()),
                     [](std::uint32_t uid) { return uid == 0 ? std::string("root") : std::string("u").append(std::to_string(uid)); },
                     {}, [&](std::uint32_t number, const ProcessOwner& owner) { defined.emplace(number, owner); });
  std::uint64_t now = 1'000'000;
  finder.SetClock([&] { return now; });

  constexpr frames::Link lo = {{}, {}, frames::Ip(127, 0, 0, 1), frames::Ip(127, 0, 0, 1)};
  const auto tcp = [&](std::uint16_t from, std::uint16_t to, std::uint8_t flags) {
    return lo.TcpFrame(false, {.sourcePort = from, .destinationPort = to, .flags = flags});
  };
  // The text an owner number stands for: the cell, or "-" for none.
  const auto owner = [&](std::uint32_t number) {
    if (number == 0) return std::string("-");
    const ProcessOwner& o = defined.at(number);
    return o.pid != 0 ? o.name + " " + std::to_string(o.pid) : "(user " + o.user + ")";
  };
  struct Case {
    Bytes frame;
    std::string owner;
  };
  const std::vector<Case> cases = {
      {tcp(5000, 80, frames::Syn), "curl 100"},
      {tcp(80, 5000, frames::Syn | frames::Ack), "python3 200"},  // not accepted yet: the listener
      {tcp(5000, 80, frames::Ack), "curl 100"},
      {lo.UdpFrame(false, 53, 4000, "x"), "(user u1001)"},
      {lo.UdpFrame(false, 54, 4000, "x"), "-"},
      {lo.Ipv4Frame(false, 1, Bytes(8, 0)), "-"},
  };
  for (const Case& c : cases) {
    now += 1000;
    EXPECT_EQ(owner(finder.NumberFor(c.frame, now)), c.owner);
  }

  // curl ends; its PID goes to wget, which holds a new socket under curl's old inode. A
  // new connection on that inode must not be taken for curl's.
  proc.End(100);
  proc.Process(100, "wget", "wget", {});
  proc.Process(300, "wget", "wget", {777});
  sockets[0].local.port = 5001;
  now += 10'000'000;
  EXPECT_EQ(owner(finder.NumberFor(tcp(5001, 80, frames::Syn), now)), "wget 300");
  EXPECT_EQ(defined.size(), 4u) << "each owner is defined once";
}

// Answers single queries as the kernel does (port 9: it cannot be asked), and counts them.
class QueriedSockets : public SocketLister {
 public:
  bool List(std::vector<HostSocket>&, std::string*) override { return ++lists, true; }
  Found Find(std::uint8_t, const SocketEnd& local, const SocketEnd&, HostSocket* socket) override {
    ++finds;
    if (local.port == 9 || !open) return local.port == 9 ? Found::NotKnown : Found::NoSocket;
    *socket = HostSocket{6, {false, {127, 0, 0, 1}, 7000}, {false, {127, 0, 0, 1}, 4000}, 0, 555};
    return Found::Socket;
  }
  bool open = false;
  int finds = 0, lists = 0;
};

// A flow the kernel has no socket for costs one question, not a list nor one per frame,
// until a SYN or an idle spell could have changed that.
TEST(SocketOwnersTest, AFlowWithoutASocketIsAskedAboutAgainOnlyForASynOrAfterAnIdleSpell) {
  FakeProc proc;
  proc.Process(100, "nc", "nc", {555});
  auto lister = std::make_unique<QueriedSockets>();
  QueriedSockets& kernel = *lister;
  OwnerFinder finder(std::move(lister), ProcessTable(proc.Root()), HostUserName, {}, {});
  std::uint64_t now = 1'000'000;
  finder.SetClock([&] { return now; });
  constexpr frames::Link lo = {{}, {}, frames::Ip(127, 0, 0, 1), frames::Ip(127, 0, 0, 1)};
  const auto tcp = [&](std::uint8_t f) { return lo.TcpFrame(false, {.sourcePort = 7000, .destinationPort = 4000, .flags = f}); };
  // open: nc's socket exists, and so the frame is nc's; finds, lists: asked so far.
  const struct { std::uint64_t afterUs; Bytes frame; bool open; int finds, lists; } steps[] = {
      {0, lo.UdpFrame(false, 7000, 4000, "x"), false, 1, 0}, {300'000, lo.UdpFrame(false, 7000, 4000, "x"), false, 1, 0},
      {300'000, tcp(frames::Ack), false, 2, 0}, {300'000, tcp(frames::Ack), false, 2, 0},
      {1000, tcp(frames::Syn), true, 3, 0}, {1000, tcp(frames::Ack), true, 3, 0},  // nc connects on those addresses
      {6'000'000, tcp(frames::Ack), false, 4, 0},  // quiet too long: asked again, and closed
      {1000, lo.UdpFrame(false, 9, 4000, "x"), false, 5, 1},  // the kernel cannot tell: the list
      {300'000, lo.UdpFrame(false, 9, 4000, "x"), false, 6, 2},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    kernel.open = steps[i].open;
    EXPECT_EQ(finder.NumberFor(steps[i].frame, now += steps[i].afterUs) != 0, steps[i].open) << i;
    EXPECT_EQ(std::pair(kernel.finds, kernel.lists), std::pair(steps[i].finds, steps[i].lists)) << i;
  }
}

}  // namespace
