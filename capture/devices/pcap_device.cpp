#include "capture/devices/pcap_device.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "capture/driver/abort_event.h"
#include "capture/driver/device_base.h"
#include "capture/adapters/linux_registry.h"

namespace {

using Clock = std::chrono::steady_clock;

// The driver requests over one live interface. Reads and the station address/description
// requests come from the thread that owns the adapter; the two abort requests may come
// from any thread and only touch the atomic flag and the event descriptor.
class PcapDevice : public DeviceBase {
 public:
  PcapDevice(std::string sysRoot, PcapDeviceUse use) : sysRoot_(std::move(sysRoot)), use_(use) {}

  std::uint64_t KernelDrops() const override {
    std::uint64_t dropped = 0;
    if (!interface_ || !interface_->Statistics(nullptr, &dropped)) return 0;
    return dropped;
  }

 private:
  void Abort() override { abort_.Raise(); }

  bool Bind(const std::string& keyName) override {
    if (interface_ || !described_.empty()) return Fail("an interface is already bound");
    auto name = InterfaceNameForKey(keyName, sysRoot_);
    if (!name) return Fail("no network interface has the adapter key \"" + keyName + "\"");
    if (use_ == PcapDeviceUse::DescribeOnly) {
      described_ = *name;
      return true;
    }
    if (!abort_.Usable()) return Fail(std::string("cannot make the abort event: ") + std::strerror(errno));
    std::string why;
    interface_ = LiveInterface::Open(*name, &why, sysRoot_);
    if (!interface_) return Fail(std::move(why));
    return true;
  }

  void Unbind() override {
    interface_.reset();
    described_.clear();
  }

  bool SetPacketFilter(std::uint32_t filter) override {
    if (!interface_) return Fail("no interface is bound");
    std::string why;
    if (!interface_->SetPromiscuous((filter & PromiscuousFilter) != 0, &why)) return Fail(std::move(why));
    return true;
  }

  struct Delivery {
    PcapDevice* device;
    void* output;
    std::uint32_t size;
    std::uint32_t length;
  };

  // One frame, cut to what the request's buffer holds.
  static void Deliver(void* context, const LiveFrame& frame) {
    auto* delivery = static_cast<Delivery*>(context);
    const FrameInfo info{frame.seconds * 1'000'000'000 + std::int64_t{frame.microseconds} * 1000, frame.originalLength};
    delivery->device->DeliverFrame(frame.data, frame.capturedLength, info, delivery->output, delivery->size,
                                   &delivery->length);
  }

  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) override {
    // The clock is read only once a read has to wait: a frame already in the ring (the
    // common case on a busy interface) costs no clock reading.
    Clock::time_point deadline{};
    const auto Deadline = [&deadline] {
      if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(PcapReadTimeoutMs);
      return deadline;
    };
    if (!interface_) {
      abort_.WaitUntil(Deadline());
      return Fail("no interface is bound");
    }
    if (!output && size > 0) return Fail("the read request has no buffer");
    for (;;) {
      if (abort_.Raised()) return false;
      Delivery delivery{this, output, size, 0};
      int count = interface_->ReadWaiting(1, Deliver, &delivery);
      if (count == 1) {
        if (bytesReturned) *bytesReturned = delivery.length;
        return true;
      }
      if (count < 0) {
        std::string why = interface_->Error();
        abort_.WaitUntil(Deadline());
        return Fail(std::move(why));
      }
      int left = RemainingMs(Deadline());
      if (left == 0) {
        if (bytesReturned) *bytesReturned = 0;
        return true;
      }
      if (!interface_->Wait(left, abort_.Fd())) {
        std::string why = interface_->Error();
        abort_.WaitUntil(Deadline());
        return Fail(std::move(why));
      }
    }
  }

  bool StationAddress(std::array<std::uint8_t, 6>& address) override {
    std::string why;
    if (!described_.empty()) {
      if (!LiveInterface::StationAddressOf(described_, &address, &why)) return Fail(std::move(why));
      return true;
    }
    if (!interface_) return Fail("no interface is bound");
    if (!interface_->StationAddress(&address, &why)) return Fail(std::move(why));
    return true;
  }

  bool Description(std::string& text) override {
    if (!described_.empty()) {
      text = DescribeInterface(described_, sysRoot_);
      return true;
    }
    if (!interface_) return Fail("no interface is bound");
    text = interface_->Description();
    return true;
  }

  std::string sysRoot_;
  PcapDeviceUse use_;
  std::string described_;  // the interface bound for its description only
  AbortEvent abort_;
  std::unique_ptr<LiveInterface> interface_;
};

}  // namespace

void RegisterPcapDevice(DeviceTable& table, std::string sysRoot, PcapDeviceUse use) {
  table.Register(DriverDevicePath, [sysRoot = std::move(sysRoot), use](const DeviceOpenArgs&) {
    return std::unique_ptr<PacketDevice>(std::make_unique<PcapDevice>(sysRoot, use));
  });
}
