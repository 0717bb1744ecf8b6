// The capture-file device through the driver client and the capture thread, on pcap
// files that the tests write themselves.

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "capture/files/capture_file_device.h"
#include "capture/formats/frame_file.h"
#include "capture/trace/capture_thread.h"
#include "capture/driver/driver_client.h"
#include "capture/trace/trace.h"
#include "tests/support/capture_files.h"
#include "tests/support/eventually.h"
#include "tests/support/frames.h"
#include "tests/support/recording_batch_sink.h"

namespace fs = std::filesystem;

namespace {

using namespace frames;

constexpr const Mac& LocalMac = DeviceLink.localMac;

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
    bool ok = ReadPacket(adapter, request.get(), &count);
    return ok ? static_cast<long>(count) : -1;
  }

  std::string path;
  DeviceTable table;
  std::string why;
  std::uint8_t buffer[FrameBufferSize] = {};
};

TEST_F(CaptureFileDeviceTest, DeliversTheFramesInOrderThenReportsTheEnd) {
  PcapWriter file(path);
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, "one"));
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, std::string(1600, 'L')));
  file.Frame(DeviceLink.UdpFrame(true, 1, 2, "three"));
  file.Close();

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

TEST_F(CaptureFileDeviceTest, EachFrameCarriesItsTimeAndLengthOnTheWire) {
  const std::uint64_t first = 1'700'000'000'000'001;  // microseconds since the epoch
  {
    PcapWriter file(path, LinkTypeEthernet, 200);
    file.Frame(DeviceLink.UdpFrame(false, 1, 2, "plain"), first, 1400);
    // Past the snapshot length: read by libpcap from here on.
    file.Frame(DeviceLink.UdpFrame(false, 1, 2, std::string(300, 'x')), first + 2'500'000);
    file.Frame(DeviceLink.UdpFrame(false, 1, 2, "after"), first + 3'000'000);
    file.Close();
  }
  const std::string pcapng = path + "ng";
  {
    PcapngWriter file(pcapng);
    file.Frame(DeviceLink.UdpFrame(false, 1, 2, "ng"), first + 7);
    file.Close();
  }
  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  std::vector<FrameInfo> seen;
  while (Read(adapter.get()) > 0) seen.push_back(adapter->device->LastFrameInfo());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].timestampNs, static_cast<std::int64_t>(first * 1000));
  EXPECT_EQ(seen[0].originalLength, 1400u);
  EXPECT_EQ(seen[1].timestampNs, static_cast<std::int64_t>((first + 2'500'000) * 1000));
  EXPECT_EQ(seen[2].timestampNs, static_cast<std::int64_t>((first + 3'000'000) * 1000));
  EXPECT_EQ(seen[2].originalLength, DeviceLink.UdpFrame(false, 1, 2, "after").size());

  DeviceTable ngTable;
  RegisterCaptureFileDevice(ngTable, pcapng);
  AdapterPtr ng = OpenAdapter(ngTable, "0000", &why);
  ASSERT_TRUE(ng) << why;
  EXPECT_GT(Read(ng.get()), 0);
  EXPECT_EQ(ng->device->LastFrameInfo().timestampNs, static_cast<std::int64_t>((first + 7) * 1000));
  fs::remove(pcapng);
}

// Microseconds of a pcapng stamp past the year 2262 are more nanoseconds than 64 bits hold.
TEST_F(CaptureFileDeviceTest, TimesPastTheLastNanosecondAreTheLatestTime) {
  const std::pair<std::uint64_t, std::int64_t> cases[] = {
      {9'223'372'036'854'775, 9'223'372'036'854'775'000}, {9'223'372'036'854'776, INT64_MAX}, {UINT64_MAX, INT64_MAX}};
  PcapngWriter file(path);
  for (const auto& [microseconds, ns] : cases) file.Frame(DeviceLink.UdpFrame(false, 1, 2, "t"), microseconds);
  file.Close();
  AdapterPtr adapter = Open();
  for (const auto& [microseconds, ns] : cases) {
    EXPECT_GT(Read(adapter.get()), 0);
    EXPECT_EQ(adapter->device->LastFrameInfo().timestampNs, ns) << microseconds;
  }
}

// A saved pcapng file's owner blocks and interfaces reach each frame, as a live trace's do.
TEST_F(CaptureFileDeviceTest, APcapngFrameCarriesItsOwnerAndInterface) {
  ProcessOwner curl;
  curl.pid = 4242;
  curl.name = "curl";
  const frame_file::FileInterface interfaces[] = {{"eth0", "", LocalMac}, {"web1: eth0", "", LocalMac}};
  std::vector<std::uint8_t> bytes;
  frame_file::AppendPcapngHeader(bytes, interfaces);
  frame_file::PcapngOwners owners;
  const struct {
    const ProcessOwner* owner;
    std::uint32_t interfaceId;
  } cases[] = {{&curl, 1}, {nullptr, 0}, {&curl, 0}};
  for (const auto& c : cases) {
    const std::uint32_t number = owners.Number(bytes, c.owner);
    frame_file::AppendPcapngPacket(bytes, 1'000, 0, DeviceLink.UdpFrame(false, 1, 2, "x"), c.interfaceId, number);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  for (const auto& c : cases) {
    ASSERT_GT(Read(adapter.get()), 0);
    const FrameInfo info = adapter->device->LastFrameInfo();
    EXPECT_EQ(info.owner ? info.owner->name : "-", c.owner ? c.owner->name : "-");
    EXPECT_EQ(info.interfaceId, c.interfaceId);
  }
}

TEST_F(CaptureFileDeviceTest, RefusesFilesItCannotReadOrThatHoldNoEthernet) {
  EXPECT_FALSE(Open());  // no file yet
  EXPECT_NE(why.find("cannot read capture file " + path), std::string::npos) << why;

  PcapWriter raw(path, LinkTypeRaw);
  raw.Frame(Bytes{0x45, 0, 0, 20});
  raw.Close();
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
  PcapWriter file(path);
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, "whole"));
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, "cut short"));
  file.Close(4);

  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  EXPECT_EQ(Read(adapter.get()), 42 + 5);
  EXPECT_EQ(Read(adapter.get()), -1);
  EXPECT_TRUE(adapter->device->EndOfInput());
  EXPECT_NE(adapter->lastError.find("damaged"), std::string::npos) << adapter->lastError;
  EXPECT_EQ(Read(adapter.get()), 0);
}

TEST_F(CaptureFileDeviceTest, AnAbortEndsEveryLaterReadEvenWithFramesLeft) {
  PcapWriter file(path);
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, "a"));
  file.Frame(DeviceLink.UdpFrame(false, 1, 2, "b"));
  file.Close();
  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  EXPECT_EQ(Read(adapter.get()), 43);
  AbortRead(adapter.get());
  EXPECT_EQ(Read(adapter.get()), -1);
  EXPECT_EQ(Read(adapter.get()), -1);
}

// The device reads plain records itself and hands the rest of the file to libpcap: what
// it delivers must be what libpcap reads from the same file, frame for frame, across
// records that straddle its read blocks and a record past the snapshot length (which
// libpcap cuts to that length) in the middle of the file.
TEST_F(CaptureFileDeviceTest, DeliversWhatLibpcapReadsFromTheSameFile) {
  constexpr std::uint32_t SnapLength = 1100;
  PcapWriter file(path);
  for (int i = 0; i < 6000; ++i) {
    // About 3.4 MB of frames from 60 to 1042 bytes, so that records fall across the ends
    // of the device's read blocks.
    std::string payload(static_cast<std::size_t>(18 + (i * 397) % 983), static_cast<char>('a' + i % 26));
    if (i == 5000) payload.assign(1400, 'S');  // past the snapshot length
    file.Frame(DeviceLink.UdpFrame(false, static_cast<std::uint16_t>(i), 2, payload));
  }
  file.Close();
  {
    // The header's snapshot length, lowered after the fact so that frame 5000 exceeds it
    // while every other frame stays within it.
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_TRUE(f);
    const unsigned char snap[4] = {SnapLength & 0xFF, SnapLength >> 8, 0, 0};
    ASSERT_EQ(std::fseek(f, 16, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(snap, 1, 4, f), 4u);
    ASSERT_EQ(std::fclose(f), 0);
  }

  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* reference = pcap_open_offline(path.c_str(), errbuf);
  ASSERT_TRUE(reference) << errbuf;
  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter) << why;
  int frames = 0;
  bool sawCut = false;
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int status = pcap_next_ex(reference, &header, &data);
    if (status != 1) {
      EXPECT_EQ(status, PCAP_ERROR_BREAK);
      break;
    }
    const long n = Read(adapter.get());
    ASSERT_EQ(n, static_cast<long>(std::min<std::uint32_t>(header->caplen, FrameBufferSize))) << "frame " << frames;
    ASSERT_EQ(Bytes(buffer, buffer + n), Bytes(data, data + n)) << "frame " << frames;
    sawCut = sawCut || header->caplen == SnapLength;
    ++frames;
  }
  pcap_close(reference);
  EXPECT_EQ(frames, 6000);
  EXPECT_TRUE(sawCut);
  EXPECT_EQ(Read(adapter.get()), 0);
  EXPECT_TRUE(adapter->device->EndOfInput());
  EXPECT_EQ(adapter->device->LastError(), "");
}

// A batch hands its frames over as views into the device's buffer: all of them must still
// hold their bytes once the batch is complete, across the ends of the read blocks (5.7 MB
// of frames), in either format, and a damaged end still fails the read after the frames.
TEST_F(CaptureFileDeviceTest, EveryFrameOfABatchHoldsItsBytesUntilTheNextRead) {
  struct Case {
    bool pcapng;
    std::size_t cutLast;
  };
  for (const Case c : {Case{false, 0}, Case{true, 0}, Case{false, 10}}) {
    SCOPED_TRACE(std::string(c.pcapng ? "pcapng" : "pcap") + (c.cutLast ? ", cut short" : ""));
    std::vector<Bytes> written;
    for (int i = 0; i < 10000; ++i)
      written.push_back(DeviceLink.UdpFrame(false, static_cast<std::uint16_t>(i), 2,
                                            std::string(static_cast<std::size_t>(18 + (i * 397) % 983), 'a' + i % 26)));
    if (c.pcapng) {
      PcapngWriter file(path);
      for (const Bytes& frame : written) file.Frame(frame);
      file.Close();
    } else {
      PcapWriter file(path);
      for (const Bytes& frame : written) file.Frame(frame);
      file.Close(c.cutLast);
      if (c.cutLast != 0) written.pop_back();
    }
    AdapterPtr adapter = Open();
    ASSERT_TRUE(adapter) << why;
    std::size_t next = 0, batches = 0;
    FrameBatch batch;
    while (ReadFrames(adapter.get(), &batch, FrameBufferSize) && !batch.frames.empty()) {
      ++batches;
      for (const FrameBatch::Frame& frame : batch.frames) {
        ASSERT_LT(next, written.size());
        ASSERT_TRUE(std::ranges::equal(frame.bytes, written[next])) << "frame " << next;
        ++next;
      }
    }
    EXPECT_EQ(next, written.size());
    EXPECT_GT(batches, 3u);
    EXPECT_EQ(adapter->lastError.find("damaged") != std::string::npos, c.cutLast != 0) << adapter->lastError;
    EXPECT_TRUE(adapter->device->EndOfInput());
  }
}

TEST_F(CaptureFileDeviceTest, TheCaptureThreadListsEveryFrameOfTheFile) {
  PcapWriter file(path);
  for (int i = 0; i < 500; ++i) file.Frame(DeviceLink.UdpFrame(false, 1, 2, "frame " + std::to_string(i)));
  file.Close();

  CaptureState state;

  Trace trace{state};
  trace.adapter = Open();
  ASSERT_TRUE(trace.adapter) << why;
  trace.request = AllocatePacket(trace.adapter.get());
  InitPacket(trace.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
  RecordingBatchSink sink(state.columns);
  trace.sink = &sink;
  PacketDevice* device = trace.adapter->device.get();
  StartCaptureThread(trace);
  ASSERT_TRUE(sink.WaitForRows(500));
  // The end is seen by the read after the last frame; a reader stops once it sees it.
  EXPECT_TRUE(Eventually([&] { return device->EndOfInput(); }, std::chrono::seconds(10)));
  StopTrace(trace);

  ASSERT_EQ(sink.Rows(), 500);
  const int data = state.columns.Position(ColumnId::Data);
  EXPECT_EQ(sink.Cell(0, data), "frame 0");
  EXPECT_EQ(sink.Cell(499, data), "frame 499");
  EXPECT_EQ(sink.Cell(499, 0), "499");
  EXPECT_EQ(state.packetsReceived, 500);
}

}  // namespace
