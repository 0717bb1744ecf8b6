// IPv6 text both ways: any RFC 4291 form is read, and written back as RFC 5952 has it;
// IPv4 text in dotted decimals.

#include <gtest/gtest.h>

#include <string>

#include "analysis/ip_address.h"
#include "analysis/packet_row.h"

namespace {

std::string Canonical(std::string_view text) {
  const std::optional<IpAddress> address = ParseIpv6(text);
  if (!address) return "<refused>";
  char out[Ipv6TextMost];
  return std::string(out, PutIpv6Text(out, address->bytes));
}

TEST(IpAddress, Ipv6TextIsTheCanonicalFormOfAnyWrittenForm) {
  // Leading zeros dropped; one zero group kept; the longest run, the first of equal runs;
  // lower case; IPv4-mapped in dotted form, other addresses in hex.
  const std::pair<const char*, const char*> cases[] = {
      {"2001:0db8:0000:0000:0000:0000:0002:0001", "2001:db8::2:1"}, {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"}, {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:DB8::AbCd", "2001:db8::abcd"}, {"0:0:0:0:0:0:0:0", "::"}, {"::1", "::1"}, {"1:0:0:0:0:0:0:0", "1::"},
      {"::ffff:c000:0201", "::ffff:192.0.2.1"}, {"0:0:0:0:0:FFFF:192.0.2.1", "::ffff:192.0.2.1"},
      {"::c000:201", "::c000:201"}, {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"}, {"1:2:3", "<refused>"},
      {"1::2::3", "<refused>"}, {"12345::", "<refused>"}, {":1::", "<refused>"}, {"1::2:", "<refused>"},
      {"1:2:3:4:5:6:7:8:9", "<refused>"}, {"1:2:3:4:5:6:7::8", "<refused>"}, {"::ffff:1.2.3.256", "<refused>"},
      {"g::", "<refused>"},
  };
  for (const auto& [written, expected] : cases) EXPECT_EQ(Canonical(written), expected) << written;
}

TEST(IpAddress, Ipv4TextHasEachByteInOneToThreeDigits) {
  const std::pair<std::array<std::uint8_t, 4>, std::string_view> cases[] = {
      {{0, 9, 10, 99}, "0.9.10.99"}, {{100, 199, 200, 255}, "100.199.200.255"}, {{255, 1, 0, 7}, "255.1.0.7"}};
  for (const auto& [address, text] : cases) {
    char out[15];  // the room it is promised
    EXPECT_EQ(std::string_view(out, static_cast<std::size_t>(PutIpv4(out, address) - out)), text);
  }
}

}  // namespace
