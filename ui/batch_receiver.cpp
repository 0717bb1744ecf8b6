#include "ui/batch_receiver.h"

#include <QMetaObject>
#include <utility>

#include "ui/row_model.h"

BatchReceiver::BatchReceiver(RowModel& model, QObject* parent) : QObject(parent), model_(model) {
  qRegisterMetaType<TrafficCounters>("TrafficCounters");
  intervalTimer_.setSingleShot(true);
  connect(&intervalTimer_, &QTimer::timeout, this, &BatchReceiver::ApplyQueued);
}

BatchReceiver::~BatchReceiver() = default;

void BatchReceiver::Prepare(std::int64_t rowCount) { preparedRows_.store(rowCount); }

void BatchReceiver::SetObserver(Observer observer) { observer_ = std::move(observer); }

std::int64_t BatchReceiver::RowCount() { return preparedRows_.load(); }

void BatchReceiver::DeliverBatch(RowStore rows, const TrafficCounters& counters) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = queue_.empty();
    queue_.push_back(Pending{std::move(rows), counters});
  }
  // One posted call takes in everything queued until it runs (re-posting itself when its
  // time is up); posting never waits for the receiving thread.
  if (wasEmpty) QMetaObject::invokeMethod(this, &BatchReceiver::ApplyQueued, Qt::QueuedConnection);
}

void BatchReceiver::ReadFailed(const std::string& reason) {
  // Emitted on the capture thread: the connection to the window is queued, and posted
  // events keep their order, so the rows read before the failure reach the list first.
  emit readFailed(QString::fromStdString(reason));
}

void BatchReceiver::FramesNotKept(const std::string& reason) { emit framesNotKept(QString::fromStdString(reason)); }

void BatchReceiver::ApplyPending() { Apply(std::chrono::nanoseconds::max()); }

void BatchReceiver::ApplyQueued() {
  // Behind an observer's box, or with a backlog, the rows go in at once; fresh batches wait
  // out the interval since the queue was last emptied.
  const bool now = observerCallPosted_ || backlog_ || applying_ > 0;
  observerCallPosted_ = false;
  if (!now) {
    const auto since = std::chrono::steady_clock::now() - lastDrained_;
    if (since < applyInterval_) {
      if (!intervalTimer_.isActive())
        intervalTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(applyInterval_ - since));
      return;
    }
  }
  backlog_ = Apply(applyBudget_);
  // One call pending at a time: an observer may have posted one already, and a second
  // would double the calls of every turn while batches keep coming.
  if (backlog_ && !observerCallPosted_) {
    observerCallPosted_ = true;
    QMetaObject::invokeMethod(this, &BatchReceiver::ApplyQueued, Qt::QueuedConnection);
  }
}

bool BatchReceiver::Apply(std::chrono::nanoseconds budget) {
  const auto start = std::chrono::steady_clock::now();
  bool any = false;
  bool left = false;
  ++applying_;
  // Batches are taken one at a time: an observer that opens a modal box lets this run
  // again from the box's event loop, and rows must still reach the list in order.
  for (;;) {
    Pending batch;
    bool more = false;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      if (any && std::chrono::steady_clock::now() - start >= budget) {
        left = true;
        break;
      }
      batch = std::move(queue_.front());
      queue_.pop_front();
      more = !queue_.empty();
    }
    model_.AppendBatch(batch.rows);
    // The counters go out with their rows, before the observer: while it holds a modal box
    // open the panes must already match the list, and nothing older may follow the counters
    // of batches applied from the box's event loop.
    emit countersChanged(batch.counters);
    if (observer_) {
      // Batches queued behind this one were delivered while a call was pending, so none was
      // posted for them: without one, a box held open here would stop the list until OK.
      if (more && !observerCallPosted_) {
        observerCallPosted_ = true;
        QMetaObject::invokeMethod(this, &BatchReceiver::ApplyQueued, Qt::QueuedConnection);
      }
      observer_(batch.rows, batch.counters);
    }
    any = true;
  }
  --applying_;
  if (any && !left) lastDrained_ = std::chrono::steady_clock::now();
  return left;
}

std::size_t BatchReceiver::PendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}
