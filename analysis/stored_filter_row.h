#pragma once
// A row of a RowStore as the filter sees it: the store holds the cells of the columns
// shown in the set the row was decoded with, in that set's list order.

#include <array>
#include <cstdint>
#include <string_view>

#include "analysis/columns.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"

class StoredFilterRow : public FilterRow {
 public:
  // columns: the set the rows were decoded with; it must outlive this.
  explicit StoredFilterRow(const ColumnSet& columns) : columns_(columns) {}

  // Reads a row's cells in one pass; they stay valid while the store keeps its rows.
  void Read(const RowStore& rows, std::int64_t row);

  std::string_view Cell(ColumnId id) const override;
  // The cell at a list column index of the decoding set.
  std::string_view CellAt(int position) const;

 private:
  const ColumnSet& columns_;
  std::array<std::string_view, ColumnCount> cells_{};
  std::size_t read_ = 0;
};
