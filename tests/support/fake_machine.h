#pragma once
// A scripted machine for the capture commands and the window: the fake device under the
// driver's path, an in-memory adapter list, and frames to feed them.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/trace/capture_environment.h"
#include "tests/support/fake_device.h"
#include "tests/support/memory_registry.h"

struct FakeMachine {
  std::shared_ptr<FakeDeviceScript> script = std::make_shared<FakeDeviceScript>();
  DeviceTable devices;
  MemoryRegistry registry;
  // Where traces keep their frames; none by default.
  SpoolFolder* spools = nullptr;

  FakeMachine() { RegisterFakeDevice(devices, script); }
  // Adapters "0000", "0001", ... named "fake0", "fake1", ... described "fakeN (scripted)"
  void AddAdapters(int count) {
    for (int i = 0; i < count; ++i) {
      std::string key = std::to_string(i);
      key.insert(0, 4 - key.size(), '0');
      const std::string name = "fake" + std::to_string(i);
      registry.AddAdapter(key, (name + " (scripted)").c_str(), name.c_str());
    }
  }
  CaptureEnvironment Environment() const { return {devices, registry, spools}; }

  // A 60-byte Ethernet II frame from the adapter's own MAC (an outgoing one), IPv4/UDP.
  std::vector<std::uint8_t> OutgoingFrame() const {
    std::vector<std::uint8_t> f(60, 0);
    const std::uint8_t dst[6] = {0x02, 0, 0, 0, 0, 0x09};
    std::copy(dst, dst + 6, f.begin());
    std::copy(script->mac, script->mac + 6, f.begin() + 6);
    f[12] = 0x08;  // IPv4
    f[14] = 0x45;
    f[17] = 46;    // total length
    f[22] = 64;    // TTL
    f[23] = 17;    // UDP
    const std::uint8_t src[4] = {10, 0, 0, 2}, to[4] = {10, 0, 0, 9};
    std::copy(src, src + 4, f.begin() + 26);
    std::copy(to, to + 4, f.begin() + 30);
    f[34] = 0x30; f[35] = 0x39;  // 12345
    f[36] = 0x00; f[37] = 0x35;  // 53
    f[39] = 26;
    return f;
  }
  void PushFrames(int count) {
    for (int i = 0; i < count; ++i) script->PushFrame(OutgoingFrame());
  }
};
