// The filter language, driven by tables: each expression against the same five rows, with
// the rows it must keep; each wrong expression with the place and the word of its error.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "analysis/row_filter.h"
#include "analysis/stored_filter_row.h"

namespace {

class TestRow : public FilterRow {
 public:
  TestRow(std::map<ColumnId, std::string> cells) : cells_(std::move(cells)) {}
  std::string_view Cell(ColumnId id) const override {
    auto it = cells_.find(id);
    return it == cells_.end() ? std::string_view() : std::string_view(it->second);
  }

 private:
  std::map<ColumnId, std::string> cells_;
};

using C = ColumnId;

// T: a TCP segment, U: a UDP datagram, A: an ARP request, L: an IEEE 802.3 frame,
// G: IPv4 with a protocol outside the table.
const std::vector<TestRow>& Rows() {
  static const std::vector<TestRow> rows = {
      TestRow({{C::PacketNumber, "2"}, {ColumnId::Time, "0.001500"}, {C::Bytes, "64"}, {C::InOut, "out"},
               {C::MacSource, "00:A0:C9:12:34:56"}, {C::MacDestination, "02:00:00:00:00:0B"},
               {C::Protocol, "IP (Internet Protocol)"}, {C::IpSource, "10.0.0.2"}, {C::IpDestination, "10.0.0.1"},
               {C::UpperLayerProtocol, "TCP (Transmission Control Protocol)"}, {C::TcpConnectionNumber, "12"},
               {C::TcpSourcePort, "40000"}, {C::TcpDestinationPort, "80"}, {C::TcpSequenceNumber, "4294967295"},
               {C::TcpAcknowledgementNumber, "5001"}, {C::TcpFlags, "0x18"}, {C::TcpWindow, "65535"},
               {C::TcpChecksum, "0"}, {C::WinsockFunction, "send()"}, {C::Data, "GET / HTTP/1.0 \"q\" a\\b"}}),
      TestRow({{C::PacketNumber, "3"}, {ColumnId::Time, "12.000000"}, {C::Bytes, "47"}, {C::InOut, "in"},
               {C::MacSource, "02:00:00:00:00:0B"}, {C::MacDestination, "00:A0:C9:12:34:56"},
               {C::Protocol, "IP (Internet Protocol)"}, {C::IpSource, "10.0.0.1"}, {C::IpDestination, "192.168.1.20"},
               {C::UpperLayerProtocol, "UDP (User Datagram Protocol)"}, {C::Data, "dns.x"}}),
      TestRow({{C::PacketNumber, "4"}, {C::Bytes, "60"}, {C::InOut, "in"}, {C::MacSource, "02:00:00:00:00:0B"},
               {C::MacDestination, "FF:FF:FF:FF:FF:FF"}, {C::Protocol, "ARP (Address Resolution Protocol)"},
               {C::Data, "who-has 10.0.0.2 tell 10.0.0.1"}}),
      TestRow({{C::PacketNumber, "5"}, {C::Bytes, "60"}, {C::InOut, "in"}, {C::MacSource, "02:00:00:00:00:0B"},
               {C::MacDestination, "00:A0:C9:12:34:56"}, {C::Ieee8023Length, "46"}}),
      TestRow({{C::PacketNumber, "6"}, {C::Bytes, "80"}, {C::InOut, "in"}, {C::MacSource, "02:00:00:00:00:0B"},
               {C::MacDestination, "00:A0:C9:12:34:56"}, {C::Protocol, "0x88CC"}, {C::IpSource, "10.0.0.9"},
               {C::IpDestination, "10.0.0.2"}, {C::UpperLayerProtocol, "47"}}),
  };
  return rows;
}

struct Case {
  const char* expression;
  const char* keeps;  // the letters of the rows kept, in the order TUALG
};

void ExpectKeeps(const std::vector<Case>& cases) {
  const std::string letters = "TUALG";
  for (const Case& c : cases) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(c.expression, &error);
    ASSERT_TRUE(filter) << c.expression << ": " << error.Message(std::string_view(c.expression).size());
    std::string kept;
    for (std::size_t i = 0; i < Rows().size(); ++i) {
      if (filter->Matches(Rows()[i])) kept += letters[i];
    }
    EXPECT_EQ(kept, c.keeps) << c.expression;
  }
}

TEST(RowFilter, AFieldAloneKeepsTheRowsWhoseCellIsSet) {
  ExpectKeeps({
      {"conn", "T"}, {"data", "TUA"}, {"len", "L"}, {"proto", "TUAG"}, {"ip.dst", "TUG"}, {"time", "TU"},
      {"ip", "TUG"}, {"port", "T"}, {"mac", "TUALG"}, {"winsock", "T"}, {"!conn", "UALG"},
  });
}

TEST(RowFilter, NumbersCompareAsNumbersInDecimalOrHex) {
  ExpectKeeps({
      {"conn == 12", "T"}, {"conn == 0xC", "T"}, {"conn == 0x0c", "T"}, {"bytes > 60", "TG"}, {"bytes >= 60", "TALG"},
      {"bytes < 60", "U"}, {"bytes <= 47", "U"}, {"num != 3", "TALG"}, {"seq == 4294967295", "T"},
      {"flags == 0x18", "T"}, {"flags == 24", "T"}, {"flags & 0x02", ""}, {"flags & 0x10", "T"}, {"sum == 0", "T"},
      {"len 46", "L"}, {"bytes == 064", "T"}, {"time > 1", "U"}, {"time < 0.0016", "T"}, {"time == 0.0015", "T"},
      {"time >= 12.000000", "U"},
  });
}

TEST(RowFilter, AddressesCompareAsValuesInAnyCase) {
  ExpectKeeps({
      {"ip.src == 10.0.0.2", "T"}, {"ip.dst > 10.0.0.100", "U"}, {"ip.dst < 10.0.0.10", "TG"},
      {"ip == 10.0.0.2", "TG"}, {"ip != 10.0.0.2", "TUG"}, {"mac.src == 00:a0:c9:12:34:56", "T"},
      {"mac == 00:A0:c9:12:34:56", "TULG"}, {"mac.dst == ff:ff:ff:ff:ff:ff", "A"}, {"mac.src contains a0:c9", "T"},
      {"mac.dst > 00:A0:C9:12:34:56", "TA"},
  });
}

TEST(RowFilter, IpAddressesOfBothFamiliesCompareByValueAndByPrefix) {
  const std::vector<TestRow> rows = {TestRow({{C::IpSource, "10.0.0.2"}}), TestRow({{C::IpSource, "2001:db8::1"}}),
                                     TestRow({{C::IpSource, "::ffff:192.0.2.1"}}), TestRow({{C::IpSource, "2001:db9::5"}})};
  const std::pair<const char*, const char*> cases[] = {
      {"ip.src == 2001:0DB8:0:0::1", "b"}, {"ip.src == 2001:db8::/32", "b"},  {"ip.src == 2001:db8::/31", "bd"},
      {"ip.src == 10.0.0.0/8", "a"},       {"ip.src == 10.0.0.3/31", "a"},    {"ip.src == 10.0.0.3/32", ""},
      {"ip.src == ::ffff:192.0.2.1", "c"}, {"ip.src == 192.0.2.1", ""},       {"ip.src != 2001:db8::/32", "acd"},
      {"ip.src > 10.0.0.2", "bcd"},        {"ip.src < ::", "a"},              {"ip.src >= 2001:db8::1", "bd"},
      {"ip.src == ::/0", "bcd"},
  };
  for (const auto& [expression, keeps] : cases) {
    FilterError error;
    const std::optional<RowFilter> filter = RowFilter::Compile(expression, &error);
    ASSERT_TRUE(filter) << expression << ": " << error.Message(std::string_view(expression).size());
    std::string kept;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (filter->Matches(rows[i])) kept += static_cast<char>('a' + i);
    }
    EXPECT_EQ(kept, keeps) << expression;
  }
}

TEST(RowFilter, NamesCompareTheShortNameAndStringsTheWholeText) {
  ExpectKeeps({
      {"proto == IP", "TU"}, {"ulp == TCP", "T"}, {"ulp == UDP", "U"}, {"ulp != TCP", "UG"}, {"proto == ip", "TU"},
      {"proto == \"IP (Internet Protocol)\"", "TU"}, {"proto == \"IP\"", ""}, {"ulp == 47", "G"},
      {"ulp > 40", "TUG"}, {"proto == 0x88cc", "G"}, {"proto == ARP", "A"},
      {"winsock == \"send()\"", "T"}, {"dir == out", "T"}, {"dir == \"in\"", "UALG"}, {"dir == OUT", ""},
      {"data contains \"GET /\"", "T"}, {"data contains who-has", "A"}, {"data contains get", ""},
      {"ulp contains Datagram", "U"}, {"data == \"GET / HTTP/1.0 \\\"q\\\" a\\\\b\"", "T"},
      {"data contains \"\\\"q\\\"\"", "T"}, {"conn == \"12\"", "T"}, {"flags contains 0X1", "T"},
  });
}

// Habits of other monitors: names in any case, a protocol's name alone, their field names,
// and a near miss of a field name answered with the name meant.
TEST(RowFilter, OtherMonitorsNamesAndProtocolWordsAreUnderstood) {
  ExpectKeeps({
      {"ulp == udp", "U"}, {"proto == arp", "A"}, {"ulp != tcp", "UG"}, {"proto == ip6", ""}, {"ulp > tcp", "U"},
      {"tcp", "T"}, {"udp", "U"}, {"arp", "A"}, {"ip4", "TU"}, {"icmp", ""}, {"ip6", ""}, {"not tcp and ip", "UG"},
      {"tcp.port == 80", "T"}, {"tcp.stream == 12", "T"}, {"frame.number == 4", "A"}, {"frame.len > 60", "TG"},
      {"eth.addr == ff:ff:ff:ff:ff:ff", "A"}, {"ip.addr == 10.0.0.2", "TG"}, {"tcp.flags & 0x10", "T"},
      {"tcp.window_size == 65535", "T"}, {"TCP", "T"},
  });
  const std::pair<const char*, const char*> mistakes[] = {
      {"tcp.prot == 80", "at character 1: no field tcp.prot; did you mean tcp.port?"},
      {"ip.sr == 10.0.0.1", "at character 1: no field ip.sr; did you mean ip.src?"},
      {"conn == 1 or tcp.stram == 2", "at character 14: no field tcp.stram; did you mean tcp.stream?"},
      {"udp.port == 53", "at character 1: no field udp.port: the rows keep the ports of TCP only (port)"},
      {"zz == 1", "at character 1: expected a field name before '==' ('zz' is none)"},
  };
  for (const auto& [expression, message] : mistakes) {
    FilterError error;
    EXPECT_FALSE(RowFilter::Compile(expression, &error)) << expression;
    EXPECT_EQ(error.Message(std::string_view(expression).size()), message) << expression;
  }
}

TEST(RowFilter, AComparisonWithAnUnsetCellIsFalse) {
  ExpectKeeps({
      {"conn != 5", "T"}, {"not conn == 5", "TUALG"}, {"conn < 100", "T"}, {"len != 0", "L"},
      {"dir != out", "UALG"}, {"data != x", "TUA"}, {"port != 80", "T"}, {"ip.src contains 10", "TUG"},
      {"time", "TU"}, {"time != 0.0015", "U"},
  });
}

TEST(RowFilter, NotBindsTighterThanAndAndAndTighterThanOr) {
  ExpectKeeps({
      {"conn or dir == in and bytes == 60", "TAL"}, {"(conn or dir == in) and bytes == 60", "AL"},
      {"not conn and ip", "UG"}, {"not (conn and ip)", "UALG"}, {"!conn && ip || len", "ULG"},
      {"! ! conn", "T"}, {"not not not conn", "UALG"}, {"ulp == TCP || ulp == UDP && bytes > 50", "T"},
      {"((conn))", "T"}, {"conn==12||port==53", "T"}, {"conn and not conn", ""},
  });
}

TEST(RowFilter, AWordOrStringAloneLooksInEveryCell) {
  ExpectKeeps({
      {"who-has", "A"}, {"\"10.0.0.1\"", "TUA"}, {"Protocol", "TUA"}, {"protocol", ""}, {"0.0015", "T"},
      {"\"send()\" or dns", "TU"}, {"88CC", "G"}, {"\"\"", "TUALG"}, {"and_more", ""}, {"12", "TULG"},
  });
}

TEST(RowFilter, TheColumnsReadAreTheFieldsNamedOrAllForAWord) {
  FilterError error;
  const auto fields = RowFilter::Compile("conn == 12 or port 53 or not ip.src", &error);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->ColumnsRead(), 1u << 10 | 1u << 11 | 1u << 12 | 1u << 7);
  const auto word = RowFilter::Compile("conn or GET", &error);
  ASSERT_TRUE(word);
  EXPECT_EQ(word->ColumnsRead(), (1u << ColumnCount) - 1);
}

struct ErrorCase {
  const char* expression;
  std::size_t position;
  const char* expected;  // part of the explanation
};

TEST(RowFilter, MistakesGiveThePositionAndWhatWasExpected) {
  std::vector<ErrorCase> cases = {
      {"", 0, "a filter expression"},
      {"   ", 3, "a filter expression"},
      {"conn ==", 7, "a value after '=='"},
      {"conn == abc", 8, "a number"},
      {"conn == 99999999999999999999", 8, "a number"},
      {"ip.src == 10.0.0.256", 10, "IPv4 address"},
      {"ip == 10.0.0", 6, "IPv4 address"},
      {"ip == 1::2::3", 6, "IPv6 address"},
      {"ip == 2001:db8::/129", 17, "prefix length of 0 to 128"},
      {"ip == 10.0.0.0/0x8", 15, "prefix length of 0 to 32"},
      {"ip < 10.0.0.0/8", 5, "'==' or '!=' before a network"},
      {"mac.src == 00:A0:C9:12:34", 11, "MAC address"},
      {"time > 1.1234567", 7, "seconds"},
      {"foo == 3", 0, "a field name before '=='"},
      {"(conn", 5, "')' to close the '(' at character 1"},
      {"conn)", 4, "'and', 'or' or the end"},
      {"()", 1, "an expression inside the parentheses"},
      {"conn = 5", 5, "'=='"},
      {"conn | port", 5, "'||'"},
      {"conn and", 8, "a field, a word"},
      {"and conn", 0, "a field, a word"},
      {"data contains \"GET", 18, "'\"' to close the string opened at character 15"},
      {"data == \"a\\nb\"", 10, "escapes"},
      {"dir & 1", 6, "a numeric field before '&'"},
      {"GET HTTP", 4, "'and', 'or' or the end"},
      {"conn == 12 12", 11, "'and', 'or' or the end"},
      {"not", 3, "a field, a word"},
      {"conn < <", 7, "a value after '<'"},
  };
  const std::string deep(201, '(');
  cases.push_back({deep.c_str(), 200, "at most 200 nested parentheses"});
  for (const ErrorCase& c : cases) {
    FilterError error;
    EXPECT_FALSE(RowFilter::Compile(c.expression, &error)) << c.expression;
    EXPECT_EQ(error.position, c.position) << c.expression;
    EXPECT_NE(error.expected.find(c.expected), std::string::npos) << c.expression << ": " << error.expected;
  }
}

TEST(RowFilter, TheMessageNamesTheCharacterOrTheEnd) {
  FilterError error;
  ASSERT_FALSE(RowFilter::Compile("conn == x", &error));
  EXPECT_EQ(error.Message(9), "at character 9: expected a number (decimal or 0x-hex)");
  ASSERT_FALSE(RowFilter::Compile("(conn", &error));
  EXPECT_EQ(error.Message(5), "at the end: expected ')' to close the '(' at character 1");
}

TEST(StoredFilterRow, ReadsTheCellsOfAnyColumnSetAndNothingForHiddenOnes) {
  // Protocol, IP Destination and TCP Connection Number shown, besides the packet number.
  const ColumnSet columns = ColumnSet::FromText("10000010101000000000");
  RowStore store(columns);
  const std::vector<std::string_view> cells = {"7", "IP (Internet Protocol)", "10.0.0.1", "12"};
  store.AppendRow(cells);
  StoredFilterRow row(columns);
  row.Read(store, 0);
  EXPECT_EQ(row.Cell(C::IpDestination), "10.0.0.1");
  EXPECT_EQ(row.Cell(C::TcpConnectionNumber), "12");
  EXPECT_EQ(row.Value(C::IpDestination), 0x0A000001u);
  EXPECT_EQ(row.Cell(C::IpSource), "");
  EXPECT_EQ(row.Cell(ColumnId::Time), "");
  FilterError error;
  EXPECT_TRUE(RowFilter::Compile("conn == 12 and proto == IP and not ip.src", &error)->Matches(row));
}

}  // namespace
