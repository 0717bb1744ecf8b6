// Which frames wake the agent to look a connection's owner up at once: its filter
// expression compiled as the agent does and run over built frames.

#include "agent/connection_starts.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "tests/support/frames.h"

namespace {

using namespace frames;

bool Takes(const std::optional<std::string>& captureFilter, const Bytes& frame) {
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 256);
  bpf_program program{};
  EXPECT_EQ(pcap_compile(dead, &program, ConnectionStartsExpression(captureFilter).c_str(), 1, PCAP_NETMASK_UNKNOWN), 0)
      << pcap_geterr(dead);
  pcap_pkthdr header{};
  header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
  const bool taken = pcap_offline_filter(&program, &header, frame.data()) != 0;
  pcap_freecode(&program);
  pcap_close(dead);
  return taken;
}

TEST(ConnectionStartsTest, OnlyTcpSegmentsWithSynThatTheCaptureTakesWakeTheAgent) {
  const Mac a = {2, 0, 0, 0, 0, 1}, b = {2, 0, 0, 0, 0, 2};
  const auto v4 = [&](std::uint8_t flags, std::uint16_t port) {
    return Ethernet(b, a, EtherTypeIpv4, Ipv4(6, Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Tcp({.destinationPort = port, .flags = flags})));
  };
  const Ip6 x = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, y = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  const auto v6 = [&](std::uint8_t flags) {
    return Ethernet(b, a, EtherTypeIpv6, Ipv6(6, x, y, Tcp({.flags = flags})));
  };
  const Bytes udp = Ethernet(b, a, EtherTypeIpv4, Ipv4(17, Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Udp(53, 53, Text("q"))));
  const Bytes udp6 = Ethernet(b, a, EtherTypeIpv6, Ipv6(17, x, y, Udp(53, 53, Text("q"))));
  struct Case {
    const char* what;
    std::optional<std::string> filter;
    Bytes frame;
    bool taken;
  } cases[] = {
      {"IPv4 SYN", std::nullopt, v4(Syn, 80), true},
      {"IPv4 SYN-ACK", std::nullopt, v4(Syn | Ack, 80), true},
      {"IPv4 ACK", std::nullopt, v4(Ack, 80), false},
      {"IPv6 SYN", std::nullopt, v6(Syn), true},
      {"IPv6 ACK", std::nullopt, v6(Ack | Psh), false},
      {"UDP", std::nullopt, udp, false},
      {"UDP over IPv6", std::nullopt, udp6, false},
      {"SYN the capture takes", "tcp port 80", v4(Syn, 80), true},
      {"SYN the capture leaves out", "tcp port 80", v4(Syn, 81), false},
      {"empty capture filter", "", v4(Syn, 81), true},
  };
  for (const Case& c : cases) EXPECT_EQ(Takes(c.filter, c.frame), c.taken) << c.what;
}

}  // namespace
