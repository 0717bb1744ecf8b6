#include "analysis/columns.h"

namespace {
constexpr std::array<std::string_view, ColumnCount> kHeaders = {
    "Packet Number",
    "Bytes",
    "In/Out",
    "MAC Source Address",
    "MAC Destination Address",
    "IEEE802.3 Length",
    "Protocol",
    "IP Source Address",
    "IP Destination Address",
    "Upper Layer Protocol",
    "TCP Connection Number",
    "TCP Source Port",
    "TCP Destination Port",
    "TCP Sequence Number",
    "TCP Acknowledgement Number",
    "TCP Flags",
    "TCP Window",
    "TCP Checksum",
    "Winsock Function",
    "Data",
    "Time",
    "Process",
    "Interface",
};
constexpr bool ListOrderHoldsEveryColumnOnce() {
  std::array<bool, ColumnCount> seen{};
  for (const ColumnId id : ColumnListOrder) {
    const int i = static_cast<int>(id);
    if (i < 0 || i >= ColumnCount || seen[i]) return false;
    seen[i] = true;
  }
  return true;
}
static_assert(ListOrderHoldsEveryColumnOnce());
}  // namespace

std::string_view ColumnHeader(ColumnId id) {
  const int i = static_cast<int>(id);
  return i >= 0 && i < ColumnCount ? kHeaders[i] : std::string_view{};
}

int ColumnSet::ShownCount() const {
  int n = 0;
  for (auto flag : shown) n += flag != 0;
  return n;
}

void ColumnSet::AssignColumnPositions() {
  int k = 0;
  for (const ColumnId id : ColumnListOrder) {
    if (IsShown(id)) position[static_cast<int>(id)] = k++;
  }
}

void ColumnSet::SetShownFromText(std::string_view text) {
  for (int i = 0; i < ColumnCount; ++i) {
    shown[i] = (static_cast<std::size_t>(i) < text.size() && text[i] == '1') ? 1 : 0;
  }
}

std::string ColumnSet::ShownToText() const {
  std::string text(ColumnCount, '0');
  for (int i = 0; i < ColumnCount; ++i) {
    if (shown[i] == 1) text[i] = '1';
  }
  return text;
}

ColumnSet ColumnSet::Startup() { return FromText(StartupColumnPattern); }

ColumnSet ColumnSet::FromText(std::string_view text) {
  ColumnSet set;
  set.SetShownFromText(text);
  set.AssignColumnPositions();
  return set;
}
