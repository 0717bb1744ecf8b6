#include "ui/batch_receiver.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/ui/ui_test_util.h"
#include "ui/row_model.h"

namespace {

constexpr int kColumns = 3;

TrafficCounters CountersAfter(int rows) {
  TrafficCounters c;
  c.packetsReceived = rows;
  c.bytesReceived = 60LL * rows;
  return c;
}

// Every packet number 1..total appears once, in order.
void ExpectRowsInOrder(const RowModel& model, int total) {
  ASSERT_EQ(model.rowCount(), total);
  for (int r = 0; r < total; ++r) {
    ASSERT_EQ(model.CellText(r, 0), std::to_string(r + 1)) << "row " << r;
  }
}

class BatchReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { model.SetColumns(ShowFirst(kColumns)); }
  RowModel model;
  BatchReceiver receiver{model};
};

TEST_F(BatchReceiverTest, DeliveringNeverWaitsForABusyUserInterfaceThread) {
  // This thread does not serve its event loop until the producer has finished: if
  // delivering waited for it, the join below would never return.
  constexpr int kBatches = 200, kRows = 50;
  std::thread producer([this] {
    for (int b = 0; b < kBatches; ++b) receiver.DeliverBatch(MakeRows(kColumns, b * kRows + 1, kRows), CountersAfter((b + 1) * kRows));
  });
  producer.join();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(receiver.PendingCount(), static_cast<std::size_t>(kBatches));

  QSignalSpy counters(&receiver, &BatchReceiver::countersChanged);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  while (receiver.PendingCount() > 0) QCoreApplication::processEvents();
  ExpectRowsInOrder(model, kBatches * kRows);
  EXPECT_EQ(inserted.count(), kBatches);  // one insertion per batch
  ASSERT_GE(counters.count(), 1);          // the counters of the last batch come last
  EXPECT_EQ(counters.last()[0].value<TrafficCounters>().packetsReceived, kBatches * kRows);
  EXPECT_EQ(receiver.PendingCount(), 0u);
}

TEST_F(BatchReceiverTest, NoRowLostOrDuplicatedWhileBothThreadsRun) {
  constexpr int kBatches = 2000, kRows = 7;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int b = 0; b < kBatches; ++b) receiver.DeliverBatch(MakeRows(kColumns, b * kRows + 1, kRows), CountersAfter((b + 1) * kRows));
    done = true;
  });
  while (!done) QCoreApplication::processEvents();
  producer.join();
  // What Stop does after joining the capture thread.
  receiver.ApplyPending();
  ExpectRowsInOrder(model, kBatches * kRows);
  // A call posted before the last drain finds nothing left to do.
  QCoreApplication::processEvents();
  EXPECT_EQ(model.rowCount(), kBatches * kRows);
}

TEST_F(BatchReceiverTest, ABurstLetsTheEventLoopRunBetweenBatches) {
  receiver.SetApplyBudget(std::chrono::nanoseconds::zero());  // one batch per turn
  QSignalSpy counters(&receiver, &BatchReceiver::countersChanged);
  receiver.DeliverBatch(MakeRows(kColumns, 1, 3), CountersAfter(3));
  receiver.DeliverBatch(MakeRows(kColumns, 4, 3), CountersAfter(6));
  receiver.DeliverBatch(MakeRows(kColumns, 7, 3), CountersAfter(9));
  // Posted after the receiver's call: it runs once the first batch is in, not after all.
  int rowsSeen = -1;
  QMetaObject::invokeMethod(qApp, [&] { rowsSeen = model.rowCount(); }, Qt::QueuedConnection);
  while (rowsSeen < 0 || receiver.PendingCount() > 0) QCoreApplication::processEvents();
  EXPECT_EQ(rowsSeen, 3);
  ExpectRowsInOrder(model, 9);
  ASSERT_EQ(counters.count(), 3);
  EXPECT_EQ(counters.last()[0].value<TrafficCounters>().packetsReceived, 9);

  // Stop's own call still takes in everything at once.
  receiver.DeliverBatch(MakeRows(kColumns, 10, 1), CountersAfter(10));
  receiver.DeliverBatch(MakeRows(kColumns, 11, 1), CountersAfter(11));
  receiver.ApplyPending();
  ExpectRowsInOrder(model, 11);
}

TEST_F(BatchReceiverTest, AnObserverDoesNotMultiplyTheCallsOfABurst) {
  receiver.SetApplyBudget(std::chrono::nanoseconds::zero());  // one batch per turn
  receiver.SetObserver([](const RowStore&, const TrafficCounters&) {});
  for (int b = 0; b < 16; ++b) receiver.DeliverBatch(MakeRows(kColumns, b + 1, 1), CountersAfter(b + 1));
  // A probe posted once a turn sees the rows grow by one batch a turn, not by ever more.
  std::vector<int> seen;
  std::function<void()> probe = [&] {
    seen.push_back(model.rowCount());
    if (receiver.PendingCount() > 0) QMetaObject::invokeMethod(qApp, probe, Qt::QueuedConnection);
  };
  QMetaObject::invokeMethod(qApp, probe, Qt::QueuedConnection);
  while (receiver.PendingCount() > 0) QCoreApplication::processEvents();
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i] - seen[i - 1], 1) << "turn " << i;
  ExpectRowsInOrder(model, 16);
}

TEST_F(BatchReceiverTest, BatchesHeldBackByTheIntervalStillReachTheList) {
  // Batches that come soon after the list took rows are held back; nothing more is
  // delivered, so only the receiver's own call can bring them in.
  receiver.SetApplyInterval(std::chrono::milliseconds(200));
  receiver.DeliverBatch(MakeRows(kColumns, 1, 2), CountersAfter(2));
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.rowCount() == 2; }, 5000));
  receiver.DeliverBatch(MakeRows(kColumns, 3, 2), CountersAfter(4));
  receiver.DeliverBatch(MakeRows(kColumns, 5, 2), CountersAfter(6));
  ASSERT_TRUE(QTest::qWaitFor([&] { return receiver.PendingCount() == 0; }, 5000));
  ExpectRowsInOrder(model, 6);
}

TEST_F(BatchReceiverTest, ObserverSeesEachBatchAfterItReachedTheList) {
  std::vector<std::int64_t> seen;
  receiver.SetObserver([&](const RowStore& batch, const TrafficCounters& c) {
    EXPECT_EQ(model.rowCount(), c.packetsReceived);  // already in the list
    seen.push_back(batch.RowCount());
  });
  receiver.DeliverBatch(MakeRows(kColumns, 1, 3), CountersAfter(3));
  receiver.DeliverBatch(MakeRows(kColumns, 4, 5), CountersAfter(8));
  receiver.ApplyPending();
  EXPECT_EQ(seen, (std::vector<std::int64_t>{3, 5}));
  ExpectRowsInOrder(model, 8);
}

TEST_F(BatchReceiverTest, ObserverRunningTheEventLoopKeepsRowsInOrder) {
  // A log writer that reports a failure in a modal box runs a nested event loop; the
  // batches delivered meanwhile must still land after the current one.
  int calls = 0;
  receiver.SetObserver([&](const RowStore&, const TrafficCounters&) {
    if (++calls == 1) {
      receiver.DeliverBatch(MakeRows(kColumns, 6, 1), CountersAfter(6));
      QCoreApplication::processEvents();
    }
  });
  receiver.DeliverBatch(MakeRows(kColumns, 1, 3), CountersAfter(3));
  receiver.DeliverBatch(MakeRows(kColumns, 4, 2), CountersAfter(5));
  receiver.ApplyPending();
  QCoreApplication::processEvents();
  EXPECT_EQ(calls, 3);
  ExpectRowsInOrder(model, 6);
}

TEST_F(BatchReceiverTest, ListAndPanesGoOnBehindAnObserversModalBox) {
  // The first batch's observer stands for a modal box. The second batch was queued before
  // the first was taken, so its delivery posted nothing; the third comes while the box is open.
  QSignalSpy counters(&receiver, &BatchReceiver::countersChanged);
  auto shown = [&] { return counters.isEmpty() ? -1 : counters.last()[0].value<TrafficCounters>().packetsReceived; };
  std::vector<std::int64_t> shownWhileOpen;
  receiver.SetObserver([&](const RowStore&, const TrafficCounters& c) {
    if (c.packetsReceived != 3) return;
    shownWhileOpen.push_back(shown());
    receiver.DeliverBatch(MakeRows(kColumns, 6, 1), CountersAfter(6));
    QCoreApplication::processEvents();
    shownWhileOpen.push_back(model.rowCount());
    shownWhileOpen.push_back(shown());
  });
  receiver.DeliverBatch(MakeRows(kColumns, 1, 3), CountersAfter(3));
  receiver.DeliverBatch(MakeRows(kColumns, 4, 2), CountersAfter(5));
  QCoreApplication::processEvents();
  // Panes at the box's batch, then every row and its counters while it is open.
  EXPECT_EQ(shownWhileOpen, (std::vector<std::int64_t>{3, 6, 6}));
  ExpectRowsInOrder(model, 6);
  EXPECT_EQ(shown(), 6);  // nothing older once the box is closed
}

}  // namespace
