// The built agent on the loopback interface: its stream against what the interface
// delivers in-process, peers reading it, its exit statuses and reasons, and the rights it
// holds once it reads. Capturing needs root (as in CI); without it those tests are skipped.

#ifdef ORRISVANE_CAPTURE_PROGRAM

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent/agent_args.h"
#include "capture/devices/live_interface.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr char Agent[] = ORRISVANE_CAPTURE_PROGRAM;

std::uint32_t Le32(const std::string& s, std::size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The stream's blocks (type and the bytes between the two lengths); *whole tells whether
// they fill the stream exactly, each with matching lengths.
struct Block {
  std::uint32_t type;
  std::string body;
};
std::vector<Block> Blocks(const std::string& stream, bool* whole = nullptr) {
  std::vector<Block> blocks;
  std::size_t at = 0;
  while (stream.size() - at >= 12) {
    std::uint32_t length = Le32(stream, at + 4);
    if (length < 12 || length % 4 != 0 || length > stream.size() - at || Le32(stream, at + length - 4) != length) break;
    blocks.push_back({Le32(stream, at), stream.substr(at + 8, length - 12)});
    at += length;
  }
  if (whole) *whole = at == stream.size();
  return blocks;
}

std::vector<Block> Packets(const std::vector<Block>& blocks) {
  std::vector<Block> packets;
  for (const Block& b : blocks)
    if (b.type == 6) packets.push_back(b);
  return packets;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One run of a program: standard output through a pipe, standard error to a file, standard
// input the test's (or, with writableInput, a pipe that Send writes to).
class Child {
 public:
  explicit Child(std::vector<std::string> argv, bool writableInput = false) {
    static int runs = 0;
    errPath_ = (fs::temp_directory_path() /
                ("agent-test-err." + std::to_string(::getpid()) + "." + std::to_string(++runs)))
                   .string();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int input[2] = {-1, -1};
    if (writableInput && ::pipe2(input, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, input[0], 0);
      in_ = input[1];
    }
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (input[0] >= 0) ::close(input[0]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    CloseInput();
    ::unlink(errPath_.c_str());
  }
  bool Send(const std::string& bytes) {
    return in_ >= 0 && ::write(in_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  void CloseInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  pid_t pid() const { return pid_; }
  const std::string& stream() const { return stream_; }
  std::string err() const { return ReadFile(errPath_); }
  void CloseOutput() {
    ::close(out_);
    out_ = -1;
  }

  // Reads the stream until done(stream) holds, the end, or the time is up.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds within) {
    const auto end = Clock::now() + within;
    while (!done(stream_)) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      struct pollfd p {out_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
      char chunk[65536];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return done(stream_);
      stream_.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  // The header (section and interface) has come: the agent has given up its rights and reads.
  bool ReadHeader() {
    return ReadUntil([](const std::string& s) { return Blocks(s).size() >= 2; }, std::chrono::seconds(5));
  }
  void ReadToEnd() { ReadUntil([](const std::string&) { return false; }, std::chrono::seconds(10)); }

  // The exit status, or -1 when it did not exit by itself within the time.
  int Wait(std::chrono::milliseconds within = std::chrono::seconds(5)) {
    const auto end = Clock::now() + within;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string errPath_;
  std::string stream_;
};

// Datagrams to a bound receiver on 127.0.0.1 (so none draws an ICMP reply).
class LoopbackTraffic {
 public:
  LoopbackTraffic() {
    receiver_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sender_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(receiver_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    socklen_t length = sizeof address_;
    ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address_), &length);
  }
  ~LoopbackTraffic() {
    ::close(sender_);
    ::close(receiver_);
  }
  std::string Filter() const { return "udp dst port " + std::to_string(ntohs(address_.sin_port)); }
  void Send(int count) {
    for (int i = 0; i < count; ++i) {
      std::string payload = "orrisvane-agent-test-" + std::to_string(i) + std::string(static_cast<std::size_t>(i), 'x');
      ::sendto(sender_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    }
  }

 private:
  int receiver_, sender_;
  sockaddr_in address_{};
};

bool MayCapture(std::string* why) { return LiveInterface::Open("lo", why) != nullptr; }

#define SKIP_UNLESS_CAPTURING()                                       \
  do {                                                                \
    std::string why;                                                  \
    if (!MayCapture(&why)) GTEST_SKIP() << "may not capture: " << why; \
  } while (0)

// A copy of the agent in a folder that user 65534 may enter, removed at the end.
class AgentCopy {
 public:
  AgentCopy() {
    char pattern[] = "/tmp/orrisvane-agent-test.XXXXXX";
    if (!::mkdtemp(pattern)) return;
    dir_ = pattern;
    ::chmod(dir_.c_str(), 0755);
    path_ = dir_ + "/orrisvane-capture";
    fs::copy_file(Agent, path_);
    ::chmod(path_.c_str(), 0755);
  }
  ~AgentCopy() {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  const std::string& path() const { return path_; }
  bool Grant() {
    Child setcap({"/usr/sbin/setcap", "cap_net_raw,cap_net_admin+eip", path_});
    return setcap.Wait() == 0;
  }

 private:
  std::string dir_, path_;
};

std::vector<std::string> AsNobody(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"});
  return argv;
}

TEST(AgentProgramTest, BadArgumentsAndFiltersExitTwoAMissingInterfaceOne) {
  Child badFilter({Agent, "-i", "lo", "-f", "udp port"});
  EXPECT_EQ(badFilter.Wait(), 2);
  EXPECT_EQ(badFilter.err(), "orrisvane-capture: can't parse filter expression: syntax error\n");
  Child badArgument({Agent, "-i", "lo", "-c", "none"});
  EXPECT_EQ(badArgument.Wait(), 2);
  EXPECT_THAT(badArgument.err(), StartsWith("orrisvane-capture: -c: 'none'"));
  // Only the host's network interfaces: libpcap's pseudo-devices reach further with its rights.
  for (const char* name : {"orrisvane-nil0", "nflog", "nfqueue", "any", "dbus-system", "usbmon0", "bluetooth0"}) {
    for (const char* mode : {"-i", "--probe"}) {
      Child refused({Agent, mode, name});
      EXPECT_EQ(refused.Wait(), 1) << mode << " " << name;
      EXPECT_THAT(refused.err(), StartsWith("orrisvane-capture: no such interface: " + std::string(name) + " ("));
    }
  }
}

// A filter of a thousand alternatives keeps the compiler (a child of the agent) busy.
TEST(AgentProgramTest, AFilterCompilesWithoutTheRightsAndAStopEndsIt) {
  AgentCopy copy;
  if (::geteuid() != 0 || !copy.Grant()) GTEST_SKIP() << "needs root to grant file capabilities";
  std::string filter = "port 1";
  for (int port = 2; filter.size() < AgentFilterLimitBytes - 20; ++port) filter += " or port " + std::to_string(port);
  Child agent(AsNobody({copy.path(), "-i", "lo", "-f", filter}));
  const std::string proc = "/proc/" + std::to_string(agent.pid()), task = proc + "/task/" + std::to_string(agent.pid());
  std::string status;
  for (const auto bound = Clock::now() + std::chrono::seconds(5); status.empty() && Clock::now() < bound;)
    if (!ReadFile(task + "/children").empty()) status = ReadFile(proc + "/status");
  EXPECT_THAT(status, HasSubstr("CapPrm:\t0000000000000000\nCapEff:\t0000000000000000"));
  ::kill(agent.pid(), SIGTERM);
  EXPECT_EQ(agent.Wait(std::chrono::milliseconds(500)), 0) << agent.err();
}

// The frames of the stream are the frames, lengths and times the interface hands over
// in-process, and tcpdump reads the stream as it is.
TEST(AgentProgramTest, TheStreamHoldsWhatTheInterfaceDelivers) {
  SKIP_UNLESS_CAPTURING();
  constexpr std::size_t Count = 20;
  LoopbackTraffic traffic;
  std::string why;
  auto live = LiveInterface::Open("lo", &why);
  ASSERT_TRUE(live) << why;
  ASSERT_EQ(live->SetFilter(traffic.Filter(), &why), LiveInterface::FilterResult::Applied) << why;
  // An alias: the interface it belongs to is captured, and named in the stream.
  Child agent({Agent, "-i", "lo:wlan-guest", "-f", traffic.Filter(), "-c", std::to_string(Count), "--no-owners"});
  ASSERT_TRUE(agent.ReadHeader()) << agent.err();
  traffic.Send(Count);

  // Each frame as the stream carries it: time in microseconds, lengths, bytes.
  using Frame = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::string>;
  std::vector<Frame> frames;
  const auto bound = Clock::now() + std::chrono::seconds(5);
  while (frames.size() < Count && Clock::now() < bound) {
    live->ReadWaiting(-1, [](void* context, const LiveFrame& f) {
      static_cast<std::vector<Frame>*>(context)->emplace_back(
          static_cast<std::uint64_t>(f.seconds) * 1000000 + static_cast<std::uint32_t>(f.microseconds),
          f.capturedLength, f.originalLength, std::string(reinterpret_cast<const char*>(f.data), f.capturedLength));
    }, &frames);
    live->Wait(50, -1);
  }
  agent.ReadToEnd();
  EXPECT_EQ(agent.Wait(), 0) << agent.err();
  EXPECT_EQ(agent.err(), "");

  bool whole = false;
  std::vector<Block> blocks = Blocks(agent.stream(), &whole);
  EXPECT_TRUE(whole);
  ASSERT_GE(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].type, 0x0A0D0D0Au);
  EXPECT_EQ(blocks[1].type, 1u);
  EXPECT_THAT(blocks[1].body, HasSubstr(std::string("\x02\x00\x02\x00lo\x00\x00", 8)));
  EXPECT_THAT(blocks[1].body, HasSubstr(std::string("\x06\x00\x06\x00\x00\x00\x00\x00\x00\x00", 10)));
  EXPECT_EQ(blocks.back().type, 5u) << "the stream ends with the statistics";
  std::vector<Block> packets = Packets(blocks);
  ASSERT_EQ(packets.size(), Count);
  ASSERT_EQ(frames.size(), Count);
  for (std::size_t i = 0; i < Count; ++i) {
    const std::string& body = packets[i].body;
    const auto& [time, captured, original, data] = frames[i];
    EXPECT_EQ(Le32(body, 0), 0u);
    // Each socket stamps a frame itself: the times may differ by a clock tick.
    EXPECT_NEAR(static_cast<double>(std::uint64_t{Le32(body, 4)} << 32 | Le32(body, 8)), static_cast<double>(time), 1000.0);
    EXPECT_EQ(Le32(body, 12), captured);
    EXPECT_EQ(Le32(body, 16), original);
    EXPECT_EQ(body.substr(20, captured), data) << i;
    EXPECT_EQ(body.find_first_not_of('\0', 20 + captured), std::string::npos) << "padding of " << i;
  }

  const std::string file = (fs::temp_directory_path() / ("agent-test." + std::to_string(::getpid()) + ".pcapng")).string();
  std::ofstream(file, std::ios::binary) << agent.stream();
  Child tcpdump({"/usr/bin/tcpdump", "-nn", "-r", file});
  tcpdump.ReadToEnd();
  EXPECT_EQ(tcpdump.Wait(), 0) << tcpdump.err();
  fs::remove(file);
  EXPECT_EQ(std::count(tcpdump.stream().begin(), tcpdump.stream().end(), '\n'), Count) << tcpdump.stream();
}

TEST(AgentProgramTest, SigtermEndsWithTheLastStatistics) {
  SKIP_UNLESS_CAPTURING();
  LoopbackTraffic traffic;
  Child agent({Agent, "-i", "lo", "-f", traffic.Filter()});
  ASSERT_TRUE(agent.ReadHeader()) << agent.err();
  traffic.Send(3);
  ASSERT_TRUE(agent.ReadUntil([](const std::string& s) { return Packets(Blocks(s)).size() == 3; },
                              std::chrono::seconds(5)));
  ::kill(agent.pid(), SIGTERM);
  agent.ReadToEnd();
  EXPECT_EQ(agent.Wait(), 0);
  bool whole = false;
  std::vector<Block> blocks = Blocks(agent.stream(), &whole);
  EXPECT_TRUE(whole);
  ASSERT_FALSE(blocks.empty());
  ASSERT_EQ(blocks.back().type, 5u);
  // isb_ifrecv (the first option) counts the three frames the filter let through, each
  // once: the kernel keeps the loopback's outgoing copies from the ring.
  const std::string& statistics = blocks.back().body;
  ASSERT_GE(statistics.size(), 24u);
  EXPECT_EQ(Le32(statistics, 12), 0x00080004u);
  EXPECT_EQ(Le32(statistics, 16), 3u);
}

TEST(AgentProgramTest, AClosedOutputEndsTheCaptureNormally) {
  SKIP_UNLESS_CAPTURING();
  Child agent({Agent, "-i", "lo", "-f", LoopbackTraffic().Filter()});
  ASSERT_TRUE(agent.ReadHeader()) << agent.err();
  agent.CloseOutput();
  // The next write (statistics, at the latest after a second) meets the closed pipe.
  EXPECT_EQ(agent.Wait(std::chrono::seconds(3)), 0);
  EXPECT_EQ(agent.err(), "");
}

// An ordinary user's agent without the file capability is refused with the system's
// reason. Granted it, the agent captures, and from its first read holds no capability
// at all and cannot gain one.
TEST(AgentProgramTest, AnOrdinaryUserCapturesOnlyThroughTheGrantAndKeepsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user and grant file capabilities";
  AgentCopy copy;
  Child refused(AsNobody({copy.path(), "-i", "lo"}));
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_EQ(refused.err(), "orrisvane-capture: no permission to capture on lo (socket: Operation not permitted)\n");

  if (!copy.Grant()) GTEST_SKIP() << "cannot grant file capabilities here";
  LoopbackTraffic traffic;
  // The settings come after the header, so after the capabilities are gone: promiscuous
  // mode and the filter must not need one.
  Child agent(AsNobody({copy.path(), "-i", "lo", "--settings-on-input"}), true);
  ASSERT_TRUE(agent.ReadHeader()) << agent.err();
  const std::string status = ReadFile("/proc/" + std::to_string(agent.pid()) + "/status");
  EXPECT_THAT(status, HasSubstr("Uid:\t65534\t65534\t65534"));
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
    EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000000000")) << status;
  EXPECT_THAT(status, HasSubstr("NoNewPrivs:\t1"));
  const auto Promiscuity = [] {
    Child ip({"/usr/sbin/ip", "-d", "link", "show", "lo"});
    ip.ReadToEnd();
    ip.Wait();
    const std::size_t at = ip.stream().find("promiscuity ");
    return at == std::string::npos ? -1 : std::atoi(ip.stream().c_str() + at + 12);
  };
  const int before = Promiscuity();
  ASSERT_TRUE(agent.Send("--promiscuous" + std::string(1, '\0') + "-f" + std::string(1, '\0') + traffic.Filter() +
                         std::string(2, '\0')));
  const auto bound = Clock::now() + std::chrono::seconds(5);
  while (Promiscuity() <= before && Clock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Promiscuity(), before + 1) << agent.err();
  LoopbackTraffic().Send(2);  // not what the filter takes
  traffic.Send(1);
  EXPECT_TRUE(agent.ReadUntil([](const std::string& s) { return Packets(Blocks(s)).size() == 1; },
                              std::chrono::seconds(5)));
  ::kill(agent.pid(), SIGTERM);
  EXPECT_EQ(agent.Wait(), 0) << agent.err();
}

TEST(AgentProgramTest, SettingsOnTheInputAreCheckedAndAClosedInputEndsTheAgent) {
  SKIP_UNLESS_CAPTURING();
  Child wrong({Agent, "-i", "lo", "--settings-on-input"}, true);
  ASSERT_TRUE(wrong.ReadHeader()) << wrong.err();
  wrong.Send(std::string("-i\0eth0\0\0", 10));
  EXPECT_EQ(wrong.Wait(), 2);
  EXPECT_EQ(wrong.err(), "orrisvane-capture: the settings on standard input: only one of -i, --probe, -D and --help "
                         "may be given\n");
  Child endless({Agent, "-i", "lo", "--settings-on-input"}, true);
  ASSERT_TRUE(endless.ReadHeader()) << endless.err();
  // Short words without end are as much too long as one long word.
  std::string words;
  while (words.size() < 20'000) words += std::string("-c\0" "1\0", 5);
  endless.Send(words);
  EXPECT_EQ(endless.Wait(), 2);
  EXPECT_EQ(endless.err(), "orrisvane-capture: the settings on standard input: the settings are longer than 16384 bytes\n");
  Child closed({Agent, "-i", "lo", "--settings-on-input"}, true);
  ASSERT_TRUE(closed.ReadHeader()) << closed.err();
  closed.Send("-f");
  closed.CloseInput();
  EXPECT_EQ(closed.Wait(), 0);
  EXPECT_EQ(closed.err(), "");
}

TEST(AgentProgramTest, ProbeAndListSayWhatTheDumpSays) {
  SKIP_UNLESS_CAPTURING();
  Child probe({Agent, "--probe", "lo"});
  probe.ReadToEnd();
  EXPECT_EQ(probe.Wait(), 0);
  EXPECT_EQ(probe.stream(), "00:00:00:00:00:00\n");
#ifdef ORRISVANE_DUMP_PROGRAM
  Child list({Agent, "-D"});
  Child dump({ORRISVANE_DUMP_PROGRAM, "-D"});
  list.ReadToEnd();
  dump.ReadToEnd();
  EXPECT_EQ(list.Wait(), dump.Wait());
  EXPECT_THAT(list.stream(), HasSubstr("\tlo (loopback)\t00:00:00:00:00:00\n"));
  // The same adapters; the dump opens each to capture and so has no address for one that
  // cannot be opened (an interface that is down), where the agent's list has it.
  std::istringstream agentLines(list.stream()), dumpLines(dump.stream());
  std::string agentLine, dumpLine;
  while (std::getline(dumpLines, dumpLine)) {
    ASSERT_TRUE(std::getline(agentLines, agentLine)) << dumpLine;
    EXPECT_EQ(dumpLine.back() == '\t' ? agentLine.substr(0, agentLine.rfind('\t') + 1) : agentLine, dumpLine);
  }
  EXPECT_FALSE(std::getline(agentLines, agentLine)) << agentLine;
#endif
}

TEST(AgentProgramTest, TheListNeedsNoRightToCapture) {
  SKIP_UNLESS_CAPTURING();
  // Started without the capabilities to capture, as any user would start it.
  Child list({"/usr/bin/setpriv", "--bounding-set=-net_raw,-net_admin", "--", Agent, "-D"});
  list.ReadToEnd();
  EXPECT_EQ(list.Wait(), 0);
  EXPECT_THAT(list.stream(), HasSubstr("\tlo (loopback)\t00:00:00:00:00:00\n"));
  EXPECT_EQ(list.err(), "");
}

}  // namespace

#endif
