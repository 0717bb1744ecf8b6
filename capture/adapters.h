#pragma once
// The adapter list, walked over a read-only registry view as the network class key
// presents it: one subkey per adapter, each with a "DriverDesc" value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr char NetworkClassKey[] = "System\\CurrentControlSet\\Services\\Class\\Net";

class RegistryView {
 public:
  class Key {
   public:
    virtual ~Key() = default;
    // Number of subkeys, or false when the query fails.
    virtual bool SubkeyCount(std::uint32_t* count) const = 0;
    // Name of subkey i into name[0, capacity) with its terminator; false when there is
    // no such subkey or the name (with terminator) does not fit.
    virtual bool EnumerateSubkey(std::uint32_t index, char* name, std::uint32_t capacity) const = 0;
    // A value into data[0, capacity); false when missing or it does not fit in full.
    virtual bool ReadValue(std::string_view name, char* data, std::uint32_t capacity) const = 0;
  };
  virtual ~RegistryView() = default;
  // Opens a key by its full path ("A\B\C"), or null.
  virtual std::unique_ptr<Key> OpenKey(std::string_view path) const = 0;
};

struct AdapterEntry {
  char keyName[5] = {};
  char description[260] = {};
};

// Fills entries[0, count) in registry order, at most maximum; true when count > 0.
bool EnumerateAdapters(const RegistryView& registry, AdapterEntry* entries, std::uint32_t maximum,
                       std::uint32_t* count);
