// orrisvane-dump -Y: the rows it writes are those of the whole dump that the filter language
// keeps, with any column set; numbering and connections stay those of the whole capture.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "analysis/row_filter.h"
#include "tests/support/dump_run.h"

namespace dump_test {
namespace {

using ::testing::HasSubstr;

const std::string AllColumns(ColumnCount, '1');
const std::string Startup = "11100011111110000011";

// Three TCP connections (the second never answered), DNS over UDP both ways, ARP, an
// IEEE 802.3 frame and a frame of an EtherType without a name.
std::vector<Bytes> Traffic() {
  const Link& link = DeviceLink;
  const Link other = {link.localMac, {0x02, 0x00, 0x00, 0x00, 0x00, 0x0C}, link.localIp, Ip(192, 168, 7, 9)};
  return {
      link.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .sequence = 1000, .flags = Syn}),
      link.TcpFrame(false, {.sourcePort = 80, .destinationPort = 40000, .sequence = 5000, .acknowledgement = 1001,
                            .flags = Syn | Ack}),
      link.UdpFrame(true, 53, 5353, "query\tx"),
      other.TcpFrame(true, {.sourcePort = 443, .destinationPort = 40001, .sequence = 7, .flags = Syn}),
      link.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .sequence = 1001, .acknowledgement = 5001,
                           .flags = Psh | Ack},
                    "GET / HTTP/1.0\r\n"),
      link.UdpFrame(false, 53, 5353, "answer\\"),
      Pad(Ethernet(Broadcast, link.remoteMac, EtherTypeArp, Arp(1, link.remoteMac, link.remoteIp, Mac{}, link.localIp)),
          60),
      Pad(Ethernet(link.localMac, link.remoteMac, 46, Bytes(46, 0xAA)), 60),
      Ethernet(link.localMac, link.remoteMac, 0x88CC, Bytes(30, 0)),
      other.TcpFrame(false, {.sourcePort = 22, .destinationPort = 50000, .sequence = 9, .flags = Syn}),
      link.TcpFrame(false, {.sourcePort = 80, .destinationPort = 40000, .sequence = 5001, .acknowledgement = 1017,
                            .flags = Ack | Fin}),
  };
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(text.substr(begin, end - begin + 1));
  }
  return lines;
}

// A written row read back: cells split at TAB, the file escapes undone.
class WrittenRow : public FilterRow {
 public:
  explicit WrittenRow(const std::string& line) {
    std::string cell;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
      if (line[i] == '\t') {
        cells_.push_back(cell);
        cell.clear();
      } else if (line[i] == '\\') {
        const char c = line[++i];
        cell += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
      } else {
        cell += line[i];
      }
    }
    cells_.push_back(cell);
  }
  // The rows are written with every column, in list order.
  std::string_view Cell(ColumnId id) const override {
    const auto i = static_cast<std::size_t>(ColumnSet::FromText(std::string(ColumnCount, '1')).Position(id));
    return i < cells_.size() ? std::string_view(cells_[i]) : std::string_view();
  }

 private:
  std::vector<std::string> cells_;
};

// The cells of an all-column line that a column set shows, as that set's line.
std::string Shown(const std::string& allColumnsLine, const std::string& columns) {
  const std::vector<std::string> cells = [&] {
    std::vector<std::string> out(1);
    for (char c : allColumnsLine.substr(0, allColumnsLine.size() - 1)) {
      if (c == '\t') {
        out.emplace_back();
      } else {
        out.back() += c;
      }
    }
    return out;
  }();
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const auto id = static_cast<std::size_t>(ColumnListOrder[i]);
    if (id >= columns.size() || columns[id] != '1') continue;
    if (!line.empty() || i != 0) line += '\t';
    line += cells[i];
  }
  return line + '\n';
}

class DumpFilterTest : public DumpTest {
 protected:
  std::string WriteTraffic() {
    std::string path = PathOf("traffic.pcap");
    PcapWriter writer(path);
    std::uint64_t t = 1'700'000'000'000'000;
    for (const Bytes& frame : Traffic()) writer.Frame(frame, t += 1000);
    writer.Close();
    return path;
  }
};

TEST_F(DumpFilterTest, WritesTheRowsTheFilterKeepsWhateverColumnsAreShown) {
  const std::string path = WriteTraffic();
  DumpResult whole = Run({"-r", path, "--mac", "00:A0:C9:12:34:56", "--no-header", "--columns", AllColumns});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::string> rows = Lines(whole.out);
  ASSERT_EQ(rows.size(), Traffic().size());

  const std::vector<std::string> expressions = {
      "conn == 2 or port 53", "conn", "not conn", "conn != 1", "not conn == 1", "ulp == UDP and dir == out",
      "ip == 192.168.7.9", "mac.src == 00:a0:c9:12:34:56", "len", "proto == 0x88cc", "flags & 0x01",
      "data contains \"GET /\"", "who-has", "\"answer\\\\\"", "winsock == \"connect()\" || winsock == \"accept()\"",
      "seq >= 1001 && !(sport == 80)", "bytes < 60", "num > 8", "query"};
  const std::vector<std::string> columnSets = {AllColumns, Startup, "10000000000000000000", "11000000001000000001"};
  for (const std::string& expression : expressions) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(expression, &error);
    ASSERT_TRUE(filter) << expression;
    std::vector<std::string> kept;
    for (const std::string& row : rows) {
      if (filter->Matches(WrittenRow(row))) kept.push_back(row);
    }
    for (const std::string& columns : columnSets) {
      std::string expected;
      for (const std::string& row : kept) expected += Shown(row, columns);
      DumpResult r = Run({"-r", path, "--mac", "00:A0:C9:12:34:56", "--no-header", "--columns", columns, "-Y",
                          expression});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, expected) << expression << " with " << columns;
      EXPECT_EQ(r.err, "orrisvane-dump: " + std::to_string(rows.size()) + " frames decoded, " +
                           std::to_string(kept.size()) + " kept by -Y\n")
          << expression;
    }
  }
}

TEST_F(DumpFilterTest, NumbersAndConnectionsAreThoseOfTheWholeCapture) {
  DumpResult r = Run({"-r", WriteTraffic(), "--mac", "00:A0:C9:12:34:56", "--columns", "10000000001000000000",
                      "-Y", "conn >= 2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Line({"Packet Number", "TCP Connection Number"}) + Line({"3", "2"}) + Line({"9", "3"}));
}

TEST_F(DumpFilterTest, AFilterKeepingEveryRowChangesNoByte) {
  const std::string path = WriteTraffic();
  for (const std::string& columns : {Startup, AllColumns, std::string("10000000000000000001")}) {
    DumpResult plain = Run({"-r", path, "--columns", columns});
    DumpResult filtered = Run({"-r", path, "--columns", columns, "-Y", "num or \"\""});
    ASSERT_EQ(plain.status, 0);
    EXPECT_EQ(filtered.out, plain.out) << columns;
  }
}

TEST_F(DumpFilterTest, TheLimitCountsTheRowsKept) {
  DumpResult r = Run({"-r", WriteTraffic(), "--no-header", "--columns", "10000000000000000000", "-Y", "ip", "-c", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Line({"0"}) + Line({"1"}) + Line({"2"}));
  EXPECT_EQ(r.err, "orrisvane-dump: 3 frames decoded, 3 kept by -Y\n");
}

TEST_F(DumpFilterTest, AMistakeIsAnArgumentErrorWithItsPlace) {
  DumpResult r = Run({"-r", WriteTraffic(), "-Y", "conn == 12 or prot 53"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "orrisvane-dump: -Y: at character 20: expected 'and', 'or' or the end of the expression\n");
  DumpResult missing = Run({"-r", WriteTraffic(), "-Y"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, HasSubstr("-Y needs a filter expression"));
}

}  // namespace
}  // namespace dump_test
