// Remote adapters against a host on this machine: a network namespace with its own sshd
// (tests/support/namespace_host.h). orrisvane-dump --host lists the host's adapters after
// the machine's own and captures from them; the rows equal those of a capture made on the
// host itself; a lost connection, a refused key and an unknown host key are told with
// ssh's words; ending a capture ends the agent on the host.

#if defined(ORRISVANE_DUMP_PROGRAM) && defined(ORRISVANE_AGENT_FOLDER)

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "analysis/columns.h"
#include "capture/devices/agent_device.h"
#include "capture/remote/child_process.h"
#include "capture/driver/driver_client.h"
#include "capture/adapters/linux_registry.h"
#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"
#include "tests/support/namespace_host.h"

namespace {

using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using test_host::NamespaceHost;

// Sets ORRISVANE_SSH for one test and puts back what was there.
class SshVariable {
 public:
  explicit SshVariable(const std::string& program) {
    if (const char* old = std::getenv(SshProgramVariable)) old_ = old;
    Set(program);
  }
  ~SshVariable() {
    if (old_)
      Set(*old_);
    else
      ::unsetenv(SshProgramVariable);
  }
  void Set(const std::string& program) { ::setenv(SshProgramVariable, program.c_str(), 1); }

 private:
  std::optional<std::string> old_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A program started by the test, its output gathered as it comes.
struct Running {
  std::unique_ptr<ChildProcess> process;
  std::string out;

  // Reads what has come; true once until() holds, false when timeout passed first.
  bool ReadUntil(const std::function<bool(const std::string&)>& until, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (!until(out)) {
      if (Clock::now() >= end || process->Output() < 0) return until(out);
      struct pollfd fd = {process->Output(), POLLIN, 0};
      ::poll(&fd, 1, 20);
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(process->Output(), buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
      if (n == 0) process->Collect(std::chrono::milliseconds(0), 0, nullptr);
      process->TakeErrors();
    }
    return true;
  }
  // Interrupts it as Ctrl+C would and takes the rest of its output; its exit status.
  std::optional<int> Interrupt() {
    ::kill(process->Pid(), SIGINT);
    return Finish();
  }
  std::optional<int> Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string rest;
    process->Collect(timeout, 1 << 24, &rest);
    out += rest;
    return process->Wait(std::chrono::seconds(2));
  }
};

Running Start(const std::string& program, const std::vector<std::string>& args) {
  std::string why;
  Running running{ChildProcess::Start(program, args, &why), {}};
  EXPECT_TRUE(running.process) << why;
  return running;
}

class RemoteHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<NamespaceHost>(ORRISVANE_AGENT_FOLDER);
    if (!host_->Unavailable().empty()) GTEST_SKIP() << host_->Unavailable();
    ssh_.emplace(host_->SshWrapper());
  }
  void TearDown() override {
    ssh_.reset();
    host_.reset();
  }

  // orrisvane-dump with the arguments, to its end.
  std::pair<std::optional<int>, std::string> Dump(const std::vector<std::string>& args, std::string* out = nullptr) {
    Running dump = Start(ORRISVANE_DUMP_PROGRAM, args);
    if (!dump.process) return {std::nullopt, {}};
    const std::optional<int> status = dump.Finish(std::chrono::seconds(20));
    if (out) *out = dump.out;
    return {status ? std::optional<int>(WEXITSTATUS(*status)) : std::nullopt, dump.process->ErrorText()};
  }

  // The key name of the host's veth end in `orrisvane-dump --host H -D` (not its index,
  // which other tests shift as they add and remove this machine's veth ends).
  std::string RemoteKey() {
    std::string out;
    Dump({"--host", host_->Destination(), "-D"}, &out);
    for (const std::string& line : Lines(out)) {
      if (line.find(host_->Destination() + ": " + host_->InnerLink() + " ") == std::string::npos) continue;
      const std::size_t from = line.find('\t') + 1;
      return line.substr(from, line.find('\t', from) - from);
    }
    return "";
  }

  // One datagram from inside the namespace to this side's discard port.
  void SendInside(const std::string& payload) {
    host_->RunInside("bash -c 'printf \"" + payload + "\" > /dev/udp/" + host_->HostAddress() + "/9'");
  }

  std::unique_ptr<NamespaceHost> host_;
  std::optional<SshVariable> ssh_;
};

TEST_F(RemoteHostTest, ListsTheHostsAdaptersAfterTheMachinesOwn) {
  std::string out;
  auto [status, err] = Dump({"--host", host_->Destination(), "-D"}, &out);
  ASSERT_EQ(status, 0) << err;
  const std::vector<std::string> lines = Lines(out);
  const std::string key = host_->Destination() + "/";
  std::size_t firstRemote = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(key) != std::string::npos && firstRemote == lines.size()) firstRemote = i;
    if (i > firstRemote) {
      EXPECT_THAT(lines[i], HasSubstr(key)) << "a local adapter after a remote one";
    }
  }
  ASSERT_GT(firstRemote, 0u) << out;  // this machine's adapters first
  ASSERT_LT(firstRemote, lines.size()) << out << err;
  // "5<TAB>root@192.0.2.250/0007<TAB>root@192.0.2.250: ovs123x0n (virtual)<TAB>86:99:..."
  EXPECT_THAT(out, HasSubstr("\t" + host_->Destination() + ": " + host_->InnerLink() + " (virtual)\t"));
  EXPECT_THAT(out, HasSubstr("\t" + host_->Destination() + ": lo (loopback)\t00:00:00:00:00:00"));
}

TEST_F(RemoteHostTest, RemoteRowsEqualThoseOfACaptureOnTheHostItself) {
  const std::string key = RemoteKey();
  ASSERT_NE(key, "");
  // The host's own capture of the same interface: the dump run inside the namespace.
  std::string inside;
  host_->RunInside(std::string(ORRISVANE_DUMP_PROGRAM) + " -D", &inside);
  std::string localIndex;
  for (const std::string& line : Lines(inside))
    if (line.find("\t" + host_->InnerLink() + " ") != std::string::npos) localIndex = line.substr(0, line.find('\t'));
  ASSERT_NE(localIndex, "") << inside;

  // The ssh connection itself crosses the interface: only the test's datagrams are taken.
  const std::string filter = "udp port 9";
  Running remote = Start(ORRISVANE_DUMP_PROGRAM, {"--host", host_->Destination(), "-i", key, "-f", filter});
  Running local = Start("/usr/sbin/ip", {"netns", "exec", host_->Namespace(), ORRISVANE_DUMP_PROGRAM, "-i", localIndex,
                                         "-f", filter});
  ASSERT_TRUE(remote.process && local.process);
  // Both are capturing once each has listed a datagram sent after it started.
  const auto warm = [](const std::string& out) { return out.find("warm") != std::string::npos; };
  const auto until = Clock::now() + std::chrono::seconds(15);
  while (!(warm(remote.out) && warm(local.out)) && Clock::now() < until) {
    SendInside("warm");
    remote.ReadUntil(warm, std::chrono::milliseconds(50));
    local.ReadUntil(warm, std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(warm(remote.out) && warm(local.out)) << remote.process->ErrorText() << local.process->ErrorText();

  constexpr int Datagrams = 300;
  host_->RunInside("bash -c 'for i in $(seq 1 " + std::to_string(Datagrams) + "); do printf \"data %03d\" $i > /dev/udp/" +
                   host_->HostAddress() + "/9; done'");
  const auto all = [](const std::string& out) { return Count(out, "data ") >= Datagrams; };
  EXPECT_TRUE(remote.ReadUntil(all, std::chrono::seconds(10)))
      << Count(remote.out, "data ") << " rows: " << remote.process->ErrorText();
  EXPECT_TRUE(local.ReadUntil(all, std::chrono::seconds(10)))
      << Count(local.out, "data ") << " rows: " << local.process->ErrorText();
  EXPECT_EQ(remote.Interrupt(), std::optional<int>(0)) << remote.process->ErrorText();
  EXPECT_EQ(local.Interrupt(), std::optional<int>(0)) << local.process->ErrorText();

  // The rows of the test's datagrams, without the packet number and the time (the warm-ups
  // before them differ in count, and the time counts from each run's first frame).
  const auto dataRows = [](const std::string& out) {
    std::vector<std::string> rows;
    for (const std::string& line : Lines(out))
      if (line.find("\tdata ") != std::string::npos) rows.push_back(line.substr(line.find('\t', line.find('\t') + 1)));
    return rows;
  };
  const std::vector<std::string> remoteRows = dataRows(remote.out);
  ASSERT_EQ(remoteRows.size(), static_cast<std::size_t>(Datagrams)) << remote.process->ErrorText();
  const std::vector<std::string> localRows = dataRows(local.out);
  ASSERT_EQ(localRows.size(), remoteRows.size()) << local.process->ErrorText();
  for (std::size_t i = 0; i < remoteRows.size(); ++i) ASSERT_EQ(remoteRows[i], localRows[i]) << "row " << i;
  EXPECT_THAT(remoteRows.front(), HasSubstr("\tout\t"));  // the host's own station address decides
  EXPECT_THAT(remote.process->ErrorText(), HasSubstr(" 0 dropped by the kernel"));
}

// The agent on the host looks the sockets up there: in the host's network namespace,
// which this machine's sockets list does not reach.
TEST_F(RemoteHostTest, RemoteRowsNameTheHostsProcesses) {
  const std::string key = RemoteKey();
  ASSERT_NE(key, "");
  std::string columns(ColumnCount, '0');
  columns[static_cast<int>(ColumnId::Data)] = columns[static_cast<int>(ColumnId::Process)] = '1';
  Running remote = Start(ORRISVANE_DUMP_PROGRAM, {"--host", host_->Destination(), "-i", key, "-f", "udp port 9",
                                                  "--columns", columns, "--no-header"});
  // A program inside the host that keeps its socket while it sends, ten times a second.
  Running sender = Start("/usr/sbin/ip", {"netns", "exec", host_->Namespace(), "python3", "-c",
                                          "import socket, time\n"
                                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                          "for i in range(150):\n"
                                          "    s.sendto(b'owned', ('" + host_->HostAddress() + "', 9)); time.sleep(0.1)\n"});
  ASSERT_TRUE(remote.process && sender.process);
  const std::string owned = "python3 (" + std::to_string(sender.process->Pid()) + ")\towned";
  EXPECT_TRUE(remote.ReadUntil([&](const std::string& out) { return out.find(owned) != std::string::npos; },
                               std::chrono::seconds(15)))
      << remote.out << remote.process->ErrorText();
  ::kill(sender.process->Pid(), SIGKILL);
  sender.Finish();
  EXPECT_EQ(remote.Interrupt(), std::optional<int>(0)) << remote.process->ErrorText();
}

TEST_F(RemoteHostTest, ALostConnectionIsToldOnceWithSshsReason) {
  const std::string key = RemoteKey();
  ASSERT_NE(key, "");
  Running remote = Start(ORRISVANE_DUMP_PROGRAM, {"--host", host_->Destination(), "-i", key, "-f", "udp port 9"});
  const auto first = [](const std::string& out) { return out.find("\tbefore") != std::string::npos; };
  const auto until = Clock::now() + std::chrono::seconds(15);
  while (!first(remote.out) && Clock::now() < until) {
    SendInside("before");
    remote.ReadUntil(first, std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(first(remote.out)) << remote.process->ErrorText();

  host_->KillSshd();
  const std::optional<int> status = remote.Finish(std::chrono::seconds(10));
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  const std::string err = remote.process->ErrorText();
  // "... reading from adapter root@192.0.2.250/0007 failed: root@192.0.2.250: Connection
  // to 192.0.2.250 closed by remote host."
  EXPECT_THAT(err, HasSubstr("failed: " + host_->Destination() + ": "));
  EXPECT_EQ(Count(err, "failed: "), 1) << err;
  EXPECT_THAT(err, ::testing::AnyOf(HasSubstr("closed by"), HasSubstr("Connection reset"), HasSubstr("Broken pipe")))
      << err;
}

TEST_F(RemoteHostTest, ARefusedKeyOrAnUnknownHostKeyIsToldInSshsWords) {
  ssh_->Set(host_->WrongKeyWrapper());
  auto [status, err] = Dump({"--host", host_->Destination(), "-D"});
  EXPECT_EQ(status, 0);  // the machine's own adapters are listed all the same
  EXPECT_THAT(err, HasSubstr("--host " + host_->Destination() + " left out: "));
  EXPECT_THAT(err, HasSubstr("Permission denied (publickey)"));

  ssh_->Set(host_->UnknownHostWrapper());
  std::tie(status, err) = Dump({"--host", host_->Destination(), "-D"});
  EXPECT_THAT(err, HasSubstr("Host key verification failed."));

  // Listed while the key was good, refused when the capture binds: the same words.
  LinuxRegistry registry;
  RemoteHosts hosts(registry);
  hosts.SetHosts({host_->Destination()});
  ssh_->Set(host_->SshWrapper());
  ASSERT_EQ(hosts.ListAll().front().failure, "");
  ssh_->Set(host_->WrongKeyWrapper());
  DeviceTable devices;
  AgentOptions options;
  options.remoteHosts = &hosts;
  RegisterAgentDevice(devices, options);
  AdapterEntry entries[DetailAdapterLimit];
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(hosts, entries, DetailAdapterLimit, &count));
  std::string why;
  EXPECT_FALSE(OpenAdapter(devices, entries[count - 1].keyName, &why));
  EXPECT_THAT(why, HasSubstr(host_->Destination() + ": "));
  EXPECT_THAT(why, HasSubstr("Permission denied (publickey)"));
}

TEST_F(RemoteHostTest, ClosingTheStreamEndsTheAgentOnTheHost) {
  LinuxRegistry registry;
  RemoteHosts hosts(registry);
  hosts.SetHosts({host_->Destination()});
  ASSERT_EQ(hosts.ListAll().front().failure, "");
  DeviceTable devices;
  AgentOptions options;
  options.remoteHosts = &hosts;
  RegisterAgentDevice(devices, options);
  AdapterEntry entries[DetailAdapterLimit];
  std::uint32_t count = 0;
  ASSERT_TRUE(EnumerateAdapters(hosts, entries, DetailAdapterLimit, &count));
  std::string remoteKey;
  for (std::uint32_t i = 0; i < count; ++i)
    if (std::string(entries[i].description).find(": " + host_->InnerLink() + " ") != std::string::npos)
      remoteKey = entries[i].keyName;
  ASSERT_NE(remoteKey, "");

  // A quiet interface: the agent there writes nothing but its statistics, once a second.
  for (int round = 0; round < 2; ++round) {
    std::string why;
    AdapterPtr adapter = OpenAdapter(devices, remoteKey.c_str(), &why);
    ASSERT_TRUE(adapter) << why;
    std::uint8_t buffer[1520];
    PacketRequest request;
    InitPacket(&request, buffer, sizeof buffer);
    std::uint32_t got = 0;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (host_->RemoteAgents().empty() && Clock::now() < until) ASSERT_TRUE(ReadPacket(adapter.get(), &request, &got));
    ASSERT_FALSE(host_->RemoteAgents().empty()) << "the agent never ran on the host";
    const auto closed = Clock::now();
    CloseAdapter(std::move(adapter));
    EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(300));  // the window is not held up
    while (!host_->RemoteAgents().empty() && Clock::now() < closed + std::chrono::seconds(5))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(host_->RemoteAgents().empty()) << "the agent on the host outlived its stream";
  }
}

}  // namespace

#endif
