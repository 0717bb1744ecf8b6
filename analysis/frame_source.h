#pragma once
// Where the bytes of a listed frame can be read again after its row was made: the trace's
// spool on disk or the capture file being shown. Rows keep only what their cells need; the
// details dialog's byte dump, saving frames and following a connection read the frames here.

#include <cstdint>
#include <limits>
#include <vector>

// A frame's time when the device that took it has no clock: apart from every time a clock
// gives, the epoch itself included (devices that start at zero write files that begin there).
inline constexpr std::int64_t TimeNotKnown = std::numeric_limits<std::int64_t>::min();

struct StoredFrame {
  std::int64_t timestampNs = TimeNotKnown;  // since the Unix epoch
  std::uint32_t originalLength = 0;   // the length on the wire, which may exceed bytes.size()
  std::vector<std::uint8_t> bytes;    // as captured
  std::uint32_t interfaceId = 0;      // the adapter of a trace or file of several
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Fills out with the frame that has this packet number (the number the decoder gave its
  // row) and returns true; false when that frame is not kept (any more). May be called from
  // any thread.
  virtual bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const = 0;
};
