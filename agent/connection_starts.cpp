#include "agent/connection_starts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

namespace {

// Enough of a segment for its addresses and ports behind an IPv6 header.
constexpr int KeptBytes = 256;
// Segments the kernel may hold for the socket; past it the rest wait for the ring.
constexpr int ReceiveBytes = 256 * 1024;

// The compiled expression, attached to the socket behind fd (a copy of the agent's, so
// that the socket lives until this is done). Nothing is attached when the expression does
// not compile: the socket then takes nothing, and owners are looked up as the ring's
// blocks come.
void Attach(int fd, const std::string& expression) {
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, KeptBytes);
  if (dead != nullptr) {
    bpf_program program{};
    if (pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
      sock_fprog code{};
      code.len = static_cast<unsigned short>(program.bf_len);
      code.filter = reinterpret_cast<sock_filter*>(program.bf_insns);
      ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &code, sizeof code);
      pcap_freecode(&program);
    }
    pcap_close(dead);
  }
  ::close(fd);
}

}  // namespace

std::string ConnectionStartsExpression(const std::optional<std::string>& captureFilter) {
  // libpcap reads tcp[] over IPv4 only: over IPv6 the flags are read behind a plain
  // 40-byte header.
  const std::string syn = "((ip and tcp[13] & 2 != 0) or (ip6 and ip6[6] == 6 and ip6[53] & 2 != 0))";
  if (!captureFilter || captureFilter->empty()) return syn;
  return "(" + *captureFilter + ") and " + syn;
}

std::unique_ptr<ConnectionStarts> ConnectionStarts::Open(const std::string& interfaceName) {
  const unsigned index = ::if_nametoindex(interfaceName.c_str());
  if (index == 0) return nullptr;
  // Protocol 0 takes no frame until the bind below, and the filter that takes none goes
  // on first: nothing queues before the real filter is compiled.
  const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  std::unique_ptr<ConnectionStarts> starts(new ConnectionStarts(fd));
  sock_filter none = BPF_STMT(BPF_RET | BPF_K, 0);
  const sock_fprog nothing{1, &none};
  const int receive = ReceiveBytes;
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(index);
  if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &nothing, sizeof nothing) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return nullptr;
  return starts;
}

void ConnectionStarts::Filter(const std::optional<std::string>& captureFilter) {
  const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  // The thread takes no signal: a stop must reach the capture loop, whose blocked write
  // it interrupts.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  std::thread(Attach, copy, ConnectionStartsExpression(captureFilter)).detach();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

ConnectionStarts::~ConnectionStarts() { ::close(fd_); }

void ConnectionStarts::ReadWaiting(int most, const std::function<void(std::span<const std::uint8_t>)>& take) {
  std::uint8_t frame[KeptBytes];
  for (int i = 0; i < most; ++i) {
    const ssize_t n = ::recv(fd_, frame, sizeof frame, MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    take({frame, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof frame)});
  }
}
