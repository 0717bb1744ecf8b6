// The window program's command line: --adapter N for one run, --help, and usage errors.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/sniffer_app.h"

namespace {

CommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLine, AdapterIndexFromZeroToFourteenInEitherForm) {
  EXPECT_EQ(Parse({}).action, CommandLine::Action::Run);
  EXPECT_FALSE(Parse({}).adapterIndex);

  const CommandLine separate = Parse({"--adapter", "3"});
  EXPECT_EQ(separate.action, CommandLine::Action::Run);
  EXPECT_EQ(separate.adapterIndex, 3);
  EXPECT_EQ(Parse({"--adapter=0"}).adapterIndex, 0);
  EXPECT_EQ(Parse({"--adapter", "14"}).adapterIndex, 14);
}

TEST(CommandLine, HelpNamesTheAdapterOption) {
  EXPECT_EQ(Parse({"--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(Parse({"-h"}).action, CommandLine::Action::Help);
  EXPECT_NE(std::string(CommandLineHelp()).find("--adapter N"), std::string::npos);
}

TEST(CommandLine, AnythingElseIsAUsageErrorThatSaysWhat) {
  const std::vector<std::vector<std::string>> bad = {
      {"--adapter", "x"}, {"--adapter", "-1"}, {"--adapter", "15"},  {"--adapter", "3x"},
      {"--adapter", ""},  {"--adapter=+3"},    {"--adapter", "99999999999"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.back());
    const CommandLine line = Parse(args);
    EXPECT_EQ(line.action, CommandLine::Action::UsageError);
    EXPECT_FALSE(line.adapterIndex);
    const std::string value = args.size() == 2 ? args[1] : args[0].substr(args[0].find('=') + 1);
    EXPECT_EQ(line.error, "--adapter: '" + value + "' is not an adapter index from 0 to 14");
  }

  EXPECT_EQ(Parse({"--adapter"}).error, "--adapter needs an adapter index from 0 to 14");
  EXPECT_EQ(Parse({"--adaptor", "3"}).error, "unknown argument '--adaptor'");
  EXPECT_EQ(Parse({"3"}).error, "unknown argument '3'");
  EXPECT_EQ(Parse({"--help=yes"}).action, CommandLine::Action::UsageError);
}

TEST(CommandLine, BeforeQtTakesItsOptionsOnlyTheProgramsOwnAreJudged) {
  const std::vector<std::string> withQt = {"-platform", "offscreen", "--adapter", "2"};
  const CommandLine early = ParseCommandLine(withQt, true);
  EXPECT_EQ(early.action, CommandLine::Action::Run);
  EXPECT_EQ(early.adapterIndex, 2);
  const std::vector<std::string> wrong = {"-style", "fusion", "--adapter", "99"};
  EXPECT_EQ(ParseCommandLine(wrong, true).action, CommandLine::Action::UsageError);
}

}  // namespace
