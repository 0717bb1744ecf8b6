#pragma once
// Turns one captured Ethernet frame into one row: the binary fields its cells are made of.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/capture_state.h"
#include "analysis/frame_bytes.h"
#include "analysis/row_sink.h"

// Decodes frame[0, length) of the state's frame buffer layout: direction from the source
// MAC against state.adapterMac, the four traffic counters, the time since the list's time
// origin (state.frameTimestampNs), one row with that packet number handed to the sink,
// and the connection tracker for every TCP frame. IPv6 frames are decoded only when the
// column set says so (decodeIpv6). The row's Data text is made only when the Data column
// is shown. Bytes at or past length read as zero. A length of 0 does
// nothing; a length above FrameBufferSize is treated as FrameBufferSize.
void DecodeFrame(std::int64_t packetNumber, const std::uint8_t* frame, std::uint32_t length,
                 RowSink& sink, CaptureState& state);

// Room for the Data cell's text: at most 256 payload characters, or an ARP summary.
inline constexpr std::size_t DataTextCapacity = 320;

// The Data cell of a frame exactly as DecodeFrame makes it with that IPv6 setting (empty
// for a frame that has none), written into buffer: rows whose frames are kept elsewhere
// rebuild it from there.
std::string_view FrameDataText(const std::uint8_t* frame, std::uint32_t length, bool decodeIpv6,
                               std::array<char, DataTextCapacity>& buffer);

// The Data cell's text without its bound: the whole payload of a TCP or UDP frame, one
// character a byte as the cell shows it (an ARP frame's summary as the cell has it).
// Searches look here, so that a word past the cell's end is found.
void FramePayloadText(const std::uint8_t* frame, std::uint32_t length, bool decodeIpv6, std::string& out);

// Where the IPv4 datagram ends within the frame: the total length bounds it so that the
// padding of a short Ethernet frame is not taken for payload. A total length of 0 (set by
// segmentation offload on locally sent frames) says nothing, so the frame bounds it.
std::size_t IpDatagramEnd(const FrameBytes& frame);

// A payload's place in a frame, [begin, end); end is never below begin, and either may lie
// past the delivered bytes (FrameBytes::Range clips).
struct PayloadBounds {
  std::size_t begin = 0;
  std::size_t end = 0;
};
struct IpLayout;
// The payload of a TCP frame with that IP layer, exactly where the Data cell takes it from.
PayloadBounds TcpPayloadBounds(const FrameBytes& frame, const IpLayout& ip);

struct IpProtocolEntry {
  std::uint8_t number;
  char name[20];
  char description[260];
};
inline constexpr int IpProtocolCount = 21;
inline constexpr IpProtocolEntry IpProtocolTable[IpProtocolCount] = {
    {1, "ICMP", "Internet Control Message Protocol"},
    {2, "IGMP", "Internet Group Management Protocol"},
    {3, "GGP", "Gateway-to-Gateway Protocol"},
    {4, "IP", "IP encapsulated in IP"},
    {5, "ST", "Stream"},
    {6, "TCP", "Transmission Control Protocol"},
    {8, "EGP", "Exterior Gateway Protocol"},
    {9, "IGP", "any Interior Gateway Protocol"},
    {17, "UDP", "User Datagram Protocol"},
    {27, "RDP", "Reliable Data Protocol"},
    {28, "IRTP", "Internet Reliable Transaction Protocol"},
    {29, "ISO-TP4", "ISO-Transport Protocol Class 4"},
    {35, "IDPR", "Interdomain Policy Routing"},
    {37, "DDP", "Datagram Delivery Protocol"},
    {38, "IDPR-CMTP", "Interdomain Policy Routing-Control Message Transport Protocol"},
    {88, "IGRP", "IGRP"},
    {89, "OSPFIGP", "OSPFIGP"},
    {92, "MTP", "Multicast Transport Protocol"},
    {94, "IPIP", "IP encapsulated in IP Protocol"},
    {97, "ETHERIP", "Ethernet encapsulated in IP"},
    {98, "ENCAP", "Encapsulation Header"},
};

// The one upper-layer protocol that only IPv6 rows name (number 58): an IPv4 row shows 58
// as a number, as before.
inline constexpr std::string_view Icmpv6CellText = "ICMPv6 (Internet Control Message Protocol for IPv6)";

// The "Upper Layer Protocol" cell texts of the table's records, "name (description)", put
// together from the table once, at compile time: the decoder writes them in one piece and
// the row store knows them as frequent texts.
class IpProtocolCellTexts {
 public:
  constexpr IpProtocolCellTexts() {
    std::size_t at = 0;
    for (int i = 0; i < IpProtocolCount; ++i) {
      begin_[i] = at;
      for (std::string_view part : {std::string_view(IpProtocolTable[i].name), std::string_view(" ("),
                                    std::string_view(IpProtocolTable[i].description), std::string_view(")")}) {
        for (const char c : part) chars_[at++] = c;
      }
    }
    begin_[IpProtocolCount] = at;
  }
  // The text of record i of IpProtocolTable.
  constexpr std::string_view operator[](int i) const {
    return {chars_.data() + begin_[i], begin_[i + 1] - begin_[i]};
  }

 private:
  static constexpr std::size_t TextBytes = [] {
    std::size_t n = 0;
    for (const IpProtocolEntry& entry : IpProtocolTable) {
      n += std::string_view(entry.name).size() + std::string_view(entry.description).size() + 3;
    }
    return n;
  }();

  std::array<char, TextBytes> chars_{};
  std::array<std::size_t, IpProtocolCount + 1> begin_{};
};
inline constexpr IpProtocolCellTexts IpProtocolCellText;

// The "Protocol" cell texts of the EtherTypes above 1500 that have a name.
struct EtherTypeEntry {
  std::uint16_t type;
  std::string_view name;
};
inline constexpr std::array<EtherTypeEntry, 7> EtherTypeNames = {{
    {0x0600, "XNS"},
    {0x0800, "IP (Internet Protocol)"},
    {0x0806, "ARP (Address Resolution Protocol)"},
    {0x8137, "Old IPX"},
    {0x8138, "Novell"},
    {0x814C, "SNMP (Simple Network Management Protocol)"},
    {0x86DD, "IPNG"},
}};

// The "Protocol" cell text of an EtherType above 1500, written into buf; returns its text.
std::string_view EtherTypeName(std::uint16_t type, char (&buf)[8]);
