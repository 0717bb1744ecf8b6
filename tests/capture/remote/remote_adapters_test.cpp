// Remote adapters without a network: the ssh command line and its quoting (read back by
// a real shell), the parsing of an agent's -D list, listing through a stand-in for ssh,
// and the adapter list that puts the hosts' adapters after the machine's own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "capture/devices/agent_device.h"
#include "capture/driver/driver_client.h"
#include "capture/remote/adapter_list.h"
#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"
#include "tests/support/memory_registry.h"
#include "tests/support/pcapng_builder.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Sets an environment variable for one test and puts back what was there.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// What sh makes of a command line: each argument on a line of its own.
std::string ShellReadsBack(const std::string& line) {
  const std::string command = "printf '%s\\n' " + line;
  std::FILE* pipe = ::popen(("sh -c " + QuoteForShell(command)).c_str(), "r");
  std::string text;
  char buffer[256];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

TEST(SshCommandTest, EveryWordReachesTheRemoteShellUnchanged) {
  for (const std::string word : {"eth0", "tcp port 80 and (udp or tcp)", "it's", "$HOME `id` \\n;|&", "*", "a\"b",
                                 "--promiscuous", "x\ny"}) {
    EXPECT_EQ(ShellReadsBack(QuoteForShell(word)), word + "\n") << word;
  }
  EXPECT_EQ(QuoteForShell("eth0"), "eth0");  // plain words stay readable in ps
  EXPECT_EQ(ShellReadsBack(QuoteForShell("")), "\n");
}

TEST(SshCommandTest, TheCommandIsSshInBatchModeWithTheAgentsArgumentsQuoted) {
  ScopedVariable ssh(SshProgramVariable, "/bin/true");
  std::string why;
  auto command = RemoteAgentCommand("capture@web1", {"-i", "eth0", "-f", "port 80 and tcp"}, &why);
  ASSERT_TRUE(command) << why;
  EXPECT_EQ(command->program, "/bin/true");
  EXPECT_THAT(command->arguments,
              ElementsAre("-T", "-o", "BatchMode=yes", "capture@web1", "orrisvane-capture -i eth0 -f 'port 80 and tcp'"));

  // A name without a slash is looked up on PATH, as ssh itself is.
  ScopedVariable byName(SshProgramVariable, "true");
  command = RemoteAgentCommand("web1", {"-D"}, &why);
  ASSERT_TRUE(command) << why;
  EXPECT_TRUE(fs::path(command->program).is_absolute());
  EXPECT_EQ(fs::path(command->program).filename(), "true");

  ScopedVariable missing(SshProgramVariable, "/nonexistent/ssh");
  EXPECT_FALSE(RemoteAgentCommand("web1", {"-D"}, &why));
  EXPECT_THAT(why, HasSubstr("ORRISVANE_SSH names /nonexistent/ssh"));
}

TEST(SshCommandTest, DestinationsThatSshWouldMisreadAreRefused) {
  EXPECT_FALSE(HostError("capture@web1"));
  EXPECT_FALSE(HostError("ssh://root@10.0.0.5:2222"));
  EXPECT_TRUE(HostError(""));
  EXPECT_TRUE(HostError("-oProxyCommand=touch /tmp/x"));  // an option, not a host
  EXPECT_TRUE(HostError("web 1"));
  EXPECT_TRUE(HostError("web\n1"));
  EXPECT_TRUE(HostError(std::string(MaxHostLength + 1, 'h')));
  std::string why;
  ScopedVariable ssh(SshProgramVariable, "/bin/true");
  EXPECT_FALSE(RemoteAgentCommand("-F/tmp/config", {"-D"}, &why));
  EXPECT_THAT(why, HasSubstr("begins with '-'"));
}

TEST(SshCommandTest, HostsTextSplitsOnBlanksAndCommasOnceEach) {
  EXPECT_THAT(SplitHosts(" capture@web1,root@10.0.0.5\n web2  web1 web2,,"),
              ElementsAre("capture@web1", "root@10.0.0.5", "web2", "web1"));
  EXPECT_EQ(JoinHosts(SplitHosts("a, b\tc")), "a b c");
  EXPECT_TRUE(SplitHosts(" , ").empty());
}

TEST(RemoteAdapterListTest, AnAgentsListIsReadBackWithEscapedCellsAndOtherLinesPassedOver) {
  const auto adapters = ParseAdapterList(
      "0\t0004\teth0 (virtio_net)\t02:FC:00:00:00:01\n"
      "orrisvane-capture: Adapter 0002 open failed\n"
      "1\t00021\ttoo long a key\t\n"
      "2\t0002\tweird\\tname (x\\\\y)\t\r\n"
      "3\t0001\tlo (loopback)\t00:00:00:00:00:00");
  ASSERT_EQ(adapters.size(), 3u);
  EXPECT_EQ(adapters[0].keyName, "0004");
  EXPECT_EQ(adapters[0].interfaceName, "eth0");
  EXPECT_EQ(adapters[0].description, "eth0 (virtio_net)");
  EXPECT_EQ(adapters[1].description, "weird\tname (x\\y)");
  EXPECT_EQ(adapters[2].interfaceName, "lo");
  EXPECT_EQ(SplitRemoteKey("ssh://h:22/0002"), (std::pair<std::string, std::string>{"ssh://h:22", "0002"}));
  EXPECT_FALSE(SplitRemoteKey("0002"));
}

// A stand-in for ssh: answers by the destination it is given (its fourth argument).
class FakeSsh : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orrisvane-fake-ssh-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    const fs::path script = dir_ / "ssh";
    std::ofstream(script) << "#!/bin/sh\n"
                             "[ \"$1 $2 $3\" = '-T -o BatchMode=yes' ] || { echo \"bad options: $*\" >&2; exit 2; }\n"
                             "case \"$4\" in\n"
                             "  good) printf '0\\t0002\\teth0 (e1000)\\t02:00:00:00:00:02\\n1\\t0001\\tlo (loopback)\\t00:00:00:00:00:00\\n' ;;\n"
                             "  many) for i in $(seq 1 15); do printf '%d\\t%04d\\teth%d (x)\\t\\n' $i $i $i; done ;;\n"
                             "  refused) echo 'capture@refused: Permission denied (publickey).' >&2; exit 255 ;;\n"
                             "  silent) exec sleep 30 ;;\n"
                             "  hostile) printf '0\\t0003\\teth0 \\033]0;owned\\007\\t\\033[2J\\n' ;;\n"
                             "  killed) [ \"$5\" = 'orrisvane-capture -D' ] && exec printf '0\\t0002\\teth0 (e1000)\\t02:00:00:00:00:02\\n'\n"
                             "          cat \"$(dirname \"$0\")/stream\"; kill -9 $$ ;;\n"
                             "esac\n";
    fs::permissions(script, fs::perms::owner_all);
    ssh_.emplace(SshProgramVariable, script.string());
  }
  void TearDown() override {
    ssh_.reset();
    fs::remove_all(dir_);
  }

  fs::path dir_;
  std::optional<ScopedVariable> ssh_;
};

TEST_F(FakeSsh, ListingGivesTheAdaptersOrSshsReasonAndGivesUpOnASilentHost) {
  HostListing good = ListHostAdapters("good");
  EXPECT_EQ(good.failure, "");
  ASSERT_EQ(good.adapters.size(), 2u);
  EXPECT_EQ(good.adapters[0].interfaceName, "eth0");

  HostListing refused = ListHostAdapters("refused");
  EXPECT_EQ(refused.failure, "capture@refused: Permission denied (publickey).");
  EXPECT_TRUE(refused.adapters.empty());

  const auto start = std::chrono::steady_clock::now();
  HostListing silent = ListHostAdapters("silent", std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_THAT(silent.failure, HasSubstr("no answer within"));
}

TEST_F(FakeSsh, HostsAdaptersFollowTheMachinesOwnUpToFifteenAndTheRestIsCounted) {
  MemoryRegistry local;
  local.AddAdapter("0004", "eth0 (virtio_net)");
  local.AddAdapter("0001", "lo (loopback)");
  RemoteHosts hosts(local);
  EXPECT_EQ(AdapterChoiceLimit(hosts), StartAdapterLimit);  // no host: as ever

  hosts.SetHosts({"good", "refused", "many", "silent2"});
  const auto listings = hosts.ListAll(std::chrono::milliseconds(2000));
  ASSERT_EQ(listings.size(), 4u);
  EXPECT_NE(listings[1].failure, "");

  AdapterEntry entries[20];
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(hosts, entries, 20, &count));
  ASSERT_EQ(count, DetailAdapterLimit);
  EXPECT_STREQ(entries[0].keyName, "0004");
  EXPECT_STREQ(entries[1].description, "lo (loopback)");
  EXPECT_STREQ(entries[2].keyName, "good/0002");
  EXPECT_STREQ(entries[2].description, "good: eth0 (e1000)");
  EXPECT_STREQ(entries[4].keyName, "many/0001");
  EXPECT_STREQ(entries[14].keyName, "many/0011");
  EXPECT_EQ(hosts.LeftOut(), (std::pair<std::uint32_t, std::string>{4, "many"}));
  EXPECT_EQ(AdapterChoiceLimit(hosts), DetailAdapterLimit);

  ASSERT_TRUE(hosts.Find("good/0002"));
  EXPECT_EQ(hosts.Find("good/0002")->interfaceName, "eth0");
  EXPECT_FALSE(hosts.Find("good/0009"));
  EXPECT_FALSE(hosts.Find("0004"));

  // A host taken off the list takes its adapters with it; its late answer is not kept.
  hosts.SetHosts({"many"});
  hosts.Store(ListHostAdapters("good"));
  ASSERT_TRUE(EnumerateAdapters(hosts, entries, 20, &count));
  EXPECT_EQ(count, DetailAdapterLimit);
  EXPECT_STREQ(entries[2].keyName, "many/0001");
  EXPECT_EQ(hosts.LeftOut().first, 2u);
  EXPECT_FALSE(hosts.Find("good/0002"));
}

// -D shows the listings (opening a device would add a line), text escaped; a killed ssh is named.
TEST_F(FakeSsh, RemoteAdaptersAreListedAsTheirHostSaysAndAKilledSshIsNamed) {
  MemoryRegistry local;
  RemoteHosts hosts(local);
  hosts.SetHosts({"hostile", "killed"});
  hosts.ListAll(std::chrono::milliseconds(2000));
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  EXPECT_TRUE(PrintAdapterList(&hosts, std::make_unique<DeviceTable>().get(), out, out, "test", &hosts));
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), "0\thostile/0003\thostile: eth0 \\\\x1b]0;owned\\\\x07\t\n"
                                     "1\tkilled/0002\tkilled: eth0 (e1000)\t02:00:00:00:00:02\n");
  std::free(text);

  const pcapng_builder::Bytes stream = pcapng_builder::Stream().Section().Interface(1, 1520, {pcapng_builder::MacOption({2, 0, 0, 0, 0, 2})}).bytes();
  std::ofstream(dir_ / "stream").write(reinterpret_cast<const char*>(stream.data()), std::ssize(stream));
  DeviceTable devices;
  AgentOptions options;
  options.remoteHosts = &hosts;
  RegisterAgentDevice(devices, options);
  std::string why;
  AdapterPtr adapter = OpenAdapter(devices, "killed/0002", &why);
  ASSERT_TRUE(adapter) << why;
  std::uint8_t buffer[1520];
  RequestPtr request = AllocatePacket(adapter.get());
  InitPacket(request.get(), buffer, sizeof buffer);
  for (std::uint32_t count = 0, reads = 0; reads < 200 && ReadPacket(adapter.get(), request.get(), &count); ++reads) {
  }
  EXPECT_EQ(adapter->lastError, "killed: ssh was ended by signal 9 (SIGKILL)");
}

}  // namespace
