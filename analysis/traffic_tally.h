#pragma once
// Traffic totals counted on the thread that decodes the rows and read on another (the
// window's). The counting thread adds each batch under a short lock; the reader takes
// the changes since its last look into a copy of its own, at its own pace, so that
// counting costs the reader nothing per row.

#include <cstdint>
#include <functional>
#include <mutex>

#include "analysis/traffic_stats.h"

class RowStore;

class TrafficTally {
 public:
  explicit TrafficTally(std::int64_t intervalNs) : stats_(intervalNs) {}

  // Counting thread: a batch of rows and the kernel's drop count after it.
  void AddBatch(const RowStore& rows, std::uint64_t kernelDrops);
  // Brings the reader's copy up to the totals counted so far (TrafficStats::CopyChangesTo);
  // the lock is held while the changes are copied. CopyIntervalsTo takes the intervals alone.
  void CopyTo(TrafficStats& copy);
  void CopyIntervalsTo(TrafficStats& copy);
  // Calls read with the totals counted so far, under the lock: for what a copy cannot
  // answer (ConnectionOf). An entry it names may be past the end of a copy.
  void Read(const std::function<void(const TrafficStats&)>& read) const;
  // Forgets everything counted; the reader clears its copy with it.
  void Clear();

 private:
  mutable std::mutex mutex_;
  TrafficStats stats_;
};
