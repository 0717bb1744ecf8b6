// The libpcap device on the loopback interface. Needs the right to capture (root or the
// capture capability); without it the tests are skipped with the device's reason.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "capture/trace/capture_thread.h"
#include "capture/trace/trace.h"
#include "capture/driver/driver_client.h"
#include "capture/adapters/linux_registry.h"
#include "capture/devices/pcap_device.h"
#include "tests/support/recording_batch_sink.h"
#include "tests/support/recording_frame_recorder.h"

namespace {

std::string LoopbackKey() {
  for (auto& interface : ListLinuxInterfaces())
    if (interface.name == "lo") return interface.keyName;
  return {};
}

class PcapDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterPcapDevice(table);
    key = LoopbackKey();
    if (key.empty()) GTEST_SKIP() << "no loopback interface listed";
    adapter = OpenAdapter(table, key.c_str(), &why);
    if (!adapter && (why.find("permission") != std::string::npos || why.find("Operation not permitted") != std::string::npos))
      GTEST_SKIP() << "may not capture here: " << why;
    ASSERT_TRUE(adapter) << why;
  }

  DeviceTable table;
  std::string key, why;
  AdapterPtr adapter{nullptr, nullptr};
};

TEST_F(PcapDeviceTest, DescribesTheLoopbackInterface) {
  EXPECT_TRUE(SetPacketFilter(adapter.get(), PromiscuousFilter)) << adapter->lastError;
  std::uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
  std::uint32_t count = 0;
  ASSERT_TRUE(GetAddress(adapter.get(), mac, 6, &count)) << adapter->lastError;
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(std::vector<std::uint8_t>(mac, mac + 6), std::vector<std::uint8_t>(6, 0));
  char text[1520];
  ASSERT_TRUE(QueryDescription(adapter.get(), text, sizeof text, &count));
  EXPECT_STREQ(text, "lo (loopback)");
  EXPECT_EQ(count, 14u);
}

TEST_F(PcapDeviceTest, AnUnknownKeyIsRefusedWithAReason) {
  std::string reason;
  EXPECT_FALSE(OpenAdapter(table, "0000", &reason));
  EXPECT_NE(reason.find("no network interface"), std::string::npos) << reason;
  EXPECT_FALSE(OpenAdapter(table, "lo", &reason));
  EXPECT_FALSE(reason.empty());
}

TEST_F(PcapDeviceTest, AbortEndsAPendingReadAndEveryLaterOne) {
  RequestPtr request = AllocatePacket(adapter.get());
  std::uint8_t buffer[FrameBufferSize];
  InitPacket(request.get(), buffer, sizeof buffer);
  // Reads return true (a frame, or 0 bytes at the timeout) until the abort ends one.
  std::atomic<int> reads{0};
  std::thread reader([&] {
    std::uint32_t count = 0;
    while (ReadPacket(adapter.get(), request.get(), &count)) ++reads;
  });
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (reads.load() < 2 && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(reads.load(), 2);
  EXPECT_TRUE(AbortRead(adapter.get()));
  reader.join();
  std::uint32_t count = 0;
  EXPECT_FALSE(ReadPacket(adapter.get(), request.get(), &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(PcapDeviceTest, UdpDatagramsSentToLoopbackBecomeRows) {
  // A bound receiver, so the datagrams are delivered and draw no ICMP reply.
  int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
  int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(receiver, 0);
  ASSERT_GE(sender, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length), 0);

  CaptureState state;

  Trace trace{state};
  trace.adapter = std::move(adapter);
  ASSERT_TRUE(SetPacketFilter(trace.adapter.get(), PromiscuousFilter));
  trace.request = AllocatePacket(trace.adapter.get());
  InitPacket(trace.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
  RecordingBatchSink sink(state.columns);
  trace.sink = &sink;
  RecordingFrameRecorder recorder(state);
  trace.recorder = &recorder;
  const auto sinceEpochNs = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const std::int64_t sendsBegin = sinceEpochNs();
  StartCaptureThread(trace);

  std::vector<std::string> payloads;
  for (int i = 0; i < 3; ++i) {
    payloads.push_back("orrisvane-" + std::to_string(::getpid()) + "-" + std::to_string(i));
    ASSERT_EQ(::sendto(sender, payloads.back().data(), payloads.back().size(), 0,
                       reinterpret_cast<sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(payloads.back().size()));
  }
  const int data = state.columns.Position(ColumnId::Data);
  const int protocol = state.columns.Position(ColumnId::UpperLayerProtocol);
  auto found = [&](const std::string& payload) {
    for (std::int64_t row = 0; row < sink.Rows(); ++row)
      if (sink.Cell(row, data) == payload) return row;
    return std::int64_t{-1};
  };
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (found(payloads.back()) < 0 && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  StopTrace(trace);
  const std::int64_t sendsEnd = sinceEpochNs();
  ::close(sender);
  ::close(receiver);

  for (auto& payload : payloads) {
    std::int64_t row = found(payload);
    ASSERT_GE(row, 0) << payload << " not captured";
    EXPECT_EQ(sink.Cell(row, 0), std::to_string(row));
    EXPECT_EQ(sink.Cell(row, protocol).substr(0, 3), "UDP");
    EXPECT_EQ(sink.Cell(row, state.columns.Position(ColumnId::IpDestination)), "127.0.0.1");
    // The kernel's time of capture (microseconds), within the span of the sends.
    const auto entries = recorder.Entries();
    ASSERT_LT(static_cast<std::size_t>(row), entries.size());
    EXPECT_EQ(entries[static_cast<std::size_t>(row)].packetNumber, row);
    EXPECT_GE(entries[static_cast<std::size_t>(row)].stateTimestampNs, sendsBegin / 1000 * 1000);
    EXPECT_LE(entries[static_cast<std::size_t>(row)].stateTimestampNs, sendsEnd);
  }
  EXPECT_FALSE(trace.adapter);
}

// Without the right to capture, the reason is the system's, naming the interface; how to
// get the right is for the front end to add. As root the check runs in a child that gives
// up root first.
TEST(PcapDevicePermissionTest, TheReasonNamesTheMissingPermission) {
  const std::string key = LoopbackKey();
  if (key.empty()) GTEST_SKIP() << "no loopback interface listed";
  auto reasonWithoutRights = [&] {
    DeviceTable table;
    RegisterPcapDevice(table);
    std::string reason;
    AdapterPtr adapter = OpenAdapter(table, key.c_str(), &reason);
    return adapter ? std::string("opened") : reason;
  };
  std::string reason;
  if (::geteuid() != 0) {
    reason = reasonWithoutRights();
    if (reason == "opened") GTEST_SKIP() << "this process may capture; nothing to refuse";
  } else {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipeFds[0]);
      std::string text = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? reasonWithoutRights() : "setuid failed";
      [[maybe_unused]] auto written = ::write(pipeFds[1], text.data(), text.size());
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    char chunk[512];
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;) reason.append(chunk, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (reason == "setuid failed") GTEST_SKIP() << "cannot give up root here";
  }
  EXPECT_NE(reason.find("no permission to capture on lo"), std::string::npos) << reason;
  EXPECT_NE(reason.find("Operation not permitted"), std::string::npos) << reason;
  EXPECT_EQ(reason.find("setcap"), std::string::npos) << reason;
}

}  // namespace
