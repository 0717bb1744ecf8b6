#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/driver/packet_device.h"
#include "capture/formats/frame_file.h"

// Takes every frame of a trace as the device delivered it, with its capture time: the
// spool that keeps a trace's frames on disk.
class FrameRecorder {
 public:
  virtual ~FrameRecorder() = default;
  // On the capture thread, for each frame before its row is made; bytes are valid only
  // during the call.
  virtual void Record(std::int64_t packetNumber, const FrameInfo& info, const std::uint8_t* bytes,
                      std::uint32_t length) = 0;
  // On the capture thread before each batch is handed on: the frames recorded so far
  // become readable, so a listed row's frame can be asked for.
  virtual void Publish() = 0;
  // Why frames could not be kept, once: the first call after a failure answers it, every
  // other call nothing.
  virtual std::optional<std::string> TakeFailure() = 0;
  // Before a trace's first frame: its adapters when it takes several (FrameInfo's
  // interfaceId indexes them), none for one.
  virtual void SetInterfaces(std::vector<frame_file::FileInterface> interfaces) { (void)interfaces; }
};
