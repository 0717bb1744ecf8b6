#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/decoder.h"
#include "tests/support/frames.h"

using namespace frames;

namespace {

constexpr const Link& kLink = DecoderLink;
constexpr Mac kLocalMac = kLink.localMac, kRemoteMac = kLink.remoteMac;
constexpr std::uint32_t kLocalIp = kLink.localIp, kRemoteIp = kLink.remoteIp;

// Keeps every row's fields and, for the shown columns the row has, the cell texts built
// from them, as the list would show them.
class RecordingSink : public RowSink {
 public:
  explicit RecordingSink(const CaptureState* state = nullptr) : state_(state) {}
  void AddRow(const PacketRow& row) override {
    fields.push_back(row);
    fields.back().data = {};
    for (const ColumnId id : ColumnListOrder) {
      if (!state_->columns.IsShown(id) || !CellApplies(row, id)) continue;
      char text[CellTextCapacity];
      const int column = state_->columns.Position(id);
      cells[{rows, column}] = std::string(text, PutCellText(text, row, id));
      if (id != ColumnId::PacketNumber) columnsSet[rows].insert(column);
    }
    ++rows;
  }
  std::int64_t RowCount() const { return rows; }
  std::string Cell(std::int64_t row, int column) const {
    auto it = cells.find({row, column});
    return it == cells.end() ? std::string("<unset>") : it->second;
  }

  std::int64_t rows = 0;
  std::vector<PacketRow> fields;
  std::map<std::pair<std::int64_t, int>, std::string> cells;
  std::map<std::int64_t, std::set<int>> columnsSet;

 private:
  const CaptureState* state_;
};

using C = ColumnId;
constexpr std::string_view kAllColumns = "111111111111111111111";

class Decoder : public ::testing::Test {
 protected:
  Decoder() {
    state.adapterMac = kLocalMac;
    state.columns = ColumnSet::FromText(kAllColumns);
  }
  // Decodes into the frame buffer as the capture thread would, as the next row.
  void Decode(const Bytes& frame) { Decode(frame, static_cast<std::uint32_t>(frame.size())); }
  void Decode(const Bytes& frame, std::uint32_t length) {
    std::copy(frame.begin(), frame.begin() + std::min(frame.size(), FrameBufferSize),
              state.frameBuffer.begin());
    DecodeFrame(sink.RowCount(), state.frameBuffer.data(), length, sink, state);
  }
  std::string Text(C id, std::int64_t row = -1) const {
    const auto last = sink.rows - 1;
    return sink.Cell(row < 0 ? last : row, state.columns.Position(id));
  }

  CaptureState state;
  RecordingSink sink{&state};
};

Bytes UdpFrame(std::string_view payload) { return kLink.UdpFrame(false, 53, 3333, payload); }
Bytes ArpFrame(std::uint16_t op) {
  return Ethernet(Broadcast, kRemoteMac, 0x0806, Arp(op, kRemoteMac, Ip(10, 0, 0, 2), Mac{}, Ip(10, 0, 0, 1)));
}
Bytes IpFrame(std::uint8_t protocol) { return kLink.Ipv4Frame(false, protocol, Bytes(20, 0x41)); }

struct KindCase {
  const char* name;
  Bytes frame;
  std::set<C> cells;  // besides PacketNumber, Bytes, InOut and the two MAC columns
};

std::vector<KindCase> KindCases() {
  const std::set<C> ip = {C::Protocol, C::IpSource, C::IpDestination, C::UpperLayerProtocol};
  std::set<C> tcp = ip;
  for (int i = int(C::TcpConnectionNumber); i <= int(C::Data); ++i) tcp.insert(C(i));
  std::set<C> udp = ip;
  udp.insert(C::Data);
  return {
      {"Ieee8023", Ethernet(kLocalMac, kRemoteMac, 1500, Bytes(46, 0xAA)), {C::Ieee8023Length}},
      {"EtherType1501", Ethernet(kLocalMac, kRemoteMac, 1501, Bytes(46, 0xAA)), {C::Protocol}},
      {"Ipv6", Ethernet(kLocalMac, kRemoteMac, 0x86DD, Ipv4(6, kRemoteIp, kLocalIp, Bytes(40))), {C::Protocol}},
      {"Arp", ArpFrame(1), {C::Protocol, C::Data}},
      {"Gre", IpFrame(47), ip},
      {"Icmp", IpFrame(1), ip},
      {"Udp", UdpFrame("hello"), udp},
      {"Tcp", kLink.TcpFrame(false, {.flags = 0x18}, "GET /"), tcp},
  };
}

TEST_F(Decoder, EachFrameKindSetsItsCellsAndNoHiddenOnes) {
  const std::vector<std::string_view> patterns = {kAllColumns, StartupColumnPattern,
                                                  "1", "10101010101010101010", "11111111111111111110"};
  for (const std::string_view pattern : patterns) {
    state.columns = ColumnSet::FromText(pattern);
    for (const KindCase& k : KindCases()) {
      SCOPED_TRACE(std::string(k.name) + " with " + std::string(pattern));
      std::set<C> all = k.cells;
      all.insert({C::Bytes, C::InOut, C::MacSource, C::MacDestination});
      std::set<int> expected;
      for (C id : all) {
        if (state.columns.IsShown(id)) expected.insert(state.columns.Position(id));
      }
      Decode(k.frame);
      const std::int64_t row = sink.RowCount() - 1;
      EXPECT_EQ(sink.Cell(row, 0), std::to_string(row));
      EXPECT_EQ(sink.columnsSet[row], expected);
    }
  }
}

TEST_F(Decoder, TcpFrameTexts) {
  Decode(kLink.TcpFrame(true,
                        {.sourcePort = 80, .destinationPort = 49152, .sequence = 4000000000u, .acknowledgement = 7,
                         .flags = 0xD8, .window = 65535, .checksum = 0x0102},
                        "hi\x01"));
  const std::vector<std::pair<C, std::string>> expected = {
      {C::PacketNumber, "0"},
      {C::Bytes, "57"},
      {C::InOut, "out"},
      {C::MacSource, "00:11:22:33:44:55"},
      {C::MacDestination, "0A:BB:CC:DD:EE:F1"},
      {C::Protocol, "IP (Internet Protocol)"},
      {C::IpSource, "10.0.0.2"},
      {C::IpDestination, "192.168.1.200"},
      {C::UpperLayerProtocol, "TCP (Transmission Control Protocol)"},
      {C::TcpConnectionNumber, "1"},
      {C::TcpSourcePort, "49152"},  // the frame's own ports, not the table's order
      {C::TcpDestinationPort, "80"},
      {C::TcpSequenceNumber, "4000000000"},
      {C::TcpAcknowledgementNumber, "7"},
      {C::TcpFlags, "0x18"},
      {C::TcpWindow, "65535"},
      {C::TcpChecksum, "258"},
      {C::WinsockFunction, "send()"},
      {C::Data, "hi."},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(Text(id), text) << ColumnHeader(id);
  Decode(kLink.TcpFrame(false, {.flags = 0x02}));
  EXPECT_EQ(Text(C::TcpFlags), "0x2");
  EXPECT_EQ(Text(C::InOut), "in");
  EXPECT_EQ(Text(C::WinsockFunction), "accept()");
  EXPECT_EQ(Text(C::Data), "");
}

TEST_F(Decoder, EtherTypeAndProtocolTexts) {
  const std::vector<std::pair<std::uint16_t, std::string>> types = {
      {0x0600, "XNS"}, {0x0806, "ARP (Address Resolution Protocol)"}, {0x8137, "Old IPX"},
      {0x8138, "Novell"}, {0x814C, "SNMP (Simple Network Management Protocol)"},
      {0x86DD, "IPNG"}, {0x05DD, "0x05DD"}, {0x88CC, "0x88CC"}, {0xFFFF, "0xFFFF"}};
  for (const auto& [type, text] : types) {
    Decode(Ethernet(kLocalMac, kRemoteMac, type, Bytes(46)));
    EXPECT_EQ(Text(C::Protocol), text);
    EXPECT_EQ(Text(C::Ieee8023Length), "<unset>");
  }
  Decode(Ethernet(kLocalMac, kRemoteMac, 1500, Bytes(46)));
  EXPECT_EQ(Text(C::Ieee8023Length), "1500");
  EXPECT_EQ(Text(C::Protocol), "<unset>");

  Decode(IpFrame(47));
  EXPECT_EQ(Text(C::UpperLayerProtocol), "47");
  Decode(IpFrame(1));
  EXPECT_EQ(Text(C::UpperLayerProtocol), "ICMP (Internet Control Message Protocol)");
  Decode(IpFrame(98));
  EXPECT_EQ(Text(C::UpperLayerProtocol), "ENCAP (Encapsulation Header)");
  EXPECT_EQ(state.liveConnections, 0);
  for (const IpProtocolEntry& entry : IpProtocolTable) {
    Decode(IpFrame(entry.number));
    EXPECT_EQ(Text(C::UpperLayerProtocol), std::string(entry.name) + " (" + entry.description + ")");
  }
}

TEST_F(Decoder, DirectionAndCounters) {
  Decode(kLink.TcpFrame(true, {}));  // 54 bytes out
  Decode(UdpFrame("abc"));        // 45 bytes in
  Decode(Ethernet(kRemoteMac, OtherMac, 0x0800, Ipv4(1, kRemoteIp, kLocalIp, {})));  // 34, other station
  Decode(Ethernet(kRemoteMac, kLocalMac, 0x0800, {}), 0);  // empty read
  EXPECT_EQ(sink.RowCount(), 3);
  EXPECT_EQ(state.packetsSent, 1);
  EXPECT_EQ(state.bytesSent, 54);
  EXPECT_EQ(state.packetsReceived, 2);
  EXPECT_EQ(state.bytesReceived, 45 + 34);
  EXPECT_EQ(Text(C::InOut, 2), "in");
  EXPECT_EQ(Text(C::WinsockFunction, 0), "[acknowledge]");
}

TEST_F(Decoder, TcpIsTrackedWhateverTheColumns) {
  state.columns = ColumnSet::FromText("1");
  Decode(kLink.TcpFrame(true, {.flags = 0x02}));
  Decode(kLink.TcpFrame(false, {.sourcePort = 81, .flags = 0x02}));
  EXPECT_EQ(state.liveConnections, 2);
  EXPECT_EQ(state.lastConnectionNumber, 2);
  EXPECT_EQ(sink.columnsSet.size(), 0u);
}

TEST_F(Decoder, ShortFramesReadZeroNotEarlierBytes) {
  Decode(kLink.TcpFrame(false, {.sourcePort = 443, .sequence = 99, .flags = 0x18}, std::string(200, 'x')));
  // The same buffer, now holding a 28-byte frame: addresses and ports lie past its end.
  Decode(kLink.TcpFrame(false, {.sourcePort = 443, .sequence = 99, .flags = 0x18}), 28);
  EXPECT_EQ(Text(C::Bytes), "28");
  EXPECT_EQ(Text(C::IpSource), "192.168.0.0");
  EXPECT_EQ(Text(C::IpDestination), "0.0.0.0");
  EXPECT_EQ(Text(C::TcpSourcePort), "0");
  EXPECT_EQ(Text(C::TcpSequenceNumber), "0");
  EXPECT_EQ(Text(C::TcpFlags), "0x0");
  EXPECT_EQ(Text(C::Data), "");
  // A 5-byte frame: the type reads as 0, an IEEE 802.3 length.
  Decode(kLink.TcpFrame(false, {}), 5);
  EXPECT_EQ(Text(C::MacDestination), "00:11:22:33:44:00");
  EXPECT_EQ(Text(C::MacSource), "00:00:00:00:00:00");
  EXPECT_EQ(Text(C::Ieee8023Length), "0");
}

TEST_F(Decoder, LengthAboveTheBufferCountsAsItsSize) {
  Bytes big = UdpFrame(std::string(2000, 'u'));
  DecodeFrame(0, big.data(), static_cast<std::uint32_t>(big.size()), sink, state);
  EXPECT_EQ(Text(C::Bytes), "1520");
  EXPECT_EQ(state.bytesReceived, 1520);
  EXPECT_EQ(Text(C::Data), std::string(256, 'u'));
}

TEST_F(Decoder, DataCell) {
  Decode(Pad(UdpFrame("ok\r\n"), 60));  // padding is not payload
  EXPECT_EQ(Text(C::Data), "ok..");
  Decode(Pad(kLink.TcpFrame(false, {.flags = 0x18, .headerWords = 8}, "\x7F~ A"), 60));
  EXPECT_EQ(Text(C::Data), ".~ A");
  Decode(kLink.TcpFrame(false, {.flags = 0x18, .headerWords = 0}, "abc"));
  EXPECT_EQ(Text(C::Data), "abc");  // a nonsense header length reads as 20 bytes
  Decode(kLink.TcpFrame(false, {.flags = 0x18}, std::string(300, 'z')));
  EXPECT_EQ(Text(C::Data), std::string(256, 'z'));
  Bytes noTotal = UdpFrame("tso");
  noTotal[16] = noTotal[17] = 0;  // offloaded segment: no total length
  Decode(noTotal);
  EXPECT_EQ(Text(C::Data), "tso");

  Decode(ArpFrame(1));
  EXPECT_EQ(Text(C::Data), "who-has 10.0.0.1 tell 10.0.0.2");
  Decode(ArpFrame(2));
  EXPECT_EQ(Text(C::Data), "10.0.0.2 is-at 0A:BB:CC:DD:EE:F1");
  Decode(ArpFrame(3));
  EXPECT_EQ(Text(C::Data), "rarp who-is 00:00:00:00:00:00 tell 0A:BB:CC:DD:EE:F1");
  Decode(ArpFrame(9));
  EXPECT_EQ(Text(C::Data), "ARP operation 9");
  state.columns = ColumnSet::FromText("11111111111111111110");
  Decode(ArpFrame(1));
  EXPECT_EQ(sink.columnsSet[sink.RowCount() - 1].size(), 5u);  // Bytes to Protocol only
}

TEST_F(Decoder, Ipv4OptionsDoNotMoveTheTcpFields) {
  const Ipv4Header routerAlert = {.options = {0x94, 0x04, 0x00, 0x00}};
  Decode(Ethernet(kLocalMac, kRemoteMac, 0x0800,
                  Ipv4(6, kRemoteIp, kLocalIp, Tcp({.sourcePort = 80, .destinationPort = 1025}), routerAlert)));
  EXPECT_EQ(Text(C::TcpSourcePort), std::to_string(0x9404));
  EXPECT_EQ(Text(C::TcpDestinationPort), "0");
  EXPECT_EQ(Text(C::TcpSequenceNumber), std::to_string((80u << 16) | 1025u));
}

TEST_F(Decoder, Ipv6RowsWalkTheExtensionHeadersToTheUpperLayer) {
  const Link6& link = DecoderLink6;
  const Ipv6Extension hop{0, {}}, routing{43, Bytes(14, 0)}, options{60, {}}, auth{51, Bytes(10, 0)};
  const Ipv6Extension first{44, {0x00, 0x01, 0, 0, 0, 7}}, later{44, {0x00, 0x09, 0, 0, 0, 7}};
  const std::string tcp = "TCP (Transmission Control Protocol)", no = "<unset>";
  Bytes cut = link.TcpFrame(false, {}, "", {{0, Bytes(30, 0)}});
  cut.resize(14 + 40 + 16);  // the Hop-by-Hop header says 32 bytes
  // The frame, then its Upper Layer Protocol, TCP Source Port, Winsock Function and Data.
  const std::vector<std::pair<Bytes, std::array<std::string, 4>>> cases = {
      {link.TcpFrame(false, {.sourcePort = 443, .flags = Psh | Ack}, "hi"), {tcp, "443", "recv()", "hi"}},
      {link.TcpFrame(false, {.sourcePort = 443}, "", {hop, routing, options, auth, first}),
       {tcp, "443", "[acknowledge]", ""}},  // no payload after this chain
      {link.TcpFrame(false, {.sourcePort = 443}, "", {later}), {tcp, no, no, no}},
      {cut, {"0", no, no, no}},
      {link.Ipv6Frame(false, 50, Bytes(24, 0xEE)), {"50", no, no, no}},  // ESP
      {link.Ipv6Frame(false, 58, Bytes(8, 0)), {"ICMPv6 (Internet Control Message Protocol for IPv6)", no, no, no}},
      {Pad(link.UdpFrame(false, 53, 3333, "ok"), 80), {"UDP (User Datagram Protocol)", no, no, "ok"}},
      {kLink.Ipv4Frame(false, 58, Bytes(8, 0)), {"58", no, no, no}},
  };
  state.columns.decodeIpv6 = true;
  for (const auto& [frame, cells] : cases) {
    Decode(frame);
    EXPECT_EQ((std::array{Text(C::UpperLayerProtocol), Text(C::TcpSourcePort), Text(C::WinsockFunction), Text(C::Data)}),
              cells);
  }
  EXPECT_EQ(Text(C::IpSource, 0), "2001:db8:0:1::c8");
  EXPECT_EQ(Text(C::IpDestination, 0), "2001:db8::2");
  // Without the setting an IPv6 frame stops at its Protocol cell.
  state.columns.decodeIpv6 = false;
  Decode(cases[0].first);
  EXPECT_EQ((std::array{Text(C::Protocol), Text(C::IpSource), Text(C::Data)}), (std::array<std::string, 3>{"IPNG", no, no}));
}

TEST_F(Decoder, TimeCountsFromTheFirstFrameOfTheList) {
  constexpr std::int64_t kStart = 1'700'000'000'123'456'789;
  const Bytes frame = UdpFrame("t");
  const auto at = [&](std::int64_t ns) {
    state.frameTimestampNs = ns;
    Decode(frame);
    return Text(C::Time);
  };
  EXPECT_EQ(at(TimeNotKnown), "<unset>");  // no known time: no cell, and no origin yet
  EXPECT_EQ(at(kStart), "0.000000");
  EXPECT_EQ(at(kStart + 12'345'678'901), "12.345678");  // cut to the microsecond
  EXPECT_EQ(at(kStart + 999), "0.000000");
  EXPECT_EQ(at(kStart + 3600'000'000'000 + 5'000), "3600.000005");
  EXPECT_EQ(at(TimeNotKnown), "<unset>");
  EXPECT_EQ(at(kStart - 500'000'000), "-0.500000");  // a file's frame before the first one
  EXPECT_EQ(at(kStart - 999), "0.000000");
  EXPECT_EQ(sink.columnsSet[1].count(state.columns.Position(C::Time)), 1u);
  EXPECT_EQ(state.columns.Position(C::Time), 1);

  // The frame numbered 0 is the first of an emptied list: it starts a new origin.
  sink = RecordingSink(&state);
  EXPECT_EQ(at(kStart + 7'000'000'000), "0.000000");
  EXPECT_EQ(at(kStart + 8'000'000'000), "1.000000");
  // A file about to be shown starts one too.
  state.ResetTimeOrigin();
  EXPECT_EQ(at(kStart + 9'000'000'000), "0.000000");
  // A clock that starts at zero: its first frame is the origin, not a frame without time.
  state.ResetTimeOrigin();
  EXPECT_EQ(at(0), "0.000000");
  EXPECT_EQ(at(2'000'000'000), "2.000000");

  state.columns = ColumnSet::FromText("11111111111111111111");  // 20 characters: Time off
  state.frameTimestampNs = kStart;
  Decode(frame);
  // Bytes, In/Out, both MACs, Protocol, both IPs, Upper Layer Protocol and Data.
  EXPECT_EQ(sink.columnsSet[sink.RowCount() - 1].size(), 9u);
}

TEST(IpProtocolTableTest, HasTheTwentyOneRecordsInOrder) {
  const std::vector<int> numbers = {1, 2, 3, 4, 5, 6, 8, 9, 17, 27, 28, 29, 35, 37, 38, 88, 89, 92, 94, 97, 98};
  ASSERT_EQ(IpProtocolCount, 21);
  for (int i = 0; i < IpProtocolCount; ++i) EXPECT_EQ(IpProtocolTable[i].number, numbers[i]);
  EXPECT_STREQ(IpProtocolTable[14].description,
               "Interdomain Policy Routing-Control Message Transport Protocol");
}

}  // namespace
