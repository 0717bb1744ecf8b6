// The agent's command line: the modes, and each kind of mistake refused with a reason.

#include "agent/agent_args.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <vector>

#include "tests/support/frames.h"

namespace {

using ::testing::HasSubstr;

std::optional<AgentOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseAgentArgs(args, error ? error : &ignored);
}

TEST(AgentArgsTest, ModesAndTheirOptions) {
  auto capture = Parse({"-i", "eth0", "--promiscuous", "-f", "udp port 53", "-c", "10"});
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->mode, AgentMode::Capture);
  EXPECT_EQ(capture->interfaceName, "eth0");
  EXPECT_TRUE(capture->promiscuous);
  EXPECT_EQ(capture->filter, "udp port 53");
  EXPECT_EQ(capture->maxFrames, 10);

  auto probe = Parse({"--probe", "lo"});
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->mode, AgentMode::Probe);
  EXPECT_EQ(probe->interfaceName, "lo");
  EXPECT_EQ(Parse({"-D"})->mode, AgentMode::ListInterfaces);
  EXPECT_EQ(Parse({"--help"})->mode, AgentMode::Help);
}

TEST(AgentArgsTest, MistakesAreRefusedWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{}, "one of -i IFNAME"},
      {{"-i", ""}, "-i needs an interface name"},
      {{"--probe"}, "--probe needs an interface name"},
      {{"-i", "lo", "-D"}, "only one of"},
      {{"-i", "lo", "-c", "0"}, "-c: '0' is not a frame count"},
      {{"-i", "lo", "-c", "12x"}, "-c: '12x' is not a frame count"},
      {{"-i", "lo", "-f"}, "-f needs a filter expression"},
      {{"--probe", "lo", "-f", "udp"}, "go with -i only"},
      {{"-i", "lo", "-x"}, "unknown argument '-x'"},
      {{"-i", "lo", "-f", std::string(AgentFilterLimitBytes + 1, ' ')}, "-f: the filter is longer than"},
  };
  for (const auto& [args, expected] : cases) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << ::testing::PrintToString(args);
    EXPECT_THAT(error, HasSubstr(expected)) << ::testing::PrintToString(args);
  }
}

}  // namespace

// The agent's own ssh session is left out of a capture, whatever the user's filter, unless
// kept: each filter is compiled by libpcap and run over the session's frames both ways, a
// frame of another connection between the same hosts, and a UDP datagram on the same ports.
TEST(AgentArgsTest, TheOwnSshSessionIsLeftOutUnlessKept) {
  const frames::Link& link = frames::DeviceLink;  // this host 10.0.0.2:80, the client 10.0.0.1:1025
  frames::TcpFields other;
  other.sourcePort = 1026;
  const std::vector<frames::Bytes> traffic = {link.TcpFrame(false, {}), link.TcpFrame(true, {}),
                                              link.TcpFrame(false, other), link.UdpFrame(false, 1025, 80, "")};
  const std::string session = "10.0.0.1 1025 10.0.0.2 80";
  struct Case {
    std::optional<std::string> filter;
    std::string sshConnection;
    bool keep;
    const char* kept;  // letters of the frames kept: in, out, other connection, udp
  };
  const Case cases[] = {
      {std::nullopt, session, false, "cu"},    {"tcp or udp", session, false, "cu"},
      {"tcp", session, false, "c"},            {"", session, false, "cu"},
      {std::nullopt, session, true, "iocu"},   {"udp", session, true, "u"},
      {std::nullopt, "", false, "iocu"},       {std::nullopt, "10.0.0.1 1025 10.0.0.2", false, "iocu"},
      {"tcp", "10.0.0.1 1025 10.0.0.2 80;reboot", false, "ioc"},
  };
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  ASSERT_NE(dead, nullptr);
  for (const Case& c : cases) {
    const std::optional<std::string> filter = CaptureFilterFor(c.filter, c.sshConnection, c.keep);
    std::string kept;
    bpf_program program{};
    if (filter) {
      ASSERT_EQ(pcap_compile(dead, &program, filter->c_str(), 1, PCAP_NETMASK_UNKNOWN), 0) << *filter;
    }
    for (std::size_t i = 0; i < traffic.size(); ++i) {
      pcap_pkthdr header{};
      header.caplen = header.len = static_cast<bpf_u_int32>(traffic[i].size());
      if (!filter || pcap_offline_filter(&program, &header, traffic[i].data()) != 0) kept += "iocu"[i];
    }
    if (filter) pcap_freecode(&program);
    EXPECT_EQ(kept, c.kept) << c.filter.value_or("(none)") << " / " << c.sshConnection << " / " << c.keep;
  }
  pcap_close(dead);
}
