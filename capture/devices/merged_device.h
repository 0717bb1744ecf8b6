#pragma once
// One trace over several adapters: each adapter keeps its own device (its own agent and
// reader) and a thread of its own reads it, and the frames come out of this device in
// capture-time order, each naming its adapter (FrameInfo::interfaceId, its place in the
// list given).
//
// Order. Frames arrive from the adapters at different delays, so a frame is held back
// until no adapter can still deliver an earlier one: every other adapter has delivered a
// frame at least as late (each adapter's own frames come in order, so the earliest held
// frame is the earliest of each adapter's first), or the frame has been held for the
// hold-back time. A frame older than one already delivered is late: it is
// delivered as soon as it comes, and counted (LateFrames()).
//
// Failure. An adapter whose reads fail stops being read; the next read of this device
// fails once with "NAME: reason" and the others go on. Once every adapter has failed,
// reads fail with the last reason.
//
// The requests: the first read starts the readers (so that the set-filter requests that
// come before it reach the adapters first), an abort ends the pending read and every one
// after it, unbinding ends the readers and closes the adapters. The station address and
// description are the first adapter's.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/driver/device_base.h"
#include "capture/driver/driver_client.h"

inline constexpr std::chrono::milliseconds DefaultHoldBack{200};

struct MergedAdapter {
  AdapterPtr adapter{nullptr, nullptr};
  std::string name;  // as failures and the drop counts name it
};

class MergedDevice : public DeviceBase {
 public:
  using Clock = std::chrono::steady_clock;
  // readTimeout: how long a read waits for a frame before it answers 0 bytes.
  MergedDevice(std::vector<MergedAdapter> adapters, std::chrono::milliseconds holdBack = DefaultHoldBack,
               std::chrono::milliseconds readTimeout = std::chrono::milliseconds{50});
  ~MergedDevice() override;
  MergedDevice(const MergedDevice&) = delete;
  MergedDevice& operator=(const MergedDevice&) = delete;

  std::uint64_t KernelDrops() const override;
  std::vector<AdapterDrops> DropsPerAdapter() const override;
  std::uint64_t LateFrames() const override;
  // Every adapter has failed and every frame read has been delivered.
  bool EndOfInput() const override;

 protected:
  void Abort() override;
  bool Bind(const std::string&) override { return true; }
  void Unbind() override { StopReaders(); }
  bool SetPacketFilter(std::uint32_t filter) override;
  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) override;
  bool StationAddress(std::array<std::uint8_t, 6>& address) override;
  bool Description(std::string& text) override;

 private:
  // A held frame; its bytes wait in slots_[slot], so that the heap moves small records.
  struct Held {
    std::int64_t timestampNs;
    std::uint64_t order;  // arrival order, for frames of one time
    std::uint32_t interfaceId;
    std::uint32_t originalLength;
    Clock::time_point arrived;
    std::uint32_t slot;
    std::shared_ptr<const ProcessOwner> owner;  // of its socket, when its agent named one
  };
  struct Later {
    bool operator()(const Held& a, const Held& b) const {
      return a.timestampNs != b.timestampNs ? a.timestampNs > b.timestampNs : a.order > b.order;
    }
  };
  struct Source {
    MergedAdapter adapter;
    std::int64_t latestNs = TimeNotKnown;  // the time of the last frame it delivered
    bool failed = false;
    std::uint64_t dropped = 0;  // the kernel's count as last read
  };

  void ReadAdapter(std::size_t index);
  void StopReaders();
  // Whether the earliest held frame may go now; else when it may at the latest.
  bool MayRelease(const Held& frame, Clock::time_point now, Clock::time_point* until) const;

  std::vector<Source> sources_;
  const std::chrono::milliseconds holdBack_;
  const std::chrono::milliseconds readTimeout_;
  std::vector<std::thread> readers_;
  bool started_ = false;  // the reading thread's only

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Each adapter's held frames in the order it delivered them (its own capture order):
  // the earliest of all is the earliest of the queues' first frames.
  std::vector<std::deque<Held>> held_;
  std::size_t heldCount_ = 0;
  // The queue whose first frame comes first, or nothing when none holds a frame.
  const Held* Earliest(std::size_t* queue) const;
  std::deque<std::string> failures_;  // not yet reported by a read
  std::string lastFailure_;
  std::size_t failedCount_ = 0;
  std::uint64_t arrivals_ = 0;
  std::int64_t deliveredNs_ = TimeNotKnown;  // the latest time delivered
  std::uint64_t late_ = 0;
  bool aborted_ = false;
  bool stopping_ = false;
  // A read waits for a frame: only then does a reader wake it.
  bool readWaits_ = false;
  // The bytes of held frames, and the slots free for the readers' next frames: no
  // allocation per frame.
  std::vector<std::vector<std::uint8_t>> slots_;
  std::vector<std::uint32_t> freeSlots_;
};
