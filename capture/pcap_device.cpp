#include "capture/pcap_device.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
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

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The driver requests over one live interface. Reads and the station address/description
// requests come from the thread that owns the adapter; the two abort requests may come
// from any thread and only touch the atomic flag and the event descriptor.
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
        interface_.reset();
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
    std::uint64_t dropped = 0;
    if (!interface_ || !interface_->Statistics(nullptr, &dropped)) return 0;
    return dropped;
  }

 private:
  bool Fail(std::string reason) {
    std::lock_guard lock(errorMutex_);
    lastError_ = std::move(reason);
    return false;
  }

  bool Bind(const std::string& keyName) {
    if (interface_) return Fail("an interface is already bound");
    auto name = InterfaceNameForKey(keyName, sysRoot_);
    if (!name) return Fail("no network interface has the adapter key \"" + keyName + "\"");
    if (abortEvent_.get() < 0) return Fail(std::string("cannot make the abort event: ") + std::strerror(errno));
    std::string why;
    interface_ = LiveInterface::Open(*name, &why, sysRoot_);
    if (!interface_) return Fail(std::move(why));
    return true;
  }

  bool SetFilter(const void* input, std::uint32_t inputLength) {
    if (!interface_) return Fail("no interface is bound");
    if (!input || inputLength < 4) return Fail("the packet filter request carries no filter");
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    std::uint32_t filter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    std::string why;
    if (!interface_->SetPromiscuous((filter & PromiscuousFilter) != 0, &why)) return Fail(std::move(why));
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

  struct Delivery {
    void* output;
    std::uint32_t size;
    std::uint32_t length;
  };

  // One frame, cut to what the request's buffer holds.
  static void Deliver(void* context, const LiveFrame& frame) {
    auto* delivery = static_cast<Delivery*>(context);
    delivery->length = std::min(frame.capturedLength, delivery->size);
    if (delivery->length > 0) std::memcpy(delivery->output, frame.data, delivery->length);
  }

  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    // The clock is read only once a read has to wait: a frame already in the ring (the
    // common case on a busy interface) costs no clock reading.
    Clock::time_point deadline{};
    const auto Deadline = [&deadline] {
      if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(PcapReadTimeoutMs);
      return deadline;
    };
    if (!interface_) {
      WaitForAbort(Deadline());
      return Fail("no interface is bound");
    }
    if (!output && size > 0) return Fail("the read request has no buffer");
    for (;;) {
      if (aborted_.load()) return false;
      Delivery delivery{output, size, 0};
      int count = interface_->ReadWaiting(1, Deliver, &delivery);
      if (count == 1) {
        if (bytesReturned) *bytesReturned = delivery.length;
        return true;
      }
      if (count < 0) {
        std::string why = interface_->Error();
        WaitForAbort(Deadline());
        return Fail(std::move(why));
      }
      int left = RemainingMs(Deadline());
      if (left == 0) {
        if (bytesReturned) *bytesReturned = 0;
        return true;
      }
      if (!interface_->Wait(left, abortEvent_.get())) {
        std::string why = interface_->Error();
        WaitForAbort(Deadline());
        return Fail(std::move(why));
      }
    }
  }

  bool StationAddress(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    if (!interface_) return Fail("no interface is bound");
    if (!output || size < 6) return Fail("the station address needs 6 bytes");
    std::array<std::uint8_t, 6> address{};
    std::string why;
    if (!interface_->StationAddress(&address, &why)) return Fail(std::move(why));
    std::memcpy(output, address.data(), address.size());
    if (bytesReturned) *bytesReturned = 6;
    return true;
  }

  bool Description(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
    if (!interface_) return Fail("no interface is bound");
    if (!output || size == 0) return Fail("no room for the description");
    std::string text = interface_->Description();
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), size - 1));
    std::memcpy(output, text.data(), n);
    static_cast<char*>(output)[n] = 0;
    if (bytesReturned) *bytesReturned = n + 1;
    return true;
  }

  std::string sysRoot_;
  FileDescriptor abortEvent_;
  std::atomic<bool> aborted_{false};
  std::unique_ptr<LiveInterface> interface_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace

void RegisterPcapDevice(DeviceTable& table, std::string sysRoot) {
  table.Register(DriverDevicePath, [sysRoot = std::move(sysRoot)](const DeviceOpenArgs&) {
    return std::unique_ptr<PacketDevice>(std::make_unique<PcapDevice>(sysRoot));
  });
}
