// The window program's command line: --adapter N for one run, a capture file, --help, and
// usage errors.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/sniffer_app.h"

namespace {

CommandLine Parse(std::vector<std::string> args, bool othersPassed = false) {
  return ParseCommandLine(args, othersPassed);
}

TEST(CommandLine, AdapterIndexHelpAndUsageErrors) {
  EXPECT_FALSE(Parse({}).adapterIndex);
  EXPECT_EQ(Parse({"--adapter", "3"}).adapterIndex, 3);
  EXPECT_EQ(Parse({"--adapter=14"}).adapterIndex, 14);
  EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::Help);
  EXPECT_NE(std::string(CommandLineHelp()).find("--adapter N"), std::string::npos);
  for (const char* bad : {"x", "-1", "15", "3x", "", "+3", "99999999999"}) {
    const CommandLine line = Parse({"--adapter", bad});
    EXPECT_EQ(line.action, CommandLine::Action::UsageError) << bad;
    EXPECT_EQ(line.error, std::string("--adapter: '") + bad + "' is not an adapter index from 0 to 14");
  }
  EXPECT_EQ(Parse({"--adapter"}).error, "--adapter needs an adapter index from 0 to 14");
  EXPECT_EQ(Parse({"--adaptor", "3"}).error, "unknown argument '--adaptor'");
  // Before QApplication has taken its own options out, only the program's are judged.
  EXPECT_EQ(Parse({"-platform", "offscreen", "--adapter", "2"}, true).adapterIndex, 2);
  EXPECT_EQ(Parse({"-style", "fusion", "--adapter", "99"}, true).action, CommandLine::Action::UsageError);
}

TEST(CommandLine, OneCaptureFileToOpen) {
  EXPECT_FALSE(Parse({"--adapter", "1"}).file);
  EXPECT_EQ(Parse({"trace.pcapng", "--adapter", "1"}).file, "trace.pcapng");
  const CommandLine line = Parse({"--adapter", "2", "/tmp/a b.pcap"});
  EXPECT_EQ(line.adapterIndex, 2);
  EXPECT_EQ(line.file, "/tmp/a b.pcap");
  EXPECT_EQ(Parse({"--", "-odd.pcap"}).file, "-odd.pcap");
  EXPECT_EQ(Parse({"a.pcap", "b.pcap"}).error, "only one capture file can be opened: 'a.pcap' and 'b.pcap'");
  // The value of one of Qt's options is not a file on the first look.
  const CommandLine first = Parse({"-platform", "offscreen", "a.pcap"}, true);
  EXPECT_EQ(first.action, CommandLine::Action::Run);
  EXPECT_FALSE(first.file);
  EXPECT_NE(std::string(CommandLineHelp()).find("[FILE]"), std::string::npos);
}

}  // namespace
