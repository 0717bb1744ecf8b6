#include "capture/trace/capture_thread.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "capture/driver/driver_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// Backing off from a read that keeps failing at once: short sleeps, doubling up to the
// live device's read timeout, each cut into slices that look at stopRequested.
constexpr std::chrono::milliseconds FirstBackOff{1};
constexpr std::chrono::milliseconds LongestBackOff{50};
constexpr std::chrono::milliseconds BackOffSlice{2};
// An empty read that took less than this did not wait for frames at all.
constexpr std::chrono::microseconds QuickEmptyRead{500};
// How long Stop waits between looks at the thread while it stays in a read.
constexpr std::chrono::microseconds StopPollInterval{500};

TrafficCounters CountersOf(const Trace& trace) {
  TrafficCounters counters = TrafficCounters::Of(trace.state);
  if (trace.adapter && trace.adapter->device) {
    counters.kernelDrops = trace.adapter->device->KernelDrops();
    counters.lateFrames = trace.adapter->device->LateFrames();
  }
  return counters;
}

bool SameCounters(const TrafficCounters& a, const TrafficCounters& b) {
  return a.liveConnections == b.liveConnections && a.packetsReceived == b.packetsReceived &&
         a.packetsSent == b.packetsSent && a.bytesReceived == b.bytesReceived && a.bytesSent == b.bytesSent &&
         a.kernelDrops == b.kernelDrops && a.lateFrames == b.lateFrames;
}

// The age of a batch is asked after every frame, so it is read from the coarse clock: a
// plain memory read, where the precise clock cost a few percent of decoding a file. Its
// steps (a few milliseconds) are small against a batch's age.
std::chrono::nanoseconds CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::chrono::seconds{now.tv_sec} + std::chrono::nanoseconds{now.tv_nsec};
}

// The rows decoded since the last hand-over, and when the first of them came.
class BatchCollector {
 public:
  explicit BatchCollector(Trace& trace)
      : trace_(trace), columns_(trace.state.columns), rows_(columns_), builder_(rows_) {}

  RowSink& Sink() { return builder_; }

  void RowAdded() {
    if (pending_++ == 0) firstRowAt_ = CoarseNow();
  }

  bool Full() const { return pending_ >= BatchMaxRows; }
  bool Old() const { return pending_ > 0 && CoarseNow() - firstRowAt_ >= trace_.batchAge; }
  bool Empty() const { return pending_ == 0; }

  // Hands the pending rows over with the counters as they stand now. Without rows, only
  // when the counters have changed since the last hand-over (or when forced).
  void Deliver(bool force = false) {
    TrafficCounters counters = CountersOf(trace_);
    if (!force && pending_ == 0 && delivered_ && SameCounters(counters, lastCounters_)) return;
    if (trace_.recorder) {
      // The frames of the batch's rows are readable before the rows reach the list.
      trace_.recorder->Publish();
      if (std::optional<std::string> why = trace_.recorder->TakeFailure(); why && trace_.sink)
        trace_.sink->FramesNotKept(*why);
    }
    RowStore batch = std::exchange(rows_, RowStore(columns_));
    builder_.Retarget(rows_);
    pending_ = 0;
    lastCounters_ = counters;
    delivered_ = true;
    if (trace_.sink) trace_.sink->DeliverBatch(std::move(batch), counters);
  }

 private:
  Trace& trace_;
  ColumnSet columns_;
  RowStore rows_;
  RowBuilder builder_;
  std::int64_t pending_ = 0;
  std::chrono::nanoseconds firstRowAt_{};
  TrafficCounters lastCounters_{};
  bool delivered_ = false;
};

// Sleeps for the back-off in short slices; false when a stop came meanwhile.
bool BackOff(const Trace& trace, std::chrono::milliseconds pause) {
  const auto until = Clock::now() + pause;
  while (Clock::now() < until) {
    if (trace.stopRequested.load() != 0) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(BackOffSlice, until - Clock::now()));
  }
  return trace.stopRequested.load() == 0;
}

}  // namespace

std::uint32_t CaptureThreadProc(Trace& trace) {
  CaptureState& state = trace.state;
  std::int64_t packetNumber = trace.sink ? trace.sink->RowCount() : 0;
  BatchCollector batch(trace);
  std::chrono::milliseconds backOff{0};
  std::optional<std::string> failureReported;
  bool lastReadHadFrame = false;

  FrameBatch frames;
  for (;;) {
    bool readOk = false;
    // The handshake with Stop: raise inRead before looking at stopRequested, so either
    // this thread sees the stop and starts no read, or Stop sees the read and ends it.
    trace.inRead.store(1);
    // How long an empty read took is only asked after a read that also brought nothing:
    // while frames come, the clock is not read for it. A device that turns empty at once
    // after a frame is seen by the next read and backs off from there.
    const bool timed = !lastReadHadFrame;
    const auto readStart = timed ? Clock::now() : Clock::time_point{};
    frames.frames.clear();
    if (trace.stopRequested.load() == 0)
      readOk = ReadFrames(trace.adapter.get(), &frames, static_cast<std::uint32_t>(FrameBufferSize));
    trace.inRead.store(0);
    if (trace.stopRequested.load() != 0) break;  // frames that came with the stop are not decoded

    lastReadHadFrame = !frames.frames.empty();
    if (lastReadHadFrame) {
      backOff = std::chrono::milliseconds{0};
      // Decoded where the device read them: the views stay valid until its next read.
      for (FrameBatch::Frame& frame : frames.frames) {
        const auto byteCount = static_cast<std::uint32_t>(frame.bytes.size());
        state.frameTimestampNs = frame.info.timestampNs;
        state.frameOriginalLength = frame.info.originalLength;
        state.frameInterface = frame.info.interfaceId;
        if (trace.recorder) trace.recorder->Record(packetNumber, frame.info, frame.bytes.data(), byteCount);
        state.frameOwner = std::move(frame.info.owner);
        DecodeFrame(packetNumber, frame.bytes.data(), byteCount, batch.Sink(), state);
        ++packetNumber;
        batch.RowAdded();
        if (batch.Full() || batch.Old()) batch.Deliver();
      }
      continue;
    }

    // Nothing came: the read timed out, failed or was ended. Whatever waits for rows
    // should not wait for the next frame of a quiet network; one that takes them in only
    // now and then gets them once they are old enough (the next empty read is at most a
    // read timeout away), not at every end of a burst. A failure's report follows its rows.
    if (trace.batchAge <= BatchMaxAge || !readOk || batch.Empty() || batch.Old()) batch.Deliver();
    const std::string reason = !readOk && trace.adapter ? trace.adapter->lastError : std::string();
    if (!readOk && failureReported != reason && trace.sink) {
      // Once per reason: a device that has started failing usually goes on failing, and the
      // user needs the reason once, not a message per read; a device of several adapters
      // reports each adapter that fails.
      failureReported = reason;
      trace.sink->ReadFailed(reason);
    }
    if (!readOk || (timed && Clock::now() - readStart < QuickEmptyRead)) {
      // A device that fails (or comes back empty) at once would have this loop spin.
      backOff = std::clamp(backOff * 2, FirstBackOff, LongestBackOff);
      if (!BackOff(trace, backOff)) break;
    } else {
      backOff = std::chrono::milliseconds{0};
    }
  }

  if (state.liveConnections != 0) {
    // Rows go with the counters of their last frame; then the live count drops to 0.
    if (!batch.Empty()) batch.Deliver();
    ClearConnections(state);
  }
  batch.Deliver(true);
  return 0;
}

void StartCaptureThread(Trace& trace) {
  trace.stopRequested.store(0);
  trace.inRead.store(0);
  trace.thread = std::thread([&trace] {
    // Named, so that a profile or top tells its share from the window's own.
    pthread_setname_np(pthread_self(), "capture");
    CaptureThreadProc(trace);
  });
}

void StopTrace(Trace& trace) {
  trace.stopRequested.store(1);
  if (trace.thread.joinable()) {
    // Once inRead reads 0 after the stop, the thread starts no further read; until then
    // the abort is sent again, so a read that reached the device only after an earlier
    // abort is ended as well.
    while (trace.inRead.load() != 0) {
      if (trace.adapter) AbortRead(trace.adapter.get());
      std::this_thread::sleep_for(StopPollInterval);
    }
    trace.thread.join();
  }
  FreePacket(std::move(trace.request));
  CloseAdapter(std::move(trace.adapter));
  trace.sink = nullptr;
  trace.recorder = nullptr;
}
