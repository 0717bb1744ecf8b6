#pragma once
// A BatchSink for tests: keeps every row it is handed, the counters of each batch and the
// failures it is told of, and lets a test wait (with a generous bound) for rows to arrive.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "analysis/row_store.h"
#include "capture/trace/capture_thread.h"

class RecordingBatchSink : public BatchSink {
 public:
  struct Batch {
    std::int64_t rows;
    TrafficCounters counters;
  };

  explicit RecordingBatchSink(const ColumnSet& columns, std::int64_t rowsAlreadyListed = 0)
      : initialRows_(rowsAlreadyListed), rows_(columns) {}

  std::int64_t RowCount() override {
    std::lock_guard lock(mutex_);
    return initialRows_ + rows_.RowCount();
  }

  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override {
    {
      std::lock_guard lock(mutex_);
      batches_.push_back({rows.RowCount(), counters});
      rows_.Append(rows);
    }
    changed_.notify_all();
  }

  // Rows handed over so far (not counting the ones listed before the run).
  std::int64_t Rows() {
    std::lock_guard lock(mutex_);
    return rows_.RowCount();
  }
  std::string Cell(std::int64_t row, int column) {
    std::lock_guard lock(mutex_);
    return std::string(rows_.Cell(row, column));
  }
  // Calls read with every row kept so far.
  void Read(const std::function<void(const RowStore&)>& read) {
    std::lock_guard lock(mutex_);
    read(rows_);
  }
  std::vector<Batch> Batches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }
  bool WaitForRows(std::int64_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return rows_.RowCount() >= count; });
  }
  void ReadFailed(const std::string& reason) override {
    std::lock_guard lock(mutex_);
    readFailures_.push_back(reason);
  }
  void FramesNotKept(const std::string& reason) override {
    std::lock_guard lock(mutex_);
    notKept_.push_back(reason);
  }
  // The reasons of read failures and of frames not kept, as told.
  std::vector<std::string> ReadFailures() {
    std::lock_guard lock(mutex_);
    return readFailures_;
  }
  std::vector<std::string> NotKeptReasons() {
    std::lock_guard lock(mutex_);
    return notKept_;
  }
  bool WaitForBatches(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return batches_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t initialRows_;
  RowStore rows_;
  std::vector<Batch> batches_;
  std::vector<std::string> readFailures_;
  std::vector<std::string> notKept_;
};
