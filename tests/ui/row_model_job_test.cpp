// A view change over more rows than one slice reads: it runs between turns of the event
// loop while the list keeps its view, and ends as an immediate change over the same rows
// would have. Checked by QAbstractItemModelTester throughout.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <string>
#include <vector>

#include "analysis/packet_row.h"
#include "tests/ui/ui_test_util.h"
#include "ui/row_model.h"

namespace {

// List columns: 0 packet number, 1 Bytes, 2 Protocol, 3 IP source, 4 connection, 5 Data.
constexpr int kBytes = 1, kProtocol = 2, kIpSource = 3, kData = 5;

const ColumnSet& Columns() {
  static const ColumnSet set = ShowIds({ColumnId::Bytes, ColumnId::Protocol, ColumnId::IpSource,
                                        ColumnId::TcpConnectionNumber, ColumnId::Data});
  return set;
}

// Frame n: many equal byte counts and Data texts, so that ties and texts met by both
// reading threads occur, and texts of one row each; every fifth frame is ARP (no IP
// source, no connection).
RowStore Frames(std::int64_t first, std::int64_t count) {
  RowStore store(Columns());
  for (std::int64_t n = first; n < first + count; ++n) {
    std::string data(1, n % 10 == 0 ? 'u' : 'd');
    data += std::to_string(n % 10 == 0 ? n : n * 13 % 97);
    PacketRow row;
    row.packetNumber = n;
    row.length = static_cast<std::uint32_t>(n * 37 % 400 + 60);
    row.data = data;
    if (n % 5 == 4) {
      row.kind = RowKind::Arp;
      row.etherType = 0x0806;
    } else {
      row.kind = RowKind::Tcp;
      row.etherType = 0x0800;
      row.ipSource = {10, 0, static_cast<std::uint8_t>(n % 7), static_cast<std::uint8_t>(n % 250)};
      row.ipProtocol = 6;
      row.connection = n % 3 + 1;
    }
    store.AppendPacket(row);
  }
  return store;
}

std::optional<RowFilter> Filter(std::string_view text) {
  if (text.empty()) return std::nullopt;
  FilterError error;
  return RowFilter::Compile(text, &error);
}

std::vector<std::string> Numbers(const RowModel& model) {
  std::vector<std::string> out;
  for (int r = 0; r < model.rowCount(); ++r) out.emplace_back(model.CellText(r, 0));
  return out;
}

void WaitForEnd(const RowModel& model) {
  while (model.ViewChanging()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

class RowModelJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (RowModel* m : {&sliced, &immediate}) m->SetColumns(Columns());
    sliced.SetViewSliceRows(64);
  }
  void Append(std::int64_t first, std::int64_t count) {
    sliced.AppendBatch(Frames(first, count));
    immediate.AppendBatch(Frames(first, count));
  }
  // The immediate model is changed at once: it has far fewer rows than a slice reads.
  RowModel sliced;
  RowModel immediate;
  QAbstractItemModelTester slicedTester{&sliced, QAbstractItemModelTester::FailureReportingMode::Fatal};
  QAbstractItemModelTester immediateTester{&immediate, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

}  // namespace

TEST_F(RowModelJobTest, SlicedChangeShowsTheRowsOfAnImmediateOne) {
  Append(0, 3000);
  struct Case {
    const char* filter;
    int column;
    bool descending;
  };
  const Case cases[] = {
      {"conn == 2", -1, false},
      {"", kBytes, false},
      {"conn", kData, true},  // texts: ranked across both threads' tables, then runs merged
      {"data contains \"d1\"", kIpSource, false},
      {"not conn == 1", kProtocol, true},
  };
  for (const Case& c : cases) {
    immediate.SortBy(c.column, c.descending);
    immediate.SetFilter(Filter(c.filter));
    ASSERT_FALSE(immediate.ViewChanging());

    QSignalSpy progress(&sliced, &RowModel::viewChangeProgress);
    QSignalSpy ended(&sliced, &RowModel::viewChangeEnded);
    sliced.SortBy(c.column, c.descending);
    WaitForEnd(sliced);
    sliced.SetFilter(Filter(c.filter));  // keeps the sort just made
    WaitForEnd(sliced);
    EXPECT_GT(progress.count(), 4) << c.filter;  // in many slices
    ASSERT_EQ(ended.count(), 2);
    EXPECT_TRUE(ended[0][0].toBool() && ended[1][0].toBool());
    EXPECT_EQ(sliced.SortColumn(), c.column);
    EXPECT_EQ(Numbers(sliced), Numbers(immediate)) << c.filter << " column " << c.column;
  }
}

TEST_F(RowModelJobTest, BatchesArrivingAndRowsLeavingDuringAChangeEndInItsView) {
  for (RowModel* m : {&sliced, &immediate}) m->SetRowLimit(2500);  // leaves down to 2422
  Append(0, 2000);
  std::int64_t next = 2000;
  bool oldViewKept = true;
  // A batch at every step of the change; the list meanwhile shows every row, as before.
  QObject::connect(&sliced, &RowModel::viewChangeProgress, [&] {
    oldViewKept = oldViewKept && !sliced.HasFilter() && sliced.rowCount() == sliced.TotalRows();
    Append(next, 40);
    next += 40;
  });
  sliced.SetFilter(Filter("conn != 3"));
  WaitForEnd(sliced);
  EXPECT_TRUE(oldViewKept);
  EXPECT_GT(sliced.RowsLeft(), 0);
  immediate.SetFilter(Filter("conn != 3"));
  EXPECT_EQ(Numbers(sliced), Numbers(immediate));

  // Sorted by text: batches come while the rows are read and while the keys are sorted
  // (from 50%), and go to their places once the sort is shown.
  const std::int64_t before = next;
  sliced.SortBy(kData, false);
  WaitForEnd(sliced);
  EXPECT_GT(next, before);
  immediate.SortBy(kData, false);
  EXPECT_EQ(Numbers(sliced), Numbers(immediate));
}

TEST_F(RowModelJobTest, CancelledChangeLeavesTheViewAsItWas) {
  Append(0, 1000);
  sliced.SetFilter(Filter("conn == 1"));
  WaitForEnd(sliced);
  const std::vector<std::string> shown = Numbers(sliced);
  QSignalSpy ended(&sliced, &RowModel::viewChangeEnded);
  QSignalSpy reset(&sliced, &QAbstractItemModel::modelReset);

  // Once while the rows are read, once while the keys are sorted off this thread.
  sliced.SetFilter(Filter("conn == 2"));
  QCoreApplication::processEvents();
  sliced.CancelViewChange();
  sliced.SortBy(kData, true);
  QObject::connect(&sliced, &RowModel::viewChangeProgress, [&](int percent) {
    if (percent >= 50) sliced.CancelViewChange();
  });
  WaitForEnd(sliced);
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();

  ASSERT_EQ(ended.count(), 2);
  EXPECT_FALSE(ended[0][0].toBool());
  EXPECT_FALSE(ended[1][0].toBool());
  EXPECT_EQ(reset.count(), 0);
  EXPECT_EQ(sliced.SortColumn(), -1);
  EXPECT_EQ(sliced.RequestedSortColumn(), -1);
  EXPECT_EQ(Numbers(sliced), shown);
}

TEST_F(RowModelJobTest, NewChangeReplacesTheRunningOneAndKeepsWhatItAskedFor) {
  Append(0, 1500);
  QSignalSpy ended(&sliced, &RowModel::viewChangeEnded);
  // A sort asked for while a filter is applied keeps that filter; a filter asked for while
  // the keys are sorted keeps that sort.
  sliced.SetFilter(Filter("conn == 3"));
  QCoreApplication::processEvents();
  sliced.SortBy(kBytes, true);
  EXPECT_EQ(sliced.RequestedSortColumn(), kBytes);
  bool replaced = false;
  QObject::connect(&sliced, &RowModel::viewChangeProgress, [&](int, bool sorting) {
    if (!sorting || replaced) return;
    replaced = true;
    sliced.SetFilter(Filter("conn == 2"));
  });
  WaitForEnd(sliced);
  EXPECT_TRUE(replaced);
  ASSERT_EQ(ended.count(), 1);
  EXPECT_TRUE(ended[0][0].toBool());

  immediate.SortBy(kBytes, true);
  immediate.SetFilter(Filter("conn == 2"));
  EXPECT_EQ(Numbers(sliced), Numbers(immediate));
}

TEST_F(RowModelJobTest, ClearDuringAChangeDropsItAndTheListGoesOnWithItsView) {
  Append(0, 1000);
  sliced.SetFilter(Filter("conn == 1"));
  WaitForEnd(sliced);
  QSignalSpy ended(&sliced, &RowModel::viewChangeEnded);
  QObject::connect(&sliced, &RowModel::viewChangeProgress, [&](int percent) {
    if (percent >= 50) sliced.Clear();  // while the keys are sorted
  });
  sliced.SortBy(kBytes, false);
  WaitForEnd(sliced);
  ASSERT_EQ(ended.count(), 1);
  EXPECT_FALSE(ended[0][0].toBool());
  EXPECT_EQ(sliced.rowCount(), 0);

  sliced.AppendBatch(Frames(0, 6));  // conn == 1: 0 and 3
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(Numbers(sliced), (std::vector<std::string>{"0", "3"}));
  EXPECT_EQ(ended.count(), 1);
}
