// A bounded traffic source for the live-capture comparison: UDP datagrams to 127.0.0.1 only,
// a fixed count, at a given rate or as fast as it goes, and never longer than a time bound.
// A socket of its own is bound to the destination port and never read, so the datagrams
// end in its full receive buffer instead of drawing "port unreachable" replies.
//
// Usage: loopback-sender --count N [--rate FRAMES_PER_S] [--port P] [--size PAYLOAD_BYTES]
//                        [--seconds LIMIT] [--to IPV4]
// --to sends to that address instead: the far end of a veth pair into a network namespace
// the benchmark made (run the sender inside the namespace); no sink socket is bound then,
// so capture with a filter on the port.
// --rate 0 (the default) sends as fast as it can. Every payload starts with the marker
// "orrisvane-bench", so a capture without a filter can tell these frames from others.
// Prints "sent N in S s = R frames/s" on stdout.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kMarker[] = "orrisvane-bench";

struct Options {
  long long count = 0;
  double rate = 0;
  int port = 47613;
  int size = 64;
  double seconds = 30;
  std::string to;  // empty: 127.0.0.1
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "loopback-sender: %s\nusage: loopback-sender --count N [--rate R] [--port P] [--size B] "
                       "[--seconds LIMIT]\n", why);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage(("missing value after " + arg).c_str());
    const char* value = argv[++i];
    if (arg == "--to") {
      o.to = value;
      continue;
    }
    char* end = nullptr;
    const double v = std::strtod(value, &end);
    if (end == value || *end != '\0' || v < 0) Usage(("bad value for " + arg).c_str());
    if (arg == "--count") o.count = static_cast<long long>(v);
    else if (arg == "--rate") o.rate = v;
    else if (arg == "--port") o.port = static_cast<int>(v);
    else if (arg == "--size") o.size = static_cast<int>(v);
    else if (arg == "--seconds") o.seconds = v;
    else Usage(("unknown option " + arg).c_str());
  }
  if (o.count <= 0) Usage("--count must be positive");
  if (o.port <= 0 || o.port > 65535) Usage("--port out of range");
  if (o.size < static_cast<int>(sizeof kMarker) - 1 || o.size > 1400) Usage("--size must be 15 to 1400");
  if (o.seconds <= 0 || o.seconds > 300) Usage("--seconds must be 0 to 300");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(o.port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!o.to.empty() && ::inet_pton(AF_INET, o.to.c_str(), &to.sin_addr) != 1) Usage("--to needs an IPv4 address");

  const int sink = o.to.empty() ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
  const int rcvbuf = 4096;
  if (sink >= 0) ::setsockopt(sink, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (o.to.empty() && (sink < 0 || ::bind(sink, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)) {
    std::fprintf(stderr, "loopback-sender: cannot bind 127.0.0.1:%d: %s\n", o.port, std::strerror(errno));
    return 1;
  }
  const int out = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (out < 0 || ::connect(out, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    std::fprintf(stderr, "loopback-sender: cannot connect to 127.0.0.1:%d: %s\n", o.port, std::strerror(errno));
    return 1;
  }

  std::string payload(static_cast<std::size_t>(o.size), '.');
  std::memcpy(payload.data(), kMarker, sizeof kMarker - 1);

  // Datagrams go out in bursts through one sendmmsg. At a set rate a burst is about half a
  // millisecond's worth and sleeps until its moment (never spins: the capturing process
  // needs the other processor), so the rate holds on average.
  constexpr int kBurst = 32;
  std::vector<iovec> iov(kBurst, iovec{payload.data(), payload.size()});
  std::vector<mmsghdr> msgs(kBurst);
  for (int i = 0; i < kBurst; ++i) {
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const int burst = o.rate > 0 ? std::clamp(static_cast<int>(o.rate / 2000), 1, kBurst) : kBurst;

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto limit = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  long long sent = 0;
  bool timedOut = false;
  while (sent < o.count) {
    const auto now = Clock::now();
    if (now >= limit) {
      timedOut = true;
      break;
    }
    if (o.rate > 0) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(sent) / o.rate));
      if (due > now) {
        std::this_thread::sleep_until(due);
        continue;
      }
    }
    const int n = static_cast<int>(std::min<long long>(burst, o.count - sent));
    const int done = ::sendmmsg(out, msgs.data(), static_cast<unsigned>(n), 0);
    if (done < 0) {
      // ECONNREFUSED: a port-unreachable answer to an earlier datagram (--to has no sink).
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) continue;
      std::fprintf(stderr, "loopback-sender: send failed: %s\n", std::strerror(errno));
      return 1;
    }
    sent += done;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(out);
  if (sink >= 0) ::close(sink);
  std::printf("sent %lld in %.3f s = %.0f frames/s%s\n", sent, elapsed, static_cast<double>(sent) / elapsed,
              timedOut ? " (time limit reached)" : "");
  return timedOut ? 1 : 0;
}
