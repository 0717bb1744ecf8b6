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
// The kernel ring of the handle. In immediate mode every frame takes a slot of the snap
// length (two to a page), so 16 MiB hold about 8,000 frames: some 40 ms of a saturated
// loopback. The kernel clears the ring when the adapter is bound, so more costs start-up.
inline constexpr int PcapBufferBytes = 16 << 20;
// When the ring runs dry while frames are coming in, a read waits this long for more to
// gather before it sleeps in poll: a busy interface then wakes the reader about once per
// interval instead of once per frame. It is the most a frame is held back.
inline constexpr int PcapGatherMicroseconds = 5000;
