// The capture-file device through the driver client and the capture thread, on pcap
// files that the tests write themselves.

#include <gtest/gtest.h>

#include <filesystem>

#include "capture/capture_file_device.h"
#include "capture/capture_thread.h"
#include "capture/driver_client.h"
#include "test_frames.h"
#include "tests/support/recording_batch_sink.h"

namespace fs = std::filesystem;

namespace {

using namespace test_frames;

class CaptureFileDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (fs::temp_directory_path() / ("orrisvane-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap"))
               .string();
    RegisterCaptureFileDevice(table, path);
  }
  void TearDown() override { fs::remove(path); }

  AdapterPtr Open() { return OpenAdapter(table, "0000", &why); }

  // Reads one frame into buffer (cut to length); returns the byte count, or -1 on failure.
  long Read(AdapterHandle* adapter, std::uint32_t length = sizeof buffer) {
    RequestPtr request = AllocatePacket(adapter);
    InitPacket(request.get(), buffer, length);
    std::uint32_t count = 0;
    bool ok = ReadPacket(adapter, request.get(), true, &count);
    return ok ? static_cast<long>(count) : -1;
  }

  std::string path;
  DeviceTable table;
  std::string why;
  std::uint8_t buffer[FrameBufferSize] = {};
};

TEST_F(CaptureFileDeviceTest, DeliversTheFramesInOrderThenReportsTheEnd) {
  PcapWriter file;
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "one"));
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, std::string(1600, 'L')));
  file.Add(UdpFrame(RemoteMac, LocalMac, 2, 1, "three"));
  ASSERT_TRUE(file.Write(path));

  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  EXPECT_TRUE(SetPacketFilter(adapter.get(), PromiscuousFilter));
  std::uint8_t mac[6] = {1, 1, 1, 1, 1, 1};
  std::uint32_t count = 0;
  ASSERT_TRUE(GetAddress(adapter.get(), mac, 6, &count));
  EXPECT_EQ(Bytes(mac, mac + 6), Bytes(6, 0));
  char description[1520];
  ASSERT_TRUE(QueryDescription(adapter.get(), description, sizeof description, &count));
  EXPECT_EQ(std::string(description), "capture file " + path);

  EXPECT_EQ(Read(adapter.get()), 42 + 3);
  EXPECT_EQ(std::string(buffer + 42, buffer + 45), "one");
  EXPECT_EQ(Read(adapter.get()), 1520);  // cut to the buffer
  EXPECT_EQ(Read(adapter.get(), 20), 20);
  EXPECT_EQ(Bytes(buffer + 6, buffer + 12), Bytes(LocalMac.begin(), LocalMac.end()));
  EXPECT_FALSE(adapter->device->EndOfInput());

  EXPECT_EQ(Read(adapter.get()), 0);
  EXPECT_TRUE(adapter->device->EndOfInput());
  EXPECT_EQ(adapter->device->LastError(), "");
  EXPECT_EQ(Read(adapter.get()), 0);
}

TEST_F(CaptureFileDeviceTest, RefusesFilesItCannotReadOrThatHoldNoEthernet) {
  EXPECT_FALSE(Open());  // no file yet
  EXPECT_NE(why.find("cannot read capture file " + path), std::string::npos) << why;

  PcapWriter raw(101);
  raw.Add(Bytes{0x45, 0, 0, 20});
  ASSERT_TRUE(raw.Write(path));
  EXPECT_FALSE(Open());
  EXPECT_NE(why.find("does not hold Ethernet frames"), std::string::npos) << why;

  std::FILE* junk = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(junk);
  std::fputs("not a capture", junk);
  std::fclose(junk);
  EXPECT_FALSE(Open());
  EXPECT_FALSE(why.empty());
}

TEST_F(CaptureFileDeviceTest, ATruncatedFileEndsWithAReason) {
  PcapWriter file;
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "whole"));
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "cut short"));
  file.Truncate(4);
  ASSERT_TRUE(file.Write(path));

  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  EXPECT_EQ(Read(adapter.get()), 42 + 5);
  EXPECT_EQ(Read(adapter.get()), -1);
  EXPECT_TRUE(adapter->device->EndOfInput());
  EXPECT_NE(adapter->lastError.find("damaged"), std::string::npos) << adapter->lastError;
  EXPECT_EQ(Read(adapter.get()), 0);
}

TEST_F(CaptureFileDeviceTest, AnAbortEndsEveryLaterReadEvenWithFramesLeft) {
  PcapWriter file;
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "a"));
  file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "b"));
  ASSERT_TRUE(file.Write(path));
  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  EXPECT_EQ(Read(adapter.get()), 43);
  AbortRead(adapter.get());
  EXPECT_EQ(Read(adapter.get()), -1);
  EXPECT_EQ(Read(adapter.get()), -1);
}

TEST_F(CaptureFileDeviceTest, TheCaptureThreadListsEveryFrameOfTheFile) {
  PcapWriter file;
  for (int i = 0; i < 500; ++i) file.Add(UdpFrame(LocalMac, RemoteMac, 1, 2, "frame " + std::to_string(i)));
  ASSERT_TRUE(file.Write(path));

  CaptureState state;
  state.adapter = Open();
  ASSERT_TRUE(state.adapter) << why;
  state.request = AllocatePacket(state.adapter.get());
  InitPacket(state.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
  RecordingBatchSink sink(state.columns.ShownCount());
  state.listWindow = &sink;
  PacketDevice* device = state.adapter->device.get();
  std::thread thread = StartCaptureThread(state);
  ASSERT_TRUE(sink.WaitForRows(500));
  // The end is seen by the read after the last frame; a reader stops once it sees it.
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!device->EndOfInput() && std::chrono::steady_clock::now() < bound)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(device->EndOfInput());
  StopCaptureThread(state, thread);

  ASSERT_EQ(sink.Rows(), 500);
  const int data = state.columns.Position(ColumnId::Data);
  EXPECT_EQ(sink.Cell(0, data), "frame 0");
  EXPECT_EQ(sink.Cell(499, data), "frame 499");
  EXPECT_EQ(sink.Cell(499, 0), "499");
  EXPECT_EQ(state.packetsReceived, 500);
}

}  // namespace
