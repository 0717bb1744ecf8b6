#pragma once
// What the capture commands and the settings reach the machine through: the devices
// that open adapters and the registry view that lists them. Tests hand in fakes.

#include "capture/adapters.h"
#include "capture/packet_device.h"

class SpoolFolder;

struct CaptureEnvironment {
  const DeviceTable& devices;
  const RegistryView& registry;
  // Where traces keep their frames on disk; none: frames are not kept.
  SpoolFolder* spools = nullptr;
};
