#include "capture/devices/merged_device.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "analysis/capture_state.h"

namespace {

// The time frames are held by, read per frame: the coarse clock is a plain memory read
// where the precise one cost a tenth of the merge. Its steps (a few milliseconds) are
// small against the hold-back; it runs on the steady clock's base, never ahead of it.
MergedDevice::Clock::time_point CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return MergedDevice::Clock::time_point(std::chrono::duration_cast<MergedDevice::Clock::duration>(
      std::chrono::seconds{now.tv_sec} + std::chrono::nanoseconds{now.tv_nsec}));
}

}  // namespace

MergedDevice::MergedDevice(std::vector<MergedAdapter> adapters, std::chrono::milliseconds holdBack,
                           std::chrono::milliseconds readTimeout)
    : holdBack_(holdBack), readTimeout_(readTimeout) {
  sources_.resize(adapters.size());
  for (std::size_t i = 0; i < adapters.size(); ++i) sources_[i].adapter = std::move(adapters[i]);
}

MergedDevice::~MergedDevice() { StopReaders(); }

void MergedDevice::ReadAdapter(std::size_t index) {
  AdapterHandle* adapter = sources_[index].adapter.adapter.get();
  FrameBatch batch;
  BlockPtr block;
  for (;;) {
    const bool ok = ReadFrames(adapter, &batch, static_cast<std::uint32_t>(FrameBufferSize));
    const std::uint64_t dropped = adapter->device->KernelDrops();
    if (!batch.frames.empty()) {
      // Copied outside the lock: the adapter's buffer is read into again at the next read.
      if (!block) block = std::make_unique<Block>();
      std::size_t total = 0;
      for (const FrameBatch::Frame& frame : batch.frames) total += frame.bytes.size();
      // Grown, never cleared: each frame's bytes are written once, where they will stay.
      if (!block->bytes || block->capacity < total) {
        block->capacity = std::max<std::size_t>({total, 2 * block->capacity, 64 * 1024});
        block->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(block->capacity);
      }
      block->frames.clear();
      block->frames.reserve(batch.frames.size());
      std::uint32_t offset = 0;
      for (FrameBatch::Frame& frame : batch.frames) {
        const auto length = static_cast<std::uint32_t>(frame.bytes.size());
        std::memcpy(block->bytes.get() + offset, frame.bytes.data(), length);
        block->frames.push_back(
            Block::Frame{frame.info.timestampNs, offset, length, frame.info.originalLength, std::move(frame.info.owner)});
        offset += length;
      }
      block->arrived = CoarseNow();
    }
    std::lock_guard lock(mutex_);
    Source& source = sources_[index];
    source.dropped = dropped;
    if (stopping_) break;
    if (!ok) {
      source.failed = true;
      ++failedCount_;
      lastFailure_ = source.adapter.name + ": " + (adapter->lastError.empty() ? "the capture failed" : adapter->lastError);
      failures_.push_back(lastFailure_);
      changed_.notify_all();
      break;
    }
    if (batch.frames.empty()) continue;
    for (const Block::Frame& frame : block->frames) {
      if (frame.timestampNs != TimeNotKnown) source.latestNs = std::max(source.latestNs, frame.timestampNs);
    }
    block->firstArrival = arrivals_;
    arrivals_ += block->frames.size();
    heldCount_ += block->frames.size();
    source.blocks.push_back(std::move(block));
    if (!freeBlocks_.empty()) {
      block = std::move(freeBlocks_.back());
      freeBlocks_.pop_back();
    }
    // Only where the earliest frame may go now, asked once the whole batch is in: a frame
    // of it that comes before the earliest may be the one that can. Between the batches
    // of several adapters, most let nothing go until the slowest adapter has caught up.
    // A read that waits lets the frames that may go gather (see ReadBatch): it is woken
    // for a full batch's worth, or when it sleeps past the gathering's end.
    if (!readWaits_) continue;
    Clock::time_point until;
    const Source* earliest = Earliest();
    if (!earliest || !MayRelease(*earliest, CoarseNow(), &until)) continue;
    if (heldCount_ >= MergeGatherFrames || waitUntil_ > earliest->blocks.front()->arrived + MergeGather)
      changed_.notify_all();
  }
}

MergedDevice::Source* MergedDevice::Earliest() {
  Source* earliest = nullptr;
  std::int64_t earliestNs = 0;
  std::uint64_t earliestArrival = 0;
  for (Source& source : sources_) {
    if (source.blocks.empty()) continue;
    const Block& block = *source.blocks.front();
    const std::int64_t timeNs = block.frames[source.next].timestampNs;
    const std::uint64_t arrival = block.firstArrival + source.next;
    if (earliest && (timeNs > earliestNs || (timeNs == earliestNs && arrival > earliestArrival))) continue;
    earliest = &source;
    earliestNs = timeNs;
    earliestArrival = arrival;
  }
  return earliest;
}

void MergedDevice::StopReaders() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  // A reader that has not ended may be in a read; its abort is not taken under the lock.
  for (Source& source : sources_) {
    if (source.adapter.adapter) AbortRead(source.adapter.adapter.get());
  }
  for (std::thread& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
  readers_.clear();
  // Each adapter's agent takes up to its grace to end: they are ended side by side, so
  // that Stop takes no longer for several than for one.
  std::vector<std::thread> closers;
  for (Source& source : sources_) {
    if (source.adapter.adapter) closers.emplace_back([adapter = std::move(source.adapter.adapter)]() mutable {
      CloseAdapter(std::move(adapter));
    });
  }
  for (std::thread& closer : closers) closer.join();
}

bool MergedDevice::MayRelease(const Source& source, Clock::time_point now, Clock::time_point* until) const {
  const Block& block = *source.blocks.front();
  const std::int64_t timeNs = block.frames[source.next].timestampNs;
  if (timeNs == TimeNotKnown) return true;
  if (deliveredNs_ != TimeNotKnown && timeNs < deliveredNs_) return true;  // late already
  *until = block.arrived + holdBack_;
  if (now >= *until) return true;
  for (const Source& other : sources_) {
    if (&other == &source || other.failed) continue;
    if (other.latestNs == TimeNotKnown || other.latestNs < timeNs) return false;
  }
  return true;
}

void MergedDevice::Release(FrameBatch& batch, Clock::time_point now) {
  Clock::time_point until;
  for (Source* source = Earliest(); source && batch.frames.size() < MaxBatchFrames; source = Earliest()) {
    if (!batch.frames.empty() && !MayRelease(*source, now, &until)) break;
    // The source's frames go in a run while each comes before the other sources' next
    // ones and every other adapter has delivered one as late: the others are looked at
    // once a run, not once a frame. A frame past that is asked about in full.
    std::int64_t othersNextNs = std::numeric_limits<std::int64_t>::max();
    std::uint64_t othersNextArrival = std::numeric_limits<std::uint64_t>::max();
    std::int64_t othersLatestNs = std::numeric_limits<std::int64_t>::max();
    for (const Source& other : sources_) {
      if (&other == source) continue;
      if (!other.failed) othersLatestNs = std::min(othersLatestNs, other.latestNs);
      if (other.blocks.empty()) continue;
      const std::int64_t timeNs = other.blocks.front()->frames[other.next].timestampNs;
      const std::uint64_t arrival = other.blocks.front()->firstArrival + other.next;
      if (timeNs < othersNextNs || (timeNs == othersNextNs && arrival < othersNextArrival)) {
        othersNextNs = timeNs;
        othersNextArrival = arrival;
      }
    }
    for (bool more = true; more;) {
      Block& block = *source->blocks.front();
      Block::Frame& frame = block.frames[source->next];
      if (frame.timestampNs != TimeNotKnown) {
        if (deliveredNs_ != TimeNotKnown && frame.timestampNs < deliveredNs_) {
          ++late_;
        } else {
          deliveredNs_ = frame.timestampNs;
        }
      }
      FrameInfo info;
      info.timestampNs = frame.timestampNs;
      info.originalLength = frame.originalLength;
      info.interfaceId = static_cast<std::uint32_t>(source - sources_.data());
      info.owner = std::move(frame.owner);
      batch.frames.push_back({{block.bytes.get() + frame.offset, frame.length}, std::move(info)});
      --heldCount_;
      if (++source->next == block.frames.size()) {
        used_.push_back(std::move(source->blocks.front()));
        source->blocks.pop_front();
        source->next = 0;
      }
      if (source->blocks.empty() || batch.frames.size() >= MaxBatchFrames) break;
      const Block& following = *source->blocks.front();
      const std::int64_t timeNs = following.frames[source->next].timestampNs;
      const std::uint64_t arrival = following.firstArrival + source->next;
      more = (timeNs < othersNextNs || (timeNs == othersNextNs && arrival < othersNextArrival)) &&
             (timeNs == TimeNotKnown || timeNs <= othersLatestNs || MayRelease(*source, now, &until));
    }
  }
}

bool MergedDevice::Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
  *bytesReturned = 0;
  {
    std::lock_guard lock(mutex_);
    if (aborted_ || stopping_) return true;
  }
  return ReadFromBatch(output, size, bytesReturned);
}

bool MergedDevice::ReadBatch(FrameBatch& batch, std::uint32_t) {
  batch.frames.clear();
  if (!started_) {
    started_ = true;
    std::lock_guard lock(mutex_);
    if (!aborted_ && !stopping_) {
      for (std::size_t i = 0; i < sources_.size(); ++i) readers_.emplace_back([this, i] { ReadAdapter(i); });
    }
  }
  std::unique_lock lock(mutex_);
  // The last batch's frames have been used: their blocks take new batches.
  for (BlockPtr& block : used_) freeBlocks_.push_back(std::move(block));
  used_.clear();
  const Clock::time_point deadline = Clock::now() + readTimeout_;
  for (;;) {
    if (aborted_ || stopping_) return true;
    if (!failures_.empty()) {
      std::string reason = std::move(failures_.front());
      failures_.pop_front();
      return Fail(std::move(reason));
    }
    Clock::time_point until = deadline;
    if (Source* earliest = Earliest()) {
      // The coarse clock first; the precise one only before a wait, where the coarse one
      // may lag behind a hold-back that has run out.
      Clock::time_point now = CoarseNow();
      bool may = MayRelease(*earliest, now, &until);
      if (!may) {
        now = Clock::now();
        may = MayRelease(*earliest, now, &until);
      }
      // Frames that may go are let gather, as the adapters' own agents let theirs: one
      // wake-up of the reading thread for a batch, not one for each adapter's.
      const Clock::time_point gathered = earliest->blocks.front()->arrived + MergeGather;
      if (may && (heldCount_ >= MergeGatherFrames || now >= gathered)) break;
      if (may) until = std::min(until, gathered);
      until = std::min(until, deadline);
    } else if (failedCount_ == sources_.size()) {
      return Fail(lastFailure_);
    }
    if (Clock::now() >= deadline) return true;
    readWaits_ = true;
    waitUntil_ = until;
    changed_.wait_until(lock, until);
    readWaits_ = false;
  }
  // Every frame that may go now, in one go: the readers wait for the lock meanwhile, a
  // bounded time.
  Release(batch, CoarseNow());
  return true;
}

void MergedDevice::Abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  changed_.notify_all();
}

bool MergedDevice::SetPacketFilter(std::uint32_t filter) {
  bool ok = true;
  for (Source& source : sources_) {
    if (!::SetPacketFilter(source.adapter.adapter.get(), filter)) {
      ok = false;
      Fail(source.adapter.name + ": " + source.adapter.adapter->lastError);
    }
  }
  return ok;
}

bool MergedDevice::StationAddress(std::array<std::uint8_t, 6>& address) {
  std::uint32_t returned = 0;
  if (sources_.empty() || !sources_[0].adapter.adapter) return Fail("no adapter");
  if (GetAddress(sources_[0].adapter.adapter.get(), address.data(), 6, &returned)) return true;
  return Fail(sources_[0].adapter.adapter->lastError);
}

bool MergedDevice::Description(std::string& text) {
  if (sources_.empty() || !sources_[0].adapter.adapter) return Fail("no adapter");
  std::array<char, 260> buffer{};
  std::uint32_t returned = 0;
  if (!QueryDescription(sources_[0].adapter.adapter.get(), buffer.data(), buffer.size(), &returned))
    return Fail(sources_[0].adapter.adapter->lastError);
  text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return true;
}

std::uint64_t MergedDevice::KernelDrops() const {
  std::lock_guard lock(mutex_);
  std::uint64_t sum = 0;
  for (const Source& source : sources_) sum += source.dropped;
  return sum;
}

std::vector<AdapterDrops> MergedDevice::DropsPerAdapter() const {
  std::lock_guard lock(mutex_);
  std::vector<AdapterDrops> drops;
  for (const Source& source : sources_) drops.push_back(AdapterDrops{source.adapter.name, source.dropped});
  return drops;
}

std::uint64_t MergedDevice::LateFrames() const {
  std::lock_guard lock(mutex_);
  return late_;
}

bool MergedDevice::EndOfInput() const {
  std::lock_guard lock(mutex_);
  return failedCount_ == sources_.size() && heldCount_ == 0 && failures_.empty();
}
