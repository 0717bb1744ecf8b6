#pragma once
// The product's packet device: live capture through libpcap on the interface that the
// bind request's key name names (see linux_registry.h).

#include <string>

#include "capture/packet_device.h"

// Registers the libpcap device under DriverDevicePath. sysRoot is where interfaces are
// looked up when a key name is bound.
void RegisterPcapDevice(DeviceTable& table, std::string sysRoot = "/sys");

// Snap length, read timeout of the live capture handle.
inline constexpr int PcapSnapLength = 1520;
inline constexpr int PcapReadTimeoutMs = 50;
