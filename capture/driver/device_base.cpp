#include "capture/driver/device_base.h"

#include <algorithm>
#include <cstring>

bool DeviceBase::Control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                         std::uint32_t outputSize, std::uint32_t* bytesReturned) {
  switch (code) {
    case request_code::AbortFirst:
    case request_code::AbortSecond:
      Abort();
      return true;
    case request_code::Bind:
      return Bind(input ? std::string(static_cast<const char*>(input), inputLength) : std::string());
    case request_code::Unbind:
      Unbind();
      return true;
    case request_code::SetFilter: {
      std::uint32_t filter = 0;
      return ReadFilterRequest(input, inputLength, &filter) && SetPacketFilter(filter);
    }
    case request_code::Read:
      return Read(output, outputSize, bytesReturned);
    case request_code::StationAddress: {
      std::array<std::uint8_t, 6> address{};
      return StationAddress(address) && CopyStationAddress(address.data(), output, outputSize, bytesReturned);
    }
    case request_code::QueryDescription: {
      std::string text;
      return Description(text) && CopyDescription(text, output, outputSize, bytesReturned);
    }
    default:
      return Fail("unknown request");
  }
}

std::string DeviceBase::LastError() const {
  std::lock_guard lock(errorMutex_);
  return lastError_;
}

bool DeviceBase::Fail(std::string reason) {
  std::lock_guard lock(errorMutex_);
  lastError_ = std::move(reason);
  return false;
}

bool DeviceBase::ReadFilterRequest(const void* input, std::uint32_t inputLength, std::uint32_t* filter) {
  if (!input || inputLength < 4) return Fail("the packet filter request carries no filter");
  const auto* bytes = static_cast<const std::uint8_t*>(input);
  *filter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

bool DeviceBase::ReadFromBatch(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (nextPending_ >= pending_.frames.size()) {
    nextPending_ = 0;
    if (!ReadBatch(pending_, size)) {
      pending_.frames.clear();
      return false;
    }
    if (pending_.frames.empty()) return true;
  }
  const FrameBatch::Frame& frame = pending_.frames[nextPending_++];
  return DeliverFrame(frame.bytes.data(), static_cast<std::uint32_t>(frame.bytes.size()), frame.info, output, size,
                      bytesReturned);
}

bool DeviceBase::CopyFrame(const std::uint8_t* frame, std::uint32_t length, void* output, std::uint32_t size,
                           std::uint32_t* bytesReturned) {
  const std::uint32_t n = std::min(length, size);
  if (n > 0) std::memcpy(output, frame, n);
  if (bytesReturned) *bytesReturned = n;
  return true;
}

bool DeviceBase::CopyStationAddress(const std::uint8_t* mac, void* output, std::uint32_t size,
                                    std::uint32_t* bytesReturned) {
  if (!output || size < 6) return Fail("the station address needs 6 bytes");
  std::memcpy(output, mac, 6);
  if (bytesReturned) *bytesReturned = 6;
  return true;
}

bool DeviceBase::CopyDescription(std::string_view text, void* output, std::uint32_t size,
                                 std::uint32_t* bytesReturned) {
  if (!output || size == 0) return Fail("no room for the description");
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), size - 1));
  std::memcpy(output, text.data(), n);
  static_cast<char*>(output)[n] = 0;
  if (bytesReturned) *bytesReturned = n + 1;
  return true;
}
