#pragma once
// orrisvane-dump: the capture thread and the decoder of the window, with the rows written
// as tab-separated text. RunDump is the whole program minus the process wiring, so that
// tests drive it with fake devices, an in-memory registry and their own capture files.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/columns.h"
#include "analysis/row_filter.h"
#include "capture/remote/adapter_list.h"
#include "capture/adapters/adapters.h"
#include "capture/driver/packet_device.h"
#include "capture/remote/remote_adapters.h"

// What the program reaches the machine through.
struct DumpEnvironment {
  // Live adapters (-i) and the adapter list (-D, -i).
  const DeviceTable* devices = nullptr;
  const RegistryView* registry = nullptr;
  // Where --host lists its hosts (over registry) for -D and -i; the live devices look
  // remote key names up in it.
  RemoteHosts* remoteHosts = nullptr;
  // Registers, under the driver's path, a device that reads the capture file at path and
  // binds any key name (-r).
  std::function<void(DeviceTable&, std::string path)> registerCaptureFile;
  // Raised (by SIGINT or SIGTERM in the program) to end a live capture.
  const std::atomic<bool>* interrupted = nullptr;
  // When >= 0, becomes readable as interrupted is raised: a live capture of one adapter
  // then waits for its end without looking at the flag by the clock.
  int interruptFd = -1;
  // How often the main thread looks for the end of input and an interruption (-c and a
  // failure wake it at once): often for a file, whose end should be seen at once; seldom
  // on a live adapter, where each look wakes a processor that the capture could use, and
  // not at all there with interruptFd.
  std::chrono::milliseconds pollInterval{2};
  std::chrono::milliseconds livePollInterval{100};
};

enum class DumpMode { Help, ListAdapters, Live, File };

// An adapter -i names: by its index in the list of -D, or by its key name.
struct AdapterChoice {
  int index = 0;
  std::string key;  // a key name of -D, in place of the index
  std::optional<std::string> captureFilter;  // its own ("-i INDEX=FILTER"), checked to compile
};

struct DumpOptions {
  DumpMode mode = DumpMode::Help;
  std::vector<AdapterChoice> adapters;           // -i, in order, each once
  std::string file;                              // -r
  std::optional<std::array<std::uint8_t, 6>> mac;  // --mac
  ColumnSet columns = ColumnSet::Startup();      // --columns
  bool columnsGiven = false;
  std::optional<std::int64_t> maxFrames;         // -c
  bool header = true;                            // --no-header clears it
  std::string captureFilter;                     // -f, checked to compile
  std::shared_ptr<const RowFilter> displayFilter;  // -Y, compiled
  std::vector<std::string> hosts;                // --host, each once, in order
  bool conversations = false;                    // --conversations
  std::optional<std::int64_t> ioIntervalNs;      // --io SECONDS
  std::string statsOut;                          // --stats-out: where those two go (else err)
};

// Most adapters -D and -i look at (as many as the start-up probe lists).
inline constexpr std::uint32_t DumpMaxAdapters = ProbeAdapterLimit;

// Exit statuses.
inline constexpr int DumpExitOk = 0;
inline constexpr int DumpExitFailure = 1;  // unreadable input, adapter not opened, write error
inline constexpr int DumpExitUsage = 2;    // bad arguments

// Reads the arguments (without the program name). On a mistake returns nothing and sets
// *error to a one-line explanation without the program name or a newline.
std::optional<DumpOptions> ParseDumpArgs(std::span<const std::string> args, std::string* error);

// The usage text that --help prints.
const char* DumpUsageText();

// Runs the program: rows to out, the closing count and every error to err. Returns the
// exit status.
int RunDump(std::span<const std::string> args, std::FILE* out, std::FILE* err, const DumpEnvironment& env);
