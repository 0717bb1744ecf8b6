// The adapter walk over an in-memory registry, and the Linux registry over a /sys tree
// that the test builds in a temporary directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/adapters/linux_registry.h"
#include "tests/support/memory_registry.h"

namespace fs = std::filesystem;

namespace {

std::array<AdapterEntry, 20> Sentinels() {
  std::array<AdapterEntry, 20> entries;
  for (auto& e : entries) {
    std::strcpy(e.keyName, "XXXX");
    std::strcpy(e.description, "untouched");
  }
  return entries;
}

TEST(EnumerateAdaptersTest, NoClassKeyOrNoSubkeysGivesNothing) {
  auto entries = Sentinels();
  std::uint32_t count = 9;
  MemoryRegistry none;
  EXPECT_FALSE(EnumerateAdapters(none, entries.data(), 5, &count));
  EXPECT_EQ(count, 0u);

  MemoryRegistry empty;
  empty.AddKey(NetworkClassKey);
  count = 9;
  EXPECT_FALSE(EnumerateAdapters(empty, entries.data(), 5, &count));
  EXPECT_EQ(count, 0u);

  MemoryRegistry failing;
  failing.AddAdapter("0000", "eth0");
  failing.AddKey(NetworkClassKey).failCount = true;
  EXPECT_FALSE(EnumerateAdapters(failing, entries.data(), 5, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(entries[0].keyName, "XXXX");
}

TEST(EnumerateAdaptersTest, SevenSubkeysAreCutAtTheCallersMaximum) {
  MemoryRegistry registry;
  for (int i = 0; i < 7; ++i) {
    std::string name = "000" + std::to_string(i);
    registry.AddAdapter(name, ("card " + std::to_string(i)).c_str());
  }
  auto entries = Sentinels();
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(registry, entries.data(), 5, &count));
  EXPECT_EQ(count, 5u);
  EXPECT_STREQ(entries[4].keyName, "0004");
  EXPECT_STREQ(entries[4].description, "card 4");
  EXPECT_STREQ(entries[5].keyName, "XXXX");  // the rest of the array stays as it was

  entries = Sentinels();
  ASSERT_TRUE(EnumerateAdapters(registry, entries.data(), 20, &count));
  EXPECT_EQ(count, 7u);
  EXPECT_STREQ(entries[0].keyName, "0000");
  EXPECT_STREQ(entries[6].description, "card 6");
  EXPECT_STREQ(entries[7].description, "untouched");
}

TEST(EnumerateAdaptersTest, ASubkeyTooLongForTheEntryEndsTheWalk) {
  MemoryRegistry registry;
  registry.AddAdapter("0000", "a");
  registry.AddAdapter("0001", "b");
  registry.AddAdapter(std::string(AdapterKeyNameCapacity, '2'), "c");
  registry.AddAdapter("0003", "d");
  auto entries = Sentinels();
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(registry, entries.data(), 15, &count));
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(entries[1].description, "b");
  EXPECT_STREQ(entries[2].keyName, "XXXX");
}

TEST(EnumerateAdaptersTest, MissingOrOverlongDescriptionsCountAsEmpty) {
  MemoryRegistry registry;
  registry.AddAdapter("0000", nullptr);
  registry.AddAdapter("0001", std::string(260, 'x').c_str());
  registry.AddAdapter("0002", std::string(259, 'y').c_str());
  registry.AddKey(NetworkClassKey).subkeys.push_back("0003");  // listed, but its key is missing
  auto entries = Sentinels();
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(registry, entries.data(), 5, &count));
  EXPECT_EQ(count, 4u);
  EXPECT_STREQ(entries[0].description, "");
  EXPECT_STREQ(entries[1].description, "");
  EXPECT_EQ(std::string(entries[2].description), std::string(259, 'y'));
  EXPECT_STREQ(entries[3].keyName, "0003");
  EXPECT_STREQ(entries[3].description, "");
}

// A /sys/class/net tree: interfaces as symlinks into a devices tree, as the kernel has it.
class SysTree {
 public:
  SysTree() {
    root_ = fs::temp_directory_path() / ("orrisvane-sys-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "class" / "net");
  }
  ~SysTree() { fs::remove_all(root_); }

  // driver: the device/driver link's target name; empty for a virtual interface.
  void Add(const std::string& name, int index, int type, const std::string& driver) {
    fs::path real = driver.empty() ? root_ / "devices" / "virtual" / "net" / name
                                   : root_ / "devices" / "pci0000:00" / name / "net" / name;
    fs::create_directories(real);
    Write(real / "ifindex", std::to_string(index));
    Write(real / "type", std::to_string(type));
    if (!driver.empty()) {
      fs::create_directories(root_ / "bus" / "drivers" / driver);
      fs::create_directories(real / "device");
      fs::create_symlink(root_ / "bus" / "drivers" / driver, real / "device" / "driver");
    }
    fs::create_directory_symlink(real, root_ / "class" / "net" / name);
  }
  std::string Root() const { return root_.string(); }

 private:
  static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text << "\n"; }
  fs::path root_;
};

TEST(LinuxRegistryTest, ListsEthernetInterfacesCardsFirstLoopbackLast) {
  SysTree sys;
  sys.Add("lo", 1, 772, "");
  sys.Add("ifb0", 2, 1, "");
  sys.Add("eth1", 7, 1, "e1000e");
  sys.Add("eth0", 4, 1, "virtio_net");
  sys.Add("tun0", 5, 65534, "");  // not Ethernet: left out
  sys.Add("veth9", 12345, 1, "");  // index too long for a key name: left out

  LinuxRegistry registry(sys.Root());
  std::array<AdapterEntry, 20> entries{};
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(registry, entries.data(), 20, &count));
  ASSERT_EQ(count, 4u);
  EXPECT_STREQ(entries[0].keyName, "0004");
  EXPECT_STREQ(entries[0].description, "eth0 (virtio_net)");
  EXPECT_STREQ(entries[1].keyName, "0007");
  EXPECT_STREQ(entries[1].description, "eth1 (e1000e)");
  EXPECT_STREQ(entries[2].keyName, "0002");
  EXPECT_STREQ(entries[2].description, "ifb0 (virtual)");
  EXPECT_STREQ(entries[3].keyName, "0001");
  EXPECT_STREQ(entries[3].description, "lo (loopback)");

  EXPECT_FALSE(registry.OpenKey(std::string(NetworkClassKey) + "\\0005"));
  EXPECT_FALSE(registry.OpenKey("System\\CurrentControlSet\\Services\\Class"));
}

TEST(LinuxRegistryTest, KeyNamesMapBackToInterfaces) {
  SysTree sys;
  sys.Add("lo", 1, 772, "");
  sys.Add("eth0", 4, 1, "virtio_net");
  EXPECT_EQ(InterfaceNameForKey("0004", sys.Root()), "eth0");
  EXPECT_EQ(InterfaceNameForKey("0001", sys.Root()), "lo");
  EXPECT_EQ(InterfaceNameForKey("0003", sys.Root()), std::nullopt);
  EXPECT_EQ(InterfaceNameForKey("004", sys.Root()), std::nullopt);
  EXPECT_EQ(InterfaceNameForKey("00004", sys.Root()), std::nullopt);
  EXPECT_EQ(InterfaceNameForKey("00a4", sys.Root()), std::nullopt);
}

TEST(LinuxRegistryTest, NoNetworkTreeGivesNoAdapters) {
  SysTree sys;
  fs::remove_all(fs::path(sys.Root()) / "class");
  LinuxRegistry registry(sys.Root());
  std::array<AdapterEntry, 5> entries{};
  std::uint32_t count = 3;
  EXPECT_FALSE(EnumerateAdapters(registry, entries.data(), 5, &count));
  EXPECT_EQ(count, 0u);
}

}  // namespace
