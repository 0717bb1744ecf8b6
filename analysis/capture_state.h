#pragma once
// The one record shared by the capture commands, the capture thread, the decoder, the
// connection tracker, the settings and the list: counters, the frame buffer, the column
// set, the log settings, the station address and the connections. What exists only while
// a trace runs (the open adapter, its read request, the stop flags) is capture's Trace.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/columns.h"
#include "analysis/connection_tracker.h"

inline constexpr std::size_t FrameBufferSize = 1520;
inline constexpr std::size_t LogFilePathSize = 512;  // bytes, terminator included

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

  std::array<std::uint8_t, FrameBufferSize> frameBuffer{};
  // When the frame in frameBuffer was captured, in nanoseconds since the Unix epoch (0:
  // not known), set by whoever fills the buffer.
  std::int64_t frameTimestampNs = 0;

  ColumnSet columns;

  std::int32_t saveLog = 0;
  std::string logFilePath;  // at most LogFilePathSize - 1 characters

  std::array<std::uint8_t, 6> adapterMac{};

  // A BPF expression the adapter's frames must match; empty: every frame.
  std::string captureFilter;

  // Other machines whose adapters follow this one's: ssh destinations separated by blanks.
  std::string remoteHosts;

  ConnectionTable connections;
};
