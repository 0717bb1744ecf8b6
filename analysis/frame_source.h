#pragma once
// Where the bytes of a listed frame can be read again after its row was made: the trace's
// spool on disk or the capture file being shown. Rows keep only what their cells need; the
// details dialog's byte dump, saving frames and following a connection read the frames here.

#include <cstdint>
#include <vector>

struct StoredFrame {
  std::int64_t timestampNs = 0;       // since the Unix epoch; 0: not known
  std::uint32_t originalLength = 0;   // the length on the wire, which may exceed bytes.size()
  std::vector<std::uint8_t> bytes;    // as captured
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Fills out with the frame that has this packet number (the number the decoder gave its
  // row) and returns true; false when that frame is not kept (any more). May be called from
  // any thread.
  virtual bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const = 0;
};
