#pragma once
// One trace from Start to Stop: the open adapter, its read request, the sink that takes
// the rows, the two flags of the stop handshake and the capture thread. The capture
// state keeps what outlives a trace (counters, column set, station address, connections);
// the window and orrisvane-dump start and stop a trace through the same two calls here.

#include <array>
#include <chrono>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/capture_state.h"
#include "capture/trace/batch_sink.h"
#include "capture/driver/driver_client.h"
#include "capture/spool/frame_recorder.h"

struct Trace {
  explicit Trace(CaptureState& captureState) : state(captureState) {}
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  CaptureState& state;
  AdapterPtr adapter{nullptr, nullptr};
  RequestPtr request{nullptr, nullptr};
  // Where the capture thread delivers its batches of rows and the counters that go with them.
  BatchSink* sink = nullptr;
  // Where the frames go besides the decoder; none: they are not kept.
  FrameRecorder* recorder = nullptr;
  // How long rows may wait on the capture thread before they are handed on. Up to
  // BatchMaxAge a read that brings no frame (a pause, or the end of a burst) also hands
  // them on; a longer age is asked by a sink that takes rows in only now and then.
  std::chrono::milliseconds batchAge = BatchMaxAge;
  // The stop handshake: inRead is written by the capture thread, stopRequested by Stop.
  std::atomic<std::int32_t> inRead{0};
  std::atomic<std::int32_t> stopRequested{0};
  std::thread thread;

  bool Running() const { return thread.joinable(); }
};

// A further adapter of a trace of several.
struct TraceAdapter {
  std::string keyName;  // in the device table
  std::string name;     // its Interface cell: "eth0", "web1: eth0"
  std::uint32_t host = 0;  // adapters of one machine share it
  // Its own capture filter; none: the trace's (TraceOptions::captureFilter).
  std::optional<std::string> captureFilter;
};

// What a trace of several adapters says of an adapter in the list: its cell text and
// machine, from its interface name ("eth0", or "web1/eth0" for a host's; the key name
// when the list gives none). hosts numbers the machines met so far (this machine is 0).
TraceAdapter TraceAdapterOf(const std::string& keyName, const std::string& interfaceName,
                            std::vector<std::string>& hosts);

// The adapters of a trace of several as capture files describe them.
std::vector<frame_file::FileInterface> FileInterfacesOf(const std::vector<TraceInterface>& interfaces);

struct TraceOptions {
  // The adapter's key name in the device table.
  std::string keyName;
  // With further adapters the trace takes them all in one list (see merged_device.h):
  // the first adapter is keyName, named as name says.
  std::string name;
  std::uint32_t host = 0;
  std::vector<TraceAdapter> moreAdapters;
  std::chrono::milliseconds holdBack{200};
  // Asks for promiscuous mode. When the device refuses, the trace goes on with the
  // adapter's own filter and promiscuousFailed (if given) hears the device's reason
  // before the first read.
  bool promiscuous = true;
  std::function<void(const std::string& reason)> promiscuousFailed;
  // A BPF expression the device filters the frames with; empty: every frame.
  std::string captureFilter;
  // When given, the adapter's station address is read into it after the adapter opens.
  std::array<std::uint8_t, 6>* stationAddress = nullptr;
  // Receives every frame read (see Trace::recorder).
  FrameRecorder* recorder = nullptr;
  // A capture file's interfaces, when it describes several: each frame's names it.
  std::vector<TraceInterface> fileInterfaces;
  // See Trace::batchAge. Every batch costs each thread it passes through a wake-up and its
  // own fixed work, so a sink that takes rows in only a few times a second asks for batches
  // about as old as its pause.
  std::chrono::milliseconds batchAge = BatchMaxAge;
};

// What stopped a trace from starting; nothing is left open after any of them.
enum class TraceStartFailure { None, Open, CaptureFilter, StationAddress, Allocation };

struct TraceStartResult {
  TraceStartFailure failure = TraceStartFailure::None;
  std::string reason;  // the device's reason, empty when it gave none
  explicit operator bool() const { return failure == TraceStartFailure::None; }
};

// Opens the adapter (every adapter, for a trace of several: the state's interfaces
// describe them then, and a failure's reason starts with the adapter's name), gives it the capture filter, asks for promiscuous mode, reads the station address when asked,
// allocates the read request over the state's frame buffer and starts the capture thread
// delivering to sink. The sink's RowCount() is asked on the new thread for the first
// packet number, so it must answer the rows already listed from this call on.
TraceStartResult StartTrace(Trace& trace, const DeviceTable& devices, const TraceOptions& options, BatchSink& sink);

// Raises the stop request, ends a pending read (again while the thread stays in a read),
// joins, then frees the request and closes the adapter. Safe to call with no trace
// running. After it returns every batch has been delivered.
void StopTrace(Trace& trace);
