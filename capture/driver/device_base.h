#pragma once
// What every packet device here shares: the one dispatch of the driver's request codes to
// typed requests, the reason of its last failure (asked from any thread), the answers
// that copy a frame, a station address or a description into the request's buffer, and
// the owner of a libpcap handle.

#include <pcap/pcap.h>

#include <array>
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
  // Hands each request code of the driver protocol to the typed request below, its input
  // read and its answer written into the request's buffer here; an unknown code fails.
  bool Control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
               std::uint32_t outputSize, std::uint32_t* bytesReturned) final;
  std::string LastError() const override;
  FrameInfo LastFrameInfo() const override { return lastFrame_; }

 protected:
  // The requests. Each fails with Fail(reason); Abort and Unbind cannot fail.
  // Abort may come from any thread: it ends a pending read and every read after it.
  virtual void Abort() = 0;
  virtual bool Bind(const std::string& keyName) = 0;
  virtual void Unbind() = 0;
  // The set-filter request's filter word (PromiscuousFilter or the adapter's own).
  virtual bool SetPacketFilter(std::uint32_t filter) = 0;
  // The next frame into the buffer of size bytes, through DeliverFrame; 0 bytes when none
  // came within the read timeout.
  virtual bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) = 0;
  virtual bool StationAddress(std::array<std::uint8_t, 6>& address) = 0;
  virtual bool Description(std::string& text) = 0;

  // Keeps reason as the last failure's and returns false, so a request can end with
  // `return Fail(...)`.
  bool Fail(std::string reason);

  // A frame of length bytes cut to the request's buffer of size bytes; info is what
  // LastFrameInfo() answers from now on.
  bool DeliverFrame(const std::uint8_t* frame, std::uint32_t length, const FrameInfo& info, void* output,
                    std::uint32_t size, std::uint32_t* bytesReturned) {
    lastFrame_ = info;
    return CopyFrame(frame, length, output, size, bytesReturned);
  }

  // A single read of a device that reads in batches (ReadBatch): the next frame of the
  // last batch, or the first of a new one. The device looks for an abort before it.
  bool ReadFromBatch(void* output, std::uint32_t size, std::uint32_t* bytesReturned);

 private:
  static bool CopyFrame(const std::uint8_t* frame, std::uint32_t length, void* output, std::uint32_t size,
                        std::uint32_t* bytesReturned);
  // The filter word of a set-filter request (little-endian, as the driver takes it); fails
  // when the request carries none.
  bool ReadFilterRequest(const void* input, std::uint32_t inputLength, std::uint32_t* filter);
  // The six bytes of a station address; fails when the buffer is too small.
  bool CopyStationAddress(const std::uint8_t* mac, void* output, std::uint32_t size, std::uint32_t* bytesReturned);
  // A description cut to the buffer with its terminator (counted in *bytesReturned).
  bool CopyDescription(std::string_view text, void* output, std::uint32_t size, std::uint32_t* bytesReturned);

  FrameInfo lastFrame_;  // written and read by the reading thread only
  FrameBatch pending_;  // the batch single reads take their frames from
  std::size_t nextPending_ = 0;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};
