#pragma once
// The network class key as Linux can present it: one subkey per Ethernet-type interface
// (loopback included) read from /sys/class/net. The root of /sys is a parameter so that
// tests can point the view at a tree of their own.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/adapters/adapters.h"

// One listed interface, in the order the class key presents them.
struct LinuxInterface {
  std::string name;         // "eth0"
  std::uint32_t index = 0;  // interface index
  std::string keyName;      // the index as four decimal digits: "0004"
  std::string description;  // "eth0 (virtio_net)", "lo (loopback)"
};

// Interfaces with a device behind them first, then virtual ones, each group by interface
// index, loopback last: adapter 0 is then the machine's network card, and the order only
// changes when interfaces come or go. Interfaces whose index does not fit four digits
// cannot be named by a key and are left out.
std::vector<LinuxInterface> ListLinuxInterfaces(const std::string& sysRoot = "/sys");

// The interface a key name ("0002") stands for, or nothing when the key is not four
// decimal digits or no interface has that index.
std::optional<std::string> InterfaceNameForKey(std::string_view keyName, const std::string& sysRoot = "/sys");

// "eth0 (virtio_net)": the interface name, then what is known of it.
std::string DescribeInterface(const std::string& name, const std::string& sysRoot = "/sys");

class LinuxRegistry : public RegistryView {
 public:
  explicit LinuxRegistry(std::string sysRoot = "/sys");
  std::unique_ptr<Key> OpenKey(std::string_view path) const override;

 private:
  std::string sysRoot_;
};
