#pragma once
// What every packet device here shares: the reason of its last failure (asked from any
// thread), the answers that copy a frame, a station address or a description into the
// request's buffer, and the owner of a libpcap handle.

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "capture/driver/packet_device.h"

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

class DeviceBase : public PacketDevice {
 public:
  std::string LastError() const override;
  FrameInfo LastFrameInfo() const override { return lastFrame_; }

 protected:
  // Keeps reason as the last failure's and returns false, so a request can end with
  // `return Fail(...)`.
  bool Fail(std::string reason);

  // The filter word of a set-filter request (little-endian, as the driver takes it); fails
  // when the request carries none.
  bool ReadFilterRequest(const void* input, std::uint32_t inputLength, std::uint32_t* filter);
  // A frame of length bytes cut to the request's buffer of size bytes; info is what
  // LastFrameInfo() answers from now on.
  bool DeliverFrame(const std::uint8_t* frame, std::uint32_t length, const FrameInfo& info, void* output,
                    std::uint32_t size, std::uint32_t* bytesReturned) {
    lastFrame_ = info;
    return CopyFrame(frame, length, output, size, bytesReturned);
  }
  // The six bytes of a station address; fails when the buffer is too small.
  bool CopyStationAddress(const std::uint8_t* mac, void* output, std::uint32_t size, std::uint32_t* bytesReturned);
  // A description cut to the buffer with its terminator (counted in *bytesReturned).
  bool CopyDescription(std::string_view text, void* output, std::uint32_t size, std::uint32_t* bytesReturned);

 private:
  static bool CopyFrame(const std::uint8_t* frame, std::uint32_t length, void* output, std::uint32_t size,
                        std::uint32_t* bytesReturned);

  FrameInfo lastFrame_;  // written and read by the reading thread only
  mutable std::mutex errorMutex_;
  std::string lastError_;
};
