#pragma once
// The command line of orrisvane-capture.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

enum class AgentMode { Help, ListInterfaces, Probe, Capture };

struct AgentOptions {
  AgentMode mode = AgentMode::Help;
  std::string interfaceName;           // -i, --probe
  bool promiscuous = false;            // --promiscuous
  std::optional<std::string> filter;   // -f
  std::optional<std::int64_t> maxFrames;  // -c
  bool settingsOnInput = false;        // --settings-on-input
};

// The longest filter taken: far more than any a person writes, and short enough that
// compiling it stays a matter of milliseconds.
inline constexpr std::size_t AgentFilterLimitBytes = 8 * 1024;

// Exit statuses.
inline constexpr int AgentExitOk = 0;
inline constexpr int AgentExitFailure = 1;  // the interface cannot be opened or fails
inline constexpr int AgentExitUsage = 2;    // bad arguments, a filter that does not compile

// Reads the arguments (without the program name). On a mistake returns nothing and sets
// *error to a one-line explanation without the program name or a newline.
std::optional<AgentOptions> ParseAgentArgs(std::span<const std::string> args, std::string* error);

// What --help prints.
const char* AgentUsageText();
