#pragma once
// The capture thread: read a frame, decode it into a row, pass rows on in batches with
// the counters as they stood after the batch's last frame; the stop handshake ends it.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "analysis/capture_state.h"
#include "analysis/row_store.h"

struct TrafficCounters {
  std::int64_t liveConnections = 0;
  std::int64_t packetsReceived = 0;
  std::int64_t packetsSent = 0;
  std::int64_t bytesReceived = 0;
  std::int64_t bytesSent = 0;
  std::uint64_t kernelDrops = 0;
};

// Receives the capture thread's batches. DeliverBatch runs on the capture thread and must
// not wait for the user-interface thread (a lock held only to pass the batch is fine).
class BatchSink {
 public:
  virtual ~BatchSink() = default;
  // Rows the list holds when the thread starts: the first packet number of the run.
  virtual std::int64_t RowCount() = 0;
  // Columns of each row of a batch (the number of shown columns).
  virtual void DeliverBatch(RowStore rows, const TrafficCounters& counters) = 0;
  // Reads from the adapter have started to fail (the interface went away, a capture
  // error); reason is the device's, empty when it gave none. Called on the capture thread
  // at most once per run, after the rows read before the failure have been delivered; the
  // trace goes on until Stop. Like DeliverBatch it must not wait for the user-interface
  // thread.
  virtual void ReadFailed(const std::string& reason) { (void)reason; }
};

inline constexpr std::int64_t BatchMaxRows = 4096;
inline constexpr std::chrono::milliseconds BatchMaxAge{30};

// The body of the capture thread. Reads state.adapter/state.request until
// state.stopRequested, decodes into batches delivered to *state.listWindow, and clears the
// connection table at the end. Returns 0.
std::uint32_t CaptureThreadProc(CaptureState& state);

// Starts CaptureThreadProc on a new thread (stopRequested is set to 0 first).
std::thread StartCaptureThread(CaptureState& state);

// The handshake half of Stop: raise stopRequested, abort a pending read (again while the
// thread stays in a read), join, then free the request and close the adapter. Safe to
// call with no thread running. After it returns every batch has been delivered.
void StopCaptureThread(CaptureState& state, std::thread& thread);
