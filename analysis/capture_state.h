#pragma once
// The one record shared by the capture commands, the capture thread, the decoder, the
// connection tracker, the settings and the list: counters, the frame buffer, the column
// set, the log settings, the station address and the connections. What exists only while
// a trace runs (the open adapter, its read request, the stop flags) is capture's Trace.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/columns.h"
#include "analysis/connection_tracker.h"
#include "analysis/frame_source.h"
#include "analysis/process_owner.h"

inline constexpr std::size_t FrameBufferSize = 1520;
inline constexpr std::size_t LogFilePathSize = 512;  // bytes, terminator included

// The range of "Keep at most N rows".
inline constexpr std::int64_t FewestKeptRows = 1000;
inline constexpr std::int64_t MostKeptRows = 1'000'000'000;
// What a row of the list costs in memory at most: the resident growth per row measured
// over 10 M rows with all 21 columns shown and every row keeping its Data text (the
// window benchmark), rounded up.
inline constexpr std::int64_t RowBytes = 200;
// The default of "Keep at most N rows": as many rows as fit in a quarter of the machine's
// physical memory at RowBytes each, within the range above.
constexpr std::int64_t DefaultKeptRows(std::uint64_t physicalBytes) {
  const std::uint64_t rows = physicalBytes / 4 / RowBytes;
  return rows < FewestKeptRows ? FewestKeptRows : rows > MostKeptRows ? MostKeptRows : static_cast<std::int64_t>(rows);
}

// One adapter of a trace or file of several: what its frames are decoded with.
struct TraceInterface {
  std::string name;  // the Interface cell: "eth0", "web1: eth0"
  std::string description;  // as the adapter describes itself: "eth0 (virtio_net)"
  std::array<std::uint8_t, 6> mac{};  // frames from it are "out"
  // Adapters of one machine share a host number: the connection tracker keys on it.
  std::uint32_t host = 0;
};

class CaptureState {
 public:
  CaptureState();
  virtual ~CaptureState();
  CaptureState(const CaptureState&) = delete;
  CaptureState& operator=(const CaptureState&) = delete;

  // Traffic counters: 64-bit, never reset while the program runs.
  std::int64_t packetsReceived = 0;
  std::int64_t packetsSent = 0;
  std::int64_t bytesSent = 0;
  std::int64_t bytesReceived = 0;
  std::int64_t liveConnections = 0;       // always the number of records in connections
  std::int64_t lastConnectionNumber = 0;  // never reset; numbers are never reused

  std::int32_t adapterIndex = 0;  // 0 to 14
  // The chosen adapter's interface name ("eth0", "web1/eth0"): the adapter is found by it,
  // since indexes shift as interfaces come and go. Empty: not known yet, the index stands.
  std::string adapterName;

  std::array<std::uint8_t, FrameBufferSize> frameBuffer{};
  // When the frame in frameBuffer was captured, in nanoseconds since the Unix epoch (or
  // TimeNotKnown), set by whoever fills the buffer.
  std::int64_t frameTimestampNs = TimeNotKnown;
  // That frame's length on the wire, set with it; 0: not known (the captured length).
  std::uint32_t frameOriginalLength = 0;
  // The process that owns that frame's socket, set with it; null: not known.
  std::shared_ptr<const ProcessOwner> frameOwner;
  // The capture time the Time column counts from, in the same unit (TimeNotKnown: none
  // yet). The
  // decoder takes it from the first frame of a list that has a known time; the frame
  // numbered 0 (the first after start-up or Clear) starts a new origin.
  std::int64_t timeOriginNs = TimeNotKnown;
  // A capture file about to be shown counts its time from its own first frame.
  void ResetTimeOrigin() { timeOriginNs = TimeNotKnown; }

  ColumnSet columns;

  std::int32_t saveLog = 0;
  std::string logFilePath;  // at most LogFilePathSize - 1 characters

  std::array<std::uint8_t, 6> adapterMac{};

  // The adapters of a trace or file of several, by interface id; empty for one adapter,
  // whose frames are decoded with adapterMac and have no Interface cell.
  std::vector<TraceInterface> interfaces;
  // The interface id of the frame in frameBuffer, set with it.
  std::uint32_t frameInterface = 0;
  // The adapter of the frame in frameBuffer, or null for a trace of one adapter.
  const TraceInterface* FrameInterface() const {
    return frameInterface < interfaces.size() ? &interfaces[frameInterface] : nullptr;
  }

  // A BPF expression the adapter's frames must match; empty: every frame.
  std::string captureFilter;
  // The most the trace's frames may take on disk, in MiB (the spool; at least 1).
  std::int32_t spoolLimitMiB = 4096;

  // The most rows the report list keeps; past it the oldest rows leave the list.
  std::int64_t keepRows = MostKeptRows;

  // Other machines whose adapters follow this one's: ssh destinations separated by blanks.
  std::string remoteHosts;
  // The adapters a trace takes besides the chosen one, by interface name as adapterName
  // has it; empty: a trace of one adapter.
  std::vector<std::string> moreAdapters;
  // The capture filters of those adapters that have one of their own, by interface name;
  // the others take captureFilter.
  std::map<std::string, std::string> adapterFilters;
  // How long a trace of several adapters holds a frame back for the others' earlier ones.
  std::int32_t holdBackMs = 200;
  // Whether a remote capture also lists the frames of the ssh session it runs through.
  bool keepOwnSession = false;
  // Whether Open, Clear, new columns and Exit ask before a trace that was never saved goes.
  bool askToSave = true;
  // The traffic graph under the list is shown.
  bool graphShown = false;

  ConnectionTable connections;
};
