// The command line: what it accepts, and that every mistake is one line and status 2.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/dump_run.h"

namespace dump_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::optional<DumpOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseDumpArgs(args, error ? error : &ignored);
}

TEST(DumpArgs, ModesAndOptions) {
  auto file = Parse({"-r", "a.pcap", "--mac", "0a:1B:2c:3D:4e:5F", "-c", "12", "--no-header"});
  ASSERT_TRUE(file);
  EXPECT_EQ(file->mode, DumpMode::File);
  EXPECT_EQ(file->file, "a.pcap");
  EXPECT_EQ(*file->mac, (std::array<std::uint8_t, 6>{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
  EXPECT_EQ(*file->maxFrames, 12);
  EXPECT_FALSE(file->header);
  EXPECT_EQ(file->columns.ShownToText(), ColumnSet::Startup().ShownToText());

  auto live = Parse({"--columns=00000000000000000001", "-i", "19"});
  ASSERT_TRUE(live);
  EXPECT_EQ(live->mode, DumpMode::Live);
  EXPECT_EQ(live->adapters.at(0).index, 19);
  EXPECT_FALSE(live->mac);
  EXPECT_FALSE(live->maxFrames);
  EXPECT_TRUE(live->header);
  // 20 characters: the columns before Time, which stays off.
  EXPECT_EQ(live->columns.ShownToText(), "100000000000000000010" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(live->columns.Position(ColumnId::Data), 1);
  auto withTime = Parse({"--columns", "010000000000000000011", "-r", "b.pcap"});
  ASSERT_TRUE(withTime);
  EXPECT_EQ(withTime->columns.ShownToText(), "110000000000000000011" + std::string(ColumnCount - 21, '0'));
  EXPECT_EQ(withTime->columns.Position(ColumnId::Time), 1);
  EXPECT_EQ(withTime->columns.Position(ColumnId::Data), 3);

  EXPECT_EQ(Parse({"-D"})->mode, DumpMode::ListAdapters);
  // Help wins over anything after it, even a mistake.
  EXPECT_EQ(Parse({"-r", "x", "--help", "--bogus"})->mode, DumpMode::Help);
  EXPECT_EQ(Parse({"-h"})->mode, DumpMode::Help);
}

TEST(DumpArgs, HostsAreAddedOnceEachForListingAndLiveCaptureOnly) {
  auto listing = Parse({"--host", "capture@web1", "--host=web2", "-D", "--host", "capture@web1"});
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->hosts, (std::vector<std::string>{"capture@web1", "web2"}));
  EXPECT_EQ(Parse({"-i", "3", "--host", "h"})->hosts, std::vector<std::string>{"h"});
  // A remote adapter by its key name, which does not move when local adapters come and go.
  const auto byKey = Parse({"--host", "root@web1", "-i", "root@web1/0002"});
  ASSERT_TRUE(byKey);
  EXPECT_EQ(byKey->adapters.at(0).key, "root@web1/0002");

  std::string error;
  // Each adapter may have a filter of its own; the others take -f's.
  const auto filtered = Parse({"-i", "0", "-i", "root@web1/0002=tcp port 80", "-i", "3=", "-f", "udp"});
  ASSERT_TRUE(filtered);
  EXPECT_EQ(filtered->adapters.at(0).captureFilter, std::nullopt);
  EXPECT_EQ(filtered->adapters.at(1).key, "root@web1/0002");
  EXPECT_EQ(filtered->adapters.at(1).captureFilter, "tcp port 80");
  EXPECT_EQ(filtered->adapters.at(2).index, 3);
  EXPECT_EQ(filtered->adapters.at(2).captureFilter, "");
  EXPECT_FALSE(Parse({"-i", "0", "-i", "2=tcp port"}, &error));
  EXPECT_THAT(error, StartsWith("-i 2: the capture filter of adapter 2 does not compile: "));

  EXPECT_FALSE(Parse({"--host", "h", "-r", "a.pcap"}, &error));
  EXPECT_THAT(error, HasSubstr("--host goes with -D and -i"));
  EXPECT_FALSE(Parse({"-D", "--host", "-oProxyCommand=x"}, &error));
  EXPECT_THAT(error, StartsWith("--host: "));
  EXPECT_FALSE(Parse({"-D", "--host"}, &error));
}

TEST(DumpArgs, MistakesAreOneLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> mistakes = {
      {},
      {"--no-header"},
      {"-r"},
      {"-r", ""},
      {"-i"},
      {"-i", "x"},
      {"-i", "-1"},
      {"-i", "20"},
      {"-i", "3", "-r", "a.pcap"},
      {"-D", "-D"},
      {"-r", "a.pcap", "-c"},
      {"-r", "a.pcap", "-c", "0"},
      {"-r", "a.pcap", "-c", "-5"},
      {"-r", "a.pcap", "-c", "10k"},
      {"-r", "a.pcap", "-c", "99999999999999999999999"},
      {"-r", "a.pcap", "--mac"},
      {"-r", "a.pcap", "--mac", "00:11:22:33:44"},
      {"-r", "a.pcap", "--mac", "00-11-22-33-44-55"},
      {"-r", "a.pcap", "--mac", "00:11:22:33:44:5g"},
      {"-r", "a.pcap", "--mac", "00:11:22:33:44:55:66"},
      {"-r", "a.pcap", "--columns"},
      {"-r", "a.pcap", "--columns", "1110001111111000001"},
      {"-r", "a.pcap", "--columns", "1110001111111000001x"},
      {"-r", "a.pcap", "--columns", "11100011111110000011x"},  // Time's character too
      {"-r", "a.pcap", "--no-header=yes"},
      {"-r", "a.pcap", "--colour"},
      {"-r", "a.pcap", "extra"},
      {"-r", "a.pcap", "-f"},
      {"-r", "a.pcap", "-f", "tcp port"},
      {"-i", "0", "-f", "no such primitive"},
      {"-r", "a.pcap", "-Y"},
      {"-r", "a.pcap", "-Y", "conn == 1 or (port"},
  };
  for (const auto& args : mistakes) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    DumpResult r = RunWith(args, FileEnvironment());
    EXPECT_EQ(r.status, 2) << joined;
    EXPECT_EQ(r.out, "") << joined;
    EXPECT_THAT(r.err, StartsWith("orrisvane-dump: ")) << joined;
    EXPECT_EQ(CountLines(r.err), 1) << joined << r.err;
  }
}

TEST(DumpArgs, HelpIsAUsageTextOnStandardOutput) {
  DumpResult r = RunWith({"--help"}, DumpEnvironment{});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  for (const char* part : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "-D", "-i INDEX", "-r FILE",
                           "--mac", "--columns", "-c N", "-Y EXPR", "--no-header", "111000111111100000111", "20 Time"}) {
    EXPECT_THAT(r.out, HasSubstr(part));
  }
}

}  // namespace
}  // namespace dump_test
