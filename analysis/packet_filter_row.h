#pragma once
// A frame's row of a RowStore as the filter sees it: numbers and addresses straight from
// the row's fields, so a field comparison formats and parses no text; a cell's text is
// built only when the filter asks for it. Every column can be asked, shown or not, but the
// store keeps the MAC addresses, the TCP sequence, acknowledgement, window and checksum
// and the Data text only when one of their columns is shown: while they are hidden those
// cells read as not set, so a test on them is false and a search does not find them.

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "analysis/columns.h"
#include "analysis/packet_row.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"

class PacketFilterRow : public FilterRow {
 public:
  // columns: the set the store's rows were decoded with (what the store keeps follows from it).
  explicit PacketFilterRow(const ColumnSet& columns);

  // Reads a frame's row; false for a text row or a row out of range. The Data text is
  // read (from the frame source when the store rebuilds it) only when it is asked for,
  // into this row's own room: rows on several threads may read the same store. Rows read
  // in order are fetched from memory ahead of time.
  bool Read(const RowStore& rows, std::int64_t row);

  std::string_view Cell(ColumnId id) const override;
  std::optional<std::uint64_t> Value(ColumnId id) const override;
  std::optional<IpAddress> Address(ColumnId id) const override;
  std::uint32_t ColumnsThatMayContain(const FilterNeedle& needle) const override;
  // Data: the whole payload while the frame is kept where the row reads it; the cell's
  // text once the frame has left (the row then keeps its text).
  std::string_view SearchText(ColumnId id) const override;
  const ProcessOwner* Owner() const override { return fields_.owner; }

 private:
  bool Kept(ColumnId id) const;
  const PacketRow& Fields(ColumnId id) const;

  std::bitset<ColumnCount> kept_;
  const RowStore* rows_ = nullptr;
  std::int64_t row_ = 0;
  PacketRow fields_;
  mutable PacketRow withData_;
  mutable DataTextRoom dataRoom_;
  mutable bool dataRead_ = false;
  mutable bool payloadBuilt_ = false;
  mutable std::string payload_;
  mutable std::bitset<ColumnCount> built_;
  mutable std::array<std::array<char, CellTextCapacity>, ColumnCount> texts_;
  mutable std::array<std::uint16_t, ColumnCount> lengths_{};
};
