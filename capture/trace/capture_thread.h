#pragma once
// The capture thread: read a frame, decode it into a row, pass rows on in batches with
// the counters as they stood after the batch's last frame; the stop handshake ends it.

#include <cstdint>

#include "capture/trace/batch_sink.h"
#include "capture/trace/trace.h"

// The body of the capture thread. Reads trace.adapter/trace.request until
// trace.stopRequested, decodes into batches delivered to *trace.sink, and clears the
// connection table at the end. Returns 0.
std::uint32_t CaptureThreadProc(Trace& trace);

// Starts CaptureThreadProc on trace.thread over the trace's open adapter and request
// (stopRequested is set to 0 first). StartTrace opens them and calls this; StopTrace ends it.
void StartCaptureThread(Trace& trace);
