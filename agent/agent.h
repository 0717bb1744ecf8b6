#pragma once
// orrisvane-capture: the capture agent. RunAgent is the whole program minus the process
// wiring (signals), so that the loop can be driven with any output descriptor.

#include <atomic>
#include <cstdio>
#include <span>
#include <string>

#include "capture/packet_device.h"
#include "capture/adapters.h"

// What the program reaches the machine through.
struct AgentEnvironment {
  int streamFd = 1;            // the pcapng stream
  std::FILE* out = stdout;     // --help, -D, --probe
  std::FILE* err = stderr;     // "orrisvane-capture: REASON"
  // Raised (by SIGINT or SIGTERM in the program) to end a capture; wakeFd, when >= 0,
  // becomes readable at the same time so that a waiting capture sees it at once.
  const std::atomic<bool>* stop = nullptr;
  int wakeFd = -1;
  // The interface list of -D.
  const DeviceTable* devices = nullptr;
  const RegistryView* registry = nullptr;
};

// Flushing and statistics of the stream.
inline constexpr int AgentHoldMs = 20;            // the longest a written frame waits in the buffer
inline constexpr std::size_t AgentFlushBytes = 256 * 1024;  // written at once when this much is held
inline constexpr int AgentStatisticsMs = 1000;   // an interface statistics block this often
inline constexpr int AgentBatchFrames = 512;     // frames taken from the ring between looks at the clock
// While frames flow, each wait lets about this many gather (a quarter of the kernel ring's
// some 8,000 slots), within these bounds: a slow flow then wakes the agent 50 times a
// second, and a fast one wakes it before the ring is a quarter full.
inline constexpr long AgentGatherFrames = 2048;
inline constexpr int AgentGatherMinUs = 1000;
inline constexpr int AgentGatherMaxUs = 20000;

// Runs the program; returns its exit status.
int RunAgent(std::span<const std::string> args, const AgentEnvironment& env);
