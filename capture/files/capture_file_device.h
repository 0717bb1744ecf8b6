#pragma once
// A packet device that reads the frames of a pcap or pcapng file instead of an interface:
// for orrisvane-dump and for tests. Any key name binds the file; a file that cannot be
// read or does not hold Ethernet frames is refused with the reason in LastError().
// Frames come in file order without waiting; after the last one EndOfInput() is true and
// reads deliver 0 bytes (waiting up to the read timeout, so a reader does not spin).

#include <string>

#include "capture/driver/packet_device.h"

// Records a capture filter set on the device does not take are passed over, as a live
// adapter's kernel would.
void RegisterCaptureFileDevice(DeviceTable& table, std::string filePath);
