#include "capture/pcap_device.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "capture/linux_registry.h"

namespace {

using Clock = std::chrono::steady_clock;

// A file descriptor owned by value.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

std::string ProgramPath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("<program>") : path.string();
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Live capture on one interface. Reads and the station address/description requests
// come from the thread that owns the adapter; the two abort requests may come from any
// thread and only touch the atomic flag and the event descriptor.
class PcapDevice : public PacketDevice {
 public:
  explicit PcapDevice(std::string sysRoot)
      : sysRoot_(std::move(sysRoot)), abortEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  bool Control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
               std::uint32_t outputSize, std::uint32_t* bytesReturned) override {
    switch (code) {
      case request_code::AbortFirst:
      case request_code::AbortSecond:
        Abort();
        return true;
      case request_code::Bind:
        return Bind(input ? std::string(static_cast<const char*>(input), inputLength) : std::string());
      case request_code::Unbind:
        handle_.reset();
        return true;
      case request_code::SetFilter:
        return SetFilter(input, inputLength);
      case request_code::Read:
        return Read(output, outputSize, bytesReturned);
      case request_code::StationAddress:
        return StationAddress(output, outputSize, bytesReturned);
      case request_code::QueryDescription:
        return Description(output, outputSize, bytesReturned);
      default:
        return Fail("unknown request");
    }
  }

  std::string LastError() const override {
    std::lock_guard lock(errorMutex_);
    return lastError_;
  }

  std::uint64_t KernelDrops() const override {
    if (!handle_) return 0;
    struct pcap_stat stats {};
    if (pcap_stats(handle_.get(), &stats) != 0) return 0;
    return stats.ps_drop;
  }

 private:
  bool Fail(std::string reason) {
    std::lock_guard lock(errorMutex_);
    lastError_ = std::move(reason);
    return false;
  }

  bool Bind(const std::string& keyName) {
    if (handle_) return Fail("an interface is already bound");
    auto name = InterfaceNameForKey(keyName, sysRoot_);
    if (!name) return Fail("no network interface has the adapter key \"" + keyName + "\"");
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    PcapHandle p(pcap_create(name->c_str(), errbuf));
    if (!p) return Fail("cannot capture on " + *name + ": " + errbuf);
    pcap_set_snaplen(p.get(), PcapSnapLength);
    pcap_set_immediate_mode(p.get(), 1);
    pcap_set_timeout(p.get(), PcapReadTimeoutMs);
    pcap_set_buffer_size(p.get(), PcapBufferBytes);
    pcap_set_promisc(p.get(), 0);  // the set-filter request decides
    int status = pcap_activate(p.get());
    if (status < 0) return Fail(ActivationFailure(*name, status, pcap_geterr(p.get())));
    if (pcap_datalink(p.get()) != DLT_EN10MB) {
      const char* linkName = pcap_datalink_val_to_name(pcap_datalink(p.get()));
      return Fail(*name + " does not carry Ethernet frames (link type " + (linkName ? linkName : "unknown") + ")");
    }
    // Reads wait in our own poll, which the abort event can wake; libpcap must not block.
    if (pcap_setnonblock(p.get(), 1, errbuf) != 0) return Fail("cannot capture on " + *name + ": " + errbuf);
    if (abortEvent_.get() < 0) return Fail(std::string("cannot make the abort event: ") + std::strerror(errno));
    interfaceName_ = *name;
    handle_ = std::move(p);
    promiscuous_ = false;
    return true;
  }

  static std::string ActivationFailure(const std::string& name, int status, const char* detail) {
    std::string why = detail && *detail ? detail : pcap_statustostr(status);
    switch (status) {
      case PCAP_ERROR_PERM_DENIED:
        return "no permission to capture on " + name + " (" + why +
               "). Grant the capture capability: sudo setcap cap_net_raw,cap_net_admin+eip " + ProgramPath() +
               ", or run the program as root.";
      case PCAP_ERROR_NO_SUCH_DEVICE:
        return "no such interface: " + name + " (" + why + ")";
      case PCAP_ERROR_IFACE_NOT_UP:
        return "interface " + name + " is down";
      default:
        return "cannot capture on " + name + ": " + why;
    }
  }

  // Promiscuous mode on an already activated handle: a membership of the capture's own
  // packet socket, as libpcap itself does at activation. The kernel drops it when the
  // socket closes, so unbinding needs no clean-up and nothing outlives the adapter.
  bool SetFilter(const void* input, std::uint32_t inputLength) {
    if (!handle_) return Fail("no interface is bound");
    if (!input || inputLength < 4) return Fail("the packet filter request carries no filter");
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    std::uint32_t filter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    bool wanted = (filter & PromiscuousFilter) != 0;
    if (wanted == promiscuous_) return true;
    struct packet_mreq request {};
    request.mr_ifindex = static_cast<int>(if_nametoindex(interfaceName_.c_str()));
    request.mr_type = PACKET_MR_PROMISC;
    int option = wanted ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP;
    if (request.mr_ifindex == 0 ||
        setsockopt(pcap_fileno(handle_.get()), SOL_PACKET, option, &request, sizeof request) != 0)
      return Fail("cannot switch promiscuous mode on " + interfaceName_ + ": " + std::strerror(errno));
    promiscuous_ = wanted;
    return true;
  }

  void Abort() {
    aborted_.store(true);
    if (abortEvent_.get() >= 0) {
      std::uint64_t one = 1;
      // Never read back: the event stays readable, so reads that start later end too.
      [[maybe_unused]] auto written = ::write(abortEvent_.get(), &one, sizeof one);
    }
  }

  // After a failure, wait out the read timeout (or an abort) so a reader that goes on
  // reading a broken interface does not spin.
  void WaitForAbort(Clock::time_point deadline) {
    struct pollfd event {abortEvent_.get(), POLLIN, 0};
    while (!aborted_.load()) {
      int left = RemainingMs(deadline);
      if (left == 0) return;
      if (::poll(&event, 1, left) < 0 && errno != EINTR) return;
    }
  }

  // One frame, cut to what the request's buffer holds.
  static bool Deliver(const pcap_pkthdr& header, const u_char* data, void* output, std::uint32_t size,
                      std::uint32_t* bytesReturned) {
    std::uint32_t n = std::min<std::uint32_t>(header.caplen, size);
    if (n > 0) std::memcpy(output, data, n);
    if (bytesReturned) *bytesReturned = n;
    return true;
  }

  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    // The clock is read only once a read has to wait: a frame already in the ring (the
    // common case on a busy interface) costs no clock reading.
    Clock::time_point deadline{};
    const auto Deadline = [&deadline] {
      if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(PcapReadTimeoutMs);
      return deadline;
    };
    if (!handle_) {
      WaitForAbort(Deadline());
      return Fail("no interface is bound");
    }
    if (!output && size > 0) return Fail("the read request has no buffer");
    for (;;) {
      if (aborted_.load()) return false;
      struct pcap_pkthdr* header = nullptr;
      const u_char* data = nullptr;
      int status = pcap_next_ex(handle_.get(), &header, &data);
      if (status == 1) {
        flowing_ = true;
        return Deliver(*header, data, output, size, bytesReturned);
      }
      if (status == 0 && flowing_) {
        // Traffic is flowing: let frames gather (an abort still ends the wait at once).
        flowing_ = false;
        struct pollfd event {abortEvent_.get(), POLLIN, 0};
        const struct timespec gather {0, PcapGatherMicroseconds * 1000L};
        ::ppoll(&event, 1, &gather, nullptr);
        continue;
      }
      if (status < 0) {
        std::string why = "capture on " + interfaceName_ + " failed: " + pcap_geterr(handle_.get());
        WaitForAbort(Deadline());
        return Fail(std::move(why));
      }
      int left = RemainingMs(Deadline());
      if (left == 0) {
        if (bytesReturned) *bytesReturned = 0;
        return true;
      }
      struct pollfd fds[2] = {{pcap_get_selectable_fd(handle_.get()), POLLIN, 0}, {abortEvent_.get(), POLLIN, 0}};
      int ready = ::poll(fds, 2, left);
      if (ready < 0 && errno != EINTR) {
        std::string why = "waiting for frames on " + interfaceName_ + " failed: " + std::strerror(errno);
        WaitForAbort(Deadline());
        return Fail(std::move(why));
      }
      if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[0].revents & POLLIN)) {
        // Let libpcap read the error (it names it, e.g. the interface went down); if it
        // has none to give, wait out the timeout instead of polling the error again.
        status = pcap_next_ex(handle_.get(), &header, &data);
        if (status == 1) return Deliver(*header, data, output, size, bytesReturned);
        std::string why = status < 0 ? "capture on " + interfaceName_ + " failed: " + pcap_geterr(handle_.get())
                                     : "capture on " + interfaceName_ + " reported an error";
        WaitForAbort(Deadline());
        return Fail(std::move(why));
      }
    }
  }

  bool StationAddress(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    if (!handle_) return Fail("no interface is bound");
    if (!output || size < 6) return Fail("the station address needs 6 bytes");
    FileDescriptor sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) return Fail(std::string("cannot ask for the station address: ") + std::strerror(errno));
    struct ifreq request {};
    std::strncpy(request.ifr_name, interfaceName_.c_str(), IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFHWADDR, &request) != 0)
      return Fail("cannot read the station address of " + interfaceName_ + ": " + std::strerror(errno));
    std::memcpy(output, request.ifr_hwaddr.sa_data, 6);
    if (bytesReturned) *bytesReturned = 6;
    return true;
  }

  bool Description(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    if (!handle_) return Fail("no interface is bound");
    if (!output || size == 0) return Fail("no room for the description");
    std::string text = DescribeInterface(interfaceName_, sysRoot_);
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), size - 1));
    std::memcpy(output, text.data(), n);
    static_cast<char*>(output)[n] = 0;
    if (bytesReturned) *bytesReturned = n + 1;
    return true;
  }

  std::string sysRoot_;
  FileDescriptor abortEvent_;
  std::atomic<bool> aborted_{false};
  PcapHandle handle_;
  std::string interfaceName_;
  bool promiscuous_ = false;
  // The last read found a frame waiting (reader's thread only).
  bool flowing_ = false;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace

void RegisterPcapDevice(DeviceTable& table, std::string sysRoot) {
  table.Register(DriverDevicePath, [sysRoot = std::move(sysRoot)](const DeviceOpenArgs&) {
    return std::unique_ptr<PacketDevice>(std::make_unique<PcapDevice>(sysRoot));
  });
}
