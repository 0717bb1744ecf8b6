#pragma once
// One frame's row in binary form: the numbers, addresses and the Data text its cells are
// made of. The decoder fills it, the row store keeps it compactly, and the cell texts are
// built from it only when they are shown, saved, logged or written.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/columns.h"

struct ProcessOwner;

// How far the decoder went into a frame; which cells a row has follows from it.
enum class RowKind : std::uint8_t {
  Ethernet,        // nothing decoded past the EtherType (or IEEE 802.3 length)
  Arp,             // ARP: Data holds its summary
  Ipv4Unlisted,    // IP with a protocol the protocol table lacks: its number is shown
  Ipv4,            // IP with a listed protocol other than TCP and UDP (or an IPv6 later fragment)
  Udp,             // UDP: Data holds the payload
  Tcp,             // TCP: the TCP columns, the socket call and Data
};
// The IP kinds are IPv4 rows, or IPv6 rows when PacketRow::ipv6 is set.

struct PacketRow {
  std::int64_t packetNumber = 0;
  // Nanoseconds since the list's time origin; meaningful only when timeKnown.
  std::int64_t timeNs = 0;
  bool timeKnown = false;
  std::uint32_t length = 0;  // the frame's length as decoded (the Bytes cell)
  std::uint32_t wireLength = 0;  // its length on the wire: length, or more when the capture cut it
  bool outgoing = false;
  RowKind kind = RowKind::Ethernet;
  std::array<std::uint8_t, 6> macSource{};
  std::array<std::uint8_t, 6> macDestination{};
  std::uint16_t etherType = 0;  // 1500 and below: an IEEE 802.3 length
  std::array<std::uint8_t, 4> ipSource{};
  std::array<std::uint8_t, 4> ipDestination{};
  std::uint8_t ipProtocol = 0;
  bool ipv6 = false;  // an IPv6 row: the addresses are ipv6Source and ipv6Destination
  std::array<std::uint8_t, 16> ipv6Source{};
  std::array<std::uint8_t, 16> ipv6Destination{};
  // The IP header's bytes, with IPv6's extension headers: a TCP segment is taken to carry
  // no payload when the frame is 14 + these + 20 bytes long (54 for IPv4's 20).
  std::uint16_t ipHeaderBytes = 20;
  std::int64_t connection = 0;
  std::uint16_t sourcePort = 0;  // TCP and UDP
  std::uint16_t destinationPort = 0;
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgement = 0;
  std::uint8_t tcpFlags = 0;
  std::uint16_t window = 0;
  std::uint16_t checksum = 0;
  // The Data cell's text (payload as printable characters, or the ARP summary); it lives
  // in the decoder's or the store's buffer.
  std::string_view data{};
  // The process that owns the socket at the frame's local end, when the capture said so;
  // kept alive by whoever keeps the row (the decoder's state, a row store).
  const ProcessOwner* owner = nullptr;
  // The Interface cell: the name of the adapter the frame came through ("eth0",
  // "web1: eth0"); empty for a trace of one adapter. It lives where data does.
  std::string_view interfaceName{};
};

// "%u.%u.%u.%u" at out (room for 15 bytes); returns its end.
char* PutIpv4(char* out, const std::array<std::uint8_t, 4>& ip);

// Seconds with six decimals, as the Time cell shows them, at out (room for 28 bytes);
// returns its end.
char* PutSeconds(char* out, std::int64_t ns);

// Whether a row has a cell in that column at all; a row's other cells are empty.
bool CellApplies(const PacketRow& row, ColumnId id);

// The most bytes one cell text can take (the Data cell's 256 and the longest table text
// are below it).
inline constexpr std::size_t CellTextCapacity = 512;

// Writes the text of one cell, exactly as the list shows it, at out (room for
// CellTextCapacity bytes); returns its end. Empty for a cell the row does not have.
char* PutCellText(char* out, const PacketRow& row, ColumnId id);

// Whether a column's cells carry text from outside (payload bytes, a process's or an
// adapter's name), which may hold any character a text file escapes. The other cells are
// numbers, addresses and table texts: printable ASCII without a backslash, comma or quote.
constexpr bool CellHoldsOutsideText(ColumnId id) {
  return id == ColumnId::Data || id == ColumnId::Process || id == ColumnId::Interface;
}

// Whether some row's cell of that column, as PutCellText writes it, can contain text (an
// empty text is in every cell). False only when none can: a number's cell holds digits
// only, an address's digits, dots, colons and lower-case hex, a name one of its table's
// texts. A search asks once
// per column and then builds no cell that cannot hold what it looks for.
bool CellTextMayContain(ColumnId id, std::string_view text);
