#include "capture/devices/merged_device.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>
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
  for (MergedAdapter& adapter : adapters) sources_.push_back(Source{std::move(adapter)});
  held_.resize(sources_.size());
}

const MergedDevice::Held* MergedDevice::Earliest(std::size_t* queue) const {
  const Held* earliest = nullptr;
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].empty() || (earliest && !Later{}(*earliest, held_[i].front()))) continue;
    earliest = &held_[i].front();
    *queue = i;
  }
  return earliest;
}

MergedDevice::~MergedDevice() { StopReaders(); }

void MergedDevice::ReadAdapter(std::size_t index) {
  AdapterHandle* adapter = sources_[index].adapter.adapter.get();
  std::array<std::uint8_t, FrameBufferSize> buffer{};
  RequestPtr request = AllocatePacket(adapter);
  InitPacket(request.get(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
  for (;;) {
    std::uint32_t count = 0;
    const bool ok = ReadPacket(adapter, request.get(), &count);
    FrameInfo info = adapter->device->LastFrameInfo();
    const std::uint64_t dropped = adapter->device->KernelDrops();
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
    if (count == 0) continue;
    // The read is woken only where this frame can let the earliest one go (or is to go
    // itself at once), not for every frame of a burst.
    std::size_t queue = 0;
    const Held* earliest = Earliest(&queue);
    const bool wake = !earliest || info.timestampNs == TimeNotKnown ||
                      (deliveredNs_ != TimeNotKnown && info.timestampNs < deliveredNs_) ||
                      (source.latestNs < earliest->timestampNs && info.timestampNs >= earliest->timestampNs);
    if (info.timestampNs != TimeNotKnown) source.latestNs = std::max(source.latestNs, info.timestampNs);
    std::uint32_t slot;
    if (freeSlots_.empty()) {
      slot = static_cast<std::uint32_t>(slots_.size());
      slots_.emplace_back();
    } else {
      slot = freeSlots_.back();
      freeSlots_.pop_back();
    }
    slots_[slot].assign(buffer.begin(), buffer.begin() + count);
    held_[index].push_back(Held{info.timestampNs, arrivals_++, static_cast<std::uint32_t>(index),
                                info.originalLength, CoarseNow(), slot, std::move(info.owner)});
    ++heldCount_;
    if (readWaits_ && wake) changed_.notify_all();
  }
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

bool MergedDevice::MayRelease(const Held& frame, Clock::time_point now, Clock::time_point* until) const {
  if (frame.timestampNs == TimeNotKnown) return true;
  if (deliveredNs_ != TimeNotKnown && frame.timestampNs < deliveredNs_) return true;  // late already
  *until = frame.arrived + holdBack_;
  if (now >= *until) return true;
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    const Source& source = sources_[i];
    if (i == frame.interfaceId || source.failed) continue;
    if (source.latestNs == TimeNotKnown || source.latestNs < frame.timestampNs) return false;
  }
  return true;
}

bool MergedDevice::Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) {
  *bytesReturned = 0;
  if (!started_) {
    started_ = true;
    std::lock_guard lock(mutex_);
    if (!aborted_ && !stopping_) {
      for (std::size_t i = 0; i < sources_.size(); ++i) readers_.emplace_back([this, i] { ReadAdapter(i); });
    }
  }
  std::unique_lock lock(mutex_);
  const Clock::time_point deadline = Clock::now() + readTimeout_;
  std::size_t queue = 0;
  for (;;) {
    if (aborted_ || stopping_) return true;
    if (!failures_.empty()) {
      std::string reason = std::move(failures_.front());
      failures_.pop_front();
      return Fail(std::move(reason));
    }
    Clock::time_point until = deadline;
    if (const Held* earliest = Earliest(&queue)) {
      // The coarse clock first; the precise one only before a wait, where the coarse one
      // may lag behind a hold-back that has run out.
      if (MayRelease(*earliest, CoarseNow(), &until) || MayRelease(*earliest, Clock::now(), &until)) break;
      until = std::min(until, deadline);
    } else if (failedCount_ == sources_.size()) {
      return Fail(lastFailure_);
    }
    if (Clock::now() >= deadline) return true;
    readWaits_ = true;
    changed_.wait_until(lock, until);
    readWaits_ = false;
  }
  Held frame = std::move(held_[queue].front());
  held_[queue].pop_front();
  --heldCount_;
  std::vector<std::uint8_t> bytes = std::move(slots_[frame.slot]);
  if (frame.timestampNs != TimeNotKnown) {
    if (deliveredNs_ != TimeNotKnown && frame.timestampNs < deliveredNs_) {
      ++late_;
    } else {
      deliveredNs_ = frame.timestampNs;
    }
  }
  lock.unlock();
  FrameInfo info;
  info.timestampNs = frame.timestampNs;
  info.originalLength = frame.originalLength;
  info.interfaceId = frame.interfaceId;
  info.owner = std::move(frame.owner);
  const bool delivered =
      DeliverFrame(bytes.data(), static_cast<std::uint32_t>(bytes.size()), info, output, size, bytesReturned);
  lock.lock();
  slots_[frame.slot] = std::move(bytes);
  freeSlots_.push_back(frame.slot);
  return delivered;
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
