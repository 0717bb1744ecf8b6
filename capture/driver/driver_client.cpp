#include "capture/driver/driver_client.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// How the driver is opened: read and write, exclusive, open existing, overlapped and
// delete-on-close so the driver unloads when the last handle goes.
constexpr DeviceOpenArgs DriverOpenArgs{0xC0000000u, 0u, 3u, 0x44000080u};

void PutUint32LittleEndian(std::uint8_t* out, std::size_t offset, std::uint32_t value) {
  out[offset + 0] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  out[offset + 2] = static_cast<std::uint8_t>(value >> 16);
  out[offset + 3] = static_cast<std::uint8_t>(value >> 24);
}

// A request that completes before Control returns (every request but the read and the
// two aborts). On Linux there is no completion event to make, so it cannot fail for
// want of one; the device's reason is kept on the handle when it fails.
bool WaitedRequest(AdapterHandle& adapter, std::uint32_t code, const void* input, std::uint32_t inputLength,
                   void* output, std::uint32_t outputSize, std::uint32_t* bytesReturned) {
  std::uint32_t localCount = 0;
  bool ok = adapter.device->Control(code, input, inputLength, output, outputSize,
                                    bytesReturned ? bytesReturned : &localCount);
  if (!ok) adapter.lastError = adapter.device->LastError();
  return ok;
}

// The deleters of AdapterPtr and RequestPtr take back what OpenAdapter and AllocatePacket
// released from their unique_ptrs.
void DestroyAdapter(AdapterHandle* released) {
  std::unique_ptr<AdapterHandle> adapter(released);
  if (adapter && adapter->device) {
    std::uint32_t ignored = 0;
    adapter->device->Control(request_code::Unbind, nullptr, 0, nullptr, 0, &ignored);  // result ignored
  }
}

void DestroyRequest(PacketRequest* released) { std::unique_ptr<PacketRequest> request(released); }

bool UsableAdapter(const AdapterHandle* adapter) { return adapter && adapter->device; }

}  // namespace

AdapterPtr OpenAdapter(const DeviceTable& devices, const char* keyName, std::string* why) {
  if (why) why->clear();
  if (!keyName) keyName = "";
  auto handle = std::make_unique<AdapterHandle>();
  std::memcpy(handle->devicePath, DriverDevicePath, sizeof DriverDevicePath);
  // At most four characters fit the field; the terminator stays in place.
  std::size_t keyLength = std::strlen(keyName);
  std::memcpy(handle->keyName, keyName, std::min(keyLength, sizeof handle->keyName - 1));

  handle->device = devices.Open(handle->devicePath, DriverOpenArgs);
  if (!handle->device) return AdapterPtr(nullptr, DestroyAdapter);

  // The bind carries the caller's whole name, so a name too long for a key is refused by
  // the device instead of binding the adapter its first four characters happen to name.
  if (!WaitedRequest(*handle, request_code::Bind, keyName, static_cast<std::uint32_t>(keyLength), nullptr, 0,
                     nullptr)) {
    if (why) *why = handle->lastError;
    handle->device.reset();  // closes the device without an unbind: nothing was bound
    return AdapterPtr(nullptr, DestroyAdapter);
  }
  return AdapterPtr(handle.release(), DestroyAdapter);
}

AdapterPtr AdoptDevice(std::unique_ptr<PacketDevice> device, const char* keyName) {
  auto handle = std::make_unique<AdapterHandle>();
  std::memcpy(handle->devicePath, DriverDevicePath, sizeof DriverDevicePath);
  if (keyName) std::memcpy(handle->keyName, keyName, std::min(std::strlen(keyName), sizeof handle->keyName - 1));
  handle->device = std::move(device);
  return AdapterPtr(handle.release(), DestroyAdapter);
}

void CloseAdapter(AdapterPtr adapter) { adapter.reset(); }

RequestPtr AllocatePacket(AdapterHandle* /*adapter: a request is not tied to one*/) {
  auto request = std::make_unique<PacketRequest>();
  return RequestPtr(request.release(), DestroyRequest);
}

void FreePacket(RequestPtr request) { request.reset(); }

void InitPacket(PacketRequest* request, std::uint8_t* buffer, std::uint32_t length) {
  if (!request) return;
  request->buffer = buffer;
  request->length = length;
}

bool ReadPacket(AdapterHandle* adapter, PacketRequest* request, std::uint32_t* bytesRead) {
  // The devices here always complete a read before Control returns (a frame, the read
  // timeout or an abort): there is no pending read to wait for afterwards.
  if (!UsableAdapter(adapter) || !request) return false;
  std::uint32_t localCount = 0;
  std::uint32_t* count = bytesRead ? bytesRead : &localCount;
  bool ok = adapter->device->Control(request_code::Read, nullptr, 0, request->buffer, request->length, count);
  // A device must never claim more than the buffer holds; the decoder trusts the count.
  if (*count > request->length) *count = request->length;
  if (!ok) adapter->lastError = adapter->device->LastError();
  return ok;
}

bool ReadFrames(AdapterHandle* adapter, FrameBatch* batch, std::uint32_t maxBytes) {
  batch->frames.clear();
  if (!UsableAdapter(adapter)) return false;
  if (!adapter->device->ReadBatch(*batch, maxBytes)) {
    batch->frames.clear();
    adapter->lastError = adapter->device->LastError();
    return false;
  }
  for (FrameBatch::Frame& frame : batch->frames) {
    if (frame.bytes.size() > maxBytes) frame.bytes = frame.bytes.first(maxBytes);
  }
  return true;
}

bool AbortRead(AdapterHandle* adapter) {
  if (!UsableAdapter(adapter)) return true;
  adapter->device->Control(request_code::AbortFirst, nullptr, 0, nullptr, 0, nullptr);
  adapter->device->Control(request_code::AbortSecond, nullptr, 0, nullptr, 0, nullptr);
  return true;
}

bool SetPacketFilter(AdapterHandle* adapter, std::uint32_t filter) {
  if (!UsableAdapter(adapter)) return false;
  std::array<std::uint8_t, 4> input{};
  PutUint32LittleEndian(input.data(), 0, filter);
  return WaitedRequest(*adapter, request_code::SetFilter, input.data(), static_cast<std::uint32_t>(input.size()),
                       nullptr, 0, nullptr);
}

bool GetAddress(AdapterHandle* adapter, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesReturned) {
  if (!buffer || !bytesReturned || size < 6) return false;
  if (!UsableAdapter(adapter)) return false;
  return WaitedRequest(*adapter, request_code::StationAddress, nullptr, 0, buffer, size, bytesReturned);
}

bool QueryDescription(AdapterHandle* adapter, char* buffer, std::uint32_t size, std::uint32_t* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (!UsableAdapter(adapter)) return false;
  return WaitedRequest(*adapter, request_code::QueryDescription, nullptr, 0, buffer, size, bytesReturned);
}
