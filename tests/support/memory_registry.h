#pragma once
// An in-memory registry: keys by full path, each with named string values.

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/adapters/adapters.h"

class MemoryRegistry : public RegistryView {
 public:
  struct Node {
    std::vector<std::string> subkeys;  // in enumeration order
    std::map<std::string, std::string, std::less<>> values;
    bool failCount = false;            // SubkeyCount fails
  };

  Node& AddKey(const std::string& path) { return keys_[path]; }

  // Adds adapter subkeys under the network class key; a null description or interface
  // name leaves that value out.
  void AddAdapter(const std::string& keyName, const char* description, const char* interfaceName = nullptr) {
    auto& cls = keys_[NetworkClassKey];
    cls.subkeys.push_back(keyName);
    auto& node = keys_[std::string(NetworkClassKey) + "\\" + keyName];
    if (description) node.values["DriverDesc"] = description;
    if (interfaceName) node.values[InterfaceNameValue] = interfaceName;
  }

  std::unique_ptr<Key> OpenKey(std::string_view path) const override {
    auto it = keys_.find(std::string(path));
    if (it == keys_.end()) return nullptr;
    return std::make_unique<MemoryKey>(it->second);
  }

 private:
  class MemoryKey : public Key {
   public:
    explicit MemoryKey(const Node& node) : node_(node) {}
    bool SubkeyCount(std::uint32_t* count) const override {
      if (node_.failCount) return false;
      *count = static_cast<std::uint32_t>(node_.subkeys.size());
      return true;
    }
    bool EnumerateSubkey(std::uint32_t index, char* name, std::uint32_t capacity) const override {
      if (index >= node_.subkeys.size()) return false;
      const std::string& s = node_.subkeys[index];
      if (s.size() + 1 > capacity) return false;
      std::memcpy(name, s.c_str(), s.size() + 1);
      return true;
    }
    bool ReadValue(std::string_view valueName, char* data, std::uint32_t capacity) const override {
      auto it = node_.values.find(valueName);
      if (it == node_.values.end() || it->second.size() + 1 > capacity) return false;
      std::memcpy(data, it->second.c_str(), it->second.size() + 1);
      return true;
    }

   private:
    const Node& node_;
  };

  std::map<std::string, Node, std::less<>> keys_;
};
