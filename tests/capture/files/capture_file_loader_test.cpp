// Opening capture files for the window: the loader's thread decodes every record into
// batches, finds each frame again by its packet number, stops at damage with the reason,
// refuses what it cannot show and ends early when cancelled.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <sys/stat.h>

#include "capture/files/capture_file_loader.h"
#include "capture/trace/capture_thread.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"
#include "tests/support/pcapng_builder.h"
#include "tests/support/recording_batch_sink.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

using namespace frames;

constexpr const Mac& LocalMac = DeviceLink.localMac;
const ColumnSet AllColumns = ColumnSet::FromText("11111111111111111111");
const int InOut = AllColumns.Position(ColumnId::InOut);
const int Data = AllColumns.Position(ColumnId::Data);

class CaptureFileLoaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& path : paths) fs::remove(path);
  }

  std::string Path(const std::string& suffix) {
    paths.push_back((fs::temp_directory_path() / ("orrisvane-" + std::to_string(::getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                                  suffix))
                        .string());
    return paths.back();
  }
  std::string WriteBytes(const std::string& suffix, const std::vector<std::uint8_t>& bytes) {
    const std::string path = Path(suffix);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // Frame i: a UDP datagram whose payload names it, every third one sent by LocalMac.
  static Bytes NumberedFrame(int i) { return DeviceLink.UdpFrame(i % 3 == 0, 5000, 53, "frame " + std::to_string(i)); }

  std::string WritePcap(int frames, std::size_t cutLast = 0) {
    const std::string path = Path(".pcap");
    PcapWriter writer(path);
    for (int i = 0; i < frames; ++i) writer.Frame(NumberedFrame(i), 1'700'000'000'000'000ull + i * 1000ull);
    writer.Close(cutLast);
    return path;
  }

  // Loads the whole file into the sink; the loader is kept for its frames and outcome.
  std::unique_ptr<CaptureFileLoader> Load(const std::string& path, RecordingBatchSink& sink,
                                          const Mac& fallback = LocalMac) {
    std::string why;
    auto loader = CaptureFileLoader::Open(path, &why);
    EXPECT_TRUE(loader) << why;
    if (!loader) return loader;
    loader->Start(AllColumns, fallback, sink);
    loader->Wait();
    EXPECT_TRUE(loader->Finished());
    return loader;
  }

  std::string Refusal(const std::string& path) {
    std::string why;
    EXPECT_FALSE(CaptureFileLoader::Open(path, &why));
    return why;
  }

  std::vector<std::string> paths;
};

TEST_F(CaptureFileLoaderTest, PcapRowsCountersAndFramesReadAgainByPacketNumber) {
  constexpr int N = 9000;  // more than two batches
  const std::string path = WritePcap(N);
  RecordingBatchSink sink(AllColumns, 7);  // seven rows already listed
  auto loader = Load(path, sink);
  ASSERT_TRUE(loader);
  EXPECT_EQ(loader->Damage(), "");
  EXPECT_EQ(loader->BytesRead(), loader->FileBytes());
  ASSERT_EQ(sink.Rows(), N);
  EXPECT_EQ(sink.Cell(0, 0), "7");
  EXPECT_EQ(sink.Cell(0, InOut), "out");
  EXPECT_EQ(sink.Cell(1, InOut), "in");
  EXPECT_EQ(sink.Cell(N - 1, Data), "frame " + std::to_string(N - 1));
  const TrafficCounters last = sink.Batches().back().counters;
  EXPECT_EQ(last.packetsSent, N / 3);
  EXPECT_EQ(last.packetsReceived, N - N / 3);

  auto frames = loader->Frames();
  EXPECT_EQ(frames->FrameCount(), N);
  for (int i : {0, 1, 4095, 4096, N - 1}) {
    StoredFrame frame;
    ASSERT_TRUE(frames->ReadFrame(7 + i, frame)) << i;
    EXPECT_EQ(frame.bytes, NumberedFrame(i)) << i;
    EXPECT_EQ(frame.originalLength, frame.bytes.size());
    EXPECT_EQ(frame.timestampNs, (1'700'000'000'000'000ll + i * 1000ll) * 1000) << i;
  }
  StoredFrame frame;
  EXPECT_FALSE(frames->ReadFrame(6, frame));
  EXPECT_FALSE(frames->ReadFrame(7 + N, frame));
}

TEST_F(CaptureFileLoaderTest, PcapngDirectionFromInterfaceAddressAndFramesOfEverySection) {
  const Mac fileMac = DeviceLink.remoteMac;  // the file's own station: the "local" one's peer
  pcapng_builder::Stream stream;
  stream.Section().Interface(1, 1520, {pcapng_builder::MacOption(fileMac), pcapng_builder::ResolutionOption(9)});
  stream.Interface(1, 1520);  // no address: the fallback decides
  stream.Packet(0, 1'700'000'000'123456789ull, NumberedFrame(0));  // from LocalMac: "in" for fileMac
  stream.Packet(1, 5, NumberedFrame(3));                            // from LocalMac: "out" for the fallback
  stream.Statistics(0, 2, 0);
  stream.Order(true).Section().Interface(1, 1520).Packet(0, 7'000'000, NumberedFrame(6));  // big-endian, µs
  const std::string path = WriteBytes(".pcapng", stream.bytes());

  RecordingBatchSink sink(AllColumns);
  auto loader = Load(path, sink);
  ASSERT_TRUE(loader);
  EXPECT_EQ(loader->Format(), CaptureFileFormat::Pcapng);
  EXPECT_EQ(loader->Damage(), "");
  ASSERT_EQ(sink.Rows(), 3);
  EXPECT_EQ(sink.Cell(0, InOut), "in");
  EXPECT_EQ(sink.Cell(1, InOut), "out");

  const std::pair<int, std::int64_t> expected[] = {{0, 1'700'000'000'123456789ll}, {3, 5'000}, {6, 7'000'000'000ll}};
  for (int row = 2; row >= 0; --row) {  // backwards: the kept reader changes section
    StoredFrame frame;
    ASSERT_TRUE(loader->Frames()->ReadFrame(row, frame)) << row;
    EXPECT_EQ(frame.bytes, NumberedFrame(expected[row].first)) << row;
    EXPECT_EQ(frame.timestampNs, expected[row].second) << row;
  }
}

TEST_F(CaptureFileLoaderTest, DamagedFilesKeepTheRowsBeforeTheDamageAndSayWhy) {
  {
    RecordingBatchSink sink(AllColumns);
    auto loader = Load(WritePcap(5, 3), sink);  // the last record cut short
    ASSERT_TRUE(loader);
    EXPECT_EQ(sink.Rows(), 4);
    EXPECT_THAT(loader->Damage(), HasSubstr("truncated"));
    EXPECT_EQ(loader->Frames()->FrameCount(), 4);
    EXPECT_EQ(sink.Batches().back().counters.liveConnections, 0);
  }
  {
    pcapng_builder::Stream stream;
    stream.Section().Interface().Packet(0, 1, NumberedFrame(0)).Packet(0, 2, NumberedFrame(1));
    stream.Block(6, pcapng_builder::Bytes(20, 0), 32, 99);  // its two lengths disagree
    stream.Packet(0, 3, NumberedFrame(2));
    RecordingBatchSink sink(AllColumns);
    auto loader = Load(WriteBytes(".pcapng", stream.bytes()), sink);
    ASSERT_TRUE(loader);
    EXPECT_EQ(sink.Rows(), 2);
    EXPECT_THAT(loader->Damage(), HasSubstr("ends with the length 99"));
  }
}

TEST_F(CaptureFileLoaderTest, RefusesWhatItCannotShowWithTheReason) {
  EXPECT_THAT(Refusal(Path(".missing")), HasSubstr("No such file"));
  EXPECT_EQ(Refusal(WriteBytes(".empty", {})), "the file is empty");
  EXPECT_EQ(Refusal(WriteBytes(".txt", {'h', 'e', 'l', 'l', 'o', '\n'})), "it is not a pcap or pcapng capture file");
  EXPECT_THAT(Refusal(fs::temp_directory_path().string()), HasSubstr("folder"));
  const std::string pipe = Path(".fifo");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(Refusal(pipe), "it is not a regular file");  // at once, with no writer

  const std::string raw = Path(".raw.pcap");
  PcapWriter(raw, LinkTypeRaw).Close();
  EXPECT_THAT(Refusal(raw), HasSubstr("only files of Ethernet frames"));

  pcapng_builder::Stream cooked;
  cooked.Section().Interface(113).Packet(0, 1, NumberedFrame(0));
  EXPECT_THAT(Refusal(WriteBytes(".pcapng", cooked.bytes())), HasSubstr("link type 113, not Ethernet"));

  const std::string cut = Path(".cut.pcap");
  PcapWriter(cut).Close(10);  // the file header cut short
  EXPECT_THAT(Refusal(cut), HasSubstr("truncated"));
}

// Holds the first batch until the test lets it go, so a cancel lands mid-file.
class GatedSink : public RecordingBatchSink {
 public:
  using RecordingBatchSink::RecordingBatchSink;
  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override {
    std::unique_lock lock(gate_);
    arrived_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    lock.unlock();
    RecordingBatchSink::DeliverBatch(std::move(rows), counters);
  }
  void WaitForFirst() {
    std::unique_lock lock(gate_);
    changed_.wait(lock, [this] { return arrived_; });
  }
  void Open() {
    std::lock_guard lock(gate_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex gate_;
  std::condition_variable changed_;
  bool arrived_ = false, open_ = false;
};

TEST_F(CaptureFileLoaderTest, CancelEndsTheLoadAfterTheRowsDecodedSoFar) {
  constexpr int N = 100000;  // several batches
  const std::string path = WritePcap(N);
  std::string why;
  auto loader = CaptureFileLoader::Open(path, &why);
  ASSERT_TRUE(loader) << why;
  GatedSink sink(AllColumns);
  loader->Start(AllColumns, LocalMac, sink);
  sink.WaitForFirst();
  loader->Cancel();
  sink.Open();
  loader->Wait();
  EXPECT_TRUE(loader->Finished());
  EXPECT_TRUE(loader->Cancelled());
  EXPECT_EQ(loader->Damage(), "");
  // The batch held while the cancel came, then only the counters with no live connection.
  const auto batches = sink.Batches();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(sink.Rows(), batches[0].rows);
  EXPECT_LT(sink.Rows(), N);
  EXPECT_EQ(batches[1].rows, 0);
  EXPECT_EQ(batches[1].counters.liveConnections, 0);
  EXPECT_EQ(loader->Frames()->FrameCount(), sink.Rows());
  EXPECT_LT(loader->BytesRead(), loader->FileBytes());
}

}  // namespace
