#include "analysis/stored_filter_row.h"

void StoredFilterRow::Read(const RowStore& rows, std::int64_t row) { read_ = rows.RowCells(row, cells_); }

std::string_view StoredFilterRow::Cell(ColumnId id) const {
  const int column = static_cast<int>(id);
  if (column < 0 || column >= ColumnCount || !columns_.IsShown(id)) return {};
  return CellAt(columns_.Position(id));
}

std::string_view StoredFilterRow::CellAt(int position) const {
  if (position < 0 || static_cast<std::size_t>(position) >= read_) return {};
  return cells_[static_cast<std::size_t>(position)];
}
