#pragma once
// The adapter list, walked over a read-only registry view as the network class key
// presents it: one subkey per adapter, each with a "DriverDesc" value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// The value of an adapter's key that holds its interface name: "eth0", or "web1/eth0" for
// an adapter of another host. Unlike the key name (an interface index), the name stays
// when an interface is removed and made again.
inline constexpr char InterfaceNameValue[] = "InterfaceName";

// An adapter's key: no subkeys, its description as the value "DriverDesc" and, when
// known, its interface name.
class DescriptionKey : public RegistryView::Key {
 public:
  explicit DescriptionKey(std::string description, std::string interfaceName = {})
      : description_(std::move(description)), interfaceName_(std::move(interfaceName)) {}
  bool SubkeyCount(std::uint32_t* count) const override;
  bool EnumerateSubkey(std::uint32_t, char*, std::uint32_t) const override { return false; }
  bool ReadValue(std::string_view name, char* data, std::uint32_t capacity) const override;

 private:
  std::string description_;
  std::string interfaceName_;
};

// Room for a key name with its terminator: the machine's own are four digits ("0002"),
// a remote host's adapter is keyed "HOST/0002".
inline constexpr std::size_t AdapterKeyNameCapacity = 256;

struct AdapterEntry {
  char keyName[AdapterKeyNameCapacity] = {};
  char description[260] = {};
  char interfaceName[AdapterKeyNameCapacity] = {};  // empty when the list does not say
};

// Fills entries[0, count) in registry order, at most maximum; true when count > 0.
bool EnumerateAdapters(const RegistryView& registry, AdapterEntry* entries, std::uint32_t maximum,
                       std::uint32_t* count);

// How far each place lists the adapters. Start and the settings drop-down offer the first
// five; the stored adapter index goes up to 14, so the Adapter page's details reach 15
// entries; the start-up probe and orrisvane-dump look at twenty.
inline constexpr std::uint32_t StartAdapterLimit = 5;
inline constexpr std::int32_t HighestAdapterIndex = 14;
inline constexpr std::uint32_t DetailAdapterLimit = HighestAdapterIndex + 1;
inline constexpr std::uint32_t ProbeAdapterLimit = 20;

// The adapter at index among the first limit the registry lists, or nothing when there is
// none (a negative index, an index past the list, no adapters at all). *found (when
// given) receives how many were listed.
std::optional<AdapterEntry> FindAdapter(const RegistryView& registry, std::int32_t index, std::uint32_t limit,
                                        std::uint32_t* found = nullptr);

// The index of the adapter whose interface name is name among the first limit listed, or
// nothing when none is (an empty name is never found).
std::optional<std::uint32_t> FindAdapterIndexByName(const RegistryView& registry, std::string_view name,
                                                    std::uint32_t limit);
