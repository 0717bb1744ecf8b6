#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "analysis/columns.h"

namespace {

// A text form of the 21 columns the catalogue had before Interface, the rest hidden.
std::string Padded(std::string text) { return text + std::string(ColumnCount - text.size(), '0'); }

TEST(ColumnSet, StartupPositions) {
  const ColumnSet set = ColumnSet::Startup();
  EXPECT_EQ(set.ShownCount(), 13);
  EXPECT_FALSE(set.IsShown(ColumnId::Process));
  EXPECT_EQ(set.ShownToText(), Padded("111000111111100000111"));
  // Time, the last column of the catalogue, stands right after the packet number.
  const std::vector<std::pair<ColumnId, int>> positions = {
      {ColumnId::PacketNumber, 0}, {ColumnId::Time, 1}, {ColumnId::Bytes, 2}, {ColumnId::InOut, 3},
      {ColumnId::Protocol, 4}, {ColumnId::IpSource, 5}, {ColumnId::IpDestination, 6},
      {ColumnId::UpperLayerProtocol, 7}, {ColumnId::TcpConnectionNumber, 8},
      {ColumnId::TcpSourcePort, 9}, {ColumnId::TcpDestinationPort, 10},
      {ColumnId::WinsockFunction, 11}, {ColumnId::Data, 12}};
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
  // Written with every column after the first n shown or hidden.
  const auto ones = [](std::size_t n) { return std::string(n, '1') + std::string(ColumnCount - n, '0'); };
  const std::string none(ColumnCount, '0');
  const std::vector<Case> cases = {
      {ones(ColumnCount), ColumnCount, ones(ColumnCount)},
      // Texts written before the Time and Process columns keep their meaning, with those hidden.
      {"11111111111111111111", 20, ones(20)},
      {"111111111111111111111", 21, ones(21)},
      {"1", 1, ones(1)},
      {"1a1 1x10000000000000", 4, "1010101" + none.substr(7)},
      {ones(ColumnCount) + "00000", ColumnCount, ones(ColumnCount)},  // past the last column ignored
      {none + "111", 0, none},
      {"000000000000000000001", 1, "000000000000000000001" + none.substr(21)},
      {"", 0, none},
  };
  for (const Case& c : cases) {
    const ColumnSet set = ColumnSet::FromText(c.text);
    EXPECT_EQ(set.ShownCount(), c.shownCount) << c.text;
    EXPECT_EQ(set.ShownToText(), c.written) << c.text;
  }
  const ColumnSet all = ColumnSet::FromText(ones(ColumnCount));
  for (int k = 0; k < ColumnCount; ++k) EXPECT_EQ(all.Position(ColumnListOrder[k]), k);
  EXPECT_EQ(all.Position(ColumnId::Time), 1);
  EXPECT_EQ(all.Position(ColumnId::Bytes), 2);
  EXPECT_EQ(all.Position(ColumnId::Process), all.Position(ColumnId::WinsockFunction) + 1);
  EXPECT_EQ(all.Position(ColumnId::Data), ColumnCount - 1);
}

TEST(ColumnSet, HeadersAndCaptureStateStart) {
  EXPECT_EQ(ColumnHeader(ColumnId::TcpAcknowledgementNumber), "TCP Acknowledgement Number");
  EXPECT_EQ(ColumnHeader(ColumnId::Ieee8023Length), "IEEE802.3 Length");
  EXPECT_EQ(ColumnHeader(ColumnId::Time), "Time");
  EXPECT_EQ(ColumnHeader(static_cast<ColumnId>(ColumnCount)), "");
  CaptureState state;
  EXPECT_EQ(state.packetsReceived + state.packetsSent + state.bytesSent + state.bytesReceived, 0);
  EXPECT_EQ(state.liveConnections + state.lastConnectionNumber, 0);
  EXPECT_TRUE(state.connections.Empty());
  EXPECT_EQ(state.columns.ShownCount(), 13);
  EXPECT_EQ(state.timeOriginNs, TimeNotKnown);
}

}  // namespace
