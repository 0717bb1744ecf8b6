#pragma once
// orrisvane-capture: the capture agent. RunAgent is the whole program minus the process
// wiring (signals), so that the loop can be driven with any output descriptor.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <span>
#include <string>

#include "capture/driver/packet_device.h"
#include "capture/adapters/adapters.h"

// What the program reaches the machine through.
struct AgentEnvironment {
  int streamFd = 1;            // the pcapng stream
  int settingsFd = 0;          // --settings-on-input
  std::FILE* out = stdout;     // --help, -D, --probe
  std::FILE* err = stderr;     // "orrisvane-capture: REASON"
  // Raised (by SIGINT or SIGTERM in the program) to end a capture; wakeFd, when >= 0,
  // becomes readable at the same time so that a waiting capture sees it at once.
  const std::atomic<bool>* stop = nullptr;
  int wakeFd = -1;
  // The interface list of -D: devices that only describe, since the list is made without
  // capabilities.
  const DeviceTable* devices = nullptr;
  const RegistryView* registry = nullptr;
  // The value of SSH_CONNECTION (empty when not run by ssh): the session whose frames a
  // capture leaves out.
  std::string sshConnection;
};

// How the agent takes frames from the kernel and writes them out. The kernel packs them
// into blocks of the ring and hands a block over when it is full or AgentBlockTimeoutMs
// after it began; the agent writes what it took as soon as the ring is empty. A frame so
// waits at most AgentBlockTimeoutMs in the agent (less than the 50 ms a reader waits for
// a write), and a slow flow wakes the agent and its reader 25 times a second, not per
// frame. Each wake-up of a reader that decodes costs it cold caches: shorter blocks cost
// processor time at low rates, longer ones hold the rows back.
inline constexpr int AgentBlockTimeoutMs = 40;
// Owners of sockets are looked up no sooner: a TCP connection's first segment reaches the
// agent at once through a socket of its own (see connection_starts.h), while shorter
// blocks for every frame would cost a wake-up each (at 100 k frames/s, 10 ms blocks cost a
// fifth more processor time per frame).
// The capture's ring. Packed in blocks, 4 MiB hold some 40,000 small frames or 2,600 full
// ones: tens of milliseconds of a saturated link, with the megabyte of the stream's pipe
// behind them, while the reader is held up. The kernel clears the whole ring when the
// trace starts, and on a virtual machine whose memory the host has taken back that costs
// about a millisecond a megabyte: a larger ring is paid for by every trace, however short.
inline constexpr int AgentRingBytes = 4 << 20;
// The probe reads no frame: the smallest ring spares it clearing the capture's.
inline constexpr int AgentProbeRingBytes = 64 * 1024;
inline constexpr std::size_t AgentFlushBytes = 256 * 1024;  // written at once when this much is held
inline constexpr int AgentStatisticsMs = 1000;   // an interface statistics block this often
inline constexpr int AgentBatchFrames = 512;     // frames taken from the ring between looks at the clock
// A filter that takes longer to compile (its host names do not resolve) is refused: the
// caller would otherwise wait without end for a capture that never starts.
inline constexpr std::chrono::milliseconds AgentFilterCompileLimit{10000};

// Runs the program; returns its exit status.
int RunAgent(std::span<const std::string> args, const AgentEnvironment& env);
