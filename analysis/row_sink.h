#pragma once
// How the decoder writes one row of column texts. The text passed to InsertRow and
// SetCellText may live in the caller's reusable buffer: a sink copies what it keeps.

#include <cstdint>
#include <string_view>

class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual std::int64_t RowCount() = 0;
  // Appends a row, whose index is the row count before the call; text is cell 0.
  virtual void InsertRow(std::string_view text) = 0;
  // Sets the text of one cell of an existing row, by list column index.
  virtual void SetCellText(std::int64_t row, int column, std::string_view text) = 0;
};
