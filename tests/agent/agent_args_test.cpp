// The agent's command line: the modes, and each kind of mistake refused with a reason.

#include "agent/agent_args.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

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
