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

// One interface the class key lists, and where in the order: 0 with a device behind it,
// 1 virtual, 2 loopback. Nothing for another link type or an index a key cannot name.
struct ListedInterface {
  int group;
  LinuxInterface interface;
};

std::optional<ListedInterface> ReadInterface(const fs::path& dir, const std::string& sysRoot) {
  auto type = ReadNumber(dir / "type");
  auto index = ReadNumber(dir / "ifindex");
  if (!type || !index || (*type != ArphrdEther && *type != ArphrdLoopback)) return std::nullopt;
  if (*index <= 0 || *index > static_cast<long>(LargestKeyIndex)) return std::nullopt;
  std::error_code linkError;
  const int group = *type == ArphrdLoopback ? 2 : fs::exists(dir / "device", linkError) ? 0 : 1;
  LinuxInterface entry;
  entry.name = dir.filename().string();
  entry.index = static_cast<std::uint32_t>(*index);
  entry.keyName = KeyNameForIndex(entry.index);
  entry.description = DescribeInterface(entry.name, sysRoot);
  return ListedInterface{group, std::move(entry)};
}

}  // namespace

std::vector<LinuxInterface> ListLinuxInterfaces(const std::string& sysRoot) {
  std::vector<ListedInterface> found;
  std::error_code ec;
  for (fs::directory_iterator it(NetDirectory(sysRoot), ec), end; !ec && it != end; it.increment(ec)) {
    if (std::optional<ListedInterface> listed = ReadInterface(it->path(), sysRoot)) found.push_back(std::move(*listed));
  }
  std::sort(found.begin(), found.end(), [](const ListedInterface& a, const ListedInterface& b) {
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
  // The one interface alone: a walk over every adapter opens each one's key, and listing
  // them all for each made the walk grow with the square of the interfaces.
  const std::optional<std::string> name = InterfaceNameForKey(path.substr(classPath.size() + 1), sysRoot_);
  if (!name) return nullptr;
  std::optional<ListedInterface> listed = ReadInterface(NetDirectory(sysRoot_) / *name, sysRoot_);
  if (!listed) return nullptr;
  return std::make_unique<DescriptionKey>(std::move(listed->interface.description), std::move(listed->interface.name));
}
