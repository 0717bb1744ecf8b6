// The Process column: its cells, the owners a store keeps alive, and the filter's fields
// proc, pid and user.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analysis/packet_filter_row.h"
#include "analysis/process_owner.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"

namespace {

TEST(ProcessColumn, CellsAndFieldsOfRowsWithOwners) {
  ColumnSet columns = ColumnSet::FromText("1");
  columns.shown[static_cast<int>(ColumnId::Process)] = 1;
  columns.AssignColumnPositions();
  RowStore copy(columns);
  {
    auto curl = std::make_shared<ProcessOwner>();
    curl->pid = 4242;
    curl->name = "curl";
    curl->user = "ann";
    auto bob = std::make_shared<ProcessOwner>();
    bob->user = "bob";
    RowStore rows(columns);
    for (const ProcessOwner* owner : {static_cast<const ProcessOwner*>(curl.get()), static_cast<const ProcessOwner*>(bob.get()), static_cast<const ProcessOwner*>(nullptr)}) {
      PacketRow row;
      row.kind = RowKind::Udp;
      row.owner = owner;
      rows.AppendPacket(row);
    }
    copy.Append(rows);
  }
  // The owners live on in the store the rows were copied into.
  const int process = columns.Position(ColumnId::Process);
  EXPECT_EQ(copy.Cell(0, process), "curl (4242)");
  EXPECT_EQ(copy.Cell(1, process), "(user bob)");
  EXPECT_EQ(copy.Cell(2, process), "");

  struct Case {
    const char* expression;
    const char* keeps;  // C: curl's row, B: bob's, N: the row without an owner
  };
  const std::vector<Case> cases = {
      {"proc == curl", "C"}, {"proc contains ur", "C"}, {"proc == bob", ""},  {"proc", "C"},
      {"pid == 4242", "C"},  {"pid < 5000", "C"},       {"pid", "C"},         {"user == bob", "B"},
      {"user", "CB"},        {"not proc", "BN"},        {"user contains o", "B"},
  };
  PacketFilterRow row(columns);
  for (const Case& c : cases) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(c.expression, &error);
    ASSERT_TRUE(filter) << c.expression << ": " << error.Message(std::string_view(c.expression).size());
    std::string kept;
    for (std::int64_t r = 0; r < copy.RowCount(); ++r) {
      ASSERT_TRUE(row.Read(copy, r));
      if (filter->Matches(row)) kept += "CBN"[r];
    }
    EXPECT_EQ(kept, c.keeps) << c.expression;
  }
}

}  // namespace
