#pragma once
// The one place where the ssh command that reaches a remote capture agent is made:
//
//     ssh -T -o BatchMode=yes HOST orrisvane-capture ARGUMENTS...
//
// -T: no terminal, so the pcapng stream passes as bytes and the remote agent's standard
// error stays apart from its output. BatchMode=yes: ssh never asks for a password or
// whether to trust a host key; keys, the user's ssh agent and known_hosts work as ssh
// has them, and what cannot work is refused with ssh's own message. ORRISVANE_SSH names
// another program to run in place of ssh (as GIT_SSH does): it is given the same
// arguments.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char SshProgramVariable[] = "ORRISVANE_SSH";
inline constexpr char DefaultSshProgram[] = "ssh";
inline constexpr std::size_t MaxHostLength = 200;

struct SshCommand {
  std::string program;                 // a path, ready for exec
  std::vector<std::string> arguments;  // after the program's name
};

// The command that runs the capture agent on host with the given arguments. Nothing,
// with the reason in *why, when the host cannot be used as a destination or the ssh
// program is not found.
std::optional<SshCommand> RemoteAgentCommand(const std::string& host, const std::vector<std::string>& agentArguments,
                                             std::string* why);

// The word as the remote shell reads it back unchanged: as it is when it holds only
// characters that no shell treats specially, otherwise in single quotes.
std::string QuoteForShell(std::string_view word);

// Why text cannot be an ssh destination here (empty, a leading '-' that ssh would read as
// an option, white space or control characters); nothing when it can.
std::optional<std::string> HostError(std::string_view host);

// The destinations of a "Hosts" text: separated by white space or commas, empty ones
// dropped, each once, in the order given.
std::vector<std::string> SplitHosts(std::string_view text);
// The same joined with one space, as the profile keeps them.
std::string JoinHosts(const std::vector<std::string>& hosts);
