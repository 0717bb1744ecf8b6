// The dump's row writer must give exactly the text of the shared tab-separated layout.

#include <gtest/gtest.h>

#include "analysis/row_text.h"
#include "dump/dump.h"

namespace {

TEST(DumpRowText, SameTextAsTheSharedLayout) {
  const std::vector<std::vector<std::string_view>> rows = {
      {"0", "plain", "", "text"},
      {"1", "\\", "\t", "\n"},                      // a cell that is only an escape
      {"2", "\\\\start", "end\r", "mid\tdle\nx"},   // escapes first, last, in a run, apart
      {"3", "a\\b\\c", "\r\n\t\\", ""},
      {"4"},                                         // cells never set
      {"5", "no escapes at all, but long enough to be more than a few characters"},
  };
  RowStore store(4);
  for (const auto& cells : rows) store.AppendRow(cells);

  std::string shared, ours;
  for (std::int64_t r = 0; r < store.RowCount(); ++r) {
    AppendRowLine(shared, store, r, RowFormat::Tsv);
    AppendTsvRow(ours, store, r, store.ColumnCount());
  }
  EXPECT_EQ(ours, shared);
  // And what that layout is, so that both cannot drift together unnoticed.
  EXPECT_EQ(ours.substr(0, ours.find('\n', ours.find('\n') + 1) + 1),
            "0\tplain\t\ttext\n"
            "1\t\\\\\t\\t\t\\n\n");
}

}  // namespace
