#pragma once
// Where the rows of a trace or of a capture file go, a batch at a time, with the counters
// that go with them.

#include <chrono>
#include <cstdint>
#include <string>

#include "analysis/capture_state.h"
#include "analysis/row_store.h"

struct TrafficCounters {
  std::int64_t liveConnections = 0;
  std::int64_t packetsReceived = 0;
  std::int64_t packetsSent = 0;
  std::int64_t bytesReceived = 0;
  std::int64_t bytesSent = 0;
  std::uint64_t kernelDrops = 0;
  // Frames of a trace of several adapters that came after later ones had been listed.
  std::uint64_t lateFrames = 0;

  // The state's counters as they stand (kernelDrops, which only a device knows, stays 0).
  static TrafficCounters Of(const CaptureState& state) {
    TrafficCounters counters;
    counters.liveConnections = state.liveConnections;
    counters.packetsReceived = state.packetsReceived;
    counters.packetsSent = state.packetsSent;
    counters.bytesReceived = state.bytesReceived;
    counters.bytesSent = state.bytesSent;
    return counters;
  }
};

// Receives the capture thread's batches. DeliverBatch runs on the capture thread and must
// not wait for the user-interface thread (a lock held only to pass the batch is fine).
class BatchSink {
 public:
  virtual ~BatchSink() = default;
  // Rows the list holds when the thread starts: the first packet number of the run.
  virtual std::int64_t RowCount() = 0;
  // The rows decoded since the last batch (one cell per shown column) and the counters
  // as they stood after the last of them.
  virtual void DeliverBatch(RowStore rows, const TrafficCounters& counters) = 0;
  // Reads from the adapter have started to fail (the interface went away, a capture
  // error); reason is the device's, empty when it gave none. Called on the capture thread
  // at most once per run, after the rows read before the failure have been delivered; the
  // trace goes on until Stop. Like DeliverBatch it must not wait for the user-interface
  // thread.
  virtual void ReadFailed(const std::string& reason) { (void)reason; }
  // The trace's frames could not be kept on disk (the disk is full, a write failed): rows
  // go on, their bytes are lost. Called on the capture thread at most once per failure
  // of the spool, before the batch whose frames were lost; must not wait either.
  virtual void FramesNotKept(const std::string& reason) { (void)reason; }
};

inline constexpr std::int64_t BatchMaxRows = 4096;
inline constexpr std::chrono::milliseconds BatchMaxAge{30};
