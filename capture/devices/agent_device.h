#pragma once
// The live packet device that holds no capture right itself: it starts the capture agent,
// orrisvane-capture, for the interface that the bind request's key name names, and reads
// the frames from the pcapng stream on the agent's standard output.
//
// - Binding starts the agent with --settings-on-input: it opens the interface as a
//   capture would and describes it in the stream's header, then waits. A missing
//   capability or an interface that is down fails the bind with the agent's reason; the
//   station address and the description are the ones the agent described.
// - The first read sends the agent its settings: --promiscuous when the set-filter
//   request asked for it, and the capture filter set on the device (-f). A later change
//   of promiscuous mode restarts the agent at the next read. The kernel ends the agent
//   (SIGTERM) with the thread that started it: the binding thread, or for a restart the
//   reading one, so both must live as long as the binding does.
// - A batch read (ReadBatch) hands over every frame that one read of the pipe completed,
//   as views into the stream's buffer, or none after about the read timeout
//   (AgentReadTimeoutMs); a single read delivers the next frame of such a batch cut to
//   the request's buffer. The abort requests end a pending read and every one after it.
//   The agent writes what the kernel gathered in one go: the first read after such a
//   write has been taken to its end answers at once with nothing, so that the frames of a
//   burst go on (as rows) without waiting out the timeout for the next one. Frames before
//   damage in the stream go first; the read after them fails.
// - When the agent fails, the line it wrote to standard error is the failure of the read
//   and LastError(); every later read fails with it too, and the agent is not restarted.
// - Unbinding ends the agent (SIGTERM, SIGKILL after a grace) within about 100 ms.
// - A key name "HOST/0002" names an adapter of another machine, as listed in the options'
//   remote hosts: the agent there is run through ssh (ssh_command.h) with the same
//   arguments, its stream read from ssh's standard output the same way. ssh's own
//   reasons (a refused key, an unknown host key, a lost connection) are failures as the
//   agent's are, after the host's name. Ending ssh closes the stream, which ends the
//   remote agent at its next write (a second at the most: it writes statistics).

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "capture/driver/packet_device.h"
#include "capture/remote/agent_program.h"

class RemoteHosts;

inline constexpr char CaptureAgentVariable[] = "ORRISVANE_CAPTURE";
inline constexpr int AgentReadTimeoutMs = 50;

struct AgentOptions {
  // The agent program; empty: found as FindCaptureAgent says for this program.
  std::string agentPath;
  // Where interfaces are looked up when a key name is bound.
  std::string sysRoot = "/sys";
  // Where remote key names are looked up; none: only this machine's adapters bind.
  const RemoteHosts* remoteHosts = nullptr;
  // How long a read waits for a frame before it answers 0 bytes.
  int readTimeoutMs = AgentReadTimeoutMs;
};

// Registers the agent device under DriverDevicePath.
void RegisterAgentDevice(DeviceTable& table, AgentOptions options = {});
// How long the agent may take to describe the interface at a bind (it opens the
// interface to do so).
inline constexpr int AgentProbeTimeoutMs = 5000;

// "02:FC:00:00:00:01", with or without a line end, in either case: the agent's answer to
// --probe and the MAC address cell of its -D list.
std::optional<std::array<std::uint8_t, 6>> ParseStationAddress(std::string text);

// Where to look for the agent: the value of ORRISVANE_CAPTURE (when set) and the folder
// of the running program.
struct AgentSearch {
  std::optional<std::string> variable;
  std::string programFolder;
};
AgentSearch ThisProgramsAgentSearch();

// The agent's path: the one the variable names; else orrisvane-capture beside the
// program, in ../agent (the build tree: build/app/orrisvane, build/agent/...), in ../bin
// (installed). Nothing, with the reason and the fix in *why, when none is executable.
std::optional<std::string> FindCaptureAgent(const AgentSearch& search, std::string* why);

// For a failure reason that says the capture was not permitted: the command that grants
// the agent this program would start its capability ("sudo setcap ... PATH"); otherwise
// empty.
std::string CapabilityGrantHint(const std::string& reason);
