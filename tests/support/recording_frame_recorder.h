#pragma once
// A FrameRecorder for tests: keeps every frame the capture thread records, with what the
// capture state held as the frame's time at that moment, and counts the publications.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "capture/trace/trace.h"

class RecordingFrameRecorder : public FrameRecorder {
 public:
  struct Entry {
    std::int64_t packetNumber;
    FrameInfo info;
    std::int64_t stateTimestampNs;  // CaptureState::frameTimestampNs when the frame was recorded
    std::vector<std::uint8_t> bytes;
    int publishedBefore;  // publications before this frame was recorded
  };

  explicit RecordingFrameRecorder(const CaptureState& state) : state_(state) {}

  void Record(std::int64_t packetNumber, const FrameInfo& info, const std::uint8_t* bytes,
              std::uint32_t length) override {
    std::lock_guard lock(mutex_);
    entries_.push_back({packetNumber, info, state_.frameTimestampNs, std::vector<std::uint8_t>(bytes, bytes + length),
                        publications_});
  }
  void Publish() override {
    std::lock_guard lock(mutex_);
    ++publications_;
  }
  std::optional<std::string> TakeFailure() override { return std::nullopt; }

  std::vector<Entry> Entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  int Publications() {
    std::lock_guard lock(mutex_);
    return publications_;
  }

 private:
  const CaptureState& state_;
  std::mutex mutex_;
  std::vector<Entry> entries_;
  int publications_ = 0;
};
