#pragma once
// Carries the capture thread's batches of rows over to the user-interface thread. The
// capture thread only takes a short lock to queue a batch; it never waits for the
// user-interface thread.

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "analysis/row_store.h"
#include "capture/trace/capture_thread.h"

class RowModel;

class BatchReceiver : public QObject, public BatchSink {
  Q_OBJECT

 public:
  // Sees each batch after it has been added to the list and its counters sent out.
  using Observer = std::function<void(const RowStore& batch, const TrafficCounters& counters)>;

  explicit BatchReceiver(RowModel& model, QObject* parent = nullptr);
  ~BatchReceiver() override;

  // Before a trace starts: the rows the list holds, the first packet number of the run.
  void Prepare(std::int64_t rowCount);
  void SetObserver(Observer observer);

  // Capture thread side.
  std::int64_t RowCount() override;
  void DeliverBatch(RowStore rows, const TrafficCounters& counters) override;
  // Passed on as readFailed, queued behind the batches already delivered.
  void ReadFailed(const std::string& reason) override;
  // Passed on as framesNotKept, queued likewise.
  void FramesNotKept(const std::string& reason) override;

  // User-interface thread: appends every queued batch to the model, one insertion per
  // batch, in the order delivered. Posted automatically; Stop calls it once more after
  // the capture thread has been joined so that nothing is left behind.
  void ApplyPending();
  // Batches delivered but not yet applied.
  std::size_t PendingCount() const;

  // Longest time one posted call spends applying batches before it lets the event loop
  // run again (it posts itself for the rest), so a burst of rows never freezes the window.
  // At least one batch is applied per call.
  static constexpr std::chrono::milliseconds DefaultApplyBudget{12};
  void SetApplyBudget(std::chrono::nanoseconds budget) { applyBudget_ = budget; }

  // Least time between two takings-in of fresh batches; 0 (the default) takes each in as it
  // comes. During a trace each one moves the list to its new end and rewrites the panes,
  // which costs far more than the rows themselves, and ten a second is all the eye can
  // follow: a trace sets TraceApplyInterval. A batch delivered sooner waits in the queue
  // until then; a backlog left by the budget is taken in at once. A file's rows come as
  // fast as they can be read and go in at once.
  static constexpr std::chrono::milliseconds TraceApplyInterval{100};
  void SetApplyInterval(std::chrono::milliseconds interval) { applyInterval_ = interval; }

 signals:
  // The counters as they stood after a batch, emitted as the batch reaches the list.
  void countersChanged(const TrafficCounters& counters);
  // Reads from the adapter have started to fail; reason is the device's (may be empty).
  void readFailed(const QString& reason);
  // The trace's frames could not all be kept on disk (the system's reason).
  void framesNotKept(const QString& reason);

 private:
  // Applies batches until none is left or, with a budget, until the budget is spent;
  // returns whether batches are left.
  bool Apply(std::chrono::nanoseconds budget);
  void ApplyQueued();

  struct Pending {
    RowStore rows;
    TrafficCounters counters;
  };

  RowModel& model_;
  Observer observer_;
  std::chrono::nanoseconds applyBudget_ = DefaultApplyBudget;
  std::chrono::milliseconds applyInterval_{0};
  // When the queue was last emptied, and whether batches were left behind by the budget
  // (user-interface thread only).
  std::chrono::steady_clock::time_point lastDrained_{};
  bool backlog_ = false;
  int applying_ = 0;  // Apply calls running (an observer's event loop may start another)
  QTimer intervalTimer_;
  std::atomic<std::int64_t> preparedRows_{0};
  // A call posted before an observer ran, not yet started (user-interface thread only).
  bool observerCallPosted_ = false;
  mutable std::mutex mutex_;
  std::deque<Pending> queue_;
};

Q_DECLARE_METATYPE(TrafficCounters)
