#include "analysis/row_text.h"

#include <algorithm>

void AppendTsvCell(std::string& out, std::string_view cell) {
  for (const char c : cell) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c; break;
    }
  }
}

void AppendCsvCell(std::string& out, std::string_view cell) {
  if (cell.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += cell;
    return;
  }
  out += '"';
  for (const char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

namespace {

void AppendCell(std::string& out, std::string_view cell, RowFormat format) {
  if (format == RowFormat::Csv) {
    AppendCsvCell(out, cell);
  } else {
    AppendTsvCell(out, cell);
  }
}

char Separator(RowFormat format) { return format == RowFormat::Csv ? ',' : '\t'; }
std::string_view LineEnd(RowFormat format) { return format == RowFormat::Csv ? "\r\n" : "\n"; }

}  // namespace

void AppendHeaderLine(std::string& out, const ColumnSet& columns, RowFormat format) {
  // Shown columns stand in the list in ascending id order.
  bool first = true;
  for (int i = 0; i < ColumnCount; ++i) {
    const auto id = static_cast<ColumnId>(i);
    if (!columns.IsShown(id)) continue;
    if (!first) out += Separator(format);
    first = false;
    AppendCell(out, ColumnHeader(id), format);
  }
  out += LineEnd(format);
}

void AppendRowLine(std::string& out, const RowStore& rows, std::int64_t row, RowFormat format) {
  for (int c = 0; c < rows.ColumnCount(); ++c) {
    if (c != 0) out += Separator(format);
    AppendCell(out, rows.Cell(row, c), format);
  }
  out += LineEnd(format);
}

RowFormat FormatForFileName(std::string_view fileName) {
  constexpr std::string_view kCsv = ".csv";
  if (fileName.size() < kCsv.size()) return RowFormat::Tsv;
  const std::string_view tail = fileName.substr(fileName.size() - kCsv.size());
  const bool csv = std::equal(tail.begin(), tail.end(), kCsv.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
  return csv ? RowFormat::Csv : RowFormat::Tsv;
}
