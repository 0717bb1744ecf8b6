#include "capture/devices/agent_device.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <utility>

#include "capture/driver/abort_event.h"
#include "capture/devices/capture_filter.h"
#include "capture/remote/child_process.h"
#include "capture/driver/device_base.h"
#include "capture/adapters/linux_registry.h"
#include "capture/formats/pcapng_stream.h"
#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The prefix of the agent's one line on standard error.
constexpr char AgentErrorPrefix[] = "orrisvane-capture: ";
// How long an agent that closed its output gets to exit before it is made to.
constexpr std::chrono::milliseconds AgentExitWait{50};
constexpr std::chrono::milliseconds SshExitWait{1000};

bool ExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string WithoutAgentPrefix(std::string line) {
  if (line.rfind(AgentErrorPrefix, 0) == 0) line.erase(0, sizeof AgentErrorPrefix - 1);
  return line;
}

class AgentDevice : public DeviceBase {
 public:
  explicit AgentDevice(AgentOptions options) : options_(std::move(options)) {}

  ~AgentDevice() override { StopAgent(); }

  std::uint64_t KernelDrops() const override { return earlierDrops_.load() + drops_.load(); }

  bool SetCaptureFilter(const std::string& expression) override {
    // Checked here, so that a filter the agent would refuse is told at once, with
    // libpcap's words, rather than as the agent's end at the first read.
    if (expression.find('\0') != std::string::npos) return Fail("the capture filter holds a NUL character");
    if (std::optional<std::string> why = CaptureFilterError(expression))
      return Fail("the capture filter does not compile: " + *why);
    captureFilter_ = expression;
    return true;
  }

 private:
  void Abort() override { abort_.Raise(); }

  bool Bind(const std::string& keyName) override {
    if (bound_) return Fail("an interface is already bound");
    std::string why;
    host_.clear();
    remoteDescription_.clear();
    if (SplitRemoteKey(keyName)) {
      std::optional<RemoteAdapter> remote = options_.remoteHosts ? options_.remoteHosts->Find(keyName) : std::nullopt;
      if (!remote) return Fail("no listed adapter of a remote host has the key \"" + keyName + "\"");
      host_ = SplitRemoteKey(keyName)->first;
      interfaceName_ = remote->interfaceName;
      remoteDescription_ = host_ + ": " + remote->description;
    } else {
      auto name = InterfaceNameForKey(keyName, options_.sysRoot);
      if (!name) return Fail("no network interface has the adapter key \"" + keyName + "\"");
      std::optional<std::string> agent;
      if (options_.agentPath.empty()) {
        agent = FindCaptureAgent(ThisProgramsAgentSearch(), &why);
      } else if (ExecutableFile(options_.agentPath)) {
        agent = options_.agentPath;
      } else {
        why = "the capture agent " + options_.agentPath + " is not an executable file";
      }
      if (!agent) return Fail(why);
      interfaceName_ = *name;
      agentPath_ = *agent;
    }
    if (!abort_.Usable()) return Fail(std::string("cannot make the abort event: ") + std::strerror(errno));
    // The agent opens the interface as a capture would and describes it before it waits
    // for the settings of the capture: a missing capability, an interface that is down or
    // gone is the bind's failure, as with an in-process open, and the station address is
    // known from the bind on. The same agent then captures, from the first read.
    {
      std::lock_guard lock(mutex_);
      streamMac_.reset();
      streamDescription_.clear();
    }
    failed_ = false;
    if (!LaunchAgent(&why) || !AwaitInterface(&why)) {
      StopAgent();
      return Fail(why);
    }
    bound_ = true;
    return true;
  }

  // The agent for the bound interface, waiting for its settings: this machine's, or the
  // remote host's through ssh (which passes its input on).
  bool LaunchAgent(std::string* why) {
    std::vector<std::string> arguments = {"-i", interfaceName_, "--settings-on-input"};
    // An agent run by ssh (on a host, or here when the program itself runs in an ssh
    // session) leaves that session's frames out unless the user keeps them.
    if (options_.remoteHosts && options_.remoteHosts->KeepOwnSession()) arguments.push_back("--keep-own-session");
    if (host_.empty()) {
      agent_ = ChildProcess::Start(agentPath_, arguments, why, ChildProcess::Input::Writable);
    } else if (std::optional<SshCommand> ssh = RemoteAgentCommand(host_, arguments, why)) {
      agent_ = ChildProcess::Start(ssh->program, ssh->arguments, why, ChildProcess::Input::Writable);
    }
    if (!agent_) {
      *why = Reason(*why);
      return false;
    }
    stream_ = std::make_unique<PcapngStreamReader>();
    outputDrained_ = false;
    settingsSent_ = false;
    return true;
  }

  // Reads the agent's stream up to its interface description.
  bool AwaitInterface(std::string* why) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(AgentProbeTimeoutMs);
    for (;;) {
      switch (stream_->Next()) {
        case PcapngStreamReader::Item::Interface: {
          const PcapngInterface& interface = stream_->LastInterface();
          if (!interface.macAddress) {
            *why = Reason("the capture agent described " + interfaceName_ + " without its station address");
            return false;
          }
          Noted(interface);
          return true;
        }
        case PcapngStreamReader::Item::Failed:
          *why = Reason("the capture agent's stream is damaged: " + stream_->Failure());
          return false;
        case PcapngStreamReader::Item::Packet:
        case PcapngStreamReader::Item::Statistics:
          *why = Reason("the capture agent's stream does not begin with an interface description");
          return false;
        case PcapngStreamReader::Item::NeedMore:
          break;
      }
      const std::span<std::uint8_t> room = stream_->Space();
      const ssize_t n = ::read(agent_->Output(), room.data(), room.size());
      if (n > 0) {
        stream_->Commit(static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) {
        *why = EndReason();
        return false;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        *why = Reason(std::string("reading from the capture agent failed: ") + std::strerror(errno));
        return false;
      }
      const int left = RemainingMs(deadline);
      if (left == 0) {
        *why = Reason("the capture agent gave no answer about " + interfaceName_ + " within " +
                      std::to_string(AgentProbeTimeoutMs / 1000) + " s");
        return false;
      }
      struct pollfd fds[2] = {{agent_->Output(), POLLIN, 0}, {agent_->Errors(), POLLIN, 0}};
      if (::poll(fds, agent_->Errors() >= 0 ? 2 : 1, left) > 0 && fds[1].revents != 0) agent_->TakeErrors();
    }
  }

  // The capture's settings, as the agent reads them from its input (NUL-ended words, then
  // an empty one). An agent that has gone is not an error here: its closed output says why.
  void SendSettings() {
    agentPromiscuous_ = promiscuous_.load();
    std::string words;
    if (agentPromiscuous_) words.append("--promiscuous").push_back('\0');
    if (!captureFilter_.empty()) {
      words.append("-f").push_back('\0');
      words.append(captureFilter_).push_back('\0');
    }
    words.push_back('\0');
    agent_->Send(words);
    agent_->CloseInput();
    settingsSent_ = true;
  }

  // A reason as the user sees it: a remote one after the host's name.
  std::string Reason(std::string text) const { return host_.empty() ? text : host_ + ": " + text; }

  void Unbind() override {
    StopAgent();
    bound_ = false;
  }

  bool SetPacketFilter(std::uint32_t filter) override {
    if (!bound_) return Fail("no interface is bound");
    // Only noted: the reading thread tells the agent (or restarts it) with it.
    promiscuous_.store((filter & PromiscuousFilter) != 0);
    return true;
  }

  bool StartAgent() {
    std::string why;
    if (!LaunchAgent(&why)) return AgentFailed(why);
    SendSettings();
    return true;
  }

  void StopAgent() {
    if (!agent_) return;
    agent_->Stop();
    agent_.reset();
    // A new agent counts its drops from zero.
    earlierDrops_.fetch_add(drops_.exchange(0));
  }

  // The agent is of no more use: stop it, keep the reason, fail this read and every
  // later one.
  bool AgentFailed(std::string reason) {
    StopAgent();
    failed_ = true;
    return Fail(std::move(reason));
  }

  // The agent closed its output: it has ended or is ending. Its line on standard error
  // says why; without one, how it ended does.
  std::string EndReason() {
    const bool wholeStream = stream_->Finish();
    // ssh says why a connection ended on its way out, a little after the stream's end.
    std::optional<int> status = agent_->Wait(host_.empty() ? AgentExitWait : SshExitWait);
    // Once it has ended, all it wrote is in the pipe: one look takes it.
    if (status) agent_->TakeErrors();
    std::string reason = WithoutAgentPrefix(agent_->LastErrorLine());
    if (reason.empty()) {
      // ssh's own end (a signal, or its status 255) is no word of the agent's.
      const bool sshEnded = !host_.empty() && status && (WIFSIGNALED(*status) || WEXITSTATUS(*status) == 255);
      reason = !status  ? std::string("the capture agent closed its output")
               : sshEnded ? "ssh " + DescribeWaitStatus(*status)
                          : "the capture agent " + DescribeWaitStatus(*status);
      if (!wholeStream) reason += "; " + stream_->Failure();
    }
    return Reason(std::move(reason));
  }

  bool AgentEnded() { return AgentFailed(EndReason()); }

  void Noted(const PcapngInterface& interface) {
    std::lock_guard lock(mutex_);
    streamMac_ = interface.macAddress;
    streamDescription_ = interface.description;
  }

  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) override {
    if (bytesReturned) *bytesReturned = 0;
    if (abort_.Raised()) return false;
    if (!output && size > 0) return Fail("the read request has no buffer");
    return ReadFromBatch(output, size, bytesReturned);
  }

  // Every complete frame the stream's buffer holds, as views into it: they stay valid
  // until the next read of the pipe, which comes only with the next batch.
  bool ReadBatch(FrameBatch& batch, std::uint32_t) override {
    batch.frames.clear();
    // The clock is read only once a read has to wait: a frame already in the buffer (the
    // common case on a busy interface) costs no clock reading.
    Clock::time_point deadline{};
    const auto Deadline = [&deadline, this] {
      if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
      return deadline;
    };
    if (abort_.Raised()) return false;
    if (!bound_) {
      abort_.WaitUntil(Deadline());
      return Fail("no interface is bound");
    }
    if (failed_) {
      abort_.WaitUntil(Deadline());
      return false;  // LastError() keeps the agent's reason
    }
    if (agent_ && !settingsSent_) SendSettings();
    if (agent_ && agentPromiscuous_ != promiscuous_.load()) StopAgent();
    if (!agent_ && !StartAgent()) return false;

    for (;;) {
      if (abort_.Raised()) return false;
      for (bool more = true; more;) {
        switch (stream_->Next()) {
          case PcapngStreamReader::Item::Packet: {
            const PcapngPacket& packet = stream_->Packet();
            FrameInfo info{static_cast<std::int64_t>(std::min<std::uint64_t>(packet.timestampNanoseconds, INT64_MAX)),
                           packet.originalLength, packet.owner};
            batch.frames.push_back({packet.data, std::move(info)});
            break;
          }
          case PcapngStreamReader::Item::Interface:
            Noted(stream_->LastInterface());
            break;
          case PcapngStreamReader::Item::Statistics:
            if (stream_->Statistics().dropped) drops_.store(*stream_->Statistics().dropped);
            break;
          case PcapngStreamReader::Item::Failed:
            // The frames before the damage go first; the next read fails.
            if (!batch.frames.empty()) return true;
            return AgentFailed("the capture agent's stream is damaged: " + stream_->Failure());
          case PcapngStreamReader::Item::NeedMore:
            more = false;
            break;
        }
      }
      if (!batch.frames.empty()) {
        framesSinceEmpty_ = true;
        return true;
      }

      // Read what the pipe holds at once, as much as fits; only when the last read left it
      // empty, wait for more first.
      if (!outputDrained_) {
        const std::span<std::uint8_t> room = stream_->Space();
        const ssize_t n = ::read(agent_->Output(), room.data(), room.size());
        if (n > 0) {
          stream_->Commit(static_cast<std::size_t>(n));
          outputDrained_ = static_cast<std::size_t>(n) < room.size();
          continue;
        }
        if (n == 0) return AgentEnded();
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return AgentFailed(std::string("reading from the capture agent failed: ") + std::strerror(errno));
        outputDrained_ = true;
      }
      // The agent's last write is taken: its frames end here, and this read says so.
      if (std::exchange(framesSinceEmpty_, false)) return true;
      const int left = RemainingMs(Deadline());
      if (left == 0) return true;  // nothing came in time
      struct pollfd fds[3] = {{agent_->Output(), POLLIN, 0}, {abort_.Fd(), POLLIN, 0}, {agent_->Errors(), POLLIN, 0}};
      const int ready = ::poll(fds, agent_->Errors() >= 0 ? 3 : 2, left);
      if (ready < 0 && errno != EINTR)
        return AgentFailed(std::string("waiting for the capture agent failed: ") + std::strerror(errno));
      if (ready > 0 && fds[2].revents != 0) agent_->TakeErrors();  // so the agent never blocks on it
      if (ready > 0 && fds[0].revents != 0) outputDrained_ = false;
    }
  }

  bool StationAddress(std::array<std::uint8_t, 6>& address) override {
    if (!bound_) return Fail("no interface is bound");
    std::lock_guard lock(mutex_);
    address = streamMac_.value_or(std::array<std::uint8_t, 6>{});
    return true;
  }

  bool Description(std::string& text) override {
    if (!bound_) return Fail("no interface is bound");
    {
      std::lock_guard lock(mutex_);
      text = streamDescription_;
    }
    if (!host_.empty()) text = text.empty() ? remoteDescription_ : host_ + ": " + text;
    if (text.empty()) text = DescribeInterface(interfaceName_, options_.sysRoot);
    return true;
  }

  const AgentOptions options_;
  AbortEvent abort_;
  std::atomic<bool> promiscuous_{false};  // what the set-filter request asked for

  // The owner's thread (bind, unbind, requests that complete at once).
  bool bound_ = false;
  std::string interfaceName_;
  std::string agentPath_;
  std::string host_;               // empty: this machine
  std::string remoteDescription_;  // as the host listed the adapter, after its name
  std::string captureFilter_;

  // The reading thread (and unbind, once no read can come).
  std::unique_ptr<ChildProcess> agent_;
  std::unique_ptr<PcapngStreamReader> stream_;
  bool agentPromiscuous_ = false;  // what the running agent was told
  bool settingsSent_ = false;      // the running agent has its settings
  bool outputDrained_ = false;     // the last read of the pipe left nothing in it
  bool framesSinceEmpty_ = false;  // a frame was delivered since the last read of 0 bytes
  bool failed_ = false;

  // Kernel drops: those of the running agent's last statistics, and of earlier agents.
  std::atomic<std::uint64_t> drops_{0};
  std::atomic<std::uint64_t> earlierDrops_{0};

  mutable std::mutex mutex_;
  std::optional<std::array<std::uint8_t, 6>> streamMac_;
  std::string streamDescription_;
};

}  // namespace

std::optional<std::array<std::uint8_t, 6>> ParseStationAddress(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.size() != 17) return std::nullopt;
  std::array<std::uint8_t, 6> mac{};
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != ':') return std::nullopt;
    unsigned value = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const char c = text[i * 3 + j];
      unsigned digit;
      if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
      value = value * 16 + digit;
    }
    mac[i] = static_cast<std::uint8_t>(value);
  }
  return mac;
}

AgentSearch ThisProgramsAgentSearch() {
  AgentSearch search;
  if (const char* value = std::getenv(CaptureAgentVariable); value && *value) search.variable = value;
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  search.programFolder = ec ? std::string(".") : program.parent_path().string();
  return search;
}

std::optional<std::string> FindCaptureAgent(const AgentSearch& search, std::string* why) {
  if (search.variable) {
    if (ExecutableFile(*search.variable)) return *search.variable;
    if (why)
      *why = std::string(CaptureAgentVariable) + " names " + *search.variable +
             ", which is not an executable file: set it to the path of " + CaptureAgentName;
    return std::nullopt;
  }
  const fs::path folder(search.programFolder);
  for (const fs::path& candidate : {folder / CaptureAgentName, folder / ".." / "agent" / CaptureAgentName,
                                    folder / ".." / "bin" / CaptureAgentName}) {
    const std::string path = candidate.lexically_normal().string();
    if (ExecutableFile(path)) return path;
  }
  if (why)
    *why = std::string("the capture agent ") + CaptureAgentName + " was not found beside " + search.programFolder +
           " (nor in ../agent or ../bin); install it there, or set " + CaptureAgentVariable + " to its path";
  return std::nullopt;
}

void RegisterAgentDevice(DeviceTable& table, AgentOptions options) {
  table.Register(DriverDevicePath, [options = std::move(options)](const DeviceOpenArgs&) {
    return std::unique_ptr<PacketDevice>(std::make_unique<AgentDevice>(options));
  });
}

std::string CapabilityGrantHint(const std::string& reason) {
  std::string lower(reason);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.find("permission") == std::string::npos && lower.find("not permitted") == std::string::npos) return {};
  std::string why;
  return "sudo setcap cap_net_raw,cap_net_admin+eip " +
         FindCaptureAgent(ThisProgramsAgentSearch(), &why).value_or(CaptureAgentName);
}
