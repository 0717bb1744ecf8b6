#include "capture/adapters/adapters.h"

#include <cstring>
#include <string>
#include <vector>

bool EnumerateAdapters(const RegistryView& registry, AdapterEntry* entries, std::uint32_t maximum,
                       std::uint32_t* count) {
  std::uint32_t found = 0;
  if (count) *count = 0;
  if (!entries || !count) return false;

  auto classKey = registry.OpenKey(NetworkClassKey);
  if (!classKey) return false;
  std::uint32_t subkeys = 0;
  if (!classKey->SubkeyCount(&subkeys) || subkeys == 0) return false;

  for (std::uint32_t i = 0; i < maximum && i < subkeys; ++i) {
    // A name that does not fit the entry ends the walk; the entries
    // before it stand, this one and the rest of the array stay as they were.
    char keyName[sizeof entries[i].keyName] = {};
    if (!classKey->EnumerateSubkey(i, keyName, sizeof keyName)) break;
    AdapterEntry& entry = entries[i];
    std::memcpy(entry.keyName, keyName, sizeof keyName);

    std::memset(entry.description, 0, sizeof entry.description);
    std::memset(entry.interfaceName, 0, sizeof entry.interfaceName);
    const std::string path = std::string(NetworkClassKey) + "\\" + keyName;
    if (auto adapterKey = registry.OpenKey(path)) {
      char description[sizeof entry.description] = {};
      // A description that cannot be read in full is left empty rather than cut.
      if (adapterKey->ReadValue("DriverDesc", description, sizeof description)) {
        description[sizeof description - 1] = 0;
        std::memcpy(entry.description, description, sizeof description);
      }
      char name[sizeof entry.interfaceName] = {};
      if (adapterKey->ReadValue(InterfaceNameValue, name, sizeof name)) {
        name[sizeof name - 1] = 0;
        std::memcpy(entry.interfaceName, name, sizeof name);
      }
    }
    ++found;
  }
  *count = found;
  return found > 0;
}

std::optional<AdapterEntry> FindAdapter(const RegistryView& registry, std::int32_t index, std::uint32_t limit,
                                        std::uint32_t* found) {
  std::vector<AdapterEntry> entries(limit);
  std::uint32_t count = 0;
  EnumerateAdapters(registry, entries.data(), limit, &count);
  if (found) *found = count;
  if (index < 0 || static_cast<std::uint32_t>(index) >= count) return std::nullopt;
  return entries[static_cast<std::size_t>(index)];
}

std::optional<std::uint32_t> FindAdapterIndexByName(const RegistryView& registry, std::string_view name,
                                                    std::uint32_t limit) {
  if (name.empty()) return std::nullopt;
  std::vector<AdapterEntry> entries(limit);
  std::uint32_t count = 0;
  EnumerateAdapters(registry, entries.data(), limit, &count);
  for (std::uint32_t i = 0; i < count; ++i)
    if (name == entries[i].interfaceName) return i;
  return std::nullopt;
}

bool DescriptionKey::SubkeyCount(std::uint32_t* count) const {
  *count = 0;
  return true;
}

bool DescriptionKey::ReadValue(std::string_view name, char* data, std::uint32_t capacity) const {
  const std::string* value = name == "DriverDesc" ? &description_
                             : name == InterfaceNameValue && !interfaceName_.empty() ? &interfaceName_
                                                                                     : nullptr;
  if (!value || value->size() + 1 > capacity) return false;
  std::memcpy(data, value->c_str(), value->size() + 1);
  return true;
}
