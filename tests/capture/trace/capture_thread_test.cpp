// The capture thread over the scripted device: numbering, batches and their counters,
// the stop handshake in each place a stop can meet the thread, failing reads.

#include <gtest/gtest.h>

#include "analysis/traffic_tally.h"
#include "capture/trace/capture_thread.h"
#include "capture/trace/counting_sink.h"
#include "capture/trace/trace.h"
#include "capture/driver/driver_client.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_device.h"
#include "tests/support/frames.h"
#include "tests/support/recording_batch_sink.h"
#include "tests/support/recording_frame_recorder.h"

namespace {

using namespace frames;
using ReadEnd = FakeDeviceScript::ReadEnd;

constexpr const Mac& LocalMac = DeviceLink.localMac;

std::size_t Count(const std::vector<ReadEnd>& ends, ReadEnd what) {
  return static_cast<std::size_t>(std::count(ends.begin(), ends.end(), what));
}

// A sink that holds the capture thread inside its first hand-over until released.
class GatedSink : public RecordingBatchSink {
 public:
  using RecordingBatchSink::RecordingBatchSink;
  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override {
    {
      std::unique_lock lock(gate_);
      if (!passedOnce_) {
        inside_ = true;
        gateChanged_.notify_all();
        gateChanged_.wait(lock, [&] { return open_; });
        passedOnce_ = true;
      }
    }
    RecordingBatchSink::DeliverBatch(std::move(rows), counters);
  }
  bool WaitInside() {
    std::unique_lock lock(gate_);
    return gateChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return inside_; });
  }
  void Open() {
    std::lock_guard lock(gate_);
    open_ = true;
    gateChanged_.notify_all();
  }

 private:
  std::mutex gate_;
  std::condition_variable gateChanged_;
  bool inside_ = false, open_ = false, passedOnce_ = false;
};

class CaptureThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterFakeDevice(table, script); }
  void TearDown() override {
    if (trace.Running()) StopTrace(trace);
  }

  // What Start does before it starts the thread.
  template <typename Sink = RecordingBatchSink>
  Sink& Prepare(std::int64_t rowsListed = 0) {
    trace.adapter = OpenAdapter(table, "0000");
    EXPECT_TRUE(trace.adapter);
    EXPECT_TRUE(SetPacketFilter(trace.adapter.get(), PromiscuousFilter));
    trace.request = AllocatePacket(trace.adapter.get());
    InitPacket(trace.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
    std::copy(LocalMac.begin(), LocalMac.end(), state.adapterMac.begin());
    auto owned = std::make_unique<Sink>(state.columns, rowsListed);
    Sink& sink = *owned;
    sink_ = std::move(owned);
    trace.sink = sink_.get();
    return sink;
  }
  void Start() { StartCaptureThread(trace); }
  void Stop() { StopTrace(trace); }

  // Everything a finished run must have released.
  void ExpectReleased() {
    EXPECT_FALSE(trace.Running());
    EXPECT_FALSE(trace.adapter);
    EXPECT_FALSE(trace.request);
    EXPECT_EQ(script->openDevices, 0);
    EXPECT_EQ(script->CountCalls(request_code::Unbind), 1u);
    EXPECT_TRUE(state.connections.Empty());
    EXPECT_EQ(state.liveConnections, 0);
  }

  int Column(ColumnId id) const { return state.columns.Position(id); }
  Bytes Incoming(std::string_view payload) { return DeviceLink.UdpFrame(false, 53, 1024, payload); }
  Bytes Outgoing(std::string_view payload) { return DeviceLink.UdpFrame(true, 53, 1024, payload); }

  std::shared_ptr<FakeDeviceScript> script = std::make_shared<FakeDeviceScript>();
  DeviceTable table;
  CaptureState state;
  Trace trace{state};

 private:
  std::unique_ptr<RecordingBatchSink> sink_;
};

TEST_F(CaptureThreadTest, NumberingStartsAtTheRowsAlreadyListed) {
  auto& sink = Prepare(37);
  script->PushFrame(Incoming("a"));
  script->PushFrame(Incoming("bb"));
  script->PushFrame(Outgoing("ccc"));
  Start();
  ASSERT_TRUE(sink.WaitForRows(3));
  Stop();
  ASSERT_EQ(sink.Rows(), 3);
  EXPECT_EQ(sink.Cell(0, 0), "37");
  EXPECT_EQ(sink.Cell(1, 0), "38");
  EXPECT_EQ(sink.Cell(2, 0), "39");
  EXPECT_EQ(sink.Cell(2, Column(ColumnId::Data)), "ccc");
  EXPECT_EQ(sink.Cell(2, Column(ColumnId::InOut)), "out");
  ExpectReleased();
}

TEST_F(CaptureThreadTest, EachFrameGoesToTheRecorderWithItsTimeBeforeItsRowIsHandedOn) {
  auto& sink = Prepare(5);
  RecordingFrameRecorder recorder(state);
  trace.recorder = &recorder;
  const Bytes first = Incoming("a"), second = Outgoing("bb");
  script->PushFrame(first, FrameInfo{1'700'000'000'123'456'789, 1514});
  script->PushFrame(second);  // a device that knows no time
  Start();
  ASSERT_TRUE(sink.WaitForRows(2));
  const int publishedWithRows = recorder.Publications();
  Stop();

  const auto entries = recorder.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].packetNumber, 5);
  EXPECT_EQ(entries[0].bytes, first);
  EXPECT_EQ(entries[0].info.timestampNs, 1'700'000'000'123'456'789);
  EXPECT_EQ(entries[0].info.originalLength, 1514u);
  // The decoder reads the frame's time from the state: it is there before the row is made.
  EXPECT_EQ(entries[0].stateTimestampNs, 1'700'000'000'123'456'789);
  EXPECT_EQ(entries[1].packetNumber, 6);
  EXPECT_EQ(entries[1].bytes, second);
  EXPECT_EQ(entries[1].stateTimestampNs, TimeNotKnown);
  EXPECT_EQ(state.frameTimestampNs, TimeNotKnown);
  // The rows arrived only after a publication that followed both frames.
  EXPECT_GE(publishedWithRows, 1);
  EXPECT_EQ(entries[1].publishedBefore, 0);
  EXPECT_FALSE(trace.recorder);
}

TEST_F(CaptureThreadTest, StopWhileBlockedInAReadEndsItWithoutARowAndClearsConnections) {
  auto& sink = Prepare();
  // Two TCP conversations still open when the run ends.
  script->PushFrame(DeviceLink.TcpFrame(false, {.sourcePort = 80, .destinationPort = 5000, .flags = Syn}));
  script->PushFrame(DeviceLink.TcpFrame(false, {.sourcePort = 80, .destinationPort = 5001, .flags = Syn}));
  Start();
  ASSERT_TRUE(sink.WaitForRows(2));  // handed over at the first empty read
  // From now on the network is quiet: a read waits until something ends it.
  std::uint64_t started = 0;
  {
    std::lock_guard lock(script->mutex);
    script->readTimeout = std::chrono::hours(1);
    started = script->readsStarted;
  }
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(script->mutex);
    return script->readers > 0 && script->readsStarted > started;
  }));
  Stop();

  EXPECT_EQ(sink.Rows(), 2);
  auto ends = script->ReadEnds();
  EXPECT_EQ(Count(ends, ReadEnd::Frame), 2u);
  EXPECT_EQ(ends.back(), ReadEnd::Aborted);
  EXPECT_EQ(Count(ends, ReadEnd::Aborted), 1u);
  ExpectReleased();
  EXPECT_EQ(state.lastConnectionNumber, 2);  // numbers go on rising in the next run
  auto batches = sink.Batches();
  ASSERT_GE(batches.size(), 2u);
  // The rows went with the counters of their last frame, then the live count fell to 0.
  std::int64_t liveWithRows = -1;
  for (auto& b : batches)
    if (b.rows > 0) liveWithRows = b.counters.liveConnections;
  EXPECT_EQ(liveWithRows, 2);
  EXPECT_EQ(batches.back().rows, 0);
  EXPECT_EQ(batches.back().counters.liveConnections, 0);
  EXPECT_EQ(batches.back().counters.packetsReceived, 2);
}

TEST_F(CaptureThreadTest, StopBetweenReadsStartsNoFurtherRead) {
  auto& sink = Prepare<GatedSink>();
  script->PushFrame(Incoming("x"));
  Start();
  ASSERT_TRUE(sink.WaitInside());  // the thread is handing over, not reading
  const std::size_t readsSoFar = script->CountCalls(request_code::Read);
  std::thread stopper([&] { Stop(); });
  ASSERT_TRUE(Eventually([&] { return trace.stopRequested.load() == 1; }));
  sink.Open();
  stopper.join();

  EXPECT_EQ(script->CountCalls(request_code::Read), readsSoFar);
  EXPECT_EQ(script->CountCalls(request_code::AbortFirst), 0u);  // no read to end
  EXPECT_EQ(sink.Rows(), 1);
  ExpectReleased();
}

TEST_F(CaptureThreadTest, AReadThatReachesTheDeviceAfterTheAbortIsEndedToo) {
  // This device's abort only ends reads already pending, and the read takes a while to
  // get there: Stop has to abort again while the thread stays in the read.
  script->stickyAbort = false;
  script->readArrivalDelay = std::chrono::milliseconds(200);
  script->readTimeout = std::chrono::seconds(5);
  Prepare();
  Start();
  ASSERT_TRUE(Eventually([&] { return script->CountCalls(request_code::Read) == 1; }));
  Stop();
  EXPECT_EQ(script->ReadEnds(), std::vector{ReadEnd::Aborted});
  EXPECT_GE(script->CountCalls(request_code::AbortFirst), 2u);
  ExpectReleased();
}

TEST_F(CaptureThreadTest, AFrameThatArrivesWithTheStopGetsNoRow) {
  script->readTimeout = std::chrono::hours(1);
  auto& sink = Prepare();
  Start();
  ASSERT_TRUE(script->WaitForPendingRead());
  trace.stopRequested.store(1);  // the stop is raised, the frame ends the read first
  script->PushFrame(Incoming("late"));
  ASSERT_TRUE(Eventually([&] { return !script->ReadEnds().empty(); }));
  Stop();
  EXPECT_EQ(script->ReadEnds(), std::vector{ReadEnd::Frame});
  EXPECT_EQ(sink.Rows(), 0);
  EXPECT_EQ(state.packetsReceived, 0);
  ExpectReleased();
}

TEST_F(CaptureThreadTest, EmptyAndFailedReadsKeepTheNumbering) {
  script->readTimeout = std::chrono::milliseconds(2);
  auto& sink = Prepare();
  script->PushFrame(Incoming("first"));
  Start();
  ASSERT_TRUE(sink.WaitForRows(1));
  ASSERT_TRUE(Eventually([&] { return Count(script->ReadEnds(), ReadEnd::Timeout) >= 3; }));
  {
    std::lock_guard lock(script->mutex);
    script->failReads = true;
  }
  ASSERT_TRUE(Eventually([&] { return Count(script->ReadEnds(), ReadEnd::Failed) >= 3; }));
  {
    std::lock_guard lock(script->mutex);
    script->failReads = false;
  }
  script->PushFrame(Incoming("second"));
  ASSERT_TRUE(sink.WaitForRows(2));
  Stop();
  ASSERT_EQ(sink.Rows(), 2);
  EXPECT_EQ(sink.Cell(1, 0), "1");
  EXPECT_EQ(sink.Cell(1, Column(ColumnId::Data)), "second");
  ExpectReleased();
}

TEST_F(CaptureThreadTest, BatchesCarryTheCountersAfterTheirLastFrame) {
  script->drops = 7;
  auto& sink = Prepare();
  const std::int64_t total = BatchMaxRows + 10;
  for (std::int64_t i = 0; i < total; ++i) script->PushFrame(i == total - 1 ? Outgoing("o") : Incoming("i"));
  const std::int64_t incomingBytes = static_cast<std::int64_t>(Incoming("i").size());
  Start();
  ASSERT_TRUE(sink.WaitForRows(total));
  Stop();

  auto batches = sink.Batches();
  ASSERT_FALSE(batches.empty());
  std::int64_t rows = 0, received = 0;
  for (auto& b : batches) {
    EXPECT_LE(b.rows, BatchMaxRows);
    rows += b.rows;
    received = std::min<std::int64_t>(rows, total - 1);
    if (b.rows > 0) {
      EXPECT_EQ(b.counters.packetsReceived, received) << "batch ending at row " << rows;
      EXPECT_EQ(b.counters.bytesReceived, received * incomingBytes);
      EXPECT_EQ(b.counters.kernelDrops, 7u);
    }
  }
  EXPECT_EQ(rows, total);
  EXPECT_EQ(batches.back().counters.packetsSent, 1);
  EXPECT_EQ(sink.Cell(total - 1, 0), std::to_string(total - 1));
  ExpectReleased();
}

// Rows are handed on once the first has waited the trace's age, across the empty reads
// between frames too when that age is longer than BatchMaxAge.
TEST_F(CaptureThreadTest, RowsWaitForTheTracesBatchAge) {
  auto& sink = Prepare();
  trace.batchAge = std::chrono::hours(1);
  Start();
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(BatchMaxAge + std::chrono::milliseconds(20));
    script->PushFrame(Incoming("i"));
  }
  ASSERT_TRUE(Eventually([&] { return Count(script->ReadEnds(), ReadEnd::Frame) == 3 && script->ReadPending(); }));
  Stop();
  std::vector<std::int64_t> rows;
  for (const auto& b : sink.Batches()) rows.insert(rows.end(), b.rows > 0 ? 1 : 0, b.rows);
  EXPECT_EQ(rows, std::vector<std::int64_t>{3});
}

TEST_F(CaptureThreadTest, LongFramesAreCutToTheFrameBuffer) {
  auto& sink = Prepare();
  script->PushFrame(Incoming(std::string(2000, 'z')));
  script->PushFrame(Incoming(std::string(FrameBufferSize - 42, 'y')));  // exactly fills the buffer
  Start();
  ASSERT_TRUE(sink.WaitForRows(2));
  Stop();
  EXPECT_EQ(sink.Cell(0, Column(ColumnId::Bytes)), "1520");
  EXPECT_EQ(sink.Cell(1, Column(ColumnId::Bytes)), "1520");
  ExpectReleased();
}

TEST_F(CaptureThreadTest, ADeviceWhoseReadsKeepFailingNeitherSpinsNorBlocksStop) {
  script->failReads = true;
  auto& sink = Prepare();
  Start();
  ASSERT_TRUE(Eventually([&] { return Count(script->ReadEnds(), ReadEnd::Failed) >= 5; }));
  const std::size_t before = script->CountCalls(request_code::Read);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Backing off, the loop makes a few reads in that time; spinning, it would make
  // hundreds of thousands.
  EXPECT_LT(script->CountCalls(request_code::Read) - before, 1000u);
  Stop();
  EXPECT_EQ(sink.Rows(), 0);
  ExpectReleased();
}

TEST_F(CaptureThreadTest, StopWithoutAThreadStillReleasesTheAdapter) {
  Prepare();
  Stop();
  EXPECT_FALSE(trace.adapter);
  EXPECT_FALSE(trace.request);
  EXPECT_EQ(script->openDevices, 0);
}

TEST_F(CaptureThreadTest, TotalsCountedBesideTheRunEqualTheRowsCountedAfterwards) {
  auto& sink = Prepare();
  TrafficTally tally(1'000'000'000);
  CountingSink counting(sink, tally);
  trace.sink = &counting;
  constexpr int Frames = 3000;
  for (int i = 0; i < Frames; ++i) {
    const auto port = static_cast<std::uint16_t>(5000 + i % 50);
    script->PushFrame(i % 3 ? DeviceLink.TcpFrame(i % 2, {.sourcePort = port, .destinationPort = 80, .flags = Ack})
                            : DeviceLink.UdpFrame(i % 2, 53, port, "q"),
                      FrameInfo{1'700'000'000'000'000'000 + i * 1'000'000ll, 100});
  }
  Start();
  // A reader takes copies while the rows are counted.
  TrafficStats copy(1'000'000'000);
  ASSERT_TRUE(Eventually([&] {
    tally.CopyTo(copy);
    return sink.Rows() == Frames;
  }));
  Stop();
  counting.WaitPassedOn();
  tally.CopyTo(copy);

  TrafficStats serial(1'000'000'000);
  sink.Read([&](const RowStore& rows) { serial.AddRows(rows); });
  EXPECT_EQ(copy.Frames(), Frames);
  EXPECT_EQ(ConnectionsTsv(copy, true), ConnectionsTsv(serial, true));
  EXPECT_EQ(IntervalsTsv(copy), IntervalsTsv(serial));
  ASSERT_EQ(copy.Endpoints().size(), serial.Endpoints().size());
  for (std::size_t e = 0; e < serial.Endpoints().size(); ++e)
    EXPECT_EQ(copy.Endpoints()[e].bytesReceived, serial.Endpoints()[e].bytesReceived) << e;
}

}  // namespace
