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
// Cost. A reader copies each batch its adapter hands over into a block of its own (the
// adapter's buffer is read into again at once) and hands the block on under the lock,
// once a batch. The batch reads of this device merge the blocks outside the lock and hand
// over views into them: no lock and no allocation per frame.
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
// The most frames one batch read hands over.
inline constexpr std::size_t MaxBatchFrames = 4096;
// How long frames that may go are let gather before a batch read hands them over, unless
// this many are held: as long as the capture agent lets a busy interface's gather.
inline constexpr std::chrono::milliseconds MergeGather{5};
inline constexpr std::size_t MergeGatherFrames = 1024;

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
  bool ReadBatch(FrameBatch& batch, std::uint32_t singleBytes) override;
  bool StationAddress(std::array<std::uint8_t, 6>& address) override;
  bool Description(std::string& text) override;

 private:
  // A batch of one adapter's frames, copied as its reader took them, in its order.
  struct Block {
    struct Frame {
      std::int64_t timestampNs;
      std::uint32_t offset;  // into bytes
      std::uint32_t length;
      std::uint32_t originalLength;
      std::shared_ptr<const ProcessOwner> owner;  // of its socket, when its agent named one
    };
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t capacity = 0;
    std::vector<Frame> frames;
    Clock::time_point arrived;
    std::uint64_t firstArrival = 0;  // the arrival number of frames[0], for frames of one time
  };
  using BlockPtr = std::unique_ptr<Block>;
  struct Source {
    MergedAdapter adapter;
    std::int64_t latestNs = TimeNotKnown;  // the time of the last frame it delivered
    bool failed = false;
    std::uint64_t dropped = 0;  // the kernel's count as last read
    // Blocks not yet handed over in full, and the next frame of the first.
    std::deque<BlockPtr> blocks;
    std::size_t next = 0;
  };

  void ReadAdapter(std::size_t index);
  void StopReaders();
  // The source whose next frame comes first, or null when none holds a frame.
  Source* Earliest();
  // Whether the next frame of source may go now; else when it may at the latest.
  bool MayRelease(const Source& source, Clock::time_point now, Clock::time_point* until) const;
  // Hands the frames that may go now over in batch, in order.
  void Release(FrameBatch& batch, Clock::time_point now);

  std::vector<Source> sources_;
  const std::chrono::milliseconds holdBack_;
  const std::chrono::milliseconds readTimeout_;
  std::vector<std::thread> readers_;
  bool started_ = false;  // the reading thread's only

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<BlockPtr> freeBlocks_;  // for the readers' next batches: no allocation per batch
  // Blocks all of whose frames went in the last batch: its views point into them.
  std::vector<BlockPtr> used_;
  std::int64_t deliveredNs_ = TimeNotKnown;  // the latest time delivered
  std::deque<std::string> failures_;  // not yet reported by a read
  std::string lastFailure_;
  std::size_t failedCount_ = 0;
  std::uint64_t arrivals_ = 0;
  std::size_t heldCount_ = 0;  // frames read and not yet handed over
  std::uint64_t late_ = 0;
  bool aborted_ = false;
  bool stopping_ = false;
  // A read waits for a frame, until when: only then does a reader wake it.
  bool readWaits_ = false;
  Clock::time_point waitUntil_;
};
