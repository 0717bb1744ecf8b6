#include "capture/adapters/linux_registry.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr long ArphrdEther = 1;
constexpr long ArphrdLoopback = 772;
constexpr std::uint32_t LargestKeyIndex = 9999;     // four decimal digits
constexpr std::size_t DescriptionCapacity = 259;    // what an AdapterEntry holds

fs::path NetDirectory(const std::string& sysRoot) { return fs::path(sysRoot) / "class" / "net"; }

// The first line of a small /sys attribute file as a number.
std::optional<long> ReadNumber(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  long value = 0;
  auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
  if (ec != std::errc() || end == line.data()) return std::nullopt;
  return value;
}

std::string KeyNameForIndex(std::uint32_t index) {
  char name[16];
  std::snprintf(name, sizeof name, "%04u", static_cast<unsigned>(index));
  return name;
}

std::optional<std::uint32_t> IndexFromKey(std::string_view keyName) {
  if (keyName.size() != 4) return std::nullopt;
  if (!std::all_of(keyName.begin(), keyName.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::uint32_t index = 0;
  std::from_chars(keyName.data(), keyName.data() + keyName.size(), index);
  return index;
}

class ClassKey : public RegistryView::Key {
 public:
  explicit ClassKey(std::vector<LinuxInterface> interfaces) : interfaces_(std::move(interfaces)) {}
  bool SubkeyCount(std::uint32_t* count) const override {
    *count = static_cast<std::uint32_t>(interfaces_.size());
    return true;
  }
  bool EnumerateSubkey(std::uint32_t index, char* name, std::uint32_t capacity) const override {
    if (index >= interfaces_.size()) return false;
    const std::string& key = interfaces_[index].keyName;
    if (key.size() + 1 > capacity) return false;
    std::memcpy(name, key.c_str(), key.size() + 1);
    return true;
  }
  bool ReadValue(std::string_view, char*, std::uint32_t) const override { return false; }

 private:
  std::vector<LinuxInterface> interfaces_;  // as the key was opened: its subkeys do not shift under a walk
};

}  // namespace

std::string DescribeInterface(const std::string& name, const std::string& sysRoot) {
  const fs::path dir = NetDirectory(sysRoot) / name;
  std::string what;
  std::error_code ec;
  if (ReadNumber(dir / "type") == ArphrdLoopback) {
    what = "loopback";
  } else if (fs::path driver = fs::read_symlink(dir / "device" / "driver", ec); !ec && !driver.empty()) {
    what = driver.filename().string();
  } else if (fs::path real = fs::canonical(dir, ec); !ec && real.string().find("/devices/virtual/") != std::string::npos) {
    what = "virtual";
  }
  std::string text = what.empty() ? name : name + " (" + what + ")";
  if (text.size() > DescriptionCapacity) text.resize(DescriptionCapacity);
  return text;
}

namespace {

struct Found {
  int group;  // 0: a device behind it, 1: virtual, 2: loopback
  LinuxInterface interface;
};

// The interface of the folder dir of the net class, when it is one an adapter stands for.
std::optional<Found> ReadInterface(const fs::path& dir, const std::string& sysRoot) {
  auto type = ReadNumber(dir / "type");
  auto index = ReadNumber(dir / "ifindex");
  if (!type || !index || (*type != ArphrdEther && *type != ArphrdLoopback)) return std::nullopt;
  if (*index <= 0 || *index > static_cast<long>(LargestKeyIndex)) return std::nullopt;
  std::error_code linkError;
  int group = *type == ArphrdLoopback ? 2 : fs::exists(dir / "device", linkError) ? 0 : 1;
  LinuxInterface entry;
  entry.name = dir.filename().string();
  entry.index = static_cast<std::uint32_t>(*index);
  entry.keyName = KeyNameForIndex(entry.index);
  entry.description = DescribeInterface(entry.name, sysRoot);
  return Found{group, std::move(entry)};
}

}  // namespace

std::vector<LinuxInterface> ListLinuxInterfaces(const std::string& sysRoot) {
  std::vector<Found> found;
  std::error_code ec;
  for (fs::directory_iterator it(NetDirectory(sysRoot), ec), end; !ec && it != end; it.increment(ec)) {
    if (std::optional<Found> interface = ReadInterface(it->path(), sysRoot)) found.push_back(std::move(*interface));
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.group, a.interface.index) < std::tie(b.group, b.interface.index);
  });
  std::vector<LinuxInterface> result;
  for (auto& f : found) result.push_back(std::move(f.interface));
  return result;
}

std::optional<std::string> InterfaceNameForKey(std::string_view keyName, const std::string& sysRoot) {
  auto index = IndexFromKey(keyName);
  if (!index) return std::nullopt;
  std::error_code ec;
  for (fs::directory_iterator it(NetDirectory(sysRoot), ec), end; !ec && it != end; it.increment(ec)) {
    if (ReadNumber(it->path() / "ifindex") == static_cast<long>(*index)) return it->path().filename().string();
  }
  return std::nullopt;
}

LinuxRegistry::LinuxRegistry(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

std::unique_ptr<RegistryView::Key> LinuxRegistry::OpenKey(std::string_view path) const {
  const std::string_view classPath = NetworkClassKey;
  if (path == classPath) return std::make_unique<ClassKey>(ListLinuxInterfaces(sysRoot_));
  if (path.size() <= classPath.size() + 1 || path.substr(0, classPath.size()) != classPath ||
      path[classPath.size()] != '\\')
    return nullptr;
  // Only the interface of the key's index is described: a walk over the list opens every
  // adapter's key, and describing them all for each would cost the square of their number.
  const std::optional<std::uint32_t> index = IndexFromKey(path.substr(classPath.size() + 1));
  if (!index) return nullptr;
  std::error_code ec;
  for (fs::directory_iterator it(NetDirectory(sysRoot_), ec), end; !ec && it != end; it.increment(ec)) {
    if (ReadNumber(it->path() / "ifindex") != static_cast<long>(*index)) continue;
    std::optional<Found> found = ReadInterface(it->path(), sysRoot_);
    if (!found) return nullptr;
    return std::make_unique<DescriptionKey>(found->interface.description, found->interface.name);
  }
  return nullptr;
}
