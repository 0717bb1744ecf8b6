// Fuzz target: any bytes as a filter expression. A mistake must come back as a position
// inside the text and an explanation; an expression that compiles is asked about a few
// rows, and "not (expression)" must answer the opposite for each of them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "analysis/row_filter.h"

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "filter_fuzz: %s\n", what);
  std::abort();
}

class FixedRow : public FilterRow {
 public:
  explicit FixedRow(std::array<std::string_view, ColumnCount> cells) : cells_(cells) {}
  std::string_view Cell(ColumnId id) const override {
    const auto i = static_cast<std::size_t>(id);
    return i < cells_.size() ? cells_[i] : std::string_view();
  }

 private:
  std::array<std::string_view, ColumnCount> cells_;
};

// In column id order; Time is the last.
const FixedRow Rows[] = {
    FixedRow({"2", "64", "out", "00:A0:C9:12:34:56", "02:00:00:00:00:0B", "", "IP (Internet Protocol)", "10.0.0.2",
              "10.0.0.1", "TCP (Transmission Control Protocol)", "12", "40000", "80", "4294967295", "5001", "0x18",
              "65535", "0", "send()", "GET / HTTP/1.0 \"q\" a\\b", "0.001500"}),
    FixedRow({"3", "47", "in", "02:00:00:00:00:0B", "00:A0:C9:12:34:56", "", "0x88CC", "10.0.0.1", "192.168.1.20",
              "47", "", "", "", "", "", "", "", "", "", "", "12.000000"}),
    FixedRow({"5", "60", "in", "02:00:00:00:00:0B", "FF:FF:FF:FF:FF:FF", "46", "", "", "", "", "", "", "", "", "",
              "", "", "", "", "", ""}),
    // Cells that are not what their columns show, as a row kept in binary never has them.
    FixedRow({"x", "99999999999999999999999", "", "00:A0:C9", "1.2.3.4.5", "0x", "(", "256.1.1.1", "", " (", "-1",
              "0x1G", "", "", "", "0X", "", "", "", "", "1.2345678"}),
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FilterError error;
  const std::optional<RowFilter> filter = RowFilter::Compile(text, &error);
  if (!filter) {
    if (error.position > text.size()) Broken("error position past the end of the text");
    if (error.expected.empty()) Broken("error without an explanation");
    if (error.Message(text.size()).find('\n') != std::string::npos) Broken("error message of several lines");
    return 0;
  }
  const std::optional<RowFilter> negated = RowFilter::Compile("not (" + text + ")", &error);
  // Only the nesting limit can refuse a compiled expression inside one more parenthesis.
  if (!negated) {
    if (error.expected.find("nested") == std::string::npos) Broken("a compiled expression does not compile in parentheses");
    return 0;
  }
  for (const FixedRow& row : Rows) {
    if (filter->Matches(row) == negated->Matches(row)) Broken("not (expression) gives the same answer");
  }
  return 0;
}
