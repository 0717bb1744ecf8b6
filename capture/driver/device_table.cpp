#include "capture/driver/packet_device.h"

#include <algorithm>

bool PacketDevice::ReadBatch(FrameBatch& batch, std::uint32_t singleBytes) {
  batch.frames.clear();
  batch.single.resize(singleBytes);
  std::uint32_t count = 0;
  if (!Control(request_code::Read, nullptr, 0, batch.single.data(), singleBytes, &count)) return false;
  if (count > 0) batch.frames.push_back({{batch.single.data(), std::min(count, singleBytes)}, LastFrameInfo()});
  return true;
}

void DeviceTable::Register(std::string path, Factory factory) {
  factories_[std::move(path)] = std::move(factory);
}

std::unique_ptr<PacketDevice> DeviceTable::Open(std::string_view path, const DeviceOpenArgs& args) const {
  auto it = factories_.find(path);
  if (it == factories_.end() || !it->second) return nullptr;
  return it->second(args);
}
