#pragma once
// The ten operations of the packet driver client. They report only success or failure
// and never show a message; the reason a device gave is kept for the caller to show.

#include <cstdint>
#include <memory>
#include <string>

#include "capture/driver/packet_device.h"

struct AdapterHandle {
  std::unique_ptr<PacketDevice> device;
  char keyName[5] = {};
  char devicePath[263] = {};
  std::string lastError;  // the device's reason for the last failure, if it gave one
};

struct PacketRequest;

// Closing the adapter unbinds it; both records are released only through these.
using AdapterPtr = std::unique_ptr<AdapterHandle, void (*)(AdapterHandle*)>;
using RequestPtr = std::unique_ptr<PacketRequest, void (*)(PacketRequest*)>;

struct PacketRequest {
  std::uint8_t* buffer = nullptr;  // the caller's, not owned
  std::uint32_t length = 0;
};

// Opens the device at DriverDevicePath from the table and binds the named adapter.
// On failure returns null; *why (when given) receives the device's reason.
AdapterPtr OpenAdapter(const DeviceTable& devices, const char* keyName, std::string* why = nullptr);
// An adapter over a device that is bound already (one that merges adapters opened here).
AdapterPtr AdoptDevice(std::unique_ptr<PacketDevice> device, const char* keyName);
void CloseAdapter(AdapterPtr adapter);
RequestPtr AllocatePacket(AdapterHandle* adapter);
void FreePacket(RequestPtr request);
void InitPacket(PacketRequest* request, std::uint8_t* buffer, std::uint32_t length);
bool ReadPacket(AdapterHandle* adapter, PacketRequest* request, std::uint32_t* bytesRead);
// Every frame at hand, as PacketDevice::ReadBatch reads them, each cut to maxBytes.
bool ReadFrames(AdapterHandle* adapter, FrameBatch* batch, std::uint32_t maxBytes);
bool AbortRead(AdapterHandle* adapter);
bool SetPacketFilter(AdapterHandle* adapter, std::uint32_t filter);
bool GetAddress(AdapterHandle* adapter, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* bytesReturned);
bool QueryDescription(AdapterHandle* adapter, char* buffer, std::uint32_t size, std::uint32_t* bytesReturned);
