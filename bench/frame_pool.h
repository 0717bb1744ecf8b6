#pragma once
// The first frames of a capture file, read once and decoded over and over by the list
// benchmarks to make millions of rows without a file of that size.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "capture/files/capture_file_device.h"
#include "capture/driver/driver_client.h"

namespace bench {

constexpr std::size_t PoolFrames = 65536;

// Reads the first PoolFrames frames of file into pool; false (with the reason on stderr,
// after program's name) when it cannot be read or holds fewer.
inline bool ReadFramePool(const char* program, const std::string& file, std::vector<std::vector<std::uint8_t>>& pool) {
  DeviceTable devices;
  RegisterCaptureFileDevice(devices, file);
  std::string why;
  AdapterPtr adapter = OpenAdapter(devices, "file", &why);
  if (!adapter) {
    std::fprintf(stderr, "%s: %s: %s\n", program, file.c_str(), why.c_str());
    return false;
  }
  std::vector<std::uint8_t> buffer(FrameBufferSize);
  RequestPtr request = AllocatePacket(adapter.get());
  InitPacket(request.get(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
  while (pool.size() < PoolFrames && !adapter->device->EndOfInput()) {
    std::uint32_t count = 0;
    ReadPacket(adapter.get(), request.get(), &count);
    if (count > 0) pool.emplace_back(buffer.begin(), buffer.begin() + count);
  }
  FreePacket(std::move(request));
  CloseAdapter(std::move(adapter));
  return pool.size() == PoolFrames;
}

}  // namespace bench
