#pragma once
// A BatchSink in front of another that counts every batch into traffic totals on a thread
// of its own ("counting"), then passes it on in the order delivered. The thread that
// decodes the rows (the capture thread or a file's loader) only queues a batch, and the
// thread that lists the rows only reads the totals: counting slows neither.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "analysis/traffic_tally.h"
#include "capture/trace/batch_sink.h"

class CountingSink : public BatchSink {
 public:
  // Both must outlive this sink.
  CountingSink(BatchSink& next, TrafficTally& tally);
  // Passes on what is queued, then ends the thread.
  ~CountingSink() override;
  CountingSink(const CountingSink&) = delete;
  CountingSink& operator=(const CountingSink&) = delete;

  std::int64_t RowCount() override { return next_.RowCount(); }
  // Queued, with the failures, behind what came before: none of them waits for the counting.
  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override;
  void ReadFailed(const std::string& reason) override;
  void FramesNotKept(const std::string& reason) override;

  // Waits until everything delivered so far has been counted and passed on.
  void WaitPassedOn();
  // Something delivered has not been passed on yet.
  bool Busy() const;

 private:
  struct Item {
    enum class Kind { Batch, ReadFailed, FramesNotKept } kind;
    std::optional<RowStore> rows;  // a batch's
    TrafficCounters counters;
    std::string reason;  // a failure's
  };
  void Queue(Item item);
  void Run();

  BatchSink& next_;
  TrafficTally& tally_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable passedOn_;
  std::deque<Item> queue_;  // under mutex_
  bool working_ = false;    // an item taken from the queue is being counted (under mutex_)
  bool ending_ = false;     // under mutex_
  std::thread thread_;
};
