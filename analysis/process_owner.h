#pragma once
// The process that owns a frame's socket at the frame's local end, as the capture agent
// found it on its host: its PID, name and command line when the agent could read the
// process, else only the user the socket belongs to.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Owners are shared: every row of a flow points at one, and a store of rows keeps the
// owners of its rows alive (hence make_shared and shared_from_this).
struct ProcessOwner : std::enable_shared_from_this<ProcessOwner> {
  std::uint32_t pid = 0;    // 0: not known, only the user is
  std::string name;         // as in /proc/PID/comm
  std::string user;         // the owner's user name on the host, or the uid in digits
  std::string commandLine;  // /proc/PID/cmdline, its arguments separated by blanks
};

// The longest texts an owner keeps; longer ones are cut. A process name has at most 15
// bytes on Linux; whatever a file claims, the cell stays short.
inline constexpr std::size_t OwnerNameMost = 64;
inline constexpr std::size_t OwnerUserMost = 64;
inline constexpr std::size_t OwnerCommandLineMost = 1024;

// Untrusted text as an owner keeps it: cut to most bytes, and every control character
// (a tab or line end would break a saved line, an escape would steer a terminal) as '.'.
std::string OwnerText(std::string_view raw, std::size_t most);

// The details' Process line after its header: the cell, the user and the command line,
// as far as they are known ("curl (4242), user ann: curl -s http://example.org/").
std::string OwnerDetails(const ProcessOwner& owner);

// The Process cell at out: "name (pid)", "(user NAME)", or nothing for an owner that
// knows neither. Writes at most OwnerNameMost + OwnerUserMost + 16 bytes; returns the end.
char* PutProcessCell(char* out, const ProcessOwner& owner);
