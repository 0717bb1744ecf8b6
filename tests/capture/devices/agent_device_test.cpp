// The agent device through the driver client, with a fake agent (fake_agent/) that
// writes a stream the test built, fails, dies or hangs as the test asks, and records how
// it was started.

#include "capture/devices/agent_device.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "analysis/capture_state.h"
#include "capture/driver/driver_client.h"
#include "capture/adapters/linux_registry.h"
#include "tests/support/pcapng_builder.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using pcapng_builder::Bytes;
using pcapng_builder::PatternFrame;
using pcapng_builder::Stream;

constexpr std::array<std::uint8_t, 6> StreamMac{0x02, 0xFC, 0x00, 0x00, 0x00, 0x09};

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A word for the wrapper script, whatever it holds.
std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool Gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

Stream AgentStream() {
  Stream s;
  s.Section().Interface(1, 1520,
                        {pcapng_builder::TextOption(2, "eth7"), pcapng_builder::TextOption(3, "eth7 (fake driver)"),
                         pcapng_builder::MacOption(StreamMac)});
  return s;
}

class AgentDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Beside the fake agent's binary, where programs may run (a temporary folder may be
    // mounted without that right).
    dir = fs::path(FAKE_CAPTURE_AGENT).parent_path() /
          ("agent-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "sys" / "class" / "net" / "eth7");
    WriteText(dir / "sys" / "class" / "net" / "eth7" / "ifindex", "7\n");
    WriteText(dir / "sys" / "class" / "net" / "eth7" / "type", "1\n");
    sysRoot = (dir / "sys").string();
  }
  void TearDown() override {
    adapter.reset();
    fs::remove_all(dir);
  }

  // A wrapper that starts the fake agent with the given options before the device's.
  std::string Agent(const std::string& options) {
    const fs::path script = dir / "agent";
    WriteText(script, "#!/bin/sh\nexec '" + std::string(FAKE_CAPTURE_AGENT) + "' --pid '" + (dir / "pids").string() +
                          "' --record '" + (dir / "runs").string() + "' " + options + " \"$@\"\n");
    fs::permissions(script, fs::perms::owner_all);
    return script.string();
  }
  std::string AgentStreaming(const Bytes& bytes, const std::string& options = "") {
    const fs::path file = dir / "stream.pcapng";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return Agent("--stream '" + file.string() + "' " + options);
  }

  bool Open(const std::string& agentPath, const std::string& filter = "", int readTimeoutMs = AgentReadTimeoutMs) {
    table = DeviceTable();
    RegisterAgentDevice(table, AgentOptions{agentPath, sysRoot, nullptr, readTimeoutMs});
    adapter = OpenAdapter(table, "0007", &why);
    if (adapter && !adapter->device->SetCaptureFilter(filter)) why = adapter->device->LastError();
    if (adapter) request = AllocatePacket(adapter.get());
    return adapter != nullptr;
  }
  // The process of the first agent, the one the bind started.
  pid_t CapturePid() const { return Pids().at(0); }

  // One read into buffer (cut to length): the byte count, or -1 when the read failed.
  long Read(std::uint32_t length = FrameBufferSize) {
    InitPacket(request.get(), buffer, length);
    std::uint32_t count = 0;
    return ReadPacket(adapter.get(), request.get(), &count) ? static_cast<long>(count) : -1;
  }
  // The next frame, passing over empty reads (bounded).
  long ReadFrame(std::uint32_t length = FrameBufferSize) {
    for (int i = 0; i < 100; ++i) {
      const long n = Read(length);
      if (n != 0) return n;
    }
    return 0;
  }
  Bytes Delivered(long n) const { return Bytes(buffer, buffer + std::max(n, 0L)); }

  std::vector<pid_t> Pids() const {
    std::vector<pid_t> pids;
    for (const std::string& line : Lines(dir / "pids")) pids.push_back(std::stoi(line));
    return pids;
  }
  std::vector<std::string> Runs() const { return Lines(dir / "runs"); }

  fs::path dir;
  std::string sysRoot;
  DeviceTable table;
  std::string why;
  AdapterPtr adapter{nullptr, nullptr};
  RequestPtr request{nullptr, nullptr};
  std::uint8_t buffer[FrameBufferSize] = {};
};

TEST(CaptureAgentSearchTest, FollowsTheVariableThenLooksBesideTheProgramThenInTheBuildAndInstallLayouts) {
  const fs::path root = fs::temp_directory_path() / ("orrisvane-search-" + std::to_string(::getpid()));
  fs::remove_all(root);
  for (const char* folder : {"app", "agent", "bin", "lib"}) fs::create_directories(root / folder);
  const auto Place = [&](const fs::path& path, bool executable) {
    WriteText(path, "#!/bin/sh\n");
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return path.string();
  };
  std::string why;
  const std::string app = (root / "app").string();

  EXPECT_FALSE(FindCaptureAgent({std::nullopt, app}, &why));
  EXPECT_EQ(why, "the capture agent orrisvane-capture was not found beside " + app +
                     " (nor in ../agent or ../bin); install it there, or set ORRISVANE_CAPTURE to its path");

  const std::string installed = Place(root / "bin" / "orrisvane-capture", true);
  EXPECT_EQ(FindCaptureAgent({std::nullopt, app}, &why), installed);
  const std::string built = Place(root / "agent" / "orrisvane-capture", true);
  EXPECT_EQ(FindCaptureAgent({std::nullopt, app}, &why), built);
  Place(root / "app" / "orrisvane-capture", false);  // not executable: passed over
  EXPECT_EQ(FindCaptureAgent({std::nullopt, app}, &why), built);
  const std::string beside = Place(root / "app" / "orrisvane-capture", true);
  EXPECT_EQ(FindCaptureAgent({std::nullopt, app}, &why), beside);

  const std::string named = Place(root / "lib" / "my-agent", true);
  EXPECT_EQ(FindCaptureAgent({named, app}, &why), named);
  EXPECT_FALSE(FindCaptureAgent({(root / "lib" / "none").string(), app}, &why));
  EXPECT_EQ(why, "ORRISVANE_CAPTURE names " + (root / "lib" / "none").string() +
                     ", which is not an executable file: set it to the path of orrisvane-capture");
  fs::remove_all(root);
}

TEST_F(AgentDeviceTest, BindNeedsAKnownInterfaceAndAnAgentThatDescribesIt) {
  const std::string agent = AgentStreaming(AgentStream().bytes());
  table = DeviceTable();
  RegisterAgentDevice(table, AgentOptions{agent, sysRoot});
  EXPECT_FALSE(OpenAdapter(table, "0099", &why));
  EXPECT_EQ(why, "no network interface has the adapter key \"0099\"");
  EXPECT_FALSE(Open((dir / "missing").string()));
  EXPECT_EQ(why, "the capture agent " + (dir / "missing").string() + " is not an executable file");
  EXPECT_TRUE(Open(agent)) << why;
  // One agent: it described the interface and waits for the capture's settings.
  EXPECT_EQ(Pids().size(), 1u);
  EXPECT_FALSE(Gone(CapturePid()));
  EXPECT_TRUE(Runs().empty());

  // The agent opens the interface as a capture would: what keeps it from capturing fails
  // the bind, with the agent's own words, and ends the agent.
  const std::string line =
      "eth7: You don't have permission to perform this capture on that device (socket: Operation not permitted)";
  EXPECT_FALSE(Open(Agent("--fail-open " + Quoted("orrisvane-capture: " + line))));
  EXPECT_EQ(why, line);

  Stream noAddress;
  noAddress.Section().Interface(1, 1520, {pcapng_builder::TextOption(2, "eth7")});
  EXPECT_FALSE(Open(AgentStreaming(noAddress.bytes())));
  EXPECT_EQ(why, "the capture agent described eth7 without its station address");
  EXPECT_FALSE(Open(AgentStreaming(Bytes{'n', 'o', 't', ' ', 'p', 'c', 'a', 'p', 'n', 'g', '.', '.'})));
  EXPECT_EQ(why.rfind("the capture agent's stream is damaged: ", 0), 0u) << why;
  for (pid_t pid : Pids()) EXPECT_TRUE(Gone(pid)) << pid;
}

TEST_F(AgentDeviceTest, DeliversTheFramesOfTheStreamCutToTheBuffer) {
  Stream s = AgentStream();
  const Bytes f1 = PatternFrame(60, 1), f2 = PatternFrame(1600, 2), f3 = PatternFrame(1514, 3), f4 = PatternFrame(42, 4);
  s.Packet(0, 1, f1).Packet(0, 2, f2).Statistics(0, 3, 4).Packet(0, 3, f3).Packet(0, 4, f4);
  // Written in small pieces: blocks arrive split across reads of the pipe.
  ASSERT_TRUE(Open(AgentStreaming(s.bytes(), "--pieces 100"), "tcp port 80")) << why;
  ASSERT_TRUE(SetPacketFilter(adapter.get(), PromiscuousFilter));

  long n = ReadFrame();
  EXPECT_EQ(Delivered(n), f1);
  n = ReadFrame();
  EXPECT_EQ(Delivered(n), Bytes(f2.begin(), f2.begin() + 1520));
  // The block's time (microseconds, the stream's resolution) and its length on the wire.
  EXPECT_EQ(adapter->device->LastFrameInfo().timestampNs, 2000);
  EXPECT_EQ(adapter->device->LastFrameInfo().originalLength, 1600u);
  n = ReadFrame(100);
  EXPECT_EQ(Delivered(n), Bytes(f3.begin(), f3.begin() + 100));
  n = ReadFrame();
  EXPECT_EQ(Delivered(n), f4);
  EXPECT_EQ(Read(), 0);  // the agent has no more to give
  EXPECT_EQ(adapter->device->KernelDrops(), 4u);
  EXPECT_EQ(Runs(), std::vector<std::string>{"-i eth7 --settings-on-input --promiscuous -f tcp port 80"});

  std::uint8_t mac[6] = {};
  std::uint32_t count = 0;
  ASSERT_TRUE(GetAddress(adapter.get(), mac, sizeof mac, &count)) << adapter->lastError;
  EXPECT_EQ(std::vector<std::uint8_t>(mac, mac + 6), std::vector<std::uint8_t>(StreamMac.begin(), StreamMac.end()));
  char text[64];
  ASSERT_TRUE(QueryDescription(adapter.get(), text, sizeof text, &count));
  EXPECT_STREQ(text, "eth7 (fake driver)");
  EXPECT_EQ(Pids().size(), 1u);  // the agent of the bind captured
}

TEST_F(AgentDeviceTest, OneWriteOfTheAgentIsOneBatchAndItsFramesGoBeforeTheDamageAfterThem) {
  Stream s = AgentStream();
  const Bytes f1 = PatternFrame(60, 1), f2 = PatternFrame(1600, 2), f3 = PatternFrame(70, 3);
  s.Packet(0, 1, f1).Packet(0, 2, f2).Statistics(0, 3, 4).Packet(0, 3, f3).Block(6, {}, 0x10000000u);
  ASSERT_TRUE(Open(AgentStreaming(s.bytes()))) << why;

  FrameBatch batch;
  for (int i = 0; i < 100 && batch.frames.empty(); ++i) ASSERT_TRUE(ReadFrames(adapter.get(), &batch, 1520));
  std::vector<std::pair<Bytes, std::int64_t>> got;
  for (const FrameBatch::Frame& frame : batch.frames)
    got.emplace_back(Bytes(frame.bytes.begin(), frame.bytes.end()), frame.info.timestampNs);
  const std::vector<std::pair<Bytes, std::int64_t>> expected = {
      {f1, 1000}, {Bytes(f2.begin(), f2.begin() + 1520), 2000}, {f3, 3000}};
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(ReadFrames(adapter.get(), &batch, 1520));
  EXPECT_TRUE(batch.frames.empty());
  EXPECT_NE(adapter->lastError.find("the capture agent's stream is damaged"), std::string::npos) << adapter->lastError;
}

TEST_F(AgentDeviceTest, AFilterThatDoesNotCompileIsRefusedBeforeTheAgentHasIt) {
  ASSERT_TRUE(Open(AgentStreaming(AgentStream().bytes()), "tcp port"));
  EXPECT_EQ(why.rfind("the capture filter does not compile: ", 0), 0u) << why;
  EXPECT_FALSE(adapter->device->SetCaptureFilter(std::string("udp\0 port 1", 12)));
  EXPECT_EQ(adapter->device->LastError(), "the capture filter holds a NUL character");
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(Runs(), std::vector<std::string>{"-i eth7 --settings-on-input"});
}

TEST_F(AgentDeviceTest, AQuietAgentGivesEmptyReadsAfterTheReadTimeout) {
  ASSERT_TRUE(Open(AgentStreaming(AgentStream().bytes()))) << why;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(Read(), 0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(AgentReadTimeoutMs));
    EXPECT_LT(took, std::chrono::seconds(2));
  }
  EXPECT_EQ(Runs(), std::vector<std::string>{"-i eth7 --settings-on-input"});
}

// The agent writes what the kernel gathered in one go; once that is read, the frames of
// the burst go on at once rather than after the read timeout (a long one here).
TEST_F(AgentDeviceTest, TheReadAfterTheAgentsWriteIsTakenAnswersAtOnce) {
  Stream s = AgentStream();
  const Bytes f1 = PatternFrame(60, 1), f2 = PatternFrame(70, 2);
  s.Packet(0, 1, f1).Packet(0, 2, f2);
  constexpr int LongTimeoutMs = 20'000;
  ASSERT_TRUE(Open(AgentStreaming(s.bytes()), "", LongTimeoutMs)) << why;
  EXPECT_EQ(Delivered(ReadFrame()), f1);
  EXPECT_EQ(Delivered(ReadFrame()), f2);
  const auto start = Clock::now();
  EXPECT_EQ(Read(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(LongTimeoutMs / 2));
}

TEST_F(AgentDeviceTest, AbortEndsAPendingReadAndEveryLaterOne) {
  ASSERT_TRUE(Open(AgentStreaming(AgentStream().bytes()))) << why;
  std::atomic<int> reads{0};
  std::thread reader([&] {
    RequestPtr own = AllocatePacket(adapter.get());
    std::uint8_t frame[FrameBufferSize];
    InitPacket(own.get(), frame, sizeof frame);
    std::uint32_t count = 0;
    while (ReadPacket(adapter.get(), own.get(), &count)) ++reads;
  });
  const auto bound = Clock::now() + std::chrono::seconds(5);
  while (reads.load() < 2 && Clock::now() < bound) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(reads.load(), 2);
  EXPECT_TRUE(AbortRead(adapter.get()));
  reader.join();
  EXPECT_EQ(Read(), -1);
}

TEST_F(AgentDeviceTest, UnbindEndsTheAgentEvenOneThatIgnoresSigterm) {
  ASSERT_TRUE(Open(AgentStreaming(AgentStream().bytes(), "--ignore-term"))) << why;
  EXPECT_EQ(Read(), 0);
  const pid_t pid = CapturePid();
  EXPECT_FALSE(Gone(pid));
  const auto start = Clock::now();
  request.reset();
  adapter.reset();  // unbinds
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(Gone(pid));
}

TEST_F(AgentDeviceTest, AFailingAgentsLineIsTheReasonOfEveryLaterRead) {
  const std::string line =
      "eth7: You don't have permission to perform this capture on that device (socket: Operation not permitted)";
  ASSERT_TRUE(Open(AgentStreaming(AgentStream().bytes(), "--fail " + Quoted("orrisvane-capture: " + line)))) << why;
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(adapter->lastError, line);
  adapter->lastError.clear();
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(adapter->lastError, line);
  EXPECT_EQ(Pids().size(), 1u);  // not started again
  EXPECT_TRUE(Gone(CapturePid()));
}

TEST_F(AgentDeviceTest, AnAgentThatDiesMidStreamEndsTheCaptureWithHowItEnded) {
  Stream s = AgentStream();
  s.Packet(0, 1, PatternFrame(60, 1)).Packet(0, 2, PatternFrame(70, 2));
  Bytes cut = s.bytes();
  cut.resize(cut.size() - 20);  // inside the second frame's block
  ASSERT_TRUE(Open(AgentStreaming(cut, "--then-die"))) << why;
  EXPECT_EQ(ReadFrame(), 60);
  EXPECT_EQ(ReadFrame(), -1);
  EXPECT_EQ(adapter->lastError,
            "the capture agent was ended by signal 9 (SIGKILL); the stream ended inside the block at byte 188 (84 of its "
            "104 bytes came)");
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(Pids().size(), 1u);
  EXPECT_TRUE(Gone(CapturePid()));
}

TEST_F(AgentDeviceTest, ADamagedStreamEndsTheAgent) {
  Stream s = AgentStream();
  s.Packet(0, 1, PatternFrame(60, 1)).Block(6, {}, 0x10000000u);
  ASSERT_TRUE(Open(AgentStreaming(s.bytes()))) << why;
  EXPECT_EQ(ReadFrame(), 60);
  EXPECT_EQ(ReadFrame(), -1);
  EXPECT_EQ(adapter->lastError,
            "the capture agent's stream is damaged: the block at byte 188 claims 268435456 bytes, more than the "
            "largest accepted (263168)");
  EXPECT_TRUE(Gone(CapturePid()));
}

TEST_F(AgentDeviceTest, AChangedFilterRestartsTheAgentAndTheDropsAddUp) {
  Stream s = AgentStream();
  s.Statistics(0, 10, 5).Packet(0, 1, PatternFrame(60, 1));
  ASSERT_TRUE(Open(AgentStreaming(s.bytes()))) << why;
  EXPECT_EQ(ReadFrame(), 60);
  EXPECT_EQ(adapter->device->KernelDrops(), 5u);
  ASSERT_TRUE(SetPacketFilter(adapter.get(), PromiscuousFilter));
  EXPECT_EQ(ReadFrame(), 60);  // the new agent's first frame
  EXPECT_EQ(adapter->device->KernelDrops(), 10u);
  EXPECT_EQ(Runs(), (std::vector<std::string>{"-i eth7 --settings-on-input", "-i eth7 --settings-on-input --promiscuous"}));
  EXPECT_TRUE(Gone(CapturePid()));
}

}  // namespace
