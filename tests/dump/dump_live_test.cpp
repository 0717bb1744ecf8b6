// orrisvane-dump -D and -i over a scripted device and an in-memory adapter list.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "tests/support/dump_run.h"
#include "tests/support/fake_device.h"
#include "tests/support/memory_registry.h"

namespace dump_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class DumpLiveTest : public ::testing::Test {
 protected:
  DumpLiveTest() : script_(std::make_shared<FakeDeviceScript>()) {
    RegisterFakeDevice(devices_, script_);
    registry_.AddAdapter("0002", "eth0 (virtio_net)");
    registry_.AddAdapter("0001", "lo (loopback)");
    env_.devices = &devices_;
    env_.registry = &registry_;
    env_.interrupted = &interrupted_;
  }

  DumpResult Run(std::vector<std::string> args) { return RunWith(args, env_); }

  // A UDP frame from the given station.
  static Bytes Udp_(const Mac& source, std::string_view payload) {
    return Ethernet(Broadcast, source, EtherTypeIpv4, Ipv4(17, RemoteIp, LocalIp, Udp(7, 9, Text(payload))));
  }

  std::shared_ptr<FakeDeviceScript> script_;
  DeviceTable devices_;
  MemoryRegistry registry_;
  std::atomic<bool> interrupted_{false};
  DumpEnvironment env_;
};

TEST_F(DumpLiveTest, ListsAdaptersWithTheirAddresses) {
  DumpResult r = Run({"-D"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"0", "0002", "eth0 (virtio_net)", "00:A0:C9:12:34:56"}) +
                       Line({"1", "0001", "lo (loopback)", "00:A0:C9:12:34:56"}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(script_->openDevices, 0);
}

TEST_F(DumpLiveTest, AdapterThatCannotBeOpenedIsListedWithoutAddressAndTheReason) {
  script_->refusedKeys = {"0001"};
  script_->failureReason = "You don't have permission to capture on that device";
  DumpResult r = Run({"-D"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"0", "0002", "eth0 (virtio_net)", "00:A0:C9:12:34:56"}) +
                       Line({"1", "0001", "lo (loopback)", ""}));
  EXPECT_EQ(r.err, "orrisvane-dump: Adapter 0001 open failed: You don't have permission to capture on that device\n");
}

TEST_F(DumpLiveTest, NoAdapters) {
  MemoryRegistry empty;
  env_.registry = &empty;
  for (auto args : {std::vector<std::string>{"-D"}, std::vector<std::string>{"-i", "0"}}) {
    DumpResult r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orrisvane-dump: No adapters found!\n");
  }
}

TEST_F(DumpLiveTest, CapturesOnTheChosenAdapterInPromiscuousModeUntilTheLimit) {
  script_->mac[5] = 0x77;
  Mac own = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x77};
  script_->PushFrame(Udp_(own, "one"));
  script_->PushFrame(Udp_(RemoteMac, "two"));
  script_->PushFrame(Udp_(RemoteMac, "three"));
  script_->PushFrame(Udp_(RemoteMac, "four"));
  DumpResult r = Run({"-i", "1", "-c", "3", "--columns", "10100000000000000001"});
  EXPECT_EQ(r.status, 0);
  // The adapter's own address decides the direction.
  EXPECT_EQ(r.out, Line({"Packet Number", "In/Out", "Data"}) + Line({"0", "out", "one"}) +
                       Line({"1", "in", "two"}) + Line({"2", "in", "three"}));
  EXPECT_EQ(r.err, "orrisvane-dump: 3 frames decoded, 0 dropped by the kernel\n");

  // The window's order of requests: bind the second adapter, address, promiscuous filter.
  auto calls = script_->Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].code, request_code::Bind);
  EXPECT_EQ(std::string(calls[0].input.begin(), calls[0].input.end()), "0001");
  EXPECT_EQ(calls[1].code, request_code::StationAddress);
  EXPECT_EQ(calls[2].code, request_code::SetFilter);
  EXPECT_EQ(calls[2].input, (std::vector<std::uint8_t>{0x20, 0, 0, 0}));
  EXPECT_GE(script_->CountCalls(request_code::Read), 3u);
  EXPECT_EQ(script_->CountCalls(request_code::Unbind), 1u);
  EXPECT_EQ(script_->openDevices, 0);
}

TEST_F(DumpLiveTest, MacOptionOverridesTheAdaptersAddress) {
  script_->PushFrame(Udp_(RemoteMac, "x"));
  script_->PushFrame(Udp_(LocalMac, "y"));
  DumpResult r = Run({"-i", "0", "-c", "2", "--no-header", "--columns", "10100000000000000000", "--mac",
                      "00:11:22:33:44:55"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"0", "out"}) + Line({"1", "in"}));
  EXPECT_EQ(script_->CountCalls(request_code::StationAddress), 0u);
}

TEST_F(DumpLiveTest, InterruptionWritesEverythingDecodedAndReportsDrops) {
  script_->drops = 7;
  // Reads end only by the stop's abort: with a short timeout the stop could fall between
  // two reads and need no abort at all.
  script_->readTimeout = std::chrono::hours(1);
  for (int i = 0; i < 5; ++i) script_->PushFrame(Udp_(RemoteMac, "f" + std::to_string(i)));
  // Interrupt once the five frames are taken and the capture thread waits in a read.
  std::thread interrupter([&] {
    for (int i = 0; i < 2000; ++i) {
      bool drained;
      {
        std::lock_guard lock(script_->mutex);
        drained = script_->frames.empty() && script_->readers > 0;
      }
      if (drained) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    interrupted_.store(true);
  });
  DumpResult r = Run({"-i", "0", "--no-header", "--columns", "10000000000000000001"});
  interrupter.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"0", "f0"}) + Line({"1", "f1"}) + Line({"2", "f2"}) + Line({"3", "f3"}) +
                       Line({"4", "f4"}));
  EXPECT_EQ(r.err, "orrisvane-dump: 5 frames decoded, 7 dropped by the kernel\n");
  // The blocked read was ended by the abort requests of the stop handshake.
  EXPECT_GE(script_->CountCalls(request_code::AbortFirst), 1u);
  EXPECT_EQ(script_->openDevices, 0);
}

TEST_F(DumpLiveTest, RowsOfALiveCaptureShowWhileItRuns) {
  // Someone watching a quiet network sees each row within a batch's age, not at the end.
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  int status = -1;
  std::thread dump([&] {
    const std::vector<std::string> args = {"-i", "0", "--no-header", "--columns", "10000000000000000001"};
    status = RunDump(args, out, err, env_);
  });
  script_->PushFrame(Udp_(RemoteMac, "early"));
  std::string seen;
  const int fd = fileno(out);
  for (int i = 0; i < 500 && seen.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char buffer[64];
    const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    if (n > 0) seen.assign(buffer, static_cast<std::size_t>(n));
  }
  interrupted_.store(true);
  dump.join();
  EXPECT_EQ(seen, Line({"0", "early"}));
  EXPECT_EQ(status, 0);
  std::fclose(out);
  std::fclose(err);
}

TEST_F(DumpLiveTest, ADisplayFilterKeepsTheRowsItMatchesUntilTheCountIsKept) {
  // The frames come while the capture waits for them: -c, which counts the rows kept,
  // ends it at once, not at the next look for an interruption an hour later.
  env_.livePollInterval = std::chrono::hours(1);
  std::thread network([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const char* payload : {"drop0", "keep1", "drop2", "keep3", "keep4"})
      script_->PushFrame(Udp_(RemoteMac, payload));
  });
  DumpResult r = Run({"-i", "0", "--no-header", "--columns", "10000000000000000001", "-Y", "data contains \"keep\"",
                      "-c", "2"});
  network.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"1", "keep1"}) + Line({"3", "keep3"}));
  EXPECT_THAT(r.err, HasSubstr(", 2 kept by -Y, 0 dropped by the kernel\n"));
}

TEST_F(DumpLiveTest, AnInterruptionEndsALiveCaptureThatLooksAtNoClock) {
  // The next look by the clock is 30 s away: only the descriptor brings the interruption.
  env_.livePollInterval = std::chrono::seconds(30);
  env_.interruptFd = ::eventfd(0, EFD_CLOEXEC);
  std::thread interrupter([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    interrupted_.store(true);
    const std::uint64_t one = 1;
    EXPECT_EQ(::write(env_.interruptFd, &one, sizeof one), 8);
  });
  const auto start = std::chrono::steady_clock::now();
  DumpResult r = Run({"-i", "0", "--no-header"});
  interrupter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 0);
  ::close(env_.interruptFd);
}

TEST_F(DumpLiveTest, PromiscuousModeRefusedIsAWarningAndTheCaptureGoesOn) {
  script_->failingCodes = {request_code::SetFilter};
  script_->failureReason = "interface is down";
  script_->PushFrame(Udp_(RemoteMac, "x"));
  DumpResult r = Run({"-i", "0", "-c", "1", "--no-header", "--columns", "10000000000000000001"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"0", "x"}));
  EXPECT_EQ(r.err,
            "orrisvane-dump: Promiscuous mode not activated: interface is down\n"
            "orrisvane-dump: 1 frame decoded, 0 dropped by the kernel\n");
}

TEST_F(DumpLiveTest, AdapterWhoseReadsFailEndsTheCaptureWithTheReason) {
  // Without an end a headless capture would hang on an interface that went away.
  script_->failReads = true;
  script_->failureReason = "The interface disappeared";
  DumpResult r = Run({"-i", "0", "--columns", "10000000000000000001"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Line({"Packet Number", "Data"}));
  EXPECT_EQ(r.err,
            "orrisvane-dump: 0 frames decoded, 0 dropped by the kernel; reading from adapter 0002 failed: The "
            "interface disappeared\n");
  EXPECT_EQ(script_->openDevices, 0);
}

TEST_F(DumpLiveTest, FailuresBeforeTheCaptureWriteNothing) {
  struct Case {
    std::function<void()> arrange;
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {[] {}, {"-i", "2"}, "orrisvane-dump: there is no adapter 2 (2 found; see -D)\n"},
      {[&] {
         script_->refusedKeys = {"0002"};
         script_->failureReason = "You don't have permission to capture on that device (socket: Operation not permitted)";
       },
       {"-i", "0"},
       // The reason, then the grant that fixes it (naming the agent wherever it is).
       "orrisvane-dump: Adapter 0002 open failed: You don't have permission to capture on that device (socket: "
       "Operation not permitted)\norrisvane-dump: to capture without root, grant the capture agent its capability: "
       "sudo setcap cap_net_raw,cap_net_admin+eip "},
      {[&] {
         script_->refusedKeys.clear();
         script_->failingCodes = {request_code::StationAddress};
         script_->failureReason = "";
       },
       {"-i", "0"},
       "orrisvane-dump: GetAddress() failed.\n"},
      {[&] { script_->failOpen = true; }, {"-i", "1"}, "orrisvane-dump: Adapter 0001 open failed\n"},
  };
  for (const Case& c : cases) {
    c.arrange();
    DumpResult r = Run(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith(c.err));
    EXPECT_EQ(CountLines(r.err), CountLines(c.err) + (c.err.back() == '\n' ? 0 : 1)) << r.err;
    EXPECT_EQ(script_->openDevices, 0);
  }
}

}  // namespace
}  // namespace dump_test
