// Stress and faults over the scripted device: a thousand Start/Stop/Clear cycles while
// frames keep arriving, and a device whose reads start failing in the middle of a trace.

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/trace/capture_control.h"
#include "capture/trace/capture_thread.h"
#include "capture/trace/trace.h"
#include "capture/driver/driver_client.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_device.h"
#include "tests/support/frames.h"
#include "tests/support/memory_registry.h"
#include "tests/support/recording_batch_sink.h"

namespace {

using namespace frames;
using ReadEnd = FakeDeviceScript::ReadEnd;

constexpr const Mac& LocalMac = DeviceLink.localMac;

// Frames carry their sequence number as the UDP payload, which the Data cell shows.
Bytes NumberedFrame(int id) {
  char payload[16];
  std::snprintf(payload, sizeof payload, "id=%07d", id);
  return DeviceLink.UdpFrame(true, 53, 1024, payload);
}

int IdOf(std::string_view data) { return data.size() == 10 ? std::stoi(std::string(data.substr(3))) : -1; }

// The window's part, without a window: the list is a vector of (packet number, frame id).
class ListStandIn : public CaptureView, public BatchSink {
 public:
  explicit ListStandIn(const CaptureState& state) : state_(state) {}

  void EnableStartButton(bool) override {}
  void EnableStopButton(bool) override {}
  void UpdateCommandStates() override {}
  void SetTitle(const std::string&) override {}
  void SetTracePane(const std::string&) override {}
  int ShowMessage(const std::string& text, const std::string&) override {
    messages.push_back(text);
    return 1;
  }
  BatchSink& Rows() override {
    prepared_ = static_cast<std::int64_t>(list.size());
    return *this;
  }
  void ApplyPendingRows() override {
    std::lock_guard lock(mutex_);
    for (auto& row : pending_) list.push_back(row);
    pending_.clear();
  }
  void DeleteAllRows() override { list.clear(); }

  std::int64_t RowCount() override { return prepared_; }
  void DeliverBatch(RowStore rows, const TrafficCounters&) override {
    const int number = 0, data = state_.columns.Position(ColumnId::Data);
    std::lock_guard lock(mutex_);
    for (std::int64_t r = 0; r < rows.RowCount(); ++r) {
      pending_.push_back({std::string(rows.Cell(r, number)), IdOf(rows.Cell(r, data))});
      everId.push_back(pending_.back().id);
    }
    delivered_ += rows.RowCount();
  }
  std::int64_t Delivered() {
    std::lock_guard lock(mutex_);
    return delivered_;
  }
  std::vector<int> EverListed() {
    std::lock_guard lock(mutex_);
    return everId;
  }

  struct Row {
    std::string number;
    int id;
  };
  std::vector<Row> list;  // user-interface side only
  std::vector<std::string> messages;

 private:
  const CaptureState& state_;
  std::atomic<std::int64_t> prepared_{0};
  std::mutex mutex_;
  std::vector<Row> pending_;
  std::vector<int> everId;
  std::int64_t delivered_ = 0;
};

TEST(CaptureStress, AThousandStartStopClearCyclesWithFramesFlowing) {
  auto script = std::make_shared<FakeDeviceScript>();
  std::copy(std::begin(LocalMac), std::end(LocalMac), script->mac);
  DeviceTable devices;
  RegisterFakeDevice(devices, script);
  MemoryRegistry registry;
  registry.AddAdapter("0000", "fake0 (scripted)");

  CaptureState state;
  state.columns = ColumnSet::FromText("11000000000000000001");  // number, bytes, data
  ListStandIn view(state);
  CaptureControl control(state, {devices, registry}, view);
  ASSERT_EQ(control.ProbeAdapter(), 0);

  // Frames keep arriving whether or not a trace runs; the queue is kept short so that
  // every run finds some waiting and some come while it reads.
  std::atomic<bool> feeding{true};
  std::mutex feedMutex;
  bool paused = false;  // under feedMutex: once set, no further frame is pushed
  int pushed = 0;
  std::thread feeder([&] {
    while (feeding.load()) {
      bool pushedOne = false;
      {
        std::lock_guard feed(feedMutex);
        bool room;
        {
          std::lock_guard lock(script->mutex);
          room = script->frames.size() < 64;
        }
        if (!paused && room) {
          script->PushFrame(NumberedFrame(pushed++));
          pushedOne = true;
        }
      }
      // A steady stream rather than a flood: the sanitizer builds run this too.
      std::this_thread::sleep_for(std::chrono::microseconds(pushedOne ? 20 : 100));
    }
  });
  struct JoinOnExit {
    std::atomic<bool>& feeding;
    std::thread& thread;
    ~JoinOnExit() {
      feeding.store(false);
      if (thread.joinable()) thread.join();
    }
  } joinFeeder{feeding, feeder};
  auto pause = [&](bool on) {
    std::lock_guard feed(feedMutex);
    paused = on;
  };

  constexpr int Cycles = 1000;
  std::size_t framesRead = 0;  // reads that took a frame off the device
  std::size_t endsSeen = 0;
  std::int64_t rowsListed = 0;
  std::size_t exactCycles = 0;
  for (int cycle = 0; cycle < Cycles; ++cycle) {
    const std::size_t rowsBefore = view.list.size();
    const std::int64_t deliveredBefore = view.Delivered();
    control.Start();
    ASSERT_TRUE(control.IsTracing()) << "cycle " << cycle;
    const bool exact = cycle % 10 == 0;
    if (exact) {
      // Stop only once the thread waits on an empty queue and every row is handed over:
      // then the run's rows are exactly the frames it read.
      pause(true);
      ASSERT_TRUE(Eventually([&] {
        std::lock_guard lock(script->mutex);
        return script->frames.empty() && script->readers > 0;
      })) << "cycle " << cycle;
    } else if (cycle % 4 == 2) {
      ASSERT_TRUE(Eventually([&] { return view.Delivered() > deliveredBefore; })) << "cycle " << cycle;
    }
    const std::size_t readsBefore = framesRead;
    cycle % 3 == 0 ? control.Clear() : control.Stop();
    ASSERT_FALSE(control.IsTracing());
    ASSERT_FALSE(control.CurrentTrace().adapter);
    ASSERT_FALSE(control.CurrentTrace().request);
    ASSERT_EQ(script->openDevices, 0) << "cycle " << cycle;

    {
      std::lock_guard lock(script->mutex);
      for (; endsSeen < script->readEnds.size(); ++endsSeen) framesRead += script->readEnds[endsSeen] == ReadEnd::Frame;
    }
    const std::int64_t runRows = view.Delivered() - deliveredBefore;
    rowsListed += runRows;
    if (exact) {
      ++exactCycles;
      EXPECT_EQ(static_cast<std::size_t>(runRows), framesRead - readsBefore) << "cycle " << cycle;
      pause(false);
    }
    // The list holds exactly the run's rows after the earlier ones (none after a Clear),
    // numbered by their place in the list.
    if (cycle % 3 == 0) {
      ASSERT_TRUE(view.list.empty());
    } else {
      ASSERT_EQ(view.list.size(), rowsBefore + static_cast<std::size_t>(runRows));
      for (std::size_t i = rowsBefore; i < view.list.size(); ++i)
        ASSERT_EQ(view.list[i].number, std::to_string(i)) << "cycle " << cycle;
    }
  }
  feeding.store(false);
  if (feeder.joinable()) feeder.join();

  // Every frame read appears once, in the order it came; the only frames read without a
  // row are those that arrived together with a stop (at most one per run).
  const std::vector<int> ids = view.EverListed();
  ASSERT_EQ(static_cast<std::int64_t>(ids.size()), rowsListed);
  for (std::size_t i = 1; i < ids.size(); ++i) ASSERT_LT(ids[i - 1], ids[i]) << "row " << i;
  EXPECT_GE(framesRead, ids.size());
  EXPECT_LE(framesRead - ids.size(), static_cast<std::size_t>(Cycles));
  EXPECT_EQ(exactCycles, 100u);
  EXPECT_GT(rowsListed, Cycles);
  EXPECT_TRUE(view.messages.empty());
  std::printf("[   INFO   ] %d cycles: %zu frames read, %lld rows listed, %zu read with a stop\n", Cycles, framesRead,
              static_cast<long long>(rowsListed), framesRead - ids.size());
}

double ThreadCpuMs(std::thread& thread) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return -1;
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

TEST(CaptureFaults, ReadsThatStartFailingMidTraceNeitherSpinNorEndTheTraceAndAreReportedOnce) {
  auto script = std::make_shared<FakeDeviceScript>();
  DeviceTable devices;
  RegisterFakeDevice(devices, script);
  CaptureState state;
  Trace trace{state};
  std::copy(LocalMac.begin(), LocalMac.end(), state.adapterMac.begin());
  RecordingBatchSink sink(state.columns);

  auto run = [&](int firstId) {
    trace.sink = &sink;
    trace.adapter = OpenAdapter(devices, "0000");
    ASSERT_TRUE(trace.adapter);
    trace.request = AllocatePacket(trace.adapter.get());
    InitPacket(trace.request.get(), state.frameBuffer.data(), static_cast<std::uint32_t>(FrameBufferSize));
    StartCaptureThread(trace);
    struct StopOnExit {
      Trace& trace;
      ~StopOnExit() {
        if (trace.Running()) StopTrace(trace);
      }
    } stopOnExit{trace};
    const std::int64_t rowsBefore = sink.Rows();
    for (int i = 0; i < 50; ++i) script->PushFrame(NumberedFrame(firstId + i));
    ASSERT_TRUE(sink.WaitForRows(rowsBefore + 50));

    // The interface goes away.
    {
      std::lock_guard lock(script->mutex);
      script->failureReason = "The interface went down";
      script->failReads = true;
    }
    ASSERT_TRUE(Eventually([&] { return sink.ReadFailures().size() == static_cast<std::size_t>(firstId / 100 + 1); }));
    const double cpuBefore = ThreadCpuMs(trace.thread);
    const std::size_t readsBefore = script->CountCalls(request_code::Read);
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double cpuMs = ThreadCpuMs(trace.thread) - cpuBefore;
    const double readsPerSecond = static_cast<double>(script->CountCalls(request_code::Read) - readsBefore) / seconds;
    std::printf("[   INFO   ] failing reads: %.0f reads/s, capture thread CPU %.1f ms in %.0f ms\n", readsPerSecond,
                cpuMs, seconds * 1e3);
    // Backing off, the thread reads a few dozen times a second and sleeps in between;
    // spinning, it would read hundreds of thousands of times and use the whole 400 ms.
    EXPECT_LT(readsPerSecond, 2000.0);
    EXPECT_GE(cpuMs, 0.0);
    EXPECT_LT(cpuMs, 150.0);

    // The trace still runs: when the device recovers, frames are listed again.
    {
      std::lock_guard lock(script->mutex);
      script->failReads = false;
    }
    for (int i = 50; i < 60; ++i) script->PushFrame(NumberedFrame(firstId + i));
    ASSERT_TRUE(sink.WaitForRows(rowsBefore + 60));
    {
      std::lock_guard lock(script->mutex);
      script->failReads = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const auto stopBegin = std::chrono::steady_clock::now();
    StopTrace(trace);
    EXPECT_LT(std::chrono::steady_clock::now() - stopBegin, std::chrono::seconds(5));
    EXPECT_FALSE(trace.adapter);
    EXPECT_EQ(script->openDevices, 0);
    {
      std::lock_guard lock(script->mutex);
      script->failReads = false;
    }
  };

  run(0);
  std::vector<std::string> reasons = sink.ReadFailures();
  // Once for the run, although the reads failed again after the device recovered.
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_EQ(reasons[0], "The interface went down");
  EXPECT_EQ(sink.Rows(), 60);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(IdOf(sink.Cell(i, state.columns.Position(ColumnId::Data))), i);

  // The next run tells it again, once.
  run(100);
  EXPECT_EQ(sink.ReadFailures().size(), 2u);
  EXPECT_EQ(sink.Rows(), 120);
}

}  // namespace
