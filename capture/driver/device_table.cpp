#include "capture/driver/packet_device.h"

void DeviceTable::Register(std::string path, Factory factory) {
  factories_[std::move(path)] = std::move(factory);
}

std::unique_ptr<PacketDevice> DeviceTable::Open(std::string_view path, const DeviceOpenArgs& args) const {
  auto it = factories_.find(path);
  if (it == factories_.end() || !it->second) return nullptr;
  return it->second(args);
}
