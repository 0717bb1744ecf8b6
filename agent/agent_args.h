#pragma once
// The command line of orrisvane-capture.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class AgentMode { Help, ListInterfaces, Probe, Capture };

struct AgentOptions {
  AgentMode mode = AgentMode::Help;
  std::string interfaceName;           // -i, --probe
  bool promiscuous = false;            // --promiscuous
  std::optional<std::string> filter;   // -f
  std::optional<std::int64_t> maxFrames;  // -c
  bool settingsOnInput = false;        // --settings-on-input
  bool keepOwnSession = false;         // --keep-own-session
  bool noOwners = false;               // --no-owners
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

// The filter a capture applies: the user's, and, when the agent runs in an ssh session
// (sshConnection: the value of SSH_CONNECTION, "CLIENT CPORT SERVER SPORT") and the user
// does not keep it, "not (...)" that session's own TCP frames, joined to the user's by
// "and". Without a session, or with a value that is not such, the user's filter alone.
std::optional<std::string> CaptureFilterFor(const std::optional<std::string>& userFilter,
                                            std::string_view sshConnection, bool keepOwnSession);

// What --help prints.
const char* AgentUsageText();
