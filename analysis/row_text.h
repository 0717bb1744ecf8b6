#pragma once
// Rows as text files: tab-separated (inside a cell backslash is \\, TAB \t, LF \n,
// CR \r) or CSV with RFC 4180 quoting. One code path for Save, the log file and
// orrisvane-dump.

#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/columns.h"
#include "analysis/row_store.h"

enum class RowFormat { Tsv, Csv };

void AppendTsvCell(std::string& out, std::string_view cell);
void AppendCsvCell(std::string& out, std::string_view cell);

// The header texts of the shown columns in list order, one line ending in '\n'.
void AppendHeaderLine(std::string& out, const ColumnSet& columns, RowFormat format);
// One stored row, its cells in list order, one line ending in '\n' (CSV: "\r\n").
void AppendRowLine(std::string& out, const RowStore& rows, std::int64_t row, RowFormat format);

// Picks the layout a file name asks for: CSV when it ends in ".csv" (any case).
RowFormat FormatForFileName(std::string_view fileName);
