// The row model's filtered and sorted view: its list of shown rows under arrivals and
// rows leaving, checked by QAbstractItemModelTester throughout.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <algorithm>
#include <string>
#include <vector>

#include "analysis/packet_row.h"
#include "tests/ui/ui_test_util.h"
#include "ui/row_model.h"

namespace {

// Frame rows: packet number n, n * 7 % 50 + 60 bytes, TCP connection n % 3 + 1, IPv4
// source 10.0.0.(n % 12), every third row ARP.
PacketRow Frame(std::int64_t n) {
  PacketRow row;
  row.packetNumber = n;
  row.length = static_cast<std::uint32_t>(n * 7 % 50 + 60);
  row.outgoing = n % 2 == 0;
  if (n % 3 == 2) {
    row.kind = RowKind::Arp;
    row.etherType = 0x0806;
    row.data = "who-has";
    return row;
  }
  row.kind = RowKind::Tcp;
  row.etherType = 0x0800;
  row.ipSource = {10, 0, 0, static_cast<std::uint8_t>(n % 12)};
  row.ipDestination = {10, 0, 0, 1};
  row.ipProtocol = 6;
  row.connection = n % 3 + 1;
  row.sourcePort = 80;
  row.destinationPort = 5000;
  return row;
}

const ColumnSet& Columns() {
  static const ColumnSet set = ShowIds({ColumnId::Bytes, ColumnId::Protocol, ColumnId::IpSource,
                                        ColumnId::TcpConnectionNumber});
  return set;
}

RowStore Frames(std::int64_t first, std::int64_t count) {
  RowStore store(Columns());
  for (std::int64_t n = first; n < first + count; ++n) store.AppendPacket(Frame(n));
  return store;
}

std::optional<RowFilter> Filter(std::string_view text) {
  FilterError error;
  return RowFilter::Compile(text, &error);
}

class RowModelViewTest : public ::testing::Test {
 protected:
  void SetUp() override { model.SetColumns(Columns()); }
  // The packet numbers of the shown rows, in view order.
  std::vector<std::string> Numbers() const {
    std::vector<std::string> out;
    for (int r = 0; r < model.rowCount(); ++r) out.emplace_back(model.CellText(r, 0));
    return out;
  }
  RowModel model;
  QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

}  // namespace

TEST_F(RowModelViewTest, FilteredViewFollowsArrivalsAndRowsLeavingWithOneInsertionPerBatch) {
  model.SetRowLimit(64);  // leaves down to 62
  model.AppendBatch(Frames(0, 10));
  model.SetFilter(Filter("conn == 2"));
  EXPECT_EQ(Numbers(), (std::vector<std::string>{"1", "4", "7"}));
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy shown(&model, &RowModel::shownChanged);

  model.AppendBatch(Frames(10, 20));
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(inserted[0][1].toInt(), 3);
  EXPECT_EQ(inserted[0][2].toInt(), 9);
  model.AppendBatch(Frames(30, 3));  // 31 only
  EXPECT_EQ(model.rowCount(), 11);

  // 70 rows: 8 leave, and with them the shown rows 1, 4 and 7.
  model.AppendBatch(Frames(33, 37));
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed[0][1].toInt(), 0);
  EXPECT_EQ(removed[0][2].toInt(), 2);
  EXPECT_EQ(model.CellText(0, 0), "10");
  EXPECT_EQ(model.CellText(model.rowCount() - 1, 0), "67");
  EXPECT_EQ(model.ShownRows(), 20);
  EXPECT_EQ(model.TotalRows(), 62);
  EXPECT_EQ(shown.last()[0].toLongLong(), 20);
  EXPECT_EQ(shown.last()[1].toLongLong(), 62);

  model.SetFilter(std::nullopt);
  EXPECT_EQ(model.rowCount(), 62);
  EXPECT_EQ(model.CellText(0, 0), "8");
}

TEST_F(RowModelViewTest, HeaderSortsNumbersAddressesAndTextsAndReturnsToCaptureOrder) {
  model.AppendBatch(Frames(0, 6));
  struct Case {
    int column;
    bool descending;
    std::vector<std::string> numbers;
  };
  // Bytes 60 67 74 81 88 95 (by value, not as text); sources .0 .1 ARP .3 .4 ARP; the
  // protocol names ARP before IP; cells not set come first.
  const Case cases[] = {
      {1, false, {"0", "1", "2", "3", "4", "5"}},
      {1, true, {"5", "4", "3", "2", "1", "0"}},
      {3, false, {"2", "5", "0", "1", "3", "4"}},
      {3, true, {"4", "3", "1", "0", "2", "5"}},
      {2, false, {"2", "5", "0", "1", "3", "4"}},
      {-1, false, {"0", "1", "2", "3", "4", "5"}},
  };
  for (const Case& c : cases) {
    model.SortBy(c.column, c.descending);
    EXPECT_EQ(Numbers(), c.numbers) << "column " << c.column << (c.descending ? " descending" : "");
  }
}

TEST_F(RowModelViewTest, IpAddressesSortByValueNotByText) {
  model.AppendBatch(Frames(9, 3));  // 10.0.0.9, 10.0.0.10, ARP
  model.SortBy(3, false);
  EXPECT_EQ(Numbers(), (std::vector<std::string>{"11", "9", "10"}));
}

TEST_F(RowModelViewTest, Ipv6AddressesSortAfterEveryIpv4OneByValue) {
  const auto v6 = [](std::int64_t n, std::uint8_t last) {  // TCP rows from 2001:db8::<last>
    PacketRow row = Frame(n);
    row.ipv6 = true;
    row.ipv6Source = {0x20, 0x01, 0x0d, 0xb8};
    row.ipv6Source[15] = last;
    return row;
  };
  RowStore rows = Frames(9, 3);  // 10.0.0.9, 10.0.0.10, ARP
  for (const auto& [n, last] : {std::pair{12, 0x10}, {13, 0x09}}) rows.AppendPacket(v6(n, static_cast<std::uint8_t>(last)));
  model.AppendBatch(rows);
  model.SortBy(3, false);
  EXPECT_EQ(Numbers(), (std::vector<std::string>{"11", "9", "10", "13", "12"}));
  RowStore late(Columns());
  late.AppendPacket(v6(15, 0x0A));  // placed as it arrives
  model.AppendBatch(late);
  EXPECT_EQ(Numbers(), (std::vector<std::string>{"11", "9", "10", "13", "15", "12"}));
}

TEST_F(RowModelViewTest, SortedViewPlacesNewRowsAndKeepsTheSelectedRow) {
  QItemSelectionModel selection(&model);
  model.AppendBatch(Frames(0, 6));
  model.SetFilter(Filter("conn"));  // 0 1 3 4
  model.SortBy(1, true);            // by bytes, descending: 4 3 1 0
  selection.select(model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  ASSERT_EQ(model.CellText(1, 0), "3");

  model.AppendBatch(Frames(6, 4));  // 6 (102 bytes), 7 (109) and 9 (73) pass
  EXPECT_EQ(Numbers(), (std::vector<std::string>{"7", "6", "4", "3", "9", "1", "0"}));
  const QModelIndexList selected = selection.selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(model.CellText(selected[0].row(), 0), "3");
}

TEST_F(RowModelViewTest, SortedViewLosesTheRowsThatLeaveTheList) {
  model.SetRowLimit(32);  // leaves down to 31
  model.AppendBatch(Frames(0, 30));
  model.SortBy(1, false);
  model.AppendBatch(Frames(30, 4));  // 3 leave
  EXPECT_EQ(model.rowCount(), 31);
  for (int r = 0; r < model.rowCount(); ++r) EXPECT_GE(std::stoi(std::string(model.CellText(r, 0))), 3);
  for (int r = 1; r < model.rowCount(); ++r) {
    EXPECT_LE(std::stoi(std::string(model.CellText(r - 1, 1))), std::stoi(std::string(model.CellText(r, 1))));
  }
}

TEST_F(RowModelViewTest, SortsWideAndRepeatedValuesWithEqualCellsInCaptureOrder) {
  // Packet numbers across a 2^32 boundary, bytes repeating every 50 rows, every third row
  // without a connection.
  model.AppendBatch(Frames((std::int64_t{1} << 32) - 300, 600));
  ASSERT_EQ(model.CellText(0, 0), "4294966996");
  struct Key {
    bool set;
    std::uint64_t value;
    std::string number;
  };
  const auto expected = [this](int column, bool descending) {
    std::vector<Key> keys;
    for (int r = 0; r < model.rowCount(); ++r) {
      const std::string cell(model.CellText(r, column));
      keys.push_back({!cell.empty(), cell.empty() ? 0 : std::stoull(cell), std::string(model.CellText(r, 0))});
    }
    std::stable_sort(keys.begin(), keys.end(), [descending](const Key& a, const Key& b) {
      if (a.set != b.set) return descending ? a.set : b.set;
      return descending ? a.value > b.value : a.value < b.value;
    });
    std::vector<std::string> numbers;
    for (const Key& key : keys) numbers.push_back(key.number);
    return numbers;
  };
  for (const int column : {0, 1, 4}) {
    for (const bool descending : {false, true}) {
      model.SortBy(-1, false);
      const std::vector<std::string> order = expected(column, descending);
      model.SortBy(column, descending);
      EXPECT_EQ(Numbers(), order) << "column " << column << (descending ? " descending" : "");
    }
  }
}
