#pragma once
// What the capture commands and the settings reach the machine through: the devices
// that open adapters and the registry view that lists them. Tests hand in fakes.

#include "capture/adapters/adapters.h"
#include "capture/driver/packet_device.h"

class SpoolFolder;
class RemoteHosts;

struct CaptureEnvironment {
  const DeviceTable& devices;
  const RegistryView& registry;
  // Where traces keep their frames on disk; none: frames are not kept.
  SpoolFolder* spools = nullptr;
  // The remote hosts whose adapters registry lists after the machine's own (it is then
  // this same object); none: only the machine's own.
  RemoteHosts* remoteHosts = nullptr;
};
