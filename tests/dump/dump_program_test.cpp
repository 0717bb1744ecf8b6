// The built program itself: usage text, exit statuses, and Ctrl+C ending a live capture
// on the loopback interface with every decoded row written.

#ifdef ORRISVANE_DUMP_PROGRAM

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/dump_run.h"
#include "tests/support/namespace_host.h"

extern char** environ;

namespace dump_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class DumpProgramTest : public DumpTest {
 protected:
  // Starts the program with standard output and error going to files of the test.
  pid_t Start(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all = {ORRISVANE_DUMP_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, ORRISVANE_DUMP_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // Waits for the program; its exit status, or -1 when it did not exit normally.
  DumpResult Wait(pid_t pid) {
    int status = 0;
    DumpResult r;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = ReadFile(outPath());
    r.err = ReadFile(errPath());
    return r;
  }

  DumpResult RunProgram(const std::vector<std::string>& args) {
    pid_t pid = Start(args);
    EXPECT_GT(pid, 0);
    return pid > 0 ? Wait(pid) : DumpResult{};
  }

  std::string outPath() const { return PathOf("out.txt"); }
  std::string errPath() const { return PathOf("err.txt"); }
};

TEST_F(DumpProgramTest, HelpAndExitStatuses) {
  DumpResult help = RunProgram({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("SYNOPSIS"));
  EXPECT_EQ(help.err, "");

  DumpResult bad = RunProgram({"-r"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(CountLines(bad.err), 1);

  DumpResult missing = RunProgram({"-r", PathOf("missing.pcap")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(CountLines(missing.err), 1);

  const std::string path = PathOf("one.pcap");
  {
    PcapWriter writer(path);
    writer.Frame(Ethernet(LocalMac, RemoteMac, EtherTypeIpv4, Ipv4(17, RemoteIp, LocalIp, Udp(1, 2, Text("hi")))));
  }
  DumpResult file = RunProgram({"-r", path, "--columns", "10100000000000000001"});
  EXPECT_EQ(file.status, 0);
  EXPECT_EQ(file.out, Line({"Packet Number", "In/Out", "Data"}) + Line({"0", "in", "hi"}));
  EXPECT_EQ(file.err, "orrisvane-dump: 1 frame decoded\n");
}

// A FIFO nobody writes to holds the dump in its open; the first interruption ends it.
TEST_F(DumpProgramTest, AnInterruptEndsAWaitForACaptureFilesWriter) {
  ASSERT_EQ(::mkfifo(PathOf("fifo").c_str(), 0600), 0);
  const pid_t pid = Start({"-r", PathOf("fifo")});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  int status = -1;
  if (waitpid(pid, &status, WNOHANG) != pid) kill(pid, SIGKILL);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Wait(pid).err, "orrisvane-dump: 0 frames decoded\n");
}

// The index of the loopback adapter in the program's own list, or -1.
int LoopbackIndex(const std::string& list) {
  std::istringstream lines(list);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::stringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    if (cells.size() >= 3 && cells[2].starts_with("lo ")) return std::stoi(cells[0]);
  }
  return -1;
}

TEST_F(DumpProgramTest, InterruptEndsALiveCaptureAndKeepsItsRows) {
  DumpResult list = RunProgram({"-D"});
  const int lo = list.status == 0 ? LoopbackIndex(list.out) : -1;
  if (lo < 0) GTEST_SKIP() << "no loopback adapter listed: " << list.err;

  pid_t pid = Start({"-i", std::to_string(lo), "--no-header", "--columns", "10000000010000000001"});
  ASSERT_GT(pid, 0);
  // A handful of datagrams to 127.0.0.1, bounded in count, while the capture starts up.
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);  // discard
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string payload = "orrisvane-dump-test-" + std::to_string(getpid());
  bool exited = false;
  int status = 0;
  for (int i = 0; i < 20 && !exited; ++i) {
    sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    exited = waitpid(pid, &status, WNOHANG) == pid;
  }
  close(sock);
  if (exited) {
    const std::string err = ReadFile(errPath());
    // Without capture permission the adapter does not open: a skip, not a failure.
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1 && err.find("open failed") != std::string::npos) << err;
    GTEST_SKIP() << "live capture not possible here: " << err;
  }
  ASSERT_EQ(kill(pid, SIGINT), 0);
  DumpResult r = Wait(pid);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\tUDP (User Datagram Protocol)\t" + payload + "\n"));
  EXPECT_THAT(r.err, testing::MatchesRegex("orrisvane-dump: [0-9]+ frames? decoded, [0-9]+ dropped by the kernel\n"));
  EXPECT_THAT(r.out, StartsWith("0\t"));
}

// The index of the adapter of that interface in the program's own list, or -1.
int AdapterIndex(const std::string& list, const std::string& interfaceName) {
  std::istringstream lines(list);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::stringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    if (cells.size() >= 3 && cells[2].starts_with(interfaceName + " ")) return std::stoi(cells[0]);
  }
  return -1;
}

// Two veth adapters into namespaces in one trace: pings through each, one after the
// other, come out in time order, each row naming the adapter it came through.
TEST_F(DumpProgramTest, TwoAdaptersListTheirFramesInTimeOrder) {
  test_host::NamespaceHost a(ORRISVANE_AGENT_FOLDER), b(ORRISVANE_AGENT_FOLDER);
  if (!a.Unavailable().empty() || !b.Unavailable().empty()) GTEST_SKIP() << a.Unavailable() << b.Unavailable();
  const DumpResult list = RunProgram({"-D"});
  const int ia = AdapterIndex(list.out, a.HostLink()), ib = AdapterIndex(list.out, b.HostLink());
  ASSERT_TRUE(ia >= 0 && ib >= 0) << list.out << list.err;
  std::string columns(ColumnCount, '0');
  for (const ColumnId id : {ColumnId::PacketNumber, ColumnId::Time, ColumnId::IpDestination, ColumnId::Interface})
    columns[static_cast<std::size_t>(id)] = '1';
  const pid_t pid = Start({"-i", std::to_string(ia), "-i", std::to_string(ib), "-f", "icmp", "-c", "8", "--no-header",
                           "--columns", columns});
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (int round = 0; round < 2; ++round) {
    for (const auto* host : {&a, &b}) test_host::Run("ping -c 1 -W 1 " + host->InnerAddress());
  }
  int status = -1;
  bool exited = false;
  for (int i = 0; i < 50 && !exited; ++i) {
    exited = waitpid(pid, &status, WNOHANG) == pid;
    if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!exited) kill(pid, SIGKILL);
  const DumpResult r = exited ? DumpResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(outPath()),
                                           ReadFile(errPath())}
                              : Wait(pid);
  // Request and reply of each ping: a's, b's, a's, b's.
  std::istringstream lines(r.out);
  std::vector<std::string> interfaces;
  double lastTime = -1;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::stringstream fields(line);
    for (std::string cell; std::getline(fields, cell, '\t');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 4u) << line;
    EXPECT_GE(std::stod(cells[1]), lastTime) << r.out;
    lastTime = std::stod(cells[1]);
    interfaces.push_back(cells[3]);
    const auto* host = cells[3] == a.HostLink() ? &a : &b;
    EXPECT_TRUE(cells[2] == host->InnerAddress() || cells[2] == host->HostAddress()) << line;
  }
  const std::string la = a.HostLink(), lb = b.HostLink();
  EXPECT_EQ(interfaces, (std::vector<std::string>{la, la, lb, lb, la, la, lb, lb})) << r.out << r.err;
  EXPECT_EQ(r.status, 0) << r.err;
}

// The capturing agents (not the bind's probe) whose parent is pid, from /proc.
std::vector<pid_t> CaptureAgentsOf(pid_t pid) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(entry.path().string() + "/stat");
    // "pid (comm) state ppid ...": the command may hold spaces, so read after its ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    const std::string command = ReadFile(entry.path().string() + "/cmdline");
    const bool capturing = command.find(std::string("\0-i\0", 4)) != std::string::npos;
    if (rest >> state >> parent && parent == pid && capturing && state != 'Z') children.push_back(std::stoi(name));
  }
  return children;
}

// Gone, or a zombie waiting for whoever adopted it.
bool Ended(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

TEST_F(DumpProgramTest, TheCaptureAgentEndsWithAKilledDump) {
  DumpResult list = RunProgram({"-D"});
  const int lo = list.status == 0 ? LoopbackIndex(list.out) : -1;
  if (lo < 0) GTEST_SKIP() << "no loopback adapter listed: " << list.err;

  // A filter that takes nothing keeps the agent from writing frames: only the death
  // signal, not a write into the closed pipe, can end it quickly.
  pid_t pid = Start({"-i", std::to_string(lo), "-f", "udp port 1 and udp port 2"});
  ASSERT_GT(pid, 0);
  std::vector<pid_t> agents;
  int status = 0;
  for (int i = 0; i < 200 && agents.empty(); ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) GTEST_SKIP() << "live capture not possible here: " << ReadFile(errPath());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    agents = CaptureAgentsOf(pid);
  }
  ASSERT_EQ(agents.size(), 1u) << "the dump started no agent";
  // Once reading, the agent holds no capability: only then is a quiet agent killed by
  // nothing but the death signal (before, its first write meets the closed pipe).
  const std::string status_file = "/proc/" + std::to_string(agents[0]) + "/status";
  for (int i = 0; i < 300 && ReadFile(status_file).find("CapEff:\t0000000000000000") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past writing its first blocks
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  // Well within the second allowed, and before the agent's once-a-second statistics
  // would meet the closed pipe.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (!Ended(agents[0]) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(Ended(agents[0])) << "agent " << agents[0] << " outlived the dump";
  if (!Ended(agents[0])) kill(agents[0], SIGKILL);
}

}  // namespace
}  // namespace dump_test

#endif
