// A build read in slices on two threads and sorted on the worker gives the rows a direct
// filter and a comparison sort give; built under ThreadSanitizer too.

#include "analysis/view_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "analysis/packet_row.h"

namespace {

// List columns: 0 packet number, 1 Bytes, 2 IP source, 3 Data.
ColumnSet Columns() {
  ColumnSet set;
  for (ColumnId id : {ColumnId::PacketNumber, ColumnId::Bytes, ColumnId::IpSource, ColumnId::Data})
    set.shown[static_cast<int>(id)] = 1;
  set.AssignColumnPositions();
  return set;
}

// Many equal byte counts and texts, so ties and texts met by both threads occur; every
// fifth row has no IP source.
RowStore Rows(const ColumnSet& columns, int count) {
  RowStore store(columns);
  for (int n = 0; n < count; ++n) {
    const std::string data = std::string("d").append(std::to_string(n * 13 % 97));
    PacketRow row;
    row.packetNumber = n;
    row.length = static_cast<std::uint32_t>(n * 37 % 400 + 60);
    row.data = data;
    row.kind = n % 5 == 4 ? RowKind::Arp : RowKind::Tcp;
    row.etherType = n % 5 == 4 ? 0x0806 : 0x0800;
    if (n % 5 != 4) row.ipSource = {10, 0, static_cast<std::uint8_t>(n % 7), static_cast<std::uint8_t>(n % 250)};
    store.AppendPacket(row);
  }
  return store;
}

TEST(ViewBuilder, SlicedBuildSortedOnTheWorkerMatchesADirectOne) {
  const ColumnSet columns = Columns();
  const RowStore store = Rows(columns, 3000);
  const ViewRows source{store, columns, 100, false};  // as if 100 rows had left
  struct Case {
    const char* filter;
    int column;
    bool descending;
  } const cases[] = {{"bytes > 200", -1, false}, {"", 1, false}, {"", 2, true}, {"bytes > 100", 3, false},
                     {"", 3, true}};
  ViewBuilder builder;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " column " + std::to_string(c.column));
    const auto compile = [&]() -> std::optional<RowFilter> {
      FilterError error;
      return *c.filter ? RowFilter::Compile(c.filter, &error) : std::nullopt;
    };
    const std::optional<RowFilter> filter = compile();
    std::vector<std::int64_t> expected = KeptRows(source, filter ? &*filter : nullptr, 0);
    if (c.column >= 0) {
      RowOrder order(columns, c.column, c.descending);
      std::stable_sort(expected.begin(), expected.end(),
                       [&](std::int64_t a, std::int64_t b) { return order.Before(store, 100, a, b); });
    }

    // A build dropped while its sort runs leaves the worker free for the next.
    builder.Start(ViewRequest{false, std::nullopt, 1, true}, nullptr, columns, 100, store.RowCount());
    builder.ReadSlice(source, 64, 0);
    builder.StartSort();
    builder.Cancel();

    builder.Start(ViewRequest{true, compile(), c.column, c.descending}, nullptr, columns, 100, store.RowCount());
    while (builder.Next() < 100 + store.RowCount()) builder.ReadSlice(source, 64, 1'000'000'000);
    if (builder.Sorts()) {
      builder.StartSort();
      while (!builder.Sorted()) std::this_thread::yield();
    }
    const BuiltView view = builder.Finish();
    EXPECT_EQ(view.rows, expected);
    EXPECT_FALSE(builder.Running());
  }
}

}  // namespace
