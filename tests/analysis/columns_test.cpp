#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/columns.h"

namespace {

TEST(ColumnSet, StartupPositions) {
  const ColumnSet set = ColumnSet::Startup();
  EXPECT_EQ(set.ShownCount(), 12);
  EXPECT_EQ(set.ShownToText(), "11100011111110000011");
  const std::vector<std::pair<ColumnId, int>> positions = {
      {ColumnId::PacketNumber, 0}, {ColumnId::Bytes, 1}, {ColumnId::InOut, 2},
      {ColumnId::Protocol, 3}, {ColumnId::IpSource, 4}, {ColumnId::IpDestination, 5},
      {ColumnId::UpperLayerProtocol, 6}, {ColumnId::TcpConnectionNumber, 7},
      {ColumnId::TcpSourcePort, 8}, {ColumnId::TcpDestinationPort, 9},
      {ColumnId::WinsockFunction, 10}, {ColumnId::Data, 11}};
  for (const auto& [id, position] : positions) {
    EXPECT_TRUE(set.IsShown(id));
    EXPECT_EQ(set.Position(id), position) << ColumnHeader(id);
  }
}

TEST(ColumnSet, TextFormCases) {
  struct Case {
    std::string text;
    int shownCount;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"11111111111111111111", 20, "11111111111111111111"},
      {"1", 1, "10000000000000000000"},
      {"1a1 1x10000000000000", 4, "10101010000000000000"},
      {"1111111111111111111100000", 20, "11111111111111111111"},  // past 20 ignored
      {"000000000000000000001111", 0, "00000000000000000000"},
      {"", 0, "00000000000000000000"},
  };
  for (const Case& c : cases) {
    const ColumnSet set = ColumnSet::FromText(c.text);
    EXPECT_EQ(set.ShownCount(), c.shownCount) << c.text;
    EXPECT_EQ(set.ShownToText(), c.written) << c.text;
  }
  const ColumnSet all = ColumnSet::FromText("11111111111111111111");
  for (int i = 0; i < ColumnCount; ++i) EXPECT_EQ(all.position[i], i);
}

TEST(ColumnSet, HeadersAndCaptureStateStart) {
  EXPECT_EQ(ColumnHeader(ColumnId::TcpAcknowledgementNumber), "TCP Acknowledgement Number");
  EXPECT_EQ(ColumnHeader(ColumnId::Ieee8023Length), "IEEE802.3 Length");
  EXPECT_EQ(ColumnHeader(static_cast<ColumnId>(20)), "");
  CaptureState state;
  EXPECT_EQ(state.packetsReceived + state.packetsSent + state.bytesSent + state.bytesReceived, 0);
  EXPECT_EQ(state.liveConnections + state.lastConnectionNumber, 0);
  EXPECT_TRUE(state.connections.Empty());
  EXPECT_EQ(state.columns.ShownCount(), 12);
}

}  // namespace
