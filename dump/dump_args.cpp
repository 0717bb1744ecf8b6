// Command line of orrisvane-dump.

#include <algorithm>
#include <charconv>
#include <string_view>

#include "analysis/mac_text.h"
#include "capture/devices/capture_filter.h"
#include "capture/remote/ssh_command.h"
#include "dump/dump.h"

namespace {

// A whole decimal number within [low, high]; nothing for anything else ("12x", "", "-3").
std::optional<std::int64_t> ParseNumber(std::string_view text, std::int64_t low, std::int64_t high) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

// The column text form as a user types it: 20 characters (the columns before Time; the
// columns that came later are then hidden, as in a text written before they existed) or
// more, each of the first ColumnCount a '0' or a '1'. The stored form reads anything but
// '1' as hidden; on a command line a typo would then silently hide columns, so it is
// refused instead.
constexpr std::size_t ColumnTextShortest = static_cast<std::size_t>(ColumnId::Time);

bool ValidColumnText(std::string_view text) {
  if (text.size() < ColumnTextShortest) return false;
  const std::size_t checked = std::min(text.size(), static_cast<std::size_t>(ColumnCount));
  for (std::size_t i = 0; i < checked; ++i) {
    if (text[i] != '0' && text[i] != '1') return false;
  }
  return true;
}

// Seconds as a decimal with up to nine places ("1", "0.1"), within [0.001, 86400], in
// nanoseconds; nothing for anything else.
std::optional<std::int64_t> ParseSeconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (fraction.size() > 9 || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
  const std::optional<std::int64_t> seconds = ParseNumber(whole, 0, 86400);
  if (!seconds) return std::nullopt;
  std::int64_t ns = *seconds * 1'000'000'000;
  std::int64_t scale = 100'000'000;
  for (char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    ns += (c - '0') * scale;
    scale /= 10;
  }
  if (ns < 1'000'000 || ns > 86400 * 1'000'000'000ll) return std::nullopt;
  return ns;
}

}  // namespace

std::optional<DumpOptions> ParseDumpArgs(std::span<const std::string> args, std::string* error) {
  DumpOptions options;
  bool modeGiven = false;
  bool decodeIpv6 = false;
  auto fail = [&](std::string message) -> std::optional<DumpOptions> {
    *error = std::move(message);
    return std::nullopt;
  };
  auto setMode = [&](DumpMode mode) {
    if (modeGiven) return false;
    modeGiven = true;
    options.mode = mode;
    return true;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    std::optional<std::string> inlineValue;
    if (flag.starts_with("--")) {
      if (auto eq = flag.find('='); eq != std::string::npos) {
        inlineValue = flag.substr(eq + 1);
        flag.resize(eq);
      }
    }
    // The value of an option: "--mac=X" or the next argument.
    auto value = [&](std::string* into) {
      if (inlineValue) {
        *into = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *into = args[++i];
      return true;
    };
    std::string v;

    if (flag == "--help" || flag == "-h") {
      options.mode = DumpMode::Help;
      return options;
    } else if (flag == "-D") {
      if (!setMode(DumpMode::ListAdapters)) return fail("only one of -D, -i and -r may be given");
    } else if (flag == "-i") {
      // -i again adds an adapter to the trace.
      if (options.mode != DumpMode::Live && !setMode(DumpMode::Live)) return fail("only one of -D, -i and -r may be given");
      if (!value(&v)) return fail("-i needs an adapter index (see -D)");
      AdapterChoice choice;
      // "-i 2=tcp port 80": the adapter's own capture filter. Neither an index nor a key
      // name holds '='.
      if (const std::size_t eq = v.find('='); eq != std::string::npos) {
        choice.captureFilter = v.substr(eq + 1);
        v.resize(eq);
        if (std::optional<std::string> why = CaptureFilterError(*choice.captureFilter))
          return fail("-i " + v + ": the capture filter of adapter " + v + " does not compile: " + *why);
      }
      // A remote adapter's key name stays when the machine's own adapters come and go,
      // which shifts the indexes after them.
      if (v.find('/') != std::string::npos) {
        choice.key = v;
      } else {
        auto n = ParseNumber(v, 0, DumpMaxAdapters - 1);
        if (!n)
          return fail("-i: '" + v + "' is not an adapter index from 0 to " + std::to_string(DumpMaxAdapters - 1) +
                      " or a key name HOST/NNNN (see -D)");
        choice.index = static_cast<int>(*n);
      }
      const auto same = [&](const AdapterChoice& c) { return c.key == choice.key && c.index == choice.index; };
      if (std::find_if(options.adapters.begin(), options.adapters.end(), same) != options.adapters.end())
        return fail("-i " + v + " is given twice");
      options.adapters.push_back(std::move(choice));
    } else if (flag == "-r") {
      if (!setMode(DumpMode::File)) return fail("only one of -D, -i and -r may be given");
      if (!value(&v) || v.empty()) return fail("-r needs a capture file name");
      options.file = v;
    } else if (flag == "--mac") {
      if (!value(&v)) return fail("--mac needs an address like 00:A0:C9:12:34:56");
      options.mac = ParseMacText(v);
      if (!options.mac) return fail("--mac: '" + v + "' is not an address like 00:A0:C9:12:34:56");
    } else if (flag == "--columns") {
      if (!value(&v)) return fail("--columns needs " + std::to_string(ColumnCount) + " characters of 0 and 1");
      if (!ValidColumnText(v))
        return fail("--columns: '" + v + "' is not " + std::to_string(ColumnCount) + " (or " +
                    std::to_string(ColumnTextShortest) + " and more) characters of 0 and 1");
      options.columns = ColumnSet::FromText(v);
      options.columnsGiven = true;
      // The packet number makes the row; it is always shown, as in the window.
      options.columns.shown[static_cast<int>(ColumnId::PacketNumber)] = 1;
      options.columns.AssignColumnPositions();
    } else if (flag == "-c") {
      if (!value(&v)) return fail("-c needs a number of frames");
      auto n = ParseNumber(v, 1, INT64_MAX);
      if (!n) return fail("-c: '" + v + "' is not a number of frames above 0");
      options.maxFrames = *n;
    } else if (flag == "-f") {
      if (!value(&v)) return fail("-f needs a capture filter expression");
      if (std::optional<std::string> why = CaptureFilterError(v)) return fail("-f: " + *why);
      options.captureFilter = v;
    } else if (flag == "-Y") {
      if (!value(&v)) return fail("-Y needs a filter expression");
      FilterError why;
      std::optional<RowFilter> filter = RowFilter::Compile(v, &why);
      if (!filter) return fail("-Y: " + why.Message(v.size()));
      options.displayFilter = std::make_shared<const RowFilter>(std::move(*filter));
    } else if (flag == "--host") {
      if (!value(&v)) return fail("--host needs an ssh destination, such as capture@web1");
      if (std::optional<std::string> why = HostError(v)) return fail("--host: " + *why);
      if (std::find(options.hosts.begin(), options.hosts.end(), v) == options.hosts.end()) options.hosts.push_back(v);
    } else if (flag == "--no-header") {
      if (inlineValue) return fail("--no-header takes no value");
      options.header = false;
    } else if (flag == "--conversations") {
      if (inlineValue) return fail("--conversations takes no value");
      options.conversations = true;
    } else if (flag == "--io") {
      if (!value(&v)) return fail("--io needs an interval in seconds, such as 1 or 0.1");
      options.ioIntervalNs = ParseSeconds(v);
      if (!options.ioIntervalNs) return fail("--io: '" + v + "' is not a number of seconds from 0.001 to 86400");
    } else if (flag == "--stats-out") {
      if (!value(&v) || v.empty()) return fail("--stats-out needs a file name");
      options.statsOut = v;
    } else if (flag == "--ipv6") {
      if (inlineValue) return fail("--ipv6 takes no value");
      decodeIpv6 = true;
    } else {
      return fail("unknown argument '" + args[i] + "' (see --help)");
    }
  }
  if (!modeGiven) return fail("one of -D, -i INDEX and -r FILE is needed (see --help)");
  // Whatever the order of --ipv6 and --columns.
  options.columns.decodeIpv6 = decodeIpv6;
  if (!options.hosts.empty() && options.mode == DumpMode::File) return fail("--host goes with -D and -i, not with -r");
  return options;
}

const char* DumpUsageText() {
  return R"(NAME
       orrisvane-dump - write captured Ethernet frames as rows of tab-separated text

SYNOPSIS
       orrisvane-dump [--host HOST]... -D
       orrisvane-dump [--host HOST]... -i INDEX[=FILTER]... [-f FILTER] [-Y EXPR] [--mac ADDRESS] [--columns FLAGS] [--ipv6] [-c N] [--no-header]
                      [--conversations] [--io SECONDS] [--stats-out FILE]
       orrisvane-dump -r FILE [-f FILTER] [-Y EXPR] [--mac ADDRESS] [--columns FLAGS] [--ipv6] [-c N] [--no-header]
                      [--conversations] [--io SECONDS] [--stats-out FILE]
       orrisvane-dump --help

DESCRIPTION
       Decodes every frame of a live adapter or of a capture file into one row, as the
       Orrisvane window does, and writes the rows to standard output: first a header line
       with the header texts of the shown columns, then one line per frame with its cells
       in the same order, separated by TAB characters. A cell that does not apply to a
       frame is empty. Inside a cell a backslash is written as \\, a TAB as \t, a line
       feed as \n and a carriage return as \r. Packet numbers start at 0. Rows of a
       live capture are written as they come; rows of a file in large blocks.

       When it ends, orrisvane-dump writes to standard error how many frames it decoded,
       with -Y how many rows the filter kept, and, for a live capture, how many the
       kernel dropped.

OPTIONS
       -D     List the adapters, one per line: index, key name, description and MAC
              address, separated by TAB characters. The MAC address is empty when the
              adapter cannot be opened; the reason follows on standard error.

       -i INDEX
              Capture live, in promiscuous mode, on the adapter with that index in the list
              of -D, until interrupted (Ctrl+C, SIGINT or SIGTERM) or until -c frames have
              been decoded. Every frame decoded before the interruption is written. A
              remote adapter may be named by its key name instead ("-i HOST/0002"), which
              stays the same when this machine's adapters come and go. Given more than
              once (-i 0 -i HOST/0002), the trace takes every adapter named: their frames
              are merged in capture-time order (each held back at most 200 ms for the
              others' earlier ones; later ones are listed when they come and counted as
              late), the Interface column names each frame's adapter, each adapter decides
              In/Out by its own MAC address, and one that fails is reported while the
              others go on.

       -i INDEX=FILTER
              The same, with a capture filter of the adapter's own in place of -f's
              (-i 0 -i 'web1/0002=tcp port 80'; empty after the = for every frame).
              Each adapter's capture agent compiles its own filter; one that does not
              compile is an argument error naming the adapter.

       --host HOST
              Add the adapters of another machine, reached with
              "ssh -T -o BatchMode=yes HOST orrisvane-capture ...", after this machine's
              in the list of -D and -i (key names "HOST/0002"); may be given more than
              once. HOST is an ssh destination (capture@web1, root@10.0.0.5, web2) that
              logs in without a prompt and finds orrisvane-capture on its PATH. A host
              that cannot be listed within a few seconds is left out, with ssh's reason
              on standard error. The list holds at most 15 adapters. ORRISVANE_SSH names
              a program to run in place of ssh.

       -r FILE
              Read the frames of a pcap or pcapng capture file with Ethernet link type.

       -f FILTER
              Decode only the frames that the capture filter takes: an expression in
              libpcap's filter language (see pcap-filter(7)), for example "tcp port 80"
              or "not arp". A live adapter filters in the kernel; a file's records are
              filtered as they are read. A filter that does not compile is an argument
              error, with libpcap's message.

       -Y EXPR
              Write only the rows that the filter expression keeps, for example
              "conn == 12 or port 53", "ip == 10.0.0.5 and not dir == out" or
              'data contains "GET /"'. Every field can be used, whether its column is
              shown or not. Every frame is still decoded: packet numbers stay those of
              the whole capture and TCP connections are numbered as without -Y. An
              expression with a mistake is an argument error, with the place of the
              mistake and what was expected there.

              Fields, one per column: num, time, bytes, dir, mac.src, mac.dst, len,
              proto, ip.src, ip.dst, ulp, conn, sport, dport, seq, ack, flags, win,
              sum, winsock, data; ip, mac and port stand for either of their two.
              A field alone is true when its cell is set. Operators: == != < <= > >=
              contains & (bitwise and), and, or, not, && || ! and parentheses; a
              field followed by a value compares with ==. Numbers are decimal or
              0x-hex, addresses dotted IPv4, IPv6 (2001:db8::1) or colon MACs, an
              IP address field also a network (ip.src == 2001:db8::/32, 10.0.0.0/8); proto and ulp compare the
              name before " (" ("proto == IP"); a quoted string (inside it \" and \\
              escape) compares with the whole cell text. A word or string standing
              alone keeps the rows that have it in any cell. A comparison with a cell
              that is not set is false.

       --mac AA:BB:CC:DD:EE:FF
              The station address that decides the direction: a frame sent from it is
              "out", any other frame "in". Default: the adapter's own address for -i,
              00:00:00:00:00:00 for -r.

       --columns FLAGS
              Which columns are shown: 23 characters of 0 and 1, character i standing for
              column i of the list below; fewer (20 at least) leave the columns past their
              end out. The packet number is always shown. Time stands right after it,
              Process and Interface after Winsock Function. Default:
              11100011111110000011100 (with several -i, Interface too).
                0 Packet Number          10 TCP Connection Number
                1 Bytes                  11 TCP Source Port
                2 In/Out                 12 TCP Destination Port
                3 MAC Source Address     13 TCP Sequence Number
                4 MAC Destination Address 14 TCP Acknowledgement Number
                5 IEEE802.3 Length       15 TCP Flags
                6 Protocol               16 TCP Window
                7 IP Source Address      17 TCP Checksum
                8 IP Destination Address 18 Winsock Function
                9 Upper Layer Protocol   19 Data
                                         20 Time
                                         21 Process
                                         22 Interface
       Time is the seconds since the first frame, with six decimals; empty for a frame
       whose capture time is not known. Process is the program whose socket sent or
       received a frame, as the capture agent found it: the name and PID, as in
       curl (4242); only the user, as in (user ann), when that is all that is known;
       empty when nothing is. Interface is the adapter a frame came through, for a
       trace of several adapters.

       --ipv6 Decode IPv6 frames (EtherType 0x86DD) as the window's "Decode IPv6" setting
              does: their addresses (RFC 5952 text), the upper-layer protocol after the
              extension headers, and the TCP and UDP cells. Without it they stop at
              the Protocol cell ("IPNG"). IPv4 rows are the same either way.

       -c N   Stop after N frames; exactly N rows are written. With -Y: after N rows
              that the filter keeps.

       --no-header
              Leave out the header line.

       --conversations
              At the end of the run, write one line per TCP connection (its number)
              and per UDP address-and-port pair, as tab-separated text with a header:
              addresses and ports of both ends (A sent the first frame seen), frames
              and bytes each way, first and last time and duration in seconds, state
              (TCP: "closed" after a reset or a FIN from each end, else "still open")
              and the last socket call seen. Bytes are the frames' lengths on the wire,
              also where the capture cut them. Every decoded frame counts, also with -Y.

       --io SECONDS
              At the end of the run, write frames and bytes in and out per interval of
              SECONDS (0.001 to 86400) from the first frame, idle intervals included,
              as tab-separated text with a header.

       --stats-out FILE
              Write the tables of --conversations and --io to FILE (replaced only once
              it is complete) instead of to the standard error.

       -h, --help
              Show this text.

EXIT STATUS
       0      The capture ended normally (end of file, -c, or an interruption).
       1      The file could not be read or is damaged, the adapter could not be opened
              or its reads failed (it went down or away), or the output could not be
              written. Rows decoded before the failure are written before the error.
       2      The arguments were wrong.

EXAMPLES
       orrisvane-dump -r trace.pcap --columns 1111111111111111111111 > trace.tsv
       orrisvane-dump -r trace.pcapng -f 'tcp port 443' -c 20
       orrisvane-dump -r trace.pcap -Y 'conn == 12 or port 53'
       sudo orrisvane-dump -i 0 -c 100
       orrisvane-dump --host capture@web1 -D
)";
}
