#include "analysis/packet_filter_row.h"

#include <gtest/gtest.h>

#include <string>

#include "analysis/decoder.h"
#include "analysis/row_store.h"
#include "tests/support/frames.h"

namespace {

ColumnSet Shown(std::string_view pattern) {
  ColumnSet set;
  for (int i = 0; i < ColumnCount && i < static_cast<int>(pattern.size()); ++i) set.shown[i] = pattern[i] == '1';
  set.AssignColumnPositions();
  return set;
}

std::vector<PacketRow> Rows() {
  PacketRow tcp;
  tcp.packetNumber = 41;
  tcp.timeNs = 1'500'000'999;  // cut to 1.500000
  tcp.timeKnown = true;
  tcp.length = 1514;
  tcp.outgoing = true;
  tcp.kind = RowKind::Tcp;
  tcp.macSource = {0x00, 0xa0, 0xc9, 0x12, 0x34, 0x56};
  tcp.macDestination = {0xff, 0xfe, 0x01, 0x02, 0x03, 0x04};
  tcp.etherType = 0x0800;
  tcp.ipSource = {192, 168, 1, 200};
  tcp.ipDestination = {10, 0, 0, 10};
  tcp.ipProtocol = 6;
  tcp.connection = 12;
  tcp.sourcePort = 443;
  tcp.destinationPort = 50123;
  tcp.sequence = 0xfffffff0;
  tcp.acknowledgement = 77;
  tcp.tcpFlags = 0x18;
  tcp.window = 65535;
  tcp.checksum = 0xbeef;
  tcp.data = "GET / HTTP/1.0..";
  PacketRow ieee;
  ieee.packetNumber = 3;
  ieee.length = 60;
  ieee.etherType = 46;
  PacketRow unlisted = tcp;
  unlisted.kind = RowKind::Ipv4Unlisted;
  unlisted.ipProtocol = 47;
  unlisted.data = {};
  PacketRow lldp = ieee;
  lldp.etherType = 0x88cc;
  return {tcp, ieee, unlisted, lldp};
}

}  // namespace

// Every field's value read from the binary row is the one its cell text stands for, so a
// comparison gives what the same test on the shown text gives.
TEST(PacketFilterRowTest, ValuesAgreeWithTheCellTextsOfEveryColumn) {
  const ColumnSet all = Shown("111111111111111111111111");
  RowStore store(all);
  for (const PacketRow& row : Rows()) store.AppendPacket(row);
  PacketFilterRow row(all);
  for (std::int64_t r = 0; r < store.RowCount(); ++r) {
    ASSERT_TRUE(row.Read(store, r));
    for (const ColumnId id : ColumnListOrder) {
      const std::string text(row.Cell(id));
      EXPECT_EQ(row.Value(id), FilterCellValue(id, text)) << "row " << r << " column " << static_cast<int>(id)
                                                          << " text '" << text << "'";
    }
  }
}

TEST(PacketFilterRowTest, HiddenColumnsTheStoreDoesNotKeepReadAsNotSet) {
  // Only the packet number and the connection shown.
  ColumnSet set = Shown("1");
  set.shown[static_cast<int>(ColumnId::TcpConnectionNumber)] = 1;
  set.AssignColumnPositions();
  RowStore store(set);
  store.AppendPacket(Rows()[0]);
  PacketFilterRow row(set);
  ASSERT_TRUE(row.Read(store, 0));
  // Kept whether shown or not: the addresses, ports, flags and the socket call.
  EXPECT_EQ(row.Value(ColumnId::IpSource), 0xc0a801c8u);
  EXPECT_EQ(row.Value(ColumnId::TcpDestinationPort), 50123u);
  EXPECT_EQ(row.Cell(ColumnId::Protocol), "IP (Internet Protocol)");
  EXPECT_FALSE(row.Cell(ColumnId::WinsockFunction).empty());
  // Not kept while hidden.
  for (const ColumnId id : {ColumnId::MacSource, ColumnId::MacDestination, ColumnId::TcpSequenceNumber,
                            ColumnId::TcpAcknowledgementNumber, ColumnId::TcpWindow, ColumnId::TcpChecksum,
                            ColumnId::Data}) {
    EXPECT_TRUE(row.Cell(id).empty()) << static_cast<int>(id);
    EXPECT_FALSE(row.Value(id).has_value()) << static_cast<int>(id);
  }

  FilterError error;
  EXPECT_TRUE(RowFilter::Compile("conn == 12 and ip.dst < 10.0.0.11", &error)->Matches(row));
  EXPECT_FALSE(RowFilter::Compile("\"GET /\"", &error)->Matches(row));
  EXPECT_FALSE(row.Read(RowStore(2), 0)) << "no row there";
}

// A search and 'contains' look only in the cells that can hold their text, with the
// answers of looking in every cell: a text across two cells is in neither, a search is
// case-sensitive, 'contains' on a MAC or the flags is not.
TEST(PacketFilterRowTest, SearchesFindWhatTheCellTextsHoldAndNothingElse) {
  const ColumnSet all = Shown("111111111111111111111111");
  RowStore store(all);
  for (const PacketRow& row : Rows()) store.AppendPacket(row);
  // The letters of the rows kept: T (TCP), E (IEEE 802.3), G (unlisted protocol), L (LLDP).
  const std::pair<const char*, const char*> cases[] = {
      {"\"GET /\"", "T"}, {"\"get /\"", ""}, {"\"1514out\"", ""}, {"\"send()GET\"", ""}, {"00:a0:c9", ""},
      {"mac contains a0:c9", "TG"}, {"flags contains 0X18", "T"}, {"data contains \"\"", "T"}, {"\"\"", "TEGL"},
  };
  PacketFilterRow row(all);
  for (const auto& [expression, keeps] : cases) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(expression, &error);
    ASSERT_TRUE(filter) << expression;
    std::string kept;
    for (std::int64_t r = 0; r < store.RowCount(); ++r) {
      if (row.Read(store, r) && filter->Matches(row)) kept += "TEGL"[r];
    }
    EXPECT_EQ(kept, keeps) << expression;
  }
}

// 'data contains' and a search look in the whole payload while the frame is kept, past the
// cell's first 256 characters; once the frame has left, in the text the row kept.
TEST(PacketFilterRowTest, PayloadSearchesReadTheKeptFrameWhole) {
  class OneFrame : public FrameSource {
   public:
    bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override {
      if (packetNumber != 0 || !kept) return false;
      out.bytes = frame;
      return true;
    }
    frames::Bytes frame = frames::DeviceLink.TcpFrame(false, {}, std::string(300, 'x') + "GET / HTTP/1.1");
    bool kept = true;
  } source;
  const ColumnSet all = Shown("111111111111111111111111");
  RowStore store(all);
  store.SetFrameSource(&source);
  CaptureState state;
  state.columns = all;
  RowBuilder builder(store);
  DecodeFrame(0, source.frame.data(), static_cast<std::uint32_t>(source.frame.size()), builder, state);

  PacketFilterRow row(all);
  FilterError error;
  const std::optional<RowFilter> contains = RowFilter::Compile("data contains \"GET /\"", &error);
  const std::optional<RowFilter> search = RowFilter::Compile("\"GET /\"", &error);
  ASSERT_TRUE(row.Read(store, 0));
  EXPECT_TRUE(contains->Matches(row));
  EXPECT_TRUE(search->Matches(row));
  EXPECT_EQ(row.Cell(ColumnId::Data), std::string(256, 'x')) << "the cell shows the start only";

  // The frame leaves: the row keeps its cell text, and only that is searched.
  store.KeepDataBelow(1);
  source.kept = false;
  ASSERT_TRUE(row.Read(store, 0));
  EXPECT_EQ(row.Cell(ColumnId::Data), std::string(256, 'x'));
  EXPECT_FALSE(contains->Matches(row));
  EXPECT_TRUE(RowFilter::Compile("data contains xxx", &error)->Matches(row));
}
