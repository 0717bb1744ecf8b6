#include "capture/devices/live_interface.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "capture/adapters/linux_registry.h"

namespace {

std::string ActivationFailure(const std::string& name, int status, const char* detail) {
  std::string why = detail && *detail ? detail : pcap_statustostr(status);
  switch (status) {
    case PCAP_ERROR_PERM_DENIED:
      return "no permission to capture on " + name + " (" + why + ")";
    case PCAP_ERROR_NO_SUCH_DEVICE:
      return "no such interface: " + name + " (" + why + ")";
    case PCAP_ERROR_IFACE_NOT_UP:
      return "interface " + name + " is down";
    default:
      return "cannot capture on " + name + ": " + why;
  }
}

// The interface's IPv4 netmask lets "ip broadcast" compile; without an address there is none.
bpf_u_int32 Netmask(const std::string& name) {
  bpf_u_int32 network = 0;
  bpf_u_int32 netmask = PCAP_NETMASK_UNKNOWN;
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  if (pcap_lookupnet(name.c_str(), &network, &netmask, errbuf) != 0) return PCAP_NETMASK_UNKNOWN;
  return netmask;
}

bool IsLoopback(const std::string& name) {
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  struct ifreq request {};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  bool loopback = ::ioctl(sock, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK);
  ::close(sock);
  return loopback;
}

enum class CompileOutcome { Compiled, Failed, Stopped };

CompileOutcome CompileHere(pcap_t* handle, const std::string& expression, bpf_u_int32 netmask,
                           std::vector<bpf_insn>* code, std::string* why) {
  struct bpf_program program {};
  if (pcap_compile(handle, &program, expression.c_str(), 1, netmask) != 0) {
    *why = pcap_geterr(handle);
    return CompileOutcome::Failed;
  }
  code->assign(program.bf_insns, program.bf_insns + program.bf_len);
  pcap_freecode(&program);
  return CompileOutcome::Compiled;
}

// The longest answer a compiling child gives: more instructions than the kernel takes.
constexpr std::size_t CompiledLimitBytes = 1 << 20;

// Compiles in a child process, which writes 'C' and the instructions, or 'E' and
// libpcap's message, to a pipe; the child is killed when the bound is reached first.
CompileOutcome CompileApart(pcap_t* handle, const std::string& expression, bpf_u_int32 netmask,
                            const FilterCompileBound& bound, std::vector<bpf_insn>* code, std::string* why) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *why = std::string("cannot compile the filter: ") + std::strerror(errno);
    return CompileOutcome::Failed;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::vector<bpf_insn> compiled;
    std::string message;
    const bool ok = CompileHere(handle, expression, netmask, &compiled, &message) == CompileOutcome::Compiled;
    std::string answer(1, ok ? 'C' : 'E');
    if (ok) {
      answer.append(reinterpret_cast<const char*>(compiled.data()), compiled.size() * sizeof(bpf_insn));
    } else {
      answer += message;
    }
    for (std::size_t at = 0; at < answer.size();) {
      const ssize_t n = ::write(fds[1], answer.data() + at, answer.size() - at);
      if (n <= 0 && errno != EINTR) break;
      if (n > 0) at += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  if (child < 0) {
    ::close(fds[0]);
    *why = std::string("cannot compile the filter: ") + std::strerror(errno);
    return CompileOutcome::Failed;
  }
  const auto deadline = std::chrono::steady_clock::now() + bound.limit;
  std::string answer;
  CompileOutcome outcome = CompileOutcome::Failed;
  bool ended = false;
  while (!ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *why = "the filter took more than " + std::to_string(bound.limit.count() / 1000) +
             " s to compile (do its host names resolve?)";
      break;
    }
    struct pollfd fds2[2] = {{fds[0], POLLIN, 0}, {bound.wakeFd, POLLIN, 0}};
    if (::poll(fds2, bound.wakeFd >= 0 ? 2 : 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      *why = std::string("cannot compile the filter: ") + std::strerror(errno);
      break;
    }
    if (bound.wakeFd >= 0 && fds2[1].revents != 0) {
      outcome = CompileOutcome::Stopped;
      break;
    }
    if (fds2[0].revents == 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) answer.append(chunk, static_cast<std::size_t>(n));
    ended = n <= 0 || answer.size() > CompiledLimitBytes;
  }
  ::close(fds[0]);
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!ended) return outcome;
  if (answer.size() > CompiledLimitBytes) {
    *why = "the compiled filter is too large";
    return CompileOutcome::Failed;
  }
  if (!answer.empty() && answer[0] == 'C' && (answer.size() - 1) % sizeof(bpf_insn) == 0) {
    code->resize((answer.size() - 1) / sizeof(bpf_insn));
    std::memcpy(code->data(), answer.data() + 1, answer.size() - 1);
    return CompileOutcome::Compiled;
  }
  *why = !answer.empty() && answer[0] == 'E' ? answer.substr(1) : "the filter's compiler ended without an answer";
  return CompileOutcome::Failed;
}

struct Relay {
  LiveInterface::FrameSink take;
  void* context;
};

void Forward(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  const auto* relay = reinterpret_cast<const Relay*>(user);
  LiveFrame frame;
  frame.seconds = header->ts.tv_sec;
  frame.microseconds = static_cast<std::int32_t>(header->ts.tv_usec);
  frame.capturedLength = header->caplen;
  frame.originalLength = header->len;
  frame.data = data;
  relay->take(relay->context, frame);
}

}  // namespace

void LiveInterface::Closer::operator()(pcap* handle) const { pcap_close(handle); }

LiveInterface::LiveInterface(Key, std::unique_ptr<pcap, Closer> handle, std::string name, std::string sysRoot,
                             bool inBlocks)
    : handle_(std::move(handle)), name_(std::move(name)), sysRoot_(std::move(sysRoot)), inBlocks_(inBlocks) {}

std::unique_ptr<LiveInterface> LiveInterface::Open(const std::string& name, std::string* why, std::string sysRoot,
                                                   LiveOptions options) {
  const auto fail = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return std::unique_ptr<LiveInterface>();
  };
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  std::unique_ptr<pcap, Closer> p(pcap_create(name.c_str(), errbuf));
  if (!p) return fail("cannot capture on " + name + ": " + errbuf);
  pcap_set_snaplen(p.get(), PcapSnapLength);
  // Outside immediate mode libpcap takes the kernel's blocks (TPACKET_V3), and the read
  // timeout becomes the time a block may wait for more frames before it is handed over.
  const bool inBlocks = options.blockTimeoutMs > 0;
  pcap_set_immediate_mode(p.get(), inBlocks ? 0 : 1);
  pcap_set_timeout(p.get(), inBlocks ? options.blockTimeoutMs : PcapReadTimeoutMs);
  pcap_set_buffer_size(p.get(), options.bufferBytes);
  pcap_set_promisc(p.get(), 0);  // SetPromiscuous decides, at any time
  int status = pcap_activate(p.get());
  if (status < 0) return fail(ActivationFailure(name, status, pcap_geterr(p.get())));
  if (pcap_datalink(p.get()) != DLT_EN10MB) {
    const char* linkName = pcap_datalink_val_to_name(pcap_datalink(p.get()));
    return fail(name + " does not carry Ethernet frames (link type " + (linkName ? linkName : "unknown") + ")");
  }
  // Reads must not block: callers wait in Wait, which also watches their own wake-up.
  if (pcap_setnonblock(p.get(), 1, errbuf) != 0) return fail("cannot capture on " + name + ": " + errbuf);
  // The loopback interface hands every frame to the socket twice, going out and coming in,
  // and libpcap throws the outgoing copy away. Left out by the kernel, it takes no slot of
  // the ring and no time of the reader. Older kernels lack the option and keep it.
  if (IsLoopback(name)) {
    int one = 1;
    setsockopt(pcap_fileno(p.get()), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  }
  return std::make_unique<LiveInterface>(Key{}, std::move(p), name, std::move(sysRoot), inBlocks);
}

// A membership of the capture's own packet socket, as libpcap itself does at activation.
// The kernel drops it when the socket closes, so nothing outlives the handle.
bool LiveInterface::SetPromiscuous(bool on, std::string* why) {
  if (on == promiscuous_) return true;
  struct packet_mreq request {};
  request.mr_ifindex = static_cast<int>(if_nametoindex(name_.c_str()));
  request.mr_type = PACKET_MR_PROMISC;
  int option = on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP;
  if (request.mr_ifindex == 0 ||
      setsockopt(pcap_fileno(handle_.get()), SOL_PACKET, option, &request, sizeof request) != 0) {
    if (why) *why = "cannot switch promiscuous mode on " + name_ + ": " + std::strerror(errno);
    return false;
  }
  promiscuous_ = on;
  return true;
}

LiveInterface::FilterResult LiveInterface::SetFilter(const std::string& expression, std::string* why,
                                                     std::optional<FilterCompileBound> bound) {
  std::vector<bpf_insn> code;
  std::string error;
  const CompileOutcome outcome = bound ? CompileApart(handle_.get(), expression, Netmask(name_), *bound, &code, &error)
                                       : CompileHere(handle_.get(), expression, Netmask(name_), &code, &error);
  if (outcome != CompileOutcome::Compiled) {
    if (why) *why = error;
    return outcome == CompileOutcome::Stopped ? FilterResult::Stopped : FilterResult::DoesNotCompile;
  }
  struct bpf_program program {};
  program.bf_len = static_cast<u_int>(code.size());
  program.bf_insns = code.data();
  // libpcap keeps a copy of its own.
  if (pcap_setfilter(handle_.get(), &program) != 0) {
    if (why) *why = "cannot apply the filter on " + name_ + ": " + pcap_geterr(handle_.get());
    return FilterResult::NotApplied;
  }
  struct pcap_stat stats {};
  if (pcap_stats(handle_.get(), &stats) == 0) {
    receivedBefore_ = stats.ps_recv;
    droppedBefore_ = stats.ps_drop;
  }
  return FilterResult::Applied;
}

int LiveInterface::ReadWaiting(int limit, FrameSink take, void* context) {
  if (limit == 0) return 0;
  Relay relay{take, context};
  int count = pcap_dispatch(handle_.get(), limit < 0 ? -1 : limit, Forward, reinterpret_cast<u_char*>(&relay));
  if (count < 0) {
    error_ = "capture on " + name_ + " failed: " + pcap_geterr(handle_.get());
    flowing_ = false;
    return -1;
  }
  if (count == 0 && errorSeen_) {
    // The descriptor reported an error and libpcap found none to name.
    error_ = "capture on " + name_ + " reported an error";
    errorSeen_ = false;
    flowing_ = false;
    return -1;
  }
  errorSeen_ = false;
  flowing_ = count > 0;
  return count;
}

bool LiveInterface::Wait(int timeoutMs, int wakeFd) {
  struct pollfd fds[2] = {{pcap_get_selectable_fd(handle_.get()), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  if (flowing_ && !inBlocks_) {
    // Traffic is flowing: let frames gather (a wake-up still ends the wait at once).
    flowing_ = false;
    long gatherUs = PcapGatherMicroseconds;
    if (timeoutMs >= 0) gatherUs = std::min<long>(gatherUs, timeoutMs * 1000L);
    const struct timespec gather {0, gatherUs * 1000L};
    ::ppoll(&fds[1], wakeFd >= 0 ? 1 : 0, &gather, nullptr);
    return true;
  }
  int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
  if (ready < 0 && errno != EINTR) {
    error_ = "waiting for frames on " + name_ + " failed: " + std::strerror(errno);
    return false;
  }
  // An error without data: the next read lets libpcap name it (e.g. the interface went down).
  if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[0].revents & POLLIN)) errorSeen_ = true;
  return true;
}

bool LiveInterface::Statistics(std::uint64_t* received, std::uint64_t* dropped) const {
  struct pcap_stat stats {};
  if (pcap_stats(handle_.get(), &stats) != 0) return false;
  if (received) *received = stats.ps_recv - std::min<std::uint64_t>(stats.ps_recv, receivedBefore_);
  if (dropped) *dropped = stats.ps_drop - std::min<std::uint64_t>(stats.ps_drop, droppedBefore_);
  return true;
}

bool LiveInterface::StationAddress(std::array<std::uint8_t, 6>* address, std::string* why) const {
  return StationAddressOf(name_, address, why);
}

bool LiveInterface::StationAddressOf(const std::string& name, std::array<std::uint8_t, 6>* address,
                                     std::string* why) {
  const auto fail = [&](const std::string& what) {
    if (why) *why = what + ": " + std::strerror(errno);
    return false;
  };
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return fail("cannot ask for the station address");
  struct ifreq request {};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  int status = ::ioctl(sock, SIOCGIFHWADDR, &request);
  int error = errno;
  ::close(sock);
  errno = error;
  if (status != 0) return fail("cannot read the station address of " + name);
  std::memcpy(address->data(), request.ifr_hwaddr.sa_data, address->size());
  return true;
}

std::string LiveInterface::Description() const { return DescribeInterface(name_, sysRoot_); }
