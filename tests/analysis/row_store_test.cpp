#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/row_store.h"

namespace {

std::vector<std::string> Row(const RowStore& s, std::int64_t row) {
  std::vector<std::string> cells;
  for (int c = 0; c < s.ColumnCount(); ++c) cells.emplace_back(s.Cell(row, c));
  return cells;
}

TEST(RowStore, CellsOfEveryLengthComeBackAsStored) {
  const std::vector<std::string> texts = {
      "", "in", "out", "TCP (Transmission Control Protocol)", "remote close()", "inn",
      std::string(127, 'a'), std::string(128, 'b'), std::string(1023, 'c'),
      std::string(16383, 'd'), std::string(16384, 'e'), std::string(70000, 'f'),
      std::string("nul\0inside", 10)};
  RowStore store(3);
  for (const std::string& t : texts) {
    const std::vector<std::string_view> cells = {t, "x", t};
    store.AppendRow(cells);
  }
  ASSERT_EQ(store.RowCount(), static_cast<std::int64_t>(texts.size()));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(Row(store, i), (std::vector<std::string>{texts[i], "x", texts[i]})) << i;
  }
  // Missing cells are empty, extra ones dropped, and outside reads give nothing.
  const std::vector<std::string_view> one = {"only"}, four = {"a", "b", "c", "d"};
  store.AppendRow(one);
  store.AppendRow(four);
  EXPECT_EQ(Row(store, store.RowCount() - 2), (std::vector<std::string>{"only", "", ""}));
  EXPECT_EQ(Row(store, store.RowCount() - 1), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(store.Cell(-1, 0), "");
  EXPECT_EQ(store.Cell(store.RowCount(), 0), "");
  EXPECT_EQ(store.Cell(0, 3), "");
}

TEST(RowStore, EveryTextOfTheDecoderAndTrackerTablesComesBackAsStored) {
  // These are the store's frequent texts, kept as one byte each.
  std::vector<std::string_view> texts = {DirectionText(Direction::Incoming), DirectionText(Direction::Outgoing)};
  for (const EtherTypeEntry& entry : EtherTypeNames) texts.push_back(entry.name);
  for (int i = 0; i < IpProtocolCount; ++i) texts.push_back(IpProtocolCellText[i]);
  texts.insert(texts.end(), socket_call::All.begin(), socket_call::All.end());
  RowStore store(static_cast<int>(texts.size()));
  store.AppendRow(texts);
  for (std::size_t c = 0; c < texts.size(); ++c) EXPECT_EQ(store.Cell(0, static_cast<int>(c)), texts[c]);
}

TEST(RowStore, RowCellsReadsTheSameCellsAsCellInOnePass) {
  // Every header form in one row, so a wrong step over any of them shifts the rest.
  const std::string medium(300, 'm'), big(20000, 'g');
  const std::vector<std::string_view> cells = {"in", "short", medium, "", big, "UDP (User Datagram Protocol)"};
  RowStore store(6);
  store.AppendRow(cells);
  store.AppendRow(std::vector<std::string_view>{"only"});
  std::string_view out[8];
  ASSERT_EQ(store.RowCells(0, out), 6u);
  for (int c = 0; c < 6; ++c) EXPECT_EQ(out[c], cells[c]) << c;
  ASSERT_EQ(store.RowCells(1, std::span(out, 2)), 2u);
  EXPECT_EQ(out[0], "only");
  EXPECT_EQ(out[1], "");
  EXPECT_EQ(store.RowCells(2, out), 0u);
  EXPECT_EQ(store.RowCells(-1, out), 0u);
}

TEST(RowStore, ManyRowsNeverMoveStoredTextAndAppendCopiesThem) {
  RowStore store(4);
  const std::vector<std::string_view> first = {"0", "60", "in", "first row"};
  store.AppendRow(first);
  const char* before = store.Cell(0, 3).data();
  std::string number;
  for (int i = 1; i < 300000; ++i) {
    number = std::to_string(i);
    const std::vector<std::string_view> cells = {number, "54", i % 2 ? "in" : "out",
                                                 i % 7 ? "" : "payload text of a row"};
    store.AppendRow(cells);
  }
  EXPECT_EQ(store.Cell(0, 3).data(), before);
  EXPECT_EQ(Row(store, 299998), (std::vector<std::string>{"299998", "54", "out", ""}));
  EXPECT_EQ(Row(store, 7 * 4000), (std::vector<std::string>{"28000", "54", "out", "payload text of a row"}));
  // Honest and compact: the allocation covers the encoded text and is not far above it.
  EXPECT_GT(store.MemoryBytes(), 300000u * 13);
  EXPECT_LT(store.MemoryBytes(), 300000u * 40);

  RowStore copy(4);
  copy.AppendRow(first);
  copy.Append(store);
  ASSERT_EQ(copy.RowCount(), 300001);
  for (std::int64_t r : {0, 1, 4095, 4096, 150000, 300000}) EXPECT_EQ(Row(copy, r), Row(store, r == 0 ? 0 : r - 1));
  copy.Append(copy);  // appending itself doubles it
  ASSERT_EQ(copy.RowCount(), 600002);
  EXPECT_EQ(Row(copy, 600001), Row(store, 299999));

  copy.Clear();
  EXPECT_EQ(copy.RowCount(), 0);
  EXPECT_EQ(copy.ColumnCount(), 4);
  EXPECT_LT(copy.MemoryBytes(), 1024u);
  RowStore narrow(2);
  narrow.Append(store);  // another layout: cells beyond its columns are dropped
  EXPECT_EQ(Row(narrow, 28000), (std::vector<std::string>{"28000", "54"}));
  store.Reset(6);
  EXPECT_EQ(store.RowCount(), 0);
  EXPECT_EQ(store.ColumnCount(), 6);
}

TEST(RowBuilder, BuildsRowsFromCellsInAnyOrder) {
  RowStore store(4);
  RowBuilder builder(store, 10);
  EXPECT_EQ(builder.RowCount(), 10);
  builder.InsertRow("10");
  builder.SetCellText(10, 3, "data");
  builder.SetCellText(10, 1, "first");
  builder.SetCellText(10, 1, "second");  // a cell set twice keeps the last text
  builder.SetCellText(9, 2, "wrong row");
  builder.SetCellText(10, 4, "no such column");
  EXPECT_EQ(store.RowCount(), 0);  // committed only at the next row or Flush
  builder.InsertRow("11");
  EXPECT_EQ(Row(store, 0), (std::vector<std::string>{"10", "second", "", "data"}));
  builder.Flush();
  builder.Flush();
  EXPECT_EQ(store.RowCount(), 2);
  EXPECT_EQ(Row(store, 1), (std::vector<std::string>{"11", "", "", ""}));
  builder.SetCellText(11, 1, "after flush");  // the row is gone: nothing to set
  EXPECT_EQ(builder.RowCount(), 12);
  EXPECT_EQ(builder.RowsBuilt(), 2);

  RowStore next(4);
  builder.InsertRow("12");
  builder.SetCellText(12, 2, std::string(1023, 'w'));
  builder.Retarget(next);
  EXPECT_EQ(builder.RowsBuilt(), 0);
  EXPECT_EQ(store.RowCount(), 3);
  EXPECT_EQ(store.Cell(2, 2), std::string(1023, 'w'));
  builder.InsertRow("13");
  builder.Flush();
  EXPECT_EQ(Row(next, 0), (std::vector<std::string>{"13", "", "", ""}));
  EXPECT_EQ(builder.RowCount(), 14);
}

TEST(RowBuilder, CellsInColumnOrderWithGapsLandInTheirColumns) {
  // Rows whose cells come in ascending columns (as the decoder sets them), with unset
  // cells first, between and last, dictionary texts and a text with a two-byte length,
  // after and before a row set out of order.
  const std::vector<std::vector<std::pair<int, std::string>>> rows = {
      {{0, "1"}, {1, "60"}, {2, "in"}, {4, "TCP (Transmission Control Protocol)"}},
      {{0, "2"}, {2, "ab"}, {1, "out"}},  // out of order
      {{0, "3"}, {3, std::string(300, 'x')}, {5, "remote close()"}},
      {{0, "4"}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}, {5, "e"}},
      {{0, "5"}},
  };
  RowStore built(6);
  RowBuilder builder(built, 0);
  std::int64_t row = 0;
  for (const auto& cells : rows) {
    builder.InsertRow(cells.front().second);
    for (std::size_t i = 1; i < cells.size(); ++i) builder.SetCellText(row, cells[i].first, cells[i].second);
    ++row;
  }
  builder.Flush();

  ASSERT_EQ(built.RowCount(), static_cast<std::int64_t>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::vector<std::string> expected(6);
    for (const auto& [column, text] : rows[r]) expected[static_cast<std::size_t>(column)] = text;
    EXPECT_EQ(Row(built, static_cast<std::int64_t>(r)), expected) << "row " << r;
  }
  // The rows copy into another store byte for byte and still read the same.
  RowStore copy(6);
  copy.Append(built);
  for (std::int64_t r = 0; r < built.RowCount(); ++r) EXPECT_EQ(Row(copy, r), Row(built, r));
}

}  // namespace
