#include "capture/trace/counting_sink.h"

#include <pthread.h>

#include <utility>

CountingSink::CountingSink(BatchSink& next, TrafficTally& tally) : next_(next), tally_(tally) {
  thread_ = std::thread([this] {
    // Named, so that a profile or top tells its share from the others'.
    pthread_setname_np(pthread_self(), "counting");
    Run();
  });
}

CountingSink::~CountingSink() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  queued_.notify_one();
  thread_.join();
}

void CountingSink::DeliverBatch(RowStore rows, const TrafficCounters& counters) {
  Queue(Item{Item::Kind::Batch, std::move(rows), counters, {}});
}

void CountingSink::ReadFailed(const std::string& reason) {
  Queue(Item{Item::Kind::ReadFailed, std::nullopt, {}, reason});
}

void CountingSink::FramesNotKept(const std::string& reason) { Queue(Item{Item::Kind::FramesNotKept, std::nullopt, {}, reason}); }

void CountingSink::Queue(Item item) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(item));
  }
  queued_.notify_one();
}

void CountingSink::WaitPassedOn() {
  std::unique_lock lock(mutex_);
  passedOn_.wait(lock, [this] { return queue_.empty() && !working_; });
}

bool CountingSink::Busy() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty() || working_;
}

void CountingSink::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return !queue_.empty() || ending_; });
    if (queue_.empty()) return;  // ending, and everything passed on
    Item item = std::move(queue_.front());
    queue_.pop_front();
    working_ = true;
    lock.unlock();
    switch (item.kind) {
      case Item::Kind::Batch:
        tally_.AddBatch(*item.rows, item.counters.kernelDrops);
        next_.DeliverBatch(std::move(*item.rows), item.counters);
        break;
      case Item::Kind::ReadFailed:
        next_.ReadFailed(item.reason);
        break;
      case Item::Kind::FramesNotKept:
        next_.FramesNotKept(item.reason);
        break;
    }
    lock.lock();
    working_ = false;
    if (queue_.empty()) passedOn_.notify_all();
  }
}
