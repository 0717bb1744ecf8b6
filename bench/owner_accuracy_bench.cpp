// How often the capture agent names the right process at each end of a flow: on the
// loopback interface a client process ("obench-client") opens short TCP connections
// (each living 20 to 100 ms) and makes one-shot UDP exchanges (a socket of its own for
// one datagram and its answer, which the server gives after 20 to 100 ms, as a service
// that works on a request does) with a server process ("obench-server"), while the agent
// captures their ports; then every flow's frames are checked against the two PIDs. A
// frame naming any other process is a wrong attribution. (A socket that lives only for an
// answer given at once over loopback, some tens of microseconds, is gone before the agent
// can ask for it: such a client end shows only when the server is slower.)
//
// Usage: owner_accuracy_bench [TCP_FLOWS [UDP_FLOWS]]   (default 500 and 500)
// Needs the right to capture. Prints a table; exits 1 when a target is missed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analysis/frame_bytes.h"
#include "analysis/ip_layout.h"
#include "capture/formats/pcapng_stream.h"

namespace {

constexpr std::uint16_t TcpPort = 47811;
constexpr std::uint16_t UdpPort = 47812;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

[[noreturn]] void Server() {
  ::prctl(PR_SET_NAME, "obench-server");
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in tcp = Loopback(TcpPort);
  const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in udpAddress = Loopback(UdpPort);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&tcp), sizeof tcp) != 0 || ::listen(listener, 64) != 0 ||
      ::bind(udp, reinterpret_cast<sockaddr*>(&udpAddress), sizeof udpAddress) != 0)
    ::_exit(1);
  std::thread datagrams([udp] {
    char buffer[64];
    std::mt19937 random(29);
    std::uniform_int_distribution<int> work(20, 100);
    for (;;) {
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n = ::recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      std::this_thread::sleep_for(std::chrono::milliseconds(work(random)));
      if (n > 0) ::sendto(udp, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  });
  datagrams.detach();
  for (;;) {
    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    std::thread([connection] {
      char buffer[64];
      // Answers each request and closes when the client does.
      while (::read(connection, buffer, sizeof buffer) > 0) ::write(connection, "pong", 4);
      ::close(connection);
    }).detach();
  }
}

void Client(int tcpFlows, int udpFlows) {
  ::prctl(PR_SET_NAME, "obench-client");
  std::mt19937 random(28);
  std::uniform_int_distribution<int> lifetime(20, 100);
  char buffer[64];
  for (int i = 0; i < tcpFlows; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = Loopback(TcpPort);
    if (::connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetime(random));
      ::write(s, "ping", 4);
      ::read(s, buffer, sizeof buffer);
      std::this_thread::sleep_until(end);
    }
    ::close(s);
  }
  for (int i = 0; i < udpFlows; ++i) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in server = Loopback(UdpPort);
    timeval limit{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::sendto(s, "ping", 4, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    ::recv(s, buffer, sizeof buffer, 0);
    ::close(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// What the frames of one end of one flow named: its process, another one, only a user,
// or nothing.
struct End {
  int right = 0;
  int wrong = 0;
  int userOnly = 0;
  int none = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* const program = ORRISVANE_CAPTURE_PROGRAM;
  const int tcpFlows = argc > 1 ? std::atoi(argv[1]) : 500;
  const int udpFlows = argc > 2 ? std::atoi(argv[2]) : 500;
  if (::geteuid() != 0) {
    std::printf("owner_accuracy_bench: skipped (needs root to capture on lo)\n");
    return 0;
  }

  const pid_t server = ::fork();
  if (server == 0) Server();
  int stream[2];
  if (::pipe(stream) != 0) return 1;
  const std::string filter = "port " + std::to_string(TcpPort) + " or port " + std::to_string(UdpPort);
  const pid_t agent = ::fork();
  if (agent == 0) {
    ::dup2(stream[1], 1);
    ::close(stream[0]);
    ::close(stream[1]);
    ::execl(program, program, "-i", "lo", "-f", filter.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(stream[1]);

  // The stream is read as it comes, so the agent never waits for the pipe.
  std::vector<std::uint8_t> bytes;
  std::thread reader([&] {
    std::uint8_t chunk[65536];
    for (ssize_t n; (n = ::read(stream[0], chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const auto started = std::chrono::steady_clock::now();
  const pid_t client = ::fork();
  if (client == 0) {
    Client(tcpFlows, udpFlows);
    ::_exit(0);
  }
  ::waitpid(client, nullptr, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(agent, SIGINT);
  ::waitpid(agent, nullptr, 0);
  reader.join();
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);

  // Flows by the client's port; each end by its side's process.
  std::map<std::pair<std::uint8_t, std::uint16_t>, std::pair<End, End>> flows;
  PcapngStreamReader pcapng;
  std::size_t at = 0;
  for (;;) {
    const auto item = pcapng.Next();
    if (item == PcapngStreamReader::Item::Failed) {
      std::fprintf(stderr, "the agent's stream is damaged: %s\n", pcapng.Failure().c_str());
      return 1;
    }
    if (item == PcapngStreamReader::Item::NeedMore) {
      if (at == bytes.size()) break;
      at += pcapng.Feed({bytes.data() + at, bytes.size() - at});
      continue;
    }
    if (item != PcapngStreamReader::Item::Packet) continue;
    const FrameBytes frame(pcapng.Packet().data);
    const std::optional<IpLayout> ip = ReadIpLayout(frame, true);
    if (!ip || (ip->protocol != 6 && ip->protocol != 17)) continue;
    const std::uint16_t source = frame.Be16(ip->upper), destination = frame.Be16(ip->upper + 2);
    const bool fromServer = source == TcpPort || source == UdpPort;
    auto& [clientEnd, serverEnd] = flows[{ip->protocol, fromServer ? destination : source}];
    End& end = fromServer ? serverEnd : clientEnd;
    const pid_t expected = fromServer ? server : client;
    const ProcessOwner* owner = pcapng.Packet().owner.get();
    if (owner == nullptr) {
      ++end.none;
    } else if (owner->pid == 0) {
      ++end.userOnly;
    } else if (owner->pid == static_cast<std::uint32_t>(expected)) {
      ++end.right;
    } else {
      ++end.wrong;
      std::fprintf(stderr, "port %u: frame named %s (%u), not %d\n", fromServer ? destination : source,
                   owner->name.c_str(), owner->pid, expected);
    }
  }

  bool holds = true;
  std::printf("%-6s %8s %14s %14s %8s\n", "flows", "seen", "client right", "server right", "wrong");
  for (const std::uint8_t protocol : {std::uint8_t{6}, std::uint8_t{17}}) {
    int seen = 0, clientRight = 0, serverRight = 0, wrong = 0;
    for (const auto& [key, ends] : flows) {
      if (key.first != protocol) continue;
      ++seen;
      // An end is attributed right when its frames name its process and no other.
      clientRight += ends.first.right > 0 && ends.first.wrong == 0;
      serverRight += ends.second.right > 0 && ends.second.wrong == 0;
      wrong += ends.first.wrong + ends.second.wrong;
    }
    const int asked = protocol == 6 ? tcpFlows : udpFlows;
    const double target = protocol == 6 ? 0.95 : 0.90;
    const double clientShare = asked ? static_cast<double>(clientRight) / asked : 0;
    const double serverShare = asked ? static_cast<double>(serverRight) / asked : 0;
    const bool ok = clientShare >= target && serverShare >= target && wrong == 0;
    holds = holds && ok;
    std::printf("%-6s %8d %13.1f%% %13.1f%% %8d   target >= %.0f%% each end, no wrong frame: %s\n",
                protocol == 6 ? "TCP" : "UDP", seen, 100 * clientShare, 100 * serverShare, wrong, 100 * target,
                ok ? "yes" : "NO");
  }
  std::printf("%d TCP connections (20-100 ms each) and %d UDP exchanges (answered after 20-100 ms) on lo in %.1f s\n",
              tcpFlows, udpFlows, seconds);
  return holds ? 0 : 1;
}
