#pragma once
// The filter language of the report rows, shared by the window and orrisvane-dump: an
// expression is compiled once into a small tree and then asked about one row at a time.
// A row is seen through FilterRow, by column, whatever columns are shown, so the same
// filter runs on stored rows, on rows kept in binary and on test rows alike.
//
//   expr    := and { ("or" | "||") and }
//   and     := unary { ("and" | "&&") unary }
//   unary   := ("not" | "!") unary | "(" expr ")" | test
//   test    := FIELD [ [op] VALUE ] | WORD | STRING
//   op      := "==" | "!=" | "<" | "<=" | ">" | ">=" | "contains" | "&"
//   VALUE   := WORD | STRING
// A field followed by a value with no operator between them compares with "==".

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/columns.h"
#include "analysis/ip_address.h"

struct ProcessOwner;


// What a search or 'contains' looks for, compiled once: the text, and the columns whose
// cells can hold it when a row writes them from its fields (CellTextMayContain), bit i
// for column id i.
struct FilterNeedle {
  std::string text;
  std::uint32_t fieldColumns = 0;
  static FilterNeedle For(std::string text);
};

// One row as the filter reads it.
class FilterRow {
 public:
  virtual ~FilterRow() = default;
  // The cell's text as the list shows it (before any file escaping); empty when the cell
  // is not set. Asked for every column, shown or not.
  virtual std::string_view Cell(ColumnId id) const = 0;
  // The cell's value as a number (numbers, IPv4 and MAC addresses, the time in
  // microseconds, a protocol shown as a number), nothing when the cell is not set or
  // holds no such value. This one reads it from Cell's text; a row that keeps its fields
  // in binary can give them without formatting.
  virtual std::optional<std::uint64_t> Value(ColumnId id) const;
  // The cell's IPv4 or IPv6 address, nothing when the cell is not set or holds none. This
  // one reads it from Cell's text.
  virtual std::optional<IpAddress> Address(ColumnId id) const;
  // The columns whose cells may contain the needle's text, bit i for column id i: the
  // others surely do not, so their texts need not be built. This one names them all; a
  // row that writes its cells from fields names the needle's fieldColumns.
  virtual std::uint32_t ColumnsThatMayContain(const FilterNeedle& needle) const;
  // The text a search or 'contains' looks in: the cell's, unless the row can give more
  // than the cell shows (the whole payload of a frame whose Data cell shows its start).
  virtual std::string_view SearchText(ColumnId id) const { return Cell(id); }
  // The owner behind the Process cell, whose name, PID and user the fields proc, pid and
  // user compare; null when the row has none (a row of texts has none).
  virtual const ProcessOwner* Owner() const { return nullptr; }
};

// How a field's cell is compared with a word.
enum class FilterFieldKind {
  Number,  // decimal, or 0x-hex as the flags are shown
  Ipv4,    // an IPv4 or IPv6 address, with an optional /prefix length
  Mac,     // six hex pairs joined by colons, any case
  Seconds, // seconds with up to six decimals, compared in microseconds
  Name,    // the short name before " (": "IP (Internet Protocol)" is IP
  Text,    // the whole cell text
  // Parts of the Process cell's owner, not of its text.
  ProcessName,  // the process name, compared as text
  ProcessId,    // the PID, a number
  UserName,     // the owner's user name, compared as text
};

struct FilterField {
  std::string_view name;
  ColumnId column;
  FilterFieldKind kind;
};

// Every field name, in list order, then the shorthands (which name two columns each).
inline constexpr std::array<FilterField, 25> FilterFields = {{
    {"num", ColumnId::PacketNumber, FilterFieldKind::Number},
    {"time", ColumnId::Time, FilterFieldKind::Seconds},
    {"bytes", ColumnId::Bytes, FilterFieldKind::Number},
    {"dir", ColumnId::InOut, FilterFieldKind::Text},
    {"mac.src", ColumnId::MacSource, FilterFieldKind::Mac},
    {"mac.dst", ColumnId::MacDestination, FilterFieldKind::Mac},
    {"len", ColumnId::Ieee8023Length, FilterFieldKind::Number},
    {"proto", ColumnId::Protocol, FilterFieldKind::Name},
    {"ip.src", ColumnId::IpSource, FilterFieldKind::Ipv4},
    {"ip.dst", ColumnId::IpDestination, FilterFieldKind::Ipv4},
    {"ulp", ColumnId::UpperLayerProtocol, FilterFieldKind::Name},
    {"conn", ColumnId::TcpConnectionNumber, FilterFieldKind::Number},
    {"sport", ColumnId::TcpSourcePort, FilterFieldKind::Number},
    {"dport", ColumnId::TcpDestinationPort, FilterFieldKind::Number},
    {"seq", ColumnId::TcpSequenceNumber, FilterFieldKind::Number},
    {"ack", ColumnId::TcpAcknowledgementNumber, FilterFieldKind::Number},
    {"flags", ColumnId::TcpFlags, FilterFieldKind::Number},
    {"win", ColumnId::TcpWindow, FilterFieldKind::Number},
    {"sum", ColumnId::TcpChecksum, FilterFieldKind::Number},
    {"winsock", ColumnId::WinsockFunction, FilterFieldKind::Text},
    {"proc", ColumnId::Process, FilterFieldKind::ProcessName},
    {"pid", ColumnId::Process, FilterFieldKind::ProcessId},
    {"user", ColumnId::Process, FilterFieldKind::UserName},
    {"iface", ColumnId::Interface, FilterFieldKind::Text},
    {"data", ColumnId::Data, FilterFieldKind::Text},
}};

struct FilterShorthand {
  std::string_view name;
  std::string_view first, second;  // field names
};
inline constexpr std::array<FilterShorthand, 3> FilterShorthands = {{
    {"ip", "ip.src", "ip.dst"},
    {"mac", "mac.src", "mac.dst"},
    {"port", "sport", "dport"},
}};

// Field names of other monitors that stand for ours (a field or a shorthand). One with no
// field of ours names what the rows do not keep: it is refused with the reason.
struct FilterSynonym {
  std::string_view name;
  std::string_view field;
};
inline constexpr std::array<FilterSynonym, 15> FilterSynonyms = {{
    {"frame.number", "num"},     {"frame.len", "bytes"},   {"eth.src", "mac.src"},      {"eth.dst", "mac.dst"},
    {"eth.addr", "mac"},         {"ip.addr", "ip"},        {"tcp.port", "port"},        {"tcp.srcport", "sport"},
    {"tcp.dstport", "dport"},    {"tcp.seq", "seq"},       {"tcp.ack", "ack"},          {"tcp.flags", "flags"},
    {"tcp.window_size", "win"},  {"tcp.stream", "conn"},   {"udp.port", ""},
}};

// A protocol's name alone is true on the rows of that protocol: its number, looked up in
// the name table of the column (the EtherType's or the IPv4 protocol's).
struct FilterProtocolWord {
  std::string_view word;
  ColumnId column;
  std::uint16_t number;
};
inline constexpr std::array<FilterProtocolWord, 6> FilterProtocolWords = {{
    {"tcp", ColumnId::UpperLayerProtocol, 6},
    {"udp", ColumnId::UpperLayerProtocol, 17},
    {"icmp", ColumnId::UpperLayerProtocol, 1},
    {"arp", ColumnId::Protocol, 0x0806},
    {"ip4", ColumnId::Protocol, 0x0800},
    {"ip6", ColumnId::Protocol, 0x86DD},
}};

// The value a cell text stands for, read as the field of that column reads it.
std::optional<std::uint64_t> FilterCellValue(ColumnId id, std::string_view text);

// Why an expression does not compile: where (a byte offset into it) and what was expected.
struct FilterError {
  std::size_t position = 0;
  std::string expected;
  // Said in place of "expected ..." where the mistake is better told than what was
  // expected ("no field tcp.prot; did you mean tcp.port?").
  std::string problem;
  // "at character N: expected ..." (or "at the end: ..."), one line.
  std::string Message(std::size_t textLength) const;
};

class RowFilter {
 public:
  // Compiles text; on a mistake returns nothing and fills *error.
  static std::optional<RowFilter> Compile(std::string_view text, FilterError* error);

  RowFilter(RowFilter&&) noexcept;
  RowFilter& operator=(RowFilter&&) noexcept;
  ~RowFilter();

  bool Matches(const FilterRow& row) const;

  // The columns whose cells the filter reads (a bare word or string reads them all):
  // bit i stands for column id i.
  std::uint32_t ColumnsRead() const { return columnsRead_; }

 private:
  struct Node;
  RowFilter();
  bool Evaluate(int node, const FilterRow& row) const;
  bool OwnerMatches(const Node& node, const ProcessOwner* owner) const;

  std::vector<Node> nodes_;
  int root_ = 0;
  std::uint32_t columnsRead_ = 0;
  friend class FilterParser;
};
