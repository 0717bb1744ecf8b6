// orrisvane-capture: open one interface, give up every capability, stream its frames.

#include "agent/agent.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "agent/agent_args.h"
#include "agent/connection_starts.h"
#include "agent/fd_helper.h"
#include "agent/fd_io.h"
#include "capture/formats/pcapng_writer.h"
#include "agent/privileges.h"
#include "agent/socket_owners.h"
#include "analysis/mac_text.h"
#include "capture/remote/adapter_list.h"
#include "capture/devices/live_interface.h"

namespace {

constexpr char Program[] = "orrisvane-capture";
// A pipe this large lets the reader fall behind by a second of a busy link without the
// agent blocking; where the system refuses, the default pipe does.
constexpr int PipeBytes = 1 << 20;
// The whole list of settings on the input: room for the longest filter and every other
// option beside it. Whoever sends more is not a program that means to set a capture.
constexpr std::size_t SettingsLimitBytes = 16 * 1024;

// Every message is one line, whatever a library put into it.
void PrintLine(std::FILE* err, std::string message) {
  std::replace(message.begin(), message.end(), '\n', ' ');
  std::replace(message.begin(), message.end(), '\r', ' ');
  while (!message.empty() && message.back() == ' ') message.pop_back();
  std::fprintf(err, "%s: %s\n", Program, message.c_str());
  std::fflush(err);
}

// Milliseconds of a clock that costs almost nothing to read; good enough for flushing.
std::int64_t CoarseMs() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::uint64_t WallClockUs() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec / 1000);
}



// The kernel's own name for the interface the caller named, or nothing (said on err). Only
// a network interface of the host is opened with the capture rights: libpcap would also
// open its pseudo-devices by name (netfilter logging, D-Bus, USB and Bluetooth
// monitors, "any"), and some of those change system settings or start programs on
// behalf of whoever runs the agent. An alias ("lo:guest") is the interface it belongs to.
std::optional<std::string> KernelInterfaceName(const std::string& name, std::FILE* err) {
  char kernelName[IF_NAMESIZE] = {};
  const unsigned index = name.size() < IF_NAMESIZE ? ::if_nametoindex(name.c_str()) : 0;
  if (index == 0 || !::if_indextoname(index, kernelName)) {
    PrintLine(err, "no such interface: " + name + " (not a network interface of this host; see -D)");
    return std::nullopt;
  }
  return std::string(kernelName);
}

int Probe(const AgentOptions& options, const AgentEnvironment& env) {
  std::string why;
  const std::optional<std::string> name = KernelInterfaceName(options.interfaceName, env.err);
  if (!name) return AgentExitFailure;
  auto live = LiveInterface::Open(*name, &why, "/sys", LiveOptions{0, AgentProbeRingBytes});
  std::array<std::uint8_t, 6> address{};
  if (!live || !live->StationAddress(&address, &why)) {
    PrintLine(env.err, why);
    return AgentExitFailure;
  }
  std::fprintf(env.out, "%s\n", MacText(address.data()).c_str());
  return std::fflush(env.out) == 0 ? AgentExitOk : AgentExitFailure;
}

// The capture loop: the blocks the kernel hands over, written out once the ring is empty
// (or AgentFlushBytes are held); statistics every AgentStatisticsMs and at the end.
class Capture {
 public:
  Capture(LiveInterface& live, const AgentEnvironment& env) : live_(live), env_(env) {}
  ~Capture() {
    if (waitFd_ != env_.wakeFd) ::close(waitFd_);
  }

  // Names each frame's owner from now on: the process of the socket at the frame's local
  // end. Looked up with no capability (they are given up before this). A connection's
  // first segment from starts (when it could be opened) is looked up as it comes, before
  // the ring's block holds it.
  void FindOwners(const std::array<std::uint8_t, 6>& stationAddress, std::optional<FdHelper>& helper,
                  std::unique_ptr<ConnectionStarts> starts, const std::optional<std::string>& filter) {
    owners_ = std::make_unique<OwnerFinder>(
        NetlinkSocketLister(), ProcessTable("/proc", helper ? helper->Reader() : FdReader{}), HostUserName,
        stationAddress,
        [this](std::uint32_t number, const ProcessOwner& owner) { writer_.Owner(number, owner); });
    if (!starts) return;
    // The wait ends for the stop, as before, or for a connection's start.
    const int both = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event readable{};
    readable.events = EPOLLIN;
    if (both < 0 || ::epoll_ctl(both, EPOLL_CTL_ADD, starts->Descriptor(), &readable) != 0 ||
        (env_.wakeFd >= 0 && ::epoll_ctl(both, EPOLL_CTL_ADD, env_.wakeFd, &readable) != 0)) {
      if (both >= 0) ::close(both);
      return;
    }
    waitFd_ = both;
    starts_ = std::move(starts);
    starts_->Filter(filter);
  }

  // The header goes out at once: the reader learns the interface before any frame. False
  // when the output is gone.
  bool Begin(const pcapng::Interface& interface) {
    writer_.SectionHeader(Program);
    writer_.InterfaceDescription(interface);
    return Flush();
  }

  int Run(std::optional<std::int64_t> maxFrames) {
    std::int64_t nextStatistics = CoarseMs() + AgentStatisticsMs;
    std::string failure;
    bool waited = true;
    while (!(env_.stop && env_.stop->load())) {
      int limit = AgentBatchFrames;
      if (maxFrames) limit = static_cast<int>(std::min<std::int64_t>(limit, *maxFrames - frames_));
      // Connections that began while the agent waited, looked up before the ring's frames.
      if (starts_ && waited) {
        starts_->ReadWaiting(AgentBatchFrames, [this](std::span<const std::uint8_t> segment) {
          owners_->NumberFor(segment, WallClockUs());
        });
      }
      waited = false;
      const int count = live_.ReadWaiting(limit, TakeFrame, this);
      if (count < 0) {
        failure = live_.Error();
        break;
      }
      frames_ += count;
      if (maxFrames && frames_ >= *maxFrames) break;
      const bool drained = count < limit;
      bool flush = writer_.Size() >= AgentFlushBytes || (drained && writer_.Size() > 0);
      const std::int64_t now = CoarseMs();
      if (now >= nextStatistics) {
        flush |= AppendStatistics();
        nextStatistics = now + AgentStatisticsMs;
      }
      if (flush && !Flush()) return AgentExitOk;
      if (!drained) continue;
      waited = true;
      if (!live_.Wait(static_cast<int>(std::max<std::int64_t>(nextStatistics - now, 0)), waitFd_)) {
        failure = live_.Error();
        break;
      }
    }
    // What was captured is written before the reason, with the last counts.
    AppendStatistics();
    Flush();
    if (!failure.empty()) {
      PrintLine(env_.err, failure);
      return AgentExitFailure;
    }
    return AgentExitOk;
  }

 private:
  static void TakeFrame(void* context, const LiveFrame& frame) {
    Capture& capture = *static_cast<Capture*>(context);
    const std::uint64_t timestamp =
        static_cast<std::uint64_t>(frame.seconds) * 1000000u + static_cast<std::uint32_t>(frame.microseconds);
    // The owner's block, when the owner is new, goes out before the frame that names it.
    const std::uint32_t owner =
        capture.owners_ ? capture.owners_->NumberFor({frame.data, frame.capturedLength}, timestamp) : 0;
    capture.writer_.Packet(timestamp, frame.capturedLength, frame.originalLength, frame.data, owner);
  }

  bool AppendStatistics() {
    std::uint64_t received = 0, dropped = 0;
    if (!live_.Statistics(&received, &dropped)) return false;
    writer_.Statistics(WallClockUs(), received, dropped);
    return true;
  }

  bool Flush() {
    bool written = WriteAll(env_.streamFd, writer_.Data(), writer_.Size(), env_.stop);
    writer_.Clear();
    return written;
  }

  LiveInterface& live_;
  const AgentEnvironment& env_;
  pcapng::Writer writer_;
  std::unique_ptr<OwnerFinder> owners_;
  std::unique_ptr<ConnectionStarts> starts_;
  int waitFd_ = env_.wakeFd;
  std::int64_t frames_ = 0;
};

// Promiscuous mode and the filter. Neither needs a capability once the interface is open:
// both are settings of the agent's own socket, made after the capabilities are gone. An
// exit status when they cannot be set, or when a stop came while the filter compiled.
std::optional<int> ApplySettings(LiveInterface& live, const AgentOptions& options, const AgentEnvironment& env) {
  std::FILE* err = env.err;
  std::string why;
  if (options.promiscuous && !live.SetPromiscuous(true, &why)) {
    PrintLine(err, why);
    return AgentExitFailure;
  }
  if (options.filter) {
    switch (live.SetFilter(*options.filter, &why, FilterCompileBound{AgentFilterCompileLimit, env.wakeFd})) {
      case LiveInterface::FilterResult::Applied:
        break;
      case LiveInterface::FilterResult::Stopped:
        return AgentExitOk;
      case LiveInterface::FilterResult::DoesNotCompile:
        PrintLine(err, why);
        return AgentExitUsage;
      case LiveInterface::FilterResult::NotApplied:
        PrintLine(err, why);
        return AgentExitFailure;
    }
  }
  return std::nullopt;
}

// The options of --settings-on-input: NUL-ended words up to an empty one. Nothing when the
// input ends first or a stop is requested, or (with *why set) when the list is too long.
std::optional<std::vector<std::string>> ReadSettings(const AgentEnvironment& env, std::string* why) {
  std::vector<std::string> words;
  std::string word;
  std::size_t taken = 0;
  while (!(env.stop && env.stop->load())) {
    struct pollfd fds[2] = {{env.settingsFd, POLLIN, 0}, {env.wakeFd, POLLIN, 0}};
    if (::poll(fds, env.wakeFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) break;
    // Only a readable input is read: a stop's wake-up must not leave the agent in read().
    if (fds[0].revents == 0) continue;
    char chunk[512];
    const ssize_t n = ::read(env.settingsFd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (++taken > SettingsLimitBytes) {
        *why = "the settings are longer than " + std::to_string(SettingsLimitBytes) + " bytes";
        return std::nullopt;
      }
      if (chunk[i] != '\0') {
        word += chunk[i];
        continue;
      }
      if (word.empty()) return words;  // what came after the list is not read
      words.push_back(std::exchange(word, {}));
    }
  }
  return std::nullopt;
}

int StartCapture(AgentOptions options, const AgentEnvironment& env) {
  const std::optional<std::string> opened = KernelInterfaceName(options.interfaceName, env.err);
  if (!opened) return AgentExitFailure;
  const std::string& name = *opened;
  std::string why;
  // The agent's own ssh session is left out from the first frame on.
  const std::optional<std::string> asked = options.filter;
  options.filter = CaptureFilterFor(asked, env.sshConnection, options.keepOwnSession);
  const bool sessionLeftOut = options.filter != asked;
  auto live = LiveInterface::Open(name, &why, "/sys", LiveOptions{AgentBlockTimeoutMs, AgentRingBytes});
  if (!live) {
    PrintLine(env.err, why);
    return AgentExitFailure;
  }
  // Run as root, the agent reads other processes' fd folders through a helper started
  // while it may still start one (see fd_helper.h).
  std::optional<FdHelper> helper = options.noOwners ? std::nullopt : FdHelper::Start();
  std::unique_ptr<ConnectionStarts> starts = options.noOwners ? nullptr : ConnectionStarts::Open(name);
  // The open socket is all the capture needs from here on. The filter is compiled only
  // after this: compiling looks host names up and may take long, and none of it should
  // happen with the rights to capture.
  if (!DropAllCapabilities(&why)) {
    PrintLine(env.err, why);
    return AgentExitFailure;
  }
  if (std::optional<int> failed = ApplySettings(*live, options, env)) return *failed;
  pcapng::Interface interface;
  if (!live->StationAddress(&interface.stationAddress, &why)) {
    PrintLine(env.err, why);
    return AgentExitFailure;
  }
  // The description holds views: what they view must outlive the header written below.
  const std::string description = live->Description();
  interface.name = name;
  interface.description = description;
  interface.snapLength = PcapSnapLength;
  ::fcntl(env.streamFd, F_SETPIPE_SZ, PipeBytes);
  Capture capture(*live, env);
  if (!capture.Begin(interface)) return AgentExitOk;
  if (!options.settingsOnInput) {
    if (!options.noOwners) capture.FindOwners(interface.stationAddress, helper, std::move(starts), options.filter);
    return capture.Run(options.maxFrames);
  }

  why.clear();
  std::optional<std::vector<std::string>> words = ReadSettings(env, &why);
  std::optional<AgentOptions> settings;
  if (words) {
    std::vector<std::string> args = {"-i", name};
    args.insert(args.end(), words->begin(), words->end());
    settings = ParseAgentArgs(args, &why);
  } else if (why.empty()) {
    return AgentExitOk;
  }
  if (settings && settings->settingsOnInput) {
    settings.reset();
    why = "--settings-on-input cannot come from the input";
  }
  if (!settings) {
    PrintLine(env.err, "the settings on standard input: " + why);
    return AgentExitUsage;
  }
  const bool keep = options.keepOwnSession || settings->keepOwnSession;
  settings->filter = CaptureFilterFor(settings->filter, env.sshConnection, keep);
  // Kept after all: the filter that left the session out gives way to the user's, or to
  // one that takes everything.
  if (keep && sessionLeftOut && !settings->filter) settings->filter = asked.value_or("");
  if (std::optional<int> failed = ApplySettings(*live, *settings, env)) return *failed;
  if (!options.noOwners && !settings->noOwners)
    capture.FindOwners(interface.stationAddress, helper, std::move(starts), settings->filter);
  return capture.Run(settings->maxFrames);
}

}  // namespace

int RunAgent(std::span<const std::string> args, const AgentEnvironment& env) {
  std::string error;
  std::optional<AgentOptions> options = ParseAgentArgs(args, &error);
  if (!options) {
    PrintLine(env.err, error);
    return AgentExitUsage;
  }
  switch (options->mode) {
    case AgentMode::Help:
      std::fputs(AgentUsageText(), env.out);
      return std::fflush(env.out) == 0 ? AgentExitOk : AgentExitFailure;
    case AgentMode::ListInterfaces: {
      // Listing opens no adapter for capture: it needs none of the agent's rights.
      std::string why;
      if (!DropAllCapabilities(&why)) {
        PrintLine(env.err, why);
        return AgentExitFailure;
      }
      return PrintAdapterList(env.registry, env.devices, env.out, env.err, Program) ? AgentExitOk : AgentExitFailure;
    }
    case AgentMode::Probe:
      return Probe(*options, env);
    case AgentMode::Capture:
      return StartCapture(*options, env);
  }
  return AgentExitUsage;
}
