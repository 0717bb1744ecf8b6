#pragma once
// The one record shared by the capture commands, the capture thread, the decoder, the
// connection tracker, the settings and the list: counters, flags, the open adapter and
// read request, the frame buffer, the column set, the log settings and the connections.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "analysis/columns.h"
#include "analysis/connection_tracker.h"

struct AdapterHandle;
struct PacketRequest;
class BatchSink;

// The capture side defines these records; the state only holds them from Start to Stop.
// A function-pointer deleter keeps this header free of the capture library.
using AdapterPtr = std::unique_ptr<AdapterHandle, void (*)(AdapterHandle*)>;
using RequestPtr = std::unique_ptr<PacketRequest, void (*)(PacketRequest*)>;

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

  // Where the capture thread delivers its batches of rows and the counters that go with
  // them (set by Start).
  BatchSink* listWindow = nullptr;

  std::int32_t adapterIndex = 0;  // 0 to 14

  std::atomic<std::int32_t> inRead{0};
  std::atomic<std::int32_t> stopRequested{0};

  AdapterPtr adapter{nullptr, nullptr};
  RequestPtr request{nullptr, nullptr};

  std::array<std::uint8_t, FrameBufferSize> frameBuffer{};

  ColumnSet columns;

  std::int32_t saveLog = 0;
  std::string logFilePath;  // at most LogFilePathSize - 1 characters

  std::array<std::uint8_t, 6> adapterMac{};

  ConnectionTable connections;
};
