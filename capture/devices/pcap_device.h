#pragma once
// The product's packet device: live capture through libpcap (LiveInterface) on the
// interface that the bind request's key name names (see linux_registry.h).

#include <string>

#include "capture/devices/live_interface.h"
#include "capture/driver/packet_device.h"

enum class PcapDeviceUse {
  Capture,
  // Binding opens nothing: only the station address and the description are answered.
  // What listing adapters needs, without the rights to capture.
  DescribeOnly,
};

// Registers the libpcap device under DriverDevicePath. sysRoot is where interfaces are
// looked up when a key name is bound.
void RegisterPcapDevice(DeviceTable& table, std::string sysRoot = "/sys", PcapDeviceUse use = PcapDeviceUse::Capture);
