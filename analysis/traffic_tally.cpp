#include "analysis/traffic_tally.h"

void TrafficTally::AddBatch(const RowStore& rows, std::uint64_t kernelDrops) {
  std::lock_guard lock(mutex_);
  stats_.AddRows(rows);
  stats_.AddKernelDrops(kernelDrops);
}

void TrafficTally::CopyTo(TrafficStats& copy) {
  std::lock_guard lock(mutex_);
  stats_.CopyChangesTo(copy);
}

void TrafficTally::CopyIntervalsTo(TrafficStats& copy) {
  std::lock_guard lock(mutex_);
  stats_.CopyIntervalsTo(copy);
}

void TrafficTally::Read(const std::function<void(const TrafficStats&)>& read) const {
  std::lock_guard lock(mutex_);
  read(stats_);
}

void TrafficTally::Clear() {
  std::lock_guard lock(mutex_);
  stats_.Clear();
}
