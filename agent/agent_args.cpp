#include "agent/agent_args.h"

#include <charconv>
#include <limits>
#include <vector>

std::optional<AgentOptions> ParseAgentArgs(std::span<const std::string> args, std::string* error) {
  AgentOptions options;
  bool modeGiven = false;
  const auto fail = [error](std::string message) -> std::optional<AgentOptions> {
    if (error) *error = std::move(message);
    return std::nullopt;
  };
  const auto setMode = [&](AgentMode mode) {
    if (modeGiven) return false;
    options.mode = mode;
    modeGiven = true;
    return true;
  };
  constexpr char OneMode[] = "only one of -i, --probe, -D and --help may be given";

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (flag == "--help" || flag == "-h") {
      if (!setMode(AgentMode::Help)) return fail(OneMode);
    } else if (flag == "-D") {
      if (!setMode(AgentMode::ListInterfaces)) return fail(OneMode);
    } else if (flag == "-i" || flag == "--probe") {
      if (!setMode(flag == "-i" ? AgentMode::Capture : AgentMode::Probe)) return fail(OneMode);
      if (!value(&v) || v.empty()) return fail(flag + " needs an interface name (see -D)");
      options.interfaceName = v;
    } else if (flag == "--settings-on-input") {
      options.settingsOnInput = true;
    } else if (flag == "--keep-own-session") {
      options.keepOwnSession = true;
    } else if (flag == "--no-owners") {
      options.noOwners = true;
    } else if (flag == "--promiscuous") {
      options.promiscuous = true;
    } else if (flag == "-f") {
      if (!value(&v)) return fail("-f needs a filter expression");
      if (v.size() > AgentFilterLimitBytes)
        return fail("-f: the filter is longer than " + std::to_string(AgentFilterLimitBytes) + " bytes");
      options.filter = v;
    } else if (flag == "-c") {
      if (!value(&v)) return fail("-c needs a frame count");
      std::int64_t n = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (ec != std::errc() || end != v.data() + v.size() || n < 1)
        return fail("-c: '" + v + "' is not a frame count from 1 to " +
                    std::to_string(std::numeric_limits<std::int64_t>::max()));
      options.maxFrames = n;
    } else {
      return fail("unknown argument '" + flag + "' (see --help)");
    }
  }
  if (!modeGiven) return fail("one of -i IFNAME, --probe IFNAME and -D is needed (see --help)");
  if (options.mode != AgentMode::Capture &&
      (options.promiscuous || options.filter || options.maxFrames || options.settingsOnInput ||
       options.keepOwnSession || options.noOwners))
    return fail("--promiscuous, -f, -c, --keep-own-session, --no-owners and --settings-on-input go with -i only");
  return options;
}

namespace {

// An address as ssh puts it in SSH_CONNECTION: IPv4 dotted or IPv6 in hex and colons.
// Anything else (a zone, a name) is not written into a filter.
bool SessionAddress(std::string_view text) {
  return !text.empty() && text.size() <= 45 &&
         text.find_first_not_of("0123456789abcdefABCDEF.:") == std::string_view::npos;
}

bool SessionPort(std::string_view text) {
  unsigned port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

}  // namespace

std::optional<std::string> CaptureFilterFor(const std::optional<std::string>& userFilter,
                                            std::string_view sshConnection, bool keepOwnSession) {
  if (keepOwnSession) return userFilter;
  std::vector<std::string_view> words;
  for (std::size_t at = 0; at < sshConnection.size();) {
    const std::size_t end = std::min(sshConnection.find(' ', at), sshConnection.size());
    if (end > at) words.push_back(sshConnection.substr(at, end - at));
    at = end + 1;
  }
  if (words.size() != 4 || !SessionAddress(words[0]) || !SessionPort(words[1]) || !SessionAddress(words[2]) ||
      !SessionPort(words[3]))
    return userFilter;
  const std::string session = "not (tcp and host " + std::string(words[0]) + " and port " + std::string(words[1]) +
                              " and host " + std::string(words[2]) + " and port " + std::string(words[3]) + ")";
  if (!userFilter || userFilter->find_first_not_of(" \t\n") == std::string::npos) return session;
  return "(" + *userFilter + ") and " + session;
}

const char* AgentUsageText() {
  return R"(NAME
       orrisvane-capture - capture the frames of one network interface as a pcapng stream

SYNOPSIS
       orrisvane-capture -i IFNAME [--promiscuous] [-f FILTER] [-c COUNT] [--keep-own-session] [--no-owners]
                         [--settings-on-input]
       orrisvane-capture --probe IFNAME
       orrisvane-capture -D
       orrisvane-capture --help

DESCRIPTION
       The only part of Orrisvane that needs the right to capture (cap_net_raw and
       cap_net_admin, or root). It opens the interface, gives up every capability at once,
       then compiles and applies the filter, and writes what it captures to
       standard output as a pcapng stream: a section header, one interface description
       (Ethernet, snap length 1520, the interface's name, description and MAC address), one
       enhanced packet block per frame, and interface statistics (frames received and
       dropped by the kernel) about once a second and at the end. Output is flushed at
       least every 50 ms while frames come. Other programs read it as it is:

           orrisvane-capture -i lo -c 10 | tcpdump -nn -r -

OPTIONS
       -i IFNAME
              Capture on the interface IFNAME until interrupted (SIGINT or SIGTERM), until
              standard output is closed, or until COUNT frames have been written. IFNAME is
              a network interface of the host as the kernel names it (ip link); libpcap's
              other devices (any, nflog, dbus-system, usbmon0, ...) are refused. An alias
              (lo:guest) captures the interface it belongs to, which the stream names.

       --promiscuous
              Put the interface into promiscuous mode for the capture.

       -f FILTER
              Capture only the frames that the BPF expression FILTER accepts (the syntax
              of tcpdump and pcap-filter(7)); at most 8192 bytes, compiled within 10
              seconds (host names in it are looked up).

       -c COUNT
              End after COUNT frames.

       --keep-own-session
              Capture the frames of the ssh session the agent runs in as well. Without it
              an agent started over ssh (SSH_CONNECTION set) leaves them out, so that a
              remote capture does not list its own stream: the filter becomes
              (FILTER) and not (tcp and host CLIENT and port CPORT and host SERVER and
              port SPORT), or the part from "not" alone without a FILTER.

       --no-owners
              Do not look up the process that owns each frame's socket. Without it the
              agent lists the host's TCP and UDP sockets (socket diagnostics over
              netlink) when a flow's first frame comes, finds the process holding the
              socket through /proc/PID/fd (the processes of its own user, or all when it
              runs as root; of the others only the user), and writes each owner once as
              a custom block, each frame of its socket naming it in a custom option. A
              second packet socket on the interface takes the TCP segments with SYN set
              that FILTER takes, so that a new connection is looked up as it starts.

       --settings-on-input
              Open the interface and write the stream's section header and interface
              description at once, give up every capability, then read further options
              (--promiscuous, -f FILTER, -c COUNT, --keep-own-session, --no-owners) from standard input before the first
              frame: each option and value ended by a NUL byte, the list by an empty one.
              A program that learns the capture's settings only after it has chosen the
              interface so needs one agent, not a probe and then a capture. The frames
              the kernel took in the meantime are kept, filtered as the rest. A standard
              input closed before the list ends ends the agent (status 0); a list longer
              than 16384 bytes is refused (status 2).

       --probe IFNAME
              Open IFNAME as a capture would, print its MAC address (02:FC:00:00:00:01)
              and end.

       -D     List the interfaces as orrisvane-dump -D does: index, key name, description
              and MAC address, tab-separated.

       --help Print this text.

EXIT STATUS
       0      The capture ended normally (signal, closed output, COUNT reached).
       1      The interface cannot be opened or fails; one line on standard error,
              "orrisvane-capture: REASON", with the system's reason.
       2      Bad arguments, or a filter that does not compile (libpcap's message) or does
              not compile within 10 seconds.
)";
}
